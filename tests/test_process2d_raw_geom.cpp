// Geometric transforms: the bilinear rule, rigid transforms, rotations, shifts,
// scaling, flips and transposes, mirror padding.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <vector>

#define VORN_UNIT "tests/process2d_raw_geom"
#include "device_arrays_fixture.h"
#include "process2d_raw.h"

namespace {

using Image = std::vector<float>;

// Pixel values that tell every position apart, exact in float.
Image numbered(unsigned nx, unsigned ny, unsigned nz = 1) {
    Image a((size_t)nx * ny * nz);
    for (size_t i = 0; i < a.size(); ++i) a[i] = (float)(i + 1);
    return a;
}

// run(d_in, d_out) on a device copy of a host image and an output of its size.
template <class F>
Image on_device(const Image& in, F run) {
    float* d_in = to_device(in);
    float* d_out = device_array(in.size());
    run(d_in, d_out);
    Image out = to_host(d_out, in.size());
    cudaFree(d_in);
    cudaFree(d_out);
    return out;
}
// Runs a resampling kernel of signature (in, out, nx, ny, args...) on a host image.
template <auto Kernel, class... A>
Image resample(const Image& in, unsigned nx, unsigned ny, A... args) {
    return on_device(in, [&](float* d_in, float* d_out) {  // the arc average's input is not const
        GPU_LAUNCH(Kernel, gpu_grid_2d(nx, ny), gpu_block_2d(), 0)(d_in, d_out, nx, ny, args...);
        CUDA_LAUNCH_CHECK();
    });
}
Image transform(const Image& in, unsigned nx, unsigned ny, float cx, float cy, RT_Mat2D m, int mode) {
    return resample<cuda_2d_transform>(in, nx, ny, cx, cy, m, mode);
}

// ---- the sampling rule ----

TEST(Bilinear, InsideValuesAndEdges) {
    const unsigned nx = 3, ny = 2;
    const Image a = {1, 2, 4, 8, 16, 32};  // rows (1 2 4), (8 16 32)
    float v = -1.0f;
    ASSERT_TRUE(bilinear_sample(a.data(), nx, ny, 2.0f, 1.0f, v));  // the last pixel, no neighbour read
    EXPECT_EQ(v, 32.0f);
    ASSERT_TRUE(bilinear_sample(a.data(), nx, ny, 0.5f, 0.0f, v));
    EXPECT_EQ(v, 1.5f);
    ASSERT_TRUE(bilinear_sample(a.data(), nx, ny, 1.0f, 0.25f, v));
    EXPECT_EQ(v, 2.0f + 0.25f * 14.0f);
    ASSERT_TRUE(bilinear_sample(a.data(), nx, ny, 1.5f, 0.5f, v));
    EXPECT_EQ(v, (2.0f + 4.0f + 16.0f + 32.0f) / 4.0f);
    ASSERT_TRUE(bilinear_sample(a.data(), nx, ny, 2.0f, 0.5f, v));  // last column, between rows
    EXPECT_EQ(v, 18.0f);
}

// A position outside, or not a number, has no value; NaN must not slip through
// a test written as "below 0 or above n - 1" and then index the image.
TEST(Bilinear, OutsideAndNonFinitePositionsHaveNoValue) {
    const Image a = {1, 2, 3, 4};
    const float nan = std::nanf(""), inf = INFINITY;
    const float xs[][2] = {{-0.001f, 0}, {1.001f, 0}, {0, -0.5f}, {0, 1.5f}, {nan, 0}, {0, nan},
                           {nan, nan},   {inf, 0},    {-inf, 0}, {0, inf}};
    for (const auto& p : xs) {
        float v = -7.0f;
        EXPECT_FALSE(bilinear_sample(a.data(), 2, 2, p[0], p[1], v)) << p[0] << "," << p[1];
        EXPECT_EQ(v, -7.0f);
        EXPECT_EQ(bilinear_sample_or_zero(a.data(), 2, 2, p[0], p[1]), 0.0f);
    }
    float v;
    EXPECT_FALSE(bilinear_sample(a.data(), 0, 2, 0.0f, 0.0f, v));
}

// A resampled position that belongs on the edge may land a few float ulps of the
// image size beside it (cosf(pi/2) is not 0): it reads the edge pixel, with no
// neighbour, while a position farther out still has no value. The margin grows
// with the size, as the rounding of positions does.
TEST(Bilinear, PositionsWithinRoundingOfTheEdgeReadTheEdge) {
    const Image a = {1, 2, 4, 8, 16, 32};  // 3 x 2: rows (1 2 4), (8 16 32)
    const Image row = numbered(4097, 1);
    struct Case {
        const Image* in;
        unsigned nx, ny;
        float sx, sy;
        bool inside;
        float value;
    } cases[] = {
        {&a, 3, 2, -4.8e-7f, 1.0f, true, 8.0f},  {&a, 3, 2, 1.0f, -1e-7f, true, 2.0f},
        {&a, 3, 2, 2.0000005f, 0.0f, true, 4.0f}, {&a, 3, 2, 2.0f, 1.0000002f, true, 32.0f},
        {&a, 3, 2, -1e-4f, 0.0f, false, 0.0f},    {&a, 3, 2, 0.0f, 1.0001f, false, 0.0f},
        {&row, 4097, 1, -1e-3f, 0.0f, true, 1.0f}, {&row, 4097, 1, 4096.001f, 0.0f, true, 4097.0f},
        {&row, 4097, 1, -0.01f, 0.0f, false, 0.0f},
    };
    for (const Case& c : cases) {
        float v = -7.0f;
        EXPECT_EQ(bilinear_sample(c.in->data(), c.nx, c.ny, c.sx, c.sy, v), c.inside) << c.sx << "," << c.sy;
        EXPECT_EQ(v, c.inside ? c.value : -7.0f) << c.sx << "," << c.sy;
    }
}

// ---- rotations and rigid transforms ----

TEST(Rotate, ZeroDegreesKeepsEveryPixelAndNinetyTurnsTheGrid) {
    const unsigned n = 5;
    const Image in = numbered(n, n);
    float* d_in = to_device(in);
    float* d_out = device_array(in.size());
    hcuda_2d_rotate(d_in, d_out, n, n, 0.0f);
    EXPECT_EQ(to_host(d_out, in.size()), in);
    // By 90 degrees about (2, 2): source (2 + (y - 2), 2 - (x - 2)) = (y, 4 - x).
    hcuda_2d_rotate(d_in, d_out, n, n, 90.0f);
    const Image out = to_host(d_out, in.size());
    for (unsigned y = 0; y < n; ++y)
        for (unsigned x = 0; x < n; ++x)
            EXPECT_NEAR(out[(size_t)y * n + x], in[(size_t)(n - 1 - x) * n + y], 1e-3f) << x << "," << y;
    cudaFree(d_in);
    cudaFree(d_out);
}

// A turn by a multiple of 90 degrees, whole turns included, is the exact
// permutation of the pixels, border included, by every rotating form, for odd
// and even sizes and a long image whose far ends show any rounding of the sine
// and cosine: output (x, y) reads (cx + C u + S v, cy - S u + C v), u = x - cx,
// v = y - cy, with the exact cosine C and sine S, here in doubled integer
// coordinates (0 where that is outside).
TEST(Rotate, WholeAndQuarterTurnsAreExactPermutationsBorderIncluded) {
    using Rotator = Image (*)(const Image&, unsigned, unsigned, float);
    const struct {
        const char* name;
        Rotator f;
    } rotators[] = {
        {"hcuda_2d_rotate",
         [](const Image& in, unsigned nx, unsigned ny, float d) {
             return on_device(in, [&](const float* d_in, float* d_out) { hcuda_2d_rotate(d_in, d_out, nx, ny, d); });
         }},
        {"hcuda_2d_translate_rotate",
         [](const Image& in, unsigned nx, unsigned ny, float d) {
             return on_device(in, [&](const float* d_in, float* d_out) {
                 hcuda_2d_translate_rotate(d_in, d_out, nx, ny, 0.0f, 0.0f, d);
             });
         }},
        {"cuda_2d_rotate_anycenter",
         [](const Image& in, unsigned nx, unsigned ny, float d) {
             return resample<cuda_2d_rotate_anycenter>(in, nx, ny, (float)(nx - 1) * 0.5f, (float)(ny - 1) * 0.5f, d);
         }},
        {"cuda_2d_rotate_translate",
         [](const Image& in, unsigned nx, unsigned ny, float d) {
             return resample<cuda_2d_rotate_translate>(in, nx, ny, d, 0.0f, 0.0f);
         }},
    };
    const struct {
        float degrees;
        int C, S;
    } turns[] = {{90, 0, 1},   {180, -1, 0}, {270, 0, -1},   {-90, 0, -1},
                 {3600, 1, 0}, {-720, 1, 0}, {-3690, 0, -1}, {-360.0f * 16777216.0f, 1, 0}};
    const unsigned sizes[][2] = {{9, 9}, {8, 8}, {4097, 5}};  // nx and ny of one parity
    for (const auto& size : sizes) {
        const unsigned nx = size[0], ny = size[1];
        const int mx = (int)nx - 1, my = (int)ny - 1;  // twice the centre
        const Image in = numbered(nx, ny);
        for (const auto& t : turns) {
            Image want(in.size(), 0.0f);
            for (int y = 0; y < (int)ny; ++y)
                for (int x = 0; x < (int)nx; ++x) {
                    const int u2 = 2 * x - mx, v2 = 2 * y - my;
                    const int sx = (mx + t.C * u2 + t.S * v2) / 2, sy = (my - t.S * u2 + t.C * v2) / 2;
                    if (sx >= 0 && sx <= mx && sy >= 0 && sy <= my) want[(size_t)y * nx + x] = in[(size_t)sy * nx + sx];
                }
            for (const auto& r : rotators)
                EXPECT_EQ(r.f(in, nx, ny, t.degrees), want) << r.name << " " << nx << " x " << ny << " " << t.degrees;
        }
    }
}

TEST(Rotate, AnyCentreAndTheTranslatingFormsAgreeWithThePlainRotation) {
    const unsigned nx = 9, ny = 7;
    const Image in = numbered(nx, ny);
    const Image plain = resample<cuda_2d_rotate>(in, nx, ny, 33.0f);
    EXPECT_EQ(resample<cuda_2d_rotate_anycenter>(in, nx, ny, 4.0f, 3.0f, 33.0f), plain);
    EXPECT_EQ(resample<cuda_2d_rotate_translate>(in, nx, ny, 33.0f, 0.0f, 0.0f), plain);
    // Rotating by 0 after moving the output pixel by -(tx, ty) is the plain translation.
    EXPECT_EQ(resample<cuda_2d_rotate_translate>(in, nx, ny, 0.0f, 2.0f, -1.0f),
              resample<cuda_2d_translate>(in, nx, ny, 2.0f, -1.0f));
    float* d_in = to_device(in);
    float* d_out = device_array(in.size());
    hcuda_2d_translate_rotate(d_in, d_out, nx, ny, 1.0f, 2.0f, 0.0f);
    EXPECT_EQ(to_host(d_out, in.size()), resample<cuda_2d_translate>(in, nx, ny, 1.0f, 2.0f));
    cudaFree(d_in);
    cudaFree(d_out);
}

TEST(Translate, WholeAndHalfPixelShifts) {
    const unsigned nx = 4, ny = 3;
    const Image in = numbered(nx, ny);
    const Image whole = resample<cuda_2d_translate>(in, nx, ny, 1.0f, -1.0f);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) {
            const bool inside = x >= 1 && y + 1 < ny;
            EXPECT_EQ(whole[y * nx + x], inside ? in[(y + 1) * nx + x - 1] : 0.0f) << x << "," << y;
        }
    // Along x only, linear interpolation; the y form is the same along columns.
    const Image half = resample<cuda_2d_translate_x>(in, nx, ny, 0.5f);
    for (unsigned y = 0; y < ny; ++y) {
        EXPECT_EQ(half[y * nx], 0.0f);
        for (unsigned x = 1; x < nx; ++x) EXPECT_EQ(half[y * nx + x], in[y * nx + x] - 0.5f);
    }
    EXPECT_EQ(half, resample<cuda_2d_translate>(in, nx, ny, 0.5f, 0.0f));
    EXPECT_EQ(resample<cuda_2d_translate_y>(in, nx, ny, -0.25f), resample<cuda_2d_translate>(in, nx, ny, 0.0f, -0.25f));
}

