// GPU selection, checked device memory, fills and copies, the GPU/cuFFT/cuRAND
// check lines, and the two command-line helpers shared by the option parsers.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <vector>

#include "gpu.h"
#include "report.h"

// ---- check lines: "Error %s at line %d in file %s\n" on stderr, then exit(1) ----
[[noreturn]] void gpu_error_exit(const char* text, int line, const char* file);
// cuFFT status text, indexed by the status value; "Unknown error" above 15.
const char* cufft_error_text(int status);
// cuRAND status text; "Unknown error" for a value not in the table.
const char* cuRAND_GetErrorString(curandStatus_t status);

inline void gpu_check(cudaError_t status, int line, const char* file) {
    if (status != cudaSuccess) gpu_error_exit(cudaGetErrorString(status), line, file);
}
inline void cufft_check(int status, int line, const char* file) {
    if (status != 0) gpu_error_exit(cufft_error_text(status), line, file);
}
inline void curand_check(curandStatus_t status, int line, const char* file) {
    if (status != CURAND_STATUS_SUCCESS) gpu_error_exit(cuRAND_GetErrorString(status), line, file);
}

#define CUDA_CHECK(call) gpu_check((call), __LINE__, VORN_UNIT)
#define CUFFT_CHECK(call) cufft_check((int)(call), __LINE__, VORN_UNIT)
#define CURAND_CHECK(call) curand_check((call), __LINE__, VORN_UNIT)
// Where a check stands: the unit's path and the source line it prints.
struct GpuSite {
    const char* unit;
    int line;
};
#define GPU_SITE (GpuSite{VORN_UNIT, __LINE__})

// After every kernel launch: the launch status, then the device synchronisation,
// so that a bad launch is never taken for success.
inline void gpu_check_launch(GpuSite at) {
    gpu_check(cudaGetLastError(), at.line, at.unit);
    gpu_check(cudaDeviceSynchronize(), at.line, at.unit);
}
#define CUDA_LAUNCH_CHECK() gpu_check_launch(GPU_SITE)

// ---- launch geometry ----
constexpr unsigned int GPU_THREADS_1D = 1024;
constexpr unsigned int GPU_TILE_2D = 32;
inline unsigned int gpu_blocks_1d(size_t n, unsigned int threads = GPU_THREADS_1D) {
    return (unsigned int)((n + threads - 1) / threads);
}
inline dim3 gpu_block_2d() { return dim3(GPU_TILE_2D, GPU_TILE_2D); }
inline dim3 gpu_grid_2d(unsigned int nx, unsigned int ny) {
    return dim3((nx + GPU_TILE_2D - 1) / GPU_TILE_2D, (ny + GPU_TILE_2D - 1) / GPU_TILE_2D);
}

// ---- device memory ----
int safe_cudaMalloc(void** p, size_t bytes);
int safe_cudaMalloc_empty(void** p, size_t bytes);
cudaError_t cudaMalloc_empty(void** p, size_t bytes);
void hcuda_empty_f32(float* d, size_t n);
void hcuda_empty_f64(double* d, size_t n);
void hcuda_empty(void* d, size_t bytes);
cudaError_t memcpy_H2D(void* dst, const void* src, size_t bytes);
cudaError_t memcpy_D2H(void* dst, const void* src, size_t bytes);
cudaError_t memcpy_D2D(void* dst, const void* src, size_t bytes);

// Frees each device pointer of the list, which ends with a null pointer.
static inline void cudaFree_many_pointers(void* first, ...) {
    va_list ap;
    va_start(ap, first);
    for (void* p = first; p != nullptr; p = va_arg(ap, void*)) gpu_check(cudaFree(p), __LINE__, "include/cuda_general");
    va_end(ap);
}

// Managed allocation of n elements of T for each T** of the list (ended by a null pointer).
template <class T>
inline void cuda_malloc_many_pointers(size_t n, T** first, ...) {
    va_list ap;
    va_start(ap, first);
    for (T** p = first; p != nullptr; p = va_arg(ap, T**))
        gpu_check(cudaMallocManaged((void**)p, n * sizeof(T), cudaMemAttachGlobal), __LINE__, "include/cuda_general");
    va_end(ap);
}

// ---- host memory ----
// Resizes v; false instead of an exception when the memory cannot be had, so
// that a caller refuses or ends with its own line.
template <class T> bool try_resize(std::vector<T>& v, size_t n) {
    try {
        v.resize(n);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

// ---- value fills: device forms (pointer, value, count), host forms (pointer, count, value) ----
__global__ void cuda_memset_int(int* d, int v, size_t n);
__global__ void cuda_memset_uint(unsigned int* d, unsigned int v, size_t n);
__global__ void cuda_memset_f32(float* d, float v, size_t n);
__global__ void cuda_memset_f64(double* d, double v, size_t n);
void hcuda_memset_int(int* d, int v, size_t n);
void hcuda_memset_uint(unsigned int* d, unsigned int v, size_t n);
void hcuda_memset_f32(float* d, float v, size_t n);
void hcuda_memset_f64(double* d, double v, size_t n);
void cpu_memset_f32(float* p, size_t n, float v);
void cpu_memset_f64(double* p, size_t n, double v);
void cpu_memset_int(int* p, size_t n, int v);
void cpu_memset_uint(unsigned int* p, size_t n, unsigned int v);

// ---- GPU selection and report ----
int check_and_set_gid(int gid);
int check_gid(int gid);
int auto_check_and_set_gid(int& gid);
void gpu_report_memory();

// ---- command-line helpers ----
int get_bool_keyword(int argc, char** argv, int& value, int& i);
int check_file_access(char* path, const char* modes);
