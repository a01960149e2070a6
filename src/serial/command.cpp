#include "serial/command.h"

#include <cstdio>

#include "serial/modem.h"

bool SendCommand(ComHandle handle, const char* text, int32_t timeout) {
    char command[256];
    std::snprintf(command, sizeof command, "%s\r", text);
    ComPurgeInput(handle);
    ComSetReadTimeout(handle, timeout);
    return ModemCommand(command, 1, handle) == kModemAccepted;
}
