// FFT wrappers over cuFFT, the spectrum layouts and their conversions, and the
// amplitude spectra summed over box grids and stacks with their logarithm and
// box-filtered background.
#define VORN_UNIT "src/cuda_fft"
#include "cuda_fft.h"
#include "fft_plan.h"
#include "gpu_launch.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "cuda_complex.h"
#include "process2d_core.h"
#include "process2d_raw.h"

namespace {

// ---- sizes and checks ----

size_t half_count(unsigned nx, unsigned ny) { return (size_t)(nx / 2 + 1) * ny; }
// sqrt(nx*ny) in single precision, the product formed in 64 bits.
float fft_scale(unsigned nx, unsigned ny) { return sqrtf((float)image_pixels(nx, ny)); }

// The layouts place the origin at nx/2 - 1 and ny/2 and pair rows y and y + ny/2:
// an odd size would silently scramble them, so it ends the process.
void require_even(const char* func, int line, unsigned long v) {
    if (v % 2 != 0) vorn_fatal_line(func, VORN_UNIT, line, "%lu not an even number", v);
}
#define REQUIRE_EVEN(v) require_even(__func__, __LINE__, (v))

// A background window narrower than 2 pixels is empty and would give 0/0 everywhere.
void require_background_box(const char* func, int line, int g) {
    if (g < 2) vorn_fatal_line(func, VORN_UNIT, line, "background box size %d is below 2", g);
}
#define REQUIRE_BACKGROUND_BOX(g) require_background_box(__func__, __LINE__, (g))

template <class T> T* device_array(size_t n) {
    T* p = nullptr;
    CUDA_CHECK(cudaMalloc((void**)&p, n * sizeof(T)));
    return p;
}
void device_free(void* p) { CUDA_CHECK(cudaFree(p)); }

// ---- kernel frames and launches ----

// The thread's element (x, y) of a w x h launch; false beyond the edge.
__device__ __forceinline__ bool thread_xy(unsigned w, unsigned h, unsigned& x, unsigned& y) {
    x = blockIdx.x * blockDim.x + threadIdx.x;
    y = blockIdx.y * blockDim.y + threadIdx.y;
    return x < w && y < h;
}
// The thread's element of a flat launch, in 64 bits.
__device__ __forceinline__ bool thread_i(size_t n, size_t& i) {
    i = (size_t)blockIdx.x * blockDim.x + threadIdx.x;
    return i < n;
}


// (a + b) mod m for a < m and b <= m, without a division.
template <class T> __device__ __forceinline__ T wrap_add(T a, T b, T m) { return a + b >= m ? a + b - m : a + b; }

// ---- value maps applied on the way ----

struct Keep {
    template <class T> __device__ T operator()(T v) const { return v; }
};
struct DivideBy {
    float r;
    __device__ float operator()(float v) const { return v / r; }
    __device__ float2 operator()(float2 v) const { return make_float2(v.x / r, v.y / r); }
};

__device__ __forceinline__ float amplitude(float2 z) { return sqrtf(z.x * z.x + z.y * z.y); }

// What the flat y-centring conversions do with |z| at the destination j.
struct StoreAmp {
    __device__ void operator()(float* out, size_t j, float a) const { out[j] = a; }
};
struct AddAmp {
    __device__ void operator()(float* out, size_t j, float a) const { out[j] += a; }
};
struct AddWeightedAmp {
    float w;
    __device__ void operator()(float* out, size_t j, float a) const { out[j] = fmaf(w, a, out[j]); }
};
struct AddMapWeightedAmp {
    const float* W;
    __device__ void operator()(float* out, size_t j, float a) const { out[j] += W[j] * a; }
};
struct StoreLogAmp {
    __device__ void operator()(float* out, size_t j, float a) const { out[j] = logf(a); }
};

// ---- kernels ----

template <bool ZeroC0>
__global__ void cuda_fftA_half2full(float* full, const float* half, unsigned nx, unsigned ny) {
    unsigned x, y;
    if (!thread_xy(nx, ny, x, y)) return;
    const unsigned nxh = nx / 2 + 1, origin = nx / 2 - 1;
    // Negative kx is the Friedel mate: column origin - x of the mirrored row.
    float v = x >= origin ? half[(size_t)y * nxh + (x - origin)] : half[(size_t)(y == 0 ? 0 : ny - y) * nxh + (origin - x)];
    if (ZeroC0 && x == nx / 2 && y == ny / 2) v = 0.0f;
    full[(size_t)y * nx + x] = v;
}

__global__ void cuda_fftA_full2half(float* half, const float* full, unsigned nx, unsigned ny) {
    unsigned x, y;
    const unsigned nxh = nx / 2 + 1;
    if (thread_xy(nxh, ny, x, y)) half[(size_t)y * nxh + x] = full[(size_t)y * nx + x + nx / 2 - 1];
}

// out[(y + h/2) mod h][(x + sx) mod w] = map(in[y][x]).
template <class T, class Map>
__global__ void cuda_shift_copy(T* out, const T* in, unsigned w, unsigned h, unsigned sx, Map map) {
    unsigned x, y;
    if (thread_xy(w, h, x, y)) out[(size_t)wrap_add(y, h / 2, h) * w + wrap_add(x, sx, w)] = map(in[(size_t)y * w + x]);
}

// For y < h/2: a[y][x] and a[y + h/2][(x + sx) mod w] exchanged, both mapped.
template <class T, class Map>
__global__ void cuda_swap_halves(T* a, unsigned w, unsigned h, unsigned sx, Map map) {
    unsigned x, y;
    if (!thread_xy(w, h / 2, x, y)) return;
    const size_t i = (size_t)y * w + x, j = (size_t)(y + h / 2) * w + wrap_add(x, sx, w);
    const T u = a[i], v = a[j];
    a[i] = map(v);
    a[j] = map(u);
}

template <class Op>
__global__ void cuda_complex_amp_center_swap(float* out, const float2* in, unsigned long n, Op op) {
    size_t i;
    if (thread_i(n, i)) op(out, wrap_add(i, n / 2, (size_t)n), amplitude(in[i]));
}

// out[j] += |in_b[i]| for the count spectra in_b = in + b*n, b in order, with
// j = (i + n/2) mod n: the same sums as adding the spectra one after another.
// A thread takes a run of GPU_LANES elements (gpu.h), at once unless the run
// wraps around the end of the array.
__global__ void cuda_complex_amps_addto_center_swap(float* out, const float2* in, unsigned long n, unsigned count) {
    const size_t i = ((size_t)blockIdx.x * blockDim.x + threadIdx.x) * GPU_LANES;
    if (i >= n) return;
    const size_t j = wrap_add(i, n / 2, (size_t)n);
    if (i + GPU_LANES <= n && j + GPU_LANES <= n) {
        gpu_lanes_f s = gpu_lanes_load(out + j);
        for (unsigned b = 0; b < count; ++b) {
            gpu_lanes_f re, im;
            gpu_lanes_load_complex(in + b * n + i, re, im);
            s += gpu_lanes_sqrt(re * re + im * im);
        }
        gpu_lanes_store(out + j, s, GPU_LANES);
        return;
    }
    for (size_t e = i; e < i + GPU_LANES && e < n; ++e) {
        float s = out[wrap_add(e, n / 2, (size_t)n)];
        for (unsigned b = 0; b < count; ++b) s += amplitude(in[b * n + e]);
        out[wrap_add(e, n / 2, (size_t)n)] = s;
    }
}

__global__ void cuda_2ds_fft_amp_local_w1d_gen(float* W, int n, const float* d, float rho) {
    size_t k;
    if (thread_i((size_t)n, k)) W[k] = expf(-(d[k] * d[k]) / (2.0f * rho * rho));
}

__global__ void cuda_2d_fft_amp_local_w2d_gen(float* W, int nxh, int ny, float d, float rho, float apix, float R) {
    unsigned x, y;
    if (!thread_xy((unsigned)nxh, (unsigned)ny, x, y)) return;
    W[(size_t)y * nxh + x] = local_frequency_weight(half_element_frequency(x, y, nxh, ny), d, rho, apix, R);
}

// ---- transforms ----

cufftHandle plan_2d(unsigned nx, unsigned ny, cufftType type) { return fft_plan_2d(GPU_SITE, nx, ny, type); }

void run_r2c(cufftHandle plan, float* in, float2* out) {
    CUFFT_CHECK(cufftExecR2C(plan, in, out));
    CUDA_CHECK(cudaDeviceSynchronize());
}

template <class ImageOf, class Use>
void transform_each(unsigned nx, unsigned ny, size_t count, ImageOf image_of, Use use) {
    fft_r2c_each(GPU_SITE, nx, ny, count, image_of, use);
}

// Transforms per cuFFT call: as many as fit with their spectra in 32 MiB (at
// least one), so that one call has enough work to spread.
size_t transforms_per_batch(unsigned nx, unsigned ny, size_t count) {
    const size_t batch_bytes = (size_t)32 << 20;
    return std::max<size_t>(1, std::min(count, batch_bytes / (half_count(nx, ny) * sizeof(float2))));
}

// batch transforms of nx x ny: contiguous images, or with row_pitch and image_step
// (both nonzero) images read in place from a larger image, rows row_pitch floats
// apart and each image image_step floats after the one before.
cufftHandle plan_2d_batch(unsigned nx, unsigned ny, size_t batch, unsigned row_pitch = 0, unsigned image_step = 0) {
    int n[2] = {(int)ny, (int)nx};  // rows first
    int inembed[2] = {(int)ny, (int)row_pitch}, onembed[2] = {(int)ny, (int)(nx / 2 + 1)};
    const bool in_place = row_pitch != 0;
    cufftHandle plan;
    CUFFT_CHECK(cufftPlanMany(&plan, 2, n, in_place ? inembed : nullptr, 1, (int)image_step,
                              in_place ? onembed : nullptr, 1, (int)half_count(nx, ny), CUFFT_R2C, (int)batch));
    return plan;
}

// Transforms count device images batch by batch: images(k, n) gives images k to
// k + n - 1 one after another (nx*ny floats each), use(k, n, spectra) takes their n
// unscaled half spectra, one after another.
template <class ImagesOf, class Use>
void transform_batches(unsigned nx, unsigned ny, size_t count, ImagesOf images, Use use) {
    if (nx == 0 || ny == 0 || count == 0) return;
    const size_t batch = transforms_per_batch(nx, ny, count), tail = count % batch;
    float2* spectra = device_array<float2>(batch * half_count(nx, ny));
    const cufftHandle full_plan = plan_2d_batch(nx, ny, batch);
    const cufftHandle tail_plan = tail ? plan_2d_batch(nx, ny, tail) : full_plan;
    for (size_t k = 0; k < count; k += batch) {
        const size_t n = std::min(batch, count - k);
        run_r2c(n == batch ? full_plan : tail_plan, images(k, n), spectra);
        use(k, n, spectra);
    }
    if (tail) CUFFT_CHECK(cufftDestroy(tail_plan));
    CUFFT_CHECK(cufftDestroy(full_plan));
    device_free(spectra);
}

// Blocks of 64 threads: a run of lanes is a lot of work per thread (count
// spectra), so many small blocks spread it over the cores.
void add_amplitudes_center_swap(float* A, const float2* spectra, size_t nh, size_t n) {
    const unsigned threads = 64;
    const size_t runs = (nh + GPU_LANES - 1) / GPU_LANES;
    GPU_LAUNCH(cuda_complex_amps_addto_center_swap, gpu_blocks_1d(runs, threads), threads, 0)(A, spectra, nh,
                                                                                             (unsigned)n);
    CUDA_LAUNCH_CHECK();
}

// n host images to n host half spectra, each divided by sqrt(nx*ny).
void host_stack_r2c(const float* in, float2* out, unsigned nx, unsigned ny, size_t n) {
    if (nx == 0 || ny == 0 || n == 0) return;
    const size_t npix = image_pixels(nx, ny), nh = half_count(nx, ny);
    float* image = device_array<float>(npix);
    transform_each(
        nx, ny, n,
        [&](size_t k) {
            CUDA_CHECK(memcpy_H2D(image, in + k * npix, npix * sizeof(float)));
            return image;
        },
        [&](size_t k, float2* spectrum) {
            hcuda_c2d_divR_inplace(spectrum, nx / 2 + 1, ny, fft_scale(nx, ny));
            CUDA_CHECK(memcpy_D2H(out + k * nh, spectrum, nh * sizeof(float2)));
        });
    device_free(image);
}

// n device images to their y-centred half spectra, converted by convert(out_k, spectrum, nxh, ny, divisor).
void stack_centred_spectra(float* in, float* out, unsigned nx, unsigned ny, size_t n,
                           void (*convert)(float*, const float2*, unsigned, unsigned, float), float divisor) {
    const size_t npix = image_pixels(nx, ny), nh = half_count(nx, ny);
    transform_each(
        nx, ny, n, [&](size_t k) { return in + k * npix; },
        [&](size_t k, float2* spectrum) {
            hcuda_c2dh_fc_swap_inplace(spectrum, nx / 2 + 1, ny);
            convert(out + k * nh, spectrum, nx / 2 + 1, ny, divisor);
        });
}

// ---- power-spectrum steps ----

struct BoxGrid {
    unsigned cols, rows;
};

// The grid of bx x by boxes at multiples of step over an nx x ny image. Every
// box must lie inside the image: a larger box would make the counts wrap.
BoxGrid box_grid(const char* func, int line, unsigned nx, unsigned ny, unsigned bx, unsigned by, int step) {
    require_even(func, line, bx);
    require_even(func, line, by);
    if (bx < 2 || by < 2) vorn_fatal_line(func, VORN_UNIT, line, "box %u x %u is too small", bx, by);
    if (step < 1) vorn_fatal_line(func, VORN_UNIT, line, "grid step %d must be at least 1", step);
    if (bx > nx || by > ny)
        vorn_fatal_line(func, VORN_UNIT, line, "box %u x %u does not fit in the image %u x %u", bx, by, nx, ny);
    return BoxGrid{(nx - bx) / (unsigned)step + 1, (ny - by) / (unsigned)step + 1};
}
#define BOX_GRID(nx, ny, bx, by, step) box_grid(__func__, __LINE__, (nx), (ny), (bx), (by), (step))

// A = sum over the grid's boxes, rows top to bottom and columns left to right,
// of the unscaled amplitudes, y-centred. The boxes of a box row are transformed
// in batches read straight from the image (R2C leaves its input as it is);
// their amplitudes are added in grid order.
void grid_amplitude_sum(float* A, float* image, unsigned nx, unsigned bx, unsigned by, int step, BoxGrid grid) {
    const size_t nh = half_count(bx, by);
    const unsigned batch = (unsigned)transforms_per_batch(bx, by, grid.cols), tail = grid.cols % batch;
    float2* spectra = device_array<float2>(batch * nh);
    const cufftHandle full_plan = plan_2d_batch(bx, by, batch, nx, (unsigned)step);
    const cufftHandle tail_plan = tail ? plan_2d_batch(bx, by, tail, nx, (unsigned)step) : full_plan;
    hcuda_empty_f32(A, nh);
    for (unsigned i = 0; i < grid.rows; ++i)
        for (unsigned j = 0; j < grid.cols; j += batch) {
            const unsigned n = std::min(batch, grid.cols - j);
            float* first = image + (size_t)i * step * nx + (size_t)j * step;
            run_r2c(n == batch ? full_plan : tail_plan, first, spectra);
            add_amplitudes_center_swap(A, spectra, nh, n);
        }
    if (tail) CUFFT_CHECK(cufftDestroy(tail_plan));
    CUFFT_CHECK(cufftDestroy(full_plan));
    device_free(spectra);
}

// out = in - box average of in over g x g, taken in the full amplitude layout of
// an nx x ny spectrum (so the mirrored negative-kx columns serve as neighbours).
// out may be in. With zero_c0 the element kx = +1, ky = 0 is zeroed before filtering.
// Only the half's columns of the full layout (nx/2 - 1 on) are filtered: the
// others would be dropped on the way back to the half.
void subtract_background(float* out, const float* in, unsigned nx, unsigned ny, int g, bool zero_c0) {
    if (nx == 0 || ny == 0) return;
    float* full = device_array<float>(image_pixels(nx, ny));
    if (zero_c0)
        hcuda_2d_fftA_half2full_c0(full, in, nx, ny);
    else
        hcuda_2d_fftA_half2full(full, in, nx, ny);
    hcuda_2d_sub_box_mean_cols(out, full, nx, ny, g, g, nx / 2 - 1, nx);
    device_free(full);
}

void log_subtract_background(float* a, unsigned nx, unsigned ny, int g) {
    if (nx == 0 || ny == 0) return;
    hcuda_2d_logf_inplace(a, nx / 2 + 1, ny);
    subtract_background(a, a, nx, ny, g, false);
}

// A = sum over the n frames of the stack of add-weighted amplitudes, y-centred:
// add(k, count, spectra, A) adds the unscaled spectra of frames k to k + count - 1
// into A, in frame order.
template <class Add>
void frame_amplitude_sum(const char* func, int line, float* A, float* stack, unsigned nx, unsigned ny, int n, Add add) {
    if (n < 1) vorn_fatal_line(func, VORN_UNIT, line, "no frames to average (count %d)", n);
    const size_t npix = image_pixels(nx, ny);
    hcuda_empty_f32(A, half_count(nx, ny));
    transform_batches(
        nx, ny, (size_t)n, [&](size_t k, size_t) { return stack + k * npix; },
        [&](size_t k, size_t count, const float2* spectra) { add(k, count, spectra, A); });
}
#define FRAME_AMPLITUDE_SUM(...) frame_amplitude_sum(__func__, __LINE__, __VA_ARGS__)

// ---- correlations on a grid ----

__global__ void cuda_2d_extend_to_grid(float* grid, const float* image, FftGrid g) {
    unsigned x, y;
    if (!thread_xy(g.gx, g.gy, x, y)) return;
    grid[(size_t)y * g.gx + x] = image[(size_t)fft_grid_source(y, g.ny, g.gy, g.mirror) * g.nx +
                                       fft_grid_source(x, g.nx, g.gx, g.mirror)];
}
__global__ void cuda_2d_centred_from_grid(float* out, const float* in, FftGrid g, float divisor) {
    unsigned x, y;
    if (!thread_xy(g.nx, g.ny, x, y)) return;
    out[(size_t)y * g.nx + x] = in[(size_t)fft_grid_centred(y, g.gy) * g.gx + fft_grid_centred(x, g.gx)] / divisor;
}

// The smallest even length of at least n whose prime factors are 2, 3, 5 and 7.
unsigned fast_even_length(unsigned n) {
    for (unsigned g = n + (n % 2);; g += 2)
        if (fft_length_is_fast(g)) return g;
}

}  // namespace

