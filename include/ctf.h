// The CTF estimator: its option record VORN_Para (every option, default,
// phase-plate default and user-set flag), the estimator object VORN_A with its
// run loop over the micrographs, the per-micrograph preparation, the grid power
// spectrum with its ".pow" file, the 1D defocus search, the range checks and
// echoes of the options, the head of each micrograph's log and the CTF STAR
// summary.
//
// Sources: src/ctf.cu (lifecycle, buffers, run loop), src/ctf_options.cu
// (parser, post-parse rules, range checks), src/ctf_echo.cu (banner, usage,
// help, parameter echoes), src/ctf_spectrum.cu (spectrum, ".pow", 1D searches),
// src/ctf_star.cu (log head, summary, input CTF STAR files), src/ctf_refine.cu
// (2D refinement engine), src/ctf_drivers.cu (search-and-refine drivers and
// the multi-start simplex schedules).
#pragma once
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "boxfile.h"
#include "ctf_core.h"
#include "data_pool.h"
#include "mrcfile.h"

// Version line of the banner and of each log.
#define VORN_VERSION "v1.18"
#define VORN_UPDATED "2017-05-10"

// The initial CTF of one micrograph: valid is 1 when defocus U and V are both non-zero.
struct CTF_INIT {
    int valid;
    CTF_INFO ctf;
};

// One point of the 2D refinement: phase shift (degrees), defocus U and V (A), angle (degrees).
struct PUVA {
    float P, U, V, A;
};

// Working record of one 2D refinement: for each quantity the best point, the
// second point and two spare slots, then the scores, then U and V at the start
// of the cycle.
struct CTF_2DR_Para {
    float UV_ave_1, UV_ave_2, UV_ave_2r, UV_ave_2re;
    float UV_dif_1, UV_dif_2, UV_dif_2r, UV_dif_2re;
    float A_1, A_2, A_2r, A_2re;
    float ps_1, ps_2, ps_2r, ps_2re;
    float ccc_1, ccc_2, ccc_2r, ccc_2re;
    float U_refined, V_refined;
};

// A refined CTF with its correlation, for the report printer.
struct CTF_REF_INFO {
    CTF_INFO ctf;
    float ccc;
};

// The option record. Texts point to 1024-character buffers owned by the record.
struct VORN_Para {
    float apix, kV, cs, dstep, ac;
    float defL, defH, defS, astm, bfac, resL, resH;
    int boxsize;
    float overlap;
    int tile_step;  // step between tile origins, set from boxsize and overlap when the run is sized
    int convsize, convs_out, refine_2d_T, defA_seeds;
    float smooth_resL;
    int do_basic_rotave, do_EPA, refine_after_EPA, EPA_oversmp;
    float ncc_frac_max, ncc_frac_min;
    int EPA_bg_pn;
    float EPA_resL, EPA_resH;
    int do_Hres_ref;
    float Href_resL, Href_resH, Href_bfac, Href_A_err, Href_U_err, Href_V_err, Href_PS_err;
    int phase_shift_T;
    float phase_shift_L, phase_shift_H, phase_shift_S;
    int cosearch_refine_ps, only_search_ps, estimate_B;
    float B_resH, B_resL, res_lim_cc, res_lim_L;
    int gid, do_mdef_refine, mdef_aveN, mdef_fit, mdef_ave_type;
    int refine_tilt, init_tilt_ang, spare_int56, init_tilt_err;
    int do_local_refine, refine_local_astm, refine_local_ps;
    float local_bfac, local_resH, local_resL, local_A_err, local_U_err, local_V_err, local_PS_err;
    int local_boxsize, local_boxtype;
    float local_radius;
    int local_areatype;
    float local_overlap;
    int local_avetype, local_autogrid_X, local_autogrid_Y, do_validation, do_phase_flip, spare_int78;
    int refine_input_ctf;
    float ps_init, defU_init, defV_init, defA_init, B_init, ps_err, defU_err, defV_err, defA_err, B_err;
    char* input_ctfstar;
    float ctfout_resL, ctfout_resH, ctfout_bfac;
    int write_local_ctf, output_time, plot_res_ring, pre_read, skip_check_mrc, skip_check_gpu;
    char* ctfstar;
    char* logsuffix;
    char* boxsuffix;
    int do_unfinished, reload_ctf_files, dp_maxN_q, dp_silent;

    int get_tries;           // polls of the read-ahead queue before giving up
    int mic_count;           // names in the list
    char** mic_names;        // command-line names first, then those of the input CTF STAR file; null after the last
    CTF_INIT* ctf_init;      // one per name; valid 0 for command-line names
    int star_count;          // names read from the input CTF STAR file
    int cmd_count;           // names given on the command line
    char* first_mic;         // the first readable micrograph, which sizes the run

