// Shared helpers of the fuzz targets: values drawn from the fuzzer's bytes
// with a bias toward the edges where sizes and kernels break.
#ifndef TROVA_FUZZ_DATA_H
#define TROVA_FUZZ_DATA_H

#include <fuzzer/FuzzedDataProvider.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "trova_types.h"

namespace trova_fuzz {

// Aborts the run with a message: libFuzzer records the input as a crash.
[[noreturn]] inline void fail(const char* what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "fuzz property violated: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}
#define TROVA_FUZZ_CHECK(cond, ...) \
    do {                            \
        if (!(cond)) ::trova_fuzz::fail(#cond, ##__VA_ARGS__); \
    } while (0)

// A 64-bit integer: small, near a power of two, near the 32- and 64-bit
// edges, near the square root of the 64-bit range, or any value.
inline i64 edgy_i64(FuzzedDataProvider& in) {
    constexpr i64 kMax = std::numeric_limits<i64>::max(), kMin = std::numeric_limits<i64>::min();
    const i64 jitter = in.ConsumeIntegralInRange<i64>(-3, 3);
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0: return in.ConsumeIntegralInRange<i64>(-2, 8);
        case 1: return in.ConsumeIntegralInRange<i64>(0, 64);
        case 2: return (i64{1} << in.ConsumeIntegralInRange<int>(0, 62)) + jitter;
        case 3: return kMax - in.ConsumeIntegralInRange<i64>(0, 8);
        case 4: return kMin + in.ConsumeIntegralInRange<i64>(0, 8);
        case 5: return 3037000499LL + jitter;  // floor(sqrt(2^63 - 1))
        case 6: return 2097151LL + jitter;     // cube root of 2^63, about
        case 7: return -(i64{1} << in.ConsumeIntegralInRange<int>(0, 62)) + jitter;
        case 8: return static_cast<i64>(INT32_MAX) + jitter;
        default: return in.ConsumeIntegral<i64>();
    }
}

// A float: ordinary, huge, tiny, denormal, zero of either sign, NaN or an
// infinity.
inline f64 edgy_f64(FuzzedDataProvider& in) {
    const f64 base = in.ConsumeFloatingPointInRange<f64>(-4.0, 4.0);
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0: return std::numeric_limits<f64>::quiet_NaN();
        case 1: return std::numeric_limits<f64>::infinity();
        case 2: return -std::numeric_limits<f64>::infinity();
        case 3: return base * DBL_TRUE_MIN * in.ConsumeIntegralInRange<int>(1, 1000);  // denormal
        case 4: return base * 1e300;
        case 5: return base * 1e-300;
        case 6: return in.ConsumeBool() ? 0.0 : -0.0;
        case 7: return std::ldexp(base, in.ConsumeIntegralInRange<int>(-1074, 1023));
        case 8: return in.ConsumeFloatingPoint<f64>();
        default: return base;
    }
}

}  // namespace trova_fuzz

#endif  // TROVA_FUZZ_DATA_H
