// Rigid transforms of images and volumes, their inverses, the readers of
// symmetry (NCS) operator files, and the rotation tables of the tetrahedral,
// octahedral and icosahedral point groups.
//
// The records are plain, trivially copyable structs that kernels take by value;
// operator lists are std::vectors of them, array forms plain arrays in the same
// order. Every record defaults to the identity rotation with zero shift.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gpu.h"

// A 2D rotation (row by row) followed by a shift.
struct RT_Mat2D {
    float R11 = 1.0f, R12 = 0.0f, R21 = 0.0f, R22 = 1.0f;
    float Tx = 0.0f, Ty = 0.0f;
};

// The line a 3D record prints when an operator line has neither 9 nor 12 words;
// the process goes on and the record keeps its values.
#define SYM_MAT3D_WORDS_TEXT \
    "RT_Mat3D requires at 9 or 12 elements! 3x3 matrix for rotation and 3x4 matrix for rotation + translation"
inline void sym_report_mat3d_words(int line) {
    std::printf("\033[41mError in function %s(), file %s on line %d:" SYM_MAT3D_WORDS_TEXT "  %s!\n\033[m", "set",
                "include/sym", line, SYM_MAT3D_WORDS_TEXT);
}

// The first n words of a line as floats (strtod; a word that is no number gives
// 0) into the record's count floats, the rest 0. The records are runs of floats
// without padding, so a byte copy fills them in order.
template <class Mat>
inline void sym_words_to_floats(Mat* m, int count, char** words, int n) {
    float v[12] = {};
    for (int k = 0; k < n && k < count; ++k) v[k] = (float)std::strtod(words[k], nullptr);
    std::memcpy((void*)m, v, (size_t)count * sizeof(float));
}

// A 3x3 rotation, row by row.
struct R_Mat3D {
    float R11 = 1.0f, R12 = 0.0f, R13 = 0.0f;
    float R21 = 0.0f, R22 = 1.0f, R23 = 0.0f;
    float R31 = 0.0f, R32 = 0.0f, R33 = 1.0f;

    // From the 9 words of one operator line.
    void set(char** words, int n) {
        if (n != 9) return sym_report_mat3d_words(__LINE__);
        sym_words_to_floats(this, 9, words, n);
    }
};

// A 3x3 rotation, row by row, followed by a shift.
struct RT_Mat3D {
    float R11 = 1.0f, R12 = 0.0f, R13 = 0.0f;
    float R21 = 0.0f, R22 = 1.0f, R23 = 0.0f;
    float R31 = 0.0f, R32 = 0.0f, R33 = 1.0f;
    float Tx = 0.0f, Ty = 0.0f, Tz = 0.0f;

    // From the words of one operator line: 12 (rotation, then shift) or 9 (rotation, zero shift).
    void set(char** words, int n) {
        if (n != 9 && n != 12) return sym_report_mat3d_words(__LINE__);
        sym_words_to_floats(this, 12, words, n);
    }
};

static_assert(sizeof(RT_Mat2D) == 6 * sizeof(float) && sizeof(R_Mat3D) == 9 * sizeof(float) &&
                  sizeof(RT_Mat3D) == 12 * sizeof(float),
              "operator records are runs of floats");

// ---- inverses, in float; a singular operator gives infinities or NaN ----
// R' = R^-1, T' = -R^-1 T.
__host__ __device__ inline RT_Mat2D rt_mat2d_inverse(RT_Mat2D m) {
    const float det = m.R11 * m.R22 - m.R12 * m.R21;
    RT_Mat2D r;
    r.R11 = m.R22 / det;
    r.R12 = -m.R12 / det;
    r.R21 = -m.R21 / det;
    r.R22 = m.R11 / det;
    r.Tx = (m.R12 * m.Ty - m.R22 * m.Tx) / det;
    r.Ty = (m.R21 * m.Tx - m.R11 * m.Ty) / det;
    return r;
}

