#define VORN_UNIT "src/boxfile"
// Particle box lists, box and coordinate STAR readers and writers, grids of
// box positions, neighbour boxes and the grid-cell pick filter.
#include "boxfile.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <vector>

#include "cuda_general.h"
#include "starfile.h"
#include "str_utils.h"
#include "txt_file.h"

namespace {

// Weight of a neighbour at squared distance r2 from the reference: a Gaussian
// peak value 1/sqrt(2 pi) whose width follows the radius.
constexpr float NEIGHBOR_PEAK = 0.3989423f;

float neighbor_weight(float r2, float radius) { return NEIGHBOR_PEAK * std::exp(-r2 / (radius * radius / 4.5f)); }

// Box arithmetic runs in 64 bits: corners and sizes are any int a file holds.
typedef long long wide;

bool fits_int(wide v) { return v >= INT_MIN && v <= INT_MAX; }
int held_to_int(wide v) { return (int)std::min<wide>(std::max<wide>(v, INT_MIN), INT_MAX); }

// The centre of a box along one axis: corner plus half the size.
wide centre_of(int corner, int size) { return (wide)corner + size / 2; }

// Boxes read from files have centres that fit an int; a centre of a box made
// elsewhere that does not is held at the end of the range (outside any image).
int2 box_centre(const PTCL_BOX& b) {
    return make_int2(held_to_int(centre_of(b.x, b.w)), held_to_int(centre_of(b.y, b.h)));
}

int2 box_centre_sized(const PTCL_BOX& b, int size) {
    if (size == 0) return box_centre(b);
    return make_int2(held_to_int(centre_of(b.x, size)), held_to_int(centre_of(b.y, size)));
}

// A box of size x size about the centre (cx, cy) with the given weight; false
// when its corner does not fit an int.
bool centred_box(wide cx, wide cy, int size, float score, PTCL_BOX& b) {
    const wide x = cx - size / 2, y = cy - size / 2;
    if (!fits_int(x) || !fits_int(y)) return false;
    b = one_new_ptcl_box();
    b.x = (int)x;
    b.y = (int)y;
    b.w = b.h = size;
    b.score = score;
    return true;
}


// A working list of n elements; memory that cannot be had is the fatal line, not an exception.
template <class T>
void make_room(std::vector<T>& v, size_t n, const char* func) {
    try {
        v.resize(n);
    } catch (const std::exception&) {
        vorn_fatal_line(func, VORN_UNIT, __LINE__, "Not enough memory for %zu elements of %zu bytes", n, sizeof(T));
    }
}

// How a word of a coordinate line is read: the whole word must be the number.
template <class T>
struct WordField {
    int word;
    T* value;
    bool (*parse)(const char*, T&);
    const char* what;  // for the warning: "an integer", ...
};
typedef WordField<int> IntField;
typedef WordField<float> RealField;

IntField whole_int(int word, int* v) { return {word, v, parse_whole_int, "an integer that fits an int"}; }
// Coordinates of STAR files: a decimal number whose fraction is dropped.
IntField int_part(int word, int* v) {
    return {word, v, parse_whole_int_part, "a number whose integer part fits an int"};
}
RealField real(int word, float* v) { return {word, v, parse_whole_float, "a finite number"}; }

template <class T>
bool read_words(const char* func, const char* name, long line, char** words,
                std::initializer_list<WordField<T>> fields) {
    for (const WordField<T>& f : fields) {
        if (f.parse(words[f.word], *f.value)) continue;
        vorn_warning_line(func, VORN_UNIT, __LINE__, "value %s on line %ld of file %s is not %s, line skipped!"
                          "\n\033[m", words[f.word], line, name, f.what);
        return false;
    }
    return true;
}

// The words of a box's line into its fields; false, after a warning naming the
// file and line, when a word is not a number of its field's kind or the box
// centre (x + w/2, y + h/2) would not fit an int.
bool read_box_words(const char* func, const char* name, long line, char** words, std::initializer_list<IntField> ints,
                    std::initializer_list<RealField> reals, const PTCL_BOX& b) {
    if (!read_words(func, name, line, words, ints) || !read_words(func, name, line, words, reals)) return false;
    if (fits_int(centre_of(b.x, b.w)) && fits_int(centre_of(b.y, b.h))) return true;
    vorn_warning_line(func, VORN_UNIT, __LINE__, "box centre on line %ld of file %s does not fit an integer, "
                      "line skipped!\n\033[m", line, name);
    return false;
}

// The next whole line of a coordinate file; an overlong one is skipped with a warning.
bool read_coordinate_line(WholeLines& lines, const char* func, const char* name) {
    while (read_whole_line(lines)) {
        if (!lines.overlong) return true;
        vorn_warning_line(func, VORN_UNIT, __LINE__, "line %ld of file %s is longer than %zu bytes, line skipped!"
                          "\n\033[m", lines.number, name, VORN_WHOLE_LINE_MAX);
    }
    return false;
}

// Coordinate STAR rows as boxes at the particle centres (w = h = 0). A file
// without both coordinate labels, or whose labels point past its columns, gives none.
int read_star_boxes(FILE* f, const char* name, PTCL_BOX* out, int capacity, const char* func) {
    StarHead* head = star_head_new();
    star_read_head_named(f, head, name);
    ParticleInfoIndex index;
    set_info_index_from_star_head(head, &index);
    const int c = head->count;
    std::free(head);
    const int kx = star_checked_column(func, name, "_rlnCoordinateX", index.CoordinateX, c, true);
    const int ky = star_checked_column(func, name, "_rlnCoordinateY", index.CoordinateY, c, true);
    const int ks = star_checked_column(func, name, "_rlnAutopickFigureOfMerit", index.AutopickFigureOfMerit, c, false);
    const int kc = star_checked_column(func, name, "_rlnClassNumber", index.ClassNumber, c, false);
    const int ka = star_checked_column(func, name, "_rlnAnglePsi", index.AnglePsi, c, false);
    if (kx < 0 || ky < 0 || ks < 0 || kc < 0 || ka < 0) return 0;

    // Rows are the lines that are not header lines (the header lines all come
    // before data row 0), read from the start so that messages can name the line.
    std::rewind(f);
    WholeLines lines = whole_lines(f);
    char* words[STAR_HEAD_MAX_LABELS];
    int n = 0;
    while (n < capacity && read_coordinate_line(lines, func, name)) {
        if (lines.text[0] == '\0' || lines.text[0] == '\n') continue;
        const int k = strnsplit_inplace_byspace(lines.text, words, c);
        if (k < c || is_words_starhead(words, k)) continue;
        PTCL_BOX b = one_new_ptcl_box();
        int class_id = 0;
        if (!read_box_words(func, name, lines.number, words, {int_part(kx - 1, &b.x), int_part(ky - 1, &b.y)}, {}, b))
            continue;
        if (kc > 0 && !read_box_words(func, name, lines.number, words, {whole_int(kc - 1, &class_id)}, {}, b)) continue;
        if (ks > 0 && !read_box_words(func, name, lines.number, words, {}, {real(ks - 1, &b.score)}, b)) continue;
        if (ka > 0 && !read_box_words(func, name, lines.number, words, {}, {real(ka - 1, &b.angle)}, b)) continue;
        b.class_id = class_id;
        out[n++] = b;
    }
    free_whole_lines(lines);
    return n;
}

// Box file lines: x y w h [score [class [angle]]]. A line of one to three words
// is no box format at all: the whole file is refused (-1, after a warning).
int read_box_lines(FILE* f, const char* name, PTCL_BOX* out, int capacity, const char* func) {
    WholeLines lines = whole_lines(f);
    char* words[7];
    int n = 0;
    while (n < capacity && read_coordinate_line(lines, func, name)) {
        const int k = strnsplit_inplace_byspace(lines.text, words, 7);
        if (k == 0) continue;
        if (k < 4) {
            vorn_warning_line(func, VORN_UNIT, __LINE__, "unrecognized box format!! Line %ld of file %s holds %d "
                              "value%s where a box takes 4 to 7; the file is refused.\n\033[m", lines.number, name, k,
                              k == 1 ? "" : "s");
            free_whole_lines(lines);
            return -1;
        }
        PTCL_BOX b = one_new_ptcl_box();
        int class_id = 0;
        if (!read_box_words(func, name, lines.number, words,
                            {whole_int(0, &b.x), whole_int(1, &b.y), whole_int(2, &b.w), whole_int(3, &b.h)}, {}, b))
            continue;
        if (k >= 5 && !read_box_words(func, name, lines.number, words, {}, {real(4, &b.score)}, b)) continue;
        if (k >= 6 && !read_box_words(func, name, lines.number, words, {whole_int(5, &class_id)}, {}, b)) continue;
        if (k >= 7 && !read_box_words(func, name, lines.number, words, {}, {real(6, &b.angle)}, b)) continue;
        b.class_id = class_id;
        out[n++] = b;
    }
    free_whole_lines(lines);
    return n;
}

// A coordinate file opened for reading; null, after a warning, when it cannot
// be. Only a regular file is opened: a named pipe would hold the batch.
FILE* open_coordinate_file(const char* name, const char* func) {
    if (const char* kind = non_regular_file_kind(name)) {
        vorn_warning_line(func, VORN_UNIT, __LINE__, "%s is %s, not a coordinate file.\n\033[m", name, kind);
        return nullptr;
    }
    FILE* f = std::fopen(name, "r");
    if (f == nullptr)
        vorn_warning_line(func, VORN_UNIT, __LINE__, "Cannot open file %s. Permission denied or wrong file name."
                          "\n\033[m", name);
    return f;
}

// Reads at most capacity boxes of a coordinate file, by the name's ending; -1
// (after a warning) when the file cannot be opened or read or is no box file.
int read_boxes_from_file(const char* name, PTCL_BOX* out, int capacity, const char* func) {
    FILE* f = open_coordinate_file(name, func);
    if (f == nullptr) return -1;
    int n = 0;
    switch (get_boxf_suffixf((char*)name)) {
        case 1: n = read_star_boxes(f, name, out, capacity, func); break;
        case 2: n = read_box_lines(f, name, out, capacity, func); break;
        default:
            vorn_warning_line(func, VORN_UNIT, __LINE__,
                              "unrecognized box file format, only EMAN .box and Relion .star file are supported "
                              "now.!\n\033[m");
    }
    if (n >= 0 && std::ferror(f)) {
        vorn_warning_line(func, VORN_UNIT, __LINE__, "reading file %s failed; the file is refused.\n\033[m", name);
        n = -1;
    }
    std::fclose(f);
    return n;
}

void fprint_boxes(FILE* f, const PTCL_BOX* boxes, long n) {
    for (long i = 0; i < n; ++i) {
        const PTCL_BOX& b = boxes[i];
        if (b.w == 0 || b.h == 0) continue;
        std::fprintf(f, "%-8d%-8d%-8d%-8d%-8.6f        %-8d%-8.6f\n", b.x, b.y, b.w, b.h, b.score, b.class_id, b.angle);
    }
}

// A float grid advances only when adding the step changes the position at the
// end of largest magnitude (and so everywhere between).
void check_float_step(const char* func, float step, float from, float to) {
    if (step > 0.0f && from + step > from && to + step > to) return;
    vorn_fatal_line(func, VORN_UNIT, __LINE__, "grid step %g does not advance from %g to %g", step, from, to);
}

template <class Point>
void write_xy_starfile(const char* name, const char* func, const std::vector<Point>& points) {
    FILE* f = star_open_write(name, func);
    output_starbox_head_XYonly(f);
    for (const Point& p : points) std::fprintf(f, "%12.2f%12.2f\n", (float)p.x, (float)p.y);
    std::fprintf(f, "\n");
    std::fclose(f);
}

}  // namespace

