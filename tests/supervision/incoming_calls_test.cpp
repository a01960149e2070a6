// Incoming calls through the supervision thread: ring reservation, answered calls identified and
// handed over through the destination's answer-call gate, and every way a call is given up.
#include <atomic>
#include <string>
#include <vector>

#include "korva/korva.h"
#include "pool/mutex_holder.h"
#include "pool/pool.h"
#include "support/supervision_fixture.h"

namespace {

using namespace std::string_literals;

const std::string kAsk = "\x01\x03"s;
constexpr const char* kAnswered = "KORVA> CheckIncomingCalls() modem COM3 answered call";
constexpr const char* kRing = "KORVA> CheckIncomingCalls() RING detected, COM3 reserved for %u sec";

std::string RingLine(unsigned seconds) {
    char line[128];
    std::snprintf(line, sizeof line, kRing, seconds);
    return line;
}

// COM3 dials and answers calls to 201; station 555 calls it. DIAGNOSE is on.
class IncomingCallTest : public SupervisionTest {
  protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        modem = &AddPort(3, Direction::kInOut, "201");
        station = &world.AddStation("555");
        Settings.diagnose = 1;
        Settings.callerIdTimeout = 200;
    }

    // Caller identification by sequence MOD, station MOD 17 of VPI 3, and its answer-call gate.
    uint32_t PrepareStation17() {
        ArmSequence(1, "MOD", kAsk, 4, 1, 'B');
        AddStationEntry("MOD", 3, 17);
        station->SetReply(kAsk, "\x68\x11\x00\x16"s);
        return ZunHostDefineGate(3, "$A03-017");
    }

    // Calls COM3 and runs cycles until the supervision has taken the call.
    void CallAndAnswer() {
        ASSERT_TRUE(station->Call("201"));
        RunCyclesUntil([] { return LogContains(kAnswered); }, 20);
        ASSERT_TRUE(LogContains(kAnswered));
    }

    static unsigned GateWrites(uint32_t gate, double* value = nullptr) {
        unsigned writes = 0;
        EXPECT_EQ(ZunHostGateValue(gate, value, &writes), 0);
        return writes;
    }

    // The port is idle again: hung up, flags and reference cleared, modem back in auto-answer.
    void ExpectGivenUp() {
        EXPECT_FALSE(HasFlag(3, kCON));
        EXPECT_FALSE(HasFlag(3, kRIN));
        EXPECT_EQ(Ports[2].connectionRef, kNoReference);
        EXPECT_EQ(Ports[2].ringCountdown, 0);
        EXPECT_EQ(UsedConnections(), 0u);
        EXPECT_FALSE(modem->OffHook());
        EXPECT_FALSE(station->Connected());
        // Reset and auto-answer at start and once more after the call.
        EXPECT_EQ(CountCommand(*modem, Settings.modemReset), 2);
        EXPECT_EQ(CountCommand(*modem, "ATS0=1"), 2);
    }

    sim::Modem* modem = nullptr;
    sim::Station* station = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Hand-over with each address kind.

struct KindCase {
    char kind;
    uint16_t replyLength;
    uint16_t offset;
    std::string reply;
};

void PrintTo(const KindCase& c, std::ostream* out) {
    *out << c.kind;
}

class HandOverTest : public IncomingCallTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(HandOverTest, IdentifiedCallIsHandedOverThroughTheAnswerGate) {
    const KindCase& c = GetParam();
    ArmSequence(1, "MOD", kAsk, c.replyLength, c.offset, c.kind);
    AddStationEntry("MOD", 3, 17);
    station->SetReply(kAsk, c.reply);
    const uint32_t gate = ZunHostDefineGate(3, "$A03-017");
    InitPortsAndModems();
    StartSupervision();

    const uint32_t before = platform::ClockSeconds();
    CallAndAnswer();
    double value = -1;
    ASSERT_EQ(GateWrites(gate, &value), 1u);
    EXPECT_EQ(value, 0.0);

