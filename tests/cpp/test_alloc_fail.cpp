// Heap exhaustion in every allocating function of the library. The program
// is linked with --wrap for malloc, calloc, realloc and free, so the calls
// of the objects linked into it (the static library's and this file's)
// reach the wrappers below, which can fail the k-th allocation of a call
// and track the blocks it still holds. That works alike in the plain build
// and under AddressSanitizer, whose LeakSanitizer checks the whole process
// as well.
//
// Each function runs once without a failure to count its allocations N
// (N > 0, so no case can pass without reaching the library's allocator),
// then once with allocation k failing for every k = 1..N: each run must ask
// for allocation k, return the documented failure status, leave every block
// freed, and write only what its documentation allows; outputs are filled
// with a byte pattern before every run and compared after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <vector>

#include "klein_solve.h"
#include "trova.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TROVA_TEST_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TROVA_TEST_LSAN 1
#endif
#ifdef TROVA_TEST_LSAN
#include <sanitizer/lsan_interface.h>
#endif

extern "C" void zgges_(const char* jobvsl, const char* jobvsr, const char* sort,
                       klein_zselect2_fn selctg, const int* n, c128* a, const int* lda, c128* b,
                       const int* ldb, int* sdim, c128* alpha, c128* beta, c128* vsl,
                       const int* ldvsl, c128* vsr, const int* ldvsr, c128* work,
                       const int* lwork, f64* rwork, int* bwork, int* info);

namespace {
bool g_armed = false;
long g_fail_at = 0;  // 1-based index of the allocation to fail while armed; 0 none
long g_count = 0;    // allocations requested while armed
std::vector<void*> g_live;  // blocks obtained while armed and not yet freed

void* note(void* p) {
    if (p != nullptr) g_live.push_back(p);
    return p;
}
bool fail_this() { return ++g_count == g_fail_at; }
void forget(void* p) {
    auto it = std::find(g_live.begin(), g_live.end(), p);
    if (it != g_live.end()) g_live.erase(it);
}
}  // namespace

extern "C" {
void* __real_malloc(std::size_t);
void* __real_calloc(std::size_t, std::size_t);
void* __real_realloc(void*, std::size_t);
void __real_free(void*);

void* __wrap_malloc(std::size_t n) {
    if (!g_armed) return __real_malloc(n);
    return fail_this() ? nullptr : note(__real_malloc(n));
}
void* __wrap_calloc(std::size_t n, std::size_t size) {
    if (!g_armed) return __real_calloc(n, size);
    return fail_this() ? nullptr : note(__real_calloc(n, size));
}
void* __wrap_realloc(void* p, std::size_t n) {
    if (!g_armed) return __real_realloc(p, n);
    if (fail_this()) return nullptr;
    void* q = __real_realloc(p, n);
    if (q != nullptr) forget(p);
    return note(q);
}
void __wrap_free(void* p) {
    if (g_armed && p != nullptr) forget(p);
    __real_free(p);
}
}  // extern "C"

