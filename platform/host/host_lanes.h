// Lanes: a kernel thread may compute GPU_LANES neighbouring pixels of a row at
// once. On a GPU a lane group is one float (GPU_LANES is 1); on the host it is a
// group of SIMD registers, so a pixel's long dependency chain (a window sum, say)
// runs beside its neighbours' chains instead of one after another. Every
// operation is elementwise IEEE arithmetic, so each lane gives exactly what the
// pixel would give alone.
//
//   gpu_lanes_f                     GPU_LANES floats; + - * / and += between lane groups
//   gpu_lanes_load(p)               p[0 .. GPU_LANES), p needs no alignment
//   gpu_lanes_store(p, v, n)        the first n lanes of v to p[0 .. n)
//   gpu_lanes_from(a)               a float array of GPU_LANES values as a lane group
//   gpu_lanes_load_complex(z, re, im)   the parts of z[0 .. GPU_LANES) (float2), one lane each
//   gpu_lanes_sqrt(v)               sqrtf of every lane
//   gpu_lanes_f(x)                  x in every lane (implicit: a float meets a lane group in + - * / and compares)
//   gpu_lanes_index(first)          first, first + 1, ... as floats
//   gpu_lanes_load(p, n)            p[0 .. n) and zeros after: p[n ..] is never read
//   gpu_lanes_m                     a mask, from < <= > >= between lane groups; & of two masks
//   gpu_lanes_select(m, a, b)       a where m is set, else b
//   gpu_lanes_fabs, _floor          exact, as fabsf and floorf
//   gpu_lanes_gather(p, i)          p[(int)i] in every lane, for whole numbers i in [0, 2^31): one
//                                   gather instruction per vector where the build has AVX2
//   gpu_lanes_gather_pair(p, i, a, b)   a = p[(int)i], b = p[(int)i + 1], both readable
//   gpu_lanes_gather_quad(p, i, a, b, c, d)   p[(int)i] .. p[(int)i + 3], all readable
//   gpu_lanes_store_quads(p, stride, a, b, c, d)   lane l's a b c d to p[l stride .. l stride + 4)
//   gpu_quad, gpu_quad_load(p), gpu_quad_store(p, q)   four floats p[0 .. 4) added (+) elementwise at once
//   gpu_lanes_sin, _sincos(x, s, c), _exp
//                                   polynomial approximations to within a few ulp of libm's
//                                   (bounds in host_lanes_math.h): only these differ from the
//                                   one-float functions, in the last bits
#pragma once
#include <cmath>
#if defined(__SSE__)
#include <immintrin.h>
#endif
#include "host_types.h"

namespace vorn_host {
// The widest vector the build targets: 8 floats with AVX, else 4 (SSE2, every x86-64).
#if defined(__AVX__)
constexpr unsigned int native_floats = 8;
#else
constexpr unsigned int native_floats = 4;
#endif
typedef float native_vector __attribute__((vector_size(native_floats * sizeof(float))));
// The same vector at any float's address, for loads and stores.
typedef float unaligned_vector __attribute__((vector_size(native_floats * sizeof(float)), aligned(4), may_alias));
}  // namespace vorn_host

// 32 lanes are 8 SSE or 4 AVX registers: independent chains enough to keep the
// adders busy through an add's latency.
constexpr unsigned int GPU_LANES = 32;

// An array of native vectors rather than one wide vector type, loaded and stored
// through an unaligned vector type rather than copied: the compiler then keeps
// each in a register, where it spills a wide vector or a copied one to the stack.
struct gpu_lanes_f {
    typedef float scalar;
    static constexpr unsigned int W = vorn_host::native_floats, N = GPU_LANES / W;
    vorn_host::native_vector v[N];  // no initialiser: a group is zeroed only when asked ({})

    gpu_lanes_f() = default;
    __attribute__((always_inline)) gpu_lanes_f(float x) {
        for (unsigned int i = 0; i < N; ++i) v[i] = vorn_host::native_vector{} + x;
    }

