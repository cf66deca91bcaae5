// Kernel launches on the host.
//
// GPU_LAUNCH(kernel, grid, block, shared)(args...) runs the whole grid before it
// returns, spread over the cores, with threadIdx, blockIdx, blockDim and gridDim
// set for the host thread. Its threads have no barriers, so they run row by row
// across the grid (memory order for image kernels); with shared memory, block
// after block. The kernel is a template argument, so its body inlines into the
// thread loop. Each host thread runs on its own copy of the arguments: a kernel
// store through a pointer argument cannot then alias them, so they stay in
// registers instead of being reloaded after every store.
//
// Kernels with barriers are written in block-phase form and launched with
// GPU_LAUNCH_BLOCKWISE: the kernel runs once per block and each
// GPU_PHASE_BEGIN ... GPU_PHASE_END stretch loops over the block's threads;
// GPU_PHASE_THREADS(t, n) ... GPU_PHASE_END over those whose flat index t is
// below n only (a reduction tree's active half), so idle threads cost nothing;
// its body names its thread by t and must not read threadIdx, which lets the
// host run it as a plain loop the compiler can vectorise.
// Code outside the phases must be uniform across the block (as CUDA requires of
// control flow around a barrier) and must not read threadIdx.
//
// gpu_launch_together(f) runs f, a function that only launches kernels, on
// every host thread of one parallel region: the launches share it (each a
// worksharing loop that ends at a barrier, so each still sees the one before
// complete) and the sleeping threads wake once for all of them. Checks of the
// launches follow the call.
//
// GPU_LAUNCH_UNEVEN is GPU_LAUNCH for kernels whose threads cost very unequal
// amounts (a heavy loop per thread whose length depends on the thread): the
// host deals their threads to its cores one at a time, each core taking the
// next when it is free, so no fixed share of the grid can hold the heavy ones.
#pragma once
#include <algorithm>
#include <cstddef>
#include <tuple>
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

// Set on the threads of a gpu_launch_together region: launches then share it.
inline thread_local bool launching_together = false;

// Checks a launch's geometry against a GPU's limits; records the error when broken.
bool launch_config_ok(dim3 grid, dim3 block, size_t shared_bytes);
// The calling host thread's dynamic shared memory for the block it runs.
void* block_shared_memory();
void prepare_block_shared_memory(size_t bytes);
unsigned int host_thread_count();

// The threads of the block below count.
inline unsigned int phase_thread_count(unsigned int count) {
    const unsigned int n = blockDim.x * blockDim.y * blockDim.z;
    return count < n ? count : n;
}

// The threads of one block phase in flat order, stepped without divisions.
class PhaseThreads {
    unsigned int left_;

public:
    explicit PhaseThreads(unsigned int below) : left_(phase_thread_count(below)) { threadIdx = uint3{0, 0, 0}; }
    bool more() const { return left_ != 0; }
    void next() {
        --left_;
        if (++threadIdx.x < blockDim.x) return;
        threadIdx.x = 0;
        if (++threadIdx.y < blockDim.y) return;
        threadIdx.y = 0;
        ++threadIdx.z;
    }
};

// How the row walk is cut into work items and dealt to the host threads. A
// segment (a row of one block's threads) is cut into pieces only when there are
// too few segments to keep every thread busy: a 1D launch of a few large
// blocks. Chunks of items are dealt to the threads in turn: a chunk keeps a few
// rows in memory order, and the many chunks of each thread, spread over the
// grid, share out kernels whose work is uneven over the image (those that
// compute only a band of frequencies, say).
struct RowWalk {
    long long pieces;  // parts of each segment
    long long chunk;   // items per chunk
};

inline RowWalk row_walk(long long segments, unsigned int threads_per_segment) {
    const long long threads = host_thread_count(), wanted = 16 * threads;
    long long pieces = 1;
    if (threads > 1 && segments < wanted)
        pieces = std::min<long long>(threads_per_segment, (wanted + segments - 1) / segments);
    const long long items = segments * pieces;
    return RowWalk{pieces, items > wanted ? items / wanted : 1};
}

// Block-phase kernels here are reduction passes, a few instructions per
// thread: waking the other cores (a tenth of a millisecond or more with passive
// waiting) pays only from about a quarter of a million threads on (the first
// pass over a half spectrum of a box of 1024, two values a thread, takes a
// quarter of a millisecond on one core).
inline bool blocks_worth_parallel(long long nblocks, long long threads_per_block, bool blockwise) {
    if (nblocks < 2 || host_thread_count() < 2) return false;
    return !blockwise || nblocks * threads_per_block >= (1LL << 18);
}

template <class A> inline bool kernel_argument_ok(const A& a) {
    if constexpr (std::is_pointer_v<A>) return device_pointer_ok(static_cast<const void*>(a));
    else return true;
}

template <auto Kernel, bool Blockwise, bool Uneven = false>
struct Launch {
    dim3 grid, block;
    size_t shared_bytes;

