// Volume conventions and transforms: the trilinear rule, the Euler matrix,
// rigid and Euler resampling, quarter turns, and the host helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#define VORN_UNIT "tests/process3d_raw"
#include "device_arrays_fixture.h"
#include "process3d_raw.h"
#include "volume_fixture.h"

namespace {

RT_Mat3D shift(float tx, float ty, float tz) {
    RT_Mat3D m;
    m.Tx = tx, m.Ty = ty, m.Tz = tz;
    return m;
}

using Resampler = void (*)(float*, const float*, unsigned, unsigned, unsigned, float, float, float, RT_Mat3D, int);
Volume resample_host(Resampler f, const Volume& in, unsigned n, RT_Mat3D m, int direction) {
    Volume out(in.size(), -7.0f);
    const float c = volume_centre(n);
    testing::internal::CaptureStdout();  // timing and block-shape lines
    f(out.data(), in.data(), n, n, n, c, c, c, m, direction);
    testing::internal::GetCapturedStdout();
    return out;
}

// The rotation launchers and the CPU twin on host volumes.
using Rotator = void (*)(float*, const float*, unsigned, unsigned, unsigned, float, float, float, float, float, float,
                         int);
Volume rotate_with(Rotator f, bool device, const Volume& in, unsigned nx, unsigned ny, unsigned nz, float rot,
                   float tilt, float psi, int direction) {
    const float cx = volume_centre(nx), cy = volume_centre(ny), cz = volume_centre(nz);
    if (!device) {
        Volume out(in.size());
        f(out.data(), in.data(), nx, ny, nz, cx, cy, cz, rot, tilt, psi, direction);
        return out;
    }
    float* d_in = to_device(in);
    float* d_out = device_array(in.size());
    f(d_out, d_in, nx, ny, nz, cx, cy, cz, rot, tilt, psi, direction);
    Volume out = to_host(d_out, in.size());
    cudaFree(d_in);
    cudaFree(d_out);
    return out;
}
struct RotatorCase {
    const char* name;
    Rotator f;
    bool device;
};
const RotatorCase rotators[] = {{"hcuda_3d_rotate", hcuda_3d_rotate, true},
                                {"hcuda_3d_rotate_t2", hcuda_3d_rotate_t2, true},
                                {"hcuda_3d_rotate_t3", hcuda_3d_rotate_t3, true},
                                {"cpu_3d_rotate_t3", cpu_3d_rotate_t3, false}};

// ---- the trilinear rule ----

TEST(Trilinear, ValuesInsideAndOnTheLastPlanes) {
    const unsigned nx = 3, ny = 2, nz = 2;
    const Volume v = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048};
    EXPECT_EQ(trilinear_sample_or_zero(v.data(), nx, ny, nz, 2, 1, 1), 2048.0f);  // last voxel, no neighbour read
    EXPECT_EQ(trilinear_sample_or_zero(v.data(), nx, ny, nz, 0, 0, 0.5f), (1.0f + 64.0f) / 2);
    EXPECT_EQ(trilinear_sample_or_zero(v.data(), nx, ny, nz, 0.5f, 0.5f, 0.5f),
              (1 + 2 + 8 + 16 + 64 + 128 + 512 + 1024) / 8.0f);
    EXPECT_EQ(trilinear_sample_or_zero(v.data(), nx, ny, nz, 2, 0.25f, 1), 256.0f + 0.25f * 1792.0f);
    EXPECT_EQ(nearest_sample_or_zero(v.data(), nx, ny, nz, 1.5f, 0.49f, 0.5f), 256.0f);  // (2, 0, 1): halves round up
}

