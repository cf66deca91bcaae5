// FFT wrappers, spectrum layouts and grid/stack power spectra against a naive
// double-precision DFT and a double-precision box filter written here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#define VORN_UNIT "tests/cuda_fft"
#include "cuda_fft.h"
#include "process2d_raw.h"

namespace {

using cd = std::complex<double>;
using Image = std::vector<float>;

// ---- device arrays ----
template <class T> T* to_device(const std::vector<T>& h) {
    T* d = nullptr;
    EXPECT_EQ(cudaMalloc((void**)&d, h.size() * sizeof(T)), cudaSuccess);
    EXPECT_EQ(memcpy_H2D(d, h.data(), h.size() * sizeof(T)), cudaSuccess);
    return d;
}
template <class T> T* device_of(size_t n) { return to_device(std::vector<T>(n, T())); }
template <class T> std::vector<T> to_host(const T* d, size_t n) {
    std::vector<T> h(n);
    EXPECT_EQ(memcpy_D2H(h.data(), d, n * sizeof(T)), cudaSuccess);
    return h;
}

// ---- the truth: naive DFT, exp(-2 pi i (kx x / nx + ky y / ny)), unscaled ----
cd dft(const Image& img, unsigned nx, unsigned ny, int kx, int ky, unsigned x0 = 0, unsigned y0 = 0,
       unsigned stride = 0) {
    if (stride == 0) stride = nx;
    cd sum = 0;
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) {
            const double phase = -2.0 * M_PI * ((double)kx * x / nx + (double)ky * y / ny);
            sum += (double)img[(size_t)(y0 + y) * stride + x0 + x] * cd(std::cos(phase), std::sin(phase));
        }
    return sum;
}
// ky held by a row: FFT order, or y-centred (origin at row ny/2).
int ky_fft(unsigned row, unsigned ny) { return row < (ny + 1) / 2 ? (int)row : (int)row - (int)ny; }
int ky_centred(unsigned row, unsigned ny) { return (int)row - (int)(ny / 2); }

// Half spectrum (nx/2+1) x ny with rows in the given order.
std::vector<cd> ref_half(const Image& img, unsigned nx, unsigned ny, bool centred) {
    const unsigned nxh = nx / 2 + 1;
    std::vector<cd> h((size_t)nxh * ny);
    for (unsigned r = 0; r < ny; ++r)
        for (unsigned x = 0; x < nxh; ++x) h[(size_t)r * nxh + x] = dft(img, nx, ny, x, centred ? ky_centred(r, ny) : ky_fft(r, ny));
    return h;
}

Image random_image(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Image v(n);
    for (float& x : v) x = u(gen);
    return v;
}
std::vector<float2> to_float2(const std::vector<cd>& v, double scale = 1.0) {
    std::vector<float2> out(v.size());
    for (size_t i = 0; i < v.size(); ++i) out[i] = make_float2((float)(v[i].real() / scale), (float)(v[i].imag() / scale));
    return out;
}

void expect_complex_near(const std::vector<float2>& got, const std::vector<cd>& want, double scale, double tol) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_NEAR(got[i].x, want[i].real() / scale, tol) << "element " << i;
        ASSERT_NEAR(got[i].y, want[i].imag() / scale, tol) << "element " << i;
    }
}
template <class F> void expect_all_near(const std::vector<float>& got, size_t n, F want, double tol) {
    ASSERT_GE(got.size(), n);
    for (size_t i = 0; i < n; ++i) ASSERT_NEAR(got[i], want(i), tol) << "element " << i;
}

struct Size {
    unsigned nx, ny;
};
const Size kEvenSizes[] = {{4, 4}, {8, 6}, {6, 8}};

// ================= transforms =================

TEST(Transforms, ForwardFormsMatchTheNaiveDft) {
    const Size sizes[] = {{4, 4}, {8, 6}, {6, 8}, {5, 3}};  // the transforms themselves take odd sizes
    for (const Size s : sizes) {
        SCOPED_TRACE(std::to_string(s.nx) + "x" + std::to_string(s.ny));
        const size_t nh = (size_t)(s.nx / 2 + 1) * s.ny;
        const Image img = random_image((size_t)s.nx * s.ny, s.nx * 10 + s.ny);
        const std::vector<cd> want = ref_half(img, s.nx, s.ny, false);
        const double root = std::sqrt((double)s.nx * s.ny);
        float* d_img = to_device(img);
        float2* d_half = device_of<float2>(nh);

        hcuda_2d_fft_r2c(d_img, d_half, s.nx, s.ny);
        expect_complex_near(to_host(d_half, nh), want, 1.0, 1e-4);
        hcuda_2d_fft_r2c_norm(d_img, d_half, s.nx, s.ny);
        expect_complex_near(to_host(d_half, nh), want, root, 1e-5);
        std::vector<float2> host_half(nh);
        gpu_2d_fft_r2c(img.data(), host_half.data(), s.nx, s.ny);
        expect_complex_near(host_half, want, root, 1e-5);
        cudaFree_many_pointers(d_img, d_half, nullptr);
    }
}

TEST(Transforms, RoundTripsReturnTheImageScaledAsDocumented) {
    for (const Size s : kEvenSizes) {
        SCOPED_TRACE(std::to_string(s.nx) + "x" + std::to_string(s.ny));
        const size_t n = (size_t)s.nx * s.ny, nh = (size_t)(s.nx / 2 + 1) * s.ny;
        const Image img = random_image(n, 7);
        float* d_img = to_device(img);
        float* d_back = device_of<float>(n);
        float2* d_half = device_of<float2>(nh);

        hcuda_2d_fft_r2c_norm(d_img, d_half, s.nx, s.ny);
        hcuda_2d_fft_c2r_norm(d_half, d_back, s.nx, s.ny);
        expect_all_near(to_host(d_back, n), n, [&](size_t i) { return img[i]; }, 1e-5);

        hcuda_2d_fft_r2c(d_img, d_half, s.nx, s.ny);
        hcuda_2d_fft_c2r(d_half, d_back, s.nx, s.ny);
        expect_all_near(to_host(d_back, n), n, [&](size_t i) { return img[i] * (double)n; }, 1e-4 * n);

        std::vector<float2> host_half(nh);
        Image host_back(n);
        gpu_2d_fft_r2c(img.data(), host_half.data(), s.nx, s.ny);
        gpu_2d_fft_c2r(host_half.data(), host_back.data(), s.nx, s.ny);
        expect_all_near(host_back, n, [&](size_t i) { return img[i]; }, 1e-5);
        cudaFree_many_pointers(d_img, d_back, d_half, nullptr);
    }
}

