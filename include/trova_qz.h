/** @file
 * Model solution by QZ and second-order perturbation.
 *
 * klein_qz computes the ordered complex generalised Schur form of (a, b)
 * through the caller's LAPACK zgges (passed as a function pointer; the
 * library links no LAPACK), klein_postproc reads the Blanchard-Kahn code,
 * the generalised eigenvalues and the policy and transition matrices from it,
 * and trova_assemble_state_space builds the real state space. zgges works
 * column-major while klein_postproc reads row-major: the caller transposes in
 * between (tests/support/klein_solve.h does this).
 *
 * trova_second_order and trova_second_order_risk add the quadratic terms and
 * the risk corrections of the second-order perturbation solution;
 * trova_second_order_dense is the dense reference path of the first.
 * Every kernel here allocates its work memory from the heap and frees it on
 * every path. Compiles as C11 and C++.
 *
 * Variables are ordered states first (n_s of them), then controls (n_cs);
 * N = n_s + n_cs. The linear model a E[x(t+1)] = b x(t) (a and b from
 * klein_preproc) is solved as controls u(t) = F k(t) and states
 * k(t+1) = P k(t). Apart from klein_qz, matrices are row-major. The kernels
 * are reentrant when the zgges passed in is, and call it from the calling
 * thread only. */
#ifndef TROVA_QZ_H
#define TROVA_QZ_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/** LAPACK's SELCTG: nonzero selects the pair (alpha, beta). klein_qz passes
 * its own, which selects |alpha| > |beta| (the stable roots). */
typedef int (*klein_zselect2_fn)(const c128* alpha, const c128* beta);

/** LAPACK's zgges parameter list: 32-bit integers, column-major arrays, no
 * hidden string-length arguments. The 21 parameters are JOBVSL, JOBVSR,
 * SORT, SELCTG, N, A, LDA, B, LDB, SDIM, ALPHA, BETA, VSL, LDVSL, VSR, LDVSR,
 * WORK, LWORK, RWORK, BWORK, INFO, with LAPACK's meanings; klein_qz calls it
 * twice (a workspace query with LWORK = -1, then the decomposition). */
typedef void (*klein_zgges_fn)(const char* jobvsl, const char* jobvsr, const char* sort,
                               klein_zselect2_fn selctg, const int* n, c128* a, const int* lda,
                               c128* b, const int* ldb, int* sdim, c128* alpha, c128* beta,
                               c128* vsl, const int* ldvsl, c128* vsr, const int* ldvsr,
                               c128* work, const int* lwork, f64* rwork, int* bwork, int* info);

/** Ordered Schur form of the n x n pencil (s, t): on exit s = S, t = T and
 * z = Z (column-major, as zgges leaves them), roots with |alpha| > |beta|
 * first (moduli compared without underflow or overflow). A pencil whose
 * largest component lies beyond 2^-200 or 2^200 is handed to zgges scaled
 * by a power of two towards 1 and S and T are scaled back, so it orders its
 * roots like the unscaled one. 0 success (n = 0 without calling zgges),
 * -1 null zgges, n < 0, n beyond zgges's 32-bit range or allocation failure
 * (nothing written; zgges is not called, except for its workspace query
 * when the work array sized by that query cannot be had), -2 zgges
 * INFO != 0. On -2, s, t and z hold whatever zgges left.
 * @param zgges the caller's LAPACK zgges; not NULL
 * @param n order N of the pencil
 * @param s a on entry, S on exit (n x n, column-major: a[i][j] at s[j n + i])
 * @param t b on entry, T on exit (n x n, column-major)
 * @param z right Schur vectors Z (n x n, column-major), written
 * @return 0, -1 or -2 */
TROVA_API i64 klein_qz(klein_zgges_fn zgges, i64 n, c128* s, c128* t, c128* z);

/** From row-major S, T, Z (N = n_s + n_cs): Blanchard-Kahn code into stab
 * (0 unique, -1 no stable solution, 1 indeterminate, 2 not evaluated),
 * eigenvalues T[k][k] / S[k][k] into eig (N), F = Z21 Z11^-1 (n_cs x n_s) and
 * P = Z11 S11^-1 T11 Z11^-1 (n_s x n_s). 0 success, -1 n_cs < 0, N x N too
 * large to address, allocation or solver failure, -2 Z11 or S11 singular,
 * -3 n_s < 1; stab stays 2 when the call fails before the Blanchard-Kahn
 * check. An S[k][k] of modulus at most 1e-12 gives eig[k] = (+inf, 0). A
 * singular S11 (-2 after the check) leaves stab and eig written; f and p
 * are written only on success.
 * @param s S of klein_qz, transposed to row-major (N x N)
 * @param t T, row-major (N x N)
 * @param z Z, row-major (N x N)
 * @param n_s states, at least 1
 * @param n_cs controls, at least 0
 * @param f policy F (n_cs x n_s)
 * @param p transition P (n_s x n_s)
 * @param stab Blanchard-Kahn code: 0 exactly n_s stable roots; -1 too few;
 *        1 too many; 2 not evaluated
 * @param eig generalised eigenvalues (N); |eig[k]| < 1 marks a stable root
 * @return 0, -1, -2 or -3 */
TROVA_API i64 klein_postproc(const c128* s, const c128* t, const c128* z, i64 n_s, i64 n_cs,
                             c128* f, c128* p, i64* stab, c128* eig);