// Both parts are formed before out is stored, so out may be a or b.
__global__ void cuda_c2d_multconj_norm(const float2* a, const float2* b, float2* out, unsigned w, unsigned h, float r) {
    unsigned x, y;
    if (!thread_xy(w, h, x, y)) return;
    const size_t i = (size_t)y * w + x;
    const float2 p = a[i], q = b[i];
    out[i] = make_float2((p.x * q.x + p.y * q.y) / r, (p.y * q.x - p.x * q.y) / r);
}

// ================= transforms =================

void hcuda_2ds_fft_r2c(float* in, float2* out, unsigned nx, unsigned ny, unsigned n) {
    if (nx == 0 || ny == 0 || n == 0) return;
    const cufftHandle plan = plan_2d_batch(nx, ny, n);
    run_r2c(plan, in, out);
    CUFFT_CHECK(cufftDestroy(plan));
}

void hcuda_2d_fft_r2c(float* in, float2* out, unsigned nx, unsigned ny) { hcuda_2ds_fft_r2c(in, out, nx, ny, 1); }

void hcuda_2d_fft_r2c_norm(float* in, float2* out, unsigned nx, unsigned ny) {
    if (nx == 0 || ny == 0) return;
    hcuda_2d_fft_r2c(in, out, nx, ny);
    hcuda_c2d_divR_inplace(out, nx / 2 + 1, ny, fft_scale(nx, ny));
}

