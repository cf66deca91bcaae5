// Fourier filters: the weights of each kernel element by element, every filter
// against a direct DFT of a small image (plain and mirror-padded), the scale
// of a filter that passes everything, and the whole-file command.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <functional>
#include <string>
#include <vector>

#define VORN_UNIT "tests/image_filter"
#include "image_filter.h"
#include "gpu_launch.h"
#include "device_arrays_fixture.h"
#include "mrc_files_fixture.h"

namespace {

using namespace mrc_test;
using cd = std::complex<double>;

// Radius of a full-spectrum element (u, v) of an n x n image in Fourier pixels:
// its true frequency, which for even n puts index n/2 at -n/2.
float radius_of(int u, int v, int n) {
    const int kx = u < (n + 1) / 2 ? u : u - n, ky = v < (n + 1) / 2 ? v : v - n;
    return std::sqrt((float)(kx * kx + ky * ky));
}
double gauss(double d, double s) { return 0.3989423 * std::exp(-d * d / (2 * s * s)); }

// The weight each filter gives an element of radius r, written from the
// filter's definition (edge length n, apix, two resolutions, width).
struct FilterCase {
    const char* name;
    std::function<void(float* in, float* out, int n)> device;            // the device filter
    std::function<double(float r, int n)> weight;                          // its weight at edge length n
    bool padded;
};

const float apix = 1.25f;
// At n = 16: r_in = 2, r_out = 5, both exact; at 32 (padded): 4 and 10.
const float res_lo = 10.0f, res_hi = 4.0f, width = 3.0f;
double edge_in(int n) { return (float)n * apix / res_lo; }
double edge_out(int n) { return (float)n * apix / res_hi; }

std::vector<FilterCase> filter_cases() {
    auto sharp = [](float r, int n) { return r < (float)edge_in(n) || r > (float)edge_out(n) ? 0.0 : 1.0; };
    auto soft = [](float r, int n) {
        const float ri = (float)edge_in(n), ro = (float)edge_out(n);
        if (r < ri || r > ro + width) return 0.0;
        return r <= ro ? 1.0 : gauss(r - ro, width / 3.0);
    };
    auto guas = [](float r, int n) {
        const double ri = edge_in(n), ro = edge_out(n), c = n / 2 + 1;
        if (r < (float)ri || r > (float)ro) return 0.0;
        return gauss(r, ro / 3) * gauss(c - r, (c - ri) / 3);
    };
    return {
        {"bandpass_sharp", [](float* i, float* o, int n) { hcuda_2d_bandpass_sharp(i, o, n, apix, res_lo, res_hi); }, sharp, false},
        {"bandpass_sharp swapped", [](float* i, float* o, int n) { hcuda_2d_bandpass_sharp(i, o, n, apix, res_hi, res_lo); }, sharp, false},
        {"lowpass_sharp", [](float* i, float* o, int n) { hcuda_2d_lowpass_sharp(i, o, n, apix, res_hi); },
         [](float r, int n) { return r > (float)edge_out(n) ? 0.0 : 1.0; }, false},
        {"highpass_sharp", [](float* i, float* o, int n) { hcuda_c2d_highpass_sharp(i, o, n, apix, res_lo); },
         [](float r, int n) { return r < (float)edge_in(n) ? 0.0 : 1.0; }, false},
        {"bandpass_softR", [](float* i, float* o, int n) { hcuda_2d_bandpass_softR(i, o, n, apix, res_lo, res_hi, width); }, soft, false},
        {"bandpass_guas", [](float* i, float* o, int n) { hcuda_2d_bandpass_guas(i, o, n, apix, res_lo, res_hi); }, guas, false},
        {"bandpass_softR_mpad", [](float* i, float* o, int n) { hcuda_2d_bandpass_softR_mpad(i, o, n, apix, res_lo, res_hi, width); }, soft, true},
        {"bandpass_guas_mpad", [](float* i, float* o, int n) { hcuda_2d_bandpass_guas_mpad(i, o, n, apix, res_lo, res_hi); }, guas, true},
    };
}

// Unscaled inverse DFT of W * DFT(image), both by direct sums in double.
Image reference_filter(const Image& image, int n, const std::function<double(float, int)>& weight) {
    std::vector<cd> F((size_t)n * n);
    for (int v = 0; v < n; ++v)
        for (int u = 0; u < n; ++u) {
            cd s = 0;
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x)
                    s += (double)image[(size_t)y * n + x] * std::polar(1.0, -2 * M_PI * ((double)u * x + (double)v * y) / n);
            F[(size_t)v * n + u] = s * weight(radius_of(u, v, n), n);
        }
    Image out((size_t)n * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            cd s = 0;
            for (int v = 0; v < n; ++v)
                for (int u = 0; u < n; ++u) s += F[(size_t)v * n + u] * std::polar(1.0, 2 * M_PI * ((double)u * x + (double)v * y) / n);
            out[(size_t)y * n + x] = (float)s.real();
        }
    return out;
}
// The image and its three reflections, 2n x 2n, built here from the definition.
Image mirror_padded(const Image& image, int n) {
    Image p((size_t)4 * n * n);
    for (int y = 0; y < 2 * n; ++y)
        for (int x = 0; x < 2 * n; ++x) p[(size_t)y * 2 * n + x] = image[(size_t)(y < n ? y : 2 * n - 1 - y) * n + (x < n ? x : 2 * n - 1 - x)];
    return p;
}
Image top_left(const Image& padded, int n) { return crop(padded, 2 * n, 2 * n, 0, 0, n, n); }

