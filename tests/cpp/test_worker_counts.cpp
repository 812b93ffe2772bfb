// Worker-count determinism: every family of pipeline steps, run through
// trova_mc_run on teams of 1, 2, 3 and 8 workers, keeps the same result
// rows bit for bit, the same failure records and the same profile counts,
// with replications that fail among them; and in fail-fast mode a halt is
// recorded once, each worker's block is cut after a prefix, and what did run
// is what the one-worker run gives. Lanes are laid out with the library's
// own layout code and sizers. In the ThreadSanitizer build this suite is
// the runner's main concurrent workload.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "_common/layout.h"
#include "_common/sizers.h"
#include "filter_models.h"
#include "pipeline_builder.h"
#include "regression_data.h"
#include "test_steps.h"
#include "trova.h"

namespace {

using trova::layout::Carver;
using trova::layout::plus;
using trova::layout::Size;
using trova_test::kIntSentinel;
using trova_test::StepEntry;
using trova_test::Lanes;
using trova_test::Pipeline;
using trova_test::same_bits;

// Not a multiple of 2, 3 or 8: blocks of unequal length on every team.
constexpr i64 kRep = 29;
constexpr i64 T = 30;

std::vector<f64> normals(i64 count, u64 key) {
    std::vector<f64> v(static_cast<std::size_t>(count));
    trova_philox_state st;
    trova_philox_seed(&st, key, 7, 0, 0);
    trova_philox_standard_normal_fill(&st, count, v.data());
    return v;
}

const std::vector<i64>& iota_columns() {
    static const std::vector<i64> cols = [] {
        std::vector<i64> v(64);
        for (std::size_t j = 0; j < v.size(); ++j) v[j] = static_cast<i64>(j);
        return v;
    }();
    return cols;
}

// rows x cols values of a caller array shared by every replication (or, with
// rep_stride > 0, one block per replication), starting `from` into it.
trova_mc_float_input_binding from_static(const std::vector<f64>& src, i64 from, i64 rep_stride, i64 rows,
                                         i64 cols, i64 target) {
    trova_mc_float_input_binding b = Pipeline::copy(-2, from, cols, 0, rows, iota_columns(), target, cols);
    b.n_columns = cols;
    b.static_source = src.data();
    b.static_rep_stride = rep_stride;
    b.static_batched = rep_stride > 0;
    return b;
}

// rows x cols values at `offset` of an earlier step's live output.
trova_mc_float_input_binding from_step(i64 step, i64 offset, i64 rows, i64 cols, i64 target) {
    trova_mc_float_input_binding b = Pipeline::copy(step, offset, cols, 0, rows, iota_columns(), target, cols);
    b.n_columns = cols;
    return b;
}

// A caller's step that fails its replication with `status` when the value
// bound at its lane's start exceeds `limit` (or is NaN), and otherwise
// publishes it: a data-dependent failure late in a pipeline.
struct GateCtx {
    f64 limit;
    int status;
};

int gate_step(i64, f64* in, f64* out, i64*, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const GateCtx*>(ctx);
    const int status = in[0] <= c->limit ? 0 : c->status;
    out[0] = in[0];
    if (int_out != nullptr) int_out[0] = status;
    return status;
}

// A caller's step that draws the replication's shocks into its output lane,
// its input lane serving as scratch.
int shock_step(i64 rep, f64* in, f64* out, i64*, i64*, const void* ctx) {
    trova_mc_shock_draw(static_cast<const trova_mc_shock_plan*>(ctx), rep, in, out);
    return 0;
}

// A user transform: running sums down each column; fails with 7 when the
// first value is above 3.5.
i64 cumulative(f64* in, f64* out, i64 n_in, i64 p_in, i64, i64) {
    if (!(in[0] <= 3.5)) return 7;
    for (i64 c = 0; c < p_in; ++c) {
        f64 s = 0.0;
        for (i64 t = 0; t < n_in; ++t) out[t * p_in + c] = s += in[t * p_in + c];
    }
    return 0;
}

// One family of steps: its data and contexts, shared by the runs on every
// team, and the steps it adds to a pipeline.
struct Family {
    virtual ~Family() = default;
    virtual void build(Pipeline& p) const = 0;
};

// Payload, raw model data, the shock plan drawn by a caller's step, and two
// caller steps that fail chosen or data-dependent replications.
struct Sources : Family {
    static constexpr i64 kPay = 6, kStates = 8, kObs = 4;
    std::vector<f64> pay = normals(kRep * kPay, 1), states = normals(kRep * kStates, 2), obs = normals(kObs, 3);
    std::vector<i64> shock_cols{0, 2, 1};
    std::vector<f64> factor{1.0, 0.0, 0.4, 0.8}, loc{0.5, -0.5};
    trova_mc_shock_entry entries[2]{};
    trova_mc_shock_plan plan{};
    std::vector<int> status = std::vector<int>(kRep, 0);
    trova_mc_payload_step_ctx pay_ctx{pay.data(), kPay, 1};
    trova_mc_raw_model_data_step_ctx raw{states.data(), kStates, 1, obs.data(), kObs, 0};
    trova_test::EchoCtx echo{kPay + kObs, status.data()};
    GateCtx gate{1.0, 3};

