// The structured second-order solve and its dense building blocks: the
// Hessenberg-triangular reduction of a real pencil, the complex Schur form
// of a real matrix and the solve of a shifted complex upper Hessenberg
// system. All arrays are row-major; complex arrays hold interleaved (re, im)
// pairs unless a routine says it takes split real and imaginary parts.
#ifndef TROVA_CORE_SYLVESTER_H
#define TROVA_CORE_SYLVESTER_H

#include "trova_types.h"

namespace trova_core {

// Reduces the n x n pencil (A, B) by orthogonal Q, V to A := Q' A V upper
// triangular and B := Q' B V upper Hessenberg (Householder QR of A, then
// Givens rotations from the left and right), in place; Qt := Q' and
// V are written in full. Direct: no iteration, no inverse, so a singular A
// is reduced like any other. work holds n values.
void ht_reduce(f64* A, f64* B, f64* Qt, f64* V, i64 n, f64* work);

// Complex Schur form h = U T U^H of the real m x m h: T upper triangular and
// U unitary, both m x m interleaved complex (2 m^2 values). Hessenberg
// reduction by Householder reflections, then single-shift complex QR with
// Wilkinson shifts, exceptional shifts every tenth step of a stalled
// window and deflation on negligible subdiagonals. Returns false when the
// iteration does not converge within 30 m sweeps (a non-finite h never
// does); T and U are then meaningless. work holds m^2 + m values.
bool complex_schur(const f64* h, i64 m, f64* T, f64* U, f64* work);

// Solves M y = f for the n x n upper Hessenberg complex M, given as split
// row-major real and imaginary parts (only the Hessenberg band is read),
// by Gaussian elimination with partial pivoting between neighbouring rows;
// M is overwritten and y replaces f (split parts too). Returns false when a
// pivot's modulus is at most tol (nothing is solved then); a NaN pivot
// passes, so NaN inputs give NaN solutions.
bool hessenberg_solve(f64* Mr, f64* Mi, f64* fr, f64* fi, i64 n, f64 tol);

// The structured solve of trova_second_order on its checked dimensions
// (1 <= nx <= n): 0, -1 (allocation), -2 (singular), or 1 when the Schur
// iteration on hx does not converge. Nothing is written unless it returns
// 0. trova_second_order takes the dense path instead for one or two states
// and small systems, where that is faster; tests reach this path directly.
i64 second_order_structured(const f64* a, const f64* b, const f64* f_xx, const f64* gx,
                            const f64* hx, i64 n, i64 nx, f64* gxx, f64* hxx);

}  // namespace trova_core

#endif  // TROVA_CORE_SYLVESTER_H
