#include <chrono>
#include <string>
#include <thread>

#include "pool/mutex_holder.h"
#include "pool/pool.h"
#include "support/driver_test.h"
#include "support/error_numbers.h"

namespace {

class PortLockTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(InitTables(), 0);
    }
};

// The result of LockPort on another thread, which gives the lock back when it got it.
uint32_t LockPortElsewhere(uint8_t index) {
    uint32_t result = 0;
    std::thread other([&] {
        result = LockPort(index, "GetFreeModem()");
        if (result == 0) UnlockPort(index, "GetFreeModem()");
    });
    other.join();
    return result;
}

// Whether another thread could take `mutex` without waiting.
bool FreeForOthers(platform::NamedMutex* mutex) {
    MutexHolder holder(mutex);
    return holder.result() == platform::kWaitObject0;
}

TEST_F(PortLockTest, IsRecursiveAndFreeAfterAsManyUnlocks) {
    ASSERT_EQ(LockPort(4, "Disconnect()"), 0u);
    ASSERT_EQ(LockPort(4, "Disconnect()"), 0u);
    EXPECT_EQ(UnlockPort(4, "Disconnect()"), 0);
    uint32_t error = 0;
    uint32_t stillHeld = platform::kWaitObject0;
    std::thread probe([&] { stillHeld = platform::MutexWait(Ports[4].mutex, 0, &error); });
    probe.join();
    EXPECT_EQ(stillHeld, platform::kWaitTimeout);
    EXPECT_EQ(UnlockPort(4, "Disconnect()"), 0);
    EXPECT_EQ(LockPortElsewhere(4), 0u);
    EXPECT_TRUE(CapturedLog().empty());
}

TEST_F(PortLockTest, TimesOutAfterItsBoundWhileAnotherThreadHoldsThePort) {
    MutexHolder holder(Ports[2].mutex);
    ASSERT_EQ(holder.result(), platform::kWaitObject0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LockPort(2, "CheckConnections()"), platform::kWaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::nanoseconds(platform::ScaledNs(7500)));
    EXPECT_EQ(
        CapturedLog(),
        (std::vector<LogLine>{{32, "KORVA> CheckConnections() time-out waiting for COM3 sem"}}));
}

TEST_F(PortLockTest, AbandonedPortMutexIsTakenSilently) {
    if (kThreadSanitizer) GTEST_SKIP() << kOwnerDiedUnderTsan;
    ASSERT_TRUE(AbandonInChildProcess("KORVA_COM7_MUTEX"));
    EXPECT_EQ(LockPort(6, "CheckIncomingCalls()"), 0u);
    EXPECT_EQ(UnlockPort(6, "CheckIncomingCalls()"), 0);
    EXPECT_TRUE(FreeForOthers(Ports[6].mutex));
    EXPECT_TRUE(CapturedLog().empty());
}

TEST_F(PortLockTest, ReleaseByAThreadThatDoesNotHoldTheMutexFails) {
    if (kThreadSanitizer) GTEST_SKIP() << kWrongThreadUnlockUnderTsan;
    EXPECT_EQ(UnlockPort(0, "Disconnect()"), 1);
    MutexHolder holder(Ports[11].mutex);
    EXPECT_EQ(UnlockPort(11, "Connect()"), 1);
    ReleaseConnectionMutex("Disconnect()");
    const std::string notOwner = std::to_string(kErrorNotOwner);
    EXPECT_EQ(
        CapturedTexts(),
        (std::vector<std::string>{
            "KORVA> Disconnect() error releasing COM1 sem, ReleaseMutex() err " + notOwner,
            "KORVA> Connect() error releasing COM12 sem, ReleaseMutex() err " + notOwner,
            "KORVA> Disconnect() error releasing conn. sem, ReleaseMutex() err " + notOwner}));
}

// Without InitTables there is no mutex; past the table there is no port. Both fail cleanly.
using PortLockWithoutMutex = DriverTest;

TEST_F(PortLockWithoutMutex, FailsWithAnErrorInsteadOfCrashing) {
    const std::string noMutex = std::to_string(kErrorNoMutex);
    EXPECT_EQ(LockPort(0, "GetFreeModem()"), platform::kWaitFailed);
    EXPECT_EQ(UnlockPort(0, "GetFreeModem()"), 1);
    ASSERT_EQ(InitTables(), 0);
    EXPECT_EQ(LockPort(40, "Connect()"), platform::kWaitFailed);
    EXPECT_EQ(UnlockPort(40, "Connect()"), 1);
    EXPECT_EQ(
        CapturedTexts(),
        (std::vector<std::string>{
            "KORVA> GetFreeModem() error waiting for COM1 sem, WaitForSingleObject() err " +
                noMutex,
            "KORVA> GetFreeModem() error releasing COM1 sem, ReleaseMutex() err " + noMutex,
            "KORVA> Connect() error waiting for COM41 sem, WaitForSingleObject() err " + noMutex,
            "KORVA> Connect() error releasing COM41 sem, ReleaseMutex() err " + noMutex}));
}

TEST_F(PortLockTest, ConnectionMutexMessagesNameTheirCaller) {
    {
        MutexHolder holder(ConnectionMutex);
        EXPECT_EQ(WaitConnectionMutex("CheckConnection()"), platform::kWaitTimeout);
    }
    platform::NamedMutex* created = ConnectionMutex;
    ConnectionMutex = nullptr;
    EXPECT_EQ(WaitConnectionMutex("AddConnection()"), platform::kWaitFailed);
    ConnectionMutex = created;
    EXPECT_EQ(CapturedTexts(),
              (std::vector<std::string>{
                  "KORVA> CheckConnection() time-out waiting for conn. sem",
                  "KORVA> AddConnection() error waiting for conn. sem, WaitForSingleObject() err " +
                      std::to_string(kErrorNoMutex)}));
    for (const LogLine& line : CapturedLog())
        EXPECT_EQ(line.level, 32);
}

TEST_F(PortLockTest, GuardsReleaseOnlyWhatTheyObtained) {
    {
        PortLock port(9, "Disconnect()");
        ConnectionLock connections("Disconnect()");
        EXPECT_TRUE(port.held());
        EXPECT_TRUE(connections.held());
        EXPECT_EQ(connections.result(), platform::kWaitObject0);
    }
    EXPECT_TRUE(FreeForOthers(Ports[9].mutex));
    EXPECT_TRUE(FreeForOthers(ConnectionMutex));
    {
        MutexHolder portHolder(Ports[9].mutex);
        MutexHolder connectionHolder(ConnectionMutex);
        PortLock port(9, "Disconnect()");
        ConnectionLock connections("Disconnect()");
        EXPECT_FALSE(port.held());
        EXPECT_FALSE(connections.held());
        EXPECT_EQ(connections.result(), platform::kWaitTimeout);
    }
    // Only the two time-outs: neither guard tried to release a mutex it did not hold.
    EXPECT_EQ(CapturedTexts(),
              (std::vector<std::string>{"KORVA> Disconnect() time-out waiting for COM10 sem",
                                        "KORVA> Disconnect() time-out waiting for conn. sem"}));
}

}  // namespace
