// The Win32 serial backend on a port with a loopback plug: what goes out comes back.
//
// KORVA_TEST_LOOPBACK_COM gives the port's number; without it these tests skip. Under wine the
// port is a pseudo-terminal that tests/platform/wine_loopback.py links in as COMn and echoes; on
// Windows any COM port with a loopback plug will do. A pseudo-terminal has no modem lines, so the
// modem status and DTR/RTS are not looked at here.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

using platform::SerialDevice;

class SerialWin32Test : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* number = std::getenv("KORVA_TEST_LOOPBACK_COM");
        if (number == nullptr || *number == '\0')
            GTEST_SKIP() << "KORVA_TEST_LOOPBACK_COM names no loopback port";
        // Ports above 9 need the device namespace; the driver forms the name the same way.
        name_ = std::string("//./COM") + number;
        platform::SetSerialOpener(nullptr, nullptr);
        device_ = platform::SerialOpen(name_.c_str());
        ASSERT_NE(device_, nullptr) << name_;
        platform::Dcb dcb;
        dcb.baudRate = 9600;
        ASSERT_TRUE(device_->SetState(dcb));
        ASSERT_TRUE(device_->Setup(4096, 4096));
        Drain();
    }
    void TearDown() override {
        if (device_ != nullptr) {
            EXPECT_TRUE(device_->Close());
        }
    }

    void SetReadTimeout(uint32_t ms) {
        platform::CommTimeouts timeouts;
        timeouts.readTotalTimeoutConstant = ms;
        ASSERT_TRUE(device_->SetTimeouts(timeouts));
    }
    // Reads until nothing more comes within a short time-out.
    void Drain() {
        SetReadTimeout(100);
        char buffer[256];
        uint32_t got = 0;
        while (device_->Read(buffer, sizeof buffer, &got) && got > 0) {
        }
    }
    // Waits (real time, bounded) until the input queue holds `count` bytes.
    bool WaitForQueued(uint32_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        uint32_t queued = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!device_->ClearError(&queued)) return false;
            if (queued >= count) return queued == count;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    std::string name_;
    SerialDevice* device_ = nullptr;
};

TEST_F(SerialWin32Test, WhatIsWrittenComesBack) {
    SetReadTimeout(5000);
    uint32_t written = 0;
    ASSERT_TRUE(device_->Write("ATZ\r", 4, &written));
    EXPECT_EQ(written, 4u);
    char reply[4] = {};
    uint32_t got = 0;
    ASSERT_TRUE(device_->Read(reply, sizeof reply, &got));
    ASSERT_EQ(got, 4u);
    EXPECT_EQ(std::string(reply, got), "ATZ\r");
}

TEST_F(SerialWin32Test, SettingsReadBackAsSet) {
    platform::Dcb dcb;
    dcb.baudRate = 19200;
    ASSERT_TRUE(device_->SetState(dcb));
    platform::Dcb now;
    now.baudRate = 0;
    now.byteSize = 0;
    ASSERT_TRUE(device_->GetState(now));
    EXPECT_EQ(now.baudRate, 19200u);
    EXPECT_EQ(now.byteSize, 8);
    EXPECT_EQ(now.parity, platform::kNoParity);
    EXPECT_EQ(now.stopBits, platform::kOneStopBit);
}

// The driver's time-outs are kept as given and reported back; the device waits the scaled span.
TEST_F(SerialWin32Test, ReadEndsAtTheScaledTimeOutWithWhatArrived) {
    SetReadTimeout(3000);
    platform::CommTimeouts timeouts;
    ASSERT_TRUE(device_->GetTimeouts(timeouts));
    EXPECT_EQ(timeouts.readTotalTimeoutConstant, 3000u);

    char buffer[16];
    uint32_t got = 99;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, &got));  // a time-out is a success
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got, 0u);
    // The system's timers may end a wait up to a tick early.
    EXPECT_GE(waited + std::chrono::milliseconds(16),
              std::chrono::nanoseconds(platform::ScaledNs(3000)));

    uint32_t written = 0;
    ASSERT_TRUE(device_->Write("OK", 2, &written));
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "OK");
}

TEST_F(SerialWin32Test, InputQueueIsReportedAndKept) {
    uint32_t written = 0;
    ASSERT_TRUE(device_->Write("hello", 5, &written));
    ASSERT_TRUE(WaitForQueued(5));
    SetReadTimeout(1000);
    char buffer[5];
    uint32_t got = 0;
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "hello");
    uint32_t queued = 99;
    ASSERT_TRUE(device_->ClearError(&queued));
    EXPECT_EQ(queued, 0u);
}

// A closed device refuses every call and closes only once; the port opens again. (That a second
// open of an open port is refused is the system's share mode, which wine does not apply to
// devices.)
TEST_F(SerialWin32Test, CloseHappensOnceAndThePortOpensAgain) {
    ASSERT_TRUE(device_->Close());
    EXPECT_FALSE(device_->Close());
    uint32_t queued = 0;
    EXPECT_FALSE(device_->ClearError(&queued));
    device_ = platform::SerialOpen(name_.c_str());
    ASSERT_NE(device_, nullptr);
}

TEST(SerialWin32, APortThatDoesNotExistDoesNotOpen) {
    platform::SetSerialOpener(nullptr, nullptr);
    EXPECT_EQ(platform::SerialOpen("//./COM231"), nullptr);
}

}  // namespace
