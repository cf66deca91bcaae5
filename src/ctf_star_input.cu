// The readers of an input CTF STAR file (--input_ctfstar): the start CTF and
// the micrograph name of each data row. A file from anywhere costs a warning
// per row it cannot give, never the run: rows are whole lines whatever their
// length, and a row whose CTF value is not a number the refinement can start
// from, or whose name does not fit a name buffer, is skipped with a warning
// naming the file and line.
#define VORN_UNIT "src/ctf"
#include "ctf.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "starfile.h"
#include "str_utils.h"
#include "txt_file.h"

CTF_INIT ctf2d_to_ctfinit(CTF_INFO ctf) {
    CTF_INIT init;
    init.valid = (ctf.U != 0.0f && ctf.V != 0.0f) ? 1 : 0;
    init.ctf = ctf;
    return init;
}

namespace {

// Columns of the CTF labels in the rows of one file (0: absent).
struct CtfColumns {
    int name, U, V, A, kV, Cs, AC, B, P;
};

using CtfValue = float CTF_INFO::*;

// A CTF column of a row: its label, its column and where its value goes.
struct CtfField {
    const char* label;
    int col;
    CtfValue field;
};

// The CTF of one row: the defaults, then each column the file has. False,
// after a warning naming the file and line, when a value is not a number that
// is finite in single precision, or a defocus lies beyond VORN_DEFOCUS_MAX.
bool row_ctfinfo(char** words, const CtfColumns& cols, const char* name, long line, CTF_INFO& ctf) {
    ctf = CTF_INFO{300.0f, 2.7f, 0.1f, 0.0f, 20000.0f, 20000.0f, 0.0f, 150.0f};
    // In the order the warnings name them.
    const CtfField fields[] = {{"_rlnDefocusU", cols.U, &CTF_INFO::U},
                               {"_rlnDefocusV", cols.V, &CTF_INFO::V},
                               {"_rlnDefocusAngle", cols.A, &CTF_INFO::A},
                               {"_rlnVoltage", cols.kV, &CTF_INFO::kV},
                               {"_rlnSphericalAberration", cols.Cs, &CTF_INFO::Cs},
                               {"_rlnAmplitudeContrast", cols.AC, &CTF_INFO::AC},
                               {"_rlnBfactor", cols.B, &CTF_INFO::B},
                               {"_rlnPhaseShift", cols.P, &CTF_INFO::P}};
    for (const CtfField& f : fields) {
        if (f.col <= 0) continue;
        const char* word = words[f.col - 1];
        if (!parse_whole_float(word, ctf.*f.field)) {
            VORN_WARNING("line %ld of file %s: %s %s is not a finite single-precision number (skipped): %s\n\033[m",
                         line, name, f.label, word, words[0]);
            return false;
        }
    }
    if (std::fabs(ctf.U) > VORN_DEFOCUS_MAX || std::fabs(ctf.V) > VORN_DEFOCUS_MAX) {
        VORN_WARNING("line %ld of file %s: defocus %g, %g lies beyond %g A (skipped): %s\n\033[m", line, name,
                     (double)ctf.U, (double)ctf.V, (double)VORN_DEFOCUS_MAX, words[0]);
        return false;
    }
    return true;
}

// A row's micrograph name must fit a name buffer whole: a cut name would be another file.
bool name_fits(char** words, const CtfColumns& cols, const char* name, long line) {
    if (cols.name <= 0 || std::strlen(words[cols.name - 1]) < VORN_NAME_LEN) return true;
    VORN_WARNING("line %ld of file %s: the micrograph name of %zu characters does not fit in %zu (skipped)\n\033[m",
                 line, name, std::strlen(words[cols.name - 1]), VORN_NAME_LEN - 1);
    return false;
}

CtfColumns ctf_columns(const char* name, const ParticleInfoIndex& index, int c) {
    auto column = [&](const char* label, int col) {
        return star_checked_column("get_all_ctfinfo_from_ctfstar", name, label, col, c, false);
    };
    return {column("_rlnMicrographName", index.MicrographName), column("_rlnDefocusU", index.DefocusU),
            column("_rlnDefocusV", index.DefocusV),          column("_rlnDefocusAngle", index.DefocusAngle),
            column("_rlnVoltage", index.Voltage),            column("_rlnSphericalAberration", index.SphericalAberration),
            column("_rlnAmplitudeContrast", index.AmplitudeContrast), column("_rlnBfactor", index.Bfactor),
            column("_rlnPhaseShift", index.PhaseShift)};
}

// Calls row(words, ctf) for every data row of the open file: a whole line that
// is not part of the header, splits into exactly as many words as the header
// has labels, is no comment, holds a usable number in every CTF column and a
// name that fits. A header of at most one label gives no rows. Returns the
// row count.
template <class Row>
int for_each_ctfstar_row(const char* name, FILE* f, CtfColumns& cols, Row row) {
    StarHead* head = star_head_new();
    star_read_head_named(f, head, name);
    ParticleInfoIndex* index = particle_info_index_new();
    set_info_index_from_star_head(head, index);
    const int c = head->count;
    std::free(head);
    cols = ctf_columns(name, *index, c);
    std::free(index);
    if (c <= 1) return 0;
    std::rewind(f);
    WholeLines lines = whole_lines(f);
    char* words[STAR_HEAD_MAX_LABELS + 1];
    int rows = 0;
    while (read_whole_line(lines)) {
        if (lines.overlong) {
            VORN_WARNING("line %ld of file %s is longer than %zu bytes (skipped)\n\033[m", lines.number, name,
                         VORN_WHOLE_LINE_MAX);
            continue;
        }
        const int n = strnsplit_inplace_byspace(lines.text, words, c + 1);
        // A comment is no row, however many words it has.
        if (n != c || is_words_starhead(words, n) || words[0][0] == '#' || words[0][0] == ';') continue;
        CTF_INFO ctf;
        if (!row_ctfinfo(words, cols, name, lines.number, ctf) || !name_fits(words, cols, name, lines.number))
            continue;
        row(words, ctf);
        ++rows;
    }
    free_whole_lines(lines);
    return rows;
}

// One record per data row, make(ctf); room for one per line of the file.
template <class T, class Make>
T* records_of_ctfstar(const char* name, const char* func, Make make) {
    FILE* f = star_open_read(name, func);
    const long lines = get_lineN_from_star(f);
    T* out = (T*)std::calloc((size_t)(lines > 0 ? lines : 1), sizeof(T));
    if (out == nullptr) VORN_FATAL("no memory for %ld records of %s", lines, name);
    CtfColumns cols{};
    long k = 0;
    for_each_ctfstar_row(name, f, cols, [&](char**, const CTF_INFO& ctf) {
        if (k < lines) out[k++] = make(ctf, cols);
    });
    std::fclose(f);
    return out;
}

}  // namespace