    const ConnectionEntry& entry = Connections[0];
    EXPECT_EQ(entry.flags, kConnUsed | kConnIncoming | kConnConnected);
    EXPECT_EQ(entry.port, 2);
    EXPECT_EQ(entry.vpi, 3);
    EXPECT_EQ(entry.plc, 17);
    EXPECT_EQ(Ports[2].connectionRef, 0);
    EXPECT_TRUE(HasFlag(3, kCON));
    EXPECT_FALSE(HasFlag(3, kRIN));
    EXPECT_EQ(Ports[2].ringCountdown, 0);
    EXPECT_GE(Ports[2].connectTime.load(), before);
    EXPECT_TRUE(LogContains("KORVA> CheckIncomingCalls() dest is Vpi3 Plc17"));
    EXPECT_TRUE(LogContains("KORVA> CheckIncomingCalls() VPI 3 PLC 17 connection ref. is 0"));
    // The line keeps the identification's read time-out until the client sets its own.
    EXPECT_EQ(ReadTimeout(2), 200);

    // The destination driver now owns the line.
    station->ClearReceived();
    EXPECT_EQ(KORVA_Send(0, "data", 4), KORVA_STATUS_OK);
    EXPECT_TRUE(WaitUntil([&] { return station->Received() == "data"; }));
    ASSERT_TRUE(station->Send("reply"));
    char buffer[8] = {};
    int32_t received = 0;
    EXPECT_EQ(KORVA_Receive(0, buffer, 5, &received), KORVA_STATUS_OK);
    EXPECT_EQ(std::string(buffer, received), "reply");

