// MRC files: header layout and defaults, stamp repair, size check, mode
// conversion, slices, extended headers, short files, writers and appenders.
// Fixtures are built byte by byte here, independently of MRC_HEAD.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#define VORN_UNIT "tests/mrcfile"
#include "cuda_general.h"
#include "immutable_fixture.h"
#include "mrcfile.h"

// Under AddressSanitizer an allocation above this size fails the test: no reader
// may size a buffer by a header field before the file is known to hold the data.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=256"; }

namespace {

// Death-test statements print their stdout lines onto stderr so the regex sees them.
#define STDOUT_TO_STDERR() dup2(2, 1)

typedef std::vector<uint8_t> Bytes;

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vorn_mrc_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const char* name) const { return path + "/" + name; }
};

void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = (uint8_t)(v >> (8 * i));
}
uint32_t get32(const Bytes& b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= (uint32_t)b[at + i] << (8 * i);
    return v;
}
uint32_t float_bits(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return v;
}
float get_float(const Bytes& b, size_t at) {
    const uint32_t v = get32(b, at);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

// Little-endian voxel bytes of a mode.
Bytes encode(int mode, const std::vector<double>& values) {
    Bytes out;
    for (double v : values) {
        if (mode == 0) out.push_back((uint8_t)v);
        if (mode == 1 || mode == 6) {
            const uint16_t u = mode == 1 ? (uint16_t)(int16_t)v : (uint16_t)v;
            out.push_back((uint8_t)u);
            out.push_back((uint8_t)(u >> 8));
        }
        if (mode == 2) {
            Bytes f(4);
            put32(f, 0, float_bits((float)v));
            out.insert(out.end(), f.begin(), f.end());
        }
    }
    return out;
}

// A header with sizes, mode, nsymbt and stamp; every other byte zero.
Bytes raw_header(int nx, int ny, int nz, int mode, int nsymbt = 0) {
    Bytes h(1024, 0);
    put32(h, 0, nx);
    put32(h, 4, ny);
    put32(h, 8, nz);
    put32(h, 12, mode);
    put32(h, 92, nsymbt);
    std::memcpy(&h[208], "MAP ", 4);
    h[212] = 0x44;
    h[213] = 0x41;
    return h;
}

void write_bytes(const std::string& path, const Bytes& b) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(b.data(), 1, b.size(), f), b.size());
    std::fclose(f);
}

Bytes read_bytes(const std::string& path) {
    Bytes b;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return b;
    int c;
    while ((c = std::fgetc(f)) != EOF) b.push_back((uint8_t)c);
    std::fclose(f);
    return b;
}

// An MRC file: header, nsymbt bytes of extended header (0x7F), then the voxels.
void make_mrc(const std::string& path, int nx, int ny, int nz, int mode, const std::vector<double>& values,
              int nsymbt = 0) {
    Bytes b = raw_header(nx, ny, nz, mode, nsymbt);
    b.insert(b.end(), (size_t)nsymbt, 0x7F);
    const Bytes data = encode(mode, values);
    b.insert(b.end(), data.begin(), data.end());
    write_bytes(path, b);
}

std::vector<double> ramp(size_t n, double start = 0.0, double step = 1.0) {
    std::vector<double> v(n);
    for (size_t i = 0; i < n; i++) v[i] = start + step * (double)i;
    return v;
}

template <class T>
void expect_values(const T* got, const std::vector<double>& want) {
    for (size_t i = 0; i < want.size(); i++) ASSERT_EQ((double)got[i], want[i]) << "element " << i;
}

FILE* open_rb(const std::string& path, MRC_HEAD* h) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f != nullptr) mrc_read_head(f, h);
    return f;
}

class MrcDeath : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    TempDir dir;
};

// ---------------- header ----------------

TEST(MrcHeader, WrittenBytesAtTheirOffsets) {
    TempDir dir;
    const std::string path = dir.file("layout.mrc");
    const std::vector<float> data = {-2.0f, 0.5f, 4.0f, 1.5f, 2.0f, 0.0f};
    ASSERT_EQ(mrcf_write_xyz_data(path.c_str(), data.data(), 2, 3, 1), 0);
    const Bytes b = read_bytes(path);
    ASSERT_EQ(b.size(), 1024u + 6 * 4);
    struct { size_t at; uint32_t value; } const words[] = {
        {0, 2}, {4, 3}, {8, 1}, {12, 2},                                   // sizes, mode
        {16, 0}, {20, 0}, {24, 0}, {28, 1}, {32, 1}, {36, 1},              // starts, sampling
        {40, float_bits(1.0f)}, {44, float_bits(1.0f)}, {48, float_bits(1.0f)},
        {52, float_bits(90.0f)}, {56, float_bits(90.0f)}, {60, float_bits(90.0f)},
        {64, 1}, {68, 2}, {72, 3},                                         // axis order
        {76, float_bits(-2.0f)}, {80, float_bits(4.0f)}, {84, float_bits(1.0f)},  // dmin, dmax, dmean
        {88, 1},                                                           // int16 ispg 1, int16 0
        {92, 0},                                                           // nsymbt
        {196, 0}, {200, 0}, {204, 0},                                      // origin
        {208, 0x2050414D},                                                 // "MAP "
        {212, 0x00004144},                                                 // machine stamp
        {220, 0},                                                          // nlabl
    };
    for (const auto& w : words) EXPECT_EQ(get32(b, w.at), w.value) << "offset " << w.at;
    EXPECT_EQ(b[96] | (b[97] << 8), 1000);  // creatid
    for (size_t i = 98; i < 128; i++) ASSERT_EQ(b[i], 0) << "blank " << i;
    for (size_t i = 224; i < 1024; i++) ASSERT_EQ(b[i], 0) << "labels " << i;
    for (size_t i = 0; i < data.size(); i++) EXPECT_EQ(get_float(b, 1024 + 4 * i), data[i]);
}

TEST(MrcHeader, StampRepairLooksAtThreeBytes) {
    TempDir dir;
    struct { const char* stamp; uint8_t m0, m1; const char* want; uint8_t w0, w1; int file_valid; } const cases[] = {
        {"MAP!", 0x11, 0x11, "MAP!", 0x11, 0x11, 0},  // valid: left as found
        {"map ", 0x11, 0x11, "MAP ", 0x44, 0x41, -1},  // repaired
        {"\0\0\0\0", 0, 0, "MAP ", 0x44, 0x41, -1},
    };
    const std::string path = dir.file("stamp.mrc");
    for (const auto& c : cases) {
        Bytes b = raw_header(4, 4, 1, 2);
        std::memcpy(&b[208], c.stamp, 4);
        b[212] = c.m0;
        b[213] = c.m1;
        write_bytes(path, b);
        MRC_HEAD* h = mrcf_get_head(path.c_str());
        EXPECT_EQ(std::memcmp(h->map, c.want, 4), 0) << c.want;
        EXPECT_EQ(h->machst[0], c.w0);
        EXPECT_EQ(h->machst[1], c.w1);
        EXPECT_EQ(h->nx, 4);
        testing::internal::CaptureStdout();
        EXPECT_EQ(mrcf_check_head(path.c_str()), c.file_valid);
        testing::internal::GetCapturedStdout();
        mrc_delete_head(h);
    }
    MRC_HEAD* bad = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrc_check_head(bad), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: in function 'mrc_check_head()'! Not a valid mrc file head!\n");
}

// A file that ends before 1024 bytes (empty, one byte short with a stamp inside,
// a directory) holds no header: every header reader says so and leaves a zeroed
// record, never the bytes it found nor the defaults, and the file unchanged.
TEST(MrcHeader, FileWithoutAWholeHeaderIsRefusedByEveryHeaderReader) {
    TempDir dir;
    Bytes almost = raw_header(7, 5, 1, 2);
    almost.resize(1023);
    const std::string empty = dir.file("empty.mrc"), one_short = dir.file("one_short.mrc"), folder = dir.file("dir.mrc");
    std::fclose(std::fopen(empty.c_str(), "wb"));
    write_bytes(one_short, almost);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    MRC_HEAD zero;
    std::memset(&zero, 0, sizeof zero);
    auto zeroed = [&](const MRC_HEAD* h) { return std::memcmp(h, &zero, sizeof zero) == 0; };
    auto stale = [] {
        MRC_HEAD h;
        std::memset(&h, 0xAB, sizeof h);
        return h;
    };
    for (const std::string& path : {empty, one_short, folder}) {
        SCOPED_TRACE(path);
        const char* name = path.c_str();
        const Bytes before = read_bytes(path);
        std::vector<float> out(4, -7.0f);
        const std::pair<const char*, std::function<bool()>> calls[] = {
            {"mrc_read_head", [&] {
                 MRC_HEAD h = stale();
                 FILE* f = std::fopen(name, "rb");
                 const int status = mrc_read_head(f, &h);
                 std::fclose(f);
                 return status == -1 && zeroed(&h);
             }},
            {"mrcf_read_head", [&] {
                 MRC_HEAD h = stale();
                 return mrcf_read_head(name, &h) == -1 && zeroed(&h);
             }},
            {"mrcf_get_head", [&] {
                 MRC_HEAD* h = mrcf_get_head(name);
                 const bool ok = h != nullptr && zeroed(h);
                 mrc_delete_head(h);
                 return ok;
             }},
            {"get_mrcf_xyz", [&] {
                 int nx = 9, ny = 9, nz = 9;
                 get_mrcf_xyz(nx, ny, nz, name);
                 return nx == 0 && ny == 0 && nz == 0;
             }},
            {"mrcf_get_dim_size", [&] { return mrcf_get_dim_size(name, "x") == -1; }},
            {"mrcf_get_head_mode", [&] { return std::string(mrcf_get_head_mode(name)) == "Unknown"; }},
            {"mrcf_check_head", [&] { return mrcf_check_head(name) == -1; }},
            {"mrcf_read_data_check_xy", [&] { return mrcf_read_data_check_xy(name, out.data(), 0, 0) == -1; }},
            {"mrcf_read_slice", [&] { return mrcf_read_slice(name, 0, 'z', out.data()) == -1; }},
            {"mrcf_get_data_sliceN", [&] { return mrcf_get_data_sliceN(name, 0) == nullptr; }},
            {"mrcf_read_sub_area", [&] { return mrcf_read_sub_area(name, out.data(), 0, 0, 0, 1, 1, 1) == -1; }},
        };
        for (const auto& c : calls) {
            testing::internal::CaptureStdout();
            EXPECT_TRUE(c.second()) << c.first;
            const std::string said = testing::internal::GetCapturedStdout();
            const char* says = std::string(c.first) == "mrcf_check_head" ? "is not a valid mrc file" : "shorter than an MRC header of 1024 bytes";
            EXPECT_NE(said.find(says), std::string::npos) << c.first << ": " << said;
        }
        EXPECT_EQ(out, std::vector<float>(4, -7.0f));
        EXPECT_EQ(read_bytes(path), before);
    }
}

