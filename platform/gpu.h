// The one header through which the units reach the GPU platform.
//
// With the cuda backend (VORN_BACKEND_CUDA) it pulls in the toolkit's runtime,
// cuFFT and cuRAND headers; otherwise the host stand-ins, which run kernels on
// the CPU. Both give the same names. On top of either it defines:
//   GPU_LAUNCH(kernel, grid, block, shared_bytes)(args...)            ordinary kernels
//   GPU_LAUNCH_BLOCKWISE(kernel, grid, block, shared_bytes)(args...)  kernels in block-phase form
//   GPU_LAUNCH_UNEVEN(kernel, grid, block, shared_bytes)(args...)     kernels whose threads cost very unequal amounts
//   GPU_PHASE_BEGIN ... GPU_PHASE_END   one stretch between two barriers
//   GPU_DYNAMIC_SHARED(type, name)      the launch's dynamic shared memory
//   GPU_LANES, gpu_lanes_f ...          neighbouring pixels computed together (SIMD on the host);
//   gpu_lanes_runs(n)                   the lane groups that cover n pixels
// Only this header and platform/ know which backend is built.
#pragma once

#if defined(VORN_BACKEND_CUDA)
#include "cuda/cuda_backend.h"
#else
#include "host/host_backend.h"
#endif

#include "npp_sum.h"

// Threads that cover n pixels of a row in lane groups.
template <class T> __host__ __device__ __forceinline__ T gpu_lanes_runs(T n) { return (n + GPU_LANES - 1) / GPU_LANES; }
