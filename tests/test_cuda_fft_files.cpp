// Library spectrum forms (grid and frame sums, per-frame log spectra, the
// host-stack converter, CPU weights) against direct DFTs, and the whole-file
// spectrum commands: data, headers, an independent strict reader and refusals.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <vector>

#define VORN_UNIT "tests/cuda_fft_files"
#include "cuda_fft.h"
#include "math_utils.h"
#include "mrcfile.h"
#include "device_arrays_fixture.h"

namespace {

using Image = std::vector<float>;

std::string read_bytes(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}
using cd = std::complex<double>;

Image pattern(unsigned nx, unsigned ny, unsigned frames, double seed) {
    Image a((size_t)nx * ny * frames);
    uint32_t s = 777u + (uint32_t)(seed * 100);
    for (size_t i = 0; i < a.size(); ++i) {
        s = s * 1664525u + 1013904223u;
        a[i] = (float)(1.5 + std::sin(0.37 * i + seed) + 0.5 * (s >> 8) / 16777216.0);
    }
    return a;
}

// Direct DFT of frame k at (kx, ky), exp(-2 pi i k.x / N).
cd dft(const Image& s, unsigned nx, unsigned ny, unsigned k, int kx, int ky) {
    cd sum = 0;
    const float* f = s.data() + (size_t)k * nx * ny;
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x)
            sum += (double)f[(size_t)y * nx + x] * std::polar(1.0, -2 * M_PI * ((double)kx * x / nx + (double)ky * y / ny));
    return sum;
}
// A y-centred half array of (nx/2 + 1) x ny from value(kx, ky).
Image centred_half(unsigned nx, unsigned ny, const std::function<double(int, int)>& value) {
    const unsigned nxh = nx / 2 + 1;
    Image h((size_t)nxh * ny);
    for (unsigned r = 0; r < ny; ++r)
        for (unsigned c = 0; c < nxh; ++c) h[(size_t)r * nxh + c] = (float)value((int)c, (int)r - (int)ny / 2);
    return h;
}
// The full amplitude layout: column c holds kx = c - (nx/2 - 1), row r ky = r - ny/2.
Image full_layout(unsigned nx, unsigned ny, const std::function<double(int, int)>& value) {
    Image f((size_t)nx * ny);
    for (unsigned r = 0; r < ny; ++r)
        for (unsigned c = 0; c < nx; ++c) f[(size_t)r * nx + c] = (float)value((int)c - (int)(nx / 2 - 1), (int)r - (int)ny / 2);
    return f;
}
// Mean over [x - g/2, x + g/2) x [y - g/2, y + g/2) clipped to the array.
Image box_average(const Image& a, int w, int h, int g) {
    Image out(a.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double s = 0;
            int n = 0;
            for (int r = std::max(0, y - g / 2); r < std::min(h, y + g / 2); ++r)
                for (int c = std::max(0, x - g / 2); c < std::min(w, x + g / 2); ++c) s += a[(size_t)r * w + c], ++n;
            out[(size_t)y * w + x] = (float)(s / n);
        }
    return out;
}
void expect_close(const Image& got, const Image& want, double tol, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < want.size(); ++i) {
        if (std::isinf(want[i])) {
            ASSERT_EQ(got[i], want[i]) << what << " i = " << i;
            continue;
        }
        ASSERT_NEAR(got[i], want[i], tol * (1 + std::fabs(want[i]))) << what << " i = " << i;
    }
}

// ---------------- frame and grid sums ----------------

