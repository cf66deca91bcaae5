// What the picker's ice search leaves of particles of strong contrast at every
// speed. Synthetic micrographs at 1 A per pixel, no CTF, white noise of
// deviation 1 on a background of 10:
//   asym         100 asymmetric particles of 165 pixels (an ellipse with a
//                knob), turned at random, per-pixel SNR 0.2 over the particle
//                (contrast 0.45; --snr), picked with their template (--T,
//                165 x 165)
//   disc         100 soft discs of 160 pixels whose contrast equals the noise
//                deviation, picked with the automatic template
//   +contam      the same with three dark blobs (radius 250, contrast -4) and a
//                bright strip (300 pixels wide, contrast +3) across the micrograph
// Each is picked by the built morvandel at the speeds asked (--write_mic_mask
// for the rejected area). Per run: the recall of the particles clear of the
// contamination (centre at least 2 diameters from it; a particle counts as
// found with a pick within 0.2 diameters), the picks whose centre lies inside
// the contamination, the picks on the background (near no particle, outside
// the contamination), the area left out (the mask's rejected cells, in % of
// the micrograph), the mean offset of the found clear particles' picks (x, y)
// and the program's exit status; below each row, the program's line for the
// micrograph.
//
//   picker_ice [--size 4096] [--particles 100] [--snr 0.2] [--speeds 0,1,2,3,4]
//              [--sets asym,asym+contam,disc,disc+contam] [--morvandel PATH] [--keep DIR] [--verbose]
//              [-- extra morvandel options]
//
// --verbose lists the clear particles that were missed, with the nearest pick.
//
// On demand (make bench-picker-ice), not part of the tests; a run over every
// set and speed takes some minutes, most of it at speed 0.
#define VORN_UNIT "bench/picker_ice"
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "morvandel56.h"
#include "mrcfile.h"
#include "bench_lists.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Options {
    int size = 4096, particles = 100;
    double snr = 0.2;  // per-pixel SNR over the asymmetric particle
    std::vector<int> speeds{0, 1, 2, 3, 4};
    std::vector<std::string> sets{"asym", "asym+contam", "disc", "disc+contam"};
    std::string morvandel, keep;
    std::vector<std::string> extra;
    bool verbose = false;  // list the clear particles that were missed
};

struct Particle {
    double x, y, angle;  // centre in pixels, turn in degrees
};

// A soft step: 1 well inside (d < 0), 0 well outside, over about width pixels.
double soft(double d, double width) { return 1.0 / (1.0 + std::exp(d / width)); }

// The asymmetric particle at offset (dx, dy) from its centre in its own frame:
// an ellipse of 152 x 116 pixels and a disc of 44 on its lower right, all
// within 82 pixels of the centre.
double asym_density(double dx, double dy) {
    const double body = soft((std::hypot((dx + 4.0) / 76.0, dy / 58.0) - 1.0) * 58.0, 1.5);
    const double knob = soft(std::hypot(dx - 38.0, dy - 38.0) - 22.0, 1.5);
    return std::max(body, knob);
}
double disc_density(double dx, double dy) { return soft(std::hypot(dx, dy) - 80.0, 1.5); }

struct Contamination {
    std::vector<Particle> blobs;  // centres (angle unused)
    double blob_r = 250.0, strip_x0 = 0.0, strip_w = 300.0;
    bool on = false;
    // Signed distance to the contamination: negative inside.
    double distance(double x, double y) const {
        if (!on) return 1e9;
        double d = std::max(strip_x0 - x, x - (strip_x0 + strip_w));
        for (const Particle& b : blobs) d = std::min(d, std::hypot(x - b.x, y - b.y) - blob_r);
        return d;
    }
};

struct Set {
    std::string name;
    bool asym;
    double diameter, contrast;
    Contamination contam;
    std::vector<Particle> particles;
};

Set make_set(const std::string& name, const Options& o) {
    Set s;
    s.name = name;
    s.asym = name.rfind("asym", 0) == 0;
    s.diameter = s.asym ? 165.0 : 160.0;
    s.contrast = s.asym ? std::sqrt(o.snr) : 1.0;
    std::mt19937 rng(s.asym ? 11 : 13);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    if (name.find("+contam") != std::string::npos) {
        s.contam.on = true;
        s.contam.strip_x0 = 0.62 * o.size;
        for (const double f : {0.22, 0.5, 0.8})
            s.contam.blobs.push_back({0.25 * o.size + 0.1 * o.size * f, f * o.size, 0});
    }
    // Centres at least a diameter apart (particles may touch) and 150 pixels from the edges.
    const double edge = 150.0, apart = s.diameter;
    for (int tries = 0; (int)s.particles.size() < o.particles && tries < 100000; ++tries) {
        const Particle p{edge + u(rng) * (o.size - 2 * edge), edge + u(rng) * (o.size - 2 * edge), 360.0 * u(rng)};
        bool free = true;
        for (const Particle& q : s.particles) free = free && std::hypot(p.x - q.x, p.y - q.y) >= apart;
        if (free) s.particles.push_back(p);
    }
    return s;
}

