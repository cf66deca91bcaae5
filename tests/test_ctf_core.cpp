// The CTF model and its kernels against hand-computed values and a
// double-precision reference of the formula written here, the 2D simulations
// against the 1D ones along lines, and the GPU forms against their host twins.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#define VORN_UNIT "tests/ctf_core"
#include "ctf_core.h"
#include "device_arrays_fixture.h"

namespace {

using Image = std::vector<float>;
const float kInf = std::numeric_limits<float>::infinity();
const double kPi = 3.14159265358979323846;

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
        return on_device(
            n, [&](float* d) { hcuda_ctf_mod_simulate_1d(d, apix, n, c.P, c.kV, c.Cs, c.AC, c.U, c.B, l1, l2); });
    };
    auto phase = [&](float l1, float l2, float B) {
        return on_device(
            n, [&](float* d) { hcuda_ctf_phase_simulate_1d(d, apix, n, c.P, c.kV, c.Cs, c.AC, c.U, B, l1, l2); });
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
    gpu_ctf_sim_2dh_c(a.data(), nxh, ny, 1.0f, 300.0f, 2.7f, 0.07f, 0.0f, 12000.0f, 12000.0f, 0.0f, 0.0f, 40.0f, 2.0f,
                      'A');
    gpu_ctf_sim_2dh_c(b.data(), nxh, ny, 1.0f, 300.0f, 2.7f, 0.07f, 0.0f, 12000.0f, 12000.0f, 71.0f, 0.0f, 40.0f, 2.0f,
                      'A');
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

// ---- equiphase averaging and band operations ----
namespace {

// A centred half spectrum (nx = N/2 + 1 columns, ny rows) of f(s, theta), frequency of the layout.
template <class F> Image half_of(unsigned nx, unsigned ny, float apix, F f) {
    Image h((size_t)nx * ny);
    for (unsigned j = 0; j < ny; ++j)
        for (unsigned i = 0; i < nx; ++i) {
            double s, th;
            half_polar(i, j, nx, ny, apix, s, th);
            h[(size_t)j * nx + i] = (float)f(s, th);
        }
    return h;
}
struct Epa {
    unsigned nx, ny;
    float apix;
    CTF_INFO c;
    Image profile(const Image& in, int k, float low, float high) const {
        float* d = to_device(in);
        const Image p = on_device(k * (nx - 1) + 1, [&](float* o) {
            hcuda_2dh_X_EPA_res(o, k, d, nx, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, low, high);
        });
        cudaFree(d);
        return p;
    }
};
// The smaller frequency at which the geometric phase along the x axis reaches T (double).
double x_axis_frequency(const CTF_INFO& c, double T) {
    const double lam = wavelength(c.kV), a = c.A * kPi / 180.0;
    const double df = c.U * std::cos(a) * std::cos(a) + c.V * std::sin(a) * std::sin(a);
    const double a2 = kPi * lam * df, a4 = kPi / 2.0 * c.Cs * 1e7 * lam * lam * lam;
    return std::sqrt(2.0 * T / (a2 + std::sqrt(a2 * a2 - 4.0 * a4 * T)));
}

}  // namespace

TEST(Epa, AstigmaticRingsAverageLikeTheRoundOnesWithTheSameAxisDefocus) {
    const unsigned N = 128, nx = N / 2 + 1, ny = N;
    // Rings a few pixels apart at Nyquist, so that the pixels resolve them.
    const float apix = 2.0f;
    const CTF_INFO astig{300.0f, 2.7f, 0.07f, 0.0f, 6000.0f, 4000.0f, 30.0f, 0.0f};
    const double a = astig.A * kPi / 180.0;
    const float dfx = (float)(astig.U * std::cos(a) * std::cos(a) + astig.V * std::sin(a) * std::sin(a));
    const CTF_INFO round{300.0f, 2.7f, 0.07f, 0.0f, dfx, dfx, 0.0f, 0.0f};
    auto rings = [](const CTF_INFO& c) {
        return [c](double s, double th) { return std::pow(std::sin(truth(s, th, c).chig), 2); };
    };
    const float low = 80.0f, high = 2 * apix;
    const Image pa = Epa{nx, ny, apix, astig}.profile(half_of(nx, ny, apix, rings(astig)), 1, low, high);
    const Image pr = Epa{nx, ny, apix, round}.profile(half_of(nx, ny, apix, rings(round)), 1, low, high);
    double lo = 1, hi = 0;
    for (unsigned i = 4; i < nx - 1; ++i) {
        EXPECT_NEAR(pa[i], pr[i], 0.03) << "bin " << i;
        lo = std::min(lo, (double)pa[i]);
        hi = std::max(hi, (double)pa[i]);
    }
    EXPECT_GT(hi - lo, 0.4) << "the rings keep their contrast";
}

TEST(Epa, ConstantSpectrumAndBinsOutsideTheBand) {
    const unsigned nx = 33, ny = 64;
    const Epa epa{nx, ny, 1.0f, kAstig};
    for (float v : epa.profile(Image(nx * ny, 3.0f), 2, 1e30f, 2.0f)) ASSERT_NEAR(v, 3.0f, 1e-4);
    // Outside [1/20, 1/4] a bin copies the centre row at column i/k.
    Image numbered(nx * ny);
    for (size_t e = 0; e < numbered.size(); ++e) numbered[e] = (float)e;
    for (int k : {1, 3}) {
        const Image p = epa.profile(numbered, k, 20.0f, 4.0f);
        for (unsigned i = 0; i < p.size(); ++i) {
            const double s = i / (2.0 * (nx - 1) * k);
            if (s < 1.0 / 20 - 1e-6 || s > 0.25 + 1e-6) {
                EXPECT_EQ(p[i], numbered[(ny / 2) * nx + i / k]) << "k " << k << " bin " << i;
            }
        }
    }
}

TEST(Epa, AnAzimuthWithoutTheContourAddsNothing) {
    // Along y the defocus is 1000 A: with Cs 2.7 mm its phase never passes 2.96 rad,
    // so most bins have no contour near +-90 degrees. Nothing may be sampled there:
    // a bright patch near the +y axis far out must not leak into the profile.
    const unsigned N = 128, nx = N / 2 + 1, ny = N;
    const float apix = 0.4f;
    Image in(nx * ny, 1.0f);
    for (unsigned y = 108; y < 122; ++y)
        for (unsigned x = 0; x < 3; ++x) in[y * nx + x] = 1000.0f;
    const CTF_INFO c{300.0f, 2.7f, 0.0f, 0.0f, 20000.0f, 1000.0f, 0.0f, 0.0f};
    const Image p = Epa{nx, ny, apix, c}.profile(in, 1, 100.0f, 2 * apix);
    for (unsigned i = 1; i < nx; ++i) EXPECT_NEAR(p[i], 1.0f, 1e-3) << "bin " << i;
}

TEST(Epa, DegenerateDefocusGivesFiniteProfilesQuickly) {
    const unsigned nx = 65, ny = 128;
    const Image in = half_of(nx, ny, 1.0f, [](double s, double) { return 1.0 + s; });
    const CTF_INFO cases[] = {{300.0f, 0.0f, 0.1f, 0.0f, 1000.0f, -1000.0f, 10.0f, 0.0f},
                              {300.0f, 0.0f, 0.1f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},
                              {300.0f, 2.7f, 0.1f, 0.0f, -8000.0f, -9000.0f, 0.0f, 0.0f},
                              {300.0f, 0.0f, 0.1f, 0.0f, 30000.0f, 1e-3f, 45.0f, 0.0f},
                              // At the first azimuth (-90 degrees) the defocus is ~1e-11 A: the
                              // contour lies ~1e9 pixels out, where a half-pixel step no longer moves.
                              {300.0f, 0.0f, 0.1f, 0.0f, 30000.0f, 0.0f, 0.0f, 0.0f}};
    for (const CTF_INFO& c : cases)
        for (float v : Epa{nx, ny, 1.0f, c}.profile(in, 2, 1e30f, 2.0f)) ASSERT_TRUE(std::isfinite(v)) << c.U;
}

TEST(Epa, APairWalkedAtOnceEqualsTwoSingleWalksBitForBit) {
    // Profiles of 3 and 4 launch blocks (a grid with an empty block, and a full one), the last block partly used.
    const struct {
        unsigned nx;
        int k;
    } sizes[] = {{33, 2}, {25, 4}, {17, 5}};
    for (const auto& z : sizes) {
        const unsigned nx = z.nx, ny = 2 * (nx - 1);
        const Image a = half_of(nx, ny, 1.0f, [](double s, double th) {
            return std::pow(std::sin(truth(s, th, kAstig).chig), 2) + 0.1 * std::cos(3 * th);
        });
        const Image b =
            half_of(nx, ny, 1.0f, [](double s, double th) { return std::log(1.0 + s) * (2 + std::sin(th)); });
        const Epa epa{nx, ny, 1.0f, kAstig};
        const float low = 40.0f, high = 2.2f;
        const size_t n = (size_t)z.k * (nx - 1) + 1;
        float* da = to_device(a);
        float* db = to_device(b);
        Image pb;
        const Image pa = on_device(n, [&](float* oa) {
            pb = on_device(n, [&](float* ob) {
                hcuda_2dh_X_EPA_res_pair(oa, ob, z.k, da, db, nx, ny, 1.0f, kAstig.kV, kAstig.Cs, kAstig.AC, kAstig.P,
                                         kAstig.U, kAstig.V, kAstig.A, low, high);
            });
        });
        cudaFree(da);
        cudaFree(db);
        const Image sa = epa.profile(a, z.k, low, high), sb = epa.profile(b, z.k, low, high);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(std::isfinite(sa[i]) && std::isfinite(sb[i])) << "nx " << nx << " bin " << i;
            ASSERT_EQ(std::memcmp(&pa[i], &sa[i], sizeof(float)), 0) << "nx " << nx << " bin " << i;
            ASSERT_EQ(std::memcmp(&pb[i], &sb[i], sizeof(float)), 0) << "nx " << nx << " bin " << i;
        }
    }
}

