// The quiet NaN that marks failed results and incomplete replications (bit
// pattern 0x7FF8000000000000), shared by every kernel that writes it.
#ifndef TROVA_COMMON_NAN_H
#define TROVA_COMMON_NAN_H

#include <cstdint>
#include <cstring>

#include "trova_types.h"

namespace trova {

inline f64 quiet_nan() {
    const std::uint64_t bits = 0x7FF8000000000000ULL;
    f64 v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline void fill_nan(f64* x, i64 n) {
    const f64 nan = quiet_nan();
    for (i64 i = 0; i < n; ++i) x[i] = nan;
}

// True when none of the n values is a NaN or an infinity (exponent bits all
// set). Tested on the bits: arithmetic tricks such as summing x * 0 do not
// survive the reassociation the library is compiled with.
inline bool all_finite(const f64* x, i64 n) {
    constexpr std::uint64_t exponent = 0x7FF0000000000000ULL;
    std::uint64_t bad = 0;
    for (i64 i = 0; i < n; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, x + i, sizeof bits);
        bad |= static_cast<std::uint64_t>((bits & exponent) == exponent);
    }
    return bad == 0;
}

}  // namespace trova

#endif  // TROVA_COMMON_NAN_H
