#include "refinement_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <vector>

namespace {

// An objective on a member function, recording where it was evaluated.
struct Probe {
    std::function<float(float)> f;
    std::vector<float> calls;
    float eval(float x) {
        calls.push_back(x);
        return f(x);
    }
};

RF_MSPX_1D step(Probe& p, float x, float dx, float tol, float jitter = 0.3f) {
    RF_MSPX_1D s{x, dx, tol, -77.0f};
    mspx_refine_lmm(&p, &Probe::eval, s, jitter);
    return s;
}

float rising(float x) { return x; }
float constant(float) { return 1.0f; }
float peak_at(float x, float top) { return -(x - top) * (x - top); }

TEST(SimplexStepTest, StepsSmallerThanTheToleranceDoNothing) {
    Probe p{rising, {}};
    const RF_MSPX_1D s = step(p, 2.0f, -0.4f, 0.5f);
    EXPECT_TRUE(p.calls.empty());
    EXPECT_EQ(s.x, 2.0f);
    EXPECT_EQ(s.dx, -0.4f);
    EXPECT_EQ(s.tol, 0.5f);
    EXPECT_EQ(s.fval, -77.0f);

    // |tol| equal to |dx| still steps, whatever the signs.
    const RF_MSPX_1D t = step(p, 2.0f, 0.5f, -0.5f);
    EXPECT_EQ(p.calls.size(), 4u);
    EXPECT_EQ(t.tol, -0.5f);
}

// With tol = 0 the jitter vanishes: every case is exact.
TEST(SimplexStepTest, ReflectionExpansionAndContraction) {
    struct Case {
        const char* what;
        std::function<float(float)> f;
        float x, dx;
        std::vector<float> calls;  // x0, x1, xr, then xe or xc
        float new_x, new_dx, new_fval;
    };
    const Case cases[] = {
        {"expansion taken", rising, 0.0f, -1.0f, {0, -1, 1, 2}, 2.0f, -2.0f, 2.0f},
        {"expansion refused", [](float x) { return peak_at(x, 1.0f); }, 0.0f, -1.0f, {0, -1, 1, 2}, 1.0f, -1.0f, 0.0f},
        {"second point is best", rising, 0.0f, 1.0f, {0, 1, -1, 0.5f}, 1.0f, -0.5f, 1.0f},
        {"inner contraction taken", [](float x) { return peak_at(x, 0.4f); }, 0.0f, 1.0f, {0, 1, -1, 0.5f}, 0.5f, -0.5f,
         -0.01f},
        {"outer contraction taken", [](float x) { return peak_at(x, -0.4f); }, 0.0f, 1.0f, {0, 1, -1, -0.5f}, -0.5f, 0.5f,
         -0.01f},
        {"outer contraction refused", [](float x) { return peak_at(x, -0.2f); }, 0.0f, 1.0f, {0, 1, -1, -0.5f}, 0.0f,
         -0.5f, -0.04f},
        {"tie keeps x0", [](float x) { return std::fabs(x) < 1.5f ? 0.0f : -1.0f; }, 1.0f, -2.0f, {1, -1, 3, 0}, 1.0f,
         -1.0f, 0.0f},
    };
    for (const Case& c : cases) {
        Probe p{c.f, {}};
        const RF_MSPX_1D s = step(p, c.x, c.dx, 0.0f);
        EXPECT_EQ(p.calls, c.calls) << c.what;
        EXPECT_FLOAT_EQ(s.x, c.new_x) << c.what;
        EXPECT_FLOAT_EQ(s.dx, c.new_dx) << c.what;
        EXPECT_FLOAT_EQ(s.fval, c.new_fval) << c.what;
        EXPECT_EQ(s.tol, 0.0f) << c.what;
    }
}

TEST(SimplexStepTest, ReflectionIsExactInFloatWithoutJitter) {
    // 2*x0 - x1 with x1 = x0 + dx, rounded as float arithmetic rounds it.
    Probe p{constant, {}};
    const float x0 = 0.1f, dx = 0.7f;
    step(p, x0, dx, 0.0f, 0.3f);
    const float x1 = x0 + dx;
    ASSERT_EQ(p.calls.size(), 4u);
    EXPECT_EQ(p.calls[2], x0 + x0 - x1);
}

TEST(SimplexStepTest, JitterComesFromTheClockSeed) {
    // The step reseeds from the clock: its one draw is the first number of the
    // sequence seeded with the current second (either side of a tick).
    for (const float tol : {0.05f, -0.05f}) {
        Probe p{constant, {}};
        const float x0 = 3.0f, dx = 0.5f, jitter = 0.3f;
        const time_t before = time(nullptr);
        step(p, x0, dx, tol, jitter);
        const time_t after = time(nullptr);
        const float plain = x0 + x0 - (x0 + dx);
        std::vector<float> possible;
        for (time_t t = before; t <= after; ++t) {
            srand((unsigned)t);
            possible.push_back((float)((double)plain + rand() / 2147483648.0 * (double)(jitter * tol)));
        }
        ASSERT_EQ(p.calls.size(), 4u);
        EXPECT_NE(std::find(possible.begin(), possible.end(), p.calls[2]), possible.end()) << p.calls[2];
        // Within jitter * tol of the plain reflection, on the side of tol.
        EXPECT_LE(std::fabs(p.calls[2] - plain), std::fabs(jitter * tol) + 1e-6f);
        EXPECT_GE((p.calls[2] - plain) * tol, 0.0f);
    }
}

TEST(SimplexStepTest, AGivenSeedReplacesTheClock) {
    // Reproducible runs: the draw is the first number of the sequence of the seed.
    const float x0 = 3.0f, dx = 0.5f, tol = 0.05f, jitter = 0.3f;
    for (const long seed : {0L, 11L, 12345L}) {
        Probe p{constant, {}};
        RF_MSPX_1D s{x0, dx, tol, -77.0f};
        mspx_refine_lmm(&p, &Probe::eval, s, jitter, seed);
        srand((unsigned)seed);
        const float expected = (float)((double)(x0 + x0 - (x0 + dx)) + rand() / 2147483648.0 * (double)(jitter * tol));
        ASSERT_EQ(p.calls.size(), 4u);
        EXPECT_EQ(p.calls[2], expected) << "seed " << seed;
    }
}

TEST(SimplexStepTest, ConstantObjectiveHalvesTheStepUntilTolerance) {
    Probe p{constant, {}};
    RF_MSPX_1D s{1.0f, 1.0f, 0.1f, 0.0f};
    std::vector<float> dxs;
    for (int i = 0; i < 10; ++i) {
        mspx_refine_lmm(&p, &Probe::eval, s, 0.3f);
        dxs.push_back(s.dx);
        EXPECT_EQ(s.x, 1.0f);
    }
    EXPECT_EQ(std::vector<float>(dxs.begin(), dxs.begin() + 5), (std::vector<float>{0.5f, 0.25f, 0.125f, 0.0625f, 0.0625f}));
    EXPECT_EQ(p.calls.size(), 16u);  // four steps of four evaluations, then converged
}

TEST(SimplexStepTest, RefinementLoopFindsTheMaximum) {
    // The caller's loop as the estimator drives it: a parabola with its top at 1.37.
    for (const float start : {-2.0f, 0.9f, 4.0f}) {
        Probe p{[](float x) { return 5.0f + peak_at(x, 1.37f); }, {}};
        RF_MSPX_1D s{start, 0.5f, 0.001f, 0.0f};
        for (int cycle = 0; cycle < 200 && std::fabs(s.dx) >= std::fabs(s.tol); ++cycle)
            mspx_refine_lmm(&p, &Probe::eval, s, 0.3f);
        EXPECT_NEAR(s.x, 1.37f, 0.01f) << "from " << start;
        EXPECT_NEAR(s.fval, 5.0f, 1e-4f) << "from " << start;
        EXPECT_LT(std::fabs(s.dx), std::fabs(s.tol));
    }
}

// ---- the four-point record form ----

std::vector<float> c_calls;
float c_rising(float x) {
    c_calls.push_back(x);
    return x;
}
float c_peak(float x) {
    c_calls.push_back(x);
    return peak_at(x, -0.4f);
}
float c_hill(float x) {
    c_calls.push_back(x);
    return peak_at(x, 0.3f);
}

TEST(SimplexRecordStepTest, UpdatesTheFourPointRecord) {
    struct Case {
        const char* what;
        float (*f)(float);
        RF1DXC in;
        std::vector<float> calls;  // x1, xr, then xe or xc; F[0] is trusted
        RF1DXC out;
    };
    const Case cases[] = {
        {"expansion", c_rising, {{0, -1, 9, 9}, {0, 8, 8, 8}}, {-1, 1, 2}, {{2, 0, 2, 2}, {2, 0, 2, 2}}},
        {"trusted F[0] refuses the reflection", c_rising, {{0, -1, 9, 7}, {5, 8, 8, 6}}, {-1, 1, 0.5f},
         {{0, 0.5f, 1, 7}, {5, 0.5f, 1, 6}}},
        {"contraction towards the trial", c_peak, {{0, 1, 9, 7}, {-0.16f, 8, 8, 6}}, {1, -1, -0.5f},
         {{-0.5f, 0, -1, 7}, {-0.01f, -0.16f, -0.36f, 6}}},
        {"contraction between the points", c_hill, {{0, 1, 9, 7}, {-0.09f, 8, 8, 6}}, {1, -1, 0.5f},
         {{0.5f, 0, -1, 7}, {-0.04f, -0.09f, -1.69f, 6}}},
        {"contraction refused by the trusted F[0]", c_hill, {{0, 1, 9, 7}, {0, 8, 8, 6}}, {1, -1, 0.5f},
         {{0, 0.5f, -1, 7}, {0, -0.04f, -1.69f, 6}}},
    };
    for (const Case& c : cases) {
        c_calls.clear();
        RF1DXC s = c.in;
        mspx_refine_lmm_c(c.f, s, 0.0f);
        EXPECT_EQ(c_calls, c.calls) << c.what;
        for (int k = 0; k < 4; ++k) {
            EXPECT_FLOAT_EQ(s.x[k], c.out.x[k]) << c.what << " x[" << k << "]";
            EXPECT_FLOAT_EQ(s.F[k], c.out.F[k]) << c.what << " F[" << k << "]";
        }
    }
}

TEST(SimplexRecordStepTest, JitterUsesTheCurrentRandomSequence) {
    // No reseeding: the draw is the next number of the caller's sequence.
    srand(12345u);
    const double draw = rand() / 2147483648.0;
    srand(12345u);
    c_calls.clear();
    RF1DXC s{{2.0f, 1.5f, 0, 0}, {100.0f, 0, 0, 0}};
    mspx_refine_lmm_c(c_rising, s, 0.6f);
    ASSERT_EQ(c_calls.size(), 3u);
    EXPECT_EQ(c_calls[1], (float)(2.5 + 0.6f * draw / 3.0));
}

}  // namespace
