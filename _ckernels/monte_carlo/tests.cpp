// Diagnostic test steps: thin adapters from a step's lanes to the test
// kernels. The statistic's slot is set to NaN before the kernel runs, so a
// kernel that stops before writing it leaves NaN rather than whatever the
// worker's lane held from its previous replication.
#include <cstring>

#include "_common/layout.h"
#include "_common/nan.h"
#include "_common/sizers.h"
#include "trova_diag.h"
#include "trova_diag_cusum.h"
#include "trova_diag_wald.h"
#include "trova_mc_tests.h"

namespace {

using trova::layout::Carver;
using trova::quiet_nan;

// The test's status is data: stored in int_out[0], never a failure of the
// replication.
int trova_mc_test_status(int status, i64* int_out) {
    if (int_out != nullptr) int_out[0] = status;
    return 0;
}

// Inputs y (or eps, n) and X (n x p) at the start of a lane; the arena
// after them.
struct RegressionInputs {
    f64 *y, *X, *arena;
};

RegressionInputs regression_inputs(Carver& c, i64 n, i64 p) {
    RegressionInputs in{};
    in.y = c.take(n);
    in.X = c.take(n, p);
    in.arena = c.take(0);
    return in;
}

// The Breusch-Pagan step's lane: eps (n), X (n x k), the design with its
// intercept column (n x (k + 1), filled by the step), then the arena.
struct PaganInputs {
    f64 *eps, *X, *X_aug, *arena;
};

PaganInputs pagan_inputs(Carver& c, i64 n, i64 k) {
    PaganInputs in{};
    in.eps = c.take(n);
    in.X = c.take(n, k);
    in.X_aug = c.take(n, c.sum(k, 1));
    in.arena = c.take(0);
    return in;
}

RegressionInputs regression_inputs(f64* lane, i64 n, i64 p) {
    Carver c(lane);
    return regression_inputs(c, n, p);
}

// The int an enumerated field of a caller's context holds. Callers in C or
// Python may store any int there (the test rejects unknown kernels and
// bandwidth rules with its status), and loading a value outside the
// enumeration's range as the enumeration is undefined in C++, so the field
// is read as the int it is.
template <class Enum>
int enum_bits(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(int), "enumerations of the context records are int-sized");
    int v;
    std::memcpy(&v, &field, sizeof v);
    return v;
}

template <class Ctx, class Test>
int test_step(f64* float_out, i64* int_out, const void* ctx, Test test) {
    float_out[0] = quiet_nan();
    return trova_mc_test_status(test(*static_cast<const Ctx*>(ctx)), int_out);
}

}  // namespace

namespace trova::sizing {

Size regression_test_input(i64 n, i64 p) {
    return layout::size_of([&](Carver& c) { regression_inputs(c, n, p); });
}

Size breusch_pagan_input(i64 n, i64 k) {
    return layout::size_of([&](Carver& c) { pagan_inputs(c, n, k); });
}

}  // namespace trova::sizing

extern "C" {

TROVA_API int trova_mc_wald_test_runner(i64, f64* float_in_work, f64* float_out, i64* int_work, i64* int_out,
                                        const void* ctx) {
    return test_step<trova_mc_wald_test_ctx>(float_out, int_out, ctx, [&](const trova_mc_wald_test_ctx& c) {
        Carver carver(float_in_work);
        const f64* g = carver.take(c.n, c.q);
        f64* arena = carver.take(0);
        const int kind = enum_bits(c.kind);
        auto test = kind == TROVA_MC_WALD_MEAN         ? trova_wald_mean_hac
                    : kind == TROVA_MC_WALD_COVARIANCE ? trova_wald_covariance_hac
                                                       : trova_wald_second_moment_hac;
        return test(g, c.target, c.n, c.q, enum_bits(c.kernel_id), enum_bits(c.bandwidth_mode), c.manual_bandwidth,
                    arena, int_work, float_out);
    });
}

TROVA_API int trova_mc_ljung_box_test_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                             const void* ctx) {
    return test_step<trova_mc_ljung_box_test_ctx>(float_out, int_out, ctx,
                                                  [&](const trova_mc_ljung_box_test_ctx& c) {
                                                      Carver carver(float_in_work);
                                                      const f64* x = carver.take(c.n);
                                                      f64* z = carver.take(c.n);
                                                      f64* acorr = carver.take(0);
                                                      return trova_lb_stat(x, c.n, c.lags, z, acorr, float_out);
                                                  });
}

TROVA_API int trova_mc_jarque_bera_test_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                               const void* ctx) {
    return test_step<trova_mc_jarque_bera_test_ctx>(
        float_out, int_out, ctx,
        [&](const trova_mc_jarque_bera_test_ctx& c) { return trova_jb_stat(float_in_work, c.n, float_out); });
}

TROVA_API int trova_mc_breusch_pagan_test_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                                 const void* ctx) {
    return test_step<trova_mc_breusch_pagan_test_ctx>(
        float_out, int_out, ctx, [&](const trova_mc_breusch_pagan_test_ctx& c) {
            Carver carver(float_in_work);
            const PaganInputs in = pagan_inputs(carver, c.n, c.k);
            // The constant is always added: row t = [1, X[t]].
            for (i64 t = 0; t < c.n; ++t) {
                f64* row = in.X_aug + t * (c.k + 1);
                row[0] = 1.0;
                for (i64 j = 0; j < c.k; ++j) row[1 + j] = in.X[t * c.k + j];
            }
            return trova_bp_stat(in.eps, in.X_aug, c.n, c.k + 1, c.robust, in.arena, float_out);
        });
}

TROVA_API int trova_mc_breusch_godfrey_test_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                                   const void* ctx) {
    return test_step<trova_mc_breusch_godfrey_test_ctx>(
        float_out, int_out, ctx, [&](const trova_mc_breusch_godfrey_test_ctx& c) {
            const RegressionInputs in = regression_inputs(float_in_work, c.n, c.k);
            return trova_bg_stat(in.y, in.X, c.n, c.k, c.lags, in.arena, float_out);
        });
}

TROVA_API int trova_mc_cusum_test_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                         const void* ctx) {
    return test_step<trova_mc_cusum_test_ctx>(float_out, int_out, ctx, [&](const trova_mc_cusum_test_ctx& c) {
        const RegressionInputs in = regression_inputs(float_in_work, c.n, c.p);
        return trova_cusum_stat(in.y, in.X, c.n, c.p, in.arena, float_out);
    });
}

TROVA_API int trova_mc_cusumsq_test_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                           const void* ctx) {
    return test_step<trova_mc_cusumsq_test_ctx>(float_out, int_out, ctx, [&](const trova_mc_cusumsq_test_ctx& c) {
        const RegressionInputs in = regression_inputs(float_in_work, c.n, c.p);
        i64 count = 0;  // the number of recursive residuals is not reported
        return trova_cusumsq_stat(in.y, in.X, c.n, c.p, &count, in.arena, float_out);
    });
}

TROVA_API int trova_mc_chow_test_runner(i64, f64* float_in_work, f64* float_out, i64*, i64* int_out,
                                        const void* ctx) {
    return test_step<trova_mc_chow_test_ctx>(float_out, int_out, ctx, [&](const trova_mc_chow_test_ctx& c) {
        const RegressionInputs in = regression_inputs(float_in_work, c.n, c.p);
        return trova_chow_stat(in.y, in.X, c.n, c.p, c.t_break, in.arena, float_out);
    });
}

}  // extern "C"
