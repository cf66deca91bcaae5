// A program built against the installed vorn library: low-pass filters the
// first image of a square MRC file with the library's Fourier filter command.
// The filters leave their output scaled by the pixel count n^2.
//
//   vorn_lowpass in.mrc out.mrc apix resolution     (apix in A per pixel, resolution in A)
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "image_filter.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s in.mrc out.mrc apix resolution\n", argv[0]);
        return 2;
    }
    const float apix = std::strtof(argv[3], nullptr), resolution = std::strtof(argv[4], nullptr);
    // The sharp band-pass (type 3) from an infinite resolution down to the one
    // given keeps the zero frequency: a low-pass.
    return mrcf_2d_bandpass(argv[1], argv[2], apix, INFINITY, resolution, 0.0f, 3) == 0 ? 0 : 1;
}
