// Overflow-checked sizers of every pipeline step family. Each is the one
// layout code of its family run without a base; the exported C sizers are
// these reported through layout::native, and the arena-size module combines
// them with layout::plus, so neither can compute a size of its own.
#ifndef TROVA_COMMON_SIZERS_H
#define TROVA_COMMON_SIZERS_H

#include "layout.h"

namespace trova::sizing {

using layout::Size;

// Transforms: the step's float input lane (input, then scratch).
Size standardize_ax0(i64 n, i64 p);
Size log_transform(i64 n, i64 p);
Size log_diff(i64 n, i64 p);
Size diff(i64 n, i64 p, i64 order);
Size rolling_mean(i64 n, i64 p, i64 window);
Size rolling_var(i64 n, i64 p, i64 window);
Size rolling_std(i64 n, i64 p, i64 window);

// Regression steps' work lanes.
Size ols_work(i64 n, i64 p);
Size ridge_work(i64 n, i64 p);
Size ridge_gs_work(i64 n, i64 p);
Size lasso_work(i64 n, i64 p);
Size lasso_gs_work(i64 n, i64 p, int intercept, i64 n_alpha, i64 max_iter);
Size elastic_net_work(i64 n, i64 p);
Size elastic_net_gs_work(i64 n, i64 p, int intercept, i64 n_alpha);

// Simulation step arenas (float counts only).
Size simulate_order1(i64 n, i64 k, i64 T, i64 n_par);
Size simulate_order2(i64 n_state, i64 n_var, i64 n_exog, i64 T, i64 n_par);

// Filters: packed inputs and Kalman work arenas.
Size filter_linear_input(i64 n, i64 m, i64 k, i64 T);
Size filter_extended_input(i64 n, i64 m, i64 k, i64 T, i64 n_par);
Size filter_unscented_input(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs, i64 T, i64 n_par);
Size kf(i64 n, i64 m, i64 k);
Size ekf(i64 n, i64 m, i64 k);
Size ukf(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs);

// Diagnostics' work arenas.
Size wald_mean_hac(i64 n, i64 q);
Size wald_covariance_hac(i64 n, i64 q);
Size wald_second_moment_hac(i64 n, i64 q);
Size ljung_box(i64 n, i64 lags);
Size breusch_pagan(i64 n, i64 p);
Size breusch_godfrey(i64 n, i64 K, i64 lags);
Size chow(i64 p);
Size cusum(i64 T, i64 p);
Size cusumsq(i64 T, i64 p);

// Diagnostic steps' staged inputs in front of their work arenas: y (or the
// residuals) and X for the regression diagnostics; the residuals, X and the
// design with its intercept column for Breusch-Pagan.
Size regression_test_input(i64 n, i64 p);
Size breusch_pagan_input(i64 n, i64 k);

}  // namespace trova::sizing

#endif  // TROVA_COMMON_SIZERS_H
