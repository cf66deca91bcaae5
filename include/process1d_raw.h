// 1D arrays of the image library: an array filled with its own indices
// (0, 1, 2, ... as floats) on the GPU or the CPU, and a host array of uniform
// random numbers held in a small record.
#pragma once
#include <cstddef>

#include "gpu.h"

// A host array of floats: data from malloc (the holder frees it), its element
// count, and whether the record owns the data.
struct Raw1D {
    bool owns_data = false;
    float* data = nullptr;
    unsigned int n = 0;
};

// Element i of a device array becomes (float)i, for i < n.
__global__ void cuda_1d_auto0123(float* d, size_t n);
// Device array: one thread per element in blocks of 1024, synchronised and checked.
void hcuda_1d_auto0123(float* d, size_t n);
// Host array through a device buffer of n floats, allocated and freed per call;
// a failed allocation is a GPU error line ending in "device memory allocation failed".
void gpu_1d_auto0123(float* h, size_t n);
// Host twin.
void cpu_1d_auto0123(float* h, size_t n);

// n new floats drawn uniformly from [lo, hi) by random_data_f32. The count is
// held in 32 bits: a larger n ends the process with the fatal line, as does a
// failed allocation.
Raw1D random_Raw1d(size_t n, float lo, float hi);
