// Box extraction and pasting between large and small images, particle stacks
// read from box lists or regular grids, rotational averages of y-centred half
// spectra, low-frequency attenuation, the ring of the diagnostic image, box
// filters and hot-pixel removal.
//
// Images are row-major float arrays, element (x, y) at y*nx + x. A box is given
// by its top-left corner (x0, y0) in the large image and its size snx x sny.
// A y-centred half spectrum has nxh = nx/2 + 1 columns (column 0 is kx = 0) and
// ny rows (row ny/2 is ky = 0).
#pragma once
#include <cstdint>
#include <vector>

#include "boxfile.h"
#include "cuda_fft.h"
#include "cuda_general.h"

// ---- extraction: the small image is written entirely; pixels outside the large image become 0 ----
// A thread of the kernel copies GPU_LANES neighbouring pixels of a row (gpu.h):
// (snx + GPU_LANES - 1)/GPU_LANES threads across cover a row.
__global__ void cuda_2d_extract_small_from_large(float* small, int snx, int sny, const float* large, int lnx, int lny,
                                                 int x0, int y0);
void hcuda_2d_extract_small_from_large(float* small, int snx, int sny, const float* large, int lnx, int lny, int x0,
                                       int y0);
// Small image i goes to smalls + i*snx*sny; corners is a host array.
void hcuda_2d_extract_smalls_from_large(float* smalls, int snx, int sny, int n, const float* large, int lnx, int lny,
                                        const int2* corners);
void cpu_2d_extract_small_from_large(float* small, int snx, int sny, const float* large, int lnx, int lny, int x0,
                                     int y0);
void cpu_2d_extract_smalls_from_large(float* smalls, int snx, int sny, int n, const float* large, int lnx, int lny,
                                      const int2* corners);
void cpu_x2d_extract_squares_from_large(float* smalls, unsigned s, int n, const float* large, int lnx, int lny,
                                        const int2* corners);
// Corners from the x and y of each box.
void cpu_2d_extract_ptcls_from_micrograph(float* smalls, int snx, int sny, int n, const float* large, int lnx, int lny,
                                          const PTCL_BOX* boxes);
void cpu_2d_extract_ptcls_from_mrcs(float* smalls, int snx, int sny, int n, const float* large, int lnx, int lny,
                                    const PTCL_BOX* boxes);
// The same box of each frame (frame f at movie + f*lnx*lny) into out + f*snx*sny.
void cpu_x2d_movie_extract_small_from_large(float* out, int snx, int sny, int nframes, const float* movie, int lnx,
                                            int lny, int x0, int y0);
// Particle i's frames at out + i*nframes*snx*sny.
void cpu_2d_extract_ptcls_from_movie(float* out, int snx, int sny, int nframes, int n, const float* movie, int lnx,
                                     int lny, const PTCL_BOX* boxes);

// ---- pasting: only the covered pixels of the large image change ----
__global__ void cuda_x2d_cp_small_to_large(float* large, const float* small, int lnx, int lny, int snx, int sny, int x0,
                                           int y0);
void hcuda_x2d_cp_small_to_large(float* large, const float* small, int lnx, int lny, int snx, int sny, int x0, int y0);
void cpu_x2d_cp_small_to_large(float* large, const float* small, int lnx, int lny, int snx, int sny, int x0, int y0);
// First small pixel at ((lnx - snx)/2, (lny - sny)/2).
__global__ void cuda_x2d_cp_small_to_large_center(float* large, const float* small, int lnx, int lny, int snx,
                                                  int sny);
void hcuda_x2d_cp_small_to_large_center(float* large, const float* small, int lnx, int lny, int snx, int sny);
// Small image i at corner i, in order: a later box overwrites an earlier one.
void cpu_x2d_cp_smalls_to_large(float* large, const float* smalls, int lnx, int lny, int snx, int sny, int n,
                                const int2* corners);
void cpu_x2d_cp_ptcls_to_micrograph(float* large, const float* smalls, int lnx, int lny, int snx, int sny, int n,
                                    const PTCL_BOX* boxes);
// Each particle is first mapped linearly so that its reference takes the mean and
// deviation of the micrograph region it replaces (smalls is rescaled in place).
void cpu_x2d_norm_cp_ptcls_to_micrograph(float* large, float* smalls, const float* refs, int lnx, int lny, int snx,
                                         int sny, int n, const PTCL_BOX* boxes);

// ---- particle stacks ----
// Boxes of the first box's size lying strictly inside the image; box i to slot i,
// others left as they were (with a warning). Returns the number copied.
int host_2d_read_ptcls_to_2ds_from_boxes(float* stack, const PTCL_BOX* boxes, int n, const float* image, unsigned nx,
                                         unsigned ny);
