// The template particle picker: its parameter record and front end, the
// templates and the correlation maximum over in-plane angles, picks by grid
// cells with neighbour filtering, ice and contamination detection, excluded
// boxes, the mask, the pick and rejected-area outputs, and the class
// Morvandel that keeps one micrograph on the GPU.
//
// Sources, all printing "src/morvandel56": src/morvandel56_params.cu (record,
// defaults, parser, derived sizes, checks of the values), src/morvandel56_echo.cu
// (parameter echo, option list, help, tips, banner), src/morvandel56_ccmax.cu
// (templates and the correlation over angles), src/morvandel56_grid.cu (grid
// find and neighbour filters), src/morvandel56_ice.cu (ice search, excluded
// boxes, mask, rejected areas), src/morvandel56_clean.cu (hot pixels and the
// soft mask of the kept cells) and src/morvandel56.cu (the frame of the files,
// pick outputs, input-name checks, square clips, Morvandel, the walk over the
// micrographs).
//
// Frames: the maps and grids are in pixels of the shrunk micrograph (index
// y*nx + x). Every file the picker writes is in pixels of the original
// micrograph, in the frame of PickFrame below: a map pixel p stands for the
// centre of its block of the original, origin being the corner of the shrunk
// map's area in the original (a square clip) and shrink the shrink factor; box
// sizes are in original pixels. Coordinate files read for exclusion are taken
// in the same frame (an original position falls in the block that holds it).
#pragma once
#include <cstdio>
#include <functional>
#include <vector>

#include "boxfile.h"
#include "cuda_fft.h"
#include "gpu.h"
#include "mrcfile.h"

// ================= parameters and front end =================

// Every setting of the picker. Lengths in A, angles in degrees; flags are 0 or 1.
// The record owns its three 1024-byte texts and the files array; the names in
// files belong to the command line.
struct Tessoranth_Para {
    char** files;            // input micrographs
    char* T;                 // template stack; "NULL" or "NONE": the automatic template
    int dont_invertT;
    float apixM;             // micrograph pixel size
    float apixT;             // template pixel size (apixM unless given)
    float diameter;
    float min_dist;          // smallest distance between picks
    int boxsize;             // box side in original micrograph pixels
    int shrink;              // shrink factor, from speed
    int speed;               // 0..4
    float ang_step;
    int update_T;
    float cc_cutoff;
    float lp, hp;            // band-pass after the ice detection
    float pre_lp, pre_hp;    // band-pass before it
    int T_norm_type;         // 0..3
    float m_edge_ratio;
    int do_bandpass;
    int mic_znorm;
    int mic_wm_norm;
    int do_ctf;
    int do_local_ctf;
    float kv, cs, ac;
    float lave_max, lave_min;
    float lsigma_cutoff;
    float lsigma_D, lave_D;  // window diameters of the local statistics
    int write_normed_T;
    int write_ccmax_mic;
    int write_ccmax_z;
    int do_pre_filter;
    int detect_ice;
    int write_pref_mic;
    int write_pf_mic;
    int write_bg_mic;
    int write_bgfree_mic;
    int write_lsigma_mic;
    int write_mic_mask;
    int do_unfinished;
    char* excluded_suffix;
    int exclusive_picking;
    int mask_excluded;
    char* global_excluded_box;
    int write_rejected_box;
    int write_star;
    int extract_raw;
    int extract_pf;
    int gid;
    int nfiles;
    float ice_softwidth;     // soft edge of the local windows, pixels
    float radius_ratio;
    float spare_ratio;
    int auto_template;
    float psi_start, psi_end;
    float radius_px;         // particle radius in shrunk pixels
    float min_dist_px;       // min_dist in shrunk pixels
    float lsigma_px;         // local-sigma window radius in shrunk pixels
    float lave_px;           // local-average window radius in shrunk pixels
};

extern const char* const TESSORANTH_OPTIONS[38];
extern const char* const TESSORANTH_ALL_TIPS[9];
extern const char* const tessoranth_version;
extern const char* const tessoranth_updated_date;

// files gets count slots (the number of command-line words); every default set.
int tessoranth_init_parameters(int count, Tessoranth_Para& para);
// Releases the three texts and the files array.
void tessoranth_free_parameters(Tessoranth_Para& para);
// Limits of what a run derives from the record: a side of a shrunk map, a
// template or a cell, or a radius, in shrunk pixels; a box in original pixels;
// the angles of one template's search.
constexpr int TESSORANTH_MAX_SIDE = 32768;
constexpr int TESSORANTH_MAX_BOX = 1048575;
constexpr int TESSORANTH_MAX_ANGLES = 36000;

