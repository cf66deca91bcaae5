// Volume file commands: slice reorderings, centre of mass, resampling, ramp
// volumes, projection, backprojection and the reconstruction drivers on files.
#define VORN_UNIT "src/process3d_mrc"
#include "process3d_mrc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "cuda_general.h"
#include "process1d_raw.h"
#include "process2d_mrc.h"
#include "process3d_raw.h"
#include "str_utils.h"

// ================= the frame =================

VolumeInput::~VolumeInput() {
    if (managed) CUDA_CHECK(cudaFree(v));
    else std::free(v);
}

int volume_head_sizes(const MRC_HEAD& h, const char* name, size_t& n, const char* func, int line) {
    if (mrc_cmd_has_whole_image(h, name, func, line) != 0) return -1;
    return mrc_cmd_sizes({h.nx, h.ny, h.nz}, n, func, line);
}

int read_volume_input(const char* name, const std::vector<const char*>& outputs, bool managed, VolumeInput& v,
                      const char* func, int line) {
    if (mrcf_check_outputs(outputs, {name}, func, VORN_UNIT, line) != 0) return -1;
    head_ptr h = mrc_cmd_read_head(name, func, line);
    size_t n = 0;
    if (!h || volume_head_sizes(*h, name, n, func, line) != 0) return -1;
    v.managed = managed;
    v.v = managed ? mrcf_get_zdata_all(name) : mrcf_get_data_all(name);
    v.nx = (unsigned)h->nx, v.ny = (unsigned)h->ny, v.nz = (unsigned)h->nz;
    v.cx = volume_centre(v.nx), v.cy = volume_centre(v.ny), v.cz = volume_centre(v.nz);
    return 0;
}

std::vector<const char*> outputs_with(std::vector<const char*> given, const std::vector<const char*>& own) {
    given.insert(given.end(), own.begin(), own.end());
    return given;
}

int volume_stack_floats(unsigned nx, unsigned ny, unsigned N, size_t& n, const char* func, int line) {
    return mrc_cmd_sizes({nx, ny, std::max(N, 1u)}, n, func, line);
}

namespace {
float* managed_floats(size_t n) {
    float* p = nullptr;
    cuda_malloc_many_pointers<float>(n > 0 ? n : 1, &p, nullptr);
    return p;
}
}  // namespace

// ================= slices =================

namespace {
// The slices of in across axis ('y' or 'z'), input slice slice_of(i, count) as output
// slice i, written as mode-2 floats to a new out, which is opened only once the
// input is read and checked (header, sizes, data). With a strike line, open
// failures give the flip command's lines; a failed read or write removes the
// output before the fatal line.
template <class SliceOf>
int write_slices(const char* in, const char* out, const char* strike, char axis, SliceOf slice_of, const char* func,
                 int line) {
    if (mrcf_check_output_names(out, {in}, func, VORN_UNIT, line) != 0) return -1;
    MRC_HEAD hin;
    FILE* fin = mrc_cmd_open_input(in, hin, strike, func, line);
    if (fin == nullptr) return -1;
    const int count = axis == 'y' ? hin.ny : hin.nz, rows = axis == 'y' ? hin.nz : hin.ny;
    MRC_HEAD hout = hin;
    mrc_set_head_xyz_mode(&hout, hin.nx, rows, count, MRC_MODE_FLOAT);
    hout.nsymbt = 0;  // the slices follow the header directly
    std::vector<float> slice = mrc_cmd_floats((size_t)hin.nx * rows, func, line);
    FILE* fout = strike != nullptr ? mrc_cmd_open_or_strike(out, "wb+") : mrc_cmd_open_write(out, "wb+", func, line);
    if (mrc_write_head(fout, &hout) != 0) mrc_cmd_abandon(fout, out, "write", out, func, line);
    for (int i = 0; i < count; ++i) {
        if (mrc_read_slice(fin, &hin, slice_of(i, count), axis, slice.data()) != 0)
            mrc_cmd_abandon(fout, out, "read data of", in, func, line);
        if (mrc_add_slice(fout, &hout, slice.data()) != 0) mrc_cmd_abandon(fout, out, "write", out, func, line);
    }
    std::fclose(fin);
    mrc_cmd_close_output(fout, out, true, func, line);
    return 0;
}
}  // namespace

// The xz slice at input y becomes output slice y, its rows the input z.
int mrcf_flipyz(const char* in, const char* out) {
    std::printf("\nBegin flipping:");
    const int status = write_slices(in, out, "\nCannot open file strike any key exit!", 'y', [](int y, int) { return y; },
                                    __func__, __LINE__);
    if (status == 0) std::printf("\nflipping finished!\n");
    return status;
}