// R' = adjugate(R) / det, T' = -R' T.
__host__ __device__ inline RT_Mat3D rt_mat3d_inverse(RT_Mat3D m) {
    const float det = m.R11 * m.R22 * m.R33 + m.R12 * m.R23 * m.R31 + m.R13 * m.R21 * m.R32 -
                      m.R22 * m.R13 * m.R31 - m.R32 * m.R11 * m.R23 - m.R33 * m.R12 * m.R21;
    RT_Mat3D r;
    r.R11 = (m.R33 * m.R22 - m.R32 * m.R23) / det;
    r.R12 = (m.R13 * m.R32 - m.R12 * m.R33) / det;
    r.R13 = (m.R12 * m.R23 - m.R22 * m.R13) / det;
    r.R21 = (m.R23 * m.R31 - m.R21 * m.R33) / det;
    r.R22 = (m.R11 * m.R33 - m.R13 * m.R31) / det;
    r.R23 = (m.R13 * m.R21 - m.R11 * m.R23) / det;
    r.R31 = (m.R21 * m.R32 - m.R22 * m.R31) / det;
    r.R32 = (m.R12 * m.R31 - m.R11 * m.R32) / det;
    r.R33 = (m.R11 * m.R22 - m.R12 * m.R21) / det;
    r.Tx = -(r.R11 * m.Tx + r.R12 * m.Ty + r.R13 * m.Tz);
    r.Ty = -(r.R21 * m.Tx + r.R22 * m.Ty + r.R23 * m.Tz);
    r.Tz = -(r.R31 * m.Tx + r.R32 * m.Ty + r.R33 * m.Tz);
    return r;
}

// ---- operator lists ----
// Each operator under the header line, then a line of 82 '~' (also for an empty list).
void print_rtmat2d_vector(std::vector<RT_Mat2D>& ops);
// The header line once, each operator's twelve values, then the line of '~'.
void print_rtmat3d_vector(std::vector<RT_Mat3D>& ops);
void sym2d_vector_to_syms(RT_Mat2D* out, const std::vector<RT_Mat2D>& ops);
void sym2d_vector_to_inverse_syms(RT_Mat2D* out, const std::vector<RT_Mat2D>& ops);
void sym2d_vector_inverse_inplace(std::vector<RT_Mat2D>& ops);
void sym_vector_to_syms(RT_Mat3D* out, const std::vector<RT_Mat3D>& ops);
void sym_vector_to_inverse_syms(RT_Mat3D* out, const std::vector<RT_Mat3D>& ops);
void sym_vector_inverse_inplace(std::vector<RT_Mat3D>& ops);

// ---- operator files ----
// A file that cannot be opened ends the process with the fatal line.
//
// "o" style: blocks opened by a ".ncs_symmetry_operators" line, then 3 lines in
// 2D (R11 R12 / R21 R22 / Tx Ty) or 4 in 3D (three rotation rows / Tx Ty Tz);
// every other line is skipped, and a short block line is fatal. The list is
// emptied first and filled in file order, then printed.
// Returns 0, even for no operator.
int get_syms2d_from_ofile(std::vector<RT_Mat2D>& ops, const char* path);
// Returns 0, or -1 (with a warning) when no operator was read.
int get_syms3d_from_ofile(std::vector<RT_Mat3D>& ops, const char* path);
// "m" style: one operator per line (2D: R11 R12 R21 R22 Tx Ty; 3D: nine rotation
// values, then optionally Tx Ty Tz). A null name or "ALL" reads every operator
// line; any other name reads only the lines of the blocks
// "symmetry_operators <name>" ... "operators_end" (names without regard to case;
// blocks of one name add up). A list that holds operators is emptied with a
// warning. Returns 0, or -1 (with a warning) when no operator was read.
int get_syms2d_from_mfile(std::vector<RT_Mat2D>& ops, const char* path, const char* name);
// Instantiated for RT_Mat3D and R_Mat3D (nine values only).
template <class Mat>
int get_syms3d_from_mfile(std::vector<Mat>& ops, const char* path, const char* name);

