"""ctypes view of the trova shared object, shared by the tests and examples.

The Python package installs this file as Tessaroventa._ckernels.trova_ctypes,
beside the extension module it loads.

Every public record is mirrored here field for field; the layout test checks
sizes and offsets against the C compiler's, so the two cannot drift apart.
"""
import ctypes
import glob
import os

import numpy as np

f64 = ctypes.c_double
i64 = ctypes.c_int64
u64 = ctypes.c_uint64
u32 = ctypes.c_uint32
c_int = ctypes.c_int

P_f64 = ctypes.POINTER(f64)
P_i64 = ctypes.POINTER(i64)

_HERE = os.path.dirname(os.path.abspath(__file__))
_REPO = os.path.dirname(_HERE)


class arena_size(ctypes.Structure):
    _fields_ = [("n_float", i64), ("n_int", i64)]


class c128(ctypes.Structure):
    _fields_ = [("re", f64), ("im", f64)]


P_c128 = ctypes.POINTER(c128)


class bc256(ctypes.Structure):
    _fields_ = [("a", c128), ("b", c128)]


P_bc256 = ctypes.POINTER(bc256)

# Model residual callbacks: (fwd, cur, par, out) over c128 and over bc256,
# and the pass-through (a, b, out, n).
trova_residual_fn = ctypes.CFUNCTYPE(None, P_c128, P_c128, P_c128, P_c128)
bc_residual_fn = ctypes.CFUNCTYPE(None, P_bc256, P_bc256, P_bc256, P_bc256)
spike_residual_fn = ctypes.CFUNCTYPE(None, P_c128, P_c128, P_c128, i64)


class f64_lu(ctypes.Structure):
    _fields_ = [("lu", P_f64), ("piv", P_i64), ("n", i64), ("err", i64)]


class c128_lu(ctypes.Structure):
    _fields_ = [("lu", P_c128), ("piv", P_i64), ("n", i64), ("err", i64)]


trova_mc_step_fn = ctypes.CFUNCTYPE(c_int, i64, P_f64, P_f64, P_i64, P_i64, ctypes.c_void_p)


class trova_mc_float_input_binding(ctypes.Structure):
    _fields_ = [
        ("source_step_idx", i64),
        ("source_offset", i64),
        ("source_row_stride", i64),
        ("row_start", i64),
        ("n_rows", i64),
        ("columns", P_i64),
        ("n_columns", i64),
        ("target_offset", i64),
        ("target_row_stride", i64),
        ("fill_value", f64),
        ("static_source", P_f64),
        ("static_rep_stride", i64),
        ("static_batched", c_int),
    ]


class trova_mc_step_desc(ctypes.Structure):
    _fields_ = [
        # A plain pointer, so that a C function's address can be stored too.
        ("fn", ctypes.c_void_p),
        ("float_in_work", P_f64),
        ("int_in_work", P_i64),
        ("float_live_out", P_f64),
        ("int_live_out", P_i64),
        ("float_retained", P_f64),
        ("int_retained", P_i64),
        ("retained_row_by_rep", P_i64),
        ("float_in_work_worker_stride", i64),
        ("int_in_work_worker_stride", i64),
        ("float_live_out_worker_stride", i64),
        ("int_live_out_worker_stride", i64),
        ("float_retained_stride", i64),
        ("int_retained_stride", i64),
        ("ctx", ctypes.c_void_p),
        ("float_input_bindings", ctypes.POINTER(trova_mc_float_input_binding)),
        ("n_float_input_bindings", i64),
    ]


class trova_mc_failure(ctypes.Structure):
    _fields_ = [("rep_idx", i64), ("step_idx", i64), ("status", c_int)]


class trova_mc_runner_ctx(ctypes.Structure):
    _fields_ = [
        ("steps", ctypes.POINTER(trova_mc_step_desc)),
        ("n_steps", i64),
        ("n_rep", i64),
        ("n_workers", i64),
        ("fail_fast", c_int),
        ("halt", i64),
        ("halt_failure", trova_mc_failure),
        ("failure_step_by_rep", P_i64),
        ("failure_status_by_rep", P_i64),
        ("profile_steps", c_int),
        ("step_elapsed_s_by_worker", P_f64),
        ("step_counts_by_worker", P_i64),
        ("step_failures_by_worker", P_i64),
    ]


class trova_mc_payload_step_ctx(ctypes.Structure):
    _fields_ = [("input", P_f64), ("n", i64), ("input_batched", c_int)]


class trova_mc_raw_model_data_step_ctx(ctypes.Structure):
    _fields_ = [
        ("states_input", P_f64),
        ("n_states", i64),
        ("states_batched", c_int),
        ("observables_input", P_f64),
        ("n_observables", i64),
        ("observables_batched", c_int),
    ]


class trova_philox_state(ctypes.Structure):
    _fields_ = [("key", u64 * 2), ("ctr", u64 * 4), ("buffer", u64 * 4), ("buffer_pos", i64)]


class bitgen_t(ctypes.Structure):
    _fields_ = [
        ("state", ctypes.c_void_p),
        ("next_uint64", ctypes.CFUNCTYPE(u64, ctypes.c_void_p)),
        ("next_uint32", ctypes.CFUNCTYPE(u32, ctypes.c_void_p)),
        ("next_double", ctypes.CFUNCTYPE(f64, ctypes.c_void_p)),
        ("next_raw", ctypes.CFUNCTYPE(u64, ctypes.c_void_p)),
    ]


class trova_mc_shock_entry(ctypes.Structure):
    _fields_ = [
        ("family", c_int),
        ("width", i64),
        ("columns", P_i64),
        ("factor", P_f64),
        ("loc", P_f64),
        ("low", f64),
        ("span", f64),
        ("key", u64),
        ("entry_idx", u64),
    ]


class trova_mc_shock_plan(ctypes.Structure):
    _fields_ = [
        ("entries", ctypes.POINTER(trova_mc_shock_entry)),
        ("n_entries", i64),
        ("T", i64),
        ("n_exog", i64),
        ("shock_scale", f64),
        ("max_width", i64),
    ]


trova_measurement_fn = ctypes.CFUNCTYPE(None, P_f64, P_f64, P_f64)


class trova_mc_simulate_order1_step_ctx(ctypes.Structure):
    _fields_ = [
        ("measurement", trova_measurement_fn),
        ("T", i64),
        ("n", i64),
        ("k", i64),
        ("n_par", i64),
        ("m", i64),
        ("shocks", ctypes.POINTER(trova_mc_shock_plan)),
        ("shock_scratch_offset", i64),
    ]


class trova_mc_simulate_order2_step_ctx(ctypes.Structure):
    _fields_ = [
        ("measurement", trova_measurement_fn),
        ("T", i64),
        ("n_state", i64),
        ("n_ctrl", i64),
        ("n_exog", i64),
        ("n_par", i64),
        ("m", i64),
        ("shocks", ctypes.POINTER(trova_mc_shock_plan)),
        ("shock_scratch_offset", i64),
    ]


