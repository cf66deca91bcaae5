// The contrast transfer function (CTF) model and its kernels.
//
// One model, evaluated everywhere: with the wavelength lambda of the
// acceleration voltage, the defocus along the azimuth phi = theta - A,
//   Df(phi) = U cos^2 phi + V sin^2 phi,
//   chi_g   = pi lambda Df s^2 - (pi/2) Cs 1e7 lambda^3 s^4      (geometric phase)
//   chi'    = chi_g + asin(AC) + P pi/180                        (full phase)
//   CTF     = sin chi' = sqrt(1 - AC^2) sin(chi_g + P) + AC cos(chi_g + P)
//   E       = exp(-B s^2 / 4)                                    (envelope, applied once)
// Units: kV, Cs in mm, AC a fraction, P and angles in degrees, defocus in A
// (positive underfocus), B in A^2, apix in A per pixel, s in 1/A.
//
// Layouts (row-major, x fastest), frequency in cycles per pixel of element (i, j):
//   1D half profile of n values   x = i / (2(n-1))                      (last value Nyquist)
//   centred half spectrum nxh x ny  x = i / (2(nxh-1)), y = (j - ny/2)/ny  (row ny/2 the origin)
//   full centred image nx x ny     x = (i - nx/2)/nx,  y = (j - ny/2)/ny
//   stacks                          slice k at k times the slice size
// s = |(x, y)| / apix and theta = atan2(y, x); halves are real (0.5 n) unless a
// routine says it uses integer offsets.
//
// A band RESO {resL, resH} in A keeps the frequencies 1/resL <= s <= 1/resH;
// every simulation writes 0 outside it (and for s not a number). Swapped limits
// give an empty band; only the two P-first 1D kernels sort their limits.
//
// Mode characters choose what a simulation writes inside the band:
//   'A' |sin chi'| E    'F' sin chi' E    'W' sin^2 chi' E    'S' sign of sin chi' (+1 at 0, -1 for NaN)
//   'P' chi'            'E' chi' folded into [0, pi)          'G' chi_g     other: 0
// The P-first routines are named by what they write: mod ('A'), pow ('W'), phase ('P').
//
// Precision: inputs and outputs are floats; the phase is accumulated in double
// from single-precision coefficients and rounded before a single-precision sine;
// the envelope is evaluated in double. cpu_ctf_mod_sim_2d alone works in double
// throughout.
#pragma once
#include <cmath>

#include "cuda_general.h"

// ---- parameter records ----
struct CTF_INFO {
    float kV;  // acceleration voltage (kV)
    float Cs;  // spherical aberration (mm)
    float AC;  // amplitude contrast (fraction)
    float P;   // phase shift (degrees)
    float U;   // defocus along the astigmatism angle (A)
    float V;   // defocus across it (A)
    float A;   // astigmatism angle (degrees)
    float B;   // envelope B-factor (A^2)
};
struct RESO {
    float resL;  // low-resolution limit (A), the larger number
    float resH;  // high-resolution limit (A)
};
struct UVA_c {
    float U, V, A;
};

constexpr double CTF_PI = 3.14159265358979323846;
constexpr float CTF_PI_F = 3.14159274f;  // pi rounded to single precision

// ---- the model, for host and device ----

// Precision-matched maths, so that the float model stays in single precision on the host too.
__host__ __device__ __forceinline__ float ctf_sin(float x) { return sinf(x); }
__host__ __device__ __forceinline__ double ctf_sin(double x) { return sin(x); }
__host__ __device__ __forceinline__ float ctf_cos(float x) { return cosf(x); }
__host__ __device__ __forceinline__ double ctf_cos(double x) { return cos(x); }
__host__ __device__ __forceinline__ float ctf_asin(float x) { return asinf(x); }
__host__ __device__ __forceinline__ double ctf_asin(double x) { return asin(x); }
__host__ __device__ __forceinline__ float ctf_fabs(float x) { return fabsf(x); }
__host__ __device__ __forceinline__ double ctf_fabs(double x) { return fabs(x); }
__host__ __device__ __forceinline__ float ctf_floor(float x) { return floorf(x); }
__host__ __device__ __forceinline__ double ctf_floor(double x) { return floor(x); }
__host__ __device__ __forceinline__ float ctf_pi(float) { return CTF_PI_F; }
__host__ __device__ __forceinline__ double ctf_pi(double) { return CTF_PI; }

// Relativistic electron wavelength (A): the single-precision form of the
// kernels, and the double-precision form of the double model.
__host__ __device__ __forceinline__ float ctf_wavelength(float kV) {
    return 12.264325f / sqrtf(kV * fmaf(0.978466f, kV, 1000.0f));
}
__host__ __device__ __forceinline__ double ctf_wavelength(double kV) {
    const double volts = 1000.0 * kV;
    return 12.2643247 / sqrt(volts * (1.0 + 0.978466 * volts * 1e-6));
}

