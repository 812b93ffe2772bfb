// Fixed-size dense pieces of the small filter loops (kalman_ukf_small.cpp;
// the symmetrising and the loop table also serve kalman_small.cpp): matrices as local arrays with compile-time
// dimensions, so that every loop has a fixed trip count the compiler unrolls.
#ifndef TROVA_KALMAN_FIXED_H
#define TROVA_KALMAN_FIXED_H

#include <cmath>
#include <type_traits>
#include <utility>

#include "trova_types.h"

namespace trova::kalman::fixed {

template <int R, int C>
using Mat = f64[R][C];

// out = 0.5 (P + P') off the diagonal, as trova_sym_inplace. The library
// is built with reassociation allowed, and with P's entries still in
// registers the compiler may otherwise fold the average into the sums that
// produced them differently for the two stores; the empty asm makes the
// average one value, so P comes out exactly symmetric.
// P is any N x N (or wider-row) array indexed P[i][j].
template <int N, class Rows>
inline void sym(Rows& P) {
    for (int i = 0; i < N; ++i)
        for (int j = i + 1; j < N; ++j) {
            f64 v = (P[i][j] + P[j][i]) * 0.5;
            asm("" : "+x"(v));
            P[i][j] = v;
            P[j][i] = v;
        }
}

// L L' = S + jitter I from the lower triangle of S, with trova_chol's pivot
// tolerance (M eps times the largest jittered diagonal); false when a pivot
// fails.
template <int M>
inline bool chol(const Mat<M, M>& S, f64 jitter, Mat<M, M>& L) {
    const f64 jit = jitter > 0.0 ? jitter : 0.0;
    f64 scale = 0.0;
    for (int i = 0; i < M; ++i) {
        const f64 d = S[i][i] + jit;
        if (d > scale) scale = d;
    }
    const f64 tol = static_cast<f64>(M) * 0x1p-52 * scale;
    for (int i = 0; i < M; ++i) {
        for (int j = 0; j < i; ++j) {
            f64 s = 0.0;
            for (int l = 0; l < j; ++l) s += L[i][l] * L[j][l];
            L[i][j] = (S[i][j] - s) / L[j][j];
        }
        f64 s = 0.0;
        for (int l = 0; l < i; ++l) s += L[i][l] * L[i][l];
        const f64 p = (S[i][i] + jit) - s;
        if (!(p > tol)) return false;
        L[i][i] = std::sqrt(p);
    }
    return true;
}

// The upper triangle from the lower one.
template <int N, class Rows>
inline void mirror_lower(Rows& P) {
    for (int i = 0; i < N; ++i)
        for (int j = i + 1; j < N; ++j) P[i][j] = P[j][i];
}

// The solves below multiply by the reciprocals of the factor's pivots,
// formed once (Linv[i] = 1 / L[i][i]).

// out = L^-1 v.
template <int M>
inline void solve_lower(const Mat<M, M>& L, const f64 (&Linv)[M], const f64 (&v)[M], f64 (&out)[M]) {
    for (int i = 0; i < M; ++i) {
        f64 s = 0.0;
        for (int l = 0; l < i; ++l) s += L[i][l] * out[l];
        out[i] = (v[i] - s) * Linv[i];
    }
}

// out = L'^-1 b, column-oriented: once out[i] is final its multiples of row
// i of L are taken off out[l], l < i.
template <int M>
inline void solve_lower_t(const Mat<M, M>& L, const f64 (&Linv)[M], const f64 (&b)[M], f64 (&out)[M]) {
    for (int i = 0; i < M; ++i) out[i] = b[i];
    for (int i = M - 1; i >= 0; --i) {
        const f64 xi = out[i] * Linv[i];
        out[i] = xi;
        for (int l = 0; l < i; ++l) out[l] -= xi * L[i][l];
    }
}

// X = (L L')^-1 X in place for X M x N (N right-hand sides as its columns):
// forward then backward substitution, each a row operation across all N
// columns.
template <int M, int N>
inline void chol_solve_columns(const Mat<M, M>& L, const f64 (&Linv)[M], Mat<M, N>& X) {
    for (int r = 0; r < M; ++r) {
        for (int l = 0; l < r; ++l)
            for (int i = 0; i < N; ++i) X[r][i] -= L[r][l] * X[l][i];
        for (int i = 0; i < N; ++i) X[r][i] *= Linv[r];
    }
    for (int r = M - 1; r >= 0; --r) {
        for (int i = 0; i < N; ++i) X[r][i] *= Linv[r];
        for (int l = 0; l < r; ++l)
            for (int i = 0; i < N; ++i) X[l][i] -= L[r][l] * X[r][i];
    }
}

// Half the log-determinant of L L' (the sum of the logarithms of the
// pivots): one logarithm of the pivots' product while it stays a normal
// number (M <= 8 factors), else the sum of their logarithms.
template <int M>
inline f64 half_logdet(const Mat<M, M>& L) {
    f64 prod = 1.0;
    for (int i = 0; i < M; ++i) prod *= L[i][i];
    if (std::isnormal(prod)) return std::log(prod);
    f64 logdet = 0.0;
    for (int i = 0; i < M; ++i) logdet += std::log(L[i][i]);
    return logdet;
}

namespace detail {

// The function pointer type of a table of loops.
template <template <int, int> class Loop>
using LoopFn = std::remove_const_t<decltype(Loop<1, 1>::fn)>;

template <template <int, int> class Loop, int A, int... Bs>
constexpr auto table_row(int b, std::integer_sequence<int, Bs...>) {
    detail::LoopFn<Loop> f = nullptr;
    ((f = (b == Bs + 1) ? Loop<A, Bs + 1>::fn : f), ...);
    return f;
}

template <template <int, int> class Loop, int MaxB, int... As>
constexpr auto table(int a, int b, std::integer_sequence<int, As...>) {
    detail::LoopFn<Loop> f = nullptr;
    ((f = (a == As + 1) ? table_row<Loop, As + 1>(b, std::make_integer_sequence<int, MaxB>{}) : f), ...);
    return f;
}

}  // namespace detail

// The fixed-size loop Loop<a, b>::fn of a call's sizes, chosen once per
// call: nullptr outside 1..MaxA x 1..MaxB.
template <template <int, int> class Loop, int MaxA, int MaxB>
auto pick(i64 a, i64 b) {
    detail::LoopFn<Loop> f = nullptr;
    if (a < 1 || b < 1 || a > MaxA || b > MaxB) return f;
    return detail::table<Loop, MaxB>(static_cast<int>(a), static_cast<int>(b),
                                     std::make_integer_sequence<int, MaxA>{});
}

}  // namespace trova::kalman::fixed

#endif  // TROVA_KALMAN_FIXED_H
