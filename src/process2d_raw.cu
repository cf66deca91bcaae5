// Box extraction and pasting between large and small images.
#define VORN_UNIT "src/process2d_raw"
#include "process2d_raw.h"

#include <cstring>

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

static size_t image_size(int nx, int ny) { return (size_t)nx * (size_t)ny; }

// ---- extraction ----

__global__ void cuda_2d_extract_small_from_large(float* small, int snx, int sny, const float* large, int lnx, int lny,
                                                 int x0, int y0) {
    int x, y;
    if (!small_pixel(snx, sny, x, y)) return;
    const long long l = large_index(x, y, x0, y0, lnx, lny);
    small[(size_t)y * snx + x] = l >= 0 ? large[l] : 0.0f;
}

void hcuda_2d_extract_small_from_large(float* small, int snx, int sny, const float* large, int lnx, int lny, int x0,
                                       int y0) {
    if (snx <= 0 || sny <= 0) return;
    GPU_LAUNCH(cuda_2d_extract_small_from_large, gpu_grid_2d(snx, sny), gpu_block_2d(), 0)(small, snx, sny, large,
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
