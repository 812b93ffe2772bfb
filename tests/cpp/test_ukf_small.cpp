// The unscented filter's fixed-size loop (ns <= 4, no <= 8) against its
// general loop on random models of every size the fixed-size loop covers:
// every history and the log-likelihood agree to 1e-12 relative, the
// measurement sees the same points in the same order, and the failures
// (a covariance that needs the jitter retry, one that cannot be factored,
// one that is not finite) end both loops alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "kalman/kalman_ukf.h"
#include "trova.h"

namespace {

using trova::kalman::kUkfSmallMaxNo;
using trova::kalman::kUkfSmallMaxNs;

// Every call of the measurement appends its variable vector here.
std::vector<f64> g_calls;

// params = [no, nv, C (no x nv)]: y = C vars + 0.2 sin(vars[j mod nv]).
void meas(const f64* vars, const f64* params, f64* out) {
    const i64 no = static_cast<i64>(params[0]), nv = static_cast<i64>(params[1]);
    g_calls.insert(g_calls.end(), vars, vars + nv);
    for (i64 j = 0; j < no; ++j) {
        f64 s = 0.2 * std::sin(vars[j % nv]);
        for (i64 k = 0; k < nv; ++k) s += params[2 + j * nv + k] * vars[k];
        out[j] = s;
    }
}

struct Model {
    std::vector<f64> hx, gx, bx, hxx, gxx, hss, gss, ss, params, Q, R, obs, z0, P0;
    ukf_inputs in{};
};

// A random model: hx = 0.85 I plus a small random part (slowly contracting,
// so that without shocks the covariances do not collapse within T and their
// factors stay well conditioned), small second-order terms,
// Q = G G', R = H H' + 0.3 I and P0 = 0.1 (I + F F'), the last three with
// one off-diagonal entry nudged by a few ulps (not exactly symmetric).
Model make(i64 ns, i64 nc, i64 ne, i64 no, i64 T, u64 seed) {
    u64 s = seed * 0x9E3779B97F4A7C15ULL + 1;
    auto rnd = [&s] {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<f64>(s >> 11) * 0x1.0p-53 - 0.5;
    };
    auto fill = [&](std::vector<f64>& v, i64 size, f64 scale) {
        v.resize(static_cast<std::size_t>(size));
        for (f64& e : v) e = scale * rnd();
    };
    auto gram = [&](std::vector<f64>& out, i64 q, f64 scale, f64 ridge) {
        std::vector<f64> G;
        fill(G, q * q, 1.0);
        out.assign(static_cast<std::size_t>(q * q), 0.0);
        for (i64 i = 0; i < q; ++i)
            for (i64 j = 0; j < q; ++j) {
                f64& e = out[static_cast<std::size_t>(i * q + j)];
                for (i64 l = 0; l < q; ++l) e += G[i * q + l] * G[j * q + l];
                e = scale * (e + (i == j ? ridge : 0.0));
            }
        if (q > 1) out[1] *= 1.0 + 4e-16;
    };
    const i64 nz = 2 * ns, nv = ns + nc;
    Model md;
    fill(md.hx, ns * ns, 0.2 / std::sqrt(static_cast<f64>(ns)));
    for (i64 i = 0; i < ns; ++i) md.hx[static_cast<std::size_t>(i * ns + i)] += 0.85;
    struct Block { std::vector<f64>* v; i64 size; f64 scale; };
    for (const Block& b : {Block{&md.gx, nc * ns, 1.0}, {&md.bx, ns * ne, 1.0}, {&md.hxx, ns * ns * ns, 0.2},
                           {&md.gxx, nc * ns * ns, 0.2}, {&md.hss, ns, 0.1}, {&md.gss, nc, 0.1}, {&md.ss, nv, 2.0},
                           {&md.params, 2 + no * nv, 1.0}, {&md.obs, T * no, 2.0}, {&md.z0, nz, 0.2}})
        fill(*b.v, b.size, b.scale);
    md.params[0] = static_cast<f64>(no);
    md.params[1] = static_cast<f64>(nv);
    gram(md.Q, ne, 0.3, 0.0);
    gram(md.R, no, 1.0, 0.3);
    gram(md.P0, nz, 0.1, 1.0);
    md.in = ukf_inputs{meas,           md.hx.data(),  md.gx.data(),  md.bx.data(), md.hxx.data(), md.gxx.data(),
                       md.hss.data(),  md.gss.data(), md.ss.data(),  md.params.data(), md.Q.data(), md.R.data(),
                       md.obs.data(),  md.z0.data(),  md.P0.data(),  T, ns, nc, ne, no,
                       static_cast<i64>(md.params.size()), 0.7, 2.0, 0.5, 0.0, 0, 1};
    return md;
}

struct FilterRun {
    std::vector<std::vector<f64>> hist;  // in ukf_outputs order
    std::vector<f64> calls;
    f64 loglik = -7.0;
    i64 status = 0;
};

FilterRun run(const ukf_inputs& in, bool small) {
    const i64 T = in.T, ns = in.n_state, nv = ns + in.n_ctrl, nz = 2 * ns, no = in.n_obs;
    FilterRun r;
    for (i64 len : {ns, ns, ns, ns, nv, nv, nz * nz, nz * nz, no, no, no, no, no * no})
        r.hist.emplace_back(static_cast<std::size_t>(T * len), -7.0);
    auto h = [&r](int i) { return r.hist[static_cast<std::size_t>(i)].data(); };
    const ukf_outputs out{h(0), h(1), h(2), h(3), h(4), h(5), h(6), h(7), h(8), h(9), h(10), h(11), h(12),
                          &r.loglik};
    std::vector<f64> arena(static_cast<std::size_t>(ukf_arena_size(ns, in.n_ctrl, in.n_exog, no).n_float));
    g_calls.clear();
    r.status = trova::kalman::ukf_run(&in, arena.data(), &out, small);
    r.calls = g_calls;
    return r;
}

void expect_close(const std::vector<f64>& a, const std::vector<f64>& b, const char* what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_NEAR(a[i], b[i], 1e-12 * std::max(1.0, std::fabs(b[i]))) << what << " entry " << i;
}

// Runs both loops; returns the fixed-size loop's run after checking that it
// agrees with the general one.
FilterRun compare(const ukf_inputs& in) {
    FilterRun a = run(in, true);
    const FilterRun g = run(in, false);
    EXPECT_EQ(a.status, g.status);
    EXPECT_NEAR(a.loglik, g.loglik, 1e-12 * std::max(1.0, std::fabs(g.loglik)));
    // The same measurement calls, in the same order, at the same points.
    EXPECT_EQ(a.calls.size(), g.calls.size());
    expect_close(a.calls, g.calls, "measurement arguments");
    const char* names[] = {"x1_pred", "x2_pred", "x1_filt", "x2_filt", "x_pred", "x_filt", "P_pred",
                           "P_filt",  "y_pred",  "y_filt",  "innov",   "std_innov", "S"};
    for (std::size_t i = 0; i < a.hist.size(); ++i) expect_close(a.hist[i], g.hist[i], names[i]);
    return a;
}

// Every q x q matrix of the history h equals its transpose exactly.
void expect_symmetric(const std::vector<f64>& h, i64 q, const char* what) {
    for (std::size_t t = 0; t < h.size(); t += static_cast<std::size_t>(q * q))
        for (i64 i = 0; i < q; ++i)
            for (i64 j = 0; j < i; ++j) ASSERT_EQ(h[t + i * q + j], h[t + j * q + i]) << what << " at " << t;
}

TEST(UnscentedFilterSmall, MatchesGeneralLoopAtEverySize) {
    constexpr i64 T = 25;
    for (i64 ns = 1; ns <= kUkfSmallMaxNs + 1; ++ns)
        for (i64 no = 1; no <= kUkfSmallMaxNo; ++no) {
            ASSERT_EQ(trova::kalman::ukf_small_loop(ns, no) != nullptr, ns <= kUkfSmallMaxNs);
            for (int variant = 0; variant < 36; ++variant) {
                const i64 nc = std::vector<i64>{0, 1, 3}[variant % 3], ne = variant / 3 % 3;
                SCOPED_TRACE(testing::Message() << "ns " << ns << " no " << no << " variant " << variant);
                Model md = make(ns, nc, ne, no, T, static_cast<u64>(ns * 1000 + no * 100 + variant));
                md.in.symmetrize = variant / 9 % 2;
                md.in.store_history = variant / 18;
                md.in.jitter = variant % 5 == 0 ? 1e-6 : 0.0;
                const FilterRun a = compare(md.in);
                ASSERT_EQ(a.status, 0);
                ASSERT_TRUE(std::isfinite(a.loglik));
                // 2 nz + 1 points a period, and the filtered levels with the
                // histories.
                EXPECT_EQ(static_cast<i64>(a.calls.size()), T * (4 * ns + 1 + md.in.store_history) * (ns + nc));
                if (md.in.store_history && md.in.symmetrize) {
                    expect_symmetric(a.hist[6], 2 * ns, "P_pred");
                    expect_symmetric(a.hist[7], 2 * ns, "P_filt");
                    expect_symmetric(a.hist[12], no, "S");
                }
                if (HasFatalFailure() || HasFailure()) return;
            }
        }
    EXPECT_EQ(trova::kalman::ukf_small_loop(1, kUkfSmallMaxNo + 1), nullptr);
    EXPECT_EQ(trova::kalman::ukf_small_loop(0, 1), nullptr);
}

TEST(UnscentedFilterSmall, FactorisationFailuresAndRetryMatchGeneralLoop) {
    constexpr i64 T = 12;
    for (i64 ns = 1; ns <= kUkfSmallMaxNs; ++ns) {
        const i64 no = ns + 1, nz = 2 * ns;
        SCOPED_TRACE(testing::Message() << "ns " << ns);
        // P0 with a zero x2 block and jitter 0: the first factorisation fails
        // and the retry, with 1e-10 times the largest diagonal element,
        // succeeds.
        Model md = make(ns, 2, 1, no, T, static_cast<u64>(ns));
        for (i64 i = 0; i < nz; ++i)
            for (i64 j = 0; j < nz; ++j)
                if (i >= ns || j >= ns) md.P0[static_cast<std::size_t>(i * nz + j)] = 0.0;
        FilterRun a = compare(md.in);
        EXPECT_EQ(a.status, 0);
        EXPECT_TRUE(std::isfinite(a.loglik));

        // hx = 0.5 I, no second-order terms, P0 = 100 I and y_j = vars_j +
        // 0.2 sin(vars_j): S is positive at t = 0 but R = -0.01 I leaves
        // P_filt with negative eigenvalues, so the next period's first
        // factorisation fails twice: -3 with period 0's log-likelihood.
        std::fill(md.hx.begin(), md.hx.end(), 0.0);
        std::fill(md.hxx.begin(), md.hxx.end(), 0.0);
        std::fill(md.hss.begin(), md.hss.end(), 0.0);
        std::fill(md.R.begin(), md.R.end(), 0.0);
        std::fill(md.P0.begin(), md.P0.end(), 0.0);
        std::fill(md.params.begin() + 2, md.params.end(), 0.0);
        for (i64 i = 0; i < ns; ++i) md.hx[static_cast<std::size_t>(i * ns + i)] = 0.5;
        for (i64 i = 0; i < no; ++i) {
            md.R[static_cast<std::size_t>(i * no + i)] = -0.01;
            md.params[static_cast<std::size_t>(2 + i * (ns + 2) + i)] = 1.0;
        }
        for (i64 i = 0; i < nz; ++i) md.P0[static_cast<std::size_t>(i * nz + i)] = 100.0;
        a = compare(md.in);
        EXPECT_EQ(a.status, -3);
        EXPECT_TRUE(std::isfinite(a.loglik));
        EXPECT_NE(a.loglik, 0.0);
        EXPECT_NE(a.hist[7][0], -7.0);       // period 0 stored
        EXPECT_EQ(a.hist[7][nz * nz], -7.0);  // period 1 not
        EXPECT_EQ(a.calls.size(), static_cast<std::size_t>((2 * nz + 2) * (ns + 2)));

        // A NaN above the diagonal of P0, which the factorisation would not
        // read, fails at once without a retry.
        md.P0[1] = std::nan("");
        a = compare(md.in);
        EXPECT_EQ(a.status, -3);
        EXPECT_EQ(a.loglik, 0.0);
        EXPECT_TRUE(a.calls.empty());
    }
}

}  // namespace