    // The next cycles leave a connected line alone.
    RunCycles(2);
    EXPECT_TRUE(HasFlag(3, kCON));
    EXPECT_TRUE(station->Connected());
}

INSTANTIATE_TEST_SUITE_P(Kinds, HandOverTest,
                         ::testing::Values(KindCase{'B', 4, 1, "\x68\x11\x00\x16"s},
                                           KindCase{'D', 6, 3, "ST=017"s},
                                           KindCase{'S', 4, 1, "\x68\x11\x00\x16"s},
                                           KindCase{'W', 4, 1, "\x68\x00\x11\x16"s}),
                         [](const auto& info) { return std::string(1, info.param.kind); });

// ---------------------------------------------------------------------------------------------
// The default caller.

TEST_F(IncomingCallTest, DefaultCallerIsHandedOverWithoutIdentification) {
    Settings.ignoreCallerId = 1;
    PrepareStation17();            // armed, but not asked
    AddStationEntry("MOD", 3, 1);  // PLC 1, but of another VPI
    AddStationEntry("RTU", 2, 1);
    const uint32_t gate = ZunHostDefineGate(2, "$A02-001");
    InitPortsAndModems();
    StartSupervision();
    station->ClearReceived();

    CallAndAnswer();
    double value = -1;
    ASSERT_EQ(GateWrites(gate, &value), 1u);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(Connections[0].vpi, 2);
    EXPECT_EQ(Connections[0].plc, 1);
    EXPECT_EQ(Connections[0].flags, kConnUsed | kConnIncoming | kConnConnected);
    EXPECT_EQ(station->Received(), "");
    EXPECT_TRUE(
        LogContains("KORVA: GetStationAddress() Incoming call. Caller ID ignored and is set to 1"));
}

// ---------------------------------------------------------------------------------------------
// Calls that cannot be handed over.

enum class Given { kNone, kIgnoreCallerId, kDefaultStation, kNoGate, kNoReply, kFullTable };

struct GiveUpCase {
    const char* name;
    std::vector<Given> given;
    std::vector<std::string> expected;  // lines that must be in the log
};

void PrintTo(const GiveUpCase& c, std::ostream* out) {
    *out << c.name;
}

const GiveUpCase kGiveUpCases[] = {
    {"DefaultCallerNotDefined",
     {Given::kIgnoreCallerId},
     {"KORVA: GetStationAddress() Incoming call. Caller ID ignored and is set to 1",
      "KORVA: CheckIncomingCalls() Default Caller ID 1 not defined in VPI 2"}},
    {"DefaultCallerWithoutGate",
     {Given::kIgnoreCallerId, Given::kDefaultStation, Given::kNoGate},
     {"KORVA: CheckIncomingCalls() (Default) 'Answer Calls' tag '$A02-001' not defined",
      "KORVA: CheckIncomingCalls() Default Caller ID 1 not defined in VPI 2"}},
    {"IdentifiedCallerWithoutGate",
     {Given::kNoGate},
     {"KORVA> CheckIncomingCalls() dest is Vpi3 Plc17",
      "KORVA> CheckIncomingCalls() COM3 answered, but VPI3 gtAddrStr '$A03-017' not defined"}},
    {"CallerNotIdentified",
     {Given::kNoReply},
     {"KORVA> GetStationAddress() rcvd unidentified ALARM call!"}},
    {"ConnectionTableFull",
     {Given::kFullTable},
     {"KORVA> AddConnection() ERROR all connections used!"}},
};

class GiveUpTest : public IncomingCallTest, public ::testing::WithParamInterface<GiveUpCase> {
  protected:
    bool Has(Given wanted) const {
        for (Given g : GetParam().given)
            if (g == wanted) return true;
        return false;
    }
};

TEST_P(GiveUpTest, CallIsHungUpAndTheModemRearmed) {
    const GiveUpCase& c = GetParam();
    ArmSequence(1, "MOD", kAsk, 4, 1, 'B');
    AddStationEntry("MOD", 3, 17);
    if (!Has(Given::kNoReply)) station->SetReply(kAsk, "\x68\x11\x00\x16"s);
    if (Has(Given::kIgnoreCallerId)) Settings.ignoreCallerId = 1;
    if (Has(Given::kDefaultStation)) AddStationEntry("RTU", 2, 1);
    uint32_t gates[] = {0, 0};
    if (!Has(Given::kNoGate)) {
        gates[0] = ZunHostDefineGate(3, "$A03-017");
        gates[1] = ZunHostDefineGate(2, "$A02-001");
    }
    if (Has(Given::kFullTable))
        for (ConnectionEntry& entry : Connections)
            entry.flags = kConnUsed;
    InitPortsAndModems();
    StartSupervision();

    CallAndAnswer();
    for (const std::string& line : c.expected)
        EXPECT_TRUE(LogContains(line)) << line;
    if (Has(Given::kFullTable)) {
        for (ConnectionEntry& entry : Connections)
            entry.flags = 0;
    }
    ExpectGivenUp();
    for (uint32_t gate : gates) {
        if (gate != 0) {
            EXPECT_EQ(GateWrites(gate), 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, GiveUpTest, ::testing::ValuesIn(kGiveUpCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(IncomingCallTest, RefusedGateWriteFreesTheEntry) {
    const uint32_t gate = PrepareStation17();
    ZunHostFailPutGateVal(3);
    InitPortsAndModems();
    StartSupervision();

    CallAndAnswer();
    EXPECT_TRUE(LogContains("KORVA> CheckIncomingCalls() VPI 3 PLC 17 connection ref. is 0"));
    EXPECT_TRUE(
        LogContains("KORVA> CheckIncomingCalls() write to VPI3 gtAddrStr '$A03-017' failed"));
    EXPECT_EQ(Connections[0].flags, 0u);
    EXPECT_EQ(Connections[0].port, kNoPort);
    EXPECT_EQ(GateWrites(gate), 0u);
    ExpectGivenUp();
}

// ---------------------------------------------------------------------------------------------
// The port lock taken again after the identification is not to be had: the CON flag still holds
// the port, so the visit goes on without it and releases only what it took.

struct HeldLockCase {
    const char* name;
    bool gate;
    bool gateWriteFails;
};

void PrintTo(const HeldLockCase& c, std::ostream* out) {
    *out << c.name;
}

class HeldLockTest : public IncomingCallTest, public ::testing::WithParamInterface<HeldLockCase> {
  protected:
    void TearDown() override {
        delete holder.exchange(nullptr);
        IncomingCallTest::TearDown();
    }

    // The answer's alert sounds after the visit released the lock and before the caller is
    // identified: another thread takes the lock then and keeps it.
    static void TakeLockOnAnswer(uint32_t /*hz*/, uint32_t ms) {
        if (ms != 100 || holder.load() != nullptr) return;  // a ring tick, or taken already
        holder.store(new MutexHolder(Ports[2].mutex));
    }

    static inline std::atomic<MutexHolder*> holder{nullptr};
};

TEST_P(HeldLockTest, VisitGoesOnAndReleasesOnlyWhatItTook) {
    const HeldLockCase& c = GetParam();
    ArmSequence(1, "MOD", kAsk, 4, 1, 'B');
    AddStationEntry("MOD", 3, 17);
    station->SetReply(kAsk, "\x68\x11\x00\x16"s);
    const uint32_t gate = c.gate ? ZunHostDefineGate(3, "$A03-017") : 0;
    if (c.gateWriteFails) ZunHostFailPutGateVal(4);
    Settings.alertSound = 1;
    platform::SetToneObserver(&TakeLockOnAnswer);
    InitPortsAndModems();
    StartSupervision();

    CallAndAnswer();
    ASSERT_NE(holder.load(), nullptr);
    EXPECT_EQ(holder.load()->result(), platform::kWaitObject0);
    EXPECT_TRUE(LogContains("KORVA> CheckIncomingCalls() time-out waiting for COM3 sem"));
    const bool handedOver = c.gate && !c.gateWriteFails;
    unsigned writes = 0;
    if (gate != 0) ZunHostGateValue(gate, nullptr, &writes);
    EXPECT_EQ(writes, handedOver ? 1u : 0u);
    EXPECT_EQ(HasFlag(3, kCON), handedOver);
    EXPECT_EQ(station->Connected(), handedOver);
    EXPECT_EQ(UsedConnections(), handedOver ? 1u : 0u);
    EXPECT_EQ(Ports[2].connectionRef, handedOver ? 0 : kNoReference);

    delete holder.exchange(nullptr);
    RunCycles(1);
    EXPECT_EQ(HasFlag(3, kCON), handedOver);
    for (const std::string& line : CapturedTexts())
        EXPECT_EQ(line.find("error releasing"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Cases, HeldLockTest,
                         ::testing::Values(HeldLockCase{"GivenUp", false, false},
                                           HeldLockCase{"HandedOver", true, false},
                                           HeldLockCase{"GateWriteRefused", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Who is passed over.

TEST_F(IncomingCallTest, ReservedPortIsNotVisited) {
    const uint32_t gate = PrepareStation17();
    InitPortsAndModems();
    Ports[2].flags.fetch_or(kRSV);  // somebody else's modem dialogue
    StartSupervision();

    ASSERT_TRUE(station->Call("201"));
    ASSERT_TRUE(WaitOnline(*modem));  // the modem answers by itself
    RunCycles(3);
    EXPECT_FALSE(LogContains(kAnswered));
    EXPECT_FALSE(HasFlag(3, kCON));
    EXPECT_EQ(Ports[2].ringCountdown, 0);

    Ports[2].flags.fetch_and(~kRSV);
    RunCycles(1);
    EXPECT_TRUE(LogContains(kAnswered));
    EXPECT_EQ(GateWrites(gate), 1u);
}

TEST_F(IncomingCallTest, CarrierWithoutRingIsAnAnsweredCall) {
    const uint32_t gate = PrepareStation17();
    world.SetRingCadence(2000, 0);  // the modem answers without ever showing RI
    InitPortsAndModems();
    StartSupervision();

    CallAndAnswer();
    EXPECT_EQ(GateWrites(gate), 1u);
    EXPECT_TRUE(HasFlag(3, kCON));
    for (const std::string& line : CapturedTexts())
        EXPECT_EQ(line.find("RING detected"), std::string::npos) << line;
}

// ---------------------------------------------------------------------------------------------
// Ring reservation. The modem is kept from answering, and its RI stays up while the call rings.

class RingTest : public IncomingCallTest {
  protected:
    void SetUp() override {
        IncomingCallTest::SetUp();
        std::snprintf(Settings.autoAnswer, sizeof Settings.autoAnswer, "ATS0=0");
        world.SetRingCadence(1000000, 1000000);
    }

    void Start() {
        InitPortsAndModems();
        StartSupervision();
    }

    static int FreeModem() {
        uint8_t start = 0;
        const int result = GetFreeModem(&start, 0);
        if (result == 0) {
            EXPECT_EQ(start, 2);
            Ports[start].flags.fetch_and(~kRSV);
        }
        return result;
    }

    static long RingLines() {
        long count = 0;
        for (const std::string& line : CapturedTexts())
            count += line.find("RING detected") != std::string::npos ? 1 : 0;
        return count;
    }
};

TEST_F(RingTest, RingReservesThePortUntilTheCountdownRunsOut) {
    Start();
    ASSERT_EQ(FreeModem(), 0);
    ASSERT_TRUE(station->Call("201"));
    RunCycles(1);
    EXPECT_TRUE(LogContains(RingLine(30)));
    EXPECT_TRUE(HasFlag(3, kRIN));
    EXPECT_EQ(Ports[2].ringCountdown, 30);
    EXPECT_EQ(FreeModem(), KORVA_STATUS_NO_MODEM);  // no dial-out takes a ringing port

    // The countdown runs while the call rings and after the caller gave up; no new reservation.
    RunCycles(1);
    EXPECT_EQ(Ports[2].ringCountdown, 29);
    station->HangUp();
    const long hangUps = CountCommand(*modem, "ATH0");
    RunCycles(28);
    EXPECT_EQ(Ports[2].ringCountdown, 1);
    EXPECT_TRUE(HasFlag(3, kRIN));
    EXPECT_EQ(FreeModem(), KORVA_STATUS_NO_MODEM);
    EXPECT_EQ(CountCommand(*modem, "ATH0"), hangUps);
    EXPECT_EQ(RingLines(), 1);

    // The last step hangs up and frees the port.
    RunCycles(1);
    EXPECT_EQ(Ports[2].ringCountdown, 0);
    EXPECT_FALSE(HasFlag(3, kRIN));
    EXPECT_EQ(CountCommand(*modem, "ATH0"), hangUps + 1);
    EXPECT_EQ(FreeModem(), 0);
    EXPECT_EQ(RingLines(), 1);
}

TEST_F(RingTest, StillRingingAfterTheCountdownIsReservedAgain) {
    Settings.ringReservedSec = 2;
    Start();
    ASSERT_TRUE(station->Call("201"));
    RunCycles(2);
    EXPECT_EQ(Ports[2].ringCountdown, 1);
    RunCycles(1);  // 0: hang-up, then the ring is seen again in the same visit
    EXPECT_EQ(Ports[2].ringCountdown, 2);
    EXPECT_TRUE(HasFlag(3, kRIN));
    EXPECT_EQ(RingLines(), 2);
    EXPECT_TRUE(LogContains(RingLine(2)));
}

TEST_F(RingTest, LostDsrEndsTheReservationWithoutHangUp) {
    Start();
    ASSERT_TRUE(station->Call("201"));
    RunCycles(1);
    ASSERT_TRUE(HasFlag(3, kRIN));
    const size_t dtrChanges = modem->DtrHistory().size();
    modem->SetFault(sim::Fault::kPoweredOff);  // DSR and CTS drop
    RunCycles(1);
    EXPECT_EQ(Ports[2].ringCountdown, 0);
    EXPECT_FALSE(HasFlag(3, kRIN));
    EXPECT_EQ(modem->DtrHistory().size(), dtrChanges);  // a hang-up would drop DTR
    EXPECT_EQ(RingLines(), 1);
}

// RING_DETECT_RESERVED_SEC = 0 reserves nothing; RIN would otherwise stay set for good once the
// ring is gone, as no countdown runs to clear it.
TEST_F(RingTest, ReservationTimeZeroReservesNothing) {
    Settings.ringReservedSec = 0;
    Start();
    ASSERT_TRUE(station->Call("201"));
    RunCycles(1);
    EXPECT_TRUE(LogContains(RingLine(0)));
    EXPECT_FALSE(HasFlag(3, kRIN));
    EXPECT_EQ(Ports[2].ringCountdown, 0);
    station->HangUp();
    RunCycles(1);
    EXPECT_FALSE(HasFlag(3, kRIN));
    EXPECT_EQ(FreeModem(), 0);
}

}  // namespace