TEST(MrcHeader, ModeNames) {
    struct { int mode; const char* name; } const cases[] = {
        {0, "Byte"}, {1, "Short"}, {2, "Float"}, {3, "Complex Short"}, {4, "Complex Float"}, {5, "Unknown"},
        {6, "Unsigned Short"}, {15, "Unknown"}, {16, "RGB"}, {20, "Complex Float (Real, Imag)"},
        {21, "Complex Float (Amp, Rad)"}, {22, "Complex Float (Amp, Deg)"}, {23, "Unknown"}, {-1, "Unknown"},
    };
    MRC_HEAD h;
    mrc_init_head(&h);
    for (const auto& c : cases) {
        h.mode = c.mode;
        EXPECT_STREQ(mrc_get_head_mode(&h), c.name) << c.mode;
    }
}

TEST(MrcHeader, SettersAndShapeTests) {
    MRC_HEAD* h = mrc_new_head();
    mrc_set_head_xyz_mmm(h, 4, 6, 4, 5.0f, 2.0f, 3.0f);
    EXPECT_EQ(h->dmin, 2.0f);
    EXPECT_EQ(h->dmax, 5.0f);
    EXPECT_EQ(h->dmean, 3.0f);
    mrc_set_head_xyz_mmmm(h, 4, 4, 4, 1.0f, 9.0f, 3.0f, 1);
    EXPECT_EQ(h->dmin, 1.0f);
    EXPECT_EQ(h->dmax, 9.0f);
    EXPECT_EQ(h->mode, 1);
    EXPECT_TRUE(is_mrc_square(h));
    EXPECT_TRUE(is_mrc_cube(h));
    EXPECT_EQ(mrc_check_even_size(h), 0);
    mrc_set_head_xyz(h, 4, 5, 4);
    EXPECT_FALSE(is_mrc_square(h));
    EXPECT_FALSE(is_mrc_cube(h));
    EXPECT_EQ(mrc_check_even_size(h), -1);
    const float data[3] = {3.0f, -1.0f, 7.0f};
    mrc_set_head_mmm_from_data(h, data, 3);
    EXPECT_EQ(h->dmin, -1.0f);
    EXPECT_EQ(h->dmax, 7.0f);
    EXPECT_EQ(h->dmean, 3.0f);
    // The pixel size: sampled once per pixel, cell edges of size x apix.
    mrc_set_head_xyz(h, 4, 6, 2);
    mrc_set_head_apix(h, 1.5f);
    EXPECT_EQ(h->mx * 100 + h->my * 10 + h->mz, 462);
    EXPECT_EQ(h->cella[0], 6.0f);
    EXPECT_EQ(h->cella[1], 9.0f);
    EXPECT_EQ(h->cella[2], 3.0f);
    mrc_delete_head(h);
}

TEST(MrcHeader, DimSizeKeywords) {
    TempDir dir;
    const std::string path = dir.file("dims.mrc");
    make_mrc(path, 3, 5, 7, 0, ramp(105, 0, 0));
    struct { const char* key; long want; } const cases[] = {
        {"x", 3}, {"Y", 5}, {"z", 7}, {"xy", 15}, {"YX", 15}, {"XZ", 21}, {"zx", 21}, {"yz", 35}, {"Zy", 35},
        {"xyz", 105},
    };
    for (const auto& c : cases) EXPECT_EQ(mrcf_get_dim_size(path.c_str(), c.key), c.want) << c.key;
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrcf_get_dim_size(path.c_str(), "w"), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("unrecognized dimension keywords w !\n"), std::string::npos);
    EXPECT_NE(out.find("valid dimension keywords: x, y, z, xy, yx, xz, zx, yz, zy, xyz; not case sensitive"),
              std::string::npos);
    int nx = 0, ny = 0, nz = 0;
    get_mrcf_xyz(nx, ny, nz, path.c_str());
    EXPECT_EQ(nx * 100 + ny * 10 + nz, 357);
    EXPECT_STREQ(mrcf_get_head_mode(path.c_str()), "Byte");
}

