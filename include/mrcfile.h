// MRC image, stack and volume files: the 1024-byte header, its defaults,
// setters and checks, output-name helpers, and the data readers and writers
// on open streams and by file name (host, managed and device arrays).
//
// The header is read and written whole in the machine's byte order. Voxel
// data follow the header and any extended header, at byte 1024 + nsymbt;
// every header this system writes in front of new data has nsymbt 0, so its
// own files keep their data at byte 1024. Readers convert modes 0 (unsigned
// 8-bit), 1 (signed 16-bit), 2 (float) and 6 (unsigned 16-bit) to floats;
// writers produce mode 2 only. A file of any other mode, one with a byte size
// too, is refused by every reader in the words "mode <m> is not supported"
// before any of its sizes is checked.
//
// Headers may come from damaged or foreign files: every reader checks that the
// sizes are non-negative and that the data they describe fit in 64-bit offsets
// before it computes an offset, and that the file holds the bytes before it
// allocates a buffer sized by the header. A slice or box of zero voxels reads
// nothing and returns at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

struct MRC_HEAD {
    int32_t nx, ny, nz;                     // columns, rows, sections
    int32_t mode;                           // voxel data type
    int32_t nxstart, nystart, nzstart;      // first column, row, section
    int32_t mx, my, mz;                     // grid sampling
    float cella[3];                         // cell dimensions x, y, z
    float cellb[3];                         // cell angles alpha, beta, gamma
    int32_t mapc, mapr, maps;               // axis of columns, rows, sections
    float dmin, dmax, dmean;                // smallest, largest, mean voxel value
    int16_t ispg;                           // space group
    int16_t ispg_pad;                       // second 16-bit word, not interpreted
    int32_t nsymbt;                         // bytes of extended header after this one
    int16_t creatid;                        // creator tag
    char blank[30];
    char extra[68];                         // not interpreted
    float origin[3];
    char map[4];                            // "MAP "
    unsigned char machst[4];                // machine stamp
    float rms;                              // never computed
    int32_t nlabl;                          // labels in use
    char labels[10][80];
};

static_assert(sizeof(MRC_HEAD) == 1024, "MRC_HEAD must be 1024 bytes");
static_assert(offsetof(MRC_HEAD, mode) == 12, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, nxstart) == 16, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, mx) == 28, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, cella) == 40, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, cellb) == 52, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, mapc) == 64, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, dmin) == 76, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, dmax) == 80, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, dmean) == 84, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, ispg) == 88, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, ispg_pad) == 90, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, nsymbt) == 92, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, creatid) == 96, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, blank) == 98, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, extra) == 128, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, origin) == 196, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, map) == 208, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, machst) == 212, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, rms) == 216, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, nlabl) == 220, "MRC_HEAD layout");
static_assert(offsetof(MRC_HEAD, labels) == 224, "MRC_HEAD layout");

enum {
    MRC_MODE_BYTE = 0,
    MRC_MODE_SHORT = 1,
    MRC_MODE_FLOAT = 2,
    MRC_MODE_COMPLEX_SHORT = 3,
    MRC_MODE_COMPLEX_FLOAT = 4,
    MRC_MODE_USHORT = 6,
    MRC_MODE_RGB = 16,
};

// Byte offset of the voxel data: 1024 plus the extended header.
int64_t mrc_data_offset(const MRC_HEAD* h);
// Bytes per voxel of a mode, 0 for a mode without a size (16, unknown).
int mrc_mode_bytes(int mode);

