// Soft radial masks, normalisation within them, and local means and deviations
// by FFT correlation with a soft disc, plain (wrapping at the edges) or on the
// mirror-padded image; the local mean serves as a background.
#define VORN_UNIT "src/process2d_raw"
#include "process2d_raw.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "cuda_complex.h"
#include "cuda_fast_sum.h"
#include "cuda_fft.h"
#include "math_utils.h"
#include "process2d_core.h"

namespace {

// The device mask's edge is scaled by 1/sqrt(2 pi) in single precision; the host
// mask's edge is not. Inside r both are 1, beyond r + w both are 0.
constexpr float DEVICE_EDGE_SCALE = 0.3989423f;

// The soft disc at pixel (x, y): 1 within r of (cx, cy), exp(-(d - r)^2 / (2 (w/3)^2))
// out to r + w (times edge_scale), 0 beyond. The squared distance is taken in double.
__host__ __device__ __forceinline__ float soft_disc(unsigned x, unsigned y, float cx, float cy, float r, float w,
                                                    float edge_scale) {
    const float dx = (float)x - cx, dy = (float)y - cy;
    const double d2 = (double)dx * dx + (double)dy * dy;
    const float outer = r + w;
    if (d2 > (double)outer * outer) return 0.0f;
    if (d2 <= (double)r * r) return 1.0f;
    const float d = sqrtf((float)d2), sigma = w / 3.0f, t = d - r;
    return expf(-(t * t) / (2.0f * sigma * sigma)) * edge_scale;
}

__host__ __device__ __forceinline__ float central(unsigned n) { return (float)(n - 1) * 0.5f; }

// in[y][x] goes to out[(y + ny/2) mod ny][(x + nx/2) mod nx]. For even sizes this
// is the quadrant swap; for odd sizes it still brings the correlation with the
// disc centred at (n - 1)/2 back under each pixel, which an in-place exchange of
// quadrants cannot do.
__global__ void cuda_2d_centre_correlation(float* out, const float* in, unsigned nx, unsigned ny) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (pixel_inside(t, nx, ny, i)) out[pixel_element((t.x + nx / 2) % nx, (t.y + ny / 2) % ny, nx)] = in[i];
}

// sqrt(avg(x^2) - avg(x)^2), the difference clamped at 0: rounding makes it
// slightly negative in flat regions, where the deviation is 0, not NaN.
struct DeviationFromMoments {
    __host__ __device__ float operator()(float mean_sqr, float mean) const {
        const float v = mean_sqr - mean * mean;
        return v < 0.0f ? 0.0f : sqrtf(v);
    }
};
__global__ void cuda_2d_deviation_from_moments(float* out, const float* mean_sqr, const float* mean, unsigned nx,
                                               unsigned ny) {
    zip_pixels(IMAGE_THREAD_XY, out, mean_sqr, mean, nx, ny, DeviationFromMoments{});
}

// out = circular correlation of in with the central device disc, divided by the
// disc's sum. out is written only after in has been transformed, so it may be in.
void local_average_wrapped(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    if (nx == 0 || ny == 0) return;
    const size_t n = image_pixels(nx, ny), nh = (size_t)(nx / 2 + 1) * ny;
    float* mask = device_buffer<float>(GPU_SITE, n);
    float2* I = device_buffer<float2>(GPU_SITE, nh);
    float2* M = device_buffer<float2>(GPU_SITE, nh);
    hcuda_2d_generate_central_rmask(mask, nx, ny, r, w);
    const float S = hcuda_fast_sum(mask, n, 1024);
    hcuda_2d_fft_r2c(const_cast<float*>(in), I, nx, ny);  // an out-of-place forward transform leaves its input alone
    hcuda_2d_fft_r2c(mask, M, nx, ny);
    hcuda_c2d_multconj_norm_inplace(I, M, nx / 2 + 1, ny, (float)n);
    float* correlation = mask;
    hcuda_2d_fft_c2r(I, correlation, nx, ny);
    gpu_launch_2d<cuda_2d_centre_correlation>(GPU_SITE, nx, ny, out, correlation, nx, ny);
    hcuda_2d_divide_inplace(out, nx, ny, S);
    device_release(GPU_SITE, mask);
    device_release(GPU_SITE, I);
    device_release(GPU_SITE, M);
}

typedef void (*LocalAverage)(float*, const float*, unsigned, unsigned, float, float);

