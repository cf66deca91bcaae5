// Entry point of the template picker: the banner, then the full help, or one
// picking run over every micrograph of the command line.
#define VORN_UNIT "src/morvandel"
#include <cstdio>

#include "morvandel56.h"
#include "str_utils.h"

int main(int argc, char** argv) {
    // Each line goes out as it is written, also into a file: a run stopped at a
    // batch system's time limit keeps the log of every micrograph it did.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    tessoranth_put_info(argv[0]);
    if (argc > 1 && is_keywd_help(argv[1])) {
        tessoranth_help_full(argv[0]);
        return 0;
    }
    // Non-zero when a micrograph was skipped, so that pipelines can stop on a bad batch.
    return morvandel_run_all(argc, argv);
}
