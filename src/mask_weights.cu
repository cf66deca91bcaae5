// One-dimensional soft masks and their combination. Each weight rule is one
// __host__ __device__ functor shared by the kernel and the CPU twin.
#define VORN_UNIT "src/mask_weights"
#include "mask_weights.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

namespace {

// ---- weight rules ----

struct SoftMaskWeight {
    float c, r, w;
    __host__ __device__ float operator()(size_t i) const {
        const float d = fabsf((float)i - c);
        if (d > r + w) return 0.0f;
        if (d > r) {
            const float sigma = w / 3.0f, e = d - r;
            return expf(-(e * e) / (2.0f * sigma * sigma));
        }
        return 1.0f;
    }
};
// The larger value; a NaN on either side fails the test and gives B.
struct MaskOr {
    __host__ __device__ float operator()(float a, float b) const { return a >= b ? a : b; }
};
struct MaskAnd {
    __host__ __device__ float operator()(float a, float b) const { return a * b; }
};

// ---- the flat shape: one thread per element ----

__device__ __forceinline__ bool element(unsigned long n, size_t& i) {
    i = (size_t)blockIdx.x * blockDim.x + threadIdx.x;
    return i < n;
}
template <class Rule>
__device__ __forceinline__ void generate(float* out, unsigned long n, Rule rule) {
    size_t i;
    if (element(n, i)) out[i] = rule(i);
}
template <class Rule>
__device__ __forceinline__ void combine(float* out, const float* A, const float* B, unsigned long n, Rule rule) {
    size_t i;
    if (element(n, i)) out[i] = rule(A[i], B[i]);
}
template <class Rule>
void cpu_combine(float* out, const float* A, const float* B, unsigned long n, Rule rule) {
    for (size_t i = 0; i < n; ++i) out[i] = rule(A[i], B[i]);
}

// ---- host arrays through the GPU ----

void copy_back_and_free(float* host, float* d, unsigned long n) {
    copy_to_host(GPU_SITE, host, d, n);
    device_release(GPU_SITE, d);
}
// out = rule(A, B) on the GPU; out may be A.
void gpu_combine(void (*hcuda)(float*, const float*, const float*, unsigned long), float* out, const float* A,
                 const float* B, unsigned long n) {
    if (n == 0) return;
    float* dA = device_copy_of(GPU_SITE, A, n);
    float* dB = device_copy_of(GPU_SITE, B, n);
    float* dOut = out == A ? dA : device_buffer<float>(GPU_SITE, n);
    hcuda(dOut, dA, dB, n);
    copy_back_and_free(out, dOut, n);
    if (dOut != dA) device_release(GPU_SITE, dA);
    device_release(GPU_SITE, dB);
}

}  // namespace

// ---- kernels ----
__global__ void cuda_1d_generate_rmask_soft(float* out, unsigned long n, float c, float r, float w) { generate(out, n, SoftMaskWeight{c, r, w}); }
__global__ void cuda_1d_mask_A_or_B(float* out, const float* A, const float* B, unsigned long n) { combine(out, A, B, n, MaskOr{}); }
__global__ void cuda_1d_mask_A_and_B(float* out, const float* A, const float* B, unsigned long n) { combine(out, A, B, n, MaskAnd{}); }
__global__ void cuda_1d_mask_A_or_B_inplace(float* A, const float* B, unsigned long n) { combine(A, A, B, n, MaskOr{}); }
__global__ void cuda_1d_mask_A_and_B_inplace(float* A, const float* B, unsigned long n) { combine(A, A, B, n, MaskAnd{}); }

// ---- device arrays ----
void hcuda_1d_generate_rmask_soft(float* out, unsigned long n, float c, float r, float w) { gpu_launch_1d<cuda_1d_generate_rmask_soft>(GPU_SITE, n, out, n, c, r, w); }
void hcuda_1d_mask_A_or_B(float* out, const float* A, const float* B, unsigned long n) { gpu_launch_1d<cuda_1d_mask_A_or_B>(GPU_SITE, n, out, A, B, n); }
void hcuda_1d_mask_A_and_B(float* out, const float* A, const float* B, unsigned long n) { gpu_launch_1d<cuda_1d_mask_A_and_B>(GPU_SITE, n, out, A, B, n); }
void hcuda_1d_mask_A_or_B_inplace(float* A, const float* B, unsigned long n) { gpu_launch_1d<cuda_1d_mask_A_or_B_inplace>(GPU_SITE, n, A, B, n); }
void hcuda_1d_mask_A_and_B_inplace(float* A, const float* B, unsigned long n) { gpu_launch_1d<cuda_1d_mask_A_and_B_inplace>(GPU_SITE, n, A, B, n); }

// ---- host arrays through the GPU ----
void gpu_1d_generate_rmask_soft(float* out, unsigned long n, float c, float r, float w) {
    if (n == 0) return;
    float* d = device_buffer<float>(GPU_SITE, n);
    hcuda_1d_generate_rmask_soft(d, n, c, r, w);
    copy_back_and_free(out, d, n);
}
void gpu_1d_mask_A_or_B(float* out, const float* A, const float* B, unsigned long n) { gpu_combine(hcuda_1d_mask_A_or_B, out, A, B, n); }
void gpu_1d_mask_A_and_B(float* out, const float* A, const float* B, unsigned long n) { gpu_combine(hcuda_1d_mask_A_and_B, out, A, B, n); }
void gpu_1d_mask_A_or_B_inplace(float* A, const float* B, unsigned long n) { gpu_combine(hcuda_1d_mask_A_or_B, A, A, B, n); }
void gpu_1d_mask_A_and_B_inplace(float* A, const float* B, unsigned long n) { gpu_combine(hcuda_1d_mask_A_and_B, A, A, B, n); }

// ---- CPU twins ----
void cpu_1d_generate_rmask_soft(float* out, unsigned long n, float c, float r, float w) {
    const SoftMaskWeight rule{c, r, w};
    for (size_t i = 0; i < n; ++i) out[i] = rule(i);
}
void cpu_1d_mask_A_or_B(float* out, const float* A, const float* B, unsigned long n) { cpu_combine(out, A, B, n, MaskOr{}); }
void cpu_1d_mask_A_and_B(float* out, const float* A, const float* B, unsigned long n) { cpu_combine(out, A, B, n, MaskAnd{}); }
void cpu_1d_mask_A_or_B_inplace(float* A, const float* B, unsigned long n) { cpu_combine(A, A, B, n, MaskOr{}); }
void cpu_1d_mask_A_and_B_inplace(float* A, const float* B, unsigned long n) { cpu_combine(A, A, B, n, MaskAnd{}); }
