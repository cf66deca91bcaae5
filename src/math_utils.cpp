#define VORN_UNIT "src/math_utils"
// Host array mathematics. The order and precision of every sum are part of the
// results' contract: one double accumulator, index order, products formed in
// float where the header says "single".
#include "math_utils.h"

#include <math.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "report.h"

namespace {

// Σ term(i) for i = 0 .. n-1 in one double accumulator.
template <class Term>
double sum_over(unsigned long n, Term term) {
    double s = 0.0;
    for (unsigned long i = 0; i < n; ++i) s += term(i);
    return s;
}

template <class T>
double widen(T v) {
    return (double)v;
}
// char counts as signed whatever the platform's default.
double widen(char v) { return (double)(signed char)v; }

// Σ ((double)x - m)² about the mean m = Σx / n that the caller has taken.
double sum_sq_dev(const float* x, unsigned long n, double m) {
    return sum_over(n, [=](unsigned long i) {
        const double d = (double)x[i] - m;
        return d * d;
    });
}

// Index of the first element that no later one beats; 0 for an empty array.
template <class Better>
unsigned long first_best(const float* x, unsigned long n, Better better) {
    unsigned long best = 0;
    for (unsigned long i = 1; i < n; ++i)
        if (better(x[i], x[best])) best = i;
    return best;
}

float value_at(const float* x, unsigned long n, unsigned long i) { return n > 0 ? x[i] : 0.0f; }

template <class Op>
void map1(float* dst, const float* src, unsigned long n, Op op) {
    for (unsigned long i = 0; i < n; ++i) dst[i] = op(src[i]);
}

template <class Op>
void map2(float* dst, const float* a, const float* b, unsigned long n, Op op) {
    for (unsigned long i = 0; i < n; ++i) dst[i] = op(a[i], b[i]);
}

// dst = op(src - μ), μ the mean of src converted to float; n = 0 does nothing.
template <class Op>
void map_submean(float* dst, const float* src, unsigned long n, Op op) {
    if (n == 0) return;
    const float mu = (float)(hm_sum(src, n) / (double)n);
    map1(dst, src, n, [=](float x) { return op(x - mu); });
}

// dst = f((double)src), stored as float.
template <class F>
void map_double(float* dst, const float* src, unsigned long n, F f) {
    map1(dst, src, n, [&](float x) { return (float)f((double)x); });
}

struct Moments {
    double mean, stdv;
};

Moments plain_moments(const float* x, unsigned long n) {
    Moments mo;
    hm_mean_stdv(x, n, mo.mean, mo.stdv);
    return mo;
}

// Mean and deviation weighted by m, each divided by the checked mask sum.
Moments masked_moments(const float* x, const float* m, unsigned long n) {
    const double s = hm_sum_check0(m, n);
    const double mu = hm_dot(x, m, n) / s;
    const double v = sum_over(n, [=](unsigned long i) {
                         const double d = (double)x[i] - mu;
                         return d * d * (double)m[i];
                     }) / s;
    return {mu, std::sqrt(v)};
}

// dst = (src - μ) · (a / σ) + b in double.
void znorm_pass(float* dst, const float* src, unsigned long n, Moments mo, float a, float b) {
    const double g = (double)a / mo.stdv;
    map_double(dst, src, n, [=](double x) { return (x - mo.mean) * g + (double)b; });
}

}  // namespace

// ---------------------------------------------------------------- reductions

double hm_sum(const float* x, unsigned long n) { return sum_over(n, [=](unsigned long i) { return (double)x[i]; }); }
double hm_sum(const double* x, unsigned long n) { return sum_over(n, [=](unsigned long i) { return x[i]; }); }
float hm_sumf(const float* x, unsigned long n) { return (float)hm_sum(x, n); }
double hm_mean(const float* x, unsigned long n) { return hm_sum(x, n) / (double)n; }
double hm_mean(const double* x, unsigned long n) { return hm_sum(x, n) / (double)n; }
float hm_meanf(const float* x, unsigned long n) { return (float)hm_mean(x, n); }

