// Volume file commands: slice reorderings, centre of mass, rigid and Euler
// resampling, ramp volumes, projections, backprojection and reconstruction
// tests of MRC volumes given by name, symmetry expansion and NCS averaging
// through operator files, and MRCF_Proc3D, which holds an input volume file
// for the reconstruction tests.
//
// Every command passes the centre (N - 1)/2 of each axis (in double, rounded to
// float) to the volume library, writes new mode-2 files and returns 0 unless
// stated. Files that cannot be read or written end the process with the file
// readers' and writers' fatal lines.
//
// Inputs and arguments no result can come from are refused with a warning in
// the command's name: it writes nothing and returns -1. So are an output that
// names an input (the same path, or the same file through a link) and two
// outputs that name one file, checked before any file is opened; an input
// without a whole MRC header, with a size below 1 (nz 0 too) or sizes whose
// product does not fit; output sizes and
// counts (N images of nx x ny) below 1 or whose product does not fit, checked
// in 64 bits before anything is sized by them (a count of orientations below
// what a driver needs keeps the driver's own refusal). The slice commands also check
// that the input holds the data its header describes before they open the
// output; the whole-volume reads keep the reader's fatal size check. A failed
// allocation ends the process with the library's fatal line, and an output a
// command cannot finish is removed before its fatal line.
#pragma once
#include <cstddef>
#include <initializer_list>
#include <vector>

#include "gpu.h"
#include "mrcfile.h"

// ---- the frame the volume commands share ----
// A volume file read whole, its sizes and centres (N - 1)/2 (in double, rounded
// to float); the voxels in host memory, or in managed memory when managed is
// set, released with the record.
struct VolumeInput {
    float* v = nullptr;
    bool managed = false;
    unsigned nx = 0, ny = 0, nz = 0;
    float cx = 0.0f, cy = 0.0f, cz = 0.0f;
    size_t pixels() const { return (size_t)nx * ny; }
    size_t voxels() const { return pixels() * nz; }
    VolumeInput() = default;
    VolumeInput(const VolumeInput&) = delete;
    VolumeInput& operator=(const VolumeInput&) = delete;
    ~VolumeInput();
};
// 0 with n the voxel count when h, the header of file name, holds a volume;
// else the refusal of the frame in the caller's name ("<name> holds no image."
// for a size below 1, the sizes' refusal when their product does not fit). A
// mode the readers do not convert ends the process first, as the whole-volume
// read that follows would (mrc_cmd_has_whole_image).
int volume_head_sizes(const MRC_HEAD& h, const char* name, size_t& n, const char* func, int line);
// 0 with the volume of name in v; -1 after the refusal, nothing opened, when one
// of the outputs names it or two of them name one file (a null output is none),
// or, nothing allocated, when it has no whole header or its sizes hold no volume
// (volume_head_sizes).
int read_volume_input(const char* name, const std::vector<const char*>& outputs, bool managed, VolumeInput& v,
                      const char* func, int line);
// The outputs a test sequence is given followed by the files it writes of itself.
std::vector<const char*> outputs_with(std::vector<const char*> given, const std::vector<const char*>& own);
#define READ_VOLUME_INPUT(name, managed, v, ...) \
    read_volume_input((name), {__VA_ARGS__}, (managed), (v), __func__, __LINE__)
// 0 with n = nx * ny * N, the floats of a stack of N projections (at least one,
// so that a driver refuses too few orientations itself); else the sizes' refusal.
int volume_stack_floats(unsigned nx, unsigned ny, unsigned N, size_t& n, const char* func, int line);
#define VOLUME_STACK_FLOATS(nx, ny, N, n) volume_stack_floats((nx), (ny), (N), (n), __func__, __LINE__)

// An input volume file, its header and sizes, its voxels in managed memory.
// Members default to empty and unowned, so destroy before any init frees
// nothing; destroy releases exactly what the flags say and may run again.
class MRCF_Proc3D {
public:
    char* in_name = nullptr;  // 1024 bytes
    char* out_name = nullptr;  // 1024 bytes
    MRC_HEAD* in_head = nullptr;
    MRC_HEAD* out_head = nullptr;
    unsigned Nx = 0, Ny = 0, Nz = 0, Nxh = 0;
    float cx = 0.0f, cy = 0.0f, cz = 0.0f;
    size_t NxNy = 0, NxNyNz = 0, NxhNy = 0, NxhNyNz = 0;
    float* volume = nullptr;
    float* work = nullptr;
    bool own_in_name = false, own_out_name = false, own_in_head = false, own_out_head = false, own_volume = false,
         own_work = false;

