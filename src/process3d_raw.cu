// Volume transforms: resampling by rigid maps and Euler rotations on the shared
// trilinear rule, the quarter turn of xy slices, and the host helpers (Raw3D,
// random volumes, centre of mass, highest voxel).
#define VORN_UNIT "src/process3d_raw"
#include "process3d_raw.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "process2d_core.h"
#include "random_utils.h"

namespace {

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Output voxel (x, y, z) takes the trilinear sample of in at the map's source.
__host__ __device__ __forceinline__ void resample_voxel(float* out, const float* in, unsigned Nx, unsigned Ny,
                                                        unsigned Nz, unsigned x, unsigned y, unsigned z,
                                                        const VolumeMap& m) {
    out[voxel_element(x, y, z, Nx, Ny)] = volume_sample_or_zero(in, Nx, Ny, Nz, m.source((float)x, (float)y, (float)z));
}

// Thread (x, y) of a 2D launch walks its z column.
__device__ __forceinline__ void resample_columns(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz,
                                                 const VolumeMap& m) {
    const uint2 t = IMAGE_THREAD_XY;
    if (t.x >= Nx || t.y >= Ny) return;
    for (unsigned z = 0; z < Nz; ++z) resample_voxel(out, in, Nx, Ny, Nz, t.x, t.y, z, m);
}

constexpr unsigned T3_BX = 16, T3_BY = 16, T3_BZ = 4;

}  // namespace

Raw3D::Raw3D(float* d, int nx, int ny, int nz)
    : data(d), Nx((unsigned)nx), Ny((unsigned)ny), Nz((unsigned)nz), owns_data(true) {}

// ================= rigid maps =================

__global__ void cuda_3d_transform(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                  float cy, float cz, RT_Mat3D M, int direction) {
    resample_columns(out, in, Nx, Ny, Nz, volume_map(rigid_map(M, direction), cx, cy, cz));
}

__global__ void cuda_3d_transform3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                   float cy, float cz, RT_Mat3D M, int direction) {
    const uint2 t = IMAGE_THREAD_XY;
    const unsigned z = blockIdx.z * blockDim.z + threadIdx.z;
    if (t.x >= Nx || t.y >= Ny || z >= Nz) return;
    resample_voxel(out, in, Nx, Ny, Nz, t.x, t.y, z, volume_map(rigid_map(M, direction), cx, cy, cz));
}

__global__ void cuda_3d_transform_auto_center(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz,
                                              RT_Mat3D M, int direction) {
    resample_columns(
        out, in, Nx, Ny, Nz,
        volume_map(rigid_map(M, direction), volume_centre_f(Nx), volume_centre_f(Ny), volume_centre_f(Nz)));
}

// The launch alone is timed (before the synchronisation), as the block shape is printed after it.
void hcuda_3d_transform(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                        float cz, RT_Mat3D M, int direction) {
    const double t0 = seconds_now();
    if (Nx > 0 && Ny > 0)
        GPU_LAUNCH(cuda_3d_transform, gpu_grid_2d(Nx, Ny), gpu_block_2d(), 0)(out, in, Nx, Ny, Nz, cx, cy, cz, M,
                                                                               direction);
    std::printf(">>>>>>TIME<<<<<<%64s: %fs\n", "cuda_3d_transform", seconds_now() - t0);
    CUDA_LAUNCH_CHECK();
    std::printf("DIMX_max DIMY_max : %d %d\n", GPU_TILE_2D, GPU_TILE_2D);
}

void hcuda_3d_transform3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                         float cz, RT_Mat3D M, int direction) {
    const double t0 = seconds_now();
    if (Nx > 0 && Ny > 0 && Nz > 0) {
        const dim3 grid((Nx + T3_BX - 1) / T3_BX, (Ny + T3_BY - 1) / T3_BY, (Nz + T3_BZ - 1) / T3_BZ);
        GPU_LAUNCH(cuda_3d_transform3, grid, dim3(T3_BX, T3_BY, T3_BZ), 0)(out, in, Nx, Ny, Nz, cx, cy, cz, M,
                                                                           direction);
    }
    std::printf(">>>>>>TIME<<<<<<%64s: %fs\n", "cuda_3d_transform3", seconds_now() - t0);
    CUDA_LAUNCH_CHECK();
    std::printf("DIMX_max DIMY_max DIMZ_max: %d %d %d\n", T3_BX, T3_BY, T3_BZ);
}

