// The picker program as users run it: help and usage, picks on synthetic
// micrographs with dark particles at known centres (even and odd shrunk sizes
// in both orientations, a template stack with one class per template), the
// micrographs a run must skip and its closing line and status, --do_unfinished,
// box rows, exclusion, the written maps, templates refused before any pick, the
// files of a batch (outputs that would overwrite an input or each other,
// outputs that cannot be written, files of its own given as micrographs), its
// log as it goes, and the estimator finding its picks.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#define VORN_UNIT "tests/morvandel"
#include "estimator_fixture.h"
#include "immutable_fixture.h"
#include "program_fixture.h"

using namespace vorn_test;

namespace {

RunResult run_morvandel(const std::vector<std::string>& words, const std::string& dir) {
    return run_program("morvandel", words, dir);
}

struct Particle {
    double x, y;  // original pixels
    int kind;     // 0: a disc, 1: an ellipse along x of the disc's area
};

// A particle of its kind at offset (dx, dy) from its centre: 1 inside, with a soft edge.
double particle(int kind, double dx, double dy) {
    const double a = kind == 0 ? 20 : 30, b = kind == 0 ? 20 : 13.3;  // semi-axes
    return 1.0 / (1.0 + std::exp((std::hypot(dx / a, dy / b) - 1.0) * b / 1.5));
}

// Dark particles on white noise of deviation 2, so that after the shrink by 4
// the particles do not stand out as ice would.
std::vector<float> micrograph(int nx, int ny, const std::vector<Particle>& particles, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 2.0f);
    std::vector<float> mic((size_t)nx * ny);
    for (float& v : mic) v = noise(rng);
    for (const Particle& p : particles)
        for (int y = std::max(0, (int)p.y - 36); y <= std::min(ny - 1, (int)p.y + 36); ++y)
            for (int x = std::max(0, (int)p.x - 36); x <= std::min(nx - 1, (int)p.x + 36); ++x)
                mic[(size_t)y * nx + x] -= (float)particle(p.kind, x - p.x, y - p.y);
    return mic;
}

// Particles on a grid of 80 pixels from 60 pixels off the edges, a little off
// whole pixels; kinds alternate when two are asked for.
std::vector<Particle> particle_grid(int nx, int ny, int kinds) {
    std::vector<Particle> ps;
    int k = 0;
    for (int y = 60; y <= ny - 60; y += 80)
        for (int x = 60; x <= nx - 60; x += 80, ++k) ps.push_back({x + 0.3, y + 0.6, kinds > 1 ? k % 2 : 0});
    return ps;
}

void write_micrograph(const std::string& name, int nx, int ny, const std::vector<Particle>& ps, unsigned seed = 7) {
    mrcf_write_xyz_data(name.c_str(), micrograph(nx, ny, ps, seed).data(), nx, ny, 1);
}

struct Pick {
    int x, y, cls;
    double score;
};

// The rows of a pick file: STAR (x, y, class, angle, score) or box rows (corner,
// size, score, class, angle), centres in original pixels either way.
std::vector<Pick> read_picks(const std::string& name) {
    std::vector<Pick> picks;
    std::istringstream lines(read_text(name));
    const bool star = name.size() > 5 && name.substr(name.size() - 5) == ".star";
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::vector<double> v;
        for (double d; in >> d;) v.push_back(d);
        if (star && v.size() == 5) picks.push_back({(int)v[0], (int)v[1], (int)v[2], v[4]});
        if (!star && v.size() == 7)
            picks.push_back({(int)(v[0] + v[2] / 2), (int)(v[1] + v[3] / 2), (int)v[5], v[4]});
    }
    return picks;
}

// Every particle has a pick within reach (of its kind's class when classes
// count), and every pick is a particle's.
void expect_picks_on(const std::vector<Pick>& picks, const std::vector<Particle>& ps, bool classes = false,
                     double reach = 8.0) {
    for (const Particle& p : ps) {
        int hits = 0;
        for (const Pick& k : picks)
            if (std::hypot(k.x - p.x, k.y - p.y) <= reach && (!classes || k.cls == p.kind + 1)) ++hits;
        std::string near;  // the picks around it, with their classes
        for (const Pick& k : picks)
            if (std::hypot(k.x - p.x, k.y - p.y) <= 5 * reach)
                near += " " + std::to_string(k.x) + "," + std::to_string(k.y) + " class " + std::to_string(k.cls);
        EXPECT_EQ(hits, 1) << "particle at " << p.x << "," << p.y << "; picks near it:" << near;
    }
    for (const Pick& k : picks) {
        double nearest = 1e9;
        for (const Particle& p : ps) nearest = std::min(nearest, std::hypot(k.x - p.x, k.y - p.y));
        EXPECT_LE(nearest, reach) << "pick on the background at " << k.x << "," << k.y;
    }
}

// 1 A per pixel, particles of 40 A: shrunk by 4 (the default speed) the
// automatic template is 25 pixels and a cell 5.
const std::vector<std::string> kSettings = {"--apixM", "1", "--diameter", "40", "--cc_cutoff", "0.3"};

std::vector<std::string> with_settings(std::vector<std::string> words) {
    words.insert(words.begin(), kSettings.begin(), kSettings.end());
    return words;
}

class Picker : public ::testing::Test {
protected:
    TempDir dir;
    RunResult pick(const std::vector<std::string>& words) { return run_morvandel(with_settings(words), dir.path); }
};

TEST(Program, HelpUsageAndUnknownOptions) {
    TempDir dir;
    const RunResult help = run_morvandel({"--help"}, dir.path);
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.has("morvandel [options] <micrographs>  \n"));
    EXPECT_TRUE(help.has("\033[1m Tips\033[m: "));
    const RunResult none = run_morvandel({}, dir.path);
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(none.has("Usage:"));
    EXPECT_TRUE(none.has("No valid files to be processed."));
    // A typo ends the run after the list of valid options, before any picking.
    const RunResult typo = run_morvandel({"--diamter", "40", "a.mrc"}, dir.path);
    EXPECT_EQ(typo.status, 1);
    EXPECT_TRUE(typo.has("Failed to recognize option: \033[41m\033[1m\033[5m--diamter!"));
    EXPECT_TRUE(typo.has("All valid options:"));
}

