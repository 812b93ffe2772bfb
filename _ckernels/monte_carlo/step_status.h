// Status rule shared by the pipeline steps.
#ifndef TROVA_MC_STEP_STATUS_H
#define TROVA_MC_STEP_STATUS_H

#include "trova_types.h"

namespace trova {

// A step reports its kernel's status, widened to i64, in int_out[0] when it
// has an integer live-output lane, and returns the same status to the runner.
inline int trova_mc_finish_status(i64* int_out, int status) {
    if (int_out != nullptr) int_out[0] = status;
    return status;
}

}  // namespace trova

#endif  // TROVA_MC_STEP_STATUS_H
