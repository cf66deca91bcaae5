// STAR header parsing, the label index, row positioning and counting, the
// micrograph list and the particle STAR writer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "coordfile_fixture.h"
#include "starfile.h"

namespace {

using StarFiles = CoordFileTest;

std::string next_line(FILE* f) {
    char buf[1024] = {0};
    return std::fgets(buf, sizeof buf, f) ? buf : "";
}

struct HeaderCase {
    const char* what;
    std::string text;
    int count;
    std::vector<std::string> labels;
    std::vector<int> columns;
    std::string after;  // the line read next: the header-ending line is consumed
};

TEST_F(StarFiles, HeaderEndsAtTheFirstLineThatIsNotALabel) {
    const HeaderCase cases[] = {
        {"data row", "data_\n\nloop_\n_rlnMicrographName #1\n_rlnDefocusU #2\na.mrc 1\nb.mrc 2\n", 2,
         {"_rlnMicrographName", "_rlnDefocusU"}, {1, 2}, "b.mrc 2\n"},
        {"comment first", "# made by hand\n_rlnDefocusU #1\n1\n", 0, {}, {}, "_rlnDefocusU #1\n"},
        {"label not in the table", "data_\nloop_\n_rlnVoltage #1\n_rlnCtfAstigmatism #3\n_rlnDefocusU #2\n", 1,
         {"_rlnVoltage"}, {1}, "_rlnDefocusU #2\n"},
        {"table label without #", "loop_\n_rlnVoltage #1\n_rlnDefocusU 2\n_rlnDefocusV #3\n", 1, {"_rlnVoltage"},
         {1}, "_rlnDefocusV #3\n"},
        {"end of file", "data_\r\nloop_\n\t_rlnDefocusV\t#4\r\n_rlnDefocusU #7", 2, {"_rlnDefocusV", "_rlnDefocusU"},
         {4, 7}, ""},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.what);
        FILE* f = std::fopen(write("h.star", c.text).c_str(), "r");
        StarHead* head = star_head_new();
        head->count = 99;  // the reader clears the record itself
        star_read_head(f, head);
        ASSERT_EQ(head->count, c.count);
        for (int i = 0; i < c.count; ++i) {
            EXPECT_STREQ(head->label[i], c.labels[i].c_str());
            EXPECT_EQ(head->column[i], c.columns[i]);
        }
        EXPECT_EQ(next_line(f), c.after);
        std::fclose(f);
        std::free(head);
    }
}

TEST_F(StarFiles, HeaderReadsNoMoreThan512Lines) {
    std::string text;
    for (int i = 1; i <= 600; ++i) text += "_rlnDefocusU #" + std::to_string(i) + "\n";
    FILE* f = std::fopen(write("long.star", text).c_str(), "r");
    StarHead* head = star_head_new();
    star_read_head(f, head);
    EXPECT_EQ(head->count, 512);
    EXPECT_EQ(head->column[511], 512);
    EXPECT_EQ(next_line(f), "_rlnDefocusU #513\n");
    std::fclose(f);
    std::free(head);
}

TEST_F(StarFiles, IndexTakesColumnNumbersFromTheText) {
    const std::string path = write("i.star", "data_\nloop_\n_rlnDefocusU #7\n_rlnComment #2\n_rlnMicrographName #1\n");
    StarHead* head = star_head_new();
    ParticleInfoIndex* index = particle_info_index_new();
    starf_read_head_info_index(path.c_str(), head, index);
    EXPECT_EQ(head->column[0], 7);
    EXPECT_EQ(index->DefocusU, 7);
    EXPECT_EQ(index->MicrographName, 1);
    EXPECT_EQ(index->DefocusV, 0);
    EXPECT_EQ(get_info_index_from_keyword("_rlnComment", index), 0);  // a table label, but not indexed

    ParticleInfoIndex* again = particle_info_index_new();
    set_info_index_from_starf(path.c_str(), again);
    EXPECT_EQ(std::memcmp(again, index, sizeof *index), 0);
    std::free(head);
    std::free(index);
    std::free(again);
}

