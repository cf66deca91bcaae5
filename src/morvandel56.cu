// The picker's files and small helpers: the pick rows and STAR files of one
// template, the rejected areas, the checks of the input names, the first usable
// micrograph of a list, square clips of a micrograph, and Morvandel, which keeps
// one micrograph on the GPU.
#define VORN_UNIT "src/morvandel56"
#include "morvandel56.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cuda_general.h"
#include "gpu_buffers.h"
#include "process2d_raw.h"
#include "str_utils.h"
#include "txt_file.h"

namespace {

FILE* open_for_writing(const char* name, const char* mode, const char* func, int line) {
    FILE* f = fopen(name, mode);
    if (f == nullptr) {
        std::printf("Cannot write to file %s. Permission denied or no space left!\n", name);
        vorn_fatal_line(func, VORN_UNIT, line, "open file '%s' failed.", name);
    }
    return f;
}

// Each kept pick of a template: its cell and its position in original pixels.
// The box of box pixels around it must lie inside the map's area.
template <class Visit>
void for_each_kept_pick(const unsigned* idx, int n, int nx, int ny, int box, const PickFrame& frame, Visit visit) {
    const long long b = box / 2, w = (long long)frame.shrink * nx, h = (long long)frame.shrink * ny;
    for (int k = 0; k < n; ++k) {
        const unsigned v = idx[k];
        if (v == 0) continue;
        const float2 d = frame.within != nullptr ? frame.within[k] : make_float2(0.0f, 0.0f);
        const int2 p = frame_position(frame, (int)(v % (unsigned)nx), (int)(v / (unsigned)nx), d);
        const long long x = (long long)p.x - frame.origin.x, y = (long long)p.y - frame.origin.y;
        if (b < x && x < w - b && b < y && y < h - b) visit(k, p.x, p.y);
    }
}

float angle_of(const float* psi, int k) { return psi ? psi[k] : 0.0f; }

// 0 when the micrograph can be read as an MRC image; otherwise the warning of
// the calling function and -1. The header is checked before anything is sized
// by it: a text file or a damaged header would otherwise size the reads.
int report_unusable(const char* name, const char* func, int line) {
    // A named pipe would hold the reader for ever, a directory or device holds no image: refused unopened.
    if (const char* kind = non_regular_file_kind(name)) {
        std::printf("\033[41m\033[1m\033[5mWarning in function %s(), file %s on line %d: the micrograph %s is %s, "
                    "not a micrograph file! Automatically ignored!\033[m\n\n",
                    func, VORN_UNIT, line, name, kind);
        return -1;
    }
    const char* what = access(name, F_OK) != 0 ? "does NOT exsit" : access(name, R_OK) != 0 ? "are NOT readable" : nullptr;
    MRC_HEAD head;
    const char* fault = what == nullptr ? mrcf_image_fault(name, &head) : nullptr;
    if (what == nullptr && fault == nullptr) return 0;
    if (what != nullptr)
        std::printf("\033[41m\033[1m\033[5mWarning in function %s(), file %s on line %d: the micrograph %s %s! "
                    "Automatically ignored!\033[m\n\n",
                    func, VORN_UNIT, line, name, what);
    else
        std::printf("\033[41m\033[1m\033[5mWarning in function %s(), file %s on line %d: the micrograph %s is NOT an "
                    "MRC image: %s (header %d x %d x %d, mode %d)! Automatically ignored!\033[m\n\n",
                    func, VORN_UNIT, line, name, fault, head.nx, head.ny, head.nz, head.mode);
    return -1;
}

// True, after a warning in the caller's name that counts them, when the image
// holds pixels that are not finite numbers: one such pixel would spread through
// every transform of the micrograph and leave its maps without a single pick.
bool refuse_not_finite(const char* what, const float* image, size_t n, const char* func, int line) {
    const size_t bad = morvandel_count_not_finite(image, n);
    if (bad == 0) return false;
    vorn_warning_line(func, VORN_UNIT, line,
                      "%s cannot be picked: %zu pixel%s not a finite number (NaN or infinity); skipped.\n\033[m", what,
                      bad, bad == 1 ? " is" : "s are");
    return true;
}

int read_square(FILE* file, MRC_HEAD* head, float* dst, int size, int2 origin, const char* func, int line) {
    if (const char* fault = mrc_image_fault(file, head)) {
        vorn_warning_line(func, VORN_UNIT, line, "Can not read micrograph: it is not an MRC image, %s (header %d x %d "
                          "x %d, mode %d)!\n\033[m", fault, head->nx, head->ny, head->nz, head->mode);
        return -1;
    }
    if (size <= 0 || size > head->nx || size > head->ny) {
        vorn_warning_line(func, VORN_UNIT, line, "Can not read micrograph. File Size issue! A square of %d pixels "
                          "does not fit in its %d x %d pixels.\n\033[m", size, head->nx, head->ny);
        return -1;
    }
    std::vector<float> slice((size_t)head->nx * head->ny);
    if (mrc_read_slice(file, head, 0, 'z', slice.data()) != 0) return -1;
    cpu_2d_extract_small_from_large(dst, size, size, slice.data(), head->nx, head->ny, origin.x, origin.y);
    return refuse_not_finite("the square of the micrograph", dst, (size_t)size * size, func, line) ? -1 : 0;
}

// Whether m holds a device array of its own of w x h pixels.
bool holds_own(const Morvandel& m, int w, int h) { return m.owned && m.mic_d != nullptr && m.nx == w && m.ny == h; }

// The host image copied into the array m holds, made anew only for another size.
void hold_copy(Morvandel& m, const float* host, int w, int h) {
    if (!holds_own(m, w, h)) m.malloc_mic(w, h);
    CUDA_CHECK(memcpy_H2D(m.mic_d, host, (size_t)w * h * sizeof(float)));
}

}  // namespace

