// ResetPassiveModems on the simulated pool: which ports it resets, with which commands, and the
// ports it must leave alone.
#include <string>
#include <thread>
#include <vector>

#include "pool/mutex_holder.h"
#include "pool/pool.h"
#include "supervision/supervision.h"
#include "support/pool_fixture.h"

namespace {

constexpr const char* kReset = "ATE1V1Q0S0=0S11=70&C1&D2";
constexpr const char* kAutoAnswer = "ATS0=2";

// Ports 0 to 6, all open unless a test closes one:
//   0 answering and dialling, connected     1 answering and dialling, being dialled (RSV)
//   2 answering, ringing (countdown)        3 answering and dialling, idle
//   4 answering, idle                       5 dial-only, idle
//   6 answering, idle
class PassiveResetTest : public PoolTest {
  protected:
    void SetUp() override {
        PoolTest::SetUp();
        AddPort(0, Direction::kInOut);
        AddPort(1, Direction::kInOut);
        AddPort(2, Direction::kIn);
        AddPort(3, Direction::kInOut);
        AddPort(4, Direction::kIn);
        AddPort(5, Direction::kOut);
        AddPort(6, Direction::kIn);
        // A dial entry's own reset command is for dialling only.
        AddDialEntry(1, "ATDT555", 10, 0, "ATE1V1Q0S0=0S11=99&C1&D2");
        OpenPorts();
        std::snprintf(Settings.modemReset, sizeof Settings.modemReset, "%s", kReset);
        std::snprintf(Settings.autoAnswer, sizeof Settings.autoAnswer, "%s", kAutoAnswer);
        Ports[0].flags.fetch_or(kCON);
        Ports[0].connectionRef = 0;
        Ports[1].flags.fetch_or(kRSV);
        Ports[2].flags.fetch_or(kRIN);
        Ports[2].ringCountdown = 20;
        for (uint8_t i = 0; i < kPorts; ++i)
            before[i] = ModemOf(i).Commands().size();
    }

    // The commands each port's modem received since SetUp.
    std::vector<std::vector<std::string>> Received() {
        std::vector<std::vector<std::string>> commands;
        for (uint8_t i = 0; i < kPorts; ++i)
            commands.push_back(CommandsSince(ModemOf(i), before[i]));
        return commands;
    }

    static constexpr uint8_t kPorts = 7;
    const std::vector<std::string> reset = {kReset, kAutoAnswer};
    const std::vector<std::string> none = {};
    size_t before[kPorts] = {};
};

TEST_F(PassiveResetTest, AllPortsResetsOnlyTheIdleAnsweringOnes) {
    ASSERT_EQ(MMCloseCom(6), 0);
    ZunHostClearLog();
    ResetPassiveModems(kAllPorts);
    EXPECT_EQ(Received(),
              (std::vector<std::vector<std::string>>{none, none, none, reset, reset, none, none}));
    EXPECT_TRUE(CapturedLog().empty());
    // Nothing changed hands.
    EXPECT_EQ(DynamicFlags(0), uint32_t{kCON});
    EXPECT_EQ(DynamicFlags(1), uint32_t{kRSV});
    EXPECT_EQ(DynamicFlags(2), uint32_t{kRIN});
    EXPECT_EQ(Ports[2].ringCountdown.load(), 20);
    EXPECT_EQ(DynamicFlags(3) | DynamicFlags(4), 0u);
}

TEST_F(PassiveResetTest, OnePortOrNone) {
    struct Case {
        uint8_t argument;
        std::vector<std::vector<std::string>> received;
    };
    const Case cases[] = {
        {3, {none, none, none, reset, none, none, none}},
        {4, {none, none, none, none, reset, none, none}},
        {0, {none, none, none, none, none, none, none}},   // connected
        {1, {none, none, none, none, none, none, none}},   // being dialled
        {2, {none, none, none, none, none, none, none}},   // ringing
        {5, {none, none, none, none, none, none, none}},   // dial-only
        {31, {none, none, none, none, none, none, none}},  // not defined
        {33, {none, none, none, none, none, none, none}},
        {0xFF, {none, none, none, none, none, none, none}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.argument));
        for (uint8_t i = 0; i < kPorts; ++i)
            before[i] = ModemOf(i).Commands().size();
        ResetPassiveModems(c.argument);
        EXPECT_EQ(Received(), c.received);
    }
}

TEST_F(PassiveResetTest, AModemThatRefusesTheResetIsNotSentTheAutoAnswer) {
    Settings.diagnose = 1;
    ModemOf(3).SetFault(sim::Fault::kErrorReplies);
    ResetPassiveModems(kAllPorts);
    EXPECT_EQ(Received(), (std::vector<std::vector<std::string>>{
                              none, none, none, {kReset}, reset, none, reset}));
    EXPECT_EQ(CapturedTexts(),
              (std::vector<std::string>{
                  "KORVA> ResetPassiveModems() modem COM4 not responding on reset cmd"}));
}

TEST_F(PassiveResetTest, AModemThatRefusesTheAutoAnswerIsReported) {
    Settings.diagnose = 1;
    // The simulated modem has no &Z: the command line is answered with ERROR.
    std::snprintf(Settings.autoAnswer, sizeof Settings.autoAnswer, "ATS0=2&Z");
    ResetPassiveModems(4);
    EXPECT_EQ(CommandsSince(ModemOf(4), before[4]), (std::vector<std::string>{kReset, "ATS0=2&Z"}));
    EXPECT_EQ(CapturedTexts(),
              (std::vector<std::string>{
                  "KORVA> ResetPassiveModems() modem COM5 not responding on auto answer cmd"}));
}

// The longest commands the settings hold (255 characters) reach the modem whole, with their
// carriage return.
TEST_F(PassiveResetTest, SendsTheLongestCommandsWhole) {
    std::string longReset = "AT";
    while (longReset.size() < 254)
        longReset += "V1";
    longReset += "L";  // the speaker volume: a command the modem takes without a change
    ASSERT_EQ(longReset.size(), sizeof Settings.modemReset - 1);
    std::snprintf(Settings.modemReset, sizeof Settings.modemReset, "%s", longReset.c_str());
    Settings.diagnose = 1;
    ResetPassiveModems(4);
    EXPECT_EQ(CommandsSince(ModemOf(4), before[4]),
              (std::vector<std::string>{longReset, kAutoAnswer}));
    EXPECT_TRUE(CapturedLog().empty());
}

// A port whose lock another thread (or process) holds past the bound is passed over.
TEST_F(PassiveResetTest, PassesOverAPortWhoseLockCannotBeHad) {
    {
        MutexHolder holder(Ports[3].mutex);
        ResetPassiveModems(kAllPorts);
    }
    EXPECT_EQ(Received(),
              (std::vector<std::vector<std::string>>{none, none, none, none, reset, none, reset}));
    EXPECT_EQ(
        CapturedTexts(),
        (std::vector<std::string>{"KORVA> CheckConnections() time-out waiting for COM4 sem"}));
}

// The port was idle when the reset looked, but was reserved for dialling while the reset waited
// for its lock: the test under the lock keeps the reset off it.
TEST_F(PassiveResetTest, LeavesAPortTakenWhileItWaitedForTheLock) {
    std::thread host;
    {
        MutexHolder holder(Ports[3].mutex);
        host = std::thread([] { ResetPassiveModems(3); });
        platform::SleepMs(2000);  // time for the reset to pass its first look and wait
        Ports[3].flags.fetch_or(kRSV);
    }
    host.join();
    EXPECT_EQ(Received(),
              (std::vector<std::vector<std::string>>{none, none, none, none, none, none, none}));
}

}  // namespace