Image run_device(const std::function<void(float*, float*, int)>& filter, const Image& image, int n) {
    float *din = to_device(image), *dout = device_array(image.size());
    filter(din, dout, n);
    Image out = to_host(dout, image.size());
    cudaFree(din), cudaFree(dout);
    return out;
}

void expect_close(const Image& got, const Image& want, double tol, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(got[i], want[i], tol) << what << " at " << i;
}

TEST(FourierFilters, EveryFilterMatchesADirectDft) {
    for (const int n : {16, 15}) {
        const Image image = pattern(n, n, 1, 0.3);
        for (const auto& c : filter_cases()) {
            const std::string what = std::string(c.name) + " n = " + std::to_string(n);
            const Image want = c.padded ? top_left(reference_filter(mirror_padded(image, n), 2 * n, c.weight), n)
                                        : reference_filter(image, n, c.weight);
            const double scale = c.padded ? 4.0 * n * n : (double)n * n;
            expect_close(run_device(c.device, image, n), want, 2e-5 * scale, what);
            // In place gives the same.
            float* d = to_device(image);
            c.device(d, d, n);
            expect_close(to_host(d, image.size()), want, 2e-5 * scale, what + " in place");
            cudaFree(d);
        }
    }
}

// Each kernel on a half spectrum of ones: the value left in each element is its weight.
TEST(FourierFilters, KernelWeightsOnAndNextToTheCutOffs) {
    const int n = 16, nh = n / 2 + 1;
    auto weights = [&](const std::function<void(float2*)>& launch) {
        std::vector<float2> ones((size_t)nh * n, make_float2(1.0f, -1.0f));
        float2* d = to_device(ones);
        launch(d);
        std::vector<float2> got = to_host(d, ones.size());
        cudaFree(d);
        for (const float2& v : got) EXPECT_EQ(v.x, -v.y);  // both parts scaled alike
        return got;
    };
    auto at = [&](const std::vector<float2>& w, int x, int ky) { return w[(size_t)(ky < 0 ? ky + n : ky) * nh + x].x; };
    const auto sharp = weights([&](float2* d) { gpu_launch_2d<cuda_c2d_bandpass_sharp>(GPU_SITE, nh, n, d, n, apix, res_lo, res_hi); });
    EXPECT_EQ(at(sharp, 0, 0), 0.0f);   // the origin goes
    EXPECT_EQ(at(sharp, 1, 1), 0.0f);   // r = 1.41 < 2
    EXPECT_EQ(at(sharp, 2, 0), 1.0f);   // r = 2, on r_in
    EXPECT_EQ(at(sharp, 0, -2), 1.0f);  // row n - 2 is ky = -2
    EXPECT_EQ(at(sharp, 3, -4), 1.0f);  // r = 5, on r_out
    EXPECT_EQ(at(sharp, 1, 5), 0.0f);   // r = 5.10 beyond
    EXPECT_EQ(at(sharp, 0, -8), 0.0f);  // row n/2 is ky = -8
    const auto low = weights([&](float2* d) { gpu_launch_2d<cuda_c2d_lowpass_sharp>(GPU_SITE, nh, n, d, n, apix, res_hi); });
    EXPECT_EQ(at(low, 0, 0), 1.0f);
    EXPECT_EQ(at(low, 4, 3), 1.0f);
    EXPECT_EQ(at(low, 5, 1), 0.0f);
    const auto high = weights([&](float2* d) { gpu_launch_2d<cuda_c2d_highpass_sharp>(GPU_SITE, nh, n, d, n, apix, res_lo); });
    EXPECT_EQ(at(high, 0, 0), 0.0f);
    EXPECT_EQ(at(high, 1, 1), 0.0f);
    EXPECT_EQ(at(high, 0, 2), 1.0f);
    EXPECT_EQ(at(high, 8, -8), 1.0f);
    const auto soft = weights([&](float2* d) { gpu_launch_2d<cuda_c2d_bandpass_softR>(GPU_SITE, nh, n, d, n, apix, res_lo, res_hi, width); });
    EXPECT_EQ(at(soft, 5, 0), 1.0f);                                        // on r_out: kept
    EXPECT_NEAR(at(soft, 5, 1), gauss(std::sqrt(26.0) - 5, 1), 1e-6);       // just outside: about 0.39
    EXPECT_GT(at(soft, 5, 1), 0.38f);
    EXPECT_NEAR(at(soft, 8, 0), 0.3989423 * std::exp(-4.5), 1e-7);          // r = r_out + w
    EXPECT_EQ(at(soft, 8, 1), 0.0f);                                        // beyond r_out + w
    EXPECT_EQ(at(soft, 1, 0), 0.0f);
    const auto guas = weights([&](float2* d) { gpu_launch_2d<cuda_c2d_bandpass_guas>(GPU_SITE, nh, n, d, n, apix, res_lo, res_hi); });
    EXPECT_NEAR(at(guas, 2, 0), gauss(2, 5.0 / 3) * gauss(9 - 2, 7.0 / 3), 1e-7);
    EXPECT_NEAR(at(guas, 3, 4), gauss(5, 5.0 / 3) * gauss(9 - 5, 7.0 / 3), 1e-7);
    EXPECT_EQ(at(guas, 1, 5), 0.0f);
    EXPECT_EQ(at(guas, 1, 1), 0.0f);
    // res1 = res2: only the radius equal to r_in (= r_out) stays.
    const auto ring = weights([&](float2* d) { gpu_launch_2d<cuda_c2d_bandpass_sharp>(GPU_SITE, nh, n, d, n, apix, res_hi, res_hi); });
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < nh; ++x)
            EXPECT_EQ(ring[(size_t)y * nh + x].x, fourier_radius(x, y, n) == 5.0f ? 1.0f : 0.0f) << x << " " << y;
    // An odd edge has no frequency -n/2: its row n/2 holds +n/2 (here row 7 of 15 is ky = 7, r = 7).
    EXPECT_EQ(fourier_radius(0, 7, 15), 7.0f);
    EXPECT_EQ(fourier_radius(0, 8, 15), 7.0f);
    EXPECT_EQ(fourier_radius(0, 8, 16), 8.0f);
}

