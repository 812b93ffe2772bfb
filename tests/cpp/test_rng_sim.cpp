// Philox stream state handling, and simulation pipelines driven by shock
// plans through the runner (buffers sized exactly by the sizers, so the
// sanitizer build catches any write outside them).
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "_common/layout.h"
#include "pipeline_builder.h"
#include "trova.h"

namespace {

using trova_test::Lanes;
using trova_test::Pipeline;

constexpr u64 kOnes = ~0ULL;

// Published known answers of Philox4x64-10.
TEST(Philox, KnownAnswersAndCounterBeforeUse) {
    trova_philox_state st;
    // With the running counter at its top, the next block is that of counter
    // {0, 0, 0, 0}: words 2 and 3 take no carry.
    trova_philox_seed(&st, 0, 0, 0, 0);
    st.ctr[0] = st.ctr[1] = kOnes;
    const u64 zero_block[4] = {0x16554d9eca36314cULL, 0xdb20fe9d672d0fdcULL, 0xd7e772cee186176bULL,
                               0x7e68b68aec7ba23bULL};
    for (u64 w : zero_block) EXPECT_EQ(trova_philox_next_u64(&st), w);
    EXPECT_EQ(st.ctr[2], 0u);

    trova_philox_seed(&st, kOnes, kOnes, kOnes, kOnes);
    st.ctr[0] = kOnes - 1;
    st.ctr[1] = kOnes;
    const u64 ones_block[4] = {0x87b092c3013fe90bULL, 0x438c3c67be8d0224ULL, 0x9cc7d7c69cd777b6ULL,
                               0xa09caebf594f0ba0ULL};
    for (u64 w : ones_block) EXPECT_EQ(trova_philox_next_u64(&st), w);

    // After seeding, the first word comes from counter {1, 0, s0, s1} and
    // the fifth from {2, 0, s0, s1}.
    trova_philox_seed(&st, 3, 4, 5, 6);
    EXPECT_EQ(st.buffer_pos, 4);
    trova_philox_next_u64(&st);
    EXPECT_EQ(st.ctr[0], 1u);
    EXPECT_EQ(st.buffer_pos, 1);
    for (int k = 0; k < 3; ++k) trova_philox_next_u64(&st);
    EXPECT_EQ(st.ctr[0], 1u);
    trova_philox_next_u64(&st);
    EXPECT_EQ(st.ctr[0], 2u);
    EXPECT_EQ(st.ctr[2], 5u);
    EXPECT_EQ(st.ctr[3], 6u);
}

bool same_state(const trova_philox_state& a, const trova_philox_state& b) {
    for (int w = 0; w < 4; ++w)
        if (a.ctr[w] != b.ctr[w] || a.buffer[w] != b.buffer[w]) return false;
    return a.buffer_pos == b.buffer_pos && a.key[0] == b.key[0] && a.key[1] == b.key[1];
}

// The Philox fills batch their blocks; they must give the values and leave
// the state that drawing word by word through the bitgen_t binding gives.
TEST(Philox, FillsMatchWordByWordDrawing) {
    for (int start = 0; start <= 4; ++start) {
        for (i64 n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33, 1000}) {
            for (int uniform = 0; uniform < 2; ++uniform) {
                trova_philox_state a, b;
                trova_philox_seed(&a, 11, 12, 13, 14);
                for (int k = 0; k < start; ++k) trova_philox_next_u64(&a);
                b = a;
                bitgen_t bg;
                trova_philox_bind(&b, &bg);
                std::vector<f64> fa(static_cast<std::size_t>(n) + 1, -1.0), fb = fa;
                if (uniform) {
                    trova_philox_standard_uniform_fill(&a, n, fa.data());
                    trova_rng_standard_uniform_fill(&bg, n, fb.data());
                } else {
                    trova_philox_standard_normal_fill(&a, n, fa.data());
                    trova_rng_standard_normal_fill(&bg, n, fb.data());
                }
                EXPECT_EQ(fa, fb) << "start " << start << " n " << n;
                EXPECT_EQ(fa.back(), -1.0);
                EXPECT_TRUE(same_state(a, b)) << "start " << start << " n " << n;
                EXPECT_EQ(trova_philox_next_u64(&a), trova_philox_next_u64(&b));
            }
        }
    }
}

// What the measurement of the first-order step finds at each call: the row
// it is handed must be that period's, and no later state or observable row
// may be written yet (the output starts as NaN).
struct PeriodProbe {
    const f64* simout;
    i64 T, n, m, calls;
    bool ok;
};
PeriodProbe* g_probe = nullptr;  // one step call at a time

void probe_measurement(f64* state, f64* /*params*/, f64* obs) {
    PeriodProbe& p = *g_probe;
    const i64 t = p.calls++;
    p.ok = p.ok && state == p.simout + t * p.n;
    for (i64 j = (t + 1) * p.n; j < p.T * p.n; ++j) p.ok = p.ok && std::isnan(p.simout[j]);
    for (i64 j = p.T * p.n + t * p.m; j < p.T * (p.n + p.m); ++j) p.ok = p.ok && std::isnan(p.simout[j]);
    obs[0] = state[0];
}