void hcuda_2d_fft_c2r(float2* in, float* out, unsigned nx, unsigned ny) {
    if (nx == 0 || ny == 0) return;
    const cufftHandle plan = plan_2d(nx, ny, CUFFT_C2R);
    CUFFT_CHECK(cufftExecC2R(plan, in, out));
    CUDA_CHECK(cudaDeviceSynchronize());
    CUFFT_CHECK(cufftDestroy(plan));
}

void hcuda_2d_fft_c2r_norm(float2* in, float* out, unsigned nx, unsigned ny) {
    if (nx == 0 || ny == 0) return;
    hcuda_2d_fft_c2r(in, out, nx, ny);
    hcuda_2d_divide_inplace(out, nx, ny, fft_scale(nx, ny));
}

void gpu_2d_fft_r2c(const float* in, float2* out, unsigned nx, unsigned ny) { host_stack_r2c(in, out, nx, ny, 1); }

void gpu_2ds_fft_r2c(const float* in, float2* out, unsigned nx, unsigned ny, unsigned n) {
    host_stack_r2c(in, out, nx, ny, n);
    std::printf(".");
}

void gpu_2d_fft_c2r(const float2* in, float* out, unsigned nx, unsigned ny) {
    if (nx == 0 || ny == 0) return;
    float2* spectrum = device_array<float2>(half_count(nx, ny));
    float* image = device_array<float>(image_pixels(nx, ny));
    CUDA_CHECK(memcpy_H2D(spectrum, in, half_count(nx, ny) * sizeof(float2)));
    hcuda_2d_fft_c2r_norm(spectrum, image, nx, ny);
    CUDA_CHECK(memcpy_D2H(out, image, image_pixels(nx, ny) * sizeof(float)));
    device_free(spectrum);
    device_free(image);
}

