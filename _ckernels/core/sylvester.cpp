// Hessenberg-triangular reduction, complex Schur form and shifted
// Hessenberg solves for the structured second-order solve.
#include "core/sylvester.h"

#include <cmath>
#include <complex>
#include <limits>

namespace trova_core {

namespace {

using cplx = std::complex<f64>;

constexpr f64 kEps = std::numeric_limits<f64>::epsilon();

// Householder reflector I - tau v v' mapping x (len values, stride inc) to
// (alpha, 0, ..., 0). v goes to v[0..len); returns tau, 0 when x's tail is
// already zero (no reflection is needed and alpha = x[0]).
f64 reflector(const f64* x, i64 inc, i64 len, f64* v, f64* alpha) {
    f64 big = 0.0;
    for (i64 i = 1; i < len; ++i) big = std::fmax(big, std::fabs(x[i * inc]));
    *alpha = x[0];
    if (big == 0.0) return 0.0;
    big = std::fmax(big, std::fabs(x[0]));
    f64 ss = 0.0;
    for (i64 i = 0; i < len; ++i) {
        const f64 t = x[i * inc] / big;
        ss += t * t;
    }
    const f64 norm = big * std::sqrt(ss);
    const f64 a = x[0] >= 0.0 ? -norm : norm;
    v[0] = x[0] - a;
    f64 vtv = v[0] * v[0];
    for (i64 i = 1; i < len; ++i) {
        v[i] = x[i * inc];
        vtv += v[i] * v[i];
    }
    *alpha = a;
    return 2.0 / vtv;
}

// Rows r0..r0+len-1, columns c0..c1-1 of M (row stride ld) := (I - tau v v') M;
// w holds c1 values.
void reflect_left(f64* M, i64 ld, i64 r0, i64 len, i64 c0, i64 c1, const f64* v, f64 tau,
                  f64* w) {
    for (i64 j = c0; j < c1; ++j) w[j] = 0.0;
    for (i64 i = 0; i < len; ++i) {
        const f64* row = M + (r0 + i) * ld;
        const f64 vi = v[i];
        for (i64 j = c0; j < c1; ++j) w[j] += vi * row[j];
    }
    for (i64 i = 0; i < len; ++i) {
        f64* row = M + (r0 + i) * ld;
        const f64 t = tau * v[i];
        for (i64 j = c0; j < c1; ++j) row[j] -= t * w[j];
    }
}

// Rows r0..r1-1, columns c0..c0+len-1 of M := M (I - tau v v').
void reflect_right(f64* M, i64 ld, i64 r0, i64 r1, i64 c0, i64 len, const f64* v, f64 tau) {
    for (i64 r = r0; r < r1; ++r) {
        f64* row = M + r * ld + c0;
        f64 s = 0.0;
        for (i64 i = 0; i < len; ++i) s += row[i] * v[i];
        s *= tau;
        for (i64 i = 0; i < len; ++i) row[i] -= s * v[i];
    }
}

void set_identity(f64* M, i64 n) {
    for (i64 i = 0; i < n * n; ++i) M[i] = 0.0;
    for (i64 i = 0; i < n; ++i) M[i * n + i] = 1.0;
}

// Real rotation (c, s) with c x + s y = r, -s x + c y = 0.
void givens(f64 x, f64 y, f64* c, f64* s) {
    if (y == 0.0) {
        *c = 1.0;
        *s = 0.0;
        return;
    }
    const f64 r = std::hypot(x, y);
    *c = x / r;
    *s = y / r;
}

// Rows i, k of M over columns c0..c1-1 := [c s; -s c] (rows i, k).
void rotate_rows(f64* M, i64 ld, i64 i, i64 k, i64 c0, i64 c1, f64 c, f64 s) {
    f64* x = M + i * ld;
    f64* y = M + k * ld;
    for (i64 j = c0; j < c1; ++j) {
        const f64 t1 = x[j], t2 = y[j];
        x[j] = c * t1 + s * t2;
        y[j] = c * t2 - s * t1;
    }
}

// Columns i, k of M over rows r0..r1-1: (col i, col k) := (c col i - s col k,
// s col i + c col k).
void rotate_cols(f64* M, i64 ld, i64 i, i64 k, i64 r0, i64 r1, f64 c, f64 s) {
    for (i64 r = r0; r < r1; ++r) {
        f64* row = M + r * ld;
        const f64 t1 = row[i], t2 = row[k];
        row[i] = c * t1 - s * t2;
        row[k] = s * t1 + c * t2;
    }
}

f64 abs1(cplx z) { return std::fabs(z.real()) + std::fabs(z.imag()); }

// Complex rotation G = [c s; -conj(s) c] (c real) with G (x; y) = (r; 0).
void cgivens(cplx x, cplx y, f64* c, cplx* s) {
    if (y == cplx(0.0, 0.0)) {
        *c = 1.0;
        *s = 0.0;
        return;
    }
    if (x == cplx(0.0, 0.0)) {
        *c = 0.0;
        *s = std::conj(y) / std::abs(y);
        return;
    }
    const f64 ax = std::abs(x), nrm = std::hypot(ax, std::abs(y));
    *c = ax / nrm;
    *s = (x / ax) * std::conj(y) / nrm;
}

}  // namespace

void ht_reduce(f64* A, f64* B, f64* Qt, f64* V, i64 n, f64* work) {
    set_identity(Qt, n);
    set_identity(V, n);
    f64* v = work;
    f64* w = work + n;
    // A := Q1' A upper triangular, Householder column by column.
    for (i64 k = 0; k + 1 < n; ++k) {
        f64 alpha;
        const f64 tau = reflector(A + k * n + k, n, n - k, v, &alpha);
        if (tau == 0.0) continue;
        reflect_left(A, n, k, n - k, k + 1, n, v, tau, w);
        reflect_left(B, n, k, n - k, 0, n, v, tau, w);
        reflect_left(Qt, n, k, n - k, 0, n, v, tau, w);
        A[k * n + k] = alpha;
        for (i64 i = k + 1; i < n; ++i) A[i * n + k] = 0.0;
    }
    // B to Hessenberg form, column j from the bottom up; each row rotation
    // puts one entry below A's diagonal, which a column rotation removes.
    for (i64 j = 0; j + 2 < n; ++j) {
        for (i64 i = n - 1; i >= j + 2; --i) {
            f64 c, s;
            givens(B[(i - 1) * n + j], B[i * n + j], &c, &s);
            if (s == 0.0) continue;
            rotate_rows(B, n, i - 1, i, j, n, c, s);
            B[i * n + j] = 0.0;
            rotate_rows(A, n, i - 1, i, i - 1, n, c, s);
            rotate_rows(Qt, n, i - 1, i, 0, n, c, s);
            givens(A[i * n + i], A[i * n + i - 1], &c, &s);
            if (s == 0.0) continue;
            rotate_cols(A, n, i - 1, i, 0, i + 1, c, s);
            A[i * n + i - 1] = 0.0;
            rotate_cols(B, n, i - 1, i, 0, n, c, s);
            rotate_cols(V, n, i - 1, i, 0, n, c, s);
        }
    }
}

bool complex_schur(const f64* h, i64 m, f64* T_out, f64* U_out, f64* work) {
    f64* H = work;       // m x m real Hessenberg form
    f64* v = work + m * m;  // reflector, then its product row
    cplx* T = reinterpret_cast<cplx*>(T_out);
    cplx* U = reinterpret_cast<cplx*>(U_out);
    for (i64 i = 0; i < m * m; ++i) H[i] = h[i];
    // The real orthogonal factor Q of the Hessenberg reduction is built in
    // T_out's first m x m values; U_out's first m values take the row
    // products of the left reflections. Both become complex afterwards.
    f64* Q = T_out;
    set_identity(Q, m);
    for (i64 k = 0; k + 2 < m; ++k) {
        f64 alpha;
        const f64 tau = reflector(H + (k + 1) * m + k, m, m - k - 1, v, &alpha);
        if (tau == 0.0) continue;
        // Left: rows k+1.., columns k..; right: columns k+1.., every row.
        reflect_left(H, m, k + 1, m - k - 1, k, m, v, tau, U_out);
        reflect_right(H, m, 0, m, k + 1, m - k - 1, v, tau);
        reflect_right(Q, m, 0, m, k + 1, m - k - 1, v, tau);
        H[(k + 1) * m + k] = alpha;
        for (i64 i = k + 2; i < m; ++i) H[i * m + k] = 0.0;
    }
    for (i64 i = 0; i < m * m; ++i) U[i] = cplx(Q[i], 0.0);
    for (i64 i = 0; i < m * m; ++i) T[i] = cplx(H[i], 0.0);

    f64 hnorm = 0.0;
    for (i64 i = 0; i < m * m; ++i) hnorm = std::fmax(hnorm, std::fabs(H[i]));
    const f64 tiny = std::numeric_limits<f64>::min() / kEps;
    i64 hi = m - 1, its = 0, total = 0;
    while (hi > 0) {
        i64 l = hi;
        for (; l > 0; --l) {
            const f64 sub = abs1(T[l * m + l - 1]);
            f64 d = abs1(T[(l - 1) * m + l - 1]) + abs1(T[l * m + l]);
            if (d == 0.0) d = hnorm;
            if (sub <= kEps * d || sub <= tiny) {
                T[l * m + l - 1] = 0.0;
                break;
            }
        }
        if (l == hi) {
            --hi;
            its = 0;
            continue;
        }
        if (++total > 30 * m) return false;
        ++its;
        cplx mu;
        const cplx d = T[hi * m + hi];
        if (its % 10 == 0) {
            mu = d + 0.75 * std::fabs(T[hi * m + hi - 1].real());
        } else {
            // The eigenvalue of the trailing 2 x 2 block nearer its last
            // diagonal entry, without cancellation.
            const cplx a = T[(hi - 1) * m + hi - 1], b = T[(hi - 1) * m + hi], c = T[hi * m + hi - 1];
            const cplx t = 0.5 * (a - d), bc = b * c;
            cplx r = std::sqrt(t * t + bc);
            if (std::real(std::conj(t) * r) < 0.0) r = -r;
            const cplx den = t + r;
            mu = den == cplx(0.0, 0.0) ? d : d - bc / den;
        }
        // One implicit single-shift QR sweep over rows and columns l..hi,
        // applied to the whole T so the result is the Schur form of h.
        cplx x = T[l * m + l] - mu, y = T[(l + 1) * m + l];
        for (i64 k = l; k < hi; ++k) {
            if (k > l) {
                x = T[k * m + k - 1];
                y = T[(k + 1) * m + k - 1];
            }
            f64 c;
            cplx s;
            cgivens(x, y, &c, &s);
            for (i64 j = k > l ? k - 1 : l; j < m; ++j) {
                const cplx t1 = T[k * m + j], t2 = T[(k + 1) * m + j];
                T[k * m + j] = c * t1 + s * t2;
                T[(k + 1) * m + j] = c * t2 - std::conj(s) * t1;
            }
            if (k > l) T[(k + 1) * m + k - 1] = 0.0;
            const i64 rmax = k + 2 < hi ? k + 2 : hi;
            for (i64 r = 0; r <= rmax; ++r) {
                const cplx t1 = T[r * m + k], t2 = T[r * m + k + 1];
                T[r * m + k] = c * t1 + std::conj(s) * t2;
                T[r * m + k + 1] = c * t2 - s * t1;
            }
            for (i64 r = 0; r < m; ++r) {
                const cplx t1 = U[r * m + k], t2 = U[r * m + k + 1];
                U[r * m + k] = c * t1 + std::conj(s) * t2;
                U[r * m + k + 1] = c * t2 - s * t1;
            }
        }
    }
    for (i64 i = 1; i < m; ++i)
        for (i64 j = 0; j < i; ++j) T[i * m + j] = 0.0;
    return true;
}

bool hessenberg_solve(f64* Mr, f64* Mi, f64* fr, f64* fi, i64 n, f64 tol) {
    const f64 tol2 = tol * tol;
    for (i64 k = 0; k < n; ++k) {
        f64* pr = Mr + k * n;
        f64* pi = Mi + k * n;
        if (k + 1 < n) {
            f64* qr = Mr + (k + 1) * n;
            f64* qi = Mi + (k + 1) * n;
            const f64 top = pr[k] * pr[k] + pi[k] * pi[k];
            const f64 low = qr[k] * qr[k] + qi[k] * qi[k];
            if (low > top) {
                for (i64 j = k; j < n; ++j) {
                    f64 t = pr[j];
                    pr[j] = qr[j];
                    qr[j] = t;
                    t = pi[j];
                    pi[j] = qi[j];
                    qi[j] = t;
                }
                f64 t = fr[k];
                fr[k] = fr[k + 1];
                fr[k + 1] = t;
                t = fi[k];
                fi[k] = fi[k + 1];
                fi[k + 1] = t;
            }
        }
        const f64 mod2 = pr[k] * pr[k] + pi[k] * pi[k];
        if (mod2 <= tol2) return false;
        if (k + 1 == n) break;
        f64* qr = Mr + (k + 1) * n;
        f64* qi = Mi + (k + 1) * n;
        // mult = M[k+1][k] / M[k][k].
        const f64 ir = pr[k] / mod2, ii = -pi[k] / mod2;
        const f64 mr = qr[k] * ir - qi[k] * ii, mi = qr[k] * ii + qi[k] * ir;
        for (i64 j = k + 1; j < n; ++j) {
            qr[j] -= mr * pr[j] - mi * pi[j];
            qi[j] -= mr * pi[j] + mi * pr[j];
        }
        fr[k + 1] -= mr * fr[k] - mi * fi[k];
        fi[k + 1] -= mr * fi[k] + mi * fr[k];
    }
    for (i64 i = n - 1; i >= 0; --i) {
        const f64* pr = Mr + i * n;
        const f64* pi = Mi + i * n;
        f64 sr = fr[i], si = fi[i];
        for (i64 j = i + 1; j < n; ++j) {
            sr -= pr[j] * fr[j] - pi[j] * fi[j];
            si -= pr[j] * fi[j] + pi[j] * fr[j];
        }
        const f64 mod2 = pr[i] * pr[i] + pi[i] * pi[i];
        fr[i] = (sr * pr[i] + si * pi[i]) / mod2;
        fi[i] = (si * pr[i] - sr * pi[i]) / mod2;
    }
    return true;
}

}  // namespace trova_core
