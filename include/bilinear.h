// Bilinear sampling of a row-major float image (element y*nx + x), the one rule
// that every resampling kernel of the 2D library and its CPU twin uses:
// transforms, rotations and scaling, line projections and NCS averages; and the
// sine and cosine of an angle in degrees that every rotation of an image or a
// volume uses.
//
// A position outside [0, nx - 1] x [0, ny - 1] by more than the edge tolerance
// below has no value; so has a position that is not a number (a singular
// operator, a NaN angle or input). One outside by no more than the tolerance is
// read on the edge. Inside, the right and lower neighbours are read only when
// the fractional part is non-zero, so nothing past the last column or row is
// ever read.
#pragma once
#include <cfloat>
#include <cmath>
#include <cstddef>

#include "gpu.h"

// The sine and cosine of a turn by `degrees`, for every rotation of an image or
// a volume. The angle is reduced in double to r in [-45, 45] about a nearest
// multiple k of 90 degrees, exactly (a float less a multiple of 90 has few
// enough bits); r is turned into radians in double, rounded to float, and
// (sin r, cos r) is turned by k quarter turns by swapping and negating. So any
// number of whole turns gives back (0, 1) and a quarter turn exact zeros and
// ones, where the float radians of k turns miss 2 pi k by up to 4e-7 k and move
// far pixels off the grid. A NaN or infinite angle gives NaNs, and every
// position turned by them is outside.
__host__ __device__ __forceinline__ void sincos_degrees(float degrees, float& s, float& c) {
    double d = degrees;
    if (!(fabs(d) <= 1e9)) d = fmod(d, 360.0);  // exact; keeps k below 2^31 (NaN for NaN and infinity)
    if (d != d) {
        s = c = (float)d;
        return;
    }
    const double k = rint(d * (1.0 / 90.0));  // either neighbour at a tie: |r| stays within 45 and a rounding
    const double r = d - 90.0 * k;
    const float t = (float)(r * 3.141592653589793 / 180.0);
    const float sr = sinf(t), cr = cosf(t);
    switch ((int)k & 3) {  // k mod 4 in two's complement, for either sign
        case 0: s = sr, c = cr; break;
        case 1: s = cr, c = -sr; break;
        case 2: s = -sr, c = -cr; break;
        default: s = -cr, c = sr; break;
    }
}

// The edge tolerance of an axis of n samples. A resampled position is a float
// sum of terms as large as the grid (centre, offset, shift), so one that belongs
// on the edge lands a few ulps of n beside it, either way: a quarter turn given
// as a matrix holding cosf(pi/2) = -4.4e-8 puts sources of a 9 x 9 image at
// -4.8e-7. Turns given by angle are exact at quarter turns (sincos_degrees).
__host__ __device__ __forceinline__ float grid_edge_tolerance(unsigned n) { return 4.0f * FLT_EPSILON * (float)n; }

// The resampling rule on one axis of n samples: true for a position in
// [0, n - 1], left as it is, or outside it by no more than the edge tolerance,
// moved onto the edge; false (s untouched) farther out or for a NaN.
__host__ __device__ __forceinline__ bool grid_axis_onto(unsigned n, float& s) {
    const float last = (float)(n - 1), tol = grid_edge_tolerance(n);
    // Written so that a NaN compares false and stays outside.
    if (!(n > 0 && s >= -tol && s <= last + tol)) return false;
    if (s < 0.0f) s = 0.0f;
    if (s > last) s = last;
    return true;
}

// Both axes of an image by the resampling rule.
__host__ __device__ __forceinline__ bool bilinear_onto(unsigned nx, unsigned ny, float& sx, float& sy) {
    return grid_axis_onto(nx, sx) && grid_axis_onto(ny, sy);
}

// The strict test, [0, nx - 1] x [0, ny - 1] without the edge tolerance, for
// walks over an image whose positions are not those of a resampled grid.
__host__ __device__ __forceinline__ bool bilinear_inside(unsigned nx, unsigned ny, float sx, float sy) {
    // Written so that a NaN compares false and stays outside.
    return nx > 0 && ny > 0 && sx >= 0.0f && sy >= 0.0f && sx <= (float)(nx - 1) && sy <= (float)(ny - 1);
}

// The four neighbours and fractions of a position in [0, nx - 1] x [0, ny - 1]:
// what every image sampled at the same position shares.
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

// The value at a position in [0, nx - 1] x [0, ny - 1].
__host__ __device__ __forceinline__ float bilinear_value(const float* in, unsigned nx, unsigned ny, float sx, float sy) {
    return bilinear_value(in, bilinear_taps(nx, ny, sx, sy));
}

// v = the value at (sx, sy) and true, or false (v untouched) outside.
__host__ __device__ __forceinline__ bool bilinear_sample(const float* in, unsigned nx, unsigned ny, float sx, float sy,
                                                         float& v) {
    if (!bilinear_onto(nx, ny, sx, sy)) return false;
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
