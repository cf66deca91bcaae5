// What the estimator tells its user about its options: the banner, the short
// usage, the full help, and the values in force, echoed to standard output once
// per run and into the log of every micrograph.
#define VORN_UNIT "src/ctf"
#include "ctf.h"

#include <cstdio>
#include <initializer_list>

namespace {

// One help or usage line: keyword, the value shown, what the option does.
struct HelpLine {
    const char* keyword;
    const char* shown;
    const char* text;
};

struct HelpGroup {
    const char* title;
    std::initializer_list<HelpLine> lines;
};

void put_help_lines(const HelpGroup& g) {
    if (g.title) std::printf("%s\n", g.title);
    for (const HelpLine& l : g.lines) std::printf("         --%-20s%-28s%s\n", l.keyword, l.shown, l.text);
}

const HelpLine kHelpSwitch = {"help", "", "print this help; -h, --h, -help and --help are the same"};

void put_usage_line(const char* prog) {
    std::printf("\n\033[1m Usage:\033[m ");
    std::printf("         %s [options] <micrographs>  \n\n", prog);
}

// Formats of one echoed value: "        --" and the keyword in 19 columns.
struct ParamEcho {
    FILE* f;
    void title(const char* t) const { std::fprintf(f, "%s\n", t); }
    void fl(const char* k, float v) const { std::fprintf(f, "        --%-19s%.2f\n", k, v); }
    void fl3(const char* k, float v) const { std::fprintf(f, "        --%-19s%.3f\n", k, v); }
    void in(const char* k, int v) const { std::fprintf(f, "        --%-19s%d\n", k, v); }
    void tx(const char* k, const char* v) const { std::fprintf(f, "        --%-19s%s\n", k, v); }
};

}  // namespace

void vorn_put_rule(char c, int n) {
    for (int i = 0; i < n; ++i) std::putchar(c);
    std::putchar('\n');
}

void vorn_put_info(const char* prog) {
    vorn_put_rule('*', 99);
    std::printf("Version:       %s %s, updated on %s\n", prog, VORN_VERSION, VORN_UPDATED);
    std::printf("Description:   This is a simplified version of VORN for CTF determination. \n");
    vorn_put_rule('*', 99);
}

void vorn_print_usage(const char* prog) {
    put_usage_line(prog);
    std::printf(" Basic options           Default values        Descriptions:  \n");
    put_help_lines({nullptr,
                    {{"apix", "1.34", "pixel size of the micrographs, angstrom"},
                     {"kV", "300", "acceleration voltage, kV"},
                     {"cs", "2.7", "spherical aberration, mm"}}});
    put_help_lines({"Phase plate options:  ",
                    {{"phase_shift_S", "0.0", "phase shift search step, degrees; switches the phase plate mode on"},
                     {"do_EPA", "0", "write the equiphase average diagnostic"}}});
    put_help_lines({"Local refinement options to calculate defocuses of each particles:  ",
                    {{"do_local_refine", "0", "refine the defocus of every particle"}}});
    put_help_lines({"Correction options:  ",
                    {{"do_phase_flip", "0", "write the phase-flipped micrograph"},
                     {"do_unfinished", "0", "skip micrographs whose log says they are done"}}});
    put_help_lines({"I/O options:  ",
                    {{"microstar", "NULL", "STAR file listing the micrographs"},
                     {"boxsuffix", "_morvandel.star", "suffix of each micrograph's particle file"},
                     {"ctfstar", "micrographs_all_vorn.star", "CTF STAR summary of all micrographs; NONE for none"},
                     {"logsuffix", "_vorn.log", "suffix of each micrograph's log"},
                     {"gid", "0", "index of the GPU"},
                     kHelpSwitch}});
    std::printf("\033[1m Example:\033[m \n");
    std::printf("   %s --apix 1.0 --kV 300 --cs 2.7 --ac 0.1 *.mrc\n", prog);
    std::printf("   %s --apix 1.0 --kV 300 --cs 2.7 --ac 0.1 --do_EPA 1 --ctfstar all_ctf.star Micrographs/*.mrc\n",
                prog);
    std::printf("   %s --apix 1.0 --kV 300 --cs 2.7 --ac 0.1 --do_unfinished 1 Micrographs/*.mrc\n", prog);
    std::printf("\nPhase plate examples:\n");
    std::printf("   %s --apix 1.0 --kV 300 --cs 2.7 --ac 0.1 --phase_shift_L 0 --phase_shift_H 180 *.mrc\n", prog);
    std::printf("   %s --apix 1.0 --kV 300 --cs 2.7 --ac 0.1 --phase_shift_S 5 --phase_shift_T 2 *.mrc\n", prog);
}

