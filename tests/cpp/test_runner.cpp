// Replication runner: validation, bindings, retention, failures, fail-fast,
// profiling and independence of results from the worker count.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pipeline_builder.h"
#include "test_steps.h"
#include "_common/layout.h"
#include "trova_kalman.h"
#include "trova_mc.h"
#include "trova_regression.h"
#include "trova_sim.h"

namespace {

using trova_test::EchoCtx;
using trova_test::echo_step;
using trova_test::kIntSentinel;
using trova_test::Lanes;
using trova_test::Pipeline;
using trova_test::same_bits;

std::vector<f64> random_values(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<f64> dist;
    std::vector<f64> v(n);
    for (f64& x : v) x = dist(gen);
    return v;
}

// ---------------------------------------------------------------------------
// Validation: an invalid context returns -1 and writes nothing.

class RunnerValidation : public ::testing::Test {
protected:
    RunnerValidation() : p(4, 2) {
        p.add_step(echo_step, &echo, Lanes{2, 3, 1, 2});
        p.add_step(echo_step, &echo, Lanes{2, 3, 0, 2});
    }
    // Runs the context after `mutate` and checks that nothing was touched.
    template <class F>
    void expect_rejected(F mutate, int profile = 1) {
        trova_mc_runner_ctx& ctx = p.context(0, profile);
        std::vector<trova_mc_step_desc> steps(ctx.steps, ctx.steps + ctx.n_steps);
        ctx.steps = steps.data();
        ctx.halt = 42;
        mutate(ctx, steps);
        EXPECT_EQ(trova_mc_run(&ctx), -1);
        EXPECT_EQ(ctx.halt, 42);
        for (i64 v : p.failure_step) EXPECT_EQ(v, 12345);
        for (i64 v : p.failure_status) EXPECT_EQ(v, 12345);
        for (i64 v : p.counts) EXPECT_EQ(v, -1);
        for (f64 v : p.all_retained(0)) EXPECT_EQ(v, -3.0);
    }
    EchoCtx echo{2};
    Pipeline p;
};

TEST_F(RunnerValidation, AcceptsTheUnmodifiedContext) {
    trova_mc_runner_ctx& ctx = p.context(0, 1);
    EXPECT_EQ(trova_mc_run(&ctx), 0);
}

TEST_F(RunnerValidation, RejectsBadRunFields) {
    using Steps = std::vector<trova_mc_step_desc>;
    EXPECT_EQ(trova_mc_run(nullptr), -1);
    expect_rejected([](trova_mc_runner_ctx& c, Steps&) { c.n_workers = 0; });
    expect_rejected([](trova_mc_runner_ctx& c, Steps&) { c.n_workers = 2147483648LL; });
    expect_rejected([](trova_mc_runner_ctx& c, Steps&) { c.n_rep = 0; });
    expect_rejected([](trova_mc_runner_ctx& c, Steps&) { c.n_steps = 0; });
    expect_rejected([](trova_mc_runner_ctx& c, Steps&) { c.steps = nullptr; });
    expect_rejected([](trova_mc_runner_ctx& c, Steps&) { c.failure_step_by_rep = nullptr; });
    expect_rejected([](trova_mc_runner_ctx& c, Steps&) { c.failure_status_by_rep = nullptr; });
    expect_rejected([](trova_mc_runner_ctx& c, Steps&) { c.step_elapsed_s_by_worker = nullptr; });
    expect_rejected([](trova_mc_runner_ctx& c, Steps&) { c.step_counts_by_worker = nullptr; });
    expect_rejected([](trova_mc_runner_ctx& c, Steps&) { c.step_failures_by_worker = nullptr; });
}

TEST_F(RunnerValidation, RejectsBadStepDescriptors) {
    using Steps = std::vector<trova_mc_step_desc>;
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].fn = nullptr; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].retained_row_by_rep = nullptr; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].float_retained_stride = 2; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].int_retained_stride = 1; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) {
        s[1].float_retained_stride = s[1].float_live_out_worker_stride = -1;
    });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) {
        s[1].int_retained_stride = s[1].int_live_out_worker_stride = -1;
    });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].float_in_work_worker_stride = -1; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[0].int_in_work_worker_stride = -1; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].n_float_input_bindings = -1; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].n_float_input_bindings = 1; });
    // Each of the six buffers: a lane or row length without a base.
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].float_in_work = nullptr; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[0].int_in_work = nullptr; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].float_live_out = nullptr; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].int_live_out = nullptr; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].float_retained = nullptr; });
    expect_rejected([](trova_mc_runner_ctx&, Steps& s) { s[1].int_retained = nullptr; });
}

TEST_F(RunnerValidation, ProfilingArraysMayBeNullWithoutProfiling) {
    trova_mc_runner_ctx& ctx = p.context(0, 0);
    ctx.step_elapsed_s_by_worker = nullptr;
    ctx.step_counts_by_worker = nullptr;
    ctx.step_failures_by_worker = nullptr;
    EXPECT_EQ(trova_mc_run(&ctx), 0);
    for (i64 v : p.failure_step) EXPECT_EQ(v, -1);
}

// ---------------------------------------------------------------------------
// A three-step pipeline exercising every kind of binding. Step 0 publishes a
// batched 3 x 4 payload, step 1 echoes a lane assembled from step 0, a fill,
// a shared static block and a batched static block, step 2 combines the
// outputs of steps 0 and 1.

struct MixedPipeline {
    static constexpr i64 kPayload = 12;  // 3 x 4 per replication
    static constexpr i64 kLane1 = 20;
    static constexpr i64 kStaticBatchStride = 7;