TEST(Transform, IdentityWithShiftMovesContentLeft) {
    const unsigned nx = 6, ny = 4;
    const Image in = numbered(nx, ny);
    RT_Mat2D m;
    m.Tx = 2.0f;
    const Image out = transform(in, nx, ny, 2.5f, 1.5f, m, -1);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x)
            EXPECT_EQ(out[y * nx + x], x + 2 < nx ? in[y * nx + x + 2] : 0.0f) << x << "," << y;
}

TEST(Transform, HandComputedQuarterTurnAndInverseModes) {
    const unsigned n = 7;
    const Image in = numbered(n, n);
    // Source = (-v + 1 + cx, u + cy) for u = x - 3, v = y - 3: (7 - y, x).
    const RT_Mat2D m{0.0f, -1.0f, 1.0f, 0.0f, 1.0f, 0.0f};
    const Image out = transform(in, n, n, 3.0f, 3.0f, m, -1);
    for (unsigned y = 0; y < n; ++y)
        for (unsigned x = 0; x < n; ++x)
            EXPECT_EQ(out[y * n + x], y >= 1 ? in[(size_t)x * n + (7 - y)] : 0.0f) << x << "," << y;
    // Any mode but -1 applies the inverse: the same as mode -1 with the inverse
    // operator; the per-thread form gives identical pixels.
    const RT_Mat2D g{0.8f, -0.6f, 0.6f, 0.8f, 1.25f, -0.5f};
    const Image inverse = transform(in, n, n, 3.0f, 2.5f, g, 0);
    EXPECT_EQ(inverse, transform(in, n, n, 3.0f, 2.5f, rt_mat2d_inverse(g), -1));
    EXPECT_EQ(inverse, transform(in, n, n, 3.0f, 2.5f, g, 7));
    EXPECT_EQ(inverse, resample<cuda_2d_transform2>(in, n, n, 3.0f, 2.5f, g, 0));
    // Mapping forward and back returns the interior pixels (to rounding).
    const Image back = transform(transform(in, n, n, 3.0f, 3.0f, g, -1), n, n, 3.0f, 3.0f, g, 0);
    EXPECT_NEAR(back[3 * n + 3], in[3 * n + 3], 1e-3f);
    float* d_in = to_device(in);
    float* d_out = device_array(in.size());
    hcuda_2d_transform(d_in, d_out, n, n, 3.0f, 2.5f, g, 0);
    EXPECT_EQ(to_host(d_out, in.size()), inverse);
    cudaFree(d_in);
    cudaFree(d_out);
}

