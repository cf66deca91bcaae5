// The installed library as the README installs it: what `make demo` builds,
// built as it builds it (the Makefile's demo-build, in a folder of this build),
// installed into a fresh prefix, and the README's example project
// (examples/lowpass) configured against it with find_package, built, and run on
// a small image made here, as a user of the library would.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mrc_files_fixture.h"
#include "mrcfile.h"

namespace {

using mrc_test::TempDir;

std::string text_of(const std::string& name) {
    std::ifstream in(name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a shell command with its output into log; its exit status, and the log
// as the message of a failed assertion.
int run(const std::string& command, const std::string& log, std::string& output) {
    const int status = std::system((command + " >" + log + " 2>&1").c_str());
    output = command + "\n" + text_of(log);
    return status;
}

// The README shows the example's source as it is built here, line for line.
TEST(Install, ReadmeShowsTheExampleAsBuilt) {
    const std::string source = text_of(std::string(VORN_SOURCE_DIR) + "/examples/lowpass/lowpass.cpp");
    ASSERT_FALSE(source.empty());
    std::string listing;  // as an indented code block
    std::istringstream lines(source);
    for (std::string line; std::getline(lines, line);) listing += (line.empty() ? "" : "    " + line) + "\n";
    EXPECT_NE(text_of(std::string(VORN_SOURCE_DIR) + "/README.md").find("\n\n" + listing + "\n"), std::string::npos)
        << "README.md does not show examples/lowpass/lowpass.cpp as it is";
}

// The package names no path of the machine that built it: it finds FFTW where
// it is used.
void expect_no_build_paths(const std::string& package_dir) {
    std::istringstream paths(VORN_BUILD_FFTW_PATHS);
    for (std::string path; std::getline(paths, path, '|');) {
        if (path.empty()) continue;
        for (const auto& file : std::filesystem::directory_iterator(package_dir))
            EXPECT_EQ(text_of(file.path()).find(path), std::string::npos)
                << file.path() << " records the build machine's " << path;
    }
}

// What the install puts into the prefix: both programs, the library, its
// headers and its package.
void expect_installed_whole(const std::string& prefix) {
    for (const char* file : {"bin/vorn", "bin/morvandel", "lib/libvorncore.a", "include/vorn/image_filter.h",
                             "include/vorn/gpu.h", "include/vorn/host", "lib/cmake/vorn/vornConfig.cmake",
                             "lib/cmake/vorn/vornTargets.cmake", "lib/cmake/vorn/FindFFTW3F.cmake"})
        EXPECT_TRUE(std::filesystem::exists(prefix + "/" + file)) << file << " is not installed";
}

// After the build of `make demo`, the README's install line installs the whole
// library; installed, then moved elsewhere (as a packager or a shared software
// tree does), it still builds the example.
TEST(Install, ExampleBuiltAgainstTheInstalledLibraryLowPassFilters) {
    const TempDir dir;
    const std::string cmake = VORN_CMAKE_COMMAND, installed = dir.file("installed"), prefix = dir.file("prefix"),
                      build = dir.file("build");
    const std::string steps[] = {
        // As many jobs as the JOBS of a `make test` running this (passed on in
        // MAKEFLAGS) or of the environment, else one per core.
        std::string("make -C ") + VORN_SOURCE_DIR + " demo-build RELEASE_DIR=" + VORN_DEMO_BUILD_DIR,
        cmake + " --install " + VORN_DEMO_BUILD_DIR + " --prefix " + installed,
        "mv " + installed + " " + prefix,
        cmake + " -S " + VORN_SOURCE_DIR + "/examples/lowpass -B " + build + " -DCMAKE_PREFIX_PATH=" + prefix +
            " -DCMAKE_CXX_COMPILER=" + VORN_CXX_COMPILER,
        cmake + " --build " + build,
    };
    std::string output;
    for (const std::string& step : steps) ASSERT_EQ(run(step, dir.file("log"), output), 0) << output;
    expect_installed_whole(prefix);
    expect_no_build_paths(prefix + "/" + VORN_PACKAGE_DIR);

    // 1 + 0.5 cos(2 pi 3x/n) + 0.25 cos(2 pi 12y/n) low-passed at n apix/res =
    // 8 Fourier pixels keeps the constant and the wave of 3 cycles: the output,
    // scaled by n^2 as the filters leave it, is n^2 (1 + 0.5 cos(2 pi 3x/n)).
    const int n = 32;
    std::vector<float> image((size_t)n * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            image[(size_t)y * n + x] =
                (float)(1.0 + 0.5 * std::cos(2 * M_PI * 3 * x / n) + 0.25 * std::cos(2 * M_PI * 12 * y / n));
    const std::string in = dir.file("in.mrc"), out = dir.file("out.mrc");
    mrcf_write_xyz_data(in.c_str(), image.data(), n, n, 1);
    ASSERT_EQ(run(build + "/vorn_lowpass " + in + " " + out + " 1.0 4.0", dir.file("log"), output), 0) << output;

    MRC_HEAD h;
    mrcf_read_head(out.c_str(), &h);
    ASSERT_EQ(h.nx, n);
    ASSERT_EQ(h.ny, n);
    ASSERT_EQ(h.nz, 1);
    float* filtered = mrcf_get_data_all(out.c_str());
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            ASSERT_NEAR(filtered[(size_t)y * n + x], n * n * (1.0 + 0.5 * std::cos(2 * M_PI * 3 * x / n)), 1e-3 * n * n)
                << x << "," << y;
    std::free(filtered);
}

}  // namespace
