// Box extraction and pasting between large and small images, host and device forms.
#include <gtest/gtest.h>

#include <cmath>
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

}  // namespace
