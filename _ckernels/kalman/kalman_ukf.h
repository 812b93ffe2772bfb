// The unscented filter's arena blocks, sigma-point weights and factorisation
// rule, shared by its general period loop (kalman_ukf.cpp) and the
// fixed-size loop of small models (kalman_ukf_small.cpp).
#ifndef TROVA_KALMAN_UKF_H
#define TROVA_KALMAN_UKF_H

#include "_common/layout.h"
#include "_common/nan.h"
#include "trova_kalman.h"

namespace trova::kalman {

struct UkfBlocks {
    f64 *z_a, *z_pred, *z_b, *P_a, *P_pred, *P_b, *L_P, *sigma, *sigma_prop, *sigma_y, *BQBT, *temp_nk;
    f64 *y_mean, *v, *std, *Sinv_v, *fbuf, *bbuf, *S, *L_S, *Pzy, *K, *vars;
};

// The arena, in table order.
UkfBlocks ukf_blocks(layout::Carver& c, i64 ns, i64 nc, i64 ne, i64 no);

// Sigma-point scaling and weights.
struct UkfWeights {
    f64 gamma, w0_m, w0_c, wi;
};

// The factorisation rule of every matrix the filter samples or inverts (the
// n x n P): an entry that is not finite fails at once; otherwise
// factor(jitter) is tried and, when it fails, once more with 1e-10 times the
// largest diagonal element of P (at least 0) added to the jitter.
// factor(j) factors P with jitter j and returns whether it succeeded.
// Returns 0, or -1 on failure.
template <class Factor>
int chol_with_retry(const f64* P, i64 n, f64 jitter, Factor&& factor) {
    if (!all_finite(P, n * n)) return -1;
    if (factor(jitter)) return 0;
    f64 scale = 0.0;
    for (i64 i = 0; i < n; ++i)
        if (P[i * n + i] > scale) scale = P[i * n + i];
    return factor(jitter + 1e-10 * scale) ? 0 : -1;
}

// A period loop of the unscented filter over the arena blocks b, with the
// weights and the B Q B' block formed. Returns 0 or -3 and writes loglik.
using UkfLoop = i64 (*)(const ukf_inputs* in, const UkfBlocks& b, const UkfWeights& w, const ukf_outputs* out);

// The largest ns (nz = 2 ns) and no with a fixed-size loop.
constexpr int kUkfSmallMaxNs = 4, kUkfSmallMaxNo = 8;

// The fixed-size loop for ns x no, or nullptr outside 1..kUkfSmallMaxNs x
// 1..kUkfSmallMaxNo.
UkfLoop ukf_small_loop(i64 ns, i64 no);

// ukf_hot_loop, with `small` false forcing the general loop at every size
// (the tests compare the two).
i64 ukf_run(const ukf_inputs* in, f64* arena, const ukf_outputs* out, bool small);

}  // namespace trova::kalman

#endif  // TROVA_KALMAN_UKF_H
