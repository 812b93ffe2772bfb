// Stochastic growth model with log utility and full depreciation, written
// once over the number type so that one body serves the complex-step
// (c128) and the bicomplex-step (bc256) residual callbacks.
//
// Variables (states first): k capital, z log productivity, c consumption.
// Parameters: alpha, beta, rho. Equations at (fwd, cur):
//   Euler      1/c - alpha beta e^{z'} k'^(alpha - 1) / c' = 0
//   Resources  k' + c - e^z k^alpha = 0
//   Shock      z' - rho z = 0
// Its policy is k' = alpha beta e^z k^alpha, c = (1 - alpha beta) e^z k^alpha.
#ifndef TROVA_TESTS_GROWTH_MODEL_H
#define TROVA_TESTS_GROWTH_MODEL_H

#include <complex>

#include "trova_model.h"

namespace growth {

using cplx = std::complex<double>;

// Bicomplex a + j b over std::complex halves, enough arithmetic for the model.
struct Bicomplex {
    cplx a, b;
};
inline Bicomplex operator+(Bicomplex x, Bicomplex y) { return {x.a + y.a, x.b + y.b}; }
inline Bicomplex operator-(Bicomplex x, Bicomplex y) { return {x.a - y.a, x.b - y.b}; }
inline Bicomplex operator*(Bicomplex x, Bicomplex y) {
    return {x.a * y.a - x.b * y.b, x.a * y.b + x.b * y.a};  // j^2 = -1
}
inline Bicomplex operator*(double s, Bicomplex y) { return {s * y.a, s * y.b}; }
inline Bicomplex operator/(Bicomplex x, Bicomplex y) {
    // Multiply by the j-conjugate a - j b: y times it is a^2 + b^2.
    const cplx den = y.a * y.a + y.b * y.b;
    return {(x.a * y.a + x.b * y.b) / den, (x.b * y.a - x.a * y.b) / den};
}
inline Bicomplex operator/(double s, Bicomplex y) { return Bicomplex{cplx(s), cplx(0.0)} / y; }
inline Bicomplex exp(Bicomplex x) {
    const cplx m = std::exp(x.a);
    return {m * std::cos(x.b), m * std::sin(x.b)};
}
inline Bicomplex log(Bicomplex x) {
    // log(a (1 + j u)) with u = b / a, and log(1 + j u) = log(1 + u^2) / 2 + j atan(u).
    const cplx u = x.b / x.a;
    return {std::log(x.a) + 0.5 * std::log(1.0 + u * u), std::atan(u)};
}
inline cplx exp(cplx x) { return std::exp(x); }
inline cplx log(cplx x) { return std::log(x); }

template <typename T>
T power(T x, T p) {
    return exp(p * log(x));
}

template <typename T>
void residual(const T* fwd, const T* cur, const T* par, T* out) {
    const T &alpha = par[0], &beta = par[1], &rho = par[2];
    // k'^(alpha - 1) as k'^alpha / k', which needs no constant of type T.
    out[0] = 1.0 / cur[2] - alpha * beta * exp(fwd[1]) * (power(fwd[0], alpha) / fwd[0]) / fwd[2];
    out[1] = fwd[0] + cur[2] - exp(cur[1]) * power(cur[0], alpha);
    out[2] = fwd[1] - rho * cur[1];
}

}  // namespace growth

extern "C" {
void growth_residual_c128(const c128* fwd, const c128* cur, const c128* par, c128* out);
void growth_residual_bc256(const bc256* fwd, const bc256* cur, const bc256* par, bc256* out);
}

#endif  // TROVA_TESTS_GROWTH_MODEL_H
