// Least-squares fits of straight lines and polynomials to (x, y) samples, the
// dense solver behind the polynomial fit, and evaluation of a polynomial.
// Polynomial coefficients are ascending: c[0] + c[1]·x + ... + c[m]·x^m.
#pragma once
#include <vector>

#include "gpu.h"

// y ≈ a·x + b from the double means, Σx² and Σx·y; an all-equal x gives what
// the division gives. Instances (T, R): (float, float), (int, float),
// (unsigned, float), (float, double), (double, double), (unsigned, double).
template <class T, class R>
void smp_line_fit(const T* x, const T* y, int n, R& a, R& b);
// The pairs (x first) are converted to float, then fitted as smp_line_fit<float, R>.
// P: float2, double2, int2 or uint2; R: float or double.
template <class P, class R>
void smp_line_fit2(const std::vector<P>& pairs, R& a, R& b);

// Polynomial of order m (m + 1 coefficients into c) through the normal equations.
void smp_poly_fit(const double* x, const double* y, int n, double* c, int m);
// The same with every sum and every step of the solve in T (float or double).
template <class T>
void smp_poly_fit2(const T* x, const T* y, int n, T* c, int m);
void smp_poly_fit3(const std::vector<float2>& pairs, double* c, int m);
void smp_poly_fit3(const std::vector<float2>& pairs, float* c, int m);
// c is replaced by the m + 1 coefficients (fitted in float).
void smp_poly_fit3(const std::vector<float2>& pairs, std::vector<float>& c, int m);
// y[i] = polynomial at x[i] by Horner's rule, carried in double; T float or double.
template <class T>
void smp_poly_get2(const T* x, T* y, int n, const T* c, int m);

// Solves A·out = b for a dense row-major n × n A by elimination with partial
// pivoting; A and b are overwritten. A singular A gives infinities or NaNs.
void smp_gauss_solve(int n, double* A, double* out, double* b);

// Diagnostic: fits a line, stores its angle (radians) and prints each point
// turned by minus that angle about the points' centroid ("%f %f \n"), so that
// the fitted line lies level. The last two arguments are not used.
void rot_poly_fit(double* x, double* y, int n, double& angle, double* c, int m);
