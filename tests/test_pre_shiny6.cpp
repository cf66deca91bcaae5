// Movie dose weighting: the weight model, the GPU forms and their CPU twin, the
// text readers and the particle-movie driver.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define VORN_UNIT "tests/pre_shiny6"
#include "cuda_fft.h"
#include "device_arrays_fixture.h"
#include "estimator_fixture.h"
#include "mrcfile.h"
#include "pre_shiny6.h"

namespace {

using Half = std::vector<float2>;
using Image = std::vector<float>;

#define STDOUT_TO_STDERR() dup2(2, 1)

using vorn_test::TempDir;

// Every byte of a file ("" when it cannot be read).
std::string read_bytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A text file of the directory; its path.
std::string write_text(const TempDir& dir, const char* name, const std::string& text) {
    std::ofstream(dir.file(name)) << text;
    return dir.file(name);
}

// Runs f with standard output captured; returns what it printed.
template <class F>
std::string quietly(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

GPS_PARA params(int scheme, int wnorm = 1, float k = 0.0f) {
    return GPS_PARA{2.0f, 1.5f, 0.8f, 0.25f, k, scheme, wnorm, 2};
}

// n frames of nxh x ny values that vary with element and frame.
Half frame_spectra(int nxh, int ny, int n, float seed = 0.3f) {
    Half h((size_t)n * nxh * ny);
    for (size_t i = 0; i < h.size(); ++i) h[i] = make_float2(std::sin(seed * i + 1.0f), std::cos(0.7f * i + seed));
    return h;
}

// ---- single weights ----

TEST(EqDose, DividesByTheVoltageFactorAndKeepsOtherVoltages) {
    struct Case {
        float kV, expected;
    } cases[] = {{300, 8.196721f}, {100, 14.705882f}, {120, 13.333333f}, {400, 7.518797f}, {200, 10.0f}, {80, 10.0f}};
    for (const Case& c : cases) EXPECT_FLOAT_EQ(eq_dose(10.0f, c.kV), c.expected) << c.kV << " kV";
}

TEST(Weights, SingleWeightsMatchHandComputedValues) {
    EXPECT_NEAR(hd_dose_weight(0.1f, 2.0f, 3.0f, 1.5f), 0.82717693f, 1e-6);
    EXPECT_NEAR(hd_dose_weight_fixed(0.2f, 5.0f), 0.64039428f, 1e-6);
    // Drift of 2 pixels along x seen along x: t = 2 pi 0.05 2.
    EXPECT_NEAR(hd_drift_weight(0.05f, 0.0f, 1.0f, 2.0f, 0.0f, 1.0f, 0.0f), 0.93548928f, 1e-6);
    // Across the drift (theta = 90 degrees) with Db = 0 nothing is blurred.
    EXPECT_FLOAT_EQ(hd_drift_weight(0.05f, (float)M_PI_2, 1.0f, 2.0f, 0.0f, 1.0f, 0.0f), 1.0f);
    // Db = 1: the blur no longer depends on direction.
    EXPECT_FLOAT_EQ(hd_drift_weight(0.05f, (float)M_PI_2, 1.0f, 2.0f, 0.0f, 1.0f, 1.0f),
                    hd_drift_weight(0.05f, 0.0f, 1.0f, 2.0f, 0.0f, 1.0f, 1.0f));
    // Zero drift and zero frequency give 1.
    EXPECT_FLOAT_EQ(hd_drift_weight(0.3f, 0.4f, 1.0f, 0.0f, 0.0f, 1.0f, 0.5f), 1.0f);
    EXPECT_FLOAT_EQ(hd_drift_weight(0.0f, 0.4f, 1.0f, 3.0f, 1.0f, 1.0f, 0.5f), 1.0f);
    // Past t = pi the sinc turns negative and its sign with it.
    EXPECT_LT(hd_drift_weight(0.3f, 0.0f, 1.0f, 2.0f, 0.0f, 1.0f, 0.0f), 0.0f);
    EXPECT_EQ(hd_drift_wsign(0.3f, 0.0f, 1.0f, 2.0f, 0.0f, 1.0f, 0.0f), -1.0f);
    EXPECT_EQ(hd_drift_wsign(0.05f, 0.0f, 1.0f, 2.0f, 0.0f, 1.0f, 0.0f), 1.0f);
    EXPECT_EQ(hd_drift_wsign(0.0f, 0.0f, 1.0f, 2.0f, 0.0f, 1.0f, 0.0f), 1.0f);
}

// Elements of a 16 x 16 image (nxh 9), pixel 2 A, dose 3, drift (1.5, 2): E, S
// and E S computed by hand in double precision.
struct HandWeight {
    unsigned x, y;
    double E, S, ES;
};
const HandWeight HAND[] = {{4, 0, 0.767079338, 0.367883011, 0.282195456},
                           {0, 4, 0.767079338, 0.17001137, 0.130412209},
                           {3, 12, 0.690334226, 0.538286885, 0.37159786},
                           {8, 8, 0.283272875, -0.007056045, -0.00199878616}};

TEST(WeightGenerator, SchemesGiveTheHandComputedWeightsAndOneAtZeroFrequency) {
    const int nxh = 9, ny = 16;
    const float dose = 3.0f;
    const float2 drift = make_float2(1.5f, 2.0f);
    for (int scheme = 0; scheme <= 3; ++scheme) {
        Image w((size_t)nxh * ny, -7.0f);
        gpu_2ds_fft_dose_dft_wgen(w.data(), nxh, ny, 1, 2.0f, &dose, &drift, params(scheme));
        EXPECT_EQ(w[0], 1.0f) << "scheme " << scheme;
        for (const HandWeight& h : HAND) {
            const double expected[] = {1.0, h.E, h.S, h.ES};
            EXPECT_NEAR(w[h.y * nxh + h.x], expected[scheme], 2e-6) << "scheme " << scheme << " at " << h.x << "," << h.y;
        }
    }
}

TEST(WeightGenerator, DoseWeightFallsWithDoseAndFrequency) {
    const int nxh = 17, ny = 32, n = 4;
    const float dose[n] = {1, 2, 4, 8};
    const float2 drift[n] = {};
    Image w((size_t)n * nxh * ny);
    gpu_2ds_fft_dose_dft_wgen(w.data(), nxh, ny, n, 1.3f, dose, drift, params(1));
    for (int j = 0; j < n; ++j) {
        const float* f = w.data() + (size_t)j * nxh * ny;
        EXPECT_EQ(f[0], 1.0f);
        for (int x = 1; x < nxh; ++x) EXPECT_LT(f[x], f[x - 1]) << "frame " << j << " column " << x;
        if (j == 0) continue;
        for (int x = 1; x < nxh; ++x) EXPECT_LT(f[x], f[x - (size_t)nxh * ny]) << "frame " << j;
    }
}

TEST(WeightGenerator, UnknownSchemeLeavesWeightsBeyondZeroFrequency) {
    const int nxh = 5, ny = 4;
    const float dose = 2.0f;
    const float2 drift = make_float2(1, 1);
    Image w((size_t)nxh * ny, -7.0f);
    gpu_2ds_fft_dose_dft_wgen(w.data(), nxh, ny, 1, 1.0f, &dose, &drift, params(9));
    EXPECT_EQ(w[0], 1.0f);
    for (size_t i = 1; i < w.size(); ++i) EXPECT_EQ(w[i], -7.0f);
}

TEST(WeightGenerator, SwappedFormMovesWholeRowsByHalfTheHeight) {
    const float dose[2] = {1.0f, 5.0f};
    const float2 drift[2] = {make_float2(0.5f, 1.0f), make_float2(2.0f, -1.0f)};
    for (int ny : {8, 7, 5}) {
        const int nxh = 5, n = 2;
        const size_t nh = (size_t)nxh * ny;
        Image plain(n * nh), swapped(n * nh);
        gpu_2ds_fft_dose_dft_wgen(plain.data(), nxh, ny, n, 1.0f, dose, drift, params(3));
        gpu_2ds_fft_dose_dft_wgen_swap(swapped.data(), nxh, ny, n, 1.0f, dose, drift, params(3));
        for (int j = 0; j < n; ++j)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nxh; ++x)
                    EXPECT_EQ(swapped[j * nh + ((y + ny / 2) % ny) * nxh + x], plain[j * nh + y * nxh + x])
                        << "ny " << ny << " (" << x << ", " << y << ")";
    }
}

// ---- norm accumulation and one-frame sums ----

TEST(WeightNorm, AddsAbsoluteOrSquaredWeightsAndSetsOneAtZeroFrequency) {
    const int nxh = 9, ny = 16;
    const float dose = 3.0f;
    const float2 drift = make_float2(1.5f, 2.0f);
    for (int type : {1, 2, 5}) {
        float* d = to_device(Image((size_t)nxh * ny, 0.5f));
        hcuda_2d_fft_dose_dft_wadd(d, nxh, ny, dose, 2.0f, drift, params(3, type));
        hcuda_2d_fft_dose_dft_wadd(d, nxh, ny, dose, 2.0f, drift, params(3, type));
        const Image w = to_host(d, (size_t)nxh * ny);
        EXPECT_EQ(w[0], 1.0f);
        for (const HandWeight& h : HAND) {
            const double term = type == 1 ? std::fabs(h.ES) : type == 2 ? h.ES * h.ES : 0.0;
            EXPECT_NEAR(w[h.y * nxh + h.x], 0.5 + 2 * term, 4e-6) << "type " << type;
        }
        cudaFree(d);
    }
}

// Frame by frame with wsum_one, then divided by the norm: the weighted mean of
// the stack form when the CTF table is all ones.
TEST(WeightedSum, OneFrameAtATimeAddsUpToTheStackForm) {
    const int nxh = 9, ny = 8, n = 3;
    const size_t nh = (size_t)nxh * ny;
    const float dose[n] = {1, 2, 3};
    const float2 drift[n] = {make_float2(0.3f, 0.1f), make_float2(1, -1), make_float2(0, 2)};
    const Half in = frame_spectra(nxh, ny, n);
    const GPS_PARA p = params(3, 1);
    float2* d_sum = to_device(Half(nh, make_float2(0, 0)));
    float* d_norm = to_device(Image(nh, 0.0f));
    float2* d_in = to_device(in);
    for (int j = 0; j < n; ++j)
        hcuda_2d_fft_dose_dft_wgen_wsum_one(d_in + j * nh, d_sum, d_norm, nxh, ny, dose[j], 1.5f, drift[j], p);
    const Half sum = to_host(d_sum, nh);
    const Image norm = to_host(d_norm, nh);
    Half stacked(nh);
    const Image ones(nxh, 1.0f);
    quietly([&] { gpu_2ds_fft_dose_dft_ctf_wave(in.data(), stacked.data(), nxh, ny, n, 1.5f, dose, drift, ones.data(), p); });
    for (size_t i = 0; i < nh; ++i) {
        EXPECT_NEAR(sum[i].x / norm[i], stacked[i].x, 1e-5);
        EXPECT_NEAR(sum[i].y / norm[i], stacked[i].y, 1e-5);
    }
    cudaFree(d_sum), cudaFree(d_norm), cudaFree(d_in);
}

// ---- normalised weighted sums ----

Half ctf_wave_gpu(const Half& in, int nxh, int ny, int n, const float* dose, const float2* drift, const Image& ctfw,
                  GPS_PARA p) {
    Half out((size_t)nxh * ny);
    quietly([&] { gpu_2ds_fft_dose_dft_ctf_wave(in.data(), out.data(), nxh, ny, n, 1.2f, dose, drift, ctfw.data(), p); });
    return out;
}
Half ctf_wave_cpu(const Half& in, int nxh, int ny, int n, const float* dose, const float2* drift, const Image& ctfw,
                  GPS_PARA p) {
    Half out((size_t)nxh * ny);
    quietly([&] { cpu_2ds_fft_dose_dft_ctf_wave(in.data(), out.data(), nxh, ny, n, 1.2f, dose, drift, ctfw.data(), p); });
    return out;
}

TEST(WeightedSum, IdenticalFramesComeBackWithNonNegativeWeights) {
    const int nxh = 17, ny = 32, n = 5;
    const size_t nh = (size_t)nxh * ny;
    const Half one = frame_spectra(nxh, ny, 1);
    Half in;
    for (int j = 0; j < n; ++j) in.insert(in.end(), one.begin(), one.end());
    const float dose[n] = {1, 2, 3, 4, 5};
    const float2 drift[n] = {};
    const Image ones(nxh, 1.0f);
    for (int scheme : {0, 1}) {
        const Half gpu = ctf_wave_gpu(in, nxh, ny, n, dose, drift, ones, params(scheme));
        const Half cpu = ctf_wave_cpu(in, nxh, ny, n, dose, drift, ones, params(scheme));
        for (size_t i = 0; i < nh; ++i) {
            EXPECT_NEAR(gpu[i].x, one[i].x, 1e-5) << "scheme " << scheme;
            EXPECT_NEAR(gpu[i].y, one[i].y, 1e-5);
            EXPECT_NEAR(cpu[i].x, one[i].x, 1e-5);
            EXPECT_NEAR(cpu[i].y, one[i].y, 1e-5);
        }
    }
}

// Scheme 0 with norm type 1 is the frame sum over n + k; an unknown scheme
// counts as weight 1 and an unknown norm type as type 1, on the GPU and the twin.
TEST(WeightedSum, PlainMeanScaledByNOverNPlusK) {
    const int nxh = 5, ny = 4, n = 4;
    const size_t nh = (size_t)nxh * ny;
    const Half in = frame_spectra(nxh, ny, n);
    const float dose[n] = {1, 1, 1, 1};
    const float2 drift[n] = {make_float2(1, 2), make_float2(1, 2), make_float2(1, 2), make_float2(1, 2)};
    for (GPS_PARA p : {params(0, 1, 2.0f), params(9, 1, 2.0f), params(-1, 5, 2.0f)})
        for (const Half& out : {ctf_wave_gpu(in, nxh, ny, n, dose, drift, Image(nxh, 1.0f), p),
                                ctf_wave_cpu(in, nxh, ny, n, dose, drift, Image(nxh, 1.0f), p)})
            for (size_t i = 0; i < nh; ++i) {
                float2 s = make_float2(0, 0);
                for (int j = 0; j < n; ++j) s.x += in[j * nh + i].x, s.y += in[j * nh + i].y;
                EXPECT_NEAR(out[i].x, s.x / (n + 2.0f), 1e-6) << "scheme " << p.mw_skeme << " type " << p.wnorm_type;
                EXPECT_NEAR(out[i].y, s.y / (n + 2.0f), 1e-6);
            }
}

// With the table c[i] = i the interpolated weight is the radius itself, up to the last entry.
TEST(WeightedSum, CtfWeightIsInterpolatedAtTheRadiusAndHeldBeyondTheTable) {
    const int nxh = 5, ny = 16, n = 1;
    Image ctfw(nxh);
    for (int i = 0; i < nxh; ++i) ctfw[i] = (float)i;
    const Half in(nxh * ny, make_float2(1.0f, -2.0f));
    const float dose = 1.0f;
    const float2 drift = make_float2(0, 0);
    const Half out = ctf_wave_gpu(in, nxh, ny, n, &dose, &drift, ctfw, params(0));
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nxh; ++x) {
            const int ky = y < ny / 2 ? y : y - ny;
            const float r = std::min(std::sqrt((float)(x * x + ky * ky)), (float)(nxh - 1));
            EXPECT_NEAR(out[y * nxh + x].x, r, 1e-5) << x << "," << y;
            EXPECT_NEAR(out[y * nxh + x].y, -2 * r, 1e-5);
        }
    // Radius 2.5 falls halfway between entries 2 and 3.
    const float table[] = {0, 10, 20, 40, 80};
    EXPECT_FLOAT_EQ(ctf_radial_weight(table, 2, 0, 5, 16), 20.0f);
    EXPECT_NEAR(ctf_radial_weight(table, 2, 1, 5, 16), 20 + (std::sqrt(5.0f) - 2) * 20, 1e-4);
}

