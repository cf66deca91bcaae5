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
// throughout. Kernels that compute lane groups (the refinement score, the EPA
// profiles' contour walks) keep those intermediates in float and take the
// platform's lane sine and exponential: on the host their values differ from
// the one-element kernels' in the last bits.
#pragma once
#include <cmath>
#include <type_traits>
#include <vector>

#include "cuda_general.h"
#include "process2d_core.h"

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
//
// R is the type of a per-element value: float, double, or a lane group of floats
// (gpu_lanes_f, several neighbouring pixels at once). Parameters that are the same
// for every element come as the scalar S. A float model forms its intermediate
// sums in double, rounding to float where the formulas above say; a lane group
// keeps them in float (the values then differ in the last bits only).
template <class R, class = void> struct CtfReal {
    typedef R scalar;
    typedef double wide;     // per-element intermediates
    typedef double uniform;  // per-call intermediates
};
template <class R> struct CtfReal<R, std::void_t<typename R::scalar>> {
    typedef typename R::scalar scalar;
    typedef R wide;
    typedef scalar uniform;
};

// Precision-matched maths, so that the float model stays in single precision on
// the host too; a lane group takes the platform's lane functions.
__host__ __device__ __forceinline__ float ctf_sin(float x) { return sinf(x); }
__host__ __device__ __forceinline__ double ctf_sin(double x) { return sin(x); }
template <class R> __host__ __device__ __forceinline__ R ctf_sin(const R& x) { return gpu_lanes_sin(x); }
__host__ __device__ __forceinline__ float ctf_cos(float x) { return cosf(x); }
__host__ __device__ __forceinline__ double ctf_cos(double x) { return cos(x); }
__host__ __device__ __forceinline__ void ctf_sincos(float x, float& s, float& c) {
    s = sinf(x);
    c = cosf(x);
}
__host__ __device__ __forceinline__ void ctf_sincos(double x, double& s, double& c) {
    s = sin(x);
    c = cos(x);
}
template <class R> __host__ __device__ __forceinline__ void ctf_sincos(const R& x, R& s, R& c) {
    gpu_lanes_sincos(x, s, c);
}
__host__ __device__ __forceinline__ double ctf_exp(double x) { return exp(x); }
template <class R> __host__ __device__ __forceinline__ R ctf_exp(const R& x) { return gpu_lanes_exp(x); }
__host__ __device__ __forceinline__ float ctf_asin(float x) { return asinf(x); }
__host__ __device__ __forceinline__ double ctf_asin(double x) { return asin(x); }
__host__ __device__ __forceinline__ float ctf_fabs(float x) { return fabsf(x); }
__host__ __device__ __forceinline__ double ctf_fabs(double x) { return fabs(x); }
template <class R> __host__ __device__ __forceinline__ R ctf_fabs(const R& x) { return gpu_lanes_fabs(x); }
__host__ __device__ __forceinline__ float ctf_floor(float x) { return floorf(x); }
__host__ __device__ __forceinline__ double ctf_floor(double x) { return floor(x); }
template <class R> __host__ __device__ __forceinline__ R ctf_floor(const R& x) { return gpu_lanes_floor(x); }
__host__ __device__ __forceinline__ float ctf_pi(float) { return CTF_PI_F; }
__host__ __device__ __forceinline__ double ctf_pi(double) { return CTF_PI; }
template <class R> __host__ __device__ __forceinline__ R ctf_pi(const R&) { return R(CTF_PI_F); }
// +1 where x >= 0, -1 below 0 and for NaN.
__host__ __device__ __forceinline__ float ctf_sign(float x) { return x >= 0.0f ? 1.0f : -1.0f; }
__host__ __device__ __forceinline__ double ctf_sign(double x) { return x >= 0.0 ? 1.0 : -1.0; }
template <class R> __host__ __device__ __forceinline__ R ctf_sign(const R& x) {
    return gpu_lanes_select(x >= R(0.0f), R(1.0f), R(-1.0f));
}

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
template <class R, class S> __host__ __device__ __forceinline__ R ctf_defocus_along(S U, S V, S A, R theta) {
    typedef CtfReal<R> T;
    const R phi = (R)((typename T::wide)theta - (typename T::uniform)((double)A * CTF_PI / 180.0));
    R s, c;
    ctf_sincos(phi, s, c);
    return U * c * c + V * s * s;
}
// The same along the direction (ux, uy) = (cos theta, sin theta): cos and sin of
// theta - A by the angle difference formulas, without theta itself.
template <class R, class S> __host__ __device__ __forceinline__ R ctf_defocus_toward(S U, S V, S A, R ux, R uy) {
    const S a = (S)((double)A * CTF_PI / 180.0);
    S sa, ca;
    ctf_sincos(a, sa, ca);
    const R c = ux * ca + uy * sa, s = uy * ca - ux * sa;
    return U * c * c + V * s * s;
}
// The coefficients of chi_g = a2 s^2 - a4 s^4, formed in double and rounded to R.
template <class R, class S> __host__ __device__ __forceinline__ R ctf_a2(S lambda, R Df) {
    typedef CtfReal<R> T;
    return (R)((typename T::uniform)(CTF_PI * lambda) * (typename T::wide)Df);
}
template <class R> __host__ __device__ __forceinline__ R ctf_a4(R lambda, R Cs) {
    const double l = lambda;
    return (R)(CTF_PI / 2.0 * Cs * 1e7 * l * l * l);
}
template <class R, class S> __host__ __device__ __forceinline__ R ctf_geometric_phase(R a2, S a4, R s) {
    const typename CtfReal<R>::wide s2 = (typename CtfReal<R>::wide)s * s;
    return (R)(a2 * s2 - a4 * (s2 * s2));
}
// chi' from chi_g: asin(AC) added in R, the phase shift in double.
template <class R, class S> __host__ __device__ __forceinline__ R ctf_full_phase(R chig, S AC, S P) {
    typedef CtfReal<R> T;
    return (R)((typename T::wide)(chig + ctf_asin(AC)) + (typename T::uniform)((double)P * CTF_PI / 180.0));
}
template <class R, class S> __host__ __device__ __forceinline__ R ctf_envelope(S B, R s) {
    typedef CtfReal<R> T;
    return (R)ctf_exp((typename T::uniform)(-0.25 * B) * ((typename T::wide)s * s));
}

