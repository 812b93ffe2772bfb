/** @file
 * Monte Carlo execution core: the replication runner, the step protocol, the
 * source steps (payload, raw model data) and the shock plan.
 *
 * A run: the caller sizes every step's lanes with the sizers and allocates,
 * per step, one buffer per lane kind it uses (float input/work, integer
 * work, float live output, integer live output), each n_workers lanes of
 * `stride` elements, worker w's lane starting w x stride elements from the
 * base; then the result rows and the per-replication failure arrays. It
 * describes each step by a trova_mc_step_desc and calls trova_mc_run, which
 * splits the replications into contiguous blocks over an OpenMP team. For
 * each replication a worker runs the steps in order: it applies the step's
 * float input bindings to its float input lane, calls the step function with
 * its four lanes and, after a success, copies the step's live-output lanes
 * into the step's result rows for that replication.
 *
 * Ownership and lifetime: the caller owns every record and array it hands
 * over (descriptors, bindings and their `columns` arrays, static sources,
 * context records, shock plans and their entries, callbacks); they must stay
 * valid and unchanged until trova_mc_run returns. The runner allocates
 * nothing. Contexts, plans, static sources and callbacks are read by all
 * workers concurrently, so they must be read-only or thread-safe; each worker
 * writes only its own lanes, the failure entries and result rows of its own
 * replications and its own row of the profiling arrays.
 *
 * Offsets inside a lane: in a build with the option TROVA_LAYOUT_GAPS every
 * non-empty block of a packed input, arena or packed output is followed by
 * trova_layout_gap() elements, so offsets must come from the library's
 * sizers and offset helpers (or add that gap after every non-empty block),
 * never from sums of block sizes alone. */
#ifndef TROVA_MC_H
#define TROVA_MC_H

#include "trova_types.h"

TROVA_BEGIN_DECLS

/** A pipeline step. Lanes are the calling worker's: float input/work lane
 * (bound inputs already materialised, scratch behind them), float live-output
 * lane, integer work lane and integer live-output lane; a lane whose stride is
 * 0 is NULL. Returns 0 on success, anything else fails the replication.
 *
 * The four lanes do not alias. A step is called concurrently by all workers
 * with the same ctx, which it must only read. The library's steps store
 * their status in int_out[0] when int_out is not NULL.
 * @param rep_idx replication index, 0 .. n_rep - 1
 * @param float_in_work float input/work lane (float_in_work_worker_stride values), or NULL
 * @param float_out float live-output lane (float_live_out_worker_stride values), or NULL
 * @param int_work integer work lane (int_in_work_worker_stride values), or NULL
 * @param int_out integer live-output lane (int_live_out_worker_stride values), or NULL
 * @param ctx the step descriptor's ctx
 * @return 0 on success; any other value, positive too, fails the replication
 *         at this step and is recorded as its status */
typedef int (*trova_mc_step_fn)(i64 rep_idx, f64* float_in_work, f64* float_out,
                                i64* int_work, i64* int_out, const void* ctx);

/** One rectangular copy (or fill) into a step's float input lane.
 * source_step_idx >= 0: an earlier step's live output on the same worker;
 * -1: fill with fill_value; <= -2: the caller's static array.
 *
 * Target cell (l, m), at target_offset + l target_row_stride + m of the
 * lane, receives element (row_start + l, columns[m]) of the source matrix
 * that starts at source_offset with row stride source_row_stride, for
 * l < n_rows and m < n_columns. The runner applies a step's bindings in
 * array order to the calling worker's float input lane before every call of
 * the step; a later binding may overwrite an earlier one's cells. A step
 * source must hold every element read: (row_start + n_rows - 1)
 * source_row_stride + source_offset + the largest column index must be
 * below that step's float_live_out_worker_stride. A static source carries no
 * length and is trusted. Bindings are checked each time they are applied,
 * and a rejected binding writes nothing and fails the replication at that
 * step with status -1 (the step is not called; cells written by earlier
 * bindings stay). */
