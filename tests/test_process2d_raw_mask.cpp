// Soft radial masks, normalisation within them, local means and deviations.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#define VORN_UNIT "tests/process2d_raw_mask"
#include "device_arrays_fixture.h"
#include "math_utils.h"
#include "process2d_raw.h"

namespace {

using Image = std::vector<float>;

// A smooth pattern with some structure, different in every pixel.
Image pattern(unsigned nx, unsigned ny) {
    Image a((size_t)nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) a[(size_t)y * nx + x] = std::sin(0.7f * x) + 0.3f * y + 0.01f * x * y;
    return a;
}
double reference_disc(double d, double r, double w) {
    if (d > r + w) return 0.0;
    if (d <= r) return 1.0;
    const double s = w / 3.0;
    return std::exp(-(d - r) * (d - r) / (2 * s * s));
}

// Local mean by direct summation: the device disc at (n - 1)/2 laid with its
// element j on pixel p + j - n/2 (circularly), divided by the disc's sum. For odd
// sizes n/2 is the disc's centre, so the window sits exactly on p.
Image reference_local_mean(const Image& in, unsigned nx, unsigned ny, float r, float w) {
    Image mask((size_t)nx * ny);
    gpu_2d_generate_rmask_soft(mask.data(), nx, ny, (nx - 1) * 0.5f, (ny - 1) * 0.5f, r, w);
    double S = 0;
    for (float m : mask) S += m;
    Image out(in.size());
    for (unsigned py = 0; py < ny; ++py)
        for (unsigned px = 0; px < nx; ++px) {
            double sum = 0;
            for (unsigned jy = 0; jy < ny; ++jy)
                for (unsigned jx = 0; jx < nx; ++jx) {
                    const unsigned x = (px + jx + nx - nx / 2) % nx, y = (py + jy + ny - ny / 2) % ny;
                    sum += (double)mask[(size_t)jy * nx + jx] * in[(size_t)y * nx + x];
                }
            out[(size_t)py * nx + px] = (float)(sum / S);
        }
    return out;
}
// The 2nx x 2ny mirror image, as the padding is defined, independently written.
Image mirror(const Image& in, unsigned nx, unsigned ny) {
    Image out((size_t)4 * nx * ny);
    for (unsigned y = 0; y < 2 * ny; ++y)
        for (unsigned x = 0; x < 2 * nx; ++x)
            out[(size_t)y * 2 * nx + x] = in[(size_t)(y < ny ? y : 2 * ny - 1 - y) * nx + (x < nx ? x : 2 * nx - 1 - x)];
    return out;
}
Image top_left(const Image& big, unsigned nx, unsigned ny) {
    Image out((size_t)nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) out[(size_t)y * nx + x] = big[(size_t)y * 2 * nx + x];
    return out;
}
void expect_near(const Image& a, const Image& b, float tol, const char* what) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], tol) << what << " at " << i;
}

// ---- masks ----

TEST(SoftMask, HostValuesAtTheRadiiAndTheDeviceEdgeFactor) {
    const unsigned n = 64;
    Image host(n * n), device(n * n);
    cpu_2d_generate_rmask_soft(host.data(), n, n, 31.5f, 31.5f, 10.0f, 6.0f);
    gpu_2d_generate_rmask_soft(device.data(), n, n, 31.5f, 31.5f, 10.0f, 6.0f);
    for (unsigned y = 0; y < n; ++y)
        for (unsigned x = 0; x < n; ++x) {
            const double d = std::hypot(x - 31.5, y - 31.5);
            const float h = host[y * n + x], g = device[y * n + x];
            ASSERT_NEAR(h, reference_disc(d, 10, 6), 1e-6) << x << "," << y;
            if (d <= 10 || d > 16)
                ASSERT_EQ(g, h);
            else
                ASSERT_NEAR(g, 0.3989423f * h, 1e-7);
        }
    // At distance 16 exactly (sigma = 2): exp(-4.5).
    Image edge(17 * 1);
    cpu_2d_generate_rmask_soft(edge.data(), 17, 1, 0.0f, 0.0f, 10.0f, 6.0f);
    EXPECT_NEAR(edge[16], std::exp(-4.5), 1e-7);
    EXPECT_EQ(edge[10], 1.0f);
    EXPECT_NEAR(edge[11], std::exp(-1.0 / 8.0), 1e-7);
}

