// Equiphase averaging: profiles taken along the contours of constant geometric
// phase of a centred half spectrum, their map-back onto the half spectrum, and
// the band operations (ring average, squaring and products inside a band).
#define VORN_UNIT "src/ctf_core"
#include "ctf_core.h"
#include "bilinear.h"
#include "gpu_buffers.h"
#include "gpu_launch.h"

#include <algorithm>

namespace {

constexpr float HALF_PI_F = (float)(CTF_PI / 2.0);

// The geometric phase of one slice: a2 along an azimuth, a4 and Cs for the inversion.
struct PhaseModel {
    float lambda, a4, Cs;
    UVA_c uva;
    __host__ __device__ float a2(float theta) const {
        return ctf_a2(lambda, ctf_defocus_along(uva.U, uva.V, uva.A, theta));
    }
    __host__ __device__ float chig(float s, float theta) const { return ctf_geometric_phase(a2(theta), a4, s); }
    // Frequency of phase T along theta; -1 where no frequency reaches it.
    __host__ __device__ float frequency(float T, float theta) const { return frequency_at(a2(theta), T); }
    // The same along an azimuth whose a2 is known.
    __host__ __device__ float frequency_at(float a, float T) const {
        if (a * a - 4.0f * a4 * T < 0.0f) return -1.0f;
        return ctf_phase_frequency(a, a4, T, Cs);
    }
};
__host__ __device__ __forceinline__ PhaseModel phase_model(float kV, float Cs, UVA_c uva) {
    const float lambda = ctf_wavelength(kV);
    return {lambda, ctf_a4(lambda, Cs), Cs, uva};
}

__host__ __device__ __forceinline__ float at(const float* in, int nx, int x, int y) { return in[(size_t)y * nx + x]; }
// Mean of the eight neighbours; a step that would leave the array stays on the border element.
__host__ __device__ float neighbour_mean(const float* in, int nx, int ny, int x, int y) {
    float sum = 0.0f;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0) continue;
            const int xx = (x + dx < 0 || x + dx > nx - 1) ? x : x + dx;
            const int yy = (y + dy < 0 || y + dy > ny - 1) ? y : y + dy;
            sum += at(in, nx, xx, yy);
        }
    return sum * 0.125f;
}

// The radius beyond which no point of the array lies; sampling stops there, so a
// contour far outside (a defocus near zero along some azimuth) costs nothing.
__host__ __device__ __forceinline__ float reach(int nx, int ny) {
    return sqrtf((float)nx * nx + (float)ny * ny) + 2.0f;
}

// The N images (N = 2 for a spectrum and its log) averaged along the same
// contours: they share every position and weight, and each keeps its own sum.
// Two images may come interleaved as well (pairs, element e of image j at
// pairs[2 e + j]; null if not), where a batch reads both at once.
template <int N> struct EpaSums {
    const float* in[N];
    float sum[N];
    const float* pairs;
};

// Where up to GPU_LANES neighbouring azimuths sample: the radial stretch from
// first to last in steps of 0.5 (first past last where an azimuth has none), the
// contour radius r0 the weights centre on, twice their variance, and the
// direction (c, s).
struct ContourStretches {
    float first[GPU_LANES], last[GPU_LANES], r0[GPU_LANES], two_var[GPU_LANES], c[GPU_LANES], s[GPU_LANES];
};

// The frequencies of phase T along the azimuths whose a2 are given, in lanes;
// NaN or -1 where no frequency reaches it (as PhaseModel::frequency_at).
__host__ __device__ __forceinline__ gpu_lanes_f frequencies_at(const PhaseModel& m, const gpu_lanes_f& a, float T) {
    const gpu_lanes_f disc = a * a - 4.0f * m.a4 * T;
    const gpu_lanes_f f = m.Cs > 0.01f ? gpu_lanes_sqrt((a - gpu_lanes_sqrt(disc)) / (2.0f * m.a4))
                                       : gpu_lanes_sqrt(T / a);
    return gpu_lanes_select(disc < 0.0f, -1.0f, f);
}

// The stretches of the n azimuths theta[0 .. n) of a walk (see walk_contour).
__host__ __device__ __forceinline__ void contour_stretches(ContourStretches& out, const float* theta, unsigned n,
                                                           float R, const PhaseModel& m, float T0, float T1,
                                                           float rmax) {
    const gpu_lanes_f th = gpu_lanes_load(theta, n);
    const gpu_lanes_f a2 = ctf_a2(m.lambda, ctf_defocus_along(m.uva.U, m.uva.V, m.uva.A, th));
    const gpu_lanes_f f0 = frequencies_at(m, a2, T0), f1 = frequencies_at(m, a2, T1);
    const gpu_lanes_f r0 = R * f0, r1 = gpu_lanes_select(f1 >= 0.0f, R * f1, r0 + 2.0f);
    gpu_lanes_f w = r1 - r0;
    w = gpu_lanes_select(w >= 10.0f, gpu_lanes_sqrt(10.0f * w), w);
    const gpu_lanes_f sigma = w / 3.0f, first = r0 - w;
    // A contour, and a finite stretch to sample (NaN compares false).
    const gpu_lanes_m sampled = (f0 >= 0.0f) & (sigma > 0.0f) & (first <= r1);
    gpu_lanes_store(out.first, gpu_lanes_select(sampled, first, rmax + 1.0f), GPU_LANES);
    // fminf(r1, rmax) for any r1, NaN too, without the library call it is on a host.
    gpu_lanes_store(out.last, gpu_lanes_select(r1 < rmax, r1, rmax), GPU_LANES);
    gpu_lanes_store(out.r0, r0, GPU_LANES);
    gpu_lanes_store(out.two_var, 2.0f * sigma * sigma, GPU_LANES);
    gpu_lanes_f s, c;
    gpu_lanes_sincos(th, s, c);
    gpu_lanes_store(out.c, c, GPU_LANES);
    gpu_lanes_store(out.s, s, GPU_LANES);
}