namespace {
uint64_t bits_hash(const Image& v) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a over the bytes
    for (float f : v) {
        uint32_t b;
        std::memcpy(&b, &f, sizeof b);
        for (int i = 0; i < 4; ++i) h = (h ^ ((b >> (8 * i)) & 255u)) * 1099511628211ull;
    }
    return h;
}
}  // namespace

TEST(Epa, ProfilesAreBitForBitThoseOfTheSampleBySampleWalk) {
    // The walk computes its samples in batches but must add the same samples in
    // the same order as one that takes them one at a time; these are the
    // profiles (spectrum and log of a pair, then the log alone) that walk gave.
    // Inputs need no maths library, so they are the same everywhere; the last
    // case has stretches too long for a batch.
    const struct {
        unsigned nx;
        int k;
        float apix, U, V, A, low, high;
        uint64_t pair_a, pair_b, single;
    } cases[] = {
        {65, 4, 1.0f, 21000.0f, 18500.0f, 33.0f, 40.0f, 2.2f, 0x4b7dc0abe6ea0762ull, 0x5d23b4ec404f838aull,
         0x5d23b4ec404f838aull},
        {129, 1, 1.3f, 9000.0f, 8200.0f, -20.0f, 60.0f, 2.7f, 0x6cd7fe65ff8cb959ull, 0xe0a809a4846e2397ull,
         0xe0a809a4846e2397ull},
        {97, 3, 2.0f, 3000.0f, 1200.0f, 80.0f, 200.0f, 4.1f, 0x099fa386485a294full, 0xa5f7727d87803e46ull,
         0xa5f7727d87803e46ull},
    };
    for (const auto& c : cases) {
        const unsigned ny = 2 * (c.nx - 1);
        const size_t npix = (size_t)c.nx * ny, n = (size_t)c.k * (c.nx - 1) + 1;
        Image a(npix), b(npix);
        for (size_t e = 0; e < npix; ++e) {
            a[e] = (float)((e * 2654435761u) % 1000) * 0.001f;
            b[e] = (float)(e % 97) - 40.0f;
        }
        float* da = to_device(a);
        float* db = to_device(b);
        Image pb;
        const Image pa = on_device(n, [&](float* oa) {
            pb = on_device(n, [&](float* ob) {
                hcuda_2dh_X_EPA_res_pair(oa, ob, c.k, da, db, c.nx, ny, c.apix, 300.0f, 2.7f, 0.07f, 0.0f, c.U, c.V,
                                         c.A, c.low, c.high);
            });
        });
        const Image p1 = on_device(n, [&](float* o) {
            hcuda_2dh_X_EPA_res(o, c.k, db, c.nx, ny, c.apix, 300.0f, 2.7f, 0.07f, 0.0f, c.U, c.V, c.A, c.low, c.high);
        });
        cudaFree(da);
        cudaFree(db);
        EXPECT_EQ(bits_hash(pa), c.pair_a) << "nx " << c.nx;
        EXPECT_EQ(bits_hash(pb), c.pair_b) << "nx " << c.nx;
        EXPECT_EQ(bits_hash(p1), c.single) << "nx " << c.nx;
    }
}

TEST(Epa, StacksSumTheirSlicesAndAnEmptyStackIsZero) {
    const unsigned nx = 33, ny = 64, nz = 2;
    const float apix = 1.0f, low = 30.0f, high = 2.5f;
    const Image one =
        half_of(nx, ny, apix, [](double s, double th) { return std::pow(std::sin(truth(s, th, kAstig).chig), 2); });
    Image stack(one);
    stack.insert(stack.end(), one.begin(), one.end());
    const std::vector<UVA_c> uva(nz, UVA_c{kAstig.U, kAstig.V, kAstig.A});
    float* ds = to_device(stack);
    UVA_c* du = to_device(uva);
    const Image single = Epa{nx, ny, apix, kAstig}.profile(one, 1, low, high);
    const Image summed = on_device(nx, [&](float* o) {
        hcuda_2dhs_X_EPA_res(o, 1, ds, nx, ny, nz, apix, kAstig.kV, kAstig.Cs, kAstig.AC, kAstig.P, du, low, high);
    });
    for (unsigned i = 0; i < nx; ++i) EXPECT_NEAR(summed[i], single[i], 1e-5) << i;
    for (float v : on_device(nx, [&](float* o) {
             hcuda_2dhs_X_EPA_res(o, 1, ds, nx, ny, 0, apix, kAstig.kV, kAstig.Cs, kAstig.AC, kAstig.P, du, low, high);
         }))
        EXPECT_EQ(v, 0.0f);
    // 2D averages: the host-array form agrees with the device form; no slice gives zeros.
    const Image dev = on_device(nx * ny, [&](float* o) {
        hcuda_2dhs_EPA(o, ds, nx, ny, nz, apix, kAstig.kV, kAstig.Cs, kAstig.AC, kAstig.P, du, low, high);
    });
    Image host(nx * ny);
    gpu_2dhs_EPA(host.data(), stack.data(), nx, ny, nz, apix, kAstig.kV, kAstig.Cs, kAstig.AC, kAstig.P, uva.data(),
                 low, high);
    EXPECT_EQ(host, dev);
    gpu_2dhs_EPA(host.data(), stack.data(), nx, ny, 0, apix, kAstig.kV, kAstig.Cs, kAstig.AC, kAstig.P, uva.data(), low,
                 high);
    EXPECT_EQ(host, Image(nx * ny, 0.0f));
    cudaFree(ds);
    cudaFree(du);
}

