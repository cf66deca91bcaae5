// Corrections of a Fourier transform by a known CTF: phase flip, CTF application
// and Wiener filters. Each multiplies every complex element by a real factor of
// the CTF at that element's frequency; the factors are small functors on one
// element frame, and the real-image forms run them between a forward and an
// inverse transform.
#define VORN_UNIT "src/ctf_core"
#include "ctf_core.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include "cuda_fft.h"

namespace {

// Element (x, y) of a half spectrum in FFT row order of an N x ny image: column x
// holds x/N, row y holds y, or y - ny from (ny + 1)/2 on (cycles per pixel).
struct FftOrderLayout {
    unsigned N, ny;
    float apix;
    __host__ __device__ CtfPolar operator()(unsigned x, unsigned y) const {
        const double ky = y < (ny + 1) / 2 ? (double)y : (double)y - (double)ny;
        return ctf_plane_polar((double)x / N, ky / ny, apix);
    }
};
// The full width of a half spectrum whose width is all that is known.
__host__ __device__ __forceinline__ unsigned even_width(unsigned nxh) { return 2 * (nxh - 1); }

// ---- factors: the real multiplier of an element from its frequency ----

// +1 where K >= 0, -1 where K < 0 or is not a number.
struct FlipFactor {
    CTF_INFO c;
    __host__ __device__ float operator()(CtfPolar f, size_t) const { return hd_ctfinfo_s(f.s, f.theta, c, 'S'); }
};
struct ModeFactor {
    CTF_INFO c;
    char mode;
    __host__ __device__ float operator()(CtfPolar f, size_t) const { return hd_ctfinfo_s(f.s, f.theta, c, mode); }
};
// w K' / (1 + w K^2) with K' = K pushed away from zero by e (e = 0: K itself); no envelope.
struct WienerFactor {
    CTF_INFO c;
    const float* W;
    float e;
    __host__ __device__ float operator()(CtfPolar f, size_t i) const {
        const float K = hd_ctfinfo_s(f.s, f.theta, c, 'F');
        const float w = W[i];
        const float pushed = K >= 0.0f ? K + e : K - e;
        return w * pushed / (1.0f + w * K * K);
    }
};
__host__ __device__ __forceinline__ CTF_INFO no_envelope(float kV, float Cs, float AC, float P, float U, float V,
                                                         float A) {
    return CTF_INFO{kV, Cs, AC, P, U, V, A, 0.0f};
}

// ---- the element frame ----

template <class Layout, class Factor>
__device__ __forceinline__ void scale_element(uint2 t, float2* out, const float2* in, unsigned w, unsigned h, Layout at,
                                              Factor factor) {
    size_t e;
    if (!pixel_inside(t, w, h, e)) return;
    const float m = factor(at(t.x, t.y), e);
    const float2 v = in[e];
    out[e] = make_float2(v.x * m, v.y * m);
}
// The FFT-order operation for a known full width N, as the real-image forms need.
template <class Factor>
__global__ void cuda_scale_c2dh_fft_order(float2* out, const float2* in, unsigned N, unsigned ny, float apix,
                                          Factor factor) {
    scale_element(IMAGE_THREAD_XY, out, in, N / 2 + 1, ny, FftOrderLayout{N, ny, apix}, factor);
}

// Forward transform, the factor on every element (in place: each element is
// read and written by its own thread), inverse transform.
template <class Factor> void filter_image(float* in, float* out, unsigned nx, unsigned ny, float apix, Factor factor) {
    if (nx == 0 || ny == 0) return;
    const unsigned nxh = nx / 2 + 1;
    float2* spectrum = device_buffer<float2>(GPU_SITE, image_pixels(nxh, ny));
    hcuda_2d_fft_r2c_norm(in, spectrum, nx, ny);
    gpu_launch_2d<cuda_scale_c2dh_fft_order<Factor>>(GPU_SITE, nxh, ny, spectrum, spectrum, nx, ny, apix, factor);
    hcuda_2d_fft_c2r_norm(spectrum, out, nx, ny);
    device_release(GPU_SITE, spectrum);
}

// The host-array form of a real-image operation: images (and weights) to the
// device, run(device in, device out, device weights or null), the result back.
template <class Run>
void filter_host_image(const float* in, float* out, const float* W, unsigned nx, unsigned ny, Run run) {
    const size_t npix = image_pixels(nx, ny);
    if (npix == 0) return;
    float* d_w = W ? device_copy_of(GPU_SITE, W, image_pixels(nx / 2 + 1, ny)) : nullptr;
    gpu_run_on_device(GPU_SITE, out, npix, in, npix, [&](float* d_in, float* d_out) { run(d_in, d_out, d_w); });
    if (d_w) device_release(GPU_SITE, d_w);
}

}  // namespace

