// Second-order perturbation: the quadratic terms gxx and hxx from one linear
// system and the risk corrections gss and hss from a second, n x n one.
//
// The quadratic equations, for equation i and state pair (j, k),
//   sum_l fy'[i][l] sum_{p,q} gxx[l][p][q] hx[p][j] hx[q][k]
//     + sum_l fy[i][l] gxx[l][j][k] + sum_m C[i][m] hxx[m][j][k] + S[i][j][k] = 0,
// are symmetric in (j, k), and so are the unknowns in their last two
// indices. With Z (n x nx^2) holding gxx[l] (l < ny) then hxx[m] as rows,
// one column per state pair (p, q), they read
//   A Z + B Z (hx (x) hx) = -S,   A = [fy, C],  B = [fy', 0],
// a generalised Sylvester equation (S symmetric in each row's pair).
//
// trova_second_order solves it through its structure. Rows and columns of
// (A, B) are scaled by powers of two, the pencil is reduced to Q'AV upper
// triangular and Q'BV upper Hessenberg, and hx = U T U^H to complex Schur
// form; with Y = V' Z (U (x) U) the equation becomes
//   (Q'AV) Y + (Q'BV) Y (T (x) T) = -Q' S (U (x) U),
// whose Kronecker factor is upper triangular in the lexicographic pair
// order. Column (a, b) of Y then solves the shifted Hessenberg system
//   (Q'AV + T[a][a] T[b][b] Q'BV) y_ab = f_ab - Q'BV r_ab,
//   r_ab = sum_{i < a} T[i][a] (Y_i T)[:, b] + T[a][a] sum_{l < b} y_al T[l][b],
// (Y_i the n x nx block of pairs (i, .)), in O(n^2) each; y_ab = y_ba, so
// only the pairs b >= a are solved. hx (x) hx is never formed: the first
// sum is accumulated row block by row block, O(n nx^3) in all. Work is
// O(n^3 + n^2 nx^2 + n nx^3) besides forming S, memory O(n nx^2).
// With one or two states and a small system the dense path below is the
// faster one and is taken instead, as it is when the Schur iteration on hx
// fails to converge.
//
// trova_second_order_dense, the reference path, forms the square system
// over the distinct pairs instead: with T = nx (nx + 1) / 2 and pair index
// tri(j, k) = j (j + 1) / 2 + k for k <= j, the unknown u holds, block by
// block, gxx[l] (l < ny) then hxx[m], each as its T distinct entries; the
// equations are ordered the same way (i, tri(j, k)). The reduced matrix
// Q D is formed directly, never Q or D: in the column of the distinct
// unknown (l, {p, q}) the full entries (l, p, q) and (l, q, p) add up,
// which gives
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
#include "core/sylvester.h"
#include "core/work_blocks.h"
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

