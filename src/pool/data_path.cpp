// Moving bytes over a connection's line: send, receive, read time-out and flush. No lock is
// taken: each call is one serial operation on the connection's port.
#include "host/state.h"
#include "korva/korva.h"
#include "pool/driver_state.h"
#include "pool/pool.h"
#include "serial/serial.h"

namespace {

// The checks common to the four data functions; on success `handle` is the line's device.
int32_t FindLine(uint32_t reference, ComHandle* handle) {
    if (int32_t status = CheckDriverState(); status != KORVA_STATUS_OK) return status;
    const uint16_t index = static_cast<uint16_t>(reference);  // only the low 16 bits count
    if (index >= kNoReference) return KORVA_STATUS_BAD_REFERENCE;
    const ConnectionEntry& entry = Connections[index];
    const uint32_t flags = entry.flags;
    if ((flags & kConnUsed) == 0) return KORVA_STATUS_BAD_REFERENCE;
    const uint8_t port = entry.port;
    if ((flags & kConnConnected) == 0 || port >= kPortCount) return KORVA_STATUS_NOT_CONNECTED;
    *handle = Ports[port].device;
    // A port closed under a connection that still looks connected has no line to use.
    return *handle != nullptr ? KORVA_STATUS_OK : KORVA_STATUS_IO_FAILED;
}

}  // namespace

extern "C" {

KORVA_EXPORT int32_t KORVA_Send(uint32_t reference, const void* data, int32_t count) {
    ComHandle handle = nullptr;
    if (int32_t status = FindLine(reference, &handle); status != KORVA_STATUS_OK) return status;
    // A negative count cannot be written; it fails rather than being taken as a huge one.
    if (count < 0) return KORVA_STATUS_IO_FAILED;
    uint32_t written = 0;
    const auto wanted = static_cast<uint32_t>(count);
    if (ComWrite(handle, data, wanted, &written) != 0 || written != wanted)
        return KORVA_STATUS_IO_FAILED;
    return KORVA_STATUS_OK;
}

KORVA_EXPORT int32_t KORVA_Receive(uint32_t reference, void* buffer, int32_t count,
                                   int32_t* received) {
    if (received != nullptr) *received = 0;
    ComHandle handle = nullptr;
    if (int32_t status = FindLine(reference, &handle); status != KORVA_STATUS_OK) return status;
    // A negative count would be taken as up to 65535 bytes, more than the caller's buffer.
    if (count < 0) return KORVA_STATUS_IO_FAILED;
    uint32_t got = 0;
    const int rc = ComRead(handle, buffer, static_cast<uint32_t>(count), &got);
    if (received != nullptr) *received = static_cast<int32_t>(got);
    return rc == 0 ? KORVA_STATUS_OK : KORVA_STATUS_IO_FAILED;
}

KORVA_EXPORT int32_t KORVA_Timeout(uint32_t reference, int32_t timeout) {
    ComHandle handle = nullptr;
    if (int32_t status = FindLine(reference, &handle); status != KORVA_STATUS_OK) return status;
    return ComSetReadTimeout(handle, timeout) != 0 ? KORVA_STATUS_OK : KORVA_STATUS_IO_FAILED;
}

KORVA_EXPORT int32_t KORVA_Flush(uint32_t reference) {
    ComHandle handle = nullptr;
    if (int32_t status = FindLine(reference, &handle); status != KORVA_STATUS_OK) return status;
    // DTR and RTS are held raised and DSR sensitivity off while the input is discarded; for a
    // port the driver configured, that is the state already in force.
    platform::Dcb saved;
    const bool haveState = handle->GetState(saved);
    if (haveState) {
        platform::Dcb working = saved;
        working.fDsrSensitivity = false;
        working.fDtrControl = platform::kDtrControlEnable;
        working.fRtsControl = platform::kRtsControlEnable;
        handle->SetState(working);
    }
    ComPurgeInput(handle);
    if (haveState) handle->SetState(saved);
    return KORVA_STATUS_OK;
}

}  // extern "C"