TEST_F(Picker, PicksLandOnTheParticlesForEvenAndOddShrunkSizesAndUnusableMicrographsAreSkipped) {
    // Sizes whose shrunk size (by 4) is even, odd in x, odd in y and odd in
    // both, in both orientations; then micrographs that cannot be picked.
    const struct {
        const char* name;
        int nx, ny;
    } sizes[] = {{"even.mrc", 400, 320}, {"wide.mrc", 404, 300}, {"tall.mrc", 300, 404}, {"odd.mrc", 380, 364}};
    std::vector<std::string> words;
    for (const auto& s : sizes) {
        write_micrograph(dir.file(s.name), s.nx, s.ny, particle_grid(s.nx, s.ny, 1));
        words.push_back(s.name);
    }
    write_micrograph(dir.file("small.mrc"), 80, 80, {});  // 20 x 20 shrunk, the template is 25
    std::vector<float> nan = micrograph(200, 200, {}, 3);
    nan[200 * 50 + 70] = NAN;
    mrcf_write_xyz_data(dir.file("nan.mrc").c_str(), nan.data(), 200, 200, 1);
    std::ofstream(dir.file("text.mrc")) << std::string(3000, 'x');
    const std::vector<float> flat(200 * 200, 0.5f);
    mrcf_write_xyz_data(dir.file("flat.mrc").c_str(), flat.data(), 200, 200, 1);
    ASSERT_EQ(mkfifo(dir.file("pipe.mrc").c_str(), 0644), 0);  // opened, it would hold the run for ever
    std::vector<float> frames = micrograph(200, 200, {}, 4);
    frames.resize(3 * frames.size(), 1.0f);
    mrcf_write_xyz_data(dir.file("stack.mrcs").c_str(), frames.data(), 200, 200, 3);
    std::vector<float> huge = micrograph(200, 200, {}, 5);  // finite, but their squares overflow the sums
    for (float& v : huge) v *= 1e30f;
    mrcf_write_xyz_data(dir.file("huge.mrc").c_str(), huge.data(), 200, 200, 1);
    for (const char* bad : {"small.mrc", "text.mrc", "nan.mrc", "flat.mrc", "missing.mrc", "pipe.mrc", "stack.mrcs",
                            "huge.mrc"})
        words.push_back(bad);

    const RunResult r = pick(words);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.has("All 12 micrographs: 4 picked, 8 skipped: small.mrc, text.mrc, nan.mrc, flat.mrc, missing.mrc, "
                      "pipe.mrc, stack.mrcs, huge.mrc\n"))
        << r.out;
    for (const char* why : {"the micrograph small.mrc (80 x 80) cannot be picked: shrunk by 4 to 20 x 20 pixels it is "
                            "smaller than the template of 25 x 25; skipped.",
                            "the micrograph text.mrc is NOT an MRC image", "the micrograph nan.mrc cannot be picked",
                            "the micrograph flat.mrc cannot be picked: it has no variance; skipped.",
                            "the micrograph missing.mrc does NOT exsit",
                            "the micrograph pipe.mrc is a named pipe, not a micrograph file! Automatically ignored!",
                            "the micrograph stack.mrcs (200 x 200) cannot be picked: its file holds 3 sections (a "
                            "stack or a movie), not one image; skipped.",
                            "the micrograph huge.mrc cannot be picked: its values are too large: the sum of their "
                            "squares overflows single precision; skipped."})
        EXPECT_TRUE(r.has(why)) << why;
    for (const auto& s : sizes) {
        SCOPED_TRACE(s.name);
        const std::string base = dir.file(std::string(s.name).substr(0, std::string(s.name).size() - 4));
        expect_picks_on(read_picks(base + "_morvandel.star"), particle_grid(s.nx, s.ny, 1));
        EXPECT_EQ(read_text(base + "_morvandel.star").find("\ndata_\n\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n"
                                                       "_rlnClassNumber #3\n_rlnAnglePsi #4\n"
                                                       "_rlnAutopickFigureOfMerit #5\n"),
                  0u);
        EXPECT_TRUE(exists(base + "_rejected.box"));
        EXPECT_FALSE(exists(base + "_morvandel.star.part"));  // written aside, then moved into place
    }
    for (const char* skipped : {"small", "text", "nan", "flat", "missing", "pipe", "stack", "huge"})
        EXPECT_FALSE(exists(dir.file(std::string(skipped) + "_morvandel.star"))) << skipped;
}

