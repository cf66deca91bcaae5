#define VORN_UNIT "src/refinement_core"
#include "refinement_core.h"

void mspx_refine_lmm_c(float (*f)(float), RF1DXC& s, float jitter) {
    const float x0 = s.x[0], x1 = s.x[1], F0 = s.F[0];
    const int r = rand();
    const float xr = (float)((double)(x0 + x0 - x1) + (double)jitter * (r * RF_RAND_SCALE) / 3.0);
    const float F1 = f(x1);  // only steers the contraction
    const float Fr = f(xr);
    if (Fr > F0) {
        const float xe = (float)(x0 * 3.0 - (x1 + x1));
        const float Fe = f(xe);
        const float xn = Fe > Fr ? xe : xr, Fn = Fe > Fr ? Fe : Fr;
        s = RF1DXC{{xn, x0, xn, xe}, {Fn, F0, Fn, Fe}};
        return;
    }
    const float xc = (float)(Fr > F1 ? (xr + x0) * 0.5 : (x1 + x0) * 0.5);
    const float Fc = f(xc);
    const float x3 = s.x[3], F3 = s.F[3];
    if (Fc > F0)
        s = RF1DXC{{xc, x0, xr, x3}, {Fc, F0, Fr, F3}};
    else
        s = RF1DXC{{x0, xc, xr, x3}, {F0, Fc, Fr, F3}};
}
