// Line projections: a single bright pixel at 0, 90 and 180 degrees, column and
// rectangle sums, the direction modes, the many-angle forms (with host angle
// lists), and the agreement of the kernel, host-array and CPU forms.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#define VORN_UNIT "tests/process2d_raw_proj"
#include "process2d_raw.h"
#include "device_arrays_fixture.h"

namespace {

using Image = std::vector<float>;

Image bright_pixel(unsigned nx, unsigned ny, unsigned x, unsigned y) {
    Image a((size_t)nx * ny, 0.0f);
    a[(size_t)y * nx + x] = 1.0f;
    return a;
}
Image textured(unsigned nx, unsigned ny) {
    Image a((size_t)nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) a[(size_t)y * nx + x] = (float)(std::sin(0.9 * x) + std::cos(0.4 * y * y) + 0.1 * x * y);
    return a;
}

// The square projection by each of its forms; the CPU twin knows mode 1 only.
struct SquareForm {
    const char* name;
    std::function<Image(const Image&, unsigned, float, int)> run;
};
const SquareForm kSquareForms[] = {
    {"cpu", [](const Image& in, unsigned n, float a, int) { Image o(n, -7.0f); cpu_2d_project_square(o.data(), in.data(), n, a); return o; }},
    {"gpu", [](const Image& in, unsigned n, float a, int m) { Image o(n, -7.0f); gpu_2d_project_square(o.data(), in.data(), n, a, m); return o; }},
    {"hcuda", [](const Image& in, unsigned n, float a, int m) {
         float *d = to_device(in), *o = device_array(n);
         hcuda_2d_project_square(o, d, n, a, m);
         const Image h = to_host(o, n);
         cudaFree(d), cudaFree(o);
         return h;
     }},
    {"about centre", [](const Image& in, unsigned n, float a, int m) {
         Image o(n, -7.0f);
         cpu_2d_project(o.data(), in.data(), n, n, (n - 1) / 2.0f, (n - 1) / 2.0f, a, m);
         return o;
     }},
};

void expect_profile(const Image& got, const Image& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t p = 0; p < want.size(); ++p) EXPECT_NEAR(got[p], want[p], 2e-5f) << what << " p = " << p;
}
Image unit_at(size_t n, size_t p) {
    Image v(n, 0.0f);
    v[p] = 1.0f;
    return v;
}

// Quarter and whole turns sample the grid exactly, so the pixel lands whole in
// one profile element.
TEST(Projection, BrightPixelAtZeroNinetyAndOneEightyDegrees) {
    const unsigned n = 7, x = 2, y = 5;
    const Image in = bright_pixel(n, n, x, y);
    // At 90 degrees the lines run along x, from the last row (p = 0) to the first.
    const struct {
        float angle;
        unsigned p;
    } turns[] = {{0, x}, {90, n - 1 - y}, {180, n - 1 - x}, {3600, x}, {-270, n - 1 - y}, {-3420, n - 1 - x}};
    for (const SquareForm& f : kSquareForms)
        for (const auto& t : turns) EXPECT_EQ(f.run(in, n, t.angle, 1), unit_at(n, t.p)) << f.name << " " << t.angle;
    // Mode -1 turns the other way: at 90 degrees profile element p is row p.
    Image o(n);
    gpu_2d_project_square(o.data(), in.data(), n, 90.0f, -1);
    expect_profile(o, unit_at(n, y), "mode -1 90");
}

TEST(Projection, ColumnSumsWithoutRotationAndOtherModesIgnoreTheAngle) {
    const unsigned n = 4;
    Image ramp(n * n);
    for (unsigned i = 0; i < n * n; ++i) ramp[i] = (float)(i % n);
    for (const SquareForm& f : kSquareForms) expect_profile(f.run(ramp, n, 0.0f, 1), Image{0, 4, 8, 12}, f.name);

    const unsigned nx = 9, ny = 6;
    const Image in = textured(nx, ny);
    Image turned(nx);
        for (int mode : {0, 2, -3})
        for (float angle : {0.0f, 33.0f, 90.0f}) {
            gpu_2d_project(turned.data(), in.data(), nx, ny, 4.0f, 4.0f, angle, mode);
            // Lines of max(9, 6) = 9 steps about (4, 4) sample rows 0 .. 8, of which 0 .. 5 exist.
            for (unsigned p = 0; p < nx; ++p) {
                double s = 0;
                for (unsigned yy = 0; yy < ny; ++yy) s += in[(size_t)yy * nx + p];
                EXPECT_NEAR(turned[p], s, 1e-4) << "mode " << mode << " angle " << angle << " p = " << p;
            }
        }
}

