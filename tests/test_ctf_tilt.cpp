// Local defocus from tilt against the geometry worked by hand, the printer's
// exact lines, and the automatic box grid of a tilted micrograph.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#define VORN_UNIT "tests/ctf_tilt"
#include "ctf_tilt.h"
#include "device_arrays_fixture.h"

namespace {

const CTF_INFO kCentre{300.0f, 2.7f, 0.07f, 30.0f, 20000.0f, 21000.0f, 35.0f, 80.0f};

struct HeightCase {
    int x, y;
    float axis, tilt, height;
};

// A 101 x 101 image (centre (50, 50)) at 1 A per pixel: tilted by 45 degrees
// about the x axis the defocus changes by 1 A per pixel across the axis and not
// along it; about the y axis (90 degrees) the roles swap, with the opposite sign.
TEST(TiltLocalDefocus, WorkedExample) {
    const HeightCase cases[] = {
        {50, 60, 0.0f, 45.0f, 10.0f},   {50, 40, 0.0f, 45.0f, -10.0f}, {60, 50, 0.0f, 45.0f, 0.0f},
        {40, 50, 0.0f, 45.0f, 0.0f},    {50, 50, 0.0f, 45.0f, 0.0f},   {60, 50, 90.0f, 45.0f, -10.0f},
        {40, 50, 90.0f, 45.0f, 10.0f},  {50, 60, 90.0f, 45.0f, 0.0f},  {0, 100, 0.0f, 45.0f, 50.0f},
        {57, 60, 0.0f, 0.0f, 0.0f},     // no tilt, no change
        {-10, 50, 90.0f, 45.0f, 60.0f},  // left of the image: a signed coordinate
        {50, -30, 0.0f, 45.0f, -80.0f},  // above the image
    };
    for (const HeightCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "x " << c.x << " y " << c.y << " axis " << c.axis << " tilt " << c.tilt);
        CTF_INFO local;
        get_tilt_local_def_one(local, c.x, c.y, kCentre, 101, 101, 1.0f, c.axis, c.tilt);
        EXPECT_NEAR(local.U - kCentre.U, c.height, 2e-3);
        EXPECT_NEAR(local.V - kCentre.V, c.height, 2e-3);
        EXPECT_NEAR(get_tilt_local_height(c.x, c.y, 101, 101, 1.0f, c.axis, c.tilt), c.height, 1e-4);
    }
}

TEST(TiltLocalDefocus, CentreOfAnOddImageKeepsTheRecordExactly) {
    CTF_INFO local;
    get_tilt_local_def_one(local, 50, 50, kCentre, 101, 101, 1.3f, 17.0f, 55.0f);
    EXPECT_EQ(local.U, kCentre.U);
    EXPECT_EQ(local.V, kCentre.V);
}

// Only U and V move, by the same height: astigmatism, angle and the other
// fields stay; a row (axis 0) shares one defocus.
TEST(TiltLocalDefocus, ManyPositionsKeepAstigmatismAndTheOtherFields) {
    const std::vector<int2> at = {make_int2(3, 7), make_int2(90, 7), make_int2(40, 80), make_int2(-5, -9)};
    std::vector<CTF_INFO> local(at.size());
    get_tilt_local_defs(local.data(), at.data(), (int)at.size(), kCentre, 100, 120, 1.7f, 0.0f, 30.0f);
    for (size_t i = 0; i < at.size(); ++i) {
        const float d = get_tilt_local_height(at[i].x, at[i].y, 100, 120, 1.7f, 0.0f, 30.0f);
        EXPECT_EQ(local[i].U, kCentre.U + d);
        EXPECT_EQ(local[i].V, kCentre.V + d);
        EXPECT_NEAR(local[i].V - local[i].U, kCentre.V - kCentre.U, 1e-2);
        EXPECT_EQ(local[i].kV, kCentre.kV);
        EXPECT_EQ(local[i].Cs, kCentre.Cs);
        EXPECT_EQ(local[i].AC, kCentre.AC);
        EXPECT_EQ(local[i].P, kCentre.P);
        EXPECT_EQ(local[i].A, kCentre.A);
        EXPECT_EQ(local[i].B, kCentre.B);
    }
    EXPECT_EQ(local[0].U, local[1].U);
    // The expected slope: 1.7 A per pixel times tan 30 degrees, across the axis.
    EXPECT_NEAR(local[2].U - local[0].U, 73 * 1.7 * std::tan(30.0 * M_PI / 180.0), 2e-2);

    CTF_INFO untouched[2];
    untouched[0].U = untouched[1].U = -1.0f;
    get_tilt_local_defs(untouched, at.data(), 0, kCentre, 100, 120, 1.7f, 0.0f, 30.0f);
    get_tilt_local_defs(untouched, at.data(), -3, kCentre, 100, 120, 1.7f, 0.0f, 30.0f);
    EXPECT_EQ(untouched[0].U, -1.0f);
}