// ---- point groups ----
// Rotation tables, each beginning with the identity and closed under
// multiplication. Every unit that includes this header holds its own copy.
namespace RMAT_POINT_GROUPS {

// Tetrahedral group T: 2-fold axes along x, y and z, 3-fold axes along the body diagonals.
static const R_Mat3D RMAT_PG_T1[12] = {
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {0, 0, -1, -1, 0, 0, 0, 1, 0},
    {0, -1, 0, 0, 0, -1, 1, 0, 0},
    {-1, 0, 0, 0, -1, 0, 0, 0, 1},
    {0, 0, -1, 1, 0, 0, 0, -1, 0},
    {0, -1, 0, 0, 0, 1, -1, 0, 0},
    {-1, 0, 0, 0, 1, 0, 0, 0, -1},
    {0, 0, 1, -1, 0, 0, 0, -1, 0},
    {0, 1, 0, 0, 0, -1, -1, 0, 0},
    {1, 0, 0, 0, -1, 0, 0, 0, -1},
    {0, 0, 1, 1, 0, 0, 0, 1, 0},
    {0, 1, 0, 0, 0, 1, 1, 0, 0},
};

// Tetrahedral group T with a 3-fold axis along z (slots 10 and 11: -120 and +120
// degrees about z), in six-place decimals; slots 12 to 23 repeat the identity.
static const R_Mat3D RMAT_PG_T2[24] = {
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {-0.500005f, -0.288678f, -0.816495f, 0.288671f, 0.833331f, -0.471411f, 0.816493f, -0.471410f, -0.333332f},
    {0.500005f, -0.288678f, -0.816495f, -0.866021f, -0.166669f, -0.471411f, 0.000007f, 0.942809f, -0.333332f},
    {0, 0.577356f, -0.816495f, 0.577350f, -0.666662f, -0.471411f, -0.816500f, -0.471399f, -0.333332f},
    {0.5f, 0.288675f, 0.816500f, 0.866028f, -0.166665f, -0.471400f, -0.000006f, 0.942810f, -0.333330f},
    {-0.5f, 0.288675f, 0.816500f, -0.288678f, 0.833335f, -0.471400f, -0.816494f, -0.471410f, -0.333330f},
    {0, -0.577350f, 0.816500f, -0.577350f, -0.666670f, -0.471400f, 0.816500f, -0.471400f, -0.333330f},
    {0.5f, -0.866025f, 0, -0.288672f, -0.166665f, 0.942810f, -0.816497f, -0.471405f, -0.333330f},
    {0.5f, 0.866025f, 0, 0.288672f, -0.166665f, 0.942810f, 0.816497f, -0.471405f, -0.333330f},
    {-1, 0, 0, 0, 0.333330f, 0.942810f, 0, 0.942810f, -0.333330f},
    {-0.5f, 0.866025f, 0, -0.866025f, -0.5f, 0, 0, 0, 1},
    {-0.5f, -0.866025f, 0, 0.866025f, -0.5f, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
};

// Octahedral group O: 4-fold axes along x, y and z, 3-fold axes along the body
// diagonals, 2-fold axes along the six face diagonals.
static const R_Mat3D RMAT_PG_O[24] = {
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {0, 0, -1, -1, 0, 0, 0, 1, 0},
    {0, 0, -1, 0, -1, 0, -1, 0, 0},
    {0, 0, -1, 1, 0, 0, 0, -1, 0},
    {0, 0, -1, 0, 1, 0, 1, 0, 0},
    {0, 0, 1, 0, 1, 0, -1, 0, 0},
    {0, 0, 1, -1, 0, 0, 0, -1, 0},
    {0, 0, 1, 0, -1, 0, 1, 0, 0},
    {0, 0, 1, 1, 0, 0, 0, 1, 0},
    {0, 1, 0, 0, 0, -1, -1, 0, 0},
    {-1, 0, 0, 0, 0, -1, 0, -1, 0},
    {0, -1, 0, 0, 0, -1, 1, 0, 0},
    {1, 0, 0, 0, 0, -1, 0, 1, 0},
    {-1, 0, 0, 0, 0, 1, 0, 1, 0},
    {0, -1, 0, 0, 0, 1, -1, 0, 0},
    {1, 0, 0, 0, 0, 1, 0, -1, 0},
    {0, 1, 0, 0, 0, 1, 1, 0, 0},
    {-1, 0, 0, 0, 1, 0, 0, 0, -1},
    {0, -1, 0, -1, 0, 0, 0, 0, -1},
    {1, 0, 0, 0, -1, 0, 0, 0, -1},
    {0, 1, 0, 1, 0, 0, 0, 0, -1},
    {0, 1, 0, -1, 0, 0, 0, 0, 1},
    {-1, 0, 0, 0, -1, 0, 0, 0, 1},
    {0, -1, 0, 1, 0, 0, 0, 0, 1},
};

// Icosahedral group I with 2-fold axes along x, y and z and 5-fold axes among
// them (0, +-0.525731, 0.850651). Entries are 0, +-(sqrt(5) - 1)/4, +-1/2,
// +-(sqrt(5) + 1)/4 and +-1 to six places.
static const R_Mat3D RMAT_PG_I1[60] = {
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {-0.5f, -0.309017f, -0.809017f, -0.309017f, -0.809017f, 0.5f, -0.809017f, 0.5f, 0.309017f},
    {-0.309017f, -0.809017f, -0.5f, 0.809017f, -0.5f, 0.309017f, -0.5f, -0.309017f, 0.809017f},
    {0.309017f, 0.809017f, -0.5f, -0.809017f, 0.5f, 0.309017f, 0.5f, 0.309017f, 0.809017f},
    {0.809017f, 0.5f, -0.309017f, -0.5f, 0.309017f, -0.809017f, -0.309017f, 0.809017f, 0.5f},
    {0, 0, -1, -1, 0, 0, 0, 1, 0},
    {0.309017f, -0.809017f, 0.5f, 0.809017f, 0.5f, 0.309017f, -0.5f, 0.309017f, 0.809017f},
    {0.809017f, -0.5f, -0.309017f, 0.5f, 0.309017f, 0.809017f, -0.309017f, -0.809017f, 0.5f},
    {-0.309017f, 0.809017f, -0.5f, -0.809017f, -0.5f, -0.309017f, -0.5f, 0.309017f, 0.809017f},
    {0.809017f, -0.5f, 0.309017f, 0.5f, 0.309017f, -0.809017f, 0.309017f, 0.809017f, 0.5f},
    {0.5f, 0.309017f, -0.809017f, 0.309017f, 0.809017f, 0.5f, 0.809017f, -0.5f, 0.309017f},
    {0, -1, 0, 0, 0, 1, -1, 0, 0},
    {0.309017f, -0.809017f, -0.5f, 0.809017f, 0.5f, -0.309017f, 0.5f, -0.309017f, 0.809017f},
    {-0.809017f, -0.5f, -0.309017f, -0.5f, 0.309017f, 0.809017f, -0.309017f, 0.809017f, -0.5f},
    {0.309017f, -0.809017f, -0.5f, -0.809017f, -0.5f, 0.309017f, -0.5f, 0.309017f, -0.809017f},
    {-1, 0, 0, 0, -1, 0, 0, 0, 1},
    {0.5f, -0.309017f, -0.809017f, -0.309017f, 0.809017f, -0.5f, 0.809017f, 0.5f, 0.309017f},
    {-0.5f, 0.309017f, -0.809017f, 0.309017f, -0.809017f, -0.5f, -0.809017f, -0.5f, 0.309017f},
    {-0.809017f, -0.5f, 0.309017f, 0.5f, -0.309017f, 0.809017f, -0.309017f, 0.809017f, 0.5f},
    {0.5f, -0.309017f, -0.809017f, 0.309017f, -0.809017f, 0.5f, -0.809017f, -0.5f, -0.309017f},
    {-0.809017f, -0.5f, -0.309017f, 0.5f, -0.309017f, -0.809017f, 0.309017f, -0.809017f, 0.5f},
    {0.5f, 0.309017f, -0.809017f, -0.309017f, -0.809017f, -0.5f, -0.809017f, 0.5f, -0.309017f},
    {-0.309017f, -0.809017f, -0.5f, -0.809017f, 0.5f, -0.309017f, 0.5f, 0.309017f, -0.809017f},
    {-0.809017f, 0.5f, -0.309017f, -0.5f, -0.309017f, 0.809017f, 0.309017f, 0.809017f, 0.5f},
    {0.809017f, -0.5f, -0.309017f, -0.5f, -0.309017f, -0.809017f, 0.309017f, 0.809017f, -0.5f},
    {-0.5f, 0.309017f, -0.809017f, -0.309017f, 0.809017f, 0.5f, 0.809017f, 0.5f, -0.309017f},
    {0.809017f, 0.5f, 0.309017f, -0.5f, 0.309017f, 0.809017f, 0.309017f, -0.809017f, 0.5f},
    {0, 1, 0, 0, 0, 1, 1, 0, 0},
    {0.5f, -0.309017f, 0.809017f, -0.309017f, 0.809017f, 0.5f, -0.809017f, -0.5f, 0.309017f},
    {0.5f, 0.309017f, 0.809017f, 0.309017f, 0.809017f, -0.5f, -0.809017f, 0.5f, 0.309017f},
    {0.809017f, 0.5f, 0.309017f, 0.5f, -0.309017f, -0.809017f, -0.309017f, 0.809017f, -0.5f},
    {0.309017f, 0.809017f, 0.5f, -0.809017f, 0.5f, -0.309017f, -0.5f, -0.309017f, 0.809017f},
    {0, 0, 1, 1, 0, 0, 0, 1, 0},
    {0, 0, -1, 1, 0, 0, 0, -1, 0},
    {-0.309017f, -0.809017f, 0.5f, 0.809017f, -0.5f, -0.309017f, 0.5f, 0.309017f, 0.809017f},
    {0.809017f, 0.5f, -0.309017f, 0.5f, -0.309017f, 0.809017f, 0.309017f, -0.809017f, -0.5f},
    {-0.309017f, 0.809017f, 0.5f, -0.809017f, -0.5f, 0.309017f, 0.5f, -0.309017f, 0.809017f},
    {0, 1, 0, 0, 0, -1, -1, 0, 0},
    {0.5f, -0.309017f, 0.809017f, 0.309017f, -0.809017f, -0.5f, 0.809017f, 0.5f, -0.309017f},
    {-0.309017f, 0.809017f, -0.5f, 0.809017f, 0.5f, 0.309017f, 0.5f, -0.309017f, -0.809017f},
    {0.809017f, -0.5f, 0.309017f, -0.5f, -0.309017f, 0.809017f, -0.309017f, -0.809017f, -0.5f},
    {-0.5f, -0.309017f, 0.809017f, 0.309017f, 0.809017f, 0.5f, -0.809017f, 0.5f, -0.309017f},
    {-0.5f, -0.309017f, -0.809017f, 0.309017f, 0.809017f, -0.5f, 0.809017f, -0.5f, -0.309017f},
    {-0.309017f, -0.809017f, 0.5f, -0.809017f, 0.5f, 0.309017f, -0.5f, -0.309017f, -0.809017f},
    {0, -1, 0, 0, 0, -1, 1, 0, 0},
    {-1, 0, 0, 0, 1, 0, 0, 0, -1},
    {0.309017f, -0.809017f, 0.5f, -0.809017f, -0.5f, -0.309017f, 0.5f, -0.309017f, -0.809017f},
    {-0.809017f, 0.5f, 0.309017f, -0.5f, -0.309017f, -0.809017f, -0.309017f, -0.809017f, 0.5f},
    {-0.5f, -0.309017f, 0.809017f, -0.309017f, -0.809017f, -0.5f, 0.809017f, -0.5f, 0.309017f},
    {-0.809017f, 0.5f, -0.309017f, 0.5f, 0.309017f, -0.809017f, -0.309017f, -0.809017f, -0.5f},
    {-0.809017f, 0.5f, 0.309017f, 0.5f, 0.309017f, 0.809017f, 0.309017f, 0.809017f, -0.5f},
    {1, 0, 0, 0, -1, 0, 0, 0, -1},
    {-0.809017f, -0.5f, 0.309017f, -0.5f, 0.309017f, -0.809017f, 0.309017f, -0.809017f, -0.5f},
    {0.309017f, 0.809017f, -0.5f, 0.809017f, -0.5f, -0.309017f, -0.5f, -0.309017f, -0.809017f},
    {-0.5f, 0.309017f, 0.809017f, 0.309017f, -0.809017f, 0.5f, 0.809017f, 0.5f, 0.309017f},
    {0.5f, 0.309017f, 0.809017f, -0.309017f, -0.809017f, 0.5f, 0.809017f, -0.5f, -0.309017f},
    {0.309017f, 0.809017f, 0.5f, 0.809017f, -0.5f, 0.309017f, 0.5f, 0.309017f, -0.809017f},
    {0, 0, 1, -1, 0, 0, 0, -1, 0},
    {-0.309017f, 0.809017f, 0.5f, 0.809017f, 0.5f, -0.309017f, -0.5f, 0.309017f, -0.809017f},
    {-0.5f, 0.309017f, 0.809017f, -0.309017f, 0.809017f, -0.5f, -0.809017f, -0.5f, -0.309017f},
};

// Icosahedral group I with 2-fold axes along x, y and z and 5-fold axes among
// them (+-0.525731, 0, 0.850651).
static const R_Mat3D RMAT_PG_I2[60] = {
    {1, 0, 0, 0, 1, 0, 0, 0, 1},
    {0.5f, -0.809017f, -0.309017f, -0.809017f, -0.309017f, -0.5f, 0.309017f, 0.5f, -0.809017f},
    {0.309017f, -0.5f, 0.809017f, -0.5f, -0.809017f, -0.309017f, 0.809017f, -0.309017f, -0.5f},
    {0.809017f, -0.309017f, 0.5f, -0.309017f, 0.5f, 0.809017f, -0.5f, -0.809017f, 0.309017f},
    {0.309017f, 0.5f, 0.809017f, -0.5f, 0.809017f, -0.309017f, -0.809017f, -0.309017f, 0.5f},
    {0, 0, -1, -1, 0, 0, 0, 1, 0},
    {0.809017f, 0.309017f, -0.5f, 0.309017f, 0.5f, 0.809017f, 0.5f, -0.809017f, 0.309017f},
    {0.809017f, -0.309017f, -0.5f, 0.309017f, -0.5f, 0.809017f, -0.5f, -0.809017f, -0.309017f},
    {-0.309017f, -0.5f, 0.809017f, -0.5f, 0.809017f, 0.309017f, -0.809017f, -0.309017f, -0.5f},
    {0.5f, 0.809017f, -0.309017f, 0.809017f, -0.309017f, 0.5f, 0.309017f, -0.5f, -0.809017f},
    {-0.809017f, 0.309017f, 0.5f, -0.309017f, 0.5f, -0.809017f, -0.5f, -0.809017f, -0.309017f},
    {0, -1, 0, 0, 0, 1, -1, 0, 0},
    {0.809017f, -0.309017f, -0.5f, -0.309017f, 0.5f, -0.809017f, 0.5f, 0.809017f, 0.309017f},
    {0.809017f, -0.309017f, 0.5f, 0.309017f, -0.5f, -0.809017f, 0.5f, 0.809017f, -0.309017f},
    {0, -1, 0, 0, 0, -1, 1, 0, 0},
    {0.309017f, 0.5f, -0.809017f, -0.5f, 0.809017f, 0.309017f, 0.809017f, 0.309017f, 0.5f},
    {0.5f, 0.809017f, -0.309017f, -0.809017f, 0.309017f, -0.5f, -0.309017f, 0.5f, 0.809017f},
    {-0.309017f, -0.5f, 0.809017f, 0.5f, -0.809017f, -0.309017f, 0.809017f, 0.309017f, 0.5f},
    {-0.5f, 0.809017f, -0.309017f, -0.809017f, -0.309017f, 0.5f, 0.309017f, 0.5f, 0.809017f},
    {0.809017f, 0.309017f, -0.5f, -0.309017f, -0.5f, -0.809017f, -0.5f, 0.809017f, -0.309017f},
    {-0.309017f, -0.5f, -0.809017f, -0.5f, 0.809017f, -0.309017f, 0.809017f, 0.309017f, -0.5f},
    {0.5f, -0.809017f, 0.309017f, 0.809017f, 0.309017f, -0.5f, 0.309017f, 0.5f, 0.809017f},
    {0, 0, 1, 1, 0, 0, 0, 1, 0},
    {0.309017f, -0.5f, -0.809017f, 0.5f, 0.809017f, -0.309017f, 0.809017f, -0.309017f, 0.5f},
    {0.5f, 0.809017f, 0.309017f, -0.809017f, 0.309017f, 0.5f, 0.309017f, -0.5f, 0.809017f},
    {-0.5f, -0.809017f, -0.309017f, 0.809017f, -0.309017f, -0.5f, 0.309017f, -0.5f, 0.809017f},
    {0.809017f, 0.309017f, 0.5f, 0.309017f, 0.5f, -0.809017f, -0.5f, 0.809017f, 0.309017f},
    {-0.5f, -0.809017f, 0.309017f, 0.809017f, -0.309017f, 0.5f, -0.309017f, 0.5f, 0.809017f},
    {-0.809017f, -0.309017f, -0.5f, 0.309017f, 0.5f, -0.809017f, 0.5f, -0.809017f, -0.309017f},
    {-0.309017f, 0.5f, 0.809017f, -0.5f, -0.809017f, 0.309017f, 0.809017f, -0.309017f, 0.5f},
    {0.5f, 0.809017f, 0.309017f, 0.809017f, -0.309017f, -0.5f, -0.309017f, 0.5f, -0.809017f},
    {0.5f, -0.809017f, 0.309017f, -0.809017f, -0.309017f, 0.5f, -0.309017f, -0.5f, -0.809017f},
    {0, 0, 1, -1, 0, 0, 0, -1, 0},
    {0.809017f, 0.309017f, 0.5f, -0.309017f, -0.5f, 0.809017f, 0.5f, -0.809017f, -0.309017f},
    {0.309017f, -0.5f, -0.809017f, -0.5f, -0.809017f, 0.309017f, -0.809017f, 0.309017f, -0.5f},
    {-0.5f, -0.809017f, -0.309017f, -0.809017f, 0.309017f, 0.5f, -0.309017f, 0.5f, -0.809017f},
    {0.309017f, 0.5f, -0.809017f, 0.5f, -0.809017f, -0.309017f, -0.809017f, -0.309017f, -0.5f},
    {-0.5f, -0.809017f, 0.309017f, -0.809017f, 0.309017f, -0.5f, 0.309017f, -0.5f, -0.809017f},
    {1, 0, 0, 0, -1, 0, 0, 0, -1},
    {-1, 0, 0, 0, 1, 0, 0, 0, -1},
    {-0.809017f, -0.309017f, 0.5f, -0.309017f, -0.5f, -0.809017f, 0.5f, -0.809017f, 0.309017f},
    {-0.809017f, -0.309017f, -0.5f, -0.309017f, -0.5f, 0.809017f, -0.5f, 0.809017f, 0.309017f},
    {0.309017f, 0.5f, 0.809017f, 0.5f, -0.809017f, 0.309017f, 0.809017f, 0.309017f, -0.5f},
    {-0.809017f, -0.309017f, 0.5f, 0.309017f, 0.5f, 0.809017f, -0.5f, 0.809017f, -0.309017f},
    {-0.309017f, -0.5f, -0.809017f, 0.5f, -0.809017f, 0.309017f, -0.809017f, -0.309017f, 0.5f},
    {0, 1, 0, 0, 0, 1, 1, 0, 0},
    {-0.5f, 0.809017f, 0.309017f, -0.809017f, -0.309017f, -0.5f, -0.309017f, -0.5f, 0.809017f},
    {0, 1, 0, 0, 0, -1, -1, 0, 0},
    {-0.809017f, 0.309017f, -0.5f, -0.309017f, 0.5f, 0.809017f, 0.5f, 0.809017f, -0.309017f},
    {-0.309017f, 0.5f, -0.809017f, -0.5f, -0.809017f, -0.309017f, -0.809017f, 0.309017f, 0.5f},
    {-0.309017f, 0.5f, -0.809017f, 0.5f, 0.809017f, 0.309017f, 0.809017f, -0.309017f, -0.5f},
    {-0.5f, 0.809017f, 0.309017f, 0.809017f, 0.309017f, 0.5f, 0.309017f, 0.5f, -0.809017f},
    {-0.809017f, 0.309017f, -0.5f, 0.309017f, -0.5f, -0.809017f, -0.5f, -0.809017f, 0.309017f},
    {0.309017f, -0.5f, 0.809017f, 0.5f, 0.809017f, 0.309017f, -0.809017f, 0.309017f, 0.5f},
    {-0.309017f, 0.5f, 0.809017f, 0.5f, 0.809017f, -0.309017f, -0.809017f, 0.309017f, -0.5f},
    {0.5f, -0.809017f, -0.309017f, 0.809017f, 0.309017f, 0.5f, -0.309017f, -0.5f, 0.809017f},
    {0, 0, -1, 1, 0, 0, 0, -1, 0},
    {-0.5f, 0.809017f, -0.309017f, 0.809017f, 0.309017f, -0.5f, -0.309017f, -0.5f, -0.809017f},
    {-1, 0, 0, 0, -1, 0, 0, 0, 1},
    {-0.809017f, 0.309017f, 0.5f, 0.309017f, -0.5f, 0.809017f, 0.5f, 0.809017f, 0.309017f},
};

}  // namespace RMAT_POINT_GROUPS
