/** @file
 * Kalman filters: linear, extended (nonlinear measurement with its
 * Jacobian) and unscented (pruned second-order model), each a kernel over a
 * caller-supplied scratch arena with a closed-form sizer, and a pipeline step
 * over packed input and output blocks.
 *
 * Log-likelihood per period: -0.5 (log det S + v' S^-1 v + m log(2 pi)),
 * with S factored by Cholesky (plus the jitter, which enters only the
 * factor). A factorisation that fails stops the filter with -3; the
 * log-likelihood of the completed periods is stored and the history rows of
 * those periods are complete. A matrix to be factored (S, and the
 * covariances the unscented filter samples) with an entry that is NaN or
 * infinite fails too, so NaN in the prior, the noise covariances, the
 * transition, loading or observation matrices or a Jacobian stops the filter
 * with -3; NaN that only means carry (the observations, the linear and
 * extended filters' initial mean and observation constant, a measured value)
 * gives a NaN log-likelihood with status 0. A negative dimension is
 * rejected with -2 before anything is written (the kernels do not check T:
 * T <= 0 runs no period and stores a log-likelihood of 0), and every sizer
 * here reports it as it reports a size past 64 bits (-1). Nothing here
 * allocates.
 *
 * Dimensions: T periods, n states, m observables, k shocks; the unscented
 * filter has ns = n_state states, nc = n_ctrl controls, ne = n_exog shocks,
 * no = n_obs observables and nz = 2 ns. All arrays are row-major; a history
 * has one row (vector or matrix) per period.
 *
 * The prior (x0, P0; z0, P0) is the filtered mean and covariance of period
 * -1: period 0 first predicts from it (linear filter: x_pred = A x0,
 * P_pred = A P0 A' + B Q B'; the unscented filter propagates sigma points
 * of z0 and P0), so P0 is not the covariance of period 0's state.
 *
 * A filter step's float input lane holds the packed input block, then at
 * once the kernel's scratch arena (at the offset the input sizer returns);
 * its float live-output lane receives the packed output block; int_out[0]
 * (when present) receives the status. The blocks of both are listed at
 * their sizers, and trova_filter_{linear,extended,unscented}_{input,output}_offsets
 * give each block's offset. In a build with layout gaps every non-empty block
 * is followed by trova_layout_gap() elements, so block offsets must come from
 * those helpers (or add that gap after every non-empty block), never from
 * block sizes alone. */
#ifndef TROVA_KALMAN_H
#define TROVA_KALMAN_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/* ---- linear filter: x_t = A x_{t-1} + B eps_t, y_t = C x_t + d + u_t ---- */

/** Inputs of kf_hot_loop: the model x_t = A x_{t-1} + B eps_t, eps_t ~ N(0,
 * Q), y_t = C x_t + d + u_t, u_t ~ N(0, R), its prior and the observations.
 * Every array is read only and must be valid. */
typedef struct kf_inputs {
    i64 n;         /**< states */
    i64 m;         /**< observables */
    i64 k;         /**< shocks */
    i64 T;         /**< periods; T <= 0 runs none (log-likelihood 0) */
    const f64* A;  /**< n x n */
    const f64* B;  /**< n x k */
    const f64* C;  /**< m x n */
    const f64* d;  /**< m */
    const f64* Q;  /**< k x k */
    const f64* R;  /**< m x m */
    const f64* y;  /**< T x m */
    const f64* x0; /**< n, the state mean at t = -1 */
    const f64* P0; /**< n x n, the state covariance at t = -1 (see the file notes) */
    int symmetrize;    /**< symmetrise P_pred, S and P_filt each period */
    f64 jitter;        /**< added to the diagonal of S's factor when positive */
    int return_shocks; /**< write eps_hat (needs store_history) */
    int store_history; /**< write the per-period histories */
} kf_inputs;

/** Histories, T rows each; only loglik is written without store_history.
 * Caller-owned arrays; a pointer that is not written may be NULL: every
 * history without store_history, eps_hat without return_shocks. */
typedef struct kf_outputs {
    f64* x_pred;    /**< T x n, A x_filt of the period before (A x0 at t = 0) */
    f64* x_filt;    /**< T x n */
    f64* P_pred;    /**< T x n x n */
    f64* P_filt;    /**< T x n x n, Joseph form */
    f64* y_pred;    /**< T x m, C x_pred + d */
    f64* y_filt;    /**< T x m, C x_filt + d */
    f64* innov;     /**< T x m, v = y - y_pred */
    f64* std_innov; /**< T x m, L^-1 v */
    f64* S;         /**< T x m x m, without the jitter */
    f64* eps_hat;   /**< T x k, Q B' C' S^-1 v */
    f64* loglik;    /**< 1, always written; must not be NULL */
} kf_outputs;

/* Building blocks, shared by the three filters. */

/** out = row `row` of A minus x: out[j] = A[row m + j] - x[j], j < m.
 * @param A matrix with rows of m values
 * @param row the row
 * @param x m values
 * @param out m values
 * @param m row length */
