// The host backend against what the kernels and host code expect of a GPU
// platform: launch geometry, barriers, launch limits, pointer checks, memory
// budget, FFT layout and scaling, random-number ranges and the vector sum.
#include <gtest/gtest.h>

#include <omp.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <complex>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "gpu.h"

namespace {

template <class T> T* device_copy(const std::vector<T>& h) {
    T* d = nullptr;
    EXPECT_EQ(cudaMalloc(&d, h.size() * sizeof(T)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(d, h.data(), h.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    return d;
}
template <class T> std::vector<T> host_copy(const T* d, size_t n) {
    std::vector<T> h(n);
    EXPECT_EQ(cudaMemcpy(h.data(), d, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
    return h;
}
void expect_clean_launch() {
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

// Every thread that falls inside nx*ny*nz counts its element once.
__global__ void count_3d(int* hits, unsigned nx, unsigned ny, unsigned nz) {
    unsigned x = blockIdx.x * blockDim.x + threadIdx.x;
    unsigned y = blockIdx.y * blockDim.y + threadIdx.y;
    unsigned z = blockIdx.z * blockDim.z + threadIdx.z;
    if (x < nx && y < ny && z < nz) atomicAdd(&hits[((size_t)z * ny + y) * nx + x], 1);
}

struct Geometry {
    unsigned nx, ny, nz;
    dim3 block;
};

// On one thread and on several, where the walk deals chunks of rows to the
// threads in turn and cuts the rows of a few large blocks into pieces, and an
// uneven launch deals single threads on demand.
TEST(HostLaunch, EveryElementVisitedOnceIn1D2D3D) {
    const Geometry cases[] = {
        {1025, 1, 1, dim3(1024)},       // one element past a full block
        {33, 17, 1, dim3(32, 32)},      // 2D, neither side a multiple of the block
        {7, 5, 3, dim3(4, 2, 2)},       // 3D
        {2000, 1, 1, dim3(1000)},       // two rows of many threads each
        {300, 700, 1, dim3(32, 8)},     // many rows
    };
    const int before = omp_get_max_threads();
    for (int threads : {1, 3, 8}) {
        omp_set_num_threads(threads);
        for (const Geometry& g : cases) {
            SCOPED_TRACE(threads);
            const size_t n = (size_t)g.nx * g.ny * g.nz;
            int* d = device_copy(std::vector<int>(n, 0));
            dim3 grid((g.nx + g.block.x - 1) / g.block.x, (g.ny + g.block.y - 1) / g.block.y,
                      (g.nz + g.block.z - 1) / g.block.z);
            GPU_LAUNCH(count_3d, grid, g.block, 0)(d, g.nx, g.ny, g.nz);
            GPU_LAUNCH_UNEVEN(count_3d, grid, g.block, 0)(d, g.nx, g.ny, g.nz);
            expect_clean_launch();
            std::vector<int> hits = host_copy(d, n);
            for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i], 2) << "element " << i << " of " << g.nx << "x" << g.ny;
            cudaFree(d);
        }
    }
    omp_set_num_threads(before);
}

// Tree sum of each block's slice, in block-phase form with dynamic shared memory.
__global__ void block_sums(const float* x, size_t n, float* out) {
    GPU_DYNAMIC_SHARED(float, s);
    GPU_PHASE_BEGIN
        size_t i = (size_t)blockIdx.x * blockDim.x + threadIdx.x;
        s[threadIdx.x] = i < n ? x[i] : 0.0f;
    GPU_PHASE_END
    for (unsigned w = blockDim.x / 2; w > 0; w >>= 1) {
        GPU_PHASE_BEGIN
            if (threadIdx.x < w) s[threadIdx.x] += s[threadIdx.x + w];
        GPU_PHASE_END
    }
    GPU_PHASE_BEGIN
        if (threadIdx.x == 0) out[blockIdx.x] = s[0];
    GPU_PHASE_END
}

TEST(HostLaunch, BarrierReductionPerBlock) {
    const size_t n = 3000;
    const unsigned threads = 256, blocks = (n + threads - 1) / threads;
    std::vector<float> h(n);
    for (size_t i = 0; i < n; ++i) h[i] = (float)(i % 17);
    float* d = device_copy(h);
    float* out = device_copy(std::vector<float>(blocks, -1.0f));
    GPU_LAUNCH_BLOCKWISE(block_sums, blocks, threads, threads * sizeof(float))(d, n, out);
    expect_clean_launch();
    std::vector<float> sums = host_copy(out, blocks);
    for (unsigned b = 0; b < blocks; ++b) {
        double want = 0;
        for (size_t i = (size_t)b * threads; i < std::min(n, (size_t)(b + 1) * threads); ++i) want += h[i];
        EXPECT_EQ(sums[b], (float)want) << "block " << b;
    }
    cudaFree(d);
    cudaFree(out);
}

// Each phase stamps its visits in flat thread order: a full phase visits every
// thread of a 3D block once, a phase of threads below n only the first n.
__global__ void phase_visits(int* order, int* below, unsigned n) {
    GPU_DYNAMIC_SHARED(int, count);
    GPU_PHASE_THREADS(t, 1)
        count[t] = 0;
    GPU_PHASE_END
    GPU_PHASE_BEGIN
        const unsigned flat = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
        order[flat] = count[0]++;
    GPU_PHASE_END
    GPU_PHASE_THREADS(t, n)
        below[t] += 1;
    GPU_PHASE_END
}

TEST(HostLaunch, PhasesVisitThreadsInFlatOrderAndBelowOnlyTheFirst) {
    const dim3 block(4, 3, 2);
    const unsigned threads = 24;
    for (unsigned n : {0u, 1u, 5u, 24u, 100u}) {
        int* order = device_copy(std::vector<int>(threads, -1));
        int* below = device_copy(std::vector<int>(threads, 0));
        GPU_LAUNCH_BLOCKWISE(phase_visits, 1, block, sizeof(int))(order, below, n);
        expect_clean_launch();
        const std::vector<int> o = host_copy(order, threads), b = host_copy(below, threads);
        for (unsigned t = 0; t < threads; ++t) {
            EXPECT_EQ(o[t], (int)t) << "thread " << t;
            EXPECT_EQ(b[t], t < n ? 1 : 0) << "thread " << t << ", below " << n;
        }
        cudaFree(order);
        cudaFree(below);
    }
}

__global__ void mark(int* p) { p[threadIdx.x] = 1; }

TEST(HostLaunch, BrokenLimitsRunNothingAndReportConfigurationError) {
    const dim3 bad[][2] = {
        {dim3(1), dim3(1025)},        // too many threads in a block
        {dim3(1), dim3(32, 33)},      // 1056 threads
        {dim3(1, 65536), dim3(1)},    // grid y beyond 65535
        {dim3(1, 1, 65536), dim3(1)}, // grid z beyond 65535
        {dim3(0), dim3(32)},          // empty grid
        {dim3(1), dim3(0)},           // empty block
        {dim3(1), dim3(1, 1, 65)},    // block z beyond 64
    };
    int* d = device_copy(std::vector<int>(2048, 0));
    for (const auto& c : bad) {
        GPU_LAUNCH(mark, c[0], c[1], 0)(d);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the launch error is read once";
    }
    std::vector<int> h = host_copy(d, 2048);
    EXPECT_EQ(std::accumulate(h.begin(), h.end(), 0), 0);
    cudaFree(d);
}

TEST(HostLaunch, KernelGivenAHostPointerFails) {
    std::vector<int> host(32, 0);
    GPU_LAUNCH(mark, 1, 32, 0)(host.data());
    EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorIllegalAddress);
    EXPECT_EQ(std::accumulate(host.begin(), host.end(), 0), 0) << "nothing ran";
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);

    int* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 32 * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaFree(d), cudaSuccess);
    GPU_LAUNCH(mark, 1, 32, 0)(d);  // freed
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorIllegalAddress);
    cudaGetLastError();
}

TEST(HostMemory, CopiesAndFreesCheckTheDeviceSide) {
    float* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 16 * sizeof(float)), cudaSuccess);
    std::vector<float> h(17, 1.0f), back(17);
    EXPECT_EQ(cudaMemcpy(d, h.data(), 16 * sizeof(float), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(d, h.data(), 17 * sizeof(float), cudaMemcpyHostToDevice), cudaErrorInvalidValue)
        << "past the end of the block";
    EXPECT_EQ(cudaMemcpy(back.data(), h.data(), 4, cudaMemcpyDeviceToHost), cudaErrorInvalidValue)
        << "host memory given as the device side";
    EXPECT_EQ(cudaMemcpy(h.data(), d + 2, 4, cudaMemcpyDefault), cudaSuccess);
    EXPECT_EQ(cudaMemset(d + 15, 0, 8), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(h.data()), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(d + 1), cudaErrorInvalidValue) << "only a block's base can be freed";
    EXPECT_EQ(cudaFree(d), cudaSuccess);
    EXPECT_EQ(cudaFree(d), cudaErrorInvalidValue) << "double free";
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);

    float* m = nullptr;
    ASSERT_EQ(cudaMallocManaged(&m, 8 * sizeof(float)), cudaSuccess);
    m[3] = 2.5f;  // managed memory is reachable from the host
    GPU_LAUNCH(mark, 1, 8, 0)(reinterpret_cast<int*>(m));
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaFree(m), cudaSuccess);
    EXPECT_EQ(cudaMallocManaged(&m, 0), cudaErrorInvalidValue) << "a GPU refuses an empty managed block";
    EXPECT_EQ(m, nullptr);
}