TEST(EpaMapBack, EachElementTakesTheProfileAtTheXAxisFrequencyOfEqualPhase) {
    const unsigned N = 64, nx = N / 2 + 1, ny = N;
    const float apix = 1.0f, low = 20.0f, high = 2.5f;
    const double R = 2.0 * (nx - 1) * apix;
    Image ramp(nx);  // profile value = its bin, so the map-back shows the position it read
    for (unsigned i = 0; i < nx; ++i) ramp[i] = (float)i;
    Image in(nx * ny);
    for (size_t e = 0; e < in.size(); ++e) in[e] = (float)(e % 7);
    float* dp = to_device(ramp);
    float* di = to_device(in);
    for (const CTF_INFO& c : {CTF_INFO{300.0f, 2.7f, 0.07f, 0.0f, 15000.0f, 15000.0f, 0.0f, 0.0f}, kAstig}) {
        auto run = [&](bool weighted) {
            return on_device(nx * ny, [&](float* o) {
                if (weighted)
                    hcuda_2dh_EPA_from_1d(o, dp, di, nx, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, low, high);
                else
                    hcuda_2dh_EPA_from_1d3(o, dp, di, nx, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, low, high);
            });
        };
        const Image w = run(true), u = run(false);
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x) {
                const size_t e = (size_t)y * nx + x;
                double s, th;
                half_polar(x, y, nx, ny, apix, s, th);
                if (s < 1.0 / low - 1e-6 || s > 1.0 / high + 1e-6) {
                    EXPECT_EQ(w[e], s < 1.0 / low ? 0.0f : in[e]) << x << "," << y;
                    continue;
                }
                if (std::fabs(s - 1.0 / low) < 1e-6 || std::fabs(s - 1.0 / high) < 1e-6) continue;
                const double pos = R * x_axis_frequency(c, truth(s, th, c).chig);
                if (pos < 0.01 || pos > nx - 1.01) continue;
                EXPECT_NEAR(u[e], pos, 2e-3 * pos) << x << "," << y;
                EXPECT_NEAR(w[e], (1.0 + 10.0 * pos / nx) * pos, 2e-3 * pos * 11) << x << "," << y;
            }
        // Outside the band the unweighted variant writes the mean of the eight neighbours
        // (a step off the array stays on the border): element (0, 0).
        const float corner = (in[0] * 3 + in[1] * 2 + in[nx] * 2 + in[nx + 1]) * 0.125f;
        EXPECT_FLOAT_EQ(u[0], corner);
    }
    cudaFree(dp);
    cudaFree(di);
}

TEST(EpaMapBack, TwoDimensionalAverageKeepsItsZones) {
    const unsigned N = 64, nx = N / 2 + 1, ny = N;
    const float apix = 1.0f, low = 25.0f, high = 4.0f;
    const CTF_INFO& c = kAstig;
    const Image in = half_of(nx, ny, apix, [&](double s, double th) { return 2.0 + std::sin(truth(s, th, c).chig); });
    float* di = to_device(in);
    const Image out = on_device(nx * ny, [&](float* o) {
        hcuda_2dh_EPA(o, di, nx, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, low, high);
    });
    // The same as its two steps: the profile up to Nyquist, mapped back into the caller's band.
    const Image profile = Epa{nx, ny, apix, c}.profile(in, 1, low, 2 * apix);
    float* dp = to_device(profile);
    const Image steps = on_device(nx * ny, [&](float* o) {
        hcuda_2dh_EPA_from_1d(o, dp, di, nx, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, low, high);
    });
    EXPECT_EQ(out, steps);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) {
            double s, th;
            half_polar(x, y, nx, ny, apix, s, th);
            const size_t e = (size_t)y * nx + x;
            if (s < 1.0 / low - 1e-6) {
                EXPECT_EQ(out[e], 0.0f);
            }
            if (s > 1.0 / high + 1e-6) {
                EXPECT_EQ(out[e], in[e]);
            }
            ASSERT_TRUE(std::isfinite(out[e]));
        }
    cudaFree(di);
    cudaFree(dp);
}

TEST(BandOperations, RingAverageOfTheRadiusIsTheRadius) {
    const unsigned N = 64, nx = N / 2 + 1, ny = N;
    const float apix = 1.0f, low = 20.0f, high = 3.0f;
    Image in(nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) in[y * nx + x] = std::hypot((double)x, y - 0.5 * ny);
    float* di = to_device(in);
    float* dout = to_device(Image(nx * ny, 7.0f));
    hcuda_2dh_basic_rotate_ave_res(di, dout, apix, nx, ny, low, high);
    const Image out = to_host(dout, nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) {
            const float v = out[y * nx + x];
            if (y >= ny / 2) {
                ASSERT_EQ(v, 7.0f) << "rows from ny/2 on are not written";
                continue;
            }
            const double r = std::hypot((double)x, y - 0.5 * ny), s = r / (2.0 * (nx - 1) * apix);
            if (s <= 1.0 / low || s >= 1.0 / high) {
                EXPECT_EQ(v, 0.0f);
            } else {
                EXPECT_NEAR(v, r, 0.05) << x << "," << y;
            }
        }
    cudaFree(di);
    cudaFree(dout);
}

TEST(BandOperations, SquareAndProductInsideTheClosedBand) {
    const unsigned nx = 17, ny = 32;
    const float apix = 1.5f;
    Image a(nx * ny), b(nx * ny);
    for (size_t e = 0; e < a.size(); ++e) {
        a[e] = (float)(e % 11) - 5.0f;
        b[e] = (float)(e % 5) + 0.5f;
    }
    float* da = to_device(a);
    float* db = to_device(b);
    const struct { float low, high; } bands[] = {{kInf, 0.0f}, {15.0f, 4.0f}, {4.0f, 15.0f}};
    for (const auto& band : bands) {
        const Image sq =
            on_device(nx * ny, [&](float* o) { hcuda_2dh_res_based_square(o, da, apix, nx, ny, band.low, band.high); });
        float* dm = to_device(a);
        GPU_LAUNCH(cuda_x2dh_res_based_multiply_inplace, gpu_grid_2d(nx, ny), gpu_block_2d(), 0)
        (dm, db, apix, (int)nx, (int)ny, band.low, band.high);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        const Image prod = to_host(dm, nx * ny);
        cudaFree(dm);
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x) {
                double s, th;
                half_polar(x, y, nx, ny, apix, s, th);
                const size_t e = (size_t)y * nx + x;
                const bool in = s >= 1.0 / band.low && s <= 1.0 / band.high;
                EXPECT_EQ(sq[e], in ? a[e] * a[e] : 0.0f) << band.low << " " << x << "," << y;
                EXPECT_EQ(prod[e], in ? a[e] * b[e] : 0.0f) << band.low << " " << x << "," << y;
            }
    }
    cudaFree(da);
    cudaFree(db);
}

