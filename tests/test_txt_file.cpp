#include "txt_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// A temporary file holding text, open for reading; closed and removed at the end.
class TextFile {
public:
    explicit TextFile(const std::string& text) {
        path_ = testing::TempDir() + "txt_file_XXXXXX";
        const int fd = mkstemp(&path_[0]);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        close(fd);
        f_ = fopen(path_.c_str(), "r");
        EXPECT_NE(f_, nullptr);
    }
    ~TextFile() {
        fclose(f_);
        unlink(path_.c_str());
    }
    FILE* f() const { return f_; }
    char* path() { return &path_[0]; }

private:
    std::string path_;
    FILE* f_;
};

// The next characters of f, up to and including a newline.
std::string rest_of_line(FILE* f) {
    std::string s;
    for (int c; (c = fgetc(f)) != EOF;) {
        s += (char)c;
        if (c == '\n') break;
    }
    return s;
}

TEST(ReadLineTest, LinesKeepNewlineAndLongOnesComeInPieces) {
    struct Form {
        int (*read)(char*, FILE*);
        size_t len;  // buffer size: lines of at most len - 1 characters
    };
    for (const Form form : {Form{read_one_line, VORN_LINE_LEN}, Form{read_one_lline, VORN_LLINE_LEN}}) {
        const std::string first(form.len / 2, 'q');
        const std::string longest(form.len - 1, 'a');
        TextFile file(first + "\n" + longest + "bc\nlast");
        std::vector<char> line(form.len, 'x');
        EXPECT_EQ(form.read(line.data(), file.f()), 0);
        EXPECT_EQ(std::string(line.data()), first + "\n");
        for (size_t i = first.size() + 1; i < line.size(); ++i) ASSERT_EQ(line[i], '\0') << "byte " << i;
        form.read(line.data(), file.f());
        EXPECT_EQ(std::string(line.data()), longest);
        for (const char* piece : {"bc\n", "last", ""}) {  // "" past the end of the file
            EXPECT_EQ(form.read(line.data(), file.f()), 0);
            EXPECT_STREQ(line.data(), piece);
        }
    }
}

TEST(ReadLineTest, NumberedPiecesCarryTheirPhysicalLine) {
    // Pieces of one long line share its number; the last line has no newline.
    TextFile file("one\n" + std::string(1500, 'a') + "\n\nfour");
    NumberedLines lines = numbered_lines(file.f());
    char line[VORN_LINE_LEN];
    std::vector<long> numbers;
    while (read_numbered_line(line, lines)) numbers.push_back(lines.number);
    EXPECT_EQ(numbers, (std::vector<long>{1, 2, 2, 3, 4}));
    EXPECT_STREQ(line, "");
}

// A NUL byte ends a whole line's text but not the line: the next line is its
// own, and numbered pieces keep counting newlines behind NULs.
TEST(ReadLineTest, NulBytesNeverHideTheLineAfterThem) {
    const std::string text = std::string("ab\0cd\nef\n", 9) + std::string(1500, 'a') + std::string("\nz\0\nlast", 8);
    TextFile numbered_file(text), whole_file(text);
    NumberedLines numbered = numbered_lines(numbered_file.f());
    char line[VORN_LINE_LEN];
    std::vector<long> numbers;
    while (read_numbered_line(line, numbered)) numbers.push_back(numbered.number);
    EXPECT_EQ(numbers, (std::vector<long>{1, 2, 3, 3, 4, 5}));

    WholeLines whole = whole_lines(whole_file.f());
    std::vector<std::string> texts;
    while (read_whole_line(whole)) texts.push_back(whole.text);
    EXPECT_FALSE(whole.failed);
    EXPECT_EQ(whole.number, 5);
    EXPECT_EQ(texts, (std::vector<std::string>{"ab", "ef\n", std::string(1500, 'a') + "\n", "z", "last"}));
    free_whole_lines(whole);
}

// A stream that cannot be read (here a directory) ends both readers at once,
// and the whole-line reader says it failed rather than reached the end.
TEST(ReadLineTest, ReadErrorIsNotTheEndOfTheFile) {
    FILE* f = fopen(testing::TempDir().c_str(), "r");
    ASSERT_NE(f, nullptr);
    NumberedLines numbered = numbered_lines(f);
    char line[VORN_LINE_LEN];
    EXPECT_FALSE(read_numbered_line(line, numbered));
    EXPECT_TRUE(ferror(f));
    EXPECT_STREQ(line, "");
    WholeLines whole = whole_lines(f);
    EXPECT_FALSE(read_whole_line(whole));
    EXPECT_TRUE(whole.failed);
    EXPECT_EQ(whole.number, 0);
    free_whole_lines(whole);
    fclose(f);
}

// The kind of a file that is no regular file, told without opening it: a
// named pipe would block the opener.
TEST(FileKindTest, NamesWhatIsNoRegularFileWithoutOpeningIt) {
    TextFile regular("x\n");
    std::string made = testing::TempDir() + "txt_file_kind_XXXXXX";
    ASSERT_NE(mkdtemp(&made[0]), nullptr);
    const std::string fifo = made + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        const char* kind;  // null: left to the opener
    } cases[] = {{regular.path(), nullptr}, {made + "/absent", nullptr}, {made, "a directory"},
                 {fifo, "a named pipe"},    {"/dev/null", "a device"}};
    for (const auto& c : cases) {
        const char* kind = non_regular_file_kind(c.path.c_str());
        EXPECT_STREQ(kind, c.kind) << c.path;
    }
    unlink(fifo.c_str());
    rmdir(made.c_str());
}

