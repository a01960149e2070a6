// Bring-up, dial-out and hang-up against the time the modem dialogue itself prescribes: the
// pauses, the reply drains that wait out their read time-out, the simulated exchange's connect
// delay and the one-second carrier polls. Whatever the driver spends beyond their sum is its
// own. Runs on simulated modems at a time scale of 0.1; all figures are in driver milliseconds.
#include <benchmark/benchmark.h>

#include <string>

#include "host/state.h"
#include "korva/korva.h"
#include "platform/platform.h"
#include "sim/sim.h"
#include "support.h"
#include "zunpro_host.h"

namespace {

constexpr double kScale = 0.1;

// The dialogue's own waits, in driver milliseconds, for modems that echo every command and
// answer "OK" at once: each expect-OK exchange then waits out its drain read of 2500 ms for a
// byte after the reply line.
constexpr double kDrain = 2500;
// Escape, 1500 ms guard, "ATH0" (drained), DTR low 200 ms, 250 ms settling.
constexpr double kHangUp = 1500 + kDrain + 200 + 250;
// Cold start of one port: hang-up, "AT", 100 ms, the reset command, 100 ms, and for an
// answering port the auto-answer command.
constexpr double kInitDialOnly = kHangUp + kDrain + 100 + kDrain + 100;
constexpr double kInitAnswering = kInitDialOnly + kDrain;
// Dial-out: hang-up, "AT", 100 ms, the reset command, 100 ms, the dial command whose CONNECT
// comes after the exchange's connect delay, and the first one-second poll that sees the carrier.
constexpr double kConnectDelay = 1000;
constexpr double kDial = kHangUp + kDrain + 100 + kDrain + 100 + kConnectDelay + 1000;
// Disconnect of a dial-only port in data mode: the escape "+++" is not echoed on line, and its
// echo read ends when the modem answers "OK" after its escape guard time (S12 = 50, 1 s), which
// is also the command time-out; then the hang-up's own waits and the 400 ms pause (no
// re-arming without auto-answer).
constexpr double kEscapeGuard = 1000;
constexpr double kDisconnect = kEscapeGuard + kHangUp + 400;

// COM1 and COM2 dial only, COM3 and COM4 dial and answer.
constexpr const char* kInitFile =
    "DIAGNOSE = N\n"
    "COM 1 = O 2400 , N , 8 , 1\n"
    "COM 2 = O 2400 , N , 8 , 1\n"
    "COM 3 = IO 2400 , N , 8 , 1\n"
    "COM 4 = IO 2400 , N , 8 , 1\n"
    "DIAL 1 = ATDT555 30\n";
constexpr double kColdStart = 2 * kInitDialOnly + 2 * kInitAnswering;

double DriverMs(uint64_t ns) {
    return static_cast<double>(ns) / 1e6 / kScale;
}

void BM_DialogueTimes(benchmark::State& state) {
    const double scale = platform::TimeScale();
    platform::SetTimeScale(kScale);
    for (auto _ : state) {
        ResetStateForTest();
        ZunHostReset();
        ZunHostSetStepMode(1);  // the task waits: nothing but the calls measured here runs
        bench::Scratch scratch;
        scratch.WriteInitFile(1, kInitFile);
        sim::World world;
        world.SetConnectDelay(static_cast<uint32_t>(kConnectDelay));
        for (unsigned com = 1; com <= 4; ++com)
            world.AddModem(("COM" + std::to_string(com)).c_str(),
                           std::to_string(200 + com).c_str());
        world.AddStation("555");
        world.Install();

        uint64_t t0 = bench::NowNs();
        const int32_t started = bench::ColdStartDriver();
        uint64_t t1 = bench::NowNs();
        uint16_t reference = kNoReference;
        const int32_t dialled = KORVA_Connect(1, 500, &reference);
        uint64_t t2 = bench::NowNs();
        const int32_t ended = KORVA_Disconnect(reference);
        uint64_t t3 = bench::NowNs();

        bench::StopDriver(10000);
        bench::CloseAllPorts();
        world.Uninstall();
        if (started != 0 || dialled != KORVA_STATUS_OK || ended != KORVA_STATUS_OK) {
            state.SkipWithError("cold start, dial or disconnect failed");
            break;
        }
        state.counters["coldstart_ms"] = DriverMs(t1 - t0);
        state.counters["coldstart_required_ms"] = kColdStart;
        state.counters["dial_ms"] = DriverMs(t2 - t1);
        state.counters["dial_required_ms"] = kDial;
        state.counters["disconnect_ms"] = DriverMs(t3 - t2);
        state.counters["disconnect_required_ms"] = kDisconnect;
    }
    platform::SetTimeScale(scale);
}
BENCHMARK(BM_DialogueTimes)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::PrepareProcess("dial");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::FinishProcess();
    return 0;
}
