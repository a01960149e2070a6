// The serial primitives on a scripted device: opening and its failures, the time-out rules, reads
// and writes with their counts, purging and the modem signals.
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/driver_test.h"
#include "support/script_device.h"

namespace {

using Op = ScriptDevice::Op;

class SerialTest : public DriverTest {
  protected:
    ScriptDevice device_;
};

// --- Line settings --------------------------------------------------------------------------

TEST(LineSettings, OptionWordSelectsDtrAndRtsHandling) {
    struct Case {
        uint16_t options;
        uint8_t dtr;
        uint8_t rts;
    };
    using namespace platform;
    const Case cases[] = {
        {0x0303, kDtrControlEnable, kRtsControlEnable},
        {0x0000, kDtrControlDisable, kRtsControlDisable},
        {0x0001, kDtrControlEnable, kRtsControlDisable},
        {0x0100, kDtrControlEnable, kRtsControlDisable},
        {0x8000, kDtrControlHandshake, kRtsControlDisable},
        {0x8100, kDtrControlEnable, kRtsControlDisable},  // enable wins over handshake
        {0x0002, kDtrControlDisable, kRtsControlEnable},
        {0x0200, kDtrControlDisable, kRtsControlEnable},
        {0x1000, kDtrControlDisable, kRtsControlHandshake},
        {0x2000, kDtrControlDisable, kRtsControlToggle},
        {0x3000, kDtrControlDisable, kRtsControlHandshake},  // handshake before toggle
        {0x3200, kDtrControlDisable, kRtsControlEnable},     // enable before both
    };
    for (const Case& c : cases) {
        Dcb dcb;
        ApplyLineSettings(dcb, 9600, 8, 0, 0, c.options);
        EXPECT_EQ(dcb.fDtrControl, c.dtr) << std::hex << c.options;
        EXPECT_EQ(dcb.fRtsControl, c.rts) << std::hex << c.options;
    }
}

TEST(LineSettings, SetsTheLineAndClearsFlowControlKeepingTheRest) {
    platform::Dcb dcb;
    dcb.fParity = false;
    dcb.fBinary = false;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = true;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = true;
    dcb.fTXContinueOnXoff = true;
    dcb.xonLim = 11;
    dcb.xoffLim = 22;
    dcb.xonChar = 'A';
    dcb.xoffChar = 'B';
    dcb.eofChar = 'C';
    dcb.evtChar = 'D';
    // Only the low byte of the three codes counts.
    ApplyLineSettings(dcb, 115200, 0x0107, 0x0102, 0x0104, 0x0303);

    EXPECT_EQ(dcb.baudRate, 115200u);
    EXPECT_EQ(dcb.byteSize, 7);
    EXPECT_EQ(dcb.stopBits, platform::kTwoStopBits);
    EXPECT_EQ(dcb.parity, platform::kSpaceParity);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_TRUE(dcb.fParity);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutxDsrFlow);
    EXPECT_FALSE(dcb.fDsrSensitivity);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_FALSE(dcb.fErrorChar);
    EXPECT_FALSE(dcb.fNull);
    EXPECT_FALSE(dcb.fAbortOnError);
    EXPECT_EQ(static_cast<uint8_t>(dcb.errorChar), 0xFC);
    EXPECT_TRUE(dcb.fTXContinueOnXoff);
    EXPECT_EQ(dcb.xonLim, 11);
    EXPECT_EQ(dcb.xoffLim, 22);
    EXPECT_EQ(dcb.xonChar, 'A');
    EXPECT_EQ(dcb.xoffChar, 'B');
    EXPECT_EQ(dcb.eofChar, 'C');
    EXPECT_EQ(dcb.evtChar, 'D');
}

TEST(LineSettings, ParityIsCheckedEvenWithoutParity) {
    platform::Dcb dcb;
    dcb.fParity = false;
    ApplyLineSettings(dcb, 2400, 8, 0, 0, 0x0303);
    EXPECT_TRUE(dcb.fParity);
    EXPECT_EQ(dcb.parity, platform::kNoParity);
}

