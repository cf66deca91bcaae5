// Host array mathematics: reductions, extrema, peaks, elementwise arithmetic,
// masked statistics and normalisation, against hand values and double loops.
#include "math_utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Equal within a few float ulps, or both NaN.
void expect_floats(const std::vector<float>& got, const std::vector<float>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(got[i])) << what << " [" << i << "] = " << got[i];
        else
            EXPECT_FLOAT_EQ(got[i], want[i]) << what << " [" << i << "]";
    }
}

void expect_same_double(double got, double want, const std::string& what) {
    if (std::isnan(want))
        EXPECT_TRUE(std::isnan(got)) << what << " = " << got;
    else
        EXPECT_DOUBLE_EQ(got, want) << what;
}

int count_of(const std::string& text, const std::string& word) {
    int count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
    return count;
}

const char* kMaskWarning = "Too small sum of mask!!";

// ---------------------------------------------------------------- reductions

TEST(HostReductions, HandValues) {
    const std::vector<float> v = {3.0f, 4.0f}, w = {-5.0f, 2.0f};
    struct Case {
        const char* name;
        double got, want;
    } cases[] = {
        {"sum", hm_sum(v.data(), 2), 7.0},
        {"mean", hm_mean(v.data(), 2), 3.5},
        {"sum_sqr", hm_sum_sqr(v.data(), 2), 25.0},
        {"sqr_sum", hm_sqr_sum(v.data(), 2), 49.0},
        {"mod", hm_mod(v.data(), 2), 5.0},
        {"l2_norm", hm_l2_norm(v.data(), 2), 5.0},
        {"l1_norm", hm_l1_norm(w.data(), 2), 7.0},
        {"lp_norm p=3", hm_lp_norm(v.data(), 2, 3.0f), std::cbrt(91.0)},
        {"linfi_norm", hm_linfi_norm(w.data(), 2), 5.0},
        {"sumf", hm_sumf(v.data(), 2), 7.0},
        {"modf", hm_modf(v.data(), 2), 5.0},
        {"l1_normf", hm_l1_normf(w.data(), 2), 7.0},
        {"linfi_normf", hm_linfi_normf(w.data(), 2), 5.0},
        {"lp_normf p=1", hm_lp_normf(w.data(), 2, 1.0f), 7.0},
        {"sum (double array)", hm_sum(std::vector<double>{0.25, 0.5}.data(), 2), 0.75},
        {"mean (double array)", hm_mean(std::vector<double>{0.25, 0.5}.data(), 2), 0.375},
    };
    for (const Case& c : cases) EXPECT_NEAR(c.got, c.want, 1e-12 * std::fabs(c.want)) << c.name;
}

TEST(HostReductions, SumsRunInOneDoubleAccumulator) {
    // In float, 1e8 + 1 loses the 1; the double accumulator keeps it.
    const std::vector<float> v = {1e8f, 1.0f, -1e8f};
    EXPECT_EQ(hm_sum(v.data(), 3), 1.0);
    EXPECT_EQ(hm_sumf(v.data(), 3), 1.0f);
    const std::vector<float> ones = {1.0f, 1.0f, 1.0f};
    EXPECT_EQ(hm_dot(v.data(), ones.data(), 3), 1.0);
    EXPECT_EQ(hm_dot_withmask(v.data(), ones.data(), ones.data(), 3), 1.0);
    // The f twin of the masked dot product adds in float.
    EXPECT_EQ(hm_dotf_withmask(v.data(), ones.data(), ones.data(), 3), 0.0f);
    EXPECT_EQ(hm_dotf_weighted(v.data(), ones.data(), ones.data(), 3), 0.0f);
    EXPECT_EQ(hm_dot_weighted(v.data(), ones.data(), ones.data(), 3), 1.0);
}

TEST(HostReductions, SquaresAreSingleWhereStatedAndDoubleInTemplates) {
    // x² = 1 + 2^-11 + 2^-24 exactly; in float the last term rounds away.
    const float x = 1.0f + std::ldexp(1.0f, -12);
    const double exact = 1.0 + std::ldexp(1.0, -11) + std::ldexp(1.0, -24);
    const double single = 1.0 + std::ldexp(1.0, -11);
    EXPECT_EQ(hm_sum_sqr(&x, 1), single);
    EXPECT_EQ(hm_dot(&x, &x, 1), single);
    EXPECT_EQ(hm_mod(&x, 1), std::sqrt(single));
    EXPECT_EQ(thm_sum_sqr(&x, 1), exact);
    EXPECT_EQ(thm_dot(&x, &x, 1), exact);
    // hm_ccc_norm: single cross product over double squares.
    EXPECT_EQ(hm_ccc_norm(&x, &x, 1), (float)(single / exact));
}

TEST(HostReductions, MomentsAndSampleForms) {
    const std::vector<float> v = {1.0f, 2.0f, 3.0f, 4.0f};  // mean 2.5, Σ(x-m)² = 5
    EXPECT_DOUBLE_EQ(hm_variance(v.data(), 4), 1.25);
    EXPECT_DOUBLE_EQ(hm_svariance(v.data(), 4), 5.0 / 3.0);
    EXPECT_DOUBLE_EQ(hm_stdv(v.data(), 4), std::sqrt(1.25));
    EXPECT_DOUBLE_EQ(hm_sstdv(v.data(), 4), std::sqrt(5.0 / 3.0));
    EXPECT_EQ(hm_variancef(v.data(), 4), 1.25f);
    EXPECT_EQ(hm_stdvf(v.data(), 4), sqrtf(1.25f));
    EXPECT_EQ(hm_sstdvf(v.data(), 4), sqrtf((float)(5.0 / 3.0)));
    EXPECT_EQ(hm_svariancef(v.data(), 4), (float)(5.0 / 3.0));
    double mean, stdv;
    hm_mean_stdv(v.data(), 4, mean, stdv);
    EXPECT_EQ(mean, 2.5);
    EXPECT_DOUBLE_EQ(stdv, std::sqrt(1.25));
    float fmean, fstdv, fmax, fmin;
    hm_mean_stdv_max_minf(v.data(), 4, fmean, fstdv, fmax, fmin);
    EXPECT_EQ(fmean, 2.5f);
    EXPECT_EQ(fstdv, sqrtf(1.25f));
    EXPECT_EQ(fmax, 4.0f);
    EXPECT_EQ(fmin, 1.0f);
    // n = 1: the sample forms divide 0 by 0.
    EXPECT_TRUE(std::isnan(hm_svariance(v.data(), 1)));
    EXPECT_TRUE(std::isnan(hm_sstdvf(v.data(), 1)));
    EXPECT_EQ(hm_variance(v.data(), 1), 0.0);
}

