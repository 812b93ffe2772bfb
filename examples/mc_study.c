/* Monte Carlo study with drawn shocks, in two pipelines.
 *
 * 1. A VAR(1), x_t = A x_{t-1} + eps_t with correlated normal shocks
 *    eps_t ~ N(0, Sigma), is simulated from a shock plan and a moments step
 *    computes each replication's sample mean, covariance and first-order
 *    autocovariances. Their averages over the replications are compared with
 *    the stationary values: mean 0, Gamma0 solving Gamma0 = A Gamma0 A' +
 *    Sigma, and Gamma1 = A Gamma0. The linear Kalman filter then evaluates
 *    the log-likelihood of two observed combinations y = C x at the true
 *    parameters; its distribution over the replications is compared with
 *    its expectation.
 * 2. The small-sample bias of least squares in an AR(1): y_t = mu + x_t with
 *    x_t = rho x_{t-1} + e_t is simulated (the measurement callback adds the
 *    mean), and a fitting step regresses y_t on (1, y_{t-1}), its regressors
 *    and regressand assembled by input bindings from the simulation's
 *    output. It reports the bias of rho-hat and the size of the 5% t-test.
 *
 * Every replication draws its own shocks from per-replication Philox streams,
 * so the results do not depend on the number of workers. The runner spreads
 * the replications over every core and profiles the steps.
 *
 *   mc_study [n_rep] [T] [rho]
 */
#include <math.h>
#include <omp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trova.h"
#include "klein_solve.h"
#include "trova_model.h"
#include "trova_qz.h"

/* The growth model's residual callbacks (tests/models/growth_model.cpp) and
 * Debian LAPACK's zgges, both linked into this program only. */
void growth_residual_c128(const c128* fwd, const c128* cur, const c128* par, c128* out);
void growth_residual_bc256(const bc256* fwd, const bc256* cur, const bc256* par, bc256* out);
void rbc_residual_c128(const c128* fwd, const c128* cur, const c128* par, c128* out);
void rbc_residual_bc256(const bc256* fwd, const bc256* cur, const bc256* par, bc256* out);
void zgges_(const char* jobvsl, const char* jobvsr, const char* sort, klein_zselect2_fn selctg,
            const int* n, c128* a, const int* lda, c128* b, const int* ldb, int* sdim, c128* alpha,
            c128* beta, c128* vsl, const int* ldvsl, c128* vsr, const int* ldvsr, c128* work,
            const int* lwork, f64* rwork, int* bwork, int* info);

#define BURN_IN 100 /* periods simulated from x0 = 0 and dropped */

static void* xmalloc(size_t n) {
    void* p = calloc(n ? n : 1, 1);
    if (!p) {
        fprintf(stderr, "out of memory\n");
        exit(1);
    }
    return p;
}

/* ---- buffers of a pipeline step ---- */

/* Allocates the lanes and result rows of one step; the outputs of the first
 * `keep` replications are kept, at row = replication index. */
static void step_buffers(trova_mc_step_desc* s, i64 n_workers, i64 n_rep, i64 lane_in, i64 lane_out,
                         i64 int_out, i64 keep) {
    i64* rows = xmalloc(sizeof(i64) * (size_t)n_rep);
    for (i64 r = 0; r < n_rep; ++r) rows[r] = r < keep ? r : -1;
    s->retained_row_by_rep = rows;
    s->float_in_work = lane_in ? xmalloc(sizeof(f64) * (size_t)(n_workers * lane_in)) : NULL;
    s->float_live_out = lane_out ? xmalloc(sizeof(f64) * (size_t)(n_workers * lane_out)) : NULL;
    s->int_live_out = int_out ? xmalloc(sizeof(i64) * (size_t)(n_workers * int_out)) : NULL;
    const i64 n_rows = keep > 0 ? keep : 1; /* rows that are never kept still need a base */
    s->float_retained = lane_out ? xmalloc(sizeof(f64) * (size_t)(n_rows * lane_out)) : NULL;
    s->int_retained = int_out ? xmalloc(sizeof(i64) * (size_t)(n_rows * int_out)) : NULL;
    s->float_in_work_worker_stride = lane_in;
    s->float_live_out_worker_stride = lane_out;
    s->int_live_out_worker_stride = int_out;
    s->float_retained_stride = lane_out;
    s->int_retained_stride = int_out;
}

static void free_step(trova_mc_step_desc* s) {
    free((void*)s->retained_row_by_rep);
    free(s->float_in_work);
    free(s->float_live_out);
    free(s->int_live_out);
    free(s->float_retained);
    free(s->int_retained);
}

/* Copy of rows [row_start, row_start + n_rows) and the given columns of an
 * earlier step's output (step >= 0) or of static data (step <= -2). */
static trova_mc_float_input_binding bind_rows(i64 step, i64 source_offset, i64 source_stride, i64 row_start,
                                              i64 n_rows, const i64* cols, i64 n_cols, i64 target_offset,
                                              i64 target_stride) {
    trova_mc_float_input_binding b;
    memset(&b, 0, sizeof b);
    b.source_step_idx = step;
    b.source_offset = source_offset;
    b.source_row_stride = source_stride;
    b.row_start = row_start;
    b.n_rows = n_rows;
    b.columns = cols;
    b.n_columns = n_cols;
    b.target_offset = target_offset;
    b.target_row_stride = target_stride;
    return b;
}

/* Offsets of blocks placed one after another in a lane, as the library
 * places the blocks of a packed input, arena or packed output: each
 * non-empty block is followed by trova_layout_gap() elements (0 unless the
 * library was built with TROVA_LAYOUT_GAPS). take() returns a block's
 * offset; `offset` is then the size so far. */
typedef struct lane_layout {
    i64 offset, gap;
} lane_layout;

static lane_layout layout_from(i64 start) {
    lane_layout l = {start, trova_layout_gap()};
    return l;
}

static i64 take(lane_layout* l, i64 n) {
    const i64 at = l->offset;
    l->offset += n > 0 ? n + l->gap : n;
    return at;
}

/* Static binding of a whole array to `offset` of a step's lane; `cols` must
 * hold 0 .. n-1 and outlive the run. */
static trova_mc_float_input_binding bind_static(const f64* src, i64 n, i64 offset, const i64* cols) {
    trova_mc_float_input_binding b = bind_rows(-2, 0, n, 0, 1, cols, n, offset, n);
    b.static_source = src;
    return b;
}

typedef struct run_record {
    i64* fail_step;
    i64* fail_status;
    f64* elapsed;
    i64* counts;
    i64* failures;
    double wall;
} run_record;

static run_record run_pipeline(trova_mc_step_desc* steps, i64 n_steps, i64 n_rep, i64 n_workers) {
    run_record rec;
    rec.fail_step = xmalloc(sizeof(i64) * (size_t)n_rep);
    rec.fail_status = xmalloc(sizeof(i64) * (size_t)n_rep);
    rec.elapsed = xmalloc(sizeof(f64) * (size_t)(n_workers * n_steps));
    rec.counts = xmalloc(sizeof(i64) * (size_t)(n_workers * n_steps));
    rec.failures = xmalloc(sizeof(i64) * (size_t)(n_workers * n_steps));
    trova_mc_runner_ctx run;
    memset(&run, 0, sizeof run);
    run.steps = steps;
    run.n_steps = n_steps;
    run.n_rep = n_rep;
    run.n_workers = n_workers;
    run.failure_step_by_rep = rec.fail_step;
    run.failure_status_by_rep = rec.fail_status;
    run.profile_steps = 1;
    run.step_elapsed_s_by_worker = rec.elapsed;
    run.step_counts_by_worker = rec.counts;
    run.step_failures_by_worker = rec.failures;
    const double t0 = omp_get_wtime();
    if (trova_mc_run(&run) < 0) {
        fprintf(stderr, "trova_mc_run rejected the pipeline\n");
        exit(1);
    }
    rec.wall = omp_get_wtime() - t0;
    return rec;
}