// Large blocks are filled by several threads: every byte still comes NaN.
TEST(HostMemory, FreshBlocksHoldNaNBytesEverywhere) {
    if (!vorn_host::fresh_memory_is_nan()) GTEST_SKIP() << "an optimised build leaves fresh memory unfilled";
    const int before = omp_get_max_threads();
    for (int threads : {1, 8}) {
        omp_set_num_threads(threads);
        for (size_t bytes : {(size_t)12, ((size_t)9 << 20) + 5}) {
            unsigned char* d = nullptr;
            ASSERT_EQ(cudaMalloc(&d, bytes), cudaSuccess);
            size_t other = 0;
            for (size_t i = 0; i < bytes; ++i) other += d[i] != 0xff;
            EXPECT_EQ(other, 0u) << bytes << " bytes on " << threads << " threads";
            EXPECT_TRUE(std::isnan(reinterpret_cast<float*>(d)[0]));
            cudaFree(d);
        }
    }
    omp_set_num_threads(before);
}

TEST(HostMemory, BudgetAndForcedFailure) {
    size_t free0, total0;
    ASSERT_EQ(cudaMemGetInfo(&free0, &total0), cudaSuccess);
    vorn_host::set_device_memory_budget(1 << 20);
    size_t free1, total1;
    ASSERT_EQ(cudaMemGetInfo(&free1, &total1), cudaSuccess);
    EXPECT_EQ(total1, (size_t)1 << 20);
    void* a = nullptr;
    void* b = nullptr;
    EXPECT_EQ(cudaMalloc(&a, 600 << 10), cudaSuccess);
    ASSERT_EQ(cudaMemGetInfo(&free1, &total1), cudaSuccess);
    EXPECT_EQ(free1, (size_t)(1 << 20) - (600 << 10));
    EXPECT_EQ(cudaMalloc(&b, 600 << 10), cudaErrorMemoryAllocation);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(cudaFree(a), cudaSuccess);
    vorn_host::fail_next_allocation();
    EXPECT_EQ(cudaMalloc(&a, 16), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaMalloc(&a, 16), cudaSuccess) << "only the next allocation fails";
    cudaFree(a);
    vorn_host::set_device_memory_budget(0);  // back to physical memory
    ASSERT_EQ(cudaMemGetInfo(&free1, &total1), cudaSuccess);
    EXPECT_EQ(total1, total0);
}