TEST(SoftMask, CentralSharpAndSumForms) {
    const unsigned nx = 9, ny = 6;
    Image central(nx * ny), explicit_centre(nx * ny), sharp(nx * ny);
    float* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, nx * ny * sizeof(float)), cudaSuccess);
    hcuda_2d_generate_central_rmask(d, nx, ny, 2.0f, 1.5f);
    central = to_host(d, nx * ny);
    gpu_2d_generate_rmask_soft(explicit_centre.data(), nx, ny, 4.0f, 2.5f, 2.0f, 1.5f);
    EXPECT_EQ(central, explicit_centre);
    hcuda_2d_generate_central_sharp_rmask(d, nx, ny, 2.0f);
    sharp = to_host(d, nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x)
            EXPECT_EQ(sharp[y * nx + x], std::hypot(x - 4.0, y - 2.5) <= 2.0 ? 1.0f : 0.0f);
    cudaFree(d);
    Image host_central(nx * ny), host_explicit(nx * ny);
    cpu_2d_generate_central_rmask(host_central.data(), nx, ny, 2.0f, 1.5f);
    cpu_2d_generate_rmask_soft(host_explicit.data(), nx, ny, 4.0f, 2.5f, 2.0f, 1.5f);
    EXPECT_EQ(host_central, host_explicit);
    // r = 1, w = 0: a 2 x 2 grid, every pixel at 0.71 from the centre.
    EXPECT_EQ(cpu_2d_rmask_soft_sum(1.0f, 0.0f), 4.0f);
    double sum = 0;  // r = 2, w = 1.5: a 4 x 4 grid about (1.5, 1.5)
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) sum += reference_disc(std::hypot(x - 1.5, y - 1.5), 2, 1.5);
    EXPECT_NEAR(cpu_2d_rmask_soft_sum(2.0f, 1.5f), sum, 1e-5);
}

TEST(SoftMask, NormalisationWithinTheMask) {
    const unsigned nx = 16, ny = 12;
    const Image in = pattern(nx, ny);
    Image mask(nx * ny), out(nx * ny), applied(nx * ny);
    cpu_2d_generate_rmask_soft(mask.data(), nx, ny, 7.0f, 5.0f, 3.0f, 2.0f);
    cpu_2d_znorm_withRmask(out.data(), in.data(), nx, ny, 7.0f, 5.0f, 3.0f, 2.0f);
    double S = 0, m1 = 0, m2 = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        S += mask[i];
        m1 += mask[i] * out[i];
        m2 += mask[i] * out[i] * out[i];
    }
    EXPECT_NEAR(m1 / S, 0.0, 1e-5);
    EXPECT_NEAR(m2 / S, 1.0, 1e-4);
    cpu_2d_znorm_withRmask_applymask(applied.data(), in.data(), nx, ny, 7.0f, 5.0f, 3.0f, 2.0f);
    for (size_t i = 0; i < in.size(); ++i) ASSERT_FLOAT_EQ(applied[i], out[i] * mask[i]);
    Image a = in, b = in;
    cpu_2d_znorm_withRmask_inplace(a.data(), nx, ny, 7.0f, 5.0f, 3.0f, 2.0f);
    cpu_2d_znorm_withRmask_applymask_inplace(b.data(), nx, ny, 7.0f, 5.0f, 3.0f, 2.0f);
    EXPECT_EQ(a, out);
    EXPECT_EQ(b, applied);
}

// ---- local statistics ----

struct Size {
    unsigned nx, ny;
};
// 11 x 13: twice each side is slow to transform (22 = 2 x 11, 26 = 2 x 13), so
// the mirror-padded forms run on the next fast grid, 24 x 28.
const Size kSizes[] = {{8, 6}, {9, 7}, {10, 7}, {11, 13}};

TEST(LocalMean, PlainFormAgainstDirectSummationForEvenAndOddSizes) {
    for (const Size& s : kSizes) {
        const Image in = pattern(s.nx, s.ny);
        const Image want = reference_local_mean(in, s.nx, s.ny, 2.0f, 1.5f);
        Image out(in.size());
        gpu_2d_bg(out.data(), in.data(), s.nx, s.ny, 2.0f, 1.5f);
        expect_near(out, want, 2e-5f, "gpu_2d_bg");
        float* d = to_device(in);
        hcuda_2d_bg_inplace(d, s.nx, s.ny, 2.0f, 1.5f);
        expect_near(to_host(d, in.size()), want, 2e-5f, "hcuda_2d_bg_inplace");
        cudaFree(d);
    }
}

