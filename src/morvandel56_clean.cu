// What the picker keeps out of a micrograph's correlation: hot pixels, mended
// as the micrograph is shrunk, and the areas the run leaves out (ice,
// contamination, excluded boxes), faded to the kept area's level across a soft
// edge.
#define VORN_UNIT "src/morvandel56"
#include "morvandel56.h"

#include <cmath>

#include "cuda_general.h"
#include "gpu_launch.h"

// ---- hot pixels ----

namespace {

// The up to eight neighbours of pixel (x, y) within the image, in ascending order; their count.
__device__ int sorted_neighbours(const float* in, int nx, int ny, int x, int y, float (&v)[8]) {
    int n = 0;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const int u = x + dx, w = y + dy;
            if ((dx == 0 && dy == 0) || u < 0 || w < 0 || u >= nx || w >= ny) continue;
            const float a = in[(size_t)w * nx + u];
            int k = n++;
            for (; k > 0 && v[k - 1] > a; --k) v[k] = v[k - 1];
            v[k] = a;
        }
    return n;
}

// Pixel (x, y) as the shrink should see it: the median of its neighbours when
// it lies beyond bound from centre and from all but two of its neighbours on
// the same side (a hot pixel, or two side by side), else itself. A pixel of a
// feature, however strong, has at least three neighbours like it.
__device__ float mended_pixel(const float* in, int nx, int ny, int x, int y, float centre, float bound) {
    const float p = in[(size_t)y * nx + x];
    if (!(fabsf(p - centre) > bound)) return p;
    float v[8];
    const int n = sorted_neighbours(in, nx, ny, x, y, v);
    if (n == 0) return p;
    const int spare = n > 2 ? 2 : n - 1;  // neighbours that may be hot themselves
    const bool hot = p > centre ? p - v[n - 1 - spare] > bound : v[spare] - p > bound;
    if (!hot) return p;
    return n % 2 != 0 ? v[n / 2] : 0.5f * (v[n / 2 - 1] + v[n / 2]);
}

}  // namespace

__global__ void cuda_2d_meanshrink_mend_hot(const float* in, float* out, int nx, int ny, int f, float centre,
                                            float bound) {
    const int w = nx / f, h = ny / f;
    const int x = (int)(blockIdx.x * blockDim.x + threadIdx.x), y = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= w || y >= h) return;
    const int x0 = x * f, y0 = y * f;
    bool hot = false;
    for (int v = y0; v < y0 + f && !hot; ++v)
        for (int u = x0; u < x0 + f && !hot; ++u)
            hot = mended_pixel(in, nx, ny, u, v, centre, bound) != in[(size_t)v * nx + u];
    if (!hot) return;  // the plain shrink's mean stands
    double sum = 0.0;
    for (int v = y0; v < y0 + f; ++v)
        for (int u = x0; u < x0 + f; ++u) sum += mended_pixel(in, nx, ny, u, v, centre, bound);
    out[(size_t)y * w + x] = (float)(sum / ((double)f * f));
}

void hcuda_2d_meanshrink_mend_hot(const float* in, float* out, int nx, int ny, int f, float centre, float bound) {
    if (f <= 0 || nx / f <= 0 || ny / f <= 0 || !(bound > 0.0f)) return;
    gpu_launch_2d<cuda_2d_meanshrink_mend_hot>(GPU_SITE, (unsigned)(nx / f), (unsigned)(ny / f), in, out, nx, ny, f,
                                               centre, bound);
}

// ---- the areas left out ----

namespace {

// Distance from (x, y) in rejected cell (i, j) to the nearest pixel of the
// kept neighbour cell (i + di, j + dj) along one axis: 0 on the same row or column.
__device__ int gap_to(int d, int p, int i, int e) { return d < 0 ? p - i * e + 1 : d > 0 ? (i + 1) * e - p : 0; }

}  // namespace

__global__ void cuda_2d_generate_soft_mask_by_coords(float* mask, int nx, int ny, int gx, int gy, int e,
                                                     const unsigned* idx, float width) {
    const int x = (int)(blockIdx.x * blockDim.x + threadIdx.x), y = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= nx || y >= ny) return;
    const int i = x / e, j = y / e;
    float weight = 1.0f;
    if (idx[j * gx + i] != 0) {
        float d2 = width * width;
        for (int dj = -1; dj <= 1; ++dj)
            for (int di = -1; di <= 1; ++di) {
                const int a = i + di, b = j + dj;
                if (a < 0 || b < 0 || a >= gx || b >= gy || idx[b * gx + a] != 0) continue;
                const float gx_ = (float)gap_to(di, x, i, e), gy_ = (float)gap_to(dj, y, j, e);
                d2 = fminf(d2, gx_ * gx_ + gy_ * gy_);
            }
        weight = d2 < width * width ? 0.5f * (1.0f + cosf(3.14159265f * sqrtf(d2) / width)) : 0.0f;
    }
    mask[(size_t)y * nx + x] = weight;
}

int hcuda_2d_generate_soft_mask_by_coords(float* mask_d, int nx, int ny, int e, const unsigned* idx_d, float width) {
    if (e <= 0) VORN_FATAL("the ice cell side must be at least 1 pixel, not %d", e);
    const float w = fminf(fmaxf(width, 1.0f), (float)e);
    gpu_launch_2d<cuda_2d_generate_soft_mask_by_coords>(GPU_SITE, (unsigned)nx, (unsigned)ny, mask_d, nx, ny,
                                                        grid_cells(nx, e), grid_cells(ny, e), e, idx_d, w);
    return 0;
}
