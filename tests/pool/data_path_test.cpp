// The exported data functions on a dialled line: bytes to a simulated station and back, the
// read time-out, the flush, and the checks every exported function makes first.
#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "korva/korva.h"
#include "supervision/supervision.h"
#include "support/pool_fixture.h"

namespace {

class DataPathTest : public PoolTest {
  protected:
    void SetUp() override {
        PoolTest::SetUp();
        AddPort(0, Direction::kInOut);
        AddDialEntry(1, "ATDT555", 10);
        OpenPorts();
        reference = Dial(1, 500);
        ASSERT_LT(reference, kNoReference);
        station.ClearReceived();
    }

    int32_t Send(const std::string& bytes) {
        return KORVA_Send(reference, bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    // One receive of up to `count` bytes: its status and the bytes.
    std::pair<int32_t, std::string> Receive(int32_t count) {
        std::string bytes(64, '\0');
        int32_t received = -1;
        int32_t status = KORVA_Receive(reference, bytes.data(), count, &received);
        EXPECT_GE(received, 0);
        bytes.resize(static_cast<size_t>(received < 0 ? 0 : received));
        return {status, bytes};
    }

    sim::Station& station = world.AddStation("555");
    uint16_t reference = kNoReference;
};

TEST_F(DataPathTest, MovesBytesToTheStationAndBack) {
    station.SetReply("PING", "PONG\r\n");
    EXPECT_EQ(Send("PING"), KORVA_STATUS_OK);
    EXPECT_EQ(station.Received(), "PING");
    EXPECT_EQ(Receive(6), std::make_pair(0, std::string("PONG\r\n")));

    // Every byte value passes, in both directions.
    station.SetEcho(true);
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[static_cast<size_t>(i)] = static_cast<char>(i);
    ASSERT_EQ(Send(all), KORVA_STATUS_OK);
    std::string back;
    for (int reads = 0; back.size() < all.size() && reads < 8; ++reads) {
        auto [status, bytes] = Receive(64);
        ASSERT_EQ(status, KORVA_STATUS_OK);
        back += bytes;
    }
    EXPECT_EQ(back, all);
}

TEST_F(DataPathTest, ShortEmptyAndImpossibleReads) {
    station.SetEcho(true);
    ASSERT_EQ(Send("abc"), KORVA_STATUS_OK);
    // Fewer bytes than asked for: the read ends with them when the read time-out has passed.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Receive(10), std::make_pair(0, std::string("abc")));
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::nanoseconds(platform::ScaledNs(5000)));
    // Nothing at all, nothing asked for, a negative count: 9 with nothing received.
    EXPECT_EQ(Receive(10), std::make_pair(9, std::string()));
    EXPECT_EQ(Receive(0), std::make_pair(9, std::string()));
    EXPECT_EQ(Receive(-1), std::make_pair(9, std::string()));
    // A negative count is not sent as a huge one.
    EXPECT_EQ(KORVA_Send(reference, "xyz", -1), KORVA_STATUS_IO_FAILED);
    EXPECT_EQ(station.Received(), "abc");
    // The received count may be left out.
    ASSERT_EQ(Send("d"), KORVA_STATUS_OK);
    char byte = 0;
    EXPECT_EQ(KORVA_Receive(reference, &byte, 1, nullptr), KORVA_STATUS_OK);
    EXPECT_EQ(byte, 'd');
}

TEST_F(DataPathTest, TimeoutSetsTheLinesReadTimeOut) {
    EXPECT_EQ(ReadTimeoutMs(0), 5000u);
    EXPECT_EQ(KORVA_Timeout(reference, 250), KORVA_STATUS_OK);
    EXPECT_EQ(ReadTimeoutMs(0), 2500u);
    // 0 is "no limit"; the next change cannot tell it from a failure, yet it is made.
    EXPECT_EQ(KORVA_Timeout(reference, 0), KORVA_STATUS_OK);
    EXPECT_EQ(ReadTimeoutMs(0), 0u);
    EXPECT_EQ(KORVA_Timeout(reference, 100), KORVA_STATUS_IO_FAILED);
    EXPECT_EQ(ReadTimeoutMs(0), 1000u);
    // A negative time-out is refused and changes nothing.
    EXPECT_EQ(KORVA_Timeout(reference, -1), KORVA_STATUS_IO_FAILED);
    EXPECT_EQ(ReadTimeoutMs(0), 1000u);
}

TEST_F(DataPathTest, FlushDiscardsPendingInputAndKeepsTheLine) {
    ASSERT_TRUE(station.Send("noise that nobody wants"));
    platform::Dcb before;
    ASSERT_TRUE(Ports[0].device.load()->GetState(before));
    EXPECT_EQ(KORVA_Flush(reference), KORVA_STATUS_OK);
    EXPECT_EQ(ReadTimeoutMs(0), 5000u);
    platform::Dcb after;
    ASSERT_TRUE(Ports[0].device.load()->GetState(after));
    EXPECT_EQ(after.fDtrControl, before.fDtrControl);
    EXPECT_EQ(after.fRtsControl, before.fRtsControl);
    EXPECT_EQ(after.fDsrSensitivity, before.fDsrSensitivity);
    EXPECT_TRUE(ModemOf(0).Dtr());
    EXPECT_TRUE(station.Connected());
    EXPECT_EQ(Receive(10), std::make_pair(9, std::string()));
    // Nothing pending: still 0.
    EXPECT_EQ(KORVA_Flush(reference), KORVA_STATUS_OK);
}

// A failed serial operation is 9; Flush discards the input even when the line's settings cannot
// be read, and reports nothing.
TEST_F(DataPathTest, SerialFailuresAreReported) {
    using sim::Fault;
    char buffer[8] = {};
    struct Case {
        const char* name;
        Fault fault;
        std::function<int32_t()> call;
        int32_t status;
    };
    const Case cases[] = {
        {"write fails", Fault::kWriteFails, [&] { return Send("abcd"); }, 9},
        {"short write", Fault::kShortWrite, [&] { return Send("abcd"); }, 9},
        {"read fails", Fault::kReadFails,
         [&] { return KORVA_Receive(reference, buffer, 4, nullptr); }, 9},
        {"time-outs not read", Fault::kGetTimeoutsFails,
         [&] { return KORVA_Timeout(reference, 300); }, 9},
        {"time-outs not written", Fault::kSetTimeoutsFails,
         [&] { return KORVA_Timeout(reference, 300); }, 9},
        {"settings not read", Fault::kGetStateFails, [&] { return KORVA_Flush(reference); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(station.Send("pending"));
        ModemOf(0).SetFault(c.fault, 0, 1);
        EXPECT_EQ(c.call(), c.status);
        ModemOf(0).ClearFault(c.fault);
        KORVA_Flush(reference);
    }
    EXPECT_EQ(ReadTimeoutMs(0), 5000u);
    // The flush without settings still emptied the input.
    ASSERT_TRUE(station.Send("pending"));
    ModemOf(0).SetFault(Fault::kGetStateFails, 0, 1);
    EXPECT_EQ(KORVA_Flush(reference), KORVA_STATUS_OK);
    EXPECT_EQ(Receive(10), std::make_pair(9, std::string()));
}

// The checks every exported function makes first, in their order; only the low 16 bits of a
// reference count.
TEST_F(DataPathTest, ChecksTheDriverAndTheReferenceFirst) {
    char buffer[8] = {};
    int32_t received = 0;
    struct Function {
        const char* name;
        std::function<int32_t(uint32_t)> call;
    };
    const Function functions[] = {
        {"Send", [&](uint32_t r) { return KORVA_Send(r, "x", 1); }},
        {"Receive", [&](uint32_t r) { return KORVA_Receive(r, buffer, 1, &received); }},
        {"Timeout", [&](uint32_t r) { return KORVA_Timeout(r, 500); }},
        {"Flush", [&](uint32_t r) { return KORVA_Flush(r); }},
        {"Disconnect", [&](uint32_t r) { return KORVA_Disconnect(r); }},
    };
    station.SetEcho(true);
    const uint32_t unused = reference + 1u;
    for (const Function& f : functions) {
        SCOPED_TRACE(f.name);
        Settings.ready = 0;
        StopFlag = 1;
        EXPECT_EQ(f.call(reference), KORVA_STATUS_NOT_READY);
        Settings.ready = 1;
        EXPECT_EQ(f.call(reference), KORVA_STATUS_STOPPED);
        StopFlag = 0;
        EXPECT_EQ(f.call(kNoReference), KORVA_STATUS_BAD_REFERENCE);
        EXPECT_EQ(f.call(0xFFFFu), KORVA_STATUS_BAD_REFERENCE);
        EXPECT_EQ(f.call(unused), KORVA_STATUS_BAD_REFERENCE);
        EXPECT_EQ(f.call(0x10000u + unused), KORVA_STATUS_BAD_REFERENCE);
    }
    EXPECT_EQ(DynamicFlags(0), uint32_t{kCON});
    EXPECT_TRUE(station.Connected());
    EXPECT_EQ(station.Received(), "");

    for (const Function& f : functions) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.call(0x10000u + reference), KORVA_STATUS_OK);
        if (f.name == std::string("Send")) {
            EXPECT_EQ(station.Received(), "x");
        }
    }
    EXPECT_EQ(Connections[reference].flags.load(), 0u);
}

TEST_F(DataPathTest, ALostLineIsReportedUntilItsDisconnect) {
    char buffer[8] = {};
    station.HangUp();
    CheckConnections();
    EXPECT_EQ(Connections[reference].flags.load() & (kConnUsed | kConnConnected),
              uint32_t{kConnUsed});
    EXPECT_EQ(KORVA_Send(reference, "x", 1), KORVA_STATUS_NOT_CONNECTED);
    EXPECT_EQ(KORVA_Receive(reference, buffer, 1, nullptr), KORVA_STATUS_NOT_CONNECTED);
    EXPECT_EQ(KORVA_Timeout(reference, 500), KORVA_STATUS_NOT_CONNECTED);
    EXPECT_EQ(KORVA_Flush(reference), KORVA_STATUS_NOT_CONNECTED);
    EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_OK);
    EXPECT_EQ(KORVA_Send(reference, "x", 1), KORVA_STATUS_BAD_REFERENCE);
}

}  // namespace
