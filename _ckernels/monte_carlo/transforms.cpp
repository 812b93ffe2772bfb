// Series transforms: column-wise kernels over an n x p row-major panel, their
// sizers and their pipeline steps.
//
// Every hot loop runs over the p columns of one row: unit stride, and the
// columns are independent, so the loop vectorises. The running state of each
// column (mean and sum of squared deviations, window sum, difference stack,
// previous logarithm) lives in the caller's scratch, and a rolling statistic
// costs O(p) per output row whatever the window.
//
// Means, sums of squared deviations and window sums are accumulated about the
// column's first value. A series at a level of 1e8 with a spread of 1e-3
// would otherwise carry its running mean at a resolution of 1e-8: every
// rolling update would add an error of that size times the spread to the sum
// of squared deviations, and the running window sum would drift by whole
// units of its last place, errors that accumulate from window to window.
// The build reassociates sums and would turn (x - shift) - mean back into
// x - (shift + mean), so such differences are formed behind an association
// barrier. GCC's vectoriser drops that barrier, so the loops that need it are
// written over explicit four-column vectors (and single columns for the
// rest), where it holds.

#include <cmath>
#include <cstring>

#include "_common/layout.h"
#include "_common/sizers.h"
#include "monte_carlo/step_status.h"
#include "trova_transforms.h"