// ---- phase flip ----

__global__ void cuda_2dh_phase_flip(const float2* in, float2* out, float apix, int nx, int ny, float kV, float Cs,
                                    float AC, float P, float U, float V, float A) {
    scale_element(IMAGE_THREAD_XY, out, in, nx, ny, CtfHalfLayout{(unsigned)nx, (unsigned)ny, apix},
                  FlipFactor{no_envelope(kV, Cs, AC, P, U, V, A)});
}
void hcuda_2dh_phase_flip(const float2* in, float2* out, float apix, int nx, int ny, float kV, float Cs, float AC,
                          float P, float U, float V, float A) {
    gpu_launch_2d<cuda_2dh_phase_flip>(GPU_SITE, nx, ny, in, out, apix, nx, ny, kV, Cs, AC, P, U, V, A);
}
__global__ void cuda_phase_flip_c2dh_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix, float kV,
                                       float Cs, float AC, float P, float U, float V, float A) {
    scale_element(IMAGE_THREAD_XY, out, in, nx, ny, CtfHalfLayout{nx, ny, apix},
                  FlipFactor{no_envelope(kV, Cs, AC, P, U, V, A)});
}
void hcuda_phase_flip_c2dh_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix, float kV, float Cs,
                             float AC, float P, float U, float V, float A) {
    gpu_launch_2d<cuda_phase_flip_c2dh_c>(GPU_SITE, nx, ny, in, out, nx, ny, apix, kV, Cs, AC, P, U, V, A);
}
__global__ void cuda_phase_flip_c2dh_usw_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix,
                                           float kV, float Cs, float AC, float P, float U, float V, float A) {
    scale_element(IMAGE_THREAD_XY, out, in, nx, ny, FftOrderLayout{even_width(nx), ny, apix},
                  FlipFactor{no_envelope(kV, Cs, AC, P, U, V, A)});
}
void hcuda_phase_flip_c2dh_usw_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix, float kV,
                                 float Cs, float AC, float P, float U, float V, float A) {
    gpu_launch_2d<cuda_phase_flip_c2dh_usw_c>(GPU_SITE, nx, ny, in, out, nx, ny, apix, kV, Cs, AC, P, U, V, A);
}
void hcuda_phase_flip_r2d_c(float* in, float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs, float AC,
                            float P, float U, float V, float A) {
    filter_image(in, out, nx, ny, apix, FlipFactor{no_envelope(kV, Cs, AC, P, U, V, A)});
}
void gpu_phase_flip_r2d_c(const float* in, float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs,
                          float AC, float P, float U, float V, float A) {
    filter_host_image(in, out, nullptr, nx, ny, [&](float* d_in, float* d_out, float*) {
        hcuda_phase_flip_r2d_c(d_in, d_out, nx, ny, apix, kV, Cs, AC, P, U, V, A);
    });
}

// ---- CTF application ----

__global__ void cuda_apply_ctf_c2dh_usw_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix, float kV,
                                          float Cs, float AC, float P, float U, float V, float A, float B, char mode) {
    scale_element(IMAGE_THREAD_XY, out, in, nx, ny, FftOrderLayout{even_width(nx), ny, apix},
                  ModeFactor{CTF_INFO{kV, Cs, AC, P, U, V, A, B}, mode});
}
void hcuda_apply_ctf_c2dh_usw_c(const float2* in, float2* out, unsigned nx, unsigned ny, float apix, float kV, float Cs,
                                float AC, float P, float U, float V, float A, float B, char mode) {
    gpu_launch_2d<cuda_apply_ctf_c2dh_usw_c>(GPU_SITE, nx, ny, in, out, nx, ny, apix, kV, Cs, AC, P, U, V, A, B, mode);
}
void hcuda_apply_ctf_r2d_c(float* in, float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs, float AC,
                           float P, float U, float V, float A, float B, char mode) {
    filter_image(in, out, nx, ny, apix, ModeFactor{CTF_INFO{kV, Cs, AC, P, U, V, A, B}, mode});
}
void gpu_apply_ctf_r2d_c(const float* in, float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs,
                         float AC, float P, float U, float V, float A, float B, char mode) {
    filter_host_image(in, out, nullptr, nx, ny, [&](float* d_in, float* d_out, float*) {
        hcuda_apply_ctf_r2d_c(d_in, d_out, nx, ny, apix, kV, Cs, AC, P, U, V, A, B, mode);
    });
}

