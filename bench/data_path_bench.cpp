// The data path against the bare line: KORVA_Send and KORVA_Receive on a connection whose port
// is a pseudo-terminal reached through the tty backend, and the same transfers made with write,
// read and poll on a second pseudo-terminal opened raw. A thread plays the far end of the lines.
//
// Throughput: one benchmark per direction and block size, driver and raw in alternating slices;
// the far end keeps the line full (receive) or empty (send), so the side under test is the one
// that limits the rate.
// Wake-up: the time from a byte written on the far end to the receiving call returning it,
// driver and raw samples taken in turn so that both see the same machine.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <semaphore>
#include <thread>
#include <vector>

#include "host/state.h"
#include "korva/korva.h"
#include "platform/platform.h"
#include "support.h"

namespace {

constexpr uint64_t kReadTimeoutNs = 10000000000u;  // 10 s: every read ends by its count
constexpr int32_t kReadTimeoutUnits = 1000;        // the same, in the driver's 10 ms units
constexpr std::size_t kFeedChunk = 4096;

enum class Path { kDriver, kRaw };

// The two lines: COM1 through the driver, and a raw one. Made once, on first use.
struct Lines {
    bench::Scratch scratch;
    bench::Pty driverPty;
    bench::Pty rawPty;
    uint16_t reference = kNoReference;
    int rawFd = -1;

    Lines() {
        scratch.Link(1, driverPty.SlavePath());
        InitTables();
        if (!bench::ConnectWithoutModem(0, &reference) ||
            KORVA_Timeout(reference, kReadTimeoutUnits) != KORVA_STATUS_OK) {
            std::fprintf(stderr, "data path: COM1 on %s did not open\n",
                         driverPty.SlavePath().c_str());
            std::exit(1);
        }
        rawFd = rawPty.OpenSlaveRaw();
    }
    ~Lines() {
        bench::CloseAllPorts();
        close(rawFd);
    }
    int Master(Path path) const {
        return path == Path::kDriver ? driverPty.Master() : rawPty.Master();
    }
};

std::unique_ptr<Lines> g_lines;

Lines& TheLines() {
    if (!g_lines) g_lines = std::make_unique<Lines>();
    return *g_lines;
}

bool Send(Path path, const void* data, std::size_t count) {
    if (path == Path::kDriver)
        return KORVA_Send(g_lines->reference, data, static_cast<int32_t>(count)) == KORVA_STATUS_OK;
    return bench::RawWriteAll(g_lines->rawFd, data, count) == count;
}

std::size_t Receive(Path path, void* buffer, std::size_t count) {
    if (path == Path::kDriver) {
        int32_t received = 0;
        KORVA_Receive(g_lines->reference, buffer, static_cast<int32_t>(count), &received);
        return static_cast<std::size_t>(received);
    }
    return bench::RawReadUpTo(g_lines->rawFd, buffer, count, kReadTimeoutNs);
}

// Throws away what is left on the port side after a receive run.
void DiscardPortInput(Path path) {
    if (path == Path::kRaw) {
        bench::RawDiscard(g_lines->rawFd);
        return;
    }
    KORVA_Timeout(g_lines->reference, 2);  // 20 ms: the pty hands over the last bytes late
    uint8_t scratch[4096];
    int32_t received = 0;
    while (KORVA_Receive(g_lines->reference, scratch, sizeof scratch, &received) ==
           KORVA_STATUS_OK) {
    }
    KORVA_Timeout(g_lines->reference, kReadTimeoutUnits);
}

// The far end of both lines, one thread for the two: drains everything the ports send, or
// keeps their input full. One thread, so that both lines are served from the same place on the
// machine.
class FarEnd {
  public:
    explicit FarEnd(bool feed) : stop_(eventfd(0, EFD_CLOEXEC)) {
        masters_[0] = g_lines->Master(Path::kDriver);
        masters_[1] = g_lines->Master(Path::kRaw);
        thread_ = std::thread([this, feed] { feed ? Feed() : Drain(); });
    }
    ~FarEnd() {
        uint64_t one = 1;
        if (write(stop_, &one, sizeof one) < 0) std::perror("eventfd");
        thread_.join();
        close(stop_);
    }
    // Waits until `total` bytes have arrived from the path's port (false after 10 s).
    bool WaitDrained(Path path, uint64_t total) const {
        const std::atomic<uint64_t>& drained = drained_[Index(path)];
        for (int i = 0; i < 10000 && drained.load() < total; ++i)
            bench::SleepNs(1000000);
        return drained.load() >= total;
    }

  private:
    static int Index(Path path) { return path == Path::kDriver ? 0 : 1; }

