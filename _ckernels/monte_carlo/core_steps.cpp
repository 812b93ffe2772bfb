// Pipeline steps over the core kernels. The source steps: the payload step
// publishes one block of caller data, the raw-model-data step a block of
// states followed by a block of observables, each the same for every
// replication or, when batched, one block per replication. The simulation
// steps: first- and pruned second-order simulation of a solved model, after
// drawing the replication's shocks into their arena. The filter steps:
// linear, extended and unscented Kalman filters over packed input and output
// blocks, whose layouts below are the one source of their sizers.

#include <cstring>

#include "_common/layout.h"
#include "_common/sizers.h"
#include "core/simulation_checks.h"
#include "kalman/kalman_core.h"
#include "monte_carlo/step_status.h"
#include "trova_kalman.h"
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
// outside the block, and a scratch offset inside the step's arena (of
// arena_size values) would overwrite its inputs: either draws nothing and
// reports -1, as does a plan the draw rejects.
int draw_step_shocks(const trova_mc_shock_plan* plan, i64 T, i64 n_exog, i64 rep_idx, f64* lane,
                     i64 scratch_offset, i64 shock_offset, i64 arena_size) {
    if (plan == nullptr) return 0;
    if (plan->T != T || plan->n_exog != n_exog) return -1;
    const i64 scratch = trova_mc_shock_scratch_size(plan);
    if (scratch < 0 || (scratch > 0 && scratch_offset < arena_size)) return -1;
    return trova_mc_shock_draw(plan, rep_idx, lane + scratch_offset, lane + shock_offset);
}

using trova::layout::Carver;

// The blocks the linear and extended filters' packed inputs end with:
// Q | R | y | x0 | P0.
template <class Inputs>
void take_noise_and_data(Carver& c, Inputs& in, i64 n, i64 m, i64 k, i64 T) {
    in.Q = c.take(k, k);
    in.R = c.take(m, m);
    in.y = c.take(T, m);
    in.x0 = c.take(n);
    in.P0 = c.take(n, n);
}

// Packed input of the linear filter: A | B | C | d | Q | R | y | x0 | P0.
kf_inputs linear_inputs(Carver& c, i64 n, i64 m, i64 k, i64 T) {
    kf_inputs in{};
    in.n = n;
    in.m = m;
    in.k = k;
    in.T = T;
    in.A = c.take(n, n);
    in.B = c.take(n, k);
    in.C = c.take(m, n);
    in.d = c.take(m);
    take_noise_and_data(c, in, n, m, k, T);
    return in;
}

// Packed output of the linear and extended filters: the histories, eps_hat
// only with shocks, and the log-likelihood last.
kf_outputs linear_outputs(Carver& c, i64 n, i64 m, i64 k, i64 T, int return_shocks) {
    kf_outputs out{};
    out.x_pred = c.take(T, n);
    out.x_filt = c.take(T, n);
    out.P_pred = c.take(T, n, n);
    out.P_filt = c.take(T, n, n);
    out.y_pred = c.take(T, m);
    out.y_filt = c.take(T, m);
    out.innov = c.take(T, m);
    out.std_innov = c.take(T, m);
    out.S = c.take(T, m, m);
    out.eps_hat = return_shocks ? c.take(T, k) : nullptr;
    out.loglik = c.take(1);
    return out;
}

// Packed input of the extended filter: A | B | calib_params | Q | R | y | x0 | P0.
ekf_inputs extended_inputs(Carver& c, i64 n, i64 m, i64 k, i64 T, i64 n_par) {
    ekf_inputs in{};
    in.T = T;
    in.n = n;
    in.m = m;
    in.k = k;
    in.n_par = n_par;
    in.A = c.take(n, n);
    in.B = c.take(n, k);
    in.calib_params = c.take(n_par);
    take_noise_and_data(c, in, n, m, k, T);
    return in;
}

