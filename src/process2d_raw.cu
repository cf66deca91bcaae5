// Box extraction and pasting, particle stacks, rotational averages,
// low-frequency attenuation, box filters and hot-pixel removal.
#define VORN_UNIT "src/process2d_raw"
#include "process2d_raw.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "math_utils.h"
#include "math_utils_gpu.h"
#include "process2d_core.h"

// ---- shared pixel rules ----

// Position of this thread's small-image pixel, or false when the thread lies past the image.
__device__ __forceinline__ bool small_pixel(int snx, int sny, int& x, int& y) {
    x = (int)(blockIdx.x * blockDim.x + threadIdx.x);
    y = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    return x < snx && y < sny;
}

// Flat index of large-image pixel (x + x0, y + y0), or -1 when it lies outside the image.
// Formed in 64 bits, so neither the offset nor the index can wrap.
__host__ __device__ __forceinline__ long long large_index(int x, int y, int x0, int y0, int lnx, int lny) {
    const long long lx = (long long)x + x0, ly = (long long)y + y0;
    if (lx < 0 || ly < 0 || lx >= lnx || ly >= lny) return -1;
    return ly * lnx + lx;
}

__device__ __forceinline__ void paste_pixel(float* large, const float* small, int lnx, int lny, int snx, int sny,
                                            int x0, int y0) {
    int x, y;
    if (!small_pixel(snx, sny, x, y)) return;
    const long long l = large_index(x, y, x0, y0, lnx, lny);
    if (l >= 0) large[l] = small[(size_t)y * snx + x];
}

static size_t image_size(long long nx, long long ny) { return (size_t)nx * (size_t)ny; }

// ---- extraction ----

// A thread copies a run of GPU_LANES neighbouring pixels of a row (one on a GPU):
// at once when the whole run lies inside both images, else pixel by pixel.
__global__ void cuda_2d_extract_small_from_large(float* small, int snx, int sny, const float* large, int lnx, int lny,
                                                 int x0, int y0) {
    const long long x = (long long)(blockIdx.x * blockDim.x + threadIdx.x) * GPU_LANES;
    const int y = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= snx || y >= sny) return;
    float* out = small + (size_t)y * snx + x;
    const long long lx = x + x0, ly = (long long)y + y0;
    if (x + GPU_LANES <= snx && ly >= 0 && ly < lny && lx >= 0 && lx + GPU_LANES <= lnx) {
        gpu_lanes_store(out, gpu_lanes_load(large + ly * lnx + lx), GPU_LANES);
        return;
    }
    for (int l = 0; l < (int)GPU_LANES && x + l < snx; ++l) {
        const long long i = large_index((int)x + l, y, x0, y0, lnx, lny);
        out[l] = i >= 0 ? large[i] : 0.0f;
    }
}

void hcuda_2d_extract_small_from_large(float* small, int snx, int sny, const float* large, int lnx, int lny, int x0,
                                       int y0) {
    if (snx <= 0 || sny <= 0) return;
    const unsigned runs = (unsigned)((snx + GPU_LANES - 1) / GPU_LANES);
    GPU_LAUNCH(cuda_2d_extract_small_from_large, gpu_grid_2d(runs, sny), gpu_block_2d(), 0)(small, snx, sny, large,
                                                                                           lnx, lny, x0, y0);
    CUDA_LAUNCH_CHECK();
}

void hcuda_2d_extract_smalls_from_large(float* smalls, int snx, int sny, int n, const float* large, int lnx, int lny,
                                        const int2* corners) {
    for (int i = 0; i < n; ++i)
        hcuda_2d_extract_small_from_large(smalls + (size_t)i * image_size(snx, sny), snx, sny, large, lnx, lny,
                                          corners[i].x, corners[i].y);
}

void cpu_2d_extract_small_from_large(float* small, int snx, int sny, const float* large, int lnx, int lny, int x0,
                                     int y0) {
    if (snx <= 0) return;
    for (int y = 0; y < sny; ++y) {
        float* row = small + (size_t)y * snx;
        const long long ly = (long long)y + y0;
        if (ly < 0 || ly >= lny) {
            std::memset(row, 0, (size_t)snx * sizeof(float));
            continue;
        }
        for (int x = 0; x < snx; ++x) {
            const long long l = large_index(x, y, x0, y0, lnx, lny);
            row[x] = l >= 0 ? large[l] : 0.0f;
        }
    }
}

