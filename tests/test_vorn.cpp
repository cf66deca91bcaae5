// The vorn program as users run it: usage and help, a run over several
// micrographs with the files it writes, --do_unfinished and resumed batches,
// the micrographs and names that a run must pass over or refuse, and the exit
// status and closing line of a batch.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#define VORN_UNIT "tests/vorn"
#include "estimator_fixture.h"
#include "immutable_fixture.h"
#include "program_fixture.h"

using namespace vorn_test;

namespace {

RunResult run_vorn(const std::vector<std::string>& words, const std::string& dir = "") {
    return run_program("vorn", words, dir);
}

// Starts the built program with its output in a file, waits until ready() holds
// (or the program ends), then kills it. Returns false when the program ended first.
bool run_vorn_and_kill_when(const std::vector<std::string>& words, const std::string& out,
                            const std::function<bool()>& ready) {
    const std::string program = std::string(VORN_BINARY_DIR) + "/vorn";
    std::vector<std::string> all = words;
    all.insert(all.begin(), program);
    std::vector<char*> argv;
    for (std::string& w : all) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen(out.c_str(), "w", stdout) == nullptr) _exit(127);
        dup2(fileno(stdout), 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    for (;;) {
        if (ready()) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return true;
        }
        if (waitpid(pid, &status, WNOHANG) == pid) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// The data rows of a CTF STAR summary: the words of every line after the labels.
std::vector<std::vector<std::string>> summary_rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        if (words.size() > 2 && words[0][0] != '_') rows.push_back(words);
    }
    return rows;
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
    // The defaults the program really uses, and the read-ahead switch.
    EXPECT_TRUE(help.has("--" + std::string("local_avetype").append(7, ' ') + "0 "));
    EXPECT_TRUE(help.has("--" + std::string("local_areatype").append(6, ' ') + "1 "));
    EXPECT_TRUE(help.has("--pre_read "));

    // An unknown option ends the run with status 1 after the usage: a typo never runs a batch at the defaults.
    const RunResult unknown = run_vorn({"--no_such_option", "a.mrc"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_LT(unknown.out.find("Usage:"), unknown.out.find("Failed to recognize option: --no_such_option!"));
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
    // A finished micrograph gets one plain line, no warning.
    EXPECT_TRUE(again.has("CTF parameter of \033[42m" + dir.file("a.mrc") + "\033[m already determined. Automatically "
                                                                             "skipped.\n"));
    EXPECT_FALSE(again.has("VORN failed to prepare micrograph"));
    EXPECT_EQ(again.count("Processing done successfully."), 1u);
    EXPECT_TRUE(again.has("All 2 micrographs: 1 done, 1 skipped as already done, 0 failed.\n"));
    EXPECT_EQ(read_text(dir.file("a_vorn.log")), log_a);
    EXPECT_TRUE(exists(dir.file("c_vorn.log")));
    EXPECT_TRUE(exists(dir.file("c.pow")));
    // The new summary regains the finished micrograph's row from its log, in list order.
    const auto rows = summary_rows(read_text(dir.file("again.star")));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], dir.file("a.mrc"));
    EXPECT_EQ(rows[1][0], dir.file("c.mrc"));
    const auto first_rows = summary_rows(read_text(dir.file("first.star")));
    for (int col = 2; col < 12; ++col)
        EXPECT_NEAR(std::stod(rows[0][col]), std::stod(first_rows[0][col]), 0.01) << col;

    // A log that says done but holds no result cannot give the row back: the
    // micrograph counts as failed, so the batch does not end with status 0 short of a row.
    std::string log_b = read_text(dir.file("b_vorn.log"));
    for (size_t at; (at = log_b.find("Final Values")) != std::string::npos;) log_b.replace(at, 12, "Final");
    std::FILE* f = std::fopen(dir.file("b_vorn.log").c_str(), "w");
    std::fputs(log_b.c_str(), f);
    std::fclose(f);
    const RunResult lost = vorn({"--do_unfinished", "--ctfstar", dir.file("lost"), dir.file("b.mrc")});
    EXPECT_EQ(lost.status, 1) << lost.out;
    EXPECT_TRUE(lost.has("holds no result for this run's summary"));
    EXPECT_TRUE(lost.has("All 1 micrographs: 0 done, 0 skipped as already done, 1 failed: " + dir.file("b.mrc")));
    EXPECT_TRUE(summary_rows(read_text(dir.file("lost.star"))).empty());
}

TEST_F(Run, AResumedBatchKeepsOneRowPerMicrographInListOrder) {
    write_mrc(dir.file("d.mrc"), sim_crop("sim04_df35000.mrc", n), n);
    const std::vector<std::string> batch = {"--apix", "1.0", "--boxsize", "256", "--do_unfinished", "--ctfstar",
                                            dir.file("all"), dir.file("a.mrc"), dir.file("b.mrc"),
                                            dir.file("c.mrc"), dir.file("d.mrc")};
    const std::string star = dir.file("all.star"), out = dir.file("out.txt");
    auto done = [&](const char* name) {
        return read_text(dir.file(std::string(name) + "_vorn.log")).find("Processing done successfully") !=
               std::string::npos;
    };
    // Killed between micrographs: once a is finished.
    EXPECT_TRUE(run_vorn_and_kill_when(batch, out, [&] { return done("a"); }));
    // Resumed and killed in the middle of a micrograph: c has its spectrum, not its result.
    EXPECT_TRUE(run_vorn_and_kill_when(batch, out, [&] { return exists(dir.file("c.pow")); }));
    EXPECT_TRUE(done("b"));
    EXPECT_FALSE(done("d"));
    const size_t finished_before = 2 + (done("c") ? 1 : 0);

    const RunResult last = run_vorn(batch);
    ASSERT_EQ(last.status, 0) << last.out;
    EXPECT_FALSE(last.has("VORN failed to prepare micrograph"));
    EXPECT_EQ(last.count("already determined. Automatically skipped.\n"), finished_before);
    const auto rows = summary_rows(read_text(star));
    ASSERT_EQ(rows.size(), 4u) << read_text(star);
    const char* names[] = {"a", "b", "c", "d"};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(rows[k][0], dir.file(std::string(names[k]) + ".mrc"));
        EXPECT_EQ(rows[k].size(), 12u);
        for (size_t col = 2; col < rows[k].size(); ++col) EXPECT_TRUE(std::isfinite(std::stod(rows[k][col])));
    }

    // A run with nothing new to do leaves the summary as it was.
    const std::string finished = read_text(star);
    const RunResult rerun = run_vorn(batch);
    ASSERT_EQ(rerun.status, 0) << rerun.out;
    EXPECT_TRUE(rerun.has("All 4 micrographs: 0 done, 4 skipped as already done, 0 failed.\n"));
    EXPECT_EQ(read_text(star), finished);
}

TEST_F(Run, AResumedSummaryKeepsTheLastRowOfEachMicrographAndRowsOfOthers) {
    const std::string star = dir.file("all.star");
    ASSERT_EQ(vorn({"--ctfstar", star, dir.file("a.mrc"), dir.file("c.mrc")}).status, 0);
    const auto done = summary_rows(read_text(star));
    ASSERT_EQ(done.size(), 2u);
    auto line = [](const std::vector<std::string>& words) {
        std::string l;
        for (const std::string& w : words) l += (l.empty() ? "" : " ") + w;
        return l + "\n";
    };
    // What interrupted runs leave: c twice (the last is its result), a row of a
    // micrograph of another batch, and a row cut short by a kill.
    std::vector<std::string> stale = done[1], other = done[0];
    stale[2] = "111.000000";
    other[0] = dir.file("x.mrc");
    const std::string text = read_text(star);
    std::FILE* f = std::fopen(star.c_str(), "w");
    std::fputs(text.substr(0, text.find(done[0][0])).c_str(), f);
    for (const auto& row : {stale, done[0], other}) std::fputs(line(row).c_str(), f);
    std::fputs((dir.file("b.mrc") + " " + dir.file("b.ctf") + ":mrc  12000.0\n").c_str(), f);
    std::fputs(line(done[1]).c_str(), f);
    std::fclose(f);

    const RunResult r = vorn({"--do_unfinished", "--ctfstar", star, dir.file("a.mrc"), dir.file("b.mrc"),
                              dir.file("c.mrc")});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.has("Resuming the summary " + star + ": 4 rows kept."));
    const auto rows = summary_rows(read_text(star));
    ASSERT_EQ(rows.size(), 4u) << read_text(star);
    EXPECT_EQ(rows[0], done[0]);
    EXPECT_EQ(rows[1][0], dir.file("b.mrc"));
    EXPECT_EQ(rows[1].size(), 12u);
    EXPECT_EQ(rows[2], done[1]);
    EXPECT_EQ(rows[3], other);
    EXPECT_EQ(read_text(star).find("\ndata_\n\nloop_\n_rlnMicrographName #1\n"), 0u);
}

