// Another process that loads the driver shares its named mutexes. When it is killed while it
// holds a port's mutex and the connection mutex, this process takes both over and goes on.
#include <chrono>
#include <thread>

#include "pool/pool.h"
#include "support/child_process.h"
#include "support/driver_test.h"
#include "support/sanitizer.h"

namespace {

// The child's part: opens the driver's mutexes by name, takes COM3's mutex and the connection
// mutex through the driver's own calls and waits to be killed.
void LockAndWait(const char*, const ChildReport& report) {
    report.Send(InitTables() == 0 && LockPort(2, "Connect()") == 0 &&
                WaitConnectionMutex("AddConnection()") == platform::kWaitObject0);
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}
const ChildActionRegistration kLockAndWait("lock-and-wait", LockAndWait);

class CrashedProcessTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(InitTables(), 0);
    }
};

TEST_F(CrashedProcessTest, LocksOfAKilledProcessAreTakenOver) {
    if (kThreadSanitizer) GTEST_SKIP() << kOwnerDiedUnderTsan;
    ChildProcess child("lock-and-wait", "");
    ASSERT_TRUE(child.Reported());
    // While it lives, the port is its own.
    EXPECT_EQ(LockPort(2, "CheckIncomingCalls()"), platform::kWaitTimeout);
    ZunHostClearLog();
    ASSERT_TRUE(child.Kill());

    // The abandoned port mutex is taken silently.
    EXPECT_EQ(LockPort(2, "CheckIncomingCalls()"), 0u);
    EXPECT_EQ(UnlockPort(2, "CheckIncomingCalls()"), 0);
    EXPECT_TRUE(CapturedLog().empty());

    // The abandoned connection mutex is reported once; the allocation is made all the same.
    uint16_t first = kNoReference;
    EXPECT_EQ(AddConnection(4, 2, 0, 0, &first), 0);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(CapturedLog(),
              (std::vector<LogLine>{{32, "KORVA> AddConnection() sem req failed rc 128"}}));
    ZunHostClearLog();
    uint16_t second = kNoReference;
    EXPECT_EQ(AddConnection(2, 5, 3, 17, &second), 0);
    EXPECT_EQ(second, 1);
    DeleteConnection(first);
    DeleteConnection(second);
    EXPECT_TRUE(CapturedLog().empty());
    EXPECT_EQ(Connections[0].flags.load(), 0u);
    EXPECT_EQ(Connections[1].flags.load(), 0u);
}

}  // namespace
