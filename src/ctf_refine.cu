// The 2D refinement engine: objectives scoring one trial point against the
// spectrum, line refiners (one jittered simplex step on one quantity), the
// angle scan, the refinement cycles, and the final step that wraps the angles,
// normalises the score and reports the "Final Values". The _local twins refine
// a particle's local spectrum with the same loop.
#define VORN_UNIT "src/ctf"
#include "ctf.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "cuda_fast_sum.h"
#include "cuda_general.h"
#include "gpu_buffers.h"
#include "refinement_core.h"
#include "report.h"

namespace {

constexpr float LINE_JITTER = 0.3f;
constexpr int MAX_CYCLES = 100;

// Trial points of the objectives: one quantity replaced, the others kept.
PUVA with_P(PUVA v, float P) { return PUVA{P, v.U, v.V, v.A}; }
PUVA with_A(PUVA v, float A) { return PUVA{v.P, v.U, v.V, A}; }
// Mean m = (U + V)/2 kept, half-difference h = (V - U)/2 set; and the converse.
PUVA with_UVdif(PUVA v, float h) {
    const float m = (v.U + v.V) / 2.0f;
    return PUVA{v.P, m - h, m + h, v.A};
}
PUVA with_UVave(PUVA v, float m) {
    const float h = (v.V - v.U) / 2.0f;
    return PUVA{v.P, m - h, m + h, v.A};
}

float wrap_angle(float A) { return A - 180.0f * std::floor((A + 90.0f) / 180.0f); }
float wrap_phase_shift(float P) { return P - 180.0f * std::floor((P + 10.0f) / 180.0f); }

// One quantity of the record: its two points, the objectives, the tolerance and its switch.
struct LineQuantity {
    float* q1;
    float* q2;
    float (VORN_A::*objective)(float);
    float (VORN_A::*objective_local)(float);
    PUVA (*apply)(PUVA, float);
    float tol;
};

void log_line_state(VORN_A& a, const CTF_2DR_Para& rp) {
    if (a.ref_print_log && !a.ref_is_Hres && !a.ref_is_local && a.log_file != nullptr)
        std::fprintf(a.log_file, "          %10.2f %10.2f %10.2f %10.2f %10.6f\n", rp.UV_ave_1 - rp.UV_dif_1,
                     rp.UV_ave_1 + rp.UV_dif_1, rp.A_1, rp.ps_1, rp.ccc_1);
}

bool main_logging(const VORN_A& a) {
    return a.ref_print_log && !a.ref_is_Hres && !a.ref_is_local && a.log_file != nullptr;
}

PUVA& in_force(VORN_A& a) { return a.ref_is_local ? a.local_puva_cur : a.puva_cur; }

// One simplex step on the quantity; the accepted value goes into the PUVA in force.
int refine_line(VORN_A& a, CTF_2DR_Para& rp, const LineQuantity& q) {
    RF_MSPX_1D s{*q.q1, *q.q2 - *q.q1, q.tol, rp.ccc_1};
    mspx_refine_lmm<VORN_A>(&a, a.ref_is_local ? q.objective_local : q.objective, s, LINE_JITTER,
                             a.ref_seed);
    *q.q1 = s.x;
    *q.q2 = s.x + s.dx;
    rp.ccc_1 = s.fval;
    PUVA& cur = in_force(a);
    cur = q.apply(cur, s.x);
    log_line_state(a, rp);
    return 0;
}

LineQuantity angle_quantity(VORN_A& a, CTF_2DR_Para& rp) {
    // The angle's line step stops at the phase tolerance (finer than the angle's own).
    return {&rp.A_1, &rp.A_2, &VORN_A::vorn_tcf_swr_2dh_A, &VORN_A::vorn_tcf_swr_2dh_A_local, with_A, a.ref_tol_PS};
}
LineQuantity mean_quantity(VORN_A& a, CTF_2DR_Para& rp) {
    return {&rp.UV_ave_1, &rp.UV_ave_2, &VORN_A::vorn_tcf_swr_2dh_UVave, &VORN_A::vorn_tcf_swr_2dh_UVave_local,
            with_UVave, a.ref_tol_UV};
}
LineQuantity half_difference_quantity(VORN_A& a, CTF_2DR_Para& rp) {
    return {&rp.UV_dif_1, &rp.UV_dif_2, &VORN_A::vorn_tcf_swr_2dh_UVdif, &VORN_A::vorn_tcf_swr_2dh_UVdif_local,
            with_UVdif, a.ref_tol_UV};
}
LineQuantity phase_quantity(VORN_A& a, CTF_2DR_Para& rp) {
    return {&rp.ps_1, &rp.ps_2, &VORN_A::vorn_tcf_swr_2dh_P, &VORN_A::vorn_tcf_swr_2dh_P_local, with_P, a.ref_tol_PS};
}

// Scores both start points of a quantity; the better becomes the first (ties keep the first).
void pair_test(VORN_A& a, CTF_2DR_Para& rp, const LineQuantity& q, bool local) {
    float (VORN_A::*f)(float) = local ? q.objective_local : q.objective;
    const float s1 = (a.*f)(*q.q1);
    const float s2 = (a.*f)(*q.q2);
    rp.ccc_1 = s1;
    rp.ccc_2 = s2;
    if (s2 > s1) {
        std::swap(*q.q1, *q.q2);
        std::swap(rp.ccc_1, rp.ccc_2);
    }
    PUVA& cur = local ? a.local_puva_cur : a.puva_cur;
    cur = q.apply(cur, *q.q1);
}

// The record of one refinement from start values and errors: the pair tests
// order the two start points of every quantity that is on.
void init_record(VORN_A& a, CTF_2DR_Para& rp, const PUVA& init, const PUVA& err, bool local) {
    rp = CTF_2DR_Para{};
    (local ? a.local_puva_cur : a.puva_cur) = init;
    const float e = (err.U + err.V) / 2.0f;
    rp.UV_ave_1 = (init.U + init.V) / 2.0f;
    rp.UV_ave_2 = rp.UV_ave_1 - e;
    rp.UV_dif_1 = (init.V - init.U) / 2.0f;
    rp.UV_dif_2 = rp.UV_dif_1 - e;
    a.vorn_reseed();
    rp.A_1 = init.A;
    rp.A_2 = init.A - err.A / 2.0f;
    const double r = rand() * RF_RAND_SCALE;
    rp.ps_1 = init.P;
    rp.ps_2 = (float)((double)init.P - err.P + err.P * r / 3.0);
    if (!local && main_logging(a))
        std::fprintf(a.log_file, "* *************************************   2D   REFINE    "
                                 "************************************************************ *\n");
    // Only a refined half-difference may change at its pair test: refining the mean
    // alone keeps the astigmatism (U - V) of the start values.
    if (a.ref_UVdif_on) pair_test(a, rp, half_difference_quantity(a, rp), local);
    if (a.ref_A_on) pair_test(a, rp, angle_quantity(a, rp), local);
    if (a.ref_PS_on) pair_test(a, rp, phase_quantity(a, rp), local);
    if (!a.ref_A_on) rp.A_2 = rp.A_1;
    if (!a.ref_UVave_on) rp.UV_ave_2 = rp.UV_ave_1;
    if (!a.ref_UVdif_on) rp.UV_dif_2 = rp.UV_dif_1;
    if (!a.ref_PS_on) rp.ps_2 = rp.ps_1;
}

void warn_too_many_cycles(VORN_A& a) {
    if (!a.ref_warn_cycles) return;
    std::printf("\033[43mWARNING: Too man refinement cycles, VORN might have failed on this micrograph!\033[m\n");
    if (a.log_file != nullptr)
        std::fprintf(a.log_file, "WARNING: Too man refinement cycles, VORN might have failed on this micrograph!\n");
}

// The cycles of one refinement on the record; U, V, A, P and the raw score at the end.
PUVA run_cycles(VORN_A& a, CTF_2DR_Para& rp) {
    const VORN_Para& p = *a.para;
    if (main_logging(a))
        std::fprintf(a.log_file, "          defocus_U   defocus_V   angle   phase_shift    CCC         \n");
    for (int c = 0; c < MAX_CYCLES; ++c) {
        if (main_logging(a)) std::fprintf(a.log_file, "Cycle: %02d\n", c);
        rp.U_refined = rp.UV_ave_1 - rp.UV_dif_1;
        rp.V_refined = rp.UV_ave_1 + rp.UV_dif_1;
        if (a.ref_A_on && std::fabs(rp.A_1 - rp.A_2) > a.ref_tol_A)
            a.vorn_hcuda_refctf_A_2dh_t3(rp);
        else
            a.ref_A_done = 1;
        if (a.ref_UVave_on && std::fabs(rp.UV_ave_1 - rp.UV_ave_2) > a.ref_tol_UV)
            a.vorn_hcuda_refctf_UVave_2dh_t3(rp);
        else
            a.ref_UVave_done = 1;
        if (a.ref_UVdif_on && std::fabs(rp.UV_dif_1 - rp.UV_dif_2) > a.ref_tol_UV)
            a.vorn_hcuda_refctf_UVdif_2dh_t3(rp);
        else
            a.ref_UVdif_done = 1;
        if (p.phase_shift_T == 1 && a.ref_PS_on && std::fabs(rp.ps_1 - rp.ps_2) > a.ref_tol_PS)
            a.vorn_hcuda_refctf_PS_2dh_t3(rp);
        else
            a.ref_PS_done = 1;
        if (a.ref_A_done && a.ref_UVave_done && a.ref_UVdif_done && a.ref_PS_done) {
            a.ref_A_done = a.ref_UVave_done = a.ref_UVdif_done = a.ref_PS_done = 0;
            rp.A_1 = wrap_angle(rp.A_1);
            if (main_logging(a))
                std::fprintf(a.log_file, "**************************************   LAST CYCLE    "
                                         "*************************************************************\n");
            return PUVA{rp.ps_1, rp.UV_ave_1 - rp.UV_dif_1, rp.UV_ave_1 + rp.UV_dif_1, rp.A_1};
        }
    }
    warn_too_many_cycles(a);
    return PUVA{rp.ps_1, rp.U_refined, rp.V_refined, rp.A_1};
}

// Sum of squares of a device half spectrum inside the closed band [1/low, 1/high].
float band_norm_squared(VORN_A& a, const float* d_in, float low, float high) {
    const VORN_Para& p = *a.para;
    hcuda_2dh_res_based_square(a.d_ref_square, d_in, p.apix, a.box_nxh, a.box_ny, low, high);
    return hcuda_fast_sum_inplace(a.d_ref_square, (size_t)a.box_nxh * (size_t)a.box_ny, 1024);
}

}  // namespace

