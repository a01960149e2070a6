// Heap allocations of the driver after cold start, over a full cycle of its work:
//   - gate definitions, reads and writes (including "$RESETAA"), and the VPI information;
//   - a dial-out, send, receive, read time-out, flush and disconnect;
//   - an incoming call rung in, answered, identified by an alarm telegram, handed over through
//     its answer-call gate, used and ended by the client;
//   - a dial-out whose carrier drops, ended by the supervision, then released by the client;
//   - send, receive, time-out, flush and disconnect on a pseudo-terminal port (tty backend).
// The cycle runs twice; both passes are counted, each on its own.
//
// The simulated modems and the host stand-in allocate as they like; they are not the driver.
// Every call the driver makes into them is wrapped here and counted apart (see
// allocation_counter.h): the modems' serial devices by a wrapping device, the six host
// services by definitions in this program that the driver's objects link against, which
// forward to the host stand-in's library.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "allocation_counter.h"
#include "host/state.h"
#include "korva/korva.h"
#include "korva/zunpro.h"
#include "platform/platform.h"
#include "pool/pool.h"
#include "sim/sim.h"
#include "support.h"
#include "zunpro_host.h"

#define BENCH_EXPORT __attribute__((visibility("default")))

// ---------------------------------------------------------------------------------------------
// The host's services, as the driver reaches them from this program.

namespace {

using ErrFunction = void (*)(int, const char*, ...);
using MkClientFunction = int32_t (*)(const char*, int32_t, int32_t, uint8_t*);
using WaitMsgFunction = int32_t (*)(uint8_t, void*, int32_t);
using RmClientFunction = int32_t (*)(uint8_t);
using GateIdFunction = int32_t (*)(uint8_t, uint8_t, const char*, uint32_t*);
using PutGateFunction = int32_t (*)(uint8_t, uint32_t, int32_t, double, int32_t, int32_t);

struct HostLibrary {
    ErrFunction err;
    MkClientFunction mkClient;
    WaitMsgFunction waitMsg;
    RmClientFunction rmClient;
    GateIdFunction gateId;
    PutGateFunction putGate;
};
HostLibrary g_host;

template <typename Function>
void Bind(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (function == nullptr) {
        std::fprintf(stderr, "allocation: %s not found in libzunpro.so\n", name);
        std::exit(1);
    }
}

void BindHostLibrary() {
    void* library = dlopen("libzunpro.so", RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) {
        std::fprintf(stderr, "allocation: libzunpro.so is not loaded\n");
        std::exit(1);
    }
    Bind(library, "err", g_host.err);
    Bind(library, "ZunMkClient", g_host.mkClient);
    Bind(library, "ZunWaitMsg", g_host.waitMsg);
    Bind(library, "ZunRmClient", g_host.rmClient);
    Bind(library, "ZunGetGateIdByAddressStr", g_host.gateId);
    Bind(library, "ZunPutGateVal", g_host.putGate);
}

}  // namespace

extern "C" {

BENCH_EXPORT void err(int level, const char* format, ...) {
    counter::OutsideCall outside;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_host.err(level, "%s", text);
}

BENCH_EXPORT int32_t ZunMkClient(const char* name, int32_t a, int32_t b, uint8_t* client) {
    counter::OutsideCall outside;
    return g_host.mkClient(name, a, b, client);
}

BENCH_EXPORT int32_t ZunWaitMsg(uint8_t client, void* message, int32_t a) {
    counter::OutsideCall outside;
    return g_host.waitMsg(client, message, a);
}

BENCH_EXPORT int32_t ZunRmClient(uint8_t client) {
    counter::OutsideCall outside;
    return g_host.rmClient(client);
}

BENCH_EXPORT int32_t ZunGetGateIdByAddressStr(uint8_t client, uint8_t vpi, const char* address,
                                              uint32_t* gate) {
    counter::OutsideCall outside;
    return g_host.gateId(client, vpi, address, gate);
}

BENCH_EXPORT int32_t ZunPutGateVal(uint8_t client, uint32_t gate, int32_t a, double value,
                                   int32_t b, int32_t c) {
    counter::OutsideCall outside;
    return g_host.putGate(client, gate, a, value, b, c);
}

}  // extern "C"

namespace {

// ---------------------------------------------------------------------------------------------
// The simulated modems' serial devices, each call marked as a call out of the driver.

class OutsideDevice final : public platform::SerialDevice {
  public:
    void Attach(platform::SerialDevice* inner) { inner_ = inner; }

