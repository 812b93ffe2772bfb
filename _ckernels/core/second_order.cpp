// Second-order perturbation: the quadratic terms gxx and hxx from one linear
// system and the risk corrections gss and hss from a second, n x n one.
//
// The quadratic equations, for equation i and state pair (j, k),
//   sum_l fy'[i][l] sum_{p,q} gxx[l][p][q] hx[p][j] hx[q][k]
//     + sum_l fy[i][l] gxx[l][j][k] + sum_m C[i][m] hxx[m][j][k] + S[i][j][k] = 0,
// are symmetric in (j, k), and so are the unknowns in their last two
// indices. Only the distinct pairs are kept: with T = nx (nx + 1) / 2 and
// pair index tri(j, k) = j (j + 1) / 2 + k for k <= j, the unknown u holds,
// block by block, gxx[l] (l < ny) then hxx[m], each as its T distinct
// entries; the equations are ordered the same way (i, tri(j, k)). The
// reduced matrix Q D is formed directly, never Q or D: in the column of
// the distinct unknown (l, {p, q}) the full entries (l, p, q) and (l, q, p)
// add up, which gives
//   (Q D)[(i, jk), (l, pq)] = A1[i][l] H[jk][pq] + A2[i][l] [jk == pq]
// with A1 = [fy', 0] and A2 = [fy, C] (n x n, over the unknown blocks) and
//   H[jk][pq] = hx[p][j] hx[q][k] + hx[q][j] hx[p][k]   (p != q)
//             = hx[p][j] hx[p][k]                        (p == q).
// The R x R system (R = n T) is factored in place by a blocked LU with the
// same partial pivoting and packed format as trova_lu_factor_inplace, whose
// trailing updates run through trova_matmul, and solved by trova_lu_solve.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "_common/layout.h"
#include "trova_linalg.h"
#include "trova_qz.h"

