// Reads and writes of the driver's own gates: modem signals, port flags and the command gates.
#include <cstring>

#include "gates/gates.h"
#include "host/state.h"
#include "korva/zunpro.h"
#include "serial/serial.h"
#include "supervision/supervision.h"

namespace {

constexpr uint32_t kCommandKind = '$';
constexpr uint32_t kSignalKind = 'M';
constexpr uint32_t kFlagKind = 'C';
constexpr uint32_t kFlagGateBase = 16;  // port-flag gate index = port index + 16

const KorvaGateAccess& Access(const KorvaRequest* request) {
    return *static_cast<const KorvaGateAccess*>(request->block);
}

bool IsOpenPort(uint32_t index) {
    return index < kPortCount && (Ports[index].flags & kDEF) != 0 &&
           Ports[index].device.load() != nullptr;
}

int32_t ReadCommandGate(const KorvaGateAccess& access, KorvaGateValue& value) {
    const char* address = access.address != nullptr ? access.address : "";
    if (std::strcmp(address, "$DIAGNOSE") == 0) {
        value.single = Settings.diagnose.load() != 0 ? 1 : 0;
    } else if (std::strcmp(address, "$ALERT_SOUND") == 0) {
        value.single = Settings.alertSound.load() != 0 ? 1 : 0;
    } else {
        // The text really says "$s": the address is not shown.
        err(kGateLog, "KORVA> no read allowed of command gate '$s'");
        return 1;
    }
    return 0;
}

int32_t ReadFlagGate(const KorvaGateAccess& access, KorvaGateValue& value) {
    const uint32_t port = access.gateIndex - kFlagGateBase;
    // A gate index the definition never produced names no port; it reads as an undefined one.
    const uint32_t flags = port < kPortCount ? Ports[port].flags.load() : 0;
    if (access.single == 1) {
        value.single = access.bitNumber < 32 ? (flags >> access.bitNumber) & 1u : 0;
    } else {
        value.block = static_cast<uint8_t>(flags);
    }
    return 0;
}

int32_t ReadSignalGate(const KorvaGateAccess& access, KorvaGateValue& value) {
    const auto port = static_cast<uint8_t>(access.gateIndex);
    if (access.single != 1) {
        value.block = GetModemSignals(port, 'f') | GetModemSignals(port, 'g');
        return 0;
    }
    const uint32_t bit = access.bitNumber;
    if (bit <= 1) {
        value.single = (GetModemSignals(port, 'f') >> bit) & 1u;
    } else if (bit >= 4 && bit <= 7) {
        value.single = (GetModemSignals(port, 'g') >> bit) & 1u;
    } else {
        return 1;
    }
    return 0;
}

}  // namespace

int32_t DoRead(KorvaRequest* request) {
    const KorvaGateAccess& access = Access(request);
    KorvaGateValue& value = *access.value;
    if (access.gateKind == kSignalKind && !IsOpenPort(access.gateIndex)) {
        err(kGateLog, "KORVA> DoRead() COM port modem %u not opened", access.gateIndex + 1);
        return 2;
    }
    switch (access.gateKind) {
        case kCommandKind:
            return ReadCommandGate(access, value);
        case kFlagKind:
            return ReadFlagGate(access, value);
        case kSignalKind:
            return ReadSignalGate(access, value);
        default:
            return 1;
    }
}

int32_t SingleRead(KorvaRequest* request) {
    const int32_t result = DoRead(request);
    if (result != 0) err(kGateLog, "KORVA> SingleRead() , ret val is %d", result);
    return result;
}

int32_t BlockRead(KorvaRequest* request) {
    const int32_t result = DoRead(request);
    if (result != 0) err(kGateLog, "KORVA> BlockRead() , ret val is %d", result);
    return result;
}

int32_t SingleWrite(KorvaRequest* request) {
    const KorvaGateAccess& access = Access(request);
    int32_t result = 0;
    if (access.gateKind == kCommandKind) {
        const char* address = access.address != nullptr ? access.address : "";
        const uint16_t written = access.value->single;
        if (std::strcmp(address, "$RESETAA") == 0) {
            ResetPassiveModems(kAllPorts);  // whatever the value
        } else if (std::strcmp(address, "$DIAGNOSE") == 0) {
            Settings.diagnose = written != 0 ? 1 : 0;
        } else if (std::strcmp(address, "$ALERT_SOUND") == 0) {
            Settings.alertSound = written != 0 ? 1 : 0;
        } else {
            result = 1;
        }
    }
    // Writes to modem-signal and port-flag gates are accepted and change nothing.
    if (result != 0) err(kGateLog, "KORVA> SingleWrite() , ret val is %d", result);
    return result;
}

int32_t BlockWrite(KorvaRequest*) {
    return 1;
}