    bool GetState(platform::Dcb& dcb) override {
        counter::OutsideCall outside;
        return inner_->GetState(dcb);
    }
    bool SetState(const platform::Dcb& dcb) override {
        counter::OutsideCall outside;
        return inner_->SetState(dcb);
    }
    bool GetTimeouts(platform::CommTimeouts& timeouts) override {
        counter::OutsideCall outside;
        return inner_->GetTimeouts(timeouts);
    }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        counter::OutsideCall outside;
        return inner_->SetTimeouts(timeouts);
    }
    bool Setup(uint32_t in, uint32_t out) override {
        counter::OutsideCall outside;
        return inner_->Setup(in, out);
    }
    bool Read(void* buffer, uint32_t count, uint32_t* received) override {
        counter::OutsideCall outside;
        return inner_->Read(buffer, count, received);
    }
    bool Write(const void* data, uint32_t count, uint32_t* written) override {
        counter::OutsideCall outside;
        return inner_->Write(data, count, written);
    }
    bool ClearError(uint32_t* inQueue) override {
        counter::OutsideCall outside;
        return inner_->ClearError(inQueue);
    }
    bool GetModemStatus(uint32_t* status) override {
        counter::OutsideCall outside;
        return inner_->GetModemStatus(status);
    }
    bool Escape(int function) override {
        counter::OutsideCall outside;
        return inner_->Escape(function);
    }
    bool Close() override {
        counter::OutsideCall outside;
        return inner_->Close();
    }

  private:
    platform::SerialDevice* inner_ = nullptr;
};

// COM1 dials out to station 555, COM2 answers at number 202, COM3 is a pseudo-terminal (through
// the device map, dedicated to VPI 9 so that dial entry 1 never takes it).
constexpr const char* kInitFile =
    "MODEM_COMMAND_TIMEOUT= 1000\n"
    "AA_GETPLCADDR_TIMEOUT= 3000\n"
    "DIAGNOSE = Y\n"
    "ALERT_SOUND = Y\n"
    "CONNECT_TIME_LIMIT_MIN = 30\n"
    "COM 1 = O 2400 , N , 8 , 1\n"
    "COM 2 = I 2400 , N , 8 , 1\n"
    "COM 3 = O 2400 , N , 8 , 1 9\n"
    "DIAL 1 = ATDT555 30\n"
    "ALARMSEQ 1 = MOD\n"
    "ALARMREQ = MOD 0103000A0001 7 W 4\n"
    "STATION = MOD 3 17\n";
const std::string kAlarmRequest("\x01\x03\x00\x0A\x00\x01", 6);
const std::string kAlarmReply("\x01\x03\x02\x00\x11\x5A\x5A", 7);  // station address 17
constexpr uint8_t kPtyPort = 2;                                    // COM3

class Rig {
  public:
    Rig() {
        scratch_.Link(kPtyPort + 1, pty_.SlavePath());
        scratch_.WriteInitFile(1, kInitFile);
        world_.AddModem("COM1", "201");
        world_.AddModem("COM2", "202");
        station_.SetEcho(true);
        caller_.SetReply(kAlarmRequest, kAlarmReply);
        caller_.SetEcho(true);
        answerGate_ = ZunHostDefineGate(3, "$A03-017");
        platform::SetSerialOpener(&Rig::Open, this);
    }
    ~Rig() {
        platform::SetSerialOpener(nullptr, nullptr);
        world_.Uninstall();
    }

    sim::Station& station() { return station_; }
    sim::Station& caller() { return caller_; }
    uint32_t answerGate() const { return answerGate_; }
    bench::Pty& pty() { return pty_; }

  private:
    // The simulated modems serve COM1 and COM2 behind an OutsideDevice; every other name goes
    // to the device map (COM3: the pseudo-terminal, through the tty backend).
    static platform::SerialDevice* Open(const char* name, bool* served, void* context) {
        auto& rig = *static_cast<Rig*>(context);
        const unsigned com = platform::ComNumber(name);
        *served = com == 1 || com == 2;
        if (!*served) return nullptr;
        rig.world_.Install();  // the simulated bank's own opener, for this one open
        platform::SerialDevice* inner = platform::SerialOpen(name);
        platform::SetSerialOpener(&Rig::Open, context);
        if (inner == nullptr) return nullptr;
        rig.devices_[com - 1].Attach(inner);
        return &rig.devices_[com - 1];
    }

    bench::Scratch scratch_;
    bench::Pty pty_;
    sim::World world_;
    sim::Station& station_ = world_.AddStation("555");
    sim::Station& caller_ = world_.AddStation("777");
    uint32_t answerGate_ = 0;
    OutsideDevice devices_[2];
};

// ---------------------------------------------------------------------------------------------
// The cycle. Driver calls made from this thread go through Call(); the supervision's work runs
// on the driver's own thread, whose allocations count throughout.

template <typename Function>
auto Call(Function function) {
    counter::DriverCall driver;
    return function();
}

bool Check(bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "allocation: %s failed\n", what);
    return ok;
}

