// Phase-ramp shifts, radial and B-factor weights, means of complex stacks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <vector>

#define VORN_UNIT "tests/cuda_fft_weights"
#include "cuda_fft.h"
#include "device_arrays_fixture.h"

namespace {

using Image = std::vector<float>;
using Half = std::vector<float2>;

Image pattern(unsigned nx, unsigned ny) {
    Image a((size_t)nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) a[(size_t)y * nx + x] = std::cos(0.9f * x + 0.4f * y) + 0.05f * x - 0.1f * y;
    return a;
}

// Periodic band-limited interpolation kernel of odd length n at offset t:
// (1/n) sum over k = -(n-1)/2 .. (n-1)/2 of exp(2 pi i k t / n).
double dirichlet(double t, int n) {
    double s = 1.0;
    for (int k = 1; k <= (n - 1) / 2; ++k) s += 2.0 * std::cos(2.0 * M_PI * k * t / n);
    return s / n;
}
// out(x, y) = the trigonometric interpolant of in at (x + sx, y + sy), odd sizes.
Image reference_shift_odd(const Image& in, int nx, int ny, double sx, double sy) {
    Image out(in.size());
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            double v = 0;
            for (int q = 0; q < ny; ++q)
                for (int p = 0; p < nx; ++p)
                    v += in[(size_t)q * nx + p] * dirichlet(x + sx - p, nx) * dirichlet(y + sy - q, ny);
            out[(size_t)y * nx + x] = (float)v;
        }
    return out;
}

// ---- shifts ----

TEST(Shift, WholePixelShiftsMoveContentPeriodicallyAtAnySize) {
    struct Case {
        unsigned nx, ny;
        float sx, sy;
    } cases[] = {{16, 16, 1, 0}, {16, 12, 0, 1}, {16, 12, -3, 2}, {16, 12, 16, 0}, {15, 9, 1, 0}, {15, 9, 0, 1},
                 {15, 9, 4, -2}};
    for (const Case& c : cases) {
        const Image in = pattern(c.nx, c.ny);
        Image out(in.size());
        gpu_2d_shift(in.data(), out.data(), c.nx, c.ny, c.sx, c.sy);
        for (unsigned y = 0; y < c.ny; ++y)
            for (unsigned x = 0; x < c.nx; ++x) {
                const unsigned sx = (unsigned)((int)x + (int)c.sx + 4 * (int)c.nx) % c.nx;
                const unsigned sy = (unsigned)((int)y + (int)c.sy + 4 * (int)c.ny) % c.ny;
                ASSERT_NEAR(out[y * c.nx + x], in[sy * c.nx + sx], 2e-5f) << c.nx << "x" << c.ny << " " << x << "," << y;
            }
    }
}

TEST(Shift, SinglePixelMovesAgainstTheShiftAndHalfPixelSplits) {
    const unsigned n = 16;
    Image delta(n * n, 0.0f);
    delta[5 * n + 5] = 1.0f;
    Image out(n * n);
    gpu_2d_shift(delta.data(), out.data(), n, n, 1.0f, 0.0f);
    EXPECT_NEAR(out[5 * n + 4], 1.0f, 1e-6f);
    gpu_2d_shift(delta.data(), out.data(), n, n, 0.5f, 0.0f);
    for (size_t i = 0; i < out.size(); ++i)  // the two neighbours stand above the ringing
        if (i != 5 * n + 4 && i != 5 * n + 5) {
            ASSERT_LT(out[i], 0.5f * out[5 * n + 4]) << i;
        }
    EXPECT_NEAR(out[5 * n + 4], out[5 * n + 5], 1e-5f);
}

