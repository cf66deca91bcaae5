// The estimator object: the parser and its post-parse rules, the range checks,
// the box sizes fitted to the first micrograph, the spectrum of single images
// and stacks with its ".pow" file and the reload path, the 1D defocus search
// against micrographs whose CTF another program made, the CTF STAR summary and
// the input CTF STAR file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#define VORN_UNIT "tests/ctf"
#include "ctf.h"
#include "cuda_fft.h"
#include "estimator_fixture.h"
#include "str_utils.h"

using namespace vorn_test;

namespace {

// Death-test statements print their stdout lines onto stderr so the regex sees them.
#define STDOUT_TO_STDERR() dup2(2, 1)

// An estimator whose options are parsed from the words (after the program name).
struct Parsed {
    CommandLine cmd;
    VORN_A a;
    std::string out;
    // Standard output is kept in out, unless the caller watches it itself (death tests).
    explicit Parsed(std::vector<std::string> words, bool capture = true) : cmd(std::move(words)) {
        if (capture) testing::internal::CaptureStdout();
        a.vorn_init_parameters(cmd.argc(), cmd.argv.data());
        a.vorn_get_parameters(cmd.argc(), cmd.argv.data());
        if (capture) out = testing::internal::GetCapturedStdout();
    }
    const VORN_Para& p() const { return *a.para; }
};

void parse_only(std::vector<std::string> words) { Parsed run(std::move(words), false); }

// ================= parser =================

struct ParseCase {
    const char* name;
    std::vector<std::string> words;
    std::function<void(const VORN_Para&)> check;
};

TEST(Options, ParserFollowsTheWorkedExamples) {
    const std::vector<ParseCase> cases = {
        {"defaults", {"a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_FLOAT_EQ(p.apix, 1.34f);
             EXPECT_EQ(p.boxsize, 1024);
             EXPECT_EQ(p.convsize, 1024 / 12);
             EXPECT_EQ(p.convs_out, 1024 / 7);
             EXPECT_EQ(p.phase_plate, 0);
             EXPECT_STREQ(p.ctfstar, "micrographs_all_vorn.star");
             EXPECT_STREQ(p.logsuffix, "_vorn.log");
             EXPECT_STREQ(p.input_ctfstar, "NULL");
             EXPECT_EQ(p.mic_count, 1);
             EXPECT_STREQ(p.mic_names[0], "a.mrc");
             EXPECT_EQ(p.mic_names[1], nullptr);
         }},
        {"on/off followed by 0", {"--do_EPA", "0", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_EQ(p.do_EPA, 0);
             EXPECT_EQ(p.mic_count, 1);
         }},
        {"on/off alone", {"--do_EPA", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_EQ(p.do_EPA, 1);
             ASSERT_EQ(p.mic_count, 1);
             EXPECT_STREQ(p.mic_names[0], "a.mrc");
         }},
        {"one dash in capitals", {"-DO_EPA", "1", "-APIX", "2", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_EQ(p.do_EPA, 1);
             EXPECT_FLOAT_EQ(p.apix, 2.0f);
         }},
        {"phase_shift_T alone enters phase-plate mode", {"--phase_shift_T", "2", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_EQ(p.phase_plate, 1);
             EXPECT_FLOAT_EQ(p.phase_shift_S, 3.0f);
             EXPECT_FLOAT_EQ(p.defL, 2000.0f);
             EXPECT_FLOAT_EQ(p.defH, 30000.0f);
             EXPECT_FLOAT_EQ(p.defS, 200.0f);
             EXPECT_FLOAT_EQ(p.resL, 15.0f);
             EXPECT_EQ(p.boxsize, 512);
             EXPECT_EQ(p.convsize, 25);
             EXPECT_EQ(p.convs_out, 51);
         }},
        {"phase-plate convs_out overrides the user", {"--phase_shift_L", "0", "--convs_out", "40", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_EQ(p.convs_out, 51); }},
        {"boxsize 300", {"--boxsize", "300", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_EQ(p.convsize, 25);
             EXPECT_EQ(p.convs_out, 42);
         }},
        {"ctfstar none", {"--ctfstar", "None", "a.mrc"}, [](const VORN_Para& p) { EXPECT_STREQ(p.ctfstar, "NULL"); }},
        {"ctfstar gets .star", {"--ctfstar", "out", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_STREQ(p.ctfstar, "out.star"); }},
        {"ctfstar keeps .star", {"--ctfstar", "x.star", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_STREQ(p.ctfstar, "x.star"); }},
        {"ctfout_resH at least 2 apix stays", {"--apix", "1.34", "--ctfout_resH", "3.0", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.ctfout_resH, 3.0f); }},
        {"ctfout_resH below 2 apix is derived", {"--apix", "1.34", "--ctfout_resH", "2.5", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_FLOAT_EQ(p.ctfout_resH, 2.2f * 1.34f + 0.1f);
             EXPECT_NEAR(p.ctfout_resH, 3.048f, 1e-5);
         }},
        {"tilt angles drop their fraction", {"--init_tilt_ang", "3.7", "--init_tilt_err", "-2.9", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_EQ(p.init_tilt_ang, 3);
             EXPECT_EQ(p.init_tilt_err, -2);
         }},
        {"texts and flags", {"--logsuffix", "_x.log", "--boxsize", "512", "--defS", "100", "a.mrc", "b.mrc"},
         [](const VORN_Para& p) {
             EXPECT_STREQ(p.logsuffix, "_x.log");
             EXPECT_EQ(p.boxsize_set, 1);
             EXPECT_EQ(p.defS_set, 1);
             EXPECT_EQ(p.defL_set, 0);
             EXPECT_EQ(p.cmd_count, 2);
             EXPECT_EQ(p.mic_count, 2);
         }},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed run(c.words);
        c.check(run.p());
    }
}

TEST(Options, CommandLineErrorsEndTheRunWithTheirStatus) {
    // Unknown options end with status 1: the usage, the word, the list of valid options.
    EXPECT_EXIT((STDOUT_TO_STDERR(), parse_only({"---do_EPA", "a.mrc"})), ::testing::ExitedWithCode(1),
                "Usage:(.|\n)*Failed to recognize option: ---do_EPA! Exit now. Check your input please.(.|\n)*"
                "All valid options:");
    EXPECT_EXIT((STDOUT_TO_STDERR(), parse_only({"--ctfstar", "-x", "a.mrc"})), ::testing::ExitedWithCode(1),
                "Failed to recognize option: -x! Exit now. Check your input or file names please.");
    EXPECT_EXIT((STDOUT_TO_STDERR(), parse_only({"a.mrc", "--ctfstar"})), ::testing::ExitedWithCode(1),
                "Can not get file name for ctfstar! Check input!! Exit now!");
    EXPECT_EXIT((STDOUT_TO_STDERR(), parse_only({"--apix", "1.0"})), ::testing::ExitedWithCode(1),
                "Error: No files to be processed.(.|\n)*Usage:");
}

TEST(Options, AnOptionStandingLastWithoutItsValueIsRefused) {
    for (const char* option : {"--apix", "--boxsize", "--logsuffix", "--init_tilt_ang", "--input_ctfstar"}) {
        SCOPED_TRACE(option);
        EXPECT_EXIT((STDOUT_TO_STDERR(), parse_only({"a.mrc", option})), ::testing::ExitedWithCode(1),
                    std::string("\033\\[41mError in function vorn_get_parameters\\(\\), file src/ctf on line [0-9]+: "
                                "option ") +
                        option + " needs a value");
    }
    // An on/off option may stand last.
    Parsed run({"a.mrc", "--do_EPA"});
    EXPECT_EQ(run.p().do_EPA, 1);
}

// ================= range checks =================

struct RangeCase {
    const char* name;
    std::vector<std::string> words;
    std::function<void(const VORN_Para&)> check;
    const char* message;  // printed by the check, or null
};

