// Elementwise operations on float images and stacks in device memory, their
// CPU twins and host-array forms. Every kernel is one line on the kernel frame
// of the header (fill_pixels, map_pixels, zip_pixels) or on the slice walks
// below, with the pixel operation given as a small functor.
#define VORN_UNIT "src/process2d_core"
#include "process2d_core.h"
#include "gpu_launch.h"

#include <cstdio>
#include <cstring>

namespace {

// ---- pixel operations ----
struct Same { template <class T> __host__ __device__ T operator()(T v) const { return v; } };
struct Plus { __host__ __device__ float operator()(float a, float b) const { return a + b; } };
struct Minus { __host__ __device__ float operator()(float a, float b) const { return a - b; } };
struct Times { __host__ __device__ float operator()(float a, float b) const { return a * b; } };
struct Over { __host__ __device__ float operator()(float a, float b) const { return a / b; } };
struct Power { __host__ __device__ float operator()(float a, float b) const { return powf(a, b); } };
// v op s for a scalar s.
template <class Op> struct WithScalar { float s; __host__ __device__ float operator()(float v) const { return Op{}(v, s); } };
struct FusedMultiAdd { float a, b; __host__ __device__ float operator()(float v) const { return fmaf(v, a, b); } };
struct RoundedMultiAdd { float a, b; __host__ __device__ float operator()(float v) const { return v * a + b; } };
struct AddMulti { float a, b; __host__ __device__ float operator()(float v) const { return (v + a) * b; } };
struct SubDivide { float a, b; __host__ __device__ float operator()(float v) const { return (v - a) / b; } };
struct Square { __host__ __device__ float operator()(float v) const { return v * v; } };
struct Sqrt { __host__ __device__ float operator()(float v) const { return sqrtf(v); } };
struct Abs { __host__ __device__ float operator()(float v) const { return fabsf(v); } };
struct Exp { __host__ __device__ float operator()(float v) const { return expf(v); } };
struct Log { __host__ __device__ float operator()(float v) const { return logf(v); } };
struct Log2 { __host__ __device__ float operator()(float v) const { return log2f(v); } };
struct Log10 { __host__ __device__ float operator()(float v) const { return log10f(v); } };
struct Log1p { __host__ __device__ float operator()(float v) const { return log1pf(v); } };
// IEEE negation flips the sign bit only: 0 becomes -0 and a NaN keeps its payload.
struct Negate { float operator()(float v) const { return -v; } };

// ---- stack walks: the thread of pixel i visits element i of every slice ----
template <class F>
__device__ __forceinline__ void map_slices(uint2 t, float* out, const float* in, unsigned nx, unsigned ny, unsigned nz, F f) {
    size_t i;
    if (!pixel_inside(t, nx, ny, i)) return;
    for (unsigned k = 0; k < nz; ++k) {
        const size_t e = i + stack_slice_offset(k, nx, ny);
        out[e] = f(in[e]);
    }
}
// Sum in slice order in single precision, then one division by nz (0/0 = NaN for nz = 0).
template <class F>
__device__ __forceinline__ void average_slices(uint2 t, float* out, const float* in, unsigned nx, unsigned ny, unsigned nz, F f) {
    size_t i;
    if (!pixel_inside(t, nx, ny, i)) return;
    float sum = 0.0f;
    for (unsigned k = 0; k < nz; ++k) sum += f(in[i + stack_slice_offset(k, nx, ny)]);
    out[i] = sum / (float)nz;
}

// ---- host side ----
template <class F> void host_map(float* out, const float* in, unsigned nx, unsigned ny, F f) {
    for (size_t i = 0, n = image_pixels(nx, ny); i < n; ++i) out[i] = f(in[i]);
}
template <class F> void host_zip(float* a, const float* b, unsigned nx, unsigned ny, F f) {
    for (size_t i = 0, n = image_pixels(nx, ny); i < n; ++i) a[i] = f(a[i], b[i]);
}
float* device_image(size_t bytes) {
    float* d = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&d, bytes));
    return d;
}

}  // namespace

