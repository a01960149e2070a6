// The tty backend's ownership of a port (lock files, exclusive open) and the device map.
#include "platform/posix/serial_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "support/pty_pair.h"

namespace {

using platform::MappedKind;
using platform::SerialDevice;

class TtyBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetSerialOpener(nullptr, nullptr);
        dirs_.Link(5, pty_.SlavePath());
    }
    std::string Lock() const { return dirs_.LockText(pty_.BaseName()); }

    PtyPair pty_;
    SerialDirs dirs_;
};

// A process id that no process has any more.
pid_t ExitedPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

TEST_F(TtyBackendTest, LockFileHoldsOurPidWhileOpen) {
    SerialDevice* device = platform::SerialOpen("COM5");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Lock(), LockTextOf(getpid()));
    EXPECT_EQ(Lock().size(), 11u);
    EXPECT_TRUE(device->Close());
    EXPECT_FALSE(dirs_.LockExists(pty_.BaseName()));
    EXPECT_FALSE(device->Close());  // a closed device does not close again
}

TEST_F(TtyBackendTest, SecondOpenIsRefused) {
    SerialDevice* device = platform::SerialOpen("COM5");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(platform::SerialOpen("COM5"), nullptr);
    dirs_.Link(6, pty_.SlavePath());  // another name for the same device
    EXPECT_EQ(platform::SerialOpen("COM6"), nullptr);
    EXPECT_EQ(Lock(), LockTextOf(getpid()));  // the refusals left the lock alone
    ASSERT_TRUE(device->Close());
    device = platform::SerialOpen("COM6");
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->Close());
}

TEST_F(TtyBackendTest, StaleLockIsTakenOver) {
    dirs_.WriteLock(pty_.BaseName(), LockTextOf(ExitedPid()));
    SerialDevice* device = platform::SerialOpen("COM5");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Lock(), LockTextOf(getpid()));
    EXPECT_TRUE(device->Close());
}

TEST_F(TtyBackendTest, LiveOrUnreadableLockRefusesTheOpen) {
    const std::string locks[] = {LockTextOf(getppid()), LockTextOf(getpid()), "", "garbage\n"};
    for (const std::string& text : locks) {
        dirs_.WriteLock(pty_.BaseName(), text);
        EXPECT_EQ(platform::SerialOpen("COM5"), nullptr) << text;
        EXPECT_EQ(Lock(), text);  // somebody else's lock stays as it was
    }
}

TEST_F(TtyBackendTest, DeviceLockedByAnotherOpenIsRefusedAndLeavesNoLockFile) {
    int other = open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(platform::SerialOpen("COM5"), nullptr);
    EXPECT_FALSE(dirs_.LockExists(pty_.BaseName()));
    close(other);
    SerialDevice* device = platform::SerialOpen("COM5");
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->Close());
}

TEST_F(TtyBackendTest, OpensWithoutALockDirectory) {
    std::string missing = dirs_.LockDir() + "/missing";
    setenv("KORVA_LOCK_DIR", missing.c_str(), 1);
    SerialDevice* device = platform::SerialOpen("COM5");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(platform::SerialOpen("COM5"), nullptr);  // flock still keeps it ours
    EXPECT_TRUE(device->Close());
}

TEST_F(TtyBackendTest, ClosedDevicesGoBackToThePool) {
    for (int i = 0; i < 100; ++i) {
        SerialDevice* device = platform::SerialOpen("COM5");
        ASSERT_NE(device, nullptr) << i;
        ASSERT_TRUE(device->Close());
    }
}

TEST_F(TtyBackendTest, ClosedDeviceRefusesEveryCall) {
    SerialDevice* device = platform::SerialOpen("COM5");
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->Close());
    platform::Dcb dcb;
    platform::CommTimeouts timeouts;
    uint32_t value = 0;
    char byte = 0;
    EXPECT_FALSE(device->GetState(dcb));
    EXPECT_FALSE(device->SetState(dcb));
    EXPECT_FALSE(device->GetTimeouts(timeouts));
    EXPECT_FALSE(device->Read(&byte, 1, &value));
    EXPECT_FALSE(device->Write("x", 1, &value));
    EXPECT_FALSE(device->ClearError(&value));
    EXPECT_FALSE(device->GetModemStatus(&value));
    EXPECT_FALSE(device->Escape(platform::kSetDtr));
}

TEST_F(TtyBackendTest, ReadFailsWhenTheModemEndIsGone) {
    SerialDevice* device = platform::SerialOpen("COM5");
    ASSERT_NE(device, nullptr);
    platform::CommTimeouts timeouts;  // no limit: only the hang-up can end the read
    ASSERT_TRUE(device->SetTimeouts(timeouts));
    pty_.CloseMaster();
    char byte = 0;
    uint32_t received = 5;
    EXPECT_FALSE(device->Read(&byte, 1, &received));
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(device->Close());
}

