// Ordered complex generalised Schur form through the caller's zgges.
//
// The library links no LAPACK: zgges arrives as a function pointer. The
// arrays are handed to it as they are (column-major with leading dimension
// n); the roots with |alpha| > |beta| (stable roots of x(t+1) = a^-1 b x(t))
// are moved to the leading positions.
#include <cstdlib>

#include "trova_qz.h"

namespace {

// Selects the pairs whose alpha has the larger modulus (squared moduli).
int klein_ouc(const c128* alpha, const c128* beta) {
    return alpha->re * alpha->re + alpha->im * alpha->im >
                   beta->re * beta->re + beta->im * beta->im
               ? 1
               : 0;
}

}  // namespace

extern "C" {

TROVA_API i64 klein_qz(klein_zgges_fn zgges, i64 n, c128* s, c128* t, c128* z) {
    if (n == 0) return 0;
    const char jobvsl = 'N', jobvsr = 'V', sort = 'S';
    const int nn = static_cast<int>(n);
    const int ldvsl = 1;
    c128 vsl_dummy = {0.0, 0.0};
    int sdim = 0, info = 0;

    const std::size_t un = static_cast<std::size_t>(n);
    c128* alpha = static_cast<c128*>(std::malloc(un * sizeof(c128)));
    c128* beta = static_cast<c128*>(std::malloc(un * sizeof(c128)));
    f64* rwork = static_cast<f64*>(std::malloc(8 * un * sizeof(f64)));
    int* bwork = static_cast<int*>(std::malloc(un * sizeof(int)));
    if (!alpha || !beta || !rwork || !bwork) {
        std::free(alpha);
        std::free(beta);
        std::free(rwork);
        std::free(bwork);
        return -1;
    }

    // Workspace query: the optimal LWORK comes back in WORK[0].re.
    c128 query = {0.0, 0.0};
    int lwork = -1;
    zgges(&jobvsl, &jobvsr, &sort, klein_ouc, &nn, s, &nn, t, &nn, &sdim, alpha, beta,
          &vsl_dummy, &ldvsl, z, &nn, &query, &lwork, rwork, bwork, &info);
    lwork = static_cast<int>(query.re);
    if (lwork <= 0) lwork = 1;
    c128* work = static_cast<c128*>(std::malloc(static_cast<std::size_t>(lwork) * sizeof(c128)));
    if (!work) {
        std::free(alpha);
        std::free(beta);
        std::free(rwork);
        std::free(bwork);
        return -1;
    }

    info = 0;
    zgges(&jobvsl, &jobvsr, &sort, klein_ouc, &nn, s, &nn, t, &nn, &sdim, alpha, beta,
          &vsl_dummy, &ldvsl, z, &nn, work, &lwork, rwork, bwork, &info);

    std::free(work);
    std::free(alpha);
    std::free(beta);
    std::free(rwork);
    std::free(bwork);
    return info != 0 ? -2 : 0;
}

}  // extern "C"