TEST(Transforms, StackFormsTransformEverySlot) {
    const unsigned nx = 8, ny = 6, n = 3;
    const size_t npix = nx * ny, nh = (nx / 2 + 1) * ny;
    const Image stack = random_image(n * npix, 3);
    float* d_stack = to_device(stack);
    float2* d_out = device_of<float2>(n * nh);
    hcuda_2ds_fft_r2c(d_stack, d_out, nx, ny, n);
    const std::vector<float2> dev = to_host(d_out, n * nh);

    std::vector<float2> host(n * nh);
    testing::internal::CaptureStdout();
    gpu_2ds_fft_r2c(stack.data(), host.data(), nx, ny, n);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ".");

    for (unsigned k = 0; k < n; ++k) {
        const Image slice(stack.begin() + k * npix, stack.begin() + (k + 1) * npix);
        const std::vector<cd> want = ref_half(slice, nx, ny, false);
        expect_complex_near(std::vector<float2>(dev.begin() + k * nh, dev.begin() + (k + 1) * nh), want, 1.0, 1e-4);
        expect_complex_near(std::vector<float2>(host.begin() + k * nh, host.begin() + (k + 1) * nh), want,
                            std::sqrt((double)npix), 1e-5);
    }
    cudaFree_many_pointers(d_stack, d_out, nullptr);
}

// ================= layouts =================

// |F(kx, ky)| for any kx, ky.
double amp_at(const Image& img, unsigned nx, unsigned ny, int kx, int ky) { return std::abs(dft(img, nx, ny, kx, ky)); }

TEST(Layouts, FullAmplitudeLayoutHoldsKxFromOriginColumn) {
    for (const Size s : kEvenSizes)
        for (const bool centred : {false, true}) {
            SCOPED_TRACE(std::to_string(s.nx) + "x" + std::to_string(s.ny) + (centred ? " y-centred" : " FFT order"));
            const unsigned nx = s.nx, ny = s.ny, nxh = nx / 2 + 1;
            const Image img = random_image(nx * ny, 11);
            std::vector<float> half(nxh * ny);
            for (unsigned r = 0; r < ny; ++r)
                for (unsigned x = 0; x < nxh; ++x)
                    half[r * nxh + x] = (float)amp_at(img, nx, ny, x, centred ? ky_centred(r, ny) : ky_fft(r, ny));
            float* d_half = to_device(half);
            float* d_full = device_of<float>(nx * ny);
            float* d_back = device_of<float>(nxh * ny);

            hcuda_2d_fftA_half2full(d_full, d_half, nx, ny);
            const std::vector<float> full = to_host(d_full, nx * ny);
            for (unsigned r = 0; r < ny; ++r)
                for (unsigned c = 0; c < nx; ++c) {
                    const int kx = (int)c - (int)(nx / 2 - 1), ky = centred ? ky_centred(r, ny) : ky_fft(r, ny);
                    ASSERT_NEAR(full[r * nx + c], amp_at(img, nx, ny, kx, ky), 1e-4) << "column " << c << " row " << r;
                }

            hcuda_2d_fftA_full2half(d_back, d_full, nx, ny);
            EXPECT_EQ(to_host(d_back, nxh * ny), half) << "full to half after half to full is the identity";

            hcuda_2d_fftA_half2full_c0(d_full, d_half, nx, ny);
            const std::vector<float> c0 = to_host(d_full, nx * ny);
            for (unsigned i = 0; i < nx * ny; ++i)
                ASSERT_EQ(c0[i], i == (ny / 2) * nx + nx / 2 ? 0.0f : full[i]) << "element " << i;
            cudaFree_many_pointers(d_half, d_full, d_back, nullptr);
        }
}

TEST(Layouts, RowRotationsYCentreHalfSpectra) {
    for (const Size s : kEvenSizes) {
        SCOPED_TRACE(std::to_string(s.nx) + "x" + std::to_string(s.ny));
        const unsigned nx = s.nx, ny = s.ny, nxh = nx / 2 + 1, nh = nxh * ny;
        const Image img = random_image(nx * ny, 5);
        const std::vector<cd> fft = ref_half(img, nx, ny, false), centred = ref_half(img, nx, ny, true);
        std::vector<float> amp(nh);
        for (unsigned i = 0; i < nh; ++i) amp[i] = (float)std::abs(fft[i]);
        float* d_amp = to_device(amp);
        float* d_out = device_of<float>(nh);
        float2* d_cx = to_device(to_float2(fft));
        float2* d_cout = device_of<float2>(nh);

        hcuda_r2dh_fc_swap(d_out, d_amp, nxh, ny);
        expect_all_near(to_host(d_out, nh), nh, [&](size_t i) { return std::abs(centred[i]); }, 1e-4);
        hcuda_r2dh_fc_swap_inplace(d_amp, nxh, ny);
        EXPECT_EQ(to_host(d_amp, nh), to_host(d_out, nh));
        hcuda_r2dh_fc_swap_inplace(d_amp, nxh, ny);
        EXPECT_EQ(to_host(d_amp, nh), amp) << "twice restores";

        hcuda_complex2d_center_swap(d_cout, d_cx, nxh, ny);
        expect_complex_near(to_host(d_cout, nh), centred, 1.0, 1e-4);
        hcuda_complex2d_center_swap_norm(d_cout, d_cx, nxh, ny, 4.0f);
        expect_complex_near(to_host(d_cout, nh), centred, 4.0, 1e-4);
        hcuda_c2dh_fc_swap_inplace(d_cx, nxh, ny);
        expect_complex_near(to_host(d_cx, nh), centred, 1.0, 1e-4);
        cudaFree_many_pointers(d_amp, d_out, d_cx, d_cout, nullptr);
    }
}