// ================= seed and buffers =================

void VORN_A::vorn_reseed() { srand(ref_seed >= 0 ? (unsigned)ref_seed : (unsigned)time(nullptr)); }

int VORN_A::vorn_allocate_refine_data() {
    if (d_ref_work != nullptr) return 0;
    d_ref_work = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    d_ref_square = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    return 0;
}

int VORN_A::vorn_free_refine_data() {
    for (float** d : {&d_ref_work, &d_ref_square}) {
        if (*d != nullptr) device_release(GPU_SITE, *d);
        *d = nullptr;
    }
    for (float** h : {&h_ref_epa, &h_ref_spec_saved}) {
        std::free(*h);
        *h = nullptr;
    }
    return 0;
}

// ================= objectives =================

float VORN_A::vorn_tcf_swr_2dh(PUVA v) {
    const VORN_Para& p = *para;
    vorn_allocate_refine_data();
    return ctf_tcf_swr_2dh(d_ref_work, d_spec, p.apix, box_nxh, box_ny, v.P, p.kV, p.cs, p.ac, v.U, v.V, v.A,
                           cur_bfac, cur_resL, cur_resH);
}

float VORN_A::vorn_tcf_swr_2dh_local(PUVA v) {
    const VORN_Para& p = *para;
    return ctf_tcf_swr_2dh(d_local_work, d_local_spec, p.apix, local_box_nx / 2 + 1, local_box_ny, v.P, p.kV, p.cs,
                           p.ac, v.U, v.V, v.A, p.local_bfac, p.local_resL, p.local_resH);
}

