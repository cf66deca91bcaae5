// The refinement target score: the band-limited inner product of |CTF| E with a
// background-subtracted spectrum, one kernel and one reduction on device arrays.
#define VORN_UNIT "src/ctf_core"
#include "ctf_core.h"
#include "gpu_launch.h"

#include "cuda_fast_sum.h"

__global__ void cuda_ctf_smrl_2dh(float* out, const float* in, float apix, int nx, int ny, float kV, float Cs, float AC,
                                  float P, float U, float V, float A, float B, float low, float high) {
    ctf_simulate_times_lanes(IMAGE_THREAD_XY, out, in, nx, ny, CtfHalfLayout{(unsigned)nx, (unsigned)ny, apix},
                               CTF_INFO{kV, Cs, AC, P, U, V, A, B}, RESO{low, high}, 'A');
}

// The products and the sum's first pass are launched together: on a host, one
// wake-up of the threads per score instead of two.
float ctf_tcf_swr_2dh(float* work, const float* spectrum, float apix, int nx, int ny, float P, float kV, float Cs,
                      float AC, float U, float V, float A, float B, float low, float high) {
    const unsigned runs = gpu_lanes_runs(nx);
    return hcuda_fast_sum_produced(
        GPU_SITE,
        [&] {
            GPU_LAUNCH(cuda_ctf_smrl_2dh, gpu_grid_2d(runs, ny), gpu_block_2d(), 0)(work, spectrum, apix, nx, ny, kV,
                                                                                     Cs, AC, P, U, V, A, B, low, high);
        },
        work, image_pixels(nx, ny), 1024);
}

float ctf_tcf_swr_2dh_inplace(float* work, const float* spectrum, float apix, int nx, int ny, float kV, float Cs,
                              float AC, float P, float U, float V, float A, float B, float low, float high) {
    gpu_launch_2d<cuda_ctf_smrl_2dh>(GPU_SITE, gpu_lanes_runs(nx), ny, work, spectrum, apix, nx, ny, kV, Cs, AC, P, U, V, A, B, low,
                                     high);
    return hcuda_fast_sum_inplace(work, image_pixels(nx, ny), 1024);
}
