// Filter pipelines with native callbacks: shock plan -> first-order
// simulation -> linear and extended filters, and pruned second-order
// simulation -> unscented filter. Lanes are sized exactly by the sizers, so
// the sanitizer build catches any access outside them; results must not
// depend on the team.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "_common/layout.h"
#include "filter_models.h"
#include "kalman/kalman_core.h"
#include "pipeline_builder.h"
#include "trova.h"

namespace {

using trova::layout::Carver;
using trova_test::Lanes;
using trova_test::Pipeline;

using namespace trova_test::models;
constexpr i64 n = kLinN, m = kLinM, k = kLinK, T = 25, n_rep = 23;

trova_mc_float_input_binding stat(const std::vector<f64>& src, i64 offset) {
    return Pipeline::whole(src, offset);
}

// Copies the T x m observables of step 0 (after its T x n states).
const std::vector<i64> kObsColumns = {0, 1};
trova_mc_float_input_binding observables(i64 offset) {
    return Pipeline::copy(0, T * n, m, 0, T, kObsColumns, offset, m);
}

// Offset of the log-likelihood in the linear and extended filters' output
// with shocks.
i64 loglik_offset() {
    trova_filter_output_offsets at;
    trova_filter_linear_output_offsets(n, m, k, T, 1, &at);
    return at.loglik;
}

TEST(FilterPipeline, LinearAndExtendedFiltersAgreeWhateverTheTeam) {
    const i64 out_size = trova_filter_linear_output_arena_size(n, m, k, T, 1);
    const i64 loglik_at = loglik_offset();
    std::vector<f64> first;
    for (i64 workers : {1, 2, 3}) {
        const LinearPipeline lp(T);
        Pipeline p(n_rep, workers);
        lp.add_to(p);
        ASSERT_EQ(p.run(), 0);
        for (i64 r = 0; r < n_rep; ++r) {
            ASSERT_EQ(p.failure_step[static_cast<std::size_t>(r)], -1);
            const f64 ll = p.retained(1, r)[loglik_at];
            ASSERT_TRUE(std::isfinite(ll) && ll < 0.0);
            // The extended filter with the linear measurement is the linear filter.
            for (i64 j = 0; j < out_size; ++j)
                ASSERT_NEAR(p.retained(2, r)[j], p.retained(1, r)[j], 1e-11 * (1.0 + std::fabs(p.retained(1, r)[j])));
        }
        if (first.empty()) {
            first = p.all_retained(1);
        } else {
            const std::vector<f64>& now = p.all_retained(1);
            for (std::size_t j = 0; j < first.size(); ++j) ASSERT_TRUE(trova_test::same_bits(first[j], now[j]));
        }
    }
}

// One state seen by three observables through R = diag(r): the filter in
// information form, where S^-1 = R^-1 - P R^-1 c c' R^-1 / (1 + P u) with
// u = c' R^-1 c, log det S = sum log r + log(1 + P u), K = P R^-1 c / (1 + P u)
// and P_filt = P / (1 + P u). The kernels' arenas are exactly their sizers'
// lengths, so a product that overruns its block shows in the layout-gap build.
constexpr i64 k1n = 1, k1m = 3, k1k = 2, k1T = 20;
const std::vector<f64> k1A = {0.8}, k1B = {1.0, -0.5}, k1C = {1.0, -2.0, 0.5}, k1d = {0.1, 0.0, -0.2};
const std::vector<f64> k1Q = {0.5, 0.1, 0.1, 0.3}, k1r = {0.4, 1.5, 0.9}, k1x0 = {0.3}, k1P0 = {2.0};

void one_state_meas(const f64* x, const f64*, f64* out) {
    for (i64 i = 0; i < k1m; ++i) out[i] = k1C[i] * x[0] + k1d[i];
}
void one_state_jac(const f64*, const f64*, f64* out) {
    for (i64 i = 0; i < k1m; ++i) out[i] = k1C[i];
}

TEST(Filters, OneStateManyObservablesMatchesTheInformationForm) {
    std::vector<f64> R(k1m * k1m, 0.0), y(k1T * k1m);
    for (i64 i = 0; i < k1m; ++i) R[i * k1m + i] = k1r[i];
    for (i64 e = 0; e < k1T * k1m; ++e) y[e] = std::sin(0.7 * static_cast<f64>(e));
    // The reference.
    f64 bqb = 0.0;
    for (i64 a = 0; a < k1k; ++a)
        for (i64 b = 0; b < k1k; ++b) bqb += k1B[a] * k1Q[a * k1k + b] * k1B[b];
    f64 u = 0.0, log_r = 0.0;
    for (i64 i = 0; i < k1m; ++i) {
        u += k1C[i] * k1C[i] / k1r[i];
        log_r += std::log(k1r[i]);
    }
    std::vector<f64> want_x, want_P;
    f64 x = k1x0[0], P = k1P0[0], want_ll = 0.0;
    for (i64 t = 0; t < k1T; ++t) {
        const f64 xp = k1A[0] * x, Pp = k1A[0] * k1A[0] * P + bqb, g = 1.0 + Pp * u;
        f64 vrv = 0.0, crv = 0.0;
        for (i64 i = 0; i < k1m; ++i) {
            const f64 v = y[t * k1m + i] - (k1C[i] * xp + k1d[i]);
            vrv += v * v / k1r[i];
            crv += k1C[i] * v / k1r[i];
        }
        x = xp + Pp * crv / g;
        P = Pp / g;
        want_ll += -0.5 * (log_r + std::log(g) + vrv - Pp * crv * crv / g + k1m * std::log(2.0 * M_PI));
        want_x.push_back(x);
        want_P.push_back(P);
    }
    const i64 T = k1T, n = k1n, m = k1m;
    // One buffer per history, each exactly its length.
    std::vector<std::vector<f64>> hist;
    for (i64 len : {T * n, T * n, T * n * n, T * n * n, T * m, T * m, T * m, T * m, T * m * m, T * k1k, i64{1}})
        hist.emplace_back(static_cast<std::size_t>(len));
    const kf_outputs out{hist[0].data(), hist[1].data(), hist[2].data(), hist[3].data(),
                         hist[4].data(), hist[5].data(), hist[6].data(), hist[7].data(),
                         hist[8].data(), hist[9].data(), hist[10].data()};
    auto check = [&](const char* what) {
        SCOPED_TRACE(what);
        EXPECT_NEAR(out.loglik[0], want_ll, 1e-11 * std::fabs(want_ll));
        for (i64 t = 0; t < T; ++t) {
            EXPECT_NEAR(out.x_filt[t], want_x[t], 1e-12);
            EXPECT_NEAR(out.P_filt[t], want_P[t], 1e-12);
        }
    };
    std::vector<f64> arena(static_cast<std::size_t>(kf_arena_size(k1n, k1m, k1k).n_float));
    const kf_inputs kin{n,        m,        k1k,        T,           k1A.data(), k1B.data(), k1C.data(), k1d.data(),
                        k1Q.data(), R.data(), y.data(), k1x0.data(), k1P0.data(), 0,          0.0,        1,
                        1};
    ASSERT_EQ(kf_hot_loop(&kin, arena.data(), &out), 0);
    check("linear");
    std::vector<f64> ekf_arena(static_cast<std::size_t>(ekf_arena_size(k1n, k1m, k1k).n_float));
    const ekf_inputs ein{one_state_meas, one_state_jac, k1A.data(), k1B.data(), nullptr, k1Q.data(), R.data(),
                         y.data(),       k1x0.data(),   k1P0.data(), T,         n,       m,          k1k,
                         0,              0.0,           1,           1,         1,       1};
    const ekf_outputs eout{out.x_pred, out.x_filt, out.P_pred, out.P_filt, out.y_pred, out.y_filt,
                           out.innov,  out.std_innov, out.S,   out.eps_hat, out.loglik};
    for (auto& h : hist) std::fill(h.begin(), h.end(), 0.0);
    ASSERT_EQ(ekf_hot_loop(&ein, ekf_arena.data(), &eout), 0);
    check("extended");
}

TEST(FilterPipeline, PrunedSimulationToUnscentedFilter) {
    constexpr i64 ns = Pruned::ns, nc = Pruned::nc, ne = Pruned::ne, no = Pruned::no;
    const Pruned model;
    const auto& [hx, gx, bx, hxx, gxx, hss, gss, ss, x0, Q, R, z0, P0, cols, chol] = model;
    trova_mc_shock_entry entry{};
    entry.width = 2;
    entry.columns = cols.data();
    entry.factor = chol.data();
    entry.key = 11;
    const trova_mc_shock_plan plan{&entry, 1, T, ne, 1.0, 2};
    const i64 sim_size = trova_simulate_order2_arena_size(ns, ns + nc, ne, T, 0);
    trova_mc_simulate_order2_step_ctx sim{sim2_meas, T, ns, nc, ne, 0, no, &plan, sim_size};
    trova_mc_filter_unscented_step_ctx ukf{ukf_meas, T, ns, nc, ne, no, 0, 0.5, 2.0, 0.0, 1, 0.0};
    const i64 fin = trova_filter_unscented_input_arena_size(ns, nc, ne, no, T, 0);
    trova_filter_output_offsets out_at;
    const i64 fout = trova_filter_unscented_output_offsets(ns, nc, no, T, &out_at);
    ASSERT_EQ(fout, trova_filter_unscented_output_arena_size(ns, nc, no, T));
    const i64 loglik_at = out_at.loglik;
    constexpr i64 nz = 2 * ns;
    std::vector<f64> first;
    for (i64 workers : {1, 2}) {
        Pipeline p(n_rep, workers);
        p.add_step(trova_mc_simulate_order2_runner, &sim,
                   Lanes{sim_size + trova_mc_shock_scratch_size(&plan), T * (ns + nc + no), 0, 1});
        p.add_step(trova_mc_filter_unscented_runner, &ukf,
                   Lanes{fin + ukf_arena_size(ns, nc, ne, no).n_float, fout, 0, 1});
        // Both lanes start with the solution blocks; the simulation's go on
        // with x0 | shocks | params | scratch, the filter's with params
        // (none) | Q | R | y | z0 | P0.
        Carver sim_lane, in;
        for (const auto* block : {&hx, &gx, &bx, &hxx, &gxx, &hss, &gss, &ss}) {
            const i64 len = static_cast<i64>(block->size());
            p.bind(0, stat(*block, sim_lane.at(len)));
            p.bind(1, stat(*block, in.at(len)));
        }
        p.bind(0, stat(x0, sim_lane.at(ns)));
        ASSERT_EQ(sim_lane.offset(), trova_simulate_order2_shock_offset(ns, nc, ne));
        p.bind(1, stat(Q, in.at(ne, ne)));
        p.bind(1, stat(R, in.at(no, no)));
        trova_mc_float_input_binding obs = observables(in.at(T, no));
        obs.source_offset = T * (ns + nc);
        p.bind(1, obs);
        p.bind(1, stat(z0, in.at(nz)));
        p.bind(1, stat(P0, in.at(nz, nz)));
        ASSERT_EQ(in.offset(), fin);
        ASSERT_EQ(p.run(), 0);
        for (i64 r = 0; r < n_rep; ++r) {
            ASSERT_EQ(p.failure_step[static_cast<std::size_t>(r)], -1);
            ASSERT_TRUE(std::isfinite(p.retained(1, r)[loglik_at]));
        }
        if (first.empty()) {
            first = p.all_retained(1);
        } else {
            for (std::size_t j = 0; j < first.size(); ++j)
                ASSERT_TRUE(trova_test::same_bits(first[j], p.all_retained(1)[j]));
        }
    }
}

}  // namespace

