// Movie dose weighting: the frames of a particle movie are weighted in Fourier
// space by electron dose, by the blur of the particle's drift within a frame
// and by a radial CTF weight, then summed into one particle image.
//
// Half spectra are nxh x ny complex values (nxh = nx/2 + 1) in FFT row order:
// row y holds ky = y below ny/2 and y - ny from there on; column x holds kx = x.
// Weight images are nxh x ny floats per frame; a stack holds n frames one after
// another. Per-frame inputs: dose[j] and drift[j] (pixels, x then y).
//
// One weight function, `hd_gps_frame_weight`, serves every kernel and the CPU
// twin; they differ only where stated below:
//   scheme (mw_skeme)  0: 1   1: dose weight   2: drift sinc   3: both
//   the GPU forms take the parametrised dose weight exp(-Ne_a D s^Ne_b), the
//   CPU twin the fixed one exp(-D s^1.31489 / 1.35172) for scheme 1 alone.
// At zero frequency every weight is 1. A scheme outside 0-3 counts as weight 1,
// except in the weight generators, which then leave the weight image as it is.
//
// Normalised sums: N = sum |w_j| + k (wnorm_type 1), sqrt(sum w_j^2) + k (2);
// any other type is taken as 1 by the normalised sums (the CPU twin always
// uses type 1). An element whose norm is 0 comes out as 0, never 0/0.
#pragma once
#include <cmath>
#include <cstdint>

#include "cuda_general.h"
#include "mrcfile.h"
#include "str_utils.h"

// Dose-weighting parameters, passed by value.
struct GPS_PARA {
    float Ne_a;          // factor a of the parametrised dose weight
    float Ne_b;          // exponent b of the parametrised dose weight
    float Da;            // drift scale in the sinc argument
    float Db;            // weight of the direction-independent part of the drift blur
    float k;             // constant added to the weight norm
    int32_t mw_skeme;    // weighting scheme 0 to 3
    int32_t wnorm_type;  // 1: sum of |w|, 2: root of the sum of w^2
    int32_t device;      // run mode of mrcsf_dose_drift_ctf_wave_many
};

// ---- single weights (host and device) ----
constexpr double GPS_TWO_PI = 6.283185307179586;

// exp(-a b s^p).
__host__ __device__ inline float hd_dose_weight(float s, float a, float b, float p) {
    return expf(-a * b * powf(s, p));
}
// exp(-D s^1.31489 / 1.35172): the power in float, the division in double.
__host__ __device__ inline float hd_dose_weight_fixed(float s, float D) {
    return expf(-(float)((double)(D * powf(s, 1.31489f)) / 1.35172));
}
// Argument t of the drift sinc: 2 pi s X pixel, X the drift length seen along
// direction theta, t formed in double and rounded to float.
__host__ __device__ inline float hd_drift_argument(float s, float theta, float pixel, float dx, float dy, float Da,
                                                   float Db) {
    const float phi = atan2f(dy, dx);
    const float L = sqrtf(dx * dx + dy * dy);
    const float X = fabsf(((1.0f - Db) * fabsf(cosf(theta - phi)) + Db) * Da * L);
    return (float)(GPS_TWO_PI * (double)s * (double)X * (double)pixel);
}
// sin(t)/t; 1 at t = 0 and for s <= 0.
__host__ __device__ inline float hd_drift_weight(float s, float theta, float pixel, float dx, float dy, float Da,
                                                 float Db) {
    if (s <= 0.0f) return 1.0f;
    const float t = hd_drift_argument(s, theta, pixel, dx, dy, Da, Db);
    return t == 0.0f ? 1.0f : sinf(t) / t;
}
// +1 when sin(t) >= 0, else -1; +1 for s <= 0.
__host__ __device__ inline float hd_drift_wsign(float s, float theta, float pixel, float dx, float dy, float Da,
                                                float Db) {
    if (s <= 0.0f) return 1.0f;
    return sinf(hd_drift_argument(s, theta, pixel, dx, dy, Da, Db)) >= 0.0f ? 1.0f : -1.0f;
}

__host__ __device__ inline bool gps_scheme_known(const GPS_PARA& p) { return p.mw_skeme >= 0 && p.mw_skeme <= 3; }

