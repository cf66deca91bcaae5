// Particles cut by box file from the first image of a micrograph, into a
// caller's array and into a stack file: against direct crops, with boxes at
// every edge and corner and wholly outside (their slots 0, never old data),
// and the refusals that write nothing.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#define VORN_UNIT "tests/mrcfile_ptcls"
#include "mrcfile.h"
#include "mrc_files_fixture.h"

// Under AddressSanitizer an allocation above this size fails the test: nothing
// may be sized by a header or a box before it is checked.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=256"; }

namespace {

using namespace mrc_test;

const int nx = 40, ny = 30, w = 8, h = 6;

struct Case {
    PTCL_BOX b;
    bool kept;  // wholly inside, a pixel to spare on the right and at the bottom
};
const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {box(5, 5, w, h), true},        {box(0, 0, w, h), true},       {box(31, 0, w, h), true},
        {box(0, 23, w, h), true},       {box(31, 23, w, h), true},     {box(32, 10, w, h), false},
        {box(10, 24, w, h), false},     {box(-1, 5, w, h), false},     {box(5, -3, w, h), false},
        {box(100, 100, w, h), false},   {box(-20, -20, w, h), false},  {box(38, 28, w, h), false},
    };
    return all;
}
std::vector<PTCL_BOX> boxes_of(const std::vector<Case>& cs) {
    std::vector<PTCL_BOX> b;
    for (const auto& c : cs) b.push_back(c.b);
    return b;
}
Image expected_stack(const Image& mic) {
    Image want;
    for (const auto& c : cases()) {
        const Image slot = c.kept ? crop(mic, nx, ny, c.b.x, c.b.y, w, h) : Image((size_t)w * h, 0.0f);
        want.insert(want.end(), slot.begin(), slot.end());
    }
    return want;
}

TEST(ParticlesByBoxFile, IntoTheCallersArrayAgainstDirectCrops) {
    TempDir dir;
    const Image mic = numbered(nx, ny, 2);  // a second image is never read
    const std::string m = write_mrc(dir, "mic.mrc", mic, nx, ny, 2), bf = write_boxes(dir, "mic.box", boxes_of(cases()));
    const size_t need = cases().size() * w * h;
    Image out(need + 3, -7.0f);  // old data everywhere
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrcf_2d_read_ptcls_to_data_from_boxf(out.data(), out.size(), m.c_str(), bf.c_str()), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Image(out.begin(), out.begin() + need), expected_stack(mic));
    EXPECT_EQ(Image(out.begin() + need, out.end()), Image(3, -7.0f));  // nothing past n*w*h
    EXPECT_NE(printed.find("box (32 10 8 6)out of range"), std::string::npos) << printed;
}

TEST(ParticlesByBoxFile, IntoAStackFileReadBackAndStrict) {
    TempDir dir;
    const Image mic = pattern(nx, ny, 1, 0.5);
    const std::string m = write_mrc(dir, "mic.mrc", mic, nx, ny), bf = write_boxes(dir, "mic.box", boxes_of(cases()));
    const std::string out = dir.file("ptcls.mrcs");
    testing::internal::CaptureStdout();
    EXPECT_EQ(mrcf_2d_read_ptcls_to_mrcf_from_boxf(out.c_str(), m.c_str(), bf.c_str()), 0);
    testing::internal::GetCapturedStdout();
    const MRC_HEAD hm = head_of(m), ho = head_of(out);
    EXPECT_EQ(ho.nx, w);
    EXPECT_EQ(ho.ny, h);
    EXPECT_EQ(ho.nz, (int)cases().size());
    EXPECT_EQ(ho.mode, 2);
    EXPECT_EQ(ho.dmin, hm.dmin);  // the micrograph's statistics stay
    EXPECT_EQ(ho.dmax, hm.dmax);
    EXPECT_EQ(ho.dmean, hm.dmean);
    EXPECT_EQ(data_of(out), expected_stack(mic));
    expect_strict(dir, {out}, "8 6 12 2 ");
}

