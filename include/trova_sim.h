/** @file
 * Simulation of a solved model: first order (linear state space) and pruned
 * second order, as standalone kernels and as pipeline steps whose runners
 * first draw the replication's shocks from a shock plan.
 *
 * Variables are ordered states first, then controls. Matrices are dense and
 * row-major. Row t of a path is period t; the initial state x0 is not
 * written.
 *
 * A step's float input lane holds its packed arena (the blocks listed at its
 * sizer) and, with a shock plan, the draw's scratch at shock_scratch_offset
 * past the arena; its float live-output lane receives simout. In a build with
 * layout gaps (trova_layout_gap()) every non-empty block is followed by a
 * gap, so block offsets must come from the sizers and the shock-offset
 * helpers. */
#ifndef TROVA_SIM_H
#define TROVA_SIM_H

#include "trova_mc.h"
#include "trova_types.h"

TROVA_BEGIN_DECLS

/** Measurement callback: given one period's state row and the parameter
 * block, writes that period's observables. Called from worker threads.
 *
 * Called concurrently by all workers, so it must be thread-safe; it must
 * only read state and params.
 * @param state first order: the n states of period t (its row of simout);
 *        second order: the nx + ny variables of period t in levels
 * @param params the step arena's params block (n_par values)
 * @param obs the m observables of period t (its row of the observables block) */
typedef void (*trova_measurement_fn)(f64* state, f64* params, f64* obs);

/* ---- first order: x_t = A x_{t-1} + B eps_t ---- */

/** states (T x n) from A (n x n), B (n x k), x0 (n) and shock (T x k).
 * x_t = A x_{t-1} + B eps_t for t = 0 .. T - 1 from x_{-1} = x0, eps_t
 * being row t of shock. Writes nothing when n <= 0 or T <= 0; k = 0 means
 * no shocks.
 * @param A transition, n x n
 * @param B shock loading, n x k
 * @param x0 state of period -1, n
 * @param shock T x k shocks, row t for period t
 * @param out T x n states
 * @param T periods
 * @param n states
 * @param k shocks */
TROVA_API void trova_simulate_linear_states(const f64* A, const f64* B, const f64* x0,
                                            const f64* shock, f64* out, i64 T, i64 n, i64 k);
/** out[t][j] = d[j] + sum_i C[j][i] states[t][i]; out is T x m, C is m x n.
 * Writes nothing when m <= 0.
 * @param states T x n states
 * @param C loading, m x n
 * @param d constant, m
 * @param out T x m observations
 * @param T periods
 * @param m observations per period
 * @param n states per period */
TROVA_API void trova_affine_observations(const f64* states, const f64* C, const f64* d, f64* out,
                                         i64 T, i64 m, i64 n);

/** Step arena, packed in order: A | B | x0 | shock (T x k) | params.
 * Size n (n + k + 1) + k T + n_par floats; the shock block starts at
 * trova_simulate_order1_shock_offset(n, k) = n (n + k + 1). In a build with
 * layout gaps every block is followed by trova_layout_gap() more. Sizes and offsets
 * that do not fit in 64 bits are reported as -1 (see arena_size).
 * Blocks: A (n x n), B (n x k), x0 (n, the state of period -1), shock
 * (T x k), params (n_par, handed to the measurement).
 * @param n states
 * @param k shocks
 * @param T periods
 * @param n_par parameters
 * @return the arena's f64 count, or -1 */
TROVA_API i64 trova_simulate_order1_arena_size(i64 n, i64 k, i64 T, i64 n_par);
/** Offset of the shock block in the first-order step arena (see
 * trova_simulate_order1_arena_size).
 * @param n states
 * @param k shocks
 * @return the offset in f64 elements, or -1 past 64 bits */
TROVA_API i64 trova_simulate_order1_shock_offset(i64 n, i64 k);
/** simout: T x n states, then (m > 0) T x m observables from `measurement`,
 * which for period t runs before period t + 1 is computed (no later row of
 * simout is written before then). Returns 0, or -1 with nothing written for
 * a negative T, n, k or n_par, m > 0 without a measurement, or an arena or
 * output whose size does not fit in 64 bits. m <= 0: no observables.
 * @param arena the packed step arena (see trova_simulate_order1_arena_size)
 * @param measurement observables of a period; may be NULL when m <= 0
 * @param T periods
 * @param n states
 * @param k shocks
 * @param n_par parameters
 * @param m observables per period
 * @param simout T x n states, then T x m observables
 * @return 0, or -1 for dimensions the step cannot run (nothing written) */
