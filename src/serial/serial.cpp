// Serial primitives over the platform seam. Every operation here is synchronous, takes no lock
// and keeps no state besides the device's own; a null handle is "not open" and fails cleanly.
#include "serial/serial.h"

#include "korva/zunpro.h"

namespace {

constexpr uint32_t kOpenReadTimeoutMs = 1000;
constexpr uint32_t kQueueBytes = 1200;
constexpr int32_t kPurgeReadTimeout = 5;  // 50 ms
constexpr uint32_t kPurgeBlock = 512;
constexpr unsigned kPurgeBlockLimit = 128;
// The largest read time-out, in 10 ms units, whose milliseconds fit the device's 32-bit field.
constexpr int32_t kMaxReadTimeout = static_cast<int32_t>(UINT32_MAX / 10);

int32_t Units(uint32_t ms) {
    return static_cast<int32_t>(ms / 10);
}

}  // namespace

void ApplyLineSettings(platform::Dcb& dcb, uint32_t baudRate, uint16_t dataBits, uint16_t stopBits,
                       uint16_t parity, uint16_t options) {
    dcb.baudRate = baudRate;
    // Only the low byte of the three codes is meaningful.
    dcb.byteSize = static_cast<uint8_t>(dataBits & 0xFF);
    dcb.parity = static_cast<uint8_t>(parity & 0xFF);
    dcb.stopBits = static_cast<uint8_t>(stopBits & 0xFF);
    dcb.fBinary = true;
    dcb.fParity = true;
    dcb.fOutxCtsFlow = false;
    dcb.fOutxDsrFlow = false;
    if (options & 0x0101)
        dcb.fDtrControl = platform::kDtrControlEnable;
    else if (options & 0x8000)
        dcb.fDtrControl = platform::kDtrControlHandshake;
    else
        dcb.fDtrControl = platform::kDtrControlDisable;
    dcb.fDsrSensitivity = false;
    dcb.fOutX = false;
    dcb.fInX = false;
    dcb.fErrorChar = false;
    dcb.fNull = false;
    if (options & 0x0202)
        dcb.fRtsControl = platform::kRtsControlEnable;
    else if (options & 0x1000)
        dcb.fRtsControl = platform::kRtsControlHandshake;
    else if (options & 0x2000)
        dcb.fRtsControl = platform::kRtsControlToggle;
    else
        dcb.fRtsControl = platform::kRtsControlDisable;
    dcb.fAbortOnError = false;
    dcb.errorChar = static_cast<char>(0xFC);
}

int ComOpen(const char* name, uint32_t baudRate, uint16_t dataBits, uint16_t stopBits,
            uint16_t parity, uint16_t options, ComHandle* handle) {
    ComHandle device = platform::SerialOpen(name);
    *handle = device;
    if (device == nullptr) return 1;
    // After the open every failure closes the device, and the caller gets no dangling handle.
    auto fail = [&](int result) {
        device->Close();
        *handle = nullptr;
        return result;
    };
    platform::Dcb dcb;
    if (!device->GetState(dcb)) return fail(4);
    platform::CommTimeouts timeouts;
    timeouts.readTotalTimeoutConstant = kOpenReadTimeoutMs;
    if (!device->SetTimeouts(timeouts)) return fail(1);
    ApplyLineSettings(dcb, baudRate, dataBits, stopBits, parity, options);
    if (!device->SetState(dcb)) return fail(5);
    device->Setup(kQueueBytes, kQueueBytes);  // advisory; its result does not matter
    return 0;
}

ComHandle MMOpenCom(const PortEntry& port) {
    ComHandle handle = nullptr;
    if (ComOpen(port.deviceName, port.baudRate, port.dataBits, port.stopBits, port.parity,
                port.options, &handle) != 0)
        return nullptr;
    return handle;
}

int ComClose(ComHandle handle) {
    if (handle == nullptr || !handle->Close()) return 7;
    return 0;
}