    MixedPipeline(i64 n_rep, i64 n_workers)
        : payload(random_values(static_cast<std::size_t>(n_rep * kPayload), 1)),
          shared(random_values(5, 2)),
          batched(random_values(static_cast<std::size_t>(n_rep * kStaticBatchStride), 3)),
          p(n_rep, n_workers) {
        pay_ctx = {payload.data(), kPayload, 1};
        p.add_step(trova_mc_payload_runner, &pay_ctx, Lanes{0, kPayload, 0, 1});
        echo1.n = kLane1;
        p.add_step(echo_step, &echo1, Lanes{kLane1, kLane1 + 1, 0, 2});
        // Rows 1..2 of step 0's 3 x 4 matrix, columns reordered and repeated.
        p.bind(1, Pipeline::copy(0, 0, 4, 1, 2, cols_a, 0, 5));
        p.bind(1, Pipeline::fill(0.5, 2, 1, 4, 5));
        trova_mc_float_input_binding s = Pipeline::copy(-2, 0, 5, 0, 1, cols_b, 10, 5);
        s.static_source = shared.data();
        p.bind(1, s);
        trova_mc_float_input_binding sb = Pipeline::copy(-3, 1, 3, 0, 2, cols_c, 15, 3);
        sb.static_source = batched.data();
        sb.static_rep_stride = kStaticBatchStride;
        sb.static_batched = 1;
        p.bind(1, sb);
        echo2.n = 6;
        p.add_step(echo_step, &echo2, Lanes{6, 7, 0, 2});
        p.bind(2, Pipeline::copy(1, 0, 21, 0, 1, cols_d, 0, 3));  // step 1: lane [20], [2], [0]
        p.bind(2, Pipeline::copy(0, 8, 2, 0, 2, cols_e, 3, 1));   // step 0: offsets 9, 11
        p.bind(2, Pipeline::fill(-1.25, 1, 1, 5, 1));
    }

    // The lane step 1 must see for replication r, built independently.
    std::vector<f64> expected_lane1(i64 r) const {
        std::vector<f64> lane(kLane1, -7.0);
        const f64* m = payload.data() + r * kPayload;
        for (i64 l = 0; l < 2; ++l)
            for (std::size_t c = 0; c < cols_a.size(); ++c)
                lane[static_cast<std::size_t>(l * 5) + c] = m[(1 + l) * 4 + cols_a[c]];
        lane[4] = lane[9] = 0.5;
        for (std::size_t c = 0; c < 5; ++c) lane[10 + c] = shared[c];
        const f64* b = batched.data() + r * kStaticBatchStride + 1;
        for (i64 l = 0; l < 2; ++l)
            for (std::size_t c = 0; c < cols_c.size(); ++c)
                lane[static_cast<std::size_t>(15 + l * 3) + c] = b[l * 3 + cols_c[c]];
        return lane;
    }

    std::vector<f64> payload, shared, batched;
    std::vector<i64> cols_a{3, 0, 0, 2}, cols_b{0, 1, 2, 3, 4}, cols_c{2, 0}, cols_d{20, 2, 0},
        cols_e{1};
    trova_mc_payload_step_ctx pay_ctx{};
    EchoCtx echo1, echo2;
    Pipeline p;
};

TEST(RunnerPipeline, BindingsMaterialiseEveryKindOfSource) {
    const i64 n_rep = 9;
    MixedPipeline mp(n_rep, 3);
    ASSERT_EQ(mp.p.run(), 0);
    for (i64 r = 0; r < n_rep; ++r) {
        EXPECT_EQ(mp.p.failure_step[static_cast<std::size_t>(r)], -1);
        EXPECT_EQ(mp.p.failure_status[static_cast<std::size_t>(r)], 0);
        const f64* pay = mp.p.retained(0, r);
        for (i64 k = 0; k < MixedPipeline::kPayload; ++k)
            EXPECT_EQ(pay[k], mp.payload[static_cast<std::size_t>(r * MixedPipeline::kPayload + k)]);
        EXPECT_EQ(mp.p.int_retained(0, r)[0], 0);

        const std::vector<f64> lane = mp.expected_lane1(r);
        const f64* row1 = mp.p.retained(1, r);
        // Cell 17 is written by no binding and keeps the lane's initial fill.
        for (i64 k = 0; k < MixedPipeline::kLane1; ++k)
            EXPECT_EQ(row1[k], lane[static_cast<std::size_t>(k)]) << "rep " << r << " cell " << k;
        EXPECT_EQ(row1[MixedPipeline::kLane1], static_cast<f64>(r));
        EXPECT_EQ(mp.p.int_retained(1, r)[1], r);

        const f64* row2 = mp.p.retained(2, r);
        const f64* m = mp.payload.data() + r * MixedPipeline::kPayload;
        EXPECT_EQ(row2[0], static_cast<f64>(r));  // step 1's appended replication index
        EXPECT_EQ(row2[1], lane[2]);
        EXPECT_EQ(row2[2], lane[0]);
        EXPECT_EQ(row2[3], m[9]);
        EXPECT_EQ(row2[4], m[11]);
        EXPECT_EQ(row2[5], -1.25);
    }
}

TEST(RunnerPipeline, ResultsAreBitIdenticalForAnyWorkerCount) {
    const i64 n_rep = 37;
    MixedPipeline one(n_rep, 1), two(n_rep, 2), eight(n_rep, 8);
    ASSERT_EQ(one.p.run(), 0);
    ASSERT_EQ(two.p.run(), 0);
    ASSERT_EQ(eight.p.run(), 0);
    for (i64 s = 0; s < 3; ++s) {
        const auto& a = one.p.all_retained(s);
        const auto& b = two.p.all_retained(s);
        const auto& c = eight.p.all_retained(s);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t k = 0; k < a.size(); ++k) {
            EXPECT_TRUE(same_bits(a[k], b[k])) << "step " << s << " cell " << k;
            EXPECT_TRUE(same_bits(a[k], c[k])) << "step " << s << " cell " << k;
        }
        EXPECT_EQ(one.p.all_int_retained(s), two.p.all_int_retained(s));
        EXPECT_EQ(one.p.all_int_retained(s), eight.p.all_int_retained(s));
    }
}

TEST(RunnerPipeline, ComputeStepsGiveTheSameBitsOnAnyTeam) {
    const i64 n_rep = 50, n = 16;
    const std::vector<f64> data = random_values(static_cast<std::size_t>(n_rep * n), 7);
    trova_mc_payload_step_ctx pay{data.data(), n, 1};
    trova_test::ChurnCtx churn{n, 40};
    std::vector<i64> cols(n);
    for (i64 k = 0; k < n; ++k) cols[static_cast<std::size_t>(k)] = n - 1 - k;
    std::vector<std::vector<f64>> results;
    for (i64 workers : {1, 2, 8}) {
        Pipeline p(n_rep, workers);
        p.add_step(trova_mc_payload_runner, &pay, Lanes{0, n, 0, 0});
        p.add_step(trova_test::churn_step, &churn, Lanes{n, n, 0, 0});
        p.bind(1, Pipeline::copy(0, 0, n, 0, 1, cols, 0, n));
        ASSERT_EQ(p.run(), 0);
        results.push_back(p.all_retained(1));
    }
    for (std::size_t k = 0; k < results[0].size(); ++k) {
        EXPECT_TRUE(same_bits(results[0][k], results[1][k]));
        EXPECT_TRUE(same_bits(results[0][k], results[2][k]));
    }
}

