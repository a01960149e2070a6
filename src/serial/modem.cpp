// The Hayes command dialogue: write a command, consume its echo, judge the verbose result code and
// leave the line's input empty; and the hang-up that brings a modem on-hook from any state.
#include "serial/modem.h"

#include <cstring>

namespace {

constexpr uint32_t kMaxCommand = 256;  // the reply buffer holds the echo of the longest command
constexpr uint32_t kOkReplyBytes = 6;  // CR LF O K CR LF
constexpr uint32_t kDialReplyBytes = 16;
constexpr int32_t kDrainTimeout = 250;  // 2500 ms
constexpr unsigned kDrainLimit = 256;
constexpr uint32_t kEscapeGuardMs = 1500;
constexpr uint32_t kDtrDropMs = 200;
constexpr uint32_t kDtrSettleMs = 250;

// Reads the rest of a reply line one byte at a time, up to its line feed or until nothing more
// comes within the drain time-out. At least one byte is always asked for. A reply line is short;
// a line that sends without end is drained no further than one reply buffer, so that a garbled
// modem cannot hold the calling thread for ever.
void DrainReplyLine(ComHandle handle) {
    ComSetReadTimeout(handle, kDrainTimeout);
    char byte = 0;
    uint32_t received = 0;
    for (unsigned count = 0; count < kDrainLimit; ++count) {
        if (ComRead(handle, &byte, 1, &received) != 0 || byte == '\n') return;
    }
}

}  // namespace

int ModemCommand(const char* command, uint8_t mode, ComHandle handle) {
    uint32_t len = static_cast<uint32_t>(std::strlen(command));
    // An echo longer than the reply buffer cannot be consumed; such a command is refused before
    // anything goes to the modem, as if it could not be written.
    if (len > kMaxCommand) return kModemNotWritten;
    uint32_t written = 0;
    if (ComWrite(handle, command, len, &written) != 0 || written < len) return kModemNotWritten;

    // One byte more than the longest echo, so the buffer always ends in NUL for the searches.
    char reply[kMaxCommand + 1] = {};
    uint32_t received = 0;
    if (ComRead(handle, reply, len, &received) != 0) return kModemRejected;

    bool accepted = false;
    if (mode != 0) {
        std::memset(reply, 0, sizeof reply);
        if (ComRead(handle, reply, kOkReplyBytes, &received) == 0) {
            accepted = std::strstr(reply, "OK") != nullptr;
            DrainReplyLine(handle);
        } else {
            accepted = true;  // echoed, and no result code: the modem took the command
        }
    } else if (std::strstr(command, "ATDT") != nullptr) {
        std::memset(reply, 0, sizeof reply);
        received = 0;
        ComRead(handle, reply, kDialReplyBytes, &received);
        accepted = received > 2 && std::strstr(reply, "CONNECT") != nullptr;
        if (received > 0 && reply[received - 1] != '\n') DrainReplyLine(handle);
    } else if (std::strstr(command, "+++") != nullptr) {
        accepted = true;
    }
    ComPurgeInput(handle);
    return accepted ? kModemAccepted : kModemRejected;
}

void HangUpModem(uint8_t index) {
    if (index >= kPortCount) return;
    ComHandle handle = Ports[index].device.load();
    // A port without a device has no modem to hang up.
    if (handle == nullptr) return;
    ComPurgeInput(handle);
    ComSetReadTimeout(handle, Settings.modemCommandTimeout);
    ModemCommand("+++", 0, handle);
    platform::SleepMs(kEscapeGuardMs);
    ModemCommand("ATH0\r", 1, handle);
    handle->Escape(platform::kClrDtr);
    platform::SleepMs(kDtrDropMs);
    handle->Escape(platform::kSetDtr);
    platform::SleepMs(kDtrSettleMs);
    ComPurgeInput(handle);
}
