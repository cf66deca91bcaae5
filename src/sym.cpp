// Operator lists: printing, copies and inverses, and the readers of symmetry
// (NCS) operator files in their two styles.
#define VORN_UNIT "src/sym"
#include "sym.h"

#include <strings.h>

#include "report.h"
#include "str_utils.h"
#include "txt_file.h"

namespace {

const char* const RTMAT2D_HEADER = "   R11       R12       R21       R22        Tx        Ty";
const char* const RTMAT3D_HEADER =
    "   R11       R12       R13       R21       R22       R23       R31       R32       R33        Tx        Ty        Tz";
const char* const CLOSING_LINE = "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~";

bool word_is(const char* word, const char* keyword) { return strcasecmp(word, keyword) == 0; }

// The record's floats, each printed with "%10.6f", then "\n\n".
template <class Mat>
void print_values(const Mat& m) {
    float v[12];
    std::memcpy(v, (const void*)&m, sizeof m);
    for (size_t k = 0; k < sizeof(Mat) / sizeof(float); ++k) std::printf("%10.6f", v[k]);
    std::printf("\n\n");
}

FILE* open_operator_file(const char* path, const char* func) {
    FILE* f = std::fopen(path, "r");
    if (f != nullptr) return f;
    std::printf("Cannot open file %s. Permission denied or wrong file name.\n", path);
    vorn_fatal_line(func, VORN_UNIT, __LINE__, "open file '%s' failed.", path);
}

// The next line of f, split into at most cap words (n of them). False at the end of
// the file, where the line reader gives an empty line and no status of its own.
bool next_words(FILE* f, char* line, char** words, int cap, int& n) {
    read_one_line(line, f);
    if (line[0] == '\0' && std::feof(f)) return false;
    n = strnsplit_inplace_byspace(line, words, cap);
    return true;
}

// ---- "o" style: ".ncs_symmetry_operators", then one line per row of cols numbers ----

template <class Mat>
void read_ofile(std::vector<Mat>& ops, const char* path, int cols, const char* func) {
    const int rows = (int)(sizeof(Mat) / sizeof(float)) / cols;
    char line[VORN_LINE_LEN];
    char* words[3];
    int n = 0;
    ops.clear();
    FILE* f = open_operator_file(path, func);
    while (next_words(f, line, words, cols, n)) {
        if (n < 1 || !word_is(words[0], ".ncs_symmetry_operators")) continue;
        float v[12];
        for (int r = 0; r < rows; ++r) {
            if (!next_words(f, line, words, cols, n) || n < cols) {
                std::fclose(f);
                vorn_fatal_line(func, VORN_UNIT, __LINE__, "Unknown symmetry file format");
            }
            for (int c = 0; c < cols; ++c) v[r * cols + c] = (float)std::strtod(words[c], nullptr);
        }
        Mat m;
        std::memcpy((void*)&m, v, sizeof m);
        ops.push_back(m);
    }
    std::fclose(f);
}

// ---- "m" style: one operator per line, whole file or named blocks ----

template <class Mat> struct MfileRules;
template <> struct MfileRules<RT_Mat2D> {
    static constexpr int cap = 6;
    // Inside a named block every line but an operator and "operators_end" is warned about.
    static constexpr bool blocks_chain = false;
    static constexpr const char* not_empty = "  not empty! Original data are cleared before reading!!\n\033[m";
    static bool accepts(int n) { return n == 6; }
    static RT_Mat2D make(char** words, int n) {
        RT_Mat2D m;
        sym_words_to_floats(&m, 6, words, n);
        return m;
    }
    static void print(std::vector<RT_Mat2D>& ops) { print_rtmat2d_vector(ops); }
};
// 3D blocks skip empty lines, and a further header closes the block (and opens the next when it matches).
template <> struct MfileRules<RT_Mat3D> {
    static constexpr int cap = 12;
    static constexpr bool blocks_chain = true;
    static constexpr const char* not_empty =
        "Vector mvec not empty! Original data are cleared before reading!!\n\033[m";
    static bool accepts(int n) { return n == 9 || n == 12; }
    static RT_Mat3D make(char** words, int n) {
        RT_Mat3D m;
        m.set(words, n);
        return m;
    }
    static void print(std::vector<RT_Mat3D>& ops) {
        for (const RT_Mat3D& m : ops) print_values(m);
    }
};
template <> struct MfileRules<R_Mat3D> {
    static constexpr int cap = 9;
    static constexpr bool blocks_chain = true;
    static constexpr const char* not_empty = MfileRules<RT_Mat3D>::not_empty;
    static bool accepts(int n) { return n == 9; }
    static R_Mat3D make(char** words, int n) {
        R_Mat3D m;
        m.set(words, n);
        return m;
    }
    static void print(std::vector<R_Mat3D>& ops) {
        for (const R_Mat3D& m : ops) print_values(m);
    }
};

// A header "symmetry_operators <name>" of the wanted name; a header of one word names nothing.
bool opens_block(char** words, int n, const char* name) {
    return n >= 2 && word_is(words[0], "symmetry_operators") && word_is(words[1], name);
}

template <class Mat>
int read_mfile(std::vector<Mat>& ops, const char* path, const char* name, const char* func) {
    typedef MfileRules<Mat> Rules;
    if (!ops.empty()) {
        vorn_warning_line(func, VORN_UNIT, __LINE__, "%s", Rules::not_empty);
        ops.clear();
    }
    const bool whole_file = name == nullptr || word_is(name, "ALL");
    char line[VORN_LINE_LEN];
    char* words[Rules::cap];
    int n = 0;
    bool inside = false;
    FILE* f = open_operator_file(path, func);
    while (next_words(f, line, words, whole_file || inside ? Rules::cap : 2, n)) {
        if (whole_file) {
            if (n == 0 || word_is(words[0], "symmetry_operators") || word_is(words[0], "operators_end")) continue;
        } else if (!inside) {
            inside = opens_block(words, n, name);
            continue;
        } else if (n > 0 && word_is(words[0], "operators_end")) {
            inside = false;
            continue;
        } else if (Rules::blocks_chain && n == 0) {
            continue;
        } else if (Rules::blocks_chain && word_is(words[0], "symmetry_operators")) {
            inside = opens_block(words, n, name);
            continue;
        }
        if (Rules::accepts(n))
            ops.push_back(Rules::make(words, n));
        else
            vorn_warning_line(func, VORN_UNIT, __LINE__, "Unknown symmetry matrix format! Line skipped!\n\033[m");
    }
    std::fclose(f);
    if (ops.empty()) {
        vorn_warning_line(func, VORN_UNIT, __LINE__, "No symmetry matrices read!!\n\033[m");
        return -1;
    }
    Rules::print(ops);
    return 0;
}

}  // namespace