typedef struct trova_mc_float_input_binding {
    /** Source: >= 0 an earlier step (index below this step's), whose float
     * live-output lane on the same worker holds this replication's output;
     * -1 a fill (no other source field is read); <= -2 static_source. */
    i64 source_step_idx;
    /** Element offset of the source matrix in the source lane or static
     * array; >= 0. */
    i64 source_offset;
    /** Elements between source rows; > 0, and every column index must be
     * below it. */
    i64 source_row_stride;
    /** First source row copied; >= 0. */
    i64 row_start;
    /** Rows copied; >= 0. 0 rows or 0 columns copy nothing (the target
     * fields are still checked). */
    i64 n_rows;
    /** n_columns source column indices in target order (may reorder or
     * repeat), each in 0 .. source_row_stride - 1. May be NULL for a fill or
     * when n_rows or n_columns is 0. Read during the run, not copied. */
    const i64* columns;
    /** Columns copied per row; 0 .. target_row_stride. */
    i64 n_columns;
    /** Element offset of the target block in the float input lane; >= 0. */
    i64 target_offset;
    /** Elements between target rows; >= n_columns. The block must end inside
     * the lane: target_offset + (n_rows - 1) target_row_stride + n_columns
     * <= float_in_work_worker_stride. */
    i64 target_row_stride;
    /** Value of every target cell of a fill (source_step_idx -1). */
    f64 fill_value;
    /** Static source (source_step_idx <= -2): base of the caller's array;
     * must not be NULL then, otherwise unused. It carries no length and is
     * trusted; read during the run, not copied. */
    const f64* static_source;
    /** Elements between replications' blocks of a batched static source;
     * >= 0 (checked for every static binding). */
    i64 static_rep_stride;
    /** Non-zero: the static source holds one block per replication and
     * replication r reads the block r static_rep_stride elements further
     * on; 0: every replication reads the same array. */
    int static_batched;
} trova_mc_float_input_binding;

/** One pipeline step: its function and context, its four per-worker
 * buffers, its result rows and its input bindings.
 *
 * A buffer with a non-zero stride holds n_workers lanes of that many
 * elements and must have a base; with stride 0 the step has no such lane
 * (NULL is passed to fn) and the base may be NULL. A source step's live
 * output of a replication stays in its lane until the same worker runs the
 * step again, so later steps bind to it. A result row is an exact copy of
 * one live-output lane, written after each successful step, so the retained
 * strides must equal the live-output strides. */
typedef struct trova_mc_step_desc {
    /** The step function; must not be NULL. */
    trova_mc_step_fn fn;
    /** Base of the float input/work buffer: n_workers x
     * float_in_work_worker_stride values (bound inputs, then scratch). */
    f64* float_in_work;
    /** Base of the integer work buffer: n_workers x
     * int_in_work_worker_stride values. */
    i64* int_in_work;
    /** Base of the float live-output buffer: n_workers x
     * float_live_out_worker_stride values. */
    f64* float_live_out;
    /** Base of the integer live-output buffer: n_workers x
     * int_live_out_worker_stride values. */
    i64* int_live_out;
    /** Base of the float result rows: row r starts at r x
     * float_retained_stride. The number of rows is not passed; the caller
     * sizes it for every row retained_row_by_rep names. */
    f64* float_retained;
    /** Base of the integer result rows, as float_retained. */
    i64* int_retained;
    /** n_rep entries: the result row of each replication for this step, or
     * negative when it is not kept; must not be NULL. Distinct replications
     * must name distinct rows (workers write them concurrently). */
    const i64* retained_row_by_rep;
    /** Length of one float input/work lane; >= 0. Every binding must fit in
     * it. */
    i64 float_in_work_worker_stride;
    /** Length of one integer work lane; >= 0. */
    i64 int_in_work_worker_stride;
    /** Length of one float live-output lane; >= 0. */
    i64 float_live_out_worker_stride;
    /** Length of one integer live-output lane; >= 0. */
    i64 int_live_out_worker_stride;
    /** Length of a float result row; must equal float_live_out_worker_stride. */
    i64 float_retained_stride;
    /** Length of an integer result row; must equal int_live_out_worker_stride. */
    i64 int_retained_stride;
    /** The step's context record, passed unchanged to fn (a library step
     * takes its own *_step_ctx record); read by all workers concurrently. */
    const void* ctx;
    /** n_float_input_bindings bindings, applied in array order; may be NULL
     * when there are none. */
    const trova_mc_float_input_binding* float_input_bindings;
    /** Number of bindings; >= 0. */
    i64 n_float_input_bindings;
} trova_mc_step_desc;