// ---- header on an open stream ----
// Rewinds, reads the 1024 bytes and repairs the stamp; -1 after a warning, the
// record zeroed (no voxels, no valid stamp), when the file ends or cannot be
// read (a directory) before the header does.
int mrc_read_head(FILE* f, MRC_HEAD* h);
// Rewinds and writes the header as it is, nsymbt included, so a header read
// from a file and written back in place keeps the data where it says. Warns
// when the stamp is not valid.
int mrc_write_head(FILE* f, MRC_HEAD* h);
int mrc_set_head_stmp(MRC_HEAD* h);
int mrc_check_head(MRC_HEAD* h);
long get_file_size(FILE* f);
// 0 when the file holds exactly header, extended header and nx*ny*nz voxels
// (the size rule alone: a mode of a byte size passes whether a reader converts
// it or not); -1, the mode named as not supported, for a mode without a size.
int mrc_check_fsize(FILE* f, MRC_HEAD* h);
// nullptr for a header of a mode the readers convert; else the words every
// reader names it with, "mode <m> is not supported" (the calling thread's
// text, kept until its next call).
const char* mrc_mode_fault(const MRC_HEAD* h);

// ---- header records ----
int mrc_init_head(MRC_HEAD* h);
MRC_HEAD* mrc_new_head();
void mrc_delete_head(MRC_HEAD* h);
int mrc_set_head_xyz(MRC_HEAD* h, int nx, int ny, int nz);
int mrc_set_head_mode(MRC_HEAD* h, int mode);
int mrc_set_head_xyz_mode(MRC_HEAD* h, int nx, int ny, int nz, int mode);
int mrc_set_head_xyz_mmm(MRC_HEAD* h, int nx, int ny, int nz, float a, float b, float mean);
int mrc_set_head_xyz_mmmm(MRC_HEAD* h, int nx, int ny, int nz, float a, float b, float mean, int mode);
int mrc_set_head_mmm_from_data(MRC_HEAD* h, const float* data, size_t n);
// The pixel size apix (A) into a header whose sizes are set: the sampling
// (mx, my, mz) becomes the sizes and the cell edges the sizes x apix, so that
// readers of the file get its scale.
void mrc_set_head_apix(MRC_HEAD* h, float apix);
void get_mrc_head_xy(int& nx, int& ny, const MRC_HEAD* h);
void get_mrc_head_xyz(int& nx, int& ny, int& nz, const MRC_HEAD* h);
const char* mrc_get_head_mode(const MRC_HEAD* h);
int mrc_check_even_size(const MRC_HEAD* h);
bool is_mrc_square(const MRC_HEAD* h);
bool is_mrc_cube(const MRC_HEAD* h);

// ---- header by file name ----
// A file without a whole header gives the zeroed record of mrc_read_head and a
// warning naming it: mrcf_read_head returns -1, mrcf_get_head the zeroed
// header, get_mrcf_xy(z) sizes of 0, mrcf_get_head_mode "Unknown".
MRC_HEAD* mrcf_get_head(const char* name);
int mrcf_read_head(const char* name, MRC_HEAD* h);
void get_mrcf_xy(int& nx, int& ny, const char* name);
void get_mrcf_xyz(int& nx, int& ny, int& nz, const char* name);
// The size or product of sizes named by keyword; -1 with a warning when the
// header is short, a size it takes is negative or the product does not fit.
long mrcf_get_dim_size(const char* name, const char* keyword);
const char* mrcf_get_head_mode(const char* name);
// Writes h over the first 1024 bytes of an existing file, keeping the file's
// extended-header size (its data stay where they are).
int mrc_replace_head(const char* name, MRC_HEAD* h);
// A new file of the header alone; h->nsymbt is set to 0 (no extended header).
// -1, the file removed, when the header cannot be written.
int mrc_new_file(const char* name, MRC_HEAD* h);
// 0 for a whole header with a valid stamp.
int mrcf_check_head(const char* name);
// Recomputes dmin, dmax, dmean from the data; -1 (header untouched) for a mode
// that is not read, a file of no voxels or a file shorter than its header says.
int mrcf_update_head(const char* name);
// Open in, read its header, and only then create out. -1 after a warning,
// nothing created, the streams (and the headers of mrcf_io_init) null, when the
// input has no whole header or out is the input (mrcf_check_output_names).
int mrcf_io_init(const char* in, const char* out, FILE*& fin, FILE*& fout, MRC_HEAD*& hin, MRC_HEAD*& hout);
int mrcf_io_open_io_read_write_head(const char* in, const char* out, FILE*& fin, FILE*& fout, MRC_HEAD* hin,
                                    MRC_HEAD* hout);