// Device stack and image; kept boxes packed densely, their dist fields copied in
// order into the device array values. Returns the number copied.
int hcuda_2d_read_ptcls_to_2ds_from_boxes(float* stack, const PTCL_BOX* boxes, float* values, int n,
                                          const float* image, unsigned nx, unsigned ny);
// Boxes of box x box on a grid of corners (j*step, i*step), slot i*columns + j. Return 0.
int host_2d_read_ptcls_to_2ds_from_autogrids(const float* image, unsigned nx, unsigned ny, float* stack, int box,
                                             int step);
int hcuda_2d_read_ptcls_to_2ds_from_autogrids(const float* image, unsigned nx, unsigned ny, float* stack, int box,
                                              int step);

// ---- rotational averages, smoothing and filters ----
// Profile of nxh values over integer radii, each element shared linearly between
// its two neighbouring radii and divided by the summed weights. Returns 0.
int rotational_average_2dh(const float* data, float* profile, unsigned nxh, unsigned ny);
// Elements inside the radius R = (nxh - 1)*2*apix/res are multiplied by
// exp(-(R - r)^2 / (2 sigma^2)), sigma = R/3. The host form zeroes the element at
// (nxh*ny)/2 first; the device form does not.
__global__ void cuda_2dh_smooth_low_frequency_inplace(float* data, int nxh, int ny, float apix, float res);
void hcuda_2dh_smooth_low_frequency_inplace(float* data, int nxh, int ny, float apix, float res);
void cpu_2dh_smooth_low_frequency_inplace(float* data, int nxh, int ny, float apix, float res);
// Elements inside the same radius set to 0.
void cpu_2dh_zero_low_frequency_inplace(float* data, int nxh, int ny, float apix, float res);
// Pixels with -w < r - nx*apix/res <= w (r from (nx/2, ny/2)) set to 5; w < 1
// means 2 for images larger than 512 in either direction, else 1.5.
void cpu_2d_plot_circle(float* image, int nx, int ny, float apix, float res, float w);
// Mean over the window [x - bx/2, x + bx/2) x [y - by/2, y + by/2) clipped to the
// image; in and out must differ. A box below 2 pixels on either side is refused.
__global__ void cuda_2d_convolution_by_box(const float* in, float* out, unsigned nx, unsigned ny, int bx, int by);
// The kernel sums each window directly, one pixel per thread; the host function
// slides the window over column sums in double, O(1) per pixel, and gives the
// mean at least as accurately (NaN and infinity where the kernel gives them).
void hcuda_2d_convolution_by_box(const float* in, float* out, unsigned nx, unsigned ny, int bx, int by);
// out (c_end - c_begin wide, ny rows) = in - box mean of in, over the columns
// c_begin <= x < c_end only; the same values as the box mean of the whole image
// (hcuda_2d_convolution_by_box) subtracted there. out may be in.
void hcuda_2d_sub_box_mean_cols(float* out, const float* in, unsigned nx, unsigned ny, int bx, int by,
                                unsigned c_begin, unsigned c_end);
// Over the same window: sqrt(sum of squared deviations from the window mean) / N.
__global__ void cuda_2d_std_by_box(const float* in, float* out, unsigned nx, unsigned ny, int bx, int by);
int hcuda_2d_std_by_box(const float* in, float* out, unsigned nx, unsigned ny, int bx, int by);
// image := ln(image) - box average of ln(image) over a box x box window.
void hcuda_2d_log_subbg_boxconv_inplace(float* image, unsigned nx, unsigned ny, int box);
// Pixels farther than cutoff deviations from the image mean are replaced by a
// weighted mean of their eight neighbours, read from the untouched copy before.
__global__ void cuda_2d_rm_hotpixels_inplace(float* image, const float* before, unsigned nx, unsigned ny, float mean,
                                             float std, float cutoff);
// On each image of a host stack of nz images, in place.
void hcuda_2ds_rm_hotpixels_inplace(float* stack, unsigned nx, unsigned ny, int nz, float cutoff);

// ================= geometric transforms =================
// Resampling on the shared bilinear rule (bilinear.h): one thread per output
// pixel, 32 x 32 blocks; a source position outside the input gives 0. Angles in
// degrees; a rotation by t maps output (x, y) to the source
// (cx + c u + s v, cy - s u + c v), u = x - cx, v = y - cy, c = cos t, s = sin t
// (sincos_degrees: exact at quarter and whole turns); the image centre is
// ((nx - 1)/2, (ny - 1)/2). Input and output must differ.
#include "bilinear.h"
#include "sym.h"