TROVA_API int trova_simulate_order1_step(f64* arena, trova_measurement_fn measurement, i64 T,
                                         i64 n, i64 k, i64 n_par, i64 m, f64* simout);

/** Context of trova_mc_simulate_order1_runner: the dimensions of
 * trova_simulate_order1_step and the shock plan. */
typedef struct trova_mc_simulate_order1_step_ctx {
    trova_measurement_fn measurement; /**< observables of a period; may be NULL when m <= 0 */
    i64 T;     /**< periods */
    i64 n;     /**< states */
    i64 k;     /**< shocks: columns of the shock block (a plan's n_exog must equal it) */
    i64 n_par; /**< parameters */
    i64 m;     /**< observables per period; <= 0: none */
    const trova_mc_shock_plan* shocks; /**< NULL: the shock block is bound input */
    /** shock-draw scratch in the float input lane: with a plan that needs
     * scratch, at or past the end of the arena, and the lane must hold
     * trova_mc_shock_scratch_size(shocks) values from there; unused without
     * a plan */
    i64 shock_scratch_offset;
} trova_mc_simulate_order1_step_ctx;

/** Step function. It checks the step as trova_simulate_order1_step does,
 * then, with a shock plan, draws the replication's shocks into the shock
 * block, then simulates. Each of these fails the replication with -1 (a NULL
 * ctx too), and none writes anything when an earlier one failed: a step
 * that cannot run, a plan whose T or n_exog disagrees with the context, a
 * shock_scratch_offset inside the arena's blocks, or a plan the draw
 * rejects (see trova_mc_shock_draw) leaves the lanes untouched. Otherwise
 * returns 0. The status also goes to int_out[0] when int_out is not NULL.
 * @param rep_idx replication index: positions the plan's streams
 * @param float_in_work the step arena, then the draw's scratch
 * @param float_out simout: T x n states, then T x m observables
 * @param int_work not used
 * @param int_out int_out[0] = the status when not NULL
 * @param ctx a trova_mc_simulate_order1_step_ctx
 * @return 0, or -1 */
TROVA_API int trova_mc_simulate_order1_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                              i64* int_work, i64* int_out, const void* ctx);

/* ---- pruned second order ----
 * xf_t = hx xf_{t-1} + bx eps_t
 * xs_t = hx xs_{t-1} + 1/2 hxx(xf_{t-1}, xf_{t-1}) + 1/2 hss
 * x_t  = xf_t + xs_t
 * y_t  = gx x_t + 1/2 gxx(xf_t, xf_t) + 1/2 gss
 * from xf_{-1} = x0, xs_{-1} = 0. hxx is nx x nx x nx (block i is the
 * Hessian of state i), gxx ny x nx x nx. */

/** x_out (T x nx) and y_out (T x ny) as deviations from the steady state.
 * Returns 0, or -1 with nothing written when its scratch cannot be
 * allocated, for a negative dimension, or when a size (of the model's
 * arrays, the outputs or the scratch, in values or bytes) does not fit in
 * 64 bits.
 *
 * The recursion is the pruned second order above. Unlike the steps, this
 * kernel allocates its scratch on the heap and frees it before it returns.
 * @param hx state transition, nx x nx
 * @param gx control rule, ny x nx
 * @param bx shock loading of the states, nx x n_exog
 * @param hxx second-order state terms, nx x nx x nx
 * @param gxx second-order control terms, ny x nx x nx
 * @param hss risk correction of the states, nx
 * @param gss risk correction of the controls, ny
 * @param x0 first-order state of period -1 (xf_{-1}), nx
 * @param shock T x n_exog shocks
 * @param T periods
 * @param nx states
 * @param ny controls
 * @param n_exog shocks
 * @param x_out T x nx states
 * @param y_out T x ny controls
 * @return 0, or -1 (nothing written) */