TEST_F(Picker, AMicrographInWhichNoBoxFitsIsSkipped) {
    write_micrograph(dir.file("m.mrc"), 320, 320, particle_grid(320, 320, 1));
    const RunResult r = pick({"--boxsize", "400", "m.mrc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.has("cannot be picked: no box of 400 pixels (--boxsize) fits in its 320 x 320 pixels; skipped."))
        << r.out;
    EXPECT_FALSE(exists(dir.file("m_morvandel.star")));
}

TEST_F(Picker, TemplateStackGivesEachPickItsTemplatesClass) {
    // Templates (white, 96 x 96 at 1 A, shrunk with the micrograph): a disc and an ellipse.
    const int n = 96, nx = 400, ny = 400;
    std::vector<float> stack;
    for (int kind : {0, 1})
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) stack.push_back((float)particle(kind, x - n / 2, y - n / 2));
    mrcf_write_xyz_data(dir.file("templates.mrcs").c_str(), stack.data(), n, n, 2);
    const std::vector<Particle> ps = particle_grid(nx, ny, 2);
    write_micrograph(dir.file("mixed.mrc"), nx, ny, ps);
    const RunResult r = pick({"--T", "templates.mrcs", "mixed.mrc"});
    ASSERT_EQ(r.status, 0) << r.out;
    expect_picks_on(read_picks(dir.file("mixed_morvandel.star")), ps, true);
}

TEST_F(Picker, DoUnfinishedSkipsFinishedMicrographsAndBoxRowsWithoutStar) {
    const std::vector<Particle> ps = particle_grid(320, 320, 1);
    for (const char* name : {"a.mrc", "b.mrc"}) write_micrograph(dir.file(name), 320, 320, ps);
    std::ofstream(dir.file("a_morvandel.box")) << "done\n";
    std::ofstream(dir.file("b_picks.box")) << "an earlier version's name\n";  // not this picker's pick file
    const RunResult r = pick({"--write_star", "0", "--do_unfinished", "a.mrc", "b.mrc"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.has("Picks of a.mrc already written to a_morvandel.box. Automatically skipped.\n")) << r.out;
    EXPECT_TRUE(r.has("All 2 micrographs: 1 picked, 1 skipped as already done, 0 skipped.\n")) << r.out;
    EXPECT_EQ(read_text(dir.file("a_morvandel.box")), "done\n");
    EXPECT_FALSE(exists(dir.file("b_morvandel.star")));
    const std::vector<Pick> picks = read_picks(dir.file("b_morvandel.box"));
    expect_picks_on(picks, ps);
    // Box rows: corner, the box of 1.33 x diameter made even, score, class 1, angle.
    std::istringstream first(read_text(dir.file("b_morvandel.box")));
    int x, y, w, h, cls;
    double score, angle;
    ASSERT_TRUE(first >> x >> y >> w >> h >> score >> cls >> angle);
    EXPECT_EQ(w, 52);
    EXPECT_EQ(h, 52);
    EXPECT_EQ(cls, 1);
    EXPECT_GE(score, 0.3);

    // A directory of the pick file's name is no finished pick file: the micrograph is tried and skipped for it.
    write_micrograph(dir.file("c.mrc"), 320, 320, ps);
    mkdir(dir.file("c_morvandel.box").c_str(), 0755);
    const RunResult c = pick({"--write_star", "0", "--do_unfinished", "a.mrc", "c.mrc"});
    EXPECT_EQ(c.status, 1) << c.out;
    EXPECT_TRUE(c.has("the micrograph c.mrc is skipped: its output c_morvandel.box cannot be written (a directory "
                      "stands in its place)."))
        << c.out;
    EXPECT_TRUE(c.has("All 2 micrographs: 0 picked, 1 skipped as already done, 1 skipped: c.mrc\n")) << c.out;
}

TEST_F(Picker, ExcludedBoxesDropTheirParticles) {
    // A box around the particle at (140.3, 140.6), per micrograph or for every micrograph.
    const std::vector<Particle> ps = particle_grid(320, 320, 1);
    write_micrograph(dir.file("m.mrc"), 320, 320, ps);
    std::ofstream(dir.file("m_manual.box")) << "114 114 52 52\n";
    std::ofstream(dir.file("global.box")) << "114 114 52 52\n";
    const std::vector<std::vector<std::string>> cases = {
        {"--exclusive_picking", "--excluded_suffix", "_manual.box"},
        {"--mask_excluded", "--excluded_suffix", "_manual.box"},
        {"--exclusive_picking", "--global_excluded_box", "global.box"},
    };
    std::vector<Particle> kept;
    for (const Particle& p : ps)
        if (std::hypot(p.x - 140, p.y - 140) > 10) kept.push_back(p);
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0] + " " + c[1]);
        std::vector<std::string> words = c;
        words.push_back("m.mrc");
        const RunResult r = pick(words);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(r.has("particles in file")) << r.out;
        expect_picks_on(read_picks(dir.file("m_morvandel.star")), kept);
    }
}

TEST_F(Picker, MapsAreWrittenWhenAskedAtTheShrunkSize) {
    write_micrograph(dir.file("m.mrc"), 320, 240, particle_grid(320, 240, 1));
    const RunResult r = pick({"--do_pre_filter", "--write_pref_mic", "--write_bg_mic", "--write_lsigma_mic",
                              "--write_mic_mask", "--write_bgfree_mic", "--write_ccmax_mic", "m.mrc"});
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* map : {"_pref", "_bg", "_lsigma", "_mask", "_bgfree", "_ccmax"}) {
        SCOPED_TRACE(map);
        MRC_HEAD h;
        ASSERT_EQ(mrcf_read_head(dir.file(std::string("m") + map + ".mrc").c_str(), &h), 0);
        EXPECT_EQ(h.nx, 80);
        EXPECT_EQ(h.ny, 60);
        // The shrunk pixel size: 1 A x shrink 4.
        EXPECT_EQ(h.cella[0] / (float)h.mx, 4.0f);
        EXPECT_EQ(h.cella[1] / (float)h.my, 4.0f);
    }
}

// The pick file the program writes beside a micrograph of that base name.
std::string picks_of(const std::string& base) { return base + "_morvandel.star"; }

// The percentages of the micrograph's line: left out in all, and of that by ice
// and contamination; -1 when the line is not there.
std::array<double, 2> left_out(const std::string& out, const std::string& name) {
    const std::string head = "Picks of " + name + " written to ";
    const size_t at = out.find(head);
    if (at == std::string::npos) return {-1, -1};
    const size_t semicolon = out.find("; ", at);
    double total = -1, ice = -1;
    if (semicolon == std::string::npos ||
        std::sscanf(out.c_str() + semicolon, "; %lf%% of its area left out (ice and contamination %lf%%", &total,
                    &ice) != 2)
        return {-1, -1};
    return {total, ice};
}