float VORN_A::vorn_tcf_swr_2dh_P(float P) { return vorn_tcf_swr_2dh(with_P(puva_cur, P)); }
float VORN_A::vorn_tcf_swr_2dh_UVave(float m) { return vorn_tcf_swr_2dh(with_UVave(puva_cur, m)); }
float VORN_A::vorn_tcf_swr_2dh_UVdif(float h) { return vorn_tcf_swr_2dh(with_UVdif(puva_cur, h)); }
float VORN_A::vorn_tcf_swr_2dh_A(float A) { return vorn_tcf_swr_2dh(with_A(puva_cur, A)); }
float VORN_A::vorn_tcf_swr_2dh_P_local(float P) { return vorn_tcf_swr_2dh_local(with_P(local_puva_cur, P)); }
float VORN_A::vorn_tcf_swr_2dh_UVave_local(float m) {
    return vorn_tcf_swr_2dh_local(with_UVave(local_puva_cur, m));
}
float VORN_A::vorn_tcf_swr_2dh_UVdif_local(float h) {
    return vorn_tcf_swr_2dh_local(with_UVdif(local_puva_cur, h));
}
float VORN_A::vorn_tcf_swr_2dh_A_local(float A) { return vorn_tcf_swr_2dh_local(with_A(local_puva_cur, A)); }

