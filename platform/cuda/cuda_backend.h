// The cuda backend: the toolkit's own headers and the launch forms spelled as
// CUDA syntax. Host-only translation units (compiled by the host compiler)
// see the runtime API but no launch macros.
#pragma once
#include <cuda_runtime.h>
#include <cufft.h>
#include <curand.h>

#include "cuda_lanes.h"

#if defined(__CUDACC__)
#define GPU_LAUNCH(kernel, grid, block, shared_bytes) kernel<<<(grid), (block), (shared_bytes)>>>
#define GPU_LAUNCH_BLOCKWISE(kernel, grid, block, shared_bytes) kernel<<<(grid), (block), (shared_bytes)>>>
#define GPU_LAUNCH_UNEVEN(kernel, grid, block, shared_bytes) kernel<<<(grid), (block), (shared_bytes)>>>
#define GPU_PHASE_BEGIN { {
#define GPU_PHASE_THREADS(t, count)                                                            \
    {                                                                                         \
        const unsigned int t = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z); \
        if (t < (unsigned int)(count)) {
#define GPU_PHASE_END   } __syncthreads(); }
#define GPU_DYNAMIC_SHARED(type, name) extern __shared__ type name[]
// Launches go to the device's queue in order: nothing to share.
template <class F> void gpu_launch_together(F&& f) { f(); }
#endif
