// MRC header, output names, and the data readers and writers.
#define VORN_UNIT "src/mrcfile"
#include "mrcfile.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "cuda_general.h"
#include "math_utils.h"
#include "txt_file.h"

#define WARN_IN(func, ...) vorn_warning_line(func, VORN_UNIT, __LINE__, __VA_ARGS__)

namespace {

constexpr int64_t HEAD_BYTES = 1024;
constexpr size_t NAME_BYTES = 1024;
constexpr size_t CHUNK_BYTES = size_t(1) << 20;

const char* const mode_names[23] = {
    "Byte", "Short", "Float", "Complex Short", "Complex Float", "Unknown", "Unsigned Short", "Unknown",
    "Unknown", "Unknown", "Unknown", "Unknown", "Unknown", "Unknown", "Unknown", "Unknown",
    "RGB", "Unknown", "Unknown", "Unknown", "Complex Float (Real, Imag)", "Complex Float (Amp, Rad)",
    "Complex Float (Amp, Deg)",
};

// A record with the defaults: the start of every new file's header.
MRC_HEAD default_head() {
    MRC_HEAD h{};
    mrc_init_head(&h);
    return h;
}

bool stamp_valid(const MRC_HEAD* h) { return h->map[0] == 'M' && h->map[1] == 'A' && h->map[2] == 'P'; }

// Modes whose voxels the readers convert to real values.
bool mode_is_read(int mode) { return mode == 0 || mode == 1 || mode == 2 || mode == 6; }

// nx*ny*nz, or -1 when a size is negative or the product does not fit.
int64_t voxel_count(const MRC_HEAD* h) {
    if (h->nx < 0 || h->ny < 0 || h->nz < 0) return -1;
    int64_t n;
    if (__builtin_mul_overflow((int64_t)h->nx, (int64_t)h->ny, &n) || __builtin_mul_overflow(n, (int64_t)h->nz, &n))
        return -1;
    return n;
}

// The byte just past the last voxel the header describes, or -1 when a size is
// negative, the mode has no size or the offset does not fit in 64 bits. Every
// offset inside the data lies below it, so once it is known the readers'
// offset arithmetic cannot overflow.
int64_t data_end(const MRC_HEAD* h) {
    const int64_t n = voxel_count(h), b = mrc_mode_bytes(h->mode);
    int64_t bytes, end;
    if (n < 0 || b == 0 || __builtin_mul_overflow(n, b, &bytes) ||
        __builtin_add_overflow(bytes, mrc_data_offset(h), &end))
        return -1;
    return end;
}

bool seek_to(FILE* f, int64_t offset) { return offset >= 0 && fseeko(f, (off_t)offset, SEEK_SET) == 0; }

// The raw header bytes at the start of the stream, without the stamp repair.
size_t read_head_bytes(FILE* f, MRC_HEAD* h) {
    if (ftello(f) != 0) rewind(f);
    return fread(h, 1, sizeof(MRC_HEAD), f);
}

// The header with its stamp repaired; false, the record zeroed, when the file
// ends (or cannot be read, as a directory) before the header does: no field of
// a short header is trusted, and none is left as it was before the read.
bool read_whole_head(FILE* f, MRC_HEAD* h) {
    if (read_head_bytes(f, h) != sizeof(MRC_HEAD)) {
        std::memset(h, 0, sizeof(MRC_HEAD));
        return false;
    }
    if (!stamp_valid(h)) mrc_set_head_stmp(h);
    return true;
}

// The warning for a file without a whole header, naming it when the name is known.
int short_head(const char* func, const char* name) {
    if (name != nullptr)
        WARN_IN(func, "File %s is shorter than an MRC header of 1024 bytes, or cannot be read!\n\033[m", name);
    else
        WARN_IN(func, "File is shorter than an MRC header of 1024 bytes, or cannot be read!\n\033[m");
    return -1;
}

// Writes the record at byte 0 as it is (nsymbt included).
int write_head_bytes(FILE* f, const MRC_HEAD* h) {
    if (ftello(f) != 0) rewind(f);
    if (!stamp_valid(h)) WARN_IN("mrc_write_head", "MRC format problem! Check file format!\n!\n\033[m");
    return fwrite(h, sizeof(MRC_HEAD), 1, f) == 1 ? 0 : -1;
}

template <class R, class T>
void convert_as(const unsigned char* raw, size_t n, T* out) {
    for (size_t i = 0; i < n; i++) {
        R v;
        std::memcpy(&v, raw + i * sizeof(R), sizeof(R));
        out[i] = (T)v;
    }
}

// Mode 0 is read as unsigned bytes, as the files written for this system hold them.
template <class T>
void convert_voxels(int mode, const unsigned char* raw, size_t n, T* out) {
    switch (mode) {
        case 0: convert_as<uint8_t>(raw, n, out); break;
        case 1: convert_as<int16_t>(raw, n, out); break;
        case 2: convert_as<float>(raw, n, out); break;
        case 6: convert_as<uint16_t>(raw, n, out); break;
    }
}

// Reads n voxels of a read mode, the first at byte offset, each stride bytes
// after the one before; false when the file ends before the last one.
template <class T>
bool read_voxels(FILE* f, int mode, int64_t offset, size_t n, int64_t stride, T* out) {
    const size_t b = (size_t)mrc_mode_bytes(mode);
    if (n == 0) return true;
    if (stride != (int64_t)b) {
        unsigned char raw[8];
        for (size_t i = 0; i < n; i++) {
            if (!seek_to(f, offset + (int64_t)i * stride) || fread(raw, b, 1, f) != 1) return false;
            convert_voxels(mode, raw, 1, out + i);
        }
        return true;
    }
    if (!seek_to(f, offset)) return false;
    if (std::is_same<T, float>::value && mode == MRC_MODE_FLOAT) return fread(out, b, n, f) == n;
    std::vector<unsigned char> raw;
    if (!try_resize(raw, std::min(n * b, CHUNK_BYTES))) return false;
    for (size_t done = 0; done < n;) {
        const size_t k = std::min(raw.size() / b, n - done);
        if (fread(raw.data(), b, k, f) != k) return false;
        convert_voxels(mode, raw.data(), k, out + done);
        done += k;
    }
    return true;
}

// "mode <m> is not supported": the calling thread's text, kept until its next call.
const char* unsupported_mode(int mode) {
    thread_local char text[40];
    std::snprintf(text, sizeof text, "mode %d is not supported", mode);
    return text;
}

// The readers' one sentence on a mode they do not convert; "%s (%s)" takes
// unsupported_mode and the mode's name.
#define UNREAD_MODE "File type unknown!! %s (%s); the readers convert modes 0, 1, 2 and 6"

int unknown_mode(const char* func, const MRC_HEAD* h) {
    WARN_IN(func, UNREAD_MODE ".\n\033[m", unsupported_mode(h->mode), mrc_get_head_mode(h));
    return -1;
}

int read_failed(const char* func) {
    WARN_IN(func, "Reading file failed!\n!\n\033[m");
    return -1;
}

int outside_data(const char* func, const MRC_HEAD* h) {
    WARN_IN(func, "Request outside the data of %d x %d x %d voxels!\n\033[m", h->nx, h->ny, h->nz);
    return -1;
}

int size_error(const char* func, const MRC_HEAD* h) {
    WARN_IN(func, "Invalid sizes %d x %d x %d of mode %d in the header: no data can be located!\n\033[m", h->nx,
            h->ny, h->nz, h->mode);
    return -1;
}

int too_short(const char* func, const MRC_HEAD* h, int64_t end) {
    WARN_IN(func, "File size error!! The header (%d x %d x %d, mode %d) needs %lld bytes, the file is shorter!\n\033[m",
            h->nx, h->ny, h->nz, h->mode, (long long)end);
    return -1;
}

int no_memory(const char* func, int64_t bytes) {
    WARN_IN(func, "Not enough memory for %lld bytes!\n\033[m", (long long)bytes);
    return -1;
}

// Whether the file reaches byte end (so a buffer sized by the header is backed
// by the file's own bytes); the stream position is left at the end.
bool file_reaches(FILE* f, int64_t end) { return (int64_t)get_file_size(f) >= end; }

bool in_range(int64_t v, int64_t n) { return v >= 0 && v < n; }

// Every voxel of a read mode, or -1 with a warning in the name of func.
template <class T>
int read_all_voxels(FILE* f, const MRC_HEAD* h, T* out, const char* func) {
    if (!mode_is_read(h->mode)) return unknown_mode(func, h);
    if (data_end(h) < 0) return size_error(func, h);
    const int b = mrc_mode_bytes(h->mode);
    if (!read_voxels(f, h->mode, mrc_data_offset(h), (size_t)voxel_count(h), b, out)) return read_failed(func);
    return 0;
}

// Checks a slice request: a read mode, sizes that locate the data, a known axis
// and a slice that exists. On success *count is the number of values in the
// slice; it is then no more than the file's voxel count, so it can be held.
// An unknown axis is refused (-1), not taken as an empty slice: a caller would
// otherwise use an output that was never filled as if it held the slice.
int check_slice(const MRC_HEAD* h, int n, char axis, const char* func, int64_t* count) {
    if (!mode_is_read(h->mode)) return unknown_mode(func, h);
    if (data_end(h) < 0) return size_error(func, h);
    int64_t slices, a, b;
    switch (axis) {
        case 'x': case 'X': slices = h->nx, a = h->ny, b = h->nz; break;
        case 'y': case 'Y': slices = h->ny, a = h->nx, b = h->nz; break;
        case 'z': case 'Z': slices = h->nz, a = h->nx, b = h->ny; break;
        default:
            WARN_IN(func, "Unknown slice axis '%c'!\n\033[m", axis);
            return -1;
    }
    if (!in_range(n, slices)) return outside_data(func, h);
    *count = a * b;
    return 0;
}

// Slice n across the axis, checked by check_slice: "z" section n, "y" row n of
// every section (x, then z), "x" column n of every row of every section (y,
// then z). An empty slice reads nothing. Every offset lies inside the data.
template <class T>
int read_checked_slice(FILE* f, const MRC_HEAD* h, int n, char axis, int64_t count, T* out, const char* func) {
    if (count == 0) return 0;
    const int64_t nx = h->nx, ny = h->ny, nz = h->nz, b = mrc_mode_bytes(h->mode), base = mrc_data_offset(h);
    bool ok = true;
    switch (axis) {
        case 'z': case 'Z':
            ok = read_voxels(f, h->mode, base + n * nx * ny * b, (size_t)count, b, out);
            break;
        case 'y': case 'Y':
            for (int64_t k = 0; k < nz && ok; k++)
                ok = read_voxels(f, h->mode, base + (n + k * ny) * nx * b, (size_t)nx, b, out + k * nx);
            break;
        default:
            ok = read_voxels(f, h->mode, base + n * b, (size_t)count, nx * b, out);
            break;
    }
    return ok ? 0 : read_failed(func);
}

template <class T>
int read_slice_as(FILE* f, const MRC_HEAD* h, int n, char axis, T* out, const char* func) {
    int64_t count;
    if (check_slice(h, n, axis, func, &count) != 0) return -1;
    return read_checked_slice(f, h, n, axis, count, out, func);
}

// Ends the process unless the file holds exactly the data its header says. A
// mode of no byte size cannot be sized: it is named for what it is, not for a
// size. One of a size the readers do not convert passes, for the reader's own
// warning.
void require_exact_size(FILE* f, MRC_HEAD* h, const char* func, int line) {
    if (mrc_mode_bytes(h->mode) == 0)
        vorn_fatal_line(func, VORN_UNIT, line, UNREAD_MODE, unsupported_mode(h->mode), mrc_get_head_mode(h));
    if (mrc_check_fsize(f, h) != 0) vorn_fatal_line(func, VORN_UNIT, line, "File size error!");
}

void require_float_data(const MRC_HEAD* h) {
    if (h->mode == MRC_MODE_FLOAT) return;
    std::printf("File Mode must be MRC_MODE_FLOAT!Exit now!\n");
    std::fflush(stdout);
    std::exit(1);
}

FILE* open_input(const char* name, const char* how, const char* func, int line) {
    FILE* f = std::fopen(name, how);
    if (f == nullptr) {
        std::printf("Cannot open file %s. Permission denied or wrong file name.\n", name);
        vorn_fatal_line(func, VORN_UNIT, line, "open file '%s' failed.", name);
    }
    return f;
}

[[noreturn]] void cannot_write(const char* name, const char* what, const char* func, int line) {
    std::printf("Cannot write to file %s. Permission denied or no space left!\n", name);
    vorn_fatal_line(func, VORN_UNIT, line, "%s file '%s' failed.", what, name);
}

FILE* open_output(const char* name, const char* func, int line) {
    FILE* f = std::fopen(name, "wb+");
    if (f == nullptr) cannot_write(name, "open", func, line);
    return f;
}

// Closes a file written by name; a failed write or close ends the process.
// A file the call made itself (fresh) is removed first: no partial or empty
// output is left behind; an existing file that was appended to is kept.
int close_output(FILE* f, int status, const char* name, bool fresh, const char* func, int line) {
    if (std::fclose(f) == 0 && status == 0) return 0;
    if (fresh) mrcf_remove_output(name);
    cannot_write(name, "write", func, line);
}

#define OPEN_INPUT(name) open_input(name, "rb", __func__, __LINE__)

// Internal result of the checked readers: sizes differ, nothing read, no message.
constexpr int NOT_MATCHING = -2;

// Opens the named file, reads its header into h, runs body on the stream and
// closes it. A failed read (-1) is reported with the file's name and mode.
template <class Body>
int with_input(const char* name, MRC_HEAD* h, const char* func, int line, Body body) {
    FILE* f = open_input(name, "rb", func, line);
    if (!read_whole_head(f, h)) {
        std::fclose(f);
        return short_head(func, name);
    }
    const int status = body(f);
    std::fclose(f);
    if (status == NOT_MATCHING) return -1;
    if (status != 0)
        WARN_IN(func, "Cannot read the data of file '%s' (mode %d, %s)!\n\033[m", name, h->mode, mrc_get_head_mode(h));
    return status == 0 ? 0 : -1;
}

bool ends_with(const char* s, size_t len, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return len >= n && std::memcmp(s + len - n, suffix, n) == 0;
}

// out = the first stem characters of name, then mid, then tail. A name that
// does not fit is refused in func's name: cut, two inputs could share an output.
void compose_name(char* out, const char* name, size_t stem, const char* mid, const char* tail, const char* func,
                  int line) {
    const size_t len = stem + std::strlen(mid) + std::strlen(tail);
    if (len >= NAME_BYTES)
        vorn_fatal_line(func, VORN_UNIT, line, "name of %zu characters does not fit in %zu bytes", len, NAME_BYTES);
    std::memset(out, 0, NAME_BYTES);
    std::memcpy(out, name, stem);
    std::strcat(out, mid);
    std::strcat(out, tail);
}

bool same_sizes(const MRC_HEAD* h1, const MRC_HEAD* h2) {
    return h1->nx == h2->nx && h1->ny == h2->ny && h1->nz == h2->nz && h1->mode == h2->mode;
}

void print_size_difference(const char* paragraph, const char* name1, const char* name2, const MRC_HEAD* h1,
                           const MRC_HEAD* h2) {
    std::printf(paragraph, name1, name2);
    std::printf("      Nx      Ny      Nz      Mode             File:\n");
    std::printf("      %-8d%-8d%-8d%-18s  %s\n", h1->nx, h1->ny, h1->nz, mrc_get_head_mode(h1), name1);
    std::printf("      %-8d%-8d%-8d%-18s  %s\n", h2->nx, h2->ny, h2->nz, mrc_get_head_mode(h2), name2);
}

const char* const size_paragraph =
    "\033[1m%s\033[m has a different size or format from  \033[1m%s\033[m.\n"
    "Check if all the micrographs are the same sizes and format? \n ";

const char* const micrograph_size_paragraph =
    "Micrograph \033[1m%s\033[m has a different size or format from  \033[1m%s\033[m.\n"
    "Check if all the micrographs are the same sizes and format? \n"
    " Currently the concept of Vorn/Tessoranth is to process an entire dataset with the same sizes and formats, "
    "which strongly disagrees with the idea to mix different sizes, formats, types of micrographs.\n"
    "If you really have to process these mixture of datasets, it's suggested to split them, pre-process and then "
    "combine the particles.\n"
    "That will eliminate the potential conflicts, not only Vorn or Tessoranth but also other programs.\n";

}  // namespace

