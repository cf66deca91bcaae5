// Picking templates (read from an MRC stack, rescaled and shrunk to the
// micrograph, or the automatic soft disc), their normalisation, and the
// correlation maximum of a micrograph over the in-plane turns of one template.
#define VORN_UNIT "src/morvandel56"
#include "morvandel56.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cuda_fast_sum.h"
#include "cuda_fft.h"
#include "fft_plan.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "math_utils.h"
#include "math_utils_gpu.h"
#include "process2d_core.h"
#include "process2d_raw.h"
#include "str_utils.h"
#include "txt_file.h"

namespace {

float* host_floats(size_t n) {
    float* p = (float*)malloc((n > 0 ? n : 1) * sizeof(float));
    if (p == nullptr) VORN_FATAL("Host memory allocation failed");
    return p;
}

float centre_of(int n) { return (float)(n - 1) / 2.0f; }

bool all_zero(const float* image, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (image[i] != 0.0f) return false;
    return true;
}

// ccmax = cc where ccmax < cc; a NaN never replaces, equal values keep the
// earlier. A thread takes GPU_LANES neighbouring pixels of a row (one on a GPU).
template <bool WithPsi>
__device__ __forceinline__ void update_ccmax(float* ccmax, const float* cc, float* psi_map, float psi, int nx,
                                             int ny) {
    const int x = (int)(blockIdx.x * blockDim.x + threadIdx.x) * (int)GPU_LANES;
    const int y = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= nx || y >= ny) return;
    const size_t i = (size_t)y * nx + x;
    const unsigned n = (unsigned)(nx - x) < GPU_LANES ? (unsigned)(nx - x) : GPU_LANES;
    const gpu_lanes_f old = gpu_lanes_load(ccmax + i, n), now = gpu_lanes_load(cc + i, n);
    const gpu_lanes_m higher = old < now;
    gpu_lanes_store(ccmax + i, gpu_lanes_select(higher, now, old), n);
    if (WithPsi) gpu_lanes_store(psi_map + i, gpu_lanes_select(higher, gpu_lanes_f(psi), gpu_lanes_load(psi_map + i, n)), n);
}

}  // namespace

// ================= templates =================

// A template that cannot work would leave every micrograph of the run without a
// pick (one NaN spreads through every transform), so it ends the run before any
// micrograph is read, naming the option that brought it.
float* get_template_data(int& nx, int& ny, int& nz, const char* name) {
    // A named pipe would hold the run for ever: refused unopened.
    if (const char* kind = non_regular_file_kind(name))
        VORN_FATAL("--T %s is %s, not an MRC stack of templates", name, kind);
    FILE* f = fopen(name, "rb");
    if (f == nullptr) {
        std::printf("Cannot open file %s. Permission denied or wrong file name.\n", name);
        VORN_FATAL("open file '%s' failed.", name);
    }
    MRC_HEAD head;
    if (const char* fault = mrcf_image_fault(name, &head)) {
        fclose(f);
        VORN_FATAL("--T %s is not an MRC stack of templates: %s (header %d x %d x %d, mode %d)", name, fault, head.nx,
                   head.ny, head.nz, head.mode);
    }
    get_mrc_head_xyz(nx, ny, nz, &head);
    const size_t n = image_pixels(nx, ny);
    float* stack = host_floats(n * (size_t)nz);
    for (int k = 0; k < nz; ++k) {
        if (mrc_read_slice(f, &head, k, 'z', stack + n * k) != 0) {
            fclose(f);
            free(stack);
            VORN_FATAL("can not read template %d of %s", k, name);
        }
        if (const size_t bad = morvandel_count_not_finite(stack + n * k, n)) {
            fclose(f);
            free(stack);
            VORN_FATAL("--T %s: the template of slice %d of %d holds %zu pixel%s that %s not a finite number (NaN or "
                       "infinity)",
                       name, k + 1, nz, bad, bad == 1 ? "" : "s", bad == 1 ? "is" : "are");
        }
    }
    fclose(f);
    return stack;
}