// ---- list helpers ----

int empty_all_ptcl_boxes(PTCL_BOX* boxes, int n) {
    if (n > PTCL_BOX_MAX) {
        VORN_WARNING("Too many particle numbers!!\n\033[m");
        n = PTCL_BOX_MAX;
    }
    if (n >= 1) std::memset(boxes, 0, (size_t)n * sizeof(PTCL_BOX));
    return 0;
}

int empty_all_ptcl_distances(float* dist) {
    std::memset(dist, 0, (size_t)PTCL_BOX_MAX * sizeof(float));
    return 0;
}

PTCL_BOX one_new_ptcl_box() { return PTCL_BOX{}; }

// Each box keeps its centre: the corner moves by half the change of size.
int resize_ptcl_boxes(PTCL_BOX* boxes, int n, int size) {
    for (int i = 0; i < n; ++i) {
        boxes[i].x = held_to_int(boxes[i].x + ((wide)boxes[i].w - size) / 2);
        boxes[i].y = held_to_int(boxes[i].y + ((wide)boxes[i].h - size) / 2);
        boxes[i].w = boxes[i].h = size;
    }
    return 0;
}

int ptcl_boxes_to_int2(int2* out, const PTCL_BOX* boxes, int n, int size) {
    for (int i = 0; i < n; ++i) out[i] = box_centre_sized(boxes[i], size);
    return 0;
}

