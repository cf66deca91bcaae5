// The volume library: resampling under rigid transforms, Euler rotations and
// quarter turns, small host helpers (Raw3D, random volumes, centre of mass,
// highest voxel); projection of volumes into images and backprojection, the
// weighted-backprojection reconstruction drivers and their tests; symmetry
// expansion and NCS averaging through operator lists.
//
// Every operation follows the volume conventions of volume3d.h (layout,
// centre, Euler matrix, direction flag, trilinear rule). Volume kernels launch
// blocks of 32 x 32 threads over (x, y) and loop over z inside the thread
// unless stated. hcuda_ forms work on device arrays, launch, synchronise and
// check; gpu_ forms on host arrays (device buffers allocated and freed per
// call); zgpu_ forms on CUDA managed arrays; cpu_ forms are host twins. A GPU
// failure prints the GPU check line and ends the process with status 1.
#pragma once
#include <cstddef>
#include <vector>

#include "em_general.h"
#include "gpu.h"
#include "sym.h"
#include "volume3d.h"

// ================= transforms =================

// A host volume: data, sizes, and whether the holder owns the data (it frees it).
class Raw3D {
public:
    float* data;
    unsigned Nx, Ny, Nz;
    bool owns_data;
    Raw3D(float* data, int Nx, int Ny, int Nz);
};

// Resampling by a rigid map; out and in distinct, of the same size.
__global__ void cuda_3d_transform(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                  float cy, float cz, RT_Mat3D M, int direction);
// Blocks of 16 x 16 x 4 threads over (x, y, z), one voxel per thread.
__global__ void cuda_3d_transform3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                   float cy, float cz, RT_Mat3D M, int direction);
// About the centre (N - 1)*0.5 formed in float.
__global__ void cuda_3d_transform_auto_center(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz,
                                              RT_Mat3D M, int direction);
// These two print the launch time (">>>>>>TIME<<<<<<" line) and their block shape.
void hcuda_3d_transform(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                        float cz, RT_Mat3D M, int direction);
void hcuda_3d_transform3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                         float cz, RT_Mat3D M, int direction);
void gpu_3d_transform(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                      float cz, RT_Mat3D M, int direction);
void gpu_3d_transform3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                       float cz, RT_Mat3D M, int direction);

// Rotation by Euler angles (degrees), no shift. _t2 reads through the read-only
// cache; _t3 launches blocks over (z, y), each thread walking x.
__global__ void cuda_3d_rotate(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                               float cz, float rot, float tilt, float psi, int direction);
__global__ void cuda_3d_rotate_t2(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                  float cy, float cz, float rot, float tilt, float psi, int direction);
__global__ void cuda_3d_rotate_t3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                  float cy, float cz, float rot, float tilt, float psi, int direction);
void hcuda_3d_rotate(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                     float rot, float tilt, float psi, int direction);
void hcuda_3d_rotate_t2(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                        float cz, float rot, float tilt, float psi, int direction);
void hcuda_3d_rotate_t3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                        float cz, float rot, float tilt, float psi, int direction);
void cpu_3d_rotate_t3(float* out, const float* in, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                      float rot, float tilt, float psi, int direction);

// Quarter turn of every xy slice (input first): input (x, y, z) goes to element
// z*Nx*Ny + x*Ny + (Ny - 1 - y), slices of width Ny and height Nx.
__global__ void cuda_3d_swap_xy(const float* in, float* out, unsigned Nx, unsigned Ny, unsigned Nz);
void hcuda_3d_swap_xy(const float* in, float* out, unsigned Nx, unsigned Ny, unsigned Nz);
void gpu_3d_swap_xy(const float* in, float* out, unsigned Nx, unsigned Ny, unsigned Nz);

// A new owned host volume of values from a to b (random_data_f32).
Raw3D random_3df(float a, float b, unsigned Nx, unsigned Ny, unsigned Nz);
// (sum v x, sum v y, sum v z) / sum v, the sums taken in double; a volume summing
// to 0 gives non-finite coordinates.
float3 cpu_3d_get_mass_center(const float* v, unsigned Nx, unsigned Ny, unsigned Nz);
// Prints "mass center (x,y,z) : (...)"; returns 0.
int cpu_3d_print_mass_center(const float* v, unsigned Nx, unsigned Ny, unsigned Nz);
// The first strictly highest voxel in z, y, x order; (0, 0, 0) when it is the first.
void cpu_3d_get_unique_peak(const float* v, int Nx, int Ny, int Nz, int& x, int& y, int& z);

// ================= projection and backprojection =================
// A projection image is Nx x Ny; a stack of N holds image i at i*Nx*Ny. Pixel
// (x, y) sums the samples at s = A ((x, y, z) - c) + c over z = 0 .. Nz - 1.