TEST(MrcHeader, SizeComparison) {
    MRC_HEAD a, b;
    mrc_init_head(&a);
    mrc_set_head_xyz(&a, 4, 4, 1);
    b = a;
    b.dmean = 7.0f;
    b.cella[0] = 3.0f;
    EXPECT_EQ(check_mrc_head_sizes_two_warning("a.mrc", "b.mrc", &a, &b), 0);
    b.mode = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_mrc_head_sizes_two_warning("a.mrc", "b.mrc", &a, &b), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\033[1ma.mrc\033[m has a different size or format from  \033[1mb.mrc\033[m.\n"
              "Check if all the micrographs are the same sizes and format? \n "
              "      Nx      Ny      Nz      Mode             File:\n"
              "      4       4       1       Float               a.mrc\n"
              "      4       4       1       Short               b.mrc\n");
}

TEST_F(MrcDeath, SizeComparisonFatalForms) {
    MRC_HEAD a, b;
    mrc_init_head(&a);
    b = a;
    b.nz = 2;
    EXPECT_EXIT(check_mrc_head_sizes_two("a", "b", &a, &b), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT((STDOUT_TO_STDERR(), vorn_check_mrc_head_sizes_two("a", "b", &a, &b)), ::testing::ExitedWithCode(1),
                "Micrograph .*split them");
    EXPECT_EQ(vorn_check_mrc_head_sizes_two("a", "a", &a, &a), 0);
}

TEST(MrcNames, OutputNames) {
    struct { const char* name; const char* by_suffix; const char* by_insert; int n; } const cases[] = {
        {"a/b.mrc", "a/b.ctf", "a/b_x.mrc", 4},
        {"a/b.mrcs", "a/b.ctf", "a/b_x.mrcs", 5},
        {".mrc", ".ctf", "_x.mrc", 4},
        {"x.MRC", "x.MRC.ctf", "x.MRC_x", 0},
        {"mrc", "mrc.ctf", "mrc_x", 0},
    };
    char out[1024];
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(get_micrograph_suffixn(c.name), c.n) << c.name;
        std::memset(out, 'z', sizeof out);
        mrcf_set_outname_by_suffix(out, c.name, ".ctf");
        EXPECT_STREQ(out, c.by_suffix);
        EXPECT_EQ(out[1023], 0);  // cleared whole
        mrcf_replace_file_suffix(out, c.name, ".ctf");
        EXPECT_STREQ(out, c.by_suffix);
        mrcf_set_outname_by_insertion(out, c.name, "_x");
        EXPECT_STREQ(out, c.by_insert);
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(said.find("Micrograph suffix must be .mrc or .mrcs!") != std::string::npos, c.n == 0) << c.name;
        // The stem the suffixes extend, without a word.
        testing::internal::CaptureStdout();
        EXPECT_EQ(mrcf_micrograph_stem(c.name) + ".ctf", c.by_suffix);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
}

// The files of a batch: an input under another spelling is known as the
// input; each output is the first claimer's, and a later item that names it,
// or one item that names one file twice, gets that first claim back.
TEST(MrcNames, BatchFilesKnowTheInputsAndClaimOutputsInListOrder) {
    TempDir dir;
    mkdir(dir.file("sub").c_str(), 0755);
    ASSERT_EQ(symlink(dir.file("sub").c_str(), dir.file("via").c_str()), 0);
    std::fclose(std::fopen(dir.file("sub/a.mrc").c_str(), "w"));
    BatchFiles files;
    files.add_input(dir.file("sub/a.mrc").c_str(), "the micrograph a");
    files.add_input(dir.file("via/a.mrc").c_str(), "the templates");  // the same file: the first word stays
    ASSERT_NE(files.input(dir.file("via/../sub/a.mrc").c_str()), nullptr);
    EXPECT_EQ(*files.input(dir.file("sub/./a.mrc").c_str()), "the micrograph a");
    EXPECT_EQ(files.input(dir.file("sub/a.star").c_str()), nullptr);

    EXPECT_EQ(files.claim(0, dir.file("sub/a.star")), nullptr);
    EXPECT_EQ(files.claim(1, dir.file("sub/b.star")), nullptr);
    const OutputClaim* twice = files.claim(0, dir.file("sub/a.star"));  // one item's two outputs of one name
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ(twice->item, 0);
    const OutputClaim* earlier = files.claim(2, dir.file("via/a.star"));
    ASSERT_NE(earlier, nullptr);
    EXPECT_EQ(earlier->item, 0);
    EXPECT_EQ(earlier->name, dir.file("sub/a.star"));
    const OutputClaim* own = files.claim(1, dir.path + "/sub/../sub/b.star");
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->item, 1);
    EXPECT_EQ(own->name, dir.file("sub/b.star"));

    // An item that is an earlier one's file under another name (a link, another spelling) repeats it.
    ASSERT_EQ(symlink("a.mrc", dir.file("sub/link.mrc").c_str()), 0);
    ASSERT_EQ(link(dir.file("sub/a.mrc").c_str(), dir.file("sub/hard.mrc").c_str()), 0);
    std::fclose(std::fopen(dir.file("sub/b.mrc").c_str(), "w"));
    EXPECT_EQ(files.repeats(0, dir.file("sub/a.mrc").c_str()), -1);
    EXPECT_EQ(files.repeats(1, dir.file("sub/b.mrc").c_str()), -1);
    for (const char* again : {"sub/link.mrc", "sub/hard.mrc", "via/a.mrc", "sub/a.mrc"})
        EXPECT_EQ(files.repeats(2, dir.file(again).c_str()), 0) << again;
}

// Why an output cannot be written, told where the write lands (a link's last
// target) without creating or changing anything.
TEST(MrcNames, OutputsThatCannotBeWrittenAreNamedUnopened) {
    TempDir dir;
    mkdir(dir.file("folder.star").c_str(), 0755);
    ASSERT_EQ(mkfifo(dir.file("pipe.star").c_str(), 0644), 0);
    std::fclose(std::fopen(dir.file("old.star").c_str(), "w"));
    for (const auto& [target, link] : {std::pair<const char*, const char*>{"none/x.star", "astray.star"},
                                       {"pipe.star", "to_pipe.star"},
                                       {"old.star", "to_old.star"},
                                       {"to_nothing.star", "chain.star"},
                                       {"new2.star", "to_nothing.star"}})
        ASSERT_EQ(symlink(target, dir.file(link).c_str()), 0);
    const struct {
        std::string name, why;
    } cases[] = {
        {dir.file("new.star"), ""},
        {dir.file("old.star"), ""},
        {dir.file("folder.star"), "a directory stands in its place"},
        {dir.file("pipe.star"), "a named pipe stands in its place"},
        {"/dev/null", "a device stands in its place"},
        {dir.file("none/new.star"), "its folder " + dir.file("none") + ": No such file or directory"},
        {dir.file("astray.star"), "its folder " + dir.file("none") + ": No such file or directory"},
        {dir.file("to_pipe.star"), "a named pipe stands in its place"},
        {dir.file("to_old.star"), ""},
        {dir.file("chain.star"), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(mrcf_output_unwritable(c.name.c_str()), c.why) << c.name;
    EXPECT_FALSE(std::filesystem::exists(dir.file("new.star")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("new2.star")));
    const vorn_test::ImmutableFile fixed(dir.file("old.star"));
    if (fixed.set) {
        EXPECT_EQ(mrcf_output_unwritable(fixed.path.c_str()), "Operation not permitted");
    }
}

// A file that takes appends only passes the permission test but cannot be
// rewritten: it is found so, through a link too, and kept as it was.
TEST(MrcNames, AnAppendOnlyOutputCannotBeWritten) {
    TempDir dir;
    const std::string name = dir.file("kept.pow");
    std::FILE* f = std::fopen(name.c_str(), "w");
    std::fputs("kept", f);
    std::fclose(f);
    ASSERT_EQ(symlink("kept.pow", dir.file("link.pow").c_str()), 0);
    const vorn_test::AppendOnlyFile appends(name);
    if (!appends.set) GTEST_SKIP() << "no append-only attribute on this file system";
    EXPECT_EQ(mrcf_output_unwritable(name.c_str()), "Operation not permitted");
    EXPECT_EQ(mrcf_output_unwritable(dir.file("link.pow").c_str()), "Operation not permitted");
    std::ifstream in(name);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
}

// Two names are one file when they denote it, whether it exists yet or not:
// another spelling of the folder, a link, a link to a file still to come.
TEST(MrcNames, SameFileAlsoBeforeTheFileExists) {
    TempDir dir;
    mkdir(dir.file("sub").c_str(), 0755);
    ASSERT_EQ(symlink(dir.file("new.log").c_str(), dir.file("ahead.log").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("sub").c_str(), dir.file("via").c_str()), 0);
    std::FILE* f = std::fopen(dir.file("old.log").c_str(), "w");
    std::fclose(f);
    ASSERT_EQ(link(dir.file("old.log").c_str(), dir.file("hard.log").c_str()), 0);
    const struct {
        std::string a, b;
        bool same;
    } cases[] = {
        {dir.file("new.log"), dir.path + "/./new.log", true},
        {dir.file("new.log"), dir.path + "/sub/../new.log", true},
        {dir.file("sub/x.log"), dir.file("via/x.log"), true},
        {dir.file("new.log"), dir.file("ahead.log"), true},
        {dir.file("old.log"), dir.file("hard.log"), true},
        {dir.file("new.log"), dir.file("new.pow"), false},
        {dir.file("new.log"), dir.file("sub/new.log"), false},
        {dir.file("old.log"), dir.file("new.log"), false},
        {dir.file("none/x.log"), dir.path + "/./none/x.log", false},  // no folder: nothing is written there
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mrcf_same_file(c.a.c_str(), c.b.c_str()), c.same) << c.a << " " << c.b;
        EXPECT_EQ(mrcf_file_id(c.a.c_str()) == mrcf_file_id(c.b.c_str()), c.same) << c.a << " " << c.b;
    }
    // A folder entry is one name of one folder, however the folder is spelt; a link is an entry of its own.
    EXPECT_EQ(mrcf_entry_id(dir.file("sub/x.log").c_str()), mrcf_entry_id(dir.file("via/x.log").c_str()));
    EXPECT_EQ(mrcf_entry_id(dir.file("old.log").c_str()), mrcf_entry_id((dir.path + "/./old.log").c_str()));
    EXPECT_NE(mrcf_entry_id(dir.file("ahead.log").c_str()), mrcf_entry_id(dir.file("new.log").c_str()));
    EXPECT_NE(mrcf_entry_id(dir.file("hard.log").c_str()), mrcf_entry_id(dir.file("old.log").c_str()));
}

// Outputs are checked against the inputs and against each other: the first
// output that is an input, or the same file as an earlier output (by name,
// another spelling, a link), is named in the warning beside the file it is.
TEST(MrcNames, OutputsCheckedAgainstInputsAndEachOther) {
    TempDir dir;
    const std::string in = dir.file("in.mrc"), link = dir.file("link.mrc"), a = dir.file("a.mrc"), b = dir.file("b.mrc"),
                      ahead = dir.file("ahead.mrc");
    std::fclose(std::fopen(in.c_str(), "wb"));
    ASSERT_EQ(symlink(in.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink(a.c_str(), ahead.c_str()), 0);  // a.mrc is still to be written
    const std::string a_again = dir.path + "/./a.mrc";
    const struct {
        std::vector<const char*> outputs, inputs;
        std::string says;  // empty: accepted
    } cases[] = {
        {{a.c_str(), b.c_str()}, {in.c_str()}, ""},
        {{a.c_str(), nullptr, b.c_str(), nullptr}, {nullptr, in.c_str()}, ""},
        {{}, {in.c_str()}, ""},
        {{a.c_str(), a.c_str()}, {}, "Output files " + a + " and " + a + " are one file! Nothing written."},
        {{a.c_str(), b.c_str(), a_again.c_str()}, {in.c_str()}, "Output files " + a + " and " + a_again + " are one file!"},
        {{ahead.c_str(), b.c_str(), a.c_str()}, {in.c_str()}, "Output files " + ahead + " and " + a + " are one file!"},
        {{a.c_str(), link.c_str(), a.c_str()}, {in.c_str()}, "Output file " + link + " is the input file " + in + "! Nothing written."},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        const int status = mrcf_check_outputs(c.outputs, c.inputs, "caller", VORN_UNIT, 1);
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, c.says.empty() ? 0 : -1) << c.says;
        if (c.says.empty()) EXPECT_EQ(said, "");
        else EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
    EXPECT_FALSE(std::filesystem::exists(a));
}

TEST_F(MrcDeath, OutputNamesThatDoNotFitAreRefused) {
    // Cut to 1023 characters, two long inputs would share one output file.
    const std::string stem(1020, 'a'), fits(1018, 'a');
    char out[1024];
    mrcf_set_outname_by_suffix(out, (fits + ".mrc").c_str(), ".ctf");
    EXPECT_EQ(std::strlen(out), 1022u);
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_set_outname_by_suffix(out, (stem + ".mrc").c_str(), "_long.ctf")),
                ::testing::ExitedWithCode(1), "mrcf_set_outname_by_suffix\\(\\).*name of 1029 characters does not fit");
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_set_outname_by_insertion(out, (stem + ".mrc").c_str(), "_x")),
                ::testing::ExitedWithCode(1), "mrcf_set_outname_by_insertion\\(\\).*name of 1026 characters does not fit");
}

// ---------------- size check ----------------

TEST(MrcSizeCheck, ExactSizeAcceptedOthersRejected) {
    TempDir dir;
    const std::string path = dir.file("size.mrc");
    // extra: bytes beyond (or short of) the exact size; bare: the header alone.
    struct { int nx, ny, nz, mode, nsymbt; long extra; int want; bool bare; } const cases[] = {
        {4096, 4096, 1, 2, 0, 0, 0, false},  // 67,109,888 bytes
        {4096, 4096, 1, 2, 0, 1, -1, false},
        {4096, 4096, 1, 2, 0, -1, -1, false},
        {100, 30, 2, 1, 0, 0, 0, false},
        {100, 30, 2, 6, 0, 0, 0, false},
        {100, 30, 2, 0, 0, 0, 0, false},
        {10, 10, 3, 4, 0, 0, 0, false},       // complex: has a size, passes
        {64, 64, 1, 2, 3072, 0, 0, false},    // data after an extended header
        {64, 64, 1, 2, 3072, -3072, -1, false},
        {4, 4, 1, 16, 0, 0, -1, false},       // modes without a size
        {4, 4, 1, 5, 0, 0, -1, false},
        {4, 4, 1, -1, 0, 0, -1, false},
        {4, 4, 1, 12, 0, 0, -1, false},       // float16, its two bytes a voxel all there
        {4, 4, 1, 101, 0, 0, -1, false},
        {-4, -4, 1, 2, 0, 0, -1, false},      // negative sizes
        {1 << 21, 1 << 21, 1 << 21, 2, 0, 0, -1, true},  // beyond 64 bits, not wrapped
    };
    for (const auto& c : cases) {
        write_bytes(path, raw_header(c.nx, c.ny, c.nz, c.mode, c.nsymbt));
        const long b = c.mode == 0 ? 1 : c.mode == 4 ? 8 : c.mode == 2 ? 4 : 2;
        const long size = c.bare ? 1024 : 1024 + c.nsymbt + std::labs((long)c.nx * c.ny) * c.nz * b + c.extra;
        ASSERT_EQ(truncate(path.c_str(), size), 0);  // sparse
        MRC_HEAD h;
        FILE* f = open_rb(path, &h);
        testing::internal::CaptureStdout();
        EXPECT_EQ(mrc_check_fsize(f, &h), c.want) << c.nx << " mode " << c.mode << " extra " << c.extra;
        const std::string said = testing::internal::GetCapturedStdout();
        std::fclose(f);
        const bool sized = c.mode == 0 || c.mode == 1 || c.mode == 2 || c.mode == 4 || c.mode == 6;
        if (c.want == 0) EXPECT_EQ(said, "");
        else if (!sized) {
            EXPECT_NE(said.find("File type unknown!!"), std::string::npos);
            EXPECT_NE(said.find("mode " + std::to_string(c.mode) + " is not supported"), std::string::npos) << said;
        }
        else EXPECT_NE(said.find("File size error!!"), std::string::npos);
    }
    // The size line: file size, bytes per voxel, expected data bytes.
    write_bytes(path, raw_header(4096, 4096, 1, 2));
    ASSERT_EQ(truncate(path.c_str(), 67109889), 0);
    MRC_HEAD h;
    FILE* f = open_rb(path, &h);
    testing::internal::CaptureStdout();
    mrc_check_fsize(f, &h);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("File size 67109889  4 xyz 67108864\033[43m", 0), 0u);
    std::fclose(f);
}

