// Random projection orientations.
#define VORN_UNIT "src/em_general"
#include "em_general.h"

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "cuda_general.h"

namespace {
constexpr double RAND_TOP = 2147483647.0;
}  // namespace

double rand_draw_to_degrees(int r) { return (double)r * 360.0 / RAND_TOP; }
double rand_draw_to_tilt_degrees(int r) { return std::acos(1.0 - (double)r * 2.0 / RAND_TOP) * 57.29577951308232; }

void random_polar_angles_many(EM_Trans_Orient* o, unsigned n) {
    srand((unsigned)time(nullptr));
    for (unsigned i = 0; i < n; ++i) {
        o[i].shift_x = 0.0f;
        o[i].shift_y = 0.0f;
        o[i].rot = (float)rand_draw_to_degrees(rand());
        o[i].tilt = (float)rand_draw_to_tilt_degrees(rand());
        o[i].psi = (float)rand_draw_to_degrees(rand());
    }
}

EM_Trans_Orient* zgpu_random_polar_angles_many(unsigned n) {
    if (n == 0) return nullptr;
    EM_Trans_Orient* o = nullptr;
    CUDA_CHECK(cudaMallocManaged((void**)&o, (size_t)n * sizeof(EM_Trans_Orient), cudaMemAttachGlobal));
    random_polar_angles_many(o, n);
    return o;
}

void random_polar_angles_many(float* rot, float* tilt, float* psi, unsigned n) {
    srand((unsigned)time(nullptr));
    for (unsigned i = 0; i < n; ++i) {
        rot[i] = (float)rand_draw_to_degrees(rand());
        tilt[i] = (float)rand_draw_to_tilt_degrees(rand());
        psi[i] = (float)rand_draw_to_degrees(rand());
    }
}

void random_polar_angles(float, float& rot, float& tilt, float& psi) {
    srand((unsigned)time(nullptr));
    rot = (float)(rand() * 6.283185307179586 / RAND_TOP);
    tilt = (float)std::acos(1.0 - 2.0 * rand() / RAND_TOP);
    psi = (float)(rand() * 6.283185307179586 / RAND_TOP);
}
