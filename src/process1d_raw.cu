// 1D arrays: index fills on the GPU and the CPU, random host arrays.
#define VORN_UNIT "src/process1d_raw"
#include "process1d_raw.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cuda_general.h"
#include "gpu_launch.h"
#include "random_utils.h"

__global__ void cuda_1d_auto0123(float* d, size_t n) {
    const size_t i = (size_t)blockIdx.x * blockDim.x + threadIdx.x;  // 64-bit: no wrap past 2^31 elements
    if (i < n) d[i] = (float)i;
}

void hcuda_1d_auto0123(float* d, size_t n) { gpu_launch_1d<cuda_1d_auto0123>(GPU_SITE, n, d, n); }

void gpu_1d_auto0123(float* h, size_t n) {
    if (n == 0) return;
    float* d = nullptr;
    const cudaError_t status = cudaMalloc((void**)&d, n * sizeof(float));
    if (status != cudaSuccess) {
        std::fprintf(stderr, "Error %s at line %d in file %s: device memory allocation failed\n",
                     cudaGetErrorString(status), __LINE__, VORN_UNIT);
        std::exit(1);
    }
    hcuda_1d_auto0123(d, n);
    CUDA_CHECK(memcpy_D2H(h, d, n * sizeof(float)));
    CUDA_CHECK(cudaFree(d));
}

void cpu_1d_auto0123(float* h, size_t n) {
    for (size_t i = 0; i < n; ++i) h[i] = (float)i;
}

Raw1D random_Raw1d(size_t n, float lo, float hi) {
    // The record's count is 32-bit: a larger array would be described as a smaller one.
    if (n > UINT32_MAX) VORN_FATAL("%zu elements do not fit the 32-bit count of a Raw1D", n);
    Raw1D r;
    r.data = (float*)std::malloc((n > 0 ? n : 1) * sizeof(float));
    if (r.data == nullptr) VORN_FATAL("Host memory allocation failed");
    random_data_f32(r.data, n, lo, hi);
    r.owns_data = true;
    r.n = (unsigned int)n;
    return r;
}
