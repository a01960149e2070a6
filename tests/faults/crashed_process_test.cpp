// Another process that loads the driver shares its named mutexes. When it is killed while it
// holds a port's mutex and the connection mutex, this process takes both over and goes on.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pool/pool.h"
#include "support/driver_test.h"
#include "support/sanitizer.h"

namespace {

// A child process that opens the driver's mutexes by name, takes COM3's mutex and the
// connection mutex through the driver's own calls and waits to be killed.
class LockingChild {
  public:
    LockingChild() {
        int report[2];
        if (pipe(report) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(report[0]);
            const bool taken = InitTables() == 0 && LockPort(2, "Connect()") == 0 &&
                               WaitConnectionMutex("AddConnection()") == platform::kWaitObject0;
            const char state = taken ? '1' : '0';
            if (write(report[1], &state, 1) != 1) _exit(1);
            for (;;)
                pause();
        }
        close(report[1]);
        char state = '0';
        holding_ = pid_ > 0 && read(report[0], &state, 1) == 1 && state == '1';
        close(report[0]);
    }
    ~LockingChild() { Kill(); }

    bool holding() const { return holding_; }
    // SIGKILL, and waits until the child is gone; true when it died of the signal.
    bool Kill() {
        if (pid_ <= 0) return false;
        kill(pid_, SIGKILL);
        int status = 0;
        const bool ended = waitpid(pid_, &status, 0) == pid_;
        pid_ = 0;
        return ended && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

  private:
    pid_t pid_ = 0;
    bool holding_ = false;
};

class CrashedProcessTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(InitTables(), 0);
    }
};

TEST_F(CrashedProcessTest, LocksOfAKilledProcessAreTakenOver) {
    if (kThreadSanitizer) GTEST_SKIP() << kOwnerDiedUnderTsan;
    LockingChild child;
    ASSERT_TRUE(child.holding());
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
