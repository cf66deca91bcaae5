// Stack commands image by image: local particles, peak tables, reversal and
// splitting; hot-pixel removal on the whole stack.
#define VORN_UNIT "src/process2d_mrcs"
#include "process2d_mrcs.h"

#include <cstring>
#include <vector>

#include "mrcfile.h"
#include "process2d_core.h"
#include "process2d_mrc.h"
#include "process2d_raw.h"

namespace {

// The stack's images 0 ... n-1, one at a time; the stack (and, through
// reopen/close, the caller's output) is opened anew for every 1000 images,
// printing "." on opening and "-" after each full thousand.
template <class Reopen, class Close, class Each>
void each_image_by_thousands(const char* stack, MRC_HEAD* h, int n, Reopen reopen, Close close, Each each) {
    std::vector<float> image(image_pixels((unsigned)h->nx, (unsigned)h->ny));
    FILE* f = nullptr;
    for (int i = 0; i < n; ++i) {
        if (i % 1000 == 0) {
            f = MRC_CMD_OPEN_READ(stack, "rb");
            reopen();
            std::printf(".");
            std::fflush(stdout);
        }
        if (mrc_read_slice(f, h, i, 'z', image.data()) != 0) VORN_FATAL("read data of file '%s' failed.", stack);
        each(i, image.data());
        if (i % 1000 == 999 || i == n - 1) {
            std::fclose(f);
            close();
            if (i % 1000 == 999) std::printf("-");
        }
    }
}

}  // namespace

int mrcsf_2ds_extract_local_ptcls(const char* stack, const char* boxf, int size) {
    head_ptr hin = mrc_cmd_read_head(stack);
    const int nz = std::max(hin->nz, 0);
    host_array<PTCL_BOX> boxes((PTCL_BOX*)std::calloc((size_t)std::max(nz, 1), sizeof(PTCL_BOX)));
    if (!boxes) VORN_FATAL("Not enough memory for %d boxes", nz);
    std::vector<char> path(boxf, boxf + std::strlen(boxf) + 1);
    const int n = nz > 0 ? read_all_ptcl_boxes(boxes.get(), nz, path.data()) : 0;
    if (n < 1) return MRC_CMD_REFUSE("No box of %s for the images of %s.", boxf, stack);
    if (n < nz) VORN_WARNING("Particle number in mrcs stack more than that in the box file!\n Extra particles have been ignored! !\n\033[m");
    if (size != 0) resize_ptcl_boxes(boxes.get(), n, size);
    const int w = boxes[0].w, h = boxes[0].h;
    if (w < 1 || h < 1) return MRC_CMD_REFUSE("Boxes of %d x %d hold no pixel.", w, h);

    char out[1024];
    mrcf_set_outname_by_suffix(out, stack, "_local_particles.mrcs");
    MRC_HEAD hout = *hin;
    mrc_set_head_xyz_mode(&hout, w, h, n, MRC_MODE_FLOAT);
    hout.nsymbt = 0;
    FILE* fout = MRC_CMD_OPEN_WRITE(out, "wb+");
    mrc_write_head(fout, &hout);
    std::fclose(fout);

    std::vector<float> particle(image_pixels((unsigned)w, (unsigned)h));
    each_image_by_thousands(
        stack, hin.get(), n, [&] { fout = MRC_CMD_OPEN_READ(out, "ab+"); }, [&] { std::fclose(fout); },
        [&](int i, const float* image) {
            cpu_2d_extract_small_from_large(particle.data(), w, h, image, hin->nx, hin->ny, boxes[i].x, boxes[i].y);
            if (std::fwrite(particle.data(), sizeof(float), particle.size(), fout) != particle.size())
                VORN_FATAL("write file '%s' failed.", out);
        });
    std::printf("\n particle extraction finished\n");
    return 0;
}

int mrcf_2ds_find_single_peaks(const char* stack) {
    head_ptr h = mrc_cmd_read_head(stack);
    char name[1024];
    mrcf_set_outname_by_suffix(name, stack, "_local_center.txt");
    FILE* text = MRC_CMD_OPEN_WRITE(name, "w+");
    std::printf("searching and writing all peaks (frame,   x,     y,     value) to %s :\n", name);
    each_image_by_thousands(
        stack, h.get(), std::max(h->nz, 0), [] {}, [] {},
        [&](int i, const float* image) {
            int x = 0, y = 0;
            float v = 0.0f;
            cpu_2d_get_unique_peak(image, (unsigned)h->nx, (unsigned)h->ny, x, y, v);
            std::fprintf(text, "%8d %8d %8d %15.6f \n", i, x, y, v);
            std::fflush(text);
        });
    std::fclose(text);
    std::printf("\n peak search finished\n");
    return 0;
}

int mrcsf_2ds_rm_hotpixels(const char* in, const char* out, float nsigma) {
    head_ptr h;
    host_array<float> stack = mrc_cmd_read_all(in, h);
    hcuda_2ds_rm_hotpixels_inplace(stack.get(), (unsigned)h->nx, (unsigned)h->ny, h->nz, nsigma);
    mrcf_write_xyz_data(out, stack.get(), h->nx, h->ny, h->nz);
    return 0;
}

int mrcsf_upsidedown(const char* in, const char* out) {
    FILE* fin = mrc_cmd_open_or_strike(in, "rb");
    FILE* fout = mrc_cmd_open_or_strike(out, "wb+");
    MRC_HEAD hin, hout;
    mrc_read_head(fin, &hin);
    hout = hin;
    mrc_set_head_mode(&hout, MRC_MODE_FLOAT);
    hout.nsymbt = 0;
    mrc_write_head(fout, &hout);
    std::vector<float> image(image_pixels((unsigned)std::max(hin.nx, 0), (unsigned)std::max(hin.ny, 0)));
    for (int i = hin.nz - 1; i >= 0; --i) {
        if (mrc_read_slice(fin, &hin, i, 'z', image.data()) != 0) VORN_FATAL("read data of file '%s' failed.", in);
        if (mrc_add_slice(fout, &hout, image.data()) != 0) VORN_FATAL("write file '%s' failed.", out);
    }
    std::fclose(fin);
    std::fclose(fout);
    return 0;
}

int mrcsf_split(const char* in, const char* prefix) {
    FILE* fin = MRC_CMD_OPEN_READ(in, "rb");
    MRC_HEAD h, one;
    mrc_read_head(fin, &h);
    one = h;
    mrc_set_head_xyz_mode(&one, h.nx, h.ny, 1, MRC_MODE_FLOAT);
    std::vector<float> image(image_pixels((unsigned)std::max(h.nx, 0), (unsigned)std::max(h.ny, 0)));
    for (int i = 0; i < h.nz; ++i) {
        char name[1024] = {0};
        if (std::snprintf(name, sizeof name, "%s%06d.mrc", prefix, i) >= (int)sizeof name)
            VORN_FATAL("output name of prefix '%s' too long", prefix);
        if (mrc_read_slice(fin, &h, i, 'z', image.data()) != 0) VORN_FATAL("read data of file '%s' failed.", in);
        mrcf_write_head_data(name, &one, image.data());
        std::printf(".");
        std::fflush(stdout);
    }
    std::printf("\n");
    std::fclose(fin);
    return 0;
}
