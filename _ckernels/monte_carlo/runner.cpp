// Replication runner: executes a compiled pipeline of steps once per Monte
// Carlo replication over one OpenMP team, with input bindings, step-by-step
// retention, per-replication failure records, fail-fast halting, optional
// profiling and sanitisation of replications that did not complete.
//
// The success path allocates nothing and takes no lock: every buffer is the
// caller's and a worker's lane is reached by one multiplication.

#include <omp.h>

#include <cstdint>
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

bool valid_step(const trova_mc_step_desc& st) {
    if (st.fn == nullptr || st.retained_row_by_rep == nullptr) return false;
    if (st.float_retained_stride != st.float_live_out_worker_stride) return false;
    if (st.int_retained_stride != st.int_live_out_worker_stride) return false;
    if (st.float_retained_stride < 0 || st.int_retained_stride < 0) return false;
    if (st.float_in_work_worker_stride < 0 || st.int_in_work_worker_stride < 0) return false;
    if (st.n_float_input_bindings < 0) return false;
    if (st.n_float_input_bindings > 0 && st.float_input_bindings == nullptr) return false;
    // A buffer that has lanes must have a base.
    if (st.float_retained_stride != 0 && st.float_retained == nullptr) return false;
    if (st.int_retained_stride != 0 && st.int_retained == nullptr) return false;
    if (st.float_in_work_worker_stride != 0 && st.float_in_work == nullptr) return false;
    if (st.int_in_work_worker_stride != 0 && st.int_in_work == nullptr) return false;
    if (st.float_live_out_worker_stride != 0 && st.float_live_out == nullptr) return false;
    if (st.int_live_out_worker_stride != 0 && st.int_live_out == nullptr) return false;
    return true;
}

