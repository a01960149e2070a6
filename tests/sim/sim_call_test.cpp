// The simulated modem on the line: dialling, answering, data, escape and the ends of a call.
#include <gtest/gtest.h>

#include <thread>

#include "sim_support.h"

namespace {

using sim::ModemState;
using SimCall = SimTest;

TEST_F(SimCall, DialsAStationAndCarriesDataBothWays) {
    station.SetEcho(true);
    uint64_t dialled = platform::MonotonicNs();
    EXPECT_EQ(dte.Type("ATDT 5,55\r"), "ATDT 5,55\r");  // blanks and pauses are not digits
    EXPECT_EQ(modem.State(), ModemState::kDialing);
    EXPECT_TRUE(modem.OffHook());
    EXPECT_FALSE(dte.Dcd());

    EXPECT_EQ(dte.Await(16, 10000), Verbose("CONNECT 2400"));
    EXPECT_GE(platform::MonotonicNs() - dialled, platform::ScaledNs(1000));
    EXPECT_TRUE(dte.Dcd());
    EXPECT_EQ(modem.State(), ModemState::kOnline);
    EXPECT_TRUE(station.Connected());

    EXPECT_EQ(dte.Type("ATH0\r"), "ATH0\r");  // online: data, echoed by the station only
    EXPECT_EQ(station.Received(), "ATH0\r");
    EXPECT_TRUE(station.Send(std::string("\x00\xff", 2)));
    EXPECT_EQ(dte.Pending(), std::string("\x00\xff", 2));
}

TEST_F(SimCall, ReportsTheConfiguredSpeed) {
    modem.SetConnectSpeed(14400);
    dte.Type("ATDT555\r");
    EXPECT_EQ(dte.Await(17, 10000), Verbose("CONNECT 14400"));
}

TEST_F(SimCall, DialOutcomes) {
    world.SetOutcome("666", sim::Outcome::kBusy);
    world.SetOutcome("667", sim::Outcome::kNoAnswer, 3000);
    world.SetOutcome("668", sim::Outcome::kNoCarrier);
    world.SetOutcome("669", sim::Outcome::kNoDialTone);
    world.AddStation("556");
    struct Case {
        const char* dial;
        const char* result;
    };
    const Case cases[] = {
        {"ATDT666\r", "BUSY"},        {"ATDT667\r", "NO ANSWER"},  {"ATDT668\r", "NO CARRIER"},
        {"ATDT669\r", "NO DIALTONE"}, {"ATDT999\r", "NO CARRIER"},  // nobody has that number
        {"ATDT201\r", "BUSY"},                                      // its own number
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dial);
        EXPECT_EQ(dte.Type(c.dial), c.dial);
        EXPECT_EQ(modem.State(), ModemState::kDialing);
        std::string result = Verbose(c.result);
        EXPECT_EQ(dte.Await(result.size(), 10000), result);
        EXPECT_EQ(modem.State(), ModemState::kCommand);
        EXPECT_FALSE(modem.OffHook());
        EXPECT_FALSE(dte.Dcd());
    }

    world.SetUnknownOutcome(sim::Outcome::kNoAnswer);
    dte.Type("ATDT999\r");
    EXPECT_EQ(dte.Await(13, 10000), Verbose("NO ANSWER"));
}

TEST_F(SimCall, BusyStationAndAbandonedDial) {
    Dte second("COM4");
    ASSERT_FALSE(second.open());  // no modem there
    world.AddModem("COM4", "202");
    Dte other("COM4");
    ASSERT_TRUE(other.open());
    other.Type("ATDT555\r");
    ASSERT_EQ(other.Await(16, 10000), Verbose("CONNECT 2400"));

    dte.Type("ATDT555\r");  // the station is in a call
    EXPECT_EQ(dte.Await(8, 10000), Verbose("BUSY"));

    dte.Type("ATDT556\r");  // unknown: would say NO CARRIER after a second
    EXPECT_EQ(dte.Type("x"), Verbose("NO CARRIER"));  // a key abandons the dial at once
    EXPECT_FALSE(modem.OffHook());
}

TEST_F(SimCall, AutoAnswersAfterS0RingsWithRiPulsing) {
    world.SetRingCadence(40000, 20000);
    dte.Type("ATS0=2\r");
    ASSERT_TRUE(station.Call("201"));
    EXPECT_FALSE(station.Call("201"));  // already calling

    EXPECT_EQ(dte.Pending(), Verbose("RING"));
    EXPECT_EQ(modem.State(), ModemState::kRinging);
    EXPECT_NE(dte.Status() & platform::kMsRingOn, 0u);
    EXPECT_FALSE(modem.OffHook());
    bool riWentOff = false;
    for (int poll = 0; poll < 100 && !riWentOff; ++poll) {
        platform::SleepMs(1000);
        riWentOff = (dte.Status() & platform::kMsRingOn) == 0;
    }
    EXPECT_TRUE(riWentOff);
    EXPECT_EQ(dte.Await(8, 100000), Verbose("RING"));
    EXPECT_NE(dte.Status() & platform::kMsRingOn, 0u);
    EXPECT_EQ(modem.Register(1), 2);  // rings counted

    // Answers when the second ring ends; the carrier follows the handshake.
    EXPECT_EQ(dte.Await(16, 100000), Verbose("CONNECT 2400"));
    EXPECT_EQ(dte.Status(), platform::kMsCtsOn | platform::kMsDsrOn | platform::kMsRlsdOn);
    EXPECT_EQ(modem.State(), ModemState::kOnline);
    EXPECT_TRUE(station.Connected());
    EXPECT_FALSE(station.Call("201"));
}