// A resumed run that spells its micrographs another way (./a.mrc, or the whole
// path) still knows their rows by the files they denote: one row per
// micrograph, its values kept, its two names as this run spells them.
TEST_F(Run, AResumedSummaryKnowsAMicrographByItsFileHoweverItIsSpelt) {
    const std::vector<std::string> options = {"--apix", "1.0", "--boxsize", "256", "--ctfstar", "all"};
    auto batch = [&](std::vector<std::string> words) {
        words.insert(words.begin(), options.begin(), options.end());
        return run_vorn(words, dir.path);
    };
    ASSERT_EQ(batch({"a.mrc", "b.mrc"}).status, 0);
    const auto first = summary_rows(read_text(dir.file("all.star")));
    ASSERT_EQ(first.size(), 2u);
    struct Spelling {
        const char* how;
        std::vector<std::string> mics;  // a and b, then c (fitted now) where listed
    };
    const Spelling spellings[] = {
        {"with ./", {"./a.mrc", "./b.mrc"}},
        {"whole paths, and a new micrograph", {dir.file("a.mrc"), dir.file("b.mrc"), dir.file("c.mrc")}},
    };
    for (const Spelling& s : spellings) {
        SCOPED_TRACE(s.how);
        std::vector<std::string> words = {"--do_unfinished", "1"};
        words.insert(words.end(), s.mics.begin(), s.mics.end());
        const RunResult r = batch(words);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.count("already determined. Automatically skipped.\n"), 2u);
        const auto rows = summary_rows(read_text(dir.file("all.star")));
        ASSERT_EQ(rows.size(), s.mics.size()) << read_text(dir.file("all.star"));
        for (size_t k = 0; k < rows.size(); ++k) {
            EXPECT_EQ(rows[k][0], s.mics[k]);
            EXPECT_EQ(rows[k][1], s.mics[k].substr(0, s.mics[k].size() - 4) + ".ctf:mrc");
            if (k >= 2) continue;  // the values of a and b are those of the first run
            EXPECT_EQ(std::vector<std::string>(rows[k].begin() + 2, rows[k].end()),
                      std::vector<std::string>(first[k].begin() + 2, first[k].end()));
        }
    }
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
    // The batch goes on past them, and its status says that some failed.
    ASSERT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.has("All 4 micrographs: 1 done, 0 skipped as already done, 3 failed: " + dir.file("missing.mrc") +
                      ", " + dir.file("garbage.mrc") + ", " + dir.file("short.mrc") + "\n"));
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

TEST_F(Run, AMixedBatchProcessesEveryMicrographOfTheFirstSize) {
    // A micrograph too small for any spectrum does not size the run; the next one does.
    write_mrc(dir.file("tiny.mrc"), sim_crop("sim01_df8000.mrc", 64), 64);
    write_mrc(dir.file("small.mrc"), sim_crop("sim01_df8000.mrc", 384), 384);
    write_mrc(dir.file("large.mrc"), sim_crop("sim01_df8000.mrc", 640), 640);
    const RunResult r = vorn({"--ctfstar", dir.file("all"), dir.file("tiny.mrc"), dir.file("a.mrc"),
                              dir.file("small.mrc"), dir.file("b.mrc"), dir.file("large.mrc"), dir.file("c.mrc")});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.has("the micrograph " + dir.file("tiny.mrc") + " of 64 x 64 pixels is too small for a power spectrum"));
    EXPECT_TRUE(r.has("Opening " + dir.file("a.mrc") + " for initial test and preparation"));
    EXPECT_TRUE(r.has("the micrograph " + dir.file("tiny.mrc") + " of 64 x 64 pixels is smaller than the spectrum box "
                      "of 256 pixels; skipped."));
    // Another size: the size table, as a warning, and the batch goes on.
    EXPECT_TRUE(r.has(dir.file("small.mrc") + "\033[m has a different size or format from  \033[1m" +
                      dir.file("a.mrc")));
    EXPECT_TRUE(r.has("      384     384     1       "));
    EXPECT_TRUE(r.has("the micrograph " + dir.file("large.mrc") + " differs in size or mode from " + dir.file("a.mrc")));
    EXPECT_EQ(r.count("Processing done successfully."), 3u);
    EXPECT_TRUE(r.has("All 6 micrographs: 3 done, 0 skipped as already done, 3 failed: " + dir.file("tiny.mrc") + ", " +
                      dir.file("small.mrc") + ", " + dir.file("large.mrc") + "\n"));
    const auto rows = summary_rows(read_text(dir.file("all.star")));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], dir.file("a.mrc"));
    EXPECT_EQ(rows[1][0], dir.file("b.mrc"));
    EXPECT_EQ(rows[2][0], dir.file("c.mrc"));
    for (const char* skipped : {"tiny", "small", "large"}) EXPECT_FALSE(exists(dir.file(std::string(skipped) + ".pow")));
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

    // A resumed summary is written whole beside itself before it is moved into
    // place: that file is one of the run's outputs too.
    const std::string aside = dir.file("in.star.part");
    std::filesystem::copy_file(in, aside);
    const RunResult aside_over_star =
        vorn({"--do_unfinished", "1", "--input_ctfstar", aside, "--ctfstar", dir.file("in"), dir.file("a.mrc")});
    EXPECT_EQ(aside_over_star.status, 1);
    EXPECT_TRUE(aside_over_star.has("the CTF STAR summary's aside file " + aside + " is an input file"))
        << aside_over_star.out;
    EXPECT_EQ(read_text(aside), star_before);
    EXPECT_EQ(read_text(in), star_before);
    EXPECT_FALSE(exists(dir.file("a_vorn.log")));

    // The same file under another name is the same input.
    std::filesystem::copy_file(dir.file("a.mrc"), dir.file("m.star"));
    const RunResult other_name = vorn({"--ctfstar", dir.file("m.star"), dir.path + "/./m.star"});
    EXPECT_EQ(other_name.status, 1);
    EXPECT_TRUE(other_name.has("the CTF STAR summary " + dir.file("m.star") + " is an input file"));
    EXPECT_EQ(read_text(dir.file("m.star")), before);
}

// The command lines of the damaged estimator inputs, run in a folder that holds a
// copy of the micrograph: each ends promptly with its status and a message that
// names the option or the file at fault, with no sanitizer report; a refused run
// writes no summary row.
TEST(HostileInputs, EachCommandLineEndsWithItsStatusAndNamesWhatIsAtFault) {
    SKIP_WITHOUT_HOSTILE_ESTIMATOR_DATA();
    struct Case {
        std::vector<std::string> words;  // hostile files by their bare names
        int status;
        const char* message;
    };
    const Case cases[] = {
        {{"--input_ctfstar", "instar_twice_small.star", "--input_ctfstar", "instar_twice_big.star"}, 1, "x.mrc"},
        {{"--refine_input_ctf", "1", "--input_ctfstar", "instar_inf.star"}, 1,
         "instar_inf.star: _rlnDefocusU 1e39 is not a finite single-precision number"},
        {{"--refine_input_ctf", "1", "--input_ctfstar", "instar_huge.star"}, 1,
         "instar_huge.star: defocus 1e+30, 1e+30 lies beyond"},
        {{"--input_ctfstar", "ctfstar_float_overflow.star"}, 1, "ctfstar_float_overflow.star: _rlnDefocusU 1e39"},
        {{"--input_ctfstar", "ctfstar_long_name_tail.star"}, 1,
         "ctfstar_long_name_tail.star: the micrograph name of 1031 characters does not fit"},
        {{"--apix", "1.0", "--EPA_resL", "-1", "mic256_ok.mrc"}, 1, "--EPA_resL -1 is refused"},
        {{"--apix", "nan", "mic256_ok.mrc"}, 1, "option --apix takes a finite number, not 'nan'"},
        {{"--EPA_resL", "0", "mic256_ok.mrc"}, 1, "--EPA_resL 0 is refused"},
        {{"--ncc_frac_max", "nan", "mic256_ok.mrc"}, 1, "option --ncc_frac_max takes a finite number, not 'nan'"},
        {{"--EPA_oversmp", "2147483647", "mic256_ok.mrc"}, 1, "--EPA_oversmp 2.14748e+09 is refused"},
        {{"--kV", "nan", "mic256_ok.mrc"}, 1, "option --kV takes a finite number, not 'nan'"},
        {{"--cs", "nan", "mic256_ok.mrc"}, 1, "option --cs takes a finite number, not 'nan'"},
        {{"--ac", "nan", "mic256_ok.mrc"}, 1, "option --ac takes a finite number, not 'nan'"},
        {{"--bfac", "nan", "mic256_ok.mrc"}, 1, "option --bfac takes a finite number, not 'nan'"},
        {{"--resL", "nan", "mic256_ok.mrc"}, 1, "option --resL takes a finite number, not 'nan'"},
        {{"--astm", "nan", "mic256_ok.mrc"}, 1, "option --astm takes a finite number, not 'nan'"},
        {{"--defL", "nan", "mic256_ok.mrc"}, 1, "option --defL takes a finite number, not 'nan'"},
        {{"--apix", "abc", "mic256_ok.mrc"}, 1, "option --apix takes a finite number, not 'abc'"},
        {{"--dstep", "nan", "mic256_ok.mrc"}, 1, "option --dstep takes a finite number, not 'nan'"},
        {{"--defS", "1e-30", "mic256_ok.mrc"}, 1, "--defS 1e-30 is refused"},
        {{"--defH", "1e30", "mic256_ok.mrc"}, 1, "--defH 1e+30 is refused"},
        {{"--refine_tilt", "1", "--init_tilt_ang", "nan", "mic256_ok.mrc"}, 1, "option --init_tilt_ang takes"},
        {{"--phase_shift_L", "0", "--phase_shift_H", "180", "--phase_shift_S", "1e-30", "mic256_ok.mrc"}, 1,
         "--phase_shift_S 1e-30 is refused"},
        {{"--defA_seeds", "100000", "mic256_ok.mrc"}, 1, "--defA_seeds 100000 is refused"},
        {{"--EPA_oversmp", "1000", "mic256_ok.mrc"}, 1, "--EPA_oversmp 1000 is refused"},
        {{"--refine_2d_T", "0", "mic256_ok.mrc"}, 1, "--refine_2d_T 0 is refused"},
        {{"--refine_2d_T", "5", "mic256_ok.mrc"}, 1, "--refine_2d_T 5 is refused"},
        {{"--refine_2d_T", "-1", "mic256_ok.mrc"}, 1, "--refine_2d_T -1 is refused"},
        {{"--boxsize", "0", "--apix", "1", "mic256_ok.mrc"}, 0, "too small  --boxsize 0!"},
        {{"--boxsize", "-5", "--apix", "1", "mic256_ok.mrc"}, 0, "too small  --boxsize -5!"},
        {{"--boxsize", "abc", "mic256_ok.mrc"}, 1, "option --boxsize takes an integer, not 'abc'"},
        {{"--bogus", "1", "mic256_ok.mrc"}, 1, "Failed to recognize option: --bogus!"},
    };
    TempDir dir;
    std::filesystem::copy_file(hostile_estimator_path("mic256_ok.mrc"), dir.file("mic256_ok.mrc"));
    const std::string summary = dir.file("micrographs_all_vorn.star");
    for (const Case& c : cases) {
        std::vector<std::string> words;
        for (const std::string& w : c.words)
            words.push_back(exists(hostile_estimator_path(w.c_str())) && w != "mic256_ok.mrc"
                                ? hostile_estimator_path(w.c_str())
                                : w);
        std::string line;
        for (const std::string& w : c.words) line += " " + w;
        SCOPED_TRACE(line);
        std::filesystem::remove(summary);
        const RunResult r = run_vorn(words, dir.path);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_TRUE(r.has(c.message)) << r.out;
        EXPECT_FALSE(r.has("Sanitizer") || r.has("runtime error")) << r.out;
        const std::string rows = exists(summary) ? read_text(summary) : "";
        if (c.status == 0) {
            EXPECT_TRUE(r.has("Processing done successfully.")) << r.out;
            EXPECT_EQ(std::count(rows.begin(), rows.end(), ':'), 1) << rows;  // one row, its ".ctf:mrc"
        } else {
            EXPECT_EQ(rows.find(":mrc"), std::string::npos) << rows;
        }
    }
}