// A singular operator (inverted) or a NaN angle gives non-finite source
// positions: those pixels are outside, 0, and nothing is read out of bounds.
TEST(Transform, NonFiniteSourcePositionsGiveZero) {
    const unsigned nx = 8, ny = 5;
    const Image in = numbered(nx, ny);
    const Image zeros(in.size(), 0.0f);
    const RT_Mat2D singular{1.0f, 2.0f, 2.0f, 4.0f, 0.0f, 0.0f};
    EXPECT_EQ(transform(in, nx, ny, 3.5f, 2.0f, singular, 0), zeros);
    const float nan = std::nanf("");
    EXPECT_EQ(transform(in, nx, ny, nan, 2.0f, RT_Mat2D{}, -1), zeros);
    EXPECT_EQ(resample<cuda_2d_rotate>(in, nx, ny, nan), zeros);
    EXPECT_EQ(resample<cuda_2d_rotate>(in, nx, ny, INFINITY), zeros);
    EXPECT_EQ(resample<cuda_2d_translate>(in, nx, ny, INFINITY, 0.0f), zeros);
}

// ---- arc average ----

TEST(RotateAverage, ZeroAngleAndCentreGiveZeroConstantStaysConstant) {
    const unsigned n = 21;
    EXPECT_EQ(resample<cuda_2d_rotate_ave_anycenter>(numbered(n, n), n, n, 10.0f, 10.0f, 0.0f), Image(n * n, 0.0f));
    const Image out = resample<cuda_2d_rotate_ave_anycenter>(Image(n * n, 3.0f), n, n, 10.0f, 10.0f, 30.0f);
    for (unsigned y = 0; y < n; ++y)
        for (unsigned x = 0; x < n; ++x) {
            const float r = std::hypot((float)x - 10.0f, (float)y - 10.0f);
            if (r <= 1.0f) {
                EXPECT_EQ(out[y * n + x], 0.0f);
            } else if (r < 9.0f) {  // the whole arc lies inside
                EXPECT_NEAR(out[y * n + x], 3.0f, 1e-4f) << x << "," << y;
            }
        }
    // A NaN or infinite angle samples nothing.
    EXPECT_EQ(resample<cuda_2d_rotate_ave_anycenter>(Image(n * n, 3.0f), n, n, 10.0f, 10.0f, std::nanf("")),
              Image(n * n, 0.0f));
}

