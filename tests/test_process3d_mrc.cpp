// Volume file commands, MRCF_Proc3D, and symmetry expansion and NCS averaging
// of files through operator files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#define VORN_UNIT "tests/process3d_mrc"
#include "mrc_files_fixture.h"
#include "mrcfile.h"
#include "process3d_mrc.h"
#include "process3d_raw.h"
#include "volume_fixture.h"

namespace {

void write_file(const std::string& name, const Volume& v, int nx, int ny, int nz) {
    mrcf_write_xyz_data(name.c_str(), v.data(), nx, ny, nz);
}

// ---- slices ----

TEST(VolumeFiles, FlipYZSwapsTheAxes) {
    TempDir dir;
    const std::string in = dir.file("in.mrc"), out = dir.file("out.mrc");
    const Volume v = numbered_volume(4, 3, 2);
    write_file(in, v, 4, 3, 2);
    quietly([&] { return mrcf_flipyz(in.c_str(), out.c_str()); });
    const FileVolume f = read_file(out);
    ASSERT_EQ((std::vector<int>{f.nx, f.ny, f.nz}), (std::vector<int>{4, 2, 3}));
    for (unsigned z = 0; z < 3; ++z)
        for (unsigned y = 0; y < 2; ++y)
            for (unsigned x = 0; x < 4; ++x)
                EXPECT_EQ(f.v[voxel_element(x, y, z, 4, 2)], v[voxel_element(x, z, y, 4, 3)]);
    EXPECT_EXIT((dup2(2, 1), mrcf_flipyz(dir.file("none.mrc").c_str(), out.c_str())), ::testing::ExitedWithCode(1),
                "Cannot open file strike any key exit!");
}

TEST(VolumeFiles, UpsideDownTwiceGivesBackTheInputAndSplitWritesEverySlice) {
    TempDir dir;
    const std::string in = dir.file("in.mrc"), a = dir.file("a.mrc"), b = dir.file("b.mrc");
    const Volume v = numbered_volume(3, 2, 5);
    write_file(in, v, 3, 2, 5);
    mrcf_upsidedown(in.c_str(), a.c_str());
    const FileVolume once = read_file(a);
    EXPECT_EQ(Volume(once.v.begin(), once.v.begin() + 6), Volume(v.end() - 6, v.end()));
    mrcf_upsidedown(a.c_str(), b.c_str());
    EXPECT_EQ(read_file(b).v, v);

    const std::string prefix = dir.file("slice_");
    mrcf_split(in.c_str(), prefix.c_str());
    for (int i = 0; i < 5; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "slice_%06d.mrc", i);
        const FileVolume s = read_file(dir.file(name));
        EXPECT_EQ(s.nz, 1);
        EXPECT_EQ(s.v, Volume(v.begin() + 6 * i, v.begin() + 6 * (i + 1)));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("slice_000005.mrc")));
}

TEST(VolumeFiles, MassCenter) {
    TempDir dir;
    Volume v(5 * 4 * 3, 0.0f);
    v[voxel_element(1, 2, 0, 5, 4)] = 1.0f;
    v[voxel_element(3, 2, 2, 5, 4)] = 1.0f;
    write_file(dir.file("m.mrc"), v, 5, 4, 3);
    const float3 c = mrcf_3d_cpu_get_mass_center(dir.file("m.mrc").c_str());
    EXPECT_EQ((std::vector<float>{c.x, c.y, c.z}), (std::vector<float>{2, 2, 1}));
}

// ---- resampling ----

