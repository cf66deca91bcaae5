// Search-and-refine drivers chosen by the mode (the phase-shift search of the
// phase-plate mode included), the optional high-resolution pass, refinement
// after the equiphase average, and the five-vertex multi-start simplex
// schedules of refinement types 2 and 3.
#define VORN_UNIT "src/ctf"
#include "ctf.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "cuda_general.h"
#include "gpu_buffers.h"
#include "refinement_core.h"
#include "report.h"

namespace {

constexpr int MAX_SCHEDULE_STEPS = 299;

bool uses_schedule(const VORN_Para& p) { return p.refine_2d_T == 2 || p.refine_2d_T == 3; }

void set_print_flags(VORN_A& a, int on) { a.ref_print_stdout = a.ref_print_log = a.ref_warn_cycles = on; }

void to_stdout_and_log(VORN_A& a, const char* text) {
    std::printf("%s", text);
    if (a.log_file != nullptr) std::fprintf(a.log_file, "%s", text);
}

PUVA add(PUVA a, PUVA b) { return PUVA{a.P + b.P, a.U + b.U, a.V + b.V, a.A + b.A}; }
PUVA scale(PUVA a, float s) { return PUVA{a.P * s, a.U * s, a.V * s, a.A * s}; }

// First index of the largest and of the smallest score.
void best_and_worst(const float F[5], int& best, int& worst) {
    float hi = -1e10f, lo = 1e10f;
    best = worst = 0;
    for (int i = 0; i < 5; ++i) {
        if (F[i] > hi) hi = F[i], best = i;
        if (F[i] < lo) lo = F[i], worst = i;
    }
}

// Replaces vertex w by the best of its centre, reflection and extension when the centre beats it.
void replace_vertex(VORN_A& a, float F[5], int w) {
    const PUVA c = a.vorn_get_ctf_st1_center();
    const PUVA r = a.vorn_get_ctf_st1_reflect(w);
    const PUVA e = a.vorn_get_ctf_st1_rextend(w);
    const float Fw = a.vorn_tcf_swr_2dh(a.puva_st[w]);
    const float Fc = a.vorn_tcf_swr_2dh(c);
    const float Fr = a.vorn_tcf_swr_2dh(r);
    const float Fe = a.vorn_tcf_swr_2dh(e);
    if (Fc <= Fw) {
        F[w] = Fw;
    } else if (Fr <= Fc) {
        a.puva_st[w] = c, F[w] = Fc;
    } else if (Fe > Fr) {
        a.puva_st[w] = e, F[w] = Fe;
    } else {
        a.puva_st[w] = r, F[w] = Fr;
    }
}

// Schedule 2 moves the worst vertex per step, schedule 3 sweeps all five per pass.
// Schedule 3 compares the phase spread with the angle tolerance and the angle
// spread with the phase tolerance.
int run_schedule(VORN_A& a, int type) {
    // Scored in the band of this pass, not in whatever the last refinement left.
    a.vorn_set_bres();
    char header[128];
    std::snprintf(header, sizeof header,
                  "******** ******** ********  using refinement strategy: %d  ******** ******** ********\n", type);
    if (a.ref_print_log && a.log_file != nullptr) std::fprintf(a.log_file, "%s", header);
    if (a.ref_print_stdout) std::printf("%s", header);
    const float tol_P = type == 2 ? a.ref_tol_PS : a.ref_tol_A;
    const float tol_A = type == 2 ? a.ref_tol_A : a.ref_tol_PS;
    float F[5];
    for (int i = 0; i < 5; ++i) F[i] = a.vorn_tcf_swr_2dh(a.puva_st[i]);
    int best = 0, worst = 0;
    best_and_worst(F, best, worst);
    bool converged = false;
    for (int step = 0; step < MAX_SCHEDULE_STEPS && !converged; ++step) {
        if (type == 2) {
            replace_vertex(a, F, worst);
        } else {
            for (int w = 0; w < 5; ++w) replace_vertex(a, F, w);
        }
        best_and_worst(F, best, worst);
        const PUVA& b = a.puva_st[best];
        const PUVA& s = a.puva_st[worst];
        converged = std::fabs(b.P - s.P) < tol_P && std::fabs(b.U - s.U) < a.ref_tol_UV &&
                    std::fabs(b.V - s.V) < a.ref_tol_UV && std::fabs(b.A - s.A) < tol_A;
    }
    if (!converged && a.ref_warn_cycles) {
        std::printf("\033[43mWARNING: Too man refinement cycles, Vorn might have failed on this micrograph!\033[m\n");
        if (a.log_file != nullptr)
            std::fprintf(a.log_file,
                         "WARNING: Too man refinement cycles, Vorn might have failed on this micrograph!\n");
    }
    a.vorn_set_refined_PUVAC(a.puva_st[best], F[best]);
    a.st_best_index = best;
    return 0;
}

// The start of a first pass from the 1D search at phase P0, then its refinement.
// A type outside 1 to 3 keeps the start values as the result.
void refine_first_pass(VORN_A& a, float P0) {
    const VORN_Para& p = *a.para;
    if (uses_schedule(p)) {
        a.vorn_set_init_st1(P0);
        a.vorn_refine_by_type();
    } else if (p.refine_2d_T == 1) {
        a.vorn_set_init_defUVA_for_2D_refine(P0);
        a.vorn_refine_by_type();
    } else {
        a.vorn_set_init_defUVA_for_2D_refine(P0);
        a.vorn_set_bres();
        a.vorn_set_refined_PUVAC(a.puva_init, a.vorn_tcf_swr_2dh(a.puva_init));
    }
}

// The line refinements stall where the astigmatism they start from lies across
// the true one: the half-difference falls to zero, where the angle has no slope,
// and the cycles end there with no astigmatism at all. A first pass from a random
// start that ends with almost none is run once more from an angle 45 degrees on;
// the better raw score (same band) wins.
void retry_collapsed_astigmatism(VORN_A& a) {
    const VORN_Para& p = *a.para;
    if (p.refine_2d_T != 1 || p.refine_input_ctf) return;
    if (!(std::fabs(a.ref_defU - a.ref_defV) < 0.1f * p.astm)) return;
    const PUVA first = a.vorn_refined_PUVA();
    const float first_ccc = a.ref_ccc;
    a.vorn_set_init_defUVA_for_2D_refine(0.0f);
    a.puva_init.A += 45.0f;
    a.vorn_refine_by_type();
    if (!(a.ref_ccc > first_ccc)) a.vorn_set_refined_PUVAC(first, first_ccc);
}

// Refinement around the refined values: the five vertices about them, or for
// type 1 the start errors of the high-resolution pass or (2, 100, 100, 5).
void refine_around_refined(VORN_A& a, bool hres) {
    if (uses_schedule(*a.para))
        a.vorn_set_init_st1_from_ref2d();
    else if (hres)
        a.vorn_set_init_for_Hres_ref();
    else
        a.vorn_set_init_from_ref2d();
    a.vorn_refine_by_type();
}

// Phase-search types 2 and 4 choose among the trials by their resolution limit.
bool selects_by_resolution(const VORN_Para& p) { return p.phase_shift_T == 2 || p.phase_shift_T == 4; }

// The resolution limit of the refined values of one phase trial (Å; 20 at most).
float trial_resolution_limit(VORN_A& a) {
    const VORN_Para& p = *a.para;
    float res = 20.0f;
    ctf_epa_1d_ccf(res, 20.0f, a.d_spec, a.d_logamp, p.EPA_oversmp, p.apix, a.box_nxh, a.box_ny, p.kV, p.cs, p.ac,
                   a.ref_ps, a.ref_defU, a.ref_defV, a.ref_defA, p.resL, 2.0f * p.apix + 0.1f, p.B_resL, p.B_resH);
    return res;
}

// The phase-shift search: every trial phase from phase_shift_L by phase_shift_S
// below phase_shift_H, each refined quietly; the refined results end as the best entry.
void phase_search(VORN_A& a) {
    const VORN_Para& p = *a.para;
    PUVA best{0, 0, 0, 0};
    float best_raw = -1.0f, best_score = -1.0f, best_res = 20.0f;
    auto trial = [&](float P) {
        a.ref_PS_on = p.cosearch_refine_ps;
        a.ref_is_Hres = 0;
        set_print_flags(a, 0);
        a.vorn_1D_search_t2(P);
        refine_first_pass(a, P);
        // Schedules compare normalised scores, the cycles raw ones; either way the
        // refined score stays raw until the final step.
        const float score = uses_schedule(p) ? a.vorn_normalised_score(a.vorn_refined_PUVA(), a.ref_ccc) : a.ref_ccc;
        char line[160];
        bool better = score > best_score;
        if (selects_by_resolution(p)) {
            const float res = trial_resolution_limit(a);
            std::snprintf(line, sizeof line, "%12.2f %12.2f %12.2f %12.2f %12.6f %12.4f \n", a.ref_ps, a.ref_defU,
                          a.ref_defV, a.ref_defA, score, res);
            // The finest resolution limit wins.
            better = res < best_res;
            if (better) best_res = res;
        } else {
            std::snprintf(line, sizeof line, "%12.2f %12.2f %12.2f %12.2f %12.6f \n", a.ref_ps, a.ref_defU, a.ref_defV,
                          a.ref_defA, score);
        }
        to_stdout_and_log(a, line);
        if (better) {
            best_score = score;
            best_raw = a.ref_ccc;
            best = a.vorn_refined_PUVA();
        }
    };
    int trials = 0;
    for (long k = 0;; ++k) {
        const float P = p.phase_shift_L + (float)k * p.phase_shift_S;
        if (!(P < p.phase_shift_H) || (k > 0 && !(p.phase_shift_S > 0.0f))) break;
        trial(P);
        ++trials;
    }
    if (trials == 0) {
        // An empty range still starts the refinement from the 1D search, at its low end.
        VORN_WARNING("empty phase shift range %.2f to %.2f; searching at %.2f only.\n\033[m", p.phase_shift_L,
                     p.phase_shift_H, p.phase_shift_L);
        trial(p.phase_shift_L);
    }
    a.ref_PS_on = 1;
    a.ref_is_Hres = 0;
    set_print_flags(a, 1);
    a.vorn_set_refined_PUVAC(best, best_raw);
}

void phase_search_header(VORN_A& a) {
    const char* head =
        selects_by_resolution(*a.para)
            ? "searching phase shift ... \n Phase_shift      def_U         def_V         Angle       CCC          Res_limit"
            : "searching phase shift ... \n Phase_shift      def_U         def_V         Angle       CCC        ";
    std::printf("%s\n", head);
    if (a.log_file != nullptr) std::fprintf(a.log_file, "\n%s\n", head);
}

// Refines once more on the 2D equiphase average of the spectrum, then puts the spectrum back.
void refine_after_epa(VORN_A& a) {
    const VORN_Para& p = *a.para;
    char line[256];
    std::snprintf(line, sizeof line,
                  "Refining after EPA ...     phase_shfift  defocus_U  defocus_V  angle  ccc \nInput: %12.2f %12.2f "
                  "%12.2f %12.2f %12.6f\n",
                  a.ref_ps, a.ref_defU, a.ref_defV, a.ref_defA, a.ref_ccc);
    to_stdout_and_log(a, line);
    a.vorn_allocate_refine_data();
    const size_t n = (size_t)a.boxh_n;
    if (a.h_ref_spec_saved == nullptr) a.h_ref_spec_saved = (float*)std::malloc(n * sizeof(float));
    if (a.h_ref_epa == nullptr) a.h_ref_epa = (float*)std::malloc(n * sizeof(float));
    copy_to_host(GPU_SITE, a.h_ref_spec_saved, a.d_spec, n);
    hcuda_2dh_EPA(a.d_ref_work, a.d_spec, a.box_nxh, a.box_ny, p.apix, p.kV, p.cs, p.ac, a.ref_ps, a.ref_defU,
                  a.ref_defV, a.ref_defA, p.ctfout_resL, p.ctfout_resH);
    CUDA_CHECK(memcpy_D2D(a.d_spec, a.d_ref_work, n * sizeof(float)));
    copy_to_host(GPU_SITE, a.h_ref_epa, a.d_spec, n);
    if (uses_schedule(p)) {
        a.vorn_set_init_st1_from_ref2d();
    } else {
        a.vorn_set_init_defUVA_for_2D_refine(a.ref_ps);
    }
    a.vorn_refine_by_type();
    CUDA_CHECK(memcpy_H2D(a.d_spec, a.h_ref_spec_saved, n * sizeof(float)));
    // The score is normalised against the spectrum: take it on that spectrum.
    a.ref_ccc = a.vorn_tcf_swr_2dh(a.vorn_refined_PUVA());
}

}  // namespace

