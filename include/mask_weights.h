// One-dimensional soft masks and their elementwise combination: GPU kernels,
// host functions on device arrays (hcuda_), host functions on host arrays run
// through the GPU (gpu_) and CPU twins (cpu_).
//
// A mask is a flat array of n floats; any flat float array (an image too) may
// be combined. A soft mask with centre c, radius r and edge width w weighs
// element i, with d = |i - c| in float:
//   d > r + w   0
//   d > r       exp(-(d - r)^2 / (2 sigma^2)), sigma = w/3 (1 just outside r,
//               exp(-4.5) at d = r + w)
//   otherwise   1
// tested in that order, so w = 0 gives a hard step at r and a negative w a
// hard step at r + w. OR takes the larger value (B when either is NaN), AND
// the product. Each thread touches only its own element, so an output may be
// one of the inputs. The gpu_ forms check every allocation and copy.
#pragma once
#include "cuda_general.h"

// ---- kernels ----
__global__ void cuda_1d_generate_rmask_soft(float* out, unsigned long n, float c, float r, float w);
__global__ void cuda_1d_mask_A_or_B(float* out, const float* A, const float* B, unsigned long n);
__global__ void cuda_1d_mask_A_and_B(float* out, const float* A, const float* B, unsigned long n);
__global__ void cuda_1d_mask_A_or_B_inplace(float* A, const float* B, unsigned long n);
__global__ void cuda_1d_mask_A_and_B_inplace(float* A, const float* B, unsigned long n);

// ---- device arrays ----
void hcuda_1d_generate_rmask_soft(float* out, unsigned long n, float c, float r, float w);
void hcuda_1d_mask_A_or_B(float* out, const float* A, const float* B, unsigned long n);
void hcuda_1d_mask_A_and_B(float* out, const float* A, const float* B, unsigned long n);
void hcuda_1d_mask_A_or_B_inplace(float* A, const float* B, unsigned long n);
void hcuda_1d_mask_A_and_B_inplace(float* A, const float* B, unsigned long n);

// ---- host arrays through the GPU ----
void gpu_1d_generate_rmask_soft(float* out, unsigned long n, float c, float r, float w);
void gpu_1d_mask_A_or_B(float* out, const float* A, const float* B, unsigned long n);
void gpu_1d_mask_A_and_B(float* out, const float* A, const float* B, unsigned long n);
void gpu_1d_mask_A_or_B_inplace(float* A, const float* B, unsigned long n);
void gpu_1d_mask_A_and_B_inplace(float* A, const float* B, unsigned long n);

// ---- CPU twins ----
void cpu_1d_generate_rmask_soft(float* out, unsigned long n, float c, float r, float w);
void cpu_1d_mask_A_or_B(float* out, const float* A, const float* B, unsigned long n);
void cpu_1d_mask_A_and_B(float* out, const float* A, const float* B, unsigned long n);
void cpu_1d_mask_A_or_B_inplace(float* A, const float* B, unsigned long n);
void cpu_1d_mask_A_and_B_inplace(float* A, const float* B, unsigned long n);