// ======================= header =======================

int64_t mrc_data_offset(const MRC_HEAD* h) { return HEAD_BYTES + (h->nsymbt > 0 ? h->nsymbt : 0); }

int mrc_mode_bytes(int mode) {
    switch (mode) {
        case 0: return 1;
        case 1: case 6: return 2;
        case 2: case 3: return 4;
        case 4: case 20: case 21: case 22: return 8;
    }
    return 0;
}

int mrc_read_head(FILE* f, MRC_HEAD* h) { return read_whole_head(f, h) ? 0 : short_head(__func__, nullptr); }

int mrc_write_head(FILE* f, MRC_HEAD* h) { return write_head_bytes(f, h); }

int mrc_set_head_stmp(MRC_HEAD* h) {
    std::memcpy(h->map, "MAP ", 4);
    const unsigned char stamp[4] = {0x44, 0x41, 0x00, 0x00};
    std::memcpy(h->machst, stamp, 4);
    return 0;
}

int mrc_check_head(MRC_HEAD* h) {
    if (h != nullptr && stamp_valid(h)) return 0;
    std::printf("Warning: in function 'mrc_check_head()'! Not a valid mrc file head!\n");
    return -1;
}

long get_file_size(FILE* f) {
    fseeko(f, 0, SEEK_END);
    return (long)ftello(f);
}

