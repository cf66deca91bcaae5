// The dose, drift and CTF weight model: weight generators, norm accumulation,
// weighted sums of frame spectra on the GPU and their CPU twin.
#define VORN_UNIT "src/pre_shiny6"
#include "pre_shiny6.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "process2d_core.h"

float eq_dose(float dose, float kV) {
    if (kV == 100.0f) return (float)(dose / 0.68);
    if (kV == 120.0f) return dose / 0.75f;
    if (kV == 300.0f) return (float)(dose / 1.22);
    if (kV == 400.0f) return (float)(dose / 1.33);
    return dose;
}

namespace {

// Where frame j's weight of element i is stored: frame after frame, in FFT row order...
struct PlainRows {
    size_t nh;
    unsigned nxh, ny;
    __host__ __device__ size_t operator()(unsigned j, size_t i) const { return j * nh + i; }
};
// ...or with the rows moved down by ny/2, so that zero frequency lies in the middle
// row. The shift is whole rows for odd ny too.
struct SwappedRows {
    size_t nh;
    unsigned nxh, ny;
    __host__ __device__ size_t operator()(unsigned j, size_t i) const {
        return j * nh + (i + (size_t)(ny / 2) * nxh) % nh;
    }
};

// The weights of n frames of one element; a scheme outside 0-3 writes nothing
// beyond zero frequency.
template <class Place>
__device__ void frame_weights(uint2 t, float* w, unsigned nxh, unsigned ny, int n, float pixel, const float* dose,
                              const float2* drift, const GPS_PARA& p) {
    size_t i;
    if (!pixel_inside(t, nxh, ny, i)) return;
    float s, theta;
    hd_gps_element(t.x, t.y, nxh, ny, pixel, s, theta);
    if (s != 0.0f && !gps_scheme_known(p)) return;
    const Place place{(size_t)nxh * ny, nxh, ny};
    for (int j = 0; j < n; ++j) w[place(j, i)] = hd_gps_frame_weight(s, theta, dose[j], drift[j], pixel, p, false);
}

}  // namespace

__global__ void cuda_2d_fft_dose_dft_wgen(float* w, int nxh, int ny, float D, float pixel, float2 drift, GPS_PARA p) {
    frame_weights<PlainRows>(IMAGE_THREAD_XY, w, nxh, ny, 1, pixel, &D, &drift, p);
}
__global__ void cuda_2ds_fft_dose_dft_wgen(float* w, int nxh, int ny, int n, float pixel, const float* dose,
                                           const float2* drift, GPS_PARA p) {
    frame_weights<PlainRows>(IMAGE_THREAD_XY, w, nxh, ny, n, pixel, dose, drift, p);
}
__global__ void cuda_2ds_fft_dose_dft_wgen_swap(float* w, int nxh, int ny, int n, float pixel, const float* dose,
                                                const float2* drift, GPS_PARA p) {
    frame_weights<SwappedRows>(IMAGE_THREAD_XY, w, nxh, ny, n, pixel, dose, drift, p);
}

__global__ void cuda_2d_fft_dose_dft_wadd(float* w, int nxh, int ny, float D, float pixel, float2 drift, GPS_PARA p) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (!pixel_inside(t, nxh, ny, i)) return;
    float s, theta;
    hd_gps_element(t.x, t.y, nxh, ny, pixel, s, theta);
    if (s == 0.0f) {
        w[i] = 1.0f;
        return;
    }
    add_norm_term(w[i], hd_gps_frame_weight(s, theta, D, drift, pixel, p, false), p.wnorm_type);
}

__global__ void cuda_2d_fft_dose_dft_wgen_wsum_one(const float2* in, float2* sum, float* norm, int nxh, int ny, float D,
                                                   float pixel, float2 drift, GPS_PARA p) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (!pixel_inside(t, nxh, ny, i)) return;
    float s, theta;
    hd_gps_element(t.x, t.y, nxh, ny, pixel, s, theta);
    const float w = hd_gps_frame_weight(s, theta, D, drift, pixel, p, false);
    sum[i].x += w * in[i].x;
    sum[i].y += w * in[i].y;
    add_norm_term(norm[i], w, p.wnorm_type);
}

__global__ void cuda_2ds_fft_dose_dft_ctf_wave(const float2* in, float2* out, int nxh, int ny, int n, float pixel,
                                               const float* dose, const float2* drift, const float* ctfw, GPS_PARA p) {
    const uint2 t = IMAGE_THREAD_XY;
    const size_t nh = (size_t)nxh * ny;
    float2 sum = make_float2(0.0f, 0.0f);
    wave_frame_weights(
        t, nxh, ny, n, pixel, dose, drift, p,
        [&](int j, float w, size_t i) {
            sum.x += w * in[j * nh + i].x;
            sum.y += w * in[j * nh + i].y;
        },
        [&](size_t i, float N) {
            const float2 v = wave_normalise(sum, N);
            const float c = ctf_radial_weight(ctfw, t.x, t.y, nxh, ny);
            out[i] = make_float2(v.x * c, v.y * c);
        });
}

