// Elementwise operations on complex arrays (float2, real part first) in device
// memory: conversion to modulus, phase, power and logarithms, division by a
// real scalar, complex-with-complex and complex-with-real image arithmetic, and
// CPU twins of the in-place complex arithmetic.
//
// Flat forms take (input, output, count n) and run 1024-thread blocks; image
// forms take the output first, then the inputs and nx, ny, and run 32x32 blocks
// over gpu_grid_2d(nx, ny). For a half spectrum the caller passes its stored
// width as nx. Every hcuda_ function synchronises and checks before it returns.
#pragma once
#include "cuda_general.h"

// ---- flat conversions to reals ----
__global__ void cuda_complex_mod(const float2* in, float* out, unsigned long n);
__global__ void cuda_complex_phi(const float2* in, float* out, unsigned long n);
__global__ void cuda_complex_pow(const float2* in, float* out, unsigned long n);
__global__ void cuda_complex_logmod(const float2* in, float* out, unsigned long n);
__global__ void cuda_complex_log1p_mod(const float2* in, float* out, unsigned long n);

// Modulus in the overflow-safe form m*sqrt(1 + (k/m)^2), m = max(|re|,|im|).
void hcuda_complex_mod(const float2* in, float* out, unsigned long n);
void hcuda_complex_A(const float2* in, float* out, unsigned long n);
// atan2(im, re) in radians.
void hcuda_complex_phi(const float2* in, float* out, unsigned long n);
void hcuda_complex_P(const float2* in, float* out, unsigned long n);
// re^2 + im^2.
void hcuda_complex_pow(const float2* in, float* out, unsigned long n);
void hcuda_complex_W(const float2* in, float* out, unsigned long n);
// ln |z|.
void hcuda_complex_logmod(const float2* in, float* out, unsigned long n);
void hcuda_complex_L(const float2* in, float* out, unsigned long n);
// ln(1 + |z|).
void hcuda_complex_log1p_mod(const float2* in, float* out, unsigned long n);
void hcuda_complex_M(const float2* in, float* out, unsigned long n);
// By letter: 'A' modulus, 'P' phase, 'W' power, 'L' log-modulus, 'M' log of one
// plus modulus; any other letter writes nothing (the device is still synchronised).
void hcuda_complex_proc(const float2* in, float* out, unsigned long n, char mode);

// ---- image conversions to reals (|z| taken as sqrtf(re^2 + im^2)) ----
__global__ void cuda_c2d_mod(float* out, const float2* in, unsigned nx, unsigned ny);
__global__ void cuda_c2d_pow(float* out, const float2* in, unsigned nx, unsigned ny);
__global__ void cuda_c2d_logmod(float* out, const float2* in, unsigned nx, unsigned ny);
__global__ void cuda_c2d_logmod_1p(float* out, const float2* in, unsigned nx, unsigned ny);
__global__ void cuda_c2d_mod_divR(float* out, const float2* in, unsigned nx, unsigned ny, float s);
__global__ void cuda_c2d_pow_divR(float* out, const float2* in, unsigned nx, unsigned ny, float s);
void hcuda_c2d_mod(float* out, const float2* in, unsigned nx, unsigned ny);
void hcuda_c2d_pow(float* out, const float2* in, unsigned nx, unsigned ny);
void hcuda_c2d_logmod(float* out, const float2* in, unsigned nx, unsigned ny);
void hcuda_c2d_logmod_1p(float* out, const float2* in, unsigned nx, unsigned ny);
// |z| / s and (re^2 + im^2) / s; a divisor of +0 or -0 ends the process with the fatal line.
void hcuda_c2d_mod_divR(float* out, const float2* in, unsigned nx, unsigned ny, float s);
void hcuda_c2d_pow_divR(float* out, const float2* in, unsigned nx, unsigned ny, float s);

// ---- complex image divided by a real scalar ----
__global__ void cuda_complex2d_norm(float2* out, const float2* in, unsigned nx, unsigned ny, float s);
__global__ void cuda_c2d_divR(float2* out, const float2* in, unsigned nx, unsigned ny, float s);
__global__ void cuda_c2d_divR_inplace(float2* a, unsigned nx, unsigned ny, float s);
// No zero test: a zero divisor gives infinities and NaN.
void hcuda_complex2d_norm(float2* out, const float2* in, unsigned nx, unsigned ny, float s);
// A divisor of +0 or -0 ends the process with the fatal line.
void hcuda_c2d_divR(float2* out, const float2* in, unsigned nx, unsigned ny, float s);
void hcuda_c2d_divR_inplace(float2* a, unsigned nx, unsigned ny, float s);

// ---- two complex images; quotients have no zero test ----
__global__ void cuda_cxc_2d_add(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny);
__global__ void cuda_cxc_2d_sub(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny);
__global__ void cuda_cxc_2d_multi(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny);
__global__ void cuda_cxc_2d_divide(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny);
__global__ void cuda_cxc_2d_multconj(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny);
__global__ void cuda_cxc_2d_multconj_divide(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny, float s);
__global__ void cuda_cxc_2d_add_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
__global__ void cuda_cxc_2d_sub_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
__global__ void cuda_cxc_2d_multi_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
__global__ void cuda_cxc_2d_divide_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
__global__ void cuda_cxc_2d_multconj_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);

void hcuda_cxc_2d_add(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny);
void hcuda_cxc_2d_sub(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny);
void hcuda_cxc_2d_multi(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny);
void hcuda_cxc_2d_divide(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny);
// a * conj(b), and a * conj(b) / s (no zero test on s).
void hcuda_cxc_2d_multconj(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny);
void hcuda_cxc_2d_multconj_divide(float2* out, const float2* a, const float2* b, unsigned nx, unsigned ny, float s);
void hcuda_cxc_2d_add_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
void hcuda_cxc_2d_sub_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
void hcuda_cxc_2d_multi_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
void hcuda_cxc_2d_divide_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
void hcuda_cxc_2d_multconj_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);

void cpu_cxc_2d_add_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
void cpu_cxc_2d_sub_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
void cpu_cxc_2d_multi_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);
void cpu_cxc_2d_divide_inplace(float2* a, const float2* b, unsigned nx, unsigned ny);

// ---- complex image with a real image of the same shape ----
__global__ void cuda_cxr_2d_multi(float2* out, const float2* a, const float* r, unsigned nx, unsigned ny);
__global__ void cuda_cxr_2d_divide(float2* out, const float2* a, const float* r, unsigned nx, unsigned ny);
__global__ void cuda_cxr_2d_multi_inplace(float2* a, const float* r, unsigned nx, unsigned ny);
__global__ void cuda_cxr_2d_divide_inplace(float2* a, const float* r, unsigned nx, unsigned ny);
void hcuda_cxr_2d_multi(float2* out, const float2* a, const float* r, unsigned nx, unsigned ny);
void hcuda_cxr_2d_divide(float2* out, const float2* a, const float* r, unsigned nx, unsigned ny);
void hcuda_cxr_2d_multi_inplace(float2* a, const float* r, unsigned nx, unsigned ny);
void hcuda_cxr_2d_divide_inplace(float2* a, const float* r, unsigned nx, unsigned ny);
// Complex slice k times real slice k, k = 0 .. nz-1 (nothing when nz <= 0).
void hcuda_cxr_2ds_multi_inplace(float2* a, const float* r, unsigned nx, unsigned ny, int nz);
