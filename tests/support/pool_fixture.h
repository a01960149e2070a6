// A modem pool on the simulated world, as cold start leaves it: ports defined the way the
// initialisation file reader defines them, each with a simulated modem, opened and initialised by
// InitPortsAndModems, and the driver ready. Dial entries, stations, alarm sequences and
// answer-call gates are added per test.
//
//     class MyTest : public PoolTest {};
//     TEST_F(MyTest, Dials) {
//         sim::Modem& modem = AddPort(0, Direction::kOut);  // COM1, dial-only
//         AddDialEntry(1, "ATDT555", 10);
//         world.AddStation("555");
//         OpenPorts();                                      // modems reset; ready flag set
//         uint16_t reference = 0;
//         EXPECT_EQ(KORVA_Connect(1, 500, &reference), 0);
//     }
//
// The ports are closed again before the world goes. A test that starts driver threads must join
// them before it ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/lifecycle.h"
#include "host/state.h"
#include "korva/korva.h"
#include "serial/serial.h"
#include "sim/sim.h"
#include "support/driver_test.h"
#include "support/modem_port.h"
#include "zunpro_host.h"

// The direction of a COM line: answering, dial-out, or both.
class PoolTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(InitTables(), 0);
        world.Install();
    }
    void TearDown() override {
        ClosePorts();
        world.Uninstall();
        DriverTest::TearDown();
    }

    // Defines port `index` (COM index + 1) as a COM line would, dedicated to `vpi` (0 = none),
    // and puts a modem with telephone number `number` on it ("" takes no calls).
    sim::Modem& AddPort(uint8_t index, Direction direction, uint16_t vpi = 0,
                        const char* number = "") {
        DefineModemPort(index, direction, vpi);
        const PortEntry& port = Ports[index];
        return world.AddModem(port.deviceName, number);
    }

    // Defines dial entry `number` (1..256); `reset` is its own modem reset command ("" = the
    // global one).
    void AddDialEntry(unsigned number, const char* dial, uint16_t timeout, uint16_t vpi = 0,
                      const char* reset = "") {
        DialEntry& entry = DialEntries[number - 1];
        std::snprintf(entry.dial, sizeof entry.dial, "%s", dial);
        entry.timeout = timeout;
        entry.vpi = vpi;
        entry.defined = 1;
        std::snprintf(DialResetCommands[number - 1], sizeof DialResetCommands[number - 1], "%s",
                      reset);
    }

    // A station of the station table (not a party on the exchange: world.AddStation is that).
    void AddStationEntry(const char* initials, uint8_t vpi, uint16_t address) {
        StationEntry& station = Stations[StationCount++];
        std::snprintf(station.initials, sizeof station.initials, "%s", initials);
        station.vpi = vpi;
        station.address = address;
    }

    // Alarm sequence `number` (1..5): the request telegram, the reply length, the address's
    // offset in the reply (from 0) and its kind ('B', 'D', 'S' or 'W').
    void AddAlarmSequence(unsigned number, const char* initials, const std::string& request,
                          uint16_t replyLength, uint16_t addressOffset, char addressKind) {
        AlarmSequence& sequence = AlarmSequences[number - 1];
        std::snprintf(sequence.initials, sizeof sequence.initials, "%s", initials);
        ASSERT_LE(request.size(), sizeof sequence.request);
        std::memcpy(sequence.request, request.data(), request.size());
        sequence.requestLength = static_cast<uint16_t>(request.size());
        sequence.replyLength = replyLength;
        sequence.addressOffset = addressOffset;
        sequence.addressKind = addressKind;
    }

    // The answer-call gate "$A%02u-%03u" of a station's VPI and PLC; its identifier.
    uint32_t AddAnswerGate(uint8_t vpi, uint8_t plc) {
        char address[16];
        std::snprintf(address, sizeof address, "$A%02u-%03u", vpi, plc);
        return ZunHostDefineGate(vpi, address);
    }

    // Opens the defined ports and brings their modems into the reset (and auto-answer) state,
    // as cold start does, and sets the ready flag. The log starts empty afterwards.
    void OpenPorts() {
        InitPortsAndModems();
        for (unsigned i = 0; i < kPortCount; ++i) {
            if ((Ports[i].flags & kDEF) != 0) {
                ASSERT_NE(Ports[i].device.load(), nullptr) << "COM" << i + 1;
            }
        }
        Settings.ready = 1;
        ZunHostClearLog();
    }

    void ClosePorts() {
        for (uint8_t i = 0; i < kPortCount; ++i)
            if (Ports[i].device.load() != nullptr) MMCloseCom(i);
    }

    // Dials entry `entry` and expects the line; its reference (255 when the dial failed).
    uint16_t Dial(uint16_t entry, int32_t connectTimeout = 500) {
        uint16_t reference = kNoReference;
        EXPECT_EQ(KORVA_Connect(entry, connectTimeout, &reference), KORVA_STATUS_OK);
        return reference;
    }

    // The modem on port `index`.
    sim::Modem& ModemOf(uint8_t index) { return *world.FindModem(Ports[index].deviceName); }

    // The read time-out in force on port `index`'s device, in milliseconds.
    uint32_t ReadTimeoutMs(uint8_t index) {
        platform::CommTimeouts timeouts;
        EXPECT_TRUE(Ports[index].device.load()->GetTimeouts(timeouts));
        return timeouts.readTotalTimeoutConstant;
    }

    // How often DTR of port `index` dropped after the first `from` changes of its history.
    size_t DtrDropsSince(uint8_t index, size_t from) {
        const std::vector<sim::DtrChange> history = ModemOf(index).DtrHistory();
        size_t drops = 0;
        for (size_t i = from; i < history.size(); ++i)
            if (!history[i].high) ++drops;
        return drops;
    }
    size_t DtrChanges(uint8_t index) { return ModemOf(index).DtrHistory().size(); }

    // The dynamic flags RSV, CON and RIN of port `index`.
    uint32_t DynamicFlags(uint8_t index) { return Ports[index].flags & (kRSV | kCON | kRIN); }

    sim::World world;
};

// How many captured log lines are exactly `text`.
inline size_t LogCount(const std::string& text) {
    size_t count = 0;
    for (const std::string& line : CapturedTexts())
        if (line == text) ++count;
    return count;
}

// The commands a modem received after the first `from` of them.
inline std::vector<std::string> CommandsSince(const sim::Modem& modem, size_t from) {
    std::vector<std::string> all = modem.Commands();
    if (from >= all.size()) return {};
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
}
