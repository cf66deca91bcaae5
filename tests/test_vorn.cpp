// The vorn program as users run it: usage and help, a run over several
// micrographs with the files it writes, --do_unfinished, and the micrographs and
// names that a run must pass over or refuse.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#define VORN_UNIT "tests/vorn"
#include "estimator_fixture.h"

using namespace vorn_test;

namespace {

struct RunResult {
    int status;
    std::string out;
    bool has(const std::string& text) const { return out.find(text) != std::string::npos; }
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    }
};

// Runs the built program with the words (no shell quoting needed: test paths are plain).
RunResult run_vorn(const std::vector<std::string>& words) {
    std::string command = std::string(VORN_BINARY_DIR) + "/vorn";
    for (const std::string& w : words) command += " " + w;
    command += " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    RunResult r{-1, ""};
    if (p == nullptr) return r;
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, got);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(Program, UsageAndHelpEndWithStatusZero) {
    const RunResult usage = run_vorn({});
    EXPECT_EQ(usage.status, 0);
    EXPECT_TRUE(usage.has("Version:       "));
    EXPECT_TRUE(usage.has("v1.18, updated on 2017-05-10"));
    EXPECT_TRUE(usage.has("\033[1m Usage:\033[m "));
    EXPECT_TRUE(usage.has("--microstar"));
    EXPECT_FALSE(usage.has("Options:"));

    const RunResult help = run_vorn({"-HELP"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.has("\033[1m Options:\033[m "));
    EXPECT_TRUE(help.has("Movie options to calculate defocuses of each frame:  "));
    EXPECT_TRUE(help.has("quenvist"));
    EXPECT_TRUE(help.has("\033[1m Examples:\033[m "));
    EXPECT_EQ(help.count("Description:   This is a simplified version of VORN for CTF determination."), 2u);

    // An unknown option ends the run with status 0, as scripts expect.
    const RunResult unknown = run_vorn({"--no_such_option", "a.mrc"});
    EXPECT_EQ(unknown.status, 0);
    EXPECT_TRUE(unknown.has("Failed to recognize option: --no_such_option!"));
}

class Run : public ::testing::Test {
protected:
    static constexpr int n = 512;
    TempDir dir;
    void SetUp() override {
        SKIP_WITHOUT_SIM_DATA();
        write_mrc(dir.file("a.mrc"), sim_crop("sim01_df8000.mrc", n), n);
        write_mrc(dir.file("b.mrc"), sim_crop("sim02_df15000.mrc", n), n);
        write_mrc(dir.file("c.mrc"), sim_crop("sim03_df25000.mrc", n), n);
    }
    RunResult vorn(std::vector<std::string> words) {
        words.insert(words.begin(), {"--apix", "1.0", "--boxsize", "256"});
        return run_vorn(words);
    }
};

TEST_F(Run, TwoMicrographsGiveTheirFilesAndDoUnfinishedSkipsTheFinishedOne) {
    const RunResult first = vorn({"--ctfstar", dir.file("first"), dir.file("a.mrc"), dir.file("b.mrc")});
    ASSERT_EQ(first.status, 0) << first.out;
    for (const char* name : {"a", "b"}) {
        SCOPED_TRACE(name);
        const std::string log = read_text(dir.file(std::string(name) + "_vorn.log"));
        EXPECT_NE(log.find("\nVORN , v1.18 2017-05-10\nAll parameters to be used:\n"), std::string::npos);
        EXPECT_NE(log.find(" 256       50.0        4.0   10000.0   70000.0  500.0    0.0\n"), std::string::npos);
        EXPECT_NE(log.find("Reading file: " + dir.file(std::string(name) + ".mrc") + "\n"), std::string::npos);
        EXPECT_NE(log.find("     169  89500.000 "), std::string::npos);  // the last row of the 1D search
        EXPECT_EQ(log.substr(log.size() - 30), "Processing done successfully.\n");
        // The EPA stage's lines and table, and the micrograph's summary row.
        EXPECT_NE(log.find("Resolution limit estimated by EPA: RES_LIMIT "), std::string::npos);
        EXPECT_NE(log.find("Estimated Bfactor: B_FACTOR  "), std::string::npos);
        EXPECT_EQ(read_text(dir.file(std::string(name) + "_EPA.log")).find("  Resolution      |CTFsim|"), 0u);
        const std::string star = read_text(dir.file("first.star"));
        EXPECT_NE(star.find("\n" + dir.file(std::string(name) + ".mrc") + " " + dir.file(std::string(name) + ".ctf") +
                            ":mrc "),
                  std::string::npos);
        EXPECT_EQ(star.find("nan"), std::string::npos);
        MRC_HEAD* pow = mrcf_get_head(dir.file(std::string(name) + ".pow").c_str());
        EXPECT_EQ(pow->nx, 256);
        EXPECT_EQ(pow->creatid, 9986);
        std::free(pow);
    }
    EXPECT_EQ(read_text(dir.file("first.star")).find("\ndata_\n\nloop_\n_rlnMicrographName #1\n"), 0u);
    // Stage timings in order, once per micrograph.
    const size_t prep = first.out.find("PREPARATION: "), read = first.out.find("READING: "),
                 fft = first.out.find("FFT: "), search = first.out.find("1S2R: ");
    EXPECT_LT(prep, read);
    EXPECT_LT(read, fft);
    EXPECT_LT(fft, search);
    EXPECT_EQ(first.count(">>>>>>TIME<<<<<<"), 11u);
    EXPECT_EQ(first.count("Processing done successfully."), 2u);

    const std::string log_a = read_text(dir.file("a_vorn.log"));
    const RunResult again = vorn({"--do_unfinished", "--ctfstar", dir.file("again"), dir.file("a.mrc"),
                                  dir.file("c.mrc")});
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_TRUE(again.has("CTF parameter of \033[42m" + dir.file("a.mrc") + "\033[m already determined. Automatically "
                                                                             "skipped.\n"));
    EXPECT_TRUE(again.has("VORN failed to prepare micrograph " + dir.file("a.mrc") + ";skipped"));
    EXPECT_EQ(again.count("Processing done successfully."), 1u);
    EXPECT_EQ(read_text(dir.file("a_vorn.log")), log_a);
    EXPECT_TRUE(exists(dir.file("c_vorn.log")));
    EXPECT_TRUE(exists(dir.file("c.pow")));
}

TEST_F(Run, UnreadableMicrographsArePassedOverAndNoneReadableEndsTheRun) {
    // Garbage where a header should be: absurd sizes.
    std::vector<float> garbage(600, 1e30f);
    std::FILE* f = std::fopen(dir.file("garbage.mrc").c_str(), "wb");
    std::fwrite(garbage.data(), sizeof(float), garbage.size(), f);
    std::fclose(f);
    // A micrograph whose data stop short of what its header says.
    const std::vector<float> a = sim_crop("sim01_df8000.mrc", n);
    write_mrc(dir.file("short.mrc"), a, n);
    ASSERT_EQ(truncate(dir.file("short.mrc").c_str(), 1024 + 4 * n * n / 2), 0);

    const RunResult r = vorn({"--ctfstar", "none", dir.file("missing.mrc"), dir.file("garbage.mrc"),
                              dir.file("b.mrc"), dir.file("short.mrc")});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.has("the micrograph " + dir.file("missing.mrc") + " does NOT exist! Automatically ignored!"));
    EXPECT_TRUE(r.has("the micrograph " + dir.file("garbage.mrc") + " is not a readable MRC image"));
    EXPECT_TRUE(r.has("Opening " + dir.file("b.mrc") + " for initial test and preparation"));
    EXPECT_TRUE(r.has("VORN failed to prepare micrograph " + dir.file("short.mrc") + ";skipped"));
    EXPECT_EQ(r.count("Processing done successfully."), 1u);
    EXPECT_TRUE(exists(dir.file("b.pow")));
    EXPECT_FALSE(exists(dir.file("short.pow")));
    EXPECT_FALSE(exists(dir.file("garbage.pow")));

    const RunResult none = vorn({"--ctfstar", "none", dir.file("garbage.mrc"), dir.file("short.mrc")});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(none.has("none of the 2 micrographs can be read! Exit now!"));
}

