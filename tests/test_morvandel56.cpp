// The template picker: its parameters and front end, the templates and the
// correlation over angles (against a direct sum), the grid picks and their
// filters, the ice search, exclusion, mask and outputs, Morvandel, and the
// whole chain on a synthetic micrograph with particles at known positions and
// angles.
#include <gtest/gtest.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <complex>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#define VORN_UNIT "tests/morvandel56"
#include "coordfile_fixture.h"
#include "cuda_fast_sum.h"
#include "device_arrays_fixture.h"
#include "estimator_fixture.h"
#include "gpu_launch.h"
#include "math_utils_gpu.h"
#include "morvandel56.h"
#include "process2d_raw.h"
#include "str_utils.h"

namespace {

// Death-test statements print their stdout lines onto stderr so the regex sees them.
#define STDOUT_TO_STDERR() dup2(2, 1)

using Image = std::vector<float>;

using vorn_test::CommandLine;

// A record parsed from the words; what the parser printed is kept in out.
struct Parsed {
    CommandLine cmd;
    Tessoranth_Para p{};
    std::string out;
    explicit Parsed(std::vector<std::string> words, bool capture = true) : cmd(std::move(words)) {
        tessoranth_init_parameters(cmd.argc(), p);
        if (capture) testing::internal::CaptureStdout();
        tessoranth_get_parameters(cmd.argc(), cmd.argv.data(), p);
        if (capture) out = testing::internal::GetCapturedStdout();
    }
    ~Parsed() { tessoranth_free_parameters(p); }
};
void parse_only(std::vector<std::string> words) { Parsed run(std::move(words), false); }

template <class F>
std::string stdout_of(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

// Occurrences of text in s.
size_t count_of(const std::string& s, const std::string& text) {
    size_t n = 0;
    for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++n;
    return n;
}

// ================= parameters =================

TEST(Parameters, DefaultsOfTheRecord) {
    Tessoranth_Para p{};
    tessoranth_init_parameters(3, p);
    EXPECT_STREQ(p.T, "NULL");
    EXPECT_STREQ(p.excluded_suffix, "NULL");
    EXPECT_STREQ(p.global_excluded_box, "NULL");
    EXPECT_FLOAT_EQ(p.apixM, 1.34f);
    EXPECT_FLOAT_EQ(p.diameter, 400.0f);
    EXPECT_FLOAT_EQ(p.min_dist, 300.0f);
    EXPECT_EQ(p.boxsize, 128);
    EXPECT_EQ(p.shrink, 4);
    EXPECT_EQ(p.speed, 2);
    EXPECT_FLOAT_EQ(p.ang_step, 5.0f);
    EXPECT_FLOAT_EQ(p.cc_cutoff, 0.15f);
    EXPECT_FLOAT_EQ(p.lp, 40.0f);
    EXPECT_FLOAT_EQ(p.m_edge_ratio, 0.05f);
    EXPECT_FLOAT_EQ(p.lave_max, 1.0f);
    EXPECT_FLOAT_EQ(p.lave_min, -1.0f);
    EXPECT_FLOAT_EQ(p.lsigma_cutoff, 1.3f);
    EXPECT_EQ(p.detect_ice, 1);
    EXPECT_EQ(p.write_rejected_box, 1);
    EXPECT_EQ(p.write_star, 1);
    EXPECT_EQ(p.auto_template, 1);
    EXPECT_FLOAT_EQ(p.ice_softwidth, 8.0f);
    EXPECT_FLOAT_EQ(p.psi_end, 359.0f);
    // The four derived values are those of the formulas at the table's defaults.
    EXPECT_FLOAT_EQ(p.radius_px, 400.0f * 1.3f / (2 * 1.34f * 4));
    EXPECT_FLOAT_EQ(p.min_dist_px, 300.0f / (4 * 1.34f));
    EXPECT_FLOAT_EQ(p.lsigma_px, 100.0f / (2 * 1.34f * 4));
    EXPECT_FLOAT_EQ(p.lave_px, 400.0f / (2 * 1.34f * 4));
    tessoranth_free_parameters(p);
}

struct ParseCase {
    const char* name;
    std::vector<std::string> words;
    std::function<void(const Tessoranth_Para&, const std::string&)> check;
};

TEST(Parameters, ParserFollowsTheWorkedExamples) {
    const std::vector<ParseCase> cases = {
        {"only a micrograph", {"a.mrc"},
         [](const Tessoranth_Para& p, const std::string& out) {
             EXPECT_FLOAT_EQ(p.min_dist, 320.0f);
             EXPECT_EQ(p.boxsize, 396);
             EXPECT_FLOAT_EQ(p.lsigma_D, 300.0f);
             EXPECT_FLOAT_EQ(p.lave_D, 320.0f);
             EXPECT_NEAR(p.min_dist_px, 59.70149f, 1e-4);
             EXPECT_NEAR(p.radius_px, 48.50746f, 1e-4);
             EXPECT_NEAR(p.lsigma_px, 27.985073f, 1e-4);
             EXPECT_NEAR(p.lave_px, 29.850746f, 1e-4);
             EXPECT_FLOAT_EQ(p.apixT, 1.34f);
             EXPECT_EQ(p.nfiles, 1);
             EXPECT_STREQ(p.files[0], "a.mrc");
             EXPECT_EQ(tessoranth_cell_side(p.min_dist_px), 42);
             for (const char* o : {"'--diameter'", "'--T'", "'--apixM'", "'--apixT'"})
                 EXPECT_NE(out.find(std::string("Waring: You have not set the parameter ") + o), std::string::npos) << o;
         }},
        {"diameter and pixel size", {"--diameter", "300", "--apixM", "1.0", "a.mrc"},
         [](const Tessoranth_Para& p, const std::string&) {
             EXPECT_FLOAT_EQ(p.min_dist, 240.0f);
             EXPECT_EQ(p.boxsize, 398);
             EXPECT_FLOAT_EQ(p.lsigma_D, 250.0f);
             EXPECT_FLOAT_EQ(p.lave_D, 290.0f);
             EXPECT_EQ(p.shrink, 4);
             EXPECT_FLOAT_EQ(p.radius_px, 48.75f);
             EXPECT_FLOAT_EQ(p.min_dist_px, 60.0f);
             EXPECT_FLOAT_EQ(p.apixT, 1.0f);
         }},
        {"speed before the pixel size", {"--speed", "3", "--apixM", "2", "a.mrc"},
         [](const Tessoranth_Para& p, const std::string&) {
             EXPECT_EQ(p.shrink, 6);
             EXPECT_FLOAT_EQ(p.min_dist_px, 320.0f / 12.0f);
         }},
        {"speed after the pixel size", {"--apixM", "2", "--speed", "3", "a.mrc"},
         [](const Tessoranth_Para& p, const std::string&) { EXPECT_FLOAT_EQ(p.min_dist_px, 320.0f / 12.0f); }},
        {"template none", {"--T", "none", "a.mrc"},
         [](const Tessoranth_Para& p, const std::string& out) {
             EXPECT_EQ(p.auto_template, 1);
             EXPECT_EQ(out.find("'--T'"), std::string::npos);
         }},
        {"template named", {"-t", "refs.mrcs", "a.mrc", "b.mrc"},
         [](const Tessoranth_Para& p, const std::string&) {
             EXPECT_EQ(p.auto_template, 0);
             EXPECT_STREQ(p.T, "refs.mrcs");
             EXPECT_EQ(p.nfiles, 2);
         }},
        {"on/off with a value", {"--detect_ice", "0", "a.mrc"},
         [](const Tessoranth_Para& p, const std::string&) {
             EXPECT_EQ(p.detect_ice, 0);
             EXPECT_EQ(p.nfiles, 1);
         }},
        {"on/off before an option", {"--detect_ice", "--lp", "20", "a.mrc"},
         [](const Tessoranth_Para& p, const std::string&) {
             EXPECT_EQ(p.detect_ice, 1);
             EXPECT_FLOAT_EQ(p.lp, 20.0f);
         }},
        {"given sizes stay", {"--min_dist", "100", "--boxsize", "77", "--lsigma_D", "50", "--lave_D", "60", "a.mrc"},
         [](const Tessoranth_Para& p, const std::string&) {
             EXPECT_FLOAT_EQ(p.min_dist, 100.0f);
             EXPECT_EQ(p.boxsize, 77);
             EXPECT_FLOAT_EQ(p.lsigma_D, 50.0f);
             EXPECT_FLOAT_EQ(p.lave_D, 60.0f);
         }},
        {"texts", {"--excluded_suffix", "_manual.star", "--global_excluded_box", "all.box", "a.mrc"},
         [](const Tessoranth_Para& p, const std::string&) {
             EXPECT_STREQ(p.excluded_suffix, "_manual.star");
             EXPECT_STREQ(p.global_excluded_box, "all.box");
         }},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed run(c.words);
        c.check(run.p, run.out);
    }
}

TEST(Parameters, FatalInputsEndWithStatusOneAndSayWhy) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string long_name(1100, 'x');
    const struct {
        std::vector<std::string> words;
        const char* says;
    } cases[] = {
        // Names of the valid-option list that the parser does not know, and plain typos.
        {{"--lcutoff_D", "3", "a.mrc"}, "Failed to recognize option: .*--lcutoff_D"},
        {{"--per_lp", "3", "a.mrc"}, "Failed to recognize option: .*--per_lp"},
        {{"a.mrc", "--diamter", "200"}, "Failed to recognize option: .*--diamter.*All valid options"},
        {{"--speed", "5", "a.mrc"}, "speed level must belong to"},
        {{"--speed", "two", "a.mrc"}, "option --speed takes an integer, not 'two'"},
        {{"--cc_cutoff", "0.1x", "a.mrc"}, "option --cc_cutoff takes a finite number, not '0.1x'"},
        {{"a.mrc", "--apixM"}, "option --apixM needs a value, but it stands last"},
        {{"a.mrc", "--T"}, "option --T needs a value"},
        {{"--T", long_name, "a.mrc"}, "the value of option --T has 1100 characters"},
        {{"--apixM", "0", "a.mrc"}, "--apixM must be above 0"},
        {{"--apixM", "-1.2", "a.mrc"}, "--apixM must be above 0"},
        {{"--apixT", "0", "a.mrc"}, "--apixT must be above 0"},
        {{"--ang_step", "0", "a.mrc"}, "--ang_step must be above 0"},
        {{"--ang_step", "-5", "a.mrc"}, "--ang_step must be above 0"},
        {{"--min_dist", "7", "a.mrc"}, "picking cells would have a side of 0"},
        {{"--diameter", "1e30", "a.mrc"}, "--diameter 1e\\+30 gives a box of"},
        {{"--diameter", "200"}, "No valid files to be processed"},
        // Band-passes that keep nothing, and normalisations that do not exist.
        {{"--hp", "0", "a.mrc"}, "--hp must be above 0 A with --do_bandpass 1, not 0"},
        {{"--lp", "-40", "a.mrc"}, "--lp must be above 0 A with --do_bandpass 1, not -40"},
        {{"--lp", "2000", "--hp", "100", "a.mrc"}, "--lp 2000 and --hp 100 leave an empty band: --lp, the finest "
                                                   "resolution kept, must be below --hp, the coarsest"},
        {{"--apixM", "1", "--lp", "4", "--hp", "8", "a.mrc"}, "--hp 8 keeps nothing of the shrunk micrograph: --hp "
                                                              "must be above its Nyquist resolution of 8 A at "
                                                              "--apixM 1 and --speed 2 \\(shrink 4\\)"},
        {{"--do_pre_filter", "--pre_hp", "0", "a.mrc"}, "--pre_hp must be above 0 A with --do_pre_filter 1, not 0"},
        {{"--T_norm_type", "4", "a.mrc"}, "--T_norm_type must be 0, 1, 2 or 3, not 4"},
        {{"--T_norm_type", "-1", "a.mrc"}, "--T_norm_type must be 0, 1, 2 or 3, not -1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words[0]);
        EXPECT_EXIT((STDOUT_TO_STDERR(), parse_only(c.words)), ::testing::ExitedWithCode(1), c.says);
    }
}

using Words = std::vector<std::string>;
using ParameterLimits = CoordFileTest;

TEST_F(ParameterLimits, ValuesThePickerCannotComputeEndTheRunNamingTheRange) {
    // At --apixM 1.34 and shrink 4 unless given. Each ends with status 1 before
    // anything is written beside the micrograph.
    const std::string mic = path("m.mrc");
    const struct {
        Words words;
        const char* says;
    } cases[] = {
        {{"--ang_step", "1e-30"}, "--ang_step 1e-30 gives 3.59e\\+32 angles from 0 to 359 degrees; --ang_step must be "
                                  "at least 0.00997"},
        {{"--ang_step", "1e-12"}, "--ang_step 1e-12 gives 3.59e\\+14 angles"},
        {{"--min_dist", "1e30"}, "--min_dist 1e\\+30: the picking cells would have a side of 1.3.*e\\+29 shrunk "
                                 "pixels; --min_dist must be at least 15.1.* and below 248395 A"},
        // Cells of 1 pixel hold no pick: at least 2 pixels, named with the speed in force.
        {{"--speed", "0", "--min_dist", "1.5"}, "--min_dist 1.5: the picking cells would have a side of 0.79.* "
                                                "shrunk pixels; --min_dist must be at least 3.79.* and below .* A at "
                                                "--apixM 1.34 and --speed 0 \\(shrink 1\\)"},
        {{"--speed", "0", "--apixM", "1", "--min_dist", "2.8"}, "--min_dist 2.8: the picking cells would have a "
                                                                "side of 1.9.* shrunk pixels; --min_dist must be at "
                                                                "least 2.8284"},
        {{"--apixM", "1e-30"}, "--diameter 400 gives a box of 5.32e\\+32 pixels; --diameter must be at least "
                               "1.5.*e-30 and below 7.8.*e-25 A at --apixM 1e-30"},
        {{"--apixM", "1e-30", "--boxsize", "100"}, "--diameter 400: the automatic template would have a radius of"},
        {{"--diameter", "8.5"}, "--min_dist 6.8 \\(0.8 x --diameter\\): the picking cells would have a side of 0.89"},
        {{"--diameter", "3.4e38"}, "--diameter 3.4e\\+38 gives a box of"},
        {{"--diameter", "8.2e9", "--boxsize", "100", "--min_dist", "300"},
         "--diameter 8.2e\\+09: the automatic template would have a radius of 9.9.*e\\+08 shrunk pixels; "
         "--diameter must be at least 8.24.* and below 6755.* A"},
        {{"--T", "refs.mrcs", "--apixT", "1e30"}, "--apixT 1e\\+30 scales the templates by 7.4.*e\\+29 times; "
                                                  "--apixT must be at least 0.000163.* and below 4390.* A"},
        // A template of the largest side shrunk to nothing, with or without --T.
        {{"--T", "refs.mrcs", "--apixT", "1e-30"}, "--apixT 1e-30 scales the templates by 7.4.*e-31 times; "
                                                   "--apixT must be at least 0.000163.* and below 4390.* A at --apixM "
                                                   "1.34 and --speed 2 \\(shrink 4\\)"},
        {{"--apixT", "1e-30"}, "--apixT 1e-30 scales the templates by"},
        {{"--lave_D", "-5"}, "--lave_D -5 gives a local-average window radius of -0.46.* shrunk pixels; --lave_D "
                             "must be above 0"},
        {{"--boxsize", "0"}, "--boxsize must be 1 to 1048575 pixels, not 0"},
        {{"--boxsize", "-10"}, "--boxsize must be 1 to 1048575 pixels, not -10"},
        {{"--diameter", "-200"}, "--diameter must be above 0, not -200"},
        {{"--diameter", "1"}, "--diameter 1 gives a box of 0.99.* pixels; --diameter must be at least 2.01"},
    };
    for (const auto& c : cases) {
        Words words = c.words;
        words.push_back(mic);
        SCOPED_TRACE(words[0] + " " + words[1]);
        EXPECT_EXIT((STDOUT_TO_STDERR(), parse_only(words)), ::testing::ExitedWithCode(1), c.says);
    }
    EXPECT_EQ(std::system(("test -z \"$(ls -A " + dir + ")\"").c_str()), 0) << "something was written";
}

TEST(Parameters, BandsOfFiltersThatAreOffAreNotLookedAt) {
    Parsed run({"--do_bandpass", "0", "--lp", "-40", "--pre_hp", "0", "a.mrc"});
    EXPECT_EQ(run.p.lp, -40.0f);
    // The band keeps resolutions from --hp down to --lp: just above the Nyquist resolution is a band.
    Parsed fine({"--apixM", "1", "--lp", "2", "--hp", "8.5", "a.mrc"});
    EXPECT_EQ(fine.p.hp, 8.5f);
}

TEST(Parameters, SmallestMinimumDistanceIsAccepted) {
    // 15.2 A at 1.34 A and shrink 4 is 2.836 shrunk pixels: a cell side of 2,
    // the narrowest cell whose pixels after its first can hold a pick.
    Parsed run({"--min_dist", "15.2", "a.mrc"});
    EXPECT_EQ(tessoranth_cell_side(run.p.min_dist_px), 2);
    EXPECT_EQ(tessoranth_cell_side(0.5f), 1);
}

TEST(Parameters, EchoShowsWordsAsTypedAndTheValuesInForce) {
    Parsed run({"--apixM", "1.0", "--lp", "20", "--do_local_ctf", "--m_edge_ratio", "0.2", "--global_excluded_box",
                "x.box", "--mic_znorm", "a.mrc", "b.mrc"});
    char* text = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&text, &size);
    tessoranth_fput_parameters(run.cmd.argc(), run.cmd.argv.data(), run.p, f);
    fclose(f);
    const std::string echo(text, size);
    free(text);
    for (const char* line :
         {"User input parameters:\n", "       --apixM              1.000\n", "       --lp                 20.000\n",
          "       --local_ctf          1\n", "       --m_edge_ratio      0.200\n",
          "       --global_excluded_box    x.box\n", "All parameters to be used:\n", "Basic options:  \n",
          "       --T                    NULL\n", "       --diameter             400.00\n",
          "       --boxsize              532\n", "       --kV                   300.00\n",
          "All 2 files to be used:\n        a.mrc\n        b.mrc\n"})
        EXPECT_NE(echo.find(line), std::string::npos) << line;
    EXPECT_EQ(echo.find("mic_znorm"), std::string::npos);
}

TEST(Parameters, OptionListBannerHelpAndTips) {
    const std::string list = stdout_of(tessoranth_print_valid_options);
    EXPECT_EQ(list.find(std::string(130, '-') + "\nAll valid options:\n--apixM\t --T\t "), 0u);
    EXPECT_NE(list.find("--gid\t \n" + std::string(128, '-') + "\n"), std::string::npos);
    const std::string info = stdout_of([] { tessoranth_put_info("picker"); });
    EXPECT_NE(info.find("Version:       picker v0.56, updated on 2017-07-30\n"), std::string::npos);
    const std::string help = stdout_of([] { tessoranth_help_full("picker"); });
    for (const char* part : {"Usage:\n", "Basic options:    default values,    description:  \n",
                             "      --cc_cutoff            0.1           ", "I/O options:  \n",
                             "      --help                         Print full help document\n",
                             "\\033[1m Tips\\033[m: "})
        EXPECT_NE(help.find(part), std::string::npos) << part;
    const std::string tip = stdout_of(tessoranth_put_one_random_tip);
    EXPECT_EQ(tip.find(std::string(127, '-')), 0u);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((STDOUT_TO_STDERR(), tessoranth_help_exit("picker", "No valid files to be processed.")),
                ::testing::ExitedWithCode(1), "Usage:(.|\n)*No valid files to be processed.");
}

// ================= names, squares and first micrograph =================

using Files = CoordFileTest;

// A small MRC micrograph of w x h pixels, value i at pixel i.
std::string write_micrograph(const std::string& name, int w = 8, int h = 6) {
    Image mic((size_t)w * h);
    for (size_t i = 0; i < mic.size(); ++i) mic[i] = (float)i;
    mrcf_write_xyz_data(name.c_str(), mic.data(), w, h, 1);
    return name;
}

TEST_F(Files, MissingOrUnreadableMicrographsAreReportedAndDropped) {
    std::string good = write_micrograph(path("good.mrc")), gone = path("gone.mrc");
    EXPECT_EQ(check_input_file(good.c_str()), 0);
    std::string said = stdout_of([&] { EXPECT_EQ(check_input_file(gone.c_str()), -1); });
    EXPECT_NE(said.find("the micrograph " + gone + " does NOT exsit! Automatically ignored!"), std::string::npos);
    char* names[] = {gone.data(), good.data(), gone.data()};
    int n = 3;
    said = stdout_of([&] { check_all_input_files(names, n); });
    EXPECT_EQ(n, 1);
    EXPECT_EQ(names[0], good.data());
    EXPECT_NE(said.find("function check_input_file()"), std::string::npos);
}

// A named pipe would hold its reader for ever, a directory holds no image:
// each is refused unopened, with one warning, by every reader of a name.
TEST_F(Files, MicrographsThatAreNoRegularFilesAreRefusedUnopened) {
    const std::string pipe = path("pipe.mrc"), folder = path("folder.mrc");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
    mkdir(folder.c_str(), 0755);
    for (const auto& [name, kind] : {std::make_pair(pipe, "a named pipe"), std::make_pair(folder, "a directory")}) {
        SCOPED_TRACE(name);
        std::string said = stdout_of([&] { EXPECT_EQ(check_input_file(name.c_str()), -1); });
        EXPECT_EQ(count_of(said, "Warning in function check_input_file()"), 1u) << said;
        EXPECT_NE(said.find("the micrograph " + name + " is " + kind + ", not a micrograph file! Automatically "
                            "ignored!"),
                  std::string::npos)
            << said;
        Morvandel m;
        said = stdout_of([&] { EXPECT_EQ(m.set_mic(name.c_str()), -1); });
        EXPECT_NE(said.find("the micrograph " + name + " cannot be picked: it is " + kind +
                            ", not a micrograph file; skipped."),
                  std::string::npos)
            << said;
    }
}

// The walk asks its check before it looks at a micrograph, and its closing
// line, resuming, counts the micrographs already done.
TEST_F(Files, TheWalkChecksEachMicrographFirstAndCountsThoseAlreadyDone) {
    std::string a = write_micrograph(path("a.mrc")), b = path("b.mrc"), c = write_micrograph(path("c.mrc"));
    ASSERT_EQ(mkfifo(b.c_str(), 0644), 0);
    char* names[] = {a.data(), b.data(), c.data()};
    std::vector<std::string> checked, picked;
    MicrographWalk walk;
    walk.already_done = 2;
    walk.before = [&](int k, const char* name) {
        checked.push_back(std::to_string(k) + name);
        return k == 2 ? -1 : 0;
    };
    int skipped = -1;
    const std::string said = stdout_of([&] {
        skipped = morvandel_pick_micrographs(
            names, 3, [&](Morvandel&, const char* name) { return picked.push_back(name), 0; }, walk);
    });
    EXPECT_EQ(skipped, 2);
    EXPECT_EQ(checked, (std::vector<std::string>{"0" + a, "1" + b, "2" + c}));
    EXPECT_EQ(picked, std::vector<std::string>{a});
    EXPECT_NE(said.find("All 5 micrographs: 1 picked, 2 skipped as already done, 2 skipped: " + b + ", " + c + "\n"),
              std::string::npos)
        << said;
}

TEST_F(Files, FirstUsableMicrographIsOpenedAndNoneIsAFailure) {
    std::string gone = path("gone.mrc"), good = write_micrograph(path("good.mrc"));
    char* names[] = {gone.data(), good.data()};
    char first[VORN_NAME_LEN] = "untouched";
    FILE* f = nullptr;
    const std::string said = stdout_of([&] { EXPECT_EQ(check_access_openf_1st(names, 2, first, f), 0); });
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_STREQ(first, good.c_str());
    EXPECT_NE(said.find("Opening " + good + " for initial test and preperation ......."), std::string::npos);
    f = nullptr;
    strcpy(first, "untouched");
    stdout_of([&] { EXPECT_EQ(check_access_openf_1st(names, 1, first, f), -1); });
    EXPECT_EQ(f, nullptr);
    EXPECT_STREQ(first, "untouched");
}

TEST_F(Files, NamesSquaresAndDoneFiles) {
    char out[VORN_NAME_LEN];
    set_name_shrinked_box(out, "dir/m1.mrcs", 7);
    EXPECT_STREQ(out, "dir/m1_nonunique.box");
    EXPECT_EQ(get_max_square_clip_origin(20, 16).x, 2);
    EXPECT_EQ(get_max_square_clip_origin(20, 16).y, 0);
    EXPECT_EQ(get_max_square_clip_origin(16, 20).x, 0);
    EXPECT_EQ(get_max_square_clip_origin(16, 20).y, 2);
    EXPECT_EQ(get_max_square_even_size(15, 11), 10);
    EXPECT_EQ(get_max_extended_square_even_size(20, 16, 2), 10);
    EXPECT_EQ(is_file_morvandel_done(path("none.star").c_str()), 0);
    EXPECT_EQ(is_file_morvandel_done(write("done.star", "").c_str()), 1);
    // Only a regular file is a finished pick file.
    mkdir(path("folder.star").c_str(), 0755);
    ASSERT_EQ(mkfifo(path("pipe.star").c_str(), 0644), 0);
    EXPECT_EQ(is_file_morvandel_done(path("folder.star").c_str()), 0);
    EXPECT_EQ(is_file_morvandel_done(path("pipe.star").c_str()), 0);

    // A 20 x 16 micrograph: its 16 x 16 square at (2, 0), and a square too large.
    Image mic(20 * 16);
    for (size_t i = 0; i < mic.size(); ++i) mic[i] = (float)i;
    const std::string name = path("wide.mrc");
    mrcf_write_xyz_data(name.c_str(), mic.data(), 20, 16, 1);
    FILE* f = fopen(name.c_str(), "rb");
    MRC_HEAD head;
    mrc_read_head(f, &head);
    Image square(16 * 16);
    EXPECT_EQ(mrc_read_square_even(f, &head, square.data(), 16, get_max_square_clip_origin(20, 16)), 0);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) ASSERT_EQ(square[y * 16 + x], mic[y * 20 + x + 2]);
    // A square larger than the micrograph is one micrograph's fault: -1 after one warning.
    Image big(18 * 18, -7.0f);
    const std::string said =
        stdout_of([&] { EXPECT_EQ(mrc_read_square_even_extend(f, &head, big.data(), 18, make_int2(0, 0)), -1); });
    EXPECT_EQ(count_of(said, "Warning in function mrc_read_square_even_extend()"), 1u) << said;
    EXPECT_NE(said.find("Can not read micrograph. File Size issue! A square of 18 pixels does not fit in its 20 x "
                        "16 pixels."),
              std::string::npos)
        << said;
    EXPECT_EQ(big, Image(18 * 18, -7.0f));
    fclose(f);
}