// ---- the refinement target score ----

TEST(Score, RawBandLimitedSumOfModulusTimesSpectrum) {
    const unsigned N = 64, nx = N / 2 + 1, ny = N;
    const float apix = 1.2f, low = 30.0f, high = 3.0f;
    const Image spec = half_of(nx, ny, apix, [](double s, double th) { return 0.5 + std::cos(40.0 * s + th); });
    float* ds = to_device(spec);
    float* work = device_array(nx * ny);
    const CTF_INFO cases[] = {kAstig, {300.0f, 2.7f, 1.0f, 35.0f, 15000.0f, 14000.0f, -10.0f, -40.0f}};
    for (const CTF_INFO& c : cases) {
        double want = 0;
        std::vector<double> terms(nx * ny, 0.0);
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x) {
                double s, th;
                half_polar(x, y, nx, ny, apix, s, th);
                if (s < 1.0 / low || s > 1.0 / high) continue;
                const Truth t = truth(s, th, c);
                terms[y * nx + x] = std::fabs(t.ctf) * t.E * spec[y * nx + x];
                want += terms[y * nx + x];
            }
        const float got = ctf_tcf_swr_2dh(work, ds, apix, nx, ny, c.P, c.kV, c.Cs, c.AC, c.U, c.V, c.A, c.B, low, high);
        EXPECT_NEAR(got, want, 1e-4 * std::fabs(want)) << c.AC;
        const Image summands = to_host(work, nx * ny);
        for (size_t e = 0; e < terms.size(); ++e) ASSERT_NEAR(summands[e], terms[e], 2e-4) << e;
        // Elements go in runs of neighbours: each keeps its own band decision, bit for bit.
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x)
                if (!ctf_in_band(CtfHalfLayout{nx, ny, apix}(x, y).s, RESO{low, high})) {
                    ASSERT_EQ(summands[y * nx + x], 0.0f) << x << "," << y;
                }
        EXPECT_EQ(to_host(ds, nx * ny), spec) << "the spectrum is not touched";
        EXPECT_EQ(ctf_tcf_swr_2dh_inplace(work, ds, apix, nx, ny, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, c.B, low, high),
                  got);
        // U and V exchanged with A turned by 90 degrees: the same score.
        EXPECT_NEAR(
            ctf_tcf_swr_2dh(work, ds, apix, nx, ny, c.P, c.kV, c.Cs, c.AC, c.V, c.U, c.A + 90.0f, c.B, low, high), got,
            1e-3 * std::fabs(got));
    }
    EXPECT_EQ(ctf_tcf_swr_2dh(work, ds, apix, nx, ny, 0.0f, 300.0f, 2.7f, 0.1f, 1e4f, 1e4f, 0.0f, 0.0f, 3.0f, 30.0f),
              0.0f)
        << "an empty band scores 0";
    // A band open to zero frequency: the origin has no direction and takes azimuth 0, as atan2(0, 0) gives it.
    const CTF_INFO& c = cases[1];
    ctf_tcf_swr_2dh(work, ds, apix, nx, ny, c.P, c.kV, c.Cs, c.AC, c.U, c.V, c.A, c.B, INFINITY, high);
    const size_t origin = (size_t)(ny / 2) * nx;
    EXPECT_NEAR(to_host(work, nx * ny)[origin], std::fabs(truth(0.0, 0.0, c).ctf) * spec[origin], 1e-6);
    cudaFree(ds);
    cudaFree(work);
}

// ---- zeros and peaks ----
namespace {

Image bin_profile(int n) {
    Image p(n);
    for (int j = 0; j < n; ++j) p[j] = 1000.0f + j;  // the value tells the bin
    return p;
}
// Smallest frequency where the full phase reaches `target`, by bisection on the rising branch (double).
double crossing(const CTF_INFO& c, double target, double smax) {
    auto phase = [&](double s) { return truth(s, 0.0, c).chi; };
    double lo = 0, hi = smax;
    const int steps = 20000;  // a fine scan finds the first crossing, then bisect it
    for (int k = 1; k <= steps; ++k) {
        const double s = smax * k / steps;
        if (phase(s) >= target) {
            lo = smax * (k - 1) / steps;
            hi = s;
            break;
        }
    }
    for (int it = 0; it < 60; ++it) (phase(0.5 * (lo + hi)) < target ? lo : hi) = 0.5 * (lo + hi);
    return 0.5 * (lo + hi);
}

}  // namespace

TEST(Zeros, ZerosSitWhereTheFullPhaseReachesMultiplesOfPi) {
    const int n = 513;
    const float apix = 1.0f;
    const Image prof = bin_profile(n);
    const CTF_INFO c{300.0f, 2.7f, 0.07f, 20.0f, 16000.0f, 16000.0f, 0.0f, 0.0f};
    std::vector<float2> zeros;
    std::vector<float3> zeros3;
    const int count = cpu_ctf_1dh_get_all_zero(zeros, prof.data(), n, apix, c.kV, c.Cs, c.AC, c.P, c.U);
    EXPECT_EQ(cpu_ctf_1dh_get_all_zero_v3(zeros3, prof.data(), n, apix, c.kV, c.Cs, c.AC, c.P, c.U), count);
    EXPECT_EQ(count, (int)std::trunc(truth(0.5 / apix, 0.0, c).chi / kPi));
    ASSERT_EQ(zeros.size(), (size_t)count - 1);
    ASSERT_EQ(zeros3.size(), zeros.size());
    for (int i = 1; i < count; ++i) {
        const double s = crossing(c, i * kPi, 0.5 / apix);
        const float2 z = zeros[i - 1];
        EXPECT_NEAR(z.x, std::trunc((2 * n - 2) * apix * s), 1.0) << "order " << i;
        EXPECT_EQ(z.y, prof[(int)z.x]);
        EXPECT_NEAR(zeros3[i - 1].y, s, 2e-5 * s) << "order " << i;
        EXPECT_EQ(zeros3[i - 1].x, z.x);
        EXPECT_EQ(zeros3[i - 1].z, z.y);
    }
    // Without Cs, AC and P the zero of order i is at s^2 = i/(lambda Df).
    const int count0 = cpu_ctf_1dh_get_all_zero(zeros, prof.data(), n, apix, 300.0f, 0.0f, 0.0f, 0.0f, 16000.0f);
    ASSERT_EQ(zeros.size(), (size_t)count0 - 1);
    for (int i = 1; i < count0; ++i)
        EXPECT_NEAR(zeros[i - 1].x, std::trunc((2 * n - 2) * apix * std::sqrt(i / (wavelength(300) * 16000.0))), 1.0);
}

