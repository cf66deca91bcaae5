// 2D NCS averaging: copies of a motif related by rigid operators are mapped
// onto one output grid, weighted by a soft mask and averaged; the same mapping
// scores each operator against a reference and refines its shift.
#define VORN_UNIT "src/process2d_raw"
#include "process2d_raw.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include <cstdio>
#include <vector>

#include "math_utils.h"
#include "math_utils_gpu.h"
#include "process2d_core.h"

namespace {

// The output grid, the input and the operator centre: everything but the operator.
struct NcsFrame {
    unsigned nxo, nyo;
    float ox, oy;
    const float* in;
    unsigned nxi, nyi;
    float cxi, cyi;
    const float* mask;
};

// The bilinear sample of output pixel (x, y) through op; false where the source
// lies outside the input or is not a number.
__host__ __device__ __forceinline__ bool ncs_sample(const NcsFrame& g, const RT_Mat2D& op, unsigned x, unsigned y,
                                                    float& v) {
    const float X = (float)x + g.ox - g.cxi, Y = (float)y + g.oy - g.cyi;
    const float sx = op.R11 * X + op.R12 * Y + op.Tx + g.cxi, sy = op.R21 * X + op.R22 * Y + op.Ty + g.cyi;
    return bilinear_sample(g.in, g.nxi, g.nyi, sx, sy, v);
}

// The mask's share of a sample: whole from 0.999999 on, m above 0, none at or below 0.
__host__ __device__ __forceinline__ bool masked(float m, float v, float& w) {
    if (m >= 0.999999f) {
        w = v;
        return true;
    }
    if (m > 0.0f) {
        w = m * v;
        return true;
    }
    return false;
}

__host__ __device__ __forceinline__ void add_one_pixel(float* out, const NcsFrame& g, const RT_Mat2D& op, unsigned x,
                                                       unsigned y) {
    const size_t i = (size_t)y * g.nxo + x;
    float v, w;
    if (ncs_sample(g, op, x, y, v) && masked(g.mask[i], v, w)) out[i] += w;
}

void print_operator(const RT_Mat2D& op) {
    std::printf("   R11       R12       R21       R22        Tx        Ty\n");
    std::printf("%10.6f%10.6f%10.6f%10.6f%10.6f%10.6f\n", op.R11, op.R12, op.R21, op.R22, op.Tx, op.Ty);
}

void cpu_add_one(float* out, const NcsFrame& g, const RT_Mat2D& op) {
    for (unsigned y = 0; y < g.nyo; ++y)
        for (unsigned x = 0; x < g.nxo; ++x) add_one_pixel(out, g, op, x, y);
}

// Every operator's samples added into out, each operator printed, then out / nops.
void cpu_average(float* out, const NcsFrame& g, const RT_Mat2D* ops, unsigned nops) {
    const size_t n = (size_t)g.nxo * g.nyo;
    std::fill(out, out + n, 0.0f);
    for (unsigned k = 0; k < nops; ++k) {
        cpu_add_one(out, g, ops[k]);
        print_operator(ops[k]);
    }
    hm_divide_inplace(out, n, (float)nops);
}

// Scratch for scoring operators against one reference: the reference is
// normalised under the mask once, the sample buffers are reused per trial.
struct NcsScorer {
    NcsFrame g;
    std::vector<float> ref, sample, normalised;
    NcsScorer(const NcsFrame& frame, const float* reference)
        : g(frame), ref((size_t)frame.nxo * frame.nyo), sample(ref.size()), normalised(ref.size()) {
        hm_normz_withmask_applymask(ref.data(), reference, g.mask, ref.size(), 1.0f, 0.0f);
    }
    float score(const RT_Mat2D& op) {
        cpu_2d_ncs_get_one(sample.data(), g.nxo, g.nyo, g.ox, g.oy, g.in, g.nxi, g.nyi, g.cxi, g.cyi, g.mask, op);
        hm_normz_withmask_applymask(normalised.data(), sample.data(), g.mask, sample.size(), 1.0f, 0.0f);
        return hm_ccc_norm(ref.data(), normalised.data(), ref.size());
    }
};

}  // namespace

__global__ void cuda_2d_ncs_add_one(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in,
                                    unsigned nxi, unsigned nyi, float cxi, float cyi, const float* mask, RT_Mat2D op) {
    const uint2 t = IMAGE_THREAD_XY;
    if (t.x < nxo && t.y < nyo) add_one_pixel(out, NcsFrame{nxo, nyo, ox, oy, in, nxi, nyi, cxi, cyi, mask}, op, t.x, t.y);
}

void hcuda_2d_ncs_add_one(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                          unsigned nyi, float cxi, float cyi, const float* mask, RT_Mat2D op) {
    gpu_launch_2d<cuda_2d_ncs_add_one>(GPU_SITE, nxo, nyo, out, nxo, nyo, ox, oy, in, nxi, nyi, cxi, cyi, mask, op);
}

void cpu_2d_ncs_add_one(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                        unsigned nyi, float cxi, float cyi, const float* mask, RT_Mat2D op) {
    cpu_add_one(out, NcsFrame{nxo, nyo, ox, oy, in, nxi, nyi, cxi, cyi, mask}, op);
}

void hcuda_2d_ncs_average(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                          unsigned nyi, float cxi, float cyi, const float* mask, const RT_Mat2D* ops, unsigned nops) {
    for (unsigned k = 0; k < nops; ++k) {
        hcuda_2d_ncs_add_one(out, nxo, nyo, ox, oy, in, nxi, nyi, cxi, cyi, mask, ops[k]);
        print_operator(ops[k]);
    }
    hcuda_divide_inplace(out, (size_t)nxo * nyo, (float)nops);
}

