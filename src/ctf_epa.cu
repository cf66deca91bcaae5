// The estimator's EPA stage: the spectrum reduced to a 1D equiphase average
// along the refined CTF, compared with a simulated |CTF| in sliding windows,
// the resolution limit where that local correlation fades (with the
// "_EPA.log" table), and the B-factor from the decay of the CTF peaks.
#define VORN_UNIT "src/ctf"
#include "ctf.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "curve_fit.h"
#include "gpu_buffers.h"
#include "math_utils.h"
#include "str_utils.h"

namespace {

// The defocus of the x axis, along which the EPA profile lies.
float reference_defocus(float U, float V, float A) {
    const double a = (double)A * 3.141592653589793 / 180.0;
    const float c = (float)std::cos(a), s = (float)std::sin(a);
    return U * c * c + V * s * s;
}

// The simulated |CTF| and phase of n bins along defocus D in the band, on the device.
void simulate_reference(float* d_mod, float* d_phase, int n, float apix, float kV, float Cs, float AC, float P,
                        float D, float resL, float resH) {
    hcuda_ctf_mod_simulate_1d(d_mod, apix, n, P, kV, Cs, AC, D, 0.0f, resL, resH);
    if (d_phase != nullptr) hcuda_ctf_phase_simulate_1d(d_phase, apix, n, P, kV, Cs, AC, D, 0.0f, resL, resH);
}

// The bin 2 n apix / res, held within [0, limit]: a limit finer than the table's
// end (a first zero far out, on a tiny defocus) must not overflow the index.
int epa_bin_of(int n, float apix, float res, int limit) {
    const float i = std::floor(2.0f * (float)n * apix / res);
    return i >= 0.0f ? (i < (float)limit ? (int)i : limit) : 0;
}

EpaWindows windows_of(int n, float apix, int nmin, int nmax, float low, float resH) {
    EpaWindows w;
    w.nmin = nmin;
    w.nmax = nmax;
    w.i_start = epa_bin_of(n, apix, low, n);
    // The high limit never passes the last bin.
    w.i_end = epa_bin_of(n, apix, resH, n - 1);
    return w;
}

// Slope k of value = k x + d through the points; false when it is not a number.
bool line_slope(const std::vector<float2>& points, float& k) {
    float d = 0.0f;
    smp_line_fit2(points, k, d);
    return std::isfinite(k);
}

}  // namespace

// ================= pieces shared by both resolution searches =================

float epa_first_zero_frequency(float kV, float Cs, float AC, float P, float D) {
    const float T = CTF_PI_F - std::asin(AC) - P * CTF_PI_F / 180.0f;
    if (T < 0.0f) return 0.0f;
    const float lambda = ctf_wavelength(kV);
    const float s1 = ctf_phase_frequency(ctf_a2(lambda, D), ctf_a4(lambda, Cs), T, Cs);
    return std::isfinite(s1) && s1 > 0.0f ? s1 : 0.0f;
}

void epa_local_ccc(float* c, const float* epa, const float* sim, int n, const EpaWindows& w) {
    const int first = w.nmax / 2 + w.i_start, last = w.i_end - w.nmin - 1;
    for (int i = 0; i < n; ++i) c[i] = i < first ? 1.0f : 0.0f;
    for (int i = first; i <= last && i < n; ++i) {
        const int len = (int)std::floor((float)(i - w.i_start) * (float)(w.nmin - w.nmax) /
                                            (float)(w.i_end - w.nmin - w.i_start) +
                                        (float)w.nmax);
        const int start = i - len / 2;
        if (len < 2 || start < 0 || start + len > n) continue;
        const float r = hm_ccc_znorm(epa + start, sim + start, (unsigned long)len);
        // A flat window has no correlation; it counts as none.
        c[i] = (std::isfinite(r) && r >= -1.0f && r <= 1.0f) ? r : 0.0f;
    }
}

void epa_smooth_ccc(float* smoothed, const float* c, int n, const EpaWindows& w) {
    std::memcpy(smoothed, c, (size_t)n * sizeof(float));
    if (!(w.i_start + 1 < w.i_end - 30 && w.i_start + 1 < w.i_end - w.nmin - 10)) return;
    float g[20], gsum = 0.0f;
    for (int o = -10; o < 10; ++o) gsum += g[o + 10] = std::exp(-(float)(o * o) / 88.888885f);
    const int last = std::min(w.i_end - 31, w.i_end - w.nmin - 11);
    // The taps reach ten bins back: rows closer to the origin keep their value.
    for (int i = std::max(w.i_start + 1, 10); i <= last && i + 9 < n; ++i) {
        float s = 0.0f;
        for (int o = -10; o < 10; ++o) s += g[o + 10] * c[i + o];
        smoothed[i] = s / gsum;
    }
}