int ptcl_boxes_to_float2(float2* out, const PTCL_BOX* boxes, int n, int size) {
    for (int i = 0; i < n; ++i) {
        const int2 c = box_centre_sized(boxes[i], size);
        out[i] = make_float2((float)c.x, (float)c.y);
    }
    return 0;
}

int get_boxf_suffixf(char* name) {
    const size_t len = std::strlen(name);
    if (len >= 5 && std::strcmp(name + len - 5, ".star") == 0) return 1;
    if (len >= 4 && std::strcmp(name + len - 4, ".box") == 0) return 2;
    return 0;
}

int keep_ptcl_boxes_inside(PTCL_BOX* boxes, int n, int nx, int ny) {
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        const PTCL_BOX& b = boxes[i];
        const wide w = std::max(b.w, 1), h = std::max(b.h, 1);
        if (b.x < nx && b.x + w > 0 && b.y < ny && b.y + h > 0) boxes[kept++] = b;
    }
    return kept;
}

// ---- readers ----

int read_all_ptcl_boxes(PTCL_BOX* out, int capacity, char* name) {
    empty_all_ptcl_boxes(out, capacity);
    return read_boxes_from_file(name, out, capacity, __func__);
}

long get_ptcl_number_from_boxf(char* name) {
    FILE* f = open_coordinate_file(name, __func__);
    if (f == nullptr) return -1;
    WholeLines lines = whole_lines(f);
    char* words[7];
    long n = 0;
    while (read_whole_line(lines)) n += strnsplit_inplace_byspace(lines.text, words, 7) >= 7;
    free_whole_lines(lines);
    if (std::ferror(f)) {
        VORN_WARNING("reading file %s failed.\n\033[m", name);
        n = -1;
    }
    std::fclose(f);
    return n;
}

