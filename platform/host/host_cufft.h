// Host stand-in for cuFFT: real-to-complex and complex-to-real transforms, one
// at a time or batched (cufftPlanMany), over FFTW in single precision, with the
// same half-spectrum layout and sign (exp(-2 pi i k x / N) forward),
// unnormalised. C2R may overwrite its input.
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
// batch transforms of rank 1 to 3 (n[0] slowest). With inembed and onembed null,
// the contiguous layout (strides and distances ignored); otherwise element x of
// entry b at b*idist + ((x0*inembed[1] + x1)*inembed[2] + ..)*istride, likewise out.
cufftResult cufftPlanMany(cufftHandle* plan, int rank, int* n, int* inembed, int istride, int idist, int* onembed,
                          int ostride, int odist, cufftType type, int batch);
cufftResult cufftExecR2C(cufftHandle plan, cufftReal* idata, cufftComplex* odata);
cufftResult cufftExecC2R(cufftHandle plan, cufftComplex* idata, cufftReal* odata);
cufftResult cufftDestroy(cufftHandle plan);
