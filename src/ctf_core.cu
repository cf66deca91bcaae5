// CTF simulation: every routine fills its output with the model of the header
// at the frequency and azimuth of each element. The routines differ only in
// how they pass the parameters and in the frequency convention of their
// layout, so each kernel is one line on a shared element frame with a small
// layout functor, and each host twin loops over the same functor.
#define VORN_UNIT "src/ctf_core"
#include "ctf_core.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include "cuda_fast_sum.h"

namespace {

// ---- the P-first members' own frequency conventions ----

// Azimuth of the integer offset (dx, dy) of a pixel from the origin.
__host__ __device__ __forceinline__ float offset_azimuth(int dx, int dy) { return atan2f((float)dy, (float)dx); }

// Half spectrum, the frequency of the layout with the azimuth of the integer offsets (i, j - ny/2).
struct HalfPixelAzimuth {
    CtfHalfLayout layout;
    __host__ __device__ CtfPolar operator()(unsigned i, unsigned j) const {
        return {layout(i, j).s, offset_azimuth((int)i, (int)j - (int)(layout.ny / 2))};
    }
};
// Half spectrum measured in pixels of the full width 2(nxh-1) on both axes.
struct HalfPixels {
    unsigned nxh, ny;
    float apix;
    __host__ __device__ CtfPolar operator()(unsigned i, unsigned j) const {
        const int dy = (int)j - (int)(ny / 2);
        const float fx = (float)i, fy = (float)dy;
        return {sqrtf(fx * fx + fy * fy) / ((float)(2 * ((int)nxh - 1)) * apix), offset_azimuth((int)i, dy)};
    }
};
// Full image measured in pixels of the width about the integer centre; the
// centre column points along +y (-y above the centre).
struct ImagePixels {
    unsigned nx, ny;
    float apix;
    __host__ __device__ CtfPolar operator()(unsigned i, unsigned j) const {
        const int dx = (int)i - (int)(nx / 2), dy = (int)j - (int)(ny / 2);
        const float fx = (float)dx, fy = (float)dy;
        const float half_pi = (float)(CTF_PI / 2.0);
        const float theta = dx != 0 ? offset_azimuth(dx, dy) : (dy < 0 ? -half_pi : half_pi);
        return {sqrtf(fx * fx + fy * fy) / ((float)nx * apix), theta};
    }
};

// A P-first size: a negative count has no elements.
__host__ __device__ __forceinline__ unsigned count_of(int n) { return n > 0 ? (unsigned)n : 0u; }

// Host-array forms: fill(device buffer of n floats), copy it into the host output, free it.
float* checked_device_floats(size_t n) { return device_buffer<float>(GPU_SITE, n); }
float* safe_device_floats(size_t n) {
    float* d = nullptr;
    safe_cudaMalloc((void**)&d, n * sizeof(float));
    return d;
}
template <class Fill>
void simulate_to_host(float* out, size_t n, Fill fill, float* (*allocate)(size_t) = checked_device_floats) {
    if (n == 0) return;
    float* d = allocate(n);
    fill(d);
    copy_to_host(GPU_SITE, out, d, n);
    device_release(GPU_SITE, d);
}

// Slice k of a stack, k = 0 .. nz-1 in order, made by one(slice k, k).
template <class One> void each_slice(float* out, size_t slice, unsigned nz, One one) {
    for (unsigned k = 0; k < nz; ++k) one(out + k * slice, k);
}

}  // namespace

// ---- P-first family ----

__global__ void cuda_ctf_mod_simulate_1d(float* out, float apix, int n, float P, float kV, float Cs, float AC,
                                         float defocus, float B, float limit1, float limit2) {
    ctf_simulate_element(IMAGE_THREAD_XY, out, count_of(n), 1, CtfProfileLayout{n, apix},
                         ctf_one_defocus(kV, Cs, AC, P, defocus, B), ctf_sorted_band(limit1, limit2), 'A');
}
void hcuda_ctf_mod_simulate_1d(float* out, float apix, int n, float P, float kV, float Cs, float AC, float defocus,
                               float B, float limit1, float limit2) {
    gpu_launch_1d<cuda_ctf_mod_simulate_1d>(GPU_SITE, count_of(n), out, apix, n, P, kV, Cs, AC, defocus, B, limit1,
                                            limit2);
}