namespace {

// A buffer of T filled with the byte 0xA5 before every run.
template <class T>
struct Out {
    std::vector<T> v;
    explicit Out(std::size_t n) : v(n) {}
    T* data() { return v.data(); }
    void poison() { std::memset(static_cast<void*>(v.data()), 0xA5, v.size() * sizeof(T)); }
    static bool poisoned(const T& x) {
        const auto* b = reinterpret_cast<const unsigned char*>(&x);
        return std::all_of(b, b + sizeof(T), [](unsigned char c) { return c == 0xA5; });
    }
    bool untouched() const { return std::all_of(v.begin(), v.end(), poisoned); }
    // Every element still poisoned or bit for bit the one of ref.
    bool untouched_or(const std::vector<T>& ref) const {
        for (std::size_t i = 0; i < v.size(); ++i)
            if (!poisoned(v[i]) && std::memcmp(&v[i], &ref[i], sizeof(T)) != 0) return false;
        return true;
    }
    bool equals(const std::vector<T>& ref) const {
        return std::memcmp(v.data(), ref.data(), v.size() * sizeof(T)) == 0;
    }
};

// Runs call without a failure, then with allocation k failing for k = 1..N
// (N the count of the first run), then once more without a failure, so the
// outputs end with the successful values. call returns the status; the
// failing runs must return fail_status, the others ok_status. check(k)
// inspects the outputs after run k (k = 0: a run without a failure).
// Returns N.
long every_failure(const std::function<i64()>& call, i64 ok_status, i64 fail_status,
                   const std::function<void(long)>& check) {
    g_live.reserve(4096);
    long n = 0;
    for (long run = 0; run <= n + 1; ++run) {
        const long k = run <= n ? run : 0;
        g_fail_at = k;
        g_count = 0;
        g_live.clear();
        g_armed = true;
        const i64 status = call();
        g_armed = false;
        if (k == 0) {
            if (run == 0) n = g_count;
            EXPECT_EQ(g_count, n) << "a run without a failure";
            EXPECT_EQ(status, ok_status) << "no allocation failing";
        } else {
            EXPECT_GE(g_count, k) << "allocation " << k << " was never requested";
            EXPECT_EQ(status, fail_status) << "allocation " << k << " of " << n << " failing";
        }
        EXPECT_TRUE(g_live.empty()) << g_live.size() << " blocks leaked with allocation " << k
                                    << " failing";
        for (void* p : g_live) __real_free(p);
        check(k);
    }
    EXPECT_GT(n, 0) << "the call never reached the wrapped allocator";
#ifdef TROVA_TEST_LSAN
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
    return n;
}

// ---- LU records, solves and inverses ----

const f64 kA3[9] = {0.0, 2.0, 1.0, 3.0, 1.0, -1.0, 1.0, 0.5, 4.0};

TEST(AllocFailLu, RealFactorReturnsTheEmptyRecord) {
    f64_lu rec{};
    Out<f64> solved(3);
    const long n = every_failure(
        [&] {
            solved.poison();
            rec = trova_lu_factor(kA3, 3);
            if (rec.err == 0) {
                const f64 b[3] = {3.0, 3.0, 5.5};  // A (1, 1, 1)
                trova_lu_solve(rec.lu, rec.piv, b, solved.data(), 3, 1);
            }
            const i64 err = rec.err;
            if (err == -1) {
                EXPECT_EQ(rec.lu, nullptr);
                EXPECT_EQ(rec.piv, nullptr);
                EXPECT_EQ(rec.n, 3);
            }
            trova_lu_free(&rec);  // inside the window: its blocks must come back
            return err;
        },
        0, -1, [&](long k) {
            if (k > 0) { EXPECT_TRUE(solved.untouched()); }
        });
    EXPECT_EQ(n, 2);
    for (f64 x : solved.v) EXPECT_NEAR(x, 1.0, 1e-15);
}

TEST(AllocFailLu, ComplexFactorReturnsTheEmptyRecord) {
    std::vector<c128> A(9);
    for (int i = 0; i < 9; ++i) A[i] = c128{kA3[i], 0.25 * i};
    c128_lu rec{};
    const long n = every_failure(
        [&] {
            rec = c128_lu_factor(A.data(), 3);
            const i64 err = rec.err;
            if (err == -1) {
                EXPECT_EQ(rec.lu, nullptr);
                EXPECT_EQ(rec.piv, nullptr);
                EXPECT_EQ(rec.n, 3);
            }
            c128_lu_free(&rec);
            return err;
        },
        0, -1, [](long) {});
    EXPECT_EQ(n, 2);
}

// Solves and inverses, also of a singular matrix (-2 without a failure,
// -1 whenever an allocation fails before the factorisation finds it).
TEST(AllocFailLu, SolvesAndInversesLeaveTheirOutputUntouched) {
    const f64 singular[4] = {1.0, 2.0, 2.0, 4.0};
    const f64 b[3] = {1.0, 2.0, 3.0};
    for (int sing = 0; sing < 2; ++sing) {
        const i64 n = sing ? 2 : 3;
        const f64* A = sing ? singular : kA3;
        const i64 ok = sing ? -2 : 0;
        Out<f64> x(n), inv(n * n);
        EXPECT_EQ(every_failure([&] { x.poison(); return trova_solve(A, b, n, 1, x.data()); }, ok, -1,
                                [&](long k) { if (k > 0 || sing) { EXPECT_TRUE(x.untouched()); } }),
                  2);
        EXPECT_EQ(every_failure([&] { inv.poison(); return trova_inv(A, n, inv.data()); }, ok, -1,
                                [&](long k) { if (k > 0 || sing) { EXPECT_TRUE(inv.untouched()); } }),
                  3);
        if (!sing)  // A A^-1 = I
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) {
                    f64 s = 0.0;
                    for (int l = 0; l < 3; ++l) s += kA3[i * 3 + l] * inv.v[l * 3 + j];
                    EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-14);
                }