// The Gaussian weight of samples at offsets d from the contour (two_var: twice the variance).
__host__ __device__ __forceinline__ gpu_lanes_f sample_weight(const gpu_lanes_f& d, const gpu_lanes_f& two_var) {
    return 0.398942292f * gpu_lanes_exp((0.0f - d) * d / two_var);
}

// Inside samples of a walk queued until GPU_LANES of them share one lane
// exponential: position, offset from the contour and twice the variance.
struct SampleQueue {
    float sx[GPU_LANES], sy[GPU_LANES], d[GPU_LANES], two_var[GPU_LANES];
    unsigned n;
};

// Adds the queued samples to the sums, one after another in the order queued.
template <int N>
__host__ __device__ __forceinline__ void add_samples(SampleQueue& q, const EpaSums<N>& acc, size_t slice, int nx,
                                                     int ny, float (&sum)[N], float& wsum) {
    const gpu_lanes_f d = gpu_lanes_load(q.d, q.n);
    float g[GPU_LANES];
    gpu_lanes_store(g, sample_weight(d, gpu_lanes_load(q.two_var, q.n)), GPU_LANES);
    for (unsigned k = 0; k < q.n; ++k) {
        const BilinearTaps taps = bilinear_taps(nx, ny, q.sx[k], q.sy[k]);
        for (int j = 0; j < N; ++j) sum[j] += g[k] * bilinear_value(acc.in[j] + slice, taps);
        wsum += g[k];
    }
    q.n = 0;
}

// The first radius of a stretch: a start below the array's reach moves up on the
// same grid of steps of 0.5.
__host__ __device__ __forceinline__ float stretch_start(float first, float rmax) {
    return first < -rmax ? first + 0.5f * ceilf((-rmax - first) / 0.5f) : first;
}

// Samples the stretches of the azimuths [0, n) of st one at a time, queued for
// their weights (the walk of stretches too long for a batch).
template <int N>
__host__ __device__ void walk_stretches_one_by_one(const ContourStretches& st, unsigned n, const EpaSums<N>& acc,
                                                   size_t slice, int nx, int ny, float rmax, float (&sum)[N],
                                                   float& wsum) {
    SampleQueue queue;
    queue.n = 0;
    for (unsigned a = 0; a < n; ++a) {
        const float c = st.c[a], s = st.s[a];
        for (float r = stretch_start(st.first[a], rmax); r <= st.last[a]; r += 0.5f) {
            const float sx = r * c, sy = r * s + 0.5f * ny;
            if (!bilinear_inside(nx, ny, sx, sy)) continue;
            queue.sx[queue.n] = sx;
            queue.sy[queue.n] = sy;
            queue.d[queue.n] = r - st.r0[a];
            queue.two_var[queue.n] = st.two_var[a];
            if (++queue.n == GPU_LANES) add_samples(queue, acc, slice, nx, ny, sum, wsum);
        }
    }
    if (queue.n > 0) add_samples(queue, acc, slice, nx, ny, sum, wsum);
}

// The samples of a batch of stretches, one lane per azimuth: step k of lane a
// at [a][k], as the additions take it: the weighted values g v of the N images
// and the weight g (then zeros), all zeros for a step outside the array or past
// the stretch's end.
constexpr unsigned EPA_BATCH_STEPS = 64;
template <int N> struct StretchSamples {
    static_assert(N >= 1 && N <= 3, "the images' sums and the weight fill one record of four");
    float at[GPU_LANES][EPA_BATCH_STEPS][4];
    // Field f of a record: image f's weighted value, then the weight, then zeros.
    static __host__ __device__ __forceinline__ gpu_lanes_f field(const gpu_lanes_f (&gv)[N], const gpu_lanes_f& g,
                                                                int f) {
        if (f < N) return gv[f];
        return f == N ? g : gpu_lanes_f(0.0f);
    }
    // Stores the samples of step k of every lane.
    __host__ __device__ __forceinline__ void store(unsigned k, const gpu_lanes_f (&gv)[N], const gpu_lanes_f& g) {
        gpu_lanes_store_quads(&at[0][k][0], EPA_BATCH_STEPS * 4, field(gv, g, 0), field(gv, g, 1), field(gv, g, 2),
                              field(gv, g, 3));
    }
};

// The additions of a sampled batch not made yet: azimuths next .. n of b, the
// first `steps` steps of each.
template <int N> struct PendingAdds {
    const StretchSamples<N>* b;
    unsigned next, n, steps;
};

// Makes the additions of up to `count` more azimuths of p, azimuth after azimuth
// and step after step: the walk's order. The sums and the weight sit side by side
// in `sums`, as in a record, so that one vector addition adds a sample to each
// (an elementwise addition of each, as alone). The zeros of steps outside a
// stretch change nothing: x + (+0) is x for every x but -0, and no sum here is
// ever -0 (a sum that starts at +0 stays off -0, and the weight starts above zero).
template <int N>
__host__ __device__ __forceinline__ void add_pending(PendingAdds<N>& p, unsigned count, float (&sums)[4]) {
    const unsigned end = p.n - p.next < count ? p.n : p.next + count;
    gpu_quad s = gpu_quad_load(sums);
    for (; p.next < end; ++p.next) {
        const float(*at)[4] = p.b->at[p.next];
        for (unsigned k = 0; k < p.steps; ++k) s = s + gpu_quad_load(at[k]);
    }
    gpu_quad_store(sums, s);
}

