// Fuzz target: every exported sizer and offsets function with random 64-bit
// dimensions. Under UndefinedBehaviorSanitizer no arithmetic may overflow;
// for non-negative dimensions a size is either the documented "unsizeable"
// mark (-1, or {-1, -1}) or a non-negative count; for non-negative dimensions sizes grow with every
// dimension (a wrapped product would shrink), small dimensions are always
// sizeable, and an offsets function reports the same length as its sizer,
// with every block inside it.
#include <array>
#include <vector>

#include "fuzz_data.h"
#include "trova_diag.h"
#include "trova_diag_cusum.h"
#include "trova_diag_wald.h"
#include "trova_kalman.h"
#include "trova_mc.h"
#include "trova_regression.h"
#include "trova_sim.h"
#include "trova_transforms.h"

namespace {

using trova_fuzz::edgy_i64;

constexpr int kMaxDims = 6;
using Dims = std::array<i64, kMaxDims>;

// A sizer's answer: {n_float, n_int}; single-count sizers leave n_int 0.
struct Answer {
    i64 n_float, n_int;
    bool single;
};

Answer pair(arena_size s) { return {s.n_float, s.n_int, false}; }
Answer one(i64 n) { return {n, 0, true}; }

// Dimensions that are flags (return_shocks, intercept, with_se) are passed
// as int; the rest as i64.
int flag(i64 v) { return static_cast<int>(v % 3); }

struct Sizer {
    const char* name;
    int n_dims;
    Answer (*call)(const Dims& d);
    int flag_dim;  // index of an int flag argument, or -1
};

const Sizer kSizers[] = {
    {"standardize_ax0", 2, [](const Dims& d) { return pair(trova_standardize_ax0_arena_size(d[0], d[1])); }, -1},
    {"log", 2, [](const Dims& d) { return pair(trova_log_arena_size(d[0], d[1])); }, -1},
    {"log_diff", 2, [](const Dims& d) { return pair(trova_log_diff_arena_size(d[0], d[1])); }, -1},
    {"diff", 3, [](const Dims& d) { return pair(trova_diff_arena_size(d[0], d[1], d[2])); }, -1},
    {"rolling_mean", 3, [](const Dims& d) { return pair(trova_rolling_mean_arena_size(d[0], d[1], d[2])); }, -1},
    {"rolling_var", 3, [](const Dims& d) { return pair(trova_rolling_var_arena_size(d[0], d[1], d[2])); }, -1},
    {"rolling_std", 3, [](const Dims& d) { return pair(trova_rolling_std_arena_size(d[0], d[1], d[2])); }, -1},
    {"ols_work", 2, [](const Dims& d) { return pair(trova_mc_ols_work_arena_size(d[0], d[1])); }, -1},
    {"ridge_work", 2, [](const Dims& d) { return pair(trova_mc_ridge_work_arena_size(d[0], d[1])); }, -1},
    {"ridge_gs_work", 2, [](const Dims& d) { return pair(trova_mc_ridge_gs_work_arena_size(d[0], d[1])); }, -1},
    {"lasso_work", 2, [](const Dims& d) { return pair(trova_mc_lasso_work_arena_size(d[0], d[1])); }, -1},
    {"lasso_gs_work", 5,
     [](const Dims& d) { return pair(trova_mc_lasso_gs_work_arena_size(d[0], d[1], flag(d[2]), d[3], d[4])); }, 2},
    {"elastic_net_work", 2, [](const Dims& d) { return pair(trova_mc_elastic_net_work_arena_size(d[0], d[1])); },
     -1},
    {"elastic_net_gs_work", 4,
     [](const Dims& d) { return pair(trova_mc_elastic_net_gs_work_arena_size(d[0], d[1], flag(d[2]), d[3])); }, 2},
    {"regression_output", 2, [](const Dims& d) { return one(trova_mc_regression_output_offsets(d[0], flag(d[1]), nullptr)); }, 1},
    {"simulate_order1", 4, [](const Dims& d) { return one(trova_simulate_order1_arena_size(d[0], d[1], d[2], d[3])); }, -1},
    {"simulate_order2", 5,
     [](const Dims& d) { return one(trova_simulate_order2_arena_size(d[0], d[1], d[2], d[3], d[4])); }, -1},
    {"order1_shock_offset", 2, [](const Dims& d) { return one(trova_simulate_order1_shock_offset(d[0], d[1])); }, -1},
    {"order2_shock_offset", 3, [](const Dims& d) { return one(trova_simulate_order2_shock_offset(d[0], d[1], d[2])); }, -1},
    {"kf", 3, [](const Dims& d) { return pair(kf_arena_size(d[0], d[1], d[2])); }, -1},
    {"ekf", 3, [](const Dims& d) { return pair(ekf_arena_size(d[0], d[1], d[2])); }, -1},
    {"ukf", 4, [](const Dims& d) { return pair(ukf_arena_size(d[0], d[1], d[2], d[3])); }, -1},
    {"filter_linear_input", 4,
     [](const Dims& d) { return one(trova_filter_linear_input_arena_size(d[0], d[1], d[2], d[3])); }, -1},
    {"filter_linear_output", 5,
     [](const Dims& d) { return one(trova_filter_linear_output_arena_size(d[0], d[1], d[2], d[3], flag(d[4]))); }, 4},
    {"filter_extended_input", 5,
     [](const Dims& d) { return one(trova_filter_extended_input_arena_size(d[0], d[1], d[2], d[3], d[4])); }, -1},
    {"filter_extended_output", 5,
     [](const Dims& d) { return one(trova_filter_extended_output_arena_size(d[0], d[1], d[2], d[3], flag(d[4]))); },
     4},
    {"filter_unscented_input", 6,
     [](const Dims& d) {
         return one(trova_filter_unscented_input_arena_size(d[0], d[1], d[2], d[3], d[4], d[5]));
     },
     -1},
    {"filter_unscented_output", 4,
     [](const Dims& d) { return one(trova_filter_unscented_output_arena_size(d[0], d[1], d[2], d[3])); }, -1},
    {"wald_mean_hac", 2, [](const Dims& d) { return pair(trova_wald_mean_hac_arena_size(d[0], d[1])); }, -1},
    {"wald_covariance_hac", 2, [](const Dims& d) { return pair(trova_wald_covariance_hac_arena_size(d[0], d[1])); },
     -1},
    {"wald_second_moment_hac", 2,
     [](const Dims& d) { return pair(trova_wald_second_moment_hac_arena_size(d[0], d[1])); }, -1},
    {"lb", 2, [](const Dims& d) { return pair(trova_lb_arena_size(d[0], d[1])); }, -1},
    {"bp", 2, [](const Dims& d) { return pair(trova_bp_arena_size(d[0], d[1])); }, -1},
    {"bg", 3, [](const Dims& d) { return pair(trova_bg_arena_size(d[0], d[1], d[2])); }, -1},
    {"cusum", 2, [](const Dims& d) { return pair(trova_cusum_arena_size(d[0], d[1])); }, -1},
    {"cusumsq", 2, [](const Dims& d) { return pair(trova_cusumsq_arena_size(d[0], d[1])); }, -1},
    {"chow", 1, [](const Dims& d) { return pair(trova_chow_arena_size(d[0])); }, -1},
    {"shock_scratch", 2,
     [](const Dims& d) {
         const trova_mc_shock_plan plan{nullptr, 0, d[0], 0, 1.0, d[1]};
         return one(trova_mc_shock_scratch_size(&plan));
     },
     -1},
};

bool unsizeable(const Answer& a) { return a.single ? a.n_float == -1 : (a.n_float == -1 && a.n_int == -1); }

// The documented answer shapes: the mark, or counts that are both >= 0.
void check_shape(const Sizer& s, const Answer& a, const Dims& d) {
    if (unsizeable(a)) return;
    if (a.n_float < 0 || a.n_int < 0) {
        std::fprintf(stderr, "%s(%lld, %lld, %lld, %lld, %lld, %lld) = {%lld, %lld}\n", s.name, (long long)d[0],
                     (long long)d[1], (long long)d[2], (long long)d[3], (long long)d[4], (long long)d[5],
                     (long long)a.n_float, (long long)a.n_int);
        trova_fuzz::fail("negative size reported as valid", a.n_float, a.n_int);
    }
}

bool nonnegative(const Sizer& s, const Dims& d) {
    for (int i = 0; i < s.n_dims; ++i)
        if (i != s.flag_dim && d[i] < 0) return false;
    return true;
}

// The offsets functions: same length as their sizer, blocks inside it, all
// -1 when the length is -1.
template <class Rec>
void check_offsets(i64 length, i64 sized, const Rec& rec) {
    TROVA_FUZZ_CHECK(length == sized, length, sized);
    const i64* f = reinterpret_cast<const i64*>(&rec);
    for (std::size_t i = 0; i < sizeof(Rec) / sizeof(i64); ++i) {
        if (length == -1)
            TROVA_FUZZ_CHECK(f[i] == -1, f[i], i);
        else
            TROVA_FUZZ_CHECK(f[i] == -1 || (f[i] >= 0 && f[i] <= length), f[i], length);
    }
}

void offsets(const Dims& d) {
    // Negative dimensions are reported as -1 by the offsets functions only.
    const int rs = flag(d[4]);
    kf_input_offsets kin;
    check_offsets(trova_filter_linear_input_offsets(d[0], d[1], d[2], d[3], &kin),
                  trova_filter_linear_input_arena_size(d[0], d[1], d[2], d[3]), kin);
    trova_filter_output_offsets out;
    check_offsets(trova_filter_linear_output_offsets(d[0], d[1], d[2], d[3], rs, &out),
                  trova_filter_linear_output_arena_size(d[0], d[1], d[2], d[3], rs), out);
    ekf_input_offsets ein;
    check_offsets(trova_filter_extended_input_offsets(d[0], d[1], d[2], d[3], d[5], &ein),
                  trova_filter_extended_input_arena_size(d[0], d[1], d[2], d[3], d[5]), ein);
    check_offsets(trova_filter_extended_output_offsets(d[0], d[1], d[2], d[3], rs, &out),
                  trova_filter_extended_output_arena_size(d[0], d[1], d[2], d[3], rs), out);
    ukf_input_offsets uin;
    check_offsets(trova_filter_unscented_input_offsets(d[0], d[1], d[2], d[3], d[4], d[5], &uin),
                  trova_filter_unscented_input_arena_size(d[0], d[1], d[2], d[3], d[4], d[5]), uin);
    check_offsets(trova_filter_unscented_output_offsets(d[0], d[1], d[2], d[3], &out),
                  trova_filter_unscented_output_arena_size(d[0], d[1], d[2], d[3]), out);
    trova_regression_output_offsets ro;
    check_offsets(trova_mc_regression_output_offsets(d[0], rs, &ro), trova_mc_regression_output_offsets(d[0], rs, nullptr),
                  ro);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Dims d{};
    for (i64& v : d) v = edgy_i64(in);
    const int which = in.ConsumeIntegralInRange<int>(0, static_cast<int>(std::size(kSizers)));
    if (which == static_cast<int>(std::size(kSizers))) {
        offsets(d);
        return 0;
    }
    const Sizer& s = kSizers[which];
    // Negative dimensions give whatever the overflow-checked arithmetic
    // makes of them (documented): only undefined behaviour counts there.
    const Answer a = s.call(d);
    if (!nonnegative(s, d)) return 0;
    check_shape(s, a, d);

    // Small dimensions always fit.
    bool small = true;
    for (int i = 0; i < s.n_dims; ++i) small = small && d[i] <= (i64{1} << 12);
    if (small) TROVA_FUZZ_CHECK(!unsizeable(a), d[0], d[1]);

    // Growing one dimension never shrinks the size, and what did not fit
    // still does not.
    const int dim = in.ConsumeIntegralInRange<int>(0, s.n_dims - 1);
    if (dim == s.flag_dim) return 0;
    Dims e = d;
    const i64 grow = in.ConsumeIntegralInRange<i64>(1, std::numeric_limits<i64>::max());
    if (__builtin_add_overflow(d[dim], grow, &e[dim])) return 0;
    const Answer b = s.call(e);
    check_shape(s, b, e);
    if (unsizeable(a)) {
        TROVA_FUZZ_CHECK(unsizeable(b), dim, e[dim]);
    } else if (!unsizeable(b)) {
        TROVA_FUZZ_CHECK(b.n_float >= a.n_float, b.n_float, a.n_float);
        TROVA_FUZZ_CHECK(b.n_int >= a.n_int, b.n_int, a.n_int);
    }
    return 0;
}
