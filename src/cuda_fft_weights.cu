// Small Fourier-domain image operations: sub-pixel shifts by a linear phase
// ramp, radial ramp weighting with a Gaussian edge, B-factor weighting of
// amplitude halves, and means of stacks of complex half spectra.
#define VORN_UNIT "src/cuda_fft"
#include "cuda_fft.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include <cmath>
#include <cstdio>

#include "cuda_complex.h"
#include "process2d_core.h"

namespace {

constexpr double TWO_PI = 6.283185307179586;

// Column x of a half spectrum in cycles per pixel of an image `width` pixels wide;
// column 0 is 0 even for a one-column half, where width is 0.
__host__ __device__ __forceinline__ float column_frequency(unsigned x, unsigned width) {
    return x == 0 ? 0.0f : (float)x / (float)width;
}
// Signed row frequency index of row y in FFT order: y up to the middle, y - ny beyond.
// For even ny the row ny/2 is -ny/2; for odd ny the rows 0 .. (ny - 1)/2 are the
// non-negative frequencies, as the transform lays them out.
__host__ __device__ __forceinline__ int row_frequency_index(unsigned y, unsigned ny) {
    return y < (ny + 1) / 2 ? (int)y : (int)y - (int)ny;
}

// in times exp(i phi), phi = 2 pi (sx x / width + sy ky / ny) in double, rounded to
// float, then cosine and sine in single precision.
__global__ void cuda_c2dh_linear_Pshift(const float2* in, float2* out, unsigned nxh, unsigned ny, unsigned width,
                                        float sx, float sy) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (!pixel_inside(t, nxh, ny, i)) return;
    const double kx = (float)t.x, ky = (float)row_frequency_index(t.y, ny);
    const double phase_x = width == 0 ? 0.0 : TWO_PI * sx * kx / width;
    const float phi = (float)(phase_x + TWO_PI * sy * ky / ny);
    const float c = cosf(phi), s = sinf(phi);
    const float2 v = in[i];
    out[i] = make_float2(v.x * c - v.y * s, v.x * s + v.y * c);
}

// The radial weight at frequency f (cycles per pixel): the ramp f below r0 (at
// most 0.5), beyond it r0 exp(-(f - r0)^2 / (2 sigma^2)) with sigma = w/3, or
// (0.5 - r0)/3 when r0 + w passes 0.5. With sigma = 0 the edge is a step: r0 at
// f = r0 exactly and 0 beyond, never the 0/0 of the formula.
__host__ __device__ __forceinline__ float radial_weight(float f, float r0, float w) {
    if (r0 > 0.5f) r0 = 0.5f;
    if (f < r0) return f;
    const float sigma = r0 + w > 0.5f ? (0.5f - r0) / 3.0f : w / 3.0f;
    if (sigma == 0.0f) return f == r0 ? r0 : 0.0f;
    const float d = f - r0;
    return r0 * expf(-(d * d) / (2.0f * sigma * sigma));
}

__global__ void cuda_c2dh_rweight(float2* out, const float2* in, unsigned nxh, unsigned ny, float r0, float w) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (!pixel_inside(t, nxh, ny, i)) return;
    const float fx = column_frequency(t.x, 2 * (nxh - 1));
    const float fy = (float)(t.y < ny / 2 ? t.y : ny - t.y) / (float)ny;
    const float k = radial_weight(sqrtf(fx * fx + fy * fy), r0, w);
    const float2 v = in[i];
    out[i] = make_float2(v.x * k, v.y * k);
}

// out = mean of the n slots of w x h values, summed in slot order in single
// precision and divided by n (0/0, NaN, for n = 0).
__host__ __device__ __forceinline__ float2 slot_mean(const float2* in, size_t i, size_t slot, unsigned n) {
    float2 sum = make_float2(0.0f, 0.0f);
    for (unsigned k = 0; k < n; ++k) {
        sum.x += in[k * slot + i].x;
        sum.y += in[k * slot + i].y;
    }
    return make_float2(sum.x / (float)n, sum.y / (float)n);
}
__global__ void cuda_c2ds_ave(float2* out, const float2* in, unsigned w, unsigned h, unsigned n) {
    size_t i;
    if (pixel_inside(IMAGE_THREAD_XY, w, h, i)) out[i] = slot_mean(in, i, image_pixels(w, h), n);
}