TEST(RunnerPipeline, FewerReplicationsThanWorkersLeavesSpareLanesUntouched) {
    const i64 n_rep = 3;
    MixedPipeline ref(n_rep, 1), wide(n_rep, 8);
    ASSERT_EQ(ref.p.run(), 0);
    ASSERT_EQ(wide.p.run(1, 1), 0);
    for (i64 s = 0; s < 3; ++s) EXPECT_EQ(ref.p.all_retained(s), wide.p.all_retained(s));
    // Workers 3..7 ran nothing: their lanes hold the initial fill.
    for (i64 s = 0; s < 3; ++s) {
        const auto& live = wide.p.live_out(s);
        const std::size_t lane = live.size() / 8;
        for (std::size_t k = 3 * lane; k < live.size(); ++k) EXPECT_EQ(live[k], -7.0);
    }
    for (i64 w = 3; w < 8; ++w)
        for (i64 s = 0; s < 3; ++s) EXPECT_EQ(wide.p.counts[static_cast<std::size_t>(w * 3 + s)], 0);
}

TEST(RunnerPipeline, RunningAgainResetsTheOutputs) {
    std::vector<int> status = {0, 4, 0, 0};
    EchoCtx echo{1, status.data()};
    Pipeline p(4, 2);
    p.add_step(echo_step, &echo, Lanes{1, 2, 0, 2});
    p.bind(0, Pipeline::fill(2.0, 1, 1, 0, 1));
    EXPECT_EQ(p.run(), 0);
    EXPECT_EQ(p.failure_step[1], 0);
    status[1] = 0;
    trova_mc_runner_ctx& ctx = p.context();
    ctx.halt = 1;
    EXPECT_EQ(trova_mc_run(&ctx), 0);
    EXPECT_EQ(ctx.halt, 0);
    EXPECT_EQ(ctx.halt_failure.rep_idx, -1);
    EXPECT_EQ(ctx.halt_failure.step_idx, -1);
    for (i64 v : p.failure_step) EXPECT_EQ(v, -1);
    EXPECT_EQ(p.retained(0, 1)[0], 2.0);
}

// ---------------------------------------------------------------------------
// Binding checks: a rejected binding fails the replication at its step with
// status -1 and the step is not called.

class BindingChecks : public ::testing::Test {
protected:
    static constexpr i64 kSrc = 12;  // step 0 live-output length (a 3 x 4 matrix)

    BindingChecks() : data(random_values(kSrc, 5)) {
        pay = {data.data(), kSrc, 0};
        echo.n = 8;
        echo.calls = &calls;
    }
    // Runs with the single binding `b` on step 1; returns the status of rep 0.
    i64 status_with(const trova_mc_float_input_binding& b) {
        Pipeline q(2, 1);
        q.add_step(trova_mc_payload_runner, &pay, Lanes{0, kSrc, 0, 1});
        q.add_step(echo_step, &echo, Lanes{8, 9, 0, 2});
        q.bind(1, b);
        calls = 0;
        EXPECT_EQ(q.run(), 0);
        last_lane = q.in_work(1);
        if (q.failure_step[0] == -1) {
            EXPECT_EQ(calls.load(), 2);
            return 0;
        }
        EXPECT_EQ(q.failure_step[0], 1);
        EXPECT_EQ(calls.load(), 0);
        return q.failure_status[0];
    }
    std::vector<f64> data, last_lane;
    std::vector<i64> cols{0, 3}, col4{4};
    std::atomic<i64> calls{0};
    trova_mc_payload_step_ctx pay{};
    EchoCtx echo;
};

TEST_F(BindingChecks, ValidShapesAreAccepted) {
    EXPECT_EQ(status_with(Pipeline::copy(0, 0, 4, 1, 2, cols, 0, 2)), 0);
    EXPECT_EQ(last_lane[0], data[4]);
    EXPECT_EQ(last_lane[3], data[11]);
    // The last element of the source lane may be read, and the target may end
    // exactly at the end of the lane.
    EXPECT_EQ(status_with(Pipeline::copy(0, 0, 4, 2, 1, cols, 6, 2)), 0);
    EXPECT_EQ(last_lane[7], data[11]);
    // Fill bindings read no columns.
    EXPECT_EQ(status_with(Pipeline::fill(3.5, 2, 4, 0, 4)), 0);
    for (i64 k = 0; k < 8; ++k) EXPECT_EQ(last_lane[static_cast<std::size_t>(k)], 3.5);
}

TEST_F(BindingChecks, EmptyBindingsDoNothingEvenWithoutColumns) {
    trova_mc_float_input_binding b = Pipeline::copy(0, 0, 4, 0, 0, cols, 0, 2);
    b.columns = nullptr;
    EXPECT_EQ(status_with(b), 0);
    b.n_rows = 3;
    b.n_columns = 0;
    EXPECT_EQ(status_with(b), 0);
    for (f64 v : last_lane) EXPECT_EQ(v, -7.0);
    b.n_columns = 2;
    EXPECT_EQ(status_with(b), -1);
}

