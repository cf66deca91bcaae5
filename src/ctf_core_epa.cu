// Equiphase averaging: profiles taken along the contours of constant geometric
// phase of a centred half spectrum, their map-back onto the half spectrum, and
// the band operations (ring average, squaring and products inside a band).
#define VORN_UNIT "src/ctf_core"
#include "ctf_core.h"
#include "bilinear.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include <algorithm>

namespace {

constexpr float HALF_PI_F = (float)(CTF_PI / 2.0);

// The geometric phase of one slice: a2 along an azimuth, a4 and Cs for the inversion.
struct PhaseModel {
    float lambda, a4, Cs;
    UVA_c uva;
    __host__ __device__ float a2(float theta) const {
        return ctf_a2(lambda, ctf_defocus_along(uva.U, uva.V, uva.A, theta));
    }
    __host__ __device__ float chig(float s, float theta) const { return ctf_geometric_phase(a2(theta), a4, s); }
    // Frequency of phase T along theta; -1 where no frequency reaches it.
    __host__ __device__ float frequency(float T, float theta) const {
        const float a = a2(theta);
        if (a * a - 4.0f * a4 * T < 0.0f) return -1.0f;
        return ctf_phase_frequency(a, a4, T, Cs);
    }
};
__host__ __device__ __forceinline__ PhaseModel phase_model(float kV, float Cs, UVA_c uva) {
    const float lambda = ctf_wavelength(kV);
    return {lambda, ctf_a4(lambda, Cs), Cs, uva};
}

__host__ __device__ __forceinline__ float at(const float* in, int nx, int x, int y) { return in[(size_t)y * nx + x]; }
// Mean of the eight neighbours; a step that would leave the array stays on the border element.
__host__ __device__ float neighbour_mean(const float* in, int nx, int ny, int x, int y) {
    float sum = 0.0f;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0) continue;
            const int xx = (x + dx < 0 || x + dx > nx - 1) ? x : x + dx;
            const int yy = (y + dy < 0 || y + dy > ny - 1) ? y : y + dy;
            sum += at(in, nx, xx, yy);
        }
    return sum * 0.125f;
}

// The radius beyond which no point of the array lies; sampling stops there, so a
// contour far outside (a defocus near zero along some azimuth) costs nothing.
__host__ __device__ __forceinline__ float reach(int nx, int ny) {
    return sqrtf((float)nx * nx + (float)ny * ny) + 2.0f;
}

// Walks the contour of phase T0 of one slice over the azimuths -pi/2 <= theta <
// pi/2 in steps of `step`, adding Gaussian-weighted samples of the radial
// stretch from r0 - w to the contour a quarter period further (r1) into sum and weight.
__host__ __device__ void walk_contour(const float* in, int nx, int ny, float R, const PhaseModel& m, float T0,
                                      float step, float& sum, float& weight) {
    const float rmax = reach(nx, ny);
    for (float theta = -HALF_PI_F; (double)theta < CTF_PI / 2.0; theta += step) {
        const float f0 = m.frequency(T0, theta);
        if (!(f0 >= 0.0f)) continue;  // no contour along this azimuth
        const float r0 = R * f0;
        const float f1 = m.frequency(T0 + HALF_PI_F, theta);
        const float r1 = f1 >= 0.0f ? R * f1 : r0 + 2.0f;
        float w = r1 - r0;
        if (w >= 10.0f) w = sqrtf(10.0f * w);
        const float sigma = w / 3.0f;
        float r = r0 - w;
        if (!(sigma > 0.0f) || !(r <= r1)) continue;           // no finite stretch to sample
        if (r < -rmax) r += 0.5f * ceilf((-rmax - r) / 0.5f);  // the same grid, from the array's reach on
        const float c = cosf(theta), s = sinf(theta);
        const float last = fminf(r1, rmax);
        for (; r <= last; r += 0.5f) {
            float v;
            if (!bilinear_sample(in, nx, ny, r * c, r * s + 0.5f * ny, v)) continue;
            const float g = 0.398942292f * expf(-(r - r0) * (r - r0) / (2.0f * sigma * sigma));
            sum += g * v;
            weight += g;
        }
    }
}

