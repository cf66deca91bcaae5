// Image commands on values: correlation maps and coefficients, Fourier shifts,
// averages, local statistics, spectra, masks and templates, normalisation,
// line projections, NCS averaging and simulated frame splits.
#define VORN_UNIT "src/process2d_mrc"
#include "process2d_mrc.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "cuda_fft.h"
#include "cuda_general.h"
#include "mask_weights.h"
#include "math_utils.h"
#include "mrcfile.h"
#include "process2d_core.h"
#include "process2d_raw.h"
#include "str_utils.h"
#include "sym.h"

namespace {

size_t pixels_of(const MRC_HEAD& h) { return image_pixels((unsigned)h.nx, (unsigned)h.ny); }
size_t voxels_of(const MRC_HEAD& h) { return pixels_of(h) * (size_t)std::max(h.nz, 0); }

// One image in, f(in, out, nx, ny) gives an image of the same size, written as nx x ny x 1.
template <class F>
int one_image_to_image(const char* in, const char* out, const char* func, int line, F f) {
    if (mrcf_check_output_names(out, {in}, func, VORN_UNIT, line) != 0) return -1;
    head_ptr h;
    host_array<float> image = mrc_cmd_read_first(in, h, func, line);
    if (!image) return -1;
    std::vector<float> result = mrc_cmd_floats(pixels_of(*h), func, line);
    f(image.get(), result.data(), (unsigned)h->nx, (unsigned)h->ny);
    mrcf_write_xyz_data(out, result.data(), h->nx, h->ny, 1);
    return 0;
}
#define ONE_IMAGE_TO_IMAGE(in, out, f) one_image_to_image((in), (out), __func__, __LINE__, (f))

void require_even(const MRC_HEAD& h) {
    if (mrc_check_even_size(&h) != 0) VORN_FATAL("file size not even number!");
}

// The device asked for: 999 the host; any other index checked and selected.
bool on_host(int device) {
    if (device == 999) return true;
    check_gid(device);
    return false;
}

// Operators of a file, as read (mode 1) or inverted (mode -1).
bool read_operators(const char* file, int mode, std::vector<RT_Mat2D>& ops) {
    std::vector<RT_Mat2D> read;
    get_syms2d_from_ofile(read, file);
    ops.resize(read.size());
    if (mode == 1) sym2d_vector_to_syms(ops.data(), read);
    else if (mode == -1) sym2d_vector_to_inverse_syms(ops.data(), read);
    return mode == 1 || mode == -1;
}

}  // namespace

// ======================= correlation, shifts, averages =======================

int mrcf_x2d_ccf(const char* in1, const char* in2, const char* out) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, in1, in2) != 0) return -1;
    head_ptr h1, h2;
    host_array<float> a = MRC_CMD_READ_ALL(in1, h1), b;
    if (!a || !(b = MRC_CMD_READ_ALL(in2, h2))) return -1;
    check_mrc_head_sizes_two(in1, in2, h1.get(), h2.get());
    std::vector<float> map = MRC_CMD_FLOATS(pixels_of(*h1));
    gpu_x2d_ccf(a.get(), b.get(), map.data(), (unsigned)h1->nx, (unsigned)h1->ny);
    mrcf_write_xyz_data(out, map.data(), h1->nx, h1->ny, 1);
    return 0;
}

int mrcf_2d_fourier_shift(const char* in, const char* out, float sx, float sy) {
    const head_ptr h = MRC_CMD_READ_HEAD(in);
    if (!h || MRC_CMD_HAS_IMAGE(*h, in) != 0) return -1;  // the mode before the evenness of the sizes
    require_even(*h);
    return ONE_IMAGE_TO_IMAGE(in, out, [&](const float* a, float* b, unsigned nx, unsigned ny) { gpu_2d_shift2(a, b, nx, ny, sx, sy); });
}

int mrcf_2ds_fourier_shift(const char* in, const char* out, const char* ave, const float2* shifts, int count,
                           int write) {
    const bool averaged = !is_str_null(ave);
    if (mrcf_check_outputs({write != 0 ? out : nullptr, averaged ? ave : nullptr}, {in}, __func__, VORN_UNIT, __LINE__) != 0)
        return -1;
    head_ptr h;
    host_array<float> stack = MRC_CMD_READ_ALL(in, h);
    if (!stack) return -1;
    require_even(*h);
    if (count < 1) count = h->nz;
    if (h->nz < count) VORN_FATAL("file size smaller than frames of drifts!");
    const size_t npix = pixels_of(*h);
    std::vector<float> shifted = MRC_CMD_FLOATS(npix * (size_t)count);
    std::printf("\n");
    for (int i = 0; i < count; ++i) {
        gpu_2d_shift(stack.get() + npix * i, shifted.data() + npix * i, (unsigned)h->nx, (unsigned)h->ny, shifts[i].x,
                     shifts[i].y);
        std::printf(".");
        std::fflush(stdout);
    }
    std::printf("\n");
    if (averaged) {
        std::vector<float> mean = MRC_CMD_FLOATS(npix);
        gpu_2ds_ave(mean.data(), shifted.data(), (unsigned)h->nx, (unsigned)h->ny, (unsigned)count);
        mrcf_write_xyz_data(ave, mean.data(), h->nx, h->ny, 1);
    }
    if (write != 0) mrcf_write_xyz_data(out, shifted.data(), h->nx, h->ny, count);
    return 0;
}

