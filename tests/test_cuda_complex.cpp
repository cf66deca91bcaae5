// Complex elementwise operations: GPU forms against std::complex<double>
// references, hand-computed values and the CPU twins, on sizes that are not
// multiples of the block, with guard elements that must stay untouched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "cuda_complex.h"

namespace {

using cd = std::complex<double>;
const float kInf = std::numeric_limits<float>::infinity();
const float kGuard = 12345.0f;
constexpr size_t kGuardCount = 37;
const double kPi = 3.14159265358979323846;

template <class T> T guard_value();
template <> float guard_value<float>() { return kGuard; }
template <> float2 guard_value<float2>() { return make_float2(kGuard, -kGuard); }
bool same(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }
bool same(float2 a, float2 b) { return same(a.x, b.x) && same(a.y, b.y); }

// Device copy of a host vector followed by guard elements.
template <class T> struct DeviceArray {
    T* d = nullptr;
    size_t n;
    explicit DeviceArray(const std::vector<T>& h) : n(h.size()) {
        std::vector<T> padded(h);
        padded.resize(n + kGuardCount, guard_value<T>());
        EXPECT_EQ(cudaMalloc((void**)&d, padded.size() * sizeof(T)), cudaSuccess);
        EXPECT_EQ(cudaMemcpy(d, padded.data(), padded.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    }
    explicit DeviceArray(size_t count) : DeviceArray(std::vector<T>(count, T{})) {}
    ~DeviceArray() { cudaFree(d); }
    // The n elements; fails the test when a guard element was written.
    std::vector<T> read() const {
        std::vector<T> h(n + kGuardCount);
        EXPECT_EQ(cudaMemcpy(h.data(), d, h.size() * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
        for (size_t g = n; g < h.size(); ++g) EXPECT_TRUE(same(h[g], guard_value<T>())) << "guard element " << g - n << " written";
        h.resize(n);
        return h;
    }
};

uint32_t next(uint32_t& s) { return s = s * 1664525u + 1013904223u; }
float uniform(uint32_t& s, float lo, float hi) { return lo + (hi - lo) * (float)(next(s) >> 8) / (float)(1u << 24); }
// Parts of magnitude in [lo, hi] with random signs.
std::vector<float2> complex_values(size_t n, float lo, float hi, unsigned seed) {
    uint32_t s = 2654435761u * seed + 7u;
    std::vector<float2> v(n);
    for (float2& z : v) {
        z.x = uniform(s, lo, hi) * ((next(s) >> 31) ? -1.0f : 1.0f);
        z.y = uniform(s, lo, hi) * ((next(s) >> 31) ? -1.0f : 1.0f);
    }
    return v;
}
std::vector<float> real_values(size_t n, float lo, float hi, unsigned seed) {
    uint32_t s = 2654435761u * seed + 11u;
    std::vector<float> v(n);
    for (float& x : v) x = uniform(s, lo, hi) * ((next(s) >> 31) ? -1.0f : 1.0f);
    return v;
}
cd as_cd(float2 z) { return cd(z.x, z.y); }

struct Size {
    unsigned nx, ny;
};
const Size kSizes[] = {{33, 17}, {1025, 1}};
const float S = 2.5f;

// ---- complex results: complex with complex, complex with real, complex over scalar ----

using ComplexRun = std::function<void(float2* out, const float2* a, const float2* b, const float* r, unsigned nx, unsigned ny)>;
struct ComplexCase {
    const char* name;
    ComplexRun run;
    bool inplace;  // run writes into out, which holds a
    std::function<cd(cd a, cd b, double r)> want;
};
const ComplexCase kComplexCases[] = {
    {"cxc add", [](float2* o, const float2* a, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_add(o, a, b, nx, ny); }, false, [](cd a, cd b, double) { return a + b; }},
    {"cxc sub", [](float2* o, const float2* a, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_sub(o, a, b, nx, ny); }, false, [](cd a, cd b, double) { return a - b; }},
    {"cxc multi", [](float2* o, const float2* a, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_multi(o, a, b, nx, ny); }, false, [](cd a, cd b, double) { return a * b; }},
    {"cxc divide", [](float2* o, const float2* a, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_divide(o, a, b, nx, ny); }, false, [](cd a, cd b, double) { return a / b; }},
    {"cxc multconj", [](float2* o, const float2* a, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_multconj(o, a, b, nx, ny); }, false, [](cd a, cd b, double) { return a * std::conj(b); }},
    {"cxc multconj_divide", [](float2* o, const float2* a, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_multconj_divide(o, a, b, nx, ny, S); }, false, [](cd a, cd b, double) { return a * std::conj(b) / (double)S; }},
    {"cxc add_inplace", [](float2* o, const float2*, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_add_inplace(o, b, nx, ny); }, true, [](cd a, cd b, double) { return a + b; }},
    {"cxc sub_inplace", [](float2* o, const float2*, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_sub_inplace(o, b, nx, ny); }, true, [](cd a, cd b, double) { return a - b; }},
    {"cxc multi_inplace", [](float2* o, const float2*, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_multi_inplace(o, b, nx, ny); }, true, [](cd a, cd b, double) { return a * b; }},
    {"cxc divide_inplace", [](float2* o, const float2*, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_divide_inplace(o, b, nx, ny); }, true, [](cd a, cd b, double) { return a / b; }},
    {"cxc multconj_inplace", [](float2* o, const float2*, const float2* b, const float*, unsigned nx, unsigned ny) { hcuda_cxc_2d_multconj_inplace(o, b, nx, ny); }, true, [](cd a, cd b, double) { return a * std::conj(b); }},
    {"cxr multi", [](float2* o, const float2* a, const float2*, const float* r, unsigned nx, unsigned ny) { hcuda_cxr_2d_multi(o, a, r, nx, ny); }, false, [](cd a, cd, double r) { return a * r; }},
    {"cxr divide", [](float2* o, const float2* a, const float2*, const float* r, unsigned nx, unsigned ny) { hcuda_cxr_2d_divide(o, a, r, nx, ny); }, false, [](cd a, cd, double r) { return a / r; }},
    {"cxr multi_inplace", [](float2* o, const float2*, const float2*, const float* r, unsigned nx, unsigned ny) { hcuda_cxr_2d_multi_inplace(o, r, nx, ny); }, true, [](cd a, cd, double r) { return a * r; }},
    {"cxr divide_inplace", [](float2* o, const float2*, const float2*, const float* r, unsigned nx, unsigned ny) { hcuda_cxr_2d_divide_inplace(o, r, nx, ny); }, true, [](cd a, cd, double r) { return a / r; }},
    {"complex2d_norm", [](float2* o, const float2* a, const float2*, const float*, unsigned nx, unsigned ny) { hcuda_complex2d_norm(o, a, nx, ny, S); }, false, [](cd a, cd, double) { return a / (double)S; }},
    {"c2d_divR", [](float2* o, const float2* a, const float2*, const float*, unsigned nx, unsigned ny) { hcuda_c2d_divR(o, a, nx, ny, S); }, false, [](cd a, cd, double) { return a / (double)S; }},
    {"c2d_divR_inplace", [](float2* o, const float2*, const float2*, const float*, unsigned nx, unsigned ny) { hcuda_c2d_divR_inplace(o, nx, ny, S); }, true, [](cd a, cd, double) { return a / (double)S; }},
};

TEST(ComplexImages, EveryOperationMatchesADoubleReferenceOnlyInsideTheImage) {
    for (const ComplexCase& c : kComplexCases) {
        for (const Size& s : kSizes) {
            const size_t n = (size_t)s.nx * s.ny;
            const std::vector<float2> a = complex_values(n, 0.0f, 8.0f, 1), b = complex_values(n, 0.5f, 8.0f, 2);
            const std::vector<float> r = real_values(n, 0.5f, 8.0f, 3);
            DeviceArray<float2> da(a), db(b), dout(n);
            DeviceArray<float> dr(r);
            float2* out = c.inplace ? da.d : dout.d;
            c.run(out, da.d, db.d, dr.d, s.nx, s.ny);
            const std::vector<float2> got = c.inplace ? da.read() : dout.read();
            for (size_t i = 0; i < n; ++i) {
                const cd want = c.want(as_cd(a[i]), as_cd(b[i]), r[i]);
                // Single-precision error bound on the operands' scale: products and quotients
                // of parts in [0.5, 8] stay within a few ulps of |a|, |b| and |r| together.
                const double tol = 1e-6 * (std::abs(as_cd(a[i])) + 1) * (std::abs(as_cd(b[i])) + 1) * (std::fabs(r[i]) + 1);
                ASSERT_NEAR(got[i].x, want.real(), tol) << c.name << " element " << i;
                ASSERT_NEAR(got[i].y, want.imag(), tol) << c.name << " element " << i;
            }
            if (!c.inplace) {
                const std::vector<float2> a_after = da.read();
                for (size_t i = 0; i < n; ++i) ASSERT_TRUE(same(a_after[i], a[i])) << c.name << ": input changed";
            }
        }
    }
}

TEST(ComplexImages, HandComputedProductsAndQuotients) {
    // a = 1 + 2i, b = 3 + 4i, r = 4.
    DeviceArray<float2> a(std::vector<float2>{make_float2(1, 2)}), b(std::vector<float2>{make_float2(3, 4)}), out(1);
    DeviceArray<float> r(std::vector<float>{4.0f});
    struct Hand {
        std::function<void()> run;
        float re, im;
    };
    const Hand cases[] = {
        {[&] { hcuda_cxc_2d_multi(out.d, a.d, b.d, 1, 1); }, -5.0f, 10.0f},
        {[&] { hcuda_cxc_2d_multconj(out.d, a.d, b.d, 1, 1); }, 11.0f, 2.0f},
        {[&] { hcuda_cxc_2d_multconj_divide(out.d, a.d, b.d, 1, 1, 2.0f); }, 5.5f, 1.0f},
        {[&] { hcuda_cxc_2d_divide(out.d, a.d, b.d, 1, 1); }, 11.0f / 25.0f, 2.0f / 25.0f},
        {[&] { hcuda_cxr_2d_multi(out.d, a.d, r.d, 1, 1); }, 4.0f, 8.0f},
        {[&] { hcuda_cxr_2d_divide(out.d, a.d, r.d, 1, 1); }, 0.25f, 0.5f},
        {[&] { hcuda_c2d_divR(out.d, a.d, 1, 1, 4.0f); }, 0.25f, 0.5f},
    };
    for (size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k) {
        cases[k].run();
        const float2 z = out.read()[0];
        EXPECT_EQ(z.x, cases[k].re) << "case " << k;
        EXPECT_EQ(z.y, cases[k].im) << "case " << k;
    }
}

TEST(ComplexImages, CpuTwinsAgreeBitForBitWithTheKernels) {
    using Op = void (*)(float2*, const float2*, unsigned, unsigned);
    const struct {
        Op gpu, cpu;
    } twins[] = {
        {hcuda_cxc_2d_add_inplace, cpu_cxc_2d_add_inplace},
        {hcuda_cxc_2d_sub_inplace, cpu_cxc_2d_sub_inplace},
        {hcuda_cxc_2d_multi_inplace, cpu_cxc_2d_multi_inplace},
        {hcuda_cxc_2d_divide_inplace, cpu_cxc_2d_divide_inplace},
    };
    const unsigned nx = 33, ny = 17;
    std::vector<float2> a = complex_values(nx * ny, 0.0f, 8.0f, 4), b = complex_values(nx * ny, 0.0f, 8.0f, 5);
    b[7] = make_float2(0.0f, 0.0f);  // a zero divisor gives non-finite values in both, and nothing else
    for (const auto& t : twins) {
        DeviceArray<float2> da(a), db(b);
        t.gpu(da.d, db.d, nx, ny);
        std::vector<float2> host = a;
        t.cpu(host.data(), b.data(), nx, ny);
        const std::vector<float2> dev = da.read();
        for (size_t i = 0; i < host.size(); ++i) ASSERT_TRUE(same(host[i], dev[i])) << i;
    }
}

// ---- conversions to reals, flat and image ----

using RealRun = std::function<void(float* out, const float2* in, unsigned nx, unsigned ny)>;
struct RealCase {
    std::string name;
    RealRun run;
    std::function<double(cd)> want;
    double rel, abs;
};
RealRun flat(void (*f)(const float2*, float*, unsigned long)) {
    return [f](float* out, const float2* in, unsigned nx, unsigned ny) { f(in, out, (unsigned long)nx * ny); };
}
RealRun by_letter(char mode) {
    return [mode](float* out, const float2* in, unsigned nx, unsigned ny) { hcuda_complex_proc(in, out, (unsigned long)nx * ny, mode); };
}
double modulus(cd z) { return std::abs(z); }
double phase(cd z) { return std::arg(z); }
double power(cd z) { return std::norm(z); }
double log_modulus(cd z) { return std::log(std::abs(z)); }
double log1p_modulus(cd z) { return std::log1p(std::abs(z)); }

// Each flat conversion has a named entry point, a letter entry point and a mode letter.
using FlatForm = void (*)(const float2*, float*, unsigned long);
const struct {
    char letter;
    FlatForm named, by_letter_name;
    double (*want)(cd);
    double rel, abs;
} kFlatFamilies[] = {
    {'A', hcuda_complex_mod, hcuda_complex_A, modulus, 1e-6, 0},
    {'P', hcuda_complex_phi, hcuda_complex_P, phase, 0, 1e-6},
    {'W', hcuda_complex_pow, hcuda_complex_W, power, 1e-6, 0},
    {'L', hcuda_complex_logmod, hcuda_complex_L, log_modulus, 0, 1e-6},
    {'M', hcuda_complex_log1p_mod, hcuda_complex_M, log1p_modulus, 1e-6, 0},
};

std::vector<RealCase> real_cases() {
    std::vector<RealCase> cases = {
        {"c2d_mod", hcuda_c2d_mod, modulus, 1e-6, 0},
        {"c2d_pow", hcuda_c2d_pow, power, 1e-6, 0},
        {"c2d_logmod", hcuda_c2d_logmod, log_modulus, 0, 1e-6},
        {"c2d_logmod_1p", hcuda_c2d_logmod_1p, log1p_modulus, 1e-6, 0},
        {"c2d_mod_divR", [](float* o, const float2* i, unsigned nx, unsigned ny) { hcuda_c2d_mod_divR(o, i, nx, ny, S); }, [](cd z) { return std::abs(z) / S; }, 1e-6, 0},
        {"c2d_pow_divR", [](float* o, const float2* i, unsigned nx, unsigned ny) { hcuda_c2d_pow_divR(o, i, nx, ny, S); }, [](cd z) { return std::norm(z) / S; }, 1e-6, 0},
    };
    for (const auto& f : kFlatFamilies) {
        const std::string letter(1, f.letter);
        cases.push_back({"flat " + letter + " named", flat(f.named), f.want, f.rel, f.abs});
        cases.push_back({"hcuda_complex_" + letter, flat(f.by_letter_name), f.want, f.rel, f.abs});
        cases.push_back({"proc " + letter, by_letter(f.letter), f.want, f.rel, f.abs});
    }
    return cases;
}

TEST(ComplexToReal, EveryConversionMatchesADoubleReferenceOnlyInsideTheArray) {
    for (const RealCase& c : real_cases()) {
        for (const Size& s : kSizes) {
            const size_t n = (size_t)s.nx * s.ny;
            const std::vector<float2> in = complex_values(n, 0.01f, 50.0f, 6);
            DeviceArray<float2> din(in);
            DeviceArray<float> dout(n);
            c.run(dout.d, din.d, s.nx, s.ny);
            const std::vector<float> got = dout.read();
            for (size_t i = 0; i < n; ++i) {
                const double want = c.want(as_cd(in[i]));
                ASSERT_NEAR(got[i], want, c.rel * std::fabs(want) + c.abs) << c.name << " element " << i;
            }
        }
    }
}

TEST(ComplexToReal, SpecialValues) {
    const float big = 2e38f;
    const std::vector<float2> in = {make_float2(0, 0), make_float2(-1, 0.0f), make_float2(-1, -0.0f), make_float2(big, big),
                                    make_float2(kInf, 1), make_float2(std::nanf(""), 1)};
    DeviceArray<float2> din(in);
    DeviceArray<float> mod(in.size()), image_mod(in.size()), phi(in.size()), logmod(in.size()), log1p(in.size()), image_logmod(in.size());
    const unsigned n = (unsigned)in.size();
    hcuda_complex_mod(din.d, mod.d, n);
    hcuda_c2d_mod(image_mod.d, din.d, n, 1);
    hcuda_complex_phi(din.d, phi.d, n);
    hcuda_complex_logmod(din.d, logmod.d, n);
    hcuda_c2d_logmod(image_logmod.d, din.d, n, 1);
    hcuda_complex_log1p_mod(din.d, log1p.d, n);

    const std::vector<float> m = mod.read(), im = image_mod.read(), p = phi.read();
    EXPECT_EQ(m[0], 0.0f);
    EXPECT_TRUE(std::isfinite(m[3]));
    EXPECT_NEAR(m[3], 2e38 * std::sqrt(2.0), 1e-6 * 2.83e38);  // finite where the plain form overflows
    EXPECT_EQ(im[3], kInf);
    EXPECT_EQ(m[4], kInf);
    EXPECT_TRUE(std::isnan(m[5]));
    EXPECT_FLOAT_EQ(p[1], (float)kPi);
    EXPECT_FLOAT_EQ(p[2], -(float)kPi);
    EXPECT_EQ(logmod.read()[0], -kInf);
    EXPECT_EQ(image_logmod.read()[0], -kInf);
    EXPECT_EQ(log1p.read()[0], 0.0f);
}

TEST(ComplexToReal, UnknownModeLetterWritesNothing) {
    const std::vector<float2> in = complex_values(40, 1.0f, 2.0f, 7);
    DeviceArray<float2> din(in);
    const std::vector<float> before(40, -3.0f);
    DeviceArray<float> out(before);
    for (char mode : {'a', 'p', 'w', 'l', 'm', 'X', '\0'}) {
        hcuda_complex_proc(din.d, out.d, 40, mode);
        EXPECT_EQ(out.read(), before) << "mode " << (int)mode;
    }
}

// ---- sizes, stacks and failures ----

TEST(ComplexSizes, ZeroElementsTouchNothing) {
    DeviceArray<float2> a(complex_values(4, 1.0f, 2.0f, 8)), b(complex_values(4, 1.0f, 2.0f, 9));
    DeviceArray<float> out(std::vector<float>(4, -3.0f));
    const std::vector<float2> a_before = a.read();
    hcuda_complex_mod(a.d, out.d, 0);
    hcuda_complex_proc(a.d, out.d, 0, 'W');
    const Size empty[] = {{0, 4}, {4, 0}};
    for (const Size& s : empty) {
        hcuda_c2d_pow(out.d, a.d, s.nx, s.ny);
        hcuda_cxc_2d_multi_inplace(a.d, b.d, s.nx, s.ny);
        hcuda_c2d_divR_inplace(a.d, s.nx, s.ny, 2.0f);
        hcuda_cxr_2ds_multi_inplace(a.d, out.d, s.nx, s.ny, 3);
    }
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(out.read(), std::vector<float>(4, -3.0f));
    const std::vector<float2> a_after = a.read();
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(same(a_after[i], a_before[i]));
}

TEST(ComplexStacks, SliceKIsMultipliedByRealSliceK) {
    const unsigned nx = 33, ny = 17;
    const size_t n = (size_t)nx * ny;
    std::vector<float> r;
    for (float f : {2.0f, 3.0f, 5.0f}) r.insert(r.end(), n, f);
    const std::vector<float2> a = complex_values(3 * n, 0.0f, 8.0f, 10);
    DeviceArray<float2> da(a);
    DeviceArray<float> dr(r);
    hcuda_cxr_2ds_multi_inplace(da.d, dr.d, nx, ny, 3);
    const std::vector<float2> got = da.read();
    for (size_t i = 0; i < 3 * n; ++i) {
        ASSERT_EQ(got[i].x, a[i].x * r[i]) << i;
        ASSERT_EQ(got[i].y, a[i].y * r[i]) << i;
    }
    for (int nz : {0, -2}) {
        DeviceArray<float2> untouched(a);
        hcuda_cxr_2ds_multi_inplace(untouched.d, dr.d, nx, ny, nz);
        const std::vector<float2> after = untouched.read();
        for (size_t i = 0; i < 3 * n; ++i) ASSERT_TRUE(same(after[i], a[i])) << "nz = " << nz;
    }
}

TEST(ComplexFailures, ZeroScalarDivisorEndsTheProcessOnlyWhereTested) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DeviceArray<float2> a(complex_values(4, 1.0f, 2.0f, 11)), out(4);
    DeviceArray<float> real_out(4);
    const struct {
        const char* name;
        std::function<void()> run;
    } tested[] = {
        {"hcuda_c2d_divR_inplace", [&] { hcuda_c2d_divR_inplace(a.d, 2, 2, -0.0f); }},
        {"hcuda_c2d_divR", [&] { hcuda_c2d_divR(out.d, a.d, 2, 2, 0.0f); }},
        {"hcuda_c2d_mod_divR", [&] { hcuda_c2d_mod_divR(real_out.d, a.d, 2, 2, 0.0f); }},
        {"hcuda_c2d_pow_divR", [&] { hcuda_c2d_pow_divR(real_out.d, a.d, 2, 2, -0.0f); }},
    };
    for (const auto& t : tested) {
        // The fatal line goes to standard output: send it to standard error to match it.
        const std::string line = std::string("Error in function ") + t.name +
                                 "\\(\\), file src/cuda_complex on line [0-9]+: Divisor is zero! Exit now!";
        EXPECT_EXIT((dup2(2, 1), t.run()), ::testing::ExitedWithCode(1), line) << t.name;
    }

    // Untested divisors: zero gives non-finite values and the work goes on.
    DeviceArray<float2> b(std::vector<float2>(4, make_float2(0.0f, 0.0f)));
    hcuda_complex2d_norm(out.d, a.d, 2, 2, 0.0f);
    for (float2 z : out.read()) EXPECT_FALSE(std::isfinite(z.x) || std::isfinite(z.y));
    hcuda_cxc_2d_multconj_divide(out.d, a.d, a.d, 2, 2, 0.0f);
    for (float2 z : out.read()) EXPECT_FALSE(std::isfinite(z.x));
    hcuda_cxc_2d_divide(out.d, a.d, b.d, 2, 2);
    for (float2 z : out.read()) EXPECT_FALSE(std::isfinite(z.x) || std::isfinite(z.y));
    // A NaN divisor passes the test.
    hcuda_c2d_divR(out.d, a.d, 2, 2, std::nanf(""));
    for (float2 z : out.read()) EXPECT_TRUE(std::isnan(z.x) && std::isnan(z.y));
}

}  // namespace
