// The fixed-width loops of small simulations and shock entries against the
// general loops, on random models of every size they cover and just past it.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "_common/layout.h"
#include "core/simulation_checks.h"
#include "monte_carlo/shock_draw.h"
#include "trova.h"

namespace {

// Uniform values in [-s, s) from a Philox stream.
std::vector<f64> random_block(i64 count, f64 s, u64 seed) {
    std::vector<f64> v(static_cast<std::size_t>(count));
    trova_philox_state st;
    trova_philox_seed(&st, seed, 7, 0, 0);
    trova_philox_standard_uniform_fill(&st, count, v.data());
    for (f64& x : v) x = s * (2.0 * x - 1.0);
    return v;
}

// Two observables from the whole row: a weighted sum and a product.
i64 g_row = 0;  // values in a row, set before each run
void two_observables(f64* x, f64* params, f64* y) {
    f64 s = params[0];
    for (i64 i = 0; i < g_row; ++i) s += x[i] * static_cast<f64>(i + 1);
    y[0] = s;
    y[1] = params[1] * x[0] * x[g_row - 1];
}

// Every value of `got` within 1e-12 of `want`, relative to 1 or its size.
void expect_close(const std::vector<f64>& got, const std::vector<f64>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_LE(std::abs(got[i] - want[i]), 1e-12 * std::fmax(1.0, std::abs(want[i])))
            << what << " element " << i << ": " << got[i] << " vs " << want[i];
}

constexpr i64 kT = 40, kPar = 2;

// The whole arena random and small (entries of size 0.5 / n keep every
// transition a contraction); the small loop, the general loop and the
// standalone kernel (as deviations) must agree.
TEST(SmallSimulation, FirstOrderMatchesTheGeneralLoop) {
    for (i64 n = 1; n <= 9; ++n)
        for (i64 k : {0, 1, 4, 8, 9})
            for (i64 m : {0, 2}) {
                SCOPED_TRACE(testing::Message() << "n " << n << " k " << k << " m " << m);
                const std::vector<f64> arena = random_block(trova_simulate_order1_arena_size(n, k, kT, kPar),
                                                            0.5 / static_cast<f64>(n), 100 + n * 20 + k);
                std::vector<f64> a1 = arena, a2 = arena;
                std::vector<f64> fast(static_cast<std::size_t>(kT * (n + m))), slow = fast;
                g_row = n;
                trova::simulation::order1_run(a1.data(), two_observables, kT, n, k, kPar, m, fast.data());
                trova::simulation::order1_run(a2.data(), two_observables, kT, n, k, kPar, m, slow.data(), true);
                expect_close(fast, slow, "step");
                trova::layout::Carver c;
                const i64 A = c.at(n, n), B = c.at(n, k), x0 = c.at(n), shock = c.at(kT, k);
                std::vector<f64> states(static_cast<std::size_t>(kT * n));
                trova_simulate_linear_states(&arena[A], &arena[B], &arena[x0], &arena[shock], states.data(), kT, n, k);
                expect_close(states, std::vector<f64>(slow.begin(), slow.begin() + kT * n), "standalone");
            }
}

TEST(SmallSimulation, SecondOrderMatchesTheGeneralLoop) {
    for (i64 nx = 1; nx <= 9; ++nx)
        for (i64 ny : {0, 1, 5, 8, 9})
            for (i64 ne : {0, 1, 3, 8})
                for (i64 m : {0, 2}) {
                    SCOPED_TRACE(testing::Message() << "nx " << nx << " ny " << ny << " ne " << ne << " m " << m);
                    const i64 n = nx + ny;
                    const std::vector<f64> arena =
                        random_block(trova_simulate_order2_arena_size(nx, n, ne, kT, kPar), 0.5 / static_cast<f64>(nx),
                                     500 + nx * 100 + ny * 10 + ne);
                    std::vector<f64> a1 = arena, a2 = arena;
                    std::vector<f64> fast(static_cast<std::size_t>(kT * (n + m))), slow = fast;
                    g_row = n;
                    trova::simulation::order2_run(a1.data(), two_observables, kT, nx, ny, ne, kPar, m, fast.data());
                    trova::simulation::order2_run(a2.data(), two_observables, kT, nx, ny, ne, kPar, m, slow.data(),
                                                  true);
                    expect_close(fast, slow, "step");
                    // The standalone kernel's deviations plus the steady state.
                    struct {
                        i64 hx, gx, bx, hxx, gxx, hss, gss, steady_state;
                    } o;
                    trova::layout::Carver c;
                    trova::simulation::solution_layout(c, o, nx, ny, ne);
                    const i64 x0 = c.at(nx), shock = c.at(kT, ne);
                    std::vector<f64> xs(static_cast<std::size_t>(kT * nx)), ys(static_cast<std::size_t>(kT * ny));
                    ASSERT_EQ(trova_simulate_second_order_pruned(&arena[o.hx], &arena[o.gx], &arena[o.bx], &arena[o.hxx],
                                                                 &arena[o.gxx], &arena[o.hss], &arena[o.gss], &arena[x0],
                                                                 &arena[shock], kT, nx, ny, ne, xs.data(), ys.data()),
                              0);
                    std::vector<f64> levels(static_cast<std::size_t>(kT * n));
                    const f64* ss = &arena[o.steady_state];
                    for (i64 t = 0; t < kT; ++t) {
                        for (i64 i = 0; i < nx; ++i) levels[t * n + i] = xs[t * nx + i] + ss[i];
                        for (i64 j = 0; j < ny; ++j) levels[t * n + nx + j] = ys[t * ny + j] + ss[nx + j];
                    }
                    expect_close(levels, std::vector<f64>(slow.begin(), slow.begin() + kT * n), "standalone");
                }
}

// Normal entries of widths 1 to 5 (the fixed loops cover 1 to 4), with and
// without means, beside a uniform entry: the same draws to rounding.
TEST(SmallShockEntries, MatchTheGeneralLoop) {
    const i64 T = 50, n_exog = 17;
    std::vector<std::vector<f64>> factors, locs;
    std::vector<std::vector<i64>> columns;
    i64 next = 0;
    for (i64 w = 1; w <= 5; ++w) {
        factors.push_back(random_block(w * w, 1.0, 900 + w));
        locs.push_back(random_block(w, 1.0, 950 + w));
        std::vector<i64> cols;
        for (i64 j = 0; j < w; ++j) cols.push_back((next++ * 7) % (n_exog - 1));
        columns.push_back(cols);
    }
    const i64 uniform_column = n_exog - 1;
    std::vector<trova_mc_shock_entry> entries;
    for (std::size_t e = 0; e < factors.size(); ++e) {
        trova_mc_shock_entry entry{};
        entry.width = static_cast<i64>(e) + 1;
        entry.columns = columns[e].data();
        entry.factor = factors[e].data();
        entry.loc = e % 2 == 0 ? locs[e].data() : nullptr;
        entry.key = 11;
        entry.entry_idx = e;
        entries.push_back(entry);
    }
    trova_mc_shock_entry uniform{};
    uniform.family = 1;
    uniform.columns = &uniform_column;
    uniform.low = -1.0;
    uniform.span = 2.0;
    uniform.key = 11;
    uniform.entry_idx = 99;
    entries.push_back(uniform);
    const trova_mc_shock_plan plan{entries.data(), static_cast<i64>(entries.size()), T, n_exog, 0.7, 5};
    std::vector<f64> scratch(static_cast<std::size_t>(trova_mc_shock_scratch_size(&plan)));
    for (i64 rep : {0, 3}) {
        std::vector<f64> fast(static_cast<std::size_t>(T * n_exog)), slow(fast.size());
        ASSERT_EQ(trova::shocks::draw(&plan, rep, scratch.data(), fast.data(), false), 0);
        ASSERT_EQ(trova::shocks::draw(&plan, rep, scratch.data(), slow.data(), true), 0);
        expect_close(fast, slow, "shocks");
        for (i64 t = 0; t < T; ++t)  // width 1: one product and one sum, in one order only
            EXPECT_EQ(fast[t * n_exog + columns[0][0]], slow[t * n_exog + columns[0][0]]) << "t " << t;
        f64 sum_sq = 0.0;
        for (f64 v : fast) sum_sq += v * v;
        EXPECT_GT(sum_sq, 0.0);
    }
}

}  // namespace
