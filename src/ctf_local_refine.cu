// Local refinement around particles: for each particle of the micrograph's
// coordinate file (or of an automatic grid), the log amplitude spectra of the
// areas around it are averaged into one local spectrum, on which the defocus is
// refined from the micrograph's values. Each particle gives a "Local Values"
// line, a row of "_local.star" and, when asked, an image of "_local.ctf".
#define VORN_UNIT "src/ctf"
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctf.h"
#include "cuda_fft.h"
#include "cuda_general.h"
#include "gpu_buffers.h"
#include "process2d_raw.h"
#include "report.h"
#include "starfile.h"
#include "str_utils.h"

namespace {

constexpr float TWO_OVER_PI = 0.63661975f;

template <class T> T* host_new(size_t n) {
    T* p = (T*)std::calloc(n == 0 ? 1 : n, sizeof(T));
    if (p == nullptr) VORN_FATAL("no host memory for %zu values", n);
    return p;
}
template <class T> void host_free(T*& p) {
    std::free(p);
    p = nullptr;
}
void device_free(float*& p) {
    if (p != nullptr) device_release(GPU_SITE, p);
    p = nullptr;
}

// Both to standard output and to the log.
void put_both(FILE* log, const char* text) {
    std::fputs(text, stdout);
    if (log != nullptr) std::fputs(text, log);
}

}  // namespace

// ================= buffers of the run =================

int VORN_A::vorn_allocate_ctf_data_local() {
    VORN_Para& p = *para;
    // The local box is even and fitted to the micrograph already; it must also
    // hold the spectrum's background box, and the areas must move forward.
    if (p.local_boxsize < VORN_MIN_BOXSIZE) {
        std::printf("Warning: invalid --local_boxsize %d! The local spectrum needs at least %d pixels. Set it as %d.\n",
                    p.local_boxsize, VORN_MIN_BOXSIZE, VORN_MIN_BOXSIZE);
        p.local_boxsize = VORN_MIN_BOXSIZE;
    }
    local_step = (int)((double)p.local_boxsize * (1.0 - (double)p.local_overlap));
    if (local_step < 1) {
        std::printf("Warning: invalid --local_overlap %.2f for --local_boxsize %d! Areas would not move. Set it as "
                    "0.5.\n", p.local_overlap, p.local_boxsize);
        p.local_overlap = 0.5f;
        local_step = p.local_boxsize / 2;
    }
    local_box_nx = local_box_ny = p.local_boxsize;
    local_avetype = p.local_avetype;
    const int B = p.local_boxsize, nxh = B / 2 + 1;
    const size_t half = (size_t)nxh * (size_t)B;

    local_box_name = host_new<char>(VORN_NAME_LEN);
    local_star_name = host_new<char>(VORN_NAME_LEN);
    local_ctf_name = host_new<char>(VORN_NAME_LEN);
    local_ptcls = host_new<PTCL_BOX>(PTCL_BOX_READ_MAX);
    local_areas = host_new<PTCL_BOX>(PTCL_BOX_READ_MAX);
    // The number of areas depends only on the radius and the step: size the stack once for it.
    PTCL_BOX centre = one_new_ptcl_box();
    centre.w = centre.h = B;
    local_area_max = auto_generate_neighbor_boxes_circular(local_areas, PTCL_BOX_READ_MAX, &centre, p.local_radius,
                                                           B, local_step);
    if (local_area_max < 1) local_area_max = 1;
    d_local_stack = device_buffer<float>(GPU_SITE, (size_t)local_area_max * (size_t)B * (size_t)B);
    d_local_dist = device_buffer<float>(GPU_SITE, (size_t)local_area_max);
    d_local_spec = device_buffer<float>(GPU_SITE, half);
    d_local_work = device_buffer<float>(GPU_SITE, half);
    d_local_epa = device_buffer<float>(GPU_SITE, half);
    if (local_avetype == 1) d_local_w1d = device_buffer<float>(GPU_SITE, (size_t)local_area_max);
    if (local_avetype == 2) d_local_w2d = device_buffer<float>(GPU_SITE, (size_t)local_area_max * half);
    h_local_sim = host_new<float>(half);
    h_local_spec = host_new<float>(half);
    h_local_img = host_new<float>((size_t)B * (size_t)B);
    local_ctf_head = mrc_new_head();
    mrc_set_head_xyz_mode(local_ctf_head, B, B, 1, 2);
    return 0;
}

