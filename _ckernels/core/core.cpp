// Simulation of a solved model: first order (linear state space) and pruned
// second order, standalone and over a step's packed arena.
//
// Small models (up to 8 states, shocks and controls) run fixed-width column
// loops with their matrices copied into vector columns once per call (see
// linear_states_small and order2_small). Larger ones run both recursions
// through the 4-row matrix-vector kernel: the first order takes the shock
// terms B eps_t of a run of periods in one matrix product into a small stack
// block, ahead of the (inherently sequential) recursion on A, which then
// costs one matrix-vector product per period. The block keeps those terms
// out of the path itself, so no row of the path is written before its
// period is computed.
#include <cstdlib>

#include "_common/dense.h"
#include "_common/layout.h"
#include "_common/sizers.h"
#include "core/simulation_checks.h"
#include "trova_linalg.h"
#include "trova_qz.h"
#include "trova_sim.h"

namespace {

// Block offsets of the first-order step arena and its size, the one place
// both the sizer and the step read them from (the step carves them over its
// arena, the sizers over none).
struct Order1Layout {
    i64 A, B, x0, shock, params;
    trova::layout::Size size;
};

Order1Layout order1_layout(i64 n, i64 k, i64 T, i64 n_par, const f64* arena = nullptr) {
    trova::layout::Carver c(arena);
    Order1Layout l;
    l.A = c.at(n, n);
    l.B = c.at(n, k);
    l.x0 = c.at(n);
    l.shock = c.at(T, k);
    l.params = c.at(n_par);
    l.size = c.size();
    return l;
}

// Block offsets of the second-order step arena and its size.
struct Order2Layout {
    i64 hx, gx, bx, hxx, gxx, hss, gss, steady_state, x0, shock, params, scratch;
    trova::layout::Size size;
};

Order2Layout order2_layout(i64 nx, i64 ny, i64 n_exog, i64 T, i64 n_par, const f64* arena = nullptr) {
    trova::layout::Carver c(arena);
    Order2Layout l;
    trova::simulation::solution_layout(c, l, nx, ny, n_exog);
    l.x0 = c.at(nx);
    l.shock = c.at(T, n_exog);
    l.params = c.at(n_par);
    l.scratch = c.at(nx, c.sum(nx, 4));
    l.size = c.size();
    return l;
}

// x_t = A x_{t-1} + B eps_t for t < T into out (T x n); after each period,
// after(t) runs (the step's measurement callback) before the next period is
// computed, and rows past t are not written before then. The shock terms go
// through a 16 KiB stack block a run of periods at a time; a state too long
// for two of them in the block takes its shock term straight into its row.
template <class After>
void linear_states(const f64* A, const f64* B, const f64* x0, const f64* shock, f64* out, i64 T,
                   i64 n, i64 k, After after) {
    if (T <= 0 || n < 0) return;
    constexpr i64 kBlock = 2048;
    f64 block[kBlock];
    // With n = 0 there are no terms, only the callbacks: one run.
    const i64 run = n == 0 ? T : n <= kBlock / 2 ? kBlock / n : 1;
    const f64* prev = x0;
    for (i64 t0 = 0; t0 < T; t0 += run) {
        const i64 len = T - t0 < run ? T - t0 : run;
        f64* terms = run > 1 ? block : out + t0 * n;
        trova_matmul_abt(shock + t0 * k, B, terms, len, k, n);  // k = 0 writes zeros
        for (i64 t = t0; t < t0 + len; ++t) {
            f64* row = out + t * n;
            trova_matvec_plus_vec(A, prev, terms + (t - t0) * n, row, n, n);
            after(t);
            prev = row;
        }
    }
}

// Small models (n <= 8 states and k <= 8 shocks, and the second order's
// nx, ny <= 8) run a fixed-width loop instead: the matrices are copied once
// per call, column by column, into W-lane columns (W = 4 or 8, held as W/4
// four-lane vectors, zero past the last row), and a period is one
// multiply-add of a column by a broadcast element per column,
// x_t = sum_l B[:, l] eps_t[l] + sum_j A[:, j] x_{t-1}[j], with the previous
// state in a local array that is zero past n (so the zero columns of A past
// n add nothing, and the loop over them has a fixed trip count). Only the
// summation order differs from the general loop (the shock terms enter
// first, then the columns of A in order), so the results agree to rounding.
constexpr i64 kSmall = 8;

using trova::dense::v4;

// W lanes as W/4 vectors. GCC's vectors may alias their elements, so the
// lanes are also read as doubles through f().
template <int W>
struct Lanes {
    v4 h[W / 4];
    const f64* f() const { return reinterpret_cast<const f64*>(h); }
};

// col[j] lane i = M[i][j] for the r x c row-major M, j < c; zero for i >= r
// and, up to c_pad, for j >= c.
template <int W>
void load_columns(const f64* M, i64 r, i64 c, i64 c_pad, Lanes<W>* col) {
    for (i64 j = 0; j < c_pad; ++j)
        for (int i = 0; i < W; ++i) col[j].h[i / 4][i % 4] = i < r && j < c ? M[i * c + j] : 0.0;
}

// acc += sum_{j < c} col[j] x[j], in order of j.
template <int W>
inline void add_columns(Lanes<W>& acc, const Lanes<W>* col, const f64* x, i64 c) {
    for (i64 j = 0; j < c; ++j) {
        const f64 s = x[j];
        for (int h = 0; h < W / 4; ++h) acc.h[h] += col[j].h[h] * s;
    }
}

// The same over exactly C columns (x zero wherever the columns are padding).
template <int C, int W>
inline void add_columns_fixed(Lanes<W>& acc, const Lanes<W>* col, const f64* x) {
#pragma GCC unroll 8
    for (int j = 0; j < C; ++j) {
        const f64 s = x[j];
        for (int h = 0; h < W / 4; ++h) acc.h[h] += col[j].h[h] * s;
    }
}

// Stores of the first n (<= W) lanes; nothing past them is written, so a
// later row of a path is never touched before its period. With AVX a store
// is one masked move per four lanes, the masks formed once.
template <int W>
struct FirstLanes {
    i64 n;
#ifdef __AVX__
    typedef long long m4 __attribute__((vector_size(32)));
    m4 mask[W / 4];
    explicit FirstLanes(i64 n_) : n(n_) {
        for (int i = 0; i < W; ++i) mask[i / 4][i % 4] = i < n ? -1 : 0;
    }
    void store(f64* p, const Lanes<W>& v) const {
        for (int h = 0; h < W / 4; ++h)
            if (4 * h < n) __builtin_ia32_maskstorepd256(reinterpret_cast<v4*>(p + 4 * h), mask[h], v.h[h]);
    }
#else
    explicit FirstLanes(i64 n_) : n(n_) {}
    void store(f64* p, const Lanes<W>& v) const {
        for (int i = 0; i < W; ++i)
            if (i < n) p[i] = v.h[i / 4][i % 4];
    }
#endif
};

template <int W, class After>
void linear_states_small(const f64* A, const f64* B, const f64* x0, const f64* shock, f64* out,
                         i64 T, i64 n, i64 k, After after) {
    Lanes<W> a[W], b[kSmall];
    load_columns<W>(A, n, n, W, a);
    load_columns<W>(B, n, k, k, b);
    Lanes<W> x;
    for (int i = 0; i < W; ++i) x.h[i / 4][i % 4] = i < n ? x0[i] : 0.0;
    const FirstLanes<W> first(n);
    for (i64 t = 0; t < T; ++t) {
        Lanes<W> acc{};
        add_columns<W>(acc, b, shock + t * k, k);
        add_columns_fixed<W>(acc, a, x.f());
        x = acc;
        first.store(out + t * n, acc);
        after(t);
    }
}

// The small loop when the dimensions allow it, the general one otherwise
// (or when `general` asks for it).
template <class After>
void linear_states_any(const f64* A, const f64* B, const f64* x0, const f64* shock, f64* out,
                       i64 T, i64 n, i64 k, bool general, After after) {
    if (!general && T > 0 && n > 0 && n <= kSmall && k <= kSmall) {
        if (n <= 4)
            linear_states_small<4>(A, B, x0, shock, out, T, n, k, after);
        else
            linear_states_small<8>(A, B, x0, shock, out, T, n, k, after);
        return;
    }
    linear_states(A, B, x0, shock, out, T, n, k, after);
}

// Solution matrices of the pruned second-order model.
struct Order2Model {
    const f64 *hx, *gx, *bx, *hxx, *gxx, *hss, *gss;
    i64 nx, ny, n_exog;
};

// Work vectors of one run: first- and second-order parts of the state (the
// current and the next period's, swapped after every period) and the outer
// product of a first-order state.
struct Order2Work {
    f64 *x1_cur, *x1_next, *x2_cur, *x2_next, *x1_outer;

