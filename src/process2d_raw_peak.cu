// Peaks of images and stacks, dot products and correlation coefficients of two
// images (on the GPU, and on the host within soft masks), the FFT
// cross-correlation map, and the linear factors that bring one image to
// another's mean and deviation.
#define VORN_UNIT "src/process2d_raw"
#include "process2d_raw.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include <cmath>
#include <vector>

#include "cuda_complex.h"
#include "cuda_fft.h"
#include "mask_weights.h"
#include "math_utils.h"
#include "math_utils_gpu.h"
#include "process2d_core.h"

namespace {

size_t pixels(unsigned nx, unsigned ny) { return (size_t)nx * ny; }

// Correlation of two device images consumed as scratch: centred in place,
// d = sum of products, then the sums of squares (which use the images up).
float consume_norm_ccc(float* a, float* b, unsigned nx, unsigned ny) {
    const size_t n = pixels(nx, ny);
    hcuda_2d_sub_inplace(a, nx, ny, hcuda_fast_mean(a, n));
    hcuda_2d_sub_inplace(b, nx, ny, hcuda_fast_mean(b, n));
    const float d = hcuda_x2d_ccc(a, b, nx, ny);
    const float saa = hcuda_fast_sumsqr_inplace(a, n), sbb = hcuda_fast_sumsqr_inplace(b, n);
    return d / sqrtf(saa * sbb);
}

// The result of f on device copies of two host images.
template <class F>
float on_device_copies(const float* a, const float* b, unsigned nx, unsigned ny, F f) {
    const size_t n = pixels(nx, ny);
    float* da = device_copy_of(GPU_SITE, a, n);
    float* db = device_copy_of(GPU_SITE, b, n);
    const float r = f(da, db);
    device_release(GPU_SITE, da);
    device_release(GPU_SITE, db);
    return r;
}

// Each image normalised under the mask to mean 0, deviation 1, then masked.
void normalise_under_mask(float* a2, float* b2, const float* a, const float* b, const float* mask, size_t n) {
    hm_normz_withmask_applymask(a2, a, mask, n, 1.0f, 0.0f);
    hm_normz_withmask_applymask(b2, b, mask, n, 1.0f, 0.0f);
}
// r(a', b') on normalised masked copies of a and b.
template <class R>
float on_masked_copies(const float* a, const float* b, const float* mask, size_t n, R r) {
    std::vector<float> a2(n), b2(n);
    normalise_under_mask(a2.data(), b2.data(), a, b, mask, n);
    return r(a2.data(), b2.data(), n);
}
float dot_as_float(const float* a, const float* b, unsigned long n) { return (float)hm_dot(a, b, n); }

}  // namespace

// ---- peaks ----

void cpu_2d_get_unique_peak(const float* image, unsigned nx, unsigned ny, int& x, int& y, float& value) {
    unsigned long i = 0;
    hm_max_value_and_index(image, pixels(nx, ny), value, i);
    x = nx ? (int)(i % nx) : 0;
    y = nx ? (int)(i / nx) : 0;
}

void cpu_2ds_get_unique_peak(const float* stack, unsigned nx, unsigned ny, Pixel* peaks, int nz) {
    for (int k = 0; k < nz; ++k) {
        int x, y;
        float v;
        cpu_2d_get_unique_peak(stack + (size_t)k * pixels(nx, ny), nx, ny, x, y, v);
        peaks[k] = Pixel{x, y, v};
    }
}

// The search starts from no candidate, so the answer is always one of the
// equal maxima, never a pixel that merely lies near their centroid.
void cpu_2d_get_middle_peak_from_equals(const float* image, unsigned nx, unsigned ny, int& x, int& y) {
    float m;
    cpu_2d_get_unique_peak(image, nx, ny, x, y, m);
    double count = 0, sx = 0, sy = 0;
    for (unsigned j = 0; j < ny; ++j)
        for (unsigned i = 0; i < nx; ++i)
            if (image[(size_t)j * nx + i] == m) count += 1, sx += (float)i, sy += (float)j;
    if (count == 0) return;  // a NaN maximum equals nothing: keep the unique peak
    const double cx = (float)(sx / count), cy = (float)(sy / count);
    double best = INFINITY;
    for (unsigned j = 0; j < ny; ++j)
        for (unsigned i = 0; i < nx; ++i) {
            if (image[(size_t)j * nx + i] != m) continue;
            const double d = (i - cx) * (i - cx) + (j - cy) * (j - cy);
            if (d < best) best = d, x = (int)i, y = (int)j;
        }
}