// Files that are not MRC images: one warning naming the file and why, -1, and
// nothing sized by their headers, from every reader of the picker's micrographs.
TEST_F(Files, FilesThatAreNotMrcImagesAreSkippedWithOneWarning) {
    const std::string hostile = VORN_HOSTILE_DATA;
    std::string text(3000, 'a');
    for (size_t i = 0; i < text.size(); i += 61) text[i] = '\n';
    Image complex_data(2 * 8 * 6, 1.0f);
    MRC_HEAD h = {};
    mrc_init_head(&h);
    mrc_set_head_xyz_mode(&h, 8, 6, 1, MRC_MODE_COMPLEX_FLOAT);
    const std::string complex_name = path("complex.mrc");
    FILE* c = fopen(complex_name.c_str(), "wb");
    fwrite(&h, sizeof h, 1, c);
    fwrite(complex_data.data(), sizeof(float), complex_data.size(), c);
    fclose(c);
    // A header of 8 x 6 floats over only half of them.
    const std::string cut = write_micrograph(path("cut.mrc"));
    ASSERT_EQ(truncate(cut.c_str(), 1024 + 8 * 3 * 4), 0);
    const struct {
        std::string name, why;
    } cases[] = {
        {write("notes.mrc", text), "mode 1633771873 is not supported"},  // the bytes "aaaa"
        {complex_name, "mode 4 is not supported"},
        {cut, "the file is shorter than the data its header describes"},
        {hostile + "/short_head.mrc", "shorter than an MRC header of 1024 bytes"},
        {hostile + "/grids_huge_header.mrc", "more data than a file can hold"},
        {hostile + "/sliceN_16GiB.mrc", "the file is shorter than the data its header describes"},
        {hostile + "/update_head_1GiB.mrc", "the file is shorter than the data its header describes"},
        {hostile + "/slice_byte_nx0.mrc", "its sizes are not all above 0"},
        {hostile + "/slice_y_nx0_loop.mrc", "its sizes are not all above 0"},
        {hostile + "/update_head_nxy0_loop.mrc", "its sizes are not all above 0"},
        {hostile + "/dims_overflow.mrc", "more data than a file can hold"},
        {hostile + "/slice_z_offset_overflow.mrc", "more data than a file can hold"},
    };
    const std::string good = write_micrograph(path("good.mrc"));
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        std::string name = k.name;
        std::string said = stdout_of([&] { EXPECT_EQ(check_input_file(name.c_str()), -1); });
        EXPECT_EQ(count_of(said, "Warning in function"), 1u) << said;
        EXPECT_NE(said.find("function check_input_file()"), std::string::npos) << said;
        EXPECT_NE(said.find("the micrograph " + name + " is NOT an MRC image: "), std::string::npos) << said;
        EXPECT_NE(said.find(k.why), std::string::npos) << said;
        EXPECT_NE(said.find("Automatically ignored!"), std::string::npos) << said;

        char* names[] = {name.data(), const_cast<char*>(good.c_str())};
        int n = 2;
        stdout_of([&] { check_all_input_files(names, n); });
        EXPECT_EQ(n, 1);
        char first[VORN_NAME_LEN] = "";
        names[0] = name.data();
        names[1] = const_cast<char*>(good.c_str());
        FILE* f = nullptr;
        said = stdout_of([&] { EXPECT_EQ(check_access_openf_1st(names, 2, first, f), 0); });
        EXPECT_STREQ(first, good.c_str());
        EXPECT_NE(said.find("function check_access_openf_1st()"), std::string::npos);
        if (f) fclose(f);

        // What Morvandel held stays.
        Morvandel m;
        ASSERT_EQ(m.set_mic(good.c_str()), 0);
        float* held = m.mic_d;
        said = stdout_of([&] { EXPECT_EQ(m.set_mic(name.c_str()), -1); });
        EXPECT_EQ(count_of(said, "Warning in function"), 1u) << said;
        EXPECT_NE(said.find("the micrograph " + name + " cannot be picked: it is not an MRC image"), std::string::npos)
            << said;
        EXPECT_EQ(m.mic_d, held);
        EXPECT_EQ(m.nx, 8);
        m.free_mic();

        f = fopen(name.c_str(), "rb");
        MRC_HEAD head;
        stdout_of([&] { mrc_read_head(f, &head); });
        Image square(4 * 4, -7.0f);
        for (auto read : {mrc_read_square_even, mrc_read_square_even_extend}) {
            said = stdout_of([&] { EXPECT_EQ(read(f, &head, square.data(), 4, make_int2(0, 0)), -1); });
            EXPECT_EQ(count_of(said, "Warning in function"), 1u) << said;
            EXPECT_NE(said.find("Can not read micrograph: it is not an MRC image, "),
                      std::string::npos)
                << said;
        }
        EXPECT_EQ(square, Image(4 * 4, -7.0f));
        fclose(f);
    }
}