// With |t| large the float step t += 1/rho no longer changes t; counting the
// steps with an integer ends the arc all the same.
TEST(RotateAverage, AngleTooLargeForTheFloatStepStillEnds) {
    const float degrees = 140000.0f / 0.017453292f;  // 2^17 rad and more: step 1/100 is below half an ulp
    const Image out = resample<cuda_2d_rotate_ave_anycenter>(Image(1, 2.0f), 1, 1, -100.0f, 0.0f, degrees);
    EXPECT_TRUE(std::isfinite(out[0]));
}

// ---- scaling ----

TEST(Scale, OutputSizesCentresAndStacks) {
    const int nx = 100, ny = 60;
    Image ramp((size_t)nx * ny);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) ramp[(size_t)y * nx + x] = (float)x + 1000.0f * y;
    for (float f : {0.5f, 1.5f, 1.0f}) {
        const int NX = (int)(nx * f), NY = (int)(ny * f);
        Image out((size_t)NX * NY, -1.0f);
        gpu_2d_scale(out.data(), ramp.data(), nx, ny, f);
        for (int y = 0; y < NY; ++y)
            for (int x = 0; x < NX; ++x) {
                const float sx = 49.5f + (x - (NX - 1) * 0.5f) * (1.0f / f);
                const float sy = 29.5f + (y - (NY - 1) * 0.5f) * (1.0f / f);
                const bool inside = sx >= 0 && sx <= nx - 1 && sy >= 0 && sy <= ny - 1;
                ASSERT_NEAR(out[(size_t)y * NX + x], inside ? sx + 1000.0f * sy : 0.0f, 0.02f) << f << ":" << x << "," << y;
            }
        if (f == 1.0f) {
            EXPECT_EQ(out, ramp);
        }
    }
    EXPECT_EQ((int)(nx * 0.5f), 50);
    EXPECT_EQ((int)(ny * 1.5f), 90);
    // A stack scales image by image, the same on both paths.
    const int nz = 3;
    const Image stack = numbered(10, 8, nz);
    Image host_out(7 * 5 * nz), device_out(7 * 5 * nz);
    gpu_2ds_scale(host_out.data(), stack.data(), 10, 8, nz, 0.7f);
    float* d_in = to_device(stack);
    float* d_out = device_array(device_out.size());
    hcuda_2ds_scale(d_out, d_in, 10, 8, nz, 0.7f);
    EXPECT_EQ(to_host(d_out, device_out.size()), host_out);
    Image single(7 * 5);
    gpu_2d_scale(single.data(), stack.data() + 2 * 80, 10, 8, 0.7f);
    EXPECT_EQ(Image(host_out.begin() + 2 * 35, host_out.end()), single);
    cudaFree(d_in);
    cudaFree(d_out);
}

