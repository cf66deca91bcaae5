// The estimator's options: the record's defaults, the command-line parser and
// its post-parse rules, the range checks, and the fitting of the box sizes to
// the first micrograph.
#define VORN_UNIT "src/ctf"
#include "ctf.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cuda_general.h"
#include "starfile.h"
#include "str_utils.h"
#include "txt_file.h"

// ================= the option table =================

namespace {

enum class OptKind {
    Float,       // strtod of the next word
    Int,         // strtol, base 10
    IntDecimal,  // a decimal, fraction dropped
    OnOff,       // get_bool_keyword
    Text,        // bounded copy of the next word
    CtfStar,     // the summary name, by vorn_set_ctfstar
};

using FloatField = float VORN_Para::*;
using IntField = int VORN_Para::*;
using TextField = char* VORN_Para::*;

struct OptionSpec {
    const char* keyword;
    OptKind kind;
    FloatField f;
    IntField i;
    TextField s;
    IntField flag;  // user-set flag, or null
    bool echoed;    // shown among the "User input parameters"
};

constexpr OptionSpec opt_f(const char* k, FloatField m, IntField flag = nullptr) {
    return {k, OptKind::Float, m, nullptr, nullptr, flag, true};
}
constexpr OptionSpec opt_i(const char* k, IntField m, IntField flag = nullptr) {
    return {k, OptKind::Int, nullptr, m, nullptr, flag, true};
}
constexpr OptionSpec opt_b(const char* k, IntField m) { return {k, OptKind::OnOff, nullptr, m, nullptr, nullptr, true}; }
constexpr OptionSpec opt_t(const char* k, TextField m, IntField flag = nullptr) {
    return {k, OptKind::Text, nullptr, nullptr, m, flag, true};
}
constexpr OptionSpec quiet(OptionSpec o) { return {o.keyword, o.kind, o.f, o.i, o.s, o.flag, false}; }
constexpr OptionSpec decimal(OptionSpec o) { return {o.keyword, OptKind::IntDecimal, o.f, o.i, o.s, o.flag, o.echoed}; }

using P = VORN_Para;

// Every keyword the parser knows, in the parser's order.
const OptionSpec kOptions[] = {
    opt_f("apix", &P::apix, &P::apix_set),
    opt_f("kV", &P::kV),
    opt_f("cs", &P::cs),
    opt_f("dstep", &P::dstep),
    opt_f("ac", &P::ac),
    opt_f("defL", &P::defL, &P::defL_set),
    opt_f("defH", &P::defH, &P::defH_set),
    opt_f("defS", &P::defS, &P::defS_set),
    opt_f("astm", &P::astm),
    opt_f("bfac", &P::bfac, &P::bfac_set),
    opt_f("resL", &P::resL, &P::resL_set),
    opt_f("resH", &P::resH),
    opt_i("boxsize", &P::boxsize, &P::boxsize_set),
    opt_f("overlap", &P::overlap),
    opt_i("convsize", &P::convsize, &P::convsize_set),
    opt_i("convs_out", &P::convs_out, &P::convs_out_set),
    opt_i("refine_2d_T", &P::refine_2d_T),
    opt_i("defA_seeds", &P::defA_seeds),
    quiet(opt_f("smooth_resL", &P::smooth_resL, &P::smooth_resL_set)),
    opt_b("do_basic_rotave", &P::do_basic_rotave),
    opt_b("do_EPA", &P::do_EPA),
    opt_b("refine_after_EPA", &P::refine_after_EPA),
    opt_i("EPA_oversmp", &P::EPA_oversmp),
    opt_f("ncc_frac_max", &P::ncc_frac_max),
    opt_f("ncc_frac_min", &P::ncc_frac_min),
    opt_i("EPA_bg_pn", &P::EPA_bg_pn),
    opt_f("EPA_resL", &P::EPA_resL, &P::EPA_resL_set),
    opt_f("EPA_resH", &P::EPA_resH, &P::EPA_resH_set),
    opt_b("do_Hres_ref", &P::do_Hres_ref),
    opt_f("Href_resL", &P::Href_resL),
    opt_f("Href_resH", &P::Href_resH),
    opt_f("Href_bfac", &P::Href_bfac),
    opt_f("Href_A_err", &P::Href_A_err, &P::Href_A_err_set),
    opt_f("Href_U_err", &P::Href_U_err, &P::Href_U_err_set),
    opt_f("Href_V_err", &P::Href_V_err, &P::Href_V_err_set),
    opt_f("Href_PS_err", &P::Href_PS_err, &P::Href_PS_err_set),
    opt_i("phase_shift_T", &P::phase_shift_T, &P::phase_shift_T_set),
    opt_f("phase_shift_L", &P::phase_shift_L, &P::phase_shift_L_set),
    opt_f("phase_shift_H", &P::phase_shift_H, &P::phase_shift_H_set),
    opt_f("phase_shift_S", &P::phase_shift_S, &P::phase_shift_S_set),
    opt_b("cosearch_refine_ps", &P::cosearch_refine_ps),
    opt_b("only_search_ps", &P::only_search_ps),
    opt_b("estimate_B", &P::estimate_B),
    opt_f("B_resH", &P::B_resH),
    opt_f("B_resL", &P::B_resL),
    opt_f("res_lim_cc", &P::res_lim_cc),
    opt_f("res_lim_L", &P::res_lim_L),
    opt_i("gid", &P::gid),
    opt_b("do_mdef_refine", &P::do_mdef_refine),
    opt_i("mdef_aveN", &P::mdef_aveN),
    opt_b("mdef_fit", &P::mdef_fit),
    opt_i("mdef_ave_type", &P::mdef_ave_type),
    quiet(opt_b("refine_tilt", &P::refine_tilt)),
    quiet(decimal(opt_i("init_tilt_ang", &P::init_tilt_ang))),
    quiet(decimal(opt_i("init_tilt_err", &P::init_tilt_err))),
    opt_b("do_local_refine", &P::do_local_refine),
    opt_b("refine_local_astm", &P::refine_local_astm),
    opt_b("refine_local_ps", &P::refine_local_ps),
    opt_f("local_bfac", &P::local_bfac),
    opt_f("local_resH", &P::local_resH),
    opt_f("local_resL", &P::local_resL),
    opt_f("local_A_err", &P::local_A_err),
    opt_f("local_U_err", &P::local_U_err),
    opt_f("local_V_err", &P::local_V_err),
    opt_f("local_PS_err", &P::local_PS_err),
    opt_i("local_boxsize", &P::local_boxsize),
    opt_i("local_boxtype", &P::local_boxtype),
    opt_f("local_radius", &P::local_radius),
    opt_i("local_areatype", &P::local_areatype),
    opt_f("local_overlap", &P::local_overlap),
    opt_i("local_avetype", &P::local_avetype),
    opt_i("local_autogrid_X", &P::local_autogrid_X),
    opt_i("local_autogrid_Y", &P::local_autogrid_Y),
    opt_b("do_validation", &P::do_validation),
    opt_b("do_phase_flip", &P::do_phase_flip),
    opt_b("refine_input_ctf", &P::refine_input_ctf),
    opt_f("ps_init", &P::ps_init),
    opt_f("defU_init", &P::defU_init),
    opt_f("defV_init", &P::defV_init),
    opt_f("defA_init", &P::defA_init),
    opt_f("B_init", &P::B_init),
    opt_f("ps_err", &P::ps_err),
    opt_f("defU_err", &P::defU_err),
    opt_f("defV_err", &P::defV_err),
    opt_f("defA_err", &P::defA_err),
    opt_f("B_err", &P::B_err),
    opt_t("input_ctfstar", &P::input_ctfstar, &P::input_ctfstar_set),
    opt_f("ctfout_resL", &P::ctfout_resL),
    opt_f("ctfout_resH", &P::ctfout_resH, &P::ctfout_resH_set),
    opt_f("ctfout_bfac", &P::ctfout_bfac),
    opt_b("write_local_ctf", &P::write_local_ctf),
    quiet(opt_b("output_time", &P::output_time)),
    opt_b("plot_res_ring", &P::plot_res_ring),
    opt_b("pre_read", &P::pre_read),
    opt_b("skip_check_mrc", &P::skip_check_mrc),
    opt_b("skip_check_gpu", &P::skip_check_gpu),
    {"ctfstar", OptKind::CtfStar, nullptr, nullptr, &P::ctfstar, nullptr, true},
    opt_t("logsuffix", &P::logsuffix),
    opt_t("boxsuffix", &P::boxsuffix),
    quiet(opt_b("do_unfinished", &P::do_unfinished)),
    opt_b("reload_ctf_files", &P::reload_ctf_files),
    opt_i("dp_maxN_q", &P::dp_maxN_q),
    opt_i("dp_silent", &P::dp_silent),
};
static_assert(sizeof(kOptions) / sizeof(kOptions[0]) == 103, "the parser knows 103 keywords");

const OptionSpec* find_option(const char* word) {
    for (const OptionSpec& o : kOptions)
        if (keywd_cmp(word, o.keyword)) return &o;
    return nullptr;
}

const OptionSpec& option_of(const char* keyword) {
    for (const OptionSpec& o : kOptions)
        if (std::strcmp(o.keyword, keyword) == 0) return o;
    VORN_FATAL("no option %s", keyword);
}

// An on/off option takes the next word as its value when that word begins
// neither with a dash nor with a letter.
bool onoff_value_follows(int argc, char** argv, int i) {
    return i + 1 < argc && argv[i + 1][0] != '-' && !isalpha((unsigned char)argv[i + 1][0]);
}

char* new_name_buffer() { return (char*)calloc(VORN_NAME_LEN, 1); }

// A mistyped option would run a whole batch at the defaults: the run ends with
// status 1, the usage first, then the line naming the word and the valid options.
[[noreturn]] void unrecognised_option(const char* prog, int line, const char* word, const char* advice) {
    vorn_print_usage(prog);
    std::printf("\033[41m\033[1m\033[5mCRITICAL ERROR: in function %s(), file %s on line %d. Failed to recognize "
                "option: %s! Exit now. %s\033[m\n\n",
                "vorn_get_parameters", VORN_UNIT, line, word, advice);
    vorn_print_valid_options();
    std::exit(1);
}

// ---- option values ----

// A value word must be a number of its option's type as a whole: any other word
// (a file name, "nan", "1e39" for a float) ends the run before any micrograph
// is touched, naming the option and the word.
[[noreturn]] void refuse_value(const char* option, const char* word, const char* type) {
    vorn_fatal_line("vorn_get_parameters", VORN_UNIT, __LINE__, "option %s takes %s, not '%s'", option, type, word);
}

void read_option_value(VORN_Para& p, const OptionSpec& o, const char* option, const char* word) {
    switch (o.kind) {
        case OptKind::Float:
            if (!parse_whole_float(word, p.*(o.f))) refuse_value(option, word, "a finite number");
            break;
        case OptKind::Int:
            if (!parse_whole_int(word, p.*(o.i))) refuse_value(option, word, "an integer");
            break;
        case OptKind::IntDecimal:
            if (!parse_whole_int_part(word, p.*(o.i)))
                refuse_value(option, word, "a finite number whose integer part fits an integer");
            break;
        case OptKind::Text: strlcpy(p.*(o.s), word); break;
        default: break;
    }
}

// An on/off option takes the next word as its value when that word begins
// neither with a dash nor with a letter; such a word must be an integer.
void check_onoff_value(int argc, char** argv, int i) {
    int v;
    if (onoff_value_follows(argc, argv, i) && !parse_whole_int(argv[i + 1], v))
        refuse_value(argv[i], argv[i + 1], "an on/off value (0 or 1)");
}

// A value the range checks cannot correct and no stage can work with ends the
// run before any micrograph is touched, saying what is allowed.
[[noreturn]] void refuse_range(const char* keyword, double value, const char* allowed,
                               const char* func = "vorn_check_parameters") {
    vorn_fatal_line(func, VORN_UNIT, __LINE__, "--%s %g is refused: allowed %s", keyword, value, allowed);
}

// A text option given again replaces its earlier value; the user may have meant
// the earlier one, so the run says which file it goes on with.
void note_text_value(const char*& earlier, const char* option, const char* value) {
    if (earlier != nullptr)
        std::printf("Warning: %s is given more than once: the earlier value %s is ignored, %s is used.\n", option,
                    earlier, value);
    earlier = value;
}

// A band runs from its low-resolution limit lo down to its high-resolution limit
// hi (A). Limits given the wrong way round are swapped, as the search band's are.
void swap_inverted_band(const char* lo_key, float& lo, const char* hi_key, float& hi) {
    if (!(hi > lo)) return;
    std::printf("Warning: %s smaller than %s, swapping them ...\n", lo_key, hi_key);
    std::swap(lo, hi);
}

// A band with no resolution between its limits holds nothing to fit: every fit
// in it would report its starting values with a score of 0.
void refuse_empty_band(const char* lo_key, float lo, const char* hi_key, float hi) {
    if (!(hi > 0.0f)) refuse_range(hi_key, hi, "a high resolution limit above 0 A");
    if (hi < lo) return;
    char allowed[256];
    std::snprintf(allowed, sizeof allowed, "a high resolution limit below --%s %g A: the band between them is empty",
                  lo_key, lo);
    refuse_range(hi_key, hi, allowed);
}

// Options whose values outside [lo, hi] no stage can use: an EPA over-sampling's
// work grows with its square, each angle seed costs a score of the whole
// spectrum per refinement cycle, each box of the automatic local grid a local
// refinement, a defocus beyond VORN_DEFOCUS_MAX is no microscope's, a background
// box below VORN_MIN_BACKGROUND_BOX is empty, and a negative local radius takes
// no area around a particle.
struct ValueLimit {
    const char* keyword;
    double lo, hi;
    const char* allowed;
};
const ValueLimit kValueLimits[] = {
    {"defL", -VORN_DEFOCUS_MAX, VORN_DEFOCUS_MAX, "from -1e6 to 1e6 A"},
    {"defH", -VORN_DEFOCUS_MAX, VORN_DEFOCUS_MAX, "from -1e6 to 1e6 A"},
    {"defU_init", -VORN_DEFOCUS_MAX, VORN_DEFOCUS_MAX, "from -1e6 to 1e6 A"},
    {"defV_init", -VORN_DEFOCUS_MAX, VORN_DEFOCUS_MAX, "from -1e6 to 1e6 A"},
    {"refine_2d_T", 1, 3, "the refinement types 1, 2 and 3"},
    {"defA_seeds", INT_MIN, 360, "at most 360 angle seeds"},
    {"EPA_oversmp", 1, 16, "an EPA over-sampling from 1 to 16"},
    {"EPA_bg_pn", 0, 32, "a background polynomial order from 0 to 32"},
    {"ncc_frac_max", 0, 1, "a fraction from 0 to 1"},
    {"ncc_frac_min", 0, 1, "a fraction from 0 to 1"},
    {"local_autogrid_X", 1, 100, "a grid of 1 to 100 boxes a side"},
    {"local_autogrid_Y", 1, 100, "a grid of 1 to 100 boxes a side"},
    {"convsize", VORN_MIN_BACKGROUND_BOX, INT_MAX, "a background box of 2 pixels or more"},
    {"convs_out", VORN_MIN_BACKGROUND_BOX, INT_MAX, "a background box of 2 pixels or more"},
    {"local_radius", 0, FLT_MAX, "a local radius of 0 pixels or more"},
};

double option_value(const VORN_Para& p, const OptionSpec& o) { return o.f ? (double)(p.*(o.f)) : (double)(p.*(o.i)); }

// Points of the 1D defocus search and trials of the phase-shift search beyond
// which a micrograph's search would not end in minutes.
constexpr double VORN_DEFOCUS_GRID_MAX = 100000;
constexpr double VORN_PHASE_TRIALS_MAX = 360;

void refuse_unusable_values(const VORN_Para& p) {
    for (const ValueLimit& l : kValueLimits) {
        const double v = option_value(p, option_of(l.keyword));
        if (!(v >= l.lo && v <= l.hi)) refuse_range(l.keyword, v, l.allowed);
    }
    // Type 2 (boxes given otherwise) is not built; the lines keep the local refinement's own words.
    if (p.local_boxtype != VORN_LOCAL_BOXFILE && p.local_boxtype != VORN_LOCAL_AUTOGRID)
        vorn_fatal_line("vorn_check_parameters", VORN_UNIT, __LINE__,
                        "%s --local_boxtype %d is refused: allowed the local box types 1 (each micrograph's box file) "
                        "and 3 (an automatic grid)",
                        p.local_boxtype == 2 ? "LOCAL_REFINE_GIVENBOX unsupported in the current version!"
                                             : "unrecognized local_boxtype!",
                        p.local_boxtype);
    refuse_empty_band("resL", p.resL, "resH", p.resH);
    refuse_empty_band("Href_resL", p.Href_resL, "Href_resH", p.Href_resH);
    refuse_empty_band("local_resL", p.local_resL, "local_resH", p.local_resH);
    // The EPA band's low limit sets where its table starts; it must lie above 0 A.
    if (!(p.EPA_resL > 0.0f)) refuse_range("EPA_resL", p.EPA_resL, "a low EPA limit above 0 A");
    // A band given empty (high limit, raised to the pixel size's, at or above the
    // low one) has no resolution to report: refuse it rather than report 0.
    if ((p.EPA_resL_set || p.EPA_resH_set) && !(p.EPA_resH < p.EPA_resL))
        refuse_range("EPA_resH", p.EPA_resH,
                     "a high EPA limit below the low limit --EPA_resL (and 2 x apix + 0.1 A or above)");
    // The smoothing radius divides by its resolution: 0 would make every spectrum infinite.
    if (p.smooth_resL_set && !(p.smooth_resL > 0.0f))
        refuse_range("smooth_resL", p.smooth_resL, "a smoothing resolution above 0 A");
    const double points = ((double)p.defH - (double)p.defL) / (double)p.defS;
    if (!(points <= VORN_DEFOCUS_GRID_MAX))
        refuse_range("defS", p.defS, "a step that gives at most 100000 defocus points from --defL to --defH");
    if (p.phase_plate) {
        const double trials = ((double)p.phase_shift_H - (double)p.phase_shift_L) / (double)p.phase_shift_S;
        if (!(trials <= VORN_PHASE_TRIALS_MAX))
            refuse_range("phase_shift_S", p.phase_shift_S,
                         "a step that gives at most 360 trials from --phase_shift_L to --phase_shift_H");
    }
}

// Sizes derived from the box: computed once the box itself is checked, so that
// a box the checks replace never leaves a background box of 0.
void derive_background_boxes(VORN_Para& p) {
    const bool plate = p.phase_shift_L_set || p.phase_shift_H_set || p.phase_shift_S_set || p.phase_shift_T_set;
    if (!p.convsize_set) p.convsize = p.boxsize / (plate ? 20 : 12);
    if (plate)
        p.convs_out = p.boxsize / 10;
    else if (!p.convs_out_set)
        p.convs_out = p.boxsize / 7;
}

// Room in the name list and the start CTFs for n entries and the null after them.
void resize_name_list(VORN_Para& p, long n) {
    char** names = (char**)std::realloc(p.mic_names, (size_t)(n + 1) * sizeof(char*));
    CTF_INIT* init = names ? (CTF_INIT*)std::realloc(p.ctf_init, (size_t)(n + 1) * sizeof(CTF_INIT)) : nullptr;
    if (names) p.mic_names = names;
    if (init) p.ctf_init = init;
    if (!names || !init) VORN_FATAL("no memory for a list of %ld micrographs", n);
}

// The automatic local grid steps by (micrograph edge - local box) / boxes a side
// (the box as the local buffers take it): a step of 0 puts no two boxes apart.
void refuse_autogrid_without_step(const VORN_Para& p, int nx, int ny) {
    const int box = std::max(p.local_boxsize, VORN_MIN_BOXSIZE);
    const struct {
        const char* keyword;
        int count, edge;
    } axes[] = {{"local_autogrid_X", p.local_autogrid_X, nx}, {"local_autogrid_Y", p.local_autogrid_Y, ny}};
    for (const auto& a : axes) {
        if ((a.edge - box) / a.count >= 1) continue;
        char allowed[256];
        std::snprintf(allowed, sizeof allowed,
                      "at most %d boxes a side, so that the automatic local grid of --local_boxsize %d steps by at "
                      "least 1 pixel on micrographs of %d pixels (a smaller --local_boxsize allows more)",
                      std::max(a.edge - box, 0), box, a.edge);
        refuse_range(a.keyword, a.count, allowed, "vorn_check_boxsizes");
    }
}

// The input CTF STAR file is opened first of all the inputs: one that is no
// regular file ends the run unopened, with what it is (a named pipe would hold
// the run for ever, a directory reads as a file without columns).
void refuse_irregular_input_ctfstar(const char* name, const char* func) {
    if (const char* kind = non_regular_file_kind(name))
        vorn_fatal_line(func, VORN_UNIT, __LINE__, "--input_ctfstar %s is %s, not a CTF STAR file", name, kind);
}

// value - 360*floor(value/360) for a phase outside [0, 360].
float wrap_phase(float v) { return (v > 360.0f || v < 0.0f) ? v - 360.0f * std::floor(v / 360.0f) : v; }

}  // namespace