// The sums of a walk in registers for the length of a batch (a store through a
// reference could alias the images), and the pending additions made a few
// azimuths a step while the batch is sampled: the chain of additions then runs
// beside the sampling instead of after it.
template <int N> struct BatchSums {
    float sums[4];
    PendingAdds<N>& p;
    unsigned per_step;
    float (&out)[N];
    float& wout;
    __host__ __device__ __forceinline__ BatchSums(PendingAdds<N>& pending, unsigned steps, float (&s)[N], float& w)
        : sums{}, p(pending), per_step(steps > 0 ? (pending.n - pending.next + steps - 1) / steps : 0), out(s),
          wout(w) {
        for (int j = 0; j < N; ++j) sums[j] = s[j];
        sums[N] = w;
    }
    __host__ __device__ __forceinline__ void step() { add_pending(p, per_step, sums); }
    __host__ __device__ __forceinline__ ~BatchSums() {
        add_pending(p, p.n, sums);
        for (int j = 0; j < N; ++j) out[j] = sums[j];
        wout = sums[N];
    }
};

// One step of every lane of a batch: where it samples, as bilinear_taps
// takes it (element 0 for a lane outside the array or past its stretch).
struct StepTaps {
    gpu_lanes_f e00, e10, e01, e11;  // element indices, whole numbers below 2^24
    gpu_lanes_f fx, fy;
};
__host__ __device__ __forceinline__ gpu_lanes_m step_taps(StepTaps& t, const gpu_lanes_f& r, const gpu_lanes_f& last,
                                                          const gpu_lanes_f& c, const gpu_lanes_f& s, int nx, int ny) {
    const float nxf = (float)nx;
    const gpu_lanes_f sx = r * c, sy = r * s + 0.5f * ny;
    // As bilinear_inside (NaN compares false), on the stretch.
    const gpu_lanes_m inside =
        (r <= last) & (sx >= 0.0f) & (sy >= 0.0f) & (sx <= (float)(nx - 1)) & (sy <= (float)(ny - 1));
    // The truncation of a position inside, as a float (+ 0 makes the floor of -0 a +0).
    const gpu_lanes_f ix = gpu_lanes_select(inside, gpu_lanes_floor(sx) + 0.0f, 0.0f);
    const gpu_lanes_f iy = gpu_lanes_select(inside, gpu_lanes_floor(sy) + 0.0f, 0.0f);
    t.fx = sx - ix;
    t.fy = sy - iy;
    // Right and lower neighbours only for a non-zero fraction.
    const gpu_lanes_f dx = gpu_lanes_select(inside & (t.fx > 0.0f), 1.0f, 0.0f);
    const gpu_lanes_f dy = gpu_lanes_select(inside & (t.fy > 0.0f), nxf, 0.0f);
    t.e00 = iy * nxf + ix;
    t.e10 = t.e00 + dx;
    t.e01 = t.e00 + dy;
    t.e11 = t.e10 + dy;
    return inside;
}

// The bilinear values at the taps of every lane, evaluated as bilinear_value does.
__host__ __device__ __forceinline__ gpu_lanes_f bilinear_lanes(const float* in, const StepTaps& t) {
    const gpu_lanes_f a = gpu_lanes_gather(in, t.e00), b = gpu_lanes_gather(in, t.e10),
                      c = gpu_lanes_gather(in, t.e01), d = gpu_lanes_gather(in, t.e11);
    return a + t.fx * (b - a) + t.fy * (c - a) + t.fy * t.fx * (a + d - b - c);
}

// Computes `steps` steps of the stretches of st from their starts, every lane
// advanced by 0.5 at once (each radius as its own walk computes it), while
// the pending additions of the batch before are made.
template <int N>
__host__ __device__ void sample_stretches(StretchSamples<N>& out, const ContourStretches& st, const float* start,
                                          unsigned steps, const EpaSums<N>& acc, size_t slice, int nx, int ny,
                                          PendingAdds<N>& pending, float (&sum)[N], float& wsum) {
    BatchSums<N> sums(pending, steps, sum, wsum);
    const gpu_lanes_f last = gpu_lanes_load(st.last), c = gpu_lanes_load(st.c), s = gpu_lanes_load(st.s);
    gpu_lanes_f r = gpu_lanes_load(start);
    StepTaps t;
    for (unsigned k = 0; k < steps; ++k, r += 0.5f) {
        const gpu_lanes_m inside = step_taps(t, r, last, c, s, nx, ny);
        const gpu_lanes_f d = r - gpu_lanes_load(st.r0);
        const gpu_lanes_f g = gpu_lanes_select(inside, sample_weight(d, gpu_lanes_load(st.two_var)), 0.0f);
        gpu_lanes_f gv[N];
        for (int j = 0; j < N; ++j)
            gv[j] = gpu_lanes_select(inside, g * bilinear_lanes(acc.in[j] + slice, t), 0.0f);
        out.store(k, gv, g);
        sums.step();
    }
}