static i64 count_failed(const run_record* rec, i64 n_rep) {
    i64 failed = 0;
    for (i64 r = 0; r < n_rep; ++r) failed += rec->fail_step[r] != -1;
    return failed;
}

static void print_profile(const run_record* rec, const char* const* names, i64 n_steps, i64 n_workers) {
    printf("  step profile (seconds include input materialisation)\n");
    printf("    %-10s %6s %9s %9s %9s %9s\n", "step", "worker", "calls", "failures", "seconds", "us/call");
    for (i64 s = 0; s < n_steps; ++s) {
        for (i64 w = 0; w < n_workers; ++w) {
            const i64 k = w * n_steps + s;
            printf("    %-10s %6lld %9lld %9lld %9.4f %9.3f\n", names[s], (long long)w,
                   (long long)rec->counts[k], (long long)rec->failures[k], rec->elapsed[k],
                   rec->counts[k] ? 1e6 * rec->elapsed[k] / (double)rec->counts[k] : 0.0);
        }
    }
}

static void free_record(run_record* rec) {
    free(rec->fail_step);
    free(rec->fail_status);
    free(rec->elapsed);
    free(rec->counts);
    free(rec->failures);
}

/* ---- study 1: moments of a simulated VAR(1) ---- */

enum { NV = 3 };
/* Moments of one replication: mean (3), Gamma0 upper triangle (6), diagonal of Gamma1 (3). */
enum { N_MOM = NV + NV * (NV + 1) / 2 + NV };

typedef struct moments_ctx {
    i64 T;
} moments_ctx;

/* Lane: T x NV states. Gamma0 and Gamma1 are taken about the known zero
 * mean, so their expectations are exactly the stationary values. */
static int moments_step(i64 rep_idx, f64* lane, f64* out, i64* int_work, i64* int_out, const void* ctx) {
    (void)rep_idx;
    (void)int_work;
    const i64 T = ((const moments_ctx*)ctx)->T;
    double mean[NV] = {0}, g0[NV][NV] = {{0}}, g1[NV] = {0};
    for (i64 t = 0; t < T; ++t) {
        const f64* x = lane + t * NV;
        for (int i = 0; i < NV; ++i) {
            mean[i] += x[i];
            for (int j = i; j < NV; ++j) g0[i][j] += x[i] * x[j];
            if (t > 0) g1[i] += x[i] * x[i - NV];
        }
    }
    int k = 0;
    for (int i = 0; i < NV; ++i) out[k++] = mean[i] / (double)T;
    for (int i = 0; i < NV; ++i)
        for (int j = i; j < NV; ++j) out[k++] = g0[i][j] / (double)T;
    for (int i = 0; i < NV; ++i) out[k++] = g1[i] / (double)(T - 1);
    if (int_out) int_out[0] = 0;
    return 0;
}

/* Gamma0 = sum_j A^j Sigma A'^j by doubling: G <- G + P G P', P <- P P. */
static void stationary_covariance(const double* A, const double* Sigma, double* G) {
    double P[NV * NV], T1[NV * NV], T2[NV * NV];
    memcpy(P, A, sizeof P);
    memcpy(G, Sigma, sizeof T1);
    for (int it = 0; it < 60; ++it) {
        trova_matmul(P, G, T1, NV, NV, NV);
        trova_matmul_abt(T1, P, T2, NV, NV, NV);
        for (int k = 0; k < NV * NV; ++k) G[k] += T2[k];
        trova_matmul(P, P, T1, NV, NV, NV);
        memcpy(P, T1, sizeof P);
    }
}

/* Observables of the VAR: y = C x, three combinations of the three states. */
enum { NO = 3 };
static const double kC[NO * NV] = {1.0, 0.0, 0.0, 0.0, 1.0, 1.0, 0.0, -0.5, 1.0};
static void var_observe(f64* x, f64* params, f64* y) {
    (void)params;
    for (int j = 0; j < NO; ++j) y[j] = kC[j * NV] * x[0] + kC[j * NV + 1] * x[1] + kC[j * NV + 2] * x[2];
}

/* Copies the first n values of its input lane to its output: keeps one
 * number out of a large output lane that is not itself retained. */
typedef struct select_ctx {
    i64 n;
} select_ctx;

static int select_step(i64 rep_idx, f64* lane, f64* out, i64* int_work, i64* int_out, const void* ctx) {
    (void)rep_idx;
    (void)int_work;
    memcpy(out, lane, sizeof(f64) * (size_t)((const select_ctx*)ctx)->n);
    if (int_out) int_out[0] = 0;
    return 0;
}

/* Residuals of a fitted regression: lane = X (T x P) | y (T) | coef (P),
 * X and y where a regression step's lane has them. */
typedef struct residual_ctx {
    i64 T, P;
} residual_ctx;

typedef struct residual_layout {
    i64 X, y, coef, n_float;
} residual_layout;

static residual_layout residual_lane(i64 T, i64 P) {
    residual_layout r;
    lane_layout l = layout_from(0);
    r.X = take(&l, T * P);
    r.y = take(&l, T);
    r.coef = take(&l, P);
    r.n_float = l.offset;
    return r;
}

static int residual_step(i64 rep_idx, f64* lane, f64* out, i64* int_work, i64* int_out, const void* ctx) {
    (void)rep_idx;
    (void)int_work;
    const residual_ctx* c = (const residual_ctx*)ctx;
    const residual_layout r = residual_lane(c->T, c->P);
    const f64* X = lane + r.X;
    const f64* y = lane + r.y;
    const f64* coef = lane + r.coef;
    for (i64 t = 0; t < c->T; ++t) out[t] = y[t] - trova_dot(X + t * c->P, coef, c->P);
    if (int_out) int_out[0] = 0;
    return 0;
}