TEST(HostDevice, OneDeviceAtIndexZero) {
    int count = 0;
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 1);
    cudaDeviceProp prop;
    ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
    EXPECT_GT(std::strlen(prop.name), 0u);
    EXPECT_EQ(prop.maxThreadsPerBlock, 1024);
    EXPECT_EQ(cudaGetDeviceProperties(&prop, 1), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetDeviceProperties(&prop, -1), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
    EXPECT_EQ(cudaSetDevice(1), cudaErrorInvalidDevice);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorIllegalAddress), "an illegal memory access was encountered");
}

// The thread count of launches and FFTs is OpenMP's, as the user sets it.
TEST(HostDevice, ThreadCountFollowsOpenMP) {
    const int before = omp_get_max_threads();
    omp_set_num_threads(3);
    EXPECT_EQ(vorn_host::host_thread_count(), 3u);
    cudaDeviceProp prop;
    ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
    EXPECT_EQ(prop.multiProcessorCount, 3);
    omp_set_num_threads(before);
}

// Idle threads wait passively in a program started without a policy (it restarts
// itself with OMP_WAIT_POLICY=passive before anything runs), under its own name;
// a policy the user set is kept. Checked on this test program started afresh:
// the value of the line "key=..." it prints.
std::string fresh_start_prints(const std::string& environment, const std::string& key) {
    const std::string cmd = "env -u OMP_WAIT_POLICY -u GOMP_SPINCOUNT VORN_PRINT_WAIT_POLICY=1 " + environment +
                            " /proc/" + std::to_string(getpid()) +
                            "/exe --gtest_filter=HostDevice.WaitPolicyIsPassiveUnlessTheUserChoseOne";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char line[256];
    while (p && std::fgets(line, sizeof line, p))
        if (std::strncmp(line, (key + "=").c_str(), key.size() + 1) == 0) out = line + key.size() + 1;
    if (p) pclose(p);
    return out;
}

TEST(HostDevice, WaitPolicyIsPassiveUnlessTheUserChoseOne) {
    if (std::getenv("VORN_PRINT_WAIT_POLICY")) {
        const char* policy = std::getenv("OMP_WAIT_POLICY");
        std::printf("policy=%s\n", policy ? policy : "(none)");
        char name[64] = "";
        if (FILE* f = std::fopen("/proc/self/comm", "r")) {
            if (!std::fgets(name, sizeof name, f)) name[0] = '\0';
            std::fclose(f);
        }
        std::printf("name=%s", name);
        return;
    }
    EXPECT_EQ(fresh_start_prints("", "policy"), "passive\n");
    EXPECT_EQ(fresh_start_prints("", "name"), "test_platform\n");
    EXPECT_EQ(fresh_start_prints("OMP_WAIT_POLICY=active", "policy"), "active\n");
    EXPECT_EQ(fresh_start_prints("GOMP_SPINCOUNT=1000", "policy"), "(none)\n");
}

// ---- lanes ----

// Each lane must give, bit for bit, what the same arithmetic gives on one float:
// loads, partial stores, the four operations, square roots, complex parts.
__global__ void lanes_arithmetic(float* out, const float* a, const float* b, const float2* z, unsigned n) {
    const unsigned i = (blockIdx.x * blockDim.x + threadIdx.x) * GPU_LANES;
    if (i >= n) return;
    const gpu_lanes_f x = gpu_lanes_load(a + i), y = gpu_lanes_load(b + i);
    gpu_lanes_f re, im, s{};
    gpu_lanes_load_complex(z + i, re, im);
    s += x;
    gpu_lanes_store(out + i, (s * y - x) / y + gpu_lanes_sqrt(re * re + im * im), min(GPU_LANES, n - i));
}