// Radial weighting and shifts need the image's true width; the layouts of the half
// spectrum hold it only for even sizes.
void require_even_size(const char* func, int line, unsigned v) {
    if (v % 2 == 0) return;
    std::printf("Error in function %s(), file %s on line %d: %d not an even number! Exit now!\n", func, VORN_UNIT,
                line, (int)v);
    std::fflush(stdout);
    std::exit(1);
}

void phase_ramp(const float2* in, float2* out, unsigned nxh, unsigned ny, unsigned width, float sx, float sy) {
    gpu_launch_2d<cuda_c2dh_linear_Pshift>(GPU_SITE, nxh, ny, in, out, nxh, ny, width, sx, sy);
}

// The image weighted in Fourier space; before and after, when given, receive the
// amplitudes of the scaled half spectrum before and after the weighting.
void radial_weight_image(const char* func, float* out, float* in, unsigned nx, unsigned ny, float r0, float w,
                         float* before, float* after) {
    require_even_size(func, __LINE__, nx);
    require_even_size(func, __LINE__, ny);
    if (nx == 0 || ny == 0) return;
    const unsigned nxh = nx / 2 + 1;
    const size_t nh = (size_t)nxh * ny;
    float2* spectrum = device_buffer<float2>(GPU_SITE, nh);
    hcuda_2d_fft_r2c_norm(in, spectrum, nx, ny);
    if (before) hcuda_complex_mod(spectrum, before, nh);
    hcuda_c2dh_rweight_inplace(spectrum, nxh, ny, r0, w);
    if (after) hcuda_complex_mod(spectrum, after, nh);
    hcuda_2d_fft_c2r_norm(spectrum, out, nx, ny);
    device_release(GPU_SITE, spectrum);
}

// out = in exp(-s^2 B / 4), s = f / apix; centred_row(y) is the row's index in the
// y-centred layout. Coordinates and the exponential in double, the radius in float.
template <class CentredRow>
void apply_bfactor(float* out, const float* in, unsigned nxh, unsigned ny, float apix, float B, CentredRow centred_row) {
    const double width = 2.0 * ((double)nxh - 1.0);
    for (unsigned y = 0; y < ny; ++y) {
        const double fy = ((double)centred_row(y) - 0.5 * ny) / ny;
        for (unsigned x = 0; x < nxh; ++x) {
            const double fx = x == 0 ? 0.0 : x / width;
            const float f = sqrtf((float)(fx * fx + fy * fy));
            const double s = f / (double)apix;
            const size_t i = pixel_element(x, y, nxh);
            out[i] = (float)(in[i] * std::exp(-s * s * B / 4.0));
        }
    }
}

}  // namespace

// ================= phase-ramp shifts =================

// A half spectrum alone does not tell an odd width from the even one below it: the
// full width is taken as 2 (nxh - 1), as for every half of an even image.
void hcuda_c2dh_linear_Pshift(float2* in, float2* out, int nxh, int ny, float sx, float sy) {
    if (nxh <= 0 || ny <= 0) return;
    phase_ramp(in, out, (unsigned)nxh, (unsigned)ny, 2u * ((unsigned)nxh - 1u), sx, sy);
}
void hcuda_c2dh_linear_Pshift_inplace(float2* a, int nxh, int ny, float sx, float sy) {
    hcuda_c2dh_linear_Pshift(a, a, nxh, ny, sx, sy);
}

// out(x, y) = in(x + sx, y + sy), periodic: the content moves by (-sx, -sy). The
// ramp uses the image's own width, so odd sizes shift as well as even ones.
void hcuda_2d_shift(float* in, float* out, unsigned nx, unsigned ny, float sx, float sy) {
    if (nx == 0 || ny == 0) return;
    const unsigned nxh = nx / 2 + 1;
    float2* spectrum = device_buffer<float2>(GPU_SITE, (size_t)nxh * ny);
    hcuda_2d_fft_r2c_norm(in, spectrum, nx, ny);
    phase_ramp(spectrum, spectrum, nxh, ny, nx, sx, sy);
    hcuda_2d_fft_c2r_norm(spectrum, out, nx, ny);
    device_release(GPU_SITE, spectrum);
}
void hcuda_2d_shift_inplace(float* a, unsigned nx, unsigned ny, float sx, float sy) { hcuda_2d_shift(a, a, nx, ny, sx, sy); }

