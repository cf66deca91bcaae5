// 2D NCS averaging: identity and symmetric operators return the image, mask
// weights and missing sources, the grid offset, box replacement, the mask
// check of the sample image, and the shift refinement's best coefficient.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#define VORN_UNIT "tests/process2d_raw_ncs"
#include "process2d_raw.h"
#include "device_arrays_fixture.h"

namespace {

using Image = std::vector<float>;

Image textured(unsigned nx, unsigned ny) {
    Image a((size_t)nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) a[(size_t)y * nx + x] = (float)(2 + std::sin(0.9 * x) + std::cos(0.4 * y * y));
    return a;
}
// A pattern with four-fold symmetry about the image centre ((n - 1)/2, (n - 1)/2).
Image four_fold(unsigned n) {
    Image a((size_t)n * n);
    const double c = (n - 1) / 2.0;
    for (unsigned y = 0; y < n; ++y)
        for (unsigned x = 0; x < n; ++x) {
            const double u = x - c, v = y - c;
            a[(size_t)y * n + x] = (float)(std::exp(-(u * u + v * v) / 20) + 0.3 * std::cos(u) * std::cos(v));
        }
    return a;
}
RT_Mat2D op(float r11, float r12, float r21, float r22, float tx = 0, float ty = 0) {
    RT_Mat2D m;
    m.R11 = r11, m.R12 = r12, m.R21 = r21, m.R22 = r22, m.Tx = tx, m.Ty = ty;
    return m;
}
const RT_Mat2D kIdentity = op(1, 0, 0, 1);

// The average by each form: CPU, host arrays through the GPU, device arrays.
struct AverageForm {
    const char* name;
    std::function<void(float*, unsigned, unsigned, float, float, const float*, unsigned, unsigned, float, float,
                       const float*, const RT_Mat2D*, unsigned)>
        run;
};
const AverageForm kForms[] = {
    {"cpu", cpu_2d_ncs_average},
    {"gpu", gpu_2d_ncs_average},
    {"hcuda", [](float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi, unsigned nyi,
                 float cxi, float cyi, const float* mask, const RT_Mat2D* ops, unsigned nops) {
         const size_t no = (size_t)nxo * nyo;
         float *d_in = to_device(Image(in, in + (size_t)nxi * nyi)), *d_mask = to_device(Image(mask, mask + no));
         float* d_out = to_device(Image(no, 0.0f));
         hcuda_2d_ncs_average(d_out, nxo, nyo, ox, oy, d_in, nxi, nyi, cxi, cyi, d_mask, ops, nops);
         const Image h = to_host(d_out, no);
         std::copy(h.begin(), h.end(), out);
         cudaFree(d_in), cudaFree(d_mask), cudaFree(d_out);
     }},
};

Image average(const AverageForm& f, const Image& in, unsigned n, const Image& mask, const std::vector<RT_Mat2D>& ops,
              float ox = 0, float oy = 0) {
    Image out(mask.size(), -7.0f);
    testing::internal::CaptureStdout();
    f.run(out.data(), n, n, ox, oy, in.data(), n, n, (n - 1) / 2.0f, (n - 1) / 2.0f, mask.data(), ops.data(),
          (unsigned)ops.size());
    testing::internal::GetCapturedStdout();
    return out;
}

TEST(NcsAverage, IdentityAndSymmetricOperatorsReturnTheImage) {
    const unsigned n = 15;
    const Image in = four_fold(n), ones(n * n, 1.0f);
    const std::vector<RT_Mat2D> four = {kIdentity, op(0, -1, 1, 0), op(-1, 0, 0, -1), op(0, 1, -1, 0)};
    for (const AverageForm& f : kForms) {
        EXPECT_EQ(average(f, in, n, ones, {kIdentity}), in) << f.name;
        const Image sym = average(f, in, n, ones, four);
        for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(sym[i], in[i], 1e-6f) << f.name << " i = " << i;
    }
    // An image without that symmetry is changed by the same operators.
    const Image plain = textured(n, n), avg = average(kForms[0], plain, n, ones, four);
    double diff = 0;
    for (size_t i = 0; i < plain.size(); ++i) diff += std::fabs(avg[i] - plain[i]);
    EXPECT_GT(diff, 1.0);
}

TEST(NcsAverage, MaskWeightsMissingSourcesAndNoOperators) {
    const unsigned n = 8;
    const Image in = textured(n, n);
    Image half(n * n, 0.5f);
    for (const AverageForm& f : kForms) {
        const Image once = average(f, in, n, half, {kIdentity}), twice = average(f, in, n, half, {kIdentity, kIdentity});
        for (size_t i = 0; i < in.size(); ++i) {
            ASSERT_FLOAT_EQ(once[i], 0.5f * in[i]) << f.name;
            ASSERT_FLOAT_EQ(twice[i], 0.5f * in[i]) << f.name;
        }
        // Where the second operator's source leaves the input, the pixel gets half the first's value.
        const Image shifted = average(f, in, n, Image(n * n, 1.0f), {kIdentity, op(1, 0, 0, 1, 3.0f, 0.0f)});
        for (unsigned y = 0; y < n; ++y)
            for (unsigned x = 0; x < n; ++x) {
                const size_t i = (size_t)y * n + x;
                const float want = x + 3 < n ? (in[i] + in[i + 3]) / 2 : in[i] / 2;
                ASSERT_FLOAT_EQ(shifted[i], want) << f.name << " " << x << "," << y;
            }
        // 0.9999995 counts as 1, 0.999998 weighs, 0 and below give nothing, above 1 counts as 1.
        Image mask(n * n, 1.0f);
        mask[0] = 0.9999995f, mask[1] = 0.999998f, mask[2] = 0.0f, mask[3] = -0.5f, mask[4] = 1.5f;
        const Image m = average(f, in, n, mask, {kIdentity});
        EXPECT_EQ(m[0], in[0]) << f.name;
        EXPECT_EQ(m[1], 0.999998f * in[1]) << f.name;
        EXPECT_EQ(m[2], 0.0f) << f.name;
        EXPECT_EQ(m[3], 0.0f) << f.name;
        EXPECT_EQ(m[4], in[4]) << f.name;
        // No operators: 0/0 in every pixel.
        for (float v : average(f, in, n, half, {})) ASSERT_TRUE(std::isnan(v)) << f.name;
    }
}

TEST(NcsAverage, OutputGridSitsAtItsOffsetInTheInputAndOperatorsArePrinted) {
    const unsigned nxi = 12, nyi = 10, nxo = 4, nyo = 3;
    const Image in = textured(nxi, nyi), mask(nxo * nyo, 1.0f);
    Image out(nxo * nyo);
    testing::internal::CaptureStdout();
    cpu_2d_ncs_average(out.data(), nxo, nyo, 5.0f, 2.0f, in.data(), nxi, nyi, 5.5f, 4.5f, mask.data(), &kIdentity, 1);
    const std::string printed = testing::internal::GetCapturedStdout();
    for (unsigned y = 0; y < nyo; ++y)
        for (unsigned x = 0; x < nxo; ++x) EXPECT_EQ(out[y * nxo + x], in[(y + 2) * nxi + x + 5]) << x << "," << y;
    EXPECT_EQ(printed, "   R11       R12       R21       R22        Tx        Ty\n"
                       "  1.000000  0.000000  0.000000  1.000000  0.000000  0.000000\n");
    testing::internal::CaptureStdout();
    gpu_2d_ncs_average(out.data(), nxo, nyo, 5.0f, 2.0f, in.data(), nxi, nyi, 5.5f, 4.5f, mask.data(), &kIdentity, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), printed + ".");
}

