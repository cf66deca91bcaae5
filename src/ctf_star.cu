// What the estimator writes for other programs to read: the head of each
// micrograph's log (the option echo and a parameter block in the CTFFIND3 log
// layout) and the CTF STAR summary of the run. The readers of an input CTF STAR
// file are in src/ctf_star_input.cu.
#define VORN_UNIT "src/ctf"
#include "ctf.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "str_utils.h"

// ================= log head =================

int VORN_A::vorn_fput_parameters_ctffind3_like() {
    if (log_file == nullptr) return 0;
    const VORN_Para& p = *para;
    FILE* f = log_file;
    vorn_fput_parameters();
    std::fprintf(f, "********************************  parameter format for RELION: "
                    "*********************************************\n\n");
    std::fprintf(f, " CS[mm], HT[kV], AmpCnst, XMAG, DStep[um]\n");
    std::fprintf(f, "  %.1f    %.1f    %.2f  %.1f   %.3f\n\n", p.cs, p.kV, p.ac, 10000.0f * p.dstep / p.apix, p.dstep);
    std::fprintf(f, " Positive defocus values for underfocus\n");
    std::fprintf(f, " Box, ResMin[A], ResMax[A], dFMin[A], dFMax[A], FStep[A], dAst[A]\n");
    std::fprintf(f, " %d       %.1f        %.1f   10000.0   70000.0  500.0    0.0\n", p.boxsize, p.resL, p.resH);
    std::fprintf(f, "********************************* end of parameter format for RELION: "
                    "*************************************\n\n");
    return 0;
}

// ================= CTF STAR summary =================

const char* ctf_star_word_fault(const char* word) {
    if (word == nullptr || word[0] == '\0') return "it is empty";
    for (const char* c = word; *c != '\0'; ++c) {
        if (*c == ' ' || *c == '\t') return "it holds a blank or a tab";
        if ((unsigned char)*c < 0x20 || *c == 0x7f) return "it holds a control character";
    }
    if (std::strchr("_#'\";$", word[0]) != nullptr) return "it begins with a character STAR reads as a mark";
    for (const char* key : {"data_", "loop_", "save_", "global_", "stop_"})
        if (std::strncmp(word, key, std::strlen(key)) == 0) return "it begins with a STAR keyword";
    return nullptr;
}

int log_ctfstar_head(FILE* f) {
    static const char* const labels[] = {"_rlnMicrographName",    "_rlnCtfImage",          "_rlnDefocusU",
                                         "_rlnDefocusV",          "_rlnDefocusAngle",      "_rlnVoltage",
                                         "_rlnSphericalAberration", "_rlnAmplitudeContrast", "_rlnMagnification",
                                         "_rlnDetectorPixelSize", "_rlnCtfFigureOfMerit"};
    std::fprintf(f, "\ndata_\n");
    std::fprintf(f, "\nloop_\n");
    for (int k = 0; k < 11; ++k) std::fprintf(f, "%s #%d\n", labels[k], k + 1);
    return 0;
}

int log_ctfstar_ex_head(FILE* f) {
    log_ctfstar_head(f);
    std::fprintf(f, "_rlnFinalResolution #12\n");
    return 0;
}

int log_ctfstar_ex_head_phase_shift(FILE* f) {
    log_ctfstar_head(f);
    std::fprintf(f, "_rlnCtfMaxResolution #12\n");
    std::fprintf(f, "_rlnPhaseShift #13\n");
    return 0;
}

int log_ctfstar_ex_oneline(FILE* f, const char* mic, const char* ctf, float U, float V, float A, float kV, float cs,
                           float ac, float mag, float dstep, float fom, float res) {
    std::fprintf(f, "%s %s:mrc %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f\n", mic, ctf, U, V,
                 A, kV, cs, ac, mag, dstep, fom, res);
    return 0;
}

int log_ctfstar_ex_oneline_phase_shift(FILE* f, const char* mic, const char* ctf, float U, float V, float A, float ps,
                                       float kV, float cs, float ac, float mag, float dstep, float fom, float res) {
    std::fprintf(f, "%s %s:mrc %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f\n", mic,
                 ctf, U, V, A, kV, cs, ac, mag, dstep, fom, res, ps);
    return 0;
}

namespace {

// The summary's header of a run with or without phase shift.
std::string summary_header(bool phase) {
    char* text = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&text, &size);
    if (f == nullptr) VORN_FATAL("no memory for a summary header");
    if (phase)
        log_ctfstar_ex_head_phase_shift(f);
    else
        log_ctfstar_ex_head(f);
    std::fclose(f);
    std::string head(text, size);
    std::free(text);
    return head;
}

