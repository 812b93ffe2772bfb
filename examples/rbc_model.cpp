// A real business cycle model with capital, labour and technology, written
// once over the number type so that one body serves the complex-step (c128)
// and the bicomplex-step (bc256) residual callbacks. The bicomplex
// arithmetic is the growth model's (tests/models/growth_model.h).
//
// Variables (states first): k capital, z log technology, c consumption,
// n hours. Parameters: alpha, beta, delta, rho, psi, and 1 - delta and
// 1 - alpha (so that no constant of type T is needed). Equations at
// (fwd, cur), with utility log c - psi n:
//   Euler      1/c - beta (alpha e^{z'} k'^alpha n'^(1-alpha) / k' + 1 - delta) / c' = 0
//   Labour     psi c - (1 - alpha) e^z k^alpha n^(1-alpha) / n = 0
//   Resources  k' + c - e^z k^alpha n^(1-alpha) - (1 - delta) k = 0
//   Shock      z' - rho z = 0
#include "residual_callbacks.h"

namespace rbc {

template <typename T>
void residual(const T* fwd, const T* cur, const T* par, T* out) {
    const T &alpha = par[0], &beta = par[1], &rho = par[3], &psi = par[4];
    const T &one_m_delta = par[5], &one_m_alpha = par[6];
    using growth::power;
    using growth::exp;
    const T y_next = exp(fwd[1]) * power(fwd[0], alpha) * power(fwd[3], one_m_alpha);
    const T y = exp(cur[1]) * power(cur[0], alpha) * power(cur[3], one_m_alpha);
    out[0] = 1.0 / cur[2] - beta * (alpha * y_next / fwd[0] + one_m_delta) / fwd[2];
    out[1] = psi * cur[2] - one_m_alpha * y / cur[3];
    out[2] = fwd[0] + cur[2] - y - one_m_delta * cur[0];
    out[3] = fwd[1] - rho * cur[1];
}

}  // namespace rbc

TROVA_RESIDUAL_CALLBACKS(rbc, rbc::residual)