TROVA_API void kf_row_minus_vec(const f64* A, i64 row, const f64* x, f64* out, i64 m);
/** Solves L L' z = b for b = row `row` of B (n values at B + row n), by
 * forward substitution into fbuf and backward substitution into bbuf, and
 * copies z to out + row n.
 * @param L Cholesky factor, n x n lower triangular
 * @param B matrix with rows of n values
 * @param row the row solved
 * @param fbuf n values of scratch
 * @param bbuf n values of scratch
 * @param out matrix with rows of n values; its row `row` receives z
 * @param n order of L */
TROVA_API void kf_chol_solve_row(const f64* L, const f64* B, i64 row, f64* fbuf, f64* bbuf, f64* out,
                                 i64 n);
/** out = A P_prev A' + BQBT (n x n), through temp_nn = A P_prev.
 * @param A n x n
 * @param P_prev n x n
 * @param BQBT n x n
 * @param temp_nn n x n scratch
 * @param out n x n
 * @param n order */
TROVA_API void kf_predict_cov(const f64* A, const f64* P_prev, const f64* BQBT, f64* temp_nn, f64* out,
                              i64 n);
/** out = C P_pred C' + R (m x m), through temp_mn = C P_pred.
 * @param C m x n
 * @param P_pred n x n
 * @param R m x m
 * @param temp_mn m x n scratch, left holding C P_pred
 * @param out m x m
 * @param n states
 * @param m observables */
TROVA_API void kf_measurement_cov(const f64* C, const f64* P_pred, const f64* R, f64* temp_mn, f64* out,
                                  i64 n, i64 m);
/** out = P_pred C' (n x m).
 * @param P_pred n x n
 * @param C m x n
 * @param out n x m
 * @param n states
 * @param m observables */
TROVA_API void kf_pc_t(const f64* P_pred, const f64* C, f64* out, i64 n, i64 m);
/** The gain out = PCt S^-1 (n x m) with S = L L', row by row through
 * kf_chol_solve_row.
 * @param L Cholesky factor of S, m x m
 * @param PCt n x m
 * @param fbuf m values of scratch
 * @param bbuf m values of scratch
 * @param out n x m
 * @param n rows
 * @param m order of L */
TROVA_API void kf_gain_from_pc_t(const f64* L, const f64* PCt, f64* fbuf, f64* bbuf, f64* out, i64 n,
                                 i64 m);
/** out = x_pred + K v.
 * @param x_pred n
 * @param K n x m
 * @param v m
 * @param out n
 * @param n states
 * @param m observables */
TROVA_API void kf_state_update(const f64* x_pred, const f64* K, const f64* v, f64* out, i64 n, i64 m);
/** out = I - A (n x n).
 * @param A n x n
 * @param out n x n
 * @param n order */
TROVA_API void kf_identity_minus(const f64* A, f64* out, i64 n);
/** Joseph-form update out = (I - K C) P_pred (I - K C)' + K R K' (n x n).
 * @param K gain, n x m
 * @param C m x n
 * @param P_pred n x n
 * @param R m x m
 * @param KC n x n scratch (K C)
 * @param I_minus_KC n x n scratch (I - K C)
 * @param temp_nn n x n scratch
 * @param temp_nm n x m scratch (K R)
 * @param out n x n
 * @param n states
 * @param m observables */
TROVA_API void kf_joseph_cov(const f64* K, const f64* C, const f64* P_pred, const f64* R, f64* KC,
                             f64* I_minus_KC, f64* temp_nn, f64* temp_nm, f64* out, i64 n, i64 m);
/** out = B Q B' (n x n), symmetrised, through temp_nk = B Q.
 * @param B n x k
 * @param Q k x k
 * @param temp_nk n x k scratch
 * @param out n x n
 * @param n states
 * @param k shocks */
TROVA_API void kf_build_bqbt(const f64* B, const f64* Q, f64* temp_nk, f64* out, i64 n, i64 k);
/** The shock projection out = Q B' C' (k x m), through temp_km = B' C'.
 * @param B n x k
 * @param C m x n
 * @param Q k x k
 * @param temp_km k x m scratch
 * @param out k x m
 * @param n states
 * @param k shocks
 * @param m observables */
TROVA_API void kf_build_shock_projection(const f64* B, const f64* C, const f64* Q, f64* temp_km,
                                         f64* out, i64 n, i64 k, i64 m);

/** Scratch of kf_hot_loop: 2n + 7m + 6n^2 + 2m^2 + 4nm + nk + 2km floats.
 * Here and below, a size that does not fit in 64 bits is reported as
 * {-1, -1} (arena_size) or -1 (single counts).
 * @param n states
 * @param m observables
 * @param k shocks
 * @return n_float the scratch, n_int 0; {-1, -1} for a negative dimension */
