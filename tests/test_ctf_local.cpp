// The local searches, the validation and the stack refinement on spectra made
// from the CTF model itself, where the truth is known. The raw score the
// searches maximise peaks within a few tens of A of the truth on a small
// spectrum, so results are checked against the truth within that, and their
// scores against the score of the truth and an independent host computation.
// The searches draw their jitter from the clock-seeded rand(); the tolerances
// are far wider than the jitter.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#define VORN_UNIT "tests/ctf_local"
#include "coordfile_fixture.h"
#include "ctf_local.h"
#include "cuda_fft.h"
#include "device_arrays_fixture.h"
#include "mrcfile.h"

namespace {

// Imaging of every test: 300 kV, Cs 2.7 mm, 7 % amplitude contrast, no phase shift.
const float kV = 300.0f, kCs = 2.7f, kAC = 0.07f;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Ctf {
    float U, V, A;
};

// A background-subtracted spectrum on the device, (nx/2 + 1) x ny: the
// mode-'A' CTF of the truth less its mean 2/pi.
struct SimSpectrum {
    int nx, ny;
    float apix;
    float* d;
    float* scratch;
    SimSpectrum(int n, float apix_, Ctf truth) : nx(n), ny(n), apix(apix_) {
        std::vector<float> h(half());
        gpu_ctf_sim_2dh_c(h.data(), nx / 2 + 1, ny, apix, kV, kCs, kAC, 0.0f, truth.U, truth.V, truth.A, 0.0f, 1000.0f,
                          2.0f * apix, 'A');
        for (float& x : h) x -= 0.63661975f;
        d = to_device(h);
        scratch = device_array(half());
    }
    ~SimSpectrum() {
        cudaFree(d);
        cudaFree(scratch);
    }
    size_t half() const { return (size_t)(nx / 2 + 1) * ny; }
};

// The normalised score of c on the host: sum F G / sqrt(sum F^2 sum G^2) within
// the band, F the mode-'A' simulation and G the spectrum.
float host_score(const SimSpectrum& s, Ctf c, float low, float high) {
    std::vector<float> F(s.half()), sign(s.half());
    gpu_ctf_sim_2dh_c(F.data(), s.nx / 2 + 1, s.ny, s.apix, kV, kCs, kAC, 0.0f, c.U, c.V, c.A, 0.0f, low, high, 'A');
    gpu_ctf_sim_2dh_c(sign.data(), s.nx / 2 + 1, s.ny, s.apix, kV, kCs, kAC, 0.0f, c.U, c.V, c.A, 0.0f, low, high, 'S');
    const std::vector<float> G = to_host(s.d, s.half());
    double fg = 0, ff = 0, gg = 0;
    for (size_t i = 0; i < G.size(); ++i) {
        fg += (double)F[i] * G[i];
        ff += (double)F[i] * F[i];
        gg += sign[i] != 0.0f ? (double)G[i] * G[i] : 0.0;  // 'S' is +-1 inside the band, 0 outside
    }
    return (float)(fg / std::sqrt(ff * gg));
}

// (U, V, A) and (V, U, A + 90) are one CTF: the form with U <= V and A in [-90, 90).
Ctf canonical(Ctf c) {
    if (c.U > c.V) c = {c.V, c.U, c.A + 90.0f};
    c.A -= 180.0f * std::floor((c.A + 90.0f) / 180.0f);
    return c;
}
void expect_near_ctf(Ctf got, Ctf want, float defocus_tol, float angle_tol) {
    got = canonical(got);
    want = canonical(want);
    EXPECT_NEAR(got.U, want.U, defocus_tol);
    EXPECT_NEAR(got.V, want.V, defocus_tol);
    float dA = std::fabs(got.A - want.A);
    dA = std::fmin(dA, 180.0f - dA);
    EXPECT_LE(dA, angle_tol);
}

// Everything written to a log file.
struct Log {
    FILE* f = std::tmpfile();
    ~Log() { std::fclose(f); }
    std::string text() const {
        std::fflush(f);
        std::rewind(f);
        std::string s;
        for (int c; (c = std::fgetc(f)) != EOF;) s += (char)c;
        return s;
    }
};
int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// ---- the searches ----

TEST(LocalSearch, ConvergesToTheTruthFromADisplacedAstigmaticStart) {
    const Ctf truth{15000.0f, 16200.0f, 30.0f};
    SimSpectrum s(128, 2.0f, truth);
    const Ctf starts[] = {{15200.0f, 16000.0f, 20.0f}, {16050.0f, 14900.0f, 40.0f}, {14800.0f, 15900.0f, -50.0f}};
    for (const Ctf& start : starts) {
        SCOPED_TRACE(testing::Message() << start.U << " " << start.V << " " << start.A);
        Ctf r;
        float score = 0.0f;
        testing::internal::CaptureStdout();
        EXPECT_EQ(hcuda_refctf_2dh_local(s.d, s.scratch, r.U, r.V, r.A, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC,
                                         start.U, start.V, start.A, 100.0f, 5.0f, 0.0f, 30.0f, 6.0f, nullptr),
                  0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        expect_near_ctf(r, truth, 20.0f, 1.0f);
        EXPECT_NEAR(score, host_score(s, r, 30.0f, 6.0f), 1e-4);
        EXPECT_GT(score, 0.999f * host_score(s, truth, 30.0f, 6.0f));
        EXPECT_GE(r.A, -90.0f);
        EXPECT_LT(r.A, 90.0f);
        // The scratch holds the simulation of the result.
        std::vector<float> want(s.half());
        gpu_ctf_sim_2dh_c(want.data(), s.nx / 2 + 1, s.ny, s.apix, kV, kCs, kAC, 0.0f, r.U, r.V, r.A, 0.0f, 30.0f, 6.0f,
                          'A');
        EXPECT_EQ(to_host(s.scratch, s.half()), want);
    }
}

TEST(LocalSearch, EqualStartDefociKeepTheHalfDifferenceAtZero) {
    SimSpectrum s(128, 2.0f, {15300.0f, 15300.0f, 0.0f});
    Ctf r;
    float score;
    hcuda_refctf_2dh_local(s.d, s.scratch, r.U, r.V, r.A, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, 15100.0f,
                           15100.0f, 10.0f, 100.0f, 5.0f, 0.0f, 30.0f, 6.0f, nullptr);
    EXPECT_EQ(r.U, r.V);
    EXPECT_NEAR(r.U, 15300.0f, 10.0f);
    EXPECT_NEAR(score, host_score(s, r, 30.0f, 6.0f), 1e-4);
}

// Steps below the convergence limits: only the starting points are scored and
// the search ends in its first cycle, at the better of the start orders.
TEST(LocalSearch, StepsBelowTheLimitsEndAtTheStart) {
    SimSpectrum s(128, 2.0f, {15000.0f, 15600.0f, 30.0f});
    Ctf r;
    float score;
    testing::internal::CaptureStdout();
    hcuda_refctf_2dh_local(s.d, s.scratch, r.U, r.V, r.A, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, 15299.5f,
                           15300.5f, 100.0f, 0.5f, 0.3f, 0.0f, 30.0f, 6.0f, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NEAR(std::fmin(r.U, r.V), 15299.5f, 1e-3);
    EXPECT_NEAR(std::fmax(r.U, r.V), 15300.5f, 1e-3);
    EXPECT_TRUE(std::fabs(r.A + 80.0f) < 1e-3 || std::fabs(r.A + 79.7f) < 1e-3) << r.A;  // 100 or 100.3, folded
}

TEST(LocalSearch, MeanDefocusAloneKeepsAstigmatismAndAngle) {
    const Ctf truth{15000.0f, 15600.0f, 30.0f};
    SimSpectrum s(128, 2.0f, truth);
    for (float shift : {-250.0f, 300.0f}) {
        float U, V, score;
        Log log;
        hcuda_refctf_2dh_only_defave(s.d, s.scratch, U, V, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC,
                                     truth.U + shift, truth.V + shift, truth.A, 100.0f, 0.0f, 30.0f, 6.0f, log.f);
        EXPECT_NEAR(U, truth.U, 10.0f);
        EXPECT_NEAR(V - U, 600.0f, 0.01f);
        EXPECT_NEAR(score, host_score(s, {U, V, truth.A}, 30.0f, 6.0f), 1e-4);
        EXPECT_EQ(log.text(), "");
    }
}

// A walk that keeps improving by small steps reaches the cycle limit: the
// searches stop where they are and warn ("Too man" on both outputs from the
// searches, "Too many" in the log alone from the validation search).
TEST(LocalSearch, CycleLimitWarns) {
    SimSpectrum s(128, 2.0f, {15000.0f, 15000.0f, 0.0f});
    const std::string warning = "WARNING: Too man refinement cycles, Vorn might have failed on this micrograph!\n";
    {
        Log log;
        Ctf r;
        float score;
        testing::internal::CaptureStdout();
        hcuda_refctf_2dh_local(s.d, s.scratch, r.U, r.V, r.A, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, 14400.0f,
                               14400.0f, 70.0f, 1.5f, 0.3f, 0.0f, 30.0f, 6.0f, log.f);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), warning);
        EXPECT_EQ(log.text(), warning);
        EXPECT_GT(r.U, 14400.0f + 150.0f);  // a hundred steps of at least 1.5 A towards the truth
        EXPECT_LT(r.U, 15000.0f);
        EXPECT_NEAR(r.A, 70.0f, 0.31f);  // not folded
    }
    {
        Log log;
        float U, V, score;
        testing::internal::CaptureStdout();
        hcuda_refctf_2dh_only_defave(s.d, s.scratch, U, V, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, 14400.0f,
                                     14400.0f, 0.0f, 1.5f, 0.0f, 30.0f, 6.0f, log.f);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), warning);
        EXPECT_EQ(log.text(), warning);
        EXPECT_GT(U, 14550.0f);
    }
    {
        Log log;
        Ctf r;
        float score;
        testing::internal::CaptureStdout();
        hcuda_ctfvalidate_2dh(s.d, s.scratch, r.U, r.V, r.A, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, 14400.0f,
                              14400.0f, 70.0f, 1.5f, 0.3f, 0.0f, 30.0f, 6.0f, log.f);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(log.text(), "WARNING: Too many refinement cycles, Vorn might have failed on this micrograph!\n");
    }
}