// Bin i of the EPA profile of nz slices (slice z at z nx ny, records uva[z]).
__host__ __device__ float epa_bin(unsigned i, int k, const float* in, int nx, int ny, unsigned nz, float apix, float kV,
                                  float Cs, const UVA_c* uva, float low, float high) {
    if (nz == 0) return 0.0f;
    const float si = (float)i / ((float)(2 * (nx - 1) * k) * apix);
    if (si < 1.0f / low || si > 1.0f / high) return at(in, nx, (int)i / k, ny / 2);
    const float R = (float)(2 * (nx - 1)) * apix;
    const float T0 = phase_model(kV, Cs, uva[0]).chig(si, 0.0f);
    const float step = 0.75f / (float)i;
    float sum = 0.0f, weight = 1e-6f;
    for (unsigned z = 0; z < nz; ++z)
        walk_contour(in + stack_slice_offset(z, nx, ny), nx, ny, R, phase_model(kV, Cs, uva[z]), T0, step, sum, weight);
    return sum / weight;
}
__device__ __forceinline__ void epa_profile_element(float* out, int k, const float* in, int nx, int ny, unsigned nz,
                                                    float apix, float kV, float Cs, const UVA_c* uva, float low,
                                                    float high) {
    const uint2 t = IMAGE_THREAD_XY;
    size_t e;
    if (pixel_inside(t, (unsigned)(k * (nx - 1) + 1), 1, e))
        out[e] = epa_bin(t.x, k, in, nx, ny, nz, apix, kV, Cs, uva, low, high);
}
size_t profile_bins(int k, int nx) { return (k >= 1 && nx >= 1) ? (size_t)k * (nx - 1) + 1 : 0; }

// Map-back of a k = 1 profile onto element (x, y); Weighted selects the first variant.
template <bool Weighted>
__device__ __forceinline__ void epa_map_back_element(float* out, const float* profile, const float* in, int nx, int ny,
                                                     float apix, float kV, float Cs, UVA_c uva, float low, float high) {
    const uint2 t = IMAGE_THREAD_XY;
    size_t e;
    if (!pixel_inside(t, nx, ny, e)) return;
    const CtfPolar f = CtfHalfLayout{(unsigned)nx, (unsigned)ny, apix}(t.x, t.y);
    if (Weighted) {
        if (f.s <= 1.0f / low) {
            out[e] = 0.0f;
            return;
        }
        if (f.s >= 1.0f / high) {
            out[e] = in[e];
            return;
        }
    } else if (f.s < 1.0f / low || f.s > 1.0f / high) {
        out[e] = neighbour_mean(in, nx, ny, t.x, t.y);
        return;
    }
    const PhaseModel m = phase_model(kV, Cs, uva);
    const float pos = (float)(2 * (nx - 1)) * apix * m.frequency(m.chig(f.s, f.theta), 0.0f);
    if (!(pos > 0.0f && pos < (float)(nx - 1))) {
        out[e] = neighbour_mean(in, nx, ny, t.x, t.y);
        return;
    }
    const int j = (int)floorf(pos);
    const float frac = pos - (float)j;
    const float v = frac != 0.0f ? profile[j] + frac * (profile[j + 1] - profile[j]) : profile[j];
    out[e] = Weighted ? (1.0f + 10.0f * pos / (float)nx) * v : v;
}

// The element frame of the band operations: f(s, element) with s of the half layout.
template <class F> __device__ __forceinline__ void band_element(int nx, int ny, float apix, F f) {
    const uint2 t = IMAGE_THREAD_XY;
    size_t e;
    if (pixel_inside(t, nx, ny, e)) f(CtfHalfLayout{(unsigned)nx, (unsigned)ny, apix}(t.x, t.y).s, e);
}
struct SquareInBand {
    float* out;
    const float* in;
    RESO band;
    __device__ void operator()(float s, size_t e) const { out[e] = ctf_in_band(s, band) ? in[e] * in[e] : 0.0f; }
};
struct MultiplyInBand {
    float* a;
    const float* b;
    RESO band;
    __device__ void operator()(float s, size_t e) const { a[e] = ctf_in_band(s, band) ? a[e] * b[e] : 0.0f; }
};

}  // namespace

