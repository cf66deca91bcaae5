// What the picker's ice search leaves of the particles at every speed, and
// what contamination costs the particles far from it. Synthetic micrographs at
// 1 A per pixel, white noise of deviation 1 on a background of 10. A set is a
// kind of particle alone (its clean set) or with one kind of contamination
// (kind+contamination):
//   asym       100 asymmetric particles of 165 pixels (an ellipse with a
//              knob), turned at random, per-pixel SNR 0.2 over the particle
//              (contrast 0.45; --snr), picked with their template (--T,
//              165 x 165)
//   disc       100 soft discs of 160 pixels whose contrast equals the noise
//              deviation, picked with the automatic template
//   ctf        100 soft discs of 160 pixels seen through the CTF of 300 kV,
//              Cs 2.7 mm, 1.8 um underfocus and amplitude contrast 0.07
//              (contrast 1.5 before the CTF; --ctf_contrast), automatic template
//   +contam    three dark blobs (radius 250, contrast -4) and a bright strip
//              (300 pixels wide, contrast +3) across the micrograph
//   +blob      one dark blob over 1.7% of the area (contrast -3), mid-field
//   +edge      a bright carbon edge (a soft step of +3) over x >= 0.855 size
//              (3500 of 4096)
//   +blobedge  the blob and the edge
//   +weakedge  the edge at +1.5
//   +hot       no contamination but hot pixels: one at 1e5, 12 at +-1e4
// A kind's particles and noise are the same in all its sets, so each
// contaminated set is measured against its kind's clean set at the same
// speed; the clean set is run first, asked for or not.
// Each is picked by morvandel at its default options (--write_mic_mask for the
// rejected area) at the speeds asked. Per run:
//   clear      the particles clear of the contamination (centre at least 2
//              diameters from it, --clear_by; hot pixels are none); a particle counts as
//              found with a pick within 0.2 diameters
//   recall r/0 the clear particles' recall, and its ratio to the clean set's
//   fom f/0    the median figure of merit of their picks, and its ratio
//   opp        found/clear in the quarter opposite the edge (x < size/4)
//   picks      all picks; in_cont those whose centre lies inside the
//              contamination; backgr those on no particle (none within its
//              radius) outside it; band those on no particle within a diameter
//              of the edge line
//   left_out   the mask's rejected cells, in % of the micrograph
//   mean_offset of the found clear particles' picks (x, y); status: the
//              program's exit status
// Below each row, the program's line for the micrograph. Last, a summary:
// each criterion PASS or FAIL with the runs that fail it (recall ratio >= 0.95,
// fom ratio >= 0.8, as many found opposite an edge as on the clean set, no
// pick inside the contamination, no more band picks on the weak edge at
// speeds 2-4 than at 0). It informs: the exit status is 0 whatever it says.
//
//   picker_ice [--size 4096] [--particles 100] [--snr 0.2] [--ctf_contrast 1.5] [--speeds 0,1,2,3,4]
//              [--sets KIND[+CONTAMINATION],...] [--morvandel PATH] [--keep DIR] [--clear_by 2] [--verbose]
//              [-- extra morvandel options]
//
// The sets are every kind alone and with every contamination unless --sets
// names some. --verbose lists the clear particles that were missed, with the
// nearest pick.
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

#include "cuda_fft.h"
#include "morvandel56.h"
#include "mrcfile.h"
#include "bench_lists.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A kind of particle: its diameter in pixels and the seeds of its placement and noise.
struct Kind {
    const char* name;
    double diameter;
    unsigned place_seed, noise_seed;
};
const Kind kKinds[] = {{"asym", 165.0, 11, 21}, {"disc", 160.0, 13, 23}, {"ctf", 160.0, 17, 25}};
const char* const kContaminations[] = {"contam", "blob", "edge", "blobedge", "weakedge", "hot"};

const Kind* kind_of(const std::string& set_name) {
    const std::string kind = set_name.substr(0, set_name.find('+'));
    for (const Kind& k : kKinds)
        if (kind == k.name) return &k;
    return nullptr;
}

// What follows the '+' of a set's name, "" for a clean set.
std::string contamination_name(const std::string& set_name) {
    const size_t plus = set_name.find('+');
    return plus == std::string::npos ? "" : set_name.substr(plus + 1);
}

bool known_set(const std::string& set_name) {
    const std::string c = contamination_name(set_name);
    bool known = c.empty() && set_name.find('+') == std::string::npos;
    for (const char* name : kContaminations) known = known || c == name;
    return known && kind_of(set_name) != nullptr;
}