    // Name buffers (zero-filled) and two default headers.
    int init();
    // Then in's header and voxels (managed) and the sizes. A null name prints the
    // "empty pointer!" line and reads nothing (returns -1); so does an input
    // refused as the commands refuse theirs (-1, no voxels read, sizes 0).
    int init(const char* in);
    // Then the output name and a copy of the input header; an out that names in
    // is refused before in is read (-1, nothing read).
    int init(const char* in, const char* out);
    int destroy();
    // Both read in_name again and write to out_name; the two names given are not
    // read. 0, or -1 (nothing written) when the driver refuses N, N projections
    // do not fit, an output names the input or two outputs (among them the
    // files the sequence writes into the working directory) name one file, or
    // no volume is held or in_name no longer holds one of the sizes read at init.
    int zgpu_project_rec_randN3_debug(const char* unused_in, const char* unused_out, unsigned N, int direction,
                                      int use_many);
    int rrt_test(const char* unused_in, const char* unused_out, unsigned N, unsigned M);
};
// 0 with the volume of p's input read again into managed memory; -1 after the
// refusal in the caller's name when p holds no volume, an output names the
// input or two outputs name one file, or the input is refused or no longer of the sizes read at init.
int reread_held_volume(const MRCF_Proc3D& p, VolumeInput& v, const std::vector<const char*>& outputs,
                       const char* func, int line);

// ---- slices ----
// Output voxel (x, y, z) = input voxel (x, z, y).
int mrcf_flipyz(const char* in, const char* out);
// The z slices in reverse order.
int mrcf_upsidedown(const char* in, const char* out);
// Every z slice i to its own file "<prefix><i as %06d>.mrc"; every name is
// checked against the input and the others (a link among them) before one is written.
int mrcf_split(const char* in, const char* prefix);

// ---- centre of mass ----
// Not a number in every axis after a refused input (the print form returns -1).
float3 mrcf_3d_cpu_get_mass_center(const char* in);
int mrcf_3d_cpu_print_mass_center(const char* in);

// ---- resampling ----
// R = E(rot, tilt, psi), T = (tx, ty, tz); direction as in volume3d.h: other than
// -1 the content is rotated about the centre, then shifted.
int mrcf_3d_rot_trans(const char* in, const char* out, float rot, float tilt, float psi, float tx, float ty, float tz,
                      int direction);
int mrcf_3d_rot_trans3(const char* in, const char* out, float rot, float tilt, float psi, float tx, float ty, float tz,
                       int direction);
// T = R (tx, ty, tz): the content is shifted, then rotated.
int mrcf_3d_trans_rot(const char* in, const char* out, float tx, float ty, float tz, float rot, float tilt, float psi,
                      int direction);

// ---- ramp volume 0, 1, 2, ... in storage order: mode 2 on the GPU, else the CPU ----
// 1 after "device memory allocation failed" (nothing written) when the device
// buffer cannot be had.
int mrcf_3d_0123(const char* out, unsigned Nx, unsigned Ny, unsigned Nz, int mode);

// ---- projection and backprojection ----
int mrcf_3d_gpu_project(const char* in, const char* out, float rot, float tilt, float psi, int direction,
                        int sampling);
// The drivers' -1 (N refused, nothing written) is returned as it is.
int mrcf_3d_gpu_project_randN(const char* in, const char* out, unsigned N, int direction, int sampling);
int mrcf_3d_zgpu_project_randN(const char* in, const char* out, unsigned N, int direction, int sampling);
int mrcf_3d_zgpu_project_N(const char* in, const char* out, unsigned N, const std::vector<float3>& angles,
                           int direction, int sampling);
// rec_out and stack_out naming one file are refused as an output naming the input is.
int mrcf_3d_gpu_project_rec_randN(const char* in, const char* rec_out, const char* stack_out, unsigned N,
                                  int direction, int sampling);
// The benchmark sequence with its trace lines; the four further names are not
// written. rec_out, the two copies of the volume it writes and the files of the
// sequence (PROJECT_REC_RANDN3_DEBUG_FILES) are checked against the input and
// each other.
int mrcf_3d_zgpu_project_rec_randN3_debug(const char* in, const char* rec_out, const char* name3, const char* name4,
                                          const char* name5, const char* name6, unsigned N, int direction,
                                          int use_many);
// The first image of in backprojected into a new nx x ny x Nz volume.
int mrcf_3d_backproject(const char* in, const char* out, unsigned Nz, float rot, float tilt, float psi, int direction);

// ---- symmetry ----
// Operators of the file as read (direction 1) or inverted (-1). GPU index 999
// runs the CPU twin; any other index is checked and selected, then expansion
// mode 0 runs gpu_3d_syms_expansion and 1 the slice-by-slice form; another mode
// is fatal. -1 with a warning, nothing written, for another direction, a file
// without operators, or a mask whose size differs from the subunit's.
int mrcf_3d_sym_expansion(const char* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                          const char* subunit, float sx, float sy, float sz, const char* mask, const char* operators,
                          int direction, int mode, int gid);
// The output takes the mask's size, the map centre its (N - 1)/2; refusals as above.
int mrcf_3d_ncs_average(const char* out, float ox, float oy, float oz, const char* map, const char* mask,
                        const char* operators, int direction, int gid);
