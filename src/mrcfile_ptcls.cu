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
struct BoxedImage {
    MRC_HEAD head;
    std::vector<float> image;
    host_array<PTCL_BOX> boxes;
    int n = 0, w = 0, h = 0;
    size_t particle_floats() const { return (size_t)n * (size_t)w * (size_t)h; }
};

int read_boxed_image(BoxedImage& b, const char* mic, const char* boxf, const char* func, int line) {
    FILE* f = mrc_cmd_open_read(mic, "rb", func, line);
    mrc_read_head(f, &b.head);
    if (b.head.nz < 1 || b.head.nx < 1 || b.head.ny < 1) {
        std::fclose(f);
        return mrc_cmd_refuse(func, line, "%s holds no image.", mic);
    }
    b.image.resize((size_t)b.head.nx * (size_t)b.head.ny);
    if (mrc_read_slice(f, &b.head, 0, 'z', b.image.data()) != 0)
        vorn_fatal_line(func, VORN_UNIT, line, "read data of file '%s' failed.", mic);
    std::fclose(f);
    b.boxes = mrc_cmd_read_boxes(boxf, b.n);
    if (b.n < 1) return mrc_cmd_refuse(func, line, "The box file %s holds no box.", boxf);
    b.w = b.boxes[0].w, b.h = b.boxes[0].h;
    if (b.w < 1 || b.h < 1) return mrc_cmd_refuse(func, line, "Boxes of %d x %d hold no pixel.", b.w, b.h);
    return 0;
}

// Every slot written: 0 first, then the boxes that lie inside.
void cut_particles(float* out, const BoxedImage& b) {
    std::memset(out, 0, b.particle_floats() * sizeof(float));
    host_2d_read_ptcls_to_2ds_from_boxes(out, b.boxes.get(), b.n, b.image.data(), (unsigned)b.head.nx,
                                         (unsigned)b.head.ny);
}

}  // namespace

int mrcf_2d_read_ptcls_to_data_from_boxf(float* out, size_t capacity, const char* mic, const char* boxf) {
    BoxedImage b;
    if (read_boxed_image(b, mic, boxf, __func__, __LINE__) != 0) return -1;
    if (b.particle_floats() > capacity)
        return MRC_CMD_REFUSE("%d particles of %d x %d need %zu floats; the array holds %zu.", b.n, b.w, b.h,
                              b.particle_floats(), capacity);
    cut_particles(out, b);
    return 0;
}

int mrcf_2d_read_ptcls_to_mrcf_from_boxf(const char* out, const char* mic, const char* boxf) {
    BoxedImage b;
    if (read_boxed_image(b, mic, boxf, __func__, __LINE__) != 0) return -1;
    std::vector<float> stack(b.particle_floats());
    cut_particles(stack.data(), b);
    // The header keeps the micrograph's value range and mean.
    MRC_HEAD h = b.head;
    mrc_set_head_xyz_mode(&h, b.w, b.h, b.n, MRC_MODE_FLOAT);
    h.nsymbt = 0;
    FILE* f = MRC_CMD_OPEN_WRITE(out, "wb+");
    if (mrc_write_head(f, &h) != 0 || std::fwrite(stack.data(), sizeof(float), stack.size(), f) != stack.size() ||
        std::fclose(f) != 0)
        VORN_FATAL("write file '%s' failed.", out);
    return 0;
}
