// Volume file commands: slice reorderings, centre of mass, resampling, ramp
// volumes, projection, backprojection and the reconstruction drivers on files.
#define VORN_UNIT "src/process3d_mrc"
#include "process3d_mrc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cuda_general.h"
#include "process1d_raw.h"
#include "process2d_mrc.h"
#include "process3d_raw.h"
#include "str_utils.h"

namespace {

// A volume file read whole into host memory (header and voxels), freed by release.
struct HostVolume {
    MRC_HEAD* head;
    float* v;
    unsigned nx, ny, nz;
    float cx, cy, cz;
    size_t voxels() const { return volume_voxels(nx, ny, nz); }
    size_t pixels() const { return (size_t)nx * ny; }
    void release() {
        std::free(v);
        std::free(head);
    }
};
HostVolume read_host_volume(const char* name) {
    HostVolume h;
    h.head = mrcf_get_head(name);
    h.v = mrcf_get_data_all(name);
    h.nx = (unsigned)h.head->nx, h.ny = (unsigned)h.head->ny, h.nz = (unsigned)h.head->nz;
    h.cx = volume_centre(h.nx), h.cy = volume_centre(h.ny), h.cz = volume_centre(h.nz);
    return h;
}

// The same in managed memory.
struct ManagedVolume {
    float* v;
    unsigned nx, ny, nz;
    float cx, cy, cz;
    size_t pixels() const { return (size_t)nx * ny; }
};
ManagedVolume read_managed_volume(const char* name) {
    int nx, ny, nz;
    get_mrcf_xyz(nx, ny, nz, name);
    ManagedVolume m{mrcf_get_zdata_all(name), (unsigned)nx, (unsigned)ny, (unsigned)nz, 0.0f, 0.0f, 0.0f};
    m.cx = volume_centre(m.nx), m.cy = volume_centre(m.ny), m.cz = volume_centre(m.nz);
    return m;
}
float* managed_floats(size_t n) {
    float* p = nullptr;
    cuda_malloc_many_pointers<float>(n > 0 ? n : 1, &p, nullptr);
    return p;
}
float* host_floats(size_t n) {
    float* p = (float*)std::malloc((n > 0 ? n : 1) * sizeof(float));
    if (p == nullptr) VORN_FATAL("Host memory allocation failed");
    return p;
}

}  // namespace

// ================= slices =================

namespace {
// Appends slice slice_of(i) across the axis of the input, for i = 0 .. count - 1,
// to the output after its header; then closes both files and frees the headers.
template <class SliceOf>
void append_slices(FILE* fin, MRC_HEAD* hin, FILE* fout, MRC_HEAD* hout, int count, char axis, SliceOf slice_of) {
    mrc_write_head(fout, hout);
    float* slice = host_floats((size_t)hout->nx * hout->ny);
    for (int i = 0; i < count; ++i) {
        mrc_read_slice(fin, hin, slice_of(i), axis, slice);
        mrc_add_slice(fout, hout, slice);
    }
    std::fclose(fin);
    std::fclose(fout);
    std::free(slice);
    std::free(hin);
    std::free(hout);
}
}  // namespace

// The xz slice at input y becomes output slice y, its rows the input z.
int mrcf_flipyz(const char* in, const char* out) {
    std::printf("\nBegin flipping:");
    FILE* fin = mrc_cmd_open_or_strike(in, "rb");
    FILE* fout = mrc_cmd_open_or_strike(out, "w+");
    MRC_HEAD* hin = mrc_new_head();
    MRC_HEAD* hout = mrc_new_head();
    mrc_read_head(fin, hin);
    mrc_read_head(fin, hout);
    mrc_set_head_xyz_mode(hout, hin->nx, hin->nz, hin->ny, MRC_MODE_FLOAT);
    append_slices(fin, hin, fout, hout, hin->ny, 'y', [](int y) { return y; });
    std::printf("\nflipping finished!\n");
    return 0;
}

int mrcf_upsidedown(const char* in, const char* out) {
    FILE *fin, *fout;
    MRC_HEAD *hin, *hout;
    if (mrcf_io_init(in, out, fin, fout, hin, hout) != 0) return -1;
    mrc_set_head_mode(hout, MRC_MODE_FLOAT);
    const int nz = hin->nz;
    append_slices(fin, hin, fout, hout, nz, 'z', [nz](int i) { return nz - 1 - i; });
    return 0;
}

int mrcf_split(const char* in, const char* prefix) {
    FILE* f = std::fopen(in, "rb");
    if (f == nullptr) {
        std::printf("Cannot open file %s. Permission denied or wrong file name.\n", in);
        VORN_FATAL("open file '%s' failed.", in);
    }
    MRC_HEAD* h = mrc_new_head();
    mrc_read_head(f, h);
    float* slice = host_floats((size_t)h->nx * h->ny);
    char name[1024];
    for (int i = 0; i < h->nz; ++i) {
        std::memset(name, 0, sizeof name);
        if (std::snprintf(name, sizeof name, "%s%06d.mrc", prefix, i) >= (int)sizeof name)
            VORN_FATAL("the name of slice %d of '%s' does not fit 1024 characters", i, in);
        mrc_read_slice(f, h, i, 'z', slice);
        mrcf_write_xyz_data(name, slice, h->nx, h->ny, 1);
    }
    std::fclose(f);
    std::free(slice);
    std::free(h);
    return 0;
}

