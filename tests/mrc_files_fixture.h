// Small MRC fixtures for the tests of the whole-file image commands: a
// temporary directory, images that tell every pixel apart, files written and
// re-read with the library's own reader, files that hold no header, box files,
// the check of a refusal, and a check of outputs in an independent strict
// reader (python mrcfile) where one is installed.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "boxfile.h"
#include "mrcfile.h"

namespace mrc_test {

using Image = std::vector<float>;

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vorn_cmds_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// Pixel (x, y) of image k: distinct and exact in float.
inline Image numbered(int nx, int ny, int nz = 1) {
    Image a((size_t)nx * ny * nz);
    for (int k = 0; k < nz; ++k)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) a[((size_t)k * ny + y) * nx + x] = (float)(k * 10000 + y * 100 + x + 1);
    return a;
}
// A smooth pattern with some noise, reproducible.
inline Image pattern(int nx, int ny, int nz = 1, double seed = 0.0) {
    Image a((size_t)nx * ny * nz);
    uint32_t s = 12345u + (uint32_t)(seed * 1000);
    for (size_t i = 0; i < a.size(); ++i) {
        s = s * 1664525u + 1013904223u;
        a[i] = (float)(std::sin(0.29 * i + seed) + 0.5 * (s >> 8) / 16777216.0);
    }
    return a;
}

inline std::string write_mrc(const TempDir& dir, const std::string& name, const Image& data, int nx, int ny, int nz = 1) {
    const std::string path = dir.file(name);
    const float none = 0.0f;  // a file of no voxels still passes a valid pointer
    mrcf_write_xyz_data(path.c_str(), data.empty() ? &none : data.data(), nx, ny, nz);
    return path;
}
inline MRC_HEAD head_of(const std::string& path) {
    MRC_HEAD h;
    mrcf_read_head(path.c_str(), &h);
    return h;
}
// All values of a file through the library's reader.
inline Image data_of(const std::string& path) {
    const MRC_HEAD h = head_of(path);
    float* v = mrcf_get_data_all(path.c_str());
    Image out(v, v + (size_t)h.nx * h.ny * h.nz);
    std::free(v);
    return out;
}
inline bool exists(const std::string& path) { return std::filesystem::exists(path); }
// A mode-2 file of nx x ny x nz holding exactly want.
inline void expect_file(const std::string& path, const Image& want, int nx, int ny, int nz, const std::string& what) {
    const MRC_HEAD h = head_of(path);
    EXPECT_EQ(h.nx, nx) << what;
    EXPECT_EQ(h.ny, ny) << what;
    EXPECT_EQ(h.nz, nz) << what;
    EXPECT_EQ(h.mode, 2) << what;
    EXPECT_EQ(data_of(path), want) << what;
}
// What run printed on standard output.
inline std::string quiet(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

// The bytes of a file; empty when it cannot be read (a directory, no file).
inline std::string bytes_of(const std::string& path) {
    std::string b;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return b;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) b.append(chunk, n);
    std::fclose(f);
    return b;
}
inline void write_text(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// Files that hold no MRC header, by what is wrong: an empty file, a header one
// byte short (its sizes and stamp in the bytes that are there), a directory.
inline std::vector<std::string> headless_inputs(const TempDir& dir, const std::string& suffix = ".mrc") {
    const std::string good = write_mrc(dir, "whole" + suffix, pattern(8, 6), 8, 6);
    const std::string empty = dir.file("empty" + suffix), short_by_one = dir.file("short_by_one" + suffix);
    write_text(empty, "");
    write_text(short_by_one, bytes_of(good).substr(0, 1023));
    const std::string folder = dir.file("folder" + suffix);
    std::filesystem::create_directory(folder);
    return {empty, short_by_one, folder};
}

// A file of a header of nx x ny x nz in the given mode and data bytes after it.
inline std::string mode_file(const TempDir& dir, const std::string& name, int nx, int ny, int nz, int mode, size_t data) {
    MRC_HEAD h;
    mrc_init_head(&h);
    mrc_set_head_xyz_mode(&h, nx, ny, nz, mode);
    const std::string path = dir.file(name);
    write_text(path, std::string((const char*)&h, sizeof h) + std::string(data, '\x3c'));
    return path;
}
// A file of a mode-2 header of nx x ny x nz and no data.
inline std::string header_only(const TempDir& dir, const std::string& name, int nx, int ny, int nz) {
    return mode_file(dir, name, nx, ny, nz, MRC_MODE_FLOAT, 0);
}

// A refusal: run returns -1 and prints says, every input is as it was and no
// output exists.
inline void expect_refused(const std::function<int()>& run, const std::string& says, const std::vector<std::string>& inputs,
                           const std::vector<std::string>& outputs, const std::string& what) {
    std::vector<std::string> before;
    for (const auto& in : inputs) before.push_back(bytes_of(in));
    testing::internal::CaptureStdout();
    const int status = run();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, -1) << what;
    EXPECT_NE(printed.find(says), std::string::npos) << what << ": " << printed;
    for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(bytes_of(inputs[i]), before[i]) << what << ": " << inputs[i];
    for (const auto& out : outputs) EXPECT_FALSE(std::filesystem::exists(out)) << what << ": " << out;
}

