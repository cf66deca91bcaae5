// One step of a jittered one-dimensional simplex maximiser: a jittered
// reflection of the second point through the best, then an expansion or a
// contraction. The caller owns the loop and stops when a step changes nothing.
#pragma once
#include <cmath>
#include <cstdlib>
#include <ctime>

// Line-search state: best point x, second point x + dx, smallest step tol
// (its sign also sets the side of the jitter), objective value fval at x.
struct RF_MSPX_1D {
    float x;
    float dx;
    float tol;
    float fval;
};

// Best point x[0], second point x[1], last trial x[2], last expansion x[3];
// F[k] is the objective value at x[k].
struct RF1DXC {
    float x[4];
    float F[4];
};

// 2^-31: scales rand() into [0, 1).
constexpr double RF_RAND_SCALE = 4.656612873077393e-10;

// One maximising step on the member objective (obj->*f). Does nothing once
// |tol| > |dx|; otherwise evaluates the objective four times and writes x, dx
// and fval (tol is kept). Reseeds rand() at every step: from the clock, or
// from seed when it is not negative (reproducible runs).
template <class T>
void mspx_refine_lmm(T* obj, float (T::*f)(float), RF_MSPX_1D& s, float jitter, long seed = -1) {
    if (std::fabs(s.tol) > std::fabs(s.dx)) return;
    srand(seed >= 0 ? (unsigned)seed : (unsigned)time(nullptr));
    const float x0 = s.x;
    const float x1 = x0 + s.dx;
    const int r = rand();
    const float xr = (float)((double)(x0 + x0 - x1) + r * RF_RAND_SCALE * (double)(jitter * s.tol));
    const float F0 = (obj->*f)(x0);
    const float F1 = (obj->*f)(x1);
    const float Fr = (obj->*f)(xr);
    // Ties keep x0 as the best.
    const bool second_better = F1 > F0;
    const float xb = second_better ? x1 : x0, Fb = second_better ? F1 : F0;
    const float xa = second_better ? x0 : x1, Fa = second_better ? F0 : F1;
    if (Fr > Fb) {
        const float xe = (float)(xb * 3.0 - (xa + xa));
        const float Fe = (obj->*f)(xe);
        const bool take_e = Fe > Fr;
        s.x = take_e ? xe : xr;
        s.fval = take_e ? Fe : Fr;
        s.dx = xb - s.x;
        return;
    }
    const float xc = (float)(Fr > Fa ? (xr + xb) * 0.5 : (xb + xa) * 0.5);
    const float Fc = (obj->*f)(xc);
    if (Fc > Fb) {
        s.x = xc;
        s.dx = xb - xc;
        s.fval = Fc;
    } else {
        s.x = xb;
        s.dx = xc - xb;
        s.fval = Fb;
    }
}

// One maximising step on a plain function with the four-point record: F[0] is
// trusted as f(x[0]); no convergence test and no reseeding.
void mspx_refine_lmm_c(float (*f)(float), RF1DXC& s, float jitter);