// Fractional shifts of odd images need the true width (not 2 (nxh - 1)) and the
// rows up to (ny - 1)/2 as positive frequencies: checked against direct interpolation.
TEST(Shift, FractionalShiftOfOddSizesMatchesTrigonometricInterpolation) {
    const int nx = 9, ny = 7;
    const Image in = pattern(nx, ny);
    const Image want = reference_shift_odd(in, nx, ny, 0.5, 0.25);
    Image out(in.size()), out2(in.size()), inplace = in;
    gpu_2d_shift(in.data(), out.data(), nx, ny, 0.5f, 0.25f);
    gpu_2d_shift2(in.data(), out2.data(), nx, ny, 0.5f, 0.25f);
    gpu_2d_shift_inplace(inplace.data(), nx, ny, 0.5f, 0.25f);
    for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(out[i], want[i], 2e-5f) << i;
    EXPECT_EQ(out2, out);
    EXPECT_EQ(inplace, out);
    float* d = to_device(in);
    hcuda_2d_shift_inplace(d, nx, ny, 0.5f, 0.25f);
    EXPECT_EQ(to_host(d, in.size()), out);
    cudaFree(d);
}

TEST(Shift, PhaseRampOfOneElement) {
    const int nxh = 5, ny = 6;  // an 8 x 6 image
    Half h((size_t)nxh * ny);
    for (size_t i = 0; i < h.size(); ++i) h[i] = make_float2(1.0f + i, 0.5f - i);
    float2* d = to_device(h);
    float2* d_out = to_device(h);
    hcuda_c2dh_linear_Pshift(d, d_out, nxh, ny, 0.3f, -1.7f);
    const Half out = to_host(d_out, h.size());
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nxh; ++x) {
            const int ky = y < ny / 2 ? y : y - ny;
            const double phi = 2 * M_PI * (0.3 * x / 8.0 + (-1.7) * ky / ny);
            const std::complex<double> v = std::complex<double>(h[y * nxh + x].x, h[y * nxh + x].y) * std::polar(1.0, phi);
            ASSERT_NEAR(out[y * nxh + x].x, v.real(), 1e-4) << x << "," << y;
            ASSERT_NEAR(out[y * nxh + x].y, v.imag(), 1e-4) << x << "," << y;
        }
    hcuda_c2dh_linear_Pshift_inplace(d, nxh, ny, 0.3f, -1.7f);
    const Half inplace = to_host(d, h.size());
    for (size_t i = 0; i < h.size(); ++i) EXPECT_TRUE(inplace[i].x == out[i].x && inplace[i].y == out[i].y);
    cudaFree(d);
    cudaFree(d_out);
}

// ---- radial weights ----

// Weight applied to an all-ones half spectrum of an nx x ny image.
Image weights_of(unsigned nx, unsigned ny, float r0, float w) {
    const unsigned nxh = nx / 2 + 1;
    float2* d = to_device(Half((size_t)nxh * ny, make_float2(1.0f, -1.0f)));
    hcuda_c2dh_rweight_inplace(d, nxh, ny, r0, w);
    const Half h = to_host(d, (size_t)nxh * ny);
    cudaFree(d);
    Image out(h.size());
    for (size_t i = 0; i < h.size(); ++i) {
        EXPECT_EQ(h[i].y, -h[i].x);
        out[i] = h[i].x;
    }
    return out;
}
float frequency(unsigned x, unsigned y, unsigned nx, unsigned ny) {
    const float fx = (float)x / nx, fy = (float)(y < ny / 2 ? y : ny - y) / ny;
    return std::sqrt(fx * fx + fy * fy);
}

TEST(RadialWeight, RampStepAtNyquistAndNoNaN) {
    const unsigned nx = 16, ny = 12, nxh = 9;
    for (float r0 : {0.6f, 0.5f}) {  // r0 above 0.5 is taken as 0.5, so sigma = 0
        const Image k = weights_of(nx, ny, r0, 0.1f);
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nxh; ++x) {
                const float f = frequency(x, y, nx, ny), v = k[y * nxh + x];
                ASSERT_FALSE(std::isnan(v)) << x << "," << y;
                if (f < 0.5f) {
                    ASSERT_NEAR(v, f, 1e-6f);
                } else {
                    ASSERT_EQ(v, f == 0.5f ? 0.5f : 0.0f);
                }
            }
        EXPECT_EQ(k[nxh - 1], 0.5f);  // the Nyquist column of row 0
        EXPECT_EQ(k[0], 0.0f);
    }
    // A Gaussian edge: r0 = 0.2, w = 0.15, sigma = 0.05.
    const Image k = weights_of(nx, ny, 0.2f, 0.15f);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nxh; ++x) {
            const double f = frequency(x, y, nx, ny);
            const double want = f < 0.2 ? f : 0.2 * std::exp(-(f - 0.2) * (f - 0.2) / (2 * 0.05 * 0.05));
            ASSERT_NEAR(k[y * nxh + x], want, 2e-6) << x << "," << y;
        }
    // w = 0 with r0 + w within 0.5: a step at r0.
    const Image step = weights_of(nx, ny, 0.25f, 0.0f);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nxh; ++x) {
            const float f = frequency(x, y, nx, ny);
            ASSERT_EQ(step[y * nxh + x], f < 0.25f ? f : (f == 0.25f ? 0.25f : 0.0f)) << x << "," << y;
        }
}

