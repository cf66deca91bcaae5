// Box extraction and pasting, particle stacks, rotational averages,
// low-frequency attenuation, the diagnostic ring, box filters and hot pixels.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#define VORN_UNIT "tests/process2d_raw"
#include "process2d_raw.h"

namespace {

using Image = std::vector<float>;

float* to_device(const Image& h) {
    float* d = nullptr;
    EXPECT_EQ(cudaMalloc(&d, h.size() * sizeof(float)), cudaSuccess);
    EXPECT_EQ(memcpy_H2D(d, h.data(), h.size() * sizeof(float)), cudaSuccess);
    return d;
}
// A fresh device array of n floats; the host backend fills fresh memory with NaN,
// so every element a kernel fails to write shows up.
float* device_array(size_t n) {
    float* d = nullptr;
    EXPECT_EQ(cudaMalloc(&d, n * sizeof(float)), cudaSuccess);
    return d;
}
Image to_host(const float* d, size_t n) {
    Image h(n);
    EXPECT_EQ(memcpy_D2H(h.data(), d, n * sizeof(float)), cudaSuccess);
    return h;
}

// Pixel values that tell every position apart and are exact in float.
Image numbered(int nx, int ny, int frame = 0) {
    Image a((size_t)nx * ny);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) a[(size_t)y * nx + x] = (float)(frame * 1000000 + y * 1000 + x + 1);
    return a;
}

// Reference cut: the large image inside a zero margin wide enough for every box,
// read at the shifted corner.
Image reference_cut(const Image& large, int lnx, int lny, int snx, int sny, int x0, int y0) {
    const int m = 300;
    const int cnx = lnx + 2 * m;
    Image canvas((size_t)cnx * (lny + 2 * m), 0.0f);
    for (int y = 0; y < lny; ++y)
        for (int x = 0; x < lnx; ++x) canvas[(size_t)(y + m) * cnx + x + m] = large[(size_t)y * lnx + x];
    Image out((size_t)snx * sny);
    for (int y = 0; y < sny; ++y)
        for (int x = 0; x < snx; ++x) out[(size_t)y * snx + x] = canvas[(size_t)(y + y0 + m) * cnx + x + x0 + m];
    return out;
}

struct Box {
    int x0, y0, snx, sny;
};
// Inside, across every edge and corner, wholly outside, and the whole image.
const Box kBoxes[] = {
    {40, 30, 7, 5},   {-10, -10, 64, 64}, {50, 50, 64, 64}, {-5, 90, 20, 20},
    {95, -3, 9, 6},   {200, 200, 4, 4},   {0, 0, 100, 100}, {-40, 10, 33, 3},
};
constexpr int kLnx = 100, kLny = 100;

TEST(Extract, CornerAtMinusTenGivesZeroBorder) {
    const Image large = numbered(kLnx, kLny);
    Image small(64 * 64, -1.0f);
    cpu_2d_extract_small_from_large(small.data(), 64, 64, large.data(), kLnx, kLny, -10, -10);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const float want = (x < 10 || y < 10) ? 0.0f : (float)((y - 10) * 1000 + (x - 10) + 1);
            ASSERT_EQ(small[(size_t)y * 64 + x], want) << x << "," << y;
        }
}

TEST(Extract, HostAndDeviceFormsMatchReferenceAtEdgesAndCorners) {
    const Image large = numbered(kLnx, kLny);
    float* dlarge = to_device(large);
    for (const Box& b : kBoxes) {
        SCOPED_TRACE(testing::Message() << "box at " << b.x0 << "," << b.y0 << " size " << b.snx << "x" << b.sny);
        const Image want = reference_cut(large, kLnx, kLny, b.snx, b.sny, b.x0, b.y0);
        Image host(want.size(), NAN);
        cpu_2d_extract_small_from_large(host.data(), b.snx, b.sny, large.data(), kLnx, kLny, b.x0, b.y0);
        EXPECT_EQ(host, want);
        float* dsmall = device_array(want.size());
        hcuda_2d_extract_small_from_large(dsmall, b.snx, b.sny, dlarge, kLnx, kLny, b.x0, b.y0);
        EXPECT_EQ(to_host(dsmall, want.size()), want);
        cudaFree(dsmall);
    }
    cudaFree(dlarge);
}

TEST(Extract, ManyBoxFormsFillSlotsInOrder) {
    const Image large = numbered(kLnx, kLny);
    const int s = 9;
    std::vector<int2> corners;
    Image want;
    for (const Box& b : kBoxes) {
        corners.push_back(make_int2(b.x0, b.y0));
        const Image cut = reference_cut(large, kLnx, kLny, s, s, b.x0, b.y0);
        want.insert(want.end(), cut.begin(), cut.end());
    }
    const int n = (int)corners.size();
    Image host(want.size(), NAN), squares(want.size(), NAN);
    cpu_2d_extract_smalls_from_large(host.data(), s, s, n, large.data(), kLnx, kLny, corners.data());
    cpu_x2d_extract_squares_from_large(squares.data(), s, n, large.data(), kLnx, kLny, corners.data());
    EXPECT_EQ(host, want);
    EXPECT_EQ(squares, want);

    float* dlarge = to_device(large);
    float* dsmalls = device_array(want.size());
    hcuda_2d_extract_smalls_from_large(dsmalls, s, s, n, dlarge, kLnx, kLny, corners.data());
    EXPECT_EQ(to_host(dsmalls, want.size()), want);
    cudaFree(dsmalls);
    cudaFree(dlarge);
}

