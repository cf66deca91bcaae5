// Binning by block means, square extension by fill and by mirroring, and
// movies simulated by scattering an image over frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#define VORN_UNIT "tests/process2d_raw_bin"
#include "process2d_raw.h"
#include "device_arrays_fixture.h"

namespace {

using Image = std::vector<float>;

// Pixel values that tell every position apart and are exact in float.
Image numbered(int nx, int ny, int base = 0) {
    Image a((size_t)nx * ny);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) a[(size_t)y * nx + x] = (float)(base + y * 100 + x + 1);
    return a;
}

// Block means computed in double, independently of the library.
Image reference_bin(const Image& in, int nx, int w, int h, int f) {
    Image out((size_t)w * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double s = 0;
            for (int r = 0; r < f; ++r)
                for (int c = 0; c < f; ++c) s += in[(size_t)(y * f + r) * nx + x * f + c];
            out[(size_t)y * w + x] = (float)(s / (f * f));
        }
    return out;
}

Image device_bin(const Image& in, int nx, int ny, int f) {
    const size_t n = (size_t)(nx / f) * (ny / f);
    float *din = to_device(in), *dout = device_array(n);
    hcuda_2d_meanshrink(din, dout, nx, ny, f);
    const Image out = to_host(dout, n);
    cudaFree(din), cudaFree(dout);
    return out;
}

void expect_near_image(const Image& got, const Image& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(got[i], want[i], 1e-4f * (1 + std::fabs(want[i]))) << what << " i = " << i;
}

TEST(Binning, BlockMeansByTwoThreeFourOnEveryForm) {
    const struct { int nx, ny; } sizes[] = {{12, 12}, {13, 11}, {5, 5}, {17, 9}};
    for (const auto s : sizes)
        for (int f = 1; f <= 4; ++f) {
            const std::string what = std::to_string(s.nx) + "x" + std::to_string(s.ny) + " by " + std::to_string(f);
            const Image in = numbered(s.nx, s.ny);
            const int w = s.nx / f, h = s.ny / f;
            const Image want = reference_bin(in, s.nx, w, h, f);
            Image cpu(want.size() + 1, -7.0f), inv(want.size() + 1, -7.0f);
            cpu_2d_meanshrink(cpu.data(), in.data(), s.nx, s.ny, f);
            cpu_2d_meanshrink_invert(inv.data(), in.data(), s.nx, s.ny, f);
            EXPECT_EQ(cpu.back(), -7.0f) << what;  // nothing past w*h
            cpu.pop_back();
            inv.pop_back();
            expect_near_image(cpu, want, what + " cpu");
            expect_near_image(device_bin(in, s.nx, s.ny, f), cpu, what + " device");
            for (float& v : inv) v = -v;
            expect_near_image(inv, want, what + " invert");
        }
    // 5 x 5 by 2 reads only the top-left 4 x 4.
    const Image in = numbered(5, 5);
    Image out(4);
    cpu_2d_meanshrink(out.data(), in.data(), 5, 5, 2);
    EXPECT_EQ(out, (Image{(1 + 2 + 101 + 102) / 4.0f, (3 + 4 + 103 + 104) / 4.0f, (201 + 202 + 301 + 302) / 4.0f,
                          (203 + 204 + 303 + 304) / 4.0f}));
}

TEST(Binning, StackBinsEachImage) {
    Image in = numbered(9, 6);
    const Image second = numbered(9, 6, 5000);
    in.insert(in.end(), second.begin(), second.end());
    Image out(2 * 3 * 2);
    cpu_2ds_meanshrink(out.data(), in.data(), 9, 6, 2, 3);
    Image want = reference_bin(numbered(9, 6), 9, 3, 2, 3);
    const Image want2 = reference_bin(second, 9, 3, 2, 3);
    want.insert(want.end(), want2.begin(), want2.end());
    expect_near_image(out, want, "stack");
}

