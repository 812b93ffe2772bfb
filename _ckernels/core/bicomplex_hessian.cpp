// Exact second derivatives of a model residual function by bicomplex step:
// the ij-component of f(z + i h e_r + j h e_c) is h^2 d2f/dz_r dz_c up to
// O(h^4), with no subtraction of nearby values.
//
// Most pairs (r, c) of a model's variables meet in no equation, and their
// second derivative is exactly zero. The dependency pattern (which equation
// moves with which variable) is found first by complex steps at the point and
// at two perturbed points; only pairs that share an equation are evaluated,
// each by the same call and with the same writes as the all-pairs loop. A few
// bicomplex calls along pseudo-random directions then check the assembled
// Hessian; any disagreement (a dependency the pattern missed, e.g. from a
// residual that is not analytic) sends the evaluation through every pair.
#include <cmath>
#include <cstring>

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

// Deterministic pattern in +-[0.5, 1.5): a fixed 64-bit LCG, so every call
// of the Hessian probes the same points and directions.
struct Pattern {
    unsigned long long s;
    f64 next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        const f64 mag = 0.5 + static_cast<f64>(s >> 11) * 0x1.0p-53;
        return (s >> 10) & 1 ? mag : -mag;
    }
};

// Pair (r, c) of the upper triangle by bicomplex step, written to (e, r, c)
// and (e, c, r) of every equation.
void eval_pair(bc_residual_fn residual, bc256* fwd, bc256* cur, const bc256* par_c, bc256* out,
               i64 n_var, i64 n_eq, f64 step, f64 inv_h2, i64 r, i64 c, f64* hessian) {
    const i64 m = 2 * n_var;
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

constexpr int kPerturbedPoints = 2;
constexpr int kChecks = 3;
// Agreement asked of a check: far above the rounding of a bicomplex call and
// of the contraction, far below any entry a missed pair would leave out.
constexpr f64 kCheckTol = 1e-11;

}  // namespace