TEST_F(BindingChecks, MalformedBindingsFailTheReplication) {
    auto with = [&](auto mutate) {
        trova_mc_float_input_binding b = Pipeline::copy(0, 0, 4, 1, 2, cols, 0, 2);
        mutate(b);
        return status_with(b);
    };
    using B = trova_mc_float_input_binding;
    EXPECT_EQ(with([](B& b) { b.n_rows = -1; }), -1);
    EXPECT_EQ(with([](B& b) { b.n_columns = -1; }), -1);
    EXPECT_EQ(with([](B& b) { b.target_offset = -1; }), -1);
    EXPECT_EQ(with([](B& b) { b.target_row_stride = 1; }), -1);       // narrower than n_columns
    EXPECT_EQ(with([](B& b) { b.target_offset = 5; }), -1);           // 5 + 2 + 2 > 8
    EXPECT_EQ(with([](B& b) { b.source_offset = -1; }), -1);
    EXPECT_EQ(with([](B& b) { b.source_row_stride = 0; }), -1);
    EXPECT_EQ(with([](B& b) { b.row_start = -1; }), -1);
    EXPECT_EQ(with([](B& b) { b.columns = nullptr; }), -1);
    EXPECT_EQ(with([](B& b) { b.source_step_idx = 1; b.row_start = 0; b.n_rows = 1; }),
              -1);  // the step itself, though its lane is large enough
    EXPECT_EQ(with([](B& b) { b.source_step_idx = 5; }), -1);         // a later step
    EXPECT_EQ(with([&](B& b) { b.columns = col4.data(); b.n_columns = 1; }), -1);  // col == stride
    EXPECT_EQ(with([](B& b) { b.row_start = 2; }), -1);               // first element of row 3
    EXPECT_EQ(with([](B& b) { b.source_step_idx = -2; }), -1);        // static without array
    EXPECT_EQ(with([&](B& b) {
                  b.source_step_idx = -2;
                  b.static_source = data.data();
                  b.static_rep_stride = -1;
              }),
              -1);
    // Arithmetic that would overflow 64 bits is rejected, not wrapped.
    EXPECT_EQ(with([](B& b) { b.target_row_stride = INT64_MAX; }), -1);
    EXPECT_EQ(with([](B& b) { b.row_start = INT64_MAX; }), -1);
    EXPECT_EQ(with([](B& b) { b.source_row_stride = INT64_MAX / 2; b.row_start = 3; }), -1);
}

TEST_F(BindingChecks, ReadsPastTheEndOfTheSourceLaneAreRejected) {
    // Source rows of stride 5 over a 12-element lane: row 2 starts at 10,
    // inside the lane, but its column 3 would be element 13.
    std::vector<i64> c{0, 3};
    EXPECT_EQ(status_with(Pipeline::copy(0, 0, 5, 2, 1, c, 0, 2)), -1);
    std::vector<i64> c01{0, 1};
    EXPECT_EQ(status_with(Pipeline::copy(0, 0, 5, 2, 1, c01, 0, 2)), 0);
    EXPECT_EQ(last_lane[1], data[11]);
    // The same through the offset: the row fits only without it.
    EXPECT_EQ(status_with(Pipeline::copy(0, 1, 4, 2, 1, c, 0, 2)), -1);
}

TEST_F(BindingChecks, StaticSourcesAreTrustedButChecked) {
    std::vector<f64> stat = random_values(20, 9);
    std::vector<i64> c{1};
    trova_mc_float_input_binding b = Pipeline::copy(-2, 2, 3, 0, 4, c, 0, 1);
    b.static_source = stat.data();
    EXPECT_EQ(status_with(b), 0);
    for (i64 l = 0; l < 4; ++l) EXPECT_EQ(last_lane[static_cast<std::size_t>(l)], stat[static_cast<std::size_t>(3 + 3 * l)]);
}

// ---------------------------------------------------------------------------
// Failures, fail-fast and sanitisation.

TEST(RunnerFailures, FailingStepSanitisesEveryRetainedRowOfItsReplication) {
    const i64 n_rep = 6;
    std::vector<int> ok(n_rep, 0), fail(n_rep, 0);
    fail[2] = 5;
    fail[4] = -9;
    std::atomic<i64> later_calls{0};
    EchoCtx s0{1, ok.data()}, s1{1, fail.data()}, s2{1, nullptr, &later_calls};
    for (i64 workers : {1, 2, 4}) {
        later_calls = 0;
        Pipeline p(n_rep, workers);
        p.add_step(echo_step, &s0, Lanes{1, 2, 0, 2});
        p.add_step(echo_step, &s1, Lanes{1, 2, 0, 2});
        p.add_step(echo_step, &s2, Lanes{1, 2, 0, 2});
        for (i64 s = 0; s < 3; ++s) p.bind(s, Pipeline::fill(1.5, 1, 1, 0, 1));
        ASSERT_EQ(p.run(0, 1), 0);  // without fail-fast the run itself succeeds
        EXPECT_EQ(later_calls.load(), n_rep - 2);
        for (i64 r = 0; r < n_rep; ++r) {
            const std::size_t ri = static_cast<std::size_t>(r);
            const bool failed = fail[ri] != 0;
            EXPECT_EQ(p.failure_step[ri], failed ? 1 : -1);
            EXPECT_EQ(p.failure_status[ri], fail[ri]);  // sign-extended
            for (i64 s = 0; s < 3; ++s) {
                const f64* row = p.retained(s, r);
                const i64* irow = p.int_retained(s, r);
                for (i64 k = 0; k < 2; ++k) {
                    if (failed) {
                        std::uint64_t bits;
                        std::memcpy(&bits, &row[k], sizeof bits);
                        EXPECT_EQ(bits, 0x7FF8000000000000ULL);
                        EXPECT_EQ(irow[k], kIntSentinel);
                    } else {
                        EXPECT_EQ(row[0], 1.5);
                        EXPECT_EQ(irow[1], r);
                    }
                }
            }
        }
        // Profiling: per step, counts over workers add up to the replications
        // that reached the step; failures are counted where they happened.
        for (i64 s = 0; s < 3; ++s) {
            i64 count = 0, failures = 0;
            for (i64 w = 0; w < workers; ++w) {
                const std::size_t cell = static_cast<std::size_t>(w * 3 + s);
                count += p.counts[cell];
                failures += p.failures[cell];
                EXPECT_GE(p.elapsed[cell], 0.0);
                if (p.counts[cell] == 0) {
                    EXPECT_EQ(p.elapsed[cell], 0.0);
                }
            }
            EXPECT_EQ(count, s < 2 ? n_rep : n_rep - 2);
            EXPECT_EQ(failures, s == 1 ? 2 : 0);
        }
    }
}

TEST(RunnerFailures, MaterialisationFailureIsRecordedAsMinusOne) {
    std::atomic<i64> calls{0};
    EchoCtx echo{1, nullptr, &calls};
    Pipeline p(3, 1);
    p.add_step(echo_step, &echo, Lanes{1, 2, 0, 2});
    p.bind(0, Pipeline::fill(0.0, 1, 2, 0, 2));  // two columns into a one-element lane
    EXPECT_EQ(p.run(0, 1), 0);
    EXPECT_EQ(calls.load(), 0);
    for (i64 r = 0; r < 3; ++r) {
        EXPECT_EQ(p.failure_step[static_cast<std::size_t>(r)], 0);
        EXPECT_EQ(p.failure_status[static_cast<std::size_t>(r)], -1);
    }
    EXPECT_EQ(p.counts[0], 3);
    EXPECT_EQ(p.failures[0], 3);
}