// A spectrum without signal has zero norm: the score is 0, not 0/0.
TEST(LocalSearch, EmptySpectrumScoresZero) {
    SimSpectrum s(64, 2.0f, {15000.0f, 15000.0f, 0.0f});
    hcuda_empty_f32(s.d, s.half());
    Ctf r;
    float score = kNaN;
    hcuda_refctf_2dh_local(s.d, s.scratch, r.U, r.V, r.A, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, 15000.0f,
                           15400.0f, 0.0f, 100.0f, 5.0f, 0.0f, 30.0f, 6.0f, nullptr);
    EXPECT_EQ(score, 0.0f);
    hcuda_refctf_2dh_only_defave(s.d, s.scratch, r.U, r.V, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, 15000.0f,
                                 15400.0f, 0.0f, 100.0f, 0.0f, 30.0f, 6.0f, nullptr);
    EXPECT_EQ(score, 0.0f);
}

// The validation search reports a non-negative angle with U and V in the order
// of the start.
TEST(LocalSearch, ValidationSearchReportsInTheStartOrder) {
    const Ctf truth{15000.0f, 16200.0f, -60.0f};
    SimSpectrum s(128, 2.0f, truth);
    for (const Ctf& start : {Ctf{15100.0f, 16100.0f, -55.0f}, Ctf{16100.0f, 15100.0f, 35.0f}}) {
        Ctf r;
        float score;
        hcuda_ctfvalidate_2dh(s.d, s.scratch, r.U, r.V, r.A, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, start.U,
                              start.V, start.A, 100.0f, 3.0f, 0.0f, 30.0f, 6.0f, nullptr);
        expect_near_ctf(r, truth, 20.0f, 1.0f);
        EXPECT_EQ(r.U < r.V, start.U < start.V);
        EXPECT_GE(r.A, 0.0f);
        EXPECT_NEAR(score, host_score(s, r, 30.0f, 6.0f), 1e-4);
        EXPECT_GT(score, 0.999f * host_score(s, truth, 30.0f, 6.0f));
    }
}

