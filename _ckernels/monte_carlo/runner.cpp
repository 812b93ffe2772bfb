// Replication runner: executes a compiled pipeline of steps once per Monte
// Carlo replication over one OpenMP team, with input bindings, step-by-step
// retention, per-replication failure records, fail-fast halting, optional
// profiling and sanitisation of replications that did not complete; and the
// check of a context that runs nothing and says which rule it breaks.
//
// The success path allocates nothing and takes no lock: every buffer is the
// caller's and a worker's lane is reached by one multiplication.

#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "_common/layout.h"
#include "_common/nan.h"
#include "trova_mc.h"

namespace {

constexpr i64 kNeverStarted = std::numeric_limits<i64>::min();
using trova::quiet_nan;

f64* worker_float_lane(f64* base, i64 stride, i64 worker) {
    return stride > 0 ? base + worker * stride : nullptr;
}

i64* worker_int_lane(i64* base, i64 stride, i64 worker) {
    return stride > 0 ? base + worker * stride : nullptr;
}

// ---- rules of a runner context ----
// Each rule that trova_mc_run and input materialisation apply exists once,
// as a check below returning the rule a context breaks (with the numbers
// involved) instead of a bare verdict. The run and the binding copy act on
// the verdict; trova_mc_check_runner turns the same finding into text.

enum class Rule {
    ok,
    // The run's own fields.
    runner_null,
    steps_null,
    failure_step_null,
    failure_status_null,
    n_steps_below_one,
    n_rep_below_one,
    n_workers_out_of_range,
    elapsed_null,
    counts_null,
    failures_null,
    // A step descriptor.
    fn_null,
    rows_null,
    float_retained_differs,
    int_retained_differs,
    float_retained_negative,
    int_retained_negative,
    float_in_work_negative,
    int_in_work_negative,
    n_bindings_negative,
    bindings_null,
    float_retained_base_null,
    int_retained_base_null,
    float_in_work_base_null,
    int_in_work_base_null,
    float_live_out_base_null,
    int_live_out_base_null,
    // A binding.
    n_rows_negative,
    n_columns_negative,
    target_offset_negative,
    n_columns_above_target_stride,
    target_end_overflows,
    target_past_lane,
    source_offset_negative,
    source_row_stride_not_positive,
    row_start_negative,
    columns_null,
    column_outside_row,
    static_source_null,
    static_rep_stride_negative,
    source_not_earlier,
    source_read_overflows,
    source_past_lane,
};

// A broken rule, the step it was found in (-1 for the run's own fields) and
// up to three numbers that show how it is broken.
struct Finding {
    Rule rule = Rule::ok;
    i64 step = -1;
    i64 a = 0, b = 0, c = 0;
    explicit operator bool() const { return rule != Rule::ok; }
};

Finding broken(Rule rule, i64 a = 0, i64 b = 0, i64 c = 0) { return Finding{rule, -1, a, b, c}; }

Finding step_finding(const trova_mc_step_desc& st) {
    if (st.fn == nullptr) return broken(Rule::fn_null);
    if (st.retained_row_by_rep == nullptr) return broken(Rule::rows_null);
    if (st.float_retained_stride != st.float_live_out_worker_stride)
        return broken(Rule::float_retained_differs, st.float_retained_stride, st.float_live_out_worker_stride);
    if (st.int_retained_stride != st.int_live_out_worker_stride)
        return broken(Rule::int_retained_differs, st.int_retained_stride, st.int_live_out_worker_stride);
    if (st.float_retained_stride < 0) return broken(Rule::float_retained_negative, st.float_retained_stride);
    if (st.int_retained_stride < 0) return broken(Rule::int_retained_negative, st.int_retained_stride);
    if (st.float_in_work_worker_stride < 0)
        return broken(Rule::float_in_work_negative, st.float_in_work_worker_stride);
    if (st.int_in_work_worker_stride < 0) return broken(Rule::int_in_work_negative, st.int_in_work_worker_stride);
    if (st.n_float_input_bindings < 0) return broken(Rule::n_bindings_negative, st.n_float_input_bindings);
    if (st.n_float_input_bindings > 0 && st.float_input_bindings == nullptr)
        return broken(Rule::bindings_null, st.n_float_input_bindings);
    // A buffer that has lanes must have a base.
    if (st.float_retained_stride != 0 && st.float_retained == nullptr)
        return broken(Rule::float_retained_base_null, st.float_retained_stride);
    if (st.int_retained_stride != 0 && st.int_retained == nullptr)
        return broken(Rule::int_retained_base_null, st.int_retained_stride);
    if (st.float_in_work_worker_stride != 0 && st.float_in_work == nullptr)
        return broken(Rule::float_in_work_base_null, st.float_in_work_worker_stride);
    if (st.int_in_work_worker_stride != 0 && st.int_in_work == nullptr)
        return broken(Rule::int_in_work_base_null, st.int_in_work_worker_stride);
    if (st.float_live_out_worker_stride != 0 && st.float_live_out == nullptr)
        return broken(Rule::float_live_out_base_null, st.float_live_out_worker_stride);
    if (st.int_live_out_worker_stride != 0 && st.int_live_out == nullptr)
        return broken(Rule::int_live_out_base_null, st.int_live_out_worker_stride);
    return {};
}

// The checks trova_mc_run makes before it writes anything.
Finding runner_finding(const trova_mc_runner_ctx* r) {
    if (r == nullptr) return broken(Rule::runner_null);
    if (r->steps == nullptr) return broken(Rule::steps_null);
    if (r->failure_step_by_rep == nullptr) return broken(Rule::failure_step_null);
    if (r->failure_status_by_rep == nullptr) return broken(Rule::failure_status_null);
    if (r->n_steps < 1) return broken(Rule::n_steps_below_one, r->n_steps);
    if (r->n_rep < 1) return broken(Rule::n_rep_below_one, r->n_rep);
    if (r->n_workers < 1 || r->n_workers > 2147483647) return broken(Rule::n_workers_out_of_range, r->n_workers);
    if (r->profile_steps) {
        if (r->step_elapsed_s_by_worker == nullptr) return broken(Rule::elapsed_null);
        if (r->step_counts_by_worker == nullptr) return broken(Rule::counts_null);
        if (r->step_failures_by_worker == nullptr) return broken(Rule::failures_null);
    }
    for (i64 s = 0; s < r->n_steps; ++s) {
        Finding f = step_finding(r->steps[s]);
        if (f) {
            f.step = s;
            return f;
        }
    }
    return {};
}

void initialize_run_state(trova_mc_runner_ctx* r) {
    r->halt = 0;
    r->halt_failure.rep_idx = -1;
    r->halt_failure.step_idx = -1;
    r->halt_failure.status = 0;
    for (i64 i = 0; i < r->n_rep; ++i) {
        r->failure_step_by_rep[i] = kNeverStarted;
        r->failure_status_by_rep[i] = kNeverStarted;
    }
    if (r->profile_steps) {
        const i64 cells = r->n_workers * r->n_steps;
        for (i64 k = 0; k < cells; ++k) {
            r->step_elapsed_s_by_worker[k] = 0.0;
            r->step_counts_by_worker[k] = 0;
            r->step_failures_by_worker[k] = 0;
        }
    }
}

bool halt_requested(const trova_mc_runner_ctx* r) {
    i64 h;
#pragma omp critical(trova_mc_halt)
    h = r->halt;
    return h != 0;
}

void record_halt(trova_mc_runner_ctx* r, i64 rep, i64 step, int status) {
#pragma omp critical(trova_mc_halt)
    {
        if (r->halt == 0) {
            r->halt = 1;
            r->halt_failure.rep_idx = rep;
            r->halt_failure.step_idx = step;
            r->halt_failure.status = status;
        }
    }
}

// a + b * c without signed overflow; false when the result is not representable.
bool add_mul(i64 a, i64 b, i64 c, i64* out) {
    i64 prod;
    return !__builtin_mul_overflow(b, c, &prod) && !__builtin_add_overflow(a, prod, out);
}

// Where the binding checks send a broken rule. Materialisation only needs
// to know that one is broken, so its reporter keeps nothing and the checks
// compile to plain tests; the context check records the rule and numbers.
struct Reject {
    bool operator()(Rule, i64 = 0, i64 = 0, i64 = 0) const { return false; }
};
struct Record {
    Finding finding;
    bool operator()(Rule rule, i64 a = 0, i64 b = 0, i64 c = 0) {
        finding = broken(rule, a, b, c);
        return false;
    }
};

// Checks one binding of step `step` against a float input lane of
// `lane_len` elements and, with kApply, applies it to worker `worker`'s
// lane for the replication at position `pos` of the run's range (a batched
// static source holds one block per position). Returns false when the
// binding breaks a rule, after handing the rule to `report`; the step is
// then not called. The
// checks do not depend on the replication or the worker (a batched static
// source only needs a non-negative replication stride), so without kApply
// they check a context once, touching no lane.
template <bool kApply, class Report>
bool visit_binding(const trova_mc_float_input_binding& b, const trova_mc_step_desc* steps, i64 step, i64 pos,
                   i64 worker, f64* lane, i64 lane_len, Report& report) {
    if (b.n_rows < 0) return report(Rule::n_rows_negative, b.n_rows);
    if (b.n_columns < 0) return report(Rule::n_columns_negative, b.n_columns);
    if (b.target_offset < 0) return report(Rule::target_offset_negative, b.target_offset);
    if (b.n_columns > b.target_row_stride)
        return report(Rule::n_columns_above_target_stride, b.n_columns, b.target_row_stride);
    if (b.n_rows == 0) return true;
    // The last target row must end inside the lane.
    i64 target_end;
    if (!add_mul(b.target_offset, b.n_rows - 1, b.target_row_stride, &target_end) ||
        __builtin_add_overflow(target_end, b.n_columns, &target_end))
        return report(Rule::target_end_overflows);
    if (target_end > lane_len) return report(Rule::target_past_lane, target_end, lane_len);
    if (b.n_columns == 0) return true;

    const i64 nr = b.n_rows, nc = b.n_columns, trs = b.target_row_stride;
    if (b.source_step_idx == -1) {
        if constexpr (kApply) {
            f64* target = lane + b.target_offset;
            const f64 v = b.fill_value;
            for (i64 l = 0; l < nr; ++l)
                for (i64 m = 0; m < nc; ++m) target[l * trs + m] = v;
        }
        return true;
    }

    const i64 srs = b.source_row_stride;
    if (b.source_offset < 0) return report(Rule::source_offset_negative, b.source_offset);
    if (srs <= 0) return report(Rule::source_row_stride_not_positive, srs);
    if (b.row_start < 0) return report(Rule::row_start_negative, b.row_start);
    if (b.columns == nullptr) return report(Rule::columns_null);

    // Every column index must lie inside a source row. Checking them all
    // before copying keeps the copy loop free of branches and tells whether
    // the columns form one contiguous run, which is then copied row by row.
    const i64* cols = b.columns;
    i64 max_col = -1;
    bool contiguous = true;
    for (i64 m = 0; m < nc; ++m) {
        const i64 c = cols[m];
        if (c < 0 || c >= srs) return report(Rule::column_outside_row, m, c, srs);
        if (c > max_col) max_col = c;
        contiguous = contiguous && c == cols[0] + m;
    }

    const f64* base = nullptr;
    if (b.source_step_idx <= -2) {
        // Static caller data carries no length and is trusted.
        if (b.static_source == nullptr) return report(Rule::static_source_null);
        if (b.static_rep_stride < 0) return report(Rule::static_rep_stride_negative, b.static_rep_stride);
        if constexpr (kApply) {
            base = b.static_source + b.source_offset;
            if (b.static_batched) base += pos * b.static_rep_stride;
        }
    } else {
        if (b.source_step_idx >= step) return report(Rule::source_not_earlier, b.source_step_idx);
        const trova_mc_step_desc& src = steps[b.source_step_idx];
        const i64 src_len = src.float_live_out_worker_stride;
        // Reject any read past the end of the source lane: the last element
        // copied is the largest column of the last row.
        i64 last_row, last_read;
        if (__builtin_add_overflow(b.row_start, nr - 1, &last_row) ||
            !add_mul(b.source_offset, last_row, srs, &last_read) ||
            __builtin_add_overflow(last_read, max_col, &last_read))
            return report(Rule::source_read_overflows);
        if (last_read >= src_len) return report(Rule::source_past_lane, last_read, src_len, b.source_step_idx);
        if constexpr (kApply) base = worker_float_lane(src.float_live_out, src_len, worker) + b.source_offset;
    }
    if constexpr (!kApply) return true;

    f64* target = lane + b.target_offset;
    const f64* src_row = base + b.row_start * srs;
    if (contiguous) {
        const f64* first = src_row + cols[0];
        if (trs == nc && srs == nc) {
            std::memcpy(target, first, static_cast<std::size_t>(nr * nc) * sizeof(f64));
        } else {
            for (i64 l = 0; l < nr; ++l)
                std::memcpy(target + l * trs, first + l * srs,
                            static_cast<std::size_t>(nc) * sizeof(f64));
        }
        return true;
    }
    for (i64 l = 0; l < nr; ++l) {
        const f64* s = src_row + l * srs;
        f64* t = target + l * trs;
        for (i64 m = 0; m < nc; ++m) t[m] = s[cols[m]];
    }
    return true;
}

bool materialize_step_inputs(const trova_mc_step_desc* steps, i64 step, i64 pos, i64 worker) {
    const trova_mc_step_desc& st = steps[step];
    if (st.n_float_input_bindings == 0) return true;
    const i64 lane_len = st.float_in_work_worker_stride;
    f64* lane = worker_float_lane(st.float_in_work, lane_len, worker);
    // A binding may write anywhere in the lane, the gaps of the layout the
    // step carved there last time included: they are reopened here and
    // poisoned again when the step carves the lane.
    trova::layout::reopen(lane, lane_len);
    Reject reject;
    for (i64 k = 0; k < st.n_float_input_bindings; ++k)
        if (!visit_binding<true>(st.float_input_bindings[k], steps, step, pos, worker, lane, lane_len, reject))
            return false;
    return true;
}

void retain_step_output(const trova_mc_step_desc& st, i64 pos, i64 worker) {
    const i64 nf = st.float_retained_stride, ni = st.int_retained_stride;
    // A result row is a copy of the whole lane, and a later step's binding
    // may read any element of it, gaps of a carved output layout included:
    // the step is done with the lane, so they are reopened whether or not
    // the replication keeps a row.
    trova::layout::reopen(worker_float_lane(st.float_live_out, nf, worker), nf);
    const i64 row = st.retained_row_by_rep[pos];
    if (row < 0) return;
    if (nf > 0) {
        std::memcpy(st.float_retained + row * nf, worker_float_lane(st.float_live_out, nf, worker),
                    static_cast<std::size_t>(nf) * sizeof(f64));
    }
    if (ni > 0)
        std::memcpy(st.int_retained + row * ni, worker_int_lane(st.int_live_out, ni, worker),
                    static_cast<std::size_t>(ni) * sizeof(i64));
}

void sanitize_replication(const trova_mc_runner_ctx* r, i64 pos) {
    const f64 nan = quiet_nan();
    for (i64 s = 0; s < r->n_steps; ++s) {
        const trova_mc_step_desc& st = r->steps[s];
        const i64 row = st.retained_row_by_rep[pos];
        if (row < 0) continue;
        const i64 nf = st.float_retained_stride, ni = st.int_retained_stride;
        for (i64 k = 0; k < nf; ++k) st.float_retained[row * nf + k] = nan;
        for (i64 k = 0; k < ni; ++k) st.int_retained[row * ni + k] = kNeverStarted;
    }
}

// Runs the steps of the replication at position `pos` of the run's range on
// `worker` in order, up to the first failure, and records the outcome. The
// steps and the halt record see its global index first_rep + pos; every
// per-replication array of the context and its bindings is indexed by pos.
void run_replication(trova_mc_runner_ctx* r, i64 pos, i64 first_rep, i64 worker) {
    const i64 rep = first_rep + pos;
    const trova_mc_step_desc* steps = r->steps;
    const bool profile = r->profile_steps != 0;
    for (i64 s = 0; s < r->n_steps; ++s) {
        const trova_mc_step_desc& st = steps[s];
        const f64 t0 = profile ? omp_get_wtime() : 0.0;
        int status = -1;
        if (materialize_step_inputs(steps, s, pos, worker)) {
            status = st.fn(rep,
                           worker_float_lane(st.float_in_work, st.float_in_work_worker_stride, worker),
                           worker_float_lane(st.float_live_out, st.float_live_out_worker_stride, worker),
                           worker_int_lane(st.int_in_work, st.int_in_work_worker_stride, worker),
                           worker_int_lane(st.int_live_out, st.int_live_out_worker_stride, worker),
                           st.ctx);
        }
        const i64 cell = worker * r->n_steps + s;
        if (status != 0) {
            if (profile) {
                r->step_elapsed_s_by_worker[cell] += omp_get_wtime() - t0;
                r->step_counts_by_worker[cell] += 1;
                r->step_failures_by_worker[cell] += 1;
            }
            r->failure_step_by_rep[pos] = s;
            r->failure_status_by_rep[pos] = status;
            if (r->fail_fast) record_halt(r, rep, s, status);
            return;
        }
        retain_step_output(st, pos, worker);
        if (profile) {
            r->step_elapsed_s_by_worker[cell] += omp_get_wtime() - t0;
            r->step_counts_by_worker[cell] += 1;
        }
    }
    r->failure_step_by_rep[pos] = -1;
    r->failure_status_by_rep[pos] = 0;
}

}  // namespace

