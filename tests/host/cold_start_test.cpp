// Cold start and the parameter change through VpiMain, from an initialisation file in a
// directory of the test's own, on the simulated modem bank.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "korva/korva.h"
#include "support/supervision_fixture.h"
#include "support/temporary_directory.h"

namespace {

using namespace std::string_literals;

const std::string kReset = "ATE1V1Q0S0=0S11=55&C1&D2";

// COM1 dials, COM3 dials and answers, COM4 answers; COM12 is defined but has no modem. Station
// MOD 17 of VPI 3 is identified by a one-byte address.
constexpr const char* kPoolFile =
    "AA_GETPLCADDR_TIMEOUT= 2000\n"
    "COM 1 = O 2400 , N , 8 , 1\n"
    "COM 3 = IO 2400 , N , 8 , 1\n"
    "COM 4 = I 2400 , N , 8 , 1\n"
    "COM 12 = I 2400 , N , 8 , 1\n"
    "ALARMSEQ 1 = MOD\n"
    "ALARMREQ = MOD 0103 4 B 2\n"
    "STATION = MOD 3 17\n";

class ColdStartTest : public SupervisionTest {
  protected:
    void SetUp() override {
        SupervisionTest::SetUp();
        directory_ = TemporaryDirectory("korva_cold_start_");
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(directory_);
    }

    void TearDown() override {
        SupervisionTest::TearDown();
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(directory_);
    }

    static void WriteFile(const std::string& text) { std::ofstream("KORVA03.INT") << text; }

    // VPI function 1 for VPI 3 with the service flag.
    int32_t ColdStart(uint32_t service) {
        KorvaColdStart block{};
        block.service = service;
        KorvaRequest request{};
        request.function = KORVA_FN_COLD_START;
        request.vpi = 3;
        request.block = &block;
        const int32_t result = VpiMain(&request);
        if (result == 0 && service != 0) SupervisionStarted();
        return result;
    }

    // VPI function 15 with the parameter string.
    static int32_t ChangeParams(const char* parameter) {
        KorvaRequest request{};
        request.function = KORVA_FN_CHANGE_PARAMS;
        request.block = const_cast<char*>(parameter);
        return VpiMain(&request);
    }

    // The pool of kPoolFile, started.
    void StartPool() {
        com1 = &world.AddModem("COM1", "");
        com3 = &world.AddModem("COM3", "201");
        com4 = &world.AddModem("COM4", "202");
        station = &world.AddStation("555");
        station->SetReply("\x01\x03"s, "\x68\x11\x00\x16"s);
        gate = ZunHostDefineGate(3, "$A03-017");
        WriteFile(kPoolFile);
        ASSERT_EQ(ColdStart(1), 0);
    }

    // Station 555 calls `number`; true when the call reached the gate as `writes` writes.
    bool CallIsHandedOver(const char* number, unsigned writes) {
        if (!station->Call(number)) return false;
        unsigned done = 0;
        RunCyclesUntil(
            [&] {
                ZunHostGateValue(gate, nullptr, &done);
                return done == writes;
            },
            20);
        return done == writes;
    }

    static bool Open(unsigned com) { return Ports[com - 1].device.load() != nullptr; }

    // The lines of the log that contain `text`.
    static std::vector<std::string> LinesWith(const std::string& text) {
        std::vector<std::string> lines;
        for (const std::string& line : CapturedTexts())
            if (line.find(text) != std::string::npos) lines.push_back(line);
        return lines;
    }

    sim::Modem* com1 = nullptr;
    sim::Modem* com3 = nullptr;
    sim::Modem* com4 = nullptr;
    sim::Station* station = nullptr;
    uint32_t gate = 0;

  private:
    std::filesystem::path directory_;
    std::filesystem::path previous_;
};

TEST_F(ColdStartTest, BringsThePoolIntoService) {
    StartPool();
    const auto log = CapturedLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0],
              (LogLine{64, "KORVA> ColdStart() version compiled on Mar 28 2007 at time 12:12:03"}));
    EXPECT_EQ(LinesWith("Hanging Up"), (std::vector<std::string>{
                                           "KORVA> Hanging Up COM1 modem on startup",
                                           "KORVA> Hanging Up COM3 modem on startup",
                                           "KORVA> Hanging Up COM4 modem on startup",
                                       }));
    EXPECT_TRUE(LogContains("KORVA> InitPortsAndModems() Error: opening //./COM12"));
    EXPECT_TRUE(LinesWith("Warning").empty());

    for (unsigned com : {1u, 3u, 4u}) {
        EXPECT_TRUE(Open(com)) << com;
        EXPECT_TRUE(HasFlag(com, kOPN)) << com;
    }
    EXPECT_FALSE(Open(12));
    EXPECT_FALSE(HasFlag(12, kOPN));
    EXPECT_TRUE(HasFlag(12, kDEF));
    // A dial-only modem gets no auto-answer command.
    const std::vector<std::string> dialling = {"ATH0", "AT", kReset};
    const std::vector<std::string> answering = {"ATH0", "AT", kReset, "ATS0=1"};
    EXPECT_EQ(com1->Commands(), dialling);
    EXPECT_EQ(com3->Commands(), answering);
    EXPECT_EQ(com4->Commands(), answering);

    EXPECT_EQ(Settings.ready.load(), 1u);
    EXPECT_TRUE(ZunHostClientRegistered());
    // The supervision runs and answers calls with what the file configured.
    EXPECT_TRUE(CallIsHandedOver("202", 1));
    EXPECT_EQ(Connections[0].port, 3);
}