// --- Opening and closing --------------------------------------------------------------------

TEST_F(SerialTest, OpenConfiguresTheDevice) {
    ScriptOpener opener;
    opener.Serve("COM4", &device_);
    opener.Install();
    platform::CommTimeouts odd;
    odd.readIntervalTimeout = 7;
    odd.readTotalTimeoutMultiplier = 8;
    odd.writeTotalTimeoutMultiplier = 9;
    odd.writeTotalTimeoutConstant = 10;
    device_.SetTimeouts(odd);
    device_.ClearEvents();

    ComHandle handle = nullptr;
    ASSERT_EQ(ComOpen("COM4", 19200, 7, 2, 2, 0x0303, &handle), 0);
    EXPECT_EQ(handle, &device_);
    EXPECT_EQ(device_.Ops(),
              (std::vector<Op>{Op::GetState, Op::SetTimeouts, Op::SetState, Op::Setup}));
    platform::CommTimeouts timeouts = device_.Timeouts();
    EXPECT_EQ(timeouts.readIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.readTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.readTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.writeTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.writeTotalTimeoutConstant, 0u);
    platform::Dcb dcb = device_.State();
    EXPECT_EQ(dcb.baudRate, 19200u);
    EXPECT_EQ(dcb.byteSize, 7);
    EXPECT_EQ(dcb.stopBits, platform::kTwoStopBits);
    EXPECT_EQ(dcb.parity, platform::kEvenParity);
    EXPECT_EQ(dcb.fDtrControl, platform::kDtrControlEnable);
    EXPECT_EQ(dcb.fRtsControl, platform::kRtsControlEnable);
    ScriptDevice::Event setup = device_.Events(Op::Setup).at(0);
    EXPECT_EQ(setup.count, 1200u);
    EXPECT_EQ(setup.done, 1200u);
    EXPECT_FALSE(device_.Closed());
}

TEST_F(SerialTest, OpenFailuresCloseTheDeviceAndReturnNoHandle) {
    struct Case {
        Op failing;
        int result;
    };
    const Case cases[] = {{Op::GetState, 4}, {Op::SetTimeouts, 1}, {Op::SetState, 5}};
    for (const Case& c : cases) {
        ScriptDevice device;
        ScriptOpener opener;
        opener.Serve("COM2", &device);
        opener.Install();
        device.Fail(c.failing);
        ComHandle handle = &device_;
        EXPECT_EQ(ComOpen("COM2", 9600, 8, 0, 0, 0x0303, &handle), c.result);
        EXPECT_EQ(handle, nullptr);
        EXPECT_TRUE(device.Closed());
        EXPECT_EQ(device.Count(Op::Setup), 0u);
        platform::SetSerialOpener(nullptr, nullptr);
    }
}

