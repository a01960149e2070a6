#include "serial/command.h"

#include <cstdio>

#include "serial/modem.h"

namespace {

// A stored command holds up to 255 characters; with its carriage return and the terminating NUL
// it needs two bytes more, or the longest would go out without its "\r" and never be executed.
constexpr size_t kLongestStoredCommand = 255;

}  // namespace

bool SendCommand(ComHandle handle, const char* text, int32_t timeout) {
    char command[kLongestStoredCommand + 2];
    std::snprintf(command, sizeof command, "%s\r", text);
    ComPurgeInput(handle);
    ComSetReadTimeout(handle, timeout);
    return ModemCommand(command, 1, handle) == kModemAccepted;
}