int read_all_box_vecxyi(std::vector<int2>& out, char* name) {
    out.clear();
    std::vector<PTCL_BOX> boxes;
    make_room(boxes, PTCL_BOX_READ_MAX, __func__);
    const int n = read_boxes_from_file(name, boxes.data(), PTCL_BOX_READ_MAX, __func__);
    for (int i = 0; i < n; ++i) out.push_back(box_centre(boxes[i]));
    return n;
}

// Returns the number of centres read; copies at most capacity of them (all when capacity is 0).
int boxf_read_all_xysi(int2* out, int capacity, char* name) {
    std::vector<int2> centres;
    const int n = read_all_box_vecxyi(centres, name);
    if (n < 0) return n;
    const int copies = (capacity == 0 || capacity >= n) ? n : std::max(capacity, 0);
    std::copy(centres.begin(), centres.begin() + copies, out);
    return n;
}

// ---- writers ----

int print_all_ptcl_boxes(PTCL_BOX* boxes) {
    fprint_boxes(stdout, boxes, PTCL_BOX_MAX);
    return 0;
}

int print_n_ptcl_boxes(PTCL_BOX* boxes, int n) {
    fprint_boxes(stdout, boxes, std::min(n, PTCL_BOX_MAX));
    return 0;
}

int fprint_all_ptcl_boxes(char* name, PTCL_BOX* boxes) {
    FILE* f = std::fopen(name, "w+");
    if (f == nullptr) {
        std::printf("Cannot open file %s. strike any key exit!\n", name);
        VORN_FATAL("open file failed.");
    }
    fprint_boxes(f, boxes, PTCL_BOX_MAX);
    std::fclose(f);
    return 0;
}

int output_starbox_head(FILE* f) {
    std::rewind(f);
    std::fprintf(f, "\ndata_\n\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n_rlnAnglePsi #3\n"
                    "_rlnClassNumber #4\n_rlnAutopickFigureOfMerit #5\n");
    return 0;
}

int output_starbox_head_XYonly(FILE* f) {
    std::rewind(f);
    std::fprintf(f, "\ndata_\n\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n");
    return 0;
}

// ---- generators ----