namespace {

// Stacks V = dz/dx(t) = (hx; gx hx; I; gx) (2n x nx) over the work gxhx
// (ny x nx), then S[i] = V' F_i V (nx x nx each, F_i = f_xx[i]) with each
// S[i] made symmetric from its lower triangle (j >= k), the equations the
// reduced system keeps. Only the rows and columns of F_i holding a nonzero
// (or NaN) value take part, gathered into FR (at most 2n x 2n) with the
// matching rows of V in VR, so a sparse Hessian costs little. idx holds 2n
// indices; FV takes 2n x nx values.
void form_rhs(const f64* f_xx, const f64* gx, const f64* hx, i64 n, i64 nx, f64* gxhx, f64* V,
              f64* FR, f64* VR, f64* FV, i64* idx, f64* S) {
    const i64 ny = n - nx, n2 = 2 * n;
    if (ny > 0) trova_matmul(gx, hx, gxhx, ny, nx, nx);
    std::memcpy(V, hx, static_cast<std::size_t>(nx * nx) * sizeof(f64));
    if (ny > 0) std::memcpy(V + nx * nx, gxhx, static_cast<std::size_t>(ny * nx) * sizeof(f64));
    for (i64 r = 0; r < nx; ++r)
        for (i64 c = 0; c < nx; ++c) V[(n + r) * nx + c] = r == c ? 1.0 : 0.0;
    if (ny > 0)
        std::memcpy(V + (n + nx) * nx, gx, static_cast<std::size_t>(ny * nx) * sizeof(f64));

    for (i64 i = 0; i < n; ++i) {
        const f64* Fi = f_xx + i * n2 * n2;
        f64* Si = S + i * nx * nx;
        for (i64 r = 0; r < n2; ++r) idx[r] = 0;
        for (i64 r = 0; r < n2; ++r) {
            const f64* row = Fi + r * n2;
            for (i64 c = 0; c < n2; ++c) {
                if (row[c] != 0.0) {
                    idx[r] = 1;
                    idx[c] = 1;
                }
            }
        }
        i64 m = 0;
        for (i64 r = 0; r < n2; ++r)
            if (idx[r] != 0) idx[m++] = r;
        if (m == 0) {
            for (i64 e = 0; e < nx * nx; ++e) Si[e] = 0.0;
            continue;
        }
        if (m == n2) {  // a dense F_i: no gathering
            trova_matmul(Fi, V, FV, n2, n2, nx);
            trova_matmul_atb(V, FV, Si, n2, nx, nx);
        } else {
            for (i64 p = 0; p < m; ++p) {
                const f64* row = Fi + idx[p] * n2;
                for (i64 q = 0; q < m; ++q) FR[p * m + q] = row[idx[q]];
                std::memcpy(VR + p * nx, V + idx[p] * nx, static_cast<std::size_t>(nx) * sizeof(f64));
            }
            trova_matmul(FR, VR, FV, m, m, nx);
            trova_matmul_atb(VR, FV, Si, m, nx, nx);
        }
        for (i64 j = 0; j < nx; ++j)
            for (i64 k = 0; k < j; ++k) Si[k * nx + j] = Si[j * nx + k];
    }
}

// The dense reduced solve; the caller has checked the dimensions.
i64 solve_dense(const f64* a, const f64* b, const f64* f_xx, const f64* gx, const f64* hx, i64 n,
                i64 nx, f64* gxx, f64* hxx) {
    const i64 ny = n - nx, n2 = 2 * n;
    const i64 T = nx * (nx + 1) / 2;
    const i64 R = n * T;
    if (trova::layout::block_bytes<f64>(R, R) < 0) return -1;
    trova_core::WorkBlocks work;
    f64* gxhx = work.take<f64>(ny * nx);
    f64* C = work.take<f64>(n * nx);
    f64* H = work.take<f64>(T * T);
    f64* V = work.take<f64>(n2 * nx);
    f64* FR = work.take<f64>(n2 * n2);
    f64* VR = work.take<f64>(n2 * nx);
    f64* FV = work.take<f64>(n2 * nx);
    f64* S = work.take<f64>(n * nx * nx);
    i64* idx = work.take<i64>(n2);
    f64* rhs = work.take<f64>(R);
    f64* u = work.take<f64>(R);
    i64* piv = work.take<i64>(R);
    if (!work.ok()) return -1;
    // The largest block last: it is freed by hand.
    f64* M = so_alloc(R * R);
    if (M == nullptr) return -1;

    form_c(a, gx, n, nx, C);
    form_rhs(f_xx, gx, hx, n, nx, gxhx, V, FR, VR, FV, idx, S);
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < nx; ++j)
            for (i64 k = 0; k <= j; ++k) rhs[i * T + tri(j, k)] = S[(i * nx + j) * nx + k];

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
        std::free(M);
        return st == -2 ? -2 : -1;
    }
    trova_lu_solve(M, piv, rhs, u, R, 1);
    std::free(M);

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
    return 0;
}

// 2^-e for the largest modulus x = f 2^e (0.5 <= f < 1) of a row or column:
// scaling by it is exact and brings x into [0.5, 1). 1 for a zero or
// non-finite x.
f64 pow2_scale(f64 x) {
    if (!(x > 0.0) || !std::isfinite(x)) return 1.0;
    int e;
    std::frexp(x, &e);
    return std::ldexp(1.0, -e);
}

// |x| if it exceeds big or is NaN, else big: a running maximum that keeps
// a NaN once met.
inline f64 max_nan(f64 big, f64 x) {
    const f64 t = std::fabs(x);
    return t > big || t != t ? t : big;
}

