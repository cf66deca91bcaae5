// GPU selection, checked device memory, fills, copies and the shared
// command-line helpers.
#define VORN_UNIT "src/cuda_general"
#include "cuda_general.h"
#include "gpu_launch.h"

#include <ctype.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

// ---- check lines ----

void gpu_error_exit(const char* text, int line, const char* file) {
    std::fprintf(stderr, "Error %s at line %d in file %s\n", text, line, file);
    std::exit(1);
}

static const char* const cufft_status_texts[16] = {
    "CUFFT_SUCCESS, cuFFT operation was successful",
    "CUFFT_INVALID_PLAN, cuFFT was passed an invalid plan handle",
    "CUFFT_ALLOC_FAILED, cuFFT failed to allocate GPU or CPU memory",
    "CUFFT_INVALID_TYPE",
    "CUFFT_INVALID_VALUE, An invalid pointer or parameter has been specified",
    "CUFFT_INTERNAL_ERROR, Driver or internal cuFFT library error",
    "CUFFT_EXEC_FAILED, Failed to execute an FFT on the GPU",
    "CUFFT_SETUP_FAILED, The cuFFT library failed to initialize",
    "CUFFT_INVALID_SIZE, User specified an invalid transform size",
    "CUFFT_UNALIGNED_DATA",
    "CUFFT_INCOMPLETE_PARAMETER_LIST,  Missing parameters in call",
    "CUFFT_INVALID_DEVICE, Execution of a plan was on different GPU than plan creation",
    "CUFFT_PARSE_ERROR,  Internal plan database error",
    "CUFFT_NO_WORKSPACE, No workspace has been provided prior to plan execution",
    "CUFFT_NOT_IMPLEMENTED, Function does not implement functionality for parameters given.",
    "CUFFT_LICENSE_ERROR, Used in previous versions.",
};

const char* cufft_error_text(int status) {
    return (unsigned int)status <= 15u ? cufft_status_texts[status] : "Unknown error";
}

const char* cuRAND_GetErrorString(curandStatus_t status) {
    switch ((int)status) {
        case 0: return "CURAND_STATUS_SUCCESS, cuRAND operation was successful";
        case 100: return "CURAND_STATUS_VERSION_MISMATCH, Header file and linked library version do not match";
        case 101: return "CURAND_STATUS_NOT_INITIALIZED, Generator not initialized";
        case 102: return "CURAND_STATUS_ALLOCATION_FAILED, Memory allocation failed";
        case 103: return "CURAND_STATUS_TYPE_ERROR, Generator is wrong type";
        case 104: return "CURAND_STATUS_OUT_OF_RANGE, Argument out of range";
        case 105: return "CURAND_STATUS_LENGTH_NOT_MULTIPLE, Length requested is not a multiple of dimension";
        case 106: return "CURAND_STATUS_DOUBLE_PRECISION_REQUIRED, GPU does not have double precision required by MRG32k3a";
        case 201: return "CURAND_STATUS_LAUNCH_FAILURE, Kernel launch failure";
        case 202: return "CURAND_STATUS_PREEXISTING_FAILURE, Preexisting failure on library entry";
        case 203: return "CURAND_STATUS_INITIALIZATION_FAILED, Initialization of CUDA failed";
        case 204: return "CURAND_STATUS_ARCH_MISMATCH, Architecture mismatch, GPU does not support requested feature";
        case 999: return "CURAND_STATUS_INTERNAL_ERROR, Internal library error";
    }
    return "Unknown error";
}

// ---- device memory ----

int safe_cudaMalloc(void** p, size_t bytes) {
    if (cudaMalloc(p, bytes) != cudaSuccess) VORN_FATAL("Device memory allocation failed");
    return 0;
}

int safe_cudaMalloc_empty(void** p, size_t bytes) {
    safe_cudaMalloc(p, bytes);
    CUDA_CHECK(cudaMemset(*p, 0, bytes));
    return 0;
}