CP_f64 = P_f64  # read-only arrays: ctypes does not distinguish const
meas_fn = ctypes.CFUNCTYPE(None, P_f64, P_f64, P_f64)


def _fields(names, ctype):
    return [(name, ctype) for name in names.split()]


_FILTER_HISTORIES = "x_pred x_filt P_pred P_filt y_pred y_filt innov std_innov S eps_hat loglik"


class kf_inputs(ctypes.Structure):
    _fields_ = (_fields("n m k T", i64) + _fields("A B C d Q R y x0 P0", CP_f64)
                + [("symmetrize", c_int), ("jitter", f64), ("return_shocks", c_int), ("store_history", c_int)])


class kf_outputs(ctypes.Structure):
    _fields_ = _fields(_FILTER_HISTORIES, P_f64)


class ekf_inputs(ctypes.Structure):
    _fields_ = ([("meas", meas_fn), ("jac", meas_fn)] + _fields("A B calib_params Q R y x0 P0", CP_f64)
                + _fields("T n m k n_par", i64)
                + [("jitter", f64), ("symmetrize", c_int), ("compute_y_filt", c_int),
                   ("return_shocks", c_int), ("store_history", c_int)])


class ekf_outputs(ctypes.Structure):
    _fields_ = _fields(_FILTER_HISTORIES, P_f64)


class ukf_inputs(ctypes.Structure):
    _fields_ = ([("meas", meas_fn)]
                + _fields("hx gx bx hxx gxx hss gss steady_state params Q R obs z0 P0", CP_f64)
                + _fields("T n_state n_ctrl n_exog n_obs n_params", i64)
                + _fields("alpha beta kappa jitter", f64)
                + [("symmetrize", c_int), ("store_history", c_int)])


class ukf_outputs(ctypes.Structure):
    _fields_ = _fields("x1_pred x2_pred x1_filt x2_filt x_pred x_filt P_pred P_filt y_pred y_filt "
                       "innov std_innov S loglik", P_f64)


class trova_mc_filter_linear_step_ctx(ctypes.Structure):
    _fields_ = (_fields("T n m k", i64)
                + [("symmetrize", c_int), ("jitter", f64), ("return_shocks", c_int)])


class trova_mc_filter_extended_step_ctx(ctypes.Structure):
    _fields_ = ([("measurement", meas_fn), ("jacobian", meas_fn)] + _fields("T n m k n_par", i64)
                + [("symmetrize", c_int), ("jitter", f64), ("return_shocks", c_int)])


class trova_mc_filter_unscented_step_ctx(ctypes.Structure):
    _fields_ = ([("measurement", meas_fn)] + _fields("T n_state n_ctrl n_exog n_obs n_par", i64)
                + _fields("alpha beta kappa", f64) + [("symmetrize", c_int), ("jitter", f64)])


class kf_input_offsets(ctypes.Structure):
    _fields_ = _fields("A B C d Q R y x0 P0", i64)


class ekf_input_offsets(ctypes.Structure):
    _fields_ = _fields("A B calib_params Q R y x0 P0", i64)


class ukf_input_offsets(ctypes.Structure):
    _fields_ = _fields("hx gx bx hxx gxx hss gss steady_state params Q R obs z0 P0", i64)


class trova_filter_output_offsets(ctypes.Structure):
    _fields_ = _fields(_FILTER_HISTORIES + " x1_pred x2_pred x1_filt x2_filt", i64)


class trova_mc_regression_record(ctypes.Structure):
    _fields_ = [("n", i64), ("p", i64), ("coef", P_f64), ("se", P_f64), ("ssr", f64), ("sst", f64),
                ("status", i64)]


class trova_regression_output_offsets(ctypes.Structure):
    _fields_ = _fields("coef ssr sst se", i64)


class trova_mc_ols_step_ctx(ctypes.Structure):
    _fields_ = [("n", i64), ("p", i64), ("intercept", c_int)]


class trova_mc_ridge_step_ctx(ctypes.Structure):
    _fields_ = [("n", i64), ("p", i64), ("intercept", c_int), ("alpha", f64)]


class trova_mc_ridge_gs_step_ctx(ctypes.Structure):
    _fields_ = [("alphas", P_f64)] + _fields("n p n_alpha criterion", i64) + [("intercept", c_int)]


class trova_mc_lasso_step_ctx(ctypes.Structure):
    _fields_ = [("n", i64), ("p", i64), ("intercept", c_int), ("max_iter", i64), ("tol", f64), ("alpha", f64)]


class trova_mc_lasso_gs_step_ctx(ctypes.Structure):
    _fields_ = ([("alphas", P_f64)] + _fields("n p n_alpha", i64)
                + [("intercept", c_int), ("max_iter", i64), ("tol", f64)])


class trova_mc_elastic_net_step_ctx(ctypes.Structure):
    _fields_ = [("n", i64), ("p", i64), ("intercept", c_int), ("max_iter", i64), ("tol", f64), ("alpha", f64),
                ("l1_ratio", f64)]


class trova_mc_elastic_net_gs_step_ctx(ctypes.Structure):
    _fields_ = ([("alphas", P_f64)] + _fields("n p n_alpha criterion", i64)
                + [("intercept", c_int), ("max_iter", i64), ("tol", f64), ("l1_ratio", f64)])
class trova_mc_standardize_step_ctx(ctypes.Structure):
    _fields_ = _fields("n p ddof", i64)


class trova_mc_log_step_ctx(ctypes.Structure):
    _fields_ = _fields("n p", i64) + [("offset", f64)]


class trova_mc_log_diff_step_ctx(ctypes.Structure):
    _fields_ = _fields("n p", i64) + [("offset", f64)]


class trova_mc_diff_step_ctx(ctypes.Structure):
    _fields_ = _fields("n p order", i64)


class trova_mc_rolling_mean_step_ctx(ctypes.Structure):
    _fields_ = _fields("n p window", i64)


class trova_mc_rolling_var_step_ctx(ctypes.Structure):
    _fields_ = _fields("n p window ddof", i64)


class trova_mc_rolling_std_step_ctx(trova_mc_rolling_var_step_ctx):
    """The same record as the rolling variance's (a typedef in C)."""


user_transform_fn = ctypes.CFUNCTYPE(i64, P_f64, P_f64, i64, i64, i64, i64)


class trova_mc_user_transform_step_ctx(ctypes.Structure):
    _fields_ = [("fn", user_transform_fn)] + _fields("n_in p_in n_out p_out", i64)


class kernel_inp_t(ctypes.Structure):
    _fields_ = _fields("c q", f64)


class trova_mc_wald_test_ctx(ctypes.Structure):
    _fields_ = ([("target", P_f64)] + _fields("n q manual_bandwidth", i64)
                + [("kernel_id", c_int), ("bandwidth_mode", c_int), ("kind", c_int)])