int mrc_check_fsize(FILE* f, MRC_HEAD* h) {
    const int b = mrc_mode_bytes(h->mode);
    if (b == 0) return unknown_mode(__func__, h);
    const int64_t size = get_file_size(f);
    const int64_t n = voxel_count(h);
    int64_t expected = -1;
    if (n >= 0 && __builtin_mul_overflow(n, (int64_t)b, &expected)) expected = -1;
    if (expected >= 0 && size - mrc_data_offset(h) == expected) return 0;
    std::printf("File size %ld  %d xyz %ld", (long)size, b, (long)expected);
    VORN_WARNING("File size error!!\n\033[m");
    return -1;
}

int mrc_init_head(MRC_HEAD* h) {
    h->nx = h->ny = h->nz = 1;
    h->mode = MRC_MODE_FLOAT;
    h->nxstart = h->nystart = h->nzstart = 0;
    h->mx = h->my = h->mz = 1;
    for (int i = 0; i < 3; i++) {
        h->cella[i] = 1.0f;
        h->cellb[i] = 90.0f;
        h->origin[i] = 0.0f;
    }
    h->mapc = 1;
    h->mapr = 2;
    h->maps = 3;
    h->dmin = 0.0f;
    h->dmax = 255.0f;
    h->dmean = 128.0f;
    h->ispg = 1;
    h->ispg_pad = 0;
    h->nsymbt = 0;
    h->creatid = 1000;
    std::memset(h->blank, 0, sizeof(h->blank));
    mrc_set_head_stmp(h);
    h->nlabl = 0;
    std::memset(h->labels, 0, sizeof(h->labels));
    return 0;
}

MRC_HEAD* mrc_new_head() {
    // calloc: the uninterpreted bytes and rms start as zero.
    MRC_HEAD* h = (MRC_HEAD*)std::calloc(1, sizeof(MRC_HEAD));
    if (h == nullptr) VORN_FATAL("Not enough memory for an MRC header");
    mrc_init_head(h);
    return h;
}

void mrc_delete_head(MRC_HEAD* h) { std::free(h); }

int mrc_set_head_xyz(MRC_HEAD* h, int nx, int ny, int nz) {
    h->nx = nx;
    h->ny = ny;
    h->nz = nz;
    return 0;
}

int mrc_set_head_mode(MRC_HEAD* h, int mode) {
    h->mode = mode;
    return 0;
}

void mrc_set_head_apix(MRC_HEAD* h, float apix) {
    h->mx = h->nx;
    h->my = h->ny;
    h->mz = h->nz;
    h->cella[0] = (float)h->nx * apix;
    h->cella[1] = (float)h->ny * apix;
    h->cella[2] = (float)h->nz * apix;
}

int mrc_set_head_xyz_mode(MRC_HEAD* h, int nx, int ny, int nz, int mode) {
    mrc_set_head_xyz(h, nx, ny, nz);
    return mrc_set_head_mode(h, mode);
}

int mrc_set_head_xyz_mmm(MRC_HEAD* h, int nx, int ny, int nz, float a, float b, float mean) {
    mrc_set_head_xyz(h, nx, ny, nz);
    const bool swap = b < a;
    h->dmin = swap ? b : a;
    h->dmax = swap ? a : b;
    h->dmean = mean;
    return 0;
}

int mrc_set_head_xyz_mmmm(MRC_HEAD* h, int nx, int ny, int nz, float a, float b, float mean, int mode) {
    mrc_set_head_xyz_mmm(h, nx, ny, nz, a, b, mean);
    return mrc_set_head_mode(h, mode);
}

int mrc_set_head_mmm_from_data(MRC_HEAD* h, const float* data, size_t n) {
    hm_max_min_mean(data, (unsigned long)n, h->dmax, h->dmin, h->dmean);
    return 0;
}

void get_mrc_head_xy(int& nx, int& ny, const MRC_HEAD* h) {
    nx = h->nx;
    ny = h->ny;
}

void get_mrc_head_xyz(int& nx, int& ny, int& nz, const MRC_HEAD* h) {
    get_mrc_head_xy(nx, ny, h);
    nz = h->nz;
}

const char* mrc_get_head_mode(const MRC_HEAD* h) {
    return (unsigned int)h->mode <= 22u ? mode_names[h->mode] : "Unknown";
}

int mrc_check_even_size(const MRC_HEAD* h) { return (h->nx % 2 == 1 || h->ny % 2 == 1) ? -1 : 0; }
bool is_mrc_square(const MRC_HEAD* h) { return h->nx == h->ny; }
bool is_mrc_cube(const MRC_HEAD* h) { return h->nx == h->ny && h->nx == h->nz; }

// ---- header by file name ----

namespace {
// The named file's header into h; an open failure is reported in func's name,
// a file without a whole header (h zeroed) with a warning and -1.
int read_head_named(const char* name, MRC_HEAD* h, const char* func, int line) {
    FILE* f = open_input(name, "rb", func, line);
    const bool whole = read_whole_head(f, h);
    std::fclose(f);
    return whole ? 0 : short_head(func, name);
}
}  // namespace

MRC_HEAD* mrcf_get_head(const char* name) {
    MRC_HEAD* h = mrc_new_head();
    read_head_named(name, h, __func__, __LINE__);
    return h;
}

int mrcf_read_head(const char* name, MRC_HEAD* h) { return read_head_named(name, h, __func__, __LINE__); }

void get_mrcf_xy(int& nx, int& ny, const char* name) {
    MRC_HEAD* h = mrcf_get_head(name);
    get_mrc_head_xy(nx, ny, h);
    std::free(h);
}