int MMCloseCom(uint8_t index) {
    int com = index + 1;
    if (index >= kPortCount || ComClose(Ports[index].device.load()) != 0) {
        err(kLog, "KORVA: MMCloseCom() failed to close COM%d !", com);
        return 2;
    }
    Ports[index].device.store(nullptr);
    err(kLog, "KORVA: MMCloseCom() COM%d closed successfully", com);
    return 0;
}

int32_t ComSetReadTimeout(ComHandle handle, int32_t timeout) {
    platform::CommTimeouts timeouts;
    if (handle == nullptr || !handle->GetTimeouts(timeouts)) return 0;
    // A negative time-out, or one whose milliseconds overflow the device's field, would wrap
    // into some unrelated span; it is refused like a failed write and nothing changes.
    if (timeout < 0 || timeout > kMaxReadTimeout) return 0;
    uint32_t previous = timeouts.readTotalTimeoutConstant;
    uint32_t ms = static_cast<uint32_t>(timeout) * 10;
    if (ms == previous) return Units(previous);
    timeouts.readTotalTimeoutConstant = ms;
    if (!handle->SetTimeouts(timeouts)) return 0;
    return Units(previous);
}

int ComPurgeInput(ComHandle handle) {
    uint32_t queued = 0;
    if (handle != nullptr && handle->ClearError(&queued) && queued == 0) return 0;
    int32_t previous = ComSetReadTimeout(handle, kPurgeReadTimeout);
    uint8_t scratch[kPurgeBlock];
    uint32_t received = 0;
    int result = 0;
    // A line that never stops sending (a fast modem stuck in a data stream) would keep a purge
    // going for ever; 64 KiB is far more than any reply, and the purge ends there.
    unsigned blocks = 0;
    do {
        result = ComRead(handle, scratch, kPurgeBlock, &received);
    } while (result == 0 && received == kPurgeBlock && ++blocks < kPurgeBlockLimit);
    // 0 cannot be told from a failed read of the time-outs, so it is not put back.
    if (previous != 0) ComSetReadTimeout(handle, previous);
    return result != 0 ? 1 : 0;
}

int ComWrite(ComHandle handle, const void* data, uint32_t count, uint32_t* written) {
    uint32_t done = 0;
    if (handle == nullptr || !handle->Write(data, count, &done)) return 7;
    if (written != nullptr) *written = done;
    return done == count ? 0 : 2;
}

int ComRead(ComHandle handle, void* buffer, uint32_t count, uint32_t* received) {
    if (received != nullptr) *received = 0;
    // One request asks for at most 65535 bytes; a count of 0 (mod 65536) asks for nothing.
    uint32_t request = count & 0xFFFF;
    if (request == 0 || handle == nullptr) return 7;
    uint32_t got = 0;
    if (!handle->Read(buffer, request, &got) || got == 0) return 7;
    if (received != nullptr) *received = got;
    return 0;
}

int ComWriteAll(const void* data, uint32_t count, ComHandle handle) {
    return ComWrite(handle, data, count, nullptr) == 0 ? 0 : 2;
}

int ComReadAll(void* buffer, uint32_t expected, ComHandle handle) {
    uint32_t received = 0;
    if (ComRead(handle, buffer, expected, &received) != 0 || received != expected) return 1;
    return 0;
}

uint8_t GetModemSignals(uint8_t index, char selector) {
    // The driver raises DTR and RTS when it configures a port and does not track them after.
    if (selector == 'f') return kSigDTR | kSigRTS;
    if (index >= kPortCount) return 0;
    ComHandle handle = Ports[index].device.load();
    uint32_t status = 0;
    // A port without a device, or whose status cannot be read, shows no input signals.
    if (handle == nullptr || !handle->GetModemStatus(&status)) return 0;
    uint8_t signals = 0;
    if (status & platform::kMsCtsOn) signals |= kSigCTS;
    if (status & platform::kMsDsrOn) signals |= kSigDSR;
    if (status & platform::kMsRingOn) signals |= kSigRIN;
    if (status & platform::kMsRlsdOn) signals |= kSigDCD;
    return signals;
}
