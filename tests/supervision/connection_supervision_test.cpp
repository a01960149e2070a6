// Connection supervision through the supervision thread: a line whose carrier is gone, or that
// has been up for longer than the connect time limit, is hung up and its entry detached.
#include <string>

#include "korva/korva.h"
#include "pool/pool.h"
#include "support/supervision_fixture.h"

namespace {

using namespace std::string_literals;

const std::string kAsk = "\x01\x03"s;

// Station 555 calls COM3 (201), is identified as PLC 17 of VPI 3 and handed over as reference 0.
class ConnectionSupervisionTest : public SupervisionTest {
  protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        modem = &AddPort(3, Direction::kIn, "201");
        station = &world.AddStation("555");
        Settings.diagnose = 1;
        ArmSequence(1, "MOD", kAsk, 4, 1, 'B');
        AddStationEntry("MOD", 3, 17);
        station->SetReply(kAsk, "\x68\x11\x00\x16"s);
        gate = ZunHostDefineGate(3, "$A03-017");
    }

    void Connect() {
        InitPortsAndModems();
        StartSupervision();
        ASSERT_TRUE(station->Call("201"));
        unsigned writes = 0;
        RunCyclesUntil(
            [&] {
                ZunHostGateValue(gate, nullptr, &writes);
                return writes != 0;
            },
            20);
        ASSERT_EQ(writes, 1u);
        ASSERT_EQ(Connections[0].flags, kConnUsed | kConnIncoming | kConnConnected);
        ASSERT_TRUE(HasFlag(3, kCON));
    }

    // The line is down and the port idle and answering again; entry 0 is still the client's,
    // without a line.
    void ExpectEnded() {
        EXPECT_FALSE(HasFlag(3, kCON));
        EXPECT_EQ(Ports[2].connectionRef, kNoReference);
        EXPECT_EQ(Connections[0].flags, kConnUsed | kConnIncoming);
        EXPECT_EQ(Connections[0].port, kNoPort);
        EXPECT_FALSE(modem->OffHook());
        EXPECT_FALSE(station->Connected());
        EXPECT_EQ(CountCommand(*modem, Settings.modemReset), 2);
        EXPECT_EQ(CountCommand(*modem, "ATS0=1"), 2);
    }

    sim::Modem* modem = nullptr;
    sim::Station* station = nullptr;
    uint32_t gate = 0;
};

TEST_F(ConnectionSupervisionTest, LostCarrierEndsTheLineButKeepsTheEntry) {
    Connect();
    station->HangUp();
    RunCycles(1);
    EXPECT_TRUE(LogContains("KORVA> CheckConnections() modem COM3 cr 0 disconnected"));
    ExpectEnded();

    // The client learns it on its next call and frees the entry with its disconnect.
    char buffer[4];
    int32_t received = 0;
    EXPECT_EQ(KORVA_Send(0, "x", 1), KORVA_STATUS_NOT_CONNECTED);
    EXPECT_EQ(KORVA_Receive(0, buffer, 1, &received), KORVA_STATUS_NOT_CONNECTED);
    EXPECT_EQ(KORVA_Disconnect(0), KORVA_STATUS_OK);
    EXPECT_EQ(Connections[0].flags, 0u);
    EXPECT_EQ(KORVA_Disconnect(0), KORVA_STATUS_BAD_REFERENCE);

    // The port answers the next call.
    ZunHostClearLog();
    ASSERT_TRUE(station->Call("201"));
    unsigned writes = 0;
    RunCyclesUntil(
        [&] {
            ZunHostGateValue(gate, nullptr, &writes);
            return writes == 2;
        },
        20);
    EXPECT_EQ(writes, 2u);
}

TEST_F(ConnectionSupervisionTest, LostCarrierIsNotLoggedWithoutDiagnose) {
    Connect();
    Settings.diagnose = 0;
    ZunHostClearLog();
    station->HangUp();
    RunCycles(1);
    ExpectEnded();
    EXPECT_EQ(CapturedTexts(), std::vector<std::string>{});
}

TEST_F(ConnectionSupervisionTest, ConnectTimeLimitEndsTheLine) {
    Settings.connectTimeLimit = 60;  // CONNECT_TIME_LIMIT_MIN = 1
    Connect();
    const uint32_t connected = Ports[2].connectTime;
    // A cycle that ended before the limit passed cannot have ended the line.
    unsigned cycles = 0;
    while (HasFlag(3, kCON) && cycles < 200) {
        RunCycles(1);
        ++cycles;
        if (platform::ClockSeconds() - connected < 60) {
            ASSERT_TRUE(HasFlag(3, kCON)) << "cycle " << cycles;
        }
    }
    ASSERT_FALSE(HasFlag(3, kCON));
    EXPECT_GE(platform::ClockSeconds() - connected, 60u);
    EXPECT_TRUE(LogContains("KORVA> CheckConnections() time limit,  disconnect modem COM3 cr 0"));
    ExpectEnded();
}

TEST_F(ConnectionSupervisionTest, NoTimeLimitWithZero) {
    Connect();
    Ports[2].connectTime = platform::ClockSeconds() - 100000;  // a day and more ago
    RunCycles(3);
    EXPECT_TRUE(HasFlag(3, kCON));
    EXPECT_EQ(Connections[0].flags, kConnUsed | kConnIncoming | kConnConnected);
    EXPECT_TRUE(station->Connected());
}

// A connected port whose client let go of it without hanging up (its disconnect could not take
// the port lock) carries a line nobody uses.
TEST_F(ConnectionSupervisionTest, OrphanLineIsEnded) {
    Connect();
    Connections[0].flags.fetch_and(~kConnConnected);
    Connections[0].port = kNoPort;
    Ports[2].connectionRef = kNoReference;
    RunCycles(1);
    EXPECT_TRUE(LogContains("KORVA> CheckConnections() modem COM3 cr 255 disconnected"));
    ExpectEnded();
}

// A port whose reference names an entry of another port ends its own line only.
TEST_F(ConnectionSupervisionTest, StaleReferenceLeavesTheOtherEntryAlone) {
    InitPortsAndModems();
    StartSupervision();
    ConnectionEntry& other = Connections[5];
    other.port = 6;
    other.flags = kConnUsed | kConnOutgoing | kConnConnected;
    Ports[2].connectionRef = 5;
    Ports[2].flags.fetch_or(kCON);  // no carrier on COM3
    RunCycles(1);
    EXPECT_FALSE(HasFlag(3, kCON));
    EXPECT_EQ(Ports[2].connectionRef, kNoReference);
    EXPECT_EQ(other.flags, kConnUsed | kConnOutgoing | kConnConnected);
    EXPECT_EQ(other.port, 6);
}

}  // namespace