int VORN_A::vorn_free_ctf_data_local() {
    vorn_close_output_local();
    for (char** c : {&local_box_name, &local_star_name, &local_ctf_name}) host_free(*c);
    host_free(local_ptcls);
    host_free(local_areas);
    for (float** h : {&h_local_sim, &h_local_spec, &h_local_img}) host_free(*h);
    for (float** d : {&d_local_stack, &d_local_dist, &d_local_spec, &d_local_work, &d_local_epa, &d_local_w1d,
                      &d_local_w2d})
        device_free(*d);
    mrc_delete_head(local_ctf_head);
    local_ctf_head = nullptr;
    return 0;
}

int VORN_A::vorn_free_ctf_data_mdef() { return 0; }

// ================= coordinate file and outputs =================

int VORN_A::vorn_check_boxf() {
    const char* emph = "\033[41m\033[1m\033[5mWarning in function %s(), file %s on line %d: ";
    if (access(local_box_name, F_OK) != 0) {
        std::printf(emph, __func__, VORN_UNIT, __LINE__);
        std::printf("the box file %s does NOT exist! Local refinement automatically ignored!Maybe you want to check "
                    "the option '--boxsuffix'  as well. \033[m\n\n", local_box_name);
        local_boxf_usable = 0;
    } else if (access(local_box_name, R_OK) != 0) {
        std::printf(emph, __func__, VORN_UNIT, __LINE__);
        std::printf("the box file %s are NOT readable! Local refinement automatically ignored! Maybe you want to "
                    "check the option '--boxsuffix' as well. \033[m\n\n", local_box_name);
        local_boxf_usable = 0;
    }
    return 0;
}

int VORN_A::vorn_get_local_boxf() {
    const VORN_Para& p = *para;
    local_boxf_usable = 1;
    if (p.local_boxtype == VORN_LOCAL_BOXFILE) {
        mrcf_set_outname_by_suffix(local_box_name, mic_name, p.boxsuffix);
        vorn_check_boxf();
    } else if (p.local_boxtype == VORN_LOCAL_AUTOGRID) {
        mrcf_set_outname_by_suffix(local_box_name, mic_name, VORN_AUTOGRID_SUFFIX);
        auto_grid_starboxf_2d_from_center_nxm(local_box_name, (unsigned)head_cur->nx, (unsigned)head_cur->ny,
                                              (unsigned)p.local_boxsize, (unsigned)p.local_autogrid_X,
                                              (unsigned)p.local_autogrid_Y);
    }
    return 0;
}

int VORN_A::vorn_particle_star_write_head(FILE* f) { return particle_star_write_head(f); }

// The local output file name opened with "w+"; null after a warning when it cannot be.
static FILE* open_local_output(const char* name) {
    FILE* f = std::fopen(name, "w+");
    if (f == nullptr) VORN_WARNING("Cannot write to file %s. Permission denied or no space left!\n\033[m", name);
    return f;
}

int VORN_A::vorn_open_output_local_head() {
    mrcf_set_outname_by_suffix(local_star_name, mic_name, VORN_LOCAL_STAR_SUFFIX);
    local_star_file = open_local_output(local_star_name);
    if (local_star_file == nullptr) return -1;
    std::printf("\nWriting out star file %s for local refinement\n", local_star_name);
    if (log_file != nullptr) std::fprintf(log_file, "\nWriting out star file %s for local refinement\n", local_star_name);
    vorn_particle_star_write_head(local_star_file);
    // A micrograph without particles gets no empty image file.
    if (para->write_local_ctf && local_ptcl_n > 0) {
        mrcf_set_outname_by_suffix(local_ctf_name, mic_name, VORN_LOCAL_CTF_SUFFIX);
        local_ctf_file = open_local_output(local_ctf_name);
        if (local_ctf_file == nullptr) {
            vorn_close_output_local();
            return -1;
        }
    }
    return 0;
}

int VORN_A::vorn_close_output_local() {
    for (FILE** f : {&local_star_file, &local_ctf_file}) {
        if (*f != nullptr) std::fclose(*f);
        *f = nullptr;
    }
    return 0;
}

int VORN_A::vorn_output_init_local_info() {
    char text[2 * VORN_NAME_LEN];
    std::snprintf(text, sizeof text, "\nUsing box file %s for local refinement\n", local_box_name);
    put_both(log_file, text);
    std::snprintf(text, sizeof text, "Total particle number for local refinement: %d\n", local_ptcl_n);
    put_both(log_file, text);
    std::printf("\n       X       Y    Defocus_U   Defocus_V      Angle    Phase_shift   CCC\n");
    if (log_file != nullptr)
        std::fprintf(log_file, "\n       X       Y    Defocus_U   Defocus_V      Angle    Phase_shift   CCC\n");
    return 0;
}

