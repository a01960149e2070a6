// The pool under load: client threads dial, exchange data and hang up in a loop, stations call the
// answering modems and are handed over to a host-side thread, carriers drop at random, the host
// writes "$RESETAA" and the supervision thread runs freely with a short reset period. Afterwards
// the pool must be idle again and every exported call must have returned a documented status.
//
// KORVA_STRESS_SECONDS sets the length of the load (real seconds, default 20); KORVA_TIME_SCALE
// the driver's time scale (default 0.02).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/lifecycle.h"
#include "host/state.h"
#include "korva/korva.h"
#include "korva/zunpro.h"
#include "serial/serial.h"
#include "sim/sim.h"
#include "supervision/supervision.h"
#include "support/child_process.h"
#include "support/driver_test.h"
#include "zunpro_host.h"

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned kClients = 8;
constexpr unsigned kDialOnlyPorts = 4;   // COM1..COM4
constexpr unsigned kAnsweringPorts = 4;  // COM5..COM8, COM7 and COM8 dial out too
constexpr unsigned kDialStations = 6;    // dial entries 1..6 reach stations 5551..5556
constexpr uint16_t kBusyEntry = 7;       // a number that is always busy
constexpr uint16_t kUndefinedEntry = 9;
const std::string kAsk = "\x01\x03"s;

unsigned StressSeconds() {
    const char* text = std::getenv("KORVA_STRESS_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? static_cast<unsigned>(seconds) : 20;
}

void Pause(unsigned minMs, unsigned maxMs, std::mt19937& random) {
    std::uniform_int_distribution<unsigned> ms(minMs, maxMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms(random)));
}

// Every status an exported function returned, per function.
class StatusTally {
  public:
    void Note(const char* function, int32_t status) {
        std::lock_guard<std::mutex> guard(lock_);
        ++counts_[function][status];
    }
    unsigned Count(const char* function, int32_t status) {
        std::lock_guard<std::mutex> guard(lock_);
        const auto statuses = counts_.find(function);
        if (statuses == counts_.end()) return 0;
        const auto count = statuses->second.find(status);
        return count == statuses->second.end() ? 0 : count->second;
    }
    // Statuses outside the documented set, as "function status x count".
    std::vector<std::string> Undocumented() {
        static const int32_t kDocumented[] = {0, 5, 6, 7, 8, 9, 10, 11, 12, 13};
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::string> found;
        for (const auto& [function, statuses] : counts_)
            for (const auto& [status, count] : statuses)
                if (std::find(std::begin(kDocumented), std::end(kDocumented), status) ==
                    std::end(kDocumented))
                    found.push_back(function + " "s + std::to_string(status) + " x" +
                                    std::to_string(count));
        return found;
    }
    void Print() {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& [function, statuses] : counts_) {
            std::printf("  %-16s", function.c_str());
            for (const auto& [status, count] : statuses)
                std::printf(" status %d: %u", status, count);
            std::printf("\n");
        }
    }

  private:
    std::mutex lock_;
    std::map<std::string, std::map<int32_t, unsigned>> counts_;
};

// Fails the run with a message when it has not ended within its bound: a thread is stuck.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds bound)
        : thread_([this, bound] {
              std::unique_lock<std::mutex> guard(lock_);
              if (!ended_.wait_for(guard, bound, [this] { return done_; })) {
                  std::fprintf(stderr,
                               "STRESS FAILED: the run did not end within %lld s; a thread is "
                               "stuck (%s)\n",
                               static_cast<long long>(bound.count()), phase_.load());
                  std::fflush(stderr);
                  std::_Exit(1);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            done_ = true;
        }
        ended_.notify_all();
        thread_.join();
    }
    void Phase(const char* phase) { phase_ = phase; }

  private:
    std::mutex lock_;
    std::condition_variable ended_;
    bool done_ = false;
    std::atomic<const char*> phase_{"starting"};
    std::thread thread_;
};

class StressTest : public DriverTest {
  protected:
    struct Caller {
        sim::Station* station = nullptr;
        std::string number;
        uint8_t port = 0;
        uint32_t gate = 0;
        std::atomic<unsigned> consumed{0};
    };

