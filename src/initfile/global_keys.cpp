// The global keys of the initialisation file: they set fields of the settings block.
#include <cstdint>

#include "host/state.h"
#include "initfile/statements.h"
#include "korva/zunpro.h"

namespace {

// Time-outs in the file are milliseconds, held in 10 ms units.
bool IsCommandTimeout(uint32_t ms) {
    return ms >= 100 && ms <= 99999;
}

// Periods and limits held in seconds must not wrap: a wrapped value would be a quietly wrong
// setting, so a value whose seconds do not fit its field is refused and the setting kept.
constexpr uint32_t kMaxResetPeriodMin = UINT32_MAX / 60;  // 71582788
constexpr uint32_t kMaxRingReservedSec = UINT16_MAX;
constexpr uint32_t kMaxConnectTimeLimitMin = UINT16_MAX / 60;  // 1092

}  // namespace

void OnModemCommandTimeout(const InitLine& line, const PatternMatch& match) {
    const uint32_t ms = match.values[0].number;
    if (!IsCommandTimeout(ms)) {
        err(kLog,
            "KORVA> ReadInitFile() illegal MODEM_COMMAND_TIMEOUT entry file %s line '%s', "
            "default value will be used.",
            line.fileName, line.text);
        return;
    }
    err(kLog, "KORVA> ReadInitFile() MODEM_COMMAND_TIMEOUT is set to %d in file %s",
        static_cast<int>(ms), line.fileName);
    Settings.modemCommandTimeout = static_cast<int32_t>(ms / 10);
}

void OnCallerIdTimeout(const InitLine& line, const PatternMatch& match) {
    const uint32_t ms = match.values[0].number;
    if (!IsCommandTimeout(ms)) {
        err(kLog,
            "KORVA> ReadInitFile() illegal AA_GETPLCADDR_TIMEOUT entry file %s line '%s', "
            "default value will be used.",
            line.fileName, line.text);
        return;
    }
    err(kLog, "KORVA> ReadInitFile() AA_GETPLCADDR_TIMEOUT is set to %d in file %s",
        static_cast<int>(ms), line.fileName);
    Settings.callerIdTimeout = static_cast<int32_t>(ms / 10);
}

void OnPortsNul(const InitLine&, const PatternMatch&) {
    err(kLog, "KORVA> ReadInitFile() all COM ports configured to be opened as 'NUL'");
    Settings.portsNul = 1;
}

void OnIgnoreDsr(const InitLine&, const PatternMatch&) {
    err(kLog, "KORVA> ReadInitFile() DSR Signal will be ignored when dialing out");
    Settings.ignoreDsr = 1;
}

void OnIgnoreCts(const InitLine&, const PatternMatch&) {
    err(kLog, "KORVA> ReadInitFile() CTS Signal will be ignored when dialing out");
    Settings.ignoreCts = 1;
}

void OnIgnoreCallerId(const InitLine&, const PatternMatch&) {
    err(kLog, "KORVA> ReadInitFile() Caller ID will be ignored for Incoming calls");
    Settings.ignoreCallerId = 1;
}

void OnModemReset(const InitLine&, const PatternMatch& match) {
    CopyWord(Settings.modemReset, match.values[0]);
}

void OnModemAutoAnswer(const InitLine&, const PatternMatch& match) {
    CopyWord(Settings.autoAnswer, match.values[0]);
}

void OnModemResetMin(const InitLine& line, const PatternMatch& match) {
    const uint32_t minutes = match.values[0].number;
    if (minutes > kMaxResetPeriodMin) {
        err(kLog, "KORVA> ReadInitFile() MODEM_RESET_MIN above %u on line %u in '%s'",
            kMaxResetPeriodMin, line.number, line.fileName);
        SoundTick();
        return;
    }
    Settings.resetPeriod = minutes * 60;
}

void OnRingDetectReservedSec(const InitLine& line, const PatternMatch& match) {
    const uint32_t seconds = match.values[0].number;
    if (seconds > kMaxRingReservedSec) {
        err(kLog, "KORVA> ReadInitFile() RING_DETECT_RESERVED_SEC above %u on line %u in '%s'",
            kMaxRingReservedSec, line.number, line.fileName);
        SoundTick();
        return;
    }
    Settings.ringReservedSec = static_cast<uint16_t>(seconds);
}

void OnConnectTimeLimitMin(const InitLine& line, const PatternMatch& match) {
    const uint32_t minutes = match.values[0].number;
    if (minutes > kMaxConnectTimeLimitMin) {
        err(kLog, "KORVA> ReadInitFile() CONNECT_TIME_LIMIT_MIN above %u on line %u in '%s'",
            kMaxConnectTimeLimitMin, line.number, line.fileName);
        SoundTick();
        return;
    }
    Settings.connectTimeLimit = static_cast<uint16_t>(minutes * 60);
}

// The line is upper case by now, so Y and N stand for y and n as well.
void OnDiagnose(const InitLine& line, const PatternMatch& match) {
    const char answer = match.values[0].character;
    if (answer == 'Y' || answer == 'N') {
        Settings.diagnose = answer == 'Y' ? 1 : 0;
        return;
    }
    err(kLog, "KORVA> ReadInitFile() illegal DIAGNOSE statement on line %u in '%s'", line.number,
        line.fileName);
}

void OnAlertSound(const InitLine& line, const PatternMatch& match) {
    const char answer = match.values[0].character;
    if (answer == 'Y' || answer == 'N') {
        Settings.alertSound = answer == 'Y' ? 1 : 0;
        return;
    }
    err(kLog, "KORVA> ReadInitFile() illegal ALERT_SOUND statement on line %u in '%s'", line.number,
        line.fileName);
}
