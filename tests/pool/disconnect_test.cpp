// KORVA_Disconnect on the simulated pool: the hang-up under both locks, the port given back and
// re-armed, the entry freed; lines already lost; locks that cannot be had; and a disconnect that
// races the supervision ending the same line.
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "korva/korva.h"
#include "pool/mutex_holder.h"
#include "pool/pool.h"
#include "supervision/supervision.h"
#include "support/pool_fixture.h"

namespace {

constexpr const char* kGlobalReset = "ATE1V1Q0S0=0S11=55&C1&D2";

// An answering and dialling port with a line to station 555.
class DisconnectTest : public PoolTest {
  protected:
    void SetUp() override {
        PoolTest::SetUp();
        AddPort(0, Direction::kInOut);
        AddDialEntry(1, "ATDT555", 10);
        OpenPorts();
        Settings.diagnose = 1;
        reference = Dial(1);
        ASSERT_LT(reference, kNoReference);
        ASSERT_TRUE(station.Connected());
        ZunHostClearLog();
        commands = ModemOf(0).Commands().size();
        dtrChanges = DtrChanges(0);
    }

    // The entry is free and names no port.
    void ExpectFreed(uint16_t index) {
        EXPECT_EQ(Connections[index].flags.load(), 0u);
        EXPECT_EQ(Connections[index].port.load(), kNoPort);
    }
    // The port is back in the pool: free, without a connection, its modem hung up once and
    // re-armed for answering.
    void ExpectPortGivenBack() {
        EXPECT_EQ(DynamicFlags(0), 0u);
        EXPECT_EQ(Ports[0].connectionRef.load(), kNoReference);
        EXPECT_FALSE(ModemOf(0).OffHook());
        EXPECT_FALSE(station.Connected());
        EXPECT_EQ(DtrDropsSince(0, dtrChanges), 1u);
        EXPECT_TRUE(ModemOf(0).Dtr());
        EXPECT_EQ(ModemOf(0).Commands().back(), "ATS0=1");
    }

    sim::Station& station = world.AddStation("555");
    uint16_t reference = kNoReference;
    size_t commands = 0;
    size_t dtrChanges = 0;
};

TEST_F(DisconnectTest, HangsUpGivesThePortBackAndFreesTheEntry) {
    EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_OK);
    ExpectFreed(reference);
    ExpectPortGivenBack();
    EXPECT_EQ(CommandsSince(ModemOf(0), commands),
              (std::vector<std::string>{"ATH0", kGlobalReset, "ATS0=1"}));
    EXPECT_EQ(CapturedTexts(), (std::vector<std::string>{"KORVA> Disconnect() cr " +
                                                         std::to_string(reference) + " COM1"}));
    // The reference is spent; the port serves the next call.
    EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_BAD_REFERENCE);
    EXPECT_LT(Dial(1), kNoReference);
}

TEST_F(DisconnectTest, OnlyTheLowSixteenBitsOfTheReferenceCount) {
    EXPECT_EQ(KORVA_Disconnect(0x10000u + reference), KORVA_STATUS_OK);
    ExpectFreed(reference);
    ExpectPortGivenBack();
}

TEST_F(DisconnectTest, ALineAlreadyLostIsOnlyFreed) {
    station.HangUp();
    CheckConnections();
    ASSERT_EQ(Connections[reference].flags.load(), uint32_t{kConnUsed | kConnOutgoing});
    const size_t afterSupervision = ModemOf(0).Commands().size();
    const size_t dtrAfterSupervision = DtrChanges(0);
    ZunHostClearLog();

    EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_OK);
    ExpectFreed(reference);
    EXPECT_EQ(ModemOf(0).Commands().size(), afterSupervision);
    EXPECT_EQ(DtrChanges(0), dtrAfterSupervision);
    EXPECT_EQ(CapturedTexts(), (std::vector<std::string>{"KORVA> Disconnect() cr " +
                                                         std::to_string(reference) + " (no COM)"}));
    EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_BAD_REFERENCE);
}

