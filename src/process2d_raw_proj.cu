// Line projections of images: each profile element sums the bilinear values
// along one of a set of parallel lines crossing the image at an angle about a
// centre, for a square image, an image about a point, a local rectangle and
// lists of angles. One line-sum rule serves the kernels and the CPU twins.
#define VORN_UNIT "src/process2d_raw"
#include "process2d_raw.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include <algorithm>
#include <cmath>

#include "process2d_core.h"

namespace {

// Unit vectors along the profile (e) and along the lines (f).
struct Direction {
    float ex, ey, fx, fy;
};
__host__ __device__ __forceinline__ Direction direction_of(float angle, int mode) {
    if (mode != 1 && mode != -1) return Direction{1.0f, 0.0f, 0.0f, 1.0f};
    float s, c;
    sincos_degrees(angle, s, c);
    return mode == 1 ? Direction{c, -s, s, c} : Direction{c, s, -s, c};
}

// Where the lines stand: origin O, offsets hp, hq, profile length L, line length M.
struct Lines {
    float ox, oy, hp, hq;
    unsigned L, M;
};
__host__ __device__ __forceinline__ float centre_of(unsigned n) { return (float)(n - 1) * 0.5f; }
__host__ __device__ __forceinline__ unsigned longer_side(unsigned nx, unsigned ny) { return nx > ny ? nx : ny; }
__host__ __device__ __forceinline__ Lines square_lines(unsigned n) {
    const float h = centre_of(n);
    return Lines{h, h, h, h, n, n};
}
__host__ __device__ __forceinline__ Lines lines_about(unsigned nx, unsigned ny, float cx, float cy) {
    const unsigned L = longer_side(nx, ny);
    return Lines{cx, cy, centre_of(L), centre_of(L), L, L};
}
__host__ __device__ __forceinline__ Lines rect_lines(unsigned nout, unsigned nsum, float cx, float cy) {
    return Lines{cx, cy, centre_of(nout), centre_of(nsum), nout, nsum};
}
__host__ __device__ __forceinline__ Lines grid_lines(unsigned nx, unsigned ny, float cx, float cy) {
    return Lines{cx, cy, cx, cy, nx, ny};
}

// out[p] for profile element p: the sum over q of the samples at
// O + (p - hp) e + (q - hq) f, component by component in float.
__host__ __device__ __forceinline__ float line_sum(const float* in, unsigned nx, unsigned ny, Lines g, Direction d,
                                                   unsigned p) {
    const float u = (float)p - g.hp;
    float s = 0.0f;
    for (unsigned q = 0; q < g.M; ++q) {
        const float v = (float)q - g.hq;
        s += bilinear_sample_or_zero(in, nx, ny, g.ox + u * d.ex + v * d.fx, g.oy + u * d.ey + v * d.fy);
    }
    return s;
}

// ---- kernel frames ----

// One thread per profile element.
__device__ __forceinline__ void project_one(float* out, const float* in, unsigned nx, unsigned ny, Lines g, Direction d) {
    const size_t p = (size_t)blockIdx.x * blockDim.x + threadIdx.x;
    if (p < g.L) out[p] = line_sum(in, nx, ny, g, d, (unsigned)p);
}
// One thread per (profile element, angle); the profile of angle k at out + k*L.
__device__ __forceinline__ void project_angle(float* out, const float* angles, unsigned nangles, const float* in,
                                              unsigned nx, unsigned ny, Lines g, int mode) {
    const uint2 t = IMAGE_THREAD_XY;
    if (t.x >= g.L || t.y >= nangles) return;
    out[(size_t)t.y * g.L + t.x] = line_sum(in, nx, ny, g, direction_of(angles[t.y], mode), t.x);
}
// The rectangle for each angle (the host-array form of the many-angle family).
__global__ void project_rect_many(float* out, const float* angles, unsigned nangles, const float* in, unsigned nx,
                                  unsigned ny, Lines g, int mode) {
    project_angle(out, angles, nangles, in, nx, ny, g, mode);
}

void cpu_project(float* out, const float* in, unsigned nx, unsigned ny, Lines g, Direction d) {
    for (unsigned p = 0; p < g.L; ++p) out[p] = line_sum(in, nx, ny, g, d, p);
}

// Angles taken from the host list into device memory for the many-angle kernels.
template <class Run>
void with_device_angles(const float* angles, unsigned nangles, Run run) {
    float* d_angles = device_copy_of(GPU_SITE, angles, nangles);
    run(d_angles);
    device_release(GPU_SITE, d_angles);
}

}  // namespace

// ---- kernels ----

__global__ void cuda_2d_project_square(float* out, const float* in, unsigned n, float angle, int mode) {
    project_one(out, in, n, n, square_lines(n), direction_of(angle, mode));
}
__global__ void cuda_2d_project(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy, float angle,
                                int mode) {
    project_one(out, in, nx, ny, lines_about(nx, ny, cx, cy), direction_of(angle, mode));
}
__global__ void cuda_2d_project_local_rect(float* out, unsigned nout, unsigned nsum, const float* in, unsigned nx,
                                           unsigned ny, float cx, float cy, float angle, int mode) {
    project_one(out, in, nx, ny, rect_lines(nout, nsum, cx, cy), direction_of(angle, mode));
}
__global__ void cuda_2d_project_many(float* out, const float* angles, unsigned nangles, const float* in, unsigned nx,
                                     unsigned ny, float cx, float cy, float, int mode) {
    project_angle(out, angles, nangles, in, nx, ny, lines_about(nx, ny, cx, cy), mode);
}
__global__ void cuda_2d_project_local_rect_many(float* out, unsigned, unsigned, const float* angles, unsigned nangles,
                                                const float* in, unsigned nx, unsigned ny, float cx, float cy, float,
                                                int mode) {
    project_angle(out, angles, nangles, in, nx, ny, grid_lines(nx, ny, cx, cy), mode);
}

