// The modem command dialogue and the hang-up, byte for byte against a scripted modem.
#include "serial/modem.h"

#include <gtest/gtest.h>

#include <string>

#include "support/driver_test.h"
#include "support/script_device.h"

namespace {

using Op = ScriptDevice::Op;

constexpr uint32_t kCommandTimeoutMs = 1000;

// What became of one exchange.
struct Outcome {
    int result;
    bool drained;  // the read time-out went to 2500 ms for a drain
    bool purged;   // the input was purged at the end
};

bool Drained(const ScriptDevice& device) {
    for (const ScriptDevice::Event& event : device.Events(Op::SetTimeouts))
        if (event.timeoutMs == 2500) return true;
    return false;
}

// The bytes of every one-byte read after the drain set its time-out.
std::string DrainedBytes(const ScriptDevice& device) {
    std::string bytes;
    bool draining = false;
    for (const ScriptDevice::Event& event : device.Events()) {
        if (event.op == Op::SetTimeouts && event.timeoutMs == 2500) draining = true;
        if (draining && event.op == Op::Read && event.count == 1) bytes += event.bytes;
    }
    return bytes;
}

class ModemCommandTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        modem_.PresetReadTimeout(kCommandTimeoutMs);
    }
    // The modem echoes the command, then sends `reply` (if any) `delayMs` later.
    Outcome Run(const char* command, uint8_t mode, const char* echo, const char* reply,
                uint32_t delayMs = 0) {
        modem_.ReplyToWrite(echo);
        if (reply != nullptr) modem_.Feed(reply, delayMs + 1);  // after the write
        int result = ModemCommand(command, mode, &modem_);
        return Outcome{result, Drained(modem_), modem_.Count(Op::ClearError) > 0};
    }
    ScriptDevice modem_;
};

TEST_F(ModemCommandTest, Replies) {
    struct Case {
        const char* name;
        const char* command;
        uint8_t mode;
        const char* echo;
        const char* reply;
        int result;
        bool drained;
        bool purged;
    };
    const Case cases[] = {
        {"OK", "AT\r", 1, "AT\r", "\r\nOK\r\n", 0, true, true},
        {"ERROR", "AT\r", 1, "AT\r", "\r\nERROR\r\n", 4, true, true},
        {"echo without result code", "AT\r", 1, "AT\r", nullptr, 0, false, true},
        // Without an echo the reply is taken for it, and what is left holds no "OK".
        {"OK without echo", "AT\r", 1, "", "\r\nOK\r\n", 4, true, true},
        {"silent modem", "AT\r", 1, "", nullptr, 4, false, false},
        {"CONNECT 2400", "ATDT5551234\r", 0, "ATDT5551234\r", "\r\nCONNECT 2400\r\n", 0, false,
         true},
        {"CONNECT 14400", "ATDT5551234\r", 0, "ATDT5551234\r", "\r\nCONNECT 14400\r\n", 0, true,
         true},
        {"NO CARRIER", "ATDT5551234\r", 0, "ATDT5551234\r", "\r\nNO CARRIER\r\n", 4, false, true},
        {"BUSY", "ATDT5551234\r", 0, "ATDT5551234\r", "\r\nBUSY\r\n", 4, false, true},
        {"dial, nothing after the echo", "ATDT5551234\r", 0, "ATDT5551234\r", nullptr, 4, false,
         true},
        {"dial, no echo", "ATDT5551234\r", 0, "", nullptr, 4, false, false},
        {"dial reply of two bytes", "ATDT1\r", 0, "ATDT1\r", "CO", 4, true, true},
        {"dial and escape in one is a dial", "ATDT1+++\r", 0, "ATDT1+++\r", "\r\nNO CARRIER\r\n", 4,
         false, true},
        {"lower-case dial is no dial", "atdt1\r", 0, "atdt1\r", "\r\nCONNECT 2400\r\n", 4, false,
         true},
        {"mode 0, neither dial nor escape", "ATZ\r", 0, "ATZ\r", "\r\nOK\r\n", 4, false, true},
        {"escape with echo", "+++", 0, "+++", nullptr, 0, false, true},
        {"escape with part of its echo", "+++", 0, "+", nullptr, 0, false, true},
        {"escape answered OK", "+++", 0, "", "\r\nOK\r\n", 0, false, true},
        {"escape without echo", "+++", 0, "", nullptr, 4, false, false},
    };
    for (const Case& c : cases) {
        ScriptDevice modem;
        modem.PresetReadTimeout(kCommandTimeoutMs);
        modem.ReplyToWrite(std::string(c.echo) + (c.reply != nullptr ? c.reply : ""));
        EXPECT_EQ(ModemCommand(c.command, c.mode, &modem), c.result) << c.name;
        EXPECT_EQ(modem.Written(), c.command) << c.name;
        EXPECT_EQ(Drained(modem), c.drained) << c.name;
        EXPECT_EQ(modem.Count(Op::ClearError) > 0, c.purged) << c.name;
        if (c.purged) {
            EXPECT_EQ(modem.Pending(), 0u) << c.name;
        }
        EXPECT_FALSE(modem.Stalled()) << c.name;
    }
}