// Packed input of the unscented filter: hx | gx | bx | hxx | gxx | hss | gss
// | steady_state | params | Q | R | obs | z0 | P0.
ukf_inputs unscented_inputs(Carver& c, i64 ns, i64 nc, i64 ne, i64 no, i64 T, i64 n_par) {
    const i64 nz = c.product(2, ns);
    ukf_inputs in{};
    in.T = T;
    in.n_state = ns;
    in.n_ctrl = nc;
    in.n_exog = ne;
    in.n_obs = no;
    in.n_params = n_par;
    in.hx = c.take(ns, ns);
    in.gx = c.take(nc, ns);
    in.bx = c.take(ns, ne);
    in.hxx = c.take(ns, ns, ns);
    in.gxx = c.take(nc, ns, ns);
    in.hss = c.take(ns);
    in.gss = c.take(nc);
    in.steady_state = c.take(c.sum(ns, nc));
    in.params = c.take(n_par);
    in.Q = c.take(ne, ne);
    in.R = c.take(no, no);
    in.obs = c.take(T, no);
    in.z0 = c.take(nz);
    in.P0 = c.take(nz, nz);
    return in;
}

// Packed output of the unscented filter; the log-likelihood sits before the
// four x1/x2 histories.
ukf_outputs unscented_outputs(Carver& c, i64 ns, i64 nc, i64 no, i64 T) {
    const i64 nz = c.product(2, ns), nv = c.sum(ns, nc);
    ukf_outputs out{};
    out.x_pred = c.take(T, nv);
    out.x_filt = c.take(T, nv);
    out.P_pred = c.take(T, nz, nz);
    out.P_filt = c.take(T, nz, nz);
    out.y_pred = c.take(T, no);
    out.y_filt = c.take(T, no);
    out.innov = c.take(T, no);
    out.std_innov = c.take(T, no);
    out.S = c.take(T, no, no);
    out.loglik = c.take(1);
    out.x1_pred = c.take(T, ns);
    out.x2_pred = c.take(T, ns);
    out.x1_filt = c.take(T, ns);
    out.x2_filt = c.take(T, ns);
    return out;
}

}  // namespace

namespace trova::sizing {

using kalman::dims_valid;
using kalman::sized;

Size filter_linear_input(i64 n, i64 m, i64 k, i64 T) {
    Carver c;
    linear_inputs(c, n, m, k, T);
    return sized(c.size(), dims_valid(n, m, k, T));
}

Size filter_extended_input(i64 n, i64 m, i64 k, i64 T, i64 n_par) {
    Carver c;
    extended_inputs(c, n, m, k, T, n_par);
    return sized(c.size(), dims_valid(n, m, k, T, n_par));
}

Size filter_unscented_input(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs, i64 T, i64 n_par) {
    Carver c;
    unscented_inputs(c, n_state, n_ctrl, n_exog, n_obs, T, n_par);
    return sized(c.size(), dims_valid(n_state, n_ctrl, n_exog, n_obs, T, n_par));
}

}  // namespace trova::sizing

using trova::kalman::dims_valid;
using trova::layout::native_count;

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

// The simulation runners check the step once, before drawing, so that a
// step that cannot run leaves its whole lane untouched.
TROVA_API int trova_mc_simulate_order1_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                              i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_simulate_order1_step_ctx*>(ctx);
    if (c == nullptr) return trova::trova_mc_finish_status(int_out, -1);
    int status = trova::simulation::order1_status(c->measurement, c->T, c->n, c->k, c->n_par, c->m);
    if (status == 0)
        status = draw_step_shocks(c->shocks, c->T, c->k, rep_idx, float_in_work, c->shock_scratch_offset,
                                  trova_simulate_order1_shock_offset(c->n, c->k),
                                  trova_simulate_order1_arena_size(c->n, c->k, c->T, c->n_par));
    if (status == 0)
        trova::simulation::order1_run(float_in_work, c->measurement, c->T, c->n, c->k, c->n_par, c->m,
                                      float_out);
    return trova::trova_mc_finish_status(int_out, status);
}