void get_mrcf_xyz(int& nx, int& ny, int& nz, const char* name) {
    MRC_HEAD* h = mrcf_get_head(name);
    get_mrc_head_xyz(nx, ny, nz, h);
    std::free(h);
}

long mrcf_get_dim_size(const char* name, const char* keyword) {
    MRC_HEAD head;
    if (read_head_named(name, &head, "mrcf_get_head", __LINE__) != 0) return -1;
    // Each keyword names the sizes it multiplies: bit 0 nx, bit 1 ny, bit 2 nz.
    struct { const char* key; int sizes; } const dims[] = {
        {"x", 1}, {"y", 2}, {"z", 4}, {"xy", 3}, {"yx", 3}, {"xz", 5}, {"zx", 5}, {"yz", 6}, {"zy", 6}, {"xyz", 7},
    };
    const int32_t size[3] = {head.nx, head.ny, head.nz};
    for (const auto& d : dims) {
        if (strcasecmp(keyword, d.key) != 0) continue;
        long product = 1;
        for (int k = 0; k < 3; k++) {
            if (!(d.sizes & (1 << k))) continue;
            if (size[k] < 0 || __builtin_mul_overflow(product, (long)size[k], &product)) {
                WARN_IN(__func__, "Invalid sizes %d x %d x %d in file %s!\n\033[m", head.nx, head.ny, head.nz, name);
                return -1;
            }
        }
        return product;
    }
    std::printf("Error in function %s(), file %s on line %d: unrecognized dimension keywords %s !\n", __func__,
                VORN_UNIT, __LINE__, keyword);
    std::printf("valid dimension keywords: x, y, z, xy, yx, xz, zx, yz, zy, xyz; not case sensitive\n");
    return 0;
}

const char* mrcf_get_head_mode(const char* name) {
    MRC_HEAD h;
    return read_head_named(name, &h, __func__, __LINE__) == 0 ? mrc_get_head_mode(&h) : "Unknown";
}

int mrc_replace_head(const char* name, MRC_HEAD* h) {
    FILE* f = open_input(name, "rb+", __func__, __LINE__);
    // The extended header and the data stay where they are: keep the file's nsymbt.
    MRC_HEAD current{};
    h->nsymbt = read_head_bytes(f, &current) == sizeof(MRC_HEAD) ? current.nsymbt : 0;
    const int status = write_head_bytes(f, h);
    std::fclose(f);
    return status;
}

int mrc_new_file(const char* name, MRC_HEAD* h) {
    FILE* f = std::fopen(name, "wb+");
    if (f == nullptr) {
        std::printf("\nCannot open file strike any key exit!");
        std::fflush(stdout);
        std::exit(1);
    }
    h->nsymbt = 0;  // the new file has no extended header: its sections follow the header
    const bool written = mrc_write_head(f, h) == 0;
    if (std::fclose(f) == 0 && written) return 0;
    mrcf_remove_output(name);  // no partial header is left behind
    return -1;
}

int mrcf_check_head(const char* name) {
    FILE* f = OPEN_INPUT(name);
    MRC_HEAD h{};
    const bool whole = read_head_bytes(f, &h) == sizeof(MRC_HEAD);
    std::fclose(f);
    if (whole && stamp_valid(&h)) return 0;
    std::printf("Warning: in function 'mrcf_check_head()'! '%s' is not a valid mrc file !\n", name);
    return -1;
}

int mrcf_update_head(const char* name) {
    FILE* f = std::fopen(name, "rb+");
    if (f == nullptr) {
        std::printf("Cannot open file strike any key exit!\n");
        std::fflush(stdout);
        std::exit(1);
    }
    MRC_HEAD h;
    const bool whole = read_whole_head(f, &h);
    const int status = [&]() {
        if (!whole) return short_head(__func__, name);
        if (!mode_is_read(h.mode)) return unknown_mode(__func__, &h);
        const int64_t end = data_end(&h);
        if (end < 0) return size_error(__func__, &h);
        if (voxel_count(&h) == 0) {
            WARN_IN(__func__, "The file holds no voxels: there are no statistics to compute!\n\033[m");
            return -1;
        }
        // The file must hold what the header says before a section is allocated.
        if (!file_reaches(f, end)) return too_short(__func__, &h, end);
        const size_t nxy = (size_t)h.nx * (size_t)h.ny;
        const int64_t b = mrc_mode_bytes(h.mode);
        std::vector<float> section;
        if (!try_resize(section, nxy)) {
            std::printf("Function 'malloc' erro, while updating head!\n");
            std::fflush(stdout);
            std::exit(1);
        }
        std::printf("updating head!\n");
        double vmin = 0.0, vmax = 0.0, sum = 0.0;
        for (int64_t k = 0; k < h.nz; k++) {
            if (!read_voxels(f, h.mode, mrc_data_offset(&h) + k * (int64_t)nxy * b, nxy, b, section.data()))
                return read_failed(__func__);
            if (k == 0 && nxy > 0) vmin = vmax = section[0];
            double s = 0.0;
            for (float v : section) {
                vmin = std::min(vmin, (double)v);
                vmax = std::max(vmax, (double)v);
                s += v;
            }
            sum += s;
        }
        const double n = (double)nxy * (double)h.nz;
        h.dmin = (float)vmin;
        h.dmax = (float)vmax;
        h.dmean = n > 0 ? (float)(sum / n) : 0.0f;
        return write_head_bytes(f, &h);
    }();
    std::fclose(f);
    if (status != 0) {
        WARN_IN(__func__, "Header of '%s' (mode %d, %s) not updated!\n\033[m", name, h.mode, mrc_get_head_mode(&h));
        return -1;
    }
    std::printf("updating head finished!\n");
    return 0;
}

namespace {
// The output is created only once the input's header is read and the output is
// known not to be the input: -1 (both streams null) otherwise.
int open_in_out(const char* in, const char* out, FILE*& fin, FILE*& fout, MRC_HEAD* hin, MRC_HEAD* hout,
                const char* func, int line) {
    fout = nullptr;
    fin = open_input(in, "rb", func, line);
    const int status = !read_whole_head(fin, hin) ? short_head(func, in) : mrcf_check_output_names(out, {in}, func, VORN_UNIT, line);
    if (status != 0) {
        std::fclose(fin);
        fin = nullptr;
        return -1;
    }
    fout = open_output(out, func, line);
    *hout = *hin;
    hout->mode = MRC_MODE_FLOAT;
    hout->nsymbt = 0;  // the output's data follow its header directly
    return 0;
}
}  // namespace

int mrcf_io_init(const char* in, const char* out, FILE*& fin, FILE*& fout, MRC_HEAD*& hin, MRC_HEAD*& hout) {
    hin = mrc_new_head();
    hout = mrc_new_head();
    if (open_in_out(in, out, fin, fout, hin, hout, __func__, __LINE__) == 0) return 0;
    mrc_delete_head(hin);
    mrc_delete_head(hout);
    hin = hout = nullptr;
    return -1;
}

int mrcf_io_open_io_read_write_head(const char* in, const char* out, FILE*& fin, FILE*& fout, MRC_HEAD* hin,
                                    MRC_HEAD* hout) {
    if (open_in_out(in, out, fin, fout, hin, hout, __func__, __LINE__) != 0) return -1;
    mrc_write_head(fout, hout);
    return 0;
}

// ---- outputs that would overwrite an input, outputs left unfinished ----

void mrcf_remove_output(const char* name) {
    struct stat st;
    if (stat(name, &st) == 0 && S_ISREG(st.st_mode)) std::remove(name);
}