// Parses argv[1..] into the record, derives the sizes, checks them, selects the
// GPU and prints the reminders. An unknown option, a value option standing last,
// a text value of 1024 characters or more, a speed level outside 0..4, a pixel
// size, shrink, angle step or diameter not above 0, a given box outside 1 to
// TESSORANTH_MAX_BOX, a derived size (box, cell side, automatic template or mask
// radius, window radius, template scale) or angle count beyond the limits above,
// cells narrower than 2 shrunk pixels (no cell could hold a pick), an --apixT
// that would shrink a template of the largest side below 1 pixel, a band-pass
// in force whose band keeps nothing (a limit not above 0, lp not below hp, hp
// not above the shrunk Nyquist resolution 2 x apixM x shrink; the pre-filter's
// likewise), a T_norm_type other than 0 to 3, or no input file end the process
// with status 1, naming the option and the range it may take at the values in
// force of the others.
int tessoranth_get_parameters(int argc, char** argv, Tessoranth_Para& para);
// shrink from the speed level: 0..4 give 1, 2, 4, 6, 8; any other level is fatal.
void tessoranth_speed2shrink(int speed, int& shrink);
// Side of the square cells of the pick and ice grids: the integer part of
// min_dist_px/sqrt(2) (a cell's diagonal is the minimum distance), at least 1;
// beyond TESSORANTH_MAX_SIDE (or not a number) it is fatal.
int tessoranth_cell_side(float min_dist_px);

int tessoranth_fput_parameters(int argc, char** argv, const Tessoranth_Para& para, FILE* stream);
void tessoranth_print_valid_options();
void tessoranth_put_all_tips();
void tessoranth_put_one_random_tip();
void tessoranth_put_info(const char* name);
void tessoranth_virus_help_full(const char* name);
void tessoranth_help(const char* name);
void tessoranth_help_full(const char* name);
void tessoranth_virus_help(const char* name);
[[noreturn]] void tessoranth_help_exit(const char* name, const char* reason);

// 0 when the micrograph exists, is a regular file (a named pipe, a directory
// or a device is refused unopened), is readable and is an MRC image (a mode
// the readers convert, sizes above 0, its data within the file:
// mrcf_image_fault); otherwise a warning that names the file and why, and -1.
int check_input_file(const char* name);
// Checks each of the n names in order and keeps only the usable ones, in order;
// n becomes their number. Returns 0.
int check_all_input_files(char** names, int& n);
// out (1024 bytes) = the micrograph name less ".mrc"/".mrcs" + "_nonunique.box"; n is not used.
int set_name_shrinked_box(char* out, const char* micrograph, int n);

// ================= templates and correlation =================

// Host stacks: nz templates of nx x ny, malloc'd; released with destroy_template_data.
// The template functions run once per run, before any micrograph: a template
// that cannot work ends the run (status 1) naming the option that brought it.
// get_template_data refuses a --T that is no regular file (unopened: a named
// pipe would hold the run for ever), a file that is not an MRC stack (the
// checks of mrcf_image_fault) and a slice holding a pixel that is not a finite
// number.
float* get_template_data(int& nx, int& ny, int& nz, const char* name);
// The automatic template: one soft white disc, side 4*int(radius) + 1 (odd, so
// that its centre is the pixel the correlation puts under a pick). A radius
// outside 1 to TESSORANTH_MAX_SIDE/4, or an edge (--m_edge_ratio) that leaves
// it 0 or not a number everywhere, is refused.
float* create_template_data(int& nx, int& ny, int& nz, float radius, float edge);
// A named stack rescaled to the micrograph's pixel size and shrunk with it, or
// the automatic template when name is a null name; besides the refusals above,
// sizes beyond TESSORANTH_MAX_SIDE or that shrink to nothing (naming --apixT).
// With centre, also where the particle's centre lies in the returned templates'
// pixels (template_centre).
float* get_or_create_template_data(int& nx, int& ny, int& nz, const char* name, float radius, float apixT,
                                   float apixM, int shrink, float edge, float2* centre = nullptr);