extern "C" TROVA_API int trova_mc_run(trova_mc_runner_ctx* runner) { return trova_mc_run_range(runner, 0); }

extern "C" TROVA_API int trova_mc_run_range(trova_mc_runner_ctx* runner, i64 first_rep) {
    if (runner_finding(runner)) return -1;
    // The range's last global index, first_rep + n_rep - 1, must be an i64.
    if (first_rep < 0 || first_rep > std::numeric_limits<i64>::max() - (runner->n_rep - 1)) return -1;
    initialize_run_state(runner);

    const i64 n_rep = runner->n_rep;
    // Workers beyond the number of replications would receive none, and the
    // block split below gives the same replication-to-worker map either way,
    // so the team is not made larger than the work.
    const int team = static_cast<int>(runner->n_workers < n_rep ? runner->n_workers : n_rep);
    const bool fail_fast = runner->fail_fast != 0;

#pragma omp parallel num_threads(team)
    {
        // Contiguous static blocks: the first r workers take q + 1 replications.
        const i64 t = omp_get_num_threads();
        const i64 w = omp_get_thread_num();
        const i64 q = n_rep / t, rem = n_rep % t;
        const i64 begin = w < rem ? w * (q + 1) : w * q + rem;
        const i64 end = begin + (w < rem ? q + 1 : q);
        for (i64 i = begin; i < end; ++i) {
            if (fail_fast && halt_requested(runner)) continue;
            run_replication(runner, i, first_rep, w);
        }
    }

    for (i64 i = 0; i < n_rep; ++i)
        if (runner->failure_step_by_rep[i] != -1) sanitize_replication(runner, i);

    return halt_requested(runner) ? 1 : 0;
}

