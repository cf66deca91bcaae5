// Areas that must not yield picks: cells whose local statistics show ice,
// aggregation or contamination, cells holding the centres of excluded boxes,
// the mask built from them, and the file of rejected areas.
#define VORN_UNIT "src/morvandel56"
#include "morvandel56.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "cuda_general.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "math_utils_gpu.h"
#include "process2d_raw.h"
#include "str_utils.h"

namespace {

void write_maps_and_rejected(const char* name, const Tessoranth_Para& para, const float* ave_d, const float* sigma_d,
                             const std::vector<unsigned>& idx, const std::vector<float>& cellave,
                             const std::vector<float>& cellsigma, int nx, int ny, int2 origin, int e) {
    char out[VORN_NAME_LEN];
    if (para.write_rejected_box) {
        mrcf_set_outname_by_suffix(out, name, MORVANDEL_REJECTED_BOX_SUFFIX);
        output_ice_coord(out, idx.data(), cellave.data(), cellsigma.data(), nx, ny, origin, e, para.shrink, 0);
        mrcf_set_outname_by_suffix(out, name, MORVANDEL_REJECTED_STAR_SUFFIX);
        output_ice_coord(out, idx.data(), cellave.data(), cellsigma.data(), nx, ny, origin, e, para.shrink, 1);
    }
    const float apix = para.apixM * (float)para.shrink;
    if (para.write_bg_mic) morvandel_write_map(name, MORVANDEL_BG_SUFFIX, ave_d, nx, ny, apix);
    if (para.write_lsigma_mic) morvandel_write_map(name, MORVANDEL_LSIGMA_SUFFIX, sigma_d, nx, ny, apix);
}

// Up to MORVANDEL_SPREAD_SAMPLE pixels evenly spread over n: every step-th,
// step odd so that successive rows are sampled in other columns.
size_t spread_step(size_t n) {
    size_t step = n > MORVANDEL_SPREAD_SAMPLE ? (n + MORVANDEL_SPREAD_SAMPLE - 1) / MORVANDEL_SPREAD_SAMPLE : 1;
    if (step > 1 && step % 2 == 0) ++step;
    return step;
}
std::vector<double> spread_sample(const float* image, size_t n) {
    const size_t step = spread_step(n);
    std::vector<double> sample;
    sample.reserve(n / step + 1);
    for (size_t i = 0; i < n; i += step) sample.push_back(image[i]);
    return sample;
}

__global__ void cuda_gather_every(float* out, const float* in, size_t step, size_t count) {
    const size_t i = (size_t)blockIdx.x * blockDim.x + threadIdx.x;
    if (i < count) out[i] = in[i * step];
}

double median_of(std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

}  // namespace

// ---- the scale of the map the ice search is handed ----

float morvandel_median(const float* image, size_t n) {
    if (n == 0) return 0.0f;
    std::vector<double> sample = spread_sample(image, n);
    return (float)median_of(sample);
}

// The deviation of the pixels within kClip deviations of their centre, found
// again from the pixels it keeps (the centre their mean) until they stay the
// same, and divided by the deviation a normal distribution keeps within kClip
// deviations of its centre. It starts from the median and from the median
// absolute deviation (scaled to a normal distribution's deviation), so that
// neither a few pixels far out (hot pixels) nor a minority of dense
// contamination widen it; where more than half the pixels are one value it
// starts from the plain deviation.
float morvandel_noise_deviation(const float* image, size_t n) {
    if (n == 0) return 0.0f;
    constexpr double kClip = 3.5, kMadToDeviation = 1.482602218505602;
    const double normal_pdf = std::exp(-0.5 * kClip * kClip) / 2.5066282746310002;  // sqrt(2 pi)
    const double kept_deviation = std::sqrt(1.0 - 2.0 * kClip * normal_pdf / std::erf(kClip / std::sqrt(2.0)));
    std::vector<double> sample = spread_sample(image, n);
    double centre = median_of(sample);
    size_t kept = 0;
    // The mean and deviation of the pixels within bound of the centre.
    const auto within = [&](double bound, double& mean) {
        double sum = 0, sum2 = 0;
        kept = 0;
        for (double v : sample)
            if (std::fabs(v - centre) <= bound) sum += v, sum2 += v * v, ++kept;
        mean = sum / (double)kept;
        return std::sqrt(std::max(0.0, sum2 / (double)kept - mean * mean));
    };
    double plain_mean = 0.0;
    const double plain = within(INFINITY, plain_mean);
    std::vector<double> spread(sample.size());
    for (size_t i = 0; i < sample.size(); ++i) spread[i] = std::fabs(sample[i] - centre);
    double s = kMadToDeviation * median_of(spread);
    if (!(s > 0.0)) s = plain;
    for (int round = 0; round < 100 && s > 0.0 && std::isfinite(s); ++round) {
        const size_t was = kept;
        double mean = 0.0;
        const double next = within(kClip * s, mean) / kept_deviation;
        if (!(next > 0.0)) return (float)plain;  // the pixels within the bound are one value
        const bool same = kept == was && mean == centre;
        s = next;
        centre = mean;
        if (same) break;
    }
    return (float)s;
}

std::vector<float> morvandel_spread_sample(const float* image_d, size_t n) {
    if (n == 0) return {};
    const size_t step = spread_step(n), count = (n - 1) / step + 1;
    float* gathered = device_buffer<float>(GPU_SITE, count);
    gpu_launch_1d<cuda_gather_every>(GPU_SITE, count, gathered, image_d, step, count);
    std::vector<float> sample(count);
    copy_to_host(GPU_SITE, sample.data(), (const float*)gathered, count);
    device_release(GPU_SITE, gathered);
    return sample;
}

void morvandel_ice_map(float* ice_d, const float* mic_d, size_t n, float to_noise) {
    const std::vector<float> sample = morvandel_spread_sample(mic_d, n);
    const float centre = morvandel_median(sample.data(), sample.size());
    hcuda_multi_add(ice_d, mic_d, n, to_noise, -centre * to_noise);
}

// ---- the area left out ----

MorvandelLeftOut morvandel_left_out(const std::vector<unsigned>& ice, const std::vector<unsigned>& excluded, int nx,
                                    int ny, int g, const std::vector<unsigned>& ice_cells) {
    MorvandelLeftOut out;
    if (nx <= 0 || ny <= 0 || g <= 0) return out;
    // Bit 1: within reach of an ice mark, bit 2: of an excluded mark.
    std::vector<unsigned char> marked((size_t)nx * ny, 0);
    const long long reach2 = 2LL * g * g;  // the exclusive filter drops a pick below this squared distance
    const auto paint = [&](const std::vector<unsigned>& marks, unsigned char bit) {
        for (unsigned v : marks) {
            if (v == 0) continue;
            const long long mx = v % (unsigned)nx, my = v / (unsigned)nx;
            for (long long dy = -2LL * g; dy <= 2LL * g; ++dy) {
                const long long y = my + dy, room = reach2 - dy * dy;
                if (y < 0 || y >= ny || room <= 0) continue;
                long long w = (long long)std::sqrt((double)(room - 1));  // largest dx with dx^2 < room
                while (w * w >= room) --w;
                while ((w + 1) * (w + 1) < room) ++w;
                const long long x0 = std::max(0LL, mx - w), x1 = std::min((long long)nx - 1, mx + w);
                unsigned char* row = marked.data() + (size_t)y * nx;
                for (long long x = x0; x <= x1; ++x) row[x] |= bit;
            }
        }
    };
    paint(ice, 1);
    const int gx = grid_cells(nx, g);
    for (size_t c = 0; c < ice_cells.size(); ++c) {
        if (ice_cells[c] == 0) continue;
        const CellBounds b = cell_bounds((int)(c % (size_t)gx), (int)(c / (size_t)gx), g, nx, ny);
        for (int y = b.y0; y < b.y1; ++y)
            for (int x = b.x0; x < b.x1; ++x) marked[(size_t)y * nx + x] |= 1;
    }
    paint(excluded, 2);
    size_t by_ice = 0, by_excluded = 0;
    for (unsigned char b : marked) {
        by_ice += b & 1;
        by_excluded += b == 2 ? 1 : 0;
    }
    const double area = (double)nx * (double)ny;
    out.ice = (double)by_ice / area;
    out.excluded = (double)by_excluded / area;
    return out;
}

// ---- the ice search ----

// The last pixel that passes a test at its turn rejects the cell; the first
// pixel never does, as it starts as the cell's own statistics.
__global__ void cuda_find_sigma_grids(const float* ave, const float* sigma, unsigned* idx, float* cellave,
                                      float* cellsigma, int nx, int ny, int gx, int gy, int e, float lave_min,
                                      float lave_max, float lsigma_cutoff) {
    int i, j;
    if (!grid_cell_of_thread(gx, gy, i, j)) return;
    const CellBounds c = cell_bounds(i, j, e, nx, ny);
    const size_t first = (size_t)c.y0 * nx + c.x0;
    float cave = ave[first], csig = sigma[first];
    unsigned index = 0;
    for (int y = c.y0; y < c.y1; ++y)
        for (int x = c.x0; x < c.x1; ++x) {
            const size_t k = (size_t)y * nx + x;
            const float a = ave[k], s = sigma[k];
            if ((s > csig && s > lsigma_cutoff) || (cave > a && a < lave_min) || (cave < a && a > lave_max)) {
                cave = a;
                csig = s;
                index = (unsigned)k;
            }
        }
    const int cell = j * gx + i;
    cellave[cell] = cave;
    cellsigma[cell] = csig;
    idx[cell] = index;
}

void hcuda_find_sigma_grids(const float* ave_d, const float* sigma_d, unsigned* idx_d, float* cellave_d,
                            float* cellsigma_d, int nx, int ny, int e, float lave_min, float lave_max,
                            float lsigma_cutoff) {
    if (e <= 0) VORN_FATAL("the ice cell side must be at least 1 pixel, not %d", e);
    const int gx = grid_cells(nx, e), gy = grid_cells(ny, e);
    gpu_launch_2d<cuda_find_sigma_grids>(GPU_SITE, (unsigned)gx, (unsigned)gy, ave_d, sigma_d, idx_d, cellave_d,
                                         cellsigma_d, nx, ny, gx, gy, e, lave_min, lave_max, lsigma_cutoff);
}

int hcuda_2d_ice_detect(float* mic_d, int nx, int ny, int2 origin, unsigned* idx_d, const char* name,
                        const Tessoranth_Para& para) {
    LocalStatsWork work;
    return hcuda_2d_ice_detect(mic_d, nx, ny, origin, idx_d, name, para, work);
}

int hcuda_2d_ice_detect(float* mic_d, int nx, int ny, int2 origin, unsigned* idx_d, const char* name,
                        const Tessoranth_Para& para, LocalStatsWork& work) {
    const int e = tessoranth_cell_side(para.min_dist_px);
    const size_t n = (size_t)nx * ny, cells = (size_t)grid_cells(nx, e) * grid_cells(ny, e);
    if (cells == 0) return 0;
    float* sigma_d = device_buffer<float>(GPU_SITE, n);
    float* ave_d = device_buffer<float>(GPU_SITE, n);
    float* cellave_d = device_buffer<float>(GPU_SITE, cells);
    float* cellsigma_d = device_buffer<float>(GPU_SITE, cells);
    std::vector<unsigned> idx(cells);
    std::vector<float> cellave(cells), cellsigma(cells);

    hcuda_2d_local_ave_sigma_softR_mpad(ave_d, sigma_d, mic_d, (unsigned)nx, (unsigned)ny, para.lave_px,
                                        para.lsigma_px, para.ice_softwidth, work);
    hcuda_find_sigma_grids(ave_d, sigma_d, idx_d, cellave_d, cellsigma_d, nx, ny, e, para.lave_min, para.lave_max,
                           para.lsigma_cutoff);
    copy_to_host(GPU_SITE, idx.data(), idx_d, cells);
    copy_to_host(GPU_SITE, cellave.data(), cellave_d, cells);
    copy_to_host(GPU_SITE, cellsigma.data(), cellsigma_d, cells);
    write_maps_and_rejected(name, para, ave_d, sigma_d, idx, cellave, cellsigma, nx, ny, origin, e);
    for (void* d : {(void*)sigma_d, (void*)ave_d, (void*)cellave_d, (void*)cellsigma_d}) device_release(GPU_SITE, d);
    return 0;
}

// ---- excluded boxes ----

int add_excluded_coords_to_ice(unsigned* idx_d, int nx, int ny, int e, const PTCL_BOX* boxes, int n, int shrink,
                               int2 origin) {
    if (e <= 0 || shrink <= 0) VORN_FATAL("cell side %d and shrink %d must be at least 1", e, shrink);
    const int gx = grid_cells(nx, e);
    for (int b = 0; b < n; ++b) {
        // The centre in the original micrograph, then in the shrunk map.
        const long long X = (long long)boxes[b].x + boxes[b].w / 2 - origin.x;
        const long long Y = (long long)boxes[b].y + boxes[b].h / 2 - origin.y;
        if (X < 0 || Y < 0) continue;
        const long long cx = X / shrink, cy = Y / shrink;
        if (cx >= nx || cy >= ny) continue;
        const unsigned value = (unsigned)(cx + (long long)nx * cy);
        const size_t cell = (size_t)(cx / e) + (size_t)(cy / e) * gx;
        CUDA_CHECK(memcpy_H2D(idx_d + cell, &value, sizeof(unsigned)));
    }
    return 0;
}

int add_excluded_boxf_to_ice(unsigned* idx_d, int nx, int ny, int e, char* name, int shrink, int2 origin) {
    if (is_str_null(name) || check_file_access(name, "FR") != 0) return 0;
    if (e <= 0) VORN_FATAL("the ice cell side must be at least 1 pixel, not %d", e);
    const int capacity = grid_cells(nx, e) * grid_cells(ny, e);
    std::vector<PTCL_BOX> boxes((size_t)(capacity > 0 ? capacity : 1));
    const int n = read_all_ptcl_boxes(boxes.data(), capacity, name);
    if (n < 0) return 0;  // the reader has said why the file cannot be read: nothing is excluded
    std::printf("%8d particles in file %s excluded from auto-picking \n", n, name);
    if (n > 0) add_excluded_coords_to_ice(idx_d, nx, ny, e, boxes.data(), n, shrink, origin);
    return 0;
}

// ---- mask ----

__global__ void cuda_2d_generate_mask_by_coords(float* mask, int nx, int ny, int gx, int gy, int e,
                                                const unsigned* idx, float flag) {
    int i, j;
    if (!grid_cell_of_thread(gx, gy, i, j)) return;
    const float v = idx[j * gx + i] != 0 ? flag : 1.0f - flag;
    const CellBounds c = cell_bounds(i, j, e, nx, ny);
    for (int y = c.y0; y < c.y1; ++y)
        for (int x = c.x0; x < c.x1; ++x) mask[(size_t)y * nx + x] = v;
}

int hcuda_2d_generate_mask_by_coords(float* mask_d, const float*, int nx, int ny, int e, const unsigned* idx_d,
                                     float flag) {
    if (e <= 0) VORN_FATAL("the ice cell side must be at least 1 pixel, not %d", e);
    const int gx = grid_cells(nx, e), gy = grid_cells(ny, e);
    gpu_launch_2d<cuda_2d_generate_mask_by_coords>(GPU_SITE, (unsigned)gx, (unsigned)gy, mask_d, nx, ny, gx, gy, e,
                                                   idx_d, flag);
    return 0;
}
