// Box and coordinate STAR readers, box list helpers and writers, grids of box
// positions, neighbour boxes and the grid-cell pick filter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "boxfile.h"
#include "coordfile_fixture.h"

namespace {

using BoxFiles = CoordFileTest;

char* cstr(std::string& s) { return s.data(); }

PTCL_BOX sentinel() { return PTCL_BOX{-9, -9, -9, -9, -9.0f, -9, -9.0f, -9.0f}; }

void expect_box(const PTCL_BOX& b, int x, int y, int w, int h, float score, int class_id, float angle) {
    EXPECT_EQ(b.x, x);
    EXPECT_EQ(b.y, y);
    EXPECT_EQ(b.w, w);
    EXPECT_EQ(b.h, h);
    EXPECT_EQ(b.score, score);
    EXPECT_EQ(b.class_id, class_id);
    EXPECT_EQ(b.angle, angle);
    EXPECT_EQ(b.dist, 0.0f);
}

const char* BOX_TEXT = "100 200 64 64\n\n10 20 30 40 0.75\n1 2 3 4 0.5 7\n5 6 7 8 0.25 3 12.5 extra\n";
const char* STAR_TEXT =
    "\ndata_\n\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n_rlnAnglePsi #3\n_rlnClassNumber #4\n"
    "_rlnAutopickFigureOfMerit #5\n123.7 56.2 45.5 2 0.8\n10 20 30\n\n-4.9 7 0 1 0.1\n";

TEST_F(BoxFiles, BoxLinesOfFourToSevenValues) {
    std::string name = write("a.box", BOX_TEXT);
    std::vector<PTCL_BOX> boxes(6, sentinel());
    ASSERT_EQ(read_all_ptcl_boxes(boxes.data(), 5, cstr(name)), 4);
    expect_box(boxes[0], 100, 200, 64, 64, 0.0f, 0, 0.0f);
    expect_box(boxes[1], 10, 20, 30, 40, 0.75f, 0, 0.0f);
    expect_box(boxes[2], 1, 2, 3, 4, 0.5f, 7, 0.0f);
    expect_box(boxes[3], 5, 6, 7, 8, 0.25f, 3, 12.5f);
    expect_box(boxes[4], 0, 0, 0, 0, 0.0f, 0, 0.0f);  // cleared up to the capacity
    EXPECT_EQ(boxes[5].x, -9);

    int2 centre[1];
    ptcl_boxes_to_int2(centre, boxes.data(), 1, 0);
    EXPECT_EQ(centre[0].x, 132);
    EXPECT_EQ(centre[0].y, 232);

    std::vector<PTCL_BOX> two(3, sentinel());
    EXPECT_EQ(read_all_ptcl_boxes(two.data(), 2, cstr(name)), 2);
    EXPECT_EQ(two[1].w, 30);
    EXPECT_EQ(two[2].x, -9);  // nothing past the capacity
    EXPECT_EQ(get_ptcl_number_from_boxf(cstr(name)), 1);
}

TEST_F(BoxFiles, StarCoordinatesAreCentresWithoutSize) {
    std::string name = write("p.star", STAR_TEXT);
    std::vector<PTCL_BOX> boxes(3, sentinel());
    // The short row is skipped and does not use up the capacity of 2.
    ASSERT_EQ(read_all_ptcl_boxes(boxes.data(), 2, cstr(name)), 2);
    expect_box(boxes[0], 123, 56, 0, 0, 0.8f, 2, 45.5f);
    expect_box(boxes[1], -4, 7, 0, 0, 0.1f, 1, 0.0f);
    EXPECT_EQ(boxes[2].x, -9);

    std::string xy = write("xy.star", "data_\nloop_\n_rlnCoordinateY #2\n_rlnCoordinateX #1\n7.9 8\n");
    ASSERT_EQ(read_all_ptcl_boxes(boxes.data(), 3, cstr(xy)), 1);
    expect_box(boxes[0], 7, 8, 0, 0, 0.0f, 0, 0.0f);

    // No rows, and the last label line without its newline: that line is not a particle.
    std::string empty = write("empty.star", "data_\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2");
    EXPECT_EQ(read_all_ptcl_boxes(boxes.data(), 3, cstr(empty)), 0);
}

TEST_F(BoxFiles, StarLabelsMissingOrOutsideTheColumnsRejectTheFile) {
    const std::pair<const char*, const char*> cases[] = {
        {"loop_\n_rlnCoordinateX #1\n_rlnAnglePsi #2\n1 2\n", "label _rlnCoordinateY is missing"},
        {"loop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n_rlnAnglePsi #9\n1 2 3 4 5 6 7 8 9\n",
         "column 9 of label _rlnAnglePsi"},
        {"loop_\n_rlnCoordinateX #0\n_rlnCoordinateY #1\n1 2\n", "label _rlnCoordinateX is missing"},
        {"loop_\n_rlnCoordinateX #-2\n_rlnCoordinateY #1\n1 2\n", "column -2 of label _rlnCoordinateX"},
        {"# no header at all\n1 2\n", "label _rlnCoordinateX is missing"},
    };
    for (const auto& [text, message] : cases) {
        std::string name = write("bad.star", text);
        std::vector<PTCL_BOX> boxes(2, sentinel());
        testing::internal::CaptureStdout();
        EXPECT_EQ(read_all_ptcl_boxes(boxes.data(), 2, cstr(name)), 0) << text;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(message), std::string::npos) << out;
        EXPECT_NE(out.find("read_all_ptcl_boxes"), std::string::npos) << out;
    }
}