int mrcf_upsidedown(const char* in, const char* out) {
    return write_slices(in, out, nullptr, 'z', [](int i, int nz) { return nz - 1 - i; }, __func__, __LINE__);
}
int mrcf_split(const char* in, const char* prefix) {
    MRC_HEAD h;
    FILE* f = MRC_CMD_OPEN_INPUT(in, h, nullptr);
    if (f == nullptr) return -1;
    std::vector<std::string> names;
    if (MRC_CMD_SECTION_NAMES(in, prefix, h.nz, names) != 0) return std::fclose(f), -1;
    std::vector<float> slice = MRC_CMD_FLOATS((size_t)h.nx * h.ny);
    for (int i = 0; i < h.nz; ++i) {
        if (mrc_read_slice(f, &h, i, 'z', slice.data()) != 0) VORN_FATAL("read data of file '%s' failed.", in);
        mrcf_write_xyz_data(names[i].c_str(), slice.data(), h.nx, h.ny, 1);
    }
    std::fclose(f);
    return 0;
}

// ================= centre of mass =================

float3 mrcf_3d_cpu_get_mass_center(const char* in) {
    VolumeInput h;
    if (READ_VOLUME_INPUT(in, false, h, nullptr) != 0) return float3{NAN, NAN, NAN};
    return cpu_3d_get_mass_center(h.v, h.nx, h.ny, h.nz);
}
int mrcf_3d_cpu_print_mass_center(const char* in) {
    VolumeInput h;
    if (READ_VOLUME_INPUT(in, false, h, nullptr) != 0) return -1;
    cpu_3d_print_mass_center(h.v, h.nx, h.ny, h.nz);
    return 0;
}

// ================= resampling =================

namespace {
// The volume of in resampled by run(out, in volume) into out, same size.
template <class Run>
int resample_file(const char* in, const char* out, const char* func, int line, Run run) {
    VolumeInput h;
    if (read_volume_input(in, {out}, false, h, func, line) != 0) return -1;
    std::vector<float> r = mrc_cmd_floats(h.voxels(), func, line);
    run(r.data(), h);
    mrcf_write_xyz_data(out, r.data(), (int)h.nx, (int)h.ny, (int)h.nz);
    return 0;
}
#define RESAMPLE_FILE(in, out, run) resample_file((in), (out), __func__, __LINE__, (run))
RT_Mat3D euler_with_shift(float rot, float tilt, float psi, float tx, float ty, float tz) {
    RT_Mat3D m = euler_matrix(rot, tilt, psi);
    m.Tx = tx, m.Ty = ty, m.Tz = tz;
    return m;
}
}  // namespace

int mrcf_3d_rot_trans(const char* in, const char* out, float rot, float tilt, float psi, float tx, float ty, float tz,
                      int direction) {
    const RT_Mat3D m = euler_with_shift(rot, tilt, psi, tx, ty, tz);
    return RESAMPLE_FILE(in, out, [&](float* r, const VolumeInput& h) {
        gpu_3d_transform(r, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, m, direction);
    });
}
int mrcf_3d_rot_trans3(const char* in, const char* out, float rot, float tilt, float psi, float tx, float ty, float tz,
                       int direction) {
    const RT_Mat3D m = euler_with_shift(rot, tilt, psi, tx, ty, tz);
    return RESAMPLE_FILE(in, out, [&](float* r, const VolumeInput& h) {
        gpu_3d_transform3(r, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, m, direction);
    });
}
int mrcf_3d_trans_rot(const char* in, const char* out, float tx, float ty, float tz, float rot, float tilt, float psi,
                      int direction) {
    const RT_Mat3D e = euler_matrix(rot, tilt, psi);
    const RT_Mat3D m = euler_with_shift(rot, tilt, psi, e.R11 * tx + e.R12 * ty + e.R13 * tz,
                                        e.R21 * tx + e.R22 * ty + e.R23 * tz, e.R31 * tx + e.R32 * ty + e.R33 * tz);
    return RESAMPLE_FILE(in, out, [&](float* r, const VolumeInput& h) {
        gpu_3d_transform(r, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, m, direction);
    });
}

// ================= ramp volume =================

