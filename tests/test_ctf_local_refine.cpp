// Local refinement around particles on a simulated micrograph whose CTF another
// program made: local defocus near the micrograph's, particles without areas
// inside the micrograph, boxes wholly outside it left out, no empty image file,
// the automatic grid, the range checks of the local box, and no file handle
// left open after many micrographs.
#include <gtest/gtest.h>
#include <dirent.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#define VORN_UNIT "tests/ctf_local_refine"
#include "ctf.h"
#include "estimator_fixture.h"
#include "gpu_buffers.h"

using namespace vorn_test;

namespace {

int open_fd_count() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

// A prepared run with the micrograph's spectrum made and its CTF set to the truth.
struct LocalRun {
    CommandLine cmd;
    VORN_A a;
    std::string out;
    explicit LocalRun(std::vector<std::string> words) : cmd(std::move(words)) {
        testing::internal::CaptureStdout();
        a.vorn_preparation(cmd.argc(), cmd.argv.data());
        testing::internal::GetCapturedStdout();
    }
    int refine(int k) {
        testing::internal::CaptureStdout();
        a.mic_index = k;
        a.vorn_ref_control_init();
        int status = a.vorn_prep_one_mic();
        if (status == 0) status = a.vorn_generate_ctf_d_data();
        if (status == 0) {
            a.ref_defU = 8000, a.ref_defV = 7500, a.ref_defA = 20, a.ref_ps = 0, a.ref_ccc = 0.25f;
            a.vorn_local_refine();
            a.vorn_end_one_mic();
        }
        out = testing::internal::GetCapturedStdout();
        return status;
    }
};

class LocalRefine : public ::testing::Test {
protected:
    static constexpr int n = 512;
    TempDir dir;
    void SetUp() override {
        SKIP_WITHOUT_SIM_DATA();
        write_mrc(dir.file("a.mrc"), sim_crop("sim01_df8000.mrc", n), n);
    }
    void boxes(const std::string& name, const std::string& text) {
        FILE* f = std::fopen(dir.file(name).c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    std::vector<std::string> words(std::vector<std::string> extra) {
        std::vector<std::string> w = {"--apix", "1.0", "--boxsize", "256", "--ctfstar", "none", "--do_local_refine",
                                      "--local_boxsize", "128", "--local_radius", "128", "--boxsuffix", ".box"};
        w.insert(w.end(), extra.begin(), extra.end());
        return w;
    }
};

TEST_F(LocalRefine, LocalDefocusFollowsTheMicrographAndEdgeParticlesCarryItsValues) {
    // Two particles inside, one at the edge whose areas all lie outside the
    // micrograph, and two boxes wholly outside it, which get no values at all.
    boxes("a.box", "192 192 128 128\n100000 100000 64 64\n300 250 128 128\n-100 -100 128 128\n-5000 -5000 64 64\n");
    LocalRun run(words({"--write_local_ctf", "1", dir.file("a.mrc")}));
    ASSERT_EQ(run.refine(0), 0);
    const std::string log = read_text(dir.file("a_vorn.log"));
    const std::string outside = "2 of the 5 particle boxes of " + dir.file("a.box") +
                                " lie wholly outside the micrograph (512 x 512 pixels); they are skipped.";
    EXPECT_EQ(run.out.find(outside), run.out.rfind(outside)) << run.out;
    EXPECT_NE(run.out.find(outside), std::string::npos) << run.out;
    EXPECT_NE(log.find(outside), std::string::npos);
    EXPECT_NE(run.out.find("Total particle number for local refinement: 3\n"), std::string::npos);
    EXPECT_NE(log.find("Using box file " + dir.file("a.box") + " for local refinement\n"), std::string::npos);
    // Lines: x, y, U, V, angle, CCC.
    std::vector<std::vector<double>> lines;
    for (size_t at = log.find("Local Values"); at != std::string::npos; at = log.find("Local Values", at + 1)) {
        const size_t start = log.rfind('\n', at) + 1;
        std::vector<double> v(6);
        ASSERT_EQ(std::sscanf(log.c_str() + start, "%lf%lf%lf%lf%lf%lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), 6);
        lines.push_back(v);
    }
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0][0], 256);
    EXPECT_EQ(lines[0][1], 256);
    for (int j = 0; j < 2; ++j) {
        // The mean defocus near the micrograph's; without astigmatism refinement U - V and the angle stay.
        EXPECT_NEAR((lines[j][2] + lines[j][3]) / 2, 7750, 200) << j;
        EXPECT_NEAR(lines[j][3] - lines[j][2], -500, 0.5) << j;
        EXPECT_NEAR(lines[j][4], 20, 0.01) << j;
    }
    // The edge particle's line is a line like every other.
    EXPECT_EQ(log.find("Local Values0"), std::string::npos);
    size_t plain = 0;
    for (size_t at = log.find("  Local Values\n"); at != std::string::npos; at = log.find("  Local Values\n", at + 1))
        ++plain;
    EXPECT_EQ(plain, 3u);
    EXPECT_EQ(lines[2][2], 8000);
    EXPECT_EQ(lines[2][3], 7500);
    EXPECT_NEAR(lines[2][5], 0.25, 1e-6);  // the micrograph's score, not the previous particle's
    // The STAR rows and one image per particle.
    const std::string star = read_text(dir.file("a_local.star"));
    EXPECT_NE(star.find("_rlnPhaseShift #14\n"), std::string::npos);
    EXPECT_NE(star.find(dir.file("a.mrc") + "   256.000000   256.000000   300.000000"), std::string::npos);
    MRC_HEAD* h = mrcf_get_head(dir.file("a_local.ctf").c_str());
    EXPECT_EQ(h->nx, 128);
    EXPECT_EQ(h->nz, 3);
    std::free(h);
    float* img = mrcf_get_data_all(dir.file("a_local.ctf").c_str());
    for (size_t i = 0; i < (size_t)3 * 128 * 128; ++i) ASSERT_TRUE(std::isfinite(img[i])) << i;
    // The left half of the edge particle's image is the CTF at its own values, as displayed.
    const int B = 128, nxh = B / 2 + 1;
    const VORN_Para& p = *run.a.para;
    float* d_sim = device_buffer<float>(GPU_SITE, (size_t)nxh * B);
    hcuda_ctf_pow_simulate_2dh(d_sim, 1.0f, nxh, B, 0, 300, 2.7f, 0.1f, 8000, 7500, 20, p.local_bfac, p.local_resL,
                               p.local_resH);
    std::vector<float> sim((size_t)nxh * B), flat((size_t)nxh * B, 1.0f), want((size_t)B * B);
    memcpy_D2H(sim.data(), d_sim, sim.size() * sizeof(float));
    device_release(GPU_SITE, d_sim);
    vorn_normz_for_display(sim.data(), sim.size(), std::sqrt(1.0f / p.local_resH),
                           (float)((2.0 / M_PI) * std::sqrt(p.local_resH * M_PI / 4.0)));
    cpu_2dh_ctf_sim_raw_combine(want.data(), sim.data(), flat.data(), B, B);
    const float* edge = img + (size_t)2 * B * B;
    for (int y = 0; y < B; ++y)
        for (int x = 0; x < B / 2 - 1; ++x) ASSERT_NEAR(edge[y * B + x], want[y * B + x], 1e-4) << x << "," << y;
    std::free(img);
}

TEST_F(LocalRefine, NoParticlesWritesNoImageAndNoBoxFileOnlyTheStarHeader) {
    boxes("a.box", "");
    LocalRun run(words({"--write_local_ctf", "1", dir.file("a.mrc")}));
    ASSERT_EQ(run.refine(0), 0);
    EXPECT_TRUE(exists(dir.file("a_local.star")));
    EXPECT_FALSE(exists(dir.file("a_local.ctf")));

    std::remove(dir.file("a.box").c_str());
    std::remove(dir.file("a_local.star").c_str());
    ASSERT_EQ(run.refine(0), 0);
    EXPECT_NE(run.out.find("the box file " + dir.file("a.box") + " does NOT exist! Local refinement automatically "
                                                                  "ignored!"),
              std::string::npos);
    // The local STAR file says, header only, that the micrograph has no local values.
    const std::string star = read_text(dir.file("a_local.star"));
    EXPECT_EQ(star.find("\ndata_\n\nloop_\n_rlnMicrographName #1\n"), 0u);
    EXPECT_EQ(star.substr(star.size() - 19), "_rlnPhaseShift #14\n");
    EXPECT_FALSE(exists(dir.file("a_local.ctf")));
    EXPECT_EQ(run.a.ref_is_local, 0);
}

TEST_F(LocalRefine, TheAutomaticGridIsWrittenAndRefined) {
    LocalRun run(words({"--local_boxtype", "3", "--local_autogrid_X", "1", "--local_autogrid_Y", "1",
                        dir.file("a.mrc")}));
    ASSERT_EQ(run.refine(0), 0);
    const std::string grid = read_text(dir.file("a_autogrid.star"));
    EXPECT_NE(grid.find("_rlnCoordinateX #1\n"), std::string::npos);
    EXPECT_NE(run.out.find("Using box file " + dir.file("a_autogrid.star")), std::string::npos);
    EXPECT_NE(run.out.find("Local Values\n"), std::string::npos);
}

TEST_F(LocalRefine, LocalBoxAndOverlapAreRangeChecked) {
    {
        LocalRun run(words({"--local_boxsize", "10", dir.file("a.mrc")}));
        EXPECT_EQ(run.a.para->local_boxsize, VORN_MIN_BOXSIZE);
    }
    {
        LocalRun run(words({"--local_boxsize", "24", "--local_overlap", "0.99", dir.file("a.mrc")}));
        EXPECT_GT(run.a.local_step, 0);
    }
}

TEST_F(LocalRefine, ManyMicrographsLeaveNoFileOpen) {
    boxes("a.box", "192 192 128 128\n");
    LocalRun run(words({"--write_local_ctf", "1", "--local_radius", "0", dir.file("a.mrc")}));
    ASSERT_EQ(run.refine(0), 0);
    const int before = open_fd_count();
    ASSERT_GT(before, 0);
    for (int k = 0; k < 8; ++k) ASSERT_EQ(run.refine(0), 0);
    EXPECT_EQ(open_fd_count(), before);
}

}  // namespace