void cpu_2d_extract_smalls_from_large(float* smalls, int snx, int sny, int n, const float* large, int lnx, int lny,
                                      const int2* corners) {
    for (int i = 0; i < n; ++i)
        cpu_2d_extract_small_from_large(smalls + (size_t)i * image_size(snx, sny), snx, sny, large, lnx, lny,
                                        corners[i].x, corners[i].y);
}

void cpu_x2d_extract_squares_from_large(float* smalls, unsigned s, int n, const float* large, int lnx, int lny,
                                        const int2* corners) {
    cpu_2d_extract_smalls_from_large(smalls, (int)s, (int)s, n, large, lnx, lny, corners);
}

void cpu_x2d_movie_extract_small_from_large(float* out, int snx, int sny, int nframes, const float* movie, int lnx,
                                            int lny, int x0, int y0) {
    for (int f = 0; f < nframes; ++f)
        cpu_2d_extract_small_from_large(out + (size_t)f * image_size(snx, sny), snx, sny,
                                        movie + (size_t)f * image_size(lnx, lny), lnx, lny, x0, y0);
}

void cpu_2d_extract_ptcls_from_micrograph(float* smalls, int snx, int sny, int n, const float* large, int lnx, int lny,
                                          const PTCL_BOX* boxes) {
    for (int i = 0; i < n; ++i)
        cpu_2d_extract_small_from_large(smalls + (size_t)i * image_size(snx, sny), snx, sny, large, lnx, lny,
                                        boxes[i].x, boxes[i].y);
}

void cpu_2d_extract_ptcls_from_mrcs(float* smalls, int snx, int sny, int n, const float* large, int lnx, int lny,
                                    const PTCL_BOX* boxes) {
    cpu_2d_extract_ptcls_from_micrograph(smalls, snx, sny, n, large, lnx, lny, boxes);
}

void cpu_2d_extract_ptcls_from_movie(float* out, int snx, int sny, int nframes, int n, const float* movie, int lnx,
                                     int lny, const PTCL_BOX* boxes) {
    const size_t particle = (size_t)nframes * image_size(snx, sny);
    for (int i = 0; i < n; ++i)
        cpu_x2d_movie_extract_small_from_large(out + (size_t)i * particle, snx, sny, nframes, movie, lnx, lny,
                                               boxes[i].x, boxes[i].y);
}

// ---- pasting ----

__global__ void cuda_x2d_cp_small_to_large(float* large, const float* small, int lnx, int lny, int snx, int sny, int x0,
                                           int y0) {
    paste_pixel(large, small, lnx, lny, snx, sny, x0, y0);
}

// A small image larger than the large one is clipped like any other paste.
__global__ void cuda_x2d_cp_small_to_large_center(float* large, const float* small, int lnx, int lny, int snx,
                                                  int sny) {
    paste_pixel(large, small, lnx, lny, snx, sny, (lnx - snx) / 2, (lny - sny) / 2);
}

void hcuda_x2d_cp_small_to_large(float* large, const float* small, int lnx, int lny, int snx, int sny, int x0, int y0) {
    if (snx <= 0 || sny <= 0) return;
    GPU_LAUNCH(cuda_x2d_cp_small_to_large, gpu_grid_2d(snx, sny), gpu_block_2d(), 0)(large, small, lnx, lny, snx, sny,
                                                                                     x0, y0);
    CUDA_LAUNCH_CHECK();
}

void hcuda_x2d_cp_small_to_large_center(float* large, const float* small, int lnx, int lny, int snx, int sny) {
    if (snx <= 0 || sny <= 0) return;
    GPU_LAUNCH(cuda_x2d_cp_small_to_large_center, gpu_grid_2d(snx, sny), gpu_block_2d(), 0)(large, small, lnx, lny,
                                                                                            snx, sny);
    CUDA_LAUNCH_CHECK();
}

