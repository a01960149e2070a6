// Serial primitives: opening a port entry's device with the driver's line settings, reads and
// writes under the device's read time-out (10 ms units), purging input and the modem signals.
#pragma once

#include <cstdint>

#include "host/state.h"
#include "platform/platform.h"

using ComHandle = platform::SerialDevice*;  // nullptr = none

// Modem signal byte.
enum : uint8_t {
    kSigDTR = 0x01,
    kSigRTS = 0x02,
    kSigCTS = 0x10,
    kSigDSR = 0x20,
    kSigRIN = 0x40,
    kSigDCD = 0x80,
};

// Opens and configures the entry's device; the handle, or nullptr. Logs nothing.
ComHandle MMOpenCom(const PortEntry& port);
// Closes port `index`'s device: 0 closed (handle none), 2 the close failed (handle kept).
int MMCloseCom(uint8_t index);

// 0 opened; 1 not opened or time-outs not set; 4 settings not read; 5 settings not applied.
int ComOpen(const char* name, uint32_t baudRate, uint16_t dataBits, uint16_t stopBits,
            uint16_t parity, uint16_t options, ComHandle* handle);
// 0 closed, 7 the close failed.
int ComClose(ComHandle handle);
// The previous read time-out in 10 ms units, or 0 when the time-outs could not be read/written.
int32_t ComSetReadTimeout(ComHandle handle, int32_t timeout);
// 0 done, 1 a read failed while discarding.
int ComPurgeInput(ComHandle handle);
// 0 all written, 2 fewer written, 7 the write failed. `written` may be null.
int ComWrite(ComHandle handle, const void* data, uint32_t count, uint32_t* written);
// 0 at least one byte, 7 nothing or failed. `count` is taken modulo 65536. `received` may be
// null; it is 0 after a failure.
int ComRead(ComHandle handle, void* buffer, uint32_t count, uint32_t* received);
// 0 exactly count bytes written, else 2.
int ComWriteAll(const void* data, uint32_t count, ComHandle handle);
// 0 exactly the expected count received, else 1.
int ComReadAll(void* buffer, uint32_t expected, ComHandle handle);
// Selector 'f': the output pair (always 0x03); anything else ('g'): the input signals.
uint8_t GetModemSignals(uint8_t index, char selector);

// The settings ComOpen applies to the DCB read from the device (exposed for tests).
void ApplyLineSettings(platform::Dcb& dcb, uint32_t baudRate, uint16_t dataBits,
                       uint16_t stopBits, uint16_t parity, uint16_t options);