int mrcf_2ds_average(const char* in, const char* out) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    head_ptr h;
    host_array<float> stack = MRC_CMD_READ_ALL(in, h);
    if (!stack) return -1;
    std::vector<float> mean = MRC_CMD_FLOATS(pixels_of(*h));
    gpu_2ds_ave(mean.data(), stack.get(), (unsigned)h->nx, (unsigned)h->ny, (unsigned)h->nz);
    mrcf_write_xyz_data(out, mean.data(), h->nx, h->ny, 1);
    return 0;
}

int mrcf_average_all(const char* out, char** names, int count) {
    if (count < 1) return MRC_CMD_REFUSE("No file to average.");
    for (int i = 1; i <= count; ++i)
        if (MRCF_CHECK_OUTPUT_NAMES(out, names[i]) != 0) return -1;
    // The first file sizes the sums: it must hold what its header says.
    MRC_HEAD first, head_out;
    FILE* f1 = MRC_CMD_OPEN_INPUT(names[1], first, nullptr);
    if (f1 == nullptr) return -1;
    std::fclose(f1);
    head_out = first;
    mrc_set_head_mode(&head_out, MRC_MODE_FLOAT);
    head_out.nsymbt = 0;
    const size_t n = voxels_of(first);
    std::vector<float> sum = MRC_CMD_FLOATS(n), data = MRC_CMD_FLOATS(n);
    std::printf("Completed       ");
    int added = 0;
    for (int i = 1; i <= count; ++i) {
        FILE* f = MRC_CMD_OPEN_READ(names[i], "rb");
        MRC_HEAD h;
        // A file without a whole header differs from the first like one of another size.
        if (mrc_read_head(f, &h) != 0 || check_mrc_head_sizes_two_warning(names[i], names[1], &h, &first) != 0) {
            // What was added so far is kept as the mean of those files.
            if (added > 0) hm_divide_inplace(sum.data(), n, (float)added);
            mrcf_write_head_data(out, &head_out, sum.data());
            std::fclose(f);
            std::printf("\n");
            std::fflush(stdout);
            std::exit(1);
        }
        mrc_read_all(f, &h, data.data());
        hm_x1d_add_inplace(sum.data(), data.data(), n);
        std::fclose(f);
        ++added;
        if ((added + 1) % 10 == 0) {
            std::printf("\b\b\b\b\b\b%6d", added);
            std::fflush(stdout);
        }
    }
    std::printf("\n");
    hm_divide_inplace(sum.data(), n, (float)count);
    mrcf_write_head_data(out, &head_out, sum.data());
    return 0;
}

// ======================= local statistics =======================

int mrcf_2d_lave(const char* in, const char* out, float r, float w) {
    return ONE_IMAGE_TO_IMAGE(in, out, [&](const float* a, float* b, unsigned nx, unsigned ny) { gpu_2d_local_ave_softR_mpad(b, a, nx, ny, r, w); });
}

int mrcf_2d_lsigma(const char* in, const char* out, float r, float w) {
    return ONE_IMAGE_TO_IMAGE(in, out, [&](const float* a, float* b, unsigned nx, unsigned ny) { gpu_2d_local_sigma_softR(b, a, nx, ny, r, w); });
}

// The library's shrunk forms compute nothing; the unshrunk statistics stand in.
int mrcf_2d_shrink_lave(const char* in, const char* out, int, float r, float w) { return mrcf_2d_lave(in, out, r, w); }

int mrcf_2d_shrink_lsigma(const char* in, const char* out, int, float r, float w) {
    return mrcf_2d_lsigma(in, out, r, w);
}

// ======================= spectra =======================