// Mode -1: m is the map from output to source about (cx, cy); any other mode
// uses its inverse (m must then be invertible; a singular m gives 0 everywhere).
__global__ void cuda_2d_transform(const float* in, float* out, unsigned nx, unsigned ny, float cx, float cy,
                                  RT_Mat2D m, int mode);
__global__ void cuda_2d_transform2(const float* in, float* out, unsigned nx, unsigned ny, float cx, float cy,
                                   RT_Mat2D m, int mode);
void hcuda_2d_transform(const float* in, float* out, unsigned nx, unsigned ny, float cx, float cy, RT_Mat2D m,
                        int mode);
__global__ void cuda_2d_rotate(const float* in, float* out, unsigned nx, unsigned ny, float degrees);
void hcuda_2d_rotate(const float* in, float* out, unsigned nx, unsigned ny, float degrees);
__global__ void cuda_2d_rotate_anycenter(const float* in, float* out, unsigned nx, unsigned ny, float cx, float cy,
                                         float degrees);
// Mean of the bilinear samples along the arc of +-|degrees| about (cx, cy), one
// sample per pixel of arc length; 0 within one pixel of the centre or for 0 degrees.
__global__ void cuda_2d_rotate_ave_anycenter(float* in, float* out, unsigned nx, unsigned ny, float cx, float cy,
                                             float degrees);
// Source (x - tx, y - ty); the _x and _y forms move along one axis only.
__global__ void cuda_2d_translate(const float* in, float* out, unsigned nx, unsigned ny, float tx, float ty);
__global__ void cuda_2d_translate_x(const float* in, float* out, unsigned nx, unsigned ny, float t);
__global__ void cuda_2d_translate_y(const float* in, float* out, unsigned nx, unsigned ny, float t);
// Rotation about the image centre of the output pixel moved by -(tx, ty).
__global__ void cuda_2d_rotate_translate(const float* in, float* out, unsigned nx, unsigned ny, float degrees,
                                         float tx, float ty);
// The rotation's source about the image centre, less (tx, ty).
__global__ void cuda_2d_translate_rotate(const float* in, float* out, unsigned nx, unsigned ny, float tx, float ty,
                                         float degrees);
void hcuda_2d_translate_rotate(const float* in, float* out, unsigned nx, unsigned ny, float tx, float ty,
                               float degrees);
// Output int(nx*f) x int(ny*f) (empty when that is not positive), centres coinciding.
__global__ void cuda_2d_scale(float* out, const float* in, int nx, int ny, float f);
void hcuda_2d_scale(float* out, const float* in, int nx, int ny, float f);
void gpu_2d_scale(float* out, const float* in, int nx, int ny, float f);
// nz images, input k at in + k*nx*ny, output k at out + k*int(nx*f)*int(ny*f).
void hcuda_2ds_scale(float* out, const float* in, int nx, int ny, int nz, float f);
void gpu_2ds_scale(float* out, const float* in, int nx, int ny, int nz, float f);

