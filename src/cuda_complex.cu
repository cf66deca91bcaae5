// Elementwise operations on complex arrays in device memory and the CPU twins
// of the in-place complex arithmetic. Image kernels are one line on the 2D
// kernel frame of process2d_core; flat kernels on the 1D frame below.
#define VORN_UNIT "src/cuda_complex"
#include "cuda_complex.h"
#include "gpu_launch.h"

#include <cfloat>

#include "process2d_core.h"

namespace {

// ---- complex to real ----
struct Power { __host__ __device__ float operator()(float2 z) const { return z.x * z.x + z.y * z.y; } };
// sqrt(re^2 + im^2) in single precision: overflows to +inf beyond the float range.
struct Modulus { __host__ __device__ float operator()(float2 z) const { return sqrtf(Power{}(z)); } };
// Scaled by the larger part so that a modulus within the float range stays finite.
struct SafeModulus {
    __host__ __device__ float operator()(float2 z) const {
        const float a = fabsf(z.x), b = fabsf(z.y);
        const float m = a > b ? a : b, k = a > b ? b : a;  // a NaN part ends up in k or m and propagates
        if (m == 0.0f || m > FLT_MAX || k > FLT_MAX) return m + k;
        const float q = k / m;
        return m * sqrtf(1.0f + q * q);
    }
};
struct Phase { __host__ __device__ float operator()(float2 z) const { return atan2f(z.y, z.x); } };
struct LogModulus { __host__ __device__ float operator()(float2 z) const { return logf(Modulus{}(z)); } };
struct Log1pModulus { __host__ __device__ float operator()(float2 z) const { return logf(1.0f + Modulus{}(z)); } };
template <class F> struct RealOverScalar { float s; __host__ __device__ float operator()(float2 z) const { return F{}(z) / s; } };

// ---- complex arithmetic ----
struct ComplexOverReal { __host__ __device__ float2 operator()(float2 z, float r) const { return make_float2(z.x / r, z.y / r); } };
struct ComplexTimesReal { __host__ __device__ float2 operator()(float2 z, float r) const { return make_float2(z.x * r, z.y * r); } };
struct ComplexOverScalar { float s; __host__ __device__ float2 operator()(float2 z) const { return ComplexOverReal{}(z, s); } };
struct ComplexPlus { __host__ __device__ float2 operator()(float2 a, float2 b) const { return make_float2(a.x + b.x, a.y + b.y); } };
struct ComplexMinus { __host__ __device__ float2 operator()(float2 a, float2 b) const { return make_float2(a.x - b.x, a.y - b.y); } };
struct ComplexTimes {
    __host__ __device__ float2 operator()(float2 a, float2 b) const {
        return make_float2(a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x);
    }
};
struct ComplexTimesConj {
    __host__ __device__ float2 operator()(float2 a, float2 b) const {
        return make_float2(a.x * b.x + a.y * b.y, a.y * b.x - a.x * b.y);
    }
};
// a*conj(b) / |b|^2 without scaling: a zero b gives NaN or infinities.
struct ComplexOver {
    __host__ __device__ float2 operator()(float2 a, float2 b) const {
        return ComplexOverReal{}(ComplexTimesConj{}(a, b), Power{}(b));
    }
};
struct ComplexTimesConjOverScalar { float s; __host__ __device__ float2 operator()(float2 a, float2 b) const { return ComplexOverReal{}(ComplexTimesConj{}(a, b), s); } };

// ---- frames and launches ----
template <class F>
__device__ __forceinline__ void map_elements(const float2* in, float* out, unsigned long n, F f) {
    const size_t i = (size_t)blockIdx.x * blockDim.x + threadIdx.x;  // 64-bit: n may pass 2^32
    if (i < n) out[i] = f(in[i]);
}
template <class F> void host_zip(float2* a, const float2* b, unsigned nx, unsigned ny, F f) {
    for (size_t i = 0, n = image_pixels(nx, ny); i < n; ++i) a[i] = f(a[i], b[i]);
}

}  // namespace

// ---- flat conversions ----
__global__ void cuda_complex_mod(const float2* in, float* out, unsigned long n) { map_elements(in, out, n, SafeModulus{}); }
__global__ void cuda_complex_phi(const float2* in, float* out, unsigned long n) { map_elements(in, out, n, Phase{}); }
__global__ void cuda_complex_pow(const float2* in, float* out, unsigned long n) { map_elements(in, out, n, Power{}); }
__global__ void cuda_complex_logmod(const float2* in, float* out, unsigned long n) { map_elements(in, out, n, LogModulus{}); }
__global__ void cuda_complex_log1p_mod(const float2* in, float* out, unsigned long n) { map_elements(in, out, n, Log1pModulus{}); }

