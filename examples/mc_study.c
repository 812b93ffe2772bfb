/* Monte Carlo study: the small-sample bias of least squares in an AR(1).
 *
 * Each replication draws a series y_t = c + rho * y_{t-1} + e_t, publishes it
 * through a payload step, and fits y_t on (1, y_{t-1}) in a second step whose
 * regressors and regressand are assembled by input bindings. The runner
 * spreads the replications over every core, retains each fit, and profiles
 * the steps. The study reports the bias of rho-hat (the estimate is pulled
 * below the true value in short samples) and the size of the nominal 5%
 * t-test of rho = rho0.
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

/* ---- data: splitmix64 and Box-Muller, enough for an example ---- */

static uint64_t splitmix64(uint64_t* s) {
    uint64_t z = (*s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

static double uniform01(uint64_t* s) { return (double)(splitmix64(s) >> 11) * 0x1.0p-53; }

static double std_normal(uint64_t* s) {
    double u1 = uniform01(s), u2 = uniform01(s);
    if (u1 <= 0.0) u1 = 0x1.0p-53;
    return sqrt(-2.0 * log(u1)) * cos(6.283185307179586 * u2);
}

/* One series of T + 1 values per replication, started from the stationary law. */
static void draw_series(double* y, i64 n_rep, i64 T, double c, double rho) {
    for (i64 r = 0; r < n_rep; ++r) {
        uint64_t s = 0x5EEDULL + (uint64_t)r * 0x100000001B3ULL;
        double* yr = y + r * (T + 1);
        yr[0] = c / (1.0 - rho) + std_normal(&s) / sqrt(1.0 - rho * rho);
        for (i64 t = 1; t <= T; ++t) yr[t] = c + rho * yr[t - 1] + std_normal(&s);
    }
}

/* ---- the fitting step ---- */

typedef struct ar1_fit_ctx {
    i64 T;      /* observations in the regression */
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

static int ar1_fit_step(i64 rep_idx, f64* lane, f64* out, i64* int_work, i64* int_out,
                        const void* ctx) {
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

/* ---- helpers for the report ---- */

static void* xmalloc(size_t n) {
    void* p = malloc(n);
    if (!p) {
        fprintf(stderr, "out of memory\n");
        exit(1);
    }
    return p;
}

int main(int argc, char** argv) {
    const i64 n_rep = argc > 1 ? atoll(argv[1]) : 20000;
    const i64 T = argc > 2 ? atoll(argv[2]) : 100;
    const double rho = argc > 3 ? atof(argv[3]) : 0.9;
    const double c = 0.5;
    const i64 n_workers = omp_get_num_procs();
    if (n_rep < 1 || T < 3 || !(fabs(rho) < 1.0)) {
        fprintf(stderr, "usage: mc_study [n_rep >= 1] [T >= 3] [|rho| < 1]\n");
        return 2;
    }

    /* Step 0: the payload, one series of T + 1 values per replication. */
    double* series = xmalloc(sizeof(double) * (size_t)(n_rep * (T + 1)));
    draw_series(series, n_rep, T, c, rho);
    trova_mc_payload_step_ctx payload = {series, T + 1, 1};

    /* Step 1: the fit. Its bindings build X = [1, y_{t-1}] and y = y_t. */
    ar1_fit_ctx fit = {T, rho};
    const ar1_layout lay = ar1_fit_layout(T);
    const i64 col0[1] = {0};
    trova_mc_float_input_binding bind[3];
    memset(bind, 0, sizeof bind);
    bind[0].source_step_idx = -1; /* intercept column */
    bind[0].n_rows = T;
    bind[0].n_columns = 1;
    bind[0].target_offset = lay.x;
    bind[0].target_row_stride = 2;
    bind[0].fill_value = 1.0;
    bind[1].source_step_idx = 0; /* y_0 .. y_{T-1} into the lag column */
    bind[1].source_row_stride = 1;
    bind[1].n_rows = T;
    bind[1].columns = col0;
    bind[1].n_columns = 1;
    bind[1].target_offset = lay.x + 1;
    bind[1].target_row_stride = 2;
    bind[2] = bind[1]; /* y_1 .. y_T as the regressand */
    bind[2].row_start = 1;
    bind[2].target_offset = lay.y;
    bind[2].target_row_stride = 1;

    /* Buffers: lanes per worker, result rows per replication. */
    i64* rows = xmalloc(sizeof(i64) * (size_t)n_rep);
    for (i64 r = 0; r < n_rep; ++r) rows[r] = r;
    double* pay_live = xmalloc(sizeof(double) * (size_t)(n_workers * (T + 1)));
    double* fit_lane = xmalloc(sizeof(double) * (size_t)(n_workers * lay.n_float));
    double* fit_live = xmalloc(sizeof(double) * (size_t)(n_workers * FIT_OUT));
    i64* fit_status_live = xmalloc(sizeof(i64) * (size_t)n_workers);
    double* fits = xmalloc(sizeof(double) * (size_t)(n_rep * FIT_OUT));
    i64* fit_status = xmalloc(sizeof(i64) * (size_t)n_rep);

    trova_mc_step_desc steps[2];
    memset(steps, 0, sizeof steps);
    /* The series is not kept (its rows would only copy the input): every
     * replication's row is -1, so the result base, which must be given for a
     * non-empty row, is never written. */
    i64* no_rows = xmalloc(sizeof(i64) * (size_t)n_rep);
    for (i64 r = 0; r < n_rep; ++r) no_rows[r] = -1;
    steps[0].fn = trova_mc_payload_runner;
    steps[0].float_live_out = pay_live;
    steps[0].float_retained = pay_live;
    steps[0].retained_row_by_rep = no_rows;
    steps[0].float_live_out_worker_stride = T + 1;
    steps[0].float_retained_stride = T + 1;
    steps[0].ctx = &payload;

    steps[1].fn = ar1_fit_step;
    steps[1].float_in_work = fit_lane;
    steps[1].float_live_out = fit_live;
    steps[1].int_live_out = fit_status_live;
    steps[1].float_retained = fits;
    steps[1].int_retained = fit_status;
    steps[1].retained_row_by_rep = rows;
    steps[1].float_in_work_worker_stride = lay.n_float;
    steps[1].float_live_out_worker_stride = FIT_OUT;
    steps[1].int_live_out_worker_stride = 1;
    steps[1].float_retained_stride = FIT_OUT;
    steps[1].int_retained_stride = 1;
    steps[1].ctx = &fit;
    steps[1].float_input_bindings = bind;
    steps[1].n_float_input_bindings = 3;

    i64* fail_step = xmalloc(sizeof(i64) * (size_t)n_rep);
    i64* fail_status = xmalloc(sizeof(i64) * (size_t)n_rep);
    double* elapsed = xmalloc(sizeof(double) * (size_t)(n_workers * 2));
    i64* counts = xmalloc(sizeof(i64) * (size_t)(n_workers * 2));
    i64* failures = xmalloc(sizeof(i64) * (size_t)(n_workers * 2));

    trova_mc_runner_ctx run;
    memset(&run, 0, sizeof run);
    run.steps = steps;
    run.n_steps = 2;
    run.n_rep = n_rep;
    run.n_workers = n_workers;
    run.failure_step_by_rep = fail_step;
    run.failure_status_by_rep = fail_status;
    run.profile_steps = 1;
    run.step_elapsed_s_by_worker = elapsed;
    run.step_counts_by_worker = counts;
    run.step_failures_by_worker = failures;

    const double t0 = omp_get_wtime();
    const int rc = trova_mc_run(&run);
    const double wall = omp_get_wtime() - t0;
    if (rc < 0) {
        fprintf(stderr, "trova_mc_run rejected the pipeline\n");
        return 1;
    }

    printf("AR(1) least-squares Monte Carlo: %lld replications, T = %lld, c = %.2f, rho = %.3f\n",
           (long long)n_rep, (long long)T, c, rho);
    printf("%lld workers, wall time %.3f s\n\n", (long long)n_workers, wall);

    printf("first retained fits\n  rep      c-hat    rho-hat   se(rho)     t(rho0)       s^2  status\n");
    for (i64 r = 0; r < n_rep && r < 5; ++r) {
        const double* f = fits + r * FIT_OUT;
        printf("%5lld %10.5f %10.5f %9.5f %11.4f %9.5f  %6lld\n", (long long)r, f[0], f[1], f[2], f[3],
               f[4], (long long)fit_status[r]);
    }

    /* Summary over the completed replications. */
    double* rho_hat = xmalloc(sizeof(double) * (size_t)n_rep);
    i64 n_ok = 0, n_reject = 0;
    double sum = 0.0, sumsq = 0.0;
    for (i64 r = 0; r < n_rep; ++r) {
        if (fail_step[r] != -1) continue;
        const double* f = fits + r * FIT_OUT;
        rho_hat[n_ok++] = f[1];
        sum += f[1];
        sumsq += f[1] * f[1];
        n_reject += fabs(f[3]) > 1.959963984540054;
    }
    if (n_ok > 0) {
        const double mean = sum / (double)n_ok;
        const double sd = sqrt(fmax(sumsq / (double)n_ok - mean * mean, 0.0));
        printf("\nsummary of rho-hat over %lld completed replications\n", (long long)n_ok);
        printf("  mean %.5f   bias %+.5f   sd %.5f   median %.5f\n", mean, mean - rho, sd,
               trova_median_f64(rho_hat, n_ok));
        printf("  rejection rate of the 5%% t-test of rho = %.3f: %.4f\n", rho,
               (double)n_reject / (double)n_ok);
        printf("  first-order bias approximation -(1 + 3 rho) / T: %+.5f\n", -(1.0 + 3.0 * rho) / (double)T);
    }
    printf("  failed replications: %lld\n", (long long)(n_rep - n_ok));

    printf("\nstep profile (seconds include input materialisation and retention)\n");
    printf("  step  worker     calls  failures   seconds   us/call\n");
    const char* names[2] = {"payload", "ar1_fit"};
    for (i64 s = 0; s < 2; ++s) {
        for (i64 w = 0; w < n_workers; ++w) {
            const i64 k = w * 2 + s;
            printf("  %-8s %4lld %9lld %9lld %9.4f %9.3f\n", names[s], (long long)w, (long long)counts[k],
                   (long long)failures[k], elapsed[k],
                   counts[k] ? 1e6 * elapsed[k] / (double)counts[k] : 0.0);
        }
    }

    free(series); free(rows); free(no_rows); free(pay_live); free(fit_lane); free(fit_live);
    free(fit_status_live); free(fits); free(fit_status); free(fail_step); free(fail_status);
    free(elapsed); free(counts); free(failures); free(rho_hat);
    return 0;
}
