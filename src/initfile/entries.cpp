// The entry statements of the initialisation file: ports, dial entries, alarm sequences,
// stations and per-dial reset commands. Every complaint is followed by a tick.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "host/state.h"
#include "initfile/statements.h"
#include "korva/zunpro.h"

namespace {

constexpr unsigned kMaxInitials = 5;
constexpr unsigned kMaxDialString = sizeof(DialEntry::dial) - 1;  // 80
constexpr unsigned kMaxStations = kStationCount - 1;              // 255
constexpr unsigned kReplyBufferSize = 256;                        // what identification can receive

bool IsDialVpi(uint32_t vpi) {
    return vpi >= 1 && vpi <= 16;
}

// A count that does not fit 16 bits is held as 65535, so that it stays absurd and the device
// refuses it, instead of wrapping into a plausible one.
uint16_t Saturated16(uint32_t value) {
    return static_cast<uint16_t>(value > UINT16_MAX ? UINT16_MAX : value);
}

bool InitialsAre(const char* initials, const PatternValue& value) {
    return std::strlen(initials) == value.length &&
           std::memcmp(initials, value.word, value.length) == 0;
}

void InvalidVpi(const InitLine& line, uint32_t vpi) {
    err(kLog, "KORVA> ReadInitFile() File %s invalid VPI Number (%u) in line '%s'", line.fileName,
        vpi, line.text);
    SoundTick();
}

// The parity code of a parity letter (the line is upper case); -1 for any other character.
int ParityCode(char letter) {
    switch (letter) {
        case 'N':
            return platform::kNoParity;
        case 'O':
            return platform::kOddParity;
        case 'E':
            return platform::kEvenParity;
        case 'M':
            return platform::kMarkParity;
        case 'S':
            return platform::kSpaceParity;
        default:
            return -1;
    }
}

// Fills the alarm sequence from the rest of an ALARMREQ line; false when the line disarms it.
bool FillAlarmRequest(const InitLine& line, const PatternMatch& match, AlarmSequence& sequence) {
    const PatternValue& telegram = match.values[1];
    static_assert(256 / 2 <= sizeof sequence.request, "a line's telegram always fits");
    sequence.requestLength = static_cast<uint16_t>(telegram.length / 2);
    for (std::size_t i = 0; i < sequence.requestLength; ++i) {
        if (!ReadHexPair(telegram.word + 2 * i, &sequence.request[i])) {
            err(kLog, "KORVA> ReadInitFile() illegal ALARMREQ telegram on line %u in '%s'",
                line.number, line.fileName);
            return false;
        }
    }
    // Identification receives at most 256 bytes; a longer reply could never arrive whole.
    const uint32_t replyLength = match.values[2].number;
    if (replyLength > kReplyBufferSize) {
        err(kLog, "KORVA> ReadInitFile() replen > %u in ALARMREQ telegram on line %u in '%s'",
            kReplyBufferSize, line.number, line.fileName);
        return false;
    }
    sequence.replyLength = static_cast<uint16_t>(replyLength);
    const uint32_t offset = match.values[4].number;  // counted from 1
    if (offset > replyLength) {
        err(kLog, "KORVA> ReadInitFile() replen > offset inALARMREQ telegram on line %u in '%s'",
            line.number, line.fileName);
        return false;
    }
    // Counted from 1, an offset of 0 names no byte of the reply.
    if (offset == 0) {
        err(kLog, "KORVA> ReadInitFile() offset 0 in ALARMREQ telegram on line %u in '%s'",
            line.number, line.fileName);
        return false;
    }
    sequence.addressOffset = static_cast<uint16_t>(offset - 1);
    const char kind = match.values[3].character;  // upper case already
    if (kind != 'B' && kind != 'D' && kind != 'S' && kind != 'W') {
        err(kLog, "KORVA> ReadInitFile() Illegal BYTE/WORD in ALARMREQ telegram on line %u in '%s'",
            line.number, line.fileName);
        return false;
    }
    sequence.addressKind = kind;
    // A word's second byte follows the offset and must lie inside the reply as well.
    if ((kind == 'S' || kind == 'W') && offset >= replyLength) {
        err(kLog,
            "KORVA> ReadInitFile() word address beyond replen in ALARMREQ telegram on line %u "
            "in '%s'",
            line.number, line.fileName);
        return false;
    }
    return true;
}

}  // namespace