        std::vector<c128> Ac(n * n), bc(n);
        for (i64 i = 0; i < n * n; ++i) Ac[i] = c128{A[i], sing ? 0.0 : 0.5};
        for (i64 i = 0; i < n; ++i) bc[i] = c128{b[i], -1.0};
        Out<c128> xc(n), invc(n * n);
        EXPECT_EQ(every_failure([&] { xc.poison(); return c128_solve(Ac.data(), bc.data(), n, 1, xc.data()); },
                                ok, -1, [&](long k) { if (k > 0 || sing) { EXPECT_TRUE(xc.untouched()); } }),
                  2);
        EXPECT_EQ(every_failure([&] { invc.poison(); return c128_inv(Ac.data(), n, invc.data()); }, ok, -1,
                                [&](long k) { if (k > 0 || sing) { EXPECT_TRUE(invc.untouched()); } }),
                  3);
    }
}

// ---- linearisation ----

// f0 = fwd0 * cur1 - 0.5 cur0, f1 = fwd1 - cur0^2.
void two_var_model(const c128* fwd, const c128* cur, const c128*, c128* out) {
    out[0] = c128{fwd[0].re * cur[1].re - fwd[0].im * cur[1].im - 0.5 * cur[0].re,
                  fwd[0].re * cur[1].im + fwd[0].im * cur[1].re - 0.5 * cur[0].im};
    out[1] = c128{fwd[1].re - (cur[0].re * cur[0].re - cur[0].im * cur[0].im),
                  fwd[1].im - 2.0 * cur[0].re * cur[0].im};
}

class AllocFailPreproc : public ::testing::TestWithParam<int> {};

// Five work arrays, then in logarithms two per residual evaluation. A
// failure before the sweeps leaves a and b untouched, one in the first
// sweep leaves b untouched, one in the second leaves a complete; whatever
// is written is the successful run's value.
TEST_P(AllocFailPreproc, EveryAllocationFailsCleanly) {
    const int log_linear = GetParam();
    const f64 ss[2] = {0.8, 1.2};
    const f64 par[1] = {0.0};
    Out<f64> a(4), b(4);
    std::vector<f64> ra, rb;
    const long sweep = 2 * 2 * log_linear;  // allocations of one sweep
    const long n = every_failure(
        [&] {
            a.poison();
            b.poison();
            return klein_preproc(two_var_model, ss, par, 2, 1, 2, log_linear, a.data(), b.data());
        },
        0, -1, [&](long k) {
            if (k == 0) {
                ra = a.v;
                rb = b.v;
                return;
            }
            EXPECT_TRUE(a.untouched_or(ra) && b.untouched_or(rb)) << "allocation " << k;
            if (k <= 5) { EXPECT_TRUE(a.untouched()); }
            if (k <= 5 + sweep) {
                EXPECT_TRUE(b.untouched());
            } else {
                EXPECT_TRUE(a.equals(ra));
            }
        });
    EXPECT_EQ(n, 5 + 2 * sweep);
    // a = df/dfwd, b = -df/dcur; in logarithms times x_j / (1 + f).
    const f64 f0 = log_linear ? ss[0] * ss[1] - 0.5 * ss[0] : 0.0, f1 = log_linear ? ss[1] - ss[0] * ss[0] : 0.0;
    const f64 s0 = log_linear ? ss[0] : 1.0, s1 = log_linear ? ss[1] : 1.0;
    EXPECT_NEAR(ra[0], s0 * ss[1] / (1 + f0), 1e-14);
    EXPECT_NEAR(ra[3], s1 / (1 + f1), 1e-14);
    EXPECT_NEAR(rb[1], -s1 * ss[0] / (1 + f0), 1e-14);
    EXPECT_NEAR(rb[2], s0 * 2.0 * ss[0] / (1 + f1), 1e-14);
}

