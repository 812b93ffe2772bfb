/** @file
 * Umbrella header of the trova kernel library: includes every public header,
 * so that one include (`#include <trova/trova.h>` against an installed
 * tree) declares the whole C API. */
#ifndef TROVA_H
#define TROVA_H

#include "trova_types.h"
#include "trova_linalg.h"
#include "trova_complex.h"
#include "trova_as241.h"
#include "trova_mc.h"
#include "trova_regression.h"
#include "trova_kalman.h"
#include "trova_rng.h"
#include "trova_sim.h"
#include "trova_model.h"
#include "trova_transforms.h"
#include "trova_diag.h"
#include "trova_diag_wald.h"
#include "trova_diag_cusum.h"
#include "trova_mc_tests.h"
#include "trova_qz.h"

#endif /* TROVA_H */