// ---------------- readers ----------------

struct ModeCase {
    int mode;
    std::vector<double> values;  // 2 x 2 x 2 voxels
};

const ModeCase mode_cases[] = {
    {0, {0, 1, 254, 255, 7, 128, 3, 200}},
    {1, {-1, 0, 32767, -32768, 5, -300, 1000, 2}},
    {2, {0.5, -1.25, 3e7, -7.0, 1e-3, 2.0, 0.0, 123.5}},
    {6, {65535, 0, 1, 40000, 32768, 7, 12, 65534}},
};

TEST(MrcRead, EveryReadModeRoundTripsAsFloat) {
    TempDir dir;
    for (const auto& c : mode_cases) {
        SCOPED_TRACE(c.mode);
        const std::string in = dir.file("in.mrc"), out = dir.file("out.mrc");
        make_mrc(in, 2, 2, 2, c.mode, c.values);
        std::vector<double> as_float(c.values.size());
        for (size_t i = 0; i < as_float.size(); i++) as_float[i] = (float)c.values[i];

        float* all = mrcf_get_data_all(in.c_str());
        expect_values(all, as_float);
        std::vector<float> buf(8, -99.0f);
        MRC_HEAD h;
        EXPECT_EQ(mrcf_read_head_data_nocheck(in.c_str(), &h, buf.data()), 0);
        expect_values(buf.data(), as_float);
        EXPECT_EQ(h.mode, c.mode);

        float v = 0.0f;
        FILE* f = open_rb(in, &h);
        EXPECT_EQ(mrc_read_pixel(&v, f, &h, 1, 0, 1), 0);
        EXPECT_EQ((double)v, as_float[5]);
        std::vector<double> dbl(4);
        EXPECT_EQ(mrc_read_slice_double(f, &h, 1, 'z', dbl.data()), 0);
        expect_values(dbl.data(), std::vector<double>(as_float.begin() + 4, as_float.end()));
        std::fclose(f);

        // Written back as floats and read again: the same values.
        ASSERT_EQ(mrcf_write_xyz_data(out.c_str(), all, 2, 2, 2), 0);
        std::fill(buf.begin(), buf.end(), -99.0f);
        EXPECT_EQ(mrcf_read_all(out.c_str(), buf.data()), 0);
        expect_values(buf.data(), as_float);
        free(all);
    }
}

TEST(MrcRead, SliceShapes) {
    TempDir dir;
    // 3 x 2 x 2 volume holding its own index, as floats and as 16-bit integers.
    for (int mode : {2, 1}) {
        SCOPED_TRACE(mode);
        const std::string path = dir.file("slices.mrc");
        make_mrc(path, 3, 2, 2, mode, ramp(12));
        struct { char axis; int n; std::vector<double> want; } const cases[] = {
            {'z', 1, {6, 7, 8, 9, 10, 11}},
            {'Z', 0, {0, 1, 2, 3, 4, 5}},
            {'y', 1, {3, 4, 5, 9, 10, 11}},
            {'Y', 0, {0, 1, 2, 6, 7, 8}},
            {'x', 2, {2, 5, 8, 11}},
            {'X', 0, {0, 3, 6, 9}},
        };
        for (const auto& c : cases) {
            std::vector<float> out(6, -1.0f);
            EXPECT_EQ(mrcf_read_slice(path.c_str(), c.n, c.axis, out.data()), 0) << c.axis;
            expect_values(out.data(), c.want);
        }
        MRC_HEAD h;
        FILE* f = open_rb(path, &h);
        std::vector<float> out(6, -1.0f);
        std::vector<double> as_double(6, -1.0);
        std::vector<unsigned char> as_byte(6, 7);
        testing::internal::CaptureStdout();
        // An unknown axis is refused, so no caller takes an unfilled output for a slice.
        EXPECT_EQ(mrc_read_slice(f, &h, 0, 'q', out.data()), -1);
        EXPECT_EQ(mrc_read_slice_double(f, &h, 0, 'q', as_double.data()), -1);
        EXPECT_EQ(mrc_read_slice_byte(f, &h, 0, 'q', as_byte.data()), -1);
        EXPECT_NE(testing::internal::GetCapturedStdout().find("Unknown slice axis 'q'!"), std::string::npos);
        testing::internal::CaptureStdout();
        EXPECT_EQ(mrc_read_slice(f, &h, 2, 'z', out.data()), -1);
        EXPECT_EQ(mrc_read_slice(f, &h, -1, 'y', out.data()), -1);
        EXPECT_EQ(mrc_read_slice(f, &h, 3, 'x', out.data()), -1);
        testing::internal::GetCapturedStdout();
        expect_values(out.data(), std::vector<double>(6, -1.0));
        expect_values(as_double.data(), std::vector<double>(6, -1.0));
        expect_values(as_byte.data(), std::vector<double>(6, 7.0));
        std::fclose(f);
    }
}

TEST(MrcRead, SliceAsBytesInvertsContrast) {
    TempDir dir;
    const std::string path = dir.file("bytes.mrc");
    make_mrc(path, 3, 2, 1, 2, {255, 0, 100, 300, -10, 127.5});
    MRC_HEAD h;
    FILE* f = open_rb(path, &h);
    h.dmin = 0.0f;
    h.dmax = 255.0f;
    unsigned char out[6];
    EXPECT_EQ(mrc_read_slice_byte(f, &h, 0, 'z', out), 0);
    // (255 - v) truncated; values beyond the range are held at its ends.
    const unsigned char want[6] = {0, 255, 155, 0, 255, 127};
    for (int i = 0; i < 6; i++) EXPECT_EQ(out[i], want[i]) << i;
    std::fclose(f);
}

TEST(MrcRead, SubAreaAndGrids) {
    TempDir dir;
    const std::string path = dir.file("grid.mrc");
    make_mrc(path, 10, 10, 2, 2, ramp(200));
    MRC_HEAD h;
    FILE* f = open_rb(path, &h);
    std::vector<float> area(2 * 3 * 2);
    EXPECT_EQ(mrc_read_sub_area(f, &h, area.data(), 4, 7, 0, 3, 2, 2), 0);
    expect_values(area.data(), {74, 75, 76, 84, 85, 86, 174, 175, 176, 184, 185, 186});
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrc_2d_read_sub_area(f, &h, area.data(), 8, 0, 3, 1), -1);  // past the row end
    testing::internal::GetCapturedStdout();

    std::vector<float> boxes(9 * 16, -1.0f);
    EXPECT_EQ(mrc_2d_read_grids(f, &h, boxes.data(), 4, 3), 0);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            for (int r = 0; r < 4; r++)
                for (int c = 0; c < 4; c++)
                    ASSERT_EQ(boxes[((i * 3 + j) * 4 + r) * 4 + c], (float)((3 * i + r) * 10 + 3 * j + c));
    std::vector<float> none(1, -1.0f);
    EXPECT_EQ(mrc_2d_read_grids(f, &h, none.data(), 11, 3), 0);  // no box fits
    EXPECT_EQ(none[0], -1.0f);
    std::fclose(f);
}

TEST(MrcRead, CheckedReadersMatchSizesAndCreator) {
    TempDir dir;
    const std::string path = dir.file("cid.mrc");
    Bytes b = raw_header(2, 2, 1, 2);
    b[96] = 0x39;  // creatid 0x539 = 1337
    b[97] = 0x05;
    const Bytes data = encode(2, {1, 2, 3, 4});
    b.insert(b.end(), data.begin(), data.end());
    write_bytes(path, b);
    std::vector<float> out(4, -1.0f);
    EXPECT_EQ(mrcf_read_slice_check_xy_cid(path.c_str(), 0, 'z', out.data(), 2, 2, 1000), -1);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(mrcf_read_slice_check_xy_cid(path.c_str(), 0, 'z', out.data(), 2, 2, 1337), 0);
    expect_values(out.data(), {1, 2, 3, 4});

    std::fill(out.begin(), out.end(), -1.0f);
    EXPECT_EQ(mrcf_read_data_check_xy(path.c_str(), out.data(), 2, 3), -1);
    EXPECT_EQ(mrcf_read_data_check_xyz(path.c_str(), out.data(), 2, 2, 2), -1);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(mrcf_read_data_check_xyz(path.c_str(), out.data(), 2, 2, 1), 0);
    MRC_HEAD h;
    EXPECT_EQ(mrcf_read_head_data_check_xy(path.c_str(), &h, out.data(), 2, 2), 0);
    EXPECT_EQ(h.creatid, 1337);
    EXPECT_EQ(mrcf_read_head_data_check_xyz(path.c_str(), &h, out.data(), 2, 2, 1), 0);
    expect_values(out.data(), {1, 2, 3, 4});
}