INSTANTIATE_TEST_SUITE_P(LevelsAndLogs, AllocFailPreproc, ::testing::Values(0, 1));

TEST(AllocFailPath, ResidualPathWritesNothingOnFailure) {
    const c128 x[4] = {{0.8, 0}, {1.2, 0}, {0.9, 0}, {1.1, 0}};
    const c128 par[1] = {{0, 0}};
    Out<f64> res(4);
    const long n = every_failure(
        [&] {
            res.poison();
            return trova_residual_path(two_var_model, x, x, par, 2, 2, 2, res.data());
        },
        0, -1, [&](long k) { if (k > 0) { EXPECT_TRUE(res.untouched()); } });
    EXPECT_EQ(n, 1);
    EXPECT_DOUBLE_EQ(res.v[0], 0.8 * 1.2 - 0.4);
    EXPECT_DOUBLE_EQ(res.v[3], 1.1 - 0.81);
}

// ---- steady state ----

// f(x, x) = (x0^2 - 2, x0 x1 - 3): several Newton updates from (1, 1).
void newton_model(const c128* fwd, const c128* cur, const c128*, c128* out) {
    out[0] = c128{cur[0].re * fwd[0].re - cur[0].im * fwd[0].im - 2.0,
                  cur[0].re * fwd[0].im + cur[0].im * fwd[0].re};
    out[1] = c128{fwd[0].re * cur[1].re - fwd[0].im * cur[1].im - 3.0,
                  fwd[0].re * cur[1].im + fwd[0].im * cur[1].re};
}

