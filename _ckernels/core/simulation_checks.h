// Whether a simulation step of given dimensions can run, checked before it
// touches anything: the steps themselves and their runners, which must not
// draw shocks into a lane the step then refuses, share these checks. Also
// the layout of a pruned second-order solution inside packed blocks.
#ifndef TROVA_CORE_SIMULATION_CHECKS_H
#define TROVA_CORE_SIMULATION_CHECKS_H

#include "_common/sizers.h"
#include "trova_sim.h"

namespace trova::simulation {

// 0, or -1 for a negative dimension (m < 0 means no observables), m > 0
// without a measurement, or an arena or output (T x n, then T x m) whose
// size does not fit in 64 bits.
inline int order1_status(trova_measurement_fn measurement, i64 T, i64 n, i64 k, i64 n_par, i64 m) {
    if (T < 0 || n < 0 || k < 0 || n_par < 0) return -1;
    if (m > 0 && measurement == nullptr) return -1;
    layout::Carver out;
    out.take(T, n);
    if (m > 0) out.take(T, m);
    return out.overflowed() || sizing::simulate_order1(n, k, T, n_par).overflow ? -1 : 0;
}

// The same for the pruned second order with nx states and ny controls.
inline int order2_status(trova_measurement_fn measurement, i64 T, i64 nx, i64 ny, i64 n_exog,
                         i64 n_par, i64 m) {
    if (T < 0 || nx < 0 || ny < 0 || n_exog < 0 || n_par < 0) return -1;
    if (m > 0 && measurement == nullptr) return -1;
    layout::Carver out;
    const i64 n = out.sum(nx, ny);
    out.take(T, n);
    if (m > 0) out.take(T, m);
    if (out.overflowed()) return -1;
    return sizing::simulate_order2(nx, n, n_exog, T, n_par).overflow ? -1 : 0;
}

// The steps' bodies, for dimensions whose status above is 0 (core.cpp).
// Small models take a fixed-width loop whose sums run in another order;
// `general` forces the general loop (the tests compare the two).
void order1_run(f64* arena, trova_measurement_fn measurement, i64 T, i64 n, i64 k, i64 n_par,
                i64 m, f64* simout, bool general = false);
void order2_run(f64* arena, trova_measurement_fn measurement, i64 T, i64 nx, i64 ny, i64 n_exog,
                i64 n_par, i64 m, f64* simout, bool general = false);

// The blocks of a pruned second-order solution with nx states, ny controls
// and n_exog shocks, in the order that both the second-order simulation
// arena and the unscented filter's packed input start with: hx | gx | bx |
// hxx | gxx | hss | gss | steady_state. Fills those offsets of `o`.
template <class Offsets>
void solution_layout(layout::Carver& c, Offsets& o, i64 nx, i64 ny, i64 n_exog) {
    o.hx = c.at(nx, nx);
    o.gx = c.at(ny, nx);
    o.bx = c.at(nx, n_exog);
    o.hxx = c.at(nx, nx, nx);
    o.gxx = c.at(ny, nx, nx);
    o.hss = c.at(nx);
    o.gss = c.at(ny);
    o.steady_state = c.at(c.sum(nx, ny));
}

}  // namespace trova::simulation

#endif  // TROVA_CORE_SIMULATION_CHECKS_H
