// Host volumes for the tests of the volume library.
#pragma once
#include <cmath>
#include <cstdlib>
#include <vector>

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