__global__ void cuda_2ds_weighted_sum_abc(float* out, int nx, int ny, int n, float a, float b, float c, const float* P,
                                          const float* Q, const float* R) {
    size_t i;
    if (!pixel_inside(IMAGE_THREAD_XY, nx, ny, i)) return;
    const size_t npix = image_pixels(nx, ny);
    for (int j = 0; j < n; ++j) out[j * npix + i] += a * P[j] + b * Q[j] + c * R[j];
}

// ---- device arrays ----

namespace {
bool empty_image(int nx, int ny) { return nx <= 0 || ny <= 0; }
}  // namespace

void hcuda_2d_fft_dose_dft_wgen(float* w, int nxh, int ny, float D, float pixel, float2 drift, GPS_PARA p) {
    if (!empty_image(nxh, ny)) gpu_launch_2d<cuda_2d_fft_dose_dft_wgen>(GPU_SITE, nxh, ny, w, nxh, ny, D, pixel, drift, p);
}
void hcuda_2d_fft_dose_dft_wadd(float* w, int nxh, int ny, float D, float pixel, float2 drift, GPS_PARA p) {
    if (!empty_image(nxh, ny)) gpu_launch_2d<cuda_2d_fft_dose_dft_wadd>(GPU_SITE, nxh, ny, w, nxh, ny, D, pixel, drift, p);
}
void hcuda_2ds_fft_dose_dft_wgen(float* w, int nxh, int ny, int n, float pixel, const float* dose, const float2* drift,
                                 GPS_PARA p) {
    if (!empty_image(nxh, ny))
        gpu_launch_2d<cuda_2ds_fft_dose_dft_wgen>(GPU_SITE, nxh, ny, w, nxh, ny, n, pixel, dose, drift, p);
}
void hcuda_2ds_fft_dose_dft_wgen_swap(float* w, int nxh, int ny, int n, float pixel, const float* dose,
                                      const float2* drift, GPS_PARA p) {
    if (!empty_image(nxh, ny))
        gpu_launch_2d<cuda_2ds_fft_dose_dft_wgen_swap>(GPU_SITE, nxh, ny, w, nxh, ny, n, pixel, dose, drift, p);
}
void hcuda_2d_fft_dose_dft_wgen_wsum_one(const float2* in, float2* sum, float* norm, int nxh, int ny, float D,
                                         float pixel, float2 drift, GPS_PARA p) {
    if (!empty_image(nxh, ny))
        gpu_launch_2d<cuda_2d_fft_dose_dft_wgen_wsum_one>(GPU_SITE, nxh, ny, in, sum, norm, nxh, ny, D, pixel, drift, p);
}
void hcuda_2ds_fft_dose_dft_ctf_wave(const float2* in, float2* out, int nxh, int ny, int n, float pixel,
                                     const float* dose, const float2* drift, const float* ctfw, GPS_PARA p) {
    if (!empty_image(nxh, ny))
        gpu_launch_2d<cuda_2ds_fft_dose_dft_ctf_wave>(GPU_SITE, nxh, ny, in, out, nxh, ny, n, pixel, dose, drift, ctfw,
                                                      p);
}
void hcuda_2ds_weighted_sum_abc(float* out, int nx, int ny, int n, float a, float b, float c, const float* P,
                                const float* Q, const float* R) {
    if (!empty_image(nx, ny))
        gpu_launch_2d<cuda_2ds_weighted_sum_abc>(GPU_SITE, nx, ny, out, nx, ny, n, a, b, c, P, Q, R);
}

// ---- host arrays ----

namespace {

using StackWeights = void (*)(float*, int, int, int, float, const float*, const float2*, GPS_PARA);

// The weight stack goes in as well as out: what the kernel leaves is kept.
void host_weight_stack(StackWeights run, float* w, int nxh, int ny, int n, float pixel, const float* dose,
                       const float2* drift, GPS_PARA p) {
    if (empty_image(nxh, ny) || n <= 0) return;
    const size_t nw = (size_t)n * nxh * ny;
    float* d_w = device_copy_of(GPU_SITE, w, nw);
    float* d_dose = device_copy_of(GPU_SITE, dose, n);
    float2* d_drift = device_copy_of(GPU_SITE, drift, n);
    run(d_w, nxh, ny, n, pixel, d_dose, d_drift, p);
    copy_to_host(GPU_SITE, w, d_w, nw);
    cudaFree_many_pointers(d_w, d_dose, d_drift, nullptr);
}

}  // namespace

