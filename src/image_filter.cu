// Fourier filters of square images: one radial weight per filter on one element
// frame, one transform-filter-transform frame, and the mirror padding around it.
#define VORN_UNIT "src/image_filter"
#include "image_filter.h"

#include <cstdlib>

#include "cuda_fft.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "mrcfile.h"
#include "process2d_core.h"
#include "process2d_mrc.h"
#include "process2d_raw.h"

namespace {

// Band edges in Fourier pixels of an n-pixel edge.
struct Band {
    float in, out;
    __host__ __device__ Band(int n, float apix, float res1, float res2)
        : in((float)n * apix / fmaxf(res1, res2)), out((float)n * apix / fminf(res1, res2)) {}
};
__host__ __device__ __forceinline__ float cut_radius(int n, float apix, float res) { return (float)n * apix / res; }

// ---- weights of an element of radius r: 0 zeroes it, 1 keeps it ----
struct SharpBand {
    Band b;
    __host__ __device__ float operator()(float r) const { return r < b.in || r > b.out ? 0.0f : 1.0f; }
};
struct SharpLow {
    float rc;
    __host__ __device__ float operator()(float r) const { return r > rc ? 0.0f : 1.0f; }
};
struct SharpHigh {
    float rc;
    __host__ __device__ float operator()(float r) const { return r < rc ? 0.0f : 1.0f; }
};
struct SoftEdgeBand {
    Band b;
    float w;
    __host__ __device__ float operator()(float r) const {
        if (r < b.in || r > b.out + w) return 0.0f;
        return r <= b.out ? 1.0f : filter_gauss(r - b.out, w / 3.0f);
    }
};
struct GaussBand {
    Band b;
    float c;
    __host__ __device__ float operator()(float r) const {
        if (r < b.in || r > b.out) return 0.0f;
        return filter_gauss(r, b.out / 3.0f) * filter_gauss(c - r, (c - b.in) / 3.0f);
    }
};

// The element frame: each thread weighs its own element of the half spectrum.
template <class Weight>
__host__ __device__ __forceinline__ void weigh_element(uint2 t, float2* s, int n, Weight weight) {
    size_t e;
    if (!pixel_inside(t, (unsigned)(n / 2 + 1), (unsigned)n, e)) return;
    const float m = weight(fourier_radius(t.x, t.y, n));
    if (m == 1.0f) return;
    s[e] = m == 0.0f ? make_float2(0.0f, 0.0f) : make_float2(s[e].x * m, s[e].y * m);
}

// Transform, weigh, transform back; nothing is divided out.
template <auto Kernel, class... A>
void filter_square(float* in, float* out, int n, A... args) {
    if (n <= 0) return;
    const unsigned nh = (unsigned)n / 2 + 1;
    float2* spectrum = device_buffer<float2>(GPU_SITE, image_pixels(nh, (unsigned)n));
    hcuda_2d_fft_r2c(in, spectrum, (unsigned)n, (unsigned)n);
    gpu_launch_2d<Kernel>(GPU_SITE, nh, (unsigned)n, spectrum, n, args...);
    hcuda_2d_fft_c2r(spectrum, out, (unsigned)n, (unsigned)n);
    device_release(GPU_SITE, spectrum);
}

// The same on the 2n x 2n mirror-padded image, whose edges meet their own
// reflections, so the filter sees no jump at the border; the top-left quarter
// comes back. The edge length 2n keeps the resolutions' physical meaning.
template <auto Kernel, class... A>
void filter_square_mpad(const float* in, float* out, int n, A... args) {
    if (n <= 0) return;
    float* padded = d_get_2d_mirror_pad(in, (unsigned)n, (unsigned)n);
    filter_square<Kernel>(padded, padded, 2 * n, args...);
    hcuda_2d_mirror_pad_inv(out, padded, (unsigned)n, (unsigned)n);
    device_release(GPU_SITE, padded);
}

// A host image filtered in place through one device copy.
template <class Run>
void filter_host_inplace(float* data, int n, Run run) {
    if (n <= 0) return;
    const size_t npix = image_pixels((unsigned)n, (unsigned)n);
    float* d = device_copy_of(GPU_SITE, data, npix);
    run(d);
    copy_to_host(GPU_SITE, data, d, npix);
    device_release(GPU_SITE, d);
}

}  // namespace

// ---- kernels ----

__global__ void cuda_c2d_bandpass_sharp(float2* s, int n, float apix, float res1, float res2) {
    weigh_element(IMAGE_THREAD_XY, s, n, SharpBand{Band(n, apix, res1, res2)});
}
__global__ void cuda_c2d_lowpass_sharp(float2* s, int n, float apix, float res) {
    weigh_element(IMAGE_THREAD_XY, s, n, SharpLow{cut_radius(n, apix, res)});
}
__global__ void cuda_c2d_highpass_sharp(float2* s, int n, float apix, float res) {
    weigh_element(IMAGE_THREAD_XY, s, n, SharpHigh{cut_radius(n, apix, res)});
}
__global__ void cuda_c2d_bandpass_softR(float2* s, int n, float apix, float res1, float res2, float w) {
    weigh_element(IMAGE_THREAD_XY, s, n, SoftEdgeBand{Band(n, apix, res1, res2), w});
}
__global__ void cuda_c2d_bandpass_guas(float2* s, int n, float apix, float res1, float res2) {
    weigh_element(IMAGE_THREAD_XY, s, n, GaussBand{Band(n, apix, res1, res2), (float)(n / 2 + 1)});
}

