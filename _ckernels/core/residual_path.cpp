// Real parts of a model residual function along a path of (fwd, cur) pairs.
#include "core/work_blocks.h"
#include "trova_model.h"

extern "C" {

TROVA_API i64 trova_residual_path(trova_residual_fn resid, const c128* cur, const c128* fwd,
                                  const c128* par, i64 n_steps, i64 n_var, i64 n_eq,
                                  f64* residuals) {
    if (resid == nullptr) return -1;
    // Paths whose arrays could not be addressed, or a negative row length
    // (which would step the callback's pointers before the arrays), are
    // refused before any call.
    if (n_steps > 0 && (n_var < 0 || (n_var > 0 && trova::layout::block_bytes<c128>(n_steps, n_var) < 0) ||
                        (n_eq > 0 && trova::layout::block_bytes<f64>(n_steps, n_eq) < 0)))
        return -1;
    trova_core::WorkBlocks work;
    c128* buf = work.take<c128>(n_eq);
    if (!work.ok()) return -1;
    for (i64 t = 0; t < n_steps; ++t) {
        // The callback takes next-period values first.
        resid(fwd + t * n_var, cur + t * n_var, par, buf);
        for (i64 i = 0; i < n_eq; ++i) residuals[t * n_eq + i] = buf[i].re;
    }
    return 0;
}

}  // extern "C"
