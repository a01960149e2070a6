// Port locks, the connection table and the choice of a dial-out modem.
#pragma once

#include <cstdint>

// Takes port `index`'s mutex (recursive) for at most 7500 ms; 0 = held, non-zero = not held.
uint32_t LockPort(uint8_t index, const char* caller);
// Releases one hold; 0, or 1 when the release failed.
int UnlockPort(uint8_t index, const char* caller);

// The connection mutex, with the messages naming `caller` ("AddConnection()", ...).
// Returns the wait result (platform::kWaitObject0, kWaitAbandoned, kWaitTimeout, kWaitFailed).
uint32_t WaitConnectionMutex(const char* caller);
void ReleaseConnectionMutex(const char* caller);

// Allocates an entry: kind 2 incoming, else outgoing. 0 and the reference, or 1 (table full).
int AddConnection(int kind, uint8_t port, uint8_t vpi, uint8_t plc, uint16_t* reference);
// Frees entry `reference` (below 255).
void DeleteConnection(uint16_t reference);

// Reserves a dial-out port for a dial entry of VPI `vpi`, starting at *start; 0 and the port in
// *start, or 11.
int GetFreeModem(uint8_t* start, uint16_t vpi);
