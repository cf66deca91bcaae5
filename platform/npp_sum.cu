// Sum of a device float vector: per-block partial sums into the scratch
// buffer, then one block adds the partials into the result.
#include "gpu.h"

namespace {

constexpr int kThreads = 256;
constexpr int kMaxBlocks = 256;

__global__ void npp_block_sums(const float* src, int n, float* partial) {
    __shared__ float s[kThreads];
    GPU_PHASE_BEGIN
        float acc = 0.0f;
        for (long long i = (long long)blockIdx.x * kThreads + threadIdx.x; i < n; i += (long long)gridDim.x * kThreads)
            acc += src[i];
        s[threadIdx.x] = acc;
    GPU_PHASE_END
    for (unsigned int w = kThreads / 2; w > 0; w >>= 1) {
        GPU_PHASE_BEGIN
            if (threadIdx.x < w) s[threadIdx.x] += s[threadIdx.x + w];
        GPU_PHASE_END
    }
    GPU_PHASE_BEGIN
        if (threadIdx.x == 0) partial[blockIdx.x] = s[0];
    GPU_PHASE_END
}

int block_count(int n) { return n / kThreads + 1 < kMaxBlocks ? n / kThreads + 1 : kMaxBlocks; }

bool launch_succeeded() {
    cudaError_t launch = cudaGetLastError();
    cudaError_t sync = cudaDeviceSynchronize();
    return launch == cudaSuccess && sync == cudaSuccess;
}

}  // namespace

NppStatus nppsSumGetBufferSize_32f(int nLength, int* hpBufferSize) {
    if (hpBufferSize == nullptr) return NPP_NULL_POINTER_ERROR;
    if (nLength < 0) return NPP_SIZE_ERROR;
    *hpBufferSize = kMaxBlocks * (int)sizeof(float);
    return NPP_SUCCESS;
}

NppStatus nppsSum_32f(const Npp32f* pSrc, int nLength, Npp32f* pSum, Npp8u* pDeviceBuffer) {
    if (pSrc == nullptr || pSum == nullptr || pDeviceBuffer == nullptr) return NPP_NULL_POINTER_ERROR;
    if (nLength <= 0) return NPP_SIZE_ERROR;
    float* partial = reinterpret_cast<float*>(pDeviceBuffer);
    const int blocks = block_count(nLength);
    GPU_LAUNCH_BLOCKWISE(npp_block_sums, blocks, kThreads, 0)(pSrc, nLength, partial);
    if (!launch_succeeded()) return NPP_CUDA_KERNEL_EXECUTION_ERROR;
    GPU_LAUNCH_BLOCKWISE(npp_block_sums, 1, kThreads, 0)(static_cast<const float*>(partial), blocks, pSum);
    if (!launch_succeeded()) return NPP_CUDA_KERNEL_EXECUTION_ERROR;
    return NPP_SUCCESS;
}