// How many lanes of m are set.
__host__ __device__ __forceinline__ unsigned lanes_set(const gpu_lanes_m& m) {
    float set[GPU_LANES];
    gpu_lanes_store(set, gpu_lanes_select(m, 1.0f, 0.0f), GPU_LANES);
    unsigned count = 0;
    for (unsigned l = 0; l < GPU_LANES; ++l) count += set[l] > 0.5f ? 1u : 0u;
    return count;
}

// Whether every lane of a batch stays inside the array, a column short of its
// right edge, for all `steps` steps: a lane with a stretch from its start, one
// without from radius 0. A position r c, r s + ny/2 is monotone in r (each
// rounding is), so both ends of the radii walked decide it; the far end is
// bounded above, as a sum of halves rounds to within far less than 1 of the exact.
__host__ __device__ __forceinline__ bool batch_inside(const ContourStretches& st, const gpu_lanes_f& from,
                                                      unsigned steps, int nx, int ny) {
    const gpu_lanes_f c = gpu_lanes_load(st.c), s = gpu_lanes_load(st.s), to = from + (0.5f * steps + 1.0f);
    const float x_end = (float)(nx - 1), y_end = (float)(ny - 1), y0 = 0.5f * ny;
    const gpu_lanes_f x0 = from * c, y0s = from * s + y0, x1 = to * c, y1 = to * s + y0;
    const gpu_lanes_m inside = (x0 >= 0.0f) & (x0 < x_end) & (y0s >= 0.0f) & (y0s <= y_end) & (x1 >= 0.0f) &
                               (x1 < x_end) & (y1 >= 0.0f) & (y1 <= y_end);
    return lanes_set(inside) == GPU_LANES;
}

// sample_stretches for a batch whose lanes stay inside (batch_inside) as they
// walk from r (the starts) to `last` (their ends; a lane without a stretch from
// 0 to -1): no inside test per step, and a step past a lane's end is stored as
// zeros.
template <int N>
__host__ __device__ unsigned sample_inside_stretches(StretchSamples<N>& out, const ContourStretches& st,
                                                     gpu_lanes_f r, const gpu_lanes_f& last, unsigned steps,
                                                     const EpaSums<N>& acc, size_t slice, int nx, int ny,
                                                     PendingAdds<N>& pending, float (&sum)[N], float& wsum) {
    BatchSums<N> sums(pending, steps, sum, wsum);
    const gpu_lanes_f c = gpu_lanes_load(st.c), s = gpu_lanes_load(st.s);
    const float nxf = (float)nx, y0 = 0.5f * ny;
    for (unsigned k = 0; k < steps; ++k, r += 0.5f) {
        const gpu_lanes_m live = r <= last;
        // The count of steps bounds the longest stretch's from above, often by one.
        if (k + 1 == steps && lanes_set(live) == 0) return k;
        const gpu_lanes_f sx = r * c, sy = r * s + y0;
        // Truncations as floats; + 0 makes the floor of an sx of -0 a +0 (sy is above 0).
        const gpu_lanes_f ix = gpu_lanes_floor(sx) + 0.0f, iy = gpu_lanes_floor(sy);
        const gpu_lanes_f fx = sx - ix, fy = sy - iy;
        const gpu_lanes_m right = fx > 0.0f;
        const gpu_lanes_f e00 = iy * nxf + ix, e01 = e00 + gpu_lanes_select(fy > 0.0f, nxf, 0.0f);
        const gpu_lanes_f g = sample_weight(r - gpu_lanes_load(st.r0), gpu_lanes_load(st.two_var));
        // Each row's element and its right neighbour, which the batch keeps inside;
        // the neighbour counts only for a non-zero fraction, as bilinear_taps reads it.
        gpu_lanes_f a[N], b[N], c[N], d[N];
        if (N == 2 && acc.pairs) {
            const float* pairs = acc.pairs + 2 * slice;
            gpu_lanes_gather_quad(pairs, e00 + e00, a[0], a[N - 1], b[0], b[N - 1]);
            gpu_lanes_gather_quad(pairs, e01 + e01, c[0], c[N - 1], d[0], d[N - 1]);
        } else {
            for (int j = 0; j < N; ++j) {
                gpu_lanes_gather_pair(acc.in[j] + slice, e00, a[j], b[j]);
                gpu_lanes_gather_pair(acc.in[j] + slice, e01, c[j], d[j]);
            }
        }
        gpu_lanes_f gv[N];
        for (int j = 0; j < N; ++j) {
            const gpu_lanes_f bj = gpu_lanes_select(right, b[j], a[j]), dj = gpu_lanes_select(right, d[j], c[j]);
            const gpu_lanes_f v =
                a[j] + fx * (bj - a[j]) + fy * (c[j] - a[j]) + fy * fx * (a[j] + dj - bj - c[j]);
            gv[j] = gpu_lanes_select(live, g * v, 0.0f);
        }
        out.store(k, gv, gpu_lanes_select(live, g, 0.0f));
        sums.step();
    }
    return steps;
}

