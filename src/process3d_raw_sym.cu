// Symmetry expansion of a masked subunit through a list of rigid operators and
// NCS averaging of a map through them, on the shared trilinear rule: kernels,
// device-array and host-array forms, CPU twins and the debug traces.
#define VORN_UNIT "src/process3d_raw"
#include "process3d_raw.h"

#include <cstdio>
#include <cstdlib>

#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "math_utils.h"
#include "math_utils_gpu.h"
#include "mrcfile.h"
#include "process2d_core.h"

namespace {

// ---- expansion ----

// The subunit's frame: sizes and the output position of its voxel 0.
struct Subunit {
    const float* v;
    const float* mask;
    unsigned nx, ny, nz;
    float sx, sy, sz;
};

// The source of output voxel p in subunit voxels: R (p - c) + T + c - origin.
__host__ __device__ __forceinline__ float3 subunit_source(const VolumeMap& m, const Subunit& s, unsigned x, unsigned y,
                                                          unsigned z) {
    const float3 q = m.source((float)x, (float)y, (float)z);
    return make_float3(q.x - s.sx, q.y - s.sy, q.z - s.sz);
}

// Full weight replaces, a partial weight blends over what is there, no weight
// (0, negative or not a number) leaves the output alone.
__host__ __device__ __forceinline__ void blend_into(float& out, float m, float v) {
    if (m >= SYM_FULL_WEIGHT) out = v;
    else if (m > 0.0f) out = (1.0f - m) * out + m * v;
}

// One output voxel under one operator; false when its source lies outside the
// subunit, else true with w the mask value sampled there.
__host__ __device__ __forceinline__ bool expand_voxel(float& out, const VolumeMap& m, const Subunit& s, unsigned x,
                                                      unsigned y, unsigned z, float& w) {
    float3 p = subunit_source(m, s, x, y, z);
    if (!trilinear_onto(s.nx, s.ny, s.nz, p.x, p.y, p.z)) return false;
    const TrilinearTaps t = trilinear_taps_on_grid(s.nx, s.ny, s.nz, p.x, p.y, p.z);
    w = trilinear_value(s.mask, t);
    blend_into(out, w, trilinear_value(s.v, t));
    return true;
}

// Thread (x, y) of a 2D launch walks z over [z0, z1); out holds the voxels of
// those planes, plane z0 first.
__device__ __forceinline__ void expand_columns(float* out, unsigned Nx, unsigned Ny, unsigned z0, unsigned z1,
                                               const VolumeMap& m, const Subunit& s) {
    const uint2 t = IMAGE_THREAD_XY;
    if (t.x >= Nx || t.y >= Ny) return;
    float w;
    for (unsigned z = z0; z < z1; ++z) expand_voxel(out[voxel_element(t.x, t.y, z - z0, Nx, Ny)], m, s, t.x, t.y, z, w);
}

// ---- NCS ----

// Output voxel o adds the map at R (o + offset - m) + T + m, weighted by mask[o].
__host__ __device__ __forceinline__ void ncs_voxel(float* out, const float* mask, unsigned Nx, unsigned Ny, float ox,
                                                   float oy, float oz, const float* map, unsigned nx, unsigned ny,
                                                   unsigned nz, const VolumeMap& m, unsigned x, unsigned y,
                                                   unsigned z) {
    const size_t i = voxel_element(x, y, z, Nx, Ny);
    const float w = mask[i];
    if (!(w > 0.0f)) return;  // masked out: nothing to sample
    float3 q = m.source((float)x + ox, (float)y + oy, (float)z + oz);
    if (!trilinear_onto(nx, ny, nz, q.x, q.y, q.z)) return;
    const float v = trilinear_value(map, trilinear_taps_on_grid(nx, ny, nz, q.x, q.y, q.z));
    out[i] += w >= SYM_FULL_WEIGHT ? v : w * v;
}

void print_operator(const RT_Mat3D& o) {
    std::printf("%10.6f%10.6f%10.6f%10.6f%10.6f%10.6f%10.6f%10.6f%10.6f%10.6f%10.6f%10.6f\n\n", o.R11, o.R12, o.R13,
                o.R21, o.R22, o.R23, o.R31, o.R32, o.R33, o.Tx, o.Ty, o.Tz);
}

// one(op) for each operator in list order, each printed after its pass.
template <class One>
void each_operator_printed(const RT_Mat3D* ops, unsigned count, One one) {
    for (unsigned k = 0; k < count; ++k) {
        one(ops[k]);
        print_operator(ops[k]);
    }
}

}  // namespace