class trova_mc_ljung_box_test_ctx(ctypes.Structure):
    _fields_ = _fields("n lags", i64)


class trova_mc_jarque_bera_test_ctx(ctypes.Structure):
    _fields_ = [("n", i64)]


class trova_mc_breusch_pagan_test_ctx(ctypes.Structure):
    _fields_ = _fields("n k", i64) + [("robust", c_int)]


class trova_mc_breusch_godfrey_test_ctx(ctypes.Structure):
    _fields_ = _fields("n k lags", i64)


class trova_mc_cusum_test_ctx(ctypes.Structure):
    _fields_ = _fields("n p", i64)


class trova_mc_cusumsq_test_ctx(trova_mc_cusum_test_ctx):
    """The same record as the CUSUM test's (a typedef in C)."""


class trova_mc_chow_test_ctx(ctypes.Structure):
    _fields_ = _fields("n p t_break", i64)


# Every record above, by its C name, for the layout check.
RECORDS = {
    cls.__name__: cls
    for cls in (
        arena_size,
        c128,
        bc256,
        f64_lu,
        c128_lu,
        trova_mc_float_input_binding,
        trova_mc_step_desc,
        trova_mc_failure,
        trova_mc_runner_ctx,
        trova_mc_payload_step_ctx,
        trova_mc_raw_model_data_step_ctx,
        trova_philox_state,
        bitgen_t,
        trova_mc_shock_entry,
        trova_mc_shock_plan,
        trova_mc_simulate_order1_step_ctx,
        trova_mc_simulate_order2_step_ctx,
        kf_inputs,
        kf_outputs,
        ekf_inputs,
        ekf_outputs,
        ukf_inputs,
        ukf_outputs,
        trova_mc_filter_linear_step_ctx,
        trova_mc_filter_extended_step_ctx,
        trova_mc_filter_unscented_step_ctx,
        kf_input_offsets,
        ekf_input_offsets,
        ukf_input_offsets,
        trova_filter_output_offsets,
        trova_mc_regression_record,
        trova_regression_output_offsets,
        trova_mc_ols_step_ctx,
        trova_mc_ridge_step_ctx,
        trova_mc_ridge_gs_step_ctx,
        trova_mc_lasso_step_ctx,
        trova_mc_lasso_gs_step_ctx,
        trova_mc_elastic_net_step_ctx,
        trova_mc_elastic_net_gs_step_ctx,
        trova_mc_standardize_step_ctx,
        trova_mc_log_step_ctx,
        trova_mc_log_diff_step_ctx,
        trova_mc_diff_step_ctx,
        trova_mc_rolling_mean_step_ctx,
        trova_mc_rolling_var_step_ctx,
        trova_mc_rolling_std_step_ctx,
        trova_mc_user_transform_step_ctx,
        kernel_inp_t,
        trova_mc_wald_test_ctx,
        trova_mc_ljung_box_test_ctx,
        trova_mc_jarque_bera_test_ctx,
        trova_mc_breusch_pagan_test_ctx,
        trova_mc_breusch_godfrey_test_ctx,
        trova_mc_cusum_test_ctx,
        trova_mc_cusumsq_test_ctx,
        trova_mc_chow_test_ctx,
    )
}