TEST_F(TtyBackendTest, FlowControlIsNotOffered) {
    SerialDevice* device = platform::SerialOpen("COM5");
    ASSERT_NE(device, nullptr);
    platform::Dcb dcb;
    ASSERT_TRUE(device->GetState(dcb));
    dcb.baudRate = 9600;
    EXPECT_TRUE(device->SetState(dcb));
    dcb.fOutxCtsFlow = true;
    EXPECT_FALSE(device->SetState(dcb));
    dcb.fOutxCtsFlow = false;
    dcb.fRtsControl = platform::kRtsControlHandshake;
    EXPECT_FALSE(device->SetState(dcb));
    EXPECT_TRUE(device->Close());
}

TEST(TtyFrame, FlagsForEveryFrame) {
    struct Case {
        uint8_t bits;
        uint8_t stop;
        uint8_t parity;
        bool valid;
        uint32_t flags;
    };
    using namespace platform;
    const Case cases[] = {
        {8, kOneStopBit, kNoParity, true, CS8},
        {7, kOneStopBit, kEvenParity, true, CS7 | PARENB},
        {7, kTwoStopBits, kOddParity, true, CS7 | PARENB | PARODD | CSTOPB},
        {8, kOneStopBit, kMarkParity, true, CS8 | PARENB | PARODD | CMSPAR},
        {8, kOneStopBit, kSpaceParity, true, CS8 | PARENB | CMSPAR},
        {6, kOneStopBit, kNoParity, true, CS6},
        {5, kOne5StopBits, kNoParity, true, CS5 | CSTOPB},
        {5, kTwoStopBits, kNoParity, false, 0},  // a UART would send 1.5
        {8, kOne5StopBits, kNoParity, false, 0},
        {4, kOneStopBit, kNoParity, false, 0},
        {9, kOneStopBit, kNoParity, false, 0},
        {8, 3, kNoParity, false, 0},
        {8, kOneStopBit, 5, false, 0},
    };
    for (const Case& c : cases) {
        Dcb dcb;
        dcb.byteSize = c.bits;
        dcb.stopBits = c.stop;
        dcb.parity = c.parity;
        uint32_t flags = 0xDEAD;
        EXPECT_EQ(FrameFlags(dcb, &flags), c.valid) << int(c.bits) << int(c.stop) << int(c.parity);
        if (c.valid) {
            EXPECT_EQ(flags, c.flags) << int(c.bits) << int(c.stop) << int(c.parity);
        }
    }
}

// --- Device map -----------------------------------------------------------------------------

TEST(DeviceMap, DefaultsToTheStandardPorts) {
    unsetenv("KORVA_DEVICE_DIR");
    struct Case {
        const char* name;
        MappedKind kind;
        const char* path;
    };
    const Case cases[] = {
        {"COM1", MappedKind::Tty, "/dev/ttyS0"},
        {"COM9", MappedKind::Tty, "/dev/ttyS8"},
        {"//./COM12", MappedKind::Tty, "/dev/ttyS11"},
        {"//./COM32", MappedKind::Tty, "/dev/ttyS31"},
        {"COM0", MappedKind::None, ""},
        {"LPT1", MappedKind::None, ""},
        {"COM3x", MappedKind::None, ""},
    };
    for (const Case& c : cases) {
        char path[PATH_MAX] = {};
        EXPECT_EQ(platform::MapDeviceName(c.name, path, sizeof path), c.kind) << c.name;
        if (c.kind != MappedKind::None) {
            EXPECT_STREQ(path, c.path);
        }
    }
}

TEST(DeviceMap, MapDirectoryEntries) {
    SerialDirs dirs;
    dirs.Link(3, "/dev/null");
    dirs.WriteEntry(4, "rfc2217://127.0.0.1:7004\n");
    dirs.WriteEntry(5, "/dev/ttyUSB0\n");  // not a link and not a URL
    mkdir((dirs.MapDir() + "/COM6").c_str(), 0700);
    struct Case {
        const char* name;
        MappedKind kind;
        std::string path;
    };
    const Case cases[] = {
        {"COM3", MappedKind::Tty, dirs.MapDir() + "/COM3"},
        {"COM4", MappedKind::Network, dirs.MapDir() + "/COM4"},
        {"COM5", MappedKind::None, ""},
        {"COM6", MappedKind::None, ""},
        {"//./COM17", MappedKind::Tty, "/dev/ttyS16"},  // no entry: the default
    };
    for (const Case& c : cases) {
        char path[PATH_MAX] = {};
        EXPECT_EQ(platform::MapDeviceName(c.name, path, sizeof path), c.kind) << c.name;
        if (c.kind != MappedKind::None) {
            EXPECT_EQ(path, c.path);
        }
    }
    // A link to something that is no tty does not open; nor, for now, a network port.
    EXPECT_EQ(platform::SerialOpen("COM3"), nullptr);
    EXPECT_EQ(platform::SerialOpen("COM4"), nullptr);
}

}  // namespace
