/* Umbrella header of the trova kernel library. */
#ifndef TROVA_H
#define TROVA_H

#include "trova_types.h"
#include "trova_linalg.h"
#include "trova_mc.h"

#endif /* TROVA_H */
