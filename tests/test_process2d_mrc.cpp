// Whole-file image commands on small MRC fixtures: each output re-read with the
// library's reader and compared with the library operation run on the same
// data (or with an independent value), the sizes written, the refusals that
// write nothing, and the fatal checks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#define VORN_UNIT "tests/process2d_mrc"
#include "process2d_mrc.h"
#include "cuda_fft.h"
#include "mask_weights.h"
#include "math_utils.h"
#include "process2d_core.h"
#include "process2d_raw.h"
#include "device_arrays_fixture.h"
#include "mrc_files_fixture.h"

// Under AddressSanitizer an allocation above this size fails the test: no
// command may size a buffer by a header field, a box or a count it has not checked.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=256"; }

namespace {

using namespace mrc_test;

Image first_of(const Image& stack, int nx, int ny) { return Image(stack.begin(), stack.begin() + (size_t)nx * ny); }
// The library's device operation on a host image: run(device in, device out).
Image on_device(const Image& in, size_t n_out, const std::function<void(float*, float*)>& run) {
    float *d_in = to_device(in), *d_out = device_array(n_out);
    run(d_in, d_out);
    Image out = to_host(d_out, n_out);
    cudaFree(d_in), cudaFree(d_out);
    return out;
}

// ---------------- geometry ----------------

TEST(GeometryCommands, OneImageCommandsMatchTheLibraryOnTheFirstImage) {
    TempDir dir;
    const int nx = 12, ny = 10, nz = 2;
    const Image stack = pattern(nx, ny, nz, 0.2), first = first_of(stack, nx, ny);
    const std::string in = write_mrc(dir, "in.mrcs", stack, nx, ny, nz), out = dir.file("out.mrc");
    RT_Mat2D m;
    m.R11 = 0.8f, m.R12 = -0.6f, m.R21 = 0.6f, m.R22 = 0.8f, m.Tx = 1.5f, m.Ty = -0.5f;
    const float cx = (nx - 1) * 0.5f, cy = (ny - 1) * 0.5f;
    const size_t n = first.size();
    const struct {
        const char* name;
        std::function<int()> run;
        Image want;
        int wx, wy;
        const char* says;
    } cases[] = {
        {"rotate", [&] { return mrcf_cuda_2d_rotate(in.c_str(), out.c_str(), 25.0f); },
         on_device(first, n, [&](float* a, float* b) { hcuda_2d_rotate(a, b, nx, ny, 25.0f); }), nx, ny, "Begin Rotation 25.000000:\nRotation finished!\n"},
        {"zgpu rotate", [&] { return mrcf_zgpu_2d_rotate(in.c_str(), out.c_str(), 25.0f); },
         on_device(first, n, [&](float* a, float* b) { hcuda_2d_rotate(a, b, nx, ny, 25.0f); }), nx, ny, ""},
        {"translate rotate", [&] { return mrcf_cuda_2d_translate_rotate(in.c_str(), out.c_str(), 1.5f, -2.0f, 40.0f); },
         on_device(first, n, [&](float* a, float* b) { hcuda_2d_translate_rotate(a, b, nx, ny, 1.5f, -2.0f, 40.0f); }), nx, ny,
         "Begin translating (1.500000, -2.000000) and rotating 40.000000:\nTranslation and rotation finished!\n"},
        {"zgpu translate rotate", [&] { return mrcf_zgpu_2d_translate_rotate(in.c_str(), out.c_str(), 1.5f, -2.0f, 40.0f); },
         on_device(first, n, [&](float* a, float* b) { hcuda_2d_translate_rotate(a, b, nx, ny, 1.5f, -2.0f, 40.0f); }), nx, ny,
         "Begin Rotation 40.000000:\nRotation finished!\n"},
        {"transform", [&] { return mrcf_cuda_2d_transform(in.c_str(), out.c_str(), m, -1); },
         on_device(first, n, [&](float* a, float* b) { hcuda_2d_transform(a, b, nx, ny, cx, cy, m, -1); }), nx, ny,
         "Begin  transform :\nTransform Matrix (R11, R12, R21, R22, Tx, Ty):\n                 (   0.800  -0.600   0.600   0.800   1.500  -0.500)\ntransforming finished!\n"},
        {"swap xy", [&] { return mrcf_cuda_2d_swap_xy(in.c_str(), out.c_str()); },
         on_device(first, n, [&](float* a, float* b) { hcuda_2d_swap_xy(a, b, nx, ny); }), ny, nx, "Swapping finished!\n"},
        {"shrink by 3", [&] { return mrcf_gpu_2d_shrink(in.c_str(), out.c_str(), 3); },
         on_device(first, 4 * 3, [&](float* a, float* b) { hcuda_2d_meanshrink(a, b, nx, ny, 3); }), 4, 3,
         "Begin Shrinking 3.000000:\nshrinking finished!\n"},
    };
    for (const auto& c : cases) {
        std::string printed = quiet([&] { EXPECT_EQ(c.run(), 0) << c.name; });
        expect_file(out, c.want, c.wx, c.wy, 1, c.name);
        EXPECT_NE(printed.find(c.says), std::string::npos) << c.name << ": " << printed;
    }
    expect_strict(dir, {out}, "4 3 1 2 ");
}

TEST(GeometryCommands, StackCommandsEveryImage) {
    TempDir dir;
    const int nx = 9, ny = 8, nz = 3;
    const Image stack = numbered(nx, ny, nz);
    const std::string in = write_mrc(dir, "in.mrcs", stack, nx, ny, nz), out = dir.file("out.mrcs");
    // Scaling by 0.5: 4 x 4 images, one per input image, each from its own.
    quiet([&] { EXPECT_EQ(mrcf_cuda_2ds_scale(in.c_str(), out.c_str(), 0.5f), 0); });
    Image want;
    for (int k = 0; k < nz; ++k) {
        Image one(16);
        gpu_2d_scale(one.data(), stack.data() + k * nx * ny, nx, ny, 0.5f);
        want.insert(want.end(), one.begin(), one.end());
    }
    expect_file(out, want, 4, 4, nz, "scale");
    const MRC_HEAD hs = head_of(out);
    EXPECT_EQ(hs.dmax, *std::max_element(want.begin(), want.end()));
    // Transposes and flips of the whole stack.
    quiet([&] { EXPECT_EQ(mrcf_cuda_2ds_swap_xy(in.c_str(), out.c_str()), 0); });
    Image swapped(stack.size());
    gpu_2ds_swap_xy(stack.data(), swapped.data(), nx, ny, nz);
    expect_file(out, swapped, ny, nx, nz, "swap");
    for (int mode = 0; mode <= 7; ++mode) {
        quiet([&] { EXPECT_EQ(mrcf_cuda_2ds_flip(in.c_str(), out.c_str(), mode), 0); });
        Image flipped(stack.size());
        gpu_2ds_flip(flipped.data(), stack.data(), nx, ny, nz, mode);
        const bool turned = mode >= 4 && mode <= 6;
        expect_file(out, flipped, turned ? ny : nx, turned ? nx : ny, nz, "flip " + std::to_string(mode));
    }
    EXPECT_EQ(Image(data_of(out)), stack);  // mode 7 copies
}

TEST(GeometryCommands, ArgumentsGivingNoImageAreRefused) {
    TempDir dir;
    const std::string in = write_mrc(dir, "in.mrc", pattern(8, 6), 8, 6), empty = write_mrc(dir, "empty.mrcs", Image(), 8, 6, 0);
    const std::string out = dir.file("out.mrc");
    const struct {
        const char* name;
        std::function<int()> run;
        const char* says;
    } cases[] = {
        {"shrink 0", [&] { return mrcf_gpu_2d_shrink(in.c_str(), out.c_str(), 0); }, "Wrong value of shrink_factor 0"},
        {"shrink -2", [&] { return mrcf_gpu_2d_shrink(in.c_str(), out.c_str(), -2); }, "Wrong value of shrink_factor -2"},
        {"shrink 7", [&] { return mrcf_gpu_2d_shrink(in.c_str(), out.c_str(), 7); }, "leaves no pixel"},
        {"scale 0", [&] { return mrcf_cuda_2ds_scale(in.c_str(), out.c_str(), 0.0f); }, "gives no image"},
        {"scale -1", [&] { return mrcf_cuda_2ds_scale(in.c_str(), out.c_str(), -1.0f); }, "gives no image"},
        {"rotate empty", [&] { return mrcf_cuda_2d_rotate(empty.c_str(), out.c_str(), 3.0f); }, "holds no image"},
        {"zgpu rotate empty", [&] { return mrcf_zgpu_2d_rotate(empty.c_str(), out.c_str(), 3.0f); }, "holds no image"},
        {"swap empty", [&] { return mrcf_cuda_2d_swap_xy(empty.c_str(), out.c_str()); }, "holds no image"},
        {"scale empty", [&] { return mrcf_cuda_2ds_scale(empty.c_str(), out.c_str(), 2.0f); }, "holds no image"},
    };
    for (const auto& c : cases) {
        const std::string printed = quiet([&] { EXPECT_EQ(c.run(), -1) << c.name; });
        EXPECT_NE(printed.find(c.says), std::string::npos) << c.name << ": " << printed;
        EXPECT_NE(printed.find("Nothing written."), std::string::npos) << c.name;
        EXPECT_FALSE(exists(out)) << c.name;
    }
}

TEST(GeometryCommandsDeath, FlipModesOutsideZeroToSevenAndOpenFailures) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string in = write_mrc(dir, "in.mrc", pattern(8, 6), 8, 6), out = dir.file("out.mrc");
    const std::string missing = dir.file("missing.mrc"), nowhere = dir.file("no/such/dir.mrc");
    for (const int mode : {8, -1})
        EXPECT_EXIT((dup2(2, 1), mrcf_cuda_2ds_flip(missing.c_str(), out.c_str(), mode)), ::testing::ExitedWithCode(1),
                    "flip mode -?[0-9] must be an integer from 0 to 7");
    EXPECT_EXIT((dup2(2, 1), mrcf_cuda_2d_rotate(missing.c_str(), out.c_str(), 1)), ::testing::ExitedWithCode(1),
                "Cannot open file strike any key exit!");
    EXPECT_EXIT((dup2(2, 1), mrcf_cuda_2d_rotate(in.c_str(), nowhere.c_str(), 1)), ::testing::ExitedWithCode(1),
                "\nCannot open file strike any key exit!");
    EXPECT_EXIT((dup2(2, 1), mrcf_cuda_2d_transform(missing.c_str(), out.c_str(), RT_Mat2D{}, 1)), ::testing::ExitedWithCode(1),
                "Cannot open file .*missing.mrc. Permission denied or wrong file name.\n.*open file '.*missing.mrc' failed.! Exit now!");
    EXPECT_EXIT((dup2(2, 1), mrcf_cuda_2ds_scale(in.c_str(), nowhere.c_str(), 1)), ::testing::ExitedWithCode(1),
                "Cannot write to file .*dir.mrc. Permission denied or no space left!\n.*open file '.*dir.mrc' failed.! Exit now!");
}