// The arena holds one value c throughout, so the test needs no block offset
// but the sizer's, and every state row is one value repeated:
// x_t = c (n x_{t-1} + k c) from x_{-1} = c. The shapes run the shock terms
// through several runs of the step's stack block (n = 3, T = 700), or, for a
// state too long for it, straight into the rows (n = 1100).
TEST(SimulationStep, MeasurementOfAPeriodSeesNoLaterRow) {
    for (const auto& [n, T] : {std::pair<i64, i64>{3, 700}, {1100, 3}}) {
        const i64 k = 2, m = 1;
        const f64 c = 0.5 / static_cast<f64>(n);
        std::vector<f64> arena(static_cast<std::size_t>(trova_simulate_order1_arena_size(n, k, T, 1)), c);
        std::vector<f64> simout(static_cast<std::size_t>(T * (n + m)), std::nan(""));
        PeriodProbe probe{simout.data(), T, n, m, 0, true};
        g_probe = &probe;
        ASSERT_EQ(trova_simulate_order1_step(arena.data(), probe_measurement, T, n, k, 1, m, simout.data()), 0);
        g_probe = nullptr;
        EXPECT_TRUE(probe.ok) << "n " << n;
        EXPECT_EQ(probe.calls, T);
        f64 x = c;
        for (i64 t = 0; t < T; ++t) {
            x = c * (static_cast<f64>(n) * x + static_cast<f64>(k) * c);
            for (i64 i = 0; i < n; ++i)
                ASSERT_NEAR(simout[static_cast<std::size_t>(t * n + i)], x, 1e-13) << "n " << n << " t " << t;
            ASSERT_EQ(simout[static_cast<std::size_t>(T * n + t)], simout[static_cast<std::size_t>(t * n)]);
        }
    }
}

// y = 2 * x[0] + params[0], one observable.
void first_state_measurement(f64* state, f64* params, f64* obs) { obs[0] = 2.0 * state[0] + params[0]; }

struct SimFixture {
    static constexpr i64 n = 3, k = 2, T = 40, n_par = 1, m = 1;
    std::vector<f64> A = {0.5, 0.1, 0.0, -0.2, 0.7, 0.1, 0.0, 0.3, 0.4};
    std::vector<f64> B = {1.0, 0.0, 0.5, 1.0, 0.0, 0.2};
    std::vector<f64> x0 = {0.1, -0.2, 0.3};
    std::vector<f64> params = {0.25};
    std::vector<i64> cols_all = {0, 1}, col0 = {0}, col1 = {1};
    std::vector<f64> chol = {1.0, 0.0, 0.4, 0.9};
    std::vector<trova_mc_shock_entry> entries;
    trova_mc_shock_plan plan{};
    trova_mc_simulate_order1_step_ctx ctx{};
    SimFixture() {
        trova_mc_shock_entry normal{};
        normal.width = 2;
        normal.columns = cols_all.data();
        normal.factor = chol.data();
        normal.key = 42;
        entries.push_back(normal);
        plan = {entries.data(), 1, T, k, 1.0, 2};
        ctx = {first_state_measurement, T, n, k, n_par, m, &plan, trova_simulate_order1_arena_size(n, k, T, n_par)};
    }

    // Lane: the arena, then the shock scratch.
    i64 lane() const { return ctx.shock_scratch_offset + trova_mc_shock_scratch_size(&plan); }

    static trova_mc_float_input_binding block(const std::vector<f64>& src, i64 offset) {
        return Pipeline::whole(src, offset);
    }

    void add_to(Pipeline& p) {
        const i64 s = p.add_step(trova_mc_simulate_order1_runner, &ctx, Lanes{lane(), T * (n + m), 0, 1});
        // Arena: A | B | x0 | shocks (drawn by the step) | params.
        trova::layout::Carver arena;
        p.bind(s, block(A, arena.at(n, n)));
        p.bind(s, block(B, arena.at(n, k)));
        p.bind(s, block(x0, arena.at(n)));
        arena.at(T, k);
        p.bind(s, block(params, arena.at(n_par)));
    }
};

TEST(SimulationPipeline, ResultsDoNotDependOnTheTeam) {
    const i64 n_rep = 97;
    std::vector<std::vector<f64>> results;
    for (i64 workers : {1, 2, 3, 5}) {
        SimFixture fx;
        Pipeline p(n_rep, workers);
        fx.add_to(p);
        ASSERT_EQ(p.run(), 0);
        for (i64 r = 0; r < n_rep; ++r) ASSERT_EQ(p.failure_step[static_cast<std::size_t>(r)], -1);
        results.push_back(p.all_retained(0));
    }
    for (std::size_t w = 1; w < results.size(); ++w) {
        ASSERT_EQ(results[w].size(), results[0].size());
        for (std::size_t j = 0; j < results[0].size(); ++j)
            ASSERT_TRUE(trova_test::same_bits(results[w][j], results[0][j])) << "team " << w << " cell " << j;
    }
    // The measurement of every period saw that period's state.
    const SimFixture fx;
    const f64* row = results[0].data() + 5 * fx.T * (fx.n + fx.m);
    for (i64 t = 0; t < fx.T; ++t)
        EXPECT_DOUBLE_EQ(row[fx.T * fx.n + t], 2.0 * row[t * fx.n] + 0.25);
}

TEST(SimulationPipeline, MismatchedPlanFailsEveryReplication) {
    SimFixture fx;
    fx.plan.T = fx.T + 1;
    Pipeline p(6, 2);
    fx.add_to(p);
    ASSERT_EQ(p.run(), 0);
    for (i64 r = 0; r < 6; ++r) {
        EXPECT_EQ(p.failure_step[static_cast<std::size_t>(r)], 0);
        EXPECT_EQ(p.failure_status[static_cast<std::size_t>(r)], -1);
        EXPECT_TRUE(std::isnan(p.retained(0, r)[0]));
    }
}

}  // namespace
