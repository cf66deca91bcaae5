// The GPU side of math_utils: elementwise kernels on flat arrays, row-with-one
// products and sums, and statistics and normalisations of device arrays.
#define VORN_UNIT "src/math_utils"
#include "math_utils_gpu.h"
#include "gpu_launch.h"

#include "cuda_fast_sum.h"
#include "math_utils.h"

namespace {

// ---- the elementwise shape: one thread per element, 64-bit index ----

__device__ __forceinline__ size_t element_index() { return (size_t)blockIdx.x * blockDim.x + threadIdx.x; }

template <class Op>
__device__ __forceinline__ void map_one(float* out, const float* in, unsigned long n, Op op) {
    const size_t i = element_index();
    if (i < n) out[i] = op(in[i]);
}

template <class Op>
__device__ __forceinline__ void map_two(float* out, const float* a, const float* b, unsigned long n, Op op) {
    const size_t i = element_index();
    if (i < n) out[i] = op(a[i], b[i]);
}

struct Add {
    __device__ float operator()(float a, float b) const { return a + b; }
};
struct Sub {
    __device__ float operator()(float a, float b) const { return a - b; }
};
struct Mul {
    __device__ float operator()(float a, float b) const { return a * b; }
};
struct Div {
    __device__ float operator()(float a, float b) const { return a / b; }
};
// x op k.
template <class Op>
struct WithScalar {
    float k;
    __device__ float operator()(float x) const { return Op{}(x, k); }
};
// (x op1 k) op2 k2, each step rounded.
template <class Op1, class Op2>
struct WithTwoScalars {
    float k, k2;
    __device__ float operator()(float x) const { return Op2{}(Op1{}(x, k), k2); }
};
// x*k + k2 with one rounding.
struct FusedMultiplyAdd {
    float k, k2;
    __device__ float operator()(float x) const { return fmaf(x, k, k2); }
};
struct Square {
    __device__ float operator()(float x) const { return x * x; }
};
// d*d with d = x - k rounded first.
struct SquaredDeviation {
    float k;
    __device__ float operator()(float x) const {
        const float d = x - k;
        return d * d;
    }
};
struct Log {
    __device__ float operator()(float x) const { return logf(x); }
};
struct Sqrt {
    __device__ float operator()(float x) const { return sqrtf(x); }
};
struct MaskedSquare {
    __device__ float operator()(float x, float m) const { return (x * x) * m; }
};
struct MaskedSquaredDeviation {
    float k;
    __device__ float operator()(float x, float m) const { return m * SquaredDeviation{k}(x); }
};


}  // namespace

// ---- elementwise kernels ----