// Correlating an image with a circularly shifted copy and centring the map puts
// the peak at (nx/2 + dx, ny/2 + dy).
TEST(Layouts, QuadrantSwapCentresTheCorrelationPeak) {
    for (const Size s : kEvenSizes) {
        SCOPED_TRACE(std::to_string(s.nx) + "x" + std::to_string(s.ny));
        const unsigned nx = s.nx, ny = s.ny, nxh = nx / 2 + 1, n = nx * ny, nh = nxh * ny;
        const int dx = 1, dy = -1;
        const Image a = random_image(n, 21);
        Image b(n);
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x) b[((y + dy + ny) % ny) * nx + (x + dx) % nx] = a[y * nx + x];
        float* d_a = to_device(a);
        float* d_b = to_device(b);
        float* d_map = device_of<float>(n);
        float* d_swapped = device_of<float>(n);
        float2* d_fa = device_of<float2>(nh);
        float2* d_fb = device_of<float2>(nh);
        float2* d_prod = device_of<float2>(nh);
        hcuda_2d_fft_r2c(d_a, d_fa, nx, ny);
        hcuda_2d_fft_r2c(d_b, d_fb, nx, ny);
        hcuda_c2d_multconj_norm(d_fb, d_fa, d_prod, nxh, ny, (float)n);
        hcuda_2d_fft_c2r(d_prod, d_map, nx, ny);
        const std::vector<float> map = to_host(d_map, n);

        hcuda_2d_swap_ccf(d_swapped, d_map, nx, ny);
        hcuda_2d_swap_ccf_inplace(d_map, nx, ny);
        const std::vector<float> centred = to_host(d_map, n);
        EXPECT_EQ(to_host(d_swapped, n), centred);
        const size_t peak = std::max_element(centred.begin(), centred.end()) - centred.begin();
        EXPECT_EQ(peak, (size_t)(ny / 2 + dy) * nx + (nx / 2 + dx));

        hcuda_r2d_fc_swap(d_swapped, d_map, nx, ny);
        EXPECT_EQ(to_host(d_swapped, n), map) << "the centring is its own inverse";
        hcuda_r2d_fc_swap_inplace(d_map, nx, ny);
        EXPECT_EQ(to_host(d_map, n), map);
        hcuda_2d_swap_norm_ccf_inplace(d_map, nx, ny, 2.0f);
        expect_all_near(to_host(d_map, n), n, [&](size_t i) { return centred[i] / 2.0f; }, 0.0);
        cudaFree_many_pointers(d_a, d_b, d_map, d_swapped, d_fa, d_fb, d_prod, nullptr);
    }
}

TEST(ConjugateProducts, OutOfPlaceAndInPlace) {
    const std::vector<float2> a = {make_float2(1, 2), make_float2(-3, 0.5f), make_float2(0, 4), make_float2(2, -1)};
    const std::vector<float2> b = {make_float2(3, -1), make_float2(2, 2), make_float2(-1, 0), make_float2(0.5f, 1)};
    float2* d_a = to_device(a);
    float2* d_b = to_device(b);
    float2* d_out = device_of<float2>(4);
    hcuda_c2d_multconj_norm(d_a, d_b, d_out, 2, 2, 2.0f);
    std::vector<cd> want(4);
    for (int i = 0; i < 4; ++i) want[i] = cd(a[i].x, a[i].y) * std::conj(cd(b[i].x, b[i].y));
    expect_complex_near(to_host(d_out, 4), want, 2.0, 1e-6);
    hcuda_c2d_multconj_norm_inplace(d_a, d_b, 2, 2, 2.0f);
    expect_complex_near(to_host(d_a, 4), want, 2.0, 1e-6);
    cudaFree_many_pointers(d_a, d_b, d_out, nullptr);
}

// ================= correlations on a grid =================

TEST(FastGrid, FastLengthsStayAndSlowOnesGiveWayToTheNextFastEvenLength) {
    const struct {
        unsigned own, least, want;
    } lengths[] = {{1024, 1200, 1024}, {1440, 1500, 1440}, {945, 1000, 945},  {1023, 1119, 1120},
                   {1023, 2046, 2048}, {2046, 2046, 2048}, {13, 13, 14},      {11, 17, 18}};
    for (const auto& c : lengths)
        EXPECT_EQ(fft_grid_length(c.own, c.least), c.want) << c.own << ", at least " << c.least;
    // A K3 shrunk by 4 in portrait, its template reaching 48 pixels.
    const FftGrid wrapped = fft_wrapped_grid(1023, 1440, 48, 48), mirrored = fft_mirrored_grid(1023, 1440, 48, 48);
    EXPECT_EQ(wrapped.gx, 1120u);
    EXPECT_EQ(wrapped.gy, 1440u);
    EXPECT_EQ(mirrored.gx, 2048u);
    EXPECT_EQ(mirrored.gy, 2880u);
    EXPECT_FALSE(fft_wrapped_grid(1024, 1440, 48, 48).padded());
    // A window reaching beyond the added pixels of the next fast length keeps 2n.
    EXPECT_EQ(fft_mirrored_grid(11, 11, 6, 7).gx, 24u);
    EXPECT_EQ(fft_mirrored_grid(11, 11, 6, 7).gy, 22u);
}