TEST(Options, RangeChecksCorrectOrAcceptValues) {
    const std::vector<RangeCase> cases = {
        {"resH below Nyquist", {"--apix", "1.34", "--resH", "1", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.resH, 2.68f); }, "Waring: Invalid resH 1.00! Exit now."},
        {"resH too large", {"--apix", "1.34", "--resH", "50", "--resL", "100", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.resH, 4.0f); }, "Too big for reliable CTF determination"},
        {"resL too small", {"--apix", "1.34", "--resL", "3", "a.mrc"},
         [](const VORN_Para& p) {
             // Swapped with resH 4 first, then reset.
             EXPECT_FLOAT_EQ(p.resL, 50.0f);
             EXPECT_FLOAT_EQ(p.resH, 3.0f);
         },
         "Warning: resL smaller than resH, swapping them ..."},
        {"pixel size by default", {"a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_FLOAT_EQ(p.apix, 1.34f);
             EXPECT_FLOAT_EQ(p.ctfout_resH, 2.2f * 1.34f + 0.1f);
             EXPECT_FLOAT_EQ(p.EPA_resH, 2.0f * 1.34f + 0.1f);
         },
         "Warning: no --apix given: the default pixel size 1.34 A is used."},
        {"pixel size large", {"--apix", "20", "--resH", "45", "--resL", "60", "--res_lim_L", "50", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.apix, 20.0f); }, "Warning: pixel size 20.00 too large or small!"},
        {"defocus range swapped", {"--defL", "30000", "--defH", "10000", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_FLOAT_EQ(p.defL, 10000.0f);
             EXPECT_FLOAT_EQ(p.defH, 30000.0f);
         },
         "Warning: defL larger than defH, swapping them ..."},
        {"negative defS made positive", {"--defS", "-100", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.defS, 100.0f); }, "Warning: defS smaller than 0"},
        {"zero defS", {"--defS", "0", "a.mrc"}, [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.defS, 500.0f); },
         "Warning: invalid --defS 0.00!"},
        {"zero defS in phase-plate mode", {"--defS", "0", "--phase_shift_T", "1", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.defS, 200.0f); }, "Warning: invalid --defS 0.00!"},
        {"defS larger than the range", {"--defL", "1000", "--defH", "4000", "--defS", "5000", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.defS, 1000.0f); }, "def_step is larger than (defH - defL)"},
        {"phase range wraps and swaps", {"--phase_shift_L", "-30", "--phase_shift_H", "120", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_FLOAT_EQ(p.phase_shift_L, 120.0f);
             EXPECT_FLOAT_EQ(p.phase_shift_H, 330.0f);
         },
         nullptr},
        {"zero phase step with the phase search on", {"--phase_shift_S", "0", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_EQ(p.phase_plate, 1);
             EXPECT_FLOAT_EQ(p.phase_shift_S, 3.0f);
         },
         "Warning: invalid --phase_shift_S 0.000000!"},
        {"negative phase step with the phase search on", {"--phase_shift_S", "-5", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.phase_shift_S, 3.0f); }, "Warning: invalid --phase_shift_S"},
        {"overlap clamped", {"--overlap", "0.95", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.overlap, 0.9f); }, "Waring: too large --overlap 0.95!"},
        {"local overlap of 1", {"--local_overlap", "1", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.local_overlap, 0.5f); }, "Warning: invalid --local_overlap 1.00!"},
        {"negative local overlap", {"--local_overlap", "-0.2", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.local_overlap, 0.5f); }, "Warning: invalid --local_overlap"},
        {"boxsize too small", {"--boxsize", "64", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_EQ(p.boxsize, 1024);
             // The background boxes are derived from the box the check left.
             EXPECT_EQ(p.convsize, 1024 / 12);
             EXPECT_EQ(p.convs_out, 1024 / 7);
         },
         "Waring: too small  --boxsize 64!"},
        {"boxsize 0 in phase-plate mode", {"--boxsize", "0", "--phase_shift_S", "5", "a.mrc"},
         [](const VORN_Para& p) {
             EXPECT_EQ(p.boxsize, 1024);
             EXPECT_EQ(p.convsize, 1024 / 20);
             EXPECT_EQ(p.convs_out, 1024 / 10);
         },
         "Waring: too small  --boxsize 0!"},
        {"convsize too large", {"--convsize", "600", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_EQ(p.convsize, 1024 / 12); }, "Waring: too large --convsize 600!"},
        {"phase target", {"--phase_shift_T", "3", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_EQ(p.phase_shift_T, 1); }, "Waring: invalid --phase_shift_T 3!"},
        {"frame combination", {"--mdef_ave_type", "5", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_EQ(p.mdef_ave_type, 0); }, "Warning: invalid --mdef_ave_type 5!"},
        {"astigmatism made positive", {"--astm", "-300", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.astm, 300.0f); }, nullptr},
        {"negative astigmatism too large", {"--astm", "-1e6", "a.mrc"},
         [](const VORN_Para& p) { EXPECT_FLOAT_EQ(p.astm, 1000.0f); }, "Waring: too large --astm 1000000.00!"},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed run(c.words);
        c.check(run.p());
        if (c.message) {
            EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
        }
    }
}

// An astigmatism that is not a finite number (which only a caller of the checks
// can give) fails the bound as a too large one does: no fit starts from it.
TEST(Options, AnAstigmatismThatIsNotAFiniteNumberIsSetToTheDefault) {
    for (const float astm : {NAN, -INFINITY}) {
        SCOPED_TRACE(astm);
        Parsed run({"a.mrc"});
        run.a.para->astm = astm;
        testing::internal::CaptureStdout();
        run.a.vorn_check_parameters(run.cmd.argc(), run.cmd.argv.data());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FLOAT_EQ(run.p().astm, 1000.0f);
        EXPECT_NE(out.find("Waring: too large --astm "), std::string::npos) << out;
    }
}

// Values no stage can use end the run with status 1 before any micrograph is
// touched, naming the option and the word or the allowed range. (The command
// lines of the hostile estimator inputs are run whole in test_vorn.)
TEST(Options, ValuesNoStageCanUseEndTheRun) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--apix", "a.mrc", "b.mrc"}, "option --apix takes a finite number, not 'a.mrc'"},
        {{"--defU_init", "1e39", "a.mrc"}, "option --defU_init takes a finite number, not '1e39'"},
        {{"--overlap", "nan", "a.mrc"}, "option --overlap takes a finite number, not 'nan'"},
        {{"--boxsize", "512.5", "a.mrc"}, "option --boxsize takes an integer, not '512.5'"},
        {{"--gid", "99999999999", "a.mrc"}, "option --gid takes an integer, not '99999999999'"},
        {{"--init_tilt_err", "1e10", "a.mrc"}, "option --init_tilt_err takes a finite number whose integer part"},
        {{"--do_EPA", "/data/a.mrc", "b.mrc"}, "option --do_EPA takes an on/off value \\(0 or 1\\), not '/data/a.mrc'"},
        {{"--apix", "0", "a.mrc"}, "Warning: Invalid pixel size 0.00! Exit now.(.|\n)*--apix 0 is refused: allowed"},
        {{"--kV", "5", "a.mrc"}, "Invalid high tension value kV=5.00. Exit now.(.|\n)*--kV 5 is refused"},
        {{"--cs", "-1", "a.mrc"}, "too small or large --Cs -1.00!(.|\n)*--cs -1 is refused"},
        {{"--ac", "2", "a.mrc"}, "too small or large --ac 2.00!(.|\n)*--ac 2 is refused"},
        {{"--EPA_bg_pn", "-1", "a.mrc"}, "--EPA_bg_pn -1 is refused: allowed a background polynomial order"},
        {{"--EPA_resL", "3", "--EPA_resH", "10", "a.mrc"}, "--EPA_resH 10 is refused: allowed a high EPA limit below"},
        {{"--apix", "2", "--EPA_resL", "4", "a.mrc"}, "--EPA_resH 4.1 is refused"},
        {{"--smooth_resL", "0", "a.mrc"}, "--smooth_resL 0 is refused: allowed a smoothing resolution above 0 A"},
        {{"--local_autogrid_X", "0", "a.mrc"}, "--local_autogrid_X 0 is refused: allowed a grid of 1 to 100 boxes"},
        {{"--defU_init", "-2e6", "a.mrc"}, "--defU_init -2e\\+06 is refused: allowed from -1e6 to 1e6 A"},
        {{"--phase_shift_L", "10", "--phase_shift_H", "20", "--phase_shift_S", "0.01", "a.mrc"},
         "--phase_shift_S 0.01 is refused: allowed a step that gives at most 360 trials"},
    };
    for (const auto& [words, message] : cases) {
        SCOPED_TRACE(words[1]);
        EXPECT_EXIT((STDOUT_TO_STDERR(), parse_only(words)), ::testing::ExitedWithCode(1), message);
    }
    // On the bounds the values stay.
    Parsed edges({"--EPA_oversmp", "16", "--defA_seeds", "360", "--phase_shift_S", "0.5", "--ncc_frac_max", "1",
                  "--defS", "0.85", "a.mrc"});
    EXPECT_EQ(edges.p().EPA_oversmp, 16);
    EXPECT_EQ(edges.p().defA_seeds, 360);
    EXPECT_FLOAT_EQ(edges.p().phase_shift_S, 0.5f);
    EXPECT_FLOAT_EQ(edges.p().ncc_frac_max, 1.0f);
    EXPECT_FLOAT_EQ(edges.p().defS, 0.85f);
}