// The fixed-size loop of the linear filter (n, m <= 8) against the general
// loop on random models of every size it covers: all histories, eps_hat and
// the log-likelihood agree to 1e-12 relative, with and without symmetrising
// and jitter, for R and P0 that are not exactly symmetric, and a model whose
// S stops being positive definite after the first period fails in both with
// -3 and the same partial log-likelihood.
namespace kf_small {

struct FilterRun {
    std::vector<f64> xp, xf, Pp, Pf, yp, yf, v, sv, S, eps, ll{0.0};
    int status = 0;
};

// Runs a filter (kf_run or ekf_run with their record types) into histories
// pre-filled with -7.
template <class Outputs, class Inputs, class Run>
FilterRun run_filter(const Inputs& in, i64 n, i64 m, i64 k, i64 T, arena_size size, Run run) {
    FilterRun r;
    for (auto* h : {&r.xp, &r.xf}) h->assign(T * n, -7.0);
    for (auto* h : {&r.Pp, &r.Pf}) h->assign(T * n * n, -7.0);
    for (auto* h : {&r.yp, &r.yf, &r.v, &r.sv}) h->assign(T * m, -7.0);
    r.S.assign(T * m * m, -7.0);
    r.eps.assign(T * k + 1, -7.0);
    const Outputs out{r.xp.data(), r.xf.data(), r.Pp.data(), r.Pf.data(), r.yp.data(), r.yf.data(),
                      r.v.data(),  r.sv.data(), r.S.data(),  r.eps.data(), r.ll.data()};
    std::vector<f64> arena(static_cast<std::size_t>(size.n_float));
    r.status = run(&in, arena.data(), &out);
    return r;
}

FilterRun filter(const kf_inputs& in, bool small) {
    return run_filter<kf_outputs>(in, in.n, in.m, in.k, in.T, kf_arena_size(in.n, in.m, in.k),
                                  [small](const kf_inputs* i, f64* a, const kf_outputs* o) {
                                      return trova::kalman::kf_run(i, a, o, small);
                                  });
}

void expect_close(const std::vector<f64>& a, const std::vector<f64>& b, const char* what) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_NEAR(a[i], b[i], 1e-12 * std::max(1.0, std::fabs(b[i]))) << what << " entry " << i;
}