// The batches of a walk along the contour of phase T0: azimuths -pi/2 <= theta
// < pi/2 in steps of `step`, GPU_LANES at a time (one on a GPU), with their
// radial stretches and starts. Calls f(st, start, n, steps) for each batch of
// n azimuths, steps bounding the steps of its longest stretch (lanes past n
// have none).
template <class F>
__host__ __device__ __forceinline__ void for_each_stretch_batch(int nx, int ny, float R, const PhaseModel& m, float T0,
                                                                float step, F& f) {
    const float rmax = reach(nx, ny), T1 = T0 + HALF_PI_F;
    float theta = -HALF_PI_F;
    while ((double)theta < CTF_PI / 2.0) {
        float azimuths[GPU_LANES];
        unsigned n = 0;
        for (; n < GPU_LANES && (double)theta < CTF_PI / 2.0; ++n, theta += step) azimuths[n] = theta;
        ContourStretches st;
        contour_stretches(st, azimuths, n, R, m, T0, T1, rmax);
        float start[GPU_LANES];
        double steps = 0.0;
        for (unsigned a = 0; a < GPU_LANES; ++a) {
            start[a] = a < n ? stretch_start(st.first[a], rmax) : st.last[a] + 1.0f;
            // Without branches: lanes without a stretch count 0.
            const double steps_a = start[a] <= st.last[a] ? 2.0 * ((double)st.last[a] - start[a]) + 2.0 : 0.0;
            steps = steps_a > steps ? steps_a : steps;
        }
        f(st, start, n, steps);
    }
}

// Adds the samples of one slice's walk (images at offset `slice`) to the sums,
// a batch of azimuths at a time: their samples computed together, a lane per
// azimuth, then added in the order of the walk, azimuth after azimuth.
template <int N> struct WalkSlice {
    const EpaSums<N>& acc;
    size_t slice;
    int nx, ny;
    float rmax;
    bool lanes;
    float (&sum)[N];
    float& wsum;
    StretchSamples<N> (&samples)[2];
    PendingAdds<N> pending;
    __host__ __device__ void operator()(const ContourStretches& st, const float* start, unsigned n, double steps) {
        if (lanes && steps <= EPA_BATCH_STEPS) {
            // The buffer the pending additions do not read.
            StretchSamples<N>& out = samples[pending.b == &samples[0] ? 1 : 0];
            // A lane without a stretch walks from radius 0 and ends before it starts.
            const gpu_lanes_f first = gpu_lanes_load(start), last = gpu_lanes_load(st.last);
            const gpu_lanes_m has = first <= last;
            const gpu_lanes_f from = gpu_lanes_select(has, first, 0.0f);
            unsigned stored = (unsigned)steps;
            if (batch_inside(st, from, stored, nx, ny))
                stored = sample_inside_stretches(out, st, from, gpu_lanes_select(has, last, -1.0f), stored, acc,
                                                 slice, nx, ny, pending, sum, wsum);
            else
                sample_stretches(out, st, start, stored, acc, slice, nx, ny, pending, sum, wsum);
            pending = {&out, 0, n, stored};
        } else {
            finish();
            walk_stretches_one_by_one(st, n, acc, slice, nx, ny, rmax, sum, wsum);
        }
    }
    // Makes every pending addition (BatchSums does them as it ends).
    __host__ __device__ void finish() { const BatchSums<N> all(pending, 0, sum, wsum); }
};

// Walks the contour of phase T0 of one slice (images at offset `slice`) over the
// azimuths -pi/2 <= theta < pi/2 in steps of `step`, adding Gaussian-weighted
// samples of the radial stretch from r0 - w to the contour a quarter period
// further (r1) into the sums and weight, in the order of the walk. Every image
// gets the samples of a walk of its own, in the same order, so a pair walked
// at once is bit-identical to two walks.
template <int N>
__host__ __device__ void walk_contour(EpaSums<N>& acc, size_t slice, int nx, int ny, float R, const PhaseModel& m,
                                      float T0, float step, float& weight) {
    // Nothing lies inside an empty array.
    if (nx < 1 || ny < 1) return;
    // Accumulated in registers: a store through a reference could alias the images.
    float sum[N], wsum = weight;
    for (int j = 0; j < N; ++j) sum[j] = acc.sum[j];
    StretchSamples<N> samples[2];
    // A batch computes element indices in float: exact below 2^24 elements.
    const bool lanes = (size_t)nx * (size_t)ny <= ((size_t)1 << 24);
    WalkSlice<N> walk{acc, slice, nx, ny, reach(nx, ny), lanes, sum, wsum, samples, {nullptr, 0, 0, 0}};
    for_each_stretch_batch(nx, ny, R, m, T0, step, walk);
    walk.finish();
    for (int j = 0; j < N; ++j) acc.sum[j] = sum[j];
    weight = wsum;
}

// The contour of profile bin i (k bins a pixel): radius scale R, phase T0 and
// azimuth step; false for a bin outside the band [1/low, 1/high].
struct BinContour {
    float R, T0, step;
};
__host__ __device__ __forceinline__ bool bin_contour(BinContour& b, unsigned i, int k, int nx, float apix, float kV,
                                                     float Cs, const UVA_c& uva, float low, float high) {
    const float si = (float)i / ((float)(2 * (nx - 1) * k) * apix);
    if (si < 1.0f / low || si > 1.0f / high) return false;
    b = {(float)(2 * (nx - 1)) * apix, phase_model(kV, Cs, uva).chig(si, 0.0f), 0.75f / (float)i};
    return true;
}