__global__ void cuda_ctf_phase_simulate_1d(float* out, float apix, int n, float P, float kV, float Cs, float AC,
                                           float defocus, float, float limit1, float limit2) {
    ctf_simulate_element(IMAGE_THREAD_XY, out, count_of(n), 1, CtfProfileLayout{n, apix},
                         ctf_one_defocus(kV, Cs, AC, P, defocus, 0.0f), ctf_sorted_band(limit1, limit2), 'P');
}
void hcuda_ctf_phase_simulate_1d(float* out, float apix, int n, float P, float kV, float Cs, float AC, float defocus,
                                 float B, float limit1, float limit2) {
    gpu_launch_1d<cuda_ctf_phase_simulate_1d>(GPU_SITE, count_of(n), out, apix, n, P, kV, Cs, AC, defocus, B, limit1,
                                              limit2);
}

__global__ void cuda_ctf_mod_simulate_1ds_multi_defocus(float* out, float apix, int n, float P, float kV, float Cs,
                                                        float AC, const float* defocus, int ndef, float B, float resL,
                                                        float resH) {
    const uint2 t = IMAGE_THREAD_XY;
    size_t e;
    if (!pixel_inside(t, count_of(n), count_of(ndef), e)) return;
    out[e] = ctf_band_sample(CtfProfileLayout{n, apix}(t.x, 0), ctf_one_defocus(kV, Cs, AC, P, defocus[t.y], B),
                             RESO{resL, resH}, 'A');
}
void hcuda_ctf_mod_simulate_1ds_multi_defocus(float* out, float apix, int n, float P, float kV, float Cs, float AC,
                                              const float* defocus, int ndef, float B, float resL, float resH) {
    gpu_launch_2d<cuda_ctf_mod_simulate_1ds_multi_defocus>(GPU_SITE, count_of(n), count_of(ndef), out, apix, n, P, kV,
                                                           Cs, AC, defocus, ndef, B, resL, resH);
}

__global__ void cuda_ctf_mod_simulate_2d(float* out, float apix, int nx, int ny, float P, float kV, float Cs, float AC,
                                         float U, float V, float A, float B, float resL, float resH) {
    ctf_simulate_element(IMAGE_THREAD_XY, out, count_of(nx), count_of(ny),
                         ImagePixels{count_of(nx), count_of(ny), apix}, CTF_INFO{kV, Cs, AC, P, U, V, A, B},
                         RESO{resL, resH}, 'A');
}

void cpu_ctf_mod_sim_2d(float* out, float apix, int nx, int ny, float kV, float Cs, float AC, float P, float U, float V,
                        float A, float B, float resL, float resH) {
    const unsigned w = count_of(nx), h = count_of(ny);
    const CTF_INFO c{kV, Cs, AC, P, U, V, A, B};
    const RESO band{resL, resH};
    for (unsigned j = 0; j < h; ++j)
        for (unsigned i = 0; i < w; ++i) {
            const float s = CtfImageLayout{w, h, apix}(i, j).s;
            const float theta = offset_azimuth((int)i - (int)(w / 2), (int)j - (int)(h / 2));
            out[pixel_element(i, j, w)] =
                ctf_in_band(s, band) ? (float)ctf_model_value<double>(s, theta, c, 'A') : 0.0f;
        }
}

__global__ void cuda_ctf_mod_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs,
                                          float AC, float U, float V, float A, float B, float resL, float resH) {
    const CtfHalfLayout layout{count_of(nxh), count_of(ny), apix};
    ctf_simulate_element(IMAGE_THREAD_XY, out, layout.nxh, layout.ny, HalfPixelAzimuth{layout},
                         CTF_INFO{kV, Cs, AC, P, U, V, A, B}, RESO{resL, resH}, 'A');
}
void hcuda_ctf_mod_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs, float AC, float U,
                                float V, float A, float B, float resL, float resH) {
    gpu_launch_2d<cuda_ctf_mod_simulate_2dh>(GPU_SITE, count_of(nxh), count_of(ny), out, apix, nxh, ny, P, kV, Cs, AC,
                                             U, V, A, B, resL, resH);
}

__global__ void cuda_ctf_pow_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs,
                                          float AC, float U, float V, float A, float B, float resL, float resH) {
    ctf_simulate_element(IMAGE_THREAD_XY, out, count_of(nxh), count_of(ny),
                         HalfPixels{count_of(nxh), count_of(ny), apix}, CTF_INFO{kV, Cs, AC, P, U, V, A, B},
                         RESO{resL, resH}, 'W');
}
void hcuda_ctf_pow_simulate_2dh(float* out, float apix, int nxh, int ny, float P, float kV, float Cs, float AC, float U,
                                float V, float A, float B, float resL, float resH) {
    gpu_launch_2d<cuda_ctf_pow_simulate_2dh>(GPU_SITE, count_of(nxh), count_of(ny), out, apix, nxh, ny, P, kV, Cs, AC,
                                             U, V, A, B, resL, resH);
}