TEST(RunnerFailures, UnretainedReplicationsWriteNothing) {
    std::vector<int> status = {0, 0, 3, 0};
    EchoCtx echo{1, status.data()};
    Pipeline p(4, 2);
    p.add_step(echo_step, &echo, Lanes{1, 2, 0, 2});
    p.bind(0, Pipeline::fill(8.0, 1, 1, 0, 1));
    // Replications 1 and 2 are not kept; 3 and 0 share nothing.
    p.rows(0) = {3, -1, -1, 0};
    ASSERT_EQ(p.run(), 0);
    EXPECT_EQ(p.retained(0, 3)[1], 0.0);  // replication 0's index at row 3
    EXPECT_EQ(p.retained(0, 0)[1], 3.0);
    for (i64 row : {1, 2}) {
        EXPECT_EQ(p.retained(0, row)[0], -3.0);  // untouched, even for the failure
        EXPECT_EQ(p.int_retained(0, row)[0], -3);
    }
    EXPECT_EQ(p.failure_step[2], 0);
    EXPECT_EQ(p.failure_status[2], 3);
}

TEST(RunnerFailures, FailFastStopsBeforeUnstartedReplications) {
    const i64 n_rep = 10;
    std::vector<int> status(n_rep, 0);
    status[3] = 7;
    EchoCtx s0{0}, s1{0, status.data()};
    Pipeline p(n_rep, 1);
    p.add_step(echo_step, &s0, Lanes{0, 1, 0, 2});
    p.add_step(echo_step, &s1, Lanes{0, 1, 0, 2});
    trova_mc_runner_ctx& ctx = p.context(1, 1);
    EXPECT_EQ(trova_mc_run(&ctx), 1);
    EXPECT_EQ(ctx.halt, 1);
    EXPECT_EQ(ctx.halt_failure.rep_idx, 3);
    EXPECT_EQ(ctx.halt_failure.step_idx, 1);
    EXPECT_EQ(ctx.halt_failure.status, 7);
    for (i64 r = 0; r < 3; ++r) EXPECT_EQ(p.failure_step[static_cast<std::size_t>(r)], -1);
    EXPECT_EQ(p.failure_step[3], 1);
    EXPECT_EQ(p.failure_status[3], 7);
    for (i64 r = 4; r < n_rep; ++r) {
        EXPECT_EQ(p.failure_step[static_cast<std::size_t>(r)], kIntSentinel);
        EXPECT_EQ(p.failure_status[static_cast<std::size_t>(r)], kIntSentinel);
        EXPECT_TRUE(std::isnan(p.retained(0, r)[0]));
        EXPECT_EQ(p.int_retained(0, r)[1], kIntSentinel);
    }
    EXPECT_EQ(p.counts[0], 4);
    EXPECT_EQ(p.counts[1], 4);
}

TEST(RunnerFailures, FailFastOnManyWorkersNamesARealFailure) {
    const i64 n_rep = 400;
    std::vector<int> status(n_rep, 0);
    for (i64 r = 17; r < n_rep; r += 53) status[static_cast<std::size_t>(r)] = -4;
    EchoCtx echo{0, status.data()};
    trova_test::ChurnCtx churn{8, 20};
    for (int round = 0; round < 5; ++round) {
        Pipeline p(n_rep, 4);
        p.add_step(trova_test::churn_step, &churn, Lanes{8, 8, 0, 0});
        p.add_step(echo_step, &echo, Lanes{0, 1, 0, 2});
        p.bind(0, Pipeline::fill(0.25, 1, 8, 0, 8));
        trova_mc_runner_ctx& ctx = p.context(1, 0);
        ASSERT_EQ(trova_mc_run(&ctx), 1);
        const i64 h = ctx.halt_failure.rep_idx;
        ASSERT_GE(h, 0);
        ASSERT_LT(h, n_rep);
        EXPECT_EQ(status[static_cast<std::size_t>(h)], -4);
        EXPECT_EQ(ctx.halt_failure.step_idx, 1);
        EXPECT_EQ(ctx.halt_failure.status, -4);
        EXPECT_EQ(p.failure_step[static_cast<std::size_t>(h)], 1);
        // Every replication either completed, failed where it should, or
        // never started; the unstarted ones carry the sentinel in both arrays.
        i64 unstarted = 0;
        for (i64 r = 0; r < n_rep; ++r) {
            const std::size_t ri = static_cast<std::size_t>(r);
            if (p.failure_step[ri] == kIntSentinel) {
                ++unstarted;
                EXPECT_EQ(p.failure_status[ri], kIntSentinel);
            } else if (status[ri] != 0) {
                EXPECT_EQ(p.failure_step[ri], 1);
                EXPECT_EQ(p.failure_status[ri], -4);
            } else {
                EXPECT_EQ(p.failure_step[ri], -1);
                EXPECT_EQ(p.failure_status[ri], 0);
            }
        }
        // Worker 0's block starts at 0 and fails at 17: it stops right after.
        EXPECT_GT(unstarted, 0);
        for (i64 r = 18; r < 100; ++r)
            EXPECT_EQ(p.failure_step[static_cast<std::size_t>(r)], kIntSentinel) << r;
    }
}

// ---------------------------------------------------------------------------
// The context check: every rule the run or materialisation applies is
// reported with its step, binding and numbers, and agrees with what the run
// then does with the same context.

struct CheckCase {
    const char* name;
    int status;                    // -1: the run rejects the context; -2: a binding fails
    std::vector<const char*> says;  // pieces the reason must contain
    std::function<void(trova_mc_runner_ctx&, std::vector<trova_mc_step_desc>&,
                       std::vector<trova_mc_float_input_binding>&)>
        mutate;
};

