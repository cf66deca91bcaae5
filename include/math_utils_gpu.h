// The GPU side of math_utils: elementwise operations on flat float arrays in
// device memory, many-rows-with-one-row products and sums, and statistics and
// normalisations of device arrays returned to the host as floats.
//
// Elementwise operations run one thread per element in blocks of 1024 and
// wait for the device; the first array is overwritten by the in-place forms,
// and an output may be the same array as an input. Nothing guards against zero
// divisors, non-positive logarithms or negative square roots: IEEE results
// are written. Counts are 64-bit; the element index is formed in 64 bits.
#pragma once
#include "cuda_general.h"

// ---- elementwise kernels (same arguments as their host functions) ----
__global__ void cuda_x1d_add(float* out, const float* a, const float* b, unsigned long n);
__global__ void cuda_x1d_sub(float* out, const float* a, const float* b, unsigned long n);
__global__ void cuda_x1d_multi(float* out, const float* a, const float* b, unsigned long n);
__global__ void cuda_x1d_divide(float* out, const float* a, const float* b, unsigned long n);
__global__ void cuda_x1d_add_inplace(float* a, const float* b, unsigned long n);
__global__ void cuda_x1d_sub_inplace(float* a, const float* b, unsigned long n);
__global__ void cuda_x1d_multi_inplace(float* a, const float* b, unsigned long n);
__global__ void cuda_x1d_divide_inplace(float* a, const float* b, unsigned long n);
__global__ void cuda_addto_float(float* a, const float* b, unsigned long n);
__global__ void cuda_add(float* out, const float* in, unsigned long n, float k);
__global__ void cuda_sub(float* out, const float* in, unsigned long n, float k);
__global__ void cuda_multi(float* out, const float* in, unsigned long n, float k);
__global__ void cuda_divide(float* out, const float* in, unsigned long n, float k);
__global__ void cuda_add_multi(float* out, const float* in, unsigned long n, float k, float k2);
__global__ void cuda_multi_add(float* out, const float* in, unsigned long n, float k, float k2);
__global__ void cuda_sub_divide(float* out, const float* in, unsigned long n, float k, float k2);
__global__ void cuda_divide_sub(float* out, const float* in, unsigned long n, float k, float k2);
__global__ void cuda_add_inplace(float* a, unsigned long n, float k);
__global__ void cuda_sub_inplace(float* a, unsigned long n, float k);
__global__ void cuda_multi_inplace(float* a, unsigned long n, float k);
__global__ void cuda_divide_inplace(float* a, unsigned long n, float k);
__global__ void cuda_multi_add_inplace(float* a, unsigned long n, float k, float k2);
__global__ void cuda_sub_divide_inplace(float* a, unsigned long n, float k, float k2);
__global__ void cuda_sqr(float* out, const float* in, unsigned long n);
__global__ void cuda_sub_sqr(float* out, const float* in, unsigned long n, float k);
__global__ void cuda_submean_sqr(float* out, const float* in, unsigned long n, float k);
__global__ void cuda_logf(float* out, float* in, unsigned long n);
__global__ void cuda_sqrtf(float* out, float* in, unsigned long n);
__global__ void cuda_sqr_inplace(float* a, unsigned long n);
__global__ void cuda_sqrtf_inplace(float* a, unsigned long n);
__global__ void cuda_logf_inplace(float* a, unsigned long n);
__global__ void cuda_sqr_withmask(float* out, const float* in, const float* mask, unsigned long n);
__global__ void cuda_submean_sqr_withmask(float* out, const float* in, const float* mask, unsigned long n, float k);

// ---- elementwise host functions on device arrays ----
// a op b into out; in place into a.
void hcuda_x1d_add(float* out, const float* a, const float* b, unsigned long n);
void hcuda_x1d_sub(float* out, const float* a, const float* b, unsigned long n);
void hcuda_x1d_multi(float* out, const float* a, const float* b, unsigned long n);
void hcuda_x1d_divide(float* out, const float* a, const float* b, unsigned long n);
void hcuda_x1d_add_inplace(float* a, const float* b, unsigned long n);
void hcuda_x1d_sub_inplace(float* a, const float* b, unsigned long n);
void hcuda_x1d_multi_inplace(float* a, const float* b, unsigned long n);
void hcuda_x1d_divide_inplace(float* a, const float* b, unsigned long n);
void hcuda_addto_float(float* a, const float* b, unsigned long n);
// in op k; the two-scalar forms: (in + k)*k2, fmaf(in, k, k2), (in - k)/k2, in/k - k2.
void hcuda_add(float* out, const float* in, unsigned long n, float k);
void hcuda_sub(float* out, const float* in, unsigned long n, float k);
void hcuda_multi(float* out, const float* in, unsigned long n, float k);
void hcuda_divide(float* out, const float* in, unsigned long n, float k);
void hcuda_add_multi(float* out, const float* in, unsigned long n, float k, float k2);
void hcuda_multi_add(float* out, const float* in, unsigned long n, float k, float k2);
void hcuda_sub_divide(float* out, const float* in, unsigned long n, float k, float k2);
void hcuda_divide_sub(float* out, const float* in, unsigned long n, float k, float k2);
void hcuda_add_inplace(float* a, unsigned long n, float k);
void hcuda_sub_inplace(float* a, unsigned long n, float k);
void hcuda_multi_inplace(float* a, unsigned long n, float k);
void hcuda_divide_inplace(float* a, unsigned long n, float k);
void hcuda_multi_add_inplace(float* a, unsigned long n, float k, float k2);
void hcuda_sub_divide_inplace(float* a, unsigned long n, float k, float k2);
// a <- -a (a change of sign, not a reciprocal).
void hcuda_invert_inplace(float* a, unsigned long n);
// in*in; (in - k)^2 (sub_sqr and submean_sqr alike); ln(in); sqrt(in).
void hcuda_sqr(float* out, const float* in, unsigned long n);
void hcuda_sub_sqr(float* out, const float* in, unsigned long n, float k);
void hcuda_submean_sqr(float* out, const float* in, unsigned long n, float k);
void hcuda_logf(float* out, float* in, unsigned long n);
void hcuda_sqrtf(float* out, float* in, unsigned long n);
void hcuda_sqr_inplace(float* a, unsigned long n);
void hcuda_sqrtf_inplace(float* a, unsigned long n);
void hcuda_logf_inplace(float* a, unsigned long n);
// in*mask; (in*in)*mask; mask*(in - k)^2.
void hcuda_apply_mask(float* out, const float* in, const float* mask, unsigned long n);
void hcuda_apply_mask_inplace(float* a, const float* mask, unsigned long n);
void hcuda_sqr_withmask(float* out, const float* in, const float* mask, unsigned long n);
void hcuda_submean_sqr_withmask(float* out, const float* in, const float* mask, unsigned long n, float k);