// The weight of one frame (dose D, drift) at frequency s (1/A) and direction
// theta; fixed_dose selects the CPU twin's scheme-1 dose weight.
__host__ __device__ inline float hd_gps_frame_weight(float s, float theta, float D, float2 drift, float pixel,
                                                     const GPS_PARA& p, bool fixed_dose) {
    if (s == 0.0f) return 1.0f;
    const bool dose = p.mw_skeme == 1 || p.mw_skeme == 3, blur = p.mw_skeme == 2 || p.mw_skeme == 3;
    float w = 1.0f;
    if (dose) w = fixed_dose && p.mw_skeme == 1 ? hd_dose_weight_fixed(s, D) : hd_dose_weight(s, p.Ne_a, D, p.Ne_b);
    if (blur) w *= hd_drift_weight(s, theta, pixel, drift.x, drift.y, p.Da, p.Db);
    return w;
}

// Frequency s (1/A) and direction theta of half-spectrum element (x, y): the
// two quotients in double, their squares summed and rounded to float.
__host__ __device__ inline void hd_gps_element(unsigned x, unsigned y, unsigned nxh, unsigned ny, float pixel,
                                               float& s, float& theta) {
    const int ky = y < ny / 2 ? (int)y : (int)y - (int)ny;
    const double qx = nxh > 1 ? (double)x / (2.0 * (nxh - 1)) : 0.0, qy = (double)ky / ny;
    s = sqrtf((float)(qx * qx + qy * qy)) / pixel;
    theta = atan2f((float)ky, (float)x);
}

// ---- norm and CTF weight of one element (host and device) ----
// N += |w| (type 1) or w^2 (type 2); any other type adds nothing.
__host__ __device__ inline void add_norm_term(float& N, float w, int type) {
    if (type == 1) N += fabsf(w);
    else if (type == 2) N += w * w;
}
// The normalised sums know types 1 and 2 only: any other is taken as 1.
__host__ __device__ inline int wave_norm_type(const GPS_PARA& p) { return p.wnorm_type == 2 ? 2 : 1; }
__host__ __device__ inline float wave_norm_finish(float N, int type, float k) {
    return (type == 2 ? sqrtf(N) : N) + k;
}
// sum / N; 0 where N is 0 (no frame, or every weight 0 with k = 0) instead of 0/0.
__host__ __device__ inline float2 wave_normalise(float2 sum, float N) {
    return N == 0.0f ? make_float2(0.0f, 0.0f) : make_float2(sum.x / N, sum.y / N);
}
// The radial CTF weight table (nxh entries) at radius |(x, ky)| in Fourier
// pixels, at most nxh - 1, interpolated linearly between its two entries.
__host__ __device__ inline float ctf_radial_weight(const float* ctfw, unsigned x, unsigned y, unsigned nxh,
                                                   unsigned ny) {
    const int ky = y < ny / 2 ? (int)y : (int)y - (int)ny;
    float r = sqrtf((float)((long long)x * x + (long long)ky * ky));
    if (r > (float)(nxh - 1)) r = (float)(nxh - 1);
    const int i0 = (int)floorf(r), i1 = r == (float)i0 ? i0 : i0 + 1;
    return ctfw[i0] + (r - (float)i0) * (ctfw[i1] - ctfw[i0]);
}

// The frame weights of element (x, y) = t of an nxh x ny half (GPU dose
// weights): use(j, w, i) for frames 0 .. n-1 in order, i the element's index,
// then finish(i, N) with the element's finished norm. Nothing beyond the edge.
template <class Use, class Finish>
__host__ __device__ inline void wave_frame_weights(uint2 t, unsigned nxh, unsigned ny, int n, float pixel,
                                                   const float* dose, const float2* drift, const GPS_PARA& p, Use use,
                                                   Finish finish) {
    if (t.x >= nxh || t.y >= ny) return;
    const size_t i = (size_t)t.y * nxh + t.x;
    float s, theta;
    hd_gps_element(t.x, t.y, nxh, ny, pixel, s, theta);
    const int type = wave_norm_type(p);
    float N = 0.0f;
    for (int j = 0; j < n; ++j) {
        const float w = hd_gps_frame_weight(s, theta, dose[j], drift[j], pixel, p, false);
        add_norm_term(N, w, type);
        use(j, w, i);
    }
    finish(i, wave_norm_finish(N, type, p.k));
}

