// The band-pass of a shrunk micrograph: the sharp band of its own discrete
// spectrum, by its transforms where they are fast, else by the circular
// convolution with the filter's kernel on a grid of fast lengths.
#define VORN_UNIT "src/morvandel56"
#include "morvandel56.h"

#include "fft_plan.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "process2d_core.h"

namespace {

// Keeps the half-spectrum elements whose squared frequency (cycles per pixel)
// lies from f2_min to f2_max, scaled by 1/(nx*ny) so that the round trip gives
// the filtered image itself.
__global__ void cuda_c2d_bandpass_rect(float2* s, int nx, int ny, float f2_min, float f2_max) {
    const int x = (int)(blockIdx.x * blockDim.x + threadIdx.x), y = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    const int hx = nx / 2 + 1;
    if (x >= hx || y >= ny) return;
    const int ky = y < (ny + 1) / 2 ? y : y - ny;
    const float fx = (float)x / (float)nx, fy = (float)ky / (float)ny, f2 = fx * fx + fy * fy;
    const float w = f2 >= f2_min && f2 <= f2_max ? 1.0f / ((float)nx * (float)ny) : 0.0f;
    float2& v = s[(size_t)y * hx + x];
    v.x *= w;
    v.y *= w;
}

// The band of the half spectrum (nx/2 + 1) x ny, transformed back into image_d.
void band_to_image(float* image_d, float2* spectrum, int nx, int ny, float f2_min, float f2_max) {
    gpu_launch_2d<cuda_c2d_bandpass_rect>(GPU_SITE, (unsigned)(nx / 2 + 1), (unsigned)ny, spectrum, nx, ny, f2_min,
                                          f2_max);
    const cufftHandle c2r = fft_plan_2d(GPU_SITE, (unsigned)nx, (unsigned)ny, CUFFT_C2R);
    CUFFT_CHECK(cufftExecC2R(c2r, spectrum, image_d));
    CUDA_CHECK(cudaDeviceSynchronize());
    CUFFT_CHECK(cufftDestroy(c2r));
}

// The band-pass by the image's own transforms; spectrum: (nx/2 + 1) x ny elements of work.
void bandpass_by_transforms(float* image_d, float2* spectrum, int nx, int ny, float f2_min, float f2_max) {
    const cufftHandle r2c = fft_plan_2d(GPU_SITE, (unsigned)nx, (unsigned)ny, CUFFT_R2C);
    CUFFT_CHECK(cufftExecR2C(r2c, image_d, spectrum));
    CUDA_CHECK(cudaDeviceSynchronize());
    CUFFT_CHECK(cufftDestroy(r2c));
    band_to_image(image_d, spectrum, nx, ny, f2_min, f2_max);
}

// Tap d of an axis of n pixels, d from -(n/2) to n - 1 - n/2 (one of each residue
// mod n), at grid element (g/2 + d) mod g: the kernel value at -d, so that the
// grid's correlation is the convolution with it. 0 outside the taps.
__device__ __forceinline__ bool kernel_tap(unsigned q, unsigned n, unsigned g, unsigned& source) {
    const int d = (int)q - (int)(g / 2), lo = -(int)(n / 2);
    if (d < lo || d > (int)n - 1 + lo) return false;
    source = (unsigned)((-d % (int)n + (int)n) % (int)n);
    return true;
}
__global__ void cuda_2d_place_periodic_kernel(float* grid, const float* kernel, FftGrid g) {
    const unsigned x = blockIdx.x * blockDim.x + threadIdx.x, y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= g.gx || y >= g.gy) return;
    unsigned sx, sy;
    const bool tap = kernel_tap(x, g.nx, g.gx, sx) && kernel_tap(y, g.ny, g.gy, sy);
    grid[(size_t)y * g.gx + x] = tap ? kernel[(size_t)sy * g.nx + sx] : 0.0f;
}

// The spectrum of the band's kernel on the work's grid, made on first use: the
// band-pass of a unit impulse at the origin, whose spectrum is 1 everywhere, by
// the image's own inverse transform (once per size and band), its taps placed
// on the grid and transformed.
const float2* kernel_of(BandPassWork& work, float f2_min, float f2_max) {
    FftGridImage& w = work.grid;
    const int nx = (int)w.grid.nx, ny = (int)w.grid.ny;
    for (const BandPassKernel& k : work.kernels)
        if (k.nx == nx && k.ny == ny && k.f2_min == f2_min && k.f2_max == f2_max) return k.spectrum;
    float* kernel = w.correlation;  // free until the first correlation; at least nx x ny
    hcuda_c2d_memset(w.product, make_float2(1.0f, 0.0f), (unsigned)(nx / 2 + 1), (unsigned)ny);
    band_to_image(kernel, w.product, nx, ny, f2_min, f2_max);
    gpu_launch_2d<cuda_2d_place_periodic_kernel>(GPU_SITE, w.grid.gx, w.grid.gy, w.padded, (const float*)kernel,
                                                 w.grid);
    work.kernels.push_back(BandPassKernel{nx, ny, f2_min, f2_max, fft_grid_kernel_spectrum(w, w.padded)});
    return work.kernels.back().spectrum;
}

void release_kernels(BandPassWork& work) {
    for (const BandPassKernel& k : work.kernels) device_release(GPU_SITE, k.spectrum);
    work.kernels.clear();
}

}  // namespace

BandPassWork::~BandPassWork() {
    release_kernels(*this);
    if (spectrum != nullptr) device_release(GPU_SITE, spectrum);
}

void morvandel_bandpass_inplace(float* image_d, int nx, int ny, float apix, float lp, float hp, BandPassWork& work) {
    if (nx <= 0 || ny <= 0) return;
    const float f_min = apix / hp, f_max = apix / lp;
    const float f2_min = f_min * f_min, f2_max = f_max * f_max;
    const FftGrid grid = fft_wrapped_grid((unsigned)nx, (unsigned)ny, (unsigned)nx / 2, (unsigned)ny / 2);
    if (!grid.padded()) {
        const size_t nh = image_pixels((unsigned)(nx / 2 + 1), (unsigned)ny);
        if (work.spectrum_n < nh) {
            if (work.spectrum != nullptr) device_release(GPU_SITE, work.spectrum);
            work.spectrum = device_buffer<float2>(GPU_SITE, nh);
            work.spectrum_n = nh;
        }
        bandpass_by_transforms(image_d, work.spectrum, nx, ny, f2_min, f2_max);
        return;
    }
    if (fft_grid_prepare(work.grid, grid)) release_kernels(work);
    const float2* kernel = kernel_of(work, f2_min, f2_max);
    fft_grid_load(work.grid, image_d);
    fft_grid_correlate(work.grid, kernel);
    hcuda_2d_centred_from_grid(image_d, work.grid.correlation, grid, 1.0f);
}