namespace {

std::string stat_id(const struct stat& st) {
    return std::to_string((unsigned long long)st.st_dev) + ":" + std::to_string((unsigned long long)st.st_ino);
}

std::string folder_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Where a write to the name lands: the name, or the target of the link it is,
// followed from link to link (relative targets from the link's folder), to the
// first name that is no link, also one that does not exist yet.
std::string written_path(const char* name) {
    std::string path = name;
    struct stat st;
    for (int hops = 0; hops < 40 && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++hops) {
        char target[4096];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        target[n] = '\0';
        const size_t slash = path.find_last_of('/');
        path = target[0] == '/' || slash == std::string::npos ? std::string(target) : path.substr(0, slash + 1) + target;
    }
    return path;
}

// Whether a regular file can be opened as a writer opens it: without append,
// which a file that takes only appends refuses. Nothing is changed in it.
bool opens_for_writing(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

}  // namespace

std::string mrcf_file_id(const char* name) {
    struct stat st;
    if (stat(name, &st) == 0) return stat_id(st);
    // A link to a file not yet there is where that file will be written.
    return mrcf_entry_id(written_path(name).c_str());
}

std::string mrcf_entry_id(const char* name) {
    const std::string path = name;
    struct stat st;
    const size_t slash = path.find_last_of('/');
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!leaf.empty() && leaf != "." && leaf != ".." && stat(folder_of(path).c_str(), &st) == 0)
        return stat_id(st) + "/" + leaf;
    // Nothing can be written there: the name stands for itself (ids of files begin with a digit).
    return "?" + path;
}

std::string mrcf_output_unwritable(const char* name) {
    const std::string path = written_path(name);
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (const char* kind = non_regular_file_kind(path.c_str())) return std::string(kind) + " stands in its place";
        return opens_for_writing(path) ? "" : std::strerror(errno);
    }
    if (errno != ENOENT) return std::strerror(errno);
    const std::string folder = folder_of(path);
    if (access(folder.c_str(), W_OK | X_OK) == 0) return "";
    return "its folder " + folder + ": " + std::strerror(errno);
}

void BatchFiles::add_input(const char* name, const std::string& what) { inputs.emplace(mrcf_file_id(name), what); }

const std::string* BatchFiles::input(const char* name) const {
    const auto found = inputs.find(mrcf_file_id(name));
    return found == inputs.end() ? nullptr : &found->second;
}

const OutputClaim* BatchFiles::claim(int item, const std::string& name) {
    const auto placed = outputs.emplace(mrcf_file_id(name.c_str()), OutputClaim{item, name});
    return placed.second ? nullptr : &placed.first->second;
}

int BatchFiles::repeats(int item, const char* name) {
    const auto placed = items.emplace(mrcf_file_id(name), item);
    return placed.second ? -1 : placed.first->second;
}

bool mrcf_same_file(const char* a, const char* b) {
    return std::strcmp(a, b) == 0 || mrcf_file_id(a) == mrcf_file_id(b);
}

int mrcf_check_outputs(const std::vector<const char*>& outputs, const std::vector<const char*>& inputs,
                       const char* func, const char* unit, int line) {
    // Equal names give equal ids, so comparing ids alone is mrcf_same_file.
    std::unordered_map<std::string, const char*> read, written;
    for (const char* in : inputs)
        if (in != nullptr) read.emplace(mrcf_file_id(in), in);
    for (const char* out : outputs) {
        if (out == nullptr) continue;
        const std::string id = mrcf_file_id(out);
        if (const auto in = read.find(id); in != read.end()) {
            vorn_warning_line(func, unit, line, "Output file %s is the input file %s! Nothing written.\n\033[m", out,
                              in->second);
            return -1;
        }
        if (const auto [earlier, added] = written.emplace(id, out); !added) {
            vorn_warning_line(func, unit, line, "Output files %s and %s are one file! Nothing written.\n\033[m",
                              earlier->second, out);
            return -1;
        }
    }
    return 0;
}

std::vector<const char*> mrcf_name_pointers(const std::vector<std::string>& names) {
    std::vector<const char*> p;
    for (const std::string& name : names) p.push_back(name.c_str());
    return p;
}

int mrcf_check_output_names(const char* out, std::initializer_list<const char*> inputs, const char* func,
                            const char* unit, int line) {
    return mrcf_check_outputs({out}, inputs, func, unit, line);
}

// ---- header comparison ----

int check_mrc_head_sizes_two_warning(const char* name1, const char* name2, const MRC_HEAD* h1, const MRC_HEAD* h2) {
    if (same_sizes(h1, h2)) return 0;
    print_size_difference(size_paragraph, name1, name2, h1, h2);
    return -1;
}

int check_mrc_head_sizes_two(const char* name1, const char* name2, const MRC_HEAD* h1, const MRC_HEAD* h2) {
    if (check_mrc_head_sizes_two_warning(name1, name2, h1, h2) == 0) return 0;
    std::fflush(stdout);
    std::exit(1);
}

int vorn_check_mrc_head_sizes_two(const char* name1, const char* name2, const MRC_HEAD* h1, const MRC_HEAD* h2) {
    if (same_sizes(h1, h2)) return 0;
    print_size_difference(micrograph_size_paragraph, name1, name2, h1, h2);
    std::fflush(stdout);
    std::exit(1);
}

// ---- output names ----

namespace {
// 4 for ".mrc", 5 for ".mrcs", else 0.
size_t micrograph_suffix_length(const char* name) {
    const size_t len = std::strlen(name);
    return ends_with(name, len, ".mrc") ? 4 : ends_with(name, len, ".mrcs") ? 5 : 0;
}
}  // namespace

int get_micrograph_suffixn(const char* name) {
    const size_t n = micrograph_suffix_length(name);
    if (n == 0) VORN_WARNING("Micrograph suffix must be .mrc or .mrcs!\n\033[m");
    return (int)n;
}

std::string mrcf_micrograph_stem(const char* name) {
    return std::string(name, std::strlen(name) - micrograph_suffix_length(name));
}

std::string mrcf_names_fit_fault(size_t longest) {
    if (longest < NAME_BYTES) return "";
    return "its output names, of up to " + std::to_string(longest) + " characters, do not fit in " +
           std::to_string(NAME_BYTES) + " bytes";
}

int mrcf_set_outname_by_suffix(char* out, const char* name, const char* suffix) {
    const size_t len = std::strlen(name);
    compose_name(out, name, len - get_micrograph_suffixn(name), suffix, "", __func__, __LINE__);
    return 0;
}

int mrcf_replace_file_suffix(char* out, const char* name, const char* suffix) {
    return mrcf_set_outname_by_suffix(out, name, suffix);
}

int mrcf_set_outname_by_insertion(char* out, const char* name, const char* insert) {
    const size_t len = std::strlen(name);
    const size_t stem = len - get_micrograph_suffixn(name);
    compose_name(out, name, stem, insert, name + stem, __func__, __LINE__);
    return 0;
}

// ======================= data readers on an open stream =======================

int mrc_read_all(FILE* f, MRC_HEAD* h, float* out) {
    require_exact_size(f, h, __func__, __LINE__);
    return read_all_voxels(f, h, out, __func__);
}

int mrc_read_all_nocheck(FILE* f, MRC_HEAD* h, float* out) { return read_all_voxels(f, h, out, __func__); }

int mrc_check_data_in_file(FILE* f, MRC_HEAD* h) {
    if (!mode_is_read(h->mode)) return unknown_mode(__func__, h);
    const int64_t end = data_end(h);
    if (end < 0) return size_error(__func__, h);
    return file_reaches(f, end) ? 0 : too_short(__func__, h, end);
}

const char* mrc_mode_fault(const MRC_HEAD* h) { return mode_is_read(h->mode) ? nullptr : unsupported_mode(h->mode); }

const char* mrc_image_fault(FILE* f, const MRC_HEAD* h) {
    if (const char* fault = mrc_mode_fault(h)) return fault;
    if (h->nx <= 0 || h->ny <= 0 || h->nz <= 0) return "its sizes are not all above 0";
    const int64_t end = data_end(h);
    if (end < 0) return "its sizes describe more data than a file can hold";
    return file_reaches(f, end) ? nullptr : "the file is shorter than the data its header describes";
}

