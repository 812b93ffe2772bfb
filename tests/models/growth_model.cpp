// The growth model's residual as the two C callbacks, over the one template.
#include "growth_model.h"

static_assert(sizeof(c128) == sizeof(growth::cplx), "c128 and std::complex<double> differ");
static_assert(sizeof(bc256) == sizeof(growth::Bicomplex), "bc256 and Bicomplex differ");

extern "C" {

__attribute__((visibility("default"))) void growth_residual_c128(const c128* fwd, const c128* cur,
                                                                 const c128* par, c128* out) {
    using growth::cplx;
    growth::residual(reinterpret_cast<const cplx*>(fwd), reinterpret_cast<const cplx*>(cur),
                     reinterpret_cast<const cplx*>(par), reinterpret_cast<cplx*>(out));
}

__attribute__((visibility("default"))) void growth_residual_bc256(const bc256* fwd,
                                                                  const bc256* cur,
                                                                  const bc256* par, bc256* out) {
    using growth::Bicomplex;
    growth::residual(reinterpret_cast<const Bicomplex*>(fwd), reinterpret_cast<const Bicomplex*>(cur),
                     reinterpret_cast<const Bicomplex*>(par), reinterpret_cast<Bicomplex*>(out));
}

}  // extern "C"