    template <class Op> __attribute__((always_inline)) gpu_lanes_f zip(const gpu_lanes_f& b, Op op) const {
        gpu_lanes_f r;
        for (unsigned int i = 0; i < N; ++i) r.v[i] = op(v[i], b.v[i]);
        return r;
    }
    __attribute__((always_inline)) float lane(unsigned int l) const { return v[l / W][l % W]; }
};

#define VORN_LANES_OP(op)                                                                                   \
    __attribute__((always_inline)) inline gpu_lanes_f operator op(const gpu_lanes_f& a, const gpu_lanes_f& b) { \
        return a.zip(b, [](vorn_host::native_vector x, vorn_host::native_vector y) { return x op y; });      \
    }
VORN_LANES_OP(+)
VORN_LANES_OP(-)
VORN_LANES_OP(*)
VORN_LANES_OP(/)
#undef VORN_LANES_OP

__attribute__((always_inline)) inline gpu_lanes_f& operator+=(gpu_lanes_f& a, const gpu_lanes_f& b) {
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) a.v[i] += b.v[i];
    return a;
}

__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_load(const float* p) {
    gpu_lanes_f r;
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i)
        r.v[i] = *reinterpret_cast<const vorn_host::unaligned_vector*>(p + i * gpu_lanes_f::W);
    return r;
}

__attribute__((always_inline)) inline void gpu_lanes_store(float* p, const gpu_lanes_f& a, unsigned int n) {
    if (n >= GPU_LANES) {
        for (unsigned int i = 0; i < gpu_lanes_f::N; ++i)
            *reinterpret_cast<vorn_host::unaligned_vector*>(p + i * gpu_lanes_f::W) = a.v[i];
        return;
    }
    for (unsigned int l = 0; l < n; ++l) p[l] = a.lane(l);
}

__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_from(const float* a) { return gpu_lanes_load(a); }

__attribute__((always_inline)) inline void gpu_lanes_load_complex(const float2* z, gpu_lanes_f& re, gpu_lanes_f& im) {
    constexpr unsigned int W = gpu_lanes_f::W;
    const float* p = &z->x;
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) {
        const vorn_host::native_vector a = *reinterpret_cast<const vorn_host::unaligned_vector*>(p + 2 * i * W);
        const vorn_host::native_vector b = *reinterpret_cast<const vorn_host::unaligned_vector*>(p + 2 * i * W + W);
#if defined(__AVX__)
        re.v[i] = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
        im.v[i] = __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15);
#else
        re.v[i] = __builtin_shufflevector(a, b, 0, 2, 4, 6);
        im.v[i] = __builtin_shufflevector(a, b, 1, 3, 5, 7);
#endif
    }
}

__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_sqrt(const gpu_lanes_f& a) {
    gpu_lanes_f r;
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i)
        for (unsigned int k = 0; k < gpu_lanes_f::W; ++k) r.v[i][k] = __builtin_sqrtf(a.v[i][k]);
    return r;
}

#include "host_lanes_math.h"

__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_index(unsigned int first) {
    gpu_lanes_f r;
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i)
        for (unsigned int k = 0; k < gpu_lanes_f::W; ++k) r.v[i][k] = (float)(first + i * gpu_lanes_f::W + k);
    return r;
}

__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_load(const float* p, unsigned int n) {
    if (n >= GPU_LANES) return gpu_lanes_load(p);
    float a[GPU_LANES] = {};
    for (unsigned int l = 0; l < n; ++l) a[l] = p[l];
    return gpu_lanes_load(a);
}

struct gpu_lanes_m {
    vorn_host::native_ivector v[gpu_lanes_f::N];
};

