// The supervision task and what it does each cycle.
#pragma once

#include <cstdint>

constexpr uint8_t kAllPorts = ' ';

// Re-initialises idle answering modems: one port (index below ' ') or all (' ').
void ResetPassiveModems(uint8_t port);
// Ends connections whose carrier is gone or whose connect time limit has passed.
void CheckConnections();
// Watches the answering modems for rings and answered calls.
void CheckIncomingCalls();
// Identifies the station on port `index`: 0 with its VPI and address, or 1.
int GetStationAddress(uint8_t index, uint8_t* vpi, uint8_t* address);
// Starts the supervision thread: 0, or 1 when it could not be started.
uint16_t StartTasks();
// The thread's body.
void Task();