double hm_sum_sqr(const float* x, unsigned long n) {
    return sum_over(n, [=](unsigned long i) { return (double)(x[i] * x[i]); });
}
float hm_sum_sqrf(const float* x, unsigned long n) { return (float)hm_sum_sqr(x, n); }
double hm_sqr_sum(const float* x, unsigned long n) {
    const double s = hm_sum(x, n);
    return s * s;
}
float hm_sqr_sumf(const float* x, unsigned long n) { return (float)hm_sqr_sum(x, n); }
double hm_mod(const float* x, unsigned long n) { return std::sqrt(hm_sum_sqr(x, n)); }
float hm_modf(const float* x, unsigned long n) { return sqrtf((float)hm_sum_sqr(x, n)); }
double hm_l1_norm(const float* x, unsigned long n) {
    return sum_over(n, [=](unsigned long i) { return (double)fabsf(x[i]); });
}
float hm_l1_normf(const float* x, unsigned long n) { return (float)hm_l1_norm(x, n); }
double hm_l2_norm(const float* x, unsigned long n) { return hm_mod(x, n); }
float hm_l2_normf(const float* x, unsigned long n) { return hm_modf(x, n); }
double hm_lp_norm(const float* x, unsigned long n, float p) {
    const double s = sum_over(n, [=](unsigned long i) { return (double)powf(fabsf(x[i]), p); });
    return std::pow(s, 1.0 / (double)p);
}
float hm_lp_normf(const float* x, unsigned long n, float p) { return (float)hm_lp_norm(x, n, p); }
double hm_linfi_norm(const float* x, unsigned long n) {
    const auto larger_abs = [](float u, float v) { return fabsf(u) > fabsf(v); };
    return n > 0 ? (double)fabsf(x[first_best(x, n, larger_abs)]) : 0.0;
}
float hm_linfi_normf(const float* x, unsigned long n) { return (float)hm_linfi_norm(x, n); }

double hm_variance(const float* x, unsigned long n) { return sum_sq_dev(x, n, hm_mean(x, n)) / (double)n; }
float hm_variancef(const float* x, unsigned long n) { return (float)hm_variance(x, n); }
double hm_svariance(const float* x, unsigned long n) { return sum_sq_dev(x, n, hm_mean(x, n)) / (double)(n - 1); }
float hm_svariancef(const float* x, unsigned long n) { return (float)hm_svariance(x, n); }
double hm_stdv(const float* x, unsigned long n) { return std::sqrt(hm_variance(x, n)); }
float hm_stdvf(const float* x, unsigned long n) { return sqrtf(hm_variancef(x, n)); }
double hm_sstdv(const float* x, unsigned long n) { return std::sqrt(hm_svariance(x, n)); }
float hm_sstdvf(const float* x, unsigned long n) { return sqrtf(hm_svariancef(x, n)); }

// One pass for the mean, one for the deviations about it.
void hm_mean_stdv(const float* x, unsigned long n, double& mean, double& stdv) {
    const double m = hm_mean(x, n);
    mean = m;
    stdv = std::sqrt(sum_sq_dev(x, n, m) / (double)n);
}
void hm_mean_stdvf(const float* x, unsigned long n, float& mean, float& stdv) {
    const double m = hm_mean(x, n);
    mean = (float)m;
    stdv = sqrtf((float)(sum_sq_dev(x, n, m) / (double)n));
}
void hm_mean_stdv_max_minf(const float* x, unsigned long n, float& mean, float& stdv, float& max, float& min) {
    hm_mean_stdvf(x, n, mean, stdv);
    hm_max_min_value(x, n, max, min);
}

double hm_update_mean_stdv_by_one_more(float& mean, float& stdv, unsigned long n, float x) {
    const float count = (float)n;
    const float new_mean = (float)((double)(mean * count + x) / (double)(n + 1));
    const float moment = (stdv * stdv + mean * mean) * count + x * x;
    const double var = (double)moment / (double)(n + 1) - (double)(new_mean * new_mean);
    mean = new_mean;
    stdv = (float)std::sqrt(var);
    return (double)new_mean;
}

