// Line and polynomial least squares, the dense solver and polynomial evaluation,
// against exact data, hand-solved systems and independent double references.
#include "curve_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

// Slope and intercept by the centred formulas, in double.
void reference_line(const std::vector<double>& x, const std::vector<double>& y, double& a, double& b) {
    double mx = 0, my = 0;
    for (size_t i = 0; i < x.size(); ++i) mx += x[i], my += y[i];
    mx /= x.size();
    my /= y.size();
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
    }
    a = sxy / sxx;
    b = my - a * mx;
}

template <class R>
void expect_slope_2_intercept_1(R a, R b, const char* name) {
    EXPECT_NEAR(a, 2.0, 1e-6) << name;
    EXPECT_NEAR(b, 1.0, 1e-6) << name;
}

template <class T, class R>
void fit_three_points(const char* name) {
    const T x[] = {0, 1, 2}, y[] = {1, 3, 5};
    R a = 0, b = 0;
    smp_line_fit<T, R>(x, y, 3, a, b);
    expect_slope_2_intercept_1(a, b, name);
}

TEST(LineFit, NoisyDataMatchesCentredReference) {
    const std::vector<double> x = {0.5, 1.25, 2.0, 3.5, 4.0, 6.75, 7.0};
    const std::vector<double> y = {1.1, 2.9, 3.7, 7.6, 8.1, 14.2, 14.0};
    double ra, rb, a, b;
    reference_line(x, y, ra, rb);
    smp_line_fit<double, double>(x.data(), y.data(), 7, a, b);
    EXPECT_NEAR(a, ra, 1e-12);
    EXPECT_NEAR(b, rb, 1e-12);
    std::vector<float> xf(x.begin(), x.end()), yf(y.begin(), y.end());
    float af, bf;
    smp_line_fit<float, float>(xf.data(), yf.data(), 7, af, bf);
    EXPECT_NEAR(af, ra, 1e-5);
    EXPECT_NEAR(bf, rb, 1e-5);
}

TEST(LineFit, AllEqualXGivesTheDivisionsResult) {
    const double x[] = {2, 2, 2}, y[] = {1, 2, 3};
    double a = 0, b = 0;
    smp_line_fit<double, double>(x, y, 3, a, b);
    EXPECT_FALSE(std::isfinite(a));
}

template <class P, class R>
void fit_pairs(const char* name) {
    const std::vector<P> pairs = {{0, 1}, {1, 3}, {2, 5}, {3, 7}};
    R a = 0, b = 0;
    smp_line_fit2<P, R>(pairs, a, b);
    expect_slope_2_intercept_1(a, b, name);
}

TEST(LineFit, ExactLineInEveryInstance) {
    const struct {
        const char* name;
        void (*fit)(const char*);
    } cases[] = {
        {"float, float", fit_three_points<float, float>},
        {"int, float", fit_three_points<int, float>},
        {"unsigned, float", fit_three_points<unsigned, float>},
        {"float, double", fit_three_points<float, double>},
        {"double, double", fit_three_points<double, double>},
        {"unsigned, double", fit_three_points<unsigned, double>},
        {"pairs float2, float", fit_pairs<float2, float>},
        {"pairs float2, double", fit_pairs<float2, double>},
        {"pairs double2, float", fit_pairs<double2, float>},
        {"pairs double2, double", fit_pairs<double2, double>},
        {"pairs int2, float", fit_pairs<int2, float>},
        {"pairs int2, double", fit_pairs<int2, double>},
        {"pairs uint2, float", fit_pairs<uint2, float>},
        {"pairs uint2, double", fit_pairs<uint2, double>},
    };
    for (const auto& c : cases) c.fit(c.name);
}

TEST(LineFit, DoublePairsAreFittedAfterConversionToFloat) {
    // y = 1 + 1e-10·x: a float cannot hold the rise, so the fitted slope is 0.
    const std::vector<double2> pairs = {{0, 1}, {1, 1 + 1e-10}, {2, 1 + 2e-10}, {3, 1 + 3e-10}};
    double a = 1, b = 0;
    smp_line_fit2<double2, double>(pairs, a, b);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(b, 1.0);
}

// ---------------------------------------------------------------- polynomials

TEST(PolyFit, RecoversAQuadraticInEveryForm) {
    const std::vector<double> x = {-2.0, -0.5, 0.0, 1.0, 3.0};
    std::vector<double> y;
    for (double v : x) y.push_back(1 + 2 * v + 3 * v * v);
    std::vector<float> xf(x.begin(), x.end()), yf(y.begin(), y.end());
    std::vector<float2> pairs;
    for (size_t i = 0; i < x.size(); ++i) pairs.push_back(make_float2(xf[i], yf[i]));

    double c[3];
    smp_poly_fit(x.data(), y.data(), 5, c, 2);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(c[k], k + 1.0, 1e-10) << "poly_fit " << k;
    smp_poly_fit2<double>(x.data(), y.data(), 5, c, 2);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(c[k], k + 1.0, 1e-10) << "poly_fit2<double> " << k;
    smp_poly_fit3(pairs, c, 2);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(c[k], k + 1.0, 1e-10) << "poly_fit3 double " << k;
    float cf[3];
    smp_poly_fit2<float>(xf.data(), yf.data(), 5, cf, 2);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(cf[k], k + 1.0, 1e-4) << "poly_fit2<float> " << k;
    smp_poly_fit3(pairs, cf, 2);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(cf[k], k + 1.0, 1e-4) << "poly_fit3 float " << k;
    // The vector form replaces what the vector held with exactly m + 1 values.
    std::vector<float> cv = {9, 9, 9, 9, 9, 9};
    smp_poly_fit3(pairs, cv, 2);
    ASSERT_EQ(cv.size(), 3u);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(cv[k], cf[k]);
}

