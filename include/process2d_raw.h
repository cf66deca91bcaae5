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
#include "boxfile.h"
#include "cuda_general.h"

// ---- extraction: the small image is written entirely; pixels outside the large image become 0 ----
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
void hcuda_2d_convolution_by_box(const float* in, float* out, unsigned nx, unsigned ny, int bx, int by);
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
// (cx + c u + s v, cy - s u + c v), u = x - cx, v = y - cy, c = cos t, s = sin t;
// the image centre is ((nx - 1)/2, (ny - 1)/2). Input and output must differ.
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
// Not built: both return at once and leave out as it was.
void gpu_2d_shrink_local_ave_softR(float* out, const float* in, unsigned nx, unsigned ny, int shrink, float r, float w);
void gpu_2d_shrink_local_sigma_softR(float* out, const float* in, unsigned nx, unsigned ny, int shrink, float r,
                                     float w);
