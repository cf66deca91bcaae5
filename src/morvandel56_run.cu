// The picker program's run: its front end, the templates made once, and for
// each micrograph the shrunk and normalised map, the ice search, the excluded
// boxes, the mask, the band-pass, the correlation with every template, the
// picks of the best template per cell and the pick file beside the micrograph.
#define VORN_UNIT "src/morvandel56"
#include "morvandel56.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cuda_general.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "math_utils_gpu.h"
#include "process2d_core.h"
#include "process2d_raw.h"
#include "str_utils.h"

namespace {

using P = Tessoranth_Para;

// A device array of the micrographs' work, kept from one to the next and made
// again only when one needs more: fresh memory pays a page fault per page on
// its first touch, a large part of a micrograph's time at many threads.
template <class T>
struct KeptArray {
    T* d = nullptr;
    size_t n = 0;
    KeptArray() = default;
    KeptArray(const KeptArray&) = delete;
    KeptArray& operator=(const KeptArray&) = delete;
    ~KeptArray() {
        if (d != nullptr) device_release(GPU_SITE, d);
    }
    // At least want elements (and at least one).
    T* of(size_t want) {
        want = want > 0 ? want : 1;
        if (want <= n) return d;
        if (d != nullptr) device_release(GPU_SITE, d);
        d = device_buffer<T>(GPU_SITE, want);
        n = want;
        return d;
    }
};

// The device arrays of one micrograph's work, held for the run.
struct PickWork {
    KeptArray<float> mic, mask, best, best_psi, best_class, cc, psi;
    KeptArray<unsigned> rejected, excluded, marks;
    BandPassWork bandpass;
};

// The templates of a run on the device, nz of nx x ny shrunk pixels.
struct Templates {
    float* d = nullptr;
    int nx = 0, ny = 0, nz = 0;
};

// Particles are dark in a micrograph and templates white (the automatic one
// always is), so templates are inverted unless the user says they are not.
Templates load_templates(const P& p) {
    Templates t;
    float* host = get_or_create_template_data(t.nx, t.ny, t.nz, p.T, p.radius_px, p.apixT, p.apixM, p.shrink,
                                              p.m_edge_ratio);
    if (!p.dont_invertT) cpu_2d_invert_inplace(host, (unsigned)t.nx, (unsigned)t.ny * (unsigned)t.nz);
    t.d = device_buffer<float>(GPU_SITE, (size_t)t.nx * t.ny * t.nz);
    normalize_template_data(t.d, host, t.nx, t.ny, t.nz, p.T_norm_type, p.radius_px, p.m_edge_ratio);
    destroy_template_data(host);
    return t;
}

// ---- the best template per pixel ----

// Where template cls correlates better than every earlier one: its
// correlation, angle and class. Equal values keep the earlier template.
__global__ void cuda_update_ccmax_psi_class_2d(float* best, float* best_psi, float* best_class, const float* cc,
                                               const float* psi, float cls, int nx, int ny) {
    const int x = (int)(blockIdx.x * blockDim.x + threadIdx.x), y = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= nx || y >= ny) return;
    const size_t i = (size_t)y * nx + x;
    if (!(best[i] < cc[i])) return;
    best[i] = cc[i];
    best_psi[i] = psi[i];
    best_class[i] = cls;
}

// ---- pick files ----

const char* pick_suffix(const P& p) { return p.write_star ? "_picks.star" : "_picks.box"; }

// The file the picks are written to before they are moved over the pick file.
std::string part_name(const char* out) { return std::string(out) + ".part"; }

// Whether the pick file can be put in place, found before the micrograph is
// worked on: its part file can be made beside it. Nothing is left behind.
bool can_write(const char* out) {
    const std::string part = part_name(out);
    FILE* f = fopen(part.c_str(), "w");
    if (f == nullptr) return false;
    fclose(f);
    remove(part.c_str());
    return true;
}