TROVA_API i64 trova_simulate_second_order_pruned(const f64* hx, const f64* gx, const f64* bx,
                                                 const f64* hxx, const f64* gxx, const f64* hss,
                                                 const f64* gss, const f64* x0, const f64* shock,
                                                 i64 T, i64 nx, i64 ny, i64 n_exog, f64* x_out,
                                                 f64* y_out);

/** Step arena, packed in order (with trova_layout_gap() after each block in
 * a build with layout gaps): hx | gx | bx | hxx | gxx | hss | gss |
 * steady_state (n_var) | x0 | shock (T x n_exog) | params | scratch
 * (nx (nx + 4)), with n_state = nx and n_var = nx + ny.
 * Shapes as for trova_simulate_second_order_pruned; steady_state holds the
 * levels of the states, then the controls; params (n_par) goes to the
 * measurement; the scratch is the step's own work area.
 * @param n_state states (nx)
 * @param n_var states plus controls (nx + ny)
 * @param n_exog shocks
 * @param T periods
 * @param n_par parameters
 * @return the arena's f64 count, or -1 past 64 bits */
TROVA_API i64 trova_simulate_order2_arena_size(i64 n_state, i64 n_var, i64 n_exog, i64 T,
                                               i64 n_par);
/** Offset of the shock block in the second-order step arena (note: controls
 * ny here, not n_var).
 * @param nx states
 * @param ny controls
 * @param n_exog shocks
 * @return the offset in f64 elements, or -1 past 64 bits */
TROVA_API i64 trova_simulate_order2_shock_offset(i64 nx, i64 ny, i64 n_exog);
/** simout: T rows of [x_t, y_t] in levels (steady state added), then
 * (m > 0) T x m observables; the measurement sees the row in levels.
 * Returns 0, or -1 with nothing written for a negative T, nx, ny, n_exog or
 * n_par, m > 0 without a measurement, or an arena or output whose size
 * does not fit in 64 bits.
 * @param arena the packed step arena (see trova_simulate_order2_arena_size)
 * @param measurement observables of a period; may be NULL when m <= 0
 * @param T periods
 * @param nx states
 * @param ny controls
 * @param n_exog shocks
 * @param n_par parameters
 * @param m observables per period; <= 0: none
 * @param simout T x (nx + ny) levels, then T x m observables
 * @return 0, or -1 for dimensions the step cannot run (nothing written) */
TROVA_API int trova_simulate_order2_step(f64* arena, trova_measurement_fn measurement, i64 T,
                                         i64 nx, i64 ny, i64 n_exog, i64 n_par, i64 m,
                                         f64* simout);

/** Context of trova_mc_simulate_order2_runner: the dimensions of
 * trova_simulate_order2_step and the shock plan. */
typedef struct trova_mc_simulate_order2_step_ctx {
    trova_measurement_fn measurement; /**< observables of a period; may be NULL when m <= 0 */
    i64 T;       /**< periods */
    i64 n_state; /**< states (nx) */
    i64 n_ctrl;  /**< controls (ny) */
    i64 n_exog;  /**< shocks (a plan's n_exog must equal it) */
    i64 n_par;   /**< parameters */
    i64 m;       /**< observables per period; <= 0: none */
    const trova_mc_shock_plan* shocks; /**< NULL: the shock block is bound input */
    /** shock-draw scratch in the float input lane, as for the first order:
     * at or past the end of the arena (trova_simulate_order2_arena_size) */
    i64 shock_scratch_offset;
} trova_mc_simulate_order2_step_ctx;

/** Step function; checks, shock plan and status as for the first-order
 * runner.
 * @param rep_idx replication index: positions the plan's streams
 * @param float_in_work the step arena, then the draw's scratch
 * @param float_out simout: T x (nx + ny) levels, then T x m observables
 * @param int_work not used
 * @param int_out int_out[0] = the status when not NULL
 * @param ctx a trova_mc_simulate_order2_step_ctx
 * @return 0, or -1 */
TROVA_API int trova_mc_simulate_order2_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                              i64* int_work, i64* int_out, const void* ctx);

TROVA_END_DECLS

#endif /* TROVA_SIM_H */