// Pixels that are not finite numbers, through every way a micrograph comes in:
// one warning that counts them, -1, and what was held stays.
TEST_F(Files, PixelsThatAreNotFiniteNumbersAreRefusedByEveryReader) {
    const int w = 12, h = 8;
    const struct {
        int at;           // pixel index made bad
        float value;
        int square_refused;  // the 8 x 8 square at (2, 0) holds it
        const char* count;
    } cases[] = {
        {3 * w + 5, NAN, 1, "1 pixel is"},
        {0, INFINITY, 0, "1 pixel is"},
        {7 * w + 9, -INFINITY, 1, "1 pixel is"},
    };
    const Image good_image(w * h, 1.0f);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at);
        Image mic = good_image;
        mic[c.at] = c.value;
        Morvandel m;
        ASSERT_EQ(m.set_mic(good_image.data(), w, h), 0);
        float* held = m.mic_d;
        std::string said = stdout_of([&] { EXPECT_EQ(m.set_mic(mic.data(), w, h), -1); });
        EXPECT_EQ(count_of(said, "Warning in function"), 1u) << said;
        EXPECT_NE(said.find(std::string("the micrograph cannot be picked: ") + c.count +
                            " not a finite number (NaN or infinity); skipped."),
                  std::string::npos)
            << said;
        EXPECT_EQ(m.mic_d, held);

        const std::string name = path("bad.mrc");
        mrcf_write_xyz_data(name.c_str(), mic.data(), w, h, 1);
        said = stdout_of([&] { EXPECT_EQ(m.set_mic(name.c_str()), -1); });
        EXPECT_EQ(count_of(said, "Warning in function"), 1u) << said;
        EXPECT_EQ(m.mic_d, held);
        EXPECT_EQ(to_host(m.mic_d, w * h), good_image);
        m.free_mic();

        FILE* f = fopen(name.c_str(), "rb");
        MRC_HEAD head;
        mrc_read_head(f, &head);
        Image square(8 * 8);
        said = stdout_of([&] {
            EXPECT_EQ(mrc_read_square_even(f, &head, square.data(), 8, make_int2(2, 0)), -c.square_refused);
        });
        EXPECT_EQ(count_of(said, "Warning in function mrc_read_square_even()"), (size_t)c.square_refused) << said;
        fclose(f);
    }
}

TEST_F(Files, MorvandelKeepsOneMicrographOnTheGpu) {
    Morvandel m;
    EXPECT_FALSE(m.owned);
    EXPECT_FALSE(m.cleared);
    m.malloc_mic(6, 4);
    EXPECT_TRUE(m.owned);
    hcuda_empty_f32(m.mic_d, 24);
    const std::string zeros = path("zeros.mrc");
    m.write_mic(zeros.c_str());
    int nx, ny, nz;
    get_mrcf_xyz(nx, ny, nz, zeros.c_str());
    EXPECT_EQ(nx, 6);
    EXPECT_EQ(ny, 4);
    EXPECT_EQ(nz, 1);

    Image ramp(5 * 3);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = 0.5f * i;
    m.set_mic(ramp.data(), 5, 3);  // the array held before is released
    const std::string copy = path("ramp.mrc");
    m.write_mic(copy.c_str());
    Morvandel from_file;
    ASSERT_EQ(from_file.set_mic(copy.c_str()), 0);
    EXPECT_EQ(from_file.nx, 5);
    EXPECT_EQ(to_host(from_file.mic_d, 15), ramp);
    // The next micrograph of the size goes into the array held; one of another size gets its own.
    const Image threes(5 * 3, 3.0f), square(4 * 4, -2.0f);
    const std::string same = path("same_size.mrc"), other = path("other_size.mrc");
    mrcf_write_xyz_data(same.c_str(), threes.data(), 5, 3, 1);
    mrcf_write_xyz_data(other.c_str(), square.data(), 4, 4, 1);
    float* held = from_file.mic_d;
    ASSERT_EQ(from_file.set_mic(same.c_str()), 0);
    EXPECT_EQ(from_file.mic_d, held);
    EXPECT_EQ(to_host(from_file.mic_d, 15), threes);
    ASSERT_EQ(from_file.set_mic(other.c_str()), 0);
    EXPECT_EQ(from_file.nx, 4);
    EXPECT_EQ(from_file.ny, 4);
    EXPECT_EQ(to_host(from_file.mic_d, 16), square);
    float* adopted = device_array(4);
    from_file.set_mic_d(adopted, 2, 2);
    EXPECT_EQ(from_file.mic_d, adopted);
    from_file.free_mic();
    EXPECT_FALSE(from_file.owned);
    m.free_mic();

    // Its GPU calls are checked: a copy from memory released behind its back ends the process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Morvandel lost;
    lost.malloc_mic(4, 4);
    cudaFree(lost.mic_d);
    EXPECT_EXIT(lost.write_mic(path("lost.mrc").c_str()), ::testing::ExitedWithCode(1), "Error .* in file src/morvandel56");
}

// ================= templates =================

TEST_F(Files, AutomaticAndNamedTemplates) {
    int nx, ny, nz;
    // Side 4 x 9 + 1, odd: the disc's centre (18, 18) is the pixel n/2 under a pick.
    float* t = create_template_data(nx, ny, nz, 9.9f, 0.05f);
    EXPECT_EQ(nx, 37);
    EXPECT_EQ(ny, 37);
    EXPECT_EQ(nz, 1);
    EXPECT_EQ(t[18 * 37 + 18], 1.0f);  // the centre: inside 0.05*9.9
    EXPECT_EQ(t[18 * 37 + 10], t[18 * 37 + 26]);  // symmetric about it
    EXPECT_EQ(t[10 * 37 + 18], t[18 * 37 + 10]);
    EXPECT_EQ(t[0], 0.0f);                        // beyond the radius
    destroy_template_data(t);
    t = get_or_create_template_data(nx, ny, nz, "None", 48.5f, 1, 1, 4, 0.05f);
    EXPECT_EQ(nx, 193);
    destroy_template_data(t);

    Image stack(10 * 8 * 2);
    for (size_t i = 0; i < stack.size(); ++i) stack[i] = (float)(i % 7) - 2.0f;
    const std::string name = path("refs.mrcs");
    mrcf_write_xyz_data(name.c_str(), stack.data(), 10, 8, 2);
    t = get_or_create_template_data(nx, ny, nz, name.c_str(), 5, 1.34f, 1.34f, 1, 0.05f);
    EXPECT_EQ(nx, 10);
    EXPECT_EQ(ny, 8);
    EXPECT_EQ(nz, 2);
    EXPECT_EQ(Image(t, t + stack.size()), stack);  // returned as read
    destroy_template_data(t);

    // Twice the micrograph's pixel size, then shrunk by 4: 20 x 16 becomes 5 x 4;
    // a constant template stays constant.
    Image flat(10 * 8 * 2, 3.0f);
    mrcf_write_xyz_data(name.c_str(), flat.data(), 10, 8, 2);
    t = get_or_create_template_data(nx, ny, nz, name.c_str(), 5, 2.0f, 1.0f, 4, 0.05f);
    EXPECT_EQ(nx, 5);
    EXPECT_EQ(ny, 4);
    EXPECT_EQ(nz, 2);
    EXPECT_NEAR(t[1 * 5 + 2], 3.0f, 1e-5);
    destroy_template_data(t);

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((STDOUT_TO_STDERR(), get_template_data(nx, ny, nz, path("missing.mrcs").c_str())),
                ::testing::ExitedWithCode(1), "Cannot open file .*missing.mrcs(.|\n)*get_template_data.*open file");
    // Sizes beyond what their integers hold end the run instead of overflowing.
    EXPECT_EXIT((STDOUT_TO_STDERR(), get_or_create_template_data(nx, ny, nz, name.c_str(), 5, 1e30f, 1.0f, 4, 0.05f)),
                ::testing::ExitedWithCode(1), "become 1e\\+31 x 8e\\+30 at --apixT 1e\\+30 and --apixM 1; at most");
    EXPECT_EXIT((STDOUT_TO_STDERR(), create_template_data(nx, ny, nz, 1e9f, 0.05f)), ::testing::ExitedWithCode(1),
                "a particle radius of 1e\\+09 pixels gives no automatic template; it must be at least 1 and below 8192");
}

TEST_F(Files, TemplatesThatCannotWorkEndTheRunNamingTheOption) {
    // Each would leave every micrograph of a run without a pick.
    Image stack(10 * 8 * 3, 1.0f);
    for (size_t i = 0; i < stack.size(); ++i) stack[i] = (float)(i % 5);
    stack[10 * 8 + 17] = NAN;  // slice 2 of 3
    const std::string nan_stack = path("nan.mrcs"), text = write("notes.mrcs", std::string(2000, 'x'));
    mrcf_write_xyz_data(nan_stack.c_str(), stack.data(), 10, 8, 3);
    const std::string good = path("good.mrcs");
    mrcf_write_xyz_data(good.c_str(), Image(10 * 8, 2.0f).data(), 10, 8, 1);
    Image two(2 * 16, 1.0f);
    two[5] = 3.0f;
    two[16 + 3] = INFINITY;
    float* d = device_array(two.size());
    Image huge(2 * 16, 1.0f);
    for (size_t i = 16; i < huge.size(); ++i) huge[i] = 1e30f;
    const std::string pipe = path("pipe.mrcs");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
    int nx, ny, nz;
    const struct {
        const char* name;
        std::function<void()> run;
        std::string says;
    } cases[] = {
        {"a text file as --T", [&] { get_or_create_template_data(nx, ny, nz, text.c_str(), 5, 1, 1, 1, 0.05f); },
         "--T .*notes.mrcs is not an MRC stack of templates: mode [0-9]+ is not supported"},
        {"a NaN in a template", [&] { get_or_create_template_data(nx, ny, nz, nan_stack.c_str(), 5, 1, 1, 2, 0.05f); },
         "--T .*nan.mrcs: the template of slice 2 of 3 holds 1 pixel that is not a finite number"},
        {"an automatic template of 0", [&] { create_template_data(nx, ny, nz, 48.5f, 1e30f); },
         "--m_edge_ratio 1e\\+30 leaves the automatic template of radius 48.5 pixels without a white disc"},
        {"templates shrunk to nothing", [&] { get_or_create_template_data(nx, ny, nz, good.c_str(), 5, 0.1f, 1, 4, 0.05f); },
         "the templates of .*good.mrcs, 10 x 8 pixels, shrink to nothing \\(0 x 0\\) at --apixT 0.1, --apixM 1 and "
         "shrink 4"},
        {"an infinity handed to the normalisation", [&] { normalize_template_data(d, two.data(), 4, 4, 2, 1, 2, 0.1f); },
         "template 2 of 2 holds 1 pixel that is not a finite number"},
        {"a constant template", [&] { normalize_template_data(d, Image(16, 2.0f).data(), 4, 4, 1, 1, 2, 0.1f); },
         "normalize_template_data.*template 1 of 1 is 0 everywhere, or not a number, after --T_norm_type 1: it "
         "correlates with nothing"},
        {"a template of 0", [&] { normalize_template_data(d, Image(16, 0.0f).data(), 4, 4, 1, 0, 2, 0.1f); },
         "template 1 of 1 is 0 everywhere, or not a number, after --T_norm_type 0"},
        // Finite pixels whose squares add up beyond single precision: every correlation would be 0.
        {"a template too large to correlate", [&] { normalize_template_data(d, huge.data(), 4, 4, 2, 0, 2, 0.1f); },
         "template 2 of 2 has a sum of squares of 1.6e\\+61 after --T_norm_type 0, not a finite number in single "
         "precision"},
        {"a named pipe as --T", [&] { get_template_data(nx, ny, nz, pipe.c_str()); },
         "--T .*pipe.mrcs is a named pipe, not an MRC stack of templates"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT((STDOUT_TO_STDERR(), c.run()), ::testing::ExitedWithCode(1), c.says);
    }
    cudaFree(d);
}

TEST(Templates, NormalisationTypes) {
    const int n = 9, k_inside = 29;  // pixels of a 9 x 9 image within radius 3 of (4, 4)
    const float c = 2.0f;
    Image t(n * n, c);
    float* d = device_array(2 * n * n);
    normalize_template_data(d, t.data(), n, n, 1, 2, 3.0f, 0.1f);
    Image r = to_host(d, n * n);
    const float bg = c * k_inside / (n * n);
    EXPECT_NEAR(r[4 * n + 4], c - bg, 1e-6);
    EXPECT_NEAR(r[0], -bg, 1e-6);
    double sum = 0;
    for (float v : r) sum += v;
    EXPECT_NEAR(sum, 0.0, 1e-4);

    Image ramp(2 * n * n);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = (float)i;
    normalize_template_data(d, ramp.data(), n, n, 2, 1, 3.0f, 0.1f);  // each template its own mean
    r = to_host(d, 2 * n * n);
    EXPECT_NEAR(r[0], -40.0f, 1e-4);
    EXPECT_NEAR(r[n * n], -40.0f, 1e-4);
    normalize_template_data(d, ramp.data(), n, n, 2, 0, 3.0f, 0.1f);
    EXPECT_EQ(to_host(d, 2 * n * n), ramp);
    const std::string said = stdout_of([&] { normalize_template_data(d, ramp.data(), n, n, 1, 7, 3.0f, 0.1f); });
    EXPECT_NE(said.find("Invalid T_norm_type!"), std::string::npos);
    EXPECT_EQ(to_host(d, n * n), Image(ramp.begin(), ramp.begin() + n * n));
    cudaFree(d);

    // The sharp mask keeps a pixel exactly at distance r.
    Image m(7 * 7, 1.0f);
    mask_2d_inplace(m.data(), 7, 7, 3, 3, 3.0f);
    EXPECT_EQ(m[3 * 7 + 6], 1.0f);  // (6, 3): distance 3
    EXPECT_EQ(m[0], 0.0f);
}

// ================= correlation over angles =================

// An asymmetric pattern: three Gaussian blobs about the centre, the whole
// turned by psi degrees the way the rotation kernel turns an image.
float pattern(double u, double v, double psi_deg, double scale) {
    const double a = psi_deg * M_PI / 180.0, c = std::cos(a), s = std::sin(a);
    const double q[3][4] = {{0, 0, 4, 1.0}, {14, 0, 2.5, 0.8}, {0, -10, 2.0, 0.6}};  // x, y, sigma, amplitude
    double sum = 0;
    for (const auto& b : q) {
        const double fx = (c * b[0] - s * b[1]) * scale, fy = (s * b[0] + c * b[1]) * scale, w = b[2] * scale;
        const double dx = u - fx, dy = v - fy;
        sum += b[3] * std::exp(-(dx * dx + dy * dy) / (2 * w * w));
    }
    return (float)sum;
}

// The pattern centred on pixel n/2 of an n x n template, as a boxed particle of
// either parity is.
Image pattern_image(int n, double scale) {
    Image t((size_t)n * n);
    const double cen = n / 2;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) t[(size_t)y * n + x] = pattern(x - cen, y - cen, 0, scale);
    return t;
}

double mean_of(const Image& a) {
    double s = 0;
    for (float v : a) s += v;
    return s / a.size();
}