TEST(LocalMean, MirrorPaddedFormAgainstDirectSummationOnTheMirrorImage) {
    for (const Size& s : kSizes) {
        const Image in = pattern(s.nx, s.ny);
        const Image want = top_left(reference_local_mean(mirror(in, s.nx, s.ny), 2 * s.nx, 2 * s.ny, 2.0f, 1.5f), s.nx, s.ny);
        Image out(in.size());
        gpu_2d_local_ave_softR_mpad(out.data(), in.data(), s.nx, s.ny, 2.0f, 1.5f);
        expect_near(out, want, 2e-5f, "gpu_2d_local_ave_softR_mpad");
        float* d = to_device(in);
        hcuda_2d_subbg_mpad_inplace(d, s.nx, s.ny, 2.0f, 1.5f);
        const Image reduced = to_host(d, in.size());
        for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(reduced[i], in[i] - want[i], 3e-5f);
        cudaFree(d);
    }
}

TEST(LocalMean, ConstantImageGivesTheConstantAndZeroDeviation) {
    for (const Size& s : kSizes) {
        const Image c(s.nx * s.ny, 1234.567f);
        Image mean(c.size()), mean_pad(c.size()), dev(c.size(), -1.0f), dev_pad(c.size(), -1.0f);
        gpu_2d_local_ave_softR(mean.data(), c.data(), s.nx, s.ny, 3.0f, 2.0f);
        gpu_2d_bg_mpad(mean_pad.data(), c.data(), s.nx, s.ny, 3.0f, 2.0f);
        gpu_2d_local_sigma_softR(dev.data(), c.data(), s.nx, s.ny, 3.0f, 2.0f);
        gpu_2d_local_sigma_softR_mpad(dev_pad.data(), c.data(), s.nx, s.ny, 3.0f, 2.0f);
        for (size_t i = 0; i < c.size(); ++i) {
            ASSERT_NEAR(mean[i], 1234.567f, 2e-3f);
            ASSERT_NEAR(mean_pad[i], 1234.567f, 2e-3f);
            // Rounding makes avg(x^2) - avg(x)^2 of either sign: never NaN, at most a rounding residue.
            ASSERT_TRUE(std::isfinite(dev[i]) && std::isfinite(dev_pad[i])) << i;
            ASSERT_LT(dev[i], 2.0f);
            ASSERT_LT(dev_pad[i], 2.0f);
        }
    }
}

TEST(LocalDeviation, AgainstMomentsOfTheLocalMeans) {
    const unsigned nx = 10, ny = 7;
    const Image in = pattern(nx, ny);
    Image sq(in.size());
    for (size_t i = 0; i < in.size(); ++i) sq[i] = in[i] * in[i];
    const Image m1 = reference_local_mean(in, nx, ny, 2.0f, 1.5f), m2 = reference_local_mean(sq, nx, ny, 2.0f, 1.5f);
    Image out(in.size());
    float* d = to_device(in);
    float* d_out = to_device(in);
    hcuda_2d_local_sigma_softR(d_out, d, nx, ny, 2.0f, 1.5f);
    out = to_host(d_out, in.size());
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_NEAR(out[i], std::sqrt(std::max(0.0, (double)m2[i] - (double)m1[i] * m1[i])), 5e-3f) << i;
    hcuda_2d_local_sigma_softR(d, d, nx, ny, 2.0f, 1.5f);  // out may be in
    expect_near(to_host(d, in.size()), out, 1e-6f, "in place");
    const Image pm1 = top_left(reference_local_mean(mirror(in, nx, ny), 2 * nx, 2 * ny, 2.0f, 1.5f), nx, ny);
    const Image pm2 = top_left(reference_local_mean(mirror(sq, nx, ny), 2 * nx, 2 * ny, 2.0f, 1.5f), nx, ny);
    float* d_in = to_device(in);
    hcuda_2d_local_sigma_softR_mpad(d_out, d_in, nx, ny, 2.0f, 1.5f);
    const Image pad = to_host(d_out, in.size());
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_NEAR(pad[i], std::sqrt(std::max(0.0, (double)pm2[i] - (double)pm1[i] * pm1[i])), 5e-3f) << i;
    for (float* p : {d, d_out, d_in}) cudaFree(p);
}