void vorn_print_help(const char* prog) {
    put_usage_line(prog);
    std::printf("\033[1m Options:\033[m \n");
    put_help_lines({"Normal options(should specify), default values and description:  ",
                    {{"apix", "1.34", "pixel size of the micrographs, angstrom"},
                     {"kV", "300", "acceleration voltage, kV"},
                     {"cs", "2.7", "spherical aberration, mm"},
                     {"ac", "0.1", "amplitude contrast, fraction"}}});
    put_help_lines({"Phase plate options:  ",
                    {{"phase_shift_L", "0.0", "lowest phase shift of the search, degrees"},
                     {"phase_shift_H", "180.0", "highest phase shift of the search, degrees"},
                     {"phase_shift_S", "0.0", "phase shift search step, degrees (3.0 in phase plate mode)"},
                     {"phase_shift_T", "1", "phase shift search target: 1 CCC, 2 resolution limit"},
                     {"cosearch_refine_ps", "0", "refine during the phase shift search"},
                     {"refine_2d_T", "1", "refinement type: 1, 2 or 3"}}});
    put_help_lines({"Additional options(not suggested, only try to optimize in difficult cases), default values and "
                    "description:  ",
                    {{"dstep", "14.0", "detector pixel size, um"},
                     {"defL", "5000.0", "lowest defocus of the 1D search, angstrom"},
                     {"defH", "90000.0", "highest defocus of the 1D search, angstrom"},
                     {"defS", "500.0", "defocus step of the 1D search, angstrom"},
                     {"astm", "1000.0", "expected astigmatism, angstrom"},
                     {"bfac", "150.0", "B-factor put on simulated CTFs during search and refinement"},
                     {"resL", "50.0", "low resolution limit of search and refinement, angstrom"},
                     {"resH", "4.0", "high resolution limit of search and refinement, angstrom"},
                     {"boxsize", "1024", "edge of the square FFT tile, pixels"}}});
    put_help_lines({"Advanced additional options:  ",
                    {{"do_EPA", "0", "write the equiphase average diagnostic"},
                     {"EPA_oversmp", "4", "over-sampling factor of the equiphase average"},
                     {"overlap", "0.5", "overlap fraction of neighbouring tiles"},
                     {"convsize", "85", "smoothing box of the background subtraction, pixels"},
                     {"smooth_resL", "0", "resolution for the low-frequency smoothing, angstrom"}}});
    put_help_lines({"High resolution refinement options:  ",
                    {{"do_Hres_ref", "0", "high resolution refinement pass"},
                     {"Href_resL", "15.0", "low limit of that pass, angstrom"},
                     {"Href_resH", "4.0", "high limit of that pass, angstrom"},
                     {"Href_bfac", "50.0", "B-factor of that pass"}}});
    put_help_lines({"Bfactor estimation options:  ",
                    {{"B_resL", "15.0", "low limit of the B-factor fit, angstrom"},
                     {"B_resH", "6.0", "high limit of the B-factor fit, angstrom"}}});
    put_help_lines({"Movie options to calculate defocuses of each frame:  ",
                    {{"do_mdef_refine", "0", "refine the defocus of each frame"},
                     {"mdef_aveN", "1", "frames averaged per defocus"},
                     {"mdef_fit", "0", "fit a line through the frame defocuses"},
                     {"mdef_ave_type", "0", "combination of the frames: 0 sum of frames, 1 or 2 sum of spectra"}}});
    put_help_lines({"Local refinement options to calculate defocuses of each particles:  ",
                    {{"do_local_refine", "0", "refine the defocus around every particle"},
                     {"local_radius", "1024", "radius of the local neighbourhood, pixels"},
                     {"local_avetype", "0", "averaging type of local spectra: 0 equal, 1 and 2 weighted by distance"},
                     {"local_areatype", "1", "kind of local areas (not used)"},
                     {"local_autogrid_X", "7", "grid boxes in x when no coordinates are given"},
                     {"local_autogrid_Y", "7", "grid boxes in y when no coordinates are given"},
                     {"local_boxsize", "512", "tile edge of local spectra, pixels"},
                     {"local_overlap", "0.5", "overlap of local tiles"},
                     {"local_bfac", "150.0", "B-factor of local refinement"},
                     {"local_resL", "15.0", "low limit of local refinement, angstrom"},
                     {"local_resH", "5.0", "high limit of local refinement, angstrom"},
                     {"local_A_err", "5.0", "angle error range, degrees"},
                     {"local_U_err", "100.0", "defocus U error range, angstrom"},
                     {"local_V_err", "100.0", "defocus V error range, angstrom"},
                     {"local_PS_err", "2.0", "phase shift error range, degrees"},
                     {"refine_local_astm", "0", "refine the local astigmatism"}}});
    put_help_lines({"CTF refinement options(to refine user provided CTF parameters):  ",
                    {{"refine_input_ctf", "0", "start from given CTF values instead of a search"},
                     {"defU_init", "20000.0", "initial defocus U, angstrom"},
                     {"defV_init", "20000.0", "initial defocus V, angstrom"},
                     {"defA_init", "0.0", "initial angle, degrees"},
                     {"B_init", "200.0", "initial B-factor"},
                     {"defU_err", "500.0", "error range of the initial defocus U"},
                     {"defV_err", "500.0", "error range of the initial defocus V"},
                     {"defA_err", "15.0", "error range of the initial angle"},
                     {"B_err", "50.0", "error range of the initial B-factor"}}});
    put_help_lines({"Correction options:  ", {{"do_phase_flip", "0", "write the phase-flipped micrograph"}}});
    put_help_lines({"Validation options:  ", {{"do_validation", "0", "validate the fitted CTF"}}});
    put_help_lines({"CTF output file options:  ",
                    {{"ctfout_resL", "100.0", "low limit of the diagnostic image, angstrom"},
                     {"ctfout_resH", "2.8", "high limit of the diagnostic image, angstrom"},
                     {"ctfout_bfac", "50.0", "B-factor of the diagnostic image"}}});
    put_help_lines({"Data queue options:  ",
                    {{"dp_maxN_q", "5", "capacity of the read-ahead queue"},
                     {"dp_silent", "1", "non-zero mutes the queue's messages"}}});
    put_help_lines({"I/O options:  ",
                    {{"input_ctfstar", "NULL", "input CTF STAR file with micrographs and CTF values"},
                     {"boxsuffix", "_morvandel.star", "suffix of each micrograph's particle file"},
                     {"ctfstar", "micrographs_all_vorn.star", "CTF STAR summary of all micrographs; NONE for none"},
                     {"logsuffix", "_vorn.log", "suffix of each micrograph's log"},
                     {"write_local_ctf", "0", "write a local diagnostic image"},
                     {"plot_res_ring", "1", "draw the resolution ring into the diagnostic image"},
                     {"do_unfinished", "0", "skip micrographs whose log says they are done; keep their summary rows"},
                     {"pre_read", "0", "read the next micrographs on a second thread"},
                     {"skip_check_mrc", "0", "not used"},
                     {"skip_check_gpu", "0", "check the GPU given by --gid"},
                     {"reload_ctf_files", "0", "reload the spectra written by an earlier run"},
                     {"gid", "0", "index of the GPU; run quenvist to list the GPUs"},
                     kHelpSwitch}});
    std::printf("\033[1m Examples:\033[m \n");
    std::printf("   %s --apix 1.0 *.mrc\n", prog);
    std::printf("   %s --apix 1.0 --kV 300 --cs 2.7 --ac 0.1 *.mrc\n", prog);
    std::printf("   %s --apix 1.0 --kV 300 --cs 2.7 --ac 0.1 --do_EPA 1 --do_Hres_ref 1 *.mrc\n", prog);
    std::printf("   %s --apix 1.0 --kV 300 --cs 2.7 --ac 0.1 --do_local_refine 1 --boxsuffix _auto.star *.mrc\n",
                prog);
    std::printf("   %s --apix 1.0 --input_ctfstar micrographs_ctf.star --refine_input_ctf 1\n", prog);
    std::printf("\nPhase plate examples:\n");
    std::printf("   %s --apix 1.0 --kV 300 --cs 2.7 --ac 0.1 --phase_shift_L 0 --phase_shift_H 180 *.mrc\n", prog);
    std::printf("   %s --apix 1.0 --kV 300 --cs 2.7 --ac 0.1 --phase_shift_S 5 --phase_shift_T 2 *.mrc\n", prog);
    for (int i = 0; i < 6; ++i) vorn_put_rule('-', 99);
    vorn_put_info(prog);
}