// ---- index permutations of input pixel (x, y), run over the input ----
// Transpose with the new rows reversed: to x*ny + (ny - 1 - y); the output is ny x nx.
__global__ void cuda_2d_swap_xy(const float* in, float* out, unsigned nx, unsigned ny);
void hcuda_2d_swap_xy(const float* in, float* out, unsigned nx, unsigned ny);
void gpu_2d_swap_xy(const float* in, float* out, unsigned nx, unsigned ny);
// Plain transpose of every image: to x*ny + y.
__global__ void cuda_2ds_swap_xy(const float* in, float* out, unsigned nx, unsigned ny, unsigned nz);
void hcuda_2ds_swap_xy(const float* in, float* out, unsigned nx, unsigned ny, unsigned nz);
void gpu_2ds_swap_xy(const float* in, float* out, unsigned nx, unsigned ny, unsigned nz);
// x reversed, y reversed, transposed (x*ny + y).
__global__ void cuda_2d_flipx(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_flipy(float* out, const float* in, unsigned nx, unsigned ny);
__global__ void cuda_2d_flipxy(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_flipx(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_flipy(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_flipxy(float* out, const float* in, unsigned nx, unsigned ny);
// Every image of the stack: 1 x reversed, 2 y reversed, 3 both, 4 transposed,
// 5 transposed with the new rows reversed, 6 transposed with the new row order
// reversed, 0, 7 and any other mode a copy. Modes 4 to 6 give ny x nx images.
// The gpu_ form ends the process with the fatal line for a mode outside 0..7.
__global__ void cuda_2ds_flip(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz, int mode);
void hcuda_2ds_flip(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz, int mode);
void gpu_2ds_flip(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz, int mode);

// ---- mirror padding to 2nx x 2ny and its inverse crop ----
// Input (x, y) to (x, y), (x, 2ny-1-y), (2nx-1-x, y) and (2nx-1-x, 2ny-1-y).
__global__ void cuda_2d_mirror_pad(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_mirror_pad(float* out, const float* in, unsigned nx, unsigned ny);
// out (nx x ny) = the top-left quarter of in (2nx x 2ny).
__global__ void cuda_2d_mirror_pad_inv(float* out, const float* in, unsigned nx, unsigned ny);
void hcuda_2d_mirror_pad_inv(float* out, const float* in, unsigned nx, unsigned ny);
// New device arrays (freed by the caller) holding the padded image or the crop.
float* d_get_2d_mirror_pad(const float* in, unsigned nx, unsigned ny);
float* d_get_2d_mirror_pad_inv(const float* in, unsigned nx, unsigned ny);

// ================= radial masks, local statistics and background =================
// A soft disc of radius r and edge width w about (cx, cy): 1 at distance d <= r,
// exp(-(d - r)^2 / (2 (w/3)^2)) for r < d <= r + w, 0 beyond (w = 0: a sharp disc).
// The device masks scale the edge by 0.3989423 (1/sqrt(2 pi)); the host masks do not.
__global__ void cuda_2d_generate_rmask_soft(float* mask, unsigned nx, unsigned ny, float cx, float cy, float r,
                                            float w);
void hcuda_2d_generate_rmask_soft(float* mask, unsigned nx, unsigned ny, float cx, float cy, float r, float w);
void gpu_2d_generate_rmask_soft(float* mask, unsigned nx, unsigned ny, float cx, float cy, float r, float w);
// Centred at ((nx - 1)/2, (ny - 1)/2).
void hcuda_2d_generate_central_rmask(float* mask, unsigned nx, unsigned ny, float r, float w);
void hcuda_2d_generate_central_sharp_rmask(float* mask, unsigned nx, unsigned ny, float r);
void cpu_2d_generate_rmask_soft(float* mask, unsigned nx, unsigned ny, float cx, float cy, float r, float w);
void cpu_2d_generate_central_rmask(float* mask, unsigned nx, unsigned ny, float r, float w);
// The host mask summed over an n x n grid about its centre, n = int(r + w) + 1.
float cpu_2d_rmask_soft_sum(float r, float w);

// Host: normalised to mean 0, deviation 1 by the mean and deviation weighted by
// the host soft mask; the applymask forms then multiply by the mask.
void cpu_2d_znorm_withRmask(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy, float r,
                            float w);
void cpu_2d_znorm_withRmask_applymask(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy,
                                      float r, float w);
void cpu_2d_znorm_withRmask_inplace(float* image, unsigned nx, unsigned ny, float cx, float cy, float r, float w);
void cpu_2d_znorm_withRmask_applymask_inplace(float* image, unsigned nx, unsigned ny, float cx, float cy, float r,
                                              float w);

// Local average: the circular correlation of the image with the central device
// disc (FFT), divided by the disc's sum, so a weighted mean over about r + w
// around each pixel; it wraps around the image's edges. Any size; for even sizes
// the disc's centre lies half a pixel before the pixel. out may be in.
void hcuda_2d_bg(float* out, float* in, unsigned nx, unsigned ny, float r, float w);
void hcuda_2d_local_ave_softR(float* out, float* in, unsigned nx, unsigned ny, float r, float w);
void hcuda_2d_bg_inplace(float* image, unsigned nx, unsigned ny, float r, float w);
// image := image - local average.
void hcuda_2d_bg_reduce_inplace(float* image, unsigned nx, unsigned ny, float r, float w);
// Local deviation sqrt(avg(x^2) - avg(x)^2), 0 where rounding makes the difference negative.
void hcuda_2d_local_sigma_softR(float* out, float* in, unsigned nx, unsigned ny, float r, float w);
void gpu_2d_bg(float* out, const float* in, unsigned nx, unsigned ny, float r, float w);
void gpu_2d_local_ave_softR(float* out, const float* in, unsigned nx, unsigned ny, float r, float w);
void gpu_2d_bg_inplace(float* image, unsigned nx, unsigned ny, float r, float w);
void gpu_2d_local_sigma_softR(float* out, const float* in, unsigned nx, unsigned ny, float r, float w);
// The same on the 2nx x 2ny mirror-padded image, cropped back: no wrap-around.
void hcuda_2d_bg_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w);
void hcuda_2d_local_ave_softR_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w);
void hcuda_2d_bg_mpad_inplace(float* image, unsigned nx, unsigned ny, float r, float w);
void hcuda_2d_subbg_mpad_inplace(float* image, unsigned nx, unsigned ny, float r, float w);
void hcuda_2d_local_sigma_softR_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w);
void gpu_2d_bg_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w);
void gpu_2d_local_ave_softR_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w);
void gpu_2d_bg_mpad_inplace(float* image, unsigned nx, unsigned ny, float r, float w);
void gpu_2d_local_sigma_softR_mpad(float* out, const float* in, unsigned nx, unsigned ny, float r, float w);
// The mirror-padded local statistics of a run over images of one size: the
// windows' spectra and sums (the same for every image) and the work arrays,
// made on first use and kept until the grid changes or the record goes away.
// The mirror-padded image is 2nx x 2ny, or, where a length of 2n is slow to
// transform, the image mirrored about its edges on the next fast grid, which
// gives the same statistics (fft_mirrored_grid).
struct SoftDiscWindow {
    float r, w, sum;
    float2* spectrum;  // of the central device disc on the padded grid
};
struct LocalStatsWork {
    FftGridImage image;  // the padded image on its grid
    std::vector<SoftDiscWindow> windows;
    LocalStatsWork() = default;
    LocalStatsWork(const LocalStatsWork&) = delete;
    LocalStatsWork& operator=(const LocalStatsWork&) = delete;
    ~LocalStatsWork();
};
// ave as hcuda_2d_local_ave_softR_mpad(ave, in, nx, ny, r_ave, w) and sigma as
// hcuda_2d_local_sigma_softR_mpad(sigma, in, nx, ny, r_sigma, w) give them, to
// the bit (on the same grid: windows reaching no further than half the image),
// from one transform of the padded image and one of its square. sigma may be
// in; ave may not be either.
void hcuda_2d_local_ave_sigma_softR_mpad(float* ave, float* sigma, const float* in, unsigned nx, unsigned ny,
                                         float r_ave, float r_sigma, float w, LocalStatsWork& work);