// A zero norm (no frame, or every weight 0 with k = 0) gives 0, not 0/0.
TEST(WeightedSum, ZeroNormGivesZeroNotNaN) {
    const int nxh = 9, ny = 8;
    const Image ones(nxh, 1.0f);
    const Half none;
    for (const Half& out : {ctf_wave_gpu(none, nxh, ny, 0, nullptr, nullptr, ones, params(1)),
                            ctf_wave_cpu(none, nxh, ny, 0, nullptr, nullptr, ones, params(1))})
        for (const float2& v : out) EXPECT_TRUE(v.x == 0.0f && v.y == 0.0f);
    // A dose so high that every weight but the zero-frequency one is 0.
    const int n = 2;
    const Half in = frame_spectra(nxh, ny, n);
    const float dose[n] = {1e30f, 1e30f};
    const float2 drift[n] = {};
    GPS_PARA p = params(1);
    p.Ne_b = 1.0f;
    const Half out = ctf_wave_gpu(in, nxh, ny, n, dose, drift, ones, p);
    EXPECT_NEAR(out[0].x, (in[0].x + in[nxh * ny].x) / 2, 1e-6);
    for (size_t i = 1; i < out.size(); ++i) EXPECT_TRUE(out[i].x == 0.0f && out[i].y == 0.0f) << i;
}