TEST(RunnerCheck, EveryRuleIsNamedWithItsStepBindingAndNumbers) {
    using Ctx = trova_mc_runner_ctx;
    using Steps = std::vector<trova_mc_step_desc>;
    using Binds = std::vector<trova_mc_float_input_binding>;
    const i64 n_rep = 3, src = 12, lane = 8;  // step 0 publishes 12 values, step 1 has an 8-value lane
    const std::vector<f64> data = random_values(src, 21);
    const std::vector<i64> cols{0, 3}, col4{4};
    trova_mc_payload_step_ctx pay{data.data(), src, 0};
    EchoCtx echo{lane};
    const std::vector<CheckCase> cases = {
        {"no workers", -1, {"n_workers is 0"}, [](Ctx& c, Steps&, Binds&) { c.n_workers = 0; }},
        {"no replications", -1, {"n_rep is -2"}, [](Ctx& c, Steps&, Binds&) { c.n_rep = -2; }},
        {"profiling without counts", -1, {"step_counts_by_worker is NULL"},
         [](Ctx& c, Steps&, Binds&) { c.step_counts_by_worker = nullptr; }},
        {"missing row map", -1, {"step 1: retained_row_by_rep is NULL"},
         [](Ctx&, Steps& s, Binds&) { s[1].retained_row_by_rep = nullptr; }},
        {"retained stride", -1, {"step 0: float_retained_stride 10", "float_live_out_worker_stride 12"},
         [](Ctx&, Steps& s, Binds&) { s[0].float_retained_stride = 10; }},
        {"lane without base", -1, {"step 1: float_in_work is NULL", " 8"},
         [](Ctx&, Steps& s, Binds&) { s[1].float_in_work = nullptr; }},
        {"bindings without array", -1, {"step 1: float_input_bindings is NULL", " 2"},
         [](Ctx&, Steps& s, Binds&) { s[1].float_input_bindings = nullptr; }},
        {"target past the lane", -2, {"step 1 binding 1: ", "element 9", "lane of 8"},
         [](Ctx&, Steps&, Binds& b) { b[1].target_offset = 5; }},
        {"target stride too short", -2, {"step 1 binding 1: ", "n_columns 2", "target_row_stride 1"},
         [](Ctx&, Steps&, Binds& b) { b[1].target_row_stride = 1; }},
        {"negative rows", -2, {"step 1 binding 1: ", "n_rows -1"}, [](Ctx&, Steps&, Binds& b) { b[1].n_rows = -1; }},
        {"target end past 64 bits", -2, {"step 1 binding 1: ", "64 bits"},
         [](Ctx&, Steps&, Binds& b) { b[1].target_row_stride = INT64_MAX; }},
        {"fill past the lane", -2, {"step 1 binding 0: ", "element 10"},
         [](Ctx&, Steps&, Binds& b) { b[0].n_rows = 3; }},
        {"source stride", -2, {"step 1 binding 1: ", "source_row_stride 0"},
         [](Ctx&, Steps&, Binds& b) { b[1].source_row_stride = 0; }},
        {"no columns", -2, {"step 1 binding 1: columns is NULL"},
         [](Ctx&, Steps&, Binds& b) { b[1].columns = nullptr; }},
        {"column outside the row", -2, {"step 1 binding 1: ", "columns[0] is 4", "of 4"},
         [&](Ctx&, Steps&, Binds& b) {
             b[1].columns = col4.data();
             b[1].n_columns = 1;
         }},
        {"static source", -2, {"step 1 binding 1: static source is NULL"},
         [](Ctx&, Steps&, Binds& b) { b[1].source_step_idx = -2; }},
        {"static replication stride", -2, {"step 1 binding 1: ", "static_rep_stride -1"},
         [&](Ctx&, Steps&, Binds& b) {
             b[1].source_step_idx = -3;
             b[1].static_source = data.data();
             b[1].static_rep_stride = -1;
         }},
        {"source is this step", -2, {"step 1 binding 1: ", "source_step_idx 1"},
         [](Ctx&, Steps&, Binds& b) { b[1].source_step_idx = 1; }},
        {"read past the source lane", -2, {"step 1 binding 1: ", "element 13", "step 0", "of 12"},
         [](Ctx&, Steps&, Binds& b) {
             b[1].source_row_stride = 5;
             b[1].row_start = 2;
             b[1].n_rows = 1;
         }},
    };
    for (const CheckCase& cs : cases) {
        SCOPED_TRACE(cs.name);
        Pipeline p(n_rep, 2);
        p.add_step(trova_mc_payload_runner, &pay, Lanes{0, src, 0, 1});
        p.add_step(echo_step, &echo, Lanes{lane, lane + 1, 0, 2});
        p.bind(1, Pipeline::fill(0.5, 2, 2, 4, 2));                // lane[4..7]
        p.bind(1, Pipeline::copy(0, 0, 4, 1, 2, cols, 0, 2));      // rows 1..2, columns 0 and 3
        Ctx& ctx = p.context(0, 1);
        Steps steps(ctx.steps, ctx.steps + ctx.n_steps);
        Binds binds(steps[1].float_input_bindings, steps[1].float_input_bindings + 2);
        steps[1].float_input_bindings = binds.data();
        ctx.steps = steps.data();

        char reason[256];
        ASSERT_EQ(trova_mc_check_runner(&ctx, reason, sizeof reason), 0);
        EXPECT_STREQ(reason, "");
        cs.mutate(ctx, steps, binds);
        ASSERT_EQ(trova_mc_check_runner(&ctx, reason, sizeof reason), cs.status);
        const std::string full = reason;
        for (const char* piece : cs.says) EXPECT_NE(full.find(piece), std::string::npos) << full;
        EXPECT_EQ(full.find('\n'), std::string::npos);
        // The check wrote nothing to the context's outputs.
        for (i64 v : p.failure_step) ASSERT_EQ(v, 12345);

        // Truncation keeps a prefix, NUL-terminated; no buffer writes nothing.
        char small[12];
        std::memset(small, 'x', sizeof small);
        EXPECT_EQ(trova_mc_check_runner(&ctx, small, 9), cs.status);
        EXPECT_EQ(std::string(small), full.substr(0, 8));
        EXPECT_EQ(small[9], 'x');
        std::memset(small, 'x', sizeof small);
        EXPECT_EQ(trova_mc_check_runner(&ctx, small, 1), cs.status);
        EXPECT_EQ(small[0], '\0');
        EXPECT_EQ(small[1], 'x');
        small[0] = 'x';
        EXPECT_EQ(trova_mc_check_runner(&ctx, small, 0), cs.status);
        EXPECT_EQ(small[0], 'x');
        EXPECT_EQ(trova_mc_check_runner(&ctx, nullptr, 64), cs.status);

        // The run agrees: it rejects the context, or fails every replication
        // at the binding's step with -1.
        if (cs.status == -1) {
            EXPECT_EQ(trova_mc_run(&ctx), -1);
            for (i64 v : p.failure_step) EXPECT_EQ(v, 12345);
        } else {
            EXPECT_EQ(trova_mc_run(&ctx), 0);
            for (i64 r = 0; r < n_rep; ++r) {
                EXPECT_EQ(p.failure_step[static_cast<std::size_t>(r)], 1);
                EXPECT_EQ(p.failure_status[static_cast<std::size_t>(r)], -1);
            }
        }
    }
    char reason[8];
    EXPECT_EQ(trova_mc_check_runner(nullptr, reason, sizeof reason), -1);
    EXPECT_STREQ(reason, "runner ");
}

}  // namespace