int mrcf_2d_fft_r2c_mod(const char* in, const char* out) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    head_ptr h;
    host_array<float> image = MRC_CMD_READ_FIRST(in, h);
    if (!image) return -1;
    const int nxh = h->nx / 2 + 1;
    std::vector<float> amp = MRC_CMD_FLOATS(image_pixels((unsigned)nxh, (unsigned)h->ny));
    gpu_2d_fft_r2c_mod(image.get(), amp.data(), (unsigned)h->nx, (unsigned)h->ny);
    amp[0] = 0.0f;  // the zero frequency would outshine everything
    mrcf_write_xyz_data(out, amp.data(), nxh, h->ny, 1);
    return 0;
}

int mrcf_2ds_fft_r2c_proc(const char* in, const char* out, char mode, control3 c) {
    if (c.frames == 0 && c.average == 0 && c.log_average == 0) return 0;
    char ave[1024], log_ave[1024];
    mrcf_set_outname_by_suffix(ave, in, "_ave.mrc");
    mrcf_set_outname_by_suffix(log_ave, in, "_ave_ln1p.mrc");
    if (mrcf_check_outputs({c.frames ? out : nullptr, c.average ? ave : nullptr, c.log_average ? log_ave : nullptr}, {in},
                           __func__, VORN_UNIT, __LINE__) != 0)
        return -1;
    head_ptr h;
    host_array<float> stack = MRC_CMD_READ_ALL(in, h);
    if (!stack) return -1;
    const size_t npix = pixels_of(*h);
    std::vector<float> frames = MRC_CMD_FLOATS(c.frames ? npix * h->nz : 0), mean = MRC_CMD_FLOATS(c.average ? npix : 0),
                       log_mean = MRC_CMD_FLOATS(c.log_average ? npix : 0);
    auto given = [](std::vector<float>& v) { return v.empty() ? nullptr : v.data(); };
    gpu_2ds_fft_r2c_proc(stack.get(), given(frames), given(mean), given(log_mean), (unsigned)h->nx, (unsigned)h->ny,
                         h->nz, mode);
    if (c.frames) mrcf_write_xyz_data(out, frames.data(), h->nx, h->ny, h->nz);
    if (c.average) mrcf_write_xyz_data(ave, mean.data(), h->nx, h->ny, 1);
    if (c.log_average) mrcf_write_xyz_data(log_ave, log_mean.data(), h->nx, h->ny, 1);
    return 0;
}

int mrcf_2ds_fft_r2c_logmod_subbg(const char* out, const char* in, int option) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    head_ptr h;
    host_array<float> stack = MRC_CMD_READ_ALL(in, h);
    if (!stack) return -1;
    const int nxh = h->nx / 2 + 1;
    std::vector<float> spectra = MRC_CMD_FLOATS(image_pixels((unsigned)nxh, (unsigned)h->ny) * h->nz);
    gpu_2ds_fft_r2c_logmod_subbg(spectra.data(), stack.get(), (unsigned)h->nx, (unsigned)h->ny, h->nz, option);
    mrcf_write_xyz_data(out, spectra.data(), nxh, h->ny, h->nz);
    return 0;
}

