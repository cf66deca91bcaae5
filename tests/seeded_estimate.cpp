// The whole estimator with a fixed refinement seed, for tests that compare
// runs. Built once with the library the tests link and, where the build carries
// one, once into the x86-64-v3 copy under the name VORN_SEEDED_ESTIMATE.
#include "ctf.h"

#ifndef VORN_SEEDED_ESTIMATE
#define VORN_SEEDED_ESTIMATE vorn_seeded_estimate
#endif

int VORN_SEEDED_ESTIMATE(int argc, char** argv, long seed) {
    VORN_A a;
    a.ref_seed = seed;
    return a.vorn_run_all(argc, argv);
}