    // 1 when the option stood on the command line.
    int convsize_set, convs_out_set, defH_set, defL_set, defS_set, bfac_set, resL_set, spare_set, smooth_resL_set;
    int phase_plate;         // phase-plate mode
    int input_phase;         // refine_input_ctf with a phase-shift column in the input CTF STAR file
    int phase_shift_H_set, phase_shift_L_set, phase_shift_S_set, phase_shift_T_set, EPA_resL_set, EPA_resH_set;
    int Href_PS_err_set, Href_U_err_set, Href_V_err_set, Href_A_err_set, boxsize_set, ctfout_resH_set;
    int input_ctfstar_set;
    int apix_set;            // --apix stood on the command line
};

// The 100 option names of the printed list of valid options.
extern const char* const VORN_OPTIONS[100];
void vorn_print_valid_options();
// Information banner, short usage and full help of the program called prog.
void vorn_put_info(const char* prog);
void vorn_print_usage(const char* prog);
void vorn_print_help(const char* prog);
// "Cannot open file ..." or "Cannot write to file ..." and the red "open file '<name>' failed." line; exit 1.
[[noreturn]] void vorn_cannot_open(const char* func, int line, const char* name);
[[noreturn]] void vorn_cannot_write(const char* func, int line, const char* name);
// A line of n copies of c on standard output.
void vorn_put_rule(char c, int n);
// ">>>>>>TIME<<<<<<" line: label right-justified in 64 columns, seconds since t0 (wall_seconds).
double wall_seconds();
void vorn_put_time(const char* label, double t0);

// Points of the defocus grid of the 1D search: defL + j*defS for j below (defH - defL)/defS, at least one.
inline int vorn_defocus_count(const VORN_Para& p) {
    const int n = (int)((p.defH - p.defL) / p.defS);
    return n > 0 ? n : 1;
}

// The largest defocus magnitude (A) the estimator searches or starts a
// refinement from: 100 um, beyond any microscope's range, and well within what
// a float resolves at the refinement's steps.
constexpr float VORN_DEFOCUS_MAX = 1e6f;

// The smallest square box the spectrum accepts once fitted to a micrograph:
// even, and large enough for the background box of boxsize/12 pixels.
constexpr int VORN_MIN_BOXSIZE = 24;

// The smallest background box (pixels) the spectrum's background subtraction
// takes: a window narrower than 2 pixels is empty.
constexpr int VORN_MIN_BACKGROUND_BOX = 2;

// The kinds of local boxes: each micrograph's box file, or an automatic grid.
constexpr int VORN_LOCAL_BOXFILE = 1;
constexpr int VORN_LOCAL_AUTOGRID = 3;

// Floats read from a micrograph file per step on the way to the device.
constexpr size_t VORN_READ_CHUNK = (size_t)1 << 18;

// The smallest micrograph edge that sizes a run: the smallest spectrum box the
// range checks accept. A box fitted below it gives too few rings for a fit.
constexpr int VORN_MIN_SIZING_EDGE = 128;

// What became of one micrograph of the list.
enum class MicOutcome { Pending, Done, AlreadyDone, Failed };

// What a micrograph's log held when the run came to it: whether something is
// there, whether it says "Processing done successfully", and the micrograph
// its "Reading file: " line names ("" without one: no log of a fit, or one
// skipped before it read its micrograph).
struct MicLogRecord {
    bool exists = false, done = false;
    std::string read_mic;
    // Whether it is the log of micrograph mic (the same file name).
    bool names(const char* mic) const;
};

// The run's buffers: a host array of n values (a failed allocation is fatal),
// and the releases that leave the pointer null.
template <class T> T* host_array(size_t n) {
    T* p = (T*)std::calloc(n + (n == 0), sizeof(T));
    if (p == nullptr) vorn_fatal_line(__func__, "src/ctf", __LINE__, "no host memory for %zu values", n);
    return p;
}
template <class T> void free_host(T*& p) {
    std::free(p);
    p = nullptr;
}
inline void free_device(float*& p) {
    if (p != nullptr) gpu_check(cudaFree(p), __LINE__, "src/ctf");
    p = nullptr;
}

class VORN_A {
public:
    VORN_A();
    ~VORN_A();
    VORN_A(const VORN_A&) = delete;
    VORN_A& operator=(const VORN_A&) = delete;

    // ---- the option record ----
    VORN_Para* para = nullptr;

    // ---- results of the micrograph in work ----
    float def_1d = 0;
    float ref_defU = 0, ref_defV = 0, ref_defA = 0, ref_ps = 0, ref_ccc = 0;
    float res_limit = 0, est_bfac = 0;
    // band in force for scoring
    float cur_bfac = 150, cur_resL = 50, cur_resH = 4;
    PUVA puva_st[5];
    int st_best_index = 0;
    PUVA puva_err, puva_init, puva_cur;
    float def_err = 0;

    // ---- open files ----
    FILE* mic_file = nullptr;
    FILE* log_file = nullptr;
    FILE* star_file = nullptr;