# Signatures of the exported functions: name -> (restype, argtypes).
_vp = ctypes.c_void_p
SIGNATURES = {
    # Dense kernels.
    "trova_zero_mat": (None, [P_f64, i64, i64]),
    "trova_sym_inplace": (None, [P_f64, i64]),
    "trova_matmul": (None, [P_f64, P_f64, P_f64, i64, i64, i64]),
    "trova_matmul_atb": (None, [P_f64, P_f64, P_f64, i64, i64, i64]),
    "trova_matmul_abt": (None, [P_f64, P_f64, P_f64, i64, i64, i64]),
    "trova_matmul_abt_plus_c": (None, [P_f64, P_f64, P_f64, P_f64, i64, i64, i64]),
    "trova_matvec": (None, [P_f64, P_f64, P_f64, i64, i64]),
    "trova_matvec_plus_vec": (None, [P_f64, P_f64, P_f64, P_f64, i64, i64]),
    "trova_vsub": (None, [P_f64, P_f64, P_f64, i64]),
    "trova_dot": (f64, [P_f64, P_f64, i64]),
    "trova_logdet_from_chol": (f64, [P_f64, i64]),
    "trova_chol": (c_int, [P_f64, f64, P_f64, i64]),
    "trova_forward_subst": (None, [P_f64, P_f64, P_f64, i64]),
    "trova_backward_subst_chol_t": (None, [P_f64, P_f64, P_f64, i64]),
    "trova_gram": (None, [P_f64, P_f64, i64, i64]),
    "trova_gram_rhs": (None, [P_f64, P_f64, P_f64, i64, i64]),
    "trova_chol_solve": (c_int, [P_f64, P_f64, P_f64, P_f64, i64]),
    "trova_chol_inv": (c_int, [P_f64, P_f64, P_f64, i64]),
    "trova_sort_f64": (None, [P_f64, i64]),
    "trova_median_f64": (f64, [P_f64, i64]),
    # LU solvers, real and complex.
    "trova_lu_factor_inplace": (i64, [P_f64, P_i64, i64]),
    "trova_lu_factor": (f64_lu, [P_f64, i64]),
    "trova_lu_free": (None, [ctypes.POINTER(f64_lu)]),
    "trova_lu_solve": (None, [P_f64, P_i64, P_f64, P_f64, i64, i64]),
    "trova_solve": (i64, [P_f64, P_f64, i64, i64, P_f64]),
    "trova_inv": (i64, [P_f64, i64, P_f64]),
    "c128_matmul": (None, [P_c128, P_c128, i64, i64, i64, P_c128]),
    "c128_lu_factor_inplace": (i64, [P_c128, P_i64, i64]),
    "c128_lu_factor": (c128_lu, [P_c128, i64]),
    "c128_lu_free": (None, [ctypes.POINTER(c128_lu)]),
    "c128_lu_solve": (None, [P_c128, P_i64, P_c128, P_c128, i64, i64]),
    "c128_solve": (i64, [P_c128, P_c128, i64, i64, P_c128]),
    "c128_inv": (i64, [P_c128, i64, P_c128]),
    # Normal quantile.
    "trova_ndtri_as241": (f64, [f64]),
    "trova_ndtri_as241_into": (None, [P_f64, i64, P_f64]),
    "trova_erfinv_from_as241": (f64, [f64]),
    # Complex-step linearisation.
    "klein_preproc": (i64, [trova_residual_fn, P_f64, P_f64, i64, i64, i64, i64, P_f64, P_f64]),
    "trova_residual_path": (i64, [trova_residual_fn, P_c128, P_c128, P_c128, i64, i64, i64, P_f64]),
    "spike_call": (None, [spike_residual_fn, P_c128, P_c128, P_c128, i64]),
    # Steady state and bicomplex Hessian.
    "trova_steady_state_newton": (i64, [trova_residual_fn, P_f64, P_f64, i64, i64, i64, f64,
                                        P_f64, P_i64]),
    "trova_bicomplex_hessian": (i64, [bc_residual_fn, P_f64, P_f64, i64, i64, i64, f64, P_f64]),
    # QZ solution, state space and second order.
    "klein_qz": (i64, [_vp, i64, P_c128, P_c128, P_c128]),
    "klein_postproc": (i64, [P_c128, P_c128, P_c128, i64, i64, P_c128, P_c128, P_i64, P_c128]),
    "trova_assemble_state_space": (i64, [P_c128, P_c128, i64, i64, i64, P_f64, P_f64]),
    "trova_second_order": (i64, [P_f64, P_f64, P_f64, P_f64, P_f64, i64, i64, P_f64, P_f64]),
    "trova_second_order_dense": (i64, [P_f64, P_f64, P_f64, P_f64, P_f64, i64, i64, P_f64,
                                       P_f64]),
    "trova_second_order_risk": (i64, [P_f64, P_f64, P_f64, P_f64, P_f64, P_f64, i64, i64, i64,
                                      P_f64, P_f64]),
    # Runner and source steps.
    "trova_mc_run": (c_int, [ctypes.POINTER(trova_mc_runner_ctx)]),
    "trova_mc_run_range": (c_int, [ctypes.POINTER(trova_mc_runner_ctx), i64]),
    "trova_mc_check_runner": (c_int, [ctypes.POINTER(trova_mc_runner_ctx), ctypes.c_char_p, i64]),
    "trova_layout_gap": (i64, []),
    "trova_add_payload_step": (None, [P_f64, i64, c_int, i64, P_f64]),
    "trova_raw_model_data_step": (None, [P_f64, i64, c_int, P_f64, P_f64, i64, c_int, i64, P_f64]),
    "trova_mc_payload_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "trova_mc_raw_model_data_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    # Philox stream and fills.
    "trova_philox_seed": (None, [ctypes.POINTER(trova_philox_state), u64, u64, u64, u64]),
    "trova_philox_next_u64": (u64, [ctypes.POINTER(trova_philox_state)]),
    "trova_philox_bind": (None, [ctypes.POINTER(trova_philox_state), ctypes.POINTER(bitgen_t)]),
    "trova_philox_standard_normal_fill": (None, [ctypes.POINTER(trova_philox_state), i64, P_f64]),
    "trova_philox_standard_uniform_fill": (None, [ctypes.POINTER(trova_philox_state), i64, P_f64]),
    "trova_rng_standard_normal_fill": (None, [ctypes.POINTER(bitgen_t), i64, P_f64]),
    "trova_rng_standard_uniform_fill": (None, [ctypes.POINTER(bitgen_t), i64, P_f64]),
    # Shock plan.
    "trova_mc_shock_scratch_size": (i64, [ctypes.POINTER(trova_mc_shock_plan)]),
    "trova_mc_shock_draw": (c_int, [ctypes.POINTER(trova_mc_shock_plan), i64, P_f64, P_f64]),
    # Simulation.
    "trova_simulate_linear_states": (None, [P_f64, P_f64, P_f64, P_f64, P_f64, i64, i64, i64]),
    "trova_affine_observations": (None, [P_f64, P_f64, P_f64, P_f64, i64, i64, i64]),
    "trova_simulate_order1_arena_size": (i64, [i64, i64, i64, i64]),
    "trova_simulate_order1_shock_offset": (i64, [i64, i64]),
    "trova_simulate_order1_step": (c_int, [P_f64, trova_measurement_fn, i64, i64, i64, i64, i64, P_f64]),
    "trova_mc_simulate_order1_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "trova_simulate_second_order_pruned": (
        i64, [P_f64] * 9 + [i64, i64, i64, i64, P_f64, P_f64]),
    "trova_simulate_order2_arena_size": (i64, [i64, i64, i64, i64, i64]),
    "trova_simulate_order2_shock_offset": (i64, [i64, i64, i64]),
    "trova_simulate_order2_step": (
        c_int, [P_f64, trova_measurement_fn, i64, i64, i64, i64, i64, i64, P_f64]),
    "trova_mc_simulate_order2_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    # Kalman filters.
    "kf_row_minus_vec": (None, [P_f64, i64, P_f64, P_f64, i64]),
    "kf_chol_solve_row": (None, [P_f64, P_f64, i64, P_f64, P_f64, P_f64, i64]),
    "kf_predict_cov": (None, [P_f64] * 5 + [i64]),
    "kf_measurement_cov": (None, [P_f64] * 5 + [i64, i64]),
    "kf_pc_t": (None, [P_f64] * 3 + [i64, i64]),
    "kf_gain_from_pc_t": (None, [P_f64] * 5 + [i64, i64]),
    "kf_state_update": (None, [P_f64] * 4 + [i64, i64]),
    "kf_identity_minus": (None, [P_f64, P_f64, i64]),
    "kf_joseph_cov": (None, [P_f64] * 9 + [i64, i64]),
    "kf_build_bqbt": (None, [P_f64] * 4 + [i64, i64]),
    "kf_build_shock_projection": (None, [P_f64] * 5 + [i64, i64, i64]),
    "kf_arena_size": (arena_size, [i64, i64, i64]),
    "kf_hot_loop": (c_int, [ctypes.POINTER(kf_inputs), P_f64, ctypes.POINTER(kf_outputs)]),
    "trova_filter_linear_input_arena_size": (i64, [i64] * 4),
    "trova_filter_linear_output_arena_size": (i64, [i64] * 4 + [c_int]),
    "trova_filter_linear_step": (c_int, [P_f64, P_f64] + [i64] * 4 + [c_int, f64, c_int, P_f64]),
    "trova_mc_filter_linear_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "ekf_arena_size": (arena_size, [i64, i64, i64]),
    "ekf_hot_loop": (c_int, [ctypes.POINTER(ekf_inputs), P_f64, ctypes.POINTER(ekf_outputs)]),
    "trova_filter_extended_input_arena_size": (i64, [i64] * 5),
    "trova_filter_extended_output_arena_size": (i64, [i64] * 4 + [c_int]),
    "trova_filter_extended_step": (
        c_int, [P_f64, P_f64, meas_fn, meas_fn] + [i64] * 5 + [c_int, f64, c_int, P_f64]),
    "trova_mc_filter_extended_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "ukf_arena_size": (arena_size, [i64] * 4),
    "ukf_hot_loop": (i64, [ctypes.POINTER(ukf_inputs), P_f64, ctypes.POINTER(ukf_outputs)]),
    "trova_filter_unscented_input_arena_size": (i64, [i64] * 6),
    "trova_filter_unscented_output_arena_size": (i64, [i64] * 4),
    "trova_filter_unscented_step": (
        i64, [P_f64, P_f64, meas_fn] + [i64] * 6 + [f64, f64, f64, c_int, f64, P_f64]),
    "trova_mc_filter_unscented_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "trova_filter_linear_input_offsets": (i64, [i64] * 4 + [ctypes.POINTER(kf_input_offsets)]),
    "trova_filter_linear_output_offsets": (i64, [i64] * 4 + [c_int, ctypes.POINTER(trova_filter_output_offsets)]),
    "trova_filter_extended_input_offsets": (i64, [i64] * 5 + [ctypes.POINTER(ekf_input_offsets)]),
    "trova_filter_extended_output_offsets": (i64, [i64] * 4 + [c_int, ctypes.POINTER(trova_filter_output_offsets)]),
    "trova_filter_unscented_input_offsets": (i64, [i64] * 6 + [ctypes.POINTER(ukf_input_offsets)]),
    "trova_filter_unscented_output_offsets": (i64, [i64] * 4 + [ctypes.POINTER(trova_filter_output_offsets)]),
    # Regression kernels.
    "trova_ols_chol_solve": (None, [P_f64, P_f64, i64, i64, P_f64, P_f64, P_i64, P_f64, P_f64]),
    "trova_chol_solve_L2": (None, [P_f64, P_f64, i64, i64, f64, i64, P_f64, P_f64, P_f64, P_i64]
                            + [P_f64] * 4),
    "trova_ridge_grid_search": (None, [P_f64, P_f64, i64, i64, P_f64, i64, i64, i64, P_f64, P_f64, P_f64,
                                       P_i64] + [P_f64] * 6),
    "trova_lasso_gram_cd": (i64, [P_f64, P_f64, i64, f64, i64, f64, P_f64, P_f64]),
    "trova_lars_lasso_gram": (i64, [P_f64, P_f64, i64, i64, f64, P_f64, P_f64, P_i64, P_f64]),
    "trova_lasso_path_eval": (i64, [P_f64, P_f64, i64, i64, P_f64, i64, P_f64]),
    "trova_en_gram_cd": (i64, [P_f64, P_f64, i64, f64, f64, P_f64, i64, f64, P_f64, P_f64]),
    "trova_en_gram_cd_path": (None, [P_f64, P_f64, i64, P_f64, i64, f64, i64, f64, P_f64, P_i64, P_f64,
                                     P_f64]),
    "trova_en_active_dof": (f64, [P_f64, P_f64, i64, f64, i64, f64, P_f64]),
    # Regression steps.
    "trova_mc_ols_fit": (None, [P_f64, P_f64, ctypes.POINTER(trova_mc_regression_record)] + [P_f64] * 4),
    "trova_mc_ridge_fit": (None, [P_f64, P_f64, f64, c_int, ctypes.POINTER(trova_mc_regression_record)]
                           + [P_f64] * 5),
    "trova_mc_ridge_gs_fit": (None, [P_f64, P_f64, P_f64, i64, i64, c_int,
                                     ctypes.POINTER(trova_mc_regression_record)] + [P_f64] * 6),
    "trova_mc_lasso_fit": (None, [P_f64, P_f64, f64, c_int, i64, f64, ctypes.POINTER(trova_mc_regression_record)]
                           + [P_f64] * 4),
    "trova_mc_lasso_gs_fit": (None, [P_f64, P_f64, P_f64, i64, c_int, i64, f64,
                                     ctypes.POINTER(trova_mc_regression_record)] + [P_f64] * 7),
    "trova_mc_elastic_net_fit": (None, [P_f64, P_f64, f64, f64, c_int, i64, f64,
                                        ctypes.POINTER(trova_mc_regression_record)] + [P_f64] * 4),
    "trova_mc_elastic_net_gs_fit": (None, [P_f64, P_f64, P_f64, i64, f64, i64, c_int, i64, f64,
                                           ctypes.POINTER(trova_mc_regression_record), P_f64, P_f64, P_f64,
                                           P_f64, P_i64, P_f64, P_f64, P_f64]),
    "trova_mc_ols_work_arena_size": (arena_size, [i64, i64]),
    "trova_mc_ridge_work_arena_size": (arena_size, [i64, i64]),
    "trova_mc_ridge_gs_work_arena_size": (arena_size, [i64, i64]),
    "trova_mc_lasso_work_arena_size": (arena_size, [i64, i64]),
    "trova_mc_lasso_gs_work_arena_size": (arena_size, [i64, i64, c_int, i64, i64]),
    "trova_mc_elastic_net_work_arena_size": (arena_size, [i64, i64]),
    "trova_mc_elastic_net_gs_work_arena_size": (arena_size, [i64, i64, c_int, i64]),
    "trova_mc_regression_output_offsets": (i64, [i64, c_int, ctypes.POINTER(trova_regression_output_offsets)]),
    "trova_mc_ols_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "trova_mc_ridge_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "trova_mc_ridge_gs_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "trova_mc_lasso_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "trova_mc_lasso_gs_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "trova_mc_elastic_net_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    "trova_mc_elastic_net_gs_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp]),
    # Series transforms.
    "trova_standardize_ax0": (i64, [P_f64, i64, i64, i64, P_f64, P_f64]),
    "trova_log": (i64, [P_f64, f64, i64, i64, P_f64]),
    "trova_log_diff": (i64, [P_f64, f64, i64, i64, P_f64, P_f64]),
    "trova_diff": (i64, [P_f64, i64, i64, i64, P_f64, P_f64]),
    "trova_rolling_mean": (i64, [P_f64, i64, i64, i64, P_f64, P_f64]),
    "trova_rolling_var": (i64, [P_f64, i64, i64, i64, i64, P_f64, P_f64]),
    "trova_rolling_std": (i64, [P_f64, i64, i64, i64, i64, P_f64, P_f64]),
    "trova_standardize_ax0_arena_size": (arena_size, [i64, i64]),
    "trova_log_arena_size": (arena_size, [i64, i64]),
    "trova_log_diff_arena_size": (arena_size, [i64, i64]),
    "trova_diff_arena_size": (arena_size, [i64, i64, i64]),
    "trova_rolling_mean_arena_size": (arena_size, [i64, i64, i64]),
    "trova_rolling_var_arena_size": (arena_size, [i64, i64, i64]),
    "trova_rolling_std_arena_size": (arena_size, [i64, i64, i64]),
    **{f"trova_mc_{name}_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp])
       for name in ("standardize", "log", "log_diff", "diff", "rolling_mean", "rolling_var",
                    "rolling_std", "user_transform")},
    # Diagnostic test steps.
    **{f"trova_mc_{name}_test_runner": (c_int, [i64, P_f64, P_f64, P_i64, P_i64, _vp])
       for name in ("wald", "ljung_box", "jarque_bera", "breusch_pagan", "breusch_godfrey", "cusum", "cusumsq",
                    "chow")},
    # Recursive residuals, CUSUM, CUSUMSQ and Chow.
    "trova_recursive_residuals": (c_int, [P_f64, P_f64, i64, i64, P_f64, P_f64]),
    "trova_cusum_series": (c_int, [P_f64, P_f64, i64, i64, P_f64, P_f64]),
    "trova_cusum_stat": (c_int, [P_f64, P_f64, i64, i64, P_f64, P_f64]),
    "trova_cusumsq_stat": (c_int, [P_f64, P_f64, i64, i64, P_i64, P_f64, P_f64]),
    "trova_chow_stat": (c_int, [P_f64, P_f64, i64, i64, i64, P_f64, P_f64]),
    "trova_cusum_arena_size": (arena_size, [i64, i64]),
    "trova_cusumsq_arena_size": (arena_size, [i64, i64]),
    "trova_chow_arena_size": (arena_size, [i64]),
    "trova_cusum_sf": (f64, [f64]),
    "trova_cusum_sf_into": (None, [P_f64, i64, P_f64]),
    # HAC covariance and Wald tests.
    **{f"trova_wald_{name}_hac": (c_int, [P_f64, P_f64, i64, i64, c_int, c_int, i64, P_f64, P_i64, P_f64])
       for name in ("mean", "covariance", "second_moment")},
    **{f"trova_wald_{name}_hac_arena_size": (arena_size, [i64, i64])
       for name in ("mean", "covariance", "second_moment")},
    "trova_wald_stat_from_mean_and_cov": (c_int, [P_f64, P_f64, P_f64, i64, i64, P_f64, P_f64, P_i64, P_f64,
                                                  P_f64]),
    "trova_hac_estimator_matmul": (None, [P_f64, c_int, i64, i64, i64, P_f64, P_f64]),
    "kernel_weight": (f64, [i64, i64, c_int]),
    "wooldridge_bandwidth": (i64, [P_f64, i64]),
    "andrews_bandwidth": (i64, [P_f64, c_int, i64]),
    "andrews_bandwidth_matrix": (i64, [P_f64, c_int, i64, i64, P_f64]),
    "trova_fill_mean_ax0": (None, [P_f64, i64, i64, P_f64]),
    "trova_fill_centered_ax0": (None, [P_f64, P_f64, i64, i64, P_f64]),
    "trova_symmetric_outer_prod_2dim": (c_int, [P_f64, i64, i64, i64, P_f64]),
    "trova_fill_symmetric_target_vec": (c_int, [P_f64, f64, f64, i64, P_f64]),
    # Residual diagnostics.
    "trova_acorr": (c_int, [P_f64, i64, i64, P_f64, P_f64]),
    "trova_lb_stat": (c_int, [P_f64, i64, i64, P_f64, P_f64, P_f64]),
    "trova_lb_arena_size": (arena_size, [i64, i64]),
    "trova_jb_stat": (c_int, [P_f64, i64, P_f64]),
    "trova_jb_pval_interp": (f64, [i64, f64]),
    "trova_jb_isf_interp": (f64, [i64, f64]),
    "trova_jb_pval_interp_into": (None, [i64, P_f64, i64, P_f64]),
    "trova_jb_isf_interp_into": (None, [i64, P_f64, i64, P_f64]),
    "trova_jb_find_hilo_ascending": (None, [f64, P_f64, i64, P_i64, P_i64]),
    "trova_jb_find_hilo_descending": (None, [f64, P_f64, i64, P_i64, P_i64]),
    "trova_bp_aux": (c_int, [P_f64, P_f64, i64, i64, P_f64, P_f64, P_f64]),
    "trova_bp_stat": (c_int, [P_f64, P_f64, i64, i64, i64, P_f64, P_f64]),
    "trova_bp_arena_size": (arena_size, [i64, i64]),
    "trova_bg_stat": (c_int, [P_f64, P_f64, i64, i64, i64, P_f64, P_f64]),
    "trova_bg_arena_size": (arena_size, [i64, i64, i64]),
}

