// Small models shared by the filter and pipeline tests: a linear state-space
// model seen through y = C x + d, with its measurement and Jacobian
// callbacks and the pipeline that simulates it and runs the linear and
// extended filters on it; and a pruned second-order solution whose levels
// are observed through a nonlinear measurement.
#ifndef TROVA_TESTS_FILTER_MODELS_H
#define TROVA_TESTS_FILTER_MODELS_H

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "_common/layout.h"
#include "pipeline_builder.h"
#include "trova.h"

namespace trova_test::models {

// Linear model: 3 states, 2 observables, 2 shocks.
constexpr i64 kLinN = 3, kLinM = 2, kLinK = 2;
inline const std::vector<f64> kA = {0.6, 0.1, 0.0, 0.0, 0.5, 0.2, 0.1, 0.0, 0.4};
inline const std::vector<f64> kB = {1.0, 0.0, 0.3, 1.0, 0.0, 0.5};
inline const std::vector<f64> kC = {1.0, 0.0, 0.5, 0.0, 1.0, -0.5};
inline const std::vector<f64> kD = {0.1, -0.1};
inline const std::vector<f64> kQ = {1.0, 0.0, 0.0, 1.0};
inline const std::vector<f64> kR = {0.2, 0.0, 0.0, 0.2};
inline const std::vector<f64> kX0 = {0.0, 0.0, 0.0};
inline const std::vector<f64> kP0 = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};

// h(x) = C x + d and its Jacobian, for the extended filter.
inline void linear_meas(const f64* x, const f64*, f64* out) {
    for (i64 i = 0; i < kLinM; ++i)
        out[i] = kD[i] + kC[i * kLinN] * x[0] + kC[i * kLinN + 1] * x[1] + kC[i * kLinN + 2] * x[2];
}
inline void linear_jac(const f64*, const f64*, f64* out) {
    for (i64 e = 0; e < kLinM * kLinN; ++e) out[e] = kC[static_cast<std::size_t>(e)];
}
// Observables of the simulation: y = C x + d.
inline void sim_meas(f64* x, f64* params, f64* out) { linear_meas(x, params, out); }

// Shock draws -> first-order simulation of the linear model (T x n states,
// then T x m observables) -> linear filter -> extended filter with the
// linear measurement, every lane sized by the sizers and laid out by the
// library's layout code. R is kR, or with r_by_rep one m x m block per
// replication.
struct LinearPipeline {
    static constexpr i64 n = kLinN, m = kLinM, k = kLinK;
    i64 T;
    const std::vector<f64>* r_by_rep;
    std::vector<i64> cols = {0, 1};
    trova_mc_shock_entry entry{};
    trova_mc_shock_plan plan{};
    trova_mc_simulate_order1_step_ctx sim{};
    trova_mc_filter_linear_step_ctx kf{};
    trova_mc_filter_extended_step_ctx ekf{};

    explicit LinearPipeline(i64 periods, const std::vector<f64>* r = nullptr) : T(periods), r_by_rep(r) {
        entry.width = 2;
        entry.columns = cols.data();
        entry.factor = kQ.data();
        entry.key = 5;
        plan = {&entry, 1, T, k, 1.0, 2};
        sim = {sim_meas, T, n, k, 0, m, &plan, trova_simulate_order1_arena_size(n, k, T, 0)};
        kf = {T, n, m, k, 1, 0.0, 1};
        ekf = {linear_meas, linear_jac, T, n, m, k, 0, 1, 0.0, 1};
    }

