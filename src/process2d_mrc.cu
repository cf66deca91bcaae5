// Whole-file image commands: the frame they share (opening, reading, refusing,
// writing image by image) and the geometric commands: rotations, transforms,
// transposes, flips, binning and scaling.
#define VORN_UNIT "src/process2d_mrc"
#include "process2d_mrc.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cuda_general.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "mrcfile.h"
#include "process2d_core.h"
#include "process2d_raw.h"

// ======================= the frame =======================

namespace {
// Opened, or the process ends: with the line strike when one is given (the
// rotation, reversal and flip commands), else with the lines of the frame.
FILE* open_or_exit(const char* name, const char* how, bool writing, const char* strike, const char* func, int line) {
    FILE* f = std::fopen(name, how);
    if (f != nullptr) return f;
    if (strike != nullptr) {
        std::printf("%s", strike);
        std::fflush(stdout);
        std::exit(1);
    }
    std::printf(writing ? "Cannot write to file %s. Permission denied or no space left!\n"
                        : "Cannot open file %s. Permission denied or wrong file name.\n",
                name);
    vorn_fatal_line(func, VORN_UNIT, line, "open file '%s' failed.", name);
}
}  // namespace

FILE* mrc_cmd_open_read(const char* name, const char* how, const char* func, int line) {
    return open_or_exit(name, how, false, nullptr, func, line);
}
FILE* mrc_cmd_open_write(const char* name, const char* how, const char* func, int line) {
    return open_or_exit(name, how, true, nullptr, func, line);
}
FILE* mrc_cmd_open_or_strike(const char* name, const char* how) {
    return open_or_exit(name, how, false, "\nCannot open file strike any key exit!", nullptr, 0);
}

namespace {
// The mode is tested before any size, as the readers test it; whole: the
// refusal ends the process, as the whole-file reader's would.
int check_image(const MRC_HEAD& h, const char* name, bool whole, const char* func, int line) {
    if (const char* fault = mrc_mode_fault(&h)) {
        if (whole) vorn_fatal_line(func, VORN_UNIT, line, "%s cannot be read: %s.", name, fault);
        return mrc_cmd_refuse(func, line, "%s cannot be read: %s.", name, fault);
    }
    return h.nz < 1 || h.nx < 1 || h.ny < 1 ? mrc_cmd_refuse(func, line, "%s holds no image.", name) : 0;
}
}  // namespace

FILE* mrc_cmd_open_input(const char* name, MRC_HEAD& h, const char* strike, const char* func, int line) {
    FILE* f = open_or_exit(name, "rb", false, strike, func, line);
    int status = 0;
    if (mrc_read_head(f, &h) != 0)
        status = mrc_cmd_refuse(func, line, "No MRC header in %s.", name);
    else if (mrc_mode_fault(&h) != nullptr)  // named before any size is looked at
        status = mrc_cmd_has_image(h, name, func, line);
    else if (mrc_check_data_in_file(f, &h) != 0)
        status = mrc_cmd_refuse(func, line, "%s holds less data than its header describes.", name);
    else if (h.nz > 0 && (h.nx < 1 || h.ny < 1))  // sections of no pixel: their count is bounded by nothing
        status = mrc_cmd_refuse(func, line, "%s holds %d images of %d x %d pixels.", name, h.nz, h.nx, h.ny);
    else
        status = mrc_cmd_has_image(h, name, func, line);
    if (status == 0) return f;
    std::fclose(f);
    return nullptr;
}

int mrc_cmd_has_image(const MRC_HEAD& h, const char* name, const char* func, int line) {
    return check_image(h, name, false, func, line);
}

int mrc_cmd_has_whole_image(const MRC_HEAD& h, const char* name, const char* func, int line) {
    return check_image(h, name, true, func, line);
}

head_ptr mrc_cmd_read_head(const char* name, const char* func, int line) {
    head_ptr head(mrc_new_head());
    if (mrcf_read_head(name, head.get()) == 0) return head;
    mrc_cmd_refuse(func, line, "No MRC header in %s.", name);
    return nullptr;
}

host_array<float> mrc_cmd_read_all(const char* name, head_ptr& head, const char* func, int line) {
    head = mrc_cmd_read_head(name, func, line);
    if (!head || mrc_cmd_has_whole_image(*head, name, func, line) != 0) return nullptr;
    return host_array<float>(mrcf_get_data_all(name));
}