// Not built: both return at once and leave out as it was.
void gpu_2d_shrink_local_ave_softR(float* out, const float* in, unsigned nx, unsigned ny, int shrink, float r, float w);
void gpu_2d_shrink_local_sigma_softR(float* out, const float* in, unsigned nx, unsigned ny, int shrink, float r,
                                     float w);

// ======== binning, square extension and frame splitting ========
// Block means: output pixel (x, y) is the float sum, row by row, of the f x f
// input block at (x*f, y*f) divided by (float)(f*f); input rows and columns
// beyond the last whole block are not used. Every binning function needs
// f >= 1: the host forms other than the negated one print the red
// "Wrong value of shrink_factor" line and return without writing; the device
// form and the negated one end the process with the fatal line. The host forms
// take the output first, the device forms the input first.
__global__ void cuda_2d_meanshrink(const float* in, float* out, int nx, int ny, int f);
// (nx/f) x (ny/f) block means; in and out distinct device arrays.
void hcuda_2d_meanshrink(const float* in, float* out, int nx, int ny, int f);
void cpu_2d_meanshrink(float* out, const float* in, int nx, int ny, int f);
// nz images, each binned to (nx/f)*(ny/f) floats, one after another.
void cpu_2ds_meanshrink(float* out, const float* in, int nx, int ny, int nz, int f);
// Negated block means.
void cpu_2d_meanshrink_invert(float* out, const float* in, int nx, int ny, int f);
// W x H block means with W = (nx/(2f))*2, H = (ny/(2f))*2 (rounded down to even), stride W.
void cpu_2d_meanshrink_even(float* out, const float* in, int nx, int ny, int f);
// The same W x H values at stride S = max(W, H), then mirrored in place to
// S x S (out holds S*S floats); ends the process unless H/2 < W < 2H or W = H.
void cpu_2d_meanshrink_extended_even_square(float* out, const float* in, int nx, int ny, int f);

