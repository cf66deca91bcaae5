// The host backend's runtime: memory registry and budget, copies, fills, device
// queries and the launch error state.
#include "host_backend.h"

#include <sys/mman.h>
#include <unistd.h>
#if defined(_OPENMP)
#include <omp.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>


// Idle OpenMP threads wait passively unless the user chose a policy: a thread
// spinning between kernels takes its core from every other process (ctest -j,
// a second estimator, a build). The OpenMP runtime reads its environment once,
// while it is loaded, and offers no call to change the policy later; an
// environment set before that is undone by the C library's own start-up. So when
// neither OMP_WAIT_POLICY nor GOMP_SPINCOUNT is set, the program starts itself
// again, at once, with OMP_WAIT_POLICY=passive added (from the executable's
// pre-initialisers, before any library or constructor has run). Should that
// fail, it runs on with the runtime's default. (Built without OpenMP, as the
// fuzz targets are, there are no threads to wait.)
#if defined(_OPENMP)
namespace {
bool environment_has(char** envp, const char* name) {
    const size_t len = std::strlen(name);
    for (char** e = envp; *e; ++e)
        if (std::strncmp(*e, name, len) == 0 && (*e)[len] == '=') return true;
    return false;
}

void default_to_passive_waiting(int, char** argv, char** envp) {
    if (!envp || environment_has(envp, "OMP_WAIT_POLICY") || environment_has(envp, "GOMP_SPINCOUNT")) return;
    size_t n = 0;
    while (envp[n]) ++n;
    std::vector<char*> env(envp, envp + n);
    env.push_back(const_cast<char*>("OMP_WAIT_POLICY=passive"));
    env.push_back(nullptr);
    // By its own path, not the /proc link: the process keeps its name (ps, top and
    // pkill know it by the file it was started from, which would be "exe").
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (len > 0) {
        self[len] = '\0';
        execve(self, argv, env.data());
    }
    execve("/proc/self/exe", argv, env.data());
}
__attribute__((section(".preinit_array"), used)) void (*const preinit_wait_policy)(int, char**, char**) =
    default_to_passive_waiting;
}  // namespace
#endif