// Bin i of the EPA profiles of nz slices (slice z at z nx ny, records uva[z]) of N images into out[0..N).
template <int N>
__host__ __device__ void epa_bin(float* out, unsigned i, int k, const float* const* in, int nx, int ny, unsigned nz,
                                 float apix, float kV, float Cs, const UVA_c* uva, float low, float high,
                                 const float* pairs) {
    if (nz == 0) {
        for (int j = 0; j < N; ++j) out[j] = 0.0f;
        return;
    }
    BinContour b;
    if (!bin_contour(b, i, k, nx, apix, kV, Cs, uva[0], low, high)) {
        for (int j = 0; j < N; ++j) out[j] = at(in[j], nx, (int)i / k, ny / 2);
        return;
    }
    EpaSums<N> acc;
    for (int j = 0; j < N; ++j) {
        acc.in[j] = in[j];
        acc.sum[j] = 0.0f;
    }
    acc.pairs = pairs;
    float weight = 1e-6f;
    for (unsigned z = 0; z < nz; ++z)
        walk_contour(acc, stack_slice_offset(z, nx, ny), nx, ny, b.R, phase_model(kV, Cs, uva[z]), b.T0, b.step,
                     weight);
    for (int j = 0; j < N; ++j) out[j] = acc.sum[j] / weight;
}

// Counts the inside samples of a walk's stretches.
struct CountSamples {
    int nx, ny;
    size_t count;
    __host__ __device__ void operator()(const ContourStretches& st, const float* start, unsigned n, double) {
        for (unsigned a = 0; a < n; ++a)
            for (float r = start[a]; r <= st.last[a]; r += 0.5f)
                count += bilinear_inside(nx, ny, r * st.c[a], r * st.s[a] + 0.5f * ny);
    }
};

// A bin costs about in proportion to its index (up to the band's end), so the
// launch is uneven: threads are dealt on demand where cores share a grid, and
// bins are numbered from the top down, the heavy ones first and the light ones
// last, so the cores run out of work together.
constexpr unsigned EPA_BLOCK = 32;
__device__ __forceinline__ unsigned epa_bin_of_thread(unsigned bins) {
    return bins - 1 - (blockIdx.x * blockDim.x + threadIdx.x);
}
template <int N>
__device__ __forceinline__ void epa_profile_element(float* const* out, int k, const float* const* in, int nx, int ny,
                                                    unsigned nz, float apix, float kV, float Cs, const UVA_c* uva,
                                                    float low, float high, const float* pairs = nullptr) {
    const unsigned bins = (unsigned)(k * (nx - 1) + 1);
    if (blockIdx.x * blockDim.x + threadIdx.x >= bins) return;
    const unsigned i = epa_bin_of_thread(bins);
    float v[N];
    epa_bin<N>(v, i, k, in, nx, ny, nz, apix, kV, Cs, uva, low, high, pairs);
    for (int j = 0; j < N; ++j) out[j][i] = v[j];
}
size_t profile_bins(int k, int nx) { return (k >= 1 && nx >= 1) ? (size_t)k * (nx - 1) + 1 : 0; }
template <auto Kernel, class... A> void launch_profile(GpuSite at, size_t bins, const A&... args) {
    if (bins == 0) return;
    GPU_LAUNCH_UNEVEN(Kernel, gpu_blocks_1d(bins, EPA_BLOCK), EPA_BLOCK, 0)(args...);
    gpu_check_launch(at);
}

// Map-back of a k = 1 profile onto element (x, y); Weighted selects the first variant.
template <bool Weighted>
__device__ __forceinline__ void epa_map_back_element(float* out, const float* profile, const float* in, int nx, int ny,
                                                     float apix, float kV, float Cs, UVA_c uva, float low, float high) {
    const uint2 t = IMAGE_THREAD_XY;
    size_t e;
    if (!pixel_inside(t, nx, ny, e)) return;
    const CtfPolar f = CtfHalfLayout{(unsigned)nx, (unsigned)ny, apix}(t.x, t.y);
    if (Weighted) {
        if (f.s <= 1.0f / low) {
            out[e] = 0.0f;
            return;
        }
        if (f.s >= 1.0f / high) {
            out[e] = in[e];
            return;
        }
    } else if (f.s < 1.0f / low || f.s > 1.0f / high) {
        out[e] = neighbour_mean(in, nx, ny, t.x, t.y);
        return;
    }
    const PhaseModel m = phase_model(kV, Cs, uva);
    const float pos = (float)(2 * (nx - 1)) * apix * m.frequency(m.chig(f.s, f.theta), 0.0f);
    if (!(pos > 0.0f && pos < (float)(nx - 1))) {
        out[e] = neighbour_mean(in, nx, ny, t.x, t.y);
        return;
    }
    const int j = (int)floorf(pos);
    const float frac = pos - (float)j;
    const float v = frac != 0.0f ? profile[j] + frac * (profile[j + 1] - profile[j]) : profile[j];
    out[e] = Weighted ? (1.0f + 10.0f * pos / (float)nx) * v : v;
}

// The element frame of the band operations: f(s, element) with s of the half layout.
template <class F> __device__ __forceinline__ void band_element(int nx, int ny, float apix, F f) {
    const uint2 t = IMAGE_THREAD_XY;
    size_t e;
    if (pixel_inside(t, nx, ny, e)) f(CtfHalfLayout{(unsigned)nx, (unsigned)ny, apix}(t.x, t.y).s, e);
}
struct SquareInBand {
    float* out;
    const float* in;
    RESO band;
    __device__ void operator()(float s, size_t e) const { out[e] = ctf_in_band(s, band) ? in[e] * in[e] : 0.0f; }
};
struct MultiplyInBand {
    float* a;
    const float* b;
    RESO band;
    __device__ void operator()(float s, size_t e) const { a[e] = ctf_in_band(s, band) ? a[e] * b[e] : 0.0f; }
};

}  // namespace

// ---- profiles ----