const char* const VORN_OPTIONS[100] = {
    "apix", "kV", "cs", "ac", "phase_shift_L", "phase_shift_H", "phase_shift_S", "phase_shift_T",
    "cosearch_refine_ps", "only_search_ps", "dstep", "defL", "defH", "defS", "astm", "bfac", "resL", "resH",
    "overlap", "boxsize", "convsize", "convs_out", "refine_2d_T", "defA_seeds", "smooth_resL", "do_basic_rotave",
    "do_EPA", "EPA_oversmp", "refine_after_EPA", "ncc_frac_max", "ncc_frac_min", "EPA_bg_pn", "EPA_resL",
    "EPA_resH", "do_Hres_ref", "Href_resL", "Href_resH", "Href_bfac", "Href_PS_err", "Href_U_err", "Href_V_err",
    "Href_A_err", "estimate_B", "B_resL", "B_resH", "res_lim_cc", "res_lim_L", "do_mdef_refine", "mdef_aveN",
    "mdef_fit", "mdef_ave_type", "do_local_refine", "refine_local_astm", "local_radius", "local_boxtype",
    "local_areatype", "local_avetype", "local_boxsize", "local_overlap", "local_autogrid_X", "local_autogrid_Y",
    "local_bfac", "local_resL", "local_resH", "local_A_err", "local_U_err", "local_V_err", "local_PS_err",
    "do_phase_flip", "do_validation", "refine_input_ctf", "input_ctfstar", "defU_init", "defV_init", "defA_init",
    "ps_init", "B_init", "defU_err", "defV_err", "defA_err", "B_err", "ps_err", "dp_maxN_q", "dp_silent",
    "dp_maxN_q", "dp_silent", "dp_maxN_get", "ctfout_resL", "ctfout_resH", "ctfout_bfac", "boxsuffix", "ctfstar",
    "logsuffix", "write_local_ctf", "do_unfinished", "skip_check_mrc", "skip_check_gpu", "plot_res_ring", "gid",
    "help"};