const char* mrcf_image_fault(const char* name, MRC_HEAD* h) {
    std::memset(h, 0, sizeof(MRC_HEAD));
    FILE* f = std::fopen(name, "rb");
    if (f == nullptr) return "it cannot be opened";
    const char* fault = read_whole_head(f, h) ? mrc_image_fault(f, h) : "it is shorter than an MRC header of 1024 bytes, or cannot be read";
    std::fclose(f);
    return fault;
}

int mrc_read_all_by_chunks(FILE* f, MRC_HEAD* h, float* chunk, size_t chunk_n,
                           const std::function<void(size_t, const float*, size_t)>& take) {
    if (!mode_is_read(h->mode)) return unknown_mode(__func__, h);
    if (data_end(h) < 0) return size_error(__func__, h);
    if (chunk == nullptr || chunk_n == 0) return read_failed(__func__);
    const int b = mrc_mode_bytes(h->mode);
    const size_t n = (size_t)voxel_count(h);
    for (size_t first = 0; first < n; first += chunk_n) {
        const size_t k = std::min(chunk_n, n - first);
        if (!read_voxels(f, h->mode, mrc_data_offset(h) + (int64_t)first * b, k, b, chunk)) return read_failed(__func__);
        take(first, chunk, k);
    }
    return 0;
}

int mrc_read_slice(FILE* f, MRC_HEAD* h, int n, char axis, float* out) {
    return read_slice_as(f, h, n, axis, out, __func__);
}

int mrc_read_slice_double(FILE* f, MRC_HEAD* h, int n, char axis, double* out) {
    require_exact_size(f, h, __func__, __LINE__);
    return read_slice_as(f, h, n, axis, out, __func__);
}

int mrc_read_slice_byte(FILE* f, MRC_HEAD* h, int n, char axis, unsigned char* out) {
    require_exact_size(f, h, __func__, __LINE__);
    int64_t count;
    if (check_slice(h, n, axis, __func__, &count) != 0) return -1;
    std::vector<float> values;
    if (!try_resize(values, (size_t)count)) return no_memory(__func__, count * (int64_t)sizeof(float));
    if (read_checked_slice(f, h, n, axis, count, values.data(), __func__) != 0) return -1;
    // Inverted contrast: dmax becomes 0 and dmin 255; values outside the range
    // (or a header without one) are held to the ends instead of wrapping.
    const float scale = 255.0f / (h->dmax - h->dmin);
    for (size_t i = 0; i < values.size(); i++) {
        const float v = (h->dmax - values[i]) * scale;
        out[i] = v >= 255.0f ? 255 : (v > 0.0f ? (unsigned char)(int)v : 0);
    }
    return 0;
}

int mrc_read_pixel(float* out, FILE* f, MRC_HEAD* h, int x, int y, int z) {
    if (!mode_is_read(h->mode)) return unknown_mode(__func__, h);
    if (data_end(h) < 0) return size_error(__func__, h);
    if (!in_range(x, h->nx) || !in_range(y, h->ny) || !in_range(z, h->nz)) return outside_data(__func__, h);
    const int64_t b = mrc_mode_bytes(h->mode);
    const int64_t index = x + (int64_t)h->nx * (y + (int64_t)z * h->ny);
    if (read_voxels(f, h->mode, mrc_data_offset(h) + index * b, 1, b, out)) return 0;
    std::printf("Error with Function 'mrc_read_pixel()'! Reading file failed!");
    return -1;
}

int mrc_read_sub_area(FILE* f, MRC_HEAD* h, float* out, int x0, int y0, int z0, int w, int hgt, int d) {
    require_float_data(h);
    if (d <= 0) return 0;
    if (data_end(h) < 0) return size_error(__func__, h);
    if (x0 < 0 || y0 < 0 || z0 < 0 || w < 0 || hgt < 0 || (int64_t)x0 + w > h->nx || (int64_t)y0 + hgt > h->ny ||
        (int64_t)z0 + d > h->nz)
        return outside_data(__func__, h);
    if (w == 0 || hgt == 0) return 0;  // an empty box: nothing to read, however many sections
    const int64_t nx = h->nx, ny = h->ny;
    for (int64_t z = z0; z < (int64_t)z0 + d; z++)
        for (int64_t y = y0; y < (int64_t)y0 + hgt; y++) {
            float* row = out + ((z - z0) * hgt + (y - y0)) * w;
            if (!read_voxels(f, MRC_MODE_FLOAT, mrc_data_offset(h) + 4 * (nx * (y + z * ny) + x0), (size_t)w, 4, row))
                return read_failed(__func__);
        }
    return 0;
}

int mrc_2d_read_sub_area(FILE* f, MRC_HEAD* h, float* out, int x0, int y0, int w, int hgt) {
    return mrc_read_sub_area(f, h, out, x0, y0, 0, w, hgt, 1);
}

int mrc_2d_read_grids(FILE* f, MRC_HEAD* h, float* out, int box, int step) {
    require_float_data(h);
    if (box <= 0 || step <= 0) {
        VORN_WARNING("Box %d and step %d must be positive!\n\033[m", box, step);
        return -1;
    }
    int64_t count;
    if (check_slice(h, 0, 'z', __func__, &count) != 0) return -1;
    if (h->nx < box || h->ny < box) return 0;  // no box fits
    // Section 0 must be in the file before a buffer of its size is made.
    const int64_t end = mrc_data_offset(h) + 4 * count;
    if (!file_reaches(f, end)) return too_short(__func__, h, end);
    const size_t nx = (size_t)h->nx;
    std::vector<float> image;
    if (!try_resize(image, (size_t)count)) return no_memory(__func__, 4 * count);
    if (read_checked_slice(f, h, 0, 'z', count, image.data(), __func__) != 0) return -1;
    const int rows = (h->ny - box) / step + 1, cols = (h->nx - box) / step + 1;
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
            for (int r = 0; r < box; r++) {
                const float* src = image.data() + (size_t)(i * step + r) * nx + (size_t)j * step;
                std::memcpy(out, src, sizeof(float) * box);
                out += box;
            }
    return 0;
}

// ======================= writers on an open stream =======================

namespace {
int write_failed(const char* func) {
    WARN_IN(func, "Writing file failed!\n\033[m");
    return -1;
}

// The header-and-data writers' refusals, which the writers by name make before
// they create the file: data of another mode than float, sizes of no array.
void require_float_head(const MRC_HEAD* h, const char* func, int line) {
    if (h->mode != MRC_MODE_FLOAT)
        vorn_fatal_line(func, VORN_UNIT, line,
                        "mrc_write_head_alldata() does not support writing float data to other MRC format.");
    if (voxel_count(h) < 0) vorn_fatal_line(func, VORN_UNIT, line, "invalid sizes %d x %d x %d", h->nx, h->ny, h->nz);
}

// Statistics into h, then the header at byte 0 and the data directly after it
// (h passed require_float_head).
int write_stats_head_data(FILE* f, MRC_HEAD* h, const float* data, const char* func) {
    const int64_t n = voxel_count(h);
    if (n > 0) mrc_set_head_mmm_from_data(h, data, (size_t)n);
    h->nsymbt = 0;  // no extended header is written: the data follow the header
    if (mrc_write_head(f, h) != 0 || std::fwrite(data, sizeof(float), (size_t)n, f) != (size_t)n)
        return write_failed(func);
    return 0;
}

bool write_at(FILE* f, int64_t offset, const void* data, size_t bytes) {
    return seek_to(f, offset) && std::fwrite(data, 1, bytes, f) == bytes;
}

bool write_at_end(FILE* f, const void* data, size_t bytes) {
    return fseeko(f, 0, SEEK_END) == 0 && std::fwrite(data, 1, bytes, f) == bytes;
}

// Floats of device data copied to the host at a time.
constexpr size_t DEVICE_CHUNK_FLOATS = (size_t)1 << 18;

// The header statistics of data seen in stretches, in order: the values
// mrc_set_head_mmm_from_data gives for the whole array (first maximum and
// minimum, mean of a double sum in order).
struct RunningStats {
    float max = 0.0f, min = 0.0f;
    double sum = 0.0;
    size_t count = 0;
    bool add(const float* v, size_t k) {
        for (size_t i = 0; i < k; ++i) {
            if (count++ == 0) max = min = v[i];
            if (v[i] > max) max = v[i];
            if (v[i] < min) min = v[i];
            sum += (double)v[i];
        }
        return true;
    }
    void put(MRC_HEAD* h) const {
        h->dmax = max;
        h->dmin = min;
        h->dmean = (float)(sum / (double)count);
    }
};

size_t section_voxels(const MRC_HEAD* h) { return (size_t)std::max(h->nx, 0) * (size_t)std::max(h->ny, 0); }
}  // namespace