// ---- Wiener filters ----

__global__ void cuda_wd_ctf_c2dh_usw_c(float2* out, const float2* in, const float* W, unsigned nx, unsigned ny,
                                       float apix, float kV, float Cs, float AC, float P, float U, float V, float A) {
    scale_element(IMAGE_THREAD_XY, out, in, nx, ny, FftOrderLayout{even_width(nx), ny, apix},
                  WienerFactor{no_envelope(kV, Cs, AC, P, U, V, A), W, 0.0f});
}
void hcuda_wd_ctf_c2dh_usw_c(float2* out, const float2* in, const float* W, unsigned nx, unsigned ny, float apix,
                             float kV, float Cs, float AC, float P, float U, float V, float A) {
    gpu_launch_2d<cuda_wd_ctf_c2dh_usw_c>(GPU_SITE, nx, ny, out, in, W, nx, ny, apix, kV, Cs, AC, P, U, V, A);
}
void hcuda_wd_ctf_r2d_c(float* out, float* in, const float* W, unsigned nx, unsigned ny, float apix, float kV, float Cs,
                        float AC, float P, float U, float V, float A) {
    hcuda_wd_ctf_r2d_c_v2(out, in, W, nx, ny, apix, kV, Cs, AC, P, U, V, A, 0.0f);
}
void gpu_wd_ctf_r2d_c(float* out, const float* in, const float* W, unsigned nx, unsigned ny, float apix, float kV,
                      float Cs, float AC, float P, float U, float V, float A) {
    gpu_wd_ctf_r2d_c_v2(out, in, W, nx, ny, apix, kV, Cs, AC, P, U, V, A, 0.0f);
}

__global__ void cuda_wd_ctf_c2dh_usw_c_v2(float2* out, const float2* in, const float* W, unsigned nx, unsigned ny,
                                          float apix, float kV, float Cs, float AC, float P, float U, float V, float A,
                                          float e) {
    scale_element(IMAGE_THREAD_XY, out, in, nx, ny, FftOrderLayout{even_width(nx), ny, apix},
                  WienerFactor{no_envelope(kV, Cs, AC, P, U, V, A), W, e});
}
void hcuda_wd_ctf_c2dh_usw_c_v2(float2* out, const float2* in, const float* W, unsigned nx, unsigned ny, float apix,
                                float kV, float Cs, float AC, float P, float U, float V, float A, float e) {
    gpu_launch_2d<cuda_wd_ctf_c2dh_usw_c_v2>(GPU_SITE, nx, ny, out, in, W, nx, ny, apix, kV, Cs, AC, P, U, V, A, e);
}
void hcuda_wd_ctf_r2d_c_v2(float* out, float* in, const float* W, unsigned nx, unsigned ny, float apix, float kV,
                           float Cs, float AC, float P, float U, float V, float A, float e) {
    filter_image(in, out, nx, ny, apix, WienerFactor{no_envelope(kV, Cs, AC, P, U, V, A), W, e});
}
void gpu_wd_ctf_r2d_c_v2(float* out, const float* in, const float* W, unsigned nx, unsigned ny, float apix, float kV,
                         float Cs, float AC, float P, float U, float V, float A, float e) {
    filter_host_image(in, out, W, nx, ny, [&](float* d_in, float* d_out, float* d_w) {
        hcuda_wd_ctf_r2d_c_v2(d_out, d_in, d_w, nx, ny, apix, kV, Cs, AC, P, U, V, A, e);
    });
}