// ---------------- particles ----------------

TEST(ParticleCommands, CutsAgainstDirectCropsFromMicrographsAndMovies) {
    TempDir dir;
    const int nx = 30, ny = 20;
    const std::vector<PTCL_BOX> boxes = {box(2, 3, 6, 6), box(26, 0, 6, 6), box(-2, 17, 6, 6), box(40, 40, 6, 6)};
    const std::string bf = write_boxes(dir, "mic.box", boxes);
    for (const int nz : {1, 3}) {
        const Image mic = numbered(nx, ny, nz);
        const std::string m = write_mrc(dir, "mic.mrc", mic, nx, ny, nz);
        for (const int size : {0, 4})
            for (const int invert : {0, 1}) {
                const std::string what = "nz " + std::to_string(nz) + " size " + std::to_string(size) + " invert " + std::to_string(invert);
                const int s = size ? size : 6, shift = size ? 1 : 0;  // resizing keeps the centre
                Image want;
                for (const PTCL_BOX& b : boxes)
                    for (int f = 0; f < nz; ++f) {
                        const Image frame(mic.begin() + (size_t)f * nx * ny, mic.begin() + (size_t)(f + 1) * nx * ny);
                        for (float v : crop(frame, nx, ny, b.x + shift, b.y + shift, s, s)) want.push_back(invert ? -v : v);
                    }
                PtclStackShape shape{};
                float* got = mrcf_get_data_ptcls(m.c_str(), bf.c_str(), size, invert, &shape);
                ASSERT_NE(got, nullptr) << what;
                EXPECT_EQ(shape.n, 4);
                EXPECT_EQ(shape.w, s);
                EXPECT_EQ(shape.h, s);
                EXPECT_EQ(shape.nz, nz);
                EXPECT_EQ(Image(got, got + want.size()), want) << what;
                std::free(got);
                EXPECT_EQ(mrcf_2d_extract_ptcls_from_micrograph(m.c_str(), bf.c_str(), size, invert), 0);
                expect_file(dir.file("mic_particles.mrcs"), want, s, s, 4 * nz, what);
            }
    }
    // An empty box file: nothing cut, nothing written.
    const std::string none = write_boxes(dir, "none.box", {});
    std::filesystem::remove(dir.file("mic_particles.mrcs"));
    const std::string printed = quiet([&] {
        EXPECT_EQ(mrcf_get_data_ptcls(dir.file("mic.mrc").c_str(), none.c_str(), 0, 0), nullptr);
        EXPECT_EQ(mrcf_2d_extract_ptcls_from_micrograph(dir.file("mic.mrc").c_str(), none.c_str(), 0, 0), -1);
    });
    EXPECT_NE(printed.find("holds no box"), std::string::npos);
    EXPECT_FALSE(exists(dir.file("mic_particles.mrcs")));
}

