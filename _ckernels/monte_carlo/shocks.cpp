// Shock draws: one replication's T x n_exog shock matrix, assembled entry by
// entry from per-entry, per-replication Philox streams.
#include <cstring>

#include "_common/layout.h"
#include "monte_carlo/shock_draw.h"
#include "trova_mc.h"
#include "trova_rng.h"

namespace {

// Entry e of replication r draws from key {key, entry_idx}, stream {r, 0}.
void trova_mc_shock_seed(trova_philox_state* st, const trova_mc_shock_entry& entry, i64 rep_idx) {
    trova_philox_seed(st, entry.key, entry.entry_idx, static_cast<u64>(rep_idx), 0);
}

// out[t][columns[k]] = scale * (loc[k] + sum_j factor[k][j] z[t][j]).
void trova_mc_shock_apply_normal(const trova_mc_shock_plan& plan, const trova_mc_shock_entry& e,
                                 const f64* z, f64* out) {
    const i64 w = e.width;
    const f64 scale = plan.shock_scale;
    for (i64 t = 0; t < plan.T; ++t) {
        const f64* zt = z + t * w;
        f64* ot = out + t * plan.n_exog;
        for (i64 k = 0; k < w; ++k) {
            const f64* fk = e.factor + k * w;
            f64 acc = e.loc != nullptr ? e.loc[k] : 0.0;
            for (i64 j = 0; j < w; ++j) acc += fk[j] * zt[j];
            ot[e.columns[k]] = scale * acc;
        }
    }
}

// The same for an entry of width W (1 to 4) known at compile time: the
// factor, means and columns are read once into locals, and the sums are
// unrolled (the build may reassociate them, so they can differ from the
// general loop's in the last bit).
template <int W>
void apply_normal_fixed(const trova_mc_shock_plan& plan, const trova_mc_shock_entry& e, const f64* z,
                        f64* out) {
    f64 f[W][W], loc[W];
    i64 col[W];
    for (int k = 0; k < W; ++k) {
        loc[k] = e.loc != nullptr ? e.loc[k] : 0.0;
        col[k] = e.columns[k];
        for (int j = 0; j < W; ++j) f[k][j] = e.factor[k * W + j];
    }
    const f64 scale = plan.shock_scale;
    const i64 stride = plan.n_exog;
    for (i64 t = 0; t < plan.T; ++t) {
        const f64* zt = z + t * W;
        f64* ot = out + t * stride;
        for (int k = 0; k < W; ++k) {
            f64 acc = loc[k];
            for (int j = 0; j < W; ++j) acc += f[k][j] * zt[j];
            ot[col[k]] = scale * acc;
        }
    }
}

void apply_normal_any(const trova_mc_shock_plan& plan, const trova_mc_shock_entry& e, const f64* z,
                      f64* out, bool general) {
    switch (general ? 0 : e.width) {
        case 1: return apply_normal_fixed<1>(plan, e, z, out);
        case 2: return apply_normal_fixed<2>(plan, e, z, out);
        case 3: return apply_normal_fixed<3>(plan, e, z, out);
        case 4: return apply_normal_fixed<4>(plan, e, z, out);
        default: return trova_mc_shock_apply_normal(plan, e, z, out);
    }
}

// out[t][columns[0]] = scale * (low + span * u[t]).
void trova_mc_shock_apply_uniform(const trova_mc_shock_plan& plan, const trova_mc_shock_entry& e,
                                  const f64* u, f64* out) {
    const i64 col = e.columns[0];
    const i64 stride = plan.n_exog;
    for (i64 t = 0; t < plan.T; ++t) out[t * stride + col] = plan.shock_scale * (e.low + e.span * u[t]);
}

// Whether the plan can be drawn: dimensions that are not negative and fit in
// 64 bits, and entries that stay inside the T x n_exog output and the
// T x max_width scratch the sizer gives. A uniform entry is one column wide;
// a normal entry of width 0 draws nothing and is not looked into further.
// The cost is one pass over the entries' columns, small beside the draw.
bool valid_plan(const trova_mc_shock_plan* plan) {
    if (plan == nullptr) return false;
    const i64 T = plan->T, n_exog = plan->n_exog, max_width = plan->max_width;
    if (T < 0 || n_exog < 0 || max_width < 0 || plan->n_entries < 0) return false;
    if (plan->n_entries > 0 && plan->entries == nullptr) return false;
    trova::layout::Carver c;
    c.take(T, n_exog);
    c.take(T, max_width);
    if (c.overflowed()) return false;
    const auto in_range = [n_exog](i64 col) { return col >= 0 && col < n_exog; };
    for (i64 e = 0; e < plan->n_entries; ++e) {
        const trova_mc_shock_entry& entry = plan->entries[e];
        if (entry.family == 1) {
            if (max_width < 1 || entry.columns == nullptr || !in_range(entry.columns[0])) return false;
            continue;
        }
        if (entry.width < 0 || entry.width > max_width) return false;
        if (entry.width == 0) continue;
        if (entry.columns == nullptr || entry.factor == nullptr) return false;
        for (i64 k = 0; k < entry.width; ++k)
            if (!in_range(entry.columns[k])) return false;
    }
    return true;
}

}  // namespace

int trova::shocks::draw(const trova_mc_shock_plan* plan, i64 rep_idx, f64* scratch, f64* out,
                        bool general) {
    if (!valid_plan(plan)) return -1;
    if (plan->T == 0) return 0;
    if (plan->n_exog > 0)
        std::memset(out, 0, sizeof(f64) * static_cast<std::size_t>(plan->T * plan->n_exog));
    for (i64 e = 0; e < plan->n_entries; ++e) {
        const trova_mc_shock_entry& entry = plan->entries[e];
        trova_philox_state st;
        trova_mc_shock_seed(&st, entry, rep_idx);
        if (entry.family == 1) {
            trova_philox_standard_uniform_fill(&st, plan->T, scratch);
            trova_mc_shock_apply_uniform(*plan, entry, scratch, out);
        } else {
            if (entry.width == 0) continue;
            trova_philox_standard_normal_fill(&st, plan->T * entry.width, scratch);
            apply_normal_any(*plan, entry, scratch, out, general);
        }
    }
    return 0;
}

extern "C" {

TROVA_API i64 trova_mc_shock_scratch_size(const trova_mc_shock_plan* plan) {
    if (plan == nullptr || plan->T < 0 || plan->max_width < 0) return -1;
    trova::layout::Carver c;
    c.take(plan->T, plan->max_width);
    return trova::layout::native_count(c.size());
}

TROVA_API int trova_mc_shock_draw(const trova_mc_shock_plan* plan, i64 rep_idx, f64* scratch,
                                  f64* out) {
    return trova::shocks::draw(plan, rep_idx, scratch, out, false);
}

}  // extern "C"