// ================= box sizes and the sizes of a run =================

struct SizedRun {
    Parsed parsed;
    SizedRun(std::vector<std::string> words, int nx, int ny) : parsed(std::move(words)) {
        VORN_A& a = parsed.a;
        a.head_first = mrc_new_head();
        mrc_set_head_xyz(a.head_first, nx, ny, 1);
        strlcpy(a.para->first_mic, "first.mrc");
        a.vorn_set_sizes();
    }
};

TEST(Sizes, BoxesAreFittedToTheFirstMicrograph) {
    {
        SizedRun run({"a.mrc"}, 4096, 4096);
        EXPECT_EQ(run.parsed.p().tile_step, 512);
        EXPECT_EQ(run.parsed.a.tiles_x, 7);
        EXPECT_EQ(run.parsed.a.n_tiles, 49);
        EXPECT_EQ(run.parsed.a.n_def, 170);
        EXPECT_EQ(run.parsed.a.box_nxh, 513);
    }
    {
        SizedRun run({"--overlap", "0.9", "a.mrc"}, 4096, 4096);
        EXPECT_EQ(run.parsed.p().tile_step, 102);
        EXPECT_EQ(run.parsed.a.tiles_x, 31);
        EXPECT_EQ(run.parsed.a.tiles_y, 31);
    }
    {
        SizedRun run({"a.mrc"}, 500, 700);
        EXPECT_EQ(run.parsed.p().boxsize, 500);
        EXPECT_EQ(run.parsed.p().convsize, 41);
        EXPECT_EQ(run.parsed.p().local_boxsize, 500);
        EXPECT_FLOAT_EQ(run.parsed.p().local_radius, 500.0f);
    }
    {
        // Odd fitted sizes are taken down to even.
        SizedRun run({"a.mrc"}, 301, 700);
        EXPECT_EQ(run.parsed.p().boxsize, 300);
        EXPECT_EQ(run.parsed.p().convsize, 25);
        EXPECT_EQ(run.parsed.p().local_boxsize, 300);
        EXPECT_EQ(run.parsed.a.box_nxh, 151);
    }
}

TEST(Sizes, AMicrographTooSmallForOneBoxIsRefused) {
    EXPECT_EXIT((STDOUT_TO_STDERR(), SizedRun({"a.mrc"}, 20, 400)), ::testing::ExitedWithCode(1),
                "micrograph first.mrc of 20 x 400 pixels is too small: the power spectrum needs a box of at least 24");
    SizedRun smallest({"a.mrc"}, 25, 400);
    EXPECT_EQ(smallest.parsed.p().boxsize, 24);
    EXPECT_EQ(smallest.parsed.p().convsize, 2);
}

// ================= spectrum =================

// An estimator prepared up to the spectrum of micrograph index k of its list.
struct Prepared {
    Parsed parsed;
    explicit Prepared(std::vector<std::string> words) : parsed(std::move(words)) {
        testing::internal::CaptureStdout();
        parsed.a.vorn_test_set_io_info();
        parsed.a.vorn_allocate_ctf_data();
        testing::internal::GetCapturedStdout();
    }
    int spectrum_of(int k) {
        VORN_A& a = parsed.a;
        testing::internal::CaptureStdout();
        a.mic_index = k;
        int status = a.vorn_prep_one_mic();
        if (status == 0) status = a.vorn_generate_ctf_d_data();
        testing::internal::GetCapturedStdout();
        return status;
    }
    VORN_A& a() { return parsed.a; }
};

std::vector<float> from_device(const float* d, size_t n) {
    std::vector<float> h(n);
    EXPECT_EQ(memcpy_D2H(h.data(), d, n * sizeof(float)), cudaSuccess);
    return h;
}

// The grid amplitude sum of one host image, computed on its own.
std::vector<float> grid_amplitudes(const std::vector<float>& image, int n, int box, int step) {
    float *d_image = nullptr, *d_amp = nullptr;
    const size_t nh = (size_t)(box / 2 + 1) * box;
    safe_cudaMalloc((void**)&d_image, image.size() * sizeof(float));
    safe_cudaMalloc((void**)&d_amp, nh * sizeof(float));
    memcpy_H2D(d_image, image.data(), image.size() * sizeof(float));
    hcuda_2d_gridfft_r2c_amp_ave(d_image, d_amp, n, n, box, box, step);
    std::vector<float> amp = from_device(d_amp, nh);
    cudaFree_many_pointers(d_image, d_amp, nullptr);
    return amp;
}

class Spectrum : public ::testing::Test {
protected:
    static constexpr int n = 256, box = 128, step = 64;
    TempDir dir;
    std::vector<float> f1, f2, f3, f4;
    void SetUp() override {
        SKIP_WITHOUT_SIM_DATA();
        f1 = sim_crop("sim01_df8000.mrc", n);
        f2 = sim_crop("sim02_df15000.mrc", n);
        f3 = sim_crop("sim03_df25000.mrc", n);
        f4 = sim_crop("sim04_df35000.mrc", n);
    }
    std::string stack(const char* name, const std::vector<float>& a, const std::vector<float>& b) {
        std::vector<float> s(a);
        s.insert(s.end(), b.begin(), b.end());
        write_mrc(dir.file(name), s, n, 2);
        return dir.file(name);
    }
    static std::vector<float> sum(const std::vector<float>& a, const std::vector<float>& b) {
        std::vector<float> s(a.size());
        for (size_t i = 0; i < a.size(); ++i) s[i] = a[i] + b[i];
        return s;
    }
};

TEST_F(Spectrum, PowFileHoldsTheLogAmplitudeWithItsCentreReplaced) {
    write_mrc(dir.file("a.mrc"), f1, n);
    Prepared run({"--boxsize", "128", "--ctfstar", "none", dir.file("a.mrc")});
    ASSERT_EQ(run.spectrum_of(0), 0);
    VORN_A& a = run.a();
    MRC_HEAD* h = mrcf_get_head(dir.file("a.pow").c_str());
    EXPECT_EQ(h->nx, box);
    EXPECT_EQ(h->ny, box);
    EXPECT_EQ(h->nz, 1);
    EXPECT_EQ(h->mode, 2);
    EXPECT_EQ(h->creatid, 9986);
    std::free(h);
    float* pow = mrcf_get_data_all(dir.file("a.pow").c_str());
    // Independent truth: ln of the grid amplitude sum, mirrored into the full layout.
    const std::vector<float> amp = grid_amplitudes(f1, n, box, step);
    const int nxh = box / 2 + 1;
    for (int y : {3, 40, 64, 100}) {
        for (int x = 0; x < box; ++x) {
            if (y == box / 2 && x == box / 2 - 1) continue;
            const int kx = x - (box / 2 - 1);
            const int hy = kx >= 0 ? y : (box - y) % box, hx = kx >= 0 ? kx : -kx;
            EXPECT_NEAR(pow[y * box + x], std::log(amp[(size_t)hy * nxh + hx]), 1e-4) << x << "," << y;
        }
    }
    const int c = (box / 2) * box + box / 2 - 1;
    EXPECT_FLOAT_EQ(pow[c], (pow[c - box] + pow[c + box] + pow[c - 1] + pow[c + 1]) / 4.0f);
    std::free(pow);
    // The host spectrum has its zero frequency cleared.
    EXPECT_EQ(a.h_spec[(box / 2) * nxh], 0.0f);
}