TEST(VolumeFiles, RotationCommandsAgree) {
    TempDir dir;
    const std::string in = dir.file("in.mrc");
    const Volume v = seeded_volume(9, 8, 7, 17);
    write_file(in, v, 9, 8, 7);
    const auto run = [&](const char* name, auto command, auto... args) {
        quietly([&] { return command(in.c_str(), dir.file(name).c_str(), args...); });
        return read_file(dir.file(name)).v;
    };
    EXPECT_EQ(run("copy.mrc", mrcf_3d_rot_trans, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0), v);
    for (int d : {-1, 0}) {
        EXPECT_EQ(run("a.mrc", mrcf_3d_rot_trans, 30.f, 40.f, 50.f, 1.f, -2.f, 0.5f, d),
                  run("b.mrc", mrcf_3d_rot_trans3, 30.f, 40.f, 50.f, 1.f, -2.f, 0.5f, d));
        EXPECT_EQ(run("c.mrc", mrcf_3d_trans_rot, 1.f, -2.f, 0.5f, 0.f, 0.f, 0.f, d),
                  run("d.mrc", mrcf_3d_rot_trans, 0.f, 0.f, 0.f, 1.f, -2.f, 0.5f, d));
    }
    // About the centre c = (4, 4, 3) of a 9 x 9 x 7 volume, with R = E(90, 0, 0):
    // shifting first moves the content at s to R (s + t - c) + c, rotating first
    // to R (s - c) + c + t.
    Volume point(9 * 9 * 7, 0.0f);
    point[voxel_element(5, 4, 3, 9, 9)] = 1.0f;
    write_file(in, point, 9, 9, 7);
    const Volume shifted_first = run("e.mrc", mrcf_3d_trans_rot, 1.f, 0.f, 0.f, 90.f, 0.f, 0.f, 0);
    const Volume turned_first = run("f.mrc", mrcf_3d_rot_trans, 90.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0);
    EXPECT_NEAR(shifted_first[voxel_element(4, 2, 3, 9, 9)], 1.0f, 1e-5f);
    EXPECT_NEAR(turned_first[voxel_element(5, 3, 3, 9, 9)], 1.0f, 1e-5f);
}

// ---- ramp, projection, backprojection ----

TEST(VolumeFiles, RampOnTheGpuAndTheCpuAgree) {
    TempDir dir;
    EXPECT_EQ(mrcf_3d_0123(dir.file("g.mrc").c_str(), 5, 4, 3, 2), 0);
    EXPECT_EQ(mrcf_3d_0123(dir.file("c.mrc").c_str(), 5, 4, 3, 0), 0);
    const FileVolume g = read_file(dir.file("g.mrc"));
    EXPECT_EQ(g.v, read_file(dir.file("c.mrc")).v);
    for (size_t i = 0; i < g.v.size(); ++i) ASSERT_EQ(g.v[i], (float)i);
    testing::internal::CaptureStdout();
    vorn_host::fail_next_allocation();
    EXPECT_EQ(mrcf_3d_0123(dir.file("f.mrc").c_str(), 5, 4, 3, 2), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "device memory allocation failed");
    EXPECT_FALSE(std::filesystem::exists(dir.file("f.mrc")));
}

TEST(VolumeFiles, ProjectAndBackproject) {
    TempDir dir;
    const std::string in = dir.file("in.mrc");
    const Volume v = seeded_volume(6, 5, 4, 23);
    write_file(in, v, 6, 5, 4);
    mrcf_3d_gpu_project(in.c_str(), dir.file("p.mrc").c_str(), 0, 0, 0, 0, 0);
    const FileVolume p = read_file(dir.file("p.mrc"));
    ASSERT_EQ(p.nz, 1);
    for (size_t i = 0; i < 30; ++i) EXPECT_NEAR(p.v[i], v[i] + v[30 + i] + v[60 + i] + v[90 + i], 1e-5f);

    // The first image of a stack, backprojected with zero angles: Nz copies.
    mrcf_3d_backproject(in.c_str(), dir.file("b.mrc").c_str(), 3, 0, 0, 0, -1);
    const FileVolume b = read_file(dir.file("b.mrc"));
    ASSERT_EQ((std::vector<int>{b.nx, b.ny, b.nz}), (std::vector<int>{6, 5, 3}));
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(Volume(b.v.begin() + 30 * k, b.v.begin() + 30 * (k + 1)), Volume(v.begin(), v.begin() + 30));

    // Refused orientation counts write nothing.
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrcf_3d_gpu_project_rec_randN(in.c_str(), dir.file("r.mrc").c_str(), dir.file("s.mrc").c_str(), 0, 0, 0),
              -1);
    EXPECT_EQ(mrcf_3d_zgpu_project_randN(in.c_str(), dir.file("z.mrc").c_str(), 0, 0, 0), -1);
    EXPECT_EQ(mrcf_3d_zgpu_project_rec_randN3_debug(in.c_str(), dir.file("d.mrc").c_str(), "", "", "", "", 1, 0, 0),
              -1);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(std::filesystem::exists("debu_graw_z3d_read_write.mrc"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("d.mrc")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("r.mrc")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("s.mrc")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("z.mrc")));

    EXPECT_EQ(quietly([&] { return mrcf_3d_gpu_project_randN(in.c_str(), dir.file("n.mrc").c_str(), 3, 0, 1); }), 0);
    EXPECT_EQ(read_file(dir.file("n.mrc")).nz, 3);
}