// What a mode character writes, from chi_g, chi' and the envelope E.
template <class R> __host__ __device__ __forceinline__ R ctf_mode_value(R chig, R chi, R E, char mode) {
    switch (mode) {
        case 'A': return ctf_fabs(ctf_sin(chi)) * E;
        case 'F': return ctf_sin(chi) * E;
        case 'W': {
            const R k = ctf_sin(chi);
            return k * k * E;
        }
        case 'S': return ctf_sign(ctf_sin(chi));
        case 'P': return chi;
        case 'E': return chi - ctf_pi(chi) * ctf_floor(chi / ctf_pi(chi));
        case 'G': return chig;
        default: return (R)0.0f;
    }
}

// The model at frequency s (1/A) where the defocus is Df (A), in precision R; no band test.
template <class R> __host__ __device__ __forceinline__ R ctf_model_with_defocus(R s, R Df, const CTF_INFO& c, char mode) {
    typedef typename CtfReal<R>::scalar S;
    const S lambda = ctf_wavelength((S)c.kV);
    const R chig = ctf_geometric_phase(ctf_a2(lambda, Df), ctf_a4(lambda, (S)c.Cs), s);
    if (mode == 'G') return chig;
    return ctf_mode_value(chig, ctf_full_phase(chig, (S)c.AC, (S)c.P), ctf_envelope((S)c.B, s), mode);
}
// The model at frequency s (1/A) and azimuth theta (radians), in precision R; no band test.
template <class R> __host__ __device__ __forceinline__ R ctf_model_value(R s, R theta, const CTF_INFO& c, char mode) {
    typedef typename CtfReal<R>::scalar S;
    return ctf_model_with_defocus(s, ctf_defocus_along((S)c.U, (S)c.V, (S)c.A, theta), c, mode);
}
// The single-precision model at one frequency and azimuth; no band test.
__host__ __device__ __forceinline__ float hd_ctfinfo_s(float s, float theta, const CTF_INFO& c, char mode) {
    return ctf_model_value(s, theta, c, mode);
}

