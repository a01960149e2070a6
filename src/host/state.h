// The driver's state: a settings block, a stop flag and fixed-size tables, all static.
//
// Fields that more than one thread touches at run time are atomics: the flags that are tested
// without a lock as a first filter, the connection entries that the data path reads without the
// connection mutex, the device handles that a parameter change replaces. Everything the
// initialisation file fills is written once during cold start, before any other thread runs.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "platform/platform.h"

constexpr int kLog = 32;      // operation messages
constexpr int kGateLog = 64;  // version line, GetVpiInfo, the host's gate requests

constexpr unsigned kPortCount = 32;
constexpr unsigned kConnectionCount = 255;
constexpr unsigned kStationCount = 256;
constexpr unsigned kDialCount = 256;
constexpr unsigned kAlarmSequenceCount = 5;
constexpr uint16_t kNoReference = 255;
constexpr uint8_t kNoPort = ' ';

// Port flags.
enum : uint32_t {
    kDEF = 0x01,  // defined by a COM line
    kOPN = 0x02,  // opened at port initialisation (never cleared)
    kINP = 0x04,  // answering modem
    kOUT = 0x08,  // dial-out modem
    kRSV = 0x10,  // reserved: one party owns the port for a modem dialogue
    kCON = 0x20,  // connected (also while an answered call is identified)
    kRIN = 0x40,  // ringing: reserved for the incoming call while the countdown runs
};

// Connection entry flags.
enum : uint32_t {
    kConnUsed = 0x01,
    kConnIncoming = 0x02,
    kConnOutgoing = 0x04,
    kConnConnected = 0x08,
};

struct SettingsBlock {
    std::atomic<uint32_t> startedOnce{0};
    std::atomic<uint32_t> ready{0};
    std::atomic<uint32_t> diagnose{0};
    std::atomic<uint32_t> alertSound{0};
    uint32_t ignoreDsr = 0;
    uint32_t ignoreCts = 0;
    uint32_t ignoreCallerId = 0;
    uint8_t defaultCallerPlc = 1;
    uint8_t defaultCallerVpi = 2;
    uint32_t portsNul = 0;
    char modemReset[256] = "ATE1V1Q0S0=0S11=55&C1&D2";
    char autoAnswer[256] = "ATS0=1";
    uint32_t resetPeriod = 600;         // seconds (supervision cycles)
    int32_t callerIdTimeout = 300;      // 10 ms units
    int32_t modemCommandTimeout = 100;  // 10 ms units
    uint16_t ringReservedSec = 30;      // supervision cycles
    uint16_t connectTimeLimit = 0;      // seconds; 0 = no limit
};

struct PortEntry {
    std::atomic<uint32_t> flags{0};
    std::atomic<platform::SerialDevice*> device{nullptr};  // none while the port is not open
    char deviceName[12] = {};
    // Held in 32 bits so that 115200 and faster lines can be configured; the device judges it.
    uint32_t baudRate = 0;
    uint16_t dataBits = 0;
    uint16_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    uint16_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint16_t options = 0;   // DTR/RTS option word, 0x0303 for a defined port
    std::atomic<uint16_t> connectionRef{0};
    std::atomic<uint16_t> ringCountdown{0};
    std::atomic<uint32_t> connectTime{0};
    platform::NamedMutex* mutex = nullptr;
    uint16_t dedicatedVpi = 0;  // 0 = serves every dial entry
};

struct ConnectionEntry {
    std::atomic<uint32_t> flags{0};
    std::atomic<uint8_t> port{0};  // 0..31, or kNoPort
    uint8_t vpi = 0;
    uint8_t plc = 0;
};

struct StationEntry {
    char initials[8] = {};
    uint8_t vpi = 0;
    uint16_t address = 0;
};

struct DialEntry {
    uint8_t defined = 0;
    char dial[81] = {};
    uint16_t timeout = 0;  // seconds
    uint16_t vpi = 0;
};

struct AlarmSequence {
    char initials[8] = {};
    uint8_t request[256] = {};
    uint16_t requestLength = 0;  // 0 = disarmed
    uint16_t replyLength = 0;
    uint16_t addressOffset = 0;  // counted from 0
    char addressKind = 0;        // 'B', 'D', 'S' or 'W'
};

extern SettingsBlock Settings;
extern std::atomic<uint32_t> StopFlag;
extern std::array<PortEntry, kPortCount> Ports;
extern std::array<ConnectionEntry, kConnectionCount> Connections;
extern std::array<StationEntry, kStationCount> Stations;
extern uint16_t StationCount;
extern std::array<DialEntry, kDialCount> DialEntries;
extern std::array<AlarmSequence, kAlarmSequenceCount> AlarmSequences;
extern char DialResetCommands[kDialCount][256];
extern platform::NamedMutex* ConnectionMutex;
extern std::atomic<uint8_t> HostClientId;

// Creates the mutexes and brings the tables into their initial state; 0, or 1 when a mutex
// could not be created.
int InitTables();
// The three-tone alert and the short tick; silent unless ALERT_SOUND is on.
void SoundAlert();
void SoundTick();

inline bool Diagnose() { return Settings.diagnose.load(std::memory_order_relaxed) != 0; }

// Restores the load-time state of every table and setting (tests only; never called by the
// driver, which is started once per load).
void ResetStateForTest();