// ---- MRCF_Proc3D ----

TEST(Proc3D, InitDestroyAndTheReconstructionTests) {
    TempDir dir;
    dir.enter();
    const Volume v = seeded_volume(8, 8, 8, 31);
    write_file("vol.mrc", v, 8, 8, 8);

    MRCF_Proc3D idle;
    EXPECT_EQ(idle.destroy(), 0);  // before any init: nothing to free

    MRCF_Proc3D p;
    EXPECT_EQ(p.init("vol.mrc", "rec.mrc"), 0);
    EXPECT_EQ((std::vector<unsigned>{p.Nx, p.Ny, p.Nz, p.Nxh}), (std::vector<unsigned>{8, 8, 8, 5}));
    EXPECT_EQ(p.cx, 3.5f);
    EXPECT_EQ(p.NxhNyNz, 5u * 8 * 8);
    EXPECT_EQ(std::string(p.out_name), "rec.mrc");
    EXPECT_EQ(std::vector<float>(p.volume, p.volume + v.size()), v);
    EXPECT_EQ(quietly([&] { return p.rrt_test(nullptr, nullptr, 2, 3); }), 0);
    EXPECT_EQ(read_file("rec.mrc").nz, 8);
    EXPECT_EQ(read_file("vol_proj.mrc").nz, 2);
    EXPECT_EQ(quietly([&] { return p.zgpu_project_rec_randN3_debug(nullptr, nullptr, 1, 0, 0); }), -1);
    EXPECT_EQ(p.destroy(), 0);
    EXPECT_FALSE(p.own_in_name || p.own_out_name || p.own_in_head || p.own_out_head || p.own_volume || p.own_work);
    EXPECT_TRUE(p.in_name == nullptr && p.out_name == nullptr && p.in_head == nullptr && p.out_head == nullptr);
    EXPECT_EQ(p.destroy(), 0);  // again: nothing left

    testing::internal::CaptureStdout();
    MRCF_Proc3D q;
    EXPECT_EQ(q.init(nullptr, "x.mrc"), -1);
    const std::string printed = testing::internal::GetCapturedStdout();
    size_t lines = 0;
    for (size_t at = printed.find("empty pointer!  empty pointer!"); at != std::string::npos;
         at = printed.find("empty pointer!  empty pointer!", at + 1))
        ++lines;
    EXPECT_EQ(lines, 2u);
    q.destroy();

    // A name longer than the buffer is refused, never cut short or left unterminated.
    const std::string long_name(1500, 'a');
    EXPECT_EXIT((dup2(2, 1), MRCF_Proc3D().init(long_name.c_str())), ::testing::ExitedWithCode(1), "Exit now!");
}

// ---- symmetry through files ----