__global__ void cuda_x1d_add(float* out, const float* a, const float* b, unsigned long n) { map_two(out, a, b, n, Add{}); }
__global__ void cuda_x1d_sub(float* out, const float* a, const float* b, unsigned long n) { map_two(out, a, b, n, Sub{}); }
__global__ void cuda_x1d_multi(float* out, const float* a, const float* b, unsigned long n) { map_two(out, a, b, n, Mul{}); }
__global__ void cuda_x1d_divide(float* out, const float* a, const float* b, unsigned long n) { map_two(out, a, b, n, Div{}); }
__global__ void cuda_x1d_add_inplace(float* a, const float* b, unsigned long n) { map_two(a, a, b, n, Add{}); }
__global__ void cuda_x1d_sub_inplace(float* a, const float* b, unsigned long n) { map_two(a, a, b, n, Sub{}); }
__global__ void cuda_x1d_multi_inplace(float* a, const float* b, unsigned long n) { map_two(a, a, b, n, Mul{}); }
__global__ void cuda_x1d_divide_inplace(float* a, const float* b, unsigned long n) { map_two(a, a, b, n, Div{}); }
__global__ void cuda_addto_float(float* a, const float* b, unsigned long n) { map_two(a, a, b, n, Add{}); }
__global__ void cuda_add(float* out, const float* in, unsigned long n, float k) { map_one(out, in, n, WithScalar<Add>{k}); }
__global__ void cuda_sub(float* out, const float* in, unsigned long n, float k) { map_one(out, in, n, WithScalar<Sub>{k}); }
__global__ void cuda_multi(float* out, const float* in, unsigned long n, float k) { map_one(out, in, n, WithScalar<Mul>{k}); }
__global__ void cuda_divide(float* out, const float* in, unsigned long n, float k) { map_one(out, in, n, WithScalar<Div>{k}); }
__global__ void cuda_add_multi(float* out, const float* in, unsigned long n, float k, float k2) { map_one(out, in, n, WithTwoScalars<Add, Mul>{k, k2}); }
__global__ void cuda_multi_add(float* out, const float* in, unsigned long n, float k, float k2) { map_one(out, in, n, FusedMultiplyAdd{k, k2}); }
__global__ void cuda_sub_divide(float* out, const float* in, unsigned long n, float k, float k2) { map_one(out, in, n, WithTwoScalars<Sub, Div>{k, k2}); }
__global__ void cuda_divide_sub(float* out, const float* in, unsigned long n, float k, float k2) { map_one(out, in, n, WithTwoScalars<Div, Sub>{k, k2}); }
__global__ void cuda_add_inplace(float* a, unsigned long n, float k) { map_one(a, a, n, WithScalar<Add>{k}); }
__global__ void cuda_sub_inplace(float* a, unsigned long n, float k) { map_one(a, a, n, WithScalar<Sub>{k}); }
__global__ void cuda_multi_inplace(float* a, unsigned long n, float k) { map_one(a, a, n, WithScalar<Mul>{k}); }
__global__ void cuda_divide_inplace(float* a, unsigned long n, float k) { map_one(a, a, n, WithScalar<Div>{k}); }
__global__ void cuda_multi_add_inplace(float* a, unsigned long n, float k, float k2) { map_one(a, a, n, FusedMultiplyAdd{k, k2}); }
__global__ void cuda_sub_divide_inplace(float* a, unsigned long n, float k, float k2) { map_one(a, a, n, WithTwoScalars<Sub, Div>{k, k2}); }
__global__ void cuda_sqr(float* out, const float* in, unsigned long n) { map_one(out, in, n, Square{}); }
__global__ void cuda_sub_sqr(float* out, const float* in, unsigned long n, float k) { map_one(out, in, n, SquaredDeviation{k}); }
__global__ void cuda_submean_sqr(float* out, const float* in, unsigned long n, float k) { map_one(out, in, n, SquaredDeviation{k}); }
__global__ void cuda_logf(float* out, float* in, unsigned long n) { map_one(out, in, n, Log{}); }
__global__ void cuda_sqrtf(float* out, float* in, unsigned long n) { map_one(out, in, n, Sqrt{}); }
__global__ void cuda_sqr_inplace(float* a, unsigned long n) { map_one(a, a, n, Square{}); }
__global__ void cuda_sqrtf_inplace(float* a, unsigned long n) { map_one(a, a, n, Sqrt{}); }
__global__ void cuda_logf_inplace(float* a, unsigned long n) { map_one(a, a, n, Log{}); }
__global__ void cuda_sqr_withmask(float* out, const float* in, const float* mask, unsigned long n) { map_two(out, in, mask, n, MaskedSquare{}); }
__global__ void cuda_submean_sqr_withmask(float* out, const float* in, const float* mask, unsigned long n, float k) { map_two(out, in, mask, n, MaskedSquaredDeviation{k}); }

// ---- elementwise host functions ----