// ================= values in force =================

void VORN_A::vorn_put_parameter_groups(FILE* f, bool log_form) {
    const VORN_Para& p = *para;
    const ParamEcho e{f};
    e.title("General options:");
    e.fl3("apix", p.apix);
    e.fl3("dstep", p.dstep);
    e.fl("kv", p.kV);
    e.fl("cs", p.cs);
    e.fl("ac", p.ac);
    std::fprintf(f, log_form ? "Phase shift options:  %s\n" : "Phase shift options: %s\n", p.phase_plate ? "ON" : "OFF");
    e.fl("phase_shift_L", p.phase_shift_L);
    e.fl("phase_shift_H", p.phase_shift_H);
    e.fl("phase_shift_S", p.phase_shift_S);
    e.in("phase_shift_T", p.phase_shift_T);
    e.in("only_search_ps", p.only_search_ps);
    e.in("cosearch_refine_ps", p.cosearch_refine_ps);
    e.title("Advanced options:");
    e.fl("bfac", p.bfac);
    e.fl("defL", p.defL);
    e.fl("defH", p.defH);
    if (!log_form) e.fl("defS", p.defS);
    e.fl("astm", p.astm);
    e.fl("resL", p.resL);
    e.fl("resH", p.resH);
    e.in("boxsize", p.boxsize);
    e.fl("overlap", p.overlap);
    e.in("convsize", p.convsize);
    e.in("convs_out", p.convs_out);
    e.in("refine_2d_T", p.refine_2d_T);
    e.in("defA_seeds", p.defA_seeds);
    e.fl("smooth_resL", p.smooth_resL);
    if (!log_form) e.in("do_validation", p.do_validation);
    e.title("EPA related options:");
    e.in("do_basic_rotave", p.do_basic_rotave);
    e.in("do_EPA", p.do_EPA);
    e.in("refine_after_EPA", p.refine_after_EPA);
    if (log_form) {
        e.in("EPA_oversmp", p.EPA_oversmp);
        e.in("EPA_bg_pn", p.EPA_bg_pn);
        e.fl("EPA_resL", p.EPA_resL);
        e.fl("EPA_resH", p.EPA_resH);
        e.fl("ncc_frac_max", p.ncc_frac_max);
        e.fl("ncc_frac_min", p.ncc_frac_min);
    }
    e.title("High resolution refinement options:");
    e.in("do_Hres_ref", p.do_Hres_ref);
    e.fl("Href_resL", p.Href_resL);
    e.fl("Href_resH", p.Href_resH);
    e.fl("Href_bfac", p.Href_bfac);
    e.fl("Href_PS_err", p.Href_PS_err);
    e.fl("Href_U_err", p.Href_U_err);
    e.fl("Href_V_err", p.Href_V_err);
    e.fl("Href_A_err", p.Href_A_err);
    e.title(log_form ? "B-factor estimation options:" : "Bfactor estimation options:");
    e.in("estimate_B", p.estimate_B);
    e.fl("B_resL", p.B_resL);
    e.fl("B_resH", p.B_resH);
    e.fl("res_lim_cc", p.res_lim_cc);
    e.fl("res_lim_L", p.res_lim_L);
    e.title("Movie options:");
    e.in("do_mdef_refine", p.do_mdef_refine);
    e.in("mdef_ave_type", p.mdef_ave_type);
    e.in("mdef_aveN", p.mdef_aveN);
    e.in("mdef_fit", p.mdef_fit);
    e.title("Local refinement options:");
    e.in("do_local_refine", p.do_local_refine);
    e.in("refine_local_astm", p.refine_local_astm);
    e.in("refine_local_ps", p.refine_local_ps);
    e.fl("local_PS_err", p.local_PS_err);
    e.fl("local_U_err", p.local_U_err);
    e.fl("local_V_err", p.local_V_err);
    e.fl("local_A_err", p.local_A_err);
    e.fl("local_radius", p.local_radius);
    e.in("local_boxsize", p.local_boxsize);
    e.fl("local_overlap", p.local_overlap);
    e.in("local_boxtype", p.local_boxtype);
    e.in("local_areatype", p.local_areatype);
    e.in("local_avetype", p.local_avetype);
    e.in("local_autogrid_X", p.local_autogrid_X);
    e.in("local_autogrid_Y", p.local_autogrid_Y);
    e.title("Correction options:  ");
    std::fprintf(f, "         --do_phase_flip     %d\n", p.do_phase_flip);
    if (!log_form) {
        e.title("Validation options:  ");
        std::fprintf(f, "         --do_validation     %d\n", p.do_validation);
    }
    e.title(log_form ? "CTF input parameters for refinement:" : "Input CTF parameters for refinement:");
    e.in("refine_input_ctf", p.refine_input_ctf);
    e.fl("ps_init", p.ps_init);
    e.fl("defU_init", p.defU_init);
    e.fl("defV_init", p.defV_init);
    e.fl("defA_init", p.defA_init);
    e.fl("B_init", p.B_init);
    e.fl("ps_err", p.ps_err);
    e.fl("defU_err", p.defU_err);
    e.fl("defV_err", p.defV_err);
    e.fl("defA_err", p.defA_err);
    e.fl("B_err", p.B_err);
    e.tx("input_ctfstar", p.input_ctfstar);
    if (log_form) {
        e.title("Validation options:  ");
        e.in("do_validation", p.do_validation);
    }
    e.title("Diagnosis CTF output options:");
    e.fl("ctfout_resL", p.ctfout_resL);
    e.fl("ctfout_resH", p.ctfout_resH);
    e.fl("ctfout_bfac", p.ctfout_bfac);
    e.title("Data queue options:");
    e.in("dp_maxN_q", p.dp_maxN_q);
    e.in("dp_silent", p.dp_silent);
    e.title("I/O options:");
    e.tx("ctfstar", p.ctfstar);
    e.tx("logsuffix", p.logsuffix);
    e.tx("boxsuffix", p.boxsuffix);
    e.in("write_local_ctf", p.write_local_ctf);
    if (!log_form) e.in("plot_res_ring", p.plot_res_ring);
    e.in("skip_check_mrc", p.skip_check_mrc);
    e.in("skip_check_gpu", p.skip_check_gpu);
    if (log_form) {
        e.in("plot_res_ring", p.plot_res_ring);
        e.in("pre_read", p.pre_read);
    } else {
        e.in("gid", p.gid);
    }
    e.in("do_unfinished", p.do_unfinished);
    e.in("reload_ctf_files", p.reload_ctf_files);
    if (log_form) e.in("gid", p.gid);
}

int VORN_A::vorn_fput_parameters() {
    if (log_file == nullptr) return 0;
    std::fprintf(log_file, "\nVORN , %s %s\n", VORN_VERSION, VORN_UPDATED);
    std::fprintf(log_file, "All parameters to be used:\n");
    vorn_put_parameter_groups(log_file, true);
    return 0;
}