# Exported read-only tables: name -> shape (rows, columns) of f64.
DATA = {
    "JB_N_GRID": (15,),
    "JB_PVAL_GRID": (23,),
    "JB_CV": (23, 15),
}


def _arena_in(directory):
    """The _arena*.so in directory, or None."""
    hits = sorted(glob.glob(os.path.join(directory, "_arena*.so")))
    return hits[0] if hits else None


def module_path():
    """Path of the shared object.

    $TROVA_MODULE when set; else the _arena module of the installed package
    this file belongs to (Tessaroventa/_ckernels/monte_carlo); else, for this
    file in the repository's python/, the default build tree's.
    """
    path = os.environ.get("TROVA_MODULE")
    if path:
        return path
    path = (_arena_in(os.path.join(_HERE, "monte_carlo"))
            or _arena_in(os.path.join(_REPO, "build", "python", "Tessaroventa", "_ckernels",
                                      "monte_carlo")))
    if not path:
        raise FileNotFoundError("build the project first: cmake -S . -B build && cmake --build build")
    return path


_LIB = None


def load():
    """The shared object as a ctypes.CDLL with every known signature declared."""
    global _LIB
    if _LIB is None:
        lib = ctypes.CDLL(module_path())
        for name, (restype, argtypes) in SIGNATURES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _LIB = lib
    return _LIB


