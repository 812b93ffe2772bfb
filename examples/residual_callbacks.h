// The two exported residual callbacks of a model written once over the
// number type: NAME_residual_c128 for the complex-step linearisation and
// Newton steps, NAME_residual_bc256 for the bicomplex Hessian. TEMPLATE is
// the model's residual function template (fwd, cur, par, out), instantiated
// with the growth model's complex and bicomplex numbers, whose layouts are
// those of c128 and bc256.
#pragma once
#include "growth_model.h"

#define TROVA_RESIDUAL_CALLBACKS(NAME, TEMPLATE)                                                          \
    extern "C" void NAME##_residual_c128(const c128* fwd, const c128* cur, const c128* par, c128* out) {  \
        using growth::cplx;                                                                              \
        TEMPLATE(reinterpret_cast<const cplx*>(fwd), reinterpret_cast<const cplx*>(cur),                 \
                 reinterpret_cast<const cplx*>(par), reinterpret_cast<cplx*>(out));                      \
    }                                                                                                    \
    extern "C" void NAME##_residual_bc256(const bc256* fwd, const bc256* cur, const bc256* par,          \
                                          bc256* out) {                                                  \
        using growth::Bicomplex;                                                                         \
        TEMPLATE(reinterpret_cast<const Bicomplex*>(fwd), reinterpret_cast<const Bicomplex*>(cur),       \
                 reinterpret_cast<const Bicomplex*>(par), reinterpret_cast<Bicomplex*>(out));            \
    }
