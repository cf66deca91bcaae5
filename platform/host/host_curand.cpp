// cuRAND stand-in: a 32-bit Mersenne Twister per generator. The bit stream
// differs from the GPU generator's; the ranges and failure rules are the same.
#include "host_backend.h"

#include <cmath>
#include <random>

struct vorn_curand_generator {
    std::mt19937 engine;
};

namespace {
// (k + 1) / 2^32 for a 32-bit draw k: never 0, and 1 is reachable.
float uniform01(std::mt19937& e) { return (float)(((double)e() + 1.0) * (1.0 / 4294967296.0)); }
}  // namespace

curandStatus_t curandCreateGenerator(curandGenerator_t* generator, curandRngType_t type) {
    if (generator == nullptr) return CURAND_STATUS_NOT_INITIALIZED;
    switch (type) {
        case CURAND_RNG_PSEUDO_DEFAULT:
        case CURAND_RNG_PSEUDO_XORWOW:
        case CURAND_RNG_PSEUDO_MRG32K3A:
        case CURAND_RNG_PSEUDO_MTGP32:
        case CURAND_RNG_PSEUDO_MT19937:
        case CURAND_RNG_PSEUDO_PHILOX4_32_10: break;
        default: return CURAND_STATUS_TYPE_ERROR;
    }
    *generator = new vorn_curand_generator{std::mt19937(0u)};
    return CURAND_STATUS_SUCCESS;
}

curandStatus_t curandSetPseudoRandomGeneratorSeed(curandGenerator_t generator, unsigned long long seed) {
    if (generator == nullptr) return CURAND_STATUS_NOT_INITIALIZED;
    std::seed_seq seq{(unsigned)(seed & 0xffffffffu), (unsigned)(seed >> 32)};
    generator->engine.seed(seq);
    return CURAND_STATUS_SUCCESS;
}

curandStatus_t curandGenerateUniform(curandGenerator_t generator, float* out, size_t n) {
    if (generator == nullptr) return CURAND_STATUS_NOT_INITIALIZED;
    if (n == 0) return CURAND_STATUS_SUCCESS;
    if (!vorn_host::device_range_ok(out, n * sizeof(float))) return CURAND_STATUS_LAUNCH_FAILURE;
    for (size_t i = 0; i < n; ++i) out[i] = uniform01(generator->engine);
    return CURAND_STATUS_SUCCESS;
}

curandStatus_t curandGenerateNormal(curandGenerator_t generator, float* out, size_t n, float mean, float stddev) {
    if (generator == nullptr) return CURAND_STATUS_NOT_INITIALIZED;
    if (n % 2 != 0) return CURAND_STATUS_LENGTH_NOT_MULTIPLE;
    if (n == 0) return CURAND_STATUS_SUCCESS;
    if (!vorn_host::device_range_ok(out, n * sizeof(float))) return CURAND_STATUS_LAUNCH_FAILURE;
    const double two_pi = 6.283185307179586;
    for (size_t i = 0; i < n; i += 2) {  // Box-Muller, one pair per two uniforms
        const double r = std::sqrt(-2.0 * std::log((double)uniform01(generator->engine)));
        const double a = two_pi * uniform01(generator->engine);
        out[i] = (float)(mean + stddev * r * std::cos(a));
        out[i + 1] = (float)(mean + stddev * r * std::sin(a));
    }
    return CURAND_STATUS_SUCCESS;
}

curandStatus_t curandDestroyGenerator(curandGenerator_t generator) {
    if (generator == nullptr) return CURAND_STATUS_NOT_INITIALIZED;
    delete generator;
    return CURAND_STATUS_SUCCESS;
}
