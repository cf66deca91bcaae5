// Defocus refinement over sliding windows of the frames of a movie or particle
// stack, with an optional straight-line fit over the frames.
#define VORN_UNIT "src/ctf_local"
#include "ctf_local.h"

#include <cstdio>
#include <vector>

#include "cuda_fft.h"
#include "curve_fit.h"
#include "gpu_buffers.h"
#include "math_utils_gpu.h"
#include "process2d_core.h"

namespace {

// The per-frame results of the window searches, at the windows' centre frames.
struct StackValues {
    std::vector<float> U, V, A, score;
    explicit StackValues(int n) : U(n), V(n), A(n), score(n) {}
};

// Straight lines of U, V, A and the score against the frame index through the
// window results stored at frames first .. first + count - 1, printed for every frame.
void print_linear_fit(const StackValues& values, int first, int count, int nframes, FILE* log) {
    if (count < 2) {
        print_stdout_and_log(log, "Too few window values (%d) for a linear fit of the stack/movie CTF values; no fit.\n",
                             count);
        return;
    }
    std::vector<float> frame(count);
    for (int i = 0; i < count; ++i) frame[i] = (float)(first + i);
    const std::vector<float>* columns[4] = {&values.U, &values.V, &values.A, &values.score};
    float slope[4], intercept[4];
    for (int k = 0; k < 4; ++k) smp_line_fit(frame.data(), columns[k]->data() + first, count, slope[k], intercept[k]);
    if (log != nullptr) std::fprintf(log, "Linear fitted stack/movie CTF values:\n");
    std::printf("Linear fitted stack/movie CTF values:");
    for (int f = 0; f < nframes; ++f)
        print_stdout_and_log(log, "%13.2f%13.2f%13.2f%13.2f STACK CTF Value %d\n", slope[0] * f + intercept[0],
                             slope[1] * f + intercept[1], slope[2] * f + intercept[2], slope[3] * f + intercept[3],
                             f + 1);
}

}  // namespace

int ctf_movie_stack_refine(const float* frames, int nx, int ny, int nframes, float apix, int box, int step,
                           int background_box, float P, float kV, float Cs, float AC, float U0, float V0, float A0,
                           float B, float low, float high, float search_width, FILE* log, int enable, int window,
                           int fit_type, int astig, CTF_REF_CONTROL control) {
    const bool phase_column = control.phase_shift_on != 0;
    std::printf("# ####################################,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,");
    if (phase_column)
        print_stdout_and_log(log, "\n   Defocus_U   Defocus_V       Angle    Phase_shift     CCC\n");
    else
        print_stdout_and_log(log, "\n   Defocus_U   Defocus_V       Angle        CCC\n");
    if (enable != 1) return 0;

    const int windows = window >= 1 && nframes >= window ? nframes - window + 1 : 0;
    StackValues values(nframes > 0 ? nframes : 0);
    const size_t half = image_pixels(box / 2 + 1, box), pixels = image_pixels(nx, ny);
    float* sum = device_buffer<float>(GPU_SITE, half);
    float* one = device_buffer<float>(GPU_SITE, half);
    float* scratch = device_buffer<float>(GPU_SITE, half);
    float* frame = device_buffer<float>(GPU_SITE, pixels);
    for (int t = 0; t < windows; ++t) {
        const int c = t + window / 2;
        hcuda_empty_f32(sum, half);
        std::printf("\n# %d ", c);
        for (int f = t; f < t + window; ++f) {
            std::printf(".");
            std::fflush(stdout);
            CUDA_CHECK(memcpy_H2D(frame, frames + stack_slice_offset(f, nx, ny), pixels * sizeof(float)));
            hcuda_2d_gridfft_r2c_amp_ave(frame, one, nx, ny, box, box, step);
            hcuda_addto_float(sum, one, half);
        }
        hcuda_2dh_fft_amp_log_subbg_inplace(sum, box, box, background_box);
        values.A[c] = A0;
        if (astig)
            hcuda_refctf_2dh_local(sum, scratch, values.U[c], values.V[c], values.A[c], values.score[c], apix, box, box,
                                   P, kV, Cs, AC, U0, V0, A0, search_width / 10.0f, 1.0f, B, low, high, log);
        else
            hcuda_refctf_2dh_only_defave(sum, scratch, values.U[c], values.V[c], values.score[c], apix, box, box, P, kV,
                                         Cs, AC, U0, V0, A0, search_width / 10.0f, B, low, high, log);
        print_stdout_and_log(log, "\n");
        if (phase_column)
            print_stdout_and_log(log, "%12.2f%12.2f%12.2f%12.2f%12.6f  STACK CTF Value %d\n", values.U[c], values.V[c],
                                 values.A[c], P, values.score[c], c);
        else
            print_stdout_and_log(log, "%12.2f%12.2f%12.2f%12.6f  STACK CTF Value %d\n", values.U[c], values.V[c],
                                 values.A[c], values.score[c], c);
    }
    print_stdout_and_log(log, "\n");
    if (fit_type == 1)
        print_linear_fit(values, window / 2, windows, nframes, log);
    else if (fit_type > 1)
        std::printf("Does not support non-linear fitting of particle stack defocus in the current version\n");
    device_release(GPU_SITE, sum);
    device_release(GPU_SITE, one);
    device_release(GPU_SITE, scratch);
    device_release(GPU_SITE, frame);
    return 0;
}
