#define VORN_UNIT "src/curve_fit"
// Line and polynomial least squares. The polynomial fit builds the normal
// equations from running powers and solves them by Gaussian elimination, both
// in the working type, so that the float forms round as a float program does.
#include "curve_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "math_utils.h"

namespace {

unsigned long sample_count(int n) { return n > 0 ? (unsigned long)n : 0UL; }

// Elimination with partial pivoting (ties keep the upper row), then back
// substitution; every step in T.
template <class T>
void gauss_eliminate(int N, T* A, T* out, T* b) {
    if (N < 1) return;
    const auto at = [=](int r, int c) -> T& { return A[(size_t)r * N + c]; };
    for (int i = 0; i < N - 1; ++i) {
        int f = i;
        for (int j = i + 1; j < N; ++j)
            if (std::fabs(at(j, i)) > std::fabs(at(f, i))) f = j;
        if (f != i) {
            std::swap_ranges(&at(i, 0), &at(i, 0) + N, &at(f, 0));
            std::swap(b[i], b[f]);
        }
        for (int j = i + 1; j < N; ++j) {
            for (int k = i + 1; k < N; ++k) at(j, k) = at(j, k) - at(j, i) * at(i, k) / at(i, i);
            b[j] = b[j] - at(j, i) * b[i] / at(i, i);
        }
    }
    out[N - 1] = b[N - 1] / at(N - 1, N - 1);
    for (int i = N - 2; i >= 0; --i) {
        T s = b[i];
        for (int k = i + 1; k < N; ++k) s -= at(i, k) * out[k];
        out[i] = s / at(i, i);
    }
}

// Σ run[i] in T, then run[i] *= x[i]: one step of the running power sums.
template <class T>
T sum_then_advance(std::vector<T>& run, const T* x) {
    T s = 0;
    for (const T v : run) s += v;
    for (size_t i = 0; i < run.size(); ++i) run[i] *= x[i];
    return s;
}

template <class T>
void poly_fit(const T* x, const T* y, int n, T* c, int m) {
    if (m < 0) return;
    const int N = m + 1;
    std::vector<T> power(sample_count(n), T(1)), moment(y, y + sample_count(n));
    std::vector<T> S(2 * N - 1), M((size_t)N * N), rhs(N);
    for (T& s : S) s = sum_then_advance(power, x);
    for (T& t : rhs) t = sum_then_advance(moment, x);
    for (int r = 0; r < N; ++r)
        for (int k = 0; k < N; ++k) M[(size_t)r * N + k] = S[r + k];
    gauss_eliminate(N, M.data(), c, rhs.data());
}

template <class T>
void poly_fit_pairs(const std::vector<float2>& pairs, T* c, int m) {
    std::vector<T> x, y;
    for (const float2& p : pairs) {
        x.push_back((T)p.x);
        y.push_back((T)p.y);
    }
    smp_poly_fit2<T>(x.data(), y.data(), (int)pairs.size(), c, m);
}

}  // namespace

template <class T, class R>
void smp_line_fit(const T* x, const T* y, int n, R& a, R& b) {
    const unsigned long count = sample_count(n);
    const double mx = thm_mean(x, count), my = thm_mean(y, count);
    const double sxx = thm_sum_sqr(x, count), sxy = thm_dot(x, y, count);
    const double nmx = (double)count * mx;
    a = (R)((sxy - my * nmx) / (sxx - nmx * mx));
    b = (R)(my - (double)a * mx);
}

template <class P, class R>
void smp_line_fit2(const std::vector<P>& pairs, R& a, R& b) {
    std::vector<float> x, y;
    for (const P& p : pairs) {
        x.push_back((float)p.x);
        y.push_back((float)p.y);
    }
    smp_line_fit<float, R>(x.data(), y.data(), (int)pairs.size(), a, b);
}

void smp_gauss_solve(int n, double* A, double* out, double* b) { gauss_eliminate(n, A, out, b); }

void smp_poly_fit(const double* x, const double* y, int n, double* c, int m) { poly_fit(x, y, n, c, m); }

template <class T>
void smp_poly_fit2(const T* x, const T* y, int n, T* c, int m) {
    poly_fit(x, y, n, c, m);
}

void smp_poly_fit3(const std::vector<float2>& pairs, double* c, int m) { poly_fit_pairs(pairs, c, m); }
void smp_poly_fit3(const std::vector<float2>& pairs, float* c, int m) { poly_fit_pairs(pairs, c, m); }
void smp_poly_fit3(const std::vector<float2>& pairs, std::vector<float>& c, int m) {
    std::vector<float> fitted(m >= 0 ? m + 1 : 0);
    poly_fit_pairs(pairs, fitted.data(), m);
    c.assign(fitted.begin(), fitted.end());
}

template <class T>
void smp_poly_get2(const T* x, T* y, int n, const T* c, int m) {
    if (m < 0) return;
    for (int i = 0; i < n; ++i) {
        double v = (double)c[m];
        for (int k = m - 1; k >= 0; --k) v = v * (double)x[i] + (double)c[k];
        y[i] = (T)v;
    }
}

void rot_poly_fit(double* x, double* y, int n, double& angle, double*, int) {
    double slope, intercept;
    smp_line_fit<double, double>(x, y, n, slope, intercept);
    angle = std::atan(slope);
    const double cx = thm_mean(x, sample_count(n)), cy = thm_mean(y, sample_count(n));
    const double cs = std::cos(angle), sn = std::sin(angle);
    for (int i = 0; i < n; ++i) {
        const double dx = x[i] - cx, dy = y[i] - cy;
        std::printf("%f %f \n", dx * cs + dy * sn + cx, dy * cs - dx * sn + cy);
    }
}

template void smp_line_fit<float, float>(const float*, const float*, int, float&, float&);
template void smp_line_fit<int, float>(const int*, const int*, int, float&, float&);
template void smp_line_fit<unsigned, float>(const unsigned*, const unsigned*, int, float&, float&);
template void smp_line_fit<float, double>(const float*, const float*, int, double&, double&);
template void smp_line_fit<double, double>(const double*, const double*, int, double&, double&);
template void smp_line_fit<unsigned, double>(const unsigned*, const unsigned*, int, double&, double&);

#define VORN_LINE_FIT2(P)                                                       \
    template void smp_line_fit2<P, float>(const std::vector<P>&, float&, float&); \
    template void smp_line_fit2<P, double>(const std::vector<P>&, double&, double&);
VORN_LINE_FIT2(float2)
VORN_LINE_FIT2(double2)
VORN_LINE_FIT2(int2)
VORN_LINE_FIT2(uint2)

template void smp_poly_fit2<float>(const float*, const float*, int, float*, int);
template void smp_poly_fit2<double>(const double*, const double*, int, double*, int);
template void smp_poly_get2<float>(const float*, float*, int, const float*, int);
template void smp_poly_get2<double>(const double*, double*, int, const double*, int);