void gpu_2d_ncs_average(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                        unsigned nyi, float cxi, float cyi, const float* mask, const RT_Mat2D* ops, unsigned nops) {
    const size_t no = (size_t)nxo * nyo, ni = (size_t)nxi * nyi;
    float* d_in = device_copy_of(GPU_SITE, in, ni);
    float* d_mask = device_copy_of(GPU_SITE, mask, no);
    float* d_out = device_buffer<float>(GPU_SITE, no);
    hcuda_empty_f32(d_out, no);
    hcuda_2d_ncs_average(d_out, nxo, nyo, ox, oy, d_in, nxi, nyi, cxi, cyi, d_mask, ops, nops);
    copy_to_host(GPU_SITE, out, d_out, no);
    device_release(GPU_SITE, d_in);
    device_release(GPU_SITE, d_mask);
    device_release(GPU_SITE, d_out);
    std::printf(".");
}

void cpu_2d_ncs_average(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                        unsigned nyi, float cxi, float cyi, const float* mask, const RT_Mat2D* ops, unsigned nops) {
    cpu_average(out, NcsFrame{nxo, nyo, ox, oy, in, nxi, nyi, cxi, cyi, mask}, ops, nops);
}

void cpu_2d_ncs_average_replace(float* dst, const float* mask, unsigned nxm, unsigned nym, unsigned x0, unsigned y0,
                                const float* src, unsigned nx, unsigned ny, float cx, float cy, const RT_Mat2D* ops,
                                unsigned nops) {
    std::copy(src, src + (size_t)nx * ny, dst);
    std::vector<float> box((size_t)nxm * nym);
    cpu_average(box.data(), NcsFrame{nxm, nym, (float)x0, (float)y0, src, nx, ny, cx, cy, mask}, ops, nops);
    cpu_x2d_cp_small_to_large(dst, box.data(), (int)nx, (int)ny, (int)nxm, (int)nym, (int)x0, (int)y0);
}

void cpu_2d_ncs_get_one(float* out, unsigned nxo, unsigned nyo, float ox, float oy, const float* in, unsigned nxi,
                        unsigned nyi, float cxi, float cyi, const float* mask, RT_Mat2D op) {
    const NcsFrame g{nxo, nyo, ox, oy, in, nxi, nyi, cxi, cyi, mask};
    for (unsigned y = 0; y < g.nyo; ++y)
        for (unsigned x = 0; x < g.nxo; ++x) {
            const size_t i = (size_t)y * g.nxo + x;
            float v, w;
            out[i] = 0.0f;
            if (!ncs_sample(g, op, x, y, v)) continue;
            const float m = g.mask[i];
            if ((double)m < -0.000001 || (double)m > 1.000001) {
                std::printf("i,j = %d %d  %f\n", (int)x, (int)y, m);
                VORN_FATAL("Mask value must range from 0 to 1.0");
            }
            if (masked(m, v, w)) out[i] = w;
        }
}

float cpu_2d_ncs_ccc_one(const float* ref, unsigned nxo, unsigned nyo, float ox, float oy, const float* in,
                         unsigned nxi, unsigned nyi, float cxi, float cyi, const float* mask, RT_Mat2D op) {
    return NcsScorer(NcsFrame{nxo, nyo, ox, oy, in, nxi, nyi, cxi, cyi, mask}, ref).score(op);
}

void cpu_2d_ncs_cccs(float* ccc, const float* ref, unsigned nxo, unsigned nyo, float ox, float oy, const float* in,
                     unsigned nxi, unsigned nyi, float cxi, float cyi, const float* mask, const RT_Mat2D* ops,
                     unsigned nops) {
    NcsScorer scorer(NcsFrame{nxo, nyo, ox, oy, in, nxi, nyi, cxi, cyi, mask}, ref);
    for (unsigned k = 0; k < nops; ++k) ccc[k] = scorer.score(ops[k]);
}

// Callers print ccc[i] as the operator's correlation, so it holds the best
// coefficient of the search, the one the "max" line reports.
void cpu_2d_ncs_cccs_refine(float* ccc, const float* ref, unsigned nxo, unsigned nyo, float ox, float oy,
                            const float* in, unsigned nxi, unsigned nyi, float cxi, float cyi, const float* mask,
                            const RT_Mat2D* ops, unsigned nops) {
    NcsScorer scorer(NcsFrame{nxo, nyo, ox, oy, in, nxi, nyi, cxi, cyi, mask}, ref);
    for (unsigned k = 0; k < nops; ++k) {
        print_operator(ops[k]);
        std::printf("rot dx dy ccc\n");
        float best = -1e10f, best_dx = 0.0f, best_dy = 0.0f;
        for (int j = 0; j <= 60; ++j)
            for (int i = 0; i <= 60; ++i) {
                const float dx = -15.0f + 0.5f * (float)i, dy = -15.0f + 0.5f * (float)j;
                RT_Mat2D trial = ops[k];
                trial.Tx += dx;
                trial.Ty += dy;
                const float c = scorer.score(trial);
                if (c > best) best = c, best_dx = dx, best_dy = dy;
            }
        std::printf("max %12.3f%12.3f%12.3f%12.6f\n", -0.0, best_dx, best_dy, best);
        ccc[k] = best;
    }
}

void gpu_2d_ncs_cccs(float*, const float*, unsigned, unsigned, float, float, const float*, unsigned, unsigned, float,
                     float, const float*, const RT_Mat2D*, unsigned) {}
