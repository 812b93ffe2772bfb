/** @file
 * Scalar types, the sizer record and the export macro shared by every
 * public header of the trova kernel library. Compiles as C11 and C++.
 *
 * Conventions of every header: matrices are dense, contiguous and row-major
 * (element (i, j) of an r x c matrix sits at i c + j, a stack of T such
 * matrices is T x r x c); dimensions, counts and indices are i64; the caller
 * owns every buffer, record and callback it passes, for as long as the call
 * (or the run of trova_mc_run) that uses it. */
#ifndef TROVA_TYPES_H
#define TROVA_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
/** Opens C linkage for the declarations that follow: `extern "C" {` in C++,
 * nothing in C, so every exported name is unmangled. */
#define TROVA_BEGIN_DECLS extern "C" {
/** Closes the C linkage that TROVA_BEGIN_DECLS opened. */
#define TROVA_END_DECLS }
#else
#define TROVA_BEGIN_DECLS
#define TROVA_END_DECLS
#endif

/** Marks a function as exported by the library (default symbol visibility;
 * everything else in the shared objects is hidden). */
#define TROVA_API __attribute__((visibility("default")))

TROVA_BEGIN_DECLS

/** IEEE 754 binary64 float: every real value of the library. */
typedef double f64;
/** Signed 64-bit integer: dimensions, counts and indices. */
typedef int64_t i64;
/** Unsigned 64-bit integer: random words and Philox keys. */
typedef uint64_t u64;
/** Unsigned 32-bit integer. */
typedef uint32_t u32;

/** A complex number: two f64, real part first. */
typedef struct c128 {
    f64 re; /**< Real part. */
    f64 im; /**< Imaginary part. */
} c128;

/** Element counts a sizer reports: f64 elements of the float input/work lane
 * and i64 elements of the integer work lane.
 *
 * Every sizer of the library computes its counts with overflow-checked
 * 64-bit arithmetic (blocks, derived dimensions and totals alike). When a
 * count does not fit in 64 bits, a sizer returning arena_size reports
 * {-1, -1} and a sizer returning a single i64 count reports -1: no buffer
 * can be allocated for such a layout. Dimensions are not otherwise checked,
 * so negative dimensions give whatever the layout's arithmetic makes of
 * them. */
typedef struct arena_size {
    i64 n_float; /**< f64 elements of the float input/work lane (or scratch arena); -1 past 64 bits. */
    i64 n_int;   /**< i64 elements of the integer work lane; -1 past 64 bits. */
} arena_size;

TROVA_END_DECLS

#endif /* TROVA_TYPES_H */
