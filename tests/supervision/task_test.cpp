// The supervision thread: its cycle, the periodic reset of the answering modems, and the stop
// with its wait for connections to be released.
#include <chrono>
#include <string>
#include <vector>

#include "host/vpi.h"
#include "korva/korva.h"
#include "support/supervision_fixture.h"

namespace {

class TaskTest : public SupervisionTest {
  protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        answering = &AddPort(3, Direction::kIn);
        dialling = &AddPort(4, Direction::kOut);
    }

    long Resets(const sim::Modem& modem) const { return CountCommand(modem, Settings.modemReset); }

    // Asks the thread to stop; the real time it took to set the stop flag.
    std::chrono::nanoseconds TimeTheStop() {
        const auto start = std::chrono::steady_clock::now();
        StopSupervision();
        return std::chrono::steady_clock::now() - start;
    }

    sim::Modem* answering = nullptr;
    sim::Modem* dialling = nullptr;
};

struct ResetCase {
    uint32_t period;  // seconds (MODEM_RESET_MIN x 60)
    unsigned cycles;
};

class PeriodicResetTest : public TaskTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(PeriodicResetTest, RunsOnCyclePPlusTwoAndEveryPPlusTwoCycles) {
    Settings.resetPeriod = GetParam().period;
    InitPortsAndModems();
    StartSupervision();
    ASSERT_EQ(Resets(*answering), 1);  // the one of the port initialisation
    long expected = 1;
    for (unsigned cycle = 1; cycle <= GetParam().cycles; ++cycle) {
        RunCycles(1);
        if (cycle % (GetParam().period + 2) == 0) ++expected;
        ASSERT_EQ(Resets(*answering), expected) << "cycle " << cycle;
        ASSERT_EQ(CountCommand(*answering, "ATS0=1"), expected) << "cycle " << cycle;
    }
    EXPECT_EQ(Resets(*dialling), 1);  // a dial-only modem is not an answering one
}

INSTANTIATE_TEST_SUITE_P(Periods, PeriodicResetTest,
                         ::testing::Values(ResetCase{0, 7}, ResetCase{5, 15}),
                         [](const auto& info) { return std::to_string(info.param.period); });

TEST_F(TaskTest, QuietRunLogsOnlyTheExit) {
    InitPortsAndModems();
    ZunHostClearLog();
    StartSupervision();
    RunCycles(3);
    StopSupervision();
    EXPECT_EQ(CapturedLog(), (std::vector<LogLine>{{32, "KORVA> Task() thread exiting"}}));
}

TEST_F(TaskTest, DiagnoseLogsTheStart) {
    Settings.diagnose = 1;
    InitPortsAndModems();
    ZunHostClearLog();
    StartSupervision();
    RunCycles(1);
    StopSupervision();
    EXPECT_EQ(CapturedTexts(), (std::vector<std::string>{"KORVA> Task() thread started",
                                                         "KORVA> Task() thread exiting"}));
}

TEST_F(TaskTest, StopWithoutConnectionsTakesOneShortWait) {
    InitPortsAndModems();
    StartSupervision();
    RunCycles(1);
    EXPECT_TRUE(ZunHostClientRegistered());
    EXPECT_GE(TimeTheStop(), std::chrono::nanoseconds(platform::ScaledNs(500)));
    EXPECT_FALSE(ZunHostClientRegistered());
    EXPECT_EQ(StopFlag.load(), 1u);

    // From now on the driver is stopped for good.
    uint16_t reference = 0;
    EXPECT_EQ(KORVA_Connect(1, 100, &reference), KORVA_STATUS_STOPPED);
    EXPECT_EQ(KORVA_Send(0, "x", 1), KORVA_STATUS_STOPPED);
    EXPECT_EQ(KORVA_Disconnect(0), KORVA_STATUS_STOPPED);
    ZunHostClearLog();
    KorvaRequest request{};
    for (uint32_t function : {1u, 11u, 17u}) {
        request.function = function;
        EXPECT_EQ(VpiMain(&request), 0);
    }
    EXPECT_TRUE(CapturedLog().empty());
}

TEST_F(TaskTest, StopWaitsForAConnectedLineAtMostTenAndAHalfSeconds) {
    InitPortsAndModems();
    StartSupervision();
    RunCycles(1);
    Connections[7].flags = kConnUsed | kConnOutgoing | kConnConnected;  // a client holds a line
    EXPECT_GE(TimeTheStop(), std::chrono::nanoseconds(platform::ScaledNs(10500)));
    EXPECT_FALSE(ZunHostClientRegistered());
    EXPECT_EQ(KORVA_Disconnect(7), KORVA_STATUS_STOPPED);
}

TEST_F(TaskTest, StopFollowsTheReleaseOfTheLastLine) {
    InitPortsAndModems();
    StartSupervision();
    RunCycles(1);
    Connections[7].port = kNoPort;
    Connections[7].flags = kConnUsed | kConnOutgoing | kConnConnected;
    const auto start = std::chrono::steady_clock::now();
    ZunHostRequestStop();
    ASSERT_TRUE(WaitUntil([] { return LogContains("KORVA> Task() thread exiting"); }));
    // Inside the bound the thread is still waiting, and the exported functions still work.
    const bool registered = ZunHostClientRegistered() != 0;
    if (std::chrono::steady_clock::now() - start <
        std::chrono::nanoseconds(platform::ScaledNs(10500))) {
        EXPECT_TRUE(registered);
    }
    if (StopFlag.load() != 0) GTEST_SKIP() << "the test thread was held up past the bound";
    EXPECT_EQ(KORVA_Disconnect(7), KORVA_STATUS_OK);
    EXPECT_TRUE(WaitUntil([] { return StopFlag.load() == 1; }));
    EXPECT_FALSE(ZunHostClientRegistered());
    StopSupervision();
}

}  // namespace