int32_t Vpi(uint32_t function, void* block) {
    KorvaRequest request{};
    request.function = function;
    request.vpi = 1;
    request.block = block;
    return Call([&] { return VpiMain(&request); });
}

bool Gates() {
    struct Definition {
        const char* address;
        uint32_t function;
        uint32_t blockLength;
        bool accepted;  // a refused one is part of the work too: it logs why
    };
    const Definition definitions[] = {
        {"MOD02DCD", KORVA_FN_SINGLE_PARSE, 0, true},
        {"COM01CON", KORVA_FN_SINGLE_PARSE, 0, true},
        {"$DIAGNOSE", KORVA_FN_SINGLE_PARSE, 0, true},
        {"$ALERT_SOUND", KORVA_FN_SINGLE_PARSE, 0, true},
        {"$RESETAA", KORVA_FN_SINGLE_PARSE, 0, true},
        {"MOD02DTR", KORVA_FN_BLOCK_PARSE, 8, true},
        {"COM02DEF", KORVA_FN_BLOCK_PARSE, 7, true},
        {"MOD40DCD", KORVA_FN_SINGLE_PARSE, 0, false},
    };
    bool ok = true;
    for (const Definition& definition : definitions) {
        KorvaGateDefinition gate{};
        gate.address = definition.address;
        gate.gateType = 6;
        gate.blockLength = definition.blockLength;
        const int32_t parsed = Vpi(definition.function, &gate);
        ok &= Check((parsed == 0) == definition.accepted, definition.address);
        if (parsed != 0) continue;
        KorvaGateValue value{};
        KorvaGateAccess access{};
        access.address = definition.address;
        access.gateIndex = gate.gateIndex;
        access.gateKind = gate.gateKind;
        access.bitNumber = gate.bitNumber;
        access.single = definition.blockLength == 0 ? 1 : 0;
        access.value = &value;
        const bool single = access.single == 1;
        if (std::strcmp(definition.address, "$RESETAA") != 0)
            ok &= Check(Vpi(single ? KORVA_FN_SINGLE_READ : KORVA_FN_BLOCK_READ, &access) == 0,
                        "gate read");
        value.single = 1;
        if (single) ok &= Check(Vpi(KORVA_FN_SINGLE_WRITE, &access) == 0, "gate write");
        Vpi(KORVA_FN_BLOCK_WRITE, &access);  // refused: block writes are not supported
    }
    KorvaVpiInfo info{};
    ok &= Check(Vpi(KORVA_FN_GET_VPI_INFO, &info) == 0, "VPI information");
    return ok;
}

bool DialSendReceive(Rig& rig) {
    uint16_t reference = kNoReference;
    bool ok = Check(Call([&] { return KORVA_Connect(1, 500, &reference); }) == 0, "dial-out");
    char reply[8] = {};
    int32_t received = 0;
    ok &= Check(Call([&] { return KORVA_Send(reference, "PING", 4); }) == 0, "send");
    ok &= Check(
        Call([&] { return KORVA_Receive(reference, reply, 4, &received); }) == 0 && received == 4,
        "receive");
    ok &= Check(Call([&] { return KORVA_Timeout(reference, 200); }) == 0, "time-out");
    ok &= Check(Call([&] { return KORVA_Flush(reference); }) == 0, "flush");
    ok &= Check(Call([&] { return KORVA_Disconnect(reference); }) == 0, "disconnect");
    rig.station().ClearReceived();
    return ok;
}

// Supervision cycles until the answer-call gate has been written `writes` times in all.
bool RunCyclesUntilHandedOver(Rig& rig, unsigned writes) {
    for (int cycle = 0; cycle < 200; ++cycle) {
        unsigned done = 0;
        ZunHostGateValue(rig.answerGate(), nullptr, &done);
        if (done >= writes) return true;
        if (ZunHostRunCycles(1, 20000) == 0) return false;
    }
    return false;
}

bool IncomingCall(Rig& rig, unsigned pass) {
    bool ok = Check(rig.caller().Call("202"), "call in");
    ok &= Check(RunCyclesUntilHandedOver(rig, pass), "hand-over");
    double value = 0;
    ZunHostGateValue(rig.answerGate(), &value, nullptr);
    const auto reference = static_cast<uint32_t>(value);
    char reply[8] = {};
    int32_t received = 0;
    ok &= Check(Call([&] { return KORVA_Send(reference, "DATA", 4); }) == 0, "send (incoming)");
    ok &= Check(Call([&] { return KORVA_Receive(reference, reply, 4, &received); }) == 0,
                "receive (incoming)");
    ok &= Check(Call([&] { return KORVA_Disconnect(reference); }) == 0, "disconnect (incoming)");
    rig.caller().ClearReceived();
    return ok;
}