TEST_F(Run, ReadAheadTakesOnePacketPerMicrographAlsoForSkippedOnes) {
    // a is finished beforehand; with --do_unfinished it is skipped before its data are taken.
    ASSERT_EQ(vorn({"--ctfstar", "none", dir.file("a.mrc")}).status, 0);
    const RunResult r = vorn({"--pre_read", "--dp_silent", "0", "--do_unfinished", "--ctfstar", "none",
                              dir.file("b.mrc"), dir.file("a.mrc"), dir.file("missing.mrc"), dir.file("c.mrc")});
    ASSERT_EQ(r.status, 1) << r.out;  // missing.mrc failed
    EXPECT_TRUE(r.has("sending all data, running in background as limited queue ..."));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(r.has("sending " + std::to_string(i) + "th element of dp_vec succeeded. \033[43mContinue ...\033[m"));
    EXPECT_TRUE(r.has("CTF parameter of \033[42m" + dir.file("a.mrc") + "\033[m already determined."));
    EXPECT_TRUE(r.has("VORN failed to prepare micrograph " + dir.file("missing.mrc") + ";skipped"));
    EXPECT_FALSE(r.has("Data queue may be disrupted"));
    EXPECT_EQ(r.count("Processing done successfully."), 2u);
    // The data taken from the queue are the micrograph's own: the same spectrum as a plain run.
    const std::string pow_c = read_text(dir.file("c.pow"));
    ASSERT_EQ(vorn({"--ctfstar", "none", dir.file("c.mrc")}).status, 0);
    EXPECT_EQ(read_text(dir.file("c.pow")), pow_c);
}

TEST(Batch, MicrographsThatCannotGiveAFitAreSkippedAndTheRestProcessed) {
    const std::string hostile = std::string(VORN_HOSTILE_DATA) + "/estimator/";
    if (!exists(hostile + "mic256_ok.mrc")) GTEST_SKIP() << "hostile micrographs not found at " << hostile;
    TempDir dir;
    constexpr int n = 256;
    float* ok = mrcf_get_data_all((hostile + "mic256_ok.mrc").c_str());
    const std::vector<float> good(ok, ok + n * n);
    std::free(ok);
    auto with = [&](std::vector<size_t> at, float v) {
        std::vector<float> img = good;
        for (size_t i : at) img[i] = v;
        return img;
    };
    std::vector<size_t> all(n * n), thirds;
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = i;
        if (i % 3 == 0) thirds.push_back(i);
    }
    struct Case {
        const char* name;
        std::vector<float> image;  // empty: the shared file of that name
        const char* reason;        // of the micrograph; null: its spectrum is not finite
    };
    // Finite pixels whose amplitudes overflow a float.
    std::vector<float> huge = with(all, -3e38f);
    for (size_t i : thirds) huge[i] = 3e38f;
    const std::vector<Case> cases = {
        {"mic256_one_nan", {}, "1 pixel is not a finite number (NaN or infinity)"},
        {"mic256_zero", {}, "it has no variance (every pixel is 0)"},
        {"three_inf", with({5, 700, 65535}, INFINITY), "3 pixels are not a finite number (NaN or infinity)"},
        {"minus_inf", with({1000}, -INFINITY), "1 pixel is not a finite number (NaN or infinity)"},
        {"all_nan", with(all, NAN), "65536 pixels are not a finite number (NaN or infinity)"},
        {"constant", with(all, 7.0f), "it has no variance (every pixel is 7)"},
        {"huge", huge, nullptr},
    };
    std::vector<std::string> words = {"--apix", "1.0", "--ctfstar", dir.file("all")};
    std::string failed;
    for (const Case& c : cases) {
        const std::string mic = dir.file(std::string(c.name) + ".mrc");
        if (c.image.empty())
            std::filesystem::copy_file(hostile + c.name + ".mrc", mic);
        else
            write_mrc(mic, c.image, n);
        words.push_back(mic);
        failed += (failed.empty() ? ": " : ", ") + mic;
    }
    // The good ones after the bad.
    for (const char* good_name : {"ok1", "ok2"}) {
        write_mrc(dir.file(std::string(good_name) + ".mrc"), good, n);
        words.push_back(dir.file(std::string(good_name) + ".mrc"));
    }
    const RunResult r = run_vorn(words);
    EXPECT_EQ(r.status, 1) << r.out;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string stem = dir.file(c.name);
        const std::string reason = c.reason ? std::string("the micrograph cannot give a fit: ") + c.reason
                                            : std::string("the power spectrum is not finite");
        EXPECT_TRUE(r.has(c.reason ? "the micrograph " + stem + ".mrc cannot give a fit: " + c.reason + "; skipped."
                                   : "the power spectrum of micrograph " + stem + ".mrc is not finite"))
            << r.out;
        EXPECT_FALSE(exists(stem + ".pow"));
        EXPECT_FALSE(exists(stem + ".ctf"));
        const std::string log = read_text(stem + "_vorn.log");
        EXPECT_EQ(log.find("Processing done successfully"), std::string::npos);
        EXPECT_EQ(log.find("Final Values"), std::string::npos);
        EXPECT_NE(log.find("Skipped: " + reason), std::string::npos);
    }
    EXPECT_TRUE(r.has("All 9 micrographs: 2 done, 0 skipped as already done, 7 failed" + failed + "\n"));
    const auto rows = summary_rows(read_text(dir.file("all.star")));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], dir.file("ok1.mrc"));
    EXPECT_EQ(rows[1][0], dir.file("ok2.mrc"));
    // The good micrograph's fit: the hostile set's CTF (defocus near 8000 and 7500).
    EXPECT_NEAR(0.5 * (std::stod(rows[0][2]) + std::stod(rows[0][3])), 7750.0, 300.0);
}

TEST(Batch, PhaseShiftsOfAnInputStarFileAreRefinedAndReported) {
    SKIP_WITHOUT_SIM_DATA();
    TempDir dir;
    write_mrc(dir.file("pp.mrc"), sim_crop("sim05_pp90.mrc", 512), 512);
    struct Case {
        const char* name;
        bool phase_column;
    };
    for (const Case c : {Case{"with phase shifts", true}, Case{"without phase shifts", false}}) {
        SCOPED_TRACE(c.name);
        const std::string in = dir.file("in.star");
        std::FILE* f = std::fopen(in.c_str(), "w");
        std::fprintf(f, "data_\nloop_\n_rlnMicrographName #1\n_rlnDefocusU #2\n_rlnDefocusV #3\n_rlnDefocusAngle #4\n");
        if (c.phase_column) std::fprintf(f, "_rlnPhaseShift #5\n");
        std::fprintf(f, "%s 5100 4900 95%s\n", dir.file("pp.mrc").c_str(), c.phase_column ? " 75" : "");
        std::fclose(f);
        const RunResult r = run_vorn({"--apix", "1.0", "--boxsize", "256", "--refine_input_ctf", "1", "--input_ctfstar",
                                      in, "--ctfstar", dir.file("sum")});
        ASSERT_EQ(r.status, 0) << r.out;
        const std::string log = read_text(dir.file("pp_vorn.log"));
        const std::string star = read_text(dir.file("sum.star"));
        const auto rows = summary_rows(star);
        ASSERT_EQ(rows.size(), 1u);
        const size_t at = log.find("  Final Values");
        ASSERT_NE(at, std::string::npos);
        float v[5];
        const int values = std::sscanf(log.c_str() + log.rfind('\n', at) + 1, "%f%f%f%f%f", &v[0], &v[1], &v[2], &v[3],
                                       &v[4]);
        if (c.phase_column) {
            EXPECT_NE(log.find("Phase shift options:  ON\n"), std::string::npos);
            EXPECT_NE(star.find("_rlnPhaseShift #13\n"), std::string::npos);
            ASSERT_EQ(rows[0].size(), 13u);
            ASSERT_EQ(values, 5);
            // Refined from 75 towards the simulated 90 degrees, and reported in both places.
            EXPECT_NEAR(v[3], 90.0f, 12.0f);
            EXPECT_GT(std::fabs(v[3] - 75.0f), 5.0f);
            EXPECT_NEAR(std::stod(rows[0][12]), v[3], 0.01);
        } else {
            EXPECT_NE(log.find("Phase shift options:  OFF\n"), std::string::npos);
            EXPECT_EQ(star.find("_rlnPhaseShift"), std::string::npos);
            EXPECT_EQ(rows[0].size(), 12u);
            EXPECT_EQ(values, 4);
        }
    }
}

