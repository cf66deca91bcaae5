// Our stand-in for the one NPP signal primitive the system uses: the sum of a
// device float vector, with its scratch-buffer size. Built on both backends.
#pragma once

typedef float Npp32f;
typedef unsigned char Npp8u;
typedef int NppStatus;
enum { NPP_SUCCESS = 0, NPP_SIZE_ERROR = -6, NPP_NULL_POINTER_ERROR = -8, NPP_CUDA_KERNEL_EXECUTION_ERROR = -3 };

// Scratch bytes nppsSum_32f needs for nLength values.
NppStatus nppsSumGetBufferSize_32f(int nLength, int* hpBufferSize);
// Writes the sum of pSrc[0 .. nLength-1] into the device float *pSum.
NppStatus nppsSum_32f(const Npp32f* pSrc, int nLength, Npp32f* pSum, Npp8u* pDeviceBuffer);