TROVA_API arena_size kf_arena_size(i64 n, i64 m, i64 k);
/** Returns 0; -2 when n, m or k is negative (nothing written); -3 when S
 * cannot be factored.
 * @param in model, prior, observations and options
 * @param arena kf_arena_size(n, m, k).n_float values of scratch
 * @param out where the histories and the log-likelihood go
 * @return 0; -2 (nothing written); -3 (log-likelihood and history rows of
 *         the completed periods written) */
TROVA_API int kf_hot_loop(const kf_inputs* in, f64* arena, const kf_outputs* out);

/** Packed input of the linear filter step, in this order: A (n x n) |
 * B (n x k) | C (m x n) | d (m) | Q (k x k) | R (m x m) | y (T x m) |
 * x0 (n) | P0 (n x n), as in kf_inputs.
 * @param n states
 * @param m observables
 * @param k shocks
 * @param T periods
 * @return its f64 count, or -1 */
TROVA_API i64 trova_filter_linear_input_arena_size(i64 n, i64 m, i64 k, i64 T);
/** Packed output of the linear filter step, in this order: x_pred (T x n) |
 * x_filt (T x n) | P_pred (T x n x n) | P_filt (T x n x n) | y_pred (T x m)
 * | y_filt (T x m) | innov (T x m) | std_innov (T x m) | S (T x m x m) |
 * eps_hat (T x k, only with return_shocks) | loglik (1), as in kf_outputs.
 * @param n states
 * @param m observables
 * @param k shocks
 * @param T periods
 * @param return_shocks non-zero: the eps_hat block is present
 * @return its f64 count, or -1 */
TROVA_API i64 trova_filter_linear_output_arena_size(i64 n, i64 m, i64 k, i64 T, int return_shocks);
/** kf_hot_loop over the packed blocks, with every history stored. The
 * steps return the kernel's status, or -2 for a negative dimension (nothing
 * written); their runners store it in int_out[0].
 * @param input_arena packed input (trova_filter_linear_input_arena_size)
 * @param scratch_arena kf_arena_size(n, m, k).n_float values
 * @param T periods
 * @param n states
 * @param m observables
 * @param k shocks
 * @param symmetrize symmetrise P_pred, S and P_filt each period
 * @param jitter added to the diagonal of S's factor when positive
 * @param return_shocks non-zero: write eps_hat
 * @param output_arena packed output (trova_filter_linear_output_arena_size)
 * @return 0, -2 or -3 as kf_hot_loop */
TROVA_API int trova_filter_linear_step(const f64* input_arena, f64* scratch_arena, i64 T, i64 n, i64 m,
                                       i64 k, int symmetrize, f64 jitter, int return_shocks,
                                       f64* output_arena);

/** Context of trova_mc_filter_linear_runner: the arguments of
 * trova_filter_linear_step. */
typedef struct trova_mc_filter_linear_step_ctx {
    i64 T;             /**< periods */
    i64 n;             /**< states */
    i64 m;             /**< observables */
    i64 k;             /**< shocks */
    int symmetrize;    /**< symmetrise P_pred, S and P_filt each period */
    f64 jitter;        /**< added to the diagonal of S's factor when positive */
    int return_shocks; /**< non-zero: the output has the eps_hat block */
} trova_mc_filter_linear_step_ctx;

/** Float input lane: packed input, then the kf_arena_size scratch.
 * @param rep_idx not used
 * @param float_in_work packed input, then kf_arena_size(n, m, k).n_float
 *        values of scratch at offset trova_filter_linear_input_arena_size
 * @param float_out packed output (trova_filter_linear_output_arena_size)
 * @param int_work not used
 * @param int_out int_out[0] = the status when not NULL
 * @param ctx a trova_mc_filter_linear_step_ctx; must not be NULL
 * @return 0, -2 or -3 as trova_filter_linear_step */
TROVA_API int trova_mc_filter_linear_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                            i64* int_work, i64* int_out, const void* ctx);

/** Offsets of the blocks of the linear filter's packed input, in elements
 * from the start of the block (see trova_filter_linear_input_offsets). The
 * blocks are row-major, in this order, each followed by trova_layout_gap()
 * elements when it is not empty. */
typedef struct kf_input_offsets {
    i64 A;  /**< transition matrix, n x n */
    i64 B;  /**< shock loading, n x k */
    i64 C;  /**< observation matrix, m x n */
    i64 d;  /**< observation constant, m */
    i64 Q;  /**< shock covariance, k x k */
    i64 R;  /**< measurement-error covariance, m x m */
    i64 y;  /**< observations, T x m (row t is period t) */
    i64 x0; /**< state mean of period -1, n */
    i64 P0; /**< state covariance of period -1, n x n */
} kf_input_offsets;

/** Offsets of the blocks of a filter step's packed output, in elements from
 * the start of the output lane. Shared by the three filters; a block the
 * filter's output does not have is -1 (eps_hat without return_shocks and in
 * the unscented filter, x1_pred .. x2_filt in the linear and extended
 * filters). Shapes are those of kf_outputs and ukf_outputs, with T rows. */
