// Lasso on the Gram form: cyclic coordinate descent for one penalty, the
// LARS path with the lasso modification (variables leave the active set when
// their coefficient would change sign), and evaluation of the piecewise-
// linear path at any penalties.
#include <cfloat>
#include <cmath>

#include "_common/dense.h"
#include "regression/regression_internal.h"
#include "trova_linalg.h"

namespace {

using trova::regression::trova_smooth_threshold;

// Solves A x = b (A n x n, row-major) by Gaussian elimination with partial
// pivoting (the first row with the strictly largest magnitude wins) and back
// substitution. A and b are destroyed; no pivot is tested for zero.
void trova_solve_small(f64* A, f64* b, i64 n, f64* x) {
    for (i64 col = 0; col < n; ++col) {
        i64 piv = col;
        f64 best = std::fabs(A[col * n + col]);
        for (i64 r = col + 1; r < n; ++r) {
            const f64 v = std::fabs(A[r * n + col]);
            if (v > best) {
                best = v;
                piv = r;
            }
        }
        if (piv != col) {
            for (i64 j = 0; j < n; ++j) {
                const f64 t = A[col * n + j];
                A[col * n + j] = A[piv * n + j];
                A[piv * n + j] = t;
            }
            const f64 t = b[col];
            b[col] = b[piv];
            b[piv] = t;
        }
        const f64* pivot_row = A + col * n;
        for (i64 r = col + 1; r < n; ++r) {
            const f64 factor = A[r * n + col] / pivot_row[col];
            f64* row = A + r * n;
            for (i64 j = col; j < n; ++j) row[j] -= factor * pivot_row[j];
            b[r] -= factor * b[col];
        }
    }
    for (i64 i = n - 1; i >= 0; --i) {
        const f64* row = A + i * n;
        f64 s = b[i];
        for (i64 j = i + 1; j < n; ++j) s -= row[j] * x[j];
        x[i] = s / row[i];
    }
}

}  // namespace

