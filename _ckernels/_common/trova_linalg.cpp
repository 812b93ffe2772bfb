// Real dense kernels: products, Cholesky with jitter, triangular solves,
// Gram matrices, Cholesky solve and inverse, sort and median.
//
// Every product goes through one register-blocked micro-kernel that keeps an
// MR x NR block of the result in vector registers and walks the inner
// dimension in ascending order, one fused multiply-add chain per element.
// The orientations differ only in the strides the kernel reads its operands
// with; a transposed right operand is first packed into a stack panel so that
// the kernel always loads it with unit stride.
#include "trova_linalg.h"

#include "_common/dense.h"
#include "_common/lu_impl.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

typedef f64 v4 __attribute__((vector_size(32)));
// Lanes of two vectors picked by constant indices (0-3 from a, 4-7 from b):
// GCC's builtin takes a selector vector, Clang's the indices themselves.
#if defined(__clang__)
#define shuffle2(a, b, i0, i1, i2, i3) __builtin_shufflevector(a, b, i0, i1, i2, i3)
#else
typedef long long v4i __attribute__((vector_size(32)));  // lane selectors of shuffles
#define shuffle2(a, b, i0, i1, i2, i3) __builtin_shuffle(a, b, v4i{i0, i1, i2, i3})
#endif

constexpr int MR = 6;    // rows of a register block
constexpr int NR = 8;    // columns of a register block: two 4-wide vectors
constexpr i64 KC = 256;  // inner-dimension chunk; a packed KC x NR panel is 16 KiB

// Unaligned view of four doubles; may_alias lets it read and write f64 arrays.
typedef f64 v4u __attribute__((vector_size(32), aligned(8), may_alias));

// The first w lanes (1..4) of p; the lanes past w are zero on load and left
// unwritten on store, so blocks narrower than a vector never touch memory
// outside the matrix. w is a constant once the block loops are unrolled.
// Vectors go by reference so that no target changes these helpers' ABI.
inline void load_lanes(v4& v, const f64* p, int w) {
    if (w == 4) {
        v = *reinterpret_cast<const v4u*>(p);
        return;
    }
    v = v4{0.0, 0.0, 0.0, 0.0};
    for (int l = 0; l < w; ++l) v[l] = p[l];
}

inline void store_lanes(f64* p, const v4& v, int w) {
    if (w == 4) {
        *reinterpret_cast<v4u*>(p) = v;
        return;
    }
    for (int l = 0; l < w; ++l) p[l] = v[l];
}

// Width of vector v of a block NC columns wide.
constexpr int lane_width(int NC, int v) { return NC - 4 * v < 4 ? NC - 4 * v : 4; }

// R x NC block of out (row stride ldo) = init + sum over k < kc of a(i, k) b(k, :),
// with a(i, k) = a[i*sai + k*sak] and row k of b at b + k*ldb. init is the
// block of c (row stride ldo) or zero when c is null. The loops over the
// block are unrolled up front so that the accumulators live in registers
// from start to end instead of going through the stack around the k loop.
template <int R, int NC>
void block(const f64* a, i64 sai, i64 sak, const f64* b, i64 ldb,
           const f64* c, f64* out, i64 ldo, i64 kc) {
    constexpr int NV = (NC + 3) / 4;
    v4 acc[R][NV];
#pragma GCC unroll 16
    for (int e = 0; e < R * NV; ++e) {
        v4& x = acc[e / NV][e % NV];
        if (c) {
            load_lanes(x, c + (e / NV) * ldo + 4 * (e % NV), lane_width(NC, e % NV));
        } else {
            x = v4{0.0, 0.0, 0.0, 0.0};
        }
    }
    for (i64 k = 0; k < kc; ++k) {
        const f64* bk = b + k * ldb;
        const f64* ak = a + k * sak;
        v4 bv[NV];
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) load_lanes(bv[v], bk + 4 * v, lane_width(NC, v));
#pragma GCC unroll 16
        for (int e = 0; e < R * NV; ++e) acc[e / NV][e % NV] += ak[(e / NV) * sai] * bv[e % NV];
    }
