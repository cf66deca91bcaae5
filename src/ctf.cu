// The estimator's lifecycle: preparation of a run (options, the first
// micrograph, buffers sized once from it), the run loop over the micrographs
// with its stage timings, the preparation and closing of each micrograph, and
// the release at the end.
#define VORN_UNIT "src/ctf"
#include "ctf.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "cuda_general.h"
#include "gpu_buffers.h"
#include "str_utils.h"
#include "txt_file.h"

namespace {

// Red, bold, blinking warning for micrographs passed over at the start.
void red_warning(const char* func, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void red_warning(const char* func, int line, const char* fmt, ...) {
    std::printf("\033[41m\033[1m\033[5mWarning in function %s(), file %s on line %d: ", func, VORN_UNIT, line);
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::printf("\033[m\n\n");
}
#define RED_WARNING(...) red_warning(__func__, __LINE__, __VA_ARGS__)

// A header the run can be sized from and whose data can be read: positive
// sizes, a mode the readers convert, and all voxels inside the file. Garbage or
// a foreign byte order shows here as absurd sizes, before anything is allocated.
bool mic_head_usable(const char* name, FILE* f, const MRC_HEAD* h) {
    const int bytes = (h->mode == 0 || h->mode == 1 || h->mode == 2 || h->mode == 6) ? mrc_mode_bytes(h->mode) : 0;
    int64_t n = 0;
    bool ok = h->nx > 0 && h->ny > 0 && h->nz > 0 && bytes > 0 &&
              !__builtin_mul_overflow((int64_t)h->nx, (int64_t)h->ny, &n) &&
              !__builtin_mul_overflow(n, (int64_t)h->nz, &n) && !__builtin_mul_overflow(n, (int64_t)bytes, &n) &&
              !__builtin_add_overflow(n, mrc_data_offset(h), &n);
    const long size = get_file_size(f);
    ok = ok && size >= 0 && n <= (int64_t)size;
    if (!ok)
        VORN_WARNING("the micrograph %s is not a readable MRC image (%d x %d x %d, mode %d, file of %ld bytes)!\n\033[m",
                     name, h->nx, h->ny, h->nz, h->mode, size);
    return ok;
}

// The file behind a name, when it exists.
bool file_id(const char* name, std::pair<dev_t, ino_t>& id) {
    struct stat st;
    if (stat(name, &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

}  // namespace

void vorn_cannot_open(const char* func, int line, const char* name) {
    std::printf("Cannot open file %s. Permission denied or wrong file name.\n", name);
    vorn_fatal_line(func, VORN_UNIT, line, "open file '%s' failed.", name);
}

void vorn_cannot_write(const char* func, int line, const char* name) {
    std::printf("Cannot write to file %s. Permission denied or no space left!\n", name);
    vorn_fatal_line(func, VORN_UNIT, line, "open file '%s' failed.", name);
}

double wall_seconds() {
    timeval t;
    gettimeofday(&t, nullptr);
    return (double)t.tv_sec + 1e-6 * (double)t.tv_usec;
}

void vorn_put_time(const char* label, double t0) {
    std::printf(">>>>>>TIME<<<<<<%64s: %fs\n", label, wall_seconds() - t0);
}

// ================= the object =================

VORN_A::VORN_A() {
    const PUVA start = {0.0f, 20000.0f, 20000.0f, 0.0f};
    for (PUVA& s : puva_st) s = start;
    puva_err = puva_init = puva_cur = start;
    local_puva_err = local_puva_init = local_puva_cur = start;
}

VORN_A::~VORN_A() {
    vorn_join_reader();
    vorn_free_ctf_data();
    close_mic_files();
    vorn_close_sumlog();
    mrc_delete_head(head_cur);
    mrc_delete_head(head_frame);
    mrc_delete_head(head_first);
    if (para == nullptr) return;
    // Names of the input CTF STAR file are this record's; command-line names belong to argv.
    for (int k = para->cmd_count; k < para->mic_count; ++k) std::free(para->mic_names[k]);
    std::free(para->mic_names);
    std::free(para->ctf_init);
    std::free(para->ctfstar);
    std::free(para->logsuffix);
    std::free(para->boxsuffix);
    std::free(para->input_ctfstar);
    std::free(para->first_mic);
    delete para;
}

void VORN_A::close_mic_files() {
    if (mic_file != nullptr) std::fclose(mic_file);
    if (log_file != nullptr) std::fclose(log_file);
    mic_file = log_file = nullptr;
}

// ================= preparation =================

int VORN_A::vorn_check_access_openf_1st() {
    VORN_Para& p = *para;
    if (head_cur == nullptr) head_cur = mrc_new_head();
    if (head_first == nullptr) head_first = mrc_new_head();
    if (head_frame == nullptr) head_frame = mrc_new_head();
    for (int k = 0; k < p.mic_count; ++k) {
        char* name = p.mic_names[k];
        if (access(name, F_OK) != 0) {
            RED_WARNING("the micrograph %s does NOT exist! Automatically ignored!", name);
            continue;
        }
        if (access(name, R_OK) != 0) {
            RED_WARNING("the micrograph %s are NOT readable! Automatically ignored!", name);
            continue;
        }
        std::printf("Opening %s for initial test and preparation .......\n", name);
        mic_file = std::fopen(name, "rb");
        if (mic_file == nullptr) vorn_cannot_open(__func__, __LINE__, name);
        mrc_read_head(mic_file, head_cur);
        const bool usable = mic_head_usable(name, mic_file, head_cur);
        std::fclose(mic_file);
        mic_file = nullptr;
        if (!usable) continue;  // passed over; the loop skips it in its turn
        strlcpy(p.first_mic, name);
        *head_first = *head_cur;
        *head_frame = *head_cur;
        head_frame->nz = 1;
        return 0;
    }
    VORN_FATAL("none of the %d micrographs can be read", p.mic_count);
}

int VORN_A::vorn_test_set_io_info() {
    mic_name = para->mic_names[0];
    vorn_check_access_openf_1st();
    return 0;
}

void VORN_A::vorn_set_output_names(const char* name, char* log, char* ctf, char* pow, char* epa) {
    mrcf_set_outname_by_suffix(log, name, para->logsuffix);
    mrcf_set_outname_by_suffix(ctf, name, ".ctf");
    mrcf_set_outname_by_suffix(pow, name, ".pow");
    mrcf_set_outname_by_suffix(epa, name, ".epa");
}

int VORN_A::vorn_check_outputs_spare_inputs() {
    const VORN_Para& p = *para;
    std::set<std::string> input_names;
    std::set<std::pair<dev_t, ino_t>> input_files;
    auto add_input = [&](const char* name) {
        input_names.insert(name);
        std::pair<dev_t, ino_t> id;
        if (file_id(name, id)) input_files.insert(id);
    };
    for (int k = 0; k < p.mic_count; ++k) add_input(p.mic_names[k]);
    if (p.input_ctfstar_set) add_input(p.input_ctfstar);
    auto is_input = [&](const char* name) {
        std::pair<dev_t, ino_t> id;
        return input_names.count(name) != 0 || (file_id(name, id) && input_files.count(id) != 0);
    };
    if (!is_str_null(p.ctfstar) && is_input(p.ctfstar))
        VORN_FATAL("the CTF STAR summary %s is an input file; it would be overwritten", p.ctfstar);
    char names[4][VORN_NAME_LEN];
    for (int k = 0; k < p.mic_count; ++k) {
        vorn_set_output_names(p.mic_names[k], names[0], names[1], names[2], names[3]);
        for (const char* out : names)
            if (is_input(out))
                VORN_FATAL("the output %s of micrograph %s is an input file; it would be overwritten", out,
                           p.mic_names[k]);
    }
    return 0;
}

int VORN_A::vorn_preparation(int argc, char** argv) {
    vorn_init_parameters(argc, argv);
    vorn_get_parameters(argc, argv);
    vorn_check_outputs_spare_inputs();
    vorn_test_set_io_info();
    if (para->pre_read) vorn_data_queue_init(5);
    vorn_allocate_ctf_data();
    if (para->do_local_refine) vorn_allocate_ctf_data_local();
    vorn_put_parameters(argc, argv);
    vorn_open_sumlog();
    return 0;
}

// ================= buffers of the run =================

int VORN_A::vorn_set_sizes() {
    VORN_Para& p = *para;
    vorn_check_boxsizes();
    const int nx = head_first->nx, ny = head_first->ny, nz = head_first->nz;
    const int step = (int)((double)p.boxsize * (1.0 - (double)p.overlap));
    p.tile_step = step > 0 ? step : 1;
    box_nx = box_ny = p.boxsize;
    box_nxh = p.boxsize / 2 + 1;
    n_def = vorn_defocus_count(p);
    mic_n = (size_t)nx * (size_t)ny;
    mic_n_all = mic_n * (size_t)nz;
    tiles_x = (nx - p.boxsize) / p.tile_step + 1;
    tiles_y = (ny - p.boxsize) / p.tile_step + 1;
    n_tiles = tiles_x * tiles_y;
    box_n = p.boxsize * p.boxsize;
    boxh_n = p.boxsize * box_nxh;
    return 0;
}

int VORN_A::vorn_allocate_ctf_data() {
    vorn_set_sizes();
    const int nz = head_first->nz;

    ctf_name = host_array<char>(VORN_NAME_LEN);
    pow_name = host_array<char>(VORN_NAME_LEN);
    epa_name = host_array<char>(VORN_NAME_LEN);
    aux_name = host_array<char>(VORN_NAME_LEN);
    log_name = host_array<char>(VORN_NAME_LEN);
    if (nz > 1) mic_data = host_array<float>(mic_n_all);
    else h_read_chunk = host_array<float>(std::min(VORN_READ_CHUNK, mic_n));
    h_spec = host_array<float>((size_t)boxh_n);
    h_logamp_full = host_array<float>((size_t)box_n);
    h_profile = host_array<float>((size_t)box_nxh);
    h_defs = host_array<float>((size_t)n_def);
    h_scores = host_array<float>((size_t)n_def);

    d_mic = device_buffer<float>(GPU_SITE, mic_n);
    // Only a stack passes its frames through a frame buffer.
    if (nz > 1) {
        d_frame = device_buffer<float>(GPU_SITE, mic_n);
        d_frame_amp = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    }
    d_amp = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    d_logamp = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    d_spec = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    d_spec2 = device_buffer<float>(GPU_SITE, (size_t)boxh_n);
    d_logamp_full = device_buffer<float>(GPU_SITE, (size_t)box_n);
    d_spec_full = device_buffer<float>(GPU_SITE, (size_t)box_n);
    d_full_tmp = device_buffer<float>(GPU_SITE, (size_t)box_n);
    d_profile = device_buffer<float>(GPU_SITE, (size_t)box_nxh);
    d_sim1d = device_buffer<float>(GPU_SITE, (size_t)box_nxh * (size_t)n_def);
    d_defs = device_buffer<float>(GPU_SITE, (size_t)n_def);
    d_scores = device_buffer<float>(GPU_SITE, (size_t)n_def);
    vorn_allocate_epa_data();
    vorn_allocate_ctf_data_out();
    return 0;
}

int VORN_A::vorn_free_ctf_data() {
    for (char** name : {&ctf_name, &pow_name, &epa_name, &aux_name, &log_name}) free_host(*name);
    for (float** a : {&mic_data, &h_read_chunk, &h_spec, &h_logamp_full, &h_profile, &h_defs, &h_scores})
        free_host(*a);
    for (float** d : {&d_mic, &d_frame, &d_frame_amp, &d_amp, &d_logamp, &d_spec, &d_spec2, &d_logamp_full,
                      &d_spec_full, &d_full_tmp, &d_profile, &d_sim1d, &d_defs, &d_scores})
        free_device(*d);
    vorn_free_epa_data();
    vorn_free_ctf_data_out();
    vorn_free_ctf_data_local();
    vorn_free_refine_data();
    return 0;
}

// ================= one micrograph =================

int VORN_A::vorn_is_file_ctf_done(char* name) {
    if (access(name, F_OK) != 0) return 0;
    FILE* f = std::fopen(name, "r");
    if (f == nullptr) vorn_cannot_open(__func__, __LINE__, name);
    const bool done = FILE_find_str_line(f, "Processing done successfully") >= 0;
    std::fclose(f);
    return done ? 1 : 0;
}

int VORN_A::vorn_prep_one_mic() {
    const VORN_Para& p = *para;
    mic_name = p.mic_names[mic_index];
    dp_taken = 0;
    if (check_file_access(mic_name, "FR") != 0) return -1;
    vorn_set_output_names(mic_name, log_name, ctf_name, pow_name, epa_name);
    if (p.do_unfinished && vorn_is_file_ctf_done(log_name)) {
        std::printf("CTF parameter of \033[42m%s\033[m already determined. Automatically skipped.\n", mic_name);
        return -1;
    }
    // The micrograph is looked at before its log is opened, so that an old log
    // survives a micrograph that is passed over.
    mic_file = std::fopen(mic_name, "rb");
    if (mic_file == nullptr) vorn_cannot_open(__func__, __LINE__, mic_name);
    mrc_read_head(mic_file, head_cur);
    if (!mic_head_usable(mic_name, mic_file, head_cur)) {
        close_mic_files();
        return -1;
    }
    check_mrc_head_sizes_two(mic_name, p.first_mic, head_cur, head_first);
    log_file = std::fopen(log_name, "w+");
    if (log_file == nullptr) vorn_cannot_write(__func__, __LINE__, log_name);
    vorn_fput_parameters_ctffind3_like();

    const double t0 = wall_seconds();
    std::fprintf(log_file, "Reading file: %s\n", mic_name);
    std::printf("Reading file: %s\n", mic_name);
    if (p.pre_read) {
        if (vorn_take_mic_data_from_queue() != 0) {
            close_mic_files();
            return -1;
        }
    } else if (vorn_read_mic_data() != 0) {
        VORN_WARNING("Reading micrograph %s failed!\n\033[m", mic_name);
        close_mic_files();
        return -1;
    }
    vorn_put_time("READING", t0);
    return 0;
}

int VORN_A::vorn_read_mic_data() {
    if (mic_data != nullptr) return mrc_read_all_nocheck(mic_file, head_cur, mic_data);
    return mrc_read_all_by_chunks(mic_file, head_cur, h_read_chunk, std::min(VORN_READ_CHUNK, mic_n),
                                  [this](size_t first, const float* values, size_t n) {
                                      vorn_land_mic_data(first, values, n);
                                  });
}

void VORN_A::vorn_land_mic_data(size_t first, const float* values, size_t n) {
    if (mic_data != nullptr)
        std::memcpy(mic_data + first, values, n * sizeof(float));
    else
        CUDA_CHECK(memcpy_H2D(d_mic + first, values, n * sizeof(float)));
}

int VORN_A::vorn_end_one_mic() {
    std::printf("Processing done successfully.\n");
    if (log_file != nullptr) std::fprintf(log_file, "Processing done successfully.\n");
    close_mic_files();
    vorn_put_rule('-', 127);
    std::printf("\n");
    return 0;
}

// ================= the run =================

int VORN_A::vorn_run_all(int argc, char** argv) {
    const double t_start = wall_seconds();
    vorn_preparation(argc, argv);
    if (para->pre_read) vorn_send_all_to_queue_background();
    vorn_put_time("PREPARATION", t_start);
    for (mic_index = 0; mic_index < para->mic_count; ++mic_index) {
        vorn_ref_control_init();
        if (vorn_prep_one_mic() != 0) {
            vorn_drop_dp_of_skipped_mic();
            VORN_WARNING("VORN failed to prepare micrograph %s;skipped and continue with the next.!\n\033[m", mic_name);
            continue;
        }
        if (vorn_generate_ctf_d_data() != 0) {
            VORN_WARNING("VORN failed to generate CTF data from file %s, skipped and continue with the next.!\n\033[m",
                         mic_name);
            close_mic_files();
            continue;
        }
        const double t_search = wall_seconds();
        // The 1D search, the 2D refinement chosen by the mode, then its final step.
        vorn_1S2R();
        vorn_put_time("1S2R", t_search);
        vorn_epa_1d_ccf_B_estimation();
        const double t_local = wall_seconds();
        if (para->do_local_refine) vorn_local_refine();
        vorn_put_time("LOCAL REFINE", t_local);
        vorn_write_star_oneline();
        if (!para->reload_ctf_files) vorn_write_ctfout('W');
        const double t_flip = wall_seconds();
        if (para->do_phase_flip) vorn_mrcf_phase_flip_write();
        vorn_put_time("PHASE FLIP", t_flip);
        vorn_end_one_mic();
    }
    vorn_join_reader();
    vorn_free_ctf_data();
    vorn_close_sumlog();
    return 0;
}
