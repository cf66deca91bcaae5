// Stack commands image by image: local particles, peak tables, reversal and
// splitting; hot-pixel removal on the whole stack.
#define VORN_UNIT "src/process2d_mrcs"
#include "process2d_mrcs.h"

#include <cstring>
#include <string>
#include <vector>

#include "mrcfile.h"
#include "process2d_core.h"
#include "process2d_mrc.h"
#include "process2d_raw.h"

namespace {

// The stack's images 0 ... n-1, one at a time; the stack (and, through
// reopen/close, the caller's output) is opened anew for every 1000 images,
// printing "." on opening and "-" after each full thousand. A failed read ends
// the process through fail(stack) (which removes what the caller wrote).
template <class Reopen, class Close, class Each, class Fail>
void each_image_by_thousands(const char* stack, MRC_HEAD* h, int n, Reopen reopen, Close close, Each each, Fail fail) {
    std::vector<float> image = MRC_CMD_FLOATS(image_pixels((unsigned)h->nx, (unsigned)h->ny));
    FILE* f = nullptr;
    for (int i = 0; i < n; ++i) {
        if (i % 1000 == 0) {
            f = MRC_CMD_OPEN_READ(stack, "rb");
            reopen();
            std::printf(".");
            std::fflush(stdout);
        }
        if (mrc_read_slice(f, h, i, 'z', image.data()) != 0) {
            std::fclose(f);
            fail(stack);
        }
        each(i, image.data());
        if (i % 1000 == 999 || i == n - 1) {
            std::fclose(f);
            close();
            if (i % 1000 == 999) std::printf("-");
        }
    }
}

// The stack checked (header, mode, data in the file, an image) before any
// output is made for it; false after the refusal.
bool check_stack(const char* stack, MRC_HEAD& h, const char* func, int line) {
    FILE* f = mrc_cmd_open_input(stack, h, nullptr, func, line);
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

}  // namespace

int mrcsf_2ds_extract_local_ptcls(const char* stack, const char* boxf, int size) {
    char out[1024];
    mrcf_set_outname_by_suffix(out, stack, "_local_particles.mrcs");
    MRC_HEAD hin;
    if (MRCF_CHECK_OUTPUT_NAMES(out, stack, boxf) != 0 || !check_stack(stack, hin, __func__, __LINE__)) return -1;
    const int nz = hin.nz;
    int n = 0;
    host_array<PTCL_BOX> boxes = MRC_CMD_READ_BOXES(boxf, nz, n);
    if (!boxes) return -1;
    if (n < nz) VORN_WARNING("Particle number in mrcs stack more than that in the box file!\n Extra particles have been ignored! !\n\033[m");
    if (size != 0) resize_ptcl_boxes(boxes.get(), n, size);
    const int w = boxes[0].w, h = boxes[0].h;
    size_t npix = 0;
    if (MRC_CMD_BOX_SIZE(w, h, hin.nx, hin.ny) != 0 || MRC_CMD_SIZES(npix, w, h) != 0) return -1;
    std::vector<float> particle = MRC_CMD_FLOATS(npix);

    MRC_HEAD hout = hin;
    mrc_set_head_xyz_mode(&hout, w, h, n, MRC_MODE_FLOAT);
    hout.nsymbt = 0;
    FILE* fout = MRC_CMD_OPEN_WRITE(out, "wb+");
    MRC_CMD_CLOSE_OUTPUT(fout, out, mrc_write_head(fout, &hout) == 0);

    each_image_by_thousands(
        stack, &hin, n, [&] { fout = MRC_CMD_OPEN_READ(out, "ab+"); }, [&] { MRC_CMD_CLOSE_OUTPUT(fout, out, true); },
        [&](int i, const float* image) {
            cpu_2d_extract_small_from_large(particle.data(), w, h, image, hin.nx, hin.ny, boxes[i].x, boxes[i].y);
            if (std::fwrite(particle.data(), sizeof(float), particle.size(), fout) != particle.size())
                MRC_CMD_ABANDON(fout, out, "write", out);
        },
        [&](const char* file) { MRC_CMD_ABANDON(fout, out, "read data of", file); });
    std::printf("\n particle extraction finished\n");
    return 0;
}

int mrcf_2ds_find_single_peaks(const char* stack) {
    char name[1024];
    mrcf_set_outname_by_suffix(name, stack, "_local_center.txt");
    MRC_HEAD h;
    if (MRCF_CHECK_OUTPUT_NAMES(name, stack) != 0 || !check_stack(stack, h, __func__, __LINE__)) return -1;
    FILE* text = MRC_CMD_OPEN_WRITE(name, "w+");
    std::printf("searching and writing all peaks (frame,   x,     y,     value) to %s :\n", name);
    each_image_by_thousands(
        stack, &h, h.nz, [] {}, [] {},
        [&](int i, const float* image) {
            int x = 0, y = 0;
            float v = 0.0f;
            cpu_2d_get_unique_peak(image, (unsigned)h.nx, (unsigned)h.ny, x, y, v);
            std::fprintf(text, "%8d %8d %8d %15.6f \n", i, x, y, v);
            std::fflush(text);
        },
        [&](const char* file) { MRC_CMD_ABANDON(text, name, "read data of", file); });
    MRC_CMD_CLOSE_OUTPUT(text, name, !std::ferror(text));
    std::printf("\n peak search finished\n");
    return 0;
}

int mrcsf_2ds_rm_hotpixels(const char* in, const char* out, float nsigma) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    head_ptr h;
    host_array<float> stack = MRC_CMD_READ_ALL(in, h);
    if (!stack) return -1;
    hcuda_2ds_rm_hotpixels_inplace(stack.get(), (unsigned)h->nx, (unsigned)h->ny, h->nz, nsigma);
    mrcf_write_xyz_data(out, stack.get(), h->nx, h->ny, h->nz);
    return 0;
}