TEST(NcsAverage, ReplaceAveragesOneBoxOfTheImage) {
    const unsigned nx = 16, ny = 12, bx = 5, by = 4, x0 = 6, y0 = 3;
    const Image src = textured(nx, ny);
    Image mask(bx * by, 1.0f);
    mask[bx + 2] = 0.0f;
    const std::vector<RT_Mat2D> ops = {kIdentity, op(1, 0, 0, 1, 1.0f, 0.0f)};
    Image dst(nx * ny, -7.0f);
    testing::internal::CaptureStdout();
    cpu_2d_ncs_average_replace(dst.data(), mask.data(), bx, by, x0, y0, src.data(), nx, ny, (nx - 1) / 2.0f,
                               (ny - 1) / 2.0f, ops.data(), 2);
    testing::internal::GetCapturedStdout();
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) {
            const size_t i = (size_t)y * nx + x;
            const bool in_box = x >= x0 && x < x0 + bx && y >= y0 && y < y0 + by;
            float want = src[i];
            if (in_box) want = (x - x0 == 2 && y - y0 == 1) ? 0.0f : (src[i] + src[i + 1]) / 2;
            ASSERT_FLOAT_EQ(dst[i], want) << x << "," << y;
        }
}

TEST(NcsCorrelation, SampleImageAndCoefficients) {
    const unsigned n = 10;
    const Image in = textured(n, n);
    Image mask(n * n, 1.0f), sample(n * n, -7.0f);
    mask[0] = 0.25f;
    cpu_2d_ncs_get_one(sample.data(), n, n, 0, 0, in.data(), n, n, 4.5f, 4.5f, mask.data(), op(1, 0, 0, 1, 2.0f, 0.0f));
    for (unsigned y = 0; y < n; ++y)
        for (unsigned x = 0; x < n; ++x) {
            const size_t i = (size_t)y * n + x;
            const float want = x + 2 < n ? (i == 0 ? 0.25f : 1.0f) * in[i + 2] : 0.0f;
            ASSERT_EQ(sample[i], want) << x << "," << y;
        }
    // The sample is weighted by the mask before the masked normalisation, so only a
    // mask of ones gives exactly 1 for the identity.
    mask[0] = 1.0f;
    const std::vector<RT_Mat2D> ops = {kIdentity, op(-1, 0, 0, -1)};
    float ccc[2] = {-7, -7};
    cpu_2d_ncs_cccs(ccc, in.data(), n, n, 0, 0, in.data(), n, n, 4.5f, 4.5f, mask.data(), ops.data(), 2);
    EXPECT_NEAR(ccc[0], 1.0f, 1e-6f);
    EXPECT_LT(ccc[1], 0.9f);
    EXPECT_FLOAT_EQ(ccc[1], cpu_2d_ncs_ccc_one(in.data(), n, n, 0, 0, in.data(), n, n, 4.5f, 4.5f, mask.data(), ops[1]));
    float untouched = -7.0f;
    gpu_2d_ncs_cccs(&untouched, in.data(), n, n, 0, 0, in.data(), n, n, 4.5f, 4.5f, mask.data(), ops.data(), 1);
    EXPECT_EQ(untouched, -7.0f);
}

