// Whole-file image commands: the frame they share (opening, reading, refusing,
// writing image by image) and the geometric commands: rotations, transforms,
// transposes, flips, binning and scaling.
#define VORN_UNIT "src/process2d_mrc"
#include "process2d_mrc.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cuda_general.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "mrcfile.h"
#include "process2d_core.h"
#include "process2d_raw.h"

// ======================= the frame =======================

namespace {
FILE* open_or_exit(const char* name, const char* how, bool writing, const char* func, int line) {
    FILE* f = std::fopen(name, how);
    if (f == nullptr) {
        std::printf(writing ? "Cannot write to file %s. Permission denied or no space left!\n"
                            : "Cannot open file %s. Permission denied or wrong file name.\n",
                    name);
        vorn_fatal_line(func, VORN_UNIT, line, "open file '%s' failed.", name);
    }
    return f;
}
}  // namespace

FILE* mrc_cmd_open_read(const char* name, const char* how, const char* func, int line) {
    return open_or_exit(name, how, false, func, line);
}
FILE* mrc_cmd_open_write(const char* name, const char* how, const char* func, int line) {
    return open_or_exit(name, how, true, func, line);
}
FILE* mrc_cmd_open_or_strike(const char* name, const char* how) {
    FILE* f = std::fopen(name, how);
    if (f == nullptr) {
        std::printf("\nCannot open file strike any key exit!");
        std::fflush(stdout);
        std::exit(1);
    }
    return f;
}

host_array<float> mrc_cmd_read_all(const char* name, head_ptr& head) {
    head.reset(mrcf_get_head(name));
    return host_array<float>(mrcf_get_data_all(name));
}

head_ptr mrc_cmd_read_head(const char* name) { return head_ptr(mrcf_get_head(name)); }

host_array<float> mrc_cmd_read_first(const char* name, head_ptr& head, const char* func, int line) {
    head.reset(mrcf_get_head(name));
    if (head->nz < 1 || head->nx < 1 || head->ny < 1) {
        mrc_cmd_refuse(func, line, "%s holds no image.", name);
        return nullptr;
    }
    host_array<float> image(mrcf_get_data_sliceN(name, 0));
    if (!image) vorn_fatal_line(func, VORN_UNIT, line, "read data of file '%s' failed.", name);
    return image;
}

int mrc_cmd_refuse(const char* func, int line, const char* fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    vorn_warning_line(func, VORN_UNIT, line, "%s Nothing written.\n\033[m", text);
    return -1;
}

host_array<PTCL_BOX> mrc_cmd_read_boxes(const char* name, int& n) {
    host_array<PTCL_BOX> boxes((PTCL_BOX*)std::calloc(PTCL_BOX_READ_MAX, sizeof(PTCL_BOX)));
    if (!boxes) VORN_FATAL("Not enough memory for %d boxes", PTCL_BOX_READ_MAX);
    for (int i = 0; i < PTCL_BOX_READ_MAX; ++i) boxes[i].w = boxes[i].h = 256;
    std::vector<char> path(name, name + std::strlen(name) + 1);
    n = read_all_ptcl_boxes(boxes.get(), PTCL_BOX_READ_MAX, path.data());
    return boxes;
}

