// The entry statements: ports, dial entries, alarm sequences, stations, per-dial resets, and
// the faults the reader refuses beyond the documented checks.
#include <cstring>
#include <string>
#include <vector>

#include "initfile/initfile_fixture.h"

namespace {

using Texts = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

class EntriesTest : public InitFileGroupTest {};
INSTANTIATE_TEST_SUITE_P(LineEnds, EntriesTest, ::testing::Bool(), LineEndName);

std::string OnLine(const char* what, unsigned line) {
    return std::string("KORVA> ReadInitFile() ") + what + " " + std::to_string(line) +
           " in 'KORVA03.INT'";
}

std::string IllegalLine(unsigned line, const std::string& text) {
    return "KORVA> ReadIntFile() illegal line " + std::to_string(line) + " ('" + text +
           "\n')in 'KORVA03.INT'";
}

std::string InvalidVpi(unsigned vpi, const std::string& text) {
    return "KORVA> ReadInitFile() File KORVA03.INT invalid VPI Number (" + std::to_string(vpi) +
           ") in line '" + text + "\n'";
}

Bytes Request(const AlarmSequence& sequence) {
    return Bytes(sequence.request, sequence.request + sequence.requestLength);
}

// --- COM ----------------------------------------------------------------------------------

struct PortExpectation {
    unsigned com;
    const char* deviceName;
    uint32_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
    uint32_t flags;
    uint16_t dedicatedVpi;
};

void ExpectPort(const PortExpectation& e) {
    SCOPED_TRACE("COM" + std::to_string(e.com));
    const PortEntry& port = Ports[e.com - 1];
    EXPECT_EQ(port.flags, e.flags);
    EXPECT_STREQ(port.deviceName, e.deviceName);
    if (e.flags == 0) return;
    EXPECT_EQ(port.baudRate, e.baudRate);
    EXPECT_EQ(port.dataBits, e.dataBits);
    EXPECT_EQ(port.stopBits, e.stopBits);
    EXPECT_EQ(port.parity, e.parity);
    EXPECT_EQ(port.options, 0x0303);
    EXPECT_EQ(port.dedicatedVpi, e.dedicatedVpi);
}

TEST_P(EntriesTest, ComDefinesPortsWithEveryCheck) {
    ReadFixture("com.int");
    EXPECT_EQ(Transcript(), (Texts{OnLine("illegal COM port on line", 2), kTick,
                                   OnLine("illegal COM port on line", 3), kTick,
                                   OnLine("illegal COM port on line", 4), kTick,
                                   OnLine("COM port already defined line", 6), kTick,
                                   OnLine("wrong IO parameter COM port line", 7), kTick,
                                   OnLine("wrong parity COM port line", 8), kTick,
                                   InvalidVpi(17, "COM 4 = I 1200 , N , 8 , 1 17"), kTick,
                                   IllegalLine(13, "COM 6 = IO 1200"), kTick,
                                   InvalidVpi(0, "COM 7 = I 9600 , S , 8 , 1 0"), kTick}));
    const PortExpectation expected[] = {
        {1, "", 0, 0, 0, 0, 0, 0},
        {2, "COM2", 1200, 8, 0, 0, kDEF | kINP | kOUT, 0},  // the first definition stays
        {3, "", 0, 0, 0, 0, 0, 0},
        {4, "COM4", 1200, 8, 0, 0, kDEF | kINP, 0},
        {5, "COM5", 115200, 8, 0, 3, kDEF | kINP | kOUT, 16},
        {6, "", 0, 0, 0, 0, 0, 0},
        {7, "COM7", 9600, 8, 0, 4, kDEF | kINP, 0},
        {9, "COM9", 300, 8, 0, 1, kDEF | kOUT, 0},
        {10, "//./COM10", 1200, 7, 2, 2, kDEF | kOUT, 0},
        {12, "//./COM12", 1200, 7, 0, 2, kDEF | kINP, 4},
        {32, "//./COM32", 300, 8, 0, 0, kDEF | kOUT, 0},
    };
    for (const PortExpectation& e : expected)
        ExpectPort(e);
}

// --- DIAL ---------------------------------------------------------------------------------

TEST_P(EntriesTest, DialDefinesEntriesWithEveryCheck) {
    ReadFixture("dial.int");
    EXPECT_EQ(Transcript(), (Texts{OnLine("illegal DIAL entry on line", 2), kTick,
                                   OnLine("illegal DIAL entry on line", 3), kTick,
                                   InvalidVpi(99, "DIAL 5 = ATDT123 45 99"), kTick,
                                   IllegalLine(9, "DIAL 6 = ATDT123"), kTick,
                                   InvalidVpi(0, "DIAL 17 = ATDT8 20 0"), kTick}));
    struct {
        unsigned number;
        uint8_t defined;
        const char* dial;
        uint16_t timeout;
        uint16_t vpi;
    } const expected[] = {
        {1, 1, "ATDT123", 60, 0},
        {5, 1, "ATDT777", 50, 0},  // redefined without a word
        {6, 0, "", 0, 0},
        {17, 1, "ATDT8", 20, 3},  // the rejected VPI leaves the earlier one
        {256, 1, "ATDP0", 1, 16},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE("DIAL " + std::to_string(e.number));
        const DialEntry& entry = DialEntries[e.number - 1];
        EXPECT_EQ(entry.defined, e.defined);
        EXPECT_STREQ(entry.dial, e.dial);
        EXPECT_EQ(entry.timeout, e.timeout);
        EXPECT_EQ(entry.vpi, e.vpi);
    }
}

// --- ALARMSEQ and ALARMREQ ----------------------------------------------------------------

struct SequenceExpectation {
    const char* initials = "";
    Bytes request = {};  // empty: not armed
    uint16_t replyLength = 0;
    uint16_t addressOffset = 0;
    char addressKind = 0;
};

void ExpectSequences(const std::vector<SequenceExpectation>& expected) {
    for (size_t i = 0; i < kAlarmSequenceCount; ++i) {
        SCOPED_TRACE("ALARMSEQ " + std::to_string(i + 1));
        const AlarmSequence& sequence = AlarmSequences[i];
        const SequenceExpectation e = i < expected.size() ? expected[i] : SequenceExpectation{};
        EXPECT_STREQ(sequence.initials, e.initials);
        EXPECT_EQ(Request(sequence), e.request);
        if (e.request.empty()) continue;
        EXPECT_EQ(sequence.replyLength, e.replyLength);
        EXPECT_EQ(sequence.addressOffset, e.addressOffset);
        EXPECT_EQ(sequence.addressKind, e.addressKind);
    }
}

TEST_P(EntriesTest, AlarmSequencesAccepted) {
    ReadFixture("alarm_accepted.int");
    EXPECT_EQ(Transcript(), Texts{});
    ExpectSequences({
        {"MOD", {0x0A, 0x0B}, 4, 1, 'W'},
        {"RTU", {0x01, 0x03, 0x00, 0x0A, 0x00, 0x01}, 7, 3, 'W'},
        {"BUS", {0x01, 0x2B}, 4, 3, 'B'},  // the pair 1G reads as 01
        {"ASCII", {0x3F}, 12, 3, 'D'},
        {"TWICE", {0x02, 0x03}, 5, 3, 'S'},  // a later valid line replaces the telegram
    });
}

TEST_P(EntriesTest, AlarmSequencesRejected) {
    ReadFixture("alarm_rejected.int");
    EXPECT_EQ(Transcript(), (Texts{OnLine("illegal ALARMSEQ entry on line", 2),
                                   kTick,
                                   OnLine("illegal ALARMSEQ entry on line", 3),
                                   kTick,
                                   OnLine("ALARMSEQ driver initialstoo long on line", 4),
                                   kTick,
                                   OnLine("2nd def. of ALARMSEQ1 on line", 7),
                                   kTick,
                                   OnLine("wrong length of ALARMREQ telegram on line", 12),
                                   kTick,
                                   OnLine("illegal ALARMREQ telegram on line", 14),
                                   kTick,
                                   OnLine("replen > offset inALARMREQ telegram on line", 16),
                                   kTick,
                                   OnLine("Illegal BYTE/WORD in ALARMREQ telegram on line", 18),
                                   kTick,
                                   OnLine("ALARMREQ driver initialstoo long on line", 19),
                                   kTick,
                                   IllegalLine(20, "ALARMREQ = MOD 0102 4 B"),
                                   kTick}));
    ExpectSequences({
        {"MOD", {0x01, 0x02}, 4, 0, 'B'},  // the odd telegram left it as it was
        {"RTU", {}},                       // disarmed
        {"BUS", {}},
        {"DEC", {}},
    });
}

// --- STATION ------------------------------------------------------------------------------

TEST_P(EntriesTest, StationsAreAppendedInFileOrder) {
    ReadFixture("station.int");
    EXPECT_EQ(Transcript(),
              (Texts{OnLine("Vpi or Plc nr of STATIONout of range on line", 2), kTick,
                     OnLine("Vpi or Plc nr of STATIONout of range on line", 3), kTick,
                     OnLine("STATION driver initialstoo long on line", 4), kTick,
                     IllegalLine(8, "STATION = MOD 3"), kTick,
                     OnLine("Vpi or Plc nr of STATIONout of range on line", 9), kTick}));
    ASSERT_EQ(StationCount, 4);
    struct {
        const char* initials;
        uint8_t vpi;
        uint16_t address;
    } const expected[] = {{"MOD", 3, 17}, {"RTU", 2, 0}, {"MOD", 3, 17}, {"BUS", 255, 255}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_STREQ(Stations[i].initials, expected[i].initials) << i;
        EXPECT_EQ(Stations[i].vpi, expected[i].vpi) << i;
        EXPECT_EQ(Stations[i].address, expected[i].address) << i;
    }
    EXPECT_STREQ(Stations[4].initials, "");
}

TEST_F(InitFileTest, AtMost255Stations) {
    std::string file;
    for (unsigned i = 0; i < 256; ++i)
        file += "STATION = S" + std::to_string(i) + " 2 1\n";
    Write("KORVA03.INT", file);
    Read();
    EXPECT_EQ(
        Transcript(),
        (Texts{"KORVA> ReadInitFile() too many STATIONs defined, line 256 in 'KORVA03.INT'"}));
    EXPECT_EQ(StationCount, 255);
    EXPECT_STREQ(Stations[254].initials, "S254");
    EXPECT_STREQ(Stations[255].initials, "");
}

// --- MODEM_RESET with a number ------------------------------------------------------------

TEST_P(EntriesTest, DialResetCommands) {
    ReadFixture("modem_reset.int");
    EXPECT_EQ(
        Transcript(),
        (Texts{"KORVA> ReadInitFile() 2nd def. of MODEM_RESET 3 in file KORVA03.INT line 3", kTick,
               "KORVA> ReadInitFile() illegal MODEM_RESET entry file KORVA03.INT line "
               "'MODEM_RESET 0 = ATZ\n' ",
               kTick,
               "KORVA> ReadInitFile() illegal MODEM_RESET entry file KORVA03.INT line "
               "'MODEM_RESET 257 = ATZ\n' ",
               kTick, IllegalLine(9, "MODEM_RESET 4 ="), kTick}));
    EXPECT_STREQ(DialResetCommands[2], "ATZ");
    EXPECT_STREQ(DialResetCommands[255], "AT&F&C1&D2");
    EXPECT_STREQ(DialResetCommands[3], "");
    EXPECT_STREQ(Settings.modemReset, "ATZ5");
    EXPECT_EQ(Settings.resetPeriod, 300u);
}

// --- Faults refused beyond the documented checks ------------------------------------------

TEST_P(EntriesTest, ValuesThatWouldNotFitAreRefused) {
    ReadFixture("mended.int");
    EXPECT_EQ(Transcript(),
              (Texts{OnLine("DIAL string longer than 80 characters on line", 2),
                     kTick,
                     OnLine("illegal DIAL time-out on line", 4),
                     kTick,
                     OnLine("illegal DIAL time-out on line", 5),
                     kTick,
                     OnLine("RING_DETECT_RESERVED_SEC above 65535 on line", 8),
                     kTick,
                     OnLine("RING_DETECT_RESERVED_SEC above 65535 on line", 9),
                     kTick,
                     OnLine("CONNECT_TIME_LIMIT_MIN above 1092 on line", 11),
                     kTick,
                     OnLine("MODEM_RESET_MIN above 71582788 on line", 13),
                     kTick,
                     OnLine("replen > 256 in ALARMREQ telegram on line", 19),
                     kTick,
                     OnLine("offset 0 in ALARMREQ telegram on line", 20),
                     kTick,
                     OnLine("word address beyond replen in ALARMREQ telegram on line", 21),
                     kTick,
                     OnLine("word address beyond replen in ALARMREQ telegram on line", 22),
                     kTick,
                     OnLine("Vpi or Plc nr of STATIONout of range on line", 24),
                     kTick,
                     OnLine("illegal COM port on line", 29),
                     kTick}));
    EXPECT_EQ(DialEntries[0].defined, 0);
    EXPECT_STREQ(DialEntries[0].dial, "");
    EXPECT_EQ(DialEntries[1].defined, 1);
    EXPECT_EQ(std::strlen(DialEntries[1].dial), 80u);
    EXPECT_EQ(DialEntries[2].defined, 0);
    EXPECT_EQ(DialEntries[3].defined, 0);
    EXPECT_EQ(DialEntries[4].timeout, 65535);
    EXPECT_EQ(Settings.ringReservedSec, 65535);
    EXPECT_EQ(Settings.connectTimeLimit, 65520);
    EXPECT_EQ(Settings.resetPeriod, 71582788u * 60u);
    ExpectSequences(
        {{"BIG", {}}, {"ZERO", {}}, {"WORD", {}}, {"SWAP", {}}, {"EDGE", {0x01}, 256, 254, 'S'}});
    EXPECT_LE(AlarmSequences[0].replyLength, 256);
    ASSERT_EQ(StationCount, 1);
    EXPECT_EQ(Stations[0].vpi, 255);
    EXPECT_EQ(Ports[0].baudRate, 115200u);
    EXPECT_EQ(Ports[1].baudRate, 4294967295u);  // held in full; the device judges it
    EXPECT_EQ(Ports[2].dataBits, 65535);        // not wrapped into a plausible 8
}

}  // namespace