double hm_dot(const float* a, const float* b, unsigned long n) {
    return sum_over(n, [=](unsigned long i) { return (double)(a[i] * b[i]); });
}
float hm_dotf(const float* a, const float* b, unsigned long n) { return (float)hm_dot(a, b, n); }
double hm_dot_withmask(const float* a, const float* b, const float* m, unsigned long n) {
    return sum_over(n, [=](unsigned long i) { return (double)((a[i] * b[i]) * m[i]); });
}
float hm_dotf_withmask(const float* a, const float* b, const float* m, unsigned long n) {
    float s = 0.0f;
    for (unsigned long i = 0; i < n; ++i) s += (a[i] * b[i]) * m[i];
    return s;
}
double hm_dot_weighted(const float* a, const float* b, const float* w, unsigned long n) {
    return hm_dot_withmask(a, b, w, n);
}
float hm_dotf_weighted(const float* a, const float* b, const float* w, unsigned long n) {
    return hm_dotf_withmask(a, b, w, n);
}
double hm_covariance(const float* a, const float* b, unsigned long n) {
    const double ma = hm_mean(a, n), mb = hm_mean(b, n);
    return sum_over(n, [=](unsigned long i) { return ((double)a[i] - ma) * ((double)b[i] - mb); });
}
float hm_covariancef(const float* a, const float* b, unsigned long n) { return (float)hm_covariance(a, b, n); }
float hm_ccc_norm(const float* a, const float* b, unsigned long n) {
    const double ab = hm_dot(a, b, n);
    const double aa = sum_over(n, [=](unsigned long i) { return (double)a[i] * (double)a[i]; });
    const double bb = sum_over(n, [=](unsigned long i) { return (double)b[i] * (double)b[i]; });
    return (float)(ab / std::sqrt(aa * bb));
}

double Rfactor_linear_all_ave(const float* a, const float* b, unsigned long n) {
    const double diff = sum_over(n, [=](unsigned long i) { return std::fabs((double)(a[i] - b[i])); });
    return diff / sum_over(n, [=](unsigned long i) { return std::fabs((double)a[i]); });
}
double Rfactor_square_all_ave(const float* a, const float* b, unsigned long n) {
    const double diff = sum_over(n, [=](unsigned long i) {
        const float d = a[i] - b[i];
        return (double)(d * d);
    });
    return std::sqrt(diff / hm_sum_sqr(a, n));
}
double Rfactor_linear_each_ave(const float* a, const float* b, unsigned long n) {
    const double s = sum_over(n, [=](unsigned long i) {
        return std::fabs((double)(a[i] - b[i])) / std::max(std::fabs((double)a[i]), 0.00001);
    });
    return s / (double)n;
}
double Rfactor_square_each_ave(const float* a, const float* b, unsigned long n) {
    const double s = sum_over(n, [=](unsigned long i) {
        const float d = a[i] - b[i];
        return (double)(d * d) / std::max((double)(a[i] * a[i]), 0.00001);
    });
    return std::sqrt(s / (double)n);
}

// ---------------------------------------------------------------- extrema

unsigned long hm_max_index(const float* x, unsigned long n) { return first_best(x, n, std::greater<float>()); }
unsigned long hm_min_index(const float* x, unsigned long n) { return first_best(x, n, std::less<float>()); }
float hm_max_value(const float* x, unsigned long n) { return value_at(x, n, hm_max_index(x, n)); }
float hm_min_value(const float* x, unsigned long n) { return value_at(x, n, hm_min_index(x, n)); }

