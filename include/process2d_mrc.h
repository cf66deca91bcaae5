// Whole-file commands on MRC images and stacks: each reads its inputs by name,
// runs one operation of the 2D library, writes the result as a new mode-2 MRC
// file and returns 0. Images of any mode are read as floats.
//
// Files that cannot be opened end the process: "Cannot open file %s.
// Permission denied or wrong file name.\n" (input) or "Cannot write to file
// %s. Permission denied or no space left!\n" (output), then the fatal line
// "open file '%s' failed." (the rotation commands print their own "Cannot open
// file strike any key exit!" lines). Inputs and arguments no result can come
// from are refused with a warning: the command writes nothing and returns -1.
// So are an output that names an input (the same path, or the same file
// through a link), two outputs of one command that name one file (the warning
// names both), an input without a whole MRC header, or without the data a
// command reads (the commands on open files check all the data the header
// describes; the whole-file reads keep their fatal size check), a file of no
// image (nz 0 among them: no command writes an empty output for it), data of a
// mode the readers do not convert ("<name> cannot be read: mode 12 is not
// supported."; the whole-file reads end the process with those words instead),
// both tested before any size, sizes or counts below 1 or whose product (or an
// output size) does not fit, a shrink factor or scale below one output pixel,
// a box file that holds no box or cannot be read, boxes larger than the image
// or that do not fit the stack's images. Inputs are read and checked before an
// output is opened; an output a command abandons on a failed read or write is
// removed before the fatal line.
// In the commands with a device argument, 999 selects the host path; any
// other index is checked and made the current device (check_gid).
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "boxfile.h"
#include "gpu.h"
#include "sym.h"

