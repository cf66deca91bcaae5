// Geometric transforms: resampling by rigid transforms, rotations, shifts and
// scaling on the shared bilinear rule, and the exact index permutations (flips,
// transposes, mirror padding and its inverse crop).
#define VORN_UNIT "src/process2d_raw"
#include "process2d_raw.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include <cmath>

#include "process2d_core.h"

namespace {

// ---- source positions of output pixel (x, y) ----

// Rotation by t about (cx, cy): (cx + c u + s v, cy - s u + c v) for u = x - cx, v = y - cy.
struct Rotation {
    float c, s;
    __host__ __device__ float2 source(float cx, float cy, float u, float v) const {
        return make_float2(cx + c * u + s * v, cy - s * u + c * v);
    }
};
// The arc average steps in radians.
__host__ __device__ __forceinline__ Rotation rotation_of_radians(float t) { return Rotation{cosf(t), sinf(t)}; }
// Exact at quarter and whole turns.
__host__ __device__ __forceinline__ Rotation rotation_of_degrees(float degrees) {
    Rotation r;
    sincos_degrees(degrees, r.s, r.c);
    return r;
}
__host__ __device__ __forceinline__ float image_centre(unsigned n) { return (float)(n - 1) * 0.5f; }

struct RotateAbout {
    float cx, cy;
    Rotation r;
    __device__ float2 operator()(float x, float y) const { return r.source(cx, cy, x - cx, y - cy); }
};
// About the image centre, after moving the output pixel by -(tx, ty).
struct RotateTranslate {
    float cx, cy, tx, ty;
    Rotation r;
    __device__ float2 operator()(float x, float y) const { return r.source(cx, cy, x - cx - tx, y - cy - ty); }
};
// The plain rotation's source, less (tx, ty).
struct TranslateRotate {
    float cx, cy, tx, ty;
    Rotation r;
    __device__ float2 operator()(float x, float y) const {
        const float2 p = r.source(cx, cy, x - cx, y - cy);
        return make_float2(p.x - tx, p.y - ty);
    }
};
struct Translate {
    float tx, ty;
    __device__ float2 operator()(float x, float y) const { return make_float2(x - tx, y - ty); }
};
// Mode -1 takes the operator as the map from output to source; any other mode its inverse.
struct Transform {
    float cx, cy;
    RT_Mat2D m;
    int mode;
    __device__ float2 operator()(float x, float y) const {
        const RT_Mat2D a = mode == -1 ? m : rt_mat2d_inverse(m);
        const float u = x - cx, v = y - cy;
        return make_float2(a.R11 * u + a.R12 * v + a.Tx + cx, a.R21 * u + a.R22 * v + a.Ty + cy);
    }
};
// Output NX x NY from input nx x ny, centres coinciding.
struct Scale {
    int nx, ny, NX, NY;
    float f;
    __device__ float2 operator()(float x, float y) const {
        const float k = 1.0f / f;
        return make_float2((float)(nx - 1) * 0.5f + (x - (float)(NX - 1) * 0.5f) * k,
                           (float)(ny - 1) * 0.5f + (y - (float)(NY - 1) * 0.5f) * k);
    }
};

// Output pixel (x, y) of an ox x oy output takes the bilinear value of the
// nx x ny input at source(x, y), 0 outside.
template <class Source>
__device__ __forceinline__ void resample_pixel(float* out, unsigned ox, unsigned oy, const float* in, unsigned nx,
                                               unsigned ny, Source source) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (!pixel_inside(t, ox, oy, i)) return;
    const float2 p = source((float)t.x, (float)t.y);
    out[i] = bilinear_sample_or_zero(in, nx, ny, p.x, p.y);
}

// ---- index permutations: input (x, y) of an nx x ny image to an output element ----

