// Speed of the estimator's stages on a 4096 x 4096 micrograph, each beside its
// floor: the FFTW transforms the stage contains, measured in the same run with
// the same thread count. Ratios to the floor mean the same on a busy or a
// smaller machine; seconds alone do not.
//
//   speed [--mrc FILE] [--reps N] [--boxes 512,1024] [--threads 1,2,8] [--vorn PATH]
//   speed --write FILE    (only writes the synthetic micrograph, for profiling)
//
// Each configuration (box size, thread count) runs in a child process of its
// own, started with OMP_NUM_THREADS set, so that its peak resident set is its
// own and the thread count holds for the library and FFTW alike. The peak is
// taken after the stage has run, before the floor allocates anything. A stage is
// timed N times interleaved with its floor; the fastest of each is kept.
//
// Stages measured: spectrum (the grid power spectrum of the micrograph with
// both background subtractions, as the estimator prepares it); EPA (the
// equiphase averages of that spectrum and its log along the micrograph's CTF,
// walked together as the estimator's EPA stage walks them), whose floor is its
// chain of additions: as many dependent float additions, in three chains (two
// sums and the weight), as the walk adds samples, the threads sharing them as
// they share the bins; and the whole estimate: the built vorn program run N
// times per configuration (the fastest kept) on the same micrograph, its own
// per-stage times (its ">>>>>>TIME<<<<<<" lines), the EPA stage's time from the
// row above (vorn does not time it), its wall time and peak resident set. The
// whole estimate's ratio is to the spectrum stage's FFT floor.
//
// The synthetic micrograph carries a CTF (white noise seen through it, with
// shot noise) so that the search and refinement have something to fit; it is
// written once to a temporary MRC file that every child reads.
#define VORN_UNIT "bench/speed"
#include <fftw3.h>
#include <omp.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "../tools/ctf_simulation.h"
#include "bench_lists.h"
#include "ctf_core.h"
#include "cuda_fft.h"
#include "cuda_general.h"
#include "mrcfile.h"

namespace {

constexpr int kMicrographSide = 4096;

struct Options {
    std::string mrc;  // a given micrograph; empty: a synthetic one
    int reps = 3;
    std::vector<int> boxes{512, 1024};
    std::vector<int> threads;  // default: 1, 2 and all
    std::string vorn;          // the estimator program; default: next to this one
};

struct Micrograph {
    float* device = nullptr;
    unsigned nx = 0, ny = 0;
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <class F> double time_once(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return seconds_since(t0);
}

double peak_rss_mib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;  // kilobytes on Linux
}

float* device_floats(size_t n) {
    float* p = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&p, n * sizeof(float)));
    return p;
}

// The synthetic micrograph, written to the file the children read.
void write_synthetic_micrograph(const std::string& name) {
    SimulatedCtf t;
    t.n = kMicrographSide;
    const std::vector<float> image = simulate_ctf_micrograph(t, 15u);
    mrcf_write_xyz_data(name.c_str(), image.data(), t.n, t.n, 1);
}

Micrograph read_micrograph(const std::string& name) {
    FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) {
        std::fprintf(stderr, "speed: cannot open %s\n", name.c_str());
        std::exit(1);
    }
    MRC_HEAD h;
    if (mrc_read_head(f, &h) != 0 || h.nz < 1) {
        std::fprintf(stderr, "speed: %s is not an MRC image\n", name.c_str());
        std::exit(1);
    }
    // Slice 0, through a small buffer, so no second full-size copy counts in the peak.
    h.nz = 1;
    Micrograph m{device_floats((size_t)h.nx * h.ny), (unsigned)h.nx, (unsigned)h.ny};
    std::vector<float> chunk((size_t)64 * m.nx);
    const int read = mrc_read_all_by_chunks(f, &h, chunk.data(), chunk.size(),
                                            [&](size_t first, const float* values, size_t n) {
                                                CUDA_CHECK(memcpy_H2D(m.device + first, values, n * sizeof(float)));
                                            });
    if (read != 0) {
        std::fprintf(stderr, "speed: %s could not be read\n", name.c_str());
        std::exit(1);
    }
    std::fclose(f);
    return m;
}

