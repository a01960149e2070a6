// Ending a connection for its client: detach the entry under the connection mutex, hang up under
// the port lock, return the port to the pool and free the entry.
#include "host/state.h"
#include "korva/korva.h"
#include "korva/zunpro.h"
#include "pool/driver_state.h"
#include "pool/pool.h"
#include "serial/modem.h"
#include "supervision/supervision.h"

namespace {

constexpr const char* kName = "Disconnect()";

bool StillOnPort(const ConnectionEntry& entry, uint8_t port) {
    return (entry.flags.load() & kConnConnected) != 0 && entry.port.load() == port;
}

// The entry lets go of its line.
void DetachEntry(ConnectionEntry& entry) {
    entry.flags.fetch_and(~kConnConnected);
    entry.port = kNoPort;
}

// The port lock held: hang the line up and give the port back.
void HangUpLine(uint8_t port) {
    PortEntry& line = Ports[port];
    line.flags.fetch_or(kRSV);
    HangUpModem(port);
    platform::SleepMs(400);
    line.flags.fetch_and(~kCON);
    line.flags.fetch_and(~kRSV);
    ResetPassiveModems(port);
    line.connectionRef = kNoReference;
}

// The port lock could not be had, so its modem is not touched. The entry lets go of the port
// and the port of the entry, so that the entry can be freed without a stale reference left
// behind; the supervision finds the port connected without a connection and hangs it up under
// its own locks on its next cycle.
void LeaveLineToSupervision(ConnectionEntry& entry, uint8_t port, uint16_t reference) {
    ConnectionLock connectionLock(kName);
    if (StillOnPort(entry, port)) {
        DetachEntry(entry);
        uint16_t expected = reference;
        Ports[port].connectionRef.compare_exchange_strong(expected, kNoReference);
    }
}

}  // namespace

extern "C" KORVA_EXPORT int32_t KORVA_Disconnect(uint32_t reference) {
    if (int32_t status = CheckDriverState(); status != KORVA_STATUS_OK) return status;
    const uint16_t index = static_cast<uint16_t>(reference);
    if (index >= kNoReference || (Connections[index].flags.load() & kConnUsed) == 0)
        return KORVA_STATUS_BAD_REFERENCE;
    ConnectionEntry& entry = Connections[index];
    const uint8_t port = entry.port;
    if ((entry.flags.load() & kConnConnected) == 0 || port >= kPortCount) {
        if (Diagnose()) err(kLog, "KORVA> Disconnect() cr %u (no COM)", index);
        DeleteConnection(index);
        return KORVA_STATUS_OK;
    }
    if (Diagnose()) err(kLog, "KORVA> Disconnect() cr %u COM%u", index, port + 1);
    {
        PortLock portLock(port, kName);
        if (!portLock.held()) {
            LeaveLineToSupervision(entry, port, index);
        } else {
            // With the port lock held no other writer reaches this entry, so a connection mutex
            // that cannot be had (logged) does not stop the hang-up.
            ConnectionLock connectionLock(kName);
            // The supervision may have ended this line while we waited for the locks.
            if (StillOnPort(entry, port)) {
                DetachEntry(entry);
                // The mutex guards the table change only. Held through the seconds of hang-up
                // and modem reset, it would outlast the other threads' bounded waits, and a dial
                // that got its carrier meanwhile would fail for want of an entry.
                connectionLock.Release();
                HangUpLine(port);
            }
        }
    }
    DeleteConnection(index);
    return KORVA_STATUS_OK;
}
