// Cold start, port initialisation and the parameter change.
#include <cstdio>
#include <cstring>

#include "host/lifecycle.h"
#include "host/state.h"
#include "initfile/initfile.h"
#include "korva/zunpro.h"
#include "pool/pool.h"
#include "serial/command.h"
#include "serial/modem.h"
#include "serial/serial.h"
#include "supervision/supervision.h"

namespace {

constexpr uint8_t kExpectOk = 1;

bool SendInitCommand(ComHandle handle, const char* text) {
    return SendCommand(handle, text, Settings.modemCommandTimeout);
}

// Hang-up, "AT" (twice if need be), the global reset and, for answering modems, auto-answer.
void InitModem(uint8_t index) {
    PortEntry& port = Ports[index];
    err(kLog, "KORVA> Hanging Up COM%d modem on startup", index + 1);
    HangUpModem(index);
    ComHandle handle = port.device;
    if (!SendInitCommand(handle, "AT")) {
        platform::SleepMs(1000);
        // The second try goes without a purge or a new time-out, as a retry of the same exchange.
        if (ModemCommand("AT\r", kExpectOk, handle) != kModemAccepted) {
            err(kLog, "KORVA> InitPortsAndModems() Warning: modem %s not responding!",
                port.deviceName);
            return;
        }
    }
    platform::SleepMs(100);
    if (!SendInitCommand(handle, Settings.modemReset)) {
        err(kLog, "KORVA> InitPortsAndModems() Warning: modem %s not responding on reset cmd!",
            port.deviceName);
        return;
    }
    platform::SleepMs(100);
    if ((port.flags & kINP) != 0 && !SendInitCommand(handle, Settings.autoAnswer)) {
        err(kLog,
            "KORVA> InitPortsAndModems() Warning: modem %s not responding on auto answer cmd!",
            port.deviceName);
    }
}

// The line of every connection on an open port is gone: its entry stays allocated for its
// client but is no longer connected, and the port forgets it.
void DisconnectAllPorts() {
    for (uint8_t i = 0; i < kPortCount; ++i) {
        PortEntry& port = Ports[i];
        uint16_t reference = port.connectionRef;
        if (port.device.load() == nullptr || reference >= kNoReference) continue;
        ConnectionEntry& entry = Connections[reference];
        entry.flags.fetch_and(~kConnConnected);
        entry.port = kNoPort;
        // Also clear the port's side: a stale reference would later end whichever new
        // connection then holds that entry.
        port.flags.fetch_and(~kCON);
        port.connectionRef = kNoReference;
    }
}

// Closes every open port; false at the first that cannot be closed.
bool CloseAllPorts() {
    for (uint8_t i = 0; i < kPortCount; ++i) {
        if (Ports[i].device.load() != nullptr && MMCloseCom(i) != 0) return false;
    }
    return true;
}

// Opens a defined port and brings its modem into a known state.
void InitPort(uint8_t index) {
    PortEntry& port = Ports[index];
    if ((port.flags & kDEF) == 0) return;
    port.device = MMOpenCom(port);
    if (port.device.load() == nullptr) {
        err(kLog, "KORVA> InitPortsAndModems() Error: opening %s", port.deviceName);
        return;
    }
    port.flags.fetch_or(kOPN);
    InitModem(index);
}

}  // namespace

void InitPortsAndModems() {
    for (uint8_t i = 0; i < kPortCount; ++i)
        InitPort(i);
}

int32_t ColdStart(KorvaRequest* request) {
    err(kGateLog, "KORVA> ColdStart() version compiled on Mar 28 2007 at time 12:12:03");
    if (Settings.startedOnce != 0) {
        err(kLog, "KORVA> ColdStart() KORVA can only be loaded ONCE!");
        return 1;
    }
    Settings.startedOnce = 1;
    if (InitTables() != 0) return 1;
    ReadInitFile(request);

    const auto* block = static_cast<const KorvaColdStart*>(request->block);
    const bool service = block != nullptr && block->service != 0;
    if (service && Settings.portsNul == 0) InitPortsAndModems();

    // The client is registered before the supervision thread starts, so that the thread's first
    // message wait already carries the identifier. A driver whose host refused its client stays
    // out of service and starts no thread that the host could not pace or stop.
    uint8_t client = 0;
    if ((ZunMkClient("KORVA_CLIENT", 1, 0, &client) & 0xFFFF) != 0) {
        err(kLog, "Korva> ColdStart() Zun5MkClient() failed");
        return 2;
    }
    HostClientId = client;

    if (service && StartTasks() != 0) err(kLog, "KORVA> ColdStart() Error: launching tasks thread");
    Settings.ready = 1;
    return 0;
}

int32_t ChangeVpiParams(KorvaRequest* request) {
    // The parameter is compared whole: "NUL" exactly, "COM" as a prefix; nothing is copied.
    const char* parameter = static_cast<const char*>(request->block);
    if (parameter == nullptr) return 0;
    if (std::strcmp(parameter, "NUL") == 0) {
        err(kLog, "KORVA: ChangeVpiParams() Changing modem statuses to 'Disconnected' ");
        DisconnectAllPorts();
        err(kLog, "KORVA: ChangeVpiParams() closing ALL open COMM Ports ");
        if (!CloseAllPorts()) return 2;
    }
    if (std::strncmp(parameter, "COM", 3) == 0) {
        err(kLog, "KORVA: ChangeVpiParams() Re-initializing all COM Ports and modems...");
        // A port still open is closed first, so that its handle does not leak and its own
        // second open does not leave it closed. One that cannot be closed keeps its handle and
        // its modem is left as it is.
        for (uint8_t i = 0; i < kPortCount; ++i) {
            if (Ports[i].device.load() != nullptr && MMCloseCom(i) != 0) continue;
            InitPort(i);
        }
    }
    return 0;
}
