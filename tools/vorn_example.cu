// The bundled example: writes a micrograph with a known CTF, made with the
// library's own CTF simulation, runs the estimator on it and prints the truth
// beside what the estimator found.
//
//   vorn_example <vorn program> <output directory>
//
// The micrograph is 2048 x 2048 pixels of 1.0 A at 300 kV, Cs 2.7 mm, amplitude
// contrast 0.1, defocus U 15000 A, V 14000 A, astigmatism angle 30 degrees: a
// specimen of white noise seen through that CTF, recorded with shot noise at
// 10 electrons per pixel.
#define VORN_UNIT "tools/vorn_example"
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ctf_simulation.h"
#include "mrcfile.h"

namespace {

// Runs the program with the arguments; its exit status, or -1.
int run(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execv(argv[0], argv.data());
        std::perror(argv[0]);
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// The defocus of the best score of the 1D search table in the log ("%8d %10.3f %10.6f").
bool defocus_from_log(const std::string& log, float& defocus, float& step) {
    FILE* f = std::fopen(log.c_str(), "r");
    if (f == nullptr) return false;
    char line[1024];
    bool found = false, searching = false;
    float best = 0.0f, previous = 0.0f;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "Reading file:", 13) == 0) searching = true;
        int index;
        float def, score;
        char rest;
        if (!searching || std::sscanf(line, "%d %f %f %c", &index, &def, &score, &rest) != 3) continue;
        if (index == 1) step = def - previous;
        previous = def;
        if (!found || score > best) {
            best = score;
            defocus = def;
            found = true;
        }
    }
    std::fclose(f);
    return found;
}

// The refined U, V, angle and score of the log's "Final Values" line.
bool final_values_from_log(const std::string& log, float& U, float& V, float& A, float& ccc) {
    FILE* f = std::fopen(log.c_str(), "r");
    if (f == nullptr) return false;
    char line[1024];
    bool found = false;
    while (std::fgets(line, sizeof line, f))
        if (std::strstr(line, "Final Values") != nullptr && std::sscanf(line, "%f %f %f %f", &U, &V, &A, &ccc) == 4)
            found = true;
    std::fclose(f);
    return found;
}

// The same CTF written with U the larger defocus, angle in [0, 180).
void larger_defocus_first(float& U, float& V, float& A) {
    if (U < V) {
        std::swap(U, V);
        A += 90.0f;
    }
    A = std::fmod(std::fmod(A, 180.0f) + 180.0f, 180.0f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("Usage: %s <vorn program> <output directory>\n", argv[0]);
        return 1;
    }
    const std::string vorn = argv[1], dir = argv[2];
    mkdir(dir.c_str(), 0755);
    const std::string mic = dir + "/example.mrc", log = dir + "/example_vorn.log";
    const SimulatedCtf t;

    std::printf("Writing the example micrograph %s ...\n", mic.c_str());
    const std::vector<float> image = simulate_ctf_micrograph(t, 20170510u);
    mrcf_write_xyz_data(mic.c_str(), image.data(), t.n, t.n, 1);

    const std::vector<std::string> command = {vorn,   "--apix", "1.0",     "--kV", "300", "--cs", "2.7", "--ac", "0.1",
                                              "--ctfstar", dir + "/example_ctf.star", mic};
    std::printf("Running:");
    for (const std::string& w : command) std::printf(" %s", w.c_str());
    std::printf("\n\n");
    const int status = run(command);
    if (status != 0) {
        std::printf("vorn ended with status %d\n", status);
        return 1;
    }

    float defocus = 0.0f, step = 0.0f;
    if (!defocus_from_log(log, defocus, step)) {
        std::printf("No 1D search table in %s\n", log.c_str());
        return 1;
    }
    std::printf("\nExample micrograph %s: %d x %d pixels of %.1f A, %.0f kV, Cs %.1f mm, amplitude contrast %.2f\n",
                mic.c_str(), t.n, t.n, t.apix, t.kV, t.cs, t.ac);
    float U = 0.0f, V = 0.0f, A = 0.0f, ccc = 0.0f;
    if (!final_values_from_log(log, U, V, A, ccc)) {
        std::printf("No Final Values line in %s\n", log.c_str());
        return 1;
    }
    larger_defocus_first(U, V, A);
    std::printf("                          truth        vorn\n");
    std::printf("  defocus U (A)      %10.1f  %10.1f\n", t.U, U);
    std::printf("  defocus V (A)      %10.1f  %10.1f\n", t.V, V);
    std::printf("  angle (degrees)    %10.1f  %10.1f\n", t.A, A);
    std::printf("  mean defocus (A)   %10.1f  %10.1f   (1D search, grid step %.0f A)\n", 0.5f * (t.U + t.V), defocus,
                step);
    std::printf("  figure of merit                %10.4f\n", ccc);
    return 0;
}
