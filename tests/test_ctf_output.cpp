// The estimator's images of a fitted micrograph: the ".ctf" and ".epa"
// diagnostic images (their normalisation, the resolution ring, a stack showing
// its own spectrum, an empty display band) and the phase-flipped micrograph
// (its name, flipping twice, odd sizes, reading the file when no image is given).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#define VORN_UNIT "tests/ctf_output"
#include "ctf.h"
#include "estimator_fixture.h"
#include "gpu_buffers.h"

using namespace vorn_test;

namespace {

struct Moments {
    double mean, sd;
};
Moments moments(const float* x, size_t n) {
    double s = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) s += x[i];
    const double mean = s / (double)n;
    for (size_t i = 0; i < n; ++i) s2 += (x[i] - mean) * (x[i] - mean);
    return {mean, std::sqrt(s2 / (double)n)};
}

std::vector<float> read_mrc(const std::string& name, int& nx, int& ny) {
    MRC_HEAD* h = mrcf_get_head(name.c_str());
    nx = h->nx;
    ny = h->ny;
    float* d = mrcf_get_data_all(name.c_str());
    std::vector<float> v(d, d + (size_t)h->nx * h->ny * h->nz);
    std::free(d);
    std::free(h);
    return v;
}

// An estimator over the words, with this micrograph's spectrum made and a fitted CTF set by hand.
struct Fitted {
    CommandLine cmd;
    VORN_A a;
    explicit Fitted(std::vector<std::string> words) : cmd(std::move(words)) {
        testing::internal::CaptureStdout();
        a.vorn_init_parameters(cmd.argc(), cmd.argv.data());
        a.vorn_get_parameters(cmd.argc(), cmd.argv.data());
        a.vorn_test_set_io_info();
        a.vorn_allocate_ctf_data();
        testing::internal::GetCapturedStdout();
    }
    int spectrum_of(int k, float U, float V, float A) {
        testing::internal::CaptureStdout();
        a.mic_index = k;
        int status = a.vorn_prep_one_mic();
        if (status == 0) status = a.vorn_generate_ctf_d_data();
        testing::internal::GetCapturedStdout();
        a.ref_defU = U;
        a.ref_defV = V;
        a.ref_defA = A;
        a.res_limit = 8.0f;
        return status;
    }
};

class CtfImages : public ::testing::Test {
protected:
    static constexpr int n = 256;
    TempDir dir;
    std::vector<float> f1, f2;
    void SetUp() override {
        SKIP_WITHOUT_SIM_DATA();
        f1 = sim_crop("sim01_df8000.mrc", n);
        f2 = sim_crop("sim02_df15000.mrc", n);
        write_mrc(dir.file("a.mrc"), f1, n);
    }
};

TEST(DisplayNormalisation, GivesTheAskedMeanAndDeviationAndNeverDividesByZero) {
    std::vector<float> x = {1, 2, 3, 4, 5, 6, 7, 9};
    vorn_normz_for_display(x.data(), x.size(), 0.5f, 1.1283792f);
    const Moments m = moments(x.data(), x.size());
    EXPECT_NEAR(m.mean, 1.1283792, 1e-6);
    EXPECT_NEAR(m.sd, 0.5, 1e-6);
    // An empty band simulates zeros: the display gets the mean, not NaN.
    std::vector<float> zeros(10, 0.0f);
    vorn_normz_for_display(zeros.data(), zeros.size(), 0.5f, 0.6366f);
    for (float v : zeros) EXPECT_EQ(v, 0.6366f);
}

TEST_F(CtfImages, CtfAndEpaImagesCarryTheNormalisedHalvesAndTheRing) {
    Fitted run({"--apix", "1.0", "--boxsize", "128", "--do_EPA", "--plot_res_ring", "1", "--ctfstar", "none",
                dir.file("a.mrc")});
    ASSERT_EQ(run.spectrum_of(0, 8000, 7500, 10), 0);
    VORN_A& a = run.a;
    const VORN_Para& p = *a.para;
    run.a.vorn_write_ctfout('W');
    const size_t nh = (size_t)a.boxh_n;
    // Simulated power: deviation sqrt(apix/resH), mean (2/pi) sqrt(resH pi/(4 apix)).
    const Moments sim = moments(a.h_ctfout_sim, nh);
    EXPECT_NEAR(sim.sd, std::sqrt(p.apix / p.ctfout_resH), 1e-4);
    EXPECT_NEAR(sim.mean, (2.0 / M_PI) * std::sqrt(p.ctfout_resH * M_PI / (4.0 * p.apix)), 1e-4);
    const Moments epa = moments(a.h_ctfout_epa, nh);
    EXPECT_NEAR(epa.sd, 1.0, 1e-4);
    EXPECT_NEAR(epa.mean, 2.0 / M_PI, 1e-4);

    int nx = 0, ny = 0;
    for (const char* name : {"a.ctf", "a.epa"}) {
        SCOPED_TRACE(name);
        const std::vector<float> img = read_mrc(dir.file(name), nx, ny);
        EXPECT_EQ(nx, 128);
        EXPECT_EQ(ny, 128);
        int ring = 0;
        for (float v : img) {
            ASSERT_TRUE(std::isfinite(v));
            ring += v == 5.0f;
        }
        // A ring of radius 128 * 1.0 / 8 = 16 pixels, 1.5 pixels to each side.
        EXPECT_GT(ring, 150);
        EXPECT_EQ(img[64 * 128 + 64 + 16], 5.0f);
        EXPECT_NE(img[64 * 128 + 64 + 20], 5.0f);
    }
    // Without the ring no pixel is 5.
    a.para->plot_res_ring = 0;
    a.vorn_write_ctfout('W');
    const std::vector<float> plain = read_mrc(dir.file("a.ctf"), nx, ny);
    for (float v : plain) ASSERT_NE(v, 5.0f);
}

