// What the picker's front end prints: the echo of the parameters in force, the
// list of valid options, the banner, the help texts and the tips.
#define VORN_UNIT "src/morvandel56"
#include "morvandel56.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "str_utils.h"

const char* const tessoranth_version = "v0.56";
const char* const tessoranth_updated_date = "2017-07-30";

const char* const TESSORANTH_OPTIONS[38] = {
    "apixM", "T", "diameter", "ang_step", "speed", "boxsize", "min_dist", "cc_cutoff", "lsigma_cutoff", "lave_max",
    "lave_min", "lcutoff_D", "lp", "hp", "dont_invertT", "per_lp", "pre_hp", "do_pre_filter", "do_ctf",
    "do_local_ctf", "kv", "cs", "ac", "write_ccmax_mic", "write_pf_mic", "write_bg_mic", "write_bgfree_mic",
    "write_lsigma_mic", "write_mic_mask", "extract_raw", "extract_pf", "write_rejected_box", "write_star",
    "exclusive_picking", "excluded_suffix", "mask_excluded", "global_excluded_box", "gid"};

const char* const TESSORANTH_ALL_TIPS[9] = {
    "\033[1m Tips\033[m: run the picker from the directory that holds the micrographs (or its parent) and give the "
    "micrographs relative to it, so that the coordinate files land beside them with names other programs find.",
    "\033[1m Tips\033[m: picking works best on micrographs whose CTF has been corrected (phase flipped); strong "
    "defocus fringes around particles lower the correlation with the template.",
    "\033[1m Tips\033[m: the picker expects black particles and white templates and inverts the templates by "
    "default; give --dont_invertT when your templates already have the particles' contrast. The automatic "
    "template is always white.",
    "\033[1m Tips\033[m: --speed sets the shrink factor (0..4: 1, 2, 4, 6, 8). Use 0 or 1 for small particles "
    "(below about 150 A), 2 for most, 3 or 4 for large particles such as viruses.",
    "\033[1m Tips\033[m: --lsigma_cutoff rejects areas whose local standard deviation is high (ice crystals, "
    "contamination, carbon edges); lower it to reject more, raise it when good areas are lost.",
    "\033[1m Tips\033[m: --lp and --hp band-pass the micrograph before the correlation; --do_pre_filter with "
    "--pre_lp and --pre_hp filters it before the ice detection.",
    "\033[1m Tips\033[m: --exclusive_picking with --excluded_suffix drops picks near the coordinates of a file per "
    "micrograph: to pick around known particles, to pick a second kind of particle, to avoid areas picked "
    "before, or with --global_excluded_box to leave one set of boxes out of every micrograph.",
    "\\033[1m Tips\\033[m: with --T_norm_type 2 or 3 the templates are masked by a disc; a larger --m_edge_ratio "
    "softens its edge.",
    ""};