#define VORN_LANES_CMP(op)                                                                                   \
    __attribute__((always_inline)) inline gpu_lanes_m operator op(const gpu_lanes_f& a, const gpu_lanes_f& b) { \
        gpu_lanes_m r;                                                                                       \
        for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) r.v[i] = a.v[i] op b.v[i];                         \
        return r;                                                                                            \
    }
VORN_LANES_CMP(<)
VORN_LANES_CMP(<=)
VORN_LANES_CMP(>)
VORN_LANES_CMP(>=)
#undef VORN_LANES_CMP

__attribute__((always_inline)) inline gpu_lanes_m operator&(const gpu_lanes_m& a, const gpu_lanes_m& b) {
    gpu_lanes_m r;
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) r.v[i] = a.v[i] & b.v[i];
    return r;
}

__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_select(const gpu_lanes_m& m, const gpu_lanes_f& a,
                                                                  const gpu_lanes_f& b) {
    gpu_lanes_f r;
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) r.v[i] = m.v[i] ? a.v[i] : b.v[i];
    return r;
}

__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_gather(const float* p, const gpu_lanes_f& index) {
#if defined(__AVX2__)
    gpu_lanes_f r;
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i)
        r.v[i] = (vorn_host::native_vector)_mm256_i32gather_ps(p, _mm256_cvttps_epi32((__m256)index.v[i]), 4);
    return r;
#else
    // Through memory: inserting lanes one by one into SSE registers costs more.
    int k[GPU_LANES];
    float values[GPU_LANES];
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) {
        const vorn_host::native_ivector v = __builtin_convertvector(index.v[i], vorn_host::native_ivector);
        __builtin_memcpy(k + i * gpu_lanes_f::W, &v, sizeof v);
    }
    for (unsigned int l = 0; l < GPU_LANES; ++l) values[l] = p[k[l]];
    return gpu_lanes_load(values);
#endif
}

// a = p[(int)i] and b = p[(int)i + 1] in every lane, both readable: one 64-bit
// gather per half vector where the build has AVX2, half the loads of two gathers.
__attribute__((always_inline)) inline void gpu_lanes_gather_pair(const float* p, const gpu_lanes_f& index,
                                                                 gpu_lanes_f& a, gpu_lanes_f& b) {
#if defined(__AVX2__)
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) {
        // Lanes 0 1 4 5 in one half, 2 3 6 7 in the other, so that the pairs
        // interleave back into lane order within each 128-bit half.
        const __m256i k = _mm256_permute4x64_epi64(_mm256_cvttps_epi32((__m256)index.v[i]), 0xD8);
        const long long* q = reinterpret_cast<const long long*>(p);
        const __m256 lo = _mm256_castsi256_ps(_mm256_i32gather_epi64(q, _mm256_castsi256_si128(k), 4));
        const __m256 hi = _mm256_castsi256_ps(_mm256_i32gather_epi64(q, _mm256_extracti128_si256(k, 1), 4));
        a.v[i] = (vorn_host::native_vector)_mm256_shuffle_ps(lo, hi, 0x88);
        b.v[i] = (vorn_host::native_vector)_mm256_shuffle_ps(lo, hi, 0xDD);
    }
#else
    int k[GPU_LANES];
    float va[GPU_LANES], vb[GPU_LANES];
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) {
        const vorn_host::native_ivector v = __builtin_convertvector(index.v[i], vorn_host::native_ivector);
        __builtin_memcpy(k + i * gpu_lanes_f::W, &v, sizeof v);
    }
    for (unsigned int l = 0; l < GPU_LANES; ++l) {
        va[l] = p[k[l]];
        vb[l] = p[k[l] + 1];
    }
    a = gpu_lanes_load(va);
    b = gpu_lanes_load(vb);
#endif
}

