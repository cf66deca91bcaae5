// The picker program's run: its front end, the templates made once, and for
// each micrograph the shrunk and normalised map, the ice search, the excluded
// boxes, the mask, the band-pass, the correlation with every template, the
// picks of the best template per cell and the pick file beside the micrograph.
#define VORN_UNIT "src/morvandel56"
#include "morvandel56.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "cuda_general.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "math_utils_gpu.h"
#include "process2d_core.h"
#include "process2d_raw.h"
#include "str_utils.h"
#include "txt_file.h"

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
    KeptArray<float> mic, ice_map, mask, soft_mask, best, best_psi, best_class, cc, psi;
    KeptArray<unsigned> rejected, excluded, left_out, marks;
    BandPassWork bandpass;
};

// The templates of a run on the device, nz of nx x ny shrunk pixels, their
// particles centred at centre.
struct Templates {
    float* d = nullptr;
    int nx = 0, ny = 0, nz = 0;
    float2 centre = make_float2(0.0f, 0.0f);
};

// Particles are dark in a micrograph and templates white (the automatic one
// always is), so templates are inverted unless the user says they are not.
Templates load_templates(const P& p) {
    Templates t;
    float* host = get_or_create_template_data(t.nx, t.ny, t.nz, p.T, p.radius_px, p.apixT, p.apixM, p.shrink,
                                              p.m_edge_ratio, &t.centre);
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

// ---- the files of a run ----

const char* pick_suffix(const P& p) { return p.write_star ? MORVANDEL_STAR_SUFFIX : MORVANDEL_BOX_SUFFIX; }

// The file the picks are written to before they are moved over the pick file.
std::string part_name(const char* out) { return std::string(out) + MORVANDEL_PART_SUFFIX; }

// A file the picker writes beside a micrograph, other than its picks, and
// whether the options in force write it.
struct SideFile {
    const char* suffix;
    bool (*written)(const P&);
};
const SideFile kSideFiles[] = {
    {MORVANDEL_REJECTED_BOX_SUFFIX, [](const P& p) { return p.detect_ice != 0 && p.write_rejected_box != 0; }},
    {MORVANDEL_REJECTED_STAR_SUFFIX, [](const P& p) { return p.detect_ice != 0 && p.write_rejected_box != 0; }},
    {MORVANDEL_BG_SUFFIX, [](const P& p) { return p.detect_ice != 0 && p.write_bg_mic != 0; }},
    {MORVANDEL_LSIGMA_SUFFIX, [](const P& p) { return p.detect_ice != 0 && p.write_lsigma_mic != 0; }},
    {MORVANDEL_PREF_SUFFIX, [](const P& p) { return p.write_pref_mic != 0; }},
    {MORVANDEL_MASK_SUFFIX, [](const P& p) { return p.write_mic_mask != 0; }},
    {MORVANDEL_BGFREE_SUFFIX, [](const P& p) { return p.write_bgfree_mic != 0; }},
    {MORVANDEL_CCMAX_SUFFIX, [](const P& p) { return p.write_ccmax_mic != 0; }},
};

// Every file the run writes for the micrograph: its pick file, the part file
// beside it, then the side files the options in force write.
std::vector<std::string> mic_outputs(const P& p, const char* mic) {
    const std::string stem = mrcf_micrograph_stem(mic), picks = stem + pick_suffix(p);
    std::vector<std::string> outs = {picks, part_name(picks.c_str())};
    for (const SideFile& f : kSideFiles)
        if (f.written(p)) outs.push_back(stem + f.suffix);
    return outs;
}

// Every name the picker writes for the micrograph under any options.
std::vector<std::string> picker_names(const char* mic) {
    const std::string stem = mrcf_micrograph_stem(mic);
    std::vector<std::string> names;
    for (const char* picks : {MORVANDEL_STAR_SUFFIX, MORVANDEL_BOX_SUFFIX}) {
        names.push_back(stem + picks);
        names.push_back(part_name(names.back().c_str()));
    }
    for (const SideFile& f : kSideFiles) names.push_back(stem + f.suffix);
    return names;
}

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

// Why the micrograph's outputs cannot all be written, naming the first that
// cannot, or "".
std::string unwritable_output(const P& p, const char* mic) {
    for (const std::string& out : mic_outputs(p, mic)) {
        const std::string why = mrcf_output_unwritable(out.c_str());
        if (!why.empty()) return "its output " + out + " cannot be written (" + why + ")";
    }
    return "";
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

// The map pixel indices held by the marked cells of a grid.
void append_marks(std::vector<unsigned>& marks, const std::vector<unsigned>& grid) {
    for (unsigned v : grid)
        if (v != 0) marks.push_back(v);
}

// The picks' line of a micrograph, with the share of its area where no pick
// could be: near the cells the ice search rejected or in the cells beside them,
// and near the excluded boxes
// that the run leaves out (all with exclusive_picking; with mask_excluded alone
// those in cells the ice search kept). A warning when that is most of it.
void report_left_out(const char* name, const char* out, const P& p, const std::vector<unsigned>& ice,
                     const std::vector<unsigned>& beside, const std::vector<unsigned>& excluded, int nx, int ny,
                     int g) {
    std::vector<unsigned> left_out_excluded;
    if (p.exclusive_picking || p.mask_excluded)
        for (size_t c = 0; c < excluded.size(); ++c)
            if (excluded[c] != 0 && (p.exclusive_picking || ice[c] == 0)) left_out_excluded.push_back(excluded[c]);
    const MorvandelLeftOut left = morvandel_left_out(ice, left_out_excluded, nx, ny, g, beside);
    const double total = 100.0 * (left.ice + left.excluded);
    std::printf("Picks of %s written to %s; %.1f%% of its area left out (ice and contamination %.1f%%, excluded "
                "boxes %.1f%%)\n",
                name, out, total, 100.0 * left.ice, 100.0 * left.excluded);
    if (total >= 50.0)
        VORN_WARNING("%.1f%% of the micrograph %s is left out as ice, contamination or excluded boxes; if it is "
                     "clean, see --lsigma_cutoff, --lave_min, --lave_max or --detect_ice 0\n\033[m",
                     total, name);
}

struct Run {
    const P& p;
    Templates t;
    int cell;  // side of the picking and ice cells, shrunk pixels
    LocalStatsWork& ice;  // the ice search's windows and arrays, kept from micrograph to micrograph
    TemplateSpectra& spectra;  // the turned templates' spectra, kept while the shrunk size stays
    PickWork& work;  // the device arrays of a micrograph, kept while no micrograph needs larger ones
};

// The reason a micrograph of nx x ny original pixels in its file's sections
// cannot be picked, or "".
std::string why_not_pickable(const Run& run, int mic_nx, int mic_ny, int sections) {
    const P& p = run.p;
    const int s = p.shrink, nx = mic_nx / s, ny = mic_ny / s;
    char why[VORN_NAME_LEN] = "";
    const int room = 2 * (p.boxsize / 2) + 2;  // a box's centre lies strictly inside
    // A stack is a movie or a set of images: its first section alone is not the micrograph.
    if (sections != 1)
        std::snprintf(why, sizeof why, "its file holds %d sections (a stack or a movie), not one image", sections);
    else if (nx < run.cell || ny < run.cell)
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

// The shrunk micrograph brought to mean 0 and deviation 1; why it cannot be, or "".
std::string normalise_shrunk(float* mic, size_t n) {
    // Values whose squares overflow single precision would leave the map 0 and
    // the micrograph without a pick, or be taken for a map without variance.
    const float energy = hcuda_fast_sumsqr(mic, n);
    if (!std::isfinite(energy))
        return "its values are too large: the sum of their squares overflows single precision";
    if (!std::isfinite(hcuda_znorm_inplace(mic, n, 1.0f, 0.0f))) return "it has no variance";
    return "";
}

// How far from the median, in deviations of the micrograph's noise, a pixel
// that is also that far from all but two of its neighbours is a hot pixel:
// white noise never reaches it, nor do particles or contamination, whose
// pixels have neighbours like them.
constexpr float kHotPixelBound = 10.0f;

// The shrunk micrograph with its hot pixels mended (hcuda_2d_meanshrink_mend_hot).
void shrink_micrograph(const Morvandel& m, float* mic, int s, float centre, float noise) {
    hcuda_2d_meanshrink(m.mic_d, mic, m.nx, m.ny, s);
    hcuda_2d_meanshrink_mend_hot(m.mic_d, mic, m.nx, m.ny, s, centre, kHotPixelBound * noise);
}

// Whether some cells of the grid are marked and some are not.
bool partly_marked(const std::vector<unsigned>& grid) {
    const size_t marked = grid.size() - (size_t)std::count(grid.begin(), grid.end(), 0u);
    return marked > 0 && marked < grid.size();
}

// The cells beside the marked ones (of the eight around each): 1 on each
// unmarked cell with a marked neighbour, else 0.
std::vector<unsigned> cells_beside(const std::vector<unsigned>& marked, int gx, int gy) {
    std::vector<unsigned> beside(marked.size(), 0u);
    for (int j = 0; j < gy; ++j)
        for (int i = 0; i < gx; ++i) {
            if (marked[(size_t)j * gx + i] != 0) continue;
            bool near = false;
            for (int b = std::max(0, j - 1); b <= std::min(gy - 1, j + 1); ++b)
                for (int a = std::max(0, i - 1); a <= std::min(gx - 1, i + 1); ++a)
                    near = near || marked[(size_t)b * gx + a] != 0;
            beside[(size_t)j * gx + i] = near ? 1u : 0u;
        }
    return beside;
}

// The median of a device map's pixels where the mask is set (of an evenly spread sample).
float masked_median(const float* map_d, const float* mask_d, size_t n) {
    const std::vector<float> values = morvandel_spread_sample(map_d, n), weights = morvandel_spread_sample(mask_d, n);
    std::vector<float> kept;
    for (size_t k = 0; k < values.size(); ++k)
        if (weights[k] > 0.5f) kept.push_back(values[k]);
    return kept.empty() ? 0.0f : morvandel_median(kept.data(), kept.size());
}

// The areas the run leaves out take no part in the correlation of the rest.
// The ice search rejects a cell as a whole, and only for a pixel more extreme
// than its first, so the cells beside its rejected ones may hold the edge of
// the contamination, or lie over it; they are left out with it (returned: 1 on
// each, for the picks to skip). The map is brought to mean 0 and deviation 1
// over the cells that remain (mask, made their mask, by which every figure of
// merit is divided too), then moved so that their median, the background's
// level, is 0, and the cells left out are set to it, fading from the kept
// ones across half a cell (soft), so that neither their contrast nor a step
// at their edge reaches the band-pass, which would ring it over the whole map
// and round its periodic edges. Excluded boxes (in rejected with
// mask_excluded) are left out as they are: they hold particles, not edges.
std::vector<unsigned> keep_out_rejected(float* mic, float* mask, float* soft, unsigned* cells_d, int nx, int ny,
                                        int g, const std::vector<unsigned>& rejected, const std::vector<unsigned>& ice) {
    const size_t n = (size_t)nx * ny;
    std::vector<unsigned> beside = cells_beside(ice, grid_cells(nx, g), grid_cells(ny, g)), left_out(rejected);
    for (size_t c = 0; c < left_out.size(); ++c) left_out[c] |= beside[c];
    if (!partly_marked(left_out)) {  // nothing would be kept: the rejected cells alone
        left_out = rejected;
        std::fill(beside.begin(), beside.end(), 0u);
    }
    CUDA_CHECK(memcpy_H2D(cells_d, left_out.data(), left_out.size() * sizeof(unsigned)));
    hcuda_2d_generate_mask_by_coords(mask, mic, nx, ny, g, cells_d, 0.0f);
    hcuda_norm_withmask_inplace(mic, mask, n, 1.0f, 0.0f);
    // The particles draw the mean below the background: a fill at the mean
    // would read as a band darker than the ice beside it.
    hcuda_sub_inplace(mic, n, masked_median(mic, mask, n));
    hcuda_2d_generate_soft_mask_by_coords(soft, nx, ny, g, cells_d, 0.5f * (float)g);
    hcuda_apply_mask_inplace(mic, soft, n);
    return beside;
}

// Drops the picks (map pixel indices, 0 for none) that lie in a marked cell.
void drop_picks_in(std::vector<unsigned>& idx, const std::vector<unsigned>& cells, int nx, int g) {
    const int gx = grid_cells(nx, g);
    for (unsigned& v : idx)
        if (v != 0 && cells[(size_t)(v / (unsigned)nx / g) * gx + v % (unsigned)nx / g] != 0) v = 0;
}

// The sections of the micrograph's file.
int sections_of(const char* name) {
    MRC_HEAD head;
    return mrcf_read_head(name, &head) == 0 ? head.nz : 0;
}

int pick_micrograph(const Run& run, Morvandel& m, const char* name) {
    PickWork& w = run.work;
    const P& p = run.p;
    const std::string why = why_not_pickable(run, m.nx, m.ny, sections_of(name));
    char out[VORN_NAME_LEN];
    mrcf_set_outname_by_suffix(out, name, pick_suffix(p));
    if (!why.empty()) {
        VORN_WARNING("the micrograph %s (%d x %d) cannot be picked: %s; skipped.\n\033[m", name, m.nx, m.ny,
                     why.c_str());
        return -1;
    }
    // Every output is looked at before any is written, so that a micrograph
    // skipped for one leaves none of the others either; a named pipe in the
    // part file's place is found before the part file is opened.
    if (const std::string unwritable = unwritable_output(p, name); !unwritable.empty()) {
        VORN_WARNING("the micrograph %s is skipped: %s.\n\033[m", name, unwritable.c_str());
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

    // The ice thresholds are absolute, so the ice search is handed the map about
    // its median in units of the noise deviation of the unshrunk micrograph,
    // one per micrograph whatever the shrink: shrinking averages the noise away
    // but keeps a particle's or a contamination's low-resolution contrast, so a
    // map brought to deviation 1 after the shrink reads the same particles as
    // ever stronger the faster the speed, until they look like contamination.
    // At shrink 1 the unit is close to the map's deviation (the noise is most
    // of an unshrunk micrograph's deviation), the thresholds' meaning so far.
    // The same noise tells hot pixels.
    const std::vector<float> sample = morvandel_spread_sample(m.mic_d, (size_t)m.nx * m.ny);
    const float noise = morvandel_noise_deviation(sample.data(), sample.size());
    // The shrunk micrograph at mean 0 and deviation 1 for the correlation;
    // to_noise takes a value of it into the ice search's units.
    float* mic = w.mic.of(n);
    shrink_micrograph(m, mic, s, morvandel_median(sample.data(), sample.size()), noise);
    float to_noise = p.detect_ice ? hcuda_stdv(mic, n) / noise : 1.0f;
    if (const std::string flaw = normalise_shrunk(mic, n); !flaw.empty()) {
        VORN_WARNING("the micrograph %s cannot be picked: %s; skipped.\n\033[m", name, flaw.c_str());
        return -1;
    }
    if (p.do_pre_filter) {
        morvandel_bandpass_inplace(mic, nx, ny, apix, p.pre_lp, p.pre_hp, w.bandpass);
        if (p.detect_ice) to_noise *= hcuda_stdv(mic, n);
        hcuda_znorm_inplace(mic, n, 1.0f, 0.0f);
    }
    if (p.write_pref_mic) morvandel_write_map(name, MORVANDEL_PREF_SUFFIX, mic, nx, ny, apix);

    // Rejected cells: ice and contamination, and with mask_excluded the excluded boxes.
    unsigned *rejected = w.rejected.of(cells), *excluded = w.excluded.of(cells);
    hcuda_empty(rejected, cells * sizeof(unsigned));
    hcuda_empty(excluded, cells * sizeof(unsigned));
    if (p.detect_ice) {
        float* ice_map = w.ice_map.of(n);
        morvandel_ice_map(ice_map, mic, n, std::isfinite(to_noise) && to_noise > 0.0f ? to_noise : 1.0f);
        hcuda_2d_ice_detect(ice_map, nx, ny, origin, rejected, name, p, run.ice);
    }
    std::vector<unsigned> rejected_h(cells), excluded_h(cells, 0u);
    copy_to_host(GPU_SITE, rejected_h.data(), (const unsigned*)rejected, cells);
    const std::vector<unsigned> ice_h = rejected_h;
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
    if (p.write_mic_mask) morvandel_write_map(name, MORVANDEL_MASK_SUFFIX, mask, nx, ny, apix);
    std::vector<unsigned> beside(cells, 0u);  // the cells beside the rejected ones, left out with them
    if (partly_marked(rejected_h))
        beside = keep_out_rejected(mic, mask, w.soft_mask.of(n), w.left_out.of(cells), nx, ny, g, rejected_h, ice_h);

    if (p.do_bandpass) morvandel_bandpass_inplace(mic, nx, ny, apix, p.lp, p.hp, w.bandpass);
    if (p.write_bgfree_mic) morvandel_write_map(name, MORVANDEL_BGFREE_SUFFIX, mic, nx, ny, apix);

    // Every template over the angles; each pixel keeps the best template's
    // correlation, angle and class.
    const Templates& t = run.t;
    const size_t tn = (size_t)t.nx * t.ny;
    const float cc_factor = (float)tn;
    const size_t per_class = t.nz > 1 ? n : 1;
    float *best = w.best.of(n), *best_psi = w.best_psi.of(n), *best_class = w.best_class.of(per_class),
          *cc = w.cc.of(per_class), *psi = w.psi.of(per_class);
    const bool prepared = morvandel_prepare_template_spectra(run.spectra, t.d, t.nx, t.ny, t.nz, nx, ny,
                                                             p.psi_start, p.psi_end, p.ang_step, &t.centre);
    for (int k = 0; k < t.nz; ++k) {
        float* to = k == 0 ? best : cc;
        float* to_psi = k == 0 ? best_psi : psi;
        const int status =
            prepared ? morvandel_ccmax_psi_by_prepared_template(mic, mask, to, to_psi, 1, run.spectra, k, cc_factor)
                     : morvandel_ccmax_psi_by_one_template(mic, mask, to, to_psi, 1, nx, ny, t.d + tn * k, t.nx,
                                                           t.ny, cc_factor, p.psi_start, p.psi_end, p.ang_step,
                                                           &t.centre);
        if (status != 0) return -1;
        if (t.nz == 1) break;
        if (k == 0) hcuda_2d_memset(best_class, 1.0f, (unsigned)nx, (unsigned)ny);
        else
            gpu_launch_2d<cuda_update_ccmax_psi_class_2d>(GPU_SITE, (unsigned)nx, (unsigned)ny, best, best_psi,
                                                          best_class, (const float*)cc, (const float*)psi,
                                                          (float)(k + 1), nx, ny);
    }
    if (p.write_ccmax_mic) morvandel_write_map(name, MORVANDEL_CCMAX_SUFFIX, best, nx, ny, apix);

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
    drop_picks_in(idx, beside, nx, g);
    std::vector<int> cellclass(cells, 1);
    if (t.nz > 1) {
        std::vector<float> classes(n);
        copy_to_host(GPU_SITE, classes.data(), (const float*)best_class, n);
        for (size_t c = 0; c < cells; ++c) cellclass[c] = (int)classes[idx[c]];
    }
    PickFrame frame = pick_frame(origin, s, t.centre, t.nx, t.ny);
    // A map pixel spans s original pixels: where the particle lies within it
    // is read from the correlation around the peak.
    std::vector<float2> within;
    if (s > 1) {
        std::vector<float> map(n);
        copy_to_host(GPU_SITE, map.data(), (const float*)best, n);
        within = peak_offsets(map.data(), nx, ny, idx);
        frame.within = within.data();
    }
    if (write_picks(out, p, idx, cellmax, cellpsi, cellclass, t.nz, nx, ny, frame) != 0) {
        VORN_WARNING("the picks of %s could not be written whole to %s; skipped.\n\033[m", name, out);
        // A micrograph without its picks keeps no rejected areas of this run either.
        if (p.detect_ice && p.write_rejected_box)
            for (const char* suffix : {MORVANDEL_REJECTED_BOX_SUFFIX, MORVANDEL_REJECTED_STAR_SUFFIX})
                mrcf_remove_output((mrcf_micrograph_stem(name) + suffix).c_str());
        return -1;
    }
    report_left_out(name, out, p, ice_h, beside, excluded_h, nx, ny, g);
    return 0;
}

// ---- the micrographs of a run and their files, before any is read ----

// A micrograph that cannot be read is skipped unread and writes nothing.
bool may_write_outputs(const char* mic) { return non_regular_file_kind(mic) == nullptr && access(mic, R_OK) == 0; }

// The micrographs of the command line less the names the picker writes for
// another of them (the maps and pick files of an earlier run, as a wildcard
// brings them along): those are no micrographs. A name is the picker's only
// as the picker spells it, within its folder: another name that leads to such
// a file (a link) is a micrograph, and the output over it ends the run.
std::vector<char*> micrographs_of(const P& p) {
    std::map<std::string, int> written;  // folder entry: the micrograph the picker writes it for
    for (int k = 0; k < p.nfiles; ++k)
        for (const std::string& name : picker_names(p.files[k])) written.emplace(mrcf_entry_id(name.c_str()), k);
    std::vector<char*> mics;
    for (int k = 0; k < p.nfiles; ++k) {
        const auto w = written.find(mrcf_entry_id(p.files[k]));
        if (w != written.end() && w->second != k) {
            std::printf("%s is a file the picker writes for the micrograph %s, not a micrograph; left out.\n",
                        p.files[k], p.files[w->second]);
            continue;
        }
        mics.push_back(p.files[k]);
    }
    return mics;
}

// Why the names the picker makes for the micrograph cannot be made, or "": one
// cut short to fit its buffer could be another micrograph's (the part file's
// name is made whole).
std::string too_long_output(const P& p, const char* mic) {
    const std::string picks = mrcf_micrograph_stem(mic) + pick_suffix(p);
    size_t longest = 0;
    for (const std::string& out : mic_outputs(p, mic))
        if (out != part_name(picks.c_str())) longest = std::max(longest, out.size());
    return mrcf_names_fit_fault(longest);
}

// The micrographs to pick and, for each, why its outputs are not its own ("" when they are).
struct RunPlan {
    std::vector<char*> mics;
    std::vector<std::string> clash;
};

// The files the run reads under the options in force: the micrographs, the
// templates and the exclusion files, each described for messages.
void add_run_inputs(BatchFiles& files, const P& p, const std::vector<char*>& mics) {
    for (char* mic : mics) files.add_input(mic, std::string("the micrograph ") + mic);
    if (!p.auto_template) files.add_input(p.T, std::string("the templates ") + p.T + " (--T)");
    if (!p.exclusive_picking && !p.mask_excluded) return;
    if (!is_str_null(p.global_excluded_box))
        files.add_input(p.global_excluded_box,
                        std::string("the exclusion file ") + p.global_excluded_box + " (--global_excluded_box)");
    for (char* mic : mics) {
        if (is_str_null(p.excluded_suffix) || !may_write_outputs(mic)) continue;
        const std::string own = mrcf_micrograph_stem(mic) + p.excluded_suffix;
        files.add_input(own.c_str(), "the exclusion file " + own + " of micrograph " + mic + " (--excluded_suffix)");
    }
}

// Every output of every micrograph is taken as the file it denotes before
// anything is read: one that is an input of the run (a micrograph, the
// templates, an exclusion file) ends the run naming both; one that an earlier
// micrograph of the list names too is that one's, and the later micrograph is
// skipped.
RunPlan plan_run(const P& p) {
    RunPlan plan{micrographs_of(p), {}};
    const int n = (int)plan.mics.size();
    plan.clash.assign((size_t)n, "");
    BatchFiles files;
    add_run_inputs(files, p, plan.mics);
    for (int k = 0; k < n; ++k) {
        const char* mic = plan.mics[(size_t)k];
        if (!may_write_outputs(mic)) continue;
        std::string& clash = plan.clash[(size_t)k];
        clash = too_long_output(p, mic);
        if (!clash.empty()) continue;
        // The same file under another name (a link) would be picked twice.
        const int earlier = files.repeats(k, mic);
        if (earlier >= 0 && std::strcmp(plan.mics[(size_t)earlier], mic) != 0) {
            clash = std::string("its file is the micrograph ") + plan.mics[(size_t)earlier] + ", listed earlier";
            continue;
        }
        for (const std::string& out : mic_outputs(p, mic)) {
            if (const std::string* input = files.input(out.c_str()))
                VORN_FATAL("the output %s of micrograph %s is %s; it would be overwritten", out.c_str(), mic,
                           input->c_str());
            const OutputClaim* first = files.claim(k, out);
            if (first == nullptr || !clash.empty()) continue;
            clash = first->item == k ? "its outputs " + first->name + " and " + out + " are one file"
                                     : "its output " + out + " is also the output " + first->name + " of micrograph " +
                                           plan.mics[(size_t)first->item] + ", listed earlier";
        }
    }
    return plan;
}

// -1 after a warning when micrograph k of the plan names outputs that are not its own, else 0.
int refuse_taken_outputs(const RunPlan& plan, int k, const char* name) {
    const std::string& clash = plan.clash[(size_t)k];
    if (clash.empty()) return 0;
    VORN_WARNING("the micrograph %s is skipped: %s.\n\033[m", name, clash.c_str());
    return -1;
}

// Whether the micrograph's picks are there and it can still be read: one that
// is gone, cut short or no file is not done, and the walk skips it naming why.
bool is_done(const P& p, const char* mic) {
    MRC_HEAD head;
    return is_file_morvandel_done((mrcf_micrograph_stem(mic) + pick_suffix(p)).c_str()) && may_write_outputs(mic) &&
           mrcf_image_fault(mic, &head) == nullptr;
}

// With do_unfinished, the micrographs whose pick file is there (a regular file
// that can be read) leave the plan, each said in one line; their number, or -1
// when the run does not resume. The pick file of a micrograph whose outputs
// are another's is that one's: it is not done.
int leave_out_done(const P& p, RunPlan& plan) {
    if (!p.do_unfinished) return -1;
    RunPlan todo;
    int done = 0;
    for (size_t k = 0; k < plan.mics.size(); ++k) {
        if (plan.clash[k].empty() && is_done(p, plan.mics[k])) {
            const std::string out = mrcf_micrograph_stem(plan.mics[k]) + pick_suffix(p);
            std::printf("Picks of %s already written to %s. Automatically skipped.\n", plan.mics[k], out.c_str());
            ++done;
            continue;
        }
        todo.mics.push_back(plan.mics[k]);
        todo.clash.push_back(plan.clash[k]);
    }
    plan = todo;
    return done;
}

}  // namespace

int morvandel_run_all(int argc, char** argv) {
    Tessoranth_Para p;
    tessoranth_init_parameters(argc, p);
    tessoranth_get_parameters(argc, argv, p);
    tessoranth_fput_parameters(argc, argv, p, stdout);
    tessoranth_put_one_random_tip();
    RunPlan plan = plan_run(p);
    LocalStatsWork ice;
    TemplateSpectra spectra;
    PickWork work;
    Run run{p, load_templates(p), tessoranth_cell_side(p.min_dist_px), ice, spectra, work};
    MicrographWalk walk;
    walk.already_done = leave_out_done(p, plan);
    walk.before = [&](int k, const char* name) { return refuse_taken_outputs(plan, k, name); };
    const int skipped = morvandel_pick_micrographs(
        plan.mics.data(), (int)plan.mics.size(),
        [&](Morvandel& m, const char* name) { return pick_micrograph(run, m, name); }, walk);
    device_release(GPU_SITE, run.t.d);
    tessoranth_free_parameters(p);
    return skipped > 0 ? 1 : 0;
}