static int cmp_double(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

/* Quantile q of sorted values (linear interpolation). */
static double quantile(const double* sorted, i64 n, double q) {
    const double h = q * (double)(n - 1);
    const i64 lo = (i64)h;
    return lo + 1 < n ? sorted[lo] + (h - (double)lo) * (sorted[lo + 1] - sorted[lo]) : sorted[n - 1];
}

static i64 var_study(i64 n_rep, i64 T, i64 n_workers) {
    static const double A[NV * NV] = {0.7, 0.2, 0.0, -0.1, 0.5, 0.2, 0.1, 0.0, 0.3};
    static const double B[NV * NV] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    static const double Sigma[NV * NV] = {1.0, 0.5, 0.2, 0.5, 1.0, 0.3, 0.2, 0.3, 0.5};
    static const double d[NO] = {0}, R[NO * NO] = {0}, x0[NV] = {0, 0, 0};
    static const i64 cols[NV * NV] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    double L[NV * NV];
    if (trova_chol(Sigma, 0.0, L, NV) != 0) return 1;
    double G0[NV * NV], G1[NV * NV];
    stationary_covariance(A, Sigma, G0);
    trova_matmul(A, G0, G1, NV, NV, NV);

    /* One normal entry drives the three shocks through the Cholesky factor. */
    trova_mc_shock_entry entry;
    memset(&entry, 0, sizeof entry);
    entry.width = NV;
    entry.columns = cols;
    entry.factor = L;
    entry.key = 2026;
    entry.entry_idx = 0;
    const i64 T_sim = BURN_IN + T;
    const trova_mc_shock_plan plan = {&entry, 1, T_sim, NV, 1.0, NV};

    /* Step 0: simulation, states (T_sim x 3) then observables (T_sim x 2). */
    const i64 arena = trova_simulate_order1_arena_size(NV, NV, T_sim, 0);
    trova_mc_simulate_order1_step_ctx sim = {var_observe, T_sim, NV, NV, 0, NO, &plan, arena};
    lane_layout sim_lane = layout_from(0); /* A | B | x0 | shocks | params */
    const i64 sim_A = take(&sim_lane, NV * NV), sim_B = take(&sim_lane, NV * NV), sim_x0 = take(&sim_lane, NV);
    trova_mc_float_input_binding sim_bind[3] = {
        bind_static(A, NV * NV, sim_A, cols), bind_static(B, NV * NV, sim_B, cols),
        bind_static(x0, NV, sim_x0, cols)};
    /* Step 1: moments of the states after the burn-in. */
    moments_ctx mom = {T};
    trova_mc_float_input_binding mom_bind[1] = {bind_rows(0, 0, NV, BURN_IN, T, cols, NV, 0, NV)};
    /* Step 2: the linear filter on the observables after the burn-in, at the
     * true parameters, from the stationary prior x_{-1} ~ N(0, Gamma0).
     * Packed input: A | B | C | d | Q | R | y | x0 | P0, then the scratch. */
    trova_mc_filter_linear_step_ctx kf = {T, NV, NO, NV, 1, 0.0, 0};
    kf_input_offsets f;             /* where each input block goes */
    trova_filter_output_offsets fo; /* where each output block is */
    const i64 kf_in = trova_filter_linear_input_offsets(NV, NO, NV, T, &f);
    const i64 kf_out = trova_filter_linear_output_offsets(NV, NO, NV, T, 0, &fo);
    trova_mc_float_input_binding kf_bind[9] = {
        bind_static(A, NV * NV, f.A, cols),
        bind_static(B, NV * NV, f.B, cols),
        bind_static(kC, NO * NV, f.C, cols),
        bind_static(d, NO, f.d, cols),
        bind_static(Sigma, NV * NV, f.Q, cols),
        bind_static(R, NO * NO, f.R, cols),
        bind_rows(0, T_sim * NV, NO, BURN_IN, T, cols, NO, f.y, NO),
        bind_static(x0, NV, f.x0, cols),
        bind_static(G0, NV * NV, f.P0, cols)};
    /* Step 3: keeps the log-likelihood, the filter's output's last block. */
    select_ctx sel = {1};
    trova_mc_float_input_binding sel_bind[1] = {bind_rows(2, fo.loglik, 1, 0, 1, cols, 1, 0, 1)};

    /* Steps 4 and 5: regressions of the first observable on the other two
     * (with an intercept): OLS, and a lasso whose penalty is chosen by BIC
     * on a grid (the elastic-net grid with l1_ratio 1). X = [1, y2, y3] and
     * the regressand y1 come from the simulation's observables. */
    enum { P = 3, N_ALPHA = 8 };
    static const double alphas[N_ALPHA] = {0.5, 0.2, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002};
    trova_mc_ols_step_ctx ols = {T, P, 1};
    trova_mc_elastic_net_gs_step_ctx lasso = {alphas, T, P, N_ALPHA, REGRESSION_CRIT_BIC, 1, 100000, 1e-10, 1.0};
    const residual_layout reg = residual_lane(T, P); /* X and y as a regression step's lane has them */
    trova_regression_output_offsets ols_at, lasso_at; /* coef, ssr, sst (, se) in the output lanes */
    const i64 ols_out = trova_mc_regression_output_offsets(P, 1, &ols_at);
    const i64 lasso_out = trova_mc_regression_output_offsets(P, 0, &lasso_at);
    trova_mc_float_input_binding reg_bind[3];
    memset(reg_bind, 0, sizeof reg_bind);
    reg_bind[0].source_step_idx = -1; /* the intercept column */
    reg_bind[0].n_rows = T;
    reg_bind[0].n_columns = 1;
    reg_bind[0].target_offset = reg.X;
    reg_bind[0].target_row_stride = P;
    reg_bind[0].fill_value = 1.0;
    reg_bind[1] = bind_rows(0, T_sim * NV, NO, BURN_IN, T, cols + 1, 2, reg.X + 1, P);
    reg_bind[2] = bind_rows(0, T_sim * NV, NO, BURN_IN, T, cols, 1, reg.y, 1);

    /* Steps 6 to 8: Ljung-Box (10 lags) on the filter's first standardised
     * innovation series; the OLS residuals; Jarque-Bera on them. */
    enum { LB_LAGS = 10 };
    trova_mc_ljung_box_test_ctx lb = {T, LB_LAGS};
    trova_mc_float_input_binding lb_bind[1] = {bind_rows(2, fo.std_innov, NO, 0, T, cols, 1, 0, 1)};
    lane_layout lb_lane = layout_from(0); /* the series, then the test's work */
    take(&lb_lane, T);
    residual_ctx res = {T, P};
    trova_mc_float_input_binding res_bind[4];
    memcpy(res_bind, reg_bind, sizeof reg_bind);
    res_bind[3] = bind_rows(4, ols_at.coef, ols_out, 0, 1, cols, P, reg.coef, P);
    trova_mc_jarque_bera_test_ctx jb = {T};
    trova_mc_float_input_binding jb_bind[1] = {bind_rows(7, 0, 1, 0, T, cols, 1, 0, 1)};

    trova_mc_step_desc steps[9];
    memset(steps, 0, sizeof steps);
    steps[0].fn = trova_mc_simulate_order1_runner;
    steps[0].ctx = &sim;
    step_buffers(&steps[0], n_workers, n_rep, arena + trova_mc_shock_scratch_size(&plan), T_sim * (NV + NO), 1, 1);
    steps[0].float_input_bindings = sim_bind;
    steps[0].n_float_input_bindings = 3;
    steps[1].fn = moments_step;
    steps[1].ctx = &mom;
    step_buffers(&steps[1], n_workers, n_rep, T * NV, N_MOM, 1, n_rep);
    steps[1].float_input_bindings = mom_bind;
    steps[1].n_float_input_bindings = 1;
    steps[2].fn = trova_mc_filter_linear_runner;
    steps[2].ctx = &kf;
    step_buffers(&steps[2], n_workers, n_rep, kf_in + kf_arena_size(NV, NO, NV).n_float, kf_out, 1, 0);
    steps[2].float_input_bindings = kf_bind;
    steps[2].n_float_input_bindings = 9;
    steps[3].fn = select_step;
    steps[3].ctx = &sel;
    step_buffers(&steps[3], n_workers, n_rep, 1, 1, 1, n_rep);
    steps[3].float_input_bindings = sel_bind;
    steps[3].n_float_input_bindings = 1;

    steps[4].fn = trova_mc_ols_runner;
    steps[4].ctx = &ols;
    step_buffers(&steps[4], n_workers, n_rep, trova_mc_ols_work_arena_size(T, P).n_float, ols_out, 1, n_rep);
    steps[4].float_input_bindings = reg_bind;
    steps[4].n_float_input_bindings = 3;
    steps[5].fn = trova_mc_elastic_net_gs_runner;
    steps[5].ctx = &lasso;
    const arena_size en = trova_mc_elastic_net_gs_work_arena_size(T, P, 1, N_ALPHA);
    step_buffers(&steps[5], n_workers, n_rep, en.n_float, lasso_out, 1, n_rep);
    steps[5].int_in_work = xmalloc(sizeof(i64) * (size_t)(n_workers * en.n_int));
    steps[5].int_in_work_worker_stride = en.n_int;
    steps[5].float_input_bindings = reg_bind;
    steps[5].n_float_input_bindings = 3;

    steps[6].fn = trova_mc_ljung_box_test_runner;
    steps[6].ctx = &lb;
    step_buffers(&steps[6], n_workers, n_rep, lb_lane.offset + trova_lb_arena_size(T, LB_LAGS).n_float, 1, 1,
                 n_rep);
    steps[6].float_input_bindings = lb_bind;
    steps[6].n_float_input_bindings = 1;
    steps[7].fn = residual_step;
    steps[7].ctx = &res;
    step_buffers(&steps[7], n_workers, n_rep, reg.n_float, T, 1, 0);
    steps[7].float_input_bindings = res_bind;
    steps[7].n_float_input_bindings = 4;
    steps[8].fn = trova_mc_jarque_bera_test_runner;
    steps[8].ctx = &jb;
    step_buffers(&steps[8], n_workers, n_rep, T, 1, 1, n_rep);
    steps[8].float_input_bindings = jb_bind;
    steps[8].n_float_input_bindings = 1;

    run_record rec = run_pipeline(steps, 9, n_rep, n_workers);
    const i64 failed = count_failed(&rec, n_rep);

    /* Theory, and the Monte Carlo mean and standard error of each moment. */
    double theory[N_MOM];
    const char* label[N_MOM];
    static char names[N_MOM][16];
    int k = 0;
    for (int i = 0; i < NV; ++i, ++k) {
        theory[k] = 0.0;
        snprintf(names[k], sizeof names[k], "mean x%d", i + 1);
    }
    for (int i = 0; i < NV; ++i)
        for (int j = i; j < NV; ++j, ++k) {
            theory[k] = G0[i * NV + j];
            snprintf(names[k], sizeof names[k], "cov(x%d,x%d)", i + 1, j + 1);
        }
    for (int i = 0; i < NV; ++i, ++k) {
        theory[k] = G1[i * NV + i];
        snprintf(names[k], sizeof names[k], "acov1(x%d)", i + 1);
    }
    for (k = 0; k < N_MOM; ++k) label[k] = names[k];

    printf("VAR(1) with correlated shocks: %lld replications, T = %lld (after %d burn-in periods)\n",
           (long long)n_rep, (long long)T, BURN_IN);
    printf("%lld workers, wall time %.3f s\n\n", (long long)n_workers, rec.wall);
    printf("  %-12s %11s %11s %10s %8s\n", "moment", "stationary", "MC mean", "MC s.e.", "z");
    int worst = 0;
    double worst_z = 0.0;
    for (k = 0; k < N_MOM; ++k) {
        double sum = 0.0, ss = 0.0;
        i64 n_ok = 0;
        for (i64 r = 0; r < n_rep; ++r) {
            if (rec.fail_step[r] != -1) continue;
            const double v = steps[1].float_retained[r * N_MOM + k];
            sum += v;
            ss += v * v;
            ++n_ok;
        }
        const double mean = sum / (double)n_ok;
        const double se = sqrt(fmax(ss / (double)n_ok - mean * mean, 0.0) / (double)n_ok);
        const double z = se > 0 ? (mean - theory[k]) / se : 0.0;
        if (fabs(z) > fabs(worst_z)) {
            worst_z = z;
            worst = k;
        }
        printf("  %-12s %11.5f %11.5f %10.5f %8.2f\n", label[k], theory[k], mean, se, z);
    }
    printf("  largest |z|: %.2f (%s); values beyond 3.5 would point to a fault\n\n", fabs(worst_z), label[worst]);

    /* Log-likelihood at the true parameters. Its expectation is
     * sum_t -0.5 (log det S_t + m (1 + log 2 pi)), since E[v' S^-1 v] = m
     * when the model is true; S_t does not depend on the data, so one call
     * of the filter (here on replication 0's observables) gives it, and
     * that call must also reproduce replication 0's value from the pipeline. */
    double* packed = xmalloc(sizeof(double) * (size_t)kf_in);
    double* scratch = xmalloc(sizeof(double) * (size_t)kf_arena_size(NV, NO, NV).n_float);
    double* out = xmalloc(sizeof(double) * (size_t)kf_out);
    memcpy(packed + f.A, A, sizeof A);
    memcpy(packed + f.B, B, sizeof B);
    memcpy(packed + f.C, kC, sizeof kC);
    memcpy(packed + f.d, d, sizeof d);
    memcpy(packed + f.Q, Sigma, sizeof Sigma);
    memcpy(packed + f.R, R, sizeof R);
    memcpy(packed + f.y, steps[0].float_retained + T_sim * NV + BURN_IN * NO, sizeof(double) * (size_t)(T * NO));
    memcpy(packed + f.x0, x0, sizeof x0);
    memcpy(packed + f.P0, G0, sizeof G0);
    const int st = trova_filter_linear_step(packed, scratch, T, NV, NO, NV, 1, 0.0, 0, out);
    const double* S_hist = out + fo.S;
    double expected = 0.0;
    for (i64 t = 0; t < T; ++t) {
        double LS[NO * NO];
        if (trova_chol(S_hist + t * NO * NO, 0.0, LS, NO) != 0) return 1;
        expected += -0.5 * (trova_logdet_from_chol(LS, NO) + NO * (1.0 + 1.8378770664093453));
    }
    double* ll = xmalloc(sizeof(double) * (size_t)n_rep);
    i64 n_ll = 0;
    double sum = 0.0, ss = 0.0;
    for (i64 r = 0; r < n_rep; ++r) {
        if (rec.fail_step[r] != -1) continue;
        const double v = steps[3].float_retained[r];
        ll[n_ll++] = v;
        sum += v;
        ss += v * v;
    }
    qsort(ll, (size_t)n_ll, sizeof(double), cmp_double);
    const double mean = sum / (double)n_ll, sd = sqrt(fmax(ss / (double)n_ll - mean * mean, 0.0));
    printf("  log-likelihood of the observables (C x, 3 series) at the true parameters\n");
    printf("    mean %.3f   sd %.3f   quantiles 5%% %.3f  25%% %.3f  50%% %.3f  75%% %.3f  95%% %.3f\n", mean, sd,
           quantile(ll, n_ll, 0.05), quantile(ll, n_ll, 0.25), quantile(ll, n_ll, 0.5), quantile(ll, n_ll, 0.75),
           quantile(ll, n_ll, 0.95));
    printf("    expectation sum_t -(log det S_t + m (1 + log 2 pi)) / 2: %.3f   z = %.2f\n", expected,
           (mean - expected) / (sd / sqrt((double)n_ll)));
    printf("    replication 0: pipeline %.10f, single call %.10f (status %d)\n", steps[3].float_retained[0],
           out[fo.loglik], st);

    /* Population values of the regression: the linear projection of y1 on
     * (1, y2, y3) under the stationary law, Gy = C Gamma0 C'. */
    double CG[NO * NV], Gy[NO * NO], Szz[4], Lz[4], beta_pop[P] = {0.0, 0.0, 0.0};
    trova_matmul(kC, G0, CG, NO, NV, NV);
    trova_matmul_abt(CG, kC, Gy, NO, NV, NO);
    Szz[0] = Gy[4];
    Szz[1] = Gy[5];
    Szz[2] = Gy[7];
    Szz[3] = Gy[8];
    const double Szy[2] = {Gy[3], Gy[6]};
    if (trova_chol_solve(Szz, Szy, beta_pop + 1, Lz, 2) != 0) return 1;
    printf("  regression of y1 on (1, y2, y3), T = %lld: coefficients over the replications\n", (long long)T);
    printf("    %-10s %10s %10s %9s %10s %9s %10s\n", "coef", "population", "OLS mean", "OLS sd", "lasso mean",
           "lasso sd", "lasso = 0");
    const char* coef_names[P] = {"intercept", "y2", "y3"};
    for (int j = 0; j < P; ++j) {
        double so = 0.0, sso = 0.0, sl = 0.0, ssl = 0.0;
        i64 zeros = 0, n_ok = 0;
        for (i64 r = 0; r < n_rep; ++r) {
            if (rec.fail_step[r] != -1) continue;
            const double bo = steps[4].float_retained[r * ols_out + ols_at.coef + j];
            const double bl = steps[5].float_retained[r * lasso_out + lasso_at.coef + j];
            so += bo;
            sso += bo * bo;
            sl += bl;
            ssl += bl * bl;
            zeros += bl == 0.0;
            ++n_ok;
        }
        const double mo = so / (double)n_ok, ml = sl / (double)n_ok;
        printf("    %-10s %10.5f %10.5f %9.5f %10.5f %9.5f %9.1f%%\n", coef_names[j], beta_pop[j], mo,
               sqrt(fmax(sso / (double)n_ok - mo * mo, 0.0)), ml, sqrt(fmax(ssl / (double)n_ok - ml * ml, 0.0)),
               100.0 * (double)zeros / (double)n_ok);
    }

    /* Size of the residual tests at 5%: Ljung-Box against the chi-square
     * quantile with 10 degrees of freedom, Jarque-Bera through the table's
     * p-value look-up. The model is correctly specified: the standardised
     * innovations are independent standard normals; the regression
     * residuals are normal but serially correlated. */
    const double chi2_10_95 = 18.307038053275146;
    i64 lb_n = 0, lb_reject = 0, jb_n = 0, jb_reject = 0;
    for (i64 r = 0; r < n_rep; ++r) {
        if (rec.fail_step[r] != -1) continue;
        if (steps[6].int_retained[r] == 0) {
            ++lb_n;
            lb_reject += steps[6].float_retained[r] > chi2_10_95;
        }
        if (steps[8].int_retained[r] == 0) {
            ++jb_n;
            jb_reject += trova_jb_pval_interp(T, steps[8].float_retained[r]) < 0.05;
        }
    }
    printf("  rejection rates at the 5%% level\n");
    printf("    Ljung-Box (10 lags) on the standardised innovations: %.4f of %lld\n",
           lb_n ? (double)lb_reject / (double)lb_n : 0.0, (long long)lb_n);
    printf("    Jarque-Bera on the regression residuals:              %.4f of %lld\n",
           jb_n ? (double)jb_reject / (double)jb_n : 0.0, (long long)jb_n);
    printf("  failed replications: %lld\n\n", (long long)failed);
    const char* step_names[9] = {"simulate", "moments", "kalman", "select", "ols", "lasso_bic", "ljung_box",
                                 "residuals", "jarque_bera"};
    print_profile(&rec, step_names, 9, n_workers);
    printf("\n");
    free(packed);
    free(scratch);
    free(out);
    free(ll);
    free_record(&rec);
    free(steps[5].int_in_work);
    for (int s = 0; s < 9; ++s) free_step(&steps[s]);
    return failed;
}

/* ---- study 2: least squares in an AR(1) ---- */

typedef struct ar1_fit_ctx {
    i64 T;       /* observations in the regression */
    double rho0; /* null value of the t-test */
} ar1_fit_ctx;

/* Float input lane: X (T x 2: intercept, lag) | y (T) | G (2x2) | g (2) | L (2x2) | Ginv (2x2).
 * One function gives both the offsets and the lane length, so they cannot disagree. */
typedef struct ar1_layout {
    i64 x, y, G, g, L, Ginv, n_float;
} ar1_layout;

static ar1_layout ar1_fit_layout(i64 T) {
    ar1_layout a;
    a.x = 0;
    a.y = a.x + 2 * T;
    a.G = a.y + T;
    a.g = a.G + 4;
    a.L = a.g + 2;
    a.Ginv = a.L + 4;
    a.n_float = a.Ginv + 4;
    return a;
}

enum { FIT_OUT = 5 }; /* c-hat, rho-hat, se(rho-hat), t statistic, s^2 */

static int ar1_fit_step(i64 rep_idx, f64* lane, f64* out, i64* int_work, i64* int_out, const void* ctx) {
    (void)rep_idx;
    (void)int_work;
    const ar1_fit_ctx* c = (const ar1_fit_ctx*)ctx;
    const ar1_layout a = ar1_fit_layout(c->T);
    const f64* X = lane + a.x;
    const f64* y = lane + a.y;
    double coef[2];
    trova_gram(X, lane + a.G, c->T, 2);
    trova_gram_rhs(X, y, lane + a.g, c->T, 2);
    int status = trova_chol_solve(lane + a.G, lane + a.g, coef, lane + a.L, 2);
    if (status == 0) status = trova_chol_inv(lane + a.G, lane + a.Ginv, lane + a.L, 2);
    if (status == 0) {
        double ssr = 0.0;
        for (i64 t = 0; t < c->T; ++t) {
            const double e = y[t] - coef[0] - coef[1] * X[2 * t + 1];
            ssr += e * e;
        }
        const double s2 = ssr / (double)(c->T - 2);
        const double se = sqrt(s2 * lane[a.Ginv + 3]);
        out[0] = coef[0];
        out[1] = coef[1];
        out[2] = se;
        out[3] = (coef[1] - c->rho0) / se;
        out[4] = s2;
    }
    if (int_out) int_out[0] = status;
    return status;
}

/* Observable of the AR(1): its level, mean plus deviation. */
static void ar1_level(f64* state, f64* params, f64* obs) { obs[0] = params[0] + state[0]; }

static i64 ar1_study(i64 n_rep, i64 T, double rho, i64 n_workers) {
    const double c = 0.5, mu = c / (1.0 - rho);
    static const i64 col0[1] = {0};
    const double one = 1.0, zero = 0.0;
    /* Simulation: x_t = rho x_{t-1} + e_t over burn-in + T + 1 periods, y_t = mu + x_t. */
    trova_mc_shock_entry entry;
    memset(&entry, 0, sizeof entry);
    entry.width = 1;
    entry.columns = col0;
    entry.factor = &one;
    entry.key = 2027;
    const i64 T_sim = BURN_IN + T + 1;
    const trova_mc_shock_plan plan = {&entry, 1, T_sim, 1, 1.0, 1};
    const i64 arena = trova_simulate_order1_arena_size(1, 1, T_sim, 1);
    trova_mc_simulate_order1_step_ctx sim = {ar1_level, T_sim, 1, 1, 1, 1, &plan, arena};
    lane_layout sim_lane = layout_from(0); /* A | B | x0 | shocks | params */
    const i64 at_A = take(&sim_lane, 1), at_B = take(&sim_lane, 1), at_x0 = take(&sim_lane, 1);
    take(&sim_lane, T_sim);
    trova_mc_float_input_binding sim_bind[4] = {
        bind_static(&rho, 1, at_A, col0), bind_static(&one, 1, at_B, col0), bind_static(&zero, 1, at_x0, col0),
        bind_static(&mu, 1, take(&sim_lane, 1), col0)};

    /* Fit: X = [1, y_{t-1}] and y = y_t from the simulation's observables. */
    ar1_fit_ctx fit = {T, rho};
    const ar1_layout lay = ar1_fit_layout(T);
    trova_mc_float_input_binding fit_bind[3];
    memset(fit_bind, 0, sizeof fit_bind);
    fit_bind[0].source_step_idx = -1; /* intercept column */
    fit_bind[0].n_rows = T;
    fit_bind[0].n_columns = 1;
    fit_bind[0].target_offset = lay.x;
    fit_bind[0].target_row_stride = 2;
    fit_bind[0].fill_value = 1.0;
    fit_bind[1] = bind_rows(0, T_sim, 1, BURN_IN, T, col0, 1, lay.x + 1, 2);  /* lags */
    fit_bind[2] = bind_rows(0, T_sim, 1, BURN_IN + 1, T, col0, 1, lay.y, 1); /* regressand */

    trova_mc_step_desc steps[2];
    memset(steps, 0, sizeof steps);
    steps[0].fn = trova_mc_simulate_order1_runner;
    steps[0].ctx = &sim;
    step_buffers(&steps[0], n_workers, n_rep, arena + trova_mc_shock_scratch_size(&plan), 2 * T_sim, 1, 0);
    steps[0].float_input_bindings = sim_bind;
    steps[0].n_float_input_bindings = 4;
    steps[1].fn = ar1_fit_step;
    steps[1].ctx = &fit;
    step_buffers(&steps[1], n_workers, n_rep, lay.n_float, FIT_OUT, 1, n_rep);
    steps[1].float_input_bindings = fit_bind;
    steps[1].n_float_input_bindings = 3;

    run_record rec = run_pipeline(steps, 2, n_rep, n_workers);
    const f64* fits = steps[1].float_retained;

    printf("AR(1) least squares: %lld replications, T = %lld, c = %.2f, rho = %.3f\n", (long long)n_rep,
           (long long)T, c, rho);
    printf("%lld workers, wall time %.3f s\n\n", (long long)n_workers, rec.wall);
    printf("  first retained fits\n    rep      c-hat    rho-hat   se(rho)     t(rho0)       s^2  status\n");
    for (i64 r = 0; r < n_rep && r < 5; ++r) {
        const double* f = fits + r * FIT_OUT;
        printf("  %5lld %10.5f %10.5f %9.5f %11.4f %9.5f  %6lld\n", (long long)r, f[0], f[1], f[2], f[3], f[4],
               (long long)steps[1].int_retained[r]);
    }
    double* rho_hat = xmalloc(sizeof(double) * (size_t)n_rep);
    i64 n_ok = 0, n_reject = 0;
    double sum = 0.0, sumsq = 0.0;
    for (i64 r = 0; r < n_rep; ++r) {
        if (rec.fail_step[r] != -1) continue;
        const double* f = fits + r * FIT_OUT;
        rho_hat[n_ok++] = f[1];
        sum += f[1];
        sumsq += f[1] * f[1];
        n_reject += fabs(f[3]) > 1.959963984540054;
    }
    if (n_ok > 0) {
        const double mean = sum / (double)n_ok;
        const double sd = sqrt(fmax(sumsq / (double)n_ok - mean * mean, 0.0));
        printf("\n  rho-hat over %lld completed replications\n", (long long)n_ok);
        printf("    mean %.5f   bias %+.5f   sd %.5f   median %.5f\n", mean, mean - rho, sd,
               trova_median_f64(rho_hat, n_ok));
        printf("    rejection rate of the 5%% t-test of rho = %.3f: %.4f\n", rho, (double)n_reject / (double)n_ok);
        printf("    first-order bias approximation -(1 + 3 rho) / T: %+.5f\n", -(1.0 + 3.0 * rho) / (double)T);
    }
    const i64 failed = n_rep - n_ok;
    printf("  failed replications: %lld\n\n", (long long)failed);
    const char* step_names[2] = {"simulate", "ar1_fit"};
    print_profile(&rec, step_names, 2, n_workers);
    free(rho_hat);
    free_record(&rec);
    free_step(&steps[0]);
    free_step(&steps[1]);
    return failed;
}

/* Solves the stochastic growth model (log utility, full depreciation; states
 * k and z, control c) from its residual function alone: Newton steady state,
 * complex-step Jacobians, QZ and the Blanchard-Kahn verdict, the state space
 * and the bicomplex-step second-order terms. Its policy has the closed form
 * k' = alpha beta e^z k^alpha, c = (1 - alpha beta) e^z k^alpha, so every
 * printed derivative is checked against it. Returns 0 when every stage
 * succeeds and the largest deviation from the closed form is small, else 1. */
#define MODEL_SIGMA 0.01 /* s.d. of the growth model's technology shock */

/* Prints the generalised eigenvalues (with their moduli when asked), the
 * Blanchard-Kahn verdict and the assembled state space x(t+1) = A x(t) +
 * B e(t+1); returns 0 when QZ succeeded and the solution is unique and
 * stable, else 1. */
static int report_solution(i64 st, i64 stab, const c128* eig, int n, int ns, int nc, const c128* p,
                           const c128* f, const char* const* names, const char* vars, f64* A, f64* B,
                           int with_modulus) {
    printf("  QZ status %lld; generalised eigenvalues:", (long long)st);
    for (int i = 0; i < n; ++i) {
        if (!(isfinite(eig[i].re) && isfinite(eig[i].im)))
            printf("  inf");
        else if (with_modulus)
            printf("  %.6f%+.6fi (|.| %.6f)", eig[i].re, eig[i].im, hypot(eig[i].re, eig[i].im));
        else
            printf("  %.6f%+.6fi", eig[i].re, eig[i].im);
    }
    printf("\n  Blanchard-Kahn: %s (code %lld)\n",
           stab == 0 ? "unique stable solution" : stab == -1 ? "no stable solution"
           : stab == 1 ? "indeterminate" : "not evaluated", (long long)stab);
    if (st != 0 || stab != 0) return 1;
    trova_assemble_state_space(p, f, ns, nc, ns, A, B);
    printf("  state space %s(t+1) = A %s(t) + B (e_k, e_z)(t+1)\n", vars, vars);
    for (int i = 0; i < n; ++i) {
        printf("    %s  A:", names[i]);
        for (int j = 0; j < n; ++j) printf(" %10.6f", A[i * n + j]);
        printf("   B:");
        for (int j = 0; j < ns; ++j) printf(" %10.6f", B[i * ns + j]);
        printf("\n");
    }
    return 0;
}

/* The chain both models go through after their steady state: complex-step
 * linearisation, QZ through zgges_ with the Blanchard-Kahn verdict (printed
 * with A and B by report_solution), then the bicomplex-step Hessian and the
 * second-order terms under the shock loading eta (ns x 1). A (n x n), B
 * (n x ns), hx, gx, hxx, gxx, hss and gss are the caller's. Returns 0, or 1
 * after printing what failed. */
static int solve_chain(trova_residual_fn resid, bc_residual_fn resid_bc, const f64* ss, const f64* par,
                       int n_par, int ns, int nc, const char* const* names, const char* vars,
                       int with_modulus, const f64* eta, f64* A, f64* B, f64* hx, f64* gx, f64* hxx,
                       f64* gxx, f64* hss, f64* gss) {
    const int n = ns + nc;
    f64 a[n * n], b[n * n];
    i64 st = klein_preproc(resid, ss, par, n, n_par, n, 0, a, b);
    if (st != 0) {
        printf("  linearisation failed (status %lld)\n", (long long)st);
        return 1;
    }
    c128 f[nc * ns], p[ns * ns], eig[n];
    i64 stab = 2;
    st = trova_klein_solve(zgges_, a, b, ns, nc, f, p, &stab, eig);
    if (report_solution(st, stab, eig, n, ns, nc, p, f, names, vars, A, B, with_modulus) != 0) return 1;
    for (int i = 0; i < ns * ns; ++i) hx[i] = p[i].re;
    for (int i = 0; i < nc * ns; ++i) gx[i] = f[i].re;
    f64 H[n * 2 * n * 2 * n];
    st = trova_bicomplex_hessian(resid_bc, ss, par, n, n_par, n, 1e-30, H);
    const i64 st2 = st == 0 ? trova_second_order(a, b, H, gx, hx, n, ns, gxx, hxx) : st;
    const i64 st3 = st2 == 0 ? trova_second_order_risk(a, b, H, gx, gxx, eta, n, ns, 1, gss, hss) : st2;
    if (st != 0 || st2 != 0 || st3 != 0) {
        printf("  second order failed (Hessian %lld, terms %lld, risk %lld)\n", (long long)st,
               (long long)st2, (long long)st3);
        return 1;
    }
    return 0;
}

static i64 model_stage(f64* A_out, f64* B_out) {
    enum { NS = 2, NC = 1, N = NS + NC, NE = 1 };
    const double alpha = 0.36, beta = 0.99, rho = 0.9, sigma = MODEL_SIGMA;
    const f64 par[3] = {alpha, beta, rho};
    const char* names[N] = {"k", "z", "c"};
    const double k0 = pow(alpha * beta, 1.0 / (1.0 - alpha));
    const double c0 = (1.0 - alpha * beta) * pow(k0, alpha);
    printf("Stochastic growth model (log utility, full depreciation) solved from its residual function\n");
    printf("  alpha = %.2f, beta = %.2f, rho = %.2f, shock s.d. %.3f on z\n", alpha, beta, rho, sigma);

    /* Newton from a seed 30% off the steady state. */
    const f64 seed[N] = {1.3 * k0, 0.05, 0.7 * c0};
    f64 ss[N];
    i64 iters = 0;
    i64 st = trova_steady_state_newton(growth_residual_c128, seed, par, N, 3, 50, 1e-12, ss, &iters);
    printf("  steady state (Newton, status %lld, %lld iterations):", (long long)st, (long long)iters);
    for (int i = 0; i < N; ++i) printf("  %s = %.10f", names[i], ss[i]);
    printf("\n    closed form: k = %.10f  z = 0  c = %.10f\n", k0, c0);
    if (st != 0) return 1;
    double worst = fabs(ss[0] - k0) + fabs(ss[1]) + fabs(ss[2] - c0);

    f64 A[N * N], B[N * NS], hx[NS * NS], gx[NC * NS], gxx[NC * NS * NS], hxx[NS * NS * NS], gss[NC], hss[NS];
    const f64 eta[NS * NE] = {0.0, sigma};
    if (solve_chain(growth_residual_c128, growth_residual_bc256, ss, par, 3, NS, NC, names, "(k, z, c)", 1, eta,
                    A, B, hx, gx, hxx, gxx, hss, gss) != 0)
        return 1;
    /* Closed-form first-order policy in levels. */
    const double hx_cf[NS * NS] = {alpha, k0, 0.0, rho};
    const double gx_cf[NC * NS] = {alpha * c0 / k0, c0};
    double dev1 = 0.0;
    for (int i = 0; i < NS * NS; ++i) dev1 = fmax(dev1, fabs(hx[i] - hx_cf[i]));
    for (int i = 0; i < NC * NS; ++i) dev1 = fmax(dev1, fabs(gx[i] - gx_cf[i]));
    printf("    largest deviation of P and F from the closed-form policy: %.2e\n", dev1);

    /* Closed form: k'_kk = alpha (alpha - 1) / k, k'_kz = alpha, k'_zz = k;
     * c_kk = alpha (alpha - 1) c / k^2, c_kz = alpha c / k, c_zz = c; z' is
     * linear; the policy does not depend on sigma, so gss = hss = 0. */
    const double hxx_cf[NS * NS * NS] = {alpha * (alpha - 1.0) / k0, alpha, alpha, k0, 0, 0, 0, 0};
    const double gxx_cf[NC * NS * NS] = {alpha * (alpha - 1.0) * c0 / (k0 * k0), alpha * c0 / k0,
                                         alpha * c0 / k0, c0};
    double dev2 = 0.0;
    for (int i = 0; i < NS * NS * NS; ++i) dev2 = fmax(dev2, fabs(hxx[i] - hxx_cf[i]));
    for (int i = 0; i < NC * NS * NS; ++i) dev2 = fmax(dev2, fabs(gxx[i] - gxx_cf[i]));
    const double dev_risk = fmax(fabs(gss[0]), fmax(fabs(hss[0]), fabs(hss[1])));
    printf("  second order: k'_kk = %.6f, k'_kz = %.6f, k'_zz = %.6f, c_kk = %.6f, c_kz = %.6f, c_zz = %.6f;\n"
           "    risk terms hss = (%.2e, %.2e), gss = %.2e; largest deviation from the closed form %.2e\n\n",
           hxx[0], hxx[1], hxx[3], gxx[0], gxx[1], gxx[3], hss[0], hss[1], gss[0], fmax(dev2, dev_risk));
    worst = fmax(worst, fmax(dev1, fmax(dev2, dev_risk)));
    memcpy(A_out, A, sizeof A);
    memcpy(B_out, B, sizeof B);
    return worst < 1e-6 ? 0 : 1;
}

/* Simulates the solved growth model's first-order state space, x = (k, z, c)
 * in deviations from the steady state, through the runner: a shock plan
 * draws e_z ~ N(0, sigma^2) (e_k stays 0), the first-order simulation step
 * runs x(t) = A x(t-1) + B e(t), and the moments step of the VAR study
 * summarises each replication after the burn-in. Prints the Monte Carlo
 * averages beside the stationary moments; returns the failed replications. */
static i64 model_simulation(const f64* A, const f64* B, double sigma, i64 n_rep, i64 T, i64 n_workers) {
    enum { NK = 2 };
    static const i64 cols[NV * NV] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    static const double x0[NV] = {0, 0, 0};
    const double factor[1] = {sigma};
    /* Sigma = B diag(0, sigma^2) B': only the z shock is drawn. */
    double Sigma[NV * NV], G0[NV * NV], G1[NV * NV];
    for (int i = 0; i < NV; ++i)
        for (int j = 0; j < NV; ++j) Sigma[i * NV + j] = sigma * sigma * B[i * NK + 1] * B[j * NK + 1];
    stationary_covariance(A, Sigma, G0);
    trova_matmul(A, G0, G1, NV, NV, NV);

    trova_mc_shock_entry entry;
    memset(&entry, 0, sizeof entry);
    entry.width = 1;
    entry.columns = cols + 1; /* column 1: the z shock */
    entry.factor = factor;
    entry.key = 2027;
    entry.entry_idx = 0;
    const i64 T_sim = BURN_IN + T;
    const trova_mc_shock_plan plan = {&entry, 1, T_sim, NK, 1.0, 1};

    const i64 arena = trova_simulate_order1_arena_size(NV, NK, T_sim, 0);
    trova_mc_simulate_order1_step_ctx sim = {NULL, T_sim, NV, NK, 0, 0, &plan, arena};
    lane_layout sim_lane = layout_from(0); /* A | B | x0 | shocks */
    const i64 at_A = take(&sim_lane, NV * NV), at_B = take(&sim_lane, NV * NK), at_x0 = take(&sim_lane, NV);
    trova_mc_float_input_binding sim_bind[3] = {bind_static(A, NV * NV, at_A, cols),
                                                bind_static(B, NV * NK, at_B, cols),
                                                bind_static(x0, NV, at_x0, cols)};
    moments_ctx mom = {T};
    trova_mc_float_input_binding mom_bind[1] = {bind_rows(0, 0, NV, BURN_IN, T, cols, NV, 0, NV)};

    trova_mc_step_desc steps[2];
    memset(steps, 0, sizeof steps);
    steps[0].fn = trova_mc_simulate_order1_runner;
    steps[0].ctx = &sim;
    step_buffers(&steps[0], n_workers, n_rep, arena + trova_mc_shock_scratch_size(&plan), T_sim * NV, 1, 1);
    steps[0].float_input_bindings = sim_bind;
    steps[0].n_float_input_bindings = 3;
    steps[1].fn = moments_step;
    steps[1].ctx = &mom;
    step_buffers(&steps[1], n_workers, n_rep, T * NV, N_MOM, 1, n_rep);
    steps[1].float_input_bindings = mom_bind;
    steps[1].n_float_input_bindings = 1;

    run_record rec = run_pipeline(steps, 2, n_rep, n_workers);
    const i64 failed = count_failed(&rec, n_rep);

    static const char* var[NV] = {"k", "z", "c"};
    char label[N_MOM][16];
    double theory[N_MOM];
    int k = 0;
    for (int i = 0; i < NV; ++i, ++k) {
        theory[k] = 0.0;
        snprintf(label[k], sizeof label[k], "mean %s", var[i]);
    }
    for (int i = 0; i < NV; ++i)
        for (int j = i; j < NV; ++j, ++k) {
            theory[k] = G0[i * NV + j];
            snprintf(label[k], sizeof label[k], "cov(%s,%s)", var[i], var[j]);
        }
    for (int i = 0; i < NV; ++i, ++k) {
        theory[k] = G1[i * NV + i];
        snprintf(label[k], sizeof label[k], "acov1(%s)", var[i]);
    }
    printf("  growth model, simulated first-order solution: %lld replications, T = %lld (after %d burn-in periods), "
           "wall time %.3f s\n", (long long)n_rep, (long long)T, BURN_IN, rec.wall);
    printf("    deviations from the steady state; covariances and autocovariances in units of 1e-4\n");
    printf("    %-12s %11s %11s %10s %8s\n", "moment", "stationary", "MC mean", "MC s.e.", "z");
    double worst_z = 0.0;
    for (k = 0; k < N_MOM; ++k) {
        const double unit = k < NV ? 1.0 : 1e-4;
        double sum = 0.0, ss = 0.0;
        i64 n_ok = 0;
        for (i64 r = 0; r < n_rep; ++r) {
            if (rec.fail_step[r] != -1) continue;
            const double v = steps[1].float_retained[r * N_MOM + k] / unit;
            sum += v;
            ss += v * v;
            ++n_ok;
        }
        const double mean = n_ok ? sum / (double)n_ok : 0.0;
        const double se = n_ok ? sqrt(fmax(ss / (double)n_ok - mean * mean, 0.0) / (double)n_ok) : 0.0;
        const double z = se > 0 ? (mean - theory[k] / unit) / se : 0.0;
        worst_z = fmax(worst_z, fabs(z));
        printf("    %-12s %11.6f %11.6f %10.6f %8.2f\n", label[k], theory[k] / unit, mean, se, z);
    }
    printf("    largest |z|: %.2f; values beyond 3.5 would point to a fault\n", worst_z);
    printf("  failed replications: %lld\n\n", (long long)failed);
    free_record(&rec);
    free_step(&steps[0]);
    free_step(&steps[1]);
    return failed;
}

/* Solves the real business cycle model of examples/rbc_model.cpp (capital,
 * hours, log technology; utility log c - psi n) by the same chain as the
 * growth model. Its steady state has a closed form, against which Newton's
 * answer is checked; the dynamics have none, so the stage reports the
 * Blanchard-Kahn verdict, A and B and the second-order terms. Returns 0 when
 * every stage succeeds and the steady state matches, else 1. */
static i64 rbc_stage(void) {
    enum { NS = 2, NC = 2, N = NS + NC, NE = 1, NP = 7 };
    const double alpha = 0.33, beta = 0.99, delta = 0.025, rho = 0.95, psi = 2.0;
    const f64 par[NP] = {alpha, beta, delta, rho, psi, 1.0 - delta, 1.0 - alpha};
    const char* names[N] = {"k", "z", "c", "n"};
    /* Capital per hour from the Euler equation, then consumption per hour
     * from the resources and hours from the labour condition. */
    const double kn = pow((1.0 / beta - 1.0 + delta) / alpha, 1.0 / (alpha - 1.0));
    const double cn = pow(kn, alpha) - delta * kn;
    const double n0 = (1.0 - alpha) * pow(kn, alpha) / (psi * cn);
    const double cf[N] = {kn * n0, 0.0, cn * n0, n0};
    printf("Real business cycle model (capital, hours, technology) solved from its residual function\n");
    printf("  alpha = %.2f, beta = %.2f, delta = %.3f, rho = %.2f, psi = %.1f, shock s.d. %.3f on z\n", alpha,
           beta, delta, rho, psi, MODEL_SIGMA);
    const f64 seed[N] = {0.8 * cf[0], 0.0, 1.2 * cf[2], 0.9 * cf[3]};
    f64 ss[N];
    i64 iters = 0;
    i64 st = trova_steady_state_newton(rbc_residual_c128, seed, par, N, NP, 50, 1e-12, ss, &iters);
    printf("  steady state (Newton, status %lld, %lld iterations):", (long long)st, (long long)iters);
    for (int i = 0; i < N; ++i) printf("  %s = %.10f", names[i], ss[i]);
    printf("\n    closed form:                             ");
    for (int i = 0; i < N; ++i) printf("  %s = %.10f", names[i], cf[i]);
    printf("\n");
    if (st != 0) return 1;
    double dev_ss = 0.0;
    for (int i = 0; i < N; ++i) dev_ss = fmax(dev_ss, fabs(ss[i] - cf[i]));

    f64 A[N * N], B[N * NS], hx[NS * NS], gx[NC * NS], gxx[NC * NS * NS], hxx[NS * NS * NS], gss[NC], hss[NS];
    const f64 eta[NS * NE] = {0.0, MODEL_SIGMA};
    if (solve_chain(rbc_residual_c128, rbc_residual_bc256, ss, par, NP, NS, NC, names, "(k, z, c, n)", 0, eta, A,
                    B, hx, gx, hxx, gxx, hss, gss) != 0)
        return 1;
    printf("  second order: k'_kk = %.6f, k'_kz = %.6f, k'_zz = %.6f, c_kk = %.6f, n_kk = %.6f;\n"
           "    risk terms hss = (%.3e, %.3e), gss = (%.3e, %.3e)\n\n",
           hxx[0], hxx[1], hxx[3], gxx[0], gxx[NS * NS], hss[0], hss[1], gss[0], gss[1]);
    return dev_ss < 1e-8 ? 0 : 1;
}

int main(int argc, char** argv) {
    const i64 n_rep = argc > 1 ? atoll(argv[1]) : 20000;
    const i64 T = argc > 2 ? atoll(argv[2]) : 100;
    const double rho = argc > 3 ? atof(argv[3]) : 0.9;
    const i64 n_workers = omp_get_num_procs();
    if (n_rep < 1 || T < 3 || !(fabs(rho) < 1.0)) {
        fprintf(stderr, "usage: mc_study [n_rep >= 1] [T >= 3] [|rho| < 1]\n");
        return 2;
    }
    f64 model_A[9], model_B[6];
    const i64 model_failed = model_stage(model_A, model_B) + rbc_stage();
    i64 failed = model_failed ? 0 : model_simulation(model_A, model_B, MODEL_SIGMA, n_rep, T, n_workers);
    failed += var_study(n_rep, T, n_workers) + ar1_study(n_rep, T, rho, n_workers);
    if (model_failed) printf("\nmodel solution stage: FAILED\n");
    printf("\nfailed replications: %lld\n", (long long)failed);
    return failed == 0 && model_failed == 0 ? 0 : 1;
}