#pragma GCC unroll 16
    for (int e = 0; e < R * NV; ++e) {
        store_lanes(out + (e / NV) * ldo + 4 * (e % NV), acc[e / NV][e % NV], lane_width(NC, e % NV));
    }
}

using BlockFn = void (*)(const f64*, i64, i64, const f64*, i64, const f64*, f64*, i64, i64);

// Every block shape, full and partial: entry (R-1)*NR + (NC-1).
template <std::size_t... I>
constexpr std::array<BlockFn, sizeof...(I)> block_table(std::index_sequence<I...>) {
    return {{&block<int(I / NR) + 1, int(I % NR) + 1>...}};
}
constexpr auto kBlocks = block_table(std::make_index_sequence<MR * NR>{});

// panel[k*NR + j] = src[j*ld + k] for k < kc, j < nc: a kc x nc block of a
// transposed operand laid out as the kernel reads it. Full panels go through
// 4 x 4 register transposes.
void pack_transposed(const f64* src, i64 ld, i64 kc, i64 nc, f64* panel) {
    i64 k = 0;
    if (nc == NR) {
        for (; k + 4 <= kc; k += 4) {
            for (int g = 0; g < NR; g += 4) {
                v4 r[4];
                for (int t = 0; t < 4; ++t) load_lanes(r[t], src + (g + t) * ld + k, 4);
                const v4 even01 = shuffle2(r[0], r[1], 0, 4, 2, 6);
                const v4 odd01 = shuffle2(r[0], r[1], 1, 5, 3, 7);
                const v4 even23 = shuffle2(r[2], r[3], 0, 4, 2, 6);
                const v4 odd23 = shuffle2(r[2], r[3], 1, 5, 3, 7);
                f64* dst = panel + k * NR + g;
                store_lanes(dst, shuffle2(even01, even23, 0, 1, 4, 5), 4);
                store_lanes(dst + NR, shuffle2(odd01, odd23, 0, 1, 4, 5), 4);
                store_lanes(dst + 2 * NR, shuffle2(even01, even23, 2, 3, 6, 7), 4);
                store_lanes(dst + 3 * NR, shuffle2(odd01, odd23, 2, 3, 6, 7), 4);
            }
        }
    }
    for (; k < kc; ++k) {
        for (i64 j = 0; j < nc; ++j) panel[k * NR + j] = src[j * ld + k];
    }
}

// Left operand: element (i, k) at p[i*si + k*sk].
struct Left {
    const f64* p;
    i64 si, sk;
};

// Right operand: row k at p + k*ld or, when transposed, element (k, j) at p[j*ld + k].
struct Right {
    const f64* p;
    i64 ld;
    bool transposed;
};

// out (rows x cols, row stride cols) = init + a b summed over k = 0..kdim-1
// in ascending order; init is c (same shape as out) or zero. With lower set
// only the blocks that reach the diagonal or below it are computed (the
// caller mirrors the lower triangle). kdim <= 0 writes init.
void gemm(Left a, Right b, const f64* c, f64* out, i64 rows, i64 cols, i64 kdim, bool lower) {
    if (rows <= 0 || cols <= 0) return;
    // As few row blocks as MR allows, of sizes differing by at most one: a
    // block of fewer than four rows has too few accumulators to hide the FMA
    // latency, so 8 rows run as 4 + 4 rather than 6 + 2.
    const i64 row_blocks = (rows + MR - 1) / MR;
    const i64 rows_per_block = rows / row_blocks, rows_extra = rows % row_blocks;
    alignas(32) f64 panel[KC * NR];
    for (i64 k0 = 0;; k0 += KC) {
        const i64 kc = std::max<i64>(0, std::min(KC, kdim - k0));
        // Later chunks continue the sums already in out.
        const f64* init = k0 == 0 ? c : out;
        for (i64 j0 = 0; j0 < cols; j0 += NR) {
            const i64 nc = std::min<i64>(NR, cols - j0);
            const f64* bp = b.p + k0 * b.ld + j0;
            i64 ldb = b.ld;
            if (b.transposed) {
                pack_transposed(b.p + j0 * b.ld + k0, b.ld, kc, nc, panel);
                bp = panel;
                ldb = NR;
            }
            for (i64 blk = 0, i0 = 0, mr = 0; blk < row_blocks; ++blk, i0 += mr) {
                mr = rows_per_block + (blk < rows_extra);
                if (lower && i0 + mr <= j0) continue;  // wholly above the diagonal
                const i64 at = i0 * cols + j0;
                kBlocks[(mr - 1) * NR + (nc - 1)](a.p + i0 * a.si + k0 * a.sk, a.si, a.sk, bp,
                                                  ldb, init ? init + at : nullptr, out + at, cols,
                                                  kc);
            }
        }
        if (k0 + KC >= kdim) break;
    }
}