TEST_F(SimCall, RingsWithoutAnsweringWhenS0IsZeroUntilAnsweredByHand) {
    ASSERT_TRUE(station.Call("201"));
    EXPECT_EQ(dte.Await(16, 100000), Verbose("RING") + Verbose("RING"));
    EXPECT_EQ(modem.State(), ModemState::kRinging);
    EXPECT_EQ(dte.Type("ATA\r"), "ATA\r");
    EXPECT_EQ(modem.State(), ModemState::kAnswering);
    EXPECT_EQ(dte.Await(16, 10000), Verbose("CONNECT 2400"));
    EXPECT_TRUE(station.Connected());
}

TEST_F(SimCall, CallerHangingUpStopsTheRinging) {
    ASSERT_TRUE(station.Call("201"));
    station.HangUp();
    EXPECT_EQ(modem.State(), ModemState::kCommand);
    EXPECT_EQ(dte.Status() & platform::kMsRingOn, 0u);
    EXPECT_EQ(dte.Pending(), Verbose("RING"));  // no NO CARRIER: the modem never went off-hook
}

TEST_F(SimCall, StationHangingUpDropsTheCarrier) {
    for (bool escaped : {false, true}) {
        SCOPED_TRACE(escaped ? "in command mode" : "online");
        ConnectToStation();
        if (escaped) {
            platform::SleepMs(1000);
            dte.Write("+++");
            ASSERT_EQ(dte.Await(6, 10000), Verbose("OK"));
        }
        station.HangUp();
        EXPECT_EQ(dte.Pending(), Verbose("NO CARRIER"));
        EXPECT_FALSE(dte.Dcd());
        EXPECT_EQ(modem.State(), ModemState::kCommand);
        EXPECT_EQ(dte.Type("AT\r"), "AT\r" + Verbose("OK"));
    }
}