// ================= drivers =================

int VORN_A::vorn_refine_by_type() {
    switch (para->refine_2d_T) {
        case 1: return vorn_hcuda_refctf_2dh();
        case 2: return vorn_hcuda_refctf_st2_2dh();
        case 3: return vorn_hcuda_refctf_st3_2dh();
        default: return 0;
    }
}

// True when the micrograph in work starts from input CTF values that carry a
// phase shift: that phase shift is refined from its value, not searched.
static bool refines_input_phase(const VORN_A& a) {
    const VORN_Para& p = *a.para;
    return p.input_phase && a.mic_index >= p.cmd_count && a.mic_index < p.mic_count && p.ctf_init[a.mic_index].valid;
}

int VORN_A::vorn_1S2R_st1_noPS() {
    const int input_phase = refines_input_phase(*this) ? 1 : 0;
    const float P0 = input_phase ? para->ctf_init[mic_index].ctf.P : 0.0f;
    ref_PS_on = input_phase;
    vorn_1D_search_t2(P0);
    refine_first_pass(*this, P0);
    retry_collapsed_astigmatism(*this);
    if (para->do_Hres_ref) {
        ref_PS_on = input_phase;
        ref_is_Hres = 1;
        set_print_flags(*this, 1);
        refine_around_refined(*this, true);
    }
    return 0;
}