// The GPU form and the CPU twin agree for schemes 0, 2 and 3 with norm type 1
// and a flat CTF table; they part where the twin differs: the fixed dose weight
// of scheme 1, its norm always of type 1, and no CTF weight.
TEST(WeightedSum, GpuAndCpuTwinDifferExactlyWhereListed) {
    const int nxh = 17, ny = 16, n = 4;
    const size_t nh = (size_t)nxh * ny;
    const Half in = frame_spectra(nxh, ny, n);
    const float dose[n] = {0.5f, 1.5f, 3.0f, 6.0f};
    const float2 drift[n] = {make_float2(0.2f, 0.4f), make_float2(1, 0), make_float2(-0.5f, 1), make_float2(2, 2)};
    const Image ones(nxh, 1.0f);
    for (int scheme : {0, 2, 3}) {
        const Half g = ctf_wave_gpu(in, nxh, ny, n, dose, drift, ones, params(scheme, 1, 0.1f));
        const Half c = ctf_wave_cpu(in, nxh, ny, n, dose, drift, ones, params(scheme, 1, 0.1f));
        for (size_t i = 0; i < nh; ++i) EXPECT_TRUE(g[i].x == c[i].x && g[i].y == c[i].y) << "scheme " << scheme;
    }
    // Scheme 1: the twin uses exp(-D s^1.31489 / 1.35172).
    const Half g1 = ctf_wave_gpu(in, nxh, ny, n, dose, drift, ones, params(1));
    const Half c1 = ctf_wave_cpu(in, nxh, ny, n, dose, drift, ones, params(1));
    const size_t e = 3 * nxh + 5;
    float s, theta;
    hd_gps_element(5, 3, nxh, ny, 1.2f, s, theta);
    double sum = 0, norm = 0;
    for (int j = 0; j < n; ++j) {
        const double w = std::exp(-dose[j] * std::pow((double)s, 1.31489) / 1.35172);
        sum += w * in[j * nh + e].x, norm += w;
    }
    EXPECT_NEAR(c1[e].x, sum / norm, 1e-5);
    EXPECT_GT(std::fabs(g1[e].x - c1[e].x), 1e-4);
    // Norm type 2 on the GPU, always type 1 on the twin; a CTF table on the GPU only.
    const Half g2 = ctf_wave_gpu(in, nxh, ny, n, dose, drift, ones, params(0, 2));
    const Half c2 = ctf_wave_cpu(in, nxh, ny, n, dose, drift, ones, params(0, 2));
    const Half gc = ctf_wave_gpu(in, nxh, ny, n, dose, drift, Image(nxh, 3.0f), params(0));
    const Half cc = ctf_wave_cpu(in, nxh, ny, n, dose, drift, Image(nxh, 3.0f), params(0));
    for (size_t i = 0; i < nh; ++i) {
        EXPECT_NEAR(g2[i].x, c2[i].x * n / std::sqrt((float)n), 1e-5);
        EXPECT_NEAR(gc[i].x, 3 * cc[i].x, 1e-5);
    }
}

