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

// Packed inputs and outputs of the filter steps. Each layout is written once,
// as block offsets that a Carver places; the steps point the kernels' records
// at base + offset, the sizers and the exported offset helpers run the same
// layout without a base.

// A block's start, or NULL for an absent block (offset -1).
template <class T>
T* block(T* base, i64 offset) {
    return offset < 0 ? nullptr : base + offset;
}

// The blocks the linear and extended filters' packed inputs end with:
// Q | R | y | x0 | P0.
template <class Offsets>
void noise_and_data_layout(Carver& c, Offsets& o, i64 n, i64 m, i64 k, i64 T) {
    o.Q = c.at(k, k);
    o.R = c.at(m, m);
    o.y = c.at(T, m);
    o.x0 = c.at(n);
    o.P0 = c.at(n, n);
}

template <class Inputs, class Offsets>
void point_noise_and_data(Inputs& in, const f64* base, const Offsets& o) {
    in.Q = block(base, o.Q);
    in.R = block(base, o.R);
    in.y = block(base, o.y);
    in.x0 = block(base, o.x0);
    in.P0 = block(base, o.P0);
}

// Packed input of the linear filter: A | B | C | d | Q | R | y | x0 | P0.
kf_input_offsets linear_input_layout(Carver& c, i64 n, i64 m, i64 k, i64 T) {
    kf_input_offsets o{};
    o.A = c.at(n, n);
    o.B = c.at(n, k);
    o.C = c.at(m, n);
    o.d = c.at(m);
    noise_and_data_layout(c, o, n, m, k, T);
    return o;
}

kf_inputs linear_inputs(const f64* base, const kf_input_offsets& o, i64 n, i64 m, i64 k, i64 T) {
    kf_inputs in{};
    in.n = n;
    in.m = m;
    in.k = k;
    in.T = T;
    in.A = block(base, o.A);
    in.B = block(base, o.B);
    in.C = block(base, o.C);
    in.d = block(base, o.d);
    point_noise_and_data(in, base, o);
    return in;
}

// The nine histories every filter's packed output starts with, T rows each:
// x_pred, x_filt (nx), P_pred, P_filt (np x np), y_pred, y_filt, innov,
// std_innov (ny), S (ny x ny). The other offsets are left to the caller.
trova_filter_output_offsets history_layout(Carver& c, i64 T, i64 nx, i64 np, i64 ny) {
    trova_filter_output_offsets o{};
    o.x_pred = c.at(T, nx);
    o.x_filt = c.at(T, nx);
    o.P_pred = c.at(T, np, np);
    o.P_filt = c.at(T, np, np);
    o.y_pred = c.at(T, ny);
    o.y_filt = c.at(T, ny);
    o.innov = c.at(T, ny);
    o.std_innov = c.at(T, ny);
    o.S = c.at(T, ny, ny);
    return o;
}

// Packed output of the linear and extended filters: the histories, eps_hat
// only with shocks, and the log-likelihood last.
trova_filter_output_offsets linear_output_layout(Carver& c, i64 n, i64 m, i64 k, i64 T, int return_shocks) {
    trova_filter_output_offsets o = history_layout(c, T, n, n, m);
    o.eps_hat = return_shocks ? c.at(T, k) : -1;
    o.loglik = c.at(1);
    o.x1_pred = o.x2_pred = o.x1_filt = o.x2_filt = -1;
    return o;
}

kf_outputs linear_outputs(f64* base, const trova_filter_output_offsets& o) {
    return kf_outputs{block(base, o.x_pred), block(base, o.x_filt),    block(base, o.P_pred),
                      block(base, o.P_filt), block(base, o.y_pred),    block(base, o.y_filt),
                      block(base, o.innov),  block(base, o.std_innov), block(base, o.S),
                      block(base, o.eps_hat), block(base, o.loglik)};
}

// Packed input of the extended filter: A | B | calib_params | Q | R | y | x0 | P0.
ekf_input_offsets extended_input_layout(Carver& c, i64 n, i64 m, i64 k, i64 T, i64 n_par) {
    ekf_input_offsets o{};
    o.A = c.at(n, n);
    o.B = c.at(n, k);
    o.calib_params = c.at(n_par);
    noise_and_data_layout(c, o, n, m, k, T);
    return o;
}

ekf_inputs extended_inputs(const f64* base, const ekf_input_offsets& o, i64 n, i64 m, i64 k, i64 T, i64 n_par) {
    ekf_inputs in{};
    in.T = T;
    in.n = n;
    in.m = m;
    in.k = k;
    in.n_par = n_par;
    in.A = block(base, o.A);
    in.B = block(base, o.B);
    in.calib_params = block(base, o.calib_params);
    point_noise_and_data(in, base, o);
    return in;
}

