// Symmetry expansion and NCS averaging of volumes.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#define VORN_UNIT "tests/process3d_raw_sym"
#include "device_arrays_fixture.h"
#include "process3d_raw.h"
#include "volume_fixture.h"

namespace {

// The three host-array paths of an expansion, each from an output of zeros.
enum class Path { Gpu, GpuSlices, Cpu };
const Path paths[] = {Path::Gpu, Path::GpuSlices, Path::Cpu};

struct Frame {
    unsigned Nx, Ny, Nz;
    float cx, cy, cz;
};
struct Sub {
    const Volume& v;
    const Volume& mask;
    unsigned nx, ny, nz;
    float sx, sy, sz;
};

Volume expand(Path path, const Frame& f, const Sub& s, const std::vector<RT_Mat3D>& ops) {
    Volume out((size_t)f.Nx * f.Ny * f.Nz, 0.0f);
    testing::internal::CaptureStdout();
    switch (path) {
        case Path::Gpu:
            gpu_3d_syms_expansion(out.data(), f.Nx, f.Ny, f.Nz, f.cx, f.cy, f.cz, s.v.data(), s.nx, s.ny, s.nz, s.sx,
                                  s.sy, s.sz, s.mask.data(), ops.data(), (unsigned)ops.size());
            break;
        case Path::GpuSlices:
            gpu_3d_syms_expansion_all_slices(out.data(), f.Nx, f.Ny, f.Nz, f.cx, f.cy, f.cz, s.v.data(), s.nx, s.ny,
                                             s.nz, s.sx, s.sy, s.sz, s.mask.data(), ops.data(), (unsigned)ops.size());
            break;
        case Path::Cpu:
            cpu_3d_syms_expansion(out.data(), f.Nx, f.Ny, f.Nz, f.cx, f.cy, f.cz, s.v.data(), s.nx, s.ny, s.nz, s.sx,
                                  s.sy, s.sz, s.mask.data(), ops.data(), (unsigned)ops.size());
            break;
    }
    testing::internal::GetCapturedStdout();
    return out;
}

Volume ncs(bool gpu, unsigned Nx, unsigned Ny, unsigned Nz, float ox, float oy, float oz, const Volume& map,
           unsigned nx, unsigned ny, unsigned nz, const Volume& mask, const std::vector<RT_Mat3D>& ops) {
    Volume out((size_t)Nx * Ny * Nz, 0.0f);
    const float mx = volume_centre(nx), my = volume_centre(ny), mz = volume_centre(nz);
    testing::internal::CaptureStdout();
    if (gpu)
        gpu_3d_ncs_average(out.data(), Nx, Ny, Nz, ox, oy, oz, map.data(), nx, ny, nz, mx, my, mz, mask.data(),
                           ops.data(), (unsigned)ops.size());
    else
        cpu_3d_ncs_average(out.data(), Nx, Ny, Nz, ox, oy, oz, map.data(), nx, ny, nz, mx, my, mz, mask.data(),
                           ops.data(), (unsigned)ops.size());
    testing::internal::GetCapturedStdout();
    return out;
}

RT_Mat3D shift(float tx, float ty, float tz) {
    RT_Mat3D m;
    m.Tx = tx, m.Ty = ty, m.Tz = tz;
    return m;
}
// A quarter turn about z, k times.
RT_Mat3D c4(int k) {
    RT_Mat3D m;
    const int c[4] = {1, 0, -1, 0}, s[4] = {0, 1, 0, -1};
    m.R11 = (float)c[k], m.R12 = (float)-s[k], m.R21 = (float)s[k], m.R22 = (float)c[k];
    return m;
}

// ---- expansion ----

TEST(SymExpansion, IdentityCopiesTheSubunitIntoItsBox) {
    const unsigned n = 4;
    const Volume sub = numbered_volume(n, 3, 2), ones(sub.size(), 1.0f);
    const Frame f{9, 8, 7, 4, 3.5f, 3};
    for (Path p : paths) {
        const Volume out = expand(p, f, Sub{sub, ones, n, 3, 2, 2, 3, 1}, {RT_Mat3D{}});
        for (unsigned z = 0; z < f.Nz; ++z)
            for (unsigned y = 0; y < f.Ny; ++y)
                for (unsigned x = 0; x < f.Nx; ++x) {
                    const bool in = x >= 2 && x < 2 + n && y >= 3 && y < 6 && z >= 1 && z < 3;
                    const float want = in ? sub[voxel_element(x - 2, y - 3, z - 1, n, 3)] : 0.0f;
                    ASSERT_EQ(out[voxel_element(x, y, z, f.Nx, f.Ny)], want) << (int)p << " " << x << y << z;
                }
    }
}

// One operator over an output of 100s, on the device or the CPU.
Volume expand_over_hundreds(bool gpu, const Volume& sub, const Volume& mask, unsigned n, RT_Mat3D op,
                            std::string& printed) {
    Volume out(n, 100.0f);
    testing::internal::CaptureStdout();
    if (gpu) {
        float *d_out = to_device(out), *d_sub = to_device(sub), *d_mask = to_device(mask);
        hcuda_3d_sym_expansion(d_out, n, 1, 1, 0, 0, 0, d_sub, n, 1, 1, 0, 0, 0, d_mask, op);
        out = to_host(d_out, n);
        cudaFree(d_out), cudaFree(d_sub), cudaFree(d_mask);
    } else {
        cpu_3d_sym_expansion(out.data(), n, 1, 1, 0, 0, 0, sub.data(), n, 1, 1, 0, 0, 0, mask.data(), op);
    }
    printed = testing::internal::GetCapturedStdout();
    return out;
}

// 0.999999 rounds to the full-weight threshold; 0.9999 blends; 0, negative and
// NaN weights leave the output. The CPU twin warns about weights outside [0, 1].
TEST(SymExpansion, MaskWeights) {
    const Volume sub = {10, 20, 30, 40, 50};
    const Volume mask = {0.999999f, 0.9999f, 0.0f, -1.0f, std::nanf("")};
    for (bool gpu : {true, false}) {
        std::string printed;
        const Volume out = expand_over_hundreds(gpu, sub, mask, 5, RT_Mat3D{}, printed);
        EXPECT_EQ(out[0], 10.0f) << gpu;
        EXPECT_FLOAT_EQ(out[1], (1.0f - 0.9999f) * 100.0f + 0.9999f * 20.0f) << gpu;
        EXPECT_EQ((Volume{out[2], out[3], out[4]}), (Volume{100, 100, 100})) << gpu;
        if (!gpu) {
            EXPECT_NE(printed.find("Mask value -1.000000 not in the right range!"), std::string::npos);
        }
    }
}

// Copies are laid in operator order: where two full copies meet the later stays.
TEST(SymExpansion, LaterOperatorReplacesEarlierInTheOverlap) {
    const Volume sub = {10, 20, 30, 40}, ones(4, 1.0f);
    const Frame f{6, 1, 1, 0, 0, 0};
    for (Path p : paths) {
        EXPECT_EQ(expand(p, f, Sub{sub, ones, 4, 1, 1, 0, 0, 0}, {shift(-1, 0, 0)}), (Volume{0, 10, 20, 30, 40, 0}));
        EXPECT_EQ(expand(p, f, Sub{sub, ones, 4, 1, 1, 0, 0, 0}, {shift(1, 0, 0), RT_Mat3D{}}),
                  (Volume{10, 20, 30, 40, 0, 0}));
        EXPECT_EQ(expand(p, f, Sub{sub, ones, 4, 1, 1, 0, 0, 0}, {RT_Mat3D{}, shift(1, 0, 0)}),
                  (Volume{20, 30, 40, 40, 0, 0}));
    }
}

// A source at exactly n - 1 reads the last plane and nothing past it; a hair
// beyond is outside.
TEST(SymExpansion, LastPlaneIsInsideAndBeyondItIsNot) {
    const Volume sub = {1, 2, 3}, ones(3, 1.0f);
    const Frame f{2, 1, 1, 0, 0, 0};
    for (Path p : paths) {
        EXPECT_EQ(expand(p, f, Sub{sub, ones, 3, 1, 1, 0, 0, 0}, {shift(1, 0, 0)}), (Volume{2, 3})) << (int)p;
        EXPECT_EQ(expand(p, f, Sub{sub, ones, 3, 1, 1, 0, 0, 0}, {shift(1.0001f, 0, 0)})[1], 0.0f) << (int)p;
    }
}

TEST(SymExpansion, PathsAgreeForGeneralOperators) {
    const unsigned n = 7;
    const Volume sub = seeded_volume(n, n, n, 3), mask = blob_volume(n, n, n, {{3, 3, 3, 2.0f, 1.0f}});
    RT_Mat3D a = euler_matrix(30, 40, 50), b = euler_matrix(-100, 80, 10);
    a.Tx = 0.5f, b.Tz = -1.25f;
    const Frame f{12, 11, 10, 5.5f, 5, 4.5f};
    const Sub s{sub, mask, n, n, n, 2.5f, 2, 1.5f};
    const Volume want = expand(Path::Cpu, f, s, {a, b});
    for (Path p : {Path::Gpu, Path::GpuSlices}) {
        const Volume got = expand(p, f, s, {a, b});
        for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(got[i], want[i], 1e-5f) << (int)p << " " << i;
    }
}

// ---- NCS averaging ----

TEST(NcsAverage, IdentityOverTheWholeMapReturnsIt) {
    const unsigned nx = 6, ny = 5, nz = 4;
    const Volume map = seeded_volume(nx, ny, nz, 7), ones(map.size(), 1.0f);
    for (bool gpu : {true, false})
        EXPECT_EQ(ncs(gpu, nx, ny, nz, 0, 0, 0, map, nx, ny, nz, ones, {RT_Mat3D{}}), map) << gpu;
}

// An empty operator list adds nothing and is not divided by: zeros stay zeros.
TEST(NcsAverage, EmptyOperatorListLeavesTheOutput) {
    const Volume map(8, 1.0f), ones(8, 1.0f);
    for (bool gpu : {true, false}) EXPECT_EQ(ncs(gpu, 2, 2, 2, 0, 0, 0, map, 2, 2, 2, ones, {}), Volume(8, 0.0f));
}

// A C4 assembly built from one subunit by expansion, averaged back through the
// same operators into the subunit's box, gives the subunit inside its mask.
TEST(NcsAverage, ExpansionThenAveragingGivesBackTheSubunit) {
    const unsigned N = 24, n = 8;
    const float c = volume_centre(N);  // 11.5: quarter turns keep the grid
    const Volume sub = seeded_volume(n, n, n, 13);
    Volume mask(sub.size(), 0.0f);
    for (unsigned z = 1; z < n - 1; ++z)
        for (unsigned y = 1; y < n - 1; ++y)
            for (unsigned x = 1; x < n - 1; ++x) mask[voxel_element(x, y, z, n, n)] = 1.0f;
    const float sx = 13, sy = 2, sz = 8;  // one quadrant, clear of the axis
    const std::vector<RT_Mat3D> ops = {c4(0), c4(1), c4(2), c4(3)};
    for (Path p : paths) {
        const Volume assembly = expand(p, Frame{N, N, N, c, c, c}, Sub{sub, mask, n, n, n, sx, sy, sz}, ops);
        for (bool gpu : {true, false}) {
            const Volume back = ncs(gpu, n, n, n, sx, sy, sz, assembly, N, N, N, mask, ops);
            for (size_t i = 0; i < sub.size(); ++i)
                ASSERT_NEAR(back[i], mask[i] * sub[i], 1e-6f) << (int)p << " " << gpu << " " << i;
        }
    }
}

}  // namespace