TEST(Binning, EvenSizesAndTheMirroredSquare) {
    // 10 x 6 by 2: W = (10/4)*2 = 4, H = (6/4)*2 = 2, stride 4.
    const Image small = numbered(10, 6);
    Image even(8);
    cpu_2d_meanshrink_even(even.data(), small.data(), 10, 6, 2);
    expect_near_image(even, reference_bin(small, 10, 4, 2, 2), "even 10x6");
    // f = 1 copies the first W columns of the first H rows.
    Image copy(6 * 4);
    cpu_2d_meanshrink_even(copy.data(), numbered(7, 5).data(), 7, 5, 1);
    expect_near_image(copy, numbered(6, 4), "even copy");

    // 40 x 24 by 2: 20 x 12 at stride 20, then rows 12..19 mirror rows 11..4.
    const Image in = numbered(40, 24);
    const Image bin = reference_bin(in, 40, 20, 12, 2);
    Image sq(20 * 20, -7.0f);
    cpu_2d_meanshrink_extended_even_square(sq.data(), in.data(), 40, 24, 2);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_EQ(sq[(size_t)y * 20 + x], bin[(size_t)(y < 12 ? y : 23 - y) * 20 + x]) << x << "," << y;
    // A tall result is mirrored in columns.
    const Image tin = numbered(24, 40);
    const Image tbin = reference_bin(tin, 24, 12, 20, 2);
    cpu_2d_meanshrink_extended_even_square(sq.data(), tin.data(), 24, 40, 2);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_EQ(sq[(size_t)y * 20 + x], tbin[(size_t)y * 12 + (x < 12 ? x : 23 - x)]) << x << "," << y;
}

TEST(SquareExtension, FillAndMirrorForTallWideAndSquareImages) {
    // Wide 4 x 3: the data, then one row of fill (or row 2*3 - 1 - 3 = 2 mirrored).
    const Image wide = numbered(4, 3);
    Image out(16, -7.0f);
    cpu_2d_extend_to_square(out.data(), wide.data(), 4, 3, 9.5f);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], i < 12 ? wide[i] : 9.5f) << i;
    cpu_2d_extend_to_square_mirror(out.data(), wide.data(), 4, 3);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], i < 12 ? wide[i] : wide[8 + i % 4]) << i;

    // Tall 3 x 5: every row's 3 values then fill (or columns 2*3 - 1 - j: j = 3 -> 2, j = 4 -> 1).
    const Image tall = numbered(3, 5);
    Image t(25, -7.0f);
    cpu_2d_extend_to_square(t.data(), tall.data(), 3, 5, -1.0f);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(t[y * 5 + x], x < 3 ? tall[y * 3 + x] : -1.0f) << x << "," << y;
    cpu_2d_extend_to_square_mirror(t.data(), tall.data(), 3, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(t[y * 5 + x], tall[y * 3 + (x < 3 ? x : 5 - x)]) << x << "," << y;

    // In place: the data already at stride S; only the new part changes.
    Image in_place(25, -7.0f);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 3; ++x) in_place[y * 5 + x] = tall[y * 3 + x];
    Image filled = in_place;
    cpu_2d_extend_to_square_mirror_inplace(in_place.data(), 3, 5);
    EXPECT_EQ(in_place, t);
    cpu_2d_extend_to_square_only_fill(filled.data(), 3, 5, -1.0f);
    cpu_2d_extend_to_square(t.data(), tall.data(), 3, 5, -1.0f);
    EXPECT_EQ(filled, t);

    // A square is copied.
    const Image square = numbered(3, 3);
    Image s(9);
    cpu_2d_extend_to_square_mirror(s.data(), square.data(), 3, 3);
    EXPECT_EQ(s, square);
    cpu_2d_extend_to_square(s.data(), square.data(), 3, 3, 0.0f);
    EXPECT_EQ(s, square);
}

TEST(FrameSplit, FramesSumToTheInputWithEachPixelInOneFrame) {
    const unsigned nx = 16, ny = 12, nz = 2, nframes = 5;
    Image in = numbered(nx, ny);
    const Image second = numbered(nx, ny, 7000);
    in.insert(in.end(), second.begin(), second.end());
    const size_t npix = (size_t)nx * ny;
    Image frames(nz * nframes * npix, -7.0f);
    cpu_2ds_simulate_frame_split(frames.data(), in.data(), nx, ny, nz, nframes);
    std::vector<int> used(nframes, 0);
    for (size_t img = 0; img < nz; ++img)
        for (size_t i = 0; i < npix; ++i) {
            int hits = 0;
            float sum = 0.0f;
            for (size_t k = 0; k < nframes; ++k) {
                const float v = frames[(img * nframes + k) * npix + i];
                if (v != 0.0f) ++hits, ++used[k];
                sum += v;
            }
            ASSERT_EQ(hits, 1) << img << " " << i;
            ASSERT_EQ(sum, in[img * npix + i]);
        }
    for (unsigned k = 0; k < nframes; ++k) EXPECT_GT(used[k], 0) << "frame " << k << " never drawn";

    Image one(npix, -7.0f);
    cpu_2d_simulate_split(one.data(), in.data(), nx, ny, 1);
    EXPECT_EQ(one, Image(in.begin(), in.begin() + npix));
}