// ---- validation ----

TEST(Validation, GradesAtTheThresholds) {
    const float T = 1600.0f;  // the 20-8 A band
    const struct {
        float D;
        int grade;
    } cases[] = {{0.0f, 5},      {612.29f, 5},   {612.30f, 4}, {1131.37f, 4}, {1131.38f, 3}, {1599.9f, 3},
                 {1600.0f, 2},   {3199.9f, 2},   {3200.0f, 1}, {1e9f, 1},     {kNaN, 1},
                 {std::numeric_limits<float>::infinity(), 1}};
    for (const auto& c : cases) EXPECT_EQ(ctf_validation_grade(c.D, T), c.grade) << c.D;
}

TEST(Validation, WellDeterminedCtfIsPerfectInEveryBandAboveNyquist) {
    const Ctf truth{15000.0f, 15600.0f, 30.0f};
    SimSpectrum s(128, 2.0f, truth);
    Log log;
    testing::internal::CaptureStdout();
    ctf_validation(s.d, s.scratch, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, truth.U, truth.V, truth.A, 50.0f, 30.0f,
                   5.0f, log.f);
    const std::string out = testing::internal::GetCapturedStdout(), text = log.text();
    const std::string head =
        "\n......................................  VALIDATION  ......................................\n"
        "Differences from Original Values:\n  RESOLUTION   Defocus_U   Defocus_V     Angle       CCC      CONVERGENCE  \n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(out.substr(0, head.size()), head);
    // 2 apix = 4 A: the bands 20-8, 15-6 and 12-5 run, 10-4 ends the list.
    EXPECT_EQ(count_of(text, "VALIDATION_SCORE: 5        \n"), 3) << text;
    EXPECT_EQ(count_of(text, "VALIDATION_SCORE"), 3);
    EXPECT_EQ(count_of(out, "PERFECT        \n"), 3) << out;
    EXPECT_NE(text.find("  20-08A "), std::string::npos);
    EXPECT_NE(text.find("  12-05A "), std::string::npos);
    EXPECT_EQ(text.find("  10-04A "), std::string::npos);
    std::vector<float> want(s.half());
    gpu_ctf_sim_2dh_c(want.data(), s.nx / 2 + 1, s.ny, s.apix, kV, kCs, kAC, 0.0f, truth.U, truth.V, truth.A, 50.0f,
                      30.0f, 5.0f, 'A');
    EXPECT_EQ(to_host(s.scratch, s.half()), want);
}

