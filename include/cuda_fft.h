// The road to the Fourier domain: 2D real-to-complex and complex-to-real
// transforms (one plan per call, destroyed before the call returns), the
// layouts in which spectra are stored and the conversions between them, and
// the amplitude spectra of micrographs summed over grids of boxes or stacks.
//
// Layouts of an nx x ny image, nxh = nx/2 + 1:
//   half, FFT order   nxh x ny; column x holds kx = x, row y holds ky = y below
//                     ny/2 and y - ny otherwise; origin at element 0.
//   y-centred half    the half with its rows rotated by ny/2: row r holds
//                     ky = r - ny/2, origin at row ny/2, column 0.
//   full amplitude    (fftA) nx x ny floats; column c holds kx = c - (nx/2 - 1),
//                     so the origin column is nx/2 - 1 (there is no column for
//                     kx = -nx/2); rows in the order of the half it came from.
//   centred full      element (x, y) moved to ((x + nx/2) mod nx, (y + ny/2) mod ny).
// The layouts exist for even sizes only: a conversion given an odd size ends
// the process with the fatal line.
//
// Scaling: the plain device transforms are unscaled; the _norm forms and the
// host-array transforms (gpu_) divide once by sqrt(nx*ny).
// Spectra summed over boxes or frames are sums of unscaled amplitudes, never
// divided by the number of boxes or frames, and stored y-centred.
#pragma once
#include "cuda_general.h"

// ---- transforms ----
void hcuda_2d_fft_r2c(float* in, float2* out, unsigned nx, unsigned ny);
void hcuda_2d_fft_r2c_norm(float* in, float2* out, unsigned nx, unsigned ny);
// The input spectrum may be overwritten.
void hcuda_2d_fft_c2r(float2* in, float* out, unsigned nx, unsigned ny);
void hcuda_2d_fft_c2r_norm(float2* in, float* out, unsigned nx, unsigned ny);
// Host arrays; both directions divide by sqrt(nx*ny).
void gpu_2d_fft_r2c(const float* in, float2* out, unsigned nx, unsigned ny);
void gpu_2d_fft_c2r(const float2* in, float* out, unsigned nx, unsigned ny);
// n host images to n host half spectra (slot i at i*nxh*ny), each divided by
// sqrt(nx*ny); prints one "." when done.
void gpu_2ds_fft_r2c(const float* in, float2* out, unsigned nx, unsigned ny, unsigned n);
// n device images to n unscaled device half spectra.
void hcuda_2ds_fft_r2c(float* in, float2* out, unsigned nx, unsigned ny, unsigned n);

