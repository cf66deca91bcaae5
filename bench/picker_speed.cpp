// Speed of the picker's correlation: one 4096 x 4096 micrograph shrunk by 4
// (the default speed level) correlated with the automatic template of the
// default parameters over 360 degrees at the default step of 5 (72 angles),
// at 1 thread and at all threads, beside its floor: the two 2D transforms of
// the shrunk size per angle, through the same cuFFT layer in the same run.
// The correlation is timed fresh (the library call that turns and transforms
// the template per angle) and with the template spectra the program keeps
// from micrograph to micrograph (made once, untimed).
// Then the whole program: the built morvandel run at the default settings
// (one automatic template) over the same micrograph, written to a scratch
// directory and named reps times, its wall time per micrograph beside the same
// floor.
// Last, the program on a K3 micrograph in both orientations (5760 x 4092 and
// 4092 x 5760, --diameter 150 at 1 A per pixel) and on 4096 x 4092 and
// 4092 x 4092, whose shrunk sides of 1023 pixels the FFTs handle badly: each
// one's time per micrograph beside the floor of the landscape K3 (the two
// transforms per angle of the grid its correlation runs on) and beside the
// landscape K3's own time (4092 x 4092 beside 4096 x 4092).
//
//   picker_speed [--size 4096] [--shrink 4] [--step 5] [--reps 3] [--threads 1,2,8] [--morvandel PATH]
//
// Each configuration is run reps times; the fastest is kept.
#define VORN_UNIT "bench/picker_speed"
#include <fcntl.h>
#include <omp.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_lists.h"
#include "fft_plan.h"
#include "morvandel56.h"
#include "process2d_core.h"
#include "process2d_raw.h"

namespace {

struct Options {
    int size = 4096, shrink = 4, reps = 3;
    float step = 5.0f;
    std::vector<int> threads;
    std::string morvandel;  // the picker program; default: next to this one
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <class F>
double fastest(int reps, F f) {
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, seconds_since(t0));
    }
    return best;
}

// White noise with a few dark soft discs of the radius given (particles of the
// default diameter at the default pixel size: 150).
std::vector<float> micrograph(int nx, int ny, int radius = 150) {
    std::mt19937 rng(5);
    std::normal_distribution<float> noise;
    std::vector<float> mic((size_t)nx * ny);
    for (float& v : mic) v = noise(rng);
    const int margin = 2 * radius, reach = radius + radius / 3;
    for (int k = 0; k < 40; ++k) {
        const int cx = margin + (k * 977) % (nx - 2 * margin), cy = margin + (k * 613) % (ny - 2 * margin);
        for (int y = cy - reach; y < cy + reach; ++y)
            for (int x = cx - reach; x < cx + reach; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < radius * radius) mic[(size_t)y * nx + x] -= 1.0f;
    }
    return mic;
}

// The micrograph shrunk, on the device.
float* shrunk_micrograph(const std::vector<float>& mic, int size, int shrink, int& nx) {
    nx = size / shrink;
    float *full = nullptr, *out = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&full, mic.size() * sizeof(float)));
    CUDA_CHECK(cudaMalloc((void**)&out, (size_t)nx * nx * sizeof(float)));
    CUDA_CHECK(memcpy_H2D(full, mic.data(), mic.size() * sizeof(float)));
    hcuda_2d_meanshrink(full, out, size, size, shrink);
    CUDA_CHECK(cudaFree(full));
    return out;
}

std::string directory_of_self() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    const std::string path = buf;
    return path.substr(0, path.rfind('/'));
}

// A scratch directory holding the micrograph once and linked under reps names,
// and everything the program writes beside them.
struct Scratch {
    std::string path, names;
    Scratch(const std::vector<float>& mic, int nx, int ny, int reps) {
        char name[] = "/tmp/vorn-picker-speed-XXXXXX";
        path = mkdtemp(name);
        const std::string first = path + "/mic0.mrc";
        mrcf_write_xyz_data(first.c_str(), mic.data(), nx, ny, 1);
        names = " '" + first + "'";
        for (int k = 1; k < reps; ++k) {
            const std::string link = path + "/mic" + std::to_string(k) + ".mrc";
            if (symlink(first.c_str(), link.c_str()) == 0) names += " '" + link + "'";
        }
    }
    ~Scratch() { std::system(("rm -rf '" + path + "'").c_str()); }
};

// Wall time of one run of the program over every name, at the thread count,
// with the options given; negative when it fails.
double program_seconds(const std::string& program, const Scratch& scratch, int threads,
                       const std::string& options = "") {
    const std::string command = "OMP_NUM_THREADS=" + std::to_string(threads) + " '" + program + "' " + options +
                                scratch.names + " >/dev/null 2>&1";
    const auto t0 = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    return status == 0 ? seconds_since(t0) : -1.0;
}

