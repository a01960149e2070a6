// The simulated modem in command mode: what it echoes and answers to command lines.
#include <gtest/gtest.h>

#include "sim_support.h"

namespace {

using SimCommand = SimTest;

TEST_F(SimCommand, AnswersCommandLinesAsAHayesModem) {
    struct Case {
        const char* setup;  // typed first, its answer not checked
        const char* typed;
        std::string answer;
    };
    const Case cases[] = {
        {"", "AT\r", "AT\r" + Verbose("OK")},
        {"", "at\r", "at\r" + Verbose("OK")},
        {"", "aT e1\r", "aT e1\r" + Verbose("OK")},
        {"", "\r\nxyAT\r", "\r\nxyAT\r" + Verbose("OK")},  // before "AT" nothing counts
        {"", "ATE1V1Q0S0=0S11=55&C1&D2\r", "ATE1V1Q0S0=0S11=55&C1&D2\r" + Verbose("OK")},
        {"", "ATS0=1\r", "ATS0=1\r" + Verbose("OK")},
        {"ATS0=2\r", "ATS0?\r", "ATS0?\r" + Verbose("002") + Verbose("OK")},
        {"", "ATS11=55S11?\r", "ATS11=55S11?\r" + Verbose("055") + Verbose("OK")},
        {"", "ATJ\r", "ATJ\r" + Verbose("ERROR")},
        {"", "ATE2\r", "ATE2\r" + Verbose("ERROR")},
        {"", "ATS0=256\r", "ATS0=256\r" + Verbose("ERROR")},
        {"", "ATO\r", "ATO\r" + Verbose("NO CARRIER")},  // nothing to go back to
        {"", "ATH0\r", "ATH0\r" + Verbose("OK")},
        {"", "+++", "+++"},  // in command mode just characters, echoed
        {"ATE0\r", "AT\r", Verbose("OK")},
        {"ATV0\r", "AT\r", "AT\r0\r"},
        {"ATV0\r", "ATJ\r", "ATJ\r4\r"},
        {"ATV0\r", "ATS0?\r", "ATS0?\r000\r\n0\r"},
        {"ATQ1\r", "AT\r", "AT\r"},
        {"ATQ1\r", "ATS0?\r", "ATS0?\r" + Verbose("000")},  // information text still comes
        {"ATE1\r", "ATE1\b0\r", "ATE1\b0\r" + Verbose("OK")},
        {"ATS7=9\r", "A/", "A/" + Verbose("OK")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        dte.Type("ATZ\r");
        dte.Type(c.setup);
        EXPECT_EQ(dte.Type(c.typed), c.answer);
    }
}

TEST_F(SimCommand, KeepsRegistersAndRecordsTheLines) {
    dte.Type("ATS0=2\r");
    dte.Type("ats7=30 s12=0\r");
    dte.Type("ATE1\b0\r");  // a backspace removes the last character
    EXPECT_EQ(modem.Register(0), 2);
    EXPECT_EQ(modem.Register(7), 30);
    EXPECT_EQ(modem.Register(12), 0);
    EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"ATS0=2", "ats7=30 s12=0", "ATE0"}));
    EXPECT_EQ(dte.Type("A/"), Verbose("OK"));  // A/ repeats "ATE0": no echo any more
    EXPECT_EQ(dte.Type("AT\r"), Verbose("OK"));
}

TEST_F(SimCommand, ResetRestoresTheFactoryProfile) {
    for (const char* reset : {"ATZ\r", "AT&F\r"}) {
        SCOPED_TRACE(reset);
        dte.Type("ATE0V0Q1S0=3S12=10&C0&D0\r");
        dte.Type(reset);
        EXPECT_EQ(modem.Register(0), 0);
        EXPECT_EQ(modem.Register(12), 50);
        EXPECT_FALSE(dte.Dcd());  // &C1 again
        EXPECT_EQ(dte.Type("AT\r"), "AT\r" + Verbose("OK"));
    }
}

TEST_F(SimCommand, RaisesDsrAndCtsAndDcdPerAmpersandC) {
    const uint32_t lines = platform::kMsCtsOn | platform::kMsDsrOn;
    EXPECT_EQ(dte.Status(), lines);
    dte.Type("AT&C0\r");
    EXPECT_EQ(dte.Status(), lines | platform::kMsRlsdOn);  // DCD forced on
    dte.Type("AT&C1\r");
    EXPECT_EQ(dte.Status(), lines);
}

}  // namespace