void vorn_print_valid_options() {
    vorn_put_rule('-', 130);
    std::printf("All valid options:\n");
    for (const char* name : VORN_OPTIONS) std::printf("--%s\t ", name);
    std::printf("\n");
    vorn_put_rule('-', 128);
}

// ================= defaults =================

int VORN_A::vorn_get_fnumber_max(int argc, char** argv) {
    // The last input_ctfstar is the one the parser keeps.
    for (int i = argc - 1; i >= 0; --i) {
        if (!keywd_cmp(argv[i], "input_ctfstar")) continue;
        // Without a name the parser stops on the missing value; the list needs no room for it.
        if (i + 1 >= argc) return argc;
        refuse_irregular_input_ctfstar(argv[i + 1], __func__);
        return argc + (int)std::min<long>(get_lineN_from_starf(argv[i + 1]), (long)INT_MAX - argc - 1) + 1;
    }
    return argc;
}

int VORN_A::vorn_ref_control_init() {
    ref_tol_A = 0.5f;
    ref_tol_UV = 2.0f;
    ref_tol_PS = 0.2f;
    ref_UVave_on = ref_UVdif_on = ref_A_on = 1;
    ref_PS_on = ref_is_Hres = ref_is_local = 0;
    ref_A_done = ref_UVave_done = ref_UVdif_done = ref_PS_done = 0;
    ref_angle_scan = para->defA_seeds > 1 ? 1 : 0;
    ref_warn_cycles = ref_print_stdout = ref_print_log = 1;
    return ref_angle_scan;
}