TEST_F(BoxFiles, UnknownEndingGivesNoBoxesWithAWarning) {
    std::string other = write("a.BOX", BOX_TEXT);
    PTCL_BOX boxes[2];
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_all_ptcl_boxes(boxes, 2, cstr(other)), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "unrecognized box file format, only EMAN .box and Relion .star file are supported now.!"),
              std::string::npos);
}

TEST(BoxLists, BoxesWhollyOutsideTheImageAreLeftOut) {
    // A 100 x 80 image; boxes of 64 and STAR points (no size).
    struct Case {
        int x, y, w, h;
        bool kept;
    } const cases[] = {
        {0, 0, 64, 64, true},           {-63, -63, 64, 64, true},  {99, 79, 64, 64, true},
        {-64, 10, 64, 64, false},       {10, -64, 64, 64, false},  {100, 10, 64, 64, false},
        {10, 80, 64, 64, false},        {100000, 100000, 64, 64, false}, {-5000, -5000, 64, 64, false},
        {99, 79, 0, 0, true},           {0, 0, 0, 0, true},        {-1, 5, 0, 0, false},
        {100, 5, 0, 0, false},          {INT_MAX, INT_MAX, INT_MAX, INT_MAX, false},
        {INT_MIN, INT_MIN, INT_MAX, INT_MAX, false},
    };
    std::vector<PTCL_BOX> boxes;
    std::vector<int> want;
    for (const Case& c : cases) {
        boxes.push_back(PTCL_BOX{c.x, c.y, c.w, c.h, (float)boxes.size(), 0, 0.0f, 0.0f});
        if (c.kept) want.push_back((int)boxes.size() - 1);
    }
    boxes.push_back(sentinel());
    ASSERT_EQ(keep_ptcl_boxes_inside(boxes.data(), (int)std::size(cases), 100, 80),
              (int)want.size());
    for (size_t k = 0; k < want.size(); ++k) EXPECT_EQ(boxes[k].score, (float)want[k]) << k;  // in their order
    EXPECT_EQ(boxes.back().x, -9);  // nothing past n
}

TEST_F(BoxFiles, CentreListsFromBothForms) {
    std::string box = write("a.box", BOX_TEXT), star = write("p.star", STAR_TEXT);
    std::vector<int2> centres = {make_int2(1, 1)};
    ASSERT_EQ(read_all_box_vecxyi(centres, cstr(box)), 4);
    const int expect_box_xy[4][2] = {{132, 232}, {25, 40}, {2, 4}, {8, 10}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(centres[i].x, expect_box_xy[i][0]);
        EXPECT_EQ(centres[i].y, expect_box_xy[i][1]);
    }
    ASSERT_EQ(read_all_box_vecxyi(centres, cstr(star)), 2);
    EXPECT_EQ(centres[1].x, -4);
    EXPECT_EQ(centres[1].y, 7);

    int2 out[5];
    for (int2& p : out) p = make_int2(-9, -9);
    EXPECT_EQ(boxf_read_all_xysi(out, 2, cstr(box)), 4);  // the number read, not copied
    EXPECT_EQ(out[1].x, 25);
    EXPECT_EQ(out[2].x, -9);
    EXPECT_EQ(boxf_read_all_xysi(out, 0, cstr(box)), 4);
    EXPECT_EQ(out[3].y, 10);
    EXPECT_EQ(out[4].x, -9);
}