namespace {

using trova::layout::Carver;

constexpr i64 kInvalidDims = -6;

// ---- columns four at a time ----

typedef f64 f64x4 __attribute__((vector_size(32)));

// Loads and stores of one column (f64) or four (f64x4), picked by the type
// of the tag.
inline f64 load(const f64* p, f64 /*tag*/) { return *p; }
inline f64x4 load(const f64* p, f64x4 /*tag*/) {
    f64x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(f64* p, f64 v) { *p = v; }
inline void store(f64* p, f64x4 v) { std::memcpy(p, &v, sizeof v); }

// A rounding residue below zero reads as zero; NaN stays NaN.
inline f64 clamp0(f64 v) { return v < 0.0 ? 0.0 : v; }
inline f64x4 clamp0(f64x4 v) {
    const f64x4 zero = {};
    return v < zero ? zero : v;
}

// a - b, rounded before it meets any other term.
template <class V>
inline V sub_first(V a, V b) {
#if defined(__has_builtin)
#if __has_builtin(__builtin_assoc_barrier)
    return __builtin_assoc_barrier(a - b);
#endif
#endif
    return a - b;
}

// Runs body(c, tag) over the columns of a row: blocks of four columns with an
// f64x4 tag (the vectoriser leaves loops over vector types alone), then the
// at most three remaining columns one by one with an f64 tag, written out
// rather than looped so that they are not vectorised either.
template <class Body>
inline void for_columns(i64 p, Body&& body) {
    i64 c = 0;
    for (; c + 4 <= p; c += 4) body(c, f64x4{});
    if (c < p) body(c++, f64{});
    if (c < p) body(c++, f64{});
    if (c < p) body(c, f64{});
}

// ---- layouts: one code path for the sizers, the runners and the kernels ----

// A transform step's float input lane begins with the n x p input.
const f64* input_block(Carver& c, i64 n, i64 p) { return c.take(n, p); }

// Scratch of the moment kernels: the mean of every column, then its sum of
// squared deviations.
struct Moments {
    f64* mean;
    f64* m2;
};

Moments moment_blocks(Carver& c, i64 p) {
    Moments m;
    m.mean = c.take(p);
    m.m2 = c.take(p);
    return m;
}

// Input plus `rows` scratch rows of p values.
trova::layout::Size rows_lane_size(i64 n, i64 p, i64 rows) {
    Carver c;
    input_block(c, n, p);
    c.take(rows, p);
    return c.size();
}

// Input plus the moment kernels' scratch.
trova::layout::Size moments_lane_size(i64 n, i64 p) {
    Carver c;
    input_block(c, n, p);
    moment_blocks(c, p);
    return c.size();
}

// The input and the scratch of a step's float input lane.
struct Lane {
    const f64* x;
    f64* scratch;
};

Lane step_lane(f64* base, i64 n, i64 p) {
    Carver c(base);
    Lane lane;
    lane.x = input_block(c, n, p);
    lane.scratch = base + c.offset();
    return lane;
}

// ---- kernels' building blocks ----

// Column-wise Welford pass over rows 0 ... n - 1 of the values
// x[r][c] - shift[c]: mean[c] becomes their mean and m2[c] their sum of
// squared deviations.
void welford_ax0(const f64* x, i64 n, i64 p, const f64* shift, f64* mean, f64* m2) {
    for (i64 c = 0; c < p; ++c) {
        mean[c] = 0.0;
        m2[c] = 0.0;
    }
    for (i64 r = 0; r < n; ++r) {
        const f64* row = x + r * p;
        const f64 w = 1.0 / static_cast<f64>(r + 1);
        for_columns(p, [&](i64 c, auto tag) {
            const auto v = sub_first(load(row + c, tag), load(shift + c, tag));
            const auto mu_old = load(mean + c, tag);
            const auto d = v - mu_old;
            const auto mu = mu_old + d * w;
            store(m2 + c, load(m2 + c, tag) + d * (v - mu));
            store(mean + c, mu);
        });
    }
}

// One output row of a rolling moment from the sums of squared deviations.
void emit_moment(const f64* __restrict m2, i64 p, f64 inv_den, bool take_sqrt, f64* __restrict out) {
    if (take_sqrt) {
        for (i64 c = 0; c < p; ++c) out[c] = std::sqrt(clamp0(m2[c]) * inv_den);
    } else {
        for (i64 c = 0; c < p; ++c) out[c] = clamp0(m2[c]) * inv_den;
    }
}

// Slides a window of w > 1 rows by one: the Welford removal of the old row
// (S / (w - 1) is the mean of the rows that stay) and the addition of the new.
void slide_moment(const f64* x_old, const f64* x_new, const f64* shift, i64 p, f64 w, f64 inv_w,
                  f64 inv_r, f64* mean, f64* m2) {
    for_columns(p, [&](i64 c, auto tag) {
        const auto s = load(shift + c, tag);
        const auto xo = sub_first(load(x_old + c, tag), s);
        const auto xn = sub_first(load(x_new + c, tag), s);
        const auto mu = load(mean + c, tag);
        const auto s_r = (w * mu - xo) * inv_r;
        const auto g = xn - s_r;
        const auto mu_new = s_r + g * inv_w;
        store(m2 + c, clamp0(load(m2 + c, tag) + (s_r - xo) * (xo - mu) + (xn - mu_new) * g));
        store(mean + c, mu_new);
    });
}

// The one-row window: the new row alone.
void replace_moment(const f64* x_new, const f64* shift, i64 p, f64 inv_w, f64* mean, f64* m2) {
    for_columns(p, [&](i64 c, auto tag) {
        const auto xn = sub_first(load(x_new + c, tag), load(shift + c, tag));
        store(mean + c, inv_w * xn);
        store(m2 + c, clamp0((xn - inv_w * xn) * xn));
    });
}

// Rolling variance (take_sqrt = 0) or standard deviation (take_sqrt = 1).
i64 rolling_moment_ax0(const f64* x, i64 n, i64 p, i64 window, i64 ddof, int take_sqrt, f64* scratch,
                       f64* out) {
    // window - ddof < 1, written so that no ddof overflows.
    if (n <= 0 || p <= 0 || window < 1 || n < window || ddof > window - 1) return kInvalidDims;
    Carver s(scratch);
    const Moments m = moment_blocks(s, p);
    const f64* shift = x;
    welford_ax0(x, window, p, shift, m.mean, m.m2);
    const f64 w = static_cast<f64>(window);
    const f64 inv_den = 1.0 / (w - static_cast<f64>(ddof));
    const f64 inv_w = 1.0 / w;
    const f64 inv_r = window > 1 ? 1.0 / (w - 1.0) : 0.0;
    const i64 last = n - window;
    for (i64 d = 0;; ++d) {
        emit_moment(m.m2, p, inv_den, take_sqrt != 0, out + d * p);
        if (d == last) break;
        const f64* x_new = x + (d + window) * p;
        if (window == 1)
            replace_moment(x_new, shift, p, inv_w, m.mean, m.m2);
        else
            slide_moment(x + d * p, x_new, shift, p, w, inv_w, inv_r, m.mean, m.m2);
    }
    return 0;
}

// Passes one row through the difference stack: v (held in `v`, which starts
// as the row) runs through levels 0 ... levels - 1; each level keeps the value
// that reached it and v becomes the next difference.
void push_row(const f64* __restrict row, f64* __restrict stack, i64 levels, i64 p, f64* __restrict v) {
    for (i64 c = 0; c < p; ++c) v[c] = row[c];
    for (i64 l = 0; l < levels; ++l) {
        f64* __restrict level = stack + l * p;
        for (i64 c = 0; c < p; ++c) {
            const f64 a = level[c];
            level[c] = v[c];
            v[c] -= a;
        }
    }
}

}  // namespace

// The steps call the exported kernels, never copies inlined into them: a copy
// is optimised on its own and may contract multiply-adds differently, and a
// step's output must be the kernel's, bit for bit.
#define TROVA_KERNEL TROVA_API __attribute__((noinline))

extern "C" {

// ---- kernels ----

TROVA_KERNEL i64 trova_standardize_ax0(const f64* x, i64 ddof, i64 n, i64 p, f64* scratch, f64* out) {
    if (n <= 0 || p <= 0 || ddof >= n) return kInvalidDims;
    Carver s(scratch);
    const Moments m = moment_blocks(s, p);
    const f64* shift = x;
    welford_ax0(x, n, p, shift, m.mean, m.m2);
    // The scratch now becomes the column factor (in m2) and the centre times
    // the factor (in mean), so that out = (x - shift) f - mean f.
    const f64 den = static_cast<f64>(n) - static_cast<f64>(ddof);
    for (i64 c = 0; c < p; ++c) {
        const f64 v = m.m2[c] / den;
        const f64 f = v > 0.0 ? 1.0 / std::sqrt(v) : 0.0;
        m.m2[c] = f;
        m.mean[c] *= f;
    }
    for (i64 r = 0; r < n; ++r) {
        const f64* row = x + r * p;
        f64* o = out + r * p;
        for_columns(p, [&](i64 c, auto tag) {
            const auto v = sub_first(load(row + c, tag), load(shift + c, tag));
            store(o + c, v * load(m.m2 + c, tag) - load(m.mean + c, tag));
        });
    }
    return 0;
}

TROVA_KERNEL i64 trova_log(const f64* x, f64 offset, i64 n, i64 p, f64* out) {
    if (n <= 0 || p <= 0) return kInvalidDims;
    const f64* __restrict in = x;
    f64* __restrict o = out;
    const i64 count = n * p;
    for (i64 i = 0; i < count; ++i) o[i] = std::log(in[i] + offset);
    return 0;
}

TROVA_KERNEL i64 trova_log_diff(const f64* x, f64 offset, i64 n, i64 p, f64* scratch, f64* out) {
    if (n <= 0 || p <= 0) return kInvalidDims;
    f64* __restrict prev = scratch;
    for (i64 c = 0; c < p; ++c) prev[c] = std::log(x[c] + offset);
    for (i64 r = 1; r < n; ++r) {
        const f64* __restrict row = x + r * p;
        f64* __restrict o = out + (r - 1) * p;
        for (i64 c = 0; c < p; ++c) {
            const f64 l = std::log(row[c] + offset);
            o[c] = l - prev[c];
            prev[c] = l;
        }
    }
    return 0;
}

TROVA_KERNEL i64 trova_diff(const f64* x, i64 order, i64 n, i64 p, f64* scratch, f64* out) {
    if (p <= 0 || order <= 0 || n <= 0) return kInvalidDims;
    // Level l of the stack holds, per column, the l-th difference of the
    // previous row. Row j < order still fills the stack (level j takes its
    // j-th difference); later rows leave their order-th difference in out.
    for (i64 j = 0; j < n; ++j) {
        const f64* row = x + j * p;
        if (j < order)
            push_row(row, scratch, j, p, scratch + j * p);
        else
            push_row(row, scratch, order, p, out + (j - order) * p);
    }
    return 0;
}

TROVA_KERNEL i64 trova_rolling_mean(const f64* x, i64 n, i64 p, i64 window, f64* scratch, f64* out) {
    if (n <= 0 || p <= 0 || window <= 0 || n < window) return kInvalidDims;
    // sum holds the window's sum of x - shift; a slide adds x_new - x_old.
    const f64* shift = x;
    f64* sum = scratch;
    for (i64 c = 0; c < p; ++c) sum[c] = 0.0;
    for (i64 r = 0; r < window; ++r) {
        const f64* row = x + r * p;
        for_columns(p, [&](i64 c, auto tag) {
            store(sum + c, load(sum + c, tag) + sub_first(load(row + c, tag), load(shift + c, tag)));
        });
    }
    const f64 scale = 1.0 / static_cast<f64>(window);
    for (i64 c = 0; c < p; ++c) out[c] = shift[c] + sum[c] * scale;
    for (i64 d = 1; d <= n - window; ++d) {
        const f64* x_new = x + (d + window - 1) * p;
        const f64* x_old = x + (d - 1) * p;
        f64* o = out + d * p;
        for_columns(p, [&](i64 c, auto tag) {
            const auto s = load(sum + c, tag) + sub_first(load(x_new + c, tag), load(x_old + c, tag));
            store(sum + c, s);
            store(o + c, load(shift + c, tag) + scale * s);
        });
    }
    return 0;
}

TROVA_KERNEL i64 trova_rolling_var(const f64* x, i64 n, i64 p, i64 window, i64 ddof, f64* scratch,
                                f64* out) {
    return rolling_moment_ax0(x, n, p, window, ddof, 0, scratch, out);
}

TROVA_KERNEL i64 trova_rolling_std(const f64* x, i64 n, i64 p, i64 window, i64 ddof, f64* scratch,
                                f64* out) {
    return rolling_moment_ax0(x, n, p, window, ddof, 1, scratch, out);
}

// ---- sizers ----

}  // extern "C"

namespace trova::sizing {

Size standardize_ax0(i64 n, i64 p) { return moments_lane_size(n, p); }
Size log_transform(i64 n, i64 p) { return rows_lane_size(n, p, 0); }
// Scratch: the previous row's logarithms.
Size log_diff(i64 n, i64 p) { return rows_lane_size(n, p, 1); }
// Scratch: the difference stack.
Size diff(i64 n, i64 p, i64 order) { return rows_lane_size(n, p, order); }
// Scratch: the window sums; the window does not change the size.
Size rolling_mean(i64 n, i64 p, i64 /*window*/) { return rows_lane_size(n, p, 1); }
Size rolling_var(i64 n, i64 p, i64 /*window*/) { return moments_lane_size(n, p); }
Size rolling_std(i64 n, i64 p, i64 /*window*/) { return moments_lane_size(n, p); }

}  // namespace trova::sizing

extern "C" {

using trova::layout::native;

TROVA_API arena_size trova_standardize_ax0_arena_size(i64 n, i64 p) {
    return native(trova::sizing::standardize_ax0(n, p));
}
TROVA_API arena_size trova_log_arena_size(i64 n, i64 p) { return native(trova::sizing::log_transform(n, p)); }
TROVA_API arena_size trova_log_diff_arena_size(i64 n, i64 p) { return native(trova::sizing::log_diff(n, p)); }
TROVA_API arena_size trova_diff_arena_size(i64 n, i64 p, i64 order) {
    return native(trova::sizing::diff(n, p, order));
}
TROVA_API arena_size trova_rolling_mean_arena_size(i64 n, i64 p, i64 window) {
    return native(trova::sizing::rolling_mean(n, p, window));
}
TROVA_API arena_size trova_rolling_var_arena_size(i64 n, i64 p, i64 window) {
    return native(trova::sizing::rolling_var(n, p, window));
}
TROVA_API arena_size trova_rolling_std_arena_size(i64 n, i64 p, i64 window) {
    return native(trova::sizing::rolling_std(n, p, window));
}

// ---- steps ----

TROVA_API int trova_mc_standardize_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                          i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_standardize_step_ctx*>(ctx);
    const Lane lane = step_lane(float_in_work, c->n, c->p);
    return trova::trova_mc_transform_status(
        int_out, trova_standardize_ax0(lane.x, c->ddof, c->n, c->p, lane.scratch, float_out));
}

TROVA_API int trova_mc_log_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                  i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_log_step_ctx*>(ctx);
    return trova::trova_mc_transform_status(int_out,
                                            trova_log(float_in_work, c->offset, c->n, c->p, float_out));
}

