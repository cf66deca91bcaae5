// Box extraction and pasting between large and small images.
//
// Images are row-major float arrays, element (x, y) at y*nx + x. A box is given
// by its top-left corner (x0, y0) in the large image and its size snx x sny.
// A y-centred half spectrum has nxh = nx/2 + 1 columns (column 0 is kx = 0) and
// ny rows (row ny/2 is ky = 0).
#pragma once
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
// The same box of each frame (frame f at movie + f*lnx*lny) into out + f*snx*sny.
void cpu_x2d_movie_extract_small_from_large(float* out, int snx, int sny, int nframes, const float* movie, int lnx,
                                            int lny, int x0, int y0);

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
