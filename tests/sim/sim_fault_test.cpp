// Faults injected into a simulated modem and its serial device, and the device's own rules.
#include <gtest/gtest.h>

#include <functional>

#include "sim_support.h"

namespace {

using sim::Fault;
using SimFault = SimTest;

TEST_F(SimFault, PoweredOffModemShowsNoLinesAndAnswersNothing) {
    dte.Type("ATS0=1E0\r");
    modem.SetFault(Fault::kPoweredOff);
    EXPECT_EQ(dte.Status(), 0u);
    EXPECT_EQ(dte.Type("AT\r"), "");
    ASSERT_TRUE(station.Call("201"));  // the line rings, nobody answers
    EXPECT_EQ(dte.Await(1, 5000), "");
    EXPECT_EQ(dte.Status(), 0u);
    EXPECT_FALSE(station.Connected());
    station.HangUp();

    modem.ClearFault(Fault::kPoweredOff);  // powered on: factory profile
    EXPECT_EQ(modem.Register(0), 0);
    EXPECT_EQ(dte.Status(), platform::kMsCtsOn | platform::kMsDsrOn);
    EXPECT_EQ(dte.Type("AT\r"), "AT\r" + Verbose("OK"));
}

TEST_F(SimFault, PowerLossEndsTheCall) {
    ConnectToStation();
    modem.SetFault(Fault::kPoweredOff);
    EXPECT_FALSE(station.Connected());
    EXPECT_FALSE(modem.OffHook());
}

TEST_F(SimFault, ModemFaultsChangeItsAnswers) {
    struct Case {
        Fault fault;
        std::string answer;  // to "AT\r"
        uint32_t status;
    };
    const uint32_t lines = platform::kMsCtsOn | platform::kMsDsrOn;
    const Case cases[] = {
        {Fault::kSilent, "", lines},
        {Fault::kGarbled, "AT\r\r\n\xcf\xcb\r\n", lines},
        {Fault::kErrorReplies, "AT\r" + Verbose("ERROR"), lines},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        modem.SetFault(c.fault);
        EXPECT_EQ(dte.Type("AT\r"), c.answer);
        EXPECT_EQ(dte.Status(), c.status);
        modem.ClearFault(c.fault);
        EXPECT_EQ(dte.Type("AT\r"), "AT\r" + Verbose("OK"));
    }
}

TEST_F(SimFault, SilentModemStillTakesCalls) {
    dte.Type("ATS0=1\r");
    modem.SetFault(Fault::kSilent);
    ASSERT_TRUE(station.Call("201"));
    EXPECT_EQ(dte.Await(1, 5000), "");  // neither RING nor CONNECT
    EXPECT_TRUE(dte.Dcd());
    EXPECT_TRUE(station.Connected());
}

TEST_F(SimFault, NoDialToneAndCarrierDrop) {
    modem.SetFault(Fault::kNoDialTone);
    dte.Type("ATDT555\r");
    EXPECT_EQ(dte.Await(15, 10000), Verbose("NO DIALTONE"));
    EXPECT_FALSE(station.Connected());
    modem.ClearFault(Fault::kNoDialTone);

    ConnectToStation();
    modem.DropCarrier();
    EXPECT_EQ(dte.Pending(), Verbose("NO CARRIER"));
    EXPECT_FALSE(dte.Dcd());
    EXPECT_FALSE(station.Connected());
    EXPECT_EQ(modem.State(), sim::ModemState::kCommand);
}

TEST_F(SimFault, DeviceCallsFailAfterTheirCount) {
    platform::SerialDevice* device = dte.device();
    struct Case {
        Fault fault;
        std::function<bool()> call;
    };
    platform::Dcb dcb;
    platform::CommTimeouts timeouts;
    timeouts.readTotalTimeoutConstant = 10;
    uint32_t count = 0;
    char byte = 0;
    const Case cases[] = {
        {Fault::kGetStateFails, [&] { return device->GetState(dcb); }},
        {Fault::kSetStateFails, [&] { return device->SetState(dcb); }},
        {Fault::kGetTimeoutsFails, [&] { return device->GetTimeouts(timeouts); }},
        {Fault::kSetTimeoutsFails, [&] { return device->SetTimeouts(timeouts); }},
        {Fault::kReadFails, [&] { return device->Read(&byte, 1, &count); }},
        {Fault::kWriteFails, [&] { return device->Write("A", 1, &count); }},
        {Fault::kClearErrorFails, [&] { return device->ClearError(&count); }},
        {Fault::kStatusFails, [&] { return device->GetModemStatus(&count); }},
        {Fault::kEscapeFails, [&] { return device->Escape(platform::kSetDtr); }},
    };
    ASSERT_TRUE(device->SetTimeouts(timeouts));
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        modem.SetFault(c.fault, 2);
        EXPECT_TRUE(c.call());
        EXPECT_TRUE(c.call());
        EXPECT_FALSE(c.call());
        EXPECT_FALSE(c.call());  // and from then on
        modem.ClearFault(c.fault);
        EXPECT_TRUE(c.call());
        modem.SetFault(c.fault, 1, 2);  // one success, then two failures, then well again
        EXPECT_TRUE(c.call());
        EXPECT_FALSE(c.call());
        EXPECT_FALSE(c.call());
        EXPECT_TRUE(c.call());
    }
}

TEST_F(SimFault, ShortWriteTakesHalf) {
    modem.SetFault(Fault::kShortWrite);
    uint32_t written = 0;
    ASSERT_TRUE(dte.device()->Write("AT\r\r", 4, &written));
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(dte.Pending(), "AT");  // the rest never reached the modem
}

TEST_F(SimFault, OpenIsExclusiveAndCloseFreesTheDevice) {
    EXPECT_EQ(platform::SerialOpen("COM3"), nullptr);        // open already
    EXPECT_EQ(platform::SerialOpen("//./COM3"), nullptr);    // the same device
    EXPECT_EQ(platform::SerialOpen("COM9"), nullptr);        // no modem there
    EXPECT_EQ(platform::SerialOpen("/dev/ttyS0"), nullptr);  // never a real device

    modem.SetFault(Fault::kCloseFails);
    EXPECT_FALSE(dte.device()->Close());
    EXPECT_TRUE(modem.DeviceOpen());
    modem.ClearFault(Fault::kCloseFails);
    platform::SerialDevice* old = dte.device();
    ASSERT_TRUE(old->Close());
    EXPECT_FALSE(modem.DeviceOpen());
    uint32_t status = 0;
    EXPECT_FALSE(old->GetModemStatus(&status));  // a closed handle is dead

    modem.SetFault(Fault::kOpenFails, 1);
    platform::SerialDevice* again = platform::SerialOpen("COM3");
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(again->Close());
    EXPECT_EQ(platform::SerialOpen("COM3"), nullptr);  // the second open fails
    modem.ClearFault(Fault::kOpenFails);
    again = platform::SerialOpen("COM3");
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->Close());
}

}  // namespace
