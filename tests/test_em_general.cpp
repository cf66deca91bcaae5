// Random projection orientations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#define VORN_UNIT "tests/em_general"
#include "cuda_general.h"
#include "em_general.h"
#include "random_seed_fixture.h"

namespace {

TEST(Orientations, DrawsToAngles) {
    EXPECT_EQ(rand_draw_to_tilt_degrees(0), 0.0);
    EXPECT_EQ((float)rand_draw_to_tilt_degrees(2147483647), 180.0f);
    EXPECT_EQ((float)rand_draw_to_degrees(2147483647), 360.0f);
    EXPECT_NEAR(rand_draw_to_tilt_degrees(1073741824), 90.0, 1e-6);
}

TEST(Orientations, RecordsInDrawOrderFromTheSecondsSeed) {
    std::vector<EM_Trans_Orient> o(50);
    for (auto& r : o) r.shift_x = r.shift_y = 9.0f;
    const time_t second = run_within_one_second([&] { random_polar_angles_many(o.data(), (unsigned)o.size()); });
    srand((unsigned)second);
    for (const EM_Trans_Orient& r : o) {
        EXPECT_EQ(r.shift_x, 0.0f);
        EXPECT_EQ(r.shift_y, 0.0f);
        EXPECT_EQ(r.rot, (float)rand_draw_to_degrees(rand()));
        EXPECT_EQ(r.tilt, (float)rand_draw_to_tilt_degrees(rand()));
        EXPECT_EQ(r.psi, (float)rand_draw_to_degrees(rand()));
    }
    std::vector<float> rot(50), tilt(50), psi(50);
    const time_t again = run_within_one_second([&] { random_polar_angles_many(rot.data(), tilt.data(), psi.data(), 50); });
    srand((unsigned)again);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(rot[i], (float)rand_draw_to_degrees(rand()));
        EXPECT_EQ(tilt[i], (float)rand_draw_to_tilt_degrees(rand()));
        EXPECT_EQ(psi[i], (float)rand_draw_to_degrees(rand()));
    }
}

// Directions uniform over the sphere: cos(tilt) uniform in [-1, 1].
TEST(Orientations, ManagedRecordsCoverTheSphereUniformly) {
    const unsigned n = 40000;
    EM_Trans_Orient* o = zgpu_random_polar_angles_many(n);
    ASSERT_NE(o, nullptr);
    double c = 0, c2 = 0, rot = 0;
    for (unsigned i = 0; i < n; ++i) {
        ASSERT_TRUE(o[i].tilt >= 0.0f && o[i].tilt <= 180.0f);
        ASSERT_TRUE(o[i].rot >= 0.0f && o[i].rot <= 360.0f && o[i].psi >= 0.0f && o[i].psi <= 360.0f);
        const double ct = std::cos(o[i].tilt * M_PI / 180.0);
        c += ct;
        c2 += ct * ct;
        rot += o[i].rot;
    }
    EXPECT_NEAR(c / n, 0.0, 0.02);
    EXPECT_NEAR(c2 / n, 1.0 / 3.0, 0.02);
    EXPECT_NEAR(rot / n, 180.0, 4.0);
    EXPECT_EQ(cudaFree(o), cudaSuccess);
    EXPECT_EQ(zgpu_random_polar_angles_many(0), nullptr);  // nothing to allocate
}

TEST(Orientations, OneOrientationInRadians) {
    float rot = -1, tilt = -1, psi = -1;
    const time_t second = run_within_one_second([&] { random_polar_angles(0.0f, rot, tilt, psi); });
    srand((unsigned)second);
    EXPECT_EQ(rot, (float)(rand() * 6.283185307179586 / 2147483647.0));
    EXPECT_EQ(tilt, (float)std::acos(1.0 - 2.0 * rand() / 2147483647.0));
    EXPECT_EQ(psi, (float)(rand() * 6.283185307179586 / 2147483647.0));
    EXPECT_TRUE(tilt >= 0.0f && tilt <= (float)M_PI);
}

}  // namespace
