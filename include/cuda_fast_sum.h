// Sums of float arrays in device memory, returned to the host as floats.
//
// A reduction runs in passes; each pass turns m values into one partial sum
// per block, and passes repeat until one value is left. The pairwise tree
// kernels (suffix 8) add two values per thread while loading and walk the
// array with a grid stride; the interleaved kernels (suffix 1) load one value
// per thread. T, the threads per block, is a power of two (64 to 1024 for the
// pairwise kernels, at most 1024 for the interleaved ones); callers pass 1024.
//
// In-place passes never let one block overwrite a value that another block of
// the same pass still reads: each block stores its partial sum at the first
// value of its own span, so the values of the next pass lie at a stride (the
// kernels' `stride` argument) and the last pass leaves the sum at element 0.
#pragma once
#include <cstddef>
#include <functional>

#include "cuda_general.h"

// ---- kernels (dynamic shared memory: T floats) ----

// Pairwise pass: block b stores the sum of its values at out[b].
__global__ void cuda_reduce_data_for_sum8(const float* x, float* out, size_t m);
// Pairwise in-place pass over the m values x[0], x[stride], ..., x[(m-1)*stride]:
// block b stores its sum at x[b*2T*stride].
__global__ void cuda_reduce_data_for_sum8_inplace(float* x, size_t m, size_t stride);
// Interleaved pass: block b sums x[b*T .. b*T+T-1] into out[b].
__global__ void cuda_reduce_data_for_sum1(const float* x, float* out, size_t m);
// Interleaved in-place pass over x[j*stride], j < m: block b stores its sum at x[b*T*stride].
__global__ void cuda_reduce_data_for_sum1_inplace(float* x, size_t m, size_t stride);
// Pairwise pass over the products a[i]*b[i] (the second product of a pair
// fused in by a multiply-add): block k stores its sum at a[k*2T].
__global__ void cuda_reduce_data_for_dot7t_inplace(float* a, const float* b, size_t m);

// ---- host functions on device arrays; every sum over n = 0 values is 0 ----

// Pairwise sum; x is unchanged.
float hcuda_fast_sum(const float* x, size_t n, int T);
// Pairwise sum of the n values x that `produce` writes (a function that only
// launches kernels), as hcuda_fast_sum gives it: produce and the first pass
// are launched together (gpu_launch_together), then checked with at's line.
float hcuda_fast_sum_produced(GpuSite at, const std::function<void()>& produce, const float* x, size_t n, int T);
// Pairwise sum that uses x as its workspace: x is destroyed, x[0] ends with the sum.
float hcuda_fast_sum_inplace(float* x, size_t n, int T);
float hcuda_fast_sum8(const float* x, size_t n, int T);
// As hcuda_fast_sum8 with the caller's buffer (at least ceil(n/(2T)) floats) as
// workspace; buf is freed before the call returns.
float hcuda_fast_sum8_buf(const float* x, size_t n, float* buf, int T);
float hcuda_fast_sum8_inplace1(float* x, size_t n, int T);
float hcuda_fast_sum8_inplace2(float* x, size_t n, int T);
// Interleaved sum; x is unchanged.
float hcuda_fast_sum1(const float* x, size_t n, int T);
// Interleaved sum that destroys x; x[0] ends with the sum.
float hcuda_fast_sum1_inplace(float* x, size_t n, int T);
// One interleaved pass: out[b] = sum of x[b*T .. b*T+T-1] for b < ceil(n/T).
void hcuda_reduce_data_for_sum1(const float* x, float* out, size_t n, int T);
// The same pass in place: afterwards x[b] holds block b's sum for b < ceil(n/T).
void hcuda_reduce_data_for_sum1_inplace(float* x, size_t n, int T);
// Sum of a[i]*b[i]; a is destroyed (a[0] ends with the result). T is not used
// (the passes run 1024 threads), so callers may leave it out.
float hcuda_fast_dot_inplace(float* a, const float* b, size_t n, int T = 1024);
// The sum by the NPP signal primitive; x is unchanged.
float hcuda_fast_sum_npp(const float* x, size_t n);