int VORN_A::vorn_1S2R_st1_PS() {
    const VORN_Para& p = *para;
    phase_search_header(*this);
    phase_search(*this);
    // With only the search asked for, the final step reports the best entry.
    if (!p.only_search_ps) {
        refine_around_refined(*this, false);
        if (p.do_Hres_ref) {
            ref_PS_on = ref_is_Hres = 1;
            set_print_flags(*this, 1);
            if (log_file != nullptr) std::fprintf(log_file, "\n Do high resolution refinement ...\n");
            refine_around_refined(*this, true);
        }
    }
    if (p.refine_after_EPA) refine_after_epa(*this);
    return 0;
}

int VORN_A::vorn_1S2R() {
    if (para->phase_plate && !refines_input_phase(*this))
        vorn_1S2R_st1_PS();
    else
        vorn_1S2R_st1_noPS();
    return vorn_hcuda_refctf_end_2dh();
}

int VORN_A::vorn_1S2R_noPS() {
    if (log_file != nullptr)
        std::fprintf(log_file, "* *************************************   1D   SEARCH    "
                               "************************************************************ *\n");
    vorn_1D_search_t2(0.0f);
    vorn_set_init_defUVA_for_2D_refine(0.0f);
    ref_PS_on = ref_is_Hres = 0;
    set_print_flags(*this, 1);
    vorn_hcuda_refctf_2dh();
    if (para->do_Hres_ref) {
        vorn_set_init_for_Hres_ref();
        ref_is_Hres = 1;
        vorn_hcuda_refctf_2dh();
    }
    return 0;
}