// A position outside, or not a number, has no value: NaN must not slip through a
// test written as "below 0 or above N - 1" and then index the volume.
TEST(Trilinear, OutsideAndNonFinitePositionsHaveNoValue) {
    const Volume v(27, 1.0f);
    const float nan = std::nanf(""), inf = INFINITY;
    const float ps[][3] = {{-0.0001f, 1, 1}, {2.0001f, 1, 1}, {1, -0.5f, 1}, {1, 1, 2.5f}, {nan, 1, 1},
                           {1, nan, 1},      {1, 1, nan},     {inf, 1, 1},   {1, -inf, 1}, {1, 1, inf}};
    for (const auto& p : ps) {
        EXPECT_FALSE(trilinear_inside(3, 3, 3, p[0], p[1], p[2])) << p[0] << " " << p[1] << " " << p[2];
        EXPECT_EQ(trilinear_sample_or_zero(v.data(), 3, 3, 3, p[0], p[1], p[2]), 0.0f);
        EXPECT_EQ(nearest_sample_or_zero(v.data(), 3, 3, 3, p[0], p[1], p[2]), 0.0f);
    }
    EXPECT_FALSE(trilinear_inside(3, 3, 0, 0, 0, 0));
}

// A position within float rounding of the volume's edge (a few ulps of its
// size) is read on the edge, by every form of the rule: the sampler, the taps
// after the inside test, and the nearest voxel.
TEST(Trilinear, PositionsWithinRoundingOfTheEdgeReadTheEdge) {
    const unsigned nx = 3, ny = 2, nz = 2;
    const Volume v = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048};
    const struct {
        float x, y, z, value;
    } cases[] = {{-4.8e-7f, 0, 0, 1.0f},   {2.0000005f, 1, 1, 2048.0f}, {1, -1e-7f, 1, 128.0f},
                 {0, 1.0000002f, 0, 8.0f}, {2, 0, -2e-7f, 4.0f},       {1, 1, 1.0000002f, 1024.0f}};
    for (const auto& c : cases) {
        ASSERT_TRUE(trilinear_inside(nx, ny, nz, c.x, c.y, c.z)) << c.x << " " << c.y << " " << c.z;
        EXPECT_EQ(trilinear_value(v.data(), trilinear_taps(nx, ny, nz, c.x, c.y, c.z)), c.value) << c.x << " " << c.y;
        EXPECT_EQ(trilinear_sample_or_zero(v.data(), nx, ny, nz, c.x, c.y, c.z), c.value) << c.x << " " << c.y;
        EXPECT_EQ(nearest_sample_or_zero(v.data(), nx, ny, nz, c.x, c.y, c.z), c.value) << c.x << " " << c.y;
    }
}

// ---- the Euler matrix ----

// Rz(psi) Ry(tilt) Rz(rot), angles in degrees, formed in double from the factor
// matrices, row by row.
std::vector<double> euler_factor_product(double rot, double tilt, double psi) {
    const auto rz = [](double t) { return std::vector<double>{cos(t), sin(t), 0, -sin(t), cos(t), 0, 0, 0, 1}; };
    const auto ry = [](double t) { return std::vector<double>{cos(t), 0, sin(t), 0, 1, 0, -sin(t), 0, cos(t)}; };
    const auto mul = [](const std::vector<double>& p, const std::vector<double>& q) {
        std::vector<double> r(9, 0.0);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 3; ++k) r[3 * i + j] += p[3 * i + k] * q[3 * k + j];
        return r;
    };
    const double d = M_PI / 180.0;
    return mul(rz(psi * d), mul(ry(tilt * d), rz(rot * d)));
}

// E(rot, tilt, psi) = Rz(psi) Ry(tilt) Rz(rot), formed here in double from the
// factor matrices; orthonormal, with E(-psi, -tilt, -rot) its inverse.
TEST(Euler, IsTheProductOfItsFactorsOrthonormalAndInvertedByNegatedReversedAngles) {
    const float angles[][3] = {{0, 0, 0}, {90, 0, 0}, {30, 50, 70}, {-120, 170, 15}, {359, 1, 181}};
    for (const auto& a : angles) {
        const std::vector<double> want = euler_factor_product(a[0], a[1], a[2]);
        const RT_Mat3D e = euler_matrix(a[0], a[1], a[2]), inv = euler_matrix(-a[2], -a[1], -a[0]);
        const float* E = &e.R11;
        const float* I = &inv.R11;
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(E[i], want[i], 2e-6) << a[0] << " " << a[1] << " " << a[2];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                double eet = 0.0, ei = 0.0;
                for (int k = 0; k < 3; ++k) eet += E[3 * i + k] * E[3 * j + k], ei += E[3 * i + k] * I[3 * k + j];
                EXPECT_NEAR(eet, i == j, 1e-6);
                EXPECT_NEAR(ei, i == j, 1e-6);
                EXPECT_NEAR(I[3 * i + j], E[3 * j + i], 1e-6);  // the transpose
            }
        EXPECT_EQ(e.Tx, 0.0f);
    }
}

