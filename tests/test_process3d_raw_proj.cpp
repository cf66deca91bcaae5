// Projection and backprojection of volumes: ray sums, their adjoint, the
// projection drivers, the weighted-backprojection reconstruction and the tests
// that write into the working directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#define VORN_UNIT "tests/process3d_raw_proj"
#include "device_arrays_fixture.h"
#include "mrcfile.h"
#include "process3d_raw.h"
#include "volume_fixture.h"

namespace {

using Image = std::vector<float>;

Image project(const Volume& v, unsigned n, float rot, float tilt, float psi, int direction, int sampling) {
    Image img((size_t)n * n, -7.0f);
    const float c = volume_centre(n);
    gpu_3d_project(img.data(), v.data(), n, n, n, c, c, c, rot, tilt, psi, direction, sampling);
    return img;
}
Volume backproject(const Image& img, unsigned n, float rot, float tilt, float psi, int direction) {
    Volume v((size_t)n * n * n, -7.0f);
    const float c = volume_centre(n);
    gpu_3d_backproject(v.data(), img.data(), n, n, n, c, c, c, rot, tilt, psi, direction);
    return v;
}
Image sum_along_z(const Volume& v, unsigned nx, unsigned ny, unsigned nz) {
    Image s((size_t)nx * ny, 0.0f);
    for (unsigned z = 0; z < nz; ++z)
        for (size_t i = 0; i < s.size(); ++i) s[i] += v[z * s.size() + i];
    return s;
}

// ---- ray sums ----

TEST(Project, IdentityOrientationSumsAlongZ) {
    const unsigned nx = 6, ny = 5, nz = 4;
    const Volume v = seeded_volume(nx, ny, nz, 3);
    const Image want = sum_along_z(v, nx, ny, nz);
    for (int direction : {-1, 0, 1})
        for (int sampling : {0, 1}) {
            Image img(want.size());
            gpu_3d_project(img.data(), v.data(), nx, ny, nz, volume_centre(nx), volume_centre(ny), volume_centre(nz), 0,
                           0, 0, direction, sampling);
            EXPECT_EQ(img, want) << direction << " " << sampling;
        }
    float* d_v = to_device(v);
    float* d_img = device_array(want.size());
    hcuda_3d_project_z(d_img, d_v, nx, ny, nz);
    const Image mean = to_host(d_img, want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_FLOAT_EQ(mean[i], want[i] / nz);
    cudaFree(d_v), cudaFree(d_img);
}

// One bright voxel q lands on the pixel A^T (q - c) + c of the projector's map A,
// worked out here in double: A = E(-psi, -tilt, -rot) for direction 0 and
// E(rot, tilt, psi) for -1.
TEST(Project, SingleVoxelLandsOnThePixelTheMatrixPredicts) {
    const unsigned n = 24;
    const double c = 11.5;
    Volume v((size_t)n * n * n, 0.0f);
    const double q[3] = {15, 9, 13};
    v[voxel_element(15, 9, 13, n, n)] = 1.0f;
    for (int direction : {0, -1}) {
        const std::vector<double> a = direction == -1 ? euler_double(30, 50, 70) : euler_double(-70, -50, -30);
        double p[3];
        for (int i = 0; i < 3; ++i)
            p[i] = a[i] * (q[0] - c) + a[3 + i] * (q[1] - c) + a[6 + i] * (q[2] - c) + c;  // A^T (q - c) + c
        const Image img = project(v, n, 30, 50, 70, direction, 0);
        size_t best = 0;
        for (size_t i = 0; i < img.size(); ++i)
            if (img[i] > img[best]) best = i;
        EXPECT_NEAR((double)(best % n), p[0], 1.0) << direction;
        EXPECT_NEAR((double)(best / n), p[1], 1.0) << direction;
    }
}

// With nearest sampling and a constant volume, every inside sample reads the same value.
TEST(Project, NearestAndTrilinearAgreeOnAConstantVolume) {
    const unsigned n = 12;
    const Volume v((size_t)n * n * n, 2.0f);
    const Image a = project(v, n, 20, 35, 10, 0, 0), b = project(v, n, 20, 35, 10, 0, 1);
    int agree = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] == b[i]) ++agree;
    EXPECT_GT(agree, (int)a.size() / 2);
    EXPECT_EQ(a[0], 0.0f);  // the corner pixel's ray misses the turned cube entirely
}

