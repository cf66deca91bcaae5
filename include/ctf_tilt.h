// Local defocus of a tilted specimen: a micrograph of a tilted specimen has a
// defocus that changes linearly across the image. From one CTF_INFO record of
// the image centre and the tilt geometry these routines give the local records
// at image positions, print such lists, and prepare the averaged spectrum of an
// automatic box grid for a tilt refinement.
//
// Geometry: pixel size apix (A), tilt-axis angle (degrees, in the image plane)
// and tilt angle (degrees). The centre is the centre of the pixel grid,
// cx = (nx - 1)/2, cy = (ny - 1)/2. The tilt height of position (x, y) is
//   d(x, y) = apix ((y - cy) cos(axis) - (x - cx) sin(axis)) tan(tilt)   (A),
// zero on the tilt axis through the centre, growing on one side and falling on
// the other. A local record is the centre record with d added to U and to V;
// every other field is kept. Positions are signed pixel coordinates.
#pragma once
#include <vector>

#include "ctf_core.h"

// Tilt height (A) of pixel (x, y) of an nx x ny image.
float get_tilt_local_height(int x, int y, int nx, int ny, float apix, float axis_angle, float tilt_angle);
// The local record of one position.
void get_tilt_local_def_one(CTF_INFO& out, int x, int y, CTF_INFO centre, int nx, int ny, float apix,
                            float axis_angle, float tilt_angle);
// out[i] is the local record of positions[i]; a count of 0 or less writes nothing.
void get_tilt_local_defs(CTF_INFO* out, const int2* positions, int count, CTF_INFO centre, int nx, int ny, float apix,
                         float axis_angle, float tilt_angle);
// Prints a head line and one line per record (kV, Cs, AC, P, U, V, A, B), each
// led by the position's x and y when positions are given (not null).
void print_tilt_local_defs(const CTF_INFO* records, int count, const int2* positions);

// The automatic box grid of a tilted micrograph: box centres on a square grid of
// step int(box (1 - overlap)) through the image centre (nx/2, ny/2), keeping half
// a box from every edge, x fastest; corners[i] = centres[i] - box/2, so every box
// lies inside the image. Returns the number of boxes, or -1 with a warning when
// the overlap leaves no positive step (an overlap of 1 or more).
int get_tilt_autogrid_boxes(std::vector<int2>& centres, std::vector<int2>& corners, int nx, int ny, int box,
                            float overlap);

// Prepares a tilt refinement of a device image: the local records of the grid
// boxes and the mean log amplitude spectrum of the boxes with its background
// (soft local average of radius 0.2 box, edge 0.1 of that, mirror-padded)
// subtracted. Nothing refines the centre record yet: out receives it unchanged.
// Returns 0, or -1 (out untouched) when the grid is refused. The box size must
// be even and fit in the image.
float hcuda_2d_ctf_tilt_refine_cctf_autogrid(CTF_INFO& out, CTF_INFO centre, const float* image, int nx, int ny,
                                             float apix, float axis_angle, float tilt_angle, int box, float overlap);
// The same for a host image, copied to the device for the call.
float gpu_2d_ctf_tilt_refine_cctf_autogrid(CTF_INFO& out, CTF_INFO centre, const float* image, int nx, int ny,
                                           float apix, float axis_angle, float tilt_angle, int box, float overlap);
// Not built: returns 0 at once and leaves the image as it is.
float hcuda_2d_ctf_tilt_las_subbg(float* image, int nx, int ny, float apix, float axis_angle, float tilt_angle, int box,
                                  float overlap);