float epa_resolution_limit(const float* smoothed, int n, float apix, const EpaWindows& w, float cc, float res_max,
                           bool& found) {
    found = false;
    float res = 0.0f;
    for (int i = epa_first_row(w); i <= epa_last_row(w) && i < n; ++i) {
        if (i <= 0) continue;
        res = epa_row_resolution(i, n, apix);
        if (smoothed[i] < cc && res < res_max) {
            found = true;
            return res;
        }
    }
    return res;
}

float epa_bfactor_from_points(const std::vector<float2>& points, const char* func) {
    float k = 0.0f;
    if (points.size() < 3) {
        vorn_warning_line(func, VORN_UNIT, __LINE__, "Bfactor estimation failed due to too few CTF peaks\n!\n\033[m");
        return 0.0f;
    }
    if (!line_slope(points, k)) {
        vorn_warning_line(func, VORN_UNIT, __LINE__, "Bfactor estimation failed: the CTF peaks give no slope\n\033[m");
        return 0.0f;
    }
    return -4.0f * k + 0.0f;  // + 0 turns -0 into 0
}

// ================= the estimator's stage =================

int VORN_A::vorn_allocate_epa_data() {
    const VORN_Para& p = *para;
    epa_n = (box_nxh - 1) * p.EPA_oversmp + 1;
    const size_t n = (size_t)epa_n;
    for (float** d : {&d_epa_sim, &d_epa_phase, &d_epa_spec, &d_epa_log}) *d = device_buffer<float>(GPU_SITE, n);
    for (float** h : {&h_epa_sim, &h_epa_phase, &h_epa_spec, &h_epa_log, &h_epa_log_bg, &h_epa_ccc, &h_epa_ccc_s})
        *h = host_array<float>(n);
    h_epa_bg = host_array<double>(n);
    h_epa_x = host_array<double>(n);
    for (size_t i = 0; i < n; ++i) h_epa_x[i] = (double)i;
    h_epa_bg_coef = host_array<double>((size_t)(p.EPA_bg_pn > 0 ? p.EPA_bg_pn : 0) + 1);
    epa_log_name = host_array<char>(VORN_NAME_LEN);
    return 0;
}

int VORN_A::vorn_free_epa_data() {
    for (float** d : {&d_epa_sim, &d_epa_phase, &d_epa_spec, &d_epa_log}) free_device(*d);
    for (float** h : {&h_epa_sim, &h_epa_phase, &h_epa_spec, &h_epa_log, &h_epa_log_bg, &h_epa_ccc, &h_epa_ccc_s})
        free_host(*h);
    for (double** h : {&h_epa_bg, &h_epa_x, &h_epa_bg_coef}) free_host(*h);
    free_host(epa_log_name);
    epa_n = 0;
    return 0;
}

namespace {

// The polynomial background of the log EPA through its values at the CTF
// zeros. Zeros without a finite value are left out, and the order comes down
// to what the zeros can fix; with no zero at all the background is 0.
void fit_log_background(std::vector<float2>& zeros, int order, const double* x, double* bg, double* coef, int n) {
    std::vector<float2> kept;
    for (const float2& z : zeros)
        if (std::isfinite(z.y)) kept.push_back(z);
    int m = std::min(order, (int)kept.size() - 1);
    for (; m >= 0; --m) {
        smp_poly_fit3(kept, coef, m);
        smp_poly_get2<double>(x, bg, n, coef, m);
        bool finite = true;
        for (int i = 0; i < n && finite; ++i) finite = std::isfinite(bg[i]);
        if (finite) break;
    }
    if (m < 0) {
        VORN_WARNING("the EPA background has no usable CTF zero: taken as 0\n\033[m");
        for (int i = 0; i < n; ++i) bg[i] = 0.0;
    } else if (m < order) {
        VORN_WARNING("the EPA background has %d usable CTF zeros: fitted with order %d instead of %d\n\033[m",
                     (int)kept.size(), m, order);
    }
}

// A spectrum without contrast (a blank frame) has log amplitudes that are not
// numbers; its averages count as 0, so the table and the fits stay numbers.
void zero_non_numbers(float* v, int n, const char* what, const char* mic) {
    int bad = 0;
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) {
            v[i] = 0.0f;
            ++bad;
        }
    if (bad > 0)
        VORN_WARNING("%d values of the %s of micrograph %s are not numbers: taken as 0\n\033[m", bad, what, mic);
}

}  // namespace