// ---- GPU dot products and correlation coefficients ----

__global__ void cuda_x2d_ccc_lineX(float* a, float* b, float* rows, unsigned nx, unsigned ny) {
    const size_t y = (size_t)blockIdx.x * blockDim.x + threadIdx.x;
    if (y >= ny) return;
    const float *ra = a + y * nx, *rb = b + y * nx;
    float s = 0.0f;
    for (unsigned x = 0; x < nx; ++x) s += ra[x] * rb[x];
    rows[y] = s;
}

void hcuda_x2d_ccc_lineX(float* a, float* b, float* rows, unsigned nx, unsigned ny) {
    gpu_launch_1d<cuda_x2d_ccc_lineX>(GPU_SITE, ny, a, b, rows, nx, ny);
}

float hcuda_x2d_ccc(float* a, float* b, unsigned nx, unsigned ny) {
    if (ny == 0) return 0.0f;
    float* rows = device_buffer<float>(GPU_SITE, ny);
    hcuda_x2d_ccc_lineX(a, b, rows, nx, ny);
    std::vector<float> host(ny);
    CUDA_CHECK(memcpy_D2H(host.data(), rows, ny * sizeof(float)));
    device_release(GPU_SITE, rows);
    return (float)hm_sum(host.data(), ny);
}

float hcuda_x2d_norm_ccc(const float* a, const float* b, unsigned nx, unsigned ny) {
    const size_t n = pixels(nx, ny);
    float* ca = device_buffer<float>(GPU_SITE, n);
    float* cb = device_buffer<float>(GPU_SITE, n);
    CUDA_CHECK(memcpy_D2D(ca, a, n * sizeof(float)));
    CUDA_CHECK(memcpy_D2D(cb, b, n * sizeof(float)));
    const float r = consume_norm_ccc(ca, cb, nx, ny);
    device_release(GPU_SITE, ca);
    device_release(GPU_SITE, cb);
    return r;
}

float hcuda_x2d_norm_ccc_inplace(float* a, float* b, unsigned nx, unsigned ny) { return consume_norm_ccc(a, b, nx, ny); }

float gpu_x2d_ccc(const float* a, const float* b, unsigned nx, unsigned ny) {
    return on_device_copies(a, b, nx, ny, [&](float* da, float* db) { return hcuda_x2d_ccc(da, db, nx, ny); });
}

float gpu_x2d_norm_ccc(const float* a, const float* b, unsigned nx, unsigned ny) {
    return on_device_copies(a, b, nx, ny, [&](float* da, float* db) { return consume_norm_ccc(da, db, nx, ny); });
}

// ---- cross-correlation map ----

int hcuda_x2d_ccf(float* a, float* b, float* map, unsigned nx, unsigned ny) {
    // The quadrant swap runs in place, which only pairs pixels up for even sizes.
    if (nx % 2 != 0 || ny % 2 != 0) VORN_FATAL("Image size must be even in both dimensions, not %u x %u", nx, ny);
    if (nx == 0 || ny == 0) return 0;
    const size_t n = pixels(nx, ny), nh = (size_t)(nx / 2 + 1) * ny;
    float2* A = device_buffer<float2>(GPU_SITE, nh);
    float2* B = device_buffer<float2>(GPU_SITE, nh);
    hcuda_2d_fft_r2c(a, A, nx, ny);
    hcuda_2d_fft_r2c(b, B, nx, ny);
    const float s = sqrtf(hcuda_fast_sumsqr(b, n) * hcuda_fast_sumsqr(a, n));
    hcuda_c2d_multconj_norm_inplace(A, B, nx / 2 + 1, ny, (float)n * s);
    hcuda_2d_fft_c2r(A, map, nx, ny);
    hcuda_2d_swap_ccf_inplace(map, nx, ny);
    device_release(GPU_SITE, A);
    device_release(GPU_SITE, B);
    return 0;
}