// ---- rigid maps ----

TEST(Transform, IdentityCopiesForEitherDirection) {
    const unsigned n = 7;
    const Volume in = numbered_volume(n, n, n);
    for (int direction : {-1, 0, 1}) {
        EXPECT_EQ(resample_host(gpu_3d_transform, in, n, RT_Mat3D{}, direction), in) << direction;
        EXPECT_EQ(resample_host(gpu_3d_transform3, in, n, RT_Mat3D{}, direction), in) << direction;
    }
}

// Direction -1 reads at p + T; any other direction moves the content by T.
TEST(Transform, ShiftReadsOrMovesByTheDirectionFlag) {
    const unsigned n = 5;
    const Volume in = numbered_volume(n, n, n);
    for (Resampler f : {(Resampler)gpu_3d_transform, (Resampler)gpu_3d_transform3}) {
        const Volume read = resample_host(f, in, n, shift(1, 0, 0), -1);
        const Volume moved = resample_host(f, in, n, shift(1, 0, 0), 0);
        for (unsigned z = 0; z < n; ++z)
            for (unsigned y = 0; y < n; ++y)
                for (unsigned x = 0; x < n; ++x) {
                    const size_t i = voxel_element(x, y, z, n, n);
                    EXPECT_EQ(read[i], x + 1 < n ? in[i + 1] : 0.0f);
                    EXPECT_EQ(moved[i], x > 0 ? in[i - 1] : 0.0f);
                }
    }
}

