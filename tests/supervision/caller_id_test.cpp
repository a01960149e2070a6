// Identifying a calling station over a live simulated line: which requests go out, in which
// order, how the address is read from the reply and what ends the search.
#include <chrono>
#include <string>
#include <vector>

#include "support/supervision_fixture.h"

namespace {

using namespace std::string_literals;

struct Sequence {
    unsigned number;  // 1..5
    const char* initials;
    std::string request;
    uint16_t replyLength;
    uint16_t offset;  // counted from 0, as held after reading the file
    char kind;
};

struct Reply {
    std::string request;
    std::string reply;
};

struct Case {
    const char* name;
    std::vector<Sequence> sequences;
    std::vector<Reply> replies;
    int result;
    uint8_t vpi;
    uint8_t plc;
    std::string sent;  // every byte the station received, in order
    std::vector<std::string> log;
    uint32_t minimumMs;  // driver milliseconds the identification takes at least
    bool firstWriteFails = false;
};

std::string Times(int count, const std::string& text) {
    std::string all;
    for (int i = 0; i < count; ++i)
        all += text;
    return all;
}

std::vector<std::string> Lines(int count, const std::string& line, const std::string& last) {
    std::vector<std::string> lines(count, line);
    lines.push_back(last);
    return lines;
}

const std::string kUnidentified = "KORVA> GetStationAddress() rcvd unidentified ALARM call!";
const std::string kAsk1 = "\x01\x03"s;
const std::string kAsk2 = "\x02\x04"s;
const std::string kAsk3 = "\x03\x05"s;

// Stations for every case: MOD 17 twice (the first wins), RTU 255.
struct Station {
    const char* initials;
    uint8_t vpi;
    uint16_t address;
};
constexpr Station kStations[] = {{"MOD", 3, 17}, {"MOD", 5, 17}, {"RTU", 4, 255}};

const Case kCases[] = {
    {"NoArmedSequence",
     // initials without a request, and a request without initials
     {{1, "MOD", "", 4, 1, 'B'}, {2, "", kAsk2, 4, 1, 'B'}},
     {{kAsk2, "\x02\x11\x00\x00"s}},
     1,
     0,
     0,
     "",
     {kUnidentified},
     1000},
    {"OnlySequenceThreeArmed",
     {{3, "MOD", kAsk3, 3, 1, 'B'}},
     {{kAsk3, "\x68\x11\x16"s}},
     0,
     3,
     17,
     kAsk3,
     {},
     1000},
    {"StationAnswersOnlySequenceTwo",
     {{1, "MOD", kAsk1, 3, 1, 'B'}, {2, "RTU", kAsk2, 4, 2, 'B'}},
     {{kAsk2, "\x02\x04\xFF\x00"s}},
     0,
     4,
     255,
     Times(5, kAsk1) + kAsk2,
     {},
     5000},
    {"ShortReplyIsAFailedAttempt",
     {{1, "MOD", kAsk1, 4, 1, 'B'}},
     {{kAsk1, "\x01\x11"s}},
     1,
     0,
     0,
     Times(5, kAsk1),
     {kUnidentified},
     5000},
    {"WordHighByteFirst",
     {{1, "MOD", kAsk1, 4, 1, 'W'}},
     {{kAsk1, "\x68\x00\x11\x16"s}},
     0,
     3,
     17,
     kAsk1,
     {},
     1000},
    {"WordLowByteFirstTooBig",
     {{1, "MOD", kAsk1, 4, 1, 'S'}},
     {{kAsk1, "\x68\x00\x11\x16"s}},
     1,
     0,
     0,
     Times(5, kAsk1),
     Lines(5, "KORVA> GetStationAddress() rcvd ALARM call VPIMOD, plcAdd 4352 too big!",
           kUnidentified),
     5000},
    {"Decimal",
     // "ALARMREQ = MOD 3F 6 D 4" in the file: the digits begin at the fourth byte
     {{1, "MOD", "?", 6, 3, 'D'}},
     {{"?", "ST=017"}},
     0,
     3,
     17,
     "?",
     {},
     1000},
    {"DecimalWithoutDigits",
     {{1, "MOD", "?", 6, 3, 'D'}},
     {{"?", "ST=X17"}},
     1,
     0,
     0,
     Times(5, "?"),
     Lines(5, "KORVA> GetStationAddress() rcvd ALARM call VPIMOD, error reading station address",
           kUnidentified),
     5000},
    {"Address256TooBig",
     {{1, "MOD", kAsk1, 2, 0, 'W'}},
     {{kAsk1, "\x01\x00"s}},
     1,
     0,
     0,
     Times(5, kAsk1),
     Lines(5, "KORVA> GetStationAddress() rcvd ALARM call VPIMOD, plcAdd 256 too big!",
           kUnidentified),
     5000},
    {"OtherInitialsEndTheSearchAtOnce",
     // RTU has no station 17; MOD has, and sequence 2 would find it, but is never asked
     {{1, "RTU", kAsk1, 3, 1, 'B'}, {2, "MOD", kAsk2, 3, 1, 'B'}},
     {{kAsk1, "\x01\x11\x00"s}, {kAsk2, "\x02\x11\x00"s}},
     1,
     0,
     0,
     kAsk1,
     {"KORVA> GetStationAddress() rcvd ALARM call VPIRTU, plcAdd 17, not DEFINED!"},
     1000},
    {"AddressOutsideTheReplyIsPassedOver",
     {{1, "MOD", kAsk1, 300, 0, 'B'},  // longer than the reply buffer
      {2, "MOD", kAsk1, 4, 3, 'W'},    // second byte past the reply
      {3, "MOD", kAsk1, 4, 4, 'B'},    // offset past the reply
      {4, "MOD", kAsk1, 0, 0, 'B'},    // no reply at all
      {5, "MOD", kAsk3, 3, 1, 'B'}},
     {{kAsk1, std::string(300, '\x11')}, {kAsk3, "\x03\x11\x00"s}},
     0,
     3,
     17,
     kAsk3,
     {},
     1000},
    {"FailedWriteIsRetried",
     {{1, "MOD", kAsk1, 3, 1, 'B'}},
     {{kAsk1, "\x01\x11\x00"s}},
     0,
     3,
     17,
     kAsk1,
     {},
     2000,
     true},
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class CallerIdTest : public SupervisionTest, public ::testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        modem = &AddPort(3, Direction::kIn, "201");
        station = &world.AddStation("555");
        Settings.callerIdTimeout = 200;  // distinct from every other time-out the line sees
        for (const Station& s : kStations)
            AddStationEntry(s.initials, s.vpi, s.address);
        InitPortsAndModems();
        ASSERT_TRUE(station->Call("201"));
        ASSERT_TRUE(WaitOnline(*modem));
        ZunHostClearLog();
    }