TEST(Zeros, CountRulesAndANegativeTargetAtBinZero) {
    const int n = 257;
    const Image prof = bin_profile(n);
    std::vector<float2> list(3, make_float2(9, 9));
    // Phase at Nyquist between pi and 2 pi: count 1, no zero listed.
    const double lam = wavelength(300);
    const float df1 = (float)(1.5 * kPi / (kPi * lam * 0.25));
    EXPECT_EQ(cpu_ctf_1dh_get_all_zero(list, prof.data(), n, 1.0f, 300.0f, 0.0f, 0.0f, 0.0f, df1), 1);
    EXPECT_TRUE(list.empty());
    const float df5 = (float)(5.5 * kPi / (kPi * lam * 0.25));
    EXPECT_EQ(cpu_ctf_1dh_get_all_zero(list, prof.data(), n, 1.0f, 300.0f, 0.0f, 0.0f, 0.0f, df5), 5);
    EXPECT_EQ(list.size(), 4u);
    // A phase shift of 200 degrees puts the order-1 target below zero: reported at bin 0.
    cpu_ctf_1dh_get_all_zero(list, prof.data(), n, 1.0f, 300.0f, 0.0f, 0.0f, 200.0f, df5);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0].x, 0.0f);
    EXPECT_EQ(list[0].y, prof[0]);
    // The band form drops it.
    std::vector<float2> band;
    cpu_ctf_1dh_get_all_zp_res(band, prof.data(), n, 1.0f, 300.0f, 0.0f, 0.0f, 200.0f, df5, 1e30f, 2.0f, 1);
    for (const float2& e : band) EXPECT_GT(e.x, 0.0f);
}

TEST(Zeros, BandFormsByModeAndTheirXValues) {
    const int n = 513;
    const float apix = 1.0f, low = 30.0f, high = 3.0f;
    const Image prof = bin_profile(n);
    const CTF_INFO c{300.0f, 2.7f, 0.1f, 0.0f, 18000.0f, 18000.0f, 0.0f, 0.0f};
    auto run = [&](int mode, std::vector<float2>& l) {
        return cpu_ctf_1dh_get_all_zp_res(l, prof.data(), n, apix, c.kV, c.Cs, c.AC, c.P, c.U, low, high, mode);
    };
    std::vector<float2> z1, z2, z3, z4, p11, p13, zp21, iv, ssv;
    const int entries = run(1, z1);
    EXPECT_EQ(entries, (int)z1.size());
    run(2, z2);
    run(3, z3);
    run(4, z4);
    run(11, p11);
    run(13, p13);
    run(21, zp21);
    ASSERT_GT(z1.size(), 3u);
    ASSERT_EQ(z2.size(), z1.size());
    for (size_t k = 0; k < z1.size(); ++k) {
        const double s = z2[k].x;
        EXPECT_GE(s, 1.0 / low);
        EXPECT_LE(s, 1.0 / high);
        EXPECT_NEAR(truth(s, 0.0, c).chi / kPi, std::round(truth(s, 0.0, c).chi / kPi), 1e-4) << "a zero";
        EXPECT_EQ(z1[k].x, std::trunc((float)(2 * n - 2) * apix * z2[k].x));
        EXPECT_FLOAT_EQ(z3[k].x, z2[k].x * z2[k].x);
        EXPECT_FLOAT_EQ(z4[k].x, 1.0f / z2[k].x);
        if (k > 0) {
            EXPECT_LT(z4[k].x, z4[k - 1].x) << "resolutions decrease";
        }
        EXPECT_EQ(z1[k].y, prof[(int)z1[k].x]);
    }
    // Order 0 has a peak (phase pi/2) but no zero; mode 21 gives zero then peak of
    // each order, so its positions run upward through both lists.
    ASSERT_FALSE(p11.empty());
    EXPECT_EQ(zp21[0].x, p11[0].x);
    std::vector<float> both;
    for (const float2& e : z1) both.push_back(e.x);
    for (const float2& e : p11) both.push_back(e.x);
    std::sort(both.begin(), both.end());
    ASSERT_EQ(zp21.size(), both.size());
    for (size_t k = 0; k < both.size(); ++k) EXPECT_EQ(zp21[k].x, both[k]) << k;
    EXPECT_EQ(cpu_ctf_1dh_get_all_peaks_iv_res(iv, prof.data(), n, apix, c.kV, c.Cs, c.AC, c.P, c.U, low, high),
              (int)p11.size());
    cpu_ctf_1dh_get_all_peaks_ssv_res(ssv, prof.data(), n, apix, c.kV, c.Cs, c.AC, c.P, c.U, low, high);
    EXPECT_EQ(iv.size(), p11.size());
    for (size_t k = 0; k < iv.size(); ++k) {
        EXPECT_EQ(iv[k].x, p11[k].x);
        EXPECT_EQ(ssv[k].x, p13[k].x);
    }
}

TEST(Zeros, UnknownModeWarnsAndLeavesTheList) {
    const Image prof = bin_profile(65);
    for (int mode : {5, 10, 0, 31}) {
        std::vector<float2> list(2, make_float2(4, 4));
        testing::internal::CaptureStdout();
        EXPECT_EQ(cpu_ctf_1dh_get_all_zp_res(list, prof.data(), 65, 1.0f, 300.0f, 2.7f, 0.1f, 0.0f, 9000.0f, 30.0f,
                                             3.0f, mode),
                  -1);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("Warning in function cpu_ctf_1dh_get_all_zp_res(), file src/ctf_core on line"),
                  std::string::npos);
        EXPECT_NE(out.find(":zp_mode unrecognized!!\n\033[m"), std::string::npos);
        EXPECT_EQ(list.size(), 2u);
    }
}

TEST(Zeros, HighLimitBeyondNyquistReadsNothingPastTheProfile) {
    // A 1.0 A limit on a 1.0 A/px profile (Nyquist 0.5/A): positions past the last bin get no entry.
    const int n = 129;
    const Image prof = bin_profile(n);
    for (int mode : {1, 11, 21, 24}) {
        std::vector<float2> l;
        cpu_ctf_1dh_get_all_zp_res(l, prof.data(), n, 1.0f, 300.0f, 2.7f, 0.07f, 0.0f, 20000.0f, 50.0f, 1.0f, mode);
        ASSERT_FALSE(l.empty());
        for (const float2& e : l) {
            EXPECT_GE(e.y, prof[0]);
            EXPECT_LE(e.y, prof[n - 1]);
        }
    }
    // Cs 0 and a very fine limit: a huge order count ends at Nyquist.
    std::vector<float2> l;
    cpu_ctf_1dh_get_all_zp_res(l, prof.data(), n, 1.0f, 300.0f, 0.0f, 0.0f, 0.0f, 20000.0f, 50.0f, 1e-6f, 21);
    EXPECT_FALSE(l.empty());
}

// ---- simulation from CTF_INFO records ----

TEST(InfoSimulation, RecordFormsMatchTheExplicitOnesAndTheirHostTwins) {
    const unsigned nxh = 41, ny = 70, nx = 2 * (nxh - 1);
    const float apix = 1.3f;
    const RESO band{35.0f, 2.7f};
    const CTF_INFO& c = kAstig;
    for (char m : kModes) {
        Image info(nxh * ny), twin(nxh * ny), explicit_(nxh * ny);
        gpu_ctf_sim_2dh(info.data(), nxh, ny, apix, c, band, m);
        cpu_ctf_sim_2dh(twin.data(), nxh, ny, apix, c, band, m);
        gpu_ctf_sim_2dh_c(explicit_.data(), nxh, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, c.B, band.resL,
                          band.resH, m);
        EXPECT_EQ(info, twin) << m;
        EXPECT_EQ(info, explicit_) << m;
        Image full(nx * ny), full_twin(nx * ny), full_explicit(nx * ny);
        gpu_ctf_sim_2d(full.data(), nx, ny, apix, c, band, m);
        cpu_ctf_sim_2d(full_twin.data(), nx, ny, apix, c, band, m);
        gpu_ctf_sim_2d_c(full_explicit.data(), nx, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, c.B, band.resL,
                         band.resH, m);
        EXPECT_EQ(full, full_twin) << m;
        EXPECT_EQ(full, full_explicit) << m;
    }
    // The record's 1D profile lies on the x axis: defocus U cos^2 A + V sin^2 A.
    const unsigned n = 101;
    Image p(n), twin(n);
    gpu_ctf_sim_1dh(p.data(), n, apix, c, band, 'F');
    cpu_ctf_sim_1dh(twin.data(), n, apix, c, band, 'F');
    EXPECT_EQ(p, twin);
    for (unsigned i = 0; i < n; ++i) {
        const double s = i / (2.0 * (n - 1) * apix);
        if (s < 1.0 / band.resL + 1e-6 || s > 1.0 / band.resH - 1e-6) continue;
        const Truth t = truth(s, 0.0, c);
        EXPECT_NEAR(p[i], t.ctf * t.E, tolerance(t, 'F')) << i;
    }
}