int VORN_A::vorn_epa_1d_ccf_B_estimation() {
    const VORN_Para& p = *para;
    const int W = box_nxh, n = epa_n;
    const float U = ref_defU, V = ref_defV, A = ref_defA, P = ref_ps;
    const float D = reference_defocus(U, V, A);
    const float s1 = epa_first_zero_frequency(p.kV, p.cs, p.ac, P, D);
    if (s1 == 0.0f && std::asin(p.ac) + P * CTF_PI_F / 180.0f <= CTF_PI_F)
        VORN_WARNING("no first CTF zero for defocus %f: the resolution search starts at %f A\n\033[m", D, p.EPA_resL);

    simulate_reference(d_epa_sim, d_epa_phase, n, p.apix, p.kV, p.cs, p.ac, P, D, p.EPA_resL, p.EPA_resH);
    copy_to_host(GPU_SITE, h_epa_sim, d_epa_sim, (size_t)n);
    copy_to_host(GPU_SITE, h_epa_phase, d_epa_phase, (size_t)n);
    // Both profiles follow the same contours: one walk samples the two spectra.
    hcuda_2dh_X_EPA_res_pair(d_epa_spec, d_epa_log, p.EPA_oversmp, d_spec, d_logamp, W, box_ny, p.apix, p.kV, p.cs,
                             p.ac, P, U, V, A, p.EPA_resL, p.EPA_resH);
    copy_to_host(GPU_SITE, h_epa_spec, d_epa_spec, (size_t)n);
    copy_to_host(GPU_SITE, h_epa_log, d_epa_log, (size_t)n);
    zero_non_numbers(h_epa_spec, n, "EPA of the spectrum", mic_name);
    zero_non_numbers(h_epa_log, n, "EPA of the log amplitude", mic_name);

    cpu_ctf_1dh_get_all_zp_res(epa_zeros, h_epa_log, n, p.apix, p.kV, p.cs, p.ac, P, D, p.EPA_resL, p.EPA_resH, 1);
    fit_log_background(epa_zeros, p.EPA_bg_pn, h_epa_x, h_epa_bg, h_epa_bg_coef, n);
    thm_x1d_sub(h_epa_log_bg, h_epa_log, h_epa_bg, (unsigned long)n);

    const float first_zero_res = s1 > 0.0f ? 1.0f / s1 : p.EPA_resL;
    const EpaWindows w = windows_of(n, p.apix, (int)std::floor((float)W * p.ncc_frac_min),
                                    (int)std::floor(p.ncc_frac_max * (float)W),
                                    first_zero_res < p.EPA_resL ? first_zero_res : p.EPA_resL, p.EPA_resH);
    epa_local_ccc(h_epa_ccc, h_epa_spec, h_epa_sim, n, w);
    epa_smooth_ccc(h_epa_ccc_s, h_epa_ccc, n, w);

    mrcf_set_outname_by_suffix(epa_log_name, mic_name, VORN_EPA_LOG_SUFFIX);
    FILE* table = std::fopen(epa_log_name, "w+");
    if (table == nullptr) vorn_cannot_write(__func__, __LINE__, epa_log_name);
    std::fprintf(table, "  Resolution      |CTFsim|    EPA( Ln|F| )        Bg         EPA(Ln|F| - Bg)    CCC\n");
    for (int i = epa_first_row(w); i <= epa_last_row(w) && i < n; ++i)
        std::fprintf(table, "%12.6f  %12.6f  %12.6f   %12.6f   %12.6f   %12.6f \n", epa_row_resolution(i, n, p.apix),
                     h_epa_sim[i], h_epa_log[i], h_epa_bg[i], h_epa_log_bg[i], h_epa_ccc_s[i]);
    bool found = false;
    res_limit = epa_resolution_limit(h_epa_ccc_s, n, p.apix, w, p.res_lim_cc, p.res_lim_L, found);
    if (epa_last_row(w) < epa_first_row(w))
        VORN_WARNING("the EPA band %f to %f A leaves no room for a resolution search: resolution limit 0\n\033[m",
                     p.EPA_resL, p.EPA_resH);

    std::printf("Resolution limit estimated by EPA: \033[1m %.3f \033[m\n", res_limit);
    if (log_file != nullptr) std::fprintf(log_file, "Resolution limit estimated by EPA: RES_LIMIT %.3f \n", res_limit);
    if (p.estimate_B) est_bfac = vorn_bfac_estimation_from_epa_1d3();
    std::fclose(table);
    return 0;
}