TEST(FrameSums, PlainLogRootAndWeightedAgainstDirectDft) {
    const unsigned nx = 10, ny = 6, n = 3;
    const Image stack = pattern(nx, ny, n, 0.3);
    const float W[n] = {0.5f, 2.0f, 1.25f};
    const size_t nh = (nx / 2 + 1) * ny;
    auto sum_of = [&](const float* w) {
        return centred_half(nx, ny, [&](int kx, int ky) {
            double s = 0;
            for (unsigned k = 0; k < n; ++k) s += (w ? w[k] : 1.0) * std::abs(dft(stack, nx, ny, k, kx, ky));
            return s;
        });
    };
    const Image plain = sum_of(nullptr), weighted = sum_of(W);
    float* d = to_device(stack);
    float* A = device_array(nh);
    const struct {
        const char* name;
        std::function<void()> run;
        Image want;
    } cases[] = {
        {"ave", [&] { hcuda_2ds_fft_r2c_amp_ave(d, A, nx, ny, n); }, plain},
        {"ave_log", [&] { hcuda_2ds_fft_r2c_amp_ave_log(d, A, nx, ny, n); }, [&] { Image v = plain; for (float& x : v) x = std::log(x); return v; }()},
        {"ave_sqrt", [&] { hcuda_2ds_fft_r2c_amp_ave_sqrt(d, A, nx, ny, n); }, [&] { Image v = plain; for (float& x : v) x = std::sqrt(x); return v; }()},
        {"weighted", [&] { hcuda_2ds_fft_r2c_amp_weighted_ave(d, A, nx, ny, n, W); }, weighted},
        {"weighted_log", [&] { hcuda_2ds_fft_r2c_amp_weighted_ave_log(d, A, nx, ny, n, W); }, [&] { Image v = weighted; for (float& x : v) x = std::log(x); return v; }()},
    };
    for (const auto& c : cases) {
        c.run();
        expect_close(to_host(A, nh), c.want, 2e-5, c.name);
    }
    cudaFree(d), cudaFree(A);
}

TEST(GridSums, Subbg2KeepsTheLogarithmBesideTheSubtractedCopy) {
    const unsigned nx = 40, ny = 36, bx = 16, by = 12;
    const int step = 10, g = 4;
    const size_t nh = (bx / 2 + 1) * by;
    float* image = to_device(pattern(nx, ny, 1, 1.1));
    float *S = device_array(nh), *L = device_array(nh), *A = device_array(nh), *S1 = device_array(nh);
    hcuda_2d_gridfft_r2c_amp_ave_log_subbg2(image, S, L, nx, ny, bx, by, step, g);
    hcuda_2d_gridfft_r2c_amp_ave(image, A, nx, ny, bx, by, step);
    hcuda_2d_gridfft_r2c_amp_ave_log_subbg(image, S1, nx, ny, bx, by, step, g);
    Image logA = to_host(A, nh);
    for (float& v : logA) v = std::log(v);
    expect_close(to_host(L, nh), logA, 1e-6, "L");
    EXPECT_EQ(to_host(S, nh), to_host(S1, nh));
    cudaFree(image), cudaFree(S), cudaFree(L), cudaFree(A), cudaFree(S1);
}

TEST(GridSums, Subbg4TakesTheBackgroundAsANormalisedLocalAverage) {
    const unsigned nx = 40, ny = 36, bx = 16, by = 12;
    const int step = 8, g = 5;
    const size_t nh = (bx / 2 + 1) * by;
    const Image in = pattern(nx, ny, 1, 0.6);
    Image scaled(in);
    for (float& v : scaled) v *= 8.0f;  // amplitudes times 8: L moves by ln 8, its local average too
    float *image = to_device(in), *image8 = to_device(scaled);
    float *S = device_array(nh), *L = device_array(nh), *S8 = device_array(nh), *L8 = device_array(nh);
    float *S2 = device_array(nh), *L2 = device_array(nh);
    hcuda_2d_gridfft_r2c_amp_ave_log_subbg4(image, S, L, nx, ny, bx, by, step, g);
    hcuda_2d_gridfft_r2c_amp_ave_log_subbg4(image8, S8, L8, nx, ny, bx, by, step, g);
    hcuda_2d_gridfft_r2c_amp_ave_log_subbg2(image, S2, L2, nx, ny, bx, by, step, g);
    const Image s = to_host(S, nh), l = to_host(L, nh), s8 = to_host(S8, nh), l8 = to_host(L8, nh);
    EXPECT_EQ(l, to_host(L2, nh));
    const Image s2 = to_host(S2, nh);
    double differs = 0;
    for (size_t i = 0; i < nh; ++i) {
        ASSERT_NEAR(l8[i], l[i] + std::log(8.0), 1e-4) << i;
        ASSERT_NEAR(s8[i], s[i], 1e-4) << i;
        differs += std::fabs(s[i] - s2[i]);
    }
    EXPECT_GT(differs, 1e-2);  // a disc is not the box of the 2 form
    cudaFree(image), cudaFree(image8), cudaFree(S), cudaFree(L), cudaFree(S8), cudaFree(L8), cudaFree(S2), cudaFree(L2);
}