TEST(Correlation, TemplateWithItselfPeaksAtTheCentreWithOne) {
    const int n = 40;
    Image t = pattern_image(n, 0.5);
    const double m = mean_of(t);
    for (float& v : t) v -= (float)m;
    float *mic = to_device(t), *tpl = to_device(t), *mask = to_device(Image(n * n, 1.0f));
    float *ccmax = device_array(n * n), *psi = device_array(n * n);
    const std::string dots = stdout_of([&] {
        morvandel_ccmax_psi_by_one_template(mic, mask, ccmax, psi, 1, n, n, tpl, n, n, (float)(n * n), 0, 359, 5);
    });
    EXPECT_EQ(dots, std::string(72, '.') + "\n");
    const Image cc = to_host(ccmax, n * n), angle = to_host(psi, n * n);
    const size_t best = std::max_element(cc.begin(), cc.end()) - cc.begin();
    EXPECT_EQ(best, (size_t)(n / 2) * n + n / 2);
    EXPECT_NEAR(cc[best], 1.0f, 1e-4);
    EXPECT_EQ(angle[best], 0.0f);
    for (float* p : {mic, tpl, mask, ccmax, psi}) cudaFree(p);
}

TEST(Correlation, OneAngleEqualsTheDirectNormalisedSumForOddAndEvenSizes) {
    // Maps and templates of odd and even sizes on each axis, square or not.
    const struct {
        int nx, ny, tnx, tny;
    } sizes[] = {
        {18, 14, 6, 5}, {17, 13, 6, 5}, {17, 14, 5, 6}, {18, 13, 5, 5}, {15, 15, 7, 7}, {15, 15, 4, 6}, {16, 16, 5, 4},
        {9, 7, 9, 7},   {11, 12, 11, 3},
    };
    std::mt19937 rng(7);
    std::normal_distribution<float> g;
    for (const auto& z : sizes) {
        const int nx = z.nx, ny = z.ny, tnx = z.tnx, tny = z.tny;
        SCOPED_TRACE(std::to_string(nx) + " x " + std::to_string(ny) + ", template " + std::to_string(tnx) + " x " +
                     std::to_string(tny));
        Image mic(nx * ny), t(tnx * tny), mask(nx * ny);
        for (float& v : mic) v = g(rng);
        for (float& v : t) v = g(rng);
        for (size_t i = 0; i < mask.size(); ++i) mask[i] = (i % 5) ? 1.0f : 0.5f;
        float *mic_d = to_device(mic), *t_d = to_device(t), *mask_d = to_device(mask), *cc_d = device_array(nx * ny);
        const float factor = 30.0f;
        stdout_of([&] { morvandel_ccmax_by_one_template(mic_d, mask_d, cc_d, nx, ny, t_d, tnx, tny, factor, 0, 1, 5); });
        const Image cc = to_host(cc_d, nx * ny);
        // Circular correlation with the template's centre pixel (tnx/2, tny/2) over
        // each map pixel, divided by the normalisation.
        double smic = 0, st = 0, smask = 0;
        for (int i = 0; i < nx * ny; ++i) smic += (double)mic[i] * mic[i] * mask[i], smask += mask[i];
        for (float v : t) st += (double)v * v;
        const double norm = std::sqrt(smic * st * factor / smask);
        for (int py = 0; py < ny; ++py)
            for (int px = 0; px < nx; ++px) {
                double s = 0;
                for (int y = 0; y < tny; ++y)
                    for (int x = 0; x < tnx; ++x) {
                        const int my = (py - tny / 2 + y + ny) % ny, mx = (px - tnx / 2 + x + nx) % nx;
                        s += (double)t[y * tnx + x] * mic[my * nx + mx];
                    }
                ASSERT_NEAR(cc[py * nx + px], s / norm, 1e-4) << px << "," << py;
            }
        for (float* p : {mic_d, t_d, mask_d, cc_d}) cudaFree(p);
    }
}

TEST(Correlation, PeakLiesUnderTheTemplatesCentrePixelForOddAndEvenSizes) {
    // A noise template pasted turned by 30 degrees about its centre pixel
    // (n/2, n/2) into an empty micrograph with that pixel on p: the map over
    // the angles peaks exactly at p, with the angle, on maps and templates of
    // either parity.
    const int px = 41, py = 57;
    std::mt19937 rng(5);
    std::normal_distribution<float> g;
    for (const auto& map : {std::array<int, 2>{128, 96}, {127, 95}, {127, 96}, {128, 95}}) {
        const int nx = map[0], ny = map[1];
        float *mask = to_device(Image(nx * ny, 1.0f)), *cc = device_array(nx * ny), *psi = device_array(nx * ny);
        for (int n : {15, 16, 25, 64}) {
            SCOPED_TRACE(std::to_string(nx) + " x " + std::to_string(ny) + ", template " + std::to_string(n));
            Image t((size_t)n * n), mic((size_t)nx * ny, 0.0f);
            for (float& v : t) v = g(rng);
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x) mic[(size_t)(py - n / 2 + y) * nx + px - n / 2 + x] = t[(size_t)y * n + x];
            float *mic_d = to_device(mic), *t_d = to_device(t);
            stdout_of([&] {
                morvandel_ccmax_by_one_template(mic_d, mask, cc, nx, ny, t_d, n, n, (float)(n * n), 0, 1, 5);
            });
            Image found = to_host(cc, nx * ny);
            size_t best = std::max_element(found.begin(), found.end()) - found.begin();
            EXPECT_EQ(best % nx, (size_t)px);
            EXPECT_EQ(best / nx, (size_t)py);
            // The same particle turned: the angle map holds the turn at the peak.
            float* turned = device_array((size_t)n * n);
            gpu_launch_2d<cuda_2d_rotate_anycenter>(GPU_SITE, (unsigned)n, (unsigned)n, (const float*)t_d, turned,
                                                    (unsigned)n, (unsigned)n, (float)(n / 2), (float)(n / 2), 30.0f);
            const Image t30 = to_host(turned, (size_t)n * n);
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x) mic[(size_t)(py - n / 2 + y) * nx + px - n / 2 + x] = t30[(size_t)y * n + x];
            CUDA_CHECK(memcpy_H2D(mic_d, mic.data(), mic.size() * sizeof(float)));
            stdout_of([&] {
                morvandel_ccmax_psi_by_one_template(mic_d, mask, cc, psi, 1, nx, ny, t_d, n, n, (float)(n * n), 0, 60,
                                                    15);
            });
            found = to_host(cc, nx * ny);
            best = std::max_element(found.begin(), found.end()) - found.begin();
            EXPECT_EQ(best % nx, (size_t)px);
            EXPECT_EQ(best / nx, (size_t)py);
            EXPECT_EQ(to_host(psi, nx * ny)[best], 30.0f);
            for (float* d : {mic_d, t_d, turned}) cudaFree(d);
        }
        for (float* d : {mask, cc, psi}) cudaFree(d);
    }
}

TEST(Correlation, PreparedSpectraGiveTheSameMapsToTheBitForOddAndEvenSizes) {
    // One set, kept from micrograph to micrograph and readied again when the
    // size changes, against a fresh correlation of each micrograph with each
    // template of a stack of two.
    const int tnx = 15, tny = 12, nz = 2;
    std::mt19937 rng(11);
    std::normal_distribution<float> g;
    Image stack((size_t)tnx * tny * nz);
    for (float& v : stack) v = g(rng);
    float* t_d = to_device(stack);
    TemplateSpectra spectra;
    for (const auto& map : {std::array<int, 2>{95, 77}, {96, 64}}) {
        const int nx = map[0], ny = map[1];
        const size_t n = (size_t)nx * ny;
        ASSERT_TRUE(morvandel_prepare_template_spectra(spectra, t_d, tnx, tny, nz, nx, ny, 0, 360, 30));
        Image mask(n);
        for (size_t i = 0; i < n; ++i) mask[i] = (i % 7) ? 1.0f : 0.0f;
        float *mask_d = to_device(mask), *cc[2], *psi[2];
        for (int k : {0, 1}) cc[k] = device_array(n), psi[k] = device_array(n);
        for (int m = 0; m < 2; ++m) {
            Image mic(n);
            for (float& v : mic) v = g(rng);
            float* mic_d = to_device(mic);
            for (int z = 0; z < nz; ++z) {
                SCOPED_TRACE(std::to_string(nx) + " x " + std::to_string(ny) + ", micrograph " + std::to_string(m) +
                             ", template " + std::to_string(z));
                stdout_of([&] {
                    morvandel_ccmax_psi_by_one_template(mic_d, mask_d, cc[0], psi[0], 1, nx, ny,
                                                        t_d + (size_t)tnx * tny * z, tnx, tny, 40.0f, 0, 360, 30);
                    ASSERT_EQ(morvandel_ccmax_psi_by_prepared_template(mic_d, mask_d, cc[1], psi[1], 1, spectra, z,
                                                                       40.0f),
                              0);
                });
                for (float** maps : {cc, psi}) {
                    const Image fresh = to_host(maps[0], n), kept = to_host(maps[1], n);
                    EXPECT_EQ(std::memcmp(fresh.data(), kept.data(), n * sizeof(float)), 0);
                }
            }
            cudaFree(mic_d);
        }
        for (float* d : {mask_d, cc[0], cc[1], psi[0], psi[1]}) cudaFree(d);
    }
    cudaFree(t_d);
}

// One angle (0) correlated through the transforms of the map's own size: the
// template pasted with its centre pixel on (nx/2, ny/2), the conjugate product,
// the inverse, each pixel moved on by half the map and divided by the
// normalisation, as the correlation ran before any grid.
Image own_size_correlation(float* mic_d, float* mask_d, float* t_d, int nx, int ny, int tnx, int tny, float factor) {
    const size_t n = (size_t)nx * ny, nh = (size_t)(nx / 2 + 1) * ny;
    const Image t = to_host(t_d, (size_t)tnx * tny);
    Image padded(n, 0.0f);
    for (int y = 0; y < tny; ++y)
        for (int x = 0; x < tnx; ++x) padded[(size_t)(ny / 2 - tny / 2 + y) * nx + nx / 2 - tnx / 2 + x] = t[y * tnx + x];
    float* p_d = to_device(padded);
    float2 *m = nullptr, *s = nullptr;
    cudaMalloc((void**)&m, nh * sizeof(float2));
    cudaMalloc((void**)&s, nh * sizeof(float2));
    hcuda_2d_fft_r2c(mic_d, m, nx, ny);
    hcuda_2d_fft_r2c(p_d, s, nx, ny);
    hcuda_c2d_multconj_norm(m, s, s, nx / 2 + 1, ny, (float)n);
    hcuda_2d_fft_c2r(s, p_d, nx, ny);
    const Image cc = to_host(p_d, n);
    const float norm = sqrtf(hcuda_fast_sumsqr_withmask(mic_d, mask_d, n) * hcuda_fast_sumsqr(t_d, tnx * tny) * factor /
                             hcuda_fast_sum(mask_d, n, 1024));
    Image out(n);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) out[(size_t)((y + ny / 2) % ny) * nx + (x + nx / 2) % nx] = cc[y * nx + x] / norm;
    for (void* d : {(void*)p_d, (void*)m, (void*)s}) cudaFree(d);
    return out;
}

// The cells' picks of a map (g = 6, cutoff 0.3).
std::vector<unsigned> picks_of(const Image& map, int nx, int ny) {
    const int g = 6, cells = grid_cells(nx, g) * grid_cells(ny, g);
    float *cc = to_device(map), *psi = to_device(Image(map.size(), 0.0f));
    std::vector<unsigned> idx(cells);
    Image cellmax(cells), cellpsi(cells);
    gpu_find_filter_ccmax_psi_grids(cc, psi, idx.data(), cellmax.data(), cellpsi.data(), 0.3f, nx, ny, g);
    cudaFree(cc);
    cudaFree(psi);
    return idx;
}

TEST(Correlation, SlowSidesRunOnAFastGridGivingTheMapsAndPicksOfTheMapsOwnSize) {
    // The template pasted over noise on a grid of places, some across an edge,
    // where the circular correlation wraps round. Sides whose lengths the FFT
    // handles well keep their own transforms (the maps to the bit); slow ones
    // (101, 95, 91, 97) run on a grid of fast lengths, which gives the same maps
    // within rounding and the same picks.
    const int tnx = 13, tny = 10;
    std::mt19937 rng(3);
    std::normal_distribution<float> g(0.0f, 0.3f);
    Image t((size_t)tnx * tny);
    for (float& v : t) v = g(rng) + 1.0f;
    float* t_d = to_device(t);
    const struct {
        int nx, ny;
        bool padded;
    } sizes[] = {{96, 80, false}, {75, 64, false}, {101, 75, true}, {95, 91, true}, {80, 97, true}};
    for (const auto& z : sizes) {
        const int nx = z.nx, ny = z.ny;
        SCOPED_TRACE(std::to_string(nx) + " x " + std::to_string(ny));
        EXPECT_EQ(fft_wrapped_grid(nx, ny, tnx / 2, tny / 2).padded(), z.padded);
        Image mic((size_t)nx * ny);
        for (float& v : mic) v = g(rng);
        for (int py = 3; py < ny + 3; py += 19)
            for (int px = 2; px < nx + 2; px += 23)
                for (int y = 0; y < tny; ++y)
                    for (int x = 0; x < tnx; ++x)
                        mic[(size_t)((py + y - tny / 2 + ny) % ny) * nx + (px + x - tnx / 2 + nx) % nx] += t[y * tnx + x];
        float *mic_d = to_device(mic), *mask_d = to_device(Image(mic.size(), 1.0f)), *cc = device_array(mic.size());
        stdout_of([&] { morvandel_ccmax_by_one_template(mic_d, mask_d, cc, nx, ny, t_d, tnx, tny, 130.0f, 0, 1, 5); });
        const Image got = to_host(cc, mic.size()), want = own_size_correlation(mic_d, mask_d, t_d, nx, ny, tnx, tny, 130.0f);
        if (!z.padded) {
            EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0);
        }
        for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 2e-6f) << i % nx << "," << i / nx;
        const std::vector<unsigned> picks = picks_of(got, nx, ny);
        EXPECT_EQ(picks, picks_of(want, nx, ny));
        EXPECT_GE(std::count_if(picks.begin(), picks.end(), [](unsigned v) { return v != 0; }), 12);
        for (float* d : {mic_d, mask_d, cc}) cudaFree(d);
    }
    cudaFree(t_d);
}

TEST(Correlation, AngleRangeCountsAndRefusals) {
    EXPECT_EQ(morvandel_psi_count(0, 359, 5), 72);
    EXPECT_EQ(morvandel_psi_count(0, 360, 5), 72);
    EXPECT_EQ(morvandel_psi_count(10, 10, 5), 0);
    // A step below the float resolution of the angle: a float sum would stay at
    // 100 for ever; counted steps end.
    EXPECT_EQ(morvandel_psi_count(100.0f, std::nextafter(100.0f, 200.0f), 1e-6f), 8);

    const int n = 8;
    float *mic = to_device(Image(n * n, 1.0f)), *t = to_device(Image(4 * 4, 1.0f));
    float *mask = to_device(Image(n * n, 1.0f)), *cc = device_array(n * n);
    const std::string dots = stdout_of([&] { morvandel_ccmax_by_one_template(mic, mask, cc, n, n, t, 4, 4, 16, 5, 5, 1); });
    EXPECT_EQ(dots, "\n");
    for (float v : to_host(cc, n * n)) ASSERT_EQ(v, -INFINITY);
    stdout_of([&] {
        morvandel_ccmax_by_one_template(mic, mask, cc, n, n, t, 4, 4, 16, 100.0f, std::nextafter(100.0f, 200.0f), 1e-6f);
    });

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((STDOUT_TO_STDERR(), morvandel_ccmax_by_one_template(mic, mask, cc, n, n, t, 4, 4, 16, 0, 360, 0)),
                ::testing::ExitedWithCode(1), "cannot be walked in steps of 0");
    EXPECT_EXIT((STDOUT_TO_STDERR(), morvandel_ccmax_by_one_template(mic, mask, cc, n, n, t, 4, 4, 16, 0, 360, 1e-6f)),
                ::testing::ExitedWithCode(1), "gives 3.6e\\+08 angles; at most 36000 are searched");
    for (float* p : {mic, t, mask, cc}) cudaFree(p);
}