TEST_F(Spectrum, StacksGiveEachMicrographItsOwnArraysAndTheFrameSumOnTheDevice) {
    const std::string s1 = stack("s1.mrcs", f1, f2), s2 = stack("s2.mrcs", f3, f4);
    for (int type : {0, 1, 2}) {
        SCOPED_TRACE(type);
        const std::string t = std::to_string(type);
        Prepared run({"--boxsize", "128", "--mdef_ave_type", t, "--ctfstar", "none", s1, s2});
        VORN_A& a = run.a();
        ASSERT_EQ(run.spectrum_of(0), 0);
        ASSERT_EQ(run.spectrum_of(1), 0);
        // The device micrograph holds the sum of this micrograph's frames.
        EXPECT_EQ(from_device(a.d_mic, (size_t)n * n), sum(f3, f4));
        // Type 0: the spectrum of the frame sum; 1 and 2: the sum of the frames' spectra.
        std::vector<float> expected = grid_amplitudes(sum(f3, f4), n, box, step);
        if (type != 0) expected = sum(grid_amplitudes(f3, n, box, step), grid_amplitudes(f4, n, box, step));
        const std::vector<float> amp = from_device(a.d_amp, expected.size());
        const std::vector<float> logamp = from_device(a.d_logamp, expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            ASSERT_NEAR(amp[i], expected[i], 1e-5f * expected[i]) << i;
            ASSERT_NEAR(logamp[i], std::log(expected[i]), 1e-5f) << i;
        }
        // The second spectrum and the ".pow" come from this micrograph too: as a
        // fresh run on it alone makes them.
        a.vorn_second_spectrum();
        Prepared alone({"--boxsize", "128", "--mdef_ave_type", t, "--ctfstar", "none", s2});
        const std::vector<float> pow2 = std::vector<float>(a.h_logamp_full, a.h_logamp_full + box * box);
        ASSERT_EQ(alone.spectrum_of(0), 0);
        alone.a().vorn_second_spectrum();
        EXPECT_EQ(pow2, std::vector<float>(alone.a().h_logamp_full, alone.a().h_logamp_full + box * box));
        EXPECT_EQ(from_device(a.d_spec2, expected.size()), from_device(alone.a().d_spec2, expected.size()));
        EXPECT_EQ(from_device(a.d_spec, expected.size()), from_device(alone.a().d_spec, expected.size()));
    }
}

TEST_F(Spectrum, ReloadRebuildsTheSpectrumAndStillUploadsTheMicrograph) {
    write_mrc(dir.file("a.mrc"), f1, n);
    std::vector<float> spectrum;
    {
        Prepared first({"--boxsize", "128", "--ctfstar", "none", dir.file("a.mrc")});
        ASSERT_EQ(first.spectrum_of(0), 0);
        spectrum = from_device(first.a().d_spec, (size_t)(box / 2 + 1) * box);
    }
    std::fclose(std::fopen(dir.file("a.ctf").c_str(), "w"));  // an earlier run's diagnostic image
    Prepared reload({"--boxsize", "128", "--reload_ctf_files", "--ctfstar", "none", dir.file("a.mrc")});
    VORN_A& a = reload.a();
    ASSERT_EQ(reload.spectrum_of(0), 0);
    EXPECT_EQ(from_device(a.d_mic, (size_t)n * n), f1);
    // The reloaded spectrum is the ".pow" less its box average: close to the first
    // one away from the zero frequency, which the ".pow" replaced.
    const std::vector<float> again = from_device(a.d_spec, spectrum.size());
    double diff = 0, norm = 0;
    for (size_t i = 0; i < spectrum.size(); ++i) {
        diff += std::fabs(again[i] - spectrum[i]);
        norm += std::fabs(spectrum[i]);
    }
    EXPECT_LT(diff, 0.05 * norm);
}

// The EPA and the B-factor read the log amplitude: a reloaded micrograph's is
// its ".pow", whether it comes first in the run or after a micrograph a
// thousand times brighter, equal to the fresh run's but at the zero frequency.
TEST_F(Spectrum, ReloadTakesTheLogAmplitudeFromThePow) {
    write_mrc(dir.file("a.mrc"), f1, n);
    std::vector<float> big(f2);
    for (float& v : big) v *= 1000.0f;
    write_mrc(dir.file("big.mrc"), big, n);
    const int nxh = box / 2 + 1;
    std::vector<float> fresh;
    {
        Prepared first({"--boxsize", "128", "--ctfstar", "none", dir.file("a.mrc")});
        ASSERT_EQ(first.spectrum_of(0), 0);
        fresh = from_device(first.a().d_logamp, (size_t)nxh * box);
    }
    std::fclose(std::fopen(dir.file("a.ctf").c_str(), "w"));  // an earlier run's diagnostic image
    for (bool after_big : {false, true}) {
        SCOPED_TRACE(after_big ? "after a brighter micrograph" : "first of the run");
        std::vector<std::string> words = {"--boxsize", "128", "--reload_ctf_files", "--ctfstar", "none"};
        if (after_big) words.push_back(dir.file("big.mrc"));
        words.push_back(dir.file("a.mrc"));
        Prepared reload(words);
        for (int k = 0; k < (int)words.size() - 5; ++k) ASSERT_EQ(reload.spectrum_of(k), 0);
        ASSERT_EQ(reload.a().spec_reloaded, 1);
        std::vector<float> again = from_device(reload.a().d_logamp, fresh.size());
        const size_t zero = (size_t)(box / 2) * nxh;  // replaced in the ".pow" by its neighbours' mean
        again[zero] = fresh[zero];
        EXPECT_EQ(again, fresh);
    }
}

// ================= 1D search =================

TEST(Search1D, FindsTheMeanDefocusOfSimulatedMicrographsWithinTwoSteps) {
    SKIP_WITHOUT_SIM_DATA();
    TempDir dir;
    for (const SimTruth& t : sim_micrographs()) {
        SCOPED_TRACE(t.file);
        const std::string link = dir.file(t.file);
        ASSERT_EQ(symlink(sim_path(t.file).c_str(), link.c_str()), 0);
        std::vector<std::string> words = {"--apix", t.apix, "--kV", t.kv, "--cs", t.cs, "--ac", t.ac,
                                          "--boxsize", "512", "--ctfstar", "none", link};
        if (t.phase_shift != 0) words.insert(words.begin(), {"--phase_shift_S", "10"});
        Prepared run(words);
        ASSERT_EQ(run.spectrum_of(0), 0);
        VORN_A& a = run.a();
        a.vorn_first_defocus();
        const float mean = 0.5f * (t.def_u + t.def_v);
        EXPECT_LE(std::fabs(a.def_1d - mean), 2.0f * a.para->defS) << "found " << a.def_1d << ", truth " << mean;
        if (t.phase_shift != 0) {
            EXPECT_NEAR(a.ref_ps, t.phase_shift, 20.0f);
        } else {
            // The highest peak of the score curve is the search's answer.
            float peaks[3] = {0, 0, 0};
            testing::internal::CaptureStdout();
            const int found = vorn_1D_search_t2_more_peaks(a.h_spec, peaks, 3, a.para, 0.0f);
            testing::internal::GetCapturedStdout();
            EXPECT_GE(found, 1);
            EXPECT_FLOAT_EQ(peaks[0], a.def_1d);
        }
    }
}

TEST(Search1D, TiesGoToTheLowerDefocusAndTheTableGoesToTheLog) {
    TempDir dir;
    // A flat spectrum of zeros scores 0 at every defocus.
    std::vector<float> image(256 * 256, 1.0f);
    write_mrc(dir.file("flat.mrc"), image, 256);
    Prepared run({"--boxsize", "128", "--defL", "5000", "--defH", "6000", "--defS", "250", "--ctfstar", "none",
                  dir.file("flat.mrc")});
    VORN_A& a = run.a();
    for (int i = 0; i < a.boxh_n; ++i) a.h_spec[i] = 0.0f;
    a.log_file = std::fopen(dir.file("search.log").c_str(), "w+");
    a.vorn_1D_search_t2(0.0f);
    std::fclose(a.log_file);
    a.log_file = nullptr;
    EXPECT_FLOAT_EQ(a.def_1d, 5000.0f);
    EXPECT_EQ(read_text(dir.file("search.log")),
              "       0   5000.000   0.000000\n       1   5250.000   0.000000\n"
              "       2   5500.000   0.000000\n       3   5750.000   0.000000\n");
}