// The image continued about its edges, as the correlation at its own size sees it.
double continued(const Image& img, unsigned nx, unsigned ny, long x, long y, bool mirror) {
    const auto axis = [mirror](long v, long n) {
        if (!mirror) return ((v % n) + n) % n;
        const long u = ((v % (2 * n)) + 2 * n) % (2 * n);
        return u < n ? u : 2 * n - 1 - u;
    };
    return img[(size_t)axis(y, ny) * nx + axis(x, nx)];
}

TEST(FastGrid, CorrelationOnTheGridIsTheCircularOneOfTheImagesOwnSize) {
    // Kernels of taps reaching r pixels; sizes fast and slow to transform, the
    // image wrapped round or mirrored: out(p) = sum_d image(p + d) k(d).
    const struct {
        unsigned nx, ny, r;
        bool mirror, padded;
    } cases[] = {{16, 12, 3, false, false}, {13, 11, 3, false, true}, {17, 14, 5, false, true},
                 {9, 7, 3, true, true},     {11, 13, 4, true, true},  {11, 11, 7, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.nx) + "x" + std::to_string(c.ny) + (c.mirror ? " mirrored" : " wrapped"));
        const FftGrid g = c.mirror ? fft_mirrored_grid(c.nx, c.ny, c.r, c.r) : fft_wrapped_grid(c.nx, c.ny, c.r, c.r);
        EXPECT_EQ(g.padded(), c.padded);
        const int w = 2 * (int)c.r + 1;
        const Image img = random_image((size_t)c.nx * c.ny, c.nx), taps = random_image((size_t)w * w, c.ny);
        Image kernel((size_t)g.gx * g.gy, 0.0f);
        for (int dy = -(int)c.r; dy <= (int)c.r; ++dy)
            for (int dx = -(int)c.r; dx <= (int)c.r; ++dx)
                kernel[(size_t)((g.gy / 2 + g.gy + dy) % g.gy) * g.gx + (g.gx / 2 + g.gx + dx) % g.gx] =
                    taps[(size_t)(dy + c.r) * w + dx + c.r];
        FftGridImage work;
        EXPECT_TRUE(fft_grid_prepare(work, g));
        float *d_img = to_device(img), *d_kernel = to_device(kernel), *d_out = device_of<float>(img.size());
        fft_grid_load(work, d_img);
        float2* spectrum = fft_grid_kernel_spectrum(work, d_kernel);
        fft_grid_correlate(work, spectrum);
        hcuda_2d_centred_from_grid(d_out, work.correlation, g, 2.0f);
        const Image out = to_host(d_out, img.size());
        for (unsigned y = 0; y < c.ny; ++y)
            for (unsigned x = 0; x < c.nx; ++x) {
                double want = 0;
                for (int dy = -(int)c.r; dy <= (int)c.r; ++dy)
                    for (int dx = -(int)c.r; dx <= (int)c.r; ++dx)
                        want += continued(img, c.nx, c.ny, (long)x + dx, (long)y + dy, c.mirror) *
                                taps[(size_t)(dy + c.r) * w + dx + c.r];
                ASSERT_NEAR(out[(size_t)y * c.nx + x], want / 2.0, 1e-5) << x << "," << y;
            }
        cudaFree_many_pointers(d_img, d_kernel, d_out, spectrum, nullptr);
    }
}

TEST(FlatAmplitudes, YCentredOnTheWay) {
    const unsigned nx = 8, ny = 6, nxh = 5, nh = nxh * ny, origin = (ny / 2) * nxh;
    const Image img = random_image(nx * ny, 9);
    const std::vector<cd> fft = ref_half(img, nx, ny, false), centred = ref_half(img, nx, ny, true);
    float2* d_in = to_device(to_float2(fft));
    float* d_out = to_device(std::vector<float>(nh, 1.0f));
    auto amp = [&](size_t i) { return std::abs(centred[i]); };

    hcuda_complex_mod_addto_center_swap(d_out, d_in, nh);
    expect_all_near(to_host(d_out, nh), nh, [&](size_t i) { return 1.0 + amp(i); }, 1e-4);
    hcuda_complex_mod_center_swap(d_out, d_in, nh);
    expect_all_near(to_host(d_out, nh), nh, amp, 1e-4);
    hcuda_complex_mod_weighted_addto_center_swap(d_out, d_in, nh, 0.5f);
    expect_all_near(to_host(d_out, nh), nh, [&](size_t i) { return 1.5 * amp(i); }, 1e-4);

    std::vector<float> map(nh, 0.0f);
    map[origin] = 1.0f;  // weight read at the destination: only the origin's amplitude is added
    float* d_map = to_device(map);
    hcuda_complex_mod_center_swap(d_out, d_in, nh);
    hcuda_complex_mod_Ws_addto_center_swap(d_out, d_in, nh, d_map);
    expect_all_near(to_host(d_out, nh), nh, [&](size_t i) { return (i == origin ? 2.0 : 1.0) * amp(i); }, 1e-4);

    std::vector<float2> with_zero = to_float2(fft);
    with_zero[0] = make_float2(0.0f, 0.0f);  // the origin, which lands at row ny/2
    float2* d_zero = to_device(with_zero);
    hcuda_complex_logmod_center_swap(d_out, d_zero, nh);
    const std::vector<float> logs = to_host(d_out, nh);
    EXPECT_EQ(logs[origin], -INFINITY);
    for (size_t i = 0; i < nh; ++i) {
        if (i == origin) continue;
        ASSERT_NEAR(logs[i], std::log(amp(i)), 1e-4) << i;
    }
    cudaFree_many_pointers(d_in, d_out, d_map, d_zero, nullptr);
}

// ================= amplitude spectra of images and stacks =================

