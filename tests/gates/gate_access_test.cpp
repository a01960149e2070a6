// Reads and writes of the driver's gates through VpiMain, with the access records that the
// driver's own gate definition produced, on a pool of simulated modems.
#include <string>
#include <vector>

#include "host/lifecycle.h"
#include "support/supervision_fixture.h"

namespace {

// COM3 dials and answers (201), COM4 dials, COM8 answers (208); COM6 is defined but has no
// modem, COM5 is not defined.
class GateAccessTest : public SupervisionTest {
  protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        com3 = &AddPort(3, Direction::kInOut, "201");
        com4 = &AddPort(4, Direction::kOut);
        com8 = &AddPort(8, Direction::kIn, "208");
        DefinePort(6, Direction::kIn);
        station = &world.AddStation("555");
    }

    static void OpenPool() {
        InitPortsAndModems();
        ZunHostClearLog();
    }

    // The access record the host hands over for a gate the driver accepted.
    static KorvaGateAccess Access(const char* address, bool block) {
        KorvaGateDefinition definition{};
        definition.address = address;
        definition.gateType = 6;
        definition.blockLength = std::string(address).rfind("MOD", 0) == 0 ? 8 : 7;
        KorvaRequest request{};
        request.function = block ? KORVA_FN_BLOCK_PARSE : KORVA_FN_SINGLE_PARSE;
        request.block = &definition;
        EXPECT_EQ(VpiMain(&request), 0) << address;
        KorvaGateAccess access{};
        access.address = address;
        access.gateIndex = definition.gateIndex;
        access.gateKind = definition.gateKind;
        access.bitNumber = definition.bitNumber;
        access.single = block ? 0 : 1;
        return access;
    }

    static int32_t Call(uint32_t function, KorvaGateAccess& access, KorvaGateValue& value) {
        access.value = &value;
        KorvaRequest request{};
        request.function = function;
        request.block = &access;
        return VpiMain(&request);
    }

    struct Result {
        int32_t rc;
        uint16_t single;
        uint8_t block;
    };

    static Result Read(const char* address) {
        KorvaGateAccess access = Access(address, false);
        KorvaGateValue value{0xEE, 0, 0xEEEE};
        const int32_t rc = Call(KORVA_FN_SINGLE_READ, access, value);
        return {rc, value.single, value.block};
    }

    static Result ReadBlock(const char* address) {
        KorvaGateAccess access = Access(address, true);
        KorvaGateValue value{0xEE, 0, 0xEEEE};
        const int32_t rc = Call(KORVA_FN_BLOCK_READ, access, value);
        return {rc, value.single, value.block};
    }

    static int32_t Write(const char* address, uint16_t written) {
        KorvaGateAccess access = Access(address, false);
        KorvaGateValue value{0, 0, written};
        return Call(KORVA_FN_SINGLE_WRITE, access, value);
    }

    static void ExpectGateLog(const std::vector<std::string>& texts) {
        std::vector<LogLine> expected;
        for (const std::string& text : texts)
            expected.push_back(LogLine{64, text});
        EXPECT_EQ(CapturedLog(), expected);
    }

    sim::Modem* com3 = nullptr;
    sim::Modem* com4 = nullptr;
    sim::Modem* com8 = nullptr;
    sim::Station* station = nullptr;
};

struct SignalCase {
    const char* address;
    uint16_t idle;
    uint16_t connected;
};