typedef struct trova_filter_output_offsets {
    i64 x_pred;    /**< predicted states, T x n (unscented: T x (n_state + n_ctrl)) */
    i64 x_filt;    /**< filtered states, same shape as x_pred */
    i64 P_pred;    /**< predicted covariances, T x n x n (unscented: T x nz x nz) */
    i64 P_filt;    /**< filtered covariances, same shape as P_pred */
    i64 y_pred;    /**< predicted observations, T x m */
    i64 y_filt;    /**< observations implied by the filtered states, T x m */
    i64 innov;     /**< innovations, T x m */
    i64 std_innov; /**< standardised innovations, T x m */
    i64 S;         /**< innovation covariances, T x m x m */
    i64 eps_hat;   /**< shock estimates, T x k; -1 when absent */
    i64 loglik;    /**< log-likelihood, 1 value */
    i64 x1_pred;   /**< unscented only: first-order part of the predicted state, T x n_state; else -1 */
    i64 x2_pred;   /**< unscented only: second-order part of the predicted state, T x n_state; else -1 */
    i64 x1_filt;   /**< unscented only: first-order part of the filtered state, T x n_state; else -1 */
    i64 x2_filt;   /**< unscented only: second-order part of the filtered state, T x n_state; else -1 */
} trova_filter_output_offsets;

/** Where trova_filter_linear_step finds each block of its packed input.
 * The offsets come from the layout code the step itself uses, so they hold
 * in every build, with or without layout gaps.
 * @param n states. @param m observables. @param k shocks. @param T periods.
 * @param out receives the offsets; may be NULL (only the size is returned).
 *        On -1 every field is set to -1.
 * @return the packed input's length, equal to
 *         trova_filter_linear_input_arena_size(n, m, k, T); -1 for a
 *         negative dimension or a size that does not fit in 64 bits. */
TROVA_API i64 trova_filter_linear_input_offsets(i64 n, i64 m, i64 k, i64 T, kf_input_offsets* out);
/** Where trova_filter_linear_step writes each block of its packed output.
 * Same layout code as the step, so the offsets hold in every build.
 * @param n states. @param m observables. @param k shocks. @param T periods.
 * @param return_shocks non-zero: the output has an eps_hat block.
 * @param out receives the offsets; may be NULL (only the size is returned).
 *        On -1 every field is set to -1.
 * @return the packed output's length, equal to
 *         trova_filter_linear_output_arena_size(n, m, k, T, return_shocks);
 *         -1 for a negative dimension or a size that does not fit in 64 bits. */
TROVA_API i64 trova_filter_linear_output_offsets(i64 n, i64 m, i64 k, i64 T, int return_shocks,
                                                 trova_filter_output_offsets* out);

/* ---- extended filter: y_t = h(x_t; params) + u_t ---- */

/** Measurement (writes h, m values) or Jacobian (writes H, m x n row-major)
 * at a state; called from worker threads. The unscented filter passes the
 * variable vector in levels instead of the state.
 *
 * Called concurrently by all workers: it must be thread-safe and keep no
 * per-call state outside its arguments. It cannot report an error (for
 * NaN see the file notes).
 * @param x the state (n); unscented: the ns + nc variables in levels
 * @param params the parameter vector, passed unchanged
 * @param out h(x) (m values; unscented: no) or H = dh/dx (m x n) */
typedef void (*meas_fn)(const f64* x, const f64* params, f64* out);

/** Inputs of ekf_hot_loop: the model x_t = A x_{t-1} + B eps_t, eps_t ~
 * N(0, Q), y_t = h(x_t) + u_t, u_t ~ N(0, R), linearised each period at the
 * predicted state. Each period calls meas at x_pred, jac at x_pred, then
 * (with store_history and compute_y_filt) meas at x_filt. */
typedef struct ekf_inputs {
    meas_fn meas;             /**< measurement h; must not be NULL */
    meas_fn jac;              /**< its Jacobian H = dh/dx (m x n); must not be NULL */
    const f64* A;             /**< n x n */
    const f64* B;             /**< n x k */
    const f64* calib_params;  /**< n_par values, passed unchanged to meas and jac */
    const f64* Q;             /**< k x k */
    const f64* R;             /**< m x m */
    const f64* y;             /**< T x m */
    const f64* x0;            /**< n, the state mean at t = -1 */
    const f64* P0;            /**< n x n, the state covariance at t = -1 */
    i64 T;                    /**< periods; T <= 0 runs none (log-likelihood 0) */
    i64 n;                    /**< states */
    i64 m;                    /**< observables */
    i64 k;                    /**< shocks */
    i64 n_par;                /**< length of calib_params (not read by the kernel) */
    f64 jitter;               /**< added to the diagonal of S's factor when positive */
    int symmetrize;           /**< symmetrise P_pred, S and P_filt each period */
    int compute_y_filt;       /**< y_filt = h(x_filt) in the history */
    int return_shocks;        /**< write eps_hat (needs store_history) */
    int store_history;        /**< write the per-period histories */
} ekf_inputs;

