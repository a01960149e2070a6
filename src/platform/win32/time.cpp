// Pauses, the monotonic clock, tones and the driver's thread on Windows.
#include <windows.h>

#include <mutex>

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

// Handles of the threads started and not yet seen to end, so that WaitThreadsEnded can wait for
// the end of the thread itself, not only of its body. The driver starts one thread at a time.
constexpr std::size_t kThreadSlots = 8;
std::mutex g_threadLock;
HANDLE g_threads[kThreadSlots] = {};

DWORD WINAPI Trampoline(LPVOID body) {
    reinterpret_cast<void (*)()>(body)();
    return 0;
}

// Closes the handles of threads that have ended; under g_threadLock.
void ForgetEndedThreads() {
    for (HANDLE& thread : g_threads) {
        if (thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) {
            CloseHandle(thread);
            thread = nullptr;
        }
    }
}

}  // namespace

bool StartThread(void (*body)(), std::size_t stackBytes) {
    // The size is a reservation: the stack is committed as it grows, up to stackBytes.
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, stackBytes, Trampoline, reinterpret_cast<LPVOID>(body),
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (thread == nullptr) return false;
    std::lock_guard<std::mutex> guard(g_threadLock);
    ForgetEndedThreads();
    for (HANDLE& slot : g_threads) {
        if (slot == nullptr) {
            slot = thread;
            return true;
        }
    }
    CloseHandle(thread);  // no slot: the thread runs on, only unwatched
    return true;
}

bool WaitThreadsEnded(uint32_t realMs) {
    const uint64_t deadline = MonotonicNs() + uint64_t{realMs} * 1000000u;
    std::lock_guard<std::mutex> guard(g_threadLock);
    for (HANDLE& thread : g_threads) {
        if (thread == nullptr) continue;
        const uint64_t now = MonotonicNs();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>((deadline - now) / 1000000u);
        if (WaitForSingleObject(thread, left) != WAIT_OBJECT_0) return false;
        CloseHandle(thread);
        thread = nullptr;
    }
    return true;
}

}  // namespace platform
