// The library's further spectrum forms (grid sums keeping their logarithm,
// plain, logarithmic, root and weighted frame sums, per-frame log spectra with
// one common background, the host-stack converter, CPU weights) and the
// whole-file spectrum commands on MRC files.
#define VORN_UNIT "src/cuda_fft"
#include "cuda_fft.h"
#include "fft_plan.h"
#include "gpu_buffers.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cuda_complex.h"
#include "math_utils.h"
#include "math_utils_gpu.h"
#include "mrcfile.h"
#include "process2d_core.h"
#include "process2d_raw.h"

namespace {

size_t half_elements(unsigned nx, unsigned ny) { return (size_t)(nx / 2 + 1) * ny; }

void require_frames(const char* func, int line, int n) {
    if (n < 1) vorn_fatal_line(func, VORN_UNIT, line, "no frames to average (count %d)", n);
}
#define REQUIRE_FRAMES(n) require_frames(__func__, __LINE__, (n))

bool is_spectrum_mode(char mode) { return std::strchr("APWLM", mode) != nullptr && mode != '\0'; }

}  // namespace

// ================= grid and frame sums =================

void hcuda_2d_gridfft_r2c_amp_ave_log_subbg2(float* image, float* S, float* L, unsigned nx, unsigned ny, unsigned bx,
                                             unsigned by, int step, int g) {
    hcuda_2d_gridfft_r2c_amp_ave(image, L, nx, ny, bx, by, step);
    hcuda_2d_logf_inplace(L, bx / 2 + 1, by);
    hcuda_2dh_fftA_subbg(S, L, bx / 2 + 1, by, g);
}

void hcuda_2d_gridfft_r2c_amp_ave_log_subbg4(float* image, float* S, float* L, unsigned nx, unsigned ny, unsigned bx,
                                             unsigned by, int step, int g) {
    hcuda_2d_gridfft_r2c_amp_ave(image, L, nx, ny, bx, by, step);
    hcuda_2d_logf_inplace(L, bx / 2 + 1, by);
    const size_t n = image_pixels(bx, by);
    float* full = device_buffer<float>(GPU_SITE, n);
    float* background = device_buffer<float>(GPU_SITE, n);
    hcuda_2d_fftA_half2full(full, L, bx, by);
    hcuda_2d_bg(background, full, bx, by, (float)g, (float)(g / 5));
    hcuda_x2d_sub_inplace(full, background, bx, by);
    hcuda_2d_fftA_full2half(S, full, bx, by);
    device_release(GPU_SITE, full);
    device_release(GPU_SITE, background);
}

void hcuda_2ds_fft_r2c_amp_ave_log(float* stack, float* A, unsigned nx, unsigned ny, int n) {
    hcuda_2ds_fft_r2c_amp_ave(stack, A, nx, ny, n);
    hcuda_logf_inplace(A, half_elements(nx, ny));
}

void hcuda_2ds_fft_r2c_amp_ave_sqrt(float* stack, float* A, unsigned nx, unsigned ny, int n) {
    hcuda_2ds_fft_r2c_amp_ave(stack, A, nx, ny, n);
    hcuda_sqrtf_inplace(A, half_elements(nx, ny));
}

void hcuda_2ds_fft_r2c_amp_weighted_ave_log(float* stack, float* A, unsigned nx, unsigned ny, int n, const float* W) {
    hcuda_2ds_fft_r2c_amp_weighted_ave(stack, A, nx, ny, n, W);
    hcuda_logf_inplace(A, half_elements(nx, ny));
}

// ================= per-frame log spectra with one background =================