    // Block after block, each block's threads in order: what barriers and shared memory need.
    template <class... A> static void run_by_blocks(dim3 g, dim3 b, size_t shm, const A&... args) {
        const long long nblocks = (long long)g.x * g.y * g.z;
        if (launching_together) {
            blocks_shared(g, b, shm, args...);
            return;
        }
#pragma omp parallel if (blocks_worth_parallel(nblocks, (long long)b.x * b.y * b.z, Blockwise))
        blocks_shared(g, b, shm, args...);
    }
    // The blocks dealt to the threads of the enclosing parallel region.
    template <class... A> static void blocks_shared(dim3 g, dim3 b, size_t shm, const A&... args) {
        const long long nblocks = (long long)g.x * g.y * g.z;
        const std::tuple<A...> local(args...);
#pragma omp for schedule(static)
        for (long long i = 0; i < nblocks; ++i) {
            gridDim = uint3(g);
            blockDim = uint3(b);
            blockIdx.x = (unsigned int)(i % g.x);
            blockIdx.y = (unsigned int)((i / g.x) % g.y);
            blockIdx.z = (unsigned int)(i / ((long long)g.x * g.y));
            if (shm) prepare_block_shared_memory(shm);
            std::apply(
                [&](const A&... a) {
                    if constexpr (Blockwise) {
                        Kernel(a...);
                    } else {
                        for (unsigned int z = 0; z < b.z; ++z)
                            for (unsigned int y = 0; y < b.y; ++y) {
                                threadIdx.y = y;
                                threadIdx.z = z;
                                for (unsigned int x = 0; x < b.x; ++x) {
                                    threadIdx.x = x;
                                    Kernel(a...);
                                }
                            }
                    }
                },
                local);
        }
    }

    // Threads without barriers are independent, so any order is the kernel's
    // own: walk the grid row by row (a row of one block's threads at a time, or
    // a piece of it), which reads and writes image rows in memory order.
    template <class... A> static void run_by_rows(dim3 g, dim3 b, const A&... args) {
        if (launching_together) {
            rows_shared(g, b, args...);
            return;
        }
#pragma omp parallel if (row_items(g, b, row_plan(g, b)) > 1 && host_thread_count() > 1)
        rows_shared(g, b, args...);
    }
    // An uneven launch cuts every row into single threads, dealt on demand.
    static RowWalk row_plan(dim3 g, dim3 b) {
        return Uneven ? RowWalk{b.x, 1} : row_walk((long long)g.y * b.y * g.z * b.z * g.x, b.x);
    }
    static long long row_items(dim3 g, dim3 b, const RowWalk& walk) {
        return (long long)g.y * b.y * g.z * b.z * g.x * walk.pieces;
    }
    // The rows dealt to the threads of the enclosing parallel region.
    template <class... A> static void rows_shared(dim3 g, dim3 b, const A&... args) {
        const long long rows_y = (long long)g.y * b.y;
        const RowWalk walk = row_plan(g, b);
        const long long pieces = walk.pieces, items = row_items(g, b, walk);
        const std::tuple<A...> local(args...);
        const auto run_item = [&](long long item) {
            const long long i = item / pieces, part = item % pieces;
            const long long row = i / g.x, ty = row % rows_y, tz = row / rows_y;
            gridDim = uint3(g);
            blockDim = uint3(b);
            blockIdx.x = (unsigned int)(i % g.x);
            blockIdx.y = (unsigned int)(ty / b.y);
            blockIdx.z = (unsigned int)(tz / b.z);
            threadIdx.y = (unsigned int)(ty % b.y);
            threadIdx.z = (unsigned int)(tz % b.z);
            const unsigned int x0 = (unsigned int)(part * b.x / pieces);
            const unsigned int x1 = (unsigned int)((part + 1) * b.x / pieces);
            std::apply(
                [&](const A&... a) {
                    for (unsigned int x = x0; x < x1; ++x) {
                        threadIdx.x = x;
                        Kernel(a...);
                    }
                },
                local);
        };
        if constexpr (Uneven) {
#pragma omp for schedule(dynamic, 1)
            for (long long item = 0; item < items; ++item) run_item(item);
        } else {
#pragma omp for schedule(static, walk.chunk)
            for (long long item = 0; item < items; ++item) run_item(item);
        }
    }

    template <class... A> void operator()(const A&... args) const {
        if (!launch_config_ok(grid, block, shared_bytes)) return;
        if (!(kernel_argument_ok(args) && ...)) {
            // A GPU would fault on the first access through such a pointer.
            record_error(cudaErrorIllegalAddress, true);
            return;
        }
        const dim3 g = grid, b = block;
        if (Blockwise || shared_bytes) run_by_blocks(g, b, shared_bytes, args...);
        else run_by_rows(g, b, args...);
    }
};

}  // namespace vorn_host

template <class F> void gpu_launch_together(F&& f) {
#pragma omp parallel if (::vorn_host::host_thread_count() > 1)
    {
        ::vorn_host::launching_together = true;
        f();
        ::vorn_host::launching_together = false;
    }
}

#define GPU_LAUNCH(kernel, grid, block, shared_bytes) \
    ::vorn_host::Launch<kernel, false>{dim3(grid), dim3(block), (size_t)(shared_bytes)}
#define GPU_LAUNCH_BLOCKWISE(kernel, grid, block, shared_bytes) \
    ::vorn_host::Launch<kernel, true>{dim3(grid), dim3(block), (size_t)(shared_bytes)}
#define GPU_LAUNCH_UNEVEN(kernel, grid, block, shared_bytes) \
    ::vorn_host::Launch<kernel, false, true>{dim3(grid), dim3(block), (size_t)(shared_bytes)}
#define GPU_PHASE_BEGIN \
    for (::vorn_host::PhaseThreads vorn_phase(~0u); vorn_phase.more(); vorn_phase.next()) {
#define GPU_PHASE_THREADS(t, count) \
    for (unsigned int t = 0, vorn_phase_n = ::vorn_host::phase_thread_count(count); t < vorn_phase_n; ++t) {
#define GPU_PHASE_END }
#define GPU_DYNAMIC_SHARED(type, name) type* name = static_cast<type*>(::vorn_host::block_shared_memory())
