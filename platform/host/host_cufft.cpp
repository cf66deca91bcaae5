// cuFFT stand-in over single-precision FFTW.
//
// A plan fixes the size and type; FFTW plans for a given in-place/out-of-place
// and alignment case are made on first use (FFTW_ESTIMATE, so planning never
// touches the caller's arrays) and run with FFTW's new-array execute. The
// planner is not thread-safe, so every planner call holds one lock.
#include "host_backend.h"

#include <fftw3.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

namespace {

struct HostPlan {
    int rows, cols;  // rows is the slower dimension
    cufftType type;
    fftwf_plan variants[4] = {nullptr, nullptr, nullptr, nullptr};  // [in_place * 2 + unaligned]
};

std::mutex planner_lock;
std::map<cufftHandle, HostPlan> plans;
cufftHandle next_handle = 1;

size_t complex_count(const HostPlan& p) { return (size_t)p.rows * (size_t)(p.cols / 2 + 1); }
// An in-place real array has its rows padded to 2 * (cols/2 + 1) floats.
size_t real_count(const HostPlan& p, bool in_place) {
    return (size_t)p.rows * (size_t)(in_place ? 2 * (p.cols / 2 + 1) : p.cols);
}

int threads_for(const HostPlan& p) {
    const long long n = (long long)p.rows * p.cols;
    if (n < 512LL * 512LL) return 1;
    return (int)std::max(1u, std::thread::hardware_concurrency());
}

void init_fftw_threads() {
    static bool done = false;
    if (!done) {
        fftwf_init_threads();
        done = true;
    }
}

// Makes (once) the FFTW plan for this case, planned on scratch arrays of the same shape.
fftwf_plan variant(HostPlan& p, bool in_place, bool unaligned) {
    fftwf_plan& slot = p.variants[(in_place ? 2 : 0) + (unaligned ? 1 : 0)];
    if (slot) return slot;
    init_fftw_threads();
    fftwf_plan_with_nthreads(threads_for(p));
    const unsigned flags = FFTW_ESTIMATE | (unaligned ? FFTW_UNALIGNED : 0u);
    float* re = fftwf_alloc_real(real_count(p, true));
    fftwf_complex* co = in_place ? reinterpret_cast<fftwf_complex*>(re) : fftwf_alloc_complex(complex_count(p));
    if (p.type == CUFFT_R2C)
        slot = fftwf_plan_dft_r2c_2d(p.rows, p.cols, re, co, flags);
    else
        slot = fftwf_plan_dft_c2r_2d(p.rows, p.cols, co, re, flags);
    if (!in_place) fftwf_free(co);
    fftwf_free(re);
    return slot;
}

template <class In, class Out>
cufftResult execute(cufftHandle handle, cufftType type, In* in, Out* out) {
    fftwf_plan plan;
    {
        std::lock_guard<std::mutex> g(planner_lock);
        auto it = plans.find(handle);
        if (it == plans.end()) return CUFFT_INVALID_PLAN;
        HostPlan& p = it->second;
        if (p.type != type) return CUFFT_INVALID_TYPE;
        const bool in_place = (const void*)in == (const void*)out;
        const size_t real_bytes = real_count(p, in_place) * sizeof(float);
        const size_t complex_bytes = complex_count(p) * sizeof(float2);
        const size_t in_bytes = type == CUFFT_R2C ? real_bytes : complex_bytes;
        const size_t out_bytes = type == CUFFT_R2C ? complex_bytes : real_bytes;
        if (!vorn_host::device_range_ok(in, in_bytes) || !vorn_host::device_range_ok(out, out_bytes))
            return CUFFT_INVALID_VALUE;
        const bool unaligned = fftwf_alignment_of((float*)in) != 0 || fftwf_alignment_of((float*)out) != 0;
        plan = variant(p, in_place, unaligned);
        if (plan == nullptr) return CUFFT_INTERNAL_ERROR;
    }
    if constexpr (std::is_same_v<In, cufftReal>)
        fftwf_execute_dft_r2c(plan, in, reinterpret_cast<fftwf_complex*>(out));
    else
        fftwf_execute_dft_c2r(plan, reinterpret_cast<fftwf_complex*>(in), out);
    return CUFFT_SUCCESS;
}

}  // namespace

cufftResult cufftPlan2d(cufftHandle* plan, int nx, int ny, cufftType type) {
    if (plan == nullptr) return CUFFT_INVALID_VALUE;
    if (type != CUFFT_R2C && type != CUFFT_C2R) return CUFFT_INVALID_TYPE;
    if (nx < 2 || ny < 2) return CUFFT_INVALID_SIZE;
    std::lock_guard<std::mutex> g(planner_lock);
    *plan = next_handle++;
    plans[*plan] = HostPlan{nx, ny, type};
    return CUFFT_SUCCESS;
}

cufftResult cufftExecR2C(cufftHandle plan, cufftReal* idata, cufftComplex* odata) {
    return execute(plan, CUFFT_R2C, idata, odata);
}

cufftResult cufftExecC2R(cufftHandle plan, cufftComplex* idata, cufftReal* odata) {
    return execute(plan, CUFFT_C2R, idata, odata);
}

cufftResult cufftDestroy(cufftHandle plan) {
    std::lock_guard<std::mutex> g(planner_lock);
    auto it = plans.find(plan);
    if (it == plans.end()) return CUFFT_INVALID_PLAN;
    for (fftwf_plan v : it->second.variants)
        if (v) fftwf_destroy_plan(v);
    plans.erase(it);
    return CUFFT_SUCCESS;
}
