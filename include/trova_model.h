/* Model-solution kernels around a compiled residual function: complex-step
 * linearisation (in levels or in logarithms), evaluation along a path and a
 * direct pass-through call. The model is f(fwd, cur, par) = 0 with fwd the
 * next-period and cur the current values of the n_var variables (states
 * first, then controls). These kernels allocate per-call work memory from
 * the heap and free all of it before they return, on every path.
 * Status: 0 success, -1 allocation failure. */
#ifndef TROVA_MODEL_H
#define TROVA_MODEL_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/* Writes the n_eq residuals of the model at (fwd, cur, par) into out. It
 * must be analytic in its arguments (carry imaginary parts through). */
typedef void (*trova_residual_fn)(const c128* fwd, const c128* cur, const c128* par, c128* out);

typedef void (*spike_residual_fn)(const c128* a, const c128* b, c128* out, i64 n);

/* a = df/dfwd and b = -df/dcur at (ss, ss), each n_eq x n_var row-major, by
 * complex step h = 1e-30. With log_linear nonzero the derivatives are with
 * respect to log x of the residual log(1 + f): entry x_j df_i/dx_j / (1 + f_i). */
TROVA_API i64 klein_preproc(trova_residual_fn resid, const f64* ss, const f64* par, i64 n_var,
                            i64 n_par, i64 n_eq, i64 log_linear, f64* a, f64* b);

/* residuals[t][i] = Re f_i(fwd[t], cur[t], par) for t < n_steps. */
TROVA_API i64 trova_residual_path(trova_residual_fn resid, const c128* cur, const c128* fwd,
                                  const c128* par, i64 n_steps, i64 n_var, i64 n_eq,
                                  f64* residuals);

/* Calls fn(a, b, out, n) once. */
TROVA_API void spike_call(spike_residual_fn fn, const c128* a, const c128* b, c128* out, i64 n);

TROVA_END_DECLS

#endif /* TROVA_MODEL_H */
