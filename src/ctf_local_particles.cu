// Per-particle defocus refinement: a local spectrum from the neighbour boxes
// around each particle of a box file, searched, written to a particle STAR file
// and, optionally, shown slice by slice in a display stack.
#define VORN_UNIT "src/ctf_local"
#include "ctf_local.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "boxfile.h"
#include "cuda_fft.h"
#include "gpu_buffers.h"
#include "math_utils.h"
#include "mrcfile.h"
#include "process2d_core.h"
#include "process2d_raw.h"
#include "starfile.h"

namespace {

FILE* open_output(const std::string& name) {
    FILE* f = std::fopen(name.c_str(), "w+");
    if (f != nullptr) return f;
    std::printf("Cannot write to file %s. Permission denied or no space left!\n", name.c_str());
    VORN_FATAL("open file '%s' failed.", name.c_str());
}

// The box file must exist and be readable; otherwise the refinement is skipped with a warning.
bool box_file_usable(const std::string& name) {
    const char* problem = nullptr;
    if (access(name.c_str(), F_OK) != 0)
        problem = "does NOT exist! Local refinement automatically ignored! Maybe you want to check the option "
                  "'--boxsuffix'  as well.";
    else if (access(name.c_str(), R_OK) != 0)
        problem = "are NOT readable! Local refinement automatically ignored! Maybe you want to check the option "
                  "'--boxsuffix' as well.";
    if (problem == nullptr) return true;
    std::printf("\033[41m\033[1m\033[5mWarning in function %s(), file %s on line %d: the box file %s %s \033[m\n\n",
                "ctf_local_refine", VORN_UNIT, __LINE__, name.c_str(), problem);
    return false;
}

// Every parameter of the per-particle searches and outputs.
struct LocalJob {
    int box;
    float radius, apix, P, kV, Cs, AC, U0, V0, A0, ccc0, search_width, B, low, high, detector_pixel_size;
    int astig, epa, average_type;
    int nxh() const { return box / 2 + 1; }
    size_t half() const { return image_pixels(nxh(), box); }
};

// Device buffers sized once from the neighbour count of one box.
struct LocalBuffers {
    int capacity;  // neighbour boxes
    float *stack, *maps, *weights, *distances, *spectrum, *scratch, *epa;
    LocalBuffers(const LocalJob& job, int k) : capacity(k) {
        stack = device_buffer<float>(GPU_SITE, image_pixels(job.box, job.box) * k);
        maps = device_buffer<float>(GPU_SITE, job.half() * k);
        weights = device_buffer<float>(GPU_SITE, k);
        distances = device_buffer<float>(GPU_SITE, PTCL_BOX_READ_MAX);
        spectrum = device_buffer<float>(GPU_SITE, job.half());
        scratch = device_buffer<float>(GPU_SITE, job.half());
        epa = device_buffer<float>(GPU_SITE, job.half());
    }
    ~LocalBuffers() {
        for (float* p : {stack, maps, weights, distances, spectrum, scratch, epa}) device_release(GPU_SITE, p);
    }
};

// The local spectrum of the first count slices of the stack, by the average type.
void build_local_spectrum(const LocalJob& job, LocalBuffers& b, int count) {
    const int bg = job.box / 12;
    switch (job.average_type) {
        case 1:
            hcuda_2ds_fft_amp_local_w1d_gen(b.weights, count, b.distances, job.radius);
            hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(b.stack, b.spectrum, job.box, job.box, count, bg, b.weights, 1);
            return;
        case 2:
            hcuda_2ds_fft_amp_local_w2ds_gen(b.maps, job.nxh(), job.box, count, b.distances, job.radius, job.apix,
                                             job.high);
            hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(b.stack, b.spectrum, job.box, job.box, count, bg, b.maps, 2);
            return;
        default:
            VORN_WARNING("Unknown local CTF average type! Will use equally average instead!\n\033[m");
            [[fallthrough]];
        case 0: hcuda_2ds_fft_r2c_amp_ave_log_subbg(b.stack, b.spectrum, job.box, job.box, count, bg); return;
    }
}

struct LocalResult {
    float U, V, A, score;
};

LocalResult search_local_spectrum(const LocalJob& job, LocalBuffers& b, FILE* log) {
    LocalResult r{job.U0, job.V0, job.A0, 0.0f};
    const float step = job.search_width / 3.0f;
    if (job.astig)
        hcuda_refctf_2dh_local(b.spectrum, b.scratch, r.U, r.V, r.A, r.score, job.apix, job.box, job.box, job.P, job.kV,
                               job.Cs, job.AC, job.U0, job.V0, job.A0, step, 1.0f, job.B, job.low, job.high, log);
    else
        hcuda_refctf_2dh_only_defave(b.spectrum, b.scratch, r.U, r.V, r.score, job.apix, job.box, job.box, job.P,
                                     job.kV, job.Cs, job.AC, job.U0, job.V0, job.A0, step, job.B, job.low, job.high,
                                     log);
    return r;
}

// A particle without any box inside the micrograph: the start values, their
// simulation in the scratch and an empty spectrum, so its slice shows no other particle's data.
LocalResult keep_start_values(const LocalJob& job, LocalBuffers& b) {
    hcuda_ctf_sim_2dh_c(b.scratch, job.nxh(), job.box, job.apix, job.kV, job.Cs, job.AC, job.P, job.U0, job.V0, job.A0,
                        job.B, job.low, job.high, 'A');
    hcuda_empty_f32(b.spectrum, job.half());
    return LocalResult{job.U0, job.V0, job.A0, job.ccc0};
}

// Normalised to deviation sd and mean m; an array without spread (no data) stays as it is.
void normalise_display_half(std::vector<float>& h, float sd, float m) {
    float max, min, mean;
    hm_max_min_mean(h.data(), h.size(), max, min, mean);
    if (max > min) hm_normz_inplace(h.data(), h.size(), sd, m);
}

// The display slice: the simulation in the scratch beside the local spectrum or
// its equiphase average at the result.
std::vector<float> display_slice(const LocalJob& job, LocalBuffers& b, const LocalResult& r) {
    std::vector<float> sim(job.half()), spectrum(job.half()), image(image_pixels(job.box, job.box));
    const float* shown = b.spectrum;
    if (job.epa) {
        hcuda_2dh_EPA(b.epa, b.spectrum, job.nxh(), job.box, job.apix, job.kV, job.Cs, job.AC, job.P, r.U, r.V, r.A,
                      job.low, job.high);
        shown = b.epa;
    }
    copy_to_host(GPU_SITE, sim.data(), b.scratch, sim.size());
    copy_to_host(GPU_SITE, spectrum.data(), shown, spectrum.size());
    normalise_display_half(sim, std::sqrt(job.apix / job.high),
                           (float)(2.0 / CTF_PI * std::sqrt(CTF_PI * job.high / (4.0 * job.apix))));
    normalise_display_half(spectrum, 1.0f, 0.63661975f);
    cpu_2dh_ctf_sim_raw_combine(image.data(), sim.data(), spectrum.data(), job.box, job.box);
    image[pixel_element(job.box / 2, job.box / 2, job.box)] = 0.0f;
    return image;
}

// The display stack: the header (nz slices, statistics of the first) before the first slice.
struct DisplayStack {
    FILE* f = nullptr;
    int nz = 0, written = 0;
    MRC_HEAD head;
    void append(const std::vector<float>& image, int box) {
        if (written++ == 0) {
            float max, min, mean;
            hm_max_min_mean(image.data(), image.size(), max, min, mean);
            mrc_init_head(&head);
            mrc_set_head_xyz_mmm(&head, box, box, nz, min, max, mean);
            mrc_write_head(f, &head);
        }
        mrc_add_slice(f, &head, image.data());
    }
};

}  // namespace

