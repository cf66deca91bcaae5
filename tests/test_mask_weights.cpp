// One-dimensional soft masks and their AND / OR combination in every form:
// kernel through its host function, host arrays through the GPU, CPU twin.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "mask_weights.h"
#include "device_arrays_fixture.h"

namespace {

using Vec = std::vector<float>;
const float kNaN = std::numeric_limits<float>::quiet_NaN();


// The soft mask by each of its three forms.
struct MaskForm {
    const char* name;
    std::function<Vec(size_t, float, float, float)> make;
};
const MaskForm kMaskForms[] = {
    {"cpu", [](size_t n, float c, float r, float w) { Vec v(n, -7.0f); cpu_1d_generate_rmask_soft(v.data(), n, c, r, w); return v; }},
    {"gpu", [](size_t n, float c, float r, float w) { Vec v(n, -7.0f); gpu_1d_generate_rmask_soft(v.data(), n, c, r, w); return v; }},
    {"hcuda", [](size_t n, float c, float r, float w) {
         float* d = to_device(Vec(n, -7.0f));
         hcuda_1d_generate_rmask_soft(d, n, c, r, w);
         Vec v = to_host(d, n);
         cudaFree(d);
         return v;
     }},
};

TEST(SoftMask, ValuesAroundCentreTenRadiusThreeWidthThree) {
    // Flat top 7..13; Gaussian edge with sigma = 1 out to d = 6; zero beyond.
    const double e = std::exp(1.0);
    const double want[25] = {0, 0, 0, 0, std::exp(-4.5), std::exp(-2.0), 1 / std::sqrt(e), 1, 1, 1, 1, 1, 1, 1,
                             1 / std::sqrt(e), std::exp(-2.0), std::exp(-4.5), 0, 0, 0, 0, 0, 0, 0, 0};
    for (const MaskForm& f : kMaskForms) {
        const Vec v = f.make(25, 10.0f, 3.0f, 3.0f);
        for (size_t i = 0; i < 25; ++i) EXPECT_NEAR(v[i], want[i], 1e-6 * (1 + want[i])) << f.name << " i = " << i;
        EXPECT_NEAR(v[16], 0.0111, 1e-4) << f.name;
        EXPECT_NEAR(v[15], 0.1353, 1e-4) << f.name;
    }
}

TEST(SoftMask, FractionalCentreIsSymmetricAndFormsAgree) {
    const Vec ref = kMaskForms[0].make(40, 4.5f, 1.5f, 2.5f);
    for (size_t k = 0; k <= 4; ++k) EXPECT_EQ(ref[4 - k], ref[5 + k]) << k;
    for (const MaskForm& f : kMaskForms) {
        const Vec v = f.make(40, 4.5f, 1.5f, 2.5f);
        for (size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(v[i], ref[i], 1e-6f) << f.name << " i = " << i;
    }
}

TEST(SoftMask, ZeroAndNegativeWidthsAreHardSteps) {
    for (const MaskForm& f : kMaskForms) {
        const Vec sharp = f.make(21, 10.0f, 3.0f, 0.0f);
        const Vec narrow = f.make(21, 10.0f, 3.0f, -1.0f);
        for (int i = 0; i < 21; ++i) {
            EXPECT_EQ(sharp[i], std::abs(i - 10) <= 3 ? 1.0f : 0.0f) << f.name << " i = " << i;
            EXPECT_EQ(narrow[i], std::abs(i - 10) <= 2 ? 1.0f : 0.0f) << f.name << " i = " << i;
        }
    }
}

// out = A op B by each form; the in-place forms write into a copy of A.
struct CombineForm {
    const char* name;
    bool is_or;
    std::function<Vec(const Vec&, const Vec&)> run;
};
Vec device_combine(void (*f)(float*, const float*, const float*, unsigned long), const Vec& a, const Vec& b) {
    float *da = to_device(a), *db = to_device(b), *dout = to_device(Vec(a.size(), -7.0f));
    f(dout, da, db, a.size());
    Vec v = to_host(dout, a.size());
    cudaFree(da), cudaFree(db), cudaFree(dout);
    return v;
}
Vec device_combine_inplace(void (*f)(float*, const float*, unsigned long), const Vec& a, const Vec& b) {
    float *da = to_device(a), *db = to_device(b);
    f(da, db, a.size());
    Vec v = to_host(da, a.size());
    cudaFree(da), cudaFree(db);
    return v;
}
template <class F> Vec host_out(F f, const Vec& a, const Vec& b) {
    Vec out(a.size(), -7.0f);
    f(out.data(), a.data(), b.data(), a.size());
    return out;
}
template <class F> Vec host_inplace(F f, Vec a, const Vec& b) {
    f(a.data(), b.data(), a.size());
    return a;
}
const CombineForm kCombineForms[] = {
    {"cpu_or", true, [](const Vec& a, const Vec& b) { return host_out(cpu_1d_mask_A_or_B, a, b); }},
    {"gpu_or", true, [](const Vec& a, const Vec& b) { return host_out(gpu_1d_mask_A_or_B, a, b); }},
    {"hcuda_or", true, [](const Vec& a, const Vec& b) { return device_combine(hcuda_1d_mask_A_or_B, a, b); }},
    {"cpu_or_inplace", true, [](const Vec& a, const Vec& b) { return host_inplace(cpu_1d_mask_A_or_B_inplace, a, b); }},
    {"gpu_or_inplace", true, [](const Vec& a, const Vec& b) { return host_inplace(gpu_1d_mask_A_or_B_inplace, a, b); }},
    {"hcuda_or_inplace", true, [](const Vec& a, const Vec& b) { return device_combine_inplace(hcuda_1d_mask_A_or_B_inplace, a, b); }},
    {"cpu_and", false, [](const Vec& a, const Vec& b) { return host_out(cpu_1d_mask_A_and_B, a, b); }},
    {"gpu_and", false, [](const Vec& a, const Vec& b) { return host_out(gpu_1d_mask_A_and_B, a, b); }},
    {"hcuda_and", false, [](const Vec& a, const Vec& b) { return device_combine(hcuda_1d_mask_A_and_B, a, b); }},
    {"cpu_and_inplace", false, [](const Vec& a, const Vec& b) { return host_inplace(cpu_1d_mask_A_and_B_inplace, a, b); }},
    {"gpu_and_inplace", false, [](const Vec& a, const Vec& b) { return host_inplace(gpu_1d_mask_A_and_B_inplace, a, b); }},
    {"hcuda_and_inplace", false, [](const Vec& a, const Vec& b) { return device_combine_inplace(hcuda_1d_mask_A_and_B_inplace, a, b); }},
};

TEST(MaskCombination, OrIsTheLargerValueAndGivesBOnNaNAndIsTheProduct) {
    // Equal values with different signs of zero tell whether OR returned A or B.
    const Vec a = {0.25f, 0.9f, 0.0f, kNaN, 0.5f, -0.0f, 0.3f};
    const Vec b = {0.75f, 0.1f, -0.0f, 0.6f, kNaN, 0.0f, 0.3f};
    for (const CombineForm& f : kCombineForms) {
        const Vec out = f.run(a, b);
        for (size_t i = 0; i < a.size(); ++i) {
            if (f.is_or) {
                const float want = a[i] >= b[i] ? a[i] : b[i];
                if (std::isnan(want)) {
                    EXPECT_TRUE(std::isnan(out[i])) << f.name << " i = " << i;
                } else {
                    EXPECT_EQ(out[i], want) << f.name << " i = " << i;
                    EXPECT_EQ(std::signbit(out[i]), std::signbit(want)) << f.name << " i = " << i;
                }
            } else if (std::isnan(a[i]) || std::isnan(b[i])) {
                EXPECT_TRUE(std::isnan(out[i])) << f.name << " i = " << i;
            } else {
                EXPECT_EQ(out[i], a[i] * b[i]) << f.name << " i = " << i;
            }
        }
        EXPECT_EQ(std::signbit(out[2]), f.is_or ? false : true) << f.name;  // OR of 0 and -0 keeps A = +0
        if (f.is_or) {
            EXPECT_EQ(out[3], 0.6f) << f.name;         // NaN in A: B
            EXPECT_TRUE(std::isnan(out[4])) << f.name;  // NaN in B: B
        }
    }
}

TEST(MaskCombination, EmptyArraysWriteNothing) {
    float untouched = -7.0f;
    const float one = 1.0f;
    cpu_1d_generate_rmask_soft(&untouched, 0, 0.0f, 1.0f, 1.0f);
    gpu_1d_generate_rmask_soft(&untouched, 0, 0.0f, 1.0f, 1.0f);
    gpu_1d_mask_A_or_B(&untouched, &one, &one, 0);
    gpu_1d_mask_A_and_B_inplace(&untouched, &one, 0);
    cpu_1d_mask_A_and_B(&untouched, &one, &one, 0);
    float* d = to_device(Vec(1, -7.0f));
    hcuda_1d_generate_rmask_soft(d, 0, 0.0f, 1.0f, 1.0f);
    hcuda_1d_mask_A_or_B_inplace(d, d, 0);
    EXPECT_EQ(to_host(d, 1)[0], -7.0f);
    cudaFree(d);
    EXPECT_EQ(untouched, -7.0f);
}

TEST(MaskCombinationDeath, FailedDeviceAllocationEndsWithTheGpuLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Vec a(8, 1.0f), b(8, 0.5f);
    EXPECT_EXIT((vorn_host::fail_next_allocation(), gpu_1d_mask_A_and_B(a.data(), a.data(), b.data(), 8)),
                ::testing::ExitedWithCode(1), "Error .* at line [0-9]+ in file src/mask_weights\n");
}

}  // namespace