// Dark soft discs whose contrast is the noise deviation (1) on the left of a
// 512 x 320 micrograph and nothing on its right; with blob, a dark blob of
// contrast -4 (radius 50 around (440, 160)) on the right, with one more
// particle inside it.
const std::vector<Particle> kClear = {{60.3, 60.6, 0},   {140.3, 60.6, 0},  {220.3, 60.6, 0},
                                      {60.3, 140.6, 0},  {140.3, 140.6, 0}, {220.3, 140.6, 0},
                                      {60.3, 220.6, 0},  {140.3, 220.6, 0}, {220.3, 220.6, 0}};
void write_strong_micrograph(const std::string& name, bool blob) {
    const int nx = 512, ny = 320;
    std::vector<Particle> ps = kClear;
    if (blob) ps.push_back({440.3, 160.6, 0});
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> mic((size_t)nx * ny);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            double v = noise(rng);
            if (blob) v -= 4.0 / (1.0 + std::exp(std::hypot(x - 440.0, y - 160.0) - 50.0));
            for (const Particle& p : ps)
                if (std::abs(x - p.x) < 36 && std::abs(y - p.y) < 36) v -= particle(0, x - p.x, y - p.y);
            mic[(size_t)y * nx + x] = (float)v;
        }
    mrcf_write_xyz_data(name.c_str(), mic.data(), nx, ny, 1);
}

TEST_F(Picker, StrongParticlesAreKeptAndADarkBlobLeftOutAtEverySpeed) {
    // The ice thresholds are in deviations of the unshrunk micrograph's noise at
    // every speed: particles whose contrast is that deviation stay, with or
    // without a blob of four times it beside them, the blob goes, and each
    // micrograph's line says how much was left out. At 4 A per pixel the
    // particles are 40 pixels wide and the windows of the local statistics
    // (62 and 45 pixels) hold little more than one.
    write_strong_micrograph(dir.file("strong.mrc"), false);
    write_strong_micrograph(dir.file("blob.mrc"), true);
    for (const char* speed : {"0", "2", "4"}) {
        SCOPED_TRACE(std::string("--speed ") + speed);
        const RunResult r = pick({"--apixM", "4", "--diameter", "160", "--speed", speed, "strong.mrc", "blob.mrc"});
        ASSERT_EQ(r.status, 0) << r.out;
        const double reach = 8.0 + std::atoi(speed);
        expect_picks_on(read_picks(dir.file(picks_of("strong"))), kClear, false, reach);
        std::vector<Pick> picks = read_picks(dir.file(picks_of("blob")));
        for (const Pick& k : picks)
            EXPECT_GT(std::hypot(k.x - 440.0, k.y - 160.0), 60.0) << "pick in the blob at " << k.x << "," << k.y;
        picks.erase(std::remove_if(picks.begin(), picks.end(), [](const Pick& k) { return k.x > 300; }), picks.end());
        expect_picks_on(picks, kClear, false, reach);
        // Nothing of the clean micrograph is left out; of the other, the blob
        // (4.8% of it) and what lies near it, less than a quarter.
        EXPECT_EQ(left_out(r.out, "strong.mrc"), (std::array<double, 2>{0.0, 0.0})) << r.out;
        const std::array<double, 2> left = left_out(r.out, "blob.mrc");
        EXPECT_EQ(left[0], left[1]) << r.out;  // no excluded boxes
        EXPECT_GE(left[1], 4.8) << r.out;
        EXPECT_LE(left[1], 25.0) << r.out;
    }
    // Without the ice search nothing is left out, and the line says so.
    RunResult r = pick({"--apixM", "4", "--diameter", "160", "--detect_ice", "0", "blob.mrc"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.has("Picks of blob.mrc written to " + picks_of("blob") +
                      "; 0.0% of its area left out (ice and contamination 0.0%, excluded boxes 0.0%)\n"))
        << r.out;
    // An excluded box around the middle particle adds its own share.
    std::ofstream(dir.file("strong_manual.box")) << "114 114 52 52\n";
    r = pick({"--apixM", "4", "--diameter", "160", "--exclusive_picking", "--excluded_suffix", "_manual.box",
              "strong.mrc"});
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<Particle> kept = kClear;
    kept.erase(kept.begin() + 4);
    expect_picks_on(read_picks(dir.file(picks_of("strong"))), kept, false, 10.0);
    const std::array<double, 2> left = left_out(r.out, "strong.mrc");
    EXPECT_EQ(left[1], 0.0) << r.out;
    EXPECT_GT(left[0], 0.5) << r.out;
    EXPECT_LT(left[0], 10.0) << r.out;
}

// 64 dark soft discs of contrast 1 (the noise deviation) on a 768 x 768
// micrograph at 4 A per pixel, with what a scene adds: a dark blob (contrast
// -3, radius 70 around (560, 250)), a bright edge (+3 from x = 700 on), hot
// pixels.
struct Scene {
    bool blob = false, edge = false;
    std::vector<std::array<int, 3>> hot;  // x, y, value
};
const int kSceneSide = 768;
std::vector<Particle> scene_particles() {
    std::vector<Particle> ps;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) ps.push_back({48.3 + 96 * x, 48.6 + 96 * y, 0});
    return ps;
}
bool in_contamination(const Scene& s, double x, double y) {
    return (s.blob && std::hypot(x - 560.0, y - 250.0) < 70.0) || (s.edge && x >= 700.0);
}
// Clear of the contamination by a particle's diameter and more.
bool clear_of(const Scene& s, const Particle& p) {
    return !(s.blob && std::hypot(p.x - 560.0, p.y - 250.0) < 130.0) && !(s.edge && p.x > 640.0);
}
void write_scene(const std::string& name, const Scene& s) {
    const int n = kSceneSide;
    std::mt19937 rng(9);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> mic((size_t)n * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            double v = noise(rng);
            if (s.blob) v -= 3.0 / (1.0 + std::exp(std::hypot(x - 560.0, y - 250.0) - 70.0));
            if (s.edge) v += 3.0 / (1.0 + std::exp((699.5 - x) / 1.5));
            for (const Particle& p : scene_particles())
                if (std::abs(x - p.x) < 36 && std::abs(y - p.y) < 36 && !in_contamination(s, p.x, p.y))
                    v -= particle(0, x - p.x, y - p.y);
            mic[(size_t)y * n + x] = (float)v;
        }
    for (const auto& h : s.hot) mic[(size_t)h[1] * n + h[0]] = (float)h[2];
    mrcf_write_xyz_data(name.c_str(), mic.data(), n, n, 1);
}
// The figures of merit of the clear particles found (a pick within reach), and
// the clear particles missed.
struct Found {
    std::vector<double> scores;
    std::vector<Particle> missed;
    double median() {
        std::sort(scores.begin(), scores.end());
        return scores.empty() ? 0.0 : scores[scores.size() / 2];
    }
};
Found found_clear(const std::vector<Pick>& picks, const Scene& s, double reach) {
    Found f;
    for (const Particle& p : scene_particles()) {
        if (!clear_of(s, p)) continue;
        const Pick* hit = nullptr;
        for (const Pick& k : picks)
            if (std::hypot(k.x - p.x, k.y - p.y) <= reach) hit = &k;
        if (hit != nullptr) f.scores.push_back(hit->score);
        else f.missed.push_back(p);
    }
    return f;
}