// ================= layouts =================

void hcuda_2d_fftA_full2half(float* half, const float* full, unsigned nx, unsigned ny) {
    REQUIRE_EVEN(nx);
    REQUIRE_EVEN(ny);
    if (nx == 0) return;
    gpu_launch_2d<cuda_fftA_full2half>(GPU_SITE, nx / 2 + 1, ny, half, full, nx, ny);
}

void hcuda_2d_fftA_half2full(float* full, const float* half, unsigned nx, unsigned ny) {
    REQUIRE_EVEN(nx);
    REQUIRE_EVEN(ny);
    gpu_launch_2d<cuda_fftA_half2full<false>>(GPU_SITE, nx, ny, full, half, nx, ny);
}

void hcuda_2d_fftA_half2full_c0(float* full, const float* half, unsigned nx, unsigned ny) {
    REQUIRE_EVEN(nx);
    REQUIRE_EVEN(ny);
    gpu_launch_2d<cuda_fftA_half2full<true>>(GPU_SITE, nx, ny, full, half, nx, ny);
}

void hcuda_r2dh_fc_swap(float* out, const float* in, unsigned w, unsigned ny) {
    REQUIRE_EVEN(ny);
    gpu_launch_2d<cuda_shift_copy<float, Keep>>(GPU_SITE, w, ny, out, in, w, ny, 0u, Keep{});
}