TEST(HostLanes, EveryLaneAsOneFloat) {
    const unsigned n = 3 * GPU_LANES + 5, padded = 4 * GPU_LANES;
    std::vector<float> a(padded), b(padded);
    std::vector<float2> z(padded);
    for (unsigned i = 0; i < padded; ++i) {
        a[i] = std::sin(1.3f * i) * std::pow(10.0f, (float)(i % 13) - 6.0f);
        b[i] = i % 7 == 0 ? -0.0f : 0.3f + std::cos(0.9f * i);
        z[i] = make_float2(std::sin(0.1f * i) * 1e-20f * (float)(i % 3), std::cos(2.1f * i) * 1e3f);
    }
    float* da = device_copy(a);
    float* db = device_copy(b);
    float2* dz = device_copy(z);
    float* dout = device_copy(std::vector<float>(padded, 7.0f));
    GPU_LAUNCH(lanes_arithmetic, dim3(2), dim3(2), 0)(dout, da, db, dz, n);
    expect_clean_launch();
    const std::vector<float> out = host_copy(dout, padded);
    for (unsigned i = 0; i < padded; ++i) {
        const float s = 0.0f + a[i];
        const float want = i < n ? (s * b[i] - a[i]) / b[i] + std::sqrt(z[i].x * z[i].x + z[i].y * z[i].y) : 7.0f;
        ASSERT_EQ(std::memcmp(&out[i], &want, sizeof(float)), 0) << "element " << i << ": " << out[i] << " " << want;
    }
    cudaFree(da);
    cudaFree(db);
    cudaFree(dz);
    cudaFree(dout);
}

// Masks, selects, indices and partial loads, exactly as one float would do them
// (lanes past n read zeros and are never stored).
__global__ void lanes_selects(float* out, const float* a, const float* b, unsigned n) {
    const unsigned i = (blockIdx.x * blockDim.x + threadIdx.x) * GPU_LANES;
    if (i >= n) return;
    const unsigned m = min(GPU_LANES, n - i);
    const gpu_lanes_f x = gpu_lanes_load(a + i, m), y = gpu_lanes_load(b + i, m);
    const gpu_lanes_m inside = (x >= y) & (x < 2.0f * y);
    gpu_lanes_store(out + i, gpu_lanes_select(inside, x, gpu_lanes_index(i)), m);
}

TEST(HostLanes, MasksSelectsAndPartialLoads) {
    const unsigned n = 2 * GPU_LANES + 3, runs = gpu_lanes_runs(n);
    std::vector<float> a(n), b(n, 1.0f);
    for (unsigned i = 0; i < n; ++i) a[i] = i < GPU_LANES ? 0.5f : (i % 3 == 0 ? 1.5f : 3.0f);
    a[n - 1] = std::nanf("");
    float* da = device_copy(a);
    float* db = device_copy(b);
    float* dout = device_copy(std::vector<float>(n, -1.0f));
    GPU_LAUNCH(lanes_selects, dim3(runs), dim3(1), 0)(dout, da, db, n);
    expect_clean_launch();
    const std::vector<float> out = host_copy(dout, n);
    for (unsigned i = 0; i < n; ++i) {
        const bool inside = a[i] >= b[i] && a[i] < 2.0f * b[i];
        EXPECT_EQ(out[i], inside ? a[i] : (float)i) << i;
    }
    cudaFree(da);
    cudaFree(db);
    cudaFree(dout);
}

// Every lane function of x, 6 outputs of n values each.
constexpr unsigned LANE_FUNCTIONS = 6;
__global__ void lanes_functions(float* out, const float* x, unsigned n) {
    const unsigned i = (blockIdx.x * blockDim.x + threadIdx.x) * GPU_LANES;
    if (i >= n) return;
    const unsigned m = min(GPU_LANES, n - i);
    const gpu_lanes_f a = gpu_lanes_load(x + i, m);
    gpu_lanes_f s, c;
    gpu_lanes_sincos(a, s, c);
    const gpu_lanes_f r[LANE_FUNCTIONS] = {s, c, gpu_lanes_sin(a), gpu_lanes_exp(a), gpu_lanes_floor(a),
                                           gpu_lanes_fabs(a)};
    for (unsigned f = 0; f < LANE_FUNCTIONS; ++f) gpu_lanes_store(out + (size_t)f * n + i, r[f], m);
}
enum LaneFunction { L_SIN, L_COS, L_SIN_ALONE, L_EXP, L_FLOOR, L_FABS };

struct LaneResults {
    std::vector<float> v;
    size_t n;
    float operator()(LaneFunction f, size_t i) const { return v[f * n + i]; }
};
LaneResults run_lane_functions(const std::vector<float>& x) {
    const unsigned n = (unsigned)x.size(), runs = gpu_lanes_runs(n);
    float* dx = device_copy(x);
    float* dout = device_copy(std::vector<float>((size_t)LANE_FUNCTIONS * n, 0.0f));
    GPU_LAUNCH(lanes_functions, dim3((runs + 255) / 256), dim3(256), 0)(dout, dx, n);
    expect_clean_launch();
    LaneResults r{host_copy(dout, (size_t)LANE_FUNCTIONS * n), n};
    cudaFree(dx);
    cudaFree(dout);
    return r;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }
// The spacing of floats at the float nearest v (subnormal spacing at least).
double ulp_at(double v) {
    const float t = (float)v;
    return t == 0.0f ? std::ldexp(1.0, -149) : std::max(std::ldexp(1.0, std::ilogb(t) - 23), std::ldexp(1.0, -149));
}
// Arguments spread over [lo, hi]: an even grid, then random floats of every exponent inside.
std::vector<float> spread(float lo, float hi, size_t grid, size_t random, unsigned seed) {
    std::vector<float> x;
    for (size_t i = 0; i < grid; ++i) x.push_back(lo + (hi - lo) * (float)((double)i / (double)(grid - 1)));
    std::srand(seed);
    const float big = std::max(std::fabs(lo), std::fabs(hi));
    while (x.size() < grid + random) {
        const float v = (std::rand() & 1 ? -big : big) * std::ldexp((float)std::rand() / (float)RAND_MAX, -(std::rand() % 40));
        if (v >= lo && v <= hi) x.push_back(v);
    }
    return x;
}