TEST_F(Picker, ContaminationAndHotPixelsLeftOutCostNoParticleElsewhere) {
    // What the run leaves out takes no part in the normalisation, band-pass and
    // correlation of the rest: with a dark blob and a bright edge (whose
    // contrast and ringing through the band-pass and round the periodic edges
    // once cost particles all over the micrograph, those at the far side most),
    // or with hot pixels (whose value set the deviation every figure of merit
    // was divided by), every clear particle is found at its place with a figure
    // of merit near that without them, and no pick lands in the contamination.
    // At 4 A per pixel the default band-pass (40 to 1000 A) keeps the blob and
    // the edge whole.
    const Scene clean, dirty{true, true, {}}, hot{false, false, {{300, 301, 100000}}};
    Scene many_hot;
    for (int k = 0; k < 12; ++k) many_hot.hot.push_back({31 + 61 * k, 700 - 53 * k, k % 2 ? 10000 : -10000});
    const struct {
        const char* name;
        const Scene& scene;
    } cases[] = {{"clean.mrc", clean}, {"dirty.mrc", dirty}, {"hot.mrc", hot}, {"many_hot.mrc", many_hot}};
    std::vector<std::string> words = {"--apixM", "4", "--diameter", "160", "--speed", "0", "--cc_cutoff", "0.15"};
    for (const auto& c : cases) {
        write_scene(dir.file(c.name), c.scene);
        words.push_back(c.name);
    }
    const RunResult r = pick(words);
    ASSERT_EQ(r.status, 0) << r.out;
    const double reach = 6.0;
    Found base = found_clear(read_picks(dir.file(picks_of("clean"))), clean, reach);
    ASSERT_EQ(base.missed.size(), 0u) << r.out;
    const double base_median = base.median();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string stem = std::string(c.name).substr(0, std::string(c.name).size() - 4);
        const std::vector<Pick> picks = read_picks(dir.file(picks_of(stem)));
        Found f = found_clear(picks, c.scene, reach);
        for (const Particle& p : f.missed) ADD_FAILURE() << "clear particle at " << p.x << "," << p.y << " missed";
        // Measured against the deviation of the kept area alone, they stay within a few percent; a cell
        // kept beside the contamination (or over it at the border, where the local windows dilute it)
        // whose edge reached the deviation cost some 7 % here, and far more on larger micrographs.
        EXPECT_GE(f.median(), 0.95 * base_median) << "median figure of merit";
        for (const Pick& k : picks)
            EXPECT_FALSE(in_contamination(c.scene, k.x, k.y)) << "pick in the contamination at " << k.x << "," << k.y;
    }
}

