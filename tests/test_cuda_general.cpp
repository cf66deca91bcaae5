// GPU selection, checked memory, fills, the check lines and the shared
// command-line helpers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#define VORN_UNIT "tests/cuda_general"
#include "cuda_general.h"

namespace {

// Death-test statements print their stdout lines onto stderr so the regex sees them.
#define STDOUT_TO_STDERR() dup2(2, 1)

class CudaGeneralDeath : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST(Fill, DeviceFillStopsAtN) {
    const size_t n = 1025;  // two blocks of 1024
    float* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 1100 * sizeof(float)), cudaSuccess);
    hcuda_empty_f32(d, 1100);
    hcuda_memset_f32(d, 2.5f, n);
    std::vector<float> h(1100);
    memcpy_D2H(h.data(), d, h.size() * sizeof(float));
    for (size_t i = 0; i < h.size(); ++i) ASSERT_EQ(h[i], i < n ? 2.5f : 0.0f) << i;
    hcuda_memset_f32(d, 9.0f, 0);  // nothing to do, and no launch error
    cudaFree(d);
}

TEST(Fill, EveryElementTypeDeviceAndHost) {
    int* di = nullptr;
    unsigned* du = nullptr;
    double* dd = nullptr;
    ASSERT_EQ(cudaMalloc(&di, 3 * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&du, 3 * sizeof(unsigned)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&dd, 3 * sizeof(double)), cudaSuccess);
    hcuda_memset_int(di, -7, 3);
    hcuda_memset_uint(du, 4000000000u, 3);
    hcuda_memset_f64(dd, 0.125, 3);
    int hi[3];
    unsigned hu[3];
    double hd[3];
    memcpy_D2H(hi, di, sizeof hi);
    memcpy_D2H(hu, du, sizeof hu);
    memcpy_D2H(hd, dd, sizeof hd);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(hi[k], -7);
        EXPECT_EQ(hu[k], 4000000000u);
        EXPECT_EQ(hd[k], 0.125);
    }
    hcuda_empty_f64(dd, 3);
    memcpy_D2H(hd, dd, sizeof hd);
    EXPECT_EQ(hd[2], 0.0);
    cudaFree_many_pointers(di, du, dd, nullptr);

    float hf[4];
    cpu_memset_f32(hf, 3, 1.5f);
    hf[3] = 0;
    EXPECT_EQ(hf[2], 1.5f);
    EXPECT_EQ(hf[3], 0.0f);
    cpu_memset_int(hi, 3, 4);
    cpu_memset_uint(hu, 3, 5u);
    cpu_memset_f64(hd, 3, -1.0);
    EXPECT_EQ(hi[2] + (int)hu[2] + (int)hd[2], 8);
}

TEST(Memory, EmptyAllocationsAreZeroAndFailuresReturnTheStatus) {
    float* d = nullptr;
    ASSERT_EQ(cudaMalloc_empty((void**)&d, 64 * sizeof(float)), cudaSuccess);
    std::vector<float> h(64, 1.0f);
    memcpy_D2H(h.data(), d, 64 * sizeof(float));
    for (float v : h) ASSERT_EQ(v, 0.0f);
    cudaFree(d);
    vorn_host::fail_next_allocation();
    EXPECT_EQ(cudaMalloc_empty((void**)&d, 64), cudaErrorMemoryAllocation);

    float *a = nullptr, *b = nullptr;
    cuda_malloc_many_pointers<float>(10, &a, &b, (float**)nullptr);
    a[9] = b[9] = 1.0f;  // managed: usable from the host
    cudaFree_many_pointers(a, b, nullptr);
}

TEST(Memory, CopiesReturnTheRuntimeStatus) {
    float* d = nullptr;
    safe_cudaMalloc_empty((void**)&d, 8 * sizeof(float));
    float h[8] = {1, 2, 3, 4, 5, 6, 7, 8}, back[8] = {};
    EXPECT_EQ(memcpy_H2D(d, h, sizeof h), cudaSuccess);
    EXPECT_EQ(memcpy_D2D(d + 4, d, 4 * sizeof(float)), cudaSuccess);
    EXPECT_EQ(memcpy_D2H(back, d, sizeof back), cudaSuccess);
    EXPECT_EQ(back[6], 3.0f);
    EXPECT_EQ(memcpy_D2H(back, h, 4), cudaErrorInvalidValue);
    cudaFree(d);
}