// E(rot, tilt, psi) for direction -1, else E(-psi, -tilt, -rot); trilinear.
__global__ void cuda_3d_project(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                float cy, float cz, float rot, float tilt, float psi, int direction);
// Always E(-psi, -tilt, -rot); the last argument is not read.
__global__ void cuda_3d_project_t2(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                   float cy, float cz, float rot, float tilt, float psi, int unused);
// The rigid map as given: s = R (p - c) + T + c.
__global__ void cuda_3d_project_t3(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                   float cy, float cz, RT_Mat3D M);
// The direction flag as cuda_3d_project; sampling 0 trilinear, any other value
// the nearest voxel.
__global__ void cuda_3d_project_t4(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                   float cy, float cz, float rot, float tilt, float psi, int direction, int sampling);
// Orientation i into image i of the stack; trilinear.
__global__ void cuda_3d_project_many(float* stack, const float* rot, const float* tilt, const float* psi, unsigned N,
                                     const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                                     float cz, int direction);
// The mean along z (0 for Nz = 0).
__global__ void cuda_3d_project_z(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz);

// cuda_3d_project_t4 on device arrays.
void hcuda_3d_project(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                      float cz, float rot, float tilt, float psi, int direction, int sampling);
void gpu_3d_project(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                    float rot, float tilt, float psi, int direction, int sampling);
void hcuda_3d_project_z(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz);
// Device angle arrays of N values.
void hcuda_3d_project_many(float* stack, const float* rot, const float* tilt, const float* psi, unsigned N,
                           const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                           int direction);

// Drivers over N orientations. Each returns 0, or -1 after a warning (nothing
// projected) when N is below 1 (2 for the benchmark sequence, which reads the
// second orientation).
// The N records' orientations (trilinear), all N images back to the host.
int gpu_3d_project_many(float* stack, const EM_Trans_Orient* orient, unsigned N, const float* vol, unsigned Nx,
                        unsigned Ny, unsigned Nz, float cx, float cy, float cz, int direction);
// N random orientations, each printed.
int gpu_3d_project_randN(float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                         float cy, float cz, int direction, int sampling);
int zgpu_3d_project_randN(float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                          float cy, float cz, int direction, int sampling);
// The first N triples (rot, tilt, psi) of angles; fewer than N is fatal.
int zgpu_3d_project_N(float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                      float cy, float cz, const std::vector<float3>& angles, int direction, int sampling);

// Backprojection: voxel q takes the bilinear image value at the (x, y) of
// A (q - c) + c, A = E(rot, tilt, psi) for direction -1 and E(-psi, -tilt, -rot)
// otherwise, added once; voxels mapped outside the image are left unchanged.
__global__ void cuda_3d_backproject_one(float* vol, const float* img, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                        float cy, float cz, float rot, float tilt, float psi, int direction);
// Adds into vol.
void hcuda_3d_backproject_one(float* vol, const float* img, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                              float cz, float rot, float tilt, float psi, int direction);
// Into a zeroed volume.
void gpu_3d_backproject(float* vol, const float* img, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                        float cz, float rot, float tilt, float psi, int direction);
void gpu_3d_backproject_many(float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                             const float* stack, const EM_Trans_Orient* orient, unsigned N, int direction);

// Weighted-backprojection reconstruction from N random projections of vol: the
// stack ends holding the ramp-weighted images; each is backprojected with the
// flag that inverts its projection (backprojection_direction). Nx and Ny even.
int gpu_3d_project_rec_randN(float* rec, float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny,
                             unsigned Nz, float cx, float cy, float cz, int direction, int sampling);
int zgpu_3d_project_rec_randN(float* rec, float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny,
                              unsigned Nz, float cx, float cy, float cz, int direction, int sampling);
// The files the two test sequences below write into the working directory, in
// the order written: their file commands check them against their own files.
inline const std::vector<const char*> PROJECT_REC_RANDN3_DEBUG_FILES = {
    "rec_3d0.mrc", "hcuda_3d_rotate.mrc", "hcuda_3d_rotate_t2.mrc", "hcuda_3d_rotate_t3.mrc", "cpu_3d_rotate_t3.mrc",
    "hcuda_3d_project_z.mrc"};
inline const std::vector<const char*> RRT_TEST_FILES = {"rand_3d0.mrc", "rand_3d.mrc", "test_rec_proj_2ds.mrc"};
// The timed benchmark sequence (managed arrays); writes its intermediate
// volumes into the working directory (PROJECT_REC_RANDN3_DEBUG_FILES: the
// zeroed reconstruction, four rotations, the z projection). spare is not touched.
int zgpu_3d_project_rec_randN3_debug(float* rec, float* stack, float* spare, float* amp_before, float* amp_after,
                                     unsigned N, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                     float cy, float cz, int direction, int sampling, int use_many);
// Reconstruction by the sign of agreement of M random volumes' projections with
// the N projections of vol (managed arrays); writes "rand_3d0.mrc",
// "rand_3d.mrc" and "test_rec_proj_2ds.mrc" (RRT_TEST_FILES) into the working directory.
int zgpu_3d_rrt_test(float* rec, float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz,
                     unsigned M);

// ================= symmetry expansion and NCS averaging =================
// Mask values: m >= SYM_FULL_WEIGHT counts as 1, 0 < m below it blends, m <= 0
// or not a number excludes.
constexpr float SYM_FULL_WEIGHT = 0.999999f;

