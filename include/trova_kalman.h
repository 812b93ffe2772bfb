/* Kalman filters: linear, extended (nonlinear measurement with its
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
 * rejected with -2 before anything is written, and every sizer here reports
 * it as it reports a size past 64 bits (-1). Nothing here allocates. */
#ifndef TROVA_KALMAN_H
#define TROVA_KALMAN_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/* ---- linear filter: x_t = A x_{t-1} + B eps_t, y_t = C x_t + d + u_t ---- */

typedef struct kf_inputs {
    i64 n;
    i64 m;
    i64 k;
    i64 T;
    const f64* A;  /* n x n */
    const f64* B;  /* n x k */
    const f64* C;  /* m x n */
    const f64* d;  /* m */
    const f64* Q;  /* k x k */
    const f64* R;  /* m x m */
    const f64* y;  /* T x m */
    const f64* x0; /* n, the state mean at t = -1 */
    const f64* P0; /* n x n */
    int symmetrize;    /* symmetrise P_pred, S and P_filt each period */
    f64 jitter;        /* added to the diagonal of S's factor when positive */
    int return_shocks; /* write eps_hat (needs store_history) */
    int store_history; /* write the per-period histories */
} kf_inputs;

/* Histories, T rows each; only loglik is written without store_history. */
typedef struct kf_outputs {
    f64* x_pred;    /* T x n */
    f64* x_filt;    /* T x n */
    f64* P_pred;    /* T x n x n */
    f64* P_filt;    /* T x n x n */
    f64* y_pred;    /* T x m */
    f64* y_filt;    /* T x m */
    f64* innov;     /* T x m */
    f64* std_innov; /* T x m, L^-1 v */
    f64* S;         /* T x m x m, without the jitter */
    f64* eps_hat;   /* T x k, Q B' C' S^-1 v */
    f64* loglik;    /* 1 */
} kf_outputs;

/* Building blocks, shared by the three filters. */
TROVA_API void kf_row_minus_vec(const f64* A, i64 row, const f64* x, f64* out, i64 m);
TROVA_API void kf_chol_solve_row(const f64* L, const f64* B, i64 row, f64* fbuf, f64* bbuf, f64* out,
                                 i64 n);
TROVA_API void kf_predict_cov(const f64* A, const f64* P_prev, const f64* BQBT, f64* temp_nn, f64* out,
                              i64 n);
TROVA_API void kf_measurement_cov(const f64* C, const f64* P_pred, const f64* R, f64* temp_mn, f64* out,
                                  i64 n, i64 m);
TROVA_API void kf_pc_t(const f64* P_pred, const f64* C, f64* out, i64 n, i64 m);
TROVA_API void kf_gain_from_pc_t(const f64* L, const f64* PCt, f64* fbuf, f64* bbuf, f64* out, i64 n,
                                 i64 m);
TROVA_API void kf_state_update(const f64* x_pred, const f64* K, const f64* v, f64* out, i64 n, i64 m);
TROVA_API void kf_identity_minus(const f64* A, f64* out, i64 n);
TROVA_API void kf_joseph_cov(const f64* K, const f64* C, const f64* P_pred, const f64* R, f64* KC,
                             f64* I_minus_KC, f64* temp_nn, f64* temp_nm, f64* out, i64 n, i64 m);
TROVA_API void kf_build_bqbt(const f64* B, const f64* Q, f64* temp_nk, f64* out, i64 n, i64 k);
TROVA_API void kf_build_shock_projection(const f64* B, const f64* C, const f64* Q, f64* temp_km,
                                         f64* out, i64 n, i64 k, i64 m);

/* Scratch of kf_hot_loop: 2n + 7m + 6n^2 + 2m^2 + 4nm + nk + 2km floats.
 * Here and below, a size that does not fit in 64 bits is reported as
 * {-1, -1} (arena_size) or -1 (single counts). */
