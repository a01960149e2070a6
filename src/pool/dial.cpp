// Dialling out: choosing a free dial-out modem and connecting it for a client driver.
#include <cstdio>

#include "host/state.h"
#include "korva/korva.h"
#include "korva/zunpro.h"
#include "pool/driver_state.h"
#include "pool/pool.h"
#include "serial/command.h"
#include "serial/modem.h"
#include "serial/serial.h"
#include "supervision/supervision.h"

namespace {

// A modem that sends without pause after the dial would keep the "NO" scan reading for ever;
// a result code comes within the first few hundred bytes or not at all.
constexpr unsigned kNoScanLimit = 512;

// Whether a port may be tried in a pass, before the lock (a first filter only).
bool Qualifies(const PortEntry& port, bool answering) {
    const uint32_t flags = port.flags;
    return (flags & (kDEF | kOUT)) == (kDEF | kOUT) && ((flags & kINP) != 0) == answering &&
           port.device.load() != nullptr && (flags & (kRSV | kCON)) == 0 && port.ringCountdown == 0;
}

// Reserves `index` when it is still free and serves `vpi`; true when RSV is now ours.
bool Reserve(uint8_t index, uint16_t vpi) {
    PortEntry& port = Ports[index];
    // A port whose lock cannot be had is busy with somebody's modem dialogue: pass it over.
    if (LockPort(index, "GetFreeModem()") != 0) return false;
    const bool free = (port.flags & (kRSV | kCON)) == 0 && port.ringCountdown == 0 &&
                      (port.dedicatedVpi == vpi || port.dedicatedVpi == 0);
    if (free) port.flags.fetch_or(kRSV);
    UnlockPort(index, "GetFreeModem()");
    return free;
}

bool Pass(uint8_t from, bool answering, uint16_t vpi, uint8_t* start) {
    for (unsigned i = from; i < kPortCount; ++i) {
        const auto index = static_cast<uint8_t>(i);
        if (Qualifies(Ports[index], answering) && Reserve(index, vpi)) {
            *start = index;
            return true;
        }
    }
    return false;
}

struct Notices {
    bool dsr = false;
    bool cts = false;
};

// Wakes the modem with "AT" (twice if need be) and resets it; true when both were accepted.
bool PrepareModem(uint8_t index, ComHandle handle, const char* reset) {
    const int32_t timeout = Settings.modemCommandTimeout;
    if (!SendCommand(handle, "AT", timeout)) {
        platform::SleepMs(1000);
        if (ModemCommand("AT\r", 1, handle) != kModemAccepted) {
            if (Diagnose()) err(kLog, "KORVA> Connect() modem COM%u not responding", index + 1);
            return false;
        }
    }
    platform::SleepMs(100);
    if (!SendCommand(handle, reset, timeout)) {
        if (Diagnose()) err(kLog, "KORVA> Connect() error resetting modem COM%u", index + 1);
        return false;
    }
    return true;
}

// One look at DSR or CTS during the poll: a low signal ends the poll unless it is ignored, in
// which case it is noted once per call.
void CheckSignal(bool on, uint32_t ignore, bool& noticed, const char* ignoring, const char* failed,
                 uint16_t& counter) {
    if (on) return;
    if (ignore != 0) {
        if (!noticed) err(kLog, "%s", ignoring);
        noticed = true;
    } else {
        err(kLog, "%s", failed);
        counter = 1;
    }
}

// Polls the signals once a second for the dial time-out; true when the carrier came.
bool WaitForCarrier(uint8_t index, ComHandle handle, uint16_t seconds, int32_t connectTimeout,
                    Notices& notices) {
    uint16_t counter = seconds;
    bool carrier = false;
    do {
        platform::SleepMs(1000);
        const uint8_t signals = GetModemSignals(index, 'g');
        if ((signals & kSigDCD) != 0) {
            if (Diagnose()) err(kLog, "KORVA> Connect() modem COM%u  connected!", index + 1);
            ComPurgeInput(handle);
            // Any time-out a client passes is logged; one past the range wraps as a 32-bit
            // product rather than overflowing.
            const auto ms = static_cast<int32_t>(static_cast<uint32_t>(connectTimeout) * 10u);
            err(kLog, "KORVA> Connect() Setting modem COM%u connect Timeout to %d mSec", index + 1,
                ms);
            ComSetReadTimeout(handle, connectTimeout);
            carrier = true;
        }
        CheckSignal((signals & kSigDSR) != 0, Settings.ignoreDsr, notices.dsr,
                    "KORVA: Connect() DSR Signal is down. Ignoring DSR",
                    "KORVA: Connect() Failed. DSR Signal is down (Modem not on line)", counter);
        CheckSignal((signals & kSigCTS) != 0, Settings.ignoreCts, notices.cts,
                    "KORVA: Connect() CTS Signal is down. Ignoring CTS",
                    "KORVA: Connect() Failed. CTS Signal is down", counter);
        --counter;
    } while (counter != 0 && !carrier);
    return carrier;
}

// Reads the modem's output for a reply beginning with "NO" (NO CARRIER, NO ANSWER, ...).
bool ScanForNo(ComHandle handle) {
    ComSetReadTimeout(handle, Settings.modemCommandTimeout);
    uint8_t previous = 0;
    uint8_t current = 0;
    for (unsigned count = 0; count < kNoScanLimit; ++count) {
        uint8_t byte = 0;
        if (ComRead(handle, &byte, 1, nullptr) != 0) return false;
        previous = current;
        current = byte;
        if (previous == 'N' && current == 'O') return true;
    }
    return false;
}

struct Attempt {
    bool good = false;
    bool carrier = false;
};

Attempt DialOnce(uint8_t index, unsigned entry, int32_t connectTimeout, Notices& notices) {
    const DialEntry& dial = DialEntries[entry];
    ComHandle handle = Ports[index].device;
    Attempt attempt;
    HangUpModem(index);
    const char* reset =
        DialResetCommands[entry][0] != '\0' ? DialResetCommands[entry] : Settings.modemReset;
    if (PrepareModem(index, handle, reset)) {
        attempt.good = true;
        platform::SleepMs(100);
        // A dial time-out of 0 is refused by the file reader; should one arrive anyway it is
        // taken as the shortest useful one, never as "no limit".
        const uint16_t seconds = dial.timeout != 0 ? dial.timeout : 1;
        char command[96];
        std::snprintf(command, sizeof command, "%s\r", dial.dial);
        ComPurgeInput(handle);
        ComSetReadTimeout(handle, static_cast<int32_t>(seconds) * 100);
        ModemCommand(command, 0, handle);  // the carrier decides, not the reply
        attempt.carrier = WaitForCarrier(index, handle, seconds, connectTimeout, notices);
    }
    if (!attempt.carrier && ScanForNo(handle)) {
        err(kLog, "KORVA: MM_Connect() NO CARRIER detected for modem COM%d", index + 1);
        attempt.good = false;
    }
    return attempt;
}

// Gives a dialled modem back to the pool after hanging it up.
void ReleaseModem(uint8_t index) {
    HangUpModem(index);
    Ports[index].flags.fetch_and(~kRSV);
    ResetPassiveModems(index);
}

// RSV becomes CON with the new reference and the connect time. RSV makes the port ours, so the
// change is made in one atomic step even if the lock cannot be had.
void MarkConnected(uint8_t index, uint16_t reference) {
    PortEntry& port = Ports[index];
    const bool locked = LockPort(index, "Connect()") == 0;
    port.connectionRef = reference;
    port.connectTime = platform::ClockSeconds();
    uint32_t flags = port.flags.load();
    while (!port.flags.compare_exchange_weak(flags, (flags & ~kRSV) | kCON)) {
    }
    if (locked) UnlockPort(index, "Connect()");
}

}  // namespace