/** Outputs of ekf_hot_loop: the fields, shapes and NULL rules of
 * kf_outputs, with h(x_pred) for y_pred, h(x_filt) for y_filt (written only
 * with compute_y_filt, otherwise left as it was) and Q B' H' S^-1 v with the
 * period's Jacobian H for eps_hat. */
typedef struct ekf_outputs {
    f64* x_pred;    /**< T x n */
    f64* x_filt;    /**< T x n */
    f64* P_pred;    /**< T x n x n */
    f64* P_filt;    /**< T x n x n */
    f64* y_pred;    /**< T x m, h(x_pred) */
    f64* y_filt;    /**< T x m, h(x_filt) */
    f64* innov;     /**< T x m, v = y - y_pred */
    f64* std_innov; /**< T x m, L^-1 v */
    f64* S;         /**< T x m x m, H P_pred H' + R without the jitter */
    f64* eps_hat;   /**< T x k, Q B' H' S^-1 v */
    f64* loglik;    /**< 1, always written; must not be NULL */
} ekf_outputs;

/** Scratch of ekf_hot_loop: 2n + 6m + 6n^2 + 2m^2 + 5nm + nk + 2km floats.
 * @param n states
 * @param m observables
 * @param k shocks
 * @return n_float the scratch, n_int 0; {-1, -1} for a negative dimension */
TROVA_API arena_size ekf_arena_size(i64 n, i64 m, i64 k);
/** Returns 0; -2 when meas or jac is NULL or n, m or k is negative (nothing
 * written); -3 when S cannot be factored.
 * @param in model, callbacks, prior, observations and options
 * @param arena ekf_arena_size(n, m, k).n_float values of scratch
 * @param out where the histories and the log-likelihood go
 * @return 0; -2 (nothing written); -3 (log-likelihood and history rows of
 *         the completed periods written) */
TROVA_API int ekf_hot_loop(const ekf_inputs* in, f64* arena, const ekf_outputs* out);

/** Packed input: A | B | calib_params | Q | R | y | x0 | P0.
 * Shapes: A (n x n), B (n x k), calib_params (n_par), Q (k x k), R (m x m),
 * y (T x m), x0 (n), P0 (n x n), as in ekf_inputs; there is no C or d.
 * @param n states
 * @param m observables
 * @param k shocks
 * @param T periods
 * @param n_par parameters
 * @return its f64 count, or -1 */
TROVA_API i64 trova_filter_extended_input_arena_size(i64 n, i64 m, i64 k, i64 T, i64 n_par);
/** The linear filter's output layout (see
 * trova_filter_linear_output_arena_size), with the extended filter's
 * contents (see ekf_outputs).
 * @param n states
 * @param m observables
 * @param k shocks
 * @param T periods
 * @param return_shocks non-zero: the eps_hat block is present
 * @return its f64 count, or -1 */
TROVA_API i64 trova_filter_extended_output_arena_size(i64 n, i64 m, i64 k, i64 T, int return_shocks);
/** ekf_hot_loop over the packed blocks, with every history stored and
 * y_filt = h(x_filt).
 * @param input_arena packed input (trova_filter_extended_input_arena_size)
 * @param scratch_arena ekf_arena_size(n, m, k).n_float values
 * @param meas measurement; must not be NULL
 * @param jac its Jacobian; must not be NULL
 * @param T periods
 * @param n states
 * @param m observables
 * @param k shocks
 * @param n_par parameters
 * @param symmetrize symmetrise P_pred, S and P_filt each period
 * @param jitter added to the diagonal of S's factor when positive
 * @param return_shocks non-zero: write eps_hat
 * @param output_arena packed output (trova_filter_extended_output_arena_size)
 * @return 0, -2 (negative dimension or NULL callback; nothing written) or
 *         -3 as ekf_hot_loop */
TROVA_API int trova_filter_extended_step(const f64* input_arena, f64* scratch_arena, meas_fn meas,
                                         meas_fn jac, i64 T, i64 n, i64 m, i64 k, i64 n_par,
                                         int symmetrize, f64 jitter, int return_shocks,
                                         f64* output_arena);

/** Context of trova_mc_filter_extended_runner: the arguments of
 * trova_filter_extended_step, each field as the parameter of that name
 * (measurement and jacobian are meas and jac). */
typedef struct trova_mc_filter_extended_step_ctx {
    meas_fn measurement; /**< measurement; must not be NULL */
    meas_fn jacobian;    /**< its Jacobian; must not be NULL */
    i64 T;               /**< periods */
    i64 n;               /**< states */
    i64 m;               /**< observables */
    i64 k;               /**< shocks */
    i64 n_par;           /**< parameters */
    int symmetrize;      /**< see trova_filter_extended_step */
    f64 jitter;          /**< see trova_filter_extended_step */
    int return_shocks;   /**< see trova_filter_extended_step */
} trova_mc_filter_extended_step_ctx;

