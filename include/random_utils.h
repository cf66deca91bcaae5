// Random numbers: uniform and Gaussian host arrays from the system generator,
// and uniform and normal device volumes from cuRAND.
//
// The host forms reseed the system generator (srand) with the wall-clock second
// at every call, so two calls within one second give the same numbers. The
// device fills make an MTGP32 generator per call, seed it with the wall-clock
// second and destroy it; every cuRAND call and allocation is checked. A volume
// holds nx*ny*nz values, counted in 64 bits.
#pragma once
#include <cstddef>

// v[i] = float(rand()) (hi - lo) 2^-31 + lo, in float: values from lo to hi.
void random_data_f32(float* v, size_t n, float lo, float hi);
// One Gaussian-like value from the sum s of n uniform draws in [0, 1]:
// sqrt(12/n) (s - n/2) sigma + mean; mean itself for n = 0.
double guassian_noise(double mean, double sigma, size_t n);
// Per element the sum s of 50 uniform draws: (s - 25) sqrt(12/50) sigma + mean;
// the generator is seeded once for the whole array. The last argument is not used.
void random_guass_data_f32(float* v, size_t n, float mean, float sigma, size_t unused);

// Managed volumes (freed by the caller with cudaFree); a volume of no element is
// not allocated and the pointer returned is null.
// Uniform in (0, 1] mapped to v (hi - lo) + lo, lo and hi exchanged first when lo > hi.
float* zgpu_mgenerate_uniform_3d(unsigned nx, unsigned ny, unsigned nz, float lo, float hi);
// Uniform in (0, 1].
float* zgpu_mgenerate_uniform01_3d(unsigned nx, unsigned ny, unsigned nz);
// Normal with the given mean and deviation; the element count must be even.
float* zgpu_mgenerate_normal_3d(unsigned nx, unsigned ny, unsigned nz, float mean, float sigma);
// The same into the caller's device (or managed) array.
void zgpu_generate_uniform_3d(float* v, unsigned nx, unsigned ny, unsigned nz, float lo, float hi);
void zgpu_generate_uniform01_3d(float* v, unsigned nx, unsigned ny, unsigned nz);
void zgpu_generate_normal_3d(float* v, unsigned nx, unsigned ny, unsigned nz, float mean, float sigma);