// ================= line refiners =================

int VORN_A::vorn_hcuda_refctf_A_2dh_t3(CTF_2DR_Para& rp) {
    if (ref_angle_scan && !ref_is_Hres) {
        const int n = para->defA_seeds;
        float (VORN_A::*f)(float) = ref_is_local ? &VORN_A::vorn_tcf_swr_2dh_A_local : &VORN_A::vorn_tcf_swr_2dh_A;
        const float offset = rp.A_2 - rp.A_1;
        float best = rp.A_1;
        for (int i = 1; i <= n; ++i) {
            const float angle = rp.A_1 + (float)i * 180.0f / (float)n;
            const float score = (this->*f)(angle);
            if (score > rp.ccc_1) {
                rp.ccc_1 = score;
                best = angle;
            }
            if (main_logging(*this))
                std::fprintf(log_file, "          %10.2f %10.2f %10.2f %10.2f %10.6f  \n", rp.U_refined,
                             rp.V_refined, rp.A_1, rp.ps_1, rp.ccc_1);
        }
        rp.A_1 = best;
        rp.A_2 = best + offset;
        PUVA& cur = in_force(*this);
        cur.A = best;
    }
    return refine_line(*this, rp, angle_quantity(*this, rp));
}

int VORN_A::vorn_hcuda_refctf_UVave_2dh_t3(CTF_2DR_Para& rp) {
    return refine_line(*this, rp, mean_quantity(*this, rp));
}
int VORN_A::vorn_hcuda_refctf_UVdif_2dh_t3(CTF_2DR_Para& rp) {
    return refine_line(*this, rp, half_difference_quantity(*this, rp));
}
int VORN_A::vorn_hcuda_refctf_PS_2dh_t3(CTF_2DR_Para& rp) {
    return refine_line(*this, rp, phase_quantity(*this, rp));
}

// ================= start values and records =================

int VORN_A::vorn_set_init_defUVA_for_2D_refine(float P0) {
    const VORN_Para& p = *para;
    if (p.refine_input_ctf && p.input_ctfstar_set && p.ctf_init != nullptr && p.ctf_init[mic_index].valid) {
        const CTF_INFO& c = p.ctf_init[mic_index].ctf;
        puva_init = PUVA{c.P, c.U, c.V, c.A};
        puva_err = PUVA{p.phase_shift_S, p.defU_err, p.defV_err, p.defA_err};
        def_err = (p.defU_err + p.defV_err) / 2.0f;
        std::printf("input: PS = %f, defocus_U = %f, defocus_V = %f,  defocus_err = %f,  angle_azimuth = %f,  "
                    "angle_err = %f  \n",
                    c.P, c.U, c.V, def_err, c.A, p.defA_err);
        return 0;
    }
    if (p.refine_input_ctf && !p.input_ctfstar_set && p.mic_count == 1) {
        puva_init = PUVA{p.ps_init, p.defU_init, p.defV_init, p.defA_init};
        puva_err = PUVA{p.ps_err, p.defU_err, p.defV_err, p.defA_err};
        def_err = (p.defU_err + p.defV_err) / 2.0f;
        return 0;
    }
    vorn_reseed();
    const float A = (float)(30.0 * rand() * RF_RAND_SCALE);
    puva_init = PUVA{P0, def_1d - p.astm / 2.0f, def_1d + p.astm / 2.0f, A};
    puva_err = PUVA{ref_PS_on ? p.phase_shift_S : 0.0f, p.defS, p.defS, 30.0f};
    def_err = p.defS;
    return 0;
}

int VORN_A::vorn_set_init_2DR_Para(CTF_2DR_Para& rp) {
    init_record(*this, rp, puva_init, puva_err, false);
    return 0;
}

int VORN_A::vorn_set_init_2DR_Para_local(CTF_2DR_Para& rp) {
    const VORN_Para& p = *para;
    const PUVA err{p.local_PS_err, p.local_U_err, p.local_V_err, p.local_A_err};
    local_puva_err = err;
    init_record(*this, rp, local_puva_init, err, true);
    return 0;
}