TEST(BoxLists, ResizeKeepsTheCentre) {
    struct Case {
        int w, size, dx;
    } cases[] = {{64, 128, -32}, {128, 64, 32}, {64, 63, 0}, {63, 64, 0}, {10, 4, 3}};
    for (const Case& c : cases) {
        PTCL_BOX b = one_new_ptcl_box();
        b.x = 100;
        b.y = 200;
        b.w = b.h = c.w;
        resize_ptcl_boxes(&b, 1, c.size);
        EXPECT_EQ(b.x, 100 + c.dx) << c.w << " -> " << c.size;
        EXPECT_EQ(b.y, 200 + c.dx);
        EXPECT_EQ(b.w, c.size);
        EXPECT_EQ(b.h, c.size);
    }
}

TEST(BoxLists, CentresWithAndWithoutAGivenSize) {
    PTCL_BOX boxes[2] = {one_new_ptcl_box(), one_new_ptcl_box()};
    boxes[0].x = 10, boxes[0].y = 20, boxes[0].w = 7, boxes[0].h = 9;
    boxes[1].x = -5, boxes[1].y = 3;  // a STAR centre: w = h = 0
    int2 a[2];
    float2 b[2];
    ptcl_boxes_to_int2(a, boxes, 2, 0);
    EXPECT_EQ(a[0].x, 13);
    EXPECT_EQ(a[0].y, 24);
    EXPECT_EQ(a[1].x, -5);
    ptcl_boxes_to_float2(b, boxes, 2, 32);
    EXPECT_EQ(b[0].x, 26.0f);
    EXPECT_EQ(b[0].y, 36.0f);
    EXPECT_EQ(b[1].y, 19.0f);

    PTCL_BOX list[3] = {sentinel(), sentinel(), sentinel()};
    empty_all_ptcl_boxes(list, 0);
    EXPECT_EQ(list[0].x, -9);
    empty_all_ptcl_boxes(list, 2);
    expect_box(list[1], 0, 0, 0, 0, 0.0f, 0, 0.0f);
    EXPECT_EQ(list[2].x, -9);
}

TEST(BoxLists, SuffixOfCoordinateFiles) {
    const std::pair<std::string, int> names[] = {{"a.star", 1}, {"a.box", 2},      {"a.BOX", 0}, {".box", 2},
                                                 {"box", 0},    {"a.star.box", 2}, {"a.Star", 0}, {"", 0}};
    for (auto [name, kind] : names) EXPECT_EQ(get_boxf_suffixf(cstr(name)), kind) << name;
}

TEST_F(BoxFiles, BoxLinesWritten) {
    std::vector<PTCL_BOX> boxes((size_t)PTCL_BOX_MAX);  // a full-size list
    boxes[0] = PTCL_BOX{1, 2, 3, 4, 0.5f, 7, 12.5f, 0.0f};
    boxes[1] = PTCL_BOX{9, 9, 0, 4, 0.5f, 7, 1.0f, 0.0f};  // no width: not printed
    boxes[PTCL_BOX_MAX - 1] = PTCL_BOX{-1, 20, 64, 64, 0.125f, 0, -3.0f, 0.0f};
    const std::string first = "1       2       3       4       0.500000        7       12.500000\n";
    const std::string last = "-1      20      64      64      0.125000        0       -3.000000\n";
    testing::internal::CaptureStdout();
    print_n_ptcl_boxes(boxes.data(), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), first);
    std::string name = path("out.box");
    fprint_all_ptcl_boxes(cstr(name), boxes.data());
    EXPECT_EQ(read("out.box"), first + last);

    FILE* f = std::fopen(path("h.star").c_str(), "w");
    output_starbox_head(f);
    std::fclose(f);
    EXPECT_EQ(read("h.star"),
              "\ndata_\n\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n_rlnAnglePsi #3\n_rlnClassNumber #4\n"
              "_rlnAutopickFigureOfMerit #5\n");
}

// Offsets of the lattice R = 10, step 5 in the order they are written.
const int RING[9][2] = {{0, 0}, {5, 0}, {-5, 0}, {0, 5}, {0, -5}, {5, 5}, {-5, 5}, {-5, -5}, {5, -5}};

TEST(Neighbours, CircularLatticeWithGaussianWeights) {
    PTCL_BOX ref = PTCL_BOX{100, 200, 64, 64, 0.0f, 0, 0.0f, 0.0f};  // centre (132, 232)
    std::vector<PTCL_BOX> out(12, sentinel());
    ASSERT_EQ(auto_generate_neighbor_boxes_circular(out.data(), 12, &ref, 10.0f, 32, 5), 9);
    for (int i = 0; i < 9; ++i) {
        const double r2 = RING[i][0] * RING[i][0] + RING[i][1] * RING[i][1];
        EXPECT_EQ(out[i].x, 132 + RING[i][0] - 16) << i;
        EXPECT_EQ(out[i].y, 232 + RING[i][1] - 16) << i;
        EXPECT_EQ(out[i].w, 32);
        EXPECT_EQ(out[i].h, 32);
        EXPECT_NEAR(out[i].score, 0.3989423 * std::exp(-r2 * 4.5 / 100.0), 1e-7) << i;
        EXPECT_NEAR(out[i].dist, std::sqrt(r2), 1e-6) << i;
        EXPECT_EQ(out[i].angle, 0.0f);
        EXPECT_EQ(out[i].class_id, 0);
    }
    EXPECT_EQ(out[0].score, 0.3989423f);
    EXPECT_EQ(out[9].x, 0);  // cleared up to the capacity
}