// The side is odd, 4 x the radius's integer part + 1, so that the disc's centre
// ((n - 1)/2, about which it is drawn and turned) is the pixel n/2 that the
// correlation puts under a pick: an even side would put every pick half a
// pixel off the particle's centre.
float* create_template_data(int& nx, int& ny, int& nz, float radius, float edge) {
    if (!(radius >= 1.0f && radius < TESSORANTH_MAX_SIDE / 4))
        VORN_FATAL("a particle radius of %g pixels gives no automatic template; it must be at least 1 and below %d",
                   radius, TESSORANTH_MAX_SIDE / 4);
    const int n = 4 * (int)radius + 1;
    float* t = host_floats(image_pixels(n, n));
    const float inner = radius * edge, width = (1.0f - edge) * radius;
    cpu_2d_generate_rmask_soft(t, (unsigned)n, (unsigned)n, centre_of(n), centre_of(n), inner, width);
    // A disc that reaches no pixel beyond the centre's (the centre lies on a
    // pixel) is no disc either.
    if (morvandel_count_not_finite(t, image_pixels(n, n)) > 0 || all_zero(t, image_pixels(n, n)) ||
        !(inner + width >= 1.0f)) {
        free(t);
        VORN_FATAL("--m_edge_ratio %g leaves the automatic template of radius %g pixels without a white disc (0 or "
                   "not a number everywhere, or no wider than its centre pixel); --m_edge_ratio must keep the soft "
                   "edge within the radius, as 0 to 1 does",
                   edge, radius);
    }
    nx = ny = n;
    nz = 1;
    return t;
}

float template_centre(int n, float f, int shrink) {
    double c = n / 2;
    if (f != 1.0f) {
        const int scaled = (int)((float)n * f);
        c = (scaled - 1) / 2.0 + (c - (n - 1) / 2.0) * f;
    }
    if (shrink > 1) c = (c - (shrink - 1) / 2.0) / shrink;
    return (float)c;
}

float* get_or_create_template_data(int& nx, int& ny, int& nz, const char* name, float radius, float apixT,
                                   float apixM, int shrink, float edge, float2* centre) {
    if (is_str_null(name)) {
        float* disc = create_template_data(nx, ny, nz, radius, edge);
        if (centre != nullptr) *centre = make_float2((float)(nx / 2), (float)(ny / 2));
        return disc;
    }
    float* stack = get_template_data(nx, ny, nz, name);
    const float f = apixT / apixM;
    // The scaled sides are checked before they are cast to their integers.
    const float fx = (float)nx * f, fy = (float)ny * f;
    if (!(fx < TESSORANTH_MAX_SIDE + 1.0f && fy < TESSORANTH_MAX_SIDE + 1.0f)) {
        free(stack);
        VORN_FATAL("the templates of %s, %d x %d pixels, become %g x %g at --apixT %g and --apixM %g; at most %d x %d "
                   "fit",
                   name, nx, ny, fx, fy, apixT, apixM, TESSORANTH_MAX_SIDE, TESSORANTH_MAX_SIDE);
    }
    const int nxs = (int)fx, nys = (int)fy;
    const int sx = shrink > 1 ? nxs / shrink : nxs, sy = shrink > 1 ? nys / shrink : nys;
    if (sx <= 0 || sy <= 0) {
        free(stack);
        VORN_FATAL("the templates of %s, %d x %d pixels, shrink to nothing (%d x %d) at --apixT %g, --apixM %g and "
                   "shrink %d",
                   name, nx, ny, sx, sy, apixT, apixM, shrink);
    }
    if (centre != nullptr) *centre = make_float2(template_centre(nx, f, shrink), template_centre(ny, f, shrink));
    if (f != 1.0f) {
        float* scaled = host_floats(image_pixels(nxs, nys) * nz);
        gpu_2ds_scale(scaled, stack, nx, ny, nz, f);
        free(stack);
        stack = scaled;
    }
    if (shrink > 1) {
        float* shrunk = host_floats(image_pixels(sx, sy) * nz);
        cpu_2ds_meanshrink(shrunk, stack, nxs, nys, nz, shrink);
        free(stack);
        stack = shrunk;
    }
    nx = sx;
    ny = sy;
    return stack;
}

void destroy_template_data(float* stack) { free(stack); }

void mask_2d_inplace(float* image, int nx, int ny, int cx, int cy, float r) {
    const double r2 = (double)r * r;
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            const double dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy > r2) image[(size_t)y * nx + x] = 0.0f;
        }
}

