// The functions other drivers of the host call to use a modem line.
#include "host/state.h"
#include "korva/korva.h"

namespace {

// The first two checks of every exported function, in their order.
int32_t CheckDriverState() {
    if (Settings.ready.load() == 0) return KORVA_STATUS_NOT_READY;
    if (StopFlag.load() == 1) return KORVA_STATUS_STOPPED;
    return KORVA_STATUS_OK;
}

}  // namespace

extern "C" {

KORVA_EXPORT int32_t KORVA_Connect(uint16_t, int32_t, uint16_t*) { return CheckDriverState(); }
KORVA_EXPORT int32_t KORVA_Disconnect(uint32_t) { return CheckDriverState(); }
KORVA_EXPORT int32_t KORVA_Send(uint32_t, const void*, int32_t) { return CheckDriverState(); }
KORVA_EXPORT int32_t KORVA_Receive(uint32_t, void*, int32_t, int32_t*) {
    return CheckDriverState();
}
KORVA_EXPORT int32_t KORVA_Timeout(uint32_t, int32_t) { return CheckDriverState(); }
KORVA_EXPORT int32_t KORVA_Flush(uint32_t) { return CheckDriverState(); }

}  // extern "C"