std::vector<std::string> every_set() {
    std::vector<std::string> sets;
    for (const Kind& k : kKinds) {
        sets.push_back(k.name);
        for (const char* c : kContaminations) sets.push_back(std::string(k.name) + "+" + c);
    }
    return sets;
}

// The sets asked, each kind's clean set before the first of its kind.
std::vector<std::string> with_clean_first(const std::vector<std::string>& asked) {
    std::vector<std::string> sets;
    const auto add = [&sets](const std::string& name) {
        if (std::find(sets.begin(), sets.end(), name) == sets.end()) sets.push_back(name);
    };
    for (const std::string& name : asked) {
        add(kind_of(name)->name);
        add(name);
    }
    return sets;
}

struct Options {
    int size = 4096, particles = 100;
    double snr = 0.2;           // per-pixel SNR over the asymmetric particle
    double ctf_contrast = 1.5;  // of the ctf kind's discs before the CTF
    std::vector<int> speeds{0, 1, 2, 3, 4};
    std::vector<std::string> sets = every_set();
    std::string morvandel, keep;
    std::vector<std::string> extra;
    bool verbose = false;  // list the clear particles that were missed
    double clear_by = 2.0;  // diameters from the contamination that make a particle clear
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

struct HotPixel {
    int x, y;
    float value;
};

// Dark blobs, a bright strip across, a bright edge on the right, each present
// at a contrast other than 0, and hot pixels, which are left to the picker's
// own handling of outliers and are not counted as contamination.
struct Contamination {
    std::vector<Particle> blobs;  // centres (angle unused)
    double blob_r = 250.0, blob_contrast = 0.0;
    double strip_x0 = 0.0, strip_w = 300.0, strip_contrast = 0.0;
    double edge_x0 = 0.0, edge_contrast = 0.0;  // bright for x >= edge_x0
    std::vector<HotPixel> hot;

