// Symmetry expansion and NCS averaging of volume files through operator files.
#define VORN_UNIT "src/process3d_mrc"
#include "process3d_mrc.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cuda_general.h"
#include "process2d_mrc.h"
#include "process3d_raw.h"
#include "sym.h"

namespace {

constexpr int CPU_DEVICE = 999;

// The operators of a file as read (direction 1) or inverted (-1); false, after
// a warning naming the command, for any other direction or a file without any.
bool operators_of_file(std::vector<RT_Mat3D>& ops, const char* file, int direction, const char* command) {
    if (direction != 1 && direction != -1) {
        vorn_warning_line(command, VORN_UNIT, __LINE__,
                          "operator direction %d: 1 (as read) or -1 (inverted) expected! Nothing written.\n\033[m",
                          direction);
        return false;
    }
    std::vector<RT_Mat3D> read;
    get_syms3d_from_ofile(read, file);
    if (read.empty()) {
        vorn_warning_line(command, VORN_UNIT, __LINE__, "no operator in %s! Nothing written.\n\033[m", file);
        return false;
    }
    ops.resize(read.size());
    if (direction == 1) sym_vector_to_syms(ops.data(), read);
    else sym_vector_to_inverse_syms(ops.data(), read);
    return true;
}

bool same_size(const VolumeInput& a, const VolumeInput& b) { return a.nx == b.nx && a.ny == b.ny && a.nz == b.nz; }

}  // namespace

int mrcf_3d_sym_expansion(const char* out, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                          const char* subunit, float sx, float sy, float sz, const char* mask, const char* operators,
                          int direction, int mode, int gid) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, subunit, mask, operators) != 0) return -1;
    std::vector<RT_Mat3D> ops;
    if (!operators_of_file(ops, operators, direction, __func__)) return -1;
    size_t n = 0;
    VolumeInput sub, m;
    if (MRC_CMD_SIZES(n, Nx, Ny, Nz) != 0 || READ_VOLUME_INPUT(subunit, false, sub, nullptr) != 0 ||
        READ_VOLUME_INPUT(mask, false, m, nullptr) != 0)
        return -1;
    if (!same_size(sub, m)) {
        VORN_WARNING("the mask %s (%u x %u x %u) differs in size from the subunit %s (%u x %u x %u)! Nothing "
                     "written.\n\033[m",
                     mask, m.nx, m.ny, m.nz, subunit, sub.nx, sub.ny, sub.nz);
        return -1;
    }
    const unsigned count = (unsigned)ops.size();
    std::vector<float> out_volume = MRC_CMD_FLOATS(n);
    float* v = out_volume.data();
    if (gid == CPU_DEVICE) {
        cpu_3d_syms_expansion(v, Nx, Ny, Nz, cx, cy, cz, sub.v, sub.nx, sub.ny, sub.nz, sx, sy, sz, m.v, ops.data(),
                              count);
    } else {
        check_gid(gid);  // also makes it the current device
        if (mode == 0) {
            gpu_3d_syms_expansion(v, Nx, Ny, Nz, cx, cy, cz, sub.v, sub.nx, sub.ny, sub.nz, sx, sy, sz, m.v,
                                  ops.data(), count);
        } else if (mode == 1) {
            gpu_3d_syms_expansion_all_slices(v, Nx, Ny, Nz, cx, cy, cz, sub.v, sub.nx, sub.ny, sub.nz, sx, sy, sz,
                                             m.v, ops.data(), count);
        } else {
            VORN_FATAL("Unknown device or expansion mode.\n");
        }
    }
    mrcf_write_xyz_data(out, v, (int)Nx, (int)Ny, (int)Nz);
    return 0;
}

int mrcf_3d_ncs_average(const char* out, float ox, float oy, float oz, const char* map, const char* mask,
                        const char* operators, int direction, int gid) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, map, mask, operators) != 0) return -1;
    std::vector<RT_Mat3D> ops;
    if (!operators_of_file(ops, operators, direction, __func__)) return -1;
    VolumeInput mp, m;
    if (READ_VOLUME_INPUT(map, false, mp, nullptr) != 0 || READ_VOLUME_INPUT(mask, false, m, nullptr) != 0) return -1;
    const float mx = mp.cx, my = mp.cy, mz = mp.cz;
    const unsigned count = (unsigned)ops.size();
    std::vector<float> out_volume = MRC_CMD_FLOATS(m.voxels());
    float* v = out_volume.data();
    if (gid == CPU_DEVICE) {
        cpu_3d_ncs_average(v, m.nx, m.ny, m.nz, ox, oy, oz, mp.v, mp.nx, mp.ny, mp.nz, mx, my, mz, m.v, ops.data(),
                           count);
    } else {
        check_gid(gid);
        gpu_3d_ncs_average(v, m.nx, m.ny, m.nz, ox, oy, oz, mp.v, mp.nx, mp.ny, mp.nz, mx, my, mz, m.v, ops.data(),
                           count);
    }
    mrcf_write_xyz_data(out, v, (int)m.nx, (int)m.ny, (int)m.nz);
    return 0;
}