namespace {

using P = Tessoranth_Para;
using FloatField = float P::*;
using IntField = int P::*;
using TextField = char* P::*;

void put_rule(char c, int n, FILE* f = stdout) {
    for (int k = 0; k < n; ++k) std::fputc(c, f);
    std::fputc('\n', f);
}

// One value of the record with its print format: 's' text, '3' "%.3f", '2' "%.2f", 'd' integer.
struct Field {
    const char* label;
    char fmt;
    FloatField f;
    IntField i;
    TextField s;
};
constexpr Field F3(const char* l, FloatField m) { return {l, '3', m, nullptr, nullptr}; }
constexpr Field F2(const char* l, FloatField m) { return {l, '2', m, nullptr, nullptr}; }
constexpr Field D(const char* l, IntField m) { return {l, 'd', nullptr, m, nullptr}; }
constexpr Field S(const char* l, TextField m) { return {l, 's', nullptr, nullptr, m}; }

void put_value(FILE* f, char fmt, double v) {
    if (fmt == '3') std::fprintf(f, "%.3f", v);
    else if (fmt == '2') std::fprintf(f, "%.2f", v);
    else std::fprintf(f, "%d", (int)v);
}

void put_record_value(FILE* f, const Field& x, const P& p) {
    if (x.s) std::fprintf(f, "%s", p.*(x.s));
    else put_value(f, x.fmt, x.f ? (double)(p.*(x.f)) : (double)(p.*(x.i)));
}

// The value as the user typed it, converted by the field's format.
void put_word_value(FILE* f, char fmt, const char* word) {
    if (fmt == 's') std::fprintf(f, "%s", word);
    else if (fmt == 'd') std::fprintf(f, "%d", (int)std::strtol(word, nullptr, 10));
    else put_value(f, fmt, (double)(float)std::strtod(word, nullptr));
}

// "       --<label>" padded so that the value starts at a fixed column.
void put_label(FILE* f, const char* label, int pad) { std::fprintf(f, "       --%-*s", pad, label); }

struct Echoed {
    const char* keyword;
    Field field;
    bool by_word;  // shows the following word (and skips it), not the record's value
    int pad;
};
constexpr Echoed word(const char* k, Field x) { return {k, x, true, 19}; }
constexpr Echoed rec(const char* k, Field x, int pad = 19) { return {k, x, false, pad}; }

const Echoed kUserEcho[] = {
    word("T", S("T", &P::T)), word("apixM", F3("apixM", &P::apixM)), word("diameter", F2("diameter", &P::diameter)),
    word("apixT", F3("apixT", &P::apixT)), word("ang_step", F2("ang_step", &P::ang_step)),
    word("speed", D("speed", &P::speed)), word("boxsize", D("boxsize", &P::boxsize)),
    word("min_dist", F2("min_dist", &P::min_dist)), word("cc_cutoff", F3("cc_cutoff", &P::cc_cutoff)),
    word("lsigma_cutoff", F3("lsigma_cutoff", &P::lsigma_cutoff)), word("lsigma_D", F3("lsigma_D", &P::lsigma_D)),
    word("lave_min", F3("lave_min", &P::lave_min)), word("lave_max", F3("lave_max", &P::lave_max)),
    word("lave_D", F3("lave_D", &P::lave_D)), word("kV", F2("kV", &P::kv)), word("cs", F2("cs", &P::cs)),
    word("ac", F2("ac", &P::ac)), word("gid", D("gid", &P::gid)),
    rec("lp", F3("lp", &P::lp)), rec("hp", F3("hp", &P::hp)), rec("pre_lp", F3("pre_lp", &P::pre_lp)),
    rec("pre_hp", F3("pre_hp", &P::pre_hp)), rec("m_edge_ratio", F3("m_edge_ratio", &P::m_edge_ratio), 18),
    rec("excluded_suffix", S("excluded_suffix", &P::excluded_suffix)),
    rec("global_excluded_box", S("global_excluded_box", &P::global_excluded_box), 23),
    rec("update_T", D("update_T", &P::update_T)), rec("dont_invertT", D("dont_invertT", &P::dont_invertT)),
    rec("do_pre_filter", D("do_pre_filter", &P::do_pre_filter)), rec("detect_ice", D("detect_ice", &P::detect_ice)),
    rec("T_norm_type", D("T_norm_type", &P::T_norm_type)), rec("do_bandpass", D("do_bandpass", &P::do_bandpass)),
    rec("do_ctf", D("do_ctf", &P::do_ctf)), rec("do_local_ctf", D("local_ctf", &P::do_local_ctf)),
    rec("write_ccmax_z", D("write_ccmax_z", &P::write_ccmax_z)),
    rec("write_ccmax_mic", D("write_ccmax_mic", &P::write_ccmax_mic)),
    rec("write_pf_mic", D("write_pf_mic", &P::write_pf_mic)),
    rec("write_pref_mic", D("write_pref_mic", &P::write_pref_mic)),
    rec("write_normed_T", D("write_normed_T", &P::write_normed_T)),
    rec("write_bg_mic", D("write_bg_mic", &P::write_bg_mic)),
    rec("write_bgfree_mic", D("write_bgfree_mic", &P::write_bgfree_mic)),
    rec("write_lsigma_mic", D("write_lsigma_mic", &P::write_lsigma_mic)),
    rec("write_mic_mask", D("write_mic_mask", &P::write_mic_mask)),
    rec("write_rejected_box", D("write_rejected_box", &P::write_rejected_box)),
    rec("exclusive_picking", D("exclusive_picking", &P::exclusive_picking)),
    rec("mask_excluded", D("mask_excluded", &P::mask_excluded)), rec("write_star", D("write_star", &P::write_star)),
    rec("do_unfinished", D("do_unfinished", &P::do_unfinished)),
    rec("extract_raw", D("extract_raw", &P::extract_raw)), rec("extract_pf", D("extract_pf", &P::extract_pf)),
};

struct Group {
    const char* head;
    const Field* fields;
    int n;
};
const Field kBasic[] = {S("T", &P::T), F3("apixM", &P::apixM), F2("diameter", &P::diameter), F3("apixT", &P::apixT)};
const Field kAdditional[] = {
    F2("ang_step", &P::ang_step), D("speed", &P::speed), D("boxsize", &P::boxsize), F2("min_dist", &P::min_dist),
    F3("cc_cutoff", &P::cc_cutoff), F3("lsigma_cutoff", &P::lsigma_cutoff), F3("lsigma_D", &P::lsigma_D),
    F3("lave_min", &P::lave_min), F3("lave_max", &P::lave_max), F3("lave_D", &P::lave_D),
    D("dont_invertT", &P::dont_invertT), F2("lp", &P::lp), F2("hp", &P::hp), D("do_pre_filter", &P::do_pre_filter),
    F2("pre_lp", &P::pre_lp), F2("pre_hp", &P::pre_hp), D("detect_ice", &P::detect_ice),
    D("T_norm_type", &P::T_norm_type), D("do_bandpass", &P::do_bandpass)};
const Field kCtf[] = {D("do_ctf", &P::do_ctf), D("do_local_ctf", &P::do_local_ctf), F2("kV", &P::kv),
                      F2("cs", &P::cs), F2("ac", &P::ac)};
const Field kIo[] = {
    D("write_ccmax_mic", &P::write_ccmax_mic), D("write_pf_mic", &P::write_pf_mic),
    D("write_pref_mic", &P::write_pref_mic), D("write_bg_mic", &P::write_bg_mic),
    D("write_bgfree_mic", &P::write_bgfree_mic), D("write_lsigma_mic", &P::write_lsigma_mic),
    D("write_mic_mask", &P::write_mic_mask), D("write_star", &P::write_star), D("do_unfinished", &P::do_unfinished),
    D("write_rejected_box", &P::write_rejected_box), D("exclusive_picking", &P::exclusive_picking),
    S("excluded_suffix", &P::excluded_suffix), D("mask_excluded", &P::mask_excluded),
    S("global_excluded_box", &P::global_excluded_box), D("extract_raw", &P::extract_raw),
    D("extract_pf", &P::extract_pf), D("gid", &P::gid)};
#define GROUP(head, a) Group{head, a, (int)(sizeof(a) / sizeof(a[0]))}
const Group kGroups[] = {GROUP("Basic options:  \n", kBasic), GROUP("Additional options:  \n", kAdditional),
                         GROUP("CTF options: \n", kCtf), GROUP("I/O options:  \n", kIo)};
#undef GROUP

const Echoed* find_echoed(const char* w) {
    for (const Echoed& e : kUserEcho)
        if (keywd_cmp(w, e.keyword)) return &e;
    return nullptr;
}

// ---- help ----

struct HelpLine {
    const char* name;
    const char* shown;  // the default shown, blank for on/off options
    const char* text;
};
const HelpLine kHelpBasic[] = {
    {"apixM", "1.34", "Pixel size of the micrographs (A)"},
    {"diameter", "400", "Particle diameter (A)"},
    {"T", "NONE", "Template stack (MRC, one template per slice); none: an automatic disc"},
    {"apixT", "1.34", "Pixel size of the templates (A); that of the micrographs unless given"},
    {"ang_step", "5", "In-plane angle step of the template search (degrees)"},
    {"speed", "2", "Speed level 0..4: shrink the micrographs by 1, 2, 4, 6 or 8"},
    {"boxsize", "128", "Box side of the picks in micrograph pixels; 1.33*diameter unless given"},
    {"min_dist", "300", "Smallest distance between two picks (A); 0.8*diameter unless given"},
    {"cc_cutoff", "0.1", "Smallest normalised correlation of a pick"},
};
const HelpLine kHelpAdditional[] = {
    {"lsigma_D", "200", "Diameter of the local-sigma window (A)"},
    {"lsigma_cutoff", "1.3", "Areas whose local sigma is above this are rejected (ice, contamination)"},
    {"lave_D", "400", "Diameter of the local-average window (A)"},
    {"lave_max", "2.0", "Areas whose local average is above this are rejected"},
    {"lave_min", "-1.0", "Areas whose local average is below this are rejected"},
    {"lp", "30", "Low-pass resolution of the micrograph before picking (A)"},
    {"hp", "1000", "High-pass resolution of the micrograph before picking (A)"},
    {"pre_lp", "8.0", "Low-pass resolution before the ice detection (A)"},
    {"pre_hp", "1000", "High-pass resolution before the ice detection (A)"},
    {"do_pre_filter", "", "Filter the micrographs before the ice detection"},
    {"detect_ice", "1", "Detect and reject ice and contamination"},
    {"dont_invertT", "", "Keep the contrast of the templates (they are inverted by default)"},
    {"T_norm_type", "1", "Template normalisation: 0 none, 1 mean, 2 disc, 3 soft-disc z-score"},
    {"m_edge_ratio", "0.1", "Soft-edge fraction of the template masks"},
    {"do_bandpass", "1", "Band-pass filter the micrographs"},
    {"exclusive_picking", "", "Drop picks near the coordinates of --excluded_suffix files"},
    {"excluded_suffix", "", "Suffix of the per-micrograph files of excluded coordinates"},
    {"mask_excluded", "", "Mask the excluded coordinates out of every step"},
    {"global_excluded_box", "NONE", "One box or STAR file excluded from every micrograph"},
};
const HelpLine kHelpCtf[] = {
    {"do_ctf", "", "Determine and correct the CTF of each micrograph"},
    {"do_local_ctf", "", "Determine and correct the CTF of each particle"},
    {"kV", "300", "Acceleration voltage (kV)"},
    {"cs", "2.7", "Spherical aberration (mm)"},
    {"ac", "0.1", "Amplitude contrast"},
};
const HelpLine kHelpIo[] = {
    {"write_ccmax_mic", "", "Write the correlation maps"},
    {"write_pf_mic", "", "Write the phase-flipped micrographs"},
    {"write_bg_mic", "", "Write the local-average maps (_bg.mrc)"},
    {"write_bgfree_mic", "", "Write the background-subtracted micrographs"},
    {"write_lsigma_mic", "", "Write the local-sigma maps (_lsigma.mrc)"},
    {"write_mic_mask", "", "Write the masks of the rejected areas"},
    {"write_rejected_box", "", "Write the rejected areas (_rejected.box and _rejected.star)"},
    {"write_star", "", "Write the picks as STAR files"},
    {"extract_raw", "", "Extract the particles from the raw micrographs"},
    {"extract_pf", "", "Extract the particles from the phase-flipped micrographs"},
    {"do_unfinished", "", "Pick only the micrographs not yet finished"},
    {"gid", "0", "GPU index"},
};
// The short help: its last line stands apart, after "--help or -h".
const HelpLine kHelpShort[] = {
    {"T", "NONE", "Template stack; none: an automatic disc"},
    {"diameter", "400", "Particle diameter (A)"},
    {"apixM", "1.34", "Pixel size of the micrographs (A)"},
    {"ang_step", "5", "In-plane angle step (degrees)"},
    {"shrink", "4", "Shrink factor of the micrographs"},
    {"boxsize", "128", "Box side of the picks in micrograph pixels"},
    {"min_dist", "300", "Smallest distance between two picks (A)"},
    {"cc_cutoff", "0.1", "Smallest normalised correlation of a pick"},
};

// "      --name" padded to 29 columns, the display default to 14, the description.
void help_line(const HelpLine& h) {
    char option[VORN_NAME_LEN];
    std::snprintf(option, sizeof option, "--%s", h.name);
    std::printf("      %-23s%-14s%s\n", option, h.shown, h.text);
}
template <size_t N>
void help_lines(const char* head, const HelpLine (&lines)[N]) {
    std::printf("%s", head);
    for (const HelpLine& h : lines) help_line(h);
}

void put_usage(const char* name) {
    std::printf("Usage:\n");
    std::printf("         %s [options] <micrographs>  \n\n", name);
}

void put_examples(const char* name, int n) {
    static const char* const kExamples[] = {
        "--apixM 1.34 --diameter 400 *.mrc",
        "--T templates.mrcs --apixT 2.68 --apixM 1.34 --diameter 180 --ang_step 5 Micrographs/*.mrc",
        "--diameter 300 --speed 1 --cc_cutoff 0.2 --min_dist 250 Micrographs/*.mrc",
        "--T templates.mrcs --exclusive_picking --excluded_suffix _manual.star Micrographs/*.mrc",
        "--diameter 800 --speed 4 --lsigma_cutoff 1.1 --write_rejected_box 1 Micrographs/*.mrc",
    };
    std::printf("Examples:\n");
    for (int k = 0; k < n; ++k) std::printf("   %s %s\n", name, kExamples[k]);
    std::printf("\n");
}

}  // namespace

