// Regression data and the seven regression steps, shared by the tests that
// run them in pipelines.
#ifndef TROVA_TESTS_REGRESSION_DATA_H
#define TROVA_TESTS_REGRESSION_DATA_H

#include <array>
#include <vector>

#include "_common/layout.h"
#include "pipeline_builder.h"
#include "trova.h"

namespace trova_test {

// Per replication: X = [1, z1, z2, z3] (n x 4, row-major) with z2
// correlated with z1, then y (n) linear in them plus noise, from standard
// normals of the library's Philox stream. With collinear_every > 0, every
// replication r with r % collinear_every == collinear_every - 1 has z3 = z2:
// a rank-deficient design.
inline std::vector<f64> regression_data(i64 n_rep, i64 n, i64 collinear_every = 0) {
    constexpr i64 p = 4;
    std::vector<f64> d(static_cast<std::size_t>(n_rep * n * (p + 1)));
    trova_philox_state st;
    trova_philox_seed(&st, 99, 0, 0, 0);
    trova_philox_standard_normal_fill(&st, static_cast<i64>(d.size()), d.data());
    for (i64 r = 0; r < n_rep; ++r) {
        f64* X = d.data() + r * n * (p + 1);
        f64* y = X + n * p;
        const bool collinear = collinear_every > 0 && r % collinear_every == collinear_every - 1;
        for (i64 i = 0; i < n; ++i) {
            f64* row = X + i * p;
            row[0] = 1.0;
            row[2] = 0.7 * row[1] + 0.7 * row[2];
            if (collinear) row[3] = row[2];
            y[i] = 1.0 + 2.0 * row[1] - 0.5 * row[3] + 0.3 * y[i];
        }
    }
    return d;
}

// The seven regression steps on the data above (X then y of each
// replication, bound from the batched array), in the order OLS, ridge, ridge
// grid search, lasso, lasso grid search, elastic net, elastic-net grid
// search; each lane starts with X (n x 4) and y (n), laid out by the
// library's layout code. Ridge has no penalty and the elastic net an L1
// ratio of 1, so they reproduce OLS and the lasso.
struct RegressionSteps {
    static constexpr i64 p = 4;
    i64 n;
    const f64 grid[3] = {0.1, 0.01, 0.0};
    trova_mc_ols_step_ctx ols{n, p, 1};
    trova_mc_ridge_step_ctx ridge{n, p, 1, 0.0};
    trova_mc_ridge_gs_step_ctx ridge_gs{grid, n, p, 3, REGRESSION_CRIT_AIC, 1};
    trova_mc_lasso_step_ctx lasso{n, p, 1, 100000, 1e-13, 0.05};
    trova_mc_lasso_gs_step_ctx lasso_gs{grid, n, p, 3, 1, 50, 1e-12};
    trova_mc_elastic_net_step_ctx en{n, p, 1, 100000, 1e-13, 0.05, 1.0};
    trova_mc_elastic_net_gs_step_ctx en_gs{grid, n, p, 3, REGRESSION_CRIT_BIC, 1, 100000, 1e-12, 0.5};

    explicit RegressionSteps(i64 rows) : n(rows) {}

    void add_to(Pipeline& pipe, const std::vector<f64>& data) const {
        trova::layout::Carver lane;
        const i64 x_at = lane.at(n, p), y_at = lane.at(n);
        const i64 ols_out = trova_mc_regression_output_offsets(p, 1, nullptr);
        const i64 pen_out = trova_mc_regression_output_offsets(p, 0, nullptr);
        const auto add = [&](trova_mc_step_fn fn, const void* ctx, arena_size size, i64 n_out) {
            const i64 s = pipe.add_step(fn, ctx, Lanes{size.n_float, n_out, size.n_int, 1});
            for (const auto& [from, count, at] : {std::array<i64, 3>{0, n * p, x_at}, {n * p, n, y_at}}) {
                trova_mc_float_input_binding b = Pipeline::whole(data.data(), count, at);
                b.source_offset = from;
                b.static_batched = 1;
                b.static_rep_stride = n * (p + 1);
                pipe.bind(s, b);
            }
        };
        add(trova_mc_ols_runner, &ols, trova_mc_ols_work_arena_size(n, p), ols_out);
        add(trova_mc_ridge_runner, &ridge, trova_mc_ridge_work_arena_size(n, p), pen_out);
        add(trova_mc_ridge_gs_runner, &ridge_gs, trova_mc_ridge_gs_work_arena_size(n, p), pen_out);
        add(trova_mc_lasso_runner, &lasso, trova_mc_lasso_work_arena_size(n, p), pen_out);
        add(trova_mc_lasso_gs_runner, &lasso_gs, trova_mc_lasso_gs_work_arena_size(n, p, 1, 3, 50), pen_out);
        add(trova_mc_elastic_net_runner, &en, trova_mc_elastic_net_work_arena_size(n, p), pen_out);
        add(trova_mc_elastic_net_gs_runner, &en_gs, trova_mc_elastic_net_gs_work_arena_size(n, p, 1, 3), pen_out);
    }
};

}  // namespace trova_test

#endif  // TROVA_TESTS_REGRESSION_DATA_H