TEST_F(CudaGeneralDeath, FailedAllocationEndsWithTheFatalLine) {
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            vorn_host::fail_next_allocation();
            void* p;
            safe_cudaMalloc(&p, 16);
        },
        ::testing::ExitedWithCode(1),
        "\\[41mError in function safe_cudaMalloc\\(\\), file src/cuda_general on line [0-9]+: Device memory "
        "allocation failed! Exit now!");
}

TEST_F(CudaGeneralDeath, GpuCheckLineNamesTextLineAndFile) {
    EXPECT_EXIT(CUDA_CHECK(cudaFree((void*)0x10)), ::testing::ExitedWithCode(1),
                "^Error invalid argument at line [0-9]+ in file tests/cuda_general\n");
    EXPECT_EXIT(CUFFT_CHECK(16), ::testing::ExitedWithCode(1), "^Error Unknown error at line");
    EXPECT_EXIT(CUFFT_CHECK(CUFFT_INVALID_SIZE), ::testing::ExitedWithCode(1),
                "^Error CUFFT_INVALID_SIZE, User specified an invalid transform size at line");
    EXPECT_EXIT(CURAND_CHECK(CURAND_STATUS_LENGTH_NOT_MULTIPLE), ::testing::ExitedWithCode(1),
                "^Error CURAND_STATUS_LENGTH_NOT_MULTIPLE, Length requested is not a multiple of dimension at");
}

TEST(StatusTexts, TablesAndUnknownCodes) {
    EXPECT_STREQ(cufft_error_text(0), "CUFFT_SUCCESS, cuFFT operation was successful");
    EXPECT_STREQ(cufft_error_text(15), "CUFFT_LICENSE_ERROR, Used in previous versions.");
    EXPECT_STREQ(cufft_error_text(16), "Unknown error");
    EXPECT_STREQ(cufft_error_text(-1), "Unknown error");
    EXPECT_STREQ(cuRAND_GetErrorString(CURAND_STATUS_INTERNAL_ERROR), "CURAND_STATUS_INTERNAL_ERROR, Internal library error");
    EXPECT_STREQ(cuRAND_GetErrorString((curandStatus_t)107), "Unknown error");
}

TEST_F(CudaGeneralDeath, DeviceSelection) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_and_set_gid(0), 0);
    EXPECT_EQ(check_gid(0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "using GPU 0 ...\nusing GPU 0 ...\n");
    // An index equal to the device count is "no device", not "device problem".
    EXPECT_EXIT({ STDOUT_TO_STDERR(); check_and_set_gid(1); }, ::testing::ExitedWithCode(1),
                "Error in function check_and_set_gid\\(\\), file src/cuda_general on line [0-9]+: Warning: no GPU "
                "device found!\n! Exit now!");
    EXPECT_EXIT({ STDOUT_TO_STDERR(); check_gid(1); }, ::testing::ExitedWithCode(1),
                "Warning: GPU device problem!\n! Exit now!");
    int gid = 3;
    EXPECT_EQ(auto_check_and_set_gid(gid), 0);
    EXPECT_EQ(gid, 0) << "the one device is the best alternative";
}

TEST(DeviceReport, MemoryLine) {
    vorn_host::set_device_memory_budget(64 << 20);
    void* p = nullptr;
    ASSERT_EQ(cudaMalloc(&p, 16 << 20), cudaSuccess);
    testing::internal::CaptureStdout();
    gpu_report_memory();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "GPU memory usage:  total = 64.000000 MB, used = 16.000000, free = 48.000000 MB\n");
    cudaFree(p);
    vorn_host::set_device_memory_budget(0);
}

// ---- get_bool_keyword ----