// ---- kV-first family with a mode character ----

__global__ void cuda_ctf_sim_1dh_c(float* out, unsigned n, float apix, float kV, float Cs, float AC, float P,
                                   float defocus, float B, float resL, float resH, char mode) {
    ctf_simulate_element(IMAGE_THREAD_XY, out, n, 1, CtfProfileLayout{(int)n, apix},
                         ctf_one_defocus(kV, Cs, AC, P, defocus, B), RESO{resL, resH}, mode);
}
void hcuda_ctf_sim_1dh_c(float* out, unsigned n, float apix, float kV, float Cs, float AC, float P, float defocus,
                         float B, float resL, float resH, char mode) {
    gpu_launch_1d<cuda_ctf_sim_1dh_c>(GPU_SITE, n, out, n, apix, kV, Cs, AC, P, defocus, B, resL, resH, mode);
}
void gpu_ctf_sim_1dh_c(float* out, unsigned n, float apix, float kV, float Cs, float AC, float P, float defocus,
                       float B, float resL, float resH, char mode) {
    simulate_to_host(out, n,
                     [&](float* d) { hcuda_ctf_sim_1dh_c(d, n, apix, kV, Cs, AC, P, defocus, B, resL, resH, mode); });
}
void cpu_ctf_sim_1dh_c(float* out, unsigned n, float apix, float kV, float Cs, float AC, float P, float defocus,
                       float B, float resL, float resH, char mode) {
    ctf_cpu_simulate(out, n, 1, CtfProfileLayout{(int)n, apix}, ctf_one_defocus(kV, Cs, AC, P, defocus, B),
                     RESO{resL, resH}, mode);
}

void hcuda_ctf_sim_1dhs_c(float* out, unsigned n, float apix, unsigned ndef, float kV, float Cs, float AC, float P,
                          const float* defocus, float B, float resL, float resH, char mode) {
    each_slice(out, n, ndef, [&](float* o, unsigned k) {
        hcuda_ctf_sim_1dh_c(o, n, apix, kV, Cs, AC, P, defocus[k], B, resL, resH, mode);
    });
}
void gpu_ctf_sim_1dhs_c(float* out, unsigned n, float apix, unsigned ndef, float kV, float Cs, float AC, float P,
                        const float* defocus, float B, float resL, float resH, char mode) {
    simulate_to_host(out, (size_t)n * ndef, [&](float* d) {
        hcuda_ctf_sim_1dhs_c(d, n, apix, ndef, kV, Cs, AC, P, defocus, B, resL, resH, mode);
    });
}
void cpu_ctf_sim_1dhs_c(float* out, unsigned n, float apix, unsigned ndef, float kV, float Cs, float AC, float P,
                        const float* defocus, float B, float resL, float resH, char mode) {
    each_slice(out, n, ndef, [&](float* o, unsigned k) {
        cpu_ctf_sim_1dh_c(o, n, apix, kV, Cs, AC, P, defocus[k], B, resL, resH, mode);
    });
}

__global__ void cuda_ctf_sim_2dh_c(float* out, unsigned nxh, unsigned ny, float apix, float kV, float Cs, float AC,
                                   float P, float U, float V, float A, float B, float resL, float resH, char mode) {
    ctf_simulate_element(IMAGE_THREAD_XY, out, nxh, ny, CtfHalfLayout{nxh, ny, apix},
                         CTF_INFO{kV, Cs, AC, P, U, V, A, B}, RESO{resL, resH}, mode);
}
void hcuda_ctf_sim_2dh_c(float* out, unsigned nxh, unsigned ny, float apix, float kV, float Cs, float AC, float P,
                         float U, float V, float A, float B, float resL, float resH, char mode) {
    gpu_launch_2d<cuda_ctf_sim_2dh_c>(GPU_SITE, nxh, ny, out, nxh, ny, apix, kV, Cs, AC, P, U, V, A, B, resL, resH,
                                      mode);
}
void gpu_ctf_sim_2dh_c(float* out, unsigned nxh, unsigned ny, float apix, float kV, float Cs, float AC, float P,
                       float U, float V, float A, float B, float resL, float resH, char mode) {
    simulate_to_host(out, image_pixels(nxh, ny), [&](float* d) {
        hcuda_ctf_sim_2dh_c(d, nxh, ny, apix, kV, Cs, AC, P, U, V, A, B, resL, resH, mode);
    });
}