void hcuda_x1d_add(float* out, const float* a, const float* b, unsigned long n) { gpu_launch_1d<cuda_x1d_add>(GPU_SITE, n, out, a, b, n); }
void hcuda_x1d_sub(float* out, const float* a, const float* b, unsigned long n) { gpu_launch_1d<cuda_x1d_sub>(GPU_SITE, n, out, a, b, n); }
void hcuda_x1d_multi(float* out, const float* a, const float* b, unsigned long n) { gpu_launch_1d<cuda_x1d_multi>(GPU_SITE, n, out, a, b, n); }
void hcuda_x1d_divide(float* out, const float* a, const float* b, unsigned long n) { gpu_launch_1d<cuda_x1d_divide>(GPU_SITE, n, out, a, b, n); }
void hcuda_x1d_add_inplace(float* a, const float* b, unsigned long n) { gpu_launch_1d<cuda_x1d_add_inplace>(GPU_SITE, n, a, b, n); }
void hcuda_x1d_sub_inplace(float* a, const float* b, unsigned long n) { gpu_launch_1d<cuda_x1d_sub_inplace>(GPU_SITE, n, a, b, n); }
void hcuda_x1d_multi_inplace(float* a, const float* b, unsigned long n) { gpu_launch_1d<cuda_x1d_multi_inplace>(GPU_SITE, n, a, b, n); }
void hcuda_x1d_divide_inplace(float* a, const float* b, unsigned long n) { gpu_launch_1d<cuda_x1d_divide_inplace>(GPU_SITE, n, a, b, n); }
void hcuda_addto_float(float* a, const float* b, unsigned long n) { gpu_launch_1d<cuda_addto_float>(GPU_SITE, n, a, b, n); }
void hcuda_add(float* out, const float* in, unsigned long n, float k) { gpu_launch_1d<cuda_add>(GPU_SITE, n, out, in, n, k); }
void hcuda_sub(float* out, const float* in, unsigned long n, float k) { gpu_launch_1d<cuda_sub>(GPU_SITE, n, out, in, n, k); }
void hcuda_multi(float* out, const float* in, unsigned long n, float k) { gpu_launch_1d<cuda_multi>(GPU_SITE, n, out, in, n, k); }
void hcuda_divide(float* out, const float* in, unsigned long n, float k) { gpu_launch_1d<cuda_divide>(GPU_SITE, n, out, in, n, k); }
void hcuda_add_multi(float* out, const float* in, unsigned long n, float k, float k2) { gpu_launch_1d<cuda_add_multi>(GPU_SITE, n, out, in, n, k, k2); }
void hcuda_multi_add(float* out, const float* in, unsigned long n, float k, float k2) { gpu_launch_1d<cuda_multi_add>(GPU_SITE, n, out, in, n, k, k2); }
void hcuda_sub_divide(float* out, const float* in, unsigned long n, float k, float k2) { gpu_launch_1d<cuda_sub_divide>(GPU_SITE, n, out, in, n, k, k2); }
void hcuda_divide_sub(float* out, const float* in, unsigned long n, float k, float k2) { gpu_launch_1d<cuda_divide_sub>(GPU_SITE, n, out, in, n, k, k2); }
void hcuda_add_inplace(float* a, unsigned long n, float k) { gpu_launch_1d<cuda_add_inplace>(GPU_SITE, n, a, n, k); }
void hcuda_sub_inplace(float* a, unsigned long n, float k) { gpu_launch_1d<cuda_sub_inplace>(GPU_SITE, n, a, n, k); }
void hcuda_multi_inplace(float* a, unsigned long n, float k) { gpu_launch_1d<cuda_multi_inplace>(GPU_SITE, n, a, n, k); }
void hcuda_divide_inplace(float* a, unsigned long n, float k) { gpu_launch_1d<cuda_divide_inplace>(GPU_SITE, n, a, n, k); }
void hcuda_multi_add_inplace(float* a, unsigned long n, float k, float k2) { gpu_launch_1d<cuda_multi_add_inplace>(GPU_SITE, n, a, n, k, k2); }
void hcuda_sub_divide_inplace(float* a, unsigned long n, float k, float k2) { gpu_launch_1d<cuda_sub_divide_inplace>(GPU_SITE, n, a, n, k, k2); }
void hcuda_invert_inplace(float* a, unsigned long n) { gpu_launch_1d<cuda_multi_inplace>(GPU_SITE, n, a, n, -1.0f); }
void hcuda_sqr(float* out, const float* in, unsigned long n) { gpu_launch_1d<cuda_sqr>(GPU_SITE, n, out, in, n); }
void hcuda_sub_sqr(float* out, const float* in, unsigned long n, float k) { gpu_launch_1d<cuda_sub_sqr>(GPU_SITE, n, out, in, n, k); }
void hcuda_submean_sqr(float* out, const float* in, unsigned long n, float k) { gpu_launch_1d<cuda_submean_sqr>(GPU_SITE, n, out, in, n, k); }
void hcuda_logf(float* out, float* in, unsigned long n) { gpu_launch_1d<cuda_logf>(GPU_SITE, n, out, in, n); }
void hcuda_sqrtf(float* out, float* in, unsigned long n) { gpu_launch_1d<cuda_sqrtf>(GPU_SITE, n, out, in, n); }
void hcuda_sqr_inplace(float* a, unsigned long n) { gpu_launch_1d<cuda_sqr_inplace>(GPU_SITE, n, a, n); }
void hcuda_sqrtf_inplace(float* a, unsigned long n) { gpu_launch_1d<cuda_sqrtf_inplace>(GPU_SITE, n, a, n); }
void hcuda_logf_inplace(float* a, unsigned long n) { gpu_launch_1d<cuda_logf_inplace>(GPU_SITE, n, a, n); }
void hcuda_apply_mask(float* out, const float* in, const float* mask, unsigned long n) { gpu_launch_1d<cuda_x1d_multi>(GPU_SITE, n, out, in, mask, n); }
void hcuda_apply_mask_inplace(float* a, const float* mask, unsigned long n) { gpu_launch_1d<cuda_x1d_multi_inplace>(GPU_SITE, n, a, mask, n); }
void hcuda_sqr_withmask(float* out, const float* in, const float* mask, unsigned long n) { gpu_launch_1d<cuda_sqr_withmask>(GPU_SITE, n, out, in, mask, n); }
void hcuda_submean_sqr_withmask(float* out, const float* in, const float* mask, unsigned long n, float k) { gpu_launch_1d<cuda_submean_sqr_withmask>(GPU_SITE, n, out, in, mask, n, k); }