namespace {
template <class Launch>
void transform_host_arrays(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, Launch launch) {
    const size_t n = volume_voxels(Nx, Ny, Nz);
    if (n == 0) return;
    gpu_run_on_device(GPU_SITE, out, n, in, n, [&](const float* d_in, float* d_out) { launch(d_out, d_in); });
}
}  // namespace

void gpu_3d_transform(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                      float cz, RT_Mat3D M, int direction) {
    transform_host_arrays(out, in, Nx, Ny, Nz, [&](float* d_out, const float* d_in) {
        hcuda_3d_transform(d_out, d_in, Nx, Ny, Nz, cx, cy, cz, M, direction);
    });
}
void gpu_3d_transform3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                       float cz, RT_Mat3D M, int direction) {
    transform_host_arrays(out, in, Nx, Ny, Nz, [&](float* d_out, const float* d_in) {
        hcuda_3d_transform3(d_out, d_in, Nx, Ny, Nz, cx, cy, cz, M, direction);
    });
}

// ================= Euler rotations =================

__global__ void cuda_3d_rotate(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                               float cz, float rot, float tilt, float psi, int direction) {
    resample_columns(out, in, Nx, Ny, Nz, volume_map(euler_map(rot, tilt, psi, direction), cx, cy, cz));
}
// A restricted source lets the GPU read it through the read-only data cache.
__global__ void cuda_3d_rotate_t2(float* out, const float* __restrict__ in, unsigned Nx, unsigned Ny, unsigned Nz,
                                  float cx, float cy, float cz, float rot, float tilt, float psi, int direction) {
    resample_columns(out, in, Nx, Ny, Nz, volume_map(euler_map(rot, tilt, psi, direction), cx, cy, cz));
}
// Thread (z, y) walks x: consecutive steps write consecutive addresses.
__global__ void cuda_3d_rotate_t3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                  float cy, float cz, float rot, float tilt, float psi, int direction) {
    const uint2 t = IMAGE_THREAD_XY;
    if (t.x >= Nz || t.y >= Ny) return;
    const VolumeMap m = volume_map(euler_map(rot, tilt, psi, direction), cx, cy, cz);
    for (unsigned x = 0; x < Nx; ++x) resample_voxel(out, in, Nx, Ny, Nz, x, t.y, t.x, m);
}

void hcuda_3d_rotate(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                     float rot, float tilt, float psi, int direction) {
    gpu_launch_2d<cuda_3d_rotate>(GPU_SITE, Nx, Ny, out, in, Nx, Ny, Nz, cx, cy, cz, rot, tilt, psi, direction);
}
void hcuda_3d_rotate_t2(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                        float cz, float rot, float tilt, float psi, int direction) {
    gpu_launch_2d<cuda_3d_rotate_t2>(GPU_SITE, Nx, Ny, out, in, Nx, Ny, Nz, cx, cy, cz, rot, tilt, psi, direction);
}
void hcuda_3d_rotate_t3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                        float cz, float rot, float tilt, float psi, int direction) {
    gpu_launch_2d<cuda_3d_rotate_t3>(GPU_SITE, Nz, Ny, out, in, Nx, Ny, Nz, cx, cy, cz, rot, tilt, psi, direction);
}

void cpu_3d_rotate_t3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                      float rot, float tilt, float psi, int direction) {
    const VolumeMap m = volume_map(euler_map(rot, tilt, psi, direction), cx, cy, cz);
    for (unsigned z = 0; z < Nz; ++z)
        for (unsigned y = 0; y < Ny; ++y)
            for (unsigned x = 0; x < Nx; ++x) resample_voxel(out, in, Nx, Ny, Nz, x, y, z, m);
}