TEST(HostReductions, EmptyArrays) {
    const float* none = nullptr;
    struct Case {
        const char* name;
        double got, want;
    } cases[] = {
        {"sum", hm_sum(none, 0), 0.0},
        {"sum_sqr", hm_sum_sqr(none, 0), 0.0},
        {"sqr_sum", hm_sqr_sum(none, 0), 0.0},
        {"mod", hm_mod(none, 0), 0.0},
        {"l1_norm", hm_l1_norm(none, 0), 0.0},
        {"lp_norm", hm_lp_norm(none, 0, 2.0f), 0.0},
        {"linfi_norm", hm_linfi_norm(none, 0), 0.0},
        {"dot", hm_dot(none, none, 0), 0.0},
        {"dot_withmask", hm_dot_withmask(none, none, none, 0), 0.0},
        {"covariance", hm_covariance(none, none, 0), 0.0},
        {"mean", hm_mean(none, 0), kNaN},
        {"meanf", hm_meanf(none, 0), kNaN},
        {"variance", hm_variance(none, 0), kNaN},
        {"stdv", hm_stdv(none, 0), kNaN},
        {"stdvf", hm_stdvf(none, 0), kNaN},
        // the divisor n - 1 wraps to the largest count
        {"svariance", hm_svariance(none, 0), 0.0},
        {"sstdv", hm_sstdv(none, 0), 0.0},
        {"thm_mean", thm_mean<int>(nullptr, 0), kNaN},
        {"thm_sum", thm_sum<int>(nullptr, 0), 0.0},
    };
    for (const Case& c : cases) expect_same_double(c.got, c.want, c.name);
    double mean = 0, stdv = 0;
    hm_mean_stdv(none, 0, mean, stdv);
    EXPECT_TRUE(std::isnan(mean) && std::isnan(stdv));
    float fmean = 0, fstdv = 0, fmax = 9, fmin = 9;
    hm_mean_stdv_max_minf(none, 0, fmean, fstdv, fmax, fmin);
    EXPECT_TRUE(std::isnan(fmean) && std::isnan(fstdv));
    EXPECT_EQ(fmax, 0.0f);
    EXPECT_EQ(fmin, 0.0f);
}

TEST(HostReductions, RunningUpdateOfMeanAndDeviation) {
    float mean = 1.0f, stdv = 0.0f;
    EXPECT_EQ(hm_update_mean_stdv_by_one_more(mean, stdv, 1, 3.0f), 2.0);
    EXPECT_EQ(mean, 2.0f);
    EXPECT_EQ(stdv, 1.0f);
    // Folding samples one by one tracks the population moments.
    const std::vector<float> v = {2.0f, 7.0f, -1.0f, 4.5f, 3.25f, 10.0f};
    mean = v[0];
    stdv = 0.0f;
    for (unsigned long i = 1; i < v.size(); ++i) hm_update_mean_stdv_by_one_more(mean, stdv, i, v[i]);
    EXPECT_NEAR(mean, hm_mean(v.data(), v.size()), 1e-5);
    EXPECT_NEAR(stdv, hm_stdv(v.data(), v.size()), 1e-4);
}

TEST(HostReductions, CovarianceAndCorrelation) {
    const std::vector<float> a = {1.0f, 2.0f, 3.0f}, zero = {0.0f, 0.0f, 0.0f};
    EXPECT_EQ(hm_covariance(a.data(), a.data(), 3), 2.0);  // not divided by n
    EXPECT_EQ(hm_covariancef(a.data(), a.data(), 3), 2.0f);
    EXPECT_FLOAT_EQ(hm_ccc_norm(a.data(), a.data(), 3), 1.0f);
    EXPECT_TRUE(std::isnan(hm_ccc_norm(zero.data(), zero.data(), 3)));
    const std::vector<float> b = {2.0f, -1.0f, 0.5f}, m = {1.0f, 0.5f, 2.0f};
    EXPECT_EQ(hm_dot(a.data(), b.data(), 3), 1.5);
    EXPECT_EQ(hm_dotf(a.data(), b.data(), 3), 1.5f);
    EXPECT_EQ(hm_dot_withmask(a.data(), b.data(), m.data(), 3), 2.0 - 1.0 + 3.0);
    // Σ(a-2)(b-0.5) = (-1)(1.5) + 0 + (1)(0) = -1.5
    EXPECT_DOUBLE_EQ(hm_covariance(a.data(), b.data(), 3), -1.5);
    // no mean removed: 1.5 / sqrt(14 · 5.25)
    EXPECT_FLOAT_EQ(hm_ccc_norm(a.data(), b.data(), 3), (float)(1.5 / std::sqrt(14.0 * 5.25)));
}

