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

#include <unistd.h>

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

// The scratch holds the mode-'A' simulation of c with B and the band.
void expect_scratch_simulates(const SimSpectrum& s, Ctf c, float B, float low, float high) {
    std::vector<float> want(s.half());
    gpu_ctf_sim_2dh_c(want.data(), s.nx / 2 + 1, s.ny, s.apix, kV, kCs, kAC, 0.0f, c.U, c.V, c.A, B, low, high, 'A');
    EXPECT_EQ(to_host(s.scratch, s.half()), want);
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
    const Ctf starts[] = {{15200.0f, 16000.0f, 20.0f}, {16050.0f, 14900.0f, -50.0f}};
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
        expect_scratch_simulates(s, r, 0.0f, 30.0f, 6.0f);
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
    const struct {
        decltype(&hcuda_refctf_2dh_local) search;
        std::string out, log;
    } full[] = {{hcuda_refctf_2dh_local, warning, warning},
                {hcuda_ctfvalidate_2dh, "",
                 "WARNING: Too many refinement cycles, Vorn might have failed on this micrograph!\n"}};
    for (const auto& c : full) {
        Log log;
        Ctf r;
        float score;
        testing::internal::CaptureStdout();
        c.search(s.d, s.scratch, r.U, r.V, r.A, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, 14400.0f, 14400.0f,
                 70.0f, 1.5f, 0.3f, 0.0f, 30.0f, 6.0f, log.f);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(log.text(), c.log);
        EXPECT_GT(r.U, 14400.0f + 150.0f);  // a hundred steps of at least 1.5 A towards the truth
        EXPECT_LT(r.U, 15000.0f);
        EXPECT_NEAR(r.A, 70.0f, 0.31f);  // not folded
    }
    Log log;
    float U, V, score;
    testing::internal::CaptureStdout();
    hcuda_refctf_2dh_only_defave(s.d, s.scratch, U, V, score, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, 14400.0f,
                                 14400.0f, 0.0f, 1.5f, 0.0f, 30.0f, 6.0f, log.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), warning);
    EXPECT_EQ(log.text(), warning);
    EXPECT_GT(U, 14550.0f);
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

// Validates c on the spectrum with B and the band; returns standard output.
std::string validate(const SimSpectrum& s, Ctf c, float B, float low, float high, FILE* log) {
    testing::internal::CaptureStdout();
    ctf_validation(s.d, s.scratch, s.apix, s.nx, s.ny, 0.0f, kV, kCs, kAC, c.U, c.V, c.A, B, low, high, log);
    return testing::internal::GetCapturedStdout();
}

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
    const std::string out = validate(s, truth, 50.0f, 30.0f, 5.0f, log.f), text = log.text();
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
    expect_scratch_simulates(s, truth, 50.0f, 30.0f, 5.0f);
}

TEST(Validation, CoarsePixelsRunNoBand) {
    const Ctf given{15000.0f, 15600.0f, 30.0f};
    SimSpectrum s(64, 4.0f, given);
    Log log;
    EXPECT_EQ(count_of(validate(s, given, 0.0f, 30.0f, 8.0f, log.f), "\n"), 4);
    EXPECT_EQ(count_of(log.text(), "VALIDATION_SCORE"), 0);
    expect_scratch_simulates(s, given, 0.0f, 30.0f, 8.0f);
}

// A deviation that is not a number fails the band, with a finished line.
TEST(Validation, UndefinedDeviationIsGradedWrong) {
    SimSpectrum s(64, 3.0f, {15000.0f, 15600.0f, 30.0f});
    Log log;
    const std::string out = validate(s, {kNaN, 15600.0f, 30.0f}, 0.0f, 30.0f, 8.0f, log.f), text = log.text();
    // 2 apix = 6 A: the bands 20-8 and 15-6 would run; 15-6 fails (6 < 6 is false).
    EXPECT_EQ(count_of(text, "VALIDATION_SCORE: 1     \n"), 1) << text;
    EXPECT_EQ(count_of(out, "WRONG     \n"), 1) << out;
    EXPECT_EQ(out.back(), '\n');
}

// ---- stack refinement ----

