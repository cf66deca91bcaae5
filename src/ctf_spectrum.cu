// The spectrum of each micrograph: the amplitudes of overlapping boxes summed
// over a grid (and over the frames of a stack), their logarithm less a smoothed
// background, the ".pow" file, the reload of an earlier run's spectrum, and the
// 1D defocus searches against simulated CTF profiles.
#define VORN_UNIT "src/ctf"
#include "ctf.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cuda_fft.h"
#include "gpu_buffers.h"
#include "math_utils.h"
#include "math_utils_gpu.h"
#include "process2d_core.h"
#include "process2d_raw.h"
#include "str_utils.h"

namespace {

constexpr short POW_CREATOR_ID = 9986;

// Scores every defocus of the grid against a device profile of nxh values:
// the simulated |CTF| of each defocus (one profile after another in sim),
// dotted with the observed profile; the scores are copied to the host.
void score_defocus_grid(const VORN_Para& p, int nxh, float ps, float* d_profile, float* d_defs, int n_def,
                        float* d_sim, float* d_scores, float* h_scores) {
    hcuda_ctf_mod_simulate_1ds_multi_defocus(d_sim, p.apix, nxh, ps, p.kV, p.cs, p.ac, d_defs, n_def, p.bfac, p.resL,
                                             p.resH);
    hcuda_dot_manydata_with_one(d_sim, d_profile, nxh, d_scores, n_def);
    CUDA_CHECK(memcpy_D2H(h_scores, d_scores, (size_t)n_def * sizeof(float)));
}

void fill_defocus_grid(const VORN_Para& p, float* defs, int n_def) {
    for (int j = 0; j < n_def; ++j) defs[j] = p.defL + (float)j * p.defS;
}

void put_score_table(FILE* f, const float* defs, const float* scores, int n_def) {
    for (int j = 0; j < n_def; ++j) std::fprintf(f, "%8d %10.3f %10.6f\n", j, defs[j], scores[j]);
}

// Scratch of the free-standing 1D searches: the profile of a boxsize spectrum
// and the defocus grid of the options, on the host and the device.
struct SearchScratch {
    int box, nxh, n_def;
    std::vector<float> profile, defs, scores;
    float *d_profile = nullptr, *d_defs = nullptr, *d_sim = nullptr, *d_scores = nullptr;

    SearchScratch(const VORN_Para& p, float* spectrum) : box(p.boxsize), nxh(p.boxsize / 2 + 1) {
        n_def = vorn_defocus_count(p);
        profile.resize((size_t)nxh);
        defs.resize((size_t)n_def);
        scores.resize((size_t)n_def);
        spectrum[(size_t)(box / 2) * nxh] = 0.0f;
        rotational_average_2dh(spectrum, profile.data(), (unsigned)nxh, (unsigned)box);
        fill_defocus_grid(p, defs.data(), n_def);
        d_profile = device_copy_of(GPU_SITE, profile.data(), profile.size());
        d_defs = device_copy_of(GPU_SITE, defs.data(), defs.size());
        d_sim = device_buffer<float>(GPU_SITE, (size_t)nxh * n_def);
        d_scores = device_buffer<float>(GPU_SITE, (size_t)n_def);
    }
    ~SearchScratch() { cudaFree_many_pointers(d_profile, d_defs, d_sim, d_scores, nullptr); }
    SearchScratch(const SearchScratch&) = delete;
    SearchScratch& operator=(const SearchScratch&) = delete;

    // Scores at phase shift ps; returns the index of the best score.
    unsigned long score(const VORN_Para& p, float ps) {
        score_defocus_grid(p, nxh, ps, d_profile, d_defs, n_def, d_sim, d_scores, scores.data());
        return hm_max_index(scores.data(), (unsigned long)n_def);
    }
};

}  // namespace

// ================= spectrum of one micrograph =================

// Each frame passes through the frame buffer, where per_frame(k) sees it, and
// is added into the device micrograph, which so holds the frame sum.
template <class PerFrame>
static void upload_frames(VORN_A& a, int nz, PerFrame per_frame) {
    hcuda_empty_f32(a.d_mic, a.mic_n);
    for (int k = 0; k < nz; ++k) {
        std::printf(".");
        std::fflush(stdout);
        CUDA_CHECK(memcpy_H2D(a.d_frame, a.mic_data + (size_t)k * a.mic_n, a.mic_n * sizeof(float)));
        per_frame(k);
        hcuda_addto_float(a.d_mic, a.d_frame, a.mic_n);
    }
}

int VORN_A::vorn_upload_micrograph() {
    // A single frame is read straight into the device micrograph.
    const int nz = head_cur->nz;
    if (nz > 1) upload_frames(*this, nz, [](int) {});
    return 0;
}