// ================= CTF STAR files =================

// The summary opened, with the first micrograph of the list in work and its ".ctf" name.
void open_summary_of_first(VORN_A& a, char* ctf) {
    a.vorn_open_sumlog();
    a.mic_name = a.para->mic_names[0];
    a.ctf_name = ctf;
}

TEST(CtfStar, SummaryRowsReachTheFileAsTheyAreWritten) {
    TempDir dir;
    for (bool phase_plate : {false, true}) {
        SCOPED_TRACE(phase_plate);
        const std::string summary = dir.file(phase_plate ? "pp.star" : "plain.star");
        std::vector<std::string> words = {"--apix", "1.34", "--dstep", "14", "--ctfstar", summary, "m1.mrc"};
        if (phase_plate) words.insert(words.begin(), {"--phase_shift_S", "5"});
        Parsed run(words);
        VORN_A& a = run.a;
        char ctf[VORN_NAME_LEN] = "m1.ctf";
        open_summary_of_first(a, ctf);
        a.ref_defU = 15000.5f;
        a.ref_defV = 14000.25f;
        a.ref_defA = 30;
        a.ref_ps = 90;
        a.ref_ccc = 0.125f;
        a.res_limit = 4.5f;
        a.vorn_write_star_oneline();
        // Read while the summary is still open.
        const std::string text = read_text(summary);
        a.ctf_name = nullptr;
        a.vorn_close_sumlog();
        std::string head = "\ndata_\n\nloop_\n_rlnMicrographName #1\n_rlnCtfImage #2\n_rlnDefocusU #3\n"
                           "_rlnDefocusV #4\n_rlnDefocusAngle #5\n_rlnVoltage #6\n_rlnSphericalAberration #7\n"
                           "_rlnAmplitudeContrast #8\n_rlnMagnification #9\n_rlnDetectorPixelSize #10\n"
                           "_rlnCtfFigureOfMerit #11\n";
        head += phase_plate ? "_rlnCtfMaxResolution #12\n_rlnPhaseShift #13\n" : "_rlnFinalResolution #12\n";
        std::string row = "m1.mrc m1.ctf:mrc 15000.500000 14000.250000    30.000000   300.000000     2.700000     "
                          "0.100000 104477.609375    14.000000     0.125000     4.500000";
        row += phase_plate ? "    90.000000\n" : "\n";
        EXPECT_EQ(text, head + row);
    }
}

TEST(CtfStar, ARowThatDoesNotReachTheSummaryIsAFailure) {
    TempDir dir;
    Parsed run({"--apix", "1.0", "--ctfstar", dir.file("sum"), "m1.mrc"});
    VORN_A& a = run.a;
    char ctf[VORN_NAME_LEN] = "m1.ctf";
    testing::internal::CaptureStdout();
    open_summary_of_first(a, ctf);
    std::fclose(a.star_file);
    a.star_file = std::fopen("/dev/full", "w");  // every write fails: no space left
    ASSERT_NE(a.star_file, nullptr);
    EXPECT_EQ(a.vorn_write_star_oneline(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("the row of micrograph m1.mrc could not be written to the summary"), std::string::npos) << out;
    EXPECT_EQ(a.star_rows_kept.count(mrcf_file_id("m1.mrc")), 0u);
    a.ctf_name = nullptr;
}

TEST(CtfStar, NamesThatCannotStandAsOneWordOfARowAreTold) {
    const std::pair<const char*, const char*> cases[] = {
        {"a.mrc", nullptr},
        {"/data/set_1/mic-007.mrcs", nullptr},
        {"./data_x.mrc", nullptr},
        {"x_loop_.mrc", nullptr},
        {"", "it is empty"},
        {"f with spaces.mrc", "it holds a blank or a tab"},
        {"f\twith.mrc", "it holds a blank or a tab"},
        {"a\nb.mrc", "it holds a control character"},
        {"a\rb.mrc", "it holds a control character"},
        {"_rlnDefocusU.mrc", "it begins with a character STAR reads as a mark"},
        {"#a.mrc", "it begins with a character STAR reads as a mark"},
        {"'a.mrc", "it begins with a character STAR reads as a mark"},
        {"\"a.mrc", "it begins with a character STAR reads as a mark"},
        {";a.mrc", "it begins with a character STAR reads as a mark"},
        {"data_a.mrc", "it begins with a STAR keyword"},
        {"loop_a.mrc", "it begins with a STAR keyword"},
        {"save_a.mrc", "it begins with a STAR keyword"},
    };
    for (const auto& [name, fault] : cases) {
        const char* got = ctf_star_word_fault(name);
        EXPECT_STREQ(got, fault) << name;
    }
}

TEST(CtfStar, InputFileAddsItsNamedRowsWithTheirCtf) {
    TempDir dir;
    const std::string in = dir.file("in.star");
    std::FILE* f = std::fopen(in.c_str(), "w");
    std::fprintf(f, "\ndata_\n\nloop_\n_rlnMicrographName #1\n_rlnDefocusU #2\n_rlnDefocusV #3\n_rlnDefocusAngle #4\n"
                    "_rlnPhaseShift #5\n"
                    "m1.mrc 10000 9000 30 45\n\nm2.mrc 0 0 10 0\nbroken.mrc 1 2\nm3.mrc 12000 11000 5 0\n");
    std::fclose(f);
    Parsed run({"a.mrc", "--input_ctfstar", in, "--refine_input_ctf"});
    const VORN_Para& p = run.p();
    ASSERT_EQ(p.mic_count, 4);
    EXPECT_EQ(p.star_count, 3);
    EXPECT_EQ(p.cmd_count, 1);
    EXPECT_STREQ(p.mic_names[1], "m1.mrc");
    EXPECT_STREQ(p.mic_names[2], "m2.mrc");
    EXPECT_STREQ(p.mic_names[3], "m3.mrc");
    EXPECT_EQ(p.mic_names[4], nullptr);
    EXPECT_EQ(p.ctf_init[0].valid, 0);
    EXPECT_EQ(p.ctf_init[1].valid, 1);
    EXPECT_FLOAT_EQ(p.ctf_init[1].ctf.U, 10000.0f);
    EXPECT_FLOAT_EQ(p.ctf_init[1].ctf.V, 9000.0f);
    EXPECT_FLOAT_EQ(p.ctf_init[1].ctf.A, 30.0f);
    EXPECT_FLOAT_EQ(p.ctf_init[1].ctf.P, 45.0f);
    EXPECT_FLOAT_EQ(p.ctf_init[1].ctf.kV, 300.0f);  // no voltage column
    EXPECT_FLOAT_EQ(p.ctf_init[1].ctf.B, 150.0f);
    EXPECT_EQ(p.ctf_init[2].valid, 0);
    EXPECT_FLOAT_EQ(p.ctf_init[3].ctf.U, 12000.0f);
    EXPECT_EQ(p.input_phase, 1);
    // Phase shifts in the input keep phase mode on, with the phase-plate step as their error range.
    EXPECT_EQ(p.phase_plate, 1);
    EXPECT_FLOAT_EQ(p.phase_shift_S, 3.0f);
}

}  // namespace

// ================= EPA, resolution limit and B-factor =================

