// Step functions used by the runner tests and benchmarks.
#ifndef TROVA_TESTS_TEST_STEPS_H
#define TROVA_TESTS_TEST_STEPS_H

#include <atomic>
#include <cmath>

#include "trova_mc.h"

namespace trova_test {

// Copies the first n values of its input lane to its output lane and appends
// the replication index; its integer output is (status, replication index).
// The replication's status comes from `status_by_rep` (0 when NULL); `calls`,
// when set, counts the calls.
struct EchoCtx {
    i64 n = 0;
    const int* status_by_rep = nullptr;
    std::atomic<i64>* calls = nullptr;
};

inline int echo_step(i64 rep, f64* in, f64* out, i64* /*int_work*/, i64* int_out, const void* ctx) {
    const auto* c = static_cast<const EchoCtx*>(ctx);
    if (c->calls != nullptr) c->calls->fetch_add(1, std::memory_order_relaxed);
    for (i64 k = 0; k < c->n; ++k) out[k] = in[k];
    out[c->n] = static_cast<f64>(rep);
    const int status = c->status_by_rep != nullptr ? c->status_by_rep[rep] : 0;
    if (int_out != nullptr) {
        int_out[0] = status;
        int_out[1] = rep;
    }
    return status;
}

// A compute-bound step: `iters` rounds of a damped nonlinear map over its n
// inputs, written to its n outputs. The work per call is fixed, so it serves
// for scaling measurements and for checking that results do not depend on
// the worker count.
struct ChurnCtx {
    i64 n = 0;
    i64 iters = 0;
};

inline int churn_step(i64 rep, f64* in, f64* out, i64* /*int_work*/, i64* /*int_out*/, const void* ctx) {
    const auto* c = static_cast<const ChurnCtx*>(ctx);
    const f64 r = 1.0 + 1e-3 * static_cast<f64>(rep % 97);
    for (i64 k = 0; k < c->n; ++k) out[k] = in[k];
    for (i64 it = 0; it < c->iters; ++it)
        for (i64 k = 0; k < c->n; ++k) out[k] = std::sin(out[k] * r) + 0.5 * out[(k + 1) % c->n];
    return 0;
}

}  // namespace trova_test

#endif  // TROVA_TESTS_TEST_STEPS_H