__global__ void cuda_2dh_X_EPA_res(float* out, int k, const float* in, int nx, int ny, float apix, float kV, float Cs,
                                   float, float, float U, float V, float A, float low, float high) {
    const UVA_c uva{U, V, A};
    epa_profile_element<1>(&out, k, &in, nx, ny, 1, apix, kV, Cs, &uva, low, high);
}
void hcuda_2dh_X_EPA_res(float* out, int k, const float* in, int nx, int ny, float apix, float kV, float Cs, float AC,
                         float P, float U, float V, float A, float low, float high) {
    launch_profile<cuda_2dh_X_EPA_res>(GPU_SITE, profile_bins(k, nx), out, k, in, nx, ny, apix, kV, Cs, AC, P, U, V, A,
                                       low, high);
}

__global__ void cuda_2dh_X_EPA_res_pair(float* out_a, float* out_b, int k, const float* in_a, const float* in_b,
                                        int nx, int ny, float apix, float kV, float Cs, float, float, float U, float V,
                                        float A, float low, float high) {
    const UVA_c uva{U, V, A};
    float* const out[2] = {out_a, out_b};
    const float* const in[2] = {in_a, in_b};
    epa_profile_element<2>(out, k, in, nx, ny, 1, apix, kV, Cs, &uva, low, high);
}
namespace {
// The two images interleaved: element e of a at 2 e, of b at 2 e + 1.
__global__ void cuda_interleave_pair(float* out, const float* a, const float* b, size_t n) {
    const size_t e = (size_t)blockIdx.x * blockDim.x + threadIdx.x;
    if (e >= n) return;
    out[2 * e] = a[e];
    out[2 * e + 1] = b[e];
}
// cuda_2dh_X_EPA_res_pair with the images interleaved too (pairs), which a batch
// of samples reads at one load for both.
__global__ void cuda_2dh_X_EPA_res_interleaved(float* out_a, float* out_b, int k, const float* in_a,
                                               const float* in_b, const float* pairs, int nx, int ny, float apix,
                                               float kV, float Cs, float U, float V, float A, float low, float high) {
    const UVA_c uva{U, V, A};
    float* const out[2] = {out_a, out_b};
    const float* const in[2] = {in_a, in_b};
    epa_profile_element<2>(out, k, in, nx, ny, 1, apix, kV, Cs, &uva, low, high, pairs);
}
}  // namespace
void hcuda_2dh_X_EPA_res_pair(float* out_a, float* out_b, int k, const float* in_a, const float* in_b, int nx, int ny,
                              float apix, float kV, float Cs, float, float, float U, float V, float A, float low,
                              float high) {
    const size_t bins = profile_bins(k, nx);
    if (bins == 0) return;
    const size_t npix = (size_t)(nx > 0 ? nx : 0) * (size_t)(ny > 0 ? ny : 0);
    float* pairs = device_buffer<float>(GPU_SITE, 2 * npix);
    gpu_launch_1d<cuda_interleave_pair>(GPU_SITE, npix, pairs, in_a, in_b, npix);
    launch_profile<cuda_2dh_X_EPA_res_interleaved>(GPU_SITE, bins, out_a, out_b, k, in_a, in_b,
                                                   (const float*)pairs, nx, ny, apix, kV, Cs, U, V, A, low, high);
    device_release(GPU_SITE, pairs);
}

__global__ void cuda_2dhs_X_EPA_res(float* out, int k, const float* in, int nx, int ny, unsigned nz, float apix,
                                    float kV, float Cs, float, float, const UVA_c* uva, float low, float high) {
    epa_profile_element<1>(&out, k, &in, nx, ny, nz, apix, kV, Cs, uva, low, high);
}
void hcuda_2dhs_X_EPA_res(float* out, int k, const float* in, int nx, int ny, unsigned nz, float apix, float kV,
                          float Cs, float AC, float P, const UVA_c* uva, float low, float high) {
    launch_profile<cuda_2dhs_X_EPA_res>(GPU_SITE, profile_bins(k, nx), out, k, in, nx, ny, nz, apix, kV, Cs, AC, P,
                                        uva, low, high);
}

size_t epa_profile_samples(int k, int nx, int ny, float apix, float kV, float Cs, float U, float V, float A,
                           float low, float high) {
    if (nx < 1 || ny < 1) return 0;
    CountSamples count{nx, ny, 0};
    const UVA_c uva{U, V, A};
    const PhaseModel m = phase_model(kV, Cs, uva);
    BinContour b;
    for (unsigned i = 0; i < profile_bins(k, nx); ++i)
        if (bin_contour(b, i, k, nx, apix, kV, Cs, uva, low, high))
            for_each_stretch_batch(nx, ny, b.R, m, b.T0, b.step, count);
    return count.count;
}

// ---- map-back ----

