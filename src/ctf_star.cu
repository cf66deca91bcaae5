// What the estimator writes for other programs to read: the head of each
// micrograph's log (the option echo and a parameter block in the CTFFIND3 log
// layout) and the CTF STAR summary of the run. The readers of an input CTF STAR
// file are in src/ctf_star_input.cu.
#define VORN_UNIT "src/ctf"
#include "ctf.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "str_utils.h"

// ================= log head =================

int VORN_A::vorn_fput_parameters_ctffind3_like() {
    if (log_file == nullptr) return 0;
    const VORN_Para& p = *para;
    FILE* f = log_file;
    vorn_fput_parameters();
    std::fprintf(f, "********************************  parameter format for RELION: "
                    "*********************************************\n\n");
    std::fprintf(f, " CS[mm], HT[kV], AmpCnst, XMAG, DStep[um]\n");
    std::fprintf(f, "  %.1f    %.1f    %.2f  %.1f   %.3f\n\n", p.cs, p.kV, p.ac, 10000.0f * p.dstep / p.apix, p.dstep);
    std::fprintf(f, " Positive defocus values for underfocus\n");
    std::fprintf(f, " Box, ResMin[A], ResMax[A], dFMin[A], dFMax[A], FStep[A], dAst[A]\n");
    std::fprintf(f, " %d       %.1f        %.1f   10000.0   70000.0  500.0    0.0\n", p.boxsize, p.resL, p.resH);
    std::fprintf(f, "********************************* end of parameter format for RELION: "
                    "*************************************\n\n");
    return 0;
}

// ================= CTF STAR summary =================

int log_ctfstar_head(FILE* f) {
    static const char* const labels[] = {"_rlnMicrographName",    "_rlnCtfImage",          "_rlnDefocusU",
                                         "_rlnDefocusV",          "_rlnDefocusAngle",      "_rlnVoltage",
                                         "_rlnSphericalAberration", "_rlnAmplitudeContrast", "_rlnMagnification",
                                         "_rlnDetectorPixelSize", "_rlnCtfFigureOfMerit"};
    std::fprintf(f, "\ndata_\n");
    std::fprintf(f, "\nloop_\n");
    for (int k = 0; k < 11; ++k) std::fprintf(f, "%s #%d\n", labels[k], k + 1);
    return 0;
}

int log_ctfstar_ex_head(FILE* f) {
    log_ctfstar_head(f);
    std::fprintf(f, "_rlnFinalResolution #12\n");
    return 0;
}

int log_ctfstar_ex_head_phase_shift(FILE* f) {
    log_ctfstar_head(f);
    std::fprintf(f, "_rlnCtfMaxResolution #12\n");
    std::fprintf(f, "_rlnPhaseShift #13\n");
    return 0;
}

int log_ctfstar_ex_oneline(FILE* f, const char* mic, const char* ctf, float U, float V, float A, float kV, float cs,
                           float ac, float mag, float dstep, float fom, float res) {
    std::fprintf(f, "%s %s:mrc %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f\n", mic, ctf, U, V,
                 A, kV, cs, ac, mag, dstep, fom, res);
    return 0;
}

int log_ctfstar_ex_oneline_phase_shift(FILE* f, const char* mic, const char* ctf, float U, float V, float A, float ps,
                                       float kV, float cs, float ac, float mag, float dstep, float fom, float res) {
    std::fprintf(f, "%s %s:mrc %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f\n", mic,
                 ctf, U, V, A, kV, cs, ac, mag, dstep, fom, res, ps);
    return 0;
}

int VORN_A::vorn_open_sumlog() {
    const VORN_Para& p = *para;
    if (is_str_null(p.ctfstar)) {
        VORN_WARNING("No output ctfstar file! You may have to extract CTF information from *_vorn.log!\n\033[m");
        return 0;
    }
    star_file = std::fopen(p.ctfstar, "w+");
    if (star_file == nullptr) vorn_cannot_write(__func__, __LINE__, p.ctfstar);
    if (p.phase_plate)
        log_ctfstar_ex_head_phase_shift(star_file);
    else
        log_ctfstar_ex_head(star_file);
    std::fflush(star_file);
    return 0;
}

namespace {

// A result that is not a number would break every reader of the summary: it is
// written as 0, with a warning naming the column.
float star_value(float v, const char* label, const char* mic) {
    if (std::isfinite(v)) return v;
    VORN_WARNING("%s of micrograph %s is not a number: written as 0\n\033[m", label, mic);
    return 0.0f;
}

}  // namespace

int VORN_A::vorn_write_star_oneline() {
    if (star_file == nullptr) return 0;
    const VORN_Para& p = *para;
    const float mag = (float)(10000.0 * (double)p.dstep / (double)p.apix);
    const float U = star_value(ref_defU, "_rlnDefocusU", mic_name);
    const float V = star_value(ref_defV, "_rlnDefocusV", mic_name);
    const float A = star_value(ref_defA, "_rlnDefocusAngle", mic_name);
    const float fom = star_value(ref_ccc, "_rlnCtfFigureOfMerit", mic_name);
    const float res = star_value(res_limit, p.phase_plate ? "_rlnCtfMaxResolution" : "_rlnFinalResolution", mic_name);
    if (p.phase_plate)
        log_ctfstar_ex_oneline_phase_shift(star_file, mic_name, ctf_name, U, V, A,
                                           star_value(ref_ps, "_rlnPhaseShift", mic_name), p.kV, p.cs, p.ac, mag,
                                           p.dstep, fom, res);
    else
        log_ctfstar_ex_oneline(star_file, mic_name, ctf_name, U, V, A, p.kV, p.cs, p.ac, mag, p.dstep, fom, res);
    // Every finished row reaches the file, so a run that is killed keeps them.
    std::fflush(star_file);
    return 0;
}

int VORN_A::vorn_close_sumlog() {
    if (star_file != nullptr) std::fclose(star_file);
    star_file = nullptr;
    return 0;
}