TROVA_API int trova_mc_simulate_order2_runner(i64 rep_idx, f64* float_in_work, f64* float_out,
                                              i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_simulate_order2_step_ctx*>(ctx);
    if (c == nullptr) return trova::trova_mc_finish_status(int_out, -1);
    int status = trova::simulation::order2_status(c->measurement, c->T, c->n_state, c->n_ctrl, c->n_exog,
                                                  c->n_par, c->m);
    if (status == 0)
        status = draw_step_shocks(
            c->shocks, c->T, c->n_exog, rep_idx, float_in_work, c->shock_scratch_offset,
            trova_simulate_order2_shock_offset(c->n_state, c->n_ctrl, c->n_exog),
            trova_simulate_order2_arena_size(c->n_state, c->n_state + c->n_ctrl, c->n_exog, c->T, c->n_par));
    if (status == 0)
        trova::simulation::order2_run(float_in_work, c->measurement, c->T, c->n_state, c->n_ctrl,
                                      c->n_exog, c->n_par, c->m, float_out);
    return trova::trova_mc_finish_status(int_out, status);
}

// ---- filters ----

TROVA_API i64 trova_filter_linear_input_arena_size(i64 n, i64 m, i64 k, i64 T) {
    return native_count(trova::sizing::filter_linear_input(n, m, k, T));
}

TROVA_API i64 trova_filter_linear_output_arena_size(i64 n, i64 m, i64 k, i64 T, int return_shocks) {
    Carver c;
    linear_outputs(c, n, m, k, T, return_shocks);
    return native_count(trova::kalman::sized(c.size(), dims_valid(n, m, k, T)));
}

TROVA_API int trova_filter_linear_step(const f64* input_arena, f64* scratch_arena, i64 T, i64 n, i64 m,
                                       i64 k, int symmetrize, f64 jitter, int return_shocks,
                                       f64* output_arena) {
    if (!dims_valid(n, m, k, T)) return -2;
    Carver ci(input_arena), co(output_arena);
    kf_inputs in = linear_inputs(ci, n, m, k, T);
    in.symmetrize = symmetrize;
    in.jitter = jitter;
    in.return_shocks = return_shocks;
    in.store_history = 1;
    const kf_outputs out = linear_outputs(co, n, m, k, T, return_shocks);
    return kf_hot_loop(&in, scratch_arena, &out);
}

TROVA_API int trova_mc_filter_linear_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                            i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_filter_linear_step_ctx*>(ctx);
    const i64 scratch = trova_filter_linear_input_arena_size(c->n, c->m, c->k, c->T);
    // An input block with no size (a negative dimension) has no scratch behind it.
    const int status = scratch < 0 ? -2
                                   : trova_filter_linear_step(float_in_work, float_in_work + scratch, c->T, c->n,
                                                              c->m, c->k, c->symmetrize, c->jitter,
                                                              c->return_shocks, float_out);
    return trova::trova_mc_finish_status(int_out, status);
}

TROVA_API i64 trova_filter_extended_input_arena_size(i64 n, i64 m, i64 k, i64 T, i64 n_par) {
    return native_count(trova::sizing::filter_extended_input(n, m, k, T, n_par));
}

TROVA_API i64 trova_filter_extended_output_arena_size(i64 n, i64 m, i64 k, i64 T, int return_shocks) {
    return trova_filter_linear_output_arena_size(n, m, k, T, return_shocks);
}