std::string operator_file(const TempDir& dir, const char* name, const std::string& blocks) {
    const std::string path = dir.file(name);
    std::ofstream(path) << blocks;
    return path;
}
const char* C4_OPERATORS =
    ".ncs_symmetry_operators\n1 0 0\n0 1 0\n0 0 1\n0 0 0\n"
    ".ncs_symmetry_operators\n0 -1 0\n1 0 0\n0 0 1\n0 0 0\n"
    ".ncs_symmetry_operators\n-1 0 0\n0 -1 0\n0 0 1\n0 0 0\n"
    ".ncs_symmetry_operators\n0 1 0\n-1 0 0\n0 0 1\n0 0 0\n";

TEST(SymmetryFiles, ExpansionAndAveragingOnEveryPath) {
    TempDir dir;
    const unsigned N = 16, n = 6;
    const Volume sub = seeded_volume(n, n, n, 41);
    Volume mask(sub.size(), 0.0f);
    for (unsigned z = 1; z + 1 < n; ++z)
        for (unsigned y = 1; y + 1 < n; ++y)
            for (unsigned x = 1; x + 1 < n; ++x) mask[voxel_element(x, y, z, n, n)] = 1.0f;
    write_file(dir.file("sub.mrc"), sub, n, n, n);
    write_file(dir.file("mask.mrc"), mask, n, n, n);
    const std::string ops = operator_file(dir, "c4.txt", C4_OPERATORS);
    const float c = volume_centre(N), sx = 9, sy = 1, sz = 5;
    Volume first;
    for (const auto& [mode, gid] : std::vector<std::pair<int, int>>{{0, 999}, {0, 0}, {1, 0}}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(mrcf_3d_sym_expansion(dir.file("asm.mrc").c_str(), N, N, N, c, c, c, dir.file("sub.mrc").c_str(), sx,
                                        sy, sz, dir.file("mask.mrc").c_str(), ops.c_str(), 1, mode, gid),
                  0);
        const std::string printed = testing::internal::GetCapturedStdout();
        if (gid == 0) {
            EXPECT_NE(printed.find("using GPU 0 ..."), std::string::npos);
        }
        const FileVolume a = read_file(dir.file("asm.mrc"));
        if (first.empty()) first = a.v;
        for (size_t i = 0; i < first.size(); ++i) ASSERT_NEAR(a.v[i], first[i], 1e-6f) << mode << " " << gid;
        for (int g : {999, 0}) {
            EXPECT_EQ(quietly([&] {
                          return mrcf_3d_ncs_average(dir.file("avg.mrc").c_str(), sx, sy, sz,
                                                     dir.file("asm.mrc").c_str(), dir.file("mask.mrc").c_str(),
                                                     ops.c_str(), -1, g);
                      }),
                      0);
            const FileVolume back = read_file(dir.file("avg.mrc"));
            ASSERT_EQ(back.v.size(), sub.size());
            for (size_t i = 0; i < sub.size(); ++i) ASSERT_NEAR(back.v[i], mask[i] * sub[i], 1e-6f) << g << " " << i;
        }
    }
    EXPECT_EXIT(
        (dup2(2, 1), mrcf_3d_sym_expansion(dir.file("x.mrc").c_str(), N, N, N, c, c, c, dir.file("sub.mrc").c_str(), sx,
                                           sy, sz, dir.file("mask.mrc").c_str(), ops.c_str(), 1, 2, 0)),
        ::testing::ExitedWithCode(1), "Unknown device or expansion mode.");
}