void hm_max_value_and_index(const float* x, unsigned long n, float& max, unsigned long& imax) {
    imax = hm_max_index(x, n);
    max = value_at(x, n, imax);
}
void hm_min_value_and_index(const float* x, unsigned long n, float& min, unsigned long& imin) {
    imin = hm_min_index(x, n);
    min = value_at(x, n, imin);
}
void hm_max_min_value_and_index(const float* x, unsigned long n, float& max, float& min, unsigned long& imax,
                                unsigned long& imin) {
    hm_max_value_and_index(x, n, max, imax);
    hm_min_value_and_index(x, n, min, imin);
}
void hm_min_max_value_and_index(const float* x, unsigned long n, float& min, float& max, unsigned long& imin,
                                unsigned long& imax) {
    hm_max_min_value_and_index(x, n, max, min, imax, imin);
}
void hm_max_min_value(const float* x, unsigned long n, float& max, float& min) {
    max = hm_max_value(x, n);
    min = hm_min_value(x, n);
}
void hm_min_max_value(const float* x, unsigned long n, float& min, float& max) { hm_max_min_value(x, n, max, min); }
void hm_max_min_index(const float* x, unsigned long n, unsigned long& imax, unsigned long& imin) {
    imax = hm_max_index(x, n);
    imin = hm_min_index(x, n);
}
void hm_min_max_index(const float* x, unsigned long n, unsigned long& imin, unsigned long& imax) {
    hm_max_min_index(x, n, imax, imin);
}
void hm_max_min_mean(const float* x, unsigned long n, float& max, float& min, float& mean) {
    hm_max_min_value(x, n, max, min);
    mean = hm_meanf(x, n);
}
void hm_max_min_mean_value(const float* x, unsigned long n, float& max, float& min, float& mean) {
    hm_max_min_mean(x, n, max, min, mean);
}
void hm_min_max_mean(const float* x, unsigned long n, float& min, float& max, float& mean) {
    hm_max_min_mean(x, n, max, min, mean);
}
void hm_min_max_mean_value(const float* x, unsigned long n, float& min, float& max, float& mean) {
    hm_max_min_mean(x, n, max, min, mean);
}

// ---------------------------------------------------------------- peaks

unsigned long peak_index_masked(const float* v, const int* mask, unsigned long n) {
    unsigned long best = n;
    for (unsigned long j = 0; j < n; ++j)
        if (mask[j] != 0 && (best == n || v[j] > v[best])) best = j;
    return best;
}

// Takes element k and the slopes falling away from it on both sides; the walks
// look at the values only. k outside the array takes nothing.
void peak_make_mask(const float* v, int* mask, unsigned long n, unsigned long k) {
    if (k >= n) return;
    mask[k] = 0;
    for (unsigned long j = k + 1; j < n && v[j - 1] > v[j]; ++j) mask[j] = 0;
    for (long j = (long)k - 1; j >= 0 && v[j + 1] > v[j]; --j) mask[j] = 0;
}

void peak_indices(const float* v, unsigned long n, unsigned long* idx, unsigned long k) {
    std::vector<int> mask(n, 1);
    for (unsigned long i = 0; i < std::min(k, n); ++i) {
        idx[i] = peak_index_masked(v, mask.data(), n);
        peak_make_mask(v, mask.data(), n, idx[i]);
    }
}

// ---------------------------------------------------------------- typed reductions

template <class T>
double thm_sum(const T* x, unsigned long n) {
    return sum_over(n, [=](unsigned long i) { return widen(x[i]); });
}
template <class T>
double thm_mean(const T* x, unsigned long n) {
    return thm_sum(x, n) / (double)n;
}
template <class T>
double thm_sum_sqr(const T* x, unsigned long n) {
    return thm_dot(x, x, n);
}
template <class T>
double thm_dot(const T* a, const T* b, unsigned long n) {
    return sum_over(n, [=](unsigned long i) { return widen(a[i]) * widen(b[i]); });
}

#define VORN_THM_REDUCTIONS(T)                                      \
    template double thm_sum<T>(const T*, unsigned long);            \
    template double thm_mean<T>(const T*, unsigned long);           \
    template double thm_sum_sqr<T>(const T*, unsigned long);        \
    template double thm_dot<T>(const T*, const T*, unsigned long);
VORN_THM_REDUCTIONS(double)
VORN_THM_REDUCTIONS(float)
VORN_THM_REDUCTIONS(long)
VORN_THM_REDUCTIONS(int)
VORN_THM_REDUCTIONS(short)
VORN_THM_REDUCTIONS(char)
VORN_THM_REDUCTIONS(unsigned long)
VORN_THM_REDUCTIONS(unsigned int)
VORN_THM_REDUCTIONS(unsigned short)
VORN_THM_REDUCTIONS(unsigned char)

// ---------------------------------------------------------------- elementwise