// Inside the closed band [1/resL, 1/resH]; a frequency that is not a number is outside.
__host__ __device__ __forceinline__ bool ctf_in_band(float s, RESO band) {
    return s >= 1.0f / band.resL && s <= 1.0f / band.resH;
}
// The same for every lane of a group.
__host__ __device__ __forceinline__ gpu_lanes_m ctf_in_band_lanes(const gpu_lanes_f& s, RESO band) {
    return (s >= 1.0f / band.resL) & (s <= 1.0f / band.resH);
}
// The band with its limits in order, the larger number of A as the low limit.
__host__ __device__ __forceinline__ RESO ctf_sorted_band(float a, float b) { return a >= b ? RESO{a, b} : RESO{b, a}; }

// ---- layouts: element (i, j) -> frequency s (1/A) and azimuth (radians) ----
struct CtfPolar {
    float s, theta;
};
// The frequency vector (x, y) in cycles per pixel, each part formed in double and rounded.
__host__ __device__ __forceinline__ CtfPolar ctf_plane_polar(double x, double y, float apix) {
    const float fx = (float)x, fy = (float)y;
    return {sqrtf(fx * fx + fy * fy) / apix, atan2f(fy, fx)};
}
// Bin i of a 1D half profile of n values, on the x axis (n = 1 gives 0/0: no frequency).
struct CtfProfileLayout {
    int n;
    float apix;
    __host__ __device__ CtfPolar operator()(unsigned i, unsigned) const {
        return {(float)i / ((float)(2 * n - 2) * apix), 0.0f};
    }
};
// Centred half spectrum of width nxh, rows centred at the real half ny/2.
struct CtfHalfLayout {
    unsigned nxh, ny;
    float apix;
    __host__ __device__ CtfPolar operator()(unsigned i, unsigned j) const {
        return ctf_plane_polar(i / (2.0 * ((double)nxh - 1.0)), (j - 0.5 * ny) / ny, apix);
    }
    // The parts of the frequency vector in float, of column i (a float or the
    // lanes of a group) and of row j: the float quotient of two exact floats
    // rounds as the double one above, so each is the element's own.
    template <class L> __host__ __device__ L column_x(L i) const { return i / (float)(2.0 * ((double)nxh - 1.0)); }
    __host__ __device__ float row_y(unsigned j) const { return (float)((j - 0.5 * ny) / ny); }
};
// Full centred image, centred at the real halves.
struct CtfImageLayout {
    unsigned nx, ny;
    float apix;
    __host__ __device__ CtfPolar operator()(unsigned i, unsigned j) const {
        return ctf_plane_polar((i - 0.5 * nx) / nx, (j - 0.5 * ny) / ny, apix);
    }
};

// ---- the element frame of the simulation kernels and their host twins ----