int gpu_x2d_ccf(const float* a, const float* b, float* map, unsigned nx, unsigned ny) {
    on_device_copies(a, b, nx, ny, [&](float* da, float* db) {
        const size_t n = pixels(nx, ny);
        float* dmap = device_buffer<float>(GPU_SITE, n);
        hcuda_2d_sub_inplace(da, nx, ny, hcuda_fast_mean(da, n));
        hcuda_2d_sub_inplace(db, nx, ny, hcuda_fast_mean(db, n));
        hcuda_x2d_ccf(da, db, dmap, nx, ny);
        CUDA_CHECK(memcpy_D2H(map, dmap, n * sizeof(float)));
        device_release(GPU_SITE, dmap);
        return 0.0f;
    });
    return 0;
}

// ---- host correlation within masks ----

float cpu_x2d_ccc_withmask(const float* a, const float* b, const float* mask, unsigned nx, unsigned ny) {
    return on_masked_copies(a, b, mask, pixels(nx, ny), hm_ccc_norm);
}

float cpu_x2d_ccc_withmask_inplace(float* a, float* b, const float* mask, unsigned nx, unsigned ny) {
    normalise_under_mask(a, b, a, b, mask, pixels(nx, ny));
    return hm_ccc_norm(a, b, pixels(nx, ny));
}

float cpu_x2d_dot_withmask(const float* a, const float* b, const float* mask, unsigned nx, unsigned ny) {
    return on_masked_copies(a, b, mask, pixels(nx, ny), dot_as_float);
}

float cpu_x2d_dot_withmask_inplace(float* a, float* b, const float* mask, unsigned nx, unsigned ny) {
    normalise_under_mask(a, b, a, b, mask, pixels(nx, ny));
    return dot_as_float(a, b, pixels(nx, ny));
}

float cpu_x2d_ccc_with2maskfs(const float* a, const float* b, const float* mask_a, const float* mask_b, unsigned nx,
                              unsigned ny) {
    std::vector<float> mask(pixels(nx, ny));
    cpu_1d_mask_A_and_B(mask.data(), mask_a, mask_b, mask.size());
    return cpu_x2d_ccc_withmask(a, b, mask.data(), nx, ny);
}

float cpu_x2d_ccc_with2maskfs2(const float* a, const float* b, const float* mask_a, const float* mask_b, unsigned nx,
                               unsigned ny) {
    std::vector<float> mask(pixels(nx, ny));
    cpu_1d_mask_A_and_B(mask.data(), mask_a, mask_b, mask.size());
    return on_masked_copies(a, b, mask.data(), mask.size(), hm_ccc_znorm_inplace);
}

// ---- linear normalisation ----

void cpu_x2d_get_linear_norm_factors(const float* a, const float* b, unsigned nx, unsigned ny, float& k, float& c) {
    const size_t n = pixels(nx, ny);
    const double kd = hm_stdv(a, n) / hm_stdv(b, n);
    k = (float)kd;
    c = (float)(hm_mean(a, n) - kd * hm_mean(b, n));
}

void cpu_2d_linear_norm_kb_inplace(float* image, unsigned nx, unsigned ny, float k, float c) {
    hm_linear_norm_kb_inplace(image, pixels(nx, ny), k, c);
}

void cpu_2d_norm_by_reference_inplace(float* image, const float* reference, unsigned nx, unsigned ny) {
    float k, c;
    cpu_x2d_get_linear_norm_factors(reference, image, nx, ny, k, c);
    cpu_2d_linear_norm_kb_inplace(image, nx, ny, k, c);
}