void hm_add(float* dst, const float* src, unsigned long n, float k) { map1(dst, src, n, [=](float x) { return x + k; }); }
void hm_sub(float* dst, const float* src, unsigned long n, float k) { map1(dst, src, n, [=](float x) { return x - k; }); }
void hm_multi(float* dst, const float* src, unsigned long n, float k) { map1(dst, src, n, [=](float x) { return x * k; }); }
void hm_divide(float* dst, const float* src, unsigned long n, float k) { map1(dst, src, n, [=](float x) { return x / k; }); }
void hm_sub_sqr(float* dst, const float* src, unsigned long n, float k) {
    map1(dst, src, n, [=](float x) { return (x - k) * (x - k); });
}
void hm_multi_add(float* dst, const float* src, unsigned long n, float a, float b) {
    map1(dst, src, n, [=](float x) { return x * a + b; });
}
void hm_linear_norm_kb(float* dst, const float* src, unsigned long n, float k, float b) { hm_multi_add(dst, src, n, k, b); }
void hm_add_multi(float* dst, const float* src, unsigned long n, float a, float b) {
    map1(dst, src, n, [=](float x) { return (x + a) * b; });
}
void hm_divide_sub(float* dst, const float* src, unsigned long n, float a, float b) {
    map1(dst, src, n, [=](float x) { return x / a - b; });
}
void hm_sub_divide(float* dst, const float* src, unsigned long n, float a, float b) {
    map1(dst, src, n, [=](float x) { return (x - a) / b; });
}
void hm_invert(float* dst, const float* src, unsigned long n) { map1(dst, src, n, std::negate<float>()); }
void hm_sqr(float* dst, const float* src, unsigned long n) { map1(dst, src, n, [](float x) { return x * x; }); }
void hm_sqrtf(float* dst, const float* src, unsigned long n) { map1(dst, src, n, [](float x) { return sqrtf(x); }); }
void hm_logf(float* dst, const float* src, unsigned long n) { map1(dst, src, n, [](float x) { return logf(x); }); }
void hm_fabsf(float* dst, const float* src, unsigned long n) { map1(dst, src, n, [](float x) { return fabsf(x); }); }
void hm_tanhf(float* dst, const float* src, unsigned long n) { map1(dst, src, n, [](float x) { return tanhf(x); }); }

// tanh(x / 2b) scaled by b / tanh(1/2), so that x = b keeps its value.
void hm_sig_tanhf(float* dst, const float* src, unsigned long n, float b) {
    map1(dst, src, n, [=](float x) { return (float)((double)tanhf(x / (b + b)) * 2.1639534137386525 * (double)b); });
}
void hm_auto_sig_tanhf(float* dst, const float* src, unsigned long n) { hm_sig_tanhf(dst, src, n, (float)hm_stdv(src, n)); }

void hm_submean(float* dst, const float* src, unsigned long n) { map_submean(dst, src, n, [](float d) { return d; }); }
void hm_submean_sqr(float* dst, const float* src, unsigned long n) { map_submean(dst, src, n, [](float d) { return d * d; }); }
void hm_submean_abs(float* dst, const float* src, unsigned long n) { map_submean(dst, src, n, [](float d) { return fabsf(d); }); }

void hm_add_inplace(float* x, unsigned long n, float k) { hm_add(x, x, n, k); }
void hm_sub_inplace(float* x, unsigned long n, float k) { hm_sub(x, x, n, k); }
void hm_multi_inplace(float* x, unsigned long n, float k) { hm_multi(x, x, n, k); }
void hm_divide_inplace(float* x, unsigned long n, float k) { hm_multi(x, x, n, 1.0f / k); }
void hm_sub_sqr_inplace(float* x, unsigned long n, float k) { hm_sub_sqr(x, x, n, k); }
void hm_multi_add_inplace(float* x, unsigned long n, float a, float b) { hm_multi_add(x, x, n, a, b); }
void hm_linear_norm_kb_inplace(float* x, unsigned long n, float k, float b) { hm_multi_add(x, x, n, k, b); }
void hm_add_multi_inplace(float* x, unsigned long n, float a, float b) { hm_add_multi(x, x, n, a, b); }
void hm_divide_sub_inplace(float* x, unsigned long n, float a, float b) { hm_divide_sub(x, x, n, a, b); }
void hm_sub_divide_inplace(float* x, unsigned long n, float a, float b) { hm_sub_divide(x, x, n, a, b); }
void hm_invert_inplace(float* x, unsigned long n) { hm_invert(x, x, n); }
void hm_sqr_inplace(float* x, unsigned long n) { hm_sqr(x, x, n); }
void hm_sqrtf_inplace(float* x, unsigned long n) { hm_sqrtf(x, x, n); }
void hm_logf_inplace(float* x, unsigned long n) { hm_logf(x, x, n); }
void hm_submean_inplace(float* x, unsigned long n) { hm_submean(x, x, n); }
void hm_submean_sqr_inplace(float* x, unsigned long n) { hm_submean_sqr(x, x, n); }
void hm_submean_abs_inplace(float* x, unsigned long n) { hm_submean_abs(x, x, n); }