    Sources() {
        status[4] = 5;
        status[17] = -9;
        status[23] = 2;
        entries[0].width = 2;
        entries[0].columns = shock_cols.data();
        entries[0].factor = factor.data();
        entries[0].loc = loc.data();
        entries[0].key = 21;
        entries[1].family = 1;
        entries[1].columns = shock_cols.data() + 2;
        entries[1].low = -1.0;
        entries[1].span = 2.0;
        entries[1].key = 21;
        entries[1].entry_idx = 1;
        plan = trova_mc_shock_plan{entries, 2, T, 3, 0.5, 2};
    }
    void build(Pipeline& p) const override {
        p.add_step(trova_mc_payload_runner, &pay_ctx, Lanes{0, kPay, 0, 1});
        p.add_step(trova_mc_raw_model_data_runner, &raw, Lanes{0, kStates + kObs, 0, 1});
        p.add_step(shock_step, &plan, Lanes{trova_mc_shock_scratch_size(&plan), T * 3, 0, 0});
        p.add_step(trova_test::echo_step, &echo, Lanes{kPay + kObs, kPay + kObs + 1, 0, 2});
        // The caller's own step reads one contiguous block: its layout is its own.
        p.bind(3, from_step(0, 0, 1, kPay, 0));
        p.bind(3, from_step(1, kStates, 1, kObs, kPay));
        p.add_step(gate_step, &gate, Lanes{1, 1, 0, 1});
        p.bind(4, from_step(0, 0, 1, 1, 0));
    }
};

using namespace trova_test::models;

// Shock draws, first-order simulation with observables, and the linear and
// extended filters on them; R is one block per replication and is not
// positive definite for some, whose replications fail at the linear filter.
struct Order1Filters : Family {
    std::vector<f64> R = std::vector<f64>(kRep * kLinM * kLinM, 0.0);
    LinearPipeline lp{T, &R};

    Order1Filters() {
        for (i64 r = 0; r < kRep; ++r) {
            const f64 v = r % 6 == 4 ? -50.0 : 0.1 + 0.01 * static_cast<f64>(r);
            R[static_cast<std::size_t>(r * 4)] = R[static_cast<std::size_t>(r * 4 + 3)] = v;
        }
    }
    void build(Pipeline& p) const override { lp.add_to(p); }
};

// Pruned second-order simulation and the unscented filter on its
// observables, with a gate on the filter's log-likelihood that fails some
// replications.
constexpr i64 ns = Pruned::ns, nc = Pruned::nc, ne = Pruned::ne, no = Pruned::no;

struct Order2Unscented : Family {
    Pruned m;
    trova_mc_shock_entry entry{};
    trova_mc_shock_plan plan{};
    trova_mc_simulate_order2_step_ctx sim{};
    trova_mc_filter_unscented_step_ctx ukf{ukf_meas, T, ns, nc, ne, no, 0, 0.5, 2.0, 0.0, 1, 0.0};
    GateCtx gate{23.5, 11};