void gpu_2ds_fft_dose_dft_wgen(float* w, int nxh, int ny, int n, float pixel, const float* dose, const float2* drift,
                               GPS_PARA p, int) {
    host_weight_stack(hcuda_2ds_fft_dose_dft_wgen, w, nxh, ny, n, pixel, dose, drift, p);
}
void gpu_2ds_fft_dose_dft_wgen_swap(float* w, int nxh, int ny, int n, float pixel, const float* dose,
                                    const float2* drift, GPS_PARA p, int) {
    host_weight_stack(hcuda_2ds_fft_dose_dft_wgen_swap, w, nxh, ny, n, pixel, dose, drift, p);
}

void print_wave_inputs(const float* dose, const float2* drift, int n, const float* ctfw, int nxh, int ny, float pixel,
                       GPS_PARA p) {
    print_dose_drif_ctfw(dose, drift, n, ctfw, nxh);
    std::printf("apix=%f  Nx_half=%d  Ny=%d Nz=%d \n", pixel, nxh, ny, n);
    printf_psp(p);
}

void gpu_2ds_fft_dose_dft_ctf_wave(const float2* in, float2* out, int nxh, int ny, int n, float pixel,
                                   const float* dose, const float2* drift, const float* ctfw, GPS_PARA p) {
    if (empty_image(nxh, ny)) return;
    const int frames = n > 0 ? n : 0;
    const size_t nh = (size_t)nxh * ny;
    float2* d_in = device_copy_of(GPU_SITE, in, frames * nh);
    float2* d_out = device_buffer<float2>(GPU_SITE, nh);
    float* d_dose = device_copy_of(GPU_SITE, dose, frames);
    float2* d_drift = device_copy_of(GPU_SITE, drift, frames);
    float* d_ctfw = device_copy_of(GPU_SITE, ctfw, nxh);
    print_wave_inputs(dose, drift, frames, ctfw, nxh, ny, pixel, p);
    hcuda_2ds_fft_dose_dft_ctf_wave(d_in, d_out, nxh, ny, frames, pixel, d_dose, d_drift, d_ctfw, p);
    copy_to_host(GPU_SITE, out, d_out, nh);
    // With no frame some buffers are null, which would end a null-terminated list early.
    for (void* d : {(void*)d_in, (void*)d_out, (void*)d_dose, (void*)d_drift, (void*)d_ctfw}) device_release(GPU_SITE, d);
}

// ---- CPU twin ----

namespace {

// Elements on rows that are multiples of 500 and columns that are multiples of
// 200 print each frame's terms and their result.
bool is_echo_element(int x, int y) { return y % 500 == 0 && x % 200 == 0; }

void echo_frame(int x, int y, size_t e, float s, float theta, float w, float2 v, float sum_re, float D, float2 drift,
                float pixel, const GPS_PARA& p) {
    const float E = hd_dose_weight(s, p.Ne_a, D, p.Ne_b);
    const float X = s > 0.0f ? hd_drift_argument(s, theta, pixel, drift.x, drift.y, p.Da, p.Db) : 0.0f;
    const float S = hd_drift_weight(s, theta, pixel, drift.x, drift.y, p.Da, p.Db);
    std::printf("i%d, j%d %ld s %f theta %f wm %f fftin %f fft_ave[n].x %f W[k] %f, dose %f dosew %f dftD %f dftY %f "
                "dftw %f sinf(dfK)/dfK %f  expf %f\n",
                x, y, (long)e, s, theta, w, v.x, sum_re, w, D, E, drift.x, drift.y, X, S, E);
}

}  // namespace

void cpu_2ds_fft_dose_dft_ctf_wave(const float2* in, float2* out, int nxh, int ny, int n, float pixel,
                                   const float* dose, const float2* drift, const float*, GPS_PARA p) {
    if (empty_image(nxh, ny)) return;
    const size_t nh = (size_t)nxh * ny;
    std::vector<float> wm(n > 0 ? n : 0);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nxh; ++x) {
            const size_t e = pixel_element(x, y, nxh);
            float s, theta;
            hd_gps_element(x, y, nxh, ny, pixel, s, theta);
            const bool echo = is_echo_element(x, y);
            float N = 0.0f;
            float2 sum = make_float2(0.0f, 0.0f);
            for (int j = 0; j < n; ++j) {
                wm[j] = hd_gps_frame_weight(s, theta, dose[j], drift[j], pixel, p, true);
                add_norm_term(N, wm[j], 1);
                const float2 v = in[j * nh + e];
                sum.x += wm[j] * v.x;
                sum.y += wm[j] * v.y;
                if (echo) echo_frame(x, y, e, s, theta, wm[j], v, sum.x, dose[j], drift[j], pixel, p);
            }
            N = wave_norm_finish(N, 1, p.k);
            out[e] = wave_normalise(sum, N);
            if (echo) {
                std::printf("................................\n");
                std::printf("n %ld s %f wsum %f fft_ave_out[n].x %f\n", (long)e, s, N, out[e].x);
            }
        }
}