// The host binning forms and the mirroring copy report in red and return,
// writing nothing, so that a whole-file command can report and go on.
TEST(Binning, HostFormsRefuseAndReturnWritingNothing) {
    const Image in = numbered(8, 8);
    const struct {
        const char* func;
        const char* why;
        std::function<void(float*)> run;
    } cases[] = {
        {"cpu_2d_meanshrink", "Wrong value of shrink_factor. Must be >=1", [&](float* o) { cpu_2d_meanshrink(o, in.data(), 8, 8, 0); }},
        {"cpu_2ds_meanshrink", "Wrong value of shrink_factor. Must be >=1", [&](float* o) { cpu_2ds_meanshrink(o, in.data(), 8, 8, 1, -2); }},
        {"cpu_2d_meanshrink_even", "Wrong value of shrink_factor. Must be >=1", [&](float* o) { cpu_2d_meanshrink_even(o, in.data(), 8, 8, 0); }},
        {"cpu_2d_meanshrink_extended_even_square", "Wrong value of shrink_factor. Must be >=1",
         [&](float* o) { cpu_2d_meanshrink_extended_even_square(o, in.data(), 8, 8, 0); }},
        {"cpu_2d_extend_to_square_mirror", "Make sure: Ny/2 < Nx < 2Ny", [&](float* o) { cpu_2d_extend_to_square_mirror(o, in.data(), 8, 4); }},
    };
    for (const auto& c : cases) {
        Image out(64, -7.0f);
        testing::internal::CaptureStdout();
        c.run(out.data());
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, Image(64, -7.0f)) << c.func;
        const std::string head = std::string("\033[41mError in function ") + c.func + "(), file src/process2d_raw on line ";
        EXPECT_EQ(printed.rfind(head, 0), 0u) << printed;
        EXPECT_NE(printed.find(std::string(":") + c.why + "  " + c.why + "!\n\033[m"), std::string::npos) << printed;
    }
}

TEST(BinningDeath, RefusedArgumentsEndWithTheFatalLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Image in = numbered(8, 8), out(64 * 4);
    float* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 64 * sizeof(float)), cudaSuccess);
    const struct {
        const char* func;
        const char* message;
        std::function<void()> run;
    } cases[] = {
        {"hcuda_2d_meanshrink", "Wrong value of shrink_factor. Must be >=1", [&] { hcuda_2d_meanshrink(d, d + 1, 8, 8, 0); }},
        {"cpu_2d_meanshrink_invert", "Wrong value of shrink_factor. Must be >=1", [&] { cpu_2d_meanshrink_invert(out.data(), in.data(), 8, 8, -1); }},
        // 40 x 8 by 2 gives 20 x 4, beyond what mirroring can fill.
        {"cpu_2d_meanshrink_extended_even_square", "Make sure: Ny/2 < Nx < 2Ny",
         [&] { Image big(40 * 8), o(400); cpu_2d_meanshrink_extended_even_square(o.data(), big.data(), 40, 8, 2); }},
        {"cpu_2d_extend_to_square_mirror_inplace", "Make sure: Ny/2 < Nx < 2Ny", [&] { cpu_2d_extend_to_square_mirror_inplace(out.data(), 2, 8); }},
        {"cpu_2d_simulate_split", "The number of frames must be at least 1", [&] { cpu_2d_simulate_split(out.data(), in.data(), 8, 8, 0); }},
        {"cpu_2ds_simulate_frame_split", "The number of frames must be at least 1", [&] { cpu_2ds_simulate_frame_split(out.data(), in.data(), 8, 8, 1, 0); }},
    };
    for (const auto& c : cases) {
        const std::string line = std::string("Error in function ") + c.func + "\\(\\), file src/process2d_raw on line [0-9]+: " +
                                 c.message + "! Exit now!";
        EXPECT_EXIT((dup2(2, 1), c.run()), ::testing::ExitedWithCode(1), line) << c.func;
    }
    cudaFree(d);
}

}  // namespace