void hcuda_2ds_fft_r2c_logmod_subbg(float* out, float* stack, unsigned nx, unsigned ny, int n, int g) {
    REQUIRE_FRAMES(n);
    if (ny % 2 != 0) VORN_FATAL("%u not an even number", ny);
    const unsigned nxh = nx / 2 + 1;
    const size_t npix = image_pixels(nx, ny), nh = half_elements(nx, ny);
    const float scale = sqrtf((float)npix);
    float* mean = device_buffer<float>(GPU_SITE, nh);
    float* background = device_buffer<float>(GPU_SITE, nh);
    hcuda_2d_empty(mean, nxh, ny);
    fft_r2c_each(
        GPU_SITE, nx, ny, (size_t)n, [&](size_t k) { return stack + k * npix; },
        [&](size_t k, float2* spectrum) {
            float* slot = out + k * nh;
            hcuda_c2d_divR_inplace(spectrum, nxh, ny, scale);
            hcuda_c2d_logmod(slot, spectrum, nxh, ny);
            hcuda_r2dh_fc_swap_inplace(slot, nxh, ny);
            hcuda_x2d_add_inplace(mean, slot, nxh, ny);
        });
    hcuda_2d_divide_inplace(mean, nxh, ny, (float)n);
    hcuda_2d_convolution_by_box(mean, background, nxh, ny, g, g);
    for (size_t k = 0; k < (size_t)n; ++k) hcuda_x2d_sub_inplace(out + k * nh, background, nxh, ny);
    device_release(GPU_SITE, mean);
    device_release(GPU_SITE, background);
}

void gpu_2ds_fft_r2c_logmod_subbg(float* out, const float* stack, unsigned nx, unsigned ny, int n, int g) {
    REQUIRE_FRAMES(n);
    const size_t in_count = (size_t)n * image_pixels(nx, ny), out_count = (size_t)n * half_elements(nx, ny);
    float* d_stack = device_copy_of(GPU_SITE, stack, in_count);
    float* d_out = device_buffer<float>(GPU_SITE, out_count);
    hcuda_2ds_fft_r2c_logmod_subbg(d_out, d_stack, nx, ny, n, g);
    CUDA_CHECK(memcpy_D2H(out, d_out, out_count * sizeof(float)));
    device_release(GPU_SITE, d_stack);
    device_release(GPU_SITE, d_out);
}

// ================= host-stack converter =================

// Frames are copied in one at a time, so device memory stays at a few images.
void gpu_2ds_fft_r2c_proc(const float* stack, float* frames, float* mean, float* log_mean, unsigned nx, unsigned ny,
                          int n, char mode) {
    REQUIRE_FRAMES(n);
    // Any other letter converts nothing and would hand back whatever the device buffer held.
    if (!is_spectrum_mode(mode)) VORN_FATAL("Unknown spectrum mode '%c'", mode);
    if (nx % 2 != 0 || ny % 2 != 0) VORN_FATAL("Image size must be even in both dimensions, not %u x %u", nx, ny);
    const unsigned nxh = nx / 2 + 1;
    const size_t npix = image_pixels(nx, ny), nh = half_elements(nx, ny);
    const float scale = sqrtf((float)npix);
    float* image = device_buffer<float>(GPU_SITE, npix);
    float* half = device_buffer<float>(GPU_SITE, nh);
    float* sum = device_buffer<float>(GPU_SITE, nh);
    float* full = device_buffer<float>(GPU_SITE, npix);
    hcuda_2d_empty(sum, nxh, ny);
    fft_r2c_each(
        GPU_SITE, nx, ny, (size_t)n,
        [&](size_t k) {
            CUDA_CHECK(memcpy_H2D(image, stack + k * npix, npix * sizeof(float)));
            return image;
        },
        [&](size_t k, float2* spectrum) {
            hcuda_c2d_divR_inplace(spectrum, nxh, ny, scale);
            hcuda_complex_proc(spectrum, half, nh, mode);
            hcuda_r2dh_fc_swap_inplace(half, nxh, ny);
            if (mean != nullptr || log_mean != nullptr) hcuda_x2d_add_inplace(sum, half, nxh, ny);
            if (frames != nullptr) {
                hcuda_2d_fftA_half2full(full, half, nx, ny);
                CUDA_CHECK(memcpy_D2H(frames + k * npix, full, npix * sizeof(float)));
            }
            std::printf(".");
        });
    std::printf("\n");
    hcuda_2d_divide_inplace(sum, nxh, ny, (float)n);
    if (mean != nullptr) {
        hcuda_2d_fftA_half2full(full, sum, nx, ny);
        CUDA_CHECK(memcpy_D2H(mean, full, npix * sizeof(float)));
    }
    if (log_mean != nullptr) {
        hcuda_2d_log1p(half, sum, nxh, ny);
        hcuda_2d_fftA_half2full(full, half, nx, ny);
        CUDA_CHECK(memcpy_D2H(log_mean, full, npix * sizeof(float)));
    }
    device_release(GPU_SITE, image);
    device_release(GPU_SITE, half);
    device_release(GPU_SITE, sum);
    device_release(GPU_SITE, full);
}