    bool has_edge() const { return edge_contrast != 0.0; }
    bool any() const { return !blobs.empty() || strip_contrast != 0.0 || has_edge(); }
    // Signed distances to each part: negative inside.
    double strip_distance(double x) const { return std::max(strip_x0 - x, x - (strip_x0 + strip_w)); }
    double edge_distance(double x) const { return edge_x0 - x; }
    double blob_distance(const Particle& b, double x, double y) const { return std::hypot(x - b.x, y - b.y) - blob_r; }
    double distance(double x, double y) const {
        double d = 1e9;
        if (strip_contrast != 0.0) d = strip_distance(x);
        if (has_edge()) d = std::min(d, edge_distance(x));
        for (const Particle& b : blobs) d = std::min(d, blob_distance(b, x, y));
        return d;
    }
    // What the contamination adds at (x, y): soft steps of 4 pixels.
    double intensity(double x, double y) const {
        double v = 0.0;
        if (strip_contrast != 0.0) v += strip_contrast * soft(strip_distance(x), 4.0);
        if (has_edge()) v += edge_contrast * soft(edge_distance(x), 4.0);
        for (const Particle& b : blobs) v += blob_contrast * soft(blob_distance(b, x, y), 4.0);
        return v;
    }
};

Contamination contamination_of(const std::string& name, int size) {
    Contamination c;
    if (name == "contam") {
        c.blob_contrast = -4.0;
        c.strip_contrast = 3.0;
        c.strip_x0 = 0.62 * size;
        for (const double f : {0.22, 0.5, 0.8}) c.blobs.push_back({0.25 * size + 0.1 * size * f, f * size, 0});
    }
    if (name == "blob" || name == "blobedge") {  // mid-field, clear of the quarter opposite the edge
        c.blob_contrast = -3.0;
        c.blob_r = std::sqrt(0.017 / kPi) * size;
        c.blobs.push_back({0.5 * size, 0.45 * size, 0});
    }
    if (name == "edge" || name == "blobedge" || name == "weakedge") {
        c.edge_x0 = 0.855 * size;
        c.edge_contrast = name == "weakedge" ? 1.5 : 3.0;
    }
    if (name == "hot") {
        std::mt19937 rng(31);
        std::uniform_int_distribution<int> at(0, size - 1);
        for (int i = 0; i < 13; ++i) c.hot.push_back({at(rng), at(rng), i == 0 ? 1e5f : (i % 2 ? 1e4f : -1e4f)});
    }
    return c;
}

struct Set {
    std::string name, kind;  // kind: the name of the clean set
    double diameter, contrast;
    Contamination contam;
    std::vector<Particle> particles;
};

Set make_set(const std::string& name, const Options& o) {
    const Kind& k = *kind_of(name);
    Set s;
    s.name = name;
    s.kind = k.name;
    s.diameter = k.diameter;
    s.contrast = s.kind == "asym" ? std::sqrt(o.snr) : s.kind == "ctf" ? o.ctf_contrast : 1.0;
    s.contam = contamination_of(contamination_name(name), o.size);
    std::mt19937 rng(k.place_seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
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

// Relativistic electron wavelength (A) at an acceleration voltage (V).
double electron_wavelength(double volts) { return 12.2643 / std::sqrt(volts * (1.0 + 0.978466e-6 * volts)); }

// The transfer at spatial frequency k (1/A) of 300 kV, Cs 2.7 mm, 1.8 um
// underfocus and amplitude contrast 0.07: positive at low frequency, so that
// density taken off the background stays dark there.
double ctf_transfer(double k) {
    const double lambda = electron_wavelength(300e3), defocus = 18000.0, cs = 2.7e7, ac = 0.07;
    const double chi = kPi * lambda * k * k * (defocus - 0.5 * cs * lambda * lambda * k * k);
    return std::sqrt(1.0 - ac * ac) * std::sin(chi) + ac * std::cos(chi);
}

// The image seen through the CTF (1 A per pixel; periodic, as the particles
// keep 150 pixels from the borders).
void through_ctf(std::vector<float>& image, int size) {
    const unsigned n = size, nh = n / 2 + 1;
    std::vector<float2> spectrum((size_t)nh * n);
    gpu_2d_fft_r2c(image.data(), spectrum.data(), n, n);
    for (unsigned y = 0; y < n; ++y) {
        const double ky = (y < n / 2 ? (double)y : (double)y - n) / n;
        for (unsigned x = 0; x < nh; ++x) {
            const float t = (float)ctf_transfer(std::hypot((double)x / n, ky));
            spectrum[(size_t)y * nh + x].x *= t;
            spectrum[(size_t)y * nh + x].y *= t;
        }
    }
    gpu_2d_fft_c2r(spectrum.data(), image.data(), n, n);
}

// The particles' density times their contrast, through the CTF for the ctf kind.
std::vector<float> particle_image(const Set& s, int size) {
    std::vector<float> image((size_t)size * size, 0.0f);
    const bool asym = s.kind == "asym";
    const int reach = (int)(s.diameter / 2) + 6;
    for (const Particle& p : s.particles) {
        const double c = std::cos(p.angle * kPi / 180.0), sn = std::sin(p.angle * kPi / 180.0);
        for (int y = std::max(0, (int)p.y - reach); y <= std::min(size - 1, (int)p.y + reach); ++y)
            for (int x = std::max(0, (int)p.x - reach); x <= std::min(size - 1, (int)p.x + reach); ++x) {
                const double dx = x - p.x, dy = y - p.y;
                const double u = c * dx + sn * dy, v = -sn * dx + c * dy;  // into the particle's frame
                image[(size_t)y * size + x] += (float)(s.contrast * (asym ? asym_density(u, v) : disc_density(u, v)));
            }
    }
    if (s.kind == "ctf") through_ctf(image, size);
    return image;
}

std::vector<float> micrograph(const Set& s, int size) {
    std::mt19937 rng(kind_of(s.kind)->noise_seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> mic((size_t)size * size);
    for (float& v : mic) v = 10.0f + noise(rng);
    const std::vector<float> particles = particle_image(s, size);
    for (size_t i = 0; i < mic.size(); ++i) mic[i] -= particles[i];
    if (s.contam.any())
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) mic[(size_t)y * size + x] += (float)s.contam.intensity(x, y);
    for (const HotPixel& h : s.contam.hot) mic[(size_t)h.y * size + h.x] = h.value;
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
    double x, y, fom;
};

std::vector<Pick> read_star_picks(const std::string& name) {
    std::vector<Pick> picks;
    std::ifstream in(name);
    for (std::string line; std::getline(in, line);) {
        std::istringstream row(line);
        std::vector<double> v;
        for (double d; row >> d;) v.push_back(d);
        if (v.size() == 5) picks.push_back({v[0], v[1], v[4]});
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

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t h = v.size() / 2;
    return v.size() % 2 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

// What the program made of one micrograph at one speed.
struct Score {
    int clear = 0, found = 0, inside = 0, background = 0, band = 0;
    int opp_clear = 0, opp_found = 0;  // in the quarter opposite the edge
    double sx = 0, sy = 0;             // summed offsets of the found clear particles' picks
    std::vector<double> foms;          // of the found clear particles' picks
};

Score score(const Set& s, const std::vector<Pick>& picks, int size, double clear_diameters, bool verbose) {
    const double reach = 0.2 * s.diameter, clear_by = clear_diameters * s.diameter;
    Score r;
    for (const Particle& q : s.particles) {
        if (s.contam.distance(q.x, q.y) < clear_by) continue;
        const bool opposite = q.x < 0.25 * size;
        ++r.clear;
        r.opp_clear += opposite ? 1 : 0;
        const Pick* best = nullptr;
        double nearest = 1e9;
        for (const Pick& k : picks) {
            const double d = std::hypot(k.x - q.x, k.y - q.y);
            if (d < nearest) nearest = d, best = &k;
        }
        if (nearest <= reach) {
            ++r.found;
            r.opp_found += opposite ? 1 : 0;
            r.sx += best->x - q.x;
            r.sy += best->y - q.y;
            r.foms.push_back(best->fom);
        } else if (verbose) {
            std::printf("    missed %.1f,%.1f (angle %.0f, %.0f from the contamination, nearest pick %.0f)\n", q.x,
                        q.y, q.angle, s.contam.distance(q.x, q.y), nearest);
        }
    }
    // A pick within a particle's radius of its centre is that particle's, if off its centre.
    for (const Pick& k : picks) {
        bool near = false;
        for (const Particle& q : s.particles) near = near || std::hypot(k.x - q.x, k.y - q.y) <= 0.5 * s.diameter;
        if (!near && s.contam.has_edge() && std::fabs(k.x - s.contam.edge_x0) <= s.diameter) ++r.band;
        if (s.contam.distance(k.x, k.y) < 0) ++r.inside;
        else r.background += near ? 0 : 1;
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
                          (s.kind == "asym" ? " --T asym_template.mrcs" : "");
    for (const std::string& w : o.extra) command += " " + quoted(w);
    command += " " + quoted(base + ".mrc") + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    for (size_t got; (got = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, got);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One run as the summary judges it.
struct Run {
    std::string set, kind, contamination;
    int speed;
    double recall, fom;
    int opp_found, inside, band;
    bool edge;
};

const Run* find_run(const std::vector<Run>& runs, const std::string& set, int speed) {
    for (const Run& r : runs)
        if (r.set == set && r.speed == speed) return &r;
    return nullptr;
}

double ratio(double a, double b) { return b > 0.0 ? a / b : NAN; }

// A criterion of the summary, with the runs judged and those that fail it.
struct Verdict {
    const char* text;
    int judged = 0;
    std::string failures;
    void judge(bool pass, const Run& r, const char* detail) {
        ++judged;
        if (!pass) failures += (failures.empty() ? ": " : ", ") + r.set + "@" + std::to_string(r.speed) + " " + detail;
    }
    void print() const {
        std::printf("  %s  %-52s (%d runs)%s\n", judged == 0 ? "----" : failures.empty() ? "PASS" : "FAIL", text,
                    judged, failures.c_str());
    }
};

void print_summary(const std::vector<Run>& runs) {
    Verdict recall{"recall of the clear particles / clean >= 0.95", 0, {}},
        fom{"median figure of merit / clean >= 0.8", 0, {}},
        opposite{"opposite an edge as many found as on the clean set", 0, {}},
        inside{"no pick inside the contamination", 0, {}},
        band{"weak edge: band picks at speeds 2-4 <= at speed 0", 0, {}};
    char detail[64];
    for (const Run& r : runs) {
        const Run* clean = find_run(runs, r.kind, r.speed);
        if (r.contamination.empty() || clean == nullptr) continue;
        std::snprintf(detail, sizeof detail, "%.2f", ratio(r.recall, clean->recall));
        recall.judge(ratio(r.recall, clean->recall) >= 0.95, r, detail);
        std::snprintf(detail, sizeof detail, "%.2f", ratio(r.fom, clean->fom));
        fom.judge(ratio(r.fom, clean->fom) >= 0.8, r, detail);
        std::snprintf(detail, sizeof detail, "%d of %d", r.opp_found, clean->opp_found);
        if (r.edge) opposite.judge(r.opp_found == clean->opp_found, r, detail);
        std::snprintf(detail, sizeof detail, "%d", r.inside);
        if (r.contamination != "hot") inside.judge(r.inside == 0, r, detail);
        const Run* slow = find_run(runs, r.set, 0);
        std::snprintf(detail, sizeof detail, "%d, %d at 0", r.band, slow ? slow->band : 0);
        if (r.contamination == "weakedge" && r.speed >= 2 && slow) band.judge(r.band <= slow->band, r, detail);
    }
    std::printf("summary:\n");
    for (const Verdict* v : {&recall, &fom, &opposite, &inside, &band}) v->print();
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    bool usage = false;
    for (int i = 1; i < argc && !usage; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--") {
            o.extra.assign(argv + i + 1, argv + argc);
            break;
        }
        if (a == "--size" && has_value) o.size = std::atoi(argv[++i]);
        else if (a == "--particles" && has_value) o.particles = std::atoi(argv[++i]);
        else if (a == "--snr" && has_value) o.snr = std::atof(argv[++i]);
        else if (a == "--ctf_contrast" && has_value) o.ctf_contrast = std::atof(argv[++i]);
        else if (a == "--speeds" && has_value) o.speeds = int_list(argv[++i]);
        else if (a == "--sets" && has_value) o.sets = word_list(argv[++i]);
        else if (a == "--morvandel" && has_value) o.morvandel = argv[++i];
        else if (a == "--keep" && has_value) o.keep = argv[++i];
        else if (a == "--clear_by" && has_value) o.clear_by = std::atof(argv[++i]);
        else if (a == "--verbose") o.verbose = true;
        else usage = true;
    }
    for (const std::string& name : o.sets) usage = usage || !known_set(name);
    if (usage) {
        std::fprintf(stderr, "usage: picker_ice [--size 4096] [--particles 100] [--snr 0.2] [--ctf_contrast 1.5] "
                             "[--speeds 0,1,2,3,4] [--sets KIND[+CONTAMINATION],...] [--morvandel PATH] [--keep DIR] "
                             "[--clear_by 2] [--verbose] [-- extra morvandel options]\n"
                             "  KIND: asym, disc, ctf; CONTAMINATION: contam, blob, edge, blobedge, weakedge, hot\n");
        return 1;
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
    std::printf("picker ice search: %d x %d micrographs at 1 A/pixel, noise deviation 1, %d particles; %s%s\n",
                o.size, o.size, o.particles, o.morvandel.c_str(), extra.c_str());
    std::printf("%-14s %5s %5s %6s %5s %6s %5s %7s %5s %7s %6s %4s %8s %14s %6s\n", "set", "speed", "clear", "recall",
                "r/0", "fom", "f/0", "opp", "picks", "in_cont", "backgr", "band", "left_out", "mean_offset", "status");
    std::vector<Run> runs;
    for (const std::string& set_name : with_clean_first(o.sets)) {
        const Set s = make_set(set_name, o);
        std::string base = set_name;
        std::replace(base.begin(), base.end(), '+', '_');
        mrcf_write_xyz_data((dir + "/" + base + ".mrc").c_str(), micrograph(s, o.size).data(), o.size, o.size, 1);
        for (int speed : o.speeds) {
            const std::string star = dir + "/" + base + MORVANDEL_STAR_SUFFIX, mask = dir + "/" + base + MORVANDEL_MASK_SUFFIX;
            std::remove(star.c_str());
            std::remove(mask.c_str());
            std::string out;
            const int status = run_program(o, s, dir, base, speed, out);
            const std::vector<Pick> picks = read_star_picks(star);
            const Score r = score(s, picks, o.size, o.clear_by, o.verbose);
            const Run run{set_name, s.kind, contamination_name(set_name), speed,
                          r.clear ? (double)r.found / r.clear : 0.0, median(r.foms), r.opp_found, r.inside, r.band,
                          s.contam.has_edge()};
            runs.push_back(run);
            const Run* clean = find_run(runs, s.kind, speed);
            char offset[64], opposite[32], band[16];
            const int n = std::max(r.found, 1);
            std::snprintf(offset, sizeof offset, "%+.2f,%+.2f", r.sx / n, r.sy / n);
            std::snprintf(opposite, sizeof opposite, "%d/%d", r.opp_found, r.opp_clear);
            std::snprintf(band, sizeof band, run.edge ? "%d" : "-", r.band);
            std::printf("%-14s %5d %5d %6.2f %5.2f %6.3f %5.2f %7s %5zu %7d %6d %4s %7.1f%% %14s %6d\n",
                        set_name.c_str(), speed, r.clear, run.recall, ratio(run.recall, clean->recall), run.fom,
                        ratio(run.fom, clean->fom), opposite, picks.size(), r.inside, r.background, band,
                        100.0 * rejected_fraction(mask), offset, status);
            std::printf("    %s\n", pick_line(out).c_str());
            std::fflush(stdout);
        }
    }
    print_summary(runs);
    if (o.keep.empty()) std::system(("rm -rf " + quoted(dir)).c_str());
    return 0;
}
