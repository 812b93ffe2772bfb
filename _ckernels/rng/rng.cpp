// Normal and uniform fills: NumPy's published generators
// (random_standard_normal_fill, the ziggurat method, and
// random_standard_uniform_fill) driven by a bitgen_t.
//
// The Philox fills hand NumPy a private bit generator that computes two
// blocks (eight words) per refill, so that the dependent multiply chains of
// the two overlap (more blocks spill registers and measured slower), and
// then leave the caller's state exactly where word-by-word drawing would
// have left it: the counter and buffer of the block that held the last word
// consumed.
#include <numpy/random/distributions.h>

#include <cstring>

#include "rng/philox.h"

namespace {

using namespace trova::philox;

constexpr int kBatchBlocks = 2;
constexpr int kBatchWords = 4 * kBatchBlocks;

struct BatchStream {
    trova_philox_state* st;
    u64 ctr[4];                 // counter of the last block computed
    u64 block_ctr[kBatchBlocks][4];
    u64 words[kBatchBlocks][4];
    int pos;                    // next unread word of the batch
    int end;                    // words available in the batch
    bool refilled;              // whether any new block was computed
};

void batch_start(BatchStream& b, trova_philox_state* st) {
    b.st = st;
    std::memcpy(b.ctr, st->ctr, sizeof b.ctr);
    // The words left in the state's buffer come first.
    const int left = st->buffer_pos < 4 ? static_cast<int>(4 - st->buffer_pos) : 0;
    for (int w = 0; w < left; ++w) b.words[0][w] = st->buffer[st->buffer_pos + w];
    b.pos = 0;
    b.end = left;
    b.refilled = false;
}

__attribute__((noinline)) void batch_refill(BatchStream& b) {
    for (int k = 0; k < kBatchBlocks; ++k) {
        increment_counter(b.ctr);
        std::memcpy(b.block_ctr[k], b.ctr, sizeof b.ctr);
    }
    trova_philox_blocks<kBatchBlocks>(b.block_ctr, b.st->key, b.words);
    b.pos = 0;
    b.end = kBatchWords;
    b.refilled = true;
}

inline u64 batch_next(BatchStream& b) {
    if (__builtin_expect(b.pos == b.end, 0)) batch_refill(b);
    return (&b.words[0][0])[b.pos++];
}

// Writes back the state word-by-word drawing would have reached.
void batch_finish(BatchStream& b) {
    trova_philox_state* st = b.st;
    if (!b.refilled) {
        st->buffer_pos += b.pos;
        return;
    }
    // Refills happen only on demand, so the last batch has pos >= 1.
    const int k = (b.pos - 1) / 4;
    std::memcpy(st->ctr, b.block_ctr[k], sizeof st->ctr);
    std::memcpy(st->buffer, b.words[k], sizeof st->buffer);
    st->buffer_pos = b.pos - 4 * k;
}

u64 batch_next_u64(void* s) { return batch_next(*static_cast<BatchStream*>(s)); }

u32 batch_next_u32(void* s) {
    return static_cast<u32>(batch_next(*static_cast<BatchStream*>(s)) >> 32);
}

f64 batch_next_double(void* s) {
    return static_cast<f64>(batch_next(*static_cast<BatchStream*>(s)) >> 11) * 0x1.0p-53;
}

template <void (*Fill)(bitgen_t*, npy_intp, double*)>
void philox_fill(trova_philox_state* st, i64 n, f64* out) {
    if (n <= 0) return;
    BatchStream b;
    batch_start(b, st);
    bitgen_t bg{&b, batch_next_u64, batch_next_u32, batch_next_double, batch_next_u64};
    Fill(&bg, static_cast<npy_intp>(n), out);
    batch_finish(b);
}

}  // namespace

extern "C" {

TROVA_API void trova_philox_standard_normal_fill(trova_philox_state* st, i64 n, f64* out) {
    philox_fill<random_standard_normal_fill>(st, n, out);
}

TROVA_API void trova_philox_standard_uniform_fill(trova_philox_state* st, i64 n, f64* out) {
    philox_fill<random_standard_uniform_fill>(st, n, out);
}

TROVA_API void trova_rng_standard_normal_fill(bitgen_t* bg, i64 n, f64* out) {
    if (n > 0) random_standard_normal_fill(bg, static_cast<npy_intp>(n), out);
}

TROVA_API void trova_rng_standard_uniform_fill(bitgen_t* bg, i64 n, f64* out) {
    if (n > 0) random_standard_uniform_fill(bg, static_cast<npy_intp>(n), out);
}

}  // extern "C"