TEST(Extract, MovieTakesTheSameBoxFromEveryFrame) {
    const int lnx = 20, lny = 12, frames = 3, snx = 6, sny = 5, x0 = 16, y0 = -2;
    Image movie, want;
    for (int f = 0; f < frames; ++f) {
        const Image frame = numbered(lnx, lny, f);
        movie.insert(movie.end(), frame.begin(), frame.end());
        const Image cut = reference_cut(frame, lnx, lny, snx, sny, x0, y0);
        want.insert(want.end(), cut.begin(), cut.end());
    }
    Image out(want.size(), NAN);
    cpu_x2d_movie_extract_small_from_large(out.data(), snx, sny, frames, movie.data(), lnx, lny, x0, y0);
    EXPECT_EQ(out, want);
}

// Reference paste: every small pixel whose target lies in the large image.
Image reference_paste(Image large, int lnx, int lny, const Image& small, int snx, int sny, int x0, int y0) {
    for (int y = 0; y < sny; ++y)
        for (int x = 0; x < snx; ++x) {
            const int lx = x + x0, ly = y + y0;
            if (lx >= 0 && lx < lnx && ly >= 0 && ly < lny) large[(size_t)ly * lnx + lx] = small[(size_t)y * snx + x];
        }
    return large;
}

TEST(Paste, OnlyCoveredPixelsChangeHostAndDevice) {
    const int lnx = 40, lny = 30;
    const Image large(lnx * lny, -7.0f);
    float* dlarge = device_array(large.size());
    for (const Box& b : kBoxes) {
        SCOPED_TRACE(testing::Message() << "box at " << b.x0 << "," << b.y0 << " size " << b.snx << "x" << b.sny);
        const Image small = numbered(b.snx, b.sny);
        const Image want = reference_paste(large, lnx, lny, small, b.snx, b.sny, b.x0, b.y0);
        Image host = large;
        cpu_x2d_cp_small_to_large(host.data(), small.data(), lnx, lny, b.snx, b.sny, b.x0, b.y0);
        EXPECT_EQ(host, want);
        memcpy_H2D(dlarge, large.data(), large.size() * sizeof(float));
        float* dsmall = to_device(small);
        hcuda_x2d_cp_small_to_large(dlarge, dsmall, lnx, lny, b.snx, b.sny, b.x0, b.y0);
        EXPECT_EQ(to_host(dlarge, large.size()), want);
        cudaFree(dsmall);
    }
    cudaFree(dlarge);
}

TEST(Paste, CentredOffsetRoundsTowardZero) {
    struct Case {
        int lnx, lny, snx, sny, x0, y0;
    };
    // Offsets (lnx - snx)/2 and (lny - sny)/2 worked out by hand; the last small
    // image is wider than the large one and is clipped on both sides.
    const Case cases[] = {{10, 8, 4, 4, 3, 2}, {9, 7, 4, 2, 2, 2}, {5, 5, 5, 5, 0, 0}, {4, 6, 7, 2, -1, 2}};
    for (const Case& c : cases) {
        const Image large(c.lnx * c.lny, 0.5f), small = numbered(c.snx, c.sny);
        const Image want = reference_paste(large, c.lnx, c.lny, small, c.snx, c.sny, c.x0, c.y0);
        float* dlarge = to_device(large);
        float* dsmall = to_device(small);
        hcuda_x2d_cp_small_to_large_center(dlarge, dsmall, c.lnx, c.lny, c.snx, c.sny);
        EXPECT_EQ(to_host(dlarge, large.size()), want) << c.lnx << "x" << c.lny << " <- " << c.snx << "x" << c.sny;
        cudaFree(dlarge);
        cudaFree(dsmall);
    }
}

TEST(Paste, LaterBoxOverwritesEarlierWhereTheyOverlap) {
    const int lnx = 6, lny = 4, s = 3;
    Image large(lnx * lny, 0.0f);
    const Image smalls = [] {
        Image v(2 * 9, 1.0f);
        std::fill(v.begin() + 9, v.end(), 2.0f);
        return v;
    }();
    const int2 corners[] = {make_int2(0, 0), make_int2(2, 1)};
    cpu_x2d_cp_smalls_to_large(large.data(), smalls.data(), lnx, lny, s, s, 2, corners);
    const Image want = {1, 1, 1, 0, 0, 0,  //
                        1, 1, 2, 2, 2, 0,  //
                        1, 1, 2, 2, 2, 0,  //
                        0, 0, 2, 2, 2, 0};
    EXPECT_EQ(large, want);
}

// ---- box lists and grids ----

PTCL_BOX box_at(int x, int y, int w, int h, float dist = 0.0f) {
    PTCL_BOX b{};
    b.x = x;
    b.y = y;
    b.w = w;
    b.h = h;
    b.dist = dist;
    return b;
}