// Square extension to S = max(nx, ny): a tall image gets fill columns on the
// right of every row, a wide one fill rows at the bottom.
void cpu_2d_extend_to_square(float* out, const float* in, unsigned nx, unsigned ny, float fill);
// Only the filling, in place (S*S floats; a tall image already at row stride ny).
void cpu_2d_extend_to_square_only_fill(float* image, unsigned nx, unsigned ny, float fill);
// By mirroring: the new rows (ny <= i < nx) are rows 2ny - 1 - i; the new
// columns (nx <= j < ny) are columns 2nx - 1 - j. Only for ny/2 < nx < 2ny;
// any other non-square shape prints the red line and writes nothing.
void cpu_2d_extend_to_square_mirror(float* out, const float* in, unsigned nx, unsigned ny);
// The same in place (S*S floats; a tall image already at row stride ny); a
// shape it cannot fill ends the process with the fatal line.
void cpu_2d_extend_to_square_mirror_inplace(float* image, unsigned nx, unsigned ny);

// A movie simulated from an image: every pixel goes, at its own position, into
// one frame drawn by rand() mod nframes, the generator seeded from the clock;
// the frames sum to the input. nframes = 0 ends the process with the fatal line.
void cpu_2d_simulate_split(float* out, const float* in, unsigned nx, unsigned ny, unsigned nframes);
// For each of nz images (image i's frames at i*nx*ny*nframes), reseeding for each.
void cpu_2ds_simulate_frame_split(float* out, const float* in, unsigned nx, unsigned ny, unsigned nz,
                                  unsigned nframes);
// ======== end of binning, square extension and frame splitting ========

// ======== peaks, correlation and linear normalisation ========
// One peak: column, row, value.
struct Pixel {
    int32_t x, y;
    float value;
};

// The first strict maximum in row-major order (ties go to the first).
void cpu_2d_get_unique_peak(const float* image, unsigned nx, unsigned ny, int& x, int& y, float& value);
// One peak per image of a stack of nz images.
void cpu_2ds_get_unique_peak(const float* stack, unsigned nx, unsigned ny, Pixel* peaks, int nz);
// Of all pixels equal to the maximum, the one nearest their centroid (ties go
// to the first in row-major order); the unique peak when none equals it (NaN).
void cpu_2d_get_middle_peak_from_equals(const float* image, unsigned nx, unsigned ny, int& x, int& y);

// rows[y] = sum over x of a*b; one thread per row.
__global__ void cuda_x2d_ccc_lineX(float* a, float* b, float* rows, unsigned nx, unsigned ny);
void hcuda_x2d_ccc_lineX(float* a, float* b, float* rows, unsigned nx, unsigned ny);
// Sum of a*b over the image (row sums added in double).
float hcuda_x2d_ccc(float* a, float* b, unsigned nx, unsigned ny);
// Correlation coefficient; the inputs are left unchanged.
float hcuda_x2d_norm_ccc(const float* a, const float* b, unsigned nx, unsigned ny);
// The same, using a and b as scratch: they hold no defined values afterwards.
float hcuda_x2d_norm_ccc_inplace(float* a, float* b, unsigned nx, unsigned ny);
// The same on host images.
float gpu_x2d_ccc(const float* a, const float* b, unsigned nx, unsigned ny);
float gpu_x2d_norm_ccc(const float* a, const float* b, unsigned nx, unsigned ny);
// map(lag) = sum of a(x + lag)*b(x) / sqrt(sum a^2 * sum b^2), circular, with
// zero lag at (nx/2, ny/2); a and b are used as given. Sizes must be even (the
// quadrant swap is done in place). Returns 0.
int hcuda_x2d_ccf(float* a, float* b, float* map, unsigned nx, unsigned ny);
// The same on host images after removing each image's mean: the correlation
// coefficient at every lag. Returns 0.
int gpu_x2d_ccf(const float* a, const float* b, float* map, unsigned nx, unsigned ny);

// Host correlation within soft masks: each image normalised under the mask to
// mean 0 and deviation 1, then multiplied by it.
float cpu_x2d_ccc_withmask(const float* a, const float* b, const float* mask, unsigned nx, unsigned ny);
// The same; a and b are replaced by their normalised masked values.
float cpu_x2d_ccc_withmask_inplace(float* a, float* b, const float* mask, unsigned nx, unsigned ny);
// The dot product of the normalised masked values.
float cpu_x2d_dot_withmask(const float* a, const float* b, const float* mask, unsigned nx, unsigned ny);
float cpu_x2d_dot_withmask_inplace(float* a, float* b, const float* mask, unsigned nx, unsigned ny);
// Within the product of the two masks; the 2 form z-normalises the masked
// values once more before correlating them.
float cpu_x2d_ccc_with2maskfs(const float* a, const float* b, const float* mask_a, const float* mask_b, unsigned nx,
                              unsigned ny);
