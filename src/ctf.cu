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
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

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

// Why the header cannot size a run or have its data read, "" when it can (the
// readers' own test: sizes, mode, every voxel inside the file). Garbage or a
// foreign byte order shows here as absurd sizes, before anything is allocated.
std::string mic_head_fault(FILE* f, const MRC_HEAD* h) {
    if (mrc_image_fault(f, h) == nullptr) return "";
    // A mode the readers do not convert is named: its sizes may be right.
    const char* mode = mrc_mode_fault(h);
    char why[256];
    std::snprintf(why, sizeof why, "is not a readable MRC image (%d x %d x %d, mode %d, file of %ld bytes)%s%s", h->nx,
                  h->ny, h->nz, h->mode, get_file_size(f), mode ? ": " : "", mode ? mode : "");
    return why;
}

// Why the run's buffers cannot take the micrograph, "" when they can: it must be
// as large as the spectrum box, and of the first micrograph's size and mode
// (the size table says how it differs).
std::string mic_run_fault(const char* name, const char* first, const MRC_HEAD* h, const MRC_HEAD* h_first, int box) {
    if (std::min(h->nx, h->ny) < box)
        return "of " + std::to_string(h->nx) + " x " + std::to_string(h->ny) +
               " pixels is smaller than the spectrum box of " + std::to_string(box) + " pixels";
    if (check_mrc_head_sizes_two_warning(name, first, h, h_first) == 0) return "";
    return std::string("differs in size or mode from ") + first + ", which sized the run";
}

// Why the micrograph name cannot be taken at all, before its file is opened:
// a name that cannot stand as one word of the summary's row, or a file that is
// no regular file (a directory, a pipe). "" when it can; a name that does not
// exist is left to the access checks.
std::string mic_input_fault(const VORN_Para& p, const char* name) {
    if (const char* word = ctf_star_word_fault(name))
        return std::string("its name cannot stand as one word of a STAR row: ") + word;
    if (const char* kind = non_regular_file_kind(name)) return std::string("it is ") + kind + ", not a micrograph file";
    // A name cut short to fit could be another micrograph's output.
    size_t longest = 0;
    for (const MicOutput& out : vorn_mic_outputs(p, name)) longest = std::max(longest, out.name.size());
    return mrcf_names_fit_fault(longest);
}

// A named pipe in an output's place would hold the run at its opening, so
// whatever is no regular file counts as unwritable, with the reason.
bool output_writable(const std::string& name) { return mrcf_output_unwritable(name.c_str()).empty(); }

// The micrograph's name less its ".mrc" or ".mrcs": its outputs and box file add their suffixes.
std::string mic_stem(const char* mic) { return mrcf_micrograph_stem(mic); }

// A micrograph refused for its name or file kind, missing or unreadable is
// passed over before it writes anything.
bool mic_writes_nothing(const VORN_Para& p, const char* name) {
    return !mic_input_fault(p, name).empty() || access(name, R_OK) != 0;
}

// The last component of a path: the file's name within its folder.
std::string file_leaf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name of the micrograph the log read, from its "Reading file: " line; ""
// when it has none.
std::string log_read_micrograph(const char* log) {
    static const char mark[] = "Reading file: ";
    FILE* f = std::fopen(log, "r");
    if (f == nullptr) return "";
    std::string mic;
    WholeLines lines = whole_lines(f);
    while (mic.empty() && read_whole_line(lines)) {
        if (std::strncmp(lines.text, mark, sizeof mark - 1) != 0) continue;
        mic = lines.text + sizeof mark - 1;
        mic.erase(mic.find_last_not_of("\r\n") + 1);
    }
    free_whole_lines(lines);
    std::fclose(f);
    return mic;
}

}  // namespace