// ================= centre of mass =================

float3 mrcf_3d_cpu_get_mass_center(const char* in) {
    HostVolume h = read_host_volume(in);
    const float3 c = cpu_3d_get_mass_center(h.v, h.nx, h.ny, h.nz);
    h.release();
    return c;
}
int mrcf_3d_cpu_print_mass_center(const char* in) {
    HostVolume h = read_host_volume(in);
    cpu_3d_print_mass_center(h.v, h.nx, h.ny, h.nz);
    h.release();
    return 0;
}

// ================= resampling =================

namespace {
// The volume of in resampled by run(out, in volume) into out, same size.
template <class Run>
int resample_file(const char* in, const char* out, Run run) {
    HostVolume h = read_host_volume(in);
    float* r = host_floats(h.voxels());
    run(r, h);
    mrcf_write_xyz_data(out, r, (int)h.nx, (int)h.ny, (int)h.nz);
    std::free(r);
    h.release();
    return 0;
}
RT_Mat3D euler_with_shift(float rot, float tilt, float psi, float tx, float ty, float tz) {
    RT_Mat3D m = euler_matrix(rot, tilt, psi);
    m.Tx = tx, m.Ty = ty, m.Tz = tz;
    return m;
}
}  // namespace

int mrcf_3d_rot_trans(const char* in, const char* out, float rot, float tilt, float psi, float tx, float ty, float tz,
                      int direction) {
    const RT_Mat3D m = euler_with_shift(rot, tilt, psi, tx, ty, tz);
    return resample_file(in, out, [&](float* r, const HostVolume& h) {
        gpu_3d_transform(r, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, m, direction);
    });
}
int mrcf_3d_rot_trans3(const char* in, const char* out, float rot, float tilt, float psi, float tx, float ty, float tz,
                       int direction) {
    const RT_Mat3D m = euler_with_shift(rot, tilt, psi, tx, ty, tz);
    return resample_file(in, out, [&](float* r, const HostVolume& h) {
        gpu_3d_transform3(r, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, m, direction);
    });
}
int mrcf_3d_trans_rot(const char* in, const char* out, float tx, float ty, float tz, float rot, float tilt, float psi,
                      int direction) {
    const RT_Mat3D e = euler_matrix(rot, tilt, psi);
    const RT_Mat3D m = euler_with_shift(rot, tilt, psi, e.R11 * tx + e.R12 * ty + e.R13 * tz,
                                        e.R21 * tx + e.R22 * ty + e.R23 * tz, e.R31 * tx + e.R32 * ty + e.R33 * tz);
    return resample_file(in, out, [&](float* r, const HostVolume& h) {
        gpu_3d_transform(r, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, m, direction);
    });
}

// ================= ramp volume =================

int mrcf_3d_0123(const char* out, unsigned Nx, unsigned Ny, unsigned Nz, int mode) {
    const size_t n = volume_voxels(Nx, Ny, Nz);
    float* v = host_floats(n);
    if (mode == 2 && n > 0) {
        float* d = nullptr;
        if (cudaMalloc((void**)&d, n * sizeof(float)) != cudaSuccess) {
            std::printf("device memory allocation failed");
            std::free(v);
            return 1;
        }
        hcuda_1d_auto0123(d, n);
        CUDA_CHECK(memcpy_D2H(v, d, n * sizeof(float)));
        CUDA_CHECK(cudaFree(d));
    } else {
        cpu_1d_auto0123(v, n);
    }
    mrcf_write_xyz_data(out, v, (int)Nx, (int)Ny, (int)Nz);
    std::free(v);
    return 0;
}

// ================= projection and backprojection =================

int mrcf_3d_gpu_project(const char* in, const char* out, float rot, float tilt, float psi, int direction,
                        int sampling) {
    HostVolume h = read_host_volume(in);
    float* img = host_floats(h.pixels());
    gpu_3d_project(img, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, rot, tilt, psi, direction, sampling);
    mrcf_write_xyz_data(out, img, (int)h.nx, (int)h.ny, 1);
    std::free(img);
    h.release();
    return 0;
}

int mrcf_3d_gpu_project_randN(const char* in, const char* out, unsigned N, int direction, int sampling) {
    HostVolume h = read_host_volume(in);
    float* stack = host_floats(h.pixels() * N);
    const int r = gpu_3d_project_randN(stack, N, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, direction, sampling);
    if (r == 0) mrcf_write_xyz_data(out, stack, (int)h.nx, (int)h.ny, (int)N);
    std::free(stack);
    h.release();
    return r;
}