// A template of n pixels on an axis holds its particle centred on pixel n/2
// (rounded down), the convention of boxed particles, class averages and
// projections of either parity. Where that centre lies once the template is
// scaled by f about its middle ((n - 1)/2, as the scale works) to int(n f)
// pixels and then shrunk by block means of shrink pixels from its first: a
// fraction of a pixel when either step moves it off the pixel grid.
float template_centre(int n, float f, int shrink);
void destroy_template_data(float* stack);
// Each host template normalised by type (0 none, 1 mean, 2 sharp disc and
// background, 3 soft-disc z-normalisation), then the stack copied to dst_d.
// Refuses a template holding a pixel that is not a finite number, and one that
// is 0 everywhere (or not a number) once normalised, or whose sum of squares
// then exceeds single precision: it correlates with nothing.
int normalize_template_data(float* dst_d, const float* src, int nx, int ny, int nz, int type, float radius,
                            float edge);
void rmask_subtract_background(float* image, float radius, int nx, int ny);
void mask_2d_inplace(float* image, int nx, int ny, int cx, int cy, float r);

// For every micrograph pixel, the largest correlation with the template turned
// through psi_start, psi_start + psi_step, ... below psi_end, normalised by
// sqrt(sum(mic^2 mask) * sum(T^2) * cc_factor / sum(mask)), and (with_psi and
// psi_d) the angle that gave it. The template turns about its centre, by
// default its pixel (tnx/2, tny/2) where a particle is centred in a box of
// either parity, else the point centre gives in its pixels (a shrunk
// template's, template_centre); the peak of a particle lies on the map pixel
// under the template's pixel (tnx/2, tny/2), on maps of odd or even sizes alike.
// A template that does not fit in the micrograph returns -1 after a warning,
// nothing written; a psi_step not above 0 is fatal. When the normalisation is
// 0/0 or otherwise not a positive number the map is 0, with a warning.
int morvandel_ccmax_psi_by_one_template(float* mic_d, float* mask_d, float* ccmax_d, float* psi_d, int with_psi,
                                        int nx, int ny, float* T_d, int tnx, int tny, float cc_factor,
                                        float psi_start, float psi_end, float psi_step,
                                        const float2* centre = nullptr);
int morvandel_ccmax_by_one_template(float* mic_d, float* mask_d, float* ccmax_d, int nx, int ny, float* T_d,
                                    int tnx, int tny, float cc_factor, float psi_start, float psi_end,
                                    float psi_step);
// The arrays and transforms of a correlation over angles on an nx x ny map.
// Where a side of the map is slow to transform the correlation runs on a grid
// of a fast length (fft_wrapped_grid) that holds the map wrapped round over the
// template's reach: the same circular correlation, the maps cropped back.
struct CorrelationWork {
    int nx = 0, ny = 0;  // 0 x 0: none made
    FftGrid grid;        // the transforms' size; the maps below are of it
    float* mic = nullptr;  // the micrograph on the grid, when it is padded
    float* cc[2] = {nullptr, nullptr};  // the correlations of two successive angles
    float* best = nullptr;
    float* best_psi = nullptr;
    float2* mic_spectrum = nullptr;
    float2* product = nullptr;
    cufftHandle r2c = 0, c2r = 0;
};
// A turned template's spectrum, pasted centred into a zeroed map, hangs on the
// template, the angle and the map's size only, not on the micrograph: a run
// keeps those of every template at every angle, with the correlation's work
// arrays, from micrograph to micrograph while the shrunk size stays, so that an
// angle costs one product and one inverse transform. The first micrograph of a
// size makes them as it goes, with the same turns, paste and transform as
// morvandel_ccmax_psi_by_one_template. They take nz * angles * (gx/2 + 1) * gy
// * 8 bytes on the correlation's grid (72 angles on 1024 x 1024: 302 MB) and are held only within a
// budget: at most MORVANDEL_SPECTRA_BUDGET and half the device memory free
// when they are prepared.
constexpr size_t MORVANDEL_SPECTRA_BUDGET = (size_t)1 << 30;
// What a set of spectra is made from: the device stack of nz templates of
// tnx x tny turned about (cx, cy), the map size (0 x 0: none held) and the angles.
struct TemplateSpectraKey {
    const float* templates = nullptr;
    int tnx = 0, tny = 0, nz = 0;
    float cx = 0.0f, cy = 0.0f;
    int nx = 0, ny = 0;
    float psi_start = 0.0f, psi_end = 0.0f, psi_step = 0.0f;
    bool operator==(const TemplateSpectraKey& o) const {
        return templates == o.templates && tnx == o.tnx && tny == o.tny && nz == o.nz && cx == o.cx && cy == o.cy &&
               nx == o.nx && ny == o.ny && psi_start == o.psi_start && psi_end == o.psi_end &&
               psi_step == o.psi_step;
    }
};
struct TemplateSpectra {
    TemplateSpectraKey key;
    long long angles = 0;
    std::vector<float2*> spectra;  // template z at angle k: z * angles + k, (gx/2 + 1) x gy on the grid; null until made
    CorrelationWork work;
    TemplateSpectra() = default;
    TemplateSpectra(const TemplateSpectra&) = delete;
    TemplateSpectra& operator=(const TemplateSpectra&) = delete;
    ~TemplateSpectra();
};
// Readies s for the nz templates of T_d (tnx x tny each) on an nx x ny map over
// the angles, unless it is ready for them; what s held for another size or
// stack goes. False, s holding none, when a template does not fit in the map or
// the spectra would not fit the budget.
bool morvandel_prepare_template_spectra(TemplateSpectra& s, float* T_d, int tnx, int tny, int nz, int nx, int ny,
                                        float psi_start, float psi_end, float psi_step,
                                        const float2* centre = nullptr);
