#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cuda_fast_sum.h"

namespace {

using Vec = std::vector<float>;

float* to_device(const Vec& v) {
    float* d = nullptr;
    EXPECT_EQ(cudaMalloc((void**)&d, (v.size() ? v.size() : 1) * sizeof(float)), cudaSuccess);
    if (!v.empty()) {
        EXPECT_EQ(cudaMemcpy(d, v.data(), v.size() * sizeof(float), cudaMemcpyHostToDevice), cudaSuccess);
    }
    return d;
}

Vec from_device(const float* d, size_t n) {
    Vec v(n);
    if (n) {
        EXPECT_EQ(cudaMemcpy(v.data(), d, n * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    }
    return v;
}

// Small integers: every partial sum of these arrays is exact in float, so a
// correct reduction in any order equals the double sum to the last bit.
Vec small_integers(size_t n, uint32_t seed) {
    Vec v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        v[i] = (float)((int)(seed >> 28) - 8);
    }
    return v;
}

// Values of mixed magnitude whose float sum depends on the order of additions.
Vec mixed_floats(size_t n, uint32_t seed) {
    Vec v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const float u = (float)(seed >> 8) / 16777216.0f;
        v[i] = (i % 7 == 0) ? 1000.0f * u + 1.0f : u * 0.001f + 0.1f;
    }
    return v;
}

double double_sum(const Vec& v, size_t lo = 0, size_t hi = SIZE_MAX) {
    double s = 0.0;
    for (size_t i = lo; i < v.size() && i < hi; ++i) s += v[i];
    return s;
}

// The pairwise tree order on the host: per block of 2T values, thread t adds
// the pairs (i, i + T) onto its running sum, then a halving tree adds the
// threads' sums; passes repeat on the block sums.
float pairwise_order_sum(Vec v, size_t T) {
    do {
        const size_t m = v.size(), blocks = (m + 2 * T - 1) / (2 * T);
        Vec next(blocks);
        for (size_t b = 0; b < blocks; ++b) {
            Vec s(T, 0.0f);
            for (size_t t = 0; t < T; ++t)
                for (size_t i = b * 2 * T + t; i < m; i += 2 * T * blocks) {
                    float pair = v[i];
                    if (i + T < m) pair = pair + v[i + T];
                    s[t] = pair + s[t];
                }
            for (size_t w = T / 2; w > 0; w /= 2)
                for (size_t t = 0; t < w; ++t) s[t] = s[t] + s[t + w];
            next[b] = s[0];
        }
        v = next;
    } while (v.size() > 1);
    return v[0];
}

struct SumForm {
    std::string name;
    bool destroys_input;
    std::function<float(float* x, size_t n, int T)> run;
};

std::vector<SumForm> all_sum_forms() {
    return {
        {"hcuda_fast_sum", false, [](float* x, size_t n, int T) { return hcuda_fast_sum(x, n, T); }},
        {"hcuda_fast_sum8", false, [](float* x, size_t n, int T) { return hcuda_fast_sum8(x, n, T); }},
        {"hcuda_fast_sum8_buf", false,
         [](float* x, size_t n, int T) {
             float* buf = nullptr;
             EXPECT_EQ(cudaMalloc((void**)&buf, std::max<size_t>((n + 2 * T - 1) / (2 * T), 1) * sizeof(float)), cudaSuccess);
             return hcuda_fast_sum8_buf(x, n, buf, T);
         }},
        {"hcuda_fast_sum1", false, [](float* x, size_t n, int T) { return hcuda_fast_sum1(x, n, T); }},
        {"hcuda_fast_sum_npp", false, [](float* x, size_t n, int) { return hcuda_fast_sum_npp(x, n); }},
        {"hcuda_fast_sum_inplace", true, [](float* x, size_t n, int T) { return hcuda_fast_sum_inplace(x, n, T); }},
        {"hcuda_fast_sum8_inplace1", true, [](float* x, size_t n, int T) { return hcuda_fast_sum8_inplace1(x, n, T); }},
        {"hcuda_fast_sum8_inplace2", true, [](float* x, size_t n, int T) { return hcuda_fast_sum8_inplace2(x, n, T); }},
        {"hcuda_fast_sum1_inplace", true, [](float* x, size_t n, int T) { return hcuda_fast_sum1_inplace(x, n, T); }},
    };
}

}  // namespace