def table(lib, name):
    """A copy of an exported table of DATA as a NumPy array."""
    shape = DATA[name]
    raw = (f64 * int(np.prod(shape))).in_dll(lib, name)
    return np.ctypeslib.as_array(raw).reshape(shape).copy()


def ptr(a):
    """Pointer to the first element of a contiguous float64 or int64 array (or None)."""
    if a is None:
        return None
    if not a.flags["C_CONTIGUOUS"]:
        raise ValueError("array must be C-contiguous")
    if a.dtype == np.float64:
        return a.ctypes.data_as(P_f64)
    if a.dtype == np.int64:
        return a.ctypes.data_as(P_i64)
    raise TypeError(f"unsupported dtype {a.dtype}")


def cptr(a):
    """c128 pointer to a C-contiguous complex128 array (or None)."""
    if a is None:
        return None
    if a.dtype != np.complex128 or not a.flags["C_CONTIGUOUS"]:
        raise TypeError("need a C-contiguous complex128 array")
    return a.ctypes.data_as(P_c128)


def lapack_zgges():
    """Address of Debian's LAPACK zgges_, for klein_qz (the library links no LAPACK)."""
    lapack = ctypes.CDLL("liblapack.so.3")
    return ctypes.cast(lapack.zgges_, ctypes.c_void_p).value