// A mask of another size, an operator file without operators or a direction
// other than 1 and -1: a warning, -1, and no file.
TEST(SymmetryFiles, BadInputsWriteNothing) {
    TempDir dir;
    write_file(dir.file("sub.mrc"), Volume(27, 1.0f), 3, 3, 3);
    write_file(dir.file("mask.mrc"), Volume(24, 1.0f), 3, 4, 2);
    write_file(dir.file("mask3.mrc"), Volume(27, 1.0f), 3, 3, 3);
    const std::string ops = operator_file(dir, "ops.txt", C4_OPERATORS);
    const std::string none = operator_file(dir, "none.txt", "nothing here\n");
    const std::string out = dir.file("out.mrc");
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrcf_3d_sym_expansion(out.c_str(), 8, 8, 8, 3.5f, 3.5f, 3.5f, dir.file("sub.mrc").c_str(), 0, 0, 0,
                                    dir.file("mask.mrc").c_str(), ops.c_str(), 1, 0, 999),
              -1);
    EXPECT_EQ(mrcf_3d_sym_expansion(out.c_str(), 8, 8, 8, 3.5f, 3.5f, 3.5f, dir.file("sub.mrc").c_str(), 0, 0, 0,
                                    dir.file("mask3.mrc").c_str(), none.c_str(), 1, 0, 999),
              -1);
    EXPECT_EQ(mrcf_3d_sym_expansion(out.c_str(), 8, 8, 8, 3.5f, 3.5f, 3.5f, dir.file("sub.mrc").c_str(), 0, 0, 0,
                                    dir.file("mask3.mrc").c_str(), ops.c_str(), 0, 0, 999),
              -1);
    EXPECT_EQ(mrcf_3d_ncs_average(out.c_str(), 0, 0, 0, dir.file("sub.mrc").c_str(), dir.file("mask3.mrc").c_str(),
                                  none.c_str(), 1, 999),
              -1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("differs in size from the subunit"), std::string::npos);
    EXPECT_NE(printed.find("no operator in"), std::string::npos);
    EXPECT_NE(printed.find("operator direction 0"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(out));
}

// ---- refusals of bad input ----

using mrc_test::expect_refused;

// The commands that read one volume file and write to out, run as command(in, out).
struct VolumeCommand {
    const char* name;
    std::function<int(const std::string&, const std::string&)> run;
};
std::vector<VolumeCommand> volume_commands(const std::string& ops, const std::string& stack_out) {
    return {
        {"flip yz", [](auto& i, auto& o) { return mrcf_flipyz(i.c_str(), o.c_str()); }},
        {"upside down", [](auto& i, auto& o) { return mrcf_upsidedown(i.c_str(), o.c_str()); }},
        {"rotate", [](auto& i, auto& o) { return mrcf_3d_rot_trans(i.c_str(), o.c_str(), 30, 0, 0, 1, 0, 0, 0); }},
        {"project", [](auto& i, auto& o) { return mrcf_3d_gpu_project(i.c_str(), o.c_str(), 0, 0, 0, 0, 0); }},
        {"managed projections", [](auto& i, auto& o) { return mrcf_3d_zgpu_project_randN(i.c_str(), o.c_str(), 2, 0, 0); }},
        {"project and reconstruct",
         [stack_out](auto& i, auto& o) { return mrcf_3d_gpu_project_rec_randN(i.c_str(), o.c_str(), stack_out.c_str(), 2, 0, 0); }},
        {"benchmark", [](auto& i, auto& o) { return mrcf_3d_zgpu_project_rec_randN3_debug(i.c_str(), o.c_str(), "", "", "", "", 2, 0, 0); }},
        {"backproject", [](auto& i, auto& o) { return mrcf_3d_backproject(i.c_str(), o.c_str(), 3, 0, 0, 0, 0); }},
        {"expand", [ops](auto& i, auto& o) {
             return mrcf_3d_sym_expansion(o.c_str(), 8, 8, 8, 3.5f, 3.5f, 3.5f, i.c_str(), 0, 0, 0, i.c_str(), ops.c_str(), 1, 0, 999);
         }},
        {"ncs average", [ops](auto& i, auto& o) { return mrcf_3d_ncs_average(o.c_str(), 0, 0, 0, i.c_str(), i.c_str(), ops.c_str(), 1, 999); }},
    };
}