int VORN_A::vorn_set_bres() {
    const VORN_Para& p = *para;
    if (ref_is_local) {
        cur_bfac = p.local_bfac, cur_resL = p.local_resL, cur_resH = p.local_resH;
    } else if (ref_is_Hres) {
        cur_bfac = p.Href_bfac, cur_resL = p.Href_resL, cur_resH = p.Href_resH;
    } else {
        cur_bfac = p.bfac, cur_resL = p.resL, cur_resH = p.resH;
    }
    return 0;
}

// ================= cycles =================

int VORN_A::vorn_hcuda_refctf_2dh() {
    CTF_2DR_Para rp;
    // The start points are ordered by scores in the band this refinement works in.
    vorn_set_bres();
    vorn_set_init_2DR_Para(rp);
    const PUVA r = run_cycles(*this, rp);
    vorn_set_refined_PUVAC(r, rp.ccc_1);
    return 0;
}

int VORN_A::vorn_hcuda_refctf_2dh_local() {
    CTF_2DR_Para rp;
    const int was_local = ref_is_local;
    ref_is_local = 1;
    vorn_set_bres();
    vorn_set_init_2DR_Para_local(rp);
    const PUVA r = run_cycles(*this, rp);
    vorn_set_refined_PUVAC_local(r, rp.ccc_1);
    ref_is_local = was_local;
    return 0;
}

// ================= final step =================

float VORN_A::vorn_normalised_score(PUVA v, float raw) {
    const VORN_Para& p = *para;
    vorn_allocate_refine_data();
    hcuda_ctf_sim_2dh_c(d_ref_work, (unsigned)box_nxh, (unsigned)box_ny, p.apix, p.kV, p.cs, p.ac, v.P, v.U, v.V, v.A,
                        cur_bfac, cur_resL, cur_resH, 'A');
    const float ctf_norm2 = band_norm_squared(*this, d_ref_work, cur_resL, cur_resH);
    const float spec_norm2 = band_norm_squared(*this, d_spec, cur_resL, cur_resH);
    const double norm = std::sqrt((double)ctf_norm2) * std::sqrt((double)spec_norm2);
    if (!(ctf_norm2 > 0.0f) || !(spec_norm2 > 0.0f) || !std::isfinite(norm) || !std::isfinite(raw)) {
        VORN_WARNING("empty or flat band %.2f-%.2f A: the correlation is reported as 0.\n\033[m", cur_resL, cur_resH);
        return 0.0f;
    }
    return (float)((double)raw / norm);
}

int VORN_A::vorn_hcuda_refctf_end_2dh() {
    const VORN_Para& p = *para;
    ref_ps = wrap_phase_shift(ref_ps);
    ref_defA = wrap_angle(ref_defA);
    if (ref_defA < 0.0f) {
        std::swap(ref_defU, ref_defV);
        ref_defA += 90.0f;
    }
    // The score was taken in the band in force: its norms come from that band too.
    ref_ccc = vorn_normalised_score(vorn_refined_PUVA(), ref_ccc);
    vorn_hcuda_refctf_output_FinalValues();
    hcuda_ctf_pow_simulate_2dh(d_ref_work, p.apix, box_nxh, box_ny, ref_ps, p.kV, p.cs, p.ac, ref_defU, ref_defV,
                               ref_defA, p.ctfout_bfac, p.ctfout_resL, p.ctfout_resH);
    return 0;
}

int VORN_A::vorn_hcuda_refctf_output_FinalValues() {
    // Values that are not numbers are no result: no "Final Values" line for them (the run
    // loop then skips the micrograph, through vorn_check_fit_finite).
    for (float v : {ref_ps, ref_defU, ref_defV, ref_defA, ref_ccc})
        if (!std::isfinite(v)) return -1;
    CTF_REF_INFO info{};
    info.ctf.P = ref_ps;
    info.ctf.U = ref_defU;
    info.ctf.V = ref_defV;
    info.ctf.A = ref_defA;
    info.ccc = ref_ccc;
    return vorn_print_ctfrefine_info(0, &info);
}

// ================= small members =================