TEST(Validation, CoarsePixelsRunNoBand) {
    SimSpectrum s(64, 4.0f, {15000.0f, 15600.0f, 30.0f});
    Log log;
    testing::internal::CaptureStdout();
    ctf_validation(s.d, s.scratch, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, 15000.0f, 15600.0f, 30.0f, 0.0f, 30.0f,
                   8.0f, log.f);
    EXPECT_EQ(count_of(testing::internal::GetCapturedStdout(), "\n"), 4);
    EXPECT_EQ(count_of(log.text(), "VALIDATION_SCORE"), 0);
    std::vector<float> want(s.half());
    gpu_ctf_sim_2dh_c(want.data(), s.nx / 2 + 1, s.ny, s.apix, kV, kCs, kAC, 0.0f, 15000.0f, 15600.0f, 30.0f, 0.0f,
                      30.0f, 8.0f, 'A');
    EXPECT_EQ(to_host(s.scratch, s.half()), want);
}

// A deviation that is not a number fails the band, with a finished line.
TEST(Validation, UndefinedDeviationIsGradedWrong) {
    SimSpectrum s(64, 3.0f, {15000.0f, 15600.0f, 30.0f});
    Log log;
    testing::internal::CaptureStdout();
    ctf_validation(s.d, s.scratch, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, kNaN, 15600.0f, 30.0f, 0.0f, 30.0f, 8.0f,
                   log.f);
    const std::string out = testing::internal::GetCapturedStdout(), text = log.text();
    // 2 apix = 6 A: the bands 20-8 and 15-6 would run; 15-6 fails (6 < 6 is false).
    EXPECT_EQ(count_of(text, "VALIDATION_SCORE: 1     \n"), 1) << text;
    EXPECT_EQ(count_of(out, "WRONG     \n"), 1) << out;
    EXPECT_EQ(out.back(), '\n');
}

