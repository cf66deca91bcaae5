// Elementwise image, image-pair and stack operations: GPU forms against
// double-precision references, hand-computed values and their CPU twins, on
// sizes that are not multiples of the 32x32 block, with guard elements past the
// end of every device array that must stay untouched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "process2d_core.h"

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kGuard = 12345.0f;
constexpr size_t kGuardCount = 37;

// Device copy of a host vector followed by guard elements.
struct DeviceArray {
    float* d = nullptr;
    size_t n;
    explicit DeviceArray(const std::vector<float>& h) : n(h.size()) {
        std::vector<float> padded(h);
        padded.resize(n + kGuardCount, kGuard);
        EXPECT_EQ(cudaMalloc((void**)&d, padded.size() * sizeof(float)), cudaSuccess);
        EXPECT_EQ(cudaMemcpy(d, padded.data(), padded.size() * sizeof(float), cudaMemcpyHostToDevice), cudaSuccess);
    }
    explicit DeviceArray(size_t count) : DeviceArray(std::vector<float>(count, -777.0f)) {}
    ~DeviceArray() { cudaFree(d); }
    // The n elements; fails the test when a guard element was written.
    std::vector<float> read() const {
        std::vector<float> h(n + kGuardCount);
        EXPECT_EQ(cudaMemcpy(h.data(), d, h.size() * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
        for (size_t g = n; g < h.size(); ++g) EXPECT_EQ(h[g], kGuard) << "guard element " << g - n << " written";
        h.resize(n);
        return h;
    }
};

// Deterministic values spread over [lo, hi].
std::vector<float> spread(size_t n, float lo, float hi, unsigned seed = 1) {
    std::vector<float> v(n);
    uint32_t s = 2654435761u * seed + 12345u;
    for (float& x : v) {
        s = s * 1664525u + 1013904223u;
        x = lo + (hi - lo) * (float)(s >> 8) / (float)(1u << 24);
    }
    return v;
}

void expect_close(float got, double want, double rel, const std::string& what) {
    if (rel == 0.0) {
        EXPECT_EQ(got, (float)want) << what;
    } else {
        EXPECT_NEAR(got, want, rel * std::fabs(want) + 1e-30) << what;
    }
}

struct Size {
    unsigned nx, ny;
};
const Size kSizes[] = {{33, 17}, {5, 70}};

// ---- one-image operations ----

using ImageOp = std::function<void(float* out, const float* in, unsigned nx, unsigned ny)>;
struct UnaryCase {
    const char* name;
    ImageOp run;
    bool inplace;  // run writes into out, which holds the input
    std::function<double(double)> want;
    bool positive_input;
    double rel;  // 0: the float result must be the correctly rounded exact value
};

const float A = 1.75f, B = -0.5f;

const UnaryCase kUnaryCases[] = {
    {"memcpy", hcuda_2d_memcpy, false, [](double v) { return v; }, false, 0},
    {"add", [](float* o, const float* i, unsigned nx, unsigned ny) { hcuda_2d_add(o, i, nx, ny, A); }, false, [](double v) { return v + A; }, false, 0},
    {"sub", [](float* o, const float* i, unsigned nx, unsigned ny) { hcuda_2d_sub(o, i, nx, ny, A); }, false, [](double v) { return v - A; }, false, 0},
    {"multi", [](float* o, const float* i, unsigned nx, unsigned ny) { hcuda_2d_multi(o, i, nx, ny, A); }, false, [](double v) { return v * A; }, false, 0},
    {"divide", [](float* o, const float* i, unsigned nx, unsigned ny) { hcuda_2d_divide(o, i, nx, ny, A); }, false, [](double v) { return v / A; }, false, 0},
    {"multi_add", [](float* o, const float* i, unsigned nx, unsigned ny) { hcuda_2d_multi_add(o, i, nx, ny, A, B); }, false, [](double v) { return std::fmaf((float)v, A, B); }, false, 0},
    {"add_multi", [](float* o, const float* i, unsigned nx, unsigned ny) { hcuda_2d_add_multi(o, i, nx, ny, A, B); }, false, [](double v) { return (v + B) * A; }, false, 1e-6},
    {"sub_divide", [](float* o, const float* i, unsigned nx, unsigned ny) { hcuda_2d_sub_divide(o, i, nx, ny, A, B); }, false, [](double v) { return (v - A) / B; }, false, 1e-6},
    {"pow", [](float* o, const float* i, unsigned nx, unsigned ny) { hcuda_2d_pow(o, i, nx, ny, A); }, false, [](double v) { return std::pow(v, (double)A); }, true, 1e-6},
    {"sqr", hcuda_2d_sqr, false, [](double v) { return v * v; }, false, 0},
    {"sqrt", hcuda_2d_sqrt, false, [](double v) { return std::sqrt(v); }, true, 0},
    {"abs", hcuda_2d_abs, false, [](double v) { return std::fabs(v); }, false, 0},
    {"exp", hcuda_2d_exp, false, [](double v) { return std::exp(v); }, false, 1e-6},
    {"log", hcuda_2d_log, false, [](double v) { return std::log(v); }, true, 1e-6},
    {"logf", hcuda_2d_logf, false, [](double v) { return std::log(v); }, true, 1e-6},
    {"log2", hcuda_2d_log2, false, [](double v) { return std::log2(v); }, true, 1e-6},
    {"log10", hcuda_2d_log10, false, [](double v) { return std::log10(v); }, true, 1e-6},
    {"log1p", hcuda_2d_log1p, false, [](double v) { return std::log1p(v); }, true, 1e-6},
    {"log1pf", hcuda_2d_log1pf, false, [](double v) { return std::log1p(v); }, true, 1e-6},
    {"add_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_add_inplace(o, nx, ny, A); }, true, [](double v) { return v + A; }, false, 0},
    {"sub_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_sub_inplace(o, nx, ny, A); }, true, [](double v) { return v - A; }, false, 0},
    {"multi_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_multi_inplace(o, nx, ny, A); }, true, [](double v) { return v * A; }, false, 0},
    {"divide_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_divide_inplace(o, nx, ny, A); }, true, [](double v) { return v / A; }, false, 0},
    {"sub_divide_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_sub_divide_inplace(o, nx, ny, A, B); }, true, [](double v) { return (v - A) / B; }, false, 1e-6},
    {"powf_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_powf_inplace(o, nx, ny, A); }, true, [](double v) { return std::pow(v, (double)A); }, true, 1e-6},
    {"invert_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_invert_inplace(o, nx, ny); }, true, [](double v) { return -v; }, false, 0},
    {"sqr_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_sqr_inplace(o, nx, ny); }, true, [](double v) { return v * v; }, false, 0},
    {"pow2_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_pow2_inplace(o, nx, ny); }, true, [](double v) { return v * v; }, false, 0},
    {"sqrt_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_sqrt_inplace(o, nx, ny); }, true, [](double v) { return std::sqrt(v); }, true, 0},
    {"abs_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_abs_inplace(o, nx, ny); }, true, [](double v) { return std::fabs(v); }, false, 0},
    {"exp_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_exp_inplace(o, nx, ny); }, true, [](double v) { return std::exp(v); }, false, 1e-6},
    {"log_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_log_inplace(o, nx, ny); }, true, [](double v) { return std::log(v); }, true, 1e-6},
    {"logf_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_logf_inplace(o, nx, ny); }, true, [](double v) { return std::log(v); }, true, 1e-6},
    {"log2_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_log2_inplace(o, nx, ny); }, true, [](double v) { return std::log2(v); }, true, 1e-6},
    {"log10_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_log10_inplace(o, nx, ny); }, true, [](double v) { return std::log10(v); }, true, 1e-6},
    {"log1p_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_log1p_inplace(o, nx, ny); }, true, [](double v) { return std::log1p(v); }, true, 1e-6},
    {"log1pf_inplace", [](float* o, const float*, unsigned nx, unsigned ny) { hcuda_2d_log1pf_inplace(o, nx, ny); }, true, [](double v) { return std::log1p(v); }, true, 1e-6},
};

void check_unary(const UnaryCase& c, const std::vector<float>& in, const std::vector<float>& got, const std::string& where) {
    for (size_t i = 0; i < in.size(); ++i) expect_close(got[i], c.want(in[i]), c.rel, where + " pixel " + std::to_string(i));
}

TEST(OneImage, EveryOperationMatchesItsReferenceOnlyInsideTheImage) {
    for (const UnaryCase& c : kUnaryCases) {
        for (const Size& s : kSizes) {
            const std::string where = std::string(c.name) + " " + std::to_string(s.nx) + "x" + std::to_string(s.ny);
            const std::vector<float> in = c.positive_input ? spread((size_t)s.nx * s.ny, 0.05f, 20.0f) : spread((size_t)s.nx * s.ny, -20.0f, 20.0f);
            DeviceArray din(in);
            if (c.inplace) {
                c.run(din.d, nullptr, s.nx, s.ny);
                check_unary(c, in, din.read(), where);
                continue;
            }
            DeviceArray dout(in.size());
            c.run(dout.d, din.d, s.nx, s.ny);
            check_unary(c, in, dout.read(), where);
            EXPECT_EQ(din.read(), in) << where << ": input changed";
            c.run(din.d, din.d, s.nx, s.ny);  // out = in behaves as the in-place form
            check_unary(c, in, din.read(), where + " (out = in)");
        }
    }
}

TEST(OneImage, AddMultiHostFunctionSwapsTheScalarsOfItsKernel) {
    DeviceArray in(std::vector<float>(33, 1.0f)), out(33);
    hcuda_2d_add_multi(out.d, in.d, 33, 1, 2.0f, 3.0f);
    EXPECT_EQ(out.read(), std::vector<float>(33, 8.0f));  // (1 + 3)*2
    GPU_LAUNCH(cuda_2d_add_multi, gpu_grid_2d(33, 1), gpu_block_2d(), 0)(out.d, in.d, 33u, 1u, 2.0f, 3.0f);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(out.read(), std::vector<float>(33, 9.0f));  // (1 + 2)*3
}

TEST(OneImage, MultiAddFusesOnTheGpuAndRoundsTwiceOnTheCpu) {
    // v*a = 1 + 2^-22 + 2^-46 exactly; rounding the product first loses the 2^-46.
    const float v = 1.0f + 0x1p-23f, a = 1.0f + 0x1p-23f, b = -1.0f;
    const float fused = 0x1p-22f + 0x1p-46f, rounded = 0x1p-22f;
    DeviceArray in(std::vector<float>(35, v)), out(35);
    hcuda_2d_multi_add(out.d, in.d, 35, 1, a, b);
    EXPECT_EQ(out.read(), std::vector<float>(35, fused));

    std::vector<float> h(35, v), cpu_out(35);
    cpu_2d_multi_add(cpu_out.data(), h.data(), 5, 7, a, b);
    EXPECT_EQ(cpu_out, std::vector<float>(35, rounded));
    cpu_2d_multi_add_inplace(h.data(), 5, 7, a, b);
    EXPECT_EQ(h, std::vector<float>(35, rounded));

    // Away from such ties the CPU twin agrees with the kernel within one rounding.
    const std::vector<float> x = spread(561, -9.0f, 9.0f);
    DeviceArray dx(x), dy(561);
    hcuda_2d_multi_add(dy.d, dx.d, 33, 17, 0.3f, 1.1f);
    std::vector<float> cy(561);
    cpu_2d_multi_add(cy.data(), x.data(), 33, 17, 0.3f, 1.1f);
    const std::vector<float> gy = dy.read();
    for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(cy[i], gy[i], 1e-6 * std::fabs(gy[i]) + 1e-7) << i;
}

TEST(OneImage, SpecialValuesFollowIeee) {
    const std::vector<float> in = {5.0f, -5.0f, 0.0f, -1.0f, 2.0f};
    DeviceArray din(in), dout(in.size());

    hcuda_2d_logf(dout.d, din.d, 5, 1);
    std::vector<float> r = dout.read();
    EXPECT_EQ(r[2], -kInf);
    EXPECT_TRUE(std::isnan(r[3]));

    DeviceArray quotient(in);
    hcuda_2d_divide_inplace(quotient.d, 5, 1, 0.0f);  // no zero test in place
    r = quotient.read();
    EXPECT_EQ(r[0], kInf);
    EXPECT_EQ(r[1], -kInf);
    EXPECT_TRUE(std::isnan(r[2]));

    hcuda_2d_divide(dout.d, din.d, 5, 1, std::nanf(""));  // a NaN divisor passes the test
    for (float v : dout.read()) EXPECT_TRUE(std::isnan(v));

    hcuda_2d_sub_divide(dout.d, din.d, 5, 1, 0.0f, 1.0f);
    EXPECT_EQ(dout.read(), in);

    hcuda_2d_pow(dout.d, din.d, 5, 1, 0.0f);
    EXPECT_EQ(dout.read(), std::vector<float>(5, 1.0f));

    DeviceArray negated(in);
    hcuda_2d_invert_inplace(negated.d, 5, 1);
    r = negated.read();
    EXPECT_EQ(r[0], -5.0f);
    EXPECT_TRUE(r[2] == 0.0f && std::signbit(r[2]));

    std::vector<float> h = {5.0f, 0.0f, std::nanf("")};
    uint32_t nan_bits;
    std::memcpy(&nan_bits, &h[2], 4);
    cpu_2d_invert_inplace(h.data(), 3, 1);
    uint32_t flipped;
    std::memcpy(&flipped, &h[2], 4);
    EXPECT_EQ(h[0], -5.0f);
    EXPECT_TRUE(h[1] == 0.0f && std::signbit(h[1]));
    EXPECT_EQ(flipped, nan_bits ^ 0x80000000u);
}

TEST(OneImage, ZeroDivisorEndsTheProcessWithTheFatalLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DeviceArray in(std::vector<float>(4, 1.0f)), out(4);
    const char* divide_line =
        "Error in function hcuda_2d_divide\\(\\), file src/process2d_core on line [0-9]+: "
        "divisor must be non-zero value\n! Exit now!";
    const char* sub_divide_line =
        "Error in function hcuda_2d_sub_divide\\(\\), file src/process2d_core on line [0-9]+: "
        "divisor must be non-zero value\n! Exit now!";
    // The fatal line goes to standard output: send it to standard error to match it.
    EXPECT_EXIT((dup2(2, 1), hcuda_2d_divide(out.d, in.d, 2, 2, 0.0f)), ::testing::ExitedWithCode(1), divide_line);
    EXPECT_EXIT((dup2(2, 1), hcuda_2d_divide(out.d, in.d, 2, 2, -0.0f)), ::testing::ExitedWithCode(1), divide_line);
    EXPECT_EXIT((dup2(2, 1), hcuda_2d_sub_divide(out.d, in.d, 2, 2, 0.0f, -0.0f)), ::testing::ExitedWithCode(1), sub_divide_line);
}

TEST(Fills, FillAndCopyEveryPixelOfImagesAndStacks) {
    const unsigned nx = 33, ny = 17, nz = 3;
    DeviceArray stack((size_t)nx * ny * nz);
    hcuda_2d_empty(stack.d, nx, nz * ny);  // a stack cleared as one tall image
    EXPECT_EQ(stack.read(), std::vector<float>((size_t)nx * ny * nz, 0.0f));

    DeviceArray image((size_t)nx * ny);
    hcuda_2d_memset(image.d, -kInf, nx, ny);
    EXPECT_EQ(image.read(), std::vector<float>((size_t)nx * ny, -kInf));

    // Complex images are viewed as pairs of floats.
    DeviceArray cx(2 * (size_t)nx * ny), cy(2 * (size_t)nx * ny);
    hcuda_2d_cx_empty((float2*)cx.d, nx, ny);
    EXPECT_EQ(cx.read(), std::vector<float>(2 * (size_t)nx * ny, 0.0f));
    hcuda_c2d_memset((float2*)cx.d, make_float2(1.5f, -2.5f), nx, ny);
    hcuda_c2d_memcpy((float2*)cy.d, (const float2*)cx.d, nx, ny);
    const std::vector<float> copied = cy.read();
    for (size_t i = 0; i < copied.size(); i += 2) {
        EXPECT_EQ(copied[i], 1.5f);
        EXPECT_EQ(copied[i + 1], -2.5f);
    }

    std::vector<float> h((size_t)nx * ny + 1, kGuard);
    cpu_2d_memset(h.data(), 4.0f, nx, ny);
    EXPECT_EQ(h.back(), kGuard);
    h.pop_back();
    EXPECT_EQ(h, std::vector<float>((size_t)nx * ny, 4.0f));
    h.push_back(kGuard);
    cpu_2d_empty(h.data(), nx, ny);
    EXPECT_EQ(h.back(), kGuard);
    h.pop_back();
    EXPECT_EQ(h, std::vector<float>((size_t)nx * ny, 0.0f));
}

TEST(Sizes, ZeroElementsLaunchNothingAndLeaveNoError) {
    DeviceArray a(std::vector<float>{1.0f, 2.0f}), b(std::vector<float>{3.0f, 4.0f});
    const Size empty[] = {{0, 5}, {5, 0}, {0, 0}};
    for (const Size& s : empty) {
        hcuda_2d_empty(a.d, s.nx, s.ny);
        hcuda_2d_memset(a.d, 9.0f, s.nx, s.ny);
        hcuda_x2d_add_inplace(a.d, b.d, s.nx, s.ny);
        hcuda_2ds_ave(a.d, b.d, s.nx, s.ny, 2);
        hcuda_2ds_logf_inplace(a.d, s.nx, s.ny, 2);
        hcuda_x2ds_multi_inplace(a.d, b.d, s.nx, s.ny, 2);
        gpu_x2d_sub_inplace(nullptr, nullptr, s.nx, s.ny);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
    hcuda_2ds_logf_inplace(a.d, 2, 1, 0);
    EXPECT_EQ(a.read(), (std::vector<float>{1.0f, 2.0f}));
}

TEST(Sizes, StackOffsetsAndPixelIndicesAreFormedIn64Bits) {
    EXPECT_EQ(image_pixels(65536, 65536), 4294967296ull);
    EXPECT_EQ(pixel_element(5, 70000, 65536), 70000ull * 65536 + 5);
    EXPECT_EQ(stack_slice_offset(3, 65536, 32768), 3ull * 65536 * 32768);
    EXPECT_EQ(stack_slice_offset(5000, 4096, 4096), 5000ull * 4096 * 4096);
}

// ---- two images ----

using PairOp = void (*)(float*, const float*, const float*, unsigned, unsigned);
using PairInplaceOp = void (*)(float*, const float*, unsigned, unsigned);
struct PairCase {
    const char* name;
    PairOp out_of_place;
    PairInplaceOp inplace, cpu_twin;
    double (*want)(double, double);
};
const PairCase kPairCases[] = {
    {"add", hcuda_x2d_add, hcuda_x2d_add_inplace, cpu_x2d_add_inplace, [](double a, double b) { return a + b; }},
    {"sub", hcuda_x2d_sub, hcuda_x2d_sub_inplace, cpu_x2d_sub_inplace, [](double a, double b) { return a - b; }},
    {"multi", hcuda_x2d_multi, hcuda_x2d_multi_inplace, cpu_x2d_multi_inplace, [](double a, double b) { return a * b; }},
    {"divide", hcuda_x2d_divide, hcuda_x2d_divide_inplace, cpu_x2d_divide_inplace, [](double a, double b) { return a / b; }},
};

TEST(TwoImages, EveryFormGivesTheCorrectlyRoundedResult) {
    for (const PairCase& c : kPairCases) {
        for (const Size& s : kSizes) {
            const size_t n = (size_t)s.nx * s.ny;
            const std::vector<float> a = spread(n, -50.0f, 50.0f, 2), b = spread(n, 0.5f, 7.0f, 3);
            std::vector<float> want(n);
            for (size_t i = 0; i < n; ++i) want[i] = (float)c.want(a[i], b[i]);  // one rounding of the exact value
            const std::string where = std::string(c.name) + " " + std::to_string(s.nx) + "x" + std::to_string(s.ny);

            DeviceArray da(a), db(b), dout(n);
            c.out_of_place(dout.d, da.d, db.d, s.nx, s.ny);
            EXPECT_EQ(dout.read(), want) << where;
            c.inplace(da.d, db.d, s.nx, s.ny);
            EXPECT_EQ(da.read(), want) << where << " in place";
            EXPECT_EQ(db.read(), b) << where << " second operand changed";

            DeviceArray out_is_a(a), out_is_b(b);
            c.out_of_place(out_is_a.d, out_is_a.d, db.d, s.nx, s.ny);
            EXPECT_EQ(out_is_a.read(), want) << where << " out = a";
            DeviceArray a_again(a);
            c.out_of_place(out_is_b.d, a_again.d, out_is_b.d, s.nx, s.ny);
            EXPECT_EQ(out_is_b.read(), want) << where << " out = b";

            std::vector<float> host = a;
            c.cpu_twin(host.data(), b.data(), s.nx, s.ny);
            EXPECT_EQ(host, want) << where << " CPU twin";
        }
    }
}

TEST(TwoImages, DifferenceOnHostArraysAndByDirectLaunchOnACallersGrid) {
    const unsigned nx = 33, ny = 17;
    const std::vector<float> a = spread(nx * ny, -3.0f, 3.0f, 4), b = spread(nx * ny, -3.0f, 3.0f, 5);
    std::vector<float> want = a;
    cpu_x2d_sub_inplace(want.data(), b.data(), nx, ny);

    std::vector<float> host = a;
    gpu_x2d_sub_inplace(host.data(), b.data(), nx, ny);
    EXPECT_EQ(host, want);

    // A caller may launch the kernel itself; a grid larger than needed writes nothing more.
    DeviceArray da(a), db(b);
    GPU_LAUNCH(cuda_x2d_sub_inplace, dim3(3, 2), gpu_block_2d(), 0)(da.d, (const float*)db.d, nx, ny);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(da.read(), want);
}

TEST(TwoImages, QuotientByZeroPixelGivesIeeeValuesAndGoesOn) {
    DeviceArray a(std::vector<float>{3.0f, -3.0f, 0.0f, 6.0f}), b(std::vector<float>{0.0f, 0.0f, 0.0f, 2.0f});
    hcuda_x2d_divide_inplace(a.d, b.d, 4, 1);
    const std::vector<float> r = a.read();
    EXPECT_EQ(r[0], kInf);
    EXPECT_EQ(r[1], -kInf);
    EXPECT_TRUE(std::isnan(r[2]));
    EXPECT_EQ(r[3], 3.0f);
}

// ---- stacks ----

TEST(Stacks, SliceProductsPairSliceKWithSliceK) {
    const unsigned nx = 33, ny = 17;
    const size_t n = (size_t)nx * ny;
    const std::vector<float> a = spread(3 * n, -4.0f, 4.0f, 6), b = spread(3 * n, -4.0f, 4.0f, 7);
    DeviceArray da(a), db(b);
    hcuda_x2ds_multi_inplace(da.d, db.d, nx, ny, 3);
    const std::vector<float> r = da.read();
    for (size_t i = 0; i < 3 * n; ++i) ASSERT_EQ(r[i], (float)((double)a[i] * b[i])) << i;

    for (int nz : {0, -1}) {
        DeviceArray untouched(a);
        hcuda_x2ds_multi_inplace(untouched.d, db.d, nx, ny, nz);
        EXPECT_EQ(untouched.read(), a) << "nz = " << nz;
    }
}

TEST(Stacks, LogarithmOfEverySliceIntoANewStackOrInPlace) {
    const unsigned nx = 33, ny = 17, nz = 3;
    const std::vector<float> in = spread((size_t)nx * ny * nz, 0.01f, 100.0f, 8);
    DeviceArray din(in), dout(in.size());
    hcuda_2ds_logf(dout.d, din.d, nx, ny, nz);
    const std::vector<float> r = dout.read();
    for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(r[i], std::log((double)in[i]), 1e-6 * std::fabs(std::log((double)in[i])) + 1e-7) << i;
    EXPECT_EQ(din.read(), in);
    hcuda_2ds_logf_inplace(din.d, nx, ny, nz);
    EXPECT_EQ(din.read(), r);
}

TEST(Stacks, AveragesOverSlicesAgainstHandValuesAndADoubleMean) {
    // Hand values at one pixel of a 33x1 stack: slices 1, 2, 4 average to 7/3.
    std::vector<float> three;
    for (float v : {1.0f, 2.0f, 4.0f}) three.insert(three.end(), 33, v);
    DeviceArray d3(three), out(33);
    hcuda_2ds_ave(out.d, d3.d, 33, 1, 3);
    EXPECT_EQ(out.read(), std::vector<float>(33, 7.0f / 3.0f));

    hcuda_2ds_ave(out.d, d3.d, 33, 1, 0);
    for (float v : out.read()) EXPECT_TRUE(std::isnan(v));

    std::vector<float> e2(33, 1.0f);
    e2.insert(e2.end(), 33, (float)std::exp(2.0));
    e2[40] = 0.0f;  // pixel 7 of the second slice
    DeviceArray de(e2);
    hcuda_2ds_ave_logf(out.d, de.d, 33, 1, 2);
    std::vector<float> r = out.read();
    EXPECT_NEAR(r[0], 1.0f, 1e-6);
    EXPECT_EQ(r[7], -kInf);

    // General stacks against a double mean, for the plain mean and the mean of logarithms.
    const unsigned nx = 33, ny = 17, nz = 5;
    const size_t n = (size_t)nx * ny;
    const std::vector<float> in = spread(n * nz, 0.1f, 10.0f, 9);
    DeviceArray din(in), mean(n), mean_log(n), log_mean(n);
    hcuda_2ds_ave(mean.d, din.d, nx, ny, nz);
    hcuda_2ds_ave_logf(mean_log.d, din.d, nx, ny, nz);
    hcuda_2ds_logf_ave(log_mean.d, din.d, nx, ny, nz);
    const std::vector<float> m = mean.read(), ml = mean_log.read();
    for (size_t i = 0; i < n; ++i) {
        double sum = 0, sum_log = 0;
        for (unsigned k = 0; k < nz; ++k) sum += in[i + k * n], sum_log += std::log((double)in[i + k * n]);
        EXPECT_NEAR(m[i], sum / nz, 1e-6 * sum / nz) << i;
        EXPECT_NEAR(ml[i], sum_log / nz, 1e-5) << i;
    }
    EXPECT_EQ(log_mean.read(), ml);
}

TEST(Stacks, StreamedHostAveragesPrintTheirProgressAndIgnoreStaleDeviceMemory) {
    const unsigned nx = 33, ny = 17, nz = 4;
    const size_t n = (size_t)nx * ny;
    const std::vector<float> in = spread(n * nz, 0.1f, 10.0f, 10);
    DeviceArray din(in), want(n), want_log(n);
    hcuda_2ds_ave(want.d, din.d, nx, ny, nz);
    hcuda_2ds_ave_logf(want_log.d, din.d, nx, ny, nz);

    std::vector<float> out(n);
    testing::internal::CaptureStdout();
    gpu_2ds_ave(out.data(), in.data(), nx, ny, nz);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "....\n");
    EXPECT_EQ(out, want.read());

    const std::vector<float> ml = want_log.read();
    testing::internal::CaptureStdout();
    gpu_2ds_ave_logf(out.data(), in.data(), nx, ny, nz);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    for (size_t i = 0; i < n; ++i) EXPECT_NEAR(out[i], ml[i], 1e-6) << i;
    gpu_2ds_logf_ave(out.data(), in.data(), nx, ny, nz);
    for (size_t i = 0; i < n; ++i) EXPECT_NEAR(out[i], ml[i], 1e-6) << i;

    testing::internal::CaptureStdout();
    gpu_2ds_ave(out.data(), in.data(), nx, ny, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");
    for (float v : out) EXPECT_TRUE(std::isnan(v));
}

}  // namespace
