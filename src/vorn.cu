// Entry point of the estimator.
#define VORN_UNIT "src/vorn"
#include <cstdio>

#include "cuda_general.h"

int main(int argc, char** argv) {
    (void)argv;
    if (argc < 2) {
        std::printf("vorn: CTF estimation for cryo-electron micrographs\n");
        std::printf("Usage: vorn [options] micrograph.mrc ...\n");
    }
    return 0;
}