TROVA_API arena_size kf_arena_size(i64 n, i64 m, i64 k);
/* Returns 0; -2 when n, m or k is negative (nothing written); -3 when S
 * cannot be factored. */
TROVA_API int kf_hot_loop(const kf_inputs* in, f64* arena, const kf_outputs* out);

/* The steps return the kernel's status, or -2 for a negative dimension
 * (nothing written); their runners store it in int_out[0].
 * Packed input: A | B | C | d | Q | R | y | x0 | P0. */
TROVA_API i64 trova_filter_linear_input_arena_size(i64 n, i64 m, i64 k, i64 T);
/* Packed output: x_pred | x_filt | P_pred | P_filt | y_pred | y_filt |
 * innov | std_innov | S | eps_hat (with return_shocks) | loglik. */
TROVA_API i64 trova_filter_linear_output_arena_size(i64 n, i64 m, i64 k, i64 T, int return_shocks);
TROVA_API int trova_filter_linear_step(const f64* input_arena, f64* scratch_arena, i64 T, i64 n, i64 m,
                                       i64 k, int symmetrize, f64 jitter, int return_shocks,
                                       f64* output_arena);

typedef struct trova_mc_filter_linear_step_ctx {
    i64 T;
    i64 n;
    i64 m;
    i64 k;
    int symmetrize;
    f64 jitter;
    int return_shocks;
} trova_mc_filter_linear_step_ctx;

/* Float input lane: packed input, then the kf_arena_size scratch. */
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

/* Measurement (writes h, m values) or Jacobian (writes H, m x n row-major)
 * at a state; called from worker threads. The unscented filter passes the
 * variable vector in levels instead of the state. */
typedef void (*meas_fn)(const f64* x, const f64* params, f64* out);

typedef struct ekf_inputs {
    meas_fn meas;
    meas_fn jac;
    const f64* A;
    const f64* B;
    const f64* calib_params;
    const f64* Q;
    const f64* R;
    const f64* y;
    const f64* x0;
    const f64* P0;
    i64 T;
    i64 n;
    i64 m;
    i64 k;
    i64 n_par;
    f64 jitter;
    int symmetrize;
    int compute_y_filt; /* y_filt = h(x_filt) in the history */
    int return_shocks;
    int store_history;
} ekf_inputs;

typedef struct ekf_outputs {
    f64* x_pred;
    f64* x_filt;
    f64* P_pred;
    f64* P_filt;
    f64* y_pred;
    f64* y_filt;
    f64* innov;
    f64* std_innov;
    f64* S;
    f64* eps_hat;
    f64* loglik;
} ekf_outputs;

/* Scratch of ekf_hot_loop: 2n + 6m + 6n^2 + 2m^2 + 5nm + nk + 2km floats. */
TROVA_API arena_size ekf_arena_size(i64 n, i64 m, i64 k);
/* Returns 0; -2 when meas or jac is NULL or n, m or k is negative (nothing
 * written); -3 when S cannot be factored. */
TROVA_API int ekf_hot_loop(const ekf_inputs* in, f64* arena, const ekf_outputs* out);

/* Packed input: A | B | calib_params | Q | R | y | x0 | P0. */
TROVA_API i64 trova_filter_extended_input_arena_size(i64 n, i64 m, i64 k, i64 T, i64 n_par);
/* The linear filter's output layout. */
TROVA_API i64 trova_filter_extended_output_arena_size(i64 n, i64 m, i64 k, i64 T, int return_shocks);
TROVA_API int trova_filter_extended_step(const f64* input_arena, f64* scratch_arena, meas_fn meas,
                                         meas_fn jac, i64 T, i64 n, i64 m, i64 k, i64 n_par,
                                         int symmetrize, f64 jitter, int return_shocks,
                                         f64* output_arena);

typedef struct trova_mc_filter_extended_step_ctx {
    meas_fn measurement;
    meas_fn jacobian;
    i64 T;
    i64 n;
    i64 m;
    i64 k;
    i64 n_par;
    int symmetrize;
    f64 jitter;
    int return_shocks;
} trova_mc_filter_extended_step_ctx;

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

