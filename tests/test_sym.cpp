// Rotation records, inverses, operator lists and files, point-group tables.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#define VORN_UNIT "tests/sym"
#include "sym.h"

namespace {

using namespace RMAT_POINT_GROUPS;

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vorn_sym_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string write(const char* name, const std::string& text) const {
        const std::string p = path + "/" + name;
        FILE* f = std::fopen(p.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
        return p;
    }
};

std::vector<float> floats(const void* m, size_t bytes) {
    std::vector<float> v(bytes / sizeof(float));
    std::memcpy(v.data(), m, bytes);
    return v;
}
template <class Mat> std::vector<float> floats(const Mat& m) { return floats(&m, sizeof m); }

int open_descriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

// ---- records and inverses ----

TEST(Records, DefaultsAreIdentityWithZeroShift) {
    EXPECT_EQ(floats(RT_Mat2D{}), (std::vector<float>{1, 0, 0, 1, 0, 0}));
    EXPECT_EQ(floats(R_Mat3D{}), (std::vector<float>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(floats(RT_Mat3D{}), (std::vector<float>{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
    static_assert(std::is_trivially_copyable<RT_Mat2D>::value && std::is_trivially_copyable<RT_Mat3D>::value &&
                      std::is_trivially_copyable<R_Mat3D>::value,
                  "kernels take the records by value");
}

TEST(Records, SetFromNineOrTwelveWordsOnly) {
    char w[12][8];
    char* words[12];
    for (int k = 0; k < 12; ++k) {
        std::snprintf(w[k], sizeof w[k], "%d", k + 1);
        words[k] = w[k];
    }
    RT_Mat3D m;
    m.set(words, 12);
    EXPECT_EQ(floats(m), (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    m.set(words, 9);
    EXPECT_EQ(floats(m), (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0}));
    const RT_Mat3D before = m;
    testing::internal::CaptureStdout();
    m.set(words, 10);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(floats(m), floats(before));
    EXPECT_NE(said.find("\033[41mError in function set(), file include/sym on line"), std::string::npos) << said;
    EXPECT_NE(said.find(":RT_Mat3D requires at 9 or 12 elements! 3x3 matrix for rotation and 3x4 matrix for rotation "
                        "+ translation  RT_Mat3D requires"),
              std::string::npos);
    R_Mat3D r;
    m.set(words, 9);
    r.set(words, 9);
    EXPECT_EQ(floats(r), (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    testing::internal::CaptureStdout();
    r.set(words, 12);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("requires at 9 or 12"), std::string::npos);
    EXPECT_EQ(floats(r), (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(Inverse, TwoDimensionalHandCase) {
    const RT_Mat2D m{0, -1, 1, 0, 3, 4};
    EXPECT_EQ(floats(rt_mat2d_inverse(m)), (std::vector<float>{0, 1, -1, 0, -4, 3}));
    std::vector<RT_Mat2D> ops = {m, RT_Mat2D{2, 0, 0, 4, 1, 1}};
    RT_Mat2D copy[2], inv[2];
    sym2d_vector_to_syms(copy, ops);
    sym2d_vector_to_inverse_syms(inv, ops);
    EXPECT_EQ(floats(copy, sizeof copy), floats(ops.data(), 2 * sizeof(RT_Mat2D)));
    EXPECT_EQ(floats(inv[1]), (std::vector<float>{0.5f, 0, 0, 0.25f, -0.5f, -0.25f}));
    sym2d_vector_inverse_inplace(ops);
    EXPECT_EQ(floats(ops.data(), 2 * sizeof(RT_Mat2D)), floats(inv, sizeof inv));
}

// R R' = 1 and R' T + T' = 0, against a general matrix.
TEST(Inverse, ThreeDimensionalUndoesTheOperator) {
    const RT_Mat3D m{2, 1, 0, -1, 3, 1, 0.5f, 0, 1, 1, -2, 3};
    std::vector<RT_Mat3D> ops = {m};
    RT_Mat3D inv[1], copy[1];
    sym_vector_to_inverse_syms(inv, ops);
    sym_vector_to_syms(copy, ops);
    EXPECT_EQ(floats(copy[0]), floats(m));
    const float R[3][3] = {{m.R11, m.R12, m.R13}, {m.R21, m.R22, m.R23}, {m.R31, m.R32, m.R33}};
    const float Q[3][3] = {{inv[0].R11, inv[0].R12, inv[0].R13},
                           {inv[0].R21, inv[0].R22, inv[0].R23},
                           {inv[0].R31, inv[0].R32, inv[0].R33}};
    const float T[3] = {m.Tx, m.Ty, m.Tz}, U[3] = {inv[0].Tx, inv[0].Ty, inv[0].Tz};
    for (int i = 0; i < 3; ++i) {
        double shift = U[i];
        for (int j = 0; j < 3; ++j) {
            double p = 0;
            for (int k = 0; k < 3; ++k) p += R[i][k] * Q[k][j];
            EXPECT_NEAR(p, i == j, 1e-6) << i << j;
            shift += Q[i][j] * T[j];
        }
        EXPECT_NEAR(shift, 0.0, 1e-6);
    }
    sym_vector_inverse_inplace(ops);
    EXPECT_EQ(floats(ops[0]), floats(inv[0]));
    // No test for a singular operator: it gives non-finite values.
    EXPECT_FALSE(std::isfinite(rt_mat3d_inverse(RT_Mat3D{1, 2, 3, 2, 4, 6, 0, 0, 1, 0, 0, 0}).R11));
}

TEST(Print, ListsInTheirFormats) {
    std::vector<RT_Mat2D> two = {RT_Mat2D{1, 0, 0, 1, 2.5f, -3}};
    testing::internal::CaptureStdout();
    print_rtmat2d_vector(two);
    const std::string tilde(82, '~');
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "   R11       R12       R21       R22        Tx        Ty\n"
              "  1.000000  0.000000  0.000000  1.000000  2.500000 -3.000000\n" +
                  tilde + "\n");
    std::vector<RT_Mat2D> none;
    testing::internal::CaptureStdout();
    print_rtmat2d_vector(none);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), tilde + "\n");
    std::vector<RT_Mat3D> three = {RT_Mat3D{}};
    testing::internal::CaptureStdout();
    print_rtmat3d_vector(three);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "   R11       R12       R13       R21       R22       R23       R31       R32       R33        Tx        "
              "Ty        Tz\n"
              "  1.000000  0.000000  0.000000  0.000000  1.000000  0.000000  0.000000  0.000000  1.000000  0.000000  "
              "0.000000  0.000000\n\n" +
                  tilde + "\n");
}

// ---- "o" style files ----

TEST(OFile, BlocksInFileOrderWithCapitalHeadersAndExtraWords) {
    TempDir dir;
    const std::string p2 = dir.write("ops2d.txt",
                                     "remark line\n"
                                     ".NCS_SYMMETRY_OPERATORS\n0 -1 junk\n1 0\n3 4\n"
                                     "\n.ncs_symmetry_operators  2\n1 0\n0 1\n-1.5 2");  // no final newline
    std::vector<RT_Mat2D> ops(3);  // the list is emptied first
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_syms2d_from_ofile(ops, p2.c_str()), 0);
    const std::string said = testing::internal::GetCapturedStdout();
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(floats(ops[0]), (std::vector<float>{0, -1, 1, 0, 3, 4}));
    EXPECT_EQ(floats(ops[1]), (std::vector<float>{1, 0, 0, 1, -1.5f, 2}));
    EXPECT_NE(said.find("  0.000000 -1.000000  1.000000  0.000000  3.000000  4.000000\n"), std::string::npos);

    const std::string p3 = dir.write("ops3d.txt",
                                     ".ncs_symmetry_operators\n0 -1 0\n1 0 0\n0 0 1 9\n5 6 7\n");
    std::vector<RT_Mat3D> ops3;
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_syms3d_from_ofile(ops3, p3.c_str()), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(ops3.size(), 1u);
    EXPECT_EQ(floats(ops3[0]), (std::vector<float>{0, -1, 0, 1, 0, 0, 0, 0, 1, 5, 6, 7}));
}

TEST(OFile, NoBlockTwoDimensionalGivesZeroThreeDimensionalWarns) {
    TempDir dir;
    const std::string p = dir.write("none.txt", "nothing here\n1 2 3\n");
    std::vector<RT_Mat2D> ops2;
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_syms2d_from_ofile(ops2, p.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(82, '~') + "\n");
    std::vector<RT_Mat3D> ops3(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_syms3d_from_ofile(ops3, p.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("\033[43mWarning in function get_syms3d_from_ofile(), "
                                                          "file src/sym on line"),
              0u);
    EXPECT_TRUE(ops3.empty());
}

TEST(OFile, ShortBlockLineOrEndOfFileInsideABlockIsFatal) {
    TempDir dir;
    const std::string cases[] = {
        ".ncs_symmetry_operators\n1 0\n\n0 0\n",  // an empty block line
        ".ncs_symmetry_operators\n1 0\n0 1\n",    // the file ends inside the block
        ".ncs_symmetry_operators\n1\n0 1\n0 0\n", // one number where two are needed
    };
    for (const std::string& text : cases) {
        const std::string p = dir.write("short.txt", text);
        std::vector<RT_Mat2D> ops;
        EXPECT_EXIT((dup2(2, 1), get_syms2d_from_ofile(ops, p.c_str())), ::testing::ExitedWithCode(1),
                    "Error in function get_syms2d_from_ofile\\(\\), file src/sym on line [0-9]+: Unknown symmetry file "
                    "format! Exit now!")
            << text;
    }
}

TEST(Files, MissingFileIsFatalAndEveryReaderClosesItsFile) {
    std::vector<RT_Mat2D> ops;
    EXPECT_EXIT((dup2(2, 1), get_syms2d_from_mfile(ops, "/nonexistent/ops.txt", "ALL")),
                ::testing::ExitedWithCode(1),
                "Cannot open file /nonexistent/ops.txt. Permission denied or wrong file name.\n.*open file "
                "'/nonexistent/ops.txt' failed.! Exit now!");
    TempDir dir;
    const std::string p = dir.write("ops.txt", ".ncs_symmetry_operators\n1 0 0\n0 1 0\n0 0 1\n0 0 0\n1 0 0 0 1 0 0 0 1\n");
    const int before = open_descriptors();
    testing::internal::CaptureStdout();
    for (int k = 0; k < 50; ++k) {
        std::vector<RT_Mat2D> o2;
        std::vector<RT_Mat3D> o3;
        std::vector<R_Mat3D> r3;
        get_syms2d_from_ofile(o2, p.c_str());
        get_syms3d_from_ofile(o3, p.c_str());
        get_syms2d_from_mfile(o2, p.c_str(), nullptr);
        get_syms3d_from_mfile(o3, p.c_str(), "ALL");
        get_syms3d_from_mfile(r3, p.c_str(), "x");
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(open_descriptors(), before);
}

// ---- "m" style files ----

TEST(MFile, WholeFileNineAndTwelveNumbersSkipsKeywordsWarnsOnOthers) {
    TempDir dir;
    const std::string p = dir.write("m3.txt",
                                    "symmetry_operators A\n"
                                    "0 -1 0 1 0 0 0 0 1\n"
                                    "\n"
                                    "1 0 0 0 1 0 0 0 1 4 5 6 99\n"
                                    "1 2 3\n"
                                    "operators_end\n");
    std::vector<RT_Mat3D> ops(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_syms3d_from_mfile(ops, p.c_str(), "all"), 0);
    const std::string said = testing::internal::GetCapturedStdout();
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(floats(ops[0]), (std::vector<float>{0, -1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(floats(ops[1]), (std::vector<float>{1, 0, 0, 0, 1, 0, 0, 0, 1, 4, 5, 6}));
    EXPECT_NE(said.find(":Vector mvec not empty! Original data are cleared before reading!!\n\033[m"), std::string::npos);
    EXPECT_NE(said.find(":Unknown symmetry matrix format! Line skipped!\n\033[m"), std::string::npos);
    EXPECT_EQ(said.find("Unknown symmetry matrix format", said.find("Line skipped") + 1), std::string::npos);
    EXPECT_NE(said.find("  4.000000  5.000000  6.000000\n\n"), std::string::npos);
    std::vector<R_Mat3D> rot;
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_syms3d_from_mfile(rot, p.c_str(), nullptr), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rot.size(), 2u);  // the line of 13 words counts as 9
    EXPECT_EQ(floats(rot[1]), (std::vector<float>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
}

TEST(MFile, NamedBlocksOfOneNameAddUpInFileOrder) {
    TempDir dir;
    const std::string p = dir.write("blocks.txt",
                                    "symmetry_operators A\n1 0 0 0 1 0 0 0 1 1 1 1\n\noperators_end\n"
                                    "symmetry_operators B\n1 0 0 0 1 0 0 0 1 2 2 2\noperators_end\n"
                                    "symmetry_operators\n1 0 0 0 1 0 0 0 1 7 7 7\n"  // a header of one word names nothing
                                    "symmetry_operators a\n1 0 0 0 1 0 0 0 1 3 3 3\n"
                                    "symmetry_operators B\n1 0 0 0 1 0 0 0 1 4 4 4\n"  // closes the a block
                                    "symmetry_operators A\n1 0 0 0 1 0 0 0 1 5 5 5\n");
    std::vector<RT_Mat3D> ops;
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_syms3d_from_mfile(ops, p.c_str(), "a"), 0);
    const std::string said = testing::internal::GetCapturedStdout();
    ASSERT_EQ(ops.size(), 3u) << said;
    EXPECT_EQ(ops[0].Tx, 1.0f);
    EXPECT_EQ(ops[1].Tx, 3.0f);
    EXPECT_EQ(ops[2].Tx, 5.0f);
    EXPECT_EQ(said.find("Warning"), std::string::npos) << said;
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_syms3d_from_mfile(ops, p.c_str(), "C"), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(":No symmetry matrices read!!\n\033[m"), std::string::npos);
    EXPECT_TRUE(ops.empty());
}

TEST(MFile, TwoDimensionalNamedBlockWarnsOnEveryOtherLine) {
    TempDir dir;
    const std::string p = dir.write("m2.txt",
                                    "0 -1 1 0 0 0\n"
                                    "symmetry_operators\n"
                                    "symmetry_operators P2 extra\n"
                                    "0 -1 1 0 3 4\n"
                                    "\n"
                                    "-1 0 0 -1 0 0 7 8\n"
                                    "operators_end\n"
                                    "1 0 0 1 9 9\n");
    std::vector<RT_Mat2D> ops(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_syms2d_from_mfile(ops, p.c_str(), "p2"), 0);
    const std::string said = testing::internal::GetCapturedStdout();
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(floats(ops[0]), (std::vector<float>{0, -1, 1, 0, 3, 4}));
    EXPECT_EQ(floats(ops[1]), (std::vector<float>{-1, 0, 0, -1, 0, 0}));
    EXPECT_NE(said.find("file src/sym on line"), std::string::npos);
    EXPECT_NE(said.find(":  not empty! Original data are cleared before reading!!\n\033[m"), std::string::npos);
    size_t warnings = 0;
    for (size_t at = said.find("Line skipped!"); at != std::string::npos; at = said.find("Line skipped!", at + 1))
        ++warnings;
    EXPECT_EQ(warnings, 1u);  // the empty line inside the block
    EXPECT_NE(said.find(std::string(82, '~')), std::string::npos);
    // The whole file: the three six-number lines.
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_syms2d_from_mfile(ops, p.c_str(), nullptr), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ops.size(), 4u);
}

// ---- point groups ----

struct Table {
    const char* name;
    const R_Mat3D* m;
    size_t slots, distinct;
    double tolerance;
};
const Table kTables[] = {
    {"T1", RMAT_PG_T1, 12, 12, 1e-6}, {"T2", RMAT_PG_T2, 24, 12, 2e-5}, {"O", RMAT_PG_O, 24, 24, 1e-6},
    {"I1", RMAT_PG_I1, 60, 60, 1e-6}, {"I2", RMAT_PG_I2, 60, 60, 1e-6},
};

using M3 = std::array<double, 9>;
M3 of(const R_Mat3D& r) { return {r.R11, r.R12, r.R13, r.R21, r.R22, r.R23, r.R31, r.R32, r.R33}; }
M3 product(const M3& a, const M3& b) {
    M3 c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) c[i * 3 + j] += a[i * 3 + k] * b[k * 3 + j];
    return c;
}
double distance(const M3& a, const M3& b) {
    double d = 0;
    for (int i = 0; i < 9; ++i) d = std::max(d, std::fabs(a[i] - b[i]));
    return d;
}
double determinant(const M3& a) {
    return a[0] * (a[4] * a[8] - a[5] * a[7]) - a[1] * (a[3] * a[8] - a[5] * a[6]) + a[2] * (a[3] * a[7] - a[4] * a[6]);
}
// Rotation angle in whole degrees.
int angle(const M3& a) { return (int)std::lround(std::acos(std::max(-1.0, std::min(1.0, (a[0] + a[4] + a[8] - 1) / 2))) * 180 / M_PI); }

TEST(PointGroups, IdentityFirstProperRotationsClosedDistinct) {
    const M3 identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (const Table& t : kTables) {
        EXPECT_EQ(distance(of(t.m[0]), identity), 0.0) << t.name;
        size_t distinct = 0;
        for (size_t a = 0; a < t.slots; ++a) {
            const M3 A = of(t.m[a]);
            EXPECT_NEAR(determinant(A), 1.0, 1e-5) << t.name << a;
            EXPECT_LT(distance(product(A, {A[0], A[3], A[6], A[1], A[4], A[7], A[2], A[5], A[8]}), identity), 3e-5)
                << t.name << a;  // orthogonal
            bool seen = false;
            for (size_t b = 0; b < a; ++b) seen = seen || distance(A, of(t.m[b])) < 1e-4;
            distinct += !seen;
            for (size_t b = 0; b < t.slots; ++b) {
                const M3 P = product(A, of(t.m[b]));
                double best = 1e9;
                for (size_t c = 0; c < t.slots; ++c) best = std::min(best, distance(P, of(t.m[c])));
                ASSERT_LE(best, t.tolerance) << t.name << " " << a << " x " << b;
            }
        }
        EXPECT_EQ(distinct, t.distinct) << t.name;
    }
    for (size_t s = 12; s < 24; ++s) EXPECT_EQ(distance(of(RMAT_PG_T2[s]), identity), 0.0);
}

TEST(PointGroups, EntriesAndRotationClasses) {
    for (const R_Mat3D* t : {RMAT_PG_T1, RMAT_PG_O})
        for (size_t s = 0; s < (t == RMAT_PG_T1 ? 12u : 24u); ++s)
            for (double v : of(t[s])) EXPECT_TRUE(v == 0 || v == 1 || v == -1);
    const float allowed[] = {0.0f, 0.309017f, 0.5f, 0.809017f, 1.0f};
    for (const R_Mat3D* t : {RMAT_PG_I1, RMAT_PG_I2}) {
        std::map<int, int> classes;
        bool twofold[3] = {false, false, false};
        for (size_t s = 0; s < 60; ++s) {
            const M3 A = of(t[s]);
            for (double v : A) EXPECT_NE(std::find(std::begin(allowed), std::end(allowed), (float)std::fabs(v)), std::end(allowed));
            ++classes[angle(A)];
            for (int k = 0; k < 3; ++k)  // the half turn about axis k: +1 there, -1 on the other two
                twofold[k] = twofold[k] || (A[4 * k] == 1 && A[4 * ((k + 1) % 3)] == -1 && A[4 * ((k + 2) % 3)] == -1);
        }
        EXPECT_EQ(classes, (std::map<int, int>{{0, 1}, {72, 12}, {120, 20}, {144, 12}, {180, 15}}));
        EXPECT_TRUE(twofold[0] && twofold[1] && twofold[2]);
    }
    // The slots shown: I1 1, 2, 5 and I2 1, 2, 5; T2 10 and 11 turn about z.
    EXPECT_EQ(floats(RMAT_PG_I1[1]), (std::vector<float>{-0.5f, -0.309017f, -0.809017f, -0.309017f, -0.809017f, 0.5f,
                                                          -0.809017f, 0.5f, 0.309017f}));
    EXPECT_EQ(floats(RMAT_PG_I1[2]), (std::vector<float>{-0.309017f, -0.809017f, -0.5f, 0.809017f, -0.5f, 0.309017f,
                                                          -0.5f, -0.309017f, 0.809017f}));
    EXPECT_EQ(floats(RMAT_PG_I2[1]), (std::vector<float>{0.5f, -0.809017f, -0.309017f, -0.809017f, -0.309017f, -0.5f,
                                                          0.309017f, 0.5f, -0.809017f}));
    EXPECT_EQ(floats(RMAT_PG_I2[2]), (std::vector<float>{0.309017f, -0.5f, 0.809017f, -0.5f, -0.809017f, -0.309017f,
                                                          0.809017f, -0.309017f, -0.5f}));
    for (const R_Mat3D* t : {RMAT_PG_I1, RMAT_PG_I2})
        EXPECT_EQ(floats(t[5]), (std::vector<float>{0, 0, -1, -1, 0, 0, 0, 1, 0}));
    EXPECT_EQ(floats(RMAT_PG_T2[10]), (std::vector<float>{-0.5f, 0.866025f, 0, -0.866025f, -0.5f, 0, 0, 0, 1}));
    EXPECT_EQ(floats(RMAT_PG_T2[11]), (std::vector<float>{-0.5f, -0.866025f, 0, 0.866025f, -0.5f, 0, 0, 0, 1}));
}

// The 5-fold axes of I1 lie in the y-z plane, those of I2 in the x-z plane, 31.7 degrees from z.
TEST(PointGroups, FiveFoldAxesOfTheTwoIcosahedralSettings) {
    const double a = 0.525731, c = 0.850651;
    const struct {
        const R_Mat3D* t;
        double axis[3];
    } wants[] = {{RMAT_PG_I1, {0, a, c}}, {RMAT_PG_I1, {0, -a, c}}, {RMAT_PG_I2, {a, 0, c}}, {RMAT_PG_I2, {-a, 0, c}}};
    for (const auto& w : wants) {
        bool found = false;
        for (size_t s = 0; s < 60; ++s) {
            const M3 A = of(w.t[s]);
            if (angle(A) != 72) continue;
            double ax[3] = {A[7] - A[5], A[2] - A[6], A[3] - A[1]};
            const double n = std::sqrt(ax[0] * ax[0] + ax[1] * ax[1] + ax[2] * ax[2]);
            double dot = 0;
            for (int k = 0; k < 3; ++k) dot += ax[k] / n * w.axis[k];
            found = found || std::fabs(std::fabs(dot) - 1) < 1e-5;
        }
        EXPECT_TRUE(found) << w.axis[0] << " " << w.axis[1];
    }
}

}  // namespace
