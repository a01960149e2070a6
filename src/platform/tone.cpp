// Tones: the observer (tests, the host stand-in) sees every tone; the backend plays it.
#include <atomic>

#include "platform/platform.h"

namespace platform {

void PlayTone(uint32_t hz, uint32_t ms);  // in the backend

namespace {
std::atomic<ToneObserver> g_observer{nullptr};
}

void SetToneObserver(ToneObserver observer) {
    g_observer.store(observer);
}

void Beep(uint32_t hz, uint32_t ms) {
    if (ToneObserver observer = g_observer.load()) observer(hz, ms);
    PlayTone(hz, ms);
}

}  // namespace platform
