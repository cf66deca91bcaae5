// Binning by block means, square extension by a fill value or by mirroring,
// and movies simulated by scattering an image's pixels over frames.
#define VORN_UNIT "src/process2d_raw"
#include "process2d_raw.h"
#include "gpu_launch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Sum of the f x f block of output pixel (x, y), row by row in float: the
// kernel and the host forms add in the same order and agree to the bit.
// The sum starts from the block's first pixel, so a factor of 1 copies exactly.
__host__ __device__ __forceinline__ float block_sum(const float* in, int nx, int x, int y, int f) {
    const float* block = in + (size_t)y * f * (size_t)nx + (size_t)x * f;
    float s = block[0];
    for (int r = 0; r < f; ++r)
        for (int c = r == 0 ? 1 : 0; c < f; ++c) s += block[(size_t)r * nx + c];
    return s;
}
__host__ __device__ __forceinline__ float block_pixels(int f) { return (float)((long long)f * f); }

// A factor below 1 would divide by zero or bin nothing while the caller reads an unwritten output.
void require_factor(const char* func, int line, int f) {
    if (f < 1) vorn_fatal_line(func, VORN_UNIT, line, "Wrong value of shrink_factor. Must be >=1");
}
#define REQUIRE_FACTOR(f) require_factor(__func__, __LINE__, (f))

// The host binning forms report a refused argument in red and return, writing
// nothing, so that a caller (a whole-file command) can report and go on.
bool refused(bool bad, const char* func, int line, const char* why) {
    if (bad) std::printf("\033[41mError in function %s(), file %s on line %d:%s  %s!\n\033[m", func, VORN_UNIT, line, why, why);
    return bad;
}
constexpr const char* BAD_FACTOR = "Wrong value of shrink_factor. Must be >=1";
#define REFUSED_FACTOR(f) refused((f) < 1, __func__, __LINE__, BAD_FACTOR)

// w x h block sums divided by divisor, written at row stride `stride`.
void cpu_bin(float* out, size_t stride, const float* in, int nx, int w, int h, int f, float divisor) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) out[(size_t)y * stride + x] = block_sum(in, nx, x, y, f) / divisor;
}
int even_binned(int n, int f) { return n / (2 * f) * 2; }

// Mirroring reaches back at most one full side: ny/2 < nx < 2ny (or a square).
bool mirror_shape_ok(unsigned nx, unsigned ny) {
    return nx == ny || (ny < nx && nx < 2ull * ny) || (nx < ny && ny < 2ull * nx);
}
void require_mirror_shape(const char* func, int line, unsigned nx, unsigned ny) {
    if (!mirror_shape_ok(nx, ny)) vorn_fatal_line(func, VORN_UNIT, line, "Make sure: Ny/2 < Nx < 2Ny");
}
#define REQUIRE_MIRROR_SHAPE(nx, ny) require_mirror_shape(__func__, __LINE__, (nx), (ny))

// The image's rows at the square's row stride S = max(nx, ny).
void copy_at_square_stride(float* out, const float* in, unsigned nx, unsigned ny) {
    const size_t S = std::max(nx, ny);
    for (size_t y = 0; y < ny; ++y) std::memmove(out + y * S, in + y * nx, nx * sizeof(float));
}

// Frames of one image: every pixel into frame rand() mod nframes.
void scatter_over_frames(float* out, const float* in, size_t npix, unsigned nframes) {
    std::srand((unsigned)std::time(nullptr));
    std::memset(out, 0, npix * nframes * sizeof(float));
    for (size_t i = 0; i < npix; ++i) out[(size_t)(std::rand() % nframes) * npix + i] = in[i];
}
void require_frames(const char* func, int line, unsigned nframes) {
    if (nframes == 0) vorn_fatal_line(func, VORN_UNIT, line, "The number of frames must be at least 1");
}

}  // namespace

// ---- binning ----

__global__ void cuda_2d_meanshrink(const float* in, float* out, int nx, int ny, int f) {
    const int w = nx / f, h = ny / f;
    const int x = (int)(blockIdx.x * blockDim.x + threadIdx.x), y = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= w || y >= h) return;
    out[(size_t)y * w + x] = block_sum(in, nx, x, y, f) / block_pixels(f);
}

void hcuda_2d_meanshrink(const float* in, float* out, int nx, int ny, int f) {
    REQUIRE_FACTOR(f);
    if (nx / f <= 0 || ny / f <= 0) return;
    gpu_launch_2d<cuda_2d_meanshrink>(GPU_SITE, (unsigned)(nx / f), (unsigned)(ny / f), in, out, nx, ny, f);
}