// ---- correlations on a grid of lengths the FFT handles well ----
// FFTW and cuFFT are fast on lengths whose prime factors are all 2, 3, 5 or 7;
// a larger factor makes a transform many times slower (1023 = 3 x 11 x 31: 8 to
// 40 times a 1024). A circular correlation of an nx x ny image with a kernel
// whose taps reach at most r pixels either side of the output pixel gives the
// same values on a longer grid of g pixels, as long as the grid's added pixels
// continue the image about its edges the way the correlation at the image's
// own length sees it: wrapped round (period n) or mirrored (the period 2n of
// the mirror-padded image). The first half of the added pixels continue past
// the last pixel, the rest lead, as the grid wraps round, up to the first. On
// the grid, tap d of a kernel lies at element (g/2 + d) mod g and the
// correlation for pixel p at element (p - g/2) mod g (fft_grid_centred),
// whatever g is: a grid of the own length gives the own transform's values to
// the bit.
struct FftGrid {
    unsigned nx = 0, ny = 0;  // the image
    unsigned gx = 0, gy = 0;  // the grid transformed
    bool mirror = false;      // the added pixels mirror the image (else wrap it round)
    bool padded() const { return gx != nx || gy != ny; }
    bool operator==(const FftGrid& o) const {
        return nx == o.nx && ny == o.ny && gx == o.gx && gy == o.gy && mirror == o.mirror;
    }
};
bool fft_length_is_fast(unsigned n);
// own (the length without a grid) when it is fast, else the smallest fast even
// length of at least least.
unsigned fft_grid_length(unsigned own, unsigned least);
// The grid of the circular correlation at the image's own size with kernels of
// reach rx, ry: the image's sizes where they are fast.
FftGrid fft_wrapped_grid(unsigned nx, unsigned ny, unsigned rx, unsigned ry);
// The grid of the correlation on the 2nx x 2ny mirror-padded image with kernels
// of reach rx, ry (centred on an even grid): 2n where it is fast, else the next
// fast length when the kernels reach no further than its added pixels on either
// side (half the image always fits), else 2n.
FftGrid fft_mirrored_grid(unsigned nx, unsigned ny, unsigned rx, unsigned ry);
// The image pixel that grid element x (< g) holds along an axis of n pixels.
// Most elements lie within one period of the image, where no division is needed.
__host__ __device__ inline unsigned fft_grid_source(unsigned x, unsigned n, unsigned g, bool mirror) {
    if (x < n) return x;
    const long long s = x < n + (g - n) / 2 ? (long long)x : (long long)x - g;  // past the end, or before the start
    const long long period = mirror ? 2LL * n : (long long)n;
    long long u = s;
    if (u < 0) u += period;
    else if (u >= period) u -= period;
    if (u < 0 || u >= period) u = ((s % period) + period) % period;
    return (unsigned)(u < n ? u : period - 1 - u);
}
// The grid element (x - g/2) mod g that holds the correlation for pixel x (< g).
__host__ __device__ inline unsigned fft_grid_centred(unsigned x, unsigned g) {
    const unsigned s = x + (g - g / 2);
    return s < g ? s : s - g;
}
// grid (g.gx x g.gy) := the image (g.nx x g.ny) continued about its edges.
void hcuda_2d_extend_to_grid(float* grid, const float* image, const FftGrid& g);
// out (g.nx x g.ny) := the correlation on the grid, in, at each pixel's centred element, divided by divisor.
void hcuda_2d_centred_from_grid(float* out, const float* in, const FftGrid& g, float divisor);
// An image's spectrum on a grid and the arrays to correlate it with kernels
// there, kept for as long as the grid stays.
struct FftGridImage {
    FftGrid grid;
    float* padded = nullptr;       // the image on the grid
    float2* spectrum = nullptr;    // its half spectrum
    float2* product = nullptr;
    float* correlation = nullptr;  // the last correlation, unscaled by any sum
    FftGridImage() = default;
    FftGridImage(const FftGridImage&) = delete;
    FftGridImage& operator=(const FftGridImage&) = delete;
    ~FftGridImage();
};
// Sizes the arrays for g; false when they were sized for it already.
bool fft_grid_prepare(FftGridImage& w, const FftGrid& g);
// w.padded and w.spectrum := the image (w.grid.nx x w.grid.ny) on the grid and its transform.
void fft_grid_load(FftGridImage& w, const float* image);
// A kernel's half spectrum on the grid (a new array, released by the caller):
// the transform of the gx x gy kernel.
float2* fft_grid_kernel_spectrum(const FftGridImage& w, float* kernel);
// w.correlation := the circular correlation on the grid of the loaded image with
// the kernel whose spectrum is given.
void fft_grid_correlate(FftGridImage& w, const float2* kernel_spectrum);

// ---- full amplitude layout <-> half (nx, ny: the image's sizes, not nxh) ----
void hcuda_2d_fftA_full2half(float* half, const float* full, unsigned nx, unsigned ny);
void hcuda_2d_fftA_half2full(float* full, const float* half, unsigned nx, unsigned ny);
// As hcuda_2d_fftA_half2full, then full[ny/2][nx/2] = 0 (kx = +1, ky = 0 of a y-centred half).
void hcuda_2d_fftA_half2full_c0(float* full, const float* half, unsigned nx, unsigned ny);

