// Shared by the estimator's tests: a temporary directory, the simulated
// micrographs with their true CTF, small micrographs cut from them, and
// command lines as argv arrays.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ctf.h"
#include "mrcfile.h"
#include "process2d_raw.h"

namespace vorn_test {

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vorn_est_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// The true CTF of the micrographs of the simulation folder.
struct SimTruth {
    const char* file;
    const char* apix;
    const char* kv;
    const char* cs;
    const char* ac;
    float def_u, def_v, phase_shift;
};

inline const std::vector<SimTruth>& sim_micrographs() {
    static const std::vector<SimTruth> all = {
        {"sim01_df8000.mrc", "1.0", "300", "2.7", "0.1", 8000, 7500, 0},
        {"sim02_df15000.mrc", "1.0", "300", "2.7", "0.1", 15000, 14000, 0},
        {"sim03_df25000.mrc", "1.0", "300", "2.7", "0.1", 25000, 24200, 0},
        {"sim04_df35000.mrc", "1.0", "300", "2.7", "0.1", 35000, 33500, 0},
        {"sim05_pp90.mrc", "1.0", "300", "2.7", "0.1", 5000, 4800, 90},
        {"sim06_astig.mrc", "1.0", "300", "2.7", "0.1", 20000, 16000, 0},
        {"sim07_200kV.mrc", "1.35", "200", "2.0", "0.07", 12000, 11000, 0},
    };
    return all;
}

inline std::string sim_path(const char* file) { return std::string(VORN_SIM_DATA) + "/" + file; }
inline bool have_sim_data() {
    struct stat st;
    return stat(VORN_SIM_DATA, &st) == 0;
}
#define SKIP_WITHOUT_SIM_DATA()                                                         \
    if (!vorn_test::have_sim_data()) {                                                  \
        GTEST_SKIP() << "simulated micrographs not found at " << VORN_SIM_DATA; \
    }

// The damaged inputs of the estimator and the command lines that once broke it.
inline std::string hostile_estimator_path(const char* file) {
    return std::string(VORN_HOSTILE_DATA) + "/estimator/" + file;
}
#define SKIP_WITHOUT_HOSTILE_ESTIMATOR_DATA()                                                                       \
    if (!vorn_test::exists(std::string(VORN_HOSTILE_DATA) + "/estimator/README.md")) {                              \
        GTEST_SKIP() << "damaged estimator inputs not found in " << VORN_HOSTILE_DATA << "/estimator";            \
    }

// The top-left n x n pixels of a simulated micrograph, as float values.
inline std::vector<float> sim_crop(const char* file, int n) {
    MRC_HEAD* h = mrcf_get_head(sim_path(file).c_str());
    float* all = mrcf_get_data_all(sim_path(file).c_str());
    std::vector<float> crop((size_t)n * n);
    cpu_2d_extract_small_from_large(crop.data(), n, n, all, h->nx, h->ny, 0, 0);
    std::free(all);
    std::free(h);
    return crop;
}

// Writes frames (nz images of n x n) as one float MRC file.
inline void write_mrc(const std::string& name, const std::vector<float>& data, int n, int nz = 1) {
    mrcf_write_xyz_data(name.c_str(), data.data(), n, n, nz);
}

inline std::string read_text(const std::string& name) {
    std::ifstream in(name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool exists(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0;
}

// A command line whose words live as long as the object.
struct CommandLine {
    std::vector<std::string> words;
    std::vector<char*> argv;
    explicit CommandLine(std::vector<std::string> w) : words(std::move(w)) {
        words.insert(words.begin(), "vorn");
        for (std::string& s : words) argv.push_back(&s[0]);
        argv.push_back(nullptr);
    }
    int argc() const { return (int)words.size(); }
};

// Runs the whole estimator with the options over a crop x crop piece of a
// simulated micrograph written as dir/name; returns what it printed.
// seed: the refinement's seed; -1 leaves it to the clock, as the program does.
inline std::string run_estimator_on_sim_crop(const TempDir& dir, const char* sim, int crop, const std::string& name,
                                             std::vector<std::string> options, long seed = -1) {
    const std::string mic = dir.file(name);
    write_mrc(mic, sim_crop(sim, crop), crop);
    options.push_back(mic);
    CommandLine cmd(std::move(options));
    VORN_A a;
    a.ref_seed = seed;
    testing::internal::CaptureStdout();
    a.vorn_run_all(cmd.argc(), cmd.argv.data());
    return testing::internal::GetCapturedStdout();
}

}  // namespace vorn_test