// f() with standard output sent to /dev/null.
template <class F>
void quietly(F f) {
    std::fflush(stdout);
    const int saved = dup(1), devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    close(devnull);
    f();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
}

// Floor: one forward and one inverse transform of nx x ny per angle, of the
// image given (nx x ny) or of a constant.
double fft_floor(unsigned nx, unsigned ny, const float* source, long long angles, int reps) {
    float* image = nullptr;
    float2* spectrum = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&image, (size_t)nx * ny * sizeof(float)));
    CUDA_CHECK(cudaMalloc((void**)&spectrum, (size_t)(nx / 2 + 1) * ny * sizeof(float2)));
    if (source != nullptr) CUDA_CHECK(memcpy_D2D(image, source, (size_t)nx * ny * sizeof(float)));
    else hcuda_2d_memset(image, 0.5f, nx, ny);
    const cufftHandle r2c = fft_plan_2d(GPU_SITE, nx, ny, CUFFT_R2C);
    const cufftHandle c2r = fft_plan_2d(GPU_SITE, nx, ny, CUFFT_C2R);
    const double floor = fastest(reps, [&] {
        for (long long k = 0; k < angles; ++k) {
            CUFFT_CHECK(cufftExecR2C(r2c, image, spectrum));
            CUFFT_CHECK(cufftExecC2R(c2r, spectrum, image));
        }
        CUDA_CHECK(cudaDeviceSynchronize());
    });
    CUFFT_CHECK(cufftDestroy(r2c));
    CUFFT_CHECK(cufftDestroy(c2r));
    CUDA_CHECK(cudaFree(image));
    CUDA_CHECK(cudaFree(spectrum));
    return floor;
}

// A micrograph of the orientation table: its sizes and the row whose time its own stands beside (-1: none).
struct Orientation {
    const char* what;
    int nx, ny, beside;
};
const Orientation kOrientations[] = {
    {"K3 landscape", 5760, 4092, -1}, {"K3 portrait", 4092, 5760, 0}, {"4096 x 4092", 4096, 4092, -1},
    {"4092 x 4092", 4092, 4092, 2}};
// Particles of 150 A at 1 A per pixel, shrunk by the default 4.
const std::vector<std::string> kOrientationWords = {"--apixM", "1", "--diameter", "150"};