void hcuda_r2dh_fc_swap_inplace(float* a, unsigned w, unsigned ny) {
    REQUIRE_EVEN(ny);
    gpu_launch_2d<cuda_swap_halves<float, Keep>>(GPU_SITE, w, ny / 2, a, w, ny, 0u, Keep{});
}

void hcuda_c2dh_fc_swap_inplace(float2* a, unsigned w, unsigned ny) {
    REQUIRE_EVEN(ny);
    gpu_launch_2d<cuda_swap_halves<float2, Keep>>(GPU_SITE, w, ny / 2, a, w, ny, 0u, Keep{});
}

void hcuda_r2d_fc_swap(float* out, const float* in, unsigned nx, unsigned ny) {
    REQUIRE_EVEN(nx);
    REQUIRE_EVEN(ny);
    gpu_launch_2d<cuda_shift_copy<float, Keep>>(GPU_SITE, nx, ny, out, in, nx, ny, nx / 2, Keep{});
}

void hcuda_2d_swap_ccf(float* out, const float* in, unsigned nx, unsigned ny) { hcuda_r2d_fc_swap(out, in, nx, ny); }

void hcuda_r2d_fc_swap_inplace(float* a, unsigned nx, unsigned ny) {
    REQUIRE_EVEN(nx);
    REQUIRE_EVEN(ny);
    gpu_launch_2d<cuda_swap_halves<float, Keep>>(GPU_SITE, nx, ny / 2, a, nx, ny, nx / 2, Keep{});
}

void hcuda_2d_swap_ccf_inplace(float* a, unsigned nx, unsigned ny) { hcuda_r2d_fc_swap_inplace(a, nx, ny); }

void hcuda_2d_swap_norm_ccf_inplace(float* a, unsigned nx, unsigned ny, float r) {
    REQUIRE_EVEN(nx);
    REQUIRE_EVEN(ny);
    gpu_launch_2d<cuda_swap_halves<float, DivideBy>>(GPU_SITE, nx, ny / 2, a, nx, ny, nx / 2, DivideBy{r});
}

