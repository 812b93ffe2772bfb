// Transform steps in a pipeline whose lanes are exactly as long as the sizers
// say, so that the sanitizer build catches any access past them, checked
// against windows and differences evaluated directly in long double.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "pipeline_builder.h"
#include "trova_transforms.h"

namespace {

using trova_test::Lanes;
using trova_test::Pipeline;
using trova_test::StepEntry;
using ld = long double;

constexpr i64 kRep = 5, kN = 37, kWindow = 6, kOrder = 3, kDdof = 1;

// Column c of replication r's n x p block.
std::vector<ld> column(const std::vector<f64>& data, i64 r, i64 p, i64 c) {
    std::vector<ld> v(static_cast<std::size_t>(kN));
    for (i64 t = 0; t < kN; ++t) v[static_cast<std::size_t>(t)] = data[static_cast<std::size_t>((r * kN + t) * p + c)];
    return v;
}

ld mean(const ld* v, i64 m) {
    ld s = 0;
    for (i64 k = 0; k < m; ++k) s += v[k];
    return s / static_cast<ld>(m);
}

ld sum_sq_dev(const ld* v, i64 m) {
    const ld mu = mean(v, m);
    ld s = 0;
    for (i64 k = 0; k < m; ++k) s += (v[k] - mu) * (v[k] - mu);
    return s;
}

// Expected output column of each transform, in the order the steps are added.
std::vector<std::vector<ld>> expected(const std::vector<ld>& x) {
    std::vector<std::vector<ld>> e(7);
    const ld sd = std::sqrt(sum_sq_dev(x.data(), kN) / static_cast<ld>(kN - kDdof));
    for (i64 t = 0; t < kN; ++t) {
        e[0].push_back((x[t] - mean(x.data(), kN)) / sd);
        e[1].push_back(std::log(x[t] + 0.5L));
        if (t > 0) e[2].push_back(std::log(x[t] + 0.5L) - std::log(x[t - 1] + 0.5L));
    }
    std::vector<ld> d = x;
    for (i64 k = 0; k < kOrder; ++k)
        for (std::size_t t = 0; t + 1 < d.size() - static_cast<std::size_t>(k); ++t) d[t] = d[t + 1] - d[t];
    e[3].assign(d.begin(), d.begin() + (kN - kOrder));
    for (i64 t = 0; t + kWindow <= kN; ++t) {
        const ld ss = sum_sq_dev(x.data() + t, kWindow) / static_cast<ld>(kWindow - kDdof);
        e[4].push_back(mean(x.data() + t, kWindow));
        e[5].push_back(ss);
        e[6].push_back(std::sqrt(ss));
    }
    return e;
}

class TransformSteps : public ::testing::TestWithParam<i64> {};

// p covers blocks of four columns, the single-column rest, and both.
TEST_P(TransformSteps, MatchDirectEvaluationInExactlySizedLanes) {
    const i64 p = GetParam();
    std::vector<f64> data(static_cast<std::size_t>(kRep * kN * p));
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = 2.0 + std::sin(0.7 * static_cast<f64>(k * k % 101));
    const trova_mc_standardize_step_ctx standardize{kN, p, kDdof};
    const trova_mc_log_step_ctx log_ctx{kN, p, 0.5};
    const trova_mc_log_diff_step_ctx log_diff{kN, p, 0.5};
    const trova_mc_diff_step_ctx diff{kN, p, kOrder};
    const trova_mc_rolling_mean_step_ctx rolling_mean{kN, p, kWindow};
    const trova_mc_rolling_var_step_ctx rolling_var{kN, p, kWindow, kDdof};
    const i64 rolled = kN - kWindow + 1;
    const StepEntry steps[7] = {
        {trova_mc_standardize_runner, &standardize, trova_standardize_ax0_arena_size(kN, p), kN},
        {trova_mc_log_runner, &log_ctx, trova_log_arena_size(kN, p), kN},
        {trova_mc_log_diff_runner, &log_diff, trova_log_diff_arena_size(kN, p), kN - 1},
        {trova_mc_diff_runner, &diff, trova_diff_arena_size(kN, p, kOrder), kN - kOrder},
        {trova_mc_rolling_mean_runner, &rolling_mean, trova_rolling_mean_arena_size(kN, p, kWindow), rolled},
        {trova_mc_rolling_var_runner, &rolling_var, trova_rolling_var_arena_size(kN, p, kWindow), rolled},
        {trova_mc_rolling_std_runner, &rolling_var, trova_rolling_std_arena_size(kN, p, kWindow), rolled},
    };
    std::vector<i64> columns(static_cast<std::size_t>(p));
    for (i64 c = 0; c < p; ++c) columns[static_cast<std::size_t>(c)] = c;
    Pipeline pipe(kRep, 2);
    for (const auto& s : steps) {
        const i64 step = pipe.add_step(s.fn, s.ctx, Lanes{s.size.n_float, s.rows * p, 0, 1});
        trova_mc_float_input_binding b = Pipeline::copy(-2, 0, p, 0, kN, columns, 0, p);
        b.static_source = data.data();
        b.static_rep_stride = kN * p;
        b.static_batched = 1;
        pipe.bind(step, b);
    }
    ASSERT_EQ(pipe.run(), 0);
    for (i64 r = 0; r < kRep; ++r) {
        ASSERT_EQ(pipe.failure_step[static_cast<std::size_t>(r)], -1);
        for (i64 c = 0; c < p; ++c) {
            const std::vector<std::vector<ld>> want = expected(column(data, r, p, c));
            for (i64 s = 0; s < 7; ++s) {
                ASSERT_EQ(static_cast<i64>(want[s].size()), steps[s].rows);
                EXPECT_EQ(pipe.int_retained(s, r)[0], 0);
                for (i64 t = 0; t < steps[s].rows; ++t)
                    EXPECT_NEAR(pipe.retained(s, r)[t * p + c], static_cast<f64>(want[s][t]), 1e-13)
                        << "step " << s << " row " << t << " column " << c;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Columns, TransformSteps, ::testing::Values(1, 3, 4, 5, 9));

// Rolling statistics of data with NaN, infinities of both signs, spikes of
// 1e12 and a level shift, in buffers exactly as long as the sizers and the
// output rows say: each window against its own values evaluated directly
// (NaN while it holds a NaN or an infinity; the mean of infinities of one
// sign is that infinity), to rounding relative to the window's own scale.
TEST(RollingStatistics, EachWindowGivesWhatItsOwnValuesGive) {
    constexpr i64 n = 160, p = 6;
    const f64 inf = std::numeric_limits<f64>::infinity();
    std::vector<f64> x(static_cast<std::size_t>(n * p));
    for (i64 t = 0; t < n; ++t)
        for (i64 c = 0; c < p; ++c) x[t * p + c] = std::sin(0.37 * static_cast<f64>(t * (c + 2)) + c);
    x[20 * p + 0] = std::nan("");
    x[40 * p + 1] = inf;
    x[44 * p + 1] = -inf;
    x[70 * p + 1] = inf;
    x[30 * p + 2] = 1e12;
    x[90 * p + 2] = -1e12;
    for (i64 t = 0; t < 80; ++t) x[t * p + 3] += 1e9;  // a level that drops to zero
    for (i64 t = 100; t < 103; ++t) x[t * p + 4] = std::nan("");
    for (const i64 window : {1, 2, 9, 40}) {
        const i64 rows = n - window + 1;
        std::vector<f64> means(static_cast<std::size_t>(rows * p)), var(means.size()), sd(means.size());
        std::vector<f64> s_mean(static_cast<std::size_t>(trova_rolling_mean_arena_size(n, p, window).n_float - n * p));
        std::vector<f64> s_var(static_cast<std::size_t>(trova_rolling_var_arena_size(n, p, window).n_float - n * p));
        const i64 ddof = window > 1 ? 1 : 0;
        ASSERT_EQ(trova_rolling_mean(x.data(), n, p, window, s_mean.data(), means.data()), 0);
        ASSERT_EQ(trova_rolling_var(x.data(), n, p, window, ddof, s_var.data(), var.data()), 0);
        ASSERT_EQ(trova_rolling_std(x.data(), n, p, window, ddof, s_var.data(), sd.data()), 0);
        for (i64 d = 0; d < rows; ++d) {
            for (i64 c = 0; c < p; ++c) {
                bool nan = false, pinf = false, ninf = false;
                ld first = 0, abs_sum = 0;
                for (i64 t = d; t < d + window; ++t) {
                    const f64 v = x[t * p + c];
                    nan |= std::isnan(v);
                    pinf |= v == inf;
                    ninf |= v == -inf;
                    if (t == d) first = v;
                    abs_sum += std::fabs(static_cast<ld>(v));
                }
                const f64 got_mean = means[d * p + c], got_var = var[d * p + c], got_sd = sd[d * p + c];
                const std::string where = "window " + std::to_string(window) + " row " + std::to_string(d) +
                                          " column " + std::to_string(c);
                if (nan || pinf || ninf) {
                    EXPECT_TRUE(std::isnan(got_var) && std::isnan(got_sd)) << where;
                    if (nan || (pinf && ninf))
                        EXPECT_TRUE(std::isnan(got_mean)) << where;
                    else
                        EXPECT_EQ(got_mean, pinf ? inf : -inf) << where;
                    continue;
                }
                // About the window's first value, where these doubles stay exact.
                std::vector<ld> dev;
                for (i64 t = d; t < d + window; ++t) dev.push_back(static_cast<ld>(x[t * p + c]) - first);
                const ld m = mean(dev.data(), window);
                const ld want_var = sum_sq_dev(dev.data(), window) / static_cast<ld>(window - ddof);
                EXPECT_NEAR(got_mean, static_cast<f64>(first + m), 1e-13 * static_cast<f64>(abs_sum / window)) << where;
                EXPECT_NEAR(got_var, static_cast<f64>(want_var), 2.5e-13 * static_cast<f64>(want_var)) << where;
                EXPECT_EQ(got_sd, std::sqrt(got_var)) << where;
            }
        }
    }
}

}  // namespace