    sim::Modem* modem = nullptr;
    sim::Station* station = nullptr;
};

TEST_P(CallerIdTest, Identifies) {
    const Case& c = GetParam();
    for (const Sequence& s : c.sequences)
        ArmSequence(s.number, s.initials, s.request, s.replyLength, s.offset, s.kind);
    for (const Reply& r : c.replies)
        station->SetReply(r.request, r.reply);
    if (c.firstWriteFails) modem->SetFault(sim::Fault::kWriteFails, 0, 1);
    station->ClearReceived();

    uint8_t vpi = 0;
    uint8_t plc = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(GetStationAddress(2, &vpi, &plc), c.result);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(vpi, c.vpi);
    EXPECT_EQ(plc, c.plc);
    EXPECT_EQ(station->Received(), c.sent);
    EXPECT_EQ(CapturedTexts(), c.log);
    for (const LogLine& line : CapturedLog())
        EXPECT_EQ(line.level, 32) << line;
    EXPECT_GE(elapsed, std::chrono::nanoseconds(platform::ScaledNs(c.minimumMs)));
    // The line keeps the identification's read time-out, whatever the outcome.
    EXPECT_EQ(ReadTimeout(2), 200);
}

INSTANTIATE_TEST_SUITE_P(Cases, CallerIdTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