namespace vorn_host {
namespace {

struct Block {
    size_t bytes;
    bool managed;
};

std::mutex registry_lock;
std::map<uintptr_t, Block> live_blocks;  // keyed by base address
size_t allocated_bytes = 0;
size_t budget_bytes = 0;                 // 0: not yet read from the machine
bool fail_next = false;

cudaError_t last_error = cudaSuccess;    // cudaGetLastError
cudaError_t sync_error = cudaSuccess;    // faults that a GPU reports at synchronisation
std::mutex error_lock;

thread_local std::vector<unsigned char> shared_buffer;

size_t physical_memory() {
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return (pages > 0 && page > 0) ? (size_t)pages * (size_t)page : (size_t)8 << 30;
}

size_t budget_locked() {
    if (budget_bytes == 0) budget_bytes = physical_memory();
    return budget_bytes;
}

// The live block holding p, or live_blocks.end(); registry_lock must be held.
std::map<uintptr_t, Block>::const_iterator find_block(const void* p) {
    uintptr_t a = (uintptr_t)p;
    auto it = live_blocks.upper_bound(a);
    if (it == live_blocks.begin()) return live_blocks.end();
    --it;
    return (a < it->first + it->second.bytes) ? it : live_blocks.end();
}

// f(offset, length) over the 1 MiB slices of bytes, shared by the OpenMP
// threads from 8 MiB on: one core alone moves memory at a fraction of the
// machine's bandwidth.
template <class F>
void by_slices(size_t bytes, F f) {
    constexpr size_t slice = (size_t)1 << 20;
    const long long slices = (long long)((bytes + slice - 1) / slice);
#pragma omp parallel for schedule(static) if (bytes >= 8 * slice && host_thread_count() > 1)
    for (long long i = 0; i < slices; ++i) {
        const size_t at = (size_t)i * slice;
        f(at, std::min(slice, bytes - at));
    }
}

// Copies between ranges that do not overlap share the threads (a micrograph's
// 64 MiB); overlapping ones are moved in one piece.
void copy_bytes(void* dst, const void* src, size_t bytes) {
    const uintptr_t d = (uintptr_t)dst, s = (uintptr_t)src;
    if (d < s + bytes && s < d + bytes) {
        std::memmove(dst, src, bytes);
        return;
    }
    by_slices(bytes, [&](size_t at, size_t n) { std::memcpy((char*)dst + at, (const char*)src + at, n); });
}

// In test and sanitizer builds (VORN_FRESH_MEMORY_NAN) fresh device memory is
// not zero: it is filled with NaN bytes so code that relies on zeroed
// allocations shows up in the tests. The fill is where a large block's pages
// are first touched, and those page faults, not the stores, are its cost: the
// OpenMP threads share them. Optimised builds skip it, a pass over every block
// that the program's own first writes make anyway.
void fill_with_nan_bytes(void* p, size_t bytes) {
#if defined(VORN_FRESH_MEMORY_NAN)
    by_slices(bytes, [&](size_t at, size_t n) { std::memset((char*)p + at, 0xff, n); });
#else
    (void)p;
    (void)bytes;
#endif
}

// Blocks of a few MiB (a micrograph, a batch of spectra) start on a 2 MiB
// boundary and ask for transparent huge pages where the system offers them on
// request: their first touch then takes a page fault per 2 MiB rather than per
// 4 KiB (16 thousand for a 4096 x 4096 micrograph). Others align like a GPU
// allocation.
constexpr size_t HUGE_PAGE = (size_t)2 << 20;
size_t block_alignment(size_t bytes) { return bytes >= 2 * HUGE_PAGE ? HUGE_PAGE : 256; }
void ask_for_huge_pages(void* p, size_t bytes) {
#if defined(MADV_HUGEPAGE)
    if (bytes >= 2 * HUGE_PAGE) madvise(p, bytes & ~(HUGE_PAGE - 1), MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

cudaError_t allocate(void** ptr, size_t bytes, bool managed) {
    if (ptr == nullptr) return cudaErrorInvalidValue;
    *ptr = nullptr;
    std::lock_guard<std::mutex> g(registry_lock);
    if (fail_next) {
        fail_next = false;
        return cudaErrorMemoryAllocation;
    }
    // A GPU hands out no managed block of 0 bytes; a plain one comes back null.
    if (bytes == 0) return managed ? cudaErrorInvalidValue : cudaSuccess;
    if (bytes > budget_locked() - allocated_bytes) return cudaErrorMemoryAllocation;
    // Aligned like a GPU allocation but exactly as long as asked, so that the
    // sanitizers see a kernel that runs past the end of its array.
    void* p = nullptr;
    if (posix_memalign(&p, block_alignment(bytes), bytes) != 0) return cudaErrorMemoryAllocation;
    ask_for_huge_pages(p, bytes);
    fill_with_nan_bytes(p, bytes);
    live_blocks[(uintptr_t)p] = Block{bytes, managed};
    allocated_bytes += bytes;
    *ptr = p;
    return cudaSuccess;
}

bool host_side(const void* p) {
    std::lock_guard<std::mutex> g(registry_lock);
    return find_block(p) == live_blocks.end();
}

}  // namespace

void set_device_memory_budget(size_t bytes) {
    std::lock_guard<std::mutex> g(registry_lock);
    budget_bytes = bytes ? bytes : physical_memory();
}

size_t device_memory_budget() {
    std::lock_guard<std::mutex> g(registry_lock);
    return budget_locked();
}

bool fresh_memory_is_nan() {
#if defined(VORN_FRESH_MEMORY_NAN)
    return true;
#else
    return false;
#endif
}

void fail_next_allocation() {
    std::lock_guard<std::mutex> g(registry_lock);
    fail_next = true;
}

bool device_range_ok(const void* p, size_t bytes) {
    if (p == nullptr) return false;
    std::lock_guard<std::mutex> g(registry_lock);
    auto it = find_block(p);
    if (it == live_blocks.end()) return false;
    return bytes <= it->first + it->second.bytes - (uintptr_t)p;
}

bool device_pointer_ok(const void* p) {
    if (p == nullptr) return true;
    std::lock_guard<std::mutex> g(registry_lock);
    return find_block(p) != live_blocks.end();
}

void record_error(cudaError_t error, bool reported_by_sync) {
    std::lock_guard<std::mutex> g(error_lock);
    last_error = error;
    if (reported_by_sync) sync_error = error;
}

// The OpenMP thread count (OMP_NUM_THREADS or omp_set_num_threads), so that every
// part of the backend, FFTs included, uses the threads the user gave it.
unsigned int host_thread_count() {
#if defined(_OPENMP)
    return (unsigned int)std::max(1, omp_get_max_threads());
#else
    return 1;
#endif
}

bool launch_config_ok(dim3 grid, dim3 block, size_t shared_bytes) {
    const unsigned long long threads = (unsigned long long)block.x * block.y * block.z;
    const bool ok = grid.x >= 1 && grid.y >= 1 && grid.z >= 1 && grid.x <= 2147483647u && grid.y <= 65535 &&
                    grid.z <= 65535 && block.x >= 1 && block.y >= 1 && block.z >= 1 && block.x <= 1024 &&
                    block.y <= 1024 && block.z <= 64 && threads <= 1024 && shared_bytes <= 48 * 1024;
    if (!ok) record_error(cudaErrorInvalidConfiguration, false);
    return ok;
}

void prepare_block_shared_memory(size_t bytes) {
    if (shared_buffer.size() < bytes) shared_buffer.resize(bytes);
    std::memset(shared_buffer.data(), 0xff, bytes);  // shared memory starts undefined
}

void* block_shared_memory() { return shared_buffer.data(); }

}  // namespace vorn_host

using namespace vorn_host;

cudaError_t cudaGetDeviceCount(int* count) {
    if (count == nullptr) return cudaErrorInvalidValue;
    *count = 1;
    return cudaSuccess;
}

static std::string cpu_model_name() {
    FILE* f = std::fopen("/proc/cpuinfo", "r");
    std::string name = "host CPU";
    if (f == nullptr) return name;
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "model name", 10) != 0) continue;
        const char* colon = std::strchr(line, ':');
        if (colon == nullptr) break;
        name = colon + 1;
        while (!name.empty() && (name[0] == ' ' || name[0] == '\t')) name.erase(0, 1);
        while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
        break;
    }
    std::fclose(f);
    return name;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    if (prop == nullptr) return cudaErrorInvalidValue;
    if (device != 0) return cudaErrorInvalidDevice;
    std::memset(prop, 0, sizeof *prop);
    std::snprintf(prop->name, sizeof prop->name, "%s", cpu_model_name().c_str());
    prop->totalGlobalMem = device_memory_budget();
    prop->sharedMemPerBlock = 48 * 1024;
    prop->warpSize = 32;
    prop->maxThreadsPerBlock = 1024;
    prop->maxThreadsDim[0] = prop->maxThreadsDim[1] = 1024;
    prop->maxThreadsDim[2] = 64;
    prop->maxGridSize[0] = 2147483647;
    prop->maxGridSize[1] = prop->maxGridSize[2] = 65535;
    prop->major = 8;  // reported as a compute-capable device so selection logic treats it as one
    prop->minor = 0;
    prop->multiProcessorCount = (int)host_thread_count();
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) { return device == 0 ? cudaSuccess : cudaErrorInvalidDevice; }

