// Test and benchmark helper: owns every buffer of a pipeline and fills the
// runner's records, so that a test only states its steps and bindings.
#ifndef TROVA_TESTS_PIPELINE_BUILDER_H
#define TROVA_TESTS_PIPELINE_BUILDER_H

#include <cstring>
#include <deque>
#include <limits>
#include <vector>

#include "trova_mc.h"

namespace trova_test {

constexpr i64 kIntSentinel = std::numeric_limits<i64>::min();

// Lane lengths of one step: float input/work, float live output, integer work,
// integer live output.
struct Lanes {
    i64 in = 0, out = 0, int_work = 0, int_out = 0;
};

// One library step of a table of steps: its runner, context, arena size and
// the rows it writes.
struct StepEntry {
    trova_mc_step_fn fn;
    const void* ctx;
    arena_size size;
    i64 rows;
};

class Pipeline {
public:
    Pipeline(i64 n_rep, i64 n_workers) : n_rep_(n_rep), n_workers_(n_workers) {}

    // Adds a step whose output is retained for every replication at row =
    // replication index. Lanes are pre-filled with `lane_fill` so that tests
    // can tell untouched lanes apart.
    i64 add_step(trova_mc_step_fn fn, const void* ctx, Lanes lanes, f64 lane_fill = -7.0) {
        Step& s = steps_.emplace_back();
        s.lanes = lanes;
        s.in_work.assign(static_cast<std::size_t>(n_workers_ * lanes.in), lane_fill);
        s.live_out.assign(static_cast<std::size_t>(n_workers_ * lanes.out), lane_fill);
        s.int_work.assign(static_cast<std::size_t>(n_workers_ * lanes.int_work), -7);
        s.int_live.assign(static_cast<std::size_t>(n_workers_ * lanes.int_out), -7);
        s.retained.assign(static_cast<std::size_t>(n_rep_ * lanes.out), -3.0);
        s.int_retained.assign(static_cast<std::size_t>(n_rep_ * lanes.int_out), -3);
        s.rows.resize(static_cast<std::size_t>(n_rep_));
        for (i64 i = 0; i < n_rep_; ++i) s.rows[static_cast<std::size_t>(i)] = i;
        s.fn = fn;
        s.ctx = ctx;
        return static_cast<i64>(steps_.size()) - 1;
    }

    // Appends a binding to a step (applied in the order they were added).
    void bind(i64 step, const trova_mc_float_input_binding& b) {
        steps_[static_cast<std::size_t>(step)].bindings.push_back(b);
    }

    // Binding that copies rows [row_start, row_start + n_rows) and the given
    // columns of an earlier step's (or static) source into the target block.
    // `cols` must outlive the run.
    static trova_mc_float_input_binding copy(i64 source_step, i64 source_offset, i64 source_row_stride,
                                             i64 row_start, i64 n_rows, const std::vector<i64>& cols,
                                             i64 target_offset, i64 target_row_stride) {
        trova_mc_float_input_binding b{};
        b.source_step_idx = source_step;
        b.source_offset = source_offset;
        b.source_row_stride = source_row_stride;
        b.row_start = row_start;
        b.n_rows = n_rows;
        b.columns = cols.data();
        b.n_columns = static_cast<i64>(cols.size());
        b.target_offset = target_offset;
        b.target_row_stride = target_row_stride;
        return b;
    }

    // Static binding that copies `count` values of src (count <= 4096) to
    // target_offset of the lane, as one row.
    static trova_mc_float_input_binding whole(const f64* src, i64 count, i64 target_offset) {
        static const std::vector<i64> columns = [] {
            std::vector<i64> v(4096);
            for (std::size_t j = 0; j < v.size(); ++j) v[j] = static_cast<i64>(j);
            return v;
        }();
        trova_mc_float_input_binding b{};
        b.source_step_idx = -2;
        b.source_row_stride = count;
        b.n_rows = 1;
        b.columns = columns.data();
        b.n_columns = count;
        b.target_offset = target_offset;
        b.target_row_stride = count;
        b.static_source = src;
        return b;
    }
    static trova_mc_float_input_binding whole(const std::vector<f64>& src, i64 target_offset) {
        return whole(src.data(), static_cast<i64>(src.size()), target_offset);
    }

    static trova_mc_float_input_binding fill(f64 value, i64 n_rows, i64 n_columns, i64 target_offset,
                                             i64 target_row_stride) {
        trova_mc_float_input_binding b{};
        b.source_step_idx = -1;
        b.n_rows = n_rows;
        b.n_columns = n_columns;
        b.target_offset = target_offset;
        b.target_row_stride = target_row_stride;
        b.fill_value = value;
        return b;
    }

