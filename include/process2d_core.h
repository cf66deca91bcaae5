// Elementwise operations on float images in device memory: fills, copies,
// arithmetic with scalars, functions of one pixel, two-image arithmetic and
// stack reductions, with a few CPU twins and host-array forms.
//
// Images are nx x ny floats, row-major with x fastest (element y*nx + x); a
// stack is nz images one after another. Every hcuda_ function launches one
// thread per pixel on 32x32 blocks over gpu_grid_2d(nx, ny), synchronises and
// checks before it returns. A stack may be passed to a one-image operation as
// one image of nx x (nz*ny).
#pragma once
#include <cstddef>

#include "cuda_general.h"

// ---- element counts and offsets, formed in 64 bits so large stacks never wrap ----
__host__ __device__ __forceinline__ size_t image_pixels(unsigned nx, unsigned ny) { return (size_t)nx * ny; }
__host__ __device__ __forceinline__ size_t pixel_element(unsigned x, unsigned y, unsigned nx) {
    return (size_t)y * nx + x;
}
__host__ __device__ __forceinline__ size_t stack_slice_offset(size_t k, unsigned nx, unsigned ny) {
    return k * image_pixels(nx, ny);
}

// ---- the 2D kernel frame ----
// Thread (x, y) of a 2D launch works on pixel (x, y) only when x < nx and y < ny.
// The thread's position is a macro, expanded inside kernels only, so that host
// code including this header never meets the device built-ins.
#define IMAGE_THREAD_XY \
    make_uint2(blockIdx.x * blockDim.x + threadIdx.x, blockIdx.y * blockDim.y + threadIdx.y)

__host__ __device__ __forceinline__ bool pixel_inside(uint2 t, unsigned nx, unsigned ny, size_t& i) {
    if (t.x >= nx || t.y >= ny) return false;
    i = pixel_element(t.x, t.y, nx);
    return true;
}
template <class T>
__host__ __device__ __forceinline__ void fill_pixels(uint2 t, T* out, unsigned nx, unsigned ny, T v) {
    size_t i;
    if (pixel_inside(t, nx, ny, i)) out[i] = v;
}
// out[i] = f(in[i]); out may be in.
template <class Out, class In, class F>
__host__ __device__ __forceinline__ void map_pixels(uint2 t, Out* out, const In* in, unsigned nx, unsigned ny, F f) {
    size_t i;
    if (pixel_inside(t, nx, ny, i)) out[i] = f(in[i]);
}
// out[i] = f(a[i], b[i]); out may be a or b.
template <class Out, class A, class B, class F>
__host__ __device__ __forceinline__ void zip_pixels(uint2 t, Out* out, const A* a, const B* b, unsigned nx, unsigned ny, F f) {
    size_t i;
    if (pixel_inside(t, nx, ny, i)) out[i] = f(a[i], b[i]);
}

