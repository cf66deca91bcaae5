// A micrograph with a known CTF, made with the library's own CTF simulation:
// a white-noise specimen seen through the CTF, recorded with shot noise. Shared
// by the bundled example and the speed benchmark.
#pragma once

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "cuda_complex.h"
#include "cuda_fft.h"
#include "ctf_core.h"

struct SimulatedCtf {
    int n = 2048;  // square micrograph edge, pixels
    float apix = 1.0f, kV = 300.0f, cs = 2.7f, ac = 0.1f;
    float U = 15000.0f, V = 14000.0f, A = 30.0f;
};

// The image of a white-noise specimen through the CTF (unit contrast), then
// recorded: dose * (1 + contrast * image) electrons per pixel with shot noise.
inline std::vector<float> simulate_ctf_micrograph(const SimulatedCtf& t, unsigned seed) {
    const unsigned n = (unsigned)t.n, nxh = n / 2 + 1;
    const size_t npix = (size_t)n * n, nh = (size_t)nxh * n;
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> image(npix);
    for (float& v : image) v = normal(rng);

    float *d_image = nullptr, *d_ctf = nullptr;
    float2* d_spectrum = nullptr;
    safe_cudaMalloc((void**)&d_image, npix * sizeof(float));
    safe_cudaMalloc((void**)&d_ctf, nh * sizeof(float));
    safe_cudaMalloc((void**)&d_spectrum, nh * sizeof(float2));
    CUDA_CHECK(memcpy_H2D(d_image, image.data(), npix * sizeof(float)));
    hcuda_2d_fft_r2c_norm(d_image, d_spectrum, n, n);
    // The CTF is simulated on y-centred rows; the transform gives FFT row order.
    hcuda_c2dh_fc_swap_inplace(d_spectrum, nxh, n);
    hcuda_ctf_sim_2dh_c(d_ctf, nxh, n, t.apix, t.kV, t.cs, t.ac, 0.0f, t.U, t.V, t.A, 0.0f, 1e9f, 2.0f * t.apix, 'F');
    hcuda_cxr_2d_multi_inplace(d_spectrum, d_ctf, nxh, n);
    hcuda_c2dh_fc_swap_inplace(d_spectrum, nxh, n);
    hcuda_2d_fft_c2r_norm(d_spectrum, d_image, n, n);
    CUDA_CHECK(memcpy_D2H(image.data(), d_image, npix * sizeof(float)));
    cudaFree_many_pointers(d_image, d_ctf, d_spectrum, nullptr);

    const float dose = 10.0f, contrast = 0.2f;
    for (float& v : image) {
        const float electrons = dose * (1.0f + contrast * v);
        v = electrons + std::sqrt(std::max(electrons, 0.0f)) * normal(rng);
    }
    return image;
}
