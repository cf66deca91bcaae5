// Host stand-in for the CUDA runtime: one device (index 0, named after the CPU),
// device and managed memory drawn from a budget, copies and fills that check
// their device side, and the last-error state of kernel launches.
#pragma once
#include <cstddef>
#include "host_types.h"

enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchFailure = 719,
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

#define cudaMemAttachGlobal 0x01
#define cudaMemAttachHost 0x02

struct cudaDeviceProp {
    char name[256];
    size_t totalGlobalMem;
    size_t sharedMemPerBlock;
    int warpSize;
    int maxThreadsPerBlock;
    int maxThreadsDim[3];
    int maxGridSize[3];
    int major;
    int minor;
    int multiProcessorCount;
};

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaDeviceReset();
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);

cudaError_t cudaMalloc(void** ptr, size_t bytes);
cudaError_t cudaMallocManaged(void** ptr, size_t bytes, unsigned int flags = cudaMemAttachGlobal);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind);
cudaError_t cudaMemset(void* ptr, int value, size_t bytes);
cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes);

// Typed forms, as the toolkit offers them to C++ callers.
template <class T> inline cudaError_t cudaMalloc(T** ptr, size_t bytes) {
    return cudaMalloc(reinterpret_cast<void**>(ptr), bytes);
}
template <class T> inline cudaError_t cudaMallocManaged(T** ptr, size_t bytes, unsigned int flags = cudaMemAttachGlobal) {
    return cudaMallocManaged(reinterpret_cast<void**>(ptr), bytes, flags);
}

// Hooks of the host backend only (tests use them; the cuda backend has none).
namespace vorn_host {
// Device memory budget in bytes; allocations beyond it fail as on a full GPU.
void set_device_memory_budget(size_t bytes);
size_t device_memory_budget();
// True when fresh device memory comes filled with NaN bytes (test and sanitizer
// builds); optimised builds leave it as the allocator gives it.
bool fresh_memory_is_nan();
// The next cudaMalloc or cudaMallocManaged fails with cudaErrorMemoryAllocation.
void fail_next_allocation();
// True when [p, p + bytes) lies inside one live device or managed block.
bool device_range_ok(const void* p, size_t bytes);
// True when p is null or points into a live device or managed block.
bool device_pointer_ok(const void* p);
// Record an error for cudaGetLastError (and, when sticky, the next synchronisation).
void record_error(cudaError_t error, bool reported_by_sync);
}  // namespace vorn_host