TEST(StackSpectra, ScaledCentredAmplitudeAndPowerAndUnscaledLogs) {
    const unsigned nx = 6, ny = 8, n = 2, nxh = nx / 2 + 1, npix = nx * ny, nh = nxh * ny;
    const Image stack = random_image(n * npix, 17);
    float* d_stack = to_device(stack);
    float* d_out = device_of<float>(n * nh);
    const double scale = std::sqrt((double)npix);

    std::vector<std::vector<cd>> centred, fft;
    for (unsigned k = 0; k < n; ++k) {
        const Image slice(stack.begin() + k * npix, stack.begin() + (k + 1) * npix);
        centred.push_back(ref_half(slice, nx, ny, true));
        fft.push_back(ref_half(slice, nx, ny, false));
    }
    auto per_slot = [&](const std::vector<std::vector<cd>>& ref, auto f) {
        return [&, f](size_t i) { return f(ref[i / nh][i % nh]); };
    };
    hcuda_2ds_fft_r2c_mod(d_stack, d_out, nx, ny, n);
    expect_all_near(to_host(d_out, n * nh), n * nh, per_slot(centred, [&](cd z) { return std::abs(z) / scale; }), 1e-5);
    hcuda_2ds_fft_r2c_pow(d_stack, d_out, nx, ny, n);
    expect_all_near(to_host(d_out, n * nh), n * nh, per_slot(centred, [&](cd z) { return std::norm(z) / npix; }), 1e-4);
    hcuda_2ds_fft_r2c_logmod(d_stack, d_out, nx, ny, n);
    expect_all_near(to_host(d_out, n * nh), n * nh, per_slot(fft, [](cd z) { return std::log(std::abs(z)); }), 1e-3);

    std::vector<float> host(nh);
    gpu_2d_fft_r2c_mod(stack.data(), host.data(), nx, ny);
    expect_all_near(host, nh, [&](size_t i) { return std::abs(fft[0][i]); }, 1e-4);
    cudaFree_many_pointers(d_stack, d_out, nullptr);
}

TEST(StackSpectra, BoxesCutAtTheirCorners) {
    const unsigned nx = 10, ny = 8, b = 4, nh = (b / 2 + 1) * b;
    const Image img = random_image(nx * ny, 31);
    std::vector<int2> corners = {make_int2(0, 0), make_int2(5, 3), make_int2(6, 4)};
    float* d_img = to_device(img);
    float* d_out = device_of<float>(corners.size() * nh);
    hcuda_2d_boxes_fft_r2c_mod(d_out, corners.data(), (int)corners.size(), b, d_img, nx, ny);
    const std::vector<float> out = to_host(d_out, corners.size() * nh);
    for (size_t k = 0; k < corners.size(); ++k)
        for (unsigned r = 0; r < b; ++r)
            for (unsigned x = 0; x <= b / 2; ++x) {
                const cd z = dft(img, b, b, x, ky_centred(r, b), corners[k].x, corners[k].y, nx);
                ASSERT_NEAR(out[k * nh + r * (b / 2 + 1) + x], std::abs(z) / b, 1e-5) << "box " << k;
            }
    cudaFree_many_pointers(d_img, d_out, nullptr);
}

// ================= power spectra over box grids =================

// Background of a y-centred half of an nx x ny spectrum, in double: the mean over
// [x - g/2, x + g/2) x [y - g/2, y + g/2), clipped, of the full amplitude layout,
// whose column c holds kx = c - (nx/2 - 1). Returns half - background.
std::vector<double> ref_subtract_background(const std::vector<float>& half, unsigned nx, unsigned ny, int g,
                                            bool zero_c0 = false) {
    const unsigned nxh = nx / 2 + 1;
    auto value = [&](int kx, int ky) {  // the half holds kx >= 0; F(-k) mirrors F(k)
        if (kx < 0) kx = -kx, ky = -ky;
        const unsigned row = (unsigned)((ky + (int)(ny / 2) + (int)ny) % (int)ny);
        return (double)half[row * nxh + kx];
    };
    std::vector<double> full(nx * ny);
    for (unsigned r = 0; r < ny; ++r)
        for (unsigned c = 0; c < nx; ++c) full[r * nx + c] = value((int)c - (int)(nx / 2 - 1), ky_centred(r, ny));
    if (zero_c0) full[(ny / 2) * nx + nx / 2] = 0.0;
    std::vector<double> out(nxh * ny);
    const int h = g / 2;
    for (unsigned r = 0; r < ny; ++r)
        for (unsigned x = 0; x < nxh; ++x) {
            const int c = (int)x + (int)(nx / 2 - 1);
            double sum = 0;
            int count = 0;
            for (int yy = std::max(0, (int)r - h); yy < std::min((int)ny, (int)r + h); ++yy)
                for (int xx = std::max(0, c - h); xx < std::min((int)nx, c + h); ++xx, ++count) sum += full[yy * nx + xx];
            out[r * nxh + x] = full[r * nx + c] - sum / count;
        }
    return out;
}

// Sum over the grid's boxes of |F_box|, y-centred, in double.
std::vector<double> ref_grid_sum(const Image& img, unsigned nx, unsigned ny, unsigned bx, unsigned by, unsigned step) {
    const unsigned nxh = bx / 2 + 1;
    std::vector<double> sum(nxh * by, 0.0);
    for (unsigned y0 = 0; y0 + by <= ny; y0 += step)
        for (unsigned x0 = 0; x0 + bx <= nx; x0 += step)
            for (unsigned r = 0; r < by; ++r)
                for (unsigned x = 0; x < nxh; ++x) sum[r * nxh + x] += std::abs(dft(img, bx, by, x, ky_centred(r, by), x0, y0, nx));
    return sum;
}

struct GridCase {
    unsigned nx, ny, bx, by;
    int step;
    unsigned boxes;
};

