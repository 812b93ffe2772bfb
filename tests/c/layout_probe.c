/* Compiles the umbrella header as strict C11 and prints, as JSON, the size
 * and field offsets of every public record, for the ctypes mirror to check. */
#include <stddef.h>
#include <stdio.h>

#include "trova.h"

static int first_record = 1;
static int first_field = 1;

static void begin_record(const char* name, size_t size) {
    printf("%s\n  \"%s\": {\"size\": %zu, \"fields\": {", first_record ? "{" : ",", name, size);
    first_record = 0;
    first_field = 1;
}

static void field(const char* name, size_t offset) {
    printf("%s\"%s\": %zu", first_field ? "" : ", ", name, offset);
    first_field = 0;
}

static void end_record(void) { printf("}}"); }

#define RECORD(T) begin_record(#T, sizeof(T))
#define FIELD(T, f) field(#f, offsetof(T, f))

int main(void) {
    RECORD(arena_size);
    FIELD(arena_size, n_float);
    FIELD(arena_size, n_int);
    end_record();

    RECORD(trova_mc_float_input_binding);
    FIELD(trova_mc_float_input_binding, source_step_idx);
    FIELD(trova_mc_float_input_binding, source_offset);
    FIELD(trova_mc_float_input_binding, source_row_stride);
    FIELD(trova_mc_float_input_binding, row_start);
    FIELD(trova_mc_float_input_binding, n_rows);
    FIELD(trova_mc_float_input_binding, columns);
    FIELD(trova_mc_float_input_binding, n_columns);
    FIELD(trova_mc_float_input_binding, target_offset);
    FIELD(trova_mc_float_input_binding, target_row_stride);
    FIELD(trova_mc_float_input_binding, fill_value);
    FIELD(trova_mc_float_input_binding, static_source);
    FIELD(trova_mc_float_input_binding, static_rep_stride);
    FIELD(trova_mc_float_input_binding, static_batched);
    end_record();

    RECORD(trova_mc_step_desc);
    FIELD(trova_mc_step_desc, fn);
    FIELD(trova_mc_step_desc, float_in_work);
    FIELD(trova_mc_step_desc, int_in_work);
    FIELD(trova_mc_step_desc, float_live_out);
    FIELD(trova_mc_step_desc, int_live_out);
    FIELD(trova_mc_step_desc, float_retained);
    FIELD(trova_mc_step_desc, int_retained);
    FIELD(trova_mc_step_desc, retained_row_by_rep);
    FIELD(trova_mc_step_desc, float_in_work_worker_stride);
    FIELD(trova_mc_step_desc, int_in_work_worker_stride);
    FIELD(trova_mc_step_desc, float_live_out_worker_stride);
    FIELD(trova_mc_step_desc, int_live_out_worker_stride);
    FIELD(trova_mc_step_desc, float_retained_stride);
    FIELD(trova_mc_step_desc, int_retained_stride);
    FIELD(trova_mc_step_desc, ctx);
    FIELD(trova_mc_step_desc, float_input_bindings);
    FIELD(trova_mc_step_desc, n_float_input_bindings);
    end_record();

    RECORD(trova_mc_failure);
    FIELD(trova_mc_failure, rep_idx);
    FIELD(trova_mc_failure, step_idx);
    FIELD(trova_mc_failure, status);
    end_record();

    RECORD(trova_mc_runner_ctx);
    FIELD(trova_mc_runner_ctx, steps);
    FIELD(trova_mc_runner_ctx, n_steps);
    FIELD(trova_mc_runner_ctx, n_rep);
    FIELD(trova_mc_runner_ctx, n_workers);
    FIELD(trova_mc_runner_ctx, fail_fast);
    FIELD(trova_mc_runner_ctx, halt);
    FIELD(trova_mc_runner_ctx, halt_failure);
    FIELD(trova_mc_runner_ctx, failure_step_by_rep);
    FIELD(trova_mc_runner_ctx, failure_status_by_rep);
    FIELD(trova_mc_runner_ctx, profile_steps);
    FIELD(trova_mc_runner_ctx, step_elapsed_s_by_worker);
    FIELD(trova_mc_runner_ctx, step_counts_by_worker);
    FIELD(trova_mc_runner_ctx, step_failures_by_worker);
    end_record();

    RECORD(trova_mc_payload_step_ctx);
    FIELD(trova_mc_payload_step_ctx, input);
    FIELD(trova_mc_payload_step_ctx, n);
    FIELD(trova_mc_payload_step_ctx, input_batched);
    end_record();

    RECORD(trova_mc_raw_model_data_step_ctx);
    FIELD(trova_mc_raw_model_data_step_ctx, states_input);
    FIELD(trova_mc_raw_model_data_step_ctx, n_states);
    FIELD(trova_mc_raw_model_data_step_ctx, states_batched);
    FIELD(trova_mc_raw_model_data_step_ctx, observables_input);
    FIELD(trova_mc_raw_model_data_step_ctx, n_observables);
    FIELD(trova_mc_raw_model_data_step_ctx, observables_batched);
    end_record();

    RECORD(trova_philox_state);
    FIELD(trova_philox_state, key);
    FIELD(trova_philox_state, ctr);
    FIELD(trova_philox_state, buffer);
    FIELD(trova_philox_state, buffer_pos);
    end_record();

    RECORD(bitgen_t);
    FIELD(bitgen_t, state);
    FIELD(bitgen_t, next_uint64);
    FIELD(bitgen_t, next_uint32);
    FIELD(bitgen_t, next_double);
    FIELD(bitgen_t, next_raw);
    end_record();

    RECORD(trova_mc_shock_entry);
    FIELD(trova_mc_shock_entry, family);
    FIELD(trova_mc_shock_entry, width);
    FIELD(trova_mc_shock_entry, columns);
    FIELD(trova_mc_shock_entry, factor);
    FIELD(trova_mc_shock_entry, loc);
    FIELD(trova_mc_shock_entry, low);
    FIELD(trova_mc_shock_entry, span);
    FIELD(trova_mc_shock_entry, key);
    FIELD(trova_mc_shock_entry, entry_idx);
    end_record();

    RECORD(trova_mc_shock_plan);
    FIELD(trova_mc_shock_plan, entries);
    FIELD(trova_mc_shock_plan, n_entries);
    FIELD(trova_mc_shock_plan, T);
    FIELD(trova_mc_shock_plan, n_exog);
    FIELD(trova_mc_shock_plan, shock_scale);
    FIELD(trova_mc_shock_plan, max_width);
    end_record();

    RECORD(trova_mc_simulate_order1_step_ctx);
    FIELD(trova_mc_simulate_order1_step_ctx, measurement);
    FIELD(trova_mc_simulate_order1_step_ctx, T);
    FIELD(trova_mc_simulate_order1_step_ctx, n);
    FIELD(trova_mc_simulate_order1_step_ctx, k);
    FIELD(trova_mc_simulate_order1_step_ctx, n_par);
    FIELD(trova_mc_simulate_order1_step_ctx, m);
    FIELD(trova_mc_simulate_order1_step_ctx, shocks);
    FIELD(trova_mc_simulate_order1_step_ctx, shock_scratch_offset);
    end_record();

    RECORD(trova_mc_simulate_order2_step_ctx);
    FIELD(trova_mc_simulate_order2_step_ctx, measurement);
    FIELD(trova_mc_simulate_order2_step_ctx, T);
    FIELD(trova_mc_simulate_order2_step_ctx, n_state);
    FIELD(trova_mc_simulate_order2_step_ctx, n_ctrl);
    FIELD(trova_mc_simulate_order2_step_ctx, n_exog);
    FIELD(trova_mc_simulate_order2_step_ctx, n_par);
    FIELD(trova_mc_simulate_order2_step_ctx, m);
    FIELD(trova_mc_simulate_order2_step_ctx, shocks);
    FIELD(trova_mc_simulate_order2_step_ctx, shock_scratch_offset);
    end_record();

    printf("\n}\n");
    return 0;
}