cudaError_t cudaGetDevice(int* device) {
    if (device == nullptr) return cudaErrorInvalidValue;
    *device = 0;
    return cudaSuccess;
}

// Reads an error slot and clears it.
static cudaError_t take_error(cudaError_t& slot) {
    std::lock_guard<std::mutex> g(error_lock);
    cudaError_t e = slot;
    slot = cudaSuccess;
    return e;
}

cudaError_t cudaDeviceSynchronize() { return take_error(sync_error); }

cudaError_t cudaDeviceReset() {
    std::lock_guard<std::mutex> g(error_lock);
    last_error = sync_error = cudaSuccess;
    return cudaSuccess;
}

cudaError_t cudaGetLastError() { return take_error(last_error); }

cudaError_t cudaPeekAtLastError() {
    std::lock_guard<std::mutex> g(error_lock);
    return last_error;
}

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInitializationError: return "initialization error";
        case cudaErrorInvalidConfiguration: return "invalid configuration argument";
        case cudaErrorInvalidDevicePointer: return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
    }
    return "unrecognized error code";
}

cudaError_t cudaMalloc(void** ptr, size_t bytes) { return allocate(ptr, bytes, false); }

cudaError_t cudaMallocManaged(void** ptr, size_t bytes, unsigned int flags) {
    if (flags != cudaMemAttachGlobal && flags != cudaMemAttachHost) return cudaErrorInvalidValue;
    return allocate(ptr, bytes, true);
}

cudaError_t cudaFree(void* ptr) {
    if (ptr == nullptr) return cudaSuccess;
    std::lock_guard<std::mutex> g(registry_lock);
    auto it = live_blocks.find((uintptr_t)ptr);
    if (it == live_blocks.end()) return cudaErrorInvalidValue;
    allocated_bytes -= it->second.bytes;
    live_blocks.erase(it);
    std::free(ptr);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
    if (bytes == 0) return cudaSuccess;
    if (dst == nullptr || src == nullptr) return cudaErrorInvalidValue;
    bool dst_device, src_device;
    switch (kind) {
        case cudaMemcpyHostToHost: dst_device = src_device = false; break;
        case cudaMemcpyHostToDevice: dst_device = true, src_device = false; break;
        case cudaMemcpyDeviceToHost: dst_device = false, src_device = true; break;
        case cudaMemcpyDeviceToDevice: dst_device = src_device = true; break;
        case cudaMemcpyDefault:
            dst_device = !host_side(dst);
            src_device = !host_side(src);
            break;
        default: return cudaErrorInvalidMemcpyDirection;
    }
    if ((dst_device && !device_range_ok(dst, bytes)) || (src_device && !device_range_ok(src, bytes)))
        return cudaErrorInvalidValue;
    copy_bytes(dst, src, bytes);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, size_t bytes) {
    if (bytes == 0) return cudaSuccess;
    if (!device_range_ok(ptr, bytes)) return cudaErrorInvalidValue;
    std::memset(ptr, value, bytes);
    return cudaSuccess;
}

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes) {
    if (free_bytes == nullptr || total_bytes == nullptr) return cudaErrorInvalidValue;
    std::lock_guard<std::mutex> g(registry_lock);
    *total_bytes = budget_locked();
    *free_bytes = *total_bytes - allocated_bytes;
    return cudaSuccess;
}