// ---- profiles ----

__global__ void cuda_2dh_X_EPA_res(float* out, int k, const float* in, int nx, int ny, float apix, float kV, float Cs,
                                   float, float, float U, float V, float A, float low, float high) {
    const UVA_c uva{U, V, A};
    epa_profile_element(out, k, in, nx, ny, 1, apix, kV, Cs, &uva, low, high);
}
void hcuda_2dh_X_EPA_res(float* out, int k, const float* in, int nx, int ny, float apix, float kV, float Cs, float AC,
                         float P, float U, float V, float A, float low, float high) {
    gpu_launch_1d<cuda_2dh_X_EPA_res>(GPU_SITE, profile_bins(k, nx), out, k, in, nx, ny, apix, kV, Cs, AC, P, U, V, A,
                                      low, high);
}

__global__ void cuda_2dhs_X_EPA_res(float* out, int k, const float* in, int nx, int ny, unsigned nz, float apix,
                                    float kV, float Cs, float, float, const UVA_c* uva, float low, float high) {
    epa_profile_element(out, k, in, nx, ny, nz, apix, kV, Cs, uva, low, high);
}
void hcuda_2dhs_X_EPA_res(float* out, int k, const float* in, int nx, int ny, unsigned nz, float apix, float kV,
                          float Cs, float AC, float P, const UVA_c* uva, float low, float high) {
    gpu_launch_1d<cuda_2dhs_X_EPA_res>(GPU_SITE, profile_bins(k, nx), out, k, in, nx, ny, nz, apix, kV, Cs, AC, P, uva,
                                       low, high);
}

// ---- map-back ----

__global__ void cuda_2dh_EPA_from_1d2(float* out, const float* profile, const float* in, int nx, int ny, float apix,
                                      float kV, float Cs, float, float, float U, float V, float A, float low,
                                      float high) {
    epa_map_back_element<true>(out, profile, in, nx, ny, apix, kV, Cs, UVA_c{U, V, A}, low, high);
}
void hcuda_2dh_EPA_from_1d(float* out, const float* profile, const float* in, int nx, int ny, float apix, float kV,
                           float Cs, float AC, float P, float U, float V, float A, float low, float high) {
    gpu_launch_2d<cuda_2dh_EPA_from_1d2>(GPU_SITE, nx, ny, out, profile, in, nx, ny, apix, kV, Cs, AC, P, U, V, A, low,
                                         high);
}
__global__ void cuda_2dh_EPA_from_1d3(float* out, const float* profile, const float* in, int nx, int ny, float apix,
                                      float kV, float Cs, float, float, float U, float V, float A, float low,
                                      float high) {
    epa_map_back_element<false>(out, profile, in, nx, ny, apix, kV, Cs, UVA_c{U, V, A}, low, high);
}
void hcuda_2dh_EPA_from_1d3(float* out, const float* profile, const float* in, int nx, int ny, float apix, float kV,
                            float Cs, float AC, float P, float U, float V, float A, float low, float high) {
    gpu_launch_2d<cuda_2dh_EPA_from_1d3>(GPU_SITE, nx, ny, out, profile, in, nx, ny, apix, kV, Cs, AC, P, U, V, A, low,
                                         high);
}

// ---- 2D equiphase averages ----

void hcuda_2dh_EPA(float* out, const float* in, int nx, int ny, float apix, float kV, float Cs, float AC, float P,
                   float U, float V, float A, float low, float high) {
    if (nx < 1 || ny < 1) return;
    float* profile = device_buffer<float>(GPU_SITE, nx);
    hcuda_2dh_X_EPA_res(profile, 1, in, nx, ny, apix, kV, Cs, AC, P, U, V, A, low, 2.0f * apix);
    hcuda_2dh_EPA_from_1d(out, profile, in, nx, ny, apix, kV, Cs, AC, P, U, V, A, low, high);
    device_release(GPU_SITE, profile);
}