TEST(ParticlesByBoxFile, RefusalsWriteNothing) {
    TempDir dir;
    const std::string m = write_mrc(dir, "mic.mrc", pattern(nx, ny), nx, ny);
    const std::string none = write_boxes(dir, "none.box", {}), two = write_boxes(dir, "two.box", {box(1, 1, w, h), box(2, 2, w, h)});
    const std::string flat = write_boxes(dir, "flat.box", {box(1, 1, 0, 0)});
    const std::string empty_mic = write_mrc(dir, "empty.mrc", Image(), nx, ny, 0);
    const std::string no_bytes = dir.file("no_bytes.mrc");
    write_text(no_bytes, "");
    // Files of the header alone, whose sizes would ask for gigabytes.
    const std::string gigabytes = header_only(dir, "8GiB.mrc", 46341, 46341, 1), widest = header_only(dir, "max.mrc", INT_MAX, INT_MAX, 1);
    const std::string huge = write_boxes(dir, "huge.box", {box(0, 0, 100000, 100000)});
    const std::string wrapping = write_boxes(dir, "wrap.box", std::vector<PTCL_BOX>(16, box(0, 0, 1 << 30, 1 << 30)));
    Image out(2 * w * h - 1, -7.0f);
    const struct {
        const char* mic;
        const char* boxf;
        const char* says;
    } refusals[] = {
        {m.c_str(), none.c_str(), "holds no box"},
        {m.c_str(), flat.c_str(), "hold no pixel"},
        {empty_mic.c_str(), two.c_str(), "holds no image"},
        {m.c_str(), two.c_str(), "the array holds 95"},  // one float short
        {no_bytes.c_str(), two.c_str(), "No MRC header in"},
        {gigabytes.c_str(), two.c_str(), "cannot be read"},
        {widest.c_str(), two.c_str(), "cannot be read"},
        {m.c_str(), huge.c_str(), "Boxes of 100000 x 100000 are larger than the image of 40 x 30."},
        {m.c_str(), wrapping.c_str(), "Boxes of 1073741824 x 1073741824 are larger than the image"},
    };
    for (const auto& r : refusals) {
        const std::string stack = dir.file("out.mrcs");
        testing::internal::CaptureStdout();
        EXPECT_EQ(mrcf_2d_read_ptcls_to_data_from_boxf(out.data(), out.size(), r.mic, r.boxf), -1) << r.says;
        if (std::string(r.says).find("array") == std::string::npos) {
            EXPECT_EQ(mrcf_2d_read_ptcls_to_mrcf_from_boxf(stack.c_str(), r.mic, r.boxf), -1) << r.says;
        }
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_NE(printed.find(r.says), std::string::npos) << printed;
        EXPECT_EQ(out, Image(2 * w * h - 1, -7.0f)) << r.says;
        EXPECT_FALSE(exists(stack)) << r.says;
    }
    // The stack named as the micrograph or the box file: refused, both whole.
    for (const std::string& target : {m, two})
        expect_refused([&] { return mrcf_2d_read_ptcls_to_mrcf_from_boxf(target.c_str(), m.c_str(), two.c_str()); },
                       "is the input file", {m, two}, {}, target);
}

TEST(ParticlesByBoxFile, AtMostTheWorkingListOfBoxes) {
    TempDir dir;
    const std::string m = write_mrc(dir, "mic.mrc", pattern(nx, ny), nx, ny);
    const std::vector<PTCL_BOX> many(PTCL_BOX_READ_MAX + 5, box(2, 3, 4, 4));
    const std::string bf = write_boxes(dir, "many.box", many), out = dir.file("many.mrcs");
    EXPECT_EQ(mrcf_2d_read_ptcls_to_mrcf_from_boxf(out.c_str(), m.c_str(), bf.c_str()), 0);
    EXPECT_EQ(head_of(out).nz, PTCL_BOX_READ_MAX);
}

}  // namespace