extern "C" {

TROVA_API i64 trova_bicomplex_hessian(bc_residual_fn residual, const f64* ss, const f64* par,
                                      i64 n_var, i64 n_par, i64 n_eq, f64 step, f64* hessian) {
    if (residual == nullptr) return -1;
    // A Hessian whose (2 n_var)^2 block, or n_eq of them, cannot be addressed.
    if (n_var > 0 && (trova::layout::block_bytes<f64>(2, n_var, 2, n_var) < 0 ||
                      (n_eq > 0 && trova::layout::block_bytes<f64>(n_eq, 2, n_var, 2, n_var) < 0)))
        return -1;
    const i64 m = 2 * n_var;
    trova_core::WorkBlocks work;
    bc256* fwd = work.take<bc256>(n_var);
    bc256* cur = work.take<bc256>(n_var);
    bc256* par_c = work.take<bc256>(n_par);
    bc256* out = work.take<bc256>(n_eq);
    f64* dir_u = work.take<f64>(m);
    f64* dir_v = work.take<f64>(m);
    // dep[q * n_eq + e] != 0: equation e moves with z[q] (m n_eq cannot
    // overflow: the Hessian's n_eq m m doubles are addressable).
    unsigned char* dep = work.take<unsigned char>(m * n_eq);
    if (!work.ok()) return -1;
    for (i64 k = 0; k < n_var; ++k) fwd[k] = cur[k] = bc256_from_real(ss[k]);
    for (i64 k = 0; k < n_par; ++k) par_c[k] = bc256_from_real(par[k]);
    const f64 inv_h2 = 1.0 / (step * step);
    const i64 n_pairs = m * (m + 1) / 2;
    // The pattern and the checks cost (1 + kPerturbedPoints) m + kChecks
    // calls; below that every pair is cheaper (and with no equation there is
    // no pattern to find).
    bool full = n_eq < 1 || n_pairs <= (1 + kPerturbedPoints) * m + kChecks;

    if (!full) {
        std::memset(dep, 0, static_cast<std::size_t>(m * n_eq));
        Pattern pat{0x9e3779b97f4a7c15ULL};
        for (int p = 0; p <= kPerturbedPoints; ++p) {
            // p = 0: the point itself; then z + 1e-3 (1 + |z|) u, fwd and cur
            // moved independently.
            for (i64 q = 0; q < m; ++q) {
                const f64 z = ss[q < n_var ? q : q - n_var];
                const f64 x = p == 0 ? z : z + 1e-3 * (1.0 + std::fabs(z)) * pat.next();
                z_entry(fwd, cur, n_var, q) = bc256_from_real(x);
            }
            for (i64 q = 0; q < m; ++q) {
                set_i_unit(fwd, cur, n_var, q, step);
                residual(fwd, cur, par_c, out);
                set_i_unit(fwd, cur, n_var, q, 0.0);
                unsigned char* d = dep + q * n_eq;
                // A NaN or infinite derivative counts as a dependency.
                for (i64 e = 0; e < n_eq; ++e) d[e] |= !(out[e].a.im == 0.0);
            }
        }
        for (i64 k = 0; k < n_var; ++k) fwd[k] = cur[k] = bc256_from_real(ss[k]);

        std::memset(hessian, 0, static_cast<std::size_t>(n_eq * m * m) * sizeof(f64));
        for (i64 r = 0; r < m; ++r) {
            const unsigned char* dr = dep + r * n_eq;
            bool any = false;
            for (i64 e = 0; e < n_eq; ++e) any |= dr[e] != 0;
            if (!any) continue;
            for (i64 c = r; c < m; ++c) {
                const unsigned char* dc = dep + c * n_eq;
                unsigned char shared = 0;
                for (i64 e = 0; e < n_eq; ++e) shared |= dr[e] & dc[e];
                if (shared)
                    eval_pair(residual, fwd, cur, par_c, out, n_var, n_eq, step, inv_h2, r, c,
                              hessian);
            }
        }

        // Check u' H_e v against one bicomplex call along u (i) and v (j).
        for (int k = 0; k < kChecks && !full; ++k) {
            for (i64 q = 0; q < m; ++q) {
                dir_u[q] = pat.next();
                dir_v[q] = pat.next();
                set_i_unit(fwd, cur, n_var, q, step * dir_u[q]);
                set_j_unit(fwd, cur, n_var, q, step * dir_v[q]);
            }
            residual(fwd, cur, par_c, out);
            for (i64 q = 0; q < m; ++q) {
                set_i_unit(fwd, cur, n_var, q, 0.0);
                set_j_unit(fwd, cur, n_var, q, 0.0);
            }
            for (i64 e = 0; e < n_eq && !full; ++e) {
                const f64* he = hessian + e * m * m;
                f64 sum = 0.0, mag = 0.0;
                for (i64 r = 0; r < m; ++r) {
                    const f64* row = he + r * m;
                    f64 s = 0.0, a = 0.0;
                    for (i64 c = 0; c < m; ++c) {
                        s += row[c] * dir_v[c];
                        a += std::fabs(row[c] * dir_v[c]);
                    }
                    sum += dir_u[r] * s;
                    mag += std::fabs(dir_u[r]) * a;
                }
                const f64 call = inv_h2 * out[e].b.im;
                if (!std::isfinite(call) || !std::isfinite(sum)) {
                    // Non-finite on one side only is a disagreement.
                    full = std::isfinite(call) || std::isfinite(sum);
                } else {
                    full = !(std::fabs(call - sum) <= kCheckTol * (mag + std::fabs(call)));
                }
            }
        }
        if (!full) return 0;
    }

    for (i64 r = 0; r < m; ++r)
        for (i64 c = r; c < m; ++c)
            eval_pair(residual, fwd, cur, par_c, out, n_var, n_eq, step, inv_h2, r, c, hessian);
    return 0;
}

}  // extern "C"