namespace {

// The text of a finding: the rule and its numbers, in the words of the
// record fields, for a caller to act on.
int describe(const Finding& f, char* buf, std::size_t len) {
    const long long a = f.a, b = f.b, c = f.c;
    switch (f.rule) {
        case Rule::ok: return std::snprintf(buf, len, "%s", "");
        case Rule::runner_null: return std::snprintf(buf, len, "runner is NULL");
        case Rule::steps_null: return std::snprintf(buf, len, "steps is NULL");
        case Rule::failure_step_null: return std::snprintf(buf, len, "failure_step_by_rep is NULL");
        case Rule::failure_status_null: return std::snprintf(buf, len, "failure_status_by_rep is NULL");
        case Rule::n_steps_below_one: return std::snprintf(buf, len, "n_steps is %lld, below 1", a);
        case Rule::n_rep_below_one: return std::snprintf(buf, len, "n_rep is %lld, below 1", a);
        case Rule::n_workers_out_of_range:
            return std::snprintf(buf, len, "n_workers is %lld, outside 1 .. 2147483647", a);
        case Rule::elapsed_null:
            return std::snprintf(buf, len, "profile_steps is set but step_elapsed_s_by_worker is NULL");
        case Rule::counts_null:
            return std::snprintf(buf, len, "profile_steps is set but step_counts_by_worker is NULL");
        case Rule::failures_null:
            return std::snprintf(buf, len, "profile_steps is set but step_failures_by_worker is NULL");
        case Rule::fn_null: return std::snprintf(buf, len, "fn is NULL");
        case Rule::rows_null: return std::snprintf(buf, len, "retained_row_by_rep is NULL");
        case Rule::float_retained_differs:
            return std::snprintf(buf, len, "float_retained_stride %lld differs from float_live_out_worker_stride %lld",
                                 a, b);
        case Rule::int_retained_differs:
            return std::snprintf(buf, len, "int_retained_stride %lld differs from int_live_out_worker_stride %lld", a,
                                 b);
        case Rule::float_retained_negative:
            return std::snprintf(buf, len, "float_retained_stride %lld is negative", a);
        case Rule::int_retained_negative: return std::snprintf(buf, len, "int_retained_stride %lld is negative", a);
        case Rule::float_in_work_negative:
            return std::snprintf(buf, len, "float_in_work_worker_stride %lld is negative", a);
        case Rule::int_in_work_negative:
            return std::snprintf(buf, len, "int_in_work_worker_stride %lld is negative", a);
        case Rule::n_bindings_negative:
            return std::snprintf(buf, len, "n_float_input_bindings %lld is negative", a);
        case Rule::bindings_null:
            return std::snprintf(buf, len, "float_input_bindings is NULL but n_float_input_bindings is %lld", a);
        case Rule::float_retained_base_null:
            return std::snprintf(buf, len, "float_retained is NULL but float_retained_stride is %lld", a);
        case Rule::int_retained_base_null:
            return std::snprintf(buf, len, "int_retained is NULL but int_retained_stride is %lld", a);
        case Rule::float_in_work_base_null:
            return std::snprintf(buf, len, "float_in_work is NULL but float_in_work_worker_stride is %lld", a);
        case Rule::int_in_work_base_null:
            return std::snprintf(buf, len, "int_in_work is NULL but int_in_work_worker_stride is %lld", a);
        case Rule::float_live_out_base_null:
            return std::snprintf(buf, len, "float_live_out is NULL but float_live_out_worker_stride is %lld", a);
        case Rule::int_live_out_base_null:
            return std::snprintf(buf, len, "int_live_out is NULL but int_live_out_worker_stride is %lld", a);
        case Rule::n_rows_negative: return std::snprintf(buf, len, "n_rows %lld is negative", a);
        case Rule::n_columns_negative: return std::snprintf(buf, len, "n_columns %lld is negative", a);
        case Rule::target_offset_negative: return std::snprintf(buf, len, "target_offset %lld is negative", a);
        case Rule::n_columns_above_target_stride:
            return std::snprintf(buf, len, "n_columns %lld exceeds target_row_stride %lld", a, b);
        case Rule::target_end_overflows:
            return std::snprintf(buf, len, "target block end does not fit in 64 bits");
        case Rule::target_past_lane:
            return std::snprintf(buf, len, "target block ends at element %lld, past the float input lane of %lld elements",
                                 a, b);
        case Rule::source_offset_negative: return std::snprintf(buf, len, "source_offset %lld is negative", a);
        case Rule::source_row_stride_not_positive:
            return std::snprintf(buf, len, "source_row_stride %lld is not positive", a);
        case Rule::row_start_negative: return std::snprintf(buf, len, "row_start %lld is negative", a);
        case Rule::columns_null: return std::snprintf(buf, len, "columns is NULL");
        case Rule::column_outside_row:
            return std::snprintf(buf, len, "columns[%lld] is %lld, outside a source row of %lld elements", a, b, c);
        case Rule::static_source_null: return std::snprintf(buf, len, "static source is NULL");
        case Rule::static_rep_stride_negative:
            return std::snprintf(buf, len, "static_rep_stride %lld is negative", a);
        case Rule::source_not_earlier:
            return std::snprintf(buf, len, "source_step_idx %lld is not an earlier step", a);
        case Rule::source_read_overflows:
            return std::snprintf(buf, len, "source read position does not fit in 64 bits");
        case Rule::source_past_lane:
            return std::snprintf(buf, len,
                                 "source read reaches element %lld, past step %lld's float live-output lane of %lld "
                                 "elements",
                                 a, c, b);
    }
    return 0;
}

// Writes "prefix: text of f" (or the empty string for no finding) into the
// caller's buffer, truncated to fit.
void write_reason(const Finding& f, i64 binding, char* reason, i64 reason_len) {
    if (reason == nullptr || reason_len <= 0) return;
    char text[320];
    int at = 0;
    if (f && f.step >= 0) {
        at = binding >= 0 ? std::snprintf(text, sizeof text, "step %lld binding %lld: ",
                                          static_cast<long long>(f.step), static_cast<long long>(binding))
                          : std::snprintf(text, sizeof text, "step %lld: ", static_cast<long long>(f.step));
    }
    describe(f, text + at, sizeof text - static_cast<std::size_t>(at));
    const std::size_t n = std::strlen(text);
    const std::size_t room = static_cast<std::size_t>(reason_len - 1);
    const std::size_t kept = n < room ? n : room;
    std::memcpy(reason, text, kept);
    reason[kept] = '\0';
}

}  // namespace

extern "C" TROVA_API int trova_mc_check_runner(const trova_mc_runner_ctx* runner, char* reason, i64 reason_len) {
    Finding f = runner_finding(runner);
    if (f) {
        write_reason(f, -1, reason, reason_len);
        return -1;
    }
    for (i64 s = 0; s < runner->n_steps; ++s) {
        const trova_mc_step_desc& st = runner->steps[s];
        for (i64 k = 0; k < st.n_float_input_bindings; ++k) {
            Record record;
            if (!visit_binding<false>(st.float_input_bindings[k], runner->steps, s, 0, 0, nullptr,
                                      st.float_in_work_worker_stride, record)) {
                record.finding.step = s;
                write_reason(record.finding, k, reason, reason_len);
                return -2;
            }
        }
    }
    write_reason(f, -1, reason, reason_len);
    return 0;
}

extern "C" TROVA_API i64 trova_layout_gap(void) { return trova::layout::kGap; }
