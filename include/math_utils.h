// Host array mathematics: reductions, extrema, peaks, R-factors, elementwise
// arithmetic, masked statistics and normalisation of arrays in host memory.
//
// An array is a pointer and an unsigned long count n. Every sum runs over the
// elements in index order in one double accumulator; a float element enters it
// widened to double, and where a product or square is called "single" it is
// formed in float first. A name with an f after its stem computes exactly as its
// twin and returns the result as float. Means, variances and deviations over n
// are NaN for n = 0; the sample forms divide by (double)(n - 1) on the unsigned
// count. The extrema of an empty array read nothing: index 0, value 0.
#pragma once

// ---- single-array reductions ----
double hm_sum(const float* x, unsigned long n);
double hm_sum(const double* x, unsigned long n);
float hm_sumf(const float* x, unsigned long n);
double hm_mean(const float* x, unsigned long n);
double hm_mean(const double* x, unsigned long n);
float hm_meanf(const float* x, unsigned long n);
double hm_sum_sqr(const float* x, unsigned long n);  // squares single
float hm_sum_sqrf(const float* x, unsigned long n);
double hm_sqr_sum(const float* x, unsigned long n);  // (sum)^2 in double
float hm_sqr_sumf(const float* x, unsigned long n);
double hm_mod(const float* x, unsigned long n);
float hm_modf(const float* x, unsigned long n);  // sqrtf of the sum converted to float
double hm_l1_norm(const float* x, unsigned long n);
float hm_l1_normf(const float* x, unsigned long n);
double hm_l2_norm(const float* x, unsigned long n);
float hm_l2_normf(const float* x, unsigned long n);
double hm_lp_norm(const float* x, unsigned long n, float p);
float hm_lp_normf(const float* x, unsigned long n, float p);
double hm_linfi_norm(const float* x, unsigned long n);  // 0 for n = 0
float hm_linfi_normf(const float* x, unsigned long n);
double hm_variance(const float* x, unsigned long n);
float hm_variancef(const float* x, unsigned long n);
double hm_svariance(const float* x, unsigned long n);
float hm_svariancef(const float* x, unsigned long n);
double hm_stdv(const float* x, unsigned long n);
float hm_stdvf(const float* x, unsigned long n);  // sqrtf of the variance converted to float
double hm_sstdv(const float* x, unsigned long n);
float hm_sstdvf(const float* x, unsigned long n);

// ---- combined moments ----
void hm_mean_stdv(const float* x, unsigned long n, double& mean, double& stdv);
void hm_mean_stdvf(const float* x, unsigned long n, float& mean, float& stdv);
void hm_mean_stdv_max_minf(const float* x, unsigned long n, float& mean, float& stdv, float& max, float& min);
// Folds sample x into the population mean and deviation of n samples; returns the new mean.
double hm_update_mean_stdv_by_one_more(float& mean, float& stdv, unsigned long n, float x);

// ---- two-array reductions ----
double hm_dot(const float* a, const float* b, unsigned long n);
float hm_dotf(const float* a, const float* b, unsigned long n);
double hm_dot_withmask(const float* a, const float* b, const float* m, unsigned long n);
float hm_dotf_withmask(const float* a, const float* b, const float* m, unsigned long n);  // float accumulator
double hm_dot_weighted(const float* a, const float* b, const float* w, unsigned long n);
float hm_dotf_weighted(const float* a, const float* b, const float* w, unsigned long n);
double hm_covariance(const float* a, const float* b, unsigned long n);  // not divided by n
float hm_covariancef(const float* a, const float* b, unsigned long n);
float hm_ccc_norm(const float* a, const float* b, unsigned long n);  // no mean removed
// R-factors; a is the reference.
double Rfactor_linear_all_ave(const float* a, const float* b, unsigned long n);
double Rfactor_square_all_ave(const float* a, const float* b, unsigned long n);
double Rfactor_linear_each_ave(const float* a, const float* b, unsigned long n);
double Rfactor_square_each_ave(const float* a, const float* b, unsigned long n);

