// Fuzz target: the transform, regression and diagnostic steps on random
// series with NaN, infinities, denormals and huge or tiny scales, and with
// random (bounded) dimensions and parameters. Each step runs on a lane of
// exactly its sizer's length and an output lane of exactly its documented
// length, all between poisoned guards (with the build's poisoned gaps
// behind every block). No crash, no write outside the lanes, no hang, and
// every status is one its family documents.
#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "_common/sizers.h"
#include "fuzz_data.h"
#include "fuzz_guarded.h"
#include "trova_diag.h"
#include "trova_diag_cusum.h"
#include "trova_diag_wald.h"
#include "trova_mc.h"
#include "trova_mc_tests.h"
#include "trova_regression.h"
#include "trova_transforms.h"

namespace {

using trova::layout::plus;
using trova::layout::Size;
using trova_fuzz::edgy_f64;
using trova_fuzz::edgy_i64;
using trova_fuzz::Guarded;
namespace sizing = trova::sizing;

// Fills v with a series: ordinary values around a level at some scale,
// with edge values (NaN, infinities, denormals, huge, tiny) sprinkled in.
void fill_series(FuzzedDataProvider& in, f64* v, std::size_t n) {
    const f64 scale = in.ConsumeBool() ? std::fabs(edgy_f64(in)) : 1.0;
    const f64 level = in.ConsumeBool() ? edgy_f64(in) : 0.0;
    const int edge_rate = in.ConsumeIntegralInRange<int>(0, 16);  // one in edge_rate values, 0: none
    for (std::size_t i = 0; i < n; ++i) {
        if (edge_rate > 0 && in.ConsumeIntegralInRange<int>(1, edge_rate) == 1)
            v[i] = edgy_f64(in);
        else
            v[i] = level + scale * in.ConsumeFloatingPointInRange<f64>(-1.0, 1.0);
    }
}

bool one_of(i64 v, const std::vector<i64>& allowed) {
    return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
}

// A step's lanes: float input/work, float output, integer work and the
// integer output's status slot.
struct Lanes {
    Guarded<f64> in, out;
    Guarded<i64> int_work, int_out;
    Lanes(const Size& work, i64 out_len) : in(work.n_float, 0.0), out(out_len, -7.0), int_work(work.n_int, -7), int_out(1, -7) {}
    int run(trova_mc_step_fn fn, const void* ctx) {
        return fn(0, in.data(), out.data(), int_work.data(), int_out.data(), ctx);
    }
};

int saturated(i64 s) { return s > INT_MAX ? INT_MAX : s < INT_MIN ? INT_MIN : static_cast<int>(s); }

// ---- transforms ----

void transform(FuzzedDataProvider& in, i64 n, i64 p) {
    const int which = in.ConsumeIntegralInRange<int>(0, 6);
    const i64 param = in.ConsumeIntegralInRange<i64>(-2, n + 2);
    const f64 offset = in.ConsumeBool() ? edgy_f64(in) : 0.0;
    Size size;
    i64 out_rows = n;
    trova_mc_step_fn fn = nullptr;
    const trova_mc_standardize_step_ctx standardize{n, p, param};
    const trova_mc_log_step_ctx log_ctx{n, p, offset};
    const trova_mc_diff_step_ctx diff{n, p, param};
    const trova_mc_rolling_var_step_ctx rolling{n, p, param, in.ConsumeIntegralInRange<i64>(-1, 3)};
    const void* ctx = &rolling;
    switch (which) {
        case 0: size = sizing::standardize_ax0(n, p), fn = trova_mc_standardize_runner, ctx = &standardize; break;
        case 1: size = sizing::log_transform(n, p), fn = trova_mc_log_runner, ctx = &log_ctx; break;
        case 2: size = sizing::log_diff(n, p), fn = trova_mc_log_diff_runner, ctx = &log_ctx, out_rows = n - 1; break;
        case 3: size = sizing::diff(n, p, param), fn = trova_mc_diff_runner, ctx = &diff, out_rows = n - param; break;
        case 4: size = sizing::rolling_mean(n, p, param), fn = trova_mc_rolling_mean_runner; break;
        case 5: size = sizing::rolling_var(n, p, param), fn = trova_mc_rolling_var_runner; break;
        default: size = sizing::rolling_std(n, p, param), fn = trova_mc_rolling_std_runner; break;
    }
    if (which >= 4) out_rows = n - param + 1;
    if (size.overflow || size.n_float < 0) return;
    // The output of valid dimensions, exactly; nothing for invalid ones.
    const i64 out_len = out_rows > 0 && p > 0 ? std::min(out_rows, n) * p : 0;
    Lanes lanes(size, out_len);
    fill_series(in, lanes.in.data(), std::min(static_cast<std::size_t>(n * p), lanes.in.size()));
    const f64* x = lanes.in.data();
    const int ret = lanes.run(fn, ctx);
    const i64 status = lanes.int_out[0];
    TROVA_FUZZ_CHECK(one_of(status, {0, -6}), status, which);
    TROVA_FUZZ_CHECK(ret == saturated(status), ret, status);
    if (which == 0) {
        const bool invalid = n <= 0 || p <= 0 || n - param <= 0;
        TROVA_FUZZ_CHECK((status == -6) == invalid, status, n - param);
    }
    // A rolling mean is NaN only in windows that hold a NaN or meet
    // infinities of both signs; finite windows of moderate values give
    // finite means.
    if (which == 4 && status == 0) {
        for (i64 r = 0; r < out_rows; ++r)
            for (i64 c = 0; c < p; ++c) {
                bool moderate = true;
                for (i64 t = r; t < r + param; ++t) moderate = moderate && std::fabs(x[t * p + c]) <= 1e300;
                if (moderate) TROVA_FUZZ_CHECK(std::isfinite(lanes.out[static_cast<std::size_t>(r * p + c)]), r, c);
            }
    }
}

// ---- regressions ----

void regression(FuzzedDataProvider& in, i64 n, i64 p) {
    const int which = in.ConsumeIntegralInRange<int>(0, 6);
    const int intercept = in.ConsumeBool();
    const i64 n_alpha = in.ConsumeIntegralInRange<i64>(-1, 5);
    const i64 max_iter = in.ConsumeIntegralInRange<i64>(-1, 200);
    f64 alphas[5];
    for (f64& a : alphas) a = in.ConsumeBool() ? edgy_f64(in) : in.ConsumeFloatingPointInRange<f64>(0.0, 2.0);
    const f64 alpha = in.ConsumeBool() ? edgy_f64(in) : 0.1;
    const f64 tol = in.ConsumeBool() ? edgy_f64(in) : 1e-8;
    const f64 l1 = in.ConsumeBool() ? edgy_f64(in) : 0.5;
    const i64 crit = in.ConsumeIntegralInRange<i64>(0, 4);
    const trova_mc_ols_step_ctx ols{n, p, intercept};
    const trova_mc_ridge_step_ctx ridge{n, p, intercept, alpha};
    const trova_mc_ridge_gs_step_ctx ridge_gs{alphas, n, p, n_alpha, crit, intercept};
    const trova_mc_lasso_step_ctx lasso{n, p, intercept, max_iter, tol, alpha};
    const trova_mc_lasso_gs_step_ctx lasso_gs{alphas, n, p, n_alpha, intercept, max_iter, tol};
    const trova_mc_elastic_net_step_ctx en{n, p, intercept, max_iter, tol, alpha, l1};
    const trova_mc_elastic_net_gs_step_ctx en_gs{alphas, n, p, n_alpha, crit, intercept, max_iter, tol, l1};
    Size size;
    trova_mc_step_fn fn;
    const void* ctx;
    switch (which) {
        case 0: size = sizing::ols_work(n, p), fn = trova_mc_ols_runner, ctx = &ols; break;
        case 1: size = sizing::ridge_work(n, p), fn = trova_mc_ridge_runner, ctx = &ridge; break;
        case 2: size = sizing::ridge_gs_work(n, p), fn = trova_mc_ridge_gs_runner, ctx = &ridge_gs; break;
        case 3: size = sizing::lasso_work(n, p), fn = trova_mc_lasso_runner, ctx = &lasso; break;
        case 4:
            size = sizing::lasso_gs_work(n, p, intercept, n_alpha, max_iter), fn = trova_mc_lasso_gs_runner,
            ctx = &lasso_gs;
            break;
        case 5: size = sizing::elastic_net_work(n, p), fn = trova_mc_elastic_net_runner, ctx = &en; break;
        default:
            size = sizing::elastic_net_gs_work(n, p, intercept, n_alpha), fn = trova_mc_elastic_net_gs_runner,
            ctx = &en_gs;
            break;
    }
    if (size.overflow || size.n_float < 0 || size.n_int < 0) return;
    const i64 out_len = trova_mc_regression_output_offsets(p, which == 0, nullptr);
    Lanes lanes(size, std::max<i64>(out_len, 0));
    fill_series(in, lanes.in.data(), lanes.in.size());
    if (intercept && in.ConsumeBool())
        for (i64 i = 0; i < n && p > 0; ++i) lanes.in[static_cast<std::size_t>(i * p)] = 1.0;
    const int ret = lanes.run(fn, ctx);
    const i64 status = lanes.int_out[0];
    TROVA_FUZZ_CHECK(one_of(status, {REGRESSION_OK, REGRESSION_RANK_DEFICIENT, REGRESSION_NON_CONVERGENT}), status,
                     which);
    TROVA_FUZZ_CHECK(ret == status, ret, status);
}

// ---- diagnostics ----

void diagnostic(FuzzedDataProvider& in, i64 n, i64 p) {
    const int which = in.ConsumeIntegralInRange<int>(0, 9);
    const i64 lags = in.ConsumeIntegralInRange<i64>(-1, n + 1);
    f64 target[36];
    fill_series(in, target, 36);
    const trova_mc_wald_test_ctx wald{target,
                                      n,
                                      std::min<i64>(p, 6),
                                      in.ConsumeIntegralInRange<i64>(-1, n + 1),
                                      static_cast<KernelID>(in.ConsumeIntegralInRange<int>(-1, 3)),
                                      static_cast<WaldBandwidthMode>(in.ConsumeIntegralInRange<int>(-1, 4)),
                                      static_cast<trova_mc_wald_kind>(in.ConsumeIntegralInRange<int>(0, 2))};
    const trova_mc_ljung_box_test_ctx lb{n, lags};
    const trova_mc_jarque_bera_test_ctx jb{n};
    const trova_mc_breusch_pagan_test_ctx bp{n, p, in.ConsumeBool()};
    const trova_mc_breusch_godfrey_test_ctx bg{n, p, lags};
    const trova_mc_cusum_test_ctx cusum{n, p};
    const trova_mc_chow_test_ctx chow{n, p, in.ConsumeIntegralInRange<i64>(-1, n + 1)};
    Size size;
    trova_mc_step_fn fn;
    const void* ctx;
    std::vector<i64> statuses = {0, 1, -3, -5, -7};
    const i64 q = wald.q;
    switch (which) {
        case 0: {
            trova::layout::Carver staged;
            staged.take(n, q);
            const Size work = wald.kind == TROVA_MC_WALD_MEAN         ? sizing::wald_mean_hac(n, q)
                              : wald.kind == TROVA_MC_WALD_COVARIANCE ? sizing::wald_covariance_hac(n, q)
                                                                       : sizing::wald_second_moment_hac(n, q);
            size = plus(staged.size(), work), fn = trova_mc_wald_test_runner, ctx = &wald;
            statuses = {0, -1, -2, -5, -7};
            break;
        }
        case 1: {
            trova::layout::Carver staged;
            staged.take(n);
            size = plus(staged.size(), sizing::ljung_box(n, lags)), fn = trova_mc_ljung_box_test_runner, ctx = &lb;
            statuses = {0, -3, -4, -5};
            break;
        }
        case 2: {
            trova::layout::Carver staged;
            staged.take(n);
            size = staged.size(), fn = trova_mc_jarque_bera_test_runner, ctx = &jb;
            statuses = {0, -3, -5};
            break;
        }
        case 3:
            size = plus(sizing::breusch_pagan_input(n, p), sizing::breusch_pagan(n, p + 1));
            fn = trova_mc_breusch_pagan_test_runner, ctx = &bp;
            break;
        case 4:
            size = plus(sizing::regression_test_input(n, p), sizing::breusch_godfrey(n, p, lags));
            fn = trova_mc_breusch_godfrey_test_runner, ctx = &bg;
            break;
        case 5:
            size = plus(sizing::regression_test_input(n, p), sizing::cusum(n, p));
            fn = trova_mc_cusum_test_runner, ctx = &cusum;
            statuses = {0, 1, -3, -5};
            break;
        case 6:
            size = plus(sizing::regression_test_input(n, p), sizing::cusumsq(n, p));
            fn = trova_mc_cusumsq_test_runner, ctx = &cusum;
            statuses = {0, 1, -3, -5};
            break;
        default:
            size = plus(sizing::regression_test_input(n, p), sizing::chow(p));
            fn = trova_mc_chow_test_runner, ctx = &chow;
            break;
    }
    if (size.overflow || size.n_float < 0 || size.n_int < 0) return;
    Lanes lanes(size, 1);
    fill_series(in, lanes.in.data(), lanes.in.size());
    const int ret = lanes.run(fn, ctx);
    TROVA_FUZZ_CHECK(ret == 0, ret, which);
    TROVA_FUZZ_CHECK(one_of(lanes.int_out[0], statuses), lanes.int_out[0], which);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // Bounded shapes: the kernels' cost grows with them, and a hang must
    // show as a timeout, not as a slow input.
    const i64 n = in.ConsumeIntegralInRange<i64>(0, 48);
    const i64 p = in.ConsumeIntegralInRange<i64>(0, 6);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: transform(in, n, p); break;
        case 1: regression(in, n, p); break;
        default: diagnostic(in, n, p); break;
    }
    return 0;
}