// The program on each orientation at each thread count, beside the floor of the
// landscape K3: the transforms of its correlation's grid.
void orientation_table(const Options& o) {
    std::string options;
    std::vector<char*> words{const_cast<char*>("picker_speed")};
    for (const std::string& w : kOrientationWords) {
        options += w + " ";
        words.push_back(const_cast<char*>(w.c_str()));
    }
    words.push_back(const_cast<char*>("m.mrc"));
    Tessoranth_Para p{};
    tessoranth_init_parameters((int)words.size(), p);
    quietly([&] { tessoranth_get_parameters((int)words.size(), words.data(), p); });  // as the program parses them
    const int t = 4 * (int)p.radius_px, s = p.shrink;
    const long long angles = morvandel_psi_count(p.psi_start, p.psi_end, p.ang_step);
    std::printf("\npicker program by orientation (%sshrunk by %d, template %d x %d), fastest of %d:\n",
                options.c_str(), s, t, t, o.reps);
    std::printf("%8s %-14s %12s %12s %12s %18s %14s %8s %8s\n", "threads", "micrograph", "size", "shrunk",
                "corr. grid", "program (s/mic)", "floor (s)", "ratio", "beside");
    std::vector<std::unique_ptr<Scratch>> scratches;
    for (const Orientation& c : kOrientations)
        scratches.push_back(std::make_unique<Scratch>(micrograph(c.nx, c.ny, 75), c.nx, c.ny, o.reps));
    const Orientation& land = kOrientations[0];
    const FftGrid land_grid = fft_wrapped_grid((unsigned)(land.nx / s), (unsigned)(land.ny / s), t / 2, t / 2);
    for (int threads : o.threads) {
        omp_set_num_threads(threads);
        const double floor = fft_floor(land_grid.gx, land_grid.gy, nullptr, angles, o.reps);
        std::vector<double> times;
        for (size_t k = 0; k < std::size(kOrientations); ++k) {
            const Orientation& c = kOrientations[k];
            const double program = program_seconds(o.morvandel, *scratches[k], threads, options) / o.reps;
            times.push_back(program);
            const FftGrid g = fft_wrapped_grid((unsigned)(c.nx / s), (unsigned)(c.ny / s), t / 2, t / 2);
            const std::string size = std::to_string(c.nx) + " x " + std::to_string(c.ny);
            const std::string shrunk = std::to_string(c.nx / s) + " x " + std::to_string(c.ny / s);
            const std::string grid = std::to_string(g.gx) + " x " + std::to_string(g.gy);
            char beside[32] = "-";
            if (c.beside >= 0) std::snprintf(beside, sizeof beside, "%.2f", program / times[(size_t)c.beside]);
            std::printf("%8d %-14s %12s %12s %12s %18.3f %14.3f %8.2f %8s\n", threads, c.what, size.c_str(),
                        shrunk.c_str(), grid.c_str(), program, floor, program / floor, beside);
            std::fflush(stdout);
        }
    }
    tessoranth_free_parameters(p);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--size" && has_value) o.size = std::atoi(argv[++i]);
        else if (a == "--shrink" && has_value) o.shrink = std::atoi(argv[++i]);
        else if (a == "--step" && has_value) o.step = (float)std::atof(argv[++i]);
        else if (a == "--reps" && has_value) o.reps = std::atoi(argv[++i]);
        else if (a == "--threads" && has_value) o.threads = int_list(argv[++i]);
        else if (a == "--morvandel" && has_value) o.morvandel = argv[++i];
        else {
            std::fprintf(stderr, "usage: picker_speed [--size 4096] [--shrink 4] [--step 5] [--reps 3] [--threads 1,2,%d] "
                                 "[--morvandel PATH]\n",
                         omp_get_num_procs());
            return 1;
        }
    }
    if (o.threads.empty()) o.threads = {1, 2, omp_get_num_procs()};
    if (o.morvandel.empty()) o.morvandel = directory_of_self() + "/morvandel";

    // The default record: the automatic template of radius_px at the default shrink.
    Tessoranth_Para p{};
    tessoranth_init_parameters(1, p);
    int nx = 0, tnx, tny, tnz;
    const std::vector<float> full = micrograph(o.size, o.size);
    float* mic = shrunk_micrograph(full, o.size, o.shrink, nx);
    const float radius = p.radius_px * 4.0f / (float)o.shrink;
    float* t = create_template_data(tnx, tny, tnz, radius, p.m_edge_ratio);
    float *t_d = nullptr, *mask = nullptr, *ccmax = nullptr, *psi = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&t_d, (size_t)tnx * tny * sizeof(float)));
    for (float** d : {&mask, &ccmax, &psi}) CUDA_CHECK(cudaMalloc((void**)d, (size_t)nx * nx * sizeof(float)));
    normalize_template_data(t_d, t, tnx, tny, tnz, 1, radius, p.m_edge_ratio);
    destroy_template_data(t);
    hcuda_2d_memset(mask, 1.0f, (unsigned)nx, (unsigned)nx);
    const long long angles = morvandel_psi_count(0.0f, 360.0f, o.step);

    std::printf("picker correlation: %d x %d micrograph shrunk by %d to %d x %d, template %d x %d, %lld angles "
                "(step %g), fastest of %d, %d cores\n",
                o.size, o.size, o.shrink, nx, nx, tnx, tny, angles, o.step, o.reps, omp_get_num_procs());
    std::printf("%8s %12s %12s %12s %14s %8s %8s %18s %8s\n", "threads", "time (s)", "per angle", "kept (s)",
                "FFT floor (s)", "ratio", "kept", "program (s/mic)", "ratio");
    const Scratch scratch(full, o.size, o.size, o.reps);
    for (int threads : o.threads) {
        omp_set_num_threads(threads);
        // The dots of the angle loop go to /dev/null while timed.
        double run = 0.0, kept = 0.0;
        quietly([&] {
            run = fastest(o.reps, [&] {
                morvandel_ccmax_psi_by_one_template(mic, mask, ccmax, psi, 1, nx, nx, t_d, tnx, tny,
                                                    (float)(tnx * tny), 0.0f, 360.0f, o.step);
            });
            TemplateSpectra spectra;
            morvandel_prepare_template_spectra(spectra, t_d, tnx, tny, 1, nx, nx, 0.0f, 360.0f, o.step);
            const auto kept_run = [&] {
                morvandel_ccmax_psi_by_prepared_template(mic, mask, ccmax, psi, 1, spectra, 0, (float)(tnx * tny));
            };
            kept_run();
            kept = fastest(o.reps, kept_run);
        });
        const double floor = fft_floor((unsigned)nx, (unsigned)nx, mic, angles, o.reps);
        // The whole program, per micrograph of a run over reps of them.
        const double program = program_seconds(o.morvandel, scratch, threads) / o.reps;
        std::printf("%8d %12.3f %12.4f %12.3f %14.3f %8.2f %8.2f %18.3f %8.2f\n", threads, run,
                    run / (double)angles, kept, floor, run / floor, kept / floor, program, program / floor);
        std::fflush(stdout);
    }
    for (float* d : {mic, t_d, mask, ccmax, psi}) CUDA_CHECK(cudaFree(d));
    tessoranth_free_parameters(p);
    orientation_table(o);
    return 0;
}