int VORN_A::vorn_1S2R_PS() {
    const int type = para->refine_2d_T;
    para->refine_2d_T = 1;
    phase_search_header(*this);
    phase_search(*this);
    refine_around_refined(*this, false);
    if (para->do_Hres_ref) {
        ref_PS_on = ref_is_Hres = 1;
        refine_around_refined(*this, true);
    }
    para->refine_2d_T = type;
    return vorn_hcuda_refctf_output_FinalValues();
}

int VORN_A::vorn_set_init_for_Hres_ref() {
    const VORN_Para& p = *para;
    puva_init = vorn_refined_PUVA();
    puva_err = PUVA{(p.phase_plate && p.Href_PS_err_set) ? p.Href_PS_err : 2.0f, p.Href_U_err_set ? p.Href_U_err : 100.0f,
                    p.Href_V_err_set ? p.Href_V_err : 100.0f, p.Href_A_err_set ? p.Href_A_err : 5.0f};
    return 0;
}

// ================= schedules =================

int VORN_A::vorn_hcuda_refctf_st2_2dh() { return run_schedule(*this, 2); }
int VORN_A::vorn_hcuda_refctf_st3_2dh() { return run_schedule(*this, 3); }

PUVA VORN_A::vorn_get_ctf_st1_center() {
    PUVA s{0, 0, 0, 0};
    for (const PUVA& v : puva_st) s = add(s, v);
    return PUVA{s.P / 5.0f, s.U / 5.0f, s.V / 5.0f, s.A / 5.0f};
}