// The output named as the input itself or through a link: refused before
// anything is opened; the input stays whole.
TEST(VolumeRefusals, OutputThatIsTheInput) {
    mrc_test::TempDir dir;
    const std::string in = mrc_test::write_mrc(dir, "in.mrc", seeded_volume(6, 5, 4, 3), 6, 5, 4), link = dir.file("link.mrc");
    std::filesystem::create_symlink(in, link);
    const std::string ops = dir.file("ops.txt"), stack = dir.file("stack.mrc");
    mrc_test::write_text(ops, C4_OPERATORS);
    for (const std::string& out : {in, link})
        for (const auto& c : volume_commands(ops, stack))
            expect_refused([&] { return c.run(in, out); }, "is the input file", {in}, {stack}, std::string(c.name) + " into " + out);
}

// Two outputs of one command that are one file (one name, another spelling, a
// link to a file still to be written, or a file a test sequence writes into
// the working directory): refused before anything is written, the warning
// naming both.
TEST(VolumeRefusals, TwoOutputsThatAreOneFile) {
    TempDir dir;
    dir.enter();
    const Volume v = seeded_volume(6, 6, 4, 3);
    write_file("in.mrc", v, 6, 6, 4);
    std::filesystem::create_symlink("o.mrc", "ahead.mrc");
    std::filesystem::create_symlink("part_000000.mrc", "part_000001.mrc");
    const auto held = [](const char* out, std::function<int(MRCF_Proc3D&)> run) {
        return [=] {
            MRCF_Proc3D p;
            const int r = p.init("in.mrc", out) == 0 ? run(p) : -2;
            p.destroy();
            return r;
        };
    };
    const struct {
        const char* what;
        std::string first, second;
        std::function<int()> run;
    } cases[] = {
        {"projections and reconstruction", "o.mrc", "o.mrc", [] { return mrcf_3d_gpu_project_rec_randN("in.mrc", "o.mrc", "o.mrc", 2, 0, 0); }},
        {"projections and reconstruction", "o.mrc", "./o.mrc", [] { return mrcf_3d_gpu_project_rec_randN("in.mrc", "o.mrc", "./o.mrc", 2, 0, 0); }},
        {"projections and reconstruction", "ahead.mrc", "o.mrc", [] { return mrcf_3d_gpu_project_rec_randN("in.mrc", "ahead.mrc", "o.mrc", 2, 0, 0); }},
        {"benchmark", "rec_3d0.mrc", "rec_3d0.mrc",
         [] { return mrcf_3d_zgpu_project_rec_randN3_debug("in.mrc", "rec_3d0.mrc", "", "", "", "", 2, 0, 0); }},
        {"benchmark", "./debug_raw_3d_read_write.mrc", "debug_raw_3d_read_write.mrc",
         [] { return mrcf_3d_zgpu_project_rec_randN3_debug("in.mrc", "./debug_raw_3d_read_write.mrc", "", "", "", "", 2, 0, 0); }},
        {"split", "part_000000.mrc", "part_000001.mrc", [] { return mrcf_split("in.mrc", "part_"); }},
        {"held reconstruction test", "in_proj.mrc", "in_proj.mrc", held("in_proj.mrc", [](MRCF_Proc3D& p) { return p.rrt_test(nullptr, nullptr, 2, 3); })},
        {"held reconstruction test", "rand_3d.mrc", "rand_3d.mrc", held("rand_3d.mrc", [](MRCF_Proc3D& p) { return p.rrt_test(nullptr, nullptr, 2, 3); })},
        {"held benchmark", "hcuda_3d_project_z.mrc", "hcuda_3d_project_z.mrc",
         held("hcuda_3d_project_z.mrc", [](MRCF_Proc3D& p) { return p.zgpu_project_rec_randN3_debug(nullptr, nullptr, 2, 0, 0); })},
    };
    std::vector<std::string> outputs = {"o.mrc", "part_000000.mrc", "part_000002.mrc", "in_proj.mrc", "debu_graw_z3d_read_write.mrc",
                                        "debug_raw_3d_read_write.mrc"};
    outputs.insert(outputs.end(), PROJECT_REC_RANDN3_DEBUG_FILES.begin(), PROJECT_REC_RANDN3_DEBUG_FILES.end());
    outputs.insert(outputs.end(), RRT_TEST_FILES.begin(), RRT_TEST_FILES.end());
    for (const auto& c : cases)
        expect_refused(c.run, "Output files " + c.first + " and " + c.second + " are one file! Nothing written.", {"in.mrc"},
                       outputs, std::string(c.what) + " into " + c.first + " and " + c.second);
}