// ---- rows with one row ----

namespace {

// Sum over begin <= j < end in ascending order, each step folded by the term.
template <class Term>
__device__ __forceinline__ float ordered_sum(int begin, int end, const Term& term) {
    float acc = 0.0f;
    for (int j = begin; j < end; ++j) acc = term(acc, j);
    return acc;
}

struct RowDot {
    const float* row;
    const float* one;
    __device__ float operator()(float acc, int j) const { return fmaf(row[j], one[j], acc); }
};

struct StridedSum {
    const float* first;
    size_t stride;
    __device__ float operator()(float acc, int j) const { return acc + first[(size_t)j * stride]; }
};

// The thread's row or column index; true when it is below the bound.
__device__ __forceinline__ bool own_line(int bound, unsigned int& r) {
    r = blockIdx.x * blockDim.x + threadIdx.x;
    return (long long)r < (long long)bound;
}

unsigned long line_count(int count) { return count > 0 ? (unsigned long)count : 0; }

}  // namespace

__global__ void cuda_dot_manydata_with_one(float* many, float* one, int n, float* out, int m) {
    unsigned int r;
    if (own_line(m, r)) out[r] = ordered_sum(0, n, RowDot{many + (size_t)r * n, one});
}

// The band is empty when lo >= hi compared unsigned, so a negative lo gives 0
// instead of reading before the row.
__global__ void cuda_correlation_many_with_one_limited(float* many, float* one, float* out, int n, int m, int lo, int hi) {
    unsigned int r;
    if (!own_line(m, r)) return;
    out[r] = (unsigned int)lo >= (unsigned int)hi ? 0.0f : ordered_sum(lo, hi, RowDot{many + (size_t)r * n, one});
}