// ================= outputs =================

PickFrame pick_frame(int2 origin, int shrink) {
    const float block_centre = 0.5f * (float)(shrink - 1);
    return PickFrame{origin, shrink, make_float2(block_centre, block_centre)};
}

// The template's pixel (tnx/2, tny/2) lies under the pick: the particle's
// centre is as many map pixels from the block's centre as the template's centre
// is from that pixel.
PickFrame pick_frame(int2 origin, int shrink, float2 centre, int tnx, int tny) {
    PickFrame frame = pick_frame(origin, shrink);
    frame.centre.x += (float)shrink * (centre.x - (float)(tnx / 2));
    frame.centre.y += (float)shrink * (centre.y - (float)(tny / 2));
    return frame;
}

namespace {

// v to the nearest pixel; a half (the centre of a block of even side, say)
// goes up from an odd map pixel and down from an even one, so that the
// halves leave no bias over many picks, as always rounding up would (+0.5).
int nearest_pixel(double v, int map_pixel) {
    const double below = std::floor(v);
    if (v - below == 0.5) return (int)below + (map_pixel % 2 != 0 ? 1 : 0);
    return (int)std::floor(v + 0.5);
}

}  // namespace

// Rounded to the nearest pixel (nearest_pixel).
int2 frame_position(const PickFrame& frame, int x, int y, float2 d) {
    const double s = frame.shrink;
    const double px = frame.origin.x + s * (x + (double)d.x) + (double)frame.centre.x;
    const double py = frame.origin.y + s * (y + (double)d.y) + (double)frame.centre.y;
    return make_int2(nearest_pixel(px, x), nearest_pixel(py, y));
}

namespace {

// The vertex of the parabola through (-1, l), (0, m), (1, r) when m is its
// maximum, within half a pixel; else 0.
float parabola_peak(float l, float m, float r) {
    const float bend = l - 2.0f * m + r;
    if (!(bend < 0.0f) || l > m || r > m) return 0.0f;
    return std::fmin(0.5f, std::fmax(-0.5f, 0.5f * (l - r) / bend));
}

}  // namespace

std::vector<float2> peak_offsets(const float* map, int nx, int ny, const std::vector<unsigned>& idx) {
    std::vector<float2> within(idx.size(), make_float2(0.0f, 0.0f));
    for (size_t k = 0; k < idx.size(); ++k) {
        if (idx[k] == 0) continue;
        const int x = (int)(idx[k] % (unsigned)nx), y = (int)(idx[k] / (unsigned)nx);
        const float* m = map + idx[k];
        if (x > 0 && x < nx - 1) within[k].x = parabola_peak(m[-1], m[0], m[1]);
        if (y > 0 && y < ny - 1) within[k].y = parabola_peak(m[-nx], m[0], m[nx]);
    }
    return within;
}

int tessoranth_output_star_head(FILE* stream) {
    rewind(stream);
    std::fprintf(stream, "\ndata_\n");
    std::fprintf(stream, "\nloop_\n");
    std::fprintf(stream, "_rlnCoordinateX #1\n");
    std::fprintf(stream, "_rlnCoordinateY #2\n");
    std::fprintf(stream, "_rlnClassNumber #3\n");
    std::fprintf(stream, "_rlnAnglePsi #4\n");
    std::fprintf(stream, "_rlnAutopickFigureOfMerit #5\n");
    return 0;
}