TEST(LocalMean, ReduceFormsAndAliasesAgree) {
    const unsigned nx = 8, ny = 6;
    const Image in = pattern(nx, ny);
    Image bg(in.size()), bg_alias(in.size());
    gpu_2d_bg(bg.data(), in.data(), nx, ny, 2.0f, 1.0f);
    gpu_2d_local_ave_softR(bg_alias.data(), in.data(), nx, ny, 2.0f, 1.0f);
    EXPECT_EQ(bg, bg_alias);
    Image host_inplace = in;
    gpu_2d_bg_inplace(host_inplace.data(), nx, ny, 2.0f, 1.0f);
    EXPECT_EQ(host_inplace, bg);
    float* d = to_device(in);
    float* d_out = to_device(in);
    hcuda_2d_bg(d_out, d, nx, ny, 2.0f, 1.0f);
    EXPECT_EQ(to_host(d_out, in.size()), bg);
    hcuda_2d_local_ave_softR(d_out, d, nx, ny, 2.0f, 1.0f);
    EXPECT_EQ(to_host(d_out, in.size()), bg);
    hcuda_2d_bg_reduce_inplace(d, nx, ny, 2.0f, 1.0f);
    const Image reduced = to_host(d, in.size());
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(reduced[i], in[i] - bg[i]);
    Image pad(in.size()), pad_inplace = in;
    gpu_2d_bg_mpad(pad.data(), in.data(), nx, ny, 2.0f, 1.0f);
    gpu_2d_bg_mpad_inplace(pad_inplace.data(), nx, ny, 2.0f, 1.0f);
    EXPECT_EQ(pad_inplace, pad);
    float* d_in = to_device(in);
    hcuda_2d_bg_mpad(d_out, d_in, nx, ny, 2.0f, 1.0f);
    EXPECT_EQ(to_host(d_out, in.size()), pad);
    hcuda_2d_local_ave_softR_mpad(d_out, d_in, nx, ny, 2.0f, 1.0f);
    EXPECT_EQ(to_host(d_out, in.size()), pad);
    hcuda_2d_bg_mpad_inplace(d_in, nx, ny, 2.0f, 1.0f);
    EXPECT_EQ(to_host(d_in, in.size()), pad);
    for (float* p : {d, d_out, d_in}) cudaFree(p);
}

// The shared transform and the kept windows give both maps to the bit, for a
// second image of the size, after a change of size, and with sigma in place of in.
TEST(LocalMean, SharedMirroredStatisticsMatchTheSeparateOnes) {
    LocalStatsWork work;
    const struct { unsigned nx, ny; float offset; } cases[] = {{9, 7, 0.0f}, {9, 7, 2.5f}, {8, 6, 0.0f}, {11, 13, 0.0f}};
    for (const auto& c : cases) {
        Image in = pattern(c.nx, c.ny);
        for (float& v : in) v += c.offset;
        float* d_in = to_device(in);
        float* want = to_device(in);
        float* ave = to_device(in);
        float* sigma = to_device(in);
        hcuda_2d_local_ave_softR_mpad(want, d_in, c.nx, c.ny, 3.0f, 1.5f);
        const Image want_ave = to_host(want, in.size());
        hcuda_2d_local_sigma_softR_mpad(want, d_in, c.nx, c.ny, 1.5f, 1.5f);
        const Image want_sigma = to_host(want, in.size());
        hcuda_2d_local_ave_sigma_softR_mpad(ave, sigma, d_in, c.nx, c.ny, 3.0f, 1.5f, 1.5f, work);
        EXPECT_EQ(to_host(ave, in.size()), want_ave) << c.nx << " x " << c.ny;
        EXPECT_EQ(to_host(sigma, in.size()), want_sigma) << c.nx << " x " << c.ny;
        hcuda_2d_local_ave_sigma_softR_mpad(ave, d_in, d_in, c.nx, c.ny, 3.0f, 1.5f, 1.5f, work);
        EXPECT_EQ(to_host(d_in, in.size()), want_sigma) << "in place";
        for (float* p : {d_in, want, ave, sigma}) cudaFree(p);
    }
}

TEST(LocalMean, ShrinkFormsLeaveTheOutputAsItWas) {
    const Image in = pattern(4, 4);
    Image out(16, 7.0f);
    gpu_2d_shrink_local_ave_softR(out.data(), in.data(), 4, 4, 2, 1.0f, 1.0f);
    gpu_2d_shrink_local_sigma_softR(out.data(), in.data(), 4, 4, 2, 1.0f, 1.0f);
    EXPECT_EQ(out, Image(16, 7.0f));
}

}  // namespace

namespace {

// Every allocation of the local statistics is checked: a failed one ends the
// process with the GPU check line instead of running on a null buffer.
TEST(LocalMean, FailedAllocationEndsWithTheCheckLine) {
    const Image in = pattern(8, 6);
    Image out(in.size());
    EXPECT_EXIT((vorn_host::fail_next_allocation(), gpu_2d_bg_mpad(out.data(), in.data(), 8, 6, 2.0f, 1.0f)),
                ::testing::ExitedWithCode(1), "Error .* at line [0-9]+ in file src/process2d_raw");
    float* d = to_device(in);
    EXPECT_EXIT((vorn_host::fail_next_allocation(), hcuda_2d_bg_inplace(d, 8, 6, 2.0f, 1.0f)),
                ::testing::ExitedWithCode(1), "Error .* at line [0-9]+ in file src/process2d_raw");
    cudaFree(d);
}

}  // namespace