int mrcf_3d_0123(const char* out, unsigned Nx, unsigned Ny, unsigned Nz, int mode) {
    size_t n = 0;
    if (MRC_CMD_SIZES(n, Nx, Ny, Nz) != 0) return -1;
    std::vector<float> v = MRC_CMD_FLOATS(n);
    if (mode == 2) {
        float* d = nullptr;
        if (cudaMalloc((void**)&d, n * sizeof(float)) != cudaSuccess) {
            std::printf("device memory allocation failed");
            return 1;
        }
        hcuda_1d_auto0123(d, n);
        CUDA_CHECK(memcpy_D2H(v.data(), d, n * sizeof(float)));
        CUDA_CHECK(cudaFree(d));
    } else {
        cpu_1d_auto0123(v.data(), n);
    }
    mrcf_write_xyz_data(out, v.data(), (int)Nx, (int)Ny, (int)Nz);
    return 0;
}

// ================= projection and backprojection =================

int mrcf_3d_gpu_project(const char* in, const char* out, float rot, float tilt, float psi, int direction,
                        int sampling) {
    VolumeInput h;
    if (READ_VOLUME_INPUT(in, false, h, out) != 0) return -1;
    std::vector<float> img = MRC_CMD_FLOATS(h.pixels());
    gpu_3d_project(img.data(), h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, rot, tilt, psi, direction, sampling);
    mrcf_write_xyz_data(out, img.data(), (int)h.nx, (int)h.ny, 1);
    return 0;
}

int mrcf_3d_gpu_project_randN(const char* in, const char* out, unsigned N, int direction, int sampling) {
    VolumeInput h;
    size_t n = 0;
    if (READ_VOLUME_INPUT(in, false, h, out) != 0 || VOLUME_STACK_FLOATS(h.nx, h.ny, N, n) != 0) return -1;
    std::vector<float> stack = MRC_CMD_FLOATS(n);
    const int r = gpu_3d_project_randN(stack.data(), N, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, direction, sampling);
    if (r == 0) mrcf_write_xyz_data(out, stack.data(), (int)h.nx, (int)h.ny, (int)N);
    return r;
}

namespace {
// Projections of a managed volume into a managed stack of N images by
// project(stack, volume), written to out when the driver accepts N.
template <class Project>
int project_managed_file(const char* in, const char* out, unsigned N, const char* func, int line, Project project) {
    VolumeInput m;
    size_t n = 0;
    if (read_volume_input(in, {out}, true, m, func, line) != 0 || volume_stack_floats(m.nx, m.ny, N, n, func, line) != 0)
        return -1;
    float* stack = managed_floats(n);
    const int r = project(stack, m);
    CUDA_CHECK(cudaDeviceSynchronize());
    if (r == 0) mrcf_write_xyz_zdata(out, stack, (int)m.nx, (int)m.ny, (int)N);
    CUDA_CHECK(cudaFree(stack));
    return r;
}
#define PROJECT_MANAGED_FILE(in, out, N, project) project_managed_file((in), (out), (N), __func__, __LINE__, (project))
}  // namespace

int mrcf_3d_zgpu_project_randN(const char* in, const char* out, unsigned N, int direction, int sampling) {
    return PROJECT_MANAGED_FILE(in, out, N, [&](float* stack, const VolumeInput& m) {
        return zgpu_3d_project_randN(stack, N, m.v, m.nx, m.ny, m.nz, m.cx, m.cy, m.cz, direction, sampling);
    });
}
int mrcf_3d_zgpu_project_N(const char* in, const char* out, unsigned N, const std::vector<float3>& angles,
                           int direction, int sampling) {
    return PROJECT_MANAGED_FILE(in, out, N, [&](float* stack, const VolumeInput& m) {
        return zgpu_3d_project_N(stack, N, m.v, m.nx, m.ny, m.nz, m.cx, m.cy, m.cz, angles, direction, sampling);
    });
}

int mrcf_3d_gpu_project_rec_randN(const char* in, const char* rec_out, const char* stack_out, unsigned N,
                                  int direction, int sampling) {
    VolumeInput h;
    size_t n = 0;
    if (READ_VOLUME_INPUT(in, false, h, rec_out, stack_out) != 0 || VOLUME_STACK_FLOATS(h.nx, h.ny, N, n) != 0)
        return -1;
    std::vector<float> stack = MRC_CMD_FLOATS(n), rec = MRC_CMD_FLOATS(h.voxels());
    const int r = gpu_3d_project_rec_randN(rec.data(), stack.data(), N, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz,
                                           direction, sampling);
    if (r == 0) {
        mrcf_write_xyz_data(stack_out, stack.data(), (int)h.nx, (int)h.ny, (int)N);
        mrcf_write_xyz_data(rec_out, rec.data(), (int)h.nx, (int)h.ny, (int)h.nz);
    }
    return r;
}