// Every form over sizes that cross the block and pass boundaries, with 1024
// threads and with small blocks (more passes, deeper strides in place).
TEST(FastSum, EveryFormEqualsTheDoubleSumAcrossPassBoundaries) {
    const std::vector<size_t> sizes = {1, 2, 1023, 1024, 1025, 2047, 2048, 2049, 4097,
                                       2048 * 1024, 2048 * 1024 + 7, 2048 * 2048 + 1};
    for (int T : {1024, 64}) {
        for (size_t n : sizes) {
            const Vec host = small_integers(n, (uint32_t)n);
            const double expected = double_sum(host);
            for (const SumForm& form : all_sum_forms()) {
                SCOPED_TRACE(form.name + " n=" + std::to_string(n) + " T=" + std::to_string(T));
                float* d = to_device(host);
                const float sum = form.run(d, n, T);
                EXPECT_EQ((double)sum, expected);
                const Vec after = from_device(d, n);
                if (form.destroys_input) {
                    EXPECT_EQ(after[0], sum);  // the last pass leaves the sum at element 0
                } else {
                    EXPECT_EQ(after, host);
                }
                cudaFree(d);
            }
        }
    }
}

TEST(FastSum, RandomFloatsAgreeWithDoubleSum) {
    const size_t n = 2048 * 1024 + 7;
    const Vec host = mixed_floats(n, 7);
    const double expected = double_sum(host);
    for (const SumForm& form : all_sum_forms()) {
        SCOPED_TRACE(form.name);
        float* d = to_device(host);
        EXPECT_NEAR(form.run(d, n, 1024), expected, 2e-6 * std::fabs(expected));
        cudaFree(d);
    }
}

TEST(FastSum, ReproducesThePairwiseOrderExactly) {
    for (int T : {1024, 256, 64}) {
        for (size_t n : {(size_t)5000, (size_t)70001}) {
            SCOPED_TRACE("n=" + std::to_string(n) + " T=" + std::to_string(T));
            const Vec host = mixed_floats(n, 11);
            const float expected = pairwise_order_sum(host, (size_t)T);
            float naive = 0.0f;
            for (float v : host) naive += v;
            ASSERT_NE(naive, expected);  // the data tell the orders apart
            float* d = to_device(host);
            EXPECT_EQ(hcuda_fast_sum(d, n, T), expected);
            EXPECT_EQ(hcuda_fast_sum_inplace(d, n, T), expected);
            cudaFree(d);
        }
    }
}

TEST(FastSum, ZeroElementsSumToZeroAndTouchNothing) {
    const float sentinel = 12345.0f;
    for (const SumForm& form : all_sum_forms()) {
        SCOPED_TRACE(form.name);
        float* d = to_device({sentinel});
        EXPECT_EQ(form.run(d, 0, 1024), 0.0f);
        EXPECT_EQ(from_device(d, 1)[0], sentinel);
        cudaFree(d);
    }
    float* d = to_device({sentinel});
    float* out = to_device({sentinel});
    hcuda_reduce_data_for_sum1(d, out, 0, 1024);
    hcuda_reduce_data_for_sum1_inplace(d, 0, 1024);
    EXPECT_EQ(from_device(d, 1)[0], sentinel);
    EXPECT_EQ(from_device(out, 1)[0], sentinel);
    float* a = to_device({sentinel});
    EXPECT_EQ(hcuda_fast_dot_inplace(a, d, 0, 1024), 0.0f);
    cudaFree(a);
    cudaFree(out);
    cudaFree(d);
}

// One value: the forms that run a pass add it onto the zero-filled slots (so
// -0 becomes +0); the pairwise in-place forms run no pass and return it as is.
TEST(FastSum, SingleNegativeZero) {
    for (const SumForm& form : all_sum_forms()) {
        if (form.name == "hcuda_fast_sum_npp") continue;
        SCOPED_TRACE(form.name);
        float* d = to_device({-0.0f});
        const bool no_pass = form.name == "hcuda_fast_sum_inplace" || form.name.rfind("hcuda_fast_sum8_inplace", 0) == 0;
        EXPECT_EQ(std::signbit(form.run(d, 1, 1024)), no_pass);
        cudaFree(d);
    }
}