// The stated accuracy: |got - truth| <= max(ulps x the float spacing at the truth, absolute).
// Returns the worst error as a fraction of the bound, for the message.
double check_error(const char* what, float at, float got, double truth, double ulps, double absolute, double& worst) {
    const double bound = std::max(ulps * ulp_at(truth), absolute), e = std::fabs((double)got - truth);
    worst = std::max(worst, e / bound);
    EXPECT_LE(e, bound) << what << " at " << at << ": " << got << " against " << truth;
    return e;
}

TEST(HostLanes, SinAndCosWithinTwoUlpOrTwoToTheMinus24OfTheTruth) {
    // The azimuths and phases the CTF model meets: up to 12000 rad, near multiples of pi/2 too.
    std::vector<float> x = spread(-12000.0f, 12000.0f, 400000, 200000, 11);
    for (int k = -7600; k <= 7600; k += 7)
        for (float d : {-1e-4f, 0.0f, 1e-4f}) x.push_back((float)(k * 1.5707963267948966) + d);
    for (float v : {1e-30f, -1e-38f, 0.785398f, 2.35619f, -0.0f}) x.push_back(v);
    const LaneResults r = run_lane_functions(x);
    double worst = 0;
    for (size_t i = 0; i < x.size() && !HasFailure(); ++i) {
        check_error("sin", x[i], r(L_SIN, i), std::sin((double)x[i]), 2.0, std::ldexp(1.0, -24), worst);
        check_error("cos", x[i], r(L_COS, i), std::cos((double)x[i]), 2.0, std::ldexp(1.0, -24), worst);
        EXPECT_TRUE(same_bits(r(L_SIN_ALONE, i), r(L_SIN, i))) << x[i];
    }
    std::printf("sin, cos: worst error %.2f of the bound\n", worst);
    EXPECT_TRUE(same_bits(r(L_SIN, x.size() - 1), -0.0f)) << "sin -0 is -0";
    // Beyond the reduction's range, infinities and NaN: libm's own values.
    std::vector<float> far = spread(12001.0f, 1e7f, 2000, 0, 12);
    for (float v : {-13000.0f, 1e30f, -INFINITY, INFINITY, std::nanf("")}) far.push_back(v);
    const LaneResults f = run_lane_functions(far);
    for (size_t i = 0; i < far.size(); ++i) {
        EXPECT_TRUE(same_bits(f(L_SIN, i), std::sin(far[i]))) << far[i];
        EXPECT_TRUE(same_bits(f(L_COS, i), std::cos(far[i]))) << far[i];
    }
}

TEST(HostLanes, ExpWithinTwoUlpDownToTheSubnormalsAndRoundedAsExpfBeyond) {
    std::vector<float> x = spread(-104.0f, 89.0f, 400000, 200000, 13);
    for (float v : {-103.97f, -87.4f, 88.72f, 88.7228f, 0.0f, -0.0f, 1e-20f}) x.push_back(v);
    const LaneResults r = run_lane_functions(x);
    double worst = 0;
    for (size_t i = 0; i < x.size() && !HasFailure(); ++i)
        check_error("exp", x[i], r(L_EXP, i), std::exp((double)x[i]), 2.0, 0.0, worst);
    std::printf("exp: worst error %.2f of the bound\n", worst);
    const std::vector<float> out = {-200.0f, -INFINITY, 89.5f, 1e30f, INFINITY, std::nanf("")};
    const LaneResults o = run_lane_functions(out);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_TRUE(same_bits(o(L_EXP, i), std::exp(out[i]))) << out[i];
}

TEST(HostLanes, FloorAndFabsExactly) {
    std::vector<float> x = spread(-1e8f, 1e8f, 20001, 20000, 16);
    for (float v : {0.0f, -0.0f, 0.5f, -0.5f, -1.0f, 4194303.5f, -4194303.5f, 8388607.0f, 1e30f, -INFINITY,
                    std::nanf("")})
        x.push_back(v);
    const LaneResults r = run_lane_functions(x);
    for (size_t i = 0; i < x.size(); ++i) {
        ASSERT_TRUE(same_bits(r(L_FLOOR, i), std::floor(x[i]))) << x[i] << " " << r(L_FLOOR, i);
        ASSERT_TRUE(same_bits(r(L_FABS, i), std::fabs(x[i]))) << x[i];
    }
}

// Gathers by indices computed in lanes: every lane reads its own element.
__global__ void lanes_gather(float* out, const float* table, const float* index, unsigned n) {
    const unsigned i = (blockIdx.x * blockDim.x + threadIdx.x) * GPU_LANES;
    if (i + GPU_LANES <= n) gpu_lanes_store(out + i, gpu_lanes_gather(table, gpu_lanes_load(index + i)), GPU_LANES);
}

TEST(HostLanes, GatherReadsTheElementOfEveryLane) {
    const unsigned n = 3 * GPU_LANES, size = 5000;
    std::vector<float> table(size), index(n);
    for (unsigned i = 0; i < size; ++i) table[i] = std::sin(0.37f * (float)i) + (float)i;
    for (unsigned i = 0; i < n; ++i) index[i] = (float)((i * 2654435761u) % size);
    index[0] = 0.0f;
    index[1] = (float)(size - 1);
    float* dt = device_copy(table);
    float* di = device_copy(index);
    float* dout = device_copy(std::vector<float>(n, -1.0f));
    GPU_LAUNCH(lanes_gather, dim3(3), dim3(1), 0)(dout, dt, di, n);
    expect_clean_launch();
    const std::vector<float> out = host_copy(dout, n);
    for (unsigned i = 0; i < n; ++i) EXPECT_EQ(out[i], table[(size_t)index[i]]) << i;
    cudaFree(dt);
    cudaFree(di);
    cudaFree(dout);
}