TEST(ParticleCommands, PastingBackCheckedAgainstTheStacksImages) {
    TempDir dir;
    const int nx = 24, ny = 16;
    const Image mic = pattern(nx, ny, 1, 0.1), stack = numbered(5, 5, 2), refs = pattern(5, 5, 2, 0.9);
    const std::string m = write_mrc(dir, "mic.mrc", mic, nx, ny), s = write_mrc(dir, "stack.mrcs", stack, 5, 5, 2);
    const std::string r = write_mrc(dir, "refs.mrcs", refs, 5, 5, 2);
    const std::vector<PTCL_BOX> boxes = {box(1, 2, 5, 5), box(20, 13, 5, 5)};  // the second runs off the corner
    const std::string bf = write_boxes(dir, "b.box", boxes), out = dir.file("mic_prp.mrc");
    EXPECT_EQ(mrcf_x2d_cp_ptcls_to_micrograph(m.c_str(), s.c_str(), bf.c_str()), 0);
    Image want = mic;
    cpu_x2d_cp_ptcls_to_micrograph(want.data(), stack.data(), nx, ny, 5, 5, 2, boxes.data());
    expect_file(out, want, nx, ny, 1, "paste");
    EXPECT_EQ(mrcf_x2d_norm_cp_ptcls_to_micrograph(m.c_str(), s.c_str(), r.c_str(), bf.c_str()), 0);
    want = mic;
    Image scaled = stack;
    cpu_x2d_norm_cp_ptcls_to_micrograph(want.data(), scaled.data(), refs.data(), nx, ny, 5, 5, 2, boxes.data());
    expect_file(out, want, nx, ny, 1, "normalised paste");

    // Boxes larger (or smaller) than the stack's images would read it at the wrong stride: refused.
    std::filesystem::remove(out);
    const std::string big = write_boxes(dir, "big.box", {box(1, 2, 7, 7), box(3, 3, 7, 7)});
    const std::string small = write_boxes(dir, "small.box", {box(1, 2, 4, 4), box(3, 3, 4, 4)});
    const std::string none = write_boxes(dir, "none.box", {});
    for (const std::string& b : {big, small, none}) {
        const std::string printed = quiet([&] {
            EXPECT_EQ(mrcf_x2d_cp_ptcls_to_micrograph(m.c_str(), s.c_str(), b.c_str()), -1);
            EXPECT_EQ(mrcf_x2d_norm_cp_ptcls_to_micrograph(m.c_str(), s.c_str(), r.c_str(), b.c_str()), -1);
        });
        EXPECT_NE(printed.find("Nothing written"), std::string::npos) << printed;
        EXPECT_FALSE(exists(out)) << b;
    }
}

TEST(ParticleCommandsDeath, BoxCountMustMatchTheStack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string m = write_mrc(dir, "mic.mrc", pattern(20, 20), 20, 20), s = write_mrc(dir, "s.mrcs", numbered(5, 5, 3), 5, 5, 3);
    const std::string bf = write_boxes(dir, "b.box", {box(1, 1, 5, 5)});
    EXPECT_EXIT((dup2(2, 1), mrcf_x2d_cp_ptcls_to_micrograph(m.c_str(), s.c_str(), bf.c_str())), ::testing::ExitedWithCode(1),
                "Particle number in the stack file does not equal that in box file!! Exit now!");
}

// ---------------- values ----------------

