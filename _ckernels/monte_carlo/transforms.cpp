// Series transforms: column-wise kernels over an n x p row-major panel, their
// sizers and their pipeline steps.
//
// Every hot loop runs over the p columns of one row: unit stride, and the
// columns are independent, so the loop vectorises. The running state of each
// column (mean and sum of squared deviations, window sum, difference stack,
// previous logarithm) lives in the caller's scratch, and a rolling statistic
// costs O(p) per output row whatever the window.
//
// Means, sums of squared deviations and window sums are accumulated about a
// shift near the column's values. A series at a level of 1e8 with a spread
// of 1e-3 would otherwise carry its running mean at a resolution of 1e-8:
// every rolling update would add an error of that size times the spread to
// the sum of squared deviations, and the running window sum would drift by
// whole units of its last place, errors that accumulate from window to
// window. The build reassociates sums and would turn (x - shift) - mean back
// into x - (shift + mean), so such differences are formed behind an
// association barrier. GCC's vectoriser drops that barrier, so the loops that
// need it are written over explicit four-column vectors (and single columns
// for the rest), where it holds.
//
// A rolling statistic slides its window by one row with a running update,
// and the rounding errors of those updates stay in the running state. They
// are as large as the values that went through the state, so after a spike
// of 1e12 in unit-scale data, a level shift or a long drift they can exceed
// the spread of every later window. Each column therefore also carries the
// magnitude its running state has absorbed since it was last computed from
// its window; when that outgrows the current window's own scale, so that the
// accumulated rounding could exceed a few thousand units in the last place
// of the window's statistic, the column is recomputed from its window (two
// passes, about a new shift at the window's centre). On well-scaled data
// that happens once in thousands of windows. Non-finite values never enter
// the running state: they count as the shift, and the row of the newest one
// decides which windows report NaN (or an infinite mean).
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

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

// a - b where no reassociation and no vectorisation reaches: the value goes
// through memory the compiler cannot see into. For the loops that rebuild a
// column's state, which run over rows and could otherwise be vectorised with
// the barrier of sub_first dropped.
template <class V>
inline V sub_opaque(V a, V b) {
    V d = a - b;
    asm("" : "+m"(d));
    return d;
}

constexpr f64 kMaxFinite = std::numeric_limits<f64>::max();
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

// A scalar in every lane of the tag's type.
template <class V>
inline V splat(f64 v) {
    return V{} + v;
}

// Lane masks: finite (not NaN, not infinite), and whether any or all lanes
// of a mask are set.
template <class V>
inline auto is_finite(V v) {
    return (v >= splat<V>(-kMaxFinite)) & (v <= splat<V>(kMaxFinite));
}
template <class M>
inline int lane_bits(M m) {
    if constexpr (std::is_arithmetic_v<M>) {
        return m != 0;
    } else {
#if defined(__AVX__)
        f64x4 bits;
        static_assert(sizeof bits == sizeof m, "a mask of four lanes");
        std::memcpy(&bits, &m, sizeof bits);
        return __builtin_ia32_movmskpd256(bits);
#else
        return (m[0] != 0) | (m[1] != 0) << 1 | (m[2] != 0) << 2 | (m[3] != 0) << 3;
#endif
    }
}
template <class M>
inline bool all(M m) {
    return lane_bits(m) == (std::is_arithmetic_v<M> ? 1 : 15);
}

