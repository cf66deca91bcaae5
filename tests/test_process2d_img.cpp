// Image2D: an empty start, sizes kept with allocated memory, rotations through
// the library's rotation and their pixel size, and the one-image file.
#include <gtest/gtest.h>

#include <vector>

#define VORN_UNIT "tests/process2d_img"
#include "process2d_img.h"
#include "process2d_raw.h"
#include "device_arrays_fixture.h"
#include "mrc_files_fixture.h"

namespace {

using namespace mrc_test;

TEST(Image2D, StartsEmptyAndKeepsTheSizesItAllocates) {
    Image2D empty;
    EXPECT_FALSE(empty.has_data);
    EXPECT_EQ(empty.data, nullptr);
    EXPECT_EQ(empty.nx, 0);
    EXPECT_EQ(empty.ny, 0);

    Image2D a;
    EXPECT_EQ(a.malloc_data(6, 4), 0);
    EXPECT_TRUE(a.has_data);
    EXPECT_EQ(a.nx, 6);
    EXPECT_EQ(a.ny, 4);
    ASSERT_NE(a.data, nullptr);
    // Every method after it sees the sizes: the file holds 6 x 4 values.
    const Image values = numbered(6, 4);
    ASSERT_EQ(memcpy_H2D(a.data, values.data(), values.size() * sizeof(float)), cudaSuccess);
    TempDir dir;
    const std::string path = dir.file("a.mrc");
    EXPECT_EQ(a.write_mrcf(path.c_str()), 0);
    EXPECT_EQ(head_of(path).nx, 6);
    EXPECT_EQ(head_of(path).ny, 4);
    EXPECT_EQ(data_of(path), values);
    EXPECT_EQ(a.free_data(), 0);
    EXPECT_FALSE(a.has_data);
    EXPECT_EQ(a.data, nullptr);

    float* d = device_array(12);
    Image2D b(d, 3, 4, 1.5f);
    EXPECT_TRUE(b.has_data);
    EXPECT_EQ(b.data, d);
    EXPECT_EQ(b.apix, 1.5f);
    Image2D c;
    c.set_data(d, 4, 3, 2.0f);
    EXPECT_EQ(c.nx, 4);
    EXPECT_EQ(c.ny, 3);
    EXPECT_EQ(c.apix, 2.0f);
    b.free_data();  // the memory is given back once, by one holder
}

TEST(Image2D, RotationsMatchTheLibraryRotation) {
    const int nx = 9, ny = 7;
    const Image values = pattern(nx, ny, 1, 0.4);
    float *d = to_device(values), *want = device_array(values.size());
    hcuda_2d_rotate(d, want, nx, ny, 30.0f);
    const Image expected = to_host(want, values.size());

    Image2D source(d, nx, ny, 1.5f);
    Image2D turned = source.rotate(30.0f);
    EXPECT_EQ(turned.nx, nx);
    EXPECT_EQ(turned.ny, ny);
    EXPECT_EQ(turned.apix, 1.0f);  // a new image of unit pixel size
    EXPECT_NE(turned.data, source.data);
    EXPECT_EQ(to_host(turned.data, values.size()), expected);
    EXPECT_EQ(to_host(source.data, values.size()), values);

    source.rotate_inplace(30.0f);
    EXPECT_EQ(to_host(source.data, values.size()), expected);
    EXPECT_EQ(source.apix, 1.5f);
    turned.free_data();
    source.free_data();
    cudaFree(want);
}

}  // namespace