// ---- FFT ----

std::vector<std::complex<double>> naive_half_dft(const std::vector<float>& img, int nx, int ny) {
    const int nh = nx / 2 + 1;
    std::vector<std::complex<double>> out((size_t)nh * ny);
    const double two_pi = 6.283185307179586;
    for (int ky = 0; ky < ny; ++ky)
        for (int kx = 0; kx < nh; ++kx) {
            std::complex<double> acc = 0;
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x)
                    acc += (double)img[(size_t)y * nx + x] *
                           std::exp(std::complex<double>(0, -two_pi * ((double)kx * x / nx + (double)ky * y / ny)));
            out[(size_t)ky * nh + kx] = acc;
        }
    return out;
}

std::vector<float> test_image(int nx, int ny) {
    std::vector<float> img((size_t)nx * ny);
    for (int i = 0; i < nx * ny; ++i) img[i] = (float)std::sin(0.7 * i) + 0.25f * (float)(i % 5);
    return img;
}

TEST(HostFFT, R2CMatchesNaiveDFTAndC2RInvertsUnnormalised) {
    const int sizes[][2] = {{4, 4}, {8, 6}, {6, 8}, {5, 7}, {9, 4}, {2, 3}};
    for (const auto& s : sizes) {
        const int nx = s[0], ny = s[1], nh = nx / 2 + 1;
        std::vector<float> img = test_image(nx, ny);
        float* d_img = device_copy(img);
        float2* d_spec = nullptr;
        ASSERT_EQ(cudaMalloc(&d_spec, (size_t)nh * ny * sizeof(float2)), cudaSuccess);
        cufftHandle fwd, inv;
        ASSERT_EQ(cufftPlan2d(&fwd, ny, nx, CUFFT_R2C), CUFFT_SUCCESS);  // rows first
        ASSERT_EQ(cufftPlan2d(&inv, ny, nx, CUFFT_C2R), CUFFT_SUCCESS);
        ASSERT_EQ(cufftExecR2C(fwd, d_img, d_spec), CUFFT_SUCCESS);
        std::vector<float2> spec = host_copy(d_spec, (size_t)nh * ny);
        std::vector<std::complex<double>> want = naive_half_dft(img, nx, ny);
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_NEAR(spec[i].x, want[i].real(), 1e-4) << nx << "x" << ny << " element " << i;
            EXPECT_NEAR(spec[i].y, want[i].imag(), 1e-4) << nx << "x" << ny << " element " << i;
        }
        ASSERT_EQ(cufftExecC2R(inv, d_spec, d_img), CUFFT_SUCCESS);
        std::vector<float> back = host_copy(d_img, img.size());
        for (size_t i = 0; i < img.size(); ++i) EXPECT_NEAR(back[i], img[i] * nx * ny, 1e-3);
        EXPECT_EQ(cufftDestroy(fwd), CUFFT_SUCCESS);
        EXPECT_EQ(cufftDestroy(inv), CUFFT_SUCCESS);
        cudaFree(d_img);
        cudaFree(d_spec);
    }
}

TEST(HostFFT, InPlaceUsesPaddedRowsAndLargeTransformsRoundTrip) {
    const int nx = 6, ny = 4, nh = nx / 2 + 1;
    std::vector<float> img = test_image(nx, ny), padded((size_t)2 * nh * ny, 0.0f);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) padded[(size_t)y * 2 * nh + x] = img[(size_t)y * nx + x];
    float* d = device_copy(padded);
    cufftHandle p;
    ASSERT_EQ(cufftPlan2d(&p, ny, nx, CUFFT_R2C), CUFFT_SUCCESS);
    ASSERT_EQ(cufftExecR2C(p, d, reinterpret_cast<cufftComplex*>(d)), CUFFT_SUCCESS);
    std::vector<float2> spec = host_copy(reinterpret_cast<float2*>(d), (size_t)nh * ny);
    std::vector<std::complex<double>> want = naive_half_dft(img, nx, ny);
    for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(spec[i].x, want[i].real(), 1e-4);
    cufftDestroy(p);
    cudaFree(d);

    // A transform large enough to run threaded: forward then inverse gives N*x.
    const int big = 640;
    std::vector<float> large = test_image(big, big);
    float* dl = device_copy(large);
    float2* ds = nullptr;
    ASSERT_EQ(cudaMalloc(&ds, (size_t)(big / 2 + 1) * big * sizeof(float2)), cudaSuccess);
    cufftHandle f, b;
    ASSERT_EQ(cufftPlan2d(&f, big, big, CUFFT_R2C), CUFFT_SUCCESS);
    ASSERT_EQ(cufftPlan2d(&b, big, big, CUFFT_C2R), CUFFT_SUCCESS);
    ASSERT_EQ(cufftExecR2C(f, dl, ds), CUFFT_SUCCESS);
    ASSERT_EQ(cufftExecC2R(b, ds, dl), CUFFT_SUCCESS);
    std::vector<float> back = host_copy(dl, large.size());
    double worst = 0;
    for (size_t i = 0; i < large.size(); ++i)
        worst = std::max(worst, std::fabs(back[i] / ((double)big * big) - large[i]));
    EXPECT_LT(worst, 1e-4);
    cufftDestroy(f);
    cufftDestroy(b);
    cudaFree(dl);
    cudaFree(ds);
}