int VORN_A::vorn_init_parameters(int argc, char** argv) {
    if (para == nullptr) para = new VORN_Para();
    VORN_Para& p = *para;
    p = VORN_Para{};
    const int capacity = vorn_get_fnumber_max(argc, argv);
    p.mic_names = (char**)calloc((size_t)capacity + 1, sizeof(char*));
    p.ctf_init = (CTF_INIT*)calloc((size_t)capacity + 1, sizeof(CTF_INIT));
    p.ctfstar = new_name_buffer();
    p.logsuffix = new_name_buffer();
    p.boxsuffix = new_name_buffer();
    p.input_ctfstar = new_name_buffer();
    p.first_mic = new_name_buffer();

    p.apix = 1.34f; p.kV = 300; p.cs = 2.7f; p.dstep = 14; p.ac = 0.1f;
    p.defL = 5000; p.defH = 90000; p.defS = 500; p.astm = 1000; p.bfac = 150;
    p.resL = 50; p.resH = 4;
    p.boxsize = 1024; p.overlap = 0.5f; p.convsize = 85; p.convs_out = 100;
    p.refine_2d_T = 1; p.defA_seeds = 1; p.smooth_resL = 15;
    p.EPA_oversmp = 4; p.ncc_frac_max = 0.25f; p.ncc_frac_min = 0.05f; p.EPA_bg_pn = 7;
    p.EPA_resL = 30; p.EPA_resH = 2.78f;
    p.Href_resL = 15; p.Href_resH = 4; p.Href_bfac = 50;
    p.Href_A_err = 5; p.Href_U_err = 100; p.Href_V_err = 100; p.Href_PS_err = 2;
    p.phase_shift_T = 1; p.phase_shift_L = 0; p.phase_shift_H = 180; p.phase_shift_S = 0;
    p.estimate_B = 1; p.B_resH = 4; p.B_resL = 10; p.res_lim_cc = 0; p.res_lim_L = 20;
    p.mdef_aveN = 7;
    p.local_bfac = 50; p.local_resH = 5; p.local_resL = 15;
    p.local_A_err = 5; p.local_U_err = 100; p.local_V_err = 100; p.local_PS_err = 2;
    p.local_boxsize = 512; p.local_boxtype = 1; p.local_radius = 1024; p.local_areatype = 1;
    p.local_overlap = 0.5f; p.local_autogrid_X = 7; p.local_autogrid_Y = 7;
    p.ps_init = 0; p.defU_init = 20000; p.defV_init = 20000; p.defA_init = 0; p.B_init = 200;
    p.ps_err = 10; p.defU_err = 500; p.defV_err = 500; p.defA_err = 15; p.B_err = 50;
    p.ctfout_resL = 50; p.ctfout_resH = 4; p.ctfout_bfac = 50;
    p.plot_res_ring = 1;
    p.dp_maxN_q = 5; p.dp_silent = 1;
    p.get_tries = 1000;

    strlcpy(p.ctfstar, "micrographs_all_vorn.star");
    strlcpy(p.logsuffix, "_vorn.log");
    strlcpy(p.boxsuffix, "_morvandel.star");
    strlcpy(p.input_ctfstar, "NULL");
    vorn_ref_control_init();
    return 0;
}