TROVA_API int trova_mc_log_diff_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                       i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_log_diff_step_ctx*>(ctx);
    const Lane lane = step_lane(float_in_work, c->n, c->p);
    return trova::trova_mc_transform_status(
        int_out, trova_log_diff(lane.x, c->offset, c->n, c->p, lane.scratch, float_out));
}

TROVA_API int trova_mc_diff_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                   i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_diff_step_ctx*>(ctx);
    const Lane lane = step_lane(float_in_work, c->n, c->p);
    return trova::trova_mc_transform_status(
        int_out, trova_diff(lane.x, c->order, c->n, c->p, lane.scratch, float_out));
}

TROVA_API int trova_mc_rolling_mean_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                           i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_rolling_mean_step_ctx*>(ctx);
    const Lane lane = step_lane(float_in_work, c->n, c->p);
    return trova::trova_mc_transform_status(
        int_out, trova_rolling_mean(lane.x, c->n, c->p, c->window, lane.scratch, float_out));
}

TROVA_API int trova_mc_rolling_var_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                          i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_rolling_var_step_ctx*>(ctx);
    const Lane lane = step_lane(float_in_work, c->n, c->p);
    return trova::trova_mc_transform_status(
        int_out, trova_rolling_var(lane.x, c->n, c->p, c->window, c->ddof, lane.scratch, float_out));
}

TROVA_API int trova_mc_rolling_std_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                          i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_rolling_std_step_ctx*>(ctx);
    const Lane lane = step_lane(float_in_work, c->n, c->p);
    return trova::trova_mc_transform_status(
        int_out, trova_rolling_std(lane.x, c->n, c->p, c->window, c->ddof, lane.scratch, float_out));
}

TROVA_API int trova_mc_user_transform_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                             i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_user_transform_step_ctx*>(ctx);
    return trova::trova_mc_transform_status(
        int_out, c->fn(float_in_work, float_out, c->n_in, c->p_in, c->n_out, c->p_out));
}

}  // extern "C"