TEST(InfoSimulation, StacksHaveOneSlicePerRecord) {
    const unsigned nxh = 17, ny = 32, nx = 32, n = 40;
    const float apix = 1.0f;
    const RESO band{30.0f, 2.0f};
    std::vector<CTF_INFO> recs = {kAstig, kAstig, {200.0f, 2.0f, 0.1f, 0.0f, 9000.0f, 8000.0f, 10.0f, 20.0f}};
    const unsigned nz = (unsigned)recs.size();
    auto check = [&](auto gpu_stack, auto cpu_stack, auto gpu_one, size_t slice, const char* what) {
        Image dev(slice * nz), host(slice * nz);
        gpu_stack(dev.data(), nz, recs.data());
        cpu_stack(host.data(), nz, recs.data());
        EXPECT_EQ(dev, host) << what;
        for (unsigned k = 0; k < nz; ++k) {
            Image one(slice);
            gpu_one(one.data(), recs[k]);
            EXPECT_EQ(Image(dev.begin() + k * slice, dev.begin() + (k + 1) * slice), one) << what << " slice " << k;
        }
        EXPECT_EQ(Image(dev.begin(), dev.begin() + slice), Image(dev.begin() + slice, dev.begin() + 2 * slice));
        Image untouched(slice, 5.0f);
        gpu_stack(untouched.data(), 0, recs.data());
        cpu_stack(untouched.data(), 0, recs.data());
        EXPECT_EQ(untouched, Image(slice, 5.0f)) << what << ": no records, nothing written";
    };
    check([&](float* o, unsigned z, const CTF_INFO* r) { gpu_ctf_sim_1dhs(o, n, apix, z, r, band, 'A'); },
          [&](float* o, unsigned z, const CTF_INFO* r) { cpu_ctf_sim_1dhs(o, n, apix, z, r, band, 'A'); },
          [&](float* o, const CTF_INFO& r) { gpu_ctf_sim_1dh(o, n, apix, r, band, 'A'); }, n, "1dhs");
    check([&](float* o, unsigned z, const CTF_INFO* r) { gpu_ctf_sim_2dhs(o, nxh, ny, apix, z, r, band, 'W'); },
          [&](float* o, unsigned z, const CTF_INFO* r) { cpu_ctf_sim_2dhs(o, nxh, ny, apix, z, r, band, 'W'); },
          [&](float* o, const CTF_INFO& r) { gpu_ctf_sim_2dh(o, nxh, ny, apix, r, band, 'W'); }, nxh * ny, "2dhs");
    check([&](float* o, unsigned z, const CTF_INFO* r) { gpu_ctf_sim_2ds(o, nx, ny, apix, z, r, band, 'P'); },
          [&](float* o, unsigned z, const CTF_INFO* r) { cpu_ctf_sim_2ds(o, nx, ny, apix, z, r, band, 'P'); },
          [&](float* o, const CTF_INFO& r) { gpu_ctf_sim_2d(o, nx, ny, apix, r, band, 'P'); }, nx * ny, "2ds");
}

TEST(InfoSimulation, ProductWithARawSpectrumAndItsSum) {
    const unsigned nxh = 33, ny = 64;
    const float apix = 1.0f;
    const RESO band{25.0f, 3.0f};
    Image sim(nxh * ny);
    gpu_ctf_sim_2dh(sim.data(), nxh, ny, apix, kAstig, band, 'A');
    // Ones inside the band and NaN outside it: the product is 0 off band whatever the raw value.
    Image raw(nxh * ny);
    double want = 0;
    for (size_t e = 0; e < raw.size(); ++e) {
        raw[e] = sim[e] != 0.0f ? 1.0f : std::numeric_limits<float>::quiet_NaN();
        want += sim[e];
    }
    float* dr = to_device(raw);
    float* out = device_array(nxh * ny);
    hcuda_ctf_simXraw_2dh(out, dr, nxh, ny, apix, kAstig, band, 'A');
    // Computed a run of neighbouring elements at once: the same band, values to the last bits.
    const Image product = to_host(out, nxh * ny);
    for (size_t e = 0; e < raw.size(); ++e) {
        ASSERT_EQ(product[e] == 0.0f, sim[e] == 0.0f) << e;
        ASSERT_NEAR(product[e], sim[e], 2e-5) << e;
    }
    EXPECT_NEAR(hcuda_ctf_sim_dot_raw_2dh(out, dr, nxh, ny, apix, kAstig, band, 'A'), want, 1e-4 * want);
    cudaFree(dr);
    cudaFree(out);
}

// ---- display images ----

TEST(Display, FourByTwoPixelMapping) {
    // nx 4, ny 2: h = 2, half width 3. Column 0 shows left[(ny - j) mod ny][h - 1 - 0],
    // columns 1..3 show right[j][c - 1]; pixel (2, 1) is zeroed.
    const Image left = {100, 101, 102, 103, 104, 105}, right = {200, 201, 202, 203, 204, 205};
    Image img(8, -1.0f);
    cpu_2dh_ctf_sim_raw_combine(img.data(), left.data(), right.data(), 4, 2);
    EXPECT_EQ(img, Image({101, 200, 201, 202, 104, 203, 0, 205}));
    // The second form: only rows below ny/2 show the first input.
    cpu_2dh_ctf_sim_raw_combine2(img.data(), left.data(), right.data(), 4, 2);
    EXPECT_EQ(img, Image({101, 200, 201, 202, 204, 203, 204, 205}));
}

TEST(Display, ZerosOnTheLeftAndOnesOnTheRight) {
    const int nx = 10, ny = 6, nxh = nx / 2 + 1, h = nx / 2;
    const Image zeros(nxh * ny, 0.0f), ones(nxh * ny, 1.0f);
    Image img(nx * ny, -1.0f);
    cpu_2dh_ctf_sim_raw_combine(img.data(), zeros.data(), ones.data(), nx, ny);
    for (int j = 0; j < ny; ++j)
        for (int c = 0; c < nx; ++c) {
            const float want = (c <= h - 2 || (c == h && j == ny / 2)) ? 0.0f : 1.0f;
            EXPECT_EQ(img[j * nx + c], want) << c << "," << j;
        }
}

TEST(DisplayDeathTest, OddWidthIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Image half(3 * 2, 1.0f);
    Image img(5 * 2);
    EXPECT_EXIT(
        {
            dup2(2, 1);
            cpu_2dh_ctf_sim_raw_combine(img.data(), half.data(), half.data(), 5, 2);
        },
        testing::ExitedWithCode(1),
        "Error in function cpu_2dh_ctf_sim_raw_combine\\(\\), file src/ctf_core on line [0-9]+: 5 not an even "
        "number! Exit now!");
    EXPECT_EXIT(
        {
            dup2(2, 1);
            cpu_2dh_ctf_sim_raw_combine2(img.data(), half.data(), half.data(), 5, 2);
        },
        testing::ExitedWithCode(1), "5 not an even number");
}