TEST(Neighbours, CircularListNeverPassesItsCapacity) {
    PTCL_BOX ref = PTCL_BOX{100, 200, 64, 64, 0.0f, 0, 0.0f, 0.0f};
    std::vector<PTCL_BOX> out(6, sentinel());
    testing::internal::CaptureStdout();
    EXPECT_EQ(auto_generate_neighbor_boxes_circular(out.data(), 4, &ref, 10.0f, 32, 5), 4);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("room for 4 neighbour boxes"), std::string::npos);
    EXPECT_EQ(out[3].y, 232 + 5 - 16);
    EXPECT_EQ(out[4].x, -9);
    EXPECT_EQ(auto_generate_neighbor_boxes_circular(out.data(), 4, &ref, 0.0f, 32, 5), 0);
}

TEST(Neighbours, NonPositiveStepIsAnError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PTCL_BOX ref = one_new_ptcl_box();
    PTCL_BOX out[4];
    for (int step : {0, -5})
        EXPECT_EXIT(
            {
                dup2(2, 1);
                auto_generate_neighbor_boxes_circular(out, 4, &ref, 10.0f, 32, step);
            },
            ::testing::ExitedWithCode(1), "step between neighbour boxes must be positive");
}

TEST_F(BoxFiles, NeighboursFromAFileWeightedByDistance) {
    std::string name = write("n.box", "0 0 10 10\n20 0 10 10\n0 30 10 10\n");
    PTCL_BOX ref = PTCL_BOX{0, 0, 10, 10, 0.0f, 0, 0.0f, 0.0f};  // centre (5, 5)
    std::vector<PTCL_BOX> out(4, sentinel());
    ASSERT_EQ(generate_neighbor_boxes_from_boxf(out.data(), 3, &ref, 30.0f, 20, cstr(name)), 3);
    const double d2[3] = {0, 400, 900};
    const int cx[3] = {5, 25, 5}, cy[3] = {5, 5, 35};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(out[i].x, cx[i] - 10);
        EXPECT_EQ(out[i].y, cy[i] - 10);
        EXPECT_EQ(out[i].w, 20);
        EXPECT_NEAR(out[i].score, 0.3989423 * std::exp(-d2[i] * 4.5 / 900.0), 1e-7) << i;
    }
    EXPECT_EQ(out[3].x, -9);
    // A list of room for two gets two.
    std::vector<PTCL_BOX> small(3, sentinel());
    EXPECT_EQ(generate_neighbor_boxes_from_boxf(small.data(), 2, &ref, 30.0f, 20, cstr(name)), 2);
    EXPECT_EQ(small[2].x, -9);
}

TEST_F(BoxFiles, FloatGridRowsAndFile) {
    std::vector<float2> pts;
    EXPECT_EQ(auto_gridbox_2d(pts, 0.5f, 0.0f, 1.0f, 2.0f, 1.0f, 5.0f), 9);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(pts[i].x, 0.5f * (i % 3)) << i;
        EXPECT_EQ(pts[i].y, 1.0f + 2.0f * (i / 3)) << i;
    }
    EXPECT_EQ(auto_gridbox_2d(pts, 1.0f, 3.0f, 2.0f, 1.0f, 0.0f, 0.0f), 0);

    std::string name = path("g.star");
    auto_gridboxf_2d(cstr(name), 1.5f, -1.0f, 0.5f, 1.0f, 2.0f, 2.0f);
    EXPECT_EQ(read("g.star"),
              "\ndata_\n\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n"
              "       -1.00        2.00\n        0.50        2.00\n\n");
}

struct GridCase {
    unsigned sx, nx, sy, ny, box;
    std::vector<unsigned> xs, ys;
    long end;
};