// morvandel_ccmax_psi_by_one_template with template z of the prepared set and
// its angles, to the bit, on a micrograph of the set's s.key.nx x s.key.ny.
int morvandel_ccmax_psi_by_prepared_template(float* mic_d, float* mask_d, float* ccmax_d, float* psi_d,
                                             int with_psi, TemplateSpectra& s, int z, float cc_factor);
// Number of angles psi_start + k*psi_step below psi_end; a step not above 0,
// or one that gives more than TESSORANTH_MAX_ANGLES angles, is fatal.
long long morvandel_psi_count(float psi_start, float psi_end, float psi_step);

// ccmax = cc where ccmax < cc (and psi_map = psi there).
__global__ void cuda_update_ccmax_2d(float* ccmax, const float* cc, int nx, int ny);
__global__ void cuda_update_ccmax_psi_2d(float* ccmax, const float* cc, float* psi_map, float psi, int nx, int ny);
void hcuda_update_ccmax_2d(float* ccmax_d, const float* cc_d, int nx, int ny);
void hcuda_update_ccmax_psi_2d(float* ccmax_d, const float* cc_d, float* psi_d, float psi, int nx, int ny);

// ================= band-pass of a shrunk micrograph =================
// Keeps the frequencies from 1/hp to 1/lp (A, at apix A per pixel) of an nx x ny
// device image, in place: the sharp band of the image's own discrete spectrum,
// the zero frequency only when hp is not finite. Where a side's length is slow
// to transform, the same filter runs as the circular convolution with its
// kernel (the band-pass of a unit impulse, made once per size and band) on a
// grid of fast lengths that holds the image wrapped round over the kernel's
// reach (fft_wrapped_grid, half the image on either side).
struct BandPassKernel {
    int nx, ny;
    float f2_min, f2_max;  // the band, squared cycles per pixel
    float2* spectrum;      // of the kernel on the grid
};
// The arrays of the band-passes of a run, kept from one micrograph to the next.
struct BandPassWork {
    float2* spectrum = nullptr;  // the image's own spectrum, where its sides are fast
    size_t spectrum_n = 0;
    FftGridImage grid;           // the image on the grid, elsewhere
    std::vector<BandPassKernel> kernels;  // on that grid
    BandPassWork() = default;
    BandPassWork(const BandPassWork&) = delete;
    BandPassWork& operator=(const BandPassWork&) = delete;
    ~BandPassWork();
};
void morvandel_bandpass_inplace(float* image_d, int nx, int ny, float apix, float lp, float hp, BandPassWork& work);

// ================= grid peak finding and neighbour filtering =================
// Cells of side g: gx = (nx + g - 1)/g columns, gy rows, cell j*gx + i. Per
// cell: the pick index (map pixel index, 0 for none), the cell maximum and the
// pick angle. Two picks conflict below a distance of sqrt(2)*g. The filters
// compare each cell with its neighbours' picks as found (found: a copy of the
// pick indices made before the launch), so the result does not depend on the
// order of the threads. A cell side of 0 is fatal in the host functions.

int grid_cells(int n, int g);
// The pixels of cell (i, j) of side g: x0 <= x < x1, y0 <= y < y1, clipped to the map.
struct CellBounds {
    int x0, y0, x1, y1;
};
__host__ __device__ inline CellBounds cell_bounds(int i, int j, int g, int nx, int ny) {
    const int x0 = i * g, y0 = j * g;
    return CellBounds{x0, y0, x0 + g < nx ? x0 + g : nx, y0 + g < ny ? y0 + g : ny};
}
// The cell (i, j) of the calling thread of a launch over a gx x gy grid; false outside it.
__device__ inline bool grid_cell_of_thread(int gx, int gy, int& i, int& j) {
    i = (int)(blockIdx.x * blockDim.x + threadIdx.x);
    j = (int)(blockIdx.y * blockDim.y + threadIdx.y);
    return i < gx && j < gy;
}

