// Speed of movie dose weighting: the time the driver mrcsf_dose_drift_ctf_wave_many
// takes to weight 1000 particle movies of 40 frames of 256 x 256, at 1 thread
// and at all threads, beside the per-particle host-array path that computes
// every weight on the fly inside the kernel.
//
//   dose_wave [--particles K] [--rounds R] [--frames T] [--size N] [--mode M] [--threads 1,8] [--onfly P]
//
// The particle stack (K particle movies of T frames of N x N) is written once to
// a temporary directory; the driver then runs R times over it, so K x R particle
// movies are weighted in all (default 100 x 10 = 1000) without holding them all
// in memory. The time includes reading the stack and writing the result, as the
// driver does. Each thread count runs in a child process started with
// OMP_NUM_THREADS set, so that the library and FFTW both take it. The driver's
// echo lines go to /dev/null. The on-the-fly path (gpu_2ds_fft_r2c,
// gpu_2ds_fft_dose_dft_ctf_wave, gpu_2d_fft_c2r per particle) is timed over P
// particles and scaled to K x R.
#define VORN_UNIT "bench/dose_wave"
#include <fcntl.h>
#include <omp.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cuda_fft.h"
#include "mrcfile.h"
#include "pre_shiny6.h"

namespace {

struct Options {
    int particles = 100, rounds = 10, frames = 40, size = 256, mode = 2, onfly = 10;
    std::vector<int> threads;
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        if (k == "--particles") o.particles = std::atoi(argv[i + 1]);
        else if (k == "--rounds") o.rounds = std::atoi(argv[i + 1]);
        else if (k == "--frames") o.frames = std::atoi(argv[i + 1]);
        else if (k == "--size") o.size = std::atoi(argv[i + 1]);
        else if (k == "--mode") o.mode = std::atoi(argv[i + 1]);
        else if (k == "--onfly") o.onfly = std::atoi(argv[i + 1]);
        else if (k == "--threads") {
            char* end = argv[i + 1];
            for (const char* p = end; *p != '\0'; p = end + (*end == ',')) {
                const long v = std::strtol(p, &end, 10);
                if (end == p) break;
                o.threads.push_back((int)v);
            }
        }
    }
    if (o.threads.empty()) o.threads = {1, omp_get_num_procs()};
    return o;
}

// A movie (its header gives the frame count) and its particle stack of noise.
void write_inputs(const std::string& dir, const Options& o) {
    const size_t npix = (size_t)o.size * o.size;
    std::vector<float> one(npix);
    mrcf_write_xyz_data((dir + "/movie.mrc").c_str(), one.data(), o.size, o.size, 1);
    MRC_HEAD h;
    mrcf_read_head((dir + "/movie.mrc").c_str(), &h);
    h.nz = o.frames;
    mrc_replace_head((dir + "/movie.mrc").c_str(), &h);
    std::mt19937 rng(7);
    std::normal_distribution<float> noise;
    FILE* f = std::fopen((dir + "/movie_particles.mrcs").c_str(), "wb");
    mrc_init_head(&h);
    mrc_set_head_xyz_mode(&h, o.size, o.size, o.particles * o.frames, MRC_MODE_FLOAT);
    std::fwrite(&h, sizeof(h), 1, f);
    for (int k = 0; k < o.particles * o.frames; ++k) {
        for (float& v : one) v = noise(rng);
        std::fwrite(one.data(), sizeof(float), npix, f);
    }
    std::fclose(f);
}

struct Job {
    std::vector<float> dose, ctfw;
    std::vector<float2> drift;
    std::vector<char*> movies;
    std::string movie;
    MRC_HEAD head;
    GWAVE_PARA para{};
};

void set_job(Job& j, const std::string& dir, const Options& o) {
    j.movie = dir + "/movie.mrc";
    j.movies = {(char*)j.movie.c_str(), nullptr};
    for (int f = 0; f < o.frames; ++f) {
        j.dose.push_back(1.2f * (f + 1));
        j.drift.push_back(make_float2(0.3f * std::sin(0.2f * f), 0.2f * std::cos(0.3f * f)));
    }
    for (int i = 0; i <= o.size / 2; ++i) j.ctfw.push_back(1.0f - 0.5f * i / (o.size / 2));
    j.para.apix = 1.1f;
    j.para.first = 0;
    j.para.last = o.frames - 1;
    j.para.gps = GPS_PARA{0.5f, 1.3f, 1.0f, 0.3f, 0.0f, 3, 1, o.mode};
    j.para.movies = j.movies.data();
    j.para.head = &j.head;
    j.para.dose = j.dose.data();
    j.para.drift = j.drift.data();
    j.para.ctfw = j.ctfw.data();
    gwave_set_current_parameters(j.para, 0);
}

// Runs f with standard output sent to /dev/null.
template <class F>
void silenced(F f) {
    std::fflush(stdout);
    const int saved = dup(1), null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    f();
    std::fflush(stdout);
    dup2(saved, 1);
    close(null);
    close(saved);
}

// The child: one thread count, the driver R times, then the on-the-fly path.
int child(const std::string& dir, const Options& o) {
    Job j;
    set_job(j, dir, o);
    const int total = o.particles * o.rounds;
    auto t0 = std::chrono::steady_clock::now();
    silenced([&] {
        for (int r = 0; r < o.rounds; ++r) mrcsf_dose_drift_ctf_wave_many(j.para);
    });
    const double driver = seconds_since(t0);
    double onfly = 0;
    if (o.onfly > 0 && o.mode == 2) {
        const unsigned n = o.size, nh = (n / 2 + 1) * n;
        const size_t npix = (size_t)n * n;
        float* stack = mrcf_get_data_all(j.para.ptcl_name);
        std::vector<float2> spectra((size_t)o.frames * nh), one(nh);
        std::vector<float> image(npix);
        t0 = std::chrono::steady_clock::now();
        silenced([&] {
            for (int p = 0; p < o.onfly; ++p) {
                gpu_2ds_fft_r2c(stack + (size_t)(p % o.particles) * o.frames * npix, spectra.data(), n, n, o.frames);
                gpu_2ds_fft_dose_dft_ctf_wave(spectra.data(), one.data(), n / 2 + 1, n, o.frames, j.para.apix,
                                              j.para.dose, j.para.drift, j.para.ctfw, j.para.gps);
                gpu_2d_fft_c2r(one.data(), image.data(), n, n);
            }
        });
        onfly = seconds_since(t0) * total / o.onfly;
        std::free(stack);
    }
    std::printf("%7d %9d %12.2f %14.2f %12.2f\n", omp_get_max_threads(), total, driver, 1e3 * driver / total, onfly);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (argc > 2 && std::string(argv[1]) == "--child") return child(argv[2], parse(argc - 2, argv + 2));
    char tmpl[] = "/tmp/vorn_dose_wave_XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::printf("dose weighting: %d x %d particle movies of %d frames of %d x %d, mode %d\n", o.rounds, o.particles,
                o.frames, o.size, o.size, o.mode);
    write_inputs(dir, o);
    std::printf("%7s %9s %12s %14s %12s\n", "threads", "particles", "driver (s)", "ms / particle", "on-fly (s)");
    std::fflush(stdout);
    for (int t : o.threads) {
        std::string cmd = "OMP_NUM_THREADS=" + std::to_string(t) + " '" + std::filesystem::read_symlink("/proc/self/exe").string() +
                          "' --child '" + dir + "'";
        for (int i = 1; i < argc; ++i) cmd += std::string(" '") + argv[i] + "'";
        if (std::system(cmd.c_str()) != 0) std::printf("%7d   (run failed)\n", t);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
