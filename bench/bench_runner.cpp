// Runner benchmarks: throughput of a compute-bound pipeline on one and two
// workers, and the runner's own cost per step call.
#include <benchmark/benchmark.h>

#include <vector>

#include "pipeline_builder.h"
#include "test_steps.h"
#include "trova_mc.h"

namespace {

using trova_test::Lanes;
using trova_test::Pipeline;

// Payload -> compute-bound step bound to the payload's output. The reported
// rate is replications per second; compare the 1- and 2-worker rows.
void BM_ComputeBoundPipeline(benchmark::State& state) {
    const i64 workers = state.range(0);
    const i64 n_rep = 512, n = 32;
    std::vector<f64> data(static_cast<std::size_t>(n_rep * n));
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = 1e-3 * static_cast<f64>(k % 1000);
    std::vector<i64> cols(n);
    for (i64 k = 0; k < n; ++k) cols[static_cast<std::size_t>(k)] = k;
    trova_mc_payload_step_ctx pay{data.data(), n, 1};
    trova_test::ChurnCtx churn{n, 200};
    Pipeline p(n_rep, workers);
    p.add_step(trova_mc_payload_runner, &pay, Lanes{0, n, 0, 1});
    p.add_step(trova_test::churn_step, &churn, Lanes{n, n, 0, 0});
    p.bind(1, Pipeline::copy(0, 0, n, 0, 1, cols, 0, n));
    trova_mc_runner_ctx& ctx = p.context();
    for (auto _ : state) benchmark::DoNotOptimize(trova_mc_run(&ctx));
    state.SetItemsProcessed(state.iterations() * n_rep);
}
BENCHMARK(BM_ComputeBoundPipeline)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

int noop_step(i64, f64*, f64*, i64*, i64*, const void*) { return 0; }

// Writes one value to its output lane, which the runner then retains.
int one_value_step(i64 rep, f64*, f64* out, i64*, i64* int_out, const void*) {
    out[0] = static_cast<f64>(rep);
    int_out[0] = 0;
    return 0;
}

// The runner's cost per step call: many steps that do nothing, on one
// worker, without bindings. The "per_step" counter is the wall time per
// step call (shown in seconds), including the indirect call itself. With retention each step
// also copies a one-element float row and a one-element integer row.
void BM_RunnerOverheadPerStep(benchmark::State& state) {
    const bool retain = state.range(0) != 0;
    const i64 n_rep = 4096, n_steps = 16;
    Pipeline p(n_rep, 1);
    for (i64 s = 0; s < n_steps; ++s) {
        if (retain)
            p.add_step(one_value_step, nullptr, Lanes{0, 1, 0, 1});
        else
            p.add_step(noop_step, nullptr, Lanes{});
    }
    trova_mc_runner_ctx& ctx = p.context();
    for (auto _ : state) benchmark::DoNotOptimize(trova_mc_run(&ctx));
    const double calls = static_cast<double>(n_rep * n_steps);
    state.counters["per_step"] = benchmark::Counter(
        calls, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RunnerOverheadPerStep)->Arg(0)->Arg(1)->UseRealTime();

// The runner's cost of input materialisation: one step fed by eight small
// bindings (contiguous and reordered copies of an earlier step's 8 x 8
// output, shared and batched static blocks), on one worker. The
// "per_binding" counter is the wall time per applied binding.
void BM_BindingMaterialisation(benchmark::State& state) {
    const i64 n_rep = 4096, side = 8, cells = side * side;
    std::vector<f64> data(static_cast<std::size_t>(n_rep * cells));
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<f64>(k % 97);
    std::vector<i64> ascending(side), reversed(side);
    for (i64 k = 0; k < side; ++k) {
        ascending[static_cast<std::size_t>(k)] = k;
        reversed[static_cast<std::size_t>(k)] = side - 1 - k;
    }
    trova_mc_payload_step_ctx pay{data.data(), cells, 1};
    const i64 lane = 8 * cells;
    Pipeline p(n_rep, 1);
    p.add_step(trova_mc_payload_runner, &pay, Lanes{0, cells, 0, 0});
    p.add_step(noop_step, nullptr, Lanes{lane, 0, 0, 0});
    i64 at = 0;
    for (int twice = 0; twice < 2; ++twice) {
        p.bind(1, Pipeline::copy(0, 0, side, 0, side, ascending, at, side));
        p.bind(1, Pipeline::copy(0, 0, side, 0, side, reversed, at + cells, side));
        trova_mc_float_input_binding shared = Pipeline::copy(-2, 0, side, 0, side, ascending, at + 2 * cells, side);
        shared.static_source = data.data();
        p.bind(1, shared);
        trova_mc_float_input_binding batched = shared;
        batched.target_offset = at + 3 * cells;
        batched.static_rep_stride = cells;
        batched.static_batched = 1;
        p.bind(1, batched);
        at += 4 * cells;
    }
    trova_mc_runner_ctx& ctx = p.context();
    for (auto _ : state) benchmark::DoNotOptimize(trova_mc_run(&ctx));
    const double applied = static_cast<double>(n_rep * 8);
    state.counters["per_binding"] = benchmark::Counter(
        applied, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BindingMaterialisation)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