namespace {
constexpr const char* DEBUG_MANAGED_COPY = "debu_graw_z3d_read_write.mrc";
constexpr const char* DEBUG_HOST_COPY = "debug_raw_3d_read_write.mrc";

// The benchmark sequence on a managed copy of a volume, its stacks of
// stack_floats (N images, checked by the caller): rec written to out when the
// driver accepts N.
int run_benchmark_sequence(const char* out, const VolumeInput& m, unsigned N, size_t stack_floats, int direction,
                           int use_many) {
    // A half spectrum of nx/2 + 1 columns is never wider than its image.
    const size_t half = (size_t)(m.nx / 2 + 1) * m.ny * std::max(N, 1u);
    float* stack = managed_floats(stack_floats);
    float* spare = managed_floats(stack_floats);
    float* rec = managed_floats(m.voxels());
    float* amp_before = managed_floats(half);
    float* amp_after = managed_floats(half);
    const int r = zgpu_3d_project_rec_randN3_debug(rec, stack, spare, amp_before, amp_after, N, m.v, m.nx, m.ny, m.nz,
                                                   m.cx, m.cy, m.cz, direction, 0, use_many);
    CUDA_CHECK(cudaDeviceSynchronize());
    if (r == 0) mrcf_write_xyz_zdata(out, rec, (int)m.nx, (int)m.ny, (int)m.nz);
    cudaFree_many_pointers(stack, spare, rec, amp_before, amp_after, nullptr);
    return r;
}
}  // namespace

int mrcf_3d_zgpu_project_rec_randN3_debug(const char* in, const char* rec_out, const char*, const char*, const char*,
                                          const char*, unsigned N, int direction, int use_many) {
    // The sequence reads a second orientation: refuse fewer before its debug files are written.
    if (N < 2) {
        vorn_warning_line(__func__, VORN_UNIT, __LINE__,
                          "%u orientation(s) asked, at least 2 needed! Nothing done.\n\033[m", N);
        return -1;
    }
    std::printf("b1 inf%s \n", in);
    VolumeInput m;
    size_t n = 0;
    const std::vector<const char*> outputs =
        outputs_with({rec_out, DEBUG_MANAGED_COPY, DEBUG_HOST_COPY}, PROJECT_REC_RANDN3_DEBUG_FILES);
    if (read_volume_input(in, outputs, true, m, __func__, __LINE__) != 0 || VOLUME_STACK_FLOATS(m.nx, m.ny, N, n) != 0)
        return -1;
    const int nx = (int)m.nx, ny = (int)m.ny, nz = (int)m.nz;
    std::printf("b2 inf%s \n", in);
    std::printf("b3 inf%s \n", in);
    CUDA_CHECK(cudaDeviceSynchronize());
    std::printf("rot ddffffffff \n");
    sleep(1);
    mrcf_write_xyz_zdata(DEBUG_MANAGED_COPY, m.v, nx, ny, nz);
    CUDA_CHECK(cudaDeviceSynchronize());
    mrcf_write_xyz_data(DEBUG_HOST_COPY, m.v, nx, ny, nz);
    CUDA_CHECK(cudaDeviceSynchronize());
    std::printf("rot 4 inf%s %d %d %d\n", in, nx, ny, nz);
    sleep(1);
    return run_benchmark_sequence(rec_out, m, N, n, direction, use_many);
}

// The same sequence on a fresh managed copy of the held input, its sizes as read at init.
int MRCF_Proc3D::zgpu_project_rec_randN3_debug(const char*, const char*, unsigned N, int direction, int use_many) {
    VolumeInput m;
    size_t n = 0;
    if (reread_held_volume(*this, m, outputs_with({out_name}, PROJECT_REC_RANDN3_DEBUG_FILES), __func__, __LINE__) != 0 ||
        VOLUME_STACK_FLOATS(Nx, Ny, N, n) != 0)
        return -1;
    return run_benchmark_sequence(out_name, m, N, n, direction, use_many);
}

int mrcf_3d_backproject(const char* in, const char* out, unsigned Nz, float rot, float tilt, float psi,
                        int direction) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    head_ptr h;
    host_array<float> img = MRC_CMD_READ_FIRST(in, h);
    size_t n = 0;
    if (!img || MRC_CMD_SIZES(n, h->nx, h->ny, Nz) != 0) return -1;
    const unsigned nx = (unsigned)h->nx, ny = (unsigned)h->ny;
    std::vector<float> vol = MRC_CMD_FLOATS(n);
    gpu_3d_backproject(vol.data(), img.get(), nx, ny, Nz, volume_centre(nx), volume_centre(ny), volume_centre(Nz), rot,
                       tilt, psi, direction);
    mrcf_write_xyz_data(out, vol.data(), (int)nx, (int)ny, (int)Nz);
    return 0;
}