// ================= expansion kernels =================

__global__ void cuda_3d_sym_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                                      const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                      float sz, const float* mask, RT_Mat3D op) {
    expand_columns(out, Nx, Ny, 0, Nz, volume_map(op, cx, cy, cz), Subunit{sub, mask, nx, ny, nz, sx, sy, sz});
}
__global__ void cuda_3d_sym_expansion_oneslice(float* out, unsigned Nx, unsigned Ny, unsigned z, float cx, float cy,
                                               float cz, const float* sub, unsigned nx, unsigned ny, unsigned nz,
                                               float sx, float sy, float sz, const float* mask, RT_Mat3D op) {
    expand_columns(out, Nx, Ny, z, z + 1, volume_map(op, cx, cy, cz), Subunit{sub, mask, nx, ny, nz, sx, sy, sz});
}
__global__ void cuda_3d_sym_expansion3_debug(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                                             float cz, const float* sub, unsigned nx, unsigned ny, unsigned nz,
                                             float sx, float sy, float sz, const float* mask, RT_Mat3D op) {
    const uint2 t = IMAGE_THREAD_XY;
    const VolumeMap m = volume_map(op, cx, cy, cz);
    const Subunit s{sub, mask, nx, ny, nz, sx, sy, sz};
    if (t.x == 0 && t.y == 0) {
        const float3 p = subunit_source(m, s, 0, 0, 0);
        printf("raw_sx, raw_sy, raw_sz %f, %f, %f \n", p.x, p.y, p.z);
    }
    expand_columns(out, Nx, Ny, 0, Nz, m, s);
}
__global__ void cuda_3d_sym_expansion2_debug(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                                             float cz, const float*, unsigned, unsigned, unsigned, float, float, float,
                                             const float*, const RT_Mat3D* ops, unsigned count) {
    const uint2 t = IMAGE_THREAD_XY;
    if (count == 0 || t.x >= Nx || t.y >= Ny) return;
    const RT_Mat3D o = ops[0];
    if (t.x == 0 && t.y == 0)
        printf("         R11         R12         R13         \n         R21         R22         R23         \n"
               "         R31         R32         R33         \n         Tx          Ty          Tz\n"
               "%15.8f%15.8f%15.8f\n%15.8f%15.8f%15.8f\n%15.8f%15.8f%15.8f\n%15.8f%15.8f%15.8f\n\n",
               o.R11, o.R12, o.R13, o.R21, o.R22, o.R23, o.R31, o.R32, o.R33, o.Tx, o.Ty, o.Tz);
    if (t.x != 0 || t.y != 0) return;
    const VolumeMap m = volume_map(rt_mat3d_inverse(o), cx, cy, cz);
    for (unsigned z = 0; z < Nz; z += 20) {
        const float3 p = m.source(0.0f, 0.0f, (float)z);
        printf("k=%d raw_sx, raw_sy, raw_sz %f, %f, %f \n", (int)z, p.x, p.y, p.z);
        const size_t i = voxel_element(0, 0, z, Nx, Ny);
        out[i] = 2.0f * (float)i;
    }
}

// ================= expansion launchers =================