TEST_F(GateAccessTest, SignalGatesFollowTheModem) {
    OpenPool();
    const SignalCase cases[] = {
        {"MOD03DTR", 1, 1}, {"MOD03RTS", 1, 1}, {"MOD03CTS", 1, 1},
        {"MOD03DSR", 1, 1}, {"MOD03RIN", 0, 0}, {"MOD03DCD", 0, 1},
    };
    for (const SignalCase& c : cases) {
        const Result read = Read(c.address);
        EXPECT_EQ(read.rc, 0) << c.address;
        EXPECT_EQ(read.single, c.idle) << c.address;
    }
    EXPECT_EQ(ReadBlock("MOD03DTR").block, 0x33);

    ASSERT_TRUE(station->Call("201"));
    ASSERT_TRUE(WaitOnline(*com3));
    for (const SignalCase& c : cases)
        EXPECT_EQ(Read(c.address).single, c.connected) << c.address;
    const Result block = ReadBlock("MOD03DTR");
    EXPECT_EQ(block.rc, 0);
    EXPECT_EQ(block.block, 0xB3);  // DTR, RTS, CTS, DSR and DCD; no ring
    ExpectGateLog({});
}

TEST_F(GateAccessTest, SignalGateOfAPortNotOpenIsRefused) {
    OpenPool();
    struct Case {
        const char* address;
        bool block;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {"MOD05CTS",
         false,
         {"KORVA> DoRead() COM port modem 5 not opened", "KORVA> SingleRead() , ret val is 2"}},
        {"MOD06CTS",  // defined, but its device could not be opened
         false,
         {"KORVA> DoRead() COM port modem 6 not opened", "KORVA> SingleRead() , ret val is 2"}},
        {"MOD05DTR",
         true,
         {"KORVA> DoRead() COM port modem 5 not opened", "KORVA> BlockRead() , ret val is 2"}},
    };
    for (const Case& c : cases) {
        Access(c.address, c.block);
        ZunHostClearLog();
        const Result read = c.block ? ReadBlock(c.address) : Read(c.address);
        EXPECT_EQ(read.rc, 2) << c.address;
        EXPECT_EQ(read.single, 0xEEEE) << c.address;  // nothing delivered
        ExpectGateLog(c.log);
    }
}

TEST_F(GateAccessTest, UnreadableSignalBit) {
    OpenPool();
    KorvaGateAccess access = Access("MOD03CTS", false);
    access.bitNumber = 2;
    KorvaGateValue value{};
    EXPECT_EQ(Call(KORVA_FN_SINGLE_READ, access, value), 1);
    ExpectGateLog({"KORVA> SingleRead() , ret val is 1"});
}

TEST_F(GateAccessTest, FlagGatesShowThePortFlags) {
    OpenPool();
    struct Case {
        const char* address;
        bool block;
        uint16_t value;
    };
    const Case cases[] = {
        {"COM05DEF", false, 0},   {"COM05DEF", true, 0x00},  // not defined
        {"COM03DEF", true, 0x0F},                            // IO, open, idle
        {"COM04DEF", true, 0x0B},                            // O, open
        {"COM06DEF", true, 0x05},                            // I, not opened
        {"COM03INP", false, 1},   {"COM04INP", false, 0},   {"COM03OPN", false, 1},
        {"COM06OPN", false, 0},   {"COM03CON", false, 0},
    };
    for (const Case& c : cases) {
        const Result read = c.block ? ReadBlock(c.address) : Read(c.address);
        EXPECT_EQ(read.rc, 0) << c.address;
        EXPECT_EQ(c.block ? read.block : read.single, c.value) << c.address << " " << c.block;
    }
    Ports[2].flags.fetch_or(kCON);
    EXPECT_EQ(Read("COM03CON").single, 1);
    EXPECT_EQ(ReadBlock("COM03DEF").block, 0x2F);
    Ports[2].flags.fetch_and(~kCON);
    ExpectGateLog({});
}

TEST_F(GateAccessTest, PortClosedByTheParameterChange) {
    OpenPool();
    KorvaRequest request{};
    request.function = KORVA_FN_CHANGE_PARAMS;
    request.block = const_cast<char*>("NUL");
    ASSERT_EQ(VpiMain(&request), 0);
    ZunHostClearLog();
    EXPECT_EQ(Read("MOD03DCD").rc, 2);
    ExpectGateLog(
        {"KORVA> DoRead() COM port modem 3 not opened", "KORVA> SingleRead() , ret val is 2"});
    EXPECT_EQ(Read("COM03OPN").single, 1);
    EXPECT_EQ(ReadBlock("COM03DEF").block, 0x0F);
}