// The auto-centre kernel forms (N - 1)*0.5 itself: the same as the launcher's centre.
TEST(Transform, AutoCentreKernelMatchesTheGivenCentre) {
    const unsigned nx = 6, ny = 5, nz = 4;
    const Volume in = numbered_volume(nx, ny, nz);
    RT_Mat3D m = euler_matrix(20, 30, 40);
    m.Tx = 0.5f;
    float* d_in = to_device(in);
    float* a = device_array(in.size());
    float* b = device_array(in.size());
    GPU_LAUNCH(cuda_3d_transform_auto_center, gpu_grid_2d(nx, ny), gpu_block_2d(), 0)(a, d_in, nx, ny, nz, m, 0);
    CUDA_LAUNCH_CHECK();
    testing::internal::CaptureStdout();
    hcuda_3d_transform(b, d_in, nx, ny, nz, 2.5f, 2.0f, 1.5f, m, 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(to_host(a, in.size()), to_host(b, in.size()));
    EXPECT_NE(printed.find("cuda_3d_transform: "), std::string::npos);
    EXPECT_NE(printed.find("DIMX_max DIMY_max : 32 32\n"), std::string::npos);
    cudaFree(d_in), cudaFree(a), cudaFree(b);
}

// A singular matrix inverted, or a NaN in the map, gives positions that are not
// numbers: every voxel is outside and 0, and nothing is read out of bounds.
TEST(Transform, NonFiniteSourcePositionsSampleAsOutside) {
    const unsigned n = 6;
    const Volume in = numbered_volume(n, n, n);
    RT_Mat3D singular;
    singular.R11 = singular.R22 = singular.R33 = 0.0f;
    RT_Mat3D nan_shift = shift(std::nanf(""), 0, 0);
    for (const RT_Mat3D& m : {singular, nan_shift})
        for (Resampler f : {(Resampler)gpu_3d_transform, (Resampler)gpu_3d_transform3})
            EXPECT_EQ(resample_host(f, in, n, m, 0), Volume(in.size(), 0.0f));
    for (const RotatorCase& r : rotators)
        for (float angle : {std::nanf(""), INFINITY})
            EXPECT_EQ(rotate_with(r.f, r.device, in, n, n, n, angle, 0, 0, 0), Volume(in.size(), 0.0f)) << r.name;
}

// ---- Euler rotations ----

// 90 degrees about z on an odd cube: direction 0 moves (x, y, z) to
// (c + (y - c), c - (x - c), z), direction -1 the other way, up to the rounding
// of the sine and cosine; every rotation kernel and the CPU twin agree.
TEST(Rotate, NinetyDegreesAboutZIsTheVoxelPermutation) {
    const unsigned n = 5;
    const int c = 2;
    const Volume in = numbered_volume(n, n, n);
    for (const RotatorCase& r : rotators)
        for (int direction : {0, -1}) {
            const Volume out = rotate_with(r.f, r.device, in, n, n, n, 90, 0, 0, direction);
            for (unsigned z = 0; z < n; ++z)
                for (unsigned y = 0; y < n; ++y)
                    for (unsigned x = 0; x < n; ++x) {
                        const int tx = direction == 0 ? c + ((int)y - c) : c - ((int)y - c);
                        const int ty = direction == 0 ? c - ((int)x - c) : c + ((int)x - c);
                        const float want = in[voxel_element(x, y, z, n, n)];
                        EXPECT_NEAR(out[voxel_element(tx, ty, z, n, n)], want, 1e-4f * want)
                            << r.name << " " << direction << " " << x << " " << y << " " << z;
                    }
        }
}

// Euler turns by multiples of 90 degrees, whole turns included, are exact
// permutations of the voxels, boundary included, in every angle slot, on odd and
// even cubes and a flat volume whose far ends show any rounding of the sines
// and cosines: the source of voxel p is A (p - c) + c with A = E(rot, tilt, psi)
// for direction -1 and its transpose otherwise, here with the exact matrix, in
// doubled integer coordinates (0 where that is outside).
TEST(Rotate, WholeAndQuarterTurnsAreExactPermutationsBoundaryIncluded) {
    const float turns[][3] = {{90, 0, 0},   {180, 0, 0},     {270, 0, 0},  {0, 90, 0},   {0, 270, 0},
                              {0, 0, 90},   {0, 0, -90},     {90, 90, 90}, {-90, 180, 270},
                              {3600, 0, 0}, {0, -720, 0},    {0, 0, 3600}, {-720, 3600, -720},
                              {3690, -3690, 450}};
    const unsigned sizes[][3] = {{15, 15, 15}, {8, 8, 8}, {127, 5, 3}};  // one parity per volume
    for (const auto& size : sizes) {
        const unsigned nx = size[0], ny = size[1], nz = size[2];
        const Volume in = numbered_volume(nx, ny, nz);
        const int m[3] = {(int)nx - 1, (int)ny - 1, (int)nz - 1};  // twice the centre
        for (const auto& a : turns)
            for (int direction : {-1, 0}) {
                const std::vector<double> e = euler_factor_product(a[0], a[1], a[2]);
                int A[9];
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) A[3 * i + j] = (int)std::lround(direction == -1 ? e[3 * i + j] : e[3 * j + i]);
                Volume want(in.size(), 0.0f);
                for (int z = 0; z < (int)nz; ++z)
                    for (int y = 0; y < (int)ny; ++y)
                        for (int x = 0; x < (int)nx; ++x) {
                            const int d[3] = {2 * x - m[0], 2 * y - m[1], 2 * z - m[2]};
                            int s[3];
                            bool inside = true;
                            for (int i = 0; i < 3; ++i) {
                                s[i] = (A[3 * i] * d[0] + A[3 * i + 1] * d[1] + A[3 * i + 2] * d[2] + m[i]) / 2;
                                inside = inside && s[i] >= 0 && s[i] <= m[i];
                            }
                            if (inside)
                                want[voxel_element(x, y, z, nx, ny)] = in[voxel_element(s[0], s[1], s[2], nx, ny)];
                        }
                for (const RotatorCase& r : rotators)
                    EXPECT_EQ(rotate_with(r.f, r.device, in, nx, ny, nz, a[0], a[1], a[2], direction), want)
                        << r.name << " " << nx << " x " << ny << " x " << nz << " (" << a[0] << ", " << a[1] << ", "
                        << a[2] << ") direction " << direction;
            }
    }
}

