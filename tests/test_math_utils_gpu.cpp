#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "math_utils.h"
#include "math_utils_gpu.h"

namespace {

using Vec = std::vector<float>;
const float kInf = std::numeric_limits<float>::infinity();

// A device copy of a host vector, freed with the object.
struct Dev {
    float* p = nullptr;
    size_t n = 0;
    explicit Dev(const Vec& v) : n(v.size()) {
        EXPECT_EQ(cudaMalloc((void**)&p, (n ? n : 1) * sizeof(float)), cudaSuccess);
        EXPECT_EQ(cudaMemcpy(p, v.data(), n * sizeof(float), cudaMemcpyHostToDevice), cudaSuccess);
    }
    Dev(const Dev&) = delete;
    ~Dev() { cudaFree(p); }
    Vec get() const {
        Vec v(n);
        EXPECT_EQ(cudaMemcpy(v.data(), p, n * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
        return v;
    }
};

uint32_t next(uint32_t& seed) { return seed = seed * 1664525u + 1013904223u; }
Vec uniform(size_t n, float lo, float hi, uint32_t seed) {
    Vec v(n);
    for (float& x : v) x = lo + (hi - lo) * (float)(next(seed) >> 8) / 16777216.0f;
    return v;
}
Vec integers(size_t n, int lo, int hi, uint32_t seed) {
    Vec v(n);
    for (float& x : v) x = (float)(lo + (int)(next(seed) % (uint32_t)(hi - lo + 1)));
    return v;
}

// Distance in representable floats; NaN matches NaN, and 0 ulps means the same bits.
int64_t ulps_apart(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : INT64_MAX;
    int32_t ia, ib;
    std::memcpy(&ia, &a, 4);
    std::memcpy(&ib, &b, 4);
    const int64_t oa = ia < 0 ? (int64_t)INT32_MIN - ia : ia, ob = ib < 0 ? (int64_t)INT32_MIN - ib : ib;
    return oa > ob ? oa - ob : ob - oa;
}
bool same_value(float a, float b, int ulps) {
    if (ulps == 0) return std::isnan(a) ? std::isnan(b) : std::memcmp(&a, &b, 4) == 0;
    return ulps_apart(a, b) <= ulps;
}

// Correctly rounded float results, computed in double (exact enough that the
// final rounding to float is the single rounding of the float operation).
float r(double v) { return (float)v; }

const float K = 2.5f, K2 = -0.75f;

struct ElementwiseCase {
    const char* name;
    // Writes the result for a (and b, the second array or mask) into target;
    // the in-place forms find a already in target.
    std::function<void(float* target, float* a, const float* b, unsigned long n)> run;
    std::function<float(float a, float b)> truth;
    int ulps;
};

std::vector<ElementwiseCase> elementwise_cases() {
    using F = float*;
    using C = const float*;
    using N = unsigned long;
    return {
        {"x1d_add", [](F t, F a, C b, N n) { hcuda_x1d_add(t, a, b, n); }, [](float a, float b) { return r((double)a + b); }, 0},
        {"x1d_sub", [](F t, F a, C b, N n) { hcuda_x1d_sub(t, a, b, n); }, [](float a, float b) { return r((double)a - b); }, 0},
        {"x1d_multi", [](F t, F a, C b, N n) { hcuda_x1d_multi(t, a, b, n); }, [](float a, float b) { return r((double)a * b); }, 0},
        {"x1d_divide", [](F t, F a, C b, N n) { hcuda_x1d_divide(t, a, b, n); }, [](float a, float b) { return r((double)a / b); }, 0},
        {"x1d_add_inplace", [](F t, F, C b, N n) { hcuda_x1d_add_inplace(t, b, n); }, [](float a, float b) { return r((double)a + b); }, 0},
        {"x1d_sub_inplace", [](F t, F, C b, N n) { hcuda_x1d_sub_inplace(t, b, n); }, [](float a, float b) { return r((double)a - b); }, 0},
        {"x1d_multi_inplace", [](F t, F, C b, N n) { hcuda_x1d_multi_inplace(t, b, n); }, [](float a, float b) { return r((double)a * b); }, 0},
        {"x1d_divide_inplace", [](F t, F, C b, N n) { hcuda_x1d_divide_inplace(t, b, n); }, [](float a, float b) { return r((double)a / b); }, 0},
        {"addto_float", [](F t, F, C b, N n) { hcuda_addto_float(t, b, n); }, [](float a, float b) { return r((double)a + b); }, 0},
        {"add", [](F t, F a, C, N n) { hcuda_add(t, a, n, K); }, [](float a, float) { return r((double)a + K); }, 0},
        {"sub", [](F t, F a, C, N n) { hcuda_sub(t, a, n, K); }, [](float a, float) { return r((double)a - K); }, 0},
        {"multi", [](F t, F a, C, N n) { hcuda_multi(t, a, n, K); }, [](float a, float) { return r((double)a * K); }, 0},
        {"divide", [](F t, F a, C, N n) { hcuda_divide(t, a, n, K); }, [](float a, float) { return r((double)a / K); }, 0},
        {"add_multi", [](F t, F a, C, N n) { hcuda_add_multi(t, a, n, K, K2); }, [](float a, float) { return r((double)r((double)a + K) * K2); }, 0},
        {"multi_add", [](F t, F a, C, N n) { hcuda_multi_add(t, a, n, K, K2); }, [](float a, float) { return std::fmaf(a, K, K2); }, 0},
        {"sub_divide", [](F t, F a, C, N n) { hcuda_sub_divide(t, a, n, K, K2); }, [](float a, float) { return r((double)r((double)a - K) / K2); }, 0},
        {"divide_sub", [](F t, F a, C, N n) { hcuda_divide_sub(t, a, n, K, K2); }, [](float a, float) { return r((double)r((double)a / K) - K2); }, 0},
        {"add_inplace", [](F t, F, C, N n) { hcuda_add_inplace(t, n, K); }, [](float a, float) { return r((double)a + K); }, 0},
        {"sub_inplace", [](F t, F, C, N n) { hcuda_sub_inplace(t, n, K); }, [](float a, float) { return r((double)a - K); }, 0},
        {"multi_inplace", [](F t, F, C, N n) { hcuda_multi_inplace(t, n, K); }, [](float a, float) { return r((double)a * K); }, 0},
        {"divide_inplace", [](F t, F, C, N n) { hcuda_divide_inplace(t, n, K); }, [](float a, float) { return r((double)a / K); }, 0},
        {"multi_add_inplace", [](F t, F, C, N n) { hcuda_multi_add_inplace(t, n, K, K2); }, [](float a, float) { return std::fmaf(a, K, K2); }, 0},
        {"sub_divide_inplace", [](F t, F, C, N n) { hcuda_sub_divide_inplace(t, n, K, K2); }, [](float a, float) { return r((double)r((double)a - K) / K2); }, 0},
        {"invert_inplace", [](F t, F, C, N n) { hcuda_invert_inplace(t, n); }, [](float a, float) { return -a; }, 0},
        {"sqr", [](F t, F a, C, N n) { hcuda_sqr(t, a, n); }, [](float a, float) { return r((double)a * a); }, 0},
        {"sub_sqr", [](F t, F a, C, N n) { hcuda_sub_sqr(t, a, n, K); }, [](float a, float) { const double d = r((double)a - K); return r(d * d); }, 0},
        {"submean_sqr", [](F t, F a, C, N n) { hcuda_submean_sqr(t, a, n, K); }, [](float a, float) { const double d = r((double)a - K); return r(d * d); }, 0},
        {"logf", [](F t, F a, C, N n) { hcuda_logf(t, a, n); }, [](float a, float) { return r(std::log((double)a)); }, 2},
        {"sqrtf", [](F t, F a, C, N n) { hcuda_sqrtf(t, a, n); }, [](float a, float) { return r(std::sqrt((double)a)); }, 0},
        {"sqr_inplace", [](F t, F, C, N n) { hcuda_sqr_inplace(t, n); }, [](float a, float) { return r((double)a * a); }, 0},
        {"sqrtf_inplace", [](F t, F, C, N n) { hcuda_sqrtf_inplace(t, n); }, [](float a, float) { return r(std::sqrt((double)a)); }, 0},
        {"logf_inplace", [](F t, F, C, N n) { hcuda_logf_inplace(t, n); }, [](float a, float) { return r(std::log((double)a)); }, 2},
        {"apply_mask", [](F t, F a, C m, N n) { hcuda_apply_mask(t, a, m, n); }, [](float a, float m) { return r((double)a * m); }, 0},
        {"apply_mask_inplace", [](F t, F, C m, N n) { hcuda_apply_mask_inplace(t, m, n); }, [](float a, float m) { return r((double)a * m); }, 0},
        {"sqr_withmask", [](F t, F a, C m, N n) { hcuda_sqr_withmask(t, a, m, n); }, [](float a, float m) { return r((double)r((double)a * a) * m); }, 0},
        {"submean_sqr_withmask", [](F t, F a, C m, N n) { hcuda_submean_sqr_withmask(t, a, m, n, K); },
         [](float a, float m) { const double d = r((double)a - K); return r((double)m * r(d * d)); }, 0},
    };
}

}  // namespace

// Every elementwise operation over 2051 elements (three blocks, the last one
// partial), with zeros, signed zeros, a subnormal, infinities and zero
// divisors at the front, separately and with the output on the input; the
// elements past n and a call with n = 0 are left alone.
TEST(GpuElementwise, EveryOperationMatchesItsCorrectlyRoundedResult) {
    const size_t n = 2051, guard = 5;
    const float sentinel = -777.0f;
    Vec a = uniform(n, -10.0f, 10.0f, 1), b = uniform(n, 0.5f, 4.0f, 2);
    const Vec front_a = {0.0f, -0.0f, 2.0f, -3.0f, 1e-40f, kInf, -kInf, 0.0f, 5.0f, 4.0f};
    const Vec front_b = {3.0f, 2.0f, 0.0f, 0.0f, 4.0f, 1.5f, 2.0f, 0.0f, 3.0f, -0.0f};
    std::copy(front_a.begin(), front_a.end(), a.begin());
    std::copy(front_b.begin(), front_b.end(), b.begin());
    Vec a_guarded = a;
    a_guarded.resize(n + guard, sentinel);
    const Dev da(a), db(b);
    for (const ElementwiseCase& c : elementwise_cases()) {
        SCOPED_TRACE(c.name);
        Dev separate(a_guarded), aliased(a_guarded), untouched(a_guarded);
        c.run(separate.p, da.p, db.p, n);
        c.run(aliased.p, aliased.p, db.p, n);
        c.run(untouched.p, untouched.p, db.p, 0);
        const Vec got = separate.get(), got_aliased = aliased.get();
        for (size_t i = 0; i < n; ++i) {
            const float want = c.truth(a[i], b[i]);
            ASSERT_TRUE(same_value(got[i], want, c.ulps)) << "i=" << i << " a=" << a[i] << " b=" << b[i] << " got " << got[i] << " want " << want;
            ASSERT_TRUE(same_value(got_aliased[i], got[i], 0)) << "i=" << i;
        }
        for (size_t i = n; i < n + guard; ++i) ASSERT_EQ(got[i], sentinel);
        EXPECT_EQ(untouched.get(), a_guarded);
        EXPECT_EQ(da.get(), a);
    }
}

// Hand-computed cases: one rounding for multi_add, two for add_multi; the
// sign change of invert; logarithms and square roots at their edges.
TEST(GpuElementwise, HandComputedEdges) {
    const float x = 1.0f + 0x1p-12f;  // x*x = 1 + 2^-11 + 2^-24 exactly
    struct Case {
        const char* name;
        std::function<void(float*, unsigned long)> run;
        float in, want;
    };
    const std::vector<Case> cases = {
        {"multi_add keeps the low bit", [x](float* p, unsigned long n) { hcuda_multi_add_inplace(p, n, x, -1.0f); }, x, 0x1p-11f + 0x1p-24f},
        {"multi_add out", [x](float* p, unsigned long n) { hcuda_multi_add(p, p, n, x, -1.0f); }, x, 0x1p-11f + 0x1p-24f},
        {"add_multi rounds twice", [](float* p, unsigned long n) { hcuda_add_multi(p, p, n, 2.0f, 1.0f); }, 3.0f, 5.0f},
        {"multi_add of 3", [](float* p, unsigned long n) { hcuda_multi_add_inplace(p, n, 2.0f, 1.0f); }, 3.0f, 7.0f},
        {"invert 2", [](float* p, unsigned long n) { hcuda_invert_inplace(p, n); }, 2.0f, -2.0f},
        {"invert 0", [](float* p, unsigned long n) { hcuda_invert_inplace(p, n); }, 0.0f, -0.0f},
        {"log 0", [](float* p, unsigned long n) { hcuda_logf_inplace(p, n); }, 0.0f, -kInf},
        {"log -0", [](float* p, unsigned long n) { hcuda_logf_inplace(p, n); }, -0.0f, -kInf},
        {"log -1", [](float* p, unsigned long n) { hcuda_logf_inplace(p, n); }, -1.0f, std::nanf("")},
        {"log inf", [](float* p, unsigned long n) { hcuda_logf_inplace(p, n); }, kInf, kInf},
        {"sqrt -0", [](float* p, unsigned long n) { hcuda_sqrtf_inplace(p, n); }, -0.0f, -0.0f},
        {"sqrt -4", [](float* p, unsigned long n) { hcuda_sqrtf_inplace(p, n); }, -4.0f, std::nanf("")},
        {"5 / 3", [](float* p, unsigned long n) { hcuda_divide_inplace(p, n, 3.0f); }, 5.0f, 1.6666666269302368f},
        {"0 / 0", [](float* p, unsigned long n) { hcuda_divide_inplace(p, n, 0.0f); }, 0.0f, std::nanf("")},
        {"-1 / 0", [](float* p, unsigned long n) { hcuda_divide(p, p, n, 0.0f); }, -1.0f, -kInf},
    };
    for (const Case& c : cases) {
        Dev d(Vec{c.in});
        c.run(d.p, 1);
        EXPECT_TRUE(same_value(d.get()[0], c.want, 0)) << c.name << ": got " << d.get()[0];
    }
}

// The GPU forms and their host twins agree to a few ulps (the fused
// multiply-add may differ from the host's two roundings in the last bit).
TEST(GpuElementwise, AgreesWithHostTwins) {
    const size_t n = 3000;
    const Vec a = uniform(n, 0.01f, 50.0f, 3), b = uniform(n, 0.5f, 4.0f, 4);
    const Dev da(a), db(b);
    struct Twin {
        const char* name;
        std::function<void(float*)> gpu;
        std::function<void(float*)> host;
    };
    const std::vector<Twin> twins = {
        {"x1d_add", [&](float* o) { hcuda_x1d_add(o, da.p, db.p, n); }, [&](float* o) { hm_x1d_add(o, a.data(), b.data(), n); }},
        {"divide", [&](float* o) { hcuda_divide(o, da.p, n, 3.0f); }, [&](float* o) { hm_divide(o, a.data(), n, 3.0f); }},
        {"multi_add", [&](float* o) { hcuda_multi_add(o, da.p, n, 0.3f, 0.1f); }, [&](float* o) { hm_multi_add(o, a.data(), n, 0.3f, 0.1f); }},
        {"sub_divide", [&](float* o) { hcuda_sub_divide(o, da.p, n, 0.3f, 7.0f); }, [&](float* o) { hm_sub_divide(o, a.data(), n, 0.3f, 7.0f); }},
        {"logf", [&](float* o) { hcuda_logf(o, da.p, n); }, [&](float* o) { hm_logf(o, a.data(), n); }},
    };
    for (const Twin& t : twins) {
        Dev out(Vec(n, 0.0f));
        Vec host(n);
        t.gpu(out.p);
        t.host(host.data());
        const Vec gpu = out.get();
        for (size_t i = 0; i < n; ++i) ASSERT_LE(ulps_apart(gpu[i], host[i]), 2) << t.name << " i=" << i;
    }
}

// ---- rows with one row ----

TEST(GpuRows, ProductsAndSumsOfRowsAndColumns) {
    const int n = 37, m = 1030;  // m not a multiple of the block
    const float sentinel = -5.0f;
    Vec many = integers((size_t)n * m, -9, 9, 5), one = integers(n, -9, 9, 6);
    std::copy(one.begin(), one.end(), many.begin() + 4 * n);  // row 4 is the one row
    const Dev dmany(many), done(one);
    Dev dots(Vec(m + 3, sentinel)), rows(Vec(m + 3, sentinel)), cols(Vec(n + 3, sentinel));
    hcuda_dot_manydata_with_one(dmany.p, done.p, n, dots.p, m);
    hcuda_sumX_manydata_to_one(dmany.p, rows.p, n, m);
    hcuda_sumY_manydata_to_one(dmany.p, cols.p, n, m);
    const Vec got_dots = dots.get(), got_rows = rows.get(), got_cols = cols.get();
    for (int r = 0; r < m; ++r) {
        double dot = 0.0, sum = 0.0;
        for (int j = 0; j < n; ++j) dot += (double)many[(size_t)r * n + j] * one[j], sum += many[(size_t)r * n + j];
        ASSERT_EQ((double)got_dots[r], dot) << r;
        ASSERT_EQ((double)got_rows[r], sum) << r;
    }
    double sum_sqr = 0.0;
    for (float v : one) sum_sqr += (double)v * v;
    EXPECT_EQ((double)got_dots[4], sum_sqr);
    for (int j = 0; j < n; ++j) {
        double sum = 0.0;
        for (int r = 0; r < m; ++r) sum += many[(size_t)r * n + j];
        ASSERT_EQ((double)got_cols[j], sum) << j;
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(got_dots[m + i], sentinel);
        EXPECT_EQ(got_rows[m + i], sentinel);
        EXPECT_EQ(got_cols[n + i], sentinel);
    }
    EXPECT_EQ(dmany.get(), many);
    EXPECT_EQ(done.get(), one);
}

// n = 0: the dot products and row sums are 0, the column sums write nothing;
// m = 0: the dot products and row sums write nothing, the column sums are 0.
TEST(GpuRows, EmptyRowsOrNoRows) {
    const float s = -5.0f;
    const Dev data(Vec(8, 1.0f)), one(Vec(8, 1.0f));
    Dev dots(Vec(4, s)), rows(Vec(4, s)), cols(Vec(4, s));
    hcuda_dot_manydata_with_one(data.p, one.p, 0, dots.p, 3);
    hcuda_sumX_manydata_to_one(data.p, rows.p, 0, 3);
    hcuda_sumY_manydata_to_one(data.p, cols.p, 0, 3);
    EXPECT_EQ(dots.get(), (Vec{0, 0, 0, s}));
    EXPECT_EQ(rows.get(), (Vec{0, 0, 0, s}));
    EXPECT_EQ(cols.get(), (Vec{s, s, s, s}));
    Dev dots0(Vec(4, s)), rows0(Vec(4, s)), cols0(Vec(4, s));
    hcuda_dot_manydata_with_one(data.p, one.p, 3, dots0.p, 0);
    hcuda_sumX_manydata_to_one(data.p, rows0.p, 3, 0);
    hcuda_sumY_manydata_to_one(data.p, cols0.p, 3, 0);
    EXPECT_EQ(dots0.get(), (Vec{s, s, s, s}));
    EXPECT_EQ(rows0.get(), (Vec{s, s, s, s}));
    EXPECT_EQ(cols0.get(), (Vec{0, 0, 0, s}));
}

TEST(GpuRows, BandLimitedDotProduct) {
    const int n = 40, m = 5;
    const Vec many = integers((size_t)n * m, -9, 9, 7), one = integers(n, -9, 9, 8);
    const Dev dmany(many), done(one);
    const int bands[][2] = {{0, n}, {3, 20}, {7, 7}, {20, 3}, {-1, 20}};  // lo, hi compared unsigned
    for (const auto& band : bands) {
        Dev out(Vec(m, -1.0f));
        GPU_LAUNCH(cuda_correlation_many_with_one_limited, 1, 1024, 0)(dmany.p, done.p, out.p, n, m, band[0], band[1]);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        const Vec got = out.get();
        for (int r = 0; r < m; ++r) {
            double dot = 0.0;
            for (int j = band[0]; band[0] >= 0 && j < band[1]; ++j) dot += (double)many[(size_t)r * n + j] * one[j];
            EXPECT_EQ((double)got[r], dot) << "band " << band[0] << ".." << band[1] << " row " << r;
        }
    }
}

TEST(GpuRows, ElementwiseProductWithOneRow) {
    const int n = 45, m = 33;  // neither a multiple of the 32 x 32 block
    const Vec many = uniform((size_t)n * m, -3, 3, 9), one = uniform(n, -3, 3, 10);
    Vec guarded(n * m + 4, 0.5f);
    const Dev dmany(many), done(one);
    Dev out(guarded);
    GPU_LAUNCH(cuda_multiply_manydata_with_one, gpu_grid_2d(n, m), gpu_block_2d(), 0)(dmany.p, done.p, out.p, n, m);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    for (int y = 0; y < m; ++y)
        for (int x = 0; x < n; ++x) guarded[(size_t)y * n + x] = r((double)many[(size_t)y * n + x] * one[x]);
    EXPECT_EQ(out.get(), guarded);
}

// Per-block partial sums of a*b: a partial block counts only indices below n,
// and a block wholly past n writes 0.
TEST(GpuRows, PartialProductSumsPerBlock) {
    const unsigned long n = 300;
    const unsigned int B = 128, blocks = 4;
    const Vec a = integers(n, -9, 9, 11), b = integers(n, -9, 9, 12);
    const Dev da(a), db(b);
    Dev partial(Vec(blocks, -1.0f));
    GPU_LAUNCH_BLOCKWISE(cuda_reduce_data_for_ccc, blocks, B, B * sizeof(float))(da.p, db.p, partial.p, n);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const Vec got = partial.get();
    for (unsigned int k = 0; k < blocks; ++k) {
        double sum = 0.0;
        for (unsigned long i = k * B; i < n && i < (k + 1) * B; ++i) sum += (double)a[i] * b[i];
        EXPECT_EQ((double)got[k], sum) << "block " << k;
    }
}

// ---- statistics ----

// x = [1, 2, 3, 4] under three masks; all values by hand.
TEST(GpuStatistics, HandComputedSmallCases) {
    const Dev x(Vec{1, 2, 3, 4});
    EXPECT_FLOAT_EQ(hcuda_fast_mean(x.p, 4), 2.5f);
    EXPECT_FLOAT_EQ(hcuda_fast_sumsqr(x.p, 4), 30.0f);
    EXPECT_FLOAT_EQ(hcuda_fast_submean_sumsqr(x.p, 4), 5.0f);
    EXPECT_FLOAT_EQ(hcuda_variance(x.p, 4), 1.25f);
    EXPECT_FLOAT_EQ(hcuda_stdv(x.p, 4), std::sqrt(1.25f));
    struct MaskCase {
        Vec mask;
        float sum, mean, sumsqr, submean_sumsqr, variance, stdv;
    };
    const std::vector<MaskCase> cases = {
        {{1, 1, 1, 1}, 10, 2.5f, 30, 5, 1.25f, std::sqrt(1.25f)},
        {{1, 0, 1, 0}, 4, 2, 10, 2, 0.5f, 1},
        // mask sum 3.5, masked sum 10.5, mean 3, deviations 0.5*4 + 1*1 + 2*1 = 5
        {{0.5f, 1, 0, 2}, 10.5f, 3, 36.5f, 5, 1.25f, std::sqrt(5 / 3.5f)},
    };
    for (const MaskCase& c : cases) {
        const Dev m(c.mask);
        EXPECT_FLOAT_EQ(hcuda_fast_sum_withmask(x.p, m.p, 4), c.sum);
        EXPECT_FLOAT_EQ(hcuda_mean_withmask(x.p, m.p, 4), c.mean);
        EXPECT_FLOAT_EQ(hcuda_fast_sumsqr_withmask(x.p, m.p, 4), c.sumsqr);
        EXPECT_FLOAT_EQ(hcuda_fast_submean_sumsqr_withmask(x.p, m.p, 4), c.submean_sumsqr);
        EXPECT_FLOAT_EQ(hcuda_variance_withmask(x.p, m.p, 4), c.variance);
        EXPECT_FLOAT_EQ(hcuda_stdv_withmask(x.p, m.p, 4), c.stdv);
        EXPECT_EQ(m.get(), c.mask);
    }
    EXPECT_EQ(x.get(), (Vec{1, 2, 3, 4}));
}

// Over two million elements (three passes of the device sum) against double
// sums; the inputs are left as they were, except by the in-place sum of squares.
TEST(GpuStatistics, LargeArraysAgainstDoubleReference) {
    const size_t n = 2048 * 1024 + 7;
    const Vec x = uniform(n, 3.0f, 7.0f, 13), w = uniform(n, 0.0f, 1.0f, 14);
    double s = 0, sq = 0, ms = 0, msq = 0, wsum = 0;
    for (size_t i = 0; i < n; ++i) s += x[i], sq += (double)x[i] * x[i], ms += (double)x[i] * w[i], msq += (double)x[i] * x[i] * w[i], wsum += w[i];
    const double mean = s / n, wmean = ms / wsum;
    double q = 0, qm = 0;
    for (size_t i = 0; i < n; ++i) q += (x[i] - mean) * (x[i] - mean), qm += w[i] * (x[i] - wmean) * (x[i] - wmean);
    const Dev dx(x), dw(w);
    const struct {
        const char* name;
        float got;
        double want;
    } cases[] = {
        {"mean", hcuda_fast_mean(dx.p, n), mean},
        {"sumsqr", hcuda_fast_sumsqr(dx.p, n), sq},
        {"submean_sumsqr", hcuda_fast_submean_sumsqr(dx.p, n), q},
        {"variance", hcuda_variance(dx.p, n), q / n},
        {"stdv", hcuda_stdv(dx.p, n), std::sqrt(q / n)},
        {"sum_withmask", hcuda_fast_sum_withmask(dx.p, dw.p, n), ms},
        {"mean_withmask", hcuda_mean_withmask(dx.p, dw.p, n), wmean},
        {"sumsqr_withmask", hcuda_fast_sumsqr_withmask(dx.p, dw.p, n), msq},
        {"submean_sumsqr_withmask", hcuda_fast_submean_sumsqr_withmask(dx.p, dw.p, n), qm},
        {"variance_withmask", hcuda_variance_withmask(dx.p, dw.p, n), qm / n},
        {"stdv_withmask", hcuda_stdv_withmask(dx.p, dw.p, n), std::sqrt(qm / wsum)},
        {"stdv vs host twin", hcuda_stdv(dx.p, n), (double)hm_stdvf(x.data(), n)},
    };
    for (const auto& c : cases) EXPECT_NEAR(c.got, c.want, 2e-5 * std::fabs(c.want)) << c.name;
    EXPECT_EQ(dx.get(), x);
    EXPECT_EQ(dw.get(), w);
    const float sumsqr = hcuda_fast_sumsqr(dx.p, n);
    EXPECT_EQ(hcuda_fast_sumsqr_inplace(dx.p, n), sumsqr);
    EXPECT_EQ(dx.get()[0], sumsqr);  // the consumed array holds the sum at element 0
}

TEST(GpuStatistics, ConstantDataZeroAndMasksOfOnesOrZeros) {
    const size_t n = (1 << 20) + 3;
    const Dev ones(Vec(n, 1.0f)), zeros(Vec(n, 0.0f));
    EXPECT_EQ(hcuda_variance(ones.p, n), 0.0f);
    EXPECT_EQ(hcuda_stdv(ones.p, n), 0.0f);
    Dev z(Vec(n, 1.0f));
    hcuda_znorm_inplace(z.p, n, 1.0f, 0.0f);
    for (float v : z.get()) ASSERT_TRUE(std::isnan(v));

    const Vec x = uniform(n, -2.0f, 5.0f, 15);
    const Dev dx(x);
    EXPECT_NEAR(hcuda_mean_withmask(dx.p, ones.p, n), hcuda_fast_mean(dx.p, n), 1e-5);
    EXPECT_NEAR(hcuda_stdv_withmask(dx.p, ones.p, n), hcuda_stdv(dx.p, n), 1e-5);
    EXPECT_TRUE(std::isnan(hcuda_mean_withmask(dx.p, zeros.p, n)));
    EXPECT_TRUE(std::isnan(hcuda_stdv_withmask(dx.p, zeros.p, n)));

    Vec mask(n, 0.0f);
    size_t k = 0;
    for (size_t i = 0; i < n; i += 3) mask[i] = 1.0f, ++k;
    const Dev dm(mask);
    const float sd = hcuda_stdv_withmask(dx.p, dm.p, n);
    EXPECT_NEAR(hcuda_variance_withmask(dx.p, dm.p, n), (double)k / n * sd * sd, 1e-5);
    EXPECT_TRUE(std::isnan(hcuda_fast_mean(dx.p, 0)));
}

// ---- normalisation ----

namespace {

// Mean and population deviation of x under a 0/1 mask, in double.
void masked_moments(const Vec& x, const Vec& m, double& mean, double& stdv) {
    double s = 0, c = 0, q = 0;
    for (size_t i = 0; i < x.size(); ++i) s += x[i] * m[i], c += m[i];
    mean = s / c;
    for (size_t i = 0; i < x.size(); ++i) q += m[i] * (x[i] - mean) * (x[i] - mean);
    stdv = std::sqrt(q / c);
}

}  // namespace

// Under a 0/1 mask the normalised elements have mean b and deviation a; the
// elements outside follow the same formula, or are 0 with the mask applied.
TEST(GpuNormalise, MaskedNormalisationForms) {
    const size_t n = 5000;
    const float a = 2.0f, b = 10.0f;
    const Vec x = uniform(n, -4.0f, 9.0f, 16);
    Vec mask(n, 0.0f);
    for (size_t i = 0; i < n; ++i) mask[i] = (i % 5 < 2) ? 1.0f : 0.0f;
    double mu, sd;
    masked_moments(x, mask, mu, sd);
    const Dev dm(mask);

    Dev plain(x), applied(x);
    hcuda_norm_withmask_inplace(plain.p, dm.p, n, a, b);
    hcuda_norm_withmask_applymask_inplace(applied.p, dm.p, n, a, b);
    const Vec p = plain.get(), q = applied.get();
    double out_mu, out_sd;
    masked_moments(p, mask, out_mu, out_sd);
    EXPECT_NEAR(out_mu, b, 1e-4);
    EXPECT_NEAR(out_sd, a, 1e-4);
    for (size_t i = 0; i < n; ++i) {
        ASSERT_NEAR(p[i], (x[i] - mu) * (a / sd) + b, 1e-4) << i;
        ASSERT_EQ(q[i], mask[i] ? p[i] : 0.0f) << i;
    }

    Vec host_in = x, host_out(n, -1.0f);
    gpu_norm_withmask_applymask(host_out.data(), x.data(), mask.data(), n, a, b);
    EXPECT_EQ(host_out, q);
    gpu_norm_withmask_applymask_inplace(host_in.data(), mask.data(), n, a, b);
    EXPECT_EQ(host_in, q);

    Vec twin = x;
    hm_normz_withmask_inplace(twin.data(), mask.data(), n, a, b);
    for (size_t i = 0; i < n; ++i) ASSERT_NEAR(p[i], twin[i], 1e-5 * std::fabs(twin[i]) + 1e-5) << i;

    float *mx = nullptr, *mm = nullptr;
    ASSERT_EQ(cudaMallocManaged((void**)&mx, n * sizeof(float)), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&mm, n * sizeof(float)), cudaSuccess);
    std::copy(x.begin(), x.end(), mx);
    std::copy(mask.begin(), mask.end(), mm);
    hm_norm_withmask_inplace(mx, mm, n, a, b);
    for (size_t i = 0; i < n; ++i) ASSERT_LE(ulps_apart(mx[i], p[i]), 4) << i;
    cudaFree(mm);
    cudaFree(mx);
}

TEST(GpuNormalise, ZNormGivesMeanAndDeviationAndReturnsTheSum) {
    const size_t n = 3 * 2048 + 11;
    const Vec x = uniform(n, -1.0f, 3.0f, 17);
    Dev d(x);
    const float sum = hcuda_znorm_inplace(d.p, n, 0.5f, -2.0f);
    const Vec z = d.get();
    double s = 0, q = 0;
    for (float v : z) s += v;
    for (float v : z) q += (v - s / n) * (v - s / n);
    EXPECT_NEAR(s / n, -2.0, 1e-5);
    EXPECT_NEAR(std::sqrt(q / n), 0.5, 1e-5);
    EXPECT_NEAR(sum, s, 1e-3);
}

TEST(GpuNormalise, HostMeanFormWarnsOnAnEmptyMask) {
    const size_t n = 4;
    float *mx = nullptr, *mm = nullptr;
    ASSERT_EQ(cudaMallocManaged((void**)&mx, n * sizeof(float)), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&mm, n * sizeof(float)), cudaSuccess);
    for (size_t i = 0; i < n; ++i) mx[i] = (float)i, mm[i] = 0.0f;
    testing::internal::CaptureStdout();
    hm_norm_withmask_inplace(mx, mm, n, 1.0f, 0.0f);
    const std::string out = testing::internal::GetCapturedStdout(), expected_end = ":Too small sum of mask!!\n\033[m";
    EXPECT_EQ(out.rfind("\033[43mWarning in function hm_sum_check0(), file src/math_utils on line ", 0), 0u) << out;
    EXPECT_EQ(out.substr(out.size() - expected_end.size()), expected_end);
    for (size_t i = 0; i < n; ++i) EXPECT_FALSE(std::isfinite(mx[i])) << i;
    cudaFree(mm);
    cudaFree(mx);
}

TEST(GpuMathDeath, FaultEndsWithTheGpuCheckLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    float host[2] = {1, 2};
    EXPECT_EXIT(hcuda_sqr_inplace(host, 2), ::testing::ExitedWithCode(1), "Error .* at line [0-9]+ in file src/math_utils\n");
}
