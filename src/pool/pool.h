// Port locks, the connection table and the choice of a dial-out modem.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Takes port `index`'s mutex (recursive) for at most 7500 ms; 0 = held, non-zero = not held.
uint32_t LockPort(uint8_t index, const char* caller);
// Releases one hold; 0, or 1 when the release failed.
int UnlockPort(uint8_t index, const char* caller);

// The connection mutex, with the messages naming `caller` ("AddConnection()", ...).
// Returns the wait result (platform::kWaitObject0, kWaitAbandoned, kWaitTimeout, kWaitFailed).
uint32_t WaitConnectionMutex(const char* caller);
void ReleaseConnectionMutex(const char* caller);

// Allocates an entry: kind 2 incoming, else outgoing. 0 and the reference, or 1 (table full, or
// the connection mutex not obtained) with the reference 255.
int AddConnection(int kind, uint8_t port, uint8_t vpi, uint8_t plc, uint16_t* reference);
// Frees entry `reference` (below 255).
void DeleteConnection(uint16_t reference);

// Reserves a dial-out port for a dial entry of VPI `vpi`, starting at *start; 0 and the port in
// *start, or 11.
int GetFreeModem(uint8_t* start, uint16_t vpi);

// Holds a port's mutex for a scope when LockPort obtained it; releases it with UnlockPort.
class PortLock {
  public:
    PortLock(uint8_t index, const char* caller)
        : index_(index), caller_(caller), held_(LockPort(index, caller) == 0) {}
    ~PortLock() {
        if (held_) UnlockPort(index_, caller_);
    }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    bool held() const { return held_; }

  private:
    uint8_t index_;
    const char* caller_;
    bool held_;
};

// Holds the connection mutex for a scope when the wait obtained it (plainly or abandoned), or
// until Release().
class ConnectionLock {
  public:
    explicit ConnectionLock(const char* caller)
        : caller_(caller),
          result_(WaitConnectionMutex(caller)),
          held_(result_ == platform::kWaitObject0 || result_ == platform::kWaitAbandoned) {}
    ~ConnectionLock() { Release(); }
    ConnectionLock(const ConnectionLock&) = delete;
    ConnectionLock& operator=(const ConnectionLock&) = delete;

    bool held() const { return held_; }
    // The wait result, for callers that report anything but plain success.
    uint32_t result() const { return result_; }
    // Gives the mutex back before the scope ends, once the table change is done.
    void Release() {
        if (!held_) return;
        held_ = false;
        ReleaseConnectionMutex(caller_);
    }

  private:
    const char* caller_;
    uint32_t result_;
    bool held_;
};
