// cuFFT stand-in over single-precision FFTW.
//
// A plan fixes the size, type, batch and layout; FFTW plans for a given
// in-place/out-of-place and alignment case are made on first use (FFTW_ESTIMATE,
// so planning never touches the caller's arrays), kept for the run and shared by
// every plan of the same shape, and run with FFTW's new-array execute. The
// planner is not thread-safe, so every planner call holds one lock.
#include "host_backend.h"

#include <fftw3.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

namespace {

// One side of a transform in memory, as cuFFT's advanced layout gives it:
// element (x0, .., x{r-1}) of batch entry b at b*dist + ((x0*embed[1] + x1)*embed[2] + ..)*stride.
struct Side {
    int embed[3];
    int stride;
    long long dist;
};

struct HostPlan {
    int rank;
    int n[3];  // n[0] is the slowest dimension
    cufftType type;
    int batch;
    bool basic;          // no embeds given: the contiguous layout (in-place real rows padded)
    Side in_side, out_side;  // the advanced layout, when given
    fftwf_plan variants[4] = {nullptr, nullptr, nullptr, nullptr};  // [in_place * 2 + unaligned], not owned
};

std::mutex planner_lock;
std::map<cufftHandle, HostPlan> plans;
cufftHandle next_handle = 1;

// The basic layout of the real or the complex side.
Side basic_side(const HostPlan& p, bool complex_side, bool in_place) {
    Side s{{1, 1, 1}, 1, 1};
    const int last = p.n[p.rank - 1];
    for (int d = 0; d < p.rank; ++d) s.embed[d] = p.n[d];
    s.embed[p.rank - 1] = complex_side ? last / 2 + 1 : (in_place ? 2 * (last / 2 + 1) : last);
    for (int d = 0; d < p.rank; ++d) s.dist *= s.embed[d];
    return s;
}

bool real_input(const HostPlan& p) { return p.type == CUFFT_R2C; }

Side input_side(const HostPlan& p, bool in_place) {
    return p.basic ? basic_side(p, !real_input(p), in_place) : p.in_side;
}
Side output_side(const HostPlan& p, bool in_place) {
    return p.basic ? basic_side(p, real_input(p), in_place) : p.out_side;
}

// Elements spanned by one side over the whole batch.
size_t side_extent(const HostPlan& p, const Side& s, bool complex_side) {
    long long last = 0;
    for (int d = 0; d < p.rank; ++d) {
        const int len = (d == p.rank - 1 && complex_side) ? p.n[d] / 2 + 1 : p.n[d];
        last = (d == 0 ? 0 : last * s.embed[d]) + (len - 1);
    }
    return (size_t)((long long)(p.batch - 1) * s.dist + last * s.stride + 1);
}

// Large work runs on the backend's thread count (OpenMP's), so results and speed
// follow OMP_NUM_THREADS; small transforms are not worth the threads.
int threads_for(const HostPlan& p) {
    long long n = p.batch;
    for (int d = 0; d < p.rank; ++d) n *= p.n[d];
    if (n < 512LL * 512LL) return 1;
    return (int)vorn_host::host_thread_count();
}

// FFTW's parallel loops run on the OpenMP threads that run the kernels: with
// its own pool the two sets of threads take turns on the cores, each woken and
// put to sleep again around every transform between kernels.
void run_on_openmp_threads(void* (*work)(char*), char* jobs, size_t job_bytes, int njobs, void*) {
#pragma omp parallel for schedule(static) if (njobs > 1)
    for (int k = 0; k < njobs; ++k) work(jobs + job_bytes * (size_t)k);
}

void init_fftw_threads() {
    static bool done = false;
    if (!done) {
        fftwf_init_threads();
        fftwf_threads_set_callback(run_on_openmp_threads, nullptr);
        done = true;
    }
}

// FFTW plans by everything that shapes them, kept for the whole run: cuFFT
// plans are made and destroyed around every call of a library function, and
// FFTW would otherwise plan (and set up its threads) again each time.
struct PlanCache {
    std::map<std::vector<long long>, fftwf_plan> plans;
    ~PlanCache() {
        for (auto& kv : plans)
            if (kv.second) fftwf_destroy_plan(kv.second);
    }
} fftw_plans;

std::vector<long long> plan_key(const HostPlan& p, const Side& in, const Side& out, bool in_place, bool unaligned,
                                int threads) {
    std::vector<long long> k{p.type, p.rank, p.batch, in_place, unaligned, threads, in.stride, in.dist, out.stride,
                             out.dist};
    for (int d = 0; d < 3; ++d) k.insert(k.end(), {p.n[d], in.embed[d], out.embed[d]});
    return k;
}

// The FFTW plan for this case, planned (once) on scratch arrays of the same extent.
fftwf_plan variant(HostPlan& p, bool in_place, bool unaligned) {
    fftwf_plan& slot = p.variants[(in_place ? 2 : 0) + (unaligned ? 1 : 0)];
    if (slot) return slot;
    const Side in = input_side(p, in_place), out = output_side(p, in_place);
    const int threads = threads_for(p);
    fftwf_plan& cached = fftw_plans.plans[plan_key(p, in, out, in_place, unaligned, threads)];
    if (!cached) {
        init_fftw_threads();
        fftwf_plan_with_nthreads(threads);
        const unsigned flags = FFTW_ESTIMATE | (unaligned ? FFTW_UNALIGNED : 0u);
        const size_t in_n = side_extent(p, in, !real_input(p)), out_n = side_extent(p, out, real_input(p));
        const size_t real_n = real_input(p) ? in_n : out_n, complex_n = real_input(p) ? out_n : in_n;
        // FFTW_ESTIMATE never touches the arrays: these pages are never made resident.
        float* re = fftwf_alloc_real(in_place ? std::max(real_n, 2 * complex_n) : real_n);
        fftwf_complex* co = in_place ? reinterpret_cast<fftwf_complex*>(re) : fftwf_alloc_complex(complex_n);
        if (real_input(p))
            cached = fftwf_plan_many_dft_r2c(p.rank, p.n, p.batch, re, in.embed, in.stride, (int)in.dist, co,
                                             out.embed, out.stride, (int)out.dist, flags);
        else
            cached = fftwf_plan_many_dft_c2r(p.rank, p.n, p.batch, co, in.embed, in.stride, (int)in.dist, re,
                                             out.embed, out.stride, (int)out.dist, flags);
        if (!in_place) fftwf_free(co);
        fftwf_free(re);
    }
    slot = cached;
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
        const size_t in_bytes = side_extent(p, input_side(p, in_place), !real_input(p)) * sizeof(In);
        const size_t out_bytes = side_extent(p, output_side(p, in_place), real_input(p)) * sizeof(Out);
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

bool side_ok(const int* embed, int stride, int dist, int rank) {
    if (stride < 1 || dist < 1) return false;
    for (int d = 1; d < rank; ++d)
        if (embed[d] < 1) return false;
    return true;
}

}  // namespace

cufftResult cufftPlanMany(cufftHandle* plan, int rank, int* n, int* inembed, int istride, int idist, int* onembed,
                          int ostride, int odist, cufftType type, int batch) {
    if (plan == nullptr || n == nullptr) return CUFFT_INVALID_VALUE;
    if (type != CUFFT_R2C && type != CUFFT_C2R) return CUFFT_INVALID_TYPE;
    if (rank < 1 || rank > 3 || batch < 1) return CUFFT_INVALID_VALUE;
    HostPlan p{rank, {1, 1, 1}, type, batch, inembed == nullptr || onembed == nullptr, {}, {}};
    for (int d = 0; d < rank; ++d) {
        if (n[d] < 1 || (rank > 1 && n[d] < 2)) return CUFFT_INVALID_SIZE;
        p.n[d] = n[d];
    }
    if (!p.basic) {
        if (!side_ok(inembed, istride, idist, rank) || !side_ok(onembed, ostride, odist, rank))
            return CUFFT_INVALID_VALUE;
        p.in_side = Side{{inembed[0], rank > 1 ? inembed[1] : 1, rank > 2 ? inembed[2] : 1}, istride, idist};
        p.out_side = Side{{onembed[0], rank > 1 ? onembed[1] : 1, rank > 2 ? onembed[2] : 1}, ostride, odist};
    }
    std::lock_guard<std::mutex> g(planner_lock);
    *plan = next_handle++;
    plans[*plan] = p;
    return CUFFT_SUCCESS;
}

cufftResult cufftPlan2d(cufftHandle* plan, int nx, int ny, cufftType type) {
    if (plan == nullptr) return CUFFT_INVALID_VALUE;
    if (type != CUFFT_R2C && type != CUFFT_C2R) return CUFFT_INVALID_TYPE;
    int n[2] = {nx, ny};
    return cufftPlanMany(plan, 2, n, nullptr, 1, 0, nullptr, 1, 0, type, 1);
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
    plans.erase(it);  // its FFTW plans stay cached for the next plan of the same shape
    return CUFFT_SUCCESS;
}