void cpu_x2d_cp_small_to_large(float* large, const float* small, int lnx, int lny, int snx, int sny, int x0, int y0) {
    for (int y = 0; y < sny; ++y)
        for (int x = 0; x < snx; ++x) {
            const long long l = large_index(x, y, x0, y0, lnx, lny);
            if (l >= 0) large[l] = small[(size_t)y * snx + x];
        }
}

void cpu_x2d_cp_smalls_to_large(float* large, const float* smalls, int lnx, int lny, int snx, int sny, int n,
                                const int2* corners) {
    for (int i = 0; i < n; ++i)
        cpu_x2d_cp_small_to_large(large, smalls + (size_t)i * image_size(snx, sny), lnx, lny, snx, sny, corners[i].x,
                                  corners[i].y);
}

void cpu_x2d_cp_ptcls_to_micrograph(float* large, const float* smalls, int lnx, int lny, int snx, int sny, int n,
                                    const PTCL_BOX* boxes) {
    for (int i = 0; i < n; ++i)
        cpu_x2d_cp_small_to_large(large, smalls + (size_t)i * image_size(snx, sny), lnx, lny, snx, sny, boxes[i].x,
                                  boxes[i].y);
}

void cpu_x2d_norm_cp_ptcls_to_micrograph(float* large, float* smalls, const float* refs, int lnx, int lny, int snx,
                                         int sny, int n, const PTCL_BOX* boxes) {
    const size_t ns = image_size(snx, sny);
    std::vector<float> region(ns);
    for (int i = 0; i < n; ++i) {
        float* small = smalls + (size_t)i * ns;
        const float* ref = refs + (size_t)i * ns;
        cpu_2d_extract_small_from_large(region.data(), snx, sny, large, lnx, lny, boxes[i].x, boxes[i].y);
        // A flat reference gives no scale: keep the particle's contrast rather than paste NaN.
        const double ref_stdv = hm_stdv(ref, ns);
        const double k = ref_stdv > 0.0 ? hm_stdv(region.data(), ns) / ref_stdv : 1.0;
        const double c = hm_mean(region.data(), ns) - k * hm_mean(ref, ns);
        hm_linear_norm_kb_inplace(small, ns, (float)k, (float)c);
        cpu_x2d_cp_small_to_large(large, small, lnx, lny, snx, sny, boxes[i].x, boxes[i].y);
    }
}

// ---- particle stacks ----

// A box of the common size w x h is taken when it lies inside the image with a
// margin of at least one pixel on the right and at the bottom.
static bool box_inside(const PTCL_BOX& b, int w, int h, unsigned nx, unsigned ny) {
    return w >= 0 && h >= 0 && b.x >= 0 && b.y >= 0 && (long long)b.x + w < (long long)nx &&
           (long long)b.y + h < (long long)ny;
}

int host_2d_read_ptcls_to_2ds_from_boxes(float* stack, const PTCL_BOX* boxes, int n, const float* image, unsigned nx,
                                         unsigned ny) {
    if (n <= 0) return 0;
    const int w = boxes[0].w, h = boxes[0].h;
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        const PTCL_BOX& b = boxes[i];
        if (!box_inside(b, w, h, nx, ny)) {
            printf("Warning: box (%d %d %d %d)out of range, skip extracting this particle!\n", b.x, b.y, b.w, b.h);
            continue;
        }
        cpu_2d_extract_small_from_large(stack + (size_t)i * image_size(w, h), w, h, image, (int)nx, (int)ny, b.x, b.y);
        ++kept;
    }
    return kept;
}

int hcuda_2d_read_ptcls_to_2ds_from_boxes(float* stack, const PTCL_BOX* boxes, float* values, int n,
                                          const float* image, unsigned nx, unsigned ny) {
    if (n <= 0) return 0;
    const int w = boxes[0].w, h = boxes[0].h;
    std::vector<float> dist;
    for (int i = 0; i < n; ++i) {
        const PTCL_BOX& b = boxes[i];
        if (!box_inside(b, w, h, nx, ny)) continue;
        hcuda_2d_extract_small_from_large(stack + dist.size() * image_size(w, h), w, h, image, (int)nx, (int)ny, b.x,
                                          b.y);
        dist.push_back(b.dist);
    }
    if (!dist.empty()) CUDA_CHECK(memcpy_H2D(values, dist.data(), dist.size() * sizeof(float)));
    return (int)dist.size();
}