    void SetUp() override {
        DriverTest::SetUp();
        // The log is not kept: a long run would fill memory with it.
        ZunHostCaptureLog(0);
        ASSERT_EQ(InitTables(), 0);
        world.Install();
        Settings.resetPeriod = 2;
        Settings.callerIdTimeout = 100;
        Settings.connectTimeLimit = 60;
        for (unsigned i = 0; i < kDialOnlyPorts + kAnsweringPorts; ++i) {
            const bool answering = i >= kDialOnlyPorts;
            const bool dialling = i < kDialOnlyPorts || i >= kDialOnlyPorts + 2;
            DefinePort(static_cast<uint8_t>(i), answering, dialling);
            const std::string number = answering ? "20" + std::to_string(i) : "";
            world.AddModem(Ports[i].deviceName, number.c_str());
        }
        for (unsigned i = 1; i <= kDialStations; ++i) {
            const std::string number = "555" + std::to_string(i);
            world.AddStation(number.c_str()).SetEcho(true);
            AddDialEntry(i, ("ATDT" + number).c_str());
        }
        world.SetOutcome("666", sim::Outcome::kBusy, 500);
        AddDialEntry(kBusyEntry, "ATDT666");
        // Callers: station k calls answering modem k and names itself MOD k.
        ArmSequence();
        for (unsigned k = 0; k < kAnsweringPorts; ++k) {
            const uint8_t port = static_cast<uint8_t>(kDialOnlyPorts + k);
            Caller& caller = callers[k];
            caller.port = port;
            caller.number = "20" + std::to_string(port);
            caller.station = &world.AddStation(("30" + std::to_string(k)).c_str());
            const uint8_t plc = static_cast<uint8_t>(k + 1);
            caller.station->SetReply(kAsk, "\x68"s + static_cast<char>(plc) + "\x00\x16"s);
            caller.station->SetEcho(true);
            StationEntry& entry = Stations[StationCount++];
            std::snprintf(entry.initials, sizeof entry.initials, "MOD");
            entry.vpi = 3;
            entry.address = plc;
            char gate[16];
            std::snprintf(gate, sizeof gate, "$A03-%03u", plc);
            caller.gate = ZunHostDefineGate(3, gate);
        }
        InitPortsAndModems();
        for (unsigned i = 0; i < kDialOnlyPorts + kAnsweringPorts; ++i)
            ASSERT_NE(Ports[i].device.load(), nullptr) << "COM" << i + 1;
        uint8_t client = 0;
        ASSERT_EQ(ZunMkClient("KORVA_CLIENT", 1, 0, &client), 0);
        HostClientId = client;
        Settings.ready = 1;
        ASSERT_EQ(StartTasks(), 0);
        supervisionRunning = true;
    }

    void TearDown() override {
        StopSupervision();
        for (uint8_t i = 0; i < kPortCount; ++i)
            if (Ports[i].device.load() != nullptr) MMCloseCom(i);
        world.Uninstall();
        DriverTest::TearDown();
    }

    static void DefinePort(uint8_t index, bool answering, bool dialling) {
        PortEntry& port = Ports[index];
        std::snprintf(port.deviceName, sizeof port.deviceName, "COM%u", index + 1u);
        port.baudRate = 2400;
        port.dataBits = 8;
        port.options = 0x0303;
        port.flags = kDEF | (answering ? kINP : 0u) | (dialling ? kOUT : 0u);
    }
    static void AddDialEntry(unsigned number, const char* dial) {
        DialEntry& entry = DialEntries[number - 1];
        std::snprintf(entry.dial, sizeof entry.dial, "%s", dial);
        entry.timeout = 10;
        entry.defined = 1;
    }
    static void ArmSequence() {
        AlarmSequence& sequence = AlarmSequences[0];
        std::snprintf(sequence.initials, sizeof sequence.initials, "MOD");
        std::memcpy(sequence.request, kAsk.data(), kAsk.size());
        sequence.requestLength = static_cast<uint16_t>(kAsk.size());
        sequence.replyLength = 4;
        sequence.addressOffset = 1;
        sequence.addressKind = 'B';
    }