// Without the port lock the modem is not touched: the entry and the port let go of each other,
// the entry is freed, and the supervision's next cycle hangs the orphaned line up.
TEST_F(DisconnectTest, WithoutThePortLockTheSupervisionEndsTheLine) {
    {
        MutexHolder holder(Ports[0].mutex);
        EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_OK);
        ExpectFreed(reference);
        EXPECT_EQ(DynamicFlags(0), uint32_t{kCON});
        EXPECT_EQ(Ports[0].connectionRef.load(), kNoReference);
        EXPECT_TRUE(station.Connected());
        // The freed entry is not the port's any more: a new connection may take it.
        uint16_t next = kNoReference;
        ASSERT_EQ(AddConnection(4, 5, 0, 0, &next), 0);
        EXPECT_EQ(next, reference);
        DeleteConnection(next);
    }
    EXPECT_EQ(LogCount("KORVA> Disconnect() time-out waiting for COM1 sem"), 1u);
    CheckConnections();
    ExpectPortGivenBack();
}

// With the port lock held nobody else can reach this line, so the hang-up goes ahead without the
// connection mutex; the entry is freed as well.
TEST_F(DisconnectTest, WithoutTheConnectionMutexTheLineIsStillHungUp) {
    {
        MutexHolder holder(ConnectionMutex);
        EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_OK);
    }
    ExpectFreed(reference);
    ExpectPortGivenBack();
    EXPECT_EQ(LogCount("KORVA> Disconnect() time-out waiting for conn. sem"), 1u);
    EXPECT_EQ(LogCount("KORVA> DeleteConnection() time-out waiting for conn. sem"), 1u);
}

// Ending a line takes seconds of modem dialogue under the port lock. The connection table is
// changed first, and the connection mutex is not held through the hang-up: other threads
// register and free connections meanwhile without waiting for it (a wait past its bound would
// make a dial that got its carrier fail as if the table were full).
TEST_F(DisconnectTest, TheConnectionTableStaysFreeWhileALineIsHungUp) {
    struct Case {
        const char* name;
        std::function<void()> end;
    };
    const Case cases[] = {
        {"disconnect", [this] { EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_OK); }},
        {"carrier lost",
         [this] {
             station.HangUp();
             CheckConnections();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (Ports[0].connectionRef.load() == kNoReference) {
            reference = Dial(1);
            ASSERT_LT(reference, kNoReference);
        }
        ZunHostClearLog();
        const size_t before = ModemOf(0).Commands().size();
        std::atomic<bool> ended{false};
        std::thread ender([&] {
            c.end();
            ended = true;
        });
        // "ATH0" reaches the modem in the middle of the hang-up.
        while (ModemOf(0).Commands().size() == before && !ended)
            std::this_thread::yield();
        uint32_t error = 0;
        const uint32_t probe = platform::MutexWait(ConnectionMutex, 0, &error);
        if (probe == platform::kWaitObject0) platform::MutexRelease(ConnectionMutex, &error);
        uint16_t other = kNoReference;
        EXPECT_EQ(AddConnection(4, 1, 0, 0, &other), 0);
        ender.join();
        EXPECT_EQ(probe, platform::kWaitObject0);
        EXPECT_NE(other, reference);
        DeleteConnection(other);
        EXPECT_EQ(DynamicFlags(0), 0u);
        EXPECT_EQ(Ports[0].connectionRef.load(), kNoReference);
        for (const std::string& line : CapturedTexts())
            EXPECT_EQ(line.find("waiting for conn. sem"), std::string::npos) << line;
        if (c.name == std::string("carrier lost")) KORVA_Disconnect(reference);
    }
}

// The station hangs up, and the client's disconnect meets the supervision's check of the same
// line. Whichever comes first ends the line; it is hung up once and the entry freed once.
TEST_F(DisconnectTest, RacingTheSupervisionEndsTheLineOnce) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) {
            reference = Dial(1);
            ASSERT_LT(reference, kNoReference);
            dtrChanges = DtrChanges(0);
        }
        station.HangUp();
        std::atomic<int> ready{0};
        auto start = [&] {
            ++ready;
            while (ready < 2)
                std::this_thread::yield();
        };
        std::thread supervision([&] {
            start();
            CheckConnections();
        });
        start();
        const int32_t status = KORVA_Disconnect(reference);
        supervision.join();
        EXPECT_EQ(status, KORVA_STATUS_OK);
        ExpectFreed(reference);
        ExpectPortGivenBack();
        EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_BAD_REFERENCE);
    }
}

}  // namespace