int VORN_A::vorn_output_local_values_one_line() {
    const VORN_Para& p = *para;
    const PTCL_BOX& b = local_ptcl_cur;
    const int x = b.x + b.w / 2, y = b.y + b.h / 2;
    // A particle without an area inside the micrograph carries the micrograph's
    // values, on the same line as every other (readers look for "  Local Values").
    char text[256];
    if (p.phase_plate)
        std::snprintf(text, sizeof text, "%8d%8d%12.2f%12.2f%12.2f%12.2f%12.6f  Local Values\n", x, y,
                      local_ref_defU, local_ref_defV, local_ref_defA, local_ref_ps, local_ref_ccc);
    else
        std::snprintf(text, sizeof text, "%8d%8d%12.2f%12.2f%12.2f%12.6f  Local Values\n", x, y, local_ref_defU,
                      local_ref_defV, local_ref_defA, local_ref_ccc);
    put_both(log_file, text);
    particle_star_write_oneline(local_star_file, mic_name, x, y, local_ref_defU, local_ref_defV, local_ref_defA, p.kV,
                                p.cs, p.ac, 10000.0f * p.dstep / p.apix, p.dstep, local_ref_ccc, b.score,
                                local_ref_ps);
    return 0;
}

int VORN_A::vorn_write_local_ctf_file(int index) {
    if (local_ctf_file == nullptr) return 0;
    const VORN_Para& p = *para;
    const int B = p.local_boxsize, nxh = B / 2 + 1;
    const size_t half = (size_t)nxh * (size_t)B;
    // The left half shows the CTF at the particle's result.
    hcuda_ctf_pow_simulate_2dh(d_local_work, p.apix, nxh, B, local_ref_ps, p.kV, p.cs, p.ac, local_ref_defU,
                               local_ref_defV, local_ref_defA, p.local_bfac, p.local_resL, p.local_resH);
    CUDA_CHECK(memcpy_D2H(h_local_sim, d_local_work, half * sizeof(float)));
    const float* right = d_local_spec;
    if (p.do_EPA) {
        hcuda_2dh_EPA(d_local_epa, d_local_spec, nxh, B, p.apix, p.kV, p.cs, p.ac, local_ref_ps, local_ref_defU,
                      local_ref_defV, local_ref_defA, p.local_resL, p.local_resH);
        right = d_local_epa;
    }
    CUDA_CHECK(memcpy_D2H(h_local_spec, right, half * sizeof(float)));
    vorn_normz_for_display(h_local_sim, half, sqrtf(p.apix / p.local_resH),
                           (float)((2.0 / CTF_PI) * std::sqrt((double)p.local_resH * CTF_PI / (4.0 * p.apix))));
    vorn_normz_for_display(h_local_spec, half, 1.0f, TWO_OVER_PI);
    cpu_2dh_ctf_sim_raw_combine(h_local_img, h_local_sim, h_local_spec, B, B);
    if (index == 0) {
        local_ctf_head->nz = local_ptcl_n;
        mrc_set_head_mmm_from_data(local_ctf_head, h_local_img, (size_t)B * (size_t)B);
        mrc_write_head(local_ctf_file, local_ctf_head);
    }
    mrc_add_slice(local_ctf_file, local_ctf_head, h_local_img);
    return 0;
}

// ================= the driver =================

int VORN_A::vorn_local_refine_failed(const char* why, const char* file) {
    ref_is_local = 0;
    VORN_WARNING("micrograph %s skipped: %s (%s); no result is written.\n\033[m", mic_name, why, file);
    vorn_note_skip("%s (%s)", why, file);
    return -1;
}

int VORN_A::vorn_local_boxes_inside(int n) {
    const int nx = head_cur->nx, ny = head_cur->ny;
    const int kept = keep_ptcl_boxes_inside(local_ptcls, n, nx, ny);
    if (kept == n) return n;
    char text[2 * VORN_NAME_LEN];
    std::snprintf(text, sizeof text, "%d of the %d particle boxes of %s lie wholly outside the micrograph (%d x %d "
                  "pixels); they are skipped.", n - kept, n, local_box_name, nx, ny);
    VORN_WARNING("%s\n\033[m", text);
    local_boxes_note = text;  // the log is written once the micrograph is ready for its fit
    return kept;
}