// Largest moduli of the rows (rmax) and columns (cmax) of A and B together.
void row_col_max(const f64* A, const f64* B, i64 n, f64* rmax, f64* cmax) {
    for (i64 l = 0; l < n; ++l) cmax[l] = 0.0;
    for (i64 i = 0; i < n; ++i) {
        f64 big = 0.0;
        for (i64 l = 0; l < n; ++l) {
            const f64 v = max_nan(max_nan(0.0, A[i * n + l]), B[i * n + l]);
            big = max_nan(big, v);
            cmax[l] = max_nan(cmax[l], v);
        }
        rmax[i] = big;
    }
}

}  // namespace

// The structured solve described at the top of the file. Returns 0, -1
// (allocation), -2 (singular) or 1 when the Schur iteration on hx did not
// converge (nothing written; the caller falls back on the dense path).
i64 trova_core::second_order_structured(const f64* a, const f64* b, const f64* f_xx,
                                        const f64* gx, const f64* hx, i64 n, i64 nx, f64* gxx,
                                        f64* hxx) {
    const i64 ny = n - nx, n2 = 2 * n, N2 = nx * nx;
    f64 *A, *B, *Qt, *W, *wk, *rs, *cs, *gxhx, *C, *V, *FR, *VR, *FV, *S, *GS, *Tc, *Uc, *sw;
    f64 *Tr, *Ti, *Us, *Us2, *Uh, *Uh2, *X1, *X2, *O, *Zr, *Fr, *Fi, *Yr, *Yi, *Ar, *Ai;
    f64 *Mr, *Mi, *qr, *qi, *rr, *ri, *Pr, *Pi;
    auto carve = [&](trova::layout::Carver& c) {
        A = c.take(n, n);
        B = c.take(n, n);
        Qt = c.take(n, n);
        W = c.take(n, n);
        wk = c.take(2, n);
        rs = c.take(n);
        cs = c.take(n);
        gxhx = c.take(ny, nx);
        C = c.take(n, nx);
        V = c.take(n2, nx);
        FR = c.take(n2, n2);
        VR = c.take(n2, nx);
        FV = c.take(n2, nx);
        S = c.take(n, N2);
        GS = c.take(n, N2);
        Tc = c.take(2, N2);
        Uc = c.take(2, N2);
        sw = c.take(c.sum(N2, nx));
        Tr = c.take(N2);
        Ti = c.take(N2);
        Us = c.take(2, N2);   // [Ur; Ui]  (2nx x nx)
        Us2 = c.take(2, N2);  // [Ur; -Ui]
        Uh = c.take(2, N2);   // [Ur | Ui] (nx x 2nx)
        Uh2 = c.take(2, N2);  // [Ur | -Ui]
        X1 = c.take(2, N2);
        X2 = c.take(2, N2);
        O = c.take(2, N2);
        Zr = c.take(N2);
        Fr = c.take(n, N2);
        Fi = c.take(n, N2);
        Yr = c.take(n, N2);
        Yi = c.take(n, N2);
        Ar = c.take(n, N2);
        Ai = c.take(n, N2);
        Mr = c.take(n, n);
        Mi = c.take(n, n);
        qr = c.take(n);
        qi = c.take(n);
        rr = c.take(n);
        ri = c.take(n);
        Pr = c.take(n, nx);
        Pi = c.take(n, nx);
    };
    const trova::layout::Size size = trova::layout::size_of(carve);
    if (size.overflow) return -1;
    trova_core::WorkBlocks work;
    f64* base = work.take<f64>(size.n_float);
    i64* idx = work.take<i64>(n2);
    if (!work.ok()) return -1;
    trova::layout::Carver carver(base);
    carve(carver);

    form_c(a, gx, n, nx, C);
    form_rhs(f_xx, gx, hx, n, nx, gxhx, V, FR, VR, FV, idx, S);

    // A = [fy, C], B = [fy', 0] over the unknown rows of Z.
    for (i64 i = 0; i < n; ++i) {
        for (i64 l = 0; l < ny; ++l) {
            A[i * n + l] = -b[i * n + nx + l];
            B[i * n + l] = a[i * n + nx + l];
        }
        for (i64 m = 0; m < nx; ++m) {
            A[i * n + ny + m] = C[i * nx + m];
            B[i * n + ny + m] = 0.0;
        }
    }
    // An equation without coefficients, or an unknown in no equation,
    // makes the system exactly singular.
    row_col_max(A, B, n, rs, cs);
    for (i64 i = 0; i < n; ++i)
        if (rs[i] == 0.0 || cs[i] == 0.0) return -2;

    // Equilibration by powers of two: rows of (A, B) and S, then columns of
    // (A, B); Z's rows take the column scales back at the end.
    for (i64 i = 0; i < n; ++i) {
        const f64 r = pow2_scale(rs[i]);
        for (i64 l = 0; l < n; ++l) {
            A[i * n + l] *= r;
            B[i * n + l] *= r;
        }
        for (i64 e = 0; e < N2; ++e) S[i * N2 + e] *= r;
    }
    row_col_max(A, B, n, rs, cs);
    for (i64 l = 0; l < n; ++l) cs[l] = pow2_scale(cs[l]);
    for (i64 i = 0; i < n; ++i)
        for (i64 l = 0; l < n; ++l) {
            A[i * n + l] *= cs[l];
            B[i * n + l] *= cs[l];
        }

    if (!trova_core::complex_schur(hx, nx, Tc, Uc, sw)) return 1;
    trova_core::ht_reduce(A, B, Qt, W, n, wk);

    for (i64 e = 0; e < N2; ++e) {
        Tr[e] = Tc[2 * e];
        Ti[e] = Tc[2 * e + 1];
        const f64 ur = Uc[2 * e], ui = Uc[2 * e + 1];
        Us[e] = ur;
        Us[N2 + e] = ui;
        Us2[e] = ur;
        Us2[N2 + e] = -ui;
        const i64 p = e / nx, q = e % nx;
        Uh[p * 2 * nx + q] = ur;
        Uh[p * 2 * nx + nx + q] = ui;
        Uh2[p * 2 * nx + q] = ur;
        Uh2[p * 2 * nx + nx + q] = -ui;
    }

    // F = -Q' S (U (x) U), pair-major: F[(a nx + b) n + r], row r of
    // Q' S as the nx x nx matrix G_r giving -(U' G_r U)[a][b].
    trova_matmul(Qt, S, GS, n, n, N2);
    for (i64 r = 0; r < n; ++r) {
        const f64* G = GS + r * N2;
        trova_matmul(G, Us, X1, nx, nx, nx);            // X1 = [G Ur; .]
        trova_matmul(G, Us + N2, X1 + N2, nx, nx, nx);  // X1 = [Xr; Xi]
        std::memcpy(X2, X1 + N2, static_cast<std::size_t>(N2) * sizeof(f64));
        std::memcpy(X2 + N2, X1, static_cast<std::size_t>(N2) * sizeof(f64));
        trova_matmul_atb(Us2, X1, O, 2 * nx, nx, nx);      // Ur'Xr - Ui'Xi
        trova_matmul_atb(Us, X2, O + N2, 2 * nx, nx, nx);  // Ur'Xi + Ui'Xr
        for (i64 e = 0; e < N2; ++e) {
            Fr[e * n + r] = -O[e];
            Fi[e * n + r] = -O[N2 + e];
        }
    }

    f64 nrm_a = 0.0, nrm_b = 0.0;
    for (i64 e = 0; e < n * n; ++e) {
        nrm_a = max_nan(nrm_a, A[e]);
        nrm_b = max_nan(nrm_b, B[e]);
    }
    for (i64 e = 0; e < n * N2; ++e) Ar[e] = Ai[e] = 0.0;

    constexpr f64 kEps = 0x1.0p-52;
    for (i64 ra = 0; ra < nx; ++ra) {
        const f64 tar = Tr[ra * nx + ra], tai = Ti[ra * nx + ra];
        for (i64 cb = ra; cb < nx; ++cb) {
            // q = sum_{l < b} y_al T[l][b]; r = Acc_ab + T[a][a] q.
            for (i64 i = 0; i < n; ++i) qr[i] = qi[i] = 0.0;
            for (i64 l = 0; l < cb; ++l) {
                const f64 tr = Tr[l * nx + cb], ti = Ti[l * nx + cb];
                const f64* yr = Yr + (ra * nx + l) * n;
                const f64* yi = Yi + (ra * nx + l) * n;
                for (i64 i = 0; i < n; ++i) {
                    qr[i] += yr[i] * tr - yi[i] * ti;
                    qi[i] += yr[i] * ti + yi[i] * tr;
                }
            }
            const i64 off = (ra * nx + cb) * n;
            for (i64 i = 0; i < n; ++i) {
                rr[i] = Ar[off + i] + tar * qr[i] - tai * qi[i];
                ri[i] = Ai[off + i] + tar * qi[i] + tai * qr[i];
            }
            // rhs = f_ab - B r, into y_ab's place.
            f64 fmax = 0.0;
            f64* yr = Yr + off;
            f64* yi = Yi + off;
            for (i64 i = 0; i < n; ++i) {
                const f64* Bi = B + i * n;
                f64 sr = 0.0, si = 0.0;
                for (i64 j = i > 0 ? i - 1 : 0; j < n; ++j) {
                    sr += Bi[j] * rr[j];
                    si += Bi[j] * ri[j];
                }
                yr[i] = Fr[off + i] - sr;
                yi[i] = Fi[off + i] - si;
                fmax = max_nan(max_nan(fmax, yr[i]), yi[i]);
            }
            // M = A + lambda B, lambda = T[a][a] T[b][b].
            const f64 tbr = Tr[cb * nx + cb], tbi = Ti[cb * nx + cb];
            const f64 lr = tar * tbr - tai * tbi, li = tar * tbi + tai * tbr;
            for (i64 i = 0; i < n; ++i) {
                const i64 j0 = i > 0 ? i - 1 : 0;
                const f64* Ai_ = A + i * n;
                const f64* Bi = B + i * n;
                f64* mr = Mr + i * n;
                f64* mi = Mi + i * n;
                for (i64 j = j0; j < n; ++j) {
                    mr[j] = Ai_[j] + lr * Bi[j];
                    mi[j] = li * Bi[j];
                }
            }
            // Numerically singular: a pivot within rounding of zero, or a
            // solution so large that M's condition number must exceed
            // 1 / (n eps) (|M| |y| / |rhs| bounds it from below).
            const f64 scale = static_cast<f64>(n) * kEps * (nrm_a + std::hypot(lr, li) * nrm_b);
            if (!trova_core::hessenberg_solve(Mr, Mi, yr, yi, n, scale)) return -2;
            f64 ymax = 0.0;
            for (i64 i = 0; i < n; ++i) ymax = max_nan(max_nan(ymax, yr[i]), yi[i]);
            if (ymax * scale > fmax) return -2;
            if (cb != ra) {
                std::memcpy(Yr + (cb * nx + ra) * n, yr, static_cast<std::size_t>(n) * sizeof(f64));
                std::memcpy(Yi + (cb * nx + ra) * n, yi, static_cast<std::size_t>(n) * sizeof(f64));
            }
        }
        // P = Y_a T, then Acc_{a', b} += T[a][a'] P[:, b] for a' > a, b >= a'.
        for (i64 e = 0; e < n * nx; ++e) Pr[e] = Pi[e] = 0.0;
        for (i64 l = 0; l < nx; ++l) {
            const f64* yr = Yr + (ra * nx + l) * n;
            const f64* yi = Yi + (ra * nx + l) * n;
            for (i64 cb = l; cb < nx; ++cb) {
                const f64 tr = Tr[l * nx + cb], ti = Ti[l * nx + cb];
                f64* pr = Pr + cb * n;
                f64* pi = Pi + cb * n;
                for (i64 i = 0; i < n; ++i) {
                    pr[i] += yr[i] * tr - yi[i] * ti;
                    pi[i] += yr[i] * ti + yi[i] * tr;
                }
            }
        }
        for (i64 a2 = ra + 1; a2 < nx; ++a2) {
            const f64 tr = Tr[ra * nx + a2], ti = Ti[ra * nx + a2];
            for (i64 cb = a2; cb < nx; ++cb) {
                f64* accr = Ar + (a2 * nx + cb) * n;
                f64* acci = Ai + (a2 * nx + cb) * n;
                const f64* pr = Pr + cb * n;
                const f64* pi = Pi + cb * n;
                for (i64 i = 0; i < n; ++i) {
                    accr[i] += pr[i] * tr - pi[i] * ti;
                    acci[i] += pr[i] * ti + pi[i] * tr;
                }
            }
        }
    }

    // Z = V Y (U (x) U)^H: (V Y) pair-major into Ar, Ai (nx^2 x n), then
    // row r of Z is Re(conj(U) W_r U^H) for W_r = (V Y)[r] as nx x nx.
    trova_matmul_abt(Yr, W, Ar, N2, n, n);
    trova_matmul_abt(Yi, W, Ai, N2, n, n);
    for (i64 r = 0; r < n; ++r) {
        for (i64 p = 0; p < nx; ++p)
            for (i64 q = 0; q < nx; ++q) {
                const f64 wr = Ar[(p * nx + q) * n + r], wi = Ai[(p * nx + q) * n + r];
                X1[p * 2 * nx + q] = wr;  // [Wr | Wi]
                X1[p * 2 * nx + nx + q] = wi;
                X2[p * 2 * nx + q] = wi;  // [Wi | Wr]
                X2[p * 2 * nx + nx + q] = wr;
            }
        trova_matmul_abt(X1, Uh, O, nx, 2 * nx, nx);        // Wr Ur' + Wi Ui'
        trova_matmul_abt(X2, Uh2, O + N2, nx, 2 * nx, nx);  // Wi Ur' - Wr Ui'
        trova_matmul(Uh, O, Zr, nx, 2 * nx, nx);            // Ur Xr + Ui Xi
        f64* out = r < ny ? gxx + r * N2 : hxx + (r - ny) * N2;
        const f64 sc = cs[r];
        for (i64 j = 0; j < nx; ++j)
            for (i64 k = 0; k <= j; ++k) {
                const f64 v = 0.5 * (Zr[j * nx + k] + Zr[k * nx + j]) * sc;
                out[j * nx + k] = v;
                out[k * nx + j] = v;
            }
    }
    return 0;
}