float cpu_x2d_ccc_with2maskfs2(const float* a, const float* b, const float* mask_a, const float* mask_b, unsigned nx,
                               unsigned ny);

// k = stdv(a)/stdv(b), c = mean(a) - k*mean(b): b*k + c has a's mean and deviation.
void cpu_x2d_get_linear_norm_factors(const float* a, const float* b, unsigned nx, unsigned ny, float& k, float& c);
// image := image*k + c.
void cpu_2d_linear_norm_kb_inplace(float* image, unsigned nx, unsigned ny, float k, float c);
// Brings the image to the reference's mean and deviation.
void cpu_2d_norm_by_reference_inplace(float* image, const float* reference, unsigned nx, unsigned ny);
// ======== end of peaks, correlation and linear normalisation ========

// ======== line projections ========
// A profile element p is the sum over line steps q of the bilinear values at
// P = O + (p - hp) e + (q - hq) f (0 outside the image), all lines parallel.
// With c and s the cosine and sine of the angle (sincos_degrees, exact at
// quarter and whole turns): mode 1 takes e = (c, -s), f = (s, c); mode -1
// e = (c, s), f = (-s, c); any other mode e = (1, 0), f = (0, 1) whatever the
// angle. So with no rotation out[p] is a sum down column p. Angles are in
// degrees; centres are pixel coordinates, the image centre being
// ((n - 1)/2, (n - 1)/2).
// Profile length L and line length M per form:
//   square n x n about its centre     L = M = n
//   image about (cx, cy)              L = M = max(nx, ny), hp = hq = (L - 1)/2
//   rectangle about (cx, cy)          L = nout, M = nsum, hp = (nout - 1)/2, hq = (nsum - 1)/2
//   whole grid about (cx, cy)         L = nx, M = ny, hp = cx, hq = cy
// The many-angle forms write the profile of angle k at out + k*L; their
// angle list is a device array, except in the gpu_ forms, which take it from
// the host. Arguments marked unused are accepted and ignored.
__global__ void cuda_2d_project_square(float* out, const float* in, unsigned n, float angle, int mode);
void hcuda_2d_project_square(float* out, const float* in, unsigned n, float angle, int mode);
void gpu_2d_project_square(float* out, const float* in, unsigned n, float angle, int mode);
// Always mode 1.
void cpu_2d_project_square(float* out, const float* in, unsigned n, float angle);

__global__ void cuda_2d_project(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy, float angle,
                                int mode);
void hcuda_2d_project(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy, float angle, int mode);
void gpu_2d_project(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy, float angle, int mode);
void cpu_2d_project(float* out, const float* in, unsigned nx, unsigned ny, float cx, float cy, float angle, int mode);

__global__ void cuda_2d_project_local_rect(float* out, unsigned nout, unsigned nsum, const float* in, unsigned nx,
                                           unsigned ny, float cx, float cy, float angle, int mode);
void hcuda_2d_project_local_rect(float* out, unsigned nout, unsigned nsum, const float* in, unsigned nx, unsigned ny,
                                 float cx, float cy, float angle, int mode);
void gpu_2d_project_local_rect(float* out, unsigned nout, unsigned nsum, const float* in, unsigned nx, unsigned ny,
                               float cx, float cy, float angle, int mode);
void cpu_2d_project_local_rect(float* out, unsigned nout, unsigned nsum, const float* in, unsigned nx, unsigned ny,
                               float cx, float cy, float angle, int mode);

// Image about (cx, cy) for each of nangles angles.
__global__ void cuda_2d_project_many(float* out, const float* angles, unsigned nangles, const float* in, unsigned nx,
                                     unsigned ny, float cx, float cy, float unused, int mode);
void hcuda_2d_project_many(float* out, const float* angles, unsigned nangles, const float* in, unsigned nx,
                           unsigned ny, float cx, float cy, float unused, int mode);
void gpu_2d_project_many(float* out, const float* angles, unsigned nangles, const float* in, unsigned nx, unsigned ny,
                         float cx, float cy, float unused, int mode);
// Whole grid about (cx, cy) for each angle.
__global__ void cuda_2d_project_local_rect_many(float* out, unsigned unused_nout, unsigned unused_nsum,
                                                const float* angles, unsigned nangles, const float* in, unsigned nx,
                                                unsigned ny, float cx, float cy, float unused, int mode);
void hcuda_2d_project_local_rect_many(float* out, unsigned unused_nout, unsigned unused_nsum, const float* angles,
                                      unsigned nangles, const float* in, unsigned nx, unsigned ny, float cx, float cy,
                                      float unused, int mode);
