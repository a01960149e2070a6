// Dialling out on the simulated pool: the choice of a modem, the dialogue, the carrier poll and
// the statuses a client gets back.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "korva/korva.h"
#include "pool/mutex_holder.h"
#include "pool/pool.h"
#include "supervision/supervision.h"
#include "support/pool_fixture.h"

namespace {

using sim::Fault;
using Clock = std::chrono::steady_clock;

constexpr const char* kGlobalReset = "ATE1V1Q0S0=0S11=55&C1&D2";
constexpr const char* kDsrFailed =
    "KORVA: Connect() Failed. DSR Signal is down (Modem not on line)";
constexpr const char* kCtsFailed = "KORVA: Connect() Failed. CTS Signal is down";

// A dial whose NO CARRIER comes after the dial command's own reply read (the dial time-out) and
// well before the signal poll ends (twice the dial time-out), so only the scan after the poll
// can see it.
constexpr uint16_t kNoCarrierDialSeconds = 10;
constexpr uint32_t kNoCarrierAfterMs = 19000;

class DialTest : public PoolTest {
  protected:
    int32_t Connect(uint16_t entry, uint16_t* reference, int32_t connectTimeout = 500) {
        return KORVA_Connect(entry, connectTimeout, reference);
    }
    // A number that nobody answers before the dial has long been given up.
    void Unanswered(const char* number) {
        world.SetOutcome(number, sim::Outcome::kNoAnswer, 3600 * 1000);
    }
    void NoCarrierDuringPoll(const char* number) {
        world.SetOutcome(number, sim::Outcome::kNoCarrier, kNoCarrierAfterMs);
    }
    // The port is back in the pool and its modem on-hook.
    void ExpectReleased(uint8_t index) {
        SCOPED_TRACE(testing::Message() << "COM" << index + 1);
        EXPECT_EQ(DynamicFlags(index), 0u);
        EXPECT_FALSE(ModemOf(index).OffHook());
    }
};

TEST_F(DialTest, RefusesBadEntriesAndAnUnreadyDriverWithoutTouchingAModem) {
    sim::Modem& dialOnly = AddPort(0, Direction::kOut);
    sim::Modem& both = AddPort(1, Direction::kInOut);
    AddDialEntry(1, "ATDT555", 10);
    world.AddStation("555");
    OpenPorts();
    const size_t dialOnlyCommands = dialOnly.Commands().size();
    const size_t bothCommands = both.Commands().size();

    struct Case {
        const char* name;
        uint16_t entry;
        uint32_t ready;
        uint32_t stop;
        int32_t status;
    };
    const Case cases[] = {
        {"entry 0", 0, 1, 0, KORVA_STATUS_BAD_DIAL_ENTRY},
        {"entry 257", 257, 1, 0, KORVA_STATUS_BAD_DIAL_ENTRY},
        {"undefined entry", 2, 1, 0, KORVA_STATUS_BAD_DIAL_ENTRY},
        {"not ready", 1, 0, 0, KORVA_STATUS_NOT_READY},
        {"not ready, bad entry", 0, 0, 0, KORVA_STATUS_NOT_READY},
        {"stopped", 1, 1, 1, KORVA_STATUS_STOPPED},
        {"stopped, bad entry", 257, 1, 1, KORVA_STATUS_STOPPED},
        {"not ready and stopped", 1, 0, 1, KORVA_STATUS_NOT_READY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Settings.ready = c.ready;
        StopFlag = c.stop;
        uint16_t reference = 0xBEEF;
        EXPECT_EQ(Connect(c.entry, &reference), c.status);
        EXPECT_EQ(reference, 0xBEEF);
    }
    // A call with nowhere to put the reference is refused before any modem is touched.
    Settings.ready = 1;
    StopFlag = 0;
    EXPECT_EQ(KORVA_Connect(1, 500, nullptr), KORVA_STATUS_BAD_REFERENCE);
    EXPECT_EQ(dialOnly.Commands().size(), dialOnlyCommands);
    EXPECT_EQ(both.Commands().size(), bothCommands);
    EXPECT_EQ(DynamicFlags(0) | DynamicFlags(1), 0u);
    EXPECT_TRUE(CapturedLog().empty());
}

TEST_F(DialTest, ConnectsAndHandsTheLineOver) {
    AddPort(0, Direction::kOut);
    AddDialEntry(1, "ATDT555", 10);
    sim::Station& station = world.AddStation("555");
    OpenPorts();
    Settings.diagnose = 1;
    const uint32_t before = platform::ClockSeconds();
    uint16_t reference = 0xBEEF;
    ASSERT_EQ(Connect(1, &reference, 500), KORVA_STATUS_OK);
    const uint32_t after = platform::ClockSeconds();

    ASSERT_LT(reference, kNoReference);
    EXPECT_EQ(Connections[reference].flags.load(), 0x0Du);
    EXPECT_EQ(Connections[reference].port.load(), 0);
    EXPECT_EQ(DynamicFlags(0), uint32_t{kCON});
    EXPECT_EQ(Ports[0].connectionRef.load(), reference);
    EXPECT_GE(Ports[0].connectTime.load(), before);
    EXPECT_LE(Ports[0].connectTime.load(), after);
    EXPECT_EQ(ReadTimeoutMs(0), 5000u);
    EXPECT_TRUE(station.Connected());
    EXPECT_EQ(CapturedTexts(),
              (std::vector<std::string>{
                  "KORVA> Connect() modem COM1  connected!",
                  "KORVA> Connect() Setting modem COM1 connect Timeout to 5000 mSec",
                  "KORVA> Connect() cr " + std::to_string(reference) + " COM1"}));
}

// The connect time-out is the line's read time-out: 0 is "no limit"; one whose milliseconds do
// not fit the device is not set, and the call still connects.
TEST_F(DialTest, ConnectTimeOutsOfAnySize) {
    AddPort(0, Direction::kOut);
    AddDialEntry(1, "ATDT555", 10);
    world.AddStation("555");
    OpenPorts();
    uint16_t reference = kNoReference;
    ASSERT_EQ(Connect(1, &reference, 0), KORVA_STATUS_OK);
    EXPECT_EQ(ReadTimeoutMs(0), 0u);
    EXPECT_EQ(LogCount("KORVA> Connect() Setting modem COM1 connect Timeout to 0 mSec"), 1u);
    ASSERT_EQ(KORVA_Disconnect(reference), KORVA_STATUS_OK);
    ASSERT_EQ(Connect(1, &reference, INT32_MAX), KORVA_STATUS_OK);
    EXPECT_EQ(DynamicFlags(0), uint32_t{kCON});
}

TEST_F(DialTest, TriesDialOnlyModemsFirstThenTheAnsweringOnes) {
    AddPort(0, Direction::kInOut);
    AddPort(1, Direction::kOut);
    AddPort(2, Direction::kInOut);
    AddPort(3, Direction::kOut);
    AddDialEntry(1, "ATDT666", kNoCarrierDialSeconds);
    NoCarrierDuringPoll("666");
    OpenPorts();

    uint16_t reference = 0xBEEF;
    EXPECT_EQ(Connect(1, &reference), KORVA_STATUS_NO_MODEM);
    EXPECT_EQ(reference, 0xBEEF);
    EXPECT_EQ(CapturedTexts(),
              (std::vector<std::string>{"KORVA: MM_Connect() NO CARRIER detected for modem COM2",
                                        "KORVA: MM_Connect() NO CARRIER detected for modem COM4",
                                        "KORVA: MM_Connect() NO CARRIER detected for modem COM1",
                                        "KORVA: MM_Connect() NO CARRIER detected for modem COM3"}));
    for (uint8_t i = 0; i < 4; ++i)
        ExpectReleased(i);
    // The answering modems are back in auto-answer; the dial-only ones were left after the dial.
    EXPECT_EQ(ModemOf(0).Commands().back(), "ATS0=1");
    EXPECT_EQ(ModemOf(2).Commands().back(), "ATS0=1");
    EXPECT_EQ(ModemOf(1).Commands().back(), "ATDT666");
    EXPECT_EQ(ModemOf(3).Commands().back(), "ATDT666");
}

// The choice of GetFreeModem as KORVA_Connect drives it: after each port the search goes on
// past it, until no port is left.
TEST_F(DialTest, ChoosesOnlyFreePortsThatServeTheEntrysVpi) {
    AddPort(0, Direction::kOut, 3);
    AddPort(1, Direction::kOut, 5);
    AddPort(2, Direction::kOut, 0);
    AddPort(3, Direction::kInOut, 5);
    AddPort(4, Direction::kInOut, 0);
    AddPort(5, Direction::kIn, 0);
    OpenPorts();

    struct Case {
        const char* name;
        uint16_t vpi;
        std::function<void()> arrange;
        std::vector<uint8_t> chosen;
    };
    const Case cases[] = {
        {"VPI 5", 5, [] {}, {1, 2, 3, 4}},
        {"VPI 3", 3, [] {}, {0, 2, 4}},
        {"no VPI", 0, [] {}, {2, 4}},
        {"VPI 7", 7, [] {}, {2, 4}},
        {"ringing", 0, [] { Ports[2].ringCountdown = 12; }, {4}},
        {"connected", 5, [] { Ports[1].flags.fetch_or(kCON); }, {2, 3, 4}},
        {"reserved", 5, [] { Ports[3].flags.fetch_or(kRSV); }, {1, 2, 4}},
        {"not open", 3, [] { ASSERT_EQ(MMCloseCom(0), 0); }, {2, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        const std::vector<uint32_t> flagsBefore = [] {
            std::vector<uint32_t> flags;
            for (uint8_t i = 0; i < 6; ++i)
                flags.push_back(Ports[i].flags);
            return flags;
        }();
        std::vector<uint8_t> chosen;
        uint8_t start = 0;
        while (GetFreeModem(&start, c.vpi) == 0) {
            chosen.push_back(start);
            EXPECT_EQ(Ports[start].flags & kRSV, uint32_t{kRSV});
            start = static_cast<uint8_t>(start + 1);
        }
        EXPECT_EQ(chosen, c.chosen);
        EXPECT_EQ(start, chosen.empty() ? 0 : chosen.back() + 1);  // left as it was on 11
        for (uint8_t i = 0; i < 6; ++i) {
            Ports[i].flags = flagsBefore[i];  // give the chosen ones back
        }
        Ports[1].flags.fetch_and(~kCON);
        Ports[3].flags.fetch_and(~kRSV);
        Ports[2].ringCountdown = 0;
    }
}

TEST_F(DialTest, PassesOverModemsThatFailTheDialogue) {
    sim::Modem& silent = AddPort(0, Direction::kOut);
    sim::Modem& badReset = AddPort(1, Direction::kOut);
    sim::Modem& lateAnswer = AddPort(2, Direction::kOut);
    const char* ownReset = "ATE1V1Q0S0=0S11=60&C1&D2";
    AddDialEntry(1, "ATDT555", 10, 0, ownReset);
    sim::Station& station = world.AddStation("555");
    OpenPorts();
    Settings.diagnose = 1;
    const size_t badResetCommands = badReset.Commands().size();
    const size_t lateAnswerCommands = lateAnswer.Commands().size();
    silent.SetFault(Fault::kSilent);
    // Each attempt writes "+++" and "ATH0" to hang up first: COM2 then loses its reset command,
    // COM3 its first "AT".
    badReset.SetFault(Fault::kWriteFails, 3, 1);
    lateAnswer.SetFault(Fault::kWriteFails, 2, 1);

    uint16_t reference = 0xBEEF;
    ASSERT_EQ(Connect(1, &reference), KORVA_STATUS_OK);
    EXPECT_EQ(Connections[reference].port.load(), 2);
    EXPECT_TRUE(station.Connected());
    EXPECT_EQ(LogCount("KORVA> Connect() modem COM1 not responding"), 1u);
    EXPECT_EQ(LogCount("KORVA> Connect() error resetting modem COM2"), 1u);
    EXPECT_EQ(LogCount("KORVA> Connect() modem COM3 not responding"), 0u);
    EXPECT_EQ(CommandsSince(badReset, badResetCommands), (std::vector<std::string>{"ATH0", "AT"}));
    // The entry's own reset command, not the global one.
    EXPECT_EQ(CommandsSince(lateAnswer, lateAnswerCommands),
              (std::vector<std::string>{"ATH0", "AT", ownReset, "ATDT555"}));
    EXPECT_EQ(DynamicFlags(0), 0u);
    EXPECT_EQ(DynamicFlags(1), 0u);
}

TEST_F(DialTest, NoCarrierWithinTheDialTimeOutHangsUp) {
    AddPort(0, Direction::kOut);
    Unanswered("777");
    OpenPorts();
    sim::Modem& modem = ModemOf(0);

    // The poll is counted with the status read: once `allowed` reads have succeeded, every
    // further one fails and shows DSR down (and ends the poll). A dial time-out of 0 is taken
    // as one second.
    struct Case {
        uint16_t timeout;
        uint32_t polls;
    };
    for (const Case c : {Case{3, 3}, Case{0, 1}}) {
        for (uint32_t allowed : {c.polls, c.polls - 1}) {
            SCOPED_TRACE(testing::Message()
                         << "time-out " << c.timeout << ", " << allowed << " status reads allowed");
            AddDialEntry(1, "ATDT777", c.timeout);
            ZunHostClearLog();
            modem.SetFault(Fault::kStatusFails, allowed, 0);
            const size_t dtrChanges = DtrChanges(0);
            const auto start = Clock::now();
            uint16_t reference = 0xBEEF;
            EXPECT_EQ(Connect(1, &reference), KORVA_STATUS_NO_CARRIER);
            EXPECT_GE(Clock::now() - start,
                      std::chrono::nanoseconds(platform::ScaledNs(uint64_t{c.polls} * 1000)));
            modem.ClearFault(Fault::kStatusFails);
            EXPECT_EQ(LogCount(kDsrFailed), allowed == c.polls ? 0u : 1u);
            EXPECT_EQ(reference, 0xBEEF);
            ExpectReleased(0);
            // Hung up before the dial and again after it.
            EXPECT_EQ(DtrDropsSince(0, dtrChanges), 2u);
            EXPECT_TRUE(modem.Dtr());
        }
    }
}

TEST_F(DialTest, LowDsrEndsThePollAtOnceUnlessIgnored) {
    AddPort(0, Direction::kOut);
    Unanswered("777");
    AddDialEntry(1, "ATDT777", 10);
    OpenPorts();
    // A status that cannot be read shows every input signal off.
    ModemOf(0).SetFault(Fault::kStatusFails);

    uint16_t reference = 0xBEEF;
    EXPECT_EQ(Connect(1, &reference), KORVA_STATUS_NO_CARRIER);
    // One poll only: the next would have logged again.
    EXPECT_EQ(LogCount(kDsrFailed), 1u);
    EXPECT_EQ(LogCount(kCtsFailed), 1u);
    ExpectReleased(0);
}

TEST_F(DialTest, IgnoredLowSignalsAreNotedOncePerCall) {
    AddPort(0, Direction::kOut);
    AddPort(1, Direction::kOut);
    AddDialEntry(1, "ATDT666", kNoCarrierDialSeconds);
    NoCarrierDuringPoll("666");
    OpenPorts();
    Settings.ignoreDsr = 1;
    Settings.ignoreCts = 1;
    ModemOf(0).SetFault(Fault::kStatusFails);
    ModemOf(1).SetFault(Fault::kStatusFails);

    uint16_t reference = 0xBEEF;
    EXPECT_EQ(Connect(1, &reference), KORVA_STATUS_NO_MODEM);
    EXPECT_EQ(CapturedTexts(),
              (std::vector<std::string>{"KORVA: Connect() DSR Signal is down. Ignoring DSR",
                                        "KORVA: Connect() CTS Signal is down. Ignoring CTS",
                                        "KORVA: MM_Connect() NO CARRIER detected for modem COM1",
                                        "KORVA: MM_Connect() NO CARRIER detected for modem COM2"}));
    ExpectReleased(0);
    ExpectReleased(1);
}

// The carrier came, but no connection entry can be had: the line is hung up and the modem given
// back, re-armed.
TEST_F(DialTest, NoConnectionEntryHangsTheLineUp) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<MutexHolder>()> arrange;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {"table full",
         [] {
             for (ConnectionEntry& entry : Connections)
                 entry.flags = kConnUsed;
             return nullptr;
         },
         {"KORVA> Connect() Setting modem COM1 connect Timeout to 5000 mSec",
          "KORVA> AddConnection() ERROR all connections used!"}},
        // Without the connection mutex no entry is taken: two threads could take the same one.
        {"connection mutex held elsewhere",
         [] { return std::make_unique<MutexHolder>(ConnectionMutex); },
         {"KORVA> Connect() Setting modem COM1 connect Timeout to 5000 mSec",
          "KORVA> AddConnection() time-out waiting for conn. sem",
          "KORVA> AddConnection() sem req failed rc 258"}},
    };
    AddPort(0, Direction::kInOut);
    AddDialEntry(1, "ATDT555", 10);
    sim::Station& station = world.AddStation("555");
    OpenPorts();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZunHostClearLog();
        std::unique_ptr<MutexHolder> holder = c.arrange();
        uint16_t reference = 0xBEEF;
        EXPECT_EQ(Connect(1, &reference), KORVA_STATUS_TABLE_FULL);
        holder.reset();
        EXPECT_EQ(reference, 0xBEEF);
        EXPECT_EQ(CapturedTexts(), c.log);
        ExpectReleased(0);
        EXPECT_FALSE(station.Connected());
        EXPECT_EQ(ModemOf(0).Commands().back(), "ATS0=1");
        for (ConnectionEntry& entry : Connections)
            entry.flags = 0;
    }
}

// A port whose mutex another thread (or process) holds past the bound is busy with a dialogue
// of its own: the choice passes over it.
TEST_F(DialTest, PassesOverAPortWhoseLockCannotBeHad) {
    sim::Modem& busy = AddPort(0, Direction::kOut);
    AddPort(1, Direction::kOut);
    AddDialEntry(1, "ATDT555", 10);
    world.AddStation("555");
    OpenPorts();
    const size_t busyCommands = busy.Commands().size();

    uint16_t reference = 0xBEEF;
    {
        MutexHolder holder(Ports[0].mutex);
        ASSERT_EQ(Connect(1, &reference), KORVA_STATUS_OK);
    }
    EXPECT_EQ(Connections[reference].port.load(), 1);
    EXPECT_EQ(LogCount("KORVA> GetFreeModem() time-out waiting for COM1 sem"), 1u);
    EXPECT_EQ(busy.Commands().size(), busyCommands);
    EXPECT_EQ(DynamicFlags(0), 0u);
}

// The port is ours by its RSV flag, so a lock held elsewhere when the line is connected does not
// stop the change from RSV to CON.
TEST_F(DialTest, ConnectsEvenWhenTheFinalLockCannotBeHad) {
    AddPort(0, Direction::kOut);
    AddDialEntry(1, "ATDT555", 30);
    world.AddStation("555");
    // Room to take the lock between the reservation and the carrier.
    world.SetConnectDelay(20000);
    OpenPorts();

    int32_t status = -1;
    uint16_t reference = 0xBEEF;
    std::atomic<bool> returned{false};
    std::thread client([&] {
        status = Connect(1, &reference);
        returned = true;
    });
    while ((Ports[0].flags & kRSV) == 0 && !returned)
        std::this_thread::yield();
    {
        MutexHolder holder(Ports[0].mutex);
        EXPECT_EQ(holder.result(), platform::kWaitObject0);
        while (!returned)
            std::this_thread::yield();
    }
    client.join();
    ASSERT_EQ(status, KORVA_STATUS_OK);
    EXPECT_EQ(LogCount("KORVA> Connect() time-out waiting for COM1 sem"), 1u);
    EXPECT_EQ(DynamicFlags(0), uint32_t{kCON});
    EXPECT_EQ(Ports[0].connectionRef.load(), reference);
    EXPECT_EQ(Connections[reference].port.load(), 0);
}

TEST_F(DialTest, ClientsDiallingAtOnceGetDifferentModems) {
    AddPort(0, Direction::kOut);
    AddPort(1, Direction::kOut);
    AddDialEntry(1, "ATDT555", 10);
    AddDialEntry(2, "ATDT556", 10);
    sim::Station& first = world.AddStation("555");
    sim::Station& second = world.AddStation("556");
    OpenPorts();

    int32_t status[2] = {-1, -1};
    uint16_t reference[2] = {0xBEEF, 0xBEEF};
    std::atomic<bool> go{false};
    auto dial = [&](int i) {
        while (!go)
            std::this_thread::yield();
        status[i] = Connect(static_cast<uint16_t>(i + 1), &reference[i]);
    };
    std::thread a(dial, 0);
    std::thread b(dial, 1);
    go = true;
    a.join();
    b.join();
    ASSERT_EQ(status[0], KORVA_STATUS_OK);
    ASSERT_EQ(status[1], KORVA_STATUS_OK);
    EXPECT_NE(reference[0], reference[1]);
    EXPECT_NE(Connections[reference[0]].port.load(), Connections[reference[1]].port.load());
    EXPECT_EQ(DynamicFlags(0), uint32_t{kCON});
    EXPECT_EQ(DynamicFlags(1), uint32_t{kCON});
    EXPECT_TRUE(first.Connected());
    EXPECT_TRUE(second.Connected());
}

// Passive-modem resets on another thread never reach a modem that is being dialled: the modem
// sees the dial's dialogue whole, never a reset command inside it.
TEST_F(DialTest, PassiveResetsKeepOffAModemBeingDialled) {
    sim::Modem& modem = AddPort(0, Direction::kInOut);
    AddDialEntry(1, "ATDT555", 10);
    world.AddStation("555");
    OpenPorts();
    const size_t before = modem.Commands().size();

    std::atomic<bool> done{false};
    std::thread host([&] {
        while (!done) {
            ResetPassiveModems(kAllPorts);
            platform::SleepMs(1000);
        }
    });
    uint16_t reference = 0xBEEF;
    const int32_t status = Connect(1, &reference);
    done = true;
    host.join();
    ASSERT_EQ(status, KORVA_STATUS_OK);

    const std::vector<std::string> dial = {"ATH0", "AT", kGlobalReset, "ATDT555"};
    std::vector<std::string> commands = CommandsSince(modem, before);
    // Whole resets (reset, auto-answer) may come before the dial, none after it.
    size_t i = 0;
    while (i + 1 < commands.size() && commands[i] == kGlobalReset && commands[i + 1] == "ATS0=1")
        i += 2;
    EXPECT_EQ(
        std::vector<std::string>(commands.begin() + static_cast<std::ptrdiff_t>(i), commands.end()),
        dial);
    EXPECT_EQ(DynamicFlags(0), uint32_t{kCON});
}

}  // namespace