// ================= parsing =================

int VORN_A::vorn_set_ctfstar(int argc, char** argv, int& i) {
    if (i + 1 >= argc) VORN_FATAL("Can not get file name for ctfstar! Check input!");
    const char* word = argv[i + 1];
    if (word[0] == '-') unrecognised_option(argv[0], __LINE__, word, "Check your input or file names please.");
    if (is_str_null(word))
        strlcpy(para->ctfstar, "NULL");
    else
        replace_file_suffix(para->ctfstar, ".star", word, ".star");
    ++i;
    return 0;
}

int VORN_A::vorn_get_parameters(int argc, char** argv) {
    VORN_Para& p = *para;
    const char* text_given[std::size(kOptions)] = {};  // the value word of each text option so far
    for (int i = 1; i < argc; ++i) {
        char* word = argv[i];
        const OptionSpec* o = find_option(word);
        if (o == nullptr) {
            if (word[0] == '-') unrecognised_option(argv[0], __LINE__, word, "Check your input please.");
            p.mic_names[p.mic_count] = word;
            p.ctf_init[p.mic_count].valid = 0;
            ++p.mic_count;
            ++p.cmd_count;
            continue;
        }
        if (o->flag) p.*(o->flag) = 1;
        if ((o->kind == OptKind::Text || o->kind == OptKind::CtfStar) && i + 1 < argc)
            note_text_value(text_given[o - kOptions], word, argv[i + 1]);
        if (o->kind == OptKind::OnOff) {
            check_onoff_value(argc, argv, i);
            get_bool_keyword(argc, argv, p.*(o->i), i);
            continue;
        }
        if (o->kind == OptKind::CtfStar) {
            vorn_set_ctfstar(argc, argv, i);
            continue;
        }
        // Every other option reads the word after it; one standing last has none.
        if (i + 1 >= argc) VORN_FATAL("option %s needs a value, but it stands last on the command line", word);
        read_option_value(p, *o, word, argv[++i]);
    }

    // Post-parse rules. The sizes derived from the box follow its check (vorn_check_parameters).
    int phase_line = -1;
    if (p.input_ctfstar_set) {
        refuse_irregular_input_ctfstar(p.input_ctfstar, __func__);
        // The list is sized from the file it is filled from: the last one named.
        const long rows = std::min<long>(get_lineN_from_starf(p.input_ctfstar), (long)INT_MAX - p.mic_count - 1);
        resize_name_list(p, p.mic_count + rows);
        p.star_count = append_initctf_from_ctfstar(p.input_ctfstar, p.ctf_init, p.mic_names, p.mic_count,
                                                   p.mic_count + (int)rows);
        phase_line = f_Nfind_str_line(p.input_ctfstar, "_rlnPhaseShift", 100);
    }
    if (p.phase_shift_L_set || p.phase_shift_H_set || p.phase_shift_S_set || p.phase_shift_T_set) {
        p.phase_plate = 1;
        ref_PS_on = 1;
        if (!p.phase_shift_S_set) p.phase_shift_S = 3;
        if (!p.defL_set) p.defL = 2000;
        if (!p.defH_set) p.defH = 30000;
        if (!p.defS_set) p.defS = 200;
        if (!p.resL_set) p.resL = 15;
        if (!p.boxsize_set) p.boxsize = 512;
    }
    if (p.refine_input_ctf) {
        // Phase shifts in the input are refined and reported: phase mode stays on with them.
        p.input_phase = (phase_line >= 1 && phase_line <= 99) ? 1 : 0;
        p.phase_plate = p.input_phase;
        if (p.input_phase && !p.phase_shift_S_set) p.phase_shift_S = 3;
    }
    p.mic_names[p.mic_count] = nullptr;
    std::printf("\n");
    vorn_check_parameters(argc, argv);
    // Limits derived from the pixel size, once the pixel size itself is checked.
    if (!(p.ctfout_resH_set && p.ctfout_resH >= 2.0f * p.apix)) p.ctfout_resH = 2.2f * p.apix + 0.1f;
    // The diagnostic image shows the band ctfout_resL..ctfout_resH: an empty band would show nothing.
    if (!(p.ctfout_resL > p.ctfout_resH)) {
        const float resL = std::max(50.0f, 2.0f * p.ctfout_resH);
        std::printf("Warning: invalid --ctfout_resL %.2f! It must be larger than --ctfout_resH %.2f. Set it as "
                    "%.2f.\n", p.ctfout_resL, p.ctfout_resH, resL);
        p.ctfout_resL = resL;
    }
    if (!(p.EPA_resH_set && p.EPA_resH >= 2.0f * p.apix + 0.1f)) p.EPA_resH = 2.0f * p.apix + 0.1f;
    refuse_unusable_values(p);
    CUDA_CHECK(cudaSetDevice(p.gid));
    return 0;
}

