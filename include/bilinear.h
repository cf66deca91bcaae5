// Bilinear sampling of a row-major float image (element y*nx + x), the one rule
// that every resampling kernel of the 2D library and its CPU twin uses:
// transforms, rotations and scaling, line projections and NCS averages.
//
// A position outside [0, nx - 1] x [0, ny - 1] has no value; so has a position
// that is not a number (a singular operator, a NaN angle or input). Inside, the
// right and lower neighbours are read only when the fractional part is non-zero,
// so nothing past the last column or row is ever read.
#pragma once
#include <cstddef>

#include "gpu.h"

__host__ __device__ __forceinline__ bool bilinear_inside(unsigned nx, unsigned ny, float sx, float sy) {
    // Written so that a NaN compares false and stays outside.
    return nx > 0 && ny > 0 && sx >= 0.0f && sy >= 0.0f && sx <= (float)(nx - 1) && sy <= (float)(ny - 1);
}

// The four neighbours and fractions of an inside position: what every image
// sampled at the same position shares.
struct BilinearTaps {
    size_t i00, i10, i01, i11;
    float fx, fy;
};
__host__ __device__ __forceinline__ BilinearTaps bilinear_taps(unsigned nx, unsigned ny, float sx, float sy) {
    // Positions are exact below 2^24 pixels; beyond, (float)(nx - 1) may round up,
    // and the clamp keeps the truncated index inside. An inside position is below
    // 2^32, where the 32-bit conversion is one instruction and the 64-bit one a branch.
    size_t ix = (unsigned)sx, iy = (unsigned)sy;
    if (ix > nx - 1) ix = nx - 1;
    if (iy > ny - 1) iy = ny - 1;
    const float fx = sx - (float)ix, fy = sy - (float)iy;
    const size_t x1 = (fx != 0.0f && ix + 1 < nx) ? ix + 1 : ix;
    const size_t y1 = (fy != 0.0f && iy + 1 < ny) ? iy + 1 : iy;
    return {iy * nx + ix, iy * nx + x1, y1 * nx + ix, y1 * nx + x1, fx, fy};
}

// The value at the taps, evaluated in float in the order
// p00 + fx(p10 - p00) + fy(p01 - p00) + fy fx (p00 + p11 - p10 - p01).
__host__ __device__ __forceinline__ float bilinear_value(const float* in, const BilinearTaps& t) {
    const float p00 = in[t.i00], p10 = in[t.i10], p01 = in[t.i01], p11 = in[t.i11];
    return p00 + t.fx * (p10 - p00) + t.fy * (p01 - p00) + t.fy * t.fx * (p00 + p11 - p10 - p01);
}

// The value at an inside position.
__host__ __device__ __forceinline__ float bilinear_value(const float* in, unsigned nx, unsigned ny, float sx, float sy) {
    return bilinear_value(in, bilinear_taps(nx, ny, sx, sy));
}

// v = the value at (sx, sy) and true, or false (v untouched) outside.
__host__ __device__ __forceinline__ bool bilinear_sample(const float* in, unsigned nx, unsigned ny, float sx, float sy,
                                                         float& v) {
    if (!bilinear_inside(nx, ny, sx, sy)) return false;
    v = bilinear_value(in, nx, ny, sx, sy);
    return true;
}

// The value at (sx, sy), 0 outside.
__host__ __device__ __forceinline__ float bilinear_sample_or_zero(const float* in, unsigned nx, unsigned ny, float sx,
                                                                  float sy) {
    float v = 0.0f;
    bilinear_sample(in, nx, ny, sx, sy, v);
    return v;
}
