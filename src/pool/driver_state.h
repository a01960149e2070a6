// The checks every exported connection function makes first.
#pragma once

#include <cstdint>

#include "host/state.h"
#include "korva/korva.h"

// Not ready (5), then stopped (8), in that order; 0 when the driver is in service.
inline int32_t CheckDriverState() {
    if (Settings.ready.load() == 0) return KORVA_STATUS_NOT_READY;
    if (StopFlag.load() == 1) return KORVA_STATUS_STOPPED;
    return KORVA_STATUS_OK;
}
