// The supervision thread: once a second incoming calls, the periodic passive-modem reset and the
// connection supervision, paced by the host's message wait; then a short wait for connections
// to be released, and the stop.
#include "host/state.h"
#include "korva/zunpro.h"
#include "platform/platform.h"
#include "supervision/supervision.h"

namespace {

// 16 KiB would hold the cycle's own buffers (command texts and replies of 256 bytes), but the
// host's logging function runs on this stack too, and sanitizer builds need several times more;
// a larger stack costs only address space.
constexpr std::size_t kTaskStack = std::size_t{256} * 1024;

constexpr int32_t kShutdownStepMs = 500;
constexpr int32_t kShutdownBoundMs = 10000;

bool AnyConnectionConnected() {
    for (const ConnectionEntry& entry : Connections)
        if ((entry.flags.load() & kConnConnected) != 0) return true;
    return false;
}

// At least one scan and one pause; at most 21 of each.
void WaitForConnectionsToEnd() {
    int32_t waited = 0;
    bool allFree = false;
    do {
        allFree = !AnyConnectionConnected();
        waited += kShutdownStepMs;
        platform::SleepMs(kShutdownStepMs);
    } while (!allFree && waited <= kShutdownBoundMs);
}

}  // namespace

uint16_t StartTasks() {
    if (!platform::StartThread(Task, kTaskStack)) {
        err(kLog, "KORVA> StartTasks() error, starting thread, _beginthread() err");
        return 1;
    }
    return 0;
}

void Task() {
    if (Diagnose()) err(kLog, "KORVA> Task() thread started");
    uint32_t cycle = 0;
    uint8_t message[24];
    while ((ZunWaitMsg(HostClientId, message, 1) & 0xFFFF) != 0) {
        CheckIncomingCalls();
        // The reset runs on cycle P + 2 and then every P + 2 cycles.
        const uint32_t before = cycle++;
        if (before > Settings.resetPeriod) {
            cycle = 0;
            ResetPassiveModems(kAllPorts);
        }
        CheckConnections();
        platform::SleepMs(1000);
    }
    err(kLog, "KORVA> Task() thread exiting");
    WaitForConnectionsToEnd();
    ZunRmClient(HostClientId);
    StopFlag = 1;
}