def klein_solve(lib, zgges, a, b, n_s):
    """First-order solution of a x(t+1) = b x(t) from the three library calls.

    The Python twin of tests/support/klein_solve.h: klein_qz gets column-major
    complex copies of a and b (zgges is column-major), and S, T and Z go back
    to row-major for klein_postproc. Returns (status, stab, eig, F, P, S, T, Z)
    with S, T and Z row-major, or None for the parts not reached.
    """
    n = a.shape[0]
    n_cs = n - n_s
    s = np.asfortranarray(a, dtype=np.complex128)
    t = np.asfortranarray(b, dtype=np.complex128)
    z = np.zeros((n, n), dtype=np.complex128, order="F")
    # A Fortran-ordered array's buffer is the column-major layout zgges reads.
    st = lib.klein_qz(zgges, n, s.ctypes.data_as(P_c128), t.ctypes.data_as(P_c128),
                      z.ctypes.data_as(P_c128))
    if st != 0:
        return st, None, None, None, None, None, None, None
    s, t, z = (np.ascontiguousarray(m) for m in (s, t, z))
    f = np.zeros((max(n_cs, 1), max(n_s, 1)), dtype=np.complex128)
    p = np.zeros((max(n_s, 1), max(n_s, 1)), dtype=np.complex128)
    eig = np.zeros(max(n, 1), dtype=np.complex128)
    stab = np.zeros(1, dtype=np.int64)
    st = lib.klein_postproc(cptr(s), cptr(t), cptr(z), n_s, n_cs, cptr(f), cptr(p), ptr(stab),
                            cptr(eig))
    return st, int(stab[0]), eig[:n], f[:n_cs, :n_s], p[:n_s, :n_s], s, t, z


def fn_address(lib, name):
    """Address of an exported C function, for storing in a step descriptor."""
    return ctypes.cast(getattr(lib, name), ctypes.c_void_p).value


class Layout:
    """Offsets of blocks placed one after another in a lane or packed buffer,
    as the library's layout code places them: every non-empty block is
    followed by the library's layout gap (trova_layout_gap(): 0 unless it was
    built with TROVA_LAYOUT_GAPS). take(*dims) returns the offset of the next
    block, of prod(dims) elements; `offset` is the size of the blocks so far."""

    def __init__(self, start=0):
        self.offset = start
        self.gap = load().trova_layout_gap()

    def take(self, *dims):
        start = self.offset
        size = int(np.prod(dims, dtype=np.int64))
        self.offset += size + (self.gap if size > 0 else 0)
        return start


def block_offsets(helper, *dims):
    """(size, {block: offset}) from one of the library's offset helpers, named
    with its arguments before the record, e.g.
    block_offsets("trova_filter_linear_output_offsets", n, m, k, T, 1) or
    block_offsets("trova_mc_regression_output_offsets", p, 1). The offsets
    are the library's own placement of the blocks (gaps included); blocks the
    layout does not have (offset -1) are left out. ValueError for dimensions
    the helper rejects."""
    fn = getattr(load(), helper)
    record = fn.argtypes[-1]._type_()
    size = fn(*dims, ctypes.byref(record))
    if size < 0:
        raise ValueError(f"{helper}{dims}: no layout for these dimensions")
    return size, {name: getattr(record, name) for name, _ in record._fields_ if getattr(record, name) >= 0}


def pack(blocks):
    """The arrays, flattened, one after another in one float64 buffer as the
    library lays out a packed input (Layout; the gaps hold 0)."""
    layout, at = Layout(), []
    blocks = [np.asarray(b, dtype=np.float64).ravel() for b in blocks]
    for b in blocks:
        at.append(layout.take(b.size))
    out = np.zeros(layout.offset)
    for b, a in zip(blocks, at):
        out[a:a + b.size] = b
    return out


def unpack(buffer, shapes):
    """Views of consecutive blocks of the given shapes in a packed buffer (a
    step's packed output), placed as the library places them (Layout)."""
    layout, views = Layout(), []
    for shape in shapes:
        shape = tuple(np.atleast_1d(shape))
        at = layout.take(*shape)
        views.append(buffer[at:at + int(np.prod(shape, dtype=np.int64))].reshape(shape))
    return views


class RunnerContextError(ValueError):
    """A runner context that trova_mc_run would reject (status -1) or in which
    a binding would fail every replication of its step (status -2); the
    message is the library's reason, naming the step, the binding, the rule
    and the numbers involved."""

    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status
        self.reason = reason


def check_runner(ctx):
    """(status, reason) of trova_mc_check_runner for a trova_mc_runner_ctx:
    (0, "") when the run accepts it and no binding would fail, else -1 or -2
    and the one-line reason. Nothing is run or written."""
    reason = ctypes.create_string_buffer(512)
    status = load().trova_mc_check_runner(ctypes.byref(ctx), reason, len(reason))
    return status, reason.value.decode()