    Order2Work(f64* scratch, i64 nx)
        : x1_cur(scratch), x1_next(scratch + nx), x2_cur(scratch + 2 * nx),
          x2_next(scratch + 3 * nx), x1_outer(scratch + 4 * nx) {}

    void start(const f64* x0, i64 nx) {
        for (i64 i = 0; i < nx; ++i) {
            x1_cur[i] = x0[i];
            x2_cur[i] = 0.0;
        }
    }
};

void outer(const f64* v, f64* out, i64 n) {
    for (i64 a = 0; a < n; ++a)
        for (i64 b = 0; b < n; ++b) out[a * n + b] = v[a] * v[b];
}

// One period: x_row (nx) = x_t and y_row (ny) = y_t, as deviations. The
// quadratic forms are matrix-vector products of hxx (nx x nx^2) and gxx
// (ny x nx^2) with the flattened outer product.
void order2_period(const Order2Model& M, Order2Work& w, const f64* eps, f64* x_row, f64* y_row) {
    const i64 nx = M.nx, ny = M.ny, nx2 = nx * nx;
    outer(w.x1_cur, w.x1_outer, nx);
    // First-order part: hx x1 + bx eps.
    trova_matvec(M.bx, eps, w.x1_next, nx, M.n_exog);
    trova_matvec_plus_vec(M.hx, w.x1_cur, w.x1_next, w.x1_next, nx, nx);
    // Second-order part: 1/2 hss + hx x2 + 1/2 hxx(x1, x1), with x_row as
    // the temporary of the constant and quadratic terms.
    trova_matvec(M.hxx, w.x1_outer, x_row, nx, nx2);
    for (i64 i = 0; i < nx; ++i) x_row[i] = 0.5 * (M.hss[i] + x_row[i]);
    trova_matvec_plus_vec(M.hx, w.x2_cur, x_row, w.x2_next, nx, nx);
    for (i64 i = 0; i < nx; ++i) x_row[i] = w.x2_next[i] + w.x1_next[i];
    if (ny > 0) {
        // Controls: 1/2 gss + gx x + 1/2 gxx(x1, x1) of the current x1.
        outer(w.x1_next, w.x1_outer, nx);
        trova_matvec(M.gxx, w.x1_outer, y_row, ny, nx2);
        for (i64 j = 0; j < ny; ++j) y_row[j] = 0.5 * (M.gss[j] + y_row[j]);
        trova_matvec_plus_vec(M.gx, x_row, y_row, y_row, ny, nx);
    }
    f64* t = w.x1_cur;
    w.x1_cur = w.x1_next;
    w.x1_next = t;
    t = w.x2_cur;
    w.x2_cur = w.x2_next;
    w.x2_next = t;
}

// Where a run of the second order puts its rows: x_t (deviation, plus
// ss[0 .. nx) when ss is given) at x_out + t * x_stride and y_t (plus
// ss[nx .. n)) at y_out + t * y_stride; then, when m > 0, the measurement
// of the row that starts at x_out + t * x_stride.
struct Order2Rows {
    f64* x_out;
    i64 x_stride;
    f64* y_out;
    i64 y_stride;
    const f64* ss;
    trova_measurement_fn measurement;
    f64* params;
    f64* obs;
    i64 m;
};

// The pruned second order with nx <= WX and ny <= WY (nx >= 1) as the small
// first-order loop: hx, bx, gx and the quadratic forms hxx and gxx (nx x nx^2
// and ny x nx^2, one column per pair (a, b) with b >= a, folded on the
// symmetry of x1 x1') as columns of lanes, formed once; a period is, in
// this order, the rows x1[a] x1 of the outer product, the first-order part
// bx eps + hx x1, the second-order part 1/2 (hss + hxx (x1 x1)) + hx x2, the
// state and, from the new x1, the controls 1/2 (gss + gxx (x1 x1)) + gx x,
// as in order2_period. The local copies of x1, x2 and x are zero past nx.
template <int WX, int WY>
void order2_small(const Order2Model& M, const f64* x0, const f64* shock, i64 T, const Order2Rows& r) {
    const i64 nx = M.nx, ny = M.ny, ne = M.n_exog, nx2 = nx * nx;
    Lanes<WX> hx[WX], bx[kSmall], hxx[WX * WX];
    Lanes<WY> gx[WX], gxx[WX * WX];
    load_columns<WX>(M.hx, nx, nx, WX, hx);
    load_columns<WX>(M.bx, nx, ne, ne, bx);
    load_columns<WY>(M.gx, ny, nx, WX, gx);
    // The quadratic forms folded on their symmetry: x1 x1' is symmetric,
    // so pair (a, b) with b > a carries the sum of the columns of (a, b)
    // and (b, a), and only the pairs b >= a are kept, at a WX + b.
    for (i64 a = 0; a < nx; ++a) {
        load_columns<WX>(M.hxx + a * nx, nx, nx2, nx, hxx + a * WX);
        load_columns<WY>(M.gxx + a * nx, ny, nx2, nx, gxx + a * WX);
        for (i64 b = a + 1; b < nx; ++b) {
            Lanes<WX> h{};
            Lanes<WY> g{};
            load_columns<WX>(M.hxx + b * nx + a, nx, nx2, 1, &h);
            load_columns<WY>(M.gxx + b * nx + a, ny, nx2, 1, &g);
            for (int l = 0; l < WX / 4; ++l) hxx[a * WX + b].h[l] += h.h[l];
            for (int l = 0; l < WY / 4; ++l) gxx[a * WX + b].h[l] += g.h[l];
        }
    }
    alignas(32) f64 hss_s[WX] = {}, ssx_s[WX] = {}, gss_s[WY] = {}, ssy_s[WY] = {};
    for (i64 i = 0; i < nx; ++i) {
        hss_s[i] = M.hss[i];
        if (r.ss) ssx_s[i] = r.ss[i];
    }
    for (i64 j = 0; j < ny; ++j) {
        gss_s[j] = M.gss[j];
        if (r.ss) ssy_s[j] = r.ss[nx + j];
    }
    Lanes<WX> hss, ssx;
    Lanes<WY> gss, ssy;
    __builtin_memcpy(&hss, hss_s, sizeof hss);
    __builtin_memcpy(&ssx, ssx_s, sizeof ssx);
    __builtin_memcpy(&gss, gss_s, sizeof gss);
    __builtin_memcpy(&ssy, ssy_s, sizeof ssy);
    const FirstLanes<WX> first_x(nx);
    const FirstLanes<WY> first_y(ny);
    Lanes<WX> x1{}, x2{}, x, o[WX];
    for (i64 i = 0; i < nx; ++i) x1.h[i / 4][i % 4] = x0[i];
    // Rows of the outer product of x1; the first nx rows only (the quadratic
    // forms' columns of the rows past nx are zero and never read).
    const auto outer = [&] {
        for (i64 a = 0; a < nx; ++a) {
            const f64 s = x1.f()[a];
            for (int h = 0; h < WX / 4; ++h) o[a].h[h] = x1.h[h] * s;
        }
    };
    for (i64 t = 0; t < T; ++t) {
        outer();
        Lanes<WX> x1n{}, q{};
        for (i64 a = 0; a < nx; ++a) add_columns<WX>(q, hxx + a * WX + a, o[a].f() + a, nx - a);
        add_columns<WX>(x1n, bx, shock + t * ne, ne);
        add_columns_fixed<WX>(x1n, hx, x1.f());
        Lanes<WX> x2n, xt, xs;
        for (int h = 0; h < WX / 4; ++h) x2n.h[h] = 0.5 * (hss.h[h] + q.h[h]);
        add_columns_fixed<WX>(x2n, hx, x2.f());
        for (int h = 0; h < WX / 4; ++h) {
            xt.h[h] = x2n.h[h] + x1n.h[h];
            xs.h[h] = xt.h[h] + ssx.h[h];
        }
        x1 = x1n;
        x2 = x2n;
        x = xt;
        f64* x_row = r.x_out + t * r.x_stride;
        first_x.store(x_row, xs);
        if (ny > 0) {
            outer();
            Lanes<WY> qy{}, y;
            for (i64 a = 0; a < nx; ++a) add_columns<WY>(qy, gxx + a * WX + a, o[a].f() + a, nx - a);
            for (int h = 0; h < WY / 4; ++h) y.h[h] = 0.5 * (gss.h[h] + qy.h[h]);
            add_columns_fixed<WX>(y, gx, x.f());
            for (int h = 0; h < WY / 4; ++h) y.h[h] += ssy.h[h];
            first_y.store(r.y_out + t * r.y_stride, y);
        }
        if (r.m > 0) r.measurement(x_row, r.params, r.obs + t * r.m);
    }
}

// Whether the small loop covers these dimensions, and running it.
bool order2_small_fits(const Order2Model& M) {
    return M.nx >= 1 && M.nx <= kSmall && M.ny <= kSmall && M.n_exog <= kSmall;
}

void order2_small_any(const Order2Model& M, const f64* x0, const f64* shock, i64 T, const Order2Rows& r) {
    if (M.nx <= 4) {
        if (M.ny <= 4)
            order2_small<4, 4>(M, x0, shock, T, r);
        else
            order2_small<4, 8>(M, x0, shock, T, r);
    } else if (M.ny <= 4) {
        order2_small<8, 4>(M, x0, shock, T, r);
    } else {
        order2_small<8, 8>(M, x0, shock, T, r);
    }
}

}  // namespace

