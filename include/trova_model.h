/** @file
 * Model-solution kernels around a compiled residual function: complex-step
 * linearisation (in levels or in logarithms), evaluation along a path and a
 * direct pass-through call. The model is f(fwd, cur, par) = 0 with fwd the
 * next-period and cur the current values of the n_var variables (states
 * first, then controls). These kernels allocate per-call work memory from
 * the heap and free all of it before they return, on every path.
 * Status: 0 success, -1 invalid input or allocation failure: a null
 * callback, or dimensions whose arrays (caller's or work) would not fit in
 * 64-bit byte counts, are refused before anything is called or written. The
 * Newton steady state and the bicomplex-step Hessian sit on top of the
 * linearisation.
 *
 * Matrices are row-major. The residual callbacks are the caller's: the
 * kernels call them from the calling thread only, one call after the other,
 * and start no threads. Every kernel here is reentrant. */
#ifndef TROVA_MODEL_H
#define TROVA_MODEL_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/** Writes the n_eq residuals of the model at (fwd, cur, par) into out. It
 * must be analytic in its arguments (carry imaginary parts through). The
 * arrays hold next-period values (n_var), current values (n_var) and
 * parameters (n_par); the library passes no sizes, the model implies them.
 * It must write all n_eq entries of out. */
typedef void (*trova_residual_fn)(const c128* fwd, const c128* cur, const c128* par, c128* out);

/** A residual function of two complex arrays and a count, called once by
 * spike_call. */
typedef void (*spike_residual_fn)(const c128* a, const c128* b, c128* out, i64 n);

/** a = df/dfwd and b = -df/dcur at (ss, ss), each n_eq x n_var row-major, by
 * complex step h = 1e-30. With log_linear nonzero the derivatives are with
 * respect to log x of the residual log(1 + f): entry x_j df_i/dx_j / (1 + f_i).
 * The model a dx(t+1) = b dx(t) is then what klein_qz solves. Log-linear
 * mode presumes ss > 0 and 1 + f > 0 at the point; nothing checks it. An
 * allocation failure during the sweeps (log-linear mode) leaves a partly
 * written and b untouched, or a complete and b partly written.
 * @param resid the residual function; NULL gives -1
 * @param ss the point (n_var)
 * @param par parameters (n_par)
 * @param n_var variables
 * @param n_par parameters
 * @param n_eq equations
 * @param log_linear nonzero: derivatives in logarithms
 * @param a df/dfwd (n_eq x n_var)
 * @param b -df/dcur (n_eq x n_var)
 * @return 0 success; -1 invalid input or allocation failure */
TROVA_API i64 klein_preproc(trova_residual_fn resid, const f64* ss, const f64* par, i64 n_var,
                            i64 n_par, i64 n_eq, i64 log_linear, f64* a, f64* b);

/** residuals[t][i] = Re f_i(fwd[t], cur[t], par) for t < n_steps; -1 also
 * for n_var < 0 when there are steps. Note the order: cur comes before fwd
 * here, while the callback takes fwd first. n_steps <= 0 calls nothing.
 * @param resid the residual function; NULL gives -1
 * @param cur current values (n_steps x n_var)
 * @param fwd next-period values (n_steps x n_var)
 * @param par parameters, passed to every call as given
 * @param n_steps points on the path
 * @param n_var variables
 * @param n_eq equations
 * @param residuals real parts of the residuals (n_steps x n_eq)
 * @return 0 success; -1 invalid input or allocation failure */
TROVA_API i64 trova_residual_path(trova_residual_fn resid, const c128* cur, const c128* fwd,
                                  const c128* par, i64 n_steps, i64 n_var, i64 n_eq,
                                  f64* residuals);

/** Calls fn(a, b, out, n) once; does nothing when fn is null. Nothing else
 * is read or written.
 * @param fn the function, or NULL
 * @param a first array, passed through
 * @param b second array, passed through
 * @param out output array, passed through
 * @param n count, passed through */
