// The shock draw behind trova_mc_shock_draw, with the choice of its loops
// open to the tests.
#ifndef TROVA_MONTE_CARLO_SHOCK_DRAW_H
#define TROVA_MONTE_CARLO_SHOCK_DRAW_H

#include "trova_mc.h"

namespace trova::shocks {

// trova_mc_shock_draw; normal entries of width 1 to 4 take a fixed-width
// loop (sums equal to rounding) unless `general` asks for the general loop.
int draw(const trova_mc_shock_plan* plan, i64 rep_idx, f64* scratch, f64* out, bool general);

}  // namespace trova::shocks

#endif  // TROVA_MONTE_CARLO_SHOCK_DRAW_H
