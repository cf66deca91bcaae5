// Speed of the volume library on a 256^3 volume: one projection (trilinear and
// nearest sampling) and one Euler rotation by each rotation kernel, on 1 thread
// and on all of them.
//
//   volume_speed [--n 256] [--reps 3] [--threads 1,8]
//
// Each thread count runs in a child process started with OMP_NUM_THREADS set,
// so that it holds for every launch. Each operation runs --reps times on device
// buffers (the host backend's device memory); the fastest run is kept.
#define VORN_UNIT "bench/volume_speed"
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cuda_general.h"
#include "process3d_raw.h"

namespace {

struct Options {
    unsigned n = 256, reps = 3;
    std::vector<int> threads;
};

double fastest(unsigned reps, const std::function<void()>& run) {
    double best = 1e30;
    for (unsigned r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    return best;
}

int child(const Options& o) {
    const unsigned n = o.n;
    const size_t voxels = (size_t)n * n * n;
    std::vector<float> h(voxels);
    unsigned s = 12345u;
    for (float& v : h) v = (float)((s = s * 1664525u + 1013904223u) >> 8) / 16777216.0f;
    float *vol = nullptr, *out = nullptr, *img = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&vol, voxels * sizeof(float)));
    CUDA_CHECK(cudaMalloc((void**)&out, voxels * sizeof(float)));
    CUDA_CHECK(cudaMalloc((void**)&img, (size_t)n * n * sizeof(float)));
    CUDA_CHECK(memcpy_H2D(vol, h.data(), voxels * sizeof(float)));
    const float c = volume_centre(n), rot = 31.0f, tilt = 57.0f, psi = -23.0f;
    const char* threads = std::getenv("OMP_NUM_THREADS");
    const auto row = [&](const char* label, double seconds) {
        std::printf("%8s %-40s %10.4f s\n", threads ? threads : "?", label, seconds);
        std::fflush(stdout);
    };
    row("projection, trilinear (hcuda_3d_project)", fastest(o.reps, [&] {
            hcuda_3d_project(img, vol, n, n, n, c, c, c, rot, tilt, psi, 0, 0);
        }));
    row("projection, nearest (hcuda_3d_project)", fastest(o.reps, [&] {
            hcuda_3d_project(img, vol, n, n, n, c, c, c, rot, tilt, psi, 0, 1);
        }));
    row("rotation (hcuda_3d_rotate)", fastest(o.reps, [&] {
            hcuda_3d_rotate(out, vol, n, n, n, c, c, c, rot, tilt, psi, 0);
        }));
    row("rotation (hcuda_3d_rotate_t2)", fastest(o.reps, [&] {
            hcuda_3d_rotate_t2(out, vol, n, n, n, c, c, c, rot, tilt, psi, 0);
        }));
    row("rotation (hcuda_3d_rotate_t3)", fastest(o.reps, [&] {
            hcuda_3d_rotate_t3(out, vol, n, n, n, c, c, c, rot, tilt, psi, 0);
        }));
    row("backprojection (hcuda_3d_backproject_one)", fastest(o.reps, [&] {
            hcuda_3d_backproject_one(out, img, n, n, n, c, c, c, rot, tilt, psi, -1);
        }));
    cudaFree_many_pointers(vol, out, img, nullptr);
    return 0;
}

std::string self_path() {
    char buf[4096];
    const ssize_t k = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (k <= 0) return "volume_speed";
    buf[k] = '\0';
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    bool is_child = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--child")) is_child = true;
        else if (!std::strcmp(argv[i], "--n") && i + 1 < argc) o.n = (unsigned)std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--reps") && i + 1 < argc) o.reps = (unsigned)std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) {
            for (char* t = std::strtok(argv[++i], ","); t; t = std::strtok(nullptr, ",")) o.threads.push_back(std::atoi(t));
        } else {
            std::fprintf(stderr, "usage: volume_speed [--n 256] [--reps 3] [--threads 1,8]\n");
            return 2;
        }
    }
    if (is_child) return child(o);
    if (o.threads.empty()) o.threads = {1, (int)sysconf(_SC_NPROCESSORS_ONLN)};
    std::printf("volume %u^3, fastest of %u runs\n%8s %-40s %12s\n", o.n, o.reps, "threads", "operation", "time");
    std::fflush(stdout);
    int status = 0;
    for (int t : o.threads) {
        const std::string cmd = "OMP_NUM_THREADS=" + std::to_string(t) + " '" + self_path() + "' --child --n " +
                                std::to_string(o.n) + " --reps " + std::to_string(o.reps);
        status |= std::system(cmd.c_str());
    }
    return status == 0 ? 0 : 1;
}