// Inputs without a whole header (an empty file, one byte short, a directory)
// or of no voxel: refused with -1, no output made.
TEST(VolumeRefusals, InputsWithoutAVolume) {
    mrc_test::TempDir dir;
    const std::string ops = dir.file("ops.txt"), out = dir.file("out.mrc"), stack = dir.file("stack.mrc");
    mrc_test::write_text(ops, C4_OPERATORS);
    std::vector<std::pair<std::string, std::string>> inputs;  // file, what the refusal says
    for (const std::string& in : mrc_test::headless_inputs(dir)) inputs.push_back({in, "No MRC header in " + in});
    const std::string flat = mrc_test::header_only(dir, "flat.mrc", 4, 4, 0);
    inputs.push_back({flat, flat + " holds no image."});
    const std::string prefix = dir.file("slice_");
    for (const auto& [in, says] : inputs) {
        for (const auto& c : volume_commands(ops, stack))
            expect_refused([&] { return c.run(in, out); }, says, {in}, {out, stack}, std::string(c.name) + " of " + in);
        expect_refused([&] { return mrcf_split(in.c_str(), prefix.c_str()); }, says, {in}, {prefix + "000000.mrc"}, "split of " + in);
        expect_refused([&] { return mrcf_3d_cpu_print_mass_center(in.c_str()); }, says, {in}, {}, "mass centre of " + in);
        const float3 c = quietly([&] { return mrcf_3d_cpu_get_mass_center(in.c_str()); });
        EXPECT_TRUE(std::isnan(c.x) && std::isnan(c.y) && std::isnan(c.z)) << in;
    }
}

// Sizes and counts whose arrays could not be had, or of no voxel: refused in
// 64 bits before anything is sized by them.
TEST(VolumeRefusals, SizesAndCountsThatHoldNoArray) {
    mrc_test::TempDir dir;
    const std::string in = mrc_test::write_mrc(dir, "in.mrc", seeded_volume(6, 5, 4, 3), 6, 5, 4), out = dir.file("out.mrc");
    const std::string huge = mrc_test::header_only(dir, "huge.mrc", INT_MAX, INT_MAX, INT_MAX), ops = dir.file("ops.txt");
    mrc_test::write_text(ops, C4_OPERATORS);
    const std::string sizes = "each must be 1 to 2147483647";
    // What the refusal says, and the call.
    const std::pair<std::string, std::function<int()>> cases[] = {
        {"Sizes 2147483647 x 2147483647 x 2147483647: " + sizes,
         [&] { return mrcf_3d_rot_trans(huge.c_str(), out.c_str(), 0, 0, 0, 0, 0, 0, 0); }},
        {huge + " holds less data than its header describes.", [&] { return mrcf_flipyz(huge.c_str(), out.c_str()); }},
        {"Sizes 6 x 5 x 4294967295: " + sizes,
         [&] { return mrcf_3d_gpu_project_randN(in.c_str(), out.c_str(), UINT_MAX, 0, 0); }},
        {"Sizes 6 x 5 x 2147483648: " + sizes,
         [&] { return mrcf_3d_zgpu_project_randN(in.c_str(), out.c_str(), 1u << 31, 0, 0); }},
        {"Sizes 6 x 5 x 2147483648: " + sizes,
         [&] { return mrcf_3d_zgpu_project_rec_randN3_debug(in.c_str(), out.c_str(), "", "", "", "", 1u << 31, 0, 0); }},
        {"Sizes 6 x 5 x 0: " + sizes, [&] { return mrcf_3d_backproject(in.c_str(), out.c_str(), 0, 0, 0, 0, 0); }},
        {"Sizes 0 x 8 x 8: " + sizes,
         [&] { return mrcf_3d_sym_expansion(out.c_str(), 0, 8, 8, 0, 0, 0, in.c_str(), 0, 0, 0, in.c_str(), ops.c_str(), 1, 0, 999); }},
        {"Sizes 2147483648 x 1 x 1: " + sizes, [&] { return mrcf_3d_0123(out.c_str(), 1u << 31, 1, 1, 0); }},
    };
    for (const auto& [says, run] : cases) expect_refused(run, says, {in, huge}, {out}, says);
    for (const char* debug_copy : {"debu_graw_z3d_read_write.mrc", "debug_raw_3d_read_write.mrc"})
        EXPECT_FALSE(std::filesystem::exists(debug_copy));
    // A stack within the sizes but beyond the device: the library's fatal line.
    EXPECT_EXIT((dup2(2, 1), vorn_host::set_device_memory_budget(1 << 20),
                 mrcf_3d_zgpu_project_randN(in.c_str(), out.c_str(), 100000, 0, 0)),
                ::testing::ExitedWithCode(1), "Error");
    EXPECT_FALSE(std::filesystem::exists(out));
}

