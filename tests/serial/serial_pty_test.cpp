// The serial primitives over the tty backend, on a pseudo-terminal whose master end plays the
// modem: line settings as the kernel sees them, reads under the time-out, purging, writes.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "serial/modem.h"
#include "serial/serial.h"
#include "support/driver_test.h"
#include "support/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

class SerialPtyTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        dirs_.Link(3, pty_.SlavePath());
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(ComClose(handle_), 0);
        }
        DriverTest::TearDown();
    }
    void Open(uint32_t baud = 9600, uint16_t bits = 8, uint16_t stop = 0, uint16_t parity = 0) {
        ASSERT_EQ(ComOpen("COM3", baud, bits, stop, parity, 0x0303, &handle_), 0);
        ASSERT_NE(handle_, nullptr);
    }
    termios SlaveLine() {
        termios line{};
        EXPECT_EQ(tcgetattr(pty_.Master(), &line), 0);  // a pty master reports its slave's
        return line;
    }

    PtyPair pty_;
    SerialDirs dirs_;
    ComHandle handle_ = nullptr;
};

TEST_F(SerialPtyTest, OpenPutsTheLineIntoRawModeWithItsFrame) {
    struct Case {
        uint16_t bits;
        uint16_t stop;
        uint16_t parity;
        tcflag_t frame;
    };
    // A pseudo-terminal carries 8 bits without parity only; the other frames are checked on the
    // flags themselves (platform tests).
    const Case cases[] = {
        {8, 0, 0, CS8},
        {8, 2, 0, CS8 | CSTOPB},
    };
    for (const Case& c : cases) {
        Open(2400, c.bits, c.stop, c.parity);
        termios line = SlaveLine();
        EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.frame)
            << c.bits << c.stop << c.parity;
        EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B2400));
        EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD | HUPCL), CLOCAL | CREAD | HUPCL);
        EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(line.c_oflag & OPOST, 0u);
        EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
        EXPECT_EQ(line.c_cc[VMIN], 0);
        EXPECT_EQ(line.c_cc[VTIME], 0);
        EXPECT_EQ(ComClose(handle_), 0);
        handle_ = nullptr;
    }
}

TEST_F(SerialPtyTest, AnyRateTheDeviceTakes) {
    for (uint32_t baud : {115200u, 14400u, 300u}) {
        Open(baud);
        platform::Dcb dcb;
        ASSERT_TRUE(handle_->GetState(dcb));
        EXPECT_EQ(dcb.baudRate, baud);
        EXPECT_EQ(ComClose(handle_), 0);
        handle_ = nullptr;
    }
    Open(115200);
    termios line = SlaveLine();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
}

TEST_F(SerialPtyTest, SettingsTheLineCannotTakeFailAndReleaseThePort) {
    struct Case {
        uint32_t baud;
        uint16_t bits;
        uint16_t stop;
        uint16_t parity;
    };
    const Case cases[] = {
        {0, 8, 0, 0},     // rate 0 would hang the line up
        {9600, 9, 0, 0},  // no such character size
        {9600, 8, 1, 0},  // 1.5 stop bits only with 5 data bits
        {9600, 5, 2, 0},  // and 2 only with more
        {9600, 8, 0, 5},  // no such parity
        {9600, 7, 0, 2},  // a frame the pty cannot carry: refused, not run garbled
    };
    for (const Case& c : cases) {
        ComHandle handle = nullptr;
        EXPECT_EQ(ComOpen("COM3", c.baud, c.bits, c.stop, c.parity, 0x0303, &handle), 5)
            << c.baud << " " << c.bits << " " << c.stop << " " << c.parity;
        EXPECT_EQ(handle, nullptr);
        EXPECT_FALSE(dirs_.LockExists(pty_.BaseName()));
    }
    Open();  // nothing was left held
}

TEST_F(SerialPtyTest, ShortReadReturnsWhatCameAfterTheTimeout) {
    Open();
    ASSERT_EQ(ComSetReadTimeout(handle_, 10), 100);
    pty_.Send("abc");
    ASSERT_TRUE(WaitQueued(handle_, 3));
    char buffer[16] = {};
    uint32_t received = 0;
    auto start = Clock::now();
    EXPECT_EQ(ComRead(handle_, buffer, 10, &received), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::nanoseconds(platform::ScaledNs(100)));
    EXPECT_EQ(received, 3u);
    EXPECT_STREQ(buffer, "abc");
}

TEST_F(SerialPtyTest, ReadOfNothingFailsAfterTheTimeout) {
    Open();
    ComSetReadTimeout(handle_, 20);
    char buffer[4];
    uint32_t received = 9;
    auto start = Clock::now();
    EXPECT_EQ(ComRead(handle_, buffer, 4, &received), 7);
    EXPECT_GE(Clock::now() - start, std::chrono::nanoseconds(platform::ScaledNs(200)));
    EXPECT_EQ(received, 0u);
}