int output_morvandel_coord_one_temp(FILE* stream, const unsigned* idx, const float* cc, const float* psi,
                                    int class_id, int n, int nx, int ny, int box, const PickFrame& frame) {
    const int b = box / 2;
    for_each_kept_pick(idx, n, nx, ny, box, frame, [&](int k, int x, int y) {
        std::fprintf(stream, "%-8d%-8d%-8d%-8d%-8.6f\t%-8d\t%-8.3f\n", x - b, y - b, box, box, cc[k], class_id,
                     angle_of(psi, k));
    });
    return 0;
}

int output_morvandel_star_rows_one_temp(FILE* stream, const unsigned* idx, const float* cc, const float* psi,
                                        int class_id, int n, int nx, int ny, int box, const PickFrame& frame) {
    for_each_kept_pick(idx, n, nx, ny, box, frame, [&](int k, int x, int y) {
        std::fprintf(stream, "%-8d%-8d%-8d\t%-8.6f\t%-8.3f\n", x, y, class_id, angle_of(psi, k), cc[k]);
    });
    return 0;
}

int output_morvandel_star_one_temp(const char* name, const unsigned* idx, const float* cc, const float* psi,
                                   int class_id, int n, int nx, int ny, int box, const PickFrame& frame) {
    FILE* f = open_for_writing(name, "w+", __func__, __LINE__);
    tessoranth_output_star_head(f);
    output_morvandel_star_rows_one_temp(f, idx, cc, psi, class_id, n, nx, ny, box, frame);
    fclose(f);
    return 0;
}

int output_ice_coord(const char* name, const unsigned* idx, const float* cellave, const float* cellsigma, int nx,
                     int ny, int2 origin, int e, int shrink, int mode) {
    FILE* f = open_for_writing(name, "w", __func__, __LINE__);
    if (mode == 1) output_starbox_head_XYonly(f);
    const int cells = grid_cells(nx, e) * grid_cells(ny, e), h = e / 2, side = e * shrink;
    const PickFrame frame = pick_frame(origin, shrink);
    for (int k = 0; k < cells; ++k) {
        const unsigned v = idx[k];
        const int x = (int)(v % (unsigned)nx), y = (int)(v / (unsigned)nx);
        if (v == 0 || !(h < x && x < nx - h && h < y && y < ny - h)) continue;
        const int2 p = frame_position(frame, x, y);
        if (mode == 1)
            std::fprintf(f, "%-8d%-8d\n", p.x, p.y);
        else
            std::fprintf(f, "%-8d%-8d%-8d%-8d\t%-8.6f\t%-8.6f\n", p.x - side / 2, p.y - side / 2, side, side,
                         cellave[k], cellsigma[k]);
    }
    fclose(f);
    return 0;
}


int morvandel_write_map(const char* micrograph, const char* suffix, const float* map_d, int nx, int ny, float apix) {
    char out[VORN_NAME_LEN];
    mrcf_set_outname_by_suffix(out, micrograph, suffix);
    MRC_HEAD head{};
    mrc_init_head(&head);
    mrc_set_head_xyz_mode(&head, nx, ny, 1, MRC_MODE_FLOAT);
    mrc_set_head_apix(&head, apix);
    return mrcf_write_head_ddata(out, &head, map_d);
}

// A directory or pipe of the pick file's name is no finished pick file.
int is_file_morvandel_done(const char* name) {
    return non_regular_file_kind(name) == nullptr && access(name, R_OK) == 0 ? 1 : 0;
}

// ================= input names =================

int check_input_file(const char* name) { return report_unusable(name, __func__, __LINE__); }

int check_all_input_files(char** names, int& n) {
    int kept = 0;
    for (int k = 0; k < n; ++k)
        if (report_unusable(names[k], "check_input_file", __LINE__) == 0) names[kept++] = names[k];
    n = kept;
    return 0;
}

int set_name_shrinked_box(char* out, const char* micrograph, int) {
    return mrcf_set_outname_by_suffix(out, micrograph, "_nonunique.box");
}

int check_access_openf_1st(char** names, int n, char* first, FILE*& file) {
    for (int k = 0; k < n; ++k) {
        if (report_unusable(names[k], __func__, __LINE__) != 0) continue;
        std::printf("Opening %s for initial test and preperation .......\n", names[k]);
        file = fopen(names[k], "rb");
        if (file == nullptr) {
            std::printf("Cannot open file %s. Permission denied or wrong file name.\n", names[k]);
            VORN_FATAL("open file '%s' failed.", names[k]);
        }
        strlcpy(first, names[k]);
        return 0;
    }
    return -1;
}

// ================= square clips =================

int get_max_extended_square_even_size(int nx, int ny, int shrink) {
    return std::max(2 * (nx / (2 * shrink)), 2 * (ny / (2 * shrink)));
}