TEST_F(Run, ReloadingWithoutEarlierFilesProcessesTheMicrographInFull) {
    const RunResult first = vorn({"--reload_ctf_files", "1", "--ctfstar", "none", dir.file("a.mrc")});
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_FALSE(first.has("pre-loading CTF files"));
    EXPECT_TRUE(exists(dir.file("a.pow")));
    EXPECT_TRUE(exists(dir.file("a.ctf")));
    // Now the files are there: the next run reloads them.
    const RunResult second = vorn({"--reload_ctf_files", "1", "--ctfstar", "none", dir.file("a.mrc")});
    ASSERT_EQ(second.status, 0) << second.out;
    EXPECT_TRUE(second.has("pre-loading CTF files " + dir.file("a.ctf")));
    EXPECT_EQ(second.count("Processing done successfully."), 1u);
}

// A micrograph that fails for a reason of its own is skipped with the warning
// that says why and counts as failed; the others of the batch get their rows and
// their phase-flipped copies at the pixel size in force. So again in a resumed
// run, read ahead, that meets the bad micrograph first: the next good one sizes the run.
TEST(Batch, AMicrographThatFailsForAReasonOfItsOwnIsSkippedAndTheBatchGoesOn) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    const std::vector<float> image = sim_crop("sim07_200kV.mrc", n);
    auto put_text = [](const std::string& name, const char* text) {
        std::FILE* f = std::fopen(name.c_str(), "w");
        std::fputs(text, f);
        std::fclose(f);
    };
    struct Case {
        const char* fault;
        const char* middle;  // the file name of the bad micrograph
        std::function<void(const TempDir&)> make;
        const char* reason;  // said once for it
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {"box file of two values", "m.mrc",
         [&](const TempDir& d) {
             write_mrc(d.file("m.mrc"), image, n);
             for (const char* good : {"first.box", "last.box"}) put_text(d.file(good), "100 100 64 64\n");
             put_text(d.file("m.box"), "100 100\n");
         },
         "skipped: its box file cannot be read",
         {"--do_local_refine", "1", "--boxsuffix", ".box", "--local_boxsize", "64", "--local_radius", "64"}},
        {"a directory where its log goes", "m.mrc",
         [&](const TempDir& d) {
             write_mrc(d.file("m.mrc"), image, n);
             std::filesystem::create_directory(d.file("m_vorn.log"));
         },
         "cannot be written (a directory stands in its place); skipped.", {}},
        {"a named pipe where its spectrum goes", "m.mrc",
         [&](const TempDir& d) {
             write_mrc(d.file("m.mrc"), image, n);
             ASSERT_EQ(mkfifo(d.file("m.pow").c_str(), 0644), 0);
         },
         "cannot be written (a named pipe stands in its place); skipped.", {}},
        {"a name with blanks", "m with blanks.mrc",
         [&](const TempDir& d) { write_mrc(d.file("m with blanks.mrc"), image, n); },
         "is refused: its name cannot stand as one word of a STAR row: it holds a blank or a tab", {}},
        {"a directory", "m.mrc", [&](const TempDir& d) { std::filesystem::create_directory(d.file("m.mrc")); },
         "is refused: it is a directory, not a micrograph file", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        TempDir dir;
        const std::string first = dir.file("first.mrc"), mid = dir.file(c.middle), last = dir.file("last.mrc");
        write_mrc(first, image, n);
        write_mrc(last, image, n);
        c.make(dir);
        std::vector<std::string> words = {"--apix", "1.35", "--kV", "200", "--cs", "2.0", "--ac", "0.07",
                                          "--do_phase_flip", "1", "--ctfstar", dir.file("all")};
        words.insert(words.end(), c.options.begin(), c.options.end());
        auto expect_outcome = [&](const RunResult& r, const char* closing) {
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_EQ(r.count(c.reason), 1u) << r.out;
            EXPECT_TRUE(r.has(std::string("All 3 micrographs: ") + closing + mid + "\n")) << r.out;
            EXPECT_FALSE(r.has("Exit now") || r.has("Sanitizer") || r.has("runtime error")) << r.out;
            const auto rows = summary_rows(read_text(dir.file("all.star")));
            ASSERT_EQ(rows.size(), 2u) << read_text(dir.file("all.star"));
            EXPECT_EQ(rows[0][0], first);
            EXPECT_EQ(rows[1][0], last);
            const std::string log = dir.file(std::string(c.middle).replace(std::strlen(c.middle) - 4, 4, "_vorn.log"));
            if (std::filesystem::is_regular_file(log)) {
                EXPECT_EQ(read_text(log).find("Processing done successfully"), std::string::npos);
            }
        };
        std::vector<std::string> batch = words;
        batch.insert(batch.end(), {first, mid, last});
        expect_outcome(run_vorn(batch), "2 done, 0 skipped as already done, 1 failed: ");
        for (const char* good : {"first_pf.mrc", "last_pf.mrc"}) {
            MRC_HEAD* h = mrcf_get_head(dir.file(good).c_str());
            EXPECT_EQ(h->nx, n);
            EXPECT_NEAR(h->cella[0] / (float)h->mx, 1.35f, 1e-5f) << good;
            EXPECT_NEAR(h->cella[1] / (float)h->my, 1.35f, 1e-5f) << good;
            std::free(h);
        }

        std::vector<std::string> resumed = words;
        resumed.insert(resumed.end(), {"--do_unfinished", "1", "--pre_read", "1", mid, first, last});
        expect_outcome(run_vorn(resumed), "0 done, 2 skipped as already done, 1 failed: ");
    }
}

// A file a test makes at the path it is given, named for the test's trace.
struct MadeFile {
    const char* what;
    std::function<void(const std::string&)> make;
};

// The program at pixel size 1 in the folder, under the launcher when one is given.
RunResult vorn_in(const TempDir& dir, std::vector<std::string> words, const std::string& launcher = "") {
    words.insert(words.begin(), {"--apix", "1.0"});
    return run_program("vorn", words, dir.path, launcher);
}

// Writes n x n crops of simulated micrographs into the folder: (file name, simulation) pairs.
void write_sim_crops(const TempDir& dir, std::initializer_list<std::pair<const char*, const char*>> mics, int n) {
    for (const auto& m : mics) write_mrc(dir.file(m.first), sim_crop(m.second, n), n);
}

// Every file of a run is its own: a log that would be the summary ends the run
// before any fit; of two micrographs that share their outputs, also under
// another spelling of the folder, the later is skipped naming the earlier,
// whose files it leaves as they are, in a resumed batch too.
TEST(Batch, OutputsThatCollideAreRefusedOrTheLaterMicrographSkipped) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    struct Case {
        const char* name;
        std::vector<std::string> words;
        const char* message;
        const char* later;  // the micrograph skipped; null: the run is refused
    };
    const Case cases[] = {
        {"a log that would be the summary", {"--logsuffix", "_all_vorn.star", "micrographs.mrc"},
         "the CTF STAR summary micrographs_all_vorn.star is also the output micrographs_all_vorn.star of micrograph "
         "micrographs.mrc; one would overwrite the other! Exit now!",
         nullptr},
        {"a log that would be the summary's aside file",
         {"--do_unfinished", "1", "--logsuffix", "_all_vorn.star.part", "micrographs.mrc"},
         "the CTF STAR summary's aside file micrographs_all_vorn.star.part is also the output "
         "micrographs_all_vorn.star.part of micrograph micrographs.mrc; one would overwrite the other! Exit now!",
         nullptr},
        {"a.mrc and a.mrcs", {"a.mrc", "a.mrcs"},
         "the micrograph a.mrcs is skipped: its output a_vorn.log is also the output a_vorn.log of micrograph a.mrc, "
         "listed earlier.",
         "a.mrcs"},
        {"one folder spelt two ways", {"a.mrc", "./a.mrcs"},
         "the micrograph ./a.mrcs is skipped: its output ./a_vorn.log is also the output a_vorn.log of micrograph "
         "a.mrc, listed earlier.",
         "./a.mrcs"},
        {"a link to a micrograph listed earlier", {"a.mrc", "link.mrc"},
         "the micrograph link.mrc is skipped: its file is the micrograph a.mrc, listed earlier.", "link.mrc"},
        {"a hard link to a micrograph listed earlier", {"a.mrc", "hard.mrc"},
         "the micrograph hard.mrc is skipped: its file is the micrograph a.mrc, listed earlier.", "hard.mrc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_sim_crops(dir,
                        {{"micrographs.mrc", "sim01_df8000.mrc"}, {"a.mrc", "sim01_df8000.mrc"},
                         {"a.mrcs", "sim02_df15000.mrc"}},
                        n);
        ASSERT_EQ(symlink("a.mrc", dir.file("link.mrc").c_str()), 0);
        ASSERT_EQ(link(dir.file("a.mrc").c_str(), dir.file("hard.mrc").c_str()), 0);
        std::vector<std::string> words = {"--apix", "1.0"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        const RunResult r = run_vorn(words, dir.path);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.count(c.message), 1u) << r.out;
        const std::string summary = dir.file("micrographs_all_vorn.star");
        if (c.later == nullptr) {
            EXPECT_FALSE(r.has("Final Values")) << r.out;
            EXPECT_FALSE(exists(summary));
            EXPECT_FALSE(exists(dir.file("micrographs.pow")));
            continue;
        }
        // The earlier micrograph's files hold its own fit (8000 and 7500, not 15000 and 14000).
        auto expect_earlier_kept = [&](const RunResult& run, const char* closing) {
            EXPECT_TRUE(run.has(std::string("All 2 micrographs: ") + closing + c.later + "\n")) << run.out;
            const std::string log = read_text(dir.file("a_vorn.log"));
            EXPECT_NE(log.find("Reading file: a.mrc\n"), std::string::npos);
            EXPECT_EQ(log.find(c.later), std::string::npos);
            EXPECT_EQ(log.substr(log.size() - 30), "Processing done successfully.\n");
            const auto rows = summary_rows(read_text(summary));
            ASSERT_EQ(rows.size(), 1u) << read_text(summary);
            EXPECT_EQ(rows[0][0], "a.mrc");
            EXPECT_NEAR(0.5 * (std::stod(rows[0][2]) + std::stod(rows[0][3])), 7750.0, 500.0);
        };
        expect_earlier_kept(r, "1 done, 0 skipped as already done, 1 failed: ");
        const std::string log = read_text(dir.file("a_vorn.log")), pow = read_text(dir.file("a.pow"));
        words.insert(words.begin(), {"--do_unfinished", "1"});
        const RunResult resumed = run_vorn(words, dir.path);
        EXPECT_EQ(resumed.status, 1) << resumed.out;
        EXPECT_EQ(resumed.count(c.message), 1u) << resumed.out;
        expect_earlier_kept(resumed, "0 done, 1 skipped as already done, 1 failed: ");
        EXPECT_EQ(read_text(dir.file("a_vorn.log")), log);
        EXPECT_EQ(read_text(dir.file("a.pow")), pow);
    }
}

