// The port mutexes and the connection mutex: timed waits and releases with their messages.
#include "host/state.h"
#include "korva/zunpro.h"
#include "pool/pool.h"

namespace {

constexpr uint32_t kLockBoundMs = 7500;

// A port index past the table has no mutex; the wait and the release then fail as they do on a
// mutex that InitTables never created, instead of reading past the table.
platform::NamedMutex* PortMutex(uint8_t index) {
    return index < kPortCount ? Ports[index].mutex : nullptr;
}

}  // namespace

uint32_t LockPort(uint8_t index, const char* caller) {
    unsigned com = index + 1u;
    uint32_t error = 0;
    uint32_t result = platform::MutexWait(PortMutex(index), kLockBoundMs, &error);
    switch (result) {
        case platform::kWaitObject0:
        case platform::kWaitAbandoned:
            return 0;
        case platform::kWaitTimeout:
            err(kLog, "KORVA> %s time-out waiting for COM%u sem", caller, com);
            return result;
        case platform::kWaitFailed:
            err(kLog, "KORVA> %s error waiting for COM%u sem, WaitForSingleObject() err %u", caller,
                com, error);
            return result;
        default:
            err(kLog, "KORVA> %s unknown error waiting for COM%u sem, WaitForSingleObject() err %u",
                caller, com, error);
            return result;
    }
}

int UnlockPort(uint8_t index, const char* caller) {
    uint32_t error = 0;
    if (platform::MutexRelease(PortMutex(index), &error)) return 0;
    err(kLog, "KORVA> %s error releasing COM%u sem, ReleaseMutex() err %u", caller, index + 1u,
        error);
    return 1;
}

// A null ConnectionMutex (InitTables not run, or failed) makes the wait fail with EINVAL.
uint32_t WaitConnectionMutex(const char* caller) {
    uint32_t error = 0;
    uint32_t result = platform::MutexWait(ConnectionMutex, kLockBoundMs, &error);
    switch (result) {
        case platform::kWaitObject0:
        case platform::kWaitAbandoned:
            break;
        case platform::kWaitTimeout:
            err(kLog, "KORVA> %s time-out waiting for conn. sem", caller);
            break;
        case platform::kWaitFailed:
            err(kLog, "KORVA> %s error waiting for conn. sem, WaitForSingleObject() err %u", caller,
                error);
            break;
        default:
            err(kLog, "KORVA> %s unknown error waiting for conn. sem, WaitForSingleObject() err %u",
                caller, error);
            break;
    }
    return result;
}

void ReleaseConnectionMutex(const char* caller) {
    uint32_t error = 0;
    if (!platform::MutexRelease(ConnectionMutex, &error))
        err(kLog, "KORVA> %s error releasing conn. sem, ReleaseMutex() err %u", caller, error);
}