// COM n = direction baud , parity , data , stop [vpi]
void OnCom(const InitLine& line, const PatternMatch& match) {
    const uint32_t com = match.values[0].number;
    if (com == 0 || com > kPortCount) {
        err(kLog, "KORVA> ReadInitFile() illegal COM port on line %u in '%s'", line.number,
            line.fileName);
        SoundTick();
        return;
    }
    PortEntry& port = Ports[com - 1];
    if (port.flags.load() & kDEF) {
        err(kLog, "KORVA> ReadInitFile() COM port already defined line %u in '%s'", line.number,
            line.fileName);
        SoundTick();
        return;
    }
    const PatternValue& direction = match.values[1];
    if (!WordIs(direction, "I") && !WordIs(direction, "O") && !WordIs(direction, "IO")) {
        err(kLog, "KORVA> ReadInitFile() wrong IO parameter COM port line %u in '%s'", line.number,
            line.fileName);
        SoundTick();
        return;
    }
    const int parity = ParityCode(match.values[3].character);
    if (parity < 0) {
        err(kLog, "KORVA> ReadInitFile() wrong parity COM port line %u in '%s'", line.number,
            line.fileName);
        SoundTick();
        return;
    }
    std::snprintf(port.deviceName, sizeof port.deviceName, com <= 9 ? "COM%u" : "//./COM%u", com);
    // Held in full; the device judges whether it can run at that speed.
    port.baudRate = match.values[2].number;
    port.dataBits = Saturated16(match.values[4].number);
    port.stopBits = match.values[5].number == 1 ? platform::kOneStopBit : platform::kTwoStopBits;
    port.parity = static_cast<uint16_t>(parity);
    port.options = 0x0303;
    uint32_t flags = kDEF;
    if (direction.word[0] == 'O' || (direction.length > 1 && direction.word[1] == 'O'))
        flags |= kOUT;
    if (direction.word[0] == 'I') flags |= kINP;
    port.flags.fetch_or(flags);
    if (match.count == 7) {
        const uint32_t vpi = match.values[6].number;
        if (IsDialVpi(vpi))
            port.dedicatedVpi = static_cast<uint16_t>(vpi);
        else
            InvalidVpi(line, vpi);
    }
}

// DIAL n = dial-string time-out [vpi]
void OnDial(const InitLine& line, const PatternMatch& match) {
    const uint32_t number = match.values[0].number;
    if (number == 0 || number > kDialCount) {
        err(kLog, "KORVA> ReadInitFile() illegal DIAL entry on line %u in '%s'", line.number,
            line.fileName);
        SoundTick();
        return;
    }
    // A cut dial string would dial a wrong number.
    const PatternValue& dial = match.values[1];
    if (dial.length > kMaxDialString) {
        err(kLog, "KORVA> ReadInitFile() DIAL string longer than %u characters on line %u in '%s'",
            kMaxDialString, line.number, line.fileName);
        SoundTick();
        return;
    }
    // 0 would wait for the carrier about 18 hours; above 65535 would wrap.
    const uint32_t timeout = match.values[2].number;
    if (timeout == 0 || timeout > UINT16_MAX) {
        err(kLog, "KORVA> ReadInitFile() illegal DIAL time-out on line %u in '%s'", line.number,
            line.fileName);
        SoundTick();
        return;
    }
    DialEntry& entry = DialEntries[number - 1];
    CopyWord(entry.dial, dial);
    entry.timeout = static_cast<uint16_t>(timeout);
    if (match.count == 4) {
        const uint32_t vpi = match.values[3].number;
        if (IsDialVpi(vpi))
            entry.vpi = static_cast<uint16_t>(vpi);
        else
            InvalidVpi(line, vpi);
    }
    entry.defined = 1;
}

