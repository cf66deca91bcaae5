// Image2D: a device image with its sizes; rotation through the library's kernel.
#define VORN_UNIT "src/process2d_img"
#include "process2d_img.h"

#include <vector>

#include "gpu_buffers.h"
#include "mrcfile.h"
#include "process2d_core.h"
#include "process2d_raw.h"

Image2D::Image2D(float* d, int w, int h, float a) { set_data(d, w, h, a); }

void Image2D::set_data(float* d, int w, int h, float a) {
    data = d;
    nx = w;
    ny = h;
    apix = a;
    has_data = true;
}

int Image2D::malloc_data() {
    data = device_buffer<float>(GPU_SITE, image_pixels((unsigned)nx, (unsigned)ny));
    has_data = true;
    return 0;
}

// The sizes are kept with the memory, so that every later method sees them.
int Image2D::malloc_data(int w, int h) {
    nx = w;
    ny = h;
    return malloc_data();
}

int Image2D::free_data() {
    if (data != nullptr) device_release(GPU_SITE, data);
    data = nullptr;
    has_data = false;
    return 0;
}

int Image2D::write_mrcf(const char* name) const {
    std::vector<float> host(image_pixels((unsigned)nx, (unsigned)ny));
    copy_to_host(GPU_SITE, host.data(), data, host.size());
    return mrcf_write_xyz_data(name, host.data(), nx, ny, 1);
}

void Image2D::rotate_inplace(float angle) {
    const size_t n = image_pixels((unsigned)nx, (unsigned)ny);
    float* turned = device_buffer<float>(GPU_SITE, n);
    hcuda_2d_rotate(data, turned, (unsigned)nx, (unsigned)ny, angle);
    gpu_check(memcpy_D2D(data, turned, n * sizeof(float)), __LINE__, VORN_UNIT);
    device_release(GPU_SITE, turned);
}

Image2D Image2D::rotate(float angle) const {
    Image2D out;
    out.malloc_data(nx, ny);
    hcuda_2d_rotate(data, out.data, (unsigned)nx, (unsigned)ny, angle);
    return out;
}