// Corners of the regular grid of box x box boxes, row by row; a box larger than
// the image shrinks to the smaller side, with the warning in the caller's name.
static std::vector<int2> grid_corners(const char* caller, unsigned nx, unsigned ny, int& box, int step) {
    if (step < 1 || box < 1) vorn_fatal_line(caller, VORN_UNIT, __LINE__, "Invalid grid: box %d, step %d", box, step);
    if ((unsigned)box > nx || (unsigned)box > ny) {
        vorn_warning_line(caller, VORN_UNIT, __LINE__, "boxsize larger than Nx or Ny, set as the smaller!\n\033[m");
        box = (int)(nx < ny ? nx : ny);
    }
    const int rows = (int)((ny - box) / step + 1), cols = (int)((nx - box) / step + 1);
    std::vector<int2> corners;
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) corners.push_back(make_int2(j * step, i * step));
    return corners;
}

int host_2d_read_ptcls_to_2ds_from_autogrids(const float* image, unsigned nx, unsigned ny, float* stack, int box,
                                             int step) {
    const std::vector<int2> corners = grid_corners(__func__, nx, ny, box, step);
    cpu_2d_extract_smalls_from_large(stack, box, box, (int)corners.size(), image, (int)nx, (int)ny, corners.data());
    return 0;
}

int hcuda_2d_read_ptcls_to_2ds_from_autogrids(const float* image, unsigned nx, unsigned ny, float* stack, int box,
                                              int step) {
    const std::vector<int2> corners = grid_corners(__func__, nx, ny, box, step);
    hcuda_2d_extract_smalls_from_large(stack, box, box, (int)corners.size(), image, (int)nx, (int)ny, corners.data());
    return 0;
}

// ---- rotational average ----

int rotational_average_2dh(const float* data, float* profile, unsigned nxh, unsigned ny) {
    std::vector<float> weight(nxh, 0.0f);
    std::fill(profile, profile + nxh, 0.0f);
    const int half = (int)(ny / 2);
    for (unsigned i = 0; i < ny; ++i) {
        const long long y = (long long)i - half;
        for (unsigned j = 0; j < nxh; ++j) {
            const float r = (float)std::sqrt((double)(y * y + (long long)j * j));
            const unsigned k = (unsigned)r;
            if (k >= nxh) continue;
            const float f = r - (float)k;
            const float v = data[(size_t)i * nxh + j];
            weight[k] += 1.0f - f;
            profile[k] += (1.0f - f) * v;
            if (k + 1 < nxh) {
                weight[k + 1] += f;
                profile[k + 1] += f * v;
            }
        }
    }
    for (unsigned k = 0; k < nxh; ++k) profile[k] /= weight[k];
    return 0;
}

// ---- low frequencies ----

// Radius in Fourier pixels of the resolution res (A) for pixel size apix (A).
__host__ __device__ __forceinline__ float low_frequency_radius(int nxh, float apix, float res) {
    return (float)((nxh - 1) * 2) * apix / res;
}

// Gaussian rise from exp(-4.5) at the origin to 1 at radius R; 1 from R on.
__host__ __device__ __forceinline__ float low_frequency_weight(float r, float R) {
    if (r >= R) return 1.0f;
    const float sigma = R / 3.0f;
    const float d = R - r;
    return expf(-(d * d) / (2.0f * sigma * sigma));
}

__global__ void cuda_2dh_smooth_low_frequency_inplace(float* data, int nxh, int ny, float apix, float res) {
    const int x = (int)(blockIdx.x * blockDim.x + threadIdx.x);
    const int row = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= nxh || row >= ny) return;
    const int y = row - ny / 2;
    const float r = sqrtf((float)(x * x + y * y));
    data[(size_t)row * nxh + x] *= low_frequency_weight(r, low_frequency_radius(nxh, apix, res));
}

void hcuda_2dh_smooth_low_frequency_inplace(float* data, int nxh, int ny, float apix, float res) {
    if (nxh <= 0 || ny <= 0) return;
    GPU_LAUNCH(cuda_2dh_smooth_low_frequency_inplace, gpu_grid_2d(nxh, ny), gpu_block_2d(), 0)(data, nxh, ny, apix,
                                                                                               res);
    CUDA_LAUNCH_CHECK();
}