TEST_F(ColdStartTest, SecondColdStartIsRefused) {
    StartPool();
    const auto commands = com3->Commands();
    ZunHostClearLog();
    EXPECT_EQ(ColdStart(1), 1);
    EXPECT_EQ(CapturedLog(),
              (std::vector<LogLine>{
                  {64, "KORVA> ColdStart() version compiled on Mar 28 2007 at time 12:12:03"},
                  {32, "KORVA> ColdStart() KORVA can only be loaded ONCE!"}}));
    EXPECT_EQ(com3->Commands(), commands);
    EXPECT_TRUE(Open(3));
    EXPECT_EQ(Settings.ready.load(), 1u);
}

TEST_F(ColdStartTest, PortsNulOpensNoPortButStartsTheTask) {
    sim::Modem& modem = world.AddModem("COM3", "201");
    WriteFile("PORTS = NUL\nCOM 3 = IO 2400 , N , 8 , 1\n");
    ASSERT_EQ(ColdStart(1), 0);
    EXPECT_FALSE(Open(3));
    EXPECT_FALSE(HasFlag(3, kOPN));
    EXPECT_FALSE(modem.DeviceOpen());
    EXPECT_TRUE(ZunHostClientRegistered());
    EXPECT_EQ(Settings.ready.load(), 1u);
    RunCycles(1);  // the supervision thread takes its cycles
}

TEST_F(ColdStartTest, ServiceFlagZeroOpensNothingAndStartsNoTask) {
    sim::Modem& modem = world.AddModem("COM3", "201");
    WriteFile("COM 3 = IO 2400 , N , 8 , 1\n");
    ASSERT_EQ(ColdStart(0), 0);
    EXPECT_FALSE(Open(3));
    EXPECT_FALSE(modem.DeviceOpen());
    EXPECT_TRUE(ZunHostClientRegistered());
    EXPECT_EQ(Settings.ready.load(), 1u);
    EXPECT_EQ(ZunHostWaitCount(), 0u);
}

