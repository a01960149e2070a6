// The scripted device's own clock and its real-time mode, which other tests rely on.
#include "support/script_device.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(ScriptDevice, ReadsWaitOnItsClockNotInRealTime) {
    ScriptDevice device;
    device.PresetReadTimeout(5000);
    device.Feed("late", 3000);
    char buffer[8] = {};
    uint32_t received = 0;
    ASSERT_TRUE(device.Read(buffer, 4, &received));
    EXPECT_EQ(received, 4u);
    EXPECT_EQ(device.NowMs(), 3000u);  // moved on to the arrival, not to the time-out
    ASSERT_TRUE(device.Read(buffer, 4, &received));
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(device.NowMs(), 8000u);
}

TEST(ScriptDevice, UnlimitedReadWithoutScriptStallsInsteadOfHanging) {
    ScriptDevice device;
    char byte = 0;
    uint32_t received = 1;
    ASSERT_TRUE(device.Read(&byte, 1, &received));
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(device.Stalled());
}

TEST(ScriptDevice, RealWaitsTakeInputFromAnotherThread) {
    ScriptDevice device;
    device.SetRealWaits(true);  // no time-out: only the feed can end the read
    std::thread feeder([&] { device.Feed("RING\r\n"); });
    char buffer[8] = {};
    uint32_t received = 0;
    ASSERT_TRUE(device.Read(buffer, 6, &received));
    feeder.join();
    EXPECT_EQ(received, 6u);
    EXPECT_STREQ(buffer, "RING\r\n");
    EXPECT_FALSE(device.Stalled());
}

TEST(ScriptDevice, EchoComesBeforeTheScriptedReply) {
    ScriptDevice device;
    device.SetEcho(true);
    device.ReplyToWrite("\r\nOK\r\n");
    uint32_t written = 0;
    ASSERT_TRUE(device.Write("AT\r", 3, &written));
    char buffer[16] = {};
    uint32_t received = 0;
    ASSERT_TRUE(device.Read(buffer, 9, &received));
    EXPECT_STREQ(buffer, "AT\r\r\nOK\r\n");
}

}  // namespace