// Defocus (A) along azimuth theta (radians) for the astigmatism angle A (degrees).
template <class R>
__host__ __device__ __forceinline__ R ctf_defocus_along(R U, R V, R A, R theta) {
    const R phi = (R)((double)theta - (double)A * CTF_PI / 180.0);
    const R c = ctf_cos(phi), s = ctf_sin(phi);
    return U * c * c + V * s * s;
}
// The coefficients of chi_g = a2 s^2 - a4 s^4, formed in double and rounded to R.
template <class R>
__host__ __device__ __forceinline__ R ctf_a2(R lambda, R Df) {
    return (R)(CTF_PI * lambda * Df);
}
template <class R>
__host__ __device__ __forceinline__ R ctf_a4(R lambda, R Cs) {
    const double l = lambda;
    return (R)(CTF_PI / 2.0 * Cs * 1e7 * l * l * l);
}
template <class R>
__host__ __device__ __forceinline__ R ctf_geometric_phase(R a2, R a4, R s) {
    const double s2 = (double)s * s;
    return (R)(a2 * s2 - a4 * (s2 * s2));
}
// chi' from chi_g: asin(AC) added in R, the phase shift in double.
template <class R>
__host__ __device__ __forceinline__ R ctf_full_phase(R chig, R AC, R P) {
    return (R)((double)(chig + ctf_asin(AC)) + (double)P * CTF_PI / 180.0);
}
template <class R>
__host__ __device__ __forceinline__ R ctf_envelope(R B, R s) {
    return (R)exp(-0.25 * B * ((double)s * s));
}

// What a mode character writes, from chi_g, chi' and the envelope E.
template <class R>
__host__ __device__ __forceinline__ R ctf_mode_value(R chig, R chi, R E, char mode) {
    switch (mode) {
        case 'A': return ctf_fabs(ctf_sin(chi)) * E;
        case 'F': return ctf_sin(chi) * E;
        case 'W': {
            const R k = ctf_sin(chi);
            return k * k * E;
        }
        case 'S': return ctf_sin(chi) >= (R)0 ? (R)1 : (R)-1;
        case 'P': return chi;
        case 'E': return chi - ctf_pi(chi) * ctf_floor(chi / ctf_pi(chi));
        case 'G': return chig;
        default: return (R)0;
    }
}

// The model at frequency s (1/A) and azimuth theta (radians), in precision R; no band test.
template <class R>
__host__ __device__ __forceinline__ R ctf_model_value(R s, R theta, const CTF_INFO& c, char mode) {
    const R lambda = ctf_wavelength((R)c.kV);
    const R Df = ctf_defocus_along((R)c.U, (R)c.V, (R)c.A, theta);
    const R chig = ctf_geometric_phase(ctf_a2(lambda, Df), ctf_a4(lambda, (R)c.Cs), s);
    if (mode == 'G') return chig;
    return ctf_mode_value(chig, ctf_full_phase(chig, (R)c.AC, (R)c.P), ctf_envelope((R)c.B, s), mode);
}
// The single-precision model at one frequency and azimuth; no band test.
__host__ __device__ __forceinline__ float hd_ctfinfo_s(float s, float theta, const CTF_INFO& c, char mode) {
    return ctf_model_value(s, theta, c, mode);
}

// Inside the closed band [1/resL, 1/resH]; a frequency that is not a number is outside.
__host__ __device__ __forceinline__ bool ctf_in_band(float s, RESO band) {
    return s >= 1.0f / band.resL && s <= 1.0f / band.resH;
}
// The band with its limits in order, the larger number of A as the low limit.
__host__ __device__ __forceinline__ RESO ctf_sorted_band(float a, float b) {
    return a >= b ? RESO{a, b} : RESO{b, a};
}

// ---- simulation with explicit parameters, P-first (sizes int) ----
// 1D half profiles: Df = defocus, the two limits sorted. mod = |CTF| E; phase = chi' (B not read).
__global__ void cuda_ctf_mod_simulate_1d(float* out, float apix, int n, float P, float kV, float Cs, float AC,
                                         float defocus, float B, float limit1, float limit2);
void hcuda_ctf_mod_simulate_1d(float* out, float apix, int n, float P, float kV, float Cs, float AC, float defocus,
                               float B, float limit1, float limit2);
__global__ void cuda_ctf_phase_simulate_1d(float* out, float apix, int n, float P, float kV, float Cs, float AC,
                                           float defocus, float B, float limit1, float limit2);