// Lattice points of spacing step within radius of the reference centre, row k
// by row k, each (l, k) with its mirror images; never more than capacity boxes.
int auto_generate_neighbor_boxes_circular(PTCL_BOX* out, int capacity, const PTCL_BOX* ref, float radius, int size,
                                          int step) {
    if (step <= 0) VORN_FATAL("the step between neighbour boxes must be positive, not %d", step);
    const wide cx = centre_of(ref->x, ref->w), cy = centre_of(ref->y, ref->h);
    empty_all_ptcl_boxes(out, capacity);
    int n = 0, beyond = 0;
    for (long k = 0; (float)(k * step) < radius; ++k) {
        for (long l = 0; (float)(l * step) < radius; ++l) {
            const long dx = l * step, dy = k * step;
            const float r2 = (float)(dx * dx + dy * dy);
            if (radius * radius < r2) continue;
            const long offsets[4][2] = {{dx, dy}, {-dx, dy}, {-dx, -dy}, {dx, -dy}};
            const bool present[4] = {true, l != 0, l != 0 && k != 0, k != 0};
            for (int q = 0; q < 4; ++q) {
                if (!present[q]) continue;
                if (n >= capacity) {
                    VORN_WARNING("room for %d neighbour boxes only, the others are left out!\n\033[m", capacity);
                    return n;
                }
                PTCL_BOX b;
                if (!centred_box(cx + offsets[q][0], cy + offsets[q][1], size, neighbor_weight(r2, radius), b)) {
                    ++beyond;
                    continue;
                }
                b.dist = std::sqrt(r2);
                out[n++] = b;
            }
        }
    }
    if (beyond > 0) VORN_WARNING("%d neighbour boxes lie beyond the integer range and are left out!\n\033[m", beyond);
    return n;
}

// The boxes of a coordinate file, re-centred to size x size and weighted by
// their distance from the reference; at most capacity of them are read.
int generate_neighbor_boxes_from_boxf(PTCL_BOX* out, int capacity, const PTCL_BOX* ref, float radius, int size,
                                      char* name) {
    empty_all_ptcl_boxes(out, capacity);
    std::vector<PTCL_BOX> read;
    make_room(read, PTCL_BOX_READ_MAX, __func__);
    const int n = read_all_ptcl_boxes(read.data(), std::min(capacity, PTCL_BOX_READ_MAX), name);
    if (n < 0) return n;
    const wide x0 = centre_of(ref->x, ref->w), y0 = centre_of(ref->y, ref->h);
    int written = 0;
    for (int i = 0; i < n; ++i) {
        const wide cx = centre_of(read[i].x, read[i].w), cy = centre_of(read[i].y, read[i].h);
        const float dx = (float)(cx - x0), dy = (float)(cy - y0);
        if (centred_box(cx, cy, size, neighbor_weight(dx * dx + dy * dy, radius), out[written])) {
            ++written;
            continue;
        }
        VORN_WARNING("box %d of file %s re-centred to size %d lies beyond the integer range, left out!\n\033[m", i + 1,
                     name, size);
    }
    return written;
}

// Positions accumulate by repeated float addition, x fastest.
long auto_gridbox_2d(std::vector<float2>& out, float dx, float x0, float x1, float dy, float y0, float y1) {
    out.clear();
    check_float_step(__func__, dx, x0, x1);
    check_float_step(__func__, dy, y0, y1);
    for (float y = y0; y <= y1; y += dy)
        for (float x = x0; x <= x1; x += dx) out.push_back(make_float2(x, y));
    return (long)out.size();
}

int auto_gridboxf_2d(char* name, float dx, float x0, float x1, float dy, float y0, float y1) {
    std::vector<float2> points;
    auto_gridbox_2d(points, dx, x0, x1, dy, y0, y1);
    write_xy_starfile(name, __func__, points);
    return 0;
}

// Grid lines pass through the image centre (nx/2, ny/2); the first centre lies
// at least half a box from the edge and every centre has half a box of room.
long auto_gridbox_2d_from_center(std::vector<uint2>& out, unsigned step_x, unsigned nx, unsigned step_y, unsigned ny,
                                 unsigned box) {
    out.clear();
    if (step_x == 0 || step_y == 0) VORN_FATAL("grid steps must be positive, not %u and %u", step_x, step_y);
    const unsigned long f = box != 0 ? box / 2 : std::max(step_x, step_y) / 2;
    if (box > nx || box > ny || f > nx / 2 || f > ny / 2)
        VORN_FATAL("box %u (half-size %lu) does not fit in the image %u x %u", box, f, nx, ny);
    const unsigned long x0 = nx / 2 - step_x * ((nx / 2 - f) / step_x);
    const unsigned long y0 = ny / 2 - step_y * ((ny / 2 - f) / step_y);
    unsigned long y = y0;
    for (; y + f <= ny; y += step_y)
        for (unsigned long x = x0; x + f <= nx; x += step_x) out.push_back(make_uint2((unsigned)x, (unsigned)y));
    return (long)(y + f);
}