void rmask_subtract_background(float* image, float radius, int nx, int ny) {
    const double cx = centre_of(nx), cy = centre_of(ny), r2 = (double)radius * radius;
    double kept = 0.0;
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            float& v = image[(size_t)y * nx + x];
            const double dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy > r2) v = 0.0f;
            kept += v;
        }
    const float bg = (float)(kept / (double)image_pixels(nx, ny));
    for (size_t i = 0; i < image_pixels(nx, ny); ++i) image[i] -= bg;
}

namespace {

// A template whose pixels are not all finite, or that is 0 everywhere once
// normalised, gives no correlation anywhere: the run ends before any micrograph.
// In the name of the calling function.
void refuse_not_finite_template(const float* t, size_t n, int k, int nz, const char* func, int line) {
    if (const size_t bad = morvandel_count_not_finite(t, n))
        vorn_fatal_line(func, VORN_UNIT, line,
                        "template %d of %d holds %zu pixel%s that %s not a finite number (NaN or infinity)", k + 1, nz,
                        bad, bad == 1 ? "" : "s", bad == 1 ? "is" : "are");
}
void refuse_normalised_template(const float* t, size_t n, int k, int nz, int type, const char* func, int line) {
    if (morvandel_count_not_finite(t, n) > 0 || all_zero(t, n))
        vorn_fatal_line(func, VORN_UNIT, line,
                        "template %d of %d is 0 everywhere, or not a number, after --T_norm_type %d: it correlates "
                        "with nothing",
                        k + 1, nz, type);
    // The correlation's normalisation sums the template's squares in single
    // precision: beyond its range every correlation would be 0.
    double energy = 0.0;
    for (size_t i = 0; i < n; ++i) energy += (double)t[i] * t[i];
    if (!(energy <= FLT_MAX))
        vorn_fatal_line(func, VORN_UNIT, line,
                        "template %d of %d has a sum of squares of %g after --T_norm_type %d, not a finite number in "
                        "single precision: its values are too large to correlate",
                        k + 1, nz, energy, type);
}

}  // namespace

int normalize_template_data(float* dst_d, const float* src, int nx, int ny, int nz, int type, float radius,
                            float edge) {
    const size_t n = image_pixels(nx, ny);
    if (type == 0) {
        for (int k = 0; k < nz; ++k) {
            refuse_not_finite_template(src + n * k, n, k, nz, __func__, __LINE__);
            refuse_normalised_template(src + n * k, n, k, nz, type, __func__, __LINE__);
        }
        CUDA_CHECK(memcpy_H2D(dst_d, src, n * nz * sizeof(float)));
        return 0;
    }
    std::vector<float> t(n);
    for (int k = 0; k < nz; ++k) {
        refuse_not_finite_template(src + n * k, n, k, nz, __func__, __LINE__);
        std::copy(src + n * k, src + n * (k + 1), t.begin());
        switch (type) {
            case 1: hm_submean_inplace(t.data(), n); break;
            case 2: rmask_subtract_background(t.data(), radius, nx, ny); break;
            case 3:
                cpu_2d_znorm_withRmask_applymask_inplace(t.data(), (unsigned)nx, (unsigned)ny, centre_of(nx),
                                                         centre_of(ny), (1.0f - edge) * radius, edge * radius);
                break;
            default: VORN_WARNING("Invalid T_norm_type!\n\033[m"); break;
        }
        refuse_normalised_template(t.data(), n, k, nz, type, __func__, __LINE__);
        CUDA_CHECK(memcpy_H2D(dst_d + n * k, t.data(), n * sizeof(float)));
    }
    return 0;
}

// ================= correlation over angles =================

