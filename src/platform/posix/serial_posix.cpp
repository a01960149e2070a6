// Local serial ports on POSIX: a tty in raw mode, owned exclusively, with the read time-out kept by
// the device object and honoured with ppoll.
//
// Exclusive ownership has three layers, taken in this order: a UUCP lock file, so that other
// serial programs on the machine see the port as taken; flock(LOCK_EX | LOCK_NB) on the open
// descriptor; TIOCEXCL, so that further opens of the tty fail (except for root).
//
// Modem lines: a tty without them (a pseudo-terminal) answers TIOCM* with ENOTTY or EINVAL. Such
// a line is taken to have no modem lines: raising or dropping DTR and RTS succeeds and does
// nothing, and the modem status reads as no signal at all (success, status 0), which is what a
// line without a modem presents.
#include "platform/posix/serial_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace platform {

bool SetTtySpeed(int fd, uint32_t rate);  // serial_speed.cpp
bool GetTtySpeed(int fd, uint32_t* rate);

namespace {

constexpr std::size_t kDeviceCount = 40;  // 32 ports, and room for reopening after a failure

// ---------------------------------------------------------------------------------------------
// UUCP lock files: LCK..<device base name>, holding the owner's process id as ten right-aligned
// ASCII digits and a newline.

// The owner's process id, or 0 when the file holds none that can be read.
pid_t LockOwner(const char* lockPath) {
    int fd = open(lockPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {};
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    char* end = nullptr;
    long pid = std::strtol(text, &end, 10);
    if (end == text || pid <= 0 || pid > INT_MAX) return 0;
    return static_cast<pid_t>(pid);
}

// A lock is stale when its owner no longer exists. A lock whose owner cannot be read is not
// judged stale: it may be one that another program is writing at this moment.
bool LockIsStale(const char* lockPath) {
    pid_t owner = LockOwner(lockPath);
    return owner != 0 && kill(owner, 0) != 0 && errno == ESRCH;
}

bool WriteAll(int fd, const char* text, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, text, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

enum class LockResult { Taken, NoDirectory, Refused };

LockResult TakeLockFile(const char* lockPath) {
    char text[16];
    int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    // Two attempts: the second after a stale lock has been removed.
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(lockPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            bool written = WriteAll(fd, text, static_cast<std::size_t>(length));
            close(fd);
            if (written) return LockResult::Taken;
            unlink(lockPath);
            return LockResult::Refused;
        }
        // Without a lock directory there is nobody to coordinate with; the flock and TIOCEXCL
        // that follow still keep the port to this process.
        if (errno == ENOENT) return LockResult::NoDirectory;
        if (errno != EEXIST || !LockIsStale(lockPath)) return LockResult::Refused;
        unlink(lockPath);
    }
    return LockResult::Refused;
}

// Removes the lock file if it is still ours.
void DropLockFile(const char* lockPath) {
    if (lockPath[0] != '\0' && LockOwner(lockPath) == getpid()) unlink(lockPath);
}

// ---------------------------------------------------------------------------------------------
// Line settings.

bool NoModemLines(int error) {
    return error == ENOTTY || error == EINVAL;
}

bool SetModemLine(int fd, int line, bool on) {
    int bits = line;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
    return NoModemLines(errno);
}

// Raw mode: bytes pass unchanged both ways, reads never wait in the kernel (poll waits instead),
// the carrier does not control the line (the driver's supervision reads it), and DTR drops when
// the device is closed, also when the process dies with a call up.
void MakeRaw(termios& line) {
    line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR | IUCLC);
    line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    line.c_cflag |= CLOCAL | CREAD | HUPCL;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
}

constexpr tcflag_t kFrameBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

}  // namespace

