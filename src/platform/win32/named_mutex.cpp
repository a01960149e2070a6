// Named mutexes on Windows: the system's own named mutex objects, which are recursive, shared by
// every process that opens the name, and report WAIT_ABANDONED when the holder ended holding one.
#include <windows.h>

#include <cstring>
#include <mutex>

#include "platform/mutex_names.h"
#include "platform/platform.h"

namespace platform {
namespace {

constexpr std::size_t kMaxMutexes = 64;  // 33 for one driver, the rest for tests
constexpr std::size_t kNameSize = 128;

}  // namespace

struct NamedMutex {
    HANDLE handle = nullptr;
    char name[kNameSize] = {};
};

namespace {

NamedMutex g_mutexes[kMaxMutexes];
std::size_t g_used = 0;
std::mutex g_tableLock;

// Real milliseconds for WaitForSingleObject; INFINITE (0xFFFFFFFF) is never passed by accident.
DWORD WaitSpan(uint32_t timeoutMs) {
    const uint64_t real = ScaledMs(timeoutMs);
    return real >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(real);
}

}  // namespace

NamedMutex* MutexOpen(const char* name, uint32_t* error) {
    std::lock_guard<std::mutex> guard(g_tableLock);
    char objectName[kNameSize];
    if (!MutexObjectName("", name, objectName, sizeof objectName)) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    // Opening the same name twice in one process gives the same mutex, as on POSIX.
    for (std::size_t i = 0; i < g_used; ++i)
        if (std::strcmp(g_mutexes[i].name, objectName) == 0) return &g_mutexes[i];
    if (g_used == kMaxMutexes) {
        *error = ERROR_TOO_MANY_OPEN_FILES;
        return nullptr;
    }
    HANDLE handle = CreateMutexA(nullptr, FALSE, objectName);
    if (handle == nullptr) {
        *error = GetLastError();
        return nullptr;
    }
    NamedMutex& slot = g_mutexes[g_used++];
    slot.handle = handle;
    std::memcpy(slot.name, objectName, sizeof objectName);
    return &slot;
}

uint32_t MutexWait(NamedMutex* mutex, uint32_t timeoutMs, uint32_t* error) {
    if (mutex == nullptr || mutex->handle == nullptr) {
        *error = ERROR_INVALID_HANDLE;
        return kWaitFailed;
    }
    switch (WaitForSingleObject(mutex->handle, WaitSpan(timeoutMs))) {
        case WAIT_OBJECT_0:
            return kWaitObject0;
        case WAIT_ABANDONED:
            return kWaitAbandoned;  // held now; the system has made it ordinary again
        case WAIT_TIMEOUT:
            return kWaitTimeout;
        default:
            *error = GetLastError();
            return kWaitFailed;
    }
}

bool MutexRelease(NamedMutex* mutex, uint32_t* error) {
    if (mutex == nullptr || mutex->handle == nullptr) {
        *error = ERROR_INVALID_HANDLE;
        return false;
    }
    if (!ReleaseMutex(mutex->handle)) {
        *error = GetLastError();  // ERROR_NOT_OWNER for a caller that does not hold it
        return false;
    }
    return true;
}

// A named object goes away with its last handle, when the last process that opened it ends:
// nothing is left behind to remove.
void MutexUnlinkAll() {}

}  // namespace platform