// ---- phase flip, CTF application, Wiener ----
namespace {

using cd = std::complex<double>;
using Spectrum = std::vector<float2>;

Spectrum numbered_spectrum(size_t n) {
    Spectrum s(n);
    for (size_t e = 0; e < n; ++e) s[e] = make_float2(0.25f * (float)(e % 17) - 2.0f, 1.0f - 0.5f * (float)(e % 5));
    return s;
}
// The frequency of element (x, y) of an FFT-order half spectrum of an nx x ny image, as the transform defines it.
void fft_polar(unsigned x, unsigned y, unsigned nx, unsigned ny, float apix, double& s, double& theta) {
    const double fx = (double)x / nx, fy = (y < (ny + 1) / 2 ? (double)y : (double)y - ny) / ny;
    s = std::hypot(fx, fy) / apix;
    theta = std::atan2(fy, fx);
}
// Filtering of a real image by a naive DFT: forward, every half-spectrum
// coefficient times factor(x, y), Hermitian extension, inverse, divided by nx ny.
template <class Factor> Image dft_filter(const Image& img, unsigned nx, unsigned ny, Factor factor) {
    std::vector<cd> F((size_t)nx * ny);
    for (unsigned ky = 0; ky < ny; ++ky)
        for (unsigned kx = 0; kx <= nx / 2; ++kx) {
            cd sum = 0;
            for (unsigned y = 0; y < ny; ++y)
                for (unsigned x = 0; x < nx; ++x)
                    sum += (double)img[y * nx + x] *
                           std::polar(1.0, -2 * kPi * ((double)kx * x / nx + (double)ky * y / ny));
            F[ky * nx + kx] = sum * factor(kx, ky);
        }
    for (unsigned ky = 0; ky < ny; ++ky)
        for (unsigned kx = nx / 2 + 1; kx < nx; ++kx) F[ky * nx + kx] = std::conj(F[((ny - ky) % ny) * nx + nx - kx]);
    Image out((size_t)nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) {
            cd sum = 0;
            for (unsigned ky = 0; ky < ny; ++ky)
                for (unsigned kx = 0; kx < nx; ++kx)
                    sum += F[ky * nx + kx] * std::polar(1.0, 2 * kPi * ((double)kx * x / nx + (double)ky * y / ny));
            out[y * nx + x] = (float)(sum.real() / ((double)nx * ny));
        }
    return out;
}
Image test_image(unsigned nx, unsigned ny) {
    Image img((size_t)nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x)
            img[y * nx + x] = std::sin(0.7 * x + 0.3 * y * y) + 0.1f * ((x * 7 + y * 3) % 5);
    return img;
}
void expect_images_near(const Image& got, const Image& want, double tol, const std::string& what) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t e = 0; e < got.size(); ++e) ASSERT_NEAR(got[e], want[e], tol) << what << " element " << e;
}

}  // namespace

TEST(Filters, RealImageFormsMatchANaiveDftForEvenAndOddSizes) {
    const float apix = 1.5f;
    const struct {
        unsigned nx, ny;
        float A;
    } sizes[] = {{16, 12, 0.0f}, {15, 9, 33.0f}, {16, 9, 0.0f}, {15, 12, 33.0f}};
    for (const auto& sz : sizes) {
        const CTF_INFO c{300.0f, 2.7f, 0.07f, 10.0f, 900.0f, 600.0f, sz.A, 30.0f};
        const Image img = test_image(sz.nx, sz.ny);
        const std::string what = std::to_string(sz.nx) + "x" + std::to_string(sz.ny);
        auto at = [&](unsigned kx, unsigned ky) {
            double s, th;
            fft_polar(kx, ky, sz.nx, sz.ny, apix, s, th);
            return truth(s, th, c);
        };
        Image out(img.size());
        gpu_apply_ctf_r2d_c(img.data(), out.data(), sz.nx, sz.ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, c.B, 'F');
        expect_images_near(out,
                           dft_filter(img, sz.nx, sz.ny,
                                      [&](unsigned x, unsigned y) {
                                          const Truth t = at(x, y);
                                          return t.ctf * t.E;
                                      }),
                           1e-4, "apply F " + what);
        // Wiener weights that are a function of the frequency, so the result stays real.
        Image W((sz.nx / 2 + 1) * sz.ny);
        for (unsigned y = 0; y < sz.ny; ++y)
            for (unsigned x = 0; x <= sz.nx / 2; ++x) {
                double s, th;
                fft_polar(x, y, sz.nx, sz.ny, apix, s, th);
                W[y * (sz.nx / 2 + 1) + x] = (float)(0.5 + 4.0 * s);
            }
        for (float e : {0.0f, 0.2f}) {
            gpu_wd_ctf_r2d_c_v2(out.data(), img.data(), W.data(), sz.nx, sz.ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V,
                                c.A, e);
            const Image want = dft_filter(img, sz.nx, sz.ny, [&](unsigned x, unsigned y) {
                const double K = at(x, y).ctf, w = W[y * (sz.nx / 2 + 1) + x];
                return w * (K >= 0 ? K + e : K - e) / (1.0 + w * K * K);
            });
            expect_images_near(out, want, 1e-4, "Wiener " + what);
            if (e == 0.0f) {
                Image v1(img.size());
                gpu_wd_ctf_r2d_c(v1.data(), img.data(), W.data(), sz.nx, sz.ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V,
                                 c.A);
                EXPECT_EQ(v1, out) << "e = 0 is the first variant";
            }
        }
    }
}

TEST(Filters, UnitCtfLeavesImagesAloneAndWienerWithWeightOneHalvesThem) {
    // Cs 0, U = V = 0, AC 1, P 0: the CTF is sin(asin 1) = 1 at every frequency.
    for (unsigned ny : {24u, 23u}) {
        const unsigned nx = 32;
        const Image img = test_image(nx, ny);
        Image out(img.size());
        gpu_phase_flip_r2d_c(img.data(), out.data(), nx, ny, 1.0f, 300.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f);
        expect_images_near(out, img, 2e-6, "flip");
        gpu_apply_ctf_r2d_c(img.data(), out.data(), nx, ny, 1.0f, 300.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
                            'F');
        expect_images_near(out, img, 2e-6, "apply F");
        const Image ones((nx / 2 + 1) * ny, 1.0f);
        gpu_wd_ctf_r2d_c(out.data(), img.data(), ones.data(), nx, ny, 1.0f, 300.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f);
        Image half(img);
        for (float& v : half) v *= 0.5f;
        expect_images_near(out, half, 2e-6, "Wiener");
        const Image zero_w((nx / 2 + 1) * ny, 0.0f);
        gpu_wd_ctf_r2d_c(out.data(), img.data(), zero_w.data(), nx, ny, 1.0f, 300.0f, 2.7f, 0.1f, 0.0f, 8000.0f,
                         7000.0f, 10.0f);
        expect_images_near(out, Image(img.size(), 0.0f), 0.0, "zero weights");
    }
}

