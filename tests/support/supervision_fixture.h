// A pool of simulated modems whose ports are defined as COM lines of the initialisation file
// define them and opened the way cold start opens them, with the supervision thread run cycle
// by cycle through the host stand-in's step mode.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "host/lifecycle.h"
#include "host/state.h"
#include "korva/zunpro.h"
#include "serial/serial.h"
#include "sim/sim.h"
#include "supervision/supervision.h"
#include "support/driver_test.h"
#include "support/modem_port.h"

class SupervisionTest : public DriverTest {
  protected:
    // Real milliseconds after which a step of a test counts as hung (a failure guard only).
    static constexpr unsigned kGuardMs = 60000;

    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(InitTables(), 0);
        ZunHostSetStepMode(1);
        world.Install();
    }

    void TearDown() override {
        StopSupervision();
        ClosePorts();
        world.Uninstall();
        DriverTest::TearDown();
    }

    // The driver's device name of COM`com`.
    static std::string DeviceName(unsigned com) {
        char name[16];
        std::snprintf(name, sizeof name, com < 10 ? "COM%u" : "//./COM%u", com);
        return name;
    }

    // Defines COM`com` as "COM n = I|O|IO 2400 , N , 8 , 1" does.
    static void DefinePort(unsigned com, Direction direction) {
        DefineModemPort(static_cast<uint8_t>(com - 1), direction);
    }

    // A modem on COM`com` that answers to `number`, and its port defined.
    sim::Modem& AddPort(unsigned com, Direction direction, const char* number = "") {
        DefinePort(com, direction);
        return world.AddModem(DeviceName(com).c_str(), number);
    }

    // Registers the client and starts the supervision thread, which waits for its first cycle.
    void StartSupervision() {
        uint8_t client = 0;
        ASSERT_EQ(ZunMkClient("KORVA_CLIENT", 1, 0, &client), 0);
        HostClientId = client;
        Settings.ready = 1;
        ASSERT_EQ(StartTasks(), 0);
        taskRunning_ = true;
    }
    // For tests whose cold start started the thread.
    void SupervisionStarted() { taskRunning_ = true; }

    // Runs `cycles` supervision cycles; returns when the thread waits for the next one.
    static void RunCycles(unsigned cycles) { ASSERT_EQ(ZunHostRunCycles(cycles, kGuardMs), 1); }

    // Runs cycles one at a time until `done()` holds, at most `limit`; the number run.
    template <class Done>
    static unsigned RunCyclesUntil(Done done, unsigned limit) {
        unsigned run = 0;
        while (!done() && run < limit) {
            if (ZunHostRunCycles(1, kGuardMs) != 1) break;
            ++run;
        }
        return run;
    }

    // Asks the thread to end and waits until it has set the stop flag and is gone.
    void StopSupervision() {
        if (!taskRunning_) return;
        taskRunning_ = false;
        ZunHostRequestStop();
        EXPECT_TRUE(WaitUntil([] { return StopFlag.load() == 1; }));
        EXPECT_TRUE(platform::WaitThreadsEnded(kGuardMs));
    }

    static void ClosePorts() {
        for (uint8_t i = 0; i < kPortCount; ++i)
            if (Ports[i].device.load() != nullptr) MMCloseCom(i);
    }

    // Polls `condition` until it holds; false when the guard ran out first.
    template <class Condition>
    static bool WaitUntil(Condition condition, unsigned guardMs = kGuardMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(guardMs);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

    // Waits until the modem carries a call with its carrier up.
    static bool WaitOnline(const sim::Modem& modem) {
        return WaitUntil([&] { return modem.State() == sim::ModemState::kOnline; });
    }

    // The read time-out in force on port `index`'s device, in 10 ms units (-1 without one).
    static int32_t ReadTimeout(uint8_t index) {
        platform::SerialDevice* device = Ports[index].device.load();
        platform::CommTimeouts timeouts;
        if (device == nullptr || !device->GetTimeouts(timeouts)) return -1;
        return static_cast<int32_t>(timeouts.readTotalTimeoutConstant / 10);
    }

    // How often the modem received `command` (as typed, without the carriage return).
    static long CountCommand(const sim::Modem& modem, const std::string& command) {
        const auto commands = modem.Commands();
        return std::count(commands.begin(), commands.end(), command);
    }

    static bool HasFlag(unsigned com, uint32_t flag) { return (Ports[com - 1].flags & flag) != 0; }

    // Appends a station as a STATION line does.
    static void AddStationEntry(const char* initials, uint8_t vpi, uint16_t address) {
        StationEntry& entry = Stations[StationCount++];
        std::snprintf(entry.initials, sizeof entry.initials, "%s", initials);
        entry.vpi = vpi;
        entry.address = address;
    }

    // Fills alarm sequence `number` as ALARMSEQ and ALARMREQ lines do; `offset` counts from 0.
    static void ArmSequence(unsigned number, const char* initials, const std::string& request,
                            uint16_t replyLength, uint16_t offset, char kind) {
        AlarmSequence& sequence = AlarmSequences[number - 1];
        std::snprintf(sequence.initials, sizeof sequence.initials, "%s", initials);
        std::memcpy(sequence.request, request.data(), request.size());
        sequence.requestLength = static_cast<uint16_t>(request.size());
        sequence.replyLength = replyLength;
        sequence.addressOffset = offset;
        sequence.addressKind = kind;
    }

    // Connection entries in use.
    static unsigned UsedConnections() {
        unsigned used = 0;
        for (const ConnectionEntry& entry : Connections)
            used += (entry.flags.load() & kConnUsed) != 0 ? 1 : 0;
        return used;
    }

    sim::World world;

  private:
    bool taskRunning_ = false;
};