TEST(PerFrameLogSpectra, EachFrameLessOneCommonBackground) {
    const unsigned nx = 8, ny = 10, n = 3, nxh = nx / 2 + 1;
    const int g = 4;
    const Image stack = pattern(nx, ny, n, 2.0);
    const size_t nh = (size_t)nxh * ny;
    std::vector<Image> P;
    Image mean(nh, 0.0f);
    for (unsigned k = 0; k < n; ++k) {
        P.push_back(centred_half(nx, ny, [&](int kx, int ky) { return std::log(std::abs(dft(stack, nx, ny, k, kx, ky)) / std::sqrt(nx * ny)); }));
        for (size_t i = 0; i < nh; ++i) mean[i] += P[k][i] / n;
    }
    const Image bg = box_average(mean, nxh, ny, g);
    Image want;
    for (unsigned k = 0; k < n; ++k)
        for (size_t i = 0; i < nh; ++i) want.push_back(P[k][i] - bg[i]);

    Image out(n * nh, -7.0f);
    gpu_2ds_fft_r2c_logmod_subbg(out.data(), stack.data(), nx, ny, n, g);
    expect_close(out, want, 1e-5, "host form");
    float *d = to_device(stack), *dout = device_array(n * nh);
    hcuda_2ds_fft_r2c_logmod_subbg(dout, d, nx, ny, n, g);
    EXPECT_EQ(to_host(dout, n * nh), out);
    cudaFree(d), cudaFree(dout);
}

TEST(HostStackConverter, FramesMeanAndLogMeanInTheFullLayout) {
    const unsigned nx = 8, ny = 6, n = 2;
    const size_t npix = nx * ny;
    const Image stack = pattern(nx, ny, n, 0.8);
    auto amp = [&](unsigned k) {
        return full_layout(nx, ny, [&, k](int kx, int ky) { return std::abs(dft(stack, nx, ny, k, kx, ky)) / std::sqrt(nx * ny); });
    };
    Image want_frames = amp(0), second = amp(1), want_mean(npix), want_log(npix);
    for (size_t i = 0; i < npix; ++i) want_mean[i] = (want_frames[i] + second[i]) / 2, want_log[i] = std::log1p(want_mean[i]);
    want_frames.insert(want_frames.end(), second.begin(), second.end());

    Image frames(n * npix, -7.0f), mean(npix, -7.0f), log_mean(npix, -7.0f);
    testing::internal::CaptureStdout();
    gpu_2ds_fft_r2c_proc(stack.data(), frames.data(), mean.data(), log_mean.data(), nx, ny, n, 'A');
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "..\n");
    expect_close(frames, want_frames, 1e-5, "frames");
    expect_close(mean, want_mean, 1e-5, "mean");
    expect_close(log_mean, want_log, 1e-5, "log mean");

    // Outputs not given are not written; the power mode squares the modulus.
    Image only_mean(npix, -7.0f);
    testing::internal::CaptureStdout();
    gpu_2ds_fft_r2c_proc(stack.data(), nullptr, only_mean.data(), nullptr, nx, ny, n, 'W');
    testing::internal::GetCapturedStdout();
    for (size_t i = 0; i < npix; ++i) want_mean[i] = (want_frames[i] * want_frames[i] + second[i] * second[i]) / 2;
    expect_close(only_mean, want_mean, 1e-5, "power mean");
}