// ---- the spectrum stage and its floor ----

struct SpectrumSetup {
    unsigned box;
    int step, convsize, convs_out;
    unsigned cols, rows;
};

// As the estimator sets them: tile step for overlap 0.5, background boxes box/12 and box/7.
SpectrumSetup spectrum_setup(const Micrograph& m, unsigned box) {
    const int step = (int)(box * (1.0 - 0.5));
    return SpectrumSetup{box, step, (int)box / 12, (int)box / 7, (m.nx - box) / step + 1, (m.ny - box) / step + 1};
}

struct SpectrumArrays {
    float *A, *L, *S, *S2;
};

void spectrum_stage(const Micrograph& m, const SpectrumSetup& s, const SpectrumArrays& a) {
    hcuda_2d_gridfft_r2c_amp_ave_log_subbg3(m.device, a.A, a.L, a.S, m.nx, m.ny, s.box, s.box, s.step, s.convsize);
    hcuda_2dh_fftA_subbg(a.S2, a.L, s.box / 2 + 1, s.box, s.convs_out);
}

// The transforms of all the stage's boxes: one FFTW plan over a row of boxes read
// in place from the micrograph, run once per box row.
struct SpectrumFloor {
    fftwf_plan plan = nullptr;
    fftwf_complex* out = nullptr;
    const Micrograph* m = nullptr;
    SpectrumSetup s{};

    SpectrumFloor(const Micrograph& mic, const SpectrumSetup& setup) : m(&mic), s(setup) {
        const int nxh = (int)s.box / 2 + 1;
        out = fftwf_alloc_complex((size_t)s.cols * nxh * s.box);
        fftwf_plan_with_nthreads(omp_get_max_threads());
        const fftwf_iodim dims[2] = {{(int)s.box, (int)m->nx, nxh}, {(int)s.box, 1, 1}};
        const fftwf_iodim batch[1] = {{(int)s.cols, s.step, nxh * (int)s.box}};
        plan = fftwf_plan_guru_dft_r2c(2, dims, 1, batch, m->device, out, FFTW_ESTIMATE);
        if (!plan) {
            std::fprintf(stderr, "speed: FFTW made no plan for the floor\n");
            std::exit(1);
        }
    }
    ~SpectrumFloor() {
        fftwf_destroy_plan(plan);
        fftwf_free(out);
    }
    void run() const {
        for (unsigned r = 0; r < s.rows; ++r)
            fftwf_execute_dft_r2c(plan, m->device + (size_t)r * s.step * m->nx, out);
    }
};

// ---- the EPA stage and its floor ----

// As the estimator runs it at its defaults (4 bins a pixel, 30 A to 2 apix +
// 0.1), along the synthetic micrograph's CTF.
struct EpaSetup {
    int k = 4;
    SimulatedCtf ctf;
    float low = 30.0f, high = 2.0f * 1.0f + 0.1f;
};

void epa_stage(const SpectrumSetup& s, const SpectrumArrays& a, float* out_spec, float* out_log, const EpaSetup& e) {
    const SimulatedCtf& c = e.ctf;
    hcuda_2dh_X_EPA_res_pair(out_spec, out_log, e.k, a.S, a.L, (int)s.box / 2 + 1, (int)s.box, c.apix, c.kV, c.cs,
                             c.ac, 0.0f, c.U, c.V, c.A, e.low, e.high);
}

// Where the chains' sums go, so that they are not optimised away.
volatile float chains_sink;

// Three chains of dependent float additions, `samples` long in all, shared by the threads.
void addition_chains(size_t samples, const std::vector<float>& values) {
    const size_t mask = values.size() - 1;  // a power of two
    float total = 0.0f;
#pragma omp parallel reduction(+ : total)
    {
        const size_t share = samples / (size_t)omp_get_num_threads();
        float s0 = 0.0f, s1 = 0.0f, w = 1e-6f;
        for (size_t i = 0; i < share; ++i) {
            s0 += values[i & mask];
            s1 += values[(i + 1) & mask];
            w += values[(i + 2) & mask];
        }
        total += s0 + s1 + w;
    }
    chains_sink = total;
}

