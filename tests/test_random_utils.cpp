// Host random arrays and cuRAND device fills: ranges and moments (the host
// stand-in's generator is not the GPU's, so no sequence is compared).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#define VORN_UNIT "tests/random_utils"
#include "cuda_general.h"
#include "random_seed_fixture.h"
#include "random_utils.h"

namespace {

struct Moments {
    double mean, variance, min, max;
};
Moments moments(const float* v, size_t n) {
    double s = 0, s2 = 0, lo = v[0], hi = v[0];
    for (size_t i = 0; i < n; ++i) {
        s += v[i];
        s2 += (double)v[i] * v[i];
        lo = std::min(lo, (double)v[i]);
        hi = std::max(hi, (double)v[i]);
    }
    const double m = s / n;
    return {m, s2 / n - m * m, lo, hi};
}

TEST(HostRandom, UniformArrayRangeMomentsAndItsSeed) {
    std::vector<float> v(200000);
    const time_t second = run_within_one_second([&] { random_data_f32(v.data(), v.size(), -2.0f, 6.0f); });
    const Moments m = moments(v.data(), v.size());
    EXPECT_GE(m.min, -2.0);
    EXPECT_LE(m.max, 6.0);
    EXPECT_NEAR(m.mean, 2.0, 0.05);
    EXPECT_NEAR(m.variance, 64.0 / 12.0, 0.1);
    srand((unsigned)second);  // the same second gives the same numbers
    for (int i = 0; i < 5; ++i) EXPECT_EQ(v[i], (float)rand() * 8.0f * (1.0f / 2147483648.0f) + -2.0f);
    random_data_f32(v.data(), 100, 3.5f, 3.5f);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(v[i], 3.5f);
}

TEST(HostRandom, GaussianNoiseIsTheScaledSumOfDraws) {
    double value = 0;
    const time_t second = run_within_one_second([&] { value = guassian_noise(10.0, 2.0, 12); });
    srand((unsigned)second);
    double s = 0;
    for (int k = 0; k < 12; ++k) s += rand() / 2147483647.0;
    EXPECT_DOUBLE_EQ(value, 1.0 * (s - 6.0) * 2.0 + 10.0);  // sqrt(12/12) = 1
    EXPECT_EQ(guassian_noise(10.0, 2.0, 0), 10.0);         // no draw: no 12/0
}

TEST(HostRandom, GaussianArrayMomentsAndDistinctElements) {
    std::vector<float> v(40000);
    random_guass_data_f32(v.data(), v.size(), 3.0f, 0.5f, 0);
    const Moments m = moments(v.data(), v.size());
    EXPECT_NEAR(m.mean, 3.0, 0.02);
    EXPECT_NEAR(std::sqrt(m.variance), 0.5, 0.02);
    EXPECT_GE(m.min, 3.0 - 25 * 0.4898979485566356 * 0.5);
    size_t repeats = 0;
    for (size_t i = 1; i < 1000; ++i) repeats += v[i] == v[i - 1];
    EXPECT_LT(repeats, 5u);
}

TEST(DeviceRandom, UniformVolumesRangesAndMoments) {
    const unsigned nx = 64, ny = 50, nz = 20;
    const size_t n = (size_t)nx * ny * nz;
    float* v = zgpu_mgenerate_uniform_3d(nx, ny, nz, 5.0f, 2.0f);  // lo and hi exchanged
    Moments m = moments(v, n);
    EXPECT_GE(m.min, 2.0);
    EXPECT_LE(m.max, 5.0);
    EXPECT_NEAR(m.mean, 3.5, 0.02);
    EXPECT_NEAR(m.variance, 9.0 / 12.0, 0.02);
    ASSERT_EQ(cudaFree(v), cudaSuccess);
    v = zgpu_mgenerate_uniform01_3d(nx, ny, nz);
    m = moments(v, n);
    EXPECT_GT(m.min, 0.0);
    EXPECT_LE(m.max, 1.0);
    EXPECT_NEAR(m.mean, 0.5, 0.01);
    ASSERT_EQ(cudaFree(v), cudaSuccess);
    // The caller's device array, of an odd count: uniform fills take any count.
    float* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 105 * sizeof(float)), cudaSuccess);
    zgpu_generate_uniform_3d(d, 7, 5, 3, -1.0f, 1.0f);
    std::vector<float> h(105);
    ASSERT_EQ(memcpy_D2H(h.data(), d, h.size() * sizeof(float)), cudaSuccess);
    m = moments(h.data(), h.size());
    EXPECT_GE(m.min, -1.0);
    EXPECT_LE(m.max, 1.0);
    zgpu_generate_uniform01_3d(d, 7, 5, 3);
    ASSERT_EQ(memcpy_D2H(h.data(), d, h.size() * sizeof(float)), cudaSuccess);
    for (float x : h) EXPECT_TRUE(x > 0.0f && x <= 1.0f);
    ASSERT_EQ(cudaFree(d), cudaSuccess);
}

TEST(DeviceRandom, NormalVolumesMomentsAndOddCountFails) {
    float* v = zgpu_mgenerate_normal_3d(100, 100, 4, -1.0f, 3.0f);
    const Moments m = moments(v, 40000);
    EXPECT_NEAR(m.mean, -1.0, 0.06);
    EXPECT_NEAR(std::sqrt(m.variance), 3.0, 0.06);
    zgpu_generate_normal_3d(v, 100, 100, 4, 0.0f, 1.0f);
    EXPECT_NEAR(moments(v, 40000).mean, 0.0, 0.03);
    ASSERT_EQ(cudaFree(v), cudaSuccess);
    EXPECT_EXIT(zgpu_mgenerate_normal_3d(3, 3, 1, 0.0f, 1.0f), ::testing::ExitedWithCode(1),
                "Error CURAND_STATUS_LENGTH_NOT_MULTIPLE, Length requested is not a multiple of dimension at line "
                "[0-9]+ in file src/random_utils");
}

// An empty volume allocates nothing (a GPU refuses an empty managed block) and
// reaches no generator.
TEST(DeviceRandom, EmptyVolumesAllocateNothing) {
    EXPECT_EQ(zgpu_mgenerate_uniform_3d(0, 10, 10, 0.0f, 1.0f), nullptr);
    EXPECT_EQ(zgpu_mgenerate_uniform01_3d(10, 0, 10), nullptr);
    EXPECT_EQ(zgpu_mgenerate_normal_3d(10, 10, 0, 0.0f, 1.0f), nullptr);
    zgpu_generate_uniform_3d(nullptr, 0, 0, 0, 0.0f, 1.0f);
    zgpu_generate_normal_3d(nullptr, 5, 0, 3, 0.0f, 1.0f);
}

}  // namespace
