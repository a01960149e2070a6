// The host's entry into the driver and the table of VPI functions.
#include <array>

#include "gates/gates.h"
#include "host/lifecycle.h"
#include "host/state.h"
#include "host/vpi.h"
#include "korva/vpi.h"
#include "korva/zunpro.h"

namespace {

// Slots 0, 8, 9 and 16 hold no function.
constexpr std::array<VpiFunction, 17> VpiFunc = {
    nullptr,              // 0
    ColdStart,            // 1
    WarmStart,            // 2
    SingleAddressParser,  // 3
    BlockAddressParser,   // 4
    SingleRead,           // 5
    BlockRead,            // 6
    SingleWrite,          // 7
    nullptr,              // 8
    nullptr,              // 9
    BlockWrite,           // 10
    EndVpi,               // 11
    CloseCom,             // 12
    ReOpenCom,            // 13
    GetVpiInfo,           // 14
    ChangeVpiParams,      // 15
    nullptr,              // 16
};

}  // namespace

extern "C" KORVA_EXPORT int32_t VpiMain(KorvaRequest* request) {
    if (StopFlag.load() != 0) return 0;
    uint32_t number = request->function;
    if (number > 16) {
        err(kLog, "KORVA> VpiMain() Invalid function number (%d) requested rc = 2",
            static_cast<int>(number));
        return 2;
    }
    VpiFunction function = VpiFunc[number];
    if (function == nullptr) {
        err(kLog, "KORVA> VpiMain() Invalid function number (%d) requested VpiFunc[] = 0 rc = 2",
            static_cast<int>(number));
        return 2;
    }
    return function(request);
}

int32_t WarmStart(KorvaRequest*) {
    return 0;
}

// Ends nothing: the driver stops when the host tells the supervision task to.
int32_t EndVpi(KorvaRequest*) {
    err(kLog, "KORVA> EndVpi() called");
    err(kLog, "KORVA> EndVpi() exited");
    return 0;
}

int32_t CloseCom(KorvaRequest*) {
    err(kLog, "KORVA> CloseCom() not supported!");
    return 1;
}

int32_t ReOpenCom(KorvaRequest*) {
    err(kLog, "KORVA> ReOpenCom() not supported!");
    return 1;
}
