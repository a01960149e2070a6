// A port defined as the initialisation file's COM line would define it, for the fixtures that
// put simulated modems on the pool.
#pragma once

#include <cstdint>
#include <cstdio>

#include "host/state.h"

enum class Direction { kIn, kOut, kInOut };

// "COM n = I|O|IO 2400 , N , 8 , 1 [vpi]" for port `index` (COM index + 1).
inline void DefineModemPort(uint8_t index, Direction direction, uint16_t vpi = 0) {
    PortEntry& port = Ports[index];
    const unsigned com = index + 1u;
    std::snprintf(port.deviceName, sizeof port.deviceName, com <= 9 ? "COM%u" : "//./COM%u", com);
    port.baudRate = 2400;
    port.dataBits = 8;
    port.stopBits = 0;
    port.parity = 0;
    port.options = 0x0303;
    uint32_t flags = kDEF;
    if (direction != Direction::kOut) flags |= kINP;
    if (direction != Direction::kIn) flags |= kOUT;
    port.flags.fetch_or(flags);
    port.dedicatedVpi = vpi;
}