TEST(TiltLocalDefocus, PrintsTheListWithAndWithoutPositions) {
    const CTF_INFO r[2] = {kCentre, {200.0f, 0.01f, 0.1f, 0.0f, 15000.5f, 15100.25f, -12.5f, 0.0f}};
    const int2 at[2] = {make_int2(12, 345), make_int2(-7, 0)};
    testing::internal::CaptureStdout();
    print_tilt_local_defs(r, 2, at);
    print_tilt_local_defs(r, 1, nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string head = "        kV        Cs        AC        P           U           V         A         B         \n";
    const std::string row0 = "    300.00      2.70     0.070     30.00    20000.00    21000.00     35.00     80.00\n";
    const std::string row1 = "    200.00      0.01     0.100      0.00    15000.50    15100.25    -12.50      0.00\n";
    EXPECT_EQ(out, "         X         Y" + head + "        12       345" + row0 + "        -7         0" + row1 + head +
                       row0);
}

// ---- the automatic grid ----

TEST(TiltAutogrid, BoxesAreCutAroundTheGridCentresInsideTheImage) {
    std::vector<int2> centres, corners;
    const int n = get_tilt_autogrid_boxes(centres, corners, 200, 150, 64, 0.5f);
    ASSERT_GT(n, 0);
    ASSERT_EQ(centres.size(), (size_t)n);
    ASSERT_EQ(corners.size(), (size_t)n);
    bool has_image_centre = false;
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(corners[i].x, centres[i].x - 32);
        EXPECT_EQ(corners[i].y, centres[i].y - 32);
        EXPECT_GE(corners[i].x, 0);
        EXPECT_GE(corners[i].y, 0);
        EXPECT_LE(corners[i].x + 64, 200);
        EXPECT_LE(corners[i].y + 64, 150);
        EXPECT_EQ((centres[i].x - 100) % 32, 0);  // grid of step 64 (1 - 0.5) through (nx/2, ny/2)
        EXPECT_EQ((centres[i].y - 75) % 32, 0);
        has_image_centre |= centres[i].x == 100 && centres[i].y == 75;
    }
    EXPECT_TRUE(has_image_centre);
    // Columns 36, 68, 100, 132, 164 and rows 43, 75, 107: every box that fits.
    EXPECT_EQ(n, 15);
}

TEST(TiltAutogrid, AnOverlapThatLeavesNoStepIsRefused) {
    for (float overlap : {1.0f, 1.5f, 0.99f}) {
        SCOPED_TRACE(overlap);
        std::vector<int2> centres(3), corners(3);
        testing::internal::CaptureStdout();
        EXPECT_EQ(get_tilt_autogrid_boxes(centres, corners, 128, 128, 64, overlap), -1);
        EXPECT_NE(testing::internal::GetCapturedStdout().find("Warning"), std::string::npos);
        EXPECT_TRUE(centres.empty());
        EXPECT_TRUE(corners.empty());

        std::vector<float> image(128 * 128, 1.0f);
        CTF_INFO out{};
        out.U = -1.0f;
        testing::internal::CaptureStdout();
        EXPECT_EQ(gpu_2d_ctf_tilt_refine_cctf_autogrid(out, kCentre, image.data(), 128, 128, 1.0f, 0.0f, 30.0f, 64,
                                                       overlap),
                  -1.0f);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.U, -1.0f);
    }
}

// The preparation runs on device and host images and fills its result: nothing
// refines the centre record, so the result is the centre record itself.
TEST(TiltAutogrid, PreparationFillsItsResult) {
    const int nx = 160, ny = 128;
    std::vector<float> image(nx * ny);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) image[y * nx + x] = 1.0f + 0.5f * std::sin(0.7f * x) * std::cos(0.3f * y);
    CTF_INFO out{};
    out.U = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(gpu_2d_ctf_tilt_refine_cctf_autogrid(out, kCentre, image.data(), nx, ny, 1.2f, 20.0f, 40.0f, 64, 0.25f),
              0.0f);
    EXPECT_EQ(std::memcmp(&out, &kCentre, sizeof(CTF_INFO)), 0);

    float* d_image = to_device(image);
    CTF_INFO out2{};
    EXPECT_EQ(hcuda_2d_ctf_tilt_refine_cctf_autogrid(out2, kCentre, d_image, nx, ny, 1.2f, 20.0f, 40.0f, 32, 0.0f),
              0.0f);
    EXPECT_EQ(std::memcmp(&out2, &kCentre, sizeof(CTF_INFO)), 0);
    EXPECT_EQ(to_host(d_image, image.size()), image);  // the image is only read

    EXPECT_EQ(hcuda_2d_ctf_tilt_las_subbg(d_image, nx, ny, 1.2f, 20.0f, 40.0f, 64, 0.5f), 0.0f);
    EXPECT_EQ(to_host(d_image, image.size()), image);
    cudaFree(d_image);
}

}  // namespace
