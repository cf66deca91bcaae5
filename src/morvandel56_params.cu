// The picker's parameter record: defaults, the command-line parser, the sizes
// derived in shrunk-micrograph pixels and the checks of the values in force.
#define VORN_UNIT "src/morvandel56"
#include "morvandel56.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "cuda_general.h"
#include "str_utils.h"

namespace {

// What the command line set, for the derivations and the reminders.
struct Given {
    bool T, apixM, apixT, diameter, min_dist, boxsize, lsigma_D, lave_D;
};
using GivenFlag = bool Given::*;

enum class Kind { Float, Int, Speed, OnOff, Text };

using P = Tessoranth_Para;
using FloatField = float P::*;
using IntField = int P::*;
using TextField = char* P::*;

struct Option {
    const char* keyword;
    Kind kind;
    FloatField f;
    IntField i;
    TextField s;
    GivenFlag given;
};

constexpr Option opt_f(const char* k, FloatField m, GivenFlag g = nullptr) {
    return {k, Kind::Float, m, nullptr, nullptr, g};
}
constexpr Option opt_i(const char* k, IntField m, GivenFlag g = nullptr) {
    return {k, Kind::Int, nullptr, m, nullptr, g};
}
constexpr Option opt_b(const char* k, IntField m) { return {k, Kind::OnOff, nullptr, m, nullptr, nullptr}; }
constexpr Option opt_t(const char* k, TextField m, GivenFlag g = nullptr) {
    return {k, Kind::Text, nullptr, nullptr, m, g};
}

// Every keyword of the parser, in the order they are tried.
const Option kOptions[] = {
    opt_t("T", &P::T, &Given::T),
    opt_f("apixM", &P::apixM, &Given::apixM),
    opt_f("apixT", &P::apixT, &Given::apixT),
    opt_f("diameter", &P::diameter, &Given::diameter),
    opt_f("ang_step", &P::ang_step),
    {"speed", Kind::Speed, nullptr, &P::speed, nullptr, nullptr},
    opt_i("boxsize", &P::boxsize, &Given::boxsize),
    opt_f("min_dist", &P::min_dist, &Given::min_dist),
    opt_b("update_T", &P::update_T),
    opt_f("cc_cutoff", &P::cc_cutoff),
    opt_f("lsigma_cutoff", &P::lsigma_cutoff),
    opt_f("lave_max", &P::lave_max),
    opt_f("lave_min", &P::lave_min),
    opt_f("lsigma_D", &P::lsigma_D, &Given::lsigma_D),
    opt_f("lave_D", &P::lave_D, &Given::lave_D),
    opt_f("lp", &P::lp),
    opt_f("hp", &P::hp),
    opt_f("pre_lp", &P::pre_lp),
    opt_f("pre_hp", &P::pre_hp),
    opt_b("do_pre_filter", &P::do_pre_filter),
    opt_b("dont_invertT", &P::dont_invertT),
    opt_b("detect_ice", &P::detect_ice),
    opt_i("T_norm_type", &P::T_norm_type),
    opt_f("m_edge_ratio", &P::m_edge_ratio),
    opt_b("do_bandpass", &P::do_bandpass),
    opt_b("mic_znorm", &P::mic_znorm),
    opt_b("mic_wm_norm", &P::mic_wm_norm),
    opt_b("write_normed_T", &P::write_normed_T),
    opt_b("do_ctf", &P::do_ctf),
    opt_b("do_local_ctf", &P::do_local_ctf),
    opt_f("kv", &P::kv),
    opt_f("cs", &P::cs),
    opt_f("ac", &P::ac),
    opt_b("write_ccmax_z", &P::write_ccmax_z),
    opt_b("write_ccmax_mic", &P::write_ccmax_mic),
    opt_b("write_pf_mic", &P::write_pf_mic),
    opt_b("write_pref_mic", &P::write_pref_mic),
    opt_b("write_bg_mic", &P::write_bg_mic),
    opt_b("write_bgfree_mic", &P::write_bgfree_mic),
    opt_b("write_lsigma_mic", &P::write_lsigma_mic),
    opt_b("write_mic_mask", &P::write_mic_mask),
    opt_b("write_star", &P::write_star),
    opt_b("do_unfinished", &P::do_unfinished),
    opt_b("exclusive_picking", &P::exclusive_picking),
    opt_b("write_rejected_box", &P::write_rejected_box),
    opt_b("mask_excluded", &P::mask_excluded),
    opt_t("excluded_suffix", &P::excluded_suffix),
    opt_t("global_excluded_box", &P::global_excluded_box),
    opt_b("extract_raw", &P::extract_raw),
    opt_b("extract_pf", &P::extract_pf),
    opt_i("gid", &P::gid),
};
static_assert(sizeof(kOptions) / sizeof(kOptions[0]) == 51, "the parser knows 51 keywords");

const Option* find_option(const char* word) {
    for (const Option& o : kOptions)
        if (keywd_cmp(word, o.keyword)) return &o;
    return nullptr;
}

char* new_text(const char* value) {
    char* s = (char*)calloc(VORN_NAME_LEN, 1);
    if (s == nullptr) VORN_FATAL("Host memory allocation failed");
    strlcpy(s, value);
    return s;
}

// A mistyped option would otherwise run the whole job at the defaults.
[[noreturn]] void unrecognised_option(int line, const char* word) {
    std::printf("\033[41m\033[1m\033[5mCRITICAL ERROR:\033[min function %s(), file %s on line %d. Failed to recognize "
                "option: \033[41m\033[1m\033[5m%s!\033[m Exit now. Check your input please.\n\n",
                "tessoranth_get_parameters", VORN_UNIT, line, word);
    tessoranth_print_valid_options();
    std::fflush(stdout);
    std::exit(1);
}

// The value word of option word at argv[i]; fatal when it stands last.
const char* value_of(int argc, char** argv, int i) {
    if (i + 1 >= argc) VORN_FATAL("option %s needs a value, but it stands last on the command line", argv[i]);
    return argv[i + 1];
}

void copy_text(char* dst, const char* option, const char* value) {
    const size_t len = strlen(value);
    if (len >= VORN_NAME_LEN)
        VORN_FATAL("the value of option %s has %zu characters; at most %zu fit", option, len, VORN_NAME_LEN - 1);
    strlcpy(dst, value);
}

// A number must be the whole word: "two" or "0.1x" ends the run naming the
// option instead of running at 0 or at a prefix of the word.
void read_number(float& dst, const char* option, const char* value) {
    if (!parse_whole_float(value, dst)) VORN_FATAL("option %s takes a finite number, not '%s'", option, value);
}
void read_number(int& dst, const char* option, const char* value) {
    if (!parse_whole_int(value, dst)) VORN_FATAL("option %s takes an integer, not '%s'", option, value);
}

void read_value(P& p, const Option& o, const char* option, const char* value) {
    switch (o.kind) {
        case Kind::Float: read_number(p.*(o.f), option, value); break;
        case Kind::Int: read_number(p.*(o.i), option, value); break;
        case Kind::Speed:
            read_number(p.speed, option, value);
            tessoranth_speed2shrink(p.speed, p.shrink);
            break;
        case Kind::Text: copy_text(p.*(o.s), option, value); break;
        case Kind::OnOff: break;
    }
}

// A size the run derives from one option: option value x per_unit, at the
// values in force of the others. It must lie from lo (included or not) to
// below hi, the range its integer holds and a run that ends in minutes needs.
struct DerivedSize {
    const char* option;
    double value;
    const char* from;     // how the option's value was derived when not given, else ""
    const char* unit;     // of the option
    double per_unit;
    const char* gives;    // what the size is, up to its value
    const char* size_unit;
    double lo, hi;
    bool lo_included;
};

// A NaN lies outside every range.
void check_derived(const P& p, const DerivedSize& d) {
    const double v = d.value * d.per_unit;
    if ((d.lo_included ? v >= d.lo : v > d.lo) && v < d.hi) return;
    VORN_FATAL("%s %g%s%s %g %s; %s must be %s %g and below %g %s at --apixM %g and --speed %d (shrink %d)",
               d.option, d.value, d.from, d.gives, v, d.size_unit, d.option, d.lo_included ? "at least" : "above",
               d.lo / d.per_unit, d.hi / d.per_unit, d.unit, p.apixM, p.speed, p.shrink);
}

// Sizes that follow from the diameter unless given, then the windows in shrunk
// pixels. The box is checked before it is cast to its integer.
void derive_sizes(P& p, const Given& given) {
    const double d = p.diameter;
    if (!given.min_dist) p.min_dist = (float)(0.8 * d);
    if (!given.boxsize) {
        // Made even below, so at least 2 pixels.
        check_derived(p, {"--diameter", d, "", "A", 1.33 / (double)p.apixM, " gives a box of", "pixels", 2.0,
                          TESSORANTH_MAX_BOX + 1.0, true});
        const int box = (int)(d * 1.33 / (double)p.apixM);
        p.boxsize = box - box % 2;
    }
    if (!given.lsigma_D) p.lsigma_D = (float)(0.5 * d + 100.0);
    if (!given.lave_D) p.lave_D = (float)(0.3 * d + 200.0);
    const float s = (float)p.shrink;
    p.min_dist_px = p.min_dist / (s * p.apixM);
    p.radius_px = p.diameter * p.radius_ratio / (2.0f * p.apixM * s);
    p.lsigma_px = p.lsigma_D / (2.0f * p.apixM * s);
    p.lave_px = p.lave_D / (2.0f * p.apixM * s);
}

// Values that would divide by zero, loop without end or give empty grids are
// refused here rather than deep inside a run; the scales before the sizes
// derived from them.
void check_scales(const P& p, const Given& given) {
    if (!(p.apixM > 0.0f)) VORN_FATAL("--apixM must be above 0, not %g", p.apixM);
    if (!(p.apixT > 0.0f)) VORN_FATAL("--apixT must be above 0, not %g", p.apixT);
    if (p.shrink <= 0) VORN_FATAL("the shrink factor must be above 0, not %d", p.shrink);
    if (!(p.ang_step > 0.0f)) VORN_FATAL("--ang_step must be above 0, not %g", p.ang_step);
    if (!(p.diameter > 0.0f)) VORN_FATAL("--diameter must be above 0, not %g", p.diameter);
    if (given.boxsize && !(p.boxsize >= 1 && p.boxsize <= TESSORANTH_MAX_BOX))
        VORN_FATAL("--boxsize must be 1 to %d pixels, not %d", TESSORANTH_MAX_BOX, p.boxsize);
}

// Every count and size a run takes from the record: the automatic template or
// the radius of the templates' masks, the picking and ice cells, the windows of
// the local statistics, the scale of the templates and the number of angles.
// The diameter first: the sizes derived from it then stay within their limits.
// A cell must be at least 2 pixels wide: a cell's first pixel is never its
// pick, so cells of 1 pixel would give no pick at all. The template scale must
// leave a template of the largest side at least 1 shrunk pixel.
void check_sizes(const P& p, const Given& given) {
    const double px = 1.0 / ((double)p.shrink * p.apixM);  // shrunk pixels per A
    // The automatic template's side is 4 x the radius's integer part + 1, so at least 5.
    const bool automatic = p.auto_template != 0;
    const DerivedSize sizes[] = {
        {"--diameter", p.diameter, "", "A", p.radius_ratio * 0.5 * px,
         automatic ? ": the automatic template would have a radius of" : " gives the templates a mask radius of",
         "shrunk pixels", automatic ? 1.0 : 0.0, automatic ? TESSORANTH_MAX_SIDE / 4.0 : (double)TESSORANTH_MAX_SIDE,
         automatic},
        {"--min_dist", p.min_dist, given.min_dist ? "" : " (0.8 x --diameter)", "A", 1.4142135 * 0.5 * px,
         ": the picking cells would have a side of", "shrunk pixels", 2.0, TESSORANTH_MAX_SIDE + 1.0, true},
        {"--lsigma_D", p.lsigma_D, given.lsigma_D ? "" : " (0.5 x --diameter + 100)", "A", 0.5 * px,
         " gives a local-sigma window radius of", "shrunk pixels", 0.0, TESSORANTH_MAX_SIDE, false},
        {"--lave_D", p.lave_D, given.lave_D ? "" : " (0.3 x --diameter + 200)", "A", 0.5 * px,
         " gives a local-average window radius of", "shrunk pixels", 0.0, TESSORANTH_MAX_SIDE, false},
    };
    for (const DerivedSize& d : sizes) check_derived(p, d);
    check_derived(p, {"--apixT", p.apixT, "", "A", 1.0 / p.apixM, " scales the templates by", "times",
                      (double)p.shrink / TESSORANTH_MAX_SIDE, TESSORANTH_MAX_SIDE, true});
    const double range = (double)p.psi_end - p.psi_start, angles = range / p.ang_step;
    if (!(angles <= TESSORANTH_MAX_ANGLES))
        VORN_FATAL("--ang_step %g gives %g angles from %g to %g degrees; --ang_step must be at least %g degrees, for "
                   "at most %d angles",
                   p.ang_step, angles, p.psi_start, p.psi_end, range / TESSORANTH_MAX_ANGLES, TESSORANTH_MAX_ANGLES);
}

// A band-pass keeps the resolutions from hp down to lp (A). Both must be above
// 0, lp below hp, and hp coarser than the shrunk micrograph's Nyquist
// resolution (2 x apixM x shrink): any other band keeps nothing of the map, and
// the run would end with no pick and no word.
void check_band(const P& p, const char* lp_option, float lp, const char* hp_option, float hp, const char* switch_on) {
    if (!(lp > 0.0f)) VORN_FATAL("%s must be above 0 A with %s, not %g", lp_option, switch_on, lp);
    if (!(hp > 0.0f)) VORN_FATAL("%s must be above 0 A with %s, not %g", hp_option, switch_on, hp);
    if (!(lp < hp))
        VORN_FATAL("%s %g and %s %g leave an empty band: %s, the finest resolution kept, must be below %s, the "
                   "coarsest, with %s",
                   lp_option, lp, hp_option, hp, lp_option, hp_option, switch_on);
    const double nyquist = 2.0 * (double)p.apixM * p.shrink;
    if (!(hp > nyquist))
        VORN_FATAL("%s %g keeps nothing of the shrunk micrograph: %s must be above its Nyquist resolution of %g A at "
                   "--apixM %g and --speed %d (shrink %d), with %s",
                   hp_option, hp, hp_option, nyquist, p.apixM, p.speed, p.shrink, switch_on);
}

// The filters in force and the template normalisation must be ones the run can use.
void check_filters(const P& p) {
    if (p.do_pre_filter) check_band(p, "--pre_lp", p.pre_lp, "--pre_hp", p.pre_hp, "--do_pre_filter 1");
    if (p.do_bandpass) check_band(p, "--lp", p.lp, "--hp", p.hp, "--do_bandpass 1");
    if (p.T_norm_type < 0 || p.T_norm_type > 3)
        VORN_FATAL("--T_norm_type must be 0, 1, 2 or 3, not %d", p.T_norm_type);
}

void print_reminders(const Given& given) {
    if (!given.diameter)
        std::printf("Waring: You have not set the parameter '--diameter',  the default value 400\u00c5 will be used.\n");
    if (!given.T)
        std::printf("Waring: You have not set the parameter '--T',  the automatically generated Gaussian template "
                    "will be used. This is fine for 'spherical particles' like virus or ribosome. Do use templates "
                    "for non-spherical particles.\n");
    if (!given.apixM)
        std::printf("Waring: You have not set the parameter '--apixM', the pixel size of micrograph is assumed to be "
                    "1.34\u00c5 by default.\n");
    if (!given.apixT)
        std::printf("Waring: You have not set the parameter '--apixT', the pixel size of templates is assumed to be "
                    "the same as micrographs by default.\n");
}

}  // namespace