// out = sqrt(average(in^2) - average(in)^2), out may be in.
void local_deviation(float* out, const float* in, unsigned nx, unsigned ny, float r, float w, LocalAverage average) {
    if (nx == 0 || ny == 0) return;
    float* mean = device_buffer<float>(GPU_SITE, image_pixels(nx, ny));
    average(mean, in, nx, ny, r, w);
    hcuda_2d_sqr(out, in, nx, ny);
    average(out, out, nx, ny, r, w);
    gpu_launch_2d<cuda_2d_deviation_from_moments>(GPU_SITE, nx, ny, out, out, mean, nx, ny);
    device_release(GPU_SITE, mean);
}

// image := image - its local average.
void subtract_local_average(float* image, unsigned nx, unsigned ny, float r, float w, LocalAverage average) {
    if (nx == 0 || ny == 0) return;
    float* background = device_buffer<float>(GPU_SITE, image_pixels(nx, ny));
    average(background, image, nx, ny, r, w);
    hcuda_x2d_sub_inplace(image, background, nx, ny);
    device_release(GPU_SITE, background);
}

// ---- both statistics of one image on its mirror-padded grid, sharing its transform ----

// The pixels a soft disc of radius r and edge w reaches, centred on an even
// grid: its taps lie at |d + 1/2| <= r + w.
unsigned window_reach(float r, float w) {
    const float e = r + w;
    return e > 0.0f ? (unsigned)ceilf(std::min(e, 1e9f)) + 1 : 1u;
}

// sigma holds the local mean on entry; the grid's correlation of the square
// at the pixel's centred element, divided by the window's sum, is the mean square.
__global__ void cuda_2d_mirrored_deviation(float* sigma, const float* correlation_of_sqr, FftGrid g, float sum) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (pixel_inside(t, g.nx, g.ny, i))
        sigma[i] = DeviationFromMoments{}(
            correlation_of_sqr[pixel_element(fft_grid_centred(t.x, g.gx), fft_grid_centred(t.y, g.gy), g.gx)] / sum,
            sigma[i]);
}

void release_windows(LocalStatsWork& work) {
    for (const SoftDiscWindow& w : work.windows) device_release(GPU_SITE, w.spectrum);
    work.windows.clear();
}

// The window of radius r and edge w on the work's grid, made as
// local_average_wrapped makes it (in the correlation array, free until used).
SoftDiscWindow window_of(LocalStatsWork& work, float r, float w) {
    for (const SoftDiscWindow& k : work.windows)
        if (k.r == r && k.w == w) return k;
    const unsigned gx = work.image.grid.gx, gy = work.image.grid.gy;
    float* mask = work.image.correlation;
    hcuda_2d_generate_central_rmask(mask, gx, gy, r, w);
    const float sum = hcuda_fast_sum(mask, image_pixels(gx, gy), 1024);
    const SoftDiscWindow k{r, w, sum, fft_grid_kernel_spectrum(work.image, mask)};
    work.windows.push_back(k);
    return k;
}

// The work holds the nx x ny image mirrored about its edges on the grid for
// windows reaching reach pixels, and its spectrum; in is not read again.
void pad_and_transform(LocalStatsWork& work, const float* in, unsigned nx, unsigned ny, unsigned reach) {
    if (fft_grid_prepare(work.image, fft_mirrored_grid(nx, ny, reach, reach))) release_windows(work);
    fft_grid_load(work.image, in);
}

// out := the local average by the window of the padded image whose spectrum
// the work holds, cropped to the image.
void mirrored_average_from_spectrum(float* out, LocalStatsWork& work, const SoftDiscWindow& window) {
    fft_grid_correlate(work.image, window.spectrum);
    hcuda_2d_centred_from_grid(out, work.image.correlation, work.image.grid, window.sum);
}

// sigma holds the local average by the window; it becomes the local deviation.
// The square of the padded image is the padded square: the work's padded image
// is squared and transformed on the way.
void mirrored_deviation_from_average(float* sigma, LocalStatsWork& work, const SoftDiscWindow& window) {
    FftGridImage& image = work.image;
    hcuda_2d_sqr(image.padded, image.padded, image.grid.gx, image.grid.gy);
    hcuda_2d_fft_r2c(image.padded, image.spectrum, image.grid.gx, image.grid.gy);
    fft_grid_correlate(image, window.spectrum);
    gpu_launch_2d<cuda_2d_mirrored_deviation>(GPU_SITE, image.grid.nx, image.grid.ny, sigma,
                                              (const float*)image.correlation, image.grid, window.sum);
}

// The local average on the 2nx x 2ny mirror-padded image, cropped back: no
// wrap-around at the edges. out may be in.
void local_average_mirrored(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    if (nx == 0 || ny == 0) return;
    LocalStatsWork work;
    pad_and_transform(work, in, nx, ny, window_reach(r, w));
    mirrored_average_from_spectrum(out, work, window_of(work, r, w));
}

