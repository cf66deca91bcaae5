// Lanes on a GPU: one pixel per thread, so a lane group is a single float (see
// platform/host/host_lanes.h for the contract). The maths are the device functions.
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
__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_index(unsigned int first) { return (float)first; }
__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_load(const float* p, unsigned int n) {
    return n > 0 ? *p : 0.0f;
}
typedef bool gpu_lanes_m;
__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_select(gpu_lanes_m m, gpu_lanes_f a, gpu_lanes_f b) {
    return m ? a : b;
}
__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_fabs(gpu_lanes_f v) { return fabsf(v); }
__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_floor(gpu_lanes_f v) { return floorf(v); }
__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_gather(const float* p, gpu_lanes_f i) { return p[(int)i]; }
__host__ __device__ __forceinline__ void gpu_lanes_gather_pair(const float* p, gpu_lanes_f i, gpu_lanes_f& a,
                                                              gpu_lanes_f& b) {
    a = p[(int)i];
    b = p[(int)i + 1];
}
__host__ __device__ __forceinline__ void gpu_lanes_store_quads(float* p, unsigned int, gpu_lanes_f a, gpu_lanes_f b,
                                                              gpu_lanes_f c, gpu_lanes_f d) {
    p[0] = a;
    p[1] = b;
    p[2] = c;
    p[3] = d;
}
__host__ __device__ __forceinline__ void gpu_lanes_gather_quad(const float* p, gpu_lanes_f i, gpu_lanes_f& a,
                                                              gpu_lanes_f& b, gpu_lanes_f& c, gpu_lanes_f& d) {
    a = p[(int)i];
    b = p[(int)i + 1];
    c = p[(int)i + 2];
    d = p[(int)i + 3];
}
struct gpu_quad {
    float v[4];
};
__host__ __device__ __forceinline__ gpu_quad gpu_quad_load(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
__host__ __device__ __forceinline__ void gpu_quad_store(float* p, const gpu_quad& q) {
    for (int i = 0; i < 4; ++i) p[i] = q.v[i];
}
__host__ __device__ __forceinline__ gpu_quad operator+(const gpu_quad& a, const gpu_quad& b) {
    return {{a.v[0] + b.v[0], a.v[1] + b.v[1], a.v[2] + b.v[2], a.v[3] + b.v[3]}};
}
__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_sin(gpu_lanes_f v) { return sinf(v); }
__host__ __device__ __forceinline__ void gpu_lanes_sincos(gpu_lanes_f v, gpu_lanes_f& s, gpu_lanes_f& c) {
    sincosf(v, &s, &c);
}
__host__ __device__ __forceinline__ gpu_lanes_f gpu_lanes_exp(gpu_lanes_f v) { return expf(v); }