TEST(HostReductions, RFactors) {
    const std::vector<float> a = {1.0f, 2.0f}, b = {2.0f, 2.0f};
    EXPECT_DOUBLE_EQ(Rfactor_linear_all_ave(a.data(), b.data(), 2), 1.0 / 3.0);
    EXPECT_DOUBLE_EQ(Rfactor_square_all_ave(a.data(), b.data(), 2), std::sqrt(1.0 / 5.0));
    EXPECT_DOUBLE_EQ(Rfactor_linear_each_ave(a.data(), b.data(), 2), 0.5);
    EXPECT_DOUBLE_EQ(Rfactor_square_each_ave(a.data(), b.data(), 2), std::sqrt(0.5));
    // The floors: |a| at 1e-5 in the linear form, a² at 1e-5 in the square form.
    const float zero = 0.0f, small = 0.001f;
    EXPECT_NEAR(Rfactor_linear_each_ave(&zero, &small, 1), 100.0, 1e-4);
    EXPECT_NEAR(Rfactor_square_each_ave(&zero, &small, 1), std::sqrt(0.1), 1e-6);
    const float tiny_neg = -2e-6f;
    EXPECT_NEAR(Rfactor_linear_each_ave(&tiny_neg, &zero, 1), 0.2, 1e-6);
}

// ---------------------------------------------------------------- extrema

TEST(HostExtrema, FirstOfEqualExtremaWins) {
    const std::vector<float> v = {3.0f, 7.0f, 7.0f, 1.0f, 1.0f}, u = {5.0f, 1.0f, 1.0f};
    EXPECT_EQ(hm_max_index(v.data(), 5), 1UL);
    EXPECT_EQ(hm_min_index(v.data(), 5), 3UL);
    EXPECT_EQ(hm_min_index(u.data(), 3), 1UL);
    EXPECT_EQ(hm_max_value(v.data(), 5), 7.0f);
    EXPECT_EQ(hm_min_value(v.data(), 5), 1.0f);

    float mx = 0, mn = 0, mean = 0;
    unsigned long imx = 9, imn = 9;
    hm_max_min_value(v.data(), 5, mx, mn);
    EXPECT_EQ(mx, 7.0f);
    EXPECT_EQ(mn, 1.0f);
    hm_min_max_value(v.data(), 5, mn, mx);
    EXPECT_EQ(mx, 7.0f);
    EXPECT_EQ(mn, 1.0f);
    hm_max_min_index(v.data(), 5, imx, imn);
    EXPECT_EQ(imx, 1UL);
    EXPECT_EQ(imn, 3UL);
    hm_min_max_index(u.data(), 3, imn, imx);
    EXPECT_EQ(imx, 0UL);
    EXPECT_EQ(imn, 1UL);
    const std::function<void(float&, float&, float&)> mmm[] = {
        [&](float& a, float& b, float& c) { hm_max_min_mean(v.data(), 5, a, b, c); },
        [&](float& a, float& b, float& c) { hm_max_min_mean_value(v.data(), 5, a, b, c); },
        [&](float& a, float& b, float& c) { hm_min_max_mean(v.data(), 5, b, a, c); },
        [&](float& a, float& b, float& c) { hm_min_max_mean_value(v.data(), 5, b, a, c); },
    };
    for (const auto& f : mmm) {
        f(mx, mn, mean);
        EXPECT_EQ(mx, 7.0f);
        EXPECT_EQ(mn, 1.0f);
        EXPECT_EQ(mean, 3.8f);
    }
    hm_max_min_value_and_index(v.data(), 5, mx, mn, imx, imn);
    EXPECT_EQ(mx, 7.0f);
    EXPECT_EQ(imx, 1UL);
    EXPECT_EQ(mn, 1.0f);
    EXPECT_EQ(imn, 3UL);
    hm_min_max_value_and_index(u.data(), 3, mn, mx, imn, imx);
    EXPECT_EQ(mx, 5.0f);
    EXPECT_EQ(imx, 0UL);
    EXPECT_EQ(mn, 1.0f);
    EXPECT_EQ(imn, 1UL);
}

TEST(HostExtrema, EmptyArrayReadsNothing) {
    // A null array proves that nothing is read.
    const float* none = nullptr;
    EXPECT_EQ(hm_max_index(none, 0), 0UL);
    EXPECT_EQ(hm_min_index(none, 0), 0UL);
    EXPECT_EQ(hm_max_value(none, 0), 0.0f);
    EXPECT_EQ(hm_min_value(none, 0), 0.0f);
    float mx = 9, mn = 9, mean = 9;
    unsigned long imx = 9, imn = 9;
    hm_max_min_value_and_index(none, 0, mx, mn, imx, imn);
    EXPECT_EQ(mx, 0.0f);
    EXPECT_EQ(mn, 0.0f);
    EXPECT_EQ(imx, 0UL);
    EXPECT_EQ(imn, 0UL);
    hm_max_min_mean(none, 0, mx, mn, mean);
    EXPECT_EQ(mx, 0.0f);
    EXPECT_EQ(mn, 0.0f);
    EXPECT_TRUE(std::isnan(mean));
}

// ---------------------------------------------------------------- peaks

