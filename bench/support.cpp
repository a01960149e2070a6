#include "support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "pool/pool.h"
#include "serial/serial.h"
#include "zunpro_host.h"

namespace bench {

namespace {

uint64_t ClockNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

uint64_t NowNs() {
    return ClockNs(CLOCK_MONOTONIC);
}
uint64_t ProcessCpuNs() {
    return ClockNs(CLOCK_PROCESS_CPUTIME_ID);
}
uint64_t ThreadCpuNs() {
    return ClockNs(CLOCK_THREAD_CPUTIME_ID);
}

void SleepNs(uint64_t span) {
    timespec left{static_cast<time_t>(span / 1000000000u), static_cast<long>(span % 1000000000u)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

double Percentile(std::vector<double>& samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    // Nearest rank: the smallest sample with at least `fraction` of all at or below it.
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

// ---------------------------------------------------------------------------------------------

Scratch::Scratch() {
    char pattern[] = "/tmp/korva_bench_XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    root_ = made;
    mkdir((root_ + "/map").c_str(), 0700);
    mkdir((root_ + "/lock").c_str(), 0700);
    setenv("KORVA_DEVICE_DIR", (root_ + "/map").c_str(), 1);
    setenv("KORVA_LOCK_DIR", (root_ + "/lock").c_str(), 1);
}

Scratch::~Scratch() {
    if (!previousDir_.empty() && chdir(previousDir_.c_str()) != 0) std::perror("chdir");
    unsetenv("KORVA_DEVICE_DIR");
    unsetenv("KORVA_LOCK_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void Scratch::Link(unsigned com, const std::string& target) const {
    std::string entry = root_ + "/map/COM" + std::to_string(com);
    unlink(entry.c_str());
    if (symlink(target.c_str(), entry.c_str()) != 0) std::perror("symlink");
}

void Scratch::WriteInitFile(uint32_t vpi, const std::string& text) {
    char name[32];
    std::snprintf(name, sizeof name, "/KORVA%02u.INT", vpi);
    std::ofstream(root_ + name) << text;
    if (previousDir_.empty()) previousDir_ = std::filesystem::current_path().string();
    if (chdir(root_.c_str()) != 0) std::perror("chdir");
}

// ---------------------------------------------------------------------------------------------

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[64] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        std::perror("pseudo-terminal");
        std::exit(1);
    }
    slavePath_ = name;
    // The far end never blocks in a write or read: it polls, so that it can be stopped.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
    if (master_ >= 0) close(master_);
}

int Pty::OpenSlaveRaw() const {
    int fd = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line{};
    if (fd < 0 || tcgetattr(fd, &line) != 0) {
        std::perror("open slave");
        std::exit(1);
    }
    cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD | HUPCL;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    cfsetspeed(&line, B2400);
    tcsetattr(fd, TCSANOW, &line);
    return fd;
}

std::size_t RawWriteAll(int fd, const void* data, std::size_t count) {
    const auto* in = static_cast<const uint8_t*>(data);
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, in + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) break;
        pollfd wait{fd, POLLOUT, 0};
        if (poll(&wait, 1, -1) < 0 && errno != EINTR) break;
    }
    return done;
}

std::size_t RawReadUpTo(int fd, void* buffer, std::size_t count, uint64_t timeoutNs) {
    auto* out = static_cast<uint8_t*>(buffer);
    const uint64_t deadline = NowNs() + timeoutNs;
    std::size_t got = 0;
    while (got < count) {
        ssize_t n = read(fd, out + got, count - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) break;
        const uint64_t now = NowNs();
        if (now >= deadline) break;
        const uint64_t left = deadline - now;
        timespec span{static_cast<time_t>(left / 1000000000u),
                      static_cast<long>(left % 1000000000u)};
        pollfd wait{fd, POLLIN, 0};
        if (ppoll(&wait, 1, &span, nullptr) < 0 && errno != EINTR) break;
    }
    return got;
}

void RawDiscard(int fd) {
    uint8_t scratch[4096];
    // A pty delivers what its master wrote a moment later; wait briefly for the last of it.
    while (RawReadUpTo(fd, scratch, sizeof scratch, 20000000) > 0) {
    }
}

// ---------------------------------------------------------------------------------------------

void PrepareProcess(const char* program) {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "korva_%s_%d_", program, static_cast<int>(getpid()));
    platform::SetMutexNamespace(prefix);
    ZunHostEchoLog(std::getenv("KORVA_BENCH_LOG") != nullptr);
    ZunHostCaptureLog(0);
}

void FinishProcess() {
    platform::MutexUnlinkAll();
}

void PortDeviceName(uint8_t index, char (&name)[12]) {
    const unsigned com = index + 1u;
    std::snprintf(name, sizeof name, com < 10 ? "COM%u" : "//./COM%u", com);
}

void DefinePort(uint8_t index, uint32_t directionFlags) {
    PortEntry& port = Ports[index];
    PortDeviceName(index, port.deviceName);
    port.baudRate = 2400;
    port.dataBits = 8;
    port.stopBits = 0;
    port.parity = 0;
    port.options = 0x0303;
    port.flags = kDEF | directionFlags;
}

bool ConnectWithoutModem(uint8_t index, uint16_t* reference) {
    DefinePort(index, kOUT);
    PortEntry& port = Ports[index];
    port.device = MMOpenCom(port);
    if (port.device.load() == nullptr) return false;
    port.flags.fetch_or(kOPN);
    if (AddConnection(4, index, 0, 0, reference) != 0) return false;
    port.connectionRef = *reference;
    port.flags.fetch_or(kCON);
    Settings.ready = 1;
    return true;
}

void CloseAllPorts() {
    for (uint8_t i = 0; i < kPortCount; ++i)
        if (Ports[i].device.load() != nullptr) MMCloseCom(i);
}

int32_t ColdStartDriver() {
    KorvaColdStart block{};
    block.service = 1;
    KorvaRequest request{};
    request.function = KORVA_FN_COLD_START;
    request.vpi = 1;
    request.block = &block;
    return VpiMain(&request);
}

bool StopDriver(unsigned timeoutMs) {
    ZunHostRequestStop();
    const uint64_t deadline = NowNs() + uint64_t{timeoutMs} * 1000000u;
    while (StopFlag.load() == 0) {
        if (NowNs() > deadline) return false;
        SleepNs(1000000);
    }
    return true;
}

}  // namespace bench