// ---- operator lists ----

void print_rtmat2d_vector(std::vector<RT_Mat2D>& ops) {
    for (const RT_Mat2D& m : ops) {
        std::puts(RTMAT2D_HEADER);
        std::printf("%10.6f%10.6f%10.6f%10.6f%10.6f%10.6f\n", m.R11, m.R12, m.R21, m.R22, m.Tx, m.Ty);
    }
    std::puts(CLOSING_LINE);
}

void print_rtmat3d_vector(std::vector<RT_Mat3D>& ops) {
    std::puts(RTMAT3D_HEADER);
    for (const RT_Mat3D& m : ops) print_values(m);
    std::puts(CLOSING_LINE);
}

void sym2d_vector_to_syms(RT_Mat2D* out, const std::vector<RT_Mat2D>& ops) {
    for (size_t k = 0; k < ops.size(); ++k) out[k] = ops[k];
}
void sym2d_vector_to_inverse_syms(RT_Mat2D* out, const std::vector<RT_Mat2D>& ops) {
    for (size_t k = 0; k < ops.size(); ++k) out[k] = rt_mat2d_inverse(ops[k]);
}
void sym2d_vector_inverse_inplace(std::vector<RT_Mat2D>& ops) { sym2d_vector_to_inverse_syms(ops.data(), ops); }

void sym_vector_to_syms(RT_Mat3D* out, const std::vector<RT_Mat3D>& ops) {
    for (size_t k = 0; k < ops.size(); ++k) out[k] = ops[k];
}
void sym_vector_to_inverse_syms(RT_Mat3D* out, const std::vector<RT_Mat3D>& ops) {
    for (size_t k = 0; k < ops.size(); ++k) out[k] = rt_mat3d_inverse(ops[k]);
}
void sym_vector_inverse_inplace(std::vector<RT_Mat3D>& ops) { sym_vector_to_inverse_syms(ops.data(), ops); }

// ---- operator files ----

int get_syms2d_from_ofile(std::vector<RT_Mat2D>& ops, const char* path) {
    read_ofile(ops, path, 2, __func__);
    print_rtmat2d_vector(ops);
    return 0;
}

int get_syms3d_from_ofile(std::vector<RT_Mat3D>& ops, const char* path) {
    read_ofile(ops, path, 3, __func__);
    if (ops.empty()) {
        VORN_WARNING("No symmetry matrices read!!\n\033[m");
        return -1;
    }
    print_rtmat3d_vector(ops);
    return 0;
}

int get_syms2d_from_mfile(std::vector<RT_Mat2D>& ops, const char* path, const char* name) {
    return read_mfile(ops, path, name, __func__);
}

template <class Mat>
int get_syms3d_from_mfile(std::vector<Mat>& ops, const char* path, const char* name) {
    return read_mfile(ops, path, name, "get_syms3d_from_mfile");
}
template int get_syms3d_from_mfile<RT_Mat3D>(std::vector<RT_Mat3D>&, const char*, const char*);
template int get_syms3d_from_mfile<R_Mat3D>(std::vector<R_Mat3D>&, const char*, const char*);