// A batch gives, entry by entry, what single transforms give, in the contiguous layout and in an advanced layout
// that reads overlapping boxes straight out of a larger image, checked against
// the naive DFT; a batch of C2R inverts a batch of R2C.
TEST(HostFFT, BatchedPlansMatchSingleTransformsAndTheNaiveDFT) {
    const int nx = 6, ny = 4, nh = nx / 2 + 1, batch = 3;
    std::vector<float> imgs;
    for (int b = 0; b < batch; ++b) {
        std::vector<float> one = test_image(nx, ny);
        for (float& v : one) v += (float)b;
        imgs.insert(imgs.end(), one.begin(), one.end());
    }
    float* d_imgs = device_copy(imgs);
    float2* d_many = nullptr;
    float2* d_one = nullptr;
    ASSERT_EQ(cudaMalloc(&d_many, (size_t)batch * nh * ny * sizeof(float2)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&d_one, (size_t)nh * ny * sizeof(float2)), cudaSuccess);
    int n[2] = {ny, nx};
    cufftHandle many, one;
    ASSERT_EQ(cufftPlanMany(&many, 2, n, nullptr, 1, 0, nullptr, 1, 0, CUFFT_R2C, batch), CUFFT_SUCCESS);
    ASSERT_EQ(cufftPlan2d(&one, ny, nx, CUFFT_R2C), CUFFT_SUCCESS);
    ASSERT_EQ(cufftExecR2C(many, d_imgs, d_many), CUFFT_SUCCESS);
    const std::vector<float2> all = host_copy(d_many, (size_t)batch * nh * ny);
    for (int b = 0; b < batch; ++b) {
        ASSERT_EQ(cufftExecR2C(one, d_imgs + (size_t)b * nx * ny, d_one), CUFFT_SUCCESS);
        const std::vector<float2> single = host_copy(d_one, (size_t)nh * ny);
        for (size_t i = 0; i < single.size(); ++i) {
            const float2 z = all[(size_t)b * nh * ny + i];
            EXPECT_NEAR(z.x, single[i].x, 1e-5f * (1 + std::fabs(single[i].x))) << "entry " << b << " element " << i;
            EXPECT_NEAR(z.y, single[i].y, 1e-5f * (1 + std::fabs(single[i].y))) << "entry " << b << " element " << i;
        }
    }
    // The inverse batch gives N times every image back.
    cufftHandle inverse;
    ASSERT_EQ(cufftPlanMany(&inverse, 2, n, nullptr, 1, 0, nullptr, 1, 0, CUFFT_C2R, batch), CUFFT_SUCCESS);
    ASSERT_EQ(cufftExecC2R(inverse, d_many, d_imgs), CUFFT_SUCCESS);
    const std::vector<float> back = host_copy(d_imgs, imgs.size());
    for (size_t i = 0; i < imgs.size(); ++i) EXPECT_NEAR(back[i], imgs[i] * nx * ny, 1e-3) << i;

    // Boxes of nx x ny at x = 0, 2, 4 of a 10 x 5 image: idist 2, rows 10 apart.
    const int wide = 10, high = 5;
    const std::vector<float> image = test_image(wide, high);
    float* d_image = device_copy(image);
    int inembed[2] = {high, wide}, onembed[2] = {ny, nh};
    cufftHandle boxes;
    ASSERT_EQ(cufftPlanMany(&boxes, 2, n, inembed, 1, 2, onembed, 1, nh * ny, CUFFT_R2C, batch), CUFFT_SUCCESS);
    ASSERT_EQ(cufftExecR2C(boxes, d_image, d_many), CUFFT_SUCCESS);
    const std::vector<float2> spectra = host_copy(d_many, (size_t)batch * nh * ny);
    for (int b = 0; b < batch; ++b) {
        std::vector<float> box((size_t)nx * ny);
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) box[(size_t)y * nx + x] = image[(size_t)y * wide + 2 * b + x];
        const std::vector<std::complex<double>> want = naive_half_dft(box, nx, ny);
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_NEAR(spectra[(size_t)b * nh * ny + i].x, want[i].real(), 1e-4) << "box " << b << " element " << i;
            EXPECT_NEAR(spectra[(size_t)b * nh * ny + i].y, want[i].imag(), 1e-4) << "box " << b << " element " << i;
        }
    }
    // The last box must lie inside the input array, as on a GPU.
    cufftHandle too_many;
    ASSERT_EQ(cufftPlanMany(&too_many, 2, n, inembed, 1, 2, onembed, 1, nh * ny, CUFFT_R2C, batch + 1),
              CUFFT_SUCCESS);
    EXPECT_EQ(cufftExecR2C(too_many, d_image, d_many), CUFFT_INVALID_VALUE);
    int bad[2] = {0, nx};
    EXPECT_EQ(cufftPlanMany(&too_many, 2, bad, nullptr, 1, 0, nullptr, 1, 0, CUFFT_R2C, 1), CUFFT_INVALID_SIZE);
    EXPECT_EQ(cufftPlanMany(&too_many, 2, n, nullptr, 1, 0, nullptr, 1, 0, CUFFT_R2C, 0), CUFFT_INVALID_VALUE);
    for (cufftHandle h : {many, one, inverse, boxes, too_many}) EXPECT_EQ(cufftDestroy(h), CUFFT_SUCCESS);
    cudaFree(d_imgs);
    cudaFree(d_many);
    cudaFree(d_one);
    cudaFree(d_image);
}