bool read_whole_file(const char* name, std::string& text) {
    FILE* f = std::fopen(name, "rb");
    if (f == nullptr) return false;
    text.clear();
    char buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

std::vector<std::string> whitespace_words(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = line.find_first_not_of(" \t\r", at)) != std::string::npos) {
        const size_t end = line.find_first_of(" \t\r", at);
        words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end;
    }
    return words;
}

// A line of a summary: its 1-based number, its first word (the micrograph
// name of a row), its text and its word count.
struct SummaryLine {
    long number;
    std::string name, text;
    size_t words;
};

// A row belongs to a micrograph by the file its name denotes, however either is spelt.
std::string row_file(const SummaryLine& row) { return mrcf_file_id(row.name.c_str()); }

// The files the micrographs of this run's list denote.
std::set<std::string> listed_files(const VORN_Para& p) {
    std::set<std::string> files;
    for (int k = 0; k < p.mic_count; ++k) files.insert(mrcf_file_id(p.mic_names[k]));
    return files;
}

// The rows of a summary of this program in file order, and the lines that are
// neither header nor row (a row cut short by a killed run, say); row_words is
// 12 without and 13 with phase shift, 0 when the text is no such summary (its
// header decides).
struct SummaryRows {
    int row_words = 0;
    std::vector<SummaryLine> rows, malformed;
};

bool is_summary_head_word(const std::string& word) {
    return word[0] == '_' || word[0] == '#' || word.rfind("data_", 0) == 0 || word.rfind("loop_", 0) == 0;
}

SummaryRows summary_rows(const std::string& text) {
    SummaryRows s;
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    bool named = false;
    for (const std::string& line : lines) {
        const std::vector<std::string> w = whitespace_words(line);
        if (w.size() != 2) continue;
        if (w[0] == "_rlnMicrographName" && w[1] == "#1") named = true;
        if (w[0] == "_rlnFinalResolution" && w[1] == "#12") s.row_words = 12;
        if (w[0] == "_rlnPhaseShift" && w[1] == "#13") s.row_words = 13;
    }
    if (!named) s.row_words = 0;
    if (s.row_words == 0) return s;
    for (size_t k = 0; k < lines.size(); ++k) {
        const std::vector<std::string> w = whitespace_words(lines[k]);
        const SummaryLine line{(long)k + 1, w.empty() ? "" : w[0], lines[k], w.size()};
        // A row cut short by a killed run has fewer words: it is no row.
        if ((int)w.size() == s.row_words && w[0][0] != '_' && w[0][0] != '#')
            s.rows.push_back(line);
        else if (!w.empty() && !is_summary_head_word(w[0]))
            s.malformed.push_back(line);
    }
    return s;
}

// The first value of a row that is not a finite number ("nan"), or "".
std::string row_value_not_a_number(const SummaryLine& row) {
    const std::vector<std::string> w = whitespace_words(row.text);
    double v;
    for (size_t k = 2; k < w.size(); ++k)
        if (!parse_whole_double(w[k].c_str(), v)) return w[k];
    return "";
}

// The rows of micrographs that are not in this run's list are kept as they
// are, and lines that are no whole row are dropped when the summary is put in
// order; no run of this list writes either anew, so each of them is named.
void warn_foreign_rows(const SummaryRows& s, const VORN_Para& p) {
    const std::set<std::string> listed = listed_files(p);
    for (const SummaryLine& row : s.rows) {
        const std::string bad = listed.count(row_file(row)) ? "" : row_value_not_a_number(row);
        if (!bad.empty())
            VORN_WARNING("line %ld of the summary %s, the row of micrograph %s (not in this run's list), holds the "
                         "value %s, which is not a number; the row is kept as it is.\n\033[m",
                         row.number, p.ctfstar, row.name.c_str(), bad.c_str());
    }
    for (const SummaryLine& line : s.malformed)
        if (listed.count(row_file(line)) == 0)
            VORN_WARNING("line %ld of the summary %s, a row of micrograph %s (not in this run's list), holds %zu "
                         "words where a row holds %d; it is no row and is dropped.\n\033[m",
                         line.number, p.ctfstar, line.name.c_str(), line.words, s.row_words);
}