// The single-precision model inside the band, 0 outside.
__host__ __device__ __forceinline__ float ctf_band_sample(CtfPolar f, const CTF_INFO& c, RESO band, char mode) {
    return ctf_in_band(f.s, band) ? hd_ctfinfo_s(f.s, f.theta, c, mode) : 0.0f;
}
// A record without astigmatism.
__host__ __device__ __forceinline__ CTF_INFO ctf_one_defocus(float kV, float Cs, float AC, float P, float defocus,
                                                             float B) {
    return CTF_INFO{kV, Cs, AC, P, defocus, defocus, 0.0f, B};
}
// Thread t = (i, j) of a w x h launch (a 1D launch has h = 1; kernels pass
// IMAGE_THREAD_XY) writes its element.
template <class Layout>
__device__ __forceinline__ void ctf_simulate_element(uint2 t, float* out, unsigned w, unsigned h, Layout at,
                                                     const CTF_INFO& c, RESO band, char mode) {
    size_t e;
    if (pixel_inside(t, w, h, e)) out[e] = ctf_band_sample(at(t.x, t.y), c, band, mode);
}
// The same, the value multiplied by the element of a second array; 0 outside the
// band whatever that element holds. Thread t = (k, j) of a launch
// gpu_lanes_runs(w) x h wide computes the lane group of elements k GPU_LANES ..
// of row j (the layout gives the parts of their frequency vectors, column_x and
// row_y). A group with no element in the band writes zeros without evaluating
// the model; the others take the azimuth's cosine and sine from the frequency
// vector, not its angle.
template <class Layout>
__device__ __forceinline__ void ctf_simulate_times_lanes(uint2 t, float* out, const float* in, unsigned w, unsigned h,
                                                         Layout at, const CTF_INFO& c, RESO band, char mode) {
    const unsigned x = t.x * GPU_LANES;
    if (x >= w || t.y >= h) return;
    const unsigned n = min(GPU_LANES, w - x);
    const size_t e = pixel_element(x, t.y, w);
    const float fy = at.row_y(t.y);
    // s grows with x along a row (each step rounds monotonically): a group whose last
    // element lies below the band, or whose first above it, has none inside.
    const auto frequency = [&](unsigned i) {
        const float fx = at.column_x((float)i);
        return sqrtf(fx * fx + fy * fy) / at.apix;
    };
    if (frequency(x + n - 1) < 1.0f / band.resL || frequency(x) > 1.0f / band.resH) {
        gpu_lanes_store(out + e, 0.0f, n);
        return;
    }
    const gpu_lanes_f fx = at.column_x(gpu_lanes_index(x));
    const gpu_lanes_f r = gpu_lanes_sqrt(fx * fx + fy * fy), s = r / at.apix;
    // The azimuth's cosine and sine (theta = 0 at the origin, as atan2 gives it).
    const gpu_lanes_m origin = r <= 0.0f;
    const gpu_lanes_f ux = gpu_lanes_select(origin, 1.0f, fx / r), uy = gpu_lanes_select(origin, 0.0f, fy / r);
    const gpu_lanes_f v = ctf_model_with_defocus(s, ctf_defocus_toward(c.U, c.V, c.A, ux, uy), c, mode);
    gpu_lanes_store(out + e, gpu_lanes_select(ctf_in_band_lanes(s, band), v * gpu_lanes_load(in + e, n), 0.0f), n);
}
template <class Layout>
void ctf_cpu_simulate(float* out, unsigned w, unsigned h, Layout at, const CTF_INFO& c, RESO band, char mode) {
    for (unsigned j = 0; j < h; ++j)
        for (unsigned i = 0; i < w; ++i) out[pixel_element(i, j, w)] = ctf_band_sample(at(i, j), c, band, mode);
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
void cpu_ctf_mod_sim_2d(float* out, float apix, int nx, int ny, float kV, float Cs, float AC, float P, float U, float V,
                        float A, float B, float resL, float resH);
// Centred half spectra (nxh x ny); the azimuth from the integer offsets (i, j - ny/2).
// mod: s from the layout; pow = CTF^2 E, s from the pixel offsets over the width 2(nxh-1).
__global__ void cuda_ctf_mod_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs,
                                          float AC, float U, float V, float A, float B, float resL, float resH);
void hcuda_ctf_mod_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs, float AC, float U,
                                float V, float A, float B, float resL, float resH);
__global__ void cuda_ctf_pow_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs,
                                          float AC, float U, float V, float A, float B, float resL, float resH);
void hcuda_ctf_pow_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs, float AC, float U,
                                float V, float A, float B, float resL, float resH);

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