    // ---- names (1024-character buffers) ----
    char* mic_name = nullptr;  // points into the name list
    char* ctf_name = nullptr;
    char* pow_name = nullptr;
    char* epa_name = nullptr;
    char* aux_name = nullptr;
    char* log_name = nullptr;

    // ---- headers: the micrograph in work, the first one with nz 1, the first one ----
    MRC_HEAD* head_cur = nullptr;
    MRC_HEAD* head_frame = nullptr;
    MRC_HEAD* head_first = nullptr;

    // ---- sizes, fixed by the first micrograph ----
    int box_nx = 0, box_ny = 0, box_nxh = 0, n_def = 0;
    int tiles_x = 0, tiles_y = 0, n_tiles = 0;
    int box_n = 0, boxh_n = 0;
    size_t mic_n = 0, mic_n_all = 0;  // pixels of one frame, of the whole micrograph

    // ---- buffers of the run (allocated once, freed at the end) ----
    // Host image of a stack's frames. A single frame has none: it is read into
    // d_mic through h_read_chunk, so the run holds one copy of the image.
    float* mic_data = nullptr;
    float* h_read_chunk = nullptr;  // staging of the reads into d_mic (VORN_READ_CHUNK floats)
    float* d_mic = nullptr;         // device micrograph; for a stack, the sum of its frames
    float* d_frame = nullptr;       // device frame buffer
    // y-centred half spectra (boxh_n floats)
    float* d_amp = nullptr;         // amplitude sum over the boxes (and frames)
    float* d_logamp = nullptr;      // its logarithm
    float* d_spec = nullptr;        // log amplitude less its background (box convsize): the spectrum
    float* d_spec2 = nullptr;       // the same with the background box convs_out
    float* d_frame_amp = nullptr;   // amplitude sum of one frame
    float* h_spec = nullptr;        // host copy of the spectrum
    // full amplitude layout (box_n floats)
    float* d_logamp_full = nullptr; // full log amplitude (the ".pow" image)
    float* d_spec_full = nullptr;   // full form of the spectrum
    float* d_full_tmp = nullptr;    // scratch of the reload path
    float* h_logamp_full = nullptr; // host copy of the full log amplitude
    // 1D search
    float* h_profile = nullptr;     // rotational average of the spectrum (box_nxh)
    float* d_profile = nullptr;
    float* h_defs = nullptr;        // defocus grid (n_def)
    float* d_defs = nullptr;
    float* d_sim1d = nullptr;       // simulated profiles, one per defocus (box_nxh * n_def)
    float* d_scores = nullptr;      // dot products (n_def)
    float* h_scores = nullptr;

    // ---- refinement controls ----
    float ref_tol_A = 0.5f, ref_tol_UV = 2.0f, ref_tol_PS = 0.2f;
    int ref_angle_scan = 0, ref_UVave_on = 1, ref_UVdif_on = 1, ref_A_on = 1, ref_PS_on = 0;
    int ref_is_Hres = 0, ref_is_local = 0;
    int ref_A_done = 0, ref_UVave_done = 0, ref_UVdif_done = 0, ref_PS_done = 0;
    int ref_warn_cycles = 1, ref_print_stdout = 1, ref_print_log = 1;

    int mic_index = 0;

    // ---- the batch: what became of each micrograph of the list ----
    std::vector<MicOutcome> mic_outcomes;
    // Checks of the micrograph in work while it is read: pixels that are not
    // finite numbers, and the range of the finite ones.
    size_t mic_nonfinite = 0;
    float mic_min = 0, mic_max = 0;
    int spec_reloaded = 0;  // 1 when this micrograph's spectrum came from an earlier run's ".pow"
    // Each output name belongs to the first micrograph of the list that names it:
    // per micrograph, which of its outputs (in the order of vorn_mic_outputs) are
    // its own, and why it is skipped when one is not ("" when all are).
    std::vector<std::vector<char>> mic_owned_outputs;
    std::vector<std::string> mic_output_clash;
    // Why the micrograph in work is skipped, for its log; its output names are
    // its to replace once its name and file have passed their checks.
    std::string mic_skip_why;
    int mic_outputs_claimed = 0;
    MicLogRecord mic_log_found;  // its log as the run found it

    // ---- local refinement: start slots, band and box sizes ----
    PUVA local_puva_err, local_puva_init, local_puva_cur;
    float local_cur_bfac = 150, local_cur_resL = 50, local_cur_resH = 4;
    int local_box_nx = 256, local_box_ny = 256;