__global__ void cuda_find_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, int nx, int ny, int gx, int gy,
                                      int g);
__global__ void cuda_find_ccmax_psi_grids(const float* cc, const float* psi, unsigned* idx, float* cellmax,
                                          float* cellpsi, int nx, int ny, int gx, int gy, int g);
__global__ void cuda_find_update_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, int nx, int ny, int gx,
                                             int gy, int g);
__global__ void cuda_filter_ccmax_grids(unsigned* idx, const unsigned* found, const float* cellmax, float cutoff,
                                        int nx, int ny, int gx, int gy, int g);
__global__ void cuda_filter_ccmax_psi_grids(unsigned* idx, const unsigned* found, const float* cellmax,
                                            const float* cellpsi, float cutoff, int nx, int ny, int gx, int gy,
                                            int g);
__global__ void cuda_filter_ccmax_psi_grids_exclusive(unsigned* idx, const unsigned* found, const float* cellmax,
                                                      const float* cellpsi, float cutoff, int nx, int ny, int gx,
                                                      int gy, int g, const unsigned* excluded, int n);

void hcuda_find_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, int nx, int ny, int gx, int gy, int g);
void hcuda_find_update_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, int nx, int ny, int gx, int gy,
                                   int g);
// The map is not read.
void hcuda_filter_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, float cutoff, int nx, int ny, int gx,
                              int gy, int g);
void hcuda_find_filter_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, float cutoff, int nx, int ny,
                                   int gx, int gy, int g);
void hcuda_find_filter_ccmax_psi_grids(const float* cc, const float* psi, unsigned* idx, float* cellmax,
                                       float* cellpsi, float cutoff, int nx, int ny, int gx, int gy, int g);
void hcuda_find_update_filter_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, float cutoff, int nx,
                                          int ny, int gx, int gy, int g);
// Device maps, host grids of grid_cells(nx, g)*grid_cells(ny, g) elements.
void gpu_find_filter_ccmax_psi_grids(const float* cc, const float* psi, unsigned* idx, float* cellmax,
                                     float* cellpsi, float cutoff, int nx, int ny, int g);
// excluded: n device map pixel indices (n may be 0); a pick within sqrt(2)*g of one is dropped.
void gpu_find_filter_ccmax_psi_grids_exclusive(const float* cc, const float* psi, unsigned* idx, float* cellmax,
                                               float* cellpsi, float cutoff, int nx, int ny, int g,
                                               const unsigned* excluded, int n);

// ================= ice detection, exclusion and outputs =================

// Suffixes of the files the picker writes beside a micrograph (its name less
// ".mrc" or ".mrcs"): the picks (STAR, or box rows with write_star 0; each
// written whole beside it under its name + MORVANDEL_PART_SUFFIX and moved into
// place), the rejected areas and the shrunk maps.
constexpr const char* MORVANDEL_STAR_SUFFIX = "_morvandel.star";
constexpr const char* MORVANDEL_BOX_SUFFIX = "_morvandel.box";
constexpr const char* MORVANDEL_PART_SUFFIX = ".part";
constexpr const char* MORVANDEL_REJECTED_BOX_SUFFIX = "_rejected.box";
constexpr const char* MORVANDEL_REJECTED_STAR_SUFFIX = "_rejected.star";
constexpr const char* MORVANDEL_BG_SUFFIX = "_bg.mrc";
constexpr const char* MORVANDEL_LSIGMA_SUFFIX = "_lsigma.mrc";
constexpr const char* MORVANDEL_PREF_SUFFIX = "_pref.mrc";
constexpr const char* MORVANDEL_MASK_SUFFIX = "_mask.mrc";
constexpr const char* MORVANDEL_BGFREE_SUFFIX = "_bgfree.mrc";
constexpr const char* MORVANDEL_CCMAX_SUFFIX = "_ccmax.mrc";
// A shrunk map of the micrograph written beside it with the suffix: nx x ny
// floats from the device, the header carrying the shrunk pixel size apix.
int morvandel_write_map(const char* micrograph, const char* suffix, const float* map_d, int nx, int ny, float apix);

