// Lanes on a GPU: one pixel per thread, so a lane group is a single float (see
// platform/host/host_lanes.h for the contract).
#pragma once

constexpr unsigned int GPU_LANES = 1;
typedef float gpu_lanes_f;

__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_load(const float* p) { return *p; }
__host__ __device__ __forceinline__ void gpu_lanes_store(float* p, gpu_lanes_f v, unsigned int n) {
    if (n > 0) *p = v;
}
__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_from(const float* a) { return *a; }
__host__ __device__ __forceinline__ void gpu_lanes_load_complex(const float2* z, gpu_lanes_f& re, gpu_lanes_f& im) {
    re = z->x;
    im = z->y;
}
__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_sqrt(gpu_lanes_f v) { return sqrtf(v); }
