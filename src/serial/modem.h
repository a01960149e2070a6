// The Hayes command dialogue and the hang-up.
#pragma once

#include <cstdint>

#include "serial/serial.h"

enum : int { kModemAccepted = 0, kModemNotWritten = 3, kModemRejected = 4 };

// Sends `command` (already ended by "\r", or "+++"), consumes its echo and judges the reply.
// Mode non-zero: the reply must hold "OK". Mode 0: dial command ("ATDT") or escape ("+++").
int ModemCommand(const char* command, uint8_t mode, ComHandle handle);
// Escape, "ATH0", a 200 ms DTR drop and two purges, on port `index`'s device.
void HangUpModem(uint8_t index);