// Expansion: output voxel p (Nx x Ny x Nz, centre (cx, cy, cz)) takes the
// subunit (nx x ny x nz, its voxel 0 at (sx, sy, sz) of the output frame) at
// s = R (p - c) + T + c - (sx, sy, sz), weighted by the mask sampled there.
__global__ void cuda_3d_sym_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                                      const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                      float sz, const float* mask, RT_Mat3D op);
// Slice z (passed as Nz) of the output, into an Nx x Ny slice array.
__global__ void cuda_3d_sym_expansion_oneslice(float* out, unsigned Nx, unsigned Ny, unsigned z, float cx, float cy,
                                               float cz, const float* sub, unsigned nx, unsigned ny, unsigned nz,
                                               float sx, float sy, float sz, const float* mask, RT_Mat3D op);
// As cuda_3d_sym_expansion; the thread of voxel (0, 0, 0) prints its source.
__global__ void cuda_3d_sym_expansion3_debug(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                                             float cz, const float* sub, unsigned nx, unsigned ny, unsigned nz,
                                             float sx, float sy, float sz, const float* mask, RT_Mat3D op);
// Trace of the inverted first operator of a device list: prints it, and at
// voxels (0, 0, z), z a multiple of 20, prints the source and stores twice the
// voxel's index; samples nothing.
__global__ void cuda_3d_sym_expansion2_debug(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                                             float cz, const float* sub, unsigned nx, unsigned ny, unsigned nz,
                                             float sx, float sy, float sz, const float* mask, const RT_Mat3D* ops,
                                             unsigned count);
void hcuda_3d_sym_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                            const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy, float sz,
                            const float* mask, RT_Mat3D op);
// One pass per operator in list order, each operator printed after its pass.
void hcuda_3d_syms_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                             const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy, float sz,
                             const float* mask, const RT_Mat3D* ops, unsigned count);
void hcuda_3d_sym_expansion_oneslice(float* out, unsigned Nx, unsigned Ny, unsigned z, float cx, float cy, float cz,
                                     const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                     float sz, const float* mask, RT_Mat3D op);
void hcuda_3d_syms_expansion_oneslice(float* out, unsigned Nx, unsigned Ny, unsigned z, float cx, float cy, float cz,
                                      const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                      float sz, const float* mask, const RT_Mat3D* ops, unsigned count);
void hcuda_3d_sym_expansion3_debug(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                                   const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                   float sz, const float* mask, RT_Mat3D op);
void hcuda_3d_syms_expansion3_debug(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                                    const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                    float sz, const float* mask, const RT_Mat3D* ops, unsigned count);
// Host arrays, the output starting from zeros.
void gpu_3d_syms_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                           const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy, float sz,
                           const float* mask, const RT_Mat3D* ops, unsigned count);
// Only one output slice on the device at a time.
void gpu_3d_syms_expansion_all_slices(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                                      const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                      float sz, const float* mask, const RT_Mat3D* ops, unsigned count);
// gpu_3d_syms_expansion with the debug kernel, writing its inputs and the output
// before and after the operators as MRC files in the working directory.
void gpu_3d_syms_expansion3_debug(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                                  const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy,
                                  float sz, const float* mask, const RT_Mat3D* ops, unsigned count);
// CPU twins; cpu_3d_sym_expansion warns for every sampled mask value outside [0, 1].
void cpu_3d_sym_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                          const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy, float sz,
                          const float* mask, RT_Mat3D op);
void cpu_3d_syms_expansion(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                           const float* sub, unsigned nx, unsigned ny, unsigned nz, float sx, float sy, float sz,
                           const float* mask, const RT_Mat3D* ops, unsigned count);

// NCS: output voxel o (box Nx x Ny x Nz at offset (ox, oy, oz) in the map) adds
// the map (nx x ny x nz, centre (mx, my, mz)) at R (o + offset - m) + T + m,
// weighted by the mask at o itself. The list forms divide by the count after
// all operators (an empty list leaves the output as given).
__global__ void cuda_3d_ncs_average_one(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy,
                                        float oz, const float* map, unsigned nx, unsigned ny, unsigned nz, float mx,
                                        float my, float mz, const float* mask, RT_Mat3D op);
void hcuda_3d_ncs_average_one(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz,
                              const float* map, unsigned nx, unsigned ny, unsigned nz, float mx, float my, float mz,
                              const float* mask, RT_Mat3D op);
void hcuda_3d_ncs_average(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz,
                          const float* map, unsigned nx, unsigned ny, unsigned nz, float mx, float my, float mz,
                          const float* mask, const RT_Mat3D* ops, unsigned count);
void gpu_3d_ncs_average(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz,
                        const float* map, unsigned nx, unsigned ny, unsigned nz, float mx, float my, float mz,
                        const float* mask, const RT_Mat3D* ops, unsigned count);
void cpu_3d_ncs_average_one(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz,
                            const float* map, unsigned nx, unsigned ny, unsigned nz, float mx, float my, float mz,
                            const float* mask, RT_Mat3D op);
void cpu_3d_ncs_average(float* out, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz,
                        const float* map, unsigned nx, unsigned ny, unsigned nz, float mx, float my, float mz,
                        const float* mask, const RT_Mat3D* ops, unsigned count);
