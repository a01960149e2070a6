#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/platform.h"
#include "pool/mutex_holder.h"
#include "support/error_numbers.h"
#include "support/sanitizer.h"

namespace {

platform::NamedMutex* Open(const char* name) {
    uint32_t error = 0;
    platform::NamedMutex* mutex = platform::MutexOpen(name, &error);
    EXPECT_NE(mutex, nullptr) << "error " << error;
    return mutex;
}

// Result of one wait on another thread.
uint32_t WaitElsewhere(platform::NamedMutex* mutex, uint32_t timeoutMs, bool release = true) {
    uint32_t result = 0;
    std::thread other([&] {
        uint32_t error = 0;
        result = platform::MutexWait(mutex, timeoutMs, &error);
        if (release && (result == platform::kWaitObject0 || result == platform::kWaitAbandoned))
            platform::MutexRelease(mutex, &error);
    });
    other.join();
    return result;
}

TEST(NamedMutex, SameNameGivesTheSameMutex) {
    EXPECT_EQ(Open("T_SAME"), Open("T_SAME"));
    EXPECT_NE(Open("T_SAME"), Open("T_OTHER"));
}

TEST(NamedMutex, IsRecursiveForItsOwner) {
    platform::NamedMutex* mutex = Open("T_RECURSIVE");
    uint32_t error = 0;
    ASSERT_EQ(platform::MutexWait(mutex, 7500, &error), platform::kWaitObject0);
    ASSERT_EQ(platform::MutexWait(mutex, 7500, &error), platform::kWaitObject0);
    ASSERT_TRUE(platform::MutexRelease(mutex, &error));
    // Still held once: another thread times out.
    EXPECT_EQ(WaitElsewhere(mutex, 100), platform::kWaitTimeout);
    ASSERT_TRUE(platform::MutexRelease(mutex, &error));
    EXPECT_EQ(WaitElsewhere(mutex, 100), platform::kWaitObject0);
}

TEST(NamedMutex, WaitTimesOutAfterItsScaledBound) {
    platform::NamedMutex* mutex = Open("T_TIMEOUT");
    uint32_t error = 0;
    ASSERT_EQ(platform::MutexWait(mutex, 0, &error), platform::kWaitObject0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitElsewhere(mutex, 7500), platform::kWaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::nanoseconds(platform::ScaledNs(7500)));
    platform::MutexRelease(mutex, &error);
}

TEST(NamedMutex, ReleaseByANonOwnerFailsWithAnErrorNumber) {
    if (kThreadSanitizer) GTEST_SKIP() << kWrongThreadUnlockUnderTsan;
    platform::NamedMutex* mutex = Open("T_NONOWNER");
    uint32_t error = 0;
    EXPECT_FALSE(platform::MutexRelease(mutex, &error));
    EXPECT_EQ(error, kErrorNotOwner);
    ASSERT_EQ(platform::MutexWait(mutex, 0, &error), platform::kWaitObject0);
    bool released = true;
    uint32_t otherError = 0;
    std::thread other([&] { released = platform::MutexRelease(mutex, &otherError); });
    other.join();
    EXPECT_FALSE(released);
    EXPECT_EQ(otherError, kErrorNotOwner);
    EXPECT_TRUE(platform::MutexRelease(mutex, &error));
}

TEST(NamedMutex, HolderThatDiesLeavesItAbandonedOnce) {
    if (kThreadSanitizer) GTEST_SKIP() << kOwnerDiedUnderTsan;
    platform::NamedMutex* mutex = Open("T_ABANDONED");
    // The child opens the name afresh, as another process loading the driver would.
    ASSERT_TRUE(AbandonInChildProcess("T_ABANDONED"));
    uint32_t error = 0;
    EXPECT_EQ(platform::MutexWait(mutex, 1000, &error), platform::kWaitAbandoned);
    EXPECT_TRUE(platform::MutexRelease(mutex, &error));
    // Made consistent: the next wait is an ordinary one.
    EXPECT_EQ(platform::MutexWait(mutex, 1000, &error), platform::kWaitObject0);
    EXPECT_TRUE(platform::MutexRelease(mutex, &error));
}

TEST(NamedMutex, OpensTogetherFromManyThreadsWithoutARace) {
    std::atomic<int> acquired{0};
    std::thread threads[8];
    for (std::thread& thread : threads) {
        thread = std::thread([&] {
            uint32_t error = 0;
            platform::NamedMutex* mutex = platform::MutexOpen("T_RACE", &error);
            if (mutex && platform::MutexWait(mutex, 5000, &error) == platform::kWaitObject0) {
                ++acquired;
                platform::MutexRelease(mutex, &error);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(acquired, 8);
}

}  // namespace