int VORN_A::vorn_generate_ctf_d_data_from_mrc() {
    const VORN_Para& p = *para;
    const int nz = head_cur->nz;
    const unsigned nx = (unsigned)head_cur->nx, ny = (unsigned)head_cur->ny, box = (unsigned)p.boxsize;
    hcuda_empty_f32(d_spec, (size_t)boxh_n);
    if (nz < 1) {
        VORN_WARNING("Invalid frame number!!\n\033[m");
        return -1;
    }
    double t0;
    if (nz == 1) {
        std::printf(".\n");
        t0 = wall_seconds();
        hcuda_2d_gridfft_r2c_amp_ave_log_subbg3(d_mic, d_amp, d_logamp, d_spec, nx, ny, box, box, p.tile_step,
                                                p.convsize);
    } else {
        t0 = wall_seconds();
        if (p.mdef_ave_type == 0) {
            // The spectrum of the frame sum.
            upload_frames(*this, nz, [](int) {});
            hcuda_2d_gridfft_r2c_amp_ave(d_mic, d_amp, nx, ny, box, box, p.tile_step);
        } else {
            // The sum of the frames' spectra; the device micrograph still gets the frame sum.
            hcuda_empty_f32(d_amp, (size_t)boxh_n);
            upload_frames(*this, nz, [&](int) {
                hcuda_2d_gridfft_r2c_amp_ave(d_frame, d_frame_amp, nx, ny, box, box, p.tile_step);
                hcuda_addto_float(d_amp, d_frame_amp, (size_t)boxh_n);
            });
        }
        hcuda_2d_logf(d_logamp, d_amp, (unsigned)box_nxh, box);
        hcuda_2dh_fftA_subbg(d_spec, d_logamp, (unsigned)box_nxh, box, p.convsize);
        std::printf("\n");
    }
    vorn_put_time("FFT", t0);
    return 0;
}

int VORN_A::vorn_second_spectrum() {
    hcuda_2dh_fftA_subbg(d_spec2, d_logamp, (unsigned)box_nxh, (unsigned)para->boxsize, para->convs_out);
    return 0;
}

// Host copy of the spectrum for the 1D search, its zero frequency cleared.
static void copy_spectrum_to_host(VORN_A& a) {
    CUDA_CHECK(memcpy_D2H(a.h_spec, a.d_spec, (size_t)a.boxh_n * sizeof(float)));
    a.h_spec[(size_t)(a.para->boxsize / 2) * a.box_nxh] = 0.0f;
}

static void smooth_low_frequencies(VORN_A& a) {
    const VORN_Para& p = *a.para;
    if (p.smooth_resL_set) hcuda_2dh_smooth_low_frequency_inplace(a.d_spec, a.box_nxh, p.boxsize, p.apix, p.smooth_resL);
}

