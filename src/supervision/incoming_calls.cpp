// Incoming calls on the answering modems: ring reservation, answering, identification and the
// hand-over through the destination driver's answer-call gate.
#include <cstdio>

#include "host/state.h"
#include "korva/zunpro.h"
#include "pool/pool.h"
#include "serial/modem.h"
#include "serial/serial.h"
#include "supervision/supervision.h"

namespace {

constexpr const char* kLockName = "CheckIncomingCalls()";

// Where an answered call goes.
struct Destination {
    uint8_t vpi = 0;
    uint8_t plc = 0;
    char address[16] = {};  // "$A%02u-%03u"
    uint32_t gate = 0;
    uint16_t reference = kNoReference;
};

bool IsIdleAnsweringPort(const PortEntry& port) {
    const uint32_t flags = port.flags;
    return (flags & (kDEF | kINP)) == (kDEF | kINP) && (flags & (kRSV | kCON)) == 0 &&
           port.device.load() != nullptr;
}

bool LookUpGate(Destination& to) {
    std::snprintf(to.address, sizeof to.address, "$A%02u-%03u", to.vpi, to.plc);
    return (ZunGetGateIdByAddressStr(HostClientId, to.vpi, to.address, &to.gate) & 0xFFFF) == 0;
}

// With caller identification off, the call belongs to the default caller, if a station of the
// default VPI has the default PLC number.
bool FindDefaultCaller(Destination& to) {
    const uint8_t plc = Settings.defaultCallerPlc;
    const uint8_t vpi = Settings.defaultCallerVpi;
    err(kLog, "KORVA: GetStationAddress() Incoming call. Caller ID ignored and is set to %d", plc);
    to.plc = plc;
    bool found = false;
    for (unsigned i = 0; i < StationCount; ++i) {
        if (Stations[i].address != plc || Stations[i].vpi != vpi) continue;
        to.vpi = Stations[i].vpi;
        found = LookUpGate(to);
        if (!found)
            err(kLog, "KORVA: CheckIncomingCalls() (Default) 'Answer Calls' tag '%s' not defined",
                to.address);
        break;
    }
    if (!found)
        err(kLog, "KORVA: CheckIncomingCalls() Default Caller ID %d not defined in VPI %d", plc,
            vpi);
    return found;
}

bool IdentifyCaller(uint8_t index, Destination& to) {
    if (GetStationAddress(index, &to.vpi, &to.plc) != 0) return false;
    if (Diagnose()) err(kLog, "KORVA> CheckIncomingCalls() dest is Vpi%u Plc%u", to.vpi, to.plc);
    if (LookUpGate(to)) return true;
    err(kLog, "KORVA> CheckIncomingCalls() COM%u answered, but VPI%u gtAddrStr '%s' not defined",
        index + 1, to.vpi, to.address);
    return false;
}

// Hangs up a call that cannot be handed over and re-arms the modem.
void GiveUpCall(uint8_t index) {
    HangUpModem(index);
    Ports[index].flags.fetch_and(~kCON);
    ResetPassiveModems(index);
}

// The modem has answered. Entered with the port lock held; returns with it held when `locked`
// says so. True when a connection was registered and its reference is to be written.
bool AnswerCall(uint8_t index, Destination& to, bool& locked) {
    PortEntry& port = Ports[index];
    port.flags.fetch_or(kCON);
    port.connectTime = platform::ClockSeconds();
    port.ringCountdown = 0;
    port.flags.fetch_and(~kRIN);
    // While the caller is identified the port is held by its CON flag alone.
    UnlockPort(index, kLockName);
    if (Diagnose()) err(kLog, "KORVA> CheckIncomingCalls() modem COM%u answered call", index + 1);
    SoundAlert();

    bool handOver =
        Settings.ignoreCallerId != 0 ? FindDefaultCaller(to) : IdentifyCaller(index, to);
    // A caller that hung up while it was identified leaves nothing to hand over: what was read
    // as its reply may have been the modem's own NO CARRIER.
    if (handOver && (GetModemSignals(index, 'g') & kSigDCD) == 0) {
        err(kLog, "KORVA> CheckIncomingCalls() COM%u lost the carrier of its answered call",
            index + 1);
        handOver = false;
    }
    if (handOver) {
        if (AddConnection(2, index, to.vpi, to.plc, &to.reference) != 0) {
            handOver = false;
        } else {
            if (Diagnose())
                err(kLog, "KORVA> CheckIncomingCalls() VPI %d PLC %d connection ref. is %u", to.vpi,
                    to.plc, to.reference);
            port.connectionRef = to.reference;
        }
    }
    // The CON flag keeps every other party off the port, so the steps below are safe even when
    // the lock cannot be had; it is released only if it was taken.
    locked = LockPort(index, kLockName) == 0;
    if (!handOver) GiveUpCall(index);
    return handOver;
}

// Counts the ring reservation down; at 0 the unanswered call is hung up. A modem that lost DSR
// or CTS ends the reservation at once.
void CountDownRing(uint8_t index) {
    PortEntry& port = Ports[index];
    if (port.ringCountdown == 0) return;
    port.ringCountdown = static_cast<uint16_t>(port.ringCountdown - 1);
    if (port.ringCountdown == 0) {
        HangUpModem(index);
        port.flags.fetch_and(~kRIN);
    }
    const uint8_t signals = GetModemSignals(index, 'g');
    if ((signals & kSigDSR) == 0 || (signals & kSigCTS) == 0) {
        port.ringCountdown = 0;
        port.flags.fetch_and(~kRIN);
    }
}

void ReserveForRing(uint8_t index) {
    PortEntry& port = Ports[index];
    if ((GetModemSignals(index, 'g') & kSigRIN) == 0) return;
    SoundTick();
    if (Diagnose())
        err(kLog, "KORVA> CheckIncomingCalls() RING detected, COM%u reserved for %u sec", index + 1,
            Settings.ringReservedSec);
    port.ringCountdown = Settings.ringReservedSec;
    // RIN marks a running reservation. A reservation time of 0 reserves nothing, and a RIN set
    // then would stay set once the ring is gone: only a countdown reaching 0 clears it.
    if (port.ringCountdown != 0) port.flags.fetch_or(kRIN);
}

// Writes the reference into the answer-call gate; on failure the call is taken back.
void HandOver(uint8_t index, const Destination& to) {
    if ((ZunPutGateVal(HostClientId, to.gate, 1, static_cast<double>(to.reference), 0, 0) &
         0xFFFF) == 0)
        return;
    err(kLog, "KORVA> CheckIncomingCalls() write to VPI%u gtAddrStr '%s' failed", to.vpi,
        to.address);
    const bool locked = LockPort(index, kLockName) == 0;
    DeleteConnection(to.reference);
    GiveUpCall(index);
    Ports[index].connectionRef = kNoReference;
    if (locked) UnlockPort(index, kLockName);
}

void VisitPort(uint8_t index) {
    PortEntry& port = Ports[index];
    if (!IsIdleAnsweringPort(port)) return;
    if (LockPort(index, kLockName) != 0) return;
    bool locked = true;
    bool handOver = false;
    Destination to;
    CountDownRing(index);
    if ((port.flags & (kRSV | kCON)) == 0) {
        const uint8_t signals = GetModemSignals(index, 'g');
        if ((signals & kSigDCD) != 0) {
            handOver = AnswerCall(index, to, locked);
        } else if (port.ringCountdown == 0) {
            ReserveForRing(index);
        }
    }
    if (locked) UnlockPort(index, kLockName);
    if (handOver) HandOver(index, to);
}

}  // namespace

void CheckIncomingCalls() {
    for (uint8_t i = 0; i < kPortCount; ++i)
        VisitPort(i);
}