// A log names the micrograph when the one it read has the micrograph's file
// name: outputs lie beside their micrograph, so a folder moved or a run from
// another directory does not change it, while x.mrc and x.mrcs, which share
// their outputs, differ.
bool MicLogRecord::names(const char* mic) const { return !read_mic.empty() && file_leaf(read_mic) == file_leaf(mic); }

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
        // Refused in the loop, where its one warning says why.
        if (!mic_input_fault(p, name).empty()) continue;
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
        const std::string fault = mic_head_fault(mic_file, head_cur);
        std::fclose(mic_file);
        mic_file = nullptr;
        if (!fault.empty()) {  // passed over; the loop skips it in its turn
            VORN_WARNING("the micrograph %s %s!\n\033[m", name, fault.c_str());
            continue;
        }
        if (std::min(head_cur->nx, head_cur->ny) < VORN_MIN_SIZING_EDGE) {
            RED_WARNING("the micrograph %s of %d x %d pixels is too small for a power spectrum (at least %d pixels a "
                        "side)! Automatically ignored!", name, head_cur->nx, head_cur->ny, VORN_MIN_SIZING_EDGE);
            continue;
        }
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
    mrcf_set_outname_by_suffix(ctf, name, VORN_CTF_SUFFIX);
    mrcf_set_outname_by_suffix(pow, name, VORN_POW_SUFFIX);
    mrcf_set_outname_by_suffix(epa, name, VORN_EPA_IMAGE_SUFFIX);
}

int VORN_A::vorn_check_outputs_spare_inputs() {
    const VORN_Para& p = *para;
    // Every name is taken as the file it denotes before anything is written, so
    // that two spellings of a file still to come are one file.
    std::set<std::string> inputs;
    // A micrograph that writes nothing reads no box file and claims no output name.
    std::vector<char> passed_over((size_t)p.mic_count);
    for (int k = 0; k < p.mic_count; ++k) {
        passed_over[(size_t)k] = mic_writes_nothing(p, p.mic_names[k]);
        inputs.insert(mrcf_file_id(p.mic_names[k]));
        if (p.do_local_refine && p.local_boxtype == VORN_LOCAL_BOXFILE && !passed_over[(size_t)k])
            inputs.insert(mrcf_file_id((mic_stem(p.mic_names[k]) + p.boxsuffix).c_str()));
    }
    if (p.input_ctfstar_set) inputs.insert(mrcf_file_id(p.input_ctfstar));
    // The run's own files: the summary and, when a resumed run may put it in
    // order, the file it is first written to whole.
    struct RunFile {
        std::string what, name, id;
    };
    std::vector<RunFile> run_files;
    if (!is_str_null(p.ctfstar)) {
        run_files.push_back({std::string("the CTF STAR summary ") + p.ctfstar, p.ctfstar, mrcf_file_id(p.ctfstar)});
        const std::string aside = vorn_summary_aside_name(p.ctfstar);
        if (p.do_unfinished)
            run_files.push_back({"the CTF STAR summary's aside file " + aside, aside, mrcf_file_id(aside.c_str())});
    }
    for (size_t r = 0; r < run_files.size(); ++r) {
        if (inputs.count(run_files[r].id) != 0)
            VORN_FATAL("%s is an input file; it would be overwritten", run_files[r].what.c_str());
        for (size_t e = 0; e < r; ++e)
            if (run_files[e].id == run_files[r].id)
                VORN_FATAL("%s and %s are one file", run_files[e].what.c_str(), run_files[r].what.c_str());
    }
    // A summary the run cannot write, or cannot put in order on a resume, would
    // cost it its rows (or hold it at a named pipe) once micrographs are fitted.
    for (const RunFile& own : run_files) {
        const std::string why = mrcf_output_unwritable(own.name.c_str());
        if (!why.empty()) VORN_FATAL("%s cannot be written (%s)", own.what.c_str(), why.c_str());
    }
    BatchFiles claims;  // each output name the first micrograph's that names it
    mic_owned_outputs.assign((size_t)p.mic_count, {});
    mic_output_clash.assign((size_t)p.mic_count, "");
    for (int k = 0; k < p.mic_count; ++k) {
        if (passed_over[(size_t)k]) continue;
        // The same file under another name (a link) would be fitted twice for one row.
        const int earlier = claims.repeats(k, p.mic_names[k]);
        if (earlier >= 0 && std::strcmp(p.mic_names[earlier], p.mic_names[k]) != 0) {
            mic_output_clash[(size_t)k] =
                std::string("its file is the micrograph ") + p.mic_names[earlier] + ", listed earlier";
            continue;
        }
        const std::vector<MicOutput> outs = vorn_mic_outputs(p, p.mic_names[k]);
        std::vector<char>& owned = mic_owned_outputs[(size_t)k];
        owned.assign(outs.size(), 0);
        bool own_outputs_meet = false;  // two of its outputs are one file: it writes none of them
        for (size_t j = 0; j < outs.size(); ++j) {
            const char* name = outs[j].name.c_str();
            const std::string id = mrcf_file_id(name);
            if (inputs.count(id) != 0)
                VORN_FATAL("the output %s of micrograph %s is an input file; it would be overwritten", name,
                           p.mic_names[k]);
            for (const RunFile& own : run_files)
                if (id == own.id)
                    VORN_FATAL("%s is also the output %s of micrograph %s; one would overwrite the other",
                               own.what.c_str(), name, p.mic_names[k]);
            const OutputClaim* first = claims.claim(k, outs[j].name);
            owned[j] = first == nullptr;
            own_outputs_meet = own_outputs_meet || (first != nullptr && first->item == k);
            std::string& clash = mic_output_clash[(size_t)k];
            if (first == nullptr || !clash.empty()) continue;
            clash = first->item == k ? "its outputs " + first->name + " and " + name + " are one file"
                                     : "its output " + outs[j].name + " is also the output " + first->name +
                                           " of micrograph " + p.mic_names[first->item] + ", listed earlier";
        }
        if (own_outputs_meet) owned.assign(outs.size(), 0);
    }
    return 0;
}

