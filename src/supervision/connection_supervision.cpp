// Ending connections whose carrier is gone or whose connect time limit has passed.
#include "host/state.h"
#include "korva/zunpro.h"
#include "pool/pool.h"
#include "serial/modem.h"
#include "serial/serial.h"
#include "supervision/supervision.h"

namespace {

constexpr const char* kLockName = "CheckConnections()";
constexpr const char* kConnectionLockName = "CheckConnection()";

// Detaches the port's connection entry: still allocated for its client, but without a line.
// Only an entry that still names this port is touched, so a reference that has gone stale can
// never end somebody else's connection.
void DetachEntry(uint8_t index, uint16_t reference) {
    if (reference >= kNoReference) return;
    ConnectionEntry& entry = Connections[reference];
    if (entry.port.load() != index) return;
    entry.port = kNoPort;
    entry.flags.fetch_and(~kConnConnected);
}

// Hangs the line up and returns the port to the pool.
void EndLine(uint8_t index) {
    PortEntry& port = Ports[index];
    HangUpModem(index);
    port.flags.fetch_and(~kCON);
    ResetPassiveModems(index);
    port.connectionRef = kNoReference;
}

// Ends the line. The connection mutex guards the table change only and is given back before
// the seconds of hang-up and modem reset: held through them it would outlast the other threads'
// bounded waits, and a dial that got its carrier meanwhile would fail for want of an entry. The
// port lock keeps everybody else off the port until the end.
void EndConnection(uint8_t index, uint16_t reference, ConnectionLock& connectionLock) {
    DetachEntry(index, reference);
    connectionLock.Release();
    EndLine(index);
}

void SuperviseLine(uint8_t index, ConnectionLock& connectionLock) {
    PortEntry& port = Ports[index];
    const uint16_t reference = port.connectionRef;
    const bool carrier = (GetModemSignals(index, 'g') & kSigDCD) != 0;
    // A connected port without a connection (its client's disconnect could not take the port
    // lock) carries a line nobody uses: it is ended like a lost carrier.
    if (!carrier || reference >= kNoReference) {
        EndConnection(index, reference, connectionLock);
        if (Diagnose())
            err(kLog, "KORVA> CheckConnections() modem COM%u cr %u disconnected", index + 1,
                reference);
        SoundAlert();
        return;
    }
    const uint32_t limit = Settings.connectTimeLimit;
    if (limit != 0 && platform::ClockSeconds() - port.connectTime.load() >= limit) {
        if (Diagnose())
            err(kLog, "KORVA> CheckConnections() time limit,  disconnect modem COM%u cr %u",
                index + 1, reference);
        EndConnection(index, reference, connectionLock);
        SoundAlert();
    }
}

bool IsConnectedPort(const PortEntry& port) {
    const uint32_t flags = port.flags;
    return (flags & (kDEF | kRSV | kCON)) == (kDEF | kCON) && port.device.load() != nullptr;
}

}  // namespace

void CheckConnections() {
    for (uint8_t i = 0; i < kPortCount; ++i) {
        if (!IsConnectedPort(Ports[i])) continue;
        PortLock portLock(i, kLockName);
        if (!portLock.held()) continue;
        // Holding the port lock already keeps every other writer of this port's entry away, so
        // a connection mutex that cannot be had is logged and the check goes on without it.
        ConnectionLock connectionLock(kConnectionLockName);
        if (IsConnectedPort(Ports[i])) SuperviseLine(i, connectionLock);
    }
}
