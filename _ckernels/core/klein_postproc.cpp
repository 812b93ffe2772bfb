// Blanchard-Kahn count, generalised eigenvalues and the policy (F) and
// transition (P) matrices from a row-major ordered Schur form (S, T, Z):
// u(t) = F k(t) with F = Z21 Z11^-1, and k(t+1) = P k(t) with
// P = Z11 S11^-1 T11 Z11^-1.
#include <cmath>
#include <limits>

#include "core/work_blocks.h"
#include "trova_complex.h"
#include "trova_qz.h"

namespace {

// Smith's division a / b.
c128 smith_div(c128 a, c128 b) {
    c128 q;
    if (std::fabs(b.im) <= std::fabs(b.re)) {
        const f64 r = b.im / b.re;
        const f64 den = b.re + b.im * r;
        q.re = (a.re + a.im * r) / den;
        q.im = (a.im - a.re * r) / den;
    } else {
        const f64 r = b.re / b.im;
        const f64 den = b.re * r + b.im;
        q.re = (a.re * r + a.im) / den;
        q.im = (a.im * r - a.re) / den;
    }
    return q;
}

f64 modulus(c128 x) { return std::hypot(x.re, x.im); }

}  // namespace

extern "C" {

TROVA_API i64 klein_postproc(const c128* s, const c128* t, const c128* z, i64 n_s, i64 n_cs,
                             c128* f, c128* p, i64* stab, c128* eig) {
    *stab = 2;
    if (n_s < 1) return -3;
    // A negative control count, or a pencil too large to address, is invalid.
    trova::layout::Carver dims;
    const i64 N = dims.sum(n_s, n_cs);
    if (n_cs < 0 || dims.overflowed() || trova::layout::block_bytes<c128>(N, N) < 0) return -1;
    trova_core::WorkBlocks blocks;
    c128* z11 = blocks.take<c128>(n_s * n_s);
    c128* s11 = blocks.take<c128>(n_s * n_s);
    c128* t11 = blocks.take<c128>(n_s * n_s);
    c128* z11_inv = blocks.take<c128>(n_s * n_s);
    c128* d = blocks.take<c128>(n_s * n_s);
    c128* tmp = blocks.take<c128>(n_s * n_s);
    c128* z21 = blocks.take<c128>(n_cs * n_s);
    if (!blocks.ok()) return -1;

    for (i64 i = 0; i < n_s; ++i) {
        for (i64 j = 0; j < n_s; ++j) {
            z11[i * n_s + j] = z[i * N + j];
            s11[i * n_s + j] = s[i * N + j];
            t11[i * n_s + j] = t[i * N + j];
        }
    }
    for (i64 i = 0; i < n_cs; ++i)
        for (i64 j = 0; j < n_s; ++j) z21[i * n_s + j] = z[(n_s + i) * N + j];

    i64 st = c128_inv(z11, n_s, z11_inv);
    if (st != 0) return st == -2 ? -2 : -1;

    // Blanchard-Kahn: the last state root must be stable and, when there are
    // controls, the first control root unstable.
    {
        const i64 k = n_s - 1;
        *stab = modulus(t[k * N + k]) > modulus(s[k * N + k]) ? -1 : 0;
        if (n_cs > 0) {
            const i64 k2 = n_s;
            if (modulus(s[k2 * N + k2]) > modulus(t[k2 * N + k2])) *stab = 1;
        }
    }

    for (i64 k = 0; k < N; ++k) {
        const c128 sk = s[k * N + k];
        if (modulus(sk) > 1e-12) {
            eig[k] = smith_div(t[k * N + k], sk);
        } else {
            eig[k].re = std::numeric_limits<f64>::infinity();
            eig[k].im = 0.0;
        }
    }

    st = c128_solve(s11, t11, n_s, n_s, d);
    if (st != 0) return st == -2 ? -2 : -1;

    c128_matmul(z21, z11_inv, n_cs, n_s, n_s, f);
    c128_matmul(z11, d, n_s, n_s, n_s, tmp);
    c128_matmul(tmp, z11_inv, n_s, n_s, n_s, p);
    return 0;
}

}  // extern "C"
