/* Monte Carlo execution core: the replication runner, the step protocol, the
 * source steps (payload, raw model data) and the shock plan. */
#ifndef TROVA_MC_H
#define TROVA_MC_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/* A pipeline step. Lanes are the calling worker's: float input/work lane
 * (bound inputs already materialised, scratch behind them), float live-output
 * lane, integer work lane and integer live-output lane; a lane whose stride is
 * 0 is NULL. Returns 0 on success, anything else fails the replication. */
typedef int (*trova_mc_step_fn)(i64 rep_idx, f64* float_in_work, f64* float_out,
                                i64* int_work, i64* int_out, const void* ctx);

/* One rectangular copy (or fill) into a step's float input lane.
 * source_step_idx >= 0: an earlier step's live output on the same worker;
 * -1: fill with fill_value; <= -2: the caller's static array. */
typedef struct trova_mc_float_input_binding {
    i64 source_step_idx;
    i64 source_offset;
    i64 source_row_stride;
    i64 row_start;
    i64 n_rows;
    const i64* columns;
    i64 n_columns;
    i64 target_offset;
    i64 target_row_stride;
    f64 fill_value;
    const f64* static_source;
    i64 static_rep_stride;
    int static_batched;
} trova_mc_float_input_binding;

typedef struct trova_mc_step_desc {
    trova_mc_step_fn fn;
    f64* float_in_work;
    i64* int_in_work;
    f64* float_live_out;
    i64* int_live_out;
    f64* float_retained;
    i64* int_retained;
    const i64* retained_row_by_rep;
    i64 float_in_work_worker_stride;
    i64 int_in_work_worker_stride;
    i64 float_live_out_worker_stride;
    i64 int_live_out_worker_stride;
    i64 float_retained_stride;
    i64 int_retained_stride;
    const void* ctx;
    const trova_mc_float_input_binding* float_input_bindings;
    i64 n_float_input_bindings;
} trova_mc_step_desc;

typedef struct trova_mc_failure {
    i64 rep_idx;
    i64 step_idx;
    int status;
} trova_mc_failure;

typedef struct trova_mc_runner_ctx {
    const trova_mc_step_desc* steps;
    i64 n_steps;
    i64 n_rep;
    i64 n_workers;
    int fail_fast;
    volatile i64 halt;
    trova_mc_failure halt_failure;
    i64* failure_step_by_rep;
    i64* failure_status_by_rep;
    int profile_steps;
    f64* step_elapsed_s_by_worker;
    i64* step_counts_by_worker;
    i64* step_failures_by_worker;
} trova_mc_runner_ctx;

/* Runs every replication of the pipeline. Returns -1 for an invalid context
 * (nothing written), 1 when a fail-fast halt happened, 0 otherwise. */
TROVA_API int trova_mc_run(trova_mc_runner_ctx* runner);

/* Elements the layout code leaves after every non-empty block of a packed
 * input, arena or packed output: 0, except in a build with the option
 * TROVA_LAYOUT_GAPS, whose gaps catch overruns between blocks. A caller that
 * places blocks in a lane itself (bindings, static packs) starts each block
 * where the previous one ends plus this gap, so its offsets agree with the
 * sizers in every build. */
TROVA_API i64 trova_layout_gap(void);

/** Checks a runner context without running it and says what is wrong with it.
 * Applies every check trova_mc_run makes before it writes anything, then
 * every binding of every step as input materialisation checks it (target
 * block inside the float input lane, source offsets and strides, column
 * indices inside a source row, a non-NULL static source with a
 * non-negative static_rep_stride, an earlier source step and no read past
 * the end of its float live-output lane). These binding checks do not depend
 * on the replication, so one check covers every replication. Only the
 * context, its step descriptors, their bindings and the bindings' column
 * arrays are read; nothing is run and nothing but `reason` is written.
 * @param runner the context to check; may be NULL (reported as such).
 * @param reason caller's buffer for a one-line, NUL-terminated reason: the
 *        step, the binding, the rule broken and the numbers involved (for
 *        example "step 2 binding 1: target block ends at element 130, past
 *        the float input lane of 120 elements"); the empty string when the
 *        context passes. Truncated to reason_len - 1 characters. May be NULL.
 * @param reason_len size of `reason` in bytes; 0 or negative writes nothing.
 * @return 0 when trova_mc_run accepts the context and no binding would fail;
 *         -1 when trova_mc_run would reject the context (it would return -1
 *         and write nothing); -2 when the context is accepted but a binding
 *         breaks a rule, so every replication that reaches its step would
 *         fail there with status -1 (the first such binding is reported). */