/** Step function of the extended filter.
 * @param rep_idx not used
 * @param float_in_work packed input, then ekf_arena_size(n, m, k).n_float
 *        values of scratch at offset trova_filter_extended_input_arena_size
 * @param float_out packed output (trova_filter_extended_output_arena_size)
 * @param int_work not used
 * @param int_out int_out[0] = the status when not NULL
 * @param ctx a trova_mc_filter_extended_step_ctx; must not be NULL
 * @return 0, -2 or -3 as trova_filter_extended_step */
TROVA_API int trova_mc_filter_extended_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                              i64* int_work, i64* int_out, const void* ctx);

/** Offsets of the blocks of the extended filter's packed input, in elements
 * from the start of the block (see trova_filter_extended_input_offsets);
 * row-major, in this order, each non-empty block followed by
 * trova_layout_gap() elements. */
typedef struct ekf_input_offsets {
    i64 A;            /**< transition matrix, n x n */
    i64 B;            /**< shock loading, n x k */
    i64 calib_params; /**< parameters handed to the measurement and its Jacobian, n_par */
    i64 Q;            /**< shock covariance, k x k */
    i64 R;            /**< measurement-error covariance, m x m */
    i64 y;            /**< observations, T x m */
    i64 x0;           /**< state mean of period -1, n */
    i64 P0;           /**< state covariance of period -1, n x n */
} ekf_input_offsets;

/** Where trova_filter_extended_step finds each block of its packed input
 * (the step's own layout code, valid in every build).
 * @param n states. @param m observables. @param k shocks. @param T periods.
 * @param n_par parameters.
 * @param out receives the offsets; may be NULL (only the size is returned).
 *        On -1 every field is set to -1.
 * @return the packed input's length, equal to
 *         trova_filter_extended_input_arena_size(n, m, k, T, n_par); -1 for
 *         a negative dimension or a size that does not fit in 64 bits. */
TROVA_API i64 trova_filter_extended_input_offsets(i64 n, i64 m, i64 k, i64 T, i64 n_par, ekf_input_offsets* out);
/** Where trova_filter_extended_step writes each block of its packed output:
 * the linear filter's output layout (trova_filter_linear_output_offsets).
 * @param n states. @param m observables. @param k shocks. @param T periods.
 * @param return_shocks non-zero: the output has an eps_hat block.
 * @param out receives the offsets; may be NULL (only the size is returned).
 *        On -1 every field is set to -1.
 * @return the packed output's length, equal to
 *         trova_filter_extended_output_arena_size(n, m, k, T, return_shocks);
 *         -1 for a negative dimension or a size that does not fit in 64 bits. */
TROVA_API i64 trova_filter_extended_output_offsets(i64 n, i64 m, i64 k, i64 T, int return_shocks,
                                                   trova_filter_output_offsets* out);

/* ---- unscented filter of the pruned second-order model ----
 * The filtered state is z = [x1; x2] (first- and second-order parts of the
 * state deviation, nz = 2 n_state), propagated through the pruned
 * transition with 2 nz + 1 sigma points; the measurement sees the variable
 * vector (states, then controls) in levels. */

/** Inputs of ukf_hot_loop. The filtered state is z = [x1; x2] (first- and
 * second-order parts of the state deviation, nz = 2 n_state), propagated
 * through the pruned transition (x1' = hx x1, x2' = hx x2 + 1/2 hxx(x1, x1)
 * + 1/2 hss; the shocks enter through bx Q bx', added to the x1 block) with
 * 2 nz + 1 sigma points; the measurement sees the variable vector (states,
 * then controls) in levels. Sigma-point scaling c = alpha^2 (nz + kappa). */
typedef struct ukf_inputs {
    meas_fn meas;            /**< measurement of the variable vector in levels; must not be NULL */
    const f64* hx;           /**< ns x ns */
    const f64* gx;           /**< nc x ns */
    const f64* bx;           /**< ns x ne */
    const f64* hxx;          /**< ns x ns x ns */
    const f64* gxx;          /**< nc x ns x ns */
    const f64* hss;          /**< ns */
    const f64* gss;          /**< nc */
    const f64* steady_state; /**< ns + nc */
    const f64* params;       /**< n_params values, passed unchanged to meas */
    const f64* Q;   /**< ne x ne */
    const f64* R;   /**< no x no */
    const f64* obs; /**< T x no */
    const f64* z0;  /**< nz, the mean of z at t = -1 */
    const f64* P0;  /**< nz x nz, the covariance of z at t = -1 */
    i64 T;          /**< periods; T <= 0 runs none (log-likelihood 0) */
    i64 n_state;    /**< ns, > 0 */
    i64 n_ctrl;     /**< nc, >= 0 */
    i64 n_exog;     /**< ne, >= 0 */
    i64 n_obs;      /**< no, > 0 */
    i64 n_params;   /**< length of params (not read by the kernel) */
    f64 alpha;      /**< sigma-point spread */
    f64 beta;       /**< added, with 1 - alpha^2, to the centre point's covariance weight */
    f64 kappa;      /**< secondary scaling */
    /** base jitter of every Cholesky factorisation; a failed one is retried
     * once with 1e-10 times the largest diagonal element added */
    f64 jitter;
    int symmetrize;    /**< symmetrise P_pred, S and P_filt each period */
    int store_history; /**< write the per-period histories */
} ukf_inputs;