// ---- projection and backprojection are adjoint ----

// Quarter turns map the grid onto itself, so with nearest sampling the projector
// and the backprojector of the drivers are exact adjoints: <P v, i> = <v, B i>
// for every flag. Backprojecting with the projector's own flag (what the
// drivers did with 0) breaks it at once.
TEST(Adjoint, ProjectorAndDriversBackprojectorForEveryFlag) {
    const unsigned n = 16;
    const Volume v = seeded_volume(n, n, n, 5, 1);
    const Image img = seeded_volume(n, n, 1, 9, 0);
    Image framed = img;  // a zero frame: nothing rides on edge rounding
    for (unsigned y = 0; y < n; ++y)
        for (unsigned x = 0; x < n; ++x)
            if (x == 0 || y == 0 || x == n - 1 || y == n - 1) framed[y * n + x] = 0.0f;
    const float orientations[][3] = {{90, 0, 0}, {0, 90, 0}, {90, 90, 0}, {0, 90, 90}, {180, 90, 270}, {270, 180, 90}};
    for (const auto& o : orientations)
        for (int d : {-1, 0, 1}) {
            const Image pv = project(v, n, o[0], o[1], o[2], d, 1);
            const double lhs = dot(pv, framed);
            const double rhs = dot(v, backproject(framed, n, o[0], o[1], o[2], backprojection_direction(d)));
            const double scale = std::sqrt(dot(pv, pv) * dot(framed, framed));
            EXPECT_NEAR(lhs, rhs, 1e-5 * scale) << o[0] << " " << o[1] << " " << o[2] << " flag " << d;
            if (d == 0 && o[1] == 90 && o[2] == 0) {
                const double same_flag = dot(v, backproject(framed, n, o[0], o[1], o[2], d));
                EXPECT_GT(std::fabs(lhs - same_flag), 1e-2 * scale) << "a mismatched flag must show";
            }
        }
}

// For any orientation the pair is adjoint up to the sampling of smooth fields.
TEST(Adjoint, GeneralOrientationsOnSmoothFields) {
    const unsigned n = 24;
    const Volume v =
        blob_volume(n, n, n, {{9, 12, 13, 2.5f, 1.0f}, {14, 10, 10, 3.0f, -0.7f}, {12, 15, 9, 2.0f, 0.5f}});
    const Volume img = blob_volume(n, n, 1, {{10, 13, 0, 3.0f, 1.0f}, {15, 9, 0, 2.5f, 0.8f}});
    for (int d : {-1, 0, 1})
        for (int sampling : {0, 1}) {
            const double lhs = dot(project(v, n, 30, 50, 70, d, sampling), img);
            const double rhs = dot(v, backproject(img, n, 30, 50, 70, backprojection_direction(d)));
            EXPECT_NEAR(lhs, rhs, 0.02 * std::fabs(lhs)) << d << " " << sampling;
        }
}

TEST(Backproject, OnesWithZeroAnglesAddOneToEveryVoxel) {
    const unsigned nx = 5, ny = 4, nz = 3;
    const Image ones((size_t)nx * ny, 1.0f);
    float* d_img = to_device(ones);
    float* d_v = to_device(Volume((size_t)nx * ny * nz, 2.0f));
    hcuda_3d_backproject_one(d_v, d_img, nx, ny, nz, 2.0f, 1.5f, 1.0f, 0, 0, 0, -1);
    EXPECT_EQ(to_host(d_v, (size_t)nx * ny * nz), Volume((size_t)nx * ny * nz, 3.0f));
    cudaFree(d_img), cudaFree(d_v);
}

// ---- projection drivers ----