// The local deviation the same way, from one padding and one window. out may be in.
void local_deviation_mirrored(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    if (nx == 0 || ny == 0) return;
    LocalStatsWork work;
    pad_and_transform(work, in, nx, ny, window_reach(r, w));
    const SoftDiscWindow window = window_of(work, r, w);
    mirrored_average_from_spectrum(out, work, window);
    mirrored_deviation_from_average(out, work, window);
}

// A host image through the device: out = op(in).
template <class Op>
void host_image_op(float* out, const float* in, unsigned nx, unsigned ny, Op op) {
    const size_t n = image_pixels(nx, ny);
    gpu_run_on_device(GPU_SITE, out, n, in, n, [&](const float* d_in, float* d_out) { op(d_out, d_in); });
}

}  // namespace

// ================= soft masks =================

__global__ void cuda_2d_generate_rmask_soft(float* mask, unsigned nx, unsigned ny, float cx, float cy, float r,
                                            float w) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (pixel_inside(t, nx, ny, i)) mask[i] = soft_disc(t.x, t.y, cx, cy, r, w, DEVICE_EDGE_SCALE);
}

void hcuda_2d_generate_rmask_soft(float* mask, unsigned nx, unsigned ny, float cx, float cy, float r, float w) {
    gpu_launch_2d<cuda_2d_generate_rmask_soft>(GPU_SITE, nx, ny, mask, nx, ny, cx, cy, r, w);
}
void hcuda_2d_generate_central_rmask(float* mask, unsigned nx, unsigned ny, float r, float w) {
    hcuda_2d_generate_rmask_soft(mask, nx, ny, central(nx), central(ny), r, w);
}
void hcuda_2d_generate_central_sharp_rmask(float* mask, unsigned nx, unsigned ny, float r) {
    hcuda_2d_generate_central_rmask(mask, nx, ny, r, 0.0f);
}
void gpu_2d_generate_rmask_soft(float* mask, unsigned nx, unsigned ny, float cx, float cy, float r, float w) {
    const size_t n = image_pixels(nx, ny);
    float* d = device_buffer<float>(GPU_SITE, n);
    hcuda_2d_generate_rmask_soft(d, nx, ny, cx, cy, r, w);
    copy_to_host(GPU_SITE, mask, d, n);
    device_release(GPU_SITE, d);
}

void cpu_2d_generate_rmask_soft(float* mask, unsigned nx, unsigned ny, float cx, float cy, float r, float w) {
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) mask[pixel_element(x, y, nx)] = soft_disc(x, y, cx, cy, r, w, 1.0f);
}
void cpu_2d_generate_central_rmask(float* mask, unsigned nx, unsigned ny, float r, float w) {
    cpu_2d_generate_rmask_soft(mask, nx, ny, central(nx), central(ny), r, w);
}

// The host mask summed over an n x n grid, n = int(r + w) + 1, centred on the grid.
float cpu_2d_rmask_soft_sum(float r, float w) {
    const int n = (int)(r + w) + 1;
    if (n <= 0) return 0.0f;
    std::vector<float> mask((size_t)n * n);
    cpu_2d_generate_central_rmask(mask.data(), (unsigned)n, (unsigned)n, r, w);
    return (float)hm_sum(mask.data(), mask.size());
}

// ================= normalisation within a soft mask (host) =================

void cpu_2d_znorm_withRmask(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy, float r,
                            float w) {
    std::vector<float> mask(image_pixels(nx, ny));
    cpu_2d_generate_rmask_soft(mask.data(), nx, ny, cx, cy, r, w);
    hm_normz_withmask(out, in, mask.data(), mask.size(), 1.0f, 0.0f);
}
void cpu_2d_znorm_withRmask_applymask(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy,
                                      float r, float w) {
    std::vector<float> mask(image_pixels(nx, ny));
    cpu_2d_generate_rmask_soft(mask.data(), nx, ny, cx, cy, r, w);
    hm_normz_withmask_applymask(out, in, mask.data(), mask.size(), 1.0f, 0.0f);
}
void cpu_2d_znorm_withRmask_inplace(float* image, unsigned nx, unsigned ny, float cx, float cy, float r, float w) {
    std::vector<float> mask(image_pixels(nx, ny));
    cpu_2d_generate_rmask_soft(mask.data(), nx, ny, cx, cy, r, w);
    hm_normz_withmask_inplace(image, mask.data(), mask.size(), 1.0f, 0.0f);
}
void cpu_2d_znorm_withRmask_applymask_inplace(float* image, unsigned nx, unsigned ny, float cx, float cy, float r,
                                              float w) {
    std::vector<float> mask(image_pixels(nx, ny));
    cpu_2d_generate_rmask_soft(mask.data(), nx, ny, cx, cy, r, w);
    hm_normz_withmask_applymask_inplace(image, mask.data(), mask.size(), 1.0f, 0.0f);
}

