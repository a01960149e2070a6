// The driver's static tables, their initial state and the alert sounds.
#include "host/state.h"

#include <cstdio>
#include <cstring>

#include "korva/zunpro.h"

SettingsBlock Settings;
std::atomic<uint32_t> StopFlag{0};
std::array<PortEntry, kPortCount> Ports;
std::array<ConnectionEntry, kConnectionCount> Connections;
std::array<StationEntry, kStationCount> Stations;
uint16_t StationCount = 0;
std::array<DialEntry, kDialCount> DialEntries;
std::array<AlarmSequence, kAlarmSequenceCount> AlarmSequences;
char DialResetCommands[kDialCount][256];
platform::NamedMutex* ConnectionMutex = nullptr;
std::atomic<uint8_t> HostClientId{0};

int InitTables() {
    for (unsigned i = 0; i < kPortCount; ++i) {
        PortEntry& port = Ports[i];
        port.flags = 0;
        port.device = nullptr;
        port.connectionRef = kNoReference;
        port.ringCountdown = 0;
        char name[32];
        std::snprintf(name, sizeof name, "KORVA_COM%u_MUTEX", i + 1);
        uint32_t error = 0;
        port.mutex = platform::MutexOpen(name, &error);
        if (port.mutex == nullptr) {
            err(kLog, "KORVA> ColdStart() ERROR creating/opening COM%u sem, CreateMutex() err %u",
                i + 1, error);
            SoundAlert();
            return 1;
        }
    }
    for (ConnectionEntry& entry : Connections) {
        entry.flags = 0;
        entry.port = kNoPort;
    }
    uint32_t error = 0;
    ConnectionMutex = platform::MutexOpen("KORVA_MUTEX", &error);
    if (ConnectionMutex == nullptr) {
        err(kLog, "KORVA> ColdStart() ERROR creating/opening conn. sem, CreateMutex() err %u",
            error);
        SoundAlert();
        return 1;
    }
    for (DialEntry& entry : DialEntries) {
        entry.defined = 0;
        entry.vpi = 0;
    }
    for (AlarmSequence& sequence : AlarmSequences) {
        sequence.initials[0] = '\0';
        sequence.requestLength = 0;
    }
    for (StationEntry& station : Stations)
        station.initials[0] = '\0';
    for (PortEntry& port : Ports)
        port.dedicatedVpi = 0;
    for (char* command : DialResetCommands)
        command[0] = '\0';
    StationCount = 0;
    return 0;
}

void SoundAlert() {
    if (Settings.alertSound.load(std::memory_order_relaxed) == 0) return;
    platform::Beep(880, 100);
    platform::Beep(698, 100);
    platform::Beep(880, 100);
}

void SoundTick() {
    if (Settings.alertSound.load(std::memory_order_relaxed) == 0) return;
    platform::Beep(880, 20);
}

void ResetStateForTest() {
    const SettingsBlock defaults;
    Settings.startedOnce = 0;
    Settings.ready = 0;
    Settings.diagnose = 0;
    Settings.alertSound = 0;
    Settings.ignoreDsr = Settings.ignoreCts = Settings.ignoreCallerId = 0;
    Settings.defaultCallerPlc = defaults.defaultCallerPlc;
    Settings.defaultCallerVpi = defaults.defaultCallerVpi;
    Settings.portsNul = 0;
    std::memcpy(Settings.modemReset, defaults.modemReset, sizeof defaults.modemReset);
    std::memcpy(Settings.autoAnswer, defaults.autoAnswer, sizeof defaults.autoAnswer);
    Settings.resetPeriod = defaults.resetPeriod;
    Settings.callerIdTimeout = defaults.callerIdTimeout;
    Settings.modemCommandTimeout = defaults.modemCommandTimeout;
    Settings.ringReservedSec = defaults.ringReservedSec;
    Settings.connectTimeLimit = defaults.connectTimeLimit;
    StopFlag = 0;
    for (PortEntry& port : Ports) {
        port.flags = 0;
        port.device = nullptr;
        std::memset(port.deviceName, 0, sizeof port.deviceName);
        port.baudRate = 0;
        port.dataBits = port.stopBits = port.parity = port.options = 0;
        port.connectionRef = 0;
        port.ringCountdown = 0;
        port.connectTime = 0;
        port.mutex = nullptr;
        port.dedicatedVpi = 0;
    }
    for (ConnectionEntry& entry : Connections) {
        entry.flags = 0;
        entry.port = 0;
        entry.vpi = entry.plc = 0;
    }
    for (StationEntry& station : Stations)
        station = StationEntry{};
    StationCount = 0;
    for (DialEntry& entry : DialEntries)
        entry = DialEntry{};
    for (AlarmSequence& sequence : AlarmSequences)
        sequence = AlarmSequence{};
    std::memset(DialResetCommands, 0, sizeof DialResetCommands);
    ConnectionMutex = nullptr;
    HostClientId = 0;
}