    Order2Unscented() {
        entry.width = 2;
        entry.columns = m.cols.data();
        entry.factor = m.chol.data();
        entry.key = 11;
        plan = {&entry, 1, T, ne, 1.0, 2};
        sim = {sim2_meas, T, ns, nc, ne, 0, no, &plan, trova_simulate_order2_arena_size(ns, ns + nc, ne, T, 0)};
    }
    void build(Pipeline& p) const override {
        const i64 sim_size = sim.shock_scratch_offset;
        p.add_step(trova_mc_simulate_order2_runner, &sim,
                   Lanes{sim_size + trova_mc_shock_scratch_size(&plan), T * (ns + nc + no), 0, 1});
        const i64 fin = trova_filter_unscented_input_arena_size(ns, nc, ne, no, T, 0);
        trova_filter_output_offsets out_at;
        const i64 fout = trova_filter_unscented_output_offsets(ns, nc, no, T, &out_at);
        p.add_step(trova_mc_filter_unscented_runner, &ukf,
                   Lanes{fin + ukf_arena_size(ns, nc, ne, no).n_float, fout, 0, 1});
        // Both lanes start with the solution blocks; the simulation's go on
        // with x0, the filter's with params (none) | Q | R | y | z0 | P0.
        Carver s, in;
        for (const auto* block : {&m.hx, &m.gx, &m.bx, &m.hxx, &m.gxx, &m.hss, &m.gss, &m.ss}) {
            const i64 len = static_cast<i64>(block->size());
            p.bind(0, from_static(*block, 0, 0, 1, len, s.at(len)));
            p.bind(1, from_static(*block, 0, 0, 1, len, in.at(len)));
        }
        p.bind(0, from_static(m.x0, 0, 0, 1, ns, s.at(ns)));
        EXPECT_EQ(s.offset(), trova_simulate_order2_shock_offset(ns, nc, ne));
        p.bind(1, from_static(m.Q, 0, 0, 1, ne * ne, in.at(ne, ne)));
        p.bind(1, from_static(m.R, 0, 0, 1, no * no, in.at(no, no)));
        p.bind(1, from_step(0, T * (ns + nc), T, no, in.at(T, no)));
        p.bind(1, from_static(m.z0, 0, 0, 1, 2 * ns, in.at(2 * ns)));
        p.bind(1, from_static(m.P0, 0, 0, 1, 4 * ns * ns, in.at(2 * ns, 2 * ns)));
        EXPECT_EQ(in.offset(), fin);
        // Fails where the log-likelihood is above the gate's bound.
        p.add_step(gate_step, &gate, Lanes{1, 1, 0, 1});
        p.bind(2, from_step(1, out_at.loglik, 1, 1, 0));
    }
};

// The seven regression steps on per-replication data; for some
// replications two regressors coincide and the rank-deficient OLS fails.
struct Regressions : Family {
    static constexpr i64 kN = 40;
    std::vector<f64> data = trova_test::regression_data(kRep, kN, 7);
    trova_test::RegressionSteps steps{kN};
    void build(Pipeline& p) const override { steps.add_to(p, data); }
};

// The seven transforms and a user transform on per-replication series,
// some with negative values (logs of them are NaN data, not failures).
constexpr i64 kTn = 36, kTp = 3, kWindow = 5;
struct Transforms : Family {
    std::vector<f64> data = normals(kRep * kTn * kTp, 13);
    trova_mc_standardize_step_ctx standardize{kTn, kTp, 1};
    trova_mc_log_step_ctx log_ctx{kTn, kTp, 0.5};
    trova_mc_log_diff_step_ctx log_diff{kTn, kTp, 0.5};
    trova_mc_diff_step_ctx diff{kTn, kTp, 2};
    trova_mc_rolling_mean_step_ctx rolling_mean{kTn, kTp, kWindow};
    trova_mc_rolling_var_step_ctx rolling_var{kTn, kTp, kWindow, 1};
    trova_mc_user_transform_step_ctx user{cumulative, kTn, kTp, kTn, kTp};