int mrcsf_upsidedown(const char* in, const char* out) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    MRC_HEAD hin;
    FILE* fin = MRC_CMD_OPEN_INPUT(in, hin, "\nCannot open file strike any key exit!");
    if (fin == nullptr) return -1;
    std::vector<float> image = MRC_CMD_FLOATS(image_pixels((unsigned)hin.nx, (unsigned)hin.ny));
    MRC_HEAD hout = hin;
    mrc_set_head_mode(&hout, MRC_MODE_FLOAT);
    hout.nsymbt = 0;
    FILE* fout = mrc_cmd_open_or_strike(out, "wb+");
    if (mrc_write_head(fout, &hout) != 0) MRC_CMD_ABANDON(fout, out, "write", out);
    for (int i = hin.nz - 1; i >= 0; --i) {
        if (mrc_read_slice(fin, &hin, i, 'z', image.data()) != 0) MRC_CMD_ABANDON(fout, out, "read data of", in);
        if (mrc_add_slice(fout, &hout, image.data()) != 0) MRC_CMD_ABANDON(fout, out, "write", out);
    }
    std::fclose(fin);
    MRC_CMD_CLOSE_OUTPUT(fout, out, true);
    return 0;
}

int mrcsf_split(const char* in, const char* prefix) {
    MRC_HEAD h;
    FILE* fin = MRC_CMD_OPEN_INPUT(in, h, nullptr);
    if (fin == nullptr) return -1;
    std::vector<std::string> names;
    if (MRC_CMD_SECTION_NAMES(in, prefix, h.nz, names) != 0) {
        std::fclose(fin);
        return -1;
    }
    MRC_HEAD one = h;
    mrc_set_head_xyz_mode(&one, h.nx, h.ny, 1, MRC_MODE_FLOAT);
    std::vector<float> image = MRC_CMD_FLOATS(image_pixels((unsigned)h.nx, (unsigned)h.ny));
    for (int i = 0; i < h.nz; ++i) {
        if (mrc_read_slice(fin, &h, i, 'z', image.data()) != 0) VORN_FATAL("read data of file '%s' failed.", in);
        mrcf_write_head_data(names[i].c_str(), &one, image.data());
        std::printf(".");
        std::fflush(stdout);
    }
    std::printf("\n");
    std::fclose(fin);
    return 0;
}
