// Checked device buffers for the host-array (gpu_) forms: allocate, copy in,
// copy out and free, each under the GPU check line of the calling unit and line.
#pragma once
#include "cuda_general.h"

template <class T>
T* device_buffer(GpuSite at, size_t n) {
    T* d = nullptr;
    gpu_check(cudaMalloc((void**)&d, n * sizeof(T)), at.line, at.unit);
    return d;
}

// A new device array holding the n host values.
template <class T>
T* device_copy_of(GpuSite at, const T* h, size_t n) {
    T* d = device_buffer<T>(at, n);
    gpu_check(memcpy_H2D(d, h, n * sizeof(T)), at.line, at.unit);
    return d;
}

template <class T>
void copy_to_host(GpuSite at, T* h, const T* d, size_t n) {
    gpu_check(memcpy_D2H(h, d, n * sizeof(T)), at.line, at.unit);
}

inline void device_release(GpuSite at, void* d) { gpu_check(cudaFree(d), at.line, at.unit); }

// Host arrays through the GPU: n_in values copied in, run(device in, device out),
// n_out values copied back; every step checked, both buffers freed.
template <class T, class Run>
void gpu_run_on_device(GpuSite at, T* out, size_t n_out, const T* in, size_t n_in, Run run) {
    T* d_in = device_copy_of(at, in, n_in);
    T* d_out = device_buffer<T>(at, n_out);
    run(d_in, d_out);
    copy_to_host(at, out, d_out, n_out);
    device_release(at, d_in);
    device_release(at, d_out);
}