TEST(Scale, NonPositiveOrNaNFactorWritesNothing) {
    const Image in = numbered(4, 4);
    for (float f : {0.0f, -1.0f, std::nanf(""), 0.2f}) {
        Image out(1, -5.0f);
        gpu_2d_scale(out.data(), in.data(), 4, 4, f);
        EXPECT_EQ(out[0], -5.0f) << f;
    }
}

// ---- index permutations ----

struct FlipCase {
    int mode;
    unsigned (*place)(unsigned x, unsigned y, unsigned nx, unsigned ny);
};
const FlipCase kFlips[] = {
    {0, [](unsigned x, unsigned y, unsigned nx, unsigned) { return y * nx + x; }},
    {1, [](unsigned x, unsigned y, unsigned nx, unsigned) { return y * nx + (nx - 1 - x); }},
    {2, [](unsigned x, unsigned y, unsigned nx, unsigned ny) { return (ny - 1 - y) * nx + x; }},
    {3, [](unsigned x, unsigned y, unsigned nx, unsigned ny) { return (ny - 1 - y) * nx + (nx - 1 - x); }},
    {4, [](unsigned x, unsigned y, unsigned, unsigned ny) { return x * ny + y; }},
    {5, [](unsigned x, unsigned y, unsigned, unsigned ny) { return x * ny + (ny - 1 - y); }},
    {6, [](unsigned x, unsigned y, unsigned nx, unsigned ny) { return (nx - 1 - x) * ny + y; }},
    {7, [](unsigned x, unsigned y, unsigned nx, unsigned) { return y * nx + x; }},
};