/** The failure that halted a fail-fast run. */
typedef struct trova_mc_failure {
    i64 rep_idx;  /**< Replication that failed (its global index in a range run); -1 when nothing halted the run. */
    i64 step_idx; /**< Step at which it failed; -1 when nothing halted the run. */
    int status;   /**< The step's status (-1 for a rejected binding); 0 when nothing halted the run. */
} trova_mc_failure;

/** The whole run: the steps, the run's options and the caller's output
 * arrays. A context may be run again: every run first resets halt,
 * halt_failure, both per-replication arrays and (when profiling) the
 * profiling arrays. */
typedef struct trova_mc_runner_ctx {
    /** n_steps step descriptors, run in this order; must not be NULL. */
    const trova_mc_step_desc* steps;
    /** Number of steps; >= 1. */
    i64 n_steps;
    /** Number of replications, numbered 0 .. n_rep - 1 (first_rep ..
     * first_rep + n_rep - 1 in trova_mc_run_range); >= 1. Every
     * per-replication array (failure arrays, retained_row_by_rep, batched
     * static sources) has n_rep entries or blocks, indexed by position in
     * the run. */
    i64 n_rep;
    /** Lanes in every per-worker buffer and the largest team the run asks
     * for (it asks for no more threads than replications); 1 .. 2147483647.
     * Replications go to workers in contiguous blocks, worker w using lane w
     * of every buffer. */
    i64 n_workers;
    /** Non-zero: the first failure halts the run; each worker finishes the
     * replication it is running and skips those it has not started. */
    int fail_fast;
    /** Output: 1 once a fail-fast halt was recorded, else 0. */
    volatile i64 halt;
    /** Output: the failure that set halt, the first in time (not the lowest
     * replication index); {-1, -1, 0} when none did. */
    trova_mc_failure halt_failure;
    /** Output, n_rep entries; must not be NULL: -1 when every step
     * succeeded, s when the replication failed at step s, INT64_MIN when it
     * never started (skipped after a fail-fast halt). */
    i64* failure_step_by_rep;
    /** Output, n_rep entries; must not be NULL: 0, the failing step's
     * status (sign-extended; -1 for a rejected binding), or INT64_MIN when
     * the replication never started. */
    i64* failure_status_by_rep;
    /** Non-zero: time and count every step per worker. */
    int profile_steps;
    /** Output when profiling (must not be NULL then, unused otherwise):
     * n_workers x n_steps, row-major by worker, wall seconds spent in each
     * step, applying its bindings included. */
    f64* step_elapsed_s_by_worker;
    /** Output when profiling, same shape: executions of each step. */
    i64* step_counts_by_worker;
    /** Output when profiling, same shape: failed executions of each step. */
    i64* step_failures_by_worker;
} trova_mc_runner_ctx;

/** Runs every replication of the pipeline. Returns -1 for an invalid context
 * (nothing written), 1 when a fail-fast halt happened, 0 otherwise.
 *
 * The context is invalid when runner, steps or a failure array is NULL,
 * n_steps or n_rep is below 1, n_workers is outside 1 .. 2147483647,
 * profiling lacks one of its arrays, or a step has a NULL fn or
 * retained_row_by_rep, a negative stride or binding count, a retained
 * stride that differs from its live-output stride, bindings NULL with a
 * positive count, or a non-zero stride with a NULL base. Bindings are
 * checked only when applied. After the run every replication that did not
 * complete (failed or never started) has all of its result rows overwritten
 * with NaN (float) and INT64_MIN (integer): a replication's rows are either
 * all from a complete run or all sentinels.
 * @param runner the run: read, and its output fields written
 * @return 0 when the run ended without a halt (replications may have failed:
 *         read failure_step_by_rep); 1 after a fail-fast halt; -1 for an
 *         invalid context */
TROVA_API int trova_mc_run(trova_mc_runner_ctx* runner);

/** Runs replications first_rep .. first_rep + n_rep - 1 of a larger study:
 * trova_mc_run(r) is trova_mc_run_range(r, 0). Every step receives the
 * global index first_rep + i (so shock draws, keyed by it, are those of the
 * same replications in one whole run), and halt_failure.rep_idx is global;
 * every per-replication array of the context and its bindings
 * (retained_row_by_rep, the failure arrays, batched static sources) is
 * indexed by the position i inside the range, so a shard's arrays hold its
 * own n_rep entries. Ranges of one pipeline can then run in any order, in
 * any process, and give the results of the whole run bit for bit.
 * @param runner the run, as for trova_mc_run
 * @param first_rep global index of the first replication; >= 0, and
 *        first_rep + n_rep - 1 must not pass INT64_MAX
 * @return as trova_mc_run; -1 also for a negative first_rep or a range that
 *         passes INT64_MAX (nothing written) */
