// Particles cut from the first image of a micrograph file at the boxes of a box
// file, into the caller's array or into a new stack file. A box that is not
// wholly inside the image (with a pixel to spare on the right and at the
// bottom) is skipped with a warning and its slot left 0.
#define VORN_UNIT "src/mrcfile"
#include "mrcfile.h"

#include <cstring>
#include <vector>

#include "process2d_mrc.h"
#include "process2d_raw.h"

namespace {

// The first image and the boxes, with the particle size; -1 after a refusal.
// Everything sized here is checked first: the image against the file (header,
// sizes, data in the file), the boxes against the image, the stack's count of
// floats in 64 bits.
struct BoxedImage {
    head_ptr head;
    host_array<float> image;
    host_array<PTCL_BOX> boxes;
    int n = 0, w = 0, h = 0;
    size_t floats = 0;
};

int read_boxed_image(BoxedImage& b, const char* mic, const char* boxf, const char* func, int line) {
    b.image = mrc_cmd_read_first(mic, b.head, func, line);
    if (!b.image) return -1;
    b.boxes = mrc_cmd_read_boxes(boxf, PTCL_BOX_READ_MAX, b.n, func, line);
    if (!b.boxes) return -1;
    b.w = b.boxes[0].w, b.h = b.boxes[0].h;
    if (mrc_cmd_box_size(b.w, b.h, b.head->nx, b.head->ny, func, line) != 0) return -1;
    return mrc_cmd_sizes({b.w, b.h, b.n}, b.floats, func, line);
}

// Every slot written: 0 first, then the boxes that lie inside.
void cut_particles(float* out, const BoxedImage& b) {
    std::memset(out, 0, b.floats * sizeof(float));
    host_2d_read_ptcls_to_2ds_from_boxes(out, b.boxes.get(), b.n, b.image.get(), (unsigned)b.head->nx,
                                         (unsigned)b.head->ny);
}

}  // namespace

int mrcf_2d_read_ptcls_to_data_from_boxf(float* out, size_t capacity, const char* mic, const char* boxf) {
    BoxedImage b;
    if (read_boxed_image(b, mic, boxf, __func__, __LINE__) != 0) return -1;
    if (b.floats > capacity)
        return MRC_CMD_REFUSE("%d particles of %d x %d need %zu floats; the array holds %zu.", b.n, b.w, b.h, b.floats,
                              capacity);
    cut_particles(out, b);
    return 0;
}

int mrcf_2d_read_ptcls_to_mrcf_from_boxf(const char* out, const char* mic, const char* boxf) {
    BoxedImage b;
    if (MRCF_CHECK_OUTPUT_NAMES(out, mic, boxf) != 0 || read_boxed_image(b, mic, boxf, __func__, __LINE__) != 0)
        return -1;
    std::vector<float> stack = MRC_CMD_FLOATS(b.floats);
    cut_particles(stack.data(), b);
    // The header keeps the micrograph's value range and mean.
    MRC_HEAD h = *b.head;
    mrc_set_head_xyz_mode(&h, b.w, b.h, b.n, MRC_MODE_FLOAT);
    h.nsymbt = 0;
    FILE* f = MRC_CMD_OPEN_WRITE(out, "wb+");
    MRC_CMD_CLOSE_OUTPUT(f, out,
                         mrc_write_head(f, &h) == 0 && std::fwrite(stack.data(), sizeof(float), stack.size(), f) == stack.size());
    return 0;
}