// ---- simulation from CTF_INFO records with a mode ----
// The same values as the kV-first routines, the parameters taken from one
// record and the band from one RESO. The 1D profile takes its defocus at azimuth
// 0 from the record's astigmatism: U cos^2 A + V sin^2 A. Stack forms take a host
// array of nz records, slice k from record k; nz = 0 leaves the output untouched.
__global__ void cuda_ctf_sim_1dh(float* out, int n, float apix, CTF_INFO c, RESO band, char mode);
void hcuda_ctf_sim_1dh(float* out, unsigned n, float apix, CTF_INFO c, RESO band, char mode);
void gpu_ctf_sim_1dh(float* out, unsigned n, float apix, CTF_INFO c, RESO band, char mode);
void cpu_ctf_sim_1dh(float* out, unsigned n, float apix, CTF_INFO c, RESO band, char mode);
void hcuda_ctf_sim_1dhs(float* out, unsigned n, float apix, unsigned nz, const CTF_INFO* c, RESO band, char mode);
void gpu_ctf_sim_1dhs(float* out, unsigned n, float apix, unsigned nz, const CTF_INFO* c, RESO band, char mode);
void cpu_ctf_sim_1dhs(float* out, unsigned n, float apix, unsigned nz, const CTF_INFO* c, RESO band, char mode);
__global__ void cuda_ctf_sim_2dh(float* out, unsigned nxh, unsigned ny, float apix, CTF_INFO c, RESO band, char mode);
void hcuda_ctf_sim_2dh(float* out, unsigned nxh, unsigned ny, float apix, CTF_INFO c, RESO band, char mode);
void gpu_ctf_sim_2dh(float* out, unsigned nxh, unsigned ny, float apix, CTF_INFO c, RESO band, char mode);
void cpu_ctf_sim_2dh(float* out, unsigned nxh, unsigned ny, float apix, CTF_INFO c, RESO band, char mode);
void hcuda_ctf_sim_2dhs(float* out, unsigned nxh, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                        char mode);
void gpu_ctf_sim_2dhs(float* out, unsigned nxh, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                      char mode);
void cpu_ctf_sim_2dhs(float* out, unsigned nxh, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                      char mode);
__global__ void cuda_ctf_sim_2d(float* out, unsigned nx, unsigned ny, float apix, CTF_INFO c, RESO band, char mode);
void hcuda_ctf_sim_2d(float* out, unsigned nx, unsigned ny, float apix, CTF_INFO c, RESO band, char mode);
void gpu_ctf_sim_2d(float* out, unsigned nx, unsigned ny, float apix, CTF_INFO c, RESO band, char mode);
void cpu_ctf_sim_2d(float* out, unsigned nx, unsigned ny, float apix, CTF_INFO c, RESO band, char mode);
void hcuda_ctf_sim_2ds(float* out, unsigned nx, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                       char mode);
void gpu_ctf_sim_2ds(float* out, unsigned nx, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                     char mode);
void cpu_ctf_sim_2ds(float* out, unsigned nx, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                     char mode);
// out = simulated half spectrum times the raw half spectrum (device), 0 outside
// the band; the kernel runs gpu_lanes_runs(nxh) x ny threads, a lane group each.
__global__ void cuda_ctf_simXraw_2dh(float* out, const float* raw, unsigned nxh, unsigned ny, float apix, CTF_INFO c,
                                     RESO band, char mode);
void hcuda_ctf_simXraw_2dh(float* out, const float* raw, unsigned nxh, unsigned ny, float apix, CTF_INFO c, RESO band,
                           char mode);
// The sum of those products, a correlation score; out is scratch and is destroyed.
float hcuda_ctf_sim_dot_raw_2dh(float* out, const float* raw, unsigned nxh, unsigned ny, float apix, CTF_INFO c,
                                RESO band, char mode);

// ---- display images (host) ----
// An nx x ny image from two centred half spectra of (nx/2 + 1) x ny, h = nx/2:
// columns 0 .. h-2 show the left input mirrored through the origin (its Friedel
// mates), columns h-1 .. nx-1 the right input as it is (its column 0 at image
// column h-1); the pixel (h, ny/2) is then set to 0. The width must be even: an
// odd width ends the process with the fatal line.
void cpu_2dh_ctf_sim_raw_combine(float* image, const float* left, const float* right, int nx, int ny);
// The same mapping, but only rows below ny/2 show the first input on the left;
// every other part shows the second input (mirrored on the left). No pixel is zeroed.
void cpu_2dh_ctf_sim_raw_combine2(float* image, const float* first, const float* second, int nx, int ny);

// ---- inverting the geometric phase ----
// The smaller frequency (1/A) at which chi_g = a2 s^2 - a4 s^4 reaches T, on the
// branch where the phase still rises; with Cs <= 0.01 mm the pure-defocus form
// sqrt(T/a2). Not a number where no frequency reaches T.
__host__ __device__ __forceinline__ float ctf_phase_frequency(float a2, float a4, float T, float Cs) {
    if (Cs > 0.01f) return sqrtf((a2 - sqrtf(a2 * a2 - 4.0f * a4 * T)) / (2.0f * a4));
    return sqrtf(T / a2);
}

// ---- equiphase averaging (EPA) and band operations on centred half spectra ----
// Device arrays; nx is the half-spectrum width (N/2 + 1), ny its height. In
// pixel units the radius of frequency s is s R with R = 2(nx - 1) apix on both
// axes. An EPA profile has k(nx - 1) + 1 bins, bin i at i/(k R); the map-back
// kernels read it with k = 1 and need nx bins. AC and P are accepted but do not
// move an equiphase contour.
//
// Profile of one half spectrum: each bin inside [1/low, 1/high] is the
// Gaussian-weighted average of the spectrum along the contour where chi_g
// equals the bin's phase on the x axis; a bin outside copies the centre row at
// column i/k. A contour that does not exist along an azimuth adds nothing there.
__global__ void cuda_2dh_X_EPA_res(float* out, int k, const float* in, int nx, int ny, float apix, float kV, float Cs,
                                   float AC, float P, float U, float V, float A, float low, float high);
