// The CTF model and its kernels against hand-computed values and a
// double-precision reference of the formula written here, the 2D simulations
// against the 1D ones along lines, and the GPU forms against their host twins.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#define VORN_UNIT "tests/ctf_core"
#include "ctf_core.h"

namespace {

using Image = std::vector<float>;
const float kInf = std::numeric_limits<float>::infinity();
const double kPi = 3.14159265358979323846;

// ---- device arrays (fresh host-backend device memory is NaN, so unwritten elements show) ----
template <class T> T* to_device(const std::vector<T>& h) {
    T* d = nullptr;
    EXPECT_EQ(cudaMalloc((void**)&d, h.size() * sizeof(T)), cudaSuccess);
    EXPECT_EQ(memcpy_H2D(d, h.data(), h.size() * sizeof(T)), cudaSuccess);
    return d;
}
template <class T = float> T* device_array(size_t n) {
    T* d = nullptr;
    EXPECT_EQ(cudaMalloc((void**)&d, n * sizeof(T)), cudaSuccess);
    return d;
}
template <class T> std::vector<T> to_host(const T* d, size_t n) {
    std::vector<T> h(n);
    EXPECT_EQ(memcpy_D2H(h.data(), d, n * sizeof(T)), cudaSuccess);
    return h;
}
// Runs a device routine into a fresh array of n floats and returns the result.
template <class F> Image on_device(size_t n, F run) {
    float* d = device_array(n);
    run(d);
    Image h = to_host(d, n);
    cudaFree(d);
    return h;
}

// ---- the truth: the formula in double precision, in the amplitude-contrast form ----
struct Truth {
    double chig, chi, ctf, E;
};
double wavelength(double kV) {
    const double v = kV * 1000.0;
    return 12.2643247 / std::sqrt(v * (1.0 + 0.978466e-6 * v));
}
Truth truth(double s, double theta, const CTF_INFO& c) {
    const double lam = wavelength(c.kV);
    const double phi = theta - c.A * kPi / 180.0;
    const double df = c.U * std::cos(phi) * std::cos(phi) + c.V * std::sin(phi) * std::sin(phi);
    const double chig = kPi * lam * df * s * s - kPi / 2.0 * c.Cs * 1e7 * lam * lam * lam * s * s * s * s;
    const double shifted = chig + c.P * kPi / 180.0;
    const double ctf = std::sqrt(1.0 - (double)c.AC * c.AC) * std::sin(shifted) + c.AC * std::cos(shifted);
    return {chig, shifted + std::asin((double)c.AC), ctf, std::exp(-c.B * s * s / 4.0)};
}
double truth_mode(const Truth& t, char mode) {
    switch (mode) {
        case 'A': return std::fabs(t.ctf) * t.E;
        case 'F': return t.ctf * t.E;
        case 'W': return t.ctf * t.ctf * t.E;
        case 'S': return t.ctf >= 0 ? 1.0 : -1.0;
        case 'P': return t.chi;
        case 'E': return t.chi - kPi * std::floor(t.chi / kPi);
        case 'G': return t.chig;
        default: return 0.0;
    }
}
// Single-precision rounding of the phase grows with the phase itself.
double tolerance(const Truth& t, char mode) {
    const double phase_err = 1e-6 + 1e-6 * std::fabs(t.chi);
    return (mode == 'P' || mode == 'G' || mode == 'E') ? 4.0 * phase_err : 4.0 * phase_err + 1e-6;
}
// Whether the truth sits too near a sign change or a fold for single precision to decide.
bool ambiguous(const Truth& t, char mode) {
    if (mode == 'S') return std::fabs(t.ctf) < 1e-3;
    if (mode == 'E') {
        const double f = truth_mode(t, 'E');
        return f < 1e-3 || kPi - f < 1e-3;
    }
    return false;
}

const CTF_INFO kAstig{300.0f, 2.7f, 0.07f, 20.0f, 21000.0f, 18500.0f, 33.0f, 120.0f};
const char kModes[] = {'A', 'F', 'W', 'S', 'P', 'E', 'G', 'x'};

// Half spectrum frequency of element (i, j) as the layout defines it.
void half_polar(unsigned i, unsigned j, unsigned nxh, unsigned ny, float apix, double& s, double& theta) {
    const double x = i / (2.0 * (nxh - 1)), y = (j - 0.5 * ny) / ny;
    s = std::hypot(x, y) / apix;
    theta = std::atan2(y, x);
}

// ---- the formula ----

TEST(Model, WavelengthAt120_200_300kV) {
    const struct {
        float kV;
        double lambda;
    } cases[] = {{120.0f, 0.0334924}, {200.0f, 0.0250795}, {300.0f, 0.0196876}};
    for (const auto& c : cases) {
        EXPECT_NEAR(ctf_wavelength(c.kV), c.lambda, 5e-7) << c.kV;
        EXPECT_NEAR(ctf_wavelength((double)c.kV), c.lambda, 5e-7) << c.kV;
    }
}

TEST(Model, GeometricPhaseAtTwentyThousandAngstromAndTenthInverseAngstrom) {
    // 300 kV, Cs 2.7 mm, Df 20000 A, s 0.1/A: pi lambda Df s^2 = 12.3700, Cs term -0.0323.
    const CTF_INFO c{300.0f, 2.7f, 0.0f, 0.0f, 20000.0f, 20000.0f, 0.0f, 0.0f};
    EXPECT_NEAR(hd_ctfinfo_s(0.1f, 0.0f, c, 'G'), 12.3377, 1e-4);
    CTF_INFO no_cs = c;
    no_cs.Cs = 0.0f;
    EXPECT_NEAR(hd_ctfinfo_s(0.1f, 0.0f, no_cs, 'G') - hd_ctfinfo_s(0.1f, 0.0f, c, 'G'), 0.0323, 1e-4);
}

TEST(Model, EveryModeMatchesTheDoubleFormula) {
    const float freqs[] = {0.0f, 0.013f, 0.05f, 0.11f, 0.2f, 0.31f};
    const float thetas[] = {-1.5f, -0.4f, 0.0f, 0.7f, 1.57f};
    const CTF_INFO records[] = {kAstig,
                                {200.0f, 0.01f, 0.1f, 0.0f, 9000.0f, 9000.0f, 0.0f, 0.0f},
                                {120.0f, 2.0f, 0.0f, 90.0f, 15000.0f, 16000.0f, -70.0f, -50.0f}};
    int checked = 0;
    for (const CTF_INFO& c : records)
        for (float s : freqs)
            for (float th : thetas) {
                const Truth t = truth(s, th, c);
                for (char m : kModes) {
                    if (ambiguous(t, m)) continue;
                    EXPECT_NEAR(hd_ctfinfo_s(s, th, c, m), truth_mode(t, m), tolerance(t, m))
                        << "mode " << m << " s " << s << " theta " << th;
                    EXPECT_NEAR(ctf_model_value<double>(s, th, c, m), truth_mode(t, m), 1e-9 + 1e-12 * std::fabs(t.chi))
                        << "double model, mode " << m;
                    ++checked;
                }
            }
    EXPECT_GT(checked, 600);
}

TEST(Model, ModeRelationsAtChosenPoints) {
    CTF_INFO c{300.0f, 2.7f, 0.0f, 0.0f, 20000.0f, 20000.0f, 0.0f, 0.0f};
    // AC = 0, P = 0: the full phase is the geometric one; AC = 0.1 adds asin(0.1).
    EXPECT_EQ(hd_ctfinfo_s(0.07f, 0.3f, c, 'P'), hd_ctfinfo_s(0.07f, 0.3f, c, 'G'));
    c.AC = 0.1f;
    EXPECT_NEAR(hd_ctfinfo_s(0.07f, 0.3f, c, 'P') - hd_ctfinfo_s(0.07f, 0.3f, c, 'G'), 0.100167, 2e-6);
    // At s = 0 with AC = 0 and P = 0 the CTF is +0: sign +1, 'F' 0.
    c.AC = 0.0f;
    EXPECT_EQ(hd_ctfinfo_s(0.0f, 0.0f, c, 'S'), 1.0f);
    EXPECT_EQ(hd_ctfinfo_s(0.0f, 0.0f, c, 'F'), 0.0f);
    // A phase of -pi/2 (P = -90) folds to pi/2; a NaN amplitude contrast gives sign -1.
    c.P = -90.0f;
    EXPECT_NEAR(hd_ctfinfo_s(0.0f, 0.0f, c, 'E'), kPi / 2, 1e-6);
    c.AC = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(hd_ctfinfo_s(0.05f, 0.0f, c, 'S'), -1.0f);
    // Envelope once: 'W' is CTF^2 E, not (CTF E)^2.
    CTF_INFO b{300.0f, 2.7f, 0.07f, 0.0f, 20000.0f, 20000.0f, 0.0f, 400.0f};
    const Truth t = truth(0.15, 0.0, b);
    EXPECT_NEAR(hd_ctfinfo_s(0.15f, 0.0f, b, 'W'), t.ctf * t.ctf * t.E, 1e-5);
}

TEST(Model, TurningAByNinetyDegreesSwapsUAndV) {
    const CTF_INFO a{300.0f, 2.7f, 0.07f, 0.0f, 22000.0f, 19000.0f, 25.0f, 0.0f};
    CTF_INFO b = a;
    b.U = a.V;
    b.V = a.U;
    b.A = a.A + 90.0f;
    for (float th = -1.5f; th < 1.5f; th += 0.25f)
        EXPECT_NEAR(hd_ctfinfo_s(0.12f, th, a, 'P'), hd_ctfinfo_s(0.12f, th, b, 'P'), 2e-4) << th;
}

TEST(Model, BandIsClosedAndSwappedLimitsAreEmpty) {
    EXPECT_TRUE(ctf_in_band(1.0f / 30.0f, RESO{30.0f, 4.0f}));
    EXPECT_TRUE(ctf_in_band(1.0f / 4.0f, RESO{30.0f, 4.0f}));
    EXPECT_FALSE(ctf_in_band(0.26f, RESO{30.0f, 4.0f}));
    EXPECT_FALSE(ctf_in_band(0.0f, RESO{30.0f, 4.0f}));
    EXPECT_TRUE(ctf_in_band(0.0f, RESO{kInf, 4.0f}));
    EXPECT_FALSE(ctf_in_band(0.1f, RESO{4.0f, 30.0f}));
    EXPECT_FALSE(ctf_in_band(std::numeric_limits<float>::quiet_NaN(), RESO{kInf, 0.0f}));
}

// ---- 1D profiles ----

// Profile of n bins, bin i at i/(2(n-1) apix), against the double formula with Df = defocus.
void expect_profile(const Image& got, unsigned n, float apix, const CTF_INFO& c, RESO band, char mode,
                    const std::string& what) {
    ASSERT_EQ(got.size(), n);
    for (unsigned i = 0; i < n; ++i) {
        const double s = i / (2.0 * (n - 1) * apix);
        const bool in = s >= 1.0 / band.resL - 1e-7 && s <= 1.0 / band.resH + 1e-7;
        if (!in) {
            EXPECT_EQ(got[i], 0.0f) << what << " bin " << i;
            continue;
        }
        const Truth t = truth(s, 0.0, c);
        if (!ambiguous(t, mode)) {
            EXPECT_NEAR(got[i], truth_mode(t, mode), tolerance(t, mode)) << what << " bin " << i;
        }
    }
}

TEST(Profiles, ModeFormsMatchTheFormulaOnDeviceAndHost) {
    const unsigned n = 257;
    const float apix = 1.3f;
    const CTF_INFO c{300.0f, 2.7f, 0.07f, 30.0f, 17000.0f, 17000.0f, 0.0f, 80.0f};
    const RESO band{40.0f, 3.0f};
    for (char m : kModes) {
        const std::string what = std::string("mode ") + m;
        const Image dev = on_device(n, [&](float* d) {
            hcuda_ctf_sim_1dh_c(d, n, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.B, band.resL, band.resH, m);
        });
        expect_profile(dev, n, apix, c, band, m, what);
        Image host(n), gpu(n);
        cpu_ctf_sim_1dh_c(host.data(), n, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.B, band.resL, band.resH, m);
        gpu_ctf_sim_1dh_c(gpu.data(), n, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.B, band.resL, band.resH, m);
        EXPECT_EQ(host, dev) << what;
        EXPECT_EQ(gpu, dev) << what;
    }
}

TEST(Profiles, PFirstModAndPhaseSortTheirLimits) {
    const int n = 301;
    const float apix = 0.9f;
    const CTF_INFO c{200.0f, 2.0f, 0.1f, 45.0f, 12000.0f, 12000.0f, 0.0f, 150.0f};
    const RESO band{25.0f, 2.5f};
    auto mod = [&](float l1, float l2) {
        return on_device(n, [&](float* d) { hcuda_ctf_mod_simulate_1d(d, apix, n, c.P, c.kV, c.Cs, c.AC, c.U, c.B, l1, l2); });
    };
    auto phase = [&](float l1, float l2, float B) {
        return on_device(n, [&](float* d) { hcuda_ctf_phase_simulate_1d(d, apix, n, c.P, c.kV, c.Cs, c.AC, c.U, B, l1, l2); });
    };
    const Image m = mod(band.resL, band.resH);
    expect_profile(m, n, apix, c, band, 'A', "mod");
    EXPECT_EQ(mod(band.resH, band.resL), m);
    const Image p = phase(band.resL, band.resH, c.B);
    expect_profile(p, n, apix, c, band, 'P', "phase");
    EXPECT_EQ(phase(band.resH, band.resL, 0.0f), p) << "phase: limits in either order, B not read";
}

TEST(Profiles, MultiDefocusTableHoldsOneProfilePerDefocus) {
    const int n = 129, ndef = 37;  // not multiples of the 32 x 32 block
    const float apix = 1.1f;
    const CTF_INFO c{300.0f, 2.7f, 0.07f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    std::vector<float> defocus(ndef);
    for (int k = 0; k < ndef; ++k) defocus[k] = 5000.0f + 500.0f * k;
    float* dd = to_device(defocus);
    auto table = [&](float resL, float resH) {
        return on_device((size_t)n * ndef, [&](float* d) {
            hcuda_ctf_mod_simulate_1ds_multi_defocus(d, apix, n, c.P, c.kV, c.Cs, c.AC, dd, ndef, c.B, resL, resH);
        });
    };
    const Image t = table(30.0f, 3.0f);
    for (int k = 0; k < ndef; ++k) {
        CTF_INFO ck = c;
        ck.U = ck.V = defocus[k];
        expect_profile(Image(t.begin() + (size_t)k * n, t.begin() + (size_t)(k + 1) * n), n, apix, ck,
                       RESO{30.0f, 3.0f}, 'A', "defocus " + std::to_string(k));
    }
    for (float v : table(3.0f, 30.0f)) ASSERT_EQ(v, 0.0f) << "swapped limits are not sorted here";
    cudaFree(dd);
}

TEST(Profiles, StacksAndDegenerateSizes) {
    const unsigned n = 65;
    const float defocus[] = {8000.0f, 14000.0f, 8000.0f};
    Image host(3 * n), gpu(3 * n);
    cpu_ctf_sim_1dhs_c(host.data(), n, 1.0f, 3, 300.0f, 2.7f, 0.1f, 0.0f, defocus, 50.0f, 50.0f, 2.0f, 'F');
    gpu_ctf_sim_1dhs_c(gpu.data(), n, 1.0f, 3, 300.0f, 2.7f, 0.1f, 0.0f, defocus, 50.0f, 50.0f, 2.0f, 'F');
    EXPECT_EQ(gpu, host);
    for (unsigned k = 0; k < 3; ++k) {
        Image one(n);
        cpu_ctf_sim_1dh_c(one.data(), n, 1.0f, 300.0f, 2.7f, 0.1f, 0.0f, defocus[k], 50.0f, 50.0f, 2.0f, 'F');
        EXPECT_EQ(Image(host.begin() + k * n, host.begin() + (k + 1) * n), one) << k;
    }
    // No profiles: nothing written.
    Image untouched(n, 7.0f);
    gpu_ctf_sim_1dhs_c(untouched.data(), n, 1.0f, 0, 300.0f, 2.7f, 0.1f, 0.0f, defocus, 0.0f, 50.0f, 2.0f, 'F');
    float* d = to_device(untouched);
    hcuda_ctf_sim_1dhs_c(d, n, 1.0f, 0, 300.0f, 2.7f, 0.1f, 0.0f, defocus, 0.0f, 50.0f, 2.0f, 'F');
    EXPECT_EQ(to_host(d, n), Image(n, 7.0f));
    cudaFree(d);
    // One point has no frequency: it is written as 0, even with an open band.
    Image one(1, 7.0f);
    gpu_ctf_sim_1dh_c(one.data(), 1, 1.0f, 300.0f, 2.7f, 0.1f, 0.0f, 9000.0f, 0.0f, kInf, 0.0f, 'P');
    EXPECT_EQ(one[0], 0.0f);
}

// ---- 2D simulations ----

TEST(Plane, HalfSpectrumMatchesTheFormulaAndTheProfileAlongTheXAxis) {
    const unsigned nx = 128, ny = 96, nxh = nx / 2 + 1;  // not square: the azimuth is the scaled vector's
    const float apix = 1.2f;
    const RESO band{50.0f, 2.5f};
    for (char m : {'A', 'F', 'P', 'G'}) {
        Image h(nxh * ny);
        gpu_ctf_sim_2dh_c(h.data(), nxh, ny, apix, kAstig.kV, kAstig.Cs, kAstig.AC, kAstig.P, kAstig.U, kAstig.V,
                          kAstig.A, kAstig.B, band.resL, band.resH, m);
        for (unsigned j = 0; j < ny; j += 5)
            for (unsigned i = 0; i < nxh; i += 3) {
                double s, th;
                half_polar(i, j, nxh, ny, apix, s, th);
                const float got = h[j * nxh + i];
                if (!(s >= 1.0 / band.resL + 1e-6 && s <= 1.0 / band.resH - 1e-6)) {
                    if (s < 1.0 / band.resL - 1e-6 || s > 1.0 / band.resH + 1e-6) {
                        EXPECT_EQ(got, 0.0f);
                    }
                    continue;
                }
                const Truth t = truth(s, th, kAstig);
                EXPECT_NEAR(got, truth_mode(t, m), tolerance(t, m)) << m << " at " << i << "," << j;
            }
        // The centre row is the x axis: the 1D profile with the defocus there, U cos^2 A + V sin^2 A.
        const double a = kAstig.A * kPi / 180.0;
        const float df = (float)(kAstig.U * std::cos(a) * std::cos(a) + kAstig.V * std::sin(a) * std::sin(a));
        Image p(nxh);
        cpu_ctf_sim_1dh_c(p.data(), nxh, apix, kAstig.kV, kAstig.Cs, kAstig.AC, kAstig.P, df, kAstig.B, band.resL,
                          band.resH, m);
        for (unsigned i = 0; i < nxh; ++i) EXPECT_NEAR(h[(ny / 2) * nxh + i], p[i], 2e-4) << m << " column " << i;
    }
}

TEST(Plane, FullImageColumnThroughTheCentreIsTheProfileWithDefocusU) {
    // A = 90: the +y axis is the astigmatism direction, so the centre column carries U.
    const unsigned nx = 96, ny = 96, n = ny / 2 + 1;
    const float apix = 1.0f;
    const CTF_INFO c{300.0f, 2.7f, 0.07f, 0.0f, 15000.0f, 24000.0f, 90.0f, 30.0f};
    Image img(nx * ny), p(n);
    gpu_ctf_sim_2d_c(img.data(), nx, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, c.B, 60.0f, 2.0f, 'F');
    cpu_ctf_sim_1dh_c(p.data(), n, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.B, 60.0f, 2.0f, 'F');
    for (unsigned k = 0; k < ny / 2; ++k) EXPECT_NEAR(img[(ny / 2 + k) * nx + nx / 2], p[k], 2e-4) << k;
    // And the row through the centre, to the right, carries V.
    cpu_ctf_sim_1dh_c(p.data(), n, apix, c.kV, c.Cs, c.AC, c.P, c.V, c.B, 60.0f, 2.0f, 'F');
    for (unsigned k = 0; k < nx / 2; ++k) EXPECT_NEAR(img[(ny / 2) * nx + nx / 2 + k], p[k], 2e-4) << k;
    Image dev = on_device(nx * ny, [&](float* d) {
        hcuda_ctf_sim_2d_c(d, nx, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, c.B, 60.0f, 2.0f, 'F');
    });
    EXPECT_EQ(dev, img);
}

TEST(Plane, EqualDefocusIsRotationallySymmetricAndIndependentOfA) {
    const unsigned nxh = 33, ny = 64;
    Image a(nxh * ny), b(nxh * ny);
    gpu_ctf_sim_2dh_c(a.data(), nxh, ny, 1.0f, 300.0f, 2.7f, 0.07f, 0.0f, 12000.0f, 12000.0f, 0.0f, 0.0f, 40.0f, 2.0f, 'A');
    gpu_ctf_sim_2dh_c(b.data(), nxh, ny, 1.0f, 300.0f, 2.7f, 0.07f, 0.0f, 12000.0f, 12000.0f, 71.0f, 0.0f, 40.0f, 2.0f, 'A');
    for (size_t e = 0; e < a.size(); ++e) ASSERT_NEAR(a[e], b[e], 1e-4) << e;
    // (i, ny/2 + k) and (k, ny/2 + i): the same radius.
    for (unsigned i = 0; i < 20; ++i)
        for (unsigned k = 0; k < 20; ++k) EXPECT_NEAR(a[(ny / 2 + k) * nxh + i], a[(ny / 2 + i) * nxh + k], 1e-4);
}

TEST(Plane, PFirstHalfSpectraAgreeWithTheModeFormOnASquareImage) {
    const unsigned nx = 64, ny = 64, nxh = nx / 2 + 1;
    const float apix = 1.4f, B = 90.0f;
    const CTF_INFO c{300.0f, 2.7f, 0.07f, 10.0f, 20000.0f, 17000.0f, -20.0f, B};
    Image moded(nxh * ny);
    gpu_ctf_sim_2dh_c(moded.data(), nxh, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, B, 30.0f, 3.0f, 'A');
    const Image mod = on_device(nxh * ny, [&](float* d) {
        hcuda_ctf_mod_simulate_2dh(d, apix, nxh, ny, c.P, c.kV, c.Cs, c.AC, c.U, c.V, c.A, B, 30.0f, 3.0f);
    });
    const Image pw = on_device(nxh * ny, [&](float* d) {
        hcuda_ctf_pow_simulate_2dh(d, apix, nxh, ny, c.P, c.kV, c.Cs, c.AC, c.U, c.V, c.A, B, 30.0f, 3.0f);
    });
    for (unsigned j = 0; j < ny; ++j)
        for (unsigned i = 0; i < nxh; ++i) {
            const size_t e = j * nxh + i;
            ASSERT_NEAR(mod[e], moded[e], 2e-4) << i << "," << j;
            double s, th;
            half_polar(i, j, nxh, ny, apix, s, th);
            const double E = std::exp(-B * s * s / 4.0);
            ASSERT_NEAR(pw[e], (double)mod[e] * mod[e] / E, 2e-4) << i << "," << j;
        }
}

TEST(Plane, PFirstFullImageAgreesWithItsKvFirstHostTwinOnEvenSquareImages) {
    const int nx = 72, ny = 72;
    const float apix = 1.0f;
    const CTF_INFO c{300.0f, 2.7f, 0.07f, 0.0f, 16000.0f, 19000.0f, 40.0f, 60.0f};
    const Image dev = on_device((size_t)nx * ny, [&](float* d) {
        GPU_LAUNCH(cuda_ctf_mod_simulate_2d, gpu_grid_2d(nx, ny), gpu_block_2d(), 0)
        (d, apix, nx, ny, c.P, c.kV, c.Cs, c.AC, c.U, c.V, c.A, c.B, 50.0f, 2.0f);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    });
    Image host((size_t)nx * ny);
    cpu_ctf_mod_sim_2d(host.data(), apix, nx, ny, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, c.B, 50.0f, 2.0f);
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const double x = (i - nx / 2) / (double)nx, y = (j - ny / 2) / (double)ny;
            const double s = std::hypot(x, y) / apix;
            const size_t e = (size_t)j * nx + i;
            if (s < 1.0 / 50.0 - 1e-6 || s > 0.5 + 1e-6) {
                ASSERT_EQ(host[e], 0.0f);
                ASSERT_EQ(dev[e], 0.0f);
                continue;
            }
            if (s < 1.0 / 50.0 + 1e-6 || s > 0.5 - 1e-6) continue;
            const Truth t = truth(s, std::atan2(y, x), c);
            // Double throughout, from the single-precision frequency and azimuth.
            ASSERT_NEAR(host[e], std::fabs(t.ctf) * t.E, 2e-5) << i << "," << j;
            ASSERT_NEAR(dev[e], host[e], 2e-4) << i << "," << j;
        }
    // The centre pixel has s = 0: outside a band with a finite low limit.
    EXPECT_EQ(dev[(size_t)(ny / 2) * nx + nx / 2], 0.0f);
}

}  // namespace
