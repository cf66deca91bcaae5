// Transcendental functions on one native SIMD vector of floats, for the lane
// groups of host_lanes.h: range reduction and short polynomials in float, every
// step an elementwise IEEE operation, so a lane's result depends on that lane
// alone. Accuracy against the double-precision libm functions, as
// tests/test_platform.cpp (HostLanes) checks it on dense and random arguments:
//   vsincos  |x| <= SINCOS_REDUCED_MAX: error at most 2 ulp of the result or
//            2^-24, whichever is larger (an argument of thousands of radians is
//            itself uncertain by more); callers send larger |x| to libm.
//   vexp     at most 2 ulp (1 measured), subnormal results included; 0 below
//            -104 and +inf above 89, as expf rounds them.
//   vfloor, vfabs exact.
// NaN in gives NaN out.
#pragma once

namespace vorn_host {

typedef int native_ivector __attribute__((vector_size(native_floats * sizeof(int))));
typedef unsigned int native_uvector __attribute__((vector_size(native_floats * sizeof(int))));

constexpr int SIGN_BIT = (int)0x80000000u;
// 1.5 * 2^23: adding it rounds |x| < 2^22 to the nearest integer, held in the sum's low bits.
constexpr float ROUND_MAGIC = 12582912.0f;

inline native_ivector vbits(native_vector x) { return (native_ivector)x; }
inline native_vector vfloat(native_ivector i) { return (native_vector)i; }
inline native_vector vsplat(float x) { return native_vector{} + x; }

inline native_vector vfabs(native_vector x) { return vfloat(vbits(x) & ~SIGN_BIT); }

// a > b ? a : b and a < b ? a : b, b where the comparison fails (a NaN in either):
// the rule of one maxps or minps instruction, which the ternary is not compiled to.
inline native_vector vmax_else(native_vector a, native_vector b) {
#if defined(__AVX__)
    return (native_vector)_mm256_max_ps((__m256)a, (__m256)b);
#elif defined(__SSE__)
    return (native_vector)_mm_max_ps((__m128)a, (__m128)b);
#else
    return a > b ? a : b;
#endif
}
inline native_vector vmin_else(native_vector a, native_vector b) {
#if defined(__AVX__)
    return (native_vector)_mm256_min_ps((__m256)a, (__m256)b);
#elif defined(__SSE__)
    return (native_vector)_mm_min_ps((__m128)a, (__m128)b);
#else
    return a < b ? a : b;
#endif
}

// Largest integer <= x; the sign of a zero result follows x, as floorf's does.
// One rounding instruction where the build has SSE4.1 (AVX: 8 lanes).
inline native_vector vfloor(native_vector x) {
#if defined(__AVX__)
    return (native_vector)_mm256_floor_ps((__m256)x);
#elif defined(__SSE4_1__)
    return (native_vector)_mm_floor_ps((__m128)x);
#else
    const native_vector ax = vfabs(x);
    native_vector t = (ax + 8388608.0f) - 8388608.0f;  // |x| rounded to an integer, |x| < 2^23
    t = vfloat(vbits(t) | (vbits(x) & SIGN_BIT));
    t = t > x ? t - 1.0f : t;
    return ax < 8388608.0f ? t : x;  // larger values are integers already; NaN stays
#endif
}

// Bit 1 of q moved to the sign bit.
inline native_ivector sign_of_bit1(native_ivector q) { return (native_ivector)(((native_uvector)(q & 2)) << 30); }

// pi/2 in four parts of at most 11 significant bits but the last: k times each is
// exact for k < 2^13, so x - k pi/2 loses nothing to cancellation.
constexpr float PIO2_1 = 1.5703125f, PIO2_2 = 4.837512969970703125e-4f, PIO2_3 = 7.549533620476722717e-8f,
                PIO2_4 = 2.563344068257089e-12f;
constexpr float SINCOS_REDUCED_MAX = 12000.0f;  // k = round(x 2/pi) < 2^13

// sin x and cos x together: x = k pi/2 + r with |r| <= pi/4, polynomials in r,
// their roles and signs chosen by k mod 4.
inline void vsincos(native_vector x, native_vector& sin_x, native_vector& cos_x) {
    const native_vector m = x * 0.636619772f + ROUND_MAGIC;
    const native_vector k = m - ROUND_MAGIC;
    const native_ivector q = vbits(m);  // k in the low bits, two's complement
    native_vector r = x - k * PIO2_1;
    r = r - k * PIO2_2;
    r = r - k * PIO2_3;
    r = r - k * PIO2_4;
    const native_vector z = r * r;
    const native_vector ps = ((-1.9515295891e-4f * z + 8.3321608736e-3f) * z - 1.6666654611e-1f) * z * r + r;
    const native_vector pc =
        ((2.443315711809948e-5f * z - 1.388731625493765e-3f) * z + 4.166664568298827e-2f) * z * z - 0.5f * z + 1.0f;
    const native_ivector odd = (q & 1) != 0;
    sin_x = vfloat(vbits(odd ? pc : ps) ^ sign_of_bit1(q));
    sin_x = x == 0.0f ? x : sin_x;  // sin -0 is -0
    cos_x = vfloat(vbits(odd ? ps : pc) ^ sign_of_bit1(q + 1));
}

// e^x = 2^k e^r with |r| <= ln2/2; 2^k applied in two halves so that results
// down to the subnormals round once.
inline native_vector vexp(native_vector x) {
    x = vmax_else(vsplat(-104.0f), x);  // x < -104 ? -104 : x
    x = vmin_else(vsplat(89.0f), x);    // x > 89 ? 89 : x
    const native_vector m = x * 1.44269504088896341f + ROUND_MAGIC;
    const native_vector k = m - ROUND_MAGIC;
    native_vector r = x - k * 0.693359375f;
    r = r - k * -2.12194440e-4f;
    const native_vector p =
        (((((1.9875691500e-4f * r + 1.3981999507e-3f) * r + 8.3334519073e-3f) * r + 4.1665795894e-2f) * r +
          1.6666665459e-1f) *
             r +
         5.0000001201e-1f) *
            (r * r) +
        r + 1.0f;
    const native_ivector ki = vbits(m) - vbits(vsplat(ROUND_MAGIC));
    const native_ivector k1 = ki >> 1, k2 = ki - k1;
    const native_vector s1 = vfloat((native_ivector)(((native_uvector)(k1 + 127)) << 23));
    const native_vector s2 = vfloat((native_ivector)(((native_uvector)(k2 + 127)) << 23));
    return p * s1 * s2;
}

}  // namespace vorn_host