// The held volume: init refuses an input that holds none or an output that is
// it; the runs refuse when nothing is held, when the file has changed since
// init, and projections whose file name is a link to the input.
TEST(VolumeRefusals, HeldVolume) {
    mrc_test::TempDir dir;
    const Volume v = seeded_volume(6, 6, 6, 5);
    const std::string vol = mrc_test::write_mrc(dir, "vol.mrc", v, 6, 6, 6), changing = dir.file("changing.mrc");
    const std::string flat = mrc_test::header_only(dir, "flat.mrc", 4, 4, 0), short_file = dir.file("short.mrc");
    const std::string rec = dir.file("rec.mrc"), link = dir.file("link.mrc");
    mrc_test::write_text(short_file, std::string(100, 'x'));
    std::filesystem::create_symlink(vol, link);
    std::filesystem::create_symlink(vol, dir.file("vol_proj.mrc"));
    const auto shrink = [&] { mrc_test::write_mrc(dir, "changing.mrc", Volume(180, 1.0f), 6, 6, 5); };
    const auto rrt = [](MRCF_Proc3D& p) { return p.rrt_test(nullptr, nullptr, 2, 3); };
    const std::string changed = changing + " is no longer the volume of 6 x 6 x 6 read at init.";
    const struct {
        const char* name;
        std::string in, out;
        std::function<int(MRCF_Proc3D&)> run;
        std::string says;
    } cases[] = {
        {"init of a short file", short_file, rec, nullptr, "is shorter than an MRC header"},
        {"init of no voxel", flat, rec, nullptr, flat + " holds no image."},
        {"init into the input", vol, vol, nullptr, "is the input file"},
        {"init into a link to the input", vol, link, nullptr, "is the input file"},
        {"projections onto the input", vol, rec, rrt, "is the input file"},
        {"test on a changed volume", changing, rec, [&](MRCF_Proc3D& p) { return shrink(), rrt(p); }, changed},
        {"benchmark on a changed volume", changing, rec,
         [&](MRCF_Proc3D& p) { return shrink(), p.zgpu_project_rec_randN3_debug(nullptr, nullptr, 2, 0, 0); }, changed},
        {"test of nothing held", "", rec, rrt, "No input volume is held"},
    };
    for (const auto& c : cases) {
        mrc_test::write_mrc(dir, "changing.mrc", v, 6, 6, 6);
        expect_refused(
            [&] {
                MRCF_Proc3D p;
                const int held = c.in.empty() ? p.init() : p.init(c.in.c_str(), c.out.c_str());
                const int r = c.run ? c.run(p) : held;
                p.destroy();
                return r;
            },
            c.says, {vol}, {rec}, c.name);
    }
}

}  // namespace