// ---- fills and copies ----
__global__ void cuda_2d_empty(float* out, unsigned nx, unsigned ny) { fill_pixels(IMAGE_THREAD_XY, out, nx, ny, 0.0f); }
__global__ void cuda_2d_cx_empty(float2* out, unsigned nx, unsigned ny) { fill_pixels(IMAGE_THREAD_XY, out, nx, ny, make_float2(0.0f, 0.0f)); }
__global__ void cuda_2d_memset(float* out, float v, unsigned nx, unsigned ny) { fill_pixels(IMAGE_THREAD_XY, out, nx, ny, v); }
__global__ void cuda_c2d_memset(float2* out, float2 v, unsigned nx, unsigned ny) { fill_pixels(IMAGE_THREAD_XY, out, nx, ny, v); }
__global__ void cuda_2d_memcpy(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Same{}); }
__global__ void cuda_c2d_memcpy(float2* out, const float2* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Same{}); }

void hcuda_2d_empty(float* out, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_empty>(GPU_SITE, nx, ny, out, nx, ny); }
void hcuda_2d_cx_empty(float2* out, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_cx_empty>(GPU_SITE, nx, ny, out, nx, ny); }
void hcuda_2d_memset(float* out, float v, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_memset>(GPU_SITE, nx, ny, out, v, nx, ny); }
void hcuda_c2d_memset(float2* out, float2 v, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_c2d_memset>(GPU_SITE, nx, ny, out, v, nx, ny); }
void hcuda_2d_memcpy(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_memcpy>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_c2d_memcpy(float2* out, const float2* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_c2d_memcpy>(GPU_SITE, nx, ny, out, in, nx, ny); }

// ---- arithmetic with scalars ----
__global__ void cuda_2d_add(float* out, const float* in, unsigned nx, unsigned ny, float a) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, WithScalar<Plus>{a}); }
__global__ void cuda_2d_sub(float* out, const float* in, unsigned nx, unsigned ny, float a) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, WithScalar<Minus>{a}); }
__global__ void cuda_2d_multi(float* out, const float* in, unsigned nx, unsigned ny, float a) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, WithScalar<Times>{a}); }
__global__ void cuda_2d_divide(float* out, const float* in, unsigned nx, unsigned ny, float a) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, WithScalar<Over>{a}); }
__global__ void cuda_2d_multi_add(float* out, const float* in, unsigned nx, unsigned ny, float a, float b) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, FusedMultiAdd{a, b}); }
__global__ void cuda_2d_add_multi(float* out, const float* in, unsigned nx, unsigned ny, float a, float b) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, AddMulti{a, b}); }
__global__ void cuda_2d_sub_divide(float* out, const float* in, unsigned nx, unsigned ny, float a, float b) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, SubDivide{a, b}); }
__global__ void cuda_2d_pow(float* out, const float* in, unsigned nx, unsigned ny, float a) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, WithScalar<Power>{a}); }
__global__ void cuda_2d_add_inplace(float* io, unsigned nx, unsigned ny, float a) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, WithScalar<Plus>{a}); }
__global__ void cuda_2d_sub_inplace(float* io, unsigned nx, unsigned ny, float a) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, WithScalar<Minus>{a}); }
__global__ void cuda_2d_multi_inplace(float* io, unsigned nx, unsigned ny, float a) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, WithScalar<Times>{a}); }
__global__ void cuda_2d_divide_inplace(float* io, unsigned nx, unsigned ny, float a) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, WithScalar<Over>{a}); }
__global__ void cuda_2d_sub_divide_inplace(float* io, unsigned nx, unsigned ny, float a, float b) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, SubDivide{a, b}); }
__global__ void cuda_2d_powf_inplace(float* io, unsigned nx, unsigned ny, float a) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, WithScalar<Power>{a}); }