TEST(HostPeaks, EachPickTakesItsHill) {
    const std::vector<float> v = {1, 3, 2, 5, 4, 0};
    std::vector<unsigned long> idx(3, 99);
    peak_indices(v.data(), 6, idx.data(), 3);
    EXPECT_EQ(idx, (std::vector<unsigned long>{3, 1, 6}));

    std::vector<int> mask(6, 1);
    peak_make_mask(v.data(), mask.data(), 6, 3);
    EXPECT_EQ(mask, (std::vector<int>{1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(peak_index_masked(v.data(), mask.data(), 6), 1UL);
    peak_make_mask(v.data(), mask.data(), 6, 1);
    EXPECT_EQ(peak_index_masked(v.data(), mask.data(), 6), 6UL);
}

TEST(HostPeaks, TiesPlateausAndWalksOverTakenElements) {
    // Equal peaks: the first wins; a plateau stops the walk.
    const std::vector<float> v = {2, 5, 5, 1, 0, 3, 1};
    std::vector<unsigned long> idx(4, 99);
    peak_indices(v.data(), 7, idx.data(), 4);
    // 1 takes 0 and 1 (right walk stops at the plateau); 2 takes 2..4; 5 takes 5, 6.
    EXPECT_EQ(idx, (std::vector<unsigned long>{1, 2, 5, 7}));
    // The walks pass over elements an earlier pick took.
    const std::vector<float> w = {0, 4, 3, 2, 1};
    std::vector<int> mask = {1, 1, 0, 1, 1};
    peak_make_mask(w.data(), mask.data(), 5, 1);
    EXPECT_EQ(mask, (std::vector<int>{0, 0, 0, 0, 0}));
}

TEST(HostPeaks, WalksStopAtBothEndsOfTheArray) {
    // Monotonic profiles: the pick at an end takes everything, and the walk
    // towards index 0 ends there without reading before the array.
    const std::vector<std::vector<float>> profiles = {{1, 2, 3, 4}, {4, 3, 2, 1}};
    for (const auto& v : profiles) {
        std::vector<unsigned long> idx(3, 99);
        peak_indices(v.data(), 4, idx.data(), 3);
        EXPECT_EQ(idx[0], v[0] > v[3] ? 0UL : 3UL);
        EXPECT_EQ(idx[1], 4UL);
        EXPECT_EQ(idx[2], 4UL);
    }
    std::vector<int> mask(4, 1);
    peak_make_mask(profiles[1].data(), mask.data(), 4, 0);
    EXPECT_EQ(mask, (std::vector<int>{0, 0, 0, 0}));
    // A pick outside the array takes nothing.
    mask.assign(4, 1);
    peak_make_mask(profiles[1].data(), mask.data(), 4, 4);
    EXPECT_EQ(mask, (std::vector<int>{1, 1, 1, 1}));
}

TEST(HostPeaks, MorePicksThanElementsLeavesTheRestUntouched) {
    const std::vector<float> v = {1, 0, 1};
    std::vector<unsigned long> idx(5, 77);
    peak_indices(v.data(), 3, idx.data(), 5);
    EXPECT_EQ(idx, (std::vector<unsigned long>{0, 2, 3, 77, 77}));
}

// ---------------------------------------------------------------- typed reductions

template <class T>
class TypedReductions : public ::testing::Test {};
using ElementTypes = ::testing::Types<double, float, long, int, short, char, unsigned long, unsigned int,
                                      unsigned short, unsigned char>;
TYPED_TEST_SUITE(TypedReductions, ElementTypes);

TYPED_TEST(TypedReductions, SmallArray) {
    const TypeParam a[] = {1, 2, 3, 4}, b[] = {4, 3, 2, 1};
    EXPECT_EQ(thm_sum(a, 4), 10.0);
    EXPECT_EQ(thm_mean(a, 4), 2.5);
    EXPECT_EQ(thm_sum_sqr(a, 4), 30.0);
    EXPECT_EQ(thm_dot(a, b, 4), 20.0);
}

TEST(TypedReductionsRange, ExtremeElementValues) {
    const char c[] = {(char)-128, 127};
    EXPECT_EQ(thm_sum(c, 2), -1.0);
    EXPECT_EQ(thm_sum_sqr(c, 2), 16384.0 + 16129.0);
    const unsigned long big[] = {1UL << 63, 1UL << 63};
    EXPECT_EQ(thm_sum(big, 2), std::ldexp(1.0, 64));
    const unsigned char uc[] = {255, 255};
    EXPECT_EQ(thm_dot(uc, uc, 2), 2.0 * 255 * 255);  // products in double, not in the element type
    const int i[] = {100000, 100000};
    EXPECT_EQ(thm_sum_sqr(i, 2), 2e10);
}

// ---------------------------------------------------------------- elementwise

// One operation in its destination and in-place forms (the latter empty where
// there is none), and the values both must write.
template <class Dst, class InPlace>
struct FormsCase {
    const char* name;
    Dst to_dst;
    InPlace in_place;
    std::vector<float> want;
};
using UnaryCase = FormsCase<std::function<void(float*, const float*, unsigned long)>,
                            std::function<void(float*, unsigned long)>>;

TEST(HostElementwise, ScalarAndUnaryOperations) {
    const std::vector<float> src = {3.0f, -2.0f, 0.5f};  // mean 0.5
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const UnaryCase cases[] = {
        {"add", [](float* d, const float* s, unsigned long n) { hm_add(d, s, n, 1.5f); },
         [](float* x, unsigned long n) { hm_add_inplace(x, n, 1.5f); }, {4.5f, -0.5f, 2.0f}},
        {"sub", [](float* d, const float* s, unsigned long n) { hm_sub(d, s, n, 1.5f); },
         [](float* x, unsigned long n) { hm_sub_inplace(x, n, 1.5f); }, {1.5f, -3.5f, -1.0f}},
        {"multi", [](float* d, const float* s, unsigned long n) { hm_multi(d, s, n, 2.0f); },
         [](float* x, unsigned long n) { hm_multi_inplace(x, n, 2.0f); }, {6.0f, -4.0f, 1.0f}},
        {"divide", [](float* d, const float* s, unsigned long n) { hm_divide(d, s, n, 2.0f); },
         [](float* x, unsigned long n) { hm_divide_inplace(x, n, 2.0f); }, {1.5f, -1.0f, 0.25f}},
        {"sub_sqr", [](float* d, const float* s, unsigned long n) { hm_sub_sqr(d, s, n, 1.0f); },
         [](float* x, unsigned long n) { hm_sub_sqr_inplace(x, n, 1.0f); }, {4.0f, 9.0f, 0.25f}},
        {"multi_add", [](float* d, const float* s, unsigned long n) { hm_multi_add(d, s, n, 2.0f, 1.0f); },
         [](float* x, unsigned long n) { hm_multi_add_inplace(x, n, 2.0f, 1.0f); }, {7.0f, -3.0f, 2.0f}},
        {"linear_norm_kb", [](float* d, const float* s, unsigned long n) { hm_linear_norm_kb(d, s, n, 2.0f, 1.0f); },
         [](float* x, unsigned long n) { hm_linear_norm_kb_inplace(x, n, 2.0f, 1.0f); }, {7.0f, -3.0f, 2.0f}},
        {"add_multi", [](float* d, const float* s, unsigned long n) { hm_add_multi(d, s, n, 2.0f, 1.0f); },
         [](float* x, unsigned long n) { hm_add_multi_inplace(x, n, 2.0f, 1.0f); }, {5.0f, 0.0f, 2.5f}},
        {"divide_sub", [](float* d, const float* s, unsigned long n) { hm_divide_sub(d, s, n, 2.0f, 1.0f); },
         [](float* x, unsigned long n) { hm_divide_sub_inplace(x, n, 2.0f, 1.0f); }, {0.5f, -2.0f, -0.75f}},
        {"sub_divide", [](float* d, const float* s, unsigned long n) { hm_sub_divide(d, s, n, 1.0f, 2.0f); },
         [](float* x, unsigned long n) { hm_sub_divide_inplace(x, n, 1.0f, 2.0f); }, {1.0f, -1.5f, -0.25f}},
        {"invert", hm_invert, hm_invert_inplace, {-3.0f, 2.0f, -0.5f}},
        {"sqr", hm_sqr, hm_sqr_inplace, {9.0f, 4.0f, 0.25f}},
        {"sqrtf", hm_sqrtf, hm_sqrtf_inplace, {(float)std::sqrt(3.0), nan, (float)std::sqrt(0.5)}},
        {"logf", hm_logf, hm_logf_inplace, {(float)std::log(3.0), nan, (float)std::log(0.5)}},
        {"fabsf", hm_fabsf, nullptr, {3.0f, 2.0f, 0.5f}},
        {"tanhf", hm_tanhf, nullptr, {(float)std::tanh(3.0), (float)std::tanh(-2.0), (float)std::tanh(0.5)}},
        {"submean", hm_submean, hm_submean_inplace, {2.5f, -2.5f, 0.0f}},
        {"submean_sqr", hm_submean_sqr, hm_submean_sqr_inplace, {6.25f, 6.25f, 0.0f}},
        {"submean_abs", hm_submean_abs, hm_submean_abs_inplace, {2.5f, 2.5f, 0.0f}},
    };
    for (const UnaryCase& c : cases) {
        std::vector<float> dst(3, 99.0f);
        c.to_dst(dst.data(), src.data(), 3);
        expect_floats(dst, c.want, c.name);
        c.to_dst(nullptr, nullptr, 0);  // n = 0 touches nothing
        if (!c.in_place) continue;
        std::vector<float> x = src;
        c.in_place(x.data(), 3);
        expect_floats(x, c.want, std::string(c.name) + "_inplace");
        c.in_place(nullptr, 0);
    }
}

TEST(HostElementwise, TwoArrayOperations) {
    using Dst = void (*)(float*, const float*, const float*, unsigned long);
    using InPlace = void (*)(float*, const float*, unsigned long);
    const std::vector<float> a = {3.0f, -2.0f, 0.5f}, b = {2.0f, 4.0f, -0.5f};
    const std::vector<float> product = {6.0f, -8.0f, -0.25f};
    const FormsCase<Dst, InPlace> cases[] = {
        {"x1d_add", hm_x1d_add, hm_x1d_add_inplace, {5.0f, 2.0f, 0.0f}},
        {"x1d_sub", hm_x1d_sub, hm_x1d_sub_inplace, {1.0f, -6.0f, 1.0f}},
        {"x1d_multi", hm_x1d_multi, hm_x1d_multi_inplace, product},
        {"x1d_divide", hm_x1d_divide, hm_x1d_divide_inplace, {1.5f, -0.5f, -1.0f}},
        {"appply_mask / apply_mask_inplace", hm_appply_mask, hm_apply_mask_inplace, product},
        {"appply_weights / apply_weights_inplace", hm_appply_weights, hm_apply_weights_inplace, product},
        {"apply_weights", hm_apply_weights, hm_apply_weights_inplace, product},
    };
    for (const auto& c : cases) {
        std::vector<float> dst(3, 99.0f), x = a;
        c.to_dst(dst.data(), a.data(), b.data(), 3);
        c.in_place(x.data(), b.data(), 3);
        expect_floats(dst, c.want, c.name);
        expect_floats(x, c.want, c.name);
    }
}

TEST(HostElementwise, InPlaceDivisionMultipliesByTheReciprocal) {
    float x = 5.0f, y = 0.0f;
    hm_divide(&y, &x, 1, 3.0f);
    hm_divide_inplace(&x, 1, 3.0f);
    EXPECT_EQ((double)x, 1.6666667461395264);
    EXPECT_EQ((double)y, 1.6666666269302368);
    // Division by zero: IEEE results.
    std::vector<float> v = {3.0f, 0.0f}, d(2);
    hm_divide(d.data(), v.data(), 2, 0.0f);
    EXPECT_TRUE(std::isinf(d[0]) && std::isnan(d[1]));
    hm_divide_inplace(v.data(), 2, 0.0f);
    EXPECT_TRUE(std::isinf(v[0]) && std::isnan(v[1]));
    const std::vector<float> zeros = {0.0f, 0.0f}, ones = {1.0f, -1.0f};
    hm_x1d_divide(d.data(), ones.data(), zeros.data(), 2);
    EXPECT_EQ(d[0], std::numeric_limits<float>::infinity());
    EXPECT_EQ(d[1], -std::numeric_limits<float>::infinity());
}

TEST(HostElementwise, NegationKeepsTheSignOfZero) {
    std::vector<float> v = {2.0f, -3.0f, 0.0f};
    hm_invert_inplace(v.data(), 3);
    EXPECT_EQ(v[0], -2.0f);
    EXPECT_EQ(v[1], 3.0f);
    EXPECT_TRUE(v[2] == 0.0f && std::signbit(v[2]));
    const float zero = 0.0f;
    float lg = 0, sq = 1;
    hm_logf(&lg, &zero, 1);
    hm_sqrtf(&sq, &zero, 1);
    EXPECT_EQ(lg, -std::numeric_limits<float>::infinity());
    EXPECT_EQ(sq, 0.0f);
}

TEST(HostElementwise, SoftClip) {
    const std::vector<float> src = {2.0f, 0.0f, 100.0f, -2.0f, 0.01f};
    std::vector<float> dst(5);
    hm_sig_tanhf(dst.data(), src.data(), 5, 2.0f);
    EXPECT_FLOAT_EQ(dst[0], 2.0f);
    EXPECT_EQ(dst[1], 0.0f);
    EXPECT_NEAR(dst[2], 4.328, 1e-3);
    EXPECT_FLOAT_EQ(dst[3], -2.0f);
    EXPECT_NEAR(dst[4] / src[4], 2.0 * std::tanh(0.0025) / 0.01 / std::tanh(0.5), 1e-5);  // about 1.082
    // The automatic form clips at the population deviation: here 3, so ±3 stay.
    const std::vector<float> sym = {-3.0f, 3.0f};
    hm_auto_sig_tanhf(dst.data(), sym.data(), 2);
    EXPECT_FLOAT_EQ(dst[0], -3.0f);
    EXPECT_FLOAT_EQ(dst[1], 3.0f);
}

TEST(HostElementwise, TypedSubtractionConvertsOperandsToTheDestinationType) {
    const float one_f = 1.0f, tenth_f = 0.1f;
    const double one_d = 1.0, tenth_d = 0.1;
    float f = 0;
    double d = 0;
    thm_x1d_sub<float, float, double>(&f, &one_f, &tenth_d, 1);
    EXPECT_EQ(f, 0.9f);
    EXPECT_EQ(f, one_f - tenth_f);
    thm_x1d_sub<double, double, float>(&d, &one_d, &tenth_f, 1);
    EXPECT_EQ(d, 1.0 - (double)tenth_f);
    EXPECT_NE(d, 0.9);
    thm_x1d_sub<double, float, double>(&d, &one_f, &tenth_d, 1);
    EXPECT_EQ(d, 0.9);
    thm_x1d_sub<float, double, double>(&f, &one_d, &tenth_d, 1);
    EXPECT_EQ(f, 0.9f);
    float x = 1.0f;
    thm_x1d_sub_inplace<float, double>(&x, &tenth_d, 1);
    EXPECT_EQ(x, 0.9f);
    double y = 1.0;
    thm_x1d_sub_inplace<double, float>(&y, &tenth_f, 1);
    EXPECT_EQ(y, 1.0 - (double)tenth_f);
}

// ---------------------------------------------------------------- masked statistics

// Reference masked moments by a plain double loop.
void masked_reference(const std::vector<float>& x, const std::vector<float>& m, double& mean, double& stdv) {
    double s = 0, sx = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        s += m[i];
        sx += (double)x[i] * m[i];
    }
    mean = sx / s;
    double v = 0;
    for (size_t i = 0; i < x.size(); ++i) v += (x[i] - mean) * (x[i] - mean) * m[i];
    stdv = std::sqrt(v / s);
}

TEST(HostMasked, GuardWarnsOnTooSmallMaskSum) {
    const std::vector<float> ones = {1.0f, 1.0f}, small = {0.00000025f, 0.00000025f};
    const std::vector<float> neg = {1.0f, -2.0f}, nan_mask = {std::numeric_limits<float>::quiet_NaN(), 1.0f};
    testing::internal::CaptureStdout();
    EXPECT_EQ(hm_sum_check0(ones.data(), 2), 2.0);
    EXPECT_TRUE(std::isnan(hm_sum_check0(nan_mask.data(), 2)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const std::pair<const std::vector<float>*, double> warning_cases[] = {{&small, 0.0000005}, {&neg, -1.0}};
    const std::string tail = ":Too small sum of mask!!\n\033[m";
    for (const auto& c : warning_cases) {
        testing::internal::CaptureStdout();
        const float s = hm_sumf_check0(c.first->data(), 2);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FLOAT_EQ(s, (float)c.second);
        EXPECT_EQ(count_of(out, kMaskWarning), 1) << out;
        EXPECT_EQ(out.rfind("\033[43mWarning in function hm_sum_check0(), file src/math_utils on line ", 0), 0u) << out;
        ASSERT_GT(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    }
}

TEST(HostMasked, SumsAndMeans) {
    const std::vector<float> x = {2.0f, 4.0f, 6.0f, 8.0f}, m = {0.5f, 1.0f, 0.0f, 2.0f};
    double mean, stdv;
    masked_reference(x, m, mean, stdv);
    EXPECT_EQ(hm_sum_weighted(x.data(), m.data(), 4), 21.0);
    EXPECT_EQ(hm_sum_withmask(x.data(), m.data(), 4), 21.0);
    EXPECT_EQ(hm_sumf_weighted(x.data(), m.data(), 4), 21.0f);
    EXPECT_EQ(hm_sumf_withmask(x.data(), m.data(), 4), 21.0f);
    EXPECT_DOUBLE_EQ(hm_mean_weighted(x.data(), m.data(), 4), mean);
    EXPECT_DOUBLE_EQ(hm_mean_withmask(x.data(), m.data(), 4), mean);
    EXPECT_FLOAT_EQ(hm_meanf_weighted(x.data(), m.data(), 4), (float)mean);
    EXPECT_FLOAT_EQ(hm_meanf_withmask(x.data(), m.data(), 4), (float)mean);
    // Empty: the guard warns and the mean is 0/0; the plain masked sum does not check.
    testing::internal::CaptureStdout();
    EXPECT_EQ(hm_sum_weighted(nullptr, nullptr, 0), 0.0);
    EXPECT_TRUE(std::isnan(hm_mean_withmask(nullptr, nullptr, 0)));
    EXPECT_EQ(count_of(testing::internal::GetCapturedStdout(), kMaskWarning), 1);
}

TEST(HostNormalise, PlainNormalisation) {
    const std::vector<float> v = {1.0f, 2.0f, 3.0f};
    const float r = (float)std::sqrt(1.5);  // 1 / sqrt(2/3)
    std::vector<float> dst(3, 99.0f), x = v, y = v;
    hm_normz(dst.data(), v.data(), 3, 1.0f, 0.0f);
    expect_floats(dst, {-r, 0.0f, r}, "normz");
    hm_normz_inplace(x.data(), 3, 2.0f, 10.0f);
    expect_floats(x, {10.0f - 2 * r, 10.0f, 10.0f + 2 * r}, "normz_inplace");
    // The single-precision form agrees to float precision on irregular data.
    std::vector<float> d = {0.3f, 17.25f, -4.5f, 8.0f, 1e-3f, 2.5f}, s = d;
    hm_normz_inplace(d.data(), d.size(), 1.5f, -2.0f);
    cpu_znorm_inplace(s.data(), s.size(), 1.5f, -2.0f);
    for (size_t i = 0; i < d.size(); ++i) EXPECT_NEAR(s[i], d[i], 1e-5) << i;
    EXPECT_NEAR(hm_mean(s.data(), s.size()), -2.0, 1e-5);
    EXPECT_NEAR(hm_stdv(s.data(), s.size()), 1.5, 1e-5);
    hm_normz_inplace(nullptr, 0, 1.0f, 0.0f);
    cpu_znorm_inplace(nullptr, 0, 1.0f, 0.0f);
}

TEST(HostNormalise, MaskedNormalisation) {
    const std::vector<float> x = {2.0f, 4.0f, 6.0f, 9.0f}, m = {0.5f, 1.0f, 0.0f, 2.0f};
    double mu, sd;
    masked_reference(x, m, mu, sd);
    std::vector<float> full(4), scaled(4), shifted(4);
    for (int i = 0; i < 4; ++i) {
        full[i] = (float)((x[i] - mu) * (3.0 / sd) + 1.0);
        scaled[i] = (float)(x[i] * (3.0 / sd));
        shifted[i] = (float)(x[i] - mu + 1.0);
    }
    std::vector<float> full_masked(4), scaled_masked(4);
    for (int i = 0; i < 4; ++i) {
        full_masked[i] = full[i] * m[i];
        scaled_masked[i] = scaled[i] * m[i];
    }
    using Dst = std::function<void(float*, const float*)>;
    using InPlace = std::function<void(float*)>;
    const unsigned long n = 4;
    const FormsCase<Dst, InPlace> cases[] = {
        {"withmask", [&](float* d, const float* s) { hm_normz_withmask(d, s, m.data(), n, 3.0f, 1.0f); },
         [&](float* v) { hm_normz_withmask_inplace(v, m.data(), n, 3.0f, 1.0f); }, full},
        {"withmask_applymask",
         [&](float* d, const float* s) { hm_normz_withmask_applymask(d, s, m.data(), n, 3.0f, 1.0f); },
         [&](float* v) { hm_normz_withmask_applymask_inplace(v, m.data(), n, 3.0f, 1.0f); }, full_masked},
        {"stdv_withmask", [&](float* d, const float* s) { hm_normz_stdv_withmask(d, s, m.data(), n, 3.0f); },
         [&](float* v) { hm_normz_stdv_withmask_inplace(v, m.data(), n, 3.0f); }, scaled},
        {"stdv_withmask_applymask",
         [&](float* d, const float* s) { hm_normz_stdv_withmask_applymask(d, s, m.data(), n, 3.0f); }, nullptr,
         scaled_masked},
        {"mean_withmask", [&](float* d, const float* s) { hm_normz_mean_withmask(d, s, m.data(), n, 1.0f); }, nullptr,
         shifted},
        {"mean_withmask_inplace (full)", [&](float* d, const float* s) { hm_normz_withmask(d, s, m.data(), n, 3.0f, 1.0f); },
         [&](float* v) { hm_normz_mean_withmask_inplace(v, m.data(), n, 3.0f, 1.0f); }, full},
    };
    for (const auto& c : cases) {
        std::vector<float> dst(4, 99.0f), v = x;
        c.to_dst(dst.data(), x.data());
        expect_floats(dst, c.want, c.name);
        if (!c.in_place) continue;
        c.in_place(v.data());
        expect_floats(v, c.want, std::string(c.name) + " in place");
    }
    // The weighted in-place form: mean 0, deviation 1 under the weights.
    std::vector<float> w = x;
    hm_normz_weighted_inplace(w.data(), m.data(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(w[i], (float)((x[i] - mu) / sd)) << i;
}

TEST(HostNormalise, MaskedHandExamples) {
    const std::vector<float> ones = {1.0f, 1.0f}, a = {2.0f, 4.0f}, b = {1.0f, 3.0f};
    std::vector<float> out(2), v = b;
    hm_normz_stdv_withmask(out.data(), a.data(), ones.data(), 2, 2.0f);
    expect_floats(out, {4.0f, 8.0f}, "stdv_withmask");
    hm_normz_mean_withmask(out.data(), b.data(), ones.data(), 2, 10.0f);
    expect_floats(out, {9.0f, 11.0f}, "mean_withmask");
    hm_normz_mean_withmask_inplace(v.data(), ones.data(), 2, 1.0f, 10.0f);
    expect_floats(v, {9.0f, 11.0f}, "mean_withmask_inplace a=1");
    v = b;
    hm_normz_mean_withmask_inplace(v.data(), ones.data(), 2, 2.0f, 10.0f);
    expect_floats(v, {8.0f, 12.0f}, "mean_withmask_inplace a=2");
    // A mask of ones gives the plain normalisation exactly.
    const std::vector<float> d = {0.3f, 17.25f, -4.5f, 8.0f}, m1(4, 1.0f);
    std::vector<float> plain(4), masked(4);
    hm_normz(plain.data(), d.data(), 4, 1.5f, 0.5f);
    hm_normz_withmask(masked.data(), d.data(), m1.data(), 4, 1.5f, 0.5f);
    EXPECT_EQ(plain, masked);
}

TEST(HostNormalise, EveryMaskedFormRunsTheGuardOnce) {
    const std::vector<float> x = {1.0f, 2.0f}, m = {0.00000025f, 0.00000025f};
    std::vector<float> dst(2), v = x;
    const std::function<void()> calls[] = {
        [&] { hm_normz_withmask(dst.data(), x.data(), m.data(), 2, 1.0f, 0.0f); },
        [&] { hm_normz_withmask_inplace(v.data(), m.data(), 2, 1.0f, 0.0f); },
        [&] { hm_normz_withmask_applymask(dst.data(), x.data(), m.data(), 2, 1.0f, 0.0f); },
        [&] { hm_normz_withmask_applymask_inplace(v.data(), m.data(), 2, 1.0f, 0.0f); },
        [&] { hm_normz_stdv_withmask(dst.data(), x.data(), m.data(), 2, 1.0f); },
        [&] { hm_normz_stdv_withmask_inplace(v.data(), m.data(), 2, 1.0f); },
        [&] { hm_normz_stdv_withmask_applymask(dst.data(), x.data(), m.data(), 2, 1.0f); },
        [&] { hm_normz_mean_withmask(dst.data(), x.data(), m.data(), 2, 0.0f); },
        [&] { hm_normz_mean_withmask_inplace(v.data(), m.data(), 2, 1.0f, 0.0f); },
        [&] { hm_normz_weighted_inplace(v.data(), m.data(), 2); },
        [&] { hm_mean_weighted(x.data(), m.data(), 2); },
        [&] { hm_normz_withmask(nullptr, nullptr, nullptr, 0, 1.0f, 0.0f); },
    };
    for (size_t i = 0; i < sizeof(calls) / sizeof(calls[0]); ++i) {
        v = x;
        testing::internal::CaptureStdout();
        calls[i]();
        EXPECT_EQ(count_of(testing::internal::GetCapturedStdout(), kMaskWarning), 1) << "call " << i;
    }
    // The work goes on: [1, 2] under a tiny equal mask normalises to [-1, 1].
    testing::internal::CaptureStdout();
    hm_normz_withmask(dst.data(), x.data(), m.data(), 2, 1.0f, 0.0f);
    testing::internal::GetCapturedStdout();
    expect_floats(dst, {-1.0f, 1.0f}, "tiny mask");
}

TEST(HostNormalise, CorrelationAfterNormalisation) {
    const std::vector<float> a = {1.0f, 4.0f, 2.0f, 8.0f, -3.0f};
    std::vector<float> b(5), c(5);
    for (int i = 0; i < 5; ++i) {
        b[i] = 2.5f * a[i] + 7.0f;
        c[i] = -a[i];
    }
    const std::vector<float> a0 = a, b0 = b;
    EXPECT_NEAR(hm_ccc_znorm(a.data(), b.data(), 5), 1.0f, 1e-6);
    EXPECT_NEAR(hm_ccc_znorm(a.data(), c.data(), 5), -1.0f, 1e-6);
    EXPECT_EQ(a, a0);
    EXPECT_EQ(b, b0);
    // Against a double reference of the Pearson coefficient.
    const std::vector<float> d = {0.5f, 3.0f, 1.0f, 7.0f, -1.0f};
    double ma = 0, md = 0, sab = 0, saa = 0, sdd = 0;
    for (int i = 0; i < 5; ++i) ma += a[i] / 5.0, md += d[i] / 5.0;
    for (int i = 0; i < 5; ++i) {
        sab += (a[i] - ma) * (d[i] - md);
        saa += (a[i] - ma) * (a[i] - ma);
        sdd += (d[i] - md) * (d[i] - md);
    }
    std::vector<float> ia = a, id = d;
    const float r = hm_ccc_znorm_inplace(ia.data(), id.data(), 5);
    EXPECT_NEAR(r, sab / std::sqrt(saa * sdd), 1e-6);
    EXPECT_EQ(r, hm_ccc_znorm(a.data(), d.data(), 5));
    EXPECT_NEAR(hm_mean(ia.data(), 5), 0.0, 1e-6);
    EXPECT_NEAR(hm_stdv(ia.data(), 5), 1.0, 1e-6);
    EXPECT_NEAR(hm_mean(id.data(), 5), 0.0, 1e-6);
    EXPECT_NEAR(hm_stdv(id.data(), 5), 1.0, 1e-6);
}

}  // namespace