// The dose at kV volts' equivalent of 200 kV: divided by 0.68 (100 kV),
// 0.75 (120), 1.22 (300), 1.33 (400); any other voltage keeps the dose.
float eq_dose(float dose, float kV);

// ---- kernels ----
__global__ void cuda_2d_fft_dose_dft_wgen(float* w, int nxh, int ny, float D, float pixel, float2 drift, GPS_PARA p);
__global__ void cuda_2d_fft_dose_dft_wadd(float* w, int nxh, int ny, float D, float pixel, float2 drift, GPS_PARA p);
__global__ void cuda_2ds_fft_dose_dft_wgen(float* w, int nxh, int ny, int n, float pixel, const float* dose,
                                           const float2* drift, GPS_PARA p);
__global__ void cuda_2ds_fft_dose_dft_wgen_swap(float* w, int nxh, int ny, int n, float pixel, const float* dose,
                                                const float2* drift, GPS_PARA p);
__global__ void cuda_2d_fft_dose_dft_wgen_wsum_one(const float2* in, float2* sum, float* norm, int nxh, int ny, float D,
                                                   float pixel, float2 drift, GPS_PARA p);
__global__ void cuda_2ds_fft_dose_dft_ctf_wave(const float2* in, float2* out, int nxh, int ny, int n, float pixel,
                                               const float* dose, const float2* drift, const float* ctfw, GPS_PARA p);
// Every element of image j of out += a P[j] + b Q[j] + c R[j].
__global__ void cuda_2ds_weighted_sum_abc(float* out, int nx, int ny, int n, float a, float b, float c, const float* P,
                                          const float* Q, const float* R);

// ---- device arrays: launch on 32 x 32 blocks, synchronise, check ----
// w = the frame's weight (1 at s = 0; a scheme outside 0-3 leaves w as it is).
void hcuda_2d_fft_dose_dft_wgen(float* w, int nxh, int ny, float D, float pixel, float2 drift, GPS_PARA p);
// w += |weight| (type 1) or weight^2 (type 2), other types no change; w = 1 at s = 0.
void hcuda_2d_fft_dose_dft_wadd(float* w, int nxh, int ny, float D, float pixel, float2 drift, GPS_PARA p);
// Frame j of the stack at j*nxh*ny.
void hcuda_2ds_fft_dose_dft_wgen(float* w, int nxh, int ny, int n, float pixel, const float* dose, const float2* drift,
                                 GPS_PARA p);
// As above, the rows of each frame moved down by ny/2 (zero frequency in the middle row).
void hcuda_2ds_fft_dose_dft_wgen_swap(float* w, int nxh, int ny, int n, float pixel, const float* dose,
                                      const float2* drift, GPS_PARA p);
// sum += weight * in; norm += |weight| (type 1) or weight^2 (type 2).
void hcuda_2d_fft_dose_dft_wgen_wsum_one(const float2* in, float2* sum, float* norm, int nxh, int ny, float D,
                                         float pixel, float2 drift, GPS_PARA p);
// out = (sum_j w_j in_j) / N times the CTF weight interpolated at radius |(x, ky)|.
void hcuda_2ds_fft_dose_dft_ctf_wave(const float2* in, float2* out, int nxh, int ny, int n, float pixel,
                                     const float* dose, const float2* drift, const float* ctfw, GPS_PARA p);
void hcuda_2ds_weighted_sum_abc(float* out, int nx, int ny, int n, float a, float b, float c, const float* P,
                                const float* Q, const float* R);

// ---- host arrays (allocate, copy in, run, copy out, free) ----
// The weight stack is copied in too, so that what the kernel leaves is kept. The last int has no effect.
void gpu_2ds_fft_dose_dft_wgen(float* w, int nxh, int ny, int n, float pixel, const float* dose, const float2* drift,
                               GPS_PARA p, int unused = 0);