void expect_symmetric(const std::vector<f64>& h, i64 q, const char* what) {
    for (std::size_t t = 0; t < h.size() / static_cast<std::size_t>(q * q); ++t)
        for (i64 i = 0; i < q; ++i)
            for (i64 j = 0; j < i; ++j)
                ASSERT_EQ(h[t * q * q + i * q + j], h[t * q * q + j * q + i]) << what << " period " << t << " entry " << i << ", " << j;
}

struct Model {
    std::vector<f64> A, B, C, d, Q, R, y, x0, P0;
    kf_inputs in{};
};

// A random model: A with spectral scale below one, Q = G G', R = H H' +
// 0.3 I and P0 = I + F F' with one off-diagonal entry nudged by a relative
// `nudge` (ulp-sized by default) when asym (so neither is exactly
// symmetric).
void make(Model& md, i64 n, i64 m, i64 k, i64 T, u64 seed, bool asym, f64 nudge = 4e-16) {
    u64 s = seed * 0x9E3779B97F4A7C15ULL + 1;
    auto rnd = [&s] {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<f64>(s >> 11) * 0x1.0p-53 - 0.5;
    };
    auto fill = [&](std::vector<f64>& v, std::size_t size, f64 scale) {
        v.resize(size);
        for (f64& e : v) e = scale * rnd();
    };
    auto gram = [&](std::vector<f64>& out, i64 q, f64 ridge) {
        std::vector<f64> G;
        fill(G, q * q, 1.0);
        out.assign(q * q, 0.0);
        for (i64 i = 0; i < q; ++i)
            for (i64 j = 0; j < q; ++j) {
                for (i64 l = 0; l < q; ++l) out[i * q + j] += G[i * q + l] * G[j * q + l];
                if (i == j) out[i * q + j] += ridge;
            }
        if (asym && q > 1) out[1] *= 1.0 + nudge;
    };
    fill(md.A, n * n, 1.6 / std::sqrt(static_cast<f64>(n)));
    fill(md.B, n * k, 1.0);
    fill(md.C, m * n, 2.0);
    fill(md.d, m, 1.0);
    fill(md.y, T * m, 3.0);
    fill(md.x0, n, 1.0);
    gram(md.Q, k, 0.0);
    gram(md.R, m, 0.3);
    gram(md.P0, n, 1.0);
    md.in = kf_inputs{n,           m,           k,           T, md.A.data(), md.B.data(), md.C.data(),
                      md.d.data(), md.Q.data(), md.R.data(), md.y.data(), md.x0.data(), md.P0.data(),
                      0,           0.0,         1,           1};
}