// a, b, c, d = p[(int)i], p[(int)i + 1], p[(int)i + 2], p[(int)i + 3] in every
// lane, all readable: one 16-byte load a lane and a 4 x 4 transpose per 4 lanes
// where the build has AVX (cheaper than four gathers).
__attribute__((always_inline)) inline void gpu_lanes_gather_quad(const float* p, const gpu_lanes_f& index,
                                                                 gpu_lanes_f& a, gpu_lanes_f& b, gpu_lanes_f& c,
                                                                 gpu_lanes_f& d) {
    int k[GPU_LANES];
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) {
        const vorn_host::native_ivector v = __builtin_convertvector(index.v[i], vorn_host::native_ivector);
        __builtin_memcpy(k + i * gpu_lanes_f::W, &v, sizeof v);
    }
#if defined(__AVX__)
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) {
        const int* kk = k + 8 * i;
        __m256 x[4];
        for (unsigned int l = 0; l < 4; ++l)
            x[l] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p + kk[l])), _mm_loadu_ps(p + kk[l + 4]),
                                        1);
        const __m256 t0 = _mm256_unpacklo_ps(x[0], x[1]);  // a0 a1 b0 b1 | a4 a5 b4 b5
        const __m256 t1 = _mm256_unpackhi_ps(x[0], x[1]);  // c0 c1 d0 d1 | c4 c5 d4 d5
        const __m256 t2 = _mm256_unpacklo_ps(x[2], x[3]);
        const __m256 t3 = _mm256_unpackhi_ps(x[2], x[3]);
        a.v[i] = (vorn_host::native_vector)_mm256_shuffle_ps(t0, t2, 0x44);
        b.v[i] = (vorn_host::native_vector)_mm256_shuffle_ps(t0, t2, 0xEE);
        c.v[i] = (vorn_host::native_vector)_mm256_shuffle_ps(t1, t3, 0x44);
        d.v[i] = (vorn_host::native_vector)_mm256_shuffle_ps(t1, t3, 0xEE);
    }
#else
    float va[GPU_LANES], vb[GPU_LANES], vc[GPU_LANES], vd[GPU_LANES];
    for (unsigned int l = 0; l < GPU_LANES; ++l) {
        va[l] = p[k[l]];
        vb[l] = p[k[l] + 1];
        vc[l] = p[k[l] + 2];
        vd[l] = p[k[l] + 3];
    }
    a = gpu_lanes_load(va);
    b = gpu_lanes_load(vb);
    c = gpu_lanes_load(vc);
    d = gpu_lanes_load(vd);
#endif
}

// Lane l's a, b, c and d to p[l * stride .. l * stride + 4): four values a lane
// as records, one 4 x 4 transpose per 4 lanes where the build has SSE.
__attribute__((always_inline)) inline void gpu_lanes_store_quads(float* p, unsigned int stride, const gpu_lanes_f& a,
                                                                 const gpu_lanes_f& b, const gpu_lanes_f& c,
                                                                 const gpu_lanes_f& d) {
#if defined(__AVX__)
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) {
        const __m256 t0 = _mm256_unpacklo_ps((__m256)a.v[i], (__m256)b.v[i]);  // a0 b0 a1 b1 | a4 b4 a5 b5
        const __m256 t1 = _mm256_unpackhi_ps((__m256)a.v[i], (__m256)b.v[i]);  // a2 b2 a3 b3 | a6 b6 a7 b7
        const __m256 t2 = _mm256_unpacklo_ps((__m256)c.v[i], (__m256)d.v[i]);
        const __m256 t3 = _mm256_unpackhi_ps((__m256)c.v[i], (__m256)d.v[i]);
        const __m256 r[4] = {_mm256_shuffle_ps(t0, t2, 0x44), _mm256_shuffle_ps(t0, t2, 0xEE),
                             _mm256_shuffle_ps(t1, t3, 0x44), _mm256_shuffle_ps(t1, t3, 0xEE)};
        float* q = p + (size_t)(8 * i) * stride;
        for (unsigned int l = 0; l < 4; ++l) {
            _mm_storeu_ps(q + (size_t)l * stride, _mm256_castps256_ps128(r[l]));
            _mm_storeu_ps(q + (size_t)(l + 4) * stride, _mm256_extractf128_ps(r[l], 1));
        }
    }