TEST(ProjectDrivers, ManyRecordsAndAngleListsMatchSingleProjections) {
    const unsigned n = 10;
    const float c = volume_centre(n);
    const Volume v = seeded_volume(n, n, n, 21);
    const EM_Trans_Orient o[3] = {{0, 0, 10, 20, 30, {}}, {0, 0, 200, 95, -40, {}}, {0, 0, 0, 0, 0, {}}};
    Image many((size_t)3 * n * n);
    quietly([&] { return gpu_3d_project_many(many.data(), o, 3, v.data(), n, n, n, c, c, c, 1); });
    float* zv = nullptr;
    float* zstack = nullptr;
    ASSERT_EQ(cudaMallocManaged((void**)&zv, v.size() * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&zstack, many.size() * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    std::copy(v.begin(), v.end(), zv);
    const std::vector<float3> angles = {{10, 20, 30}, {200, 95, -40}, {0, 0, 0}};
    EXPECT_EQ(quietly([&] { return zgpu_3d_project_N(zstack, 3, zv, n, n, n, c, c, c, angles, 1, 0); }), 0);
    for (unsigned k = 0; k < 3; ++k) {
        const Image one = project(v, n, o[k].rot, o[k].tilt, o[k].psi, 1, 0);
        EXPECT_EQ(Image(many.begin() + k * n * n, many.begin() + (k + 1) * n * n), one) << k;
        EXPECT_EQ(Image(zstack + k * n * n, zstack + (k + 1) * n * n), one) << k;
    }
    EXPECT_EXIT((dup2(2, 1), zgpu_3d_project_N(zstack, 4, zv, n, n, n, c, c, c, angles, 1, 0)),
                ::testing::ExitedWithCode(1), "fewer euler angles than the projector requires! Exit now!");
    cudaFree(zv), cudaFree(zstack);
}

// A smooth blob well inside the volume keeps its mass in every random
// projection (to within the sampling: 2% trilinear, 5% nearest).
TEST(ProjectDrivers, RandomOrientationsProjectEveryImage) {
    const unsigned n = 20, N = 5;
    const float c = volume_centre(n);
    const Volume v = blob_volume(n, n, n, {{9.5f, 9.5f, 9.5f, 2.5f, 1.0f}});
    double mass = 0.0;
    for (float a : v) mass += a;
    Image stack((size_t)N * n * n, NAN);
    EXPECT_EQ(quietly([&] { return gpu_3d_project_randN(stack.data(), N, v.data(), n, n, n, c, c, c, 0, 0); }), 0);
    float *zv = nullptr, *zstack = nullptr;
    ASSERT_EQ(cudaMallocManaged((void**)&zv, v.size() * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&zstack, stack.size() * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    std::copy(v.begin(), v.end(), zv);
    EXPECT_EQ(quietly([&] { return zgpu_3d_project_randN(zstack, N, zv, n, n, n, c, c, c, -1, 1); }), 0);
    for (const float* s : {(const float*)stack.data(), (const float*)zstack})
        for (unsigned k = 0; k < N; ++k) {
            double total = 0.0;
            for (size_t i = 0; i < (size_t)n * n; ++i) total += s[k * n * n + i];
            EXPECT_NEAR(total, mass, (s == zstack ? 0.05 : 0.02) * mass) << k;
        }
    cudaFree(zv), cudaFree(zstack);
}

// Drivers that divide by or loop on N refuse N = 0 (the benchmark N = 1, as it
// reads the second orientation) with a warning, and touch nothing.
TEST(ProjectDrivers, TooFewOrientationsAreRefused) {
    const unsigned n = 8;
    const float c = volume_centre(n);
    const Volume v = seeded_volume(n, n, n, 2);
    float *zv = nullptr, *zstack = nullptr, *zrec = nullptr;
    ASSERT_EQ(cudaMallocManaged((void**)&zv, v.size() * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&zstack, 2 * n * n * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&zrec, v.size() * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    std::copy(v.begin(), v.end(), zv);
    for (size_t i = 0; i < v.size(); ++i) zrec[i] = 5.0f;
    Image stack(2 * n * n, 5.0f);
    Volume rec(v.size(), 5.0f);
    const EM_Trans_Orient o{};
    const std::vector<float3> none;
    testing::internal::CaptureStdout();
    EXPECT_EQ(gpu_3d_project_many(stack.data(), &o, 0, v.data(), n, n, n, c, c, c, 0), -1);
    EXPECT_EQ(gpu_3d_project_randN(stack.data(), 0, v.data(), n, n, n, c, c, c, 0, 0), -1);
    EXPECT_EQ(zgpu_3d_project_randN(zstack, 0, zv, n, n, n, c, c, c, 0, 0), -1);
    EXPECT_EQ(zgpu_3d_project_N(zstack, 0, zv, n, n, n, c, c, c, none, 0, 0), -1);
    EXPECT_EQ(gpu_3d_project_rec_randN(rec.data(), stack.data(), 0, v.data(), n, n, n, c, c, c, 0, 0), -1);
    EXPECT_EQ(zgpu_3d_project_rec_randN(zrec, zstack, 0, zv, n, n, n, c, c, c, 0, 0), -1);
    EXPECT_EQ(zgpu_3d_project_rec_randN3_debug(zrec, zstack, nullptr, zstack, zstack, 1, zv, n, n, n, c, c, c, 0, 0, 0),
              -1);
    EXPECT_EQ(zgpu_3d_rrt_test(zrec, zstack, 0, zv, n, n, n, 3), -1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("0 orientation(s) asked, at least 1 needed"), std::string::npos);
    EXPECT_NE(printed.find("1 orientation(s) asked, at least 2 needed"), std::string::npos);
    EXPECT_EQ(stack, Image(2 * n * n, 5.0f));
    EXPECT_EQ(rec, Volume(v.size(), 5.0f));
    for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(zrec[i], 5.0f);
    cudaFree(zv), cudaFree(zstack), cudaFree(zrec);
}

// ---- reconstruction ----

// Separable Gaussian smoothing (zero outside), a low-pass filter.
Volume smoothed(const Volume& v, unsigned n, double sigma) {
    const int r = (int)std::ceil(3 * sigma);
    std::vector<double> k(2 * r + 1);
    for (int i = -r; i <= r; ++i) k[i + r] = std::exp(-i * i / (2 * sigma * sigma));
    Volume a = v, b(v.size());
    for (int axis = 0; axis < 3; ++axis) {
        const size_t stride = axis == 0 ? 1 : axis == 1 ? n : (size_t)n * n;
        for (unsigned z = 0; z < n; ++z)
            for (unsigned y = 0; y < n; ++y)
                for (unsigned x = 0; x < n; ++x) {
                    const int pos = axis == 0 ? x : axis == 1 ? y : z;
                    const size_t i = voxel_element(x, y, z, n, n);
                    double s = 0.0;
                    for (int j = -r; j <= r; ++j)
                        if (pos + j >= 0 && pos + j < (int)n) s += k[j + r] * a[i + (long)j * (long)stride];
                    b[i] = (float)s;
                }
        std::swap(a, b);
    }
    return a;
}

// Weighted backprojection of 300 random projections of a 48^3 phantom,
// compared after a low-pass filter inside the sphere the orientations cover,
// for every direction flag the drivers take.
TEST(Reconstruction, WeightedBackprojectionRecoversThePhantom) {
    const unsigned n = 48, N = 300;
    const float c = volume_centre(n);
    const Volume phantom = blob_volume(n, n, n,
                                       {{23.5f, 23.5f, 23.5f, 6.0f, 1.0f},
                                        {16, 26, 22, 2.5f, 1.5f},
                                        {30, 19, 27, 3.0f, -0.8f},
                                        {25, 31, 16, 2.0f, 1.2f},
                                        {20, 17, 30, 1.5f, 2.0f}});
    const Volume low = smoothed(phantom, n, 1.5);
    for (int d : {0, -1, 1}) {
        Volume rec(phantom.size());
        Image stack((size_t)N * n * n);
        EXPECT_EQ(quietly([&] {
                      return gpu_3d_project_rec_randN(rec.data(), stack.data(), N, phantom.data(), n, n, n, c, c, c, d,
                                                      0);
                  }),
                  0);
        const Volume rec_low = smoothed(rec, n, 1.5);
        Volume a, b;
        for (unsigned z = 0; z < n; ++z)
            for (unsigned y = 0; y < n; ++y)
                for (unsigned x = 0; x < n; ++x)
                    if ((x - c) * (x - c) + (y - c) * (y - c) + (z - c) * (z - c) < 20.0f * 20.0f) {
                        a.push_back(low[voxel_element(x, y, z, n, n)]);
                        b.push_back(rec_low[voxel_element(x, y, z, n, n)]);
                    }
        const double r = correlation(a, b);
        std::printf("direction %d: correlation with the low-passed phantom %.4f\n", d, r);
        EXPECT_GT(r, 0.9) << d;
    }
}

// ---- the drivers that write into the working directory ----

// Every refill of the random volume draws on from one generator: the first and
// the last volume of a run within one second differ.
TEST(RandomVolumeReconstruction, RefillsNeverRepeatAVolume) {
    TempDir dir;
    dir.enter();
    const unsigned n = 8, N = 2;
    const Volume v = seeded_volume(n, n, n, 4);
    float *zv = nullptr, *zstack = nullptr, *zrec = nullptr;
    ASSERT_EQ(cudaMallocManaged((void**)&zv, v.size() * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&zstack, N * n * n * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&zrec, v.size() * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    std::copy(v.begin(), v.end(), zv);
    EXPECT_EQ(quietly([&] { return zgpu_3d_rrt_test(zrec, zstack, N, zv, n, n, n, 3); }), 0);
    const Volume first = read_file("rand_3d0.mrc").v, last = read_file("rand_3d.mrc").v;
    EXPECT_NE(first, last);
    for (float a : first) {
        ASSERT_GE(a, -1.0f);
        ASSERT_LE(a, 1.0f);
    }
    EXPECT_EQ(read_file("test_rec_proj_2ds.mrc").nz, (int)N);
    cudaFree(zv), cudaFree(zstack), cudaFree(zrec);
}

TEST(BenchmarkSequence, WritesItsVolumesAndTheRotationsAgree) {
    TempDir dir;
    dir.enter();
    const unsigned n = 8, N = 3;
    const float c = volume_centre(n);
    const Volume v = seeded_volume(n, n, n, 8);
    const size_t half = (size_t)(n / 2 + 1) * n;
    float *zv = nullptr, *zstack = nullptr, *zrec = nullptr, *before = nullptr, *after = nullptr;
    ASSERT_EQ(cudaMallocManaged((void**)&zv, v.size() * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&zstack, N * n * n * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&zrec, v.size() * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&before, N * half * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    ASSERT_EQ(cudaMallocManaged((void**)&after, N * half * sizeof(float), cudaMemAttachGlobal), cudaSuccess);
    std::copy(v.begin(), v.end(), zv);
    for (int use_many : {0, 1}) {
        EXPECT_EQ(quietly([&] {
                      return zgpu_3d_project_rec_randN3_debug(zrec, zstack, nullptr, before, after, N, zv, n, n, n, c,
                                                              c, c, 0, 0, use_many);
                  }),
                  0);
        const Volume gpu = read_file("hcuda_3d_rotate.mrc").v;
        EXPECT_EQ(read_file("cpu_3d_rotate_t3.mrc").v, gpu);
        EXPECT_EQ(read_file("hcuda_3d_rotate_t2.mrc").v, gpu);
        EXPECT_EQ(read_file("hcuda_3d_rotate_t3.mrc").v, gpu);
        EXPECT_EQ(read_file("hcuda_3d_project_z.mrc").nz, 1);
        EXPECT_EQ(read_file("rec_3d0.mrc").v, Volume(v.size(), 0.0f));
        for (size_t i = 0; i < v.size(); ++i) ASSERT_TRUE(std::isfinite(zrec[i]));
    }
    cudaFree(zv), cudaFree(zstack), cudaFree(zrec), cudaFree(before), cudaFree(after);
}

}  // namespace