TEST(Filters, FlippingTwiceReturnsTheInput) {
    const unsigned nx = 33, ny = 48, nxh = nx;  // spectrum kernels: nx is the half width
    const Spectrum in = numbered_spectrum(nxh * ny);
    float2* d = to_device(in);
    const CTF_INFO& c = kAstig;
    hcuda_2dh_phase_flip(d, d, 1.1f, nxh, ny, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A);
    const Spectrum once = to_host(d, nxh * ny);
    size_t negated = 0;
    for (size_t e = 0; e < in.size(); ++e) negated += once[e].y == -in[e].y && in[e].y != 0.0f;
    EXPECT_GT(negated, in.size() / 5) << "one flip negates the elements where the CTF is negative";
    hcuda_2dh_phase_flip(d, d, 1.1f, nxh, ny, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A);
    const Spectrum back = to_host(d, nxh * ny);
    for (size_t e = 0; e < in.size(); ++e) ASSERT_TRUE(back[e].x == in[e].x && back[e].y == in[e].y) << e;
    for (int k = 0; k < 2; ++k) hcuda_phase_flip_c2dh_usw_c(d, d, nxh, ny, 1.1f, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A);
    const Spectrum back2 = to_host(d, nxh * ny);
    for (size_t e = 0; e < in.size(); ++e) ASSERT_TRUE(back2[e].x == in[e].x && back2[e].y == in[e].y) << e;
    cudaFree(d);
    // A real image flipped twice, for even and odd sizes. (An even width has a Nyquist
    // column whose elements pair up across the x axis; with the astigmatism at an
    // oblique angle the two of a pair flip differently there, which no real image
    // can hold, so that case keeps A = 0.)
    const struct {
        unsigned w, h;
        float A;
    } sizes[] = {{24, 20, 0.0f}, {24, 19, 0.0f}, {25, 20, 33.0f}, {25, 19, 33.0f}};
    for (const auto& sz : sizes) {
        const Image img = test_image(sz.w, sz.h);
        Image once(img.size()), twice(img.size());
        gpu_phase_flip_r2d_c(img.data(), once.data(), sz.w, sz.h, 1.0f, c.kV, c.Cs, c.AC, c.P, c.U, c.V, sz.A);
        gpu_phase_flip_r2d_c(once.data(), twice.data(), sz.w, sz.h, 1.0f, c.kV, c.Cs, c.AC, c.P, c.U, c.V, sz.A);
        expect_images_near(twice, img, 1e-5, "twice, " + std::to_string(sz.w) + "x" + std::to_string(sz.h));
    }
}

TEST(Filters, CentredAndFftOrderLayoutsAgreeOnceTheRowsAreReordered) {
    const unsigned nxh = 21, ny = 40;
    const Spectrum in = numbered_spectrum(nxh * ny);
    const CTF_INFO& c = kAstig;
    auto run = [&](auto op) {
        float2* di = to_device(in);
        float2* dout = to_device(Spectrum(nxh * ny));
        op(di, dout);
        Spectrum out = to_host(dout, nxh * ny);
        cudaFree(di);
        cudaFree(dout);
        return out;
    };
    const Spectrum centred = run(
        [&](float2* i, float2* o) { hcuda_2dh_phase_flip(i, o, 1.2f, nxh, ny, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A); });
    const Spectrum centred_c = run([&](float2* i, float2* o) {
        hcuda_phase_flip_c2dh_c(i, o, nxh, ny, 1.2f, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A);
    });
    // The same input read in FFT order: row y of the FFT order is centred row (y + ny/2) mod ny.
    Spectrum fft_in(in.size());
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nxh; ++x) fft_in[y * nxh + x] = in[((y + ny / 2) % ny) * nxh + x];
    float2* di = to_device(fft_in);
    float2* dout = to_device(Spectrum(nxh * ny));
    hcuda_phase_flip_c2dh_usw_c(di, dout, nxh, ny, 1.2f, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A);
    const Spectrum fft_out = to_host(dout, nxh * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nxh; ++x) {
            const float2 a = centred[((y + ny / 2) % ny) * nxh + x], b = fft_out[y * nxh + x],
                         cc = centred_c[((y + ny / 2) % ny) * nxh + x];
            ASSERT_TRUE(a.x == b.x && a.y == b.y && a.x == cc.x && a.y == cc.y) << x << "," << y;
        }
    cudaFree(di);
    cudaFree(dout);
}

TEST(Filters, ModeFactorsOnAnFftOrderSpectrum) {
    const unsigned nxh = 17, ny = 31, nx = 2 * (nxh - 1);  // odd height: row y holds y, or y - ny from 16 on
    const float apix = 1.0f;
    const CTF_INFO c{300.0f, 2.7f, 0.1f, 20.0f, 5000.0f, 4000.0f, 15.0f, 50.0f};
    const Spectrum ones(nxh * ny, make_float2(1.0f, -2.0f));
    float2* di = to_device(ones);
    float2* dout = to_device(Spectrum(nxh * ny));
    Image W(nxh * ny, 2.0f);
    float* dw = to_device(W);
    for (char m : kModes) {
        hcuda_apply_ctf_c2dh_usw_c(di, dout, nxh, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, c.B, m);
        const Spectrum out = to_host(dout, nxh * ny);
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nxh; ++x) {
                double s, th;
                fft_polar(x, y, nx, ny, apix, s, th);
                const Truth t = truth(s, th, c);
                if (ambiguous(t, m)) continue;
                const float2 v = out[y * nxh + x];
                ASSERT_NEAR(v.x, truth_mode(t, m), tolerance(t, m)) << m << " " << x << "," << y;
                ASSERT_NEAR(v.y, -2.0 * truth_mode(t, m), 2 * tolerance(t, m)) << m << " " << x << "," << y;
            }
    }
    hcuda_wd_ctf_c2dh_usw_c(dout, di, dw, nxh, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A);
    const Spectrum wd = to_host(dout, nxh * ny);
    hcuda_wd_ctf_c2dh_usw_c_v2(dout, di, dw, nxh, ny, apix, c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, 0.3f);
    const Spectrum wd2 = to_host(dout, nxh * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nxh; ++x) {
            double s, th;
            fft_polar(x, y, nx, ny, apix, s, th);
            const double K = truth(s, th, c).ctf;  // no envelope in the Wiener filter
            ASSERT_NEAR(wd[y * nxh + x].x, 2 * K / (1 + 2 * K * K), 1e-4) << x << "," << y;
            if (std::fabs(K) > 1e-3) {
                ASSERT_NEAR(wd2[y * nxh + x].x, 2 * (K + (K >= 0 ? 0.3 : -0.3)) / (1 + 2 * K * K), 1e-4);
            }
        }
    // With AC = 0 and P = 0 the origin has K = 0: the flip keeps it, 'F' and Wiener give 0.
    hcuda_phase_flip_c2dh_usw_c(di, dout, nxh, ny, apix, 300.0f, 2.7f, 0.0f, 0.0f, 5000.0f, 4000.0f, 0.0f);
    EXPECT_EQ(to_host(dout, 1)[0].x, 1.0f);
    hcuda_apply_ctf_c2dh_usw_c(di, dout, nxh, ny, apix, 300.0f, 2.7f, 0.0f, 0.0f, 5000.0f, 4000.0f, 0.0f, 0.0f, 'F');
    EXPECT_EQ(to_host(dout, 1)[0].x, 0.0f);
    hcuda_wd_ctf_c2dh_usw_c(dout, di, dw, nxh, ny, apix, 300.0f, 2.7f, 0.0f, 0.0f, 5000.0f, 4000.0f, 0.0f);
    EXPECT_EQ(to_host(dout, 1)[0].x, 0.0f);
    cudaFree(di);
    cudaFree(dout);
    cudaFree(dw);
}