    Transforms() {
        for (i64 r = 0; r < kRep; ++r)
            if (r % 4 != 1)
                for (i64 k = 0; k < kTn * kTp; ++k) data[static_cast<std::size_t>(r * kTn * kTp + k)] += 3.0;
    }
    void build(Pipeline& p) const override {
        const i64 rolled = kTn - kWindow + 1;
        const StepEntry steps[] = {
            {trova_mc_standardize_runner, &standardize, trova_standardize_ax0_arena_size(kTn, kTp), kTn},
            {trova_mc_log_runner, &log_ctx, trova_log_arena_size(kTn, kTp), kTn},
            {trova_mc_log_diff_runner, &log_diff, trova_log_diff_arena_size(kTn, kTp), kTn - 1},
            {trova_mc_diff_runner, &diff, trova_diff_arena_size(kTn, kTp, 2), kTn - 2},
            {trova_mc_rolling_mean_runner, &rolling_mean, trova_rolling_mean_arena_size(kTn, kTp, kWindow), rolled},
            {trova_mc_rolling_var_runner, &rolling_var, trova_rolling_var_arena_size(kTn, kTp, kWindow), rolled},
            {trova_mc_rolling_std_runner, &rolling_var, trova_rolling_std_arena_size(kTn, kTp, kWindow), rolled},
            {trova_mc_user_transform_runner, &user, arena_size{kTn * kTp, 0}, kTn},
        };
        for (const auto& s : steps) {
            const i64 step = p.add_step(s.fn, s.ctx, Lanes{s.size.n_float, s.rows * kTp, 0, 1});
            p.bind(step, from_static(data, 0, kTn * kTp, kTn, kTp, 0));
        }
    }
};

// Every diagnostic test step on per-replication data, some of it
// degenerate (a constant series, a NaN), so that test statuses vary as data;
// a gate on the Jarque-Bera statistic fails some replications.
constexpr i64 kDn = 48, kDp = 2, kDq = 2, kLags = 4;
struct Diagnostics : Family {
    // Per replication: y (n), X (n x p), g (n x q).
    static constexpr i64 kBlock = kDn * (1 + kDp + kDq);
    std::vector<f64> data = normals(kRep * kBlock, 17);
    std::vector<f64> target{0.0, 0.0, 1.0, 0.0, 0.0, 1.0};  // mean target, then a q x q one
    trova_mc_wald_test_ctx wald[3]{};
    trova_mc_ljung_box_test_ctx lb{kDn, kLags};
    trova_mc_jarque_bera_test_ctx jb{kDn};
    trova_mc_breusch_pagan_test_ctx bp{kDn, kDp, 1};
    trova_mc_breusch_godfrey_test_ctx bg{kDn, kDp, 2};
    trova_mc_cusum_test_ctx cusum{kDn, kDp};
    trova_mc_chow_test_ctx chow{kDn, kDp, kDn / 2};
    GateCtx gate{6.0, -2};

