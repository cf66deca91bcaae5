// Device sums by tree reductions in passes, and the NPP signal sum.
#define VORN_UNIT "src/cuda_fast_sum"
#include "cuda_fast_sum.h"

#include <climits>

#include "math_utils_gpu.h"

namespace {

// The values one pass reduces: x[j*stride] for j < m.
struct StridedValues {
    const float* x;
    size_t stride;
    __device__ float first(size_t j) const { return x[j * stride]; }
    __device__ float add_second(float v, size_t j) const { return v + x[j * stride]; }
};

// The products a[i]*b[i]; the second product of a pair is fused into the first.
struct Products {
    const float* a;
    const float* b;
    __device__ float first(size_t i) const { return a[i] * b[i]; }
    __device__ float add_second(float v, size_t i) const { return fmaf(a[i], b[i], v); }
};

// One thread's share of a pairwise pass: pairs (i, i + T), i stepping by 2T
// times the grid, each pair added onto the running sum.
template <class Values>
__device__ __forceinline__ float pairwise_thread_sum(const Values& values, size_t m, unsigned int t) {
    const size_t T = blockDim.x;
    float s = 0.0f;
    for (size_t i = (size_t)blockIdx.x * 2 * T + t; i < m; i += 2 * T * gridDim.x) {
        float v = values.first(i);
        if (i + T < m) v = values.add_second(v, i + T);
        s = v + s;
    }
    return s;
}

// Slot 0 of the block's tree to *dst, by thread 0.
__device__ __forceinline__ void write_block_result(const float* s, float* dst) {
    GPU_PHASE_THREADS(t, 1)
        dst[t] = s[0];
    GPU_PHASE_END
}

// The threads t with 2*width*t < blockDim.x: those that add in an interleaved round.
__device__ __forceinline__ unsigned int interleaved_active_threads(unsigned int width) {
    return (blockDim.x + 2 * width - 1) / (2 * width);
}

// One pairwise pass of a block: per-thread sums into the shared slots, then a
// halving tree in which every thread reaches every barrier and threads below
// the width add. The block's sum goes to *dst, written after the barrier that
// ends the block's reads.
template <class Values>
__device__ __forceinline__ void pairwise_block_sum(const Values& values, size_t m, float* dst) {
    GPU_DYNAMIC_SHARED(float, s);
    GPU_PHASE_THREADS(t, blockDim.x)
        s[t] = pairwise_thread_sum(values, m, t);
    GPU_PHASE_END
    for (unsigned int width = blockDim.x / 2; width > 0; width >>= 1) {
        GPU_PHASE_THREADS(t, width)
            s[t] += s[t + width];
        GPU_PHASE_END
    }
    write_block_result(s, dst);
}

// One interleaved pass of a block: thread t loads value b*T + t (0 past the
// end), the interleaved-addressing tree adds them, slot 0 goes to *dst.
__device__ __forceinline__ void interleaved_block_sum(const StridedValues& values, size_t m, float* dst) {
    GPU_DYNAMIC_SHARED(float, s);
    GPU_PHASE_THREADS(t, blockDim.x)
        const size_t j = (size_t)blockIdx.x * blockDim.x + t;
        s[t] = j < m ? values.first(j) : 0.0f;
    GPU_PHASE_END
    for (unsigned int width = 1; width < blockDim.x; width <<= 1) {
        GPU_PHASE_THREADS(t, interleaved_active_threads(width))
            const unsigned int k = 2 * width * t;
            if (k < blockDim.x) s[k] += s[k + width];
        GPU_PHASE_END
    }
    write_block_result(s, dst);
}

// The first value of block b's own span in an in-place pass: no other block reads it.
__device__ __forceinline__ float* own_span_slot(float* x, size_t span, size_t stride) {
    return x + (size_t)blockIdx.x * span * stride;
}

}  // namespace

__global__ void cuda_reduce_data_for_sum8(const float* x, float* out, size_t m) {
    pairwise_block_sum(StridedValues{x, 1}, m, out + blockIdx.x);
}
__global__ void cuda_reduce_data_for_sum8_inplace(float* x, size_t m, size_t stride) {
    pairwise_block_sum(StridedValues{x, stride}, m, own_span_slot(x, 2 * (size_t)blockDim.x, stride));
}
__global__ void cuda_reduce_data_for_sum1(const float* x, float* out, size_t m) {
    interleaved_block_sum(StridedValues{x, 1}, m, out + blockIdx.x);
}
__global__ void cuda_reduce_data_for_sum1_inplace(float* x, size_t m, size_t stride) {
    interleaved_block_sum(StridedValues{x, stride}, m, own_span_slot(x, blockDim.x, stride));
}
__global__ void cuda_reduce_data_for_dot7t_inplace(float* a, const float* b, size_t m) {
    pairwise_block_sum(Products{a, b}, m, own_span_slot(a, 2 * (size_t)blockDim.x, 1));
}