TROVA_API int trova_filter_extended_step(const f64* input_arena, f64* scratch_arena, meas_fn meas,
                                         meas_fn jac, i64 T, i64 n, i64 m, i64 k, i64 n_par,
                                         int symmetrize, f64 jitter, int return_shocks,
                                         f64* output_arena) {
    if (!dims_valid(n, m, k, T, n_par)) return -2;
    Carver ci(input_arena), co(output_arena);
    ekf_inputs in = extended_inputs(ci, n, m, k, T, n_par);
    in.meas = meas;
    in.jac = jac;
    in.jitter = jitter;
    in.symmetrize = symmetrize;
    in.compute_y_filt = 1;
    in.return_shocks = return_shocks;
    in.store_history = 1;
    const kf_outputs lin = linear_outputs(co, n, m, k, T, return_shocks);
    const ekf_outputs out{lin.x_pred, lin.x_filt,    lin.P_pred, lin.P_filt,  lin.y_pred, lin.y_filt,
                          lin.innov,  lin.std_innov, lin.S,      lin.eps_hat, lin.loglik};
    return ekf_hot_loop(&in, scratch_arena, &out);
}

TROVA_API int trova_mc_filter_extended_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                              i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_filter_extended_step_ctx*>(ctx);
    const i64 scratch = trova_filter_extended_input_arena_size(c->n, c->m, c->k, c->T, c->n_par);
    const int status =
        scratch < 0 ? -2
                    : trova_filter_extended_step(float_in_work, float_in_work + scratch, c->measurement,
                                                 c->jacobian, c->T, c->n, c->m, c->k, c->n_par, c->symmetrize,
                                                 c->jitter, c->return_shocks, float_out);
    return trova::trova_mc_finish_status(int_out, status);
}

TROVA_API i64 trova_filter_unscented_input_arena_size(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs,
                                                      i64 T, i64 n_par) {
    return native_count(trova::sizing::filter_unscented_input(n_state, n_ctrl, n_exog, n_obs, T, n_par));
}

TROVA_API i64 trova_filter_unscented_output_arena_size(i64 n_state, i64 n_ctrl, i64 n_obs, i64 T) {
    Carver c;
    unscented_outputs(c, n_state, n_ctrl, n_obs, T);
    return native_count(trova::kalman::sized(c.size(), dims_valid(n_state, n_ctrl, n_obs, T)));
}

TROVA_API i64 trova_filter_unscented_step(const f64* input_arena, f64* scratch_arena, meas_fn meas, i64 T,
                                          i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs, i64 n_par,
                                          f64 alpha, f64 beta, f64 kappa, int symmetrize, f64 jitter,
                                          f64* output_arena) {
    if (!dims_valid(T, n_state, n_ctrl, n_exog, n_obs, n_par)) return -2;
    Carver ci(input_arena), co(output_arena);
    ukf_inputs in = unscented_inputs(ci, n_state, n_ctrl, n_exog, n_obs, T, n_par);
    in.meas = meas;
    in.alpha = alpha;
    in.beta = beta;
    in.kappa = kappa;
    in.jitter = jitter;
    in.symmetrize = symmetrize;
    in.store_history = 1;
    const ukf_outputs out = unscented_outputs(co, n_state, n_ctrl, n_obs, T);
    return ukf_hot_loop(&in, scratch_arena, &out);
}

TROVA_API int trova_mc_filter_unscented_runner(i64 /*rep_idx*/, f64* float_in_work, f64* float_out,
                                               i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const trova_mc_filter_unscented_step_ctx*>(ctx);
    const i64 scratch =
        trova_filter_unscented_input_arena_size(c->n_state, c->n_ctrl, c->n_exog, c->n_obs, c->T, c->n_par);
    const i64 status =
        scratch < 0 ? -2
                    : trova_filter_unscented_step(float_in_work, float_in_work + scratch, c->measurement, c->T,
                                                  c->n_state, c->n_ctrl, c->n_exog, c->n_obs, c->n_par,
                                                  c->alpha, c->beta, c->kappa, c->symmetrize, c->jitter,
                                                  float_out);
    return trova::trova_mc_finish_status(int_out, static_cast<int>(status));
}

}  // extern "C"
