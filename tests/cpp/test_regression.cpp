// The seven regression steps inside one pipeline, on lanes sized exactly by
// their sizers (the sanitizer build catches any access outside them), and
// the relations between their fits.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pipeline_builder.h"
#include "regression_data.h"
#include "trova.h"

namespace {

using trova_test::Pipeline;

constexpr i64 kN = 60, kP = 4, kRep = 5;

TEST(RegressionSteps, SevenFamiliesInOnePipeline) {
    const std::vector<f64> data = trova_test::regression_data(kRep, kN);
    const trova_test::RegressionSteps steps(kN);
    Pipeline p(kRep, 2);
    steps.add_to(p, data);
    // Block offsets of the outputs, from the steps' own layout.
    trova_regression_output_offsets ols_at, pen_at;
    trova_mc_regression_output_offsets(kP, 1, &ols_at);
    trova_mc_regression_output_offsets(kP, 0, &pen_at);
    ASSERT_EQ(ols_at.ssr, pen_at.ssr);
    ASSERT_EQ(p.run(), 0);
    // coef, ssr and sst, which every family writes at the same offsets.
    std::vector<i64> common;
    for (i64 j = 0; j < kP; ++j) common.push_back(pen_at.coef + j);
    common.push_back(pen_at.ssr);
    common.push_back(pen_at.sst);
    for (i64 r = 0; r < kRep; ++r) {
        ASSERT_EQ(p.failure_step[static_cast<std::size_t>(r)], -1);
        const f64* b_ols = p.retained(0, r);
        for (i64 j : common) {
            // Ridge without a penalty and the lasso grid's zero penalty (the
            // smallest in-sample rss) reproduce OLS.
            EXPECT_NEAR(p.retained(1, r)[j], b_ols[j], 1e-9 * (1.0 + std::fabs(b_ols[j])));
            EXPECT_NEAR(p.retained(4, r)[j], b_ols[j], 1e-9 * (1.0 + std::fabs(b_ols[j])));
            // Elastic net with l1_ratio 1 is the lasso.
            EXPECT_NEAR(p.retained(5, r)[j], p.retained(3, r)[j], 1e-10);
        }
        for (i64 s : {2, 6}) {
            // No penalised fit has a smaller residual sum of squares than OLS.
            EXPECT_GE(p.retained(s, r)[pen_at.ssr], b_ols[pen_at.ssr] * (1.0 - 1e-12));
            EXPECT_EQ(p.int_retained(s, r)[0], 0);
        }
        // The standard errors of OLS are positive and finite.
        for (i64 j = 0; j < kP; ++j) {
            const f64 se = b_ols[ols_at.se + j];
            EXPECT_TRUE(se > 0.0 && std::isfinite(se));
        }
    }
}

// Without a knot there is no path: the evaluator says so and touches
// nothing (the sanitizer build would report a read before the arrays).
TEST(RegressionKernels, PathEvalWithoutKnotsReadsNothing) {
    const std::vector<f64> lam{1.0}, beta{0.5, -0.5}, grid{0.25, 2.0};
    for (i64 n_knots : {i64{0}, i64{-1}, i64{-(i64{1} << 62)}}) {
        std::vector<f64> out(4, -5.0);
        EXPECT_EQ(trova_lasso_path_eval(lam.data(), beta.data(), n_knots, 2, grid.data(), 2, out.data()), -1);
        for (f64 v : out) EXPECT_EQ(v, -5.0);
    }
    // One knot: zeros at or above it, the knot itself below.
    std::vector<f64> out(4, -5.0);
    EXPECT_EQ(trova_lasso_path_eval(lam.data(), beta.data(), 1, 2, grid.data(), 2, out.data()), 0);
    EXPECT_EQ(out, (std::vector<f64>{0.5, -0.5, 0.0, 0.0}));
}

// A NaN met in a coordinate descent is no convergence, whatever the
// threshold makes of it.
TEST(RegressionKernels, CoordinateDescentsRejectNaN) {
    const f64 G[4] = {2.0, 0.3, 0.3, 1.0};
    const f64 g[2] = {0.5, std::nan("")};
    const f64 zero[2] = {0.0, 0.0};
    f64 coef[2], Gcoef[2];
    EXPECT_EQ(trova_lasso_gram_cd(G, g, 2, 0.01, 100, 1e-12, coef, Gcoef), REGRESSION_NON_CONVERGENT);
    EXPECT_EQ(trova_en_gram_cd(G, g, 2, 0.01, 0.1, zero, 100, 1e-12, coef, Gcoef), REGRESSION_NON_CONVERGENT);
    const f64 g_ok[2] = {0.5, -0.2};
    const f64 nan_start[2] = {std::nan(""), 0.0};
    EXPECT_EQ(trova_en_gram_cd(G, g_ok, 2, 0.01, 0.1, nan_start, 100, 1e-12, coef, Gcoef),
              REGRESSION_NON_CONVERGENT);
    EXPECT_EQ(trova_en_gram_cd(G, g_ok, 2, 0.01, 0.1, zero, 100, 1e-12, coef, Gcoef), REGRESSION_OK);
}

// A fit with an intercept and no columns penalises nothing: its grid lanes
// are those of no columns at all, never shrunk by a count of -1 (which made
// the lasso path's lane negative or too short for its data blocks).
TEST(RegressionSizers, InterceptWithoutColumnsPenalisesNothing) {
    for (const i64 n_alpha : {i64{0}, i64{3}, i64{2147483649}}) {
        for (const i64 max_iter : {i64{0}, i64{50}, i64{2097151}}) {
            const arena_size with = trova_mc_lasso_gs_work_arena_size(5, 0, 1, n_alpha, max_iter);
            const arena_size without = trova_mc_lasso_gs_work_arena_size(5, 0, 0, n_alpha, max_iter);
            EXPECT_EQ(with.n_float, without.n_float);
            EXPECT_GE(with.n_float, trova_mc_lasso_gs_work_arena_size(5, 0, 1, 0, 0).n_float);
        }
        const arena_size en = trova_mc_elastic_net_gs_work_arena_size(5, 0, 1, n_alpha);
        EXPECT_EQ(en.n_float, trova_mc_elastic_net_gs_work_arena_size(5, 0, 0, n_alpha).n_float);
        EXPECT_GE(en.n_float, 5);
    }
}

}  // namespace