TEST(Correlation, ATemplateThatDoesNotFitIsOneMicrographsFault) {
    // -1 after one warning, the maps untouched, in either form and on either axis.
    const int nx = 8, ny = 6;
    float *mic = to_device(Image(nx * ny, 1.0f)), *mask = to_device(Image(nx * ny, 1.0f));
    float *cc = to_device(Image(nx * ny, 5.0f)), *psi = to_device(Image(nx * ny, 9.0f));
    float* big = to_device(Image(9 * 9, 1.0f));
    const struct {
        int tnx, tny;
    } sizes[] = {{9, 2}, {2, 7}, {0, 3}};
    for (const auto& t : sizes) {
        SCOPED_TRACE(std::to_string(t.tnx) + " x " + std::to_string(t.tny));
        std::string said = stdout_of([&] {
            EXPECT_EQ(morvandel_ccmax_psi_by_one_template(mic, mask, cc, psi, 1, nx, ny, big, t.tnx, t.tny, 16, 0, 10,
                                                          5),
                      -1);
            EXPECT_EQ(morvandel_ccmax_by_one_template(mic, mask, cc, nx, ny, big, t.tnx, t.tny, 16, 0, 10, 5), -1);
        });
        EXPECT_EQ(count_of(said, "Warning in function morvandel_ccmax_psi_by_one_template()"), 2u) << said;
        EXPECT_NE(said.find("a template of " + std::to_string(t.tnx) + " x " + std::to_string(t.tny) +
                            " pixels does not fit in the micrograph of 8 x 6"),
                  std::string::npos)
            << said;
        EXPECT_EQ(to_host(cc, nx * ny), Image(nx * ny, 5.0f));
        EXPECT_EQ(to_host(psi, nx * ny), Image(nx * ny, 9.0f));
    }
    for (float* p : {mic, mask, cc, psi, big}) cudaFree(p);
}

TEST(Correlation, ZeroSumsGiveAZeroMapAndAWarning) {
    const int n = 8;
    float *mic = to_device(Image(n * n, 1.0f)), *cc = device_array(n * n);
    const struct {
        Image t, mask;
    } cases[] = {{Image(16, 0.0f), Image(n * n, 1.0f)}, {Image(16, 1.0f), Image(n * n, 0.0f)}};
    for (const auto& c : cases) {
        float *t = to_device(c.t), *mask = to_device(c.mask);
        const std::string said = stdout_of([&] { morvandel_ccmax_by_one_template(mic, mask, cc, n, n, t, 4, 4, 16, 0, 20, 5); });
        EXPECT_NE(said.find("cannot be normalised"), std::string::npos);
        for (float v : to_host(cc, n * n)) ASSERT_EQ(v, 0.0f);
        cudaFree(t);
        cudaFree(mask);
    }
    cudaFree(mic);
    cudaFree(cc);
}

TEST(Correlation, UpdateKeepsTheFirstOfEqualValuesAndIgnoresNaN) {
    float *ccmax = to_device(Image{1, 2, 3, 4}), *psi = to_device(Image{10, 10, 10, 10});
    float* cc = to_device(Image{1, 5, NAN, 3});
    hcuda_update_ccmax_psi_2d(ccmax, cc, psi, 20, 2, 2);
    EXPECT_EQ(to_host(ccmax, 4), (Image{1, 5, 3, 4}));
    EXPECT_EQ(to_host(psi, 4), (Image{10, 20, 10, 10}));
    float* later = to_device(Image{0, 0, 0, 9});
    hcuda_update_ccmax_2d(ccmax, later, 2, 2);
    EXPECT_EQ(to_host(ccmax, 4), (Image{1, 5, 3, 9}));
    for (float* p : {ccmax, psi, cc, later}) cudaFree(p);
}

// ================= band-pass =================

// The band-pass the naive way: the image's DFT in double, the elements whose
// squared frequency (in float, as the filter forms it) lies in the band kept,
// the inverse DFT divided by the pixel count.
Image naive_bandpass(const Image& in, int nx, int ny, float f2_min, float f2_max) {
    using cd = std::complex<double>;
    std::vector<cd> spectrum((size_t)nx * ny);
    const auto e = [](double turns) { return cd(std::cos(2 * M_PI * turns), std::sin(2 * M_PI * turns)); };
    for (int ky = 0; ky < ny; ++ky)
        for (int kx = 0; kx < nx; ++kx) {
            const float fx = (float)(kx <= nx / 2 ? kx : nx - kx) / (float)nx;
            const float fy = (float)(ky < (ny + 1) / 2 ? ky : ky - ny) / (float)ny, f2 = fx * fx + fy * fy;
            if (!(f2 >= f2_min && f2 <= f2_max)) continue;
            cd sum = 0;
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x) sum += (double)in[(size_t)y * nx + x] * e(-((double)kx * x / nx + (double)ky * y / ny));
            spectrum[(size_t)ky * nx + kx] = sum;
        }
    Image out(in.size());
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            cd sum = 0;
            for (int ky = 0; ky < ny; ++ky)
                for (int kx = 0; kx < nx; ++kx)
                    sum += spectrum[(size_t)ky * nx + kx] * e((double)kx * x / nx + (double)ky * y / ny);
            out[(size_t)y * nx + x] = (float)(sum.real() / ((double)nx * ny));
        }
    return out;
}

TEST(BandPass, KeepsTheBandOfTheImagesOwnSpectrumOnFastAndSlowSizes) {
    // Sides of fast lengths (16, 12, 14, 15, 9) filter by their own transforms;
    // slow ones (13, 11, 17) by the filter's kernel on a grid of fast lengths.
    // One work serves every size and band in turn, keeping their kernels.
    const struct {
        int nx, ny;
    } sizes[] = {{16, 12}, {15, 14}, {13, 11}, {17, 9}, {13, 11}};
    const struct {
        float lp, hp;
    } bands[] = {{12.0f, 60.0f}, {9.0f, INFINITY}};
    const float apix = 4.0f;
    BandPassWork work;
    for (const auto& z : sizes)
        for (const auto& b : bands) {
            SCOPED_TRACE(std::to_string(z.nx) + " x " + std::to_string(z.ny) + ", " + std::to_string(b.lp) + " to " +
                         std::to_string(b.hp) + " A");
            std::mt19937 rng((unsigned)(z.nx * z.ny));
            std::normal_distribution<float> g;
            Image in((size_t)z.nx * z.ny);
            for (float& v : in) v = g(rng) + 2.0f;
            const float f_min = apix / b.hp, f_max = apix / b.lp;
            const Image want = naive_bandpass(in, z.nx, z.ny, f_min * f_min, f_max * f_max);
            float* d = to_device(in);
            morvandel_bandpass_inplace(d, z.nx, z.ny, apix, b.lp, b.hp, work);
            const Image got = to_host(d, in.size());
            for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(got[i], want[i], 2e-5f) << i;
            cudaFree(d);
        }
}

// ================= grid picks =================

struct Grids {
    unsigned* idx;
    float* cellmax;
    int gx, gy;
};
Grids device_grids(int nx, int ny, int g) {
    const int gx = grid_cells(nx, g), gy = grid_cells(ny, g);
    unsigned* idx = nullptr;
    EXPECT_EQ(cudaMalloc((void**)&idx, (size_t)gx * gy * sizeof(unsigned)), cudaSuccess);
    return {idx, device_array((size_t)gx * gy), gx, gy};
}

TEST(Grid, FindTakesTheBestPixelAfterTheFirstOfEachCell) {
    Image map(16, 0.0f);
    map[2 * 4 + 2] = 9.0f;  // (2, 2): the first pixel of cell (1, 1)
    float* cc = to_device(map);
    Grids g = device_grids(4, 4, 2);
    hcuda_find_ccmax_grids(cc, g.idx, g.cellmax, 4, 4, g.gx, g.gy, 2);
    EXPECT_EQ(to_host(g.idx, 4)[3], 0u);
    EXPECT_EQ(to_host(g.cellmax, 4)[3], 9.0f);
    map[2 * 4 + 2] = 0.0f;
    map[3 * 4 + 3] = 9.0f;
    CUDA_CHECK(memcpy_H2D(cc, map.data(), 16 * sizeof(float)));
    hcuda_find_ccmax_grids(cc, g.idx, g.cellmax, 4, 4, g.gx, g.gy, 2);
    EXPECT_EQ(to_host(g.idx, 4)[3], 15u);

    // g = 3 on 4 x 4: 2 x 2 cells, the right column and bottom row one pixel wide.
    EXPECT_EQ(grid_cells(4, 3), 2);
    map.assign(16, 0.0f);
    map[1 * 4 + 3] = 5.0f;  // (3, 1), in the narrow cell (1, 0) below its first pixel (3, 0)
    map[3 * 4 + 3] = 7.0f;  // (3, 3), alone in cell (1, 1)
    CUDA_CHECK(memcpy_H2D(cc, map.data(), 16 * sizeof(float)));
    Grids g3 = device_grids(4, 4, 3);
    hcuda_find_ccmax_grids(cc, g3.idx, g3.cellmax, 4, 4, 2, 2, 3);
    EXPECT_EQ(to_host(g3.idx, 4), (std::vector<unsigned>{0, 7, 0, 0}));
    EXPECT_EQ(to_host(g3.cellmax, 4)[3], 7.0f);

    // A later map replaces a cell only with a larger best value.
    Image later(16, 0.0f);
    later[1 * 4 + 3] = 5.0f;   // equal: the earlier map keeps the cell
    later[2 * 4 + 1] = 8.0f;   // (1, 2) in cell (0, 0)
    float* later_d = to_device(later);
    hcuda_find_update_ccmax_grids(later_d, g3.idx, g3.cellmax, 4, 4, 2, 2, 3);
    EXPECT_EQ(to_host(g3.idx, 4), (std::vector<unsigned>{9, 7, 0, 0}));

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((STDOUT_TO_STDERR(), hcuda_find_ccmax_grids(cc, g.idx, g.cellmax, 4, 4, 1, 1, 0)),
                ::testing::ExitedWithCode(1), "cell side must be at least 1");
    for (void* p : {(void*)cc, (void*)later_d, (void*)g.idx, (void*)g.cellmax, (void*)g3.idx, (void*)g3.cellmax})
        cudaFree(p);
}

// Picks of a map with the given peaks (x, y, value), g = 4, through the host form.
std::vector<unsigned> picks_of(int nx, int ny, const std::vector<std::array<float, 3>>& peaks, float cutoff,
                               const std::vector<unsigned>& excluded = {}) {
    Image map((size_t)nx * ny, 0.0f);
    for (const auto& p : peaks) map[(size_t)p[1] * nx + (size_t)p[0]] = p[2];
    float *cc = to_device(map), *psi = to_device(Image(map.size(), 33.0f));
    const int cells = grid_cells(nx, 4) * grid_cells(ny, 4);
    std::vector<unsigned> idx(cells);
    Image cellmax(cells), cellpsi(cells, -1.0f);
    if (excluded.empty()) {
        gpu_find_filter_ccmax_psi_grids(cc, psi, idx.data(), cellmax.data(), cellpsi.data(), cutoff, nx, ny, 4);
    } else {
        unsigned* ex = to_device(excluded);
        gpu_find_filter_ccmax_psi_grids_exclusive(cc, psi, idx.data(), cellmax.data(), cellpsi.data(), cutoff, nx, ny,
                                                  4, ex, (int)excluded.size());
        cudaFree(ex);
    }
    for (int k = 0; k < cells; ++k) EXPECT_TRUE(idx[k] == 0 || cellpsi[k] == 33.0f) << k;
    cudaFree(cc);
    cudaFree(psi);
    std::vector<unsigned> kept;
    for (unsigned v : idx)
        if (v) kept.push_back(v);
    return kept;
}

TEST(Grid, FilterByCutoffNeighboursAndExcludedPositions) {
    const int nx = 16, ny = 8;
    auto at = [&](int x, int y) { return (unsigned)(y * nx + x); };
    // Adjacent cells, 3 pixels apart (9 < 2*16): the smaller goes; equal ones both stay.
    EXPECT_EQ(picks_of(nx, ny, {{{2, 2, 0.5f}}, {{5, 2, 0.7f}}}, 0.1f), (std::vector<unsigned>{at(5, 2)}));
    EXPECT_EQ(picks_of(nx, ny, {{{2, 2, 0.7f}}, {{5, 2, 0.7f}}}, 0.1f), (std::vector<unsigned>{at(2, 2), at(5, 2)}));
    // Cells two apart are never compared, however near.
    EXPECT_EQ(picks_of(nx, ny, {{{3, 1, 0.5f}}, {{8, 1, 0.7f}}}, 0.1f).size(), 2u);
    // A maximum of exactly the cutoff stays; just below goes.
    EXPECT_EQ(picks_of(nx, ny, {{{2, 2, 0.3f}}}, 0.3f).size(), 1u);
    EXPECT_EQ(picks_of(nx, ny, {{{2, 2, std::nextafter(0.3f, 0.0f)}}}, 0.3f).size(), 0u);
    // An excluded position within sqrt(2)*g drops a pick without neighbours.
    EXPECT_EQ(picks_of(nx, ny, {{{10, 5, 0.9f}}}, 0.1f, {at(13, 7)}).size(), 0u);
    EXPECT_EQ(picks_of(nx, ny, {{{10, 5, 0.9f}}}, 0.1f, {at(15, 1)}).size(), 1u);
    // A chain a < b < c: b gives way to c, and a to b as found, whatever
    // order the cells are visited in.
    EXPECT_EQ(picks_of(nx, ny, {{{3, 6, 0.4f}}, {{5, 6, 0.5f}}, {{9, 6, 0.6f}}}, 0.1f),
              (std::vector<unsigned>{at(9, 6)}));
}

TEST(Grid, NeighbourFilterGivesTheSamePicksAtEveryThreadCount) {
    const int nx = 300, ny = 220, g = 5;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(0, 1);
    Image map((size_t)nx * ny);
    for (float& v : map) v = u(rng);
    float *cc = to_device(map), *psi = to_device(map);
    const int cells = grid_cells(nx, g) * grid_cells(ny, g);
    const int before = omp_get_max_threads();
    std::vector<std::vector<unsigned>> runs;
    for (int threads : {1, 3, omp_get_num_procs()}) {
        omp_set_num_threads(threads);
        std::vector<unsigned> idx(cells);
        Image cellmax(cells), cellpsi(cells);
        gpu_find_filter_ccmax_psi_grids(cc, psi, idx.data(), cellmax.data(), cellpsi.data(), 0.5f, nx, ny, g);
        runs.push_back(idx);
    }
    omp_set_num_threads(before);
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_EQ(runs[0], runs[2]);
    cudaFree(cc);
    cudaFree(psi);
}

// ================= ice, exclusion, mask and outputs =================