TEST(ValueCommands, OneImageAndStackCommandsMatchTheLibrary) {
    TempDir dir;
    const int nx = 16, ny = 12, nz = 3;
    const Image stack = pattern(nx, ny, nz, 0.6), other = pattern(nx, ny, nz, 1.7), first = first_of(stack, nx, ny);
    const std::string in = write_mrc(dir, "in.mrcs", stack, nx, ny, nz), in2 = write_mrc(dir, "in2.mrcs", other, nx, ny, nz);
    const std::string out = dir.file("out.mrc");
    const size_t n = first.size();
    auto host = [&](const std::function<void(Image&)>& f, size_t count) {
        Image r(count, 0.0f);
        f(r);
        return r;
    };
    const int nxh = nx / 2 + 1;
    Image mod = host([&](Image& r) { gpu_2d_fft_r2c_mod(first.data(), r.data(), nx, ny); }, (size_t)nxh * ny);
    mod[0] = 0.0f;
    const struct {
        const char* name;
        std::function<int()> run;
        Image want;
        int wx, wy, wz;
    } cases[] = {
        {"ccf", [&] { return mrcf_x2d_ccf(in.c_str(), in2.c_str(), out.c_str()); },
         host([&](Image& r) { gpu_x2d_ccf(first.data(), other.data(), r.data(), nx, ny); }, n), nx, ny, 1},
        {"fourier shift", [&] { return mrcf_2d_fourier_shift(in.c_str(), out.c_str(), 1.5f, -2.25f); },
         host([&](Image& r) { gpu_2d_shift2(first.data(), r.data(), nx, ny, 1.5f, -2.25f); }, n), nx, ny, 1},
        {"average", [&] { return mrcf_2ds_average(in.c_str(), out.c_str()); },
         host([&](Image& r) { gpu_2ds_ave(r.data(), stack.data(), nx, ny, nz); }, n), nx, ny, 1},
        {"local average", [&] { return mrcf_2d_lave(in.c_str(), out.c_str(), 3, 2); },
         host([&](Image& r) { gpu_2d_local_ave_softR_mpad(r.data(), first.data(), nx, ny, 3, 2); }, n), nx, ny, 1},
        {"local sigma", [&] { return mrcf_2d_lsigma(in.c_str(), out.c_str(), 3, 2); },
         host([&](Image& r) { gpu_2d_local_sigma_softR(r.data(), first.data(), nx, ny, 3, 2); }, n), nx, ny, 1},
        {"shrunk local average", [&] { return mrcf_2d_shrink_lave(in.c_str(), out.c_str(), 2, 3, 2); },
         host([&](Image& r) { gpu_2d_local_ave_softR_mpad(r.data(), first.data(), nx, ny, 3, 2); }, n), nx, ny, 1},
        {"shrunk local sigma", [&] { return mrcf_2d_shrink_lsigma(in.c_str(), out.c_str(), 2, 3, 2); },
         host([&](Image& r) { gpu_2d_local_sigma_softR(r.data(), first.data(), nx, ny, 3, 2); }, n), nx, ny, 1},
        {"amplitudes", [&] { return mrcf_2d_fft_r2c_mod(in.c_str(), out.c_str()); }, mod, nxh, ny, 1},
        {"log spectra", [&] { return mrcf_2ds_fft_r2c_logmod_subbg(out.c_str(), in.c_str(), 4); },
         host([&](Image& r) { gpu_2ds_fft_r2c_logmod_subbg(r.data(), stack.data(), nx, ny, nz, 4); }, (size_t)nxh * ny * nz), nxh, ny, nz},
        {"projection host", [&] { return mrcf_2d_project_local_rect(out.c_str(), in.c_str(), 9, 5, 30, 7, 5, 1, 999); },
         host([&](Image& r) { cpu_2d_project_local_rect(r.data(), 9, 5, first.data(), nx, ny, 7, 5, 30, 1); }, 9), 9, 1, 1},
        {"projection device", [&] { return mrcf_2d_project_local_rect(out.c_str(), in.c_str(), 9, 5, 30, 7, 5, -1, 0); },
         host([&](Image& r) { gpu_2d_project_local_rect(r.data(), 9, 5, first.data(), nx, ny, 7, 5, 30, -1); }, 9), 9, 1, 1},
        {"mask", [&] { return mrcf_mask2d_create(out.c_str(), 10, 8, 4.5f, 3.5f, 2, 2); },
         host([&](Image& r) { cpu_2d_generate_rmask_soft(r.data(), 10, 8, 4.5f, 3.5f, 2, 2); }, 80), 10, 8, 1},
        {"template host", [&] { return mrcf_2d_auto_template_gauss(out.c_str(), 10, 8, 4.5f, 3.5f, 2, 2, 1); },
         host([&](Image& r) { cpu_2d_generate_rmask_soft(r.data(), 10, 8, 4.5f, 3.5f, 2, 2); }, 80), 10, 8, 1},
        {"template device", [&] { return mrcf_2d_auto_template_gauss(out.c_str(), 10, 8, 4.5f, 3.5f, 2, 2, 2); },
         host([&](Image& r) { gpu_2d_generate_rmask_soft(r.data(), 10, 8, 4.5f, 3.5f, 2, 2); }, 80), 10, 8, 1},
        {"template other", [&] { return mrcf_2d_auto_template_gauss(out.c_str(), 10, 8, 4.5f, 3.5f, 2, 2, 3); }, Image(80, 0.0f), 10, 8, 1},
        {"cylinder", [&] { return mrcf_2d_auto_template_gauss_cylinder(out.c_str(), 10, 3, 4.5f, 2, 2, 1); },
         host([&](Image& r) { for (int y = 0; y < 3; ++y) cpu_1d_generate_rmask_soft(r.data() + 10 * y, 10, 4.5f, 2, 2); }, 30), 10, 3, 1},
        {"cylinder device", [&] { return mrcf_2d_auto_template_gauss_cylinder(out.c_str(), 10, 3, 4.5f, 2, 2, 2); },
         host([&](Image& r) { for (int y = 0; y < 3; ++y) gpu_1d_generate_rmask_soft(r.data() + 10 * y, 10, 4.5f, 2, 2); }, 30), 10, 3, 1},
    };
    for (const auto& c : cases) {
        quiet([&] { EXPECT_EQ(c.run(), 0) << c.name; });
        expect_file(out, c.want, c.wx, c.wy, c.wz, c.name);
    }
}

TEST(ValueCommands, ShiftsAveragesAndSpectraOfStacks) {
    TempDir dir;
    const int nx = 8, ny = 6, nz = 3;
    const Image stack = pattern(nx, ny, nz, 2.5);
    const std::string in = write_mrc(dir, "in.mrcs", stack, nx, ny, nz), out = dir.file("out.mrcs"), ave = dir.file("ave.mrc");
    const std::vector<float2> shifts = {make_float2(0.5f, 1), make_float2(-1, 0.25f), make_float2(2, -1)};
    // Count 0: every image, one shift each.
    quiet([&] { EXPECT_EQ(mrcf_2ds_fourier_shift(in.c_str(), out.c_str(), ave.c_str(), shifts.data(), 0, 1), 0); });
    Image shifted(stack.size()), mean((size_t)nx * ny);
    for (int k = 0; k < nz; ++k) gpu_2d_shift(stack.data() + k * nx * ny, shifted.data() + k * nx * ny, nx, ny, shifts[k].x, shifts[k].y);
    quiet([&] { gpu_2ds_ave(mean.data(), shifted.data(), nx, ny, nz); });
    expect_file(out, shifted, nx, ny, nz, "shifted stack");
    expect_file(ave, mean, nx, ny, 1, "average of the shifted");
    // Two images, no stack written, no average for "NONE".
    std::filesystem::remove(out);
    quiet([&] { EXPECT_EQ(mrcf_2ds_fourier_shift(in.c_str(), out.c_str(), "NONE", shifts.data(), 2, 0), 0); });
    EXPECT_FALSE(exists(out));

    // Spectra of every frame, their mean and log mean by switches.
    const control3 all{1, 1, 1};
    quiet([&] { EXPECT_EQ(mrcf_2ds_fft_r2c_proc(in.c_str(), out.c_str(), 'A', all), 0); });
    Image frames(stack.size()), m((size_t)nx * ny), lm((size_t)nx * ny);
    quiet([&] { gpu_2ds_fft_r2c_proc(stack.data(), frames.data(), m.data(), lm.data(), nx, ny, nz, 'A'); });
    expect_file(out, frames, nx, ny, nz, "frames");
    expect_file(dir.file("in_ave.mrc"), m, nx, ny, 1, "mean spectrum");
    expect_file(dir.file("in_ave_ln1p.mrc"), lm, nx, ny, 1, "log mean spectrum");
    const std::string none = dir.file("none.mrcs");
    EXPECT_EQ(mrcf_2ds_fft_r2c_proc(in.c_str(), none.c_str(), 'A', control3{0, 0, 0}), 0);
    EXPECT_FALSE(exists(none));

    // Frame splits keep the sum of each image.
    EXPECT_EQ(mrcf_2ds_simulate_frame_split(out.c_str(), in.c_str(), 4), 0);
    const Image split = data_of(out);
    ASSERT_EQ(head_of(out).nz, nz * 4);
    for (int k = 0; k < nz; ++k)
        for (int p = 0; p < nx * ny; ++p) {
            float s = 0;
            for (int f = 0; f < 4; ++f) s += split[((size_t)k * 4 + f) * nx * ny + p];
            EXPECT_EQ(s, stack[(size_t)k * nx * ny + p]);
        }
}