void hcuda_3d_sym_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                            const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy, float sz,
                            const float* mask, RT_Mat3D op) {
    gpu_launch_2d<cuda_3d_sym_expansion>(GPU_SITE, Nx, Ny, out, Nx, Ny, Nz, cx, cy, cz, sub, nx, ny, nz, sx, sy, sz,
                                         mask, op);
}
void hcuda_3d_syms_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                             const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy, float sz,
                             const float* mask, const RT_Mat3D* ops, unsigned count) {
    each_operator_printed(ops, count, [&](RT_Mat3D op) {
        hcuda_3d_sym_expansion(out, Nx, Ny, Nz, cx, cy, cz, sub, nx, ny, nz, sx, sy, sz, mask, op);
    });
}
void hcuda_3d_sym_expansion_oneslice(float* out, unsigned Nx, unsigned Ny, unsigned z, float cx, float cy, float cz,
                                     const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                     float sz, const float* mask, RT_Mat3D op) {
    gpu_launch_2d<cuda_3d_sym_expansion_oneslice>(GPU_SITE, Nx, Ny, out, Nx, Ny, z, cx, cy, cz, sub, nx, ny, nz, sx,
                                                  sy, sz, mask, op);
}
void hcuda_3d_syms_expansion_oneslice(float* out, unsigned Nx, unsigned Ny, unsigned z, float cx, float cy, float cz,
                                      const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                      float sz, const float* mask, const RT_Mat3D* ops, unsigned count) {
    for (unsigned k = 0; k < count; ++k)
        hcuda_3d_sym_expansion_oneslice(out, Nx, Ny, z, cx, cy, cz, sub, nx, ny, nz, sx, sy, sz, mask, ops[k]);
}
void hcuda_3d_sym_expansion3_debug(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                                   const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                   float sz, const float* mask, RT_Mat3D op) {
    gpu_launch_2d<cuda_3d_sym_expansion3_debug>(GPU_SITE, Nx, Ny, out, Nx, Ny, Nz, cx, cy, cz, sub, nx, ny, nz, sx,
                                                sy, sz, mask, op);
}
void hcuda_3d_syms_expansion3_debug(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                                    const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                    float sz, const float* mask, const RT_Mat3D* ops, unsigned count) {
    for (unsigned k = 0; k < count; ++k)
        hcuda_3d_sym_expansion3_debug(out, Nx, Ny, Nz, cx, cy, cz, sub, nx, ny, nz, sx, sy, sz, mask, ops[k]);
    std::printf(".................. Nx = %d Ny= %d Nz=%d \n", (int)Nx, (int)Ny, (int)Nz);
}

namespace {
// Host arrays: a zeroed device output, subunit and mask copied in, run(d_out,
// d_sub, d_mask), the output copied back; "." when done.
template <class Run>
void expand_host_arrays(float* out, size_t n_out, const float* sub, const float* mask, size_t n_sub, Run run) {
    float* d_out = device_buffer<float>(GPU_SITE, n_out);
    hcuda_empty_f32(d_out, n_out);
    float* d_sub = device_copy_of(GPU_SITE, sub, n_sub);
    float* d_mask = device_copy_of(GPU_SITE, mask, n_sub);
    run(d_out, d_sub, d_mask);
    copy_to_host(GPU_SITE, out, d_out, n_out);
    cudaFree_many_pointers(d_out, d_sub, d_mask, nullptr);
    std::printf(".");
}
}  // namespace

void gpu_3d_syms_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                           const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy, float sz,
                           const float* mask, const RT_Mat3D* ops, unsigned count) {
    const size_t n_out = volume_voxels(Nx, Ny, Nz), n_sub = volume_voxels(nx, ny, nz);
    if (n_out == 0 || n_sub == 0) return cpu_memset_f32(out, n_out, 0.0f);
    expand_host_arrays(out, n_out, sub, mask, n_sub, [&](float* d_out, const float* d_sub, const float* d_mask) {
        hcuda_3d_syms_expansion(d_out, Nx, Ny, Nz, cx, cy, cz, d_sub, nx, ny, nz, sx, sy, sz, d_mask, ops, count);
    });
}

