// Pseudo-terminal pairs for the serial backend tests: the test holds the master end and plays
// the modem; the slave end is reached by the driver as COMn through a map directory. Lock files go
// to a directory of the test's own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/platform.h"

// Bounds the test's own waits for bytes that must come; never a statement about the driver.
constexpr int kPtySafetyMs = 10000;

class PtyPair {
  public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master_, 0);
        if (master_ < 0) return;
        EXPECT_EQ(grantpt(master_), 0);
        EXPECT_EQ(unlockpt(master_), 0);
        char name[64] = {};
        EXPECT_EQ(ptsname_r(master_, name, sizeof name), 0);
        slavePath_ = name;
    }
    ~PtyPair() {
        if (master_ >= 0) close(master_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int Master() const { return master_; }
    // The modem's end goes away: the driver's end sees a hang-up.
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    const std::string& SlavePath() const { return slavePath_; }
    // The slave's base name, which names its lock file ("7" for /dev/pts/7).
    std::string BaseName() const { return slavePath_.substr(slavePath_.rfind('/') + 1); }

    // Bytes from the modem's side to the driver.
    void Send(std::string_view bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
    }
    // Exactly `count` bytes that the driver wrote (fewer only if they never come).
    std::string Receive(std::size_t count) {
        std::string bytes;
        char buffer[4096];
        while (bytes.size() < count) {
            pollfd wait{master_, POLLIN, 0};
            if (poll(&wait, 1, kPtySafetyMs) <= 0) break;
            std::size_t want = std::min(sizeof buffer, count - bytes.size());
            ssize_t n = read(master_, buffer, want);
            if (n <= 0) break;
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return bytes;
    }

  private:
    int master_ = -1;
    std::string slavePath_;
};

// A map directory (KORVA_DEVICE_DIR) and a lock directory (KORVA_LOCK_DIR) of the test's own,
// set in the environment for as long as the object lives.
class SerialDirs {
  public:
    SerialDirs() {
        char pattern[] = "/tmp/korva_serial_XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        root_ = made != nullptr ? made : "/tmp";
        mapDir_ = root_ + "/map";
        lockDir_ = root_ + "/lock";
        mkdir(mapDir_.c_str(), 0700);
        mkdir(lockDir_.c_str(), 0700);
        setenv("KORVA_DEVICE_DIR", mapDir_.c_str(), 1);
        setenv("KORVA_LOCK_DIR", lockDir_.c_str(), 1);
    }
    ~SerialDirs() {
        unsetenv("KORVA_DEVICE_DIR");
        unsetenv("KORVA_LOCK_DIR");
        if (root_.rfind("/tmp/korva_serial_", 0) == 0) {
            std::error_code ignored;
            std::filesystem::remove_all(root_, ignored);
        }
    }
    SerialDirs(const SerialDirs&) = delete;
    SerialDirs& operator=(const SerialDirs&) = delete;

    const std::string& MapDir() const { return mapDir_; }
    const std::string& LockDir() const { return lockDir_; }

    // COMn becomes a link to `target`.
    void Link(unsigned com, const std::string& target) {
        std::string entry = mapDir_ + "/COM" + std::to_string(com);
        unlink(entry.c_str());
        EXPECT_EQ(symlink(target.c_str(), entry.c_str()), 0);
    }
    // COMn becomes a regular file with `text`.
    void WriteEntry(unsigned com, const std::string& text) {
        std::ofstream(mapDir_ + "/COM" + std::to_string(com)) << text;
    }
    std::string LockPath(const std::string& base) const { return lockDir_ + "/LCK.." + base; }
    bool LockExists(const std::string& base) const {
        struct stat info {};
        return stat(LockPath(base).c_str(), &info) == 0;
    }
    std::string LockText(const std::string& base) const {
        std::ifstream in(LockPath(base));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void WriteLock(const std::string& base, const std::string& text) {
        std::ofstream(LockPath(base)) << text;
    }

  private:
    std::string root_;
    std::string mapDir_;
    std::string lockDir_;
};

// The lock text of a process: its id as ten right-aligned digits and a newline.
inline std::string LockTextOf(long pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

// Waits until the device reports `count` bytes in its input queue (the pty delivers bytes
// written on the master asynchronously); false if they never come.
inline bool WaitQueued(platform::SerialDevice* device, uint32_t count) {
    for (int waited = 0; waited < kPtySafetyMs * 10; ++waited) {
        uint32_t queued = 0;
        if (device->ClearError(&queued) && queued >= count) return queued == count;
        usleep(100);
    }
    return false;
}
