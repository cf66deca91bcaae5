// Image2D: one 2D image held in device memory, with its sizes and pixel size.
// The object does not copy data handed to it and has no destructor: device
// memory it allocated is given back by free_data alone.
#pragma once

class Image2D {
  public:
    bool has_data = false;  // true while the object refers to data
    float* data = nullptr;  // nx*ny floats of device memory, row-major
    int nx = 0;
    int ny = 0;
    float apix = 1.0f;      // A per pixel

    Image2D() = default;
    Image2D(float* data, int nx, int ny, float apix);
    void set_data(float* data, int nx, int ny, float apix);
    // nx*ny floats of device memory for the sizes held (or given, and then
    // stored); the allocation is checked. Return 0.
    int malloc_data();
    int malloc_data(int nx, int ny);
    int free_data();
    // A one-image MRC file of nx x ny. Returns 0.
    int write_mrcf(const char* name) const;
    // Turned by the angle (degrees) about ((nx - 1)/2, (ny - 1)/2), bilinear.
    void rotate_inplace(float angle);
    // The same into new device memory, owned by the returned image (apix 1.0).
    Image2D rotate(float angle) const;
};