Image concat(const std::vector<Image>& parts) {
    Image all;
    for (const Image& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(ParticleForms, BoxListsCutLikeCorners) {
    const Image large = numbered(kLnx, kLny);
    const int s = 7;
    std::vector<PTCL_BOX> boxes;
    std::vector<int2> corners;
    for (const Box& b : kBoxes) {
        boxes.push_back(box_at(b.x0, b.y0, b.snx, b.sny));
        corners.push_back(make_int2(b.x0, b.y0));
    }
    const int n = (int)boxes.size();
    Image want(n * s * s), micrograph(want.size()), mrcs(want.size());
    cpu_2d_extract_smalls_from_large(want.data(), s, s, n, large.data(), kLnx, kLny, corners.data());
    cpu_2d_extract_ptcls_from_micrograph(micrograph.data(), s, s, n, large.data(), kLnx, kLny, boxes.data());
    cpu_2d_extract_ptcls_from_mrcs(mrcs.data(), s, s, n, large.data(), kLnx, kLny, boxes.data());
    EXPECT_EQ(micrograph, want);
    EXPECT_EQ(mrcs, want);

    // Pasting by box list equals pasting by corners.
    Image by_corners(kLnx * kLny, 0.0f), by_boxes(kLnx * kLny, 0.0f);
    cpu_x2d_cp_smalls_to_large(by_corners.data(), want.data(), kLnx, kLny, s, s, n, corners.data());
    cpu_x2d_cp_ptcls_to_micrograph(by_boxes.data(), want.data(), kLnx, kLny, s, s, n, boxes.data());
    EXPECT_EQ(by_boxes, by_corners);
}

TEST(ParticleForms, MovieParticlesHoldEveryFrameOfEachBox) {
    const int lnx = 20, lny = 12, frames = 2, s = 5;
    const Image movie = concat({numbered(lnx, lny, 0), numbered(lnx, lny, 1)});
    const PTCL_BOX boxes[] = {box_at(-2, 3, s, s), box_at(17, 9, s, s)};
    std::vector<Image> parts;
    for (const PTCL_BOX& b : boxes)
        for (int f = 0; f < frames; ++f)
            parts.push_back(reference_cut(numbered(lnx, lny, f), lnx, lny, s, s, b.x, b.y));
    const Image want = concat(parts);
    Image out(want.size(), NAN);
    cpu_2d_extract_ptcls_from_movie(out.data(), s, s, frames, 2, movie.data(), lnx, lny, boxes);
    EXPECT_EQ(out, want);
}

double mean_of(const Image& a) {
    double s = 0;
    for (float v : a) s += v;
    return s / a.size();
}
double stdv_of(const Image& a) {
    const double m = mean_of(a);
    double s = 0;
    for (float v : a) s += (v - m) * (v - m);
    return std::sqrt(s / a.size());
}

TEST(ParticleForms, NormalisedPasteTakesTheStatisticsOfTheReplacedRegion) {
    const int lnx = 12, lny = 10, s = 4;
    Image large((size_t)lnx * lny);
    for (size_t i = 0; i < large.size(); ++i) large[i] = (float)((i * 37) % 11) * 0.5f - 2.0f;
    Image smalls = concat({numbered(s, s), numbered(s, s, 3)});
    for (float& v : smalls) v = std::fmod(v, 7.0f);
    const PTCL_BOX boxes[] = {box_at(1, 2, s, s), box_at(7, 5, s, s)};
    std::vector<Image> regions;
    for (const PTCL_BOX& b : boxes) regions.push_back(reference_cut(large, lnx, lny, s, s, b.x, b.y));
    const Image refs = smalls;
    cpu_x2d_norm_cp_ptcls_to_micrograph(large.data(), smalls.data(), refs.data(), lnx, lny, s, s, 2, boxes);
    for (int i = 0; i < 2; ++i) {
        const Image pasted = reference_cut(large, lnx, lny, s, s, boxes[i].x, boxes[i].y);
        EXPECT_EQ(pasted, Image(smalls.begin() + i * s * s, smalls.begin() + (i + 1) * s * s));
        EXPECT_NEAR(mean_of(pasted), mean_of(regions[i]), 1e-5);
        EXPECT_NEAR(stdv_of(pasted), stdv_of(regions[i]), 1e-5);
    }
}

TEST(ParticleForms, NormalisedPasteOfAFlatReferenceKeepsTheParticleFinite) {
    const int lnx = 8, lny = 8, s = 4;
    Image large((size_t)lnx * lny);
    for (size_t i = 0; i < large.size(); ++i) large[i] = (float)(i % 5);
    Image smalls = numbered(s, s);
    const Image refs(s * s, 2.0f);  // no contrast to scale by
    const PTCL_BOX boxes[] = {box_at(2, 2, s, s)};
    const Image region = reference_cut(large, lnx, lny, s, s, 2, 2);
    const Image particle = smalls;
    cpu_x2d_norm_cp_ptcls_to_micrograph(large.data(), smalls.data(), refs.data(), lnx, lny, s, s, 1, boxes);
    const Image pasted = reference_cut(large, lnx, lny, s, s, 2, 2);
    for (size_t i = 0; i < pasted.size(); ++i)
        EXPECT_FLOAT_EQ(pasted[i], particle[i] - 2.0f + (float)mean_of(region)) << i;
}

// Four boxes on a 16 x 12 image, all sized by the first (4 x 4): the second starts
// left of the image, the third ends exactly at the right edge, the fourth keeps
// one pixel of margin on the right and at the bottom.
struct BoxListCase {
    static constexpr int nx = 16, ny = 12, w = 4, h = 4, n = 4;
    const Image image = numbered(nx, ny);
    const PTCL_BOX boxes[n] = {box_at(0, 0, w, h, 1.5f), box_at(-1, 5, 7, h, 2.5f), box_at(nx - w, 0, w, h, 3.5f),
                               box_at(nx - w - 1, ny - h - 1, 99, 99, 4.5f)};
    Image cut(int i) const { return reference_cut(image, nx, ny, w, h, boxes[i].x, boxes[i].y); }
};

TEST(ParticleStacks, HostReaderKeepsSlotsAndWarnsForBoxesOutside) {
    const BoxListCase c;
    const Image untouched(c.w * c.h, -3.0f);
    Image stack = concat({untouched, untouched, untouched, untouched});
    testing::internal::CaptureStdout();
    const int kept = host_2d_read_ptcls_to_2ds_from_boxes(stack.data(), c.boxes, c.n, c.image.data(), c.nx, c.ny);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(kept, 2);
    EXPECT_EQ(stack, concat({c.cut(0), untouched, untouched, c.cut(3)}));
    EXPECT_EQ(printed,
              "Warning: box (-1 5 7 4)out of range, skip extracting this particle!\n"
              "Warning: box (12 0 4 4)out of range, skip extracting this particle!\n");
}

TEST(ParticleStacks, DeviceReaderPacksKeptBoxesAndTheirDistances) {
    const BoxListCase c;
    float* dimage = to_device(c.image);
    float* dstack = device_array(c.n * c.w * c.h);
    float* dvalues = to_device(Image(c.n, -1.0f));
    testing::internal::CaptureStdout();
    const int kept = hcuda_2d_read_ptcls_to_2ds_from_boxes(dstack, c.boxes, dvalues, c.n, dimage, c.nx, c.ny);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(kept, 2);
    EXPECT_EQ(to_host(dstack, 2 * c.w * c.h), concat({c.cut(0), c.cut(3)}));
    EXPECT_EQ(to_host(dvalues, c.n), (Image{1.5f, 4.5f, -1.0f, -1.0f}));
    cudaFree(dimage);
    cudaFree(dstack);
    cudaFree(dvalues);
}

TEST(ParticleStacks, GridBoxesInRowOrderHostAndDevice) {
    struct Case {
        int nx, ny, box, step;
        int used_box, rows, cols;
        bool warns;
    };
    const Case cases[] = {
        {512, 512, 256, 128, 256, 3, 3, false},
        {40, 24, 16, 8, 16, 2, 4, false},
        {37, 20, 10, 9, 10, 2, 4, false},
        {512, 512, 600, 64, 512, 1, 1, true},
        {30, 20, 25, 4, 20, 1, 3, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.nx << "x" << c.ny << " box " << c.box << " step " << c.step);
        const Image image = numbered(c.nx, c.ny);
        std::vector<Image> cuts;
        for (int i = 0; i < c.rows; ++i)
            for (int j = 0; j < c.cols; ++j)
                cuts.push_back(reference_cut(image, c.nx, c.ny, c.used_box, c.used_box, j * c.step, i * c.step));
        const Image want = concat(cuts);

        Image host(want.size(), NAN);
        testing::internal::CaptureStdout();
        EXPECT_EQ(host_2d_read_ptcls_to_2ds_from_autogrids(image.data(), c.nx, c.ny, host.data(), c.box, c.step), 0);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(host, want);
        EXPECT_EQ(printed.find("boxsize larger than Nx or Ny, set as the smaller!\n\033[m") != std::string::npos,
                  c.warns);

        float* dimage = to_device(image);
        float* dstack = device_array(want.size());
        testing::internal::CaptureStdout();
        EXPECT_EQ(hcuda_2d_read_ptcls_to_2ds_from_autogrids(dimage, c.nx, c.ny, dstack, c.box, c.step), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(to_host(dstack, want.size()), want);
        cudaFree(dimage);
        cudaFree(dstack);
    }
}

TEST(ParticleStacksDeath, GridStepBelowOneIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Image image(16 * 16, 1.0f), stack(16 * 16);
    for (int step : {0, -4})
        EXPECT_EXIT((dup2(2, 1), host_2d_read_ptcls_to_2ds_from_autogrids(image.data(), 16, 16, stack.data(), 8, step)),
                    ::testing::ExitedWithCode(1), "Invalid grid");
}

// ---- rotational average ----

// Double-precision reference: every element adds to bin k with the tent weight
// max(0, 1 - |r - k|).
std::vector<double> tent_average(const Image& spec, int nxh, int ny) {
    std::vector<double> sum(nxh, 0.0), weight(nxh, 0.0);
    for (int i = 0; i < ny; ++i)
        for (int j = 0; j < nxh; ++j) {
            const double r = std::hypot((double)(i - ny / 2), (double)j);
            for (int k = 0; k < nxh; ++k) {
                const double t = std::max(0.0, 1.0 - std::fabs(r - k));
                sum[k] += t * spec[(size_t)i * nxh + j];
                weight[k] += t;
            }
        }
    for (int k = 0; k < nxh; ++k) sum[k] /= weight[k];
    return sum;
}

Image radial_half_spectrum(int nxh, int ny, double (*f)(double)) {
    Image s((size_t)nxh * ny);
    for (int i = 0; i < ny; ++i)
        for (int j = 0; j < nxh; ++j) s[(size_t)i * nxh + j] = (float)f(std::hypot((double)(i - ny / 2), (double)j));
    return s;
}

TEST(RotationalAverage, ConstantSpectrumGivesTheConstantInEveryBin) {
    for (int ny : {64, 63}) {
        const int nxh = ny / 2 + 1;
        const Image spec((size_t)nxh * ny, 4.0f);
        Image profile(nxh, NAN);
        EXPECT_EQ(rotational_average_2dh(spec.data(), profile.data(), nxh, ny), 0);
        EXPECT_EQ(profile, Image(nxh, 4.0f)) << ny;
    }
}

TEST(RotationalAverage, RadialFunctionMatchesTentReference) {
    const int nxh = 33, ny = 64;
    const Image spec = radial_half_spectrum(nxh, ny, [](double r) { return 2.0 + std::cos(r / 3.0); });
    Image profile(nxh);
    rotational_average_2dh(spec.data(), profile.data(), nxh, ny);
    const std::vector<double> want = tent_average(spec, nxh, ny);
    for (int k = 0; k < nxh; ++k) EXPECT_NEAR(profile[k], want[k], 2e-6) << k;
    // A linear ramp comes back close to its radius: bin k sees a tent over an
    // area growing with r, whose mean radius is k + 1/(6k).
    const Image ramp = radial_half_spectrum(nxh, ny, [](double r) { return r; });
    rotational_average_2dh(ramp.data(), profile.data(), nxh, ny);
    for (int k = 4; k < nxh - 1; ++k) EXPECT_NEAR(profile[k], k + 1.0 / (6.0 * k), 0.05) << k;
}

TEST(RotationalAverage, ElementsPastTheLastBinAddNothing) {
    const int nxh = 17, ny = 32;
    Image spec = radial_half_spectrum(nxh, ny, [](double r) { return std::sin(r); });
    Image reference(nxh), profile(nxh);
    // Zero beyond radius nxh, then a huge value there: the profile must not change.
    for (int i = 0; i < ny; ++i)
        for (int j = 0; j < nxh; ++j)
            if (std::hypot((double)(i - ny / 2), (double)j) >= nxh) spec[(size_t)i * nxh + j] = 0.0f;
    rotational_average_2dh(spec.data(), reference.data(), nxh, ny);
    for (int i = 0; i < ny; ++i)
        for (int j = 0; j < nxh; ++j)
            if (std::hypot((double)(i - ny / 2), (double)j) >= nxh) spec[(size_t)i * nxh + j] = 1e30f;
    rotational_average_2dh(spec.data(), profile.data(), nxh, ny);
    EXPECT_EQ(profile, reference);
    const std::vector<double> want = tent_average(spec, nxh, ny);
    EXPECT_NEAR(profile[nxh - 1], want[nxh - 1], 1e-6);
}

// ---- low frequencies ----

constexpr int kNxh = 33, kNy = 64;  // half spectrum of a 64 x 64 image; R = 64 * apix / res

float expected_weight(double r, double R) {
    if (r >= R) return 1.0f;
    const double sigma = R / 3.0;
    return (float)std::exp(-(R - r) * (R - r) / (2.0 * sigma * sigma));
}

TEST(LowFrequency, SmoothingWeightsHostAndDevice) {
    const float apix = 1.0f, res = 8.0f;  // R = 8
    const Image ones((size_t)kNxh * kNy, 1.0f);
    Image host = ones;
    cpu_2dh_smooth_low_frequency_inplace(host.data(), kNxh, kNy, apix, res);
    float* d = to_device(ones);
    hcuda_2dh_smooth_low_frequency_inplace(d, kNxh, kNy, apix, res);
    const Image dev = to_host(d, ones.size());
    cudaFree(d);
    const size_t origin = (size_t)(kNy / 2) * kNxh;
    EXPECT_EQ(host[origin], 0.0f);
    EXPECT_NEAR(dev[origin], std::exp(-4.5), 1e-7);
    for (int row = 0; row < kNy; ++row)
        for (int x = 0; x < kNxh; ++x) {
            const size_t i = (size_t)row * kNxh + x;
            if (i == origin) continue;
            const float want = expected_weight(std::hypot(x, row - kNy / 2), 8.0);
            ASSERT_NEAR(host[i], want, 1e-6) << x << "," << row;
            ASSERT_NEAR(dev[i], want, 1e-6) << x << "," << row;
        }
}

TEST(LowFrequency, RadiusBeyondEveryElementOrNotPositive) {
    struct Case {
        float res;
        bool all_attenuated;
    };
    // res 0.5 puts R at 128, past every element; a negative res gives R < 0.
    for (const Case& c : {Case{0.5f, true}, Case{-8.0f, false}}) {
        Image host((size_t)kNxh * kNy, 2.0f);
        cpu_2dh_smooth_low_frequency_inplace(host.data(), kNxh, kNy, 1.0f, c.res);
        float* d = to_device(Image(host.size(), 2.0f));
        hcuda_2dh_smooth_low_frequency_inplace(d, kNxh, kNy, 1.0f, c.res);
        const Image dev = to_host(d, host.size());
        cudaFree(d);
        const size_t origin = (size_t)(kNxh * kNy) / 2;
        for (size_t i = 0; i < host.size(); ++i) {
            if (c.all_attenuated) {
                ASSERT_LT(dev[i], 2.0f) << i;
            } else {
                ASSERT_EQ(dev[i], 2.0f) << i;
                ASSERT_EQ(host[i], i == origin ? 0.0f : 2.0f) << i;
            }
        }
    }
}

TEST(LowFrequency, ZeroingClearsExactlyInsideTheRadius) {
    Image spec((size_t)kNxh * kNy, 3.0f);
    cpu_2dh_zero_low_frequency_inplace(spec.data(), kNxh, kNy, 2.0f, 16.0f);  // R = 8
    for (int row = 0; row < kNy; ++row)
        for (int x = 0; x < kNxh; ++x) {
            const bool inside = x * x + (row - kNy / 2) * (row - kNy / 2) < 64;
            ASSERT_EQ(spec[(size_t)row * kNxh + x], inside ? 0.0f : 3.0f) << x << "," << row;
        }
}

// ---- ring ----

TEST(Ring, HalfWidthDefaultsAndBounds) {
    struct Case {
        int n;
        float apix, res, w;
        int first, last;  // ring pixels on the centre row, right of the centre (dx)
    };
    const Case cases[] = {
        {1024, 1.0f, 8.0f, 0.0f, 127, 130},  // rho 128, w 2: four pixels
        {64, 1.0f, 4.0f, 0.5f, 15, 17},      // rho 16, w 1.5
        {64, 2.0f, 8.0f, 3.0f, 14, 19},      // rho 16, w 3 as given
    };
    for (const Case& c : cases) {
        Image img((size_t)c.n * c.n, 1.0f);
        cpu_2d_plot_circle(img.data(), c.n, c.n, c.apix, c.res, c.w);
        const float* row = img.data() + (size_t)(c.n / 2) * c.n;
        for (int dx = 1; dx < c.n / 2; ++dx) {
            const float want = (dx >= c.first && dx <= c.last) ? 5.0f : 1.0f;
            ASSERT_EQ(row[c.n / 2 + dx], want) << c.n << " dx " << dx;
            ASSERT_EQ(row[c.n / 2 - dx], want) << c.n << " dx " << -dx;
        }
        const double rho = (double)c.n * c.apix / c.res;
        const double w = c.w < 1 ? (c.n > 512 ? 2.0 : 1.5) : c.w;
        for (int y = 0; y < c.n; ++y)
            for (int x = 0; x < c.n; ++x) {
                const double d = std::hypot(x - c.n / 2, y - c.n / 2) - rho;
                if (std::fabs(std::fabs(d) - w) < 1e-3) continue;  // on the boundary: float decides
                ASSERT_EQ(img[(size_t)y * c.n + x], (-w < d && d <= w) ? 5.0f : 1.0f) << x << "," << y;
            }
    }
}

// ---- box filters ----

// Double reference of the box mean and box deviation over the clipped window.
void box_reference(const Image& in, int nx, int ny, int bx, int by, Image& mean, Image& dev) {
    mean.assign(in.size(), 0.0f);
    dev.assign(in.size(), 0.0f);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            std::vector<double> v;
            for (int r = y - by / 2; r < y + by / 2; ++r)
                for (int c = x - bx / 2; c < x + bx / 2; ++c)
                    if (r >= 0 && r < ny && c >= 0 && c < nx) v.push_back(in[(size_t)r * nx + c]);
            double m = 0, ss = 0;
            for (double a : v) m += a;
            m /= v.size();
            for (double a : v) ss += (a - m) * (a - m);
            mean[(size_t)y * nx + x] = (float)m;
            dev[(size_t)y * nx + x] = (float)(std::sqrt(ss) / v.size());
        }
}

struct Filtered {
    Image mean, dev;
};
Filtered device_box_filters(const Image& in, unsigned nx, unsigned ny, int bx, int by) {
    float* din = to_device(in);
    float* dmean = device_array(in.size());
    float* ddev = device_array(in.size());
    hcuda_2d_convolution_by_box(din, dmean, nx, ny, bx, by);
    EXPECT_EQ(hcuda_2d_std_by_box(din, ddev, nx, ny, bx, by), 0);
    Filtered f{to_host(dmean, in.size()), to_host(ddev, in.size())};
    cudaFree(din);
    cudaFree(dmean);
    cudaFree(ddev);
    return f;
}

TEST(BoxFilter, HandComputedWindowsReachOneLessToTheRight) {
    const Image in = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // 4 x 3
    // bx = by = 2: the pixel and its left, upper and upper-left neighbours.
    EXPECT_EQ(device_box_filters(in, 4, 3, 2, 2).mean,
              (Image{1, 1.5f, 2.5f, 3.5f, 3, 3.5f, 4.5f, 5.5f, 7, 7.5f, 8.5f, 9.5f}));
    // bx = 4, by = 3: columns x-2 .. x+1, rows y-1 .. y.
    EXPECT_EQ(device_box_filters(in, 4, 3, 4, 3).mean,
              (Image{1.5f, 2, 2.5f, 3, 3.5f, 4, 4.5f, 5, 7.5f, 8, 8.5f, 9}));
    // Deviation: sqrt(sum of squared deviations) / N, e.g. {1, 2, 5, 6}: sqrt(17)/4.
    const Image dev = device_box_filters(in, 4, 3, 2, 2).dev;
    EXPECT_EQ(dev[0], 0.0f);
    EXPECT_FLOAT_EQ(dev[1], (float)(std::sqrt(0.5) / 2));
    EXPECT_FLOAT_EQ(dev[4], (float)(std::sqrt(8.0) / 2));
    EXPECT_FLOAT_EQ(dev[5], (float)(std::sqrt(17.0) / 4));
}

TEST(BoxFilter, MatchesDoubleReferenceWithClippedWindows) {
    const int nx = 45, ny = 37;
    Image in((size_t)nx * ny);
    for (size_t i = 0; i < in.size(); ++i) in[i] = std::sin(0.37f * i) * 10.0f + (float)(i % 7);
    const int sizes[][2] = {{6, 4}, {3, 9}, {200, 2}, {2, 100}};
    for (const auto& b : sizes) {
        Image mean, dev;
        box_reference(in, nx, ny, b[0], b[1], mean, dev);
        const Filtered f = device_box_filters(in, nx, ny, b[0], b[1]);
        for (size_t i = 0; i < in.size(); ++i) {
            ASSERT_NEAR(f.mean[i], mean[i], 2e-5f * (1 + std::fabs(mean[i]))) << b[0] << "x" << b[1] << " at " << i;
            ASSERT_NEAR(f.dev[i], dev[i], 2e-5f * (1 + dev[i])) << b[0] << "x" << b[1] << " at " << i;
        }
    }
}

// Direct double sums over the clipped window of every pixel: the mean, and the
// mean of magnitudes (the scale of the rounding a sum of the window can carry).
struct WindowStats {
    std::vector<double> mean, mean_abs;
};
WindowStats window_stats(const Image& in, int nx, int ny, int bx, int by) {
    WindowStats w{std::vector<double>(in.size()), std::vector<double>(in.size())};
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            double s = 0, a = 0;
            int n = 0;
            for (int r = std::max(0, y - by / 2); r < std::min(ny, y + by / 2); ++r)
                for (int c = std::max(0, x - bx / 2); c < std::min(nx, x + bx / 2); ++c, ++n) {
                    s += in[(size_t)r * nx + c];
                    a += std::fabs(in[(size_t)r * nx + c]);
                }
            w.mean[(size_t)y * nx + x] = s / n;
            w.mean_abs[(size_t)y * nx + x] = a / n;
        }
    return w;
}

struct BoxCase {
    unsigned nx, ny;
    int bx, by;
};

// The box mean of the device image din, by the host function and by the pixel kernel.
Image host_box_mean(const float* din, const BoxCase& c) {
    float* d = device_array((size_t)c.nx * c.ny);
    hcuda_2d_convolution_by_box(din, d, c.nx, c.ny, c.bx, c.by);
    Image h = to_host(d, (size_t)c.nx * c.ny);
    cudaFree(d);
    return h;
}
Image kernel_box_mean(const float* din, const BoxCase& c) {
    float* d = device_array((size_t)c.nx * c.ny);
    GPU_LAUNCH(cuda_2d_convolution_by_box, gpu_grid_2d(c.nx, c.ny), gpu_block_2d(), 0)(din, d, c.nx, c.ny, c.bx, c.by);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    Image h = to_host(d, (size_t)c.nx * c.ny);
    cudaFree(d);
    return h;
}
// in - box mean over columns c0 <= x < c1, c1 - c0 wide; written over a device copy of in when in_place.
Image host_less_box_mean(const Image& in, const BoxCase& c, unsigned c0, unsigned c1, bool in_place) {
    float* din = to_device(in);
    float* dout = in_place ? din : device_array((size_t)(c1 - c0) * c.ny);
    hcuda_2d_sub_box_mean_cols(dout, din, c.nx, c.ny, c.bx, c.by, c0, c1);
    Image h = to_host(dout, (size_t)(c1 - c0) * c.ny);
    if (!in_place) cudaFree(dout);
    cudaFree(din);
    return h;
}

// The host function slides the window over column sums in double: against a
// direct double sum it must be within a few float roundings of the mean, on
// values spanning seven decades (a bright patch the window slides on and off,
// so the slides subtract large sums), of mixed sign, on odd sizes, windows wider
// or taller than the image, windows clipped at every border and down to one pixel
// (box 2 at a corner). The pixel kernel sums in float: a looser bound.
TEST(BoxFilter, SlidingSumsMatchADirectDoubleSum) {
    const BoxCase cases[] = {{61, 47, 6, 4},  {67, 33, 84, 146}, {5, 9, 42, 3},   {97, 11, 9, 5},
                             {33, 64, 2, 2},  {40, 31, 3, 2},    {1, 13, 2, 6},   {70, 1, 11, 2},
                             {100, 80, 42, 73}, {45, 37, 200, 100}};
    for (const BoxCase& c : cases)
        for (int mixed = 0; mixed < 2; ++mixed) {
            const size_t n = (size_t)c.nx * c.ny;
            Image in(n);
            for (size_t i = 0; i < n; ++i) {
                const unsigned x = i % c.nx, y = (unsigned)(i / c.nx);
                const bool bright = x >= c.nx / 3 && x < c.nx / 2 && y >= c.ny / 4 && y < c.ny / 2;
                // 1e-3 .. 1e4, log-spread; negative every third pixel when mixed.
                const float v = bright ? 1e4f * (1.0f - 0.3f * std::sin(0.3f * i))
                                       : std::pow(10.0f, 3.5f * std::sin(0.71f * i) + 0.5f);
                in[i] = mixed && i % 3 == 0 ? -v : v;
            }
            const std::string what = std::to_string(c.nx) + "x" + std::to_string(c.ny) + " box " +
                                     std::to_string(c.bx) + "x" + std::to_string(c.by) + (mixed ? " mixed" : "");
            const WindowStats ref = window_stats(in, (int)c.nx, (int)c.ny, c.bx, c.by);
            const auto tolerance = [&](size_t i) { return 3 * FLT_EPSILON * std::fabs(ref.mean[i]) + 1e-10 * ref.mean_abs[i]; };
            float* din = to_device(in);
            const Image host = host_box_mean(din, c), kernel = kernel_box_mean(din, c);
            cudaFree(din);
            for (size_t i = 0; i < n; ++i) {
                ASSERT_NEAR(host[i], ref.mean[i], tolerance(i)) << what << " at " << i;
                ASSERT_NEAR(kernel[i], ref.mean[i], 1e-5 * ref.mean_abs[i]) << what << " at " << i;
            }
            // The difference over a range of columns, apart and written in place over the input.
            const unsigned ranges[][2] = {{0, c.nx}, {c.nx / 3, c.nx - (c.nx > 1)}};
            for (const auto& r : ranges)
                for (bool in_place : {false, true}) {
                    if (r[0] >= r[1]) continue;
                    const unsigned w = r[1] - r[0];
                    const Image diff = host_less_box_mean(in, c, r[0], r[1], in_place);
                    for (unsigned y = 0; y < c.ny; ++y)
                        for (unsigned x = r[0]; x < r[1]; ++x) {
                            const size_t i = (size_t)y * c.nx + x;
                            const double want = in[i] - ref.mean[i];
                            ASSERT_NEAR(diff[(size_t)y * w + x - r[0]], want, tolerance(i) + FLT_EPSILON * std::fabs(want))
                                << what << " columns " << r[0] << ".." << r[1] << " at (" << x << ", " << y << ")";
                        }
                }
        }
}

// A non-finite value makes the direct sum NaN or infinite in exactly the windows
// that hold it (NaN where +inf and -inf meet); a sliding sum must not carry it
// beyond them. Those windows come out bit for bit as the pixel kernel gives them,
// all others finite and accurate.
TEST(BoxFilter, NonFiniteValuesStayInTheirWindows) {
    const BoxCase c{70, 40, 8, 6};
    const size_t n = (size_t)c.nx * c.ny;
    Image in(n);
    for (size_t i = 0; i < n; ++i) in[i] = 1.0f + std::sin(0.37f * i);
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        unsigned x, y;
        float v;
    } specials[] = {{5, 5, NAN}, {40, 20, inf}, {44, 22, -inf}, {69, 39, inf}, {0, 30, -inf}};
    Image finite = in;
    for (const auto& p : specials) in[(size_t)p.y * c.nx + p.x] = p.v;
    const auto window_holds_special = [&](unsigned x, unsigned y) {
        for (const auto& p : specials)
            if ((int)p.x >= (int)x - c.bx / 2 && (int)p.x < (int)x + c.bx / 2 && (int)p.y >= (int)y - c.by / 2 &&
                (int)p.y < (int)y + c.by / 2)
                return true;
        return false;
    };
    const WindowStats ref = window_stats(finite, (int)c.nx, (int)c.ny, c.bx, c.by);
    float* din = to_device(in);
    const Image host = host_box_mean(din, c), kernel = kernel_box_mean(din, c);
    cudaFree(din);
    const unsigned c0 = 3, c1 = c.nx, w = c1 - c0;
    const Image diff = host_less_box_mean(in, c, c0, c1, true);
    int nans = 0, infs = 0;
    for (unsigned y = 0; y < c.ny; ++y)
        for (unsigned x = 0; x < c.nx; ++x) {
            const size_t i = (size_t)y * c.nx + x;
            if (window_holds_special(x, y)) {
                nans += std::isnan(kernel[i]);
                infs += std::isinf(kernel[i]);
                ASSERT_EQ(std::memcmp(&host[i], &kernel[i], sizeof(float)), 0) << "(" << x << ", " << y << ")";
            } else {
                ASSERT_NEAR(host[i], ref.mean[i], 3 * FLT_EPSILON * std::fabs(ref.mean[i])) << "(" << x << ", " << y << ")";
            }
            if (x < c0) continue;
            const float want = in[i] - kernel[i], got = diff[(size_t)y * w + x - c0];
            if (window_holds_special(x, y)) {
                ASSERT_EQ(std::isnan(got), std::isnan(want)) << "(" << x << ", " << y << ")";
                if (!std::isnan(want)) {
                    ASSERT_EQ(got, want) << "(" << x << ", " << y << ")";
                }
            }
        }
    EXPECT_GT(nans, 0);
    EXPECT_GT(infs, 0);
}