    std::vector<i64>& rows(i64 step) { return steps_[static_cast<std::size_t>(step)].rows; }

    // Builds the descriptors and the runner context (valid until the next call).
    trova_mc_runner_ctx& context(int fail_fast = 0, int profile = 0) {
        descs_.clear();
        for (Step& s : steps_) {
            trova_mc_step_desc d{};
            d.fn = s.fn;
            d.float_in_work = s.in_work.empty() ? nullptr : s.in_work.data();
            d.int_in_work = s.int_work.empty() ? nullptr : s.int_work.data();
            d.float_live_out = s.live_out.empty() ? nullptr : s.live_out.data();
            d.int_live_out = s.int_live.empty() ? nullptr : s.int_live.data();
            d.float_retained = s.retained.empty() ? nullptr : s.retained.data();
            d.int_retained = s.int_retained.empty() ? nullptr : s.int_retained.data();
            d.retained_row_by_rep = s.rows.data();
            d.float_in_work_worker_stride = s.lanes.in;
            d.int_in_work_worker_stride = s.lanes.int_work;
            d.float_live_out_worker_stride = s.lanes.out;
            d.int_live_out_worker_stride = s.lanes.int_out;
            d.float_retained_stride = s.lanes.out;
            d.int_retained_stride = s.lanes.int_out;
            d.ctx = s.ctx;
            d.float_input_bindings = s.bindings.empty() ? nullptr : s.bindings.data();
            d.n_float_input_bindings = static_cast<i64>(s.bindings.size());
            descs_.push_back(d);
        }
        failure_step.assign(static_cast<std::size_t>(n_rep_), 12345);
        failure_status.assign(static_cast<std::size_t>(n_rep_), 12345);
        const std::size_t cells = static_cast<std::size_t>(n_workers_) * steps_.size();
        elapsed.assign(cells, -1.0);
        counts.assign(cells, -1);
        failures.assign(cells, -1);
        ctx_ = trova_mc_runner_ctx{};
        ctx_.steps = descs_.data();
        ctx_.n_steps = static_cast<i64>(descs_.size());
        ctx_.n_rep = n_rep_;
        ctx_.n_workers = n_workers_;
        ctx_.fail_fast = fail_fast;
        ctx_.failure_step_by_rep = failure_step.data();
        ctx_.failure_status_by_rep = failure_status.data();
        ctx_.profile_steps = profile;
        ctx_.step_elapsed_s_by_worker = elapsed.data();
        ctx_.step_counts_by_worker = counts.data();
        ctx_.step_failures_by_worker = failures.data();
        return ctx_;
    }

    int run(int fail_fast = 0, int profile = 0) { return trova_mc_run(&context(fail_fast, profile)); }
    // Runs this pipeline's replications as first_rep, first_rep + 1, ...
    int run_range(i64 first_rep, int fail_fast = 0) {
        return trova_mc_run_range(&context(fail_fast, 0), first_rep);
    }
    // The context of the last run, with its halt record.
    const trova_mc_runner_ctx& last_context() const { return ctx_; }

    const f64* retained(i64 step, i64 row) const {
        const Step& s = steps_[static_cast<std::size_t>(step)];
        return s.retained.data() + row * s.lanes.out;
    }
    const i64* int_retained(i64 step, i64 row) const {
        const Step& s = steps_[static_cast<std::size_t>(step)];
        return s.int_retained.data() + row * s.lanes.int_out;
    }
    const std::vector<f64>& all_retained(i64 step) const {
        return steps_[static_cast<std::size_t>(step)].retained;
    }
    const std::vector<i64>& all_int_retained(i64 step) const {
        return steps_[static_cast<std::size_t>(step)].int_retained;
    }
    const std::vector<f64>& live_out(i64 step) const { return steps_[static_cast<std::size_t>(step)].live_out; }
    const std::vector<f64>& in_work(i64 step) const { return steps_[static_cast<std::size_t>(step)].in_work; }

    std::vector<i64> failure_step, failure_status, counts, failures;
    std::vector<f64> elapsed;

private:
    struct Step {
        Lanes lanes;
        std::vector<f64> in_work, live_out, retained;
        std::vector<i64> int_work, int_live, int_retained, rows;
        std::vector<trova_mc_float_input_binding> bindings;
        trova_mc_step_fn fn = nullptr;
        const void* ctx = nullptr;
    };
    i64 n_rep_, n_workers_;
    std::deque<Step> steps_;  // deque: references handed out stay valid
    std::vector<trova_mc_step_desc> descs_;
    trova_mc_runner_ctx ctx_{};
};

inline bool same_bits(f64 a, f64 b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace trova_test

#endif  // TROVA_TESTS_PIPELINE_BUILDER_H
