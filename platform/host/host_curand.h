// Host stand-in for cuRAND's host API: a pseudo-random generator writing into
// device memory. Uniform floats lie in (0, 1]; normal floats come in pairs, so an
// odd count fails with CURAND_STATUS_LENGTH_NOT_MULTIPLE as on the GPU.
#pragma once
#include <cstddef>

struct vorn_curand_generator;
typedef struct vorn_curand_generator* curandGenerator_t;

enum curandStatus {
    CURAND_STATUS_SUCCESS = 0,
    CURAND_STATUS_VERSION_MISMATCH = 100,
    CURAND_STATUS_NOT_INITIALIZED = 101,
    CURAND_STATUS_ALLOCATION_FAILED = 102,
    CURAND_STATUS_TYPE_ERROR = 103,
    CURAND_STATUS_OUT_OF_RANGE = 104,
    CURAND_STATUS_LENGTH_NOT_MULTIPLE = 105,
    CURAND_STATUS_DOUBLE_PRECISION_REQUIRED = 106,
    CURAND_STATUS_LAUNCH_FAILURE = 201,
    CURAND_STATUS_PREEXISTING_FAILURE = 202,
    CURAND_STATUS_INITIALIZATION_FAILED = 203,
    CURAND_STATUS_ARCH_MISMATCH = 204,
    CURAND_STATUS_INTERNAL_ERROR = 999,
};
typedef enum curandStatus curandStatus_t;

enum curandRngType {
    CURAND_RNG_PSEUDO_DEFAULT = 100,
    CURAND_RNG_PSEUDO_XORWOW = 101,
    CURAND_RNG_PSEUDO_MRG32K3A = 121,
    CURAND_RNG_PSEUDO_MTGP32 = 141,
    CURAND_RNG_PSEUDO_MT19937 = 142,
    CURAND_RNG_PSEUDO_PHILOX4_32_10 = 161,
};
typedef enum curandRngType curandRngType_t;

curandStatus_t curandCreateGenerator(curandGenerator_t* generator, curandRngType_t type);
curandStatus_t curandSetPseudoRandomGeneratorSeed(curandGenerator_t generator, unsigned long long seed);
curandStatus_t curandGenerateUniform(curandGenerator_t generator, float* out, size_t n);
curandStatus_t curandGenerateNormal(curandGenerator_t generator, float* out, size_t n, float mean, float stddev);
curandStatus_t curandDestroyGenerator(curandGenerator_t generator);
