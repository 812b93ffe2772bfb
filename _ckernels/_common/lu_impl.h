// LU factorisation with partial pivoting, the matching solve and the
// allocating wrappers, written once for real and complex matrices. The
// element type's operations come from an Ops class:
//   pivot_row(A,k,n)  the row of the largest candidate A[j][k], j >= k, by
//                     the type's magnitude (see largest_in_column)
//   is_zero(a)        whether a pivot is exactly zero, tested on its
//                     components
//   Pivot prepare(p)  what a column's divisions need of its pivot
//   divide(a, piv)    a / pivot (real: times the reciprocal; complex: Smith)
//   fms(y, m, x)      y - m x
//   one()
//
// A dimension whose n x n (or n x m) block of T would not fit in 64-bit byte
// counts is refused with -1 (the solve writes nothing): no such buffer can
// exist, and the index arithmetic would wrap.
#ifndef TROVA_COMMON_LU_IMPL_H
#define TROVA_COMMON_LU_IMPL_H

#include <cstdlib>
#include <cstring>

#include "_common/layout.h"
#include "trova_types.h"

namespace trova::lu {

template <class T>
void swap_rows(T* A, i64 r1, i64 r2, i64 m) {
    T* a = A + r1 * m;
    T* b = A + r2 * m;
    for (i64 j = 0; j < m; ++j) {
        const T t = a[j];
        a[j] = b[j];
        b[j] = t;
    }
}

// The row j >= k with the largest mag(A[j][k]). The lowest row wins a tie:
// a later row replaces the candidate only when its magnitude is strictly
// larger.
template <class T, class Mag>
i64 largest_in_column(const T* A, i64 k, i64 n, Mag mag) {
    i64 row = k;
    f64 best = mag(A[k * n + k]);
    for (i64 j = k + 1; j < n; ++j) {
        const f64 m = mag(A[j * n + k]);
        if (m > best) {
            best = m;
            row = j;
        }
    }
    return row;
}

// Whether an n x m block of T has a byte count that fits in 64 bits.
template <class T>
bool fits(i64 n, i64 m) {
    return layout::block_bytes<T>(n, m) >= 0;
}

template <class T, class Ops>
i64 factor_inplace(T* A, i64* pivot, i64 n) {
    if (A == nullptr || pivot == nullptr || n < 1 || !fits<T>(n, n)) return -1;
    for (i64 k = 0; k + 1 < n; ++k) {
        const i64 row = Ops::pivot_row(A, k, n);
        pivot[k] = row;
        if (Ops::is_zero(A[row * n + k])) return -2;
        if (row != k) swap_rows(A, k, row, n);
        const T* Ak = A + k * n;
        const auto piv = Ops::prepare(Ak[k]);
        for (i64 l = k + 1; l < n; ++l) {
            T* Al = A + l * n;
            const T mult = Ops::divide(Al[k], piv);
            Al[k] = mult;
            for (i64 j = k + 1; j < n; ++j) Al[j] = Ops::fms(Al[j], mult, Ak[j]);
        }
    }
    pivot[n - 1] = n - 1;
    return Ops::is_zero(A[(n - 1) * n + (n - 1)]) ? -2 : 0;
}

template <class T, class Ops>
void solve(const T* LU, const i64* piv, const T* B, T* X, i64 n, i64 m) {
    if (n <= 0 || m <= 0 || !fits<T>(n, n) || !fits<T>(n, m)) return;
    std::memcpy(X, B, static_cast<std::size_t>(layout::block_bytes<T>(n, m)));
    for (i64 k = 0; k < n; ++k)
        if (piv[k] != k) swap_rows(X, k, piv[k], m);
    for (i64 i = 1; i < n; ++i) {
        T* Xi = X + i * m;
        for (i64 j = 0; j < i; ++j) {
            const T l = LU[i * n + j];
            const T* Xj = X + j * m;
            for (i64 c = 0; c < m; ++c) Xi[c] = Ops::fms(Xi[c], l, Xj[c]);
        }
    }
    for (i64 i = n - 1; i >= 0; --i) {
        T* Xi = X + i * m;
        for (i64 j = i + 1; j < n; ++j) {
            const T u = LU[i * n + j];
            const T* Xj = X + j * m;
            for (i64 c = 0; c < m; ++c) Xi[c] = Ops::fms(Xi[c], u, Xj[c]);
        }
        const auto piv_i = Ops::prepare(LU[i * n + i]);
        for (i64 c = 0; c < m; ++c) Xi[c] = Ops::divide(Xi[c], piv_i);
    }
}

// Factor-with-copy: a record {lu, piv, n, err} owning its arrays, or
// {null, null, n, -1} for an invalid call or a failed allocation.
template <class Record, class T, class Ops>
Record factor_copy(const T* A, i64 n) {
    Record r{nullptr, nullptr, n, -1};
    if (A == nullptr || n <= 0) return r;
    const i64 lu_bytes = layout::block_bytes<T>(n, n);
    if (lu_bytes < 0) return r;
    T* lu = static_cast<T*>(std::malloc(static_cast<std::size_t>(lu_bytes)));
    i64* piv = static_cast<i64*>(std::malloc(static_cast<std::size_t>(layout::block_bytes<i64>(n))));
    if (lu == nullptr || piv == nullptr) {
        std::free(lu);
        std::free(piv);
        return r;
    }
    std::memcpy(lu, A, static_cast<std::size_t>(lu_bytes));
    r.lu = lu;
    r.piv = piv;
    r.err = factor_inplace<T, Ops>(lu, piv, n);
    return r;
}

template <class Record>
void free_record(Record* r) {
    if (r == nullptr) return;
    std::free(r->lu);
    std::free(r->piv);
    r->lu = nullptr;
    r->piv = nullptr;
    r->n = 0;
    r->err = 0;
}

template <class Record, class T, class Ops>
i64 solve_copy(const T* A, const T* B, i64 n, i64 m, T* X) {
    if (m > 0 && !fits<T>(n, m)) return -1;
    Record f = factor_copy<Record, T, Ops>(A, n);
    const i64 err = f.err;
    if (err == 0) solve<T, Ops>(f.lu, f.piv, B, X, n, m);
    free_record(&f);
    return err;
}

template <class Record, class T, class Ops>
i64 inverse(const T* A, i64 n, T* Ainv) {
    if (n <= 0) return solve_copy<Record, T, Ops>(A, nullptr, n, n, Ainv);
    const i64 bytes = layout::block_bytes<T>(n, n);
    if (bytes < 0) return -1;
    T* I = static_cast<T*>(std::calloc(static_cast<std::size_t>(bytes), 1));
    if (I == nullptr) return -1;
    for (i64 i = 0; i < n; ++i) I[i * n + i] = Ops::one();
    const i64 err = solve_copy<Record, T, Ops>(A, I, n, n, Ainv);
    std::free(I);
    return err;
}

}  // namespace trova::lu

#endif  // TROVA_COMMON_LU_IMPL_H