template <class V>
inline V magnitude(V v) {
    return v < V{} ? -v : v;
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

// Scratch of the rolling variance and standard deviation, per column: the
// running mean and sum of squared deviations of the window's values about
// the shift, the shift, the magnitude absorbed since the column was last
// computed from its window, and the row of the newest non-finite value (-1
// before the first).
struct RollingMoments {
    f64* mean;
    f64* m2;
    f64* shift;
    f64* absorbed;
    f64* last_bad;
};

RollingMoments rolling_moment_blocks(Carver& c, i64 p) {
    RollingMoments m;
    m.mean = c.take(p);
    m.m2 = c.take(p);
    m.shift = c.take(p);
    m.absorbed = c.take(p);
    m.last_bad = c.take(p);
    return m;
}

// Scratch of the rolling mean, per column: the window's sum about the shift,
// the shift, the magnitude absorbed since the column was last computed from
// its window, the window's sum of absolute values (its scale), and the rows
// of the newest NaN, +inf and -inf (-1 before the first).
struct WindowSums {
    f64* sum;
    f64* shift;
    f64* absorbed;
    f64* scale;
    f64* last_nan;
    f64* last_pinf;
    f64* last_ninf;
};

WindowSums window_sum_blocks(Carver& c, i64 p) {
    WindowSums s;
    s.sum = c.take(p);
    s.shift = c.take(p);
    s.absorbed = c.take(p);
    s.scale = c.take(p);
    s.last_nan = c.take(p);
    s.last_pinf = c.take(p);
    s.last_ninf = c.take(p);
    return s;
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

trova::layout::Size rolling_moments_lane_size(i64 n, i64 p) {
    Carver c;
    input_block(c, n, p);
    rolling_moment_blocks(c, p);
    return c.size();
}

trova::layout::Size window_sums_lane_size(i64 n, i64 p) {
    Carver c;
    input_block(c, n, p);
    window_sum_blocks(c, p);
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

// The absorbed magnitude of a rolling variance may reach this many times
// the window's sum of squared deviations, and that of a rolling mean this
// many times the window's sum of absolute values, before the column is
// recomputed from its window. The rounding error of the running state is a
// few units in the last place of the absorbed magnitude at most, so the
// window's statistic stays within a few thousand units in its own last place
// (in practice far less: the errors of successive updates do not all add up).
constexpr f64 kMomentBudget = 4096.0;
constexpr f64 kSumBudget = 256.0;

// A rolling variance is also recomputed from its window once the window's
// mean lies more than four of its standard deviations from the shift (mean^2
// w > 16 m2). The running mean carries a rounding error that grows from
// slide to slide, and every slide turns it into an error of the sum of
// squared deviations in proportion to how far the window moved: a drifting
// series would accumulate that without bound. Recomputed, the running state
// stays with deviations of the window's own size; a series that drifts by a
// window's spread every few windows is recomputed about as often, which
// still costs O(1) per row.
constexpr f64 kDriftLimit = 16.0;

// The centre of the columns of `tag` in the w rows starting at col (stride
// p): the mean of the finite values, computed about the newest row's value
// (or about `fallback` when that is not finite). A window of equal values
// thus has exactly that value as its centre.
template <class V>
V window_centre(const f64* col, i64 p, i64 w, V fallback) {
    const V newest = load(col + (w - 1) * p, V{});
    const V ref = is_finite(newest) ? newest : (is_finite(fallback) ? fallback : V{});
    V total{}, count{};
    for (i64 r = 0; r < w; ++r) {
        const V v = load(col + r * p, V{});
        const auto f = is_finite(v);
        total += f ? sub_opaque(v, ref) : V{};
        count += f ? splat<V>(1.0) : V{};
    }
    const V safe = count > V{} ? count : splat<V>(1.0);
    return ref + total / safe;
}

// Computes the running state of the columns of `tag` at c from the window
// of w rows starting at row r0: the shift moves to the window's centre, the
// mean and sum of squared deviations come from two passes about it (a
// non-finite value counts as the shift), and the absorbed magnitude starts
// again from the window's own sum of squared deviations. last_bad must hold
// the newest non-finite row before r0, or -1.
template <class V>
void rebuild_moments(const f64* x, i64 p, i64 c, i64 r0, i64 w, const RollingMoments& st, V tag) {
    const f64* col = x + r0 * p + c;
    const V s = window_centre(col, p, w, load(st.shift + c, tag));
    V s1{}, s2{};
    V last = load(st.last_bad + c, tag);
    for (i64 r = 0; r < w; ++r) {
        const V v = load(col + r * p, tag);
        const auto f = is_finite(v);
        const V d = f ? sub_opaque(v, s) : V{};
        s1 += d;
        s2 += d * d;
        last = f ? last : splat<V>(static_cast<f64>(r0 + r));
    }
    const V mean = s1 * (1.0 / static_cast<f64>(w));
    const V m2 = clamp0(s2 - s1 * mean);
    store(st.shift + c, s);
    store(st.mean + c, mean);
    store(st.m2 + c, m2);
    store(st.absorbed + c, m2);
    store(st.last_bad + c, last);
}

// The same for the rolling mean: the window's sum about its centre and its
// scale, the sum of its absolute values.
template <class V>
void rebuild_sums(const f64* x, i64 p, i64 c, i64 r0, i64 w, const WindowSums& st, V tag) {
    const f64* col = x + r0 * p + c;
    const V s = window_centre(col, p, w, load(st.shift + c, tag));
    V sum{}, scale{};
    V nan_row = load(st.last_nan + c, tag), pinf_row = load(st.last_pinf + c, tag),
      ninf_row = load(st.last_ninf + c, tag);
    for (i64 r = 0; r < w; ++r) {
        const V v = load(col + r * p, tag);
        const auto f = is_finite(v);
        const V row = splat<V>(static_cast<f64>(r0 + r));
        sum += f ? sub_opaque(v, s) : V{};
        scale += magnitude(f ? v : s);
        nan_row = v != v ? row : nan_row;
        pinf_row = v > splat<V>(kMaxFinite) ? row : pinf_row;
        ninf_row = v < splat<V>(-kMaxFinite) ? row : ninf_row;
    }
    store(st.shift + c, s);
    store(st.sum + c, sum);
    store(st.scale + c, scale);
    store(st.absorbed + c, scale);
    store(st.last_nan + c, nan_row);
    store(st.last_pinf + c, pinf_row);
    store(st.last_ninf + c, ninf_row);
}

// Rows per stretch of the rolling loops: each block of columns runs through a
// stretch with its running state in registers, and the stretch's rows stay
// in cache from one block to the next.
constexpr i64 kRowStretch = 256;

// Lane-wise square root.
template <class V>
inline V root(V v) {
    if constexpr (std::is_arithmetic_v<V>) {
        return std::sqrt(v);
    } else {
        for (int k = 0; k < 4; ++k) v[k] = std::sqrt(v[k]);
        return v;
    }
}

// The largest lane of any of the three.
template <class V>
inline f64 largest_lane(V a, V b, V c) {
    const V m = a > b ? (a > c ? a : c) : (b > c ? b : c);
    if constexpr (std::is_arithmetic_v<V>) {
        return m;
    } else {
        const f64 lo = m[0] > m[1] ? m[0] : m[1], hi = m[2] > m[3] ? m[2] : m[3];
        return lo > hi ? lo : hi;
    }
}

// Runs a rolling statistic over rows d = 0 ... n - window: emits row d from
// the running state of the window of rows d ... d + window - 1, then slides
// the window by one row. Roll supplies the state of the columns of a tag:
//   load(c, tag), store(state, c): the state in scratch;
//   emit(state, c, d, out): output row d;
//   slide(state, x_old, x_new): the running update, and fine(state), which
//     is false when the update met a non-finite value or its state needs
//     recomputing;
//   careful(state, c, x_old, x_new, row): the update again, with a non-finite
//     value counting as the shift and its row noted (row is that of x_new),
//     and within_budget(state), false when the state must be recomputed;
//   rebuild(c, r0, tag): the state of the window starting at row r0, from its
//     values.
// Each block of columns runs through a stretch of rows with its state in
// registers.
template <class Roll>
void roll_windows(const f64* x, i64 n, i64 p, i64 window, const Roll& roll, f64* out) {
    const i64 last = n - window;
    for (i64 d0 = 0; d0 <= last; d0 += kRowStretch) {
        const i64 d1 = last - d0 < kRowStretch ? last + 1 : d0 + kRowStretch;
        for_columns(p, [&, x, p, window](i64 c, auto tag) {
            auto state = roll.load(c, tag);
            const f64* old_row = x + d0 * p + c;
            const f64* new_row = old_row + window * p;
            f64* o = out + d0 * p + c;
            for (i64 d = d0; d < d1; ++d, old_row += p, new_row += p, o += p) {
                roll.emit(state, c, d, o);
                if (d == last) break;
                const auto x_old = load(old_row, tag), x_new = load(new_row, tag);
                auto next = roll.slide(state, x_old, x_new);
                if (!roll.fine(next)) {
                    next = roll.careful(state, c, x_old, x_new, static_cast<f64>(d + window));
                    if (!roll.within_budget(next)) {
                        roll.store(next, c);
                        roll.rebuild(c, d + 1, tag);
                        next = roll.load(c, tag);
                    }
                }
                state = next;
            }
            roll.store(state, c);
        });
    }
}

// The running state of a rolling moment in registers.
template <class V>
struct MomentState {
    V shift, mean, m2, absorbed, last_bad;
};

// Rolling variance and standard deviation: the Welford removal of the old
// row (S / (w - 1) is the mean of the rows that stay) and the addition of
// the new, about the shift.
struct MomentRoll {
    const f64* x;
    i64 p, window;
    RollingMoments st;
    f64 w, inv_den, inv_w, inv_r;
    bool take_root;

    template <class V>
    MomentState<V> load(i64 c, V tag) const {
        return {::load(st.shift + c, tag), ::load(st.mean + c, tag), ::load(st.m2 + c, tag),
                ::load(st.absorbed + c, tag), ::load(st.last_bad + c, tag)};
    }
    template <class V>
    void store(const MomentState<V>& s, i64 c) const {
        ::store(st.shift + c, s.shift);
        ::store(st.mean + c, s.mean);
        ::store(st.m2 + c, s.m2);
        ::store(st.absorbed + c, s.absorbed);
        ::store(st.last_bad + c, s.last_bad);
    }
    // NaN while the window holds a non-finite value.
    template <class V>
    void emit(const MomentState<V>& s, i64 /*c*/, i64 d, f64* o) const {
        V v = clamp0(s.m2) * inv_den;
        if (take_root) v = root(v);
        ::store(o, s.last_bad >= splat<V>(static_cast<f64>(d)) ? splat<V>(kNaN) : v);
    }
    // The update, from values already taken about the shift.
    template <class V>
    MomentState<V> update(const MomentState<V>& s, V xo, V xn) const {
        MomentState<V> r = s;
        const V s_r = (w * s.mean - xo) * inv_r;
        const V g = xn - s_r;
        r.mean = s_r + g * inv_w;
        r.m2 = clamp0(s.m2 + (s_r - xo) * (xo - s.mean) + (xn - r.mean) * g);
        const V mag = magnitude(xo) + magnitude(xn) + magnitude(s.mean);
        r.absorbed = s.absorbed + mag * mag;
        return r;
    }
    template <class V>
    MomentState<V> slide(const MomentState<V>& s, V xo, V xn) const {
        return update(s, sub_first(xo, s.shift), sub_first(xn, s.shift));
    }
    template <class V>
    MomentState<V> careful(const MomentState<V>& s, i64 /*c*/, V xo, V xn, f64 row) const {
        const auto fo = is_finite(xo), fn = is_finite(xn);
        MomentState<V> r = update(s, fo ? sub_first(xo, s.shift) : V{}, fn ? sub_first(xn, s.shift) : V{});
        r.last_bad = fn ? s.last_bad : splat<V>(row);
        return r;
    }
    template <class V>
    bool within_budget(const MomentState<V>& s) const {
        return all((s.absorbed <= kMomentBudget * s.m2) & (s.mean * s.mean * w <= kDriftLimit * s.m2));
    }
    // A non-finite value on either side leaves a NaN or infinite absorbed
    // magnitude and so fails this test.
    template <class V>
    bool fine(const MomentState<V>& s) const {
        return all((s.absorbed <= kMomentBudget * s.m2) & (s.absorbed <= splat<V>(kMaxFinite)) &
                   (s.mean * s.mean * w <= kDriftLimit * s.m2));
    }
    template <class V>
    void rebuild(i64 c, i64 r0, V tag) const {
        rebuild_moments(x, p, c, r0, window, st, tag);
    }
};

// Rolling variance (take_sqrt = 0) or standard deviation (take_sqrt = 1).
i64 rolling_moment_ax0(const f64* x, i64 n, i64 p, i64 window, i64 ddof, int take_sqrt, f64* scratch,
                       f64* out) {
    // window - ddof < 1, written so that no ddof overflows.
    if (n <= 0 || p <= 0 || window < 1 || n < window || ddof > window - 1) return kInvalidDims;
    if (window == 1) {
        // A single value has no spread; a non-finite one has none defined.
        for (i64 i = 0; i < n * p; ++i) out[i] = std::isfinite(x[i]) ? 0.0 : kNaN;
        return 0;
    }
    Carver sc(scratch);
    const RollingMoments st = rolling_moment_blocks(sc, p);
    for (i64 c = 0; c < p; ++c) {
        st.shift[c] = 0.0;
        st.last_bad[c] = -1.0;
    }
    for_columns(p, [&](i64 c, auto tag) { rebuild_moments(x, p, c, 0, window, st, tag); });
    const f64 w = static_cast<f64>(window);
    const MomentRoll roll{x, p, window, st, w, 1.0 / (w - static_cast<f64>(ddof)), 1.0 / w, 1.0 / (w - 1.0),
                          take_sqrt != 0};
    roll_windows(x, n, p, window, roll, out);
    return 0;
}

// The running state of a rolling mean in registers, with the newest
// non-finite row of any of its columns (later windows are finite). The rows
// of the newest NaN and infinities stay in scratch: only emit and careful,
// once that row is reached, need them.
template <class V>
struct SumState {
    V shift, sum, scale, absorbed;
    f64 newest_bad;
};

// Rolling mean: the sum gains x_new - x_old.
struct SumRoll {
    const f64* x;
    i64 p, window;
    WindowSums st;
    f64 inv_w;

    template <class V>
    SumState<V> load(i64 c, V tag) const {
        return {::load(st.shift + c, tag), ::load(st.sum + c, tag), ::load(st.scale + c, tag),
                ::load(st.absorbed + c, tag),
                largest_lane(::load(st.last_nan + c, tag), ::load(st.last_pinf + c, tag),
                             ::load(st.last_ninf + c, tag))};
    }
    template <class V>
    void store(const SumState<V>& s, i64 c) const {
        ::store(st.shift + c, s.shift);
        ::store(st.sum + c, s.sum);
        ::store(st.scale + c, s.scale);
        ::store(st.absorbed + c, s.absorbed);
    }
    // NaN while the window holds a NaN or infinities of both signs, the
    // infinity while it holds those of one sign, otherwise shift + sum / w.
    template <class V>
    void emit(const SumState<V>& s, i64 c, i64 d, f64* o) const {
        const V value = s.shift + s.sum * inv_w;
        if (s.newest_bad < static_cast<f64>(d)) {
            ::store(o, value);
            return;
        }
        const f64 inf = std::numeric_limits<f64>::infinity();
        const V tag{};
        const V start = splat<V>(static_cast<f64>(d));
        const auto pinf = ::load(st.last_pinf + c, tag) >= start, ninf = ::load(st.last_ninf + c, tag) >= start;
        const V infinite = pinf ? splat<V>(inf) : splat<V>(-inf);
        const V v = (pinf | ninf) ? infinite : value;
        ::store(o, (::load(st.last_nan + c, tag) >= start) | (pinf & ninf) ? splat<V>(kNaN) : v);
    }
    template <class V>
    SumState<V> slide(const SumState<V>& s, V xo, V xn) const {
        SumState<V> r = s;
        const V dx = sub_first(xn, xo);
        r.sum = s.sum + dx;
        r.scale = s.scale + (magnitude(xn) - magnitude(xo));
        r.absorbed = s.absorbed + magnitude(r.sum) + magnitude(dx);
        return r;
    }
    template <class V>
    SumState<V> careful(const SumState<V>& s, i64 c, V xo, V xn, f64 row) const {
        SumState<V> r = slide(s, is_finite(xo) ? xo : s.shift, is_finite(xn) ? xn : s.shift);
        const V at = splat<V>(row), tag{};
        const V nan_row = xn != xn ? at : ::load(st.last_nan + c, tag);
        const V pinf_row = xn > splat<V>(kMaxFinite) ? at : ::load(st.last_pinf + c, tag);
        const V ninf_row = xn < splat<V>(-kMaxFinite) ? at : ::load(st.last_ninf + c, tag);
        ::store(st.last_nan + c, nan_row);
        ::store(st.last_pinf + c, pinf_row);
        ::store(st.last_ninf + c, ninf_row);
        r.newest_bad = largest_lane(nan_row, pinf_row, ninf_row);
        return r;
    }
    template <class V>
    bool within_budget(const SumState<V>& s) const {
        return all(s.absorbed <= kSumBudget * s.scale);
    }
    // A non-finite value on either side leaves a NaN or infinite absorbed
    // magnitude and so fails this test.
    template <class V>
    bool fine(const SumState<V>& s) const {
        return all((s.absorbed <= kSumBudget * s.scale) & (s.absorbed <= splat<V>(kMaxFinite)));
    }
    template <class V>
    void rebuild(i64 c, i64 r0, V tag) const {
        rebuild_sums(x, p, c, r0, window, st, tag);
    }
};

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
    Carver sc(scratch);
    const WindowSums st = window_sum_blocks(sc, p);
    for (i64 c = 0; c < p; ++c) {
        st.shift[c] = 0.0;
        st.last_nan[c] = st.last_pinf[c] = st.last_ninf[c] = -1.0;
    }
    for_columns(p, [&](i64 c, auto tag) { rebuild_sums(x, p, c, 0, window, st, tag); });
    roll_windows(x, n, p, window, SumRoll{x, p, window, st, 1.0 / static_cast<f64>(window)}, out);
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
// Scratch: the window sums and their bookkeeping; the window does not change
// the size.
Size rolling_mean(i64 n, i64 p, i64 /*window*/) { return window_sums_lane_size(n, p); }
Size rolling_var(i64 n, i64 p, i64 /*window*/) { return rolling_moments_lane_size(n, p); }
Size rolling_std(i64 n, i64 p, i64 /*window*/) { return rolling_moments_lane_size(n, p); }

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
    // Without a function there is no transform to run.
    if (c->fn == nullptr) return trova::trova_mc_transform_status(int_out, kInvalidDims);
    return trova::trova_mc_transform_status(
        int_out, c->fn(float_in_work, float_out, c->n_in, c->p_in, c->n_out, c->p_out));
}

}  // extern "C"