TEST(FastSum, BufferFormFreesTheBuffer) {
    for (size_t n : {(size_t)0, (size_t)5000}) {
        float* x = to_device(small_integers(5000, 3));
        float* buf = nullptr;
        ASSERT_EQ(cudaMalloc((void**)&buf, 8 * sizeof(float)), cudaSuccess);
        hcuda_fast_sum8_buf(x, n, buf, 1024);
        EXPECT_FALSE(vorn_host::device_pointer_ok(buf));
        cudaFree(x);
    }
}

// One interleaved pass leaves block b's sum at element b of its output, for
// b < ceil(n/T); enough blocks that the in-place form gathers in two rounds.
TEST(FastSum, OnePassLeavesBlockSumsInTheFirstElements) {
    for (int T : {1024, 64}) {
        const size_t n = (size_t)T * (T + 6) + 5, blocks = (n + T - 1) / T;
        SCOPED_TRACE("T=" + std::to_string(T));
        const Vec host = small_integers(n, 5);
        float* x = to_device(host);
        float* out = to_device(Vec(blocks, -1.0f));
        hcuda_reduce_data_for_sum1(x, out, n, T);
        EXPECT_EQ(from_device(x, n), host);
        hcuda_reduce_data_for_sum1_inplace(x, n, T);
        const Vec partials = from_device(out, blocks), in_place = from_device(x, blocks);
        for (size_t b = 0; b < blocks; ++b) {
            const double block_sum = double_sum(host, b * T, (b + 1) * T);
            ASSERT_EQ((double)partials[b], block_sum) << "block " << b;
            ASSERT_EQ((double)in_place[b], block_sum) << "block " << b;
        }
        cudaFree(out);
        cudaFree(x);
    }
}

TEST(FastSum, DotProductInPlace) {
    for (size_t n : {(size_t)1, (size_t)2049, (size_t)2048 * 1024 + 7}) {
        SCOPED_TRACE("n=" + std::to_string(n));
        const Vec a = small_integers(n, 21), b = small_integers(n, 22);
        double expected = 0.0;
        for (size_t i = 0; i < n; ++i) expected += (double)a[i] * b[i];
        float* da = to_device(a);
        float* db = to_device(b);
        // T is ignored, and callers may leave it out.
        const float dot = n > 2049 ? hcuda_fast_dot_inplace(da, db, n) : hcuda_fast_dot_inplace(da, db, n, 0);
        EXPECT_EQ((double)dot, expected);
        EXPECT_EQ(from_device(da, 1)[0], dot);
        EXPECT_EQ(from_device(db, n), b);
        cudaFree(db);
        cudaFree(da);
    }
}

// The product pass stores block k's sum at the first element of its own span.
TEST(FastSum, ProductPassStoresEachBlockSumInItsOwnSpan) {
    const size_t n = 5000, T = 1024, blocks = 3;
    const Vec a = small_integers(n, 31), b = small_integers(n, 32);
    float* da = to_device(a);
    float* db = to_device(b);
    GPU_LAUNCH_BLOCKWISE(cuda_reduce_data_for_dot7t_inplace, blocks, T, T * sizeof(float))(da, (const float*)db, n);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const Vec after = from_device(da, n);
    for (size_t k = 0; k < blocks; ++k) {
        double expected = 0.0;
        for (size_t i = k * 2 * T; i < n && i < (k + 1) * 2 * T; ++i) expected += (double)a[i] * b[i];
        EXPECT_EQ((double)after[k * 2 * T], expected) << "block " << k;
    }
    cudaFree(db);
    cudaFree(da);
}

TEST(FastSumDeath, FaultInAPassEndsWithTheGpuCheckLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    float host[4] = {1, 2, 3, 4};
    EXPECT_EXIT(hcuda_fast_sum(host, 4, 1024), ::testing::ExitedWithCode(1), "Error .* at line [0-9]+ in file src/cuda_fast_sum\n");
}