bool FrameFlags(const Dcb& dcb, uint32_t* cflag) {
    uint32_t frame = 0;
    switch (dcb.byteSize) {
        case 5:
            frame |= CS5;
            break;
        case 6:
            frame |= CS6;
            break;
        case 7:
            frame |= CS7;
            break;
        case 8:
            frame |= CS8;
            break;
        default:
            return false;
    }
    switch (dcb.parity) {
        case kNoParity:
            break;
        case kOddParity:
            frame |= PARENB | PARODD;
            break;
        case kEvenParity:
            frame |= PARENB;
            break;
        case kMarkParity:
            frame |= PARENB | CMSPAR | PARODD;
            break;
        case kSpaceParity:
            frame |= PARENB | CMSPAR;
            break;
        default:
            return false;
    }
    // A UART sends one and a half stop bits for CSTOPB with five data bits, and only then; the
    // original platform allows 1.5 only with five data bits and 2 only with more.
    switch (dcb.stopBits) {
        case kOneStopBit:
            break;
        case kOne5StopBits:
            if (dcb.byteSize != 5) return false;
            frame |= CSTOPB;
            break;
        case kTwoStopBits:
            if (dcb.byteSize == 5) return false;
            frame |= CSTOPB;
            break;
        default:
            return false;
    }
    *cflag = frame;
    return true;
}