TEST_F(CtfImages, AnEmptyDisplayBandIsCorrectedAndNeverGivesNaN) {
    Fitted run({"--apix", "1.0", "--boxsize", "128", "--ctfout_resL", "3", "--ctfout_resH", "4", "--ctfstar", "none",
                dir.file("a.mrc")});
    EXPECT_GT(run.a.para->ctfout_resL, run.a.para->ctfout_resH);
    ASSERT_EQ(run.spectrum_of(0, 8000, 7500, 10), 0);
    // Forced past the option check, the empty band still gives a finite image.
    run.a.para->ctfout_resL = 3;
    run.a.vorn_write_ctfout('W');
    int nx = 0, ny = 0;
    for (float v : read_mrc(dir.file("a.ctf"), nx, ny)) ASSERT_TRUE(std::isfinite(v));
}

TEST_F(CtfImages, EachStackMicrographShowsItsOwnSpectrum) {
    std::vector<float> s1(f1), s2(f2);
    s1.insert(s1.end(), f2.begin(), f2.end());
    s2.insert(s2.end(), f1.begin(), f1.end());
    for (float& v : s2) v = 2.0f * v + 1.0f;
    write_mrc(dir.file("s1.mrcs"), s1, n, 2);
    write_mrc(dir.file("s2.mrcs"), s2, n, 2);
    int nx = 0, ny = 0;
    std::vector<float> after_first;
    {
        Fitted run({"--apix", "1.0", "--boxsize", "128", "--ctfstar", "none", dir.file("s1.mrcs"),
                    dir.file("s2.mrcs")});
        ASSERT_EQ(run.spectrum_of(0, 8000, 7500, 10), 0);
        run.a.vorn_write_ctfout('W');
        ASSERT_EQ(run.spectrum_of(1, 15000, 14000, 10), 0);
        run.a.vorn_write_ctfout('W');
        after_first = read_mrc(dir.file("s2.ctf"), nx, ny);
    }
    Fitted alone({"--apix", "1.0", "--boxsize", "128", "--ctfstar", "none", dir.file("s2.mrcs")});
    ASSERT_EQ(alone.spectrum_of(0, 15000, 14000, 10), 0);
    alone.a.vorn_write_ctfout('W');
    EXPECT_EQ(read_mrc(dir.file("s2.ctf"), nx, ny), after_first);
}

TEST(PhaseFlip, NamesFlipsTwiceBackAndReadsTheFileWhenGivenNoImage) {
    TempDir dir;
    const int nx = 45, ny = 38;  // odd width: the flip must still be its own inverse
    std::vector<float> img((size_t)nx * ny);
    for (size_t i = 0; i < img.size(); ++i) img[i] = (float)std::sin(0.37 * (double)i) + 0.01f * (float)(i % 7);
    const std::string stack = dir.file("m1.mrcs");
    mrcf_write_xyz_data(stack.c_str(), img.data(), nx, ny, 1);

    float* d = device_copy_of(GPU_SITE, img.data(), img.size());
    testing::internal::CaptureStdout();
    mrcf_phase_flip_write(stack.c_str(), d, nx, ny, 1.0f, 300, 2.7f, 0.1f, 0, 8000, 7000, 30);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\n" + stack + " flipping phases ...\n"), std::string::npos);
    int w = 0, h = 0;
    const std::vector<float> once = read_mrc(dir.file("m1_pf.mrc"), w, h);
    EXPECT_EQ(w, nx);
    EXPECT_EQ(h, ny);
    double diff = 0;
    for (size_t i = 0; i < img.size(); ++i) diff += std::fabs(once[i] - img[i]);
    EXPECT_GT(diff, 1.0);  // the flip did something

    // The flipped file flipped again, read from the file itself: the input back.
    const std::string flipped = dir.file("f.mrc");
    mrcf_write_xyz_data(flipped.c_str(), once.data(), nx, ny, 1);
    testing::internal::CaptureStdout();
    mrcf_phase_flip_write(flipped.c_str(), nullptr, nx, ny, 1.0f, 300, 2.7f, 0.1f, 0, 8000, 7000, 30);
    testing::internal::GetCapturedStdout();
    const std::vector<float> twice = read_mrc(dir.file("f_pf.mrc"), w, h);
    for (size_t i = 0; i < img.size(); ++i) ASSERT_NEAR(twice[i], img[i], 1e-4) << i;
    device_release(GPU_SITE, d);
}

}  // namespace