TEST(ValueCommands, MeasuresAndNormalisation) {
    TempDir dir;
    const int nx = 10, ny = 8;
    Image blob((size_t)nx * ny, 0.0f);
    blob[3 * nx + 2] = 1.0f, blob[5 * nx + 7] = 3.0f;  // centre of mass (5.75, 4.5)
    const std::string b = write_mrc(dir, "blob.mrc", blob, nx, ny);
    float2 c;
    EXPECT_EQ(quiet([&] { c = mrcf_2d_cpu_get_mass_center(b.c_str()); }), "mass center (cenx, ceny):     5.750    4.500\n");
    EXPECT_FLOAT_EQ(c.x, 5.75f);
    EXPECT_FLOAT_EQ(c.y, 4.5f);

    const Image a = pattern(nx, ny, 1, 0.2), o = pattern(nx, ny, 1, 0.8), mask = pattern(nx, ny, 1, 3.3);
    Image ma(mask), mb(mask);
    for (float& v : ma) v = std::fabs(v);
    for (float& v : mb) v = std::fabs(v) * 0.5f;
    const std::string fa = write_mrc(dir, "a.mrc", a, nx, ny), fo = write_mrc(dir, "o.mrc", o, nx, ny);
    const std::string fma = write_mrc(dir, "ma.mrc", ma, nx, ny), fmb = write_mrc(dir, "mb.mrc", mb, nx, ny);
    EXPECT_EQ(mrcf_x2d_ccc_with2maskfs(fa.c_str(), fma.c_str(), fo.c_str(), fmb.c_str()),
              cpu_x2d_ccc_with2maskfs(a.data(), o.data(), ma.data(), mb.data(), nx, ny));
    EXPECT_EQ(mrcf_x2d_ccc_with2maskfs(fa.c_str(), "NULL", fo.c_str(), fmb.c_str()), hm_ccc_znorm(a.data(), o.data(), a.size()));
    EXPECT_NEAR(mrcf_x2d_ccc_with2maskfs(fa.c_str(), "", fa.c_str(), ""), 1.0f, 1e-5f);

    const std::string out = dir.file("z.mrc");
    for (int type = 0; type <= 3; ++type) {
        Image want(a.size());
        if (type == 0) hm_normz_stdv_withmask(want.data(), a.data(), ma.data(), a.size(), 1.0f);
        if (type == 1) hm_normz_withmask(want.data(), a.data(), ma.data(), a.size(), 1.0f, 0.0f);
        if (type == 2) hm_normz_stdv_withmask_applymask(want.data(), a.data(), ma.data(), a.size(), 1.0f);
        if (type == 3) hm_normz_withmask_applymask(want.data(), a.data(), ma.data(), a.size(), 1.0f, 0.0f);
        EXPECT_EQ(mrcf_znorm_within_mask(out.c_str(), fa.c_str(), fma.c_str(), type), 0);
        expect_file(out, want, nx, ny, 1, "znorm " + std::to_string(type));
    }
    EXPECT_EQ(mrcf_2ds_apply_mask(fa.c_str(), fma.c_str(), out.c_str()), 0);
}

TEST(ValueCommands, NcsAverageAndCoefficientsOnHostAndDevice) {
    TempDir dir;
    const int nx = 21, ny = 21, mx = 9, my = 9;
    const Image image = pattern(nx, ny, 1, 0.4), mask(mx * my, 1.0f), ref = pattern(mx, my, 1, 1.2);
    const std::string fi = write_mrc(dir, "i.mrc", image, nx, ny), fm = write_mrc(dir, "m.mrc", mask, mx, my);
    const std::string fr = write_mrc(dir, "r.mrc", ref, mx, my), ops = dir.file("ops.txt"), out = dir.file("avg.mrc");
    {
        FILE* f = std::fopen(ops.c_str(), "w");
        std::fputs(".ncs_symmetry_operators\n1 0 0\n0 1 0\n0 0 0\n.ncs_symmetry_operators\n0 -1 0\n1 0 0\n1 -1 0\n", f);
        std::fclose(f);
    }
    std::vector<RT_Mat2D> read;
    quiet([&] { get_syms2d_from_ofile(read, ops.c_str()); });
    ASSERT_EQ(read.size(), 2u);
    for (const int mode : {1, -1}) {
        std::vector<RT_Mat2D> used(2);
        if (mode == 1) sym2d_vector_to_syms(used.data(), read);
        else sym2d_vector_to_inverse_syms(used.data(), read);
        Image want((size_t)mx * my, 0.0f);
        quiet([&] { cpu_2d_ncs_average(want.data(), mx, my, 6, 6, image.data(), nx, ny, 10, 10, mask.data(), used.data(), 2); });
        for (const int device : {999, 0}) {
            quiet([&] { EXPECT_EQ(mrcf_2d_ncs_average(out.c_str(), 6, 6, fi.c_str(), fm.c_str(), ops.c_str(), mode, device), 0); });
            const Image got = data_of(out);
            for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-5f) << mode << " " << device;
        }
        std::vector<float> ccc(2);
        quiet([&] { cpu_2d_ncs_cccs(ccc.data(), ref.data(), mx, my, 6, 6, image.data(), nx, ny, 10, 10, mask.data(), used.data(), 2); });
        const std::string printed = quiet([&] { EXPECT_EQ(mrcf_2d_ncs_cccs(fr.c_str(), 6, 6, fi.c_str(), fm.c_str(), ops.c_str(), mode, 0), 0); });
        char line[64];
        std::snprintf(line, sizeof line, "ccc = %f \n", ccc[1]);
        EXPECT_NE(printed.find(line), std::string::npos) << printed;
        EXPECT_NE(printed.find("   R11       R12       R21       R22        Tx        Ty\n"), std::string::npos);
    }
    const std::string printed = quiet([&] { EXPECT_EQ(mrcf_2d_ncs_average(out.c_str(), 6, 6, fi.c_str(), fm.c_str(), ops.c_str(), 2, 999), -1); });
    EXPECT_NE(printed.find("Operator mode 2 must be 1 or -1"), std::string::npos);
}