// The last line holding key in a text file, or "".
std::string last_line_with(const char* name, const char* key) {
    std::string text, found;
    if (!read_whole_file(name, text)) return found;
    const size_t at = text.rfind(key);
    if (at == std::string::npos) return found;
    const size_t start = text.rfind('\n', at);
    const size_t begin = start == std::string::npos ? 0 : start + 1;
    return text.substr(begin, text.find('\n', at) - begin);
}

}  // namespace

// Resumes an existing summary of the same columns: its rows are kept, new ones appended.
static int resume_sumlog(VORN_A& a) {
    const VORN_Para& p = *a.para;
    std::string text;
    if (!read_whole_file(p.ctfstar, text)) return -1;
    const SummaryRows s = summary_rows(text);
    if (s.row_words != (p.phase_plate ? 13 : 12)) {
        VORN_WARNING("the summary %s is not a summary of this run's columns (%s phase shift); it is started anew.\n\033[m",
                     p.ctfstar, p.phase_plate ? "with" : "without");
        return -1;
    }
    a.star_file = std::fopen(p.ctfstar, "a");
    if (a.star_file == nullptr) vorn_cannot_write(__func__, __LINE__, p.ctfstar);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', a.star_file);
    for (const SummaryLine& row : s.rows) a.star_rows_kept.insert(row_file(row));
    std::printf("Resuming the summary %s: %zu rows kept.\n", p.ctfstar, s.rows.size());
    warn_foreign_rows(s, p);
    return 0;
}

int VORN_A::vorn_open_sumlog() {
    const VORN_Para& p = *para;
    if (is_str_null(p.ctfstar)) {
        VORN_WARNING("No output ctfstar file! You may have to extract CTF information from *_vorn.log!\n\033[m");
        return 0;
    }
    star_rows_kept.clear();
    if (p.do_unfinished && access(p.ctfstar, F_OK) == 0 && resume_sumlog(*this) == 0) return 0;
    star_file = std::fopen(p.ctfstar, "w+");
    if (star_file == nullptr) vorn_cannot_write(__func__, __LINE__, p.ctfstar);
    if (p.phase_plate)
        log_ctfstar_ex_head_phase_shift(star_file);
    else
        log_ctfstar_ex_head(star_file);
    std::fflush(star_file);
    return 0;
}

namespace {

// A result that is not a number would break every reader of the summary: it is
// written as 0, with a warning naming the column.
float star_value(float v, const char* label, const char* mic) {
    if (std::isfinite(v)) return v;
    VORN_WARNING("%s of micrograph %s is not a number: written as 0\n\033[m", label, mic);
    return 0.0f;
}

}  // namespace

int VORN_A::vorn_write_star_oneline() {
    if (star_file == nullptr) return 0;
    const VORN_Para& p = *para;
    const float mag = (float)(10000.0 * (double)p.dstep / (double)p.apix);
    const float U = star_value(ref_defU, "_rlnDefocusU", mic_name);
    const float V = star_value(ref_defV, "_rlnDefocusV", mic_name);
    const float A = star_value(ref_defA, "_rlnDefocusAngle", mic_name);
    const float fom = star_value(ref_ccc, "_rlnCtfFigureOfMerit", mic_name);
    const float res = star_value(res_limit, p.phase_plate ? "_rlnCtfMaxResolution" : "_rlnFinalResolution", mic_name);
    if (p.phase_plate)
        log_ctfstar_ex_oneline_phase_shift(star_file, mic_name, ctf_name, U, V, A,
                                           star_value(ref_ps, "_rlnPhaseShift", mic_name), p.kV, p.cs, p.ac, mag,
                                           p.dstep, fom, res);
    else
        log_ctfstar_ex_oneline(star_file, mic_name, ctf_name, U, V, A, p.kV, p.cs, p.ac, mag, p.dstep, fom, res);
    // Every finished row reaches the file, so a run that is killed keeps them.
    if (std::fflush(star_file) != 0 || std::ferror(star_file)) {
        VORN_WARNING("the row of micrograph %s could not be written to the summary %s; it counts as failed.\n\033[m",
                     mic_name, p.ctfstar);
        std::clearerr(star_file);
        return -1;
    }
    star_rows_kept.insert(mrcf_file_id(mic_name));
    return 0;
}