// Host pass over a half spectrum: each element with its radius from the origin
// (taken in double, rounded to float) and the radius of res.
template <class Op>
static void for_each_radius_2dh(float* data, int nxh, int ny, float apix, float res, Op op) {
    const float R = low_frequency_radius(nxh, apix, res);
    for (int row = 0; row < ny; ++row) {
        const long long y = row - ny / 2;
        for (int x = 0; x < nxh; ++x) {
            const float r = (float)std::sqrt((double)((long long)x * x + y * y));
            op(data[(size_t)row * nxh + x], r, R);
        }
    }
}

void cpu_2dh_smooth_low_frequency_inplace(float* data, int nxh, int ny, float apix, float res) {
    if (nxh <= 0 || ny <= 0) return;
    data[((size_t)nxh * ny) / 2] = 0.0f;
    for_each_radius_2dh(data, nxh, ny, apix, res, [](float& v, float r, float R) { v *= low_frequency_weight(r, R); });
}

void cpu_2dh_zero_low_frequency_inplace(float* data, int nxh, int ny, float apix, float res) {
    for_each_radius_2dh(data, nxh, ny, apix, res, [](float& v, float r, float R) {
        if (r < R) v = 0.0f;
    });
}

void cpu_2d_plot_circle(float* image, int nx, int ny, float apix, float res, float w) {
    if (w < 1.0f) w = (nx > 512 || ny > 512) ? 2.0f : 1.5f;
    const float rho = (float)nx * apix / res;
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            const int dx = x - nx / 2, dy = y - ny / 2;
            const float d = sqrtf((float)(dx * dx + dy * dy)) - rho;
            if (-w < d && d <= w) image[(size_t)y * nx + x] = 5.0f;
        }
}

// ---- box filters ----

// The window of pixel (x, y): hx = bx/2 columns to the left, hx - 1 to the right,
// likewise in y, clipped to the image.
struct BoxWindow {
    int c0, c1, r0, r1;  // columns c0 <= c < c1, rows r0 <= r < r1
    __host__ __device__ int count() const { return (c1 - c0) * (r1 - r0); }
};

__device__ __forceinline__ bool box_window(unsigned nx, unsigned ny, int bx, int by, BoxWindow& win, size_t& at) {
    const int x = (int)(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= (int)nx || y >= (int)ny) return false;
    const int hx = bx / 2, hy = by / 2;
    win = {max(0, x - hx), min((int)nx, x + hx), max(0, y - hy), min((int)ny, y + hy)};
    at = (size_t)y * nx + x;
    return true;
}

// Sum over the window of f(v), rows in order, columns in order, in float.
template <class F>
__device__ __forceinline__ float window_sum(const float* in, unsigned nx, const BoxWindow& win, F f) {
    float s = 0.0f;
    for (int r = win.r0; r < win.r1; ++r)
        for (int c = win.c0; c < win.c1; ++c) s += f(in[(size_t)r * nx + c]);
    return s;
}

// The direct mean: the window summed alone, rows then columns in order, in float.
__device__ __forceinline__ float direct_box_mean(const float* in, unsigned nx, const BoxWindow& win) {
    return window_sum(in, nx, win, [](float v) { return v; }) / (float)win.count();
}

__global__ void cuda_2d_convolution_by_box(const float* in, float* out, unsigned nx, unsigned ny, int bx, int by) {
    BoxWindow win;
    size_t at;
    if (!box_window(nx, ny, bx, by, win, at)) return;
    out[at] = direct_box_mean(in, nx, win);
}

__global__ void cuda_2d_std_by_box(const float* in, float* out, unsigned nx, unsigned ny, int bx, int by) {
    BoxWindow win;
    size_t at;
    if (!box_window(nx, ny, bx, by, win, at)) return;
    const float n = (float)win.count();
    const float m = window_sum(in, nx, win, [](float v) { return v; }) / n;
    out[at] = sqrtf(window_sum(in, nx, win, [m](float v) { return (v - m) * (v - m); })) / n;
}

// A box of one pixel or less on a side leaves every window empty (0/0 everywhere).
static void check_box_size(const char* caller, int bx, int by) {
    if (bx < 2 || by < 2) vorn_fatal_line(caller, VORN_UNIT, __LINE__, "Box size %d x %d is below 2 pixels", bx, by);
}