// out (NC values) = sum over rows r < n of y[r] X[r][0..NC-1], X with row
// stride ld: the columns of X'y in one block. Four consecutive rows feed four
// sets of accumulators, so that a row's multiply-adds do not wait for the
// previous row's; the sets are added at the end. n <= 0 writes zeros.
template <int NC>
void rhs_block(const f64* X, i64 ld, const f64* y, i64 n, f64* out) {
    constexpr int NV = (NC + 3) / 4;
    v4 acc[4][NV] = {};
    i64 r = 0;
    for (; r + 4 <= n; r += 4) {
#pragma GCC unroll 8
        for (int e = 0; e < 4 * NV; ++e) {
            v4 x;
            load_lanes(x, X + (r + e / NV) * ld + 4 * (e % NV), lane_width(NC, e % NV));
            acc[e / NV][e % NV] += y[r + e / NV] * x;
        }
    }
    for (; r < n; ++r) {
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) {
            v4 x;
            load_lanes(x, X + r * ld + 4 * v, lane_width(NC, v));
            acc[0][v] += y[r] * x;
        }
    }
#pragma GCC unroll 2
    for (int v = 0; v < NV; ++v) {
        store_lanes(out + 4 * v, (acc[0][v] + acc[1][v]) + (acc[2][v] + acc[3][v]), lane_width(NC, v));
    }
}

using RhsFn = void (*)(const f64*, i64, const f64*, i64, f64*);

template <std::size_t... I>
constexpr std::array<RhsFn, sizeof...(I)> rhs_table(std::index_sequence<I...>) {
    return {{&rhs_block<int(I) + 1>...}};
}
constexpr auto kRhsBlocks = rhs_table(std::make_index_sequence<NR>{});

using trova::dense::axpy;
using trova::dense::dot;
using trova::dense::dot2;

// out[i] = b[i] + A_i . x (b[i] taken as 0 when b is null), for i < n.
// Four rows go together: each keeps a vector accumulator over the columns,
// and the four are reduced with one transposing add, so a short row costs a
// few fused multiply-adds rather than a horizontal sum of its own. b may be
// out; x must not overlap out.
void matvec(const f64* A, const f64* x, const f64* b, f64* out, i64 n, i64 m) {
    i64 i = 0;
    for (; i + 4 <= n; i += 4) {
        const f64* a0 = A + i * m;
        const f64* a1 = a0 + m;
        const f64* a2 = a1 + m;
        const f64* a3 = a2 + m;
        v4 s0{0.0, 0.0, 0.0, 0.0}, s1 = s0, s2 = s0, s3 = s0;
        i64 j = 0;
        for (; j + 4 <= m; j += 4) {
            v4 xv, r0, r1, r2, r3;
            load_lanes(xv, x + j, 4);
            load_lanes(r0, a0 + j, 4);
            load_lanes(r1, a1 + j, 4);
            load_lanes(r2, a2 + j, 4);
            load_lanes(r3, a3 + j, 4);
            s0 += r0 * xv;
            s1 += r1 * xv;
            s2 += r2 * xv;
            s3 += r3 * xv;
        }
        const v4 h01 = shuffle2(s0, s1, 0, 4, 2, 6) + shuffle2(s0, s1, 1, 5, 3, 7);
        const v4 h23 = shuffle2(s2, s3, 0, 4, 2, 6) + shuffle2(s2, s3, 1, 5, 3, 7);
        v4 r = shuffle2(h01, h23, 0, 1, 4, 5) + shuffle2(h01, h23, 2, 3, 6, 7);
        for (; j < m; ++j) {
            r[0] += a0[j] * x[j];
            r[1] += a1[j] * x[j];
            r[2] += a2[j] * x[j];
            r[3] += a3[j] * x[j];
        }
        if (b) {
            v4 bv;
            load_lanes(bv, b + i, 4);
            r = bv + r;
        }
        store_lanes(out + i, r, 4);
    }
    for (; i < n; ++i) out[i] = (b ? b[i] : 0.0) + dot(A + i * m, x, m);
}

