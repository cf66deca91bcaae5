// 1D arrays: index fills on the GPU and the CPU, random host arrays.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#define VORN_UNIT "tests/process1d_raw"
#include "device_arrays_fixture.h"
#include "process1d_raw.h"

namespace {

// Counts around a block edge and one whose indices are not all exact in float.
TEST(Auto0123, GpuAndCpuGiveTheSameIndices) {
    for (size_t n : {size_t(1), size_t(1023), size_t(1025), size_t(16777219)}) {
        std::vector<float> cpu(n, -1.0f), gpu(n, -2.0f);
        cpu_1d_auto0123(cpu.data(), n);
        gpu_1d_auto0123(gpu.data(), n);
        ASSERT_EQ(cpu, gpu) << n;
        EXPECT_EQ(cpu[0], 0.0f);
        EXPECT_EQ(cpu[n - 1], (float)(n - 1));
        if (n < 2000) {
            for (size_t i = 0; i < n; ++i) ASSERT_EQ(cpu[i], (float)i);
        }
    }
}

TEST(Auto0123, NoElementLeavesTheArrayUntouched) {
    std::vector<float> a = {7.0f, 8.0f};
    cpu_1d_auto0123(a.data(), 0);
    gpu_1d_auto0123(a.data(), 0);
    EXPECT_EQ(a, (std::vector<float>{7.0f, 8.0f}));
    float* d = to_device(a);
    hcuda_1d_auto0123(d, 0);
    EXPECT_EQ(to_host(d, 2), a);
    hcuda_1d_auto0123(d, 1);  // only the first element
    EXPECT_EQ(to_host(d, 2), (std::vector<float>{0.0f, 8.0f}));
    cudaFree(d);
}

TEST(Auto0123, FailedDeviceAllocationIsReported) {
    std::vector<float> a(16);
    EXPECT_EXIT((vorn_host::fail_next_allocation(), gpu_1d_auto0123(a.data(), a.size())), ::testing::ExitedWithCode(1),
                "Error .* at line [0-9]+ in file src/process1d_raw: device memory allocation failed");
}

TEST(RandomRaw1d, OwnsNewValuesWithinTheRange) {
    Raw1D r = random_Raw1d(1000, -2.0f, 3.0f);
    ASSERT_NE(r.data, nullptr);
    EXPECT_TRUE(r.owns_data);
    EXPECT_EQ(r.n, 1000u);
    float lo = INFINITY, hi = -INFINITY;
    for (unsigned i = 0; i < r.n; ++i) {
        lo = std::fmin(lo, r.data[i]);
        hi = std::fmax(hi, r.data[i]);
    }
    EXPECT_GE(lo, -2.0f);
    EXPECT_LE(hi, 3.0f);
    EXPECT_LT(lo, hi);
    std::free(r.data);

    Raw1D empty = random_Raw1d(0, 0.0f, 1.0f);
    EXPECT_EQ(empty.n, 0u);
    std::free(empty.data);
}

// A count past 32 bits would be stored wrapped: refused before anything is drawn.
TEST(RandomRaw1d, CountBeyondThirtyTwoBitsIsRefused) {
    EXPECT_EXIT((dup2(2, 1), random_Raw1d((size_t)1 << 32, 0.0f, 1.0f)), ::testing::ExitedWithCode(1), "32-bit count");
}

}  // namespace
