// Host vectors to and from device arrays for the tests of GPU units.
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "cuda_general.h"

template <class T>
T* to_device(const std::vector<T>& h) {
    T* d = nullptr;
    EXPECT_EQ(cudaMalloc((void**)&d, h.size() * sizeof(T)), cudaSuccess);
    EXPECT_EQ(memcpy_H2D(d, h.data(), h.size() * sizeof(T)), cudaSuccess);
    return d;
}
template <class T>
std::vector<T> to_host(const T* d, size_t n) {
    std::vector<T> h(n);
    EXPECT_EQ(memcpy_D2H(h.data(), d, n * sizeof(T)), cudaSuccess);
    return h;
}
// A fresh device array of n floats: the host backend fills fresh memory with NaN
// bytes, so every element a kernel fails to write shows up.
inline float* device_array(size_t n) {
    float* d = nullptr;
    EXPECT_EQ(cudaMalloc((void**)&d, n * sizeof(float)), cudaSuccess);
    return d;
}