TEST_F(Picker, TemplatesThatCannotWorkEndTheRunBeforeAnyPick) {
    write_micrograph(dir.file("m.mrc"), 320, 320, particle_grid(320, 320, 1));
    std::vector<float> t(48 * 48, 1.0f);
    t[100] = NAN;
    mrcf_write_xyz_data(dir.file("nan.mrcs").c_str(), t.data(), 48, 48, 1);
    std::ofstream(dir.file("text.mrcs")) << std::string(3000, 'x');
    ASSERT_EQ(mkfifo(dir.file("pipe.mrcs").c_str(), 0644), 0);
    const std::vector<float> tiny(3 * 3, 1.0f);  // shrunk by 4 to nothing
    mrcf_write_xyz_data(dir.file("tiny.mrcs").c_str(), tiny.data(), 3, 3, 1);
    for (const char* tpl : {"nan.mrcs", "text.mrcs", "pipe.mrcs", "tiny.mrcs"}) {
        SCOPED_TRACE(tpl);
        const RunResult r = pick({"--T", tpl, "m.mrc"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.has(tpl)) << r.out;
        EXPECT_FALSE(r.has("Picks of")) << r.out;
        EXPECT_FALSE(exists(dir.file("m_morvandel.star")));
    }
}

// ---- the files of a batch ----

// Every output the run would write is compared, as the file it denotes, with
// every input before any micrograph is read: one that is an input ends the run
// naming both, and the input stays as it was.
TEST_F(Picker, AnOutputThatIsAnInputEndsTheRunBeforeAnyMicrographIsRead) {
    const std::vector<Particle> ps = particle_grid(320, 320, 1);
    for (const char* name : {"a.mrc", "b.mrc"}) write_micrograph(dir.file(name), 320, 320, ps);
    ASSERT_EQ(pick({"a.mrc", "b.mrc"}).status, 0);  // round one
    std::ofstream(dir.file("a_own.box")) << "114 114 52 52\n";
    std::rename(dir.file("a_own.box").c_str(), dir.file("a_rejected.box").c_str());  // the user's, by that name
    mrcf_write_xyz_data(dir.file("a_ccmax.mrc").c_str(), std::vector<float>(48 * 48, 1.0f).data(), 48, 48, 1);
    const struct {
        std::vector<std::string> words;
        const char* input;  // stays as it was
        const char* says;
    } cases[] = {
        {{"--exclusive_picking", "--excluded_suffix", "_morvandel.star"}, "a_morvandel.star",
         "the output a_morvandel.star of micrograph a.mrc is the exclusion file a_morvandel.star of micrograph a.mrc "
         "(--excluded_suffix); it would be overwritten"},
        {{"--exclusive_picking", "--global_excluded_box", "./b_morvandel.star"}, "b_morvandel.star",
         "the output b_morvandel.star of micrograph b.mrc is the exclusion file ./b_morvandel.star "
         "(--global_excluded_box); it would be overwritten"},
        {{"--mask_excluded", "--excluded_suffix", "_rejected.box"}, "a_rejected.box",
         "the output a_rejected.box of micrograph a.mrc is the exclusion file a_rejected.box of micrograph a.mrc "
         "(--excluded_suffix); it would be overwritten"},
        {{"--T", "a_ccmax.mrc", "--write_ccmax_mic"}, "a_ccmax.mrc",
         "the output a_ccmax.mrc of micrograph a.mrc is the templates a_ccmax.mrc (--T); it would be overwritten"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words[0] + " " + c.words[1]);
        const std::string before = read_text(dir.file(c.input));
        std::vector<std::string> words = c.words;
        words.insert(words.end(), {"a.mrc", "b.mrc"});
        const RunResult r = pick(words);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.has(c.says)) << r.out;
        EXPECT_FALSE(r.has("Picks of")) << r.out;
        EXPECT_EQ(read_text(dir.file(c.input)), before);
    }
}

// Of two micrographs whose outputs are one file, the later is skipped naming
// the earlier, whose picks stay its own; resumed, it is not taken as done.
TEST_F(Picker, OfTwoMicrographsWithTheSameOutputsTheLaterIsSkipped) {
    const std::vector<Particle> ps = particle_grid(320, 320, 1);
    write_micrograph(dir.file("a.mrc"), 320, 320, ps);
    write_micrograph(dir.file("a.mrcs"), 320, 320, {}, 9);  // no particles
    for (const bool resumed : {false, true}) {
        SCOPED_TRACE(resumed ? "resumed" : "first run");
        std::vector<std::string> words = {"a.mrc", "./a.mrcs"};
        if (resumed) words.insert(words.begin(), "--do_unfinished");
        const RunResult r = pick(words);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.has("the micrograph ./a.mrcs is skipped: its output ./a_morvandel.star is also the output "
                          "a_morvandel.star of micrograph a.mrc, listed earlier."))
            << r.out;
        EXPECT_TRUE(r.has(resumed ? "All 2 micrographs: 0 picked, 1 skipped as already done, 1 skipped: ./a.mrcs\n"
                                  : "All 2 micrographs: 1 picked, 1 skipped: ./a.mrcs\n"))
            << r.out;
        expect_picks_on(read_picks(dir.file("a_morvandel.star")), ps);
    }
}

// The maps and pick files of an earlier run, as a wildcard brings them along,
// are not micrographs: they are left out of the list, and of its count.
TEST_F(Picker, FilesThePickerWritesAreNotPickedAsMicrographs) {
    const std::vector<Particle> ps = particle_grid(320, 320, 1);
    for (const char* name : {"a.mrc", "b.mrc"}) write_micrograph(dir.file(name), 320, 320, ps);
    const std::vector<std::string> maps = {"--write_bg_mic", "--write_ccmax_mic", "--write_mic_mask"};
    std::vector<std::string> words = maps;
    words.push_back("a.mrc");
    ASSERT_EQ(pick(words).status, 0);
    // What "*.mrc" gives now, in its order.
    words = maps;
    words.insert(words.end(), {"--do_unfinished", "a.mrc", "a_bg.mrc", "a_ccmax.mrc", "a_mask.mrc", "b.mrc"});
    const RunResult r = pick(words);
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char* map : {"a_bg.mrc", "a_ccmax.mrc", "a_mask.mrc"})
        EXPECT_TRUE(r.has(std::string(map) + " is a file the picker writes for the micrograph a.mrc, not a "
                                             "micrograph; left out.\n"))
            << map;
    EXPECT_TRUE(r.has("All 2 micrographs: 1 picked, 1 skipped as already done, 0 skipped.\n")) << r.out;
    EXPECT_FALSE(exists(dir.file("a_bg_morvandel.star")));
    expect_picks_on(read_picks(dir.file("b_morvandel.star")), ps);
}