int VORN_A::vorn_keep_star_row_of_done_mic() {
    if (star_file == nullptr || star_rows_kept.count(mrcf_file_id(mic_name)) != 0) return 0;
    // The row is rebuilt from the results the log holds: its last "Final Values"
    // line (U, V, angle, [phase shift,] score) and its resolution limit.
    const std::string fin = last_line_with(log_name, "Final Values");
    const std::string res = last_line_with(log_name, "RES_LIMIT");
    float v[5] = {0, 0, 0, 0, 0};
    const int n = std::sscanf(fin.c_str(), "%f%f%f%f%f", &v[0], &v[1], &v[2], &v[3], &v[4]);
    const char* r = std::strstr(res.c_str(), "RES_LIMIT");
    float limit = 0;
    const int want = para->phase_plate ? 5 : 4;
    if (n != want || r == nullptr || std::sscanf(r + 9, "%f", &limit) != 1) {
        VORN_WARNING("the log %s holds no result for this run's summary; micrograph %s gets no row (remove the log to "
                     "fit it again).\n\033[m",
                     log_name, mic_name);
        return -1;
    }
    ref_defU = v[0], ref_defV = v[1], ref_defA = v[2];
    ref_ps = want == 5 ? v[3] : 0.0f;
    ref_ccc = v[want - 1];
    res_limit = limit;
    return vorn_write_star_oneline();
}

// The row's text with its two names, the micrograph and its ".ctf" image, as
// this run spells the micrograph.
static std::string row_spelt_as(const SummaryLine& row, const char* mic) {
    if (row.name == mic) return row.text;
    const char* blanks = " \t\r";
    const size_t name_end = row.text.find_first_of(blanks, row.text.find_first_not_of(blanks));
    const size_t ctf_end = row.text.find_first_of(blanks, row.text.find_first_not_of(blanks, name_end));
    char ctf[VORN_NAME_LEN];
    mrcf_set_outname_by_suffix(ctf, mic, VORN_CTF_SUFFIX);
    return std::string(mic) + " " + ctf + ":mrc" + (ctf_end == std::string::npos ? "" : row.text.substr(ctf_end));
}

// One row per finished micrograph of the list, in list order and as the list
// spells it, then the rows of micrographs that are not in the list; rows and
// micrographs meet by the file their names denote, and the last row of a file wins.
static int tidy_sumlog(VORN_A& a) {
    const VORN_Para& p = *a.para;
    std::string text;
    if (!read_whole_file(p.ctfstar, text)) return -1;
    const SummaryRows s = summary_rows(text);
    std::map<std::string, SummaryLine> last;
    std::vector<std::string> order;
    for (const SummaryLine& row : s.rows) {
        const std::string file = row_file(row);
        if (last.count(file) == 0) order.push_back(file);
        last[file] = row;
    }
    std::string out = summary_header(p.phase_plate != 0);
    std::set<std::string> written;
    auto put = [&](const std::string& file, const char* mic) {
        const auto row = last.find(file);
        if (row == last.end() || !written.insert(file).second) return;
        out += (mic ? row_spelt_as(row->second, mic) : row->second.text) + "\n";
    };
    for (int k = 0; k < p.mic_count; ++k) {
        const MicOutcome o = a.mic_outcomes[(size_t)k];
        if (o == MicOutcome::Done || o == MicOutcome::AlreadyDone) put(mrcf_file_id(p.mic_names[k]), p.mic_names[k]);
    }
    const std::set<std::string> listed = listed_files(p);
    for (const std::string& file : order)
        if (listed.count(file) == 0) put(file, nullptr);
    if (out == text) return 0;
    // Written whole beside the summary and moved over it, so that no moment leaves it half written.
    const std::string part = vorn_summary_aside_name(p.ctfstar);
    FILE* f = std::fopen(part.c_str(), "w");
    const bool ok = f != nullptr && std::fwrite(out.data(), 1, out.size(), f) == out.size();
    if ((f != nullptr && std::fclose(f) != 0) || !ok || std::rename(part.c_str(), p.ctfstar) != 0) {
        std::remove(part.c_str());
        VORN_WARNING("the summary %s could not be put in list order; its rows stay as written.\n\033[m", p.ctfstar);
        return -1;
    }
    return 0;
}

std::string vorn_summary_aside_name(const char* summary) { return std::string(summary) + ".part"; }

int VORN_A::vorn_close_sumlog() {
    if (star_file == nullptr) return 0;
    std::fclose(star_file);
    star_file = nullptr;
    if (para != nullptr && para->do_unfinished && !mic_outcomes.empty() &&
        (int)mic_outcomes.size() == para->mic_count)
        tidy_sumlog(*this);
    return 0;
}