// ================= CPU weights =================

void cpu_2d_fft_amp_local_w2d_gen(float* W, int nxh, int ny, float d, float rho, float apix, float R) {
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nxh; ++x)
            W[(size_t)y * nxh + x] = local_frequency_weight(half_element_frequency(x, y, nxh, ny), d, rho, apix, R);
}

// A one-point profile holds only the zero frequency.
void cpu_2d_fft_amp_local_w1d_gen(float* W, int n, float d, float rho, float apix, float R) {
    for (int i = 0; i < n; ++i) W[i] = local_frequency_weight(i == 0 ? 0.0f : (float)(i / (2.0 * (n - 1))), d, rho, apix, R);
}

void cpu_2ds_wgen(float*, int, int, int, float, float, float, float) {}

// ================= whole-file spectrum commands =================

namespace {

// How a command reports a file it cannot open and an odd size.
enum class Voice {
    unnamed,  // "\nCannot open file strike any key exit!" for either file
    named,    // "Cannot open file <name> strike any key exit!"
    fatal,    // the library's open and write messages and the fatal line
};

struct Command {
    const char* func;
    Voice voice;
    const char* odd_line;  // the plain line of an odd size (unnamed and named voices)
};

[[noreturn]] void cannot_open(const Command& c, int line, const char* name, bool output) {
    if (c.voice == Voice::fatal) {
        std::printf(output ? "Cannot write to file %s. Permission denied or no space left!\n"
                           : "Cannot open file %s. Permission denied or wrong file name.\n",
                    name);
        vorn_fatal_line(c.func, VORN_UNIT, line, "open file '%s' failed.", name);
    }
    if (c.voice == Voice::unnamed)
        std::printf("\nCannot open file strike any key exit!");
    else
        std::printf("Cannot open file %s strike any key exit!\n", name);
    std::fflush(stdout);
    std::exit(1);
}

// The input file, open, with its header: of a mode the readers convert, two or
// more columns and rows, even, and exactly as long as the header says (so a
// header cannot make us allocate what the file does not hold).
struct Input {
    FILE* f;
    MRC_HEAD head;
    unsigned nx, ny, nz;
};

Input open_input(const Command& c, int argc, char* argv[]) {
    if (argc < 3 || argv[1] == nullptr || argv[2] == nullptr)
        vorn_fatal_line(c.func, VORN_UNIT, __LINE__, "an input and an output MRC file are needed");
    // The input is read whole before the output is written: the same file
    // (by name or link) would be replaced by its own spectrum.
    if (mrcf_same_file(argv[2], argv[1]))
        vorn_fatal_line(c.func, VORN_UNIT, __LINE__, "Output file %s is the input file %s! Nothing written.", argv[2],
                        argv[1]);
    Input in{std::fopen(argv[1], "rb"), {}, 0, 0, 0};
    if (in.f == nullptr) cannot_open(c, __LINE__, argv[1], false);
    mrc_read_head(in.f, &in.head);
    // A mode the readers do not convert is named before any size is judged.
    if (const char* fault = mrc_mode_fault(&in.head))
        vorn_fatal_line(c.func, VORN_UNIT, __LINE__, "'%s' cannot be read: %s", argv[1], fault);
    if (mrc_check_even_size(&in.head) != 0) {
        if (c.voice == Voice::fatal) vorn_fatal_line(c.func, VORN_UNIT, __LINE__, "Image size must be even in both dimensions!!");
        std::printf("%s\n", c.odd_line);
        std::fflush(stdout);
        std::exit(1);
    }
    const MRC_HEAD& h = in.head;
    if (h.nx < 2 || h.ny < 2 || h.nz < 1 || mrc_check_fsize(in.f, &in.head) != 0)
        vorn_fatal_line(c.func, VORN_UNIT, __LINE__, "'%s' (%d x %d x %d, mode %d) holds no readable image", argv[1], h.nx,
                        h.ny, h.nz, h.mode);
    in.nx = (unsigned)h.nx, in.ny = (unsigned)h.ny, in.nz = (unsigned)h.nz;
    return in;
}

void read_slice(const Command& c, Input& in, const char* name, unsigned k, float* out) {
    if (mrc_read_slice(in.f, &in.head, (int)k, 'z', out) != 0)
        vorn_fatal_line(c.func, VORN_UNIT, __LINE__, "cannot read section %u of '%s'", k, name);
}

// The output: the input's header with the written sizes, mode and range; data at byte 1024.
void write_output(const Command& c, const char* name, MRC_HEAD h, int nx, int ny, int mode, const void* data,
                  size_t bytes) {
    FILE* f = std::fopen(name, "wb");
    if (f == nullptr) cannot_open(c, __LINE__, name, true);
    h.nx = nx, h.ny = ny, h.nz = 1, h.mode = mode, h.nsymbt = 0;
    const bool written = mrc_write_head(f, &h) == 0 && std::fwrite(data, 1, bytes, f) == bytes;
    if (std::fclose(f) != 0 || !written) {
        std::printf("Cannot write to file %s. Permission denied or no space left!\n", name);
        vorn_fatal_line(c.func, VORN_UNIT, __LINE__, "write file '%s' failed.", name);
    }
}

// Range of a log spectrum: dmin = min(0, least), dmax = max(0, greatest).
void range_with_zero(MRC_HEAD& h, const std::vector<float>& v) {
    float mx, mn;
    hm_max_min_value(v.data(), v.size(), mx, mn);
    h.dmin = std::min(0.0f, mn);
    h.dmax = std::max(0.0f, mx);
}
void range_and_mean(MRC_HEAD& h, const std::vector<float>& v) { hm_max_min_mean(v.data(), v.size(), h.dmax, h.dmin, h.dmean); }

// Sum over the first `slices` sections of ln |F| (unscaled), y-centred, read
// from the file one section at a time.
std::vector<float> log_amplitude_sum(const Command& c, Input& in, const char* name, unsigned slices) {
    const size_t npix = image_pixels(in.nx, in.ny), nh = half_elements(in.nx, in.ny);
    std::vector<float> section(npix), result(nh);
    float* image = device_buffer<float>(GPU_SITE, npix);
    float* one = device_buffer<float>(GPU_SITE, nh);
    float* sum = device_buffer<float>(GPU_SITE, nh);
    hcuda_empty_f32(sum, nh);
    fft_r2c_each(
        GPU_SITE, in.nx, in.ny, slices,
        [&](size_t k) {
            read_slice(c, in, name, (unsigned)k, section.data());
            CUDA_CHECK(memcpy_H2D(image, section.data(), npix * sizeof(float)));
            return image;
        },
        [&](size_t, float2* spectrum) {
            hcuda_complex_logmod_center_swap(one, spectrum, nh);
            hcuda_x2d_add_inplace(sum, one, in.nx / 2 + 1, in.ny);
        });
    CUDA_CHECK(memcpy_D2H(result.data(), sum, nh * sizeof(float)));
    device_release(GPU_SITE, image);
    device_release(GPU_SITE, one);
    device_release(GPU_SITE, sum);
    return result;
}

int log_amplitude_command(const Command& c, int argc, char* argv[], bool every_slice) {
    Input in = open_input(c, argc, argv);
    const std::vector<float> spectrum = log_amplitude_sum(c, in, argv[1], every_slice ? in.nz : 1);
    std::fclose(in.f);
    range_with_zero(in.head, spectrum);
    write_output(c, argv[2], in.head, (int)(in.nx / 2 + 1), (int)in.ny, MRC_MODE_FLOAT, spectrum.data(),
                 spectrum.size() * sizeof(float));
    return 0;
}

const char* const kOddLine = "Error in fuction 'mrcf_fft_r2c_amp_2d()'! image size must be even in both directon!";

}  // namespace

