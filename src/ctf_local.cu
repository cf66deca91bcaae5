// Jittered coordinate searches of the defocus on one half spectrum, and the
// validation that restarts them from displaced values band by band.
#define VORN_UNIT "src/ctf_local"
#include "ctf_local.h"

#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <ctime>

#include "cuda_fast_sum.h"
#include "refinement_core.h"

void print_stdout_and_log(FILE* log, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (log != nullptr) {
        va_list again;
        va_copy(again, ap);
        std::vfprintf(log, fmt, again);
        va_end(again);
    }
    std::vprintf(fmt, ap);
    va_end(ap);
}

namespace {

constexpr int kSearchCycles = 100;
constexpr float kAngleTolerance = 0.5f;    // degrees
constexpr float kDefocusTolerance = 1.0f;  // A
constexpr float kAngleJitter = 0.5f / 20.0f;
constexpr float kDefocusJitter = 1.0f / 20.0f;

// Everything of a search but the point: the spectrum, the scratch the score
// works in, and the fixed CTF parameters.
struct SearchSetup {
    const float* spectrum;
    float* scratch;
    float apix;
    int nx, ny;
    float P, kV, Cs, AC, B, low, high;

    int nxh() const { return nx / 2 + 1; }
    size_t count() const { return (size_t)nxh() * (size_t)ny; }
    float score(float U, float V, float A) const {
        return ctf_tcf_swr_2dh(scratch, spectrum, apix, nxh(), ny, P, kV, Cs, AC, U, V, A, B, low, high);
    }
    // The score at mean defocus M and half-difference H.
    float score_mh(float M, float H, float A) const { return score(M - H, M + H, A); }
    void simulate(float U, float V, float A) const {
        hcuda_ctf_sim_2dh_c(scratch, nxh(), ny, apix, kV, Cs, AC, P, U, V, A, B, low, high, 'A');
    }
    // Sum of the squares of a half spectrum within the band; consumes the scratch.
    float band_energy(const float* half) const {
        hcuda_2dh_res_based_square(scratch, half, apix, nxh(), ny, low, high);
        return hcuda_fast_sum_inplace(scratch, count(), 1024);
    }
    // The raw score L normalised by the band norms of the simulation at (U, V, A)
    // and of the spectrum; 0 when either norm is 0.
    float normalised_score(float L, float U, float V, float A) const {
        simulate(U, V, A);
        const float f2 = band_energy(scratch);
        const float g2 = band_energy(spectrum);
        if (f2 == 0.0f || g2 == 0.0f) return 0.0f;
        return L / std::sqrt(f2) / std::sqrt(g2);
    }
};

// One search parameter: its current and previous value.
struct LineValue {
    float cur, prev;
    bool moving(float tolerance) const { return std::fabs(cur - prev) > tolerance; }
};

// One jittered line step maximising f from x, whose reference score is ref.
// Returns the score of the point kept (ref when x.cur stays).
template <class F>
float jittered_line_step(LineValue& x, float ref, float jitter, F f) {
    const float r = (float)(rand() * RF_RAND_SCALE);
    const float trial = x.cur + x.cur - x.prev + r * jitter;
    const float trial_score = f(trial);
    if (trial_score > ref) {
        x.prev = x.cur;
        x.cur = trial;
        return trial_score;
    }
    const float mid = trial_score > f(x.prev) ? (trial + x.cur) * 0.5f : (x.prev + x.cur) * 0.5f;
    const float mid_score = f(mid);
    if (mid_score > ref) {
        x.prev = x.cur;
        x.cur = mid;
        return mid_score;
    }
    x.prev = mid;
    return ref;
}

// Angle, mean and half-difference of a search with its best raw score L.
struct SearchPoint {
    LineValue A, M, H;
    float L;
    float U() const { return M.cur - H.cur; }
    float V() const { return M.cur + H.cur; }
};

// The start of the full search: the order of U0 and V0 and the side of the
// angle step that score better.
SearchPoint start_search(const SearchSetup& s, float U0, float V0, float A0, float defocus_step, float angle_step) {
    const float S0 = s.score(U0, V0, A0);
    const float swapped = s.score(V0, U0, A0);
    const float turned = s.score(U0, V0, A0 + angle_step);
    SearchPoint p;
    const float M = (U0 + V0) * 0.5f;
    const float H = S0 > swapped ? (V0 - U0) * 0.5f : (U0 - V0) * 0.5f;
    p.H = {H, -H};
    p.A = turned > S0 ? LineValue{A0 + angle_step, A0} : LineValue{A0, A0 + angle_step};
    p.L = turned > S0 ? turned : S0;
    p.M = {M, M - defocus_step};
    return p;
}

// Cycles of line steps on the angle, the mean and the half-difference; true when
// all three converged within the cycle limit.
bool run_search_cycles(const SearchSetup& s, SearchPoint& p) {
    for (int cycle = 0; cycle < kSearchCycles; ++cycle) {
        const bool angle_done = !p.A.moving(kAngleTolerance);
        if (!angle_done) {
            const float M = p.M.cur, H = p.H.cur;
            p.L = jittered_line_step(p.A, s.score_mh(M, H, p.A.cur), kAngleJitter,
                                     [&](float a) { return s.score_mh(M, H, a); });
        }
        const bool mean_done = !p.M.moving(kDefocusTolerance);
        if (!mean_done)
            p.L = jittered_line_step(p.M, p.L, kDefocusJitter, [&](float m) { return s.score_mh(m, p.H.cur, p.A.cur); });
        if (p.H.moving(kDefocusTolerance))
            p.L = jittered_line_step(p.H, p.L, kDefocusJitter, [&](float h) { return s.score_mh(p.M.cur, h, p.A.cur); });
        else if (angle_done && mean_done)
            return true;
    }
    return false;
}

float fold_angle(float A) { return A - 180.0f * std::floor((A + 90.0f) / 180.0f); }

void reseed_from_clock() { srand((unsigned)time(nullptr)); }

// The search over angle, mean and half-difference from (U0, V0, A0), the
// generator reseeded first; the angle is folded on a normal end. True when the
// search ended within the cycle limit.
bool full_search(const SearchSetup& s, SearchPoint& p, float U0, float V0, float A0, float defocus_step,
                 float angle_step) {
    reseed_from_clock();
    p = start_search(s, U0, V0, A0, defocus_step, angle_step);
    const bool ended = run_search_cycles(s, p);
    if (ended) p.A.cur = fold_angle(p.A.cur);
    return ended;
}

const char* const kCyclesWarning = "WARNING: Too man refinement cycles, Vorn might have failed on this micrograph!\n";

}  // namespace