TEST(RadialWeight, ImageFormAgainstWeightsAppliedToTheSpectrum) {
    const unsigned nx = 12, ny = 10, nxh = 7;
    const Image in = pattern(nx, ny);
    Half spectrum((size_t)nxh * ny);
    gpu_2d_fft_r2c(in.data(), spectrum.data(), nx, ny);
    Image amp_before(spectrum.size()), amp_after(spectrum.size());
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nxh; ++x) {
            float2& v = spectrum[y * nxh + x];
            amp_before[y * nxh + x] = std::hypot(v.x, v.y);
            const double f = frequency(x, y, nx, ny);
            const float k = (float)(f < 0.3 ? f : 0.3 * std::exp(-(f - 0.3) * (f - 0.3) / (2 * 0.04 * 0.04)));
            v = make_float2(v.x * k, v.y * k);
            amp_after[y * nxh + x] = std::hypot(v.x, v.y);
        }
    Image want(in.size());
    gpu_2d_fft_c2r(spectrum.data(), want.data(), nx, ny);

    float* d = to_device(in);
    float* d_out = to_device(in);
    hcuda_r2d_rweight(d_out, d, nx, ny, 0.3f, 0.12f);
    const Image out = to_host(d_out, in.size());
    for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(out[i], want[i], 1e-5f) << i;
    hcuda_r2d_rweight_inplace(d, nx, ny, 0.3f, 0.12f);
    EXPECT_EQ(to_host(d, in.size()), out);
    float* d_before = to_device(Image(spectrum.size()));
    float* d_after = to_device(Image(spectrum.size()));
    float* d_again = to_device(in);
    hcuda_r2d_rweight_inplace2_debug(d_again, d_before, d_after, nx, ny, 0.3f, 0.12f);
    EXPECT_EQ(to_host(d_again, in.size()), out);
    const Image before = to_host(d_before, spectrum.size()), after = to_host(d_after, spectrum.size());
    for (size_t i = 0; i < spectrum.size(); ++i) {
        ASSERT_NEAR(before[i], amp_before[i], 1e-5f);
        ASSERT_NEAR(after[i], amp_after[i], 1e-5f);
    }
    for (float* p : {d, d_out, d_before, d_after, d_again}) cudaFree(p);
}

TEST(RadialWeight, OddSizesEndTheProcess) {
    float* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 100 * 51 * sizeof(float)), cudaSuccess);
    EXPECT_EXIT((dup2(2, 1), hcuda_r2d_rweight(d, d, 101, 50, 0.3f, 0.1f)), ::testing::ExitedWithCode(1),
                "^Error in function hcuda_r2d_rweight\\(\\), file src/cuda_fft on line [0-9]+: 101 not an even "
                "number! Exit now!\n");
    EXPECT_EXIT((dup2(2, 1), hcuda_r2d_rweight_inplace(d, 100, 51, 0.3f, 0.1f)), ::testing::ExitedWithCode(1),
                ": 51 not an even number! Exit now!");
    EXPECT_EXIT((dup2(2, 1), hcuda_r2d_rweight_inplace2_debug(d, d, d, 7, 8, 0.3f, 0.1f)), ::testing::ExitedWithCode(1),
                ": 7 not an even number! Exit now!");
    cudaFree(d);
}

// ---- B-factor weights ----