// Three-way comparison of the sort; a NaN compares equal to everything (the
// sort sets NaNs apart before it compares).
inline int trova_cmp_f64(f64 a, f64 b) { return (a > b) - (a < b); }
inline bool less(f64 a, f64 b) { return trova_cmp_f64(a, b) < 0; }

inline void swap(f64& x, f64& y) {
    const f64 t = x;
    x = y;
    y = t;
}

// Every scan below is bounded by explicit index checks or by an element whose
// relation to the pivot is already known, never by transitivity of the
// comparison: NaNs make it intransitive, and the sort must still terminate
// inside the array.
void insertion_sort(f64* a, i64 n) {
    for (i64 i = 1; i < n; ++i) {
        const f64 v = a[i];
        i64 j = i;
        for (; j > 0 && less(v, a[j - 1]); --j) a[j] = a[j - 1];
        a[j] = v;
    }
}

void sift_down(f64* a, i64 root, i64 n) {
    for (;;) {
        i64 child = 2 * root + 1;
        if (child >= n) return;
        if (child + 1 < n && less(a[child], a[child + 1])) ++child;
        if (!less(a[root], a[child])) return;
        swap(a[root], a[child]);
        root = child;
    }
}

void heap_sort(f64* a, i64 n) {
    for (i64 i = n / 2; i-- > 0;) sift_down(a, i, n);
    for (i64 end = n - 1; end > 0; --end) {
        swap(a[0], a[end]);
        sift_down(a, 0, end);
    }
}

// Hoare partition of a[0..n) (n >= 3) around the median of the first, middle
// and last elements, which sits at an index below n-1. In the first round
// both scans stop at the latest on the pivot itself; after a swap the left
// scan stops at the latest on the element just swapped right and the right
// scan on the one just swapped left, so both stay in bounds whatever the
// comparison says about other pairs. Returns s with 0 <= s < n-1, so that
// a[0..s] and a[s+1..n) are both non-empty.
i64 partition(f64* a, i64 n) {
    const i64 mid = n / 2;
    if (less(a[mid], a[0])) swap(a[mid], a[0]);
    if (less(a[n - 1], a[mid])) swap(a[n - 1], a[mid]);
    if (less(a[mid], a[0])) swap(a[mid], a[0]);
    const f64 pivot = a[mid];
    i64 i = -1;
    i64 j = n;
    for (;;) {
        do ++i; while (less(a[i], pivot));
        do --j; while (less(pivot, a[j]));
        if (i >= j) return j;
        swap(a[i], a[j]);
    }
}

constexpr i64 kInsertionCutoff = 16;

// Quicksort that recurses into the smaller part (stack depth O(log n)),
// finishes short ranges by insertion and falls back to heapsort when the
// partitions keep coming out unbalanced.
void intro_sort(f64* a, i64 n, int depth) {
    while (n > kInsertionCutoff) {
        if (depth-- == 0) {
            heap_sort(a, n);
            return;
        }
        const i64 s = partition(a, n) + 1;
        if (s < n - s) {
            intro_sort(a, s, depth);
            a += s;
            n -= s;
        } else {
            intro_sort(a + s, n - s, depth);
            n = s;
        }
    }
    insertion_sort(a, n);
}

}  // namespace