// ---- the frame the commands share ----
struct HostFree {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using host_array = std::unique_ptr<T[], HostFree>;
struct MRC_HEAD;
using head_ptr = std::unique_ptr<MRC_HEAD, HostFree>;

// Opened, or the process ends with the lines above in the caller's name.
FILE* mrc_cmd_open_read(const char* name, const char* how, const char* func, int line);
FILE* mrc_cmd_open_write(const char* name, const char* how, const char* func, int line);
#define MRC_CMD_OPEN_READ(name, how) mrc_cmd_open_read((name), (how), __func__, __LINE__)
#define MRC_CMD_OPEN_WRITE(name, how) mrc_cmd_open_write((name), (how), __func__, __LINE__)
// Opened, or the process ends with the terse "strike any key exit!" line of the
// reversal and flip commands.
FILE* mrc_cmd_open_or_strike(const char* name, const char* how);
// An input read image by image: opened for reading (a failure ends the process
// with the line strike when one is given), its header into h; null, after a
// refusal and with the file closed, when the header is short, the mode is not
// read, the file holds less data than the header describes, or it holds no
// image: no section, or sections of no pixel (whose count the file's size would
// not bound).
FILE* mrc_cmd_open_input(const char* name, MRC_HEAD& h, const char* strike, const char* func, int line);
#define MRC_CMD_OPEN_INPUT(name, h, strike) mrc_cmd_open_input((name), (h), (strike), __func__, __LINE__)
// The refusal "<name> cannot be read: mode 12 is not supported." when the
// readers do not convert h's mode, else "<name> holds no image." when a size of
// h is below 1; else 0. The second form is for a file then read whole: there
// the mode ends the process in those words, as the whole-file reader would.
int mrc_cmd_has_image(const MRC_HEAD& h, const char* name, const char* func, int line);
int mrc_cmd_has_whole_image(const MRC_HEAD& h, const char* name, const char* func, int line);
#define MRC_CMD_HAS_IMAGE(h, name) mrc_cmd_has_image((h), (name), __func__, __LINE__)
#define MRC_CMD_HAS_WHOLE_IMAGE(h, name) mrc_cmd_has_whole_image((h), (name), __func__, __LINE__)
// Header and every value of a file (mrc_cmd_has_whole_image, then the fatal
// size check of the whole-file reader), null after a refusal when the header is
// short or holds no image; the header alone, null after a refusal when it is short.
host_array<float> mrc_cmd_read_all(const char* name, head_ptr& head, const char* func, int line);
head_ptr mrc_cmd_read_head(const char* name, const char* func, int line);
#define MRC_CMD_READ_ALL(name, head) mrc_cmd_read_all((name), (head), __func__, __LINE__)
#define MRC_CMD_READ_HEAD(name) mrc_cmd_read_head((name), __func__, __LINE__)
// The first image of a file, or null after a refusal when the file has no
// whole header, holds no image or its first image cannot be read.
host_array<float> mrc_cmd_read_first(const char* name, head_ptr& head, const char* func, int line);
#define MRC_CMD_READ_FIRST(name, head) mrc_cmd_read_first((name), (head), __func__, __LINE__)
// -1 after the warning line in the caller's name: the command's refusal.
int mrc_cmd_refuse(const char* func, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
#define MRC_CMD_REFUSE(...) mrc_cmd_refuse(__func__, __LINE__, __VA_ARGS__)
// 0 with n their product when every size is 1 or more and at most INT_MAX (an
// MRC size) and n floats can be addressed, all in 64 bits; else the refusal.
int mrc_cmd_sizes(std::initializer_list<int64_t> sizes, size_t& n, const char* func, int line);
#define MRC_CMD_SIZES(n, ...) mrc_cmd_sizes({__VA_ARGS__}, (n), __func__, __LINE__)
// n floats set to 0, or the fatal line "Not enough memory for %zu floats" in the
// caller's name: a failed allocation never escapes as an exception.
std::vector<float> mrc_cmd_floats(size_t n, const char* func, int line);
#define MRC_CMD_FLOATS(n) mrc_cmd_floats((n), __func__, __LINE__)
// Closes and removes an output the command cannot finish, then the fatal line
// "<action> file '<file>' failed." (a read of an input, a write of the output).
[[noreturn]] void mrc_cmd_abandon(FILE* out, const char* out_name, const char* action, const char* file,
                                  const char* func, int line);
#define MRC_CMD_ABANDON(out, out_name, action, file) mrc_cmd_abandon((out), (out_name), (action), (file), __func__, __LINE__)
// Closes a finished output; when the close fails, or written is false (a write
// failed), the output is removed and the process ends with the fatal line.
void mrc_cmd_close_output(FILE* out, const char* name, bool written, const char* func, int line);
#define MRC_CMD_CLOSE_OUTPUT(out, name, written) mrc_cmd_close_output((out), (name), (written), __func__, __LINE__)
// The boxes of a box file (capacity at most, each preset to 256 x 256 at the
// origin before reading), their number in n; null after a refusal when it
// holds none or cannot be read.
host_array<PTCL_BOX> mrc_cmd_read_boxes(const char* name, int capacity, int& n, const char* func, int line);
#define MRC_CMD_READ_BOXES(name, capacity, n) mrc_cmd_read_boxes((name), (capacity), (n), __func__, __LINE__)
// The names "<prefix><i as %06d>.mrc" of sections 0 ... n-1 of in, one file
// each, checked against in and each other (a link among them) before any is
// written; -1 after the refusal. A name of 1024 characters or more is fatal.
int mrc_cmd_section_names(const char* in, const char* prefix, int n, std::vector<std::string>& names,
                          const char* func, int line);
#define MRC_CMD_SECTION_NAMES(in, prefix, n, names) mrc_cmd_section_names((in), (prefix), (n), (names), __func__, __LINE__)
// The refusal of boxes of w x h that hold no pixel or are larger than the
// nx x ny image they are cut from (none could lie in it); else 0.
int mrc_cmd_box_size(int w, int h, int nx, int ny, const char* func, int line);
#define MRC_CMD_BOX_SIZE(w, h, nx, ny) mrc_cmd_box_size((w), (h), (nx), (ny), __func__, __LINE__)

// ---- geometry ----
int mrcf_cuda_2d_rotate(const char* in, const char* out, float angle);
int mrcf_zgpu_2d_rotate(const char* in, const char* out, float angle);
int mrcf_cuda_2d_translate_rotate(const char* in, const char* out, float dx, float dy, float angle);
int mrcf_zgpu_2d_translate_rotate(const char* in, const char* out, float dx, float dy, float angle);
// Mode -1 uses m as the map from output to source pixels, any other its inverse.
int mrcf_cuda_2d_transform(const char* in, const char* out, RT_Mat2D m, int mode);
int mrcf_cuda_2d_swap_xy(const char* in, const char* out);
int mrcf_gpu_2d_shrink(const char* in, const char* out, int f);
int mrcf_cuda_2ds_scale(const char* in, const char* out, float s);
int mrcf_cuda_2ds_swap_xy(const char* in, const char* out);
// Modes 0-3 keep nx x ny, 4-6 write ny x nx; mode 7 copies at nx x ny. Any
// other mode ends the process before the data are read.
int mrcf_cuda_2ds_flip(const char* in, const char* out, int mode);

// ---- particles ----
// Each stack image pasted at its box into the micrograph, written to the
// micrograph's name with "_prp.mrc".
int mrcf_x2d_cp_ptcls_to_micrograph(const char* mic, const char* stack, const char* boxf);
int mrcf_x2d_norm_cp_ptcls_to_micrograph(const char* mic, const char* stack, const char* ref, const char* boxf);
// Particles of a micrograph (nz 1) or movie (nz >= 2) cut at the boxes
// (resized, centres kept, when size != 0; negated when invert != 0): a new host
// array of n*nz*w*h floats (caller frees), null after a refusal. The
// shape, when asked for: n boxes, w x h, nz frames.
struct PtclStackShape {
    int n, w, h, nz;
};
float* mrcf_get_data_ptcls(const char* mic, const char* boxf, int size, int invert, PtclStackShape* shape = nullptr);
// The same written to the micrograph's name with "_particles.mrcs".
int mrcf_2d_extract_ptcls_from_micrograph(const char* mic, const char* boxf, int size, int invert);

// ---- spectra, shifts, averages and local statistics ----
int mrcf_x2d_ccf(const char* in1, const char* in2, const char* out);
int mrcf_2d_fourier_shift(const char* in, const char* out, float sx, float sy);
// Image i shifted by shifts[i]; count < 1 means every image. The average goes
// to ave unless that name is empty, "NULL" or "NONE"; the stack to out when write != 0.
int mrcf_2ds_fourier_shift(const char* in, const char* out, const char* ave, const float2* shifts, int count,
                           int write);
int mrcf_2ds_average(const char* in, const char* out);
int mrcf_2d_lave(const char* in, const char* out, float r, float w);
int mrcf_2d_lsigma(const char* in, const char* out, float r, float w);
// The library's shrunk local statistics are not built: these write the
// unshrunk local average and deviation of the image (f is not used).
int mrcf_2d_shrink_lave(const char* in, const char* out, int f, float r, float w);
int mrcf_2d_shrink_lsigma(const char* in, const char* out, int f, float r, float w);
int mrcf_2d_fft_r2c_mod(const char* in, const char* out);
// Switches: per-frame spectra to out, the average to "<in>_ave.mrc", ln(1 +
// average) to "<in>_ave_ln1p.mrc".
struct control3 {
    int frames, average, log_average;
};
int mrcf_2ds_fft_r2c_proc(const char* in, const char* out, char mode, control3 c);
int mrcf_2ds_fft_r2c_logmod_subbg(const char* out, const char* in, int option);
int mrcf_2ds_simulate_frame_split(const char* out, const char* in, int k);
// Type 0 scale by the masked deviation, 1 also less the masked mean, 2 and 3
// the same times the mask; any other type ends the process ("Unknown mode!").
int mrcf_znorm_within_mask(const char* out, const char* in, const char* mask, int type);
// The mean of names[1] ... names[count] (names[0] is not used).
int mrcf_average_all(const char* out, char** names, int count);

// ---- masks, templates, measures ----
int mrcf_mask2d_create(const char* out, int nx, int ny, float cx, float cy, float r, float w);
// Type 1 host, 2 GPU; any other type writes zeros.
int mrcf_2d_auto_template_gauss(const char* out, int nx, int ny, float cx, float cy, float r, float w, int type);
int mrcf_2d_auto_template_gauss_cylinder(const char* out, int n, int rows, float c, float r, float w, int type);
// Centre of mass of the first image, in double.
float2 mrcf_2d_cpu_get_mass_center(const char* in);
// Correlation coefficient of the first images within both masks, or plain
// when a mask name is empty, "NULL" or "NONE".
float mrcf_x2d_ccc_with2maskfs(const char* img1, const char* mask1, const char* img2, const char* mask2);
int mrcf_2d_project_local_rect(const char* out, const char* in, int n, int m, float angle, float cx, float cy,
                               int direction, int device);
// Operator mode 1 takes the operators as read, -1 their inverses; any other is refused.
int mrcf_2d_ncs_average(const char* out, float cx, float cy, const char* image, const char* mask, const char* ops,
                        int op_mode, int device);
int mrcf_2d_ncs_cccs(const char* ref, float cx, float cy, const char* image, const char* mask, const char* ops,
                     int op_mode, int device);
// Does nothing; returns 0.
int mrcf_2ds_apply_mask(const char* in, const char* mask, const char* out);