TEST(GridSpectrum, ConstantImageCountsItsBoxesAtTheOrigin) {
    const GridCase cases[] = {
        {64, 64, 32, 32, 16, 9},  // (64 - 32)/16 + 1 = 3 per axis
        {64, 64, 32, 32, 32, 4},
        {64, 64, 32, 32, 19, 4},  // the last 13 pixels of each axis take part in no box
        {40, 24, 16, 8, 8, 12},   // 4 columns x 3 rows
        {16, 8, 16, 8, 3, 1},     // the box is the image
    };
    const float c = 2.0f;
    for (const GridCase& g : cases) {
        SCOPED_TRACE(std::to_string(g.nx) + "x" + std::to_string(g.ny) + " step " + std::to_string(g.step));
        const unsigned nh = (g.bx / 2 + 1) * g.by, origin = (g.by / 2) * (g.bx / 2 + 1);
        float* d_img = to_device(Image(g.nx * g.ny, c));
        float* d_amp = device_of<float>(nh);
        hcuda_2d_gridfft_r2c_amp_ave(d_img, d_amp, g.nx, g.ny, g.bx, g.by, g.step);
        const std::vector<float> amp = to_host(d_amp, nh);
        const double at_origin = (double)g.boxes * g.bx * g.by * c;
        expect_all_near(amp, nh, [&](size_t i) { return i == origin ? at_origin : 0.0; }, 1e-6 * at_origin);
        cudaFree_many_pointers(d_img, d_amp, nullptr);
    }
}

TEST(GridSpectrum, OneFrequencyPeaksWhereTheLayoutsSay) {
    const unsigned nx = 48, ny = 32, bx = 16, by = 8, nxh = bx / 2 + 1;
    const int step = 8, k1 = 3, k2 = -2, boxes = 5 * 4;
    Image img(nx * ny);
    for (unsigned y = 0; y < ny; ++y)
        for (unsigned x = 0; x < nx; ++x) img[y * nx + x] = (float)std::cos(2.0 * M_PI * ((double)k1 * x / bx + (double)k2 * y / by));
    float* d_img = to_device(img);
    float* d_amp = device_of<float>(nxh * by);
    float* d_full = device_of<float>(bx * by);
    hcuda_2d_gridfft_r2c_amp_ave(d_img, d_amp, nx, ny, bx, by, step);
    const std::vector<float> amp = to_host(d_amp, nxh * by);
    const size_t peak = std::max_element(amp.begin(), amp.end()) - amp.begin();
    EXPECT_EQ(peak, (size_t)(by / 2 + k2) * nxh + k1);
    EXPECT_NEAR(amp[peak], boxes * bx * by / 2.0, 1e-3);

    hcuda_2d_fftA_half2full(d_full, d_amp, bx, by);
    const std::vector<float> full = to_host(d_full, bx * by);
    const unsigned oc = bx / 2 - 1;
    EXPECT_NEAR(full[(by / 2 + k2) * bx + oc + k1], boxes * bx * by / 2.0, 1e-3);
    EXPECT_NEAR(full[(by / 2 - k2) * bx + oc - k1], boxes * bx * by / 2.0, 1e-3) << "the Friedel mate";
    cudaFree_many_pointers(d_img, d_amp, d_full, nullptr);
}

// Boxes large enough that the amplitudes go in runs of lanes, one run wrapping
// round the y-centring: the batched grid sum against the DFT reference and
// against the boxes transformed and added one at a time in grid order.
TEST(GridSpectrum, BatchedSumMatchesBoxByBox) {
    const unsigned nx = 96, ny = 72, bx = 32, by = 32, nh = (bx / 2 + 1) * by;
    const int step = 16;
    const Image img = random_image(nx * ny, 7);
    float* d_img = to_device(img);
    float* d_amp = device_of<float>(nh);
    hcuda_2d_gridfft_r2c_amp_ave(d_img, d_amp, nx, ny, bx, by, step);
    const std::vector<float> amp = to_host(d_amp, nh);
    const std::vector<double> want = ref_grid_sum(img, nx, ny, bx, by, step);
    expect_all_near(amp, nh, [&](size_t i) { return want[i]; }, 1e-3);

    float* d_box = device_of<float>(bx * by);
    float2* d_spec = device_of<float2>(nh);
    float* d_one = device_of<float>(nh);
    for (unsigned y0 = 0; y0 + by <= ny; y0 += step)
        for (unsigned x0 = 0; x0 + bx <= nx; x0 += step) {
            hcuda_2d_extract_small_from_large(d_box, bx, by, d_img, nx, ny, x0, y0);
            hcuda_2d_fft_r2c(d_box, d_spec, bx, by);
            hcuda_complex_mod_addto_center_swap(d_one, d_spec, nh);
        }
    const std::vector<float> one = to_host(d_one, nh);
    for (size_t i = 0; i < nh; ++i) ASSERT_NEAR(amp[i], one[i], 1e-6 * one[i]) << i;
    cudaFree_many_pointers(d_img, d_amp, d_box, d_spec, d_one, nullptr);
}

TEST(GridSpectrum, LogarithmAndBackgroundOfTheGridSum) {
    const unsigned nx = 24, ny = 20, bx = 8, by = 8, nh = (bx / 2 + 1) * by;
    const int step = 4, g = 4;
    const Image img = random_image(nx * ny, 41);
    const std::vector<double> want = ref_grid_sum(img, nx, ny, bx, by, step);
    float* d_img = to_device(img);
    float* d_a = device_of<float>(nh);
    float* d_l = device_of<float>(nh);
    float* d_s = device_of<float>(nh);
    float* d_s1 = device_of<float>(nh);

    hcuda_2d_gridfft_r2c_amp_ave_log_subbg3(d_img, d_a, d_l, d_s, nx, ny, bx, by, step, g);
    const std::vector<float> a = to_host(d_a, nh), l = to_host(d_l, nh);
    expect_all_near(a, nh, [&](size_t i) { return want[i]; }, 1e-4);
    expect_all_near(l, nh, [&](size_t i) { return std::log(want[i]); }, 1e-4);
    const std::vector<double> s3 = ref_subtract_background(l, bx, by, g, true);
    expect_all_near(to_host(d_s, nh), nh, [&](size_t i) { return s3[i]; }, 1e-5);

    hcuda_2d_gridfft_r2c_amp_ave_log_subbg(d_img, d_s1, nx, ny, bx, by, step, g);
    const std::vector<double> s1 = ref_subtract_background(l, bx, by, g);
    expect_all_near(to_host(d_s1, nh), nh, [&](size_t i) { return s1[i]; }, 1e-5);
    cudaFree_many_pointers(d_img, d_a, d_l, d_s, d_s1, nullptr);
}