// The picks of every class: the cells whose best template is class k, per class
// in turn, as STAR rows or box rows. Written whole beside the pick file and moved
// over it, so that a run killed while writing leaves no partial file that a
// resumed run would take as done.
int write_picks(const char* out, const P& p, const std::vector<unsigned>& idx, const std::vector<float>& cellmax,
                const std::vector<float>& cellpsi, const std::vector<int>& cellclass, int classes, int nx, int ny,
                const PickFrame& frame) {
    const std::string part = part_name(out);
    FILE* f = fopen(part.c_str(), "w");
    if (f == nullptr) return -1;
    if (p.write_star) tessoranth_output_star_head(f);
    const int n = (int)idx.size();
    std::vector<unsigned> of_class(idx.size());
    for (int k = 1; k <= classes; ++k) {
        for (int c = 0; c < n; ++c) of_class[c] = cellclass[c] == k ? idx[c] : 0u;
        if (p.write_star)
            output_morvandel_star_rows_one_temp(f, of_class.data(), cellmax.data(), cellpsi.data(), k, n, nx, ny,
                                                p.boxsize, frame);
        else
            output_morvandel_coord_one_temp(f, of_class.data(), cellmax.data(), cellpsi.data(), k, n, nx, ny,
                                            p.boxsize, frame);
    }
    const bool written = std::ferror(f) == 0;
    if (std::fclose(f) == 0 && written && std::rename(part.c_str(), out) == 0) return 0;
    remove(part.c_str());
    return -1;
}

// ---- one micrograph ----

void write_map(const char* micrograph, const char* suffix, const float* map_d, int nx, int ny) {
    char out[VORN_NAME_LEN];
    mrcf_set_outname_by_suffix(out, micrograph, suffix);
    mrcf_write_xyz_ddata(out, map_d, nx, ny, 1);
}

// The map pixel indices held by the marked cells of a grid.
void append_marks(std::vector<unsigned>& marks, const std::vector<unsigned>& grid) {
    for (unsigned v : grid)
        if (v != 0) marks.push_back(v);
}

struct Run {
    const P& p;
    Templates t;
    int cell;  // side of the picking and ice cells, shrunk pixels
    LocalStatsWork& ice;  // the ice search's windows and arrays, kept from micrograph to micrograph
    TemplateSpectra& spectra;  // the turned templates' spectra, kept while the shrunk size stays
    PickWork& work;  // the device arrays of a micrograph, kept while no micrograph needs larger ones
};

// The reason a micrograph of nx x ny original pixels cannot be picked, or "".
std::string why_not_pickable(const Run& run, int mic_nx, int mic_ny) {
    const P& p = run.p;
    const int s = p.shrink, nx = mic_nx / s, ny = mic_ny / s;
    char why[VORN_NAME_LEN] = "";
    const int room = 2 * (p.boxsize / 2) + 2;  // a box's centre lies strictly inside
    if (nx < run.cell || ny < run.cell)
        std::snprintf(why, sizeof why, "shrunk by %d to %d x %d pixels it holds no picking cell of %d x %d", s, nx, ny,
                      run.cell, run.cell);
    else if (nx < run.t.nx || ny < run.t.ny)
        std::snprintf(why, sizeof why, "shrunk by %d to %d x %d pixels it is smaller than the template of %d x %d", s,
                      nx, ny, run.t.nx, run.t.ny);
    else if (s * nx < room || s * ny < room)
        std::snprintf(why, sizeof why, "no box of %d pixels (--boxsize) fits in its %d x %d pixels", p.boxsize,
                      s * nx, s * ny);
    return why;
}

