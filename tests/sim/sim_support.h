// Driving a simulated modem the way the driver does: through platform::SerialOpen and the
// SerialDevice calls.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "sim/sim.h"

// The computer's end of one serial port.
class Dte {
  public:
    explicit Dte(const char* name) : device_(platform::SerialOpen(name)) {}
    ~Dte() {
        if (device_ != nullptr) device_->Close();
    }
    Dte(const Dte&) = delete;
    Dte& operator=(const Dte&) = delete;

    platform::SerialDevice* device() { return device_; }
    bool open() const { return device_ != nullptr; }

    void SetReadTimeout(uint32_t ms) {
        platform::CommTimeouts timeouts;
        timeouts.readTotalTimeoutConstant = ms;
        ASSERT_TRUE(device_->SetTimeouts(timeouts));
    }
    void Write(const std::string& bytes) {
        uint32_t written = 0;
        ASSERT_TRUE(device_->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
        ASSERT_EQ(written, bytes.size());
    }
    // What is in the input queue now.
    std::string Pending() {
        uint32_t queued = 0;
        EXPECT_TRUE(device_->ClearError(&queued));
        return Read(queued);
    }
    // Writes `bytes` and returns what the modem sent back before the write returned.
    std::string Type(const std::string& bytes) {
        Write(bytes);
        return Pending();
    }
    // Up to `count` bytes, waiting at most `timeoutMs` (driver time) for them.
    std::string Await(size_t count, uint32_t timeoutMs) {
        SetReadTimeout(timeoutMs);
        return Read(count);
    }
    uint32_t Status() {
        uint32_t status = 0;
        EXPECT_TRUE(device_->GetModemStatus(&status));
        return status;
    }
    bool Dcd() { return (Status() & platform::kMsRlsdOn) != 0; }

  private:
    std::string Read(size_t count) {
        std::string bytes(count, '\0');
        uint32_t received = 0;
        EXPECT_TRUE(device_->Read(bytes.data(), static_cast<uint32_t>(count), &received));
        bytes.resize(received);
        return bytes;
    }

    platform::SerialDevice* device_;
};

inline std::string Verbose(const std::string& text) {
    return "\r\n" + text + "\r\n";
}

// A world with modem COM3 (number 201) and station 555, installed, and the port open.
class SimTest : public ::testing::Test {
  protected:
    // Dials the station and waits for the carrier.
    void ConnectToStation() {
        ASSERT_EQ(dte.Type("ATDT555\r"), "ATDT555\r");
        ASSERT_EQ(dte.Await(16, 10000), Verbose("CONNECT 2400"));
        ASSERT_TRUE(station.Connected());
    }

    sim::World world;
    sim::Modem& modem = world.AddModem("COM3", "201");
    sim::Station& station = world.AddStation("555");
    bool installed = (world.Install(), true);
    Dte dte{"COM3"};
};