TEST(Flip, EveryStackModeMovesEachPixelOfEachImage) {
    const unsigned nx = 5, ny = 3, nz = 2, n = nx * ny;
    const Image in = numbered(nx, ny, nz);
    for (const FlipCase& c : kFlips) {
        Image out(in.size(), -1.0f);
        gpu_2ds_flip(out.data(), in.data(), nx, ny, nz, c.mode);
        for (unsigned k = 0; k < nz; ++k)
            for (unsigned y = 0; y < ny; ++y)
                for (unsigned x = 0; x < nx; ++x)
                    ASSERT_EQ(out[k * n + c.place(x, y, nx, ny)], in[k * n + y * nx + x]) << c.mode;
    }
    // Mode 3 twice is the identity; mode 4 turns a 3 x 2 image into 2 x 3 whose row i is input column i.
    Image once(in.size()), twice(in.size());
    gpu_2ds_flip(once.data(), in.data(), nx, ny, nz, 3);
    gpu_2ds_flip(twice.data(), once.data(), nx, ny, nz, 3);
    EXPECT_EQ(twice, in);
    const Image small = {1, 2, 3, 4, 5, 6};
    Image t(6);
    gpu_2ds_flip(t.data(), small.data(), 3, 2, 1, 4);
    EXPECT_EQ(t, (Image{1, 4, 2, 5, 3, 6}));
}