class Pipeline:
    """Owns the NumPy buffers of a pipeline and fills the runner's records.

    Every step's output is retained for every replication at row = replication
    index unless `rows` says otherwise (-1: not kept; the retained block has
    max(rows) + 1 rows). Keep the Pipeline alive while its arrays are in use:
    the records point into them.
    """

    def __init__(self, n_rep, n_workers):
        self.n_rep = n_rep
        self.n_workers = n_workers
        self.steps = []
        self._keep = []

    def add_step(self, fn, ctx, n_in=0, n_out=0, n_int_work=0, n_int_out=0, rows=None):
        """fn: a C function address (int) or a trova_mc_step_fn; ctx: a ctypes object or None."""
        w = self.n_workers
        rows = np.arange(self.n_rep, dtype=np.int64) if rows is None else np.asarray(rows, np.int64)
        n_kept = max(int(rows.max(initial=-1)) + 1, 1)
        step = {
            "fn": fn,
            "ctx": ctx,
            "in": np.full(w * n_in, np.nan),
            "out": np.full(w * n_out, np.nan),
            "int_work": np.zeros(w * n_int_work, dtype=np.int64),
            "int_out": np.zeros(w * n_int_out, dtype=np.int64),
            "retained": np.full((n_kept, n_out), np.nan),
            "int_retained": np.zeros((n_kept, n_int_out), dtype=np.int64),
            "rows": rows,
            "lanes": (n_in, n_out, n_int_work, n_int_out),
            "bindings": [],
        }
        self.steps.append(step)
        return len(self.steps) - 1

    def bind(self, step, source_step_idx, target_offset, n_rows=1, columns=(), target_row_stride=None,
             source_offset=0, source_row_stride=1, row_start=0, fill_value=0.0, static=None,
             static_rep_stride=0, static_batched=False, n_columns=None):
        cols = np.ascontiguousarray(columns, dtype=np.int64)
        nc = len(cols) if n_columns is None else n_columns
        b = trova_mc_float_input_binding(
            source_step_idx, source_offset, source_row_stride, row_start, n_rows,
            ptr(cols) if len(cols) else None, nc, target_offset,
            nc if target_row_stride is None else target_row_stride, fill_value,
            ptr(static) if static is not None else None, static_rep_stride, int(static_batched))
        self._keep += [cols, static]
        self.steps[step]["bindings"].append(b)

    def bind_static(self, step, target_offset, array, batched=False):
        """Binds a whole array, flattened, to `target_offset` of the step's lane
        (batched: one row of `array` per replication) as one block of a packed
        input; returns the offset of the next block (past it and its layout
        gap). An empty array binds nothing."""
        a = np.ascontiguousarray(array, dtype=np.float64)
        width = a[0].size if batched else a.size
        if width:
            self.bind(step, -2, target_offset, columns=np.arange(width), source_row_stride=width,
                      static=a.ravel(), static_rep_stride=width, static_batched=batched)
        layout = Layout(target_offset)
        layout.take(width)
        return layout.offset

    def run(self, fail_fast=False, profile=False, start=0, count=None, check=True, first_rep=None):
        """Runs the replications at positions start .. start + count - 1 of
        this pipeline (all by default) as one runner call: their results,
        failure records and batched static blocks are those positions. The
        steps, and so the shock draws, see global replication indices: the
        position itself, or first_rep + i for the i-th replication of the call
        when first_rep is given (a pipeline sized for one shard of a larger
        study runs its replications as first_rep, first_rep + 1, ...). Any
        split of a study into runs therefore gives the same results. A run
        from position 0 resets the failure records and the profile, later
        chunks add to them. With `check` the context is checked first and a
        context the run would reject, or one with a binding that would fail,
        raises RunnerContextError with the library's reason, before anything
        runs."""
        lib = load()
        # The records of this run only: a pipeline run range after range (a
        # Dask worker's) must not keep every earlier run's records alive.
        run_records = []
        count = self.n_rep - start if count is None else count
        descs = (trova_mc_step_desc * len(self.steps))()
        for d, s in zip(descs, self.steps):
            n_in, n_out, n_iw, n_io = s["lanes"]
            fn = s["fn"]
            d.fn = fn if isinstance(fn, int) else ctypes.cast(fn, ctypes.c_void_p).value
            d.float_in_work, d.int_in_work = ptr(s["in"]), ptr(s["int_work"])
            d.float_live_out, d.int_live_out = ptr(s["out"]), ptr(s["int_out"])
            d.float_retained, d.int_retained = ptr(s["retained"]), ptr(s["int_retained"])
            d.retained_row_by_rep = ptr(s["rows"][start:start + count])
            d.float_in_work_worker_stride, d.int_in_work_worker_stride = n_in, n_iw
            d.float_live_out_worker_stride, d.int_live_out_worker_stride = n_out, n_io
            d.float_retained_stride, d.int_retained_stride = n_out, n_io
            d.ctx = ctypes.cast(ctypes.pointer(s["ctx"]), ctypes.c_void_p) if s["ctx"] is not None else None
            arr = (trova_mc_float_input_binding * max(1, len(s["bindings"])))(
                *(_binding_from(b, start) for b in s["bindings"]))
            run_records.append(arr)
            d.float_input_bindings = arr if s["bindings"] else None
            d.n_float_input_bindings = len(s["bindings"])
        n_steps = len(self.steps)
        if start == 0:
            self.failure_step = np.zeros(self.n_rep, dtype=np.int64)
            self.failure_status = np.zeros(self.n_rep, dtype=np.int64)
            self.elapsed = np.zeros((self.n_workers, n_steps))
            self.counts = np.zeros((self.n_workers, n_steps), dtype=np.int64)
            self.failures = np.zeros((self.n_workers, n_steps), dtype=np.int64)
        elapsed, counts, failures = (np.zeros_like(a) for a in (self.elapsed, self.counts, self.failures))
        ctx = trova_mc_runner_ctx()
        ctx.steps, ctx.n_steps = descs, n_steps
        ctx.n_rep, ctx.n_workers = count, self.n_workers
        ctx.fail_fast, ctx.profile_steps = int(fail_fast), int(profile)
        ctx.failure_step_by_rep = ptr(self.failure_step[start:start + count])
        ctx.failure_status_by_rep = ptr(self.failure_status[start:start + count])
        ctx.step_elapsed_s_by_worker = ptr(elapsed)
        ctx.step_counts_by_worker = ptr(counts)
        ctx.step_failures_by_worker = ptr(failures)
        run_records.append(descs)
        self._run_records = run_records
        if check:
            bad, reason = check_runner(ctx)
            if bad:
                raise RunnerContextError(bad, reason)
        status = lib.trova_mc_run_range(ctypes.byref(ctx), start if first_rep is None else first_rep)
        self.elapsed += elapsed
        self.counts += counts
        self.failures += failures
        self.ctx = ctx
        return status


def _binding_from(b, start):
    """The binding for a run whose first replication is at position `start`:
    a batched static source moves on to that position's block, because the
    runner indexes it by position inside the run."""
    if not (b.static_batched and start and b.static_source):
        return b
    nb = trova_mc_float_input_binding.from_buffer_copy(b)
    first = ctypes.cast(b.static_source, ctypes.c_void_p).value
    nb.static_source = ctypes.cast(first + start * b.static_rep_stride * ctypes.sizeof(f64), P_f64)
    return nb


class ShockPlan:
    """A trova_mc_shock_plan over NumPy arrays that it keeps alive.

    `entries` are dicts: normal entries give "columns" and "factor" (width x
    width) and optionally "loc"; uniform entries give "family": 1, "columns"
    (one column), "low" and "span". Every entry gives its Philox key words
    "key" and "idx".
    """

    def __init__(self, T, n_exog, entries, scale=1.0):
        self._keep = []
        recs = []
        for e in entries:
            family = e.get("family", 0)
            cols = np.ascontiguousarray(e["columns"], dtype=np.int64)
            factor = None if e.get("factor") is None else np.ascontiguousarray(e["factor"], dtype=np.float64)
            loc = None if e.get("loc") is None else np.ascontiguousarray(e["loc"], dtype=np.float64)
            self._keep += [cols, factor, loc]
            width = 1 if family == 1 else len(cols)
            recs.append(trova_mc_shock_entry(family, width, ptr(cols), ptr(factor), ptr(loc),
                                             e.get("low", 0.0), e.get("span", 0.0), e["key"], e["idx"]))
        self.entries = (trova_mc_shock_entry * max(1, len(recs)))(*recs)
        max_width = max([r.width for r in recs] + [1])
        self.plan = trova_mc_shock_plan(self.entries, len(recs), T, n_exog, scale, max_width)
        self.entry_dicts = list(entries)
        self.T, self.n_exog, self.scale = T, n_exog, scale

    def scratch_size(self):
        return load().trova_mc_shock_scratch_size(ctypes.byref(self.plan))

    def draw(self, rep):
        """Replication rep's T x n_exog shock matrix; ValueError for a plan the draw rejects."""
        scratch = np.full(max(1, self.scratch_size()), np.nan)
        out = np.full((self.T, self.n_exog), np.nan)
        if load().trova_mc_shock_draw(ctypes.byref(self.plan), rep, ptr(scratch), ptr(out)) != 0:
            raise ValueError("the shock plan is invalid")
        return out