// ---- device arrays ----

void hcuda_2d_project_square(float* out, const float* in, unsigned n, float angle, int mode) {
    gpu_launch_1d<cuda_2d_project_square>(GPU_SITE, n, out, in, n, angle, mode);
}
void hcuda_2d_project(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy, float angle, int mode) {
    gpu_launch_1d<cuda_2d_project>(GPU_SITE, longer_side(nx, ny), out, in, nx, ny, cx, cy, angle, mode);
}
void hcuda_2d_project_local_rect(float* out, unsigned nout, unsigned nsum, const float* in, unsigned nx, unsigned ny,
                                 float cx, float cy, float angle, int mode) {
    gpu_launch_1d<cuda_2d_project_local_rect>(GPU_SITE, nout, out, nout, nsum, in, nx, ny, cx, cy, angle, mode);
}
void hcuda_2d_project_many(float* out, const float* angles, unsigned nangles, const float* in, unsigned nx,
                           unsigned ny, float cx, float cy, float unused, int mode) {
    gpu_launch_2d<cuda_2d_project_many>(GPU_SITE, longer_side(nx, ny), nangles, out, angles, nangles, in, nx, ny, cx,
                                        cy, unused, mode);
}
void hcuda_2d_project_local_rect_many(float* out, unsigned unused_nout, unsigned unused_nsum, const float* angles,
                                      unsigned nangles, const float* in, unsigned nx, unsigned ny, float cx, float cy,
                                      float unused, int mode) {
    gpu_launch_2d<cuda_2d_project_local_rect_many>(GPU_SITE, nx, nangles, out, unused_nout, unused_nsum, angles,
                                                   nangles, in, nx, ny, cx, cy, unused, mode);
}

// ---- host arrays through the GPU ----

void gpu_2d_project_square(float* out, const float* in, unsigned n, float angle, int mode) {
    gpu_run_on_device(GPU_SITE, out, n, in, (size_t)n * n,
                      [&](const float* d_in, float* d_out) { hcuda_2d_project_square(d_out, d_in, n, angle, mode); });
}
void gpu_2d_project(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy, float angle, int mode) {
    gpu_run_on_device(GPU_SITE, out, longer_side(nx, ny), in, (size_t)nx * ny, [&](const float* d_in, float* d_out) {
        hcuda_2d_project(d_out, d_in, nx, ny, cx, cy, angle, mode);
    });
}
void gpu_2d_project_local_rect(float* out, unsigned nout, unsigned nsum, const float* in, unsigned nx, unsigned ny,
                               float cx, float cy, float angle, int mode) {
    gpu_run_on_device(GPU_SITE, out, nout, in, (size_t)nx * ny, [&](const float* d_in, float* d_out) {
        hcuda_2d_project_local_rect(d_out, nout, nsum, d_in, nx, ny, cx, cy, angle, mode);
    });
}
void gpu_2d_project_many(float* out, const float* angles, unsigned nangles, const float* in, unsigned nx, unsigned ny,
                         float cx, float cy, float unused, int mode) {
    with_device_angles(angles, nangles, [&](const float* d_angles) {
        gpu_run_on_device(GPU_SITE, out, (size_t)nangles * longer_side(nx, ny), in, (size_t)nx * ny,
                          [&](const float* d_in, float* d_out) {
                              hcuda_2d_project_many(d_out, d_angles, nangles, d_in, nx, ny, cx, cy, unused, mode);
                          });
    });
}
void gpu_2d_project_local_rect_many(float* out, unsigned nout, unsigned nsum, const float* angles, unsigned nangles,
                                    const float* in, unsigned nx, unsigned ny, float cx, float cy, float, int mode) {
    with_device_angles(angles, nangles, [&](const float* d_angles) {
        gpu_run_on_device(GPU_SITE, out, (size_t)nangles * nout, in, (size_t)nx * ny, [&](const float* d_in, float* d_out) {
            gpu_launch_2d<project_rect_many>(GPU_SITE, nout, nangles, d_out, d_angles, nangles, d_in, nx, ny,
                                             rect_lines(nout, nsum, cx, cy), mode);
        });
    });
}

// ---- CPU twins ----

void cpu_2d_project_square(float* out, const float* in, unsigned n, float angle) {
    cpu_project(out, in, n, n, square_lines(n), direction_of(angle, 1));
}
void cpu_2d_project(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy, float angle, int mode) {
    cpu_project(out, in, nx, ny, lines_about(nx, ny, cx, cy), direction_of(angle, mode));
}
void cpu_2d_project_local_rect(float* out, unsigned nout, unsigned nsum, const float* in, unsigned nx, unsigned ny,
                               float cx, float cy, float angle, int mode) {
    cpu_project(out, in, nx, ny, rect_lines(nout, nsum, cx, cy), direction_of(angle, mode));
}