int mrc_write_head_data(FILE* f, MRC_HEAD* h, const float* data) {
    require_float_head(h, __func__, __LINE__);
    return write_stats_head_data(f, h, data, __func__);
}

int mrc_write_head_zdata(FILE* f, MRC_HEAD* h, const float* data) { return mrc_write_head_data(f, h, data); }

// Device data pass through a chunk of host memory, not a whole host copy (a
// micrograph would be held twice): one pass for the statistics, one to write.
int mrc_write_head_ddata(FILE* f, MRC_HEAD* h, const float* device_data) {
    require_float_head(h, __func__, __LINE__);
    const int64_t n = voxel_count(h);
    std::vector<float> chunk;
    if (!try_resize(chunk, std::min((size_t)n, DEVICE_CHUNK_FLOATS)))
        VORN_FATAL("Not enough memory for %lld floats", (long long)n);
    auto each_chunk = [&](auto use) {
        for (size_t first = 0; first < (size_t)n; first += chunk.size()) {
            const size_t k = std::min(chunk.size(), (size_t)n - first);
            CUDA_CHECK(cudaMemcpy(chunk.data(), device_data + first, sizeof(float) * k, cudaMemcpyDeviceToHost));
            if (!use(chunk.data(), k)) return false;
        }
        return true;
    };
    RunningStats stats;
    each_chunk([&](const float* v, size_t k) { return stats.add(v, k); });
    if (n > 0) stats.put(h);
    h->nsymbt = 0;  // no extended header is written: the data follow the header
    if (mrc_write_head(f, h) != 0 ||
        !each_chunk([&](const float* v, size_t k) { return std::fwrite(v, sizeof(float), k, f) == k; }))
        return write_failed(__func__);
    return 0;
}

int mrc_add_slice(FILE* f, MRC_HEAD* h, const float* data) {
    return write_at_end(f, data, sizeof(float) * section_voxels(h)) ? 0 : write_failed(__func__);
}

int mrc_add_sliceN(FILE* f, MRC_HEAD* h, const float* data, int n) {
    const size_t bytes = sizeof(float) * section_voxels(h);
    int64_t at;
    if (n < 0 || bytes > (size_t)INT64_MAX || __builtin_mul_overflow((int64_t)n, (int64_t)bytes, &at) ||
        __builtin_add_overflow(at, mrc_data_offset(h), &at))
        return outside_data(__func__, h);
    return write_at(f, at, data, bytes) ? 0 : write_failed(__func__);
}

int mrc_add_slice_byte(FILE* f, MRC_HEAD* h, const unsigned char* data) {
    return write_at_end(f, data, section_voxels(h)) ? 0 : write_failed(__func__);
}

int mrc_update_slcX(FILE* f, int x, const float* data) {
    MRC_HEAD h;
    if (!read_whole_head(f, &h)) return short_head(__func__, nullptr);
    if (h.mode != MRC_MODE_FLOAT) {
        WARN_IN(__func__, "Cannot write floats into data of mode %d (%s)!\n\033[m", h.mode, mrc_get_head_mode(&h));
        return -1;
    }
    const int64_t end = data_end(&h);
    if (end < 0) return size_error(__func__, &h);
    if (!in_range(x, h.nx)) return outside_data(__func__, &h);
    // Overwrites only: a file shorter than its header says is not grown.
    if (!file_reaches(f, end)) return too_short(__func__, &h, end);
    const int64_t row = 4 * (int64_t)h.nx, n = (int64_t)h.ny * h.nz, base = mrc_data_offset(&h) + 4 * (int64_t)x;
    for (int64_t i = 0; i < n; i++)
        if (!write_at(f, base + i * row, data + i, sizeof(float))) return write_failed(__func__);
    return 0;
}

// ======================= readers by file name =======================

namespace {
// The whole checked data of a file in memory from alloc; any failure is fatal.
template <class Alloc>
float* read_whole_file(const char* name, Alloc alloc, const char* func, int line) {
    FILE* f = open_input(name, "rb", func, line);
    MRC_HEAD h;
    if (!read_whole_head(f, &h)) {
        short_head(func, name);
        vorn_fatal_line("mrc_read_all", VORN_UNIT, line, "File size error!");
    }
    // A mode that is not read fails, named, before its size is looked at or anything allocated for it.
    if (const char* fault = mrc_mode_fault(&h))
        vorn_fatal_line(func, VORN_UNIT, line, "read data of file '%s' (mode %d, %s) failed: %s.", name, h.mode,
                        mrc_get_head_mode(&h), fault);
    require_exact_size(f, &h, "mrc_read_all", line);
    if (voxel_count(&h) < 0)
        vorn_fatal_line(func, VORN_UNIT, line, "read data of file '%s' (mode %d, %s) failed.", name, h.mode,
                        mrc_get_head_mode(&h));
    float* data = alloc(sizeof(float) * (size_t)voxel_count(&h));
    if (mrc_read_all(f, &h, data) != 0)
        vorn_fatal_line(func, VORN_UNIT, line, "read data of file '%s' (mode %d, %s) failed.", name, h.mode,
                        mrc_get_head_mode(&h));
    std::fclose(f);
    return data;
}

float* host_alloc(size_t bytes) {
    float* p = (float*)std::malloc(std::max(bytes, sizeof(float)));
    if (p == nullptr) VORN_FATAL("Not enough memory for %zu bytes", bytes);
    return p;
}

float* managed_alloc(size_t bytes) {
    float* p = nullptr;
    CUDA_CHECK(cudaMallocManaged((void**)&p, std::max(bytes, sizeof(float)), cudaMemAttachGlobal));
    return p;
}

}  // namespace

float* mrcf_get_data_all(const char* name) { return read_whole_file(name, host_alloc, __func__, __LINE__); }

namespace {
float* read_whole_file_managed(const char* name, const char* func, int line) {
    float* data = read_whole_file(name, managed_alloc, func, line);
    CUDA_CHECK(cudaDeviceSynchronize());
    return data;
}
}  // namespace

float* mrcf_get_zdata_all(const char* name) { return read_whole_file_managed(name, __func__, __LINE__); }

int mrcf_get_zdata_all2(float** out, const char* name) {
    *out = read_whole_file_managed(name, __func__, __LINE__);
    return 0;
}

// Section n of the named file into the buffer that make(count) gives (null: no memory).
template <class Make>
int read_named_section(const char* name, int n, const char* func, int line, Make make) {
    MRC_HEAD h{};
    return with_input(name, &h, func, line, [&](FILE* f) {
        int64_t count;
        if (check_slice(&h, n, 'z', func, &count) != 0) return -1;
        // The section must be in the file before a buffer of its size is made.
        const int64_t bytes = count * mrc_mode_bytes(h.mode), end = mrc_data_offset(&h) + (n + 1) * bytes;
        if (!file_reaches(f, end)) return too_short(func, &h, end);
        float* data = make(count);
        if (data == nullptr) return no_memory(func, (int64_t)sizeof(float) * count);
        return read_checked_slice(f, &h, n, 'z', count, data, func);
    });
}