host_array<float> mrc_cmd_read_first(const char* name, head_ptr& head, const char* func, int line) {
    head = mrc_cmd_read_head(name, func, line);
    if (!head || mrc_cmd_has_image(*head, name, func, line) != 0) return nullptr;
    // The reader checks that the file holds the image before it allocates for it.
    host_array<float> image(mrcf_get_data_sliceN(name, 0));
    if (!image) mrc_cmd_refuse(func, line, "The first image of %s cannot be read.", name);
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

int mrc_cmd_sizes(std::initializer_list<int64_t> sizes, size_t& n, const char* func, int line) {
    int64_t product = 1;
    bool ok = true;
    std::string shown;
    for (const int64_t s : sizes) {
        shown += (shown.empty() ? "" : " x ") + std::to_string(s);
        ok = ok && s >= 1 && s <= INT_MAX && !__builtin_mul_overflow(product, s, &product);
    }
    ok = ok && (uint64_t)product <= (uint64_t)PTRDIFF_MAX / sizeof(float);
    n = ok ? (size_t)product : 0;
    if (ok) return 0;
    return mrc_cmd_refuse(func, line, "Sizes %s: each must be 1 to %d, their product a number of floats that fits in memory.",
                          shown.c_str(), INT_MAX);
}

std::vector<float> mrc_cmd_floats(size_t n, const char* func, int line) {
    std::vector<float> v;
    if (!try_resize(v, n)) vorn_fatal_line(func, VORN_UNIT, line, "Not enough memory for %zu floats", n);
    return v;
}

void mrc_cmd_abandon(FILE* out, const char* out_name, const char* action, const char* file, const char* func,
                     int line) {
    std::fclose(out);
    mrcf_remove_output(out_name);
    vorn_fatal_line(func, VORN_UNIT, line, "%s file '%s' failed.", action, file);
}

void mrc_cmd_close_output(FILE* out, const char* name, bool written, const char* func, int line) {
    if (std::fclose(out) == 0 && written) return;
    mrcf_remove_output(name);
    vorn_fatal_line(func, VORN_UNIT, line, "write file '%s' failed.", name);
}

host_array<PTCL_BOX> mrc_cmd_read_boxes(const char* name, int capacity, int& n, const char* func, int line) {
    host_array<PTCL_BOX> boxes((PTCL_BOX*)std::calloc((size_t)std::max(capacity, 1), sizeof(PTCL_BOX)));
    if (!boxes) vorn_fatal_line(func, VORN_UNIT, line, "Not enough memory for %d boxes", capacity);
    for (int i = 0; i < capacity; ++i) boxes[i].w = boxes[i].h = 256;
    std::vector<char> path(name, name + std::strlen(name) + 1);
    n = read_all_ptcl_boxes(boxes.get(), capacity, path.data());
    if (n >= 1) return boxes;
    mrc_cmd_refuse(func, line, n < 0 ? "The box file %s cannot be read." : "The box file %s holds no box.", name);
    return nullptr;
}

int mrc_cmd_section_names(const char* in, const char* prefix, int n, std::vector<std::string>& names,
                          const char* func, int line) {
    names.assign((size_t)std::max(n, 0), std::string());
    char name[1024];
    for (int i = 0; i < n; ++i) {
        if (std::snprintf(name, sizeof name, "%s%06d.mrc", prefix, i) >= (int)sizeof name)
            vorn_fatal_line(func, VORN_UNIT, line, "the name of section %d of '%s' does not fit 1024 characters", i, in);
        names[i] = name;
    }
    return mrcf_check_outputs(mrcf_name_pointers(names), {in}, func, VORN_UNIT, line);
}

int mrc_cmd_box_size(int w, int h, int nx, int ny, const char* func, int line) {
    if (w < 1 || h < 1) return mrc_cmd_refuse(func, line, "Boxes of %d x %d hold no pixel.", w, h);
    if (w > nx || h > ny)
        return mrc_cmd_refuse(func, line, "Boxes of %d x %d are larger than the image of %d x %d.", w, h, nx, ny);
    return 0;
}

namespace {

// Sections appended one by one to an open output whose header is written
// first; the header's value range and mean follow the data at the end. A
// failed write removes the output before the fatal line.
struct SectionWriter {
    FILE* f;
    MRC_HEAD* h;
    const char* name;
    const char* func;
    double sum = 0.0;
    float lo = 0.0f, hi = 0.0f;
    size_t count = 0;
    void add(const float* image) {
        const size_t n = image_pixels((unsigned)h->nx, (unsigned)h->ny);
        if (count == 0 && n > 0) lo = hi = image[0];
        for (size_t i = 0; i < n; ++i) lo = std::min(lo, image[i]), hi = std::max(hi, image[i]), sum += image[i];
        count += n;
        if (mrc_add_slice(f, h, image) != 0) abandon("write", name);
    }
    void finish() {
        h->dmin = lo, h->dmax = hi, h->dmean = count ? (float)(sum / (double)count) : 0.0f;
        mrc_cmd_close_output(f, name, mrc_write_head(f, h) == 0, func, __LINE__);
    }
    // The output removed, then the fatal line "<action> file '<file>' failed.".
    [[noreturn]] void abandon(const char* action, const char* file) {
        mrc_cmd_abandon(f, name, action, file, func, __LINE__);
    }
};

// A new output for sections (open failures as open_or_exit), its header first.
SectionWriter begin_sections(const char* name, MRC_HEAD* h, const char* strike, const char* func, int line) {
    SectionWriter w{open_or_exit(name, "wb+", true, strike, func, line), h, name, func};
    if (mrc_write_head(w.f, h) != 0) w.abandon("write", name);
    return w;
}

// The first image of in through one device pass, run(d_in, d_out, nx, ny),
// written to out as one image under the input header (mode 2, nz 1). With a
// strike line, open failures give the rotation commands' lines.
template <class Run>
int device_image_command(const char* in, const char* out, bool strike_key, const char* func, int line, Run run) {
    if (mrcf_check_output_names(out, {in}, func, VORN_UNIT, line) != 0) return -1;
    MRC_HEAD hin, hout;
    FILE* fin = mrc_cmd_open_input(in, hin, strike_key ? "Cannot open file strike any key exit!" : nullptr, func, line);
    if (fin == nullptr) return -1;
    const unsigned nx = (unsigned)hin.nx, ny = (unsigned)hin.ny;
    std::vector<float> image = mrc_cmd_floats(image_pixels(nx, ny), func, line);
    const int read = mrc_read_slice(fin, &hin, 0, 'z', image.data());
    std::fclose(fin);
    if (read != 0) vorn_fatal_line(func, VORN_UNIT, line, "read data of file '%s' failed.", in);
    gpu_run_on_device(GPU_SITE, image.data(), image.size(), image.data(), image.size(),
                      [&](float* d_in, float* d_out) { run(d_in, d_out, nx, ny); });
    hout = hin;
    mrc_set_head_xyz_mode(&hout, hin.nx, hin.ny, 1, MRC_MODE_FLOAT);
    hout.nsymbt = 0;
    SectionWriter w = begin_sections(out, &hout, strike_key ? "\nCannot open file strike any key exit!" : nullptr, func, line);
    w.add(image.data());
    w.finish();
    return 0;
}

// The first image of a file in managed memory through run(in, out, nx, ny),
// written as nx x ny x 1; every CUDA call checked.
template <class Run>
int managed_image_command(const char* in, const char* out, const char* func, int line, Run run) {
    if (mrcf_check_output_names(out, {in}, func, VORN_UNIT, line) != 0) return -1;
    head_ptr h = mrc_cmd_read_head(in, func, line);
    if (!h || mrc_cmd_has_whole_image(*h, in, func, line) != 0) return -1;
    const int nx = h->nx, ny = h->ny;
    float* image = mrcf_get_zdata_all(in);
    float* result = nullptr;
    cuda_malloc_many_pointers<float>(image_pixels((unsigned)nx, (unsigned)ny), &result, (float**)nullptr);
    run(image, result, (unsigned)nx, (unsigned)ny);
    CUDA_CHECK(cudaDeviceSynchronize());
    mrcf_write_xyz_zdata(out, result, nx, ny, 1);
    cudaFree_many_pointers(image, result, nullptr);
    return 0;
}

#define DEVICE_IMAGE_COMMAND(in, out, strike_key, run) device_image_command((in), (out), (strike_key), __func__, __LINE__, (run))
#define MANAGED_IMAGE_COMMAND(in, out, run) managed_image_command((in), (out), __func__, __LINE__, (run))

// The image's centre ((n - 1)/2 per axis).
float centre_of(unsigned n) { return ((float)n - 1.0f) * 0.5f; }

// The stack of a whole-file command read into memory and sized for an output of
// the same number of values; null (after the refusal) when it is refused.
host_array<float> read_whole_for(const char* in, const char* out, head_ptr& h, std::vector<float>& result,
                                 const char* func, int line) {
    if (mrcf_check_output_names(out, {in}, func, VORN_UNIT, line) != 0) return nullptr;
    host_array<float> stack = mrc_cmd_read_all(in, h, func, line);
    if (stack) result = mrc_cmd_floats(stack_slice_offset((size_t)std::max(h->nz, 0), (unsigned)h->nx, (unsigned)h->ny), func, line);
    return stack;
}

}  // namespace

// ======================= geometry =======================

int mrcf_cuda_2d_rotate(const char* in, const char* out, float angle) {
    std::printf("Begin Rotation %f:\n", angle);
    const int status = DEVICE_IMAGE_COMMAND(in, out, true, [&](float* d_in, float* d_out, unsigned nx, unsigned ny) {
        gpu_launch_2d<cuda_2d_rotate>(GPU_SITE, nx, ny, d_in, d_out, nx, ny, angle);
    });
    if (status == 0) std::printf("Rotation finished!\n");
    return status;
}

int mrcf_zgpu_2d_rotate(const char* in, const char* out, float angle) {
    return MANAGED_IMAGE_COMMAND(in, out, [&](float* image, float* result, unsigned nx, unsigned ny) {
        hcuda_2d_rotate(image, result, nx, ny, angle);
    });
}

int mrcf_cuda_2d_translate_rotate(const char* in, const char* out, float dx, float dy, float angle) {
    std::printf("Begin translating (%f, %f) and rotating %f:\n", dx, dy, angle);
    const int status = DEVICE_IMAGE_COMMAND(in, out, true, [&](float* d_in, float* d_out, unsigned nx, unsigned ny) {
        gpu_launch_2d<cuda_2d_translate_rotate>(GPU_SITE, nx, ny, d_in, d_out, nx, ny, dx, dy, angle);
    });
    if (status == 0) std::printf("Translation and rotation finished!\n");
    return status;
}

int mrcf_zgpu_2d_translate_rotate(const char* in, const char* out, float dx, float dy, float angle) {
    std::printf("Begin Rotation %f:\n", angle);
    const int status = MANAGED_IMAGE_COMMAND(in, out, [&](float* image, float* result, unsigned nx, unsigned ny) {
        hcuda_2d_translate_rotate(image, result, nx, ny, dx, dy, angle);
    });
    if (status == 0) std::printf("Rotation finished!\n");
    return status;
}

int mrcf_cuda_2d_transform(const char* in, const char* out, RT_Mat2D m, int mode) {
    std::printf("Begin  transform :\nTransform Matrix (R11, R12, R21, R22, Tx, Ty):\n");
    std::printf("                 (%8.3f%8.3f%8.3f%8.3f%8.3f%8.3f)\n", m.R11, m.R12, m.R21, m.R22, m.Tx, m.Ty);
    const int status = DEVICE_IMAGE_COMMAND(in, out, false, [&](float* d_in, float* d_out, unsigned nx, unsigned ny) {
        hcuda_2d_transform(d_in, d_out, nx, ny, centre_of(nx), centre_of(ny), m, mode);
    });
    if (status == 0) std::printf("transforming finished!\n");
    return status;
}

int mrcf_cuda_2d_swap_xy(const char* in, const char* out) {
    std::printf("Begin swapping %s \n", in);
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    head_ptr h;
    host_array<float> image = MRC_CMD_READ_FIRST(in, h);
    if (!image) return -1;
    std::vector<float> swapped = MRC_CMD_FLOATS(image_pixels((unsigned)h->nx, (unsigned)h->ny));
    gpu_2d_swap_xy(image.get(), swapped.data(), (unsigned)h->nx, (unsigned)h->ny);
    mrc_set_head_xyz_mode(h.get(), h->ny, h->nx, 1, MRC_MODE_FLOAT);
    mrcf_write_head_data(out, h.get(), swapped.data());
    std::printf("Swapping finished!\n");
    return 0;
}

int mrcf_gpu_2d_shrink(const char* in, const char* out, int f) {
    std::printf("Begin Shrinking %f:\n", (float)f);
    if (f < 1) return MRC_CMD_REFUSE("Wrong value of shrink_factor %d. Must be >=1.", f);
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    head_ptr h;
    host_array<float> image = MRC_CMD_READ_FIRST(in, h);
    if (!image) return -1;
    const int w = h->nx / f, hh = h->ny / f;
    if (w < 1 || hh < 1) return MRC_CMD_REFUSE("Shrink factor %d leaves no pixel of %d x %d.", f, h->nx, h->ny);
    std::vector<float> binned = MRC_CMD_FLOATS(image_pixels((unsigned)w, (unsigned)hh));
    gpu_run_on_device(GPU_SITE, binned.data(), binned.size(), image.get(), image_pixels((unsigned)h->nx, (unsigned)h->ny),
                      [&](float* d_in, float* d_out) { hcuda_2d_meanshrink(d_in, d_out, h->nx, h->ny, f); });
    mrc_set_head_xyz_mode(h.get(), w, hh, 1, MRC_MODE_FLOAT);
    mrcf_write_head_data(out, h.get(), binned.data());
    std::printf("shrinking finished!\n");
    return 0;
}

int mrcf_cuda_2ds_scale(const char* in, const char* out, float s) {
    std::printf("Begin scaling %f:\n", s);
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    MRC_HEAD hin, hout;
    FILE* fin = MRC_CMD_OPEN_INPUT(in, hin, nullptr);
    if (fin == nullptr) return -1;
    // Sizes truncated as the library's scaling truncates them; a product beyond
    // an MRC size (or not a number) gives no image either.
    const float fw = (float)hin.nx * s, fh = (float)hin.ny * s;
    const bool sized = fw >= 1.0f && fh >= 1.0f && fw < 2147483648.0f && fh < 2147483648.0f;
    const int w = sized ? (int)fw : 0, h = sized ? (int)fh : 0;
    size_t npix = 0;
    if (!sized || MRC_CMD_SIZES(npix, w, h) != 0) {
        std::fclose(fin);
        return MRC_CMD_REFUSE("Scaling %d x %d x %d by %f gives no image.", hin.nx, hin.ny, hin.nz, s);
    }
    std::vector<float> image = MRC_CMD_FLOATS(image_pixels((unsigned)hin.nx, (unsigned)hin.ny)), scaled = MRC_CMD_FLOATS(npix);
    hout = hin;
    mrc_set_head_xyz_mode(&hout, w, h, hin.nz, MRC_MODE_FLOAT);
    hout.nsymbt = 0;
    SectionWriter writer = begin_sections(out, &hout, nullptr, __func__, __LINE__);
    for (int k = 0; k < hin.nz; ++k) {
        if (mrc_read_slice(fin, &hin, k, 'z', image.data()) != 0) writer.abandon("read data of", in);
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
    std::vector<float> swapped;
    host_array<float> stack = read_whole_for(in, out, h, swapped, __func__, __LINE__);
    if (!stack) return -1;
    gpu_2ds_swap_xy(stack.get(), swapped.data(), (unsigned)h->nx, (unsigned)h->ny, (unsigned)h->nz);
    mrcf_write_xyz_data(out, swapped.data(), h->ny, h->nx, h->nz);
    std::printf("Swapping finished!\n");
    return 0;
}

int mrcf_cuda_2ds_flip(const char* in, const char* out, int mode) {
    std::printf("Begin flipping %s \n", in);
    if (mode < 0 || mode > 7) VORN_FATAL("flip mode %d must be an integer from 0 to 7", mode);
    head_ptr h;
    std::vector<float> flipped;
    host_array<float> stack = read_whole_for(in, out, h, flipped, __func__, __LINE__);
    if (!stack) return -1;
    gpu_2ds_flip(flipped.data(), stack.get(), (unsigned)h->nx, (unsigned)h->ny, (unsigned)h->nz, mode);
    // Modes 4-6 lay each image out column by column; mode 7 copies it as it is.
    const bool swapped = mode >= 4 && mode <= 6;
    mrcf_write_xyz_data(out, flipped.data(), swapped ? h->ny : h->nx, swapped ? h->nx : h->ny, h->nz);
    std::printf("Swapping finished!\n");
    return 0;
}
