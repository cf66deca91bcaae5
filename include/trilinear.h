// Trilinear sampling of a float volume (element (z*ny + y)*nx + x), the one rule
// of every volume resampler, projector and symmetry operation and of their CPU
// twins: the bilinear rule of bilinear.h in each z plane, blended along z.
//
// A position outside [0, nx - 1] x [0, ny - 1] x [0, nz - 1] by more than the
// edge tolerance of bilinear.h has no value; so has a position that is not a
// number (a singular operator, a NaN angle). One outside by no more than the
// tolerance is read on the edge. Inside, an upper neighbour is read only where
// the fractional part is non-zero, so nothing past the last plane on any axis is
// ever read. Offsets are 64-bit.
#pragma once
#include <cstddef>

#include "bilinear.h"
#include "gpu.h"

// All three axes by the resampling rule: true with a position let in by the
// edge tolerance moved onto the edge; false outside.
__host__ __device__ __forceinline__ bool trilinear_onto(unsigned nx, unsigned ny, unsigned nz, float& sx, float& sy,
                                                        float& sz) {
    return bilinear_onto(nx, ny, sx, sy) && grid_axis_onto(nz, sz);
}
__host__ __device__ __forceinline__ bool trilinear_inside(unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                                          float sz) {
    return trilinear_onto(nx, ny, nz, sx, sy, sz);
}

// The neighbours and fractions of a position: the bilinear taps of its xy
// position, the offsets of its two z planes and the z fraction. Every volume of
// the same size sampled at the same position shares them.
struct TrilinearTaps {
    BilinearTaps xy;
    size_t plane0, plane1;
    float fz;
};
// Of a position in [0, nx - 1] x [0, ny - 1] x [0, nz - 1].
__host__ __device__ __forceinline__ TrilinearTaps trilinear_taps_on_grid(unsigned nx, unsigned ny, unsigned nz,
                                                                         float sx, float sy, float sz) {
    size_t iz = (unsigned)sz;
    if (iz > nz - 1) iz = nz - 1;
    const float fz = sz - (float)iz;
    const size_t z1 = (fz != 0.0f && iz + 1 < nz) ? iz + 1 : iz;
    const size_t plane = (size_t)nx * ny;
    return {bilinear_taps(nx, ny, sx, sy), iz * plane, z1 * plane, fz};
}
// Of a position trilinear_inside accepts: one it lets in by the edge tolerance
// is read on the edge.
__host__ __device__ __forceinline__ TrilinearTaps trilinear_taps(unsigned nx, unsigned ny, unsigned nz, float sx,
                                                                 float sy, float sz) {
    trilinear_onto(nx, ny, nz, sx, sy, sz);
    return trilinear_taps_on_grid(nx, ny, nz, sx, sy, sz);
}

// (1 - fz) P0 + fz P1, each plane value Pk by the bilinear rule.
__host__ __device__ __forceinline__ float trilinear_value(const float* v, const TrilinearTaps& t) {
    const float p0 = bilinear_value(v + t.plane0, t.xy), p1 = bilinear_value(v + t.plane1, t.xy);
    return (1.0f - t.fz) * p0 + t.fz * p1;
}

// The value at (sx, sy, sz), 0 outside.
__host__ __device__ __forceinline__ float trilinear_sample_or_zero(const float* v, unsigned nx, unsigned ny,
                                                                   unsigned nz, float sx, float sy, float sz) {
    if (!trilinear_onto(nx, ny, nz, sx, sy, sz)) return 0.0f;
    return trilinear_value(v, trilinear_taps_on_grid(nx, ny, nz, sx, sy, sz));
}

// The nearest voxel of a coordinate: rounded half away from zero, in double.
__host__ __device__ __forceinline__ size_t nearest_voxel_index(float s) {
    const double v = (double)s;
    return (size_t)(long long)(v > 0.0 ? v + 0.5 : v - 0.5);
}

// The value of the nearest voxel at (sx, sy, sz), 0 outside.
__host__ __device__ __forceinline__ float nearest_sample_or_zero(const float* v, unsigned nx, unsigned ny, unsigned nz,
                                                                 float sx, float sy, float sz) {
    if (!trilinear_onto(nx, ny, nz, sx, sy, sz)) return 0.0f;
    return v[(nearest_voxel_index(sz) * ny + nearest_voxel_index(sy)) * nx + nearest_voxel_index(sx)];
}