__global__ void cuda_update_ccmax_2d(float* ccmax, const float* cc, int nx, int ny) {
    update_ccmax<false>(ccmax, cc, nullptr, 0.0f, nx, ny);
}
__global__ void cuda_update_ccmax_psi_2d(float* ccmax, const float* cc, float* psi_map, float psi, int nx, int ny) {
    update_ccmax<true>(ccmax, cc, psi_map, psi, nx, ny);
}
namespace {

// The update's launch, unchecked (it may share a launch-together region); no
// angle map when psi_d is null.
void launch_update_ccmax(float* ccmax_d, const float* cc_d, float* psi_d, float psi, int nx, int ny) {
    if (nx <= 0 || ny <= 0) return;
    const dim3 grid = gpu_grid_2d(gpu_lanes_runs((unsigned)nx), (unsigned)ny);
    if (psi_d != nullptr) GPU_LAUNCH(cuda_update_ccmax_psi_2d, grid, gpu_block_2d(), 0)(ccmax_d, cc_d, psi_d, psi, nx, ny);
    else GPU_LAUNCH(cuda_update_ccmax_2d, grid, gpu_block_2d(), 0)(ccmax_d, cc_d, nx, ny);
}

}  // namespace

void hcuda_update_ccmax_2d(float* ccmax_d, const float* cc_d, int nx, int ny) {
    launch_update_ccmax(ccmax_d, cc_d, nullptr, 0.0f, nx, ny);
    gpu_check_launch(GPU_SITE);
}
void hcuda_update_ccmax_psi_2d(float* ccmax_d, const float* cc_d, float* psi_d, float psi, int nx, int ny) {
    launch_update_ccmax(ccmax_d, cc_d, psi_d, psi, nx, ny);
    gpu_check_launch(GPU_SITE);
}

// Counted with an integer: a float angle stepped by less than its resolution
// would never reach the end.
long long morvandel_psi_count(float psi_start, float psi_end, float psi_step) {
    if (!(psi_end > psi_start)) return 0;
    const double steps = std::ceil(((double)psi_end - (double)psi_start) / (double)psi_step);
    if (!(psi_step > 0.0f) || !std::isfinite(steps))
        VORN_FATAL("the angle range %g to %g cannot be walked in steps of %g", psi_start, psi_end, psi_step);
    if (steps > TESSORANTH_MAX_ANGLES)
        VORN_FATAL("the angle range %g to %g in steps of %g gives %g angles; at most %d are searched", psi_start,
                   psi_end, psi_step, steps, TESSORANTH_MAX_ANGLES);
    return (long long)steps;
}

