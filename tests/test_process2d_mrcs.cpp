// Stack commands on small fixtures: local particles and peak tables image by
// image (across the reopening at every 1000 images), hot pixels, reversal and
// splitting, re-read with the library's reader.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#define VORN_UNIT "tests/process2d_mrcs"
#include "process2d_mrcs.h"
#include "process2d_raw.h"
#include "mrc_files_fixture.h"

namespace {

using namespace mrc_test;

Image slice(const Image& stack, int nx, int ny, int k) {
    return Image(stack.begin() + (size_t)k * nx * ny, stack.begin() + (size_t)(k + 1) * nx * ny);
}

TEST(LocalParticles, BoxIFromImageIAcrossTheThousands) {
    TempDir dir;
    const int nx = 7, ny = 6, nz = 1003, w = 4, h = 3;
    const Image stack = pattern(nx, ny, nz, 0.3);
    const std::string in = write_mrc(dir, "s.mrcs", stack, nx, ny, nz);
    std::vector<PTCL_BOX> boxes;
    for (int i = 0; i < nz + 5; ++i) boxes.push_back(box(i % 6 - 2, i % 5 - 1, w, h));  // some run off every side
    const std::string bf = write_boxes(dir, "s.box", boxes), out = dir.file("s_local_particles.mrcs");
    const std::string printed = quiet([&] { EXPECT_EQ(mrcsf_2ds_extract_local_ptcls(in.c_str(), bf.c_str(), 0), 0); });
    EXPECT_NE(printed.find(".-.\n particle extraction finished"), std::string::npos) << printed;
    Image want;
    for (int i = 0; i < nz; ++i)
        for (float v : crop(slice(stack, nx, ny, i), nx, ny, boxes[i].x, boxes[i].y, w, h)) want.push_back(v);
    expect_file(out, want, w, h, nz, "local particles");
    expect_strict(dir, {out}, "4 3 1003 2 ");
}

TEST(LocalParticles, FewerBoxesResizedAndNoBoxes) {
    TempDir dir;
    const int nx = 10, ny = 9, nz = 4;
    const Image stack = numbered(nx, ny, nz);
    const std::string in = write_mrc(dir, "s.mrcs", stack, nx, ny, nz), out = dir.file("s_local_particles.mrcs");
    const std::string bf = write_boxes(dir, "two.box", {box(1, 1, 4, 4), box(3, 2, 4, 4)});
    const std::string printed = quiet([&] { EXPECT_EQ(mrcsf_2ds_extract_local_ptcls(in.c_str(), bf.c_str(), 6), 0); });
    EXPECT_NE(printed.find("Particle number in mrcs stack more than that in the box file!\n Extra particles have been ignored! !"),
              std::string::npos);
    // Resized to 6 about the same centre: corners move by -1.
    Image want = crop(slice(stack, nx, ny, 0), nx, ny, 0, 0, 6, 6);
    for (float v : crop(slice(stack, nx, ny, 1), nx, ny, 2, 1, 6, 6)) want.push_back(v);
    EXPECT_EQ(head_of(out).nz, 2);
    EXPECT_EQ(data_of(out), want);

    std::filesystem::remove(out);
    const std::string none = write_boxes(dir, "none.box", {});
    const std::string refused = quiet([&] { EXPECT_EQ(mrcsf_2ds_extract_local_ptcls(in.c_str(), none.c_str(), 0), -1); });
    EXPECT_NE(refused.find("Nothing written."), std::string::npos) << refused;
    EXPECT_FALSE(exists(out));
}

TEST(StackCommands, PeakTableOneLinePerImage) {
    TempDir dir;
    const int nx = 5, ny = 4, nz = 1002;
    Image stack((size_t)nx * ny * nz, 0.0f);
    for (int k = 0; k < nz; ++k) stack[(size_t)k * nx * ny + (k % ny) * nx + (k % nx)] = 1.0f + k;
    const std::string in = write_mrc(dir, "p.mrcs", stack, nx, ny, nz);
    const std::string printed = quiet([&] { EXPECT_EQ(mrcf_2ds_find_single_peaks(in.c_str()), 0); });
    EXPECT_EQ(printed.rfind("searching and writing all peaks (frame,   x,     y,     value) to " + dir.file("p_local_center.txt") + " :\n", 0), 0u);
    EXPECT_NE(printed.find(".-.\n peak search finished"), std::string::npos);
    FILE* f = std::fopen(dir.file("p_local_center.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[128];
    for (int k = 0; k < nz; ++k) {
        ASSERT_NE(std::fgets(line, sizeof line, f), nullptr) << k;
        char want[128];
        std::snprintf(want, sizeof want, "%8d %8d %8d %15.6f \n", k, k % nx, k % ny, 1.0f + k);
        ASSERT_STREQ(line, want);
    }
    EXPECT_EQ(std::fgets(line, sizeof line, f), nullptr);
    std::fclose(f);
}

TEST(StackCommands, HotPixelsReversalAndSplit) {
    TempDir dir;
    const int nx = 8, ny = 6, nz = 3;
    const Image stack = pattern(nx, ny, nz, 4.0);
    const std::string in = write_mrc(dir, "s.mrcs", stack, nx, ny, nz), out = dir.file("out.mrcs"), back = dir.file("back.mrcs");
    quiet([&] { EXPECT_EQ(mrcsf_2ds_rm_hotpixels(in.c_str(), out.c_str(), 2.0f), 0); });
    Image want = stack;
    quiet([&] { hcuda_2ds_rm_hotpixels_inplace(want.data(), nx, ny, nz, 2.0f); });
    EXPECT_EQ(data_of(out), want);

    EXPECT_EQ(mrcsf_upsidedown(in.c_str(), out.c_str()), 0);
    Image reversed;
    for (int k = nz - 1; k >= 0; --k) for (float v : slice(stack, nx, ny, k)) reversed.push_back(v);
    EXPECT_EQ(data_of(out), reversed);
    EXPECT_EQ(mrcsf_upsidedown(out.c_str(), back.c_str()), 0);
    EXPECT_EQ(data_of(back), stack);

    const std::string prefix = dir.file("part_");
    EXPECT_EQ(quiet([&] { EXPECT_EQ(mrcsf_split(in.c_str(), prefix.c_str()), 0); }), "...\n");
    for (int k = 0; k < nz; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "part_%06d.mrc", k);
        EXPECT_EQ(head_of(dir.file(name)).nz, 1);
        EXPECT_EQ(data_of(dir.file(name)), slice(stack, nx, ny, k)) << name;
    }
    expect_strict(dir, {back, dir.file("part_000002.mrc")}, "8 6 3 2 ");
}

// ---------------- refusals of bad input ----------------

// Each stack command on stack in, with the outputs it would make.
struct StackCommand {
    const char* name;
    std::function<int(const std::string& in)> run;
    std::function<std::vector<std::string>(const std::string& in)> outputs;
};
std::vector<StackCommand> stack_commands(const TempDir& dir, const std::string& boxf) {
    const std::string out = dir.file("out.mrcs"), prefix = dir.file("part_");
    auto stem = [](const std::string& in) { return in.substr(0, in.size() - 5); };  // without ".mrcs"
    return {
        {"reversal", [=](const std::string& in) { return mrcsf_upsidedown(in.c_str(), out.c_str()); },
         [=](const std::string&) { return std::vector<std::string>{out}; }},
        {"split", [=](const std::string& in) { return mrcsf_split(in.c_str(), prefix.c_str()); },
         [=](const std::string&) { return std::vector<std::string>{prefix + "000000.mrc"}; }},
        {"local particles", [=](const std::string& in) { return mrcsf_2ds_extract_local_ptcls(in.c_str(), boxf.c_str(), 0); },
         [=](const std::string& in) { return std::vector<std::string>{stem(in) + "_local_particles.mrcs"}; }},
        {"peak table", [=](const std::string& in) { return mrcf_2ds_find_single_peaks(in.c_str()); },
         [=](const std::string& in) { return std::vector<std::string>{stem(in) + "_local_center.txt"}; }},
        {"hot pixels", [=](const std::string& in) { return mrcsf_2ds_rm_hotpixels(in.c_str(), out.c_str(), 3); },
         [=](const std::string&) { return std::vector<std::string>{out}; }},
    };
}

TEST(StackCommandRefusals, InputsWithoutAWholeHeaderOrWithTooLittleData) {
    TempDir dir;
    const std::string bf = write_boxes(dir, "b.box", {box(0, 0, 4, 4), box(1, 1, 4, 4)});
    for (const std::string& in : headless_inputs(dir, ".mrcs"))
        for (const auto& c : stack_commands(dir, bf))
            expect_refused([&] { return c.run(in); }, "No MRC header in " + in, {in}, c.outputs(in), std::string(c.name) + " of " + in);
    // A header of three images over the data of two: the commands that read
    // image by image refuse it before they write (the whole-file read ends the process).
    const std::string whole = write_mrc(dir, "whole.mrcs", pattern(8, 6, 3), 8, 6, 3), cut = dir.file("cut.mrcs");
    write_text(cut, bytes_of(whole).substr(0, 1024 + 4 * 8 * 6 * 2));
    // Images of no pixel: the file's size would not bound their number.
    const std::string pixelless = header_only(dir, "pixelless.mrcs", 0, 6, INT_MAX);
    for (const auto& c : stack_commands(dir, bf))
        if (std::string(c.name) != "hot pixels") {
            expect_refused([&] { return c.run(cut); }, cut + " holds less data than its header describes.", {cut}, c.outputs(cut), c.name);
            expect_refused([&] { return c.run(pixelless); }, " holds 2147483647 images of 0 x 6 pixels.", {pixelless},
                           c.outputs(pixelless), c.name);
        }
    // No section at all; data of a mode no reader converts (float16, complete),
    // named before any size (the whole-file read ends the process instead).
    const std::string empty = header_only(dir, "empty.mrcs", 8, 6, 0);
    const std::string half = mode_file(dir, "half.mrcs", 8, 6, 2, 12, 8 * 6 * 2 * 2);
    for (const auto& c : stack_commands(dir, bf)) {
        expect_refused([&] { return c.run(empty); }, empty + " holds no image.", {empty}, c.outputs(empty), c.name);
        if (std::string(c.name) != "hot pixels")
            expect_refused([&] { return c.run(half); }, half + " cannot be read: mode 12 is not supported.", {half},
                           c.outputs(half), c.name);
    }
}

// An output that is the input (its name, a link, or one of the names a command
// derives), or two of a command's outputs that are one file, is refused before
// anything is opened: the stack stays whole.
TEST(StackCommandRefusals, OutputThatIsTheInput) {
    TempDir dir;
    const Image stack = numbered(6, 5, 3);
    const std::string in = write_mrc(dir, "s.mrcs", stack, 6, 5, 3), link = dir.file("link.mrcs");
    std::filesystem::create_symlink(in, link);
    const std::string bf = write_boxes(dir, "s.box", {box(0, 0, 4, 4)});
    std::filesystem::create_symlink(in, dir.file("s_local_particles.mrcs"));
    std::filesystem::create_symlink(in, dir.file("s_local_center.txt"));
    const std::string split_in = write_mrc(dir, "part_000001.mrc", stack, 6, 5, 3);
    const std::pair<const char*, std::function<int()>> cases[] = {
        {"reversal onto itself", [&] { return mrcsf_upsidedown(in.c_str(), in.c_str()); }},
        {"reversal onto a link", [&] { return mrcsf_upsidedown(in.c_str(), link.c_str()); }},
        {"hot pixels onto itself", [&] { return mrcsf_2ds_rm_hotpixels(in.c_str(), in.c_str(), 3); }},
        {"local particles", [&] { return mrcsf_2ds_extract_local_ptcls(in.c_str(), bf.c_str(), 0); }},
        {"peak table", [&] { return mrcf_2ds_find_single_peaks(in.c_str()); }},
        {"split among its own names", [&] { return mrcsf_split(split_in.c_str(), dir.file("part_").c_str()); }},
    };
    for (const auto& c : cases) expect_refused(c.second, "is the input file", {in, split_in}, {dir.file("part_000000.mrc")}, c.first);
    EXPECT_EQ(data_of(in), stack);
    // Two of the split's own names that are one file.
    std::filesystem::create_symlink(dir.file("one_000000.mrc"), dir.file("one_000002.mrc"));
    expect_refused([&] { return mrcsf_split(in.c_str(), dir.file("one_").c_str()); },
                   "Output files " + dir.file("one_000000.mrc") + " and " + dir.file("one_000002.mrc") + " are one file!", {in},
                   {dir.file("one_000000.mrc"), dir.file("one_000001.mrc")}, "split among linked names");
}

}  // namespace
