// What every reader fuzz target shares: a fatal line (exit status 1) counts as
// a clean rejection, the input as a file on disk, and the seed corpus the
// target writes for itself.
//
// The targets are linked with -Wl,--wrap=exit,--wrap=fopen,--wrap=fclose.
// Inside reject_or_run(), exit(1) jumps back to the harness instead of ending
// the process; the streams the reader left open are closed and the memory it
// still held is given back (the sanitizer allocator reports every block made
// and freed during the call), so the fuzzer goes on with the next input in the
// state it had before. Any other exit status, an exit outside a reader, a
// crash, a sanitizer report, a hang (-timeout), a large allocation
// (-malloc_limit_mb) or a failed oracle (FINDING) is a finding.
//
// The blocks left behind by a fatal line are given back with free() whatever
// allocated them, so the targets run with ASAN_OPTIONS=alloc_dealloc_mismatch=0.
#pragma once
#include <dirent.h>
#include <sanitizer/allocator_interface.h>
#include <setjmp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

extern "C" {
[[noreturn]] void __real_exit(int status);
FILE* __real_fopen(const char* path, const char* mode);
int __real_fclose(FILE* f);
}

namespace fuzz {

// ---- the blocks and streams a reader holds (no allocation in here: the
// allocator hooks call it) ----

constexpr size_t SLOTS = 1 << 14;
const void* const GONE = reinterpret_cast<const void*>(1);

struct Held {
    const void* blocks[SLOTS];  // open addressing: nullptr empty, GONE freed
    size_t used[SLOTS];         // slots written since the last reset
    size_t n_used;
    bool overflow;              // too many blocks: what is left is not given back
    FILE* streams[64];
    size_t n_streams;
};
inline Held& held() {
    static Held h;
    return h;
}
// True on the reader's thread while a reader runs (the hooks see every thread).
inline bool& watching() {
    static thread_local bool on = false;
    return on;
}

inline size_t slot_of(const void* p) { return (size_t)(((uintptr_t)p >> 4) * 0x9E3779B97F4A7C15ull >> 50); }

inline void on_alloc(const volatile void* p, size_t) {
    if (!watching()) return;
    Held& h = held();
    if (h.n_used >= SLOTS * 3 / 4) {
        h.overflow = true;
        return;
    }
    for (size_t s = slot_of((const void*)p);; s = (s + 1) % SLOTS) {
        if (h.blocks[s] != nullptr && h.blocks[s] != GONE) continue;
        if (h.blocks[s] == nullptr) h.used[h.n_used++] = s;
        h.blocks[s] = (const void*)p;
        return;
    }
}

inline void on_free(const volatile void* p) {
    if (!watching()) return;
    Held& h = held();
    for (size_t s = slot_of((const void*)p); h.blocks[s] != nullptr; s = (s + 1) % SLOTS)
        if (h.blocks[s] == (const void*)p) {
            h.blocks[s] = GONE;
            return;
        }
}

inline void reset_held() {
    Held& h = held();
    for (size_t i = 0; i < h.n_used; ++i) h.blocks[h.used[i]] = nullptr;
    h.n_used = 0;
    h.n_streams = 0;
    h.overflow = false;
}

// Gives back what a reader held when it ended with the fatal line.
inline void give_back_held() {
    Held& h = held();
    for (size_t i = 0; i < h.n_streams; ++i)
        if (h.streams[i] != nullptr) __real_fclose(h.streams[i]);
    h.n_streams = 0;
    for (size_t i = 0; i < h.n_used; ++i) {
        const void* p = h.blocks[h.used[i]];
        if (p != GONE && p != nullptr) std::free(const_cast<void*>(p));
    }
    reset_held();
}

inline jmp_buf& rejection_point() {
    static jmp_buf point;
    return point;
}

// ---- harness buffers ----

// Buffers the harness hands to a reader: made outside the reader's watch, kept
// here rather than on a stack frame the jump may leave, given back when the
// next input starts.
inline std::vector<std::vector<unsigned char>>& scratch_buffers() {
    static std::vector<std::vector<unsigned char>> buffers;
    return buffers;
}
template <class T>
T* scratch(size_t n, T fill) {
    const bool was = watching();
    watching() = false;
    std::vector<unsigned char>& b = scratch_buffers().emplace_back(n * sizeof(T));
    watching() = was;
    T* p = reinterpret_cast<T*>(b.data());
    std::fill(p, p + n, fill);
    return p;
}

// Runs read(); true when it returned, false when it ended with the fatal line
// (exit status 1), after which what it held is given back.
template <class Read>
bool reject_or_run(Read read) {
    scratch_buffers().clear();
    reset_held();
    watching() = true;
    if (setjmp(rejection_point()) != 0) {
        give_back_held();
        watching() = false;
        return false;
    }
    read();
    watching() = false;
    reset_held();
    return true;
}

// Stops the fuzzer with a message when an oracle of the harness is not met.
[[noreturn]] inline void finding(const char* what) {
    std::fprintf(stderr, "FINDING: %s\n", what);
    std::abort();
}

// A private directory for the input files of this process.
inline const char* work_dir() {
    // Plain storage: still there when the exit handler runs. Memory-backed when it can be.
    static char dir[32];
    static const bool made = [] {
        bool ok = false;
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::snprintf(dir, sizeof dir, "%s/vorn_fuzz_XXXXXX", base);
            if ((ok = mkdtemp(dir) != nullptr)) break;
        }
        if (!ok) finding("cannot make a work directory");
        std::atexit([] {
            char command[64];
            std::snprintf(command, sizeof command, "rm -rf %s", dir);
            if (std::system(command) != 0) std::fprintf(stderr, "could not remove %s\n", dir);
        });
        return true;
    }();
    (void)made;
    return dir;
}