    // ==== EPA, resolution limit and B-factor (src/ctf_epa.cu) ====
    // Buffers of epa_n values, epa_n = EPA_oversmp (box_nxh - 1) + 1, allocated with the run's.
    int epa_n = 0;
    float* d_epa_sim = nullptr;    // simulated 1D |CTF| along the reference defocus
    float* d_epa_phase = nullptr;  // its phase
    float* d_epa_spec = nullptr;   // EPA of the background-subtracted spectrum
    float* d_epa_log = nullptr;    // EPA of the log amplitude, before background subtraction
    float* h_epa_sim = nullptr;
    float* h_epa_phase = nullptr;
    float* h_epa_spec = nullptr;
    float* h_epa_log = nullptr;
    float* h_epa_log_bg = nullptr;  // EPA(Ln|F|) less its polynomial background
    float* h_epa_ccc = nullptr;     // local correlation with the simulation
    float* h_epa_ccc_s = nullptr;   // the same, smoothed
    double* h_epa_bg = nullptr;     // polynomial background of EPA(Ln|F|)
    double* h_epa_x = nullptr;      // abscissa 0, 1, ..., epa_n - 1
    double* h_epa_bg_coef = nullptr;  // EPA_bg_pn + 1 coefficients
    char* epa_log_name = nullptr;     // the micrograph's "_EPA.log"
    std::vector<float2> epa_zeros, epa_peaks;
    int vorn_allocate_epa_data();
    int vorn_free_epa_data();
    int vorn_epa_1d_ccf_B_estimation();
    float vorn_bfac_estimation_from_epa_1d3();
    // Kept without a caller: two dashed lines; the 2D EPA of the spectrum into
    // h_spec; the 1D background mapped back and taken from the log spectrum into h_spec.
    int vorn_epa_1d_ccf_B_estimation2();
    int vorn_do_epa_2d();
    int vorn_pb2dpbf();
    // ==== end of EPA ====
    // ==== read-ahead queue (src/ctf_read_ahead.cu) ====
    mrcf_data_packet dp_cur;                     // the packet being taken
    Data_Queue<mrcf_data_packet> dp_queue{5};
    std::thread dp_reader;
    std::atomic<int> dp_stop{0};                 // raised when the run ends before the reader
    int dp_taken = 0;                            // 1 once the packet of mic_index is taken
    int vorn_data_queue_init(int capacity);
    int vorn_send_all_to_queue_background();
    int vorn_read_infs_data_and_send_to_queue();
    static void* vorn_read_infs_data_and_send_to_queue_wrap(void* object);
    int vorn_send_dp_to_queue(const mrcf_data_packet& dp);
    int vorn_get_dp_from_queue(mrcf_data_packet& dp);
    int vorn_get_dp_from_queue_until_succeed(mrcf_data_packet& dp);
    // Takes this micrograph's packet into its place (vorn_land_mic_data): 0, or -1 (warning) when the
    // reader could not read it; a missing or foreign packet is fatal.
    int vorn_take_mic_data_from_queue();
    // Takes and frees the packet of a micrograph skipped before its data were taken.
    int vorn_drop_dp_of_skipped_mic();
    // Stops the reader, waits for it and frees every packet left.
    int vorn_join_reader();
    // ==== end of read-ahead queue ====

    // ==== outputs: diagnostic images and phase flip (src/ctf_output.cu) ====
    float* d_ctfout_sim = nullptr;   // simulated CTF power, half (boxh_n)
    float* h_ctfout_sim = nullptr;   // its host copy, normalised
    float* h_ctfout_spec = nullptr;  // host copy of the second spectrum, normalised
    float* d_ctfout_epa = nullptr;   // 2D equiphase average of the spectrum, half
    float* h_ctfout_epa = nullptr;
    float* h_ctfout_img = nullptr;   // the combined image (box_n)
    int vorn_allocate_ctf_data_out();
    int vorn_free_ctf_data_out();
    // The ".ctf" image and, with do_EPA, the ".epa" image; the mode has no effect.
    int vorn_write_ctfout(char mode);
    int vorn_mrcf_phase_flip_write();
    // ==== end of outputs ====

    // ======== 2D refinement (src/ctf_refine.cu, src/ctf_drivers.cu) ========
    // Scoring scratch (boxh_n floats): after the final step it holds the CTF of
    // the diagnostic image. A second scratch for the band norms.
    float* d_ref_work = nullptr;
    float* d_ref_square = nullptr;
    // Host copies kept by the refinement after EPA: the equiphase average and the spectrum.
    float* h_ref_epa = nullptr;
    float* h_ref_spec_saved = nullptr;
    // Local refinement: the local half spectrum and its scoring scratch
    // ((local_box_nx/2 + 1) x local_box_ny), owned by the local stage, and the local results.
    float* d_local_spec = nullptr;
    float* d_local_work = nullptr;
    float local_ref_defU = 0, local_ref_defV = 0, local_ref_defA = 0, local_ref_ps = 0, local_ref_ccc = 0;
    // Seed of the refinement's random starts: the clock when negative (the
    // program's behaviour); tests fix it to repeat a refinement.
    long ref_seed = -1;