long auto_gridbox_2d_from_center_nxm(std::vector<uint2>& out, unsigned nx, unsigned ny, unsigned box, unsigned n,
                                     unsigned m) {
    if (n == 0 || m == 0) VORN_FATAL("grid counts must be positive, not %u and %u", n, m);
    if (box > nx || box > ny) VORN_FATAL("box %u does not fit in the image %u x %u", box, nx, ny);
    return auto_gridbox_2d_from_center(out, (nx - box) / n, nx, (ny - box) / m, ny, box);
}

int auto_grid_starboxf_2d_from_center(char* name, unsigned step_x, unsigned nx, unsigned step_y, unsigned ny,
                                      unsigned box) {
    std::vector<uint2> points;
    auto_gridbox_2d_from_center(points, step_x, nx, step_y, ny, box);
    write_xy_starfile(name, __func__, points);
    return 0;
}

int auto_grid_starboxf_2d_from_center_nxm(char* name, unsigned nx, unsigned ny, unsigned box, unsigned n, unsigned m) {
    std::vector<uint2> points;
    auto_gridbox_2d_from_center_nxm(points, nx, ny, box, n, m);
    write_xy_starfile(name, __func__, points);
    return 0;
}

// ---- pick filter ----

namespace {

// The best pick of one grid cell; a cell has a pick once a positive score entered it.
struct PickCell {
    long pixel = 0;
    int class_id = -1;
    float score = 0.0f;
    float angle = 0.0f;
    bool keep = false;
};

struct PickGrid {
    int nx, ny, c;
    long cols, rows;
    std::vector<PickCell> cells;