void hcuda_2d_add(float* out, const float* in, unsigned nx, unsigned ny, float a) { gpu_launch_2d<cuda_2d_add>(GPU_SITE, nx, ny, out, in, nx, ny, a); }
void hcuda_2d_sub(float* out, const float* in, unsigned nx, unsigned ny, float a) { gpu_launch_2d<cuda_2d_sub>(GPU_SITE, nx, ny, out, in, nx, ny, a); }
void hcuda_2d_multi(float* out, const float* in, unsigned nx, unsigned ny, float a) { gpu_launch_2d<cuda_2d_multi>(GPU_SITE, nx, ny, out, in, nx, ny, a); }
void hcuda_2d_divide(float* out, const float* in, unsigned nx, unsigned ny, float a) {
    if (a == 0.0f) VORN_FATAL("divisor must be non-zero value\n");
    gpu_launch_2d<cuda_2d_divide>(GPU_SITE, nx, ny, out, in, nx, ny, a);
}
void hcuda_2d_multi_add(float* out, const float* in, unsigned nx, unsigned ny, float a, float b) { gpu_launch_2d<cuda_2d_multi_add>(GPU_SITE, nx, ny, out, in, nx, ny, a, b); }
// The scalars go to the kernel swapped: the result is (v + b)*a, which callers rely on.
void hcuda_2d_add_multi(float* out, const float* in, unsigned nx, unsigned ny, float a, float b) { gpu_launch_2d<cuda_2d_add_multi>(GPU_SITE, nx, ny, out, in, nx, ny, b, a); }
void hcuda_2d_sub_divide(float* out, const float* in, unsigned nx, unsigned ny, float a, float b) {
    if (b == 0.0f) VORN_FATAL("divisor must be non-zero value\n");
    gpu_launch_2d<cuda_2d_sub_divide>(GPU_SITE, nx, ny, out, in, nx, ny, a, b);
}
void hcuda_2d_pow(float* out, const float* in, unsigned nx, unsigned ny, float a) { gpu_launch_2d<cuda_2d_pow>(GPU_SITE, nx, ny, out, in, nx, ny, a); }
void hcuda_2d_add_inplace(float* io, unsigned nx, unsigned ny, float a) { gpu_launch_2d<cuda_2d_add_inplace>(GPU_SITE, nx, ny, io, nx, ny, a); }
void hcuda_2d_sub_inplace(float* io, unsigned nx, unsigned ny, float a) { gpu_launch_2d<cuda_2d_sub_inplace>(GPU_SITE, nx, ny, io, nx, ny, a); }
void hcuda_2d_multi_inplace(float* io, unsigned nx, unsigned ny, float a) { gpu_launch_2d<cuda_2d_multi_inplace>(GPU_SITE, nx, ny, io, nx, ny, a); }
void hcuda_2d_divide_inplace(float* io, unsigned nx, unsigned ny, float a) { gpu_launch_2d<cuda_2d_divide_inplace>(GPU_SITE, nx, ny, io, nx, ny, a); }
void hcuda_2d_sub_divide_inplace(float* io, unsigned nx, unsigned ny, float a, float b) { gpu_launch_2d<cuda_2d_sub_divide_inplace>(GPU_SITE, nx, ny, io, nx, ny, a, b); }
void hcuda_2d_powf_inplace(float* io, unsigned nx, unsigned ny, float a) { gpu_launch_2d<cuda_2d_powf_inplace>(GPU_SITE, nx, ny, io, nx, ny, a); }
void hcuda_2d_invert_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_multi_inplace>(GPU_SITE, nx, ny, io, nx, ny, -1.0f); }

// ---- functions of one pixel ----
__global__ void cuda_2d_sqr(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Square{}); }
__global__ void cuda_2d_sqrt(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Sqrt{}); }
__global__ void cuda_2d_abs(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Abs{}); }
__global__ void cuda_2d_exp(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Exp{}); }
__global__ void cuda_2d_log(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Log{}); }
__global__ void cuda_2d_logf(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Log{}); }
__global__ void cuda_2d_log2(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Log2{}); }
__global__ void cuda_2d_log10(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Log10{}); }
__global__ void cuda_2d_log1p(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Log1p{}); }
__global__ void cuda_2d_log1pf(float* out, const float* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Log1p{}); }
__global__ void cuda_2d_sqr_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Square{}); }
__global__ void cuda_2d_pow2_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Square{}); }
__global__ void cuda_2d_sqrt_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Sqrt{}); }
__global__ void cuda_2d_abs_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Abs{}); }
__global__ void cuda_2d_exp_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Exp{}); }
__global__ void cuda_2d_log_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Log{}); }
__global__ void cuda_2d_logf_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Log{}); }
__global__ void cuda_2d_log2_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Log2{}); }
__global__ void cuda_2d_log10_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Log10{}); }
__global__ void cuda_2d_log1p_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Log1p{}); }
__global__ void cuda_2d_log1pf_inplace(float* io, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, io, io, nx, ny, Log1p{}); }