TEST(ValueCommands, AveragesOfFilesAndOfNoImage) {
    TempDir dir;
    const int nx = 6, ny = 4, nz = 2;
    const Image a = pattern(nx, ny, nz, 0.1), b = pattern(nx, ny, nz, 0.2), c = pattern(nx, ny, nz, 0.3);
    std::vector<std::string> names = {"unused", write_mrc(dir, "a.mrcs", a, nx, ny, nz), write_mrc(dir, "b.mrcs", b, nx, ny, nz),
                                      write_mrc(dir, "c.mrcs", c, nx, ny, nz)};
    std::vector<char*> argv;
    for (auto& s : names) argv.push_back(s.data());
    const std::string out = dir.file("mean.mrcs");
    quiet([&] { EXPECT_EQ(mrcf_average_all(out.c_str(), argv.data(), 3), 0); });
    Image want(a.size());
    for (size_t i = 0; i < a.size(); ++i) want[i] = ((a[i] + b[i]) + c[i]) / 3.0f;
    const Image got = data_of(out);
    for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-6f);
    EXPECT_EQ(head_of(out).nz, nz);

    // Nothing to average: refused, nothing written.
    const std::string empty = write_mrc(dir, "empty.mrcs", Image(), nx, ny, 0), none = dir.file("none.mrc");
    const std::string printed = quiet([&] {
        EXPECT_EQ(mrcf_average_all(none.c_str(), argv.data(), 0), -1);
        EXPECT_EQ(mrcf_2ds_average(empty.c_str(), none.c_str()), -1);
        EXPECT_EQ(mrcf_2ds_fourier_shift(empty.c_str(), none.c_str(), none.c_str(), nullptr, 0, 1), -1);
        EXPECT_EQ(mrcf_2ds_fft_r2c_proc(empty.c_str(), none.c_str(), 'A', control3{1, 1, 1}), -1);
    });
    EXPECT_NE(printed.find(empty + " holds no image."), std::string::npos) << printed;
    EXPECT_FALSE(exists(none));
    EXPECT_FALSE(exists(dir.file("empty_ave.mrc")));
}

TEST(ValueCommandsDeath, MismatchesAndUnknownModes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string a = write_mrc(dir, "a.mrc", pattern(6, 4, 1), 6, 4), b = write_mrc(dir, "b.mrc", pattern(6, 4, 1, 1), 6, 4);
    const std::string c = write_mrc(dir, "c.mrc", pattern(4, 4, 1), 4, 4), odd = write_mrc(dir, "odd.mrc", pattern(5, 4, 1), 5, 4);
    const std::string out = dir.file("out.mrc");
    EXPECT_EXIT((dup2(2, 1), mrcf_znorm_within_mask(out.c_str(), a.c_str(), b.c_str(), 4)), ::testing::ExitedWithCode(1),
                "Unknown mode!! Exit now!");
    EXPECT_EXIT((dup2(2, 1), mrcf_2d_fourier_shift(odd.c_str(), out.c_str(), 1, 1)), ::testing::ExitedWithCode(1),
                "file size not even number!! Exit now!");
    const float2 one[1] = {make_float2(1, 1)};
    EXPECT_EXIT((dup2(2, 1), mrcf_2ds_fourier_shift(a.c_str(), out.c_str(), "NULL", one, 2, 1)), ::testing::ExitedWithCode(1),
                "file size smaller than frames of drifts!! Exit now!");
    EXPECT_EXIT((dup2(2, 1), mrcf_x2d_ccf(a.c_str(), c.c_str(), out.c_str())), ::testing::ExitedWithCode(1), "has a different size");
}

// The child of a death test runs the test anew: the files live where both find them.
TEST(ValueCommandsDeath, AverageOfFilesEndsAfterWritingWhatItAdded) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string dir = "/tmp/vorn_average_all_partial_" + std::to_string(getuid());
    std::filesystem::create_directories(dir);
    const std::string a = dir + "/a.mrc", b = dir + "/b.mrc", c = dir + "/c.mrc", out = dir + "/out.mrc";
    mrcf_write_xyz_data(a.c_str(), pattern(6, 4, 1).data(), 6, 4, 1);
    mrcf_write_xyz_data(b.c_str(), pattern(6, 4, 1, 1).data(), 6, 4, 1);
    mrcf_write_xyz_data(c.c_str(), pattern(4, 4, 1).data(), 4, 4, 1);
    // Three files, the third of another size: the mean of the first two is written, then status 1.
    std::vector<std::string> names = {"unused", a, b, c};
    std::vector<char*> argv;
    for (auto& s : names) argv.push_back(s.data());
    EXPECT_EXIT((dup2(2, 1), mrcf_average_all(out.c_str(), argv.data(), 3)), ::testing::ExitedWithCode(1), "has a different size");
    const Image pa = pattern(6, 4, 1), pb = pattern(6, 4, 1, 1);
    const Image got = data_of(out);
    for (size_t i = 0; i < pa.size(); ++i) EXPECT_NEAR(got[i], (pa[i] + pb[i]) / 2, 1e-6f);
    std::filesystem::remove_all(dir);
}

// ---------------- refusals of bad input ----------------