namespace trova::sizing {

Size simulate_order1(i64 n, i64 k, i64 T, i64 n_par) { return order1_layout(n, k, T, n_par).size; }

// The controls are the variables past the states: n_var - n_state of them.
Size simulate_order2(i64 n_state, i64 n_var, i64 n_exog, i64 T, i64 n_par) {
    i64 ny = 0;
    const bool wrapped = __builtin_sub_overflow(n_var, n_state, &ny);
    Size s = order2_layout(n_state, ny, n_exog, T, n_par).size;
    s.overflow |= wrapped;
    return s;
}

}  // namespace trova::sizing

extern "C" {

TROVA_API void trova_simulate_linear_states(const f64* A, const f64* B, const f64* x0,
                                            const f64* shock, f64* out, i64 T, i64 n, i64 k) {
    if (n <= 0) return;
    linear_states_any(A, B, x0, shock, out, T, n, k, false, [](i64) {});
}

TROVA_API void trova_affine_observations(const f64* states, const f64* C, const f64* d, f64* out,
                                         i64 T, i64 m, i64 n) {
    if (m <= 0) return;
    for (i64 t = 0; t < T; ++t) trova_matvec_plus_vec(C, states + t * n, d, out + t * m, m, n);
}

TROVA_API i64 trova_simulate_order1_arena_size(i64 n, i64 k, i64 T, i64 n_par) {
    return trova::layout::native_count(trova::sizing::simulate_order1(n, k, T, n_par));
}

TROVA_API i64 trova_simulate_order1_shock_offset(i64 n, i64 k) {
    const Order1Layout l = order1_layout(n, k, 0, 0);
    return l.size.overflow ? -1 : l.shock;
}

}  // extern "C"