TEST_F(ColdStartTest, RefusedRegistrationLeavesTheDriverOutOfService) {
    sim::Modem& modem = world.AddModem("COM3", "201");
    WriteFile("COM 3 = IO 2400 , N , 8 , 1\n");
    ZunHostFailMkClient(9);
    EXPECT_EQ(ColdStart(1), 2);
    EXPECT_TRUE(LogContains("Korva> ColdStart() Zun5MkClient() failed"));
    EXPECT_EQ(Settings.ready.load(), 0u);
    EXPECT_EQ(KORVA_Send(0, "x", 1), KORVA_STATUS_NOT_READY);
    EXPECT_TRUE(modem.DeviceOpen());    // the ports stay open
    EXPECT_EQ(ZunHostWaitCount(), 0u);  // no thread the host could not pace

    ZunHostFailMkClient(0);
    ZunHostClearLog();
    EXPECT_EQ(ColdStart(1), 1);
    EXPECT_TRUE(LogContains("KORVA> ColdStart() KORVA can only be loaded ONCE!"));
    EXPECT_EQ(Settings.ready.load(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Modem initialisation outcomes.

struct InitCase {
    const char* name;
    sim::Fault fault;
    uint32_t after;
    uint32_t times;
    std::vector<std::string> commands;
    std::vector<std::string> warnings;
};

void PrintTo(const InitCase& c, std::ostream* out) {
    *out << c.name;
}

const InitCase kInitCases[] = {
    // "+++" and "ATH0" are written first; the third write, the first "AT", fails.
    {"SecondAtAnswered", sim::Fault::kWriteFails, 2, 1, {"ATH0", "AT", kReset, "ATS0=1"}, {}},
    {"SilentModem",
     sim::Fault::kSilent,
     0,
     0,
     {},
     {"KORVA> InitPortsAndModems() Warning: modem COM3 not responding!"}},
};

class ModemInitTest : public ColdStartTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(ModemInitTest, Outcome) {
    const InitCase& c = GetParam();
    sim::Modem& modem = world.AddModem("COM3", "201");
    modem.SetFault(c.fault, c.after, c.times);
    WriteFile("COM 3 = IO 2400 , N , 8 , 1\n");
    ASSERT_EQ(ColdStart(1), 0);
    EXPECT_EQ(modem.Commands(), c.commands);
    EXPECT_EQ(LinesWith("Warning"), c.warnings);
    // The port stays open and in the pool either way.
    EXPECT_TRUE(Open(3));
    EXPECT_TRUE(HasFlag(3, kOPN));
}

INSTANTIATE_TEST_SUITE_P(Cases, ModemInitTest, ::testing::ValuesIn(kInitCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The parameter change.

TEST_F(ColdStartTest, OtherParametersChangeNothing) {
    StartPool();
    platform::SerialDevice* device = Ports[2].device;
    const auto commands = com3->Commands();
    ZunHostClearLog();
    for (const char* parameter : {"nul", "Nul", "com1", "", "NULL", " COM"})
        EXPECT_EQ(ChangeParams(parameter), 0) << parameter;
    EXPECT_TRUE(CapturedLog().empty());
    EXPECT_EQ(Ports[2].device.load(), device);
    EXPECT_EQ(com3->Commands(), commands);
}

TEST_F(ColdStartTest, NulTakesEveryPortOutOfService) {
    StartPool();
    ASSERT_TRUE(CallIsHandedOver("201", 1));
    ASSERT_EQ(Connections[0].port, 2);
    ZunHostClearLog();

    EXPECT_EQ(ChangeParams("NUL"), 0);
    EXPECT_EQ(CapturedLog(),
              (std::vector<LogLine>{
                  {32, "KORVA: ChangeVpiParams() Changing modem statuses to 'Disconnected' "},
                  {32, "KORVA: ChangeVpiParams() closing ALL open COMM Ports "},
                  {32, "KORVA: MMCloseCom() COM1 closed successfully"},
                  {32, "KORVA: MMCloseCom() COM3 closed successfully"},
                  {32, "KORVA: MMCloseCom() COM4 closed successfully"}}));
    // The connection stays the client's, without a line; the port forgets it.
    EXPECT_EQ(Connections[0].flags, kConnUsed | kConnIncoming);
    EXPECT_EQ(Connections[0].port, kNoPort);
    EXPECT_FALSE(HasFlag(3, kCON));
    EXPECT_EQ(Ports[2].connectionRef, kNoReference);
    for (unsigned com : {1u, 3u, 4u}) {
        EXPECT_FALSE(Open(com)) << com;
        EXPECT_TRUE(HasFlag(com, kOPN)) << com;  // OPN is never cleared
    }
    EXPECT_FALSE(com3->DeviceOpen());
    EXPECT_EQ(KORVA_Send(0, "x", 1), KORVA_STATUS_NOT_CONNECTED);

    // The supervision passes over closed ports.
    ZunHostClearLog();
    RunCycles(2);
    EXPECT_TRUE(CapturedLog().empty());
    EXPECT_EQ(KORVA_Disconnect(0), KORVA_STATUS_OK);
    EXPECT_EQ(Connections[0].flags, 0u);
}

TEST_F(ColdStartTest, ComReinitialisesEveryPort) {
    StartPool();
    ASSERT_EQ(ChangeParams("NUL"), 0);
    ZunHostClearLog();

    // Whatever follows "COM" does not matter, however long it is.
    const std::string longParameter = "COM" + std::string(40, '7');
    EXPECT_EQ(ChangeParams(longParameter.c_str()), 0);
    auto texts = CapturedTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], "KORVA: ChangeVpiParams() Re-initializing all COM Ports and modems...");
    EXPECT_EQ(LinesWith("Hanging Up").size(), 3u);
    EXPECT_TRUE(LogContains("KORVA> InitPortsAndModems() Error: opening //./COM12"));
    for (unsigned com : {1u, 3u, 4u})
        EXPECT_TRUE(Open(com)) << com;
    EXPECT_EQ(CountCommand(*com3, "AT"), 2);

    // The supervision works on the reopened ports.
    ASSERT_TRUE(CallIsHandedOver("201", 1));

    // Ports still open are closed first and opened again; the line on COM3 is gone with it.
    ZunHostClearLog();
    EXPECT_EQ(ChangeParams("COM"), 0);
    EXPECT_EQ(LinesWith("COM3"), (std::vector<std::string>{
                                     "KORVA: MMCloseCom() COM3 closed successfully",
                                     "KORVA> Hanging Up COM3 modem on startup",
                                 }));
    for (unsigned com : {1u, 3u, 4u})
        EXPECT_TRUE(Open(com)) << com;
    EXPECT_EQ(CountCommand(*com3, "AT"), 3);
    EXPECT_EQ(CountCommand(*com3, "ATS0=1"), 3);

    // The supervision finds the line without its carrier and ends it for the client.
    RunCycles(1);
    EXPECT_FALSE(HasFlag(3, kCON));
    EXPECT_EQ(Connections[0].flags, kConnUsed | kConnIncoming);
    EXPECT_EQ(KORVA_Send(0, "x", 1), KORVA_STATUS_NOT_CONNECTED);
}

TEST_F(ColdStartTest, PortThatCannotBeClosedStopsTheNul) {
    StartPool();
    com3->SetFault(sim::Fault::kCloseFails);
    EXPECT_EQ(ChangeParams("NUL"), 2);
    EXPECT_TRUE(LogContains("KORVA: MMCloseCom() failed to close COM3 !"));
    EXPECT_FALSE(Open(1));
    EXPECT_TRUE(Open(3));
    EXPECT_TRUE(Open(4));  // later ports stay open
    com3->ClearFault(sim::Fault::kCloseFails);
}

}  // namespace
