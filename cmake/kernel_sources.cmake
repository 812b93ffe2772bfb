# The kernels' sources, relative to TROVA_SOURCE_ROOT (the repository's
# top): the library's build and the fuzzing build (fuzz/) both compile this
# one list.
get_filename_component(TROVA_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(TROVA_KERNEL_SOURCES
  ${TROVA_SOURCE_ROOT}/_ckernels/_common/trova_linalg.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/_common/trova_complex.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/_common/as241.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/monte_carlo/runner.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/monte_carlo/core_steps.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/monte_carlo/shocks.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/monte_carlo/transforms.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/rng/philox.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/rng/rng.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/core/core.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/core/klein_preproc.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/core/residual_path.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/core/spike.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/core/steady_state.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/core/bicomplex_hessian.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/core/klein_qz.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/core/klein_postproc.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/core/second_order.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/core/sylvester.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/kalman/kalman.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/kalman/kalman_small.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/kalman/kalman_ekf.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/kalman/kalman_ukf.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/kalman/kalman_ukf_small.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/regression/regression.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/regression/lasso.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/regression/elastic_net.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/monte_carlo/regression.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/diag/diag.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/diag/jb_lookup.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/diag/diag_wald.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/diag/diag_cusum.cpp
  ${TROVA_SOURCE_ROOT}/_ckernels/monte_carlo/tests.cpp
)
