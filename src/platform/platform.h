// The only door from the driver to the operating system.
//
// The driver's procedures see the shapes below and nothing else: a serial device with a DCB-like
// settings record and COMMTIMEOUTS-like time-outs, named recursive mutexes with the four wait
// outcomes, one thread, sleeps, a clock in seconds and a tone. Backends live in the folders under
// this one (posix, rfc2217) and in sim/ for the simulated modem bank.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// ---------------------------------------------------------------------------------------------
// Time. Every pause, tone, mutex wait and serial read time-out is multiplied by one factor, read
// from KORVA_TIME_SCALE, so that tests can run the driver's second-long pauses in milliseconds.

double TimeScale();
// Reads a factor as KORVA_TIME_SCALE gives it: a positive decimal number, nothing else.
bool ParseTimeScale(const char* text, double* factor);
// For tests and tools: replaces the factor (must be positive; otherwise ignored).
void SetTimeScale(double factor);
// Milliseconds of driver time as real milliseconds (rounded up, so a pause never vanishes).
uint64_t ScaledMs(uint64_t driverMs);
// Real nanoseconds for a span of driver milliseconds.
uint64_t ScaledNs(uint64_t driverMs);
// Pause for `ms` milliseconds of driver time.
void SleepMs(uint32_t ms);
// The clock in whole seconds of driver time; monotonic, so a wall-clock jump never ends or
// prolongs a connection.
uint32_t ClockSeconds();
// A monotonic clock in real nanoseconds, for deadlines inside backends.
uint64_t MonotonicNs();

// ---------------------------------------------------------------------------------------------
// Thread: starts `body` on a detached thread with at least `stackBytes` of stack.
bool StartThread(void (*body)(), std::size_t stackBytes);
// Waits at most `realMs` real milliseconds until every thread StartThread began has ended; true
// when they all have. For tests and tools that end the process after stopping the driver: a
// thread still ending while the process exits can bring the process down with it.
bool WaitThreadsEnded(uint32_t realMs);

// ---------------------------------------------------------------------------------------------
// Tone: sounds `hz` for `ms` (driver time) and returns when it has ended. There is no reachable
// speaker on the machines we run on, so the tone is silent; an observer sees every tone.
using ToneObserver = void (*)(uint32_t hz, uint32_t ms);
void Beep(uint32_t hz, uint32_t ms);
void SetToneObserver(ToneObserver observer);

// ---------------------------------------------------------------------------------------------
// Named mutexes: recursive, with a timed wait, shared by every process that opens the same name.
// The wait results are those of the original platform's wait call.
constexpr uint32_t kWaitObject0 = 0;           // acquired
constexpr uint32_t kWaitAbandoned = 0x80;      // acquired; the previous holder died holding it
constexpr uint32_t kWaitTimeout = 258;         // not acquired within the bound
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;  // the wait itself failed; see the error number

struct NamedMutex;
// Creates the mutex of that name or opens the existing one; nullptr and *error on failure.
NamedMutex* MutexOpen(const char* name, uint32_t* error);
// Waits at most `timeoutMs` (driver time) for the mutex. On kWaitFailed, *error is set.
uint32_t MutexWait(NamedMutex* mutex, uint32_t timeoutMs, uint32_t* error);
// Releases one hold; false and *error when the caller does not hold it.
bool MutexRelease(NamedMutex* mutex, uint32_t* error);
// For tests: mutex names get this prefix so parallel test processes do not share them.
// Read from KORVA_MUTEX_NAMESPACE at the first open; empty by default.
void SetMutexNamespace(const char* prefix);
// For tests: removes the shared objects behind every mutex this process opened.
void MutexUnlinkAll();

// ---------------------------------------------------------------------------------------------
// Serial devices.

