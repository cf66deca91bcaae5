// The movie weighting driver: per-movie names and header, the dose, drift and
// CTF weight text inputs, their echoes, and one weighted image per particle.
#define VORN_UNIT "src/pre_shiny6"
#include "fft_plan.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "pre_shiny6.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "cuda_fft.h"
#include "process2d_core.h"
#include "txt_file.h"

// ---- echoes ----

void print_dose_drif_ctfw(const float* dose, const float2* drift, int n, const float* ctfw, int m) {
    for (int j = 0; j < n; ++j) std::printf("%8d dose %8.3f dftX %8.3f dftY %8.3f \n", j, dose[j], drift[j].x, drift[j].y);
    for (int i = 0; i < m; ++i) std::printf("CTFw %8d %8.3f \n", i, ctfw[i]);
}

void printf_psp(GPS_PARA p) {
    std::printf("Ne_a=%f Ne_b=%f Da=%f Db=%f k=%f mw_skeme=%d  wnorm_type=%d  device=%d \n", p.Ne_a, p.Ne_b, p.Da, p.Db,
                p.k, p.mw_skeme, p.wnorm_type, p.device);
}

// ---- text inputs ----

namespace {

const char* const WORD_SEPARATORS = " \t\n\r#:,;";

// A whole word as an int or a finite number; false for anything else.
bool whole_int(const char* w, int& v) {
    char* end;
    errno = 0;
    const long x = std::strtol(w, &end, 10);
    if (end == w || *end != '\0' || errno == ERANGE || x < INT_MIN || x > INT_MAX) return false;
    v = (int)x;
    return true;
}
bool whole_number(const char* w, float& v) {
    char* end;
    const double x = std::strtod(w, &end);
    if (end == w || *end != '\0' || !std::isfinite(x) || std::fabs(x) > 3.4e38) return false;
    v = (float)x;
    return true;
}

// One reader's rules: words per line, which of them are values, what a line
// without an entry index costs, and the reader's own warnings.
struct TextTable {
    int words;               // words read per line; fewer make a short line
    int first_value;         // 0-based word of the first value; the values run to the last word
    bool quiet_skips;        // short and index-less lines are passed over without a word (dose file comments)
    const char* short_text;  // warning for a short or index-less line (null: one naming file and line)
    const char* mismatch_text;
    const char* eof_text;
    bool echo;               // the drift reader echoes every indexed line
    bool refuse_incomplete;  // a short line of the entry due is refused, not passed over
};

const TextTable DOSE_TABLE = {4, 1, true, nullptr,
    "Can not get dose/drift parameters from log file. Check file format or parameters. Or have you modified the log "
    "file?!\n",
    "Can not get lines from dose/drift log file. Check file format or parameters. Or have you modified the log "
    "file?!\n",
    false, false};
const TextTable DRIFT_TABLE = {3, 1, false, nullptr,
    "Can not get drift parameters from log file. Check file format or parameters. Or have you modified the log "
    "file?\n!\n",
    "Can not get lines from drift log file. Check file format or parameters. Or have you modified the log file?\n!\n",
    true, true};
const TextTable CTFW_TABLE = {3, 2, false, "CTFw text line format error!!\n",
    "Can not get CTF_W parameters from log file. Check file format or parameters. Or have you modified the log "
    "file?!\n",
    "Can not get lines from CTF_W log file. Check file format or parameters. Or have you modified the log file?!\n",
    false, false};

FILE* open_or_die(const char* func, const char* name, const char* how) {
    FILE* f = std::fopen(name, how);
    if (f) return f;
    std::printf("Cannot open file %s. Permission denied or wrong file name.\n", name);
    vorn_fatal_line(func, VORN_UNIT, __LINE__, "open file '%s' failed.", name);
}

// A line that carries no entry, passed over: silently, with the reader's own
// warning, or with one naming the file and line.
void pass_over(const TextTable& tt, const char* func, const char* name, long number, const char* why) {
    if (tt.quiet_skips) return;
    if (tt.short_text) vorn_warning_line(func, VORN_UNIT, __LINE__, "%s\033[m", tt.short_text);
    else vorn_warning_line(func, VORN_UNIT, __LINE__, "line %ld of file %s %s, skipped!\n\033[m", number, name, why);
}

// The next whole line of the file; false, after the warning that says why, at
// its end or where it cannot be read (a read error, a directory).
bool next_table_line(const TextTable& tt, const char* func, const char* name, WholeLines& lines) {
    while (read_whole_line(lines)) {
        if (!lines.overlong) return true;
        vorn_warning_line(func, VORN_UNIT, __LINE__, "line %ld of file %s is longer than %zu bytes, line skipped!"
                          "\n\033[m", lines.number, name, VORN_WHOLE_LINE_MAX);
    }
    if (lines.failed)
        vorn_warning_line(func, VORN_UNIT, __LINE__, "file %s cannot be read after line %ld (a read error, or not a "
                          "file)!\n\033[m", name, lines.number);
    else
        vorn_warning_line(func, VORN_UNIT, __LINE__, "%s\033[m", tt.eof_text);
    return false;
}

// Reads entries 0 .. n-1, each of its values into v (entry i at i * count).
// Returns 0 with all n entries, -1 after a warning; entries holds how many of
// them the caller may keep: those before an index mismatch, the end of the file
// or a read error, none after a broken entry line. Lines are read whole,
// whatever their length.
int read_indexed_table(const TextTable& tt, const char* func, const char* name, int n, std::vector<float>& v,
                       int& entries) {
    const int count = tt.words - tt.first_value;
    v.assign((size_t)std::max(n, 0) * count, 0.0f);
    entries = 0;
    FILE* f = open_or_die(func, name, "r");
    WholeLines lines = whole_lines(f);
    std::string shown;
    char* words[4];
    int i = 0, status = n > 0 ? -1 : 0;
    while (i < n && next_table_line(tt, func, name, lines)) {
        shown.assign(lines.text, std::strcspn(lines.text, "\r\n"));
        const int got = strnsplit_inplace(lines.text, WORD_SEPARATORS, words, tt.words);
        int index;
        if (got == 0 || !whole_int(words[0], index)) {
            pass_over(tt, func, name, lines.number, got == 0 ? "is blank" : "has no entry index");
            continue;
        }
        if (tt.echo) std::printf("....i = %d, str_line_split[0]= %s  %s \n", i, words[0], shown.c_str());
        if (got < tt.words && index == i && tt.refuse_incomplete) {
            vorn_warning_line(func, VORN_UNIT, __LINE__, "entry %d on line %ld of file %s is incomplete: nothing "
                              "read!\n\033[m", i, lines.number, name);
            i = 0;
            break;
        }
        if (got < tt.words) {
            pass_over(tt, func, name, lines.number, "is too short");
            continue;
        }
        if (index != i) {
            vorn_warning_line(func, VORN_UNIT, __LINE__, "%s\033[m", tt.mismatch_text);
            break;
        }
        if (tt.echo) std::printf("..ffffff.. %d %s \n", i, shown.c_str());
        bool numbers = true;
        for (int k = 0; k < count && numbers; ++k) numbers = whole_number(words[tt.first_value + k], v[(size_t)i * count + k]);
        if (!numbers) {
            vorn_warning_line(func, VORN_UNIT, __LINE__, "entry %d on line %ld of file %s holds a word that is not a "
                              "number: nothing read!\n\033[m", i, lines.number, name);
            i = 0;
            break;
        }
        if (++i == n) status = 0;
    }
    free_whole_lines(lines);
    std::fclose(f);
    entries = i;
    return status;
}

void require_frames(const char* func, int n) {
    if (n < 3) vorn_fatal_line(func, VORN_UNIT, __LINE__, "Critical ERROR! Too few Movie frames!");
}

}  // namespace

