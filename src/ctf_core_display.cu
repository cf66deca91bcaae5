// Display images: a simulated and an observed centred half spectrum side by
// side in one full image, as the diagnostic outputs show them.
#define VORN_UNIT "src/ctf_core"
#include "ctf_core.h"

namespace {

// Row j of the image: columns 0 .. h-2 from the mirrored `left` (its Friedel
// mates, row ny - j, column h - 1 - c), columns h-1 .. nx-1 from `right` as it is.
void combine_row(float* row, const float* left, const float* right, int nx, int ny, int j) {
    const int h = nx / 2, nxh = h + 1;
    const float* mirrored = left + (size_t)((ny - j) % ny) * nxh;
    const float* direct = right + (size_t)j * nxh;
    for (int c = 0; c < nx; ++c) row[c] = c <= h - 2 ? mirrored[h - 1 - c] : direct[c - h + 1];
}

// The half spectra are (nx/2 + 1) wide: an odd width would read past each row of
// the right input, and past the array on its last row.
void require_even_width(const char* func, int line, int nx) {
    if (nx % 2 != 0) vorn_fatal_line(func, VORN_UNIT, line, "%d not an even number", nx);
}

}  // namespace

void cpu_2dh_ctf_sim_raw_combine(float* image, const float* left, const float* right, int nx, int ny) {
    require_even_width(__func__, __LINE__, nx);
    if (nx <= 0 || ny <= 0) return;
    for (int j = 0; j < ny; ++j) combine_row(image + (size_t)j * nx, left, right, nx, ny, j);
    image[(size_t)(ny / 2) * nx + nx / 2] = 0.0f;
}

void cpu_2dh_ctf_sim_raw_combine2(float* image, const float* first, const float* second, int nx, int ny) {
    require_even_width(__func__, __LINE__, nx);
    for (int j = 0; j < ny; ++j) combine_row(image + (size_t)j * nx, j < ny / 2 ? first : second, second, nx, ny, j);
}