    void add_to(Pipeline& p) const {
        using trova::layout::Carver;
        const auto stat = [](const std::vector<f64>& src, i64 offset) { return Pipeline::whole(src, offset); };
        const auto r_block = [&](i64 offset) {
            trova_mc_float_input_binding b = Pipeline::whole(r_by_rep != nullptr ? *r_by_rep : kR, offset);
            b.n_columns = b.source_row_stride = b.target_row_stride = m * m;
            b.static_rep_stride = m * m;
            b.static_batched = r_by_rep != nullptr;
            return b;
        };
        const i64 first = p.add_step(trova_mc_simulate_order1_runner, &sim,
                                     Lanes{sim.shock_scratch_offset + trova_mc_shock_scratch_size(&plan), T * (n + m), 0, 1});
        // The simulation's T x m observables, after its T x n states.
        const auto observables = [&](i64 offset) { return Pipeline::copy(first, T * n, m, 0, T, cols, offset, m); };
        // Simulation arena: A | B | x0 | shocks | params.
        Carver sim_lane;
        p.bind(first, stat(kA, sim_lane.at(n, n)));
        p.bind(first, stat(kB, sim_lane.at(n, k)));
        p.bind(first, stat(kX0, sim_lane.at(n)));
        EXPECT_EQ(sim_lane.offset(), trova_simulate_order1_shock_offset(n, k));
        // The blocks both filters' inputs end with: R | y | x0 | P0.
        const auto bind_r_to_p0 = [&](i64 step, Carver& lane) {
            p.bind(step, r_block(lane.at(m, m)));
            p.bind(step, observables(lane.at(T, m)));
            p.bind(step, stat(kX0, lane.at(n)));
            p.bind(step, stat(kP0, lane.at(n, n)));
        };
        const i64 kin = trova_filter_linear_input_arena_size(n, m, k, T);
        const i64 lin_step = p.add_step(trova_mc_filter_linear_runner, &kf,
                                        Lanes{kin + kf_arena_size(n, m, k).n_float,
                                              trova_filter_linear_output_arena_size(n, m, k, T, 1), 0, 1});
        // Linear filter input: A | B | C | d | Q | R | y | x0 | P0.
        Carver lin;
        for (const auto* block : {&kA, &kB, &kC, &kD, &kQ})
            p.bind(lin_step, stat(*block, lin.at(static_cast<i64>(block->size()))));
        bind_r_to_p0(lin_step, lin);
        EXPECT_EQ(lin.offset(), kin);
        const i64 ein = trova_filter_extended_input_arena_size(n, m, k, T, 0);
        const i64 ext_step = p.add_step(trova_mc_filter_extended_runner, &ekf,
                                        Lanes{ein + ekf_arena_size(n, m, k).n_float,
                                              trova_filter_extended_output_arena_size(n, m, k, T, 1), 0, 1});
        // Extended filter input: A | B | Q | R | y | x0 | P0 | params (none).
        Carver ext;
        for (const auto* block : {&kA, &kB, &kQ})
            p.bind(ext_step, stat(*block, ext.at(static_cast<i64>(block->size()))));
        bind_r_to_p0(ext_step, ext);
        EXPECT_EQ(ext.offset(), ein);
    }
};

// Pruned second-order model: 2 states, 2 controls, 2 shocks, 2 observables;
// the solution blocks in the order the simulation and the unscented filter
// take them, the filter's moments and the shocks' factor.
struct Pruned {
    static constexpr i64 ns = 2, nc = 2, ne = 2, no = 2;
    std::vector<f64> hx = {0.7, 0.1, 0.0, 0.5}, gx = {0.5, 0.2, -0.3, 0.4}, bx = {1.0, 0.0, 0.2, 0.8};
    std::vector<f64> hxx = {0.1, 0.0, 0.0, -0.1, 0.05, 0.02, 0.02, 0.0};
    std::vector<f64> gxx = {0.2, 0.1, 0.1, 0.0, -0.1, 0.0, 0.0, 0.1};
    std::vector<f64> hss = {0.01, -0.02}, gss = {0.03, 0.0}, ss = {1.0, 0.5, 2.0, -1.0};
    std::vector<f64> x0 = {0.0, 0.0}, Q = {0.25, 0.0, 0.0, 0.25}, R = {0.01, 0.0, 0.0, 0.01};
    std::vector<f64> z0 = std::vector<f64>(4, 0.0), P0 = {0.1, 0, 0, 0, 0, 0.1, 0, 0, 0, 0, 0.1, 0, 0, 0, 0, 0.1};
    std::vector<i64> cols = {0, 1};
    std::vector<f64> chol = {0.5, 0.0, 0.0, 0.5};
};

// Observes the first state and the first control of the levels.
inline void ukf_meas(const f64* vars, const f64*, f64* out) {
    out[0] = vars[0];
    out[1] = std::tanh(vars[2]);
}
inline void sim2_meas(f64* vars, f64* params, f64* out) { ukf_meas(vars, params, out); }

}  // namespace trova_test::models

#endif  // TROVA_TESTS_FILTER_MODELS_H