TEST(PolyFit, FirstOrderFitIsTheLeastSquaresLine) {
    const std::vector<double> x = {0.5, 1.25, 2.0, 3.5, 4.0, 6.75, 7.0};
    const std::vector<double> y = {1.1, 2.9, 3.7, 7.6, 8.1, 14.2, 14.0};
    double ra, rb, c[2];
    reference_line(x, y, ra, rb);
    smp_poly_fit(x.data(), y.data(), 7, c, 1);
    EXPECT_NEAR(c[0], rb, 1e-10);
    EXPECT_NEAR(c[1], ra, 1e-10);
}

TEST(PolyGet, HornerEvaluation) {
    const double x[] = {-1.5, 0.0, 2.0, 10.0};
    const double c[] = {1.0, -2.0, 0.5, 0.25};
    double y[4];
    smp_poly_get2<double>(x, y, 4, c, 3);
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(y[i], 1 - 2 * x[i] + 0.5 * x[i] * x[i] + 0.25 * x[i] * x[i] * x[i], 1e-12) << i;
    // Order 0 writes c[0] everywhere; n < 1 writes nothing.
    smp_poly_get2<double>(x, y, 4, c, 0);
    for (double v : y) EXPECT_EQ(v, 1.0);
    y[0] = 42.0;
    smp_poly_get2<double>(x, y, 0, c, 3);
    smp_poly_get2<double>(x, y, -3, c, 3);
    EXPECT_EQ(y[0], 42.0);
}

TEST(PolyGet, FloatFormCarriesTheValueInDouble) {
    // x² - 1 at x = 1 + 2^-12 is 2^-11 + 2^-24; in float, x·x loses the 2^-24.
    const float x = 1.0f + std::ldexp(1.0f, -12);
    const float c[] = {-1.0f, 0.0f, 1.0f};
    float y = 0;
    smp_poly_get2<float>(&x, &y, 1, c, 2);
    EXPECT_EQ(y, std::ldexp(1.0f, -11) + std::ldexp(1.0f, -24));
}

// ---------------------------------------------------------------- solver

TEST(GaussSolve, PivotsOnTheLargestEntryOfTheColumn) {
    // x + 2y = 5, 3x + 4y = 6: rows exchange before the elimination.
    double A[] = {1, 2, 3, 4}, b[] = {5, 6}, out[2];
    smp_gauss_solve(2, A, out, b);
    EXPECT_DOUBLE_EQ(out[0], -4.0);
    EXPECT_DOUBLE_EQ(out[1], 4.5);
    EXPECT_EQ(A[0], 3.0);
    EXPECT_EQ(A[1], 4.0);
    EXPECT_EQ(b[0], 6.0);

    // A zero first diagonal element: row 0 trades with the row of largest |A[j][0]|.
    double Z[] = {0, 1, 1,  //
                  2, 1, 0,  //
                  -5, 0, 1};
    double zb[] = {4, 3, -2}, z[3];  // solution (1, 1, 3)
    smp_gauss_solve(3, Z, z, zb);
    EXPECT_EQ(Z[0], -5.0);
    EXPECT_NEAR(z[0], 1.0, 1e-12);
    EXPECT_NEAR(z[1], 1.0, 1e-12);
    EXPECT_NEAR(z[2], 3.0, 1e-12);
}

TEST(GaussSolve, ResidualOfALargerSystem) {
    const int n = 5;
    std::vector<double> A(n * n), b(n);
    for (int r = 0; r < n; ++r) {
        for (int k = 0; k < n; ++k) A[r * n + k] = std::sin(1.0 + r * 7 + k * 3) + (r == k ? 0.5 : 0.0);
        b[r] = std::cos(2.0 + r);
    }
    const std::vector<double> A0 = A, b0 = b;
    std::vector<double> x(n);
    smp_gauss_solve(n, A.data(), x.data(), b.data());
    for (int r = 0; r < n; ++r) {
        double s = 0;
        for (int k = 0; k < n; ++k) s += A0[r * n + k] * x[k];
        EXPECT_NEAR(s, b0[r], 1e-10) << r;
    }
}

TEST(GaussSolve, SingularSystemGivesNonFiniteValues) {
    double A[] = {1, 2, 2, 4}, b[] = {1, 1}, out[2];
    smp_gauss_solve(2, A, out, b);
    EXPECT_FALSE(std::isfinite(out[0]) && std::isfinite(out[1]));
}

// ---------------------------------------------------------------- diagnostic

TEST(RotPolyFit, StoresTheAngleAndPrintsTheLevelledPoints) {
    double x[] = {0, 1, 2, 3}, y[] = {1, 2, 3, 4};  // slope 1
    double angle = 0;
    testing::internal::CaptureStdout();
    rot_poly_fit(x, y, 4, angle, nullptr, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NEAR(angle, std::atan(1.0), 1e-12);
    // Turned about the centroid (1.5, 2.5): every point at height 2.5, spaced by √2.
    const char* p = out.c_str();
    for (int i = 0; i < 4; ++i) {
        double px = 0, py = 0;
        int used = 0;
        ASSERT_EQ(std::sscanf(p, "%lf %lf \n%n", &px, &py, &used), 2) << out;
        EXPECT_NEAR(py, 2.5, 1e-6) << i;
        EXPECT_NEAR(px, 1.5 + (i - 1.5) * std::sqrt(2.0), 1e-6) << i;
        p += used;
    }
}

}  // namespace