void hcuda_2dh_X_EPA_res(float* out, int k, const float* in, int nx, int ny, float apix, float kV, float Cs, float AC,
                         float P, float U, float V, float A, float low, float high);
// The profiles of two half spectra along the same contours (a spectrum and its
// log, say), walked once: each equals what hcuda_2dh_X_EPA_res gives it, bit for bit.
__global__ void cuda_2dh_X_EPA_res_pair(float* out_a, float* out_b, int k, const float* in_a, const float* in_b,
                                        int nx, int ny, float apix, float kV, float Cs, float AC, float P, float U,
                                        float V, float A, float low, float high);
void hcuda_2dh_X_EPA_res_pair(float* out_a, float* out_b, int k, const float* in_a, const float* in_b, int nx, int ny,
                              float apix, float kV, float Cs, float AC, float P, float U, float V, float A, float low,
                              float high);
// The samples (per image) that the k-times oversampled profile adds, on the
// host: its chain of additions, which no batching shortens (bench/speed's floor).
size_t epa_profile_samples(int k, int nx, int ny, float apix, float kV, float Cs, float U, float V, float A,
                           float low, float high);
// One profile summed over the slices of a stack, each walked with its own U, V,
// A; the bin phases and the outside-band bins come from slice 0. nz = 0 gives zeros.
__global__ void cuda_2dhs_X_EPA_res(float* out, int k, const float* in, int nx, int ny, unsigned nz, float apix,
                                    float kV, float Cs, float AC, float P, const UVA_c* uva, float low, float high);
void hcuda_2dhs_X_EPA_res(float* out, int k, const float* in, int nx, int ny, unsigned nz, float apix, float kV,
                          float Cs, float AC, float P, const UVA_c* uva, float low, float high);
// A k = 1 profile mapped back: each element takes the profile at the x-axis
// frequency of equal phase. _1d2 (launched by hcuda_2dh_EPA_from_1d) weights it
// by 1 + 10 pos/nx inside the open band and writes 0 below it and the input
// above it; _1d3 writes it unweighted inside the closed band. Elements whose
// x-axis frequency falls outside (0, nx - 1), and _1d3's elements outside the
// band, get the mean of their eight neighbours.
__global__ void cuda_2dh_EPA_from_1d2(float* out, const float* profile, const float* in, int nx, int ny, float apix,
                                      float kV, float Cs, float AC, float P, float U, float V, float A, float low,
                                      float high);
void hcuda_2dh_EPA_from_1d(float* out, const float* profile, const float* in, int nx, int ny, float apix, float kV,
                           float Cs, float AC, float P, float U, float V, float A, float low, float high);
__global__ void cuda_2dh_EPA_from_1d3(float* out, const float* profile, const float* in, int nx, int ny, float apix,
                                      float kV, float Cs, float AC, float P, float U, float V, float A, float low,
                                      float high);
void hcuda_2dh_EPA_from_1d3(float* out, const float* profile, const float* in, int nx, int ny, float apix, float kV,
                            float Cs, float AC, float P, float U, float V, float A, float low, float high);
// 2D equiphase average: the profile up to Nyquist, mapped back weighted into the
// caller's band (0 below it, the input from the high limit on).
void hcuda_2dh_EPA(float* out, const float* in, int nx, int ny, float apix, float kV, float Cs, float AC, float P,
                   float U, float V, float A, float low, float high);
// The same for a stack (uva: nz device records), mapped back with slice 0; nz = 0 gives zeros.
void hcuda_2dhs_EPA(float* out, const float* in, int nx, int ny, unsigned nz, float apix, float kV, float Cs, float AC,
                    float P, const UVA_c* uva, float low, float high);
// Host arrays: the stack (nx ny nz floats) and nz records in, nx ny floats out.
void gpu_2dhs_EPA(float* out, const float* in, int nx, int ny, unsigned nz, float apix, float kV, float Cs, float AC,
                  float P, const UVA_c* uva, float low, float high);