namespace {

// The rotation commands' own open failures: a line and status 1.
[[noreturn]] void strike_key_exit(const char* text) {
    std::printf("%s", text);
    std::fflush(stdout);
    std::exit(1);
}

// Sections appended one by one to an open output whose header is written
// first; the header's value range and mean follow the data at the end.
struct SectionWriter {
    FILE* f;
    MRC_HEAD* h;
    const char* name;
    double sum = 0.0;
    float lo = 0.0f, hi = 0.0f;
    size_t count = 0;
    void add(const float* image) {
        const size_t n = image_pixels((unsigned)h->nx, (unsigned)h->ny);
        if (count == 0 && n > 0) lo = hi = image[0];
        for (size_t i = 0; i < n; ++i) lo = std::min(lo, image[i]), hi = std::max(hi, image[i]), sum += image[i];
        count += n;
        if (mrc_add_slice(f, h, image) != 0) VORN_FATAL("write file '%s' failed.", name);
    }
    void finish() {
        h->dmin = lo, h->dmax = hi, h->dmean = count ? (float)(sum / (double)count) : 0.0f;
        if (mrc_write_head(f, h) != 0 || std::fclose(f) != 0) VORN_FATAL("write file '%s' failed.", name);
    }
};

// The first image of in through one device pass, run(d_in, d_out, nx, ny),
// written to out as one image under the input header (mode 2, nz 1). With
// strike_key, open failures give the rotation commands' lines.
template <class Run>
int device_image_command(const char* in, const char* out, bool strike_key, Run run) {
    FILE* fin = std::fopen(in, "rb");
    if (fin == nullptr && strike_key) strike_key_exit("Cannot open file strike any key exit!");
    if (fin == nullptr) fin = MRC_CMD_OPEN_READ(in, "rb");
    MRC_HEAD hin, hout;
    mrc_read_head(fin, &hin);
    if (hin.nz < 1 || hin.nx < 1 || hin.ny < 1) {
        std::fclose(fin);
        return MRC_CMD_REFUSE("%s holds no image.", in);
    }
    const unsigned nx = (unsigned)hin.nx, ny = (unsigned)hin.ny;
    std::vector<float> image(image_pixels(nx, ny));
    if (mrc_read_slice(fin, &hin, 0, 'z', image.data()) != 0) VORN_FATAL("read data of file '%s' failed.", in);
    std::fclose(fin);
    FILE* fout = std::fopen(out, "wb+");
    if (fout == nullptr && strike_key) strike_key_exit("\nCannot open file strike any key exit!");
    if (fout == nullptr) fout = MRC_CMD_OPEN_WRITE(out, "wb+");
    hout = hin;
    mrc_set_head_xyz_mode(&hout, hin.nx, hin.ny, 1, MRC_MODE_FLOAT);
    hout.nsymbt = 0;
    mrc_write_head(fout, &hout);
    gpu_run_on_device(GPU_SITE, image.data(), image.size(), image.data(), image.size(),
                      [&](float* d_in, float* d_out) { run(d_in, d_out, nx, ny); });
    SectionWriter w{fout, &hout, out};
    w.add(image.data());
    w.finish();
    return 0;
}

// The first image of a file in managed memory through run(in, out, nx, ny),
// written as nx x ny x 1; every CUDA call checked.
template <class Run>
int managed_image_command(const char* in, const char* out, Run run) {
    int nx, ny, nz;
    get_mrcf_xyz(nx, ny, nz, in);
    if (nz < 1 || nx < 1 || ny < 1) return MRC_CMD_REFUSE("%s holds no image.", in);
    float* image = mrcf_get_zdata_all(in);
    float* result = nullptr;
    cuda_malloc_many_pointers<float>(image_pixels((unsigned)nx, (unsigned)ny), &result, (float**)nullptr);
    run(image, result, (unsigned)nx, (unsigned)ny);
    CUDA_CHECK(cudaDeviceSynchronize());
    mrcf_write_xyz_zdata(out, result, nx, ny, 1);
    cudaFree_many_pointers(image, result, nullptr);
    return 0;
}

// The image's centre ((n - 1)/2 per axis).
float centre_of(unsigned n) { return ((float)n - 1.0f) * 0.5f; }

}  // namespace

// ======================= geometry =======================

int mrcf_cuda_2d_rotate(const char* in, const char* out, float angle) {
    std::printf("Begin Rotation %f:\n", angle);
    const int status = device_image_command(in, out, true, [&](float* d_in, float* d_out, unsigned nx, unsigned ny) {
        gpu_launch_2d<cuda_2d_rotate>(GPU_SITE, nx, ny, d_in, d_out, nx, ny, angle);
    });
    if (status == 0) std::printf("Rotation finished!\n");
    return status;
}

int mrcf_zgpu_2d_rotate(const char* in, const char* out, float angle) {
    return managed_image_command(in, out, [&](float* image, float* result, unsigned nx, unsigned ny) {
        hcuda_2d_rotate(image, result, nx, ny, angle);
    });
}

int mrcf_cuda_2d_translate_rotate(const char* in, const char* out, float dx, float dy, float angle) {
    std::printf("Begin translating (%f, %f) and rotating %f:\n", dx, dy, angle);
    const int status = device_image_command(in, out, true, [&](float* d_in, float* d_out, unsigned nx, unsigned ny) {
        gpu_launch_2d<cuda_2d_translate_rotate>(GPU_SITE, nx, ny, d_in, d_out, nx, ny, dx, dy, angle);
    });
    if (status == 0) std::printf("Translation and rotation finished!\n");
    return status;
}

int mrcf_zgpu_2d_translate_rotate(const char* in, const char* out, float dx, float dy, float angle) {
    std::printf("Begin Rotation %f:\n", angle);
    const int status = managed_image_command(in, out, [&](float* image, float* result, unsigned nx, unsigned ny) {
        hcuda_2d_translate_rotate(image, result, nx, ny, dx, dy, angle);
    });
    if (status == 0) std::printf("Rotation finished!\n");
    return status;
}

int mrcf_cuda_2d_transform(const char* in, const char* out, RT_Mat2D m, int mode) {
    std::printf("Begin  transform :\nTransform Matrix (R11, R12, R21, R22, Tx, Ty):\n");
    std::printf("                 (%8.3f%8.3f%8.3f%8.3f%8.3f%8.3f)\n", m.R11, m.R12, m.R21, m.R22, m.Tx, m.Ty);
    const int status = device_image_command(in, out, false, [&](float* d_in, float* d_out, unsigned nx, unsigned ny) {
        hcuda_2d_transform(d_in, d_out, nx, ny, centre_of(nx), centre_of(ny), m, mode);
    });
    if (status == 0) std::printf("transforming finished!\n");
    return status;
}

