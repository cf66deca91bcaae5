// The estimator's images of a fitted micrograph: the ".ctf" diagnostic image
// (simulated CTF power beside the observed spectrum), the ".epa" image
// (beside its equiphase average) and the phase-flipped micrograph "_pf.mrc".
#define VORN_UNIT "src/ctf"
#include <cmath>
#include <cstdlib>
#include <vector>

#include "ctf.h"
#include "cuda_general.h"
#include "gpu_buffers.h"
#include "math_utils.h"
#include "process2d_raw.h"
#include "str_utils.h"
#include "report.h"

namespace {

constexpr float TWO_OVER_PI = 0.63661975f;  // mean of |sin| over a period

float* host_floats(size_t n) {
    float* p = (float*)std::malloc(n * sizeof(float));
    if (p == nullptr) VORN_FATAL("no host memory for %zu values", n);
    return p;
}

}  // namespace

void vorn_normz_for_display(float* x, size_t n, float s, float m) {
    float hi = 0, lo = 0, mean = 0;
    hm_max_min_mean(x, n, hi, lo, mean);
    if (hi > lo) {
        hm_normz_inplace(x, n, s, m);
        return;
    }
    for (size_t i = 0; i < n; ++i) x[i] = m;
}

int VORN_A::vorn_allocate_ctf_data_out() {
    d_ctfout_sim = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    d_ctfout_epa = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    h_ctfout_sim = host_floats((size_t)boxh_n);
    h_ctfout_spec = host_floats((size_t)boxh_n);
    h_ctfout_epa = host_floats((size_t)boxh_n);
    h_ctfout_img = host_floats((size_t)box_n);
    return 0;
}

int VORN_A::vorn_free_ctf_data_out() {
    for (float** d : {&d_ctfout_sim, &d_ctfout_epa}) {
        if (*d != nullptr) device_release(GPU_SITE, *d);
        *d = nullptr;
    }
    for (float** h : {&h_ctfout_sim, &h_ctfout_spec, &h_ctfout_epa, &h_ctfout_img}) {
        std::free(*h);
        *h = nullptr;
    }
    return 0;
}

int VORN_A::vorn_write_ctfout(char /*mode*/) {
    const VORN_Para& p = *para;
    const int box = p.boxsize;
    const size_t nh = (size_t)boxh_n;
    auto draw_ring = [&]() {
        if (p.plot_res_ring && res_limit > 0.0f) cpu_2d_plot_circle(h_ctfout_img, box, box, p.apix, res_limit, 0.0f);
    };

    hcuda_ctf_pow_simulate_2dh(d_ctfout_sim, p.apix, box_nxh, box, ref_ps, p.kV, p.cs, p.ac, ref_defU, ref_defV,
                               ref_defA, p.ctfout_bfac, p.ctfout_resL, p.ctfout_resH);
    CUDA_CHECK(memcpy_D2H(h_ctfout_sim, d_ctfout_sim, nh * sizeof(float)));
    const float sim_sd = sqrtf(p.apix / p.ctfout_resH);
    const float sim_mean = (float)((2.0 / CTF_PI) * std::sqrt((double)p.ctfout_resH * CTF_PI / (4.0 * p.apix)));
    vorn_normz_for_display(h_ctfout_sim, nh, sim_sd, sim_mean);

    // This micrograph's spectrum with the display background box, made here so
    // that a stack shows its own frames.
    vorn_second_spectrum();
    CUDA_CHECK(memcpy_D2H(h_ctfout_spec, d_spec2, nh * sizeof(float)));
    vorn_normz_for_display(h_ctfout_spec, nh, 1.0f, TWO_OVER_PI);
    cpu_2dh_smooth_low_frequency_inplace(h_ctfout_spec, box_nxh, box, p.apix, p.ctfout_resL);
    cpu_2dh_ctf_sim_raw_combine(h_ctfout_img, h_ctfout_sim, h_ctfout_spec, box, box);
    draw_ring();
    mrcf_write_xyz_data(ctf_name, h_ctfout_img, box, box, 1);

    if (!p.do_EPA) return 0;
    hcuda_2dh_EPA(d_ctfout_epa, d_spec, box_nxh, box, p.apix, p.kV, p.cs, p.ac, ref_ps, ref_defU, ref_defV, ref_defA,
                  p.ctfout_resL, p.ctfout_resH);
    CUDA_CHECK(memcpy_D2H(h_ctfout_epa, d_ctfout_epa, nh * sizeof(float)));
    vorn_normz_for_display(h_ctfout_epa, nh, 1.0f, TWO_OVER_PI);
    cpu_2dh_ctf_sim_raw_combine(h_ctfout_img, h_ctfout_sim, h_ctfout_epa, box, box);
    draw_ring();
    mrcf_write_xyz_data(epa_name, h_ctfout_img, box, box, 1);
    return 0;
}

int mrcf_phase_flip_write(const char* name, float* d_image, int nx, int ny, float apix, float kV, float cs, float ac,
                          float ps, float U, float V, float A) {
    char out_name[VORN_NAME_LEN];
    mrcf_set_outname_by_suffix(out_name, name, VORN_PF_SUFFIX);
    const size_t n = (size_t)nx * (size_t)ny;
    float* d_own = nullptr;
    if (d_image == nullptr) {
        float* first = mrcf_get_data_sliceN(name, 0);
        if (first == nullptr) VORN_FATAL("cannot read micrograph %s to flip its phases", name);
        d_own = d_image = device_copy_of(GPU_SITE, first, n);
        std::free(first);
    }
    std::printf("\n%s flipping phases ...\n", name);
    // Flipped in the transform's own row order, so that any size, odd ones too,
    // comes back unmoved.
    hcuda_phase_flip_r2d_c(d_image, d_image, (unsigned)nx, (unsigned)ny, apix, kV, cs, ac, ps, U, V, A);
    // The header carries the pixel size the flip used (cell edge / samples), so
    // readers of the file get its scale.
    MRC_HEAD head{};
    mrc_init_head(&head);
    mrc_set_head_xyz_mode(&head, nx, ny, 1, MRC_MODE_FLOAT);
    head.mx = nx;
    head.my = ny;
    head.cella[0] = (float)nx * apix;
    head.cella[1] = (float)ny * apix;
    head.cella[2] = apix;
    mrcf_write_head_ddata(out_name, &head, d_image);
    if (d_own != nullptr) device_release(GPU_SITE, d_own);
    return 0;
}

int VORN_A::vorn_mrcf_phase_flip_write() {
    const VORN_Para& p = *para;
    return mrcf_phase_flip_write(mic_name, d_mic, head_cur->nx, head_cur->ny, p.apix, p.kV, p.cs, p.ac, ref_ps,
                                 ref_defU, ref_defV, ref_defA);
}