void hcuda_complex_mod(const float2* in, float* out, unsigned long n) { gpu_launch_1d<cuda_complex_mod>(GPU_SITE, n, in, out, n); }
void hcuda_complex_phi(const float2* in, float* out, unsigned long n) { gpu_launch_1d<cuda_complex_phi>(GPU_SITE, n, in, out, n); }
void hcuda_complex_pow(const float2* in, float* out, unsigned long n) { gpu_launch_1d<cuda_complex_pow>(GPU_SITE, n, in, out, n); }
void hcuda_complex_logmod(const float2* in, float* out, unsigned long n) { gpu_launch_1d<cuda_complex_logmod>(GPU_SITE, n, in, out, n); }
void hcuda_complex_log1p_mod(const float2* in, float* out, unsigned long n) { gpu_launch_1d<cuda_complex_log1p_mod>(GPU_SITE, n, in, out, n); }
void hcuda_complex_A(const float2* in, float* out, unsigned long n) { hcuda_complex_mod(in, out, n); }
void hcuda_complex_P(const float2* in, float* out, unsigned long n) { hcuda_complex_phi(in, out, n); }
void hcuda_complex_W(const float2* in, float* out, unsigned long n) { hcuda_complex_pow(in, out, n); }
void hcuda_complex_L(const float2* in, float* out, unsigned long n) { hcuda_complex_logmod(in, out, n); }
void hcuda_complex_M(const float2* in, float* out, unsigned long n) { hcuda_complex_log1p_mod(in, out, n); }

void hcuda_complex_proc(const float2* in, float* out, unsigned long n, char mode) {
    switch (mode) {
        case 'A': return hcuda_complex_mod(in, out, n);
        case 'P': return hcuda_complex_phi(in, out, n);
        case 'W': return hcuda_complex_pow(in, out, n);
        case 'L': return hcuda_complex_logmod(in, out, n);
        case 'M': return hcuda_complex_log1p_mod(in, out, n);
        default: CUDA_CHECK(cudaDeviceSynchronize());  // unknown letter: nothing written
    }
}

// ---- image conversions ----
__global__ void cuda_c2d_mod(float* out, const float2* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Modulus{}); }
__global__ void cuda_c2d_pow(float* out, const float2* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Power{}); }
__global__ void cuda_c2d_logmod(float* out, const float2* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, LogModulus{}); }
__global__ void cuda_c2d_logmod_1p(float* out, const float2* in, unsigned nx, unsigned ny) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, Log1pModulus{}); }
__global__ void cuda_c2d_mod_divR(float* out, const float2* in, unsigned nx, unsigned ny, float s) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, RealOverScalar<Modulus>{s}); }
__global__ void cuda_c2d_pow_divR(float* out, const float2* in, unsigned nx, unsigned ny, float s) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, RealOverScalar<Power>{s}); }

void hcuda_c2d_mod(float* out, const float2* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_c2d_mod>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_c2d_pow(float* out, const float2* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_c2d_pow>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_c2d_logmod(float* out, const float2* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_c2d_logmod>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_c2d_logmod_1p(float* out, const float2* in, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_c2d_logmod_1p>(GPU_SITE, nx, ny, out, in, nx, ny); }
void hcuda_c2d_mod_divR(float* out, const float2* in, unsigned nx, unsigned ny, float s) {
    if (s == 0.0f) VORN_FATAL("Divisor is zero");
    gpu_launch_2d<cuda_c2d_mod_divR>(GPU_SITE, nx, ny, out, in, nx, ny, s);
}
void hcuda_c2d_pow_divR(float* out, const float2* in, unsigned nx, unsigned ny, float s) {
    if (s == 0.0f) VORN_FATAL("Divisor is zero");
    gpu_launch_2d<cuda_c2d_pow_divR>(GPU_SITE, nx, ny, out, in, nx, ny, s);
}

// ---- complex image over a real scalar ----
__global__ void cuda_complex2d_norm(float2* out, const float2* in, unsigned nx, unsigned ny, float s) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, ComplexOverScalar{s}); }
__global__ void cuda_c2d_divR(float2* out, const float2* in, unsigned nx, unsigned ny, float s) { map_pixels(IMAGE_THREAD_XY, out, in, nx, ny, ComplexOverScalar{s}); }
__global__ void cuda_c2d_divR_inplace(float2* a, unsigned nx, unsigned ny, float s) { map_pixels(IMAGE_THREAD_XY, a, a, nx, ny, ComplexOverScalar{s}); }

void hcuda_complex2d_norm(float2* out, const float2* in, unsigned nx, unsigned ny, float s) { gpu_launch_2d<cuda_complex2d_norm>(GPU_SITE, nx, ny, out, in, nx, ny, s); }
void hcuda_c2d_divR(float2* out, const float2* in, unsigned nx, unsigned ny, float s) {
    if (s == 0.0f) VORN_FATAL("Divisor is zero");
    gpu_launch_2d<cuda_c2d_divR>(GPU_SITE, nx, ny, out, in, nx, ny, s);
}
void hcuda_c2d_divR_inplace(float2* a, unsigned nx, unsigned ny, float s) {
    if (s == 0.0f) VORN_FATAL("Divisor is zero");
    gpu_launch_2d<cuda_c2d_divR_inplace>(GPU_SITE, nx, ny, a, nx, ny, s);
}

// ---- two complex images ----
__global__ void cuda_cxc_2d_add(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, b, nx, ny, ComplexPlus{}); }
__global__ void cuda_cxc_2d_sub(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, b, nx, ny, ComplexMinus{}); }
__global__ void cuda_cxc_2d_multi(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, b, nx, ny, ComplexTimes{}); }
__global__ void cuda_cxc_2d_divide(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, b, nx, ny, ComplexOver{}); }
__global__ void cuda_cxc_2d_multconj(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, b, nx, ny, ComplexTimesConj{}); }
__global__ void cuda_cxc_2d_multconj_divide(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny, float s) { zip_pixels(IMAGE_THREAD_XY, out, a, b, nx, ny, ComplexTimesConjOverScalar{s}); }
__global__ void cuda_cxc_2d_add_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, b, nx, ny, ComplexPlus{}); }
__global__ void cuda_cxc_2d_sub_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, b, nx, ny, ComplexMinus{}); }
__global__ void cuda_cxc_2d_multi_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, b, nx, ny, ComplexTimes{}); }
__global__ void cuda_cxc_2d_divide_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, b, nx, ny, ComplexOver{}); }
__global__ void cuda_cxc_2d_multconj_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, b, nx, ny, ComplexTimesConj{}); }

