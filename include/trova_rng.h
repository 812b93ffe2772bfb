/** @file
 * Philox4x64-10 random stream over a caller-owned state, bound to NumPy's
 * bitgen_t so that NumPy's published normal (ziggurat) and uniform
 * generators run on top of it.
 *
 * A stream is identified by its key {key0, key1} and its stream words
 * {stream0, stream1}; words 0 and 1 of the counter form a running 128-bit
 * counter (word 0 low) that is incremented before each block, so after
 * seeding the first four words are the block of counter {1, 0, stream0,
 * stream1}. The same (key, stream) pair gives the same words on any thread:
 * there is no global state. */
#ifndef TROVA_RNG_H
#define TROVA_RNG_H

#include "trova_types.h"

/* NumPy's bit-generator record (numpy/random/bitgen.h), reproduced under
 * NumPy's own include guard so that this header needs no NumPy include path
 * and either header may come first. */
#ifndef NUMPY_CORE_INCLUDE_NUMPY_RANDOM_BITGEN_H_
#define NUMPY_CORE_INCLUDE_NUMPY_RANDOM_BITGEN_H_
TROVA_BEGIN_DECLS
/** NumPy's bit-generator record (numpy/random/bitgen.h): a generator state
 * and the functions that draw from it, each called with `state`. */
typedef struct bitgen {
    void* state;                         /**< the generator's state, passed to every function */
    uint64_t (*next_uint64)(void* st);   /**< the next 64-bit word */
    uint32_t (*next_uint32)(void* st);   /**< the next 32-bit word */
    double (*next_double)(void* st);     /**< the next double in [0, 1) */
    uint64_t (*next_raw)(void* st);      /**< the next raw word */
} bitgen_t;
TROVA_END_DECLS
#endif

TROVA_BEGIN_DECLS

/** State of one Philox4x64-10 stream. The caller owns it (the shock draws
 * keep theirs on the stack) and seeds it with trova_philox_seed; one thread
 * uses it at a time. */
typedef struct trova_philox_state {
    u64 key[2];    /**< the Philox key {key0, key1}; never changed by drawing */
    u64 ctr[4];    /**< words 0-1: running counter; words 2-3: stream identity */
    u64 buffer[4]; /**< the four output words of the last block */
    i64 buffer_pos; /**< next unread word of buffer; 4 = empty */
} trova_philox_state;

/** key = {key0, key1}, ctr = {0, 0, stream0, stream1}, empty buffer.
 * Re-seeding discards any unread words.
 * @param st the state to seed
 * @param key0 first key word
 * @param key1 second key word
 * @param stream0 first stream word (counter word 2)
 * @param stream1 second stream word (counter word 3) */
TROVA_API void trova_philox_seed(trova_philox_state* st, u64 key0, u64 key1, u64 stream0,
                                 u64 stream1);
/** The next 64-bit word of the stream.
 * @param st a seeded state; advanced by one word
 * @return the word */
TROVA_API u64 trova_philox_next_u64(trova_philox_state* st);
/** Binds bg to st: next_uint64 and next_raw return the next word,
 * next_uint32 its upper 32 bits (a whole word per call), next_double
 * (word >> 11) * 2^-53.
 * @param st the state; bg keeps a pointer to it, so it must outlive bg's use
 * @param bg the record filled in */
TROVA_API void trova_philox_bind(trova_philox_state* st, bitgen_t* bg);

/** The first n elements of out: standard normals (NumPy's ziggurat) or
 * standard uniforms in [0, 1) drawn from st. n <= 0 does nothing and leaves
 * the stream where it was. The state afterwards is exactly as if the words
 * had been drawn one by one with trova_philox_next_u64.
 * @param st a seeded state, advanced past the words drawn
 * @param n values to draw
 * @param out n standard normals */
TROVA_API void trova_philox_standard_normal_fill(trova_philox_state* st, i64 n, f64* out);
/** The uniform fill of trova_philox_standard_normal_fill: one word per
 * value, (word >> 11) * 2^-53.
 * @param st a seeded state, advanced by n words
 * @param n values to draw
 * @param out n standard uniforms in [0, 1) */
TROVA_API void trova_philox_standard_uniform_fill(trova_philox_state* st, i64 n, f64* out);

/** The same fills over any caller-supplied bit generator: n standard
 * normals (NumPy's ziggurat); n <= 0 does nothing.
 * @param bg the bit generator
 * @param n values to draw
 * @param out n standard normals */
TROVA_API void trova_rng_standard_normal_fill(bitgen_t* bg, i64 n, f64* out);
/** The same fills over any caller-supplied bit generator: n standard
 * uniforms in [0, 1), one next_double per value; n <= 0 does nothing.
 * @param bg the bit generator
 * @param n values to draw
 * @param out n standard uniforms */
TROVA_API void trova_rng_standard_uniform_fill(bitgen_t* bg, i64 n, f64* out);

TROVA_END_DECLS

#endif /* TROVA_RNG_H */