// The 1-based slot of each indexed label in the 41-slot record.
const std::pair<const char*, int> INDEX_SLOTS[] = {
    {"_rlnBfactor", 1}, {"_rlnMicrographName", 2}, {"_rlnImageName", 3}, {"_rlnCoordinateX", 10},
    {"_rlnCoordinateY", 11}, {"_rlnVoltage", 17}, {"_rlnPhaseShift", 18}, {"_rlnDefocusU", 19},
    {"_rlnDefocusV", 20}, {"_rlnDefocusAngle", 21}, {"_rlnSphericalAberration", 22},
    {"_rlnDetectorPixelSize", 23}, {"_rlnMagnification", 24}, {"_rlnAmplitudeContrast", 25},
    {"_rlnCtfFigureOfMerit", 26}, {"_rlnCtfMaxResolution", 27}, {"_rlnClassNumber", 28},
    {"_rlnGroupNumber", 29}, {"_rlnRandomSubset", 30}, {"_rlnNormCorrection", 32}, {"_rlnOriginX", 33},
    {"_rlnOriginY", 34}, {"_rlnAngleRot", 35}, {"_rlnAngleTilt", 36}, {"_rlnAnglePsi", 37},
    {"_rlnLogLikeliContribution", 38}, {"_rlnNrOfSignificantSamples", 39},
    {"_rlnMaxValueProbDistribution", 40}, {"_rlnAutopickFigureOfMerit", 41},
};

TEST(StarIndex, EachLabelHasItsSlotAndReservedSlotsAreLeftAlone) {
    ParticleInfoIndex index;
    int* raw = reinterpret_cast<int*>(&index);
    for (int i = 0; i < 41; ++i) raw[i] = -5;
    particle_info_index_init(&index);
    for (const auto& [label, slot] : INDEX_SLOTS) {
        EXPECT_EQ(raw[slot - 1], 0) << label;
        set_info_index_from_keyword_number(label, 100 + slot, &index);
    }
    set_info_index_from_keyword_number("_rlnComment", 3, &index);  // not indexed: nothing changes
    int reserved = 0;
    for (int i = 0; i < 41; ++i) {
        bool indexed = false;
        for (const auto& entry : INDEX_SLOTS) indexed |= entry.second == i + 1;
        if (indexed) {
            EXPECT_EQ(raw[i], 101 + i) << "slot " << i + 1;
        } else {
            EXPECT_EQ(raw[i], -5) << "reserved slot " << i + 1;
            ++reserved;
        }
    }
    EXPECT_EQ(reserved, 12);
    for (const auto& [label, slot] : INDEX_SLOTS) EXPECT_EQ(get_info_index_from_keyword(label, &index), 100 + slot);
}

TEST(StarLabels, TableLookupIsExactAndEndsAtTheEmptyEntry) {
    int entries = 0;
    while (star_head_keywords[entries][0] != '\0') ++entries;
    EXPECT_EQ(entries, 228);
    EXPECT_STREQ(star_head_keywords[29], "_rlnDataDimensionality");
    EXPECT_STREQ(star_head_keywords[75], "_rlnDataDimensionality");
    const std::pair<const char*, int> words[] = {
        {"_rlnComment", 1},  {"_rlnSpectralIndex", 1}, {"_rlnCtfImage", 1},        {"_rlnDataDimensionality", 1},
        {"_rlnbfactor", 0},  {"_rlnBfactor ", 0},      {"_rlnCtfAstigmatism", 0}, {"", 0},
    };
    for (const auto& [word, known] : words) EXPECT_EQ(is_star_head_keyword(word), known) << "'" << word << "'";
}

TEST(StarRecords, ParticleInfoDefaults) {
    ParticleInfo info;
    std::memset(&info, 0x7f, sizeof info);
    particle_info_init(&info);
    EXPECT_STREQ(info.MicrographName, "");
    EXPECT_STREQ(info.ImageName, "");
    const float floats[][2] = {
        {info.Bfactor, 200.0f},          {info.Voltage, 300.0f},         {info.DefocusU, 20000.0f},
        {info.DefocusV, 20000.0f},       {info.SphericalAberration, 2.7f}, {info.Magnification, 78652.0f},
        {info.CtfFigureOfMerit, 0.15f},  {info.LogLikeliContribution, 10000.0f},
        {info.AutopickFigureOfMerit, 0.3f}, {info.CoordinateX, 0.0f},  {info.AnglePsi, 0.0f},
        {info.DetectorPixelSize, 14.0f}, {info.MaxValueProbDistribution, 0.1f},
    };
    for (const auto& v : floats) EXPECT_EQ(v[0], v[1]) << "default " << v[1];
    EXPECT_EQ(info.ClassNumber, 1);
    EXPECT_EQ(info.NrOfSignificantSamples, 100);
    EXPECT_EQ(info.reserved31, 0x7f7f7f7f);  // reserved members keep their values
    // Members follow the slot order: Bfactor right after the names, the last slot last.
    EXPECT_EQ(reinterpret_cast<char*>(&info.Bfactor) - reinterpret_cast<char*>(&info), 512);
    EXPECT_EQ(reinterpret_cast<char*>(&info.AutopickFigureOfMerit) - reinterpret_cast<char*>(&info), 512 + 38 * 4);
}

const char* FIVE_ROWS =
    "\ndata_\n\nloop_\n_rlnMicrographName #1\n_rlnDefocusU #2\nr0 1\nr1 2\n\nr2 3\nr3 4\nr4 5\n";