int get_dose_smoothed_drift_from_txt(float* dose, float2* drift, int n, const char* name) {
    require_frames(__func__, n);
    std::vector<float> v;
    int entries;
    const int status = read_indexed_table(DOSE_TABLE, __func__, name, n, v, entries);
    for (int i = 0; i < entries; ++i) {
        dose[i] = v[3 * i];
        drift[i] = make_float2(v[3 * i + 1], v[3 * i + 2]);
    }
    return status;
}

int get_drift_from_txt(float2* drift, int n, const char* name) {
    require_frames(__func__, n);
    std::vector<float> v;
    int entries;
    const int status = read_indexed_table(DRIFT_TABLE, __func__, name, n, v, entries);
    for (int i = 0; i < entries; ++i) drift[i] = make_float2(v[2 * i], v[2 * i + 1]);
    return status;
}

int get_ctfw_from_txt(float* ctfw, int n, const char* name) {
    for (int i = 0; i < n; ++i) ctfw[i] = 0.0f;
    std::vector<float> v;
    int entries;
    const int status = read_indexed_table(CTFW_TABLE, __func__, name, n, v, entries);
    std::copy(v.begin(), v.begin() + entries, ctfw);
    return status;
}

// ---- per-movie parameters ----

int gwave_check_first_parameters(GWAVE_PARA& para, int) {
    if (para.movies == nullptr || para.movies[0] == nullptr) {
        VORN_WARNING("the movie list is empty!\n\033[m");
        return -1;
    }
    MRC_HEAD head{};
    if (mrcf_read_head(para.movies[0], &head) != 0) {
        VORN_WARNING("cannot read the header of movie %s!\n\033[m", para.movies[0]);
        return -1;
    }
    if (!is_mrc_square(&head)) VORN_FATAL("MRC file must be square! Clip your micrographs if they are not square.");
    return 0;
}