TEST_F(ModemCommandTest, OkReplyStillWaitsTheFullDrainBeforeThePurge) {
    Outcome outcome = Run("AT\r", 1, "AT\r", "\r\nOK\r\n");
    EXPECT_EQ(outcome.result, 0);
    std::vector<ScriptDevice::Event> events = modem_.Events();
    ASSERT_GE(events.size(), 2u);
    const ScriptDevice::Event& drain = events[events.size() - 2];
    EXPECT_EQ(drain.op, Op::Read);
    EXPECT_EQ(drain.count, 1u);
    EXPECT_EQ(drain.done, 0u);
    EXPECT_EQ(drain.timeoutMs, 2500u);
    EXPECT_EQ(drain.endMs - drain.atMs, 2500u);
    EXPECT_EQ(events.back().op, Op::ClearError);
    // The drain's time-out stays in force.
    EXPECT_EQ(modem_.Timeouts().readTotalTimeoutConstant, 2500u);
}

TEST_F(ModemCommandTest, ErrorReplyIsDrainedToItsLineFeed) {
    Outcome outcome = Run("AT\r", 1, "AT\r", "\r\nERROR\r\nRING\r\n");
    EXPECT_EQ(outcome.result, 4);
    std::vector<ScriptDevice::Event> reads = modem_.Events(Op::Read);
    ASSERT_GE(reads.size(), 2u);
    EXPECT_EQ(reads[0].bytes, "AT\r");
    EXPECT_EQ(reads[1].bytes, "\r\nERRO");
    EXPECT_EQ(DrainedBytes(modem_), "R\r\n");
    EXPECT_EQ(modem_.Pending(), 0u);  // the purge took the rest
}

TEST_F(ModemCommandTest, DialReplyOfSixteenBytesEndingInLineFeedIsNotDrained) {
    Outcome outcome = Run("ATDT5551234\r", 0, "ATDT5551234\r", "\r\nCONNECT 2400\r\n");
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(modem_.Events(Op::Read).at(1).bytes, "\r\nCONNECT 2400\r\n");
    EXPECT_FALSE(outcome.drained);
    EXPECT_EQ(modem_.Timeouts().readTotalTimeoutConstant, kCommandTimeoutMs);
}

TEST_F(ModemCommandTest, DialReplyOfSeventeenBytesDrainsTheLineFeed) {
    Outcome outcome = Run("ATDT5551234\r", 0, "ATDT5551234\r", "\r\nCONNECT 14400\r\n");
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(modem_.Events(Op::Read).at(1).bytes, "\r\nCONNECT 14400\r");
    EXPECT_EQ(DrainedBytes(modem_), "\n");
}

TEST_F(ModemCommandTest, ShortDialReplyWaitsTheWholeTimeout) {
    Outcome outcome = Run("ATDT5551234\r", 0, "ATDT5551234\r", "\r\nNO CARRIER\r\n");
    EXPECT_EQ(outcome.result, 4);
    ScriptDevice::Event reply = modem_.Events(Op::Read).at(1);
    EXPECT_EQ(reply.count, 16u);
    EXPECT_EQ(reply.done, 14u);
    EXPECT_EQ(reply.endMs - reply.atMs, kCommandTimeoutMs);
}

TEST_F(ModemCommandTest, LateEchoIsReadAsPartOfTheReply) {
    // Only "A" of the echo comes within the time-out; the rest comes later and crowds the OK
    // out of the six bytes that are judged.
    modem_.ReplyToWrite("A");
    modem_.Feed("TZ\r\r\nOK\r\n", kCommandTimeoutMs + 500);
    EXPECT_EQ(ModemCommand("ATZ\r", 1, &modem_), 4);
    std::vector<ScriptDevice::Event> reads = modem_.Events(Op::Read);
    EXPECT_EQ(reads.at(0).bytes, "A");
    EXPECT_EQ(reads.at(1).bytes, "TZ\r\r\nO");
    EXPECT_EQ(DrainedBytes(modem_), "K\r\n");
}

