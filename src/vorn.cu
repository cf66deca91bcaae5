// Entry point of the estimator: the banner, then the short usage, the full
// help, or one estimator run over every micrograph of the command line.
#define VORN_UNIT "src/vorn"
#include <cstdio>

#include "ctf.h"
#include "str_utils.h"

int main(int argc, char** argv) {
    vorn_put_info(argv[0]);
    if (argc < 2) {
        vorn_print_usage(argv[0]);
        return 0;
    }
    if (is_keywd_help(argv[1])) {
        vorn_print_help(argv[0]);
        return 0;
    }
    VORN_A* vorn = new VORN_A();
    // Non-zero when a micrograph failed, so that pipelines can stop on a bad batch.
    const int status = vorn->vorn_run_all(argc, argv);
    delete vorn;
    return status;
}