TEST(WeightedSum, CpuTwinEchoesItsSampleElements) {
    const int nxh = 201, ny = 2, n = 2;
    const Half in = frame_spectra(nxh, ny, n);
    const float dose[n] = {1, 2};
    const float2 drift[n] = {};
    const std::string out = quietly([&] {
        Half o(nxh * ny);
        cpu_2ds_fft_dose_dft_ctf_wave(in.data(), o.data(), nxh, ny, n, 1, dose, drift, nullptr, params(3));
    });
    EXPECT_NE(out.find("i0, j0 0 s "), std::string::npos);
    EXPECT_NE(out.find("i200, j0 200 s "), std::string::npos);
    EXPECT_NE(out.find("................................\nn 200 s "), std::string::npos);
    EXPECT_EQ(out.find("j1 "), std::string::npos);
}

TEST(WeightedSumAbc, AddsTheFrameFactorsToEveryElementOfItsImage) {
    const int nx = 3, ny = 2, n = 2;
    float* d = to_device(Image(nx * ny * n, 1.0f));
    float *P = to_device(Image{1, 2}), *Q = to_device(Image{10, 20}), *R = to_device(Image{100, 200});
    hcuda_2ds_weighted_sum_abc(d, nx, ny, n, 0.5f, 2.0f, -1.0f, P, Q, R);
    const Image out = to_host(d, nx * ny * n);
    for (int i = 0; i < nx * ny; ++i) {
        EXPECT_FLOAT_EQ(out[i], 1 + 0.5f + 20 - 100);
        EXPECT_FLOAT_EQ(out[nx * ny + i], 1 + 1 + 40 - 200);
    }
    cudaFree(d), cudaFree(P), cudaFree(Q), cudaFree(R);
}

// ---- echoes ----

TEST(Printers, EchoInputsAndParameters) {
    const float dose[] = {1.5f};
    const float2 drift[] = {make_float2(0.25f, -2)};
    const float ctfw[] = {1, 0.5f};
    EXPECT_EQ(quietly([&] { print_dose_drif_ctfw(dose, drift, 1, ctfw, 2); }),
              "       0 dose    1.500 dftX    0.250 dftY   -2.000 \nCTFw        0    1.000 \nCTFw        1    0.500 \n");
    EXPECT_EQ(quietly([] { printf_psp(GPS_PARA{1, 2, 3, 4, 5, 3, 2, 1}); }),
              "Ne_a=1.000000 Ne_b=2.000000 Da=3.000000 Db=4.000000 k=5.000000 mw_skeme=3  wnorm_type=2  device=1 \n");
}

// ---- text readers ----

struct Readers : testing::Test {
    TempDir dir;
    float dose[4] = {-1, -1, -1, -1};
    float2 drift[4] = {make_float2(-1, -1), make_float2(-1, -1), make_float2(-1, -1), make_float2(-1, -1)};
    bool untouched() const {
        for (int i = 0; i < 4; ++i)
            if (dose[i] != -1 || drift[i].x != -1 || drift[i].y != -1) return false;
        return true;
    }
};