namespace {

// A name derived from the movie with a suffix the caller may leave out.
void derive_name(char* out, const char* movie, const char* suffix) {
    if (suffix) mrcf_set_outname_by_suffix(out, movie, suffix);
    else std::memset(out, 0, VORN_NAME_LEN);
}

bool movie_in_list(char** movies, int index) {
    if (movies == nullptr || index < 0) return false;
    for (int k = 0; k <= index; ++k)
        if (movies[k] == nullptr) return false;
    return true;
}

}  // namespace

int gwave_set_current_parameters(GWAVE_PARA& para, int index) {
    if (!movie_in_list(para.movies, index) || para.head == nullptr) {
        VORN_WARNING("movie %d is not in the list, or there is no header to read it into!\n\033[m", index);
        return -1;
    }
    para.movie = para.movies[index];
    if (mrcf_read_head(para.movie, para.head) != 0) {
        VORN_WARNING("cannot read the header of movie %s!\n\033[m", para.movie);
        return -1;
    }
    mrcf_set_outname_by_suffix(para.out_name, para.movie, "_wave.mrc");
    derive_name(para.name1, para.movie, para.suffix1);
    derive_name(para.name2, para.movie, para.suffix2);
    derive_name(para.name3, para.movie, para.suffix3);
    mrcf_set_outname_by_suffix(para.ptcl_name, para.movie, "_particles.mrcs");
    return 0;
}

// ---- the weighted sum of one particle's frames, movie after movie ----