TEST(Ice, CellLayoutAndTheRejectingPixel) {
    EXPECT_EQ(grid_cells(1024, 42), 25);
    const CellBounds last = cell_bounds(24, 24, 42, 1024, 1024);
    EXPECT_EQ(last.x1 - last.x0, 16);
    EXPECT_EQ(last.y1 - last.y0, 16);

    // Four 3 x 3 cells of a 6 x 6 map, background sigma 1 and average 0.
    const int n = 6;
    Image ave(n * n, 0.0f), sigma(n * n, 1.0f);
    sigma[0] = 5.0f;            // cell 0: the only outlier is the first pixel
    sigma[1 * n + 4] = 1.3f;    // cell 1: sigma equal to the cutoff
    ave[2 * n + 5] = 1.0f;      // cell 1: average equal to lave_max
    sigma[4 * n + 1] = 2.0f;    // cell 2: two outliers; the later one rejects
    sigma[5 * n + 2] = 3.0f;
    ave[4 * n + 4] = -1.5f;     // cell 3: below lave_min
    float *ave_d = to_device(ave), *sigma_d = to_device(sigma), *cave = device_array(4), *csig = device_array(4);
    unsigned* idx = to_device(std::vector<unsigned>(4, 99));
    hcuda_find_sigma_grids(ave_d, sigma_d, idx, cave, csig, n, n, 3, -1.0f, 1.0f, 1.3f);
    EXPECT_EQ(to_host(idx, 4), (std::vector<unsigned>{0, 0, 5 * n + 2, 4 * n + 4}));
    EXPECT_EQ(to_host(csig, 4), (Image{5.0f, 1.0f, 3.0f, 1.0f}));
    EXPECT_EQ(to_host(cave, 4), (Image{0.0f, 0.0f, 0.0f, -1.5f}));

    // The mask: 1 on accepted cells, 0 on rejected ones (flag 0), and the reverse.
    float* mask = device_array(n * n);
    hcuda_2d_generate_mask_by_coords(mask, nullptr, n, n, 3, idx, 0.0f);
    Image m = to_host(mask, n * n);
    EXPECT_EQ(m[0], 1.0f);
    EXPECT_EQ(m[5 * n + 0], 0.0f);
    EXPECT_EQ(m[5 * n + 5], 0.0f);
    hcuda_2d_generate_mask_by_coords(mask, nullptr, n, n, 3, idx, 1.0f);
    EXPECT_EQ(to_host(mask, n * n)[0], 0.0f);
    for (void* p : {(void*)ave_d, (void*)sigma_d, (void*)cave, (void*)csig, (void*)idx, (void*)mask}) cudaFree(p);
}

TEST(Ice, MinimumDistanceBelowTwoPixelsStillGivesCellsOfOnePixel) {
    Tessoranth_Para p{};
    tessoranth_init_parameters(1, p);
    p.min_dist_px = 1.0f;  // 1.414 * 1.0 * 0.5 truncates to 0
    p.write_rejected_box = 0;
    const int n = 8;
    Image flat(n * n, 0.0f);
    flat[3 * n + 3] = 50.0f;
    float* mic = to_device(flat);
    unsigned* idx = to_device(std::vector<unsigned>(n * n, 7));
    hcuda_2d_ice_detect(mic, n, n, make_int2(0, 0), idx, "m.mrc", p);
    for (unsigned v : to_host(idx, n * n)) EXPECT_EQ(v, 0u);  // a cell of one pixel has only its first
    cudaFree(mic);
    cudaFree(idx);
    tessoranth_free_parameters(p);
}

TEST(Ice, NoiseDeviationIsRobustAndTheMapIsInItsUnits) {
    // White noise of deviation 2.5 about 40: its deviation, within 1%.
    const int n = 1500;
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(40.0f, 2.5f);
    Image image((size_t)n * n);
    for (float& v : image) v = noise(rng);
    EXPECT_NEAR(morvandel_noise_deviation(image.data(), image.size()), 2.5f, 0.025f);
    EXPECT_NEAR(morvandel_median(image.data(), image.size()), 40.0f, 0.02f);
    // A fifth of it dense contamination 8 deviations below, and hot pixels: the
    // plain deviation doubles, the noise's stays within 2%.
    for (int y = 0; y < n / 5; ++y)
        for (int x = 0; x < n; ++x) image[(size_t)y * n + x] -= 20.0f;
    for (int k = 0; k < 50; ++k) image[(size_t)k * 44711 % image.size()] = 1e5f;
    EXPECT_NEAR(morvandel_noise_deviation(image.data(), image.size()), 2.5f, 0.05f);
    // An image without variance gives 0; one that is mostly one value with a
    // few other pixels, the plain deviation of its pixels.
    const Image flat(1000, 3.0f);
    EXPECT_EQ(morvandel_noise_deviation(flat.data(), flat.size()), 0.0f);
    Image few(1000, 0.0f);
    for (int k = 0; k < 10; ++k) few[k * 97] = 10.0f;
    EXPECT_NEAR(morvandel_noise_deviation(few.data(), few.size()), std::sqrt(0.01 * 0.99) * 10.0, 1e-4);

    // The ice map: (map - median) * to_noise.
    const Image map = {1, 2, 3, 4, 10};
    float *map_d = to_device(map), *ice_d = device_array(5);
    morvandel_ice_map(ice_d, map_d, 5, 0.5f);
    EXPECT_EQ(to_host(ice_d, 5), (Image{-1.0f, -0.5f, 0.0f, 0.5f, 3.5f}));
    // The sample of a device image: every pixel of a small one; of a large one
    // every k-th, k odd, at most MORVANDEL_SPREAD_SAMPLE.
    EXPECT_EQ(morvandel_spread_sample(map_d, 5), map);
    float* large_d = to_device(image);
    const std::vector<float> sample = morvandel_spread_sample(large_d, image.size());
    const size_t step = (image.size() + MORVANDEL_SPREAD_SAMPLE - 1) / MORVANDEL_SPREAD_SAMPLE | 1;
    ASSERT_EQ(sample.size(), (image.size() - 1) / step + 1);
    EXPECT_LE(sample.size(), MORVANDEL_SPREAD_SAMPLE);
    for (size_t k = 0; k < sample.size(); k += 997) EXPECT_EQ(sample[k], image[k * step]) << k;
    cudaFree(large_d);
    cudaFree(map_d);
    cudaFree(ice_d);
}

TEST(Ice, AreaLeftOutIsWithinTheExclusiveFiltersReachOfTheMarks) {
    // g = 3: a pick is dropped below a squared distance of 18 from a mark, so
    // one mark far from the edges leaves out the 57 pixels with dx^2 + dy^2 < 18.
    const int nx = 40, ny = 30, g = 3;
    int disc = 0;
    for (int dy = -5; dy <= 5; ++dy)
        for (int dx = -5; dx <= 5; ++dx) disc += dx * dx + dy * dy < 18 ? 1 : 0;
    ASSERT_EQ(disc, 57);
    const unsigned centre = 15 * nx + 20;
    MorvandelLeftOut left = morvandel_left_out({centre, 0u}, {}, nx, ny, g);
    EXPECT_DOUBLE_EQ(left.ice, 57.0 / (nx * ny));
    EXPECT_EQ(left.excluded, 0.0);
    // An excluded mark on the same pixel adds nothing; one beside it only what
    // the ice's reach does not hold; a mark in a corner only its part inside.
    left = morvandel_left_out({centre}, {centre}, nx, ny, g);
    EXPECT_DOUBLE_EQ(left.ice, 57.0 / (nx * ny));
    EXPECT_EQ(left.excluded, 0.0);
    left = morvandel_left_out({centre}, {centre + 1}, nx, ny, g);
    EXPECT_GT(left.excluded, 0.0);
    EXPECT_LT(left.excluded, 57.0 / (nx * ny));
    int corner = 0;
    for (int dy = 0; dy <= 5; ++dy)
        for (int dx = 0; dx <= 5; ++dx) corner += dx * dx + dy * dy < 18 ? 1 : 0;
    left = morvandel_left_out({}, {0u}, nx, ny, g);  // 0 is no mark
    EXPECT_EQ(left.excluded, 0.0);
    left = morvandel_left_out({(unsigned)(nx * ny - 1)}, {}, nx, ny, g);  // the last pixel
    EXPECT_DOUBLE_EQ(left.ice, (double)corner / (nx * ny));
    // A map covered whole.
    std::vector<unsigned> every;
    for (int k = 1; k < nx * ny; k += 2) every.push_back((unsigned)k);
    EXPECT_DOUBLE_EQ(morvandel_left_out(every, {}, nx, ny, g).ice, 1.0);
    // Whole cells left out as ice: a cell clear of the mark's reach adds its
    // area, a cut cell at the map's edge only its part inside.
    const int gx = (nx + g - 1) / g;
    std::vector<unsigned> cells((size_t)gx * ((ny + g - 1) / g), 0u);
    cells[0] = 1;                 // (0..g-1, 0..g-1), far from the centre's reach
    cells[cells.size() - 1] = 1;  // the last, cut cell
    const int last_w = nx - (gx - 1) * g, last_h = ny - ((ny + g - 1) / g - 1) * g;
    left = morvandel_left_out({centre}, {}, nx, ny, g, cells);
    EXPECT_DOUBLE_EQ(left.ice, (57.0 + g * g + last_w * last_h) / (nx * ny));
}

TEST(LeftOut, HotPixelsAreMendedAsTheMapIsShrunkAndFeaturesKept) {
    // 24 x 24 of white noise (deviation 1) shrunk by 2, bound 10 about 0. Each
    // case puts its pixels in; a mended pixel counts in its block's mean as the
    // median of its eight neighbours, every other block keeps the plain mean.
    const int n = 24, f = 2, w = n / f;
    std::mt19937 rng(3);
    std::normal_distribution<float> g;
    Image noise((size_t)n * n);
    for (float& v : noise) v = g(rng);
    struct Case {
        const char* what;
        std::vector<std::array<int, 3>> pixels;  // x, y, value
        std::vector<std::array<int, 2>> mended;
    };
    const Case cases[] = {
        {"one hot pixel", {{7, 9, 100000}}, {{7, 9}}},
        {"a dark one on the edge", {{0, 13, -10000}}, {{0, 13}}},
        {"two side by side", {{15, 4, 10000}, {16, 4, 12000}}, {{15, 4}, {16, 4}}},
        {"a bright 3 x 3 feature", {{4, 4, 50}, {5, 4, 50}, {6, 4, 50}, {4, 5, 50}, {5, 5, 50}, {6, 5, 50},
                                     {4, 6, 50}, {5, 6, 50}, {6, 6, 50}}, {}},
        {"a pixel within the bound", {{20, 20, 9}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image in = noise;
        for (const auto& p : c.pixels) in[(size_t)p[1] * n + p[0]] = (float)p[2];
        Image want((size_t)w * w);
        for (int y = 0; y < w; ++y)
            for (int x = 0; x < w; ++x) {
                double sum = 0;
                for (int v = f * y; v < f * y + f; ++v)
                    for (int u = f * x; u < f * x + f; ++u) {
                        double value = in[(size_t)v * n + u];
                        for (const auto& m : c.mended)
                            if (m[0] == u && m[1] == v) {
                                std::vector<float> around;
                                for (int dy = -1; dy <= 1; ++dy)
                                    for (int dx = -1; dx <= 1; ++dx)
                                        if ((dx || dy) && u + dx >= 0 && u + dx < n && v + dy >= 0 && v + dy < n)
                                            around.push_back(in[(size_t)(v + dy) * n + u + dx]);
                                std::sort(around.begin(), around.end());
                                const size_t k = around.size();
                                value = k % 2 ? around[k / 2] : 0.5 * (around[k / 2 - 1] + around[k / 2]);
                            }
                        sum += value;
                    }
                want[(size_t)y * w + x] = (float)(sum / (f * f));
            }
        float *in_d = to_device(in), *out_d = device_array((size_t)w * w);
        hcuda_2d_meanshrink(in_d, out_d, n, n, f);
        const Image plain = to_host(out_d, (size_t)w * w);
        hcuda_2d_meanshrink_mend_hot(in_d, out_d, n, n, f, 0.0f, 10.0f);
        const Image got = to_host(out_d, (size_t)w * w);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_NEAR(got[i], want[i], 1e-5) << "block " << i;
            if (c.mended.empty()) {
                EXPECT_EQ(got[i], plain[i]) << "block " << i;  // to the bit
            }
        }
        for (float* d : {in_d, out_d}) cudaFree(d);
    }
}

TEST(LeftOut, SoftMaskFallsFromTheKeptCellsAcrossHalfACell) {
    // Cells of 4 on a 12 x 10 map (3 x 3 cells, the last row 2 high). With the
    // middle cell rejected and width 2, its pixels next to a kept cell are 0.5
    // (a half cosine at distance 1 of 2) and the rest 0; kept cells are 1.
    const int nx = 12, ny = 10, e = 4;
    std::vector<unsigned> idx(9, 0u);
    idx[4] = 5 * nx + 5;
    unsigned* idx_d = to_device(idx);
    float* mask = device_array((size_t)nx * ny);
    hcuda_2d_generate_soft_mask_by_coords(mask, nx, ny, e, idx_d, 2.0f);
    Image got = to_host(mask, (size_t)nx * ny);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            const bool rejected = x >= 4 && x < 8 && y >= 4 && y < 8;
            const bool rim = x == 4 || x == 7 || y == 4 || y == 7;
            EXPECT_NEAR(got[(size_t)y * nx + x], !rejected ? 1.0f : rim ? 0.5f : 0.0f, 1e-6) << x << "," << y;
        }
    // Width 4, the whole cell: distance 2 gives 0.5; beyond the map is not
    // kept, so a rejected corner cell falls only towards its kept neighbours.
    idx.assign(9, 0u);
    idx[0] = 1;
    CUDA_CHECK(memcpy_H2D(idx_d, idx.data(), idx.size() * sizeof(unsigned)));
    hcuda_2d_generate_soft_mask_by_coords(mask, nx, ny, e, idx_d, 4.0f);
    got = to_host(mask, (size_t)nx * ny);
    EXPECT_NEAR(got[0 * nx + 2], 0.5f * (1.0f + std::cos(3.14159265f * 2 / 4)), 1e-6);  // 2 from cell (1, 0)
    EXPECT_NEAR(got[0 * nx + 3], 0.5f * (1.0f + std::cos(3.14159265f * 1 / 4)), 1e-6);
    EXPECT_NEAR(got[3 * nx + 3], 0.5f * (1.0f + std::cos(3.14159265f * 1 / 4)), 1e-6);  // diagonal: nearer sides
    EXPECT_EQ(got[0], 0.0f);
    // Every cell rejected: 0 everywhere.
    idx.assign(9, 1u);
    CUDA_CHECK(memcpy_H2D(idx_d, idx.data(), idx.size() * sizeof(unsigned)));
    hcuda_2d_generate_soft_mask_by_coords(mask, nx, ny, e, idx_d, 2.0f);
    for (float v : to_host(mask, (size_t)nx * ny)) EXPECT_EQ(v, 0.0f);
    cudaFree(mask);
    cudaFree(idx_d);
}

using Outputs = CoordFileTest;

TEST_F(Outputs, RejectedAreasInOriginalPixels) {
    // 40 x 40 map, cells of 10: one rejected cell at pixel (23, 12), one too near the edge.
    // Shrink 4, origin (6, 0): pixel (23, 12) is the block from (98, 48), centre (99.5, 49.5):
    // a half goes up from an odd map pixel (23) and down from an even one (12).
    const int nx = 40, e = 10;
    std::vector<unsigned> idx(16, 0);
    idx[1 * 4 + 2] = 12 * nx + 23;
    idx[0] = 2 * nx + 3;
    const Image ave(16, 0.25f), sig(16, 1.5f);
    output_ice_coord(path("r.star").c_str(), idx.data(), ave.data(), sig.data(), nx, nx, make_int2(6, 0), e, 4, 1);
    EXPECT_EQ(read("r.star"), "\ndata_\n\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n100     49      \n");
    output_ice_coord(path("r.box").c_str(), idx.data(), ave.data(), sig.data(), nx, nx, make_int2(6, 0), e, 4, 0);
    EXPECT_EQ(read("r.box"), "80      29      40      40      \t0.250000\t1.500000\n");
    std::vector<PTCL_BOX> back(4);
    EXPECT_EQ(read_all_ptcl_boxes(back.data(), 4, path("r.star").data()), 1);
    EXPECT_EQ(back[0].x, 100);
    EXPECT_EQ(back[0].y, 49);
}