// ---------------------------------------------------------------------------
// Ranges: a study split into runs of any size, in any order, gives the
// results of one whole run.

namespace {

// Shock draws, a first-order simulation, a linear filter on the simulated
// states and an OLS of one state on the other, plus an echo of a batched
// static block that fails chosen replications. Sized for the `n_rep`
// replications that begin at global index `first`.
struct RangePipeline {
    static constexpr i64 T = 40, n = 2, k = 2, kBatch = 3;

    RangePipeline(i64 n_rep, i64 first, i64 workers, const std::vector<f64>& batched,
                  const std::vector<int>& status_by_rep)
        : p(n_rep, workers) {
        entry.width = 2;
        entry.columns = shock_cols.data();
        entry.factor = factor.data();
        entry.key = 11;
        plan = trova_mc_shock_plan{&entry, 1, T, k, 1.0, 2};
        const i64 sim_size = trova_simulate_order1_arena_size(n, k, T, 0);
        sim = trova_mc_simulate_order1_step_ctx{nullptr, T, n, k, 0, 0, &plan, sim_size};
        p.add_step(trova_mc_simulate_order1_runner, &sim,
                   Lanes{sim_size + trova_mc_shock_scratch_size(&plan), T * n, 0, 1});
        // A | B | x0, every entry 0.3, each block at its own place.
        trova::layout::Carver sim_lane;
        for (i64 size : {n * n, n * k, n}) p.bind(0, Pipeline::fill(0.3, 1, size, sim_lane.at(size), size));

        // Batched static data, one block per position of this run.
        echo.n = kBatch;
        echo.status_by_rep = status_by_rep.data();
        p.add_step(echo_step, &echo, Lanes{kBatch, kBatch + 1, 0, 2});
        trova_mc_float_input_binding b = Pipeline::copy(-2, 0, kBatch, 0, 1, batch_cols, 0, kBatch);
        b.static_source = batched.data() + first * kBatch;
        b.static_rep_stride = kBatch;
        b.static_batched = 1;
        p.bind(1, b);

        // The system, block by block at the filter's own offsets (a gap
        // build poisons the gaps between them); y comes from step 0.
        kf_input_offsets in{};
        const i64 in_size = trova_filter_linear_input_offsets(n, n, k, T, &in);
        kf = trova_mc_filter_linear_step_ctx{T, n, n, k, 1, 0.0, 1};
        p.add_step(trova_mc_filter_linear_runner, &kf,
                   Lanes{in_size + kf_arena_size(n, n, k).n_float,
                         trova_filter_linear_output_arena_size(n, n, k, T, 1), 0, 1});
        const std::pair<const std::vector<f64>*, i64> blocks[] = {
            {&A, in.A}, {&B, in.B}, {&eye, in.C}, {&zero, in.d}, {&eye, in.Q}, {&R, in.R}, {&zero, in.x0},
            {&P0, in.P0}};
        for (const auto& [values, at] : blocks) p.bind(2, Pipeline::whole(*values, at));
        p.bind(2, Pipeline::copy(0, 0, n, 0, T, state_cols, in.y, n));

        // OLS of state 0 on a constant and state 1.
        trova::layout::Carver lane;
        const i64 x_at = lane.at(T, 2), y_at = lane.at(T);
        ols = trova_mc_ols_step_ctx{T, 2, 1};
        const arena_size ols_size = trova_mc_ols_work_arena_size(T, 2);
        p.add_step(trova_mc_ols_runner, &ols,
                   Lanes{ols_size.n_float, trova_mc_regression_output_offsets(2, 1, nullptr), ols_size.n_int, 1});
        p.bind(3, Pipeline::fill(1.0, T, 1, x_at, 2));
        p.bind(3, Pipeline::copy(0, 0, n, 0, T, second_col, x_at + 1, 2));
        p.bind(3, Pipeline::copy(0, 0, n, 0, T, first_col, y_at, 1));
    }

    std::vector<i64> shock_cols{0, 1}, batch_cols{0, 1, 2}, state_cols{0, 1}, first_col{0}, second_col{1};
    std::vector<f64> factor{1.0, 0.0, 0.5, 1.0}, A{0.5, 0.1, 0.0, 0.4}, B{1.0, 0.0, 0.3, 1.0},
        eye{1.0, 0.0, 0.0, 1.0}, zero{0.0, 0.0}, R{0.1, 0.0, 0.0, 0.1}, P0{2.0, 0.0, 0.0, 2.0};
    trova_mc_shock_entry entry{};
    trova_mc_shock_plan plan{};
    trova_mc_simulate_order1_step_ctx sim{};
    EchoCtx echo;
    trova_mc_filter_linear_step_ctx kf{};
    trova_mc_ols_step_ctx ols{};
    Pipeline p;
};

// A binding may write and read anywhere inside a lane, the gaps a carved
// layout leaves there included. In a gap build under AddressSanitizer the
// input lane's gaps, poisoned by the step's carve on the first replication,
// must take the next replication's fill over the whole lane; and a later
// step may copy an earlier step's whole output lane, gaps and all, even when
// no replication keeps that output.
TEST(RunnerPipeline, BindingsReachTheGapsOfCarvedLanes) {
    const i64 n_rep = 3, n = 12, k = 2;
    const trova_mc_ols_step_ctx ols{n, k, 1};
    const arena_size work = trova_mc_ols_work_arena_size(n, k);
    const i64 out = trova_mc_regression_output_offsets(k, 1, nullptr);
    trova::layout::Carver lane;
    const i64 X_at = lane.at(n, k), y_at = lane.at(n);
    std::vector<f64> data(static_cast<std::size_t>(n * (k + 1)));
    for (i64 i = 0; i < n; ++i) {
        data[static_cast<std::size_t>(i * k)] = 1.0;
        data[static_cast<std::size_t>(i * k + 1)] = static_cast<f64>(i);
        data[static_cast<std::size_t>(n * k + i)] = 2.0 + 0.5 * static_cast<f64>(i) + 0.1 * ((i % 3) - 1.0);
    }
    std::vector<i64> all(static_cast<std::size_t>(out));
    for (i64 j = 0; j < out; ++j) all[static_cast<std::size_t>(j)] = j;
    EchoCtx echo{out};
    Pipeline p(n_rep, 1);
    p.add_step(trova_mc_ols_runner, &ols, Lanes{work.n_float, out, work.n_int, 1});
    p.bind(0, Pipeline::fill(0.0, 1, work.n_float, 0, work.n_float));  // the whole lane, gaps included
    p.bind(0, Pipeline::whole(data.data(), n * k, X_at));
    p.bind(0, Pipeline::whole(data.data() + n * k, n, y_at));
    p.add_step(echo_step, &echo, Lanes{out, out + 1, 0, 0});
    p.bind(1, Pipeline::copy(0, 0, out, 0, 1, all, 0, out));
    p.rows(0) = std::vector<i64>(n_rep, -1);
    ASSERT_EQ(p.run(), 0);
    trova_regression_output_offsets at;
    trova_mc_regression_output_offsets(k, 1, &at);
    for (i64 r = 0; r < n_rep; ++r) {
        EXPECT_EQ(p.failure_step[static_cast<std::size_t>(r)], -1);
        // The echo's row holds the fit: intercept near 2 and slope near 0.5.
        EXPECT_NEAR(p.retained(1, r)[at.coef], 2.0, 0.1);
        EXPECT_NEAR(p.retained(1, r)[at.coef + 1], 0.5, 0.02);
    }
}

}  // namespace