void hm_x1d_add(float* dst, const float* a, const float* b, unsigned long n) { map2(dst, a, b, n, std::plus<float>()); }
void hm_x1d_sub(float* dst, const float* a, const float* b, unsigned long n) { map2(dst, a, b, n, std::minus<float>()); }
void hm_x1d_multi(float* dst, const float* a, const float* b, unsigned long n) { map2(dst, a, b, n, std::multiplies<float>()); }
void hm_x1d_divide(float* dst, const float* a, const float* b, unsigned long n) { map2(dst, a, b, n, std::divides<float>()); }
void hm_x1d_add_inplace(float* x, const float* y, unsigned long n) { hm_x1d_add(x, x, y, n); }
void hm_x1d_sub_inplace(float* x, const float* y, unsigned long n) { hm_x1d_sub(x, x, y, n); }
void hm_x1d_multi_inplace(float* x, const float* y, unsigned long n) { hm_x1d_multi(x, x, y, n); }
void hm_x1d_divide_inplace(float* x, const float* y, unsigned long n) { hm_x1d_divide(x, x, y, n); }
void hm_appply_mask(float* dst, const float* src, const float* mask, unsigned long n) { hm_x1d_multi(dst, src, mask, n); }
void hm_apply_mask_inplace(float* x, const float* mask, unsigned long n) { hm_x1d_multi(x, x, mask, n); }
void hm_appply_weights(float* dst, const float* src, const float* w, unsigned long n) { hm_x1d_multi(dst, src, w, n); }
void hm_apply_weights(float* dst, const float* src, const float* w, unsigned long n) { hm_x1d_multi(dst, src, w, n); }
void hm_apply_weights_inplace(float* x, const float* w, unsigned long n) { hm_x1d_multi(x, x, w, n); }

template <class T, class A, class B>
void thm_x1d_sub(T* dst, const A* a, const B* b, unsigned long n) {
    for (unsigned long i = 0; i < n; ++i) dst[i] = (T)a[i] - (T)b[i];
}
template <class T, class B>
void thm_x1d_sub_inplace(T* x, const B* y, unsigned long n) {
    thm_x1d_sub<T, T, B>(x, x, y, n);
}

#define VORN_THM_SUB(T, A, B) template void thm_x1d_sub<T, A, B>(T*, const A*, const B*, unsigned long);
#define VORN_THM_SUB_INPLACE(T, B) template void thm_x1d_sub_inplace<T, B>(T*, const B*, unsigned long);
VORN_THM_SUB(float, float, float)
VORN_THM_SUB(float, float, double)
VORN_THM_SUB(float, double, float)
VORN_THM_SUB(float, double, double)
VORN_THM_SUB(double, float, float)
VORN_THM_SUB(double, float, double)
VORN_THM_SUB(double, double, float)
VORN_THM_SUB(double, double, double)
VORN_THM_SUB_INPLACE(float, float)
VORN_THM_SUB_INPLACE(double, double)
VORN_THM_SUB_INPLACE(double, float)
VORN_THM_SUB_INPLACE(float, double)

// ---------------------------------------------------------------- masked statistics