TEST_F(GateAccessTest, CommandFlagsAreWrittenAndReadBack) {
    struct Case {
        const char* address;
        uint16_t written;
        uint16_t read;
    };
    const Case cases[] = {
        {"$DIAGNOSE", 1, 1},    {"$DIAGNOSE", 0, 0},    {"$DIAGNOSE", 7, 1},
        {"$ALERT_SOUND", 1, 1}, {"$ALERT_SOUND", 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Write(c.address, c.written), 0) << c.address << " " << c.written;
        const Result read = Read(c.address);
        EXPECT_EQ(read.rc, 0);
        EXPECT_EQ(read.single, c.read) << c.address << " " << c.written;
    }
    EXPECT_EQ(Settings.diagnose.load(), 1u);
    EXPECT_EQ(Settings.alertSound.load(), 0u);
    ExpectGateLog({});
}

TEST_F(GateAccessTest, CommandGatesAreMatchedExactly) {
    // The definition accepts a lower-case command gate; reading and writing it do not.
    EXPECT_EQ(Read("$diagnose").rc, 1);
    ExpectGateLog(
        {"KORVA> no read allowed of command gate '$s'", "KORVA> SingleRead() , ret val is 1"});
    ZunHostClearLog();
    EXPECT_EQ(Write("$diagnose", 1), 1);
    ExpectGateLog({"KORVA> SingleWrite() , ret val is 1"});
    EXPECT_EQ(Settings.diagnose.load(), 0u);

    ZunHostClearLog();
    EXPECT_EQ(Read("$RESETAA").rc, 1);
    ExpectGateLog(
        {"KORVA> no read allowed of command gate '$s'", "KORVA> SingleRead() , ret val is 1"});
}

TEST_F(GateAccessTest, OtherWritesChangeNothing) {
    OpenPool();
    const uint32_t flags = Ports[2].flags;
    EXPECT_EQ(Write("COM03CON", 1), 0);
    EXPECT_EQ(Write("MOD03DTR", 0), 0);
    EXPECT_EQ(Ports[2].flags.load(), flags);
    EXPECT_TRUE(com3->Dtr());

    KorvaGateAccess access = Access("$DIAGNOSE", false);
    KorvaGateValue value{0xFF, 0, 1};
    EXPECT_EQ(Call(KORVA_FN_BLOCK_WRITE, access, value), 1);
    EXPECT_EQ(Settings.diagnose.load(), 0u);
    ExpectGateLog({});
}

TEST_F(GateAccessTest, ResetAaResetsTheIdleAnsweringModems) {
    OpenPool();
    const std::string reset = Settings.modemReset;
    EXPECT_EQ(Write("$RESETAA", 0), 0);
    EXPECT_EQ(CountCommand(*com3, reset), 2);
    EXPECT_EQ(CountCommand(*com3, "ATS0=1"), 2);
    EXPECT_EQ(CountCommand(*com8, reset), 2);
    EXPECT_EQ(CountCommand(*com8, "ATS0=1"), 2);
    EXPECT_EQ(CountCommand(*com4, reset), 1);  // dial-only

    // A connected port and a ringing one are left alone.
    Ports[2].flags.fetch_or(kCON);
    Ports[7].ringCountdown = 5;
    EXPECT_EQ(Write("$RESETAA", 1), 0);
    EXPECT_EQ(CountCommand(*com3, reset), 2);
    EXPECT_EQ(CountCommand(*com8, reset), 2);
    Ports[7].ringCountdown = 0;
    EXPECT_EQ(Write("$RESETAA", 1), 0);
    EXPECT_EQ(CountCommand(*com8, reset), 3);
    EXPECT_EQ(CountCommand(*com3, reset), 2);
    Ports[2].flags.fetch_and(~kCON);
    ExpectGateLog({});
}

}  // namespace