// Ring average inside the open band over rows 0 .. ny/2 - 1 (the other rows of
// out are not written); 0 outside the band. Input first.
__global__ void cuda_2dh_basic_rotate_ave_res(const float* in, float* out, float apix, int nx, int ny, float low,
                                              float high);
void hcuda_2dh_basic_rotate_ave_res(const float* in, float* out, float apix, int nx, int ny, float low, float high);
// a = a b inside the closed band, 0 outside (no host wrapper).
__global__ void cuda_x2dh_res_based_multiply_inplace(float* a, const float* b, float apix, int nx, int ny, float low,
                                                     float high);
// out = in^2 inside the closed band, 0 outside.
__global__ void cuda_2dh_res_based_square(float* out, const float* in, float apix, int nx, int ny, float low,
                                          float high);
void hcuda_2dh_res_based_square(float* out, const float* in, float apix, int nx, int ny, float low, float high);

// ---- refinement target score ----
// Per element of a centred half spectrum (nx x ny) inside the closed band
// [1/low, 1/high]: |CTF| E times the spectrum; 0 outside. The kernel runs
// gpu_lanes_runs(nx) x ny threads, a lane group of a row each.
__global__ void cuda_ctf_smrl_2dh(float* out, const float* in, float apix, int nx, int ny, float kV, float Cs, float AC,
                                  float P, float U, float V, float A, float B, float low, float high);
// The score: the sum of those summands, a raw band-limited inner product that the
// refinement maximises. The work array keeps the summands, the spectrum is not
// touched. Note the phase shift comes first here.
float ctf_tcf_swr_2dh(float* work, const float* spectrum, float apix, int nx, int ny, float P, float kV, float Cs,
                      float AC, float U, float V, float A, float B, float low, float high);
// The same score with the kernel's parameter order; the work array is consumed by the sum.
float ctf_tcf_swr_2dh_inplace(float* work, const float* spectrum, float apix, int nx, int ny, float kV, float Cs,
                              float AC, float P, float U, float V, float A, float B, float low, float high);

// ---- zeros and peaks of a 1D profile (host) ----
// The profile has n bins, bin j at j/((2n - 2) apix); one defocus Df for the whole
// profile. The zero of order i is where chi' reaches i pi, the peak where it reaches
// i pi + pi/2; positions are found by inverting the phase, lowest order first. Each
// entry's value is profile[j] with j = trunc((2n - 2) apix s); a position whose bin
// falls outside the profile is never read and gets no entry. The list is emptied first.
//
// count = trunc(chi'(Nyquist)/pi); lists (bin, value) of the zeros of orders 1 ..
// count - 1 and returns count (not the number of entries).
int cpu_ctf_1dh_get_all_zero(std::vector<float2>& list, const float* profile, int n, float apix, float kV, float Cs,
                             float AC, float P, float Df);
// The same zeros as (bin, s, value).
int cpu_ctf_1dh_get_all_zero_v3(std::vector<float3>& list, const float* profile, int n, float apix, float kV, float Cs,
                                float AC, float P, float Df);
// Orders 0 .. floor(chi'(1/high)/pi) kept inside the closed band [1/low, 1/high]:
// modes 1-4 zeros, 11-14 peaks, 21-24 the zero then the peak of each order; the
// units digit chooses x: 1 the bin, 2 s, 3 s^2, 4 1/s. Returns the number of
// entries; an unknown mode prints a warning, leaves the list alone and returns -1.
int cpu_ctf_1dh_get_all_zp_res(std::vector<float2>& list, const float* profile, int n, float apix, float kV, float Cs,
                               float AC, float P, float Df, float low, float high, int mode);
// Mode 11 (peaks by bin) and mode 13 (peaks by s^2).
int cpu_ctf_1dh_get_all_peaks_iv_res(std::vector<float2>& list, const float* profile, int n, float apix, float kV,
                                     float Cs, float AC, float P, float Df, float low, float high);
int cpu_ctf_1dh_get_all_peaks_ssv_res(std::vector<float2>& list, const float* profile, int n, float apix, float kV,
                                      float Cs, float AC, float P, float Df, float low, float high);

