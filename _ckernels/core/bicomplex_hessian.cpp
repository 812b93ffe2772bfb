// Exact second derivatives of a model residual function by bicomplex step:
// the ij-component of f(z + i h e_r + j h e_c) is h^2 d2f/dz_r dz_c up to
// O(h^4), with no subtraction of nearby values.
#include "core/work_blocks.h"
#include "trova_model.h"

namespace {

c128 c128_make(f64 re, f64 im) { return c128{re, im}; }
c128 c128_from_real(f64 x) { return c128_make(x, 0.0); }
bc256 bc256_make(c128 a, c128 b) { return bc256{a, b}; }
bc256 bc256_from_real(f64 x) { return bc256_make(c128_from_real(x), c128_from_real(0.0)); }

// Entry q of z = (fwd; cur).
bc256& z_entry(bc256* fwd, bc256* cur, i64 n_var, i64 q) {
    return q < n_var ? fwd[q] : cur[q - n_var];
}
void set_i_unit(bc256* fwd, bc256* cur, i64 n_var, i64 q, f64 v) {
    z_entry(fwd, cur, n_var, q).a.im = v;
}
void set_j_unit(bc256* fwd, bc256* cur, i64 n_var, i64 q, f64 v) {
    z_entry(fwd, cur, n_var, q).b.re = v;
}

}  // namespace

extern "C" {

TROVA_API i64 trova_bicomplex_hessian(bc_residual_fn residual, const f64* ss, const f64* par,
                                      i64 n_var, i64 n_par, i64 n_eq, f64 step, f64* hessian) {
    if (residual == nullptr) return -1;
    // A Hessian whose (2 n_var)^2 block, or n_eq of them, cannot be addressed.
    if (n_var > 0 && (trova::layout::block_bytes<f64>(2, n_var, 2, n_var) < 0 ||
                      (n_eq > 0 && trova::layout::block_bytes<f64>(n_eq, 2, n_var, 2, n_var) < 0)))
        return -1;
    trova_core::WorkBlocks work;
    bc256* fwd = work.take<bc256>(n_var);
    bc256* cur = work.take<bc256>(n_var);
    bc256* par_c = work.take<bc256>(n_par);
    bc256* out = work.take<bc256>(n_eq);
    if (!work.ok()) return -1;
    for (i64 k = 0; k < n_var; ++k) fwd[k] = cur[k] = bc256_from_real(ss[k]);
    for (i64 k = 0; k < n_par; ++k) par_c[k] = bc256_from_real(par[k]);
    const i64 m = 2 * n_var;
    const f64 inv_h2 = 1.0 / (step * step);
    for (i64 r = 0; r < m; ++r) {
        for (i64 c = r; c < m; ++c) {
            set_i_unit(fwd, cur, n_var, r, step);
            set_j_unit(fwd, cur, n_var, c, step);
            residual(fwd, cur, par_c, out);
            for (i64 e = 0; e < n_eq; ++e) {
                const f64 v = inv_h2 * out[e].b.im;
                hessian[e * m * m + r * m + c] = v;
                hessian[e * m * m + c * m + r] = v;
            }
            set_i_unit(fwd, cur, n_var, r, 0.0);
            set_j_unit(fwd, cur, n_var, c, 0.0);
        }
    }
    return 0;
}

}  // extern "C"