/** Histories of ukf_hot_loop, T rows each; only loglik is written without
 * store_history, and the histories may then be NULL. */
typedef struct ukf_outputs {
    f64* x1_pred;   /**< T x ns */
    f64* x2_pred;   /**< T x ns */
    f64* x1_filt;   /**< T x ns */
    f64* x2_filt;   /**< T x ns */
    /** T x (ns + nc), expected levels (the controls include 1/2 gxx applied
     * to the x1 covariance) */
    f64* x_pred;
    f64* x_filt;    /**< T x (ns + nc) */
    f64* P_pred;    /**< T x nz x nz */
    f64* P_filt;    /**< T x nz x nz */
    f64* y_pred;    /**< T x no, the sigma-point mean of the measurement */
    f64* y_filt;    /**< T x no, meas at the x_filt row */
    f64* innov;     /**< T x no */
    f64* std_innov; /**< T x no, L^-1 v */
    f64* S;         /**< T x no x no, without the jitter */
    f64* loglik;    /**< 1 */
} ukf_outputs;

/** Scratch of ukf_hot_loop: 33 ns^2 + 11 ns + ns ne + 8 ns no + 7 no + 2 no^2 + nc floats.
 * @param n_state ns
 * @param n_ctrl nc
 * @param n_exog ne
 * @param n_obs no
 * @return n_float the scratch, n_int 0; {-1, -1} for a negative dimension */
TROVA_API arena_size ukf_arena_size(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs);
/** Returns 0; -2 when meas is NULL, n_state <= 0, n_obs <= 0, or n_ctrl or
 * n_exog is negative (nothing written); -3 when the sigma-point scaling
 * c = alpha^2 (nz + kappa) is not positive and finite or the weights
 * (c - nz) / c, their centre's covariance weight with beta, and 1 / (2c) are
 * not all finite (nothing written), or when a covariance cannot be factored
 * even after one retry with more jitter (one with an entry that is not
 * finite gets no retry).
 * @param in model, callback, prior, observations and options
 * @param arena ukf_arena_size(ns, nc, ne, no).n_float values of scratch
 * @param out where the histories and the log-likelihood go
 * @return 0, -2 or -3 as above */
TROVA_API i64 ukf_hot_loop(const ukf_inputs* in, f64* arena, const ukf_outputs* out);

/** Packed input: hx | gx | bx | hxx | gxx | hss | gss | steady_state |
 * params | Q | R | obs | z0 | P0.
 * Shapes as in ukf_inputs: hx (ns x ns), gx (nc x ns), bx (ns x ne), hxx
 * (ns x ns x ns), gxx (nc x ns x ns), hss (ns), gss (nc), steady_state
 * (ns + nc), params (n_par), Q (ne x ne), R (no x no), obs (T x no), z0
 * (nz), P0 (nz x nz).
 * @param n_state ns
 * @param n_ctrl nc
 * @param n_exog ne
 * @param n_obs no
 * @param T periods
 * @param n_par parameters
 * @return its f64 count, or -1 */
TROVA_API i64 trova_filter_unscented_input_arena_size(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs,
                                                      i64 T, i64 n_par);
/** Packed output: x_pred | x_filt | P_pred | P_filt | y_pred | y_filt | innov
 * | std_innov | S | loglik | x1_pred | x2_pred | x1_filt | x2_filt.
 * Shapes as in ukf_outputs: x_pred, x_filt (T x (ns + nc)), P_pred, P_filt
 * (T x nz x nz), y_pred, y_filt, innov, std_innov (T x no), S
 * (T x no x no), loglik (1), then x1_pred, x2_pred, x1_filt, x2_filt
 * (T x ns); loglik sits before the four x1/x2 histories.
 * @param n_state ns
 * @param n_ctrl nc
 * @param n_obs no
 * @param T periods
 * @return its f64 count, or -1 */
TROVA_API i64 trova_filter_unscented_output_arena_size(i64 n_state, i64 n_ctrl, i64 n_obs, i64 T);
/** ukf_hot_loop over the packed blocks, with every history stored.
 * @param input_arena packed input (trova_filter_unscented_input_arena_size)
 * @param scratch_arena ukf_arena_size(ns, nc, ne, no).n_float values
 * @param meas measurement of the variable vector; must not be NULL
 * @param T periods
 * @param n_state ns
 * @param n_ctrl nc
 * @param n_exog ne
 * @param n_obs no
 * @param n_par parameters
 * @param alpha sigma-point spread
 * @param beta centre point's covariance weight term
 * @param kappa secondary scaling
 * @param symmetrize symmetrise P_pred, S and P_filt each period
 * @param jitter base Cholesky jitter
 * @param output_arena packed output (trova_filter_unscented_output_arena_size)
 * @return 0, -2 (also for a negative dimension; nothing written) or -3 as
 *         ukf_hot_loop */