namespace {

// Real LU: pivots by |a|; each column's divisions multiply by the
// reciprocal of its pivot, formed once.
struct RealLuOps {
    static i64 pivot_row(const f64* A, i64 k, i64 n) {
        return trova::lu::largest_in_column(A, k, n, [](f64 a) { return std::fabs(a); });
    }
    static bool is_zero(f64 a) { return a == 0.0; }
    static f64 prepare(f64 pivot) { return 1.0 / pivot; }
    static f64 divide(f64 a, f64 reciprocal) { return a * reciprocal; }
    static f64 fms(f64 y, f64 m, f64 x) { return y - m * x; }
    static f64 one() { return 1.0; }
};

}  // namespace

namespace trova::dense {

void matmul_plus_c(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p, i64 m) {
    gemm({A, p, 1}, {B, m, false}, C, out, n, m, p, false);
}

void sym_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p) {
    gemm({A, p, 1}, {B, p, true}, C, out, n, n, p, true);
    for (i64 i = 0; i < n; ++i)
        for (i64 j = i + 1; j < n; ++j) out[i * n + j] = out[j * n + i];
}

bool is_symmetric(const f64* S, i64 n) {
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < i; ++j)
            if (!(S[i * n + j] == S[j * n + i])) return false;
    return true;
}

void chol_solve_columns(const f64* L, f64* B, i64 m, i64 n) {
    for (i64 i = 0; i < m; ++i) {
        f64* Bi = B + i * n;
        for (i64 l = 0; l < i; ++l) axpy(-L[i * m + l], B + l * n, Bi, n);
        const f64 d = L[i * m + i];
        for (i64 j = 0; j < n; ++j) Bi[j] /= d;
    }
    for (i64 i = m - 1; i >= 0; --i) {
        f64* Bi = B + i * n;
        for (i64 l = i + 1; l < m; ++l) axpy(-L[l * m + i], B + l * n, Bi, n);
        const f64 d = L[i * m + i];
        for (i64 j = 0; j < n; ++j) Bi[j] /= d;
    }
}

void transpose(const f64* A, f64* out, i64 n, i64 m) {
    for (i64 j = 0; j < m; ++j)
        for (i64 i = 0; i < n; ++i) out[j * n + i] = A[i * m + j];
}

}  // namespace trova::dense

extern "C" {

void trova_zero_mat(f64* out, i64 r, i64 c) {
    if (r <= 0 || c <= 0) return;
    std::memset(out, 0, sizeof(f64) * static_cast<std::size_t>(r * c));
}

void trova_sym_inplace(f64* P, i64 n) {
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = i + 1; j < n; ++j) {
            const f64 v = (P[i * n + j] + P[j * n + i]) * 0.5;
            P[i * n + j] = v;
            P[j * n + i] = v;
        }
    }
}

void trova_matmul(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    gemm({A, p, 1}, {B, m, false}, nullptr, out, n, m, p, false);
}

void trova_matmul_atb(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    gemm({A, 1, p}, {B, m, false}, nullptr, out, p, m, n, false);
}

void trova_matmul_abt(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    gemm({A, p, 1}, {B, p, true}, nullptr, out, n, m, p, false);
}

void trova_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out,
                             i64 n, i64 p, i64 m) {
    gemm({A, p, 1}, {B, p, true}, C, out, n, m, p, false);
}

void trova_matvec(const f64* A, const f64* x, f64* out, i64 n, i64 m) {
    matvec(A, x, nullptr, out, n, m);
}

void trova_matvec_plus_vec(const f64* A, const f64* x, const f64* b, f64* out, i64 n, i64 m) {
    matvec(A, x, b, out, n, m);
}

