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

    RECORD(c128);
    FIELD(c128, re);
    FIELD(c128, im);
    end_record();

    RECORD(bc256);
    FIELD(bc256, a);
    FIELD(bc256, b);
    end_record();

    RECORD(f64_lu);
    FIELD(f64_lu, lu);
    FIELD(f64_lu, piv);
    FIELD(f64_lu, n);
    FIELD(f64_lu, err);
    end_record();

    RECORD(c128_lu);
    FIELD(c128_lu, lu);
    FIELD(c128_lu, piv);
    FIELD(c128_lu, n);
    FIELD(c128_lu, err);
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

    RECORD(kf_inputs);
    FIELD(kf_inputs, n);
    FIELD(kf_inputs, m);
    FIELD(kf_inputs, k);
    FIELD(kf_inputs, T);
    FIELD(kf_inputs, A);
    FIELD(kf_inputs, B);
    FIELD(kf_inputs, C);
    FIELD(kf_inputs, d);
    FIELD(kf_inputs, Q);
    FIELD(kf_inputs, R);
    FIELD(kf_inputs, y);
    FIELD(kf_inputs, x0);
    FIELD(kf_inputs, P0);
    FIELD(kf_inputs, symmetrize);
    FIELD(kf_inputs, jitter);
    FIELD(kf_inputs, return_shocks);
    FIELD(kf_inputs, store_history);
    end_record();

    RECORD(kf_outputs);
    FIELD(kf_outputs, x_pred);
    FIELD(kf_outputs, x_filt);
    FIELD(kf_outputs, P_pred);
    FIELD(kf_outputs, P_filt);
    FIELD(kf_outputs, y_pred);
    FIELD(kf_outputs, y_filt);
    FIELD(kf_outputs, innov);
    FIELD(kf_outputs, std_innov);
    FIELD(kf_outputs, S);
    FIELD(kf_outputs, eps_hat);
    FIELD(kf_outputs, loglik);
    end_record();

    RECORD(ekf_inputs);
    FIELD(ekf_inputs, meas);
    FIELD(ekf_inputs, jac);
    FIELD(ekf_inputs, A);
    FIELD(ekf_inputs, B);
    FIELD(ekf_inputs, calib_params);
    FIELD(ekf_inputs, Q);
    FIELD(ekf_inputs, R);
    FIELD(ekf_inputs, y);
    FIELD(ekf_inputs, x0);
    FIELD(ekf_inputs, P0);
    FIELD(ekf_inputs, T);
    FIELD(ekf_inputs, n);
    FIELD(ekf_inputs, m);
    FIELD(ekf_inputs, k);
    FIELD(ekf_inputs, n_par);
    FIELD(ekf_inputs, jitter);
    FIELD(ekf_inputs, symmetrize);
    FIELD(ekf_inputs, compute_y_filt);
    FIELD(ekf_inputs, return_shocks);
    FIELD(ekf_inputs, store_history);
    end_record();

    RECORD(ekf_outputs);
    FIELD(ekf_outputs, x_pred);
    FIELD(ekf_outputs, x_filt);
    FIELD(ekf_outputs, P_pred);
    FIELD(ekf_outputs, P_filt);
    FIELD(ekf_outputs, y_pred);
    FIELD(ekf_outputs, y_filt);
    FIELD(ekf_outputs, innov);
    FIELD(ekf_outputs, std_innov);
    FIELD(ekf_outputs, S);
    FIELD(ekf_outputs, eps_hat);
    FIELD(ekf_outputs, loglik);
    end_record();

    RECORD(ukf_inputs);
    FIELD(ukf_inputs, meas);
    FIELD(ukf_inputs, hx);
    FIELD(ukf_inputs, gx);
    FIELD(ukf_inputs, bx);
    FIELD(ukf_inputs, hxx);
    FIELD(ukf_inputs, gxx);
    FIELD(ukf_inputs, hss);
    FIELD(ukf_inputs, gss);
    FIELD(ukf_inputs, steady_state);
    FIELD(ukf_inputs, params);
    FIELD(ukf_inputs, Q);
    FIELD(ukf_inputs, R);
    FIELD(ukf_inputs, obs);
    FIELD(ukf_inputs, z0);
    FIELD(ukf_inputs, P0);
    FIELD(ukf_inputs, T);
    FIELD(ukf_inputs, n_state);
    FIELD(ukf_inputs, n_ctrl);
    FIELD(ukf_inputs, n_exog);
    FIELD(ukf_inputs, n_obs);
    FIELD(ukf_inputs, n_params);
    FIELD(ukf_inputs, alpha);
    FIELD(ukf_inputs, beta);
    FIELD(ukf_inputs, kappa);
    FIELD(ukf_inputs, jitter);
    FIELD(ukf_inputs, symmetrize);
    FIELD(ukf_inputs, store_history);
    end_record();

    RECORD(ukf_outputs);
    FIELD(ukf_outputs, x1_pred);
    FIELD(ukf_outputs, x2_pred);
    FIELD(ukf_outputs, x1_filt);
    FIELD(ukf_outputs, x2_filt);
    FIELD(ukf_outputs, x_pred);
    FIELD(ukf_outputs, x_filt);
    FIELD(ukf_outputs, P_pred);
    FIELD(ukf_outputs, P_filt);
    FIELD(ukf_outputs, y_pred);
    FIELD(ukf_outputs, y_filt);
    FIELD(ukf_outputs, innov);
    FIELD(ukf_outputs, std_innov);
    FIELD(ukf_outputs, S);
    FIELD(ukf_outputs, loglik);
    end_record();

    RECORD(trova_mc_filter_linear_step_ctx);
    FIELD(trova_mc_filter_linear_step_ctx, T);
    FIELD(trova_mc_filter_linear_step_ctx, n);
    FIELD(trova_mc_filter_linear_step_ctx, m);
    FIELD(trova_mc_filter_linear_step_ctx, k);
    FIELD(trova_mc_filter_linear_step_ctx, symmetrize);
    FIELD(trova_mc_filter_linear_step_ctx, jitter);
    FIELD(trova_mc_filter_linear_step_ctx, return_shocks);
    end_record();

    RECORD(trova_mc_filter_extended_step_ctx);
    FIELD(trova_mc_filter_extended_step_ctx, measurement);
    FIELD(trova_mc_filter_extended_step_ctx, jacobian);
    FIELD(trova_mc_filter_extended_step_ctx, T);
    FIELD(trova_mc_filter_extended_step_ctx, n);
    FIELD(trova_mc_filter_extended_step_ctx, m);
    FIELD(trova_mc_filter_extended_step_ctx, k);
    FIELD(trova_mc_filter_extended_step_ctx, n_par);
    FIELD(trova_mc_filter_extended_step_ctx, symmetrize);
    FIELD(trova_mc_filter_extended_step_ctx, jitter);
    FIELD(trova_mc_filter_extended_step_ctx, return_shocks);
    end_record();

    RECORD(trova_mc_filter_unscented_step_ctx);
    FIELD(trova_mc_filter_unscented_step_ctx, measurement);
    FIELD(trova_mc_filter_unscented_step_ctx, T);
    FIELD(trova_mc_filter_unscented_step_ctx, n_state);
    FIELD(trova_mc_filter_unscented_step_ctx, n_ctrl);
    FIELD(trova_mc_filter_unscented_step_ctx, n_exog);
    FIELD(trova_mc_filter_unscented_step_ctx, n_obs);
    FIELD(trova_mc_filter_unscented_step_ctx, n_par);
    FIELD(trova_mc_filter_unscented_step_ctx, alpha);
    FIELD(trova_mc_filter_unscented_step_ctx, beta);
    FIELD(trova_mc_filter_unscented_step_ctx, kappa);
    FIELD(trova_mc_filter_unscented_step_ctx, symmetrize);
    FIELD(trova_mc_filter_unscented_step_ctx, jitter);
    end_record();

    RECORD(kf_input_offsets);
    FIELD(kf_input_offsets, A);
    FIELD(kf_input_offsets, B);
    FIELD(kf_input_offsets, C);
    FIELD(kf_input_offsets, d);
    FIELD(kf_input_offsets, Q);
    FIELD(kf_input_offsets, R);
    FIELD(kf_input_offsets, y);
    FIELD(kf_input_offsets, x0);
    FIELD(kf_input_offsets, P0);
    end_record();

    RECORD(ekf_input_offsets);
    FIELD(ekf_input_offsets, A);
    FIELD(ekf_input_offsets, B);
    FIELD(ekf_input_offsets, calib_params);
    FIELD(ekf_input_offsets, Q);
    FIELD(ekf_input_offsets, R);
    FIELD(ekf_input_offsets, y);
    FIELD(ekf_input_offsets, x0);
    FIELD(ekf_input_offsets, P0);
    end_record();

    RECORD(ukf_input_offsets);
    FIELD(ukf_input_offsets, hx);
    FIELD(ukf_input_offsets, gx);
    FIELD(ukf_input_offsets, bx);
    FIELD(ukf_input_offsets, hxx);
    FIELD(ukf_input_offsets, gxx);
    FIELD(ukf_input_offsets, hss);
    FIELD(ukf_input_offsets, gss);
    FIELD(ukf_input_offsets, steady_state);
    FIELD(ukf_input_offsets, params);
    FIELD(ukf_input_offsets, Q);
    FIELD(ukf_input_offsets, R);
    FIELD(ukf_input_offsets, obs);
    FIELD(ukf_input_offsets, z0);
    FIELD(ukf_input_offsets, P0);
    end_record();

    RECORD(trova_filter_output_offsets);
    FIELD(trova_filter_output_offsets, x_pred);
    FIELD(trova_filter_output_offsets, x_filt);
    FIELD(trova_filter_output_offsets, P_pred);
    FIELD(trova_filter_output_offsets, P_filt);
    FIELD(trova_filter_output_offsets, y_pred);
    FIELD(trova_filter_output_offsets, y_filt);
    FIELD(trova_filter_output_offsets, innov);
    FIELD(trova_filter_output_offsets, std_innov);
    FIELD(trova_filter_output_offsets, S);
    FIELD(trova_filter_output_offsets, eps_hat);
    FIELD(trova_filter_output_offsets, loglik);
    FIELD(trova_filter_output_offsets, x1_pred);
    FIELD(trova_filter_output_offsets, x2_pred);
    FIELD(trova_filter_output_offsets, x1_filt);
    FIELD(trova_filter_output_offsets, x2_filt);
    end_record();

    RECORD(trova_mc_regression_record);
    FIELD(trova_mc_regression_record, n);
    FIELD(trova_mc_regression_record, p);
    FIELD(trova_mc_regression_record, coef);
    FIELD(trova_mc_regression_record, se);
    FIELD(trova_mc_regression_record, ssr);
    FIELD(trova_mc_regression_record, sst);
    FIELD(trova_mc_regression_record, status);
    end_record();

    RECORD(trova_regression_output_offsets);
    FIELD(trova_regression_output_offsets, coef);
    FIELD(trova_regression_output_offsets, ssr);
    FIELD(trova_regression_output_offsets, sst);
    FIELD(trova_regression_output_offsets, se);
    end_record();

    RECORD(trova_mc_ols_step_ctx);
    FIELD(trova_mc_ols_step_ctx, n);
    FIELD(trova_mc_ols_step_ctx, p);
    FIELD(trova_mc_ols_step_ctx, intercept);
    end_record();

    RECORD(trova_mc_ridge_step_ctx);
    FIELD(trova_mc_ridge_step_ctx, n);
    FIELD(trova_mc_ridge_step_ctx, p);
    FIELD(trova_mc_ridge_step_ctx, intercept);
    FIELD(trova_mc_ridge_step_ctx, alpha);
    end_record();

    RECORD(trova_mc_ridge_gs_step_ctx);
    FIELD(trova_mc_ridge_gs_step_ctx, alphas);
    FIELD(trova_mc_ridge_gs_step_ctx, n);
    FIELD(trova_mc_ridge_gs_step_ctx, p);
    FIELD(trova_mc_ridge_gs_step_ctx, n_alpha);
    FIELD(trova_mc_ridge_gs_step_ctx, criterion);
    FIELD(trova_mc_ridge_gs_step_ctx, intercept);
    end_record();

    RECORD(trova_mc_lasso_step_ctx);
    FIELD(trova_mc_lasso_step_ctx, n);
    FIELD(trova_mc_lasso_step_ctx, p);
    FIELD(trova_mc_lasso_step_ctx, intercept);
    FIELD(trova_mc_lasso_step_ctx, max_iter);
    FIELD(trova_mc_lasso_step_ctx, tol);
    FIELD(trova_mc_lasso_step_ctx, alpha);
    end_record();

    RECORD(trova_mc_lasso_gs_step_ctx);
    FIELD(trova_mc_lasso_gs_step_ctx, alphas);
    FIELD(trova_mc_lasso_gs_step_ctx, n);
    FIELD(trova_mc_lasso_gs_step_ctx, p);
    FIELD(trova_mc_lasso_gs_step_ctx, n_alpha);
    FIELD(trova_mc_lasso_gs_step_ctx, intercept);
    FIELD(trova_mc_lasso_gs_step_ctx, max_iter);
    FIELD(trova_mc_lasso_gs_step_ctx, tol);
    end_record();

    RECORD(trova_mc_elastic_net_step_ctx);
    FIELD(trova_mc_elastic_net_step_ctx, n);
    FIELD(trova_mc_elastic_net_step_ctx, p);
    FIELD(trova_mc_elastic_net_step_ctx, intercept);
    FIELD(trova_mc_elastic_net_step_ctx, max_iter);
    FIELD(trova_mc_elastic_net_step_ctx, tol);
    FIELD(trova_mc_elastic_net_step_ctx, alpha);
    FIELD(trova_mc_elastic_net_step_ctx, l1_ratio);
    end_record();

    RECORD(trova_mc_elastic_net_gs_step_ctx);
    FIELD(trova_mc_elastic_net_gs_step_ctx, alphas);
    FIELD(trova_mc_elastic_net_gs_step_ctx, n);
    FIELD(trova_mc_elastic_net_gs_step_ctx, p);
    FIELD(trova_mc_elastic_net_gs_step_ctx, n_alpha);
    FIELD(trova_mc_elastic_net_gs_step_ctx, criterion);
    FIELD(trova_mc_elastic_net_gs_step_ctx, intercept);
    FIELD(trova_mc_elastic_net_gs_step_ctx, max_iter);
    FIELD(trova_mc_elastic_net_gs_step_ctx, tol);
    FIELD(trova_mc_elastic_net_gs_step_ctx, l1_ratio);
    end_record();

    RECORD(trova_mc_standardize_step_ctx);
    FIELD(trova_mc_standardize_step_ctx, n);
    FIELD(trova_mc_standardize_step_ctx, p);
    FIELD(trova_mc_standardize_step_ctx, ddof);
    end_record();

    RECORD(trova_mc_log_step_ctx);
    FIELD(trova_mc_log_step_ctx, n);
    FIELD(trova_mc_log_step_ctx, p);
    FIELD(trova_mc_log_step_ctx, offset);
    end_record();

    RECORD(trova_mc_log_diff_step_ctx);
    FIELD(trova_mc_log_diff_step_ctx, n);
    FIELD(trova_mc_log_diff_step_ctx, p);
    FIELD(trova_mc_log_diff_step_ctx, offset);
    end_record();

    RECORD(trova_mc_diff_step_ctx);
    FIELD(trova_mc_diff_step_ctx, n);
    FIELD(trova_mc_diff_step_ctx, p);
    FIELD(trova_mc_diff_step_ctx, order);
    end_record();

    RECORD(trova_mc_rolling_mean_step_ctx);
    FIELD(trova_mc_rolling_mean_step_ctx, n);
    FIELD(trova_mc_rolling_mean_step_ctx, p);
    FIELD(trova_mc_rolling_mean_step_ctx, window);
    end_record();

    RECORD(trova_mc_rolling_var_step_ctx);
    FIELD(trova_mc_rolling_var_step_ctx, n);
    FIELD(trova_mc_rolling_var_step_ctx, p);
    FIELD(trova_mc_rolling_var_step_ctx, window);
    FIELD(trova_mc_rolling_var_step_ctx, ddof);
    end_record();

    RECORD(trova_mc_rolling_std_step_ctx);
    FIELD(trova_mc_rolling_std_step_ctx, n);
    FIELD(trova_mc_rolling_std_step_ctx, p);
    FIELD(trova_mc_rolling_std_step_ctx, window);
    FIELD(trova_mc_rolling_std_step_ctx, ddof);
    end_record();

    RECORD(trova_mc_user_transform_step_ctx);
    FIELD(trova_mc_user_transform_step_ctx, fn);
    FIELD(trova_mc_user_transform_step_ctx, n_in);
    FIELD(trova_mc_user_transform_step_ctx, p_in);
    FIELD(trova_mc_user_transform_step_ctx, n_out);
    FIELD(trova_mc_user_transform_step_ctx, p_out);
    end_record();

    RECORD(kernel_inp_t);
    FIELD(kernel_inp_t, c);
    FIELD(kernel_inp_t, q);
    end_record();

    RECORD(trova_mc_wald_test_ctx);
    FIELD(trova_mc_wald_test_ctx, target);
    FIELD(trova_mc_wald_test_ctx, n);
    FIELD(trova_mc_wald_test_ctx, q);
    FIELD(trova_mc_wald_test_ctx, manual_bandwidth);
    FIELD(trova_mc_wald_test_ctx, kernel_id);
    FIELD(trova_mc_wald_test_ctx, bandwidth_mode);
    FIELD(trova_mc_wald_test_ctx, kind);
    end_record();

    RECORD(trova_mc_ljung_box_test_ctx);
    FIELD(trova_mc_ljung_box_test_ctx, n);
    FIELD(trova_mc_ljung_box_test_ctx, lags);
    end_record();

    RECORD(trova_mc_jarque_bera_test_ctx);
    FIELD(trova_mc_jarque_bera_test_ctx, n);
    end_record();

    RECORD(trova_mc_breusch_pagan_test_ctx);
    FIELD(trova_mc_breusch_pagan_test_ctx, n);
    FIELD(trova_mc_breusch_pagan_test_ctx, k);
    FIELD(trova_mc_breusch_pagan_test_ctx, robust);
    end_record();

    RECORD(trova_mc_breusch_godfrey_test_ctx);
    FIELD(trova_mc_breusch_godfrey_test_ctx, n);
    FIELD(trova_mc_breusch_godfrey_test_ctx, k);
    FIELD(trova_mc_breusch_godfrey_test_ctx, lags);
    end_record();

    RECORD(trova_mc_cusum_test_ctx);
    FIELD(trova_mc_cusum_test_ctx, n);
    FIELD(trova_mc_cusum_test_ctx, p);
    end_record();

    RECORD(trova_mc_cusumsq_test_ctx);
    FIELD(trova_mc_cusumsq_test_ctx, n);
    FIELD(trova_mc_cusumsq_test_ctx, p);
    end_record();

    RECORD(trova_mc_chow_test_ctx);
    FIELD(trova_mc_chow_test_ctx, n);
    FIELD(trova_mc_chow_test_ctx, p);
    FIELD(trova_mc_chow_test_ctx, t_break);
    end_record();

    printf("\n}\n");
    return 0;
}
