// Particle boxes and coordinate files: box (.box) and coordinate STAR (.star)
// readers, box list helpers and writers, grids of box positions, rings of
// neighbour boxes around a particle, and the grid-cell pick filter.
#pragma once
#include <cstdio>
#include <vector>

#include "gpu.h"

// One particle box. (x, y) is the corner; for boxes read from STAR files, whose
// w and h are 0, it is the particle centre. The centre is (x + w/2, y + h/2).
struct PTCL_BOX {
    int x, y;
    int w, h;
    float score;
    int class_id;
    float angle;  // psi, degrees
    float dist;   // distance from the reference particle (circular neighbours only)
};
static_assert(sizeof(PTCL_BOX) == 32, "PTCL_BOX is eight 32-bit members");

// The largest box list; the operations without a count walk this many entries.
constexpr int PTCL_BOX_MAX = 10000000;
// The working list of the centre readers and the neighbour reader.
constexpr int PTCL_BOX_READ_MAX = 10240;

// ---- list helpers ----
// Centres and corners are computed in 64 bits; a result that does not fit an
// int (possible only for boxes not read from a file) is held at INT_MIN or INT_MAX.
int empty_all_ptcl_boxes(PTCL_BOX* boxes, int n);
int empty_all_ptcl_distances(float* dist);
PTCL_BOX one_new_ptcl_box();
int resize_ptcl_boxes(PTCL_BOX* boxes, int n, int size);
int ptcl_boxes_to_int2(int2* out, const PTCL_BOX* boxes, int n, int size);
int ptcl_boxes_to_float2(float2* out, const PTCL_BOX* boxes, int n, int size);
// 1 for a name ending in ".star", 2 for ".box", else 0 (case-sensitive).
int get_boxf_suffixf(char* name);
// Keeps, in their order, the first n boxes that overlap the nx x ny image (a box
// of no size by its point) and returns how many are kept.
int keep_ptcl_boxes_inside(PTCL_BOX* boxes, int n, int nx, int ny);

// ---- readers ----
// A line or row whose integers (x, y, w, h, class) or box centre do not fit an
// int is skipped with a warning naming the file and line; it is never wrapped.
// A file that cannot be opened or read, is no regular file (a directory, a
// named pipe: refused without being opened), or holds a box line of one to
// three values gives -1 after a warning: the caller decides what its failure
// means, the process goes on.
int read_all_ptcl_boxes(PTCL_BOX* out, int capacity, char* name);
long get_ptcl_number_from_boxf(char* name);
int read_all_box_vecxyi(std::vector<int2>& out, char* name);
int boxf_read_all_xysi(int2* out, int capacity, char* name);

// ---- writers ----
int print_all_ptcl_boxes(PTCL_BOX* boxes);
int print_n_ptcl_boxes(PTCL_BOX* boxes, int n);
int fprint_all_ptcl_boxes(char* name, PTCL_BOX* boxes);
int output_starbox_head(FILE* f);
int output_starbox_head_XYonly(FILE* f);

// ---- generators ----
// Never writes more than capacity boxes; returns the number written. Boxes whose
// corner would not fit an int are left out with a warning.
int auto_generate_neighbor_boxes_circular(PTCL_BOX* out, int capacity, const PTCL_BOX* ref, float radius, int size,
                                          int step);
// Returns the number written: every box read, less those whose re-centred
// corner would not fit an int (left out with a warning); -1 when the file
// cannot be read.
int generate_neighbor_boxes_from_boxf(PTCL_BOX* out, int capacity, const PTCL_BOX* ref, float radius, int size,
                                      char* name);
long auto_gridbox_2d(std::vector<float2>& out, float dx, float x0, float x1, float dy, float y0, float y1);
int auto_gridboxf_2d(char* name, float dx, float x0, float x1, float dy, float y0, float y1);
// Returns the y + half-size of the first row that no longer fits; the points are in out.
long auto_gridbox_2d_from_center(std::vector<uint2>& out, unsigned step_x, unsigned nx, unsigned step_y, unsigned ny,
                                 unsigned box);
long auto_gridbox_2d_from_center_nxm(std::vector<uint2>& out, unsigned nx, unsigned ny, unsigned box, unsigned n,
                                     unsigned m);
int auto_grid_starboxf_2d_from_center(char* name, unsigned step_x, unsigned nx, unsigned step_y, unsigned ny,
                                      unsigned box);
int auto_grid_starboxf_2d_from_center_nxm(char* name, unsigned nx, unsigned ny, unsigned box, unsigned n, unsigned m);

// ---- pick filter ----
// -1, with nothing written, when the file of excluded boxes cannot be read.
int box_filter(int nx, int ny, float diameter, float min_score, float scale, int box_w, int box_h, int2 origin,
               char* in_name, char* exclude_name, char* out_name, int star_output);
