// Deterministic steady state by pure Newton iteration, with the Jacobian of
// x -> f(x, x) taken by complex step.
#include <cfloat>
#include <cmath>

#include "core/work_blocks.h"
#include "trova_linalg.h"
#include "trova_model.h"

extern "C" {

TROVA_API i64 trova_steady_state_newton(trova_residual_fn residual, const f64* seed, const f64* par,
                                        i64 n_var, i64 n_par, i64 max_iter, f64 tol, f64* ss,
                                        i64* iters) {
    if (residual == nullptr) return -1;
    // The n_var x n_var Jacobian blocks, their byte count checked first.
    if (n_var > 0 && trova::layout::block_bytes<f64>(n_var, n_var) < 0) return -1;
    const i64 nn = n_var > 0 ? n_var * n_var : 0;
    trova_core::WorkBlocks work;
    c128* x_c = work.take<c128>(n_var);
    c128* par_c = work.take<c128>(n_par);
    c128* out_c = work.take<c128>(n_var);
    f64* r = work.take<f64>(n_var);
    f64* d = work.take<f64>(n_var);
    f64* a = work.take<f64>(nn);
    f64* b = work.take<f64>(nn);
    f64* J = work.take<f64>(nn);
    if (!work.ok()) return -1;

    for (i64 k = 0; k < n_var; ++k) ss[k] = seed[k];
    for (i64 k = 0; k < n_par; ++k) par_c[k] = c128{par[k], 0.0};
    *iters = 0;
    for (i64 it = 0; it < max_iter; ++it) {
        for (i64 k = 0; k < n_var; ++k) x_c[k] = c128{ss[k], 0.0};
        residual(x_c, x_c, par_c, out_c);
        // Largest |r_k|. A NaN entry would never win the comparison and
        // could pass for convergence, so it stops the iteration instead.
        f64 norm = 0.0;
        bool nan_seen = false;
        for (i64 k = 0; k < n_var; ++k) {
            r[k] = out_c[k].re;
            nan_seen |= std::isnan(r[k]);
            const f64 m = std::fabs(r[k]);
            if (m > norm) norm = m;
        }
        if (nan_seen || norm > DBL_MAX) return -3;
        if (norm < tol) {
            *iters = it;
            return 0;
        }
        if (klein_preproc(residual, ss, par, n_var, n_par, n_var, 0, a, b) != 0) return -1;
        trova_vsub(a, b, J, nn);  // df/dfwd + df/dcur
        const i64 s = trova_solve(J, r, n_var, 1, d);
        if (s != 0) return s == -2 ? -2 : -1;
        trova_vsub(ss, d, ss, n_var);
        *iters = it + 1;
    }
    return -3;  // max_iter updates without convergence
}

}  // extern "C"