// The settings record, with the fields and codes of the original platform's DCB.
enum : uint8_t {
    kNoParity = 0,
    kOddParity = 1,
    kEvenParity = 2,
    kMarkParity = 3,
    kSpaceParity = 4
};
enum : uint8_t { kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2 };
enum : uint8_t { kDtrControlDisable = 0, kDtrControlEnable = 1, kDtrControlHandshake = 2 };
enum : uint8_t {
    kRtsControlDisable = 0,
    kRtsControlEnable = 1,
    kRtsControlHandshake = 2,
    kRtsControlToggle = 3
};

struct Dcb {
    uint32_t baudRate = 0;
    uint8_t byteSize = 8;
    uint8_t parity = kNoParity;
    uint8_t stopBits = kOneStopBit;
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    uint8_t fDtrControl = kDtrControlEnable;
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = false;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    uint8_t fRtsControl = kRtsControlEnable;
    bool fAbortOnError = false;
    uint16_t xonLim = 0;
    uint16_t xoffLim = 0;
    char xonChar = 0x11;
    char xoffChar = 0x13;
    char errorChar = 0;
    char eofChar = 0;
    char evtChar = 0;
};

// Time-outs in milliseconds, as the original platform's COMMTIMEOUTS. The driver uses only the
// total read constant; with the interval and multiplier 0 a read ends when the requested count
// has arrived or the constant has passed since it began; 0 means no limit.
struct CommTimeouts {
    uint32_t readIntervalTimeout = 0;
    uint32_t readTotalTimeoutMultiplier = 0;
    uint32_t readTotalTimeoutConstant = 0;
    uint32_t writeTotalTimeoutMultiplier = 0;
    uint32_t writeTotalTimeoutConstant = 0;
};

// Modem status bits, as the original platform reports them.
constexpr uint32_t kMsCtsOn = 0x10;
constexpr uint32_t kMsDsrOn = 0x20;
constexpr uint32_t kMsRingOn = 0x40;
constexpr uint32_t kMsRlsdOn = 0x80;

// Escape functions.
constexpr int kSetRts = 3;
constexpr int kClrRts = 4;
constexpr int kSetDtr = 5;
constexpr int kClrDtr = 6;

// One open serial device. Every call is synchronous and reports success as true; reads honour the
// time-outs in force (scaled by the time factor) and return as soon as the count has arrived.
class SerialDevice {
  public:
    virtual bool GetState(Dcb& dcb) = 0;
    virtual bool SetState(const Dcb& dcb) = 0;
    virtual bool GetTimeouts(CommTimeouts& timeouts) = 0;
    virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
    virtual bool Setup(uint32_t inQueue, uint32_t outQueue) = 0;
    // Reads up to `count` bytes; *received is the number that arrived (0 after a time-out, which
    // still counts as success, as on the original platform).
    virtual bool Read(void* buffer, uint32_t count, uint32_t* received) = 0;
    virtual bool Write(const void* data, uint32_t count, uint32_t* written) = 0;
    // Clears pending line errors and reports the number of bytes in the input queue.
    virtual bool ClearError(uint32_t* inQueue) = 0;
    virtual bool GetModemStatus(uint32_t* status) = 0;
    virtual bool Escape(int function) = 0;
    // Closes the device; the object is not used again after a successful close.
    virtual bool Close() = 0;

  protected:
    ~SerialDevice() = default;
};

// A backend that can open devices by the driver's device name ("COM3", "//./COM12").
// Returns nullptr when it does not serve the name or the open failed; *served tells which.
using SerialOpener = SerialDevice* (*)(const char* name, bool* served, void* context);

// Opens a device: an installed opener (tests, the simulated bank) gets the first try; otherwise
// the device map decides between a local tty and a network serial port.
SerialDevice* SerialOpen(const char* name);
// Installs (or with nullptr removes) the opener that is asked first.
void SetSerialOpener(SerialOpener opener, void* context);

// The COM number of a driver device name: 3 for "COM3", 12 for "//./COM12"; 0 if none.
unsigned ComNumber(const char* name);

}  // namespace platform