cudaError_t cudaMalloc_empty(void** p, size_t bytes) {
    cudaError_t status = cudaMalloc(p, bytes);
    if (status != cudaSuccess) return status;
    CUDA_CHECK(cudaMemset(*p, 0, bytes));
    return cudaSuccess;
}

void hcuda_empty(void* d, size_t bytes) { CUDA_CHECK(cudaMemset(d, 0, bytes)); }
void hcuda_empty_f32(float* d, size_t n) { CUDA_CHECK(cudaMemset(d, 0, n * sizeof(float))); }
void hcuda_empty_f64(double* d, size_t n) { CUDA_CHECK(cudaMemset(d, 0, n * sizeof(double))); }

cudaError_t memcpy_H2D(void* dst, const void* src, size_t bytes) {
    return cudaMemcpy(dst, src, bytes, cudaMemcpyHostToDevice);
}
cudaError_t memcpy_D2H(void* dst, const void* src, size_t bytes) {
    return cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost);
}
cudaError_t memcpy_D2D(void* dst, const void* src, size_t bytes) {
    return cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToDevice);
}

// ---- value fills ----

template <class T>
__device__ __forceinline__ void fill_element(T* d, T v, size_t n) {
    const size_t i = (size_t)blockIdx.x * blockDim.x + threadIdx.x;  // 64-bit: no wrap past 2^31 elements
    if (i < n) d[i] = v;
}
__global__ void cuda_memset_int(int* d, int v, size_t n) { fill_element(d, v, n); }
__global__ void cuda_memset_uint(unsigned int* d, unsigned int v, size_t n) { fill_element(d, v, n); }
__global__ void cuda_memset_f32(float* d, float v, size_t n) { fill_element(d, v, n); }
__global__ void cuda_memset_f64(double* d, double v, size_t n) { fill_element(d, v, n); }

void hcuda_memset_int(int* d, int v, size_t n) { gpu_launch_1d<cuda_memset_int>(GPU_SITE, n, d, v, n); }
void hcuda_memset_uint(unsigned int* d, unsigned int v, size_t n) { gpu_launch_1d<cuda_memset_uint>(GPU_SITE, n, d, v, n); }
void hcuda_memset_f32(float* d, float v, size_t n) { gpu_launch_1d<cuda_memset_f32>(GPU_SITE, n, d, v, n); }
void hcuda_memset_f64(double* d, double v, size_t n) { gpu_launch_1d<cuda_memset_f64>(GPU_SITE, n, d, v, n); }

template <class T>
static void host_fill(T* p, size_t n, T v) {
    for (size_t i = 0; i < n; ++i) p[i] = v;
}
void cpu_memset_f32(float* p, size_t n, float v) { host_fill(p, n, v); }
void cpu_memset_f64(double* p, size_t n, double v) { host_fill(p, n, v); }
void cpu_memset_int(int* p, size_t n, int v) { host_fill(p, n, v); }
void cpu_memset_uint(unsigned int* p, size_t n, unsigned int v) { host_fill(p, n, v); }

// ---- GPU selection and report ----

int check_and_set_gid(int gid) {
    int count = 0;
    CUDA_CHECK(cudaGetDeviceCount(&count));
    if (count == 0) VORN_FATAL("Warning: no GPU device found!\n");
    cudaDeviceProp prop;
    if (cudaGetDeviceProperties(&prop, gid) != cudaSuccess) VORN_FATAL("Warning: no GPU device found!\n");
    CUDA_CHECK(cudaSetDevice(gid));
    std::printf("using GPU %d ...\n", gid);
    return 0;
}

int check_gid(int gid) {
    int count = 0;
    cudaGetDeviceCount(&count);
    if (count == 0) VORN_FATAL("Warning: no GPU device found!\n");
    cudaDeviceProp prop;
    if (cudaGetDeviceProperties(&prop, gid) != cudaSuccess) VORN_FATAL("Warning: GPU device problem!\n");
    // The device checked is the one the caller's GPU work must run on.
    CUDA_CHECK(cudaSetDevice(gid));
    std::printf("using GPU %d ...\n", gid);
    return 0;
}