// ================= range checks =================

int VORN_A::vorn_check_parameters(int argc, char** argv) {
    VORN_Para& p = *para;
    if (p.mic_count == 0) {
        std::printf("Error: No files to be processed.\n");
        vorn_print_usage(argc > 0 ? argv[0] : "vorn");
        std::exit(1);
    }
    // A wrong pixel size fits every micrograph of the batch wrongly: the default is said aloud.
    if (!p.apix_set)
        std::printf("Warning: no --apix given: the default pixel size %.2f A is used. Make sure it is the right "
                    "value.\n", p.apix);
    // The microscope's values have no safe default: a value rejected here ends the run.
    if (p.apix <= 0.01f || p.apix > 100.0f) {
        std::printf("Warning: Invalid pixel size %.2f! Exit now. Make sure you are using the right value, typically "
                    "0.5~3.0. Set it as default 1.34.\n", p.apix);
        refuse_range("apix", p.apix, "a pixel size above 0.01 and at most 100 A");
    } else if (p.apix > 10.0f || (p.apix > 0.01f && p.apix < 0.3f)) {
        std::printf("Warning: pixel size %.2f too large or small! Program will still run, but make sure you are "
                    "using the right value, typically 0.5~3.0.\n", p.apix);
    }
    if (p.dstep <= 0.1f || p.dstep > 1000.0f) {
        std::printf("Warning: Invalid detector size %.2f! Exit now. Make sure you are using the right value, "
                    "typically 3.0~30.0.Set it as default 14.0.\n", p.dstep);
        p.dstep = 14.0f;
    }
    if (p.kV < 10.0f || p.kV > 500.0f) {
        std::printf("Waring: Invalid high tension value kV=%.2f. Exit now. Make sure you are using the right value, "
                    "typically 300, 200, 120kV.\n", p.kV);
        refuse_range("kV", p.kV, "a high tension from 10 to 500 kV");
    }
    if (p.cs < 0.0f || p.cs >= 100.0f) {
        std::printf("Waring: too small or large --Cs %.2f! Make sure you are using the right value!Typically 2.0~2.7 "
                    "in general case or ~0 for Cs corrected microscope. Set it as default.\n", p.cs);
        refuse_range("cs", p.cs, "a spherical aberration from 0 to below 100 mm");
    }
    if (p.ac < 0.0f || p.ac > 1.0f) {
        std::printf("Waring: too small or large --ac %.2f! Make sure you are using the right value, typically "
                    "0.04~0.1. Set it as default.\n", p.ac);
        refuse_range("ac", p.ac, "an amplitude contrast from 0 to 1");
    }
    if (p.bfac <= -500.0f || p.bfac >= 5000.0f) {
        std::printf("Waring: too small or large --bfac %.2f! Make sure you are using the right value, typically "
                    "0~500. Set it as default.\n", p.bfac);
        p.bfac = 150.0f;
    }
    if (p.defL > p.defH) {
        std::printf("Warning: defL larger than defH, swapping them ...\n");
        std::swap(p.defL, p.defH);
    }
    if (p.defH - p.defL < 10.0f) {
        std::printf("Warning: difference between defH and defL is too smaller, forcing them to be larger than 10.0 "
                    "angstrom.\n");
        p.defH = p.defL + 10.0f;
    }
    if (p.defS < 0.0f) {
        std::printf("Warning: defS smaller than 0, forcing it to be positive ...\n");
        p.defS = -p.defS;
    }
    // A zero (or unreadable) step would make an endless defocus grid.
    if (!(p.defS > 0.0f)) {
        const float fallback = p.phase_plate ? 200.0f : 500.0f;
        std::printf("Warning: invalid --defS %.2f! The defocus search needs a positive step. Set it as default "
                    "%.1f.\n", p.defS, fallback);
        p.defS = fallback;
    }
    if (p.defS > p.defH - p.defL) {
        std::printf("Warning:  def_step is larger than (defH - defL), forcing it to be (defH - defL)/3 ...\n");
        p.defS = (p.defH - p.defL) / 3.0f;
    }
    // A negative astigmatism gives its size; the size then passes the same bound
    // (a value that is not a number fails it too).
    if (p.astm < 0.0f) p.astm = -p.astm;
    if (!(p.astm < 10000.0f)) {
        std::printf("Waring: too large --astm %.2f! Make sure you are using the right value, typically 100~3000 "
                    "angstrom. Set it as default 1000.0 angstrom. \n", p.astm);
        p.astm = 1000.0f;
    }
    swap_inverted_band("resL", p.resL, "resH", p.resH);
    swap_inverted_band("Href_resL", p.Href_resL, "Href_resH", p.Href_resH);
    swap_inverted_band("local_resL", p.local_resL, "local_resH", p.local_resH);
    if (p.resH < 2.0f * p.apix) {
        std::printf("Waring: Invalid resH %.2f! Exit now. Make sure you are using the right value, typically "
                    "4.0~8.0 angstrom,and must be smaller than 30.Set it as default 4.0 angstrom.\n", p.resH);
        p.resH = 2.0f * p.apix;
    } else if (p.resH > 30.0f) {
        std::printf("Waring: Invalid resH %.2f! Too big for reliable CTF determination! Reset to min{4.0, "
                    "Nyquist};Make sure you are using the right value, typically 4.0~8.0 angstrom, and must be "
                    "smaller than 30.Set it as default 4.0 angstrom.\n", p.resH);
        p.resH = std::max(4.0f, 2.0f * p.apix);
    } else if (p.resH >= 15.0f) {
        std::printf("Waring: too large resH %.2f! Program will still run, but make sure you are using the right "
                    "value, typically 4.0~8.0 angstrom, and must be smaller than 30.0 angstrom.\n", p.resH);
    }
    if (p.resL < 6.0f) {
        std::printf("Waring: Invalid resL %.2f! Exit now. Make sure you are using the right value, typically "
                    "500~50 angstrom, and must be larger than 15. Set as default 50.0 angstrom.\n", p.resL);
        p.resL = 50.0f;
    } else if (p.resL <= 12.0f) {
        std::printf("Waring: too small resL %.2f! Program will still run, but make sure you are using the right "
                    "value, typically 500~50 angstrom, and usually larger than 10.0 angstrom.\n", p.resL);
    }
    if (p.boxsize > 2048) {
        std::printf("Waring: too large  --boxsize %d! Make sure you are using the right value, typically 512 or "
                    "1024, can't be larger than 2048(2048 still fine). Set it as default 1024. \n", p.boxsize);
        p.boxsize = 1024;
    }
    if (p.boxsize < 128) {
        std::printf("Waring: too small  --boxsize %d! Make sure you are using the right value, typically 512 or "
                    "1024, can't be smaller than 128(128 still fine). Set it as default 1024. \n", p.boxsize);
        p.boxsize = 1024;
    }
    derive_background_boxes(p);
    if (p.overlap > 0.9f) {
        std::printf("Waring: too large --overlap %.2f! Make sure you are using the right value, range 0.0~0.9, "
                    "best. Set it as 0.9. \n", p.overlap);
        p.overlap = 0.9f;
    }
    if (p.overlap < 0.0f) {
        std::printf("Waring: too small --overlap %.2f! Make sure you are using the right value, typically 0.0~0.9. "
                    "Set it as 0.0. \n", p.overlap);
        p.overlap = 0.0f;
    }
    // Overlaps outside [0, 1) (or unreadable) give no tile step and an endless grid.
    if (!(p.overlap >= 0.0f && p.overlap < 1.0f)) {
        std::printf("Warning: invalid --overlap %.2f! Make sure you are using the right value, range 0.0~0.9. Set "
                    "it as default 0.5.\n", p.overlap);
        p.overlap = 0.5f;
    }
    if (!(p.local_overlap >= 0.0f && p.local_overlap < 1.0f)) {
        std::printf("Warning: invalid --local_overlap %.2f! Make sure you are using the right value, range 0.0~0.9. "
                    "Set it as default 0.5.\n", p.local_overlap);
        p.local_overlap = 0.5f;
    }
    if (p.convsize > p.boxsize / 2) {
        std::printf("Waring: too large --convsize %d! Make sure you are using the right value, typically 15 - 150. "
                    "Set it as default boxsize/12 . \n", p.convsize);
        p.convsize = p.boxsize / 12;
    }
    if (p.convs_out > p.boxsize / 2) {
        std::printf("Waring: too large --convs_out %d! Make sure you are using the right value, typically 15 - 150. "
                    "Set it as default boxsize/5 . \n", p.convs_out);
        p.convs_out = p.boxsize / 5;
    }
    if (p.B_resH < 2.0f * p.apix) p.B_resH = 2.0f * p.apix;
    if (p.res_lim_cc >= 1.0f || p.res_lim_cc <= -1.0f) {
        std::printf("Waring: invalid --res_lim_cc %f! Suggested value should be around 0 or slightly above 0; Make "
                    "sure you are using the right value: -1.0 to 1.0! Forced to be 0.0.\n", p.res_lim_cc);
        p.res_lim_cc = 0.0f;
    }
    if (p.res_lim_L >= 100.0f || p.res_lim_L <= 2.0f * p.apix) {
        std::printf("Waring: invalid --res_lim_L %f! Suggested value should be around 50~15 and bigger than "
                    "2*pixel_size;Make sure you are using the right value! Forced to be 20.0.\n", p.res_lim_L);
        p.res_lim_L = 20.0f;
    }
    p.phase_shift_L = wrap_phase(p.phase_shift_L);
    p.phase_shift_H = wrap_phase(p.phase_shift_H);
    if (p.phase_shift_L > p.phase_shift_H) std::swap(p.phase_shift_L, p.phase_shift_H);
    if (p.phase_shift_S >= p.phase_shift_H - p.phase_shift_L)
        std::printf("Waring: too large  phase shift search step: --phase_shift_S %f! Make sure you are using the "
                    "right value, typically 3-15. \n", p.phase_shift_S);
    // The phase search steps by phase_shift_S: a step that is not positive never ends it.
    if (p.phase_plate && !(p.phase_shift_S > 0.0f)) {
        std::printf("Warning: invalid --phase_shift_S %f! The phase shift search needs a positive step. Set it as "
                    "default 3.0.\n", p.phase_shift_S);
        p.phase_shift_S = 3.0f;
    }
    if (p.phase_shift_T != 1 && p.phase_shift_T != 2) {
        std::printf("Waring: invalid --phase_shift_T %d! Make sure you are using the right value: 1 or 2. Forced to "
                    "set --phase_shift_T  1\n", p.phase_shift_T);
        p.phase_shift_T = 1;
    }
    if (p.mdef_fit == 1 && p.mdef_ave_type == 0)
        std::printf("Linear fitting for movie CTF is only allowed for coherent averaging (--mdef_ave_type 1).\n");
    // Any other combination of frames would leave the spectrum of a stack empty.
    if (p.mdef_ave_type < 0 || p.mdef_ave_type > 2) {
        std::printf("Warning: invalid --mdef_ave_type %d! Make sure you are using the right value: 0, 1 or 2. Set "
                    "it as default 0.\n", p.mdef_ave_type);
        p.mdef_ave_type = 0;
    }
    if (p.skip_check_gpu) check_and_set_gid(p.gid);
    return 0;
}

