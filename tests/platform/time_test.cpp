#include <gtest/gtest.h>

#include <chrono>
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

TEST(Thread, StartsWithTheRequestedStack) {
    static std::atomic<bool> ran{false};
    ASSERT_TRUE(platform::StartThread([] { ran = true; }, 16384));
    for (int i = 0; i < 1000 && !ran; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(ran);
}

}  // namespace