// ---- phase flip, CTF application and Wiener filters ----
// On complex half spectra (float2, nx = the half width N/2 + 1, ny rows) and on
// real device images. K = sin chi' at every element, the origin included (no
// band). Centred layout: row y at (y - ny/2)/ny; FFT row order (names with usw):
// row y holds frequency y, and y - ny from (ny + 1)/2 on, as the transform makes
// them, for odd heights too. The real-image forms transform (divided by
// sqrt(N ny)), run the FFT-order operation for the image's own width, and
// transform back (divided again), so a factor of 1 everywhere returns the image.
// Input and output may be the same array in the spectrum kernels.
//
// Phase flip: out = in where K >= 0, -in where K < 0 or is not a number.
__global__ void cuda_2dh_phase_flip(const float2* in, float2* out, float apix, int nx, int ny, float kV, float Cs,
                                    float AC, float P, float U, float V, float A);
void hcuda_2dh_phase_flip(const float2* in, float2* out, float apix, int nx, int ny, float kV, float Cs, float AC,
                          float P, float U, float V, float A);
__global__ void cuda_phase_flip_c2dh_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix, float kV,
                                       float Cs, float AC, float P, float U, float V, float A);
void hcuda_phase_flip_c2dh_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix, float kV, float Cs,
                             float AC, float P, float U, float V, float A);
__global__ void cuda_phase_flip_c2dh_usw_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix,
                                           float kV, float Cs, float AC, float P, float U, float V, float A);
void hcuda_phase_flip_c2dh_usw_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix, float kV,
                                 float Cs, float AC, float P, float U, float V, float A);
void hcuda_phase_flip_r2d_c(float* in, float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs, float AC,
                            float P, float U, float V, float A);
void gpu_phase_flip_r2d_c(const float* in, float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs,
                          float AC, float P, float U, float V, float A);
// CTF application: out = m in with m the value of the mode character (E with B);
// an unknown mode gives zeros.
__global__ void cuda_apply_ctf_c2dh_usw_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix, float kV,
                                          float Cs, float AC, float P, float U, float V, float A, float B, char mode);
void hcuda_apply_ctf_c2dh_usw_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix, float kV, float Cs,
                                float AC, float P, float U, float V, float A, float B, char mode);
void hcuda_apply_ctf_r2d_c(float* in, float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs, float AC,
                           float P, float U, float V, float A, float B, char mode);
void gpu_apply_ctf_r2d_c(const float* in, float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs,
                         float AC, float P, float U, float V, float A, float B, char mode);
// Wiener filter with the per-element weight w = W[element] (FFT row order, one
// float per half-spectrum element): out = in K w / (1 + w K^2). Output first.
__global__ void cuda_wd_ctf_c2dh_usw_c(float2* out, const float2* in, const float* W, unsigned nx, unsigned ny,
                                       float apix, float kV, float Cs, float AC, float P, float U, float V, float A);
void hcuda_wd_ctf_c2dh_usw_c(float2* out, const float2* in, const float* W, unsigned nx, unsigned ny, float apix,
                             float kV, float Cs, float AC, float P, float U, float V, float A);
void hcuda_wd_ctf_r2d_c(float* out, float* in, const float* W, unsigned nx, unsigned ny, float apix, float kV, float Cs,
                        float AC, float P, float U, float V, float A);
void gpu_wd_ctf_r2d_c(float* out, const float* in, const float* W, unsigned nx, unsigned ny, float apix, float kV,
                      float Cs, float AC, float P, float U, float V, float A);
// Second variant: the numerator's K pushed away from zero by e (K + e where K >= 0,
// K - e otherwise): out = in w K' / (1 + w K^2); e = 0 is the first variant.
__global__ void cuda_wd_ctf_c2dh_usw_c_v2(float2* out, const float2* in, const float* W, unsigned nx, unsigned ny,
                                          float apix, float kV, float Cs, float AC, float P, float U, float V, float A,
                                          float e);
void hcuda_wd_ctf_c2dh_usw_c_v2(float2* out, const float2* in, const float* W, unsigned nx, unsigned ny, float apix,
                                float kV, float Cs, float AC, float P, float U, float V, float A, float e);
void hcuda_wd_ctf_r2d_c_v2(float* out, float* in, const float* W, unsigned nx, unsigned ny, float apix, float kV,
                           float Cs, float AC, float P, float U, float V, float A, float e);
void gpu_wd_ctf_r2d_c_v2(float* out, const float* in, const float* W, unsigned nx, unsigned ny, float apix, float kV,
                         float Cs, float AC, float P, float U, float V, float A, float e);