TEST(RunnerRange, RangesInAnyOrderGiveTheWholeRunBitForBit) {
    const i64 n_rep = 41;
    const std::vector<f64> batched = random_values(static_cast<std::size_t>(n_rep * RangePipeline::kBatch), 5);
    std::vector<int> status(static_cast<std::size_t>(n_rep), 0);
    status[3] = 4;
    status[29] = -6;
    RangePipeline whole(n_rep, 0, 2, batched, status);
    ASSERT_EQ(whole.p.run(), 0);
    EXPECT_EQ(whole.p.failure_step[3], 1);
    EXPECT_EQ(whole.p.failure_status[29], -6);
    EXPECT_EQ(whole.p.failure_step[4], -1);

    // Ranges run out of order, on different teams, each sized for itself.
    const struct { i64 first, count, workers; } ranges[] = {{30, 11, 3}, {0, 1, 1}, {12, 18, 2}, {1, 11, 8}};
    for (const auto& r : ranges) {
        RangePipeline shard(r.count, r.first, r.workers, batched, status);
        ASSERT_EQ(shard.p.run_range(r.first), 0);
        for (i64 i = 0; i < r.count; ++i) {
            const std::size_t g = static_cast<std::size_t>(r.first + i), l = static_cast<std::size_t>(i);
            EXPECT_EQ(shard.p.failure_step[l], whole.p.failure_step[g]) << "replication " << g;
            EXPECT_EQ(shard.p.failure_status[l], whole.p.failure_status[g]) << "replication " << g;
        }
        for (i64 s = 0; s < 4; ++s) {
            const std::vector<f64>& a = whole.p.all_retained(s);
            const std::vector<f64>& b = shard.p.all_retained(s);
            const std::size_t width = b.size() / static_cast<std::size_t>(r.count);
            const std::size_t from = static_cast<std::size_t>(r.first) * width;
            for (std::size_t c = 0; c < b.size(); ++c)
                ASSERT_TRUE(same_bits(a[from + c], b[c])) << "step " << s << " cell " << c << " from " << r.first;
            const std::vector<i64>& ai = whole.p.all_int_retained(s);
            const std::vector<i64>& bi = shard.p.all_int_retained(s);
            const std::size_t iw = bi.size() / static_cast<std::size_t>(r.count);
            EXPECT_TRUE(std::equal(bi.begin(), bi.end(), ai.begin() + static_cast<std::ptrdiff_t>(r.first * iw)));
        }
    }
    // The echo saw global indices and the filter ran on real draws.
    EXPECT_EQ(whole.p.int_retained(1, 17)[1], 17);
    EXPECT_TRUE(std::isfinite(whole.p.retained(2, 17)[trova_filter_linear_output_arena_size(2, 2, 2, 40, 1) - 1]));
}

TEST(RunnerRange, FailFastInsideARangeRecordsTheGlobalIndex) {
    const i64 n_rep = 20, first = 100;
    const std::vector<f64> batched = random_values(static_cast<std::size_t>((first + n_rep) * 3), 6);
    std::vector<int> status(static_cast<std::size_t>(first + n_rep), 0);
    status[107] = 9;
    RangePipeline shard(n_rep, first, 1, batched, status);
    ASSERT_EQ(shard.p.run_range(first, 1), 1);
    const trova_mc_runner_ctx& ctx = shard.p.last_context();
    EXPECT_EQ(ctx.halt_failure.rep_idx, 107);
    EXPECT_EQ(ctx.halt_failure.step_idx, 1);
    EXPECT_EQ(ctx.halt_failure.status, 9);
    EXPECT_EQ(shard.p.failure_step[6], -1);
    EXPECT_EQ(shard.p.failure_step[7], 1);
    for (std::size_t i = 8; i < static_cast<std::size_t>(n_rep); ++i) {
        EXPECT_EQ(shard.p.failure_step[i], kIntSentinel);
        EXPECT_TRUE(std::isnan(shard.p.retained(3, static_cast<i64>(i))[0]));
    }
}

TEST(RunnerRange, RangesOutsideTheIndexSpaceAreInvalid) {
    const i64 n_rep = 4;
    const std::vector<f64> data = random_values(4, 8);
    trova_mc_payload_step_ctx pay{data.data(), 4, 0};
    Pipeline p(n_rep, 2);
    p.add_step(trova_mc_payload_runner, &pay, Lanes{0, 4, 0, 1});
    const i64 max = std::numeric_limits<i64>::max();
    for (i64 first : {i64{-1}, std::numeric_limits<i64>::min(), max - n_rep + 2, max}) {
        EXPECT_EQ(p.run_range(first), -1) << first;
        EXPECT_EQ(p.failure_step[0], 12345) << "nothing is written for " << first;  // the builder's fill
    }
    // The last range that fits ends at INT64_MAX.
    EXPECT_EQ(p.run_range(max - n_rep + 1), 0);
    EXPECT_EQ(p.failure_step[static_cast<std::size_t>(n_rep - 1)], -1);
}
