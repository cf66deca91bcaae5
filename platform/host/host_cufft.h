// Host stand-in for cuFFT: 2D real-to-complex and complex-to-real transforms
// over FFTW in single precision, with the same half-spectrum layout and sign
// (exp(-2 pi i k x / N) forward), unnormalised. C2R may overwrite its input.
#pragma once
#include "host_types.h"

typedef int cufftHandle;
typedef float cufftReal;
typedef float2 cufftComplex;

enum cufftResult_t {
    CUFFT_SUCCESS = 0,
    CUFFT_INVALID_PLAN = 1,
    CUFFT_ALLOC_FAILED = 2,
    CUFFT_INVALID_TYPE = 3,
    CUFFT_INVALID_VALUE = 4,
    CUFFT_INTERNAL_ERROR = 5,
    CUFFT_EXEC_FAILED = 6,
    CUFFT_SETUP_FAILED = 7,
    CUFFT_INVALID_SIZE = 8,
    CUFFT_NOT_SUPPORTED = 16,
};
typedef enum cufftResult_t cufftResult;

enum cufftType_t {
    CUFFT_R2C = 0x2a,
    CUFFT_C2R = 0x2c,
    CUFFT_C2C = 0x29,
};
typedef enum cufftType_t cufftType;

// nx is the slower (row) dimension, ny the faster one, as in the toolkit.
cufftResult cufftPlan2d(cufftHandle* plan, int nx, int ny, cufftType type);
cufftResult cufftExecR2C(cufftHandle plan, cufftReal* idata, cufftComplex* odata);
cufftResult cufftExecC2R(cufftHandle plan, cufftComplex* idata, cufftReal* odata);
cufftResult cufftDestroy(cufftHandle plan);