void hcuda_2d_sqr(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_sqr>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_sqrt(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_sqrt>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_abs(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_abs>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_exp(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_exp>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_log(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_logf(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_log2(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log2>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_log10(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log10>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_log1p(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log1p>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_log1pf(float* out, const float* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log1pf>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_2d_sqr_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_sqr_inplace>(GPU_SITE, nx, ny, io, nx, ny); }
void hcuda_2d_pow2_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_pow2_inplace>(GPU_SITE, nx, ny, io, nx, ny); }
void hcuda_2d_sqrt_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_sqrt_inplace>(GPU_SITE, nx, ny, io, nx, ny); }
void hcuda_2d_abs_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_abs_inplace>(GPU_SITE, nx, ny, io, nx, ny); }
void hcuda_2d_exp_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_exp_inplace>(GPU_SITE, nx, ny, io, nx, ny); }
void hcuda_2d_log_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log_inplace>(GPU_SITE, nx, ny, io, nx, ny); }
void hcuda_2d_logf_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_logf_inplace>(GPU_SITE, nx, ny, io, nx, ny); }
void hcuda_2d_log2_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log2_inplace>(GPU_SITE, nx, ny, io, nx, ny); }
void hcuda_2d_log10_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log10_inplace>(GPU_SITE, nx, ny, io, nx, ny); }
void hcuda_2d_log1p_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log1p_inplace>(GPU_SITE, nx, ny, io, nx, ny); }
void hcuda_2d_log1pf_inplace(float* io, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_2d_log1pf_inplace>(GPU_SITE, nx, ny, io, nx, ny); }

// ---- CPU twins of the one-image operations ----
void cpu_2d_empty(float* out, unsigned nx, unsigned ny) { std::memset(out, 0, image_pixels(nx, ny) * sizeof(float)); }
void cpu_2d_memset(float* out, float v, unsigned nx, unsigned ny) { cpu_memset_f32(out, image_pixels(nx, ny), v); }
void cpu_2d_multi_add(float* out, const float* in, unsigned nx, unsigned ny, float a, float b) { host_map(out, in, nx, ny, RoundedMultiAdd{a, b}); }
void cpu_2d_multi_add_inplace(float* io, unsigned nx, unsigned ny, float a, float b) { host_map(io, io, nx, ny, RoundedMultiAdd{a, b}); }
void cpu_2d_invert_inplace(float* io, unsigned nx, unsigned ny) { host_map(io, io, nx, ny, Negate{}); }

// ---- two images ----
__global__ void cuda_x2d_add(float* out, const float* a, const float* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, b, nx, ny, Plus{}); }
__global__ void cuda_x2d_sub(float* out, const float* a, const float* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, b, nx, ny, Minus{}); }
__global__ void cuda_x2d_multi(float* out, const float* a, const float* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, b, nx, ny, Times{}); }
__global__ void cuda_x2d_divide(float* out, const float* a, const float* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, b, nx, ny, Over{}); }
__global__ void cuda_x2d_add_inplace(float* a, const float* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, b, nx, ny, Plus{}); }
__global__ void cuda_x2d_sub_inplace(float* a, const float* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, b, nx, ny, Minus{}); }
__global__ void cuda_x2d_multi_inplace(float* a, const float* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, b, nx, ny, Times{}); }
__global__ void cuda_x2d_divide_inplace(float* a, const float* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, b, nx, ny, Over{}); }

void hcuda_x2d_add(float* out, const float* a, const float* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_x2d_add>(GPU_SITE, nx, ny, out, a, b, nx, ny); }
void hcuda_x2d_sub(float* out, const float* a, const float* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_x2d_sub>(GPU_SITE, nx, ny, out, a, b, nx, ny); }
void hcuda_x2d_multi(float* out, const float* a, const float* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_x2d_multi>(GPU_SITE, nx, ny, out, a, b, nx, ny); }
void hcuda_x2d_divide(float* out, const float* a, const float* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_x2d_divide>(GPU_SITE, nx, ny, out, a, b, nx, ny); }
void hcuda_x2d_add_inplace(float* a, const float* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_x2d_add_inplace>(GPU_SITE, nx, ny, a, b, nx, ny); }
void hcuda_x2d_sub_inplace(float* a, const float* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_x2d_sub_inplace>(GPU_SITE, nx, ny, a, b, nx, ny); }
void hcuda_x2d_multi_inplace(float* a, const float* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_x2d_multi_inplace>(GPU_SITE, nx, ny, a, b, nx, ny); }
void hcuda_x2d_divide_inplace(float* a, const float* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_x2d_divide_inplace>(GPU_SITE, nx, ny, a, b, nx, ny); }

void cpu_x2d_add_inplace(float* a, const float* b, unsigned nx, unsigned ny) { host_zip(a, b, nx, ny, Plus{}); }
void cpu_x2d_sub_inplace(float* a, const float* b, unsigned nx, unsigned ny) { host_zip(a, b, nx, ny, Minus{}); }
void cpu_x2d_multi_inplace(float* a, const float* b, unsigned nx, unsigned ny) { host_zip(a, b, nx, ny, Times{}); }
void cpu_x2d_divide_inplace(float* a, const float* b, unsigned nx, unsigned ny) { host_zip(a, b, nx, ny, Over{}); }