// Rejected-cell grid with the cell side tessoranth_cell_side(para.min_dist_px)
// into idx_d (grid_cells(nx, e)*grid_cells(ny, e) elements, device); writes
// "_rejected.box", "_rejected.star", "_bg.mrc" and "_lsigma.mrc" beside name as
// the record asks (the maps at the shrunk pixel size, apixM x shrink).
int hcuda_2d_ice_detect(float* mic_d, int nx, int ny, int2 origin, unsigned* idx_d, const char* name,
                        const Tessoranth_Para& para);
// The same with the local statistics' windows and work arrays kept in work, for
// a run over micrographs of one size.
struct LocalStatsWork;
int hcuda_2d_ice_detect(float* mic_d, int nx, int ny, int2 origin, unsigned* idx_d, const char* name,
                        const Tessoranth_Para& para, LocalStatsWork& work);
__global__ void cuda_find_sigma_grids(const float* ave, const float* sigma, unsigned* idx, float* cellave,
                                      float* cellsigma, int nx, int ny, int gx, int gy, int e, float lave_min,
                                      float lave_max, float lsigma_cutoff);
// The scale of the map the ice search is handed. The thresholds (lave_min,
// lave_max, lsigma_cutoff) are absolute, so the map is in units of the noise
// deviation of the unshrunk micrograph, about its median: a particle's or a
// contamination's low-resolution contrast, which shrinking keeps, then reads the
// same at every speed, while the noise, which shrinking averages down, only
// lowers the local sigma's floor (1 at shrink 1, 1/shrink beyond).
//
// The most pixels the statistics below read of an image, evenly spread.
constexpr size_t MORVANDEL_SPREAD_SAMPLE = (size_t)1 << 16;
// The robust deviation of a host image's pixels (of up to
// MORVANDEL_SPREAD_SAMPLE of them, evenly spread): the deviation of those within
// 3.5 deviations of their mean, taken again until they stay the same (from the
// median and the median absolute deviation), corrected for the normal
// distribution's tails beyond the bound. White noise gives its deviation; hot
// pixels or a minority of dense contamination do not widen it. Where the pixels
// within the bound are one value it is the plain deviation; 0 only for an image
// without variance.
float morvandel_noise_deviation(const float* image, size_t n);
// The median of a host image's pixels (of up to MORVANDEL_SPREAD_SAMPLE of them, evenly spread).
float morvandel_median(const float* image, size_t n);
// The pixels of a device image the two above read (every k-th, k odd), on the host.
std::vector<float> morvandel_spread_sample(const float* image_d, size_t n);
// ice_d = (mic_d - median(mic_d)) * to_noise on the device (n floats each).
void morvandel_ice_map(float* ice_d, const float* mic_d, size_t n, float to_noise);
// The share of an nx x ny map where no pick can be: within the exclusive
// filter's reach (squared distance below 2 g^2) of the ice marks (the rejected
// cells' pixels) or in a cell of side g marked in ice_cells (a grid of the
// map's cells, row by row; none when empty), and, of the rest, of the excluded
// marks (map pixel indices; 0 is no mark).
struct MorvandelLeftOut {
    double ice = 0.0, excluded = 0.0;  // fractions of the map's pixels
};
MorvandelLeftOut morvandel_left_out(const std::vector<unsigned>& ice, const std::vector<unsigned>& excluded, int nx,
                                    int ny, int g, const std::vector<unsigned>& ice_cells = {});
void hcuda_find_sigma_grids(const float* ave_d, const float* sigma_d, unsigned* idx_d, float* cellave_d,
                            float* cellsigma_d, int nx, int ny, int e, float lave_min, float lave_max,
                            float lsigma_cutoff);
// Rejected cells of host grids, the rejecting pixel in the frame of the map's
// pixels: mode 1 an X/Y STAR file, any other mode box rows of the cell's size
// around it with the cell statistics.
int output_ice_coord(const char* name, const unsigned* idx, const float* cellave, const float* cellsigma, int nx,
                     int ny, int2 origin, int e, int shrink, int mode);
// Marks the cells holding the centres of the boxes (original pixels); boxes
// whose centre falls outside the shrunk map are skipped.
int add_excluded_coords_to_ice(unsigned* idx_d, int nx, int ny, int e, const PTCL_BOX* boxes, int n, int shrink,
                               int2 origin);
// The same for the boxes of a .box or .star file; a null, missing or unreadable name marks nothing
// (the reader's warning says why an unreadable one is passed over).
int add_excluded_boxf_to_ice(unsigned* idx_d, int nx, int ny, int e, char* name, int shrink, int2 origin);
__global__ void cuda_2d_generate_mask_by_coords(float* mask, int nx, int ny, int gx, int gy, int e,
                                                const unsigned* idx, float flag);