// ---- device images ----

void hcuda_2d_bandpass_sharp(float* in, float* out, int n, float apix, float res1, float res2) {
    filter_square<cuda_c2d_bandpass_sharp>(in, out, n, apix, res1, res2);
}
void hcuda_2d_bandpass_sharp_inplace(float* data, int n, float apix, float res1, float res2) {
    hcuda_2d_bandpass_sharp(data, data, n, apix, res1, res2);
}
void hcuda_2d_lowpass_sharp(float* in, float* out, int n, float apix, float res) {
    filter_square<cuda_c2d_lowpass_sharp>(in, out, n, apix, res);
}
void hcuda_c2d_highpass_sharp(float* in, float* out, int n, float apix, float res) {
    filter_square<cuda_c2d_highpass_sharp>(in, out, n, apix, res);
}
void hcuda_2d_bandpass_softR(float* in, float* out, int n, float apix, float res1, float res2, float w) {
    filter_square<cuda_c2d_bandpass_softR>(in, out, n, apix, res1, res2, w);
}
void hcuda_2d_bandpass_softR_inplace(float* data, int n, float apix, float res1, float res2, float w) {
    hcuda_2d_bandpass_softR(data, data, n, apix, res1, res2, w);
}
void hcuda_2d_bandpass_softR_mpad(float* in, float* out, int n, float apix, float res1, float res2, float w) {
    filter_square_mpad<cuda_c2d_bandpass_softR>(in, out, n, apix, res1, res2, w);
}
void hcuda_2d_bandpass_softR_mpad_inplace(float* data, int n, float apix, float res1, float res2, float w) {
    hcuda_2d_bandpass_softR_mpad(data, data, n, apix, res1, res2, w);
}
void hcuda_2d_bandpass_guas(float* in, float* out, int n, float apix, float res1, float res2) {
    filter_square<cuda_c2d_bandpass_guas>(in, out, n, apix, res1, res2);
}
void hcuda_2d_bandpass_guas_inplace(float* data, int n, float apix, float res1, float res2) {
    hcuda_2d_bandpass_guas(data, data, n, apix, res1, res2);
}
void hcuda_2d_bandpass_guas_mpad(float* in, float* out, int n, float apix, float res1, float res2) {
    filter_square_mpad<cuda_c2d_bandpass_guas>(in, out, n, apix, res1, res2);
}
void hcuda_2d_bandpass_guas_mpad_inplace(float* data, int n, float apix, float res1, float res2) {
    hcuda_2d_bandpass_guas_mpad(data, data, n, apix, res1, res2);
}

// ---- host images ----

void gpu_2d_bandpass_sharp_inplace(float* data, int n, float apix, float res1, float res2) {
    filter_host_inplace(data, n, [&](float* d) { hcuda_2d_bandpass_sharp(d, d, n, apix, res1, res2); });
}
void gpu_2d_bandpass_softR_inplace(float* data, int n, float apix, float res1, float res2, float w) {
    if (w < 1.0f) return gpu_2d_bandpass_sharp_inplace(data, n, apix, res1, res2);
    filter_host_inplace(data, n, [&](float* d) { hcuda_2d_bandpass_softR(d, d, n, apix, res1, res2, w); });
}
void gpu_2d_bandpass_guas_inplace(float* data, int n, float apix, float res1, float res2) {
    filter_host_inplace(data, n, [&](float* d) { hcuda_2d_bandpass_guas(d, d, n, apix, res1, res2); });
}
void gpu_2d_bandpass_guas_mpad(float* out, const float* in, int n, float apix, float res1, float res2) {
    if (n <= 0) return;
    const size_t npix = image_pixels((unsigned)n, (unsigned)n);
    gpu_run_on_device(GPU_SITE, out, npix, in, npix,
                      [&](float* d_in, float* d_out) { hcuda_2d_bandpass_guas_mpad(d_in, d_out, n, apix, res1, res2); });
}
void gpu_2d_bandpass_guas_mpad_inplace(float* data, int n, float apix, float res1, float res2) {
    filter_host_inplace(data, n, [&](float* d) { hcuda_2d_bandpass_guas_mpad(d, d, n, apix, res1, res2); });
}

// ---- whole file ----

int mrcf_2d_bandpass(const char* in, const char* out, float apix, float res1, float res2, float width, int type) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    head_ptr head = MRC_CMD_READ_HEAD(in);
    if (!head || MRC_CMD_HAS_WHOLE_IMAGE(*head, in) != 0) return -1;
    if (head->nx != head->ny) VORN_FATAL("Can not do band-pass on rectangle data. Must be square.");
    const int n = head->nx;
    host_array<float> data(mrcf_get_data_all(in));
    switch (type) {
    case 1: gpu_2d_bandpass_guas_inplace(data.get(), n, apix, res1, res2); break;
    case 2: gpu_2d_bandpass_softR_inplace(data.get(), n, apix, res1, res2, width); break;
    case 3: gpu_2d_bandpass_sharp_inplace(data.get(), n, apix, res1, res2); break;
    case 4: gpu_2d_bandpass_guas_mpad_inplace(data.get(), n, apix, res1, res2); break;
    default: break;  // no filter: the data are copied
    }
    mrcf_write_head_data(out, head.get(), data.get());
    return 0;
}