TEST(MrcRead, DataAfterExtendedHeader) {
    TempDir dir;
    const std::string path = dir.file("ext.mrc");
    const std::vector<double> values = {1, -2, 3, -4, 5, -6};
    make_mrc(path, 3, 2, 1, 1, values, 8);
    float* all = mrcf_get_data_all(path.c_str());
    expect_values(all, values);
    free(all);
    std::vector<float> col(2);
    EXPECT_EQ(mrcf_read_slice(path.c_str(), 1, 'x', col.data()), 0);
    expect_values(col.data(), {-2, 5});
    MRC_HEAD h;
    FILE* f = open_rb(path, &h);
    float v = 0.0f;
    EXPECT_EQ(mrc_read_pixel(&v, f, &h, 2, 1, 0), 0);
    EXPECT_EQ(v, -6.0f);
    std::fclose(f);

    // Statistics update and header replacement leave the extended header in place.
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrcf_update_head(path.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "updating head!\nupdating head finished!\n");
    MRC_HEAD* u = mrcf_get_head(path.c_str());
    EXPECT_EQ(u->nsymbt, 8);
    EXPECT_EQ(u->dmin, -6.0f);
    EXPECT_EQ(u->dmax, 5.0f);
    EXPECT_EQ(u->dmean, -0.5f);
    MRC_HEAD fresh;
    mrc_init_head(&fresh);
    mrc_set_head_xyz_mode(&fresh, 3, 2, 1, 1);
    EXPECT_EQ(mrc_replace_head(path.c_str(), &fresh), 0);
    all = mrcf_get_data_all(path.c_str());
    expect_values(all, values);
    free(all);
    mrc_delete_head(u);

    // A header copied from this input describes an output whose data start at 1024.
    const std::string copy = dir.file("copy.mrc");
    FILE *fin = nullptr, *fout = nullptr;
    MRC_HEAD *hin = nullptr, *hout = nullptr;
    mrcf_io_init(path.c_str(), copy.c_str(), fin, fout, hin, hout);
    EXPECT_EQ(hin->nsymbt, 8);
    EXPECT_EQ(hout->nsymbt, 0);
    EXPECT_EQ(hout->mode, 2);
    std::fclose(fin);
    std::fclose(fout);
    std::vector<float> data(values.begin(), values.end());
    hin->mode = 2;
    EXPECT_EQ(mrcf_write_head_data(copy.c_str(), hin, data.data()), 0);
    EXPECT_EQ(hin->nsymbt, 0);
    const Bytes written = read_bytes(copy);
    ASSERT_EQ(written.size(), 1024u + 24);
    EXPECT_EQ(get32(written, 92), 0u);
    EXPECT_EQ(get_float(written, 1024), 1.0f);
    mrc_delete_head(hin);
    mrc_delete_head(hout);
}

// Chunks of every size, the last one short, after an extended header: the
// values arrive in file order at their own indices, as the whole read gives them.
TEST(MrcRead, ChunkedReadDeliversEveryVoxelAtItsIndex) {
    TempDir dir;
    const std::string path = dir.file("chunks.mrc");
    const std::vector<double> values = ramp(5 * 3 * 2, -7.0, 1.0);
    for (int mode : {1, 2}) {
        make_mrc(path, 5, 3, 2, mode, values, 12);
        for (size_t chunk_n : {1u, 4u, 7u, 30u, 64u}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ", chunk " << chunk_n);
            MRC_HEAD h;
            FILE* f = open_rb(path, &h);
            std::vector<float> chunk(chunk_n), got(values.size(), -99.0f);
            size_t next = 0;
            EXPECT_EQ(mrc_read_all_by_chunks(f, &h, chunk.data(), chunk_n,
                                             [&](size_t first, const float* v, size_t n) {
                                                 EXPECT_EQ(first, next);
                                                 EXPECT_LE(n, chunk_n);
                                                 std::copy(v, v + n, got.begin() + (long)first);
                                                 next = first + n;
                                             }),
                      0);
            std::fclose(f);
            EXPECT_EQ(next, values.size());
            expect_values(got.data(), values);
        }
    }
    // A file shorter than its header: the stretches read are delivered, then -1.
    Bytes b = read_bytes(path);
    b.resize(b.size() - 8);
    write_bytes(path, b);
    MRC_HEAD h;
    FILE* f = open_rb(path, &h);
    float chunk[8];
    size_t delivered = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrc_read_all_by_chunks(f, &h, chunk, 8, [&](size_t, const float*, size_t n) { delivered += n; }), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Reading file failed!"), std::string::npos);
    std::fclose(f);
    EXPECT_EQ(delivered, 24u);
}

TEST(MrcRead, ShortFileOrUnreadModeIsAnError) {
    TempDir dir;
    const std::string short_file = dir.file("short.mrc"), complex_file = dir.file("complex.mrc");
    make_mrc(short_file, 4, 4, 2, 2, ramp(16));  // one section of two
    write_bytes(complex_file, [] {
        Bytes b = raw_header(2, 2, 1, 4);
        b.resize(1024 + 32, 0x3F);
        return b;
    }());
    std::vector<float> out(32, -1.0f);
    MRC_HEAD h;

    testing::internal::CaptureStdout();
    EXPECT_EQ(mrcf_read_head_data_nocheck(short_file.c_str(), &h, out.data()), -1);
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("Reading file failed!"), std::string::npos);
    EXPECT_NE(said.find("'" + short_file + "' (mode 2, Float)"), std::string::npos);

    testing::internal::CaptureStdout();
    EXPECT_EQ(mrcf_read_slice(short_file.c_str(), 1, 'z', out.data()), -1);
    EXPECT_EQ(mrcf_read_data_check_xy(short_file.c_str(), out.data(), 4, 4), -1);
    EXPECT_EQ(mrcf_get_data_sliceN(short_file.c_str(), 1), nullptr);
    testing::internal::GetCapturedStdout();
    float* first = mrcf_get_data_sliceN(short_file.c_str(), 0);  // the section that is there
    ASSERT_NE(first, nullptr);
    expect_values(first, ramp(16));
    free(first);

    std::fill(out.begin(), out.end(), -1.0f);
    FILE* f = open_rb(complex_file, &h);
    float v = 0.0f;
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrc_read_all(f, &h, out.data()), -1);
    EXPECT_EQ(mrc_read_all_nocheck(f, &h, out.data()), -1);
    EXPECT_EQ(mrc_read_slice(f, &h, 0, 'z', out.data()), -1);
    EXPECT_EQ(mrc_read_pixel(&v, f, &h, 0, 0, 0), -1);
    said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("File type unknown!! mode 4 is not supported (Complex Float)"), std::string::npos);
    std::fclose(f);
    EXPECT_EQ(out[0], -1.0f);

    testing::internal::CaptureStdout();
    EXPECT_EQ(mrcf_read_all(complex_file.c_str(), out.data()), -1);
    EXPECT_EQ(mrcf_read_slice(complex_file.c_str(), 0, 'z', out.data()), -1);
    EXPECT_EQ(mrcf_update_head(complex_file.c_str()), -1);
    said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("'" + complex_file + "' (mode 4, Complex Float)"), std::string::npos);
    EXPECT_EQ(read_bytes(complex_file).size(), 1024u + 32);
}

// Files of modes no reader converts, complete for their size where they have
// one (mode 12, float16 as some motion correction writes it, two bytes a voxel;
// mode 3) or written with four bytes a voxel where they have none.
struct UnreadMode {
    int mode, bytes;
};
const UnreadMode unread_modes[] = {{12, 2}, {101, 4}, {3, 4}, {-1, 4}};

std::string write_unread_mode(const TempDir& dir, const UnreadMode& m) {
    const std::string path = dir.file(("mode" + std::to_string(m.mode) + ".mrc").c_str());
    Bytes b = raw_header(4, 4, 2, m.mode);
    b.resize(1024 + 4 * 4 * 2 * m.bytes, 0x3C);
    write_bytes(path, b);
    return path;
}

std::string unsupported(const UnreadMode& m) { return "mode " + std::to_string(m.mode) + " is not supported"; }

// Each reader names the mode, and says nothing of a size first.
TEST(MrcRead, UnsupportedModeIsNamedBeforeAnySize) {
    TempDir dir;
    for (const UnreadMode& m : unread_modes) {
        const std::string path = write_unread_mode(dir, m), says = unsupported(m);
        SCOPED_TRACE(says);
        std::vector<float> out(32, -1.0f), section;
        MRC_HEAD h;
        FILE* f = open_rb(path, &h);
        const std::function<int()> readers[] = {
            [&] { return mrc_read_all_nocheck(f, &h, out.data()); },
            [&] { return mrc_read_slice(f, &h, 1, 'z', out.data()); },
            [&] { return mrc_check_data_in_file(f, &h); },
            [&] { return mrcf_read_sliceN(path.c_str(), 0, section); },
            [&] { return mrcf_read_data_check_xy(path.c_str(), out.data(), 5, 5); },  // sizes that differ too
            [&] { return mrcf_update_head(path.c_str()); },
        };
        for (const auto& read : readers) {
            testing::internal::CaptureStdout();
            EXPECT_EQ(read(), -1);
            const std::string said = testing::internal::GetCapturedStdout();
            EXPECT_NE(said.find(says), std::string::npos) << said;
            EXPECT_EQ(said.find("File size"), std::string::npos) << said;
            EXPECT_EQ(said.find("shorter"), std::string::npos) << said;
        }
        EXPECT_EQ(std::string(mrc_image_fault(f, &h)), says);
        std::fclose(f);
        EXPECT_EQ(std::string(mrcf_image_fault(path.c_str(), &h)), says);
        for (float v : out) ASSERT_EQ(v, -1.0f);
    }
}

TEST_F(MrcDeath, FatalReadersNameAnUnsupportedMode) {
    for (const UnreadMode& m : unread_modes) {
        const std::string path = write_unread_mode(dir, m);
        EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_get_data_all(path.c_str())), ::testing::ExitedWithCode(1), unsupported(m));
        if (mrc_mode_bytes(m.mode) != 0) continue;  // sized: the checked read warns and returns -1, as above
        MRC_HEAD h;
        FILE* f = open_rb(path, &h);
        std::vector<float> out(32);
        EXPECT_EXIT((STDOUT_TO_STDERR(), mrc_read_all(f, &h, out.data())), ::testing::ExitedWithCode(1), unsupported(m));
        std::fclose(f);
    }
}