int VORN_A::vorn_local_spectrum() {
    const VORN_Para& p = *para;
    const unsigned B = (unsigned)p.local_boxsize;
    local_area_n = auto_generate_neighbor_boxes_circular(local_areas, PTCL_BOX_READ_MAX, &local_ptcl_cur,
                                                         p.local_radius, (int)B, local_step);
    if (local_area_n > local_area_max) local_area_n = local_area_max;
    hcuda_empty_f32(d_local_stack, (size_t)local_area_max * B * B);
    const int k = hcuda_2d_read_ptcls_to_2ds_from_boxes(d_local_stack, local_areas, d_local_dist, local_area_n, d_mic,
                                                        (unsigned)head_cur->nx, (unsigned)head_cur->ny);
    if (k <= 0) {
        hcuda_empty_f32(d_local_spec, (size_t)(B / 2 + 1) * B);
        return 0;
    }
    const int g = (int)B / 12;
    int type = local_avetype;
    if (type != 0 && type != 1 && type != 2) {
        VORN_WARNING("Unknown local CTF average type! Will use equally average instead!\n\033[m");
        type = 0;
    }
    if (type == 1) {
        hcuda_2ds_fft_amp_local_w1d_gen(d_local_w1d, k, d_local_dist, p.local_radius);
        hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(d_local_stack, d_local_spec, B, B, k, g, d_local_w1d, 1);
    } else if (type == 2) {
        hcuda_2ds_fft_amp_local_w2ds_gen(d_local_w2d, (int)B / 2 + 1, (int)B, k, d_local_dist, p.local_radius, p.apix,
                                         p.local_resH);
        hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(d_local_stack, d_local_spec, B, B, k, g, d_local_w2d, 2);
    } else {
        hcuda_2ds_fft_r2c_amp_ave_log_subbg(d_local_stack, d_local_spec, B, B, k, g);
    }
    return k;
}

int VORN_A::vorn_local_read_boxes() {
    const VORN_Para& p = *para;
    local_ptcl_n = 0;
    local_boxes_note.clear();
    vorn_get_local_boxf();
    if (!local_boxf_usable) return 0;  // local refinement is left out, the fit goes on
    // The reader would give no boxes for a file of no format it knows: that is
    // a box file it cannot read, not a micrograph without particles.
    if (p.local_boxtype == VORN_LOCAL_BOXFILE && get_boxf_suffixf(local_box_name) == 0)
        return vorn_local_refine_failed("its box file, neither .box nor .star, cannot be read", local_box_name);
    const int read = read_all_ptcl_boxes(local_ptcls, PTCL_BOX_READ_MAX, local_box_name);
    if (read < 0) return vorn_local_refine_failed("its box file cannot be read", local_box_name);
    local_ptcl_n = vorn_local_boxes_inside(read);
    return 0;
}

int VORN_A::vorn_local_refine() {
    const VORN_Para& p = *para;
    ref_is_local = 1;
    local_puva_init = PUVA{ref_ps, ref_defU, ref_defV, ref_defA};
    if (!local_boxf_usable) {
        // The local STAR file still says that this micrograph has no local values.
        const int opened = vorn_open_output_local_head();
        vorn_close_output_local();
        ref_is_local = 0;
        return opened == 0 ? 0 : vorn_local_refine_failed("its local outputs cannot be written", local_star_name);
    }
    if (vorn_open_output_local_head() != 0)
        return vorn_local_refine_failed("its local outputs cannot be written", local_star_name);
    vorn_output_init_local_info();
    for (int j = 0; j < local_ptcl_n; ++j) {
        local_ptcl_cur = local_ptcls[j];
        const int read = vorn_local_spectrum();
        if (read > 0) {
            ref_UVave_on = 1;
            ref_UVdif_on = ref_A_on = ref_PS_on = 0;
            if (p.refine_local_astm) ref_A_on = ref_UVdif_on = 1;
            if (p.refine_local_ps) ref_PS_on = 1;
            vorn_hcuda_refctf_2dh_local();
        } else {
            vorn_set_refined_PUVAC_local(ref_ps, ref_defU, ref_defV, ref_defA, ref_ccc);
        }
        vorn_output_local_values_one_line();
        if (p.write_local_ctf) vorn_write_local_ctf_file(j);
    }
    vorn_close_output_local();
    ref_is_local = 0;
    return 0;
}