// ---- extrema: first largest / first smallest ----
float hm_max_value(const float* x, unsigned long n);
float hm_min_value(const float* x, unsigned long n);
unsigned long hm_max_index(const float* x, unsigned long n);
unsigned long hm_min_index(const float* x, unsigned long n);
void hm_max_min_value(const float* x, unsigned long n, float& max, float& min);
void hm_min_max_value(const float* x, unsigned long n, float& min, float& max);
void hm_max_min_index(const float* x, unsigned long n, unsigned long& imax, unsigned long& imin);
void hm_min_max_index(const float* x, unsigned long n, unsigned long& imin, unsigned long& imax);
void hm_max_min_mean(const float* x, unsigned long n, float& max, float& min, float& mean);
void hm_max_min_mean_value(const float* x, unsigned long n, float& max, float& min, float& mean);
void hm_min_max_mean(const float* x, unsigned long n, float& min, float& max, float& mean);
void hm_min_max_mean_value(const float* x, unsigned long n, float& min, float& max, float& mean);
void hm_max_min_value_and_index(const float* x, unsigned long n, float& max, float& min, unsigned long& imax,
                                unsigned long& imin);
void hm_min_max_value_and_index(const float* x, unsigned long n, float& min, float& max, unsigned long& imin,
                                unsigned long& imax);
void hm_max_value_and_index(const float* x, unsigned long n, float& max, unsigned long& imax);
void hm_min_value_and_index(const float* x, unsigned long n, float& min, unsigned long& imin);

// ---- peaks (mask entry nonzero: still available) ----
unsigned long peak_index_masked(const float* v, const int* mask, unsigned long n);  // n when none is left
void peak_make_mask(const float* v, int* mask, unsigned long n, unsigned long k);
void peak_indices(const float* v, unsigned long n, unsigned long* idx, unsigned long k);

// ---- typed reductions: every element widened to double, products in double ----
// Instantiated for double, float, long, int, short, char, unsigned long,
// unsigned int, unsigned short and unsigned char (char taken as signed).
template <class T> double thm_sum(const T* x, unsigned long n);
template <class T> double thm_mean(const T* x, unsigned long n);
template <class T> double thm_sum_sqr(const T* x, unsigned long n);
template <class T> double thm_dot(const T* a, const T* b, unsigned long n);

// ---- elementwise, one array and scalars: (dst, src, n, ...) and (x, n, ...) ----
void hm_add(float* dst, const float* src, unsigned long n, float k);
void hm_add_inplace(float* x, unsigned long n, float k);
void hm_sub(float* dst, const float* src, unsigned long n, float k);
void hm_sub_inplace(float* x, unsigned long n, float k);
void hm_multi(float* dst, const float* src, unsigned long n, float k);
void hm_multi_inplace(float* x, unsigned long n, float k);
void hm_divide(float* dst, const float* src, unsigned long n, float k);
void hm_divide_inplace(float* x, unsigned long n, float k);  // multiplies by 1/k
void hm_sub_sqr(float* dst, const float* src, unsigned long n, float k);
void hm_sub_sqr_inplace(float* x, unsigned long n, float k);
void hm_multi_add(float* dst, const float* src, unsigned long n, float a, float b);
void hm_multi_add_inplace(float* x, unsigned long n, float a, float b);
void hm_linear_norm_kb(float* dst, const float* src, unsigned long n, float k, float b);
void hm_linear_norm_kb_inplace(float* x, unsigned long n, float k, float b);
void hm_add_multi(float* dst, const float* src, unsigned long n, float a, float b);
void hm_add_multi_inplace(float* x, unsigned long n, float a, float b);
void hm_divide_sub(float* dst, const float* src, unsigned long n, float a, float b);
void hm_divide_sub_inplace(float* x, unsigned long n, float a, float b);
void hm_sub_divide(float* dst, const float* src, unsigned long n, float a, float b);
void hm_sub_divide_inplace(float* x, unsigned long n, float a, float b);
void hm_invert(float* dst, const float* src, unsigned long n);  // negation
void hm_invert_inplace(float* x, unsigned long n);
void hm_sqr(float* dst, const float* src, unsigned long n);
void hm_sqr_inplace(float* x, unsigned long n);
void hm_sqrtf(float* dst, const float* src, unsigned long n);
void hm_sqrtf_inplace(float* x, unsigned long n);
void hm_logf(float* dst, const float* src, unsigned long n);
void hm_logf_inplace(float* x, unsigned long n);
void hm_fabsf(float* dst, const float* src, unsigned long n);
void hm_tanhf(float* dst, const float* src, unsigned long n);
// Soft clip: b maps to b, the output stays within 2.16 |b|.
void hm_sig_tanhf(float* dst, const float* src, unsigned long n, float b);
// The soft clip with the threshold at the population deviation of src.
void hm_auto_sig_tanhf(float* dst, const float* src, unsigned long n);
void hm_submean(float* dst, const float* src, unsigned long n);
void hm_submean_inplace(float* x, unsigned long n);
void hm_submean_sqr(float* dst, const float* src, unsigned long n);
void hm_submean_sqr_inplace(float* x, unsigned long n);
void hm_submean_abs(float* dst, const float* src, unsigned long n);
void hm_submean_abs_inplace(float* x, unsigned long n);