int tessoranth_fput_parameters(int argc, char** argv, const Tessoranth_Para& para, FILE* stream) {
    put_rule('*', 99, stream);
    std::fprintf(stream, "User input parameters:\n");
    for (int i = 1; i < argc; ++i) {
        const Echoed* e = find_echoed(argv[i]);
        if (e == nullptr) continue;
        put_label(stream, e->field.label, e->pad);
        if (e->by_word) {
            if (i + 1 < argc) put_word_value(stream, e->field.fmt, argv[++i]);
        } else {
            put_record_value(stream, e->field, para);
        }
        std::fputc('\n', stream);
    }
    std::fprintf(stream, "\nAll parameters to be used:\n");
    for (const Group& g : kGroups) {
        std::fprintf(stream, "%s", g.head);
        for (int k = 0; k < g.n; ++k) {
            put_label(stream, g.fields[k].label, 21);
            put_record_value(stream, g.fields[k], para);
            std::fputc('\n', stream);
        }
    }
    std::fprintf(stream, "\n\nAll %d files to be used:\n", para.nfiles);
    for (int k = 0; k < para.nfiles; ++k) std::fprintf(stream, "        %s\n", para.files[k]);
    return 0;
}

void tessoranth_print_valid_options() {
    put_rule('-', 130);
    std::printf("All valid options:\n");
    for (const char* name : TESSORANTH_OPTIONS) std::printf("--%s\t ", name);
    std::printf("\n");
    put_rule('-', 128);
}