// Eight work arrays (a failure there writes nothing), then per update the
// linearisation's five and the solve's two. A failure inside update u
// leaves the iterate after u updates in ss and u in iters: the point a run
// limited to u updates stops at.
TEST(AllocFailSteadyState, FailureInsideAnUpdateKeepsTheLastIterate) {
    const f64 seed[2] = {1.0, 1.0};
    const f64 par[1] = {0.0};
    Out<f64> ss(2);
    Out<i64> iters(1);
    i64 updates = 0;
    const long n = every_failure(
        [&] {
            ss.poison();
            iters.poison();
            return trova_steady_state_newton(newton_model, seed, par, 2, 1, 50, 1e-13, ss.data(),
                                             iters.data());
        },
        0, -1, [&](long k) {
            if (k == 0) {
                updates = iters.v[0];
                return;
            }
            if (k <= 8) {
                EXPECT_TRUE(ss.untouched() && iters.untouched()) << "allocation " << k;
                return;
            }
            const i64 u = (k - 9) / 7;
            ASSERT_EQ(iters.v[0], u) << "allocation " << k;
            f64 want[2];
            i64 done = -1;
            EXPECT_EQ(trova_steady_state_newton(newton_model, seed, par, 2, 1, u, 1e-13, want, &done),
                      -3);
            EXPECT_EQ(done, u);
            EXPECT_EQ(ss.v[0], want[0]);
            EXPECT_EQ(ss.v[1], want[1]);
        });
    EXPECT_GE(updates, 4);
    EXPECT_EQ(n, 8 + 7 * updates);
    EXPECT_NEAR(ss.v[0], std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(ss.v[1], 3.0 / std::sqrt(2.0), 1e-14);
}

// ---- bicomplex Hessian ----

// f = fwd0 cur0 + fwd_last^2 (the last variable is fwd0 when n_var = 1).
void bc_model(const bc256* fwd, const bc256* cur, const bc256*, bc256* out, i64 last) {
    auto mul = [](bc256 x, bc256 y) {
        auto cm = [](c128 p, c128 q) { return c128{p.re * q.re - p.im * q.im, p.re * q.im + p.im * q.re}; };
        auto add = [](c128 p, c128 q) { return c128{p.re + q.re, p.im + q.im}; };
        auto sub = [](c128 p, c128 q) { return c128{p.re - q.re, p.im - q.im}; };
        return bc256{sub(cm(x.a, y.a), cm(x.b, y.b)), add(cm(x.a, y.b), cm(x.b, y.a))};
    };
    const bc256 p = mul(fwd[0], cur[0]), q = mul(fwd[last], fwd[last]);
    out[0] = bc256{c128{p.a.re + q.a.re, p.a.im + q.a.im}, c128{p.b.re + q.b.re, p.b.im + q.b.im}};
}
void bc_model1(const bc256* f, const bc256* c, const bc256* p, bc256* o) { bc_model(f, c, p, o, 0); }
void bc_model4(const bc256* f, const bc256* c, const bc256* p, bc256* o) { bc_model(f, c, p, o, 3); }

// One variable takes the all-pairs loop; four take the dependency pattern
// and the checks. Both take the same seven blocks and write nothing when
// one fails.
TEST(AllocFailHessian, NothingWrittenOnFailure) {
    const f64 ss[4] = {1.0, 0.5, -0.5, 2.0};
    for (i64 n_var : {1, 4}) {
        const i64 m = 2 * n_var;
        Out<f64> H(m * m);
        const long n = every_failure(
            [&] {
                H.poison();
                return trova_bicomplex_hessian(n_var == 1 ? bc_model1 : bc_model4, ss, nullptr, n_var,
                                               0, 1, 1e-10, H.data());
            },
            0, -1, [&](long k) { if (k > 0) { EXPECT_TRUE(H.untouched()); } });
        EXPECT_EQ(n, 7);
        const i64 last = n_var - 1;
        for (i64 r = 0; r < m; ++r)
            for (i64 c = 0; c < m; ++c) {
                const bool cross = (r == 0 && c == n_var) || (r == n_var && c == 0);
                const f64 want = (cross ? 1.0 : 0.0) + (r == last && c == last ? 2.0 : 0.0);
                EXPECT_NEAR(H.v[r * m + c], want, 1e-12) << r << ", " << c;
            }
    }
}

// ---- QZ and post-processing ----

int g_zgges_calls = 0;
void counted_zgges(const char* jobvsl, const char* jobvsr, const char* sort, klein_zselect2_fn selctg,
                   const int* n, c128* a, const int* lda, c128* b, const int* ldb, int* sdim,
                   c128* alpha, c128* beta, c128* vsl, const int* ldvsl, c128* vsr, const int* ldvsr,
                   c128* work, const int* lwork, f64* rwork, int* bwork, int* info) {
    ++g_zgges_calls;
    zgges_(jobvsl, jobvsr, sort, selctg, n, a, lda, b, ldb, sdim, alpha, beta, vsl, ldvsl, vsr, ldvsr,
           work, lwork, rwork, bwork, info);
}

// A 3 x 3 pencil with two stable roots (0.5, 0.8) and one unstable (1.5).
const f64 kQzA[9] = {1.0, 0.2, 0.0, 0.1, 1.0, 0.3, 0.0, 0.2, 1.0};
const f64 kQzB[9] = {0.5, 0.1, 0.0, 0.0, 0.8, 0.1, 0.1, 0.0, 1.5};

// Four work arrays, then the workspace after zgges's query: a failure there
// has called zgges once, for the query only, which writes none of s, t, z.
TEST(AllocFailQz, SchurFormUntouchedOnFailure) {
    const i64 N = 3;
    std::vector<c128> s0(9), t0(9);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {  // column-major complex copies
            s0[j * 3 + i] = c128{kQzA[i * 3 + j], 0.0};
            t0[j * 3 + i] = c128{kQzB[i * 3 + j], 0.0};
        }
    Out<c128> s(9), t(9), z(9);
    const long n = every_failure(
        [&] {
            s.v = s0;
            t.v = t0;
            z.poison();
            g_zgges_calls = 0;
            return klein_qz(counted_zgges, N, s.data(), t.data(), z.data());
        },
        0, -1, [&](long k) {
            if (k == 0) {
                EXPECT_EQ(g_zgges_calls, 2);
                return;
            }
            EXPECT_TRUE(s.equals(s0) && t.equals(t0) && z.untouched()) << "allocation " << k;
            EXPECT_EQ(g_zgges_calls, k == 5 ? 1 : 0);
        });
    EXPECT_EQ(n, 5);
}

// Seven work arrays, the inverse of Z11 (three) and the solve with S11 (two).
// Until the inverse is through, stab stays 2 and nothing is written; a
// failing solve leaves stab and eig written, f and p untouched.
TEST(AllocFailQz, PostprocWritesOnlyWhatItsStageAllows) {
    const i64 N = 3, n_s = 2, n_cs = 1;
    std::vector<c128> s(9), t(9), z(9), row(9);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            s[j * 3 + i] = c128{kQzA[i * 3 + j], 0.0};
            t[j * 3 + i] = c128{kQzB[i * 3 + j], 0.0};
        }
    ASSERT_EQ(klein_qz(zgges_, N, s.data(), t.data(), z.data()), 0);
    for (auto* m : {&s, &t, &z}) {
        trova_klein_transpose_c128(m->data(), row.data(), N);
        *m = row;
    }
    Out<c128> f(n_cs * n_s), p(n_s * n_s), eig(N);
    Out<i64> stab(1);
    std::vector<c128> rf, rp, reig;
    i64 rstab = 0;
    const long n = every_failure(
        [&] {
            f.poison();
            p.poison();
            eig.poison();
            stab.poison();
            return klein_postproc(s.data(), t.data(), z.data(), n_s, n_cs, f.data(), p.data(),
                                  stab.data(), eig.data());
        },
        0, -1, [&](long k) {
            if (k == 0) {
                rf = f.v, rp = p.v, reig = eig.v, rstab = stab.v[0];
                return;
            }
            EXPECT_TRUE(f.untouched() && p.untouched()) << "allocation " << k;
            if (k <= 10) {
                EXPECT_EQ(stab.v[0], 2);
                EXPECT_TRUE(eig.untouched());
            } else {
                EXPECT_EQ(stab.v[0], rstab);
                EXPECT_TRUE(eig.equals(reig));
            }
        });
    EXPECT_EQ(n, 12);
    EXPECT_EQ(rstab, 0);
    // P = Z11 S11^-1 T11 Z11^-1 carries the two stable roots T[k][k] / S[k][k]
    // (k < n_s) as its eigenvalues: its trace and determinant are theirs.
    const c128 tr{rp[0].re + rp[3].re, rp[0].im + rp[3].im};
    const c128 det{rp[0].re * rp[3].re - rp[0].im * rp[3].im - (rp[1].re * rp[2].re - rp[1].im * rp[2].im),
                   rp[0].re * rp[3].im + rp[0].im * rp[3].re - (rp[1].re * rp[2].im + rp[1].im * rp[2].re)};
    EXPECT_NEAR(tr.re, reig[0].re + reig[1].re, 1e-12);
    EXPECT_NEAR(tr.im, reig[0].im + reig[1].im, 1e-12);
    EXPECT_NEAR(det.re, reig[0].re * reig[1].re - reig[0].im * reig[1].im, 1e-12);
    EXPECT_NEAR(det.im, reig[0].re * reig[1].im + reig[0].im * reig[1].re, 1e-12);
    EXPECT_LT(std::hypot(reig[1].re, reig[1].im), 1.0);
    EXPECT_GT(std::hypot(reig[2].re, reig[2].im), 1.0);
}