// With an even h, moving flat element i to (i + n/2) mod n is the rotation of the rows by h/2.
void hcuda_complex2d_center_swap(float2* out, const float2* in, unsigned w, unsigned h) {
    REQUIRE_EVEN(h);
    gpu_launch_2d<cuda_shift_copy<float2, Keep>>(GPU_SITE, w, h, out, in, w, h, 0u, Keep{});
}

void hcuda_complex2d_center_swap_norm(float2* out, const float2* in, unsigned w, unsigned h, float r) {
    REQUIRE_EVEN(h);
    gpu_launch_2d<cuda_shift_copy<float2, DivideBy>>(GPU_SITE, w, h, out, in, w, h, 0u, DivideBy{r});
}

// ================= flat amplitudes with y-centring =================

void hcuda_complex_mod_center_swap(float* out, const float2* in, unsigned long n) {
    REQUIRE_EVEN(n);
    gpu_launch_1d<cuda_complex_amp_center_swap<StoreAmp>>(GPU_SITE, n, out, in, n, StoreAmp{});
}

void hcuda_complex_mod_addto_center_swap(float* out, const float2* in, unsigned long n) {
    REQUIRE_EVEN(n);
    gpu_launch_1d<cuda_complex_amp_center_swap<AddAmp>>(GPU_SITE, n, out, in, n, AddAmp{});
}

void hcuda_complex_mod_weighted_addto_center_swap(float* out, const float2* in, unsigned long n, float w) {
    REQUIRE_EVEN(n);
    gpu_launch_1d<cuda_complex_amp_center_swap<AddWeightedAmp>>(GPU_SITE, n, out, in, n, AddWeightedAmp{w});
}

void hcuda_complex_mod_Ws_addto_center_swap(float* out, const float2* in, unsigned long n, float* W) {
    REQUIRE_EVEN(n);
    gpu_launch_1d<cuda_complex_amp_center_swap<AddMapWeightedAmp>>(GPU_SITE, n, out, in, n, AddMapWeightedAmp{W});
}

void hcuda_complex_logmod_center_swap(float* out, float2* in, unsigned long n) {
    REQUIRE_EVEN(n);
    gpu_launch_1d<cuda_complex_amp_center_swap<StoreLogAmp>>(GPU_SITE, n, out, in, n, StoreLogAmp{});
}

// ================= correlations on a grid =================

bool fft_length_is_fast(unsigned n) {
    if (n == 0) return false;
    for (unsigned p : {2u, 3u, 5u, 7u})
        while (n % p == 0) n /= p;
    return n == 1;
}

unsigned fft_grid_length(unsigned own, unsigned least) {
    return fft_length_is_fast(own) ? own : fast_even_length(least);
}

FftGrid fft_wrapped_grid(unsigned nx, unsigned ny, unsigned rx, unsigned ry) {
    return FftGrid{nx, ny, fft_grid_length(nx, nx + 2 * rx), fft_grid_length(ny, ny + 2 * ry), false};
}

// A slow 2n gives way to the fast length next above it, as long as its added
// pixels hold the kernel's reach on either side; the grid is then the same for
// every kernel of a reach up to half the image, so the statistics of several
// windows can share one transform of the image.
FftGrid fft_mirrored_grid(unsigned nx, unsigned ny, unsigned rx, unsigned ry) {
    const auto length = [](unsigned n, unsigned r) {
        const unsigned g = fft_grid_length(2 * n, 2 * n);
        return r <= (g - n) / 2 ? g : 2 * n;
    };
    return FftGrid{nx, ny, length(nx, rx), length(ny, ry), true};
}

void hcuda_2d_extend_to_grid(float* grid, const float* image, const FftGrid& g) {
    gpu_launch_2d<cuda_2d_extend_to_grid>(GPU_SITE, g.gx, g.gy, grid, image, g);
}

void hcuda_2d_centred_from_grid(float* out, const float* in, const FftGrid& g, float divisor) {
    gpu_launch_2d<cuda_2d_centred_from_grid>(GPU_SITE, g.nx, g.ny, out, in, g, divisor);
}

namespace {
void release_grid_arrays(FftGridImage& w) {
    for (void* d : {(void*)w.padded, (void*)w.spectrum, (void*)w.product, (void*)w.correlation})
        if (d != nullptr) device_free(d);
}
}  // namespace

FftGridImage::~FftGridImage() { release_grid_arrays(*this); }

bool fft_grid_prepare(FftGridImage& w, const FftGrid& g) {
    if (w.grid == g) return false;
    if (!(w.grid.gx == g.gx && w.grid.gy == g.gy)) {
        release_grid_arrays(w);
        const size_t n = image_pixels(g.gx, g.gy), nh = half_count(g.gx, g.gy);
        w.padded = device_array<float>(n);
        w.correlation = device_array<float>(n);
        w.spectrum = device_array<float2>(nh);
        w.product = device_array<float2>(nh);
    }
    w.grid = g;
    return true;
}