// ================= local statistics, wrapping at the edges =================

void hcuda_2d_bg(float* out, float* in, unsigned nx, unsigned ny, float r, float w) {
    local_average_wrapped(out, in, nx, ny, r, w);
}
void hcuda_2d_local_ave_softR(float* out, float* in, unsigned nx, unsigned ny, float r, float w) {
    local_average_wrapped(out, in, nx, ny, r, w);
}
void hcuda_2d_bg_inplace(float* image, unsigned nx, unsigned ny, float r, float w) {
    local_average_wrapped(image, image, nx, ny, r, w);
}
void hcuda_2d_bg_reduce_inplace(float* image, unsigned nx, unsigned ny, float r, float w) {
    subtract_local_average(image, nx, ny, r, w, local_average_wrapped);
}
void hcuda_2d_local_sigma_softR(float* out, float* in, unsigned nx, unsigned ny, float r, float w) {
    local_deviation(out, in, nx, ny, r, w, local_average_wrapped);
}

void gpu_2d_bg(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    host_image_op(out, in, nx, ny, [&](float* o, const float* i) { local_average_wrapped(o, i, nx, ny, r, w); });
}
void gpu_2d_local_ave_softR(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    gpu_2d_bg(out, in, nx, ny, r, w);
}
void gpu_2d_bg_inplace(float* image, unsigned nx, unsigned ny, float r, float w) { gpu_2d_bg(image, image, nx, ny, r, w); }
void gpu_2d_local_sigma_softR(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    host_image_op(out, in, nx, ny,
                  [&](float* o, const float* i) { local_deviation(o, i, nx, ny, r, w, local_average_wrapped); });
}

// ================= local statistics on the mirror-padded image =================

void hcuda_2d_bg_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    local_average_mirrored(out, in, nx, ny, r, w);
}
void hcuda_2d_local_ave_softR_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    local_average_mirrored(out, in, nx, ny, r, w);
}
void hcuda_2d_bg_mpad_inplace(float* image, unsigned nx, unsigned ny, float r, float w) {
    local_average_mirrored(image, image, nx, ny, r, w);
}
void hcuda_2d_subbg_mpad_inplace(float* image, unsigned nx, unsigned ny, float r, float w) {
    subtract_local_average(image, nx, ny, r, w, local_average_mirrored);
}
void hcuda_2d_local_sigma_softR_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    local_deviation_mirrored(out, in, nx, ny, r, w);
}

void gpu_2d_bg_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    host_image_op(out, in, nx, ny, [&](float* o, const float* i) { local_average_mirrored(o, i, nx, ny, r, w); });
}
void gpu_2d_local_ave_softR_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    gpu_2d_bg_mpad(out, in, nx, ny, r, w);
}
void gpu_2d_bg_mpad_inplace(float* image, unsigned nx, unsigned ny, float r, float w) {
    gpu_2d_bg_mpad(image, image, nx, ny, r, w);
}
void gpu_2d_local_sigma_softR_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w) {
    host_image_op(out, in, nx, ny,
                  [&](float* o, const float* i) { local_deviation_mirrored(o, i, nx, ny, r, w); });
}

// Never built: the output is left as it was.
void gpu_2d_shrink_local_ave_softR(float*, const float*, unsigned, unsigned, int, float, float) {}
void gpu_2d_shrink_local_sigma_softR(float*, const float*, unsigned, unsigned, int, float, float) {}

// ================= both, sharing the padded image's transform =================

LocalStatsWork::~LocalStatsWork() { release_windows(*this); }

void hcuda_2d_local_ave_sigma_softR_mpad(float* ave, float* sigma, const float* in, unsigned nx, unsigned ny,
                                         float r_ave, float r_sigma, float w, LocalStatsWork& work) {
    if (nx == 0 || ny == 0) return;
    pad_and_transform(work, in, nx, ny, std::max(window_reach(r_ave, w), window_reach(r_sigma, w)));
    const SoftDiscWindow wa = window_of(work, r_ave, w), ws = window_of(work, r_sigma, w);
    mirrored_average_from_spectrum(sigma, work, ws);
    mirrored_average_from_spectrum(ave, work, wa);
    mirrored_deviation_from_average(sigma, work, ws);
}