TROVA_API int trova_mc_run_range(trova_mc_runner_ctx* runner, i64 first_rep);

/** Elements the layout code leaves after every non-empty block of a packed
 * input, arena or packed output: 0, except in a build with the option
 * TROVA_LAYOUT_GAPS, whose gaps catch overruns between blocks. A caller that
 * places blocks in a lane itself (bindings, static packs) starts each block
 * where the previous one ends plus this gap, so its offsets agree with the
 * sizers in every build.
 * @return the gap in elements (0 in a normal build) */
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

/** Context of trova_mc_payload_runner: one block of caller data (for
 * example parameters or a prepared series) that the step publishes at the
 * start of its float live-output lane, so that later steps bind to it like
 * to computed output.
 *
 * Batched data here and in trova_mc_raw_model_data_step_ctx is indexed by
 * the replication index the step receives, which is the global index in a
 * range run (trova_mc_run_range): the data must hold the blocks of every
 * replication up to the range's last. Data sized for one shard is bound
 * instead as a batched static source, which is indexed by position in the
 * run. */
typedef struct trova_mc_payload_step_ctx {
    /** The payload: n values, or one block of n values per replication when
     * batched. It carries no length: a batched input must hold n_rep
     * blocks. May be NULL when n <= 0. */
    const f64* input;
    /** Values published per replication; <= 0 publishes nothing. */
    i64 n;
    /** Non-zero: replication r reads the block r x n values into input. */
    int input_batched;
} trova_mc_payload_step_ctx;

/** Context of trova_mc_raw_model_data_runner: given model data standing in
 * for a simulation. The step publishes the states block at the start of its
 * float live-output lane and the observables block right after it (at
 * offset n_states, or 0 when n_states <= 0). */
typedef struct trova_mc_raw_model_data_step_ctx {
    /** State data: n_states values, or one block per replication when
     * batched; may be NULL when n_states <= 0. */
    const f64* states_input;
    /** State values per replication (all periods and variables,
     * flattened); <= 0: no states block. */
    i64 n_states;
    /** Non-zero: replication r reads the block r x n_states values into
     * states_input. */
    int states_batched;
    /** Observable data: n_observables values, or one block per replication
     * when batched; may be NULL when n_observables <= 0. */
    const f64* observables_input;
    /** Observable values per replication; <= 0: no observables block. */
    i64 n_observables;
    /** Non-zero: replication r reads the block r x n_observables values
     * into observables_input. */
    int observables_batched;
} trova_mc_raw_model_data_step_ctx;

/** Copies replication rep_idx's payload block to output: n values from
 * input, or from input + rep_idx n when batched. n <= 0 does nothing.
 * @param input the payload (see trova_mc_payload_step_ctx)
 * @param n values to copy
 * @param input_batched non-zero: one block of n values per replication
 * @param rep_idx replication index (selects a batched block)
 * @param output receives the n values */
TROVA_API void trova_add_payload_step(const f64* input, i64 n, int input_batched, i64 rep_idx,
                                      f64* output);
/** The payload copy for two blocks: the states block to states_output
 * (skipped when n_states <= 0), then the observables block to
 * observables_output (skipped when n_observables <= 0).
 * @param states_input state data (see trova_mc_raw_model_data_step_ctx)
 * @param n_states state values per replication
 * @param states_batched non-zero: one states block per replication
 * @param states_output receives the n_states values
 * @param observables_input observable data
 * @param n_observables observable values per replication
 * @param observables_batched non-zero: one observables block per replication
 * @param rep_idx replication index (selects batched blocks)
 * @param observables_output receives the n_observables values */
TROVA_API void trova_raw_model_data_step(const f64* states_input, i64 n_states, int states_batched,
                                         f64* states_output, const f64* observables_input,
                                         i64 n_observables, int observables_batched, i64 rep_idx,
                                         f64* observables_output);

/** Step function of the payload step; it cannot fail.
 * @param rep_idx replication index
 * @param float_in_work not used
 * @param float_out live output: the n payload values at offset 0
 * @param int_work not used
 * @param int_out int_out[0] = 0 when not NULL
 * @param ctx a trova_mc_payload_step_ctx
 * @return 0 */