void gpu_x2d_sub_inplace(float* a, const float* b, unsigned nx, unsigned ny) {
    const size_t bytes = image_pixels(nx, ny) * sizeof(float);
    float* da = device_image(bytes);
    float* db = device_image(bytes);
    CUDA_CHECK(cudaMemcpy(da, a, bytes, cudaMemcpyHostToDevice));
    CUDA_CHECK(cudaMemcpy(db, b, bytes, cudaMemcpyHostToDevice));
    hcuda_x2d_sub_inplace(da, db, nx, ny);
    CUDA_CHECK(cudaMemcpy(a, da, bytes, cudaMemcpyDeviceToHost));
    CUDA_CHECK(cudaFree(da));
    CUDA_CHECK(cudaFree(db));
}

// One launch and one synchronisation per slice.
void hcuda_x2ds_multi_inplace(float* a, const float* b, unsigned nx, unsigned ny, int nz) {
    for (int k = 0; k < nz; ++k) {
        const size_t offset = stack_slice_offset((size_t)k, nx, ny);
        hcuda_x2d_multi_inplace(a + offset, b + offset, nx, ny);
    }
}

// ---- stacks ----
__global__ void cuda_2ds_logf(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { map_slices(IMAGE_THREAD_XY, out, in, nx, ny, nz, Log{}); }
__global__ void cuda_2ds_logf_inplace(float* io, unsigned nx, unsigned ny, unsigned nz) { map_slices(IMAGE_THREAD_XY, io, io, nx, ny, nz, Log{}); }
__global__ void cuda_2ds_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { average_slices(IMAGE_THREAD_XY, out, in, nx, ny, nz, Same{}); }
__global__ void cuda_2ds_ave_logf(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { average_slices(IMAGE_THREAD_XY, out, in, nx, ny, nz, Log{}); }
__global__ void cuda_2ds_logf_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { average_slices(IMAGE_THREAD_XY, out, in, nx, ny, nz, Log{}); }

void hcuda_2ds_logf(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { if (nz) gpu_launch_2d<cuda_2ds_logf>(GPU_SITE, nx, ny, out, in, nx, ny, nz); }
void hcuda_2ds_logf_inplace(float* io, unsigned nx, unsigned ny, unsigned nz) { if (nz) gpu_launch_2d<cuda_2ds_logf_inplace>(GPU_SITE, nx, ny, io, nx, ny, nz); }
void hcuda_2ds_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { gpu_launch_2d<cuda_2ds_ave>(GPU_SITE, nx, ny, out, in, nx, ny, nz); }
void hcuda_2ds_ave_logf(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { gpu_launch_2d<cuda_2ds_ave_logf>(GPU_SITE, nx, ny, out, in, nx, ny, nz); }
void hcuda_2ds_logf_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { gpu_launch_2d<cuda_2ds_logf_ave>(GPU_SITE, nx, ny, out, in, nx, ny, nz); }

// Mean of a host stack on the GPU, slice by slice through one staging image,
// each slice optionally replaced by its logarithm before it is added.
static void stream_stack_mean(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz, bool logarithm, bool dots) {
    const size_t bytes = image_pixels(nx, ny) * sizeof(float);
    float* sum = device_image(bytes);
    float* slice = device_image(bytes);
    hcuda_2d_empty(sum, nx, ny);
    for (unsigned k = 0; k < nz; ++k) {
        if (dots) std::printf(".");
        CUDA_CHECK(memcpy_H2D(slice, in + stack_slice_offset(k, nx, ny), bytes));
        if (logarithm) hcuda_2d_logf_inplace(slice, nx, ny);
        hcuda_x2d_add_inplace(sum, slice, nx, ny);
    }
    if (dots) std::printf("\n");
    hcuda_2d_divide_inplace(sum, nx, ny, (float)nz);
    CUDA_CHECK(memcpy_D2H(out, sum, bytes));
    CUDA_CHECK(cudaFree(sum));
    CUDA_CHECK(cudaFree(slice));
}
void gpu_2ds_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { stream_stack_mean(out, in, nx, ny, nz, false, true); }
void gpu_2ds_ave_logf(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { stream_stack_mean(out, in, nx, ny, nz, true, false); }
void gpu_2ds_logf_ave(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz) { stream_stack_mean(out, in, nx, ny, nz, true, false); }