TEST_F(SerialTest, OpenOfAMissingDeviceReturnsOne) {
    ScriptOpener opener;
    opener.Serve("COM9", nullptr);
    opener.Install();
    ComHandle handle = &device_;
    EXPECT_EQ(ComOpen("COM9", 9600, 8, 0, 0, 0x0303, &handle), 1);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(SerialTest, MMOpenComUsesTheEntryAndLogsNothing) {
    ScriptOpener opener;
    opener.Serve("//./COM12", &device_);
    opener.Install();
    PortEntry& port = Ports[11];
    std::strcpy(port.deviceName, "//./COM12");
    port.baudRate = 115200;
    port.dataBits = 8;
    port.stopBits = 0;
    port.parity = 1;
    port.options = 0x0303;
    port.flags = kDEF;

    EXPECT_EQ(MMOpenCom(port), &device_);
    EXPECT_EQ(device_.State().baudRate, 115200u);
    EXPECT_EQ(device_.State().parity, platform::kOddParity);
    EXPECT_EQ(port.flags.load(), kDEF);
    EXPECT_EQ(port.device.load(), nullptr);  // the caller stores the handle
    EXPECT_TRUE(CapturedLog().empty());

    device_.Fail(Op::SetState);
    EXPECT_EQ(MMOpenCom(port), nullptr);
    EXPECT_TRUE(CapturedLog().empty());
}

TEST_F(SerialTest, MMCloseComClosesAndLogs) {
    Ports[2].device = &device_;
    Ports[2].flags = kDEF | kOPN;
    EXPECT_EQ(MMCloseCom(2), 0);
    EXPECT_TRUE(device_.Closed());
    EXPECT_EQ(Ports[2].device.load(), nullptr);
    EXPECT_EQ(Ports[2].flags.load(), kDEF | kOPN);
    EXPECT_EQ(CapturedLog(),
              (std::vector<LogLine>{{kLog, "KORVA: MMCloseCom() COM3 closed successfully"}}));
}

TEST_F(SerialTest, FailedCloseKeepsTheHandle) {
    Ports[20].device = &device_;
    device_.Fail(Op::Close);
    EXPECT_EQ(MMCloseCom(20), 2);
    EXPECT_EQ(Ports[20].device.load(), &device_);
    EXPECT_EQ(CapturedLog(),
              (std::vector<LogLine>{{kLog, "KORVA: MMCloseCom() failed to close COM21 !"}}));
    EXPECT_EQ(ComClose(nullptr), 7);
}

// --- Read time-out --------------------------------------------------------------------------

TEST_F(SerialTest, SetReadTimeoutRules) {
    struct Case {
        uint32_t currentMs;
        int32_t units;
        int32_t result;
        uint32_t afterMs;
        bool written;
    };
    const Case cases[] = {
        {1000, 100, 100, 1000, false},  // already in force: nothing written
        {1000, 5, 100, 50, true},
        {0, 10, 0, 100, true},  // from "no limit": set, and 0 returned
        {7, 1, 0, 10, true},    // below 10 ms also reads as 0
        {1234, 0, 123, 0, true},
        {2500, 250, 250, 2500, false},
        {1000, -1, 0, 1000, false},         // meaningless: refused
        {1000, 429496730, 0, 1000, false},  // milliseconds would overflow: refused
        {1000, 429496729, 100, 4294967290u, true},
    };
    for (const Case& c : cases) {
        ScriptDevice device;
        platform::CommTimeouts timeouts;
        timeouts.readTotalTimeoutConstant = c.currentMs;
        timeouts.readTotalTimeoutMultiplier = 3;
        timeouts.writeTotalTimeoutConstant = 4;
        device.SetTimeouts(timeouts);
        device.ClearEvents();
        EXPECT_EQ(ComSetReadTimeout(&device, c.units), c.result) << c.currentMs << " " << c.units;
        EXPECT_EQ(device.Timeouts().readTotalTimeoutConstant, c.afterMs) << c.units;
        EXPECT_EQ(device.Count(Op::SetTimeouts), c.written ? 1u : 0u) << c.units;
        EXPECT_EQ(device.Timeouts().readTotalTimeoutMultiplier, 3u);
        EXPECT_EQ(device.Timeouts().writeTotalTimeoutConstant, 4u);
    }
}

TEST_F(SerialTest, SetReadTimeoutFailuresReturnZero) {
    device_.PresetReadTimeout(1000);
    device_.Fail(Op::GetTimeouts);
    EXPECT_EQ(ComSetReadTimeout(&device_, 20), 0);
    EXPECT_EQ(device_.Count(Op::SetTimeouts), 0u);
    device_.Fail(Op::SetTimeouts);
    EXPECT_EQ(ComSetReadTimeout(&device_, 20), 0);
    EXPECT_EQ(device_.Timeouts().readTotalTimeoutConstant, 1000u);
    EXPECT_EQ(ComSetReadTimeout(nullptr, 20), 0);
}

// --- Reads and writes -----------------------------------------------------------------------

TEST_F(SerialTest, ReadOfNothingOrAWholeMultipleOf65536FailsAtOnce) {
    device_.Feed("data");
    for (uint32_t count : {0u, 65536u, 131072u}) {
        uint32_t received = 99;
        char buffer[8];
        EXPECT_EQ(ComRead(&device_, buffer, count, &received), 7) << count;
        EXPECT_EQ(received, 0u);
    }
    EXPECT_EQ(device_.Count(Op::Read), 0u);
    EXPECT_EQ(device_.Available(), 4u);
}

TEST_F(SerialTest, ReadCountIsTakenModulo65536) {
    device_.Feed("xyz");
    char buffer[4] = {};
    uint32_t received = 0;
    EXPECT_EQ(ComRead(&device_, buffer, 65538, &received), 0);
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(device_.Events(Op::Read).at(0).count, 2u);
}

TEST_F(SerialTest, ShortReadSucceedsWithTheShorterCountAfterTheTimeout) {
    device_.PresetReadTimeout(1000);
    device_.Feed("abc");
    device_.Feed("de", 400);
    char buffer[16] = {};
    uint32_t received = 0;
    EXPECT_EQ(ComRead(&device_, buffer, 10, &received), 0);
    EXPECT_EQ(received, 5u);
    EXPECT_STREQ(buffer, "abcde");
    ScriptDevice::Event read = device_.Events(Op::Read).at(0);
    EXPECT_EQ(read.endMs - read.atMs, 1000u);
    EXPECT_EQ(ComRead(&device_, buffer, 10, nullptr), 7);  // the out-parameter may be absent
}

TEST_F(SerialTest, ReadOfNothingFailsAfterTheTimeoutWithCountZero) {
    device_.PresetReadTimeout(300);
    char buffer[4];
    uint32_t received = 42;
    EXPECT_EQ(ComRead(&device_, buffer, 4, &received), 7);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(device_.NowMs(), 300u);
}

TEST_F(SerialTest, FailedReadReportsSeven) {
    device_.Feed("abc");
    device_.Fail(Op::Read);
    char buffer[4];
    uint32_t received = 42;
    EXPECT_EQ(ComRead(&device_, buffer, 3, &received), 7);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(ComRead(nullptr, buffer, 3, &received), 7);
}

TEST_F(SerialTest, WriteResults) {
    uint32_t written = 99;
    EXPECT_EQ(ComWrite(&device_, "hello", 5, &written), 0);
    EXPECT_EQ(written, 5u);

    device_.LimitNextWrite(2);
    EXPECT_EQ(ComWrite(&device_, "world", 5, &written), 2);
    EXPECT_EQ(written, 2u);

    written = 99;
    device_.Fail(Op::Write);
    EXPECT_EQ(ComWrite(&device_, "again", 5, &written), 7);
    EXPECT_EQ(written, 99u);  // untouched after a failed write

    EXPECT_EQ(ComWrite(&device_, "!", 1, nullptr), 0);
    EXPECT_EQ(device_.Written(), "hellowo!");
}

TEST_F(SerialTest, WriteAllAndReadAllNeedTheExactCount) {
    EXPECT_EQ(ComWriteAll("abcd", 4, &device_), 0);
    device_.LimitNextWrite(3);
    EXPECT_EQ(ComWriteAll("abcd", 4, &device_), 2);
    device_.Fail(Op::Write);
    EXPECT_EQ(ComWriteAll("abcd", 4, &device_), 2);

    char buffer[8] = {};
    device_.Feed("1234");
    EXPECT_EQ(ComReadAll(buffer, 4, &device_), 0);
    EXPECT_STREQ(buffer, "1234");
    device_.Feed("56");
    EXPECT_EQ(ComReadAll(buffer, 4, &device_), 1);
    EXPECT_EQ(ComReadAll(buffer, 4, &device_), 1);  // nothing at all
}

// --- Purging --------------------------------------------------------------------------------

TEST_F(SerialTest, PurgeOfAnEmptyQueueLeavesTheTimeout) {
    device_.PresetReadTimeout(1000);
    EXPECT_EQ(ComPurgeInput(&device_), 0);
    EXPECT_EQ(device_.Ops(), std::vector<Op>{Op::ClearError});
    EXPECT_EQ(device_.Timeouts().readTotalTimeoutConstant, 1000u);
}

TEST_F(SerialTest, PurgeReadsBlocksUntilAShortOneAndRestoresTheTimeout) {
    struct Case {
        std::size_t queued;
        uint32_t previousMs;
        std::vector<uint32_t> reads;  // bytes each read delivered
        int result;
        uint32_t afterMs;
    };
    const Case cases[] = {
        {1300, 1000, {512, 512, 276}, 0, 1000},
        {1, 2500, {1}, 0, 2500},
        {1024, 1000, {512, 512, 0}, 1, 1000},  // the last read found nothing
        {700, 0, {512, 188}, 0, 50},           // 0 is not put back
        {10, 5, {10}, 0, 50},                  // below 10 ms reads as 0 too
    };
    for (const Case& c : cases) {
        ScriptDevice device;
        device.PresetReadTimeout(c.previousMs);
        device.Feed(std::string(c.queued, 'x'));
        EXPECT_EQ(ComPurgeInput(&device), c.result) << c.queued;
        std::vector<uint32_t> reads;
        for (const ScriptDevice::Event& read : device.Events(Op::Read)) {
            EXPECT_EQ(read.count, 512u);
            EXPECT_EQ(read.timeoutMs, 50u);
            reads.push_back(read.done);
        }
        EXPECT_EQ(reads, c.reads) << c.queued;
        EXPECT_EQ(device.Timeouts().readTotalTimeoutConstant, c.afterMs) << c.queued;
        EXPECT_EQ(device.Pending(), 0u);
    }
}

TEST_F(SerialTest, PurgeReadsEvenWhenTheQueueCannotBeAsked) {
    device_.PresetReadTimeout(1000);
    device_.Feed("junk");
    device_.Fail(Op::ClearError);
    EXPECT_EQ(ComPurgeInput(&device_), 0);
    EXPECT_EQ(device_.Pending(), 0u);
    EXPECT_EQ(device_.Timeouts().readTotalTimeoutConstant, 1000u);
}

TEST_F(SerialTest, PurgeReportsAFailedRead) {
    device_.PresetReadTimeout(1000);
    device_.Feed("junk");
    device_.Fail(Op::Read);
    EXPECT_EQ(ComPurgeInput(&device_), 1);
    EXPECT_EQ(device_.Timeouts().readTotalTimeoutConstant, 1000u);
}

// --- Modem signals --------------------------------------------------------------------------

TEST_F(SerialTest, OutputSignalsComeWithoutAskingTheDevice) {
    EXPECT_EQ(Ports[5].device.load(), nullptr);
    EXPECT_EQ(GetModemSignals(5, 'f'), 0x03);  // also for a port that is not open
    Ports[6].device = &device_;
    device_.SetModemStatus(0xF0);
    EXPECT_EQ(GetModemSignals(6, 'f'), 0x03);
    EXPECT_TRUE(device_.Events().empty());
}

TEST_F(SerialTest, InputSignalsMapTheModemStatus) {
    struct Case {
        uint32_t status;
        uint8_t signals;
    };
    const Case cases[] = {
        {0, 0},
        {platform::kMsCtsOn, kSigCTS},
        {platform::kMsDsrOn, kSigDSR},
        {platform::kMsRingOn, kSigRIN},
        {platform::kMsRlsdOn, kSigDCD},
        {0xFFFFFFFF, kSigCTS | kSigDSR | kSigRIN | kSigDCD},
    };
    Ports[0].device = &device_;
    for (const Case& c : cases) {
        device_.SetModemStatus(c.status);
        EXPECT_EQ(GetModemSignals(0, 'g'), c.signals) << std::hex << c.status;
    }
}

TEST_F(SerialTest, UnreadableStatusShowsNoSignals) {
    Ports[3].device = &device_;
    device_.SetModemStatus(0xF0);
    device_.Fail(Op::GetModemStatus);
    EXPECT_EQ(GetModemSignals(3, 'g'), 0);
    EXPECT_EQ(GetModemSignals(4, 'g'), 0);   // not open
    EXPECT_EQ(GetModemSignals(40, 'g'), 0);  // no such port
}

}  // namespace