// Frames whose amplitude spectrum is 0.2 + the mode-'A' CTF of frame f (defocus
// U0 + slope f, V - U = astigmatism at the angle A) under random phases.
std::vector<float> ctf_frames(int n, int frames, float apix, float U0, float slope, unsigned seed,
                              float astigmatism = 400.0f, float A = 30.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> phase(0.0f, 6.2831853f);
    const int nxh = n / 2 + 1;
    std::vector<float> out((size_t)n * n * frames), amp((size_t)nxh * n);
    std::vector<float2> half((size_t)nxh * n);
    for (int f = 0; f < frames; ++f) {
        const float U = U0 + slope * f;
        gpu_ctf_sim_2dh_c(amp.data(), nxh, n, apix, kV, kCs, kAC, 0.0f, U, U + astigmatism, A, 0.0f, 1000.0f, 2 * apix,
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

// The refinement of a 64 x 64 stack at 2 A per pixel (one box per frame) from
// U = 8100, V = 8500, A = 30, within 30-8 A; returns standard output.
std::string refine_small_stack(const std::vector<float>& stack, int frames, int window, int fit, int enable, float P,
                               CTF_REF_CONTROL control, FILE* log) {
    testing::internal::CaptureStdout();
    ctf_movie_stack_refine(stack.data(), 64, 64, frames, 2.0f, 64, 64, 6, P, kV, kCs, kAC, 8100.0f, 8500.0f, 30.0f,
                           0.0f, 30.0f, 8.0f, 600.0f, log, enable, window, fit, 0, control);
    return testing::internal::GetCapturedStdout();
}

// Two windows are the fewest a line goes through: the line meets both; one or
// none gets a message and no line.
TEST(StackRefine, FitsEveryWindowValueAndNeedsTwo) {
    const std::vector<float> stack = ctf_frames(64, 3, 2.0f, 8000.0f, 100.0f, 3);
    {
        Log log;
        refine_small_stack(stack, 3, 2, 1, 1, 0.0f, CTF_REF_CONTROL{}, log.f);
        const StackLog r = parse_stack_log(log.text());
        ASSERT_EQ(r.windows.size(), 2u);
        ASSERT_EQ(r.fitted.size(), 3u);
        for (size_t i = 0; i < 2; ++i)
            for (int k = 0; k < 4; ++k)
                EXPECT_NEAR(r.fitted[r.window_frames[i]][k], r.windows[i][k], 0.02f) << i << " " << k;
    }
    for (int window : {3, 4}) {
        Log log;
        const std::string out = refine_small_stack(stack, 3, window, 1, 1, 0.0f, CTF_REF_CONTROL{}, log.f);
        const std::string text = log.text();
        const std::string message = "Too few window values (" + std::to_string(window == 3 ? 1 : 0) + ")";
        EXPECT_NE(text.find(message), std::string::npos) << text;
        EXPECT_NE(out.find(message), std::string::npos);
        EXPECT_EQ(text.find("Linear fitted"), std::string::npos);
        EXPECT_EQ(text.find("nan"), std::string::npos);
    }
}

TEST(StackRefine, HeadersAloneWhenDisabledAndAPhaseColumnOnRequest) {
    const std::vector<float> stack = ctf_frames(64, 2, 2.0f, 8000.0f, 0.0f, 5);
    {
        Log log;
        EXPECT_EQ(refine_small_stack(stack, 2, 1, 1, 0, 0.0f, CTF_REF_CONTROL{}, log.f),
                  "# ####################################,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,"
                  "\n   Defocus_U   Defocus_V       Angle        CCC\n");
        EXPECT_EQ(log.text(), "\n   Defocus_U   Defocus_V       Angle        CCC\n");
    }
    {
        Log log;
        CTF_REF_CONTROL control{};
        control.phase_shift_on = 1;
        const std::string out = refine_small_stack(stack, 2, 2, 2, 1, 12.5f, control, log.f);
        const std::string text = log.text();
        EXPECT_EQ(text.rfind("\n   Defocus_U   Defocus_V       Angle    Phase_shift     CCC\n", 0), 0u);
        const StackLog r = parse_stack_log(text);
        ASSERT_EQ(r.windows.size(), 1u);
        ASSERT_EQ(r.windows[0].size(), 5u);
        EXPECT_EQ(r.windows[0][3], 12.5f);
        EXPECT_NE(out.find("Does not support non-linear fitting of particle stack defocus in the current version"),
                  std::string::npos);
    }
}

// ---- per-particle refinement ----

// A 256 x 256 micrograph at 2 A per pixel tiled with one 64 x 64 image whose
// amplitude spectrum is 0.2 + the mode-'A' CTF of the truth under random
// phases: every box of 64 cut from it is a cyclic shift of the tile, so every
// local spectrum shows the CTF without speckle. It sits in a temporary
// directory with its box file.
class LocalRefineTest : public CoordFileTest {
  protected:
    static constexpr int kN = 256, kBox = 64;
    static constexpr float kApix = 2.0f;
    const Ctf truth{12000.0f, 12800.0f, 30.0f};
    const Ctf start{12200.0f, 12600.0f, 25.0f};
    float* micrograph = nullptr;

    void SetUp() override {
        CoordFileTest::SetUp();
        const std::vector<float> tile = ctf_frames(kBox, 1, kApix, truth.U, 0.0f, 11, truth.V - truth.U, truth.A);
        std::vector<float> image((size_t)kN * kN);
        for (int y = 0; y < kN; ++y)
            for (int x = 0; x < kN; ++x) image[(size_t)y * kN + x] = tile[(size_t)(y % kBox) * kBox + x % kBox];
        micrograph = to_device(image);
    }
    void TearDown() override {
        cudaFree(micrograph);
        CoordFileTest::TearDown();
    }
    // Refines mic.mrc with the boxes of mic.box (radius 40, overlap 0.5: five
    // neighbour boxes 32 pixels apart), from the start values with a score of 0.123.
    void run(int display, int epa, int astig, int average_type, FILE* log, int box_type = 1) {
        const std::string name = path("mic.mrc");
        EXPECT_EQ(ctf_local_refine(name.c_str(), ".box", micrograph, kN, kN, box_type, 40.0f, kBox, 0.5f, display, epa,
                                   astig, 5.0f, kApix, 0.0f, kV, kCs, kAC, start.U, start.V, start.A, 0.123f, 600.0f,
                                   0.0f, 30.0f, 8.0f, average_type, log),
                  0);
    }
    // The same, returning standard output.
    std::string refine(int display, int epa, int astig, int average_type, FILE* log = nullptr) {
        testing::internal::CaptureStdout();
        run(display, epa, astig, average_type, log);
        return testing::internal::GetCapturedStdout();
    }
    // The rows of mic_local.star: the words of each data line.
    std::vector<std::vector<std::string>> star_rows() const {
        std::vector<std::vector<std::string>> rows;
        std::istringstream in(read("mic_local.star"));
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::vector<std::string> w;
            for (std::string x; words >> x;) w.push_back(x);
            if (w.size() == 14) rows.push_back(w);
        }
        return rows;
    }
    // Slice k of mic_local.ctf.
    std::vector<float> display_slice(int k) const {
        std::vector<float> slice((size_t)kBox * kBox);
        FILE* f = std::fopen(path("mic_local.ctf").c_str(), "rb");
        std::fseek(f, 1024 + (long)k * kBox * kBox * 4, SEEK_SET);
        EXPECT_EQ(std::fread(slice.data(), 4, slice.size(), f), slice.size());
        std::fclose(f);
        return slice;
    }
};

// Two particles inside, one whose neighbours all lie outside the micrograph.
const char* const kThreeBoxes = "96 96 64 64 0.9\n40 150 64 64 0.7\n1000 1000 64 64 0.5\n";

TEST_F(LocalRefineTest, RefinesEachParticleAndWritesItsRow) {
    write("mic.box", kThreeBoxes);
    Log log;
    const std::string out = refine(0, 0, 1, 0, log.f);
    EXPECT_NE(out.find("Writing out star file " + path("mic_local.star") + " for local refinement\n"),
              std::string::npos);
    EXPECT_NE(out.find("Using box file " + path("mic.box") + " for local refinement\n"), std::string::npos);
    EXPECT_NE(out.find("Total particle number for local refinement: 3\n"), std::string::npos);
    EXPECT_EQ(count_of(log.text(), "  Local Values\n"), 2) << log.text();
    EXPECT_NE(log.text().find("    1032    1032    12200.00    12600.00       25.00    0.123000  Local Values0\n"),
              std::string::npos);
    // Columns: name, x, y, kV, U, V, A, Cs, detector pixel, CCC, magnification, AC, box score, phase shift.
    const auto rows = star_rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(std::stof(rows[0][1]), 128.0f);
    EXPECT_EQ(std::stof(rows[0][2]), 128.0f);
    EXPECT_EQ(std::stof(rows[1][1]), 72.0f);
    EXPECT_EQ(std::stof(rows[1][2]), 182.0f);
    for (const auto& row : rows) {
        EXPECT_EQ(row[0], path("mic.mrc"));
        EXPECT_EQ(std::stof(row[3]), kV);
        EXPECT_EQ(std::stof(row[7]), kCs);
        EXPECT_EQ(std::stof(row[8]), 5.0f);       // detector pixel size
        EXPECT_EQ(std::stof(row[10]), 25000.0f);  // magnification 5 um * 10000 / 2 A
        EXPECT_EQ(std::stof(row[11]), kAC);
        EXPECT_EQ(std::stof(row[13]), 0.0f);  // phase shift
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        expect_near_ctf({std::stof(rows[i][4]), std::stof(rows[i][5]), std::stof(rows[i][6])}, truth, 80.0f, 8.0f);
        EXPECT_GT(std::stof(rows[i][9]), 0.1f);  // the normalised score
    }
    EXPECT_EQ(std::stof(rows[0][12]), 0.9f);  // the box's own score
    // The particle outside keeps the start values and the micrograph's score.
    EXPECT_EQ(std::stof(rows[2][4]), start.U);
    EXPECT_EQ(std::stof(rows[2][5]), start.V);
    EXPECT_EQ(std::stof(rows[2][6]), start.A);
    EXPECT_EQ(std::stof(rows[2][9]), 0.123f);
    EXPECT_EQ(std::stof(rows[2][12]), 0.5f);
}

// The display stack holds one slice per box; the slice of a particle without a
// box inside the micrograph shows the simulation at the start values beside
// zeros, whatever particle came before it.
TEST_F(LocalRefineTest, DisplaySlicesOfEveryParticleAreTheirOwn) {
    write("mic.box", kThreeBoxes);
    refine(1, 0, 0, 0);
    MRC_HEAD* h = mrcf_get_head(path("mic_local.ctf").c_str());
    EXPECT_EQ(h->nx, kBox);
    EXPECT_EQ(h->ny, kBox);
    EXPECT_EQ(h->nz, 3);
    EXPECT_EQ(h->mode, 2);
    mrc_delete_head(h);
    FILE* f = std::fopen(path("mic_local.ctf").c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    EXPECT_EQ(std::ftell(f), 1024 + 3 * kBox * kBox * 4);
    std::fclose(f);
    std::vector<std::vector<float>> slices;
    for (int k = 0; k < 3; ++k) {
        slices.push_back(display_slice(k));
        for (float v : slices.back()) ASSERT_TRUE(std::isfinite(v)) << k;
        EXPECT_EQ(slices.back()[(kBox / 2) * kBox + kBox / 2], 0.0f);
    }
    const std::vector<float>& outside = slices[2];
    for (int y = 0; y < kBox; ++y)
        for (int x = kBox / 2 - 1; x < kBox; ++x) EXPECT_EQ(outside[y * kBox + x], 0.0f) << x << " " << y;

    // The same particle alone, as the first slice of a new stack.
    write("mic.box", "1000 1000 64 64 0.5\n");
    refine(1, 0, 0, 0);
    EXPECT_EQ(display_slice(0), outside);
}

TEST_F(LocalRefineTest, WeightedAveragesAndEquiphaseDisplay) {
    write("mic.box", "96 96 64 64 0.9\n");
    for (int type : {1, 2, 7}) {
        SCOPED_TRACE(type);
        const std::string out = refine(1, 1, 0, type);
        EXPECT_EQ(out.find("Unknown local CTF average type! Will use equally average instead!") != std::string::npos,
                  type == 7);
        const auto rows = star_rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_NEAR(std::stof(rows[0][4]) + std::stof(rows[0][5]), truth.U + truth.V, 160.0f);
        EXPECT_NEAR(std::stof(rows[0][5]) - std::stof(rows[0][4]), 400.0f, 0.05f);  // no angle search: H fixed
        for (float v : display_slice(0)) ASSERT_TRUE(std::isfinite(v));
    }
}

TEST_F(LocalRefineTest, MissingBoxFileIsSkippedWithAWarning) {
    const std::string out = refine(1, 0, 1, 0);
    EXPECT_NE(out.find("\033[41m\033[1m\033[5mWarning in function ctf_local_refine(), file src/ctf_local on line "),
              std::string::npos);
    EXPECT_NE(out.find("the box file " + path("mic.box") +
                       " does NOT exist! Local refinement automatically ignored! Maybe you want to check the option "
                       "'--boxsuffix'  as well. \033[m\n\n"),
              std::string::npos)
        << out;
    EXPECT_FALSE(std::fopen(path("mic_local.star").c_str(), "r"));
}

TEST_F(LocalRefineTest, UnsupportedBoxTypesEndTheRun) {
    write("mic.box", kThreeBoxes);
    const struct {
        int type;
        const char* message;
    } cases[] = {{2, "LOCAL_REFINE_GIVENBOX unsupported in the current version!! Exit now!"},
                 {3, "LOCAL_REFINE_AUTOGRID unsupported in the current version!! Exit now!"},
                 {0, "unrecognized local_boxtype!! Exit now!"}};
    for (const auto& c : cases) {
        auto run_to_stderr = [&] {
            dup2(STDERR_FILENO, STDOUT_FILENO);  // the fatal line is printed on standard output
            run(0, 0, 0, 0, nullptr, c.type);
        };
        EXPECT_EXIT(run_to_stderr(), testing::ExitedWithCode(1), c.message) << c.type;
    }
}

}  // namespace
