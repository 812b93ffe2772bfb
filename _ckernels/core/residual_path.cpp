// Real parts of a model residual function along a path of (fwd, cur) pairs.
#include <cstdlib>

#include "trova_model.h"

extern "C" {

TROVA_API i64 trova_residual_path(trova_residual_fn resid, const c128* cur, const c128* fwd,
                                  const c128* par, i64 n_steps, i64 n_var, i64 n_eq,
                                  f64* residuals) {
    c128* buf = static_cast<c128*>(std::malloc(sizeof(c128) * static_cast<size_t>(n_eq < 1 ? 1 : n_eq)));
    if (buf == nullptr) return -1;
    for (i64 t = 0; t < n_steps; ++t) {
        // The callback takes next-period values first.
        resid(fwd + t * n_var, cur + t * n_var, par, buf);
        for (i64 i = 0; i < n_eq; ++i) residuals[t * n_eq + i] = buf[i].re;
    }
    std::free(buf);
    return 0;
}

}  // extern "C"