float VORN_A::vorn_bfac_estimation_from_epa_1d3() {
    const VORN_Para& p = *para;
    // The EPA lies along the defocus of the x axis, so its peaks are found
    // there; U alone would misplace them on astigmatic micrographs.
    const float D = reference_defocus(ref_defU, ref_defV, ref_defA);
    cpu_ctf_1dh_get_all_zp_res(epa_peaks, h_epa_log, epa_n, p.apix, p.kV, p.cs, p.ac, ref_ps, D, p.B_resL, p.B_resH,
                               13);
    const float B = epa_bfactor_from_points(epa_peaks, __func__);
    std::printf("Estimated Bfactor: \033[1m %.2f \033[m\n", B);
    if (log_file != nullptr) std::fprintf(log_file, "Estimated Bfactor: B_FACTOR  %.2f \n", B);
    return B;
}

// ================= the phase search's resolution limit =================

int ctf_epa_1d_ccf(float& res, float res_max, float* spectrum, float* spectrum_log, int oversmp, float apix, int W,
                   int H, float kV, float Cs, float AC, float P, float U, float V, float A, float resL, float resH,
                   float, float) {
    (void)spectrum_log;  // only the resolution is wanted: the log EPA feeds nothing here
    const int n = oversmp * (W - 1) + 1;
    const float D = reference_defocus(U, V, A);
    float* d_sim = device_buffer<float>(GPU_SITE, (size_t)n);
    float* d_epa = device_buffer<float>(GPU_SITE, (size_t)n);
    simulate_reference(d_sim, nullptr, n, apix, kV, Cs, AC, P, D, resL, resH);
    hcuda_2dh_X_EPA_res(d_epa, oversmp, spectrum, W, H, apix, kV, Cs, AC, P, U, V, A, resL, resH);
    std::vector<float> sim((size_t)n), epa((size_t)n), c((size_t)n), smoothed((size_t)n);
    copy_to_host(GPU_SITE, sim.data(), d_sim, (size_t)n);
    copy_to_host(GPU_SITE, epa.data(), d_epa, (size_t)n);
    device_release(GPU_SITE, d_sim);
    device_release(GPU_SITE, d_epa);
    const EpaWindows w = windows_of(n, apix, 64 * W / 513, 256 * W / 513, resL, resH);
    epa_local_ccc(c.data(), epa.data(), sim.data(), n, w);
    epa_smooth_ccc(smoothed.data(), c.data(), n, w);
    bool found = false;
    res = epa_resolution_limit(smoothed.data(), n, apix, w, 0.0f, res_max, found);
    return 0;
}

// ================= kept without a caller =================

int VORN_A::vorn_epa_1d_ccf_B_estimation2() {
    vorn_put_rule('-', 127);
    vorn_put_rule('-', 127);
    return 0;
}

int VORN_A::vorn_do_epa_2d() {
    const VORN_Para& p = *para;
    float* d_out = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    hcuda_2dh_EPA(d_out, d_spec, box_nxh, box_ny, p.apix, p.kV, p.cs, p.ac, ref_ps, ref_defU, ref_defV, ref_defA,
                  p.ctfout_resL, p.ctfout_resH);
    copy_to_host(GPU_SITE, h_spec, d_out, (size_t)boxh_n);
    device_release(GPU_SITE, d_out);
    return 0;
}