    void StopSupervision() {
        if (!supervisionRunning) return;
        supervisionRunning = false;
        ZunHostRequestStop();
        while (StopFlag.load() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(platform::WaitThreadsEnded(60000));
    }

    // A dial client: dials, exchanges a few telegrams, hangs up; again until told to stop.
    void RunClient(unsigned id) {
        std::mt19937 random(1000 + id);
        std::uniform_int_distribution<unsigned> pick(0, 99);
        char sent[32];
        char back[32];
        while (!stopClients) {
            const unsigned p = pick(random);
            const uint16_t entry = p < 90   ? static_cast<uint16_t>(1 + p % kDialStations)
                                   : p < 97 ? kBusyEntry
                                            : kUndefinedEntry;
            uint16_t reference = kNoReference;
            const int32_t dialled = KORVA_Connect(entry, 100, &reference);
            tally.Note("KORVA_Connect", dialled);
            if (dialled != KORVA_STATUS_OK) {
                Pause(5, 20, random);
                continue;
            }
            const unsigned exchanges = 1 + pick(random) % 4;
            for (unsigned n = 0; n < exchanges && !stopClients; ++n) {
                const int length = std::snprintf(sent, sizeof sent, "C%u-%u", id, n);
                const int32_t status = KORVA_Send(reference, sent, length);
                tally.Note("KORVA_Send", status);
                if (status != KORVA_STATUS_OK) break;
                int32_t received = 0;
                tally.Note("KORVA_Receive", KORVA_Receive(reference, back, length, &received));
            }
            if (pick(random) < 20) tally.Note("KORVA_Flush", KORVA_Flush(reference));
            const int32_t ended = KORVA_Disconnect(reference);
            tally.Note("KORVA_Disconnect", ended);
            EXPECT_EQ(ended, KORVA_STATUS_OK) << "a reference of KORVA_Connect";
        }
    }

    // The stations: each calls its answering modem once the previous call has settled (any
    // hand-over of it picked up, the port neither ringing nor connected) and hangs up later.
    void RunStations() {
        std::mt19937 random(7);
        std::uniform_int_distribution<unsigned> holdMs(30, 400);
        std::array<Clock::time_point, kAnsweringPorts> hangUpAt{};
        std::array<bool, kAnsweringPorts> calling{};
        while (!stopStations) {
            for (unsigned k = 0; k < kAnsweringPorts; ++k) {
                Caller& caller = callers[k];
                if (calling[k]) {
                    if (Clock::now() >= hangUpAt[k]) {
                        caller.station->HangUp();
                        calling[k] = false;
                    }
                } else if (Settled(caller)) {
                    if (caller.station->Call(caller.number.c_str())) {
                        ++callsPlaced;
                        calling[k] = true;
                        hangUpAt[k] = Clock::now() + std::chrono::milliseconds(holdMs(random));
                    } else {
                        ++callsRefused;
                    }
                }
            }
            Pause(2, 10, random);
        }
        for (unsigned k = 0; k < kAnsweringPorts; ++k)
            if (calling[k]) callers[k].station->HangUp();
    }

    bool Settled(const Caller& caller) {
        if ((Ports[caller.port].flags & (kCON | kRIN)) != 0) return false;
        unsigned writes = 0;
        ZunHostGateValue(caller.gate, nullptr, &writes);
        return writes == caller.consumed;
    }

    // The destination driver's side: picks up the references written into the answer-call gates,
    // exchanges a telegram on the line and disconnects it.
    void RunAnswerHost() {
        std::mt19937 random(11);
        char back[8];
        while (!stopAnswerHost) {
            bool any = false;
            for (Caller& caller : callers) {
                double value = 0;
                unsigned writes = 0;
                ZunHostGateValue(caller.gate, &value, &writes);
                if (writes == caller.consumed) continue;
                any = true;
                // One call at a time per station: a second hand-over would mean a lost one.
                EXPECT_EQ(writes, caller.consumed + 1) << "hand-overs missed on " << caller.gate;
                const auto reference = static_cast<uint32_t>(value);
                ++callsAnswered;
                tally.Note("KORVA_Timeout", KORVA_Timeout(reference, 50));
                const int32_t sent = KORVA_Send(reference, "HOST", 4);
                tally.Note("KORVA_Send", sent);
                if (sent == KORVA_STATUS_OK) {
                    int32_t received = 0;
                    tally.Note("KORVA_Receive", KORVA_Receive(reference, back, 4, &received));
                }
                const int32_t ended = KORVA_Disconnect(reference);
                tally.Note("KORVA_Disconnect", ended);
                EXPECT_EQ(ended, KORVA_STATUS_OK) << "a handed-over reference";
                caller.consumed = writes;
            }
            if (!any) Pause(1, 2, random);
        }
    }

    // Drops the carrier of a connected modem now and then.
    void RunCarrierDrops() {
        std::mt19937 random(13);
        std::uniform_int_distribution<unsigned> pickPort(0, kDialOnlyPorts + kAnsweringPorts - 1);
        while (!stopClients) {
            Pause(10, 60, random);
            sim::Modem& modem = *world.FindModem(Ports[pickPort(random)].deviceName);
            if (modem.State() == sim::ModemState::kOnline) {
                modem.DropCarrier();
                ++carriersDropped;
            }
        }
    }

    // The host's operator writes "$RESETAA" now and then.
    void RunResets() {
        std::mt19937 random(17);
        const char* address = "$RESETAA";
        KorvaGateDefinition definition{};
        definition.address = address;
        definition.gateType = 6;
        KorvaRequest parse{};
        parse.function = KORVA_FN_SINGLE_PARSE;
        parse.block = &definition;
        EXPECT_EQ(VpiMain(&parse), 0);
        KorvaGateValue value{0, 0, 1};
        KorvaGateAccess access{};
        access.address = address;
        access.gateIndex = definition.gateIndex;
        access.gateKind = definition.gateKind;
        access.bitNumber = definition.bitNumber;
        access.single = 1;
        access.value = &value;
        while (!stopClients) {
            Pause(50, 250, random);
            KorvaRequest write{};
            write.function = KORVA_FN_SINGLE_WRITE;
            write.block = &access;
            EXPECT_EQ(VpiMain(&write), 0);
            ++resetsWritten;
        }
    }

    // Waits (real time) until `condition` holds; false past the bound.
    template <class Condition>
    static bool Within(std::chrono::seconds bound, Condition condition) {
        const auto deadline = Clock::now() + bound;
        while (!condition()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    sim::World world;
    std::array<Caller, kAnsweringPorts> callers;
    StatusTally tally;
    std::atomic<bool> stopClients{false};
    std::atomic<bool> stopStations{false};
    std::atomic<bool> stopAnswerHost{false};
    std::atomic<unsigned> callsPlaced{0};
    std::atomic<unsigned> callsRefused{0};
    std::atomic<unsigned> callsAnswered{0};
    std::atomic<unsigned> carriersDropped{0};
    std::atomic<unsigned> resetsWritten{0};
    bool supervisionRunning = false;
};

TEST_F(StressTest, PoolServesEveryoneAndEndsIdle) {
    const unsigned seconds = StressSeconds();
    // Generous: the load, the settling and the supervision's own end take a fraction of it.
    Watchdog watchdog(std::chrono::seconds(seconds * 3 + 120));
    watchdog.Phase("load");

    std::vector<std::thread> threads;
    for (unsigned id = 0; id < kClients; ++id)
        threads.emplace_back([this, id] { RunClient(id); });
    std::thread stations([this] { RunStations(); });
    std::thread answerHost([this] { RunAnswerHost(); });
    threads.emplace_back([this] { RunCarrierDrops(); });
    threads.emplace_back([this] { RunResets(); });

    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    watchdog.Phase("stopping the clients");
    stopClients = true;
    for (std::thread& thread : threads)
        thread.join();
    watchdog.Phase("stopping the stations");
    stopStations = true;
    stations.join();

    // Settling: every hand-over picked up, the supervision has ended every lost line.
    watchdog.Phase("settling");
    const bool settled = Within(std::chrono::seconds(60), [this] {
        for (const Caller& caller : callers)
            if (!Settled(caller)) return false;
        for (unsigned i = 0; i < kPortCount; ++i)
            if ((Ports[i].flags & (kRSV | kCON | kRIN)) != 0) return false;
        return true;
    });
    stopAnswerHost = true;
    answerHost.join();
    watchdog.Phase("stopping the supervision");
    StopSupervision();

    std::printf("stress: %u s at time scale %g\n", seconds, platform::TimeScale());
    std::printf("  dials made %u, connected %u, no modem %u, no carrier %u, bad entry %u\n",
                tally.Count("KORVA_Connect", 0) + tally.Count("KORVA_Connect", 11) +
                    tally.Count("KORVA_Connect", 12) + tally.Count("KORVA_Connect", 10) +
                    tally.Count("KORVA_Connect", 13) + tally.Count("KORVA_Connect", 9),
                tally.Count("KORVA_Connect", 0), tally.Count("KORVA_Connect", 11),
                tally.Count("KORVA_Connect", 12), tally.Count("KORVA_Connect", 10));
    std::printf("  station calls placed %u (refused, modem busy: %u), answered %u\n",
                callsPlaced.load(), callsRefused.load(), callsAnswered.load());
    std::printf("  carriers dropped %u, $RESETAA written %u\n", carriersDropped.load(),
                resetsWritten.load());
    std::printf("  statuses:\n");
    tally.Print();
    std::fflush(stdout);

    EXPECT_TRUE(settled) << "the pool did not come back to idle";
    for (unsigned i = 0; i < kConnectionCount; ++i)
        EXPECT_EQ(Connections[i].flags.load(), 0u) << "connection entry " << i << " still used";
    for (unsigned i = 0; i < kPortCount; ++i)
        EXPECT_EQ(Ports[i].flags & (kRSV | kCON | kRIN), 0u) << "COM" << i + 1;
    EXPECT_EQ(tally.Undocumented(), std::vector<std::string>{});
    // The load did reach every path it is meant to.
    EXPECT_GT(tally.Count("KORVA_Connect", 0), 0u);
    EXPECT_GT(callsAnswered.load(), 0u);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (std::getenv("KORVA_TIME_SCALE") == nullptr) platform::SetTimeScale(0.02);
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "korva_stress_%d_", CurrentProcessId());
    platform::SetMutexNamespace(prefix);
    ZunHostEchoLog(std::getenv("KORVA_TEST_LOG") != nullptr);
    const int result = RUN_ALL_TESTS();
    platform::MutexUnlinkAll();
    return result;
}