int ctf_local_refine(const char* micrograph, const char* box_suffix, const float* image, int nx, int ny, int box_type,
                     float radius, int box, float overlap, int display, int epa, int astig,
                     float detector_pixel_size, float apix, float P, float kV, float Cs, float AC, float U0, float V0,
                     float A0, float ccc0, float search_width, float B, float low, float high, int average_type,
                     FILE* log) {
    const int step = (int)((double)box * (1.0 - overlap));
    const std::string name = micrograph;
    const std::string base = name.substr(0, name.size() - get_micrograph_suffixn(micrograph));
    const std::string box_file = base + box_suffix, star_file = base + "_local.star";
    if (!box_file_usable(box_file)) return 0;

    FILE* star = open_output(star_file);
    std::printf("Writing out star file %s for local refinement\n", star_file.c_str());
    particle_star_write_head(star);
    DisplayStack stack;
    if (display) stack.f = open_output(base + "_local.ctf");
    if (box_type == 2) VORN_FATAL("LOCAL_REFINE_GIVENBOX unsupported in the current version!");
    if (box_type == 3) VORN_FATAL("LOCAL_REFINE_AUTOGRID unsupported in the current version!");
    if (box_type != 1) VORN_FATAL("unrecognized local_boxtype!");

    std::printf("Using box file %s for local refinement\n", box_file.c_str());
    std::vector<PTCL_BOX> boxes(PTCL_BOX_READ_MAX), neighbours(PTCL_BOX_READ_MAX);
    std::vector<char> box_name(box_file.begin(), box_file.end() + 1);
    const int n = read_all_ptcl_boxes(boxes.data(), PTCL_BOX_READ_MAX, box_name.data());
    if (n < 0) {
        // The reader said why; no row and no slice are written for a file it refused.
        if (stack.f != nullptr) std::fclose(stack.f);
        std::fclose(star);
        return -1;
    }
    print_stdout_and_log(log, "Total particle number for local refinement: %d\n", n);
    print_stdout_and_log(log, "\n       X       Y       Defocus_U   Defocus_V       Angle         CCC\n");
    stack.nz = n;

    const LocalJob job{box, radius, apix, P, kV, Cs, AC, U0, V0, A0, ccc0, search_width, B, low, high,
                       detector_pixel_size, astig, epa, average_type};
    PTCL_BOX reference{};
    LocalBuffers buffers(
        job, auto_generate_neighbor_boxes_circular(neighbours.data(), PTCL_BOX_READ_MAX, &reference, radius, box, step));
    std::vector<char> row_name(name.begin(), name.end() + 1);
    const float magnification = detector_pixel_size * 10000.0f / apix;
    for (int i = 0; i < n; ++i) {
        const PTCL_BOX& p = boxes[i];
        const int cx = p.x + p.w / 2, cy = p.y + p.h / 2;
        const int k = std::min(
            auto_generate_neighbor_boxes_circular(neighbours.data(), PTCL_BOX_READ_MAX, &p, radius, box, step),
            buffers.capacity);
        int inside = 0;
        if (k > 0) {
            hcuda_2d_empty(buffers.stack, box, box * k);
            inside = hcuda_2d_read_ptcls_to_2ds_from_boxes(buffers.stack, neighbours.data(), buffers.distances, k, image,
                                                           nx, ny);
        }
        LocalResult r;
        if (inside > 0) {
            build_local_spectrum(job, buffers, inside);
            r = search_local_spectrum(job, buffers, log);
            print_stdout_and_log(log, "%8d%8d%12.2f%12.2f%12.2f%12.6f  Local Values\n", cx, cy, r.U, r.V, r.A, r.score);
        } else {
            r = keep_start_values(job, buffers);
            print_stdout_and_log(log, "%8d%8d%12.2f%12.2f%12.2f%12.6f  Local Values0\n", cx, cy, r.U, r.V, r.A,
                                 r.score);
        }
        particle_star_write_oneline(star, row_name.data(), cx, cy, r.U, r.V, r.A, kV, Cs, AC, magnification,
                                    detector_pixel_size, r.score, p.score, P);
        if (display) stack.append(display_slice(job, buffers, r), box);
    }
    if (stack.f != nullptr) std::fclose(stack.f);
    std::fclose(star);
    return 0;
}