int mrcf_fft_r2c_2d(int argc, char* argv[]) {
    const Command c{__func__, Voice::unnamed,
                    "Error in fuction 'mrcf_fft_r2c_2d()'! image size must be even in both directon!"};
    Input in = open_input(c, argc, argv);
    const size_t npix = image_pixels(in.nx, in.ny), nh = half_elements(in.nx, in.ny);
    std::vector<float> section(npix);
    read_slice(c, in, argv[1], 0, section.data());
    std::fclose(in.f);
    float* image = device_copy_of(GPU_SITE, section.data(), npix);
    float2* spectrum = device_buffer<float2>(GPU_SITE, nh);
    hcuda_2d_fft_r2c(image, spectrum, in.nx, in.ny);
    std::vector<float2> out(nh);
    CUDA_CHECK(memcpy_D2H(out.data(), spectrum, nh * sizeof(float2)));
    device_release(GPU_SITE, image);
    device_release(GPU_SITE, spectrum);
    // The conjugate of the spectrum over sqrt(nx*ny), the root taken in double.
    const float scale = (float)std::sqrt((double)npix);
    float largest = 0.0f;
    for (float2& z : out) {
        z = make_float2(z.x / scale, -(z.y / scale));
        largest = std::max(largest, sqrtf(z.x * z.x + z.y * z.y));
    }
    in.head.dmin = 0.0f;
    in.head.dmax = largest;
    write_output(c, argv[2], in.head, (int)(in.nx / 2 + 1), (int)in.ny, MRC_MODE_COMPLEX_FLOAT, out.data(),
                 out.size() * sizeof(float2));
    return 0;
}