struct Copy {
    __device__ size_t operator()(size_t x, size_t y, size_t nx, size_t) const { return y * nx + x; }
};
struct FlipX {
    __device__ size_t operator()(size_t x, size_t y, size_t nx, size_t) const { return y * nx + (nx - 1 - x); }
};
struct FlipY {
    __device__ size_t operator()(size_t x, size_t y, size_t nx, size_t ny) const { return (ny - 1 - y) * nx + x; }
};
struct FlipBoth {
    __device__ size_t operator()(size_t x, size_t y, size_t nx, size_t ny) const {
        return (ny - 1 - y) * nx + (nx - 1 - x);
    }
};
struct Transpose {
    __device__ size_t operator()(size_t x, size_t y, size_t, size_t ny) const { return x * ny + y; }
};
// Transposed, the new rows reversed.
struct TransposeRowsReversed {
    __device__ size_t operator()(size_t x, size_t y, size_t, size_t ny) const { return x * ny + (ny - 1 - y); }
};
// Transposed, the new row order reversed.
struct TransposeOrderReversed {
    __device__ size_t operator()(size_t x, size_t y, size_t nx, size_t ny) const { return (nx - 1 - x) * ny + y; }
};
// The eight flip modes of a stack; 0, 7 and any other value copy.
struct FlipMode {
    int mode;
    __device__ size_t operator()(size_t x, size_t y, size_t nx, size_t ny) const {
        switch (mode) {
            case 1: return FlipX{}(x, y, nx, ny);
            case 2: return FlipY{}(x, y, nx, ny);
            case 3: return FlipBoth{}(x, y, nx, ny);
            case 4: return Transpose{}(x, y, nx, ny);
            case 5: return TransposeRowsReversed{}(x, y, nx, ny);
            case 6: return TransposeOrderReversed{}(x, y, nx, ny);
            default: return Copy{}(x, y, nx, ny);
        }
    }
};

// Input pixel (x, y) of each of the nz images goes to place(x, y) of the same output image.
template <class Place>
__device__ __forceinline__ void permute_pixel(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz,
                                              Place place) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (!pixel_inside(t, nx, ny, i)) return;
    const size_t o = place(t.x, t.y, nx, ny);
    for (unsigned k = 0; k < nz; ++k) out[stack_slice_offset(k, nx, ny) + o] = in[stack_slice_offset(k, nx, ny) + i];
}

// ---- output sizes ----

// int(n * f), the float product truncated; 0 where it is not a positive number
// (a factor that is 0, negative or NaN gives an empty image).
__host__ __device__ __forceinline__ int scaled_size(int n, float f) {
    const float s = (float)n * f;
    return s >= 1.0f && s < 2147483648.0f ? (int)s : 0;
}

}  // namespace

// ================= resampling kernels =================

__global__ void cuda_2d_transform(const float* in, float* out, unsigned nx, unsigned ny, float cx, float cy,
                                  RT_Mat2D m, int mode) {
    resample_pixel(out, nx, ny, in, nx, ny, Transform{cx, cy, m, mode});
}
// Inverts per thread, as cuda_2d_transform does: the same source positions, the same results.
__global__ void cuda_2d_transform2(const float* in, float* out, unsigned nx, unsigned ny, float cx, float cy,
                                   RT_Mat2D m, int mode) {
    resample_pixel(out, nx, ny, in, nx, ny, Transform{cx, cy, m, mode});
}
__global__ void cuda_2d_rotate(const float* in, float* out, unsigned nx, unsigned ny, float degrees) {
    resample_pixel(out, nx, ny, in, nx, ny, RotateAbout{image_centre(nx), image_centre(ny), rotation_of_degrees(degrees)});
}
__global__ void cuda_2d_rotate_anycenter(const float* in, float* out, unsigned nx, unsigned ny, float cx, float cy,
                                         float degrees) {
    resample_pixel(out, nx, ny, in, nx, ny, RotateAbout{cx, cy, rotation_of_degrees(degrees)});
}
__global__ void cuda_2d_translate(const float* in, float* out, unsigned nx, unsigned ny, float tx, float ty) {
    resample_pixel(out, nx, ny, in, nx, ny, Translate{tx, ty});
}
// Along one axis the other fraction is 0, so the bilinear rule is linear interpolation along x (or y) alone.
__global__ void cuda_2d_translate_x(const float* in, float* out, unsigned nx, unsigned ny, float t) {
    resample_pixel(out, nx, ny, in, nx, ny, Translate{t, 0.0f});
}
__global__ void cuda_2d_translate_y(const float* in, float* out, unsigned nx, unsigned ny, float t) {
    resample_pixel(out, nx, ny, in, nx, ny, Translate{0.0f, t});
}
__global__ void cuda_2d_rotate_translate(const float* in, float* out, unsigned nx, unsigned ny, float degrees,
                                         float tx, float ty) {
    resample_pixel(out, nx, ny, in, nx, ny,
                   RotateTranslate{image_centre(nx), image_centre(ny), tx, ty, rotation_of_degrees(degrees)});
}
__global__ void cuda_2d_translate_rotate(const float* in, float* out, unsigned nx, unsigned ny, float tx, float ty,
                                         float degrees) {
    resample_pixel(out, nx, ny, in, nx, ny,
                   TranslateRotate{image_centre(nx), image_centre(ny), tx, ty, rotation_of_degrees(degrees)});
}
__global__ void cuda_2d_scale(float* out, const float* in, int nx, int ny, float f) {
    const int NX = scaled_size(nx, f), NY = scaled_size(ny, f);
    resample_pixel(out, (unsigned)NX, (unsigned)NY, in, (unsigned)nx, (unsigned)ny, Scale{nx, ny, NX, NY, f});
}