void tessoranth_speed2shrink(int speed, int& shrink) {
    static const int kShrink[] = {1, 2, 4, 6, 8};
    if (speed < 0 || speed > 4) VORN_FATAL("speed level must belong to {0,1,2,3,4}");
    shrink = kShrink[speed];
}

int tessoranth_cell_side(float min_dist_px) {
    const float side = 1.4142135f * min_dist_px * 0.5f;
    if (!(side < TESSORANTH_MAX_SIDE + 1.0f))
        VORN_FATAL("a minimum distance of %g shrunk pixels gives cells with a side of %g; at most %d fit",
                   min_dist_px, side, TESSORANTH_MAX_SIDE);
    return side >= 1.0f ? (int)side : 1;
}

int tessoranth_init_parameters(int count, Tessoranth_Para& para) {
    P& p = para;
    p = P{};
    p.files = (char**)calloc((size_t)(count > 0 ? count : 1), sizeof(char*));
    if (p.files == nullptr) VORN_FATAL("Host memory allocation failed");
    p.T = new_text("NULL");
    p.excluded_suffix = new_text("NULL");
    p.global_excluded_box = new_text("NULL");
    p.apixM = 1.34f; p.apixT = 1.34f; p.diameter = 400; p.min_dist = 300; p.boxsize = 128;
    p.shrink = 4; p.speed = 2; p.ang_step = 5; p.cc_cutoff = 0.15f;
    p.lp = 40; p.hp = 1000; p.pre_lp = 8; p.pre_hp = 1000;
    p.T_norm_type = 1; p.m_edge_ratio = 0.05f;
    p.do_bandpass = 1; p.mic_znorm = 1; p.mic_wm_norm = 1;
    p.kv = 300; p.cs = 2.7f; p.ac = 0.1f;
    p.lave_max = 1.0f; p.lave_min = -1.0f; p.lsigma_cutoff = 1.3f; p.lsigma_D = 100; p.lave_D = 400;
    p.detect_ice = 1; p.write_rejected_box = 1; p.write_star = 1;
    p.ice_softwidth = 8.0f; p.radius_ratio = 1.3f; p.spare_ratio = 1.2f; p.auto_template = 1;
    p.psi_start = 0.0f; p.psi_end = 359.0f;
    p.radius_px = 48.50746f; p.min_dist_px = 55.970146f; p.lsigma_px = 9.328358f; p.lave_px = 37.31343f;
    return 0;
}

