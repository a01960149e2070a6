// Faults while an incoming call is answered and identified: each call ends the way it should,
// the answering modem is armed again, and the pool goes on serving calls and dials.
#include <atomic>
#include <string>
#include <thread>

#include "korva/korva.h"
#include "support/supervision_fixture.h"

namespace {

using namespace std::string_literals;

const std::string kAsk = "\x01\x03"s;
constexpr const char* kAnswered = "KORVA> CheckIncomingCalls() modem COM3 answered call";
constexpr const char* kUnidentified = "KORVA> GetStationAddress() rcvd unidentified ALARM call!";

enum class Trouble {
    kCarrierDropsWhileIdentifying,
    kCarrierDropsBeforeADefinedStation,
    kReplyTooShort,
    kReplyTooLong
};

struct IncomingFault {
    const char* name;
    Trouble trouble;
    bool handedOver;      // the call still reaches the destination
    std::string message;  // else the line that says why not
};

void PrintTo(const IncomingFault& c, std::ostream* out) {
    *out << c.name;
}

const IncomingFault kIncomingFaults[] = {
    // The modem's "\r\nNO CARRIER\r\n" arrives in place of the reply; its second byte reads
    // as address 10, a station nobody defined.
    {"CarrierDropsWhileIdentifying", Trouble::kCarrierDropsWhileIdentifying, false,
     "KORVA> GetStationAddress() rcvd ALARM call VPIMOD, plcAdd 10, not DEFINED!"},
    // The same, with a station 10 defined: the dead call must still not be handed over.
    {"CarrierDropsBeforeADefinedStation", Trouble::kCarrierDropsBeforeADefinedStation, false,
     "KORVA> CheckIncomingCalls() COM3 lost the carrier of its answered call"},
    {"ReplyTooShort", Trouble::kReplyTooShort, false, kUnidentified},
    // The address lies within the expected length; the surplus is the destination's to read.
    {"ReplyTooLong", Trouble::kReplyTooLong, true, ""},
};

// COM3 answers 201, where station 555 (MOD 17 of VPI 3) calls; COM4 dials out to 556.
class IncomingFaultTest : public SupervisionTest,
                          public ::testing::WithParamInterface<IncomingFault> {
  protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        modem = &AddPort(3, Direction::kIn, "201");
        AddPort(4, Direction::kOut);
        station = &world.AddStation("555");
        world.AddStation("556");
        DialEntry& entry = DialEntries[0];
        std::snprintf(entry.dial, sizeof entry.dial, "ATDT556");
        entry.timeout = 10;
        entry.defined = 1;
        Settings.diagnose = 1;
        Settings.callerIdTimeout = 200;
        ArmSequence(1, "MOD", kAsk, 4, 1, 'B');
        AddStationEntry("MOD", 3, 17);
        gate = ZunHostDefineGate(3, "$A03-017");
    }

    unsigned GateWrites(double* value = nullptr) {
        unsigned writes = 0;
        EXPECT_EQ(ZunHostGateValue(gate, value, &writes), 0);
        return writes;
    }

    // Station 555 calls and the supervision runs until the call is over or handed over.
    void CallAndSettle(unsigned handOvers) {
        ClearLog();
        ASSERT_TRUE(station->Call("201"));
        RunCyclesUntil([] { return LogContains(kAnswered); }, 20);
        ASSERT_TRUE(LogContains(kAnswered));
        RunCyclesUntil([&] { return GateWrites() == handOvers || !HasFlag(3, kCON); }, 20);
    }
    static void ClearLog() { ZunHostClearLog(); }

    // The answering port is idle and its modem on-hook.
    void ExpectIdle() {
        EXPECT_FALSE(HasFlag(3, kCON));
        EXPECT_FALSE(HasFlag(3, kRIN));
        EXPECT_FALSE(HasFlag(3, kRSV));
        EXPECT_EQ(UsedConnections(), 0u);
        EXPECT_FALSE(modem->OffHook());
    }

    sim::Modem* modem = nullptr;
    sim::Station* station = nullptr;
    uint32_t gate = 0;
    uint32_t otherGate = 0;
};

TEST_P(IncomingFaultTest, CallEndsAsItShouldAndThePoolGoesOn) {
    const IncomingFault& c = GetParam();
    switch (c.trouble) {
        case Trouble::kCarrierDropsBeforeADefinedStation:
            AddStationEntry("MOD", 3, 10);
            otherGate = ZunHostDefineGate(3, "$A03-010");
            [[fallthrough]];
        case Trouble::kCarrierDropsWhileIdentifying:
            station->SetReply(kAsk, "\x68\x11\x00\x16"s);
            station->SetReplyDelay(3600 * 1000);
            break;
        case Trouble::kReplyTooShort:
            station->SetReply(kAsk, "\x68\x11"s);
            break;
        case Trouble::kReplyTooLong:
            station->SetReply(kAsk, "\x68\x11\x00\x16\x99\x98"s);
            break;
    }
    InitPortsAndModems();
    StartSupervision();

    // The carrier goes as soon as the station has been asked who it is.
    std::atomic<bool> done{false};
    std::thread dropper;
    if (c.trouble == Trouble::kCarrierDropsWhileIdentifying ||
        c.trouble == Trouble::kCarrierDropsBeforeADefinedStation) {
        dropper = std::thread([&] {
            while (!done && station->Received().find(kAsk) == std::string::npos)
                std::this_thread::yield();
            if (!done) modem->DropCarrier();
        });
    }
    CallAndSettle(1);
    done = true;
    if (dropper.joinable()) dropper.join();

    if (c.handedOver) {
        double value = -1;
        ASSERT_EQ(GateWrites(&value), 1u);
        const auto reference = static_cast<uint32_t>(value);
        EXPECT_EQ(KORVA_Send(reference, "data", 4), KORVA_STATUS_OK);
        EXPECT_TRUE(
            WaitUntil([&] { return station->Received().find("data") != std::string::npos; }));
        EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_OK);
    } else {
        EXPECT_EQ(GateWrites(), 0u);
        unsigned otherWrites = 0;
        if (otherGate != 0) ZunHostGateValue(otherGate, nullptr, &otherWrites);
        EXPECT_EQ(otherWrites, 0u);
        EXPECT_TRUE(LogContains(c.message)) << c.message;
        station->HangUp();
    }
    RunCyclesUntil([&] { return !modem->OffHook() && !HasFlag(3, kCON); }, 20);
    ExpectIdle();

    // A healthy call on the same modem is handed over, and a dial on the other modem connects.
    station->SetReply(kAsk, "\x68\x11\x00\x16"s);
    station->SetReplyDelay(0);
    const unsigned before = GateWrites();
    CallAndSettle(before + 1);
    double value = -1;
    ASSERT_EQ(GateWrites(&value), before + 1);
    EXPECT_EQ(KORVA_Disconnect(static_cast<uint32_t>(value)), KORVA_STATUS_OK);
    uint16_t reference = kNoReference;
    ASSERT_EQ(KORVA_Connect(1, 100, &reference), KORVA_STATUS_OK);
    EXPECT_EQ(Connections[reference].port.load(), 3);
    EXPECT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_OK);
}

INSTANTIATE_TEST_SUITE_P(Faults, IncomingFaultTest, ::testing::ValuesIn(kIncomingFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