int pick_micrograph(const Run& run, Morvandel& m, const char* name) {
    PickWork& w = run.work;
    const P& p = run.p;
    const std::string why = why_not_pickable(run, m.nx, m.ny);
    char out[VORN_NAME_LEN];
    mrcf_set_outname_by_suffix(out, name, pick_suffix(p));
    if (!why.empty()) {
        VORN_WARNING("the micrograph %s (%d x %d) cannot be picked: %s; skipped.\n\033[m", name, m.nx, m.ny,
                     why.c_str());
        return -1;
    }
    if (!can_write(out)) {
        VORN_WARNING("the picks of %s cannot be written to %s; skipped.\n\033[m", name, out);
        return -1;
    }
    const int s = p.shrink, nx = m.nx / s, ny = m.ny / s, g = run.cell;
    const size_t n = (size_t)nx * ny, cells = (size_t)grid_cells(nx, g) * grid_cells(ny, g);
    const float apix = p.apixM * (float)s;
    const int2 origin = make_int2(0, 0);

    // The shrunk micrograph at mean 0 and deviation 1: the ice thresholds are in deviations.
    float* mic = w.mic.of(n);
    hcuda_2d_meanshrink(m.mic_d, mic, m.nx, m.ny, s);
    if (!std::isfinite(hcuda_znorm_inplace(mic, n, 1.0f, 0.0f))) {
        VORN_WARNING("the micrograph %s cannot be picked: it has no variance; skipped.\n\033[m", name);
        return -1;
    }
    if (p.do_pre_filter) {
        morvandel_bandpass_inplace(mic, nx, ny, apix, p.pre_lp, p.pre_hp, w.bandpass);
        hcuda_znorm_inplace(mic, n, 1.0f, 0.0f);
    }
    if (p.write_pref_mic) write_map(name, "_pref.mrc", mic, nx, ny);

    // Rejected cells: ice and contamination, and with mask_excluded the excluded boxes.
    unsigned *rejected = w.rejected.of(cells), *excluded = w.excluded.of(cells);
    hcuda_empty(rejected, cells * sizeof(unsigned));
    hcuda_empty(excluded, cells * sizeof(unsigned));
    if (p.detect_ice) hcuda_2d_ice_detect(mic, nx, ny, origin, rejected, name, p, run.ice);
    std::vector<unsigned> rejected_h(cells), excluded_h(cells, 0u);
    copy_to_host(GPU_SITE, rejected_h.data(), (const unsigned*)rejected, cells);
    if (p.exclusive_picking || p.mask_excluded) {
        char own[VORN_NAME_LEN] = "NULL";
        if (!is_str_null(p.excluded_suffix)) mrcf_set_outname_by_suffix(own, name, p.excluded_suffix);
        add_excluded_boxf_to_ice(excluded, nx, ny, g, own, s, origin);
        add_excluded_boxf_to_ice(excluded, nx, ny, g, p.global_excluded_box, s, origin);
        copy_to_host(GPU_SITE, excluded_h.data(), (const unsigned*)excluded, cells);
    }
    if (p.mask_excluded) {
        for (size_t c = 0; c < cells; ++c)
            if (rejected_h[c] == 0) rejected_h[c] = excluded_h[c];
        CUDA_CHECK(memcpy_H2D(rejected, rejected_h.data(), cells * sizeof(unsigned)));
    }
    float* mask = w.mask.of(n);
    hcuda_2d_generate_mask_by_coords(mask, mic, nx, ny, g, rejected, 0.0f);
    if (p.write_mic_mask) write_map(name, "_mask.mrc", mask, nx, ny);

    if (p.do_bandpass) morvandel_bandpass_inplace(mic, nx, ny, apix, p.lp, p.hp, w.bandpass);
    if (p.write_bgfree_mic) write_map(name, "_bgfree.mrc", mic, nx, ny);

    // Every template over the angles; each pixel keeps the best template's
    // correlation, angle and class.
    const Templates& t = run.t;
    const size_t tn = (size_t)t.nx * t.ny;
    const float cc_factor = (float)tn;
    const size_t per_class = t.nz > 1 ? n : 1;
    float *best = w.best.of(n), *best_psi = w.best_psi.of(n), *best_class = w.best_class.of(per_class),
          *cc = w.cc.of(per_class), *psi = w.psi.of(per_class);
    const bool prepared = morvandel_prepare_template_spectra(run.spectra, t.d, t.nx, t.ny, t.nz, nx, ny,
                                                             p.psi_start, p.psi_end, p.ang_step);
    for (int k = 0; k < t.nz; ++k) {
        float* to = k == 0 ? best : cc;
        float* to_psi = k == 0 ? best_psi : psi;
        const int status =
            prepared ? morvandel_ccmax_psi_by_prepared_template(mic, mask, to, to_psi, 1, run.spectra, k, cc_factor)
                     : morvandel_ccmax_psi_by_one_template(mic, mask, to, to_psi, 1, nx, ny, t.d + tn * k, t.nx,
                                                           t.ny, cc_factor, p.psi_start, p.psi_end, p.ang_step);
        if (status != 0) return -1;
        if (t.nz == 1) break;
        if (k == 0) hcuda_2d_memset(best_class, 1.0f, (unsigned)nx, (unsigned)ny);
        else
            gpu_launch_2d<cuda_update_ccmax_psi_class_2d>(GPU_SITE, (unsigned)nx, (unsigned)ny, best, best_psi,
                                                          best_class, (const float*)cc, (const float*)psi,
                                                          (float)(k + 1), nx, ny);
    }
    if (p.write_ccmax_mic) write_map(name, "_ccmax.mrc", best, nx, ny);

    // Picks away from the rejected cells and, with exclusive_picking, the excluded boxes.
    std::vector<unsigned> marks;
    append_marks(marks, rejected_h);
    if (p.exclusive_picking) append_marks(marks, excluded_h);
    unsigned* marks_d = w.marks.of(marks.size());
    if (!marks.empty()) CUDA_CHECK(memcpy_H2D(marks_d, marks.data(), marks.size() * sizeof(unsigned)));
    std::vector<unsigned> idx(cells);
    std::vector<float> cellmax(cells), cellpsi(cells);
    gpu_find_filter_ccmax_psi_grids_exclusive(best, best_psi, idx.data(), cellmax.data(), cellpsi.data(),
                                              p.cc_cutoff, nx, ny, g, marks_d, (int)marks.size());
    std::vector<int> cellclass(cells, 1);
    if (t.nz > 1) {
        std::vector<float> classes(n);
        copy_to_host(GPU_SITE, classes.data(), (const float*)best_class, n);
        for (size_t c = 0; c < cells; ++c) cellclass[c] = (int)classes[idx[c]];
    }
    if (write_picks(out, p, idx, cellmax, cellpsi, cellclass, t.nz, nx, ny,
                    pick_frame(origin, s, t.nx, t.ny)) != 0) {
        VORN_WARNING("the picks of %s could not be written whole to %s; skipped.\n\033[m", name, out);
        return -1;
    }
    std::printf("Picks of %s written to %s\n", name, out);
    return 0;
}