// The rectangle nout x nsum about (cx, cy) for each angle: nangles*nout values.
void gpu_2d_project_local_rect_many(float* out, unsigned nout, unsigned nsum, const float* angles, unsigned nangles,
                                    const float* in, unsigned nx, unsigned ny, float cx, float cy, float unused,
                                    int mode);
// ======== end of line projections ========

// ======== 2D NCS averaging ========
// Output pixel (x, y) of an nxo x nyo grid at offset (ox, oy) in the input's
// frame maps through an operator to the source
//   (R11 X + R12 Y + Tx + cxi, R21 X + R22 Y + Ty + cyi),  X = x + ox - cxi, Y = y + oy - cyi
// in the nxi x nyi input (callers pass its centre ((nxi - 1)/2, (nyi - 1)/2) as
// (cxi, cyi)). A source outside the input (or not a number) gives nothing. The
// mask (nxo x nyo) weighs the bilinear sample: m >= 0.999999 counts as 1,
// 0 < m < 0.999999 weighs by m, m <= 0 gives nothing.
// Adds one operator's weighted samples into out.
__global__ void cuda_2d_ncs_add_one(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in,
                                    unsigned nxi, unsigned nyi, float cxi, float cyi, const float* mask, RT_Mat2D op);
void hcuda_2d_ncs_add_one(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                          unsigned nyi, float cxi, float cyi, const float* mask, RT_Mat2D op);
void cpu_2d_ncs_add_one(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                        unsigned nyi, float cxi, float cyi, const float* mask, RT_Mat2D op);
// Adds every operator's samples into out (the caller zeroes it), printing each
// operator, then divides out by the operator count (0/0 = NaN with none).
void hcuda_2d_ncs_average(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                          unsigned nyi, float cxi, float cyi, const float* mask, const RT_Mat2D* ops, unsigned nops);
// Host arrays: the same into a zeroed output; prints "." when done.
void gpu_2d_ncs_average(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                        unsigned nyi, float cxi, float cyi, const float* mask, const RT_Mat2D* ops, unsigned nops);
void cpu_2d_ncs_average(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                        unsigned nyi, float cxi, float cyi, const float* mask, const RT_Mat2D* ops, unsigned nops);
// dst = src with the box nxm x nym at (x0, y0) replaced by its average over the
// operators (centre (cx, cy) in src); box pixels whose mask is 0 become 0.
void cpu_2d_ncs_average_replace(float* dst, const float* mask, unsigned nxm, unsigned nym, unsigned x0, unsigned y0,
                                const float* src, unsigned nx, unsigned ny, float cx, float cy, const RT_Mat2D* ops,
                                unsigned nops);
// One operator's weighted sample image (0 where nothing maps). A mask value
// outside [-0.000001, 1.000001] under a mapped pixel ends the process.
void cpu_2d_ncs_get_one(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                        unsigned nyi, float cxi, float cyi, const float* mask, RT_Mat2D op);
// Correlation of ref (nxo x nyo) with one operator's sample image, both
// normalised under the mask and masked.
float cpu_2d_ncs_ccc_one(const float* ref, unsigned nxo, unsigned nyo, float ox, float oy, const float* in,
                         unsigned nxi, unsigned nyi, float cxi, float cyi, const float* mask, RT_Mat2D op);
// ccc[i] for each operator i.
void cpu_2d_ncs_cccs(float* ccc, const float* ref, unsigned nxo, unsigned nyo, float ox, float oy, const float* in,
                     unsigned nxi, unsigned nyi, float cxi, float cyi, const float* mask, const RT_Mat2D* ops,
                     unsigned nops);
// For each operator, the shift offsets dx, dy in -15, -14.5, ..., 15 (dy outer)
// added to its Tx, Ty are searched for the largest coefficient (the first of
// equal ones wins); prints the operator, "rot dx dy ccc" and the "max" line,
// and stores the best coefficient in ccc[i]. The operators are not changed.
void cpu_2d_ncs_cccs_refine(float* ccc, const float* ref, unsigned nxo, unsigned nyo, float ox, float oy,
                            const float* in, unsigned nxi, unsigned nyi, float cxi, float cyi, const float* mask,
                            const RT_Mat2D* ops, unsigned nops);
// Returns at once; writes nothing.
void gpu_2d_ncs_cccs(float* ccc, const float* ref, unsigned nxo, unsigned nyo, float ox, float oy, const float* in,
                     unsigned nxi, unsigned nyi, float cxi, float cyi, const float* mask, const RT_Mat2D* ops,
                     unsigned nops);
// ======== end of 2D NCS averaging ========
