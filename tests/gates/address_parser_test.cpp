#include <string>
#include <vector>

#include "gates/gates.h"
#include "korva/vpi.h"
#include "support/driver_test.h"

namespace {

constexpr uint32_t kUntouched = 0xA5A5A5A5u;  // an output word the parser did not write
constexpr uint32_t kDigital = 6;

class AddressParserTest : public DriverTest {
  protected:
    // A record whose output words show which of them a call wrote.
    static KorvaGateDefinition Record(const char* address, uint32_t type = kDigital,
                                      uint32_t length = 0) {
        KorvaGateDefinition gate{};
        gate.address = address;
        gate.gateType = type;
        gate.blockLength = length;
        gate.gateIndex = gate.gateKind = gate.bitNumber = gate.word32 = kUntouched;
        gate.word28 = 0;
        return gate;
    }

    static int32_t Call(int32_t (*function)(KorvaRequest*), KorvaGateDefinition* gate) {
        KorvaRequest request{};
        request.block = gate;
        return function(&request);
    }

    // The one line a rejection logs, at the gate level; none for an acceptance.
    static std::vector<LogLine> Logged(const std::string& message) {
        if (message.empty()) return {};
        return {{kGateLog, message}};
    }
};

struct GrammarCase {
    const char* address;
    int32_t result;
    uint32_t index, kind, bit, word32;
    const char* message;
};

constexpr uint32_t M = 'M', C = 'C', D = '$', U = kUntouched;

const GrammarCase kGrammar[] = {
    // Accepted forms, in either case.
    {"mod01dtr", 0, 0, M, 0, 1, ""},
    {"MOD32DCD", 0, 31, M, 7, 1, ""},
    {"COM05RIN", 0, 20, C, 6, 1, ""},
    {"COM32DEF", 0, 47, C, 0, 1, ""},
    {"com12con", 0, 27, C, 5, 1, ""},
    {"$RESETAA", 0, 255, D, U, U, ""},
    {"$diagnose", 0, 255, D, U, U, ""},
    {"$Alert_Sound", 0, 255, D, U, U, ""},
    // The two-character number: white space skipped, ends at a non-digit, a sign takes a place.
    {"MOD1XDTR", 0, 0, M, 0, 1, ""},
    {"MOD 1DTR", 0, 0, M, 0, 1, ""},
    {"MOD\t9DSR", 0, 8, M, 5, 1, ""},
    {"MOD+1CTS", 0, 0, M, 4, 1, ""},
    {"MOD00DTR", 1, 0, M, U, 1, "KORVA> Parse() illegal MODEM number in gate 'MOD00DTR'"},
    {"MOD33DTR", 1, 33, M, U, 1, "KORVA> Parse() illegal MODEM number in gate 'MOD33DTR'"},
    {"MOD-1DTR", 1, 0xFFFFFFFFu, M, U, 1, "KORVA> Parse() illegal MODEM number in gate 'MOD-1DTR'"},
    {"MODXXDTR", 1, 255, M, U, 1, "KORVA> Parse() illegal MODEM number in gate 'MODXXDTR'"},
    {"MOD+XDTR", 1, 255, M, U, 1, "KORVA> Parse() illegal MODEM number in gate 'MOD+XDTR'"},
    // The skip may run past the fifth character; the name is still the sixth to eighth.
    {"MOD   12", 1, 11, M, U, 1, "KORVA> Parse() illegal MODEM control signal gate 'MOD   12'"},
    {"com00def", 1, 0, C, U, 1, "KORVA> Parse() illegal COMPORT number in gate 'COM00DEF'"},
    {"COM33DEF", 1, 33, C, U, 1, "KORVA> Parse() illegal COMPORT number in gate 'COM33DEF'"},
    // Lengths.
    {"MOD01DTRX", 1, 255, M, U, 1, "KORVA> Parse() illegal length gate address 'MOD01DTRX'"},
    {"COM1DEF", 1, 255, C, U, 1, "KORVA> Parse() illegal length gate address 'COM1DEF'"},
    {"modem", 1, 255, M, U, 1, "KORVA> Parse() illegal length gate address 'MODEM'"},
    // Names.
    {"mod01xyz", 1, 0, M, U, 1, "KORVA> Parse() illegal MODEM control signal gate 'MOD01XYZ'"},
    {"MOD01DEF", 1, 0, M, U, 1, "KORVA> Parse() illegal MODEM control signal gate 'MOD01DEF'"},
    {"COM01DTR", 1, 16, C, U, 1, "KORVA> Parse() illegal COM PORT FLAG gate 'COM01DTR'"},
    {"$RESET", 1, 255, D, U, U, "KORVA> Parse() illegal COMMAND gate '$RESET'"},
    {"$DIAGNOSEX", 1, 255, D, U, U, "KORVA> Parse() illegal COMMAND gate '$DIAGNOSEX'"},
    {"ABC", 1, 255, U, U, U, "KORVA> Parse() illegal gate address gate 'ABC'"},
    {"", 1, 255, U, U, U, "KORVA> Parse() illegal gate address gate ''"},
    // Only a to z are upper-cased.
    {"x\xE9", 1, 255, U, U, U, "KORVA> Parse() illegal gate address gate 'X\xE9'"},
    // No address at all is refused like an empty one.
    {nullptr, 1, 255, U, U, U, "KORVA> Parse() illegal gate address gate ''"},
};

TEST_F(AddressParserTest, GrammarWritesTheRecordOrRefusesWithOneMessage) {
    for (const GrammarCase& c : kGrammar) {
        SCOPED_TRACE(c.address ? c.address : "(null)");
        ZunHostClearLog();
        KorvaGateDefinition gate = Record(c.address);
        EXPECT_EQ(Call(Parse, &gate), c.result);
        EXPECT_EQ(gate.gateIndex, c.index);
        EXPECT_EQ(gate.gateKind, c.kind);
        EXPECT_EQ(gate.bitNumber, c.bit);
        EXPECT_EQ(gate.word28, -1);
        EXPECT_EQ(gate.word32, c.word32);
        EXPECT_EQ(CapturedLog(), Logged(c.message));
    }
}

TEST_F(AddressParserTest, EverySignalAndFlagNameSelectsItsBit) {
    const std::pair<const char*, uint32_t> names[] = {
        {"MOD07DTR", 0}, {"MOD07RTS", 1}, {"MOD07CTS", 4}, {"MOD07DSR", 5}, {"MOD07RIN", 6},
        {"MOD07DCD", 7}, {"COM07DEF", 0}, {"COM07OPN", 1}, {"COM07INP", 2}, {"COM07OUT", 3},
        {"COM07RSV", 4}, {"COM07CON", 5}, {"COM07RIN", 6},
    };
    for (const auto& [address, bit] : names) {
        KorvaGateDefinition gate = Record(address);
        EXPECT_EQ(Call(Parse, &gate), 0) << address;
        EXPECT_EQ(gate.bitNumber, bit) << address;
        EXPECT_EQ(gate.gateIndex, address[0] == 'M' ? 6u : 22u) << address;
    }
    EXPECT_TRUE(CapturedLog().empty());
}

// Addresses that do not fit the 255-character working copy are cut; no accepted address is
// that long, so the grammar refuses them and the message shows the cut copy.
TEST_F(AddressParserTest, OverlongAddressesAreRefusedWithTheCutCopy) {
    const std::string tail(292, 'x');
    const std::string cutTail(247, 'X');
    const struct {
        std::string address;
        std::string message;
    } cases[] = {
        {"MOD01DTR" + tail, "KORVA> Parse() illegal length gate address 'MOD01DTR" + cutTail + "'"},
        {"$RESETAA" + tail, "KORVA> Parse() illegal COMMAND gate '$RESETAA" + cutTail + "'"},
        {"gate" + tail + "xxxx",
         "KORVA> Parse() illegal gate address gate 'GATE" + std::string(251, 'X') + "'"},
        {std::string(255, 'q'),
         "KORVA> Parse() illegal gate address gate '" + std::string(255, 'Q') + "'"},
    };
    for (const auto& c : cases) {
        ZunHostClearLog();
        KorvaGateDefinition gate = Record(c.address.c_str());
        EXPECT_EQ(Call(SingleAddressParser, &gate), 1) << c.address.size();
        EXPECT_EQ(CapturedLog(), Logged(c.message));
    }
}

TEST_F(AddressParserTest, SingleGatesMustBeDigital) {
    const struct {
        const char* address;
        uint32_t type;
        int32_t result;
        const char* message;
    } cases[] = {
        {"MOD01DCD", 5, 1,
         "KORVA> SingleParse() MODEM contr. sign. gate must be digital, gate 'MOD01DCD'"},
        {"com02opn", 0, 1,
         "KORVA> SingleParse() COM PORT FLAG gate must be digital, gate 'com02opn'"},
        {"$diagnose", 7, 1,
         "KORVA> SingleParse() $ command gate must be digital, gate '$diagnose'"},
        {"mod01dcd", kDigital, 0, ""},
        {"COM02OPN", kDigital, 0, ""},
        {"$ALERT_SOUND", kDigital, 0, ""},
        // A grammar error is the one message, whatever the type.
        {"MOD01XYZ", 5, 1, "KORVA> Parse() illegal MODEM control signal gate 'MOD01XYZ'"},
    };
    for (const auto& c : cases) {
        ZunHostClearLog();
        KorvaGateDefinition gate = Record(c.address, c.type);
        EXPECT_EQ(Call(SingleAddressParser, &gate), c.result) << c.address;
        EXPECT_EQ(CapturedLog(), Logged(c.message)) << c.address;
    }
}

TEST_F(AddressParserTest, BlocksStartAtTheFirstBitAndCoverTheWholeByte) {
    const struct {
        const char* address;
        uint32_t length;
        uint32_t type;
        int32_t result;
        const char* message;
    } cases[] = {
        {"MOD01DTR", 8, 0, 0, ""},
        {"COM01DEF", 7, 99, 0, ""},
        {"mod01rts", 8, kDigital, 1,
         "KORVA> BlockParse() MODEM contr sign BLOCK must start with DTR, block 'mod01rts'"},
        {"MOD01RTS", 7, kDigital, 1,
         "KORVA> BlockParse() MODEM contr sign BLOCK length must be 8, block 'MOD01RTS'"},
        {"COM01DEF", 8, kDigital, 1,
         "KORVA> BlockParse() COM PORT FLAGS BLOCK length must be 7, block 'COM01DEF'"},
        {"COM01OPN", 7, kDigital, 1,
         "KORVA> BlockParse() COM PORT FLAGS BLOCK must start with DEF, block 'COM01OPN'"},
        {"$DIAGNOSE", 1, kDigital, 1,
         "KORVA> BlockParse() $ command gates not allowed in block '$DIAGNOSE'"},
        {"COM01", 7, kDigital, 1, "KORVA> Parse() illegal length gate address 'COM01'"},
    };
    for (const auto& c : cases) {
        ZunHostClearLog();
        KorvaGateDefinition gate = Record(c.address, c.type, c.length);
        EXPECT_EQ(Call(BlockAddressParser, &gate), c.result) << c.address;
        EXPECT_EQ(CapturedLog(), Logged(c.message)) << c.address;
    }
}

TEST_F(AddressParserTest, MissingRecordIsRefused) {
    EXPECT_EQ(Call(SingleAddressParser, nullptr), 1);
    EXPECT_EQ(Call(BlockAddressParser, nullptr), 1);
    EXPECT_EQ(CapturedLog(),
              (std::vector<LogLine>{{kGateLog, "KORVA> Parse() illegal gate address gate ''"},
                                    {kGateLog, "KORVA> Parse() illegal gate address gate ''"}}));
}

TEST_F(AddressParserTest, HostReachesTheParsersThroughVpiMain) {
    KorvaGateDefinition single = Record("mod02dsr");
    KorvaRequest request{};
    request.function = KORVA_FN_SINGLE_PARSE;
    request.block = &single;
    EXPECT_EQ(VpiMain(&request), 0);
    EXPECT_EQ(single.gateIndex, 1u);
    EXPECT_EQ(single.gateKind, M);
    EXPECT_EQ(single.bitNumber, 5u);

    KorvaGateDefinition block = Record("$DIAGNOSE", kDigital, 1);
    request.function = KORVA_FN_BLOCK_PARSE;
    request.block = &block;
    EXPECT_EQ(VpiMain(&request), 1);
    KorvaGateDefinition flags = Record("COM03DEF", 0, 7);
    request.block = &flags;
    EXPECT_EQ(VpiMain(&request), 0);
    EXPECT_EQ(flags.gateIndex, 18u);
    EXPECT_EQ(CapturedLog(),
              Logged("KORVA> BlockParse() $ command gates not allowed in block '$DIAGNOSE'"));
}

}  // namespace