// With do_unfinished, the micrographs whose pick file is not there yet.
std::vector<char*> micrographs_to_pick(const P& p) {
    std::vector<char*> todo;
    for (int k = 0; k < p.nfiles; ++k) {
        char out[VORN_NAME_LEN];
        mrcf_set_outname_by_suffix(out, p.files[k], pick_suffix(p));
        if (p.do_unfinished && is_file_morvandel_done(out)) {
            std::printf("Picks of %s already written to %s. Automatically skipped.\n", p.files[k], out);
            continue;
        }
        todo.push_back(p.files[k]);
    }
    return todo;
}

}  // namespace

int morvandel_run_all(int argc, char** argv) {
    Tessoranth_Para p;
    tessoranth_init_parameters(argc, p);
    tessoranth_get_parameters(argc, argv, p);
    tessoranth_fput_parameters(argc, argv, p, stdout);
    tessoranth_put_one_random_tip();
    LocalStatsWork ice;
    TemplateSpectra spectra;
    PickWork work;
    Run run{p, load_templates(p), tessoranth_cell_side(p.min_dist_px), ice, spectra, work};
    std::vector<char*> todo = micrographs_to_pick(p);
    const int skipped = morvandel_pick_micrographs(todo.data(), (int)todo.size(), [&](Morvandel& m, const char* name) {
        return pick_micrograph(run, m, name);
    });
    device_release(GPU_SITE, run.t.d);
    tessoranth_free_parameters(p);
    return skipped > 0 ? 1 : 0;
}