namespace {

// x[j] <- x[j*stride] for lo <= j < hi. With hi <= lo*stride no element is
// both read and written, and earlier rounds (lower j) wrote nothing read here.
__global__ void gather_strided(float* x, size_t lo, size_t hi, size_t stride) {
    const size_t j = lo + (size_t)blockIdx.x * blockDim.x + threadIdx.x;
    if (j < hi) x[j] = x[j * stride];
}

size_t blocks_for(size_t m, size_t span) { return (m + span - 1) / span; }

size_t shared_bytes(int T) { return (size_t)T * sizeof(float); }

float read_element0(const float* x) {
    float r = 0.0f;
    CUDA_CHECK(cudaMemcpy(&r, x, sizeof(float), cudaMemcpyDeviceToHost));
    return r;
}

// In-place passes over x[j*stride], j < m, until one value is left at x[0];
// with first_pass_always a single value still goes through one pass.
template <void (*Pass)(float*, size_t, size_t), size_t SpanPerThread>
void reduce_in_place(float* x, size_t m, size_t stride, int T, bool first_pass_always = false) {
    const size_t span = SpanPerThread * (size_t)T;
    while (m > 1 || first_pass_always) {
        const size_t blocks = blocks_for(m, span);
        GPU_LAUNCH_BLOCKWISE(Pass, (unsigned int)blocks, T, shared_bytes(T))(x, m, stride);
        CUDA_LAUNCH_CHECK();
        m = blocks;
        stride *= span;
        first_pass_always = false;
    }
}

// The first pass from x into work, block b's sum to work[b].
template <void (*First)(const float*, float*, size_t), size_t SpanPerThread>
void first_pass(const float* x, size_t n, float* work, int T) {
    GPU_LAUNCH_BLOCKWISE(First, (unsigned int)blocks_for(n, SpanPerThread * (size_t)T), T, shared_bytes(T))(x, work, n);
}

// In-place passes over the first pass's block sums at work; the sum is at work[0].
template <void (*Pass)(float*, size_t, size_t), size_t SpanPerThread>
float finish_passes(size_t n, float* work, int T) {
    reduce_in_place<Pass, SpanPerThread>(work, blocks_for(n, SpanPerThread * (size_t)T), 1, T);
    return read_element0(work);
}

// A first pass from x into work, then in-place passes on work; the sum is at work[0].
template <void (*First)(const float*, float*, size_t), void (*Pass)(float*, size_t, size_t), size_t SpanPerThread>
float reduce_into(const float* x, size_t n, float* work, int T) {
    first_pass<First, SpanPerThread>(x, n, work, T);
    CUDA_LAUNCH_CHECK();
    return finish_passes<Pass, SpanPerThread>(n, work, T);
}

float* first_pass_work(size_t n, size_t span) {
    float* work = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&work, blocks_for(n, span) * sizeof(float)));
    return work;
}

// The same with a temporary for the first pass's block sums, freed before returning.
template <void (*First)(const float*, float*, size_t), void (*Pass)(float*, size_t, size_t), size_t SpanPerThread>
float reduce_with_temporary(const float* x, size_t n, int T) {
    if (n == 0) return 0.0f;
    float* work = first_pass_work(n, SpanPerThread * (size_t)T);
    const float sum = reduce_into<First, Pass, SpanPerThread>(x, n, work, T);
    CUDA_CHECK(cudaFree(work));
    return sum;
}

template <void (*Pass)(float*, size_t, size_t), size_t SpanPerThread>
float reduce_destroying(float* x, size_t n, int T, bool first_pass_always = false) {
    if (n == 0) return 0.0f;
    reduce_in_place<Pass, SpanPerThread>(x, n, 1, T, first_pass_always);
    return read_element0(x);
}

}  // namespace

float hcuda_fast_sum8(const float* x, size_t n, int T) {
    return reduce_with_temporary<cuda_reduce_data_for_sum8, cuda_reduce_data_for_sum8_inplace, 2>(x, n, T);
}
float hcuda_fast_sum(const float* x, size_t n, int T) { return hcuda_fast_sum8(x, n, T); }