TEST(CpuWeights, TwinOfTheDeviceMapAndTheRadialProfile) {
    const int nxh = 9, ny = 16;
    const float d = 30.0f, rho = 50.0f, apix = 1.3f, R = 4.0f;
    Image cpu((size_t)nxh * ny), one(1, -7.0f);
    cpu_2d_fft_amp_local_w2d_gen(cpu.data(), nxh, ny, d, rho, apix, R);
    float* dW = device_array(cpu.size());
    hcuda_2d_fft_amp_local_w2d_gen(dW, nxh, ny, d, rho, apix, R);
    EXPECT_EQ(to_host(dW, cpu.size()), cpu);
    EXPECT_EQ(cpu[(size_t)(ny / 2) * nxh], 1.0f);
    cudaFree(dW);

    Image w1(nxh);
    cpu_2d_fft_amp_local_w1d_gen(w1.data(), nxh, d, rho, apix, R);
    for (int i = 0; i < nxh; ++i) {
        const double f = i / (2.0 * (nxh - 1)), t = f * R / apix;
        EXPECT_NEAR(w1[i], std::exp(-(d * d / (2 * rho * rho)) * 0.5 * t * t), 1e-6) << i;
        EXPECT_EQ(w1[i], cpu[(size_t)(ny / 2) * nxh + i]) << i;  // the kx axis of the map
    }
    cpu_2d_fft_amp_local_w1d_gen(one.data(), 1, d, rho, apix, R);
    EXPECT_EQ(one[0], 1.0f);
    cpu_2ds_wgen(one.data(), 1, 1, 1, d, rho, apix, R);
    EXPECT_EQ(one[0], 1.0f);
}

// ---------------- whole-file commands ----------------

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vorn_fftfiles_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const char* name) const { return path + "/" + name; }
};

int run(int (*command)(int, char**), const std::string& in, const std::string& out) {
    std::string a0 = "vorn", a1 = in, a2 = out;
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    testing::internal::CaptureStdout();
    const int status = command(3, argv);
    testing::internal::GetCapturedStdout();
    return status;
}

