// Payload and raw-model-data steps, standalone and inside a pipeline.
#include <gtest/gtest.h>

#include <vector>

#include "pipeline_builder.h"
#include "trova_mc.h"

namespace {

using trova_test::Lanes;
using trova_test::Pipeline;

std::vector<f64> iota(std::size_t n, f64 start) {
    std::vector<f64> v(n);
    for (std::size_t k = 0; k < n; ++k) v[k] = start + static_cast<f64>(k);
    return v;
}

TEST(PayloadStep, CopiesTheSharedOrTheReplicationsBlock) {
    const std::vector<f64> in = iota(12, 1.0);
    std::vector<f64> out(4, -1.0);
    trova_add_payload_step(in.data(), 4, 0, 2, out.data());
    EXPECT_EQ(out, std::vector<f64>({1, 2, 3, 4}));
    trova_add_payload_step(in.data(), 4, 1, 2, out.data());
    EXPECT_EQ(out, std::vector<f64>({9, 10, 11, 12}));
    std::vector<f64> untouched(4, -1.0);
    trova_add_payload_step(in.data(), 0, 1, 2, untouched.data());
    trova_add_payload_step(in.data(), -3, 0, 0, untouched.data());
    EXPECT_EQ(untouched, std::vector<f64>(4, -1.0));
}

TEST(PayloadStep, RunnerWritesNothingForAnEmptyPayloadButReportsSuccess) {
    const f64 in[1] = {5.0};
    trova_mc_payload_step_ctx ctx{in, 0, 0};
    f64 out[2] = {-1.0, -1.0};
    i64 status[1] = {99};
    EXPECT_EQ(trova_mc_payload_runner(3, nullptr, out, nullptr, status, &ctx), 0);
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(out[0], -1.0);
    // Without an integer lane there is nowhere to write the status.
    ctx.n = 1;
    EXPECT_EQ(trova_mc_payload_runner(3, nullptr, out, nullptr, nullptr, &ctx), 0);
    EXPECT_EQ(out[0], 5.0);
}

TEST(RawModelDataStep, WritesStatesThenObservables) {
    const std::vector<f64> states = iota(6, 100.0), obs = iota(8, 200.0);
    // Batched states (3 per replication), shared observables (4).
    trova_mc_raw_model_data_step_ctx ctx{states.data(), 3, 1, obs.data(), 4, 0};
    std::vector<f64> out(8, -1.0);
    i64 status = 99;
    EXPECT_EQ(trova_mc_raw_model_data_runner(1, nullptr, out.data(), nullptr, &status, &ctx), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, std::vector<f64>({103, 104, 105, 200, 201, 202, 203, -1}));
    // Shared states, batched observables.
    ctx = {states.data(), 2, 0, obs.data(), 4, 1};
    EXPECT_EQ(trova_mc_raw_model_data_runner(1, nullptr, out.data(), nullptr, nullptr, &ctx), 0);
    EXPECT_EQ(out, std::vector<f64>({100, 101, 204, 205, 206, 207, 203, -1}));
}

TEST(RawModelDataStep, WithoutStatesTheObservablesStartTheLane) {
    const std::vector<f64> obs = iota(3, 7.0);
    std::vector<f64> out(4, -1.0);
    for (i64 n_states : {0, -2}) {
        // A negative state count means no states: nothing may be written
        // before the start of the lane.
        std::vector<f64> guarded(6, -1.0);
        trova_mc_raw_model_data_step_ctx ctx{nullptr, n_states, 0, obs.data(), 3, 0};
        EXPECT_EQ(trova_mc_raw_model_data_runner(0, nullptr, guarded.data() + 2, nullptr, nullptr, &ctx), 0);
        EXPECT_EQ(guarded, std::vector<f64>({-1, -1, 7, 8, 9, -1}));
    }
    trova_raw_model_data_step(nullptr, 0, 0, out.data(), obs.data(), 0, 0, 0, out.data());
    EXPECT_EQ(out, std::vector<f64>(4, -1.0));
}

TEST(SourceSteps, FeedLaterStepsInsideAPipeline) {
    const i64 n_rep = 5;
    const std::vector<f64> states = iota(static_cast<std::size_t>(n_rep * 2), 0.0);
    const std::vector<f64> obs = iota(3, 50.0);
    const std::vector<f64> params = iota(2, -10.0);
    trova_mc_raw_model_data_step_ctx raw{states.data(), 2, 1, obs.data(), 3, 0};
    trova_mc_payload_step_ctx pay{params.data(), 2, 0};
    Pipeline p(n_rep, 2);
    p.add_step(trova_mc_raw_model_data_runner, &raw, Lanes{0, 5, 0, 1});
    p.add_step(trova_mc_payload_runner, &pay, Lanes{0, 2, 0, 1});
    ASSERT_EQ(p.run(), 0);
    for (i64 r = 0; r < n_rep; ++r) {
        const f64* row = p.retained(0, r);
        EXPECT_EQ(row[0], static_cast<f64>(2 * r));
        EXPECT_EQ(row[1], static_cast<f64>(2 * r + 1));
        EXPECT_EQ(row[2], 50.0);
        EXPECT_EQ(row[4], 52.0);
        EXPECT_EQ(p.retained(1, r)[1], -9.0);
        EXPECT_EQ(p.int_retained(0, r)[0], 0);
        EXPECT_EQ(p.int_retained(1, r)[0], 0);
    }
}

}  // namespace