void hcuda_2dhs_EPA(float* out, const float* in, int nx, int ny, unsigned nz, float apix, float kV, float Cs, float AC,
                    float P, const UVA_c* uva, float low, float high) {
    if (nx < 1 || ny < 1) return;
    // An empty stack has no slice 0 to map back with: its average is zero.
    if (nz == 0) {
        hcuda_2d_empty(out, nx, ny);
        return;
    }
    float* profile = device_buffer<float>(GPU_SITE, nx);
    hcuda_2dhs_X_EPA_res(profile, 1, in, nx, ny, nz, apix, kV, Cs, AC, P, uva, low, high);
    UVA_c first;
    copy_to_host(GPU_SITE, &first, uva, 1);
    hcuda_2dh_EPA_from_1d(out, profile, in, nx, ny, apix, kV, Cs, AC, P, first.U, first.V, first.A, low, high);
    device_release(GPU_SITE, profile);
}

void gpu_2dhs_EPA(float* out, const float* in, int nx, int ny, unsigned nz, float apix, float kV, float Cs, float AC,
                  float P, const UVA_c* uva, float low, float high) {
    if (nx < 1 || ny < 1) return;
    const size_t npix = image_pixels(nx, ny);
    if (nz == 0) {
        std::fill(out, out + npix, 0.0f);
        return;
    }
    UVA_c* d_uva = device_copy_of(GPU_SITE, uva, nz);
    gpu_run_on_device(GPU_SITE, out, npix, in, npix * nz, [&](float* d_in, float* d_out) {
        hcuda_2dhs_EPA(d_out, d_in, nx, ny, nz, apix, kV, Cs, AC, P, d_uva, low, high);
    });
    device_release(GPU_SITE, d_uva);
}

// ---- band operations ----

__global__ void cuda_2dh_basic_rotate_ave_res(const float* in, float* out, float apix, int nx, int ny, float low,
                                              float high) {
    const uint2 t = IMAGE_THREAD_XY;
    if ((int)t.x >= nx || (int)t.y >= ny / 2) return;
    const float x = (float)t.x, d = (float)t.y - 0.5f * ny;
    const float r = sqrtf(x * x + d * d);
    const float s = r / ((float)(2 * (nx - 1)) * apix);
    float& o = out[pixel_element(t.x, t.y, nx)];
    if (s <= 1.0f / low || s >= 1.0f / high) {
        o = 0.0f;
        return;
    }
    float sum = 0.0f, count = 0.0f;
    for (float theta = -HALF_PI_F; (double)theta < CTF_PI / 2.0; theta += 0.75f / r) {
        const float c = cosf(theta), sn = sinf(theta);
        float v;
        if (!bilinear_sample(in, nx, ny, x * c + d * sn, 0.5f * ny + d * c - x * sn, v)) continue;
        sum += v;
        count += 1.0f;
    }
    o = sum / (count + 1e-5f);
}
void hcuda_2dh_basic_rotate_ave_res(const float* in, float* out, float apix, int nx, int ny, float low, float high) {
    if (nx < 1 || ny < 2) return;
    gpu_launch_2d<cuda_2dh_basic_rotate_ave_res>(GPU_SITE, nx, ny / 2, in, out, apix, nx, ny, low, high);
}

__global__ void cuda_x2dh_res_based_multiply_inplace(float* a, const float* b, float apix, int nx, int ny, float low,
                                                     float high) {
    band_element(nx, ny, apix, MultiplyInBand{a, b, RESO{low, high}});
}
__global__ void cuda_2dh_res_based_square(float* out, const float* in, float apix, int nx, int ny, float low,
                                          float high) {
    band_element(nx, ny, apix, SquareInBand{out, in, RESO{low, high}});
}
void hcuda_2dh_res_based_square(float* out, const float* in, float apix, int nx, int ny, float low, float high) {
    gpu_launch_2d<cuda_2dh_res_based_square>(GPU_SITE, nx, ny, out, in, apix, nx, ny, low, high);
}
