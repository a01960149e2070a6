// What supervising an idle pool costs: the CPU time of one supervision cycle's work
// (CheckIncomingCalls and CheckConnections, without the cycle's one-second pause) with 1, 8 and
// 32 idle answering ports, on simulated modems and on pseudo-terminals through the tty backend;
// the periodic reset of all answering modems; and the CPU time of the whole idle process,
// cold-started, with the task thread running at time scale 1.
//
// The simulated modems answer inside the driver's serial calls, so their work is counted with
// the driver's: those figures are an upper bound for the driver alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/lifecycle.h"
#include "host/state.h"
#include "platform/platform.h"
#include "serial/serial.h"
#include "sim/sim.h"
#include "supervision/supervision.h"
#include "support.h"
#include "zunpro_host.h"

namespace {

// The time scale for the modem dialogues of port initialisation: a second becomes a millisecond.
constexpr double kInitScale = 0.001;

enum class Backend { kSimulated, kTty };

// `count` idle answering ports, opened as at cold start: on simulated modems, with their modem
// dialogues run; or on pseudo-terminals through the tty backend, where nobody answers and the
// dialogues are left out (the supervision of an idle port needs none).
class IdlePool {
  public:
    IdlePool(unsigned count, Backend backend) {
        ResetStateForTest();
        ZunHostReset();
        InitTables();
        for (uint8_t i = 0; i < count; ++i)
            bench::DefinePort(i, kINP);
        if (backend == Backend::kSimulated) {
            for (uint8_t i = 0; i < count; ++i)
                world_.AddModem(Ports[i].deviceName, std::to_string(200 + i).c_str());
            world_.Install();
            const double scale = platform::TimeScale();
            platform::SetTimeScale(kInitScale);
            InitPortsAndModems();
            platform::SetTimeScale(scale);
        } else {
            scratch_ = std::make_unique<bench::Scratch>();
            for (uint8_t i = 0; i < count; ++i) {
                ptys_.push_back(std::make_unique<bench::Pty>());
                scratch_->Link(i + 1u, ptys_.back()->SlavePath());
                Ports[i].device = MMOpenCom(Ports[i]);
                Ports[i].flags.fetch_or(kOPN);
            }
        }
        Settings.ready = 1;
    }
    ~IdlePool() {
        bench::CloseAllPorts();
        world_.Uninstall();
    }

  private:
    sim::World world_;
    std::unique_ptr<bench::Scratch> scratch_;
    std::vector<std::unique_ptr<bench::Pty>> ptys_;
};

void BM_SupervisionCycle(benchmark::State& state, Backend backend) {
    IdlePool pool(static_cast<unsigned>(state.range(0)), backend);
    for (auto _ : state) {
        CheckIncomingCalls();
        CheckConnections();
    }
}
// The simulated modems' own work grows with their number (every serial call brings every
// modem's clock up to date); the tty backend shows the driver's own growth.
BENCHMARK_CAPTURE(BM_SupervisionCycle, simulated, Backend::kSimulated)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SupervisionCycle, tty, Backend::kTty)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Unit(benchmark::kMicrosecond);

// The reset of every idle answering modem, which the task runs every 602 cycles: two command
// exchanges per modem whose reply drains wait out their time-outs, so it runs at a small time
// scale; its CPU time does not depend on the scale.
void BM_PeriodicReset(benchmark::State& state) {
    IdlePool pool(32, Backend::kSimulated);
    const double scale = platform::TimeScale();
    platform::SetTimeScale(kInitScale);
    for (auto _ : state)
        ResetPassiveModems(kAllPorts);
    platform::SetTimeScale(scale);
}
BENCHMARK(BM_PeriodicReset)->Iterations(3)->Unit(benchmark::kMillisecond);

std::string IdleInitFile(unsigned ports) {
    std::string text = "DIAGNOSE = N\n";
    for (unsigned com = 1; com <= ports; ++com)
        text += "COM " + std::to_string(com) + " = I 2400 , N , 8 , 1\n";
    return text;
}

double IdleWindowSeconds() {
    const char* text = std::getenv("KORVA_BENCH_IDLE_SECONDS");
    const double seconds = text != nullptr ? std::atof(text) : 0;
    return seconds > 0 ? seconds : 6;
}

// The idle driver: cold start of 32 answering ports (the modem dialogues at a small scale),
// then the task thread at time scale 1 while this thread sleeps. The CPU time of the whole
// process over the window, per minute of wall time.
void BM_IdleDriver(benchmark::State& state) {
    constexpr unsigned kPorts = 32;
    const double scale = platform::TimeScale();
    for (auto _ : state) {
        ResetStateForTest();
        ZunHostReset();
        bench::Scratch scratch;
        scratch.WriteInitFile(1, IdleInitFile(kPorts));
        sim::World world;
        for (uint8_t i = 0; i < kPorts; ++i) {
            char name[12];
            bench::PortDeviceName(i, name);
            world.AddModem(name, std::to_string(200 + i).c_str());
        }
        world.Install();
        platform::SetTimeScale(kInitScale);
        if (bench::ColdStartDriver() != 0) {
            state.SkipWithError("cold start failed");
            return;
        }
        platform::SetTimeScale(1.0);
        bench::SleepNs(1500000000u);  // the task finishes the pause it began at the small scale

        const uint64_t cycles0 = ZunHostWaitCount();
        const uint64_t cpu0 = bench::ProcessCpuNs();
        const uint64_t wall0 = bench::NowNs();
        bench::SleepNs(static_cast<uint64_t>(IdleWindowSeconds() * 1e9));
        const double cpu = static_cast<double>(bench::ProcessCpuNs() - cpu0);
        const double wall = static_cast<double>(bench::NowNs() - wall0);
        const double cycles = static_cast<double>(ZunHostWaitCount() - cycles0);

        platform::SetTimeScale(kInitScale);
        if (!bench::StopDriver(10000)) state.SkipWithError("the task did not stop");
        bench::CloseAllPorts();
        world.Uninstall();

        state.counters["cpu_ms_per_minute"] = cpu / wall * 60000.0;
        state.counters["core_fraction"] = cpu / wall;
        state.counters["cycles_per_second"] = cycles / wall * 1e9;
    }
    platform::SetTimeScale(scale);
}
BENCHMARK(BM_IdleDriver)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::PrepareProcess("supervision");
    platform::SetTimeScale(1.0);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::FinishProcess();
    return 0;
}