TEST(Rotate, KernelsAndCpuTwinAgreeForGeneralAngles) {
    const unsigned nx = 9, ny = 8, nz = 7;
    const Volume in = seeded_volume(nx, ny, nz, 11);
    for (int direction : {-1, 1}) {
        const Volume want = rotate_with(cpu_3d_rotate_t3, false, in, nx, ny, nz, 33, 61, -47, direction);
        for (const RotatorCase& r : rotators)
            EXPECT_EQ(rotate_with(r.f, r.device, in, nx, ny, nz, 33, 61, -47, direction), want) << r.name;
    }
}

// ---- quarter turn ----

TEST(SwapXY, QuarterTurnOfEverySlice) {
    const Volume in = {0, 1, 2, 3, 4, 5};  // 2 x 3 x 1
    Volume out(6, -1.0f);
    gpu_3d_swap_xy(in.data(), out.data(), 2, 3, 1);
    EXPECT_EQ(out, (Volume{4, 2, 0, 5, 3, 1}));

    const Volume two = numbered_volume(2, 3, 2);
    Volume turned(two.size());
    gpu_3d_swap_xy(two.data(), turned.data(), 2, 3, 2);
    EXPECT_EQ(Volume(turned.begin() + 6, turned.end()), (Volume{11, 9, 7, 12, 10, 8}));
}

// ---- host helpers ----

TEST(MassCenter, SingleVoxelAndZeroSum) {
    Volume v(5 * 4 * 3, 0.0f);
    v[voxel_element(3, 1, 2, 5, 4)] = 2.5f;
    const float3 c = cpu_3d_get_mass_center(v.data(), 5, 4, 3);
    EXPECT_EQ(c.x, 3.0f);
    EXPECT_EQ(c.y, 1.0f);
    EXPECT_EQ(c.z, 2.0f);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cpu_3d_print_mass_center(v.data(), 5, 4, 3), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "mass center (x,y,z) : (3.00 \t1.00 \t2.00)\n");
    v[0] = -2.5f;
    EXPECT_FALSE(std::isfinite(cpu_3d_get_mass_center(v.data(), 5, 4, 3).x));
}

// A volume of 2^24 + 1 ones: a float running sum would stop at 2^24.
TEST(MassCenter, LargeVolumesSumWithoutLoss) {
    const unsigned nx = 4097, ny = 4096, nz = 1;
    Volume v((size_t)nx * ny, 1.0f);
    const float3 c = cpu_3d_get_mass_center(v.data(), nx, ny, nz);
    EXPECT_NEAR(c.x, 2048.0f, 1e-3f);
    EXPECT_NEAR(c.y, 2047.5f, 1e-3f);
}

TEST(Peak, FirstOfEqualMaximaInScanOrder) {
    Volume v(4 * 3 * 2, 0.0f);
    v[voxel_element(2, 1, 1, 4, 3)] = 9.0f;
    v[voxel_element(3, 2, 0, 4, 3)] = 9.0f;
    int x = -1, y = -1, z = -1;
    cpu_3d_get_unique_peak(v.data(), 4, 3, 2, x, y, z);
    EXPECT_EQ((std::vector<int>{x, y, z}), (std::vector<int>{3, 2, 0}));
    v.assign(v.size(), -1.0f);
    v[0] = 5.0f;
    cpu_3d_get_unique_peak(v.data(), 4, 3, 2, x, y, z);
    EXPECT_EQ((std::vector<int>{x, y, z}), (std::vector<int>{0, 0, 0}));
}

TEST(Random3D, OwnsNewValuesWithinTheRange) {
    Raw3D r = random_3df(-1.0f, 2.0f, 4, 5, 6);
    ASSERT_NE(r.data, nullptr);
    EXPECT_TRUE(r.owns_data);
    EXPECT_EQ(r.Nx * r.Ny * r.Nz, 120u);
    for (size_t i = 0; i < 120; ++i) {
        EXPECT_GE(r.data[i], -1.0f);
        EXPECT_LE(r.data[i], 2.0f);
    }
    std::free(r.data);
}

}  // namespace