// Rejected cells become flag, accepted ones 1 - flag; src is not read.
int hcuda_2d_generate_mask_by_coords(float* mask_d, const float* src, int nx, int ny, int e, const unsigned* idx_d,
                                     float flag);

// ---- what the correlation leaves out (src/morvandel56_clean.cu) ----
// After the plain shrink of in (nx x ny) by f into out: every block holding a
// hot pixel is averaged again with each pixel that lies
// beyond bound from centre and, on the same side, from all but two of its (up
// to eight) neighbours replaced by the median of its neighbours: a hot pixel of
// the detector (or two side by side) no longer sets the map's deviation, while
// contamination and particles, whose pixels have at least three neighbours
// like them, stay as they are. Blocks without one are not written.
__global__ void cuda_2d_meanshrink_mend_hot(const float* in, float* out, int nx, int ny, int f, float centre,
                                            float bound);
void hcuda_2d_meanshrink_mend_hot(const float* in, float* out, int nx, int ny, int f, float centre, float bound);
// The mask of the kept cells (1) with a soft edge: across width pixels (1 to
// e) into a rejected cell it falls from 1 to 0 as a half cosine of the
// distance to the nearest kept pixel of a neighbouring cell; 0 beyond.
__global__ void cuda_2d_generate_soft_mask_by_coords(float* mask, int nx, int ny, int gx, int gy, int e,
                                                     const unsigned* idx, float width);
int hcuda_2d_generate_soft_mask_by_coords(float* mask_d, int nx, int ny, int e, const unsigned* idx_d, float width);

// Where the picker's files put a map pixel in the original micrograph. Map
// pixel p is the block of shrink x shrink original pixels from origin +
// shrink*p; a pick there stands for the particle's centre, origin + shrink*p +
// centre: the centre of the block ((shrink - 1)/2) for a template centred on
// its pixel under the pick (the automatic disc, any template at shrink 1),
// else as far from it as the shrunk template's centre lies from that pixel.
// Where the particle lies within its map pixel, which at a shrink of s spans s
// original pixels, is taken from the correlation around the peak when given
// (within, per cell of the pick grid). Positions are rounded to the nearest
// pixel; a half goes up from an odd map pixel and down from an even one, so
// that halves leave no bias on average.
struct PickFrame {
    int2 origin;    // corner of the shrunk map's area in the original micrograph
    int shrink;
    float2 centre;  // original pixels from the first of a pick's block to what it stands for
    const float2* within = nullptr;  // per cell, the peak's offset from its map pixel (-0.5 to 0.5), or none
};
// The frame of the map's own pixels (the rejected areas): each the centre of its block.
PickFrame pick_frame(int2 origin, int shrink);
// The frame of the picks of a tnx x tny shrunk template whose particle is
// centred at centre, in its pixels (get_or_create_template_data).
PickFrame pick_frame(int2 origin, int shrink, float2 centre, int tnx, int tny);
// Map pixel (x, y), moved by d map pixels, in original pixels.
int2 frame_position(const PickFrame& frame, int x, int y, float2 d = float2{0.0f, 0.0f});
// Where the maximum of a map lies around each pick (map pixel indices, 0 for
// none), per axis, from the parabola through the pick and its two neighbours:
// its offset from the pick's pixel, within half a pixel (0 at the map's edge or
// where the three make no maximum).
std::vector<float2> peak_offsets(const float* map, int nx, int ny, const std::vector<unsigned>& idx);

int tessoranth_output_star_head(FILE* stream);
// The kept picks of one template (host grids of n cells, map pixels) written in
// original micrograph pixels of the frame, a box of box pixels around each; a
// pick whose box does not lie inside the map's area is left out.
int output_morvandel_coord_one_temp(FILE* stream, const unsigned* idx, const float* cc, const float* psi,
                                    int class_id, int n, int nx, int ny, int box, const PickFrame& frame);
// The same as STAR rows (x, y, class, angle, score) to an open stream, after its header.
int output_morvandel_star_rows_one_temp(FILE* stream, const unsigned* idx, const float* cc, const float* psi,
                                        int class_id, int n, int nx, int ny, int box, const PickFrame& frame);
int output_morvandel_star_one_temp(const char* name, const unsigned* idx, const float* cc, const float* psi,
                                   int class_id, int n, int nx, int ny, int box, const PickFrame& frame);
// 1 when name is a regular file that can be read (a finished pick file), else 0.
int is_file_morvandel_done(const char* name);