// ---- stack refinement ----

// Frames whose amplitude spectrum is 0.2 + the mode-'A' CTF of frame f (defocus
// U0 + slope f, astigmatism 400 A at 30 degrees) under random phases.
std::vector<float> ctf_frames(int n, int frames, float apix, float U0, float slope, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> phase(0.0f, 6.2831853f);
    const int nxh = n / 2 + 1;
    std::vector<float> out((size_t)n * n * frames), amp((size_t)nxh * n);
    std::vector<float2> half((size_t)nxh * n);
    for (int f = 0; f < frames; ++f) {
        const float U = U0 + slope * f;
        gpu_ctf_sim_2dh_c(amp.data(), nxh, n, apix, kV, kCs, kAC, 0.0f, U, U + 400.0f, 30.0f, 0.0f, 1000.0f, 2 * apix,
                          'A');
        for (int y = 0; y < n; ++y)  // the simulation is y-centred, the transform in FFT row order
            for (int x = 0; x < nxh; ++x) {
                const float a = 0.2f + amp[(size_t)((y + n / 2) % n) * nxh + x], p = phase(rng);
                half[(size_t)y * nxh + x] = make_float2(a * std::cos(p), a * std::sin(p));
            }
        gpu_2d_fft_c2r(half.data(), out.data() + (size_t)f * n * n, n, n);
    }
    return out;
}

// The values of the window lines and of the fitted lines of a stack log.
struct StackLog {
    std::vector<std::vector<float>> windows, fitted;
    std::vector<int> window_frames;
};
StackLog parse_stack_log(const std::string& text) {
    StackLog r;
    std::istringstream in(text);
    bool fitted = false;
    for (std::string line; std::getline(in, line);) {
        if (line.find("Linear fitted") != std::string::npos) fitted = true;
        const size_t at = line.find("STACK CTF Value");
        if (at == std::string::npos) continue;
        std::istringstream values(line.substr(0, at));
        std::vector<float> v;
        for (float x; values >> x;) v.push_back(x);
        if (fitted) {
            r.fitted.push_back(v);
        } else {
            r.windows.push_back(v);
            r.window_frames.push_back(std::stoi(line.substr(at + 16)));
        }
    }
    return r;
}

TEST(StackRefine, FollowsADriftingDefocusAndFitsItsLine) {
    const int n = 128, frames = 6, window = 3;
    const float apix = 2.0f;
    const std::vector<float> stack = ctf_frames(n, frames, apix, 10000.0f, 60.0f, 7);
    Log log;
    testing::internal::CaptureStdout();
    ctf_movie_stack_refine(stack.data(), n, n, frames, apix, n, n, 8, 0.0f, kV, kCs, kAC, 10200.0f, 10600.0f, 30.0f,
                           0.0f, 30.0f, 6.0f, 1000.0f, log.f, 1, window, 1, 0, CTF_REF_CONTROL{});
    const std::string out = testing::internal::GetCapturedStdout();
    const StackLog r = parse_stack_log(log.text());
    ASSERT_EQ(r.windows.size(), 4u) << log.text();
    ASSERT_EQ(r.fitted.size(), (size_t)frames);
    for (size_t i = 0; i < r.windows.size(); ++i) {
        const int c = r.window_frames[i];
        EXPECT_EQ(c, (int)i + window / 2);
        ASSERT_EQ(r.windows[i].size(), 4u);
        EXPECT_NEAR(r.windows[i][0], 10000.0f + 60.0f * c, 25.0f);  // the window's mean defocus
        EXPECT_NEAR(r.windows[i][1] - r.windows[i][0], 400.0f, 0.02f);
        EXPECT_EQ(r.windows[i][2], 30.0f);
    }
    for (int f = 0; f < frames; ++f) {
        ASSERT_EQ(r.fitted[f].size(), 4u);
        EXPECT_NEAR(r.fitted[f][0], 10000.0f + 60.0f * f, 25.0f);
        EXPECT_NEAR(r.fitted[f][2], 30.0f, 0.01f);
    }
    EXPECT_NE(out.find("# 1 ...\n"), std::string::npos);
    EXPECT_NE(out.find("Linear fitted stack/movie CTF values:"), std::string::npos);
}

