/** @file
 * Standard normal quantile by Wichura's rational approximations (AS 241,
 * PPND16), accurate to about 1e-16 over (0, 1), and the inverse error
 * function built on it. Pure functions; nothing allocates. */
#ifndef TROVA_AS241_H
#define TROVA_AS241_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/** z with Phi(z) = p; -inf for p <= 0, +inf for p >= 1, NaN for NaN.
 * @param p probability
 * @return the standard normal quantile of p */
TROVA_API f64 trova_ndtri_as241(f64 p);
/** out[i] = trova_ndtri_as241(p[i]) for i < n; nothing when n <= 0.
 * @param p probabilities (n)
 * @param n length
 * @param out quantiles (n); may be p */
TROVA_API void trova_ndtri_as241_into(const f64* p, i64 n, f64* out);
/** The inverse error function: x with erf(x) = y, as the normal quantile of
 * (y + 1) / 2 divided by sqrt(2); +-inf at y = +-1, NaN for NaN.
 * @param y value in [-1, 1]
 * @return x with erf(x) = y */
TROVA_API f64 trova_erfinv_from_as241(f64 y);

TROVA_END_DECLS

#endif /* TROVA_AS241_H */
