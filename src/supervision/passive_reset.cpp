// Re-initialising idle answering ("passive") modems: the global reset command, then auto-answer.
#include "host/state.h"
#include "korva/zunpro.h"
#include "pool/pool.h"
#include "serial/command.h"
#include "serial/modem.h"
#include "supervision/supervision.h"

namespace {

constexpr const char* kLockName = "CheckConnections()";

bool IsIdleAnsweringPort(const PortEntry& port) {
    const uint32_t flags = port.flags;
    return (flags & (kDEF | kINP)) == (kDEF | kINP) && (flags & (kRSV | kCON)) == 0 &&
           port.device.load() != nullptr && port.ringCountdown == 0;
}

void ResetModem(uint8_t index) {
    ComHandle handle = Ports[index].device;
    if (handle == nullptr) return;  // closed by a parameter change meanwhile
    const int32_t timeout = Settings.modemCommandTimeout;
    if (!SendCommand(handle, Settings.modemReset, timeout)) {
        if (Diagnose())
            err(kLog, "KORVA> ResetPassiveModems() modem COM%u not responding on reset cmd",
                index + 1);
        // Let a late reply arrive, then throw it away.
        ComPurgeInput(handle);
        ComSetReadTimeout(handle, timeout);
        uint8_t byte = 0;
        if (ComRead(handle, &byte, 1, nullptr) != 0) ComPurgeInput(handle);
        return;
    }
    platform::SleepMs(100);
    if (!SendCommand(handle, Settings.autoAnswer, timeout) && Diagnose())
        err(kLog, "KORVA> ResetPassiveModems() modem COM%u not responding on auto answer cmd",
            index + 1);
}

}  // namespace

void ResetPassiveModems(uint8_t port) {
    uint8_t first = 0;
    uint8_t last = kPortCount - 1;
    if (port < kAllPorts) {
        first = last = port;
    } else if (port != kAllPorts) {
        return;
    }
    for (unsigned i = first; i <= last; ++i) {
        const auto index = static_cast<uint8_t>(i);
        if (!IsIdleAnsweringPort(Ports[index])) continue;
        if (LockPort(index, kLockName) != 0) continue;
        // Tested again under the lock: another thread may have taken the port meanwhile.
        if (IsIdleAnsweringPort(Ports[index])) ResetModem(index);
        UnlockPort(index, kLockName);
    }
}