// One wake-up of a host's threads for the producer and the first pass, a
// quarter of a millisecond or more with passive waiting (the refinement's
// score on a box of 1024 takes about as long on eight cores).
float hcuda_fast_sum_produced(GpuSite at, const std::function<void()>& produce, const float* x, size_t n, int T) {
    if (n == 0) return 0.0f;
    float* work = first_pass_work(n, 2 * (size_t)T);
    gpu_launch_together([&] {
        produce();
        first_pass<cuda_reduce_data_for_sum8, 2>(x, n, work, T);
    });
    gpu_check_launch(at);
    const float sum = finish_passes<cuda_reduce_data_for_sum8_inplace, 2>(n, work, T);
    CUDA_CHECK(cudaFree(work));
    return sum;
}

float hcuda_fast_sum8_buf(const float* x, size_t n, float* buf, int T) {
    const float sum = n == 0 ? 0.0f : reduce_into<cuda_reduce_data_for_sum8, cuda_reduce_data_for_sum8_inplace, 2>(x, n, buf, T);
    CUDA_CHECK(cudaFree(buf));
    return sum;
}

// Both in-place forms run the same race-free passes: a pass that wrote its
// partial sums over values other blocks still read would depend on block order.
float hcuda_fast_sum8_inplace2(float* x, size_t n, int T) {
    return reduce_destroying<cuda_reduce_data_for_sum8_inplace, 2>(x, n, T);
}
float hcuda_fast_sum8_inplace1(float* x, size_t n, int T) { return hcuda_fast_sum8_inplace2(x, n, T); }
float hcuda_fast_sum_inplace(float* x, size_t n, int T) { return hcuda_fast_sum8_inplace2(x, n, T); }

float hcuda_fast_sum1(const float* x, size_t n, int T) {
    return reduce_with_temporary<cuda_reduce_data_for_sum1, cuda_reduce_data_for_sum1_inplace, 1>(x, n, T);
}
// Unlike the pairwise in-place forms, a single value is still summed by one
// pass (so -0 comes back as +0, as from the forms that keep their input).
float hcuda_fast_sum1_inplace(float* x, size_t n, int T) {
    return reduce_destroying<cuda_reduce_data_for_sum1_inplace, 1>(x, n, T, true);
}

void hcuda_reduce_data_for_sum1(const float* x, float* out, size_t n, int T) {
    if (n == 0) return;
    GPU_LAUNCH_BLOCKWISE(cuda_reduce_data_for_sum1, (unsigned int)blocks_for(n, T), T, shared_bytes(T))(x, out, n);
    CUDA_LAUNCH_CHECK();
}

void hcuda_reduce_data_for_sum1_inplace(float* x, size_t n, int T) {
    if (n == 0) return;
    const size_t blocks = blocks_for(n, T);
    GPU_LAUNCH_BLOCKWISE(cuda_reduce_data_for_sum1_inplace, (unsigned int)blocks, T, shared_bytes(T))(x, n, (size_t)1);
    CUDA_LAUNCH_CHECK();
    // The partial sums lie at x[b*T]; bring them to x[b] in rounds whose reads
    // all lie above their writes.
    for (size_t lo = 1; lo < blocks; lo *= (size_t)T) {
        const size_t hi = blocks < lo * T ? blocks : lo * T;
        GPU_LAUNCH(gather_strided, gpu_blocks_1d(hi - lo), GPU_THREADS_1D, 0)(x, lo, hi, (size_t)T);
        CUDA_LAUNCH_CHECK();
    }
}

float hcuda_fast_dot_inplace(float* a, const float* b, size_t n, int /*T*/) {
    if (n == 0) return 0.0f;
    hcuda_x1d_multi_inplace(a, b, n);
    return reduce_destroying<cuda_reduce_data_for_sum8_inplace, 2>(a, n, (int)GPU_THREADS_1D);
}

namespace {

// NPP takes a 32-bit count: longer arrays are summed in chunks that fit it.
float npp_sum_chunk(const float* x, int n) {
    float* result = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&result, sizeof(float)));
    int scratch_bytes = 0;
    nppsSumGetBufferSize_32f(n, &scratch_bytes);
    Npp8u* scratch = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&scratch, (size_t)scratch_bytes));
    nppsSum_32f(x, n, result, scratch);
    const float sum = read_element0(result);
    CUDA_CHECK(cudaFree(scratch));
    CUDA_CHECK(cudaFree(result));
    return sum;
}

}  // namespace

float hcuda_fast_sum_npp(const float* x, size_t n) {
    float sum = 0.0f;
    for (size_t done = 0; done < n;) {
        const size_t len = n - done < (size_t)INT_MAX ? n - done : (size_t)INT_MAX;
        sum += npp_sum_chunk(x + done, (int)len);
        done += len;
    }
    return sum;
}