int mrcf_2ds_simulate_frame_split(const char* out, const char* in, int k) {
    if (k < 1) return MRC_CMD_REFUSE("A split into %d frames.", k);
    if (MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    head_ptr h;
    host_array<float> stack = MRC_CMD_READ_ALL(in, h);
    if (!stack) return -1;
    // The output holds nz*k sections: a count an MRC header and memory can hold.
    size_t n = 0;
    if (MRC_CMD_SIZES(n, h->nx, h->ny, (int64_t)h->nz * k) != 0) return -1;
    std::vector<float> frames = MRC_CMD_FLOATS(n);
    cpu_2ds_simulate_frame_split(frames.data(), stack.get(), (unsigned)h->nx, (unsigned)h->ny, (unsigned)h->nz, (unsigned)k);
    mrcf_write_xyz_data(out, frames.data(), h->nx, h->ny, h->nz * k);
    return 0;
}

int mrcf_znorm_within_mask(const char* out, const char* in, const char* mask, int type) {
    if (type < 0 || type > 3) VORN_FATAL("Unknown mode!");
    if (MRCF_CHECK_OUTPUT_NAMES(out, in, mask) != 0) return -1;
    head_ptr h, hm;
    host_array<float> data = MRC_CMD_READ_ALL(in, h), m;
    if (!data || !(m = MRC_CMD_READ_ALL(mask, hm))) return -1;
    check_mrc_head_sizes_two(in, mask, h.get(), hm.get());
    const size_t n = voxels_of(*h);
    std::vector<float> result = MRC_CMD_FLOATS(n);
    switch (type) {
    case 0: hm_normz_stdv_withmask(result.data(), data.get(), m.get(), n, 1.0f); break;
    case 1: hm_normz_withmask(result.data(), data.get(), m.get(), n, 1.0f, 0.0f); break;
    case 2: hm_normz_stdv_withmask_applymask(result.data(), data.get(), m.get(), n, 1.0f); break;
    default: hm_normz_withmask_applymask(result.data(), data.get(), m.get(), n, 1.0f, 0.0f); break;
    }
    mrcf_write_xyz_data(out, result.data(), h->nx, h->ny, h->nz);
    return 0;
}

// ======================= masks, templates, measures =======================

namespace {
// The soft disc of nx x ny (type 1 on the host, 2 on the device, any other
// zeros), written as one image; sizes are checked before anything is made.
int write_soft_disc(const char* out, int nx, int ny, float cx, float cy, float r, float w, int type, const char* func,
                    int line) {
    size_t n = 0;
    if (mrc_cmd_sizes({nx, ny}, n, func, line) != 0) return -1;
    std::vector<float> t = mrc_cmd_floats(n, func, line);
    if (type == 1) cpu_2d_generate_rmask_soft(t.data(), (unsigned)nx, (unsigned)ny, cx, cy, r, w);
    if (type == 2) gpu_2d_generate_rmask_soft(t.data(), (unsigned)nx, (unsigned)ny, cx, cy, r, w);
    mrcf_write_xyz_data(out, t.data(), nx, ny, 1);
    return 0;
}
}  // namespace

int mrcf_mask2d_create(const char* out, int nx, int ny, float cx, float cy, float r, float w) {
    return write_soft_disc(out, nx, ny, cx, cy, r, w, 1, __func__, __LINE__);
}

int mrcf_2d_auto_template_gauss(const char* out, int nx, int ny, float cx, float cy, float r, float w, int type) {
    return write_soft_disc(out, nx, ny, cx, cy, r, w, type, __func__, __LINE__);
}

int mrcf_2d_auto_template_gauss_cylinder(const char* out, int n, int rows, float c, float r, float w, int type) {
    size_t count = 0;
    if (MRC_CMD_SIZES(count, n, rows) != 0) return -1;
    const size_t len = (size_t)n;
    std::vector<float> row = MRC_CMD_FLOATS(len), t = MRC_CMD_FLOATS(count);
    if (type == 1) cpu_1d_generate_rmask_soft(row.data(), len, c, r, w);
    if (type == 2) gpu_1d_generate_rmask_soft(row.data(), len, c, r, w);
    for (size_t y = 0; y < (size_t)rows; ++y) std::copy(row.begin(), row.end(), t.begin() + y * len);
    mrcf_write_xyz_data(out, t.data(), n, rows, 1);
    return 0;
}

float2 mrcf_2d_cpu_get_mass_center(const char* in) {
    head_ptr h;
    host_array<float> image = MRC_CMD_READ_FIRST(in, h);
    if (!image) return make_float2(NAN, NAN);
    double sx = 0.0, sy = 0.0, s = 0.0;
    for (int y = 0; y < h->ny; ++y)
        for (int x = 0; x < h->nx; ++x) {
            const double v = image[(size_t)y * h->nx + x];
            sx += x * v, sy += y * v, s += v;
        }
    const float2 c = make_float2((float)(sx / s), (float)(sy / s));
    std::printf("mass center (cenx, ceny):  %8.3f %8.3f\n", c.x, c.y);
    return c;
}

float mrcf_x2d_ccc_with2maskfs(const char* img1, const char* mask1, const char* img2, const char* mask2) {
    head_ptr h1, h2, hm1, hm2;
    host_array<float> a = MRC_CMD_READ_FIRST(img1, h1), b = MRC_CMD_READ_FIRST(img2, h2);
    if (!a || !b) return NAN;
    check_mrc_head_sizes_two(img2, img1, h2.get(), h1.get());
    const size_t n = pixels_of(*h1);
    if (is_str_null(mask1) || is_str_null(mask2)) return hm_ccc_znorm(a.get(), b.get(), n);
    host_array<float> m1 = MRC_CMD_READ_FIRST(mask1, hm1), m2 = MRC_CMD_READ_FIRST(mask2, hm2);
    if (!m1 || !m2) return NAN;
    check_mrc_head_sizes_two(mask1, img1, hm1.get(), h1.get());
    check_mrc_head_sizes_two(mask2, img2, hm2.get(), h2.get());
    return cpu_x2d_ccc_with2maskfs(a.get(), b.get(), m1.get(), m2.get(), (unsigned)h1->nx, (unsigned)h1->ny);
}

int mrcf_2d_project_local_rect(const char* out, const char* in, int n, int m, float angle, float cx, float cy,
                               int direction, int device) {
    size_t summed = 0;  // n points, each a sum over m pixels
    if (MRC_CMD_SIZES(summed, n, m) != 0 || MRCF_CHECK_OUTPUT_NAMES(out, in) != 0) return -1;
    head_ptr h;
    host_array<float> image = MRC_CMD_READ_FIRST(in, h);
    if (!image) return -1;
    std::vector<float> profile = MRC_CMD_FLOATS((size_t)n);
    const auto project = on_host(device) ? cpu_2d_project_local_rect : gpu_2d_project_local_rect;
    project(profile.data(), (unsigned)n, (unsigned)m, image.get(), (unsigned)h->nx, (unsigned)h->ny, cx, cy, angle, direction);
    mrcf_write_xyz_data(out, profile.data(), n, 1, 1);
    return 0;
}

int mrcf_2d_ncs_average(const char* out, float cx, float cy, const char* image, const char* mask, const char* ops,
                        int op_mode, int device) {
    if (MRCF_CHECK_OUTPUT_NAMES(out, image, mask) != 0) return -1;
    head_ptr hi, hm;
    host_array<float> in = MRC_CMD_READ_ALL(image, hi), m;
    if (!in || !(m = MRC_CMD_READ_ALL(mask, hm))) return -1;
    std::vector<RT_Mat2D> operators;
    if (!read_operators(ops, op_mode, operators)) return MRC_CMD_REFUSE("Operator mode %d must be 1 or -1.", op_mode);
    std::vector<float> avg = MRC_CMD_FLOATS(pixels_of(*hm));
    const auto average = on_host(device) ? cpu_2d_ncs_average : gpu_2d_ncs_average;
    average(avg.data(), (unsigned)hm->nx, (unsigned)hm->ny, cx, cy, in.get(), (unsigned)hi->nx, (unsigned)hi->ny,
            ((float)hi->nx - 1.0f) * 0.5f, ((float)hi->ny - 1.0f) * 0.5f, m.get(), operators.data(),
            (unsigned)operators.size());
    mrcf_write_xyz_data(out, avg.data(), hm->nx, hm->ny, 1);
    return 0;
}

int mrcf_2d_ncs_cccs(const char* ref, float cx, float cy, const char* image, const char* mask, const char* ops,
                     int op_mode, int device) {
    head_ptr hr, hi, hm;
    host_array<float> r = MRC_CMD_READ_ALL(ref, hr), in, m;
    if (!r || !(in = MRC_CMD_READ_ALL(image, hi)) || !(m = MRC_CMD_READ_ALL(mask, hm))) return -1;
    check_mrc_head_sizes_two(ref, mask, hr.get(), hm.get());
    std::vector<RT_Mat2D> operators;
    if (!read_operators(ops, op_mode, operators)) return MRC_CMD_REFUSE("Operator mode %d must be 1 or -1.", op_mode);
    const unsigned nops = (unsigned)operators.size();
    std::vector<float> ccc(nops, 0.0f);
    const float icx = ((float)hi->nx - 1.0f) * 0.5f, icy = ((float)hi->ny - 1.0f) * 0.5f;
    if (on_host(device)) {
        cpu_2d_ncs_cccs_refine(ccc.data(), r.get(), (unsigned)hm->nx, (unsigned)hm->ny, cx, cy, in.get(), (unsigned)hi->nx,
                               (unsigned)hi->ny, icx, icy, m.get(), operators.data(), nops);
    } else {
        // The GPU search computes nothing yet: the coefficients at the operators as given stand in.
        gpu_2d_ncs_cccs(ccc.data(), r.get(), (unsigned)hm->nx, (unsigned)hm->ny, cx, cy, in.get(), (unsigned)hi->nx,
                        (unsigned)hi->ny, icx, icy, m.get(), operators.data(), nops);
        cpu_2d_ncs_cccs(ccc.data(), r.get(), (unsigned)hm->nx, (unsigned)hm->ny, cx, cy, in.get(), (unsigned)hi->nx,
                        (unsigned)hi->ny, icx, icy, m.get(), operators.data(), nops);
    }
    for (unsigned i = 0; i < nops; ++i) {
        const RT_Mat2D& o = operators[i];
        std::printf("   R11       R12       R21       R22        Tx        Ty\n");
        std::printf("%10.6f%10.6f%10.6f%10.6f%10.6f%10.6f\n", o.R11, o.R12, o.R21, o.R22, o.Tx, o.Ty);
        std::printf("ccc = %f \n", ccc[i]);
    }
    return 0;
}

int mrcf_2ds_apply_mask(const char*, const char*, const char*) { return 0; }
