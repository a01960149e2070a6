// How the file is cut into lines: pieces of 255 characters, line ends, NUL bytes, the line
// counter, and files of arbitrary bytes.
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "initfile/initfile_fixture.h"

namespace {

using Texts = std::vector<std::string>;

std::string Illegal(unsigned line, const std::string& text) {
    return "KORVA> ReadIntFile() illegal line " + std::to_string(line) + " ('" + text +
           "')in 'KORVA03.INT'";
}

struct PieceCase {
    const char* name;
    std::string file;
    Texts expected;
};

void PrintTo(const PieceCase& c, std::ostream* out) {
    *out << c.name;
}

class LinePiecesTest : public InitFileTest, public ::testing::WithParamInterface<PieceCase> {};

TEST_P(LinePiecesTest, IsReadAs) {
    Write("KORVA03.INT", GetParam().file);
    Read();
    EXPECT_EQ(Transcript(), GetParam().expected);
}

const std::string kX45(45, 'X');

INSTANTIATE_TEST_SUITE_P(
    Lines, LinePiecesTest,
    ::testing::Values(
        // 300 characters: a comment of 255, then the other 45 judged as a line of their own.
        PieceCase{"ThreeHundredCharactersAreTwoLines",
                  "//" + std::string(253, 'C') + kX45 + "\nBAD\n",
                  {Illegal(2, kX45 + "\n"), Illegal(3, "BAD\n")}},
        PieceCase{"ExactlyTwoHundredFiftyFiveLeaveAnEmptyLine",
                  "//" + std::string(253, 'C') + "\nBAD\n",
                  {Illegal(3, "BAD\n")}},
        PieceCase{"CrLfDoesNotCountTowardsThePiece",
                  "//" + std::string(252, 'C') + "\r\nBAD\r\n",
                  {Illegal(2, "BAD\n")}},
        PieceCase{"CrLfAfter255Characters",
                  "//" + std::string(253, 'C') + "\r\nBAD\r\n",
                  {Illegal(3, "BAD\n")}},
        PieceCase{"LoneCarriageReturnStays", "BAD\rLINE\n", {Illegal(1, "BAD\rLINE\n")}},
        PieceCase{"OnlyTheLastCarriageReturnIsLineEnd", "BAD\r\r\n", {Illegal(1, "BAD\r\n")}},
        PieceCase{"CarriageReturnAtTheEnd", "BAD\r", {Illegal(1, "BAD\r")}},
        PieceCase{"CrLfBlankLineIsEmpty", "\r\n   \r\nBAD\r\n", {Illegal(3, "BAD\n")}},
        PieceCase{"NoFinalLineFeed",
                  "IGNORE_DSR\nBAD",
                  {"KORVA> ReadInitFile() DSR Signal will be ignored when dialing out",
                   Illegal(2, "BAD")}},
        PieceCase{"BlanksWithoutLineFeedAreIllegal", "\n   ", {Illegal(2, "   ")}},
        // A NUL byte ends the text of its piece, as with fgets; the rest is never looked at.
        PieceCase{"NulEndsTheText", std::string("BAD\0LINE\n", 9), {Illegal(1, "BAD")}},
        PieceCase{
            "NulAtTheStart", std::string("\0\nBAD\n", 6), {Illegal(1, ""), Illegal(2, "BAD\n")}},
        PieceCase{"NulAfterAStatement",
                  std::string("IGNORE_CTS\0GARBAGE\n", 19),
                  {"KORVA> ReadInitFile() CTS Signal will be ignored when dialing out"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InitFileTest, TheLineCounterHasSixteenBits) {
    Write("KORVA03.INT", std::string(65536, '\n') + "BAD\n");
    Read();
    EXPECT_EQ(Transcript(), (Texts{Illegal(1, "BAD\n")}));
}

// Every text field ends inside its size and no table holds a value its readers cannot use.
void ExpectTablesSound() {
    auto terminated = [](const char* field, size_t size) {
        return std::memchr(field, '\0', size) != nullptr;
    };
    EXPECT_TRUE(terminated(Settings.modemReset, sizeof Settings.modemReset));
    EXPECT_TRUE(terminated(Settings.autoAnswer, sizeof Settings.autoAnswer));
    EXPECT_LE(StationCount, 255);
    for (const StationEntry& station : Stations) {
        EXPECT_TRUE(terminated(station.initials, 6));
        EXPECT_LE(station.address, 255);
    }
    for (const DialEntry& entry : DialEntries) {
        EXPECT_TRUE(terminated(entry.dial, sizeof entry.dial));
        if (entry.defined) {
            EXPECT_GT(entry.timeout, 0);
        }
        EXPECT_LE(entry.vpi, 16);
    }
    for (const AlarmSequence& sequence : AlarmSequences) {
        EXPECT_TRUE(terminated(sequence.initials, 6));
        if (sequence.requestLength == 0) continue;
        EXPECT_LE(sequence.replyLength, 256);
        const unsigned last =
            sequence.addressOffset +
            ((sequence.addressKind == 'S' || sequence.addressKind == 'W') ? 1 : 0);
        EXPECT_LT(last, sequence.replyLength);
    }
    for (const PortEntry& port : Ports) {
        EXPECT_TRUE(terminated(port.deviceName, sizeof port.deviceName));
        EXPECT_LE(port.dedicatedVpi, 16);
        EXPECT_EQ(port.flags & ~(kDEF | kINP | kOUT), 0u);
    }
    for (const char* command : DialResetCommands)
        EXPECT_TRUE(terminated(command, 256));
}

TEST_F(InitFileTest, ArbitraryBytesAreReadSafely) {
    std::mt19937 random(20240611);
    std::string file;
    for (int i = 0; i < 200000; ++i)
        file += static_cast<char>(random() & 0xFF);
    file += std::string(1000, 'A');  // a very long line at the end, without a line feed
    Write("KORVA03.INT", file);
    Read();
    EXPECT_GT(ZunHostLogCount(), 0u);
    ExpectTablesSound();
}

// Statements of every kind (# a number, $ a word, @ initials, ^ a telegram, ~ a character)
// with values of every size: numbers at and beyond each limit, signed
// ones, words up to longer than a line, initials that do and do not name a sequence, telegrams
// of any hex text. Every handler must refuse or bound what does not fit.
TEST_F(InitFileTest, StatementsWithExtremeValuesAreReadSafely) {
    const char* shapes[] = {
        "COM # = $ # , ~ , # , # #",
        "COM # = $ # , ~ , # , #",
        "DIAL # = $ # #",
        "DIAL # = $ #",
        "ALARMSEQ # = @",
        "ALARMREQ = @ ^ # ~ #",
        "ALARMREQ= @ ^ # ~ #",
        "STATION = @ # #",
        "MODEM_RESET # = $",
        "MODEM_RESET = $",
        "MODEM_AUTO_ANSWER= $",
        "MODEM_RESET_MIN = #",
        "RING_DETECT_RESERVED_SEC= #",
        "CONNECT_TIME_LIMIT_MIN = #",
        "DIAGNOSE = ~",
        "MODEM_COMMAND_TIMEOUT= #",
        "AA_GETPLCADDR_TIMEOUT= #",
        "PORTS = $",
        "IGNORE_DSR $",
        "$ $ $",
        "   // $",
    };
    const char* numbers[] = {"0",
                             "1",
                             "2",
                             "4",
                             "5",
                             "16",
                             "17",
                             "32",
                             "33",
                             "80",
                             "255",
                             "256",
                             "257",
                             "1092",
                             "1093",
                             "65535",
                             "65536",
                             "4294967295",
                             "4294967296",
                             "-1",
                             "+7",
                             "-0",
                             "99999999999999999999"};
    const char* initials[] = {"A", "MOD", "RTU", "ABCDE", "ABCDEF"};
    std::mt19937 random(7);
    auto below = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
    auto text = [&](const char* alphabet, unsigned longest) {
        std::string t;
        const unsigned length = 1 + below(longest);
        for (unsigned i = 0; i < length; ++i)
            t += alphabet[below(std::strlen(alphabet))];
        return t;
    };
    // Each round starts from fresh tables, so that what the last lines leave differs.
    bool station = false, port = false, dial = false, armed = false;
    for (int round = 0; round < 40 && !HasFailure(); ++round) {
        std::string file;
        for (int i = 0; i < 500; ++i) {
            for (const char* p = shapes[below(std::size(shapes))]; *p != '\0'; ++p) {
                switch (*p) {
                    case '#':
                        file += numbers[below(std::size(numbers))];
                        break;
                    case '$':
                        file += text("ATDZ&019=,IOW", below(4) == 0 ? 300 : 12);
                        break;
                    case '@':
                        file += initials[below(std::size(initials))];
                        break;
                    case '^':
                        file += text(below(8) == 0 ? "0123456789ABCDEFG" : "0A", 8);
                        break;
                    case '~':
                        file += "NOEMSBDW?"[below(9)];
                        break;
                    default:
                        file += *p;
                        break;
                }
            }
            file += below(10) == 0 ? "\r\n" : "\n";
        }
        ResetStateForTest();
        ASSERT_EQ(InitTables(), 0);
        Write("KORVA03.INT", file);
        Read();
        ExpectTablesSound();
        station |= StationCount > 0;
        port |= std::any_of(Ports.begin(), Ports.end(), [](auto& p) { return p.flags != 0; });
        dial |= std::any_of(DialEntries.begin(), DialEntries.end(),
                            [](auto& e) { return e.defined != 0; });
        armed |= std::any_of(AlarmSequences.begin(), AlarmSequences.end(),
                             [](auto& s) { return s.requestLength != 0; });
    }
    // The values are drawn so that statements of every kind also fit.
    EXPECT_TRUE(station && port && dial && armed) << station << port << dial << armed;
}

}  // namespace