namespace epa {

constexpr int box = 512, nxh = box / 2 + 1;
const CTF_INFO truth = {300.0f, 2.7f, 0.1f, 0.0f, 15000.0f, 13000.0f, 30.0f, 0.0f};

// |CTF| of the truth on a centred half spectrum; finer than noise_from (A) the
// spectrum is uniform noise in [0, 1), so the CTF can be followed down to there.
std::vector<float> ctf_then_noise(float noise_from) {
    std::vector<float> spec((size_t)nxh * box);
    cpu_ctf_sim_2dh(spec.data(), nxh, box, 1.0f, truth, RESO{10000.0f, 0.1f}, 'A');
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> noise(0.0f, 1.0f);
    for (int y = 0; y < box; ++y)
        for (int x = 0; x < nxh; ++x) {
            const float fx = x / (2.0f * (nxh - 1)), fy = (y - 0.5f * box) / box;
            if (std::sqrt(fx * fx + fy * fy) > 1.0f / noise_from) spec[(size_t)y * nxh + x] = noise(rng);
        }
    return spec;
}

// ln(|CTF| exp(-B s^2 / 4) + 1e-3): at the CTF peaks the log amplitude falls by B s^2 / 4.
std::vector<float> log_amplitude(float B) {
    CTF_INFO c = truth;
    c.B = B;
    std::vector<float> spec((size_t)nxh * box);
    cpu_ctf_sim_2dh(spec.data(), nxh, box, 1.0f, c, RESO{10000.0f, 0.1f}, 'A');
    for (float& v : spec) v = std::log(v + 1e-3f);
    return spec;
}

// An estimator sized for 256 x 256 micrographs of 1 A pixels whose spectra the test supplies.
struct Stage {
    TempDir dir;
    std::string mic = dir.file("m.mrc");
    Parsed parsed;
    std::string out;
    explicit Stage(std::vector<std::string> words = {})
        : parsed(with_defaults(std::move(words), dir.file("m.mrc"))) {
        VORN_A& a = parsed.a;
        a.head_first = mrc_new_head();
        a.head_first->nx = a.head_first->ny = box;
        a.head_first->nz = 1;
        testing::internal::CaptureStdout();
        a.vorn_allocate_ctf_data();
        testing::internal::GetCapturedStdout();
        a.mic_name = &mic[0];
        a.log_file = std::fopen(dir.file("m_vorn.log").c_str(), "w+");
        a.ref_defU = truth.U;
        a.ref_defV = truth.V;
        a.ref_defA = truth.A;
    }
    static std::vector<std::string> with_defaults(std::vector<std::string> words, const std::string& mic) {
        words.insert(words.begin(), {"--apix", "1.0", "--boxsize", std::to_string(box), "--ctfstar", "none"});
        words.push_back(mic);
        return words;
    }
    void set_spectra(const std::vector<float>& spec, const std::vector<float>& logamp) {
        ASSERT_EQ(memcpy_H2D(parsed.a.d_spec, spec.data(), spec.size() * sizeof(float)), cudaSuccess);
        ASSERT_EQ(memcpy_H2D(parsed.a.d_logamp, logamp.data(), logamp.size() * sizeof(float)), cudaSuccess);
    }
    // Runs the stage; returns the micrograph's log.
    std::string run() {
        VORN_A& a = parsed.a;
        testing::internal::CaptureStdout();
        a.vorn_epa_1d_ccf_B_estimation();
        out = testing::internal::GetCapturedStdout();
        std::fflush(a.log_file);
        return read_text(dir.file("m_vorn.log"));
    }
    std::string table() const { return read_text(dir.file("m_EPA.log")); }
};

const char* const table_head = "  Resolution      |CTFsim|    EPA( Ln|F| )        Bg         EPA(Ln|F| - Bg)    CCC\n";

// Every row of the table is six numbers in the table's own format; returns the rows.
std::vector<std::vector<double>> table_rows(const std::string& text) {
    std::vector<std::vector<double>> rows;
    EXPECT_EQ(text.compare(0, std::strlen(table_head), table_head), 0);
    std::istringstream in(text.substr(std::strlen(table_head)));
    std::string line;
    while (std::getline(in, line)) {
        double v[6];
        EXPECT_EQ(std::sscanf(line.c_str(), "%lf %lf %lf %lf %lf %lf", v, v + 1, v + 2, v + 3, v + 4, v + 5), 6)
            << line;
        char again[256];
        std::snprintf(again, sizeof again, "%12.6f  %12.6f  %12.6f   %12.6f   %12.6f   %12.6f ", v[0], v[1], v[2],
                      v[3], v[4], v[5]);
        EXPECT_EQ(line, again);
        rows.push_back(std::vector<double>(v, v + 6));
    }
    return rows;
}

}  // namespace epa

TEST(Epa, FirstZeroFollowsTheAnalyticPhase) {
    const float lambda = ctf_wavelength(300.0f);
    // Without Cs, AC and P the first zero lies at s^2 = 1/(lambda D).
    EXPECT_NEAR(epa_first_zero_frequency(300.0f, 0.0f, 0.0f, 0.0f, 20000.0f), std::sqrt(1.0f / (lambda * 20000.0f)),
                1e-6f);
    // With Cs: chi_g(s1) = pi - asin(AC).
    const float s1 = epa_first_zero_frequency(300.0f, 2.7f, 0.1f, 0.0f, 20000.0f);
    const float chi = ctf_geometric_phase(ctf_a2(lambda, 20000.0f), ctf_a4(lambda, 2.7f), s1);
    EXPECT_NEAR(chi, CTF_PI_F - std::asin(0.1f), 1e-4f);
    // A phase shift past the zero, no defocus, and a defocus whose phase never
    // reaches pi (overfocus) all give 0: no zero.
    EXPECT_EQ(epa_first_zero_frequency(300.0f, 2.7f, 0.1f, 200.0f, 20000.0f), 0.0f);
    EXPECT_EQ(epa_first_zero_frequency(300.0f, 2.7f, 0.1f, 0.0f, 0.0f), 0.0f);
    EXPECT_EQ(epa_first_zero_frequency(300.0f, 2.7f, 0.1f, 0.0f, -5000.0f), 0.0f);
}

TEST(Epa, ResolutionRowsCrossAtTheFirstFineEnoughDrop) {
    const int n = 513;
    const EpaWindows w = {6, 32, 60, 488};
    std::vector<float> smoothed((size_t)n, 0.5f);
    bool found = true;
    // Never below the threshold: the finest row.
    EXPECT_FLOAT_EQ(epa_resolution_limit(smoothed.data(), n, 1.0f, w, 0.0f, 20.0f, found),
                    epa_row_resolution(epa_last_row(w), n, 1.0f));
    EXPECT_FALSE(found);
    // A drop at a resolution coarser than res_max does not count; the first finer one does.
    smoothed[70] = -0.1f;   // 14.7 A
    smoothed[200] = -0.1f;  // 5.13 A
    EXPECT_FLOAT_EQ(epa_resolution_limit(smoothed.data(), n, 1.0f, w, 0.0f, 10.0f, found), 2.0f * 513 / 200);
    EXPECT_TRUE(found);
    EXPECT_FLOAT_EQ(epa_resolution_limit(smoothed.data(), n, 1.0f, w, 0.0f, 20.0f, found), 2.0f * 513 / 70);
    // No rows: 0.
    EXPECT_EQ(epa_resolution_limit(smoothed.data(), n, 1.0f, EpaWindows{6, 32, 480, 488}, 0.0f, 20.0f, found), 0.0f);
    EXPECT_FALSE(found);
}

TEST(Epa, ResolutionLimitAndBfactorOfASimulatedSpectrum) {
    epa::Stage stage;
    stage.set_spectra(epa::ctf_then_noise(6.0f), epa::log_amplitude(100.0f));
    const std::string log = stage.run();
    VORN_A& a = stage.parsed.a;
    // The CTF can be followed to 6 A, no further.
    EXPECT_GT(a.res_limit, 4.8f);
    EXPECT_LT(a.res_limit, 6.6f);
    EXPECT_NEAR(a.est_bfac, 100.0f, 15.0f);
    char line[128];
    std::snprintf(line, sizeof line, "Resolution limit estimated by EPA: RES_LIMIT %.3f \nEstimated Bfactor: B_FACTOR  %.2f \n",
                  a.res_limit, a.est_bfac);
    EXPECT_EQ(log, line);
    std::snprintf(line, sizeof line, "Resolution limit estimated by EPA: \033[1m %.3f \033[m\n", a.res_limit);
    EXPECT_NE(stage.out.find(line), std::string::npos);
    // The table: header, then one row per bin from the first zero to the high limit.
    const auto rows = epa::table_rows(stage.table());
    ASSERT_FALSE(rows.empty());
    const int n = a.epa_n;
    EXPECT_EQ(n, 4 * (epa::nxh - 1) + 1);
    const int nmin = (int)std::floor(epa::nxh * 0.05f);
    EXPECT_NEAR(rows.back()[0], 2.0 * n / (std::floor(2.0 * n / a.para->EPA_resH) - nmin - 11), 1e-4);
    // The limit is one of the rows, and the simulated |CTF| is between 0 and 1.
    bool limit_in_rows = false;
    for (const auto& r : rows) {
        limit_in_rows |= std::fabs(r[0] - a.res_limit) < 1e-3;
        EXPECT_GE(r[1], 0.0);
        EXPECT_LE(r[1], 1.0);
    }
    EXPECT_TRUE(limit_in_rows);
    // ctf_epa_1d_ccf finds the same fading point with its own windows.
    float res = 0;
    ctf_epa_1d_ccf(res, 20.0f, a.d_spec, a.d_logamp, 4, 1.0f, epa::nxh, epa::box, 300.0f, 2.7f, 0.1f, 0.0f,
                   epa::truth.U, epa::truth.V, epa::truth.A, 30.0f, 2.1f, 10.0f, 4.0f);
    EXPECT_GT(res, 4.5f);
    EXPECT_LT(res, 7.0f);
}