TEST_F(Readers, DoseFileWithCommentAndShortLinesIsReadWithoutWarning) {
    const std::string f = write_text(dir, "dose.txt",
                                    "# frame dose dx dy\n0 1.0 0.1 0.2\n# smoothed drift\n\n1;2.0;-0.5;0.5\n"
                                    "frame two follows here ok\n2: 3.5, 1e-1, 2\n7 8\n3 4 5 6\n");
    int status = 0;
    const std::string out = quietly([&] { status = get_dose_smoothed_drift_from_txt(dose, drift, 4, f.c_str()); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.find("Warning"), std::string::npos) << out;
    EXPECT_EQ(dose[2], 3.5f);
    EXPECT_FLOAT_EQ(drift[2].x, 0.1f);
    EXPECT_EQ(drift[1].x, -0.5f);
    EXPECT_EQ(dose[3], 4.0f);
    EXPECT_EQ(drift[3].y, 6.0f);
}

TEST_F(Readers, DoseFileWarningsAndRefusals) {
    struct Case {
        const char* text;
        const char* warning;
        int kept;  // entries stored
    } cases[] = {
        {"1 1 0 0\n2 1 0 0\n3 1 0 0\n", "Can not get dose/drift parameters", 0},
        {"0 1 0 0\n1 1 0 0\n", "Can not get lines from dose/drift log file", 2},
        {"0 1 0 0\n1 one 0 0\n2 1 0 0\n", "is not a number: nothing read", 0},
        {"0 1 0 0\n1 1 nan 0\n2 1 0 0\n", "is not a number: nothing read", 0},
    };
    for (const Case& c : cases) {
        const std::string f = write_text(dir, "dose.txt", c.text);
        std::fill(dose, dose + 4, -1.0f);
        int status = 0;
        const std::string out = quietly([&] { status = get_dose_smoothed_drift_from_txt(dose, drift, 3, f.c_str()); });
        EXPECT_EQ(status, -1) << c.text;
        EXPECT_NE(out.find(c.warning), std::string::npos) << out;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(dose[i] != -1, i < c.kept) << c.text << " entry " << i;
    }
}

TEST_F(Readers, DriftFileSkipsBrokenLinesWithAWarningNamingFileAndLine) {
    const std::string f = write_text(dir, "drift.txt", "0 0.5 1\n\nheader words\n9 1\n1 2 3\n2 -1 -2\n");
    int status = 0;
    const std::string out = quietly([&] { status = get_drift_from_txt(drift, 3, f.c_str()); });
    EXPECT_EQ(status, 0);
    for (int line : {2, 3, 4})
        EXPECT_NE(out.find("line " + std::to_string(line) + " of file " + f), std::string::npos) << out;
    EXPECT_NE(out.find("....i = 1, str_line_split[0]= 1  1 2 3 \n..ffffff.. 1 1 2 3 \n"), std::string::npos) << out;
    EXPECT_EQ(drift[2].x, -1.0f);
    EXPECT_EQ(drift[2].y, -2.0f);
    EXPECT_EQ(drift[0].x, 0.5f);
}

TEST_F(Readers, DriftFileWithAFrameMissingItsValuesIsRefusedWholly) {
    for (const char* text : {"0 0.5 1\n1 2\n2 -1 -2\n", "0 0.5 1\n1 2 x\n2 -1 -2\n"}) {
        const std::string f = write_text(dir, "drift.txt", text);
        int status = 0;
        const std::string out = quietly([&] { status = get_drift_from_txt(drift, 3, f.c_str()); });
        EXPECT_EQ(status, -1) << text;
        EXPECT_NE(out.find("on line 2 of file " + f), std::string::npos) << out;
        EXPECT_TRUE(untouched()) << text;
    }
    const std::string f = write_text(dir, "drift.txt", "0 0.5 1\n2 2 2\n");
    EXPECT_NE(quietly([&] { EXPECT_EQ(get_drift_from_txt(drift, 3, f.c_str()), -1); })
                  .find("Can not get drift parameters from log file"),
              std::string::npos);
}

TEST_F(Readers, CtfTableShortOfEntriesKeepsWhatItReadAndZeroesTheRest) {
    std::string text = "0 0.0\n";  // too few words: warned and passed over
    for (int i = 0; i < 10; ++i) text += std::to_string(i) + " " + std::to_string(0.01 * i) + " " + std::to_string(1.0 - 0.05 * i) + "\n";
    const std::string f = write_text(dir, "ctfw.txt", text);
    std::vector<float> w(20, 9.0f);
    int status = 0;
    const std::string out = quietly([&] { status = get_ctfw_from_txt(w.data(), 20, f.c_str()); });
    EXPECT_EQ(status, -1);
    EXPECT_NE(out.find("CTFw text line format error!!"), std::string::npos);
    EXPECT_NE(out.find("Can not get lines from CTF_W log file"), std::string::npos);
    for (int i = 0; i < 20; ++i) EXPECT_FLOAT_EQ(w[i], i < 10 ? 1.0f - 0.05f * i : 0.0f) << i;
}

// The three readers on one footing: the numbers of n entries, flattened (dose:
// dose, drift x, drift y; drift: x, y; CTF weight: the weight), from the file
// name; what they hold when nothing was stored; the words of an entry line.
struct TextReader {
    const char* name;
    int words;
    float untouched;
    int (*read)(std::vector<float>& v, int n, const char* file);
};
const TextReader text_readers[] = {
    {"dose", 4, -1.0f,
     [](std::vector<float>& v, int n, const char* file) {
         std::vector<float> dose(n, -1.0f);
         std::vector<float2> drift(n, make_float2(-1.0f, -1.0f));
         const int status = get_dose_smoothed_drift_from_txt(dose.data(), drift.data(), n, file);
         v.clear();
         for (int i = 0; i < n; ++i) v.insert(v.end(), {dose[i], drift[i].x, drift[i].y});
         return status;
     }},
    {"drift", 3, -1.0f,
     [](std::vector<float>& v, int n, const char* file) {
         std::vector<float2> drift(n, make_float2(-1.0f, -1.0f));
         const int status = get_drift_from_txt(drift.data(), n, file);
         v.clear();
         for (int i = 0; i < n; ++i) v.insert(v.end(), {drift[i].x, drift[i].y});
         return status;
     }},
    {"CTF weight", 3, 0.0f,
     [](std::vector<float>& v, int n, const char* file) {
         v.assign(n, -1.0f);
         return get_ctfw_from_txt(v.data(), n, file);
     }},
};

// Lines are read whole, whatever their length or bytes; a file that cannot be
// read (a directory, a read error) is refused with a warning, never taken for
// one that ends early, and stores nothing.
TEST_F(Readers, WholeLinesAndUnreadableFiles) {
    // Entry i: its index, words of 1, and 10 + i last; the first line's last
    // value stands across character 1023, where a line once was cut.
    const auto entry = [](const TextReader& r, int i, const std::string& pad) {
        std::string line = std::to_string(i);
        for (int k = 2; k < r.words; ++k) line += " 1";
        return line + pad + " " + std::to_string(i == 0 ? 50000 : 10 + i) + "\n";
    };
    const std::string pad_to_the_cut(1020 - 4, ' '), nul_tail("\0 9 9 9", 8);
    const std::string dir_path = dir.path, read_error = "/proc/self/mem";
    struct Case {
        const char* what;
        bool whole;        // the file reads whole, else it cannot be read
        std::string pad0;  // after the words of entry 0 but the last
        std::string tail0; // after entry 0's values, before its newline
        const std::string* path;  // a file that cannot be read instead
    } cases[] = {
        {"long line", true, pad_to_the_cut, "", nullptr},
        {"NUL byte", true, "", nul_tail, nullptr},
        {"directory", false, "", "", &dir_path},
        {"read error", false, "", "", &read_error},
    };
    for (const TextReader& r : text_readers)
        for (const Case& c : cases) {
            std::string text = entry(r, 0, c.pad0);
            text.insert(text.size() - 1, c.tail0);
            for (int i = 1; i < 3; ++i) text += entry(r, i, "");
            const std::string f = c.path ? *c.path : write_text(dir, "table.txt", text);
            std::vector<float> v;
            int status = 1;
            const std::string out = quietly([&] { status = r.read(v, 3, f.c_str()); });
            const int values = (int)v.size() / 3;
            if (c.whole) {
                EXPECT_EQ(status, 0) << r.name << ", " << c.what;
                EXPECT_EQ(out.find("Warning"), std::string::npos) << r.name << ", " << c.what << ": " << out;
                for (int i = 0; i < 3; ++i)
                    for (int k = 0; k < values; ++k)
                        EXPECT_EQ(v[i * values + k], k + 1 < values ? 1.0f : i == 0 ? 50000.0f : 10.0f + i)
                            << r.name << ", " << c.what << ": entry " << i << " value " << k;
            } else {
                EXPECT_EQ(status, -1) << r.name << ", " << c.what;
                EXPECT_NE(out.find("file " + f + " cannot be read after line 0"), std::string::npos)
                    << r.name << ", " << c.what << ": " << out;
                EXPECT_EQ(v, std::vector<float>(v.size(), r.untouched)) << r.name << ", " << c.what;
            }
        }
}

TEST_F(Readers, TooFewFramesAndMissingFilesEndTheProcess) {
    const std::string f = write_text(dir, "dose.txt", "0 1 0 0\n");
    EXPECT_EXIT((STDOUT_TO_STDERR(), get_dose_smoothed_drift_from_txt(dose, drift, 2, f.c_str())),
                testing::ExitedWithCode(1), "Critical ERROR! Too few Movie frames!");
    EXPECT_EXIT((STDOUT_TO_STDERR(), get_drift_from_txt(drift, 2, f.c_str())), testing::ExitedWithCode(1),
                "Too few Movie frames");
    EXPECT_EXIT((STDOUT_TO_STDERR(), get_ctfw_from_txt(dose, 3, dir.file("none.txt").c_str())),
                testing::ExitedWithCode(1), "Cannot open file .*none.txt. Permission denied or wrong file name.");
}

// ---- the driver ----

struct Driver : testing::Test {
    TempDir dir;
    int nx = 32, ny = 32, t = 5, P = 3;
    std::string movie;
    std::vector<char*> movies;
    MRC_HEAD head;
    std::vector<float> dose, ctfw;
    std::vector<float2> drift;
    GWAVE_PARA para{};
    char suffix1[16] = "_s1.txt";

    void SetUp() override {
        movie = dir.file("movie.mrc");
        movies = {(char*)movie.c_str(), nullptr};
        dose = {1, 2, 3, 4, 5};
        drift = {make_float2(0.1f, 0.2f), make_float2(0.3f, 0), make_float2(0, -0.4f), make_float2(0.5f, 0.5f),
                 make_float2(-0.2f, 0.1f)};
        ctfw.assign(nx / 2 + 1, 1.0f);
        para.apix = 1.5f;
        para.first = 0;
        para.last = 99;
        para.gps = GPS_PARA{1.0f, 1.2f, 1.0f, 0.5f, 0.0f, 1, 1, 2};
        para.suffix1 = suffix1;
        para.movies = movies.data();
        para.head = &head;
        para.dose = dose.data();
        para.drift = drift.data();
        para.ctfw = ctfw.data();
        write_movie(t);
    }
    void write_movie(int frames) {
        std::vector<float> m((size_t)nx * ny * frames, 0.0f);
        mrcf_write_xyz_data(movie.c_str(), m.data(), nx, ny, frames);
        ASSERT_EQ(gwave_set_current_parameters(para, 0), 0);
    }
    // Particle p, frame j: a smooth pattern; identical frames when same is set.
    std::vector<float> particle_stack(bool same) const {
        std::vector<float> s((size_t)P * t * nx * ny);
        for (int p = 0; p < P; ++p)
            for (int j = 0; j < t; ++j)
                for (int i = 0; i < nx * ny; ++i)
                    s[((size_t)p * t + j) * nx * ny + i] =
                        std::sin(0.05f * i * (p + 1) + (same ? 0 : 0.3f * j)) + 0.1f * (float)(i % 7);
        return s;
    }
    void write_stack(const std::vector<float>& s, int images) {
        mrcf_write_xyz_data(para.ptcl_name, s.data(), nx, ny, images);
    }
    std::vector<float> run(int mode) {
        para.gps.device = mode;
        int status = -1;
        quietly([&] { status = mrcsf_dose_drift_ctf_wave_many(para); });
        EXPECT_EQ(status, 0);
        MRC_HEAD h;
        mrcf_read_head(para.out_name, &h);
        EXPECT_EQ(h.nz, P);
        EXPECT_EQ(h.mode, 2);
        float* d = mrcf_get_data_all(para.out_name);
        std::vector<float> out(d, d + (size_t)P * nx * ny);
        std::free(d);
        return out;
    }
};

TEST_F(Driver, SetterDerivesTheNamesFromTheMovie) {
    EXPECT_EQ(std::string(para.out_name), dir.file("movie_wave.mrc"));
    EXPECT_EQ(std::string(para.ptcl_name), dir.file("movie_particles.mrcs"));
    EXPECT_EQ(std::string(para.name1), dir.file("movie_s1.txt"));
    EXPECT_EQ(para.name2[0], '\0');
    EXPECT_EQ(head.nz, t);
    EXPECT_EQ(gwave_check_first_parameters(para), 0);
    EXPECT_NE(quietly([&] { EXPECT_EQ(gwave_set_current_parameters(para, 1), -1); }).find("Warning"),
              std::string::npos);
}

TEST_F(Driver, IdenticalFramesComeBackInEveryWeightingMode) {
    const std::vector<float> s = particle_stack(true);
    write_stack(s, P * t);
    for (int mode : {1, 2, 3}) {
        const std::vector<float> out = run(mode);
        for (int p = 0; p < P; ++p)
            for (int i = 0; i < nx * ny; ++i)
                ASSERT_NEAR(out[(size_t)p * nx * ny + i], s[(size_t)p * t * nx * ny + i], 2e-5) << "mode " << mode;
    }
}

TEST_F(Driver, PlainMeanOverTheFramesUsed) {
    const std::vector<float> s = particle_stack(false);
    write_stack(s, P * t);
    for (auto range : {std::pair<int, int>{-5, 99}, {1, 2}, {3, 3}}) {
        para.first = range.first, para.last = range.second;
        const int first = std::max(range.first, 0), last = std::min(range.second, t - 1);
        const std::vector<float> out = run(3);
        for (int p = 0; p < P; ++p)
            for (int i = 0; i < nx * ny; ++i) {
                double m = 0;
                for (int j = first; j <= last; ++j) m += s[((size_t)p * t + j) * nx * ny + i];
                ASSERT_NEAR(out[(size_t)p * nx * ny + i], m / (last - first + 1), 2e-5) << first << ".." << last;
            }
    }
}

// The driver weights from a table made once per movie; particle by particle it
// must give what the host-array forms give.
TEST_F(Driver, GpuModeMatchesTheHostArrayFormsParticleByParticle) {
    const std::vector<float> s = particle_stack(false);
    write_stack(s, P * t);
    for (int i = 0; i < nx / 2 + 1; ++i) ctfw[i] = 1.0f - 0.03f * i;
    para.first = 1, para.last = 3;
    para.gps.mw_skeme = 3;
    const std::vector<float> out = run(2);
    const int n = 3, nxh = nx / 2 + 1;
    Half spectra((size_t)n * nxh * ny), one((size_t)nxh * ny);
    std::vector<float> image((size_t)nx * ny);
    for (int p = 0; p < P; ++p) {
        quietly([&] {
            gpu_2ds_fft_r2c(s.data() + ((size_t)p * t + 1) * nx * ny, spectra.data(), nx, ny, n);
            gpu_2ds_fft_dose_dft_ctf_wave(spectra.data(), one.data(), nxh, ny, n, para.apix, para.dose + 1,
                                          para.drift + 1, para.ctfw, para.gps);
        });
        gpu_2d_fft_c2r(one.data(), image.data(), nx, ny);
        for (int i = 0; i < nx * ny; ++i) ASSERT_NEAR(out[(size_t)p * nx * ny + i], image[i], 1e-5) << p;
    }
}

TEST_F(Driver, WeightStackModeWritesTheSwappedWeightsOfTheFramesUsed) {
    write_stack(particle_stack(false), P * t);
    para.first = 1, para.last = 3;
    para.gps.device = 4;
    const std::string here = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    int status = -1;
    quietly([&] { status = mrcsf_dose_drift_ctf_wave_many(para); });
    EXPECT_EQ(status, 0);
    MRC_HEAD h;
    mrcf_read_head("Weights3D.mrcs", &h);
    const int nxh = nx / 2 + 1, n = 3;
    EXPECT_EQ(h.nx, nxh);
    EXPECT_EQ(h.ny, ny);
    EXPECT_EQ(h.nz, n);
    float* w = mrcf_get_data_all("Weights3D.mrcs");
    std::vector<float> expected((size_t)n * nxh * ny);
    gpu_2ds_fft_dose_dft_wgen_swap(expected.data(), nxh, ny, n, para.apix, para.dose + 1, para.drift + 1, para.gps);
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(w[i], expected[i]) << i;
    std::free(w);
    EXPECT_FALSE(std::filesystem::exists(para.out_name));
    ASSERT_EQ(chdir(here.c_str()), 0);
}

TEST_F(Driver, NoFrameToUseOrUnknownModeIsRefusedAndWritesNothing) {
    write_stack(particle_stack(false), P * t);
    para.first = 3, para.last = 2;
    para.gps.device = 2;
    EXPECT_NE(quietly([&] { EXPECT_EQ(mrcsf_dose_drift_ctf_wave_many(para), -1); }).find("no frame to use"),
              std::string::npos);
    para.first = 0, para.last = 4;
    para.gps.device = 7;
    EXPECT_NE(quietly([&] { EXPECT_EQ(mrcsf_dose_drift_ctf_wave_many(para), -1); }).find("none of 1-4"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(para.out_name));
}

TEST_F(Driver, FrameCountThatDoesNotDivideTheStackOrIsZeroEndsTheProcess) {
    write_stack(particle_stack(false), P * t - 1);
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcsf_dose_drift_ctf_wave_many(para)), testing::ExitedWithCode(1),
                "Movie frame number not divided by ! ! Exit now!");
    head.nz = 0;
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcsf_dose_drift_ctf_wave_many(para)), testing::ExitedWithCode(1),
                "has 0 frames");
}