namespace {
// Projections of a managed volume into a managed stack of N images by
// project(stack, volume), written to out when the driver accepts N.
template <class Project>
int project_managed_file(const char* in, const char* out, unsigned N, Project project) {
    ManagedVolume m = read_managed_volume(in);
    float* stack = managed_floats(m.pixels() * N);
    const int r = project(stack, m);
    CUDA_CHECK(cudaDeviceSynchronize());
    if (r == 0) mrcf_write_xyz_zdata(out, stack, (int)m.nx, (int)m.ny, (int)N);
    cudaFree_many_pointers(stack, m.v, nullptr);
    return r;
}
}  // namespace

int mrcf_3d_zgpu_project_randN(const char* in, const char* out, unsigned N, int direction, int sampling) {
    return project_managed_file(in, out, N, [&](float* stack, const ManagedVolume& m) {
        return zgpu_3d_project_randN(stack, N, m.v, m.nx, m.ny, m.nz, m.cx, m.cy, m.cz, direction, sampling);
    });
}
int mrcf_3d_zgpu_project_N(const char* in, const char* out, unsigned N, const std::vector<float3>& angles,
                           int direction, int sampling) {
    return project_managed_file(in, out, N, [&](float* stack, const ManagedVolume& m) {
        return zgpu_3d_project_N(stack, N, m.v, m.nx, m.ny, m.nz, m.cx, m.cy, m.cz, angles, direction, sampling);
    });
}

int mrcf_3d_gpu_project_rec_randN(const char* in, const char* rec_out, const char* stack_out, unsigned N,
                                  int direction, int sampling) {
    HostVolume h = read_host_volume(in);
    float* stack = host_floats(h.pixels() * N);
    float* rec = host_floats(h.voxels());
    const int r =
        gpu_3d_project_rec_randN(rec, stack, N, h.v, h.nx, h.ny, h.nz, h.cx, h.cy, h.cz, direction, sampling);
    if (r == 0) {
        mrcf_write_xyz_data(stack_out, stack, (int)h.nx, (int)h.ny, (int)N);
        mrcf_write_xyz_data(rec_out, rec, (int)h.nx, (int)h.ny, (int)h.nz);
    }
    std::free(stack);
    std::free(rec);
    h.release();
    return r;
}

namespace {
// The benchmark sequence on a managed copy of a volume: rec written to out when
// the driver accepts N.
int run_benchmark_sequence(const char* out, const ManagedVolume& m, unsigned N, int direction, int use_many) {
    const size_t pixels = m.pixels(), half = (size_t)(m.nx / 2 + 1) * m.ny;
    float* stack = managed_floats(pixels * N);
    float* spare = managed_floats(pixels * N);
    float* rec = managed_floats(volume_voxels(m.nx, m.ny, m.nz));
    float* amp_before = managed_floats(half * N);
    float* amp_after = managed_floats(half * N);
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
    int nx, ny, nz;
    get_mrcf_xyz(nx, ny, nz, in);
    std::printf("b2 inf%s \n", in);
    ManagedVolume m = read_managed_volume(in);
    std::printf("b3 inf%s \n", in);
    CUDA_CHECK(cudaDeviceSynchronize());
    std::printf("rot ddffffffff \n");
    sleep(1);
    mrcf_write_xyz_zdata("debu_graw_z3d_read_write.mrc", m.v, nx, ny, nz);
    CUDA_CHECK(cudaDeviceSynchronize());
    mrcf_write_xyz_data("debug_raw_3d_read_write.mrc", m.v, nx, ny, nz);
    CUDA_CHECK(cudaDeviceSynchronize());
    std::printf("rot 4 inf%s %d %d %d\n", in, nx, ny, nz);
    sleep(1);
    const int r = run_benchmark_sequence(rec_out, m, N, direction, use_many);
    CUDA_CHECK(cudaFree(m.v));
    return r;
}

// The same sequence on a fresh managed copy of the held input, its sizes as read at init.
int MRCF_Proc3D::zgpu_project_rec_randN3_debug(const char*, const char*, unsigned N, int direction, int use_many) {
    const ManagedVolume m{mrcf_get_zdata_all(in_name), Nx, Ny, Nz, volume_centre(Nx), volume_centre(Ny),
                          volume_centre(Nz)};
    const int r = run_benchmark_sequence(out_name, m, N, direction, use_many);
    CUDA_CHECK(cudaFree(m.v));
    return r;
}

int mrcf_3d_backproject(const char* in, const char* out, unsigned Nz, float rot, float tilt, float psi,
                        int direction) {
    MRC_HEAD* h = mrcf_get_head(in);
    float* img = mrcf_get_data_sliceN(in, 0);
    if (img == nullptr) VORN_FATAL("cannot read the first image of '%s'", in);
    const unsigned nx = (unsigned)h->nx, ny = (unsigned)h->ny;
    float* vol = host_floats(volume_voxels(nx, ny, Nz));
    gpu_3d_backproject(vol, img, nx, ny, Nz, volume_centre(nx), volume_centre(ny), volume_centre(Nz), rot, tilt, psi,
                       direction);
    mrcf_write_xyz_data(out, vol, (int)nx, (int)ny, (int)Nz);
    std::free(vol);
    std::free(img);
    std::free(h);
    return 0;
}