// Box means by sliding sums, O(1) per pixel whatever the box: a column pass
// takes every column's sums over the window's rows, a row pass slides the
// window along each row over those sums. Both accumulate in double: a float
// value is exact in double, and the rounding of the adds and subtracts of a
// slide stays far below a float's precision, so the mean rounded to float is at
// least as accurate as the direct float sum. A non-finite value would stay in
// a sliding sum after it left the window, so it is kept out of the sums and
// counted instead; a column sum whose rows hold one is marked NaN, and a pixel
// whose window holds a marked column sum is taken the direct way, so NaN and
// infinity come out exactly where and as the direct sum gives them.

__device__ __forceinline__ bool finite_value(float v) { return fabsf(v) <= FLT_MAX; }

// Threads are counted along y, one grid row each: the host launch layer then
// hands each thread to its own OpenMP iteration.
__device__ __forceinline__ unsigned thread_along_y() { return blockIdx.y * blockDim.y + threadIdx.y; }

static void launch_along_y(unsigned threads, unsigned per_block, dim3& grid, dim3& block) {
    block = dim3(1, per_block);
    grid = dim3(1, (threads + per_block - 1) / per_block);
}

// Adds (Sign +1) or removes (Sign -1) the n values of a row run: the finite
// ones to the sums, the others to the counts.
template <int Sign>
__device__ __forceinline__ void slide_row_run(const float* v, unsigned n, double* sums, int* nonfinite) {
    for (unsigned l = 0; l < n; ++l) {
        const bool finite = finite_value(v[l]);
        sums[l] += finite ? (double)(Sign * v[l]) : 0.0;
        nonfinite[l] += finite ? 0 : Sign;
    }
}

// A thread walks the n columns x.. of one run down the image, so it reads each
// row's run from contiguous memory (GPU_LANES columns; one on a GPU).
__device__ __forceinline__ void column_sums_of_run(const float* in, unsigned nx, unsigned ny, int hy, unsigned x,
                                                   unsigned n, double* out, unsigned width) {
    double s[GPU_LANES];
    int nonfinite[GPU_LANES];
    for (unsigned l = 0; l < GPU_LANES; ++l) {
        s[l] = 0.0;
        nonfinite[l] = 0;
    }
    const float* col = in + x;
    for (int r = 0; r < min((int)ny, hy); ++r) slide_row_run<1>(col + (size_t)r * nx, n, s, nonfinite);
    for (int y = 0; y < (int)ny; ++y, out += width) {
        for (unsigned l = 0; l < n; ++l) out[l] = nonfinite[l] ? (double)NAN : s[l];
        if (y + hy < (int)ny) slide_row_run<1>(col + (size_t)(y + hy) * nx, n, s, nonfinite);
        if (y - hy >= 0) slide_row_run<-1>(col + (size_t)(y - hy) * nx, n, s, nonfinite);
    }
}

// sums[y * width + c - v0], for columns v0 <= c < v1: the sum of column c over
// the rows of pixel y's window, NaN where those rows hold a non-finite value.
__global__ void cuda_2d_box_column_sums(const float* in, unsigned nx, unsigned ny, int hy, unsigned v0, unsigned v1,
                                        double* sums) {
    const unsigned run = thread_along_y();
    if (run >= (v1 - v0 + GPU_LANES - 1) / GPU_LANES) return;
    const unsigned x = v0 + run * GPU_LANES, n = min(GPU_LANES, v1 - x), width = v1 - v0;
    // A whole run with its count known when compiled, so its lane loops vectorise.
    if (n == GPU_LANES)
        column_sums_of_run(in, nx, ny, hy, x, GPU_LANES, sums + (x - v0), width);
    else
        column_sums_of_run(in, nx, ny, hy, x, n, sums + (x - v0), width);
}

// A sliding sum of column sums, the marked (NaN) ones counted apart.
struct MarkedSum {
    double sum = 0.0;
    int marked = 0;
    __device__ void add(double v) {
        if (v != v) ++marked;
        else sum += v;
    }
    __device__ void remove(double v) {
        if (v != v) --marked;
        else sum -= v;
    }
};

