// Serial devices on Windows: the communications functions on a handle from CreateFileA.
//
// The driver's device names ("COM3", "//./COM12") go to CreateFileA unchanged. A device map
// directory (KORVA_DEVICE_DIR) may name a network serial port for COMn instead, as on POSIX:
// a file COMn whose first line is an "rfc2217://host:port" URL.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "platform/rfc2217/rfc2217.h"

namespace platform {
namespace {

constexpr std::size_t kDeviceCount = 64;  // 32 ports, each may be reopened while one closes

// Real milliseconds for one COMMTIMEOUTS field: 0 (no limit) and MAXDWORD (return at once, in
// the interval) keep their meaning; every other value is scaled and never becomes 0.
DWORD ScaledField(uint32_t driverMs) {
    if (driverMs == 0 || driverMs == MAXDWORD) return driverMs;
    const uint64_t real = ScaledMs(driverMs);
    if (real == 0) return 1;
    return real >= MAXDWORD ? MAXDWORD - 1 : static_cast<DWORD>(real);
}

void ToDcb(const Dcb& from, DCB& to) {
    to.BaudRate = from.baudRate;
    to.fBinary = from.fBinary ? 1 : 0;
    to.fParity = from.fParity ? 1 : 0;
    to.fOutxCtsFlow = from.fOutxCtsFlow ? 1 : 0;
    to.fOutxDsrFlow = from.fOutxDsrFlow ? 1 : 0;
    to.fDtrControl = from.fDtrControl;
    to.fDsrSensitivity = from.fDsrSensitivity ? 1 : 0;
    to.fTXContinueOnXoff = from.fTXContinueOnXoff ? 1 : 0;
    to.fOutX = from.fOutX ? 1 : 0;
    to.fInX = from.fInX ? 1 : 0;
    to.fErrorChar = from.fErrorChar ? 1 : 0;
    to.fNull = from.fNull ? 1 : 0;
    to.fRtsControl = from.fRtsControl;
    to.fAbortOnError = from.fAbortOnError ? 1 : 0;
    to.XonLim = from.xonLim;
    to.XoffLim = from.xoffLim;
    to.ByteSize = from.byteSize;
    to.Parity = from.parity;
    to.StopBits = from.stopBits;
    to.XonChar = from.xonChar;
    to.XoffChar = from.xoffChar;
    to.ErrorChar = from.errorChar;
    to.EofChar = from.eofChar;
    to.EvtChar = from.evtChar;
}

void FromDcb(const DCB& from, Dcb& to) {
    to.baudRate = from.BaudRate;
    to.fBinary = from.fBinary != 0;
    to.fParity = from.fParity != 0;
    to.fOutxCtsFlow = from.fOutxCtsFlow != 0;
    to.fOutxDsrFlow = from.fOutxDsrFlow != 0;
    to.fDtrControl = static_cast<uint8_t>(from.fDtrControl);
    to.fDsrSensitivity = from.fDsrSensitivity != 0;
    to.fTXContinueOnXoff = from.fTXContinueOnXoff != 0;
    to.fOutX = from.fOutX != 0;
    to.fInX = from.fInX != 0;
    to.fErrorChar = from.fErrorChar != 0;
    to.fNull = from.fNull != 0;
    to.fRtsControl = static_cast<uint8_t>(from.fRtsControl);
    to.fAbortOnError = from.fAbortOnError != 0;
    to.xonLim = from.XonLim;
    to.xoffLim = from.XoffLim;
    to.byteSize = from.ByteSize;
    to.parity = from.Parity;
    to.stopBits = from.StopBits;
    to.xonChar = from.XonChar;
    to.xoffChar = from.XoffChar;
    to.errorChar = from.ErrorChar;
    to.eofChar = from.EofChar;
    to.evtChar = from.EvtChar;
}

class CommDevice final : public SerialDevice {
  public:
    bool Claim() {
        bool expected = false;
        return used_.compare_exchange_strong(expected, true);
    }
    void Release() { used_.store(false); }

    void Attach(HANDLE handle) {
        std::lock_guard<std::mutex> guard(lock_);
        timeouts_ = CommTimeouts{};
        handle_.store(handle);
    }

    bool GetState(Dcb& dcb) override {
        HANDLE handle = handle_.load();
        DCB state{};
        state.DCBlength = sizeof state;
        if (handle == INVALID_HANDLE_VALUE || !GetCommState(handle, &state)) return false;
        dcb = Dcb{};
        FromDcb(state, dcb);
        return true;
    }

    // The fields the record does not carry (wReserved and the like) keep the device's values.
    bool SetState(const Dcb& dcb) override {
        HANDLE handle = handle_.load();
        DCB state{};
        state.DCBlength = sizeof state;
        if (handle == INVALID_HANDLE_VALUE || !GetCommState(handle, &state)) return false;
        ToDcb(dcb, state);
        return SetCommState(handle, &state) != 0;
    }

    // The driver's own values are kept and reported back; the device gets them scaled.
    bool GetTimeouts(CommTimeouts& timeouts) override {
        if (handle_.load() == INVALID_HANDLE_VALUE) return false;
        std::lock_guard<std::mutex> guard(lock_);
        timeouts = timeouts_;
        return true;
    }