__global__ void cuda_2dh_EPA_from_1d2(float* out, const float* profile, const float* in, int nx, int ny, float apix,
                                      float kV, float Cs, float, float, float U, float V, float A, float low,
                                      float high) {
    epa_map_back_element<true>(out, profile, in, nx, ny, apix, kV, Cs, UVA_c{U, V, A}, low, high);
}
void hcuda_2dh_EPA_from_1d(float* out, const float* profile, const float* in, int nx, int ny, float apix, float kV,
                           float Cs, float AC, float P, float U, float V, float A, float low, float high) {
    gpu_launch_2d<cuda_2dh_EPA_from_1d2>(GPU_SITE, nx, ny, out, profile, in, nx, ny, apix, kV, Cs, AC, P, U, V, A, low,
                                         high);
}
__global__ void cuda_2dh_EPA_from_1d3(float* out, const float* profile, const float* in, int nx, int ny, float apix,
                                      float kV, float Cs, float, float, float U, float V, float A, float low,
                                      float high) {
    epa_map_back_element<false>(out, profile, in, nx, ny, apix, kV, Cs, UVA_c{U, V, A}, low, high);
}
void hcuda_2dh_EPA_from_1d3(float* out, const float* profile, const float* in, int nx, int ny, float apix, float kV,
                            float Cs, float AC, float P, float U, float V, float A, float low, float high) {
    gpu_launch_2d<cuda_2dh_EPA_from_1d3>(GPU_SITE, nx, ny, out, profile, in, nx, ny, apix, kV, Cs, AC, P, U, V, A, low,
                                         high);
}

// ---- 2D equiphase averages ----

void hcuda_2dh_EPA(float* out, const float* in, int nx, int ny, float apix, float kV, float Cs, float AC, float P,
                   float U, float V, float A, float low, float high) {
    if (nx < 1 || ny < 1) return;
    float* profile = device_buffer<float>(GPU_SITE, nx);
    hcuda_2dh_X_EPA_res(profile, 1, in, nx, ny, apix, kV, Cs, AC, P, U, V, A, low, 2.0f * apix);
    hcuda_2dh_EPA_from_1d(out, profile, in, nx, ny, apix, kV, Cs, AC, P, U, V, A, low, high);
    device_release(GPU_SITE, profile);
}

void hcuda_2dhs_EPA(float* out, const float* in, int nx, int ny, unsigned nz, float apix, float kV, float Cs, float AC,
                    float P, const UVA_c* uva, float low, float high) {
    if (nx < 1 || ny < 1) return;
    // An empty stack has no slice 0 to map back with: its average is zero.
    if (nz == 0) {
        hcuda_2d_empty(out, nx, ny);
        return;
    }
    float* profile = device_buffer<float>(GPU_SITE, nx);
    hcuda_2dhs_X_EPA_res(profile, 1, in, nx, ny, nz, apix, kV, Cs, AC, P, uva, low, high);
    UVA_c first;
    copy_to_host(GPU_SITE, &first, uva, 1);
    hcuda_2dh_EPA_from_1d(out, profile, in, nx, ny, apix, kV, Cs, AC, P, first.U, first.V, first.A, low, high);
    device_release(GPU_SITE, profile);
}

void gpu_2dhs_EPA(float* out, const float* in, int nx, int ny, unsigned nz, float apix, float kV, float Cs, float AC,
                  float P, const UVA_c* uva, float low, float high) {
    if (nx < 1 || ny < 1) return;
    const size_t npix = image_pixels(nx, ny);
    if (nz == 0) {
        std::fill(out, out + npix, 0.0f);
        return;
    }
    UVA_c* d_uva = device_copy_of(GPU_SITE, uva, nz);
    gpu_run_on_device(GPU_SITE, out, npix, in, npix * nz, [&](float* d_in, float* d_out) {
        hcuda_2dhs_EPA(d_out, d_in, nx, ny, nz, apix, kV, Cs, AC, P, d_uva, low, high);
    });
    device_release(GPU_SITE, d_uva);
}

// ---- band operations ----

__global__ void cuda_2dh_basic_rotate_ave_res(const float* in, float* out, float apix, int nx, int ny, float low,
                                              float high) {
    const uint2 t = IMAGE_THREAD_XY;
    if ((int)t.x >= nx || (int)t.y >= ny / 2) return;
    const float x = (float)t.x, d = (float)t.y - 0.5f * ny;
    const float r = sqrtf(x * x + d * d);
    const float s = r / ((float)(2 * (nx - 1)) * apix);
    float& o = out[pixel_element(t.x, t.y, nx)];
    if (s <= 1.0f / low || s >= 1.0f / high) {
        o = 0.0f;
        return;
    }
    float sum = 0.0f, count = 0.0f;
    for (float theta = -HALF_PI_F; (double)theta < CTF_PI / 2.0; theta += 0.75f / r) {
        const float c = cosf(theta), sn = sinf(theta);
        float v;
        if (!bilinear_sample(in, nx, ny, x * c + d * sn, 0.5f * ny + d * c - x * sn, v)) continue;
        sum += v;
        count += 1.0f;
    }
    o = sum / (count + 1e-5f);
}
void hcuda_2dh_basic_rotate_ave_res(const float* in, float* out, float apix, int nx, int ny, float low, float high) {
    if (nx < 1 || ny < 2) return;
    gpu_launch_2d<cuda_2dh_basic_rotate_ave_res>(GPU_SITE, nx, ny / 2, in, out, apix, nx, ny, low, high);
}

__global__ void cuda_x2dh_res_based_multiply_inplace(float* a, const float* b, float apix, int nx, int ny, float low,
                                                     float high) {
    band_element(nx, ny, apix, MultiplyInBand{a, b, RESO{low, high}});
}
__global__ void cuda_2dh_res_based_square(float* out, const float* in, float apix, int nx, int ny, float low,
                                          float high) {
    band_element(nx, ny, apix, SquareInBand{out, in, RESO{low, high}});
}
void hcuda_2dh_res_based_square(float* out, const float* in, float apix, int nx, int ny, float low, float high) {
    gpu_launch_2d<cuda_2dh_res_based_square>(GPU_SITE, nx, ny, out, in, apix, nx, ny, low, high);
}