// Packed input of the unscented filter: hx | gx | bx | hxx | gxx | hss | gss
// | steady_state | params | Q | R | obs | z0 | P0.
ukf_input_offsets unscented_input_layout(Carver& c, i64 ns, i64 nc, i64 ne, i64 no, i64 T, i64 n_par) {
    const i64 nz = c.product(2, ns);
    ukf_input_offsets o{};
    trova::simulation::solution_layout(c, o, ns, nc, ne);
    o.params = c.at(n_par);
    o.Q = c.at(ne, ne);
    o.R = c.at(no, no);
    o.obs = c.at(T, no);
    o.z0 = c.at(nz);
    o.P0 = c.at(nz, nz);
    return o;
}

ukf_inputs unscented_inputs(const f64* base, const ukf_input_offsets& o, i64 ns, i64 nc, i64 ne, i64 no, i64 T,
                            i64 n_par) {
    ukf_inputs in{};
    in.T = T;
    in.n_state = ns;
    in.n_ctrl = nc;
    in.n_exog = ne;
    in.n_obs = no;
    in.n_params = n_par;
    in.hx = block(base, o.hx);
    in.gx = block(base, o.gx);
    in.bx = block(base, o.bx);
    in.hxx = block(base, o.hxx);
    in.gxx = block(base, o.gxx);
    in.hss = block(base, o.hss);
    in.gss = block(base, o.gss);
    in.steady_state = block(base, o.steady_state);
    in.params = block(base, o.params);
    in.Q = block(base, o.Q);
    in.R = block(base, o.R);
    in.obs = block(base, o.obs);
    in.z0 = block(base, o.z0);
    in.P0 = block(base, o.P0);
    return in;
}

// Packed output of the unscented filter; the log-likelihood sits before the
// four x1/x2 histories, and there is no eps_hat.
trova_filter_output_offsets unscented_output_layout(Carver& c, i64 ns, i64 nc, i64 no, i64 T) {
    const i64 nz = c.product(2, ns), nv = c.sum(ns, nc);
    trova_filter_output_offsets o = history_layout(c, T, nv, nz, no);
    o.eps_hat = -1;
    o.loglik = c.at(1);
    o.x1_pred = c.at(T, ns);
    o.x2_pred = c.at(T, ns);
    o.x1_filt = c.at(T, ns);
    o.x2_filt = c.at(T, ns);
    return o;
}

ukf_outputs unscented_outputs(f64* base, const trova_filter_output_offsets& o) {
    ukf_outputs out{};
    out.x1_pred = block(base, o.x1_pred);
    out.x2_pred = block(base, o.x2_pred);
    out.x1_filt = block(base, o.x1_filt);
    out.x2_filt = block(base, o.x2_filt);
    out.x_pred = block(base, o.x_pred);
    out.x_filt = block(base, o.x_filt);
    out.P_pred = block(base, o.P_pred);
    out.P_filt = block(base, o.P_filt);
    out.y_pred = block(base, o.y_pred);
    out.y_filt = block(base, o.y_filt);
    out.innov = block(base, o.innov);
    out.std_innov = block(base, o.std_innov);
    out.S = block(base, o.S);
    out.loglik = block(base, o.loglik);
    return out;
}

// What an offset helper reports: the layout's size (the sizer's value),
// with the offsets in *out, or -1 with every offset -1 when the dimensions
// are negative or a count leaves 64 bits. `layout` carves the layout over
// a sizing Carver and returns its offsets record (all i64 fields).
template <class Offsets, class Layout>
i64 report_offsets(Offsets* out, bool valid, Layout layout) {
    static_assert(sizeof(Offsets) % sizeof(i64) == 0, "an offsets record holds i64 fields only");
    Carver c;
    const Offsets o = layout(c);
    const i64 size = trova::layout::native_count(trova::kalman::sized(c.size(), valid));
    if (out != nullptr) {
        if (size >= 0) {
            *out = o;
        } else {
            i64* field = reinterpret_cast<i64*>(out);
            for (std::size_t j = 0; j < sizeof(Offsets) / sizeof(i64); ++j) field[j] = -1;
        }
    }
    return size;
}

}  // namespace

