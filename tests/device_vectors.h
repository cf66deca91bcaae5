// Host vectors to and from device arrays for the tests of GPU units. Fresh
// device memory of the host backend holds NaN bytes, so an element a kernel
// fails to write shows up.
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "cuda_general.h"

inline float* device_array(size_t n) {
    float* d = nullptr;
    EXPECT_EQ(cudaMalloc(&d, (n ? n : 1) * sizeof(float)), cudaSuccess);
    return d;
}
inline float* to_device(const std::vector<float>& h) {
    float* d = device_array(h.size());
    EXPECT_EQ(memcpy_H2D(d, h.data(), h.size() * sizeof(float)), cudaSuccess);
    return d;
}
inline std::vector<float> to_host(const float* d, size_t n) {
    std::vector<float> h(n);
    EXPECT_EQ(memcpy_D2H(h.data(), d, n * sizeof(float)), cudaSuccess);
    return h;
}