    void vorn_reseed();
    int vorn_allocate_refine_data();
    int vorn_free_refine_data();
    // Objectives: one trial value, the other values from puva_cur (or local_puva_cur).
    float vorn_tcf_swr_2dh_P(float P);
    float vorn_tcf_swr_2dh_UVave(float m);
    float vorn_tcf_swr_2dh_UVdif(float h);
    float vorn_tcf_swr_2dh_A(float A);
    float vorn_tcf_swr_2dh_P_local(float P);
    float vorn_tcf_swr_2dh_UVave_local(float m);
    float vorn_tcf_swr_2dh_UVdif_local(float h);
    float vorn_tcf_swr_2dh_A_local(float A);
    float vorn_tcf_swr_2dh(PUVA v);
    float vorn_tcf_swr_2dh_local(PUVA v);
    // Line refiners: one simplex step on one quantity.
    int vorn_hcuda_refctf_A_2dh_t3(CTF_2DR_Para& rp);
    int vorn_hcuda_refctf_UVave_2dh_t3(CTF_2DR_Para& rp);
    int vorn_hcuda_refctf_UVdif_2dh_t3(CTF_2DR_Para& rp);
    int vorn_hcuda_refctf_PS_2dh_t3(CTF_2DR_Para& rp);
    int vorn_set_init_defUVA_for_2D_refine(float P0);
    int vorn_set_init_2DR_Para(CTF_2DR_Para& rp);
    int vorn_set_init_2DR_Para_local(CTF_2DR_Para& rp);
    int vorn_hcuda_refctf_2dh();
    int vorn_hcuda_refctf_2dh_local();
    int vorn_hcuda_refctf_end_2dh();
    int vorn_hcuda_refctf_output_FinalValues();
    int vorn_set_bres();
    int vorn_set_refined_PUVAC(float P, float U, float V, float A, float CCC);
    int vorn_set_refined_PUVAC(PUVA v, float CCC);
    int vorn_set_refined_PUVAC_local(float P, float U, float V, float A, float CCC);
    int vorn_set_refined_PUVAC_local(PUVA v, float CCC);
    int vorn_set_current_PUVA(float P, float U, float V, float A);
    int vorn_set_current_PUVA(PUVA v);
    int vorn_check_ctf_warning();
    int vorn_print_rp(const CTF_2DR_Para& rp);
    int vorn_print_ctfrefine_info(int cycles, CTF_REF_INFO* info);
    // The raw score of v divided by the band norms of its |CTF| and of the
    // spectrum, both in the band in force; 0 (with a warning) where a norm is 0.
    float vorn_normalised_score(PUVA v, float raw);
    PUVA vorn_refined_PUVA() const { return PUVA{ref_ps, ref_defU, ref_defV, ref_defA}; }

    // Search-and-refine drivers and multi-start schedules (src/ctf_drivers.cu).
    int vorn_1S2R_st1_noPS();
    int vorn_1S2R_st1_PS();
    int vorn_1S2R();
    int vorn_1S2R_noPS();
    int vorn_1S2R_PS();
    int vorn_set_init_for_Hres_ref();
    int vorn_hcuda_refctf_st2_2dh();
    int vorn_hcuda_refctf_st3_2dh();
    PUVA vorn_get_ctf_st1_center();
    PUVA vorn_get_ctf_st1_reflect(int i);
    PUVA vorn_get_ctf_st1_rextend(int i);
    int vorn_set_init_st1(float P0);
    int vorn_set_init_st1_from_ref2d();
    int vorn_set_init_from_ref2d();
    // The refinement of the chosen type from the start values in force: type 1
    // the cycles, 2 and 3 their schedule (vertices already set); other types nothing.
    int vorn_refine_by_type();
    // ======== end of 2D refinement ========

    // ==== local refinement around particles (src/ctf_local_refine.cu) ====
    char* local_box_name = nullptr;     // coordinate file of the micrograph in work (1024)
    char* local_star_name = nullptr;    // "_local.star" (1024)
    char* local_ctf_name = nullptr;     // "_local.ctf" (1024)
    int local_boxf_usable = 0;
    PTCL_BOX* local_ptcls = nullptr;    // particles of the coordinate file (PTCL_BOX_READ_MAX)
    int local_ptcl_n = 0;
    PTCL_BOX local_ptcl_cur;
    PTCL_BOX* local_areas = nullptr;    // areas around the current particle (PTCL_BOX_READ_MAX)
    int local_area_n = 0, local_area_max = 0;
    int local_step = 0;                 // step between areas (pixels)
    int local_avetype = 0;
    float* d_local_dist = nullptr;      // distance of each area read from its particle
    float* d_local_stack = nullptr;     // the areas read (local_area_max x B x B)
    float* d_local_epa = nullptr;
    float* d_local_w1d = nullptr;       // area weights of average type 1
    float* d_local_w2d = nullptr;       // frequency-weight maps of average type 2
    float* h_local_sim = nullptr;       // display halves and image of the local CTF file
    float* h_local_spec = nullptr;
    float* h_local_img = nullptr;
    FILE* local_star_file = nullptr;
    FILE* local_ctf_file = nullptr;
    MRC_HEAD* local_ctf_head = nullptr;
    // 0, or -1 (with a warning) when the micrograph is to be skipped: its local
    // outputs cannot be written. Refines at the boxes vorn_local_read_boxes kept.
    int vorn_local_refine();
    // Reads the micrograph's particle boxes before its fit: 0, or -1 (with a
    // warning) when its box file cannot be read and it is to be skipped.
    int vorn_local_read_boxes();
    int vorn_get_local_boxf();
    int vorn_check_boxf();
    int vorn_open_output_local_head();
    int vorn_close_output_local();
    int vorn_output_init_local_info();
    // The particle's "Local Values" line and its row of the local STAR file.
    int vorn_output_local_values_one_line();
    int vorn_write_local_ctf_file(int index);
    int vorn_particle_star_write_head(FILE* f);
    int vorn_allocate_ctf_data_local();
    int vorn_free_ctf_data_local();
    int vorn_free_ctf_data_mdef();
    // The local spectrum of the current particle from its areas; the number of areas read.
    int vorn_local_spectrum();
    // Keeps the first n particles read that overlap the micrograph, warning with
    // the count of those left out (local_boxes_note, for the log); returns how many are kept.
    int vorn_local_boxes_inside(int n);
    std::string local_boxes_note;
    // Ends the local stage of a micrograph that is to be skipped: -1 after the
    // warning and the log line saying why (the file at fault named).
    int vorn_local_refine_failed(const char* why, const char* file);
    // ==== end of local refinement ====