#elif defined(__SSE__)
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) {
        const __m128 t0 = _mm_unpacklo_ps((__m128)a.v[i], (__m128)b.v[i]);  // a0 b0 a1 b1
        const __m128 t1 = _mm_unpackhi_ps((__m128)a.v[i], (__m128)b.v[i]);  // a2 b2 a3 b3
        const __m128 t2 = _mm_unpacklo_ps((__m128)c.v[i], (__m128)d.v[i]);
        const __m128 t3 = _mm_unpackhi_ps((__m128)c.v[i], (__m128)d.v[i]);
        float* q = p + (size_t)(4 * i) * stride;
        _mm_storeu_ps(q, _mm_movelh_ps(t0, t2));
        _mm_storeu_ps(q + stride, _mm_movehl_ps(t2, t0));
        _mm_storeu_ps(q + (size_t)2 * stride, _mm_movelh_ps(t1, t3));
        _mm_storeu_ps(q + (size_t)3 * stride, _mm_movehl_ps(t3, t1));
    }
#else
    for (unsigned int l = 0; l < GPU_LANES; ++l) {
        float* q = p + (size_t)l * stride;
        q[0] = a.lane(l);
        q[1] = b.lane(l);
        q[2] = c.lane(l);
        q[3] = d.lane(l);
    }
#endif
}

// Four floats as one SSE register, added elementwise: a record of gpu_lanes_store_quads.
typedef float gpu_quad __attribute__((vector_size(16), aligned(4), may_alias));
__attribute__((always_inline)) inline gpu_quad gpu_quad_load(const float* p) {
    return *reinterpret_cast<const gpu_quad*>(p);
}
__attribute__((always_inline)) inline void gpu_quad_store(float* p, const gpu_quad& q) {
    *reinterpret_cast<gpu_quad*>(p) = q;
}

// One native-vector function applied to every vector of the group.
template <class F> __attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_map(const gpu_lanes_f& a, F f) {
    gpu_lanes_f r;
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) r.v[i] = f(a.v[i]);
    return r;
}

__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_fabs(const gpu_lanes_f& a) {
    return gpu_lanes_map(a, vorn_host::vfabs);
}
__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_floor(const gpu_lanes_f& a) {
    return gpu_lanes_map(a, vorn_host::vfloor);
}
__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_exp(const gpu_lanes_f& a) {
    return gpu_lanes_map(a, vorn_host::vexp);
}

// Lanes beyond the reduction's range (rare: phases of thousands of radians) take libm's values.
__attribute__((always_inline)) inline void gpu_lanes_sincos(const gpu_lanes_f& x, gpu_lanes_f& s, gpu_lanes_f& c) {
    vorn_host::native_ivector far{};
    for (unsigned int i = 0; i < gpu_lanes_f::N; ++i) {
        vorn_host::vsincos(x.v[i], s.v[i], c.v[i]);
        far |= vorn_host::vfabs(x.v[i]) > vorn_host::SINCOS_REDUCED_MAX;
    }
    for (unsigned int k = 0; k < gpu_lanes_f::W; ++k)
        if (far[k]) {
            for (unsigned int l = 0; l < GPU_LANES; ++l)
                if (std::fabs(x.lane(l)) > vorn_host::SINCOS_REDUCED_MAX) {
                    s.v[l / gpu_lanes_f::W][l % gpu_lanes_f::W] = std::sin(x.lane(l));
                    c.v[l / gpu_lanes_f::W][l % gpu_lanes_f::W] = std::cos(x.lane(l));
                }
            return;
        }
}
__attribute__((always_inline)) inline gpu_lanes_f gpu_lanes_sin(const gpu_lanes_f& x) {
    gpu_lanes_f s, c;
    gpu_lanes_sincos(x, s, c);
    return s;
}