namespace {

// The weights of every frame and, per element, the finished norm and the CTF
// weight: the same for all particles of a movie, so computed once.
__global__ void cuda_2ds_dose_wave_table(float* w, float2* norm_ctf, int nxh, int ny, int n, float pixel,
                                         const float* dose, const float2* drift, const float* ctfw, GPS_PARA p) {
    const uint2 t = IMAGE_THREAD_XY;
    const size_t nh = (size_t)nxh * ny;
    wave_frame_weights(
        t, nxh, ny, n, pixel, dose, drift, p, [&](int j, float wj, size_t i) { w[j * nh + i] = wj; },
        [&](size_t i, float N) { norm_ctf[i] = make_float2(N, ctf_radial_weight(ctfw, t.x, t.y, nxh, ny)); });
}

// out = (sum_j w_j F_j / r) / N times the CTF weight, for unscaled spectra F_j:
// the terms of cuda_2ds_fft_dose_dft_ctf_wave on spectra divided by r.
__global__ void cuda_2ds_dose_wave_apply(const float2* spectra, float2* out, const float* w, const float2* norm_ctf,
                                         int nxh, int ny, int n, float r) {
    size_t i;
    if (!pixel_inside(IMAGE_THREAD_XY, nxh, ny, i)) return;
    const size_t nh = (size_t)nxh * ny;
    float2 sum = make_float2(0.0f, 0.0f);
    for (int j = 0; j < n; ++j) {
        const float2 F = spectra[j * nh + i];
        sum.x += w[j * nh + i] * (F.x / r);
        sum.y += w[j * nh + i] * (F.y / r);
    }
    const float2 v = wave_normalise(sum, norm_ctf[i].x);
    out[i] = make_float2(v.x * norm_ctf[i].y, v.y * norm_ctf[i].y);
}

// Device buffers and plans of one movie's weighting, made once for all its
// particles: n frames of nx x ny in, one image out.
struct WaveRun {
    unsigned nx, ny, nxh;
    int n;
    size_t npix, nh;
    float scale;  // sqrt(nx ny): both transforms are normalised by it
    float *frames, *weights, *image;
    float2 *spectra, *norm_ctf, *sum;
    cufftHandle forward, inverse;
};

WaveRun wave_run_new(unsigned nx, unsigned ny, int n, float pixel, const float* dose, const float2* drift,
                     const float* ctfw, GPS_PARA p) {
    WaveRun r{nx, ny, nx / 2 + 1, n, image_pixels(nx, ny), image_pixels(nx / 2 + 1, ny),
              sqrtf((float)image_pixels(nx, ny)), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0};
    r.frames = device_buffer<float>(GPU_SITE, n * r.npix);
    r.spectra = device_buffer<float2>(GPU_SITE, n * r.nh);
    r.weights = device_buffer<float>(GPU_SITE, n * r.nh);
    r.norm_ctf = device_buffer<float2>(GPU_SITE, r.nh);
    r.sum = device_buffer<float2>(GPU_SITE, r.nh);
    r.image = device_buffer<float>(GPU_SITE, r.npix);
    float* d_dose = device_copy_of(GPU_SITE, dose, n);
    float2* d_drift = device_copy_of(GPU_SITE, drift, n);
    float* d_ctfw = device_copy_of(GPU_SITE, ctfw, r.nxh);
    gpu_launch_2d<cuda_2ds_dose_wave_table>(GPU_SITE, r.nxh, ny, r.weights, r.norm_ctf, (int)r.nxh, (int)ny, n, pixel,
                                            d_dose, d_drift, d_ctfw, p);
    cudaFree_many_pointers(d_dose, d_drift, d_ctfw, nullptr);
    int dims[2] = {(int)ny, (int)nx};
    CUFFT_CHECK(cufftPlanMany(&r.forward, 2, dims, nullptr, 1, 0, nullptr, 1, 0, CUFFT_R2C, n));
    r.inverse = fft_plan_2d(GPU_SITE, nx, ny, CUFFT_C2R);
    return r;
}

void wave_run_free(WaveRun& r) {
    CUFFT_CHECK(cufftDestroy(r.forward));
    CUFFT_CHECK(cufftDestroy(r.inverse));
    cudaFree_many_pointers(r.frames, r.spectra, r.weights, r.norm_ctf, r.sum, r.image, nullptr);
}

void wave_run_forward(WaveRun& r, const float* frames) {
    CUDA_CHECK(memcpy_H2D(r.frames, frames, r.n * r.npix * sizeof(float)));
    CUFFT_CHECK(cufftExecR2C(r.forward, r.frames, r.spectra));
    CUDA_CHECK(cudaDeviceSynchronize());
}
void wave_run_weight(WaveRun& r) {
    gpu_launch_2d<cuda_2ds_dose_wave_apply>(GPU_SITE, r.nxh, r.ny, r.spectra, r.sum, r.weights, r.norm_ctf, (int)r.nxh,
                                            (int)r.ny, r.n, r.scale);
}
void wave_run_inverse(WaveRun& r, float* out) {
    CUFFT_CHECK(cufftExecC2R(r.inverse, r.sum, r.image));
    CUDA_CHECK(cudaDeviceSynchronize());
    hcuda_2d_divide_inplace(r.image, r.nx, r.ny, r.scale);
    copy_to_host(GPU_SITE, out, r.image, r.npix);
}

// n host values; the library's fatal line rather than an exception when the
// memory cannot be had.
template <class T>
void resize_or_die(std::vector<T>& v, size_t n) {
    if (!try_resize(v, n)) VORN_FATAL("no memory for %zu values of %zu bytes", n, sizeof(T));
}

// The frames used and the inputs one particle's weighting reads.
struct WaveJob {
    unsigned nx, ny;
    int first, last, n;
    float pixel;
    const float* dose;    // from the first frame used on
    const float2* drift;
    const float* ctfw;
    GPS_PARA p;
};

// Modes 1 and 3: the frames through host spectra, weighted on the CPU or averaged.
void weight_on_host(const WaveJob& job, const float* frames, float* out, std::vector<float2>& spectra,
                    std::vector<float2>& one) {
    const unsigned nxh = job.nx / 2 + 1;
    if (job.p.device == 1) std::printf("\n");
    else std::printf("device %d first%d last %d\n", job.p.device, job.first, job.last);
    gpu_2ds_fft_r2c(frames, spectra.data(), job.nx, job.ny, job.n);
    if (job.p.device == 1) {
        std::printf("\n");
        cpu_2ds_fft_dose_dft_ctf_wave(spectra.data(), one.data(), nxh, job.ny, job.n, job.pixel, job.dose, job.drift,
                                      job.ctfw, job.p);
    } else {
        cpu_2ds_fftout_r2c_ave(spectra.data(), one.data(), nxh, job.ny, job.n);
    }
    gpu_2d_fft_c2r(one.data(), out, job.nx, job.ny);
}

// The frames used of particle p (images p t + first ...) from the open stack.
void read_particle_frames(FILE* f, MRC_HEAD* head, const char* name, const WaveJob& job, int p, int t, float* frames) {
    const size_t npix = image_pixels(job.nx, job.ny);
    for (int j = 0; j < job.n; ++j)
        if (mrc_read_slice(f, head, p * t + job.first + j, 'z', frames + j * npix) != 0)
            VORN_FATAL("cannot read frame %d of particle %d from %s", job.first + j, p, name);
}

// Every particle of the stack (P particles of t frames) into out, one image
// each. A particle's frames are read when it comes up: the stack need not fit
// in memory, and one buffer serves them all.
void weight_particles(const WaveJob& job, FILE* f, MRC_HEAD* head, const char* name, int t, int P, float* out) {
    const size_t npix = image_pixels(job.nx, job.ny), nh = image_pixels(job.nx / 2 + 1, job.ny);
    const bool on_gpu = job.p.device == 2;
    WaveRun run{};
    std::vector<float2> spectra, one;
    std::vector<float> frames;
    resize_or_die(frames, job.n * npix);
    if (on_gpu) run = wave_run_new(job.nx, job.ny, job.n, job.pixel, job.dose, job.drift, job.ctfw, job.p);
    else {
        resize_or_die(spectra, job.n * nh);
        resize_or_die(one, nh);
    }
    for (int p = 0; p < P; ++p) {
        read_particle_frames(f, head, name, job, p, t, frames.data());
        if (on_gpu) {
            std::printf("fft ... ");
            wave_run_forward(run, frames.data());
            std::printf(".");
            std::printf("weighting ...");
            print_wave_inputs(job.dose, job.drift, job.n, job.ctfw, job.nx / 2 + 1, job.ny, job.pixel, job.p);
            wave_run_weight(run);
            std::printf("invert fft ...");
            wave_run_inverse(run, out + p * npix);
        } else {
            weight_on_host(job, frames.data(), out + p * npix, spectra, one);
        }
        std::printf("Particle %d \n", p);
    }
    if (on_gpu) wave_run_free(run);
}

// The inputs a mode reads must be there.
bool has_mode_inputs(const GWAVE_PARA& para) {
    const int mode = para.gps.device;
    if (mode == 3) return true;
    return para.dose && para.drift && (mode != 2 || para.ctfw);
}

// Mode 4 writes its weight stack in the working directory under this name.
constexpr const char* WEIGHT_STACK_NAME = "Weights3D.mrcs";

// Mode 4: the weight stack of the frames used, zero frequency in the middle row.
void write_weight_stack(const WaveJob& job) {
    const int nxh = job.nx / 2 + 1;
    std::vector<float> w;
    resize_or_die(w, (size_t)job.n * nxh * job.ny);
    gpu_2ds_fft_dose_dft_wgen_swap(w.data(), nxh, job.ny, job.n, job.pixel, job.dose, job.drift, job.p);
    mrcf_write_xyz_data(WEIGHT_STACK_NAME, w.data(), nxh, job.ny, job.n);
}

// The files of the whole job: every movie of the list and its particle stack
// are read, every movie's output stack (in mode 4 the one weight stack) is
// written. The current movie takes its names from the record, which its caller
// may have set. A name listed twice is one movie, weighted again into the same
// output; two names of one file are two movies, whose outputs must differ.
struct JobFiles {
    std::vector<std::string> inputs, outputs;
};

JobFiles job_files(const GWAVE_PARA& para, int mode) {
    JobFiles job;
    std::unordered_set<std::string> movies;
    const auto add = [&](const char* movie) {
        if (movie == nullptr || !movies.insert(movie).second) return;
        job.inputs.push_back(movie);
        if (movie == para.movie) {
            job.inputs.push_back(para.ptcl_name);
            job.outputs.push_back(para.out_name);
            return;
        }
        char name[VORN_NAME_LEN];
        mrcf_set_outname_by_suffix(name, movie, "_particles.mrcs");
        job.inputs.push_back(name);
        mrcf_set_outname_by_suffix(name, movie, "_wave.mrc");
        job.outputs.push_back(name);
    };
    add(para.movie);
    for (char** m = para.movies; m != nullptr && *m != nullptr; ++m) add(*m);
    if (mode == 4) job.outputs = {WEIGHT_STACK_NAME};
    return job;
}

// No file the job writes is a movie or a particle stack of the job, by name or
// through a link (pipelines link their inputs), and no two movies' outputs are
// one file: otherwise a movie's output would replace an input (or an output)
// of a movie the job reaches later. Checked for the whole job at every movie,
// so a job that would do so is refused at its first, before anything is written.
bool outputs_spare_job(const GWAVE_PARA& para, int mode) {
    const JobFiles job = job_files(para, mode);
    return mrcf_check_outputs(mrcf_name_pointers(job.outputs), mrcf_name_pointers(job.inputs),
                              "mrcsf_dose_drift_ctf_wave_many", VORN_UNIT, __LINE__) == 0;
}

// The particle stack's header from its open file, checked before anything is
// sized by it: one that cannot be read, a size of 0 or below, or data that the
// file does not hold exactly refuse the stack with a warning.
bool read_particle_head(FILE* f, MRC_HEAD* head, const char* name) {
    if (mrc_read_head(f, head) != 0) {
        VORN_WARNING("particle stack %s has no header to read!\n\033[m", name);
        return false;
    }
    if (const char* fault = mrc_mode_fault(head)) {
        VORN_WARNING("particle stack %s cannot be read: %s!\n\033[m", name, fault);
        return false;
    }
    if (head->nx <= 0 || head->ny <= 0 || head->nz <= 0) {
        VORN_WARNING("particle stack %s has sizes %d x %d x %d: no particle image to weight!\n\033[m", name, head->nx,
                     head->ny, head->nz);
        return false;
    }
    if (mrc_check_fsize(f, head) != 0) {
        VORN_WARNING("particle stack %s does not hold the data its header describes!\n\033[m", name);
        return false;
    }
    return true;
}

}  // namespace