// The commands on one input file, run as command(in, out).
typedef std::function<int(const std::string&, const std::string&)> FileCommand;
struct NamedCommand {
    const char* name;
    FileCommand run;
};
std::vector<NamedCommand> one_input_commands(const std::string& ops) {
    static const float2 shifts[4] = {};
    return {
        {"rotate", [](const std::string& i, const std::string& o) { return mrcf_cuda_2d_rotate(i.c_str(), o.c_str(), 10); }},
        {"zgpu rotate", [](const std::string& i, const std::string& o) { return mrcf_zgpu_2d_rotate(i.c_str(), o.c_str(), 10); }},
        {"transform", [](const std::string& i, const std::string& o) { return mrcf_cuda_2d_transform(i.c_str(), o.c_str(), RT_Mat2D{1, 0, 0, 1, 0, 0}, 1); }},
        {"swap xy", [](const std::string& i, const std::string& o) { return mrcf_cuda_2d_swap_xy(i.c_str(), o.c_str()); }},
        {"shrink", [](const std::string& i, const std::string& o) { return mrcf_gpu_2d_shrink(i.c_str(), o.c_str(), 2); }},
        {"scale", [](const std::string& i, const std::string& o) { return mrcf_cuda_2ds_scale(i.c_str(), o.c_str(), 0.5f); }},
        {"stack swap xy", [](const std::string& i, const std::string& o) { return mrcf_cuda_2ds_swap_xy(i.c_str(), o.c_str()); }},
        {"flip", [](const std::string& i, const std::string& o) { return mrcf_cuda_2ds_flip(i.c_str(), o.c_str(), 1); }},
        {"ccf", [](const std::string& i, const std::string& o) { return mrcf_x2d_ccf(i.c_str(), i.c_str(), o.c_str()); }},
        {"fourier shift", [](const std::string& i, const std::string& o) { return mrcf_2d_fourier_shift(i.c_str(), o.c_str(), 1, 1); }},
        {"stack fourier shift", [](const std::string& i, const std::string& o) { return mrcf_2ds_fourier_shift(i.c_str(), o.c_str(), "NONE", shifts, 0, 1); }},
        {"average", [](const std::string& i, const std::string& o) { return mrcf_2ds_average(i.c_str(), o.c_str()); }},
        {"local average", [](const std::string& i, const std::string& o) { return mrcf_2d_lave(i.c_str(), o.c_str(), 2, 1); }},
        {"amplitudes", [](const std::string& i, const std::string& o) { return mrcf_2d_fft_r2c_mod(i.c_str(), o.c_str()); }},
        {"spectra", [](const std::string& i, const std::string& o) { return mrcf_2ds_fft_r2c_proc(i.c_str(), o.c_str(), 'A', control3{1, 0, 0}); }},
        {"log spectra", [](const std::string& i, const std::string& o) { return mrcf_2ds_fft_r2c_logmod_subbg(o.c_str(), i.c_str(), 1); }},
        {"frame split", [](const std::string& i, const std::string& o) { return mrcf_2ds_simulate_frame_split(o.c_str(), i.c_str(), 2); }},
        {"znorm", [](const std::string& i, const std::string& o) { return mrcf_znorm_within_mask(o.c_str(), i.c_str(), i.c_str(), 0); }},
        {"projection", [](const std::string& i, const std::string& o) { return mrcf_2d_project_local_rect(o.c_str(), i.c_str(), 4, 2, 0, 3, 3, 1, 999); }},
        {"ncs average", [ops](const std::string& i, const std::string& o) { return mrcf_2d_ncs_average(o.c_str(), 3, 3, i.c_str(), i.c_str(), ops.c_str(), 1, 999); }},
        {"average of files", [](const std::string& i, const std::string& o) {
             std::string unused = "unused", name = i;
             char* names[2] = {unused.data(), name.data()};
             return mrcf_average_all(o.c_str(), names, 1);
         }},
    };
}

TEST(CommandRefusals, InputsWithoutAWholeHeader) {
    TempDir dir;
    const std::string out = dir.file("out.mrc");
    for (const std::string& in : headless_inputs(dir))
        for (const auto& c : one_input_commands(dir.file("ops.txt")))
            expect_refused([&] { return c.run(in, out); }, "No MRC header in " + in, {in}, {out}, std::string(c.name) + " of " + in);
}

// The output named as the input itself, through a link, or under another
// spelling of its path: refused before anything is opened; the input stays whole.
TEST(CommandRefusals, OutputThatIsTheInput) {
    TempDir dir;
    const std::string in = write_mrc(dir, "in.mrcs", pattern(8, 6, 2), 8, 6, 2), link = dir.file("link.mrc");
    std::filesystem::create_symlink(in, link);
    for (const std::string& out : {in, link, dir.path + "/./in.mrcs"})
        for (const auto& c : one_input_commands(dir.file("ops.txt")))
            expect_refused([&] { return c.run(in, out); }, "is the input file", {in}, {}, std::string(c.name) + " into " + out);
    // Outputs named after an input: a link there to the input is the input.
    const std::string mic = write_mrc(dir, "m.mrc", pattern(20, 20), 20, 20), stack = write_mrc(dir, "s.mrcs", numbered(5, 5, 1), 5, 5);
    const std::string bf = write_boxes(dir, "b.box", {box(1, 1, 5, 5)});
    std::filesystem::create_symlink(stack, dir.file("m_prp.mrc"));
    std::filesystem::create_symlink(mic, dir.file("m_particles.mrcs"));
    std::filesystem::create_symlink(in, dir.file("in_ave.mrc"));
    const std::pair<const char*, std::function<int()>> derived[] = {
        {"paste", [&] { return mrcf_x2d_cp_ptcls_to_micrograph(mic.c_str(), stack.c_str(), bf.c_str()); }},
        {"extract", [&] { return mrcf_2d_extract_ptcls_from_micrograph(mic.c_str(), bf.c_str(), 0, 0); }},
        {"mean spectrum", [&] { return mrcf_2ds_fft_r2c_proc(in.c_str(), dir.file("f.mrcs").c_str(), 'A', control3{0, 1, 0}); }},
    };
    for (const auto& d : derived) expect_refused(d.second, "is the input file", {mic, stack, in}, {dir.file("f.mrcs")}, d.first);
}

// Two outputs of one command that are one file (one name, another spelling of
// it, a link to a file still to be written, a hard link to a file there
// before): refused before anything is written, the warning naming both; the
// file there before keeps its bytes.
TEST(CommandRefusals, TwoOutputsThatAreOneFile) {
    TempDir dir;
    const std::string in = write_mrc(dir, "in.mrcs", pattern(8, 6, 2), 8, 6, 2);
    const std::string o = dir.file("o.mrc"), ahead = dir.file("ahead.mrc");
    const std::string old = write_mrc(dir, "old.mrc", pattern(4, 4), 4, 4), hard = dir.file("hard.mrc");
    std::filesystem::create_symlink(o, ahead);
    std::filesystem::create_hard_link(old, hard);
    // The spectra command names its means after its input.
    const std::string ave = dir.file("in_ave.mrc"), log_ave = dir.file("in_ave_ln1p.mrc"), ave_ahead = dir.file("ave_ahead.mrc");
    std::filesystem::create_symlink(ave, ave_ahead);
    std::filesystem::create_symlink(ave, log_ave);
    static const float2 shifts[2] = {};
    struct Case {
        std::string what, first, second;
        std::function<int()> run;
    };
    std::vector<Case> cases;
    const std::pair<std::string, std::string> one_file[] = {{o, o}, {o, dir.path + "/./o.mrc"}, {o, ahead}, {old, hard}};
    for (const auto& names : one_file) {
        const std::string a = names.first, b = names.second;
        cases.push_back({"shifted stack and average", a, b, [=] { return mrcf_2ds_fourier_shift(in.c_str(), a.c_str(), b.c_str(), shifts, 0, 1); }});
    }
    for (const std::string& out : {ave, dir.path + "/./in_ave.mrc", ave_ahead})
        cases.push_back({"spectra and their mean", out, ave, [=] { return mrcf_2ds_fft_r2c_proc(in.c_str(), out.c_str(), 'A', control3{1, 1, 0}); }});
    cases.push_back({"mean and log mean", ave, log_ave, [=] { return mrcf_2ds_fft_r2c_proc(in.c_str(), o.c_str(), 'A', control3{0, 1, 1}); }});
    for (const auto& c : cases)
        expect_refused(c.run, "Output files " + c.first + " and " + c.second + " are one file! Nothing written.", {in, old},
                       {o, ave}, c.what + " into " + c.first + " and " + c.second);
}