__global__ void cuda_ctf_sim_2d_c(float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs, float AC,
                                  float P, float U, float V, float A, float B, float resL, float resH, char mode) {
    ctf_simulate_element(IMAGE_THREAD_XY, out, nx, ny, CtfImageLayout{nx, ny, apix},
                         CTF_INFO{kV, Cs, AC, P, U, V, A, B}, RESO{resL, resH}, mode);
}
void hcuda_ctf_sim_2d_c(float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs, float AC, float P,
                        float U, float V, float A, float B, float resL, float resH, char mode) {
    gpu_launch_2d<cuda_ctf_sim_2d_c>(GPU_SITE, nx, ny, out, nx, ny, apix, kV, Cs, AC, P, U, V, A, B, resL, resH, mode);
}
void gpu_ctf_sim_2d_c(float* out, unsigned nx, unsigned ny, float apix, float kV, float Cs, float AC, float P, float U,
                      float V, float A, float B, float resL, float resH, char mode) {
    simulate_to_host(
        out, image_pixels(nx, ny),
        [&](float* d) { hcuda_ctf_sim_2d_c(d, nx, ny, apix, kV, Cs, AC, P, U, V, A, B, resL, resH, mode); },
        safe_device_floats);
}

// ---- CTF_INFO family ----

__global__ void cuda_ctf_sim_1dh(float* out, int n, float apix, CTF_INFO c, RESO band, char mode) {
    ctf_simulate_element(IMAGE_THREAD_XY, out, count_of(n), 1, CtfProfileLayout{n, apix}, c, band, mode);
}
void hcuda_ctf_sim_1dh(float* out, unsigned n, float apix, CTF_INFO c, RESO band, char mode) {
    gpu_launch_1d<cuda_ctf_sim_1dh>(GPU_SITE, n, out, (int)n, apix, c, band, mode);
}
void gpu_ctf_sim_1dh(float* out, unsigned n, float apix, CTF_INFO c, RESO band, char mode) {
    simulate_to_host(out, n, [&](float* d) { hcuda_ctf_sim_1dh(d, n, apix, c, band, mode); });
}
void cpu_ctf_sim_1dh(float* out, unsigned n, float apix, CTF_INFO c, RESO band, char mode) {
    ctf_cpu_simulate(out, n, 1, CtfProfileLayout{(int)n, apix}, c, band, mode);
}
void hcuda_ctf_sim_1dhs(float* out, unsigned n, float apix, unsigned nz, const CTF_INFO* c, RESO band, char mode) {
    each_slice(out, n, nz, [&](float* o, unsigned k) { hcuda_ctf_sim_1dh(o, n, apix, c[k], band, mode); });
}
void gpu_ctf_sim_1dhs(float* out, unsigned n, float apix, unsigned nz, const CTF_INFO* c, RESO band, char mode) {
    simulate_to_host(out, (size_t)n * nz, [&](float* d) { hcuda_ctf_sim_1dhs(d, n, apix, nz, c, band, mode); });
}
void cpu_ctf_sim_1dhs(float* out, unsigned n, float apix, unsigned nz, const CTF_INFO* c, RESO band, char mode) {
    each_slice(out, n, nz, [&](float* o, unsigned k) { cpu_ctf_sim_1dh(o, n, apix, c[k], band, mode); });
}