// ---- outputs that would overwrite an input, outputs left unfinished ----
// Removes an output whose writing failed, when it is a regular file: a device
// or other special file named as output (/dev/full) is never removed.
void mrcf_remove_output(const char* name);
// The file a name denotes, also one still to be written, as a text that two
// names share exactly when they denote one file: an existing file by its device
// and inode; a name that does not exist yet by its folder's device and inode and
// its last component (a link that leads nowhere by the file it would create); a
// name in a folder that does not exist by the name itself.
std::string mrcf_file_id(const char* name);
// The folder entry a name is, links not followed: its folder's device and inode
// and its last component. Two names share it exactly when they are one name of
// one folder, however the folder is spelt.
std::string mrcf_entry_id(const char* name);
// True when a and b name one file: the same path, or the same file id (a link,
// another spelling of the path, also of a file still to be written).
bool mrcf_same_file(const char* a, const char* b);
// 0 when no output is an input and no two outputs name one file (mrcf_same_file;
// a null name is none); otherwise -1 after the warning "Output file <out> is the
// input file <in>! Nothing written." or "Output files <a> and <b> are one file!
// Nothing written." in the caller's name, for the first output found so. Each
// name's file id is taken once, so long lists cost one look-up per name. A
// command calls it before it opens any file.
int mrcf_check_outputs(const std::vector<const char*>& outputs, const std::vector<const char*>& inputs,
                       const char* func, const char* unit, int line);
// The names of a list built at run time, as the check takes them.
std::vector<const char*> mrcf_name_pointers(const std::vector<std::string>& names);
// The check of one output against the inputs.
int mrcf_check_output_names(const char* out, std::initializer_list<const char*> inputs, const char* func,
                            const char* unit, int line);
#define MRCF_CHECK_OUTPUT_NAMES(out, ...) mrcf_check_output_names((out), {__VA_ARGS__}, __func__, VORN_UNIT, __LINE__)
// Why the output cannot be written, "" when it can, found where the write lands
// (a link's last target) without creating or changing anything: something
// other than a regular file in its place ("a directory stands in its place", a
// named pipe, a device), an existing file that cannot be opened for writing (no
// permission, immutable or append-only, a read-only file system), or a folder
// that does not take a new file (missing, no permission).
std::string mrcf_output_unwritable(const char* name);
// The files of a batch run over a list of items (micrographs), taken as the
// files they denote (mrcf_file_id), before anything is written: the run's
// inputs, each described for messages, and its outputs, each belonging to the
// first item of the list that names it.
struct OutputClaim {
    int item;          // the item that named the file first
    std::string name;  // the name it gave
};
struct BatchFiles {
    std::map<std::string, std::string> inputs;       // file id: what the input is
    std::map<std::string, OutputClaim> outputs;      // file id: its first claim
    // Records an input; the first description of a file stays.
    void add_input(const char* name, const std::string& what);
    // What the input that name denotes is, or null when it denotes none.
    const std::string* input(const char* name) const;
    std::map<std::string, int> items;                // file id: the first item that is that file
    // Claims the output name for item: null when the file was claimed by none,
    // else the claim that holds it (an earlier item's, or the item's own: two
    // of its outputs are one file, under one name or two).
    const OutputClaim* claim(int item, const std::string& name);
    // The earlier item whose name denotes the file item's name does (a link, a
    // hard link, another spelling, the name itself), or -1 for the first.
    int repeats(int item, const char* name);
};