// ---- elementwise, two arrays: (dst, a, b, n) and (x, y, n) writing x op y ----
void hm_x1d_add(float* dst, const float* a, const float* b, unsigned long n);
void hm_x1d_add_inplace(float* x, const float* y, unsigned long n);
void hm_x1d_sub(float* dst, const float* a, const float* b, unsigned long n);
void hm_x1d_sub_inplace(float* x, const float* y, unsigned long n);
void hm_x1d_multi(float* dst, const float* a, const float* b, unsigned long n);
void hm_x1d_multi_inplace(float* x, const float* y, unsigned long n);
void hm_x1d_divide(float* dst, const float* a, const float* b, unsigned long n);
void hm_x1d_divide_inplace(float* x, const float* y, unsigned long n);
void hm_appply_mask(float* dst, const float* src, const float* mask, unsigned long n);
void hm_apply_mask_inplace(float* x, const float* mask, unsigned long n);
void hm_appply_weights(float* dst, const float* src, const float* w, unsigned long n);
void hm_apply_weights(float* dst, const float* src, const float* w, unsigned long n);
void hm_apply_weights_inplace(float* x, const float* w, unsigned long n);

// dst = (T)a - (T)b in T; T, A, B each float or double.
template <class T, class A, class B> void thm_x1d_sub(T* dst, const A* a, const B* b, unsigned long n);
// x = x - (T)y in T; (T, B) = (float, float), (double, double), (double, float), (float, double).
template <class T, class B> void thm_x1d_sub_inplace(T* x, const B* y, unsigned long n);

// ---- masked statistics: the mask sum S is checked, a sum below 1e-6 warns ----
double hm_sum_check0(const float* mask, unsigned long n);
float hm_sumf_check0(const float* mask, unsigned long n);
double hm_sum_weighted(const float* x, const float* w, unsigned long n);  // no check
double hm_sum_withmask(const float* x, const float* m, unsigned long n);
float hm_sumf_weighted(const float* x, const float* w, unsigned long n);
float hm_sumf_withmask(const float* x, const float* m, unsigned long n);
double hm_mean_weighted(const float* x, const float* w, unsigned long n);
double hm_mean_withmask(const float* x, const float* m, unsigned long n);
float hm_meanf_weighted(const float* x, const float* w, unsigned long n);
float hm_meanf_withmask(const float* x, const float* m, unsigned long n);

// ---- normalisation to deviation a and mean b (population deviation) ----
void hm_normz(float* dst, const float* src, unsigned long n, float a, float b);
void hm_normz_inplace(float* x, unsigned long n, float a, float b);
void cpu_znorm_inplace(float* x, unsigned long n, float a, float b);  // in single precision

// Mean and deviation measured under the mask m; the applymask forms multiply
// the written elements by m afterwards.
void hm_normz_withmask(float* dst, const float* src, const float* m, unsigned long n, float a, float b);
void hm_normz_withmask_inplace(float* x, const float* m, unsigned long n, float a, float b);
void hm_normz_withmask_applymask(float* dst, const float* src, const float* m, unsigned long n, float a, float b);
void hm_normz_withmask_applymask_inplace(float* x, const float* m, unsigned long n, float a, float b);
void hm_normz_stdv_withmask(float* dst, const float* src, const float* m, unsigned long n, float a);
void hm_normz_stdv_withmask_inplace(float* x, const float* m, unsigned long n, float a);
void hm_normz_stdv_withmask_applymask(float* dst, const float* src, const float* m, unsigned long n, float a);
void hm_normz_mean_withmask(float* dst, const float* src, const float* m, unsigned long n, float b);
// Full normalisation, as hm_normz_withmask_inplace.
void hm_normz_mean_withmask_inplace(float* x, const float* m, unsigned long n, float a, float b);
void hm_normz_weighted_inplace(float* x, const float* w, unsigned long n);  // to mean 0, deviation 1

// Correlation coefficient of the two arrays after normalising each to mean 0,
// deviation 1; the plain form works on copies, the in-place form leaves both normalised.
float hm_ccc_znorm(const float* a, const float* b, unsigned long n);
float hm_ccc_znorm_inplace(float* a, float* b, unsigned long n);
