// The spectrum road of a micrograph against independent truth: micrographs
// whose CTF was applied by another program (in modes 1, 2 and 6) are read,
// their grid amplitude spectrum is built and rotationally averaged, and the
// minima of that profile must sit at the zeros of the true CTF.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#define VORN_UNIT "tests/micrograph_spectrum"
#include "cuda_fft.h"
#include "cuda_general.h"
#include "mrcfile.h"
#include "process2d_raw.h"

namespace {

struct Truth {
    const char* file;
    float apix, kv, cs_mm, ac, def_u, def_v;
    int mode;
};

const Truth kMicrographs[] = {
    {"sim01_df8000.mrc", 1.0f, 300, 2.7f, 0.10f, 8000, 7500, 1},
    {"sim02_df15000.mrc", 1.0f, 300, 2.7f, 0.10f, 15000, 14000, 2},
    {"sim04_df35000.mrc", 1.0f, 300, 2.7f, 0.10f, 35000, 33500, 6},
    {"sim07_200kV.mrc", 1.35f, 200, 2.0f, 0.07f, 12000, 11000, 1},
};

double wavelength(double kv) {
    const double v = kv * 1000.0;
    return 12.2643247 / std::sqrt(v * (1.0 + 0.978466e-6 * v));
}

// Spatial frequencies (1/A) where the CTF of mean defocus df crosses zero:
// pi*lambda*df*f^2 - pi/2*Cs*lambda^3*f^4 + asin(ac) = k*pi.
std::vector<double> ctf_zeros(const Truth& t, double fmax) {
    const double lambda = wavelength(t.kv), cs = t.cs_mm * 1e7, df = 0.5 * (t.def_u + t.def_v);
    const double a = 0.5 * M_PI * cs * lambda * lambda * lambda, b = M_PI * lambda * df, c0 = std::asin(t.ac);
    std::vector<double> zeros;
    for (int k = 1;; ++k) {
        // a*u^2 - b*u + (k*pi - c0) = 0 in u = f^2, smaller root.
        const double c = k * M_PI - c0, disc = b * b - 4 * a * c;
        if (disc < 0) break;
        const double f = std::sqrt((b - std::sqrt(disc)) / (2 * a));
        if (f > fmax) break;
        zeros.push_back(f);
    }
    return zeros;
}

std::string sim_path(const char* file) { return std::string(VORN_SIM_DATA) + "/" + file; }

TEST(MicrographSpectrum, ProfileMinimaSitAtTheTrueCtfZeros) {
    struct stat st;
    if (stat(VORN_SIM_DATA, &st) != 0) GTEST_SKIP() << "simulated micrographs not found at " << VORN_SIM_DATA;
    const unsigned box = 512, step = 256, nxh = box / 2 + 1;
    for (const Truth& t : kMicrographs) {
        SCOPED_TRACE(t.file);
        MRC_HEAD* head = mrcf_get_head(sim_path(t.file).c_str());
        ASSERT_NE(head, nullptr);
        ASSERT_EQ(head->mode, t.mode);
        const unsigned nx = head->nx, ny = head->ny;
        free(head);
        float* image = mrcf_get_data_all(sim_path(t.file).c_str());
        double mean = 0;
        for (size_t i = 0; i < (size_t)nx * ny; ++i) mean += image[i];
        mean /= (double)nx * ny;
        EXPECT_GT(mean, 1.0) << "pixel values are electron counts";

        float *d_image = nullptr, *d_amp = nullptr;
        safe_cudaMalloc((void**)&d_image, (size_t)nx * ny * sizeof(float));
        safe_cudaMalloc((void**)&d_amp, (size_t)nxh * box * sizeof(float));
        memcpy_H2D(d_image, image, (size_t)nx * ny * sizeof(float));
        hcuda_2d_gridfft_r2c_amp_ave(d_image, d_amp, nx, ny, box, box, (int)step);
        std::vector<float> amp((size_t)nxh * box), profile(nxh);
        memcpy_D2H(amp.data(), d_amp, amp.size() * sizeof(float));
        cudaFree_many_pointers(d_image, d_amp, nullptr);
        free(image);
        ASSERT_EQ(rotational_average_2dh(amp.data(), profile.data(), nxh, box), 0);

        // Thon rings are visible out to about 6 A; look at the zeros from 25 px on.
        const double pixels_per_frequency = box * t.apix;
        const std::vector<double> zeros = ctf_zeros(t, 1.0 / 6.0);
        int checked = 0;
        for (double f : zeros) {
            const double r = f * pixels_per_frequency;
            if (r < 25.0) continue;
            // The lowest profile value within the half ring spacing around r.
            const int lo = (int)std::floor(r - 2.0), hi = (int)std::ceil(r + 2.0);
            int best = lo;
            for (int k = lo; k <= hi; ++k)
                if (profile[k] < profile[best]) best = k;
            EXPECT_NEAR(best, r, 1.5) << "zero at " << 1.0 / f << " A";
            if (++checked == 4) break;
        }
        EXPECT_EQ(checked, 4);
    }
}

}  // namespace