void gpu_2ds_fft_dose_dft_wgen_swap(float* w, int nxh, int ny, int n, float pixel, const float* dose,
                                    const float2* drift, GPS_PARA p, int unused = 0);
// Echoes the frames, the CTF table and the parameters, then weights as the hcuda_ form.
void gpu_2ds_fft_dose_dft_ctf_wave(const float2* in, float2* out, int nxh, int ny, int n, float pixel,
                                   const float* dose, const float2* drift, const float* ctfw, GPS_PARA p);

// The echo of gpu_2ds_fft_dose_dft_ctf_wave before it weights: the frames, the
// CTF table, the sizes and the parameters.
void print_wave_inputs(const float* dose, const float2* drift, int n, const float* ctfw, int nxh, int ny, float pixel,
                       GPS_PARA p);

// ---- CPU twin: fixed scheme-1 dose weight, norm sum |w_j| + k, no CTF weight ----
void cpu_2ds_fft_dose_dft_ctf_wave(const float2* in, float2* out, int nxh, int ny, int n, float pixel,
                                   const float* dose, const float2* drift, const float* ctfw, GPS_PARA p);

// ======== movie weighting driver and its text inputs ========

// One weighting job; the caller owns the record and every buffer it points to.
struct GWAVE_PARA {
    float apix;            // A per pixel
    int32_t first;         // first movie frame used; below 0 means 0
    int32_t last;          // last movie frame used; at or beyond the frame count means the last
    GPS_PARA gps;          // weights; gps.device selects the run mode
    char* suffix1;         // suffixes of names 1, 2 and 3
    char* suffix2;
    char* suffix3;
    char** movies;         // the movies of the job, ended by a null pointer
    char* movie;           // the current movie
    char name3[VORN_NAME_LEN];
    char ptcl_name[VORN_NAME_LEN];  // current movie + "_particles.mrcs": the input stack
    MRC_HEAD* head;        // header of the current movie; its nz is the frame count
    char name1[VORN_NAME_LEN];
    char out_name[VORN_NAME_LEN];   // current movie + "_wave.mrc": the output stack
    char name2[VORN_NAME_LEN];
    float* dose;           // dose of each frame
    float2* drift;         // drift of each frame, pixels
    float* ctfw;           // radial CTF weights, nx/2 + 1 entries
};

// Reads the first movie's header; a movie that is not square is fatal, one
// whose header cannot be read gives -1 after a warning. The int has no effect.
int gwave_check_first_parameters(GWAVE_PARA& para, int unused = 0);
// Makes movie `index` current, reads its header into para.head and derives the
// output, particle-stack and suffix names. -1 with a warning for an index past
// the list or a header that cannot be read.
int gwave_set_current_parameters(GWAVE_PARA& para, int index);
// One weighted image per particle of the current movie's particle stack into
// the output stack (modes 1-3), or the weight stack "Weights3D.mrcs" (mode 4).
// 0 when done; -1 with a warning, writing nothing, for an unknown mode, no
// frame to use, a missing input array, an output of the job (any listed
// movie's output stack, or the weight stack) that is a movie or particle stack
// of the job or another movie's output (by name, symbolic or hard link;
// checked for the whole job at every movie, so such a job is refused at its
// first movie; a name listed twice is one movie), or a particle stack whose
// header cannot be read, is of a mode the readers do not convert ("mode 12 is
// not supported"), has a size of 0 or below, or describes other data than the
// file holds (checked in that order, before anything is sized by it, in every
// mode). The int has no effect.
int mrcsf_dose_drift_ctf_wave_many(GWAVE_PARA& para, int unused = 0);

// Text inputs: one entry per line, the entry index first, counted from 0;
// lines are read whole, whatever their length. 0 when all n entries were read,
// -1 after a warning (also for a file that cannot be read, e.g. a directory).
int get_dose_smoothed_drift_from_txt(float* dose, float2* drift, int n, const char* name);
int get_drift_from_txt(float2* drift, int n, const char* name);
int get_ctfw_from_txt(float* ctfw, int n, const char* name);

void print_dose_drif_ctfw(const float* dose, const float2* drift, int n, const float* ctfw, int m);
void printf_psp(GPS_PARA p);