int GetFreeModem(uint8_t* start, uint16_t vpi) {
    const uint8_t b = *start;
    // Dial-only ports first, then ports that also answer; each at most once per call.
    if (b == 0 || b > kPortCount || (Ports[b - 1].flags & kINP) == 0) {
        if (Pass(b, false, vpi, start) || Pass(0, true, vpi, start)) return 0;
    } else if (Pass(b, true, vpi, start)) {
        return 0;
    }
    return KORVA_STATUS_NO_MODEM;
}

extern "C" KORVA_EXPORT int32_t KORVA_Connect(uint16_t dialEntry, int32_t connectTimeout,
                                              uint16_t* reference) {
    if (int32_t status = CheckDriverState(); status != KORVA_STATUS_OK) return status;
    if (dialEntry == 0 || dialEntry > kDialCount || DialEntries[dialEntry - 1].defined == 0)
        return KORVA_STATUS_BAD_DIAL_ENTRY;
    // Without a place for the reference a connected line could never be handed over or hung
    // up: refuse before any modem is touched.
    if (reference == nullptr) return KORVA_STATUS_BAD_REFERENCE;
    const unsigned entry = dialEntry - 1u;
    uint8_t start = 0;
    uint8_t port = 0;
    Notices notices;
    Attempt attempt;
    for (;;) {
        if (GetFreeModem(&start, DialEntries[entry].vpi) != 0) return KORVA_STATUS_NO_MODEM;
        port = start;
        attempt = DialOnce(port, entry, connectTimeout, notices);
        if (attempt.good) break;
        // This modem failed: give it back and try the next one.
        Ports[port].flags.fetch_and(~kRSV);
        ResetPassiveModems(port);
        start = static_cast<uint8_t>(port + 1);
    }
    if (!attempt.carrier) {
        ReleaseModem(port);
        return KORVA_STATUS_NO_CARRIER;
    }
    uint16_t newReference = kNoReference;
    if (AddConnection(4, port, 0, 0, &newReference) != 0) {
        ReleaseModem(port);
        return KORVA_STATUS_TABLE_FULL;
    }
    MarkConnected(port, newReference);
    if (Diagnose()) err(kLog, "KORVA> Connect() cr %u COM%u", newReference, port + 1);
    *reference = newReference;
    return KORVA_STATUS_OK;
}