namespace {

// This backend offers no flow control and no replacement or dropping of received bytes; a
// record that asks for any of it cannot be applied.
bool AsksForUnsupported(const Dcb& dcb) {
    return dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fOutX || dcb.fInX ||
           dcb.fErrorChar || dcb.fNull || dcb.fAbortOnError ||
           dcb.fDtrControl > kDtrControlEnable || dcb.fRtsControl > kRtsControlEnable;
}

// A device may round a rate to what its clock can make; within 3 % the line still works.
bool CloseEnough(uint32_t actual, uint32_t wanted) {
    uint64_t difference = actual > wanted ? actual - wanted : wanted - actual;
    return difference * 100 <= static_cast<uint64_t>(wanted) * 3;
}

void ReadFrame(const termios& line, Dcb& dcb) {
    switch (line.c_cflag & CSIZE) {
        case CS5:
            dcb.byteSize = 5;
            break;
        case CS6:
            dcb.byteSize = 6;
            break;
        case CS7:
            dcb.byteSize = 7;
            break;
        default:
            dcb.byteSize = 8;
            break;
    }
    if (!(line.c_cflag & PARENB))
        dcb.parity = kNoParity;
    else if (line.c_cflag & CMSPAR)
        dcb.parity = (line.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
    else
        dcb.parity = (line.c_cflag & PARODD) ? kOddParity : kEvenParity;
    if (!(line.c_cflag & CSTOPB))
        dcb.stopBits = kOneStopBit;
    else
        dcb.stopBits = dcb.byteSize == 5 ? kOne5StopBits : kTwoStopBits;
}

timespec Span(uint64_t ns) {
    return timespec{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
}

// ---------------------------------------------------------------------------------------------

class TtyDevice final : public SerialDevice {
  public:
    bool Claim() {
        bool expected = false;
        return used_.compare_exchange_strong(expected, true);
    }
    void Release() { used_.store(false); }
    char* LockPath() { return lockPath_; }

    void Attach(int fd, const termios& line) {
        std::lock_guard<std::mutex> guard(lock_);
        dcb_ = Dcb{};
        ReadFrame(line, dcb_);
        timeouts_ = CommTimeouts{};
        fd_.store(fd);
    }

    bool GetState(Dcb& dcb) override {
        int fd = fd_.load();
        termios line{};
        uint32_t rate = 0;
        if (fd < 0 || tcgetattr(fd, &line) != 0 || !GetTtySpeed(fd, &rate)) return false;
        std::lock_guard<std::mutex> guard(lock_);
        dcb = dcb_;
        dcb.baudRate = rate;
        ReadFrame(line, dcb);
        return true;
    }

    bool SetState(const Dcb& dcb) override {
        int fd = fd_.load();
        uint32_t frame = 0;
        // Rate 0 would hang the line up instead of setting a speed.
        if (fd < 0 || dcb.baudRate == 0 || !FrameFlags(dcb, &frame) || AsksForUnsupported(dcb))
            return false;
        termios line{};
        if (tcgetattr(fd, &line) != 0) return false;
        MakeRaw(line);
        line.c_cflag = (line.c_cflag & ~kFrameBits) | frame;
        if (tcsetattr(fd, TCSANOW, &line) != 0 || !SetTtySpeed(fd, dcb.baudRate)) return false;
        // tcsetattr succeeds when any part was taken; check that the line got what was asked. A
        // device that cannot make the frame (a pseudo-terminal is always 8 bits without parity)
        // would garble every byte, so the settings are refused instead.
        termios now{};
        uint32_t rate = 0;
        if (tcgetattr(fd, &now) != 0 || (now.c_cflag & kFrameBits) != frame ||
            !GetTtySpeed(fd, &rate) || !CloseEnough(rate, dcb.baudRate))
            return false;
        if (!SetModemLine(fd, TIOCM_DTR, dcb.fDtrControl == kDtrControlEnable) ||
            !SetModemLine(fd, TIOCM_RTS, dcb.fRtsControl == kRtsControlEnable))
            return false;
        std::lock_guard<std::mutex> guard(lock_);
        dcb_ = dcb;
        return true;
    }

    bool GetTimeouts(CommTimeouts& timeouts) override {
        if (fd_.load() < 0) return false;
        std::lock_guard<std::mutex> guard(lock_);
        timeouts = timeouts_;
        return true;
    }

    bool SetTimeouts(const CommTimeouts& timeouts) override {
        if (fd_.load() < 0) return false;
        std::lock_guard<std::mutex> guard(lock_);
        timeouts_ = timeouts;
        return true;
    }

    // The kernel's queues have fixed sizes, larger than any the driver asks for.
    bool Setup(uint32_t, uint32_t) override { return fd_.load() >= 0; }

    bool Read(void* buffer, uint32_t count, uint32_t* received) override;
    bool Write(const void* data, uint32_t count, uint32_t* written) override;

    bool ClearError(uint32_t* inQueue) override {
        int fd = fd_.load();
        int queued = 0;
        // Line errors are not kept by the tty layer, so only the queue is left to report.
        if (fd < 0 || ioctl(fd, FIONREAD, &queued) != 0) return false;
        *inQueue = static_cast<uint32_t>(queued);
        return true;
    }

    bool GetModemStatus(uint32_t* status) override {
        int fd = fd_.load();
        if (fd < 0) return false;
        int bits = 0;
        if (ioctl(fd, TIOCMGET, &bits) != 0) {
            if (!NoModemLines(errno)) return false;
            bits = 0;
        }
        uint32_t result = 0;
        if (bits & TIOCM_CTS) result |= kMsCtsOn;
        if (bits & TIOCM_DSR) result |= kMsDsrOn;
        if (bits & TIOCM_RNG) result |= kMsRingOn;
        if (bits & TIOCM_CAR) result |= kMsRlsdOn;
        *status = result;
        return true;
    }

    bool Escape(int function) override {
        int fd = fd_.load();
        if (fd < 0) return false;
        switch (function) {
            case kSetDtr:
                return SetModemLine(fd, TIOCM_DTR, true);
            case kClrDtr:
                return SetModemLine(fd, TIOCM_DTR, false);
            case kSetRts:
                return SetModemLine(fd, TIOCM_RTS, true);
            case kClrRts:
                return SetModemLine(fd, TIOCM_RTS, false);
            default:
                return false;
        }
    }

    // close() releases the descriptor whatever it reports, so a device that was open always
    // closes; only a device that is not open reports failure.
    bool Close() override {
        int fd = fd_.exchange(-1);
        if (fd < 0) return false;
        close(fd);  // drops DTR (HUPCL) and the flock
        DropLockFile(lockPath_);
        lockPath_[0] = '\0';
        Release();
        return true;
    }

  private:
    CommTimeouts Timeouts() {
        std::lock_guard<std::mutex> guard(lock_);
        return timeouts_;
    }

    std::atomic<bool> used_{false};
    std::atomic<int> fd_{-1};
    char lockPath_[PATH_MAX] = {};
    std::mutex lock_;  // guards dcb_ and timeouts_; never held while waiting for I/O
    Dcb dcb_;
    CommTimeouts timeouts_;
};

// Static storage: the devices exist from load time on; opening one only claims it.
TtyDevice g_devices[kDeviceCount];

TtyDevice* ClaimDevice() {
    for (TtyDevice& device : g_devices)
        if (device.Claim()) return &device;
    return nullptr;
}

bool TtyDevice::Read(void* buffer, uint32_t count, uint32_t* received) {
    *received = 0;
    int fd = fd_.load();
    if (fd < 0) return false;
    CommTimeouts timeouts = Timeouts();
    // As on the original platform: MAXDWORD interval with zero totals returns what is there.
    bool immediate = timeouts.readIntervalTimeout == UINT32_MAX &&
                     timeouts.readTotalTimeoutMultiplier == 0 &&
                     timeouts.readTotalTimeoutConstant == 0;
    uint64_t totalMs = static_cast<uint64_t>(timeouts.readTotalTimeoutMultiplier) * count +
                       timeouts.readTotalTimeoutConstant;
    bool unlimited = totalMs == 0 && !immediate;
    uint64_t deadline = MonotonicNs() + ScaledNs(totalMs);

    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t got = 0;
    bool gone = false;  // the other end has hung up: nothing more will come
    while (got < count) {
        ssize_t n = read(fd, out + got, count - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A failure after some bytes arrived keeps them; the next read reports it.
        if (n < 0 && errno != EAGAIN) {
            if (got == 0) return false;
            break;
        }
        if (immediate) break;
        if (gone) {
            if (got == 0) return false;
            break;
        }
        timespec span{};
        timespec* limit = nullptr;
        if (!unlimited) {
            uint64_t now = MonotonicNs();
            if (now >= deadline) break;
            span = Span(deadline - now);
            limit = &span;
        }
        pollfd wait{fd, POLLIN, 0};
        int ready = ppoll(&wait, 1, limit, nullptr);
        if (ready < 0 && errno != EINTR) {
            if (got == 0) return false;
            break;
        }
        // A hung-up line reports readable for ever; one more read collects what is left.
        if (ready > 0 && (wait.revents & (POLLHUP | POLLERR | POLLNVAL))) gone = true;
    }
    *received = got;
    return true;
}

bool TtyDevice::Write(const void* data, uint32_t count, uint32_t* written) {
    *written = 0;
    int fd = fd_.load();
    if (fd < 0) return false;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    // Writes have no time-out: wait for room for as long as it takes.
    while (done < count) {
        ssize_t n = write(fd, in + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) break;
        pollfd wait{fd, POLLOUT, 0};
        int ready = poll(&wait, 1, -1);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && !(wait.revents & POLLOUT)) break;  // hung up or failed
    }
    *written = done;
    // Bytes that went out are reported as a short write; nothing at all as a failure.
    return done > 0 || count == 0;
}

}  // namespace

const char* LockDirectory() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the driver never changes its environment.
    const char* dir = std::getenv("KORVA_LOCK_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/var/lock";
}

SerialDevice* OpenTtyDevice(const char* path) {
    // The lock is named after the device itself, not after a link to it, so that every program
    // that locks the port by its own path sees the same file.
    char real[PATH_MAX];
    if (realpath(path, real) == nullptr) return nullptr;
    const char* slash = std::strrchr(real, '/');
    const char* base = slash != nullptr ? slash + 1 : real;

    TtyDevice* device = ClaimDevice();
    if (device == nullptr) return nullptr;
    char* lockPath = device->LockPath();
    int length = std::snprintf(lockPath, PATH_MAX, "%s/LCK..%s", LockDirectory(), base);
    LockResult lock =
        length > 0 && length < PATH_MAX ? TakeLockFile(lockPath) : LockResult::Refused;
    if (lock != LockResult::Taken) lockPath[0] = '\0';
    if (lock == LockResult::Refused) {
        device->Release();
        return nullptr;
    }

    int fd = open(real, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line{};
    bool owned = fd >= 0 && tcgetattr(fd, &line) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                 ioctl(fd, TIOCEXCL) == 0;
    if (owned) {
        // Raw at once, so that nothing the modem sends is echoed back before the line is set.
        MakeRaw(line);
        owned = tcsetattr(fd, TCSANOW, &line) == 0;
    }
    if (!owned) {
        if (fd >= 0) close(fd);
        DropLockFile(lockPath);
        lockPath[0] = '\0';
        device->Release();
        return nullptr;
    }
    device->Attach(fd, line);
    return device;
}

}  // namespace platform