TROVA_API void spike_call(spike_residual_fn fn, const c128* a, const c128* b, c128* out, i64 n);

/** A bicomplex number a + j b with complex halves a and b: two independent
 * imaginary units, i inside each c128 and j. A real x is {(x, 0), (0, 0)}. */
typedef struct bc256 {
    c128 a; /**< the part without j: re + i im */
    c128 b; /**< the coefficient of j: its re is the j part, its im the ij part */
} bc256;

/** The residual function of trova_residual_fn in bicomplex arithmetic: same
 * arrays, same sizes, all n_eq entries of out written. */
typedef void (*bc_residual_fn)(const bc256* fwd, const bc256* cur, const bc256* par, bc256* out);

/** Pure Newton on x -> f(x, x) from seed (n_var equations), Jacobian by complex
 * step, stopping when the largest |f_k| is below tol. Status: 0 converged,
 * -1 null residual, n_var x n_var too large, allocation or linearisation
 * failure, -2 singular Jacobian, -3 iteration limit reached or a residual
 * that is infinite or NaN. ss holds the last iterate and iters the completed
 * updates on 0, -2 and -3; a -1 before the first iteration leaves both
 * untouched. The last update is not evaluated again, so max_iter = 1 is -3
 * even when that update lands on the solution; max_iter <= 0 gives -3 with
 * ss = seed.
 * @param residual the model; NULL gives -1
 * @param seed starting point (n_var)
 * @param par parameters (n_par)
 * @param n_var variables (and equations)
 * @param n_par parameters
 * @param max_iter most Newton updates
 * @param tol convergence threshold on the largest |residual|
 * @param ss the steady state (n_var); may be seed
 * @param iters completed updates
 * @return 0, -1, -2 or -3 */
TROVA_API i64 trova_steady_state_newton(trova_residual_fn residual, const f64* seed, const f64* par,
                                        i64 n_var, i64 n_par, i64 max_iter, f64 tol, f64* ss,
                                        i64* iters);

/** Second derivatives of every residual with respect to z = (fwd; cur) at
 * fwd = cur = ss, by bicomplex step: hessian is n_eq x 2n_var x 2n_var,
 * element (e, r, c) at e (2n_var)^2 + r 2n_var + c, symmetric in r and c.
 * Only pairs (r, c) that some equation depends on together are evaluated
 * (one residual call each); every other entry is 0. Which equation depends
 * on which variable is found by complex steps at ss and at two nearby
 * points, and three bicomplex calls along fixed pseudo-random directions
 * check the result; if they disagree (a dependency the pattern missed, e.g.
 * a residual that is not analytic), every pair is evaluated. Either way
 * each evaluated pair has the bits the all-pairs loop gives it and each
 * skipped pair is the 0 that loop finds there. Small models
 * (2n_var (2n_var + 1) / 2 <= 6 n_var + 3) and n_eq = 0 evaluate every pair
 * directly. The residual is called from the calling thread, one call after
 * the other.
 * Status: 0 success, -1 null residual, a Hessian too large to address or
 * allocation failure (nothing written). Non-finite values of the residual
 * are copied in unchecked.
 * @param residual the model in bicomplex arithmetic; NULL gives -1
 * @param ss the point (n_var)
 * @param par parameters (n_par)
 * @param n_var variables
 * @param n_par parameters
 * @param n_eq equations
 * @param step the step h of both imaginary units; nothing is subtracted,
 *        so a small h (with h^2 still a normal number) gives derivatives to
 *        rounding accuracy
 * @param hessian second derivatives (n_eq x 2n_var x 2n_var)
 * @return 0 or -1 */
TROVA_API i64 trova_bicomplex_hessian(bc_residual_fn residual, const f64* ss, const f64* par,
                                      i64 n_var, i64 n_par, i64 n_eq, f64 step, f64* hessian);

TROVA_END_DECLS

#endif /* TROVA_MODEL_H */
