#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "support/driver_test.h"

namespace {

struct Tone {
    uint32_t hz;
    uint32_t ms;
    bool operator==(const Tone&) const = default;
};
std::mutex g_toneLock;
std::vector<Tone> g_tones;
void RecordTone(uint32_t hz, uint32_t ms) {
    std::lock_guard<std::mutex> guard(g_toneLock);
    g_tones.push_back({hz, ms});
}

class StateTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        g_tones.clear();
        platform::SetToneObserver(RecordTone);
    }
};

TEST_F(StateTest, SettingsCarryTheirDefaults) {
    EXPECT_EQ(Settings.startedOnce, 0u);
    EXPECT_EQ(Settings.ready, 0u);
    EXPECT_EQ(Settings.diagnose, 0u);
    EXPECT_EQ(Settings.alertSound, 0u);
    EXPECT_EQ(Settings.ignoreDsr | Settings.ignoreCts | Settings.ignoreCallerId, 0u);
    EXPECT_EQ(Settings.defaultCallerPlc, 1);
    EXPECT_EQ(Settings.defaultCallerVpi, 2);
    EXPECT_EQ(Settings.portsNul, 0u);
    EXPECT_STREQ(Settings.modemReset, "ATE1V1Q0S0=0S11=55&C1&D2");
    EXPECT_STREQ(Settings.autoAnswer, "ATS0=1");
    EXPECT_EQ(Settings.resetPeriod, 600u);
    EXPECT_EQ(Settings.callerIdTimeout, 300);
    EXPECT_EQ(Settings.modemCommandTimeout, 100);
    EXPECT_EQ(Settings.ringReservedSec, 30);
    EXPECT_EQ(Settings.connectTimeLimit, 0);
}

TEST_F(StateTest, InitTablesBringsEveryTableIntoItsInitialState) {
    // Dirty every table first, as if a file had been read into it.
    for (PortEntry& port : Ports) {
        port.flags = kDEF | kCON;
        port.connectionRef = 3;
        port.ringCountdown = 9;
        port.dedicatedVpi = 4;
    }
    for (ConnectionEntry& entry : Connections) {
        entry.flags = 0x0D;
        entry.port = 1;
    }
    DialEntries[17].defined = 1;
    DialEntries[17].vpi = 3;
    std::strcpy(AlarmSequences[2].initials, "MOD");
    AlarmSequences[2].requestLength = 4;
    std::strcpy(Stations[5].initials, "MOD");
    std::strcpy(DialResetCommands[9], "ATZ");
    StationCount = 6;

    ASSERT_EQ(InitTables(), 0);

    for (const PortEntry& port : Ports) {
        EXPECT_EQ(port.flags, 0u);
        EXPECT_EQ(port.device.load(), nullptr);
        EXPECT_EQ(port.connectionRef, kNoReference);
        EXPECT_EQ(port.ringCountdown, 0);
        EXPECT_EQ(port.dedicatedVpi, 0);
        EXPECT_NE(port.mutex, nullptr);
    }
    for (const ConnectionEntry& entry : Connections) {
        EXPECT_EQ(entry.flags, 0u);
        EXPECT_EQ(entry.port, ' ');
    }
    EXPECT_NE(ConnectionMutex, nullptr);
    EXPECT_EQ(DialEntries[17].defined, 0);
    EXPECT_EQ(DialEntries[17].vpi, 0);
    EXPECT_STREQ(AlarmSequences[2].initials, "");
    EXPECT_EQ(AlarmSequences[2].requestLength, 0);
    EXPECT_STREQ(Stations[5].initials, "");
    EXPECT_STREQ(DialResetCommands[9], "");
    EXPECT_EQ(StationCount, 0);
    EXPECT_TRUE(CapturedLog().empty());
    // Every port has its own mutex.
    for (unsigned i = 1; i < kPortCount; ++i) EXPECT_NE(Ports[i].mutex, Ports[i - 1].mutex);
    EXPECT_NE(ConnectionMutex, Ports[0].mutex);
}

TEST_F(StateTest, SoundsAreSilentAndInstantWhileAlertSoundIsOff) {
    auto start = std::chrono::steady_clock::now();
    SoundAlert();
    SoundTick();
    EXPECT_TRUE(g_tones.empty());
    // Nothing is slept: far below one tone even at the test time scale.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(StateTest, AlertIsThreeTonesAndTickIsOne) {
    Settings.alertSound = 1;
    SoundAlert();
    EXPECT_EQ(g_tones, (std::vector<Tone>{{880, 100}, {698, 100}, {880, 100}}));
    g_tones.clear();
    SoundTick();
    EXPECT_EQ(g_tones, (std::vector<Tone>{{880, 20}}));
}

TEST_F(StateTest, AlertTakesItsScaledDuration) {
    Settings.alertSound = 1;
    auto start = std::chrono::steady_clock::now();
    SoundAlert();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::nanoseconds(platform::ScaledNs(300)));
}

}  // namespace