void compare_runs(const FilterRun& a, const FilterRun& g) {
    ASSERT_EQ(a.status, g.status);
    expect_close(a.ll, g.ll, "loglik");
    expect_close(a.xp, g.xp, "x_pred");
    expect_close(a.xf, g.xf, "x_filt");
    expect_close(a.Pp, g.Pp, "P_pred");
    expect_close(a.Pf, g.Pf, "P_filt");
    expect_close(a.yp, g.yp, "y_pred");
    expect_close(a.yf, g.yf, "y_filt");
    expect_close(a.v, g.v, "innov");
    expect_close(a.sv, g.sv, "std_innov");
    expect_close(a.S, g.S, "S");
    expect_close(a.eps, g.eps, "eps_hat");
}

void compare(const kf_inputs& in) { compare_runs(filter(in, true), filter(in, false)); }

}  // namespace kf_small

TEST(LinearFilterSmall, MatchesGeneralLoopAtEverySize) {
    using namespace kf_small;
    Model md;
    for (i64 n = 1; n <= trova::kalman::kSmallMaxN + 1; ++n)
        for (i64 m = 1; m <= trova::kalman::kSmallMaxM; ++m) {
            ASSERT_EQ(trova::kalman::kf_small_loop(n, m) != nullptr, n <= trova::kalman::kSmallMaxN);
            for (int variant = 0; variant < 4; ++variant) {
                SCOPED_TRACE(testing::Message() << "n " << n << " m " << m << " variant " << variant);
                make(md, n, m, variant, 40, static_cast<u64>(n * 100 + m * 10 + variant), variant != 0,
                     variant == 3 ? 1e-3 : 4e-16);
                md.in.symmetrize = variant & 1;
                md.in.jitter = variant == 3 ? 1e-3 : 0.0;
                md.in.return_shocks = variant != 2;
                compare(md.in);
                const FilterRun a = filter(md.in, true);
                ASSERT_TRUE(std::isfinite(a.ll[0]));
                // Symmetrising leaves P_pred, P_filt and S exactly symmetric.
                if (md.in.symmetrize) {
                    expect_symmetric(a.Pp, n, "P_pred");
                    expect_symmetric(a.Pf, n, "P_filt");
                    expect_symmetric(a.S, m, "S");
                }
            }
        }
    EXPECT_EQ(trova::kalman::kf_small_loop(1, trova::kalman::kSmallMaxM + 1), nullptr);
    EXPECT_EQ(trova::kalman::kf_small_loop(1, 0), nullptr);
}