TEST(BoxFilter, LogMinusBoxAverage) {
    const int nx = 20, ny = 14, box = 4;
    Image in((size_t)nx * ny), logs(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = 1.0f + (float)((i * 13) % 17);
        logs[i] = std::log(in[i]);
    }
    Image mean, dev;
    box_reference(logs, nx, ny, box, box, mean, dev);
    float* d = to_device(in);
    hcuda_2d_log_subbg_boxconv_inplace(d, nx, ny, box);
    const Image out = to_host(d, in.size());
    cudaFree(d);
    for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(out[i], logs[i] - mean[i], 1e-5) << i;
}

class BoxFilterDeath : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// A side below two pixels would leave every window empty (0/0 everywhere).
TEST_F(BoxFilterDeath, SidesBelowTwoAreRefused) {
    const Image in(8 * 8, 1.0f);
    float* din = to_device(in);
    float* dout = device_array(in.size());
    const int sizes[][2] = {{1, 4}, {4, 1}, {0, 0}, {-3, 5}};
    for (const auto& b : sizes) {
        EXPECT_EXIT((dup2(2, 1), hcuda_2d_convolution_by_box(din, dout, 8, 8, b[0], b[1])),
                    ::testing::ExitedWithCode(1), "below 2 pixels");
        EXPECT_EXIT((dup2(2, 1), hcuda_2d_std_by_box(din, dout, 8, 8, b[0], b[1])), ::testing::ExitedWithCode(1),
                    "below 2 pixels");
    }
    EXPECT_EXIT((dup2(2, 1), hcuda_2d_log_subbg_boxconv_inplace(din, 8, 8, 1)), ::testing::ExitedWithCode(1),
                "below 2 pixels");
    cudaFree(din);
    cudaFree(dout);
}