TEST_F(StarFiles, SetPointerLeavesTheFileAtDataRowN) {
    FILE* f = std::fopen(write("rows.star", FIVE_ROWS).c_str(), "r");
    const std::pair<long, std::string> cases[] = {{2, "r2 3\n"}, {0, "r0 1\n"}, {4, "r4 5\n"}, {9, ""}};
    for (const auto& [n, row] : cases) {
        star_set_pointer(f, n);
        EXPECT_EQ(next_line(f), row) << n;
    }
    star_set_pointer(f, 1);
    star_set_next_line(f);
    EXPECT_EQ(next_line(f), "\n");
    std::fclose(f);
}

TEST_F(StarFiles, RowCountDependsOnTheNumberOfLabels) {
    const std::pair<std::string, long> cases[] = {
        {FIVE_ROWS, 5},
        {"loop_\n_rlnMicrographName #1\na.mrc\n   \nb.mrc\n", 3},  // one label: a row of blanks counts
        {"loop_\n_rlnMicrographName #1\n_rlnDefocusU #2\na 1\n   \nb 2\n# note\n", 3},
        {"loop_\n_rlnMicrographName #1\n_rlnDefocusU #2\n", 0},
    };
    for (const auto& [text, rows] : cases) {
        const std::string path = write("n.star", text);
        EXPECT_EQ(get_lineN_from_starf(path.c_str()), rows) << text;
    }
}

TEST_F(StarFiles, MicrographListKeepsFullRowsInOrder) {
    const std::string path = write("ctf.star",
                                   "data_\nloop_\n_rlnDefocusU #1\n_rlnMicrographName #2\n_rlnVoltage #3\n"
                                   "1 a.mrc 300\n2 b.mrc\n3 c.mrc 300 extra\n\n4 d.mrc 300\n");
    char** list = get_all_micrographs_from_ctfstar(path.c_str());
    EXPECT_STREQ(list[0], "a.mrc");
    EXPECT_STREQ(list[1], "c.mrc");  // b.mrc has fewer values than labels
    EXPECT_STREQ(list[2], "d.mrc");
    EXPECT_STREQ(list[3], "");
    std::free(list);
}

TEST_F(StarFiles, MicrographColumnOutsideTheRowsIsRejectedByName) {
    const std::pair<const char*, const char*> cases[] = {
        {"loop_\n_rlnDefocusU #1\n_rlnMicrographName #5\n1 a.mrc\n2 b.mrc\n", "column 5 of label _rlnMicrographName"},
        {"loop_\n_rlnDefocusU #1\n_rlnMicrographName #0\n1 a.mrc\n", "label _rlnMicrographName is missing"},
        {"loop_\n_rlnDefocusU #1\n_rlnVoltage #2\n1 300\n", "label _rlnMicrographName is missing"},
    };
    for (const auto& [text, message] : cases) {
        const std::string path = write("bad.star", text);
        testing::internal::CaptureStdout();
        char** list = get_all_micrographs_from_ctfstar(path.c_str());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(message), std::string::npos) << out;
        EXPECT_STREQ(list[0], "");
        std::free(list);
    }
}

TEST_F(StarFiles, MissingFileEndsTheProcess) {
    const std::string absent = path("absent.star");
    StarHead head;
    EXPECT_EXIT(
        {
            dup2(2, 1);
            starf_read_head(absent.c_str(), &head);
        },
        ::testing::ExitedWithCode(1), "Cannot open file .*absent.star. Permission denied.*\n.*starf_read_head.*open file");
    EXPECT_EXIT(
        {
            dup2(2, 1);
            get_lineN_from_starf(absent.c_str());
        },
        ::testing::ExitedWithCode(1), "get_lineN_from_starf.*open file '.*absent.star' failed");
}

TEST(StarWords, HeaderWordsAndSuffix) {
    char w_data[] = "data_x", w_loop[] = "loop_", w_label[] = "_rlnVoltage", w_hash[] = "#1", w_val[] = "300",
         w_more[] = "2.7";
    char* data[] = {w_data};
    char* label_hash[] = {w_label, w_hash};
    char* label_alone[] = {w_label};
    char* label_row[] = {w_label, w_val, w_more};
    char* row[] = {w_val, w_more};
    char* loop[] = {w_loop, w_val, w_more};
    EXPECT_EQ(is_words_starhead(nullptr, 0), 1);
    EXPECT_EQ(is_words_starhead(data, 1), 1);
    EXPECT_EQ(is_words_starhead(loop, 3), 1);
    EXPECT_EQ(is_words_starhead(label_hash, 2), 1);
    EXPECT_EQ(is_words_starhead(label_alone, 1), 1);
    EXPECT_EQ(is_words_starhead(label_row, 3), 0);
    EXPECT_EQ(is_words_starhead(row, 2), 0);

    const std::pair<const char*, int> names[] = {{"a.star", 5}, {".star", 5}, {"star", 0}, {"a.STAR", 0}, {"", 0}};
    for (const auto& [name, n] : names) EXPECT_EQ(get_starf_suffixn(const_cast<char*>(name)), n) << name;
}

