// Inline vector helpers shared by the kernels: dot products and axpy over
// unit-stride arrays, written as plain loops that GCC vectorises (the build
// allows reassociating the sums).
#ifndef TROVA_COMMON_DENSE_H
#define TROVA_COMMON_DENSE_H

#include "trova_types.h"

namespace trova::dense {

// Sum of a[k]*b[k], k < n.
inline f64 dot(const f64* a, const f64* b, i64 n) {
    f64 s = 0.0;
    for (i64 k = 0; k < n; ++k) s += a[k] * b[k];
    return s;
}

// Both a.b and c.b in one pass over b.
inline void dot2(const f64* a, const f64* c, const f64* b, i64 n, f64& ab, f64& cb) {
    f64 s = 0.0, t = 0.0;
    for (i64 k = 0; k < n; ++k) {
        s += a[k] * b[k];
        t += c[k] * b[k];
    }
    ab = s;
    cb = t;
}

// y[j] += s * x[j], j < n.
inline void axpy(f64 s, const f64* x, f64* y, i64 n) {
    for (i64 j = 0; j < n; ++j) y[j] += s * x[j];
}

}  // namespace trova::dense

#endif  // TROVA_COMMON_DENSE_H