TEST(CommandRefusals, SizesAndCountsThatHoldNoArray) {
    TempDir dir;
    const std::string in = write_mrc(dir, "in.mrcs", pattern(4, 4, 2), 4, 4, 2), out = dir.file("out.mrc");
    const std::string mic = write_mrc(dir, "m.mrc", pattern(30, 20), 30, 20), huge = write_boxes(dir, "huge.box", {box(0, 0, 100000, 100000)});
    const std::string wide = write_boxes(dir, "wide.box", {box(0, 0, 31, 4), box(0, 0, 31, 4)});
    const std::string sizes = "each must be 1 to 2147483647";
    const struct {
        const char* name;
        std::function<int()> run;
        std::string says;
    } cases[] = {
        {"mask of negative width", [&] { return mrcf_mask2d_create(out.c_str(), -5, 8, 2, 2, 1, 1); }, "Sizes -5 x 8: " + sizes},
        {"mask of no rows", [&] { return mrcf_mask2d_create(out.c_str(), 8, 0, 2, 2, 1, 1); }, "Sizes 8 x 0: " + sizes},
        {"mask beyond memory", [&] { return mrcf_mask2d_create(out.c_str(), INT_MAX, INT_MAX, 2, 2, 1, 1); }, sizes},
        {"host template", [&] { return mrcf_2d_auto_template_gauss(out.c_str(), -3, 8, 2, 2, 1, 1, 1); }, "Sizes -3 x 8: " + sizes},
        {"device template", [&] { return mrcf_2d_auto_template_gauss(out.c_str(), 8, -3, 2, 2, 1, 1, 2); }, "Sizes 8 x -3: " + sizes},
        {"cylinder", [&] { return mrcf_2d_auto_template_gauss_cylinder(out.c_str(), -1, 3, 2, 1, 1, 1); }, "Sizes -1 x 3: " + sizes},
        {"projection of negative length", [&] { return mrcf_2d_project_local_rect(out.c_str(), in.c_str(), -4, 2, 0, 2, 2, 1, 999); }, "Sizes -4 x 2: " + sizes},
        {"projection over negative width", [&] { return mrcf_2d_project_local_rect(out.c_str(), in.c_str(), 4, -1, 0, 2, 2, 1, 999); }, "Sizes 4 x -1: " + sizes},
        {"split into 2^30 frames", [&] { return mrcf_2ds_simulate_frame_split(out.c_str(), in.c_str(), 1 << 30); }, "Sizes 4 x 4 x 2147483648: " + sizes},
        {"split into INT_MAX frames", [&] { return mrcf_2ds_simulate_frame_split(out.c_str(), in.c_str(), INT_MAX); }, sizes},
        {"scale beyond an MRC size", [&] { return mrcf_cuda_2ds_scale(in.c_str(), out.c_str(), 1e30f); }, "gives no image"},
        {"scale by no number", [&] { return mrcf_cuda_2ds_scale(in.c_str(), out.c_str(), NAN); }, "gives no image"},
        {"box larger than the micrograph", [&] { return mrcf_2d_extract_ptcls_from_micrograph(mic.c_str(), huge.c_str(), 0, 0); },
         "Boxes of 100000 x 100000 are larger than the image of 30 x 20."},
        {"box wider than the micrograph", [&] { return mrcf_2d_extract_ptcls_from_micrograph(mic.c_str(), wide.c_str(), 0, 0); },
         "larger than the image"},
        {"resized beyond the micrograph", [&] { return mrcf_2d_extract_ptcls_from_micrograph(mic.c_str(), wide.c_str(), 1 << 30, 0); },
         "Boxes of 1073741824 x 1073741824 are larger than the image"},
    };
    for (const auto& c : cases) expect_refused(c.run, c.says, {in, mic}, {out, dir.file("m_particles.mrcs")}, c.name);
}

// A file of no section: every command refuses it, whatever it reads, and writes
// nothing. Data of a mode no reader converts (float16, complete; mode 101) are
// named before any size.
TEST(CommandRefusals, FileOfNoSectionOrOfAnUnsupportedMode) {
    TempDir dir;
    const std::string empty = write_mrc(dir, "empty.mrcs", Image(), 8, 6, 0), out = dir.file("out.mrc");
    for (const auto& c : one_input_commands(dir.file("ops.txt")))
        expect_refused([&] { return c.run(empty, out); }, empty + " holds no image.", {empty}, {out}, c.name);
    const std::vector<std::string> by_image = {"rotate", "transform", "swap xy", "shrink", "scale", "fourier shift",
                                               "local average", "amplitudes", "projection", "average of files"};
    for (const int mode : {12, 101}) {
        const std::string says = "mode " + std::to_string(mode) + " is not supported";
        // Odd: the mode comes before the evenness a Fourier shift needs.
        const std::string in = mode_file(dir, "m" + std::to_string(mode) + ".mrc", 7, 6, 1, mode, 7 * 6 * 2);
        for (const auto& c : one_input_commands(""))
            if (std::find(by_image.begin(), by_image.end(), c.name) != by_image.end())
                expect_refused([&] { return c.run(in, out); }, in + " cannot be read: " + says + ".", {in}, {out}, c.name);
    }
}

// A command that reads the file whole ends the process in the same words.
TEST(CommandRefusalsDeath, WholeFileReadOfAnUnsupportedMode) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string in = mode_file(dir, "m12.mrc", 8, 6, 1, 12, 8 * 6 * 2), out = dir.file("out.mrc");
    EXPECT_EXIT((dup2(2, 1), mrcf_2ds_average(in.c_str(), out.c_str())), ::testing::ExitedWithCode(1),
                "m12.mrc cannot be read: mode 12 is not supported");
    EXPECT_FALSE(exists(out));
}

// The commands that read image by image check the file before they write.
TEST(CommandRefusals, StackShorterThanItsHeaderIsRefusedBeforeWriting) {
    TempDir dir;
    const std::string whole = write_mrc(dir, "whole.mrcs", pattern(8, 6, 3), 8, 6, 3), in = dir.file("cut.mrcs");
    write_text(in, bytes_of(whole).substr(0, 1024 + 4 * 8 * 6 * 2));
    const std::string out = dir.file("out.mrc");
    for (const auto& c : one_input_commands(""))
        if (std::string(c.name) == "rotate" || std::string(c.name) == "transform" || std::string(c.name) == "scale")
            expect_refused([&] { return c.run(in, out); }, in + " holds less data than its header describes.", {in}, {out}, c.name);
}

}  // namespace