TEST(FourierFilters, PassingEverythingReturnsTheImageTimesItsPixelCount) {
    const int n = 24;
    const Image image = pattern(n, n, 1, 1.1);
    Image want(image);
    for (float& v : want) v *= (float)(n * n);
    expect_close(run_device([](float* i, float* o, int m) { hcuda_2d_lowpass_sharp(i, o, m, 1.0f, 1e-6f); }, image, n), want,
                 1e-4 * n * n, "low-pass");
    // A zero-mean image whose spectrum lies inside the band comes back times n^2.
    Image wave((size_t)n * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) wave[(size_t)y * n + x] = (float)std::cos(2 * M_PI * (3.0 * x + 2.0 * y) / n);
    Image wave_want(wave);
    for (float& v : wave_want) v *= (float)(n * n);
    expect_close(run_device([](float* i, float* o, int m) { hcuda_2d_bandpass_sharp(i, o, m, 1.0f, 12.0f, 2.0f); }, wave, n),
                 wave_want, 1e-4 * n * n, "band");
}

TEST(FourierFilters, HostFormsMatchTheDeviceForms) {
    const int n = 16;
    const Image image = pattern(n, n, 1, 2.0);
    auto device = [&](const std::function<void(float*, float*, int)>& f) { return run_device(f, image, n); };
    Image a = image;
    gpu_2d_bandpass_sharp_inplace(a.data(), n, apix, res_lo, res_hi);
    EXPECT_EQ(a, device([](float* i, float* o, int m) { hcuda_2d_bandpass_sharp(i, o, m, apix, res_lo, res_hi); }));
    Image soft = image, narrow = image;
    gpu_2d_bandpass_softR_inplace(soft.data(), n, apix, res_lo, res_hi, width);
    EXPECT_EQ(soft, device([](float* i, float* o, int m) { hcuda_2d_bandpass_softR(i, o, m, apix, res_lo, res_hi, width); }));
    gpu_2d_bandpass_softR_inplace(narrow.data(), n, apix, res_lo, res_hi, 0.5f);
    EXPECT_EQ(narrow, a);  // a width below 1 is the sharp band-pass
    Image g = image;
    gpu_2d_bandpass_guas_inplace(g.data(), n, apix, res_lo, res_hi);
    EXPECT_EQ(g, device([](float* i, float* o, int m) { hcuda_2d_bandpass_guas(i, o, m, apix, res_lo, res_hi); }));
    Image gm(image.size(), -1.0f), gmi = image;
    const Image kept = image;
    gpu_2d_bandpass_guas_mpad(gm.data(), image.data(), n, apix, res_lo, res_hi);
    EXPECT_EQ(image, kept);
    gpu_2d_bandpass_guas_mpad_inplace(gmi.data(), n, apix, res_lo, res_hi);
    const Image want = device([](float* i, float* o, int m) { hcuda_2d_bandpass_guas_mpad(i, o, m, apix, res_lo, res_hi); });
    EXPECT_EQ(gm, want);
    EXPECT_EQ(gmi, want);
    // The in-place device forms.
    float* d = to_device(image);
    hcuda_2d_bandpass_softR_mpad_inplace(d, n, apix, res_lo, res_hi, width);
    EXPECT_EQ(to_host(d, image.size()),
              device([](float* i, float* o, int m) { hcuda_2d_bandpass_softR_mpad(i, o, m, apix, res_lo, res_hi, width); }));
    cudaFree(d);
}