TEST(Epa, FlatOrBlankSpectraMissingDefocusAndFewPeaksGiveNumbersAndWarnings) {
    struct Case {
        const char* name;
        std::vector<std::string> words;
        float U, V;
        bool flat;
        float spec_fill, log_fill;  // the flat spectra's values
        const char* warning;        // or null
    };
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<Case> cases = {
        {"flat spectra", {}, 15000, 13000, true, 0.5f, 0.5f, nullptr},
        // A blank frame: log amplitude -inf, and less its background not a number.
        {"blank micrograph", {}, 15000, 13000, true, nan, -inf,
         "values of the EPA of the spectrum of micrograph"},
        {"no defocus", {}, 0, 0, true, 0.5f, 0.5f, "no first CTF zero for defocus 0.000000"},
        {"one peak in the B band", {"--B_resL", "5", "--B_resH", "4.8"}, 15000, 13000, false, 0, 0,
         "Bfactor estimation failed due to too few CTF peaks\n!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        epa::Stage stage(c.words);
        VORN_A& a = stage.parsed.a;
        a.ref_defU = c.U;
        a.ref_defV = c.V;
        const size_t size = (size_t)epa::nxh * epa::box;
        if (c.flat)
            stage.set_spectra(std::vector<float>(size, c.spec_fill), std::vector<float>(size, c.log_fill));
        else
            stage.set_spectra(epa::ctf_then_noise(6.0f), epa::log_amplitude(100.0f));
        const std::string log = stage.run();
        EXPECT_TRUE(std::isfinite(a.res_limit));
        EXPECT_TRUE(std::isfinite(a.est_bfac));
        EXPECT_EQ(log.find("nan"), std::string::npos) << log;
        const std::string table = stage.table();
        EXPECT_EQ(table.find("nan"), std::string::npos);
        EXPECT_EQ(table.find("inf"), std::string::npos);
        epa::table_rows(table);
        if (c.warning != nullptr) {
            EXPECT_NE(stage.out.find(c.warning), std::string::npos) << stage.out;
        }
        if (!c.flat) {
            EXPECT_EQ(a.est_bfac, 0.0f);  // too few peaks
        }
    }
}

TEST(Epa, LocalCorrelationOfFlatWindowsIsZero) {
    const int n = 200;
    std::vector<float> epa_v((size_t)n, 1.0f), sim((size_t)n), c((size_t)n);
    for (int i = 0; i < n; ++i) sim[(size_t)i] = std::fabs(std::sin(0.3f * i));
    const EpaWindows w = {6, 32, 20, 180};
    epa_local_ccc(c.data(), epa_v.data(), sim.data(), n, w);
    for (int i = 0; i < n; ++i) EXPECT_EQ(c[(size_t)i], i < 36 ? 1.0f : 0.0f) << i;
    // The same curve correlates fully with itself.
    epa_local_ccc(c.data(), sim.data(), sim.data(), n, w);
    for (int i = 36; i < 180 - 6; ++i) EXPECT_NEAR(c[(size_t)i], 1.0f, 1e-5f) << i;
}

// ================= log head, summary rows and input CTF STAR files =================

TEST(LogHead, EndsWithTheCtffind3Block) {
    TempDir dir;
    Parsed run({"--apix", "1.34", "--dstep", "14", "--boxsize", "512", "--ctfstar", "none", "m1.mrc"});
    VORN_A& a = run.a;
    a.log_file = std::fopen(dir.file("m1_vorn.log").c_str(), "w+");
    a.vorn_fput_parameters_ctffind3_like();
    std::fclose(a.log_file);
    a.log_file = nullptr;
    const std::string log = read_text(dir.file("m1_vorn.log"));
    const std::string block =
        "********************************  parameter format for RELION: "
        "*********************************************\n\n"
        " CS[mm], HT[kV], AmpCnst, XMAG, DStep[um]\n"
        "  2.7    300.0    0.10  104477.6   14.000\n\n"
        " Positive defocus values for underfocus\n"
        " Box, ResMin[A], ResMax[A], dFMin[A], dFMax[A], FStep[A], dAst[A]\n"
        " 512       50.0        4.0   10000.0   70000.0  500.0    0.0\n"
        "********************************* end of parameter format for RELION: "
        "*************************************\n\n";
    EXPECT_EQ(log.find("\nVORN , v1.18 2017-05-10\n"), 0u);
    ASSERT_GE(log.size(), block.size());
    EXPECT_EQ(log.substr(log.size() - block.size()), block);
}

TEST(CtfStar, ResultsThatAreNotNumbersAreWrittenAsZeroWithAWarning) {
    TempDir dir;
    const std::string summary = dir.file("s.star");
    Parsed run({"--apix", "1.34", "--dstep", "14", "--ctfstar", summary, "m1.mrc"});
    VORN_A& a = run.a;
    char ctf[VORN_NAME_LEN] = "m1.ctf";
    open_summary_of_first(a, ctf);
    a.ref_defU = 15000;
    a.ref_defV = 14000;
    a.ref_defA = 10;
    a.ref_ccc = NAN;
    a.res_limit = INFINITY;
    testing::internal::CaptureStdout();
    a.vorn_write_star_oneline();
    const std::string out = testing::internal::GetCapturedStdout();
    a.ctf_name = nullptr;
    a.vorn_close_sumlog();
    const std::string text = read_text(summary);
    EXPECT_NE(text.find("\nm1.mrc m1.ctf:mrc 15000.000000 14000.000000    10.000000   300.000000     2.700000    "),
              std::string::npos);
    const std::string tail = " 0.100000 104477.609375    14.000000     0.000000     0.000000\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_NE(out.find("_rlnCtfFigureOfMerit of micrograph m1.mrc is not a number: written as 0"), std::string::npos);
    EXPECT_NE(out.find("_rlnFinalResolution of micrograph m1.mrc is not a number"), std::string::npos);
}

TEST(CtfStar, CommentShortAndNonNumericLinesAreNoMicrographs) {
    TempDir dir;
    const std::string in = dir.file("in.star");
    std::FILE* f = std::fopen(in.c_str(), "w");
    std::fprintf(f, "\ndata_\n\nloop_\n_rlnMicrographName #1\n_rlnDefocusU #2\n_rlnDefocusV #3\n_rlnDefocusAngle #4\n"
                    "_rlnVoltage #5\n"
                    "# five words of comment\n"
                    "m1.mrc 10000 9000 30 300\n"
                    "m2.mrc 12000 abc 10 300\n"
                    "m3.mrc 11000 10500\n"
                    "; five more words here\n"
                    "m4.mrc 13000 12500 45 200\n");
    std::fclose(f);
    testing::internal::CaptureStdout();
    CTF_INIT init[8];
    char* names[8] = {};
    int count = 1;  // appended after what the list holds
    EXPECT_EQ(get_all_initctf_from_ctfstar(in.c_str(), init, names, count), 2);
    float3* uva = get_all_defocus_from_ctfstar(in.c_str());
    CTF_INFO* info = get_all_ctfinfo_from_ctfstar(in.c_str());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("line 12 of file " + in + ": _rlnDefocusV abc is not a finite single-precision number "
                       "(skipped): m2.mrc"),
              std::string::npos)
        << out;
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(names[1], "m1.mrc");
    EXPECT_STREQ(names[2], "m4.mrc");
    EXPECT_EQ(init[1].valid, 1);
    EXPECT_FLOAT_EQ(init[1].ctf.U, 10000.0f);
    EXPECT_FLOAT_EQ(init[2].ctf.U, 13000.0f);
    EXPECT_FLOAT_EQ(init[2].ctf.V, 12500.0f);
    EXPECT_FLOAT_EQ(init[2].ctf.A, 45.0f);
    EXPECT_FLOAT_EQ(init[2].ctf.kV, 200.0f);
    EXPECT_FLOAT_EQ(init[2].ctf.Cs, 2.7f);  // no column: the default
    for (int k : {0, 1}) {
        SCOPED_TRACE(k);
        EXPECT_FLOAT_EQ(uva[k].x, init[k + 1].ctf.U);
        EXPECT_FLOAT_EQ(uva[k].y, init[k + 1].ctf.V);
        EXPECT_FLOAT_EQ(uva[k].z, init[k + 1].ctf.A);
        EXPECT_FLOAT_EQ(info[k].U, init[k + 1].ctf.U);
        EXPECT_FLOAT_EQ(info[k].kV, init[k + 1].ctf.kV);
    }
    for (char* name : names) std::free(name);
    std::free(uva);
    std::free(info);
}