TEST(Flip, OneImageKernelsAndTheDeviceStackFormPassAnyMode) {
    const unsigned nx = 4, ny = 3;
    const Image in = numbered(nx, ny);
    float* d_in = to_device(in);
    float* d_out = device_array(in.size());
    void (*forms[])(float*, const float*, unsigned, unsigned) = {hcuda_2d_flipx, hcuda_2d_flipy, hcuda_2d_flipxy};
    const int modes[] = {1, 2, 4};
    for (int f = 0; f < 3; ++f) {
        forms[f](d_out, d_in, nx, ny);
        Image want(in.size());
        gpu_2ds_flip(want.data(), in.data(), nx, ny, 1, modes[f]);
        EXPECT_EQ(to_host(d_out, in.size()), want) << f;
    }
    hcuda_2ds_flip(d_out, d_in, nx, ny, 1, 42);  // the device form copies for an unknown mode
    EXPECT_EQ(to_host(d_out, in.size()), in);
    cudaFree(d_in);
    cudaFree(d_out);
}

TEST(Flip, HostStackFormRejectsModesOutsideZeroToSeven) {
    const Image in = numbered(2, 2);
    Image out(4);
    for (int mode : {8, -1})
        EXPECT_EXIT((dup2(2, 1), gpu_2ds_flip(out.data(), in.data(), 2, 2, 1, mode)), ::testing::ExitedWithCode(1),
                    "flip_mode must be an integer in \\{0,1,3,4,5,6,7\\}! Exit now!");
}

// The one-image swap reverses the new rows; the stack form is a plain transpose.
TEST(SwapXY, OneImageReversesRowsStackTransposes) {
    const unsigned nx = 3, ny = 2;
    const Image in = {1, 2, 3, 4, 5, 6};
    Image one(6), stack(12);
    gpu_2d_swap_xy(in.data(), one.data(), nx, ny);
    EXPECT_EQ(one, (Image{4, 1, 5, 2, 6, 3}));
    Image two = in;
    two.insert(two.end(), in.begin(), in.end());
    gpu_2ds_swap_xy(two.data(), stack.data(), nx, ny, 2);
    EXPECT_EQ(stack, (Image{1, 4, 2, 5, 3, 6, 1, 4, 2, 5, 3, 6}));
    float* d_in = to_device(in);
    float* d_out = device_array(6);
    hcuda_2d_swap_xy(d_in, d_out, nx, ny);
    EXPECT_EQ(to_host(d_out, 6), one);
    hcuda_2ds_swap_xy(d_in, d_out, nx, ny, 1);
    EXPECT_EQ(to_host(d_out, 6), (Image{1, 4, 2, 5, 3, 6}));
    cudaFree(d_in);
    cudaFree(d_out);
}

// ---- mirror padding ----

TEST(MirrorPad, FourMirrorImagesAndTheInverseCropReturnsTheInput) {
    const unsigned nx = 5, ny = 3, w = 2 * nx, h = 2 * ny;
    const Image in = numbered(nx, ny);
    float* d_in = to_device(in);
    float* d_pad = d_get_2d_mirror_pad(d_in, nx, ny);
    const Image pad = to_host(d_pad, (size_t)w * h);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            const unsigned sx = x < nx ? x : w - 1 - x, sy = y < ny ? y : h - 1 - y;
            ASSERT_EQ(pad[y * w + x], in[sy * nx + sx]) << x << "," << y;
        }
    float* d_crop = d_get_2d_mirror_pad_inv(d_pad, nx, ny);
    EXPECT_EQ(to_host(d_crop, in.size()), in);
    float* d_out = device_array(in.size());
    hcuda_2d_mirror_pad_inv(d_out, d_pad, nx, ny);
    EXPECT_EQ(to_host(d_out, in.size()), in);
    hcuda_2d_mirror_pad(d_pad, d_in, nx, ny);
    EXPECT_EQ(to_host(d_pad, (size_t)w * h), pad);
    for (float* p : {d_in, d_pad, d_crop, d_out}) cudaFree(p);
}

}  // namespace
