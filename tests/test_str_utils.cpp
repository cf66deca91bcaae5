#include "str_utils.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// Runs a statement that must end the process with the fatal line; its stdout is
// sent to stderr so that the death-test regex sees the line.
#define EXPECT_FATAL_LINE(statement, func)                                                          \
    do {                                                                                            \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                                             \
        EXPECT_EXIT(                                                                                \
            {                                                                                       \
                dup2(STDERR_FILENO, STDOUT_FILENO);                                                 \
                statement;                                                                          \
            },                                                                                      \
            ::testing::ExitedWithCode(1),                                                           \
            "\033\\[41mError in function " func "\\(\\), file src/str_utils on line [0-9]+: .*Exit now!"); \
    } while (0)

TEST(KeywordTest, MatchesOneOrTwoDashesWithoutRegardToCase) {
    struct Case {
        const char* word;
        const char* keyword;
        int expected;
    };
    const Case cases[] = {
        {"--APIX", "apix", 1}, {"-apix", "apix", 1},  {"-ApIx", "APIX", 1},   {"apix", "apix", 0},
        {"---apix", "apix", 0}, {"-apix2", "apix", 0}, {"--apx", "apix", 0},  {"-", "apix", 0},
        {"--", "apix", 0},     {"-", "", 1},          {"--x", "-x", 1},       {"", "apix", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(keywd_cmp(c.word, c.keyword), c.expected) << c.word << " / " << c.keyword;
}

TEST(KeywordTest, LongWordsAndKeywordsCompareWhole) {
    // Far longer than any name buffer: compared as they are, never cut.
    const std::string key(5000, 'k');
    EXPECT_EQ(keywd_cmp(("--" + key).c_str(), key.c_str()), 1);
    EXPECT_EQ(keywd_cmp(("-" + key).c_str(), key.c_str()), 1);
    EXPECT_EQ(keywd_cmp(("--" + key + "x").c_str(), key.c_str()), 0);
    EXPECT_EQ(keywd_cmp(("--" + key.substr(1)).c_str(), key.c_str()), 0);
}

TEST(KeywordTest, HelpRequest) {
    for (const char* w : {"-h", "--h", "-help", "--help", "-H", "--HeLp"}) EXPECT_EQ(is_keywd_help(w), 1) << w;
    for (const char* w : {"h", "help", "---h", "-hel", "-helpme", "-"}) EXPECT_EQ(is_keywd_help(w), 0) << w;
}

TEST(NameTest, NullNames) {
    for (const char* s : {"none", "Null", "NULL", "NoNe", "", "\n", "\nabc"}) EXPECT_EQ(is_str_null(s), 1) << s;
    for (const char* s : {" NULL", "NULLX", "nul", "a.mrc", " "}) EXPECT_EQ(is_str_null(s), 0) << s;
}

TEST(NameTest, FloatNumbers) {
    struct Case {
        const char* s;
        int expected;
    };
    const Case cases[] = {
        {"-12.5", 1}, {"+3", 1},  {"42", 1},    {".5", 1},  {"7.", 1},   {"", 1},    {"-", 1},
        {".", 1},     {"1e5", 0}, {"1.2.3", 0}, {"+-1", 0}, {" 1", 0},   {"1 ", 0},  {"0x1", 0},
    };
    for (const Case& c : cases) {
        std::string s = c.s;
        EXPECT_EQ(is_float_number(&s[0]), c.expected) << '"' << c.s << '"';
    }
}

TEST(NameTest, IntegerWordsThatDoNotFitAreRefused) {
    struct Case {
        const char* s;
        bool fits;
        int value;
    };
    const Case cases[] = {
        {"123.7", true, 123},        {"-4.9", true, -4},          {" +7x", true, 7},
        {"abc", true, 0},            {"2147483647", true, 2147483647}, {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},    {"-2147483649", false, 0},   {"4294967396", false, 0},
        {"99999999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        int v = -5;
        EXPECT_EQ(parse_int_word(c.s, v), c.fits) << c.s;
        EXPECT_EQ(v, c.fits ? c.value : -5) << c.s;
    }
}

TEST(NameTest, SuffixLength) {
    EXPECT_EQ(get_file_suffixn("a.mrc", ".mrc"), 4);
    EXPECT_EQ(get_file_suffixn(".mrc", ".mrc"), 0);  // not strictly longer
    EXPECT_EQ(get_file_suffixn("a.MRC", ".mrc"), 0);  // case-sensitive
    EXPECT_EQ(get_file_suffixn("a.mrcs", ".mrc"), 0);
    EXPECT_EQ(get_file_suffixn("a", ""), 0);
}

// A 1024-byte buffer filled with junk, to see that the whole of it is zeroed.
std::vector<char> junk_buffer() { return std::vector<char>(VORN_NAME_LEN, 'x'); }

void expect_zero_tail(const std::vector<char>& buf, size_t from) {
    for (size_t i = from; i < buf.size(); ++i) ASSERT_EQ(buf[i], '\0') << "byte " << i;
}

TEST(NameTest, ReplaceSuffix) {
    struct Case {
        const char* new_suffix;
        const char* name;
        const char* old_suffix;
        const char* expected;
    };
    const Case cases[] = {
        {"_EPA.log", "a.mrc", ".mrc", "a_EPA.log"},
        {"_EPA.log", "a.tif", ".mrc", "a.tif_EPA.log"},
        {"_EPA.log", ".mrc", ".mrc", ".mrc_EPA.log"},  // name equal to the old suffix is kept whole
        {".ctf", "dir/a.MRC", ".mrc", "dir/a.MRC.ctf"},
        {"", "a.mrc", ".mrc", "a"},
        {".pow", "b.mrc.mrc", ".mrc", "b.mrc.pow"},
    };
    for (const Case& c : cases) {
        std::vector<char> dst = junk_buffer();
        EXPECT_EQ(replace_file_suffix(dst.data(), c.new_suffix, c.name, c.old_suffix), 0);
        EXPECT_STREQ(dst.data(), c.expected);
        expect_zero_tail(dst, strlen(c.expected));
    }
}

TEST(NameTest, CopyZeroesWholeBuffer) {
    std::vector<char> dst = junk_buffer();
    EXPECT_EQ(strlcpy(dst.data(), "micrograph_001.mrc"), 18u);
    EXPECT_STREQ(dst.data(), "micrograph_001.mrc");
    expect_zero_tail(dst, 18);

    const std::string longest(VORN_NAME_LEN - 1, 'n');
    dst = junk_buffer();
    EXPECT_EQ(strlcpy(dst.data(), longest.c_str()), longest.size());
    EXPECT_EQ(std::string(dst.data()), longest);
}

TEST(NameTest, LongestNamesThatFit) {
    // The result counts, not the input: a long name losing its suffix may fit.
    const std::string stem(VORN_NAME_LEN - 5, 's');
    std::vector<char> dst = junk_buffer();
    replace_file_suffix(dst.data(), ".ctf", (stem + ".mrc").c_str(), ".mrc");
    EXPECT_EQ(std::string(dst.data()), stem + ".ctf");
    replace_file_suffix(dst.data(), "", (stem + "abcd.mrc").c_str(), ".mrc");
    EXPECT_EQ(std::string(dst.data()), stem + "abcd");
}

TEST(NameDeathTest, NamesThatDoNotFitAreFatal) {
    // A cut name could give two micrographs the same output names.
    const std::string too_long(VORN_NAME_LEN, 'n');
    const std::string stem(VORN_NAME_LEN - 4, 's');
    std::vector<char> dst = junk_buffer();
    EXPECT_FATAL_LINE(strlcpy(dst.data(), too_long.c_str()), "strlcpy");
    EXPECT_FATAL_LINE(replace_file_suffix(dst.data(), ".ctf", (stem + ".mrc").c_str(), ".mrc"),
                      "replace_file_suffix");
    EXPECT_FATAL_LINE(replace_file_suffix(dst.data(), "", too_long.c_str(), ".mrc"), "replace_file_suffix");
}

// ---- word splitting ----

struct SplitForm {
    const char* name;
    bool copies;
    bool by_space;
    bool limited;
    std::function<int(char* s, const char* delim, char** words, int n)> run;
};

const std::vector<SplitForm>& split_forms() {
    static const std::vector<SplitForm> forms = {
        {"strsplit", true, false, false, [](char* s, const char* d, char** w, int) { return strsplit(s, d, w); }},
        {"strnsplit", true, false, true, [](char* s, const char* d, char** w, int n) { return strnsplit(s, d, w, n); }},
        {"strsplit_inplace", false, false, false,
         [](char* s, const char* d, char** w, int) { return strsplit_inplace(s, d, w); }},
        {"strnsplit_inplace", false, false, true,
         [](char* s, const char* d, char** w, int n) { return strnsplit_inplace(s, d, w, n); }},
        {"strsplit_byspace", true, true, false, [](char* s, const char*, char** w, int) { return strsplit_byspace(s, w); }},
        {"strnsplit_byspace", true, true, true,
         [](char* s, const char*, char** w, int n) { return strnsplit_byspace(s, w, n); }},
        {"strsplit_inplace_byspace", false, true, false,
         [](char* s, const char*, char** w, int) { return strsplit_inplace_byspace(s, w); }},
        {"strnsplit_inplace_byspace", false, true, true,
         [](char* s, const char*, char** w, int n) { return strnsplit_inplace_byspace(s, w, n); }},
    };
    return forms;
}

const char WS[] = " \t\n\r\v\f";

TEST(SplitTest, EveryFormFollowsTheTokenRules) {
    struct Case {
        const char* text;
        int n;  // limit, for the limited forms
        std::vector<std::string> all;  // words without a limit
    };
    const Case cases[] = {
        {"a b c d e f g h i\n", 7, {"a", "b", "c", "d", "e", "f", "g", "h", "i"}},
        {"  x\t\ty \r\n", 5, {"x", "y"}},
        {"one\vtwo\fthree", 2, {"one", "two", "three"}},
        {" \t \n", 3, {}},
        {"single", 1, {"single"}},
    };
    for (const SplitForm& form : split_forms()) {
        for (const Case& c : cases) {
            std::string text = c.text;
            std::vector<char*> words(16, nullptr);
            const int count = form.run(&text[0], WS, words.data(), c.n);
            const size_t want = form.limited ? std::min(c.all.size(), (size_t)c.n) : c.all.size();
            ASSERT_EQ(count, (int)want) << form.name << " on \"" << c.text << '"';
            for (size_t k = 0; k < want; ++k) EXPECT_EQ(std::string(words[k]), c.all[k]) << form.name;
            EXPECT_EQ(words[want], nullptr) << form.name << ": wrote past the words stored";
            if (form.copies) {
                EXPECT_EQ(text, c.text) << form.name << " changed its source";
                // The private copy lives on; give it back so the leak check stays quiet.
                if (count > 0) free(words[0] - strspn(c.text, WS));
            } else if (count > 0) {
                EXPECT_GE(words[0], &text[0]);
                EXPECT_LT(words[0], &text[0] + text.size());
            }
        }
    }
}

TEST(SplitTest, LimitLeavesTheRestOfTheLineWhole) {
    std::string line = "1 2 3 4 5 6 7 8 9";
    char* words[9] = {};
    ASSERT_EQ(strnsplit_inplace_byspace(&line[0], words, 7), 7);
    EXPECT_STREQ(words[6], "7");
    EXPECT_STREQ(words[6] + 2, "8 9");
    EXPECT_EQ(words[7], nullptr);
}

TEST(SplitTest, OwnDelimitersAndNothingToSplit) {
    std::string text = ",,a,,b;c,";
    char* words[4] = {};
    ASSERT_EQ(strsplit_inplace(&text[0], ",", words), 2);
    EXPECT_STREQ(words[0], "a");
    EXPECT_STREQ(words[1], "b;c");

    for (const SplitForm& form : split_forms()) {
        std::string empty, some = "a b";
        char* w[2] = {};
        EXPECT_EQ(form.run(nullptr, WS, w, 2), 0) << form.name;
        EXPECT_EQ(form.run(&empty[0], WS, w, 2), 0) << form.name;
        if (form.limited) {
            EXPECT_EQ(form.run(&some[0], WS, w, 0), 0) << form.name;
            EXPECT_EQ(form.run(&some[0], WS, w, -3), 0) << form.name;
        }
        if (!form.by_space) {
            EXPECT_EQ(form.run(&some[0], nullptr, w, 2), 0) << form.name;
            EXPECT_EQ(form.run(&some[0], "", w, 2), 0) << form.name;
        }
        EXPECT_EQ(w[0], nullptr) << form.name;
        EXPECT_EQ(some, "a b") << form.name;
    }
}

TEST(SplitTest, MissingWordListIsReported) {
    struct Case {
        const char* form;
        const char* message;
    };
    const Case cases[] = {
        {"strsplit", "Error in function strsplit()!Memory for 'dest' not allocated.\n"},
        {"strnsplit", "Error in function strnsplit()!Memory for 'dest' not allocated.\n"},
        {"strsplit_inplace", "Error in function strnsplit()!Memory for 'dest' not allocated.\n"},
        {"strnsplit_inplace", "Error in function strnsplit()!Memory for 'dest' not allocated.\n"},
        {"strsplit_byspace", "Error in function strsplit_byspace()!Memory for 'dest' not allocated.\n"},
        {"strsplit_inplace_byspace", "Error in function strnsplit()!Memory for 'dest' not allocated.\n"},
        {"strnsplit_inplace_byspace", "Error in function strnsplit()!Memory for 'dest' not allocated.\n"},
    };
    for (const Case& c : cases) {
        for (const SplitForm& form : split_forms()) {
            if (std::string(form.name) != c.form) continue;
            std::string text = "a b";
            testing::internal::CaptureStdout();
            EXPECT_EQ(form.run(&text[0], WS, nullptr, 2), 0) << c.form;
            EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        }
    }
}

TEST(SplitDeathTest, MissingWordListEndsLimitedSplitBySpace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            strnsplit_byspace("a b", nullptr, 2);
        },
        ::testing::ExitedWithCode(1), "Error in function strnsplit\\(\\)!Memory for 'dest' not allocated.\n");
    char** none = nullptr;
    EXPECT_EQ(strnsplit_byspace("", none, 2), 0);  // nothing to split: no complaint
}

// ---- block arrays ----

TEST(BlockArrayTest, LayoutAndRoundTrips2d) {
    const int rows = 3, cols = 5;
    double** a = (double**)malloc2d(rows, cols, sizeof(double));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ((void*)a[0], (void*)(a + rows));  // data right after the row pointers
    for (int r = 0; r < rows; ++r) EXPECT_EQ(a[r], a[0] + r * cols);

    double src[rows * cols], back[rows * cols] = {};
    for (int i = 0; i < rows * cols; ++i) src[i] = 0.5 * i - 3;
    memcpy_1d_to_2d((void**)a, src, rows, cols, sizeof(double));
    EXPECT_EQ(a[2][1], src[2 * cols + 1]);
    memcpy_2d_to_1d(back, (void**)a, rows, cols, sizeof(double));
    EXPECT_EQ(memcmp(src, back, sizeof(src)), 0);
    empty2d_array((void**)a, rows, cols, sizeof(double));
    for (int i = 0; i < rows * cols; ++i) EXPECT_EQ(a[0][i], 0.0);
    free2d(a);

    char** s = strmalloc2d(2, 8);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s[1], s[0] + 8);
    free2d(s);
}