TROVA_API int trova_mc_check_runner(const trova_mc_runner_ctx* runner, char* reason, i64 reason_len);

typedef struct trova_mc_payload_step_ctx {
    const f64* input;
    i64 n;
    int input_batched;
} trova_mc_payload_step_ctx;

typedef struct trova_mc_raw_model_data_step_ctx {
    const f64* states_input;
    i64 n_states;
    int states_batched;
    const f64* observables_input;
    i64 n_observables;
    int observables_batched;
} trova_mc_raw_model_data_step_ctx;

TROVA_API void trova_add_payload_step(const f64* input, i64 n, int input_batched, i64 rep_idx,
                                      f64* output);
TROVA_API void trova_raw_model_data_step(const f64* states_input, i64 n_states, int states_batched,
                                         f64* states_output, const f64* observables_input,
                                         i64 n_observables, int observables_batched, i64 rep_idx,
                                         f64* observables_output);

TROVA_API int trova_mc_payload_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                      i64* int_work, i64* int_out, const void* ctx);
TROVA_API int trova_mc_raw_model_data_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                             i64* int_work, i64* int_out, const void* ctx);

/* Shock plan: how one replication's T x n_exog shock matrix is drawn. Each
 * entry drives its columns from its own Philox stream, keyed by {key,
 * entry_idx} and positioned by the replication index (stream words {rep, 0}),
 * so a replication's shocks do not depend on the worker, the thread count or
 * the order in which replications run. */
typedef struct trova_mc_shock_entry {
    int family;          /* 1: uniform; anything else: normal */
    i64 width;           /* columns a normal entry drives */
    const i64* columns;  /* target column of each component (uniform: columns[0]) */
    const f64* factor;   /* normal: width x width, applied to the standard normal vector */
    const f64* loc;      /* normal: width means, or NULL for zero means */
    f64 low;             /* uniform: lower bound */
    f64 span;            /* uniform: upper bound - lower bound */
    u64 key;             /* first Philox key word */
    u64 entry_idx;       /* second Philox key word */
} trova_mc_shock_entry;

typedef struct trova_mc_shock_plan {
    const trova_mc_shock_entry* entries; /* drawn in array order */
    i64 n_entries;
    i64 T;
    i64 n_exog;
    f64 shock_scale;  /* multiplies every drawn value */
    i64 max_width;    /* largest width of any entry (1 for uniform entries only) */
} trova_mc_shock_plan;

/* Scratch a draw needs: T x max_width values; -1 for a NULL plan, a negative
 * T or max_width, or a count beyond 64 bits. */
TROVA_API i64 trova_mc_shock_scratch_size(const trova_mc_shock_plan* plan);
/* Fills out (T x n_exog, row-major) with replication rep_idx's shocks and
 * returns 0. Columns no entry drives are 0; an entry assigns its columns, so
 * of two entries naming one column the later one's values remain.
 * The plan is checked first: -1, with nothing written to out or scratch, for
 * a NULL plan, a negative T, n_exog, max_width, n_entries or width, sizes
 * beyond 64 bits, NULL entries, an entry naming a column outside
 * 0 .. n_exog - 1 (a uniform entry names columns[0] only), a normal entry
 * wider than max_width or without columns or factor (width 0 draws nothing
 * and needs neither), or a uniform entry with max_width < 1. */
TROVA_API int trova_mc_shock_draw(const trova_mc_shock_plan* plan, i64 rep_idx, f64* scratch,
                                  f64* out);

TROVA_END_DECLS

#endif /* TROVA_MC_H */