std::vector<float> micrograph(const Set& s, int size) {
    std::mt19937 rng(s.asym ? 21 : 23);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> mic((size_t)size * size);
    for (float& v : mic) v = 10.0f + noise(rng);
    const int reach = (int)(s.diameter / 2) + 6;
    for (const Particle& p : s.particles) {
        const double c = std::cos(p.angle * kPi / 180.0), sn = std::sin(p.angle * kPi / 180.0);
        for (int y = std::max(0, (int)p.y - reach); y <= std::min(size - 1, (int)p.y + reach); ++y)
            for (int x = std::max(0, (int)p.x - reach); x <= std::min(size - 1, (int)p.x + reach); ++x) {
                const double dx = x - p.x, dy = y - p.y;
                const double u = c * dx + sn * dy, v = -sn * dx + c * dy;  // into the particle's frame
                mic[(size_t)y * size + x] -= (float)(s.contrast * (s.asym ? asym_density(u, v) : disc_density(u, v)));
            }
    }
    if (s.contam.on)
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const Contamination& c = s.contam;
                double add = 3.0 * soft(std::max(c.strip_x0 - x, x - (c.strip_x0 + c.strip_w)), 4.0);
                for (const Particle& b : c.blobs) add -= 4.0 * soft(std::hypot(x - b.x, y - b.y) - c.blob_r, 4.0);
                mic[(size_t)y * size + x] += (float)add;
            }
    return mic;
}

// The template of the asymmetric particle, white, 165 x 165 with its centre on pixel 82.
void write_template(const std::string& name) {
    const int n = 165;
    std::vector<float> t((size_t)n * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) t[(size_t)y * n + x] = (float)asym_density(x - n / 2, y - n / 2);
    mrcf_write_xyz_data(name.c_str(), t.data(), n, n, 1);
}

struct Pick {
    double x, y;
};

std::vector<Pick> read_star_picks(const std::string& name) {
    std::vector<Pick> picks;
    std::ifstream in(name);
    for (std::string line; std::getline(in, line);) {
        std::istringstream row(line);
        std::vector<double> v;
        for (double d; row >> d;) v.push_back(d);
        if (v.size() == 5) picks.push_back({v[0], v[1]});
    }
    return picks;
}

// The fraction of the mask's pixels that are rejected (0).
double rejected_fraction(const std::string& name) {
    MRC_HEAD h;
    std::vector<float> m;
    if (mrcf_read_head(name.c_str(), &h) != 0 || mrcf_read_sliceN(name.c_str(), 0, m) != 0 || m.empty()) return -1.0;
    size_t zero = 0;
    for (float v : m) zero += v == 0.0f ? 1 : 0;
    return (double)zero / (double)m.size();
}

std::string quoted(const std::string& w) { return "'" + w + "'"; }

// The line the program prints for the micrograph (the picks' line), or "".
std::string pick_line(const std::string& out) {
    std::istringstream in(out);
    std::string found;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Picks of ", 0) == 0 ||
            (line.rfind("All ", 0) == 0 && line.find("micrographs:") != std::string::npos))
            found += (found.empty() ? "" : " | ") + line;
    return found;
}

// What the program made of one micrograph at one speed.
struct Score {
    int found = 0, inside = 0, background = 0;
    double sx = 0, sy = 0;  // summed offsets of the found clear particles' picks
};

Score score(const Set& s, const std::vector<Pick>& picks, bool verbose) {
    const double reach = 0.2 * s.diameter, clear_by = 2.0 * s.diameter;
    Score r;
    for (const Particle& q : s.particles) {
        if (s.contam.distance(q.x, q.y) < clear_by) continue;
        const Pick* best = nullptr;
        double nearest = 1e9;
        for (const Pick& k : picks) {
            const double d = std::hypot(k.x - q.x, k.y - q.y);
            if (d < nearest) nearest = d, best = &k;
        }
        if (nearest <= reach) {
            ++r.found;
            r.sx += best->x - q.x;
            r.sy += best->y - q.y;
        } else if (verbose) {
            std::printf("    missed %.1f,%.1f (angle %.0f, %.0f from the contamination, nearest pick %.0f)\n", q.x,
                        q.y, q.angle, s.contam.distance(q.x, q.y), nearest);
        }
    }
    for (const Pick& k : picks) {
        if (s.contam.distance(k.x, k.y) < 0) {
            ++r.inside;
            continue;
        }
        bool near = false;
        for (const Particle& q : s.particles) near = near || std::hypot(k.x - q.x, k.y - q.y) <= reach;
        r.background += near ? 0 : 1;
    }
    return r;
}