TEST(BandpassFile, FiltersTheFirstImageByTypeAndCopiesTheRest) {
    TempDir dir;
    const int n = 16, nz = 3;
    const Image stack = pattern(n, n, nz, 0.7);
    const std::string in = write_mrc(dir, "stack.mrcs", stack, n, n, nz);
    const Image first(stack.begin(), stack.begin() + n * n), rest(stack.begin() + n * n, stack.end());
    const struct {
        int type;
        float w;
        std::function<void(float*)> filter;  // on a host copy of the first image
    } cases[] = {
        {1, 0, [&](float* d) { gpu_2d_bandpass_guas_inplace(d, n, apix, res_lo, res_hi); }},
        {2, width, [&](float* d) { gpu_2d_bandpass_softR_inplace(d, n, apix, res_lo, res_hi, width); }},
        {2, 0.5f, [&](float* d) { gpu_2d_bandpass_sharp_inplace(d, n, apix, res_lo, res_hi); }},
        {3, 0, [&](float* d) { gpu_2d_bandpass_sharp_inplace(d, n, apix, res_lo, res_hi); }},
        {4, 0, [&](float* d) { gpu_2d_bandpass_guas_mpad_inplace(d, n, apix, res_lo, res_hi); }},
        {0, 0, [](float*) {}},
        {5, 0, [](float*) {}},
    };
    for (const auto& c : cases) {
        const std::string out = dir.file("out" + std::to_string(c.type) + ".mrcs");
        ASSERT_EQ(mrcf_2d_bandpass(in.c_str(), out.c_str(), apix, res_lo, res_hi, c.w, c.type), 0);
        Image want = first;
        c.filter(want.data());
        want.insert(want.end(), rest.begin(), rest.end());
        EXPECT_EQ(data_of(out), want) << "type " << c.type;
        const MRC_HEAD h = head_of(out);
        EXPECT_EQ(h.nz, nz);
        float mx = want[0], mn = want[0];
        for (float v : want) mx = std::max(mx, v), mn = std::min(mn, v);
        EXPECT_EQ(h.dmax, mx) << "statistics recomputed, type " << c.type;
        EXPECT_EQ(h.dmin, mn);
    }
    expect_strict(dir, {dir.file("out1.mrcs"), dir.file("out0.mrcs")}, "16 16 3 2");
}