// ---- row and quadrant swaps ----
// Half arrays of stored width w: row y moves to row (y + ny/2) mod ny.
void hcuda_r2dh_fc_swap(float* out, const float* in, unsigned w, unsigned ny);
void hcuda_r2dh_fc_swap_inplace(float* a, unsigned w, unsigned ny);
void hcuda_c2dh_fc_swap_inplace(float2* a, unsigned w, unsigned ny);
// Full images: (x, y) moves to ((x + nx/2) mod nx, (y + ny/2) mod ny).
void hcuda_r2d_fc_swap(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_swap_ccf(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_r2d_fc_swap_inplace(float* a, unsigned nx, unsigned ny);
void hcuda_2d_swap_ccf_inplace(float* a, unsigned nx, unsigned ny);
// The same exchange, every value divided by r.
void hcuda_2d_swap_norm_ccf_inplace(float* a, unsigned nx, unsigned ny, float r);
// With n = w*h and i = y*w + x: out[(i + n/2) mod n] = in[i]; for w = nxh and
// h = ny this y-centres a half spectrum (and applied again, restores it).
void hcuda_complex2d_center_swap(float2* out, const float2* in, unsigned w, unsigned h);
void hcuda_complex2d_center_swap_norm(float2* out, const float2* in, unsigned w, unsigned h, float r);

// ---- amplitudes of a flat half spectrum of n values, y-centred on the way ----
// With j = (i + n/2) mod n and |z| = sqrtf(re^2 + im^2):
void hcuda_complex_mod_center_swap(float* out, const float2* in, unsigned long n);        // out[j] = |in[i]|
void hcuda_complex_mod_addto_center_swap(float* out, const float2* in, unsigned long n);  // out[j] += |in[i]|
// out[j] = fmaf(w, |in[i]|, out[j])
void hcuda_complex_mod_weighted_addto_center_swap(float* out, const float2* in, unsigned long n, float w);
// out[j] += W[j]*|in[i]|: the weight map is read at the destination, so it is y-centred.
void hcuda_complex_mod_Ws_addto_center_swap(float* out, const float2* in, unsigned long n, float* W);
// out[j] = ln |in[i]|; a zero value gives -inf.
void hcuda_complex_logmod_center_swap(float* out, float2* in, unsigned long n);

// ---- conjugate products over w x h complex elements ----
// out = a * conj(b) / r; out may be a or b. The kernel, one thread per element
// on 2D blocks, for callers that launch it among others.
__global__ void cuda_c2d_multconj_norm(const float2* a, const float2* b, float2* out, unsigned w, unsigned h, float r);
void hcuda_c2d_multconj_norm(const float2* a, const float2* b, float2* out, unsigned w, unsigned h, float r);
void hcuda_c2d_multconj_norm_inplace(float2* a, const float2* b, unsigned w, unsigned h, float r);

// ---- amplitude spectra of images and stacks ----
// Host arrays: |F| of the unscaled transform, FFT order.
void gpu_2d_fft_r2c_mod(const float* in, float* out, unsigned nx, unsigned ny);
// Device stacks, slot i of out at i*nxh*ny, y-centred: |F|/sqrt(nx*ny) ...
void hcuda_2ds_fft_r2c_mod(float* in, float* out, unsigned nx, unsigned ny, unsigned n);
// ... and (re^2 + im^2)/(nx*ny).
void hcuda_2ds_fft_r2c_pow(float* in, float* out, unsigned nx, unsigned ny, unsigned n);
// ln |F| of the unscaled transform, FFT order.
void hcuda_2ds_fft_r2c_logmod(float* in, float* out, unsigned nx, unsigned ny, unsigned n);
// The b x b boxes of a device image whose top-left corners are listed (host
// array of count corners), as hcuda_2ds_fft_r2c_mod into out (count slots of (b/2 + 1)*b).
void hcuda_2d_boxes_fft_r2c_mod(float* out, int2* corners, int count, int b, const float* image, unsigned nx,
                                unsigned ny);

// ---- power spectra over a grid of boxes ----
// Boxes of bx x by (even, at least 2) at (j*step, i*step), (n - b)/step + 1 of
// them along each axis; a box larger than the image, an odd box or a step below
// 1 ends the process with the fatal line. Every half output has (bx/2 + 1)*by floats.
// The background of a spectrum is its box average over a g x g window (g >= 2)
// in the full amplitude layout.

// A = sum over the boxes of |F_box|, y-centred.
void hcuda_2d_gridfft_r2c_amp_ave(float* image, float* A, unsigned nx, unsigned ny, unsigned bx, unsigned by, int step);
// out = ln(A) - background.
void hcuda_2d_gridfft_r2c_amp_ave_log_subbg(float* image, float* out, unsigned nx, unsigned ny, unsigned bx,
                                            unsigned by, int step, int g);
// A as above, L = ln A, S = L - background, the background taken with the
// element kx = +1, ky = 0 of the full layout set to 0.
void hcuda_2d_gridfft_r2c_amp_ave_log_subbg3(float* image, float* A, float* L, float* S, unsigned nx, unsigned ny,
                                             unsigned bx, unsigned by, int step, int g);
// a (the half of an nx x ny spectrum: nx and ny are the full sizes) <- ln a - background.
void hcuda_2dh_fft_amp_log_subbg_inplace(float* a, unsigned nx, unsigned ny, int g);
// out = in - background, for a half of stored width nxh (full width 2*nxh - 2).
void hcuda_2dh_fftA_subbg(float* out, const float* in, unsigned nxh, unsigned ny, int g);
void hcuda_2dh_fftA_subbg_inplace(float* a, unsigned nxh, unsigned ny, int g);

// ---- power spectra of stacks (n >= 1 frames of nx x ny) ----
// out = ln(sum over frames of |F_k|) - background.
void hcuda_2ds_fft_r2c_amp_ave_log_subbg(float* stack, float* out, unsigned nx, unsigned ny, int n, int g);
// The same with frame k weighted: type 1, by the scalar W[k]; type 2, by the
// y-centred half map at W + k*nxh*ny. W is a device array.
void hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(float* stack, float* out, unsigned nx, unsigned ny, int n, int g,
                                                  float* W, int type);

// ---- distance and frequency weights for local spectra (device arrays) ----
// W[k] = exp(-d[k]^2 / (2 rho^2)).
void hcuda_2ds_fft_amp_local_w1d_gen(float* W, int n, float* d, float rho);
// Map k at W + k*nxh*ny, y-centred: exp(-(d[k]^2 / (2 rho^2)) * 0.5 * (f*R/apix)^2),
// f the spatial frequency in cycles per pixel.
void hcuda_2ds_fft_amp_local_w2ds_gen(float* W, int nxh, int ny, int n, float* d, float rho, float apix, float R);
void hcuda_2d_fft_amp_local_w2d_gen(float* W, int nxh, int ny, float d, float rho, float apix, float R);

// ================= shifts, radial and B-factor weights, complex stack means =================
// Half spectra in FFT row order unless said otherwise; nxh = nx/2 + 1.

// out = in exp(i phi), phi = 2 pi (sx kx / (2 (nxh - 1)) + sy ky / ny), ky the
// signed row frequency. The input comes first; out may be in.
void hcuda_c2dh_linear_Pshift(float2* in, float2* out, int nxh, int ny, float sx, float sy);
void hcuda_c2dh_linear_Pshift_inplace(float2* a, int nxh, int ny, float sx, float sy);
// out(x, y) = in(x + sx, y + sy), periodic, by Fourier interpolation (the content
// moves by (-sx, -sy)), at the input's scale; any size; out may be in.
void hcuda_2d_shift(float* in, float* out, unsigned nx, unsigned ny, float sx, float sy);
void hcuda_2d_shift_inplace(float* a, unsigned nx, unsigned ny, float sx, float sy);
// Host arrays: through one device image, through two, and in place.
void gpu_2d_shift(const float* in, float* out, unsigned nx, unsigned ny, float sx, float sy);
void gpu_2d_shift2(const float* in, float* out, unsigned nx, unsigned ny, float sx, float sy);
void gpu_2d_shift_inplace(float* a, unsigned nx, unsigned ny, float sx, float sy);

// Both parts times the radial weight of the element's frequency f (cycles per
// pixel): f below r0 (r0 taken at most 0.5), beyond it r0 exp(-(f - r0)^2 / (2 s^2))
// with s = w/3, or (0.5 - r0)/3 when r0 + w > 0.5; with s = 0, r0 at f = r0 and 0 beyond.
void hcuda_c2dh_rweight(float2* out, const float2* in, unsigned nxh, unsigned ny, float r0, float w);
void hcuda_c2dh_rweight_inplace(float2* a, unsigned nxh, unsigned ny, float r0, float w);
// The image weighted in Fourier space (transform, divide by sqrt(nx ny), weight,
// transform back, divide again). An odd nx, then an odd ny, ends the process with
// "Error in function ...: <n> not an even number! Exit now!" on standard output.
void hcuda_r2d_rweight(float* out, float* in, unsigned nx, unsigned ny, float r0, float w);
void hcuda_r2d_rweight_inplace(float* a, unsigned nx, unsigned ny, float r0, float w);
// Also writes the amplitudes of the scaled half spectrum (nxh*ny, FFT order) before and after weighting.
void hcuda_r2d_rweight_inplace2_debug(float* a, float* before, float* after, unsigned nx, unsigned ny, float r0,
                                      float w);

// Host: real half arrays (nxh x ny) times exp(-s^2 B / 4), s = f / apix in 1/A;
// rows y-centred, or in FFT order for the usw forms.
void cpu_r2dh_fftA_appy_bfac(float* out, float* in, unsigned nxh, unsigned ny, float apix, float B);
void cpu_r2dh_usw_fftA_appy_bfac(float* out, float* in, unsigned nxh, unsigned ny, float apix, float B);
void cpu_r2dh_usw_fftA_appy_bfac_inplace(float* a, unsigned nxh, unsigned ny, float apix, float B);

// out (w x h) = mean of the n slots of in (slot k at k*w*h); NaN everywhere for n = 0.
void hcuda_c2ds_ave(float2* out, float2* in, unsigned w, unsigned h, unsigned n);
void hcuda_c2ds_fftout_r2c_ave(float2* out, float2* in, unsigned w, unsigned h, unsigned n);
void gpu_c2ds_ave(float2* out, float2* in, unsigned w, unsigned h, unsigned n);
// The CPU mean; its input comes first, the reverse of the GPU forms.
void cpu_2ds_fftout_r2c_ave(float2* in, float2* out, unsigned w, unsigned h, unsigned n);

// ======== library spectrum forms and whole-file spectrum commands ========
// Local frequency weight exp(-(d^2/(2 rho^2)) * 0.5 * (f*R/apix)^2) at f cycles per pixel.
__host__ __device__ inline float local_frequency_weight(float f, float d, float rho, float apix, float R) {
    const float t = f * R / apix;
    return expf(-(d * d / (2.0f * rho * rho)) * 0.5f * (t * t));
}
// Spatial frequency of y-centred half element (x, y): fx = x/(2(nxh - 1)),
// fy = (y - ny/2)/ny in double, the squared sum rounded to float before the root.
__host__ __device__ inline float half_element_frequency(unsigned x, unsigned y, int nxh, int ny) {
    const double fx = x / (2.0 * (nxh - 1)), fy = ((double)y - ny / 2) / ny;
    return sqrtf((float)(fx * fx + fy * fy));
}

// Grid sums (boxes as hcuda_2d_gridfft_r2c_amp_ave): L = ln(sum) in place of the
// sum, S = L - background. The 2 form takes the background as the g x g box
// average in the full amplitude layout; the 4 form the local average within a
// soft disc of radius g and edge width g/5 (integer division), hcuda_2d_bg.
void hcuda_2d_gridfft_r2c_amp_ave_log_subbg2(float* image, float* S, float* L, unsigned nx, unsigned ny, unsigned bx,
                                             unsigned by, int step, int g);
void hcuda_2d_gridfft_r2c_amp_ave_log_subbg4(float* image, float* S, float* L, unsigned nx, unsigned ny, unsigned bx,
                                             unsigned by, int step, int g);

// Frame sums of a device stack of n >= 1 frames (ny even), y-centred, unscaled:
// A = sum of |F_k|; then ln A, or sqrt A.
void hcuda_2ds_fft_r2c_amp_ave(float* stack, float* A, unsigned nx, unsigned ny, int n);
void hcuda_2ds_fft_r2c_amp_ave_log(float* stack, float* A, unsigned nx, unsigned ny, int n);
void hcuda_2ds_fft_r2c_amp_ave_sqrt(float* stack, float* A, unsigned nx, unsigned ny, int n);
// A = sum of W[k]*|F_k| with the n weights W in host memory; then ln A.
void hcuda_2ds_fft_r2c_amp_weighted_ave(float* stack, float* A, unsigned nx, unsigned ny, int n, const float* W);
void hcuda_2ds_fft_r2c_amp_weighted_ave_log(float* stack, float* A, unsigned nx, unsigned ny, int n, const float* W);

// Per frame k: P_k = ln |F_k / sqrt(nx*ny)|, y-centred, into out + k*nxh*ny; then
// every P_k less one common background, the g x g box average of the mean of
// the P_k taken on the half array itself (g >= 2).
void hcuda_2ds_fft_r2c_logmod_subbg(float* out, float* stack, unsigned nx, unsigned ny, int n, int g);
void gpu_2ds_fft_r2c_logmod_subbg(float* out, const float* stack, unsigned nx, unsigned ny, int n, int g);
// Host stack of n >= 1 frames (even sizes): each frame's spectrum divided by
// sqrt(nx*ny) and converted by the mode letter ('A' modulus, 'P' phase, 'W'
// power, 'L' log-modulus, 'M' log of one plus modulus; any other is refused),
// y-centred. Each output given (not null) receives nx x ny full-layout arrays:
// frames, every frame (slot k at k*nx*ny); mean, the mean over the frames;
// log_mean, ln(1 + mean). Prints "." per frame and a line end after the last.
void gpu_2ds_fft_r2c_proc(const float* stack, float* frames, float* mean, float* log_mean, unsigned nx, unsigned ny,
                          int n, char mode);

// CPU weights: the host twin of hcuda_2d_fft_amp_local_w2d_gen, and a 1D radial
// profile of n values at f_i = i/(2n - 2) cycles per pixel.
void cpu_2d_fft_amp_local_w2d_gen(float* W, int nxh, int ny, float d, float rho, float apix, float R);
void cpu_2d_fft_amp_local_w1d_gen(float* W, int n, float d, float rho, float apix, float R);
// Writes nothing.
void cpu_2ds_wgen(float* W, int nxh, int ny, int n, float d, float rho, float apix, float R);

// Whole-file spectrum commands: argv[1] the input MRC file, argv[2] the output.
// The output header is the input's with the written sizes, mode and value
// range; every output holds one section (nz = 1). Each returns 0, or ends the
// process with status 1 on a missing, unreadable or odd-sized input or an
// output it cannot write.
// Slice 0: conjugate of its spectrum divided by sqrt(nx*ny), mode 4, (nx/2 + 1) x ny
// complex values; dmin 0, dmax the largest modulus.
int mrcf_fft_r2c_2d(int argc, char* argv[]);
// Slice 0: ln |F| unscaled, y-centred, (nx/2 + 1) x ny; dmin = min(0, least), dmax = max(0, greatest).
int mrcf_fft_r2c_amp_2d(int argc, char* argv[]);
// Every slice's ln |F| as above, added up (not divided by the slice count).
int mrcf_2ds_fft_r2c_amp_ave(int argc, char* argv[]);
// All slices: hcuda_2ds_fft_r2c_amp_ave_log_subbg with g = 39; value range and mean from the data.
int mrcf_2ds_fft_r2c_amp_ave2(int argc, char* argv[]);
// Slice 0: hcuda_2d_gridfft_r2c_amp_ave_log_subbg over 512 x 512 boxes, step 256, g = 39,
// 257 x 512; an image smaller than one box is refused.
int mrcf_2ds_fft_r2c_amp_ave3(int argc, char* argv[]);
// ======== end of library spectrum forms and whole-file spectrum commands ========