TEST_F(SerialPtyTest, ReadWithoutLimitWaitsForTheWholeCount) {
    Open();
    ComSetReadTimeout(handle_, 0);
    std::thread modem([&] {
        pty_.Send("CONN");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pty_.Send("ECT");
    });
    char buffer[8] = {};
    uint32_t received = 0;
    EXPECT_EQ(ComRead(handle_, buffer, 7, &received), 0);
    modem.join();
    EXPECT_EQ(received, 7u);
    EXPECT_STREQ(buffer, "CONNECT");
}

TEST_F(SerialPtyTest, WritesReachTheModem) {
    Open();
    uint32_t written = 0;
    EXPECT_EQ(ComWrite(handle_, "ATZ\r", 4, &written), 0);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(pty_.Receive(4), "ATZ\r");
}

TEST_F(SerialPtyTest, LargeWriteWaitsForRoom) {
    Open();
    // Far more than the pty buffers hold: the write must wait for the reader, not give up.
    std::string data(256 * 1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    std::string arrived;
    std::thread reader([&] { arrived = pty_.Receive(data.size()); });
    uint32_t written = 0;
    EXPECT_EQ(ComWrite(handle_, data.data(), static_cast<uint32_t>(data.size()), &written), 0);
    reader.join();
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(arrived == data);
}

TEST_F(SerialPtyTest, PurgeOfAnEmptyQueueLeavesTheTimeout) {
    Open();
    ComSetReadTimeout(handle_, 37);
    EXPECT_EQ(ComPurgeInput(handle_), 0);
    EXPECT_EQ(ComSetReadTimeout(handle_, 37), 37);
}

TEST_F(SerialPtyTest, PurgeDiscardsQueuedInputAndRestoresTheTimeout) {
    Open();
    pty_.Send(std::string(1300, 'x'));
    ASSERT_TRUE(WaitQueued(handle_, 1300));
    EXPECT_EQ(ComPurgeInput(handle_), 0);
    uint32_t queued = 1;
    EXPECT_TRUE(handle_->ClearError(&queued));
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(ComSetReadTimeout(handle_, 100), 100);  // 1000 ms again
}

TEST_F(SerialPtyTest, PurgeDoesNotRestoreNoLimit) {
    Open();
    ComSetReadTimeout(handle_, 0);
    pty_.Send("RING\r\n");
    ASSERT_TRUE(WaitQueued(handle_, 6));
    EXPECT_EQ(ComPurgeInput(handle_), 0);
    EXPECT_EQ(ComSetReadTimeout(handle_, 100), 5);  // the purge's 50 ms stayed
}

TEST_F(SerialPtyTest, LineWithoutModemLinesShowsNoSignals) {
    Ports[2].device = nullptr;
    Open();
    Ports[2].device = handle_;
    EXPECT_EQ(GetModemSignals(2, 'g'), 0);
    EXPECT_EQ(GetModemSignals(2, 'f'), 0x03);
    EXPECT_TRUE(handle_->Escape(platform::kClrDtr));
    EXPECT_TRUE(handle_->Escape(platform::kSetDtr));
    Ports[2].device = nullptr;
}

TEST_F(SerialPtyTest, ModemCommandOverThePty) {
    Open();
    std::thread modem([&] {
        if (pty_.Receive(3) == "AT\r") pty_.Send("AT\r\r\nOK\r\n");
    });
    ComSetReadTimeout(handle_, 0);  // wait for the modem however long the thread takes
    // The expect-OK reply is read with no limit too; the drain then uses its own 2500 ms.
    EXPECT_EQ(ModemCommand("AT\r", 1, handle_), 0);
    modem.join();
    EXPECT_EQ(ComSetReadTimeout(handle_, 100), 250);
}

TEST_F(SerialPtyTest, MMOpenComAndMMCloseComOnTheDeviceMap) {
    PortEntry& port = Ports[2];
    std::strcpy(port.deviceName, "COM3");
    port.baudRate = 19200;
    port.dataBits = 8;
    port.options = 0x0303;
    port.device = MMOpenCom(port);
    ASSERT_NE(port.device.load(), nullptr);
    EXPECT_TRUE(dirs_.LockExists(pty_.BaseName()));
    EXPECT_EQ(MMCloseCom(2), 0);
    EXPECT_EQ(port.device.load(), nullptr);
    EXPECT_FALSE(dirs_.LockExists(pty_.BaseName()));
    EXPECT_TRUE(LogContains("KORVA: MMCloseCom() COM3 closed successfully"));
}

}  // namespace
