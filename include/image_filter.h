// Fourier filters of square n x n images: sharp band-, low- and high-pass, a
// band-pass with a soft (Gaussian) outer edge and a Gaussian band-pass, their
// mirror-padded forms, host-array forms and the whole-file command.
//
// Every filter transforms the image (unscaled), scales or zeroes each element
// of the (n/2 + 1) x n half spectrum in FFT row order by its radius, and
// transforms back (unscaled): the output is the filtered image times n^2, or
// times 4n^2 for the mirror-padded forms, which filter the 2n x 2n padded image.
//
// Radii, in Fourier pixels: element (x, y) has ky = y below (n + 1)/2, else
// y - n (so row n/2 is ky = -n/2 for even n, and +n/2 for odd n, whose rows
// hold no frequency -n/2), and r = sqrtf(x^2 + ky^2) with the squares summed
// in 32-bit integers.
// Band edges: r_in = n*apix/max(res1, res2), r_out = n*apix/min(res1, res2)
// (resolutions in A, apix in A per pixel, either order); the one-resolution
// filters cut at r_c = n*apix/res. Soft weights carry g(d, s) =
// 0.3989423*exp(-d^2/(2 s^2)), so the inner side of a soft edge is 0.3989423.
#pragma once
#include "cuda_general.h"

// Fourier radius of half-spectrum element (x, y) of an n x n image.
__host__ __device__ __forceinline__ float fourier_radius(unsigned x, unsigned y, int n) {
    const int ky = (int)y < (n + 1) / 2 ? (int)y : (int)y - n;
    return sqrtf((float)((int)(x * x) + ky * ky));
}
__host__ __device__ __forceinline__ float filter_gauss(float d, float s) {
    return 0.3989423f * expf(-(d * d) / (2.0f * s * s));
}

// ---- kernels: in place on the half spectrum, 32 x 32 blocks over (n/2 + 1) x n ----
// 0 where r < r_in or r > r_out.
__global__ void cuda_c2d_bandpass_sharp(float2* s, int n, float apix, float res1, float res2);
// 0 where r > r_c.
__global__ void cuda_c2d_lowpass_sharp(float2* s, int n, float apix, float res);
// 0 where r < r_c.
__global__ void cuda_c2d_highpass_sharp(float2* s, int n, float apix, float res);
// 0 where r < r_in or r > r_out + w; kept up to r_out; times g(r - r_out, w/3) beyond.
__global__ void cuda_c2d_bandpass_softR(float2* s, int n, float apix, float res1, float res2, float w);
// 0 outside [r_in, r_out]; inside times g(r, r_out/3)*g(c - r, (c - r_in)/3), c = n/2 + 1.
__global__ void cuda_c2d_bandpass_guas(float2* s, int n, float apix, float res1, float res2);

// ---- device images (in and out may be the same array) ----
void hcuda_2d_bandpass_sharp(float* in, float* out, int n, float apix, float res1, float res2);
void hcuda_2d_bandpass_sharp_inplace(float* data, int n, float apix, float res1, float res2);
void hcuda_2d_lowpass_sharp(float* in, float* out, int n, float apix, float res);
// A real image, despite the name.
void hcuda_c2d_highpass_sharp(float* in, float* out, int n, float apix, float res);
void hcuda_2d_bandpass_softR(float* in, float* out, int n, float apix, float res1, float res2, float w);
void hcuda_2d_bandpass_softR_inplace(float* data, int n, float apix, float res1, float res2, float w);
void hcuda_2d_bandpass_softR_mpad(float* in, float* out, int n, float apix, float res1, float res2, float w);
void hcuda_2d_bandpass_softR_mpad_inplace(float* data, int n, float apix, float res1, float res2, float w);
void hcuda_2d_bandpass_guas(float* in, float* out, int n, float apix, float res1, float res2);
void hcuda_2d_bandpass_guas_inplace(float* data, int n, float apix, float res1, float res2);
void hcuda_2d_bandpass_guas_mpad(float* in, float* out, int n, float apix, float res1, float res2);
void hcuda_2d_bandpass_guas_mpad_inplace(float* data, int n, float apix, float res1, float res2);

// ---- host images ----
void gpu_2d_bandpass_sharp_inplace(float* data, int n, float apix, float res1, float res2);
// The sharp band-pass when w < 1.
void gpu_2d_bandpass_softR_inplace(float* data, int n, float apix, float res1, float res2, float w);
void gpu_2d_bandpass_guas_inplace(float* data, int n, float apix, float res1, float res2);
// in is left unchanged.
void gpu_2d_bandpass_guas_mpad(float* out, const float* in, int n, float apix, float res1, float res2);
void gpu_2d_bandpass_guas_mpad_inplace(float* data, int n, float apix, float res1, float res2);

// ---- whole file ----
// Filters the first image of a square mode-2 file by type (1 Gaussian, 2 soft
// edge or sharp when width < 1, 3 sharp, 4 mirror-padded Gaussian, any other
// none) and writes every image with the input header and recomputed
// statistics. A non-square input, or one of a mode the readers do not convert,
// ends the process with the fatal line. Returns 0, or -1 with a warning and
// nothing written when out names the input, the input has no whole header or
// holds no image (the commands' frame of process2d_mrc).
int mrcf_2d_bandpass(const char* in, const char* out, float apix, float res1, float res2, float width, int type);