TEST_F(Run, AMicrographOfAnotherSizeEndsTheRun) {
    write_mrc(dir.file("small.mrc"), sim_crop("sim01_df8000.mrc", 384), 384);
    const RunResult r = vorn({"--ctfstar", "none", dir.file("a.mrc"), dir.file("small.mrc")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.has("has a different size or format from"));
}

TEST_F(Run, OutputsThatWouldReplaceAnInputAreRefusedBeforeAnythingIsWritten) {
    const std::string before = read_text(dir.file("a.mrc"));
    const RunResult log_over_mic = vorn({"--logsuffix", ".mrc", "--ctfstar", dir.file("sum"), dir.file("a.mrc")});
    EXPECT_EQ(log_over_mic.status, 1);
    EXPECT_TRUE(log_over_mic.has("the output " + dir.file("a.mrc") + " of micrograph " + dir.file("a.mrc") +
                                 " is an input file"));
    EXPECT_EQ(read_text(dir.file("a.mrc")), before);
    EXPECT_FALSE(exists(dir.file("sum.star")));

    const std::string in = dir.file("in.star");
    std::FILE* f = std::fopen(in.c_str(), "w");
    std::fprintf(f, "data_\nloop_\n_rlnMicrographName #1\n_rlnDefocusU #2\n%s 10000\n", dir.file("b.mrc").c_str());
    std::fclose(f);
    const std::string star_before = read_text(in);
    const RunResult summary_over_star = vorn({"--input_ctfstar", in, "--ctfstar", in, dir.file("a.mrc")});
    EXPECT_EQ(summary_over_star.status, 1);
    EXPECT_TRUE(summary_over_star.has("the CTF STAR summary " + in + " is an input file"));
    EXPECT_EQ(read_text(in), star_before);
    EXPECT_FALSE(exists(dir.file("a_vorn.log")));

    // The same file under another name is the same input.
    std::filesystem::copy_file(dir.file("a.mrc"), dir.file("m.star"));
    const RunResult other_name = vorn({"--ctfstar", dir.file("m.star"), dir.path + "/./m.star"});
    EXPECT_EQ(other_name.status, 1);
    EXPECT_TRUE(other_name.has("the CTF STAR summary " + dir.file("m.star") + " is an input file"));
    EXPECT_EQ(read_text(dir.file("m.star")), before);
}

TEST_F(Run, ReadAheadTakesOnePacketPerMicrographAlsoForSkippedOnes) {
    // a is finished beforehand; with --do_unfinished it is skipped before its data are taken.
    ASSERT_EQ(vorn({"--ctfstar", "none", dir.file("a.mrc")}).status, 0);
    const RunResult r = vorn({"--pre_read", "--dp_silent", "0", "--do_unfinished", "--ctfstar", "none",
                              dir.file("b.mrc"), dir.file("a.mrc"), dir.file("missing.mrc"), dir.file("c.mrc")});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.has("sending all data, running in background as limited queue ..."));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(r.has("sending " + std::to_string(i) + "th element of dp_vec succeeded. \033[43mContinue ...\033[m"));
    EXPECT_TRUE(r.has("VORN failed to prepare micrograph " + dir.file("a.mrc") + ";skipped"));
    EXPECT_TRUE(r.has("VORN failed to prepare micrograph " + dir.file("missing.mrc") + ";skipped"));
    EXPECT_FALSE(r.has("Data queue may be disrupted"));
    EXPECT_EQ(r.count("Processing done successfully."), 2u);
    // The data taken from the queue are the micrograph's own: the same spectrum as a plain run.
    const std::string pow_c = read_text(dir.file("c.pow"));
    ASSERT_EQ(vorn({"--ctfstar", "none", dir.file("c.mrc")}).status, 0);
    EXPECT_EQ(read_text(dir.file("c.pow")), pow_c);
}

}  // namespace

