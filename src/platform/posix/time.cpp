// Pauses and the monotonic clock on POSIX.
#include <cerrno>
#include <ctime>

#include "platform/platform.h"

namespace platform {

uint64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void SleepMs(uint32_t ms) {
    uint64_t ns = ScaledNs(ms);
    timespec span{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &span, &span) == EINTR) {
    }
}

}  // namespace platform