TEST(LinearFilterSmall, FailedFactorisationKeepsPartialLoglik) {
    using namespace kf_small;
    Model md;
    for (i64 n = 1; n <= 4; ++n) {
        const i64 m = n;
        make(md, n, m, 1, 20, 7, false);
        // C = I, A = 0.5 I, P0 = 100 I and R = -1.2 I: S is positive at t = 0
        // (about 24.8 I) and P_filt negative after it, so the factor of S
        // fails at t = 1.
        std::fill(md.A.begin(), md.A.end(), 0.0);
        std::fill(md.C.begin(), md.C.end(), 0.0);
        std::fill(md.R.begin(), md.R.end(), 0.0);
        std::fill(md.P0.begin(), md.P0.end(), 0.0);
        std::fill(md.B.begin(), md.B.end(), 0.0);
        for (i64 i = 0; i < n; ++i) {
            md.A[i * n + i] = 0.5;
            md.C[i * n + i] = 1.0;
            md.R[i * m + i] = -1.2;
            md.P0[i * n + i] = 100.0;
            md.B[i * 1] = i == 0 ? 1.0 : 0.0;
        }
        md.Q[0] = 1.0;
        const FilterRun a = filter(md.in, true);
        EXPECT_EQ(a.status, -3);
        // Only period 0 entered the log-likelihood: S_0 = 25 I + B Q B' - 1.2 I,
        // v_0 = y_0 - d - A x0.
        f64 expect = 0.0;
        for (i64 i = 0; i < n; ++i) {
            const f64 s = 25.0 + (i == 0 ? 1.0 : 0.0) - 1.2, v = md.y[i] - md.d[i] - 0.5 * md.x0[i];
            expect += -0.5 * (std::log(2.0 * M_PI * s) + v * v / s);
        }
        EXPECT_NEAR(a.ll[0], expect, 1e-12 * std::fabs(expect));
        EXPECT_EQ(a.Pf[n * n], -7.0);  // no history row for the failed period
        compare(md.in);
        // A first pivot of 1e-300, positive but below the tolerance (m eps
        // times the largest diagonal entry of S), fails at t = 0.
        if (m > 1) {
            std::fill(md.R.begin(), md.R.end(), 0.0);
            for (i64 i = 0; i < m; ++i) md.R[i * m + i] = i == 0 ? 1e-300 : 1.0;
            std::fill(md.C.begin(), md.C.begin() + n, 0.0);
            const FilterRun z = filter(md.in, true);
            EXPECT_EQ(z.status, -3);
            EXPECT_EQ(z.ll[0], 0.0);
            compare(md.in);
        }
    }
}