namespace {

// count f64 values from the heap (one for a count of zero), or null when
// the heap is exhausted or the byte count overflows.
f64* so_alloc(i64 count) {
    const i64 bytes = trova::layout::block_bytes<f64>(count > 0 ? count : 1);
    return bytes < 0 ? nullptr : static_cast<f64*>(std::malloc(static_cast<std::size_t>(bytes)));
}

inline i64 tri(i64 hi, i64 lo) { return hi * (hi + 1) / 2 + lo; }

// C = fx' + fy' gx (n x nx): C[i][m] = a[i][m] + sum_l a[i][nx + l] gx[l][m].
void form_c(const f64* a, const f64* gx, i64 n, i64 nx, f64* C) {
    const i64 ny = n - nx;
    for (i64 i = 0; i < n; ++i) {
        const f64* ai = a + i * n;
        for (i64 m = 0; m < nx; ++m) {
            f64 acc = ai[m];
            for (i64 l = 0; l < ny; ++l) acc += ai[nx + l] * gx[l * nx + m];
            C[i * nx + m] = acc;
        }
    }
}

// Exchanges x[lo..hi) and y[lo..hi).
void swap_span(f64* x, f64* y, i64 lo, i64 hi) {
    for (i64 j = lo; j < hi; ++j) {
        const f64 t = x[j];
        x[j] = y[j];
        y[j] = t;
    }
}

// Columns per panel of the blocked LU: wide enough for the trailing
// product to run near the matrix product's full speed.
constexpr i64 kPanel = 128;
// Rows of the trailing matrix updated per product.
constexpr i64 kChunk = 128;

// LU factorisation with partial pivoting of the n x n row-major A, in place,
// in the format of trova_lu_factor_inplace: U on and above the diagonal, the
// multipliers of the unit lower factor below it, whole rows swapped, piv[k]
// the row swapped with row k at step k (the lowest row wins a tie). Returns
// 0, -2 for an exactly zero pivot, or -1 if the work arrays cannot be had.
//
// Each panel of kPanel columns is copied out and factored contiguously, its
// row swaps are then applied to the other columns, the block row of U is
// solved with the panel's unit lower triangle, and the trailing matrix takes
// the product of the panel's lower part and that block row, kChunk rows at
// a time.
i64 blocked_lu_inplace(f64* A, i64* piv, i64 n) {
    const i64 w_max = n < kPanel ? n : kPanel;
    f64* panel = so_alloc(n * w_max);
    f64* urow = so_alloc(w_max * n);
    f64* prod = so_alloc(kChunk * n);
    if (!panel || !urow || !prod) {
        std::free(panel);
        std::free(urow);
        std::free(prod);
        return -1;
    }
    i64 status = 0;
    for (i64 k = 0; k < n && status == 0; k += w_max) {
        const i64 w = n - k < w_max ? n - k : w_max;
        const i64 rows = n - k;
        for (i64 r = 0; r < rows; ++r)
            std::memcpy(panel + r * w, A + (k + r) * n + k, static_cast<std::size_t>(w) * sizeof(f64));

        for (i64 c = 0; c < w; ++c) {
            i64 best = c;
            f64 big = std::fabs(panel[c * w + c]);
            for (i64 r = c + 1; r < rows; ++r) {
                const f64 v = std::fabs(panel[r * w + c]);
                if (v > big) {
                    big = v;
                    best = r;
                }
            }
            piv[k + c] = k + best;
            if (big == 0.0) {
                status = -2;
                break;
            }
            if (best != c) swap_span(panel + c * w, panel + best * w, 0, w);
            const f64 recip = 1.0 / panel[c * w + c];
            const f64* pc = panel + c * w;
            for (i64 r = c + 1; r < rows; ++r) {
                f64* pr = panel + r * w;
                const f64 mult = pr[c] * recip;
                pr[c] = mult;
                for (i64 j = c + 1; j < w; ++j) pr[j] -= mult * pc[j];
            }
        }
        if (status != 0) break;

        for (i64 r = 0; r < rows; ++r)
            std::memcpy(A + (k + r) * n + k, panel + r * w, static_cast<std::size_t>(w) * sizeof(f64));
        // The panel's swaps, in order, on the columns left and right of it.
        for (i64 c = 0; c < w; ++c) {
            const i64 r2 = piv[k + c];
            if (r2 == k + c) continue;
            swap_span(A + (k + c) * n, A + r2 * n, 0, k);
            swap_span(A + (k + c) * n, A + r2 * n, k + w, n);
        }
        const i64 m = n - k - w;
        if (m == 0) break;

        // Block row of U: solve with the unit lower triangle of the panel.
        for (i64 i = 0; i < w; ++i) {
            f64* ui = urow + i * m;
            std::memcpy(ui, A + (k + i) * n + k + w, static_cast<std::size_t>(m) * sizeof(f64));
            for (i64 j = 0; j < i; ++j) {
                const f64 l = panel[i * w + j];
                const f64* uj = urow + j * m;
                for (i64 c = 0; c < m; ++c) ui[c] -= l * uj[c];
            }
            std::memcpy(A + (k + i) * n + k + w, ui, static_cast<std::size_t>(m) * sizeof(f64));
        }

        // Trailing update A22 -= L21 U12; L21 is the panel below its top w rows.
        for (i64 r0 = 0; r0 < m; r0 += kChunk) {
            const i64 h = m - r0 < kChunk ? m - r0 : kChunk;
            trova_matmul(panel + (w + r0) * w, urow, prod, h, w, m);
            for (i64 r = 0; r < h; ++r) {
                f64* ar = A + (k + w + r0 + r) * n + k + w;
                const f64* pr = prod + r * m;
                for (i64 c = 0; c < m; ++c) ar[c] -= pr[c];
            }
        }
    }
    std::free(panel);
    std::free(urow);
    std::free(prod);
    return status;
}

}  // namespace