int mrcf_fft_r2c_amp_2d(int argc, char* argv[]) { return log_amplitude_command({__func__, Voice::named, kOddLine}, argc, argv, false); }

int mrcf_2ds_fft_r2c_amp_ave(int argc, char* argv[]) { return log_amplitude_command({__func__, Voice::named, kOddLine}, argc, argv, true); }

int mrcf_2ds_fft_r2c_amp_ave2(int argc, char* argv[]) {
    const Command c{__func__, Voice::named, kOddLine};
    Input in = open_input(c, argc, argv);
    const size_t count = (size_t)in.nz * image_pixels(in.nx, in.ny), nh = half_elements(in.nx, in.ny);
    std::vector<float> all(count), spectrum(nh);
    if (mrc_read_all_nocheck(in.f, &in.head, all.data()) != 0)
        vorn_fatal_line(c.func, VORN_UNIT, __LINE__, "cannot read the data of '%s'", argv[1]);
    std::fclose(in.f);
    float* stack = device_copy_of(GPU_SITE, all.data(), count);
    float* out = device_buffer<float>(GPU_SITE, nh);
    hcuda_2ds_fft_r2c_amp_ave_log_subbg(stack, out, in.nx, in.ny, (int)in.nz, 39);
    CUDA_CHECK(memcpy_D2H(spectrum.data(), out, nh * sizeof(float)));
    device_release(GPU_SITE, stack);
    device_release(GPU_SITE, out);
    range_and_mean(in.head, spectrum);
    write_output(c, argv[2], in.head, (int)(in.nx / 2 + 1), (int)in.ny, MRC_MODE_FLOAT, spectrum.data(),
                 spectrum.size() * sizeof(float));
    return 0;
}

int mrcf_2ds_fft_r2c_amp_ave3(int argc, char* argv[]) {
    const Command c{__func__, Voice::fatal, nullptr};
    constexpr unsigned box = 512, step = 256, background = 39, nh = (box / 2 + 1) * box;
    Input in = open_input(c, argc, argv);
    // Without one whole box there is no spectrum to average, only -inf and NaN.
    if (in.nx < box || in.ny < box)
        VORN_FATAL("Image %u x %u is smaller than one box of %u x %u pixels", in.nx, in.ny, box, box);
    const size_t npix = image_pixels(in.nx, in.ny);
    std::vector<float> section(npix), spectrum(nh);
    read_slice(c, in, argv[1], 0, section.data());
    std::fclose(in.f);
    float* image = device_copy_of(GPU_SITE, section.data(), npix);
    float* out = device_buffer<float>(GPU_SITE, nh);
    hcuda_2d_gridfft_r2c_amp_ave_log_subbg(image, out, in.nx, in.ny, box, box, step, background);
    CUDA_CHECK(memcpy_D2H(spectrum.data(), out, nh * sizeof(float)));
    device_release(GPU_SITE, image);
    device_release(GPU_SITE, out);
    range_and_mean(in.head, spectrum);
    write_output(c, argv[2], in.head, (int)(box / 2 + 1), (int)box, MRC_MODE_FLOAT, spectrum.data(),
                 spectrum.size() * sizeof(float));
    return 0;
}