float* mrcf_get_data_sliceN(const char* name, int n) {
    float* data = nullptr;
    const int status = read_named_section(name, n, __func__, __LINE__, [&](int64_t count) {
        return data = (float*)std::malloc(sizeof(float) * (size_t)std::max<int64_t>(count, 1));
    });
    if (status == 0) return data;
    std::free(data);
    return nullptr;
}

int mrcf_read_sliceN(const char* name, int n, std::vector<float>& out) {
    return read_named_section(name, n, __func__, __LINE__, [&](int64_t count) {
        return try_resize(out, (size_t)std::max<int64_t>(count, 1)) ? out.data() : nullptr;
    });
}

int mrcf_read_all(const char* name, float* out) {
    MRC_HEAD h{};
    return with_input(name, &h, __func__, __LINE__, [&](FILE* f) { return mrc_read_all(f, &h, out); });
}

int mrcf_get_head_data(const char* name, MRC_HEAD* h, float* out) {
    return with_input(name, h, __func__, __LINE__, [&](FILE* f) { return mrc_read_all(f, h, out); });
}

int mrcf_read_head_data_nocheck(const char* name, MRC_HEAD* h, float* out) {
    return with_input(name, h, __func__, __LINE__, [&](FILE* f) { return mrc_read_all_nocheck(f, h, out); });
}

namespace {
// All voxels (without the size check) when nx, ny and, unless nz is null, nz
// are the given ones; -1 without a message otherwise.
int read_if_sizes(const char* name, MRC_HEAD* h, float* out, int nx, int ny, const int* nz, const char* func,
                  int line) {
    return with_input(name, h, func, line, [&](FILE* f) {
        if (!mode_is_read(h->mode)) return unknown_mode(func, h);
        const bool match = h->nx == nx && h->ny == ny && (nz == nullptr || h->nz == *nz);
        return match ? mrc_read_all_nocheck(f, h, out) : NOT_MATCHING;
    });
}
}  // namespace

int mrcf_read_head_data_check_xyz(const char* name, MRC_HEAD* h, float* out, int nx, int ny, int nz) {
    return read_if_sizes(name, h, out, nx, ny, &nz, __func__, __LINE__);
}

int mrcf_read_head_data_check_xy(const char* name, MRC_HEAD* h, float* out, int nx, int ny) {
    return read_if_sizes(name, h, out, nx, ny, nullptr, __func__, __LINE__);
}

int mrcf_read_data_check_xy(const char* name, float* out, int nx, int ny) {
    MRC_HEAD h{};
    return read_if_sizes(name, &h, out, nx, ny, nullptr, __func__, __LINE__);
}

int mrcf_read_data_check_xyz(const char* name, float* out, int nx, int ny, int nz) {
    MRC_HEAD h{};
    return read_if_sizes(name, &h, out, nx, ny, &nz, __func__, __LINE__);
}

int mrcf_read_slice(const char* name, int n, char axis, float* out) {
    MRC_HEAD h{};
    return with_input(name, &h, __func__, __LINE__, [&](FILE* f) { return mrc_read_slice(f, &h, n, axis, out); });
}

int mrcf_read_slice_check_xy_cid(const char* name, int n, char axis, float* out, int nx, int ny, short creatid) {
    MRC_HEAD h{};
    return with_input(name, &h, __func__, __LINE__, [&](FILE* f) {
        if (!mode_is_read(h.mode)) return unknown_mode(__func__, &h);
        return h.nx == nx && h.ny == ny && h.creatid == creatid ? mrc_read_slice(f, &h, n, axis, out) : NOT_MATCHING;
    });
}

int mrcf_read_sub_area(const char* name, float* out, int x0, int y0, int z0, int w, int hgt, int d) {
    FILE* f = std::fopen(name, "rb");
    if (f == nullptr) {
        std::printf("Cannot open file %s strike any key exit!\n", name);
        std::fflush(stdout);
        std::exit(1);
    }
    MRC_HEAD h;
    const int status = read_whole_head(f, &h) ? mrc_read_sub_area(f, &h, out, x0, y0, z0, w, hgt, d)
                                              : short_head(__func__, name);
    std::fclose(f);
    return status;
}

// ======================= writers by file name =======================

namespace {
// A stream writer and the name its refusals are reported in.
struct StreamWriter {
    int (*write)(FILE*, MRC_HEAD*, const float*);
    const char* name;
};
const StreamWriter host_writer{mrc_write_head_data, "mrc_write_head_data"};
const StreamWriter managed_writer{mrc_write_head_zdata, "mrc_write_head_data"};
const StreamWriter device_writer{mrc_write_head_ddata, "mrc_write_head_ddata"};

// The writer's refusals come before the file is created, so that none leaves an
// empty file behind; a failed write removes what was written.
int write_new_file(const char* name, MRC_HEAD* h, const float* data, const StreamWriter& writer, const char* func,
                   int line) {
    require_float_head(h, writer.name, line);
    FILE* f = open_output(name, func, line);
    return close_output(f, writer.write(f, h, data), name, true, func, line);
}

int write_new_xyz_file(const char* name, const float* data, int nx, int ny, int nz, const StreamWriter& writer,
                       const char* func, int line) {
    MRC_HEAD h = default_head();
    mrc_set_head_xyz_mode(&h, nx, ny, nz, MRC_MODE_FLOAT);
    return write_new_file(name, &h, data, writer, func, line);
}
}  // namespace

int mrcf_write_xyz_data(const char* name, const float* data, int nx, int ny, int nz) {
    return write_new_xyz_file(name, data, nx, ny, nz, host_writer, __func__, __LINE__);
}

int mrcf_write_xyz_zdata(const char* name, const float* data, int nx, int ny, int nz) {
    return write_new_xyz_file(name, data, nx, ny, nz, managed_writer, __func__, __LINE__);
}

int mrcf_write_xyz_ddata(const char* name, const float* device_data, int nx, int ny, int nz) {
    return write_new_xyz_file(name, device_data, nx, ny, nz, device_writer, __func__, __LINE__);
}

int mrcf_write_head_data(const char* name, MRC_HEAD* h, const float* data) {
    return write_new_file(name, h, data, host_writer, __func__, __LINE__);
}

int mrcf_write_head_ddata(const char* name, MRC_HEAD* h, const float* device_data) {
    return write_new_file(name, h, device_data, device_writer, __func__, __LINE__);
}

int mrcf_add_xyz_data(const char* name, const float* data, int nx, int ny, int count) {
    FILE* f = open_input(name, "rb+", __func__, __LINE__);
    MRC_HEAD h;
    const bool whole = read_whole_head(f, &h);
    if (!whole) short_head(__func__, name);
    if (!whole || h.nx != nx || h.ny != ny) VORN_FATAL("file size incompatible!");
    if (h.mode != MRC_MODE_FLOAT)
        VORN_FATAL("cannot append float sections to '%s', whose data are of mode %d (%s)", name, h.mode,
                   mrc_get_head_mode(&h));
    require_exact_size(f, &h, __func__, __LINE__);
    const int64_t end = mrc_data_offset(&h) + 4 * voxel_count(&h);
    if (count < 0 || __builtin_add_overflow(h.nz, count, &h.nz)) VORN_FATAL("cannot append %d sections", count);
    // The extended header stays: the sections go directly after the existing data.
    const bool ok = write_head_bytes(f, &h) == 0 &&
                    write_at(f, end, data, sizeof(float) * section_voxels(&h) * (size_t)count);
    return close_output(f, ok ? 0 : -1, name, false, __func__, __LINE__);
}