    // Waits until a master is ready for `events`; false when asked to stop.
    bool Await(short events, pollfd (&waits)[3]) {
        waits[0] = {masters_[0], events, 0};
        waits[1] = {masters_[1], events, 0};
        waits[2] = {stop_, POLLIN, 0};
        while (poll(waits, 3, -1) < 0) {
        }
        return (waits[2].revents & POLLIN) == 0;
    }
    void Drain() {
        std::vector<uint8_t> buffer(1 << 16);
        pollfd waits[3];
        while (Await(POLLIN, waits)) {
            for (int i = 0; i < 2; ++i) {
                if ((waits[i].revents & POLLIN) == 0) continue;
                ssize_t n = read(masters_[i], buffer.data(), buffer.size());
                if (n > 0) drained_[i].fetch_add(static_cast<uint64_t>(n));
            }
        }
    }
    void Feed() {
        std::vector<uint8_t> chunk(kFeedChunk, 0xA5);
        pollfd waits[3];
        while (Await(POLLOUT, waits)) {
            for (int i = 0; i < 2; ++i) {
                if ((waits[i].revents & POLLOUT) == 0) continue;
                if (write(masters_[i], chunk.data(), chunk.size()) < 0 && errno != EAGAIN) return;
            }
        }
    }

    int masters_[2];
    int stop_;
    std::atomic<uint64_t> drained_[2] = {0, 0};
    std::thread thread_;
};

// Bytes moved and time taken on one path.
struct Tally {
    uint64_t bytes = 0;
    uint64_t ns = 0;
    double MegabytesPerSecond() const {
        return ns == 0 ? 0 : static_cast<double>(bytes) * 1e3 / static_cast<double>(ns);
    }
};

constexpr int kSlicePairs = 40;
constexpr uint64_t kSliceNs = 20000000;  // 20 ms

// Moves blocks on one path for one slice of time; the slice's tally, or nothing moved when a
// call failed.
Tally RunSlice(Path path, bool sending, std::vector<uint8_t>& block) {
    Tally slice;
    const uint64_t start = bench::NowNs();
    uint64_t now = start;
    while (now - start < kSliceNs) {
        const std::size_t moved = sending
                                      ? (Send(path, block.data(), block.size()) ? block.size() : 0)
                                      : Receive(path, block.data(), block.size());
        if (moved == 0) return Tally{};
        slice.bytes += moved;
        now = bench::NowNs();
    }
    slice.ns = now - start;
    return slice;
}

// Throughput of both paths in alternating slices of 20 ms, so that both see the same load on
// the machine; each pair of slices changes which path goes first. The far end of each line
// drains it (send) or keeps it full (receive) the whole time. Reported: each path's rate over
// all its slices, and the median of the pairs' ratios, which a burst of other work on the
// machine during one slice does not move.
void BM_Throughput(benchmark::State& state, bool sending) {
    TheLines();
    std::vector<uint8_t> block(static_cast<std::size_t>(state.range(0)), 0x5A);
    Tally driver;
    Tally raw;
    std::vector<double> ratios;
    bool ok = true;
    {
        FarEnd far(!sending);
        for (auto _ : state) {
            for (int pair = 0; pair < kSlicePairs && ok; ++pair) {
                Tally driverSlice;
                Tally rawSlice;
                if (pair % 2 == 0) {
                    driverSlice = RunSlice(Path::kDriver, sending, block);
                    rawSlice = RunSlice(Path::kRaw, sending, block);
                } else {
                    rawSlice = RunSlice(Path::kRaw, sending, block);
                    driverSlice = RunSlice(Path::kDriver, sending, block);
                }
                ok = driverSlice.bytes != 0 && rawSlice.bytes != 0;
                driver.bytes += driverSlice.bytes;
                driver.ns += driverSlice.ns;
                raw.bytes += rawSlice.bytes;
                raw.ns += rawSlice.ns;
                if (ok)
                    ratios.push_back(driverSlice.MegabytesPerSecond() /
                                     rawSlice.MegabytesPerSecond());
            }
        }
        if (sending && !(far.WaitDrained(Path::kDriver, driver.bytes) &&
                         far.WaitDrained(Path::kRaw, raw.bytes)))
            ok = false;
    }
    if (!sending) {
        DiscardPortInput(Path::kDriver);
        DiscardPortInput(Path::kRaw);
    }
    if (!ok) state.SkipWithError(sending ? "send failed or bytes lost" : "receive failed");
    state.counters["driver_MBps"] = driver.MegabytesPerSecond();
    state.counters["raw_MBps"] = raw.MegabytesPerSecond();
    state.counters["ratio"] = bench::Median(ratios);
}

// 64 KiB: a send takes 65536 bytes; a receive asks for at most 65535 (its count is 16 bits).
BENCHMARK_CAPTURE(BM_Throughput, send, true)
    ->Arg(1)
    ->Arg(64)
    ->Arg(4096)
    ->Arg(65536)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Throughput, receive, false)
    ->Arg(1)
    ->Arg(64)
    ->Arg(4096)
    ->Arg(65535)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// CPU time per call, for one-byte calls that never wait: the receive finds its byte queued, the