__global__ void cuda_sumX_manydata_to_one(float* data, float* out, int n, int m) {
    unsigned int r;
    if (own_line(m, r)) out[r] = ordered_sum(0, n, StridedSum{data + (size_t)r * n, 1});
}

__global__ void cuda_sumY_manydata_to_one(float* data, float* out, int n, int m) {
    unsigned int j;
    if (own_line(n, j)) out[j] = ordered_sum(0, m, StridedSum{data + j, (size_t)n});
}

__global__ void cuda_multiply_manydata_with_one(float* many, float* one, float* out, int n, int m) {
    const unsigned int x = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned int y = blockIdx.y * blockDim.y + threadIdx.y;
    if ((long long)x >= n || (long long)y >= m) return;
    const size_t i = (size_t)y * n + x;
    out[i] = many[i] * one[x];
}

__global__ void cuda_reduce_data_for_ccc(float* a, float* b, float* partial, unsigned long n) {
    GPU_DYNAMIC_SHARED(float, s);
    GPU_PHASE_BEGIN
        const size_t i = (size_t)blockIdx.x * blockDim.x + threadIdx.x;
        s[threadIdx.x] = i < n ? a[i] * b[i] : 0.0f;
    GPU_PHASE_END
    // Interleaved addressing: slot 2*w*t collects slot 2*w*t + w.
    for (unsigned int w = 1; w < blockDim.x; w <<= 1) {
        GPU_PHASE_BELOW((blockDim.x + 2 * w - 1) / (2 * w))
            if (2 * w * threadIdx.x < blockDim.x) s[2 * w * threadIdx.x] += s[2 * w * threadIdx.x + w];
        GPU_PHASE_END
    }
    GPU_PHASE_BELOW(1)
        partial[blockIdx.x] = s[0];
    GPU_PHASE_END
}

void hcuda_dot_manydata_with_one(float* many, float* one, int n, float* out, int m) {
    gpu_launch_1d<cuda_dot_manydata_with_one>(GPU_SITE, line_count(m), many, one, n, out, m);
}
void hcuda_sumX_manydata_to_one(float* data, float* out, int n, int m) {
    gpu_launch_1d<cuda_sumX_manydata_to_one>(GPU_SITE, line_count(m), data, out, n, m);
}
void hcuda_sumY_manydata_to_one(float* data, float* out, int n, int m) {
    gpu_launch_1d<cuda_sumY_manydata_to_one>(GPU_SITE, line_count(n), data, out, n, m);
}

// ---- statistics ----

namespace {

constexpr int kSumThreads = 1024;

// Fills a fresh temporary of n floats with Kernel(temporary, args...), sums it
// in place and frees it.
template <auto Kernel, class... A>
float sum_of_temporary(unsigned long n, const A&... args) {
    if (n == 0) return 0.0f;
    float* t = nullptr;
    safe_cudaMalloc((void**)&t, n * sizeof(float));
    gpu_launch_1d<Kernel>(GPU_SITE, n, t, args...);
    const float sum = hcuda_fast_sum_inplace(t, n, kSumThreads);
    CUDA_CHECK(cudaFree(t));
    return sum;
}

// x <- (x - mean)*(a/stdv) + b: a subtraction, then one fused multiply-add.
void shift_and_scale(float* x, unsigned long n, float mean, float stdv, float a, float b) {
    hcuda_sub_inplace(x, n, mean);
    hcuda_multi_add_inplace(x, n, a / stdv, b);
}

}  // namespace

float hcuda_fast_mean(const float* x, unsigned long n) { return hcuda_fast_sum(x, n, kSumThreads) / (float)n; }

float hcuda_fast_sum_withmask(const float* x, const float* m, unsigned long n) {
    return sum_of_temporary<cuda_x1d_multi>(n, x, m, n);
}

float hcuda_mean_withmask(const float* x, const float* m, unsigned long n) {
    return hcuda_fast_sum_withmask(x, m, n) / hcuda_fast_sum(m, n, kSumThreads);
}