// ================= quarter turn =================

__global__ void cuda_3d_swap_xy(const float* in, float* out, unsigned Nx, unsigned Ny, unsigned Nz) {
    const uint2 t = IMAGE_THREAD_XY;
    if (t.x >= Nx || t.y >= Ny) return;
    const size_t slice = (size_t)Nx * Ny, o = (size_t)t.x * Ny + (Ny - 1 - t.y);
    for (unsigned z = 0; z < Nz; ++z) out[z * slice + o] = in[voxel_element(t.x, t.y, z, Nx, Ny)];
}
void hcuda_3d_swap_xy(const float* in, float* out, unsigned Nx, unsigned Ny, unsigned Nz) {
    gpu_launch_2d<cuda_3d_swap_xy>(GPU_SITE, Nx, Ny, in, out, Nx, Ny, Nz);
}
void gpu_3d_swap_xy(const float* in, float* out, unsigned Nx, unsigned Ny, unsigned Nz) {
    transform_host_arrays(out, in, Nx, Ny, Nz,
                          [&](float* d_out, const float* d_in) { hcuda_3d_swap_xy(d_in, d_out, Nx, Ny, Nz); });
}

// ================= host helpers =================

Raw3D random_3df(float a, float b, unsigned Nx, unsigned Ny, unsigned Nz) {
    const size_t n = volume_voxels(Nx, Ny, Nz);
    float* v = (float*)std::malloc((n > 0 ? n : 1) * sizeof(float));
    if (v == nullptr) VORN_FATAL("Host memory allocation failed");
    random_data_f32(v, n, a, b);
    return Raw3D(v, (int)Nx, (int)Ny, (int)Nz);
}

namespace {
// Sums of v, v x, v y, v z in double: a float running sum stops growing once it
// is 2^24 times a term, which a 256^3 volume reaches.
struct MassSums {
    double v = 0.0, vx = 0.0, vy = 0.0, vz = 0.0;
};
MassSums mass_sums(const float* v, unsigned Nx, unsigned Ny, unsigned Nz) {
    MassSums s;
    for (unsigned z = 0; z < Nz; ++z)
        for (unsigned y = 0; y < Ny; ++y)
            for (unsigned x = 0; x < Nx; ++x) {
                const double a = v[voxel_element(x, y, z, Nx, Ny)];
                s.v += a;
                s.vx += a * x;
                s.vy += a * y;
                s.vz += a * z;
            }
    return s;
}
}  // namespace

float3 cpu_3d_get_mass_center(const float* v, unsigned Nx, unsigned Ny, unsigned Nz) {
    const MassSums s = mass_sums(v, Nx, Ny, Nz);
    return make_float3((float)(s.vx / s.v), (float)(s.vy / s.v), (float)(s.vz / s.v));
}

int cpu_3d_print_mass_center(const float* v, unsigned Nx, unsigned Ny, unsigned Nz) {
    const float3 c = cpu_3d_get_mass_center(v, Nx, Ny, Nz);
    std::printf("mass center (x,y,z) : (%.2f \t%.2f \t%.2f)\n", c.x, c.y, c.z);
    return 0;
}

void cpu_3d_get_unique_peak(const float* v, int Nx, int Ny, int Nz, int& x, int& y, int& z) {
    x = y = z = 0;
    if (Nx <= 0 || Ny <= 0 || Nz <= 0) return;
    float best = v[0];
    for (int k = 0; k < Nz; ++k)
        for (int j = 0; j < Ny; ++j)
            for (int i = 0; i < Nx; ++i) {
                const float a = v[voxel_element((unsigned)i, (unsigned)j, (unsigned)k, (unsigned)Nx, (unsigned)Ny)];
                if (a > best) {
                    best = a;
                    x = i, y = j, z = k;
                }
            }
}