TEST_F(Outputs, ExcludedBoxesMarkTheirCentresCells) {
    const int nx = 40, ny = 30, e = 10, shrink = 4;
    unsigned* idx = to_device(std::vector<unsigned>(12, 0));
    const int2 origin = make_int2(20, 0);
    PTCL_BOX boxes[] = {
        {100, 60, 40, 40, 0, 0, 0, 0},   // centre (120, 80): map (25, 20), cell (2, 2)
        {0, 0, 10, 10, 0, 0, 0, 0},      // left of the map's area: skipped
        {180, 10, 8, 8, 0, 0, 0, 0},     // centre (184, 14): beyond x = 20 + 4*40: skipped
    };
    add_excluded_coords_to_ice(idx, nx, ny, e, boxes, 3, shrink, origin);
    std::vector<unsigned> want(12, 0);
    want[2 * 4 + 2] = 20 * nx + 25;
    EXPECT_EQ(to_host(idx, 12), want);

    // From a box file; a null name, a missing file and one that cannot be read mark nothing.
    std::string box = write("x.box", "96 120 8 8\n");  // centre (100, 124): map row 31 of 30, skipped
    std::string box2 = write("y.box", "60 20 8 8\n");  // centre (64, 24): map (11, 6), cell (1, 0)
    std::string bad = write("z.box", "100 100\n");     // no box size: the reader refuses the file
    const std::string said = stdout_of([&] {
        add_excluded_boxf_to_ice(idx, nx, ny, e, bad.data(), shrink, origin);
        add_excluded_boxf_to_ice(idx, nx, ny, e, box.data(), shrink, origin);
        add_excluded_boxf_to_ice(idx, nx, ny, e, box2.data(), shrink, origin);
        char none[] = "NULL";
        add_excluded_boxf_to_ice(idx, nx, ny, e, none, shrink, origin);
        std::string gone = path("gone.box");
        add_excluded_boxf_to_ice(idx, nx, ny, e, gone.data(), shrink, origin);
    });
    want[1] = 6 * nx + 11;
    EXPECT_EQ(to_host(idx, 12), want);
    EXPECT_NE(said.find("       1 particles in file " + box2 + " excluded from auto-picking"), std::string::npos);
    EXPECT_NE(said.find("does NOT exist"), std::string::npos);
    EXPECT_EQ(said.find("particles in file " + bad), std::string::npos) << said;
    cudaFree(idx);
}

TEST_F(Outputs, PicksAsBoxRowsAndStarFilesInOriginalPixels) {
    // Map 40 x 40, box 20 (b = 10): picks 10 and 11 pixels from the left edge.
    const int nx = 40;
    std::vector<unsigned> idx = {20 * 40 + 10, 20 * 40 + 11, 0};
    const Image cc = {0.9f, 0.8f, 0.7f}, psi = {10, 275.5f, 0};
    FILE* f = fopen(path("p.box").c_str(), "w");
    output_morvandel_coord_one_temp(f, idx.data(), cc.data(), psi.data(), 3, 3, nx, nx, 20,
                                    pick_frame(make_int2(0, 0), 1));
    fclose(f);
    EXPECT_EQ(read("p.box"), "1       10      20      20      0.800000\t3       \t275.500 \n");

    // Shrink 4 and origin (8, 2): map pixel (11, 20) is the block from (52, 82),
    // centre (53.5, 83.5), where the particle of a template centred on its
    // pixel under the pick lies; the halves go up from the odd map pixel 11 and
    // down from the even 20. A template of 128 shrunk to 32 holds its centre
    // (pixel 64) at 15.625, 3/8 of a map pixel before its pixel 16: the
    // particle lies at the block's first pixel. With a box of 84 the pick at
    // map (10, 20), at most 42 pixels from the area's edge, is left out.
    const struct {
        float cx, cy;
        int tnx, tny, x, y;
    } frames[] = {{8, 8, 17, 17, 54, 83}, {15.625f, 15.625f, 32, 32, 52, 82}, {15.625f, 8, 32, 17, 52, 83}};
    for (const auto& c : frames) {
        SCOPED_TRACE(std::to_string(c.tnx) + " x " + std::to_string(c.tny));
        const PickFrame frame = pick_frame(make_int2(8, 2), 4, make_float2(c.cx, c.cy), c.tnx, c.tny);
        output_morvandel_star_one_temp(path("p.star").c_str(), idx.data(), cc.data(), psi.data(), 2, 3, nx, nx, 84,
                                       frame);
        std::vector<PTCL_BOX> back(4);
        ASSERT_EQ(read_all_ptcl_boxes(back.data(), 4, path("p.star").data()), 1);
        EXPECT_EQ(back[0].x, c.x);
        EXPECT_EQ(back[0].y, c.y);
        EXPECT_EQ(back[0].class_id, 2);
        EXPECT_FLOAT_EQ(back[0].angle, 275.5f);
        EXPECT_FLOAT_EQ(back[0].score, 0.8f);
        f = fopen(path("q.box").c_str(), "w");
        output_morvandel_coord_one_temp(f, idx.data(), cc.data(), psi.data(), 2, 3, nx, nx, 84, frame);
        fclose(f);
        ASSERT_EQ(read_all_ptcl_boxes(back.data(), 4, path("q.box").data()), 1);
        EXPECT_EQ(back[0].x + back[0].w / 2, c.x);
        EXPECT_EQ(back[0].y + back[0].h / 2, c.y);
        EXPECT_EQ(back[0].w, 84);
    }

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((STDOUT_TO_STDERR(), output_morvandel_star_one_temp(path("no/such/dir.star").c_str(), idx.data(),
                                                                    cc.data(), psi.data(), 1, 3, nx, nx, 20,
                                                                    pick_frame(make_int2(0, 0), 1))),
                ::testing::ExitedWithCode(1), "Cannot write to file(.|\n)*output_morvandel_star_one_temp");
}

// ================= the whole chain =================

struct Particle {
    double x, y, psi;  // original pixels, degrees
};

// A 512 x 512 micrograph at 1 A: particles, one bright and one dark blob, noise.
Image synthetic_micrograph(const std::vector<Particle>& particles, int n) {
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0.0f, 0.25f);
    Image mic((size_t)n * n);
    const struct {
        double x, y, r, v;
    } blobs[] = {{400, 120, 50, 3.0}, {400, 380, 50, -3.0}};
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            double v = noise(rng);
            for (const Particle& p : particles)
                if (std::abs(x - p.x) < 40 && std::abs(y - p.y) < 40) v += pattern(x - p.x, y - p.y, p.psi, 1.0);
            for (const auto& b : blobs)
                if (std::hypot(x - b.x, y - b.y) < b.r) v += b.v;
            mic[(size_t)y * n + x] = (float)v;
        }
    return mic;
}

double angle_gap(double a, double b) {
    const double d = std::fmod(std::fabs(a - b), 360.0);
    return std::min(d, 360.0 - d);
}

TEST_F(Outputs, PicksParticlesAtTheirPositionsAndAnglesAndRejectsIceAndExcludedBoxes) {
    const int n = 512;
    const std::vector<Particle> particles = {{80, 80, 0},     {200, 90, 35},  {90, 220, 90},
                                             {210, 230, 150}, {100, 400, 220}, {230, 420, 300}};
    const std::string mic_name = path("mic.mrc"), tpl_name = path("tpl.mrcs"), excluded = path("mic_manual.box");
    const Image mic = synthetic_micrograph(particles, n);
    mrcf_write_xyz_data(tpl_name.c_str(), pattern_image(48, 1.0).data(), 48, 48, 1);
    write("mic_manual.box", "190 210 40 40\n");  // around the fourth particle

    // Parameters.
    Parsed run({"--apixM", "1", "--diameter", "40", "--speed", "1", "--ang_step", "10", "--T", tpl_name,
                "--lave_D", "100", "--lsigma_D", "60", "--cc_cutoff", "0.3", mic_name, "--write_bg_mic"});
    const Tessoranth_Para& p = run.p;
    ASSERT_EQ(p.shrink, 2);
    const int s = p.shrink, nx = n / s, ny = n / s, e = tessoranth_cell_side(p.min_dist_px);

    // Template, shrunk with the micrograph and normalised.
    int tnx, tny, tnz;
    float2 centre;
    float* t = get_or_create_template_data(tnx, tny, tnz, p.T, p.radius_px, p.apixT, p.apixM, p.shrink,
                                           p.m_edge_ratio, &centre);
    ASSERT_EQ(tnx, 24);
    float* t_d = device_array((size_t)tnx * tny);
    normalize_template_data(t_d, t, tnx, tny, tnz, p.T_norm_type, p.radius_px, p.m_edge_ratio);
    destroy_template_data(t);

    // The shrunk micrograph, its ice, the excluded box and the mask.
    Morvandel m;
    m.malloc_mic(nx, ny);
    float* full = to_device(mic);
    hcuda_2d_meanshrink(full, m.mic_d, n, n, s);
    cudaFree(full);
    const int cells = grid_cells(nx, e) * grid_cells(ny, e);
    unsigned* ice = to_device(std::vector<unsigned>(cells, 0));
    stdout_of([&] {
        hcuda_2d_ice_detect(m.mic_d, nx, ny, make_int2(0, 0), ice, mic_name.c_str(), p);
        add_excluded_boxf_to_ice(ice, nx, ny, e, const_cast<char*>(excluded.c_str()), s, make_int2(0, 0));
    });
    float* mask = device_array((size_t)nx * ny);
    hcuda_2d_generate_mask_by_coords(mask, m.mic_d, nx, ny, e, ice, 0.0f);

    // Both blobs are marked; the rejected areas and the local average are written.
    const std::vector<unsigned> rejected = to_host(ice, cells);
    int bright = 0, dark = 0;
    for (unsigned v : rejected) {
        const double x = s * (v % nx), y = s * (v / nx);
        if (v && std::hypot(x - 400, y - 120) < 90) ++bright;
        if (v && std::hypot(x - 400, y - 380) < 90) ++dark;
    }
    EXPECT_GE(bright, 4);
    EXPECT_GE(dark, 4);
    EXPECT_GT(read("mic_rejected.box").size(), 0u);
    EXPECT_EQ(is_file_morvandel_done(path("mic_rejected.star").c_str()), 1);
    EXPECT_EQ(is_file_morvandel_done(path("mic_bg.mrc").c_str()), 1);

    // Correlation over the angles, then picks away from the rejected cells.
    float *ccmax = device_array((size_t)nx * ny), *psi = device_array((size_t)nx * ny);
    stdout_of([&] {
        morvandel_ccmax_psi_by_one_template(m.mic_d, mask, ccmax, psi, 1, nx, ny, t_d, tnx, tny, (float)(tnx * tny),
                                            0, 360, p.ang_step, &centre);
    });
    std::vector<unsigned> marks;
    for (unsigned v : rejected)
        if (v) marks.push_back(v);
    unsigned* marks_d = to_device(marks);
    std::vector<unsigned> idx(cells);
    Image cellmax(cells), cellpsi(cells);
    gpu_find_filter_ccmax_psi_grids_exclusive(ccmax, psi, idx.data(), cellmax.data(), cellpsi.data(), p.cc_cutoff,
                                              nx, ny, e, marks_d, (int)marks.size());
    const PickFrame frame = pick_frame(make_int2(0, 0), s, centre, tnx, tny);
    output_morvandel_star_one_temp(path("mic_picks.star").c_str(), idx.data(), cellmax.data(), cellpsi.data(), 1,
                                   cells, nx, ny, p.boxsize, frame);
    FILE* f = fopen(path("mic_picks.box").c_str(), "w");
    output_morvandel_coord_one_temp(f, idx.data(), cellmax.data(), cellpsi.data(), 1, cells, nx, ny, p.boxsize,
                                    frame);
    fclose(f);

    // Read back: every particle but the excluded one is found within 2 shrunk
    // pixels at its angle within one step, and nothing else is picked.
    std::vector<PTCL_BOX> stars(64), boxes(64);
    const int picked = read_all_ptcl_boxes(stars.data(), 64, path("mic_picks.star").data());
    ASSERT_EQ(read_all_ptcl_boxes(boxes.data(), 64, path("mic_picks.box").data()), picked);
    for (int k = 0; k < picked; ++k) {
        EXPECT_EQ(boxes[k].x + boxes[k].w / 2, stars[k].x);
        EXPECT_EQ(boxes[k].w, p.boxsize);
    }
    for (size_t i = 0; i < particles.size(); ++i) {
        const Particle& q = particles[i];
        const PTCL_BOX* hit = nullptr;
        for (int k = 0; k < picked; ++k)
            if (std::hypot(stars[k].x - q.x, stars[k].y - q.y) <= 2.0 * s) hit = &stars[k];
        if (i == 3) {
            EXPECT_EQ(hit, nullptr) << "the excluded particle was picked";
            continue;
        }
        ASSERT_NE(hit, nullptr) << "particle " << i << " not picked";
        EXPECT_LE(angle_gap(hit->angle, q.psi), p.ang_step) << "particle " << i;
        EXPECT_GE(hit->score, p.cc_cutoff);
    }
    for (int k = 0; k < picked; ++k) {
        double nearest = 1e9;
        for (const Particle& q : particles) nearest = std::min(nearest, std::hypot(stars[k].x - q.x, stars[k].y - q.y));
        EXPECT_LE(nearest, 2.0 * s) << "pick on the background at " << stars[k].x << "," << stars[k].y;
    }
    EXPECT_EQ(picked, 5);
    m.free_mic();
    for (void* d : {(void*)t_d, (void*)ice, (void*)mask, (void*)ccmax, (void*)psi, (void*)marks_d}) cudaFree(d);
}

// ================= picks and the original micrograph =================

// Particles of the pattern at scale on a jittered grid of an n x n micrograph,
// with noise; their centres (original pixels, not whole) and angles in truth.
Image particle_field(int n, double scale, double spacing, unsigned seed, std::vector<Particle>& truth) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    std::normal_distribution<float> noise(0.0f, 0.5f);
    truth.clear();
    for (double y = spacing; y < n - spacing; y += spacing)
        for (double x = spacing; x < n - spacing; x += spacing)
            truth.push_back({x + (u(rng) - 0.5) * spacing / 4, y + (u(rng) - 0.5) * spacing / 4, 360 * u(rng)});
    Image mic((size_t)n * n);
    for (float& v : mic) v = noise(rng);
    const int reach = (int)std::ceil(22 * scale);
    for (const Particle& p : truth)
        for (int y = (int)p.y - reach; y <= (int)p.y + reach; ++y)
            for (int x = (int)p.x - reach; x <= (int)p.x + reach; ++x)
                mic[(size_t)y * n + x] += pattern(x - p.x, y - p.y, p.psi, scale);
    return mic;
}