TEST(HalfArrays, BackgroundFormsTakeTheirOwnWidths) {
    const unsigned nx = 8, ny = 6, nxh = nx / 2 + 1, nh = nxh * ny;
    const int g = 4;
    std::vector<float> half = random_image(nh, 51);
    for (float& v : half) v = 1.0f + std::fabs(v);  // amplitudes: positive
    std::vector<float> padded = half;
    padded.push_back(-7.0f);  // one element past the half: must stay
    float* d_a = to_device(padded);
    float* d_out = device_of<float>(nh);

    hcuda_2dh_fftA_subbg(d_out, d_a, nxh, ny, g);
    const std::vector<double> plain = ref_subtract_background(half, nx, ny, g);
    expect_all_near(to_host(d_out, nh), nh, [&](size_t i) { return plain[i]; }, 1e-5);
    hcuda_2dh_fftA_subbg_inplace(d_a, nxh, ny, g);
    EXPECT_EQ(to_host(d_a, nh), to_host(d_out, nh));

    EXPECT_EQ(memcpy_H2D(d_a, padded.data(), padded.size() * sizeof(float)), cudaSuccess);
    hcuda_2dh_fft_amp_log_subbg_inplace(d_a, nx, ny, g);
    std::vector<float> logs(nh);
    for (unsigned i = 0; i < nh; ++i) logs[i] = std::log(half[i]);
    const std::vector<double> logged = ref_subtract_background(logs, nx, ny, g);
    const std::vector<float> got = to_host(d_a, nh + 1);
    expect_all_near(got, nh, [&](size_t i) { return logged[i]; }, 1e-5);
    EXPECT_EQ(got[nh], -7.0f);
    cudaFree_many_pointers(d_a, d_out, nullptr);
}

// ================= power spectra of stacks =================

TEST(StackSpectrum, PlainAndWeightedFrameSums) {
    const unsigned nx = 8, ny = 6, n = 3, nxh = nx / 2 + 1, npix = nx * ny, nh = nxh * ny;
    const int g = 4;
    const Image stack = random_image(n * npix, 61);
    std::vector<std::vector<double>> amp;
    for (unsigned k = 0; k < n; ++k) {
        const std::vector<cd> z = ref_half(Image(stack.begin() + k * npix, stack.begin() + (k + 1) * npix), nx, ny, true);
        amp.emplace_back();
        for (const cd& v : z) amp.back().push_back(std::abs(v));
    }
    auto expect_weighted = [&](const std::vector<float>& got, const std::vector<float>& w) {
        std::vector<float> logs(nh);
        for (unsigned i = 0; i < nh; ++i) logs[i] = (float)std::log(w[0] * amp[0][i] + w[1] * amp[1][i] + w[2] * amp[2][i]);
        const std::vector<double> want = ref_subtract_background(logs, nx, ny, g);
        expect_all_near(got, nh, [&](size_t i) { return want[i]; }, 1e-4);
    };
    float* d_stack = to_device(stack);
    float* d_plain = device_of<float>(nh);
    float* d_out = device_of<float>(nh);

    hcuda_2ds_fft_r2c_amp_ave_log_subbg(d_stack, d_plain, nx, ny, n, g);
    const std::vector<float> plain = to_host(d_plain, nh);
    expect_weighted(plain, {1, 1, 1});

    float* d_ones = to_device(std::vector<float>(n, 1.0f));
    hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(d_stack, d_out, nx, ny, n, g, d_ones, 1);
    EXPECT_EQ(to_host(d_out, nh), plain);
    float* d_maps = to_device(std::vector<float>(n * nh, 1.0f));
    hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(d_stack, d_out, nx, ny, n, g, d_maps, 2);
    EXPECT_EQ(to_host(d_out, nh), plain);

    const std::vector<float> w = {2.0f, 0.25f, 0.5f};
    float* d_w = to_device(w);
    hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(d_stack, d_out, nx, ny, n, g, d_w, 1);
    expect_weighted(to_host(d_out, nh), w);
    std::vector<float> maps(n * nh);
    for (unsigned k = 0; k < n; ++k) std::fill(maps.begin() + k * nh, maps.begin() + (k + 1) * nh, w[k]);
    EXPECT_EQ(memcpy_H2D(d_maps, maps.data(), maps.size() * sizeof(float)), cudaSuccess);
    hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(d_stack, d_out, nx, ny, n, g, d_maps, 2);
    expect_weighted(to_host(d_out, nh), w);
    cudaFree_many_pointers(d_stack, d_plain, d_out, d_ones, d_maps, d_w, nullptr);
}