int hcuda_refctf_2dh_local(const float* spectrum, float* scratch, float& U, float& V, float& A, float& score,
                           float apix, int nx, int ny, float P, float kV, float Cs, float AC, float U0, float V0,
                           float A0, float defocus_step, float angle_step, float B, float low, float high, FILE* log) {
    const SearchSetup s{spectrum, scratch, apix, nx, ny, P, kV, Cs, AC, B, low, high};
    SearchPoint p;
    if (!full_search(s, p, U0, V0, A0, defocus_step, angle_step)) print_stdout_and_log(log, "%s", kCyclesWarning);
    U = p.U();
    V = p.V();
    A = p.A.cur;
    score = s.normalised_score(p.L, U, V, A);
    s.simulate(U, V, A);
    return 0;
}

int hcuda_refctf_2dh_only_defave(const float* spectrum, float* scratch, float& U, float& V, float& score, float apix,
                                 int nx, int ny, float P, float kV, float Cs, float AC, float U0, float V0, float A,
                                 float defocus_step, float B, float low, float high, FILE* log) {
    const SearchSetup s{spectrum, scratch, apix, nx, ny, P, kV, Cs, AC, B, low, high};
    const float H = (V0 - U0) * 0.5f;
    LineValue M{(U0 + V0) * 0.5f, (U0 + V0) * 0.5f - defocus_step};
    float L = s.score(U0, V0, A);
    bool ended = false;
    for (int cycle = 0; cycle < kSearchCycles && !ended; ++cycle) {
        ended = !M.moving(kDefocusTolerance);
        if (!ended) L = jittered_line_step(M, L, kDefocusJitter, [&](float m) { return s.score_mh(m, H, A); });
    }
    if (!ended) print_stdout_and_log(log, "%s", kCyclesWarning);
    U = M.cur - H;
    V = M.cur + H;
    score = s.normalised_score(L, U, V, A);
    s.simulate(U, V, A);
    return 0;
}