PUVA VORN_A::vorn_get_ctf_st1_reflect(int i) {
    return add(scale(vorn_get_ctf_st1_center(), 2.0f), scale(puva_st[i], -1.0f));
}

PUVA VORN_A::vorn_get_ctf_st1_rextend(int i) {
    return add(scale(vorn_get_ctf_st1_center(), 3.0f), scale(puva_st[i], -2.0f));
}

int VORN_A::vorn_set_init_st1(float P0) {
    const VORN_Para& p = *para;
    vorn_reseed();
    const float A0 = (float)(60.0 * rand() * RF_RAND_SCALE);
    const float U0 = def_1d - p.astm / 2.0f, V0 = def_1d + p.astm / 2.0f, m = p.astm;
    const float g = (p.phase_plate && ref_PS_on) ? p.phase_shift_S : 0.0f;
    puva_st[0] = PUVA{P0, U0, V0, A0};
    puva_st[1] = PUVA{P0 + g, U0 - m, V0, A0};
    puva_st[2] = PUVA{P0, U0 - m, V0 + m, A0};
    puva_st[3] = PUVA{P0, U0, V0 + m, A0 + 30.0f};
    puva_st[4] = PUVA{P0 + g, U0, V0, A0 + 30.0f};
    return 0;
}

int VORN_A::vorn_set_init_st1_from_ref2d() {
    const PUVA r = vorn_refined_PUVA();
    const float h = para->phase_plate ? -para->phase_shift_S : 0.0f;
    puva_st[0] = r;
    puva_st[1] = PUVA{r.P + h, r.U + 100.0f, r.V, r.A};
    puva_st[2] = PUVA{r.P, r.U + 100.0f, r.V - 100.0f, r.A};
    puva_st[3] = PUVA{r.P, r.U, r.V - 100.0f, r.A + 5.0f};
    puva_st[4] = PUVA{r.P + h, r.U, r.V, r.A + 5.0f};
    return 0;
}

int VORN_A::vorn_set_init_from_ref2d() {
    puva_init = vorn_refined_PUVA();
    puva_err = PUVA{2.0f, 100.0f, 100.0f, 5.0f};
    return 0;
}
