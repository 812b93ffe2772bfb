// Ordered complex generalised Schur form through the caller's zgges.
//
// The library links no LAPACK: zgges arrives as a function pointer. The
// arrays are handed to it as they are (column-major with leading dimension
// n); the roots with |alpha| > |beta| (stable roots of x(t+1) = a^-1 b x(t))
// are moved to the leading positions.
#include <climits>
#include <cmath>

#include "core/work_blocks.h"
#include "trova_qz.h"

namespace {

// Selects the pairs whose alpha has the larger modulus. zgges hands over
// alpha and beta at the pencil's own scale, so the moduli come from hypot:
// squared, they would underflow to a tie for a pencil near 1e-170 and
// overflow to one near 1e160.
int klein_ouc(const c128* alpha, const c128* beta) {
    return std::hypot(alpha->re, alpha->im) > std::hypot(beta->re, beta->im) ? 1 : 0;
}

// Multiplies every component of the n x n arrays s and t by 2^e (exact,
// but for results below the normal range).
void scale_pencil(c128* s, c128* t, i64 n, int e) {
    for (i64 i = 0; i < n * n; ++i) {
        s[i] = c128{std::ldexp(s[i].re, e), std::ldexp(s[i].im, e)};
        t[i] = c128{std::ldexp(t[i].re, e), std::ldexp(t[i].im, e)};
    }
}

// The exponent e that brings the pencil's largest component into
// [0.5, 1) when it lies beyond 2^-200 ... 2^200, else 0. zgges scales a
// matrix whose norm leaves about 1e-139 ... 1e138 on its own, but some
// builds (Debian's reference LAPACK among them) then hand the selection
// function alpha and beta still carrying that scaling, each by its own
// factor, and a pencil near 1e-160 or 1e155 is ordered wrongly or fails
// the reordering check (INFO = N + 2). A common power of two changes
// neither the roots nor Z.
int pencil_exponent(const c128* s, const c128* t, i64 n) {
    f64 big = 0.0;
    for (i64 i = 0; i < n * n; ++i)
        big = std::fmax(big, std::fmax(std::fmax(std::fabs(s[i].re), std::fabs(s[i].im)),
                                       std::fmax(std::fabs(t[i].re), std::fabs(t[i].im))));
    if (!(big > 0.0) || !std::isfinite(big) || (big >= 0x1p-200 && big <= 0x1p200)) return 0;
    int e = 0;
    std::frexp(big, &e);
    return e;
}

}  // namespace

extern "C" {

TROVA_API i64 klein_qz(klein_zgges_fn zgges, i64 n, c128* s, c128* t, c128* z) {
    // zgges takes 32-bit dimensions: a pencil beyond them, or whose n x n
    // arrays could not be addressed, is refused rather than truncated.
    if (zgges == nullptr || n < 0 || n > INT_MAX || trova::layout::block_bytes<c128>(n, n) < 0)
        return -1;
    if (n == 0) return 0;
    const char jobvsl = 'N', jobvsr = 'V', sort = 'S';
    const int nn = static_cast<int>(n);
    const int ldvsl = 1;
    c128 vsl_dummy = {0.0, 0.0};
    int sdim = 0, info = 0;

    trova_core::WorkBlocks blocks;
    c128* alpha = blocks.take<c128>(n);
    c128* beta = blocks.take<c128>(n);
    f64* rwork = blocks.take<f64>(8 * n);
    int* bwork = blocks.take<int>(n);
    if (!blocks.ok()) return -1;

    // Workspace query: the optimal LWORK comes back in WORK[0].re.
    c128 query = {0.0, 0.0};
    int lwork = -1;
    zgges(&jobvsl, &jobvsr, &sort, klein_ouc, &nn, s, &nn, t, &nn, &sdim, alpha, beta,
          &vsl_dummy, &ldvsl, z, &nn, &query, &lwork, rwork, bwork, &info);
    // Truncated to an int; a size that is not positive (or not a number)
    // becomes 1, and one beyond the int range the largest int.
    lwork = !(query.re >= 1.0) ? 1 : query.re >= static_cast<f64>(INT_MAX) ? INT_MAX
                                                                           : static_cast<int>(query.re);
    c128* work = blocks.take<c128>(lwork);
    if (!blocks.ok()) return -1;

    // Far from unit scale, the pencil goes to zgges brought near 1, and S
    // and T come back at the caller's scale.
    const int e = pencil_exponent(s, t, n);
    if (e != 0) scale_pencil(s, t, n, -e);
    info = 0;
    zgges(&jobvsl, &jobvsr, &sort, klein_ouc, &nn, s, &nn, t, &nn, &sdim, alpha, beta,
          &vsl_dummy, &ldvsl, z, &nn, work, &lwork, rwork, bwork, &info);
    if (e != 0) scale_pencil(s, t, n, e);
    return info != 0 ? -2 : 0;
}

}  // extern "C"