TEST(ReadNumbersTest, StoresTheFirstWordsAndLeavesTheRest) {
    TextFile file("1.5 -2\t3e2  0.25\n\n7 8\n");
    std::vector<float> v(5, -9.0f);
    EXPECT_EQ(read_one_line_to_f32(v.data(), 3, file.f()), 0);
    EXPECT_EQ(v, (std::vector<float>{1.5f, -2.0f, 300.0f, -9.0f, -9.0f}));
    EXPECT_EQ(read_one_line_to_f32(v.data(), 5, file.f()), 0);  // blank line: nothing stored
    EXPECT_EQ(v, (std::vector<float>{1.5f, -2.0f, 300.0f, -9.0f, -9.0f}));
    EXPECT_EQ(read_one_line_to_f32(v.data(), 5, file.f()), 0);
    EXPECT_EQ(v, (std::vector<float>{7.0f, 8.0f, 300.0f, -9.0f, -9.0f}));
}

TEST(ReadNumbersTest, StrictFormWantsEnoughColumns) {
    TextFile file("4 5\n1 2 3 4\n");
    std::vector<float> v(4, -1.0f);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_one_line_to_f32_strict(v.data(), 3, file.f()), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(v, std::vector<float>(4, -1.0f));
    EXPECT_EQ(out.rfind("\033[43mWarning in function read_one_line_to_f32_strict(), file src/txt_file on line ", 0), 0u)
        << out;
    EXPECT_NE(out.find(":Number of line columns must be at least the data points!\n\033[m"), std::string::npos) << out;

    testing::internal::CaptureStdout();
    EXPECT_EQ(read_one_line_to_f32_strict(v.data(), 3, file.f()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(v, (std::vector<float>{1.0f, 2.0f, 3.0f, -1.0f}));
}

TEST(FindLineTest, FindsTheFirstLineHoldingThePattern) {
    const std::string piece(VORN_LINE_LEN - 1, '.');
    // Lines: "data_" (0), "loop_" (6), "_rlnDefocusU #1" (12), a long line cut into
    // pieces at 28 and 1051 whose second piece holds "_rlnPhaseShift", "_rlnPhaseShift #2" (1066).
    const std::string text = "data_\nloop_\n_rlnDefocusU #1\n" + piece + "_rlnPhaseShift\n_rlnPhaseShift #2\n";
    struct Case {
        const char* pattern;
        long offset;
        const char* line_at_offset;
    };
    const Case cases[] = {
        {"data_", 0, "data_\n"},
        {"_rln", 12, "_rlnDefocusU #1\n"},
        {"_rlnPhaseShift", 1051, "_rlnPhaseShift\n"},
        {"#2", 1066, "_rlnPhaseShift #2\n"},
    };
    TextFile file(text);
    for (const Case& c : cases) {
        rest_of_line(file.f());  // a position other than 0: the search rewinds
        EXPECT_EQ(FILE_find_str_line(file.f(), c.pattern), c.offset) << c.pattern;
        EXPECT_EQ(rest_of_line(file.f()), c.line_at_offset) << c.pattern;
    }
    EXPECT_EQ(FILE_find_str_line(file.f(), "_rlnCtfFigureOfMerit"), -1);
    EXPECT_EQ(fgetc(file.f()), EOF);
    // A pattern split over two pieces of a long line is not seen.
    EXPECT_EQ(FILE_find_str_line(file.f(), "..._rln"), -1);
}

TEST(FindLineTest, LimitedSearchLooksAtTheFirstNPlusOneLines) {
    const std::string piece(VORN_LINE_LEN - 1, '.');
    TextFile file("alpha\nbeta\n" + piece + "gamma\n");  // lines: alpha, beta, piece, gamma
    struct Case {
        const char* pattern;
        int N;
        long offset;
        int line_no;
    };
    const Case cases[] = {
        {"alpha", 0, 0, 1},  {"beta", 0, -1, -1},  {"beta", 1, 6, 2},    {"gamma", 2, -1, -1},
        {"gamma", 3, 1034, 4}, {"gamma", 100, 1034, 4}, {"delta", 100, -1, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FILE_Nfind_str_line(file.f(), c.pattern, c.N), c.offset) << c.pattern << " N=" << c.N;
        EXPECT_EQ(f_Nfind_str_line(file.path(), c.pattern, c.N), c.line_no) << c.pattern << " N=" << c.N;
    }
}

TEST(FindLineDeathTest, UnopenableFileIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string path = testing::TempDir() + "no_such_dir/no_such_file.star";
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            f_Nfind_str_line(&path[0], "_rlnPhaseShift", 100);
        },
        ::testing::ExitedWithCode(1),
        "Cannot open file .*no_such_file.star. Permission denied or wrong file name.\n"
        "\033\\[41mError in function f_Nfind_str_line\\(\\), file src/txt_file on line [0-9]+: "
        "open file '.*no_such_file.star' failed.! Exit now!");
}

}  // namespace