void tessoranth_put_all_tips() {
    put_rule('-', 127);
    for (const char* tip : TESSORANTH_ALL_TIPS) std::printf("%s\n", tip);
    put_rule('-', 127);
}

void tessoranth_put_one_random_tip() {
    srand((unsigned)time(nullptr));
    const int k = rand() % 9;
    put_rule('-', 127);
    std::printf("%s", TESSORANTH_ALL_TIPS[k]);
    put_rule('-', 127);
}

void tessoranth_put_info(const char* name) {
    put_rule('*', 99);
    std::printf("Version:       %s %s, updated on %s\n", name, tessoranth_version, tessoranth_updated_date);
    std::printf("Description:   This is a GPU accelerated program for fully automatic particle picking.\n");
    std::printf("Note:          Still under development, to be released soon ...\n");
    put_rule('*', 99);
}

void tessoranth_virus_help_full(const char* name) { tessoranth_put_info(name); }

void tessoranth_help(const char* name) {
    tessoranth_put_info(name);
    put_usage(name);
    std::printf("Options:\n");
    help_lines("Basic options:    default values,    description:  \n", kHelpBasic);
    help_lines("\nAdditional options(not suggested, only try to optimize in difficult cases), default values and "
               "description:  \n",
               kHelpAdditional);
    help_lines("\nCTF options(not effective in this verion): \n", kHelpCtf);
    help_lines("\nI/O options:  \n", kHelpIo);
    std::printf("\n");
    put_examples(name, 5);
    std::printf("      --help                         Print full help document\n");
}

void tessoranth_help_full(const char* name) {
    tessoranth_help(name);
    tessoranth_put_all_tips();
}

void tessoranth_virus_help(const char* name) {
    tessoranth_put_info(name);
    put_usage(name);
    put_examples(name, 3);
    help_lines("Options:\n", kHelpShort);
    std::printf("      %-37s%s\n", "--help or -h", "Print this help");
    help_line(HelpLine{"gid", "0", "GPU index"});
    std::printf("\nNote: particles must be black in the micrographs and user templates white.\n");
}

void tessoranth_help_exit(const char* name, const char* reason) {
    tessoranth_help(name);
    std::printf("\n\033[41m%s\033[m\n", reason);
    std::fflush(stdout);
    std::exit(1);
}