typedef struct ukf_inputs {
    meas_fn meas;
    const f64* hx;           /* ns x ns */
    const f64* gx;           /* nc x ns */
    const f64* bx;           /* ns x ne */
    const f64* hxx;          /* ns x ns x ns */
    const f64* gxx;          /* nc x ns x ns */
    const f64* hss;          /* ns */
    const f64* gss;          /* nc */
    const f64* steady_state; /* ns + nc */
    const f64* params;
    const f64* Q;   /* ne x ne */
    const f64* R;   /* no x no */
    const f64* obs; /* T x no */
    const f64* z0;  /* nz */
    const f64* P0;  /* nz x nz */
    i64 T;
    i64 n_state;
    i64 n_ctrl;
    i64 n_exog;
    i64 n_obs;
    i64 n_params;
    f64 alpha;
    f64 beta;
    f64 kappa;
    f64 jitter;
    int symmetrize;
    int store_history;
} ukf_inputs;

typedef struct ukf_outputs {
    f64* x1_pred;   /* T x ns */
    f64* x2_pred;   /* T x ns */
    f64* x1_filt;   /* T x ns */
    f64* x2_filt;   /* T x ns */
    f64* x_pred;    /* T x (ns + nc), expected levels */
    f64* x_filt;    /* T x (ns + nc) */
    f64* P_pred;    /* T x nz x nz */
    f64* P_filt;    /* T x nz x nz */
    f64* y_pred;    /* T x no */
    f64* y_filt;    /* T x no, meas at the x_filt row */
    f64* innov;     /* T x no */
    f64* std_innov; /* T x no */
    f64* S;         /* T x no x no */
    f64* loglik;    /* 1 */
} ukf_outputs;

/* Scratch of ukf_hot_loop: 33 ns^2 + 11 ns + ns ne + 8 ns no + 7 no + 2 no^2 + nc floats. */
TROVA_API arena_size ukf_arena_size(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs);
/* Returns 0; -2 when meas is NULL, n_state <= 0, n_obs <= 0, or n_ctrl or
 * n_exog is negative (nothing written); -3 when the sigma-point scaling
 * c = alpha^2 (nz + kappa) is not positive and finite or the weights
 * (c - nz) / c, their centre's covariance weight with beta, and 1 / (2c) are
 * not all finite (nothing written), or when a covariance cannot be factored
 * even after one retry with more jitter (one with an entry that is not
 * finite gets no retry). */
TROVA_API i64 ukf_hot_loop(const ukf_inputs* in, f64* arena, const ukf_outputs* out);

/* Packed input: hx | gx | bx | hxx | gxx | hss | gss | steady_state |
 * params | Q | R | obs | z0 | P0. */
TROVA_API i64 trova_filter_unscented_input_arena_size(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs,
                                                      i64 T, i64 n_par);
/* Packed output: x_pred | x_filt | P_pred | P_filt | y_pred | y_filt | innov
 * | std_innov | S | loglik | x1_pred | x2_pred | x1_filt | x2_filt. */
TROVA_API i64 trova_filter_unscented_output_arena_size(i64 n_state, i64 n_ctrl, i64 n_obs, i64 T);
TROVA_API i64 trova_filter_unscented_step(const f64* input_arena, f64* scratch_arena, meas_fn meas, i64 T,
                                          i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs, i64 n_par,
                                          f64 alpha, f64 beta, f64 kappa, int symmetrize, f64 jitter,
                                          f64* output_arena);

typedef struct trova_mc_filter_unscented_step_ctx {
    meas_fn measurement;
    i64 T;
    i64 n_state;
    i64 n_ctrl;
    i64 n_exog;
    i64 n_obs;
    i64 n_par;
    f64 alpha;
    f64 beta;
    f64 kappa;
    int symmetrize;
    f64 jitter;
} trova_mc_filter_unscented_step_ctx;

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