void trova_vsub(const f64* a, const f64* b, f64* out, i64 n) {
    for (i64 i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

f64 trova_dot(const f64* a, const f64* b, i64 n) { return dot(a, b, n); }

f64 trova_logdet_from_chol(const f64* L, i64 n) {
    f64 s = 0.0;
    for (i64 i = 0; i < n; ++i) s += std::log(L[i * n + i]);
    return 2.0 * s;
}

int trova_chol(const f64* S, f64 jitter, f64* L, i64 n) {
    trova_zero_mat(L, n, n);
    if (n <= 0) return 0;
    const f64 jit = jitter > 0.0 ? jitter : 0.0;
    f64 scale = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 d = S[i * n + i] + jit;
        if (d > scale) scale = d;  // false for a NaN diagonal element
    }
    const f64 tol = static_cast<f64>(n) * 0x1p-52 * scale;
    // Rows go in pairs: element j of row i+1 needs only rows j and i+1, so
    // the two rows' chains of dependent dot products and divisions run side
    // by side. Every element is still the expression of the row-by-row
    // algorithm, and a failing pivot of row i leaves row i+1 zero as if it
    // had never been started.
    i64 i = 0;
    for (; i + 1 < n; i += 2) {
        const f64* Si = S + i * n;
        const f64* Sn = Si + n;
        f64* Li = L + i * n;
        f64* Ln = Li + n;
        for (i64 j = 0; j < i; ++j) {
            const f64* Lj = L + j * n;
            f64 di, dn;
            dot2(Li, Ln, Lj, j, di, dn);
            Li[j] = (Si[j] - di) / Lj[j];
            Ln[j] = (Sn[j] - dn) / Lj[j];
        }
        f64 dii, dni;
        dot2(Li, Ln, Li, i, dii, dni);
        const f64 s = (Si[i] + jit) - dii;
        // A pivot fails unless it is above the tolerance, so a NaN pivot
        // (from NaN anywhere in the rows read so far) fails too.
        if (!(s > tol)) {
            trova_zero_mat(Ln, 1, i);
            return -1;
        }
        Li[i] = std::sqrt(s);
        Ln[i] = (Sn[i] - dni) / Li[i];
        const f64 sn = (Sn[i + 1] + jit) - dot(Ln, Ln, i + 1);
        if (!(sn > tol)) return -1;
        Ln[i + 1] = std::sqrt(sn);
    }
    if (i < n) {
        const f64* Si = S + i * n;
        f64* Li = L + i * n;
        for (i64 j = 0; j < i; ++j) {
            const f64* Lj = L + j * n;
            Li[j] = (Si[j] - dot(Li, Lj, j)) / Lj[j];
        }
        const f64 s = (Si[i] + jit) - dot(Li, Li, i);
        if (!(s > tol)) return -1;
        Li[i] = std::sqrt(s);
    }
    return 0;
}

void trova_forward_subst(const f64* L, const f64* b, f64* out, i64 n) {
    // b[i] is read before out[i] is written, so out may be b.
    for (i64 i = 0; i < n; ++i) out[i] = (b[i] - dot(L + i * n, out, i)) / L[i * n + i];
}

void trova_backward_subst_chol_t(const f64* L, const f64* b, f64* out, i64 n) {
    // Column-oriented: once out[i] is final, its multiples of row i of L are
    // taken off every out[k], k < i. Each out[i] is the same sum as
    // b[i] - sum over k > i of L[k][i]*out[k], but L is walked along rows.
    if (out != b) {
        for (i64 i = 0; i < n; ++i) out[i] = b[i];
    }
    for (i64 i = n - 1; i >= 0; --i) {
        const f64 xi = out[i] / L[i * n + i];
        out[i] = xi;
        axpy(-xi, L + i * n, out, i);
    }
}

void trova_gram(const f64* X, f64* G, i64 n, i64 p) {
    gemm({X, 1, p}, {X, p, false}, nullptr, G, p, p, n, true);
    for (i64 a = 0; a < p; ++a) {
        for (i64 b = a + 1; b < p; ++b) G[a * p + b] = G[b * p + a];
    }
}

void trova_gram_rhs(const f64* X, const f64* y, f64* g, i64 n, i64 p) {
    for (i64 j0 = 0; j0 < p; j0 += NR) {
        const i64 nc = std::min<i64>(NR, p - j0);
        kRhsBlocks[nc - 1](X + j0, p, y, n, g + j0);
    }
}

int trova_chol_solve(const f64* G, const f64* g, f64* coef, f64* scratch_L, i64 p) {
    const int status = trova_chol(G, 0.0, scratch_L, p);
    if (status != 0) return status;
    trova_forward_subst(scratch_L, g, coef, p);
    trova_backward_subst_chol_t(scratch_L, coef, coef, p);
    return 0;
}

int trova_chol_inv(const f64* G, f64* Pinv, f64* scratch_L, i64 p) {
    const int status = trova_chol(G, 0.0, scratch_L, p);
    if (status != 0) return status;
    const f64* L = scratch_L;
    // All columns of the identity at once, a row of Pinv at a time. Element
    // (i, j) gets exactly the arithmetic of solving column j on its own,
    // including the zero terms, so a NaN factor spreads as it would there.
    for (i64 i = 0; i < p; ++i) {
        f64* Xi = Pinv + i * p;
        for (i64 j = 0; j < p; ++j) Xi[j] = i == j ? 1.0 : 0.0;
        for (i64 t = 0; t < i; ++t) axpy(-L[i * p + t], Pinv + t * p, Xi, p);
        const f64 d = L[i * p + i];
        for (i64 j = 0; j < p; ++j) Xi[j] /= d;
    }
    for (i64 r = p - 1; r >= 0; --r) {
        f64* Xr = Pinv + r * p;
        for (i64 k = r + 1; k < p; ++k) axpy(-L[k * p + r], Pinv + k * p, Xr, p);
        const f64 d = L[r * p + r];
        for (i64 j = 0; j < p; ++j) Xr[j] /= d;
    }
    return 0;
}

i64 trova_lu_factor_inplace(f64* A, i64* pivot, i64 n) {
    return trova::lu::factor_inplace<f64, RealLuOps>(A, pivot, n);
}

f64_lu trova_lu_factor(const f64* A, i64 n) { return trova::lu::factor_copy<f64_lu, f64, RealLuOps>(A, n); }

void trova_lu_free(f64_lu* lu) { trova::lu::free_record(lu); }

void trova_lu_solve(const f64* LU, const i64* piv, const f64* B, f64* X, i64 n, i64 m) {
    trova::lu::solve<f64, RealLuOps>(LU, piv, B, X, n, m);
}

i64 trova_solve(const f64* A, const f64* B, i64 n, i64 m, f64* X) {
    return trova::lu::solve_copy<f64_lu, f64, RealLuOps>(A, B, n, m, X);
}

i64 trova_inv(const f64* A, i64 n, f64* Ainv) { return trova::lu::inverse<f64_lu, f64, RealLuOps>(A, n, Ainv); }

// NaNs go to the end first; the numbers before them are then sorted, where
// the comparison is a strict weak order.
void trova_sort_f64(f64* arr, i64 n) {
    if (n <= 1) return;
    i64 numbers = 0;
    for (i64 i = 0; i < n; ++i) {
        if (arr[i] == arr[i]) swap(arr[numbers++], arr[i]);
    }
    int depth = 0;
    for (i64 m = numbers; m > 1; m >>= 1) depth += 2;
    intro_sort(arr, numbers, depth);
}

// The median of data holding a NaN is NaN; the sort leaves a NaN last.
f64 trova_median_f64(f64* arr, i64 n) {
    if (n <= 0) return __builtin_nan("");
    trova_sort_f64(arr, n);
    if (arr[n - 1] != arr[n - 1]) return __builtin_nan("");
    const i64 h = n / 2;
    return n % 2 ? arr[h] : (arr[h] + arr[h - 1]) * 0.5;
}

}  // extern "C"