// Two windows are the fewest a line goes through: the line meets both; one or
// none gets a message and no line.
TEST(StackRefine, FitsEveryWindowValueAndNeedsTwo) {
    const int n = 64;
    const std::vector<float> stack = ctf_frames(n, 3, 2.0f, 8000.0f, 100.0f, 3);
    {
        Log log;
        testing::internal::CaptureStdout();
        ctf_movie_stack_refine(stack.data(), n, n, 3, 2.0f, n, n, 6, 0.0f, kV, kCs, kAC, 8100.0f, 8500.0f, 30.0f, 0.0f,
                               30.0f, 8.0f, 600.0f, log.f, 1, 2, 1, 0, CTF_REF_CONTROL{});
        testing::internal::GetCapturedStdout();
        const StackLog r = parse_stack_log(log.text());
        ASSERT_EQ(r.windows.size(), 2u);
        ASSERT_EQ(r.fitted.size(), 3u);
        for (size_t i = 0; i < 2; ++i)
            for (int k = 0; k < 4; ++k)
                EXPECT_NEAR(r.fitted[r.window_frames[i]][k], r.windows[i][k], k == 3 ? 0.02f : 0.02f) << i << " " << k;
    }
    for (int window : {3, 4}) {
        Log log;
        testing::internal::CaptureStdout();
        ctf_movie_stack_refine(stack.data(), n, n, 3, 2.0f, n, n, 6, 0.0f, kV, kCs, kAC, 8100.0f, 8500.0f, 30.0f, 0.0f,
                               30.0f, 8.0f, 600.0f, log.f, 1, window, 1, 0, CTF_REF_CONTROL{});
        const std::string out = testing::internal::GetCapturedStdout(), text = log.text();
        const std::string message = "Too few window values (" + std::to_string(window == 3 ? 1 : 0) + ")";
        EXPECT_NE(text.find(message), std::string::npos) << text;
        EXPECT_NE(out.find(message), std::string::npos);
        EXPECT_EQ(text.find("Linear fitted"), std::string::npos);
        EXPECT_EQ(text.find("nan"), std::string::npos);
    }
}

TEST(StackRefine, HeadersAloneWhenDisabledAndAPhaseColumnOnRequest) {
    const int n = 64;
    const std::vector<float> stack = ctf_frames(n, 2, 2.0f, 8000.0f, 0.0f, 5);
    {
        Log log;
        testing::internal::CaptureStdout();
        ctf_movie_stack_refine(stack.data(), n, n, 2, 2.0f, n, n, 6, 0.0f, kV, kCs, kAC, 8100.0f, 8500.0f, 30.0f, 0.0f,
                               30.0f, 8.0f, 600.0f, log.f, 0, 1, 1, 0, CTF_REF_CONTROL{});
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "# ####################################,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,"
                  "\n   Defocus_U   Defocus_V       Angle        CCC\n");
        EXPECT_EQ(log.text(), "\n   Defocus_U   Defocus_V       Angle        CCC\n");
    }
    {
        Log log;
        CTF_REF_CONTROL control{};
        control.phase_shift_on = 1;
        testing::internal::CaptureStdout();
        ctf_movie_stack_refine(stack.data(), n, n, 2, 2.0f, n, n, 6, 12.5f, kV, kCs, kAC, 8100.0f, 8500.0f, 30.0f, 0.0f,
                               30.0f, 8.0f, 600.0f, log.f, 1, 2, 2, 1, control);
        const std::string out = testing::internal::GetCapturedStdout(), text = log.text();
        EXPECT_EQ(text.rfind("\n   Defocus_U   Defocus_V       Angle    Phase_shift     CCC\n", 0), 0u);
        const StackLog r = parse_stack_log(text);
        ASSERT_EQ(r.windows.size(), 1u);
        ASSERT_EQ(r.windows[0].size(), 5u);
        EXPECT_EQ(r.windows[0][3], 12.5f);
        EXPECT_NE(out.find("Does not support non-linear fitting of particle stack defocus in the current version"),
                  std::string::npos);
    }
}

}  // namespace
