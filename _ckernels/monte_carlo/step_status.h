// Status rule shared by the pipeline steps.
#ifndef TROVA_MC_STEP_STATUS_H
#define TROVA_MC_STEP_STATUS_H

#include <climits>

#include "trova_types.h"

namespace trova {

// A step reports its kernel's status, widened to i64, in int_out[0] when it
// has an integer live-output lane, and returns the same status to the runner.
inline int trova_mc_finish_status(i64* int_out, int status) {
    if (int_out != nullptr) int_out[0] = status;
    return status;
}

// Transform steps store their kernel's i64 status whole in int_out[0] and
// return it narrowed to int. The narrowing saturates: a status outside the
// int range (a user transform may return any i64) must not truncate to 0 and
// pass as success.
inline int trova_mc_transform_status(i64* int_out, i64 status) {
    if (int_out != nullptr) int_out[0] = status;
    if (status > INT_MAX) return INT_MAX;
    if (status < INT_MIN) return INT_MIN;
    return static_cast<int>(status);
}

}  // namespace trova

#endif  // TROVA_MC_STEP_STATUS_H
