// Peaks and their tie-breaks, GPU dot products and correlation coefficients,
// the FFT cross-correlation map, masked host correlation and the linear
// normalisation factors, each against a direct computation in double.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <vector>

#define VORN_UNIT "tests/process2d_raw_peak"
#include "process2d_raw.h"
#include "device_arrays_fixture.h"

namespace {

using Image = std::vector<float>;

Image wavy(int nx, int ny, double phase) {
    Image a((size_t)nx * ny);
    uint32_t s = 12345u + (uint32_t)(phase * 1000);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            s = s * 1664525u + 1013904223u;
            a[(size_t)y * nx + x] = (float)(std::sin(0.7 * x + phase) * std::cos(0.45 * y) + 0.3 * (s >> 8) / 16777216.0 + 2.0);
        }
    return a;
}

double mean(const Image& a) {
    double s = 0;
    for (float v : a) s += v;
    return s / a.size();
}
double stdv(const Image& a) {
    const double m = mean(a);
    double s = 0;
    for (float v : a) s += (v - m) * (v - m);
    return std::sqrt(s / a.size());
}
double pearson(const Image& a, const Image& b) {
    const double ma = mean(a), mb = mean(b);
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        ab += (a[i] - ma) * (b[i] - mb);
        aa += (a[i] - ma) * (a[i] - ma);
        bb += (b[i] - mb) * (b[i] - mb);
    }
    return ab / std::sqrt(aa * bb);
}

// ---------------- peaks ----------------

TEST(Peaks, FirstOfEqualMaximaAndTheMiddleOfThem) {
    Image a(6 * 3, 0.0f);
    a[3] = a[5] = 9.0f;  // (3, 0) and (5, 0)
    int x = -1, y = -1;
    float v = 0;
    cpu_2d_get_unique_peak(a.data(), 6, 3, x, y, v);
    EXPECT_EQ(x, 3); EXPECT_EQ(y, 0); EXPECT_EQ(v, 9.0f);
    cpu_2d_get_middle_peak_from_equals(a.data(), 6, 3, x, y);
    EXPECT_EQ(x, 3); EXPECT_EQ(y, 0);

    // Three maxima in a row: the middle one is at the centroid.
    Image b(7 * 4, 1.0f);
    b[2 * 7 + 1] = b[2 * 7 + 3] = b[2 * 7 + 5] = 4.0f;
    cpu_2d_get_unique_peak(b.data(), 7, 4, x, y, v);
    EXPECT_EQ(x, 1); EXPECT_EQ(y, 2);
    cpu_2d_get_middle_peak_from_equals(b.data(), 7, 4, x, y);
    EXPECT_EQ(x, 3); EXPECT_EQ(y, 2);
}

TEST(Peaks, MiddlePeakIsAlwaysAMaximumEvenWhenTheOriginIsNearerTheCentroid) {
    // Maxima at (2, 0) and (0, 2): centroid (1, 1), as far from each as from (0, 0).
    Image a(3 * 3, 0.0f);
    a[2] = a[6] = 5.0f;
    int x = -1, y = -1;
    cpu_2d_get_middle_peak_from_equals(a.data(), 3, 3, x, y);
    EXPECT_EQ(x, 2); EXPECT_EQ(y, 0);
    // Four maxima around (2, 2) in a 5 x 5 image whose origin is low.
    Image b(25, -1.0f);
    b[1 * 5 + 2] = b[2 * 5 + 1] = b[2 * 5 + 3] = b[3 * 5 + 2] = 3.0f;
    cpu_2d_get_middle_peak_from_equals(b.data(), 5, 5, x, y);
    EXPECT_EQ(x, 2); EXPECT_EQ(y, 1);
    EXPECT_EQ(b[(size_t)y * 5 + x], 3.0f);
}

TEST(Peaks, StackGivesOnePixelPerImage) {
    Image s(3 * 4 * 3, 0.0f);
    s[0 * 12 + 7] = 2.0f;                  // (3, 1)
    s[1 * 12 + 0] = 1.0f;                  // (0, 0)
    s[2 * 12 + 10] = s[2 * 12 + 11] = 6;  // (2, 2) and (3, 2): the first wins
    Pixel p[3];
    cpu_2ds_get_unique_peak(s.data(), 4, 3, p, 3);
    EXPECT_EQ(p[0].x, 3); EXPECT_EQ(p[0].y, 1); EXPECT_EQ(p[0].value, 2.0f);
    EXPECT_EQ(p[1].x, 0); EXPECT_EQ(p[1].y, 0); EXPECT_EQ(p[1].value, 1.0f);
    EXPECT_EQ(p[2].x, 2); EXPECT_EQ(p[2].y, 2); EXPECT_EQ(p[2].value, 6.0f);
    static_assert(sizeof(Pixel) == 12, "Pixel is x, y, value");
}