// ---- second order and risk ----

struct SecondOrderCase {
    i64 n, nx;
    std::vector<f64> a, b, fxx, gx, hx, eta;
    SecondOrderCase(i64 n_, i64 nx_) : n(n_), nx(nx_) {
        const i64 ny = n - nx, n2 = 2 * n;
        f64 x = 0.3;
        auto next = [&x]() { return x = std::fmod(x * 7.31 + 0.17, 2.0) - 1.0; };
        a.resize(n * n);
        b.resize(n * n);
        for (i64 i = 0; i < n * n; ++i) {
            a[i] = 0.3 * next() + (i % (n + 1) == 0 ? 2.0 : 0.0);
            b[i] = 0.3 * next() + (i % (n + 1) == 0 ? 2.0 : 0.0);
        }
        fxx.resize(n * n2 * n2);
        for (auto& v : fxx) v = next();
        gx.resize(ny * nx);
        for (auto& v : gx) v = next();
        hx.resize(nx * nx);
        for (auto& v : hx) v = 0.4 * next();
        eta.resize(nx * 2);
        for (auto& v : eta) v = next();
    }
};

// Three states take the structured path (one carved block and its index
// array); two states, and trova_second_order_dense, the dense one (twelve
// work arrays, the reduced matrix and the blocked LU's three panels). The
// outputs are written only on success, and both paths agree.
TEST(AllocFailSecondOrder, BothPathsWriteNothingOnFailure) {
    for (i64 nx : {3, 2}) {
        const SecondOrderCase c(4, nx);
        const i64 ny = c.n - nx;
        std::vector<f64> ref_g, ref_h;
        for (int dense = 0; dense < 2; ++dense) {
            Out<f64> g(ny * nx * nx), h(nx * nx * nx);
            auto fn = dense ? trova_second_order_dense : trova_second_order;
            const long n = every_failure(
                [&] {
                    g.poison();
                    h.poison();
                    return fn(c.a.data(), c.b.data(), c.fxx.data(), c.gx.data(), c.hx.data(), c.n, nx,
                              g.data(), h.data());
                },
                0, -1, [&](long k) { if (k > 0) { EXPECT_TRUE(g.untouched() && h.untouched()) << k; } });
            EXPECT_EQ(n, dense || nx <= 2 ? 16 : 2) << "nx " << nx << (dense ? " dense" : "");
            if (dense == 0) {
                ref_g = g.v;
                ref_h = h.v;
                EXPECT_GT(std::fabs(h.v[0]), 1e-6);
            } else {
                for (std::size_t e = 0; e < h.v.size(); ++e) EXPECT_NEAR(h.v[e], ref_h[e], 1e-12);
                for (std::size_t e = 0; e < g.v.size(); ++e) EXPECT_NEAR(g.v[e], ref_g[e], 1e-12);
            }
        }
    }
}