// Two outputs of one micrograph named alike (an option's suffix that is
// another output's) would be written into one file: the micrograph is refused
// before anything of it is read or written, naming both, and a resumed run
// does not take it as done.
TEST(Batch, AMicrographWhoseOutputsShareANameIsRefusedUnwritten) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    const struct {
        std::vector<std::string> words;
        const char* shared;
    } cases[] = {
        {{"--logsuffix", ".pow"}, "ok.pow"},
        {{"--logsuffix", ".ctf"}, "ok.ctf"},
        {{"--logsuffix", "_EPA.log"}, "ok_EPA.log"},
        {{"--do_phase_flip", "1", "--logsuffix", "_pf.mrc"}, "ok_pf.mrc"},
        {{"--do_EPA", "1", "--logsuffix", ".epa"}, "ok.epa"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shared);
        TempDir dir;
        write_sim_crops(dir, {{"ok.mrc", "sim01_df8000.mrc"}}, n);
        const std::string says = std::string("the micrograph ok.mrc is skipped: its outputs ") + c.shared + " and " +
                                 c.shared + " are one file.";
        for (const bool resumed : {false, true}) {
            std::vector<std::string> words = c.words;
            if (resumed) words.insert(words.end(), {"--do_unfinished", "1"});
            words.push_back("ok.mrc");
            const RunResult r = vorn_in(dir, words);
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_EQ(r.count(says), 1u) << r.out;
            EXPECT_TRUE(r.has("All 1 micrographs: 0 done, 0 skipped as already done, 1 failed: ok.mrc\n")) << r.out;
            EXPECT_FALSE(exists(dir.file(c.shared)));
            EXPECT_TRUE(summary_rows(read_text(dir.file("micrographs_all_vorn.star"))).empty());
        }
    }
}

// An output that cannot be written, found where the write would land (a
// link's target and its folder) and as the program opens it (a file that
// takes appends only), skips its micrograph with the reason; the list goes on
// to its closing line.
TEST(Batch, AnOutputThatCannotBeWrittenThroughALinkOrAppendOnlySkipsItsMicrograph) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    const struct {
        const char* output;
        std::vector<std::string> words;
        bool append_only;  // else a link into a folder that does not exist
    } cases[] = {
        {"ok_b.pow", {}, false},      {"ok_b.ctf", {}, false},
        {"ok_b_EPA.log", {}, false},  {"ok_b_vorn.log", {}, false},
        {"ok_b_pf.mrc", {"--do_phase_flip", "1"}, false},
        {"ok_b.pow", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.output) + (c.append_only ? " append-only" : " linked astray"));
        TempDir dir;
        write_sim_crops(dir,
                        {{"ok.mrc", "sim01_df8000.mrc"}, {"ok_b.mrc", "sim02_df15000.mrc"},
                         {"ok_c.mrc", "sim01_df8000.mrc"}},
                        n);
        std::unique_ptr<HeldAttribute> appends;
        if (c.append_only) {
            std::FILE* f = std::fopen(dir.file(c.output).c_str(), "w");
            std::fclose(f);
            appends = std::make_unique<AppendOnlyFile>(dir.file(c.output));
            if (!appends->set) continue;  // no file attributes here
        } else {
            ASSERT_EQ(symlink("nodir/x", dir.file(c.output).c_str()), 0);
        }
        std::vector<std::string> words = c.words;
        words.insert(words.end(), {"ok.mrc", "ok_b.mrc", "ok_c.mrc"});
        const RunResult r = vorn_in(dir, words);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.count(std::string("the output ") + c.output + " of micrograph ok_b.mrc cannot be written (" +
                          (c.append_only ? "Operation not permitted" : "its folder nodir: No such file or directory") +
                          "); skipped."),
                  1u)
            << r.out;
        EXPECT_TRUE(r.has("All 3 micrographs: 2 done, 0 skipped as already done, 1 failed: ok_b.mrc\n")) << r.out;
        EXPECT_FALSE(r.has("Exit now")) << r.out;
    }
}

// A micrograph whose output names would not fit the program's name buffers is
// refused naming why, and the list goes on; one whose names just fit is fitted.
TEST(Batch, AMicrographWhoseOutputNamesAreTooLongIsRefusedAndTheListGoesOn) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    TempDir dir;
    const std::string fits = long_relative_path(dir.path, 1018, ".mrc");  // its log's name: 1023 characters
    const std::string too_long = long_relative_path(dir.path, 1019, ".mrc");
    write_sim_crops(dir, {{"ok.mrc", "sim01_df8000.mrc"}, {"ok_b.mrc", "sim02_df15000.mrc"}}, n);
    for (const std::string& name : {fits, too_long}) write_mrc(dir.file(name), sim_crop("sim01_df8000.mrc", n), n);
    const RunResult r = vorn_in(dir, {"ok.mrc", too_long, fits, "ok_b.mrc"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.count("the micrograph " + too_long +
                      " is refused: its output names, of up to 1024 characters, do not fit in 1024 bytes."),
              1u)
        << r.out;
    EXPECT_TRUE(r.has("All 4 micrographs: 3 done, 0 skipped as already done, 1 failed: " + too_long + "\n")) << r.out;
}

// A micrograph fitted once and then damaged is skipped: its log says why and
// not that it is done, and its old spectrum, image and table are gone, so a
// resumed batch gives it no row and tries it again.
TEST(Batch, AMicrographSkippedAfterAnEarlierFitKeepsNothingOfIt) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    struct Case {
        const char* damage;
        std::function<void(const std::string&)> make;
        const char* reason;  // its log's last line
    };
    const Case cases[] = {
        {"truncated", [](const std::string& b) { ASSERT_EQ(truncate(b.c_str(), 1024 + 4 * n * n / 2), 0); },
         "Skipped: the micrograph is not a readable MRC image (256 x 256 x 1, mode 2, file of 132096 bytes).\n"},
        {"of another size", [](const std::string& b) { write_mrc(b, sim_crop("sim02_df15000.mrc", 384), 384); },
         "Skipped: the micrograph differs in size or mode from a.mrc, which sized the run.\n"},
        {"without variance", [](const std::string& b) { write_mrc(b, std::vector<float>(n * n, 7.0f), n); },
         "Skipped: the micrograph cannot give a fit: it has no variance (every pixel is 7).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.damage);
        TempDir dir;
        write_sim_crops(dir, {{"a.mrc", "sim01_df8000.mrc"}, {"b.mrc", "sim02_df15000.mrc"}}, n);
        auto batch = [&](std::vector<std::string> words) {
            words.insert(words.begin(), {"--apix", "1.0"});
            words.insert(words.end(), {"a.mrc", "b.mrc"});
            return run_vorn(words, dir.path);
        };
        ASSERT_EQ(batch({"--ctfstar", "all"}).status, 0);
        c.make(dir.file("b.mrc"));

        const RunResult again = batch({"--ctfstar", "other"});
        EXPECT_EQ(again.status, 1) << again.out;
        EXPECT_TRUE(again.has("All 2 micrographs: 1 done, 0 skipped as already done, 1 failed: b.mrc\n")) << again.out;
        const std::string log = read_text(dir.file("b_vorn.log"));
        EXPECT_EQ(log.find("Processing done successfully"), std::string::npos);
        EXPECT_EQ(log.size() - log.rfind(c.reason), std::strlen(c.reason)) << log;
        for (const char* gone : {"b.pow", "b.ctf", "b_EPA.log"}) EXPECT_FALSE(exists(dir.file(gone))) << gone;
        for (const char* kept : {"a.pow", "a.ctf", "a_EPA.log"}) EXPECT_TRUE(exists(dir.file(kept))) << kept;

        // The first summary still has b's row: the resumed batch drops it and fits b again.
        const RunResult resumed = batch({"--do_unfinished", "1", "--ctfstar", "all"});
        EXPECT_EQ(resumed.status, 1) << resumed.out;
        EXPECT_TRUE(resumed.has("Resuming the summary all.star: 2 rows kept.")) << resumed.out;
        EXPECT_TRUE(resumed.has("CTF parameter of \033[42ma.mrc\033[m already determined."));
        EXPECT_EQ(resumed.count("VORN failed to prepare micrograph b.mrc;skipped"), 1u) << resumed.out;
        EXPECT_TRUE(resumed.has("All 2 micrographs: 0 done, 1 skipped as already done, 1 failed: b.mrc\n"));
        const auto rows = summary_rows(read_text(dir.file("all.star")));
        ASSERT_EQ(rows.size(), 1u) << read_text(dir.file("all.star"));
        EXPECT_EQ(rows[0][0], "a.mrc");
    }
}

