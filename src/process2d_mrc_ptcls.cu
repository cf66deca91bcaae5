// Particle commands: stacks cut from micrographs and movies at the boxes of a
// box file, and particles pasted back into their micrograph.
#define VORN_UNIT "src/process2d_mrc"
#include "process2d_mrc.h"

#include <vector>

#include "math_utils.h"
#include "mrcfile.h"
#include "process2d_raw.h"

namespace {

char* output_name(char (&out)[1024], const char* name, const char* suffix) {
    mrcf_set_outname_by_suffix(out, name, suffix);
    return out;
}

// Paste: every stack image must be exactly a box, or the images would be read
// at the wrong stride (and past the stack for a larger box).
int paste_particles(const char* mic, const char* stack, const char* ref, const char* boxf, const char* func, int line) {
    char out[1024];
    output_name(out, mic, "_prp.mrc");
    if (mrcf_check_output_names(out, {mic, stack, ref, boxf}, func, VORN_UNIT, line) != 0) return -1;
    int n = 0;
    host_array<PTCL_BOX> boxes = mrc_cmd_read_boxes(boxf, PTCL_BOX_READ_MAX, n, func, line);
    if (!boxes) return -1;
    head_ptr hm, hs, hr;
    host_array<float> image = mrc_cmd_read_all(mic, hm, func, line), particles, refs;
    if (!image || !(particles = mrc_cmd_read_all(stack, hs, func, line))) return -1;
    if (ref != nullptr) {
        if (!(refs = mrc_cmd_read_all(ref, hr, func, line))) return -1;
        check_mrc_head_sizes_two(stack, ref, hs.get(), hr.get());
    }
    if (n != hs->nz) vorn_fatal_line(func, VORN_UNIT, line, "Particle number in the stack file does not equal that in box file!");
    const int w = boxes[0].w, h = boxes[0].h;
    if (w != hs->nx || h != hs->ny)
        return mrc_cmd_refuse(func, line, "Boxes of %d x %d do not fit the images of %s (%d x %d).", w, h, stack, hs->nx,
                              hs->ny);
    if (ref != nullptr)
        cpu_x2d_norm_cp_ptcls_to_micrograph(image.get(), particles.get(), refs.get(), hm->nx, hm->ny, w, h, n, boxes.get());
    else
        cpu_x2d_cp_ptcls_to_micrograph(image.get(), particles.get(), hm->nx, hm->ny, w, h, n, boxes.get());
    mrcf_write_head_data(out, hm.get(), image.get());
    return 0;
}

}  // namespace

int mrcf_x2d_cp_ptcls_to_micrograph(const char* mic, const char* stack, const char* boxf) {
    return paste_particles(mic, stack, nullptr, boxf, __func__, __LINE__);
}

int mrcf_x2d_norm_cp_ptcls_to_micrograph(const char* mic, const char* stack, const char* ref, const char* boxf) {
    return paste_particles(mic, stack, ref, boxf, __func__, __LINE__);
}

// Boxes partly outside the micrograph keep their inside pixels; the rest is 0.
// Boxes larger than the micrograph, or a stack of more than an MRC file's
// sections, are refused before the stack is sized.
float* mrcf_get_data_ptcls(const char* mic, const char* boxf, int size, int invert, PtclStackShape* shape) {
    head_ptr h;
    host_array<float> image = MRC_CMD_READ_ALL(mic, h);
    if (!image) return nullptr;
    int n = 0;
    host_array<PTCL_BOX> boxes = MRC_CMD_READ_BOXES(boxf, PTCL_BOX_READ_MAX, n);
    if (!boxes) return nullptr;
    if (size != 0) resize_ptcl_boxes(boxes.get(), n, size);
    const int w = boxes[0].w, hh = boxes[0].h, nz = h->nz;
    size_t count = 0;
    if (MRC_CMD_BOX_SIZE(w, hh, h->nx, h->ny) != 0 || MRC_CMD_SIZES(count, w, hh, (int64_t)n * nz) != 0) return nullptr;
    float* out = (float*)std::malloc(count * sizeof(float));
    if (out == nullptr) VORN_FATAL("Not enough memory for %zu floats", count);
    if (nz == 1)
        cpu_2d_extract_ptcls_from_micrograph(out, w, hh, n, image.get(), h->nx, h->ny, boxes.get());
    else
        cpu_2d_extract_ptcls_from_movie(out, w, hh, nz, n, image.get(), h->nx, h->ny, boxes.get());
    if (invert != 0) hm_invert_inplace(out, count);
    if (shape != nullptr) *shape = PtclStackShape{n, w, hh, nz};
    return out;
}

int mrcf_2d_extract_ptcls_from_micrograph(const char* mic, const char* boxf, int size, int invert) {
    char out[1024];
    if (MRCF_CHECK_OUTPUT_NAMES(output_name(out, mic, "_particles.mrcs"), mic, boxf) != 0) return -1;
    PtclStackShape s;
    host_array<float> particles(mrcf_get_data_ptcls(mic, boxf, size, invert, &s));
    if (!particles) return -1;
    mrcf_write_xyz_data(out, particles.get(), s.w, s.h, s.n * s.nz);
    return 0;
}
