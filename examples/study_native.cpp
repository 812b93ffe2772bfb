// The native half of the DSGE study (examples/dsge_study.py): measurement
// callbacks and two small pipeline steps. Everything that runs inside the
// runner's worker threads is here, in C, so that no worker ever calls into
// Python; the driver only takes these functions' addresses.
//
// Observables are 100 x log deviations from the steady state of output,
// consumption and hours, y = e^z k^alpha n^(1 - alpha), each observed with
// an independent measurement error.
#include <cmath>

#include "trova_types.h"

namespace {

// Per-step contexts, laid out as the driver's ctypes records.
struct MomentsCtx {
    i64 T;  // periods
    i64 m;  // series
};

struct CollectCtx {
    i64 n;  // values copied
};

// 100 log(v / v_ss) of output, consumption and hours from the model's
// variables in levels (k, z, c, n); params = [alpha, log y_ss, log c_ss,
// log n_ss]. log y = z + alpha log k + (1 - alpha) log n: three logarithms
// a call, no powers.
void log_observables(f64 k, f64 z, f64 c, f64 n, const f64* params, f64* y) {
    const f64 alpha = params[0], log_n = std::log(n);
    y[0] = 100.0 * (z + alpha * std::log(k) + (1.0 - alpha) * log_n - params[1]);
    y[1] = 100.0 * (std::log(c) - params[2]);
    y[2] = 100.0 * (log_n - params[3]);
}

}  // namespace

extern "C" {

// First-order simulation: the state is (k, z, c, n, u1, u2, u3) in
// deviations, u the measurement errors; params = [n_model, C (3 x n_model)]
// with C the linearised measurement. y = C x + u.
// The three sums run side by side over the states, one state at a time:
// a loop the compiler leaves as it is, rather than vectorising each short
// row behind run-time checks of its length.
void study_observe_linear(f64* x, f64* params, f64* y) {
    const i64 n = static_cast<i64>(params[0]);
    const f64* C = params + 1;
    f64 s0 = x[n], s1 = x[n + 1], s2 = x[n + 2];
    for (i64 i = 0; i < n; ++i) {
        s0 += C[i] * x[i];
        s1 += C[n + i] * x[i];
        s2 += C[2 * n + i] * x[i];
    }
    y[0] = s0;
    y[1] = s1;
    y[2] = s2;
}

// Second-order simulation: the variables in levels are the states (k, z,
// u1, u2, u3) then the controls (c, n); params as for log_observables.
void study_observe_levels_with_errors(f64* x, f64* params, f64* y) {
    log_observables(x[0], x[1], x[5], x[6], params, y);
    for (int j = 0; j < 3; ++j) y[j] += x[2 + j];
}

// The unscented filter's measurement: variables (k, z, c, n) in levels, the
// measurement errors being the filter's R.
void study_observe_levels(const f64* x, const f64* params, f64* y) {
    log_observables(x[0], x[1], x[2], x[3], params, y);
}

// Sample mean, standard deviation (divisor T) and first-order
// autocorrelation of each of m series (T x m in the input lane); output
// [mean (m), sd (m), autocorrelation (m)].
int study_moments_step(i64 /*rep_idx*/, f64* in, f64* out, i64* /*int_work*/, i64* /*int_out*/,
                       const void* ctx) {
    const auto* c = static_cast<const MomentsCtx*>(ctx);
    const i64 T = c->T, m = c->m;
    for (i64 j = 0; j < m; ++j) {
        f64 mean = 0.0;
        for (i64 t = 0; t < T; ++t) mean += in[t * m + j];
        mean /= static_cast<f64>(T);
        f64 var = 0.0, cov = 0.0;
        for (i64 t = 0; t < T; ++t) {
            const f64 d = in[t * m + j] - mean;
            var += d * d;
            if (t > 0) cov += d * (in[(t - 1) * m + j] - mean);
        }
        out[j] = mean;
        out[m + j] = std::sqrt(var / static_cast<f64>(T));
        out[2 * m + j] = cov / var;
    }
    return 0;
}

// Copies the n bound values of its input lane to its output: it keeps a few
// numbers (a log-likelihood) of a large step output that is not retained.
int study_collect_step(i64 /*rep_idx*/, f64* in, f64* out, i64* /*int_work*/, i64* /*int_out*/,
                       const void* ctx) {
    const auto* c = static_cast<const CollectCtx*>(ctx);
    for (i64 i = 0; i < c->n; ++i) out[i] = in[i];
    return std::isfinite(in[0]) ? 0 : -1;
}

}  // extern "C"