static bool all_finite(const float* x, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

int VORN_A::vorn_generate_ctf_d_data() {
    const VORN_Para& p = *para;
    spec_reloaded = 0;
    if (p.reload_ctf_files && check_file_access(ctf_name, "FR") == 0 && check_file_access(pow_name, "FR") == 0) {
        std::printf("pre-loading CTF files %s \n", ctf_name);
        // Later stages read the device micrograph: it holds this one on this path too.
        vorn_upload_micrograph();
        if (vorn_reload_pre_ctf_files() == 0 && all_finite(h_spec, (size_t)boxh_n)) {
            spec_reloaded = 1;
            return 0;
        }
        // A spectrum that cannot be taken back is made again, as without reloading.
        VORN_WARNING("the spectrum in %s cannot be reloaded; it is computed from the micrograph %s.\n\033[m",
                     pow_name, mic_name);
    }
    if (vorn_generate_ctf_d_data_from_mrc() != 0) return -1;
    smooth_low_frequencies(*this);
    vorn_d_data_raw_half2full();
    hcuda_2d_fftA_half2full(d_logamp_full, d_logamp, (unsigned)p.boxsize, (unsigned)p.boxsize);
    CUDA_CHECK(memcpy_D2H(h_logamp_full, d_logamp_full, (size_t)box_n * sizeof(float)));
    copy_spectrum_to_host(*this);
    if (!all_finite(h_spec, (size_t)boxh_n) || !all_finite(h_logamp_full, (size_t)box_n)) {
        VORN_WARNING("the power spectrum of micrograph %s is not finite; no fit and no \".pow\" are made.\n\033[m",
                     mic_name);
        vorn_note_skip("the power spectrum is not finite");
        return -1;
    }
    vorn_write_powf();
    return 0;
}

int VORN_A::vorn_d_data_raw_half2full() {
    hcuda_2d_fftA_half2full(d_spec_full, d_spec, (unsigned)para->boxsize, (unsigned)para->boxsize);
    return 0;
}

int VORN_A::vorn_d_data_raw_full2half() {
    hcuda_2d_fftA_full2half(d_spec, d_spec_full, (unsigned)para->boxsize, (unsigned)para->boxsize);
    return 0;
}

int VORN_A::vorn_reload_pre_ctf_files() {
    const VORN_Para& p = *para;
    const unsigned box = (unsigned)p.boxsize;
    if (mrcf_read_slice_check_xy_cid(pow_name, 0, 'z', h_logamp_full, p.boxsize, p.boxsize, POW_CREATOR_ID) != 0)
        return -1;
    CUDA_CHECK(memcpy_H2D(d_logamp_full, h_logamp_full, (size_t)box_n * sizeof(float)));
    hcuda_2d_convolution_by_box(d_logamp_full, d_full_tmp, box, box, p.convsize, p.convsize);
    hcuda_x2d_sub(d_spec_full, d_logamp_full, d_full_tmp, box, box);
    vorn_d_data_raw_full2half();
    // The EPA and the B-factor read the log amplitude: it is this ".pow" too,
    // never what the micrograph before left in it.
    hcuda_2d_fftA_full2half(d_logamp, d_logamp_full, box, box);
    // Smoothed before the host copy, as on the path from the image.
    smooth_low_frequencies(*this);
    copy_spectrum_to_host(*this);
    return 0;
}

int VORN_A::vorn_write_powf() {
    const int box = para->boxsize;
    float* img = h_logamp_full;
    // The zero-frequency pixel is replaced by the mean of its four neighbours.
    const size_t c = (size_t)(box / 2) * box + (box / 2 - 1);
    img[c] = (img[c - box] + img[c + box] + img[c - 1] + img[c + 1]) / 4.0f;
    FILE* f = std::fopen(pow_name, "w+");
    if (f == nullptr) vorn_cannot_write(__func__, __LINE__, pow_name);
    MRC_HEAD* h = mrc_new_head();
    mrc_set_head_xyz_mode(h, box, box, 1, MRC_MODE_FLOAT);
    mrc_set_head_mmm_from_data(h, img, (size_t)box_n);
    h->creatid = POW_CREATOR_ID;
    const int written = mrc_write_head_data(f, h, img);
    mrc_delete_head(h);
    if (std::fclose(f) != 0 || written != 0) {
        std::printf("Cannot write to file %s. Permission denied or no space left!\n", pow_name);
        VORN_FATAL("writing file '%s' failed.", pow_name);
    }
    return 0;
}

// ================= 1D searches =================

int VORN_A::vorn_1D_search_t2(float ps) {
    const VORN_Para& p = *para;
    rotational_average_2dh(h_spec, h_profile, (unsigned)box_nxh, (unsigned)p.boxsize);
    CUDA_CHECK(memcpy_H2D(d_profile, h_profile, (size_t)box_nxh * sizeof(float)));
    fill_defocus_grid(p, h_defs, n_def);
    CUDA_CHECK(memcpy_H2D(d_defs, h_defs, (size_t)n_def * sizeof(float)));
    score_defocus_grid(p, box_nxh, ps, d_profile, d_defs, n_def, d_sim1d, d_scores, h_scores);
    def_1d = h_defs[hm_max_index(h_scores, (unsigned long)n_def)];
    if (ref_print_log && log_file != nullptr)
        put_score_table(log_file, h_defs, h_scores, n_def);
    else if (ref_print_stdout)
        put_score_table(stdout, h_defs, h_scores, n_def);
    return 0;
}

int VORN_A::vorn_first_defocus() {
    if (para->phase_plate) return vorn_1D_search1(h_spec, def_1d, ref_ps, para, ref_print_log ? log_file : nullptr);
    return vorn_1D_search_t2(0.0f);
}

int vorn_1D_search1(float* spectrum, float& defocus, float& phase_shift, VORN_Para* para, FILE* log) {
    const VORN_Para& p = *para;
    SearchScratch s(p, spectrum);
    phase_shift = p.phase_shift_L;
    if (!p.phase_plate) {
        defocus = s.defs[s.score(p, 0.0f)];
        if (log) put_score_table(log, s.defs.data(), s.scores.data(), s.n_def);
        return 0;
    }
    // The defocus reported is that of the best phase shift, not of the last one tried.
    float best = -1.0f;
    defocus = s.defs[0];
    for (long k = 0;; ++k) {
        const float ps = p.phase_shift_L + (float)k * p.phase_shift_S;
        if (!(ps < p.phase_shift_H) || (k > 0 && !(p.phase_shift_S > 0.0f))) break;
        const unsigned long m = s.score(p, ps);
        if (s.scores[m] > best) {
            best = s.scores[m];
            phase_shift = ps;
            defocus = s.defs[m];
            if (log) put_score_table(log, s.defs.data(), s.scores.data(), s.n_def);
        }
    }
    return 0;
}

int vorn_1D_search_t2_more_peaks(float* spectrum, float* defocus, int n, VORN_Para* para, float phase_shift) {
    const VORN_Para& p = *para;
    SearchScratch s(p, spectrum);
    s.score(p, phase_shift);
    put_score_table(stdout, s.defs.data(), s.scores.data(), s.n_def);
    if (n <= 0) return 0;
    std::vector<unsigned long> peaks((size_t)n, (unsigned long)s.n_def);
    peak_indices(s.scores.data(), (unsigned long)s.n_def, peaks.data(), (unsigned long)n);
    int found = 0;
    for (int i = 0; i < n && peaks[(size_t)i] < (unsigned long)s.n_def; ++i) defocus[found++] = s.defs[peaks[(size_t)i]];
    return found;
}