// Seven work arrays and the solve's two; gss and hss written only on
// success. The coefficient matrix is checked against the solution: the
// residual of every equation of the risk system is zero.
TEST(AllocFailSecondOrder, RiskWritesNothingOnFailure) {
    const SecondOrderCase c(4, 3);
    const i64 n = c.n, nx = c.nx, ny = n - nx, ne = 2;
    std::vector<f64> gxx(ny * nx * nx), hxx(nx * nx * nx);
    ASSERT_EQ(trova_second_order(c.a.data(), c.b.data(), c.fxx.data(), c.gx.data(), c.hx.data(), n, nx,
                                 gxx.data(), hxx.data()),
              0);
    Out<f64> gss(ny), hss(nx);
    const long count = every_failure(
        [&] {
            gss.poison();
            hss.poison();
            return trova_second_order_risk(c.a.data(), c.b.data(), c.fxx.data(), c.gx.data(), gxx.data(),
                                           c.eta.data(), n, nx, ne, gss.data(), hss.data());
        },
        0, -1, [&](long k) { if (k > 0) { EXPECT_TRUE(gss.untouched() && hss.untouched()) << k; } });
    EXPECT_EQ(count, 9);
    // Residual of equation i: (fy' + fy) gss + C hss + sum over shocks of
    // the quadratic terms, with w = (eta_phi; gx eta_phi).
    const i64 n2 = 2 * n;
    for (i64 i = 0; i < n; ++i) {
        f64 r = 0.0, mag = 0.0;
        auto add = [&](f64 term) {
            r += term;
            mag += std::fabs(term);
        };
        for (i64 l = 0; l < ny; ++l) add((c.a[i * n + nx + l] - c.b[i * n + nx + l]) * gss.v[l]);
        for (i64 m = 0; m < nx; ++m) {
            f64 cm = c.a[i * n + m];
            for (i64 l = 0; l < ny; ++l) cm += c.a[i * n + nx + l] * c.gx[l * nx + m];
            add(cm * hss.v[m]);
        }
        for (i64 ph = 0; ph < ne; ++ph) {
            std::vector<f64> w(n, 0.0);
            for (i64 p = 0; p < nx; ++p) w[p] = c.eta[p * ne + ph];
            for (i64 l = 0; l < ny; ++l)
                for (i64 p = 0; p < nx; ++p) w[nx + l] += c.gx[l * nx + p] * w[p];
            for (i64 l = 0; l < ny; ++l)
                for (i64 p = 0; p < nx; ++p)
                    for (i64 q = 0; q < nx; ++q) add(c.a[i * n + nx + l] * gxx[(l * nx + p) * nx + q] * w[p] * w[q]);
            for (i64 rr = 0; rr < n; ++rr)
                for (i64 cc = 0; cc < n; ++cc) add(w[rr] * c.fxx[i * n2 * n2 + rr * n2 + cc] * w[cc]);
        }
        EXPECT_NEAR(r, 0.0, 1e-14 * mag) << "equation " << i;
    }
}