// A particle stack whose header cannot size it is refused in every mode before
// anything is sized by it (the weight-stack mode once asked for the memory a
// negative or huge header describes): -1, a warning naming the stack, nothing
// written.
TEST_F(Driver, StackWhoseHeaderCannotSizeItIsRefusedInEveryMode) {
    const long data = (long)P * t * nx * ny * sizeof(float);
    struct Case {
        const char* what;
        int sx, sy, sz;
        long data_bytes;   // after the header
        long head_bytes;   // of the header written
        int mode = MRC_MODE_FLOAT;
        const char* says = "";
    } cases[] = {
        {"negative width", -nx, ny, P * t, data, 1024},
        {"negative image count", nx, ny, -P * t, data, 1024},
        {"zero height", nx, 0, P * t, 0, 1024},
        {"sizes whose product overflows", INT_MAX, INT_MAX, P * t, data, 1024},
        {"huge sizes", 1 << 16, 1 << 16, P * t, data, 1024},
        {"data short of the header", nx, ny, P * t, data - 4, 1024},
        {"header cut short", nx, ny, P * t, 0, 100},
        {"float16 data, complete", nx, ny, P * t, data / 2, 1024, 12, "cannot be read: mode 12 is not supported"},
        {"mode 101", nx, ny, P * t, data, 1024, 101, "cannot be read: mode 101 is not supported"},
    };
    const std::string here = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    for (const Case& c : cases) {
        MRC_HEAD h;
        mrc_init_head(&h);
        mrc_set_head_xyz_mode(&h, c.sx, c.sy, c.sz, c.mode);
        FILE* f = std::fopen(para.ptcl_name, "wb");
        std::fwrite(&h, 1, c.head_bytes, f);
        for (long k = 0; k < c.data_bytes; ++k) std::fputc(0, f);
        std::fclose(f);
        for (int mode : {1, 2, 3, 4}) {
            para.gps.device = mode;
            int status = 0;
            const std::string out = quietly([&] { status = mrcsf_dose_drift_ctf_wave_many(para); });
            EXPECT_EQ(status, -1) << c.what << ", mode " << mode;
            EXPECT_NE(out.find(std::string(":particle stack ") + para.ptcl_name), std::string::npos)
                << c.what << ", mode " << mode << ": " << out;
            EXPECT_NE(out.find(c.says), std::string::npos) << c.what << ", mode " << mode << ": " << out;
            EXPECT_FALSE(std::filesystem::exists(para.out_name)) << c.what << ", mode " << mode;
            EXPECT_FALSE(std::filesystem::exists("Weights3D.mrcs")) << c.what << ", mode " << mode;
        }
    }
    ASSERT_EQ(chdir(here.c_str()), 0);
}