int get_max_square_even_size(int nx, int ny) { return std::min(nx - nx % 2, ny - ny % 2); }

int2 get_max_square_clip_origin(int nx, int ny) {
    return nx > ny ? make_int2((nx - ny) / 2, 0) : make_int2(0, (ny - nx) / 2);
}

int mrc_read_square_even(FILE* file, MRC_HEAD* head, float* dst, int size, int2 origin) {
    return read_square(file, head, dst, size, origin, __func__, __LINE__);
}

int mrc_read_square_even_extend(FILE* file, MRC_HEAD* head, float* dst, int size, int2 origin) {
    return read_square(file, head, dst, size, origin, __func__, __LINE__);
}

// ================= Morvandel =================

size_t morvandel_count_not_finite(const float* image, size_t n) {
    size_t bad = 0;
    for (size_t i = 0; i < n; ++i) bad += std::isfinite(image[i]) ? 0 : 1;
    return bad;
}

Morvandel::Morvandel() : owned(false), cleared(false), mic_d(nullptr), nx(0), ny(0) {}

Morvandel::Morvandel(float* mic, int w, int h) : owned(true), cleared(false), mic_d(mic), nx(w), ny(h) {}

int Morvandel::set_mic_d(float* mic, int w, int h) {
    free_mic();
    mic_d = mic;
    nx = w;
    ny = h;
    owned = true;
    return 0;
}

int Morvandel::set_mic(const float* host, int w, int h) {
    if (refuse_not_finite("the micrograph", host, (size_t)w * h, __func__, __LINE__)) return -1;
    hold_copy(*this, host, w, h);
    return 0;
}

int Morvandel::set_mic(const char* name) {
    if (const char* kind = non_regular_file_kind(name)) {
        VORN_WARNING("the micrograph %s cannot be picked: it is %s, not a micrograph file; skipped.\n\033[m", name,
                     kind);
        return -1;
    }
    MRC_HEAD head;
    if (const char* fault = mrcf_image_fault(name, &head)) {
        VORN_WARNING("the micrograph %s cannot be picked: it is not an MRC image, %s (header %d x %d x %d, mode %d); "
                     "skipped.\n\033[m",
                     name, fault, head.nx, head.ny, head.nz, head.mode);
        return -1;
    }
    // Into the host buffer kept for the next micrograph: the device array stays until this one is taken.
    if (mrcf_read_sliceN(name, 0, slice) != 0) {
        VORN_WARNING("can not read the first image of %s\n\033[m", name);
        return -1;
    }
    const std::string what = std::string("the micrograph ") + name;
    const bool refused = refuse_not_finite(what.c_str(), slice.data(), (size_t)head.nx * head.ny, __func__, __LINE__);
    if (!refused) hold_copy(*this, slice.data(), head.nx, head.ny);
    return refused ? -1 : 0;
}

int Morvandel::malloc_mic() {
    free_mic();
    mic_d = device_buffer<float>(GPU_SITE, (size_t)nx * ny);
    owned = true;
    return 0;
}

int Morvandel::malloc_mic(int w, int h) {
    nx = w;
    ny = h;
    return malloc_mic();
}

int Morvandel::free_mic() {
    if (owned && mic_d != nullptr) device_release(GPU_SITE, mic_d);
    mic_d = nullptr;
    owned = false;
    return 0;
}

int Morvandel::write_mic(const char* name) {
    std::vector<float> host((size_t)nx * ny);
    copy_to_host(GPU_SITE, host.data(), mic_d, host.size());
    mrcf_write_xyz_data(name, host.data(), nx, ny, 1);
    return 0;
}

// ================= the list of micrographs =================

int morvandel_pick_micrographs(char** names, int n, const std::function<int(Morvandel&, const char*)>& pick,
                               const MicrographWalk& walk) {
    Morvandel mic;
    std::string skipped;
    int picked = 0;
    for (int k = 0; k < n; ++k) {
        if ((!walk.before || walk.before(k, names[k]) == 0) && check_input_file(names[k]) == 0 &&
            mic.set_mic(names[k]) == 0 && pick(mic, names[k]) == 0) {
            ++picked;
            continue;
        }
        skipped += (skipped.empty() ? ": " : ", ") + std::string(names[k]);
    }
    mic.free_mic();
    const char* list = skipped.empty() ? "." : skipped.c_str();
    if (walk.already_done >= 0)
        std::printf("All %d micrographs: %d picked, %d skipped as already done, %d skipped%s\n", n + walk.already_done,
                    picked, walk.already_done, n - picked, list);
    else
        std::printf("All %d micrographs: %d picked, %d skipped%s\n", n, picked, n - picked, list);
    return n - picked;
}