float hcuda_fast_sumsqr(const float* x, unsigned long n) { return sum_of_temporary<cuda_sqr>(n, x, n); }

float hcuda_fast_sumsqr_inplace(float* x, unsigned long n) {
    hcuda_sqr_inplace(x, n);
    return hcuda_fast_sum_inplace(x, n, kSumThreads);
}

float hcuda_fast_sumsqr_withmask(const float* x, const float* m, unsigned long n) {
    return sum_of_temporary<cuda_sqr_withmask>(n, x, m, n);
}

float hcuda_fast_submean_sumsqr(const float* x, unsigned long n) {
    return sum_of_temporary<cuda_submean_sqr>(n, x, n, hcuda_fast_mean(x, n));
}
float hcuda_variance(const float* x, unsigned long n) { return hcuda_fast_submean_sumsqr(x, n) / (float)n; }
float hcuda_stdv(const float* x, unsigned long n) { return sqrtf(hcuda_variance(x, n)); }

float hcuda_fast_submean_sumsqr_withmask(const float* x, const float* m, unsigned long n) {
    return sum_of_temporary<cuda_submean_sqr_withmask>(n, x, m, n, hcuda_mean_withmask(x, m, n));
}
float hcuda_variance_withmask(const float* x, const float* m, unsigned long n) {
    return hcuda_fast_submean_sumsqr_withmask(x, m, n) / (float)n;
}
float hcuda_stdv_withmask(const float* x, const float* m, unsigned long n) {
    return sqrtf(hcuda_fast_submean_sumsqr_withmask(x, m, n) / hcuda_fast_sum(m, n, kSumThreads));
}

// ---- normalisation ----

float hcuda_znorm_inplace(float* x, unsigned long n, float a, float b) {
    hcuda_sub_inplace(x, n, hcuda_fast_mean(x, n));
    const float stdv = sqrtf(hcuda_fast_sumsqr(x, n) / (float)n);
    hcuda_multi_add_inplace(x, n, a / stdv, b);
    return hcuda_fast_sum(x, n, kSumThreads);
}

void hcuda_norm_withmask_inplace(float* x, const float* m, unsigned long n, float a, float b) {
    const float mean = hcuda_mean_withmask(x, m, n);
    shift_and_scale(x, n, mean, hcuda_stdv_withmask(x, m, n), a, b);
}

void hcuda_norm_withmask_applymask_inplace(float* x, const float* m, unsigned long n, float a, float b) {
    hcuda_norm_withmask_inplace(x, m, n, a, b);
    hcuda_apply_mask_inplace(x, m, n);
}

void gpu_norm_withmask_applymask(float* out, const float* x, const float* m, unsigned long n, float a, float b) {
    if (n == 0) return;
    const size_t bytes = n * sizeof(float);
    float* data = nullptr;
    float* mask = nullptr;
    safe_cudaMalloc((void**)&data, bytes);
    safe_cudaMalloc((void**)&mask, bytes);
    CUDA_CHECK(memcpy_H2D(data, x, bytes));
    CUDA_CHECK(memcpy_H2D(mask, m, bytes));
    hcuda_norm_withmask_applymask_inplace(data, mask, n, a, b);
    CUDA_CHECK(memcpy_D2H(out, data, bytes));
    CUDA_CHECK(cudaFree(mask));
    CUDA_CHECK(cudaFree(data));
}

void gpu_norm_withmask_applymask_inplace(float* x, const float* m, unsigned long n, float a, float b) {
    gpu_norm_withmask_applymask(x, x, m, n, a, b);
}

void hm_norm_withmask_inplace(float* x, const float* m, unsigned long n, float a, float b) {
    const double mask_sum = hm_sum_check0(m, n);
    const double masked_sum = hm_sum_withmask(x, m, n);
    const float stdv = hcuda_stdv_withmask(x, m, n);
    shift_and_scale(x, n, (float)(masked_sum / mask_sum), stdv, a, b);
}