// ---- hot pixels ----

TEST(HotPixels, NeighboursAreReadAsTheyWereBeforeThePass) {
    const unsigned nx = 8, ny = 8;
    const size_t n = nx * ny;
    auto at = [&](unsigned x, unsigned y) { return (size_t)y * nx + x; };
    // Image 0: two hot pixels side by side on a zero background; each must be
    // mended from the other's original value, whichever is visited first.
    Image first(n, 0.0f);
    first[at(5, 5)] = first[at(6, 5)] = 100.0f;
    // Image 1: a hot corner, its missing neighbours taken as itself.
    Image corner(n, 1.0f);
    corner[at(0, 0)] = 100.0f;
    corner[at(1, 0)] = 2.0f;
    corner[at(0, 1)] = 3.0f;
    corner[at(1, 1)] = 4.0f;
    // Image 2: nothing beyond the cutoff.
    Image calm(n);
    for (size_t i = 0; i < n; ++i) calm[i] = (float)(i % 5);
    Image stack = concat({first, corner, calm});

    testing::internal::CaptureStdout();
    hcuda_2ds_rm_hotpixels_inplace(stack.data(), nx, ny, 3, 3.0f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "...\n");

    Image want_first = first;
    want_first[at(5, 5)] = want_first[at(6, 5)] = 200.0f / 12.0f;  // 2 * (0 + 0 + 0 + 100) / 12
    Image want_corner = corner;
    // sides: up = left = itself (100), down 3, right 2; diagonals: itself, 2, 3, 4.
    want_corner[at(0, 0)] = (2.0f * 205.0f + 109.0f) / 12.0f;
    EXPECT_EQ(stack, concat({want_first, want_corner, calm}));
}

}  // namespace