// ---------------- GPU correlation ----------------

TEST(GpuCorrelation, DotProductAndCoefficientAgainstDirectSums) {
    const int nx = 37, ny = 29;
    const Image a = wavy(nx, ny, 0.1), b = wavy(nx, ny, 1.3);
    Image neg(a);
    for (float& v : neg) v = -v;
    double dot = 0;
    for (size_t i = 0; i < a.size(); ++i) dot += (double)a[i] * b[i];

    EXPECT_NEAR(gpu_x2d_ccc(a.data(), b.data(), nx, ny), dot, 1e-5 * std::fabs(dot));
    EXPECT_NEAR(gpu_x2d_norm_ccc(a.data(), b.data(), nx, ny), pearson(a, b), 1e-5);
    EXPECT_NEAR(gpu_x2d_norm_ccc(a.data(), a.data(), nx, ny), 1.0, 1e-6);

    float *da = to_device(a), *db = to_device(b), *dn = to_device(neg);
    EXPECT_NEAR(hcuda_x2d_ccc(da, db, nx, ny), dot, 1e-5 * std::fabs(dot));
    EXPECT_NEAR(hcuda_x2d_norm_ccc(da, da, nx, ny), 1.0, 1e-6);
    EXPECT_NEAR(hcuda_x2d_norm_ccc(da, dn, nx, ny), -1.0, 1e-6);
    EXPECT_NEAR(hcuda_x2d_norm_ccc(da, db, nx, ny), pearson(a, b), 1e-5);
    EXPECT_EQ(to_host(da, a.size()), a);  // the plain form leaves its inputs alone
    EXPECT_EQ(to_host(db, b.size()), b);
    EXPECT_NEAR(hcuda_x2d_norm_ccc_inplace(da, db, nx, ny), pearson(a, b), 1e-5);

    float* rows = nullptr;
    ASSERT_EQ(cudaMalloc(&rows, ny * sizeof(float)), cudaSuccess);
    float *ra = to_device(a), *rb = to_device(b);
    hcuda_x2d_ccc_lineX(ra, rb, rows, nx, ny);
    const Image r = to_host(rows, ny);
    for (int y = 0; y < ny; ++y) {
        double s = 0;
        for (int x = 0; x < nx; ++x) s += (double)a[(size_t)y * nx + x] * b[(size_t)y * nx + x];
        EXPECT_NEAR(r[y], s, 1e-5 * std::fabs(s)) << y;
    }
    cudaFree(da), cudaFree(db), cudaFree(dn), cudaFree(rows), cudaFree(ra), cudaFree(rb);
}

TEST(GpuCorrelation, CcfMapMatchesDirectCircularCorrelation) {
    const int nx = 12, ny = 8, dx = 3, dy = -2;
    const Image a = wavy(nx, ny, 0.4);
    Image b(a.size());
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x)  // b(x, y) = a(x - dx, y - dy)
            b[(size_t)y * nx + x] = a[(size_t)((y - dy + ny) % ny) * nx + (x - dx + nx) % nx];
    Image map(a.size(), -7.0f);
    EXPECT_EQ(gpu_x2d_ccf(a.data(), b.data(), map.data(), nx, ny), 0);
    // Direct: coefficient at every lag, placed at ((nx/2 + lx) mod nx, (ny/2 + ly) mod ny).
    const double ma = mean(a), mb = mean(b);
    double aa = 0, bb = 0;
    for (size_t i = 0; i < a.size(); ++i) aa += (a[i] - ma) * (a[i] - ma), bb += (b[i] - mb) * (b[i] - mb);
    for (int ly = 0; ly < ny; ++ly)
        for (int lx = 0; lx < nx; ++lx) {
            double s = 0;
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x)
                    s += (a[(size_t)((y + ly) % ny) * nx + (x + lx) % nx] - ma) * (b[(size_t)y * nx + x] - mb);
            const size_t at = (size_t)((ny / 2 + ly) % ny) * nx + (nx / 2 + lx) % nx;
            ASSERT_NEAR(map[at], s / std::sqrt(aa * bb), 1e-5) << lx << "," << ly;
        }
    int px, py;
    float pv;
    cpu_2d_get_unique_peak(map.data(), nx, ny, px, py, pv);
    EXPECT_EQ(px, ((nx / 2 - dx) % nx + nx) % nx);
    EXPECT_EQ(py, ((ny / 2 - dy) % ny + ny) % ny);
    EXPECT_NEAR(pv, 1.0f, 1e-5);
}

