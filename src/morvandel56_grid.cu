// Picks from a correlation maximum map: the best pixel of each square cell,
// then the cutoff and the neighbour filter (plain and with excluded positions).
#define VORN_UNIT "src/morvandel56"
#include "morvandel56.h"

#include "gpu_buffers.h"
#include "gpu_launch.h"

namespace {

struct CellBest {
    float best;
    unsigned index;  // 0: no pick (also when the cell's first pixel is its best)
};

// Row by row, x fastest, from the cell's first pixel; only a strictly larger
// value replaces, so a NaN never does and the first of equal maxima wins.
__device__ __forceinline__ CellBest best_in_cell(const float* cc, int i, int j, int nx, int ny, int g) {
    const CellBounds c = cell_bounds(i, j, g, nx, ny);
    CellBest b{cc[(size_t)c.y0 * nx + c.x0], 0u};
    for (int y = c.y0; y < c.y1; ++y)
        for (int x = c.x0; x < c.x1; ++x) {
            const size_t p = (size_t)y * nx + x;
            if (b.best < cc[p]) b = CellBest{cc[p], (unsigned)p};
        }
    return b;
}

template <bool WithPsi>
__device__ __forceinline__ void find_cell(const float* cc, const float* psi, unsigned* idx, float* cellmax,
                                          float* cellpsi, int nx, int ny, int gx, int gy, int g) {
    int i, j;
    if (!grid_cell_of_thread(gx, gy, i, j)) return;
    const int k = j * gx + i;
    const CellBest b = best_in_cell(cc, i, j, nx, ny, g);
    cellmax[k] = b.best;
    idx[k] = b.index;
    if (WithPsi && b.index != 0) cellpsi[k] = psi[b.index];
}

// Two picks conflict below sqrt(2)*g, the diagonal of one cell.
__device__ __forceinline__ bool too_close(unsigned a, unsigned b, int nx, int g) {
    const long long dx = (long long)(a % (unsigned)nx) - (long long)(b % (unsigned)nx);
    const long long dy = (long long)(a / (unsigned)nx) - (long long)(b / (unsigned)nx);
    return dx * dx + dy * dy < 2LL * g * g;
}

__device__ __forceinline__ int clamp_to_grid(int v, int own, int n) { return v < 0 || v >= n ? own : v; }

// Neighbours are read from found, the pick indices as the find step left them,
// so no cell sees another's decision of the same pass.
template <bool Exclusive>
__device__ __forceinline__ void filter_cell(unsigned* idx, const unsigned* found, const float* cellmax, float cutoff,
                                            int nx, int gx, int gy, int g, const unsigned* excluded, int n) {
    int i, j;
    if (!grid_cell_of_thread(gx, gy, i, j)) return;
    const int k = j * gx + i;
    if (cellmax[k] < cutoff) {
        idx[k] = 0;
        return;
    }
    const unsigned pick = found[k];
    if (Exclusive)
        for (int e = 0; e < n; ++e)
            if (too_close(pick, excluded[e], nx, g)) {
                idx[k] = 0;
                return;
            }
    // Next row, previous row, left, right, then the four corners.
    const int di[8] = {0, 0, -1, 1, -1, 1, -1, 1}, dj[8] = {1, -1, 0, 0, 1, 1, -1, -1};
    for (int m = 0; m < 8; ++m) {
        const int nb = clamp_to_grid(j + dj[m], j, gy) * gx + clamp_to_grid(i + di[m], i, gx);
        if (too_close(pick, found[nb], nx, g) && cellmax[k] < cellmax[nb]) {
            idx[k] = 0;
            return;
        }
    }
}

void require_cell_side(int g) {
    if (g <= 0) VORN_FATAL("the grid cell side must be at least 1 pixel, not %d", g);
}

template <auto Kernel, class... A>
void launch_over_cells(GpuSite at, int gx, int gy, const A&... args) {
    gpu_launch_2d<Kernel>(at, (unsigned)gx, (unsigned)gy, args...);
}

// Runs the filter kernel on a copy of the pick indices taken before the launch.
template <auto Kernel, class... A>
void filter_on_snapshot(unsigned* idx, int gx, int gy, const A&... rest) {
    const size_t cells = (size_t)gx * gy;
    if (cells == 0) return;
    unsigned* found = device_buffer<unsigned>(GPU_SITE, cells);
    CUDA_CHECK(memcpy_D2D(found, idx, cells * sizeof(unsigned)));
    launch_over_cells<Kernel>(GPU_SITE, gx, gy, idx, (const unsigned*)found, rest...);
    device_release(GPU_SITE, found);
}

}  // namespace