bool CarrierLost(Rig& rig) {
    uint16_t reference = kNoReference;
    bool ok = Check(Call([&] { return KORVA_Connect(1, 500, &reference); }) == 0, "dial-out 2");
    rig.station().HangUp();
    ok &= Check(ZunHostRunCycles(1, 20000) == 1, "supervision cycle");
    ok &= Check(Call([&] { return KORVA_Send(reference, "X", 1); }) == KORVA_STATUS_NOT_CONNECTED,
                "send after carrier loss");
    ok &= Check(Call([&] { return KORVA_Disconnect(reference); }) == 0, "release");
    return ok;
}

// A connection on the pseudo-terminal port, registered as the dial-out registers one; the far
// end is played from here between the calls. No supervision cycle runs meanwhile: a pty shows
// no carrier, and the supervision would end the line.
bool PtyDataPath(Rig& rig) {
    const int master = rig.pty().Master();
    uint16_t reference = kNoReference;
    bool ok = Check(Call([&] { return AddConnection(4, kPtyPort, 0, 0, &reference); }) == 0,
                    "connection on COM3");
    Ports[kPtyPort].connectionRef = reference;
    Ports[kPtyPort].flags.fetch_or(kCON);
    char block[64];
    std::memset(block, 'p', sizeof block);
    ok &= Check(Call([&] { return KORVA_Send(reference, block, sizeof block); }) == 0, "pty send");
    ok &= Check(bench::RawReadUpTo(master, block, sizeof block, 1000000000u) == sizeof block,
                "pty far end");
    bench::RawWriteAll(master, block, sizeof block);
    int32_t received = 0;
    ok &=
        Check(Call([&] { return KORVA_Receive(reference, block, sizeof block, &received); }) == 0 &&
                  received == sizeof block,
              "pty receive");
    ok &= Check(Call([&] { return KORVA_Timeout(reference, 300); }) == 0, "pty time-out");
    bench::RawWriteAll(master, block, 8);
    ok &= Check(Call([&] { return KORVA_Flush(reference); }) == 0, "pty flush");
    ok &= Check(Call([&] { return KORVA_Disconnect(reference); }) == 0, "pty disconnect");
    bench::RawDiscard(master);
    return ok;
}

bool RunCycle(Rig& rig, unsigned pass) {
    bool ok = Gates();
    ok &= DialSendReceive(rig);
    ok &= IncomingCall(rig, pass);
    ok &= CarrierLost(rig);
    ok &= PtyDataPath(rig);
    return ok;
}

// The counter must tell the three kinds of allocation apart.
bool CounterSeesAllocations() {
    counter::Start();
    int* driver = Call([] { return new int(1); });
    int* outside = Call([] {
        counter::OutsideCall call;
        return new int(2);
    });
    int* program = new int(3);
    counter::Stop();
    delete driver;
    delete outside;
    delete program;
    const counter::Counts counts = counter::Current();
    return counts.driver == 1 && counts.outside == 1 && counts.program == 1;
}

void BM_DriverAllocations(benchmark::State& state) {
    const double scale = platform::TimeScale();
    platform::SetTimeScale(0.01);
    for (auto _ : state) {
        if (!CounterSeesAllocations()) {
            state.SkipWithError("the counter does not see allocations");
            break;
        }
        ResetStateForTest();
        ZunHostReset();
        ZunHostSetStepMode(1);
        Rig rig;
        if (bench::ColdStartDriver() != 0) {
            state.SkipWithError("cold start failed");
            break;
        }
        bench::RawDiscard(rig.pty().Master());  // what cold start said to the silent "modem"
        bool ok = true;
        for (unsigned pass = 1; pass <= 2; ++pass) {
            counter::Start();
            ok &= RunCycle(rig, pass);
            counter::Stop();
            const counter::Counts counts = counter::Current();
            const std::string name = "pass" + std::to_string(pass);
            state.counters[name + "_driver"] = static_cast<double>(counts.driver);
            state.counters[name + "_outside"] = static_cast<double>(counts.outside);
            state.counters[name + "_program"] = static_cast<double>(counts.program);
            if (counts.driver != 0) {
                std::fprintf(stderr, "allocation: the driver allocated in pass %u:\n", pass);
                counter::ReportDriverSites();
            }
        }
        bench::StopDriver(10000);
        bench::CloseAllPorts();
        if (!ok) state.SkipWithError("the cycle did not go through");
    }
    platform::SetTimeScale(scale);
}
BENCHMARK(BM_DriverAllocations)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    counter::MarkProgramThread();
    counter::Prime();
    BindHostLibrary();
    benchmark::Initialize(&argc, argv);
    bench::PrepareProcess("allocation");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::FinishProcess();
    return 0;
}