// ---- fills and copies ----
__global__ void cuda_2d_empty(float* out, unsigned nx, unsigned ny);
__global__ void cuda_2d_cx_empty(float2* out, unsigned nx, unsigned ny);
__global__ void cuda_2d_memset(float* out, float v, unsigned nx, unsigned ny);
__global__ void cuda_c2d_memset(float2* out, float2 v, unsigned nx, unsigned ny);
__global__ void cuda_2d_memcpy(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_c2d_memcpy(float2* out, const float2* in, unsigned nx, unsigned ny);
void hcuda_2d_empty(float* out, unsigned nx, unsigned ny);
void hcuda_2d_cx_empty(float2* out, unsigned nx, unsigned ny);
void hcuda_2d_memset(float* out, float v, unsigned nx, unsigned ny);
void hcuda_c2d_memset(float2* out, float2 v, unsigned nx, unsigned ny);
void hcuda_2d_memcpy(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_c2d_memcpy(float2* out, const float2* in, unsigned nx, unsigned ny);

// ---- arithmetic with scalars ----
__global__ void cuda_2d_add(float* out, const float* in, unsigned nx, unsigned ny, float a);
__global__ void cuda_2d_sub(float* out, const float* in, unsigned nx, unsigned ny, float a);
__global__ void cuda_2d_multi(float* out, const float* in, unsigned nx, unsigned ny, float a);
__global__ void cuda_2d_divide(float* out, const float* in, unsigned nx, unsigned ny, float a);
__global__ void cuda_2d_multi_add(float* out, const float* in, unsigned nx, unsigned ny, float a, float b);
// The kernel computes (v + a)*b; hcuda_2d_add_multi passes its scalars swapped.
__global__ void cuda_2d_add_multi(float* out, const float* in, unsigned nx, unsigned ny, float a, float b);
__global__ void cuda_2d_sub_divide(float* out, const float* in, unsigned nx, unsigned ny, float a, float b);
__global__ void cuda_2d_pow(float* out, const float* in, unsigned nx, unsigned ny, float a);
__global__ void cuda_2d_add_inplace(float* io, unsigned nx, unsigned ny, float a);
__global__ void cuda_2d_sub_inplace(float* io, unsigned nx, unsigned ny, float a);
__global__ void cuda_2d_multi_inplace(float* io, unsigned nx, unsigned ny, float a);
__global__ void cuda_2d_divide_inplace(float* io, unsigned nx, unsigned ny, float a);
__global__ void cuda_2d_sub_divide_inplace(float* io, unsigned nx, unsigned ny, float a, float b);
__global__ void cuda_2d_powf_inplace(float* io, unsigned nx, unsigned ny, float a);

void hcuda_2d_add(float* out, const float* in, unsigned nx, unsigned ny, float a);
void hcuda_2d_sub(float* out, const float* in, unsigned nx, unsigned ny, float a);
void hcuda_2d_multi(float* out, const float* in, unsigned nx, unsigned ny, float a);
// Ends the process with the fatal line when a is +0 or -0.
void hcuda_2d_divide(float* out, const float* in, unsigned nx, unsigned ny, float a);
// v*a + b with one fused multiply-add.
void hcuda_2d_multi_add(float* out, const float* in, unsigned nx, unsigned ny, float a, float b);
// (v + b)*a.
void hcuda_2d_add_multi(float* out, const float* in, unsigned nx, unsigned ny, float a, float b);
// (v - a)/b; ends the process with the fatal line when b is +0 or -0.
void hcuda_2d_sub_divide(float* out, const float* in, unsigned nx, unsigned ny, float a, float b);
void hcuda_2d_pow(float* out, const float* in, unsigned nx, unsigned ny, float a);
void hcuda_2d_add_inplace(float* io, unsigned nx, unsigned ny, float a);
void hcuda_2d_sub_inplace(float* io, unsigned nx, unsigned ny, float a);
void hcuda_2d_multi_inplace(float* io, unsigned nx, unsigned ny, float a);
// No zero test: a zero divisor gives IEEE infinities and NaN.
void hcuda_2d_divide_inplace(float* io, unsigned nx, unsigned ny, float a);
void hcuda_2d_sub_divide_inplace(float* io, unsigned nx, unsigned ny, float a, float b);
void hcuda_2d_powf_inplace(float* io, unsigned nx, unsigned ny, float a);
// Negation: v becomes -v.
void hcuda_2d_invert_inplace(float* io, unsigned nx, unsigned ny);

// ---- functions of one pixel ----
__global__ void cuda_2d_sqr(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_sqrt(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_abs(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_exp(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_log(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_logf(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_log2(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_log10(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_log1p(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_log1pf(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_sqr_inplace(float* io, unsigned nx, unsigned ny);
__global__ void cuda_2d_pow2_inplace(float* io, unsigned nx, unsigned ny);
__global__ void cuda_2d_sqrt_inplace(float* io, unsigned nx, unsigned ny);
__global__ void cuda_2d_abs_inplace(float* io, unsigned nx, unsigned ny);
__global__ void cuda_2d_exp_inplace(float* io, unsigned nx, unsigned ny);
__global__ void cuda_2d_log_inplace(float* io, unsigned nx, unsigned ny);
__global__ void cuda_2d_logf_inplace(float* io, unsigned nx, unsigned ny);
__global__ void cuda_2d_log2_inplace(float* io, unsigned nx, unsigned ny);
__global__ void cuda_2d_log10_inplace(float* io, unsigned nx, unsigned ny);
__global__ void cuda_2d_log1p_inplace(float* io, unsigned nx, unsigned ny);
__global__ void cuda_2d_log1pf_inplace(float* io, unsigned nx, unsigned ny);

void hcuda_2d_sqr(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_sqrt(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_abs(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_exp(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_log(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_logf(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_log2(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_log10(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_log1p(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_log1pf(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_sqr_inplace(float* io, unsigned nx, unsigned ny);
void hcuda_2d_pow2_inplace(float* io, unsigned nx, unsigned ny);
void hcuda_2d_sqrt_inplace(float* io, unsigned nx, unsigned ny);
void hcuda_2d_abs_inplace(float* io, unsigned nx, unsigned ny);
void hcuda_2d_exp_inplace(float* io, unsigned nx, unsigned ny);
void hcuda_2d_log_inplace(float* io, unsigned nx, unsigned ny);
void hcuda_2d_logf_inplace(float* io, unsigned nx, unsigned ny);
void hcuda_2d_log2_inplace(float* io, unsigned nx, unsigned ny);
void hcuda_2d_log10_inplace(float* io, unsigned nx, unsigned ny);
void hcuda_2d_log1p_inplace(float* io, unsigned nx, unsigned ny);
void hcuda_2d_log1pf_inplace(float* io, unsigned nx, unsigned ny);

// ---- CPU twins of the one-image operations, on host arrays ----
void cpu_2d_empty(float* out, unsigned nx, unsigned ny);
void cpu_2d_memset(float* out, float v, unsigned nx, unsigned ny);
// v*a + b with the product rounded before the sum (the kernel fuses them).
void cpu_2d_multi_add(float* out, const float* in, unsigned nx, unsigned ny, float a, float b);
void cpu_2d_multi_add_inplace(float* io, unsigned nx, unsigned ny, float a, float b);
// Flips the sign bit of every element (0 becomes -0).
void cpu_2d_invert_inplace(float* io, unsigned nx, unsigned ny);

// ---- two images: out = a op b, or a = a op b in place; quotients have no zero test ----
__global__ void cuda_x2d_add(float* out, const float* a, const float* b, unsigned nx, unsigned ny);
__global__ void cuda_x2d_sub(float* out, const float* a, const float* b, unsigned nx, unsigned ny);
__global__ void cuda_x2d_multi(float* out, const float* a, const float* b, unsigned nx, unsigned ny);
__global__ void cuda_x2d_divide(float* out, const float* a, const float* b, unsigned nx, unsigned ny);
__global__ void cuda_x2d_add_inplace(float* a, const float* b, unsigned nx, unsigned ny);
__global__ void cuda_x2d_sub_inplace(float* a, const float* b, unsigned nx, unsigned ny);
__global__ void cuda_x2d_multi_inplace(float* a, const float* b, unsigned nx, unsigned ny);
__global__ void cuda_x2d_divide_inplace(float* a, const float* b, unsigned nx, unsigned ny);

void hcuda_x2d_add(float* out, const float* a, const float* b, unsigned nx, unsigned ny);
void hcuda_x2d_sub(float* out, const float* a, const float* b, unsigned nx, unsigned ny);
void hcuda_x2d_multi(float* out, const float* a, const float* b, unsigned nx, unsigned ny);
void hcuda_x2d_divide(float* out, const float* a, const float* b, unsigned nx, unsigned ny);
void hcuda_x2d_add_inplace(float* a, const float* b, unsigned nx, unsigned ny);
void hcuda_x2d_sub_inplace(float* a, const float* b, unsigned nx, unsigned ny);
void hcuda_x2d_multi_inplace(float* a, const float* b, unsigned nx, unsigned ny);
void hcuda_x2d_divide_inplace(float* a, const float* b, unsigned nx, unsigned ny);

void cpu_x2d_add_inplace(float* a, const float* b, unsigned nx, unsigned ny);
void cpu_x2d_sub_inplace(float* a, const float* b, unsigned nx, unsigned ny);
void cpu_x2d_multi_inplace(float* a, const float* b, unsigned nx, unsigned ny);
void cpu_x2d_divide_inplace(float* a, const float* b, unsigned nx, unsigned ny);
// a = a - b on host arrays, computed on the GPU.
void gpu_x2d_sub_inplace(float* a, const float* b, unsigned nx, unsigned ny);

// Slice k of stack a is multiplied by slice k of stack b, k = 0 .. nz-1 (nothing when nz <= 0).
void hcuda_x2ds_multi_inplace(float* a, const float* b, unsigned nx, unsigned ny, int nz);

// ---- stacks: one thread per pixel walks the nz slices ----
__global__ void cuda_2ds_logf(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);
__global__ void cuda_2ds_logf_inplace(float* io, unsigned nx, unsigned ny, unsigned nz);
__global__ void cuda_2ds_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);
__global__ void cuda_2ds_ave_logf(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);
__global__ void cuda_2ds_logf_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);

// out (nz slices) = logf(in), slice by slice.
void hcuda_2ds_logf(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);
void hcuda_2ds_logf_inplace(float* io, unsigned nx, unsigned ny, unsigned nz);
// out (one image) = sum of the slices / nz; NaN everywhere when nz is 0. out must not overlap in.
void hcuda_2ds_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);
// out (one image) = sum of logf of the slices / nz.
void hcuda_2ds_ave_logf(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);
// The same as hcuda_2ds_ave_logf: the logarithm of each slice, then their mean.
void hcuda_2ds_logf_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);

// Host stacks streamed to the GPU one slice at a time (two images of device memory).
// Mean of the slices; prints one "." per slice and "\n" after the last.
void gpu_2ds_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);
// Mean of the logarithms of the slices; prints nothing.
void gpu_2ds_ave_logf(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);
// The same as gpu_2ds_ave_logf.
void gpu_2ds_logf_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz);