// Rows are whole lines whatever their length; a row whose CTF no refinement can
// start from, or whose name would be cut, is skipped with the file and line.
TEST(CtfStar, DamagedRowsOfTheInputFileAreSkippedByLine) {
    SKIP_WITHOUT_HOSTILE_ESTIMATOR_DATA();
    struct Case {
        const char* file;
        int rows;
        std::string message;
    };
    auto on_line_6 = [](const char* file, const char* what) {
        return "line 6 of file " + hostile_estimator_path(file) + ": " + what + " (skipped)";
    };
    const Case cases[] = {
        {"ctfstar_float_overflow.star", 0,
         on_line_6("ctfstar_float_overflow.star", "_rlnDefocusU 1e39 is not a finite single-precision number")},
        {"instar_inf.star", 0, on_line_6("instar_inf.star", "_rlnDefocusU 1e39 is not a finite single-precision number")},
        {"instar_huge.star", 0, on_line_6("instar_huge.star", "defocus 1e+30, 1e+30 lies beyond 1e+06 A")},
        {"ctfstar_long_name_tail.star", 0,
         on_line_6("ctfstar_long_name_tail.star", "the micrograph name of 1031 characters does not fit in 1023")},
        {"instar_twice_big.star", 40, ""},
        {"instar_twice_small.star", 0, "no _rlnMicrographName column in " + hostile_estimator_path("instar_twice_small.star")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string name = hostile_estimator_path(c.file);
        CTF_INIT init[48];
        char* names[48] = {};
        int count = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(get_all_initctf_from_ctfstar(name.c_str(), init, names, count), c.rows);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(count, c.rows);
        if (c.message.empty()) {
            EXPECT_EQ(out, "");
        } else {
            EXPECT_NE(out.find(c.message), std::string::npos) << out;
        }
        for (int k = 0; k < count; ++k) {
            EXPECT_STREQ(names[k], "x.mrc");
            EXPECT_FLOAT_EQ(init[k].ctf.U, 8000.0f);
            std::free(names[k]);
        }
    }
}

// Given twice, the last input file is the one the list is sized from and filled from.
TEST(CtfStar, TheLastInputFileNamedIsTheOneRead) {
    SKIP_WITHOUT_HOSTILE_ESTIMATOR_DATA();
    Parsed run({"a.mrc", "--input_ctfstar", hostile_estimator_path("instar_twice_small.star"), "--input_ctfstar",
                hostile_estimator_path("instar_twice_big.star")});
    ASSERT_EQ(run.p().mic_count, 41);
    EXPECT_EQ(run.p().star_count, 40);
    EXPECT_STREQ(run.p().mic_names[40], "x.mrc");
    EXPECT_EQ(run.p().mic_names[41], nullptr);
    EXPECT_FLOAT_EQ(run.p().ctf_init[40].ctf.V, 7500.0f);
}

TEST(CtfStar, DefocusTriplesLeaveAnAbsentAngleAtZero) {
    TempDir dir;
    const std::string in = dir.file("in.star");
    std::FILE* f = std::fopen(in.c_str(), "w");
    std::fprintf(f, "data_\nloop_\n_rlnMicrographName #1\n_rlnDefocusV #2\n_rlnDefocusU #3\nm1.mrc 9000 10000\n");
    std::fclose(f);
    float3* uva = get_all_defocus_from_ctfstar(in.c_str());
    EXPECT_FLOAT_EQ(uva[0].x, 10000.0f);
    EXPECT_FLOAT_EQ(uva[0].y, 9000.0f);
    EXPECT_EQ(uva[0].z, 0.0f);
    std::free(uva);
}

TEST(Epa, UncalledFitsRecoverKnownLines) {
    const int n = 513;
    const float apix = 1.0f;
    // A profile that falls as -B s^2 / 4 gives back B.
    std::vector<float> decay((size_t)n);
    for (int i = 0; i < n; ++i) {
        const float s = i / ((2.0f * n - 2.0f) * apix);
        decay[(size_t)i] = -120.0f * s * s / 4.0f;
    }
    EXPECT_NEAR(bfac_estimation_from_epa_1d2(decay.data(), apix, n, 10.0f, 4.0f), 120.0f, 0.5f);
    // |CTF| itself: the peak line is 1 and the trough line 0 (to within the
    // sampling of the troughs, a few bins per ring).
    std::vector<float> mod((size_t)n);
    cpu_ctf_sim_1dh_c(mod.data(), n, apix, 300.0f, 2.7f, 0.1f, 0.0f, 5000.0f, 0.0f, 30.0f, 2.5f, 'A');
    testing::internal::CaptureStdout();
    ctf_scale_raw2sim(mod.data(), n, apix, 300.0f, 2.7f, 0.1f, 0.0f, 5000.0f, 30.0f, 2.5f);
    const std::string out = testing::internal::GetCapturedStdout();
    float pk, pr, tk, tr;
    ASSERT_EQ(std::sscanf(out.c_str(), "peak_K     peak_R: %f   %f \ntrough_K trough_R: %f   %f", &pk, &pr, &tk, &tr),
              4);
    EXPECT_NEAR(pk * 300 + pr, 1.0f, 0.02f);
    EXPECT_NEAR(tk * 300 + tr, 0.0f, 0.1f);
    EXPECT_EQ(ctf_epa_1d_ccf_B_estimation(), 0);
}

TEST(Summary, RowOfASimulatedMicrographHoldsItsRefinedCtfWithinOnePercent) {
    SKIP_WITHOUT_SIM_DATA();
    TempDir dir;
    const std::string mic = dir.file("k200.mrc");
    run_estimator_on_sim_crop(dir, "sim07_200kV.mrc", 768, "k200.mrc",
                              {"--apix", "1.35", "--kV", "200", "--cs", "2.0", "--ac", "0.07", "--boxsize", "384",
                               "--ctfstar", dir.file("all.star")});
    const std::string star = read_text(dir.file("all.star"));
    const size_t at = star.find(mic + " " + dir.file("k200.ctf") + ":mrc ");
    ASSERT_NE(at, std::string::npos) << star;
    float v[10];
    ASSERT_EQ(std::sscanf(star.c_str() + star.find(":mrc ", at) + 5, "%f %f %f %f %f %f %f %f %f %f", v, v + 1, v + 2,
                          v + 3, v + 4, v + 5, v + 6, v + 7, v + 8, v + 9),
              10);
    // U, V and the angle of the truth (12000, 11000, 135), the same CTF written
    // either way round.
    float U = v[0], V = v[1], A = v[2];
    if (U < V) {
        std::swap(U, V);
        A += 90.0f;
    }
    EXPECT_NEAR(U, 12000.0f, 120.0f);
    EXPECT_NEAR(V, 11000.0f, 110.0f);
    EXPECT_NEAR(std::remainder(A - 135.0f, 180.0f), 0.0f, 5.0f);
    EXPECT_FLOAT_EQ(v[3], 200.0f);
    EXPECT_GT(v[8], 0.0f);   // figure of merit
    EXPECT_LE(v[8], 1.0f);
    // The resolution limit lies between the first zero and Nyquist.
    EXPECT_GE(v[9], 2.0f * 1.35f);
    EXPECT_LT(v[9], 20.0f);
    const std::string log = read_text(dir.file("k200_vorn.log"));
    EXPECT_NE(log.find("Resolution limit estimated by EPA: RES_LIMIT "), std::string::npos);
}