TEST(BandpassFileDeath, RectangleIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string in = write_mrc(dir, "rect.mrc", pattern(16, 12), 16, 12), out = dir.file("out.mrc");
    EXPECT_EXIT((dup2(2, 1), mrcf_2d_bandpass(in.c_str(), out.c_str(), 1, 10, 4, 0, 3)), ::testing::ExitedWithCode(1),
                "Error in function mrcf_2d_bandpass\\(\\), file src/image_filter on line [0-9]+: Can not do band-pass on "
                "rectangle data. Must be square.! Exit now!");
    // Data of a mode no reader converts are named before the shape is judged.
    const std::string half = mode_file(dir, "half.mrc", 16, 12, 1, 12, 16 * 12 * 2);
    EXPECT_EXIT((dup2(2, 1), mrcf_2d_bandpass(half.c_str(), out.c_str(), 1, 10, 4, 0, 3)), ::testing::ExitedWithCode(1),
                "half.mrc cannot be read: mode 12 is not supported");
    EXPECT_FALSE(exists(out));
}

TEST(BandpassFile, FileOfNoImageIsRefusedWithNothingWritten) {
    TempDir dir;
    const std::string in = write_mrc(dir, "empty.mrcs", Image(), 16, 16, 0), out = dir.file("out.mrc");
    for (const int type : {3, 0})  // a filter, or none: the copy of no image is refused as well
        expect_refused([&] { return mrcf_2d_bandpass(in.c_str(), out.c_str(), apix, res_lo, res_hi, 0, type); },
                       in + " holds no image.", {in}, {out}, "type " + std::to_string(type));
}

// Inputs without a whole header, and outputs that are the input (its name, a
// link to it): refused before anything is opened for writing, the input whole.
TEST(BandpassFile, HeaderlessInputsAndOutputsOverTheInputAreRefused) {
    TempDir dir;
    const std::string out = dir.file("out.mrc");
    for (const std::string& in : headless_inputs(dir))
        expect_refused([&] { return mrcf_2d_bandpass(in.c_str(), out.c_str(), apix, res_lo, res_hi, 0, 3); },
                       "No MRC header in " + in, {in}, {out}, in);
    const std::string in = write_mrc(dir, "in.mrc", pattern(16, 16), 16, 16), link = dir.file("link.mrc");
    std::filesystem::create_symlink(in, link);
    for (const std::string& target : {in, link})
        expect_refused([&] { return mrcf_2d_bandpass(in.c_str(), target.c_str(), apix, res_lo, res_hi, 0, 3); },
                       "is the input file", {in}, {}, target);
}

}  // namespace
