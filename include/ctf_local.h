// CTF refinement on one small power spectrum rather than a whole micrograph:
// jittered coordinate searches of the defocus on a half spectrum, per-particle
// refinement on local spectra from neighbour boxes, refinement over sliding
// windows of movie frames, and a validation that grades how well a fitted CTF
// is determined. Library routines: the estimator does not call them.
//
// Units are those of CTF_INFO: defocus in A, angles in degrees, kV, Cs in mm,
// AC a fraction, B in A^2, band limits (low, high) in A. Device arrays belong to
// the caller; nxh = nx/2 + 1. Every routine returns 0.
//
// The searches maximise the target score S(U, V, A) (ctf_tcf_swr_2dh) over the
// angle A, the mean defocus M = (U + V)/2 and the half-difference H (U = M - H,
// V = M + H), each with a current and a previous value. A jittered line step
// extrapolates the last change once more (2c - p plus a jitter drawn from the
// process-wide rand(): [0, 0.025) degrees for the angle, [0, 0.05) A for the
// defocus), keeps the trial if it beats the current score, else tries the
// midpoint towards the better side, else keeps c and moves p to the midpoint.
// A parameter converges once |c - p| <= 0.5 degrees (angle) or 1 A (M, H); the
// search ends when all three have converged, after at most 100 cycles.
// The reported score is the best raw score divided by sqrt(sum F^2) and by
// sqrt(sum G^2) over the band, F the mode-'A' simulation at the result and G
// the spectrum; it is 0 when either sum is 0.
#pragma once
#include <cstdio>

#include "ctf_core.h"

// A refinement control record of eight 32-bit words; the routines here read
// only the eighth.
struct CTF_REF_CONTROL {
    int reserved[7];
    int phase_shift_on;  // nonzero: the phase shift is part of the model
};
static_assert(sizeof(CTF_REF_CONTROL) == 32, "CTF_REF_CONTROL is eight 32-bit words");

// printf to standard output and, when log is not null, to the log.
void print_stdout_and_log(FILE* log, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// ---- searches on one half spectrum (nxh x ny floats of an nx x ny image, only read) ----
// Reseeds rand() from the clock. The start picks the better of (U0, V0) and the
// swapped order for H and the better of A0 and A0 + angle step; the previous
// mean is M - defocus step. On a normal end the angle is folded into [-90, 90);
// at the cycle limit a warning goes to standard output and the log and the
// angle is left as it stands. scratch (nxh x ny floats) receives the mode-'A'
// simulation of the result.
int hcuda_refctf_2dh_local(const float* spectrum, float* scratch, float& U, float& V, float& A, float& score,
                           float apix, int nx, int ny, float P, float kV, float Cs, float AC, float U0, float V0,
                           float A0, float defocus_step, float angle_step, float B, float low, float high, FILE* log);
// The mean defocus alone (H = (V0 - U0)/2 and A fixed); does not reseed.
int hcuda_refctf_2dh_only_defave(const float* spectrum, float* scratch, float& U, float& V, float& score, float apix,
                                 int nx, int ny, float P, float kV, float Cs, float AC, float U0, float V0, float A,
                                 float defocus_step, float B, float low, float high, FILE* log);
// The search of hcuda_refctf_2dh_local for the validation: the result is
// reported with a non-negative angle and U, V in the order closer to (U0, V0);
// at the cycle limit the warning goes to the log only. scratch is left undefined.
int hcuda_ctfvalidate_2dh(const float* spectrum, float* scratch, float& U, float& V, float& A, float& score,
                          float apix, int nx, int ny, float P, float kV, float Cs, float AC, float U0, float V0,
                          float A0, float defocus_step, float angle_step, float B, float low, float high, FILE* log);

// ---- validation ----
// Grade of a deviation D (A) against the tolerance T of a band: 5 below
// T sin 22.5 degrees, 4 below T sin 45 degrees, 3 below T, 2 below 2T, else 1
// (also for a deviation that is not a number).
int ctf_validation_grade(float deviation, float tolerance);
// Restarts the search from displaced values in the bands 20-8, 15-6, 12-5, 10-4
// and 8-3 A, in order while the band's high limit exceeds 2 apix, and prints
// for each the differences from (U, V, A), the score and the grade. B, low and
// high serve the final mode-'A' simulation of (U, V, A), left in scratch.
int ctf_validation(const float* spectrum, float* scratch, float apix, int nx, int ny, float P, float kV, float Cs,
                   float AC, float U, float V, float A, float B, float low, float high, FILE* log);

// ---- per-particle refinement ----
// For every box of the file <micrograph less .mrc/.mrcs><box suffix> (at most
// 10240; a missing or unreadable file is a warning and nothing is written):
// the boxes of box size on a grid of step box (1 - overlap) within the radius
// (pixels) of the particle's centre that lie inside the device micrograph give a
// local spectrum (average type 0 plain, 1 weighted by distance, 2 by distance
// and frequency), on which the defocus is searched from (U0, V0, A0) with a
// step of a third of the search width (the angle too when astig is set). One row
// per particle goes to <base>_local.star; with display set, one slice per box
// (simulation beside the spectrum, or its equiphase average with epa set) to
// <base>_local.ctf. A particle without any box inside the micrograph keeps U0,
// V0, A0 and CCC0, and its slice shows the simulation at those values beside
// zeros. Only box type 1 (a box file) is supported; others end the process.
// Returns 0, or -1 when the box file cannot be read (no row is written).
int ctf_local_refine(const char* micrograph, const char* box_suffix, const float* image, int nx, int ny, int box_type,
                     float radius, int box, float overlap, int display, int epa, int astig,
                     float detector_pixel_size, float apix, float P, float kV, float Cs, float AC, float U0, float V0,
                     float A0, float ccc0, float search_width, float B, float low, float high, int average_type,
                     FILE* log);

// ---- movie or particle stack ----
// With enable = 1: for each window of consecutive frames of the host stack, the
// amplitude spectra of a grid of boxes (box size, grid step) summed over the
// window, logarithm less background (background box), searched from (U0, V0,
// A0) with a step of a tenth of the search width; the result belongs to the
// window's centre frame. Fit type 1 then fits a straight line of U, V, A and the
// score against the frame over every window result and prints it for every
// frame (skipped with a message when fewer than two windows exist).
int ctf_movie_stack_refine(const float* frames, int nx, int ny, int nframes, float apix, int box, int step,
                           int background_box, float P, float kV, float Cs, float AC, float U0, float V0, float A0,
                           float B, float low, float high, float search_width, FILE* log, int enable, int window,
                           int fit_type, int astig, CTF_REF_CONTROL control);
