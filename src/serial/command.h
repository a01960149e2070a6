// The exchange every modem initialisation and reset uses.
#pragma once

#include <cstdint>

#include "serial/serial.h"

// Discards pending input, sets the read time-out (10 ms units) and sends `text` followed by
// "\r" in the expect-OK mode; true when the modem accepted it.
bool SendCommand(ComHandle handle, const char* text, int32_t timeout);
