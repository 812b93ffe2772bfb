/* Scalar types, the sizer record and the export macro shared by every
 * public header of the trova kernel library. Compiles as C11 and C++. */
#ifndef TROVA_TYPES_H
#define TROVA_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
#define TROVA_BEGIN_DECLS extern "C" {
#define TROVA_END_DECLS }
#else
#define TROVA_BEGIN_DECLS
#define TROVA_END_DECLS
#endif

#define TROVA_API __attribute__((visibility("default")))

TROVA_BEGIN_DECLS

typedef double f64;
typedef int64_t i64;
typedef uint64_t u64;
typedef uint32_t u32;

/* A complex number. */
typedef struct c128 {
    f64 re;
    f64 im;
} c128;

/* Element counts a sizer reports: f64 elements of the float input/work lane
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
    i64 n_float;
    i64 n_int;
} arena_size;

TROVA_END_DECLS

#endif /* TROVA_TYPES_H */