namespace {

// The angles psi_start + k * psi_step, k below count.
struct AngleSteps {
    float start, step;
    long long count;
    float psi(long long k) const { return start + (float)k * step; }
};

// Where a template of tnx x tny turns: centre, or by default its pixel
// (tnx/2, tny/2), the middle of an odd side and where a box of even side
// centres its particle.
float2 turning_centre(int tnx, int tny, const float2* centre) {
    return centre != nullptr ? *centre : make_float2((float)(tnx / 2), (float)(tny / 2));
}

// The template turned through psi about its centre c, so that the particle's
// centre stays where it is at every angle, and pasted into padded (gx x gy, the
// correlation's grid) with its pixel (tnx/2, tny/2) on (gx/2, gy/2), the
// element that the centring of the maps brings to the origin, whatever the
// parity of either size. Only the pasted area changes: the rest stays as it was
// (0). Unchecked: it may share a launch-together region.
void launch_place_template(float* padded, float* turned, const float* T_d, int tnx, int tny, float2 c, int gx,
                           int gy, float psi) {
    const dim3 grid = gpu_grid_2d((unsigned)tnx, (unsigned)tny);
    GPU_LAUNCH(cuda_2d_rotate_anycenter, grid, gpu_block_2d(), 0)(T_d, turned, (unsigned)tnx, (unsigned)tny, c.x,
                                                                 c.y, psi);
    GPU_LAUNCH(cuda_x2d_cp_small_to_large, grid, gpu_block_2d(), 0)(padded, (const float*)turned, gx, gy, tnx, tny,
                                                                   gx / 2 - tnx / 2, gy / 2 - tny / 2);
}

// The zeroed padded map and the turned template's array of a template's turns.
struct TemplatePaste {
    float* padded;
    float* turned;
};
TemplatePaste make_paste(int tnx, int tny, int nx, int ny) {
    TemplatePaste t{device_buffer<float>(GPU_SITE, image_pixels(nx, ny)),
                    device_buffer<float>(GPU_SITE, image_pixels(tnx, tny))};
    hcuda_empty_f32(t.padded, image_pixels(nx, ny));
    return t;
}
void release_paste(const TemplatePaste& t) {
    device_release(GPU_SITE, t.padded);
    device_release(GPU_SITE, t.turned);
}

// The circular correlation at the map's size reads the map up to tnx/2 and
// tny/2 pixels beyond its edges, wrapped round.
FftGrid correlation_grid(int nx, int ny, int tnx, int tny) {
    return fft_wrapped_grid((unsigned)nx, (unsigned)ny, (unsigned)(tnx / 2), (unsigned)(tny / 2));
}
size_t grid_half_count(const FftGrid& g) { return image_pixels(g.gx / 2 + 1, g.gy); }

void make_work(CorrelationWork& w, int nx, int ny, int tnx, int tny, bool angle_map) {
    w.grid = correlation_grid(nx, ny, tnx, tny);
    const unsigned gx = w.grid.gx, gy = w.grid.gy;
    const size_t n = image_pixels(gx, gy), nh = grid_half_count(w.grid);
    w.nx = nx;
    w.ny = ny;
    w.mic = w.grid.padded() ? device_buffer<float>(GPU_SITE, n) : nullptr;
    for (float*& c : w.cc) c = device_buffer<float>(GPU_SITE, n);
    w.best = device_buffer<float>(GPU_SITE, n);
    w.best_psi = angle_map ? device_buffer<float>(GPU_SITE, n) : nullptr;
    w.mic_spectrum = device_buffer<float2>(GPU_SITE, nh);
    w.product = device_buffer<float2>(GPU_SITE, nh);
    w.r2c = fft_plan_2d(GPU_SITE, gx, gy, CUFFT_R2C);
    w.c2r = fft_plan_2d(GPU_SITE, gx, gy, CUFFT_C2R);
}

void release_work(CorrelationWork& w) {
    if (w.nx == 0) return;
    CUFFT_CHECK(cufftDestroy(w.r2c));
    CUFFT_CHECK(cufftDestroy(w.c2r));
    for (void* d : {(void*)w.cc[0], (void*)w.cc[1], (void*)w.best, (void*)w.mic_spectrum, (void*)w.product})
        device_release(GPU_SITE, d);
    for (float* d : {w.best_psi, w.mic})
        if (d != nullptr) device_release(GPU_SITE, d);
    w = CorrelationWork{};
}

// The maxima over the angles into the work's maps (and, with angle_map, the
// angle that gave each): angle k correlates the micrograph's spectrum with the
// template spectrum spectrum_of(k) gives, which may be the work's product
// array. Between the transforms of angle k, its product, the update by angle
// k - 1 (from the other correlation map) and ahead(k + 1) are launched
// together: a host wakes its threads once per angle, not four times, and the
// maxima still take the angles in order.
template <class SpectrumOf, class Ahead>
void walk_angles(CorrelationWork& w, float* mic_d, bool angle_map, const AngleSteps& a, SpectrumOf spectrum_of,
                 Ahead ahead) {
    const int gx = (int)w.grid.gx, gy = (int)w.grid.gy;
    const unsigned hx = (unsigned)(gx / 2 + 1);
    float* mic = mic_d;
    if (w.mic != nullptr) hcuda_2d_extend_to_grid(mic = w.mic, mic_d, w.grid);
    CUFFT_CHECK(cufftExecR2C(w.r2c, mic, w.mic_spectrum));
    CUDA_CHECK(cudaDeviceSynchronize());
    float* best_psi = angle_map ? w.best_psi : nullptr;
    hcuda_2d_memset(w.best, -INFINITY, (unsigned)gx, (unsigned)gy);
    if (angle_map) hcuda_2d_memset(best_psi, a.start, (unsigned)gx, (unsigned)gy);
    const auto update = [&](long long k) { launch_update_ccmax(w.best, w.cc[k % 2], best_psi, a.psi(k), gx, gy); };
    for (long long k = 0; k < a.count; ++k) {
        std::printf(".");
        const float2* t = spectrum_of(k);
        gpu_launch_together([&] {
            GPU_LAUNCH(cuda_c2d_multconj_norm, gpu_grid_2d(hx, (unsigned)gy), gpu_block_2d(), 0)(
                (const float2*)w.mic_spectrum, t, w.product, hx, (unsigned)gy, (float)image_pixels(gx, gy));
            if (k > 0) update(k - 1);
            ahead(k + 1);
        });
        gpu_check_launch(GPU_SITE);
        CUFFT_CHECK(cufftExecC2R(w.c2r, w.product, w.cc[k % 2]));
        CUDA_CHECK(cudaDeviceSynchronize());
    }
    if (a.count > 0) update(a.count - 1);
    gpu_check_launch(GPU_SITE);
    std::printf("\n");
}

// The work's maxima normalised into ccmax_d and their angles into psi_d
// (unless null), both centred; s_t is the template's sum of squares.
void finish_maps(const CorrelationWork& w, float* mic_d, float* mask_d, float* ccmax_d, float* psi_d, float s_t,
                 float cc_factor) {
    const int nx = w.nx, ny = w.ny;
    const size_t n = image_pixels(nx, ny);
    const float s_mic = hcuda_fast_sumsqr_withmask(mic_d, mask_d, n);
    const float s_mask = hcuda_fast_sum(mask_d, n, 1024);
    const float norm = sqrtf(s_mic * s_t * cc_factor / s_mask);
    if (psi_d != nullptr) hcuda_2d_centred_from_grid(psi_d, w.best_psi, w.grid, 1.0f);
    if (std::isfinite(norm) && norm > 0.0f) {
        hcuda_2d_centred_from_grid(ccmax_d, w.best, w.grid, norm);
    } else {
        VORN_WARNING("the correlation cannot be normalised: sum of mic^2 under the mask %g, sum of T^2 %g, sum of "
                     "the mask %g, factor %g give %g; the map is set to 0\n\033[m",
                     s_mic, s_t, s_mask, cc_factor, norm);
        hcuda_2d_memset(ccmax_d, 0.0f, (unsigned)nx, (unsigned)ny);
    }
}

bool template_fits(int tnx, int tny, int nx, int ny) { return tnx > 0 && tny > 0 && tnx <= nx && tny <= ny; }

// walk_angles with the template T_d (tnx x tny) turned, pasted and transformed
// angle by angle into the half spectrum into(k) gives. The template of angle
// k + 1 is placed while angle k's product is formed.
template <class Into>
void walk_turning(CorrelationWork& w, float* mic_d, bool angle_map, const AngleSteps& a, const float* T_d, int tnx,
                  int tny, float2 c, Into into) {
    const int gx = (int)w.grid.gx, gy = (int)w.grid.gy;
    const TemplatePaste paste = make_paste(tnx, tny, gx, gy);
    const auto place = [&](long long k) {
        if (k < a.count) launch_place_template(paste.padded, paste.turned, T_d, tnx, tny, c, gx, gy, a.psi(k));
    };
    place(0);
    gpu_check_launch(GPU_SITE);
    walk_angles(
        w, mic_d, angle_map, a,
        [&](long long k) {
            float2* t = into(k);
            CUFFT_CHECK(cufftExecR2C(w.r2c, paste.padded, t));
            CUDA_CHECK(cudaDeviceSynchronize());
            return (const float2*)t;
        },
        place);
    release_paste(paste);
}

}  // namespace