// An out-of-place forward transform leaves its input alone.
void fft_grid_load(FftGridImage& w, const float* image) {
    hcuda_2d_extend_to_grid(w.padded, image, w.grid);
    hcuda_2d_fft_r2c(w.padded, w.spectrum, w.grid.gx, w.grid.gy);
}

float2* fft_grid_kernel_spectrum(const FftGridImage& w, float* kernel) {
    float2* k = device_array<float2>(half_count(w.grid.gx, w.grid.gy));
    hcuda_2d_fft_r2c(kernel, k, w.grid.gx, w.grid.gy);
    return k;
}

void fft_grid_correlate(FftGridImage& w, const float2* kernel_spectrum) {
    const unsigned gx = w.grid.gx, gy = w.grid.gy;
    hcuda_c2d_multconj_norm(w.spectrum, kernel_spectrum, w.product, gx / 2 + 1, gy, (float)image_pixels(gx, gy));
    hcuda_2d_fft_c2r(w.product, w.correlation, gx, gy);
}

// ================= conjugate products =================

void hcuda_c2d_multconj_norm(const float2* a, const float2* b, float2* out, unsigned w, unsigned h, float r) {
    gpu_launch_2d<cuda_c2d_multconj_norm>(GPU_SITE, w, h, a, b, out, w, h, r);
}

void hcuda_c2d_multconj_norm_inplace(float2* a, const float2* b, unsigned w, unsigned h, float r) {
    hcuda_c2d_multconj_norm(a, b, a, w, h, r);
}

// ================= amplitude spectra of images and stacks =================

void gpu_2d_fft_r2c_mod(const float* in, float* out, unsigned nx, unsigned ny) {
    if (nx == 0 || ny == 0) return;
    const size_t npix = image_pixels(nx, ny), nh = half_count(nx, ny);
    float* image = device_array<float>(npix);
    float* amp = device_array<float>(nh);
    CUDA_CHECK(memcpy_H2D(image, in, npix * sizeof(float)));
    transform_each(
        nx, ny, 1, [&](size_t) { return image; }, [&](size_t, float2* spectrum) { hcuda_complex_mod(spectrum, amp, nh); });
    CUDA_CHECK(memcpy_D2H(out, amp, nh * sizeof(float)));
    device_free(image);
    device_free(amp);
}

void hcuda_2ds_fft_r2c_mod(float* in, float* out, unsigned nx, unsigned ny, unsigned n) {
    REQUIRE_EVEN(ny);
    stack_centred_spectra(in, out, nx, ny, n, hcuda_c2d_mod_divR, fft_scale(nx, ny));
}

void hcuda_2ds_fft_r2c_pow(float* in, float* out, unsigned nx, unsigned ny, unsigned n) {
    REQUIRE_EVEN(ny);
    stack_centred_spectra(in, out, nx, ny, n, hcuda_c2d_pow_divR, (float)image_pixels(nx, ny));
}

void hcuda_2ds_fft_r2c_logmod(float* in, float* out, unsigned nx, unsigned ny, unsigned n) {
    const size_t npix = image_pixels(nx, ny), nh = half_count(nx, ny);
    transform_each(
        nx, ny, n, [&](size_t k) { return in + k * npix; },
        [&](size_t k, float2* spectrum) { hcuda_complex_logmod(spectrum, out + k * nh, nh); });
}

void hcuda_2d_boxes_fft_r2c_mod(float* out, int2* corners, int count, int b, const float* image, unsigned nx,
                                unsigned ny) {
    if (count <= 0) return;
    if (b < 2) VORN_FATAL("box size %d is too small", b);
    REQUIRE_EVEN((unsigned long)b);
    float* boxes = device_array<float>((size_t)count * image_pixels(b, b));
    hcuda_2d_extract_smalls_from_large(boxes, b, b, count, image, (int)nx, (int)ny, corners);
    hcuda_2ds_fft_r2c_mod(boxes, out, b, b, count);
    device_free(boxes);
}

// ================= power spectra over box grids =================

void hcuda_2d_gridfft_r2c_amp_ave(float* image, float* A, unsigned nx, unsigned ny, unsigned bx, unsigned by,
                                  int step) {
    const BoxGrid grid = BOX_GRID(nx, ny, bx, by, step);
    grid_amplitude_sum(A, image, nx, bx, by, step, grid);
}

void hcuda_2d_gridfft_r2c_amp_ave_log_subbg(float* image, float* out, unsigned nx, unsigned ny, unsigned bx,
                                            unsigned by, int step, int g) {
    const BoxGrid grid = BOX_GRID(nx, ny, bx, by, step);
    REQUIRE_BACKGROUND_BOX(g);
    grid_amplitude_sum(out, image, nx, bx, by, step, grid);
    log_subtract_background(out, bx, by, g);
}

void hcuda_2d_gridfft_r2c_amp_ave_log_subbg3(float* image, float* A, float* L, float* S, unsigned nx, unsigned ny,
                                             unsigned bx, unsigned by, int step, int g) {
    const BoxGrid grid = BOX_GRID(nx, ny, bx, by, step);
    REQUIRE_BACKGROUND_BOX(g);
    grid_amplitude_sum(A, image, nx, bx, by, step, grid);
    hcuda_2d_logf(L, A, bx / 2 + 1, by);
    subtract_background(S, L, bx, by, g, true);
}