    PickGrid(int nx_, int ny_, int c_)
        : nx(nx_), ny(ny_), c(c_), cols(nx_ > 0 ? (nx_ + (long)c_ - 1) / c_ : 0),
          rows(ny_ > 0 ? (ny_ + (long)c_ - 1) / c_ : 0) {
        make_room(cells, (size_t)(cols * rows), "box_filter");
    }
    long col_of(const PickCell& p) const { return p.pixel % nx; }
    long row_of(const PickCell& p) const { return p.pixel / nx; }
};

// Enters the picks of the input file (x y w h score class angle per line); a
// centre outside the image is ignored, lines of fewer values are skipped, and
// so, with a warning, are lines whose integers do not fit an int.
void enter_picks(PickGrid& g, FILE* f, const char* name) {
    WholeLines lines = whole_lines(f);
    char* words[7];
    while (read_coordinate_line(lines, "box_filter", name)) {
        if ((unsigned char)lines.text[0] == 0xFF) break;
        if (lines.text[0] == '\0' || strnsplit_inplace_byspace(lines.text, words, 7) < 7) continue;
        PTCL_BOX b = one_new_ptcl_box();
        if (!read_box_words("box_filter", name, lines.number, words,
                            {whole_int(0, &b.x), whole_int(1, &b.y), whole_int(2, &b.w), whole_int(3, &b.h),
                             whole_int(5, &b.class_id)},
                            {real(4, &b.score), real(6, &b.angle)}, b))
            continue;
        const wide xc = centre_of(b.x, b.w), yc = centre_of(b.y, b.h);
        if (xc < 0 || yc < 0 || xc >= g.nx || yc >= g.ny) continue;
        PickCell& cell = g.cells[(size_t)((yc / g.c) * g.cols + xc / g.c)];
        if (!(b.score > cell.score)) continue;
        cell.pixel = yc * g.nx + xc;
        cell.score = b.score;
        cell.class_id = b.class_id;
        cell.angle = b.angle;
    }
    free_whole_lines(lines);
}

// A pick survives when it reaches min_score and, against the pick of every
// neighbouring cell inside the grid, it is at least sqrt(2)c away or scores higher.
// Cells are decided in order, one after another: a pick dropped before no longer
// competes with the cells decided after it.
void suppress_neighbours(PickGrid& g, float min_score) {
    const long near2 = 2L * g.c * g.c;
    for (long r = 0; r < g.rows; ++r) {
        for (long q = 0; q < g.cols; ++q) {
            const long self = r * g.cols + q;
            PickCell& p = g.cells[(size_t)self];
            p.keep = p.score > 0.0f && p.score >= min_score;
            for (long dr = -1; dr <= 1 && p.keep; ++dr) {
                for (long dq = -1; dq <= 1 && p.keep; ++dq) {
                    const long rr = r + dr, qq = q + dq;
                    if ((dr == 0 && dq == 0) || rr < 0 || qq < 0 || rr >= g.rows || qq >= g.cols) continue;
                    const long other = rr * g.cols + qq;
                    const PickCell& o = g.cells[(size_t)other];
                    if (o.score <= 0.0f || (other < self && !o.keep)) continue;
                    const long ex = g.col_of(p) - g.col_of(o), ey = g.row_of(p) - g.row_of(o);
                    if (ex * ex + ey * ey < near2 && !(o.score < p.score)) p.keep = false;
                }
            }
        }
    }
}

// Drops picks whose scaled centre lies closer than sqrt(2)c*scale to an excluded
// box; false when the file of excluded boxes cannot be read.
bool exclude_picks(PickGrid& g, char* exclude_name, float scale, int2 origin) {
    const int capacity = (int)std::min<size_t>(g.cells.size(), PTCL_BOX_MAX);
    std::vector<PTCL_BOX> ex;
    make_room(ex, (size_t)capacity, "box_filter");
    const int n = read_all_ptcl_boxes(ex.data(), capacity, exclude_name);
    if (n < 0) return false;
    const double limit2 = 2.0 * g.c * g.c * (double)scale * scale;
    for (PickCell& p : g.cells) {
        if (!p.keep) continue;
        const double px = g.col_of(p) * scale + origin.x, py = g.row_of(p) * scale + origin.y;
        for (int i = 0; i < n && p.keep; ++i) {
            const int2 c = box_centre(ex[(size_t)i]);
            const double ex_ = px - c.x, ey = py - c.y;
            if (ex_ * ex_ + ey * ey < limit2) p.keep = false;
        }
    }
    return true;
}

void write_picks(const PickGrid& g, FILE* f, float scale, int box_w, int box_h, int2 origin, int star_output) {
    const int hw = box_w / 2, hh = box_h / 2;
    for (const PickCell& p : g.cells) {
        if (!p.keep) continue;
        const float X = g.col_of(p) * scale, Y = g.row_of(p) * scale;
        if (!(hw < X && X < g.nx * scale - hw && hh < Y && Y < g.ny * scale - hh)) continue;
        if (star_output == 1)
            std::fprintf(f, "%-8d%-8d%-8.6f\t%-8d%-8.6f\n", (int)(X + origin.x), (int)(Y + origin.y), p.angle,
                         p.class_id, p.score);
        else
            std::fprintf(f, "%-8d%-8d%-8d%-8d%-8.6f\t%-8d%-8.6f\n", (int)(X - hw + origin.x), (int)(Y - hh + origin.y),
                         box_w, box_h, p.score, p.class_id, p.angle);
    }
}

}  // namespace

// Keeps the best pick per cell of side diameter/sqrt(2), drops picks beaten by a
// close neighbour or near an excluded box, and writes the rest away from the edges.
int box_filter(int nx, int ny, float diameter, float min_score, float scale, int box_w, int box_h, int2 origin,
               char* in_name, char* exclude_name, char* out_name, int star_output) {
    const int c = (int)(diameter * 1.4142135 * 0.5);
    if (c <= 0) VORN_FATAL("the particle diameter %g gives no grid cell", diameter);
    PickGrid g(nx, ny, c);
    FILE* in = star_open_read(in_name, __func__);
    enter_picks(g, in, in_name);
    std::fclose(in);
    suppress_neighbours(g, min_score);
    // Picks that should have been excluded are not written as if they were good.
    if (exclude_name != nullptr && !is_str_null(exclude_name) && check_file_access(exclude_name, "FR") == 0 &&
        !exclude_picks(g, exclude_name, scale, origin))
        return -1;
    FILE* out = star_open_write(out_name, __func__);
    if (star_output == 1) output_starbox_head(out);
    write_picks(g, out, scale, box_w, box_h, origin, star_output);
    std::fclose(out);
    return 0;
}