// The launcher that runs the program as a user who is not root, for whom a file
// without write permission cannot be written (root writes it all the same):
// none when the tests run as such a user, else setpriv to nobody. False when
// neither is possible.
bool unprivileged_launcher(std::string& launcher) {
    launcher.clear();
    if (geteuid() != 0) return true;
    if (access("/usr/bin/setpriv", X_OK) != 0) return false;
    launcher = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
    return true;
}

// An output the user made read-only skips its micrograph, which names it and
// why; the file is the user's and stays as it is. The micrograph never comes
// back as done on resume: it is skipped again while the file stays read-only.
// A finished micrograph whose log is read-only is still done on resume.
TEST(Batch, AnOutputThatCannotBeWrittenSkipsItsMicrographAndIsKept) {
    SKIP_WITHOUT_SIM_DATA();
    std::string as_user;
    if (!unprivileged_launcher(as_user)) GTEST_SKIP() << "root without setpriv: every file can be written";
    constexpr int n = 256;
    for (const char* kept : {"ok_b_vorn.log", "ok_b.pow", "ok_b.ctf", "ok_b_EPA.log"}) {
        SCOPED_TRACE(kept);
        TempDir dir;
        chmod(dir.path.c_str(), 0777);  // the user's folder
        write_sim_crops(dir, {{"ok.mrc", "sim01_df8000.mrc"}, {"ok_b.mrc", "sim02_df15000.mrc"}}, n);
        auto batch = [&](std::vector<std::string> words) {
            words.insert(words.end(), {"ok.mrc", "ok_b.mrc"});
            return vorn_in(dir, words, as_user);
        };
        ASSERT_EQ(batch({}).status, 0);
        ASSERT_EQ(chmod(dir.file(kept).c_str(), 0444), 0);
        const std::string text = read_text(dir.file(kept));
        const std::string why = std::string("the output ") + kept +
                                " of micrograph ok_b.mrc cannot be written (Permission denied); skipped.";

        const RunResult again = batch({});
        EXPECT_EQ(again.status, 1) << again.out;
        EXPECT_EQ(again.count(why), 1u) << again.out;
        EXPECT_TRUE(again.has("All 2 micrographs: 1 done, 0 skipped as already done, 1 failed: ok_b.mrc\n"));
        EXPECT_EQ(read_text(dir.file(kept)), text);

        ASSERT_EQ(chmod(dir.file("ok_vorn.log").c_str(), 0444), 0);
        const RunResult resumed = batch({"--do_unfinished", "1"});
        EXPECT_EQ(resumed.status, 1) << resumed.out;
        EXPECT_TRUE(resumed.has("CTF parameter of \033[42mok.mrc\033[m already determined.")) << resumed.out;
        EXPECT_EQ(resumed.count(why), 1u) << resumed.out;
        EXPECT_TRUE(resumed.has("All 2 micrographs: 0 done, 1 skipped as already done, 1 failed: ok_b.mrc\n"));
        EXPECT_EQ(read_text(dir.file(kept)), text);
        const auto rows = summary_rows(read_text(dir.file("micrographs_all_vorn.star")));
        EXPECT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows.empty() ? "" : rows[0][0], "ok.mrc");
    }
}

// The summary in a place where it cannot be written, or a resume that could
// not put it in order through its aside file, ends the run before any fit,
// naming the file: a named pipe there would hold the run for ever, and a
// resume that cannot put its rows in order would leave two of one micrograph.
TEST(Batch, ASummaryThatCannotBeWrittenOrPutInOrderEndsTheRunBeforeAnyFit) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    std::string as_user;
    const bool unprivileged = unprivileged_launcher(as_user);
    const struct {
        const char* what;
        const char* pipe;  // a named pipe of this name, or null
        bool read_only_folder;  // the summary's folder made read-only after a first run
        std::vector<std::string> words;
        const char* says;
    } cases[] = {
        {"a pipe for the summary", "S/sum.star", false, {},
         "the CTF STAR summary S/sum.star cannot be written (a named pipe stands in its place)! Exit now!"},
        {"a pipe for the summary of a resume", "S/sum.star", false, {"--do_unfinished", "1"},
         "the CTF STAR summary S/sum.star cannot be written (a named pipe stands in its place)! Exit now!"},
        {"a pipe for the aside file of a resume", "S/sum.star.part", false, {"--do_unfinished", "1"},
         "the CTF STAR summary's aside file S/sum.star.part cannot be written (a named pipe stands in its place)! "
         "Exit now!"},
        {"a resume whose summary's folder became read-only", nullptr, true, {"--do_unfinished", "1"},
         "the CTF STAR summary's aside file S/sum.star.part cannot be written (its folder S: Permission denied)! "
         "Exit now!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.read_only_folder && !unprivileged) continue;  // root writes in any folder
        TempDir dir;
        chmod(dir.path.c_str(), 0777);
        for (const char* sub : {"S", "M"}) {
            mkdir(dir.file(sub).c_str(), 0777);
            chmod(dir.file(sub).c_str(), 0777);
        }
        write_sim_crops(dir, {{"M/ok.mrc", "sim01_df8000.mrc"}, {"M/ok_b.mrc", "sim02_df15000.mrc"}}, n);
        std::vector<std::string> words = {"--ctfstar", "S/sum"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        words.insert(words.end(), {"M/ok.mrc", "M/ok_b.mrc"});
        const std::string launcher = c.read_only_folder ? as_user : "";
        std::string rows_before;
        if (c.read_only_folder) {
            ASSERT_EQ(vorn_in(dir, {"--ctfstar", "S/sum", "M/ok.mrc", "M/ok_b.mrc"}, launcher).status, 0);
            ASSERT_EQ(std::remove(dir.file("M/ok_vorn.log").c_str()), 0);
            ASSERT_EQ(chmod(dir.file("S").c_str(), 0555), 0);
            rows_before = read_text(dir.file("S/sum.star"));
        } else {
            ASSERT_EQ(mkfifo(dir.file(c.pipe).c_str(), 0644), 0);
        }
        const RunResult r = vorn_in(dir, words, launcher);
        chmod(dir.file("S").c_str(), 0777);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.count(c.says), 1u) << r.out;
        EXPECT_FALSE(r.has("Reading file:")) << r.out;
        if (c.read_only_folder) {
            EXPECT_EQ(read_text(dir.file("S/sum.star")), rows_before);
        }
    }
}

// A micrograph skipped before its fit finds the results of its own earlier run
// only beside a log that names it: x.mrc, listed before x.mrcs and so owning
// their shared names, leaves the files an earlier run of x.mrcs wrote as they
// are, and a resumed run does not take x.mrcs's log for its own. A missing
// x.mrc writes nothing and so claims nothing: x.mrcs after it is fitted.
TEST(Batch, AMicrographSkippedBeforeItsFitLeavesTheFilesOfAnotherOfItsNames) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    const MadeFile damaged[] = {
        {"not an MRC image", [](const std::string& m) { std::ofstream(m) << "not a micrograph\n"; }},
        {"without variance", [](const std::string& m) { write_mrc(m, std::vector<float>(n * n, 7.0f), n); }},
    };
    const char* shared[] = {"x_vorn.log", "x.pow", "x.ctf", "x_EPA.log"};
    for (const MadeFile& c : damaged) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_sim_crops(dir, {{"first.mrc", "sim01_df8000.mrc"}, {"x.mrcs", "sim02_df15000.mrc"}}, n);
        ASSERT_EQ(vorn_in(dir, {"first.mrc", "x.mrcs"}).status, 0);
        std::vector<std::string> before;
        for (const char* f : shared) before.push_back(read_text(dir.file(f)));
        c.make(dir.file("x.mrc"));
        for (const char* resume : {"0", "1"}) {
            SCOPED_TRACE(std::string("--do_unfinished ") + resume);
            const RunResult r = vorn_in(dir, {"--do_unfinished", resume, "first.mrc", "x.mrc", "x.mrcs"});
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_FALSE(r.has("\033[42mx.mrc\033[m already determined")) << r.out;
            EXPECT_TRUE(r.has(": x.mrc, x.mrcs\n")) << r.out;
            for (size_t k = 0; k < before.size(); ++k)
                EXPECT_EQ(read_text(dir.file(shared[k])), before[k]) << shared[k];
        }
    }

    TempDir dir;
    write_sim_crops(dir, {{"x.mrcs", "sim02_df15000.mrc"}}, n);
    const RunResult missing = vorn_in(dir, {"x.mrc", "x.mrcs"});
    EXPECT_EQ(missing.status, 1) << missing.out;
    EXPECT_FALSE(missing.has("is skipped: its output")) << missing.out;
    EXPECT_TRUE(missing.has("All 2 micrographs: 1 done, 0 skipped as already done, 1 failed: x.mrc\n")) << missing.out;
    EXPECT_NE(read_text(dir.file("x_vorn.log")).find("Reading file: x.mrcs\n"), std::string::npos);
}