inline std::string write_input(const char* name, const uint8_t* data, size_t size) {
    const std::string path = std::string(work_dir()) + "/" + name;
    FILE* f = __real_fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size) finding("cannot write the input file");
    __real_fclose(f);
    return path;
}

inline int32_t le32(const uint8_t* p) {
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

// ---- independent models of text files, for the oracles ----

// The file as whole lines (newline kept), each cut at its first NUL byte.
inline std::vector<std::string> whole_lines_of(const uint8_t* data, size_t size) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < size) {
        size_t end = at;
        while (end < size && data[end] != '\n') ++end;
        const size_t stop = end < size ? end + 1 : end;
        std::string line((const char*)data + at, stop - at);
        lines.push_back(line.substr(0, std::strlen(line.c_str())));
        at = stop;
    }
    return lines;
}

// At most max words of a line, split at the characters of space.
inline std::vector<std::string> words_of(const std::string& line, const char* space, size_t max) {
    std::vector<std::string> words;
    size_t i = 0;
    while (words.size() < max) {
        i = line.find_first_not_of(space, i);
        if (i == std::string::npos) break;
        const size_t j = std::min(line.find_first_of(space, i), line.size());
        words.push_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

// A number as a whole word: an optional sign and digits; for a real at most one
// point among them (at least one digit) and an optional exponent.
inline bool number_form(const std::string& w, bool integer) {
    size_t i = (!w.empty() && (w[0] == '+' || w[0] == '-')) ? 1 : 0, digits = 0;
    for (; i < w.size() && std::isdigit((unsigned char)w[i]); ++i) ++digits;
    if (integer) return digits > 0 && i == w.size();
    if (i < w.size() && w[i] == '.')
        for (++i; i < w.size() && std::isdigit((unsigned char)w[i]); ++i) ++digits;
    if (digits == 0) return false;
    if (i < w.size() && (w[i] == 'e' || w[i] == 'E')) {
        ++i;
        if (i < w.size() && (w[i] == '+' || w[i] == '-')) ++i;
        size_t exp = 0;
        for (; i < w.size() && std::isdigit((unsigned char)w[i]); ++i) ++exp;
        if (exp == 0) return false;
    }
    return i == w.size();
}

// A whole-word integer that fits an int.
inline bool int_word(const std::string& w, int& v) {
    if (!number_form(w, true)) return false;
    errno = 0;
    const long long x = std::strtoll(w.c_str(), nullptr, 10);
    if (errno == ERANGE || x < INT_MIN || x > INT_MAX) return false;
    v = (int)x;
    return true;
}

// A whole-word real that is finite in single precision.
inline bool real_word(const std::string& w, float& v) {
    if (!number_form(w, false)) return false;
    const double x = std::strtod(w.c_str(), nullptr);
    if (!(std::fabs(x) <= (double)FLT_MAX)) return false;
    v = (float)x;
    return true;
}

typedef std::vector<std::pair<std::string, std::string>> Seeds;

// Writes the seeds into the first corpus directory named on the command line
// (made when missing) when it holds no file yet.
inline void write_seeds(int argc, char** argv, const Seeds& seeds) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') continue;
        const std::string dir = argv[i];
        for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {  // mkdir -p
            mkdir(dir.substr(0, slash).c_str(), 0755);
            if (slash == std::string::npos) break;
        }
        DIR* d = opendir(argv[i]);
        if (d == nullptr) return;
        bool empty = true;
        for (dirent* e; (e = readdir(d)) != nullptr;)
            if (e->d_name[0] != '.') empty = false;
        closedir(d);
        if (!empty) return;
        for (const auto& [name, bytes] : seeds) {
            FILE* f = __real_fopen((dir + "/" + name).c_str(), "wb");
            if (f == nullptr) return;
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            __real_fclose(f);
        }
        return;
    }
}

// Once, before the first input: the hooks, a standard output buffer that is
// not taken from the heap (a block no reader owns), and the seeds.
inline void start(int argc, char** argv, const Seeds& seeds) {
    static char out_buffer[1 << 16];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    if (__sanitizer_install_malloc_and_free_hooks(on_alloc, on_free) == 0) finding("no allocator hooks");
    work_dir();
    write_seeds(argc, argv, seeds);
}

}  // namespace fuzz

// The definitions of the wrapped symbols live in the one target that includes this.
extern "C" {
[[noreturn]] void __wrap_exit(int status) {
    if (status == 1 && fuzz::watching()) longjmp(fuzz::rejection_point(), 1);
    __real_exit(status);
}
FILE* __wrap_fopen(const char* path, const char* mode) {
    FILE* f = __real_fopen(path, mode);
    fuzz::Held& h = fuzz::held();
    if (f != nullptr && fuzz::watching() && h.n_streams < 64) h.streams[h.n_streams++] = f;
    return f;
}
int __wrap_fclose(FILE* f) {
    fuzz::Held& h = fuzz::held();
    for (size_t i = 0; i < h.n_streams; ++i)
        if (h.streams[i] == f) h.streams[i] = nullptr;
    return __real_fclose(f);
}
}
