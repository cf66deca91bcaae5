// Local defocus from the tilt geometry of a micrograph, and the averaged
// spectrum of an automatic box grid for a tilt refinement.
#define VORN_UNIT "src/ctf_tilt"
#include "ctf_tilt.h"

#include <cmath>
#include <cstdio>

#include "boxfile.h"
#include "cuda_fft.h"
#include "gpu_buffers.h"
#include "process2d_core.h"
#include "process2d_raw.h"

float get_tilt_local_height(int x, int y, int nx, int ny, float apix, float axis_angle, float tilt_angle) {
    const float cx = (float)(nx - 1) / 2.0f, cy = (float)(ny - 1) / 2.0f;
    const double axis = (double)axis_angle * CTF_PI / 180.0;
    const float t = tanf((float)((double)tilt_angle * CTF_PI / 180.0));
    const float dx = (float)x - cx, dy = (float)y - cy;
    return (float)((double)apix * ((double)dy * std::cos(axis) - (double)dx * std::sin(axis)) * (double)t);
}

void get_tilt_local_def_one(CTF_INFO& out, int x, int y, CTF_INFO centre, int nx, int ny, float apix,
                            float axis_angle, float tilt_angle) {
    const float d = get_tilt_local_height(x, y, nx, ny, apix, axis_angle, tilt_angle);
    out = centre;
    out.U += d;
    out.V += d;
}

void get_tilt_local_defs(CTF_INFO* out, const int2* positions, int count, CTF_INFO centre, int nx, int ny, float apix,
                         float axis_angle, float tilt_angle) {
    for (int i = 0; i < count; ++i)
        get_tilt_local_def_one(out[i], positions[i].x, positions[i].y, centre, nx, ny, apix, axis_angle, tilt_angle);
}

void print_tilt_local_defs(const CTF_INFO* records, int count, const int2* positions) {
    if (positions != nullptr) std::printf("         X         Y");
    std::printf("        kV        Cs        AC        P           U           V         A         B         \n");
    for (int i = 0; i < count; ++i) {
        const CTF_INFO& c = records[i];
        if (positions != nullptr) std::printf("%10d%10d", positions[i].x, positions[i].y);
        std::printf("%10.2f%10.2f%10.3f%10.2f%12.2f%12.2f%10.2f%10.2f\n", c.kV, c.Cs, c.AC, c.P, c.U, c.V, c.A, c.B);
    }
}

int get_tilt_autogrid_boxes(std::vector<int2>& centres, std::vector<int2>& corners, int nx, int ny, int box,
                            float overlap) {
    centres.clear();
    corners.clear();
    const int step = (int)((float)box * (1.0f - overlap));
    if (step <= 0) {
        VORN_WARNING("overlap %g leaves no step between boxes of %d pixels; no grid!\n\033[m", overlap, box);
        return -1;
    }
    std::vector<uint2> grid;
    auto_gridbox_2d_from_center(grid, (unsigned)step, (unsigned)nx, (unsigned)step, (unsigned)ny, (unsigned)box);
    for (const uint2& p : grid) {
        centres.push_back(make_int2((int)p.x, (int)p.y));
        corners.push_back(make_int2((int)p.x - box / 2, (int)p.y - box / 2));
    }
    return (int)centres.size();
}

namespace {

// The mean over the boxes of their log amplitude spectra (y-centred half of box
// x box), less its soft local background, into mean.
void tilt_grid_mean_spectrum(float* mean, std::vector<int2>& corners, const float* image, int nx, int ny, int box) {
    const unsigned nxh = (unsigned)box / 2 + 1, n = (unsigned)corners.size();
    const size_t half = image_pixels(nxh, box);
    float* amplitudes = device_buffer<float>(GPU_SITE, half * n);
    float* logs = device_buffer<float>(GPU_SITE, half * n);
    float* full = device_buffer<float>(GPU_SITE, image_pixels(box, box));
    hcuda_2d_boxes_fft_r2c_mod(amplitudes, corners.data(), (int)n, box, image, nx, ny);
    hcuda_2ds_logf(logs, amplitudes, nxh, box, n);
    hcuda_2ds_ave(mean, logs, nxh, box, n);
    const float r = (float)(box * 0.2), w = (float)(r * 0.1);
    hcuda_2d_fftA_half2full(full, mean, box, box);
    hcuda_2d_subbg_mpad_inplace(full, box, box, r, w);
    hcuda_2d_fftA_full2half(mean, full, box, box);
    device_release(GPU_SITE, amplitudes);
    device_release(GPU_SITE, logs);
    device_release(GPU_SITE, full);
}

}  // namespace

float hcuda_2d_ctf_tilt_refine_cctf_autogrid(CTF_INFO& out, CTF_INFO centre, const float* image, int nx, int ny,
                                             float apix, float axis_angle, float tilt_angle, int box, float overlap) {
    std::vector<int2> centres, corners;
    const int count = get_tilt_autogrid_boxes(centres, corners, nx, ny, box, overlap);
    if (count < 0) return -1.0f;
    std::vector<CTF_INFO> local(count);
    get_tilt_local_defs(local.data(), centres.data(), count, centre, nx, ny, apix, axis_angle, tilt_angle);
    float* mean = device_buffer<float>(GPU_SITE, image_pixels(box / 2 + 1, box));
    tilt_grid_mean_spectrum(mean, corners, image, nx, ny, box);
    device_release(GPU_SITE, mean);
    out = centre;
    return 0.0f;
}

float gpu_2d_ctf_tilt_refine_cctf_autogrid(CTF_INFO& out, CTF_INFO centre, const float* image, int nx, int ny,
                                           float apix, float axis_angle, float tilt_angle, int box, float overlap) {
    float* d_image = device_copy_of(GPU_SITE, image, image_pixels(nx, ny));
    const float status =
        hcuda_2d_ctf_tilt_refine_cctf_autogrid(out, centre, d_image, nx, ny, apix, axis_angle, tilt_angle, box, overlap);
    device_release(GPU_SITE, d_image);
    return status;
}

float hcuda_2d_ctf_tilt_las_subbg(float*, int, int, float, float, float, int, float) { return 0.0f; }