int morvandel_ccmax_psi_by_one_template(float* mic_d, float* mask_d, float* ccmax_d, float* psi_d, int with_psi,
                                        int nx, int ny, float* T_d, int tnx, int tny, float cc_factor,
                                        float psi_start, float psi_end, float psi_step, const float2* centre) {
    // The size of one micrograph, not of the run: the caller passes it over.
    if (!template_fits(tnx, tny, nx, ny)) {
        VORN_WARNING("a template of %d x %d pixels does not fit in the micrograph of %d x %d; nothing is "
                     "correlated.\n\033[m",
                     tnx, tny, nx, ny);
        return -1;
    }
    const AngleSteps a{psi_start, psi_step, morvandel_psi_count(psi_start, psi_end, psi_step)};
    const bool angle_map = with_psi != 0 && psi_d != nullptr;

    // Everything one call needs, made once: the angles only reuse it. Each
    // angle's template spectrum goes to the product array, where the product
    // then replaces it.
    CorrelationWork w;
    make_work(w, nx, ny, tnx, tny, angle_map);
    walk_turning(w, mic_d, angle_map, a, T_d, tnx, tny, turning_centre(tnx, tny, centre),
                 [&](long long) { return w.product; });
    finish_maps(w, mic_d, mask_d, ccmax_d, angle_map ? psi_d : nullptr, hcuda_fast_sumsqr(T_d, image_pixels(tnx, tny)),
                cc_factor);
    release_work(w);
    return 0;
}