int mrcf_cuda_2d_swap_xy(const char* in, const char* out) {
    std::printf("Begin swapping %s \n", in);
    head_ptr h;
    host_array<float> image = MRC_CMD_READ_FIRST(in, h);
    if (!image) return -1;
    std::vector<float> swapped(image_pixels((unsigned)h->nx, (unsigned)h->ny));
    gpu_2d_swap_xy(image.get(), swapped.data(), (unsigned)h->nx, (unsigned)h->ny);
    mrc_set_head_xyz_mode(h.get(), h->ny, h->nx, 1, MRC_MODE_FLOAT);
    mrcf_write_head_data(out, h.get(), swapped.data());
    std::printf("Swapping finished!\n");
    return 0;
}

int mrcf_gpu_2d_shrink(const char* in, const char* out, int f) {
    std::printf("Begin Shrinking %f:\n", (float)f);
    if (f < 1) return MRC_CMD_REFUSE("Wrong value of shrink_factor %d. Must be >=1.", f);
    head_ptr h;
    host_array<float> image = MRC_CMD_READ_FIRST(in, h);
    if (!image) return -1;
    const int w = h->nx / f, hh = h->ny / f;
    if (w < 1 || hh < 1) return MRC_CMD_REFUSE("Shrink factor %d leaves no pixel of %d x %d.", f, h->nx, h->ny);
    std::vector<float> binned(image_pixels((unsigned)w, (unsigned)hh));
    gpu_run_on_device(GPU_SITE, binned.data(), binned.size(), image.get(), image_pixels((unsigned)h->nx, (unsigned)h->ny),
                      [&](float* d_in, float* d_out) { hcuda_2d_meanshrink(d_in, d_out, h->nx, h->ny, f); });
    mrc_set_head_xyz_mode(h.get(), w, hh, 1, MRC_MODE_FLOAT);
    mrcf_write_head_data(out, h.get(), binned.data());
    std::printf("shrinking finished!\n");
    return 0;
}

int mrcf_cuda_2ds_scale(const char* in, const char* out, float s) {
    std::printf("Begin scaling %f:\n", s);
    FILE* fin = MRC_CMD_OPEN_READ(in, "rb");
    MRC_HEAD hin, hout;
    mrc_read_head(fin, &hin);
    // Sizes truncated as the library's scaling truncates them.
    const int w = (int)((float)hin.nx * s), h = (int)((float)hin.ny * s);
    if (w < 1 || h < 1 || hin.nz < 1) {
        std::fclose(fin);
        return MRC_CMD_REFUSE("Scaling %d x %d x %d by %f gives no image.", hin.nx, hin.ny, hin.nz, s);
    }
    hout = hin;
    mrc_set_head_xyz_mode(&hout, w, h, hin.nz, MRC_MODE_FLOAT);
    hout.nsymbt = 0;
    FILE* fout = MRC_CMD_OPEN_WRITE(out, "wb+");
    mrc_write_head(fout, &hout);
    SectionWriter writer{fout, &hout, out};
    std::vector<float> image(image_pixels((unsigned)hin.nx, (unsigned)hin.ny)), scaled(image_pixels((unsigned)w, (unsigned)h));
    for (int k = 0; k < hin.nz; ++k) {
        if (mrc_read_slice(fin, &hin, k, 'z', image.data()) != 0) VORN_FATAL("read data of file '%s' failed.", in);
        gpu_2d_scale(scaled.data(), image.data(), hin.nx, hin.ny, s);
        writer.add(scaled.data());
    }
    writer.finish();
    std::fclose(fin);
    std::printf("Scaling finished!\n");
    return 0;
}

int mrcf_cuda_2ds_swap_xy(const char* in, const char* out) {
    std::printf("Begin swapping %s \n", in);
    head_ptr h;
    host_array<float> stack = mrc_cmd_read_all(in, h);
    std::vector<float> swapped(stack_slice_offset((size_t)std::max(h->nz, 0), (unsigned)h->nx, (unsigned)h->ny));
    gpu_2ds_swap_xy(stack.get(), swapped.data(), (unsigned)h->nx, (unsigned)h->ny, (unsigned)h->nz);
    mrcf_write_xyz_data(out, swapped.data(), h->ny, h->nx, h->nz);
    std::printf("Swapping finished!\n");
    return 0;
}

int mrcf_cuda_2ds_flip(const char* in, const char* out, int mode) {
    std::printf("Begin flipping %s \n", in);
    if (mode < 0 || mode > 7) VORN_FATAL("flip mode %d must be an integer from 0 to 7", mode);
    head_ptr h;
    host_array<float> stack = mrc_cmd_read_all(in, h);
    std::vector<float> flipped(stack_slice_offset((size_t)std::max(h->nz, 0), (unsigned)h->nx, (unsigned)h->ny));
    gpu_2ds_flip(flipped.data(), stack.get(), (unsigned)h->nx, (unsigned)h->ny, (unsigned)h->nz, mode);
    // Modes 4-6 lay each image out column by column; mode 7 copies it as it is.
    const bool swapped = mode >= 4 && mode <= 6;
    mrcf_write_xyz_data(out, flipped.data(), swapped ? h->ny : h->nx, swapped ? h->nx : h->ny, h->nz);
    std::printf("Swapping finished!\n");
    return 0;
}