void gpu_2d_shift(const float* in, float* out, unsigned nx, unsigned ny, float sx, float sy) {
    const size_t n = image_pixels(nx, ny);
    float* d = device_copy_of(GPU_SITE, in, n);
    hcuda_2d_shift_inplace(d, nx, ny, sx, sy);
    copy_to_host(GPU_SITE, out, d, n);
    device_release(GPU_SITE, d);
}
void gpu_2d_shift2(const float* in, float* out, unsigned nx, unsigned ny, float sx, float sy) {
    const size_t n = image_pixels(nx, ny);
    gpu_run_on_device(GPU_SITE, out, n, in, n,
                      [&](float* d_in, float* d_out) { hcuda_2d_shift(d_in, d_out, nx, ny, sx, sy); });
}
void gpu_2d_shift_inplace(float* a, unsigned nx, unsigned ny, float sx, float sy) { gpu_2d_shift(a, a, nx, ny, sx, sy); }

// ================= radial weights =================

void hcuda_c2dh_rweight(float2* out, const float2* in, unsigned nxh, unsigned ny, float r0, float w) {
    gpu_launch_2d<cuda_c2dh_rweight>(GPU_SITE, nxh, ny, out, in, nxh, ny, r0, w);
}
void hcuda_c2dh_rweight_inplace(float2* a, unsigned nxh, unsigned ny, float r0, float w) {
    hcuda_c2dh_rweight(a, a, nxh, ny, r0, w);
}
void hcuda_r2d_rweight(float* out, float* in, unsigned nx, unsigned ny, float r0, float w) {
    radial_weight_image(__func__, out, in, nx, ny, r0, w, nullptr, nullptr);
}
void hcuda_r2d_rweight_inplace(float* a, unsigned nx, unsigned ny, float r0, float w) {
    radial_weight_image(__func__, a, a, nx, ny, r0, w, nullptr, nullptr);
}
void hcuda_r2d_rweight_inplace2_debug(float* a, float* before, float* after, unsigned nx, unsigned ny, float r0,
                                      float w) {
    radial_weight_image(__func__, a, a, nx, ny, r0, w, before, after);
}

// ================= B-factor weights (host) =================

void cpu_r2dh_fftA_appy_bfac(float* out, float* in, unsigned nxh, unsigned ny, float apix, float B) {
    apply_bfactor(out, in, nxh, ny, apix, B, [](unsigned y) { return y; });
}
void cpu_r2dh_usw_fftA_appy_bfac(float* out, float* in, unsigned nxh, unsigned ny, float apix, float B) {
    apply_bfactor(out, in, nxh, ny, apix, B, [ny](unsigned y) { return (ny / 2 + y) % ny; });
}
void cpu_r2dh_usw_fftA_appy_bfac_inplace(float* a, unsigned nxh, unsigned ny, float apix, float B) {
    cpu_r2dh_usw_fftA_appy_bfac(a, a, nxh, ny, apix, B);
}

// ================= means of complex stacks =================

void hcuda_c2ds_ave(float2* out, float2* in, unsigned w, unsigned h, unsigned n) {
    gpu_launch_2d<cuda_c2ds_ave>(GPU_SITE, w, h, out, in, w, h, n);
}
void hcuda_c2ds_fftout_r2c_ave(float2* out, float2* in, unsigned w, unsigned h, unsigned n) {
    hcuda_c2ds_ave(out, in, w, h, n);
}
void gpu_c2ds_ave(float2* out, float2* in, unsigned w, unsigned h, unsigned n) {
    const size_t slot = image_pixels(w, h);
    gpu_run_on_device(GPU_SITE, out, slot, in, n * slot,
                      [&](float2* d_in, float2* d_out) { hcuda_c2ds_ave(d_out, d_in, w, h, n); });
}
// Input first, output second.
void cpu_2ds_fftout_r2c_ave(float2* in, float2* out, unsigned w, unsigned h, unsigned n) {
    const size_t slot = image_pixels(w, h);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) out[pixel_element(x, y, w)] = slot_mean(in, pixel_element(x, y, w), slot, n);
}