int auto_check_and_set_gid(int& gid) {
    int count = 0;
    cudaGetDeviceCount(&count);
    if (count == 0) VORN_FATAL("Warning: no GPU device found!\n");
    cudaDeviceProp prop;
    if (cudaGetDeviceProperties(&prop, gid) == cudaSuccess) {
        cudaSetDevice(gid);
        return 0;
    }
    int best = -1, best_major = 0, best_minor = 0;
    for (int d = 0; d < count; ++d) {
        if (cudaGetDeviceProperties(&prop, d) != cudaSuccess) continue;
        if (prop.major > best_major || (prop.major == best_major && prop.minor > best_minor)) {
            best = d;
            best_major = prop.major;
            best_minor = prop.minor;
        }
    }
    if (best < 0) {
        cudaSetDevice(gid);
        VORN_FATAL("Warning: Cannot find alternative GPU device!\n");
    }
    gid = best;
    cudaSetDevice(gid);
    return 0;
}

void gpu_report_memory() {
    size_t free_bytes = 0, total_bytes = 0;
    cudaError_t status = cudaMemGetInfo(&free_bytes, &total_bytes);
    if (status != cudaSuccess) {
        std::printf("Error: cudaMemGetInfo fails, %s \n", cudaGetErrorString(status));
        VORN_FATAL("Device memory, cudaMemGetInfo failed");
    }
    const double mb = 1024.0 * 1024.0;
    std::printf("GPU memory usage:  total = %f MB, used = %f, free = %f MB\n", (double)total_bytes / mb,
                (double)(total_bytes - free_bytes) / mb, (double)free_bytes / mb);
}

// ---- command-line helpers ----

// A word that is an integer as a whole: optional sign, then at least one digit.
static bool is_integer_word(const char* w) {
    if (*w == '+' || *w == '-') ++w;
    if (!isdigit((unsigned char)*w)) return false;
    while (isdigit((unsigned char)*w)) ++w;
    return *w == '\0';
}

int get_bool_keyword(int argc, char** argv, int& value, int& i) {
    if (i >= argc - 1) {
        value = 1;
        return 0;
    }
    const char* w = argv[i + 1];
    if (w[0] == '-' || isalpha((unsigned char)w[0])) {
        value = 1;
        return 0;
    }
    // Any other word is the option's number. A word that is not an integer
    // (say a file name beginning with '.' or '/') is still taken, but said aloud.
    if (!is_integer_word(w))
        VORN_WARNING("option %s takes '%s' as its on/off value, which is not an integer; read as %d\n\033[m",
                     argv[i], w, (int)std::strtol(w, nullptr, 10) != 0);
    ++i;
    value = (int)std::strtol(w, nullptr, 10) != 0 ? 1 : 0;
    return 0;
}

int check_file_access(char* path, const char* modes) {
    for (const char* m = modes; *m; ++m) {
        const char letter = (char)(*m & ~0x20);
        const char* what;
        int how;
        switch (letter) {
            case 'F': what = "does NOT exist"; how = F_OK; break;
            case 'R': what = "are NOT readable"; how = R_OK; break;
            case 'W': what = "are NOT writable"; how = W_OK; break;
            case 'X': what = "are NOT executable"; how = X_OK; break;
            default:
                std::printf("\033[43m\033[1m\033[5mError in function %s(), file %s on line %d:  the mode '%c' for "
                            "checking access of file %s are NOT recoganized!\033[m\n\n",
                            __func__, VORN_UNIT, __LINE__, *m, path);
                return -1;
        }
        if (access(path, how) != 0) {
            VORN_WARNING_EMPH("the file %s %s! Automatically ignored!", path, what);
            return -1;
        }
    }
    return 0;
}