// Runs bad.mrc and good.mrc of the folder with local refinement on box files
// of the suffix, and checks that bad.mrc is skipped before its fit for why
// (said once, and last in its log), leaving no spectrum, table or result,
// while good.mrc is fitted and gets the summary's one row.
RunResult run_local_batch_skipping_bad(const TempDir& dir, const std::string& suffix, const std::string& why) {
    const RunResult r = vorn_in(dir, {"--do_local_refine", "1", "--boxsuffix", suffix, "--local_boxsize", "64",
                                      "--local_radius", "64", "--ctfstar", "all", "bad.mrc", "good.mrc"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.count("micrograph bad.mrc skipped: " + why + "; no result is written."), 1u) << r.out;
    EXPECT_TRUE(r.has("All 2 micrographs: 1 done, 0 skipped as already done, 1 failed: bad.mrc\n")) << r.out;
    EXPECT_EQ(r.count("1S2R: "), 1u) << r.out;  // one fit: the good micrograph's
    for (const char* none : {"bad.pow", "bad.ctf", "bad_EPA.log", "bad_local.star"})
        EXPECT_FALSE(exists(dir.file(none))) << none;
    const std::string log = read_text(dir.file("bad_vorn.log"));
    EXPECT_EQ(log.find("Final Values"), std::string::npos);
    EXPECT_EQ(log.find("Processing done successfully"), std::string::npos);
    EXPECT_NE(log.find("Skipped: " + why + ".\n"), std::string::npos);
    const auto rows = summary_rows(read_text(dir.file("all.star")));
    EXPECT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows.empty() ? "" : rows[0][0], "good.mrc");
    return r;
}

// With local refinement each box file is read with the micrograph's other
// checks: one the run cannot use skips its micrograph before the fit, so it
// leaves no spectrum, table or result; the others are refined at their boxes.
TEST(Batch, AMicrographSkippedForItsBoxFileWritesNoFit) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    const MadeFile boxes[] = {
        {"one value per line", [](const std::string& name) { std::ofstream(name) << "100\n100\n64\n64\n"; }},
        {"a directory", [](const std::string& name) { std::filesystem::create_directory(name); }},
    };
    for (const MadeFile& c : boxes) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_sim_crops(dir, {{"bad.mrc", "sim01_df8000.mrc"}, {"good.mrc", "sim01_df8000.mrc"}}, n);
        std::ofstream(dir.file("good.box")) << "100 100 64 64\n";
        c.make(dir.file("bad.box"));
        run_local_batch_skipping_bad(dir, ".box", "its box file cannot be read (bad.box)");
        EXPECT_NE(read_text(dir.file("good_vorn.log")).find("  Local Values\n"), std::string::npos);
    }
}

// A box file of an ending the readers do not know is one the run cannot read:
// its micrograph is skipped before the fit, never done without particles. A
// box file that is missing leaves out only the local refinement: the global
// fit stands and gets its row.
TEST(Batch, ABoxFileOfNoKnownFormatSkipsItsMicrographAndAMissingOneOnlyItsLocalRefinement) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    for (const char* suffix : {".cbox", ".txt", ".coords"}) {
        SCOPED_TRACE(suffix);
        TempDir dir;
        write_sim_crops(dir, {{"bad.mrc", "sim01_df8000.mrc"}, {"good.mrc", "sim01_df8000.mrc"}}, n);
        const std::string box = std::string("bad") + suffix;
        std::ofstream(dir.file(box)) << "100 100 64 64\n";
        const std::string why = "its box file, neither .box nor .star, cannot be read (" + box + ")";
        const RunResult r = run_local_batch_skipping_bad(dir, suffix, why);
        EXPECT_EQ(r.count(std::string("the box file good") + suffix + " does NOT exist! Local refinement automatically "
                                                                      "ignored!"),
                  1u)
            << r.out;
        const std::string good_log = read_text(dir.file("good_vorn.log"));
        EXPECT_NE(good_log.find("Final Values"), std::string::npos);
        EXPECT_EQ(good_log.find("Local Values"), std::string::npos);
    }
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

// A micrograph whose spectrum is reloaded from its ".pow" gets the EPA table
// and B-factor of the fresh run that wrote it, first in its run or after a
// micrograph a thousand times brighter, whose log amplitude it must not take.
TEST_F(Run, AReloadedMicrographGivesTheEpaTableAndBfactorOfItsFreshRun) {
    std::vector<float> big = sim_crop("sim02_df15000.mrc", n);
    for (float& v : big) v *= 1000.0f;
    write_mrc(dir.file("big.mrc"), big, n);
    auto estimate = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {"--apix", "1.0", "--boxsize", "256", "--ctfstar", "none"});
        CommandLine cmd(words);
        testing::internal::CaptureStdout();
        EXPECT_EQ(vorn_seeded_estimate(cmd.argc(), cmd.argv.data(), 11), 0);
        return testing::internal::GetCapturedStdout();
    };
    estimate({dir.file("a.mrc")});
    const std::string fresh_table = read_text(dir.file("a_EPA.log"));
    const std::string fresh_b = line_with(read_text(dir.file("a_vorn.log")), "B_FACTOR");
    ASSERT_NE(fresh_b, "");
    for (const bool after_big : {false, true}) {
        SCOPED_TRACE(after_big ? "after a brighter micrograph" : "first of the run");
        std::vector<std::string> words = {"--reload_ctf_files", "1", dir.file("a.mrc")};
        if (after_big) words.insert(words.begin() + 2, dir.file("big.mrc"));
        const std::string out = estimate(words);
        ASSERT_EQ(out.find("pre-loading CTF files " + dir.file("big.ctf")), std::string::npos);
        ASSERT_NE(out.find("pre-loading CTF files " + dir.file("a.ctf")), std::string::npos) << out;
        EXPECT_EQ(read_text(dir.file("a_EPA.log")), fresh_table);
        EXPECT_EQ(line_with(read_text(dir.file("a_vorn.log")), "B_FACTOR"), fresh_b);
    }
}

// ---- option values that no stage can use ----