// A .box file: one line "x y w h" per box.
inline std::string write_boxes(const TempDir& dir, const std::string& name, const std::vector<PTCL_BOX>& boxes) {
    const std::string path = dir.file(name);
    FILE* f = std::fopen(path.c_str(), "w");
    for (const PTCL_BOX& b : boxes) std::fprintf(f, "%d\t%d\t%d\t%d\n", b.x, b.y, b.w, b.h);
    std::fclose(f);
    return path;
}
inline PTCL_BOX box(int x, int y, int w, int h) {
    PTCL_BOX b{};
    b.x = x, b.y = y, b.w = w, b.h = h;
    return b;
}

// The w x h window at (x0, y0) of an nx x ny image, 0 outside it.
inline Image crop(const Image& image, int nx, int ny, int x0, int y0, int w, int h) {
    Image out((size_t)w * h, 0.0f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int sx = x0 + x, sy = y0 + y;
            if (sx >= 0 && sy >= 0 && sx < nx && sy < ny) out[(size_t)y * w + x] = image[(size_t)sy * nx + sx];
        }
    return out;
}

inline bool have_strict_reader() {
    return std::system("/usr/bin/python3 -c 'import mrcfile' >/dev/null 2>&1") == 0;
}
// "nx ny nz mode sum" per file from python mrcfile opened with permissive=False
// and warnings as errors; empty when the reader refused any of them.
inline std::string strict_read(const TempDir& dir, const std::vector<std::string>& files) {
    const std::string script = dir.file("strict_check.py");
    FILE* f = std::fopen(script.c_str(), "w");
    std::fputs("import sys, warnings, mrcfile, numpy as np\n"
               "warnings.simplefilter('error')\n"
               "for p in sys.argv[1:]:\n"
               "    with mrcfile.open(p, permissive=False) as m:\n"
               "        h = m.header\n"
               "        print(int(h.nx), int(h.ny), int(h.nz), int(h.mode), '%.6g' % float(m.data.astype(np.float64).sum()))\n",
               f);
    std::fclose(f);
    std::string args;
    for (const auto& p : files) args += " " + p;
    FILE* p = popen(("/usr/bin/python3 " + script + args + " 2>&1").c_str(), "r");
    std::string text;
    char line[512];
    while (std::fgets(line, sizeof line, p) != nullptr) text += line;
    return pclose(p) == 0 ? text : "";
}

// The strict reader's line of the first file begins as given (skipped without the reader).
inline void expect_strict(const TempDir& dir, const std::vector<std::string>& files, const std::string& begins) {
    if (!have_strict_reader()) return;
    EXPECT_EQ(strict_read(dir, files).substr(0, begins.size()), begins);
}

}  // namespace mrc_test
