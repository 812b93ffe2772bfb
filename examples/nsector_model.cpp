// An N-sector real business cycle model, written once over the number type
// so that one body serves the complex-step (c128) and the bicomplex-step
// (bc256) residual callbacks, like rbc_model.cpp. It is N copies of that
// model coupled two ways, so that no sector decouples from the others:
// each sector's production is multiplied by (K / K_ss)^ext, K the aggregate
// capital sum_j k_j, and each sector's technology loads `spill` of its
// neighbour's lagged technology (sector i on sector i+1, cyclically).
//
// Variables (states first), n = 4N: k_1..k_N, z_1..z_N, c_1..c_N, n_1..n_N.
// Parameters: alpha, beta, delta, rho, psi, 1 - delta, 1 - alpha, N (a
// whole number), K_ss, ext, spill. Equations at (fwd, cur), sector i, with
// y_i = e^{z_i} k_i^alpha n_i^(1-alpha) (K / K_ss)^ext:
//   Euler      1/c_i - beta (alpha y_i' / k_i' + 1 - delta) / c_i' = 0
//   Labour     psi c_i - (1 - alpha) y_i / n_i = 0
//   Resources  k_i' + c_i - y_i - (1 - delta) k_i = 0
//   Shock      z_i' - rho z_i - spill z_{i+1} = 0
// The externality is 1 at the steady state, so every sector's steady state
// is the one-sector model's and z = 0.
#include "residual_callbacks.h"

namespace nsector {

inline double real_part(const growth::cplx& x) { return x.real(); }
inline double real_part(const growth::Bicomplex& x) { return x.a.real(); }

// Aggregate capital's factor in the log of every sector's production:
// ext log(K / K_ss), the same for all sectors at one date.
template <typename T>
T externality(const T* v, long N, const T* par) {
    const T &K_ss = par[8], &ext = par[9];
    T K = v[0];
    for (long j = 1; j < N; ++j) K = K + v[j];
    return ext * growth::log(K / K_ss);
}

// y_i = exp(z_i + alpha log k_i + (1 - alpha) log n_i + ext log(K / K_ss)):
// one exponential and two logarithms per sector.
template <typename T>
T output(const T* v, long i, long N, const T* par, const T& log_ext) {
    const T &alpha = par[0], &one_m_alpha = par[6];
    using growth::exp;
    using growth::log;
    return exp(v[N + i] + alpha * log(v[i]) + one_m_alpha * log(v[3 * N + i]) + log_ext);
}

template <typename T>
void residual(const T* fwd, const T* cur, const T* par, T* out) {
    const T &alpha = par[0], &beta = par[1], &rho = par[3], &psi = par[4];
    const T &one_m_delta = par[5], &one_m_alpha = par[6], &spill = par[10];
    const long N = static_cast<long>(real_part(par[7]));
    const T ext_next = externality(fwd, N, par), ext = externality(cur, N, par);
    for (long i = 0; i < N; ++i) {
        const T y_next = output(fwd, i, N, par, ext_next);
        const T y = output(cur, i, N, par, ext);
        const long k = i, z = N + i, c = 2 * N + i, h = 3 * N + i;
        out[i] = 1.0 / cur[c] - beta * (alpha * y_next / fwd[k] + one_m_delta) / fwd[c];
        out[N + i] = psi * cur[c] - one_m_alpha * y / cur[h];
        out[2 * N + i] = fwd[k] + cur[c] - y - one_m_delta * cur[k];
        out[3 * N + i] = fwd[z] - rho * cur[z] - spill * cur[N + (i + 1) % N];
    }
}

}  // namespace nsector

TROVA_RESIDUAL_CALLBACKS(nsector, nsector::residual)