// ---- standalone pruned simulation ----

// Its one scratch block: on failure neither path writes x_out or y_out.
// Without shocks from x0 = 0 the first periods carry only the risk terms:
// x_0 = hss / 2, x_1 = hx hss / 2 + hss / 2 + hxx(x_0 first order = 0).
TEST(AllocFailPrunedSimulation, NothingWrittenOnFailure) {
    for (i64 nx : {2, 9}) {  // the small fixed-size loop and the general one
        const i64 ny = 1, ne = 1, T = 3;
        std::vector<f64> hx(nx * nx, 0.0), gx(ny * nx, 0.25), bx(nx * ne, 0.0), hxx(nx * nx * nx, 0.1),
            gxx(ny * nx * nx, 0.2), hss(nx), gss(ny, 0.4), x0(nx, 0.0), shock(T * ne, 0.0);
        for (i64 i = 0; i < nx; ++i) {
            hx[i * nx + i] = 0.5;
            hss[i] = 0.1 * (i + 1);
        }
        Out<f64> x(T * nx), y(T * ny);
        const long n = every_failure(
            [&] {
                x.poison();
                y.poison();
                return trova_simulate_second_order_pruned(hx.data(), gx.data(), bx.data(), hxx.data(),
                                                          gxx.data(), hss.data(), gss.data(), x0.data(),
                                                          shock.data(), T, nx, ny, ne, x.data(), y.data());
            },
            0, -1, [&](long k) { if (k > 0) { EXPECT_TRUE(x.untouched() && y.untouched()); } });
        EXPECT_EQ(n, 1);
        for (i64 i = 0; i < nx; ++i) {
            EXPECT_DOUBLE_EQ(x.v[i], 0.5 * hss[i]);
            EXPECT_DOUBLE_EQ(x.v[nx + i], 0.5 * 0.5 * hss[i] + 0.5 * hss[i]);
        }
        f64 y0 = 0.5 * gss[0];
        for (i64 i = 0; i < nx; ++i) y0 += 0.25 * x.v[i];
        EXPECT_NEAR(y.v[0], y0, 1e-15);
    }
}

}  // namespace