TEST_F(StarFiles, WordsOfALineStayValidAfterTheCall) {
    FILE* f = std::fopen(write("w.star", "  a.mrc\t12.5  300 x y\n").c_str(), "r");
    char* words[3];
    ASSERT_EQ(read_words_from_star_line(words, 3, f), 3);
    EXPECT_STREQ(words[0], "a.mrc");
    EXPECT_STREQ(words[1], "12.5");
    EXPECT_STREQ(words[2], "300");
    std::fclose(f);
}

TEST_F(StarFiles, ParticleStarOutput) {
    const std::string file = path("p.star");
    FILE* f = std::fopen(file.c_str(), "w");
    std::fputs("old text that the header replaces\n", f);
    particle_star_write_head(f);
    char mic[] = "m.mrc";
    particle_star_write_oneline(f, mic, 100, -3, 21000.5f, 20000.0f, 45.0f, 300.0f, 2.7f, 0.07f, 10000.0f, 5.0f, 0.25f,
                                0.5f, 90.0f);
    std::fclose(f);
    const std::string expected =
        "\ndata_\n\nloop_\n_rlnMicrographName #1\n_rlnCoordinateX #2\n_rlnCoordinateY #3\n_rlnVoltage #4\n"
        "_rlnDefocusU #5\n_rlnDefocusV #6\n_rlnDefocusAngle #7\n_rlnSphericalAberration #8\n"
        "_rlnDetectorPixelSize #9\n_rlnCtfFigureOfMerit #10\n_rlnMagnification #11\n_rlnAmplitudeContrast #12\n"
        "_rlnAutopickFigureOfMerit #13\n_rlnPhaseShift #14\n"
        "m.mrc   100.000000    -3.000000   300.000000 21000.500000 20000.000000    45.000000     2.700000"
        "     5.000000     0.250000 10000.000000     0.070000     0.500000    90.000000\n";
    // The header is written from the start of the file, over the old text.
    EXPECT_EQ(read("p.star"), expected);

    // The written file reads back: 14 labels, one row.
    StarHead* head = star_head_new();
    ParticleInfoIndex* index = particle_info_index_new();
    starf_read_head_info_index(file.c_str(), head, index);
    EXPECT_EQ(head->count, 14);
    EXPECT_EQ(index->PhaseShift, 14);
    EXPECT_EQ(index->AutopickFigureOfMerit, 13);
    std::free(head);
    std::free(index);
}

// ---------------- damaged files (README beside them says what each breaks) ----------------

TEST_F(StarFiles, DamagedStarFilesAreRejectedNotMisread) {
    const std::string trailing = std::string(VORN_HOSTILE_DATA) + "/mlist_trailing_words.star";
    if (!std::filesystem::is_regular_file(trailing))
        GTEST_SKIP() << "damaged test files not found in " VORN_HOSTILE_DATA;
    // Label lines with words after the column number: never rows, so the list
    // holds the rows the row count says.
    char** list = get_all_micrographs_from_ctfstar(trailing.c_str());
    EXPECT_EQ(get_lineN_from_starf(trailing.c_str()), 2);
    EXPECT_STREQ(list[0], "a.mrc");
    EXPECT_STREQ(list[1], "b.mrc");
    EXPECT_STREQ(list[2], "");
    std::free(list);
    char label[] = "_rlnMicrographName", hash[] = "#1", extra[] = "x";
    char* words[] = {label, hash, extra};
    EXPECT_EQ(is_words_starhead(words, 3), 1);

    // A column number that does not fit an int is refused, not wrapped to 1.
    const std::string wide = write("wide.star", "data_\nloop_\n_rlnDefocusU #2\n_rlnMicrographName #4294967297\n1 a.mrc\n");
    StarHead* head = star_head_new();
    testing::internal::CaptureStdout();
    starf_read_head(wide.c_str(), head);
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("column number 4294967297 of label _rlnMicrographName on line 4 of file " + wide),
              std::string::npos)
        << said;
    EXPECT_EQ(head->count, 2);
    EXPECT_EQ(head->column[1], -1);
    std::free(head);
    testing::internal::CaptureStdout();
    list = get_all_micrographs_from_ctfstar(wide.c_str());
    said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("label _rlnMicrographName lies outside"), std::string::npos) << said;
    EXPECT_STREQ(list[0], "");
    std::free(list);
}

}  // namespace