// Row y of the box mean over columns c_begin <= x < c_end, from the column sums
// of columns v0 on; each pixel handed to put(x, y, value, mean).
template <class Put>
__global__ void cuda_2d_box_row_means(const double* sums, int v0, unsigned width, const float* in, unsigned nx,
                                      unsigned ny, int hx, int hy, unsigned c_begin, unsigned c_end, Put put) {
    const unsigned y = thread_along_y();
    if (y >= ny) return;
    const double* row = sums + (size_t)y * width;  // row[c - v0] for image column c
    BoxWindow win{max(0, (int)c_begin - hx), min((int)nx, (int)c_begin + hx), max(0, (int)y - hy),
                  min((int)ny, (int)y + hy)};
    MarkedSum s;
    for (int c = win.c0; c < win.c1; ++c) s.add(row[c - v0]);
    const float* values = in + (size_t)y * nx;
    for (int x = (int)c_begin; x < (int)c_end; ++x) {
        if (x > (int)c_begin) {  // column x + hx - 1 enters the window, x - hx - 1 leaves it
            if (x + hx - 1 < (int)nx) s.add(row[(win.c1 = x + hx) - 1 - v0]);
            if (x - hx - 1 >= 0) s.remove(row[(win.c0 = x - hx) - 1 - v0]);
        }
        const float mean = s.marked ? direct_box_mean(in, nx, win) : (float)(s.sum / (double)win.count());
        put((unsigned)x, y, values[x], mean);
    }
}

struct StoreBoxMean {
    float* out;
    unsigned nx;
    __device__ void operator()(unsigned x, unsigned y, float, float mean) const { out[(size_t)y * nx + x] = mean; }
};

// out, of width c_end - c_begin, = value - mean.
struct StoreLessBoxMean {
    float* out;
    unsigned width, c_begin;
    __device__ void operator()(unsigned x, unsigned y, float value, float mean) const {
        out[(size_t)y * width + (x - c_begin)] = value - mean;
    }
};

template <class Put>
static void box_means(const float* in, unsigned nx, unsigned ny, int bx, int by, unsigned c_begin, unsigned c_end,
                      Put put) {
    // A half-width past the image reaches the same clipped windows as one just wide enough.
    const int hx = (int)std::min<long long>(bx / 2, nx), hy = (int)std::min<long long>(by / 2, ny);
    // Columns whose sums the windows of c_begin .. c_end - 1 take.
    const unsigned v0 = (unsigned)std::max(0, (int)c_begin - hx);
    const unsigned v1 = (unsigned)std::min<long long>(nx, (long long)c_end + hx - 1);
    const unsigned width = v1 - v0;
    double* sums = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&sums, (size_t)width * ny * sizeof(double)));
    dim3 grid, block;
    // A few runs per block on the host, so that narrow images still spread over its threads.
    launch_along_y((width + GPU_LANES - 1) / GPU_LANES, std::max(1u, 128u / GPU_LANES), grid, block);
    GPU_LAUNCH(cuda_2d_box_column_sums, grid, block, 0)(in, nx, ny, hy, v0, v1, sums);
    CUDA_LAUNCH_CHECK();
    launch_along_y(ny, 128, grid, block);
    GPU_LAUNCH(cuda_2d_box_row_means<Put>, grid, block, 0)(sums, (int)v0, width, in, nx, ny, hx, hy, c_begin, c_end,
                                                                     put);
    CUDA_LAUNCH_CHECK();
    CUDA_CHECK(cudaFree(sums));
}

void hcuda_2d_convolution_by_box(const float* in, float* out, unsigned nx, unsigned ny, int bx, int by) {
    check_box_size(__func__, bx, by);
    if (nx == 0 || ny == 0) return;
    box_means(in, nx, ny, bx, by, 0, nx, StoreBoxMean{out, nx});
}