TEST_F(MrcDeath, CheckedWholeReadsEndTheProcess) {
    const std::string short_file = dir.file("short.mrc"), complex_file = dir.file("complex.mrc");
    make_mrc(short_file, 4, 4, 2, 2, ramp(16));
    Bytes b = raw_header(2, 2, 1, 4);
    b.resize(1024 + 32, 0);
    write_bytes(complex_file, b);
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_get_data_all(short_file.c_str())), ::testing::ExitedWithCode(1),
                "File size error!");
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_get_zdata_all(short_file.c_str())), ::testing::ExitedWithCode(1),
                "File size error!");
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_get_data_all(complex_file.c_str())), ::testing::ExitedWithCode(1),
                "read data of file '.*complex.mrc' \\(mode 4, Complex Float\\) failed");
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_get_head(dir.file("missing.mrc").c_str())), ::testing::ExitedWithCode(1),
                "Cannot open file .*missing.mrc. Permission denied or wrong file name.\n.*"
                "mrcf_get_head\\(\\).*open file '.*missing.mrc' failed.! Exit now!");
    std::vector<float> out(16);
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_read_sub_area(complex_file.c_str(), out.data(), 0, 0, 0, 1, 1, 1)),
                ::testing::ExitedWithCode(1), "File Mode must be MRC_MODE_FLOAT!Exit now!");
}

TEST_F(MrcDeath, MissingInputIsReportedInTheCallersName) {
    const std::string missing = dir.file("missing.mrc");
    const char* name = missing.c_str();
    std::vector<float> out(4);
    float* z = nullptr;
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"mrcf_get_head_mode", [&] { mrcf_get_head_mode(name); }},
        {"mrcf_read_all", [&] { mrcf_read_all(name, out.data()); }},
        {"mrcf_read_data_check_xy", [&] { mrcf_read_data_check_xy(name, out.data(), 2, 2); }},
        {"mrcf_read_data_check_xyz", [&] { mrcf_read_data_check_xyz(name, out.data(), 2, 2, 1); }},
        {"mrcf_get_zdata_all2", [&] { mrcf_get_zdata_all2(&z, name); }},
    };
    for (const auto& c : cases)
        EXPECT_EXIT((STDOUT_TO_STDERR(), c.second()), ::testing::ExitedWithCode(1),
                    std::string("Error in function ") + c.first + "\\(\\), .*open file '.*missing.mrc' failed")
            << c.first;
}

// ---------------- writers ----------------

TEST(MrcWrite, HeaderStatisticsFromData) {
    TempDir dir;
    const std::string path = dir.file("stats.mrc");
    struct { std::vector<float> data; float dmin, dmax, dmean; } const cases[] = {
        {std::vector<float>(12, 3.0f), 3.0f, 3.0f, 3.0f},
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 0.0f, 11.0f, 5.5f},
        {{-8, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 6}, -8.0f, 6.0f, 0.25f},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(mrcf_write_xyz_data(path.c_str(), c.data.data(), 3, 2, 2), 0);
        const Bytes b = read_bytes(path);
        ASSERT_EQ(b.size(), 1024u + 48);
        EXPECT_EQ(get_float(b, 76), c.dmin);
        EXPECT_EQ(get_float(b, 80), c.dmax);
        EXPECT_EQ(get_float(b, 84), c.dmean);
    }
}

TEST(MrcWrite, ManagedAndDeviceForms) {
    TempDir dir;
    const std::vector<float> data = {4, -1, 2.5f, 8, 0, 3};
    float* dev = nullptr;
    ASSERT_EQ(cudaMalloc(&dev, sizeof(float) * 6), cudaSuccess);
    memcpy_H2D(dev, data.data(), sizeof(float) * 6);
    float* managed = nullptr;
    ASSERT_EQ(cudaMallocManaged(&managed, sizeof(float) * 6), cudaSuccess);
    std::copy(data.begin(), data.end(), managed);

    const std::string a = dir.file("d.mrc"), b = dir.file("z.mrc"), c = dir.file("hd.mrc");
    EXPECT_EQ(mrcf_write_xyz_ddata(a.c_str(), dev, 3, 2, 1), 0);
    EXPECT_EQ(mrcf_write_xyz_zdata(b.c_str(), managed, 3, 2, 1), 0);
    MRC_HEAD* h = mrc_new_head();
    mrc_set_head_xyz(h, 2, 3, 1);
    h->origin[0] = 12.5f;
    EXPECT_EQ(mrcf_write_head_ddata(c.c_str(), h, dev), 0);
    EXPECT_EQ(h->dmax, 8.0f);
    for (const std::string& path : {a, b, c}) {
        float* back = nullptr;
        EXPECT_EQ(mrcf_get_zdata_all2(&back, path.c_str()), 0);
        expect_values(back, std::vector<double>(data.begin(), data.end()));
        cudaFree(back);
        MRC_HEAD* r = mrcf_get_head(path.c_str());
        EXPECT_EQ(r->dmin, -1.0f);
        EXPECT_EQ(r->dmax, 8.0f);
        EXPECT_EQ(r->dmean, 16.5f / 6);
        mrc_delete_head(r);
    }
    EXPECT_EQ(get_float(read_bytes(c), 196), 12.5f);
    mrc_delete_head(h);
    cudaFree(dev);
    cudaFree(managed);
}

// Device data larger than the writer's host chunk, the extremes and a -0 in
// later chunks: the file is byte for byte the one written from a host array.
TEST(MrcWrite, DeviceDataOverManyChunksWriteTheHostForm) {
    TempDir dir;
    const int nx = 700, ny = 800;
    std::vector<float> data((size_t)nx * ny);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (float)((i * 7919) % 1000) * 0.37f - 100.0f;
    data[500000] = 1e6f;
    data[300001] = -1e6f;
    data[0] = -0.0f;
    float* dev = nullptr;
    ASSERT_EQ(cudaMalloc(&dev, sizeof(float) * data.size()), cudaSuccess);
    memcpy_H2D(dev, data.data(), sizeof(float) * data.size());
    const std::string from_host = dir.file("h.mrc"), from_device = dir.file("d.mrc");
    EXPECT_EQ(mrcf_write_xyz_data(from_host.c_str(), data.data(), nx, ny, 1), 0);
    EXPECT_EQ(mrcf_write_xyz_ddata(from_device.c_str(), dev, nx, ny, 1), 0);
    const Bytes h = read_bytes(from_host), d = read_bytes(from_device);
    ASSERT_EQ(d.size(), 1024 + data.size() * 4);
    EXPECT_TRUE(h == d);
    EXPECT_EQ(get_float(d, 80), 1e6f);   // dmax
    EXPECT_EQ(get_float(d, 76), -1e6f);  // dmin
    cudaFree(dev);
}

TEST(MrcWrite, SectionsAndColumnsOnAnOpenFile) {
    TempDir dir;
    const std::string path = dir.file("open.mrc");
    std::vector<float> zeros(6, 0.0f);
    ASSERT_EQ(mrcf_write_xyz_data(path.c_str(), zeros.data(), 3, 2, 1), 0);
    FILE* f = std::fopen(path.c_str(), "rb+");
    MRC_HEAD h;
    mrc_read_head(f, &h);
    const float section[6] = {1, 2, 3, 4, 5, 6};
    const float column[4] = {-1, -2, -3, -4};
    EXPECT_EQ(mrc_add_slice(f, &h, section), 0);  // appended as section 1
    h.nz = 2;
    EXPECT_EQ(mrc_write_head(f, &h), 0);
    EXPECT_EQ(mrc_add_sliceN(f, &h, section, 0), 0);  // section 0 overwritten
    EXPECT_EQ(mrc_update_slcX(f, 1, column), 0);     // column 1 of both sections
    std::fclose(f);
    std::vector<float> out(12);
    EXPECT_EQ(mrcf_read_all(path.c_str(), out.data()), 0);
    expect_values(out.data(), {1, -1, 3, 4, -2, 6, 1, -3, 3, 4, -4, 6});

    const std::string shorts = dir.file("shorts.mrc");
    make_mrc(shorts, 3, 2, 1, 1, ramp(6));
    f = std::fopen(shorts.c_str(), "rb+");
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrc_update_slcX(f, 0, column), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("mode 1 (Short)"), std::string::npos);
    std::fclose(f);
    float* back = mrcf_get_data_all(shorts.c_str());
    expect_values(back, ramp(6));
    free(back);
}

TEST(MrcWrite, NewFileByteSectionsAndCopiedHeader) {
    TempDir dir;
    const std::string bytes = dir.file("bytes.mrc");
    MRC_HEAD* h = mrc_new_head();
    mrc_set_head_xyz_mode(h, 3, 2, 1, 0);
    EXPECT_EQ(mrc_new_file(bytes.c_str(), h), 0);
    FILE* f = std::fopen(bytes.c_str(), "rb+");
    const unsigned char section[6] = {0, 9, 200, 255, 1, 2};
    EXPECT_EQ(mrc_add_slice_byte(f, h, section), 0);
    std::fclose(f);
    mrc_delete_head(h);
    float* back = mrcf_get_data_all(bytes.c_str());
    expect_values(back, {0, 9, 200, 255, 1, 2});
    free(back);

    // Input with an extended header; the output's header says mode 2 and no extended header.
    const std::string in = dir.file("in.mrc"), out = dir.file("out.mrc");
    make_mrc(in, 3, 2, 1, 1, ramp(6, -3), 12);
    FILE *fin = nullptr, *fout = nullptr;
    MRC_HEAD hin, hout;
    mrcf_io_open_io_read_write_head(in.c_str(), out.c_str(), fin, fout, &hin, &hout);
    EXPECT_EQ(hin.nsymbt, 12);
    EXPECT_EQ(hout.nsymbt, 0);
    std::vector<float> data(6);
    EXPECT_EQ(mrc_read_all(fin, &hin, data.data()), 0);
    EXPECT_EQ(mrc_add_slice(fout, &hout, data.data()), 0);
    std::fclose(fin);
    std::fclose(fout);
    back = mrcf_get_data_all(out.c_str());
    expect_values(back, ramp(6, -3));
    free(back);
    EXPECT_STREQ(mrcf_get_head_mode(out.c_str()), "Float");
}