int grid_cells(int n, int g) { return g > 0 ? (n + g - 1) / g : 0; }

// ---- kernels ----

__global__ void cuda_find_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, int nx, int ny, int gx, int gy,
                                      int g) {
    find_cell<false>(cc, nullptr, idx, cellmax, nullptr, nx, ny, gx, gy, g);
}
__global__ void cuda_find_ccmax_psi_grids(const float* cc, const float* psi, unsigned* idx, float* cellmax,
                                          float* cellpsi, int nx, int ny, int gx, int gy, int g) {
    find_cell<true>(cc, psi, idx, cellmax, cellpsi, nx, ny, gx, gy, g);
}
// On equal values the earlier map keeps the cell.
__global__ void cuda_find_update_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, int nx, int ny, int gx,
                                             int gy, int g) {
    int i, j;
    if (!grid_cell_of_thread(gx, gy, i, j)) return;
    const int k = j * gx + i;
    const CellBest b = best_in_cell(cc, i, j, nx, ny, g);
    if (cellmax[k] < b.best) {
        cellmax[k] = b.best;
        idx[k] = b.index;
    }
}
__global__ void cuda_filter_ccmax_grids(unsigned* idx, const unsigned* found, const float* cellmax, float cutoff,
                                        int nx, int, int gx, int gy, int g) {
    filter_cell<false>(idx, found, cellmax, cutoff, nx, gx, gy, g, nullptr, 0);
}
__global__ void cuda_filter_ccmax_psi_grids(unsigned* idx, const unsigned* found, const float* cellmax, const float*,
                                            float cutoff, int nx, int, int gx, int gy, int g) {
    filter_cell<false>(idx, found, cellmax, cutoff, nx, gx, gy, g, nullptr, 0);
}
__global__ void cuda_filter_ccmax_psi_grids_exclusive(unsigned* idx, const unsigned* found, const float* cellmax,
                                                      const float*, float cutoff, int nx, int, int gx, int gy, int g,
                                                      const unsigned* excluded, int n) {
    filter_cell<true>(idx, found, cellmax, cutoff, nx, gx, gy, g, excluded, n);
}

// ---- host functions on device grids ----

void hcuda_find_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, int nx, int ny, int gx, int gy, int g) {
    require_cell_side(g);
    launch_over_cells<cuda_find_ccmax_grids>(GPU_SITE, gx, gy, cc, idx, cellmax, nx, ny, gx, gy, g);
}

void hcuda_find_update_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, int nx, int ny, int gx, int gy,
                                   int g) {
    require_cell_side(g);
    launch_over_cells<cuda_find_update_ccmax_grids>(GPU_SITE, gx, gy, cc, idx, cellmax, nx, ny, gx, gy, g);
}

void hcuda_filter_ccmax_grids(const float*, unsigned* idx, float* cellmax, float cutoff, int nx, int ny, int gx,
                              int gy, int g) {
    require_cell_side(g);
    filter_on_snapshot<cuda_filter_ccmax_grids>(idx, gx, gy, (const float*)cellmax, cutoff, nx, ny, gx, gy, g);
}

void hcuda_find_filter_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, float cutoff, int nx, int ny,
                                   int gx, int gy, int g) {
    hcuda_find_ccmax_grids(cc, idx, cellmax, nx, ny, gx, gy, g);
    hcuda_filter_ccmax_grids(cc, idx, cellmax, cutoff, nx, ny, gx, gy, g);
}