    Diagnostics() {
        const trova_mc_wald_kind kinds[3] = {TROVA_MC_WALD_MEAN, TROVA_MC_WALD_COVARIANCE,
                                             TROVA_MC_WALD_SECOND_MOMENT};
        for (int k = 0; k < 3; ++k)
            wald[k] = {target.data() + (k == 0 ? 0 : 2), kDn, kDq, 3, BARTLETT, WALD_BW_AUTO, kinds[k]};
        for (i64 r = 0; r < kRep; ++r) {
            f64* y = data.data() + r * kBlock;
            for (i64 t = 0; t < kDn; ++t) {
                y[kDn + t * kDp] = 1.0 + 0.1 * static_cast<f64>(t % 5);  // a regressor near a constant
                y[t] += 0.5 * y[kDn + t * kDp + 1] + (r % 3 == 0 ? y[t] * y[t] : 0.0);  // skewed for some
            }
            if (r % 9 == 2)
                for (i64 t = 0; t < kDn; ++t) y[t] = 1.5;  // constant
            if (r % 9 == 7) y[kDn * (1 + kDp) + 5] = std::nan("");  // NaN in g
        }
    }
    void build(Pipeline& p) const override {
        using trova::sizing::regression_test_input;
        const i64 y_at = 0, X_at = kDn, g_at = kDn * (1 + kDp);
        const auto add = [&](trova_mc_step_fn fn, const void* ctx, const Size& size) {
            return p.add_step(fn, ctx, Lanes{size.n_float, 1, size.n_int, 1});
        };
        for (int k = 0; k < 3; ++k) {
            Carver c;
            const i64 g = c.at(kDn, kDq);
            const Size work = k == 0   ? trova::sizing::wald_mean_hac(kDn, kDq)
                              : k == 1 ? trova::sizing::wald_covariance_hac(kDn, kDq)
                                       : trova::sizing::wald_second_moment_hac(kDn, kDq);
            const i64 s = add(trova_mc_wald_test_runner, &wald[k], plus(c.size(), work));
            p.bind(s, from_static(data, g_at, kBlock, kDn, kDq, g));
        }
        Carver series;
        const i64 x = series.at(kDn);
        const i64 l = add(trova_mc_ljung_box_test_runner, &lb, plus(series.size(), trova::sizing::ljung_box(kDn, kLags)));
        p.bind(l, from_static(data, y_at, kBlock, kDn, 1, x));
        const i64 j = add(trova_mc_jarque_bera_test_runner, &jb, series.size());
        p.bind(j, from_static(data, y_at, kBlock, kDn, 1, x));
        p.bind(p.add_step(gate_step, &gate, Lanes{1, 1, 0, 1}), from_step(j, 0, 1, 1, 0));
        // The regression diagnostics stage y (or the residuals) then X.
        const auto staged = [&](i64 s) {
            Carver c;
            p.bind(s, from_static(data, y_at, kBlock, kDn, 1, c.at(kDn)));
            p.bind(s, from_static(data, X_at, kBlock, kDn, kDp, c.at(kDn, kDp)));
        };
        staged(add(trova_mc_breusch_pagan_test_runner, &bp,
                   plus(trova::sizing::breusch_pagan_input(kDn, kDp), trova::sizing::breusch_pagan(kDn, kDp + 1))));
        staged(add(trova_mc_breusch_godfrey_test_runner, &bg,
                   plus(regression_test_input(kDn, kDp), trova::sizing::breusch_godfrey(kDn, kDp, 2))));
        staged(add(trova_mc_cusum_test_runner, &cusum,
                   plus(regression_test_input(kDn, kDp), trova::sizing::cusum(kDn, kDp))));
        staged(add(trova_mc_cusumsq_test_runner, &cusum,
                   plus(regression_test_input(kDn, kDp), trova::sizing::cusumsq(kDn, kDp))));
        staged(add(trova_mc_chow_test_runner, &chow, plus(regression_test_input(kDn, kDp), trova::sizing::chow(kDp))));
    }
};

std::unique_ptr<Family> make_family(const std::string& name) {
    if (name == "sources") return std::make_unique<Sources>();
    if (name == "order1_filters") return std::make_unique<Order1Filters>();
    if (name == "order2_unscented") return std::make_unique<Order2Unscented>();
    if (name == "regressions") return std::make_unique<Regressions>();
    if (name == "transforms") return std::make_unique<Transforms>();
    return std::make_unique<Diagnostics>();
}

// Profile counts of one step summed over the workers: {executions, failures}.
std::pair<i64, i64> step_totals(const Pipeline& p, i64 workers, i64 n_steps, i64 s) {
    i64 count = 0, failed = 0;
    for (i64 w = 0; w < workers; ++w) {
        count += p.counts[static_cast<std::size_t>(w * n_steps + s)];
        failed += p.failures[static_cast<std::size_t>(w * n_steps + s)];
    }
    return {count, failed};
}

// Steps replication r reached: all of them, up to its failing step, or none.
i64 steps_reached(const Pipeline& p, i64 n_steps, i64 r) {
    const i64 f = p.failure_step[static_cast<std::size_t>(r)];
    return f == -1 ? n_steps : f == kIntSentinel ? 0 : f + 1;
}

// The contiguous block of replications that worker w of a team of t takes.
std::pair<i64, i64> block_of(i64 w, i64 t) {
    const i64 q = kRep / t, rem = kRep % t;
    const i64 begin = w < rem ? w * (q + 1) : w * q + rem;
    return {begin, begin + (w < rem ? q + 1 : q)};
}

bool row_is_sentinel(const Pipeline& p, i64 s, i64 r, i64 nf, i64 ni) {
    std::uint64_t bits;
    for (i64 k = 0; k < nf; ++k) {
        std::memcpy(&bits, p.retained(s, r) + k, sizeof bits);
        if (bits != 0x7FF8000000000000ULL) return false;
    }
    for (i64 k = 0; k < ni; ++k)
        if (p.int_retained(s, r)[k] != kIntSentinel) return false;
    return true;
}

class WorkerCounts : public ::testing::TestWithParam<std::tuple<const char*, int>> {};

TEST_P(WorkerCounts, SameRowsFailuresAndCountsOnEveryTeam) {
    const auto [name, workers] = GetParam();
    const std::unique_ptr<Family> family = make_family(name);
    Pipeline ref(kRep, 1), p(kRep, workers);
    family->build(ref);
    family->build(p);
    ASSERT_EQ(ref.run(0, 1), 0);
    ASSERT_EQ(p.run(0, 1), 0);
    const i64 n_steps = ref.last_context().n_steps;
    const trova_mc_step_desc* steps = ref.last_context().steps;

    // The family has failing and complete replications.
    i64 failed = 0;
    for (i64 v : ref.failure_step) failed += v != -1;
    ASSERT_GT(failed, 0);
    ASSERT_LT(failed, kRep);

    EXPECT_EQ(p.failure_step, ref.failure_step);
    EXPECT_EQ(p.failure_status, ref.failure_status);
    for (i64 s = 0; s < n_steps; ++s) {
        const std::vector<f64>& a = ref.all_retained(s);
        const std::vector<f64>& b = p.all_retained(s);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t c = 0; c < a.size(); ++c)
            ASSERT_TRUE(same_bits(a[c], b[c])) << "step " << s << " cell " << c << ": " << a[c] << " vs " << b[c];
        EXPECT_EQ(p.all_int_retained(s), ref.all_int_retained(s)) << "step " << s;
        EXPECT_EQ(step_totals(p, workers, n_steps, s), step_totals(ref, 1, n_steps, s)) << "step " << s;
    }
    // Each worker counted the steps of its own block's replications.
    const i64 team = workers < kRep ? workers : kRep;
    for (i64 w = 0; w < team; ++w) {
        const auto [begin, end] = block_of(w, team);
        for (i64 s = 0; s < n_steps; ++s) {
            i64 reached = 0;
            for (i64 r = begin; r < end; ++r) reached += steps_reached(ref, n_steps, r) > s;
            EXPECT_EQ(p.counts[static_cast<std::size_t>(w * n_steps + s)], reached) << "worker " << w << " step " << s;
        }
    }