int VORN_A::vorn_set_refined_PUVAC(float P, float U, float V, float A, float CCC) {
    ref_ps = P, ref_defU = U, ref_defV = V, ref_defA = A, ref_ccc = CCC;
    return 0;
}
int VORN_A::vorn_set_refined_PUVAC(PUVA v, float CCC) { return vorn_set_refined_PUVAC(v.P, v.U, v.V, v.A, CCC); }
int VORN_A::vorn_set_refined_PUVAC_local(float P, float U, float V, float A, float CCC) {
    local_ref_ps = P, local_ref_defU = U, local_ref_defV = V, local_ref_defA = A, local_ref_ccc = CCC;
    return 0;
}
int VORN_A::vorn_set_refined_PUVAC_local(PUVA v, float CCC) {
    return vorn_set_refined_PUVAC_local(v.P, v.U, v.V, v.A, CCC);
}
int VORN_A::vorn_set_current_PUVA(float P, float U, float V, float A) {
    puva_cur = PUVA{P, U, V, A};
    return 0;
}
int VORN_A::vorn_set_current_PUVA(PUVA v) { return vorn_set_current_PUVA(v.P, v.U, v.V, v.A); }
int VORN_A::vorn_check_ctf_warning() { return 0; }

int VORN_A::vorn_print_rp(const CTF_2DR_Para& rp) {
    std::printf("UV_ave_1=%f, UV_ave_2=%f, UV_ave_2r=%f, UV_ave_2re=%f\nUV_dif_1=%f, UV_dif_2=%f, UV_dif_2r=%f, "
                "UV_dif_2re=%f;\nA_1=%f,      A_2=%f,      A_2r=%f,      A_2re=%f;\nps_1=%f,     ps_2=%f,     "
                "ps_2r=%f,     ps_2re=%f;\nfloat ccc_1=%f,   ccc_2=%f,    ccc_2r=%f,    ccc_2re=%f;\nU_refined=%f, "
                "V_refined=%f\n",
                rp.UV_ave_1, rp.UV_ave_2, rp.UV_ave_2r, rp.UV_ave_2re, rp.UV_dif_1, rp.UV_dif_2, rp.UV_dif_2r,
                rp.UV_dif_2re, rp.A_1, rp.A_2, rp.A_2r, rp.A_2re, rp.ps_1, rp.ps_2, rp.ps_2r, rp.ps_2re, rp.ccc_1,
                rp.ccc_2, rp.ccc_2r, rp.ccc_2re, rp.U_refined, rp.V_refined);
    return 0;
}

int VORN_A::vorn_print_ctfrefine_info(int cycles, CTF_REF_INFO* info) {
    const bool phase = para->phase_plate != 0;
    const float U = info->ctf.U, V = info->ctf.V, A = info->ctf.A, P = info->ctf.P, ccc = info->ccc;
    if (ref_print_log && log_file != nullptr) {
        if (phase) {
            std::fprintf(log_file, "\n   Defocus_U   Defocus_V       Angle    Phase_shift     CCC\n");
            std::fprintf(log_file, "%12.2f%12.2f%12.2f%12.2f%12.6f  Final Values\n\n", U, V, A, P, ccc);
        } else {
            std::fprintf(log_file, "\n   Defocus_U   Defocus_V       Angle        CCC\n");
            std::fprintf(log_file, "%12.2f%12.2f%12.2f%12.6f  Final Values\n\n", U, V, A, ccc);
        }
    }
    if (ref_print_stdout) {
        if (phase) {
            std::printf("\n   Defocus_U   Defocus_V       Angle      Phase_shift     CCC\n");
            std::printf(ref_is_Hres ? "%12.2f%12.2f%12.2f%12.2f%16.6f  Final Values (Hres refine)\n\n"
                                    : "%12.2f%12.2f%12.2f%12.2f%16.6f  Final Values\n\n",
                        U, V, A, P, ccc);
        } else {
            std::printf("\n   Defocus_U   Defocus_V       Angle          CCC\n");
            std::printf(ref_is_Hres ? "%12.2f%12.2f%12.2f%12.6f  Final Values (Hres refine)\n\n"
                                    : "%12.2f%12.2f%12.2f%12.6f  Final Values\n\n",
                        U, V, A, ccc);
        }
    }
    if (cycles == MAX_CYCLES) {
        VORN_WARNING("Too man refinement cycles, Vorn might have failed on this micrograph!!\n\033[m");
        if (log_file != nullptr)
            std::fprintf(log_file, "WARNING: Too man refinement cycles, Vorn might have failed on this micrograph!\n");
    }
    return 0;
}