std::vector<MicOutput> vorn_mic_outputs(const VORN_Para& p, const char* mic) {
    const std::string stem = mic_stem(mic);
    std::vector<MicOutput> outs;
    auto add = [&](const char* suffix, bool spared_by_reload, bool stale_when_skipped = false) {
        outs.push_back({stem + suffix, spared_by_reload, stale_when_skipped});
    };
    add(p.logsuffix, false);
    add(VORN_CTF_SUFFIX, true, true);
    add(VORN_POW_SUFFIX, true, true);
    if (p.do_EPA) add(VORN_EPA_IMAGE_SUFFIX, true);
    add(VORN_EPA_LOG_SUFFIX, false, true);
    if (p.do_phase_flip) add(VORN_PF_SUFFIX, false);
    if (p.do_local_refine) {
        add(VORN_LOCAL_STAR_SUFFIX, false);
        if (p.write_local_ctf) add(VORN_LOCAL_CTF_SUFFIX, false);
        if (p.local_boxtype == VORN_LOCAL_AUTOGRID) add(VORN_AUTOGRID_SUFFIX, false);
    }
    return outs;
}

int VORN_A::vorn_check_outputs_writable() {
    const VORN_Para& p = *para;
    // The test the spectrum stage makes before it reloads.
    const bool reloads = p.reload_ctf_files && access(ctf_name, R_OK) == 0 && access(pow_name, R_OK) == 0;
    for (const MicOutput& out : vorn_mic_outputs(p, mic_name)) {
        if (reloads && out.spared_by_reload) continue;
        const std::string why = mrcf_output_unwritable(out.name.c_str());
        if (why.empty()) continue;
        VORN_WARNING("the output %s of micrograph %s cannot be written (%s); skipped.\n\033[m", out.name.c_str(),
                     mic_name, why.c_str());
        vorn_note_skip("its output %s cannot be written (%s)", out.name.c_str(), why.c_str());
        return -1;
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
    // A log that cannot be read says nothing; whether it can be replaced is checked next.
    if (f == nullptr) return 0;
    const bool done = FILE_find_str_line(f, "Processing done successfully") >= 0;
    std::fclose(f);
    return done ? 1 : 0;
}

void VORN_A::vorn_read_mic_log() {
    struct stat st;
    mic_log_found = MicLogRecord();
    mic_log_found.exists = stat(log_name, &st) == 0;
    // Only a regular file is read: a named pipe would hold the batch.
    if (!mic_log_found.exists || !S_ISREG(st.st_mode)) return;
    mic_log_found.done = vorn_is_file_ctf_done(log_name) != 0;
    mic_log_found.read_mic = log_read_micrograph(log_name);
}

bool VORN_A::vorn_mic_is_done() const {
    if (!mic_log_found.done || !mic_log_found.names(mic_name)) return false;
    // A log the run cannot write cannot take a later skip of its micrograph: its
    // word holds only while the results of its fit, which such a skip removes
    // where it can, are all there.
    if (output_writable(log_name)) return true;
    for (const MicOutput& out : vorn_mic_outputs(*para, mic_name))
        if (out.stale_when_skipped && access(out.name.c_str(), F_OK) != 0) return false;
    return true;
}

int VORN_A::vorn_prep_one_mic() {
    const VORN_Para& p = *para;
    mic_name = p.mic_names[mic_index];
    dp_taken = 0;
    mic_skip_why.clear();
    mic_outputs_claimed = 0;
    const std::string fault = mic_input_fault(p, mic_name);
    if (!fault.empty()) {
        VORN_WARNING("the micrograph %s is refused: %s.\n\033[m", mic_name, fault.c_str());
        return -1;
    }
    if (check_file_access(mic_name, "FR") != 0) return -1;
    vorn_set_output_names(mic_name, log_name, ctf_name, pow_name, epa_name);
    mic_outputs_claimed = 1;
    vorn_read_mic_log();
    // Before its log is taken at its word: a log it shares is the earlier micrograph's.
    const std::string clash = (size_t)mic_index < mic_output_clash.size() ? mic_output_clash[(size_t)mic_index] : "";
    if (!clash.empty()) {
        VORN_WARNING("the micrograph %s is skipped: %s.\n\033[m", mic_name, clash.c_str());
        vorn_note_skip("%s", clash.c_str());
        return -1;
    }
    if (p.do_unfinished && vorn_mic_is_done()) {
        std::printf("CTF parameter of \033[42m%s\033[m already determined. Automatically skipped.\n", mic_name);
        return 1;
    }
    if (vorn_check_outputs_writable() != 0) return -1;
    // Its log is replaced only once every check before the fit has passed
    // (vorn_open_mic_log): one skipped here leaves the log it found.
    mic_file = std::fopen(mic_name, "rb");
    if (mic_file == nullptr) {
        VORN_WARNING("Cannot open file %s (%s).\n\033[m", mic_name, std::strerror(errno));
        vorn_note_skip("the micrograph cannot be opened (%s)", std::strerror(errno));
        return -1;
    }
    mrc_read_head(mic_file, head_cur);
    std::string unfit = mic_head_fault(mic_file, head_cur);
    if (unfit.empty()) unfit = mic_run_fault(mic_name, p.first_mic, head_cur, head_first, p.boxsize);
    if (!unfit.empty()) {
        VORN_WARNING("the micrograph %s %s; skipped.\n\033[m", mic_name, unfit.c_str());
        vorn_note_skip("the micrograph %s", unfit.c_str());
        return -1;
    }
    // Its box file is checked with the rest, so that one it cannot use costs no fit.
    if (p.do_local_refine && vorn_local_read_boxes() != 0) return -1;

    const double t0 = wall_seconds();
    std::printf("Reading file: %s\n", mic_name);
    mic_nonfinite = 0;
    mic_min = INFINITY;
    mic_max = -INFINITY;
    const int read = p.pre_read ? vorn_take_mic_data_from_queue() : vorn_read_mic_data();
    if (read != 0) {
        if (!p.pre_read) VORN_WARNING("Reading micrograph %s failed!\n\033[m", mic_name);
        vorn_note_skip("the micrograph cannot be read");
        return -1;
    }
    vorn_put_time("READING", t0);
    if (vorn_check_mic_values() != 0) return -1;
    return vorn_open_mic_log();
}

int VORN_A::vorn_open_mic_log() {
    log_file = std::fopen(log_name, "w+");
    if (log_file == nullptr) {
        VORN_WARNING("Cannot write to file %s (%s); skipped.\n\033[m", log_name, std::strerror(errno));
        vorn_note_skip("its log cannot be written (%s)", std::strerror(errno));
        return -1;
    }
    vorn_fput_parameters_ctffind3_like();
    if (!local_boxes_note.empty()) std::fprintf(log_file, "%s\n", local_boxes_note.c_str());
    std::fprintf(log_file, "Reading file: %s\n", mic_name);
    return 0;
}

int VORN_A::vorn_check_mic_values() {
    char why[256];
    if (mic_nonfinite > 0)
        std::snprintf(why, sizeof why, "%zu pixel%s not a finite number (NaN or infinity)", mic_nonfinite,
                      mic_nonfinite == 1 ? " is" : "s are");
    else if (!(mic_max > mic_min))
        std::snprintf(why, sizeof why, "it has no variance (every pixel is %g)", (double)mic_min);
    else
        return 0;
    VORN_WARNING("the micrograph %s cannot give a fit: %s; skipped.\n\033[m", mic_name, why);
    vorn_note_skip("the micrograph cannot give a fit: %s", why);
    return -1;
}

int VORN_A::vorn_check_fit_finite() {
    const float values[] = {ref_defU, ref_defV, ref_defA, ref_ps, ref_ccc, res_limit};
    for (float v : values)
        if (!std::isfinite(v)) {
            VORN_WARNING("the fit of micrograph %s is not a number (U %g, V %g, angle %g, phase shift %g, score %g, "
                         "resolution %g); skipped, no result is written.\n\033[m",
                         mic_name, ref_defU, ref_defV, ref_defA, ref_ps, ref_ccc, res_limit);
            vorn_note_skip("the fit is not a number");
            return -1;
        }
    return 0;
}

// Each value read is seen here on its way in: the counts that decide whether
// the micrograph can give a fit cost no second pass over it.
static void scan_mic_values(VORN_A& a, const float* values, size_t n) {
    size_t bad = 0;
    float lo = a.mic_min, hi = a.mic_max;
    for (size_t i = 0; i < n; ++i) {
        const float v = values[i];
        if (!std::isfinite(v)) {
            ++bad;
            continue;
        }
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    a.mic_nonfinite += bad;
    a.mic_min = lo;
    a.mic_max = hi;
}

int VORN_A::vorn_read_mic_data() {
    if (mic_data != nullptr) {
        const int r = mrc_read_all_nocheck(mic_file, head_cur, mic_data);
        if (r == 0) scan_mic_values(*this, mic_data, mic_n_all);
        return r;
    }
    return mrc_read_all_by_chunks(mic_file, head_cur, h_read_chunk, std::min(VORN_READ_CHUNK, mic_n),
                                  [this](size_t first, const float* values, size_t n) {
                                      vorn_land_mic_data(first, values, n);
                                  });
}

void VORN_A::vorn_land_mic_data(size_t first, const float* values, size_t n) {
    scan_mic_values(*this, values, n);
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

void VORN_A::vorn_note_skip(const char* format, ...) {
    char why[2 * VORN_NAME_LEN];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(why, sizeof why, format, ap);
    va_end(ap);
    mic_skip_why = why;
}

MicOutcome VORN_A::vorn_skip_mic() {
    if (mic_outputs_claimed) vorn_clear_skipped_outputs();
    close_mic_files();
    return MicOutcome::Failed;
}

void VORN_A::vorn_clear_skipped_outputs() {
    const VORN_Para& p = *para;
    const std::vector<MicOutput> outs = vorn_mic_outputs(p, mic_name);
    // Names an earlier micrograph of the list owns are its files, never touched here.
    auto own = [&](size_t j) {
        return (size_t)mic_index < mic_owned_outputs.size() && j < mic_owned_outputs[(size_t)mic_index].size() &&
               mic_owned_outputs[(size_t)mic_index][j];
    };
    // Once its log is open the fit is under way: what lies under its names is of
    // this fit or stale. Skipped before, it finds the results of its own earlier
    // run only beside a log that names it, and it replaces no log that records
    // another micrograph's fit.
    const MicLogRecord& found = mic_log_found;
    const bool fitting = log_file != nullptr;
    const bool own_results = fitting || found.names(mic_name);
    const bool own_log = own(0) && (own_results || !found.exists || (found.read_mic.empty() && !found.done));
    // A file the run cannot write is the user's: it is neither written nor removed.
    if (log_file == nullptr && own_log && output_writable(log_name)) log_file = std::fopen(log_name, "w");
    if (log_file != nullptr)
        std::fprintf(log_file, "Skipped: %s.\n",
                     mic_skip_why.empty() ? "the micrograph could not be processed" : mic_skip_why.c_str());
    else if (own_log && output_writable(log_name))
        mrcf_remove_output(log_name);  // a log that cannot say why must not say done
    for (size_t j = 0; j < outs.size(); ++j)
        if (own(j) && own_results && outs[j].stale_when_skipped && !(p.reload_ctf_files && outs[j].spared_by_reload) &&
            output_writable(outs[j].name))
            mrcf_remove_output(outs[j].name.c_str());
}

// One micrograph through every stage: its outcome.
MicOutcome VORN_A::vorn_run_one_mic() {
    const int prep = vorn_prep_one_mic();
    if (prep != 0) {
        vorn_drop_dp_of_skipped_mic();
        // A finished micrograph whose row cannot be rebuilt from its log would end
        // the batch without it: it counts as failed, so the status says so.
        if (prep > 0) return vorn_keep_star_row_of_done_mic() == 0 ? MicOutcome::AlreadyDone : MicOutcome::Failed;
        VORN_WARNING("VORN failed to prepare micrograph %s;skipped and continue with the next.!\n\033[m", mic_name);
        return vorn_skip_mic();
    }
    if (vorn_generate_ctf_d_data() != 0) {
        VORN_WARNING("VORN failed to generate CTF data from file %s, skipped and continue with the next.!\n\033[m",
                     mic_name);
        return vorn_skip_mic();
    }
    res_limit = 0.0f;
    const double t_search = wall_seconds();
    // The 1D search, the 2D refinement chosen by the mode, then its final step.
    vorn_1S2R();
    vorn_put_time("1S2R", t_search);
    // A fit that is not a number is no result: nothing of it is written.
    bool fit_ok = vorn_check_fit_finite() == 0;
    if (fit_ok) {
        vorn_epa_1d_ccf_B_estimation();
        fit_ok = vorn_check_fit_finite() == 0;
    }
    if (!fit_ok) return vorn_skip_mic();
    const double t_local = wall_seconds();
    if (para->do_local_refine && vorn_local_refine() != 0) return vorn_skip_mic();
    vorn_put_time("LOCAL REFINE", t_local);
    // A fit without its row is not done: its log must not say so.
    if (vorn_write_star_oneline() != 0) {
        vorn_note_skip("its row could not be written to the summary %s", para->ctfstar);
        return vorn_skip_mic();
    }
    // A spectrum reloaded from an earlier run has no second spectrum to show.
    if (!spec_reloaded) vorn_write_ctfout('W');
    const double t_flip = wall_seconds();
    if (para->do_phase_flip) vorn_mrcf_phase_flip_write();
    vorn_put_time("PHASE FLIP", t_flip);
    vorn_end_one_mic();
    return MicOutcome::Done;
}

int VORN_A::vorn_put_batch_summary() {
    int done = 0, already = 0, failed = 0;
    std::string names;
    for (size_t k = 0; k < mic_outcomes.size(); ++k) {
        switch (mic_outcomes[k]) {
            case MicOutcome::Done: ++done; break;
            case MicOutcome::AlreadyDone: ++already; break;
            default:
                ++failed;
                names += (names.empty() ? ": " : ", ") + std::string(para->mic_names[k]);
                break;
        }
    }
    std::printf("All %d micrographs: %d done, %d skipped as already done, %d failed%s\n", (int)mic_outcomes.size(),
                done, already, failed, names.empty() ? "." : names.c_str());
    return failed == 0 ? 0 : 1;
}

int VORN_A::vorn_run_all(int argc, char** argv) {
    const double t_start = wall_seconds();
    vorn_preparation(argc, argv);
    mic_outcomes.assign((size_t)para->mic_count, MicOutcome::Pending);
    if (para->pre_read) vorn_send_all_to_queue_background();
    vorn_put_time("PREPARATION", t_start);
    for (mic_index = 0; mic_index < para->mic_count; ++mic_index) {
        vorn_ref_control_init();
        mic_outcomes[(size_t)mic_index] = vorn_run_one_mic();
    }
    vorn_join_reader();
    vorn_free_ctf_data();
    vorn_close_sumlog();
    return vorn_put_batch_summary();
}