// ================= box sizes against the first micrograph =================

int VORN_A::vorn_check_boxsizes() {
    VORN_Para& p = *para;
    const int m = std::min(head_first->nx, head_first->ny);
    const int asked = p.boxsize;
    if (m < p.boxsize) {
        p.boxsize = m;
        p.convsize = m / 12;
    }
    if (p.local_radius > (float)m) p.local_radius = (float)m;
    if (m < p.local_boxsize) p.local_boxsize = m;
    // The spectrum layouts exist for even boxes only.
    p.boxsize &= ~1;
    p.local_boxsize &= ~1;
    if (m < asked && p.boxsize >= VORN_MIN_BOXSIZE)
        VORN_WARNING("the spectrum box of %d pixels does not fit in the first micrograph %s of %d x %d pixels; the "
                     "box is shrunk to %d pixels for the whole run.\n\033[m",
                     asked, p.first_mic, head_first->nx, head_first->ny, p.boxsize);
    if (p.boxsize < VORN_MIN_BOXSIZE)
        VORN_FATAL("micrograph %s of %d x %d pixels is too small: the power spectrum needs a box of at least %d "
                   "pixels",
                   p.first_mic, head_first->nx, head_first->ny, VORN_MIN_BOXSIZE);
    if (p.do_local_refine && p.local_boxtype == VORN_LOCAL_AUTOGRID)
        refuse_autogrid_without_step(p, head_first->nx, head_first->ny);
    return 0;
}