TEST(HostFFT, RejectsWhatAGPUWouldReject) {
    cufftHandle p;
    EXPECT_EQ(cufftPlan2d(&p, 4, 4, CUFFT_C2C), CUFFT_INVALID_TYPE);
    EXPECT_EQ(cufftPlan2d(&p, 0, 4, CUFFT_R2C), CUFFT_INVALID_SIZE);
    ASSERT_EQ(cufftPlan2d(&p, 4, 4, CUFFT_R2C), CUFFT_SUCCESS);
    std::vector<float> host(16, 0.0f);
    std::vector<float2> host_spec(12);
    EXPECT_NE(cufftExecR2C(p, host.data(), host_spec.data()), CUFFT_SUCCESS) << "host arrays";
    float* small = nullptr;
    float2* spec = nullptr;
    ASSERT_EQ(cudaMalloc(&small, 15 * sizeof(float)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&spec, 12 * sizeof(float2)), cudaSuccess);
    EXPECT_NE(cufftExecR2C(p, small, spec), CUFFT_SUCCESS) << "input shorter than the transform";
    EXPECT_EQ(cufftExecC2R(p, spec, small), CUFFT_INVALID_TYPE);
    EXPECT_EQ(cufftDestroy(p), CUFFT_SUCCESS);
    EXPECT_EQ(cufftDestroy(p), CUFFT_INVALID_PLAN);
    EXPECT_EQ(cufftExecR2C(p, small, spec), CUFFT_INVALID_PLAN);
    cudaFree(small);
    cudaFree(spec);
}

// ---- random numbers ----

TEST(HostRandom, UniformInHalfOpenUnitIntervalAndNormalInPairs) {
    curandGenerator_t g;
    ASSERT_EQ(curandCreateGenerator(&g, CURAND_RNG_PSEUDO_MTGP32), CURAND_STATUS_SUCCESS);
    ASSERT_EQ(curandSetPseudoRandomGeneratorSeed(g, 1234ULL), CURAND_STATUS_SUCCESS);
    const size_t n = 100000;
    float* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, n * sizeof(float)), cudaSuccess);
    ASSERT_EQ(curandGenerateUniform(g, d, n), CURAND_STATUS_SUCCESS);
    std::vector<float> u = host_copy(d, n);
    double sum = 0;
    for (float v : u) {
        ASSERT_GT(v, 0.0f);
        ASSERT_LE(v, 1.0f);
        sum += v;
    }
    EXPECT_NEAR(sum / n, 0.5, 0.01);

    ASSERT_EQ(curandGenerateNormal(g, d, n, 3.0f, 2.0f), CURAND_STATUS_SUCCESS);
    std::vector<float> z = host_copy(d, n);
    double m = 0, s = 0;
    for (float v : z) m += v;
    m /= n;
    for (float v : z) s += (v - m) * (v - m);
    EXPECT_NEAR(m, 3.0, 0.05);
    EXPECT_NEAR(std::sqrt(s / n), 2.0, 0.05);
    EXPECT_EQ(curandGenerateNormal(g, d, 7, 0.0f, 1.0f), CURAND_STATUS_LENGTH_NOT_MULTIPLE);
    std::vector<float> host(8);
    EXPECT_NE(curandGenerateUniform(g, host.data(), 8), CURAND_STATUS_SUCCESS) << "host output";
    EXPECT_EQ(curandDestroyGenerator(g), CURAND_STATUS_SUCCESS);
    cudaFree(d);
}

TEST(HostRandom, SameSeedSameStream) {
    float* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 64 * sizeof(float)), cudaSuccess);
    std::vector<float> runs[2];
    for (auto& r : runs) {
        curandGenerator_t g;
        ASSERT_EQ(curandCreateGenerator(&g, CURAND_RNG_PSEUDO_MTGP32), CURAND_STATUS_SUCCESS);
        curandSetPseudoRandomGeneratorSeed(g, 99ULL);
        curandGenerateUniform(g, d, 64);
        r = host_copy(d, 64);
        curandDestroyGenerator(g);
    }
    EXPECT_EQ(runs[0], runs[1]);
    cudaFree(d);
}

// ---- vector sum stand-in ----

TEST(VectorSum, MatchesDoubleSumAcrossBlockBoundaries) {
    for (int n : {1, 255, 256, 257, 65536, 65537, 300001}) {
        std::vector<float> h(n);
        double want = 0;
        for (int i = 0; i < n; ++i) want += (h[i] = (float)(((long long)i * 7919) % 1000) * 0.001f);
        float* d = device_copy(h);
        int bytes = 0;
        ASSERT_EQ(nppsSumGetBufferSize_32f(n, &bytes), NPP_SUCCESS);
        Npp8u* scratch = nullptr;
        float* sum = nullptr;
        ASSERT_EQ(cudaMalloc(&scratch, bytes), cudaSuccess);
        ASSERT_EQ(cudaMalloc(&sum, sizeof(float)), cudaSuccess);
        ASSERT_EQ(nppsSum_32f(d, n, sum, scratch), NPP_SUCCESS);
        EXPECT_NEAR(host_copy(sum, 1)[0], want, 1e-5 * std::max(1.0, want)) << "n = " << n;
        cudaFree(d);
        cudaFree(scratch);
        cudaFree(sum);
    }
}

}  // namespace