// ================= the template spectra of a run =================

namespace {

void release_spectra(TemplateSpectra& s) {
    for (float2* d : s.spectra)
        if (d != nullptr) device_release(GPU_SITE, d);
    s.spectra.clear();
    release_work(s.work);
    s.key = TemplateSpectraKey{};
}

// Whether the spectra fit the budget: at most MORVANDEL_SPECTRA_BUDGET bytes
// and half the free device memory, the rest being left to the micrograph's work.
bool spectra_fit(size_t bytes) {
    size_t free_bytes = 0, total_bytes = 0;
    CUDA_CHECK(cudaMemGetInfo(&free_bytes, &total_bytes));
    return bytes <= MORVANDEL_SPECTRA_BUDGET && bytes <= free_bytes / 2;
}

}  // namespace

TemplateSpectra::~TemplateSpectra() { release_spectra(*this); }

bool morvandel_prepare_template_spectra(TemplateSpectra& s, float* T_d, int tnx, int tny, int nz, int nx, int ny,
                                        float psi_start, float psi_end, float psi_step, const float2* centre) {
    const float2 c = turning_centre(tnx, tny, centre);
    const TemplateSpectraKey key{T_d, tnx, tny, nz, c.x, c.y, nx, ny, psi_start, psi_end, psi_step};
    if (s.key == key) return true;
    release_spectra(s);
    if (!template_fits(tnx, tny, nx, ny) || nz <= 0) return false;
    const long long angles = morvandel_psi_count(psi_start, psi_end, psi_step);
    const size_t nh = grid_half_count(correlation_grid(nx, ny, tnx, tny));
    if (!spectra_fit((size_t)nz * (size_t)angles * nh * sizeof(float2))) return false;
    make_work(s.work, nx, ny, tnx, tny, true);
    s.spectra.assign((size_t)nz * (size_t)angles, nullptr);
    s.key = key;
    s.angles = angles;
    return true;
}

int morvandel_ccmax_psi_by_prepared_template(float* mic_d, float* mask_d, float* ccmax_d, float* psi_d,
                                             int with_psi, TemplateSpectra& s, int z, float cc_factor) {
    const TemplateSpectraKey& key = s.key;
    if (key.nx == 0 || z < 0 || z >= key.nz) VORN_FATAL("template %d of a set of %d prepared spectra", z + 1, key.nz);
    const bool angle_map = with_psi != 0 && psi_d != nullptr;
    const AngleSteps a{key.psi_start, key.psi_step, s.angles};
    const float* T_d = key.templates + image_pixels(key.tnx, key.tny) * (size_t)z;
    float2** spectra = s.spectra.data() + (size_t)z * (size_t)a.count;
    // The first micrograph makes the template's spectra as it goes, where
    // morvandel_ccmax_psi_by_one_template would make them, and keeps them.
    if (a.count > 0 && spectra[0] == nullptr)
        walk_turning(s.work, mic_d, angle_map, a, T_d, key.tnx, key.tny, make_float2(key.cx, key.cy), [&](long long k) {
            return spectra[k] = device_buffer<float2>(GPU_SITE, grid_half_count(s.work.grid));
        });
    else
        walk_angles(
            s.work, mic_d, angle_map, a, [&](long long k) { return (const float2*)spectra[k]; }, [](long long) {});
    finish_maps(s.work, mic_d, mask_d, ccmax_d, angle_map ? psi_d : nullptr,
                hcuda_fast_sumsqr(T_d, image_pixels(key.tnx, key.tny)), cc_factor);
    return 0;
}

int morvandel_ccmax_by_one_template(float* mic_d, float* mask_d, float* ccmax_d, int nx, int ny, float* T_d,
                                    int tnx, int tny, float cc_factor, float psi_start, float psi_end,
                                    float psi_step) {
    return morvandel_ccmax_psi_by_one_template(mic_d, mask_d, ccmax_d, nullptr, 0, nx, ny, T_d, tnx, tny, cc_factor,
                                               psi_start, psi_end, psi_step);
}
