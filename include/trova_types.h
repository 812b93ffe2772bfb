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
 * and i64 elements of the integer work lane. */
typedef struct arena_size {
    i64 n_float;
    i64 n_int;
} arena_size;

TROVA_END_DECLS

#endif /* TROVA_TYPES_H */