int VORN_A::vorn_log_warning(const char* format, float value) {
    if (log_file == nullptr) return 0;
    std::fprintf(log_file, format, value);
    return 0;
}

// ================= echo of the command line =================

int VORN_A::vorn_put_parameters(int argc, char** argv) {
    const VORN_Para& p = *para;
    vorn_put_rule('*', 99);
    std::printf("User input parameters:\n");
    for (int i = 1; i < argc; ++i) {
        const OptionSpec* o = find_option(argv[i]);
        if (o == nullptr) continue;  // a micrograph
        const char* k = o->keyword;
        if (o->kind == OptKind::OnOff) {
            if (onoff_value_follows(argc, argv, i)) ++i;
            if (o->echoed) std::printf("        --%-19s%d\n", k, p.*(o->i));
            continue;
        }
        if (i + 1 >= argc) break;
        const char* value = argv[++i];
        if (!o->echoed) continue;
        switch (o->kind) {
            case OptKind::Float:
                std::printf(o->f == &P::apix ? "        --%-19s%.3f\n" : "        --%-19s%.2f\n", k,
                            std::strtod(value, nullptr));
                break;
            case OptKind::Int:
            case OptKind::IntDecimal:
                if (o->i == &P::defA_seeds)
                    std::printf("        --defA_seeds        %d\n", (int)std::strtol(value, nullptr, 10));
                else
                    std::printf("        --%-19s%d\n", k, (int)std::strtol(value, nullptr, 10));
                break;
            default: std::printf("        --%-19s%s\n", k, value); break;
        }
    }
    std::printf("\nAll parameters to be used:\n");
    vorn_put_parameter_groups(stdout, false);
    std::printf("\nAll %d files to be searched and refined:\n", p.cmd_count);
    for (int k = 0; k < p.cmd_count; ++k) std::printf("        %s\n", p.mic_names[k]);
    if (p.star_count != 0) {
        std::printf("All %d files to be refined:\n", p.star_count);
        for (int k = p.cmd_count; k < p.mic_count; ++k) std::printf("        %s\n", p.mic_names[k]);
    }
    return 0;
}