// The steps' bodies, for dimensions already checked: the exported steps
// check and run them, the runners check once before drawing the shocks.
void trova::simulation::order1_run(f64* arena, trova_measurement_fn measurement, i64 T, i64 n, i64 k,
                                   i64 n_par, i64 m, f64* simout, bool general) {
    const Order1Layout l = order1_layout(n, k, T, n_par, arena);
    f64* params = arena + l.params;
    f64* obs = simout + T * n;
    linear_states_any(arena + l.A, arena + l.B, arena + l.x0, arena + l.shock, simout, T, n, k,
                      general, [&](i64 t) {
                          if (m > 0) measurement(simout + t * n, params, obs + t * m);
                      });
}

extern "C" {

TROVA_API int trova_simulate_order1_step(f64* arena, trova_measurement_fn measurement, i64 T,
                                         i64 n, i64 k, i64 n_par, i64 m, f64* simout) {
    if (trova::simulation::order1_status(measurement, T, n, k, n_par, m) != 0) return -1;
    trova::simulation::order1_run(arena, measurement, T, n, k, n_par, m, simout);
    return 0;
}

TROVA_API i64 trova_simulate_second_order_pruned(const f64* hx, const f64* gx, const f64* bx,
                                                 const f64* hxx, const f64* gxx, const f64* hss,
                                                 const f64* gss, const f64* x0, const f64* shock,
                                                 i64 T, i64 nx, i64 ny, i64 n_exog, f64* x_out,
                                                 f64* y_out) {
    // The model's arrays, the outputs and the scratch, nx (nx + 4) values
    // (one when nx = 0) and their byte count, must all be sizes that fit in
    // 64 bits: the step arena's layout covers the model's arrays and the
    // scratch, the rest is counted beside it.
    if (T < 0 || nx < 0 || ny < 0 || n_exog < 0) return -1;
    const Order2Layout l = order2_layout(nx, ny, n_exog, T, 0);
    if (l.size.overflow) return -1;
    const i64 n_scratch = nx > 0 ? l.size.n_float - l.scratch : 1;
    trova::layout::Carver c;
    c.take(T, nx);
    c.take(T, ny);
    c.product(n_scratch, static_cast<i64>(sizeof(f64)));
    if (c.overflowed()) return -1;
    f64* scratch = static_cast<f64*>(std::malloc(sizeof(f64) * static_cast<std::size_t>(n_scratch)));
    if (scratch == nullptr) return -1;
    const Order2Model M{hx, gx, bx, hxx, gxx, hss, gss, nx, ny, n_exog};
    if (order2_small_fits(M)) {
        order2_small_any(M, x0, shock, T, {x_out, nx, y_out, ny, nullptr, nullptr, nullptr, nullptr, 0});
        std::free(scratch);
        return 0;
    }
    Order2Work w(scratch, nx);
    w.start(x0, nx);
    for (i64 t = 0; t < T; ++t)
        order2_period(M, w, shock + t * n_exog, x_out + t * nx, y_out + t * ny);
    std::free(scratch);
    return 0;
}

TROVA_API i64 trova_simulate_order2_arena_size(i64 n_state, i64 n_var, i64 n_exog, i64 T,
                                               i64 n_par) {
    return trova::layout::native_count(trova::sizing::simulate_order2(n_state, n_var, n_exog, T, n_par));
}

TROVA_API i64 trova_simulate_order2_shock_offset(i64 nx, i64 ny, i64 n_exog) {
    const Order2Layout l = order2_layout(nx, ny, n_exog, 0, 0);
    return l.size.overflow ? -1 : l.shock;
}

}  // extern "C"