TROVA_API int trova_mc_payload_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                      i64* int_work, i64* int_out, const void* ctx);
/** Step function of the raw-model-data step; it cannot fail.
 * @param rep_idx replication index
 * @param float_in_work not used
 * @param float_out live output: the states block, then the observables block
 * @param int_work not used
 * @param int_out int_out[0] = 0 when not NULL
 * @param ctx a trova_mc_raw_model_data_step_ctx
 * @return 0 */
TROVA_API int trova_mc_raw_model_data_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                             i64* int_work, i64* int_out, const void* ctx);

/** One entry of a shock plan: a normal entry drives `width` columns with
 * out[t][columns[k]] = shock_scale (loc[k] + sum_j factor[k][j] z[t][j]),
 * where z is a T x width matrix of standard normals read row by row; a
 * uniform entry drives one column with out[t][columns[0]] = shock_scale
 * (low + span u[t]), u[t] uniform in [0, 1). */
typedef struct trova_mc_shock_entry {
    int family;          /**< 1: uniform; anything else: normal */
    /** columns a normal entry drives, 0 .. max_width (0 draws nothing); a
     * uniform entry ignores it */
    i64 width;
    /** target column of each component (uniform: columns[0]), each in
     * 0 .. n_exog - 1; NULL only for a normal entry of width 0 */
    const i64* columns;
    /** normal: width x width, applied to the standard normal vector (for
     * example a Cholesky factor of the covariance); may be NULL for width 0
     * or a uniform entry */
    const f64* factor;
    /** normal: width means, or NULL for zero means; shock_scale multiplies
     * them too */
    const f64* loc;
    f64 low;             /**< uniform: lower bound (before shock_scale) */
    f64 span;            /**< uniform: upper bound - lower bound */
    u64 key;             /**< first Philox key word */
    u64 entry_idx;       /**< second Philox key word */
} trova_mc_shock_entry;

/** Shock plan: how one replication's T x n_exog shock matrix is drawn. Each
 * entry drives its columns from its own Philox stream, keyed by {key,
 * entry_idx} and positioned by the replication index (stream words {rep, 0}),
 * so a replication's shocks do not depend on the worker, the thread count or
 * the order in which replications run. The plan and its arrays are only
 * read, by all workers concurrently. */
typedef struct trova_mc_shock_plan {
    const trova_mc_shock_entry* entries; /**< drawn in array order; NULL only when n_entries is 0 */
    i64 n_entries;    /**< number of entries, >= 0 */
    i64 T;            /**< periods: rows of the shock matrix, >= 0 */
    i64 n_exog;       /**< shock columns, >= 0 */
    /** multiplies every drawn value: a normal entry's loc and a uniform
     * entry's low are scaled too */
    f64 shock_scale;
    i64 max_width;    /**< largest width of any entry (1 for uniform entries only) */
} trova_mc_shock_plan;

/** Scratch a draw needs: T x max_width values; -1 for a NULL plan, a negative
 * T or max_width, or a count beyond 64 bits.
 * @param plan the plan
 * @return the scratch in f64 values, or -1 */
TROVA_API i64 trova_mc_shock_scratch_size(const trova_mc_shock_plan* plan);
/** Fills out (T x n_exog, row-major) with replication rep_idx's shocks and
 * returns 0. Columns no entry drives are 0; an entry assigns its columns, so
 * of two entries naming one column the later one's values remain.
 * The plan is checked first: -1, with nothing written to out or scratch, for
 * a NULL plan, a negative T, n_exog, max_width, n_entries or width, sizes
 * beyond 64 bits, NULL entries, an entry naming a column outside
 * 0 .. n_exog - 1 (a uniform entry names columns[0] only), a normal entry
 * wider than max_width or without columns or factor (width 0 draws nothing
 * and needs neither), or a uniform entry with max_width < 1.
 * A plan with T = 0 writes nothing.
 * @param plan the plan
 * @param rep_idx replication index: stream words {rep_idx, 0} of every entry
 * @param scratch trova_mc_shock_scratch_size(plan) values, overwritten
 * @param out T x n_exog shocks, row-major
 * @return 0, or -1 for a rejected plan */
TROVA_API int trova_mc_shock_draw(const trova_mc_shock_plan* plan, i64 rep_idx, f64* scratch,
                                  f64* out);

TROVA_END_DECLS

#endif /* TROVA_MC_H */
