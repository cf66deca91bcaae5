// The volume conventions of the library, written once for every volume
// operation (transforms, projection and backprojection, symmetry expansion and
// NCS averaging) and their CPU twins.
//
// - Layout: Nx*Ny*Nz floats, x fastest, then y, then z: voxel (x, y, z) is
//   element (z*Ny + y)*Nx + x, formed in 64 bits. Sizes are unsigned 32-bit.
// - Centre: (N - 1)/2 per axis. Callers that take sizes from a file pass it
//   computed in double and rounded to float (volume_centre); the auto-centre
//   kernel forms (N - 1)*0.5 in float (volume_centre_f). Both agree below 2^24.
// - Euler matrix E(rot, tilt, psi), angles in degrees, each sine and cosine by
//   sincos_degrees (bilinear.h), exact at quarter and whole turns:
//   E = Rz(psi) Ry(tilt) Rz(rot), Rz(a) = [[cos a, sin a, 0], [-sin a, cos a, 0],
//   [0, 0, 1]], Ry(b) = [[cos b, 0, sin b], [0, 1, 0], [-sin b, 0, cos b]]. Its
//   inverse is always built as E(-psi, -tilt, -rot), its transpose.
// - Direction flag: -1 means the matrix maps an output position to the source
//   position read; any other value means the map is inverted first, so the
//   matrix moves the content (an input voxel at s lands at R(s - c) + c + T).
//   A rotation by Euler angles uses E(rot, tilt, psi) for -1 and
//   E(-psi, -tilt, -rot) otherwise.
// - Source of output voxel p: s = A (p - c) + T + c, A and T the map after the
//   direction flag; sampled by the trilinear rule of trilinear.h (no value
//   outside, and a position that is not a number is outside).
// - Projection along z and backprojection: the projector with flag d sums
//   s = A_d (p - c) + c over z; the backprojector that undoes it must map a voxel
//   q to the pixel A_d^T (q - c) + c whose ray passes through q, which is the
//   backprojector's own map for the opposite flag (backprojection_direction).
#pragma once
#include <cstddef>

#include "gpu.h"
#include "sym.h"
#include "trilinear.h"

// ---- layout ----
__host__ __device__ __forceinline__ size_t volume_voxels(unsigned Nx, unsigned Ny, unsigned Nz) {
    return (size_t)Nx * Ny * Nz;
}
__host__ __device__ __forceinline__ size_t voxel_element(unsigned x, unsigned y, unsigned z, unsigned Nx, unsigned Ny) {
    return ((size_t)z * Ny + y) * Nx + x;
}

// ---- centre ----
__host__ __device__ __forceinline__ float volume_centre(unsigned n) { return (float)(((double)n - 1.0) * 0.5); }
__host__ __device__ __forceinline__ float volume_centre_f(unsigned n) { return ((float)n - 1.0f) * 0.5f; }

// ---- Euler matrix ----
// E(rot, tilt, psi) as the rotation of a rigid map with no shift.
__host__ __device__ __forceinline__ RT_Mat3D euler_matrix(float rot, float tilt, float psi) {
    float c1, s1, c2, s2, c3, s3;
    sincos_degrees(rot, s1, c1);
    sincos_degrees(tilt, s2, c2);
    sincos_degrees(psi, s3, c3);
    RT_Mat3D m;
    m.R11 = c1 * c2 * c3 - s1 * s3;
    m.R12 = s1 * c2 * c3 + c1 * s3;
    m.R13 = s2 * c3;
    m.R21 = -c1 * c2 * s3 - s1 * c3;
    m.R22 = -s1 * c2 * s3 + c1 * c3;
    m.R23 = -s2 * s3;
    m.R31 = -c1 * s2;
    m.R32 = -s1 * s2;
    m.R33 = c2;
    m.Tx = m.Ty = m.Tz = 0.0f;
    return m;
}

// ---- direction flag ----
__host__ __device__ __forceinline__ RT_Mat3D euler_map(float rot, float tilt, float psi, int direction) {
    return direction == -1 ? euler_matrix(rot, tilt, psi) : euler_matrix(-psi, -tilt, -rot);
}
// R and T as given for -1, else R^-1 and -R^-1 T (in float; a singular R gives
// non-finite positions, which sample as outside).
__host__ __device__ __forceinline__ RT_Mat3D rigid_map(RT_Mat3D m, int direction) {
    return direction == -1 ? m : rt_mat3d_inverse(m);
}
// The backprojector's flag whose map is the transpose of the projector's map
// under flag d: -1 for every d other than -1, and 1 for -1.
__host__ __device__ __forceinline__ int backprojection_direction(int projection_direction) {
    return projection_direction == -1 ? 1 : -1;
}

// ---- source positions ----
// s = A (p - c) + T + c, evaluated per component in this order in float.
struct VolumeMap {
    RT_Mat3D a;
    float cx, cy, cz;
    __host__ __device__ __forceinline__ float3 source(float x, float y, float z) const {
        const float dx = x - cx, dy = y - cy, dz = z - cz;
        return make_float3(a.R11 * dx + a.R12 * dy + a.R13 * dz + a.Tx + cx,
                           a.R21 * dx + a.R22 * dy + a.R23 * dz + a.Ty + cy,
                           a.R31 * dx + a.R32 * dy + a.R33 * dz + a.Tz + cz);
    }
};
__host__ __device__ __forceinline__ VolumeMap volume_map(RT_Mat3D a, float cx, float cy, float cz) {
    return VolumeMap{a, cx, cy, cz};
}

__host__ __device__ __forceinline__ float volume_sample_or_zero(const float* v, unsigned Nx, unsigned Ny, unsigned Nz,
                                                                float3 s) {
    return trilinear_sample_or_zero(v, Nx, Ny, Nz, s.x, s.y, s.z);
}