TEST_F(ModemCommandTest, UnwrittenCommandIsNotRead) {
    modem_.Fail(Op::Write);
    modem_.Feed("\r\nOK\r\n");
    EXPECT_EQ(ModemCommand("AT\r", 1, &modem_), 3);
    modem_.LimitNextWrite(2);
    EXPECT_EQ(ModemCommand("AT\r", 1, &modem_), 3);
    EXPECT_EQ(modem_.Count(Op::Read), 0u);
    EXPECT_EQ(modem_.Count(Op::ClearError), 0u);
}

TEST_F(ModemCommandTest, LongestCommandFitsAndALongerOneIsRefused) {
    std::string longest(255, 'A');
    longest += '\r';
    modem_.SetEcho(true);
    modem_.ReplyToWrite("\r\nOK\r\n");
    EXPECT_EQ(ModemCommand(longest.c_str(), 1, &modem_), 0);
    EXPECT_EQ(modem_.Events(Op::Read).at(0).done, 256u);

    ScriptDevice other;
    std::string tooLong = std::string(256, 'A') + "\r";
    EXPECT_EQ(ModemCommand(tooLong.c_str(), 1, &other), 3);
    EXPECT_TRUE(other.Events().empty());  // nothing went to the modem
}

// --- Hang-up --------------------------------------------------------------------------------

class HangUpTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        Ports[7].device = &modem_;
        modem_.PresetReadTimeout(2500);
        modem_.Escape(platform::kSetDtr);
        modem_.ClearEvents();
    }
    ScriptDevice modem_;
};

TEST_F(HangUpTest, SilentModemStillGetsTheDtrPulseAndTwoPurges) {
    HangUpModem(7);
    EXPECT_EQ(modem_.Ops(), (std::vector<Op>{Op::ClearError, Op::GetTimeouts, Op::SetTimeouts,
                                             Op::Write, Op::Read, Op::Write, Op::Read, Op::Escape,
                                             Op::Escape, Op::ClearError}));
    EXPECT_EQ(modem_.Written(), "+++ATH0\r");
    std::vector<ScriptDevice::Event> events = modem_.Events();
    EXPECT_EQ(events[2].timeoutMs, 1000u);  // MODEM_COMMAND_TIMEOUT
    const ScriptDevice::Event& escape = events[3];
    const ScriptDevice::Event& hangUp = events[5];
    const ScriptDevice::Event& clear = events[7];
    const ScriptDevice::Event& set = events[8];
    const ScriptDevice::Event& purge = events[9];
    EXPECT_EQ(clear.function, platform::kClrDtr);
    EXPECT_EQ(set.function, platform::kSetDtr);
    EXPECT_GE(hangUp.realNs - escape.realNs, platform::ScaledNs(1500));
    EXPECT_GE(set.realNs - clear.realNs, platform::ScaledNs(200));
    EXPECT_GE(purge.realNs - set.realNs, platform::ScaledNs(250));
    EXPECT_TRUE(modem_.Dtr());
    EXPECT_EQ(modem_.Timeouts().readTotalTimeoutConstant, 1000u);
}

TEST_F(HangUpTest, AnsweringModemGoesOnHook) {
    Settings.modemCommandTimeout = 50;
    modem_.Feed("RING\r\n");  // stale input: the first purge takes it
    modem_.SetEcho(true);
    modem_.ReplyToWrite("");                // "+++": the echo only
    modem_.ReplyToWrite("\r\nOK\r\n", 20);  // "ATH0"
    HangUpModem(7);
    EXPECT_EQ(modem_.Written(), "+++ATH0\r");
    std::vector<ScriptDevice::Event> reads = modem_.Events(Op::Read);
    ASSERT_EQ(reads.size(), 5u);
    EXPECT_EQ(reads[0].bytes, "RING\r\n");
    EXPECT_EQ(reads[1].bytes, "+++");
    EXPECT_EQ(reads[1].timeoutMs, 500u);
    EXPECT_EQ(reads[3].bytes, "\r\nOK\r\n");
    const ScriptDevice::Event& drain = reads.back();
    EXPECT_EQ(drain.count, 1u);
    EXPECT_EQ(drain.done, 0u);
    EXPECT_EQ(drain.timeoutMs, 2500u);
    EXPECT_EQ(modem_.Events(Op::Escape).size(), 2u);
    EXPECT_TRUE(modem_.Dtr());
    EXPECT_EQ(modem_.Pending(), 0u);
    // The "ATH0" reply was drained, so its time-out stays.
    EXPECT_EQ(modem_.Timeouts().readTotalTimeoutConstant, 2500u);
}

TEST_F(HangUpTest, PortWithoutDeviceIsLeftAlone) {
    HangUpModem(8);
    HangUpModem(200);
    EXPECT_TRUE(modem_.Events().empty());
}

}  // namespace