void gpu_3d_syms_expansion_all_slices(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                                      const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                      float sz, const float* mask, const RT_Mat3D* ops, unsigned count) {
    const size_t n_slice = image_pixels(Nx, Ny), n_sub = volume_voxels(nx, ny, nz);
    if (n_slice == 0 || Nz == 0 || n_sub == 0) return cpu_memset_f32(out, n_slice * Nz, 0.0f);
    float* d_slice = device_buffer<float>(GPU_SITE, n_slice);
    float* d_sub = device_copy_of(GPU_SITE, sub, n_sub);
    float* d_mask = device_copy_of(GPU_SITE, mask, n_sub);
    for (unsigned z = 0; z < Nz; ++z) {
        hcuda_empty_f32(d_slice, n_slice);
        hcuda_3d_syms_expansion_oneslice(d_slice, Nx, Ny, z, cx, cy, cz, d_sub, nx, ny, nz, sx, sy, sz, d_mask, ops,
                                         count);
        copy_to_host(GPU_SITE, out + z * n_slice, d_slice, n_slice);
        std::printf(".");
    }
    std::printf("\n");
    cudaFree_many_pointers(d_slice, d_sub, d_mask, nullptr);
}

void gpu_3d_syms_expansion3_debug(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                                  const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                  float sz, const float* mask, const RT_Mat3D* ops, unsigned count) {
    const size_t n_out = volume_voxels(Nx, Ny, Nz), n_sub = volume_voxels(nx, ny, nz);
    if (n_out == 0 || n_sub == 0) return cpu_memset_f32(out, n_out, 0.0f);
    expand_host_arrays(out, n_out, sub, mask, n_sub, [&](float* d_out, const float* d_sub, const float* d_mask) {
        mrcf_write_xyz_ddata("d_small_3d_test1.mrc", d_sub, (int)nx, (int)ny, (int)nz);
        mrcf_write_xyz_ddata("d_mask_3d_test1.mrc", d_mask, (int)nx, (int)ny, (int)nz);
        mrcf_write_xyz_ddata("d_ex_3d_auto123_test0.mrc", d_out, (int)Nx, (int)Ny, (int)Nz);
        hcuda_3d_syms_expansion3_debug(d_out, Nx, Ny, Nz, cx, cy, cz, d_sub, nx, ny, nz, sx, sy, sz, d_mask, ops,
                                       count);
        mrcf_write_xyz_ddata("d_ex_3d_auto123_test1.mrc", d_out, (int)Nx, (int)Ny, (int)Nz);
    });
}

// ================= expansion CPU twins =================

void cpu_3d_sym_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                          const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy, float sz,
                          const float* mask, RT_Mat3D op) {
    const VolumeMap m = volume_map(op, cx, cy, cz);
    const Subunit s{sub, mask, nx, ny, nz, sx, sy, sz};
    float w;
    for (unsigned z = 0; z < Nz; ++z)
        for (unsigned y = 0; y < Ny; ++y)
            for (unsigned x = 0; x < Nx; ++x)
                if (expand_voxel(out[voxel_element(x, y, z, Nx, Ny)], m, s, x, y, z, w) && (w < 0.0f || w > 1.0f))
                    VORN_WARNING("Mask value %f not in the right range!\n\033[m", w);
}
void cpu_3d_syms_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                           const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy, float sz,
                           const float* mask, const RT_Mat3D* ops, unsigned count) {
    each_operator_printed(ops, count, [&](RT_Mat3D op) {
        cpu_3d_sym_expansion(out, Nx, Ny, Nz, cx, cy, cz, sub, nx, ny, nz, sx, sy, sz, mask, op);
    });
}

// ================= NCS averaging =================

