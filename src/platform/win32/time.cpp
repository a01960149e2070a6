// Pauses, the monotonic clock, tones and the driver's thread on Windows.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

uint64_t MonotonicNs() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);  // never fails on XP and later
        return value.QuadPart;
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<uint64_t>(now.QuadPart);
    const auto perSecond = static_cast<uint64_t>(frequency);
    // Split so that the multiplication cannot overflow for any uptime.
    return ticks / perSecond * 1000000000u + ticks % perSecond * 1000000000u / perSecond;
}

void SleepMs(uint32_t ms) {
    uint64_t real = ScaledMs(ms);
    // Sleep takes at most 0xFFFFFFFE (INFINITE is 0xFFFFFFFF): longer pauses go in pieces.
    while (real > 0) {
        const DWORD piece = real > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<DWORD>(real);
        Sleep(piece);
        real -= piece;
    }
}

void PlayTone(uint32_t hz, uint32_t ms) {
    // Beep refuses frequencies outside 37..32767 Hz, fails where there is no sound device, and
    // returns at once where it plays nothing (wine); whatever is left of the tone's length is
    // paused all the same, since the driver's timing counts on it.
    const uint64_t spanNs = ScaledNs(ms);
    const uint64_t start = MonotonicNs();
    const uint64_t real = ScaledMs(ms);
    if (real > 0 && real <= 0xFFFFFFFEu) ::Beep(hz, static_cast<DWORD>(real));
    const uint64_t elapsed = MonotonicNs() - start;
    if (elapsed < spanNs) {
        const uint64_t restMs = (spanNs - elapsed + 999999u) / 1000000u;  // rounded up
        Sleep(restMs > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<DWORD>(restMs));
    }
}

namespace {

DWORD WINAPI Trampoline(LPVOID body) {
    reinterpret_cast<void (*)()>(body)();
    return 0;
}

}  // namespace

bool StartThread(void (*body)(), std::size_t stackBytes) {
    // The size is a reservation: the stack is committed as it grows, up to stackBytes.
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, stackBytes, Trampoline, reinterpret_cast<LPVOID>(body),
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (thread == nullptr) return false;
    CloseHandle(thread);  // detached: nobody joins the driver's thread
    return true;
}

}  // namespace platform