// Mean of the samples along the arc of +-|degrees| through (x, y) about (cx, cy),
// one sample per pixel of arc length. The steps are counted with an integer, so a
// step too small to change the angle in float cannot stall the loop.
__global__ void cuda_2d_rotate_ave_anycenter(float* in, float* out, unsigned nx, unsigned ny, float cx, float cy,
                                             float degrees) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (!pixel_inside(t, nx, ny, i)) return;
    const float A = fabsf(degrees) * 0.017453292f;
    const float u = (float)t.x - cx, v = (float)t.y - cy;
    const float rho = sqrtf(u * u + v * v);
    float sum = 0.0f, count = 0.00001f;
    if (rho > 1.0f && A > 0.0f && A <= 3.4e38f) {
        const float step = 1.0f / rho;
        const double steps = ceil(2.0 * (double)A * (double)rho);
        for (double k = 0.0; k < steps; k += 1.0) {
            const float a = -A + (float)k * step;
            if (!(a < A)) break;
            const float2 p = rotation_of_radians(a).source(cx, cy, u, v);
            float value;
            if (bilinear_sample(in, nx, ny, p.x, p.y, value)) {
                sum += value;
                count += 1.0f;
            }
        }
    }
    out[i] = sum / count;
}

// ================= permutation kernels =================

__global__ void cuda_2d_flipx(float* out, const float* in, unsigned nx, unsigned ny) { permute_pixel(out, in, nx, ny, 1, FlipX{}); }
__global__ void cuda_2d_flipy(float* out, const float* in, unsigned nx, unsigned ny) { permute_pixel(out, in, nx, ny, 1, FlipY{}); }
__global__ void cuda_2d_flipxy(float* out, const float* in, unsigned nx, unsigned ny) { permute_pixel(out, in, nx, ny, 1, Transpose{}); }
__global__ void cuda_2d_swap_xy(const float* in, float* out, unsigned nx, unsigned ny) { permute_pixel(out, in, nx, ny, 1, TransposeRowsReversed{}); }
__global__ void cuda_2ds_swap_xy(const float* in, float* out, unsigned nx, unsigned ny, unsigned nz) { permute_pixel(out, in, nx, ny, nz, Transpose{}); }
__global__ void cuda_2ds_flip(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz, int mode) { permute_pixel(out, in, nx, ny, nz, FlipMode{mode}); }

// Input pixel (x, y) to its four mirror places of the 2nx x 2ny output.
__global__ void cuda_2d_mirror_pad(float* out, const float* in, unsigned nx, unsigned ny) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (!pixel_inside(t, nx, ny, i)) return;
    const size_t w = 2 * (size_t)nx, h = 2 * (size_t)ny, x = t.x, y = t.y;
    const float v = in[i];
    out[y * w + x] = v;
    out[(h - 1 - y) * w + x] = v;
    out[y * w + (w - 1 - x)] = v;
    out[(h - 1 - y) * w + (w - 1 - x)] = v;
}
// The top-left nx x ny quarter of a 2nx x 2ny image.
__global__ void cuda_2d_mirror_pad_inv(float* out, const float* in, unsigned nx, unsigned ny) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (pixel_inside(t, nx, ny, i)) out[i] = in[(size_t)t.y * 2 * nx + t.x];
}

// ================= host functions on device arrays =================

void hcuda_2d_transform(const float* in, float* out, unsigned nx, unsigned ny, float cx, float cy, RT_Mat2D m,
                        int mode) {
    gpu_launch_2d<cuda_2d_transform>(GPU_SITE, nx, ny, in, out, nx, ny, cx, cy, m, mode);
}
void hcuda_2d_rotate(const float* in, float* out, unsigned nx, unsigned ny, float degrees) {
    gpu_launch_2d<cuda_2d_rotate>(GPU_SITE, nx, ny, in, out, nx, ny, degrees);
}
void hcuda_2d_translate_rotate(const float* in, float* out, unsigned nx, unsigned ny, float tx, float ty,
                               float degrees) {
    gpu_launch_2d<cuda_2d_translate_rotate>(GPU_SITE, nx, ny, in, out, nx, ny, tx, ty, degrees);
}