    // ---- options (src/ctf_options.cu) ----
    int vorn_init_parameters(int argc, char** argv);
    int vorn_get_parameters(int argc, char** argv);
    int vorn_set_ctfstar(int argc, char** argv, int& i);
    int vorn_get_fnumber_max(int argc, char** argv);
    int vorn_ref_control_init();
    int vorn_check_parameters(int argc, char** argv);
    int vorn_check_boxsizes();
    int vorn_log_warning(const char* format, float value);

    // ---- echoes (src/ctf_echo.cu) ----
    int vorn_put_parameters(int argc, char** argv);
    int vorn_fput_parameters();
    // The parameter groups of both echoes: the standard-output form, or the log form.
    void vorn_put_parameter_groups(FILE* f, bool log_form);

    // ---- lifecycle and run loop (src/ctf.cu) ----
    // The whole job; returns the exit status: 0 when no micrograph failed, else 1.
    int vorn_run_all(int argc, char** argv);
    int vorn_preparation(int argc, char** argv);
    int vorn_check_access_openf_1st();
    int vorn_test_set_io_info();
    // Fits the box sizes to the first micrograph and derives the sizes of the run.
    int vorn_set_sizes();
    int vorn_allocate_ctf_data();
    int vorn_free_ctf_data();
    // One micrograph of the list through every stage, from its preparation to its closing lines.
    MicOutcome vorn_run_one_mic();
    // 0 when the micrograph is ready, 1 when its log says it is done (--do_unfinished), -1 when it is skipped.
    int vorn_prep_one_mic();
    // -1 (with a warning) when the micrograph just read cannot give a fit: pixels
    // that are not finite numbers, or no variance.
    int vorn_check_mic_values();
    // -1 (with a warning) when the refined values are not all finite numbers.
    int vorn_check_fit_finite();
    // Keeps why the micrograph in work is skipped, for its log.
    void vorn_note_skip(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Ends a micrograph that is skipped, leaving nothing a resumed run would
    // take as done (vorn_clear_skipped_outputs). Returns MicOutcome::Failed.
    MicOutcome vorn_skip_mic();
    // The files of a skipped micrograph: its log says why and the results of
    // its earlier fit are removed, where they are its own (a log that names it,
    // or its log opened by this run) and the run could write them; a log that
    // records another micrograph's fit is left as it is.
    void vorn_clear_skipped_outputs();
    // Reads mic_log_found from the log of the micrograph in work.
    void vorn_read_mic_log();
    // With --do_unfinished: its log says it is done and names it. A log the run
    // cannot write counts only while the ".ctf", ".pow" and "_EPA.log" of that
    // fit are all there, since a skip could not mark it.
    bool vorn_mic_is_done() const;
    // Replaces the log of the micrograph in work once it has passed every check
    // before its fit, with the log head and its "Reading file" line: 0, or -1
    // (with a warning) when it cannot be written.
    int vorn_open_mic_log();
    // The closing line of the batch; returns the exit status.
    int vorn_put_batch_summary();
    // Reads the micrograph in work from mic_file: 0, or -1 (warning) on a failed read.
    int vorn_read_mic_data();
    // Puts values first to first + n - 1 of the micrograph read where the run keeps it.
    void vorn_land_mic_data(size_t first, const float* values, size_t n);
    int vorn_is_file_ctf_done(char* log_name);
    int vorn_end_one_mic();
    // The output names of micrograph `name` (1024-character buffers), as the run derives them.
    void vorn_set_output_names(const char* name, char* log, char* ctf, char* pow, char* epa);
    // Refuses (fatal line) a run in which an output file would replace an input
    // or the summary, and finds which micrograph owns each output name; all
    // names are compared as the files they denote (mrcf_file_id).
    int vorn_check_outputs_spare_inputs();
    // -1 (with a warning naming the file and why) when an output of the micrograph
    // in work cannot be written: a directory in its place, no write permission, a
    // folder that does not take it.
    int vorn_check_outputs_writable();

    // ---- spectrum and 1D search (src/ctf_spectrum.cu) ----
    int vorn_generate_ctf_d_data();
    int vorn_generate_ctf_d_data_from_mrc();
    int vorn_reload_pre_ctf_files();
    int vorn_write_powf();
    int vorn_d_data_raw_half2full();
    int vorn_d_data_raw_full2half();
    int vorn_1D_search_t2(float ps);
    // The first defocus of the micrograph in work (def_1d) by the 1D search; in
    // phase-plate mode the phase shift is scanned as well (ref_ps).
    int vorn_first_defocus();
    // The spectrum with the background box convs_out (d_spec2) from this
    // micrograph's log amplitude. Its box filter is the dearest step of the
    // spectrum, so it is made only for the stage that reads it.
    int vorn_second_spectrum();
    // Puts this micrograph's image on the device: a stack's frame sum (a single
    // frame is there once read).
    int vorn_upload_micrograph();

    // ---- log head and CTF STAR summary (src/ctf_star.cu) ----
    // With --do_unfinished an existing summary is resumed: its rows are kept and new ones appended.
    int vorn_open_sumlog();
    // With --do_unfinished the summary is rewritten (only if that changes it) to
    // one row per finished micrograph, in list order, then the rows of
    // micrographs not in this list.
    int vorn_close_sumlog();
    // The row of a micrograph skipped as already done: kept when the resumed
    // summary has it, otherwise rebuilt from its log.
    int vorn_keep_star_row_of_done_mic();
    std::set<std::string> star_rows_kept;  // files (mrcf_file_id) of micrographs with a row in the summary
    int vorn_write_star_oneline();
    int vorn_fput_parameters_ctffind3_like();

private:
    void close_mic_files();
};

// ---- 1D searches on a host spectrum (y-centred half of a boxsize x boxsize box) ----
// Writes the defocus of the best score and the phase shift used; in phase-plate
// mode the phase shift is scanned. Tables go to log when it is not null.
int vorn_1D_search1(float* spectrum, float& defocus, float& phase_shift, VORN_Para* para, FILE* log);
// The defocus values of the n highest peaks of the score curve, highest first.
int vorn_1D_search_t2_more_peaks(float* spectrum, float* defocus, int n, VORN_Para* para, float phase_shift);

// ---- outputs (src/ctf_output.cu) ----
// Normalises a half spectrum for display: deviation s and mean m; an array with
// no spread (an empty band) becomes m everywhere.
void vorn_normz_for_display(float* x, size_t n, float s, float m);
// Phase-flips the nx x ny device image in place where the CTF is negative and
// writes it beside the micrograph as "<name less .mrc/.mrcs>_pf.mrc". With no
// image the micrograph's first section is read from the file.
int mrcf_phase_flip_write(const char* name, float* d_image, int nx, int ny, float apix, float kV, float cs, float ac,
                          float ps, float U, float V, float A);

// The suffixes of a micrograph's outputs, put in place of its .mrc or .mrcs
// (the log's is an option): the one list its writers and vorn_mic_outputs use.
constexpr const char* VORN_CTF_SUFFIX = ".ctf";
constexpr const char* VORN_POW_SUFFIX = ".pow";
constexpr const char* VORN_EPA_IMAGE_SUFFIX = ".epa";
constexpr const char* VORN_EPA_LOG_SUFFIX = "_EPA.log";
constexpr const char* VORN_PF_SUFFIX = "_pf.mrc";
constexpr const char* VORN_LOCAL_STAR_SUFFIX = "_local.star";
constexpr const char* VORN_LOCAL_CTF_SUFFIX = "_local.ctf";
constexpr const char* VORN_AUTOGRID_SUFFIX = "_autogrid.star";

// Every file written for micrograph mic under the options in force, the log
// first; spared_by_reload marks those a spectrum reloaded from an earlier run
// leaves as they are, stale_when_skipped the results of an earlier fit that a
// micrograph skipped now must not keep.
struct MicOutput {
    std::string name;
    bool spared_by_reload;
    bool stale_when_skipped;
};
std::vector<MicOutput> vorn_mic_outputs(const VORN_Para& p, const char* mic);

// ---- CTF STAR files ----
// The file a resumed run writes its summary to whole before moving it over the
// summary: the summary's name with ".part" added.
std::string vorn_summary_aside_name(const char* summary);
// Why a name cannot stand as one word of a STAR row (blank or control
// characters, a quote, comment or label mark, a block or loop keyword at its
// start), or null when it can. A micrograph of such a name is refused: its row
// would not read back.
const char* ctf_star_word_fault(const char* word);
int log_ctfstar_head(FILE* f);
int log_ctfstar_ex_head(FILE* f);
int log_ctfstar_ex_head_phase_shift(FILE* f);
int log_ctfstar_ex_oneline(FILE* f, const char* mic, const char* ctf, float U, float V, float A, float kV, float cs,
                           float ac, float mag, float dstep, float fom, float res);
int log_ctfstar_ex_oneline_phase_shift(FILE* f, const char* mic, const char* ctf, float U, float V, float A, float ps,
                                       float kV, float cs, float ac, float mag, float dstep, float fom, float res);
CTF_INIT ctf2d_to_ctfinit(CTF_INFO ctf);
// One CTF_INFO per line of the file (rows first); the caller frees it.
CTF_INFO* get_all_ctfinfo_from_ctfstar(const char* name);
// Appends one CTF_INIT and one name per data row at position count; returns the number of rows.
// Rows are whole lines; a row is skipped with a warning naming the file and line
// when a CTF value is not a finite single-precision number, a defocus lies
// beyond VORN_DEFOCUS_MAX or its micrograph name does not fit VORN_NAME_LEN.
int get_all_initctf_from_ctfstar(const char* name, CTF_INIT* init, char** names, int& count);
// The same with the room of the lists given: never an entry at capacity or beyond.
int append_initctf_from_ctfstar(const char* name, CTF_INIT* init, char** names, int& count, int capacity);
// One (U, V, angle) per data row of an input CTF STAR file (0 where the column
// is absent); room for one per line. The caller frees it.
float3* get_all_defocus_from_ctfstar(const char* name);

// ==== EPA, resolution limit and B-factor (src/ctf_epa.cu) ====
// Frequency (1/A) of the first CTF zero along defocus D: where chi' first
// reaches pi. 0 when the target phase is negative or the phase never reaches it
// (no defocus, or a phase shift that passes it); the caller then starts at its
// low limit.
float epa_first_zero_frequency(float kV, float Cs, float AC, float P, float D);
// Index limits of the sliding correlation on an EPA profile of n bins; bin i
// stands for the resolution 2 apix n / i.
struct EpaWindows {
    int nmin, nmax;      // window length at the high and at the low end
    int i_start, i_end;  // bins of the low and high limits
};
inline float epa_row_resolution(int i, int n, float apix) { return 2.0f * apix * (float)n / (float)i; }
// Rows of the table and of the crossing search.
inline int epa_first_row(const EpaWindows& w) { return w.i_start + 1; }
inline int epa_last_row(const EpaWindows& w) { return w.i_end - w.nmin - 11; }
// c[i]: 1 below the first window; the correlation of epa with sim over a window
// centred on i, its length falling linearly from nmax to nmin; 0 where the
// correlation is undefined (a flat window) and after the last window.
void epa_local_ccc(float* c, const float* epa, const float* sim, int n, const EpaWindows& w);
// smoothed = c, with a 20-tap Gaussian (offsets -10 .. 9) over the rows that have room for it.
void epa_smooth_ccc(float* smoothed, const float* c, int n, const EpaWindows& w);
// The resolution of the first row whose smoothed correlation is below cc at a
// resolution finer than res_max; without one, that of the last row; 0 (and
// found false) when there are no rows.
float epa_resolution_limit(const float* smoothed, int n, float apix, const EpaWindows& w, float cc, float res_max,
                           bool& found);
// The resolution limit alone (res), with its own buffers: spectrum and
// spectrum_log are device centred half spectra (W x H); the EPA and the
// simulation use the band resL .. resH. The last two values are not used.
int ctf_epa_1d_ccf(float& res, float res_max, float* spectrum, float* spectrum_log, int oversmp, float apix, int W,
                   int H, float kV, float Cs, float AC, float P, float U, float V, float A, float resL, float resH,
                   float, float);
// Kept without a caller: an empty stub (returns 0); B from the EPA values at the
// samples where the 1D phase passes a multiple of pi/2; B from every sample
// between the two resolutions.
int ctf_epa_1d_ccf_B_estimation();
float bfac_estimation_from_epa_1d(const float* epa, const float* phase, float apix, int n, float resL, float resH);
float bfac_estimation_from_epa_1d2(const float* epa, float apix, int n, float res1, float res2);
// Kept without a caller: lines through the raw profile's values at the CTF
// peaks (odd multiples of pi/2 of the simulated phase along defocus D) and at
// its troughs (even multiples), against the bin index, printed with one row per
// bin (resolution, peak line, trough line, value).
int ctf_scale_raw2sim(const float* raw, int n, float apix, float kV, float Cs, float AC, float P, float D, float resL,
                      float resH);
// B = -4 k of the line value = k s^2 + d through the points (s^2, value); 0
// with a warning from func when fewer than three points or the fit fails.
float epa_bfactor_from_points(const std::vector<float2>& points, const char* func);
// ==== end of EPA ====