void hcuda_2d_sub_box_mean_cols(float* out, const float* in, unsigned nx, unsigned ny, int bx, int by,
                                unsigned c_begin, unsigned c_end) {
    check_box_size(__func__, bx, by);
    if (c_end > nx) VORN_FATAL("columns %u to %u lie outside an image %u wide", c_begin, c_end, nx);
    if (ny == 0 || c_begin >= c_end) return;
    const StoreLessBoxMean put{out, c_end - c_begin, c_begin};
    const size_t n = image_size(nx, ny);
    const bool overlap = out < in + n && in < out + (size_t)put.width * ny;
    if (!overlap) {
        box_means(in, nx, ny, bx, by, c_begin, c_end, put);
        return;
    }
    // Rows of out written over in would be read by other rows' windows: read a copy.
    float* copy = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&copy, n * sizeof(float)));
    CUDA_CHECK(cudaMemcpy(copy, in, n * sizeof(float), cudaMemcpyDeviceToDevice));
    box_means(copy, nx, ny, bx, by, c_begin, c_end, put);
    CUDA_CHECK(cudaFree(copy));
}

int hcuda_2d_std_by_box(const float* in, float* out, unsigned nx, unsigned ny, int bx, int by) {
    check_box_size(__func__, bx, by);
    if (nx == 0 || ny == 0) return 0;
    GPU_LAUNCH(cuda_2d_std_by_box, gpu_grid_2d(nx, ny), gpu_block_2d(), 0)(in, out, nx, ny, bx, by);
    CUDA_LAUNCH_CHECK();
    return 0;
}

void hcuda_2d_log_subbg_boxconv_inplace(float* image, unsigned nx, unsigned ny, int box) {
    check_box_size(__func__, box, box);
    if (nx == 0 || ny == 0) return;
    float* background = nullptr;
    safe_cudaMalloc((void**)&background, image_size(nx, ny) * sizeof(float));
    hcuda_2d_logf_inplace(image, nx, ny);
    hcuda_2d_convolution_by_box(image, background, nx, ny, box, box);
    hcuda_x2d_sub_inplace(image, background, nx, ny);
    CUDA_CHECK(cudaFree(background));
}

// ---- hot pixels ----

__global__ void cuda_2d_rm_hotpixels_inplace(float* image, const float* before, unsigned nx, unsigned ny, float mean,
                                             float std, float cutoff) {
    const unsigned x = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= nx || y >= ny) return;
    const size_t at = (size_t)y * nx + x;
    if (!(fabsf(before[at] - mean) > std * cutoff)) return;
    // A neighbour past the border is the pixel itself on that axis.
    const size_t l = x > 0 ? x - 1 : x, r = x + 1 < nx ? x + 1 : x;
    const size_t u = y > 0 ? y - 1 : y, d = y + 1 < ny ? y + 1 : y;
    const float* rowu = before + u * nx;
    const float* row = before + (size_t)y * nx;
    const float* rowd = before + d * nx;
    const float sides = rowu[x] + rowd[x] + row[l] + row[r];
    const float corners = rowu[l] + rowu[r] + rowd[l] + rowd[r];
    image[at] = (2.0f * sides + corners) / 12.0f;
}

void hcuda_2ds_rm_hotpixels_inplace(float* stack, unsigned nx, unsigned ny, int nz, float cutoff) {
    const size_t n = image_size(nx, ny);
    if (n == 0 || nz <= 0) {
        printf("\n");
        return;
    }
    float *image = nullptr, *before = nullptr;
    safe_cudaMalloc((void**)&image, n * sizeof(float));
    safe_cudaMalloc((void**)&before, n * sizeof(float));
    for (int k = 0; k < nz; ++k) {
        float* host = stack + (size_t)k * n;
        printf(".");
        fflush(stdout);
        CUDA_CHECK(memcpy_H2D(image, host, n * sizeof(float)));
        const float mean = hcuda_fast_mean(image, n);
        const float std = hcuda_stdv(image, n);
        CUDA_CHECK(memcpy_D2D(before, image, n * sizeof(float)));
        GPU_LAUNCH(cuda_2d_rm_hotpixels_inplace, gpu_grid_2d(nx, ny), gpu_block_2d(), 0)(image, before, nx, ny, mean,
                                                                                         std, cutoff);
        CUDA_LAUNCH_CHECK();
        CUDA_CHECK(memcpy_D2H(host, image, n * sizeof(float)));
    }
    CUDA_CHECK(cudaFree(image));
    CUDA_CHECK(cudaFree(before));
    printf("\n");
}