TEST(GpuCorrelationDeath, CcfRefusesOddSizes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Image a = wavy(9, 8, 0.0);
    Image map(a.size());
    EXPECT_EXIT((dup2(2, 1), gpu_x2d_ccf(a.data(), a.data(), map.data(), 9, 8)), ::testing::ExitedWithCode(1),
                "Error in function hcuda_x2d_ccf\\(\\), file src/process2d_raw on line [0-9]+: Image size must be even");
}

// ---------------- masked host correlation ----------------

// Normalised under the mask to mean 0, deviation 1 (moments weighted by the mask), then masked.
Image masked_normalised(const Image& a, const Image& m) {
    double sm = 0, s = 0, ss = 0;
    for (size_t i = 0; i < a.size(); ++i) sm += m[i], s += m[i] * a[i];
    const double mu = s / sm;
    for (size_t i = 0; i < a.size(); ++i) ss += m[i] * (a[i] - mu) * (a[i] - mu);
    const double sd = std::sqrt(ss / sm);
    Image out(a.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = (float)((a[i] - mu) / sd * m[i]);
    return out;
}
double dot(const Image& a, const Image& b) {
    double s = 0;
    for (size_t i = 0; i < a.size(); ++i) s += (double)a[i] * b[i];
    return s;
}

TEST(MaskedCorrelation, AgreesWithDirectMaskedNormalisation) {
    const int nx = 20, ny = 16;
    const Image a = wavy(nx, ny, 0.2), b = wavy(nx, ny, 0.9);
    Image ma(a.size()), mb(a.size()), m(a.size());
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            const size_t i = (size_t)y * nx + x;
            ma[i] = x < 15 ? 1.0f : 0.25f;
            mb[i] = y > 2 ? 0.8f : 0.0f;
            m[i] = ma[i] * mb[i];
        }
    const Image an = masked_normalised(a, m), bn = masked_normalised(b, m);
    const double ccc = dot(an, bn) / std::sqrt(dot(an, an) * dot(bn, bn));

    EXPECT_NEAR(cpu_x2d_ccc_withmask(a.data(), b.data(), m.data(), nx, ny), ccc, 1e-5);
    EXPECT_NEAR(cpu_x2d_ccc_with2maskfs(a.data(), b.data(), ma.data(), mb.data(), nx, ny), ccc, 1e-5);
    EXPECT_NEAR(cpu_x2d_dot_withmask(a.data(), b.data(), m.data(), nx, ny), dot(an, bn), 1e-3);
    EXPECT_NEAR(cpu_x2d_ccc_with2maskfs2(a.data(), b.data(), ma.data(), mb.data(), nx, ny), pearson(an, bn), 1e-5);

    Image a2 = a, b2 = b;
    EXPECT_NEAR(cpu_x2d_ccc_withmask_inplace(a2.data(), b2.data(), m.data(), nx, ny), ccc, 1e-5);
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_NEAR(a2[i], an[i], 1e-5);
        ASSERT_NEAR(b2[i], bn[i], 1e-5);
    }
    a2 = a, b2 = b;
    EXPECT_NEAR(cpu_x2d_dot_withmask_inplace(a2.data(), b2.data(), m.data(), nx, ny), dot(an, bn), 1e-3);
    EXPECT_NEAR(a2[5], an[5], 1e-5);
}

// ---------------- linear normalisation ----------------

TEST(LinearNorm, FactorsBringTheImageToTheReferencesMeanAndDeviation) {
    const int nx = 15, ny = 11;
    const Image ref = wavy(nx, ny, 0.3);
    Image b = wavy(nx, ny, 2.1);
    for (float& v : b) v = 40.0f - 7.0f * v;
    float k, c;
    cpu_x2d_get_linear_norm_factors(ref.data(), b.data(), nx, ny, k, c);
    Image kb = b;
    cpu_2d_linear_norm_kb_inplace(kb.data(), nx, ny, k, c);
    EXPECT_NEAR(mean(kb), mean(ref), 1e-5);
    EXPECT_NEAR(stdv(kb), stdv(ref), 1e-5);

    Image image = b;
    cpu_2d_norm_by_reference_inplace(image.data(), ref.data(), nx, ny);
    EXPECT_NEAR(mean(image), mean(ref), 1e-5);
    EXPECT_NEAR(stdv(image), stdv(ref), 1e-5);
    for (size_t i = 0; i < b.size(); ++i) ASSERT_NEAR(image[i], kb[i], 1e-5);
}

}  // namespace
