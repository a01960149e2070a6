#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace {

TEST(TimeScale, ScalesPausesAndRoundsUp) {
    double saved = platform::TimeScale();
    platform::SetTimeScale(0.5);
    EXPECT_EQ(platform::ScaledMs(1000), 500u);
    EXPECT_EQ(platform::ScaledMs(1), 1u);  // 0.5 ms is never rounded away
    platform::SetTimeScale(-3);            // refused
    EXPECT_EQ(platform::TimeScale(), 0.5);
    platform::SetTimeScale(saved);
}

TEST(TimeScale, SleepTakesAtLeastItsScaledSpan) {
    auto start = std::chrono::steady_clock::now();
    platform::SleepMs(200);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::nanoseconds(platform::ScaledNs(200)));
}

TEST(TimeScale, ParsesOnlyPositiveNumbers) {
    struct Case {
        const char* text;
        bool accepted;
        double factor;
    };
    const Case cases[] = {{"1", true, 1},     {"0.01", true, 0.01}, {"2.5", true, 2.5},
                          {"0", false, 0},    {"-1", false, 0},     {"abc", false, 0},
                          {"0.5x", false, 0}, {"", false, 0},       {"inf", false, 0},
                          {"nan", false, 0}};
    for (const Case& c : cases) {
        double factor = 0;
        EXPECT_EQ(platform::ParseTimeScale(c.text, &factor), c.accepted) << c.text;
        if (c.accepted) {
            EXPECT_DOUBLE_EQ(factor, c.factor) << c.text;
        }
    }
}

TEST(TimeScale, ClockCountsScaledSeconds) {
    uint32_t before = platform::ClockSeconds();
    platform::SleepMs(2000);
    EXPECT_GE(platform::ClockSeconds() - before, 1u);
}

// The thread runs its body, and its end can be awaited (as the tests do before the process
// ends); a thread that is still running is reported as such.
TEST(Thread, RunsItsBodyAndItsEndCanBeAwaited) {
    static std::mutex lock;
    static std::condition_variable released;
    static bool release = false;
    static std::atomic<bool> ran{false};
    ASSERT_TRUE(platform::StartThread(
        [] {
            std::unique_lock<std::mutex> guard(lock);
            released.wait(guard, [] { return release; });
            ran = true;
        },
        16384));
    EXPECT_FALSE(platform::WaitThreadsEnded(20));
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
    }
    released.notify_all();
    EXPECT_TRUE(platform::WaitThreadsEnded(60000));
    EXPECT_TRUE(ran);
}

}  // namespace