extern "C" {

TROVA_API i64 trova_second_order(const f64* a, const f64* b, const f64* f_xx, const f64* gx,
                                 const f64* hx, i64 n, i64 nx, f64* gxx, f64* hxx) {
    if (nx < 1 || nx > n) return -1;  // an empty reduced system, or more states than variables
    const i64 ny = n - nx;
    // R x R system over R = n nx (nx + 1) / 2 unknowns, and the n x 2n x 2n
    // Hessian: dimensions whose blocks cannot be addressed are refused.
    trova::layout::Carver dims;
    const i64 T = dims.product(nx, dims.sum(nx, 1)) / 2;
    const i64 R = dims.product(n, T);
    const i64 n2 = dims.product(2, n);
    if (dims.overflowed() || trova::layout::block_bytes<f64>(R, R) < 0 ||
        trova::layout::block_bytes<f64>(n, n2, n2) < 0)
        return -1;

    f64* gxhx = so_alloc(ny * nx);
    f64* C = so_alloc(n * nx);
    f64* H = so_alloc(T * T);
    f64* V = so_alloc(n2 * nx);
    f64* FV = so_alloc(n2 * nx);
    f64* M = so_alloc(R * R);
    f64* rhs = so_alloc(R);
    f64* u = so_alloc(R);
    i64* piv = static_cast<i64*>(std::malloc(static_cast<std::size_t>(trova::layout::block_bytes<i64>(R))));
    auto release = [&]() {
        std::free(gxhx);
        std::free(C);
        std::free(H);
        std::free(V);
        std::free(FV);
        std::free(M);
        std::free(rhs);
        std::free(u);
        std::free(piv);
    };
    if (!gxhx || !C || !H || !V || !FV || !M || !rhs || !u || !piv) {
        release();
        return -1;
    }

    if (ny > 0) trova_matmul(gx, hx, gxhx, ny, nx, nx);
    form_c(a, gx, n, nx, C);

    // V = dz/dx(t) = (hx; gx hx; I; gx), 2n x nx.
    std::memcpy(V, hx, static_cast<std::size_t>(nx * nx) * sizeof(f64));
    if (ny > 0) std::memcpy(V + nx * nx, gxhx, static_cast<std::size_t>(ny * nx) * sizeof(f64));
    for (i64 r = 0; r < nx; ++r)
        for (i64 c = 0; c < nx; ++c) V[(n + r) * nx + c] = r == c ? 1.0 : 0.0;
    if (ny > 0)
        std::memcpy(V + (n + nx) * nx, gx, static_cast<std::size_t>(ny * nx) * sizeof(f64));

    // Right-hand side S[i][j][k] = (V' F_i V)[j][k] over the distinct pairs.
    for (i64 i = 0; i < n; ++i) {
        trova_matmul(f_xx + i * n2 * n2, V, FV, n2, n2, nx);
        for (i64 j = 0; j < nx; ++j) {
            for (i64 k = 0; k <= j; ++k) {
                f64 acc = 0.0;
                for (i64 r = 0; r < n2; ++r) acc += V[r * nx + j] * FV[r * nx + k];
                rhs[i * T + tri(j, k)] = acc;
            }
        }
    }

    // H over (jk, pq), both as distinct pairs.
    for (i64 j = 0; j < nx; ++j) {
        for (i64 k = 0; k <= j; ++k) {
            f64* Hr = H + tri(j, k) * T;
            for (i64 q = 0; q < nx; ++q) {
                for (i64 p = 0; p < q; ++p)
                    Hr[tri(q, p)] = hx[p * nx + j] * hx[q * nx + k] + hx[q * nx + j] * hx[p * nx + k];
                Hr[tri(q, q)] = hx[q * nx + j] * hx[q * nx + k];
            }
        }
    }

    // The reduced matrix, block (i, l) of T x T at a time.
    for (i64 i = 0; i < n; ++i) {
        for (i64 l = 0; l < n; ++l) {
            const f64 a1 = l < ny ? a[i * n + nx + l] : 0.0;
            const f64 a2 = l < ny ? -b[i * n + nx + l] : C[i * nx + (l - ny)];
            for (i64 r = 0; r < T; ++r) {
                f64* Mr = M + (i * T + r) * R + l * T;
                const f64* Hr = H + r * T;
                for (i64 c = 0; c < T; ++c) Mr[c] = a1 * Hr[c];
                Mr[r] += a2;
            }
        }
    }

    const i64 st = blocked_lu_inplace(M, piv, R);
    if (st != 0) {
        release();
        return st == -2 ? -2 : -1;
    }
    trova_lu_solve(M, piv, rhs, u, R, 1);

    // The equations read M u + S = 0: the solution is -u, each distinct
    // entry copied to both symmetric positions.
    for (i64 l = 0; l < n; ++l) {
        f64* out = l < ny ? gxx + l * nx * nx : hxx + (l - ny) * nx * nx;
        for (i64 j = 0; j < nx; ++j) {
            for (i64 k = 0; k <= j; ++k) {
                const f64 v = -u[l * T + tri(j, k)];
                out[j * nx + k] = v;
                out[k * nx + j] = v;
            }
        }
    }
    release();
    return 0;
}

TROVA_API i64 trova_second_order_risk(const f64* a, const f64* b, const f64* f_xx,
                                      const f64* gx, const f64* gxx, const f64* eta, i64 n,
                                      i64 nx, i64 ne, f64* gss, f64* hss) {
    // Negative counts (more states than variables among them), or arrays
    // that cannot be addressed, are invalid.
    if (nx < 0 || nx > n || ne < 0) return -1;
    const i64 ny = n - nx;
    trova::layout::Carver dims;
    const i64 n2 = dims.product(2, n);
    if (dims.overflowed() || trova::layout::block_bytes<f64>(n, n2, n2) < 0 ||
        trova::layout::block_bytes<f64>(n, ne) < 0)
        return -1;
    f64* gxeta = so_alloc(ny * ne);
    f64* G = so_alloc(nx * nx);
    f64* coef = so_alloc(n * n);
    f64* rhs = so_alloc(n);
    f64* x = so_alloc(n);
    f64* C = so_alloc(n * nx);
    f64* w = so_alloc(n);
    auto release = [&]() {
        std::free(gxeta);
        std::free(G);
        std::free(coef);
        std::free(rhs);
        std::free(x);
        std::free(C);
        std::free(w);
    };
    if (!gxeta || !G || !coef || !rhs || !x || !C || !w) {
        release();
        return -1;
    }
    if (ny > 0 && ne > 0) trova_matmul(gx, eta, gxeta, ny, nx, ne);
    form_c(a, gx, n, nx, C);

    for (i64 i = 0; i < n; ++i) {
        f64* row = coef + i * n;
        for (i64 l = 0; l < ny; ++l) row[l] = a[i * n + nx + l] - b[i * n + nx + l];
        for (i64 m = 0; m < nx; ++m) row[ny + m] = C[i * nx + m];

        // G = sum_l fy'[i][l] gxx[l].
        for (i64 e = 0; e < nx * nx; ++e) G[e] = 0.0;
        for (i64 l = 0; l < ny; ++l) {
            const f64 c = a[i * n + nx + l];
            const f64* gl = gxx + l * nx * nx;
            for (i64 e = 0; e < nx * nx; ++e) G[e] += c * gl[e];
        }

        const f64* Fi = f_xx + i * n2 * n2;  // next-period block: rows/cols < n
        f64 acc = 0.0;
        for (i64 ph = 0; ph < ne; ++ph) {
            for (i64 p = 0; p < nx; ++p) w[p] = eta[p * ne + ph];
            for (i64 l = 0; l < ny; ++l) w[nx + l] = gxeta[l * ne + ph];
            for (i64 p = 0; p < nx; ++p)
                for (i64 q = 0; q < nx; ++q) acc += G[p * nx + q] * w[p] * w[q];
            for (i64 r = 0; r < n; ++r) {
                f64 fr = 0.0;
                for (i64 c = 0; c < n; ++c) fr += Fi[r * n2 + c] * w[c];
                acc += w[r] * fr;
            }
        }
        rhs[i] = acc;
    }

    const i64 st = trova_solve(coef, rhs, n, 1, x);
    if (st != 0) {
        release();
        return st == -2 ? -2 : -1;
    }
    for (i64 l = 0; l < ny; ++l) gss[l] = -x[l];
    for (i64 m = 0; m < nx; ++m) hss[m] = -x[ny + m];
    release();
    return 0;
}

}  // extern "C"
