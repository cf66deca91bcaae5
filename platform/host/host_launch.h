// Kernel launches on the host.
//
// GPU_LAUNCH(kernel, grid, block, shared)(args...) runs the whole grid before it
// returns: blocks in parallel over the cores, the threads of a block one after
// another, with threadIdx, blockIdx, blockDim and gridDim set for the host thread.
// The kernel is a template argument, so its body inlines into the thread loop.
//
// Kernels with barriers are written in block-phase form and launched with
// GPU_LAUNCH_BLOCKWISE: the kernel runs once per block and each
// GPU_PHASE_BEGIN ... GPU_PHASE_END stretch loops over the block's threads.
// Code outside the phases must be uniform across the block (as CUDA requires of
// control flow around a barrier) and must not read threadIdx.
#pragma once
#include <cstddef>
#include <type_traits>
#include "host_types.h"
#include "host_runtime.h"

// The built-in coordinates, one set per host thread. Trivial types defined in the
// header, so every access is a plain thread-local access with no wrapper call.
inline thread_local uint3 threadIdx;
inline thread_local uint3 blockIdx;
inline thread_local uint3 blockDim;
inline thread_local uint3 gridDim;

namespace vorn_host {

// Checks a launch's geometry against a GPU's limits; records the error when broken.
bool launch_config_ok(dim3 grid, dim3 block, size_t shared_bytes);
// The calling host thread's dynamic shared memory for the block it runs.
void* block_shared_memory();
void prepare_block_shared_memory(size_t bytes);
unsigned int host_thread_count();

inline void set_thread_index(unsigned int flat) {
    threadIdx.x = flat % blockDim.x;
    threadIdx.y = (flat / blockDim.x) % blockDim.y;
    threadIdx.z = flat / (blockDim.x * blockDim.y);
}

template <class A> inline bool kernel_argument_ok(const A& a) {
    if constexpr (std::is_pointer_v<A>) return device_pointer_ok(static_cast<const void*>(a));
    else return true;
}

template <auto Kernel, bool Blockwise>
struct Launch {
    dim3 grid, block;
    size_t shared_bytes;

    template <class... A> void operator()(const A&... args) const {
        if (!launch_config_ok(grid, block, shared_bytes)) return;
        if (!(kernel_argument_ok(args) && ...)) {
            // A GPU would fault on the first access through such a pointer.
            record_error(cudaErrorIllegalAddress, true);
            return;
        }
        const long long nblocks = (long long)grid.x * grid.y * grid.z;
        const unsigned int nthreads = block.x * block.y * block.z;
        const dim3 g = grid, b = block;
        const size_t shm = shared_bytes;
#pragma omp parallel for schedule(static) if (nblocks > 1 && host_thread_count() > 1)
        for (long long i = 0; i < nblocks; ++i) {
            gridDim = uint3(g);
            blockDim = uint3(b);
            blockIdx.x = (unsigned int)(i % g.x);
            blockIdx.y = (unsigned int)((i / g.x) % g.y);
            blockIdx.z = (unsigned int)(i / ((long long)g.x * g.y));
            if (shm) prepare_block_shared_memory(shm);
            if constexpr (Blockwise) {
                Kernel(args...);
            } else if (b.y == 1 && b.z == 1) {
                threadIdx.y = threadIdx.z = 0;
                for (unsigned int t = 0; t < nthreads; ++t) {
                    threadIdx.x = t;
                    Kernel(args...);
                }
            } else {
                for (unsigned int z = 0; z < b.z; ++z)
                    for (unsigned int y = 0; y < b.y; ++y)
                        for (unsigned int x = 0; x < b.x; ++x) {
                            threadIdx = uint3{x, y, z};
                            Kernel(args...);
                        }
            }
        }
    }
};

}  // namespace vorn_host

#define GPU_LAUNCH(kernel, grid, block, shared_bytes) \
    ::vorn_host::Launch<kernel, false>{dim3(grid), dim3(block), (size_t)(shared_bytes)}
#define GPU_LAUNCH_BLOCKWISE(kernel, grid, block, shared_bytes) \
    ::vorn_host::Launch<kernel, true>{dim3(grid), dim3(block), (size_t)(shared_bytes)}
#define GPU_PHASE_BEGIN                                                                        \
    for (unsigned int vorn_phase_t = 0, vorn_phase_n = blockDim.x * blockDim.y * blockDim.z; \
         vorn_phase_t < vorn_phase_n; ++vorn_phase_t) {                                        \
        ::vorn_host::set_thread_index(vorn_phase_t);
#define GPU_PHASE_END }
#define GPU_DYNAMIC_SHARED(type, name) type* name = static_cast<type*>(::vorn_host::block_shared_memory())