// The program's output over one micrograph at one speed, and its exit status.
int run_program(const Options& o, const Set& s, const std::string& dir, const std::string& base, int speed,
                std::string& out) {
    char diameter[32];
    std::snprintf(diameter, sizeof diameter, "%g", s.diameter);
    std::string command = "cd " + quoted(dir) + " && " + quoted(o.morvandel) + " --apixM 1 --diameter " + diameter +
                          " --speed " + std::to_string(speed) + " --write_mic_mask" +
                          (s.asym ? " --T asym_template.mrcs" : "");
    for (const std::string& w : o.extra) command += " " + quoted(w);
    command += " " + quoted(base + ".mrc") + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    for (size_t got; (got = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, got);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--") {
            o.extra.assign(argv + i + 1, argv + argc);
            break;
        }
        if (a == "--size" && has_value) o.size = std::atoi(argv[++i]);
        else if (a == "--particles" && has_value) o.particles = std::atoi(argv[++i]);
        else if (a == "--snr" && has_value) o.snr = std::atof(argv[++i]);
        else if (a == "--speeds" && has_value) o.speeds = int_list(argv[++i]);
        else if (a == "--sets" && has_value) o.sets = word_list(argv[++i]);
        else if (a == "--morvandel" && has_value) o.morvandel = argv[++i];
        else if (a == "--keep" && has_value) o.keep = argv[++i];
        else if (a == "--verbose") o.verbose = true;
        else {
            std::fprintf(stderr, "usage: picker_ice [--size 4096] [--particles 100] [--snr 0.2] [--speeds 0,1,2,3,4] "
                                 "[--sets asym,asym+contam,disc,disc+contam] [--morvandel PATH] [--keep DIR] "
                                 "[--verbose] [-- extra morvandel options]\n");
            return 1;
        }
    }
    if (o.morvandel.empty()) o.morvandel = VORN_BINARY_DIR "/morvandel";  // built beside this one
    std::string dir = o.keep;
    if (dir.empty()) {
        char name[] = "/tmp/vorn-picker-ice-XXXXXX";
        dir = mkdtemp(name);
    } else {
        std::system(("mkdir -p " + quoted(dir)).c_str());
    }
    write_template(dir + "/asym_template.mrcs");

    std::string extra;
    for (const std::string& w : o.extra) extra += " " + w;
    std::printf("picker ice search: %d x %d micrographs at 1 A/pixel, noise deviation 1, %d particles; morvandel%s\n",
                o.size, o.size, o.particles, extra.c_str());
    std::printf("%-12s %5s %6s %10s %7s %8s %8s %9s %14s %6s\n", "set", "speed", "clear", "recall", "picks",
                "in_cont", "backgr", "left_out", "mean_offset", "status");
    for (const std::string& set_name : o.sets) {
        const Set s = make_set(set_name, o);
        std::string base = set_name;
        std::replace(base.begin(), base.end(), '+', '_');
        mrcf_write_xyz_data((dir + "/" + base + ".mrc").c_str(), micrograph(s, o.size).data(), o.size, o.size, 1);
        int clear = 0;
        for (const Particle& p : s.particles) clear += s.contam.distance(p.x, p.y) >= 2.0 * s.diameter ? 1 : 0;
        for (int speed : o.speeds) {
            const std::string star = dir + "/" + base + MORVANDEL_STAR_SUFFIX, mask = dir + "/" + base + MORVANDEL_MASK_SUFFIX;
            std::remove(star.c_str());
            std::remove(mask.c_str());
            std::string out;
            const int status = run_program(o, s, dir, base, speed, out);
            const std::vector<Pick> picks = read_star_picks(star);
            const Score r = score(s, picks, o.verbose);
            char offset[64];
            const int n = std::max(r.found, 1);
            std::snprintf(offset, sizeof offset, "%+.2f,%+.2f", r.sx / n, r.sy / n);
            std::printf("%-12s %5d %6d %10.2f %7zu %8d %8d %8.1f%% %14s %6d\n", set_name.c_str(), speed, clear,
                        clear ? (double)r.found / clear : 0.0, picks.size(), r.inside, r.background,
                        100.0 * rejected_fraction(mask), offset, status);
            std::printf("    %s\n", pick_line(out).c_str());
            std::fflush(stdout);
        }
    }
    if (o.keep.empty()) std::system(("rm -rf " + quoted(dir)).c_str());
    return 0;
}
