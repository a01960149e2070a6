// Identifying a calling station: ask it with the alarm request telegrams and find the address
// it answers with in the station table.
#include <cstring>

#include "host/state.h"
#include "korva/zunpro.h"
#include "serial/serial.h"
#include "supervision/supervision.h"

namespace {

constexpr int kAttempts = 5;
constexpr uint32_t kNoAddress = 0xFFFFFFFFu;
constexpr std::size_t kReplySize = 256;

bool IsArmed(const AlarmSequence& sequence) {
    return sequence.initials[0] != '\0' && sequence.requestLength != 0;
}

// A sequence whose reply does not fit the reply buffer, or whose address would lie (partly)
// outside the reply, is passed over like one that is not armed: no attempt could read a valid
// address, and reading it would leave the received bytes.
bool FitsTheReply(const AlarmSequence& sequence) {
    const unsigned length = sequence.replyLength;
    const unsigned offset = sequence.addressOffset;
    const bool wide = sequence.addressKind == 'S' || sequence.addressKind == 'W';
    return length <= kReplySize && offset < length && (!wide || offset + 1 < length);
}

// A request longer than its field cannot be sent: the sequence is passed over like one that is
// not armed, rather than sending whatever lies behind the field.
bool FitsTheRequest(const AlarmSequence& sequence) {
    return sequence.requestLength <= sizeof sequence.request;
}

bool IsWhiteSpace(uint8_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Decimal text from `at` to the end of the reply, read as an unsigned 16-bit number after
// optional white space and sign; kNoAddress when no digit follows.
uint32_t ReadDecimal(const uint8_t* at, const uint8_t* end) {
    while (at < end && IsWhiteSpace(*at))
        ++at;
    bool negative = false;
    if (at < end && (*at == '+' || *at == '-')) negative = *at++ == '-';
    if (at == end || *at < '0' || *at > '9') return kNoAddress;
    uint32_t value = 0;
    for (; at < end && *at >= '0' && *at <= '9'; ++at)
        value = value * 10 + (*at - '0');
    return static_cast<uint16_t>(negative ? 0u - value : value);
}

// The station address in the reply, or kNoAddress after logging why there is none.
uint32_t AddressInReply(const AlarmSequence& sequence, const uint8_t* reply) {
    const uint8_t* at = reply + sequence.addressOffset;
    switch (sequence.addressKind) {
        case 'B':
            return at[0];
        case 'S':
            return at[0] + 256u * at[1];
        case 'W':
            return 256u * at[0] + at[1];
        case 'D': {
            uint32_t address = ReadDecimal(at, reply + sequence.replyLength);
            if (address == kNoAddress)
                err(kLog,
                    "KORVA> GetStationAddress() rcvd ALARM call VPI%s, error reading station "
                    "address",
                    sequence.initials);
            return address;
        }
        default:
            return kNoAddress;
    }
}

const StationEntry* FindStation(const char* initials, uint32_t address) {
    for (unsigned i = 0; i < StationCount; ++i)
        if (Stations[i].address == address && std::strcmp(Stations[i].initials, initials) == 0)
            return &Stations[i];
    return nullptr;
}

// One request and its reply; the address read, or kNoAddress when the attempt failed.
uint32_t AskStation(ComHandle handle, const AlarmSequence& sequence) {
    uint8_t reply[kReplySize] = {};
    ComPurgeInput(handle);
    if (ComWriteAll(sequence.request, sequence.requestLength, handle) != 0) return kNoAddress;
    if (ComReadAll(reply, sequence.replyLength, handle) != 0) return kNoAddress;
    uint32_t address = AddressInReply(sequence, reply);
    if (address != kNoAddress && address > 255) {
        err(kLog, "KORVA> GetStationAddress() rcvd ALARM call VPI%s, plcAdd %u too big!",
            sequence.initials, address);
        return kNoAddress;
    }
    return address;
}

}  // namespace

int GetStationAddress(uint8_t index, uint8_t* vpi, uint8_t* address) {
    ComHandle handle = Ports[index].device;
    // The line keeps this time-out afterwards, whatever the outcome.
    ComSetReadTimeout(handle, Settings.callerIdTimeout);
    platform::SleepMs(1000);
    for (const AlarmSequence& sequence : AlarmSequences) {
        if (!IsArmed(sequence) || !FitsTheRequest(sequence) || !FitsTheReply(sequence)) continue;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            if (attempt > 0) platform::SleepMs(1000);
            const uint32_t found = AskStation(handle, sequence);
            if (found == kNoAddress) continue;
            if (const StationEntry* station = FindStation(sequence.initials, found)) {
                *vpi = station->vpi;
                *address = static_cast<uint8_t>(found);
                return 0;
            }
            // A station that answers with an address nobody of these initials has ends the
            // search at once.
            err(kLog, "KORVA> GetStationAddress() rcvd ALARM call VPI%s, plcAdd %u, not DEFINED!",
                sequence.initials, found);
            return 1;
        }
    }
    err(kLog, "KORVA> GetStationAddress() rcvd unidentified ALARM call!");
    return 1;
}