void cpu_2d_meanshrink(float* out, const float* in, int nx, int ny, int f) {
    if (REFUSED_FACTOR(f)) return;
    cpu_bin(out, (size_t)std::max(nx / f, 0), in, nx, nx / f, ny / f, f, block_pixels(f));
}

void cpu_2ds_meanshrink(float* out, const float* in, int nx, int ny, int nz, int f) {
    if (REFUSED_FACTOR(f)) return;
    const size_t binned = (size_t)std::max(nx / f, 0) * std::max(ny / f, 0), image = (size_t)std::max(nx, 0) * std::max(ny, 0);
    for (int k = 0; k < nz; ++k) cpu_2d_meanshrink(out + k * binned, in + k * image, nx, ny, f);
}

void cpu_2d_meanshrink_invert(float* out, const float* in, int nx, int ny, int f) {
    REQUIRE_FACTOR(f);
    cpu_bin(out, (size_t)std::max(nx / f, 0), in, nx, nx / f, ny / f, f, -block_pixels(f));
}

void cpu_2d_meanshrink_even(float* out, const float* in, int nx, int ny, int f) {
    if (REFUSED_FACTOR(f)) return;
    const int W = even_binned(nx, f), H = even_binned(ny, f);
    cpu_bin(out, (size_t)std::max(W, 0), in, nx, W, H, f, block_pixels(f));
}

void cpu_2d_meanshrink_extended_even_square(float* out, const float* in, int nx, int ny, int f) {
    if (REFUSED_FACTOR(f)) return;
    const int W = even_binned(nx, f), H = even_binned(ny, f);
    if (W <= 0 && H <= 0) return;
    REQUIRE_MIRROR_SHAPE((unsigned)W, (unsigned)H);
    cpu_bin(out, (size_t)std::max(W, H), in, nx, W, H, f, block_pixels(f));
    cpu_2d_extend_to_square_mirror_inplace(out, (unsigned)W, (unsigned)H);
}

// ---- square extension ----

void cpu_2d_extend_to_square(float* out, const float* in, unsigned nx, unsigned ny, float fill) {
    copy_at_square_stride(out, in, nx, ny);
    cpu_2d_extend_to_square_only_fill(out, nx, ny, fill);
}

void cpu_2d_extend_to_square_only_fill(float* image, unsigned nx, unsigned ny, float fill) {
    if (nx > ny) {
        std::fill(image + (size_t)ny * nx, image + (size_t)nx * nx, fill);
        return;
    }
    for (size_t y = 0; y < ny && nx < ny; ++y) std::fill(image + y * ny + nx, image + (y + 1) * ny, fill);
}

void cpu_2d_extend_to_square_mirror(float* out, const float* in, unsigned nx, unsigned ny) {
    if (refused(!mirror_shape_ok(nx, ny), __func__, __LINE__, "Make sure: Ny/2 < Nx < 2Ny")) return;
    copy_at_square_stride(out, in, nx, ny);
    cpu_2d_extend_to_square_mirror_inplace(out, nx, ny);
}

void cpu_2d_extend_to_square_mirror_inplace(float* image, unsigned nx, unsigned ny) {
    REQUIRE_MIRROR_SHAPE(nx, ny);
    if (nx > ny) {
        for (size_t i = ny; i < nx; ++i) std::memcpy(image + i * nx, image + (2 * (size_t)ny - 1 - i) * nx, nx * sizeof(float));
        return;
    }
    for (size_t y = 0; y < ny && nx < ny; ++y)
        for (size_t j = nx; j < ny; ++j) image[y * ny + j] = image[y * ny + 2 * (size_t)nx - 1 - j];
}

// ---- simulated frames ----

void cpu_2d_simulate_split(float* out, const float* in, unsigned nx, unsigned ny, unsigned nframes) {
    require_frames(__func__, __LINE__, nframes);
    scatter_over_frames(out, in, (size_t)nx * ny, nframes);
}

void cpu_2ds_simulate_frame_split(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz,
                                  unsigned nframes) {
    require_frames(__func__, __LINE__, nframes);
    const size_t npix = (size_t)nx * ny;
    for (size_t i = 0; i < nz; ++i) scatter_over_frames(out + i * npix * nframes, in + i * npix, npix, nframes);
}