// ---- one configuration, in a child process ----

struct Timing {
    double stage = 1e30, floor = 1e30;
};

int run_child(const Options& o, unsigned box) {
    fftwf_init_threads();
    Micrograph m = read_micrograph(o.mrc);
    if (m.nx < box || m.ny < box) {
        std::printf("skip\n");
        return 0;
    }
    const SpectrumSetup s = spectrum_setup(m, box);
    const size_t nh = (size_t)(box / 2 + 1) * box;
    SpectrumArrays a{device_floats(nh), device_floats(nh), device_floats(nh), device_floats(nh)};
    Timing t;
    spectrum_stage(m, s, a);  // warm-up: first-touch of scratch, FFTW's twiddles
    const double stage_rss = peak_rss_mib();  // before the floor's own arrays
    const SpectrumFloor floor(m, s);
    floor.run();
    for (int k = 0; k < o.reps; ++k) {
        t.stage = std::min(t.stage, time_once([&] { spectrum_stage(m, s, a); }));
        t.floor = std::min(t.floor, time_once([&] { floor.run(); }));
    }
    const double mic_mib = (double)m.nx * m.ny * sizeof(float) / (1024.0 * 1024.0);
    // One machine-readable line per stage for the parent.
    std::printf("spectrum %u %d %.4f %.4f %.1f %.1f\n", s.cols * s.rows, s.step, t.stage, t.floor, stage_rss, mic_mib);

    const EpaSetup e;
    const size_t bins = (size_t)e.k * (box / 2) + 1;
    float* out_spec = device_floats(bins);
    float* out_log = device_floats(bins);
    const size_t samples = epa_profile_samples(e.k, (int)box / 2 + 1, (int)box, e.ctf.apix, e.ctf.kV, e.ctf.cs,
                                               e.ctf.U, e.ctf.V, e.ctf.A, e.low, e.high);
    std::vector<float> values(4096);
    for (size_t i = 0; i < values.size(); ++i) values[i] = 1.0f / (float)(i + 1);
    Timing epa;
    epa_stage(s, a, out_spec, out_log, e);
    for (int k = 0; k < o.reps; ++k) {
        epa.stage = std::min(epa.stage, time_once([&] { epa_stage(s, a, out_spec, out_log, e); }));
        epa.floor = std::min(epa.floor, time_once([&] { addition_chains(samples, values); }));
    }
    std::printf("epa %zu %d %.4f %.4f %.1f %.1f\n", samples, 0, epa.stage, epa.floor, 0.0, mic_mib);
    return 0;
}

// ---- the parent: one child per configuration, one table ----

std::string self_path() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return "speed";
    buf[n] = '\0';
    return buf;
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string child_command(const Options& o, const std::string& mic, unsigned box, int threads) {
    return "OMP_NUM_THREADS=" + std::to_string(threads) + " '" + self_path() + "' --child " + std::to_string(box) +
           " --reps " + std::to_string(o.reps) + " --mrc '" + mic + "'";
}