int get_max_extended_square_even_size(int nx, int ny, int shrink);
int get_max_square_even_size(int nx, int ny);
int2 get_max_square_clip_origin(int nx, int ny);
// Slice 0 of the open file, its size x size square at origin into dst. A file
// that is not an MRC image, a square larger than the micrograph, or a square
// holding pixels that are not finite numbers returns -1 after one warning.
int mrc_read_square_even(FILE* file, MRC_HEAD* head, float* dst, int size, int2 origin);
int mrc_read_square_even_extend(FILE* file, MRC_HEAD* head, float* dst, int size, int2 origin);
// Opens the first name of the list that check_input_file takes into file and
// copies it into first (1024 bytes); -1, both untouched, when none is usable.
int check_access_openf_1st(char** names, int n, char* first, FILE*& file);

// Pixels of a host image that are not finite numbers (NaN or infinity); the
// picker refuses micrographs and templates that hold any.
size_t morvandel_count_not_finite(const float* image, size_t n);

// One micrograph on the GPU. Every GPU call is checked.
class Morvandel {
  public:
    bool owned;
    bool cleared;
    float* mic_d;
    int nx, ny;
    std::vector<float> slice;  // the host image set_mic(name) reads into, kept for the next one

    Morvandel();
    Morvandel(float* mic_d, int nx, int ny);
    int set_mic_d(float* mic_d, int nx, int ny);
    // -1 with a warning when the image holds pixels that are not finite
    // numbers (the warning counts them); what was held stays.
    int set_mic(const float* host, int nx, int ny);
    // -1 with a warning when the file is no regular file (refused unopened) or
    // not an MRC image (as check_input_file),
    // slice 0 cannot be read or holds pixels that are not finite numbers; what
    // was held stays. Both set_mic copy into the array held when it has the
    // image's size, so a run over micrographs of one size makes it once.
    int set_mic(const char* name);
    int malloc_mic();
    int malloc_mic(int nx, int ny);
    int free_mic();
    int write_mic(const char* name);
};

// What the walk over the micrographs is told besides their names: a check run
// before micrograph k of the list is looked at (0 to go on; -1, after a warning
// that says why, skips it), and how many micrographs of the run were left out
// of the list as already done (-1: the run does not resume, and its closing
// line does not count them).
struct MicrographWalk {
    std::function<int(int, const char*)> before;
    int already_done = -1;
};
// The picker's walk over its micrographs: each usable name in turn is read
// into one Morvandel (set_mic) and handed to pick, which returns 0 when it has
// picked it. A micrograph that the walk's check refuses, that is missing,
// unreadable, no regular file (a named pipe, a directory: refused unopened),
// not an MRC image or holds pixels that are not finite numbers, or that pick
// refuses (-1), is skipped with its warning and the list goes on; the walk
// ends with one line that counts the micrographs (and, resuming, those already
// done) and names the skipped ones. Returns the number skipped.
int morvandel_pick_micrographs(char** names, int n, const std::function<int(Morvandel&, const char*)>& pick,
                               const MicrographWalk& walk = MicrographWalk{});

// ================= the picker program =================

// The whole run of the program morvandel over its command line: the options
// parsed and echoed, the templates read (or made), inverted unless dont_invertT
// and normalised once, before any micrograph; then each micrograph in turn is
// shrunk, normalised, pre-filtered (do_pre_filter), searched for ice
// (detect_ice), marked with its excluded boxes, masked, band-passed
// (do_bandpass), correlated with every template over the angles, and its picks
// (the best template per cell, its class its template's number) are written
// beside it in original pixels: "_morvandel.star", or box rows
// "_morvandel.box" with write_star 0. With do_unfinished a micrograph whose
// pick file is there (a regular file that can be read) is not picked again,
// and the closing line counts it. A micrograph that cannot be picked is skipped with a warning
// that says why. Before any micrograph or template is read, every file the run
// writes under the options in force (the pick file and its part file, the
// rejected areas, every map) is taken as the file it denotes: one that is an
// input (a micrograph, the templates, an exclusion file) ends the run with
// status 1 naming both, and of two micrographs that name one output the later
// is skipped, its warning naming the earlier. A name the picker writes for
// another micrograph of the list (a map or pick file of an earlier run) is
// left out of the list with one line. Every output of a micrograph is looked
// at before it is picked, and one that cannot be written skips it. Returns the
// exit status: 1 when any micrograph was skipped, else 0.
int morvandel_run_all(int argc, char** argv);