// ---- m rows of n floats (row r at r*n) combined with one row of n floats ----
// Sums run in float in ascending index order; the output must not overlap an input.
__global__ void cuda_dot_manydata_with_one(float* many, float* one, int n, float* out, int m);
__global__ void cuda_sumX_manydata_to_one(float* data, float* out, int n, int m);
__global__ void cuda_sumY_manydata_to_one(float* data, float* out, int n, int m);
// out[r] = sum over lo <= j < hi of many[r*n + j]*one[j]; 0 when lo >= hi.
__global__ void cuda_correlation_many_with_one_limited(float* many, float* one, float* out, int n, int m, int lo, int hi);
// 2-D grid over (column x < n, row y < m): out[y*n + x] = many[y*n + x]*one[x].
__global__ void cuda_multiply_manydata_with_one(float* many, float* one, float* out, int n, int m);
// partial[block] = sum of a[i]*b[i] over the block's indices below n; blocks of a
// power-of-two size B with B floats of dynamic shared memory.
__global__ void cuda_reduce_data_for_ccc(float* a, float* b, float* partial, unsigned long n);

// out[r] = dot product of row r with one (fused multiply-adds), r < m.
void hcuda_dot_manydata_with_one(float* many, float* one, int n, float* out, int m);
// out[r] = sum of row r, r < m.
void hcuda_sumX_manydata_to_one(float* data, float* out, int n, int m);
// out[j] = sum of column j, j < n.
void hcuda_sumY_manydata_to_one(float* data, float* out, int n, int m);

// ---- statistics of device arrays (population forms; the mask m weights element i by m[i]) ----
float hcuda_fast_mean(const float* x, unsigned long n);
float hcuda_fast_sum_withmask(const float* x, const float* m, unsigned long n);
float hcuda_mean_withmask(const float* x, const float* m, unsigned long n);
float hcuda_fast_sumsqr(const float* x, unsigned long n);
// Consumes x: squares, then partial sums, with the result at x[0].
float hcuda_fast_sumsqr_inplace(float* x, unsigned long n);
float hcuda_fast_sumsqr_withmask(const float* x, const float* m, unsigned long n);
// Sum of squared deviations from the mean, and that over n, and its square root.
float hcuda_fast_submean_sumsqr(const float* x, unsigned long n);
float hcuda_variance(const float* x, unsigned long n);
float hcuda_stdv(const float* x, unsigned long n);
// Sum of m*(x - masked mean)^2; over n (not the mask sum); square root of it over the mask sum.
float hcuda_fast_submean_sumsqr_withmask(const float* x, const float* m, unsigned long n);
float hcuda_variance_withmask(const float* x, const float* m, unsigned long n);
float hcuda_stdv_withmask(const float* x, const float* m, unsigned long n);

// ---- normalisation to standard deviation a and mean b ----
// x <- (x - mean)*(a/stdv) + b; returns the sum of the normalised array.
float hcuda_znorm_inplace(float* x, unsigned long n, float a, float b);
// With mean and deviation measured under the mask; every element is transformed.
void hcuda_norm_withmask_inplace(float* x, const float* m, unsigned long n, float a, float b);
// The same, then x <- x*m.
void hcuda_norm_withmask_applymask_inplace(float* x, const float* m, unsigned long n, float a, float b);
// The same on host arrays.
void gpu_norm_withmask_applymask_inplace(float* x, const float* m, unsigned long n, float a, float b);
void gpu_norm_withmask_applymask(float* out, const float* x, const float* m, unsigned long n, float a, float b);
// As hcuda_norm_withmask_inplace with the mean from host double sums and the
// mask-sum warning; x and m must be managed memory.
void hm_norm_withmask_inplace(float* x, const float* m, unsigned long n, float a, float b);
