// Tones. No speaker is reachable on the machines the driver runs on here, so a tone is a pause of
// its length that an observer (tests, the host stand-in) can see.
#include <atomic>

#include "platform/platform.h"

namespace platform {
namespace {
std::atomic<ToneObserver> g_observer{nullptr};
}

void SetToneObserver(ToneObserver observer) { g_observer.store(observer); }

void Beep(uint32_t hz, uint32_t ms) {
    if (ToneObserver observer = g_observer.load()) observer(hz, ms);
    SleepMs(ms);
}

}  // namespace platform