// Each command line runs in a folder that holds a crop of a simulated micrograph.
// A value that no stage can use ends the run with status 1 before any micrograph
// is fitted: no log, no summary. Band limits given the wrong way round and text
// options given twice go on with a warning, and the fit gets its row.
TEST(OptionChecks, ValuesNoStageCanUseEndTheRunBeforeAnyMicrographIsFitted) {
    SKIP_WITHOUT_SIM_DATA();
    struct Case {
        std::vector<std::string> words;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {{"--resL", "10", "--resH", "10", "a.mrc"}, 1,
         "--resH 10 is refused: allowed a high resolution limit below --resL 10 A: the band between them is empty"},
        {{"--do_Hres_ref", "--Href_resL", "8", "--Href_resH", "8", "a.mrc"}, 1, "--Href_resH 8 is refused"},
        {{"--do_local_refine", "--local_resL", "0", "--local_resH", "-3", "a.mrc"}, 1,
         "--local_resH -3 is refused: allowed a high resolution limit above 0 A"},
        {{"--convs_out", "0", "a.mrc"}, 1, "--convs_out 0 is refused: allowed a background box of 2 pixels or more"},
        {{"--convs_out", "-5", "a.mrc"}, 1, "--convs_out -5 is refused"},
        {{"--boxsize", "256", "--convsize", "1", "a.mrc"}, 1, "--convsize 1 is refused"},
        {{"--do_local_refine", "--local_radius", "-1", "a.mrc"}, 1, "--local_radius -1 is refused"},
        {{"--do_local_refine", "--local_boxtype", "0", "a.mrc"}, 1,
         "unrecognized local_boxtype! --local_boxtype 0 is refused: allowed the local box types 1 (each "
         "micrograph's box file) and 3 (an automatic grid)"},
        {{"--do_local_refine", "--local_boxtype", "2", "a.mrc"}, 1,
         "LOCAL_REFINE_GIVENBOX unsupported in the current version! --local_boxtype 2 is refused"},
        // The local box, fitted to the micrograph, leaves the automatic grid no room to step.
        {{"--do_local_refine", "--local_boxtype", "3", "a.mrc"}, 1,
         "--local_autogrid_X 7 is refused: allowed at most 0 boxes a side"},
        {{"--do_local_refine", "--local_boxtype", "3", "--local_boxsize", "200", "--local_autogrid_Y", "57", "a.mrc"}, 1,
         "--local_autogrid_Y 57 is refused: allowed at most 56 boxes a side"},
        {{"--do_Hres_ref", "--Href_resL", "3", "--Href_resH", "20", "a.mrc"}, 0,
         "Warning: Href_resL smaller than Href_resH, swapping them ..."},
        {{"--input_ctfstar", "old.star", "--input_ctfstar", "in.star"}, 0,
         "Warning: --input_ctfstar is given more than once: the earlier value old.star is ignored, in.star is used."},
        {{"--ctfstar", "first", "--ctfstar", "micrographs_all_vorn", "a.mrc"}, 0,
         "Warning: --ctfstar is given more than once: the earlier value first is ignored, micrographs_all_vorn is "
         "used."},
    };
    TempDir dir;
    write_mrc(dir.file("a.mrc"), sim_crop("sim01_df8000.mrc", 256), 256);
    std::FILE* in = std::fopen(dir.file("in.star").c_str(), "w");
    std::fprintf(in, "data_\nloop_\n_rlnMicrographName #1\n_rlnDefocusU #2\na.mrc 8000\n");
    std::fclose(in);
    const std::string summary = dir.file("micrographs_all_vorn.star");
    for (const Case& c : cases) {
        std::vector<std::string> words = {"--apix", "1.0"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        std::string line;
        for (const std::string& w : c.words) line += " " + w;
        SCOPED_TRACE(line);
        std::filesystem::remove(summary);
        std::filesystem::remove(dir.file("a_vorn.log"));
        const RunResult r = run_vorn(words, dir.path);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_TRUE(r.has(c.message)) << r.out;
        EXPECT_FALSE(r.has("Sanitizer") || r.has("runtime error")) << r.out;
        if (c.status != 0) {
            EXPECT_FALSE(r.has("Final Values")) << r.out;
            EXPECT_FALSE(exists(dir.file("a_vorn.log")));
            EXPECT_FALSE(exists(summary));
            continue;
        }
        const auto rows = summary_rows(read_text(summary));
        ASSERT_EQ(rows.size(), 1u) << r.out;
        EXPECT_GT(std::stod(rows[0][10]), 0.0);  // the figure of merit of a fit in a band that holds the spectrum
    }
}

// ---- inputs that are no regular file, --astm extremes, foreign summary rows, the box fitted to the first micrograph ----

namespace {

void put_text(const std::string& name, const std::string& text) {
    std::FILE* f = std::fopen(name.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

}  // namespace

// A box file or input CTF STAR file that is a named pipe, a directory or a
// device is refused unopened, saying what it is; a pipe never holds the run
// (run_vorn's time limit fails a run that waits on one). A box file skips its
// micrograph and the batch goes on; an input CTF STAR file ends the run with
// status 1 before any micrograph is fitted: no log, no summary.
TEST(NonRegularInputs, AreRefusedUnopenedSayingWhatTheyAre) {
    SKIP_WITHOUT_SIM_DATA();
    constexpr int n = 256;
    enum class Role { BoxFile, InputCtfStar };
    enum class Kind { Pipe, Directory, Device };
    struct Case {
        Role role;
        Kind kind;
        const char* said;
    };
    const Case cases[] = {
        {Role::BoxFile, Kind::Pipe, "a named pipe"},
        {Role::BoxFile, Kind::Directory, "a directory"},
        {Role::InputCtfStar, Kind::Pipe, "a named pipe"},
        {Role::InputCtfStar, Kind::Directory, "a directory"},
        {Role::InputCtfStar, Kind::Device, "a device"},
    };
    const std::vector<float> image = sim_crop("sim01_df8000.mrc", n);
    for (const Case& c : cases) {
        const bool box = c.role == Role::BoxFile;
        SCOPED_TRACE(std::string(box ? "box file: " : "input CTF STAR file: ") + c.said);
        TempDir dir;
        const std::string a = dir.file("a.mrc"), m = dir.file("m.mrc"), summary = dir.file("all.star");
        const std::string file = c.kind == Kind::Device ? "/dev/null" : dir.file(box ? "m.box" : "in.star");
        if (c.kind == Kind::Pipe) {
            ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
        } else if (c.kind == Kind::Directory) {
            ASSERT_TRUE(std::filesystem::create_directory(file));
        }
        write_mrc(a, image, n);
        std::vector<std::string> words = {"--apix", "1.0", "--boxsize", "256", "--ctfstar", dir.file("all")};
        if (box) {
            write_mrc(m, image, n);
            put_text(dir.file("a.box"), "100 100 64 64\n");
            words.insert(words.end(), {"--do_local_refine", "1", "--boxsuffix", ".box", "--local_boxsize", "64",
                                       "--local_radius", "64", a, m});
        } else {
            words.insert(words.end(), {"--refine_input_ctf", "1", "--input_ctfstar", file, a});
        }
        const RunResult r = run_vorn(words);
        EXPECT_EQ(r.status, 1) << r.out;
        if (box) {
            EXPECT_TRUE(r.has(file + " is " + c.said + ", not a coordinate file.")) << r.out;
            EXPECT_TRUE(r.has("All 2 micrographs: 1 done, 0 skipped as already done, 1 failed: " + m + "\n")) << r.out;
            const auto rows = summary_rows(read_text(summary));
            ASSERT_EQ(rows.size(), 1u);
            EXPECT_EQ(rows[0][0], a);
        } else {
            EXPECT_TRUE(r.has("--input_ctfstar " + file + " is " + c.said + ", not a CTF STAR file! Exit now!")) << r.out;
            EXPECT_FALSE(r.has("no _rlnMicrographName column")) << r.out;
            EXPECT_FALSE(r.has("Final Values")) << r.out;
            EXPECT_FALSE(exists(summary));
            EXPECT_FALSE(exists(dir.file("a_vorn.log")));
        }
    }
}

// --astm is the expected size of the astigmatism: a negative value gives its
// size, and a size of 10000 A or more, however it was given, is replaced by
// 1000 with the warning, so the fit stays near the micrograph's defocus.
TEST(OptionChecks, AnAstigmatismTooLargeInEitherSignIsSetToTheDefault) {
    SKIP_WITHOUT_SIM_DATA();
    TempDir dir;
    write_mrc(dir.file("a.mrc"), sim_crop("sim01_df8000.mrc", 256), 256);
    for (const char* astm : {"-1e30", "-1e6", "1e30"}) {
        SCOPED_TRACE(astm);
        const RunResult r = run_vorn({"--apix", "1.0", "--boxsize", "256", "--astm", astm, "--ctfstar",
                                      dir.file("all"), dir.file("a.mrc")});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(r.has("Waring: too large --astm ")) << r.out;
        EXPECT_TRUE(r.has("Set it as default 1000.0 angstrom. \n")) << r.out;
        EXPECT_TRUE(r.has("        --astm               1000.00\n")) << r.out;
        const auto rows = summary_rows(read_text(dir.file("all.star")));
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_EQ(rows[0].size(), 12u);
        // The simulation's defocus is 8000 and 7500 A.
        EXPECT_NEAR(0.5 * (std::stod(rows[0][2]) + std::stod(rows[0][3])), 7750.0, 1000.0);
        EXPECT_LT(std::fabs(std::stod(rows[0][2]) - std::stod(rows[0][3])), 3000.0);
    }
}

// A resumed summary keeps the rows of micrographs that are not in the run's
// list and drops lines that are no whole row, as before; the kept row that holds
// a value that is not a number and the dropped line are each named in a warning.
TEST(ResumedSummary, ForeignRowsKeptWithAValueThatIsNotANumberOrDroppedAreNamed) {
    SKIP_WITHOUT_SIM_DATA();
    TempDir dir;
    const std::string a = dir.file("a.mrc"), star = dir.file("all.star");
    write_mrc(a, sim_crop("sim01_df8000.mrc", 256), 256);
    const std::vector<std::string> words = {"--apix", "1.0", "--boxsize", "256", "--do_unfinished", "1", "--ctfstar",
                                            star, a};
    ASSERT_EQ(run_vorn(words).status, 0);
    const auto done = summary_rows(read_text(star));
    ASSERT_EQ(done.size(), 1u);
    std::string with_nan;
    for (size_t k = 0; k < done[0].size(); ++k)
        with_nan += (k ? " " : "") + (k == 0 ? dir.file("x.mrc") : k == 3 ? "nan" : done[0][k]);
    const std::string text = read_text(star);
    const long lines = std::count(text.begin(), text.end(), '\n');
    put_text(star, text + with_nan + "\n" + dir.file("y.mrc") + " " + dir.file("y.ctf") + ":mrc 12000.0\n");

    const RunResult r = run_vorn(words);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.has("Resuming the summary " + star + ": 2 rows kept.")) << r.out;
    EXPECT_TRUE(r.has("line " + std::to_string(lines + 1) + " of the summary " + star + ", the row of micrograph " +
                      dir.file("x.mrc") + " (not in this run's list), holds the value nan, which is not a number; "
                      "the row is kept as it is."))
        << r.out;
    EXPECT_TRUE(r.has("line " + std::to_string(lines + 2) + " of the summary " + star + ", a row of micrograph " +
                      dir.file("y.mrc") + " (not in this run's list), holds 3 words where a row holds 12; it is no "
                      "row and is dropped."))
        << r.out;
    EXPECT_FALSE(r.has("of micrograph " + a + " (not in this run's list)")) << r.out;
    const auto rows = summary_rows(read_text(star));
    ASSERT_EQ(rows.size(), 2u) << read_text(star);
    EXPECT_EQ(rows[0], done[0]);
    EXPECT_EQ(rows[1][0], dir.file("x.mrc"));
    EXPECT_EQ(rows[1][3], "nan");
}

// The first readable micrograph sizes the run: a spectrum box larger than it is
// shrunk to fit, with a warning, and the run goes on with that box.
TEST(FirstMicrograph, ShrinksASpectrumBoxLargerThanItWithAWarning) {
    SKIP_WITHOUT_SIM_DATA();
    struct Case {
        const char* boxsize;
        int box;  // the box in force
        bool shrunk;
    };
    TempDir dir;
    const std::string mic = dir.file("a.mrc");
    write_mrc(mic, sim_crop("sim01_df8000.mrc", 400), 400);
    for (const Case& c : {Case{"512", 400, true}, Case{"256", 256, false}}) {
        SCOPED_TRACE(c.boxsize);
        const RunResult r = run_vorn({"--apix", "1.0", "--boxsize", c.boxsize, "--ctfstar", "none", mic});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.has("the spectrum box of 512 pixels does not fit in the first micrograph " + mic +
                        " of 400 x 400 pixels; the box is shrunk to 400 pixels for the whole run."),
                  c.shrunk)
            << r.out;
        EXPECT_EQ(r.has("is shrunk to"), c.shrunk) << r.out;
        EXPECT_NE(read_text(dir.file("a_vorn.log")).find(" " + std::to_string(c.box) + "       50.0        4.0   "),
                  std::string::npos);
    }
}