void hcuda_cxc_2d_add(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxc_2d_add>(GPU_SITE, nx, ny, out, a, b, nx, ny); }
void hcuda_cxc_2d_sub(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxc_2d_sub>(GPU_SITE, nx, ny, out, a, b, nx, ny); }
void hcuda_cxc_2d_multi(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxc_2d_multi>(GPU_SITE, nx, ny, out, a, b, nx, ny); }
void hcuda_cxc_2d_divide(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxc_2d_divide>(GPU_SITE, nx, ny, out, a, b, nx, ny); }
void hcuda_cxc_2d_multconj(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxc_2d_multconj>(GPU_SITE, nx, ny, out, a, b, nx, ny); }
void hcuda_cxc_2d_multconj_divide(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny, float s) { gpu_launch_2d<cuda_cxc_2d_multconj_divide>(GPU_SITE, nx, ny, out, a, b, nx, ny, s); }
void hcuda_cxc_2d_add_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxc_2d_add_inplace>(GPU_SITE, nx, ny, a, b, nx, ny); }
void hcuda_cxc_2d_sub_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxc_2d_sub_inplace>(GPU_SITE, nx, ny, a, b, nx, ny); }
void hcuda_cxc_2d_multi_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxc_2d_multi_inplace>(GPU_SITE, nx, ny, a, b, nx, ny); }
void hcuda_cxc_2d_divide_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxc_2d_divide_inplace>(GPU_SITE, nx, ny, a, b, nx, ny); }
void hcuda_cxc_2d_multconj_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxc_2d_multconj_inplace>(GPU_SITE, nx, ny, a, b, nx, ny); }

void cpu_cxc_2d_add_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { host_zip(a, b, nx, ny, ComplexPlus{}); }
void cpu_cxc_2d_sub_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { host_zip(a, b, nx, ny, ComplexMinus{}); }
void cpu_cxc_2d_multi_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { host_zip(a, b, nx, ny, ComplexTimes{}); }
void cpu_cxc_2d_divide_inplace(float2* a, const float2* b, unsigned nx, unsigned ny) { host_zip(a, b, nx, ny, ComplexOver{}); }

// ---- complex image with a real image ----
__global__ void cuda_cxr_2d_multi(float2* out, const float2* a, const float* r, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, r, nx, ny, ComplexTimesReal{}); }
__global__ void cuda_cxr_2d_divide(float2* out, const float2* a, const float* r, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, out, a, r, nx, ny, ComplexOverReal{}); }
__global__ void cuda_cxr_2d_multi_inplace(float2* a, const float* r, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, r, nx, ny, ComplexTimesReal{}); }
__global__ void cuda_cxr_2d_divide_inplace(float2* a, const float* r, unsigned nx, unsigned ny) { zip_pixels(IMAGE_THREAD_XY, a, a, r, nx, ny, ComplexOverReal{}); }

void hcuda_cxr_2d_multi(float2* out, const float2* a, const float* r, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxr_2d_multi>(GPU_SITE, nx, ny, out, a, r, nx, ny); }
void hcuda_cxr_2d_divide(float2* out, const float2* a, const float* r, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxr_2d_divide>(GPU_SITE, nx, ny, out, a, r, nx, ny); }
void hcuda_cxr_2d_multi_inplace(float2* a, const float* r, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxr_2d_multi_inplace>(GPU_SITE, nx, ny, a, r, nx, ny); }
void hcuda_cxr_2d_divide_inplace(float2* a, const float* r, unsigned nx, unsigned ny) { gpu_launch_2d<cuda_cxr_2d_divide_inplace>(GPU_SITE, nx, ny, a, r, nx, ny); }

// One launch and one synchronisation per slice.
void hcuda_cxr_2ds_multi_inplace(float2* a, const float* r, unsigned nx, unsigned ny, int nz) {
    for (int k = 0; k < nz; ++k) {
        const size_t offset = stack_slice_offset((size_t)k, nx, ny);
        hcuda_cxr_2d_multi_inplace(a + offset, r + offset, nx, ny);
    }
}
