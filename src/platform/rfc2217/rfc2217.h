// A serial port on a network device server, reached with RFC 2217 over TCP.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace platform {

// Opens "rfc2217://host:port" (host: a name, an IPv4 address or an IPv6 address in brackets).
// Returns nullptr on a malformed URL, when the connection is refused or not made within the open
// time-out, when the server refuses COM-PORT-OPTION, and when all device slots are taken.
SerialDevice* Rfc2217Open(const char* url);

// Devices that can be open at the same time.
constexpr unsigned kRfc2217Devices = 32;

// The bound on connecting and negotiating, in real milliseconds (3000 by default). It is not
// scaled by the time factor: the network does not run faster in tests. For tests only.
void Rfc2217SetOpenTimeoutMs(uint32_t realMs);

}  // namespace platform
