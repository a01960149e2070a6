// The pattern matcher: what a blank, %u, %s and %c take, and how many values a line gives.
#include "initfile/pattern.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct MatchCase {
    const char* line;
    const char* pattern;
    unsigned count;
    bool complete;
    std::vector<std::string> values;  // each value as text: numbers in decimal, %c as itself
};

void PrintTo(const MatchCase& c, std::ostream* out) {
    *out << "'" << c.line << "' against '" << c.pattern << "'";
}

std::string AsText(const PatternValue& value, char conversion) {
    switch (conversion) {
        case 'u':
            return std::to_string(value.number);
        case 's':
            return std::string(value.word, value.length);
        default:
            return std::string(1, value.character);
    }
}

class MatchPatternTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchPatternTest, Reads) {
    const MatchCase& c = GetParam();
    const PatternMatch match = MatchPattern(c.line, c.pattern);
    EXPECT_EQ(match.count, c.count);
    EXPECT_EQ(match.complete, c.complete);
    std::vector<std::string> values;
    const char* conversion = c.pattern;
    for (unsigned i = 0; i < match.count; ++i) {
        conversion = std::strchr(conversion, '%') + 1;
        values.push_back(AsText(match.values[i], *conversion));
    }
    EXPECT_EQ(values, c.values);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchPatternTest,
    ::testing::Values(
        // A blank matches an empty run as well as any white space.
        MatchCase{"KEY=5\n", "KEY = %u", 1, true, {"5"}},
        MatchCase{"KEY \t\v\f\r =\n 5", "KEY = %u", 1, true, {"5"}},
        MatchCase{"KEY = 5", "KEY= %u", 0, false, {}},
        MatchCase{" KEY= 5", "KEY= %u", 0, false, {}},
        // %u: digits after skipped white space, an optional sign, saturating at 32 bits.
        MatchCase{"N=4294967295", "N=%u", 1, true, {"4294967295"}},
        MatchCase{"N=4294967296", "N=%u", 1, true, {"4294967295"}},
        MatchCase{"N=99999999999999999999999", "N=%u", 1, true, {"4294967295"}},
        MatchCase{"N=+17", "N=%u", 1, true, {"17"}},
        MatchCase{"N=-1", "N=%u", 1, true, {"4294967295"}},
        MatchCase{"N=-4294967295", "N=%u", 1, true, {"4294967295"}},
        MatchCase{"N=-0", "N=%u", 1, true, {"0"}}, MatchCase{"N=- 1", "N=%u", 0, false, {}},
        MatchCase{"N=0x1F", "N=%u", 1, true, {"0"}},
        MatchCase{"N=12AB", "N=%u%s", 2, true, {"12", "AB"}},
        // %s: one word; the rest of the line is not looked at.
        MatchCase{"R = AT&F E1\n", "R = %s", 1, true, {"AT&F"}},
        MatchCase{"R =   \n", "R = %s", 0, false, {}},
        // %c: the next character as it is.
        MatchCase{"D = yes", "D = %c", 1, true, {"y"}}, MatchCase{"D =", "D = %c", 0, false, {}},
        MatchCase{"D=\t?", "D=%c", 1, true, {"\t"}},
        // The count of values read decides; matching stops at the first misfit.
        MatchCase{"COM 3 = IO 1200 , N , 8 , 1\n",
                  "COM %u = %s %u , %c , %u , %u %u",
                  6,
                  false,
                  {"3", "IO", "1200", "N", "8", "1"}},
        MatchCase{"COM 12 = I 1200,E,7,1 4",
                  "COM %u = %s %u , %c , %u , %u %u",
                  7,
                  true,
                  {"12", "I", "1200", "E", "7", "1", "4"}},
        MatchCase{
            "COM 1 = IO 1200\n", "COM %u = %s %u , %c , %u , %u %u", 3, false, {"1", "IO", "1200"}},
        MatchCase{"MODEM_RESET_MIN= 5", "MODEM_RESET %u = %s", 0, false, {}},
        MatchCase{"IGNORE_DSR = NO", "IGNORE_DSR", 0, true, {}},
        MatchCase{"IGNORE_DS", "IGNORE_DSR", 0, false, {}},
        MatchCase{"   // x", " // %c", 1, true, {"x"}},
        MatchCase{"   //\n", " // %c", 0, false, {}}, MatchCase{"", "%u", 0, false, {}}));

TEST(ReadHexPairTest, ReadsOneOrTwoDigits) {
    struct {
        const char* pair;
        bool read;
        uint8_t value;
    } const cases[] = {{"0A", true, 0x0A}, {"ff", true, 0xFF}, {"1G", true, 0x01},
                       {"0X", true, 0x00}, {"G1", false, 0},   {"+1", false, 0},
                       {" 1", false, 0}};
    for (const auto& c : cases) {
        uint8_t value = 0xEE;
        EXPECT_EQ(ReadHexPair(c.pair, &value), c.read) << c.pair;
        if (c.read) {
            EXPECT_EQ(value, c.value) << c.pair;
        }
    }
}

}  // namespace