__global__ void cuda_ctf_sim_2dh(float* out, unsigned nxh, unsigned ny, float apix, CTF_INFO c, RESO band, char mode) {
    ctf_simulate_element(IMAGE_THREAD_XY, out, nxh, ny, CtfHalfLayout{nxh, ny, apix}, c, band, mode);
}
void hcuda_ctf_sim_2dh(float* out, unsigned nxh, unsigned ny, float apix, CTF_INFO c, RESO band, char mode) {
    gpu_launch_2d<cuda_ctf_sim_2dh>(GPU_SITE, nxh, ny, out, nxh, ny, apix, c, band, mode);
}
void gpu_ctf_sim_2dh(float* out, unsigned nxh, unsigned ny, float apix, CTF_INFO c, RESO band, char mode) {
    simulate_to_host(out, image_pixels(nxh, ny), [&](float* d) { hcuda_ctf_sim_2dh(d, nxh, ny, apix, c, band, mode); });
}
void cpu_ctf_sim_2dh(float* out, unsigned nxh, unsigned ny, float apix, CTF_INFO c, RESO band, char mode) {
    ctf_cpu_simulate(out, nxh, ny, CtfHalfLayout{nxh, ny, apix}, c, band, mode);
}
void hcuda_ctf_sim_2dhs(float* out, unsigned nxh, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                        char mode) {
    each_slice(out, image_pixels(nxh, ny), nz,
               [&](float* o, unsigned k) { hcuda_ctf_sim_2dh(o, nxh, ny, apix, c[k], band, mode); });
}
void gpu_ctf_sim_2dhs(float* out, unsigned nxh, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                      char mode) {
    simulate_to_host(out, stack_slice_offset(nz, nxh, ny),
                     [&](float* d) { hcuda_ctf_sim_2dhs(d, nxh, ny, apix, nz, c, band, mode); });
}
void cpu_ctf_sim_2dhs(float* out, unsigned nxh, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                      char mode) {
    each_slice(out, image_pixels(nxh, ny), nz,
               [&](float* o, unsigned k) { cpu_ctf_sim_2dh(o, nxh, ny, apix, c[k], band, mode); });
}

__global__ void cuda_ctf_sim_2d(float* out, unsigned nx, unsigned ny, float apix, CTF_INFO c, RESO band, char mode) {
    ctf_simulate_element(IMAGE_THREAD_XY, out, nx, ny, CtfImageLayout{nx, ny, apix}, c, band, mode);
}
void hcuda_ctf_sim_2d(float* out, unsigned nx, unsigned ny, float apix, CTF_INFO c, RESO band, char mode) {
    gpu_launch_2d<cuda_ctf_sim_2d>(GPU_SITE, nx, ny, out, nx, ny, apix, c, band, mode);
}
void gpu_ctf_sim_2d(float* out, unsigned nx, unsigned ny, float apix, CTF_INFO c, RESO band, char mode) {
    simulate_to_host(out, image_pixels(nx, ny), [&](float* d) { hcuda_ctf_sim_2d(d, nx, ny, apix, c, band, mode); });
}
void cpu_ctf_sim_2d(float* out, unsigned nx, unsigned ny, float apix, CTF_INFO c, RESO band, char mode) {
    ctf_cpu_simulate(out, nx, ny, CtfImageLayout{nx, ny, apix}, c, band, mode);
}
void hcuda_ctf_sim_2ds(float* out, unsigned nx, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                       char mode) {
    each_slice(out, image_pixels(nx, ny), nz,
               [&](float* o, unsigned k) { hcuda_ctf_sim_2d(o, nx, ny, apix, c[k], band, mode); });
}
void gpu_ctf_sim_2ds(float* out, unsigned nx, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                     char mode) {
    simulate_to_host(out, stack_slice_offset(nz, nx, ny),
                     [&](float* d) { hcuda_ctf_sim_2ds(d, nx, ny, apix, nz, c, band, mode); });
}
void cpu_ctf_sim_2ds(float* out, unsigned nx, unsigned ny, float apix, unsigned nz, const CTF_INFO* c, RESO band,
                     char mode) {
    each_slice(out, image_pixels(nx, ny), nz,
               [&](float* o, unsigned k) { cpu_ctf_sim_2d(o, nx, ny, apix, c[k], band, mode); });
}

__global__ void cuda_ctf_simXraw_2dh(float* out, const float* raw, unsigned nxh, unsigned ny, float apix, CTF_INFO c,
                                     RESO band, char mode) {
    ctf_simulate_times_lanes(IMAGE_THREAD_XY, out, raw, nxh, ny, CtfHalfLayout{nxh, ny, apix}, c, band, mode);
}
void hcuda_ctf_simXraw_2dh(float* out, const float* raw, unsigned nxh, unsigned ny, float apix, CTF_INFO c, RESO band,
                           char mode) {
    gpu_launch_2d<cuda_ctf_simXraw_2dh>(GPU_SITE, gpu_lanes_runs(nxh), ny, out, raw, nxh, ny, apix, c, band, mode);
}
float hcuda_ctf_sim_dot_raw_2dh(float* out, const float* raw, unsigned nxh, unsigned ny, float apix, CTF_INFO c,
                                RESO band, char mode) {
    hcuda_ctf_simXraw_2dh(out, raw, nxh, ny, apix, c, band, mode);
    return hcuda_fast_sum_inplace(out, image_pixels(nxh, ny), 1024);
}
