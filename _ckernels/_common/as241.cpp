// Normal quantile by AS 241 (PPND16): three rational approximations of
// degree 7 over 7, chosen by the distance of p from 0.5.
#include "trova_as241.h"

#include <cmath>

namespace {

// Coefficient tables, lowest power first: numerator and denominator of the
// central region (A, B), the intermediate tail (C, D) and the far tail (E, F).
constexpr f64 AS241_A[8] = {3.3871328727963666080e0,  1.3314166789178437745e+2,
                            1.9715909503065514427e+3, 1.3731693765509461125e+4,
                            4.5921953931549871457e+4, 6.7265770927008700853e+4,
                            3.3430575583588128105e+4, 2.5090809287301226727e+3};
constexpr f64 AS241_B[8] = {1.0,
                            4.2313330701600911252e+1, 6.8718700749205790830e+2,
                            5.3941960214247511077e+3, 2.1213794301586595867e+4,
                            3.9307895800092710610e+4, 2.8729085735721942674e+4,
                            5.2264952788528545610e+3};
constexpr f64 AS241_C[8] = {1.42343711074968357734e0,  4.63033784615654529590e0,
                            5.76949722146069140550e0,  3.64784832476320460504e0,
                            1.27045825245236838258e0,  2.41780725177450611770e-1,
                            2.27238449892691845833e-2, 7.74545014278341407640e-4};
constexpr f64 AS241_D[8] = {1.0,
                            2.05319162663775882187e0,  1.67638483018380384940e0,
                            6.89767334985100004550e-1, 1.48103976427480074590e-1,
                            1.51986665636164571966e-2, 5.47593808499534494600e-4,
                            1.05075007164441684324e-9};
constexpr f64 AS241_E[8] = {6.65790464350110377720e0,  5.46378491116411436990e0,
                            1.78482653991729133580e0,  2.96560571828504891230e-1,
                            2.65321895265761230930e-2, 1.24266094738807843860e-3,
                            2.71155556874348757815e-5, 2.01033439929228813265e-7};
constexpr f64 AS241_F[8] = {1.0,
                            5.99832206555887937690e-1, 1.36929880922735805310e-1,
                            1.48753612908506148525e-2, 7.86869131145613259100e-4,
                            1.84631831751005468180e-5, 1.42151175831644588870e-7,
                            2.04426310338993978564e-15};

// c[0] + x (c[1] + x (... + x c[7])) by Horner's rule.
inline f64 as241_poly7(const f64* c, f64 x) {
    f64 v = c[7];
    for (int k = 6; k >= 0; --k) v = v * x + c[k];
    return v;
}

}  // namespace

extern "C" {

TROVA_API f64 trova_ndtri_as241(f64 p) {
    // A NaN fails both tests and falls through to a NaN result.
    if (p <= 0.0) return -INFINITY;
    if (p >= 1.0) return INFINITY;
    const f64 q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        const f64 r = 0.180625 - q * q;
        return q * as241_poly7(AS241_A, r) / as241_poly7(AS241_B, r);
    }
    f64 r = q < 0.0 ? p : 1.0 - p;
    r = std::sqrt(-std::log(r));
    f64 value;
    if (r <= 5.0) {
        r -= 1.6;
        value = as241_poly7(AS241_C, r) / as241_poly7(AS241_D, r);
    } else {
        r -= 5.0;
        value = as241_poly7(AS241_E, r) / as241_poly7(AS241_F, r);
    }
    return q < 0.0 ? -value : value;
}

TROVA_API void trova_ndtri_as241_into(const f64* p, i64 n, f64* out) {
    for (i64 i = 0; i < n; ++i) out[i] = trova_ndtri_as241(p[i]);
}

TROVA_API f64 trova_erfinv_from_as241(f64 y) {
    // erf(x) = 2 Phi(x sqrt 2) - 1, so x = Phi^-1((y + 1) / 2) / sqrt 2.
    return trova_ndtri_as241((y + 1.0) * 0.5) / 1.4142135623730951;
}

}  // extern "C"