TEST(BlockArrayTest, LayoutAndRoundTrips3d) {
    const int K = 2, L = 3, M = 4;
    int*** a = (int***)malloc3d(K, L, M, sizeof(int));
    ASSERT_NE(a, nullptr);
    int** groups = (int**)(a + K);
    int* data = (int*)(groups + K * L);
    for (int i = 0; i < K; ++i) {
        EXPECT_EQ(a[i], groups + i * L);
        for (int j = 0; j < L; ++j) EXPECT_EQ(a[i][j], data + (i * L + j) * M);
    }
    int src[K * L * M], back[K * L * M] = {};
    for (int i = 0; i < K * L * M; ++i) src[i] = 7 * i + 1;
    memcpy_1d_to_3d((void***)a, src, K, L, M, sizeof(int));
    EXPECT_EQ(a[1][2][3], src[(1 * L + 2) * M + 3]);
    EXPECT_EQ(a[0][1][0], src[M]);
    memcpy_3d_to_1d(back, (void***)a, K, L, M, sizeof(int));
    EXPECT_EQ(memcmp(src, back, sizeof(src)), 0);
    free3d(a);
}

TEST(BlockArrayTest, SizesBeyond32BitsAreAllocatedWhole) {
    // 2^31 data bytes: the size no longer fits in an int. Only the ends are touched.
    const int rows = 1 << 16, cols = 1 << 15;
    char** a = (char**)malloc2d(rows, cols, 1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a[rows - 1] - a[0], (ptrdiff_t)(rows - 1) * cols);
    a[rows - 1][cols - 1] = 'z';
    a[0][0] = 'a';
    EXPECT_EQ(a[rows - 1][cols - 1], 'z');
    free2d(a);

    const int K = 2, L = 1 << 15, M = 1 << 15;
    char*** b = (char***)malloc3d(K, L, M, 1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b[K - 1][L - 1] - b[0][0], ((ptrdiff_t)K * L - 1) * M);
    b[K - 1][L - 1][M - 1] = 'z';
    EXPECT_EQ(b[K - 1][L - 1][M - 1], 'z');
    free3d(b);
}

TEST(BlockArrayTest, ImpossibleSizesReportAndGiveNull) {
    const int big = INT_MAX;
    for (auto dims : std::vector<std::vector<int>>{{big, big, big}, {-1, 4, 4}, {4, -1, 4}, {4, 4, -8}}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(malloc2d(dims[0], dims[1], dims[2]), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Function 'malloc()' error in 'malloc2d()' ! Not enough memory!\n");
    }
    for (auto dims : std::vector<std::vector<int>>{{big, big, big, big}, {1 << 21, 1 << 21, 1 << 21, 8}, {2, -1, 3, 4}}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(malloc3d(dims[0], dims[1], dims[2], dims[3]), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "\nFunction 'malloc()' error in 'malloc3d()' ! Not enough memory!");
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(strmalloc2d(-2, 10), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Function 'malloc()' error in 'malloc2d()' ! Not enough memory!\n");
}

}  // namespace