void hcuda_2dh_fft_amp_log_subbg_inplace(float* a, unsigned nx, unsigned ny, int g) {
    REQUIRE_EVEN(nx);
    REQUIRE_EVEN(ny);
    REQUIRE_BACKGROUND_BOX(g);
    log_subtract_background(a, nx, ny, g);
}

void hcuda_2dh_fftA_subbg(float* out, const float* in, unsigned nxh, unsigned ny, int g) {
    REQUIRE_EVEN(ny);
    REQUIRE_BACKGROUND_BOX(g);
    if (nxh < 2) return;  // the half of an empty image
    subtract_background(out, in, 2 * nxh - 2, ny, g, false);
}

void hcuda_2dh_fftA_subbg_inplace(float* a, unsigned nxh, unsigned ny, int g) { hcuda_2dh_fftA_subbg(a, a, nxh, ny, g); }

// ================= power spectra of stacks =================

void hcuda_2ds_fft_r2c_amp_ave_log_subbg(float* stack, float* out, unsigned nx, unsigned ny, int n, int g) {
    REQUIRE_EVEN(nx);
    REQUIRE_EVEN(ny);
    REQUIRE_BACKGROUND_BOX(g);
    const size_t nh = half_count(nx, ny);
    FRAME_AMPLITUDE_SUM(out, stack, nx, ny, n, [&](size_t, size_t count, const float2* spectra, float* A) {
        add_amplitudes_center_swap(A, spectra, nh, count);
    });
    log_subtract_background(out, nx, ny, g);
}

void hcuda_2ds_fft_r2c_amp_weighted_ave_log_subbg(float* stack, float* out, unsigned nx, unsigned ny, int n, int g,
                                                  float* W, int type) {
    if (type != 1 && type != 2) VORN_FATAL("Unkown FFT amplitude average type");
    REQUIRE_EVEN(nx);
    REQUIRE_EVEN(ny);
    REQUIRE_BACKGROUND_BOX(g);
    const size_t nh = half_count(nx, ny);
    FRAME_AMPLITUDE_SUM(out, stack, nx, ny, n, [&](size_t k0, size_t count, const float2* spectra, float* A) {
        for (size_t k = k0; k < k0 + count; ++k) {
            const float2* spectrum = spectra + (k - k0) * nh;
            if (type == 1) {
                float w;
                CUDA_CHECK(memcpy_D2H(&w, W + k, sizeof(float)));
                hcuda_complex_mod_weighted_addto_center_swap(A, spectrum, nh, w);
            } else {
                hcuda_complex_mod_Ws_addto_center_swap(A, spectrum, nh, W + k * nh);
            }
        }
    });
    log_subtract_background(out, nx, ny, g);
}

// ================= plain and weighted frame sums =================

void hcuda_2ds_fft_r2c_amp_ave(float* stack, float* A, unsigned nx, unsigned ny, int n) {
    REQUIRE_EVEN(ny);
    const size_t nh = half_count(nx, ny);
    FRAME_AMPLITUDE_SUM(A, stack, nx, ny, n, [&](size_t, size_t count, const float2* spectra, float* sum) {
        add_amplitudes_center_swap(sum, spectra, nh, count);
    });
}

void hcuda_2ds_fft_r2c_amp_weighted_ave(float* stack, float* A, unsigned nx, unsigned ny, int n, const float* W) {
    REQUIRE_EVEN(ny);
    const size_t nh = half_count(nx, ny);
    FRAME_AMPLITUDE_SUM(A, stack, nx, ny, n, [&](size_t k0, size_t count, const float2* spectra, float* sum) {
        for (size_t k = k0; k < k0 + count; ++k)
            hcuda_complex_mod_weighted_addto_center_swap(sum, spectra + (k - k0) * nh, nh, W[k]);
    });
}

// ================= weights for local spectra =================

void hcuda_2ds_fft_amp_local_w1d_gen(float* W, int n, float* d, float rho) {
    if (n <= 0) return;
    gpu_launch_1d<cuda_2ds_fft_amp_local_w1d_gen>(GPU_SITE, (size_t)n, W, n, d, rho);
}

void hcuda_2d_fft_amp_local_w2d_gen(float* W, int nxh, int ny, float d, float rho, float apix, float R) {
    if (nxh <= 0 || ny <= 0) return;
    gpu_launch_2d<cuda_2d_fft_amp_local_w2d_gen>(GPU_SITE, (unsigned)nxh, (unsigned)ny, W, nxh, ny, d, rho, apix, R);
}

void hcuda_2ds_fft_amp_local_w2ds_gen(float* W, int nxh, int ny, int n, float* d, float rho, float apix, float R) {
    if (n <= 0 || nxh <= 0 || ny <= 0) return;
    std::vector<float> distances((size_t)n);
    CUDA_CHECK(memcpy_D2H(distances.data(), d, (size_t)n * sizeof(float)));
    for (size_t k = 0; k < (size_t)n; ++k)
        hcuda_2d_fft_amp_local_w2d_gen(W + k * (size_t)nxh * ny, nxh, ny, distances[k], rho, apix, R);
}