__global__ void cuda_3d_ncs_average_one(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy,
                                        float oz, const float* map, unsigned nx, unsigned ny, unsigned nz, float mx,
                                        float my, float mz, const float* mask, RT_Mat3D op) {
    const uint2 t = IMAGE_THREAD_XY;
    if (t.x >= Nx || t.y >= Ny) return;
    const VolumeMap m = volume_map(op, mx, my, mz);
    for (unsigned z = 0; z < Nz; ++z) ncs_voxel(out, mask, Nx, Ny, ox, oy, oz, map, nx, ny, nz, m, t.x, t.y, z);
}
void hcuda_3d_ncs_average_one(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz,
                              const float* map, unsigned nx, unsigned ny, unsigned nz, float mx, float my, float mz,
                              const float* mask, RT_Mat3D op) {
    gpu_launch_2d<cuda_3d_ncs_average_one>(GPU_SITE, Nx, Ny, out, Nx, Ny, Nz, ox, oy, oz, map, nx, ny, nz, mx, my, mz,
                                           mask, op);
}
// An empty list adds nothing and divides by nothing: the output stays as given.
void hcuda_3d_ncs_average(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz,
                          const float* map, unsigned nx, unsigned ny, unsigned nz, float mx, float my, float mz,
                          const float* mask, const RT_Mat3D* ops, unsigned count) {
    each_operator_printed(ops, count, [&](RT_Mat3D op) {
        hcuda_3d_ncs_average_one(out, Nx, Ny, Nz, ox, oy, oz, map, nx, ny, nz, mx, my, mz, mask, op);
    });
    if (count > 0) hcuda_divide_inplace(out, volume_voxels(Nx, Ny, Nz), (float)count);
}
void gpu_3d_ncs_average(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz,
                        const float* map, unsigned nx, unsigned ny, unsigned nz, float mx, float my, float mz,
                        const float* mask, const RT_Mat3D* ops, unsigned count) {
    const size_t n_out = volume_voxels(Nx, Ny, Nz), n_map = volume_voxels(nx, ny, nz);
    if (n_out == 0 || n_map == 0) return cpu_memset_f32(out, n_out, 0.0f);
    float* d_out = device_buffer<float>(GPU_SITE, n_out);
    hcuda_empty_f32(d_out, n_out);
    float* d_map = device_copy_of(GPU_SITE, map, n_map);
    float* d_mask = device_copy_of(GPU_SITE, mask, n_out);
    hcuda_3d_ncs_average(d_out, Nx, Ny, Nz, ox, oy, oz, d_map, nx, ny, nz, mx, my, mz, d_mask, ops, count);
    copy_to_host(GPU_SITE, out, d_out, n_out);
    cudaFree_many_pointers(d_out, d_map, d_mask, nullptr);
    std::printf(".");
}
void cpu_3d_ncs_average_one(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz,
                            const float* map, unsigned nx, unsigned ny, unsigned nz, float mx, float my, float mz,
                            const float* mask, RT_Mat3D op) {
    const VolumeMap m = volume_map(op, mx, my, mz);
    for (unsigned z = 0; z < Nz; ++z)
        for (unsigned y = 0; y < Ny; ++y)
            for (unsigned x = 0; x < Nx; ++x) ncs_voxel(out, mask, Nx, Ny, ox, oy, oz, map, nx, ny, nz, m, x, y, z);
}
void cpu_3d_ncs_average(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz,
                        const float* map, unsigned nx, unsigned ny, unsigned nz, float mx, float my, float mz,
                        const float* mask, const RT_Mat3D* ops, unsigned count) {
    each_operator_printed(ops, count, [&](RT_Mat3D op) {
        cpu_3d_ncs_average_one(out, Nx, Ny, Nz, ox, oy, oz, map, nx, ny, nz, mx, my, mz, mask, op);
    });
    if (count > 0) hm_divide_inplace(out, volume_voxels(Nx, Ny, Nz), (float)count);
}