void hcuda_2d_scale(float* out, const float* in, int nx, int ny, float f) {
    if (nx <= 0 || ny <= 0) return;
    gpu_launch_2d<cuda_2d_scale>(GPU_SITE, (unsigned)scaled_size(nx, f), (unsigned)scaled_size(ny, f), out, in, nx, ny,
                                 f);
}
void hcuda_2ds_scale(float* out, const float* in, int nx, int ny, int nz, float f) {
    if (nx <= 0 || ny <= 0) return;
    const size_t in_pixels = (size_t)nx * ny, out_pixels = (size_t)scaled_size(nx, f) * scaled_size(ny, f);
    for (int k = 0; k < nz; ++k) hcuda_2d_scale(out + k * out_pixels, in + k * in_pixels, nx, ny, f);
}

void hcuda_2d_swap_xy(const float* in, float* out, unsigned nx, unsigned ny) {
    gpu_launch_2d<cuda_2d_swap_xy>(GPU_SITE, nx, ny, in, out, nx, ny);
}
void hcuda_2ds_swap_xy(const float* in, float* out, unsigned nx, unsigned ny, unsigned nz) {
    if (nz) gpu_launch_2d<cuda_2ds_swap_xy>(GPU_SITE, nx, ny, in, out, nx, ny, nz);
}
void hcuda_2d_flipx(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_flipx>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_flipy(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_flipy>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_flipxy(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_flipxy>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2ds_flip(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz, int mode) {
    if (nz) gpu_launch_2d<cuda_2ds_flip>(GPU_SITE, nx, ny, out, in, nx, ny, nz, mode);
}

void hcuda_2d_mirror_pad(float* out, const float* in, unsigned nx, unsigned ny) {
    gpu_launch_2d<cuda_2d_mirror_pad>(GPU_SITE, nx, ny, out, in, nx, ny);
}
void hcuda_2d_mirror_pad_inv(float* out, const float* in, unsigned nx, unsigned ny) {
    gpu_launch_2d<cuda_2d_mirror_pad_inv>(GPU_SITE, nx, ny, out, in, nx, ny);
}
float* d_get_2d_mirror_pad(const float* in, unsigned nx, unsigned ny) {
    float* out = device_buffer<float>(GPU_SITE, 4 * image_pixels(nx, ny));
    hcuda_2d_mirror_pad(out, in, nx, ny);
    return out;
}
float* d_get_2d_mirror_pad_inv(const float* in, unsigned nx, unsigned ny) {
    float* out = device_buffer<float>(GPU_SITE, image_pixels(nx, ny));
    hcuda_2d_mirror_pad_inv(out, in, nx, ny);
    return out;
}

// ================= host arrays =================

void gpu_2d_scale(float* out, const float* in, int nx, int ny, float f) {
    if (nx <= 0 || ny <= 0) return;
    const size_t out_pixels = (size_t)scaled_size(nx, f) * scaled_size(ny, f);
    gpu_run_on_device(GPU_SITE, out, out_pixels, in, (size_t)nx * ny,
                   [&](const float* d_in, float* d_out) { hcuda_2d_scale(d_out, d_in, nx, ny, f); });
}
// One image at a time through the device.
void gpu_2ds_scale(float* out, const float* in, int nx, int ny, int nz, float f) {
    if (nx <= 0 || ny <= 0) return;
    const size_t in_pixels = (size_t)nx * ny, out_pixels = (size_t)scaled_size(nx, f) * scaled_size(ny, f);
    for (int k = 0; k < nz; ++k) gpu_2d_scale(out + k * out_pixels, in + k * in_pixels, nx, ny, f);
}

void gpu_2d_swap_xy(const float* in, float* out, unsigned nx, unsigned ny) {
    const size_t n = image_pixels(nx, ny);
    gpu_run_on_device(GPU_SITE, out, n, in, n, [&](const float* d_in, float* d_out) { hcuda_2d_swap_xy(d_in, d_out, nx, ny); });
}
void gpu_2ds_swap_xy(const float* in, float* out, unsigned nx, unsigned ny, unsigned nz) {
    const size_t n = stack_slice_offset(nz, nx, ny);
    gpu_run_on_device(GPU_SITE, out, n, in, n, [&](const float* d_in, float* d_out) { hcuda_2ds_swap_xy(d_in, d_out, nx, ny, nz); });
}
void gpu_2ds_flip(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz, int mode) {
    if ((unsigned)mode > 7u) VORN_FATAL("flip_mode must be an integer in {0,1,3,4,5,6,7}");
    const size_t n = stack_slice_offset(nz, nx, ny);
    gpu_run_on_device(GPU_SITE, out, n, in, n, [&](const float* d_in, float* d_out) { hcuda_2ds_flip(d_out, d_in, nx, ny, nz, mode); });
}
