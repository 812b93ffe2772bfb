// Transform steps in a pipeline whose lanes are exactly as long as the sizers
// say, so that the sanitizer build catches any access past them, checked
// against windows and differences evaluated directly in long double.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pipeline_builder.h"
#include "trova_transforms.h"

namespace {

using trova_test::Lanes;
using trova_test::Pipeline;
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
    const struct {
        trova_mc_step_fn fn;
        const void* ctx;
        arena_size size;
        i64 rows;
    } steps[7] = {
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

}  // namespace
