// Device maths the kernels call, as plain host functions.
#pragma once
#include <cmath>
#include <cstdio>
#include "host_types.h"

using std::fmaf;
inline float __expf(float x) { return expf(x); }
inline float __logf(float x) { return logf(x); }
inline float __sinf(float x) { return sinf(x); }
inline float __cosf(float x) { return cosf(x); }
inline float __powf(float x, float y) { return powf(x, y); }
inline float __fdividef(float x, float y) { return x / y; }
inline float rsqrtf(float x) { return 1.0f / sqrtf(x); }
inline double rsqrt(double x) { return 1.0 / sqrt(x); }
inline float __saturatef(float x) { return x < 0.0f ? 0.0f : (x > 1.0f ? 1.0f : x); }
inline int __float2int_rn(float x) { return (int)nearbyintf(x); }
inline int __float2int_rz(float x) { return (int)x; }
template <class T> inline T __ldg(const T* p) { return *p; }

// min/max overloads of the device library (mixed signedness promotes to unsigned).
inline int min(int a, int b) { return a < b ? a : b; }
inline int max(int a, int b) { return a > b ? a : b; }
inline unsigned int min(unsigned int a, unsigned int b) { return a < b ? a : b; }
inline unsigned int max(unsigned int a, unsigned int b) { return a > b ? a : b; }
inline unsigned int min(int a, unsigned int b) { return min((unsigned int)a, b); }
inline unsigned int max(int a, unsigned int b) { return max((unsigned int)a, b); }
inline unsigned int min(unsigned int a, int b) { return min(a, (unsigned int)b); }
inline unsigned int max(unsigned int a, int b) { return max(a, (unsigned int)b); }
inline long long min(long long a, long long b) { return a < b ? a : b; }
inline long long max(long long a, long long b) { return a > b ? a : b; }
inline unsigned long long min(unsigned long long a, unsigned long long b) { return a < b ? a : b; }
inline unsigned long long max(unsigned long long a, unsigned long long b) { return a > b ? a : b; }
inline float min(float a, float b) { return fminf(a, b); }
inline float max(float a, float b) { return fmaxf(a, b); }
inline double min(double a, double b) { return fmin(a, b); }
inline double max(double a, double b) { return fmax(a, b); }

// Atomics: blocks run in parallel on the host, so these must be real atomics.
inline int atomicAdd(int* a, int v) { return __atomic_fetch_add(a, v, __ATOMIC_RELAXED); }
inline unsigned int atomicAdd(unsigned int* a, unsigned int v) { return __atomic_fetch_add(a, v, __ATOMIC_RELAXED); }
inline unsigned long long atomicAdd(unsigned long long* a, unsigned long long v) {
    return __atomic_fetch_add(a, v, __ATOMIC_RELAXED);
}
template <class F> inline F host_atomic_add_float(F* a, F v) {
    F old;
    __atomic_load(a, &old, __ATOMIC_RELAXED);
    F next = old + v;
    while (!__atomic_compare_exchange(a, &old, &next, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) next = old + v;
    return old;
}
inline float atomicAdd(float* a, float v) { return host_atomic_add_float(a, v); }
inline double atomicAdd(double* a, double v) { return host_atomic_add_float(a, v); }
inline int atomicExch(int* a, int v) { return __atomic_exchange_n(a, v, __ATOMIC_RELAXED); }
inline unsigned int atomicExch(unsigned int* a, unsigned int v) { return __atomic_exchange_n(a, v, __ATOMIC_RELAXED); }
inline float atomicExch(float* a, float v) {
    float old;
    __atomic_exchange(a, &v, &old, __ATOMIC_RELAXED);
    return old;
}
inline int atomicMax(int* a, int v) {
    int old = __atomic_load_n(a, __ATOMIC_RELAXED);
    while (old < v && !__atomic_compare_exchange_n(a, &old, v, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {}
    return old;
}
inline int atomicMin(int* a, int v) {
    int old = __atomic_load_n(a, __ATOMIC_RELAXED);
    while (old > v && !__atomic_compare_exchange_n(a, &old, v, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {}
    return old;
}