void trova::simulation::order2_run(f64* arena, trova_measurement_fn measurement, i64 T, i64 nx,
                                   i64 ny, i64 n_exog, i64 n_par, i64 m, f64* simout, bool general) {
    const Order2Layout l = order2_layout(nx, ny, n_exog, T, n_par, arena);
    const Order2Model M{arena + l.hx,  arena + l.gx,  arena + l.bx, arena + l.hxx,
                        arena + l.gxx, arena + l.hss, arena + l.gss, nx, ny, n_exog};
    const f64* ss = arena + l.steady_state;
    f64* params = arena + l.params;
    const i64 n = nx + ny;
    if (!general && T > 0 && order2_small_fits(M)) {
        order2_small_any(M, arena + l.x0, arena + l.shock, T,
                         {simout, n, simout + nx, n, ss, measurement, params, simout + T * n, m});
        return;
    }
    Order2Work w(arena + l.scratch, nx);
    w.start(arena + l.x0, nx);
    for (i64 t = 0; t < T; ++t) {
        f64* row = simout + t * n;
        order2_period(M, w, arena + l.shock + t * n_exog, row, row + nx);
        for (i64 j = 0; j < n; ++j) row[j] += ss[j];
        if (m > 0) measurement(row, params, simout + T * n + t * m);
    }
}

