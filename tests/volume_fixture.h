// Host volumes for the tests of the volume library.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "mrcfile.h"
#include "volume3d.h"

using Volume = std::vector<float>;

// Values that tell every voxel apart, exact in float.
inline Volume numbered_volume(unsigned nx, unsigned ny, unsigned nz) {
    Volume v((size_t)nx * ny * nz);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (float)(i + 1);
    return v;
}

// Uniform values in [-1, 1) from a fixed seed; the outer `border` planes of
// every axis are 0.
inline Volume seeded_volume(unsigned nx, unsigned ny, unsigned nz, unsigned seed, unsigned border = 0) {
    Volume v((size_t)nx * ny * nz, 0.0f);
    unsigned s = seed;
    for (unsigned z = border; z + border < nz; ++z)
        for (unsigned y = border; y + border < ny; ++y)
            for (unsigned x = border; x + border < nx; ++x) {
                s = s * 1664525u + 1013904223u;
                v[voxel_element(x, y, z, nx, ny)] = (float)(s >> 8) / 8388608.0f - 1.0f;
            }
    return v;
}

// A sum of Gaussian blobs (centre, width, weight) sampled on the grid.
struct Blob {
    float x, y, z, sigma, weight;
};
inline Volume blob_volume(unsigned nx, unsigned ny, unsigned nz, const std::vector<Blob>& blobs) {
    Volume v((size_t)nx * ny * nz, 0.0f);
    for (unsigned z = 0; z < nz; ++z)
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x) {
                double s = 0.0;
                for (const Blob& b : blobs) {
                    const double d2 = (x - b.x) * (x - b.x) + (y - b.y) * (y - b.y) + (z - b.z) * (z - b.z);
                    s += b.weight * std::exp(-d2 / (2.0 * b.sigma * b.sigma));
                }
                v[voxel_element(x, y, z, nx, ny)] = (float)s;
            }
    return v;
}

inline double dot(const std::vector<float>& a, const std::vector<float>& b) {
    double s = 0.0;
    for (size_t i = 0; i < a.size(); ++i) s += (double)a[i] * b[i];
    return s;
}

// Pearson correlation in double.
inline double correlation(const std::vector<float>& a, const std::vector<float>& b) {
    double ma = 0, mb = 0;
    for (size_t i = 0; i < a.size(); ++i) ma += a[i], mb += b[i];
    ma /= a.size(), mb /= b.size();
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        ab += (a[i] - ma) * (b[i] - mb);
        aa += (a[i] - ma) * (a[i] - ma);
        bb += (b[i] - mb) * (b[i] - mb);
    }
    return ab / std::sqrt(aa * bb);
}

#include <unistd.h>

#include <filesystem>
#include <string>

// A fresh directory, removed with everything in it at the end of the scope;
// Enter() also makes it the working directory until then (for the drivers that
// write into the working directory).
struct TempDir {
    std::string path, previous;
    TempDir() {
        char tmpl[] = "/tmp/vorn_volume_XXXXXX";
        path = mkdtemp(tmpl);
    }
    void enter() {
        previous = std::filesystem::current_path().string();
        std::filesystem::current_path(path);
    }
    ~TempDir() {
        if (!previous.empty()) std::filesystem::current_path(previous);
        std::filesystem::remove_all(path);
    }
    std::string file(const char* name) const { return path + "/" + name; }
};

// E(rot, tilt, psi) = Rz(psi) Ry(tilt) Rz(rot) in double, row by row.
inline std::vector<double> euler_double(double rot, double tilt, double psi) {
    const double d = M_PI / 180.0;
    const double c1 = cos(rot * d), s1 = sin(rot * d), c2 = cos(tilt * d), s2 = sin(tilt * d), c3 = cos(psi * d),
                 s3 = sin(psi * d);
    return {c1 * c2 * c3 - s1 * s3,  s1 * c2 * c3 + c1 * s3,  s2 * c3, -c1 * c2 * s3 - s1 * c3,
            -s1 * c2 * s3 + c1 * c3, -s2 * s3,                -c1 * s2, -s1 * s2, c2};
}

// An MRC file's sizes and voxels.
struct FileVolume {
    int nx = 0, ny = 0, nz = 0;
    Volume v;
};
inline FileVolume read_file(const std::string& name) {
    FileVolume f;
    MRC_HEAD* h = mrcf_get_head(name.c_str());
    f.nx = h->nx, f.ny = h->ny, f.nz = h->nz;
    float* d = mrcf_get_data_all(name.c_str());
    f.v.assign(d, d + (size_t)f.nx * f.ny * f.nz);
    std::free(d);
    std::free(h);
    return f;
}

// f() with standard output captured and dropped (the drivers print per orientation).
template <class F>
auto quietly(F f) {
    testing::internal::CaptureStdout();
    auto r = f();
    testing::internal::GetCapturedStdout();
    return r;
}
