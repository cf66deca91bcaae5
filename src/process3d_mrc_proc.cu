// MRCF_Proc3D: an input volume file held with its header, sizes and managed
// voxels, and the random-volume reconstruction test run on it; its benchmark
// sequence shares the file command's runner in process3d_mrc.cu.
#define VORN_UNIT "src/process3d_mrc"
#include "process3d_mrc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cuda_general.h"
#include "process2d_mrc.h"
#include "process3d_raw.h"
#include "str_utils.h"

namespace {
constexpr size_t NAME_BYTES = 1024;

void report_empty_pointer(int line) {
    std::printf("\033[41mError in function %s(), file %s on line %d:empty pointer!  %s!\n\033[m", "init", VORN_UNIT,
                line, "empty pointer!");
}
char* new_name_buffer() {
    char* p = (char*)std::calloc(NAME_BYTES, 1);
    if (p == nullptr) VORN_FATAL("Host memory allocation failed");
    return p;
}
}  // namespace

int MRCF_Proc3D::init() {
    in_name = new_name_buffer();
    out_name = new_name_buffer();
    in_head = mrc_new_head();
    out_head = mrc_new_head();
    own_in_name = own_out_name = own_in_head = own_out_head = true;
    volume = work = nullptr;
    own_volume = own_work = false;
    return 0;
}

int MRCF_Proc3D::init(const char* in) {
    init();
    if (in == nullptr) return report_empty_pointer(__LINE__), -1;
    strlcpy(in_name, in);  // bounded: a name that does not fit is fatal, never cut or left unterminated
    size_t voxels = 0;
    if (mrcf_read_head(in_name, in_head) != 0 || volume_head_sizes(*in_head, in_name, voxels, __func__, __LINE__) != 0)
        return -1;
    volume = mrcf_get_zdata_all(in_name);
    own_volume = true;
    Nx = (unsigned)in_head->nx, Ny = (unsigned)in_head->ny, Nz = (unsigned)in_head->nz;
    Nxh = Nx / 2 + 1;
    cx = volume_centre_f(Nx), cy = volume_centre_f(Ny), cz = volume_centre_f(Nz);
    NxNy = (size_t)Nx * Ny;
    NxNyNz = NxNy * Nz;
    NxhNy = (size_t)Nxh * Ny;
    NxhNyNz = NxhNy * Nz;
    return 0;
}

int MRCF_Proc3D::init(const char* in, const char* out) {
    if (in == nullptr) report_empty_pointer(__LINE__);
    if (out == nullptr) report_empty_pointer(__LINE__);
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return init(), -1;
    const int r = init(in);
    if (out != nullptr) strlcpy(out_name, out);
    std::memcpy(out_head, in_head, sizeof(MRC_HEAD));
    return out == nullptr ? -1 : r;
}

int MRCF_Proc3D::destroy() {
    const auto release_host = [](auto*& p, bool& own) {
        if (own) std::free(p), p = nullptr, own = false;
    };
    release_host(in_name, own_in_name);
    release_host(out_name, own_out_name);
    release_host(in_head, own_in_head);
    release_host(out_head, own_out_head);
    const auto release_device = [](float*& p, bool& own) {
        if (own) CUDA_CHECK(cudaFree(p)), p = nullptr, own = false;
    };
    release_device(volume, own_volume);
    release_device(work, own_work);
    return 0;
}

int reread_held_volume(const MRCF_Proc3D& p, VolumeInput& v, const std::vector<const char*>& outputs,
                       const char* func, int line) {
    if (p.in_name == nullptr || p.Nx == 0)
        return mrc_cmd_refuse(func, line, "No input volume is held: init with a volume file first.");
    if (read_volume_input(p.in_name, outputs, true, v, func, line) != 0) return -1;
    if (v.nx == p.Nx && v.ny == p.Ny && v.nz == p.Nz) return 0;
    return mrc_cmd_refuse(func, line, "%s is no longer the volume of %u x %u x %u read at init.", p.in_name, p.Nx,
                          p.Ny, p.Nz);
}

int MRCF_Proc3D::rrt_test(const char*, const char*, unsigned N, unsigned M) {
    char proj_name[NAME_BYTES] = {};
    if (in_name != nullptr) replace_file_suffix(proj_name, "_proj.mrc", in_name, ".mrc");
    VolumeInput v;
    size_t n = 0;
    if (reread_held_volume(*this, v, outputs_with({out_name, proj_name}, RRT_TEST_FILES), __func__, __LINE__) != 0 ||
        VOLUME_STACK_FLOATS(Nx, Ny, N, n) != 0)
        return -1;
    float *stack = nullptr, *rec = nullptr;
    cuda_malloc_many_pointers<float>(n, &stack, nullptr);
    cuda_malloc_many_pointers<float>(NxNyNz, &rec, nullptr);
    const int r = zgpu_3d_rrt_test(rec, stack, N, v.v, Nx, Ny, Nz, M);
    CUDA_CHECK(cudaDeviceSynchronize());
    if (r == 0) {
        mrcf_write_xyz_zdata(out_name, rec, (int)Nx, (int)Ny, (int)Nz);
        mrcf_write_xyz_zdata(proj_name, stack, (int)Nx, (int)Ny, (int)N);
    }
    cudaFree_many_pointers(stack, rec, nullptr);
    return r;
}