extern "C" {

TROVA_API int trova_simulate_order2_step(f64* arena, trova_measurement_fn measurement, i64 T,
                                         i64 nx, i64 ny, i64 n_exog, i64 n_par, i64 m,
                                         f64* simout) {
    if (trova::simulation::order2_status(measurement, T, nx, ny, n_exog, n_par, m) != 0) return -1;
    trova::simulation::order2_run(arena, measurement, T, nx, ny, n_exog, n_par, m, simout);
    return 0;
}

// Real state space of w = (k; u): k(t) = P k(t-1) + [I; 0] eps(t) and
// u(t) = F k(t), so the control rows of A hold Re(F P) and the control
// columns of A stay zero. The shocks load on the first n_exog states, so
// there can be no more shocks than states.
TROVA_API i64 trova_assemble_state_space(const c128* p, const c128* f, i64 n_state,
                                         i64 n_control, i64 n_exog, f64* A, f64* B) {
    if (n_state < 0 || n_control < 0 || n_exog > n_state) return -1;
    trova::layout::Carver c;
    const i64 nt = c.sum(n_state, n_control);
    c.take(nt, nt);
    if (n_exog >= 1) c.take(nt, n_exog);
    if (c.overflowed()) return -1;
    for (i64 i = 0; i < nt * nt; ++i) A[i] = 0.0;
    for (i64 i = 0; i < n_state; ++i)
        for (i64 j = 0; j < n_state; ++j) A[i * nt + j] = p[i * n_state + j].re;
    for (i64 i = 0; i < n_control; ++i) {
        for (i64 j = 0; j < n_state; ++j) {
            f64 acc = 0.0;
            for (i64 k = 0; k < n_state; ++k) {
                const c128 fa = f[i * n_state + k], pb = p[k * n_state + j];
                acc += fa.re * pb.re - fa.im * pb.im;
            }
            A[(n_state + i) * nt + j] = acc;
        }
    }
    if (n_exog < 1) return 0;
    for (i64 i = 0; i < nt * n_exog; ++i) B[i] = 0.0;
    for (i64 i = 0; i < n_exog; ++i) B[i * n_exog + i] = 1.0;
    for (i64 i = 0; i < n_control; ++i)
        for (i64 j = 0; j < n_exog; ++j) B[(n_state + i) * n_exog + j] = f[i * n_state + j].re;
    return 0;
}

}  // extern "C"