TEST(Grids, CentredGridFromStepsAndFromCounts) {
    const GridCase cases[] = {
        {30, 100, 30, 100, 20, {20, 50, 80}, {20, 50, 80}, 120},
        {30, 100, 30, 100, 0, {20, 50, 80}, {20, 50, 80}, 125},  // half-size from the step
        {30, 100, 20, 60, 20, {20, 50, 80}, {10, 30, 50}, 80},
        {20, 40, 20, 40, 40, {20}, {20}, 60},
    };
    for (const GridCase& c : cases) {
        std::vector<uint2> pts = {make_uint2(7, 7)};
        EXPECT_EQ(auto_gridbox_2d_from_center(pts, c.sx, c.nx, c.sy, c.ny, c.box), c.end);
        ASSERT_EQ(pts.size(), c.xs.size() * c.ys.size());
        for (size_t i = 0; i < pts.size(); ++i) {
            EXPECT_EQ(pts[i].x, c.xs[i % c.xs.size()]);
            EXPECT_EQ(pts[i].y, c.ys[i / c.xs.size()]);
        }
    }
    // Three steps of (100 - 20) / 3 = 26 through the centre.
    std::vector<uint2> pts;
    auto_gridbox_2d_from_center_nxm(pts, 100, 100, 20, 3, 3);
    ASSERT_EQ(pts.size(), 9u);
    EXPECT_EQ(pts[0].x, 24u);
    EXPECT_EQ(pts[4].x, 50u);
    EXPECT_EQ(pts[8].y, 76u);
}

TEST_F(BoxFiles, CentredGridFiles) {
    const std::string one = "\ndata_\n\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n       20.00       20.00\n\n";
    std::string a = path("a_autogrid.star"), b = path("b_autogrid.star");
    auto_grid_starboxf_2d_from_center(cstr(a), 20, 40, 20, 40, 20);
    EXPECT_EQ(read("a_autogrid.star"), one);
    auto_grid_starboxf_2d_from_center_nxm(cstr(b), 40, 40, 20, 1, 1);
    EXPECT_EQ(read("b_autogrid.star"), one);
}

