// Complex-step Jacobians of a model residual function around a point, in
// levels or in logarithms of the variables.
#include <cmath>

#include "core/work_blocks.h"
#include "trova_model.h"

namespace {

// The complex step: small enough that h^2 terms vanish below rounding, and
// safe because the imaginary part is read off without any subtraction.
constexpr f64 kStep = 1e-30;

c128 c128_log(c128 z) { return c128{std::log(std::hypot(z.re, z.im)), std::atan2(z.im, z.re)}; }

c128 c128_exp(c128 z) {
    const f64 m = std::exp(z.re);
    return c128{m * std::cos(z.im), m * std::sin(z.im)};
}

// One residual evaluation. In log-linear mode fwd and cur hold logarithms:
// the model sees their exponentials and the residual is reported as
// log(1 + f), whose derivative equals that of f where f = 0.
i64 eval_resid(trova_residual_fn resid, const c128* fwd, const c128* cur, const c128* par,
               i64 n_var, i64 n_eq, i64 log_linear, c128* out) {
    if (!log_linear) {
        resid(fwd, cur, par, out);
        return 0;
    }
    trova_core::WorkBlocks work;
    c128* ef = work.take<c128>(n_var);
    c128* ec = work.take<c128>(n_var);
    if (!work.ok()) return -1;
    for (i64 k = 0; k < n_var; ++k) {
        ef[k] = c128_exp(fwd[k]);
        ec[k] = c128_exp(cur[k]);
    }
    resid(ef, ec, par, out);
    for (i64 i = 0; i < n_eq; ++i) out[i] = c128_log(c128{1.0 + out[i].re, out[i].im});
    return 0;
}

// One Jacobian: column j is sign * Im f(base + i h e_j) / h, with the step in
// fwd (perturb_fwd nonzero) or in cur.
i64 perturb_sweep(trova_residual_fn resid, const c128* base, c128* fwd, c128* cur, const c128* par,
                  i64 n_var, i64 n_eq, i64 log_linear, int perturb_fwd, f64 sign, f64* mat,
                  c128* out) {
    if (n_var <= 0) return 0;
    for (i64 j = 0; j < n_var; ++j) {
        for (i64 k = 0; k < n_var; ++k) {
            fwd[k] = base[k];
            cur[k] = base[k];
        }
        c128* target = perturb_fwd ? fwd : cur;
        target[j] = c128{base[j].re, base[j].im + kStep};
        if (eval_resid(resid, fwd, cur, par, n_var, n_eq, log_linear, out) != 0) return -1;
        for (i64 i = 0; i < n_eq; ++i) mat[i * n_var + j] = (sign * out[i].im) / kStep;
    }
    return 0;
}

}  // namespace

extern "C" {

TROVA_API i64 klein_preproc(trova_residual_fn resid, const f64* ss, const f64* par, i64 n_var,
                            i64 n_par, i64 n_eq, i64 log_linear, f64* a, f64* b) {
    // No residual function, or Jacobians too large to address: nothing to do.
    if (resid == nullptr) return -1;
    if (n_var > 0 && n_eq > 0 && trova::layout::block_bytes<f64>(n_eq, n_var) < 0) return -1;
    trova_core::WorkBlocks work;
    c128* base = work.take<c128>(n_var);
    c128* par_c = work.take<c128>(n_par);
    c128* fwd = work.take<c128>(n_var);
    c128* cur = work.take<c128>(n_var);
    c128* out = work.take<c128>(n_eq);
    if (!work.ok()) return -1;
    for (i64 k = 0; k < n_var; ++k)
        base[k] = log_linear ? c128_log(c128{ss[k], 0.0}) : c128{ss[k], 0.0};
    for (i64 k = 0; k < n_par; ++k) par_c[k] = c128{par[k], 0.0};
    // a = df/dfwd, then b = -df/dcur; a failure in the first sweep skips the second.
    if (perturb_sweep(resid, base, fwd, cur, par_c, n_var, n_eq, log_linear, 1, 1.0, a, out) != 0)
        return -1;
    return perturb_sweep(resid, base, fwd, cur, par_c, n_var, n_eq, log_linear, 0, -1.0, b, out);
}

}  // extern "C"