extern "C" {

TROVA_API i64 trova_lasso_gram_cd(const f64* G, const f64* g, i64 k, f64 alpha, i64 max_iter, f64 tol,
                                  f64* coef, f64* Gcoef) {
    for (i64 j = 0; j < k; ++j) coef[j] = Gcoef[j] = 0.0;
    // A NaN penalty would threshold everything to zero.
    if (max_iter <= 0 || std::isnan(alpha)) return REGRESSION_NON_CONVERGENT;
    // The reciprocals of the diagonal, formed once: a move multiplies by
    // them instead of dividing, which keeps the division off the chain that
    // runs from one coordinate's move to the next coordinate's z.
    f64 inv_diag[trova::regression::kCdInvDiagCap];
    const bool cached = k <= trova::regression::kCdInvDiagCap;
    if (cached)
        for (i64 j = 0; j < k; ++j) inv_diag[j] = 1.0 / G[j * k + j];
    // gc holds Gcoef[j] of the coordinate about to be visited. After a move
    // it is formed in a register by the same fused multiply-add that the
    // move applies to memory, so the next coordinate does not wait for the
    // value to come back through a store.
    f64 gc = k > 0 ? Gcoef[0] : 0.0;
    for (i64 sweep = 0; sweep < max_iter; ++sweep) {
        f64 max_delta = 0.0;
        for (i64 j = 0; j < k; ++j) {
            const i64 next = j + 1 < k ? j + 1 : 0;
            const f64* Gj = G + j * k;  // row j = column j: G is symmetric
            const f64 d = Gj[j];
            if (d <= 0.0) {  // a NaN diagonal is not skipped
                gc = Gcoef[next];
                continue;
            }
            const f64 inv = cached ? inv_diag[j] : 1.0 / d;
            // z = g[j] + coef[j] d - Gcoef[j] and S(z, alpha) are formed
            // with every term but gc added beforehand, so that a move waits
            // on the previous one through one subtraction and two fused
            // multiply-adds only.
            const f64 c = coef[j];
            const f64 h = g[j] + c * d;
            const f64 z = h - gc;
            f64 s = 0.0;
            if (z > alpha) s = (h - alpha) - gc;
            else if (z < -alpha) s = (h + alpha) - gc;
            const f64 updated = s * inv;
            const f64 delta = std::fma(s, inv, -c);
            // The threshold maps a NaN z to 0 and a NaN move is never above
            // tol: either would pass for convergence, so a NaN in G or g
            // stops the descent here with the last iterate.
            if (std::isnan(z) || std::isnan(delta)) return REGRESSION_NON_CONVERGENT;
            if (std::fabs(delta) > tol) {
                const f64 before = Gcoef[next];
                trova::regression::cd_axpy(delta, Gj, Gcoef, k);
                gc = std::fma(delta, Gj[next], before);
                coef[j] = updated;
                if (std::fabs(delta) > max_delta) max_delta = std::fabs(delta);
            } else {
                gc = Gcoef[next];
            }
        }
        if (max_delta < tol)
            return trova::regression::all_finite(coef, k) ? REGRESSION_OK : REGRESSION_NON_CONVERGENT;
    }
    return REGRESSION_NON_CONVERGENT;
}

TROVA_API i64 trova_lars_lasso_gram(const f64* G, const f64* c, i64 k, i64 max_iter, f64 tol,
                                    f64* lam_path, f64* beta_path, i64* n_knots, f64* work) {
    f64* beta = work;
    f64* sign = work + k;
    f64* chat = work + 2 * k;
    f64* rhs = work + 3 * k;
    f64* w = work + 4 * k;
    f64* u = work + 5 * k;
    f64* a = work + 6 * k;
    f64* GAA = work + 7 * k;
    f64* active = work + 7 * k + k * k;

    // A NaN never wins a comparison, so a non-finite G or c would leave its
    // variables out of the path unnoticed: no knot is written then.
    if (!trova::regression::all_finite(c, k) || !trova::regression::all_finite(G, k * k)) {
        *n_knots = 0;
        return REGRESSION_NON_CONVERGENT;
    }
    f64 lam = 0.0;
    for (i64 j = 0; j < k; ++j) {
        beta[j] = sign[j] = active[j] = 0.0;
        chat[j] = c[j];
        if (std::fabs(c[j]) > lam) lam = std::fabs(c[j]);
    }
    lam_path[0] = lam;
    for (i64 j = 0; j < k; ++j) beta_path[j] = 0.0;
    if (lam <= tol) {
        *n_knots = 1;
        return REGRESSION_OK;
    }
    if (max_iter <= 0) {
        *n_knots = 1;
        return REGRESSION_NON_CONVERGENT;
    }

    i64 knot = 1, n_active = 0;
    bool dropped = false;
    for (;;) {
        if (!dropped) {
            // The inactive variable with the largest correlation enters.
            i64 enter = -1;
            f64 best = 0.0;
            for (i64 j = 0; j < k; ++j) {
                if (active[j] != 0.0) continue;
                const f64 v = std::fabs(chat[j]);
                if (enter < 0 || v > best) {
                    enter = j;
                    best = v;
                }
            }
            if (enter >= 0) {
                active[enter] = 1.0;
                sign[enter] = chat[enter] > 0.0 ? 1.0 : -1.0;
                ++n_active;
                lam = std::fabs(chat[enter]);
            } else if (n_active == 0) {
                *n_knots = knot;
                return REGRESSION_OK;
            }
        }
        if (dropped && n_active == 0) {
            *n_knots = knot;
            return REGRESSION_NON_CONVERGENT;
        }

        // The equiangular direction: G_AA w = s_A, u = w / sqrt(s_A' w). The
        // active indices, in increasing order, wait in the block of a = G u
        // until u is formed.
        f64* idx = a;
        for (i64 j = 0, r = 0; j < k; ++j)
            if (active[j] != 0.0) idx[r++] = static_cast<f64>(j);
        for (i64 r = 0; r < n_active; ++r) {
            const f64* Gr = G + static_cast<i64>(idx[r]) * k;
            rhs[r] = sign[static_cast<i64>(idx[r])];
            for (i64 s = 0; s < n_active; ++s) GAA[r * n_active + s] = Gr[static_cast<i64>(idx[s])];
        }
        trova_solve_small(GAA, rhs, n_active, w);
        f64 q = 0.0;
        for (i64 r = 0; r < n_active; ++r) q += sign[static_cast<i64>(idx[r])] * w[r];
        if (!(q > 0.0) || !(std::fabs(q) <= DBL_MAX)) {
            *n_knots = knot;
            return REGRESSION_NON_CONVERGENT;
        }
        const f64 A = 1.0 / std::sqrt(q);
        for (i64 j = 0; j < k; ++j) u[j] = 0.0;
        for (i64 r = 0; r < n_active; ++r) u[static_cast<i64>(idx[r])] = A * w[r];
        trova_matvec(G, u, a, k, k);

        // Step to the next event: an inactive correlation catching up, or
        // (the lasso modification) an active coefficient reaching zero. An
        // inactive variable whose correlation moves (almost) in step with the
        // active ones cannot catch up; "almost" is relative to A, since a_j / A
        // does not change when the data are rescaled while A does.
        f64 gamma = lam / A;
        const f64 parallel = 1e-14 * A;
        for (i64 j = 0; j < k; ++j) {
            if (active[j] != 0.0) continue;
            if (A - a[j] > parallel) {
                const f64 g1 = (lam - chat[j]) / (A - a[j]);
                if (0.0 < g1 && g1 < gamma) gamma = g1;
            }
            if (A + a[j] > parallel) {
                const f64 g2 = (lam + chat[j]) / (A + a[j]);
                if (0.0 < g2 && g2 < gamma) gamma = g2;
            }
        }
        i64 drop = -1;
        for (i64 j = 0; j < k; ++j) {
            if (active[j] == 0.0 || u[j] == 0.0) continue;
            const f64 g3 = -beta[j] / u[j];
            if (0.0 < g3 && g3 < gamma) {
                gamma = g3;
                drop = j;
            }
        }

        for (i64 j = 0; j < k; ++j) {
            beta[j] += gamma * u[j];
            chat[j] -= gamma * a[j];
        }
        lam -= A * gamma;
        if (-tol < lam && lam < 0.0) lam = 0.0;
        lam_path[knot] = lam;
        if (drop >= 0) {
            active[drop] = 0.0;
            --n_active;
            beta[drop] = 0.0;
            dropped = true;
        } else {
            dropped = false;
        }
        for (i64 j = 0; j < k; ++j) beta_path[knot * k + j] = beta[j];
        if (lam <= tol) {
            *n_knots = knot + 1;
            return REGRESSION_OK;
        }
        if (knot == max_iter) {
            *n_knots = max_iter + 1;
            return REGRESSION_NON_CONVERGENT;
        }
        ++knot;
    }
}

TROVA_API i64 trova_lasso_path_eval(const f64* lam_path, const f64* beta_path, i64 n_knots, i64 k,
                                    const f64* lam_grid, i64 n_grid, f64* out) {
    // Without a knot there is no path to read: -1, nothing read or written.
    if (n_knots < 1 || k < 0) return -1;
    for (i64 i = 0; i < n_grid; ++i) {
        const f64 lam = lam_grid[i];
        f64* row = out + i * k;
        if (lam >= lam_path[0]) {
            for (i64 j = 0; j < k; ++j) row[j] = 0.0;
        } else if (lam <= lam_path[n_knots - 1]) {
            for (i64 j = 0; j < k; ++j) row[j] = beta_path[(n_knots - 1) * k + j];
        } else {
            i64 lo = 0, hi = n_knots - 1;
            while (hi - lo > 1) {
                const i64 mid = (lo + hi) / 2;
                if (lam_path[mid] >= lam) {
                    lo = mid;
                } else {
                    hi = mid;
                }
            }
            const f64 t = (lam - lam_path[lo]) / (lam_path[hi] - lam_path[lo]);
            const f64* b_lo = beta_path + lo * k;
            const f64* b_hi = beta_path + hi * k;
            for (i64 j = 0; j < k; ++j) row[j] = b_lo[j] + t * (b_hi[j] - b_lo[j]);
        }
    }
    return REGRESSION_OK;
}

}  // extern "C"