// One template over one micrograph as a driver would pick it with the record's
// values: shrink, correlate over the angles, keep the cells' picks and write
// them beside the micrograph as "_picks.star".
struct TemplatePicker {
    const Tessoranth_Para& p;
    int tnx = 0, tny = 0;
    float2 centre;
    float* t_d = nullptr;
    explicit TemplatePicker(const Tessoranth_Para& para) : p(para) {
        int tnz;
        float* t = get_or_create_template_data(tnx, tny, tnz, p.T, p.radius_px, p.apixT, p.apixM, p.shrink,
                                               p.m_edge_ratio, &centre);
        t_d = device_array((size_t)tnx * tny * tnz);
        normalize_template_data(t_d, t, tnx, tny, tnz, p.T_norm_type, p.radius_px, p.m_edge_ratio);
        destroy_template_data(t);
    }
    ~TemplatePicker() { cudaFree(t_d); }
    int pick(Morvandel& m, const char* name) const {
        const int s = p.shrink, nx = m.nx / s, ny = m.ny / s, g = tessoranth_cell_side(p.min_dist_px);
        float *mic = device_array((size_t)nx * ny), *mask = to_device(Image((size_t)nx * ny, 1.0f));
        float *ccmax = device_array((size_t)nx * ny), *psi = device_array((size_t)nx * ny);
        hcuda_2d_meanshrink(m.mic_d, mic, m.nx, m.ny, s);
        morvandel_ccmax_psi_by_one_template(mic, mask, ccmax, psi, 1, nx, ny, t_d, tnx, tny, (float)(tnx * tny), 0,
                                            360, p.ang_step, &centre);
        const int cells = grid_cells(nx, g) * grid_cells(ny, g);
        std::vector<unsigned> idx(cells);
        Image cellmax(cells), cellpsi(cells);
        gpu_find_filter_ccmax_psi_grids(ccmax, psi, idx.data(), cellmax.data(), cellpsi.data(), p.cc_cutoff, nx, ny, g);
        PickFrame frame = pick_frame(make_int2(0, 0), s, centre, tnx, tny);
        std::vector<float2> within;
        if (s > 1) {
            within = peak_offsets(to_host(ccmax, (size_t)nx * ny).data(), nx, ny, idx);
            frame.within = within.data();
        }
        char out[VORN_NAME_LEN];
        mrcf_set_outname_by_suffix(out, name, "_picks.star");
        output_morvandel_star_one_temp(out, idx.data(), cellmax.data(), cellpsi.data(), 1, cells, nx, ny, p.boxsize,
                                       frame);
        for (float* d : {mic, mask, ccmax, psi}) cudaFree(d);
        return 0;
    }
};

// The offset of the nearest pick of a STAR file from each particle that has a
// pick within reach.
std::vector<std::array<double, 2>> pick_offsets(std::string star, const std::vector<Particle>& truth, double reach) {
    std::vector<PTCL_BOX> picks(4096);
    const int n = read_all_ptcl_boxes(picks.data(), (int)picks.size(), star.data());
    std::vector<std::array<double, 2>> offsets;
    for (const Particle& q : truth) {
        std::array<double, 2> best{reach, reach};
        for (int k = 0; k < n; ++k)
            if (std::hypot(picks[k].x - q.x, picks[k].y - q.y) < std::hypot(best[0], best[1]))
                best = {picks[k].x - q.x, picks[k].y - q.y};
        if (std::hypot(best[0], best[1]) <= reach) offsets.push_back(best);
    }
    return offsets;
}

TEST_F(Outputs, PicksStandForTheParticlesCentresForOddAndEvenTemplates) {
    // Templates that shrink to 17 and 7 pixels (odd) and to 16 (even). Over
    // some 80 particles the mean offset keeps only the rounding to whole pixels
    // (half a pixel) and the noise: within a quarter of a shrunk pixel.
    const int n = 1024;
    const struct {
        int side, speed;
    } cases[] = {{68, 2}, {43, 3}, {64, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.side);
        const double scale = c.side / 36.0;
        std::vector<Particle> truth;
        const Image mic = particle_field(n, scale, 96.0, 23, truth);
        const std::string name = path("mic.mrc"), tpl = path("tpl.mrc");
        mrcf_write_xyz_data(name.c_str(), mic.data(), n, n, 1);
        mrcf_write_xyz_data(tpl.c_str(), pattern_image(c.side, scale).data(), c.side, c.side, 1);
        Parsed run({"--apixM", "1", "--diameter", std::to_string(c.side), "--speed", std::to_string(c.speed), "--T",
                    tpl, "--cc_cutoff", "0.3", name});
        const TemplatePicker picker(run.p);
        Morvandel m;
        ASSERT_EQ(m.set_mic(name.c_str()), 0);
        stdout_of([&] { picker.pick(m, name.c_str()); });
        m.free_mic();
        const int s = run.p.shrink;
        const auto offsets = pick_offsets(path("mic_picks.star"), truth, 2.0 * s);
        EXPECT_GE(offsets.size(), 0.95 * truth.size());
        double mx = 0, my = 0;
        for (const auto& o : offsets) mx += o[0] / offsets.size(), my += o[1] / offsets.size();
        EXPECT_LT(std::fabs(mx), 0.25 * s) << "mean x offset " << mx;
        EXPECT_LT(std::fabs(my), 0.25 * s) << "mean y offset " << my;
    }
}

// White soft discs of radius r on a jittered grid of an n x n micrograph, with
// noise; their centres (not whole pixels) in truth.
Image disc_field(int n, double r, double spacing, unsigned seed, std::vector<Particle>& truth) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    std::normal_distribution<float> noise(0.0f, 0.5f);
    truth.clear();
    for (double y = spacing; y < n - spacing / 2; y += spacing)
        for (double x = spacing; x < n - spacing / 2; x += spacing)
            truth.push_back({x + (u(rng) - 0.5) * spacing / 4, y + (u(rng) - 0.5) * spacing / 4, 0});
    Image mic((size_t)n * n);
    for (float& v : mic) v = noise(rng);
    for (const Particle& p : truth)
        for (int y = (int)(p.y - r - 6); y <= (int)(p.y + r + 6); ++y)
            for (int x = (int)(p.x - r - 6); x <= (int)(p.x + r + 6); ++x)
                mic[(size_t)y * n + x] += (float)(1.0 / (1.0 + std::exp(std::hypot(x - p.x, y - p.y) - r)));
    return mic;
}

TEST_F(Outputs, AtShrinkOneTheAutomaticDiscAndOddAndEvenTemplatesLandOnTheCentre) {
    // 25 particles at centres off whole pixels, turned at random, picked at
    // speed 0: the mean offset is within a quarter pixel on each axis. (The
    // automatic disc was once of even side, drawn about (n - 1)/2 while the
    // correlation puts pixel n/2 under a pick: every pick half a pixel after
    // the centre. An even template once turned about (n - 1)/2, which moved
    // its particle's centre (pixel n/2) by up to a pixel with the angle.)
    const int n = 250;
    const std::string name = path("mic.mrc"), tpl = path("tpl.mrc");
    for (const int side : {0, 27, 28}) {  // 0: the automatic disc
        const bool automatic = side == 0;
        SCOPED_TRACE(automatic ? "automatic disc" : "template of " + std::to_string(side));
        if (!automatic) mrcf_write_xyz_data(tpl.c_str(), pattern_image(side, side / 36.0).data(), side, side, 1);
        std::vector<Particle> truth;
        const Image mic = automatic ? disc_field(n, 10.0, 40.0, 41, truth)
                                    : particle_field(n, side / 36.0, 40.0, 43, truth);
        ASSERT_GE(truth.size(), 25u);
        mrcf_write_xyz_data(name.c_str(), mic.data(), n, n, 1);
        std::vector<std::string> words = {"--apixM", "1", "--diameter", automatic ? "20" : std::to_string(side),
                                          "--speed", "0", "--cc_cutoff", "0.3", name};
        if (!automatic) words.insert(words.begin(), {"--T", tpl});
        Parsed run(words);
        const TemplatePicker picker(run.p);
        if (automatic) {
            EXPECT_EQ(picker.tnx % 2, 1);
        }
        Morvandel m;
        ASSERT_EQ(m.set_mic(name.c_str()), 0);
        stdout_of([&] { picker.pick(m, name.c_str()); });
        m.free_mic();
        const auto offsets = pick_offsets(path("mic_picks.star"), truth, 3.0);
        EXPECT_EQ(offsets.size(), truth.size());
        double mx = 0, my = 0;
        for (const auto& o : offsets) mx += o[0] / offsets.size(), my += o[1] / offsets.size();
        EXPECT_LE(std::fabs(mx), 0.25) << "mean x offset " << mx;
        EXPECT_LE(std::fabs(my), 0.25) << "mean y offset " << my;
    }
}

TEST_F(Outputs, ParticlesAtWholePixelsArePickedOnTheirCentresByTemplatesOfEitherParity) {
    // 16 unturned particles, nearly free of noise, at whole-pixel centres
    // through every remainder modulo 4 on each axis, picked with a template of
    // the same particle centred on its pixel n/2: every pick is on its
    // particle's centre, for an even side as for an odd one, at shrink 1 and,
    // where a map pixel spans 2 or 4 original pixels, by the correlation
    // around the peak.
    const int n = 320;
    std::vector<Particle> truth;
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) truth.push_back({50.0 + 71 * i, 50.0 + 71 * j + (i + j) % 4, 0.0});
    const std::string name = path("mic.mrc"), tpl = path("tpl.mrc");
    for (const auto& [side, speed] : {std::pair<int, int>{32, 0}, {33, 0}, {32, 1}, {33, 1}, {64, 2}, {65, 2}}) {
        SCOPED_TRACE("template of " + std::to_string(side) + " at speed " + std::to_string(speed));
        const double scale = side / 36.0;
        std::mt19937 rng(5);
        std::normal_distribution<float> noise(0.0f, 0.02f);
        Image mic((size_t)n * n);
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                double v = noise(rng);
                for (const Particle& q : truth) v += pattern(x - q.x, y - q.y, 0.0, scale);
                mic[(size_t)y * n + x] = (float)v;
            }
        mrcf_write_xyz_data(name.c_str(), mic.data(), n, n, 1);
        mrcf_write_xyz_data(tpl.c_str(), pattern_image(side, scale).data(), side, side, 1);
        Parsed run({"--T", tpl, "--apixM", "1", "--diameter", std::to_string(side), "--speed", std::to_string(speed),
                    "--cc_cutoff", "0.3", name});
        const TemplatePicker picker(run.p);
        Morvandel m;
        ASSERT_EQ(m.set_mic(name.c_str()), 0);
        stdout_of([&] { picker.pick(m, name.c_str()); });
        m.free_mic();
        const auto offsets = pick_offsets(path("mic_picks.star"), truth, 3.0);
        ASSERT_EQ(offsets.size(), truth.size());
        for (const auto& o : offsets) {
            EXPECT_EQ(o[0], 0.0);
            EXPECT_EQ(o[1], 0.0);
        }
    }
}

TEST_F(Outputs, PeakOffsetsAreTheVertexOfTheParabolaThroughThePickAndItsNeighbours) {
    // A map that is a paraboloid with its vertex at (5.3, 7.8): the fit through
    // three samples of a parabola is exact. A pick at the map's edge, or where
    // the three make no maximum, stays on its pixel; no pick gives nothing.
    const int nx = 12, ny = 11;
    Image map((size_t)nx * ny);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) map[(size_t)y * nx + x] = -(float)((x - 5.3) * (x - 5.3) + 2 * (y - 7.8) * (y - 7.8));
    const std::vector<unsigned> idx = {8u * nx + 5, 0u, 8u * nx + 0, 3u * nx + 5, 10u * nx + 5};
    const std::vector<float2> d = peak_offsets(map.data(), nx, ny, idx);
    ASSERT_EQ(d.size(), idx.size());
    EXPECT_NEAR(d[0].x, 0.3f, 1e-4f);
    EXPECT_NEAR(d[0].y, -0.2f, 1e-4f);
    EXPECT_EQ(d[1].x, 0.0f);  // no pick
    EXPECT_EQ(d[2].x, 0.0f);  // at the left edge
    EXPECT_NEAR(d[2].y, -0.2f, 1e-4f);
    EXPECT_NEAR(d[3].x, 0.3f, 1e-4f);
    EXPECT_EQ(d[3].y, 0.0f);  // on the slope in y: no maximum there
    EXPECT_EQ(d[4].y, 0.0f);  // at the bottom edge
    // The offsets move the pick by as many map pixels in the original frame.
    PickFrame frame = pick_frame(make_int2(0, 0), 4);
    EXPECT_EQ(frame_position(frame, 5, 8, d[0]).x, 23);  // 20 + 1.5 + 4 * 0.3 = 22.7
    EXPECT_EQ(frame_position(frame, 5, 8, d[0]).y, 33);  // 32 + 1.5 - 4 * 0.2 = 32.7
}

TEST_F(Outputs, HalfPixelPositionsRoundBothWaysAlike) {
    // Shrink 2: map pixel x is the block from 2x, centre 2x + 0.5: up from an
    // odd map pixel, down from an even one. A template whose centre lies half
    // a pixel before its pixel under the pick, at shrink 1: the same rule.
    // Whole positions are as they are.
    const PickFrame two = pick_frame(make_int2(0, 0), 2);
    EXPECT_EQ(frame_position(two, 10, 11).x, 20);
    EXPECT_EQ(frame_position(two, 10, 11).y, 23);
    const PickFrame half_back = pick_frame(make_int2(0, 0), 1, make_float2(7.5f, 7.5f), 16, 16);
    EXPECT_EQ(frame_position(half_back, 10, 11).x, 9);
    EXPECT_EQ(frame_position(half_back, 10, 11).y, 11);
    const PickFrame three = pick_frame(make_int2(5, 7), 3, make_float2(8.0f, 8.0f), 17, 17);
    EXPECT_EQ(frame_position(three, 10, 11).x, 5 + 30 + 1);
    EXPECT_EQ(frame_position(three, 10, 11).y, 7 + 33 + 1);
    // Over many picks the halves leave no bias: the mean of a run of map pixels
    // is the mean of their blocks' centres.
    double sum = 0, centres = 0;
    for (int x = 0; x < 100; ++x) sum += frame_position(two, x, 0).x, centres += 2 * x + 0.5;
    EXPECT_DOUBLE_EQ(sum, centres);
}

TEST_F(Outputs, AMicrographWithANaNPixelIsSkippedAndTheListGoesOn) {
    const int n = 256, side = 32;
    const double scale = side / 36.0;
    const std::string tpl = path("tpl.mrc");
    mrcf_write_xyz_data(tpl.c_str(), pattern_image(side, scale).data(), side, side, 1);
    std::vector<std::string> names = {path("a.mrc"), path("b.mrc"), path("c.mrc")};
    std::vector<Particle> truth[3];
    for (int k = 0; k < 3; ++k) {
        Image mic = particle_field(n, scale, 2.2 * side, 31 + k, truth[k]);
        if (k == 1) mic[100 * n + 37] = NAN;
        mrcf_write_xyz_data(names[k].c_str(), mic.data(), n, n, 1);
    }
    Parsed run({"--apixM", "1", "--diameter", std::to_string(side), "--speed", "1", "--T", tpl, "--cc_cutoff", "0.3",
                names[0], names[1], names[2]});
    const TemplatePicker picker(run.p);
    int skipped = -1;
    const std::string said = stdout_of([&] {
        skipped = morvandel_pick_micrographs(run.p.files, run.p.nfiles,
                                             [&](Morvandel& m, const char* name) { return picker.pick(m, name); });
    });
    EXPECT_EQ(skipped, 1);
    EXPECT_NE(said.find("the micrograph " + names[1] +
                        " cannot be picked: 1 pixel is not a finite number (NaN or infinity); skipped."),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("All 3 micrographs: 2 picked, 1 skipped: " + names[1] + "\n"), std::string::npos) << said;
    EXPECT_EQ(is_file_morvandel_done(path("b_picks.star").c_str()), 0);
    for (int k : {0, 2})
        EXPECT_EQ(pick_offsets(path(k == 0 ? "a_picks.star" : "c_picks.star"), truth[k], 2.0 * run.p.shrink).size(),
                  truth[k].size());
}

}  // namespace
