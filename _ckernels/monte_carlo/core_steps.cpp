// Pipeline steps over the core kernels. The source steps: the payload step
// publishes one block of caller data, the raw-model-data step a block of
// states followed by a block of observables, each the same for every
// replication or, when batched, one block per replication. The simulation
// steps: first- and pruned second-order simulation of a solved model, after
// drawing the replication's shocks into their arena.

#include <cstring>

#include "monte_carlo/step_status.h"
#include "trova_mc.h"
#include "trova_sim.h"

namespace {

// Copies replication rep's block of `count` values; nothing when count <= 0.
void copy_block(const f64* input, i64 count, int batched, i64 rep_idx, f64* output) {
    if (count <= 0) return;
    const f64* src = batched ? input + rep_idx * count : input;
    std::memcpy(output, src, static_cast<std::size_t>(count) * sizeof(f64));
}

// Draws replication rep_idx's shocks into the shock block of a simulation
// step's lane. A plan whose shape differs from the step's would write
// outside the block: it draws nothing and reports -1.
int draw_step_shocks(const trova_mc_shock_plan* plan, i64 T, i64 n_exog, i64 rep_idx,
                     f64* lane, i64 scratch_offset, i64 shock_offset) {
    if (plan == nullptr) return 0;
    if (plan->T != T || plan->n_exog != n_exog) return -1;
    trova_mc_shock_draw(plan, rep_idx, lane + scratch_offset, lane + shock_offset);
    return 0;
}

}  // namespace

extern "C" {

TROVA_API void trova_add_payload_step(const f64* input, i64 n, int input_batched, i64 rep_idx,
                                      f64* output) {
    copy_block(input, n, input_batched, rep_idx, output);
}

TROVA_API void trova_raw_model_data_step(const f64* states_input, i64 n_states, int states_batched,
                                         f64* states_output, const f64* observables_input,
                                         i64 n_observables, int observables_batched, i64 rep_idx,
                                         f64* observables_output) {
    copy_block(states_input, n_states, states_batched, rep_idx, states_output);
    copy_block(observables_input, n_observables, observables_batched, rep_idx, observables_output);
}

TROVA_API int trova_mc_payload_runner(i64 rep_idx, f64* /*float_in_work*/, f64* float_out,
                                      i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_payload_step_ctx*>(ctx);
    trova_add_payload_step(c->input, c->n, c->input_batched, rep_idx, float_out);
    return trova::trova_mc_finish_status(int_out, 0);
}

TROVA_API int trova_mc_raw_model_data_runner(i64 rep_idx, f64* /*float_in_work*/, f64* float_out,
                                             i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_raw_model_data_step_ctx*>(ctx);
    // Observables follow the states; with no states they start the lane.
    const i64 obs_offset = c->n_states > 0 ? c->n_states : 0;
    trova_raw_model_data_step(c->states_input, c->n_states, c->states_batched, float_out,
                              c->observables_input, c->n_observables, c->observables_batched,
                              rep_idx, float_out + obs_offset);
    return trova::trova_mc_finish_status(int_out, 0);
}

TROVA_API int trova_mc_simulate_order1_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                              i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_simulate_order1_step_ctx*>(ctx);
    const int status =
        draw_step_shocks(c->shocks, c->T, c->k, rep_idx, float_in_work, c->shock_scratch_offset,
                         trova_simulate_order1_shock_offset(c->n, c->k));
    if (status != 0) return trova::trova_mc_finish_status(int_out, status);
    trova_simulate_order1_step(float_in_work, c->measurement, c->T, c->n, c->k, c->n_par, c->m,
                               float_out);
    return trova::trova_mc_finish_status(int_out, 0);
}

TROVA_API int trova_mc_simulate_order2_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                              i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_simulate_order2_step_ctx*>(ctx);
    const int status = draw_step_shocks(
        c->shocks, c->T, c->n_exog, rep_idx, float_in_work, c->shock_scratch_offset,
        trova_simulate_order2_shock_offset(c->n_state, c->n_ctrl, c->n_exog));
    if (status != 0) return trova::trova_mc_finish_status(int_out, status);
    trova_simulate_order2_step(float_in_work, c->measurement, c->T, c->n_state, c->n_ctrl,
                               c->n_exog, c->n_par, c->m, float_out);
    return trova::trova_mc_finish_status(int_out, 0);
}

}  // extern "C"