TEST(NcsCorrelation, RefinementKeepsTheBestCoefficientAndItsShift) {
    // The reference is the input moved by (2, -3): the operator shifted by
    // dx = 2, dy = -3 maps it exactly. The last trial (15, 15) correlates poorly.
    const unsigned n = 24;
    Image in(n * n), ref(n * n);
    auto blob = [](double x, double y) { return std::exp(-((x - 11) * (x - 11) + (y - 12) * (y - 12)) / 8) + 0.5 * std::exp(-((x - 14) * (x - 14) + (y - 9) * (y - 9)) / 3); };
    for (unsigned y = 0; y < n; ++y)
        for (unsigned x = 0; x < n; ++x) {
            in[y * n + x] = (float)blob(x, y);
            ref[y * n + x] = (float)blob(x + 2.0, y - 3.0);
        }
    const Image mask(n * n, 1.0f);
    const RT_Mat2D ops[1] = {kIdentity};
    float ccc[1] = {-7};
    testing::internal::CaptureStdout();
    cpu_2d_ncs_cccs_refine(ccc, ref.data(), n, n, 0, 0, in.data(), n, n, 11.5f, 11.5f, mask.data(), ops, 1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NEAR(ccc[0], 1.0f, 1e-5f);
    EXPECT_NE(printed.find("rot dx dy ccc\nmax       -0.000       2.000      -3.000    1.000000\n"), std::string::npos) << printed;
    EXPECT_EQ(ops[0].Tx, 0.0f);
    const float last = cpu_2d_ncs_ccc_one(ref.data(), n, n, 0, 0, in.data(), n, n, 11.5f, 11.5f, mask.data(), op(1, 0, 0, 1, 15, 15));
    EXPECT_LT(last, 0.5f);
}

TEST(NcsDeath, SampleImageRefusesMaskValuesOutsideZeroToOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const unsigned n = 6;
    const Image in = textured(n, n);
    Image mask(n * n, 1.0f), out(n * n);
    mask[2 * n + 3] = 1.5f;
    EXPECT_EXIT((dup2(2, 1), cpu_2d_ncs_get_one(out.data(), n, n, 0, 0, in.data(), n, n, 2.5f, 2.5f, mask.data(), kIdentity)),
                ::testing::ExitedWithCode(1),
                "i,j = 3 2  1.500000\n.*Error in function cpu_2d_ncs_get_one\\(\\), file src/process2d_raw on line [0-9]+: Mask value must range from 0 to 1.0! Exit now!");
}

}  // namespace