TEST(Projection, LocalRectangleAndTallImages) {
    const unsigned nx = 30, ny = 40;
    const Image in = textured(nx, ny);
    Image rect(5, -7.0f), grect(5, -7.0f);
    cpu_2d_project_local_rect(rect.data(), 5, 3, in.data(), nx, ny, 10.0f, 20.0f, 0.0f, 1);
    gpu_2d_project_local_rect(grect.data(), 5, 3, in.data(), nx, ny, 10.0f, 20.0f, 0.0f, 0);
    for (unsigned p = 0; p < 5; ++p) {
        const float want = in[19 * nx + 8 + p] + in[20 * nx + 8 + p] + in[21 * nx + 8 + p];
        EXPECT_NEAR(rect[p], want, 1e-5f) << p;
        EXPECT_NEAR(grect[p], want, 1e-5f) << p;
    }
    // A tall image about a point has a profile as long as its height, and every form agrees at any angle.
    for (float angle : {17.0f, 45.0f, -120.0f})
        for (int mode : {1, -1}) {
            Image c(ny + 1, -7.0f), g(ny + 1, -7.0f);
            cpu_2d_project(c.data(), in.data(), nx, ny, 14.5f, 19.5f, angle, mode);
            gpu_2d_project(g.data(), in.data(), nx, ny, 14.5f, 19.5f, angle, mode);
            EXPECT_EQ(c.back(), -7.0f);
            EXPECT_EQ(g.back(), -7.0f);
            for (unsigned p = 0; p < ny; ++p) EXPECT_NEAR(g[p], c[p], 1e-4f) << angle << " " << mode << " p = " << p;
        }
    // At 45 degrees the lines near both ends of the profile leave the square image.
    const unsigned n = 21;
    Image ones(n * n, 1.0f), diag(n);
    cpu_2d_project_square(diag.data(), ones.data(), n, 45.0f);
    EXPECT_LT(diag[0], 0.5f * diag[n / 2]);
    EXPECT_LT(diag[n - 1], 0.5f * diag[n / 2]);
    EXPECT_GT(diag[n / 2], 20.0f);
}

TEST(Projection, ManyAnglesFromAHostListMatchOneAngleAtATime) {
    const unsigned nx = 12, ny = 9;
    const Image in = textured(nx, ny);
    const std::vector<float> angles = {0.0f, 30.0f, 90.0f, 135.0f, -60.0f};
    const unsigned na = (unsigned)angles.size(), L = nx;
    Image many(na * L, -7.0f);
    gpu_2d_project_many(many.data(), angles.data(), na, in.data(), nx, ny, 5.5f, 4.0f, 0.0f, 1);
    for (unsigned k = 0; k < na; ++k) {
        Image one(L);
        gpu_2d_project(one.data(), in.data(), nx, ny, 5.5f, 4.0f, angles[k], 1);
        for (unsigned p = 0; p < L; ++p) EXPECT_NEAR(many[k * L + p], one[p], 1e-5f) << k << " " << p;
    }

    // Rectangles for each angle, nangles * nout values.
    const unsigned nout = 6, nsum = 4;
    Image rects(na * nout + 1, -7.0f);
    gpu_2d_project_local_rect_many(rects.data(), nout, nsum, angles.data(), na, in.data(), nx, ny, 6.0f, 4.5f, 0.0f, -1);
    EXPECT_EQ(rects.back(), -7.0f);
    for (unsigned k = 0; k < na; ++k) {
        Image one(nout);
        cpu_2d_project_local_rect(one.data(), nout, nsum, in.data(), nx, ny, 6.0f, 4.5f, angles[k], -1);
        for (unsigned p = 0; p < nout; ++p) EXPECT_NEAR(rects[k * nout + p], one[p], 1e-5f) << k << " " << p;
    }

    // The whole-grid kernel on device arrays: with no rotation, the column sums for every angle.
    float *d_in = to_device(in), *d_angles = to_device(angles), *d_out = device_array(na * nx);
    hcuda_2d_project_local_rect_many(d_out, 0, 0, d_angles, na, d_in, nx, ny, 3.0f, 7.0f, 0.0f, 0);
    const Image grid = to_host(d_out, na * nx);
    for (unsigned k = 0; k < na; ++k)
        for (unsigned p = 0; p < nx; ++p) {
            double s = 0;
            for (unsigned y = 0; y < ny; ++y) s += in[(size_t)y * nx + p];
            EXPECT_NEAR(grid[k * nx + p], s, 1e-4) << k << " " << p;
        }
    cudaFree(d_in), cudaFree(d_angles), cudaFree(d_out);
}

TEST(Projection, LastRowAndColumnAreSampledWithoutReadingPast) {
    const unsigned n = 6;
    const Image corner = bright_pixel(n, n, n - 1, n - 1);
    for (const SquareForm& f : kSquareForms) {
        expect_profile(f.run(corner, n, 0.0f, 1), unit_at(n, n - 1), f.name);
    }
}

}  // namespace