CTF_INFO* get_all_ctfinfo_from_ctfstar(const char* name) {
    return records_of_ctfstar<CTF_INFO>(name, __func__, [](const CTF_INFO& ctf, const CtfColumns&) { return ctf; });
}

float3* get_all_defocus_from_ctfstar(const char* name) {
    return records_of_ctfstar<float3>(name, __func__, [](const CTF_INFO& ctf, const CtfColumns& cols) {
        // Absent columns read 0 here, not the defaults of a CTF row.
        return make_float3(cols.U > 0 ? ctf.U : 0.0f, cols.V > 0 ? ctf.V : 0.0f, cols.A > 0 ? ctf.A : 0.0f);
    });
}

int append_initctf_from_ctfstar(const char* name, CTF_INIT* init, char** names, int& count, int capacity) {
    FILE* f = star_open_read(name, "get_all_initctf_from_ctfstar");
    CtfColumns cols{};
    int added = 0;
    for_each_ctfstar_row(name, f, cols, [&](char** words, const CTF_INFO& ctf) {
        // A row without a micrograph name cannot be processed: only named rows join the list.
        if (cols.name <= 0) return;
        if (count >= capacity) {
            VORN_WARNING("no room for micrograph %s of file %s: left out\n\033[m", words[cols.name - 1], name);
            return;
        }
        names[count] = strdup(words[cols.name - 1]);
        if (names[count] == nullptr) VORN_FATAL("no memory for the micrograph names of %s", name);
        init[count] = ctf2d_to_ctfinit(ctf);
        ++count;
        ++added;
    });
    std::fclose(f);
    if (cols.name <= 0) VORN_WARNING("no _rlnMicrographName column in %s: no micrograph taken from it\n\033[m", name);
    return added;
}

int get_all_initctf_from_ctfstar(const char* name, CTF_INIT* init, char** names, int& count) {
    // The list has room for one entry per non-blank line after the header.
    const long room = std::min<long>(get_lineN_from_starf(name), (long)INT_MAX - count);
    return append_initctf_from_ctfstar(name, init, names, count, count + (int)room);
}