// ---- instruction sets ----

int vorn_seeded_estimate(int argc, char** argv, long seed);
#if defined(VORN_TEST_X86_64_V3)
int vorn_seeded_estimate_x86_64_v3(int argc, char** argv, long seed);
#endif

namespace {

// The line of the text that contains the mark (empty when none does).
std::string line_with(const std::string& text, const std::string& mark) {
    const size_t at = text.find(mark);
    if (at == std::string::npos) return "";
    const size_t begin = text.rfind('\n', at) + 1, end = text.find('\n', at);
    return text.substr(begin, end - begin);
}

// The summary row of a one-micrograph run without its two names (they hold the directory).
std::string summary_values(const std::string& star) {
    std::istringstream rows(star);
    std::string row, last;
    while (std::getline(rows, row))
        if (!row.empty()) last = row;
    std::istringstream words(last);
    std::string word, values;
    for (int k = 0; words >> word; ++k)
        if (k >= 2) values += word + " ";
    return values;
}

}  // namespace

TEST_F(Run, TheX86_64V3PathGivesTheBaselineEstimateBitForBit) {
#if defined(VORN_TEST_X86_64_V3)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("x86-64-v3")) GTEST_SKIP() << "the processor has no x86-64-v3 instructions";
    const std::string paths[2] = {dir.file("baseline"), dir.file("x86_64_v3")};
    int (*const estimate[2])(int, char**, long) = {vorn_seeded_estimate, vorn_seeded_estimate_x86_64_v3};
    for (int k = 0; k < 2; ++k) {
        mkdir(paths[k].c_str(), 0755);
        write_mrc(paths[k] + "/m.mrc", sim_crop("sim06_astig.mrc", n), n);
        CommandLine cmd({"--apix", "1.0", "--boxsize", "256", "--ctfstar", paths[k] + "/summary", paths[k] + "/m.mrc"});
        testing::internal::CaptureStdout();
        estimate[k](cmd.argc(), cmd.argv.data(), 11);
        testing::internal::GetCapturedStdout();
    }
    const std::string final_values = line_with(read_text(paths[0] + "/m_vorn.log"), "Final Values");
    ASSERT_NE(final_values, "");
    EXPECT_EQ(line_with(read_text(paths[1] + "/m_vorn.log"), "Final Values"), final_values);
    const std::string summary = summary_values(read_text(paths[0] + "/summary.star"));
    ASSERT_NE(summary, "");
    EXPECT_EQ(summary_values(read_text(paths[1] + "/summary.star")), summary);
    EXPECT_EQ(read_text(paths[1] + "/m_EPA.log"), read_text(paths[0] + "/m_EPA.log"));
#else
    GTEST_SKIP() << "built without the x86-64-v3 copy (VORN_HOST_ARCH is set)";
#endif
}