TEST_F(SimCall, EscapesOnlyWithGuardTimesAroundThePluses) {
    ConnectToStation();
    struct Case {
        const char* typed;
        bool escapes;
    };
    const Case cases[] = {
        {"+++x", false},  // data within the guard time after
        {"x+++", false},  // data within the guard time before
        {"++", false},   {"++++", false}, {"+++", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        station.ClearReceived();
        platform::SleepMs(1000);  // the guard time before
        uint64_t typed = platform::MonotonicNs();
        EXPECT_EQ(dte.Type(c.typed), "");  // online: no echo, no answer at once
        EXPECT_EQ(station.Received(), c.typed);
        if (c.escapes) {
            EXPECT_EQ(dte.Await(6, 10000), Verbose("OK"));
            EXPECT_GE(platform::MonotonicNs() - typed, platform::ScaledNs(1000));
            EXPECT_EQ(modem.State(), ModemState::kEscaped);
        } else {
            EXPECT_EQ(dte.Await(6, 3000), "");
            EXPECT_EQ(modem.State(), ModemState::kOnline);
        }
    }
    EXPECT_TRUE(dte.Dcd());  // the call stays up in command mode
    EXPECT_EQ(dte.Type("AT\r"), "AT\r" + Verbose("OK"));
    EXPECT_EQ(dte.Type("ATO\r"), "ATO\r" + Verbose("CONNECT 2400"));
    EXPECT_EQ(modem.State(), ModemState::kOnline);
}

TEST_F(SimCall, HangsUpOnAth0AfterTheEscape) {
    ConnectToStation();
    platform::SleepMs(1000);
    dte.Write("+++");
    ASSERT_EQ(dte.Await(6, 10000), Verbose("OK"));
    EXPECT_EQ(dte.Type("ATH0\r"), "ATH0\r" + Verbose("OK"));
    EXPECT_FALSE(dte.Dcd());
    EXPECT_FALSE(modem.OffHook());
    EXPECT_FALSE(station.Connected());
    EXPECT_TRUE(station.Call("201"));  // the station is free again
}

TEST_F(SimCall, DtrDropHangsUpWithAmpersandD2Only) {
    struct Case {
        const char* setting;
        bool hangsUp;
    };
    for (const Case& c : {Case{"AT&D2\r", true}, Case{"AT&D0\r", false}}) {
        SCOPED_TRACE(c.setting);
        dte.Type(c.setting);
        ConnectToStation();
        ASSERT_TRUE(dte.device()->Escape(platform::kClrDtr));
        EXPECT_FALSE(modem.Dtr());
        EXPECT_EQ(dte.Pending(), c.hangsUp ? Verbose("NO CARRIER") : "");
        EXPECT_EQ(dte.Dcd(), !c.hangsUp);
        EXPECT_EQ(station.Connected(), !c.hangsUp);
        ASSERT_TRUE(dte.device()->Escape(platform::kSetDtr));
        station.HangUp();
        dte.Pending();
    }
}

TEST_F(SimCall, RecordsDtrChangesWithTheirTimes) {
    platform::Dcb dcb;
    ASSERT_TRUE(dte.device()->GetState(dcb));
    ASSERT_TRUE(dte.device()->Escape(platform::kClrDtr));
    platform::SleepMs(200);
    ASSERT_TRUE(dte.device()->Escape(platform::kSetDtr));
    dcb.fDtrControl = platform::kDtrControlDisable;
    ASSERT_TRUE(dte.device()->SetState(dcb));
    ASSERT_TRUE(dte.device()->Close());  // DTR already low: no change

    std::vector<sim::DtrChange> history = modem.DtrHistory();
    ASSERT_EQ(history.size(), 4u);  // raised by the open, pulse, lowered by the settings
    EXPECT_TRUE(history[0].high);
    EXPECT_FALSE(history[1].high);
    EXPECT_TRUE(history[2].high);
    EXPECT_FALSE(history[3].high);
    EXPECT_GE(history[2].atNs - history[1].atNs, platform::ScaledNs(200));
    EXPECT_GE(history[2].atMs - history[1].atMs, 199.999);
    EXPECT_FALSE(modem.DeviceOpen());
}

TEST_F(SimCall, ModemCallsModem) {
    sim::Modem& called = world.AddModem("//./COM12", "202");
    Dte far("COM12");
    ASSERT_TRUE(far.open());
    far.Type("ATS0=1\r");

    dte.Type("ATDT202\r");
    EXPECT_EQ(far.Pending(), Verbose("RING"));
    EXPECT_EQ(called.State(), ModemState::kRinging);
    EXPECT_EQ(dte.Await(16, 10000), Verbose("CONNECT 2400"));
    EXPECT_EQ(far.Await(16, 10000), Verbose("CONNECT 2400"));

    std::string heard;
    std::thread reader([&] { heard = far.Await(4, 0); });  // blocked until the bytes come
    dte.Write("ping");
    reader.join();
    EXPECT_EQ(heard, "ping");
    far.Write("pong");
    EXPECT_EQ(dte.Pending(), "pong");

    ASSERT_TRUE(far.device()->Escape(platform::kClrDtr));  // &D2: hangs up
    EXPECT_EQ(far.Pending(), Verbose("NO CARRIER"));
    EXPECT_EQ(dte.Pending(), Verbose("NO CARRIER"));
    EXPECT_FALSE(dte.Dcd());
    EXPECT_FALSE(far.Dcd());
}

TEST_F(SimCall, GivesUpAfterS7WhenTheCalledModemDoesNotAnswer) {
    sim::Modem& called = world.AddModem("COM5", "203");  // S0=0: never answers
    dte.Type("ATS7=3\r");
    uint64_t dialled = platform::MonotonicNs();
    dte.Type("ATDT203\r");
    EXPECT_EQ(called.State(), ModemState::kRinging);
    EXPECT_EQ(dte.Await(14, 100000), Verbose("NO CARRIER"));
    EXPECT_GE(platform::MonotonicNs() - dialled, platform::ScaledNs(3000));
    EXPECT_EQ(called.State(), ModemState::kCommand);
}

TEST_F(SimCall, ReadWaitsForDelayedRepliesWithinItsTimeOut) {
    station.SetReply("\x10", "\x68\x11");
    // The reply comes long after the first read's time-out, so that a reader that is scheduled
    // late still times out first.
    station.SetReplyDelay(20000);
    ConnectToStation();

    uint64_t asked = platform::MonotonicNs();
    dte.Write("\x10");
    EXPECT_EQ(dte.Await(2, 1000), "");  // times out first: success with no byte
    EXPECT_GE(platform::MonotonicNs() - asked, platform::ScaledNs(1000));
    EXPECT_EQ(dte.Await(2, 0), "\x68\x11");  // no limit: returns once both bytes are there
    EXPECT_GE(platform::MonotonicNs() - asked, platform::ScaledNs(20000));
}

TEST_F(SimCall, StationAnswersRequestsFromItsTable) {
    const std::string modbus("\x01\x03\x00\x00", 4);
    station.SetReply(modbus, std::string("\x01\x03\x02\x00\x11", 5));
    station.SetReply("ID?", "ST=017");
    ConnectToStation();

    EXPECT_EQ(dte.Type(modbus), std::string("\x01\x03\x02\x00\x11", 5));
    EXPECT_EQ(dte.Type("ID"), "");  // a request in pieces is answered when complete
    EXPECT_EQ(dte.Type("?"), "ST=017");
    EXPECT_EQ(dte.Type("other"), "");  // nothing configured for it
    station.SetReplyToAny("any");
    EXPECT_EQ(dte.Type("other"), "any");
    EXPECT_EQ(dte.Type("ID?"), "ST=017");  // the table first
    EXPECT_EQ(station.Received(), modbus + "ID?otherotherID?");
}

}  // namespace
