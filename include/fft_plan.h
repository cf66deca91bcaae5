// One cuFFT plan serving a run of transforms of one size, for the units that
// transform stacks frame by frame. Failures print the GPU check line of the
// calling unit and line (GPU_SITE). Included by .cu units only.
#pragma once
#include "cuda_general.h"

// A 2D plan for nx x ny images (cuFFT takes the row count first).
inline cufftHandle fft_plan_2d(GpuSite at, unsigned nx, unsigned ny, cufftType type) {
    cufftHandle plan;
    cufft_check((int)cufftPlan2d(&plan, (int)ny, (int)nx, type), at.line, at.unit);
    return plan;
}

// Transforms count device images, image_of(k), one after another through one
// real-to-complex plan and one scratch half spectrum, and hands each unscaled
// spectrum to use(k, spectrum). Nothing happens for an empty image or count.
template <class ImageOf, class Use>
void fft_r2c_each(GpuSite at, unsigned nx, unsigned ny, size_t count, ImageOf image_of, Use use) {
    if (nx == 0 || ny == 0 || count == 0) return;
    float2* spectrum = nullptr;
    gpu_check(cudaMalloc((void**)&spectrum, (size_t)(nx / 2 + 1) * ny * sizeof(float2)), at.line, at.unit);
    const cufftHandle plan = fft_plan_2d(at, nx, ny, CUFFT_R2C);
    for (size_t k = 0; k < count; ++k) {
        cufft_check((int)cufftExecR2C(plan, image_of(k), spectrum), at.line, at.unit);
        gpu_check(cudaDeviceSynchronize(), at.line, at.unit);
        use(k, spectrum);
    }
    cufft_check((int)cufftDestroy(plan), at.line, at.unit);
    gpu_check(cudaFree(spectrum), at.line, at.unit);
}