// Every output of a micrograph is looked at before it is picked, where its
// write would land (a link's target) and as it would be opened: one that
// cannot be written skips it, naming the output and why, with none of its
// other outputs written, and the list goes on to its closing line. A named
// pipe in the place of the picks' part file is found before it is opened.
TEST_F(Picker, AMicrographWithAnOutputItCannotWriteIsSkippedAndTheListGoesOn) {
    const std::vector<Particle> ps = particle_grid(320, 320, 1);
    enum Block { Folder, Immutable, AppendOnly, LinkAstray, Pipe };
    const struct {
        const char* name;
        std::vector<std::string> words;
        const char* blocked;  // the output in whose place the block stands
        Block block;
        const char* why;
    } cases[] = {
        {"the rejected areas", {}, "b_rejected.box", Folder, "a directory stands in its place"},
        {"a map", {"--write_ccmax_mic"}, "b_ccmax.mrc", Folder, "a directory stands in its place"},
        {"the picks", {}, "b_morvandel.star", Folder, "a directory stands in its place"},
        {"an immutable file", {}, "b_rejected.star", Immutable, "Operation not permitted"},
        {"an append-only file", {}, "b_rejected.box", AppendOnly, "Operation not permitted"},
        {"a link into no folder", {}, "b_rejected.star", LinkAstray, "its folder nodir: No such file or directory"},
        {"a map linked into no folder", {"--write_bg_mic"}, "b_bg.mrc", LinkAstray,
         "its folder nodir: No such file or directory"},
        {"a pipe for the picks' part file", {}, "b_morvandel.star.part", Pipe, "a named pipe stands in its place"},
        {"a pipe for the box picks' part file", {"--write_star", "0"}, "b_morvandel.box.part", Pipe,
         "a named pipe stands in its place"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir here;
        for (const char* name : {"a.mrc", "b.mrc", "c.mrc"}) write_micrograph(here.file(name), 320, 320, ps);
        const std::string blocked = here.file(c.blocked);
        std::unique_ptr<HeldAttribute> held;
        switch (c.block) {
            case Folder: mkdir(blocked.c_str(), 0755); break;
            case LinkAstray: ASSERT_EQ(symlink("nodir/x", blocked.c_str()), 0); break;
            case Pipe: ASSERT_EQ(mkfifo(blocked.c_str(), 0644), 0); break;
            case Immutable:
            case AppendOnly:
                std::ofstream(blocked) << "kept\n";
                if (c.block == Immutable) held = std::make_unique<ImmutableFile>(blocked);
                else held = std::make_unique<AppendOnlyFile>(blocked);
                break;
        }
        if (held && !held->set) continue;  // no file attributes here
        std::vector<std::string> words = with_settings(c.words);
        words.insert(words.end(), {"a.mrc", "b.mrc", "c.mrc"});
        const RunResult r = run_morvandel(words, here.path);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.has(std::string("the micrograph b.mrc is skipped: its output ") + c.blocked +
                          " cannot be written (" + c.why + ")."))
            << r.out;
        EXPECT_TRUE(r.has("All 3 micrographs: 2 picked, 1 skipped: b.mrc\n")) << r.out;
        for (const char* none : {"b_rejected.box", "b_rejected.star", "b_morvandel.star", "b_morvandel.box",
                                 "b_ccmax.mrc", "b_bg.mrc"}) {
            struct stat st;
            EXPECT_FALSE(none != std::string(c.blocked) && lstat(here.file(none).c_str(), &st) == 0) << none;
        }
        const bool box_rows = std::find(c.words.begin(), c.words.end(), "--write_star") != c.words.end();
        const char* picks = box_rows ? "_morvandel.box" : "_morvandel.star";
        for (const char* name : {"a", "c"}) EXPECT_TRUE(exists(here.file(std::string(name) + picks))) << name;
    }
}

// A micrograph listed again under another name (a link, a hard link) is the
// one listed first: it is skipped naming that one, and picked once.
TEST_F(Picker, AMicrographListedAgainUnderAnotherNameIsSkippedNamingTheFirst) {
    const std::vector<Particle> ps = particle_grid(320, 320, 1);
    for (const char* name : {"a.mrc", "b.mrc"}) write_micrograph(dir.file(name), 320, 320, ps);
    ASSERT_EQ(symlink("a.mrc", dir.file("link.mrc").c_str()), 0);
    ASSERT_EQ(link(dir.file("b.mrc").c_str(), dir.file("hard.mrc").c_str()), 0);
    const RunResult r = pick({"a.mrc", "link.mrc", "b.mrc", "hard.mrc"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.count("the micrograph link.mrc is skipped: its file is the micrograph a.mrc, listed earlier."), 1u)
        << r.out;
    EXPECT_EQ(r.count("the micrograph hard.mrc is skipped: its file is the micrograph b.mrc, listed earlier."), 1u)
        << r.out;
    EXPECT_TRUE(r.has("All 4 micrographs: 2 picked, 2 skipped: link.mrc, hard.mrc\n")) << r.out;
    for (const char* none : {"link_morvandel.star", "hard_morvandel.star", "link_rejected.box"})
        EXPECT_FALSE(exists(dir.file(none))) << none;
}

// A resumed run finds a micrograph that is gone, cut short or no file since
// its picks were written: it is not done, it is skipped naming why, and the
// run's status says so.
TEST_F(Picker, AResumeSkipsAMicrographThatCanNoLongerBeReadNamingWhy) {
    const std::vector<Particle> ps = particle_grid(320, 320, 1);
    const struct {
        const char* damage;
        std::function<void(const std::string&)> make;
        const char* says;
    } cases[] = {
        {"removed", [](const std::string& a) { std::remove(a.c_str()); }, "the micrograph a.mrc does NOT exsit!"},
        {"cut short", [](const std::string& a) { ASSERT_EQ(truncate(a.c_str(), 1024 + 4 * 320 * 100), 0); },
         "the micrograph a.mrc is NOT an MRC image:"},
        {"a folder in its place",
         [](const std::string& a) {
             std::remove(a.c_str());
             mkdir(a.c_str(), 0755);
         },
         "the micrograph a.mrc is a directory, not a micrograph file!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage);
        TempDir here;
        for (const char* name : {"a.mrc", "b.mrc"}) write_micrograph(here.file(name), 320, 320, ps);
        ASSERT_EQ(run_morvandel(with_settings({"a.mrc", "b.mrc"}), here.path).status, 0);
        c.make(here.file("a.mrc"));
        const RunResult r = run_morvandel(with_settings({"--do_unfinished", "a.mrc", "b.mrc"}), here.path);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.has(c.says)) << r.out;
        EXPECT_FALSE(r.has("Picks of a.mrc already written")) << r.out;
        EXPECT_TRUE(r.has("All 2 micrographs: 0 picked, 1 skipped as already done, 1 skipped: a.mrc\n")) << r.out;
    }
}

// A listed file is the picker's own output, left out, only under the name the
// picker gives it; reached under another name (a link), an output over a
// listed micrograph ends the run naming both before anything is written.
TEST_F(Picker, AnOutputLinkedToAnotherListedMicrographEndsTheRunUnwritten) {
    const std::vector<Particle> ps = particle_grid(320, 320, 1);
    const struct {
        const char* link;
        std::vector<std::string> words;
    } cases[] = {
        {"a_morvandel.star.part", {"a.mrc", "b.mrc"}},
        {"a_bg.mrc", {"--write_bg_mic", "a.mrc", "b.mrc"}},
        {"a_bg.mrc", {"--write_bg_mic", "a.mrc", "a_bg.mrc", "b.mrc"}},  // as a wildcard lists it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.size() == 4 ? "the link listed too" : c.link);
        TempDir here;
        for (const char* name : {"a.mrc", "b.mrc"}) write_micrograph(here.file(name), 320, 320, ps);
        const std::string before = read_text(here.file("b.mrc"));
        ASSERT_EQ(symlink("b.mrc", here.file(c.link).c_str()), 0);
        const RunResult r = run_morvandel(with_settings(c.words), here.path);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.has(std::string("the output ") + c.link +
                          " of micrograph a.mrc is the micrograph b.mrc; it would be overwritten"))
            << r.out;
        EXPECT_FALSE(r.has("Picks of")) << r.out;
        EXPECT_EQ(read_text(here.file("b.mrc")), before);
    }
}