TEST(LocalWeights, DistanceAndFrequencyWeights) {
    const float rho = 50.0f, apix = 1.5f, R = 6.0f;
    const std::vector<float> d = {50.0f, 0.0f, 80.0f};
    float* d_d = to_device(d);
    float* d_w = device_of<float>(3);
    hcuda_2ds_fft_amp_local_w1d_gen(d_w, 3, d_d, rho);
    const std::vector<float> w = to_host(d_w, 3);
    EXPECT_NEAR(w[0], std::exp(-0.5), 1e-6);
    EXPECT_EQ(w[1], 1.0f);
    EXPECT_NEAR(w[2], std::exp(-80.0 * 80.0 / (2.0 * 50 * 50)), 1e-6);

    const int nxh = 5, ny = 8, nh = nxh * ny;
    float* d_maps = device_of<float>(3 * nh);
    hcuda_2ds_fft_amp_local_w2ds_gen(d_maps, nxh, ny, 3, d_d, rho, apix, R);
    const std::vector<float> maps = to_host(d_maps, 3 * nh);
    for (int k = 0; k < 3; ++k)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nxh; ++x) {
                const double f = std::hypot(x / 8.0, (y - ny / 2) / (double)ny);  // cycles per pixel
                const double want = std::exp(-(d[k] * d[k] / (2.0 * rho * rho)) * 0.5 * std::pow(f * R / apix, 2));
                ASSERT_NEAR(maps[k * nh + y * nxh + x], want, 1e-6) << "map " << k << " x " << x << " y " << y;
                // Single precision from the rounded squared frequency on, the squared term formed first.
                const double fx = x / 8.0, fy = (y - ny / 2) / (double)ny;
                const float t = sqrtf((float)(fx * fx + fy * fy)) * R / apix;
                ASSERT_EQ(maps[k * nh + y * nxh + x], expf(-(d[k] * d[k] / (2.0f * rho * rho)) * 0.5f * (t * t)))
                    << "map " << k << " x " << x << " y " << y;
            }
    EXPECT_EQ(maps[2 * nh + (ny / 2) * nxh], 1.0f) << "the origin of every map";
    cudaFree_many_pointers(d_d, d_w, d_maps, nullptr);
}

// ================= rejected input =================

class CudaFftDeath : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The fatal line goes to standard output; the death-test regex reads standard error.
#define FATAL_LINE(statement, regex) \
    EXPECT_EXIT({ dup2(2, 1); statement; }, ::testing::ExitedWithCode(1), regex)

TEST_F(CudaFftDeath, OddSizesAreRejectedByTheLayouts) {
    float* f = device_of<float>(64);
    float2* c = device_of<float2>(64);
    FATAL_LINE(hcuda_2d_fftA_half2full(f, f + 32, 5, 6), "hcuda_2d_fftA_half2full\\(\\), file src/cuda_fft on line [0-9]+: 5 not an even number! Exit now!");
    FATAL_LINE(hcuda_2d_fftA_half2full_c0(f, f + 32, 6, 3), "3 not an even number");
    FATAL_LINE(hcuda_2d_fftA_full2half(f, f + 32, 7, 4), "hcuda_2d_fftA_full2half.*7 not an even number");
    FATAL_LINE(hcuda_r2d_fc_swap_inplace(f, 4, 5), "5 not an even number");
    FATAL_LINE(hcuda_2d_swap_ccf(f, f + 32, 3, 4), "3 not an even number");
    FATAL_LINE(hcuda_r2dh_fc_swap(f, f + 32, 3, 5), "5 not an even number");
    FATAL_LINE(hcuda_c2dh_fc_swap_inplace(c, 3, 7), "7 not an even number");
    FATAL_LINE(hcuda_complex2d_center_swap(c, c + 32, 4, 3), "3 not an even number");
    FATAL_LINE(hcuda_complex_mod_addto_center_swap(f, c, 15), "15 not an even number");
    FATAL_LINE(hcuda_2ds_fft_r2c_mod(f, f + 32, 4, 5, 1), "hcuda_2ds_fft_r2c_mod.*5 not an even number");
    FATAL_LINE(hcuda_2dh_fft_amp_log_subbg_inplace(f, 6, 5, 2), "5 not an even number");
    cudaFree_many_pointers(f, c, nullptr);
}

TEST_F(CudaFftDeath, GridsAndStacksThatGiveNoSpectrumAreRejected) {
    float* img = device_of<float>(400);
    float* out = device_of<float>(400);
    // 20 x 20 image, 32 x 32 boxes: the box count would wrap round.
    FATAL_LINE(hcuda_2d_gridfft_r2c_amp_ave(img, out, 20, 20, 32, 32, 4),
               "hcuda_2d_gridfft_r2c_amp_ave\\(\\), file src/cuda_fft on line [0-9]+: box 32 x 32 does not fit in "
               "the image 20 x 20! Exit now!");
    FATAL_LINE(hcuda_2d_gridfft_r2c_amp_ave_log_subbg3(img, out, out, out, 20, 10, 8, 16, 4, 4),
               "box 8 x 16 does not fit in the image 20 x 10");
    FATAL_LINE(hcuda_2d_gridfft_r2c_amp_ave_log_subbg(img, out, 20, 20, 8, 8, 0, 4), "grid step 0 must be at least 1");
    FATAL_LINE(hcuda_2d_gridfft_r2c_amp_ave(img, out, 20, 20, 7, 8, 4), "7 not an even number");
    FATAL_LINE(hcuda_2d_gridfft_r2c_amp_ave(img, out, 20, 20, 0, 8, 4), "box 0 x 8 is too small");
    FATAL_LINE(hcuda_2d_gridfft_r2c_amp_ave_log_subbg(img, out, 20, 20, 8, 8, 4, 1), "background box size 1 is below 2");
    FATAL_LINE(hcuda_2ds_fft_r2c_amp_ave_log_subbg(img, out, 4, 4, 0, 2), "no frames to average \\(count 0\\)");
    FATAL_LINE(hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(img, out, 4, 4, 2, 2, out, 3),
               "hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg\\(\\), file src/cuda_fft on line [0-9]+: Unkown FFT "
               "amplitude average type! Exit now!");
    cudaFree_many_pointers(img, out, nullptr);
}

TEST_F(CudaFftDeath, CuFftFailuresEndWithTheCheckLine) {
    std::vector<float> host(64);
    float* out = device_of<float>(64);
    // A host pointer handed to the transform: the execution fails and is reported.
    EXPECT_EXIT(hcuda_2ds_fft_r2c_logmod(host.data(), out, 4, 4, 1), ::testing::ExitedWithCode(1),
                "^Error CUFFT_INVALID_VALUE, An invalid pointer or parameter has been specified at line [0-9]+ in file "
                "src/cuda_fft\n");
    cudaFree(out);
}

}  // namespace
