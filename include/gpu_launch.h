// Checked launches of one-thread-per-element kernels, shared by the GPU units.
// Nothing is launched for zero elements (a grid of zero blocks is a launch
// error); otherwise the launch status and the device synchronisation are
// checked with the GPU check line of the calling unit and line (GPU_SITE).
// Included by .cu units only: it launches kernels.
#pragma once
#include "cuda_general.h"

// n elements, blocks of 1024 threads.
template <auto Kernel, class... A>
void gpu_launch_1d(GpuSite at, size_t n, const A&... args) {
    if (n == 0) return;
    GPU_LAUNCH(Kernel, gpu_blocks_1d(n), GPU_THREADS_1D, 0)(args...);
    gpu_check_launch(at);
}

// An nx x ny image, blocks of 32 x 32 threads.
template <auto Kernel, class... A>
void gpu_launch_2d(GpuSite at, unsigned nx, unsigned ny, const A&... args) {
    if (nx == 0 || ny == 0) return;
    GPU_LAUNCH(Kernel, gpu_grid_2d(nx, ny), gpu_block_2d(), 0)(args...);
    gpu_check_launch(at);
}