namespace {

// One or two states and a small reduced system (R <= 2048, 32 MB): the
// dense factorisation (R^3 / 3 flops) costs less than the pencil's
// reduction (about 13 n^3), so it is the faster path there.
bool prefer_dense(i64 n, i64 nx) { return nx <= 2 && n * (nx * (nx + 1) / 2) <= 2048; }

// Dimension checks shared by both paths: -1 for nx < 1, nx > n or a
// Hessian whose byte count leaves 64 bits.
bool dims_ok(i64 n, i64 nx) {
    if (nx < 1 || nx > n) return false;  // an empty system, or more states than variables
    trova::layout::Carver dims;
    const i64 T = dims.product(nx, dims.sum(nx, 1)) / 2;
    dims.product(n, T);
    const i64 n2 = dims.product(2, n);
    return !dims.overflowed() && trova::layout::block_bytes<f64>(n, n2, n2) >= 0 &&
           trova::layout::block_bytes<f64>(n, nx, nx) >= 0;
}

}  // namespace

extern "C" {

TROVA_API i64 trova_second_order(const f64* a, const f64* b, const f64* f_xx, const f64* gx,
                                 const f64* hx, i64 n, i64 nx, f64* gxx, f64* hxx) {
    if (!dims_ok(n, nx)) return -1;
    if (prefer_dense(n, nx)) return solve_dense(a, b, f_xx, gx, hx, n, nx, gxx, hxx);
    const i64 st = trova_core::second_order_structured(a, b, f_xx, gx, hx, n, nx, gxx, hxx);
    return st == 1 ? solve_dense(a, b, f_xx, gx, hx, n, nx, gxx, hxx) : st;
}

TROVA_API i64 trova_second_order_dense(const f64* a, const f64* b, const f64* f_xx,
                                       const f64* gx, const f64* hx, i64 n, i64 nx, f64* gxx,
                                       f64* hxx) {
    if (!dims_ok(n, nx)) return -1;
    return solve_dense(a, b, f_xx, gx, hx, n, nx, gxx, hxx);
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