int hcuda_ctfvalidate_2dh(const float* spectrum, float* scratch, float& U, float& V, float& A, float& score,
                          float apix, int nx, int ny, float P, float kV, float Cs, float AC, float U0, float V0,
                          float A0, float defocus_step, float angle_step, float B, float low, float high, FILE* log) {
    const SearchSetup s{spectrum, scratch, apix, nx, ny, P, kV, Cs, AC, B, low, high};
    SearchPoint p;
    const bool ended = full_search(s, p, U0, V0, A0, defocus_step, angle_step);
    // A non-negative angle: (U, V, A) and (V, U, A + 90) are the same CTF.
    const bool turn = p.A.cur < 0.0f;
    float u = turn ? p.V() : p.U(), v = turn ? p.U() : p.V(), a = turn ? p.A.cur + 90.0f : p.A.cur;
    // The order of U and V nearer to the start.
    const float same = (u - U0) * (u - U0) + (v - V0) * (v - V0);
    const float crossed = (u - V0) * (u - V0) + (v - U0) * (v - U0);
    if (same > crossed) {
        const float t = u;
        u = v;
        v = t;
        a = a > std::fabs(a - 90.0f) ? a - 90.0f : a + 90.0f;
    }
    U = u;
    V = v;
    A = a;
    score = s.normalised_score(p.L, U, V, A);
    if (!ended && log != nullptr)
        std::fprintf(log, "WARNING: Too many refinement cycles, Vorn might have failed on this micrograph!\n");
    return 0;
}

// ---- validation ----

namespace {

struct ValidationBand {
    float low, high;
};
const ValidationBand kValidationBands[] = {{20, 8}, {15, 6}, {12, 5}, {10, 4}, {8, 3}};

// The printed texts of grades 1 to 5 (index 0 unused).
const char* const kGradeStdout[] = {"", "WRONG     ", "BAD            ", "USABLE         ", "GOOD           ",
                                    "PERFECT        "};
const char* const kGradeLog[] = {"",
                                 "VALIDATION_SCORE: 1     \n",
                                 "VALIDATION_SCORE: 2            \n",
                                 "VALIDATION_SCORE: 3         \n",
                                 "VALIDATION_SCORE: 4           \n",
                                 "VALIDATION_SCORE: 5        \n"};

// The largest of the three, not a number when any of them is not.
float max_of_three(float a, float b, float c) {
    if (std::isnan(a) || std::isnan(b) || std::isnan(c)) return NAN;
    return std::fmax(a, std::fmax(b, c));
}

}  // namespace

int ctf_validation_grade(float deviation, float tolerance) {
    const float D = deviation, T = tolerance;
    if (D < 0.3826834323650898 * T) return 5;
    if (D < 0.7071067811865475 * T) return 4;
    if (D < T) return 3;
    if (D < 2.0f * T) return 2;
    return 1;
}

int ctf_validation(const float* spectrum, float* scratch, float apix, int nx, int ny, float P, float kV, float Cs,
                   float AC, float U, float V, float A, float B, float low, float high, FILE* log) {
    print_stdout_and_log(log, "\n......................................  VALIDATION  "
                              "......................................\n");
    print_stdout_and_log(log, "Differences from Original Values:\n  RESOLUTION   Defocus_U   Defocus_V     Angle       "
                              "CCC      CONVERGENCE  \n");
    for (const ValidationBand& band : kValidationBands) {
        if (!(2.0f * apix < band.high)) break;
        reseed_from_clock();
        const float T = (float)(25.0 * band.high * band.high);
        const float side = V < U ? 1.0f : -1.0f;
        float u, v, a, score;
        hcuda_ctfvalidate_2dh(spectrum, scratch, u, v, a, score, apix, nx, ny, P, kV, Cs, AC, U + side * T,
                              V - side * T / 2.0f, A, 0.25f * T, 3.0f, B, band.low, band.high, log);
        print_stdout_and_log(log, "  %02d-%02dA %12.2f%12.2f%12.2f%12.2f     ", (int)band.low, (int)band.high, u - U,
                             v - V, a - A, score);
        const float across = (float)(std::sin(std::fabs(a - A) * CTF_PI / 180.0) * std::fabs(u - v));
        const int grade = ctf_validation_grade(max_of_three(std::fabs(u - U), std::fabs(v - V), across), T);
        std::printf("%s\n", kGradeStdout[grade]);
        if (log != nullptr) std::fputs(kGradeLog[grade], log);
    }
    hcuda_ctf_sim_2dh_c(scratch, nx / 2 + 1, ny, apix, kV, Cs, AC, P, U, V, A, B, low, high, 'A');
    return 0;
}
