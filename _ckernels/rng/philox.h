// Philox4x64-10 core, inline so that the stream and the batched fills share
// one definition of the rounds. The 64 x 64 -> 128-bit products compile to
// single mulx instructions on targets with BMI2.
#ifndef TROVA_RNG_PHILOX_H
#define TROVA_RNG_PHILOX_H

#include "trova_rng.h"

namespace trova::philox {

constexpr u64 M0 = 0xD2E7470EE14C6C93ULL;
constexpr u64 M1 = 0xCA5A826395121157ULL;
constexpr u64 W0 = 0x9E3779B97F4A7C15ULL;
constexpr u64 W1 = 0xBB67AE8584CAA73BULL;
constexpr int kRounds = 10;

// Full product a * b as (high word, low word).
inline void trova_mulhilo64(u64 a, u64 b, u64& hi, u64& lo) {
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    hi = static_cast<u64>(p >> 64);
    lo = static_cast<u64>(p);
}

// One round on the counter words c with key words k0, k1.
inline void trova_philox_round(u64 c[4], u64 k0, u64 k1) {
    u64 hi0, lo0, hi1, lo1;
    trova_mulhilo64(M0, c[0], hi0, lo0);
    trova_mulhilo64(M1, c[2], hi1, lo1);
    const u64 n0 = hi1 ^ c[1] ^ k0;
    const u64 n2 = hi0 ^ c[3] ^ k1;
    c[0] = n0;
    c[1] = lo1;
    c[2] = n2;
    c[3] = lo0;
}

// N independent blocks of the same key, round by round, so that the
// dependent multiply chains of the blocks overlap. out[b] is the block of
// counter ctr[b].
template <int N>
inline void trova_philox_blocks(const u64 (*ctr)[4], const u64 key[2], u64 (*out)[4]) {
    u64 c[N][4];
    for (int b = 0; b < N; ++b)
        for (int w = 0; w < 4; ++w) c[b][w] = ctr[b][w];
    u64 k0 = key[0], k1 = key[1];
#pragma GCC unroll 10
    for (int r = 0; r < kRounds; ++r) {
        if (r > 0) {
            k0 += W0;
            k1 += W1;
        }
#pragma GCC unroll 8
        for (int b = 0; b < N; ++b) trova_philox_round(c[b], k0, k1);
    }
    for (int b = 0; b < N; ++b)
        for (int w = 0; w < 4; ++w) out[b][w] = c[b][w];
}

// The block of one counter: the published Philox4x64-10 function.
inline void trova_philox_block(const u64 ctr[4], const u64 key[2], u64 out[4]) {
    trova_philox_blocks<1>(reinterpret_cast<const u64(*)[4]>(ctr), key,
                           reinterpret_cast<u64(*)[4]>(out));
}

// Advances the running counter (words 0 and 1); the stream words 2 and 3
// never change, so there is no carry into word 2.
inline void increment_counter(u64 ctr[4]) {
    if (++ctr[0] == 0) ++ctr[1];
}

}  // namespace trova::philox

#endif  // TROVA_RNG_PHILOX_H