bool valid_runner(const trova_mc_runner_ctx* r) {
    if (r == nullptr || r->steps == nullptr) return false;
    if (r->failure_step_by_rep == nullptr || r->failure_status_by_rep == nullptr) return false;
    if (r->n_steps < 1 || r->n_rep < 1) return false;
    if (r->n_workers < 1 || r->n_workers > 2147483647) return false;
    if (r->profile_steps && (r->step_elapsed_s_by_worker == nullptr ||
                             r->step_counts_by_worker == nullptr ||
                             r->step_failures_by_worker == nullptr))
        return false;
    for (i64 s = 0; s < r->n_steps; ++s)
        if (!valid_step(r->steps[s])) return false;
    return true;
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

// Applies one binding to a worker's float input lane of length `lane_len`.
// Returns false when the binding is rejected; the step is then not called.
bool apply_binding(const trova_mc_float_input_binding& b, const trova_mc_step_desc* steps,
                   i64 step, i64 rep, i64 worker, f64* lane, i64 lane_len) {
    if (b.n_rows < 0 || b.n_columns < 0 || b.target_offset < 0 ||
        b.n_columns > b.target_row_stride)
        return false;
    if (b.n_rows == 0) return true;
    // The last target row must end inside the lane.
    i64 target_end;
    if (!add_mul(b.target_offset, b.n_rows - 1, b.target_row_stride, &target_end) ||
        __builtin_add_overflow(target_end, b.n_columns, &target_end) || target_end > lane_len)
        return false;
    if (b.n_columns == 0) return true;

    const i64 nr = b.n_rows, nc = b.n_columns, trs = b.target_row_stride;
    f64* target = lane + b.target_offset;
    if (b.source_step_idx == -1) {
        const f64 v = b.fill_value;
        for (i64 l = 0; l < nr; ++l)
            for (i64 m = 0; m < nc; ++m) target[l * trs + m] = v;
        return true;
    }

    const i64 srs = b.source_row_stride;
    if (b.source_offset < 0 || srs <= 0 || b.row_start < 0 || b.columns == nullptr) return false;

    // Every column index must lie inside a source row. Checking them all before
    // copying keeps the copy loop free of branches and tells whether the
    // columns form one contiguous run, which is then copied row by row.
    const i64* cols = b.columns;
    i64 max_col = -1;
    bool contiguous = true;
    for (i64 m = 0; m < nc; ++m) {
        const i64 c = cols[m];
        if (c < 0 || c >= srs) return false;
        if (c > max_col) max_col = c;
        contiguous = contiguous && c == cols[0] + m;
    }

    const f64* base;
    if (b.source_step_idx <= -2) {
        // Static caller data carries no length and is trusted.
        if (b.static_source == nullptr || b.static_rep_stride < 0) return false;
        base = b.static_source + b.source_offset;
        if (b.static_batched) base += rep * b.static_rep_stride;
    } else {
        if (b.source_step_idx >= step) return false;  // only earlier steps
        const trova_mc_step_desc& src = steps[b.source_step_idx];
        const i64 src_len = src.float_live_out_worker_stride;
        // Reject any read past the end of the source lane: the last element
        // copied is the largest column of the last row.
        i64 last_row, last_read;
        if (__builtin_add_overflow(b.row_start, nr - 1, &last_row) ||
            !add_mul(b.source_offset, last_row, srs, &last_read) ||
            __builtin_add_overflow(last_read, max_col, &last_read) || last_read >= src_len)
            return false;
        base = worker_float_lane(src.float_live_out, src_len, worker) + b.source_offset;
    }

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

bool materialize_step_inputs(const trova_mc_step_desc* steps, i64 step, i64 rep, i64 worker) {
    const trova_mc_step_desc& st = steps[step];
    if (st.n_float_input_bindings == 0) return true;
    const i64 lane_len = st.float_in_work_worker_stride;
    f64* lane = worker_float_lane(st.float_in_work, lane_len, worker);
    for (i64 k = 0; k < st.n_float_input_bindings; ++k)
        if (!apply_binding(st.float_input_bindings[k], steps, step, rep, worker, lane, lane_len))
            return false;
    return true;
}

void retain_step_output(const trova_mc_step_desc& st, i64 rep, i64 worker) {
    const i64 row = st.retained_row_by_rep[rep];
    if (row < 0) return;
    const i64 nf = st.float_retained_stride, ni = st.int_retained_stride;
    if (nf > 0) {
        // A result row is a copy of the whole lane, gaps of a carved output
        // layout included: the step is done with it, so they are reopened.
        trova::layout::reopen(worker_float_lane(st.float_live_out, nf, worker), nf);
        std::memcpy(st.float_retained + row * nf, worker_float_lane(st.float_live_out, nf, worker),
                    static_cast<std::size_t>(nf) * sizeof(f64));
    }
    if (ni > 0)
        std::memcpy(st.int_retained + row * ni, worker_int_lane(st.int_live_out, ni, worker),
                    static_cast<std::size_t>(ni) * sizeof(i64));
}

void sanitize_replication(const trova_mc_runner_ctx* r, i64 rep) {
    const f64 nan = quiet_nan();
    for (i64 s = 0; s < r->n_steps; ++s) {
        const trova_mc_step_desc& st = r->steps[s];
        const i64 row = st.retained_row_by_rep[rep];
        if (row < 0) continue;
        const i64 nf = st.float_retained_stride, ni = st.int_retained_stride;
        for (i64 k = 0; k < nf; ++k) st.float_retained[row * nf + k] = nan;
        for (i64 k = 0; k < ni; ++k) st.int_retained[row * ni + k] = kNeverStarted;
    }
}

// Runs the steps of replication `rep` on `worker` in order, up to the first
// failure, and records the outcome.
void run_replication(trova_mc_runner_ctx* r, i64 rep, i64 worker) {
    const trova_mc_step_desc* steps = r->steps;
    const bool profile = r->profile_steps != 0;
    for (i64 s = 0; s < r->n_steps; ++s) {
        const trova_mc_step_desc& st = steps[s];
        const f64 t0 = profile ? omp_get_wtime() : 0.0;
        int status = -1;
        if (materialize_step_inputs(steps, s, rep, worker)) {
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
            r->failure_step_by_rep[rep] = s;
            r->failure_status_by_rep[rep] = status;
            if (r->fail_fast) record_halt(r, rep, s, status);
            return;
        }
        retain_step_output(st, rep, worker);
        if (profile) {
            r->step_elapsed_s_by_worker[cell] += omp_get_wtime() - t0;
            r->step_counts_by_worker[cell] += 1;
        }
    }
    r->failure_step_by_rep[rep] = -1;
    r->failure_status_by_rep[rep] = 0;
}

}  // namespace

extern "C" TROVA_API int trova_mc_run(trova_mc_runner_ctx* runner) {
    if (!valid_runner(runner)) return -1;
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
            run_replication(runner, i, w);
        }
    }

    for (i64 i = 0; i < n_rep; ++i)
        if (runner->failure_step_by_rep[i] != -1) sanitize_replication(runner, i);

    return halt_requested(runner) ? 1 : 0;
}

extern "C" TROVA_API i64 trova_layout_gap(void) { return trova::layout::kGap; }
