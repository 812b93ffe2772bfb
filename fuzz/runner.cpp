// Fuzz target: the replication runner on a small pipeline (a payload source,
// a first-order simulation with drawn shocks, the linear filter, a
// difference transform, an OLS fit and a Ljung-Box test) whose bindings,
// step descriptors and context fields the fuzzer perturbs.
//
// Every per-worker buffer, result buffer and failure array sits between
// poisoned guards, and the build's layout gaps put a poisoned gap behind
// every block of a lane, so a write outside a lane is an AddressSanitizer
// report. After each run the failure records are checked against what the
// steps returned (every step function is wrapped to log its status) and
// against trova_mc_check_runner's verdict: a rejected context writes
// nothing, a rejected binding fails exactly the replications that reach its
// step, with status -1, and every incomplete replication's rows are sentinels.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <deque>
#include <vector>

#include "_common/layout.h"
#include "fuzz_data.h"
#include "fuzz_guarded.h"
#include "pipeline_builder.h"
#include "trova_diag.h"
#include "trova_kalman.h"
#include "trova_mc.h"
#include "trova_mc_tests.h"
#include "trova_regression.h"
#include "trova_sim.h"
#include "trova_transforms.h"

namespace {

using trova::layout::Carver;
using trova_fuzz::edgy_f64;
using trova_fuzz::edgy_i64;
using trova_fuzz::Guarded;

constexpr i64 kSentinel = INT64_MIN;
constexpr i64 kUntouched = 12345;        // marks failure-array entries before a run
constexpr i64 kNotCalled = 777777;       // a step function's log before its call
// The wrapper around every step: the real step, and where to log what it
// returned for each replication.
struct Wrapped {
    trova_mc_step_fn fn;
    const void* ctx;
    i64 step;
    i64 n_steps;
    i64* log;  // n_rep x n_steps statuses, kNotCalled until called
};

int wrapped_step(i64 rep, f64* in, f64* out, i64* iw, i64* io, const void* ctx) {
    const auto* w = static_cast<const Wrapped*>(ctx);
    const int status = w->fn(rep, in, out, iw, io, w->ctx);
    w->log[rep * w->n_steps + w->step] = status;
    return status;
}

// Observable of the simulated model: the sum of its two states.
void sum_states(f64* x, f64*, f64* obs) { obs[0] = x[0] + x[1]; }

constexpr i64 kT = 12, kN = 2, kK = 2, kM = 1, kLags = 3;
constexpr i64 kSteps = 6;

struct StepPlan {
    trova_mc_step_fn fn;
    const void* ctx;
    i64 in, out, int_work, int_out;
    std::vector<trova_mc_float_input_binding> bindings;
};

// A binding's columns, allocated long enough for any binding that passes
// the target checks (n_columns <= the lane length), and guarded.
std::deque<Guarded<i64>> g_columns;
const i64* columns(std::initializer_list<i64> cols, i64 capacity) {
    Guarded<i64>& g = g_columns.emplace_back(capacity, 0);
    i64 j = 0;
    for (i64 c : cols) g[static_cast<std::size_t>(j++)] = c;
    return g.data();
}

// A copy binding (the test suites' builder) over guarded columns.
trova_mc_float_input_binding copy(i64 src_step, i64 src_off, i64 src_stride, i64 rows, const i64* cols, i64 n_cols,
                                  i64 target, i64 target_stride) {
    static const std::vector<i64> none;
    trova_mc_float_input_binding b =
        trova_test::Pipeline::copy(src_step, src_off, src_stride, 0, rows, none, target, target_stride);
    b.columns = cols;
    b.n_columns = n_cols;
    return b;
}

// Whether a static binding's reads over n_rep positions stay inside its
// array of array_len values (the runner trusts static sources, so bindings
// that would read past them are not generated).
bool static_read_fits(const trova_mc_float_input_binding& b, i64 n_rep, i64 array_len) {
    if (b.source_step_idx > -2 || b.n_rows <= 0 || b.n_columns <= 0) return true;
    if (b.static_source == nullptr || b.static_rep_stride < 0 || b.source_row_stride <= 0 || b.source_offset < 0 ||
        b.row_start < 0)
        return true;  // rejected before anything is read
    i64 last = 0;
    if (__builtin_add_overflow(b.row_start, b.n_rows - 1, &last) ||
        __builtin_mul_overflow(last, b.source_row_stride, &last) ||
        __builtin_add_overflow(last, b.source_offset, &last) ||
        __builtin_add_overflow(last, b.source_row_stride - 1, &last))
        return false;
    if (b.static_batched) {
        i64 shift;
        if (__builtin_mul_overflow(n_rep - 1, b.static_rep_stride, &shift) ||
            __builtin_add_overflow(last, shift, &last))
            return false;
    }
    return last < array_len;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    g_columns.clear();
    const i64 n_rep = in.ConsumeIntegralInRange<i64>(1, 6);
    const i64 n_workers = in.ConsumeIntegralInRange<i64>(1, 3);

    // ---- the model: A, B, x0 of the simulation, the filter's matrices ----
    f64 A[kN * kN] = {0.6, 0.1, 0.0, 0.5}, B[kN * kK] = {1.0, 0.0, 0.3, 1.0}, x0[kN] = {0.0, 0.0};
    f64 scale = 1.0;
    if (in.ConsumeBool()) {
        A[in.ConsumeIntegralInRange<int>(0, 3)] = edgy_f64(in);
        B[in.ConsumeIntegralInRange<int>(0, 3)] = edgy_f64(in);
        x0[in.ConsumeIntegralInRange<int>(0, 1)] = edgy_f64(in);
        scale = edgy_f64(in);
    }
    // Simulation arena A | B | x0 | shock | params, laid out as the step reads it.
    Carver sim;
    const i64 sA = sim.at(kN, kN), sB = sim.at(kN, kK), sx0 = sim.at(kN);
    sim.take(kT, kK);
    sim.take(0);
    const i64 sim_arena = trova_simulate_order1_arena_size(kN, kK, kT, 0);
    TROVA_FUZZ_CHECK(sim.offset() == sim_arena, sim.offset(), sim_arena);
    Guarded<f64> payload(sim_arena, 0.0);
    std::memcpy(&payload[sA], A, sizeof A);
    std::memcpy(&payload[sB], B, sizeof B);
    std::memcpy(&payload[sx0], x0, sizeof x0);

    const i64 shock_cols[kK] = {0, 1};
    const f64 factor[kK * kK] = {1.0, 0.0, 0.5, 1.0};
    trova_mc_shock_entry entry{};
    entry.width = kK;
    entry.columns = shock_cols;
    entry.factor = factor;
    entry.key = in.ConsumeIntegral<u64>();
    const trova_mc_shock_plan plan{&entry, 1, kT, kK, scale, kK};
    const i64 scratch = trova_mc_shock_scratch_size(&plan);
    const trova_mc_payload_step_ctx pay{payload.data(), sim_arena, 0};
    const trova_mc_simulate_order1_step_ctx sim_ctx{sum_states, kT, kN, kK, 0, kM, &plan, sim_arena};
    Carver simout;
    const i64 states_at = simout.at(kT, kN), obs_at = simout.at(kT, kM);
    const i64 sim_out = simout.offset();

    // Linear filter: A | B | C | d | Q | R | y | x0 | P0 from static data, y
    // bound from the simulation's observables.
    kf_input_offsets ko;
    const i64 kf_in = trova_filter_linear_input_offsets(kN, kM, kK, kT, &ko);
    Guarded<f64> kf_static(kf_in, 0.0);
    std::memcpy(&kf_static[ko.A], A, sizeof A);
    std::memcpy(&kf_static[ko.B], B, sizeof B);
    kf_static[ko.C] = kf_static[ko.C + 1] = 1.0;
    kf_static[ko.Q] = kf_static[ko.Q + 3] = 1.0;
    kf_static[ko.R] = in.ConsumeBool() ? edgy_f64(in) : 0.1;
    kf_static[ko.P0] = kf_static[ko.P0 + 3] = 1.0;
    const trova_mc_filter_linear_step_ctx kf_ctx{kT, kN, kM, kK, 1, 0.0, 0};
    trova_filter_output_offsets kfo;
    const i64 kf_out = trova_filter_linear_output_offsets(kN, kM, kK, kT, 0, &kfo);

    // Difference of the states, an OLS of its first column on a constant
    // and its second, a Ljung-Box test of the standardised innovations.
    const trova_mc_diff_step_ctx diff_ctx{kT, kN, 1};
    const i64 nd = kT - 1, p = 2;
    const trova_mc_ols_step_ctx ols_ctx{nd, p, 1};
    Carver ols_lane;
    const i64 X_at = ols_lane.at(nd, p), y_at = ols_lane.at(nd);
    const arena_size ols_work = trova_mc_ols_work_arena_size(nd, p);
    const trova_mc_ljung_box_test_ctx lb_ctx{kT, kLags};
    Carver lb_lane;
    lb_lane.take(kT);
    const i64 lb_in = lb_lane.offset() + trova_lb_arena_size(kT, kLags).n_float;

    const i64 sim_in = sim_arena + scratch, kf_lane = kf_in + kf_arena_size(kN, kM, kK).n_float;
    const i64 diff_in = trova_diff_arena_size(kT, kN, 1).n_float;
    // Column arrays long enough for any binding the target checks pass.
    const i64 cap = std::max({sim_in, kf_lane, diff_in, ols_work.n_float, lb_in}) + 8;
    Guarded<i64>& sim_cols = g_columns.emplace_back(std::max(cap, sim_arena), 0);
    for (i64 j = 0; j < sim_arena; ++j) sim_cols[static_cast<std::size_t>(j)] = j;
    Guarded<i64>& kf_cols = g_columns.emplace_back(std::max(cap, kf_in), 0);
    for (i64 j = 0; j < kf_in; ++j) kf_cols[static_cast<std::size_t>(j)] = j;

    StepPlan plans[kSteps] = {
        {trova_mc_payload_runner, &pay, 0, sim_arena, 0, 1, {}},
        {trova_mc_simulate_order1_runner, &sim_ctx, sim_in, sim_out, 0, 1,
         {copy(0, 0, sim_arena, 1, sim_cols.data(), sim_arena, 0, sim_arena)}},
        {trova_mc_filter_linear_runner, &kf_ctx, kf_lane, kf_out, 0, 1, {}},
        {trova_mc_diff_runner, &diff_ctx, diff_in, nd * kN, 0, 1,
         {copy(1, states_at, kN, kT, columns({0, 1}, cap), 2, 0, kN)}},
        {trova_mc_ols_runner, &ols_ctx, ols_work.n_float, trova_mc_regression_output_offsets(p, 1, nullptr),
         ols_work.n_int, 1, {}},
        {trova_mc_ljung_box_test_runner, &lb_ctx, lb_in, 1, 0, 1,
         {copy(2, kfo.std_innov, kM, kT, columns({0}, cap), 1, 0, 1)}},
    };
    trova_mc_float_input_binding kf_static_b = copy(-2, 0, kf_in, 1, kf_cols.data(), kf_in, 0, kf_in);
    kf_static_b.static_source = kf_static.data();
    plans[2].bindings = {kf_static_b, copy(1, obs_at, kM, kT, columns({0}, cap), 1, ko.y, kM)};
    trova_mc_float_input_binding ones{};
    ones.source_step_idx = -1;
    ones.n_rows = nd;
    ones.n_columns = 1;
    ones.target_offset = X_at;
    ones.target_row_stride = p;
    ones.fill_value = 1.0;
    plans[4].bindings = {ones, copy(3, 0, kN, nd, columns({1}, cap), 1, X_at + 1, p),
                         copy(3, 0, kN, nd, columns({0}, cap), 1, y_at, 1)};

    // ---- perturbations of the bindings ----
    const int n_mutations = in.ConsumeIntegralInRange<int>(0, 4);
    for (int k = 0; k < n_mutations; ++k) {
        StepPlan& sp = plans[in.ConsumeIntegralInRange<int>(1, kSteps - 1)];
        if (sp.bindings.empty()) continue;
        trova_mc_float_input_binding& b =
            sp.bindings[in.ConsumeIntegralInRange<std::size_t>(0, sp.bindings.size() - 1)];
        const trova_mc_float_input_binding before = b;
        const i64 v = in.ConsumeBool() ? edgy_i64(in) : in.ConsumeIntegralInRange<i64>(-3, 40);
        switch (in.ConsumeIntegralInRange<int>(0, 13)) {
            case 0: b.source_step_idx = in.ConsumeIntegralInRange<i64>(-3, kSteps); break;
            case 1: b.source_offset = v; break;
            case 2: b.source_row_stride = v; break;
            case 3: b.row_start = v; break;
            case 4: b.n_rows = v; break;
            case 5: b.n_columns = v; break;
            case 6: b.target_offset = v; break;
            case 7: b.target_row_stride = v; break;
            case 8: b.fill_value = edgy_f64(in); break;
            case 9: b.static_rep_stride = v; break;
            case 10: b.static_batched = in.ConsumeBool(); break;
            case 11: b.columns = in.ConsumeBool() ? nullptr : b.columns; break;
            case 12:
                if (b.columns != nullptr && b.n_columns > 0)
                    const_cast<i64*>(b.columns)[in.ConsumeIntegralInRange<i64>(0, std::min(b.n_columns, cap) - 1)] = v;
                break;
            default: b.static_source = in.ConsumeBool() ? nullptr : kf_static.data(); break;
        }
        // Static sources are trusted: keep reads inside the static array.
        const i64 len = b.static_source == kf_static.data() ? kf_in : 0;
        if (!static_read_fits(b, n_rep, len)) b = before;
    }

    // ---- buffers: every lane of every worker, result rows, failure arrays ----
    i64 slack[4];
    for (i64& s : slack) s = in.ConsumeIntegralInRange<i64>(0, 3);
    std::deque<Guarded<f64>> fbufs;
    std::deque<Guarded<i64>> ibufs;
    std::vector<std::vector<i64>> rows(kSteps);
    std::vector<Wrapped> wraps(kSteps);
    Guarded<i64> log(n_rep * kSteps, kNotCalled);
    std::vector<trova_mc_step_desc> descs(kSteps);
    for (i64 s = 0; s < kSteps; ++s) {
        StepPlan& sp = plans[s];
        trova_mc_step_desc& d = descs[static_cast<std::size_t>(s)];
        d.float_in_work_worker_stride = sp.in == 0 ? 0 : sp.in + slack[0];
        d.float_live_out_worker_stride = sp.out + slack[1];
        d.int_in_work_worker_stride = sp.int_work == 0 ? 0 : sp.int_work + slack[2];
        d.int_live_out_worker_stride = sp.int_out + slack[3];
        d.float_retained_stride = d.float_live_out_worker_stride;
        d.int_retained_stride = d.int_live_out_worker_stride;
        d.float_in_work = fbufs.emplace_back(n_workers * d.float_in_work_worker_stride, -7.0).data();
        d.float_live_out = fbufs.emplace_back(n_workers * d.float_live_out_worker_stride, -7.0).data();
        d.int_in_work = ibufs.emplace_back(n_workers * d.int_in_work_worker_stride, -7).data();
        d.int_live_out = ibufs.emplace_back(n_workers * d.int_live_out_worker_stride, -7).data();
        d.float_retained = fbufs.emplace_back(n_rep * d.float_retained_stride, -3.0).data();
        d.int_retained = ibufs.emplace_back(n_rep * d.int_retained_stride, -3).data();
        // Result rows: a rotation of the replications, some not kept.
        rows[static_cast<std::size_t>(s)].resize(static_cast<std::size_t>(n_rep));
        const i64 shift = in.ConsumeIntegralInRange<i64>(0, n_rep - 1);
        for (i64 i = 0; i < n_rep; ++i)
            rows[static_cast<std::size_t>(s)][static_cast<std::size_t>(i)] =
                in.ConsumeIntegralInRange<int>(0, 7) == 0 ? -1 : (i + shift) % n_rep;
        d.retained_row_by_rep = rows[static_cast<std::size_t>(s)].data();
        wraps[static_cast<std::size_t>(s)] = {sp.fn, sp.ctx, s, kSteps, log.data()};
        d.fn = wrapped_step;
        d.ctx = &wraps[static_cast<std::size_t>(s)];
        d.float_input_bindings = sp.bindings.empty() ? nullptr : sp.bindings.data();
        d.n_float_input_bindings = static_cast<i64>(sp.bindings.size());
    }
    Guarded<i64> fail_step(n_rep, kUntouched), fail_status(n_rep, kUntouched);
    Guarded<f64> elapsed(n_workers * kSteps, -1.0);
    Guarded<i64> counts(n_workers * kSteps, -1), failures(n_workers * kSteps, -1);
    trova_mc_runner_ctx ctx{};
    ctx.steps = descs.data();
    ctx.n_steps = kSteps;
    ctx.n_rep = n_rep;
    ctx.n_workers = n_workers;
    ctx.fail_fast = in.ConsumeBool();
    ctx.failure_step_by_rep = fail_step.data();
    ctx.failure_status_by_rep = fail_status.data();
    ctx.profile_steps = in.ConsumeBool();
    ctx.step_elapsed_s_by_worker = elapsed.data();
    ctx.step_counts_by_worker = counts.data();
    ctx.step_failures_by_worker = failures.data();

    // ---- perturbations of the descriptors and the context (the runner
    // must reject these before it writes anything) ----
    if (in.ConsumeIntegralInRange<int>(0, 5) == 0) {
        trova_mc_step_desc& d = descs[in.ConsumeIntegralInRange<std::size_t>(0, kSteps - 1)];
        switch (in.ConsumeIntegralInRange<int>(0, 12)) {
            case 0: d.fn = nullptr; break;
            case 1: d.retained_row_by_rep = nullptr; break;
            case 2: d.float_retained_stride += 1; break;
            case 3: d.int_retained_stride = -1; break;
            case 4: d.float_in_work_worker_stride = -in.ConsumeIntegralInRange<i64>(1, 5); break;
            case 5: d.int_in_work_worker_stride = -1; break;
            case 6: d.n_float_input_bindings = -1; break;
            case 7: d.float_input_bindings = d.n_float_input_bindings > 0 ? nullptr : d.float_input_bindings; break;
            case 8: d.float_in_work = d.float_in_work_worker_stride != 0 ? nullptr : d.float_in_work; break;
            case 9: d.float_live_out = nullptr; break;
            case 10: d.int_live_out = nullptr; break;
            case 11: d.float_retained = nullptr; break;
            default: d.int_retained = nullptr; break;
        }
    }
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: ctx.n_rep = in.ConsumeIntegralInRange<i64>(INT64_MIN, 0); break;
            case 1: ctx.n_workers = in.ConsumeBool() ? 0 : i64{INT32_MAX} + in.ConsumeIntegralInRange<i64>(1, 9); break;
            case 2: ctx.n_steps = in.ConsumeIntegralInRange<i64>(-2, 0); break;
            case 3: ctx.failure_step_by_rep = nullptr; break;
            case 4: ctx.failure_status_by_rep = nullptr; break;
            case 5: ctx.steps = nullptr; break;
            case 6:
                ctx.profile_steps = 1;
                ctx.step_counts_by_worker = nullptr;
                break;
            default: ctx.n_steps = in.ConsumeIntegralInRange<i64>(1, kSteps - 1); break;  // a valid prefix
        }
    }

    char reason[256];
    const int verdict = trova_mc_check_runner(&ctx, reason, sizeof reason);
    TROVA_FUZZ_CHECK(verdict == 0 || verdict == -1 || verdict == -2, verdict);
    TROVA_FUZZ_CHECK((verdict == 0) == (reason[0] == '\0'), verdict);
    long long bad_step = -1;
    if (verdict == -2) TROVA_FUZZ_CHECK(std::sscanf(reason, "step %lld", &bad_step) == 1, verdict);

    const int rc = trova_mc_run(&ctx);
    if (verdict == -1) {
        // Rejected: nothing written.
        TROVA_FUZZ_CHECK(rc == -1, rc);
        for (i64 i = 0; i < n_rep; ++i) {
            TROVA_FUZZ_CHECK(fail_step[static_cast<std::size_t>(i)] == kUntouched, i);
            TROVA_FUZZ_CHECK(fail_status[static_cast<std::size_t>(i)] == kUntouched, i);
        }
        for (i64 k = 0; k < n_rep * kSteps; ++k) TROVA_FUZZ_CHECK(log[static_cast<std::size_t>(k)] == kNotCalled, k);
        return 0;
    }
    TROVA_FUZZ_CHECK(rc == 0 || rc == 1, rc);
    TROVA_FUZZ_CHECK(rc == 0 || ctx.fail_fast, rc);
    const i64 steps_run = ctx.n_steps;
    bool any_failure = false;
    for (i64 i = 0; i < n_rep; ++i) {
        const i64 fs = fail_step[static_cast<std::size_t>(i)], st = fail_status[static_cast<std::size_t>(i)];
        const i64* called = &log[static_cast<std::size_t>(i * kSteps)];
        if (fs == kSentinel) {
            // Never started: only after a fail-fast halt.
            TROVA_FUZZ_CHECK(rc == 1 && st == kSentinel, i, st);
            for (i64 s = 0; s < kSteps; ++s) TROVA_FUZZ_CHECK(called[s] == kNotCalled, i, s);
            continue;
        }
        const i64 last = fs == -1 ? steps_run : fs;  // steps before `last` ran and succeeded
        TROVA_FUZZ_CHECK(fs >= -1 && fs < steps_run, i, fs);
        for (i64 s = 0; s < last; ++s) TROVA_FUZZ_CHECK(called[s] == 0, i, s);
        for (i64 s = last + 1; s < kSteps; ++s) TROVA_FUZZ_CHECK(called[s] == kNotCalled, i, s);
        // A rejected binding fails every replication that reaches its step.
        if (verdict == -2) TROVA_FUZZ_CHECK(fs != -1 && fs <= bad_step, i, fs);
        if (fs == -1) {
            TROVA_FUZZ_CHECK(st == 0, i, st);
            continue;
        }
        any_failure = true;
        if (called[fs] == kNotCalled) {
            // Materialisation failure: the binding the checker names.
            TROVA_FUZZ_CHECK(st == -1, i, st);
            TROVA_FUZZ_CHECK(verdict == -2 && fs == bad_step, fs, bad_step);
        } else {
            TROVA_FUZZ_CHECK(st == called[fs] && st != 0, st, called[fs]);
        }
        // Every kept row of an incomplete replication is a sentinel row.
        for (i64 s = 0; s < steps_run; ++s) {
            const trova_mc_step_desc& d = descs[static_cast<std::size_t>(s)];
            const i64 row = d.retained_row_by_rep[i];
            if (row < 0) continue;
            for (i64 e = 0; e < d.float_retained_stride; ++e) {
                u64 bits;
                std::memcpy(&bits, d.float_retained + row * d.float_retained_stride + e, sizeof bits);
                TROVA_FUZZ_CHECK(bits == 0x7FF8000000000000ULL, s, e);
            }
            for (i64 e = 0; e < d.int_retained_stride; ++e)
                TROVA_FUZZ_CHECK(d.int_retained[row * d.int_retained_stride + e] == kSentinel, s, e);
        }
    }
    if (rc == 1) {
        TROVA_FUZZ_CHECK(ctx.halt == 1 && any_failure, ctx.halt);
        const trova_mc_failure h = ctx.halt_failure;
        TROVA_FUZZ_CHECK(h.rep_idx >= 0 && h.rep_idx < n_rep, h.rep_idx);
        TROVA_FUZZ_CHECK(fail_step[static_cast<std::size_t>(h.rep_idx)] == h.step_idx, h.step_idx);
        TROVA_FUZZ_CHECK(fail_status[static_cast<std::size_t>(h.rep_idx)] == h.status, h.status);
    } else {
        TROVA_FUZZ_CHECK(!ctx.fail_fast || !any_failure, any_failure);
    }
    if (ctx.profile_steps) {
        // Counts per step: the replications that reached it; failures: those
        // that failed there.
        for (i64 s = 0; s < steps_run; ++s) {
            i64 reached = 0, failed = 0, counted = 0, counted_failed = 0;
            for (i64 i = 0; i < n_rep; ++i) {
                const i64 fs = fail_step[static_cast<std::size_t>(i)];
                reached += fs == -1 || (fs != kSentinel && fs >= s);
                failed += fs == s;
            }
            for (i64 w = 0; w < n_workers; ++w) {
                counted += counts[static_cast<std::size_t>(w * steps_run + s)];
                counted_failed += failures[static_cast<std::size_t>(w * steps_run + s)];
            }
            TROVA_FUZZ_CHECK(counted == reached && counted_failed == failed, counted, reached);
        }
    }
    return 0;
}