// An output that is one of the inputs, by name, symbolic link or hard link
// (pipelines link their inputs), is refused before anything is read: -1, a
// warning, every input byte unchanged and no output made.
TEST_F(Driver, OutputThatIsAnInputIsRefusedAndLeavesTheInputs) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        int mode;
        bool weights;        // the output is the weight stack, not the output stack
        const char* target;  // "movie" or "stack"
        bool hard;
        bool by_name;        // the output name set to the input's own name
    } cases[] = {
        {"output stack a symbolic link to the particle stack", 2, false, "stack", false, false},
        {"output stack a hard link to the movie", 3, false, "movie", true, false},
        {"weight stack a symbolic link to the particle stack", 4, true, "stack", false, false},
        {"output stack named as the particle stack", 1, false, "stack", false, true},
    };
    const std::string here = fs::current_path();
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    const std::string derived_out = para.out_name;
    for (const Case& c : cases) {
        write_stack(particle_stack(false), P * t);
        std::strcpy(para.out_name, derived_out.c_str());
        const std::string input = std::string(c.target) == "movie" ? movie : std::string(para.ptcl_name);
        const std::string out = c.weights ? dir.file("Weights3D.mrcs") : derived_out;
        if (c.by_name) std::strcpy(para.out_name, input.c_str());
        else if (c.hard) fs::create_hard_link(input, out);
        else fs::create_symlink(input, out);
        const std::string movie_bytes = read_bytes(movie), stack_bytes = read_bytes(para.ptcl_name);
        para.gps.device = c.mode;
        int status = 0;
        const std::string said = quietly([&] { status = mrcsf_dose_drift_ctf_wave_many(para); });
        EXPECT_EQ(status, -1) << c.what;
        EXPECT_NE(said.find("is the input file"), std::string::npos) << c.what << ": " << said;
        EXPECT_EQ(read_bytes(movie), movie_bytes) << c.what;
        EXPECT_EQ(read_bytes(para.ptcl_name), stack_bytes) << c.what;
        std::error_code ec;
        if (!c.by_name) fs::remove(out, ec);
        EXPECT_FALSE(fs::exists(derived_out)) << c.what;
        EXPECT_FALSE(fs::exists(dir.file("Weights3D.mrcs"))) << c.what;
    }
    std::strcpy(para.out_name, derived_out.c_str());
    ASSERT_EQ(chdir(here.c_str()), 0);
}