struct BoolCase {
    std::vector<std::string> words;  // words[0] is the option just matched
    int value;
    int next_index;
    bool warns;
};

TEST(BoolKeyword, ValueAndConsumedWords) {
    const BoolCase cases[] = {
        {{"-opt"}, 1, 0, false},                   // last word
        {{"-opt", "0"}, 0, 1, false},
        {{"-opt", "2"}, 1, 1, false},
        {{"-opt", "-next"}, 1, 0, false},          // next option left alone
        {{"-opt", "file.mrc"}, 1, 0, false},       // a letter: an input left alone
        {{"-opt", "./a.mrc"}, 0, 1, true},         // consumed, read as 0, and said
        {{"-opt", "/data/a.mrc"}, 0, 1, true},
        {{"-opt", "+1"}, 1, 1, false},
        {{"-opt", "1.5"}, 1, 1, true},
    };
    for (const BoolCase& c : cases) {
        std::vector<char*> argv;
        for (const std::string& w : c.words) argv.push_back(const_cast<char*>(w.c_str()));
        int value = -1, i = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(get_bool_keyword((int)argv.size(), argv.data(), value, i), 0);
        std::string out = testing::internal::GetCapturedStdout();
        const std::string shown = c.words.size() > 1 ? c.words[1] : "";
        EXPECT_EQ(value, c.value) << shown;
        EXPECT_EQ(i, c.next_index) << shown;
        EXPECT_EQ(out.find("Warning in function get_bool_keyword()") != std::string::npos, c.warns) << out;
        if (c.warns) {
            EXPECT_NE(out.find("'" + shown + "'"), std::string::npos) << out;
        }
    }
}

// ---- check_file_access ----

class FileAccess : public ::testing::Test {
  protected:
    std::string existing, missing;
    void SetUp() override {
        existing = ::testing::TempDir() + "vorn_access_existing.txt";
        missing = ::testing::TempDir() + "vorn_access_missing.txt";
        FILE* f = std::fopen(existing.c_str(), "w");
        std::fputs("x\n", f);
        std::fclose(f);
        std::remove(missing.c_str());
    }
    void TearDown() override { std::remove(existing.c_str()); }
    int check(const std::string& path, const char* modes, std::string& out) {
        testing::internal::CaptureStdout();
        int r = check_file_access(const_cast<char*>(path.c_str()), modes);
        out = testing::internal::GetCapturedStdout();
        return r;
    }
};

TEST_F(FileAccess, LettersInOrderAnyCase) {
    std::string out;
    EXPECT_EQ(check(existing, "FR", out), 0);
    EXPECT_EQ(check(existing, "fr", out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(check(existing, "", out), 0);
    EXPECT_EQ(check(missing, "fr", out), -1);
    EXPECT_NE(out.find("\033[43m\033[1m\033[5mWarning in function check_file_access(), file src/cuda_general on line "),
              std::string::npos);
    EXPECT_NE(out.find(": the file " + missing + " does NOT exist! Automatically ignored!\033[m\n\n"), std::string::npos);
    EXPECT_EQ(check(existing, "FQ", out), -1);
    EXPECT_NE(out.find("Error in function check_file_access()"), std::string::npos);
    EXPECT_NE(out.find(":  the mode 'Q' for checking access of file " + existing + " are NOT recoganized!\033[m\n\n"),
              std::string::npos);
    EXPECT_EQ(check(missing, "QF", out), -1);
    EXPECT_NE(out.find("mode 'Q'"), std::string::npos);
    EXPECT_EQ(out.find("does NOT exist"), std::string::npos) << "Q is reported before the missing file";
}

TEST_F(FileAccess, ReadOnlyFileIsNotWritable) {
    if (geteuid() == 0) GTEST_SKIP() << "root may write to any file";
    chmod(existing.c_str(), 0444);
    std::string out;
    EXPECT_EQ(check(existing, "W", out), -1);
    EXPECT_NE(out.find("are NOT writable! Automatically ignored!"), std::string::npos);
}

}  // namespace