/** A (n_total x n_total) = [Re P, 0; Re(F P), 0] and, when n_exog >= 1,
 * B (n_total x n_exog) = [I; 0] over the states plus Re F's first n_exog
 * columns over the controls; n_total = n_state + n_control. The shocks load
 * on the first n_exog states. Returns 0, or -1 with nothing written for
 * n_exog > n_state, a negative n_state or n_control, or sizes beyond 64
 * bits. Then w = (k; u) follows w(t) = A w(t-1) + B e(t).
 * @param p transition P (n_state x n_state)
 * @param f policy F (n_control x n_state)
 * @param n_state states
 * @param n_control controls
 * @param n_exog shocks, at most n_state
 * @param A transition of the whole vector (n_total x n_total)
 * @param B shock loading (n_total x n_exog); not touched, and may be NULL,
 *        when n_exog < 1
 * @return 0 or -1 */
TROVA_API i64 trova_assemble_state_space(const c128* p, const c128* f, i64 n_state,
                                         i64 n_control, i64 n_exog, f64* A, f64* B);

/** Quadratic terms gxx (ny x nx x nx) and hxx (nx x nx x nx) from the
 * Jacobians a, b (n x n), the Hessian f_xx (n x 2n x 2n over z = (v(t+1);
 * v(t))) and the first-order gx (ny x nx), hx (nx x nx); ny = n - nx.
 * The equations are solved through their Kronecker structure: the pencil
 * of the unknowns' coefficients is reduced to triangular-Hessenberg form
 * and hx to complex Schur form (no LAPACK, no inverse of either matrix),
 * then one shifted Hessenberg system of n unknowns is solved per distinct
 * state pair: O(n^3 + n^2 nx^2 + n nx^3) work beside the contraction of
 * the Hessian, O(n nx^2) memory, and gxx, hxx exactly symmetric. With one
 * or two states and at most 2048 distinct unknowns, where it is faster, and
 * should the Schur iteration on hx not converge, the dense path below is
 * used instead.
 * 0 success, -1 nx < 1, nx > n, dimensions whose arrays would not fit in
 * 64-bit byte counts, allocation or solver failure, -2 singular: an
 * equation without coefficients, an unknown in no equation, or a shifted
 * system whose pivot or solution shows it singular to working precision
 * (condition beyond 1 / (n eps)); on the dense path an exactly zero
 * pivot. The outputs are written only on success.
 * Element (l, j, k) of gxx is d2 g_l / dx_j dx_k at l nx^2 + j nx + k, and
 * hxx likewise; element (i, r, c) of f_xx is at i 4n^2 + r 2n + c, the
 * layout of trova_bicomplex_hessian.
 * @param a df/dv(t+1) (n x n), states' columns first
 * @param b -df/dv(t) (n x n)
 * @param f_xx second derivatives (n x 2n x 2n)
 * @param gx first-order control policy (ny x nx)
 * @param hx first-order state transition (nx x nx)
 * @param n variables and equations
 * @param nx states
 * @param gxx controls' quadratic terms (ny x nx x nx)
 * @param hxx states' quadratic terms (nx x nx x nx)
 * @return 0, -1 or -2 */
TROVA_API i64 trova_second_order(const f64* a, const f64* b, const f64* f_xx, const f64* gx,
                                 const f64* hx, i64 n, i64 nx, f64* gxx, f64* hxx);

/** The same solution by the dense reference path: the square system over the
 * R = n nx (nx + 1) / 2 distinct unknowns formed and factored by LU (R^3
 * work, 8 R^2 bytes), -2 only for an exactly zero pivot. Kept for tests
 * and benchmarks of trova_second_order; same arguments and statuses.
 * @param a df/dv(t+1) (n x n)
 * @param b -df/dv(t) (n x n)
 * @param f_xx second derivatives (n x 2n x 2n)
 * @param gx first-order control policy (ny x nx)
 * @param hx first-order state transition (nx x nx)
 * @param n variables and equations
 * @param nx states
 * @param gxx controls' quadratic terms (ny x nx x nx)
 * @param hxx states' quadratic terms (nx x nx x nx)
 * @return 0, -1 or -2 */
TROVA_API i64 trova_second_order_dense(const f64* a, const f64* b, const f64* f_xx,
                                       const f64* gx, const f64* hx, i64 n, i64 nx, f64* gxx,
                                       f64* hxx);

/** Risk corrections gss (ny) and hss (nx) for shocks loaded on the states by
 * eta (nx x ne). Status as trova_second_order, with nx = 0 allowed and a
 * negative ne refused (-1). The shocks have unit variance and are
 * independent.
 * @param a df/dv(t+1) (n x n)
 * @param b -df/dv(t) (n x n)
 * @param f_xx second derivatives (n x 2n x 2n)
 * @param gx first-order control policy (ny x nx)
 * @param gxx controls' quadratic terms (ny x nx x nx)
 * @param eta shock loading on the states (nx x ne)
 * @param n variables and equations
 * @param nx states
 * @param ne shocks
 * @param gss controls' risk correction d2 g / d sigma^2 (ny)
 * @param hss states' risk correction d2 h / d sigma^2 (nx)
 * @return 0, -1 or -2 */
TROVA_API i64 trova_second_order_risk(const f64* a, const f64* b, const f64* f_xx,
                                      const f64* gx, const f64* gxx, const f64* eta, i64 n,
                                      i64 nx, i64 ne, f64* gss, f64* hss);

TROVA_END_DECLS

#endif /* TROVA_QZ_H */