// ---- header comparison: nx, ny, nz and mode ----
int check_mrc_head_sizes_two_warning(const char* name1, const char* name2, const MRC_HEAD* h1, const MRC_HEAD* h2);
int check_mrc_head_sizes_two(const char* name1, const char* name2, const MRC_HEAD* h1, const MRC_HEAD* h2);
int vorn_check_mrc_head_sizes_two(const char* name1, const char* name2, const MRC_HEAD* h1, const MRC_HEAD* h2);

// ---- output names (out: 1024 bytes, cleared first; a name that does not fit is fatal) ----
int get_micrograph_suffixn(const char* name);
// The name less its ".mrc" or ".mrcs" (whole, without get_micrograph_suffixn's
// warning, for another suffix): the stem that a micrograph's outputs extend.
std::string mrcf_micrograph_stem(const char* name);
// Why an item whose longest output name has that many characters cannot be
// given its names, "" when they fit: a batch skips such an item, naming why.
std::string mrcf_names_fit_fault(size_t longest);
int mrcf_set_outname_by_suffix(char* out, const char* name, const char* suffix);
int mrcf_replace_file_suffix(char* out, const char* name, const char* suffix);
int mrcf_set_outname_by_insertion(char* out, const char* name, const char* insert);

// ---- data readers on an open stream (h holds the file's header) ----
// Each returns 0, or -1 with a warning when the mode is not read, the sizes are
// invalid, the file is shorter than the header says, the request lies outside
// the data or the slice axis is not x, y or z.
int mrc_read_all(FILE* f, MRC_HEAD* h, float* out);          // size check first: fatal on failure, a mode of no size named
int mrc_read_all_nocheck(FILE* f, MRC_HEAD* h, float* out);
// 0 when the file reaches the end of the voxels its header describes, of a mode
// the readers convert (it may be longer); -1 with the readers' warning otherwise.
// Commands that read a file image by image check it so before they write.
int mrc_check_data_in_file(FILE* f, MRC_HEAD* h);
// Why the header h of the open file f describes no image the readers can take,
// or nullptr when it does: a mode the readers convert, sizes all above 0 and
// every voxel within the file (it may be longer). Prints nothing, so that a
// caller that passes a file over names it and the reason in one warning.
const char* mrc_image_fault(FILE* f, const MRC_HEAD* h);
// The same for the named file, its header read into h (zeroed when the file
// cannot be opened or is shorter than a header, which are faults too).
const char* mrcf_image_fault(const char* name, MRC_HEAD* h);
// As mrc_read_all_nocheck, through a buffer of chunk_n values: each stretch read
// goes to take(first, values, n), first being its index in the data. For data
// that lands where fread cannot write (a device array) without a whole host copy.
int mrc_read_all_by_chunks(FILE* f, MRC_HEAD* h, float* chunk, size_t chunk_n,
                           const std::function<void(size_t first, const float* values, size_t n)>& take);
int mrc_read_slice(FILE* f, MRC_HEAD* h, int n, char axis, float* out);
int mrc_read_slice_double(FILE* f, MRC_HEAD* h, int n, char axis, double* out);  // checked as mrc_read_all
int mrc_read_slice_byte(FILE* f, MRC_HEAD* h, int n, char axis, unsigned char* out);  // checked as mrc_read_all
int mrc_read_pixel(float* out, FILE* f, MRC_HEAD* h, int x, int y, int z);
int mrc_read_sub_area(FILE* f, MRC_HEAD* h, float* out, int x0, int y0, int z0, int w, int hgt, int d);
int mrc_2d_read_sub_area(FILE* f, MRC_HEAD* h, float* out, int x0, int y0, int w, int hgt);
int mrc_2d_read_grids(FILE* f, MRC_HEAD* h, float* out, int box, int step);