double hm_sum_check0(const float* mask, unsigned long n) {
    const double s = hm_sum(mask, n);
    if (s < 0.000001) VORN_WARNING("Too small sum of mask!!\n\033[m");
    return s;
}
float hm_sumf_check0(const float* mask, unsigned long n) { return (float)hm_sum_check0(mask, n); }
double hm_sum_weighted(const float* x, const float* w, unsigned long n) { return hm_dot(x, w, n); }
double hm_sum_withmask(const float* x, const float* m, unsigned long n) { return hm_dot(x, m, n); }
float hm_sumf_weighted(const float* x, const float* w, unsigned long n) { return (float)hm_dot(x, w, n); }
float hm_sumf_withmask(const float* x, const float* m, unsigned long n) { return (float)hm_dot(x, m, n); }
double hm_mean_weighted(const float* x, const float* w, unsigned long n) {
    const double s = hm_sum_check0(w, n);
    return hm_dot(x, w, n) / s;
}
double hm_mean_withmask(const float* x, const float* m, unsigned long n) { return hm_mean_weighted(x, m, n); }
float hm_meanf_weighted(const float* x, const float* w, unsigned long n) { return (float)hm_mean_weighted(x, w, n); }
float hm_meanf_withmask(const float* x, const float* m, unsigned long n) { return (float)hm_mean_weighted(x, m, n); }

// ---------------------------------------------------------------- normalisation

void hm_normz(float* dst, const float* src, unsigned long n, float a, float b) {
    znorm_pass(dst, src, n, plain_moments(src, n), a, b);
}
void hm_normz_inplace(float* x, unsigned long n, float a, float b) { hm_normz(x, x, n, a, b); }

void cpu_znorm_inplace(float* x, unsigned long n, float a, float b) {
    hm_sub_inplace(x, n, (float)thm_mean<float>(x, n));
    const double sigma = std::sqrt(hm_sum_sqr(x, n) / (double)n);
    hm_multi_add_inplace(x, n, a / (float)sigma, b);
}

void hm_normz_withmask(float* dst, const float* src, const float* m, unsigned long n, float a, float b) {
    znorm_pass(dst, src, n, masked_moments(src, m, n), a, b);
}
void hm_normz_withmask_inplace(float* x, const float* m, unsigned long n, float a, float b) {
    hm_normz_withmask(x, x, m, n, a, b);
}
void hm_normz_withmask_applymask(float* dst, const float* src, const float* m, unsigned long n, float a, float b) {
    hm_normz_withmask(dst, src, m, n, a, b);
    hm_apply_mask_inplace(dst, m, n);
}
void hm_normz_withmask_applymask_inplace(float* x, const float* m, unsigned long n, float a, float b) {
    hm_normz_withmask_applymask(x, x, m, n, a, b);
}
void hm_normz_stdv_withmask(float* dst, const float* src, const float* m, unsigned long n, float a) {
    const double g = (double)a / masked_moments(src, m, n).stdv;
    map_double(dst, src, n, [=](double x) { return x * g; });
}
void hm_normz_stdv_withmask_inplace(float* x, const float* m, unsigned long n, float a) {
    hm_normz_stdv_withmask(x, x, m, n, a);
}
void hm_normz_stdv_withmask_applymask(float* dst, const float* src, const float* m, unsigned long n, float a) {
    hm_normz_stdv_withmask(dst, src, m, n, a);
    hm_apply_mask_inplace(dst, m, n);
}
void hm_normz_mean_withmask(float* dst, const float* src, const float* m, unsigned long n, float b) {
    const double mu = masked_moments(src, m, n).mean;
    map_double(dst, src, n, [=](double x) { return (x - mu) + (double)b; });
}
void hm_normz_mean_withmask_inplace(float* x, const float* m, unsigned long n, float a, float b) {
    hm_normz_withmask(x, x, m, n, a, b);
}
void hm_normz_weighted_inplace(float* x, const float* w, unsigned long n) {
    const Moments mo = masked_moments(x, w, n);
    map_double(x, x, n, [=](double v) { return (v - mo.mean) / mo.stdv; });
}

float hm_ccc_znorm_inplace(float* a, float* b, unsigned long n) {
    hm_normz_inplace(a, n, 1.0f, 0.0f);
    hm_normz_inplace(b, n, 1.0f, 0.0f);
    return hm_ccc_norm(a, b, n);
}
float hm_ccc_znorm(const float* a, const float* b, unsigned long n) {
    std::vector<float> ca(a, a + n), cb(b, b + n);
    return hm_ccc_znorm_inplace(ca.data(), cb.data(), n);
}
