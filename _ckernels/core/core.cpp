// Simulation of a solved model: first order (linear state space) and pruned
// second order, standalone and over a step's packed arena.
//
// Both recursions run through the 4-row matrix-vector kernel. The first
// order takes the shock terms B eps_t of a run of periods in one matrix
// product into a small stack block, ahead of the (inherently sequential)
// recursion on A, which then costs one matrix-vector product per period.
// The block keeps those terms out of the path itself, so no row of the path
// is written before its period is computed.
#include <cstdlib>

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
    linear_states(A, B, x0, shock, out, T, n, k, [](i64) {});
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
                                   i64 n_par, i64 m, f64* simout) {
    const Order1Layout l = order1_layout(n, k, T, n_par, arena);
    f64* params = arena + l.params;
    f64* obs = simout + T * n;
    linear_states(arena + l.A, arena + l.B, arena + l.x0, arena + l.shock, simout, T, n, k,
                  [&](i64 t) {
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
                                   i64 ny, i64 n_exog, i64 n_par, i64 m, f64* simout) {
    const Order2Layout l = order2_layout(nx, ny, n_exog, T, n_par, arena);
    const Order2Model M{arena + l.hx,  arena + l.gx,  arena + l.bx, arena + l.hxx,
                        arena + l.gxx, arena + l.hss, arena + l.gss, nx, ny, n_exog};
    const f64* ss = arena + l.steady_state;
    f64* params = arena + l.params;
    const i64 n = nx + ny;
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