TEST(BFactor, ZeroCopiesAndRowsInEitherOrderGiveTheSameWeights) {
    const unsigned nxh = 5, ny = 6;
    Image in((size_t)nxh * ny);
    for (size_t i = 0; i < in.size(); ++i) in[i] = 1.0f + 0.5f * i;
    Image out(in.size());
    cpu_r2dh_fftA_appy_bfac(out.data(), in.data(), nxh, ny, 1.5f, 0.0f);
    EXPECT_EQ(out, in);
    const float apix = 1.5f, B = 80.0f;
    cpu_r2dh_fftA_appy_bfac(out.data(), in.data(), nxh, ny, apix, B);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nxh; ++x) {
            const double fx = x / 8.0, fy = ((double)y - 3.0) / 6.0;
            const double s = std::sqrt(fx * fx + fy * fy) / apix;
            ASSERT_NEAR(out[y * nxh + x], in[y * nxh + x] * std::exp(-s * s * B / 4), 1e-5) << x << "," << y;
        }
    // FFT-order rows: row y is y-centred row (y + ny/2) mod ny.
    Image fft_order(in.size()), usw(in.size());
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nxh; ++x) fft_order[y * nxh + x] = in[((y + ny / 2) % ny) * nxh + x];
    cpu_r2dh_usw_fftA_appy_bfac(usw.data(), fft_order.data(), nxh, ny, apix, B);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nxh; ++x) ASSERT_EQ(usw[y * nxh + x], out[((y + ny / 2) % ny) * nxh + x]);
    cpu_r2dh_usw_fftA_appy_bfac_inplace(fft_order.data(), nxh, ny, apix, B);
    EXPECT_EQ(fft_order, usw);
}

// ---- complex stack means ----

TEST(ComplexStackMean, GpuAndCpuFormsAgreeWithTheirArgumentOrders) {
    const unsigned w = 3, h = 2, n = 4;
    Half stack((size_t)w * h * n);
    for (size_t i = 0; i < stack.size(); ++i) stack[i] = make_float2((float)i, -2.0f * i);
    Half cpu(w * h), gpu(w * h);
    cpu_2ds_fftout_r2c_ave(stack.data(), cpu.data(), w, h, n);
    gpu_c2ds_ave(gpu.data(), stack.data(), w, h, n);
    for (size_t i = 0; i < cpu.size(); ++i) {
        const float want = (float)(i + (i + 6) + (i + 12) + (i + 18)) / 4.0f;
        EXPECT_EQ(cpu[i].x, want);
        EXPECT_EQ(cpu[i].y, -2.0f * want);
        EXPECT_TRUE(gpu[i].x == cpu[i].x && gpu[i].y == cpu[i].y);
    }
    float2* d = to_device(stack);
    float2* d_out = to_device(Half(w * h));
    hcuda_c2ds_fftout_r2c_ave(d_out, d, w, h, n);
    const Half alias = to_host(d_out, w * h);
    for (size_t i = 0; i < cpu.size(); ++i) EXPECT_TRUE(alias[i].x == cpu[i].x && alias[i].y == cpu[i].y);
    hcuda_c2ds_ave(d_out, d, w, h, 0);  // no slots: 0/0
    for (const float2& v : to_host(d_out, w * h)) EXPECT_TRUE(std::isnan(v.x) && std::isnan(v.y));
    cpu_2ds_fftout_r2c_ave(stack.data(), cpu.data(), w, h, 0);
    EXPECT_TRUE(std::isnan(cpu[0].x));
    cudaFree(d);
    cudaFree(d_out);
}

}  // namespace

namespace {

TEST(Shift, FailedAllocationEndsWithTheCheckLine) {
    const Image in = pattern(8, 6);
    Image out(in.size());
    EXPECT_EXIT((vorn_host::fail_next_allocation(), gpu_2d_shift2(in.data(), out.data(), 8, 6, 1.0f, 0.0f)),
                ::testing::ExitedWithCode(1), "Error .* at line [0-9]+ in file src/cuda_fft");
    Half stack(12);
    EXPECT_EXIT((vorn_host::fail_next_allocation(), gpu_c2ds_ave(stack.data(), stack.data(), 3, 2, 2)),
                ::testing::ExitedWithCode(1), "Error .* at line [0-9]+ in file src/cuda_fft");
}

}  // namespace
