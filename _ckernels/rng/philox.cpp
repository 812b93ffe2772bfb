// Philox4x64-10 stream over a caller-owned state, and its binding to NumPy's
// bitgen_t record.
#include "rng/philox.h"

#include <cstring>

namespace {

using namespace trova::philox;

u64 trova_philox_bg_next_u64(void* st) {
    return trova_philox_next_u64(static_cast<trova_philox_state*>(st));
}

// The upper half of a whole word; the lower half is discarded, so 32-bit
// draws consume the stream at the same rate as 64-bit ones.
u32 trova_philox_bg_next_u32(void* st) {
    return static_cast<u32>(trova_philox_next_u64(static_cast<trova_philox_state*>(st)) >> 32);
}

// 53 random bits scaled into [0, 1).
f64 trova_philox_bg_next_double(void* st) {
    return static_cast<f64>(trova_philox_next_u64(static_cast<trova_philox_state*>(st)) >> 11) *
           0x1.0p-53;
}

u64 trova_philox_bg_next_raw(void* st) {
    return trova_philox_next_u64(static_cast<trova_philox_state*>(st));
}

}  // namespace

extern "C" {

TROVA_API void trova_philox_seed(trova_philox_state* st, u64 key0, u64 key1, u64 stream0,
                                 u64 stream1) {
    st->key[0] = key0;
    st->key[1] = key1;
    st->ctr[0] = 0;
    st->ctr[1] = 0;
    st->ctr[2] = stream0;
    st->ctr[3] = stream1;
    std::memset(st->buffer, 0, sizeof st->buffer);
    st->buffer_pos = 4;
}

TROVA_API u64 trova_philox_next_u64(trova_philox_state* st) {
    if (st->buffer_pos <= 3) return st->buffer[st->buffer_pos++];
    // The counter is incremented before use: counter value 0 is never used.
    increment_counter(st->ctr);
    trova_philox_block(st->ctr, st->key, st->buffer);
    st->buffer_pos = 1;
    return st->buffer[0];
}

TROVA_API void trova_philox_bind(trova_philox_state* st, bitgen_t* bg) {
    bg->state = st;
    bg->next_uint64 = trova_philox_bg_next_u64;
    bg->next_uint32 = trova_philox_bg_next_u32;
    bg->next_double = trova_philox_bg_next_double;
    bg->next_raw = trova_philox_bg_next_raw;
}

}  // extern "C"