void hcuda_find_filter_ccmax_psi_grids(const float* cc, const float* psi, unsigned* idx, float* cellmax,
                                       float* cellpsi, float cutoff, int nx, int ny, int gx, int gy, int g) {
    require_cell_side(g);
    launch_over_cells<cuda_find_ccmax_psi_grids>(GPU_SITE, gx, gy, cc, psi, idx, cellmax, cellpsi, nx, ny, gx, gy,
                                                 g);
    filter_on_snapshot<cuda_filter_ccmax_psi_grids>(idx, gx, gy, (const float*)cellmax, (const float*)cellpsi,
                                                    cutoff, nx, ny, gx, gy, g);
}

void hcuda_find_update_filter_ccmax_grids(const float* cc, unsigned* idx, float* cellmax, float cutoff, int nx,
                                          int ny, int gx, int gy, int g) {
    hcuda_find_update_ccmax_grids(cc, idx, cellmax, nx, ny, gx, gy, g);
    hcuda_filter_ccmax_grids(cc, idx, cellmax, cutoff, nx, ny, gx, gy, g);
}

// ---- host grids ----

namespace {

// Device grids for the find-and-filter of host grids: run(idx, cellmax, cellpsi)
// on them, then the results copied back. The angle grid starts as the host's,
// so a cell without a pick keeps the caller's value.
template <class Run>
void on_device_grids(unsigned* idx, float* cellmax, float* cellpsi, int nx, int ny, int g, Run run) {
    require_cell_side(g);
    const int gx = grid_cells(nx, g), gy = grid_cells(ny, g);
    const size_t cells = (size_t)gx * gy;
    if (cells == 0) return;
    unsigned* idx_d = device_buffer<unsigned>(GPU_SITE, cells);
    float* cellmax_d = device_buffer<float>(GPU_SITE, cells);
    float* cellpsi_d = device_copy_of(GPU_SITE, (const float*)cellpsi, cells);
    run(idx_d, cellmax_d, cellpsi_d, gx, gy);
    copy_to_host(GPU_SITE, idx, idx_d, cells);
    copy_to_host(GPU_SITE, cellmax, cellmax_d, cells);
    copy_to_host(GPU_SITE, cellpsi, cellpsi_d, cells);
    for (void* d : {(void*)idx_d, (void*)cellmax_d, (void*)cellpsi_d}) device_release(GPU_SITE, d);
}

}  // namespace

void gpu_find_filter_ccmax_psi_grids(const float* cc, const float* psi, unsigned* idx, float* cellmax,
                                     float* cellpsi, float cutoff, int nx, int ny, int g) {
    on_device_grids(idx, cellmax, cellpsi, nx, ny, g, [&](unsigned* i_d, float* m_d, float* p_d, int gx, int gy) {
        hcuda_find_filter_ccmax_psi_grids(cc, psi, i_d, m_d, p_d, cutoff, nx, ny, gx, gy, g);
    });
}

void gpu_find_filter_ccmax_psi_grids_exclusive(const float* cc, const float* psi, unsigned* idx, float* cellmax,
                                               float* cellpsi, float cutoff, int nx, int ny, int g,
                                               const unsigned* excluded, int n) {
    on_device_grids(idx, cellmax, cellpsi, nx, ny, g, [&](unsigned* i_d, float* m_d, float* p_d, int gx, int gy) {
        launch_over_cells<cuda_find_ccmax_psi_grids>(GPU_SITE, gx, gy, cc, psi, i_d, m_d, p_d, nx, ny, gx, gy, g);
        filter_on_snapshot<cuda_filter_ccmax_psi_grids_exclusive>(i_d, gx, gy, (const float*)m_d, (const float*)p_d,
                                                                  cutoff, nx, ny, gx, gy, g, excluded, n);
    });
}