MRC_HEAD head_of(const std::string& name) {
    MRC_HEAD h;
    mrcf_read_head(name.c_str(), &h);
    return h;
}
Image data_of(const std::string& name, size_t count, size_t bytes_per_value = 4) {
    Image v(count * bytes_per_value / 4);
    FILE* f = std::fopen(name.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    std::fseek(f, 0, SEEK_END);
    EXPECT_EQ((size_t)std::ftell(f), 1024 + v.size() * 4) << name;  // exactly one section after the header
    std::fseek(f, 1024, SEEK_SET);
    EXPECT_EQ(std::fread(v.data(), 4, v.size(), f), v.size());
    std::fclose(f);
    return v;
}

TEST(SpectrumFiles, LogAmplitudeSumsAndTheComplexSpectrum) {
    TempDir dir;
    const unsigned nx = 12, ny = 8, nz = 3;
    const size_t nh = (nx / 2 + 1) * ny;
    const Image stack = pattern(nx, ny, nz, 0.5);
    const std::string in = dir.file("stack.mrcs");
    mrcf_write_xyz_data(in.c_str(), stack.data(), nx, ny, nz);

    // Every slice: the sum (not the mean) of the three log-amplitude spectra.
    const std::string sum = dir.file("sum.mrc");
    ASSERT_EQ(run(mrcf_2ds_fft_r2c_amp_ave, in, sum), 0);
    const Image want_sum = centred_half(nx, ny, [&](int kx, int ky) {
        double s = 0;
        for (unsigned k = 0; k < nz; ++k) s += std::log(std::abs(dft(stack, nx, ny, k, kx, ky)));
        return s;
    });
    const Image got_sum = data_of(sum, nh);
    expect_close(got_sum, want_sum, 2e-5, "sum");
    MRC_HEAD h = head_of(sum);
    EXPECT_EQ(h.nx, 7);
    EXPECT_EQ(h.ny, 8);
    EXPECT_EQ(h.nz, 1);
    EXPECT_EQ(h.mode, 2);
    float mx, mn;
    hm_max_min_value(got_sum.data(), nh, mx, mn);
    EXPECT_EQ(h.dmax, std::max(0.0f, mx));
    EXPECT_EQ(h.dmin, std::min(0.0f, mn));

    // Slice 0 only, and one section in the header although the input has three.
    const std::string first = dir.file("first.mrc");
    ASSERT_EQ(run(mrcf_fft_r2c_amp_2d, in, first), 0);
    const Image want_first = centred_half(nx, ny, [&](int kx, int ky) { return std::log(std::abs(dft(stack, nx, ny, 0, kx, ky))); });
    expect_close(data_of(first, nh), want_first, 2e-5, "first");
    h = head_of(first);
    EXPECT_EQ(h.nx, 7);
    EXPECT_EQ(h.ny, 8);
    EXPECT_EQ(h.nz, 1);
    EXPECT_EQ(h.mode, 2);

    // The conjugate spectrum over sqrt(nx*ny), FFT row order, complex mode.
    const std::string cx = dir.file("complex.mrc");
    ASSERT_EQ(run(mrcf_fft_r2c_2d, in, cx), 0);
    const Image got = data_of(cx, 2 * nh);
    double largest = 0;
    for (unsigned r = 0; r < ny; ++r)
        for (unsigned c = 0; c < nx / 2 + 1; ++c) {
            const cd z = std::conj(dft(stack, nx, ny, 0, (int)c, (int)r)) / std::sqrt((double)nx * ny);
            const size_t i = 2 * ((size_t)r * (nx / 2 + 1) + c);
            ASSERT_NEAR(got[i], z.real(), 1e-5) << c << "," << r;
            ASSERT_NEAR(got[i + 1], z.imag(), 1e-5) << c << "," << r;
            largest = std::max(largest, std::abs(z));
        }
    h = head_of(cx);
    EXPECT_EQ(h.nx, 7);
    EXPECT_EQ(h.ny, 8);
    EXPECT_EQ(h.nz, 1);
    EXPECT_EQ(h.mode, 4);
    EXPECT_EQ(h.dmin, 0.0f);
    EXPECT_NEAR(h.dmax, largest, 1e-5 * largest);
}

TEST(SpectrumFiles, BackgroundSubtractedStackAndFixedBoxAverage) {
    TempDir dir;
    const unsigned nx = 84, ny = 80, nz = 2;
    const Image stack = pattern(nx, ny, nz, 1.7);
    const std::string in = dir.file("movie.mrcs"), out = dir.file("ave2.mrc");
    mrcf_write_xyz_data(in.c_str(), stack.data(), nx, ny, nz);
    ASSERT_EQ(run(mrcf_2ds_fft_r2c_amp_ave2, in, out), 0);
    const size_t nh = (nx / 2 + 1) * ny;
    float* d = to_device(stack);
    float* o = device_array(nh);
    hcuda_2ds_fft_r2c_amp_ave_log_subbg(d, o, nx, ny, nz, 39);
    const Image want = to_host(o, nh);
    cudaFree(d), cudaFree(o);
    EXPECT_EQ(data_of(out, nh), want);
    MRC_HEAD h = head_of(out);
    EXPECT_EQ(h.nx, 43);
    EXPECT_EQ(h.ny, 80);
    EXPECT_EQ(h.nz, 1);
    EXPECT_EQ(h.mode, 2);
    float mx, mn, mean;
    hm_max_min_mean(want.data(), nh, mx, mn, mean);
    EXPECT_EQ(h.dmax, mx);
    EXPECT_EQ(h.dmin, mn);
    EXPECT_EQ(h.dmean, mean);

    // 520 x 514 holds exactly one 512 x 512 box at the step of 256.
    const unsigned bnx = 520, bny = 514;
    const Image big = pattern(bnx, bny, 1, 0.2);
    const std::string bin = dir.file("big.mrc"), bout = dir.file("ave3.mrc");
    mrcf_write_xyz_data(bin.c_str(), big.data(), bnx, bny, 1);
    ASSERT_EQ(run(mrcf_2ds_fft_r2c_amp_ave3, bin, bout), 0);
    const size_t bh = 257 * 512;
    float* bd = to_device(big);
    float* bo = device_array(bh);
    hcuda_2d_gridfft_r2c_amp_ave_log_subbg(bd, bo, bnx, bny, 512, 512, 256, 39);
    EXPECT_EQ(data_of(bout, bh), to_host(bo, bh));
    cudaFree(bd), cudaFree(bo);
    h = head_of(bout);
    EXPECT_EQ(h.nx, 257);
    EXPECT_EQ(h.ny, 512);
    EXPECT_EQ(h.nz, 1);
    EXPECT_EQ(h.mode, 2);
}

TEST(SpectrumFiles, OutputsOpenInAStrictIndependentReader) {
    if (std::system("/usr/bin/python3 -c 'import mrcfile' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "/usr/bin/python3 with the mrcfile package is not available";
    TempDir dir;
    const unsigned nx = 12, ny = 8, nz = 3;
    const Image stack = pattern(nx, ny, nz, 0.9);
    const std::string in = dir.file("stack.mrcs");
    mrcf_write_xyz_data(in.c_str(), stack.data(), nx, ny, nz);
    const std::string cx = dir.file("complex.mrc"), amp = dir.file("amp.mrc"), sum = dir.file("sum.mrc");
    ASSERT_EQ(run(mrcf_fft_r2c_2d, in, cx), 0);
    ASSERT_EQ(run(mrcf_fft_r2c_amp_2d, in, amp), 0);
    ASSERT_EQ(run(mrcf_2ds_fft_r2c_amp_ave, in, sum), 0);
    const std::string script = dir.file("check.py");
    FILE* f = std::fopen(script.c_str(), "w");
    std::fputs("import sys, warnings, mrcfile\n"
               "warnings.simplefilter('error')\n"
               "for p in sys.argv[1:]:\n"
               "    with mrcfile.open(p, permissive=False) as m:\n"
               "        h = m.header\n"
               "        print(int(h.nx), int(h.ny), int(h.nz), int(h.mode), m.data.shape[-1], m.data.shape[-2], m.data.dtype.kind)\n",
               f);
    std::fclose(f);
    FILE* p = popen(("/usr/bin/python3 " + script + " " + cx + " " + amp + " " + sum + " 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char line[512];
    while (std::fgets(line, sizeof line, p) != nullptr) text += line;
    ASSERT_EQ(pclose(p), 0) << text;
    EXPECT_EQ(text, "7 8 1 4 7 8 c\n7 8 1 2 7 8 f\n7 8 1 2 7 8 f\n");
}

TEST(SpectrumFilesDeath, RefusalsEndWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string odd = dir.file("odd.mrc"), small = dir.file("small.mrc"), out = dir.file("out.mrc");
    const std::string missing = dir.file("missing.mrc");
    mrcf_write_xyz_data(odd.c_str(), pattern(9, 8, 1, 0).data(), 9, 8, 1);
    mrcf_write_xyz_data(small.c_str(), pattern(64, 64, 1, 0).data(), 64, 64, 1);
    const std::string hostile = std::string(VORN_SIM_DATA) + "/../hostile/";
    auto dies = [&](int (*command)(int, char**), const std::string& in, const std::string& line) {
        std::string a0 = "vorn", a1 = in, a2 = out;
        char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
        EXPECT_EXIT((dup2(2, 1), command(3, argv)), ::testing::ExitedWithCode(1), line) << in;
    };
    dies(mrcf_fft_r2c_amp_2d, missing, "Cannot open file .*missing.mrc strike any key exit!");
    dies(mrcf_2ds_fft_r2c_amp_ave, odd, "Error in fuction 'mrcf_fft_r2c_amp_2d\\(\\)'! image size must be even in both directon!");
    dies(mrcf_2ds_fft_r2c_amp_ave2, odd, "Error in fuction 'mrcf_fft_r2c_amp_2d\\(\\)'! image size must be even in both directon!");
    dies(mrcf_fft_r2c_2d, missing, "Cannot open file strike any key exit!");
    dies(mrcf_fft_r2c_2d, odd, "Error in fuction 'mrcf_fft_r2c_2d\\(\\)'! image size must be even in both directon!");
    dies(mrcf_2ds_fft_r2c_amp_ave3, missing,
         "Cannot open file .*missing.mrc. Permission denied or wrong file name.\n.*Error in function mrcf_2ds_fft_r2c_amp_ave3\\(\\), "
         "file src/cuda_fft on line [0-9]+: open file '.*missing.mrc' failed.! Exit now!");
    dies(mrcf_2ds_fft_r2c_amp_ave3, odd, "mrcf_2ds_fft_r2c_amp_ave3\\(\\), file src/cuda_fft on line [0-9]+: Image size must be even in both dimensions!!! Exit now!");
    // A stack shorter than its header says: its data are not read past their end.
    const std::string cut = dir.file("cut.mrcs");
    mrcf_write_xyz_data(cut.c_str(), pattern(8, 8, 3, 0).data(), 8, 8, 3);
    std::filesystem::resize_file(cut, 1024 + 4 * 8 * 8 * 2);
    dies(mrcf_2ds_fft_r2c_amp_ave2, cut, "mrcf_2ds_fft_r2c_amp_ave2\\(\\), file src/cuda_fft on line [0-9]+: '.*cut.mrcs' \\(8 x 8 x 3, mode 2\\) holds no readable image");
    // A file smaller than one box has no spectrum to write.
    dies(mrcf_2ds_fft_r2c_amp_ave3, small, "mrcf_2ds_fft_r2c_amp_ave3\\(\\), file src/cuda_fft on line [0-9]+: Image 64 x 64 is smaller than one box");
    // An output that cannot be created.
    {
        std::string a0 = "vorn", a1 = small, a2 = dir.file("no/such/dir/out.mrc");
        char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
        EXPECT_EXIT((dup2(2, 1), mrcf_fft_r2c_amp_2d(3, argv)), ::testing::ExitedWithCode(1), "Cannot open file .*out.mrc strike any key exit!");
    }
    // Headers that promise what the file does not hold are refused before anything large is allocated.
    if (std::filesystem::exists(hostile)) {
        for (const char* name : {"sliceN_16GiB.mrc", "update_head_nxy0_loop.mrc", "dims_overflow.mrc", "update_head_1GiB.mrc"})
            dies(mrcf_fft_r2c_amp_2d, hostile + name, "holds no readable image|must be even");
    }
    // An output that is the input, by name or through a link, leaves the input as it was.
    const std::string link = dir.file("link.mrc");
    std::filesystem::create_symlink(small, link);
    const auto before = read_bytes(small);
    for (int (*command)(int, char**) : {mrcf_fft_r2c_2d, mrcf_fft_r2c_amp_2d, mrcf_2ds_fft_r2c_amp_ave,
                                          mrcf_2ds_fft_r2c_amp_ave2, mrcf_2ds_fft_r2c_amp_ave3})
        for (const std::string& same : {small, link}) {
            std::string a0 = "vorn", a1 = small, a2 = same;
            char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
            EXPECT_EXIT((dup2(2, 1), command(3, argv)), ::testing::ExitedWithCode(1),
                        "Output file .*(small|link).mrc is the input file .*small.mrc! Nothing written.");
        }
    EXPECT_EQ(read_bytes(small), before);
    // A missing output name.
    std::string a0 = "vorn", a1 = small;
    char* argv[] = {a0.data(), a1.data(), nullptr};
    EXPECT_EXIT((dup2(2, 1), mrcf_fft_r2c_2d(2, argv)), ::testing::ExitedWithCode(1), "an input and an output MRC file are needed");
}

TEST(SpectrumDeath, ConverterRefusesUnknownModesAndEmptyStacks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Image stack = pattern(8, 8, 1, 0);
    Image out(64);
    EXPECT_EXIT((dup2(2, 1), gpu_2ds_fft_r2c_proc(stack.data(), out.data(), nullptr, nullptr, 8, 8, 1, 'Q')),
                ::testing::ExitedWithCode(1), "gpu_2ds_fft_r2c_proc\\(\\), file src/cuda_fft on line [0-9]+: Unknown spectrum mode 'Q'");
    EXPECT_EXIT((dup2(2, 1), gpu_2ds_fft_r2c_proc(stack.data(), out.data(), nullptr, nullptr, 8, 8, 0, 'A')),
                ::testing::ExitedWithCode(1), "no frames to average");
}

}  // namespace