// ALARMSEQ n = initials
void OnAlarmSeq(const InitLine& line, const PatternMatch& match) {
    const uint32_t number = match.values[0].number;
    if (number == 0 || number > kAlarmSequenceCount) {
        err(kLog, "KORVA> ReadInitFile() illegal ALARMSEQ entry on line %u in '%s'", line.number,
            line.fileName);
        SoundTick();
        return;
    }
    AlarmSequence& sequence = AlarmSequences[number - 1];
    if (sequence.initials[0] != '\0') {
        err(kLog, "KORVA> ReadInitFile() 2nd def. of ALARMSEQ%u on line %u in '%s'", number,
            line.number, line.fileName);
        SoundTick();
        return;
    }
    const PatternValue& initials = match.values[1];
    if (initials.length > kMaxInitials) {
        err(kLog, "KORVA> ReadInitFile() ALARMSEQ driver initialstoo long on line %u in '%s'",
            line.number, line.fileName);
        SoundTick();
        return;
    }
    CopyWord(sequence.initials, initials);
}

// ALARMREQ = initials telegram reply-length kind offset
void OnAlarmReq(const InitLine& line, const PatternMatch& match) {
    const PatternValue& initials = match.values[0];
    if (initials.length > kMaxInitials) {
        err(kLog, "KORVA> ReadInitFile() ALARMREQ driver initialstoo long on line %u in '%s'",
            line.number, line.fileName);
        SoundTick();
        return;
    }
    AlarmSequence* sequence = nullptr;
    for (AlarmSequence& candidate : AlarmSequences) {
        if (InitialsAre(candidate.initials, initials)) {
            sequence = &candidate;
            break;
        }
    }
    if (sequence == nullptr) return;  // its ALARMSEQ has not been read (yet): ignored silently
    if (match.values[1].length % 2 != 0) {
        err(kLog, "KORVA> ReadInitFile() wrong length of ALARMREQ telegram on line %u in '%s'",
            line.number, line.fileName);
        SoundTick();
        return;
    }
    if (!FillAlarmRequest(line, match, *sequence)) {
        sequence->requestLength = 0;
        SoundTick();
    }
}

// STATION = initials vpi plc
void OnStation(const InitLine& line, const PatternMatch& match) {
    if (StationCount >= kMaxStations) {
        err(kLog, "KORVA> ReadInitFile() too many STATIONs defined, line %u in '%s'", line.number,
            line.fileName);
        SoundTick();
        return;
    }
    const PatternValue& initials = match.values[0];
    if (initials.length > kMaxInitials) {
        err(kLog, "KORVA> ReadInitFile() STATION driver initialstoo long on line %u in '%s'",
            line.number, line.fileName);
        SoundTick();
        return;
    }
    // The entry holds the VPI number in 8 bits: above 255 it is out of range too.
    const uint32_t vpi = match.values[1].number;
    const uint32_t plc = match.values[2].number;
    if (vpi < 2 || vpi > UINT8_MAX || plc > UINT8_MAX) {
        err(kLog, "KORVA> ReadInitFile() Vpi or Plc nr of STATIONout of range on line %u in '%s'",
            line.number, line.fileName);
        SoundTick();
        return;
    }
    StationEntry& station = Stations[StationCount];
    CopyWord(station.initials, initials);
    station.vpi = static_cast<uint8_t>(vpi);
    station.address = static_cast<uint16_t>(plc);
    ++StationCount;
}

// MODEM_RESET n = command
void OnDialModemReset(const InitLine& line, const PatternMatch& match) {
    const uint32_t number = match.values[0].number;
    if (number == 0 || number > kDialCount) {
        err(kLog, "KORVA> ReadInitFile() illegal MODEM_RESET entry file %s line '%s' ",
            line.fileName, line.text);
        SoundTick();
        return;
    }
    char* command = DialResetCommands[number - 1];
    if (command[0] != '\0') {
        err(kLog, "KORVA> ReadInitFile() 2nd def. of MODEM_RESET %u in file %s line %u", number,
            line.fileName, line.number);
        SoundTick();
        return;
    }
    CopyWord(DialResetCommands[number - 1], match.values[1]);
}