// A scratch directory for the micrograph and everything vorn writes beside it.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char name[] = "/tmp/vorn-speed-XXXXXX";
        if (!mkdtemp(name)) {
            std::perror("speed: mkdtemp");
            std::exit(1);
        }
        path = name;
    }
    ~ScratchDir() {
        if (DIR* d = opendir(path.c_str())) {
            while (const dirent* e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    unlink((path + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(path.c_str());
    }
};

struct StageTime {
    std::string label;
    double seconds;
};

struct EstimateRun {
    bool ok = false;
    double wall = 0.0, peak_mib = 0.0;
    std::vector<StageTime> stages;  // in the order vorn printed them
};

// A ">>>>>>TIME<<<<<<%64s: %fs" line of vorn: its label and seconds.
bool parse_time_line(const char* line, StageTime& t) {
    static const char tag[] = ">>>>>>TIME<<<<<<";
    const char* p = std::strstr(line, tag);
    if (!p) return false;
    p += sizeof(tag) - 1;
    const char* colon = std::strrchr(p, ':');
    if (!colon || std::sscanf(colon + 1, "%lf", &t.seconds) != 1) return false;
    while (p < colon && *p == ' ') ++p;
    t.label.assign(p, colon);
    return true;
}

// Runs vorn on the micrograph with the thread count; its stage times from its
// output, its wall time and peak resident set from the kernel.
EstimateRun run_estimate(const Options& o, const std::string& mic, unsigned box, int threads) {
    EstimateRun r;
    const std::vector<std::string> words = {o.vorn, "--apix", "1.0", "--kV", "300", "--cs", "2.7", "--ac", "0.1",
                                            "--boxsize", std::to_string(box), "--ctfstar", "NONE", mic};
    std::vector<char*> argv;
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    int fd[2];
    if (pipe(fd) != 0) return r;
    std::fflush(stdout);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        dup2(fd[1], STDOUT_FILENO);
        close(fd[0]);
        close(fd[1]);
        setenv("OMP_NUM_THREADS", std::to_string(threads).c_str(), 1);
        execv(argv[0], argv.data());
        std::perror(argv[0]);
        _exit(127);
    }
    close(fd[1]);
    FILE* out = fdopen(fd[0], "r");
    char line[1024];
    StageTime t;
    while (out && std::fgets(line, sizeof line, out))
        if (parse_time_line(line, t)) r.stages.push_back(t);
    if (out) std::fclose(out);
    int status = 0;
    rusage u{};
    if (wait4(pid, &status, 0, &u) < 0) return r;
    r.wall = seconds_since(t0);
    r.peak_mib = u.ru_maxrss / 1024.0;  // kilobytes on Linux
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// The fastest of the configured number of runs (a failed run ends the series).
EstimateRun fastest_estimate(const Options& o, const std::string& mic, unsigned box, int threads) {
    EstimateRun best;
    for (int k = 0; k < o.reps; ++k) {
        const EstimateRun r = run_estimate(o, mic, box, threads);
        if (!r.ok) return r;
        if (!best.ok || r.wall < best.wall) best = r;
    }
    return best;
}

void print_estimate(const EstimateRun& r, int box, int threads, double spectrum_floor, double epa_time) {
    if (!r.ok) {
        std::printf("%-14s %5d %5s %5s %7d   (vorn failed)\n", "whole", box, "-", "-", threads);
        return;
    }
    double timed = 0.0;
    for (const StageTime& t : r.stages) {
        std::printf("  %-12s %5d %5s %5s %7d %10.3f\n", t.label.c_str(), box, "-", "-", threads, t.seconds);
        timed += t.seconds;
    }
    // The EPA stage, which vorn does not time, as the bench's EPA row timed it.
    std::printf("  %-12s %5d %5s %5s %7d %10.3f\n", "EPA", box, "-", "-", threads, epa_time);
    // What neither times: process start and exit, and the work between the stages.
    std::printf("  %-12s %5d %5s %5s %7d %10.3f\n", "(untimed)", box, "-", "-", threads, r.wall - timed - epa_time);
    if (spectrum_floor > 0.0)
        std::printf("%-14s %5d %5s %5s %7d %10.3f %10.3f %7.1f %10.0f  (floor: spectrum FFTs only)\n", "whole", box,
                    "-", "-", threads, r.wall, spectrum_floor, r.wall / spectrum_floor, r.peak_mib);
    else
        std::printf("%-14s %5d %5s %5s %7d %10.3f %10s %7s %10.0f\n", "whole", box, "-", "-", threads, r.wall, "-",
                    "-", r.peak_mib);
}

int run_parent(const Options& o) {
    const ScratchDir scratch;
    const std::string mic = scratch.path + "/micrograph.mrc";
    if (o.mrc.empty()) {
        write_synthetic_micrograph(mic);
    } else {
        // A link in the scratch directory, so that vorn's outputs land there.
        char* full = realpath(o.mrc.c_str(), nullptr);
        if (!full || symlink(full, mic.c_str()) != 0) {
            std::fprintf(stderr, "speed: cannot use %s\n", o.mrc.c_str());
            std::free(full);
            return 1;
        }
        std::free(full);
    }
    std::printf("vorn speed: %s micrograph, %d cores; fastest of %d runs, floor = FFTW transforms of the same boxes\n",
                o.mrc.empty() ? "synthetic 4096 x 4096 (with a CTF)" : o.mrc.c_str(), omp_get_num_procs(), o.reps);
    std::printf("whole = the fastest run of %s (wall time, peak of its process); indented rows: its own stage times\n",
                o.vorn.c_str());
    std::printf("%-14s %5s %5s %5s %7s %10s %10s %7s %10s\n", "stage", "box", "boxes", "step", "threads", "time (s)",
                "floor (s)", "ratio", "peak (MiB)");
    std::fflush(stdout);
    for (int box : o.boxes)
        for (int threads : o.threads) {
            // One line per stage the child measured.
            FILE* p = popen(child_command(o, mic, (unsigned)box, threads).c_str(), "r");
            char line[512];
            int stages = 0;
            double spectrum_floor = 0.0, epa_time = 0.0;
            while (p && std::fgets(line, sizeof(line), p)) {
                char name[32];
                size_t count;
                int step;
                double stage, floor, rss, mic_mib;
                if (std::sscanf(line, "%31s %zu %d %lf %lf %lf %lf", name, &count, &step, &stage, &floor, &rss,
                                &mic_mib) != 7)
                    continue;
                if (std::strcmp(name, "epa") == 0) {
                    // (Its peak would be the benchmark's own, with the floor's arrays.)
                    std::printf("%-14s %5d %5s %5s %7d %10.3f %10.3f %7.2f %10s  (floor: %.1f M additions in a chain)\n",
                                "EPA", box, "-", "-", threads, stage, floor, stage / floor, "-", count / 1e6);
                    epa_time = stage;
                } else {
                    std::printf("%-14s %5d %5zu %5d %7d %10.3f %10.3f %7.2f %10.0f  (micrograph %.0f + %.0f)\n", name,
                                box, count, step, threads, stage, floor, stage / floor, rss, mic_mib, rss - mic_mib);
                    spectrum_floor = floor;
                }
                std::fflush(stdout);
                ++stages;
            }
            if (p) pclose(p);
            if (stages == 0) {
                std::printf("%-14s %5d %5s %5s %7d   (failed)\n", "-", box, "-", "-", threads);
                continue;
            }
            print_estimate(fastest_estimate(o, mic, (unsigned)box, threads), box, threads, spectrum_floor, epa_time);
            std::fflush(stdout);
        }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int child_box = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--mrc" && has_value) o.mrc = argv[++i];
        else if (a == "--reps" && has_value) o.reps = std::max(1, std::atoi(argv[++i]));
        else if (a == "--boxes" && has_value) o.boxes = int_list(argv[++i]);
        else if (a == "--threads" && has_value) o.threads = int_list(argv[++i]);
        else if (a == "--vorn" && has_value) o.vorn = argv[++i];
        else if (a == "--child" && has_value) child_box = std::atoi(argv[++i]);
        else if (a == "--write" && has_value) {
            write_synthetic_micrograph(argv[++i]);
            return 0;
        }
        else {
            std::fprintf(stderr, "usage: speed [--mrc FILE] [--reps N] [--boxes 512,1024] [--threads 1,2,%d] [--vorn PATH]\n"
                         "       speed --write FILE\n",
                         omp_get_num_procs());
            return 2;
        }
    }
    if (child_box > 0) return run_child(o, (unsigned)child_box);
    if (o.threads.empty()) o.threads = {1, 2, omp_get_num_procs()};
    if (o.vorn.empty()) o.vorn = directory_of(self_path()) + "/vorn";
    return run_parent(o);
}