int VORN_A::vorn_pb2dpbf() {
    const VORN_Para& p = *para;
    const int k = p.EPA_oversmp;
    std::vector<float> bg((size_t)box_nxh);
    for (int i = 0; i < box_nxh; ++i) bg[(size_t)i] = (float)h_epa_bg[(size_t)i * k];
    float* d_bg1d = device_copy_of(GPU_SITE, bg.data(), bg.size());
    float* d_bg2d = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    hcuda_2dh_EPA_from_1d3(d_bg2d, d_bg1d, d_logamp, box_nxh, box_ny, p.apix, p.kV, p.cs, p.ac, ref_ps, ref_defU,
                           ref_defV, ref_defA, p.EPA_resL, p.EPA_resH);
    std::vector<float> logamp((size_t)boxh_n), bg2d((size_t)boxh_n);
    copy_to_host(GPU_SITE, logamp.data(), d_logamp, logamp.size());
    copy_to_host(GPU_SITE, bg2d.data(), d_bg2d, bg2d.size());
    thm_x1d_sub(h_spec, logamp.data(), bg2d.data(), (unsigned long)boxh_n);
    device_release(GPU_SITE, d_bg1d);
    device_release(GPU_SITE, d_bg2d);
    return 0;
}

int ctf_epa_1d_ccf_B_estimation() { return 0; }

namespace {

// Calls at(i, j, order) for every bin i where the phase passes order pi/2
// coming from bin i - 1, j being the nearer of the two bins to that mark.
template <class At>
void for_each_quarter_crossing(const float* phase, int n, At at) {
    const float quarter = CTF_PI_F / 2.0f;
    for (int i = 1; i < n; ++i) {
        const float before = std::floor(phase[i - 1] / quarter), after = std::floor(phase[i] / quarter);
        if (!(after > before)) continue;
        const float mark = after * quarter;
        at(i, std::fabs(phase[i - 1] - mark) < std::fabs(phase[i] - mark) ? i - 1 : i, (long)after);
    }
}

// B = -4 k of the line through the picked (s^2, value) points, 0 when it has no slope.
float bfactor_of(const std::vector<float2>& points) {
    float k = 0.0f;
    return line_slope(points, k) ? -4.0f * k : 0.0f;
}

}  // namespace

float bfac_estimation_from_epa_1d(const float* epa, const float* phase, float apix, int n, float resL, float resH) {
    std::vector<float2> picks;
    for_each_quarter_crossing(phase, n, [&](int i, int j, long order) {
        const float res = (float)(2 * n - 2) * apix / (float)i;
        if (res > resL || res < resH) return;
        const float mark = (float)order * (CTF_PI_F / 2.0f);
        const float rj = (float)(2 * n - 2) * apix / (float)j;
        if (i + 1 < n) std::printf("id res PT  PTdiff %d %f %f %f\n", j, rj, phase[j], phase[j] - mark);
        picks.push_back(make_float2(1.0f / (rj * rj), epa[j]));
    });
    return bfactor_of(picks);
}

float bfac_estimation_from_epa_1d2(const float* epa, float apix, int n, float res1, float res2) {
    const float lo = std::fmin(res1, res2), hi = std::fmax(res1, res2);
    std::vector<float2> points;
    for (int i = 1; i < n; ++i) {
        const float s = (float)i / ((float)(2 * n - 2) * apix);
        if (1.0f / s > hi || 1.0f / s < lo) continue;
        points.push_back(make_float2(s * s, epa[i]));
    }
    return bfactor_of(points);
}

int ctf_scale_raw2sim(const float* raw, int n, float apix, float kV, float Cs, float AC, float P, float D, float resL,
                      float resH) {
    std::vector<float> phase((size_t)n);
    cpu_ctf_sim_1dh_c(phase.data(), (unsigned)n, apix, kV, Cs, AC, P, D, 0.0f, resL, resH, 'P');
    // Bins where the phase passes a multiple of pi/2: odd ones are peaks, even ones troughs.
    std::vector<float2> peaks, troughs;
    for_each_quarter_crossing(phase.data(), n, [&](int i, int j, long order) {
        if (phase[(size_t)i - 1] == 0.0f) return;  // outside the band
        (order % 2 != 0 ? peaks : troughs).push_back(make_float2((float)j, raw[j]));
    });
    float pk = 0.0f, pr = 0.0f, tk = 0.0f, tr = 0.0f;
    if (peaks.size() >= 2) smp_line_fit2(peaks, pk, pr);
    if (troughs.size() >= 2) smp_line_fit2(troughs, tk, tr);
    std::printf("peak_K     peak_R: %f   %f \n", pk, pr);
    std::printf("trough_K trough_R: %f   %f \n\n\n\n", tk, tr);
    for (int i = 1; i < n; ++i)
        std::printf("%12.6f  %12.6f  %12.6f  %12.6f  PEAK\n", (float)(2 * n - 2) * apix / (float)i, pk * i + pr,
                    tk * i + tr, raw[i]);
    return 0;
}