// The pair of streams opens the output only for an input with a whole header
// that is not the output itself; otherwise nothing is created or truncated.
TEST(MrcWrite, InputOutputPairRefusesAHeaderlessInputAndAnOutputOverTheInput) {
    TempDir dir;
    const std::string in = dir.file("in.mrc"), link = dir.file("link.mrc"), empty = dir.file("empty.mrc"), out = dir.file("out.mrc");
    make_mrc(in, 3, 2, 1, 2, ramp(6));
    std::filesystem::create_symlink(in, link);
    std::fclose(std::fopen(empty.c_str(), "wb"));
    const Bytes original = read_bytes(in);
    const struct {
        std::string in, out;
        const char* says;
    } cases[] = {{empty, out, "shorter than an MRC header"}, {in, in, "is the input file"}, {in, link, "is the input file"}};
    for (const auto& c : cases) {
        FILE* fin = stdin;
        FILE* fout = stdin;
        MRC_HEAD* hin = nullptr;
        MRC_HEAD* hout = nullptr;
        MRC_HEAD h1, h2;
        testing::internal::CaptureStdout();
        EXPECT_EQ(mrcf_io_init(c.in.c_str(), c.out.c_str(), fin, fout, hin, hout), -1) << c.out;
        EXPECT_TRUE(fin == nullptr && fout == nullptr && hin == nullptr && hout == nullptr) << c.out;
        EXPECT_EQ(mrcf_io_open_io_read_write_head(c.in.c_str(), c.out.c_str(), fin, fout, &h1, &h2), -1) << c.out;
        EXPECT_TRUE(fin == nullptr && fout == nullptr) << c.out;
        EXPECT_NE(testing::internal::GetCapturedStdout().find(c.says), std::string::npos) << c.out;
        EXPECT_EQ(read_bytes(in), original);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST(MrcWrite, AppendSectionsKeepsTheFileExact) {
    TempDir dir;
    const std::string path = dir.file("append.mrc");
    const std::vector<double> first = ramp(64 * 64 * 5);
    make_mrc(path, 64, 64, 5, 2, first);
    std::vector<float> more(64 * 64 * 2);
    for (size_t i = 0; i < more.size(); i++) more[i] = -(float)i;
    EXPECT_EQ(mrcf_add_xyz_data(path.c_str(), more.data(), 64, 64, 2), 0);
    EXPECT_EQ(read_bytes(path).size(), 1024u + 4 * 64 * 64 * 7);
    float* all = mrcf_get_data_all(path.c_str());  // passes the size check
    expect_values(all, first);
    expect_values(all + first.size(), std::vector<double>(more.begin(), more.end()));
    free(all);
    MRC_HEAD* h = mrcf_get_head(path.c_str());
    EXPECT_EQ(h->nz, 7);
    mrc_delete_head(h);
}

TEST_F(MrcDeath, WritersRefuseWhatTheyCannotWrite) {
    const std::string bytes = dir.file("bytes.mrc");
    make_mrc(bytes, 4, 4, 1, 0, ramp(16));
    std::vector<float> data(32, 1.0f);
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_add_xyz_data(bytes.c_str(), data.data(), 4, 4, 2)),
                ::testing::ExitedWithCode(1), "mode 0 \\(Byte\\)");
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_add_xyz_data(bytes.c_str(), data.data(), 4, 5, 2)),
                ::testing::ExitedWithCode(1), "file size incompatible!");
    EXPECT_EQ(read_bytes(bytes).size(), 1024u + 16);

    MRC_HEAD* h = mrc_new_head();
    mrc_set_head_xyz_mode(h, 4, 4, 1, 1);
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_write_head_data(dir.file("m.mrc").c_str(), h, data.data())),
                ::testing::ExitedWithCode(1),
                "mrc_write_head_data\\(\\).*does not support writing float data to other MRC format");
    mrc_delete_head(h);
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_write_xyz_data("/dev/full", data.data(), 4, 4, 2)),
                ::testing::ExitedWithCode(1), "Cannot write to file /dev/full. Permission denied or no space left!");
    EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_write_xyz_data(dir.file("no/such/dir.mrc").c_str(), data.data(), 4, 4, 2)),
                ::testing::ExitedWithCode(1), "open file '.*no/such/dir.mrc' failed.! Exit now!");
}

// A refused or failed write leaves no file behind: the mode is refused before the
// file is made, and a write cut short (the file size limit) removes what it
// wrote. The child of a death test runs the test anew: the outputs are looked
// for where both find them.
TEST_F(MrcDeath, RefusedOrFailedWritesLeaveNoFile) {
    const std::string fixed = "/tmp/vorn_mrc_writers_" + std::to_string(getuid());
    std::filesystem::create_directories(fixed);
    const std::string byte_mode = fixed + "/byte_mode.mrc", device_mode = fixed + "/device_mode.mrc", cut = fixed + "/cut.mrc";
    std::vector<float> data(4 * 4 * 64, 1.0f);
    MRC_HEAD h;
    mrc_init_head(&h);
    mrc_set_head_xyz_mode(&h, 4, 4, 1, 0);
    auto limit_file_size = [] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit small = {2000, 2000};
        setrlimit(RLIMIT_FSIZE, &small);
    };
    const struct {
        std::string path;
        std::function<void()> write;
        const char* says;
    } cases[] = {
        {byte_mode, [&] { mrcf_write_head_data(byte_mode.c_str(), &h, data.data()); },
         "mrc_write_head_data\\(\\).*does not support writing float data to other MRC format"},
        {device_mode, [&] { mrcf_write_head_ddata(device_mode.c_str(), &h, nullptr); },
         "mrc_write_head_ddata\\(\\).*does not support writing float data to other MRC format"},
        {cut, [&] { limit_file_size(), mrcf_write_xyz_data(cut.c_str(), data.data(), 4, 4, 64); },
         "Cannot write to file .*cut.mrc. Permission denied or no space left!"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT((STDOUT_TO_STDERR(), c.write()), ::testing::ExitedWithCode(1), c.says) << c.path;
        EXPECT_FALSE(std::filesystem::exists(c.path)) << c.path;
    }
    std::filesystem::remove_all(fixed);
}

TEST(MrcWrite, StampWarningOnWrite) {
    TempDir dir;
    const std::string path = dir.file("warn.mrc");
    FILE* f = std::fopen(path.c_str(), "wb+");
    MRC_HEAD h;
    mrc_init_head(&h);
    h.map[0] = 'X';
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrc_write_head(f, &h), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("mrc_write_head(), file src/mrcfile on line"),
              std::string::npos);
    std::fclose(f);
    EXPECT_EQ(read_bytes(path)[208], 'X');  // written anyway
}

// ---------------- an independent strict reader ----------------

