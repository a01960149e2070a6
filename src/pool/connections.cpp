// The connection table: allocation and release of entries under the connection mutex.
#include "host/state.h"
#include "korva/zunpro.h"
#include "pool/pool.h"

namespace {

constexpr uint32_t kIncomingKind = 2;

// Takes the first free entry; its reference, or kNoReference when every entry is used. The
// port is stored before the flags, so an entry never reads connected with another port than its
// own.
uint16_t TakeFreeEntry(int kind, uint8_t port, uint8_t vpi, uint8_t plc) {
    uint32_t direction =
        (static_cast<uint32_t>(kind) & 0xFFu) == kIncomingKind ? kConnIncoming : kConnOutgoing;
    for (uint16_t reference = 0; reference < kConnectionCount; ++reference) {
        ConnectionEntry& entry = Connections[reference];
        if ((entry.flags.load() & kConnUsed) != 0) continue;
        entry.port.store(port);
        entry.vpi = vpi;
        entry.plc = plc;
        entry.flags.store(kConnUsed | kConnConnected | direction);
        return reference;
    }
    return kNoReference;
}

}  // namespace

int AddConnection(int kind, uint8_t port, uint8_t vpi, uint8_t plc, uint16_t* reference) {
    *reference = kNoReference;
    {
        ConnectionLock lock("AddConnection()");
        if (lock.result() != platform::kWaitObject0)
            err(kLog, "KORVA> AddConnection() sem req failed rc %u", lock.result());
        // Without the mutex two threads could take the same free entry, so nothing is taken:
        // the caller hangs up as it does for a full table. The wait's own message tells why;
        // "all connections used" would be untrue.
        if (!lock.held()) return 1;
        *reference = TakeFreeEntry(kind, port, vpi, plc);
    }
    if (*reference == kNoReference) {
        err(kLog, "KORVA> AddConnection() ERROR all connections used!");
        return 1;
    }
    return 0;
}

void DeleteConnection(uint16_t reference) {
    if (reference >= kConnectionCount) return;  // names no entry
    ConnectionLock lock("DeleteConnection()");
    if (lock.result() != platform::kWaitObject0)
        err(kLog, "KORVA> DeleteConnection() sem req failed rc %u", lock.result());
    // The entry is freed even when the mutex was not obtained: only its owner frees it, and
    // leaving it used would lose it for good. Two plain stores are safe without the mutex: the
    // port goes first and the flags last, so AddConnection can take the entry only after the
    // port was cleared and its own port store cannot be overwritten.
    ConnectionEntry& entry = Connections[reference];
    entry.port.store(kNoPort);
    entry.flags.store(0);
}
