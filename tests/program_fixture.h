// The built programs run as users run them: the words of a command line, the
// output and the exit status, and a sanitizer report failing the test.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace vorn_test {

struct RunResult {
    int status;
    std::string out;
    bool has(const std::string& text) const { return out.find(text) != std::string::npos; }
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    }
};

// Runs the built program with the words (each passed whole, blanks and all), in
// the folder dir when one is given, for at most two minutes; launcher, when
// given, is a command the program runs under (its words end with a blank).
inline RunResult run_program(const char* program, const std::vector<std::string>& words, const std::string& dir = "",
                             const std::string& launcher = "") {
    std::string command = (dir.empty() ? "" : "cd " + dir + " && ") + "timeout -k 5 120 " + launcher +
                          VORN_BINARY_DIR + "/" + program;
    for (const std::string& w : words) {
        std::string quoted;
        for (char c : w) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " '" + quoted + "'";
    }
    command += " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    RunResult r{-1, ""};
    if (p == nullptr) return r;
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, got);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // In the sanitizer build the program checks itself: a report fails the test
    // whatever status the program ended with.
    for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
        EXPECT_FALSE(r.has(report)) << r.out;
    return r;
}

// A relative path of exactly length characters ending in tail (".mrc"), its
// folders made under base: a name longer than a folder entry may be is nested
// in folders of 199 characters.
inline std::string long_relative_path(const std::string& base, size_t length, const std::string& tail) {
    std::string path;
    size_t left = length - tail.size();
    while (left > 200 + 100) {
        path += std::string(199, 'd') + "/";
        left -= 200;
    }
    std::filesystem::create_directories(base + "/" + path);
    return path + std::string(left, 'm') + tail;
}

}  // namespace vorn_test