    // Fail-fast: one halt record, naming a failure that happened; in every
    // block the replications that ran form a prefix, at most its last one
    // failed, and each of them has the one-worker outcome and rows; the
    // rest never started and carry sentinels.
    Pipeline ff(kRep, workers);
    family->build(ff);
    ASSERT_EQ(ff.run(1, 1), 1);
    const trova_mc_runner_ctx& ctx = ff.last_context();
    EXPECT_EQ(ctx.halt, 1);
    const i64 h = ctx.halt_failure.rep_idx;
    ASSERT_GE(h, 0);
    ASSERT_LT(h, kRep);
    EXPECT_EQ(ctx.halt_failure.step_idx, ref.failure_step[static_cast<std::size_t>(h)]);
    EXPECT_EQ(ctx.halt_failure.status, ref.failure_status[static_cast<std::size_t>(h)]);
    EXPECT_EQ(ff.failure_step[static_cast<std::size_t>(h)], ctx.halt_failure.step_idx);
    i64 first_failure = 0;
    while (ref.failure_step[static_cast<std::size_t>(first_failure)] == -1) ++first_failure;
    if (workers == 1) {
        EXPECT_EQ(h, first_failure);
    }
    for (i64 w = 0; w < team; ++w) {
        const auto [begin, end] = block_of(w, team);
        i64 r = begin;
        for (; r < end && ff.failure_step[static_cast<std::size_t>(r)] != kIntSentinel; ++r) {
            const std::size_t ri = static_cast<std::size_t>(r);
            ASSERT_EQ(ff.failure_step[ri], ref.failure_step[ri]) << "replication " << r;
            ASSERT_EQ(ff.failure_status[ri], ref.failure_status[ri]) << "replication " << r;
            if (ff.failure_step[ri] != -1 && r + 1 < end) {
                EXPECT_EQ(ff.failure_step[ri + 1], kIntSentinel) << "replication " << r + 1 << " after a failure";
            }
            for (i64 s = 0; s < n_steps; ++s) {
                const i64 nf = steps[s].float_retained_stride, ni = steps[s].int_retained_stride;
                for (i64 k = 0; k < nf; ++k) ASSERT_TRUE(same_bits(ff.retained(s, r)[k], ref.retained(s, r)[k]));
                for (i64 k = 0; k < ni; ++k) ASSERT_EQ(ff.int_retained(s, r)[k], ref.int_retained(s, r)[k]);
            }
        }
        // A worker whose block ran to its end without a failure never saw
        // the halt in time; the first worker's block is cut at or before
        // the first failure in it.
        if (w == 0) {
            EXPECT_LE(r, first_failure + 1);
        }
        for (; r < end; ++r) {
            const std::size_t ri = static_cast<std::size_t>(r);
            ASSERT_EQ(ff.failure_step[ri], kIntSentinel) << "replication " << r << " after the block's prefix";
            ASSERT_EQ(ff.failure_status[ri], kIntSentinel);
            for (i64 s = 0; s < n_steps; ++s)
                EXPECT_TRUE(row_is_sentinel(ff, s, r, steps[s].float_retained_stride, steps[s].int_retained_stride));
        }
        for (i64 s = 0; s < n_steps; ++s) {
            i64 reached = 0;
            for (i64 q = begin; q < end; ++q) reached += steps_reached(ff, n_steps, q) > s;
            EXPECT_EQ(ff.counts[static_cast<std::size_t>(w * n_steps + s)], reached) << "worker " << w << " step " << s;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Families, WorkerCounts,
                         ::testing::Combine(::testing::Values("sources", "order1_filters", "order2_unscented",
                                                              "regressions", "transforms", "diagnostics"),
                                            ::testing::Values(1, 2, 3, 8)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)) + "_" +
                                    std::to_string(std::get<1>(info.param)) + "_workers";
                         });

}  // namespace