void hcuda_ctf_phase_simulate_1d(float* out, float apix, int n, float P, float kV, float Cs, float AC, float defocus,
                                 float B, float limit1, float limit2);
// One mod profile per defocus of the device array: element j*n + i is frequency i of defocus j.
__global__ void cuda_ctf_mod_simulate_1ds_multi_defocus(float* out, float apix, int n, float P, float kV, float Cs,
                                                        float AC, const float* defocus, int ndef, float B, float resL,
                                                        float resH);
void hcuda_ctf_mod_simulate_1ds_multi_defocus(float* out, float apix, int n, float P, float kV, float Cs, float AC,
                                              const float* defocus, int ndef, float B, float resL, float resH);
// Full image, mod, about the integer centre (nx/2, ny/2), both axes scaled by nx;
// no host wrapper: the caller launches it on a 2D grid.
__global__ void cuda_ctf_mod_simulate_2d(float* out, float apix, int nx, int ny, float P, float kV, float Cs, float AC,
                                         float U, float V, float A, float B, float resL, float resH);
// Host image of mod values in double precision; kV-first, centre at the real halves.
void cpu_ctf_mod_sim_2d(float* out, float apix, int nx, int ny, float kV, float Cs, float AC, float P, float U,
                        float V, float A, float B, float resL, float resH);
// Centred half spectra (nxh x ny); the azimuth from the integer offsets (i, j - ny/2).
// mod: s from the layout; pow = CTF^2 E, s from the pixel offsets over the width 2(nxh-1).
__global__ void cuda_ctf_mod_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs,
                                          float AC, float U, float V, float A, float B, float resL, float resH);
void hcuda_ctf_mod_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs, float AC,
                                float U, float V, float A, float B, float resL, float resH);
__global__ void cuda_ctf_pow_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs,
                                          float AC, float U, float V, float A, float B, float resL, float resH);
void hcuda_ctf_pow_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs, float AC,
                                float U, float V, float A, float B, float resL, float resH);

// ---- simulation with explicit parameters, kV-first with a mode (sizes unsigned) ----
// 1D half profile, Df = defocus at azimuth 0.
__global__ void cuda_ctf_sim_1dh_c(float* out, unsigned n, float apix, float kV, float Cs, float AC, float P,
                                   float defocus, float B, float resL, float resH, char mode);
void hcuda_ctf_sim_1dh_c(float* out, unsigned n, float apix, float kV, float Cs, float AC, float P, float defocus,
                         float B, float resL, float resH, char mode);
void gpu_ctf_sim_1dh_c(float* out, unsigned n, float apix, float kV, float Cs, float AC, float P, float defocus,
                       float B, float resL, float resH, char mode);
void cpu_ctf_sim_1dh_c(float* out, unsigned n, float apix, float kV, float Cs, float AC, float P, float defocus,
                       float B, float resL, float resH, char mode);
// ndef profiles, profile k at k*n from the host defocus[k]; ndef = 0 leaves out untouched.
void hcuda_ctf_sim_1dhs_c(float* out, unsigned n, float apix, unsigned ndef, float kV, float Cs, float AC, float P,
                          const float* defocus, float B, float resL, float resH, char mode);
void gpu_ctf_sim_1dhs_c(float* out, unsigned n, float apix, unsigned ndef, float kV, float Cs, float AC, float P,
                        const float* defocus, float B, float resL, float resH, char mode);
void cpu_ctf_sim_1dhs_c(float* out, unsigned n, float apix, unsigned ndef, float kV, float Cs, float AC, float P,
                        const float* defocus, float B, float resL, float resH, char mode);
// Centred half spectrum (nxh x ny).
__global__ void cuda_ctf_sim_2dh_c(float* out, unsigned nxh, unsigned ny, float apix, float kV, float Cs, float AC,
                                   float P, float U, float V, float A, float B, float resL, float resH, char mode);
void hcuda_ctf_sim_2dh_c(float* out, unsigned nxh, unsigned ny, float apix, float kV, float Cs, float AC, float P,
                         float U, float V, float A, float B, float resL, float resH, char mode);
void gpu_ctf_sim_2dh_c(float* out, unsigned nxh, unsigned ny, float apix, float kV, float Cs, float AC, float P,
                       float U, float V, float A, float B, float resL, float resH, char mode);
// Full centred image (nx x ny).
__global__ void cuda_ctf_sim_2d_c(float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs, float AC,
                                  float P, float U, float V, float A, float B, float resL, float resH, char mode);
void hcuda_ctf_sim_2d_c(float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs, float AC, float P,
                        float U, float V, float A, float B, float resL, float resH, char mode);
void gpu_ctf_sim_2d_c(float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs, float AC, float P, float U,
                      float V, float A, float B, float resL, float resH, char mode);