TEST(MrcWrite, StrictIndependentReaderOpensOurFiles) {
    if (std::system("/usr/bin/python3 -c 'import mrcfile' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "/usr/bin/python3 with the mrcfile package is not available";
    TempDir dir;
    struct Shape { const char* name; int nx, ny, nz; };
    const Shape shapes[] = {{"image.mrc", 7, 5, 1}, {"stack.mrcs", 4, 3, 6}, {"volume.mrc", 5, 5, 5}};
    std::string args;
    std::vector<double> want;
    for (const auto& s : shapes) {
        std::vector<float> data((size_t)s.nx * s.ny * s.nz);
        double sum = 0.0;
        for (size_t i = 0; i < data.size(); i++) {
            data[i] = (float)std::sin(0.37 * (double)i) * 100.0f;
            sum += (double)data[i] * (double)(i + 1);  // order-sensitive checksum
        }
        const std::string path = dir.file(s.name);
        if (s.nz == 5) {
            float* dev = nullptr;
            ASSERT_EQ(cudaMalloc(&dev, sizeof(float) * data.size()), cudaSuccess);
            memcpy_H2D(dev, data.data(), sizeof(float) * data.size());
            mrcf_write_xyz_ddata(path.c_str(), dev, s.nx, s.ny, s.nz);
            cudaFree(dev);
        } else {
            mrcf_write_xyz_data(path.c_str(), data.data(), s.nx, s.ny, s.nz);
        }
        args += " " + path;
        want.insert(want.end(), {(double)s.nx, (double)s.ny, (double)s.nz, sum});
    }
    // An output whose header was copied from an input with an extended header.
    const std::string input = dir.file("ext_in.mrc"), copy = dir.file("copy.mrc");
    make_mrc(input, 3, 2, 1, 1, {1, -2, 3, -4, 5, -6}, 16);
    MRC_HEAD* h = mrcf_get_head(input.c_str());
    float* values = mrcf_get_data_all(input.c_str());
    h->mode = 2;
    mrcf_write_head_data(copy.c_str(), h, values);
    free(values);
    mrc_delete_head(h);
    args += " " + copy;
    want.insert(want.end(), {3, 2, 1, 1 * 1 - 2 * 2 + 3 * 3 - 4 * 4 + 5 * 5 - 6 * 6});
    const std::string script = dir.file("check.py");
    {
        FILE* f = std::fopen(script.c_str(), "w");
        std::fputs("import sys, warnings, mrcfile, numpy as np\n"
                   "warnings.simplefilter('error')\n"
                   "for p in sys.argv[1:]:\n"
                   "    with mrcfile.open(p, permissive=False) as m:\n"
                   "        d = m.data.astype(np.float64).ravel()\n"
                   "        w = np.arange(1, d.size + 1, dtype=np.float64)\n"
                   "        print(int(m.header.nx), int(m.header.ny), int(m.header.nz), repr(float((d * w).sum())))\n",
                   f);
        std::fclose(f);
    }
    FILE* p = popen(("/usr/bin/python3 " + script + args + " 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char line[512];
    while (std::fgets(line, sizeof line, p) != nullptr) text += line;
    ASSERT_EQ(pclose(p), 0) << text;
    std::vector<double> got;
    for (const char* s = text.c_str(); *s;) {
        char* end = nullptr;
        const double v = std::strtod(s, &end);
        if (end == s) break;
        got.push_back(v);
        s = end;
    }
    ASSERT_EQ(got.size(), want.size()) << text;
    for (size_t i = 0; i < want.size(); i++) EXPECT_NEAR(got[i], want[i], 1e-9 * (1.0 + std::fabs(want[i]))) << i;
}

TEST(MrcWrite, HeaderRewrittenInPlaceKeepsTheExtendedHeader) {
    TempDir dir;
    const std::string path = dir.file("ext.mrc");
    make_mrc(path, 3, 2, 1, 2, ramp(6, 1), 16);
    FILE* f = std::fopen(path.c_str(), "rb+");
    MRC_HEAD h;
    mrc_read_head(f, &h);
    h.dmin = -5.0f;
    EXPECT_EQ(mrc_write_head(f, &h), 0);
    EXPECT_EQ(h.nsymbt, 16);  // the caller's record is left alone
    const float section[6] = {9, 8, 7, 6, 5, 4};
    EXPECT_EQ(mrc_add_sliceN(f, &h, section, 0), 0);  // still lands after the extended header
    std::fclose(f);
    const Bytes b = read_bytes(path);
    ASSERT_EQ(b.size(), 1024u + 16 + 24);
    EXPECT_EQ(get32(b, 92), 16u);
    EXPECT_EQ(get_float(b, 76), -5.0f);
    EXPECT_EQ(b[1024 + 15], 0x7F);  // extended header untouched
    float* back = mrcf_get_data_all(path.c_str());
    expect_values(back, {9, 8, 7, 6, 5, 4});
    free(back);

    // A new file from that record has no extended header, and says so.
    const std::string fresh = dir.file("fresh.mrc");
    EXPECT_EQ(mrc_new_file(fresh.c_str(), &h), 0);
    EXPECT_EQ(h.nsymbt, 0);
    f = std::fopen(fresh.c_str(), "rb+");
    EXPECT_EQ(mrc_add_slice(f, &h, section), 0);
    std::fclose(f);
    back = mrcf_get_data_all(fresh.c_str());
    expect_values(back, {9, 8, 7, 6, 5, 4});
    free(back);
}

// ---------------- damaged files (README beside them says what each breaks) ----------------

std::string hostile_file(const char* name) { return std::string(VORN_HOSTILE_DATA) + "/" + name; }

#define SKIP_WITHOUT_HOSTILE_FILES()                                                                     \
    if (!std::filesystem::is_directory(VORN_HOSTILE_DATA))                                              \
    GTEST_SKIP() << "damaged test files not found in " VORN_HOSTILE_DATA

// Runs a reader on an open copy of the file (header read), returning its status.
int on_open_file(const std::string& path, const std::function<int(FILE*, MRC_HEAD*)>& read) {
    MRC_HEAD h;
    FILE* f = std::fopen(path.c_str(), "rb+");
    if (f == nullptr) return -99;
    mrc_read_head(f, &h);
    const int status = read(f, &h);
    std::fclose(f);
    return status;
}

TEST(MrcHostile, ReadersRejectDamagedFilesAtOnce) {
    SKIP_WITHOUT_HOSTILE_FILES();
    TempDir dir;
    // Sentinel-filled outputs: a rejection, or a slice of no values, writes nothing.
    std::vector<float> out(64, -7.0f);
    std::vector<unsigned char> bytes(64, 7);
    const int BIG = 2147483646;
    typedef std::function<int(FILE*, MRC_HEAD*)> OpenRead;
    typedef std::function<int(const char*)> NamedRead;
    struct Case {
        const char* file;
        const char* call;
        OpenRead open_read;
        NamedRead named_read;
        int want;
    } const cases[] = {
        {"grids_huge_header.mrc", "2d_read_grids", [&](FILE* f, MRC_HEAD* h) { return mrc_2d_read_grids(f, h, out.data(), 4, 4); }, nullptr, -1},
        {"slice_byte_nx0.mrc", "slice_byte x", [&](FILE* f, MRC_HEAD* h) { return mrc_read_slice_byte(f, h, 0, 'x', bytes.data()); }, nullptr, -1},
        {"slice_byte_nx0.mrc", "slice_byte y (no values)", [&](FILE* f, MRC_HEAD* h) { return mrc_read_slice_byte(f, h, 0, 'y', bytes.data()); }, nullptr, 0},
        {"slice_byte_nx0.mrc", "slice_byte z (no values)", [&](FILE* f, MRC_HEAD* h) { return mrc_read_slice_byte(f, h, BIG, 'z', bytes.data()); }, nullptr, 0},
        {"update_head_nxy0_loop.mrc", "update_head", nullptr, [](const char* n) { return mrcf_update_head(n); }, -1},
        {"slice_y_nx0_loop.mrc", "slice y (no values)", [&](FILE* f, MRC_HEAD* h) { return mrc_read_slice(f, h, 0, 'y', out.data()); }, nullptr, 0},
        {"slice_y_nx0_loop.mrc", "slice_byte y (no values)", [&](FILE* f, MRC_HEAD* h) { return mrc_read_slice_byte(f, h, 0, 'Y', bytes.data()); }, nullptr, 0},
        {"slice_y_nx0_loop.mrc", "slice_double y (no values)", [&](FILE* f, MRC_HEAD* h) { double d = -7; int s = mrc_read_slice_double(f, h, 0, 'y', &d); return d == -7 ? s : -98; }, nullptr, 0},
        {"dims_overflow.mrc", "get_dim_size xyz", nullptr, [](const char* n) { return (int)mrcf_get_dim_size(n, "xyz"); }, -1},
        {"dims_overflow.mrc", "get_dim_size xy", nullptr, [](const char* n) { return mrcf_get_dim_size(n, "xy") == 4611686014132420609L ? 0 : -98; }, 0},
        {"dims_overflow.mrc", "read_pixel", [&](FILE* f, MRC_HEAD* h) { return mrc_read_pixel(out.data(), f, h, BIG, BIG, BIG); }, nullptr, -1},
        {"dims_overflow.mrc", "read_sub_area", [&](FILE* f, MRC_HEAD* h) { return mrc_read_sub_area(f, h, out.data(), BIG - 1, BIG - 1, BIG - 1, 1, 1, 1); }, nullptr, -1},
        {"dims_overflow.mrc", "slice x", [&](FILE* f, MRC_HEAD* h) { return mrc_read_slice(f, h, BIG, 'x', out.data()); }, nullptr, -1},
        {"dims_overflow.mrc", "read_all_nocheck", [&](FILE* f, MRC_HEAD* h) { return mrc_read_all_nocheck(f, h, out.data()); }, nullptr, -1},
        {"slice_z_offset_overflow.mrc", "slice z 1", [&](FILE* f, MRC_HEAD* h) { return mrc_read_slice(f, h, 1, 'z', out.data()); }, nullptr, -1},
        {"slice_z_offset_overflow.mrc", "slice y", [&](FILE* f, MRC_HEAD* h) { return mrc_read_slice(f, h, BIG, 'y', out.data()); }, nullptr, -1},
        {"slice_z_offset_overflow.mrc", "slice z by name", nullptr, [&](const char* n) { return mrcf_read_slice(n, 1, 'z', out.data()); }, -1},
        {"update_head_1GiB.mrc", "update_head", nullptr, [](const char* n) { return mrcf_update_head(n); }, -1},
        {"sliceN_16GiB.mrc", "get_data_sliceN", nullptr, [](const char* n) { float* d = mrcf_get_data_sliceN(n, 0); free(d); return d == nullptr ? -1 : 0; }, -1},
        {"sliceN_16GiB.mrc", "2d_read_grids", [&](FILE* f, MRC_HEAD* h) { return mrc_2d_read_grids(f, h, out.data(), 4, 4); }, nullptr, -1},
        {"short_head.mrc", "update_slcX", [&](FILE* f, MRC_HEAD*) { return mrc_update_slcX(f, 0, out.data()); }, nullptr, -1},
        {"update_head_1GiB.mrc", "update_slcX", [&](FILE* f, MRC_HEAD*) { return mrc_update_slcX(f, 0, out.data()); }, nullptr, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + ": " + c.call);
        // A copy, so that the writers among the readers may open it for update.
        const std::string path = dir.file(c.file);
        const Bytes original = read_bytes(hostile_file(c.file));
        ASSERT_FALSE(original.empty());
        write_bytes(path, original);
        testing::internal::CaptureStdout();
        const auto start = std::chrono::steady_clock::now();
        const int status = c.open_read ? on_open_file(path, c.open_read) : c.named_read(path.c_str());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, c.want);
        EXPECT_LT(seconds, 2.0);  // the damaged headers once drove loops of 2^31 passes
        if (c.want == -1) {
            EXPECT_NE(said.find("\033[43mWarning in function"), std::string::npos) << said;
        }
        EXPECT_EQ(read_bytes(path), original);  // nothing written, nothing grown
        for (float v : out) ASSERT_EQ(v, -7.0f);
        for (unsigned char v : bytes) ASSERT_EQ(v, 7);
    }
}

TEST_F(MrcDeath, WholeFileReadsOfDamagedFilesEndWithTheFatalLine) {
    SKIP_WITHOUT_HOSTILE_FILES();
    for (const char* file : {"grids_huge_header.mrc", "dims_overflow.mrc", "slice_z_offset_overflow.mrc",
                             "update_head_1GiB.mrc", "sliceN_16GiB.mrc", "short_head.mrc"}) {
        SCOPED_TRACE(file);
        const std::string path = hostile_file(file);
        EXPECT_EXIT((STDOUT_TO_STDERR(), mrcf_get_data_all(path.c_str())), ::testing::ExitedWithCode(1),
                    "File size error!! Exit now!");
    }
    // A header of no voxels whose file holds exactly the header is an empty image, read at once.
    for (const char* file : {"slice_byte_nx0.mrc", "slice_y_nx0_loop.mrc", "update_head_nxy0_loop.mrc"}) {
        float* data = mrcf_get_data_all(hostile_file(file).c_str());
        EXPECT_NE(data, nullptr);
        free(data);
    }
}

}  // namespace