    bool SetTimeouts(const CommTimeouts& timeouts) override {
        HANDLE handle = handle_.load();
        if (handle == INVALID_HANDLE_VALUE) return false;
        COMMTIMEOUTS real{};
        real.ReadIntervalTimeout = ScaledField(timeouts.readIntervalTimeout);
        real.ReadTotalTimeoutMultiplier = ScaledField(timeouts.readTotalTimeoutMultiplier);
        real.ReadTotalTimeoutConstant = ScaledField(timeouts.readTotalTimeoutConstant);
        real.WriteTotalTimeoutMultiplier = ScaledField(timeouts.writeTotalTimeoutMultiplier);
        real.WriteTotalTimeoutConstant = ScaledField(timeouts.writeTotalTimeoutConstant);
        std::lock_guard<std::mutex> guard(lock_);
        if (!SetCommTimeouts(handle, &real)) return false;
        timeouts_ = timeouts;
        return true;
    }

    bool Setup(uint32_t inQueue, uint32_t outQueue) override {
        HANDLE handle = handle_.load();
        return handle != INVALID_HANDLE_VALUE && SetupComm(handle, inQueue, outQueue) != 0;
    }

    bool Read(void* buffer, uint32_t count, uint32_t* received) override {
        *received = 0;
        HANDLE handle = handle_.load();
        DWORD got = 0;
        if (handle == INVALID_HANDLE_VALUE || !ReadFile(handle, buffer, count, &got, nullptr))
            return false;
        *received = got;
        return true;
    }

    bool Write(const void* data, uint32_t count, uint32_t* written) override {
        *written = 0;
        HANDLE handle = handle_.load();
        DWORD done = 0;
        if (handle == INVALID_HANDLE_VALUE || !WriteFile(handle, data, count, &done, nullptr))
            return false;
        *written = done;
        return true;
    }

    bool ClearError(uint32_t* inQueue) override {
        HANDLE handle = handle_.load();
        DWORD errors = 0;
        COMSTAT status{};
        if (handle == INVALID_HANDLE_VALUE || !ClearCommError(handle, &errors, &status))
            return false;
        *inQueue = status.cbInQue;
        return true;
    }

    bool GetModemStatus(uint32_t* status) override {
        HANDLE handle = handle_.load();
        DWORD bits = 0;
        if (handle == INVALID_HANDLE_VALUE || !GetCommModemStatus(handle, &bits)) return false;
        *status = bits;
        return true;
    }

    // The escape codes of the record are the system's own (SETRTS 3 .. CLRDTR 6).
    bool Escape(int function) override {
        HANDLE handle = handle_.load();
        return handle != INVALID_HANDLE_VALUE &&
               EscapeCommFunction(handle, static_cast<DWORD>(function)) != 0;
    }

    // CloseHandle gives the handle up whatever it reports, so a device that was open always
    // closes; only a device that is not open reports failure.
    bool Close() override {
        HANDLE handle = handle_.exchange(INVALID_HANDLE_VALUE);
        if (handle == INVALID_HANDLE_VALUE) return false;
        CloseHandle(handle);
        Release();
        return true;
    }

  private:
    std::atomic<bool> used_{false};
    std::atomic<HANDLE> handle_{INVALID_HANDLE_VALUE};
    std::mutex lock_;  // guards timeouts_; never held while waiting for I/O
    CommTimeouts timeouts_;
};

// Static storage: the devices exist from load time on; opening one only claims it.
CommDevice g_devices[kDeviceCount];

CommDevice* ClaimDevice() {
    for (CommDevice& device : g_devices)
        if (device.Claim()) return &device;
    return nullptr;
}

SerialDevice* OpenCommDevice(const char* name) {
    CommDevice* device = ClaimDevice();
    if (device == nullptr) return nullptr;
    HANDLE handle =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        device->Release();
        return nullptr;
    }
    device->Attach(handle);
    return device;
}

// The device map entry for a driver device name, when there is one that names a network serial
// port: its URL in `url`. Read with the file functions, which take no memory from the heap.
bool MappedNetworkUrl(const char* name, char (&url)[256]) {
    const unsigned number = ComNumber(name);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the driver never changes its environment.
    const char* dir = std::getenv("KORVA_DEVICE_DIR");
    if (number == 0 || dir == nullptr || dir[0] == '\0') return false;
    char path[MAX_PATH];
    const int length = std::snprintf(path, sizeof path, "%s\\COM%u", dir, number);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) return false;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD got = 0;
    const bool read = ReadFile(file, url, sizeof url - 1, &got, nullptr) != 0;
    CloseHandle(file);
    url[read ? got : 0] = '\0';
    url[std::strcspn(url, " \t\r\n")] = '\0';
    return std::strncmp(url, "rfc2217://", 10) == 0;
}

}  // namespace

SerialDevice* OpenMappedDevice(const char* name) {
    char url[256];
    if (MappedNetworkUrl(name, url)) return Rfc2217Open(url);
    return OpenCommDevice(name);
}

}  // namespace platform