// The fixed-size loop of the extended filter against the general loop, on
// the random models above with a nonlinear measurement h_i(x) = d_i + C_i x
// + a sin(x_(i mod n)), whose Jacobian changes every period. The callbacks
// read n, m, a, C and d from the parameter vector and log every call, so
// the two paths must also call them in the same order, as often, at the
// same states.
namespace ekf_small {

struct Call {
    char what;
    std::vector<f64> x;
};
std::vector<Call> calls;

// params: n, m, a, C (m x n), d (m).
void meas(const f64* x, const f64* p, f64* out) {
    const i64 n = static_cast<i64>(p[0]), m = static_cast<i64>(p[1]);
    calls.push_back({'h', std::vector<f64>(x, x + n)});
    for (i64 i = 0; i < m; ++i) {
        f64 s = p[3 + m * n + i] + p[2] * std::sin(x[i % n]);
        for (i64 j = 0; j < n; ++j) s += p[3 + i * n + j] * x[j];
        out[i] = s;
    }
}
void jac(const f64* x, const f64* p, f64* out) {
    const i64 n = static_cast<i64>(p[0]), m = static_cast<i64>(p[1]);
    calls.push_back({'J', std::vector<f64>(x, x + n)});
    for (i64 i = 0; i < m; ++i)
        for (i64 j = 0; j < n; ++j)
            out[i * n + j] = p[3 + i * n + j] + (j == i % n ? p[2] * std::cos(x[j]) : 0.0);
}

struct EkfRun {
    kf_small::FilterRun r;
    std::vector<Call> calls;
};

EkfRun filter(const ekf_inputs& in, bool small) {
    calls.clear();
    EkfRun out;
    out.r = kf_small::run_filter<ekf_outputs>(in, in.n, in.m, in.k, in.T, ekf_arena_size(in.n, in.m, in.k),
                                              [small](const ekf_inputs* i, f64* a, const ekf_outputs* o) {
                                                  return trova::kalman::ekf_run(i, a, o, small);
                                              });
    out.calls = calls;
    return out;
}

// The extended inputs of a kf_small model with amplitude a.
ekf_inputs inputs(const kf_small::Model& md, std::vector<f64>& params, f64 a) {
    const kf_inputs& k = md.in;
    params = {static_cast<f64>(k.n), static_cast<f64>(k.m), a};
    params.insert(params.end(), md.C.begin(), md.C.end());
    params.insert(params.end(), md.d.begin(), md.d.end());
    return ekf_inputs{meas, jac, k.A, k.B, params.data(), k.Q, k.R, k.y, k.x0, k.P0, k.T, k.n, k.m, k.k,
                      static_cast<i64>(params.size()), k.jitter, k.symmetrize, 1, k.return_shocks,
                      k.store_history};
}

void compare(const ekf_inputs& in) {
    const EkfRun a = filter(in, true), g = filter(in, false);
    kf_small::compare_runs(a.r, g.r);
    ASSERT_EQ(a.calls.size(), g.calls.size());
    for (std::size_t c = 0; c < a.calls.size(); ++c) {
        ASSERT_EQ(a.calls[c].what, g.calls[c].what) << "call " << c;
        kf_small::expect_close(a.calls[c].x, g.calls[c].x, "callback state");
    }
}

class ExtendedFilterSmall : public testing::TestWithParam<int> {};

TEST_P(ExtendedFilterSmall, MatchesGeneralLoop) {
    const i64 n = GetParam();
    ASSERT_NE(trova::kalman::ekf_small_loop(n, 1), nullptr);
    kf_small::Model md;
    std::vector<f64> params;
    for (i64 m = 1; m <= trova::kalman::kSmallMaxM; ++m)
        for (int variant = 0; variant < 6; ++variant) {
            const i64 k = std::vector<i64>{0, 1, 3}[variant % 3];
            SCOPED_TRACE(testing::Message() << "n " << n << " m " << m << " variant " << variant);
            // Variants 3 to 5 nudge R and P0 well away from symmetry, which
            // symmetrising then changes beyond rounding.
            kf_small::make(md, n, m, k, 30, static_cast<u64>(n * 100 + m * 10 + variant), variant != 0,
                           variant >= 3 ? 1e-3 : 4e-16);
            md.in.symmetrize = variant & 1;
            md.in.jitter = variant == 3 ? 1e-3 : 0.0;
            md.in.return_shocks = variant != 2;
            md.in.store_history = variant != 4;
            ekf_inputs in = inputs(md, params, 0.3);
            in.compute_y_filt = variant != 5;
            compare(in);
            const EkfRun a = filter(in, true);
            ASSERT_EQ(a.r.status, 0);
            ASSERT_TRUE(std::isfinite(a.r.ll[0]));
            // Two measurement calls and one Jacobian call a period, one
            // measurement fewer without y_filt.
            const bool y_filt = in.store_history && in.compute_y_filt;
            ASSERT_EQ(static_cast<i64>(a.calls.size()), in.T * (y_filt ? 3 : 2));
            if (!in.store_history) {
                EXPECT_EQ(a.r.xp[0], -7.0);
            }
            if (y_filt) {
                EXPECT_NE(a.r.yf[0], -7.0);
            } else {
                EXPECT_EQ(a.r.yf[0], -7.0);
            }
        }
}

// The nonlinear model whose S fails to factor at t = 1 (A = 0.5 I, H about
// I, P0 = 100 I, R = -1.2 I): both paths return -3 with the log-likelihood
// of period 0 and no history row for period 1.
TEST_P(ExtendedFilterSmall, FailedFactorisationKeepsPartialLoglik) {
    const i64 n = GetParam();
    const i64 m = n;
    kf_small::Model md;
    std::vector<f64> params;
    kf_small::make(md, n, m, 1, 20, 11, false);
    for (auto* v : {&md.A, &md.C, &md.R, &md.P0, &md.B}) std::fill(v->begin(), v->end(), 0.0);
    for (i64 i = 0; i < n; ++i) {
        md.A[i * n + i] = 0.5;
        md.C[i * n + i] = 1.0;
        md.R[i * m + i] = -1.2;
        md.P0[i * n + i] = 100.0;
    }
    md.B[0] = 1.0;
    md.Q[0] = 1.0;
    const ekf_inputs in = inputs(md, params, 0.05);
    const EkfRun a = filter(in, true);
    EXPECT_EQ(a.r.status, -3);
    EXPECT_TRUE(std::isfinite(a.r.ll[0]));
    EXPECT_NE(a.r.ll[0], 0.0);
    EXPECT_EQ(a.r.Pf[n * n], -7.0);
    compare(in);
}

INSTANTIATE_TEST_SUITE_P(EverySmallN, ExtendedFilterSmall, testing::Range(1, trova::kalman::kSmallMaxN + 1));

}  // namespace ekf_small