// ---- writers and appenders on an open stream (mode-2 data) ----
// Return 0, or -1 with a warning when a write fails. The header-and-data writers
// set h->nsymbt to 0: their data follow the header directly.
int mrc_write_head_data(FILE* f, MRC_HEAD* h, const float* data);
int mrc_write_head_zdata(FILE* f, MRC_HEAD* h, const float* data);
int mrc_write_head_ddata(FILE* f, MRC_HEAD* h, const float* device_data);
int mrc_add_slice(FILE* f, MRC_HEAD* h, const float* data);
int mrc_add_sliceN(FILE* f, MRC_HEAD* h, const float* data, int n);
int mrc_add_slice_byte(FILE* f, MRC_HEAD* h, const unsigned char* data);
// Overwrites column x of every row; -1 (nothing written) for a file shorter
// than its header says.
int mrc_update_slcX(FILE* f, int x, const float* data);

// ---- readers by file name ----
float* mrcf_get_data_all(const char* name);                  // malloc'd; fatal on any failure
float* mrcf_get_zdata_all(const char* name);                 // managed memory; fatal on any failure
int mrcf_get_zdata_all2(float** out, const char* name);
float* mrcf_get_data_sliceN(const char* name, int n);        // malloc'd; NULL when it cannot be read
// The same into out, resized to the section (a buffer of its size is reused as
// it is, so a reader of many images of one size makes its memory once); -1.
int mrcf_read_sliceN(const char* name, int n, std::vector<float>& out);
int mrcf_read_all(const char* name, float* out);
int mrcf_get_head_data(const char* name, MRC_HEAD* h, float* out);
int mrcf_read_head_data_nocheck(const char* name, MRC_HEAD* h, float* out);
int mrcf_read_data_check_xy(const char* name, float* out, int nx, int ny);
int mrcf_read_data_check_xyz(const char* name, float* out, int nx, int ny, int nz);
int mrcf_read_head_data_check_xy(const char* name, MRC_HEAD* h, float* out, int nx, int ny);
int mrcf_read_head_data_check_xyz(const char* name, MRC_HEAD* h, float* out, int nx, int ny, int nz);
int mrcf_read_slice(const char* name, int n, char axis, float* out);
int mrcf_read_slice_check_xy_cid(const char* name, int n, char axis, float* out, int nx, int ny, short creatid);
int mrcf_read_sub_area(const char* name, float* out, int x0, int y0, int z0, int w, int hgt, int d);

// ---- writers by file name (fatal when the file cannot be written) ----
// A header the stream writer refuses (mode other than 2, negative sizes) ends
// the process before the file is created; a failed write removes the file.
int mrcf_write_xyz_data(const char* name, const float* data, int nx, int ny, int nz);
int mrcf_write_xyz_zdata(const char* name, const float* data, int nx, int ny, int nz);
int mrcf_write_xyz_ddata(const char* name, const float* device_data, int nx, int ny, int nz);
int mrcf_write_head_data(const char* name, MRC_HEAD* h, const float* data);
int mrcf_write_head_ddata(const char* name, MRC_HEAD* h, const float* device_data);
// Appends count sections to an existing mode-2 file of the same nx, ny.
int mrcf_add_xyz_data(const char* name, const float* data, int nx, int ny, int count);

// ---- particles cut by box file (src/mrcfile_ptcls.cu, on the 2D library) ----
// The boxes of boxf (at most 10240, all of the first box's size) cut from the
// first image of mic, box i into slot i; a box not inside the image is skipped
// with a warning and its slot is 0. Into the caller's array of capacity floats,
// or into a new stack file of w x h x n. A micrograph without a whole header,
// an image or the data of its first image, a box file that holds no box or
// cannot be read, boxes of no pixel or larger than the image, an array too
// short for n*w*h floats, or an output naming an input are refused with a
// warning (-1, nothing written) before anything is sized by them. Return 0.
int mrcf_2d_read_ptcls_to_data_from_boxf(float* out, size_t capacity, const char* mic, const char* boxf);
int mrcf_2d_read_ptcls_to_mrcf_from_boxf(const char* out, const char* mic, const char* boxf);