// In a job of two movies, an output of movie 0 that is (by name, symbolic or
// hard link) movie 1, movie 1's particle stack or movie 1's output, or two
// movies whose outputs are one name, is refused at movie 0 before anything is
// written: -1, a warning naming both files, every input byte unchanged and no
// output made. A movie listed twice is one movie, weighted again.
TEST_F(Driver, OutputThatIsAnotherMoviesFileIsRefusedForTheWholeJob) {
    namespace fs = std::filesystem;
    const std::string here = fs::current_path();
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    const std::string second = dir.file("second.mrc"), second_stack = dir.file("second_particles.mrcs"),
                      second_out = dir.file("second_wave.mrc"), twin = dir.file("movie.mrcs"), own_out = para.out_name;
    std::vector<float> frames((size_t)nx * ny * t, 0.0f);
    for (const std::string& m : {second, twin}) mrcf_write_xyz_data(m.c_str(), frames.data(), nx, ny, t);
    write_stack(particle_stack(false), P * t);
    mrcf_write_xyz_data(second_stack.c_str(), particle_stack(true).data(), nx, ny, P * t);
    const std::vector<std::string> inputs = {movie, para.ptcl_name, second, second_stack, twin};
    struct Case {
        const char* what;
        int mode;
        std::string out;     // the output of movie 0, made a link to target unless it is the target
        std::string target;  // the file it is
        bool hard;
        std::string says;
        std::vector<std::string> list = {};  // the job's movies besides movie 0, when not the second movie
    };
    const Case cases[] = {
        {"output stack a symbolic link to movie 1", 1, own_out, second, false,
         "Output file " + own_out + " is the input file " + second + "!"},
        {"output stack a hard link to movie 1's particle stack", 3, own_out, second_stack, true,
         "Output file " + own_out + " is the input file " + second_stack + "!"},
        {"output stack named as movie 1's particle stack", 2, second_stack, second_stack, false,
         "Output file " + second_stack + " is the input file " + second_stack + "!"},
        {"weight stack a symbolic link to movie 1's particle stack", 4, "Weights3D.mrcs", second_stack, false,
         "Output file Weights3D.mrcs is the input file " + second_stack + "!"},
        {"output stack a symbolic link to movie 1's output", 3, own_out, second_out, false,
         "Output files " + own_out + " and " + second_out + " are one file!"},
        {"two movies of one output name", 3, own_out, own_out, false,
         "Output files " + own_out + " and " + own_out + " are one file!", {twin}},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> others = c.list.empty() ? std::vector<std::string>{second} : c.list;
        std::vector<char*> job = {(char*)movie.c_str()};
        for (const std::string& m : others) job.push_back((char*)m.c_str());
        job.push_back(nullptr);
        para.movies = job.data();
        ASSERT_EQ(gwave_set_current_parameters(para, 0), 0);
        if (c.out == c.target) std::strcpy(para.out_name, c.out.c_str());
        else if (c.hard) fs::create_hard_link(c.target, c.out);
        else fs::create_symlink(c.target, c.out);
        std::vector<std::string> before;
        for (const std::string& in : inputs) before.push_back(read_bytes(in));
        para.gps.device = c.mode;
        int status = 0;
        const std::string said = quietly([&] { status = mrcsf_dose_drift_ctf_wave_many(para); });
        EXPECT_EQ(status, -1) << c.what;
        EXPECT_NE(said.find(c.says), std::string::npos) << c.what << ": " << said;
        for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(read_bytes(inputs[i]), before[i]) << c.what << ": " << inputs[i];
        std::error_code ec;
        if (c.out != c.target) fs::remove(c.out, ec);
        for (const std::string& out : {own_out, second_out, dir.file("Weights3D.mrcs")}) EXPECT_FALSE(fs::exists(out)) << c.what << ": " << out;
    }
    // Movie 0 listed again, and movie 1: both weighted, each into its own output.
    std::vector<char*> job = {(char*)movie.c_str(), (char*)movie.c_str(), (char*)second.c_str(), nullptr};
    para.movies = job.data();
    for (int index : {0, 2}) {
        ASSERT_EQ(gwave_set_current_parameters(para, index), 0);
        run(3);
    }
    EXPECT_TRUE(fs::exists(own_out) && fs::exists(second_out));
    para.movies = movies.data();
    ASSERT_EQ(chdir(here.c_str()), 0);
}

TEST_F(Driver, StackOfIntegersGivesAFloatOutput) {
    std::vector<float> s = particle_stack(true);
    for (float& v : s) v = std::round(100 * v);
    MRC_HEAD h;
    mrc_init_head(&h);
    mrc_set_head_xyz_mode(&h, nx, ny, P * t, MRC_MODE_SHORT);
    std::vector<int16_t> shorts(s.begin(), s.end());
    FILE* f = std::fopen(para.ptcl_name, "wb");
    std::fwrite(&h, sizeof(h), 1, f);
    std::fwrite(shorts.data(), sizeof(int16_t), shorts.size(), f);
    std::fclose(f);
    const std::vector<float> out = run(3);
    for (int i = 0; i < nx * ny; ++i) ASSERT_NEAR(out[i], s[i], 1e-3);
}

TEST_F(Driver, NonSquareFirstMovieEndsTheProcess) {
    std::vector<float> m((size_t)nx * (ny + 2));
    mrcf_write_xyz_data(movie.c_str(), m.data(), nx, ny + 2, 1);
    EXPECT_EXIT((STDOUT_TO_STDERR(), gwave_check_first_parameters(para)), testing::ExitedWithCode(1),
                "MRC file must be square! Clip your micrographs if they are not square.");
}

}  // namespace