int mrcsf_dose_drift_ctf_wave_many(GWAVE_PARA& para, int) {
    const int mode = para.gps.device;
    if (mode < 1 || mode > 4) {
        VORN_WARNING("run mode (device) %d is none of 1-4: nothing to compute!\n\033[m", mode);
        return -1;
    }
    if (para.head == nullptr || !has_mode_inputs(para)) {
        VORN_WARNING("no current movie, or no dose, drift or CTF weights for run mode %d!\n\033[m", mode);
        return -1;
    }
    if (!outputs_spare_job(para, mode)) return -1;
    // Every mode is sized by the stack's header: it is checked first, in all of them.
    FILE* f = open_or_die(__func__, para.ptcl_name, "rb");
    MRC_HEAD head{};
    if (!read_particle_head(f, &head, para.ptcl_name)) {
        std::fclose(f);
        return -1;
    }
    const int t = para.head->nz;
    if (t <= 0) VORN_FATAL("Movie %s has %d frames: no particle movie can be cut from %s", para.movie, t, para.ptcl_name);
    if (head.nz % t != 0) VORN_FATAL("Movie frame number not divided by ! ");
    const int P = head.nz / t;
    WaveJob job{(unsigned)head.nx, (unsigned)head.ny, std::max(para.first, 0), para.last >= t ? t - 1 : para.last,
                0, para.apix, nullptr, nullptr, para.ctfw, para.gps};
    if (job.last < job.first) {
        VORN_WARNING("last frame %d lies before first frame %d: no frame to use!\n\033[m", job.last, job.first);
        std::fclose(f);
        return -1;
    }
    job.n = job.last - job.first + 1;
    if (para.dose) job.dose = para.dose + job.first;
    if (para.drift) job.drift = para.drift + job.first;
    if (mode == 4) {
        std::fclose(f);
        write_weight_stack(job);
        return 0;
    }
    std::vector<float> out;
    resize_or_die(out, image_pixels(job.nx, job.ny) * P);
    weight_particles(job, f, &head, para.ptcl_name, t, P, out.data());
    std::fclose(f);
    head.nz = P;
    head.mode = MRC_MODE_FLOAT;
    mrcf_write_head_data(para.out_name, &head, out.data());
    return 0;
}