void tessoranth_free_parameters(Tessoranth_Para& para) {
    free(para.files);
    free(para.T);
    free(para.excluded_suffix);
    free(para.global_excluded_box);
    para.files = nullptr;
    para.T = para.excluded_suffix = para.global_excluded_box = nullptr;
}

int tessoranth_get_parameters(int argc, char** argv, Tessoranth_Para& para) {
    P& p = para;
    Given given{};
    for (int i = 1; i < argc; ++i) {
        char* word = argv[i];
        const Option* o = find_option(word);
        if (o == nullptr) {
            if (word[0] == '-') unrecognised_option(__LINE__, word);
            p.files[p.nfiles++] = word;
            continue;
        }
        if (o->given) given.*(o->given) = true;
        if (o->kind == Kind::OnOff) {
            get_bool_keyword(argc, argv, p.*(o->i), i);
            continue;
        }
        read_value(p, *o, word, value_of(argc, argv, i));
        ++i;
    }
    if (strcasecmp(p.T, "NULL") != 0 && strcasecmp(p.T, "NONE") != 0) p.auto_template = 0;
    if (!given.apixT) p.apixT = p.apixM;
    check_scales(p, given);
    derive_sizes(p, given);
    check_sizes(p, given);
    check_filters(p);
    if (p.nfiles == 0) tessoranth_help_exit(argv[0], "No valid files to be processed.");
    check_and_set_gid(p.gid);
    print_reminders(given);
    return 0;
}