TROVA_API i64 trova_filter_unscented_step(const f64* input_arena, f64* scratch_arena, meas_fn meas, i64 T,
                                          i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs, i64 n_par,
                                          f64 alpha, f64 beta, f64 kappa, int symmetrize, f64 jitter,
                                          f64* output_arena);

/** Context of trova_mc_filter_unscented_runner: the arguments of
 * trova_filter_unscented_step. */
typedef struct trova_mc_filter_unscented_step_ctx {
    meas_fn measurement; /**< measurement of the variable vector; must not be NULL */
    i64 T;          /**< periods */
    i64 n_state;    /**< ns */
    i64 n_ctrl;     /**< nc */
    i64 n_exog;     /**< ne */
    i64 n_obs;      /**< no */
    i64 n_par;      /**< parameters */
    f64 alpha;      /**< sigma-point spread */
    f64 beta;       /**< centre point's covariance weight term */
    f64 kappa;      /**< secondary scaling */
    int symmetrize; /**< symmetrise P_pred, S and P_filt each period */
    f64 jitter;     /**< base Cholesky jitter */
} trova_mc_filter_unscented_step_ctx;

/** Step function of the unscented filter.
 * @param rep_idx not used
 * @param float_in_work packed input, then ukf_arena_size(ns, nc, ne,
 *        no).n_float values of scratch at offset
 *        trova_filter_unscented_input_arena_size
 * @param float_out packed output (trova_filter_unscented_output_arena_size)
 * @param int_work not used
 * @param int_out int_out[0] = the status when not NULL
 * @param ctx a trova_mc_filter_unscented_step_ctx; must not be NULL
 * @return 0, -2 or -3 as trova_filter_unscented_step */
TROVA_API int trova_mc_filter_unscented_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                               i64* int_work, i64* int_out, const void* ctx);

/** Offsets of the blocks of the unscented filter's packed input, in
 * elements from the start of the block (see
 * trova_filter_unscented_input_offsets); row-major, in this order, each
 * non-empty block followed by trova_layout_gap() elements. ns = n_state,
 * nc = n_ctrl, ne = n_exog, no = n_obs, nz = 2 ns. */
typedef struct ukf_input_offsets {
    i64 hx;           /**< state transition, ns x ns */
    i64 gx;           /**< control policy, nc x ns */
    i64 bx;           /**< shock loading, ns x ne */
    i64 hxx;          /**< second-order state terms, ns x ns x ns */
    i64 gxx;          /**< second-order control terms, nc x ns x ns */
    i64 hss;          /**< state risk correction, ns */
    i64 gss;          /**< control risk correction, nc */
    i64 steady_state; /**< steady state of the variables, ns + nc */
    i64 params;       /**< parameters handed to the measurement, n_par */
    i64 Q;            /**< shock covariance, ne x ne */
    i64 R;            /**< measurement-error covariance, no x no */
    i64 obs;          /**< observations, T x no */
    i64 z0;           /**< initial mean of [x1; x2], nz */
    i64 P0;           /**< initial covariance of [x1; x2], nz x nz */
} ukf_input_offsets;

/** Where trova_filter_unscented_step finds each block of its packed input
 * (the step's own layout code, valid in every build).
 * @param n_state states. @param n_ctrl controls. @param n_exog shocks.
 * @param n_obs observables. @param T periods. @param n_par parameters.
 * @param out receives the offsets; may be NULL (only the size is returned).
 *        On -1 every field is set to -1.
 * @return the packed input's length, equal to
 *         trova_filter_unscented_input_arena_size(...) with the same
 *         arguments; -1 for a negative dimension or a size that does not fit
 *         in 64 bits. */
TROVA_API i64 trova_filter_unscented_input_offsets(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs, i64 T,
                                                   i64 n_par, ukf_input_offsets* out);
/** Where trova_filter_unscented_step writes each block of its packed output
 * (eps_hat is -1: the unscented filter has none).
 * @param n_state states. @param n_ctrl controls. @param n_obs observables.
 * @param T periods.
 * @param out receives the offsets; may be NULL (only the size is returned).
 *        On -1 every field is set to -1.
 * @return the packed output's length, equal to
 *         trova_filter_unscented_output_arena_size(n_state, n_ctrl, n_obs, T);
 *         -1 for a negative dimension or a size that does not fit in 64 bits. */
TROVA_API i64 trova_filter_unscented_output_offsets(i64 n_state, i64 n_ctrl, i64 n_obs, i64 T,
                                                    trova_filter_output_offsets* out);

TROVA_END_DECLS

#endif /* TROVA_KALMAN_H */