// send finds room. This is what each call adds on top of the system call, without the far end's
// scheduling in the figure; it explains the small-block throughput.

constexpr int kCostRounds = 100;
constexpr int kCostCalls = 2000;

// Bytes waiting on the port side of `path`.
uint32_t Queued(Path path) {
    uint32_t queued = 0;
    if (path == Path::kDriver) {
        Ports[0].device.load()->ClearError(&queued);
    } else {
        int count = 0;
        ioctl(g_lines->rawFd, FIONREAD, &count);
        queued = static_cast<uint32_t>(count);
    }
    return queued;
}

uint64_t CallsCpuNs(Path path, bool sending) {
    char byte = 'c';
    const int master = g_lines->Master(path);
    if (!sending) {
        std::vector<char> fill(kCostCalls, 'c');
        bench::RawWriteAll(master, fill.data(), fill.size());
        while (Queued(path) < kCostCalls)
            bench::SleepNs(100000);
    }
    const uint64_t start = bench::ThreadCpuNs();
    for (int i = 0; i < kCostCalls; ++i) {
        if (sending)
            Send(path, &byte, 1);
        else
            Receive(path, &byte, 1);
    }
    const uint64_t spent = bench::ThreadCpuNs() - start;
    if (sending) {
        std::vector<char> sent(kCostCalls);
        bench::RawReadUpTo(master, sent.data(), sent.size(), 1000000000u);
    }
    return spent;
}

void BM_CallCost(benchmark::State& state, bool sending) {
    TheLines();
    uint64_t driver = 0;
    uint64_t raw = 0;
    for (auto _ : state) {
        for (int round = 0; round < kCostRounds; ++round) {
            if (round % 2 == 0) {
                driver += CallsCpuNs(Path::kDriver, sending);
                raw += CallsCpuNs(Path::kRaw, sending);
            } else {
                raw += CallsCpuNs(Path::kRaw, sending);
                driver += CallsCpuNs(Path::kDriver, sending);
            }
        }
    }
    const double calls = double{kCostRounds} * kCostCalls;
    state.counters["driver_ns"] = static_cast<double>(driver) / calls;
    state.counters["raw_ns"] = static_cast<double>(raw) / calls;
}
BENCHMARK_CAPTURE(BM_CallCost, send, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CallCost, receive, false)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// Wake-up latency.

constexpr int kWakeSamples = 1500;          // per path
constexpr uint64_t kWriteDelayNs = 400000;  // the receiver is asleep in its wait by then

// Writes one byte on the far end of the line named by each request, after the receiver has had
// time to block, and publishes when it wrote it.
class Pinger {
  public:
    Pinger() : thread_([this] { Run(); }) {}
    ~Pinger() {
        master_.store(-1);
        go_.release();
        thread_.join();
    }
    void Request(int master) {
        written_.store(0);
        master_.store(master);
        go_.release();
    }
    uint64_t WrittenAt() const { return written_.load(); }

  private:
    void Run() {
        for (;;) {
            go_.acquire();
            const int master = master_.load();
            if (master < 0) return;
            bench::SleepNs(kWriteDelayNs);
            const char byte = 'x';
            written_.store(bench::NowNs());
            if (write(master, &byte, 1) != 1) std::perror("ping");
        }
    }
    std::binary_semaphore go_{0};
    std::atomic<int> master_{-1};
    std::atomic<uint64_t> written_{0};
    std::thread thread_;
};

void BM_WakeUp(benchmark::State& state) {
    TheLines();
    std::vector<double> driver;
    std::vector<double> raw;
    Pinger pinger;
    for (auto _ : state) {
        for (int i = 0; i < 2 * kWakeSamples; ++i) {
            const Path path = i % 2 == 0 ? Path::kDriver : Path::kRaw;
            char byte = 0;
            pinger.Request(g_lines->Master(path));
            if (Receive(path, &byte, 1) != 1) {
                state.SkipWithError("no byte");
                return;
            }
            const double us = static_cast<double>(bench::NowNs() - pinger.WrittenAt()) / 1000.0;
            (path == Path::kDriver ? driver : raw).push_back(us);
        }
    }
    state.counters["driver_median_us"] = bench::Median(driver);
    state.counters["driver_p99_us"] = bench::Percentile(driver, 0.99);
    state.counters["driver_max_us"] = bench::Percentile(driver, 1.0);
    state.counters["raw_median_us"] = bench::Median(raw);
    state.counters["raw_p99_us"] = bench::Percentile(raw, 0.99);
    state.counters["raw_max_us"] = bench::Percentile(raw, 1.0);
}
BENCHMARK(BM_WakeUp)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::PrepareProcess("data_path");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_lines.reset();
    bench::FinishProcess();
    return 0;
}