namespace trova::sizing {

using kalman::dims_valid;
using kalman::sized;

Size filter_linear_input(i64 n, i64 m, i64 k, i64 T) {
    Carver c;
    linear_input_layout(c, n, m, k, T);
    return sized(c.size(), dims_valid(n, m, k, T));
}

Size filter_extended_input(i64 n, i64 m, i64 k, i64 T, i64 n_par) {
    Carver c;
    extended_input_layout(c, n, m, k, T, n_par);
    return sized(c.size(), dims_valid(n, m, k, T, n_par));
}

Size filter_unscented_input(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs, i64 T, i64 n_par) {
    Carver c;
    unscented_input_layout(c, n_state, n_ctrl, n_exog, n_obs, T, n_par);
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
    return trova_filter_linear_output_offsets(n, m, k, T, return_shocks, nullptr);
}

TROVA_API int trova_filter_linear_step(const f64* input_arena, f64* scratch_arena, i64 T, i64 n, i64 m,
                                       i64 k, int symmetrize, f64 jitter, int return_shocks,
                                       f64* output_arena) {
    if (!dims_valid(n, m, k, T)) return -2;
    Carver ci(input_arena), co(output_arena);
    kf_inputs in = linear_inputs(input_arena, linear_input_layout(ci, n, m, k, T), n, m, k, T);
    in.symmetrize = symmetrize;
    in.jitter = jitter;
    in.return_shocks = return_shocks;
    in.store_history = 1;
    const kf_outputs out = linear_outputs(output_arena, linear_output_layout(co, n, m, k, T, return_shocks));
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
    ekf_inputs in = extended_inputs(input_arena, extended_input_layout(ci, n, m, k, T, n_par), n, m, k, T, n_par);
    in.meas = meas;
    in.jac = jac;
    in.jitter = jitter;
    in.symmetrize = symmetrize;
    in.compute_y_filt = 1;
    in.return_shocks = return_shocks;
    in.store_history = 1;
    const kf_outputs lin = linear_outputs(output_arena, linear_output_layout(co, n, m, k, T, return_shocks));
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
    return trova_filter_unscented_output_offsets(n_state, n_ctrl, n_obs, T, nullptr);
}

TROVA_API i64 trova_filter_unscented_step(const f64* input_arena, f64* scratch_arena, meas_fn meas, i64 T,
                                          i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs, i64 n_par,
                                          f64 alpha, f64 beta, f64 kappa, int symmetrize, f64 jitter,
                                          f64* output_arena) {
    if (!dims_valid(T, n_state, n_ctrl, n_exog, n_obs, n_par)) return -2;
    Carver ci(input_arena), co(output_arena);
    ukf_inputs in = unscented_inputs(input_arena,
                                     unscented_input_layout(ci, n_state, n_ctrl, n_exog, n_obs, T, n_par), n_state,
                                     n_ctrl, n_exog, n_obs, T, n_par);
    in.meas = meas;
    in.alpha = alpha;
    in.beta = beta;
    in.kappa = kappa;
    in.jitter = jitter;
    in.symmetrize = symmetrize;
    in.store_history = 1;
    const ukf_outputs out = unscented_outputs(output_arena, unscented_output_layout(co, n_state, n_ctrl, n_obs, T));
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

// ---- offsets of the blocks of the filters' packed inputs and outputs ----

TROVA_API i64 trova_filter_linear_input_offsets(i64 n, i64 m, i64 k, i64 T, kf_input_offsets* out) {
    return report_offsets(out, dims_valid(n, m, k, T),
                          [&](Carver& c) { return linear_input_layout(c, n, m, k, T); });
}

TROVA_API i64 trova_filter_linear_output_offsets(i64 n, i64 m, i64 k, i64 T, int return_shocks,
                                                 trova_filter_output_offsets* out) {
    return report_offsets(out, dims_valid(n, m, k, T),
                          [&](Carver& c) { return linear_output_layout(c, n, m, k, T, return_shocks); });
}

TROVA_API i64 trova_filter_extended_input_offsets(i64 n, i64 m, i64 k, i64 T, i64 n_par, ekf_input_offsets* out) {
    return report_offsets(out, dims_valid(n, m, k, T, n_par),
                          [&](Carver& c) { return extended_input_layout(c, n, m, k, T, n_par); });
}

TROVA_API i64 trova_filter_extended_output_offsets(i64 n, i64 m, i64 k, i64 T, int return_shocks,
                                                   trova_filter_output_offsets* out) {
    return trova_filter_linear_output_offsets(n, m, k, T, return_shocks, out);
}

TROVA_API i64 trova_filter_unscented_input_offsets(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs, i64 T,
                                                   i64 n_par, ukf_input_offsets* out) {
    return report_offsets(out, dims_valid(n_state, n_ctrl, n_exog, n_obs, T, n_par), [&](Carver& c) {
        return unscented_input_layout(c, n_state, n_ctrl, n_exog, n_obs, T, n_par);
    });
}

TROVA_API i64 trova_filter_unscented_output_offsets(i64 n_state, i64 n_ctrl, i64 n_obs, i64 T,
                                                    trova_filter_output_offsets* out) {
    return report_offsets(out, dims_valid(n_state, n_ctrl, n_obs, T),
                          [&](Carver& c) { return unscented_output_layout(c, n_state, n_ctrl, n_obs, T); });
}

}  // extern "C"
