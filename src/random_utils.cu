// Random numbers on the host (system generator) and on the GPU (cuRAND).
#define VORN_UNIT "src/random_utils"
#include "random_utils.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "cuda_general.h"
#include "math_utils_gpu.h"

namespace {

constexpr double RAND_TOP = 2147483647.0;

size_t volume_count(unsigned nx, unsigned ny, unsigned nz) { return (size_t)nx * ny * nz; }

// A fresh MTGP32 generator seeded with the wall-clock second.
curandGenerator_t seeded_generator() {
    curandGenerator_t g;
    CURAND_CHECK(curandCreateGenerator(&g, CURAND_RNG_PSEUDO_MTGP32));
    CURAND_CHECK(curandSetPseudoRandomGeneratorSeed(g, (unsigned long long)time(nullptr)));
    return g;
}

void fill_uniform(float* v, size_t n, bool map, float lo, float hi) {
    if (n == 0) return;
    curandGenerator_t g = seeded_generator();
    CURAND_CHECK(curandGenerateUniform(g, v, n));
    if (map) {
        if (lo > hi) std::swap(lo, hi);
        hcuda_multi_add_inplace(v, n, hi - lo, lo);
    }
    CURAND_CHECK(curandDestroyGenerator(g));
}

void fill_normal(float* v, size_t n, float mean, float sigma) {
    if (n == 0) return;
    curandGenerator_t g = seeded_generator();
    CURAND_CHECK(curandGenerateNormal(g, v, n, mean, sigma));
    CURAND_CHECK(curandDestroyGenerator(g));
}

// A managed volume of n floats, or null for none: a GPU refuses an empty managed block.
float* managed_volume(size_t n) {
    float* v = nullptr;
    if (n > 0) CUDA_CHECK(cudaMallocManaged((void**)&v, n * sizeof(float), cudaMemAttachGlobal));
    return v;
}

}  // namespace

// ---- host ----

void random_data_f32(float* v, size_t n, float lo, float hi) {
    srand((unsigned)time(nullptr));
    const float span = hi - lo, scale = 1.0f / 2147483648.0f;
    for (size_t i = 0; i < n; ++i) v[i] = (float)rand() * span * scale + lo;
}

double guassian_noise(double mean, double sigma, size_t n) {
    srand((unsigned)time(nullptr));
    if (n == 0) return mean;  // no draw, no spread (and no 12/0)
    double s = 0.0;
    for (size_t k = 0; k < n; ++k) s += rand() / RAND_TOP;
    return std::sqrt(12.0 / (double)n) * (s - 0.5 * (double)n) * sigma + mean;
}

void random_guass_data_f32(float* v, size_t n, float mean, float sigma, size_t) {
    srand((unsigned)time(nullptr));
    for (size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (int k = 0; k < 50; ++k) s += rand() / RAND_TOP;
        v[i] = (float)((s - 25.0) * 0.4898979485566356 * sigma + mean);
    }
}

// ---- device ----

float* zgpu_mgenerate_uniform_3d(unsigned nx, unsigned ny, unsigned nz, float lo, float hi) {
    float* v = managed_volume(volume_count(nx, ny, nz));
    fill_uniform(v, volume_count(nx, ny, nz), true, lo, hi);
    return v;
}
float* zgpu_mgenerate_uniform01_3d(unsigned nx, unsigned ny, unsigned nz) {
    float* v = managed_volume(volume_count(nx, ny, nz));
    fill_uniform(v, volume_count(nx, ny, nz), false, 0.0f, 1.0f);
    return v;
}
float* zgpu_mgenerate_normal_3d(unsigned nx, unsigned ny, unsigned nz, float mean, float sigma) {
    float* v = managed_volume(volume_count(nx, ny, nz));
    fill_normal(v, volume_count(nx, ny, nz), mean, sigma);
    return v;
}
void zgpu_generate_uniform_3d(float* v, unsigned nx, unsigned ny, unsigned nz, float lo, float hi) {
    fill_uniform(v, volume_count(nx, ny, nz), true, lo, hi);
}
void zgpu_generate_uniform01_3d(float* v, unsigned nx, unsigned ny, unsigned nz) {
    fill_uniform(v, volume_count(nx, ny, nz), false, 0.0f, 1.0f);
}
void zgpu_generate_normal_3d(float* v, unsigned nx, unsigned ny, unsigned nz, float mean, float sigma) {
    fill_normal(v, volume_count(nx, ny, nz), mean, sigma);
}