TEST(Grids, StepsAndSizesThatGiveNoGridAreErrors) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<float2> f;
    std::vector<uint2> u;
    EXPECT_EXIT(auto_gridbox_2d(f, 0.0f, 0.0f, 1.0f, 1.0f, 0.0f, 1.0f), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(auto_gridbox_2d(f, 1.0f, 0.0f, 1.0f, -1.0f, 0.0f, 1.0f), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(auto_gridbox_2d(f, 1.0f, 1e8f, 2e8f, 1.0f, 0.0f, 1.0f), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(auto_gridbox_2d_from_center(u, 0, 100, 30, 100, 20), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(auto_gridbox_2d_from_center(u, 30, 100, 30, 100, 101), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(auto_gridbox_2d_from_center(u, 30, 100, 30, 40, 60), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(auto_gridbox_2d_from_center(u, 300, 100, 30, 100, 0), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(auto_gridbox_2d_from_center_nxm(u, 100, 100, 20, 0, 3), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(auto_gridbox_2d_from_center_nxm(u, 100, 100, 120, 3, 3), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(auto_gridbox_2d_from_center_nxm(u, 20, 20, 20, 1, 1), ::testing::ExitedWithCode(1), "");
}

// Picks on a 200 x 200 image with diameter 20: cells of 14 pixels, 15 x 15 of them.
const char* PICKS =
    "90 90 20 20 0.9 1 10\n"     // A, centre (100, 100)
    "92 90 20 20 0.4 2 0\n"      // same cell as A, lower score
    "104 90 20 20 0.5 3 0\n"     // next cell, 14 pixels from A: beaten by A
    "140 140 20 20 0.6 4 30\n"   // C, centre (150, 150), alone
    "40 40 20 20 0.05 5 0\n"     // below the minimum score
    "2 90 20 20 0.7 6 0\n"       // E, centre (12, 100), in the first column of cells
    "180 90 20 20 0.8 8 0\n"     // G, centre (190, 100), on the edge at scale 1
    "50 150 20 20 0.3 9 0\n"     // two close picks of equal score: the first is dropped, and
    "62 150 20 20 0.3 9 0\n"     // once dropped it no longer holds back the second
    "10 10 20 20 0.9\n"          // fewer than seven values: skipped
    "90 400 20 20 0.99 7 0\n"    // centre outside the image: ignored
    "-50 -50 20 20 0.99 7 0\n"   // likewise
    "\n"
    "\xff\n"
    "140 40 20 20 0.9 10 0\n";   // after the end mark

TEST_F(BoxFiles, PickFilterKeepsTheBestSeparatedPicks) {
    std::string in = write("picks.box", PICKS), none = "NONE", out = path("kept.box");
    box_filter(200, 200, 20.0f, 0.1f, 1.0f, 20, 20, make_int2(0, 0), cstr(in), cstr(none), cstr(out), 0);
    EXPECT_EQ(read("kept.box"),
              "2       90      20      20      0.700000\t6       0.000000\n"
              "90      90      20      20      0.900000\t1       10.000000\n"
              "140     140     20      20      0.600000\t4       30.000000\n"
              "62      150     20      20      0.300000\t9       0.000000\n");
}

TEST_F(BoxFiles, PickFilterScalesExcludesAndWritesStar) {
    std::string in = write("picks.box", PICKS), ex = write("ex.box", "295 295 10 10\n0 0 2 2\n"),
                out = path("kept.star");
    box_filter(200, 200, 20.0f, 0.1f, 2.0f, 20, 20, make_int2(5, -3), cstr(in), cstr(ex), cstr(out), 1);
    EXPECT_EQ(read("kept.star"),
              "\ndata_\n\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n_rlnAnglePsi #3\n_rlnClassNumber #4\n"
              "_rlnAutopickFigureOfMerit #5\n"
              "29      197     0.000000\t6       0.700000\n"
              "205     197     10.000000\t1       0.900000\n"
              "385     197     0.000000\t8       0.800000\n"
              "149     317     0.000000\t9       0.300000\n");
}

TEST_F(BoxFiles, PickFilterNeedsACell) {
    std::string in = write("picks.box", PICKS), none = "", out = path("kept.box");
    EXPECT_EXIT(
        {
            dup2(2, 1);
            box_filter(200, 200, 1.0f, 0.1f, 1.0f, 20, 20, make_int2(0, 0), cstr(in), cstr(none), cstr(out), 0);
        },
        ::testing::ExitedWithCode(1), "box_filter.*gives no grid cell");
}

// Opens and closes the write end of a named pipe whenever a reader holds it
// open, until it is destroyed: a reader that opens the pipe gets an end of file
// instead of waiting for ever, so a test of that fault fails rather than hangs.
class PipeUnblocker {
  public:
    explicit PipeUnblocker(const std::string& fifo)
        : fifo_(fifo), thread_([this] {
              while (!stop_) {
                  const int fd = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
                  if (fd >= 0) {
                      opened_ = true;
                      close(fd);
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
          }) {}
    ~PipeUnblocker() {
        stop_ = true;
        thread_.join();
    }
    bool opened() const { return opened_; }

  private:
    std::string fifo_;
    std::atomic<bool> stop_{false}, opened_{false};
    std::thread thread_;
};

// A file that gives no boxes for a reason of its own is refused, -1 after one
// warning, by every reader: the caller goes on with its next file. A file that
// is no regular file is refused without being opened.
TEST_F(BoxFiles, FilesThatCannotBeReadAreRefusedWithoutEndingTheProcess) {
    std::filesystem::create_directory(path("dir.box"));
    ASSERT_EQ(mkfifo(path("fifo.box").c_str(), 0600), 0);
    const PipeUnblocker unblocker(path("fifo.box"));
    const std::pair<std::string, std::string> files[] = {
        {write("short.box", "1 2 3 4\n100 100\n5 6 7 8\n"),
         "unrecognized box format!! Line 2 of file " + path("short.box") + " holds 2 values"},
        {path("absent.box"), "Cannot open file " + path("absent.box") + ". Permission denied or wrong file name."},
        {path("dir.box"), path("dir.box") + " is a directory, not a coordinate file."},
        {path("fifo.box"), path("fifo.box") + " is a named pipe, not a coordinate file."},
        {"/dev/null", "/dev/null is a device, not a coordinate file."},
    };
    std::string picks = write("picks.box", PICKS), kept = path("kept.box");
    std::vector<PTCL_BOX> boxes(4, sentinel());
    std::vector<int2> centres = {make_int2(1, 1)};
    int2 xy[4];
    const PTCL_BOX ref = PTCL_BOX{0, 0, 10, 10, 0.0f, 0, 0.0f, 0.0f};
    const std::pair<const char*, std::function<long(char*)>> readers[] = {
        {"read_all_ptcl_boxes", [&](char* n) { return read_all_ptcl_boxes(boxes.data(), 4, n); }},
        {"read_all_box_vecxyi", [&](char* n) { return read_all_box_vecxyi(centres, n); }},
        {"boxf_read_all_xysi", [&](char* n) { return boxf_read_all_xysi(xy, 4, n); }},
        {"generate_neighbor_boxes_from_boxf",
         [&](char* n) { return generate_neighbor_boxes_from_boxf(boxes.data(), 4, &ref, 30.0f, 20, n); }},
        {"box_filter", [&](char* n) {
             return box_filter(200, 200, 20.0f, 0.1f, 1.0f, 20, 20, make_int2(0, 0), cstr(picks), n, cstr(kept), 0);
         }},
    };
    for (const auto& [file, message] : files) {
        for (const auto& [call, run] : readers) {
            SCOPED_TRACE(file + ": " + call);
            const bool filter = std::string(call) == "box_filter";
            // The filter passes over a missing exclusion file by its access test.
            if (filter && !std::filesystem::exists(file)) continue;
            std::remove(kept.c_str());
            std::string name = file;
            testing::internal::CaptureStdout();
            const long n = run(cstr(name));
            const std::string said = testing::internal::GetCapturedStdout();
            EXPECT_EQ(n, -1);
            EXPECT_NE(said.find(message), std::string::npos) << said;
            EXPECT_EQ(said.find("Warning in function"), said.rfind("Warning in function")) << said;
            EXPECT_EQ(said.find("Exit now"), std::string::npos) << said;
            if (filter) {
                EXPECT_FALSE(std::filesystem::exists(kept));  // no picks written without their exclusions
            }
        }
        EXPECT_TRUE(centres.empty());
    }
    // Counting lines needs no box format, only a file to read.
    for (const char* bad : {"absent.box", "dir.box", "fifo.box"}) {
        std::string name = path(bad);
        testing::internal::CaptureStdout();
        EXPECT_EQ(get_ptcl_number_from_boxf(cstr(name)), -1) << bad;
        EXPECT_NE(testing::internal::GetCapturedStdout().find(name), std::string::npos);
    }
    EXPECT_FALSE(unblocker.opened());  // no reader ever opened the pipe
}

// ---------------- damaged files (README beside them says what each breaks) ----------------

std::string hostile_file(const char* name) { return std::string(VORN_HOSTILE_DATA) + "/" + name; }

TEST_F(BoxFiles, DamagedBoxFilesAreRejectedNotWrapped) {
    if (!std::filesystem::is_directory(VORN_HOSTILE_DATA))
        GTEST_SKIP() << "damaged test files not found in " VORN_HOSTILE_DATA;
    const PTCL_BOX ref = PTCL_BOX{100, 100, 20, 20, 0.0f, 0, 0.0f, 0.0f};
    std::string picks = write("picks.box", PICKS);
    std::string kept = path("kept.box");
    std::vector<PTCL_BOX> boxes(16, sentinel());
    std::vector<int2> centres;
    int2 xy[4];
    struct Case {
        const char* file;
        const char* call;
        std::function<int(char*)> run;
        int want;
        const char* message;  // "" when the call is to say nothing
    } const cases[] = {
        // x + w/2 = 2^31: the line is refused, not wrapped to a negative centre.
        {"box_centre_overflow.box", "read_all_ptcl_boxes", [&](char* n) { return read_all_ptcl_boxes(boxes.data(), 4, n); }, 0,
         "box centre on line 1 of file"},
        {"box_centre_overflow.box", "read_all_box_vecxyi", [&](char* n) { return read_all_box_vecxyi(centres, n); }, 0,
         "box centre on line 1"},
        {"box_centre_overflow.box", "boxf_read_all_xysi", [&](char* n) { return boxf_read_all_xysi(xy, 4, n); }, 0,
         "box centre on line 1"},
        {"box_centre_overflow.box", "neighbours from file",
         [&](char* n) { return generate_neighbor_boxes_from_boxf(boxes.data(), 4, &ref, 30.0f, 20, n); }, 0, "box centre on line 1"},
        {"box_centre_overflow.box", "pick filter exclude list",
         [&](char* n) { return box_filter(200, 200, 20.0f, 0.1f, 1.0f, 20, 20, make_int2(0, 0), cstr(picks), n, cstr(kept), 0); }, 0,
         "box centre on line 1"},
        // A centre at -2^31 + 8 is read, but no box of 64 about it has an int corner.
        {"neighbour_overflow.box", "read_all_ptcl_boxes", [&](char* n) { return read_all_ptcl_boxes(boxes.data(), 4, n); }, 1, ""},
        {"neighbour_overflow.box", "neighbours from file",
         [&](char* n) { return generate_neighbor_boxes_from_boxf(boxes.data(), 4, &ref, 30.0f, 64, n); }, 0,
         "re-centred to size 64 lies beyond the integer range"},
        {"neighbour_overflow.box", "circular neighbours",
         [&](char* n) {
             PTCL_BOX far[1];
             read_all_ptcl_boxes(far, 1, n);
             return auto_generate_neighbor_boxes_circular(boxes.data(), 16, far, 10.0f, 64, 5);
         },
         0, "9 neighbour boxes lie beyond the integer range"},
        // 4294967396 once became 100.
        {"box_int_wrap.box", "read_all_ptcl_boxes", [&](char* n) { return read_all_ptcl_boxes(boxes.data(), 4, n); }, 0,
         "value 4294967396 on line 1 of file"},
        {"box_int_wrap.box", "read_all_box_vecxyi", [&](char* n) { return read_all_box_vecxyi(centres, n); }, 0,
         "value 4294967396 on line 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + ": " + c.call);
        std::string name = hostile_file(c.file);
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.run(cstr(name)), c.want);
        const std::string said = testing::internal::GetCapturedStdout();
        if (*c.message != '\0') {
            EXPECT_NE(said.find(c.message), std::string::npos) << said;
        } else {
            EXPECT_EQ(said, "");
        }
        if (said.find("of file") != std::string::npos) {
            EXPECT_NE(said.find(name), std::string::npos) << said;
        }
    }
}

// A line is one box whatever its length, and each of its words must be the
// number its field takes as a whole; other lines are skipped with a warning.
TEST_F(BoxFiles, LongLinesAndWordsThatAreNotNumbersOfTheEstimatorInputs) {
    const std::string dir = std::string(VORN_HOSTILE_DATA) + "/estimator";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "damaged estimator inputs not found in " << dir;
    struct Case {
        const char* file;
        std::vector<PTCL_BOX> boxes;
        std::vector<std::string> messages;  // each names its line of the file
    };
    const Case cases[] = {
        {"box_long_line_split.box", {PTCL_BOX{100, 200, 64, 64, 0.5f, 1, 300.0f, 0.0f}}, {}},
        {"coord_long_line_split.star", {},
         {"on line 5 of file " + dir + "/coord_long_line_split.star is not a number whose integer part fits an int"}},
        {"box_nonnumeric_words.box", {},
         {"value abc on line 1 of file " + dir + "/box_nonnumeric_words.box is not an integer",
          "value 1e3 on line 2 of file " + dir + "/box_nonnumeric_words.box is not an integer"}},
        {"coord_star_exponent.star", {PTCL_BOX{1500, 2500, 0, 0, 0.0f, 0, 0.0f, 0.0f}},
         {"value nan on line 6 of file " + dir + "/coord_star_exponent.star is not a number"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string name = dir + "/" + c.file;
        std::vector<PTCL_BOX> boxes(4, sentinel());
        testing::internal::CaptureStdout();
        ASSERT_EQ(read_all_ptcl_boxes(boxes.data(), 3, cstr(name)), (int)c.boxes.size());
        std::vector<int2> centres;
        EXPECT_EQ(read_all_box_vecxyi(centres, cstr(name)), (int)c.boxes.size());
        const std::string said = testing::internal::GetCapturedStdout();
        for (size_t k = 0; k < c.boxes.size(); ++k) {
            const PTCL_BOX& b = c.boxes[k];
            expect_box(boxes[k], b.x, b.y, b.w, b.h, b.score, b.class_id, b.angle);
        }
        for (const std::string& m : c.messages) EXPECT_NE(said.find(m), std::string::npos) << said;
        if (c.messages.empty()) {
            EXPECT_EQ(said, "");
        }
    }
}

TEST_F(BoxFiles, IntegersThatDoNotFitAnIntAreRejectedByLine) {
    std::string name = write("wide.star",
                             "data_\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n_rlnClassNumber #3\n"
                             "4294967396 5 1\n7 8 2\n9 10 99999999999\n-2147483648 -2147483648 -3\n");
    std::vector<PTCL_BOX> boxes(4, sentinel());
    testing::internal::CaptureStdout();
    ASSERT_EQ(read_all_ptcl_boxes(boxes.data(), 4, cstr(name)), 2);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("value 4294967396 on line 6 of file " + name), std::string::npos) << said;
    EXPECT_NE(said.find("value 99999999999 on line 8 of file " + name), std::string::npos) << said;
    expect_box(boxes[0], 7, 8, 0, 0, 0.0f, 2, 0.0f);
    expect_box(boxes[1], INT_MIN, INT_MIN, 0, 0, 0.0f, -3, 0.0f);

    // A pick whose class once wrapped to 100 is skipped; the others are filtered as before.
    std::string picks = write("picks.box", std::string("90 90 20 20 0.95 4294967396 10\n") + PICKS);
    std::string kept = path("kept.box"), none = "NONE";
    testing::internal::CaptureStdout();
    box_filter(200, 200, 20.0f, 0.1f, 1.0f, 20, 20, make_int2(0, 0), cstr(picks), cstr(none), cstr(kept), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("value 4294967396 on line 1 of file " + picks),
              std::string::npos);
    EXPECT_NE(read("kept.box").find("0.900000\t1       10.000000"), std::string::npos) << read("kept.box");
}

}  // namespace