// A micrograph whose output names would not fit the program's name buffers is
// skipped naming why, resumed or not, and the list goes on; one whose names
// just fit is picked.
TEST_F(Picker, AMicrographWhoseOutputNamesAreTooLongIsSkippedAndTheListGoesOn) {
    const std::vector<Particle> ps = particle_grid(320, 320, 1);
    const std::string fits = long_relative_path(dir.path, 1012, ".mrc");  // its pick file: 1023 characters
    const std::string too_long = long_relative_path(dir.path, 1013, ".mrc");
    for (const std::string& name : {std::string("a.mrc"), fits, too_long, std::string("b.mrc")})
        write_micrograph(dir.file(name), 320, 320, ps);
    const std::string says =
        "the micrograph " + too_long + " is skipped: its output names, of up to 1024 characters, do not fit in 1024 bytes.";
    for (const bool resumed : {false, true}) {
        SCOPED_TRACE(resumed ? "resumed" : "first run");
        std::vector<std::string> words = {"a.mrc", too_long, fits, "b.mrc"};
        if (resumed) words.insert(words.begin(), "--do_unfinished");
        const RunResult r = pick(words);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.count(says), 1u) << r.out;
        EXPECT_TRUE(r.has(resumed ? "All 4 micrographs: 0 picked, 3 skipped as already done, 1 skipped: " + too_long
                                  : "All 4 micrographs: 3 picked, 1 skipped: " + too_long))
            << r.out;
        expect_picks_on(read_picks(dir.file(fits.substr(0, fits.size() - 4) + "_morvandel.star")), ps);
    }
}

// Each line reaches the log as it is written: a run killed in the middle of a
// batch, as at a batch system's time limit, leaves the lines of every
// micrograph it picked.
TEST_F(Picker, ARunKilledMidwayLeavesTheLogOfWhatItDid) {
    std::vector<std::string> words = with_settings({});
    for (int k = 0; k < 12; ++k) {
        const std::string name = "m" + std::to_string(k) + ".mrc";
        write_micrograph(dir.file(name), 640, 640, particle_grid(640, 640, 1), 11 + k);
        words.push_back(name);
    }
    const std::string program = std::string(VORN_BINARY_DIR) + "/morvandel", log = dir.file("run.log");
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (std::string& w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || chdir(dir.path.c_str()) != 0) _exit(127);
        dup2(fd, 1);
        dup2(fd, 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    // Killed once the second micrograph's picks are in place: the first one's lines came before its work.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
    while (!exists(dir.file("m1_morvandel.star")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(exists(dir.file("m1_morvandel.star")));
    const std::string said = read_text(log);
    EXPECT_NE(said.find("Picks of m0.mrc written to m0_morvandel.star;"), std::string::npos) << said;
    EXPECT_EQ(said.find("All 12 micrographs"), std::string::npos) << "the run ended before it was killed";
}

// The estimator's local refinement finds the picker's picks beside each
// micrograph with the default names of both programs.
TEST(Program, TheEstimatorFindsThePickersPicksWithTheDefaults) {
    SKIP_WITHOUT_SIM_DATA();
    TempDir dir;
    write_mrc(dir.file("a.mrc"), sim_crop("sim01_df8000.mrc", 512), 512);
    const RunResult picked = run_morvandel({"--apixM", "1", "--diameter", "100", "--cc_cutoff", "-1", "a.mrc"}, dir.path);
    ASSERT_EQ(picked.status, 0) << picked.out;
    ASSERT_GT(read_picks(dir.file("a_morvandel.star")).size(), 0u);
    const RunResult fitted = run_program("vorn", {"--apix", "1.0", "--do_local_refine", "1", "--local_boxsize", "64",
                                                  "--local_radius", "64", "a.mrc"},
                                         dir.path);
    EXPECT_EQ(fitted.status, 0) << fitted.out;
    EXPECT_TRUE(fitted.has("Using box file a_morvandel.star for local refinement")) << fitted.out;
    EXPECT_FALSE(fitted.has("does NOT exist")) << fitted.out;
    EXPECT_TRUE(exists(dir.file("a_local.star")));
}

}  // namespace
