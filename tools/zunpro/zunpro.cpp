// A small stand-in for the host's API library: logging, one client, a stoppable message wait and
// a table of gates. It is the host's, not the driver's: it may allocate and lock as it likes.
#include "korva/zunpro.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "zunpro_host.h"

#if defined(_WIN32)
#define ZUN_API extern "C" __declspec(dllexport)
#else
#define ZUN_API extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct Gate {
    uint8_t vpi;
    std::string address;
    double value = 0;
    unsigned writes = 0;
};

struct Line {
    int level;
    std::string text;
};

std::mutex g_lock;
std::condition_variable g_changed;
bool g_registered = false;
bool g_stop = false;
uint64_t g_waits = 0;
bool g_stepMode = false;
unsigned g_credits = 0;
bool g_waiting = false;
std::vector<Gate> g_gates;
int32_t g_failMkClient = 0;
int32_t g_failPutGateVal = 0;
bool g_capture = false;
bool g_echo = true;
std::vector<Line> g_lines;
FILE* g_logFile = nullptr;

FILE* LogFile() {
    if (g_logFile == nullptr) {
        const char* path = std::getenv("ZUNPRO_LOG");
        if (path != nullptr && *path != '\0') g_logFile = std::fopen(path, "a");
        if (g_logFile == nullptr) g_logFile = stderr;
    }
    return g_logFile;
}

void WriteLine(int level, const char* text) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    FILE* out = LogFile();
    std::fprintf(out, "%02d:%02d:%02d.%03ld [%d] %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<long>(ms.count()), level, text);
    std::fflush(out);
}

}  // namespace

ZUN_API void err(int level, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_echo) WriteLine(level, text);
    if (g_capture) {
        g_lines.push_back(Line{level, text});
        g_changed.notify_all();
    }
}

ZUN_API int32_t ZunMkClient(const char* /*name*/, int32_t, int32_t, uint8_t* client) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_failMkClient != 0) return g_failMkClient;
    g_registered = true;
    *client = 7;
    return 0;
}

ZUN_API int32_t ZunWaitMsg(uint8_t /*client*/, void* message, int32_t) {
    std::unique_lock<std::mutex> guard(g_lock);
    std::memset(message, 0, 24);
    ++g_waits;
    if (g_stepMode) {
        g_waiting = true;
        g_changed.notify_all();
        g_changed.wait(guard, [] { return g_stop || g_credits > 0 || !g_stepMode; });
        g_waiting = false;
        if (g_credits > 0 && !g_stop) --g_credits;
    }
    return g_stop ? 0 : 1;
}

ZUN_API int32_t ZunRmClient(uint8_t /*client*/) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_registered = false;
    g_changed.notify_all();
    return 0;
}

ZUN_API int32_t ZunGetGateIdByAddressStr(uint8_t /*client*/, uint8_t vpi, const char* address,
                                         uint32_t* gate) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (std::size_t i = 0; i < g_gates.size(); ++i) {
        if (g_gates[i].vpi == vpi && g_gates[i].address == address) {
            *gate = static_cast<uint32_t>(i + 1);
            return 0;
        }
    }
    return 1;
}

ZUN_API int32_t ZunPutGateVal(uint8_t /*client*/, uint32_t gate, int32_t, double value, int32_t,
                              int32_t) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_failPutGateVal != 0) return g_failPutGateVal;
    if (gate == 0 || gate > g_gates.size()) return 2;
    g_gates[gate - 1].value = value;
    ++g_gates[gate - 1].writes;
    g_changed.notify_all();
    return 0;
}

ZUN_API void ZunHostReset(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_registered = false;
    g_stop = false;
    g_waits = 0;
    g_stepMode = false;
    g_credits = 0;
    g_gates.clear();
    g_failMkClient = 0;
    g_failPutGateVal = 0;
    g_lines.clear();
    g_changed.notify_all();
}

ZUN_API void ZunHostRequestStop(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_stop = true;
    g_changed.notify_all();
}

ZUN_API int ZunHostClientRegistered(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_registered ? 1 : 0;
}

ZUN_API uint64_t ZunHostWaitCount(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_waits;
}

ZUN_API void ZunHostSetStepMode(int on) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_stepMode = on != 0;
    g_changed.notify_all();
}

ZUN_API int ZunHostRunCycles(unsigned cycles, unsigned timeoutMs) {
    std::unique_lock<std::mutex> guard(g_lock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // Wait until the client sits in ZunWaitMsg, grant the cycles, then wait until it has taken
    // them all and sits there again.
    if (!g_changed.wait_until(guard, deadline, [] { return g_waiting || g_stop; })) return 0;
    g_credits += cycles;
    g_changed.notify_all();
    return g_changed.wait_until(guard, deadline,
                                [] { return (g_credits == 0 && g_waiting) || g_stop; })
               ? 1
               : 0;
}

ZUN_API uint32_t ZunHostDefineGate(uint8_t vpi, const char* address) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_gates.push_back(Gate{vpi, address});
    return static_cast<uint32_t>(g_gates.size());
}

ZUN_API int ZunHostGateValue(uint32_t gate, double* value, unsigned* writes) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (gate == 0 || gate > g_gates.size()) return -1;
    if (value) *value = g_gates[gate - 1].value;
    if (writes) *writes = g_gates[gate - 1].writes;
    return 0;
}

ZUN_API void ZunHostFailMkClient(int32_t rc) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failMkClient = rc;
}

ZUN_API void ZunHostFailPutGateVal(int32_t rc) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failPutGateVal = rc;
}

ZUN_API void ZunHostCaptureLog(int on) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_capture = on != 0;
}

ZUN_API void ZunHostEchoLog(int on) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_echo = on != 0;
}

ZUN_API size_t ZunHostLogCount(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lines.size();
}

ZUN_API int ZunHostLogLine(size_t i, char* buffer, size_t size) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (i >= g_lines.size()) return -1;
    if (size > 0) std::snprintf(buffer, size, "%s", g_lines[i].text.c_str());
    return g_lines[i].level;
}

ZUN_API void ZunHostClearLog(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_lines.clear();
}

ZUN_API int ZunHostWaitLog(const char* text, unsigned timeoutMs) {
    std::unique_lock<std::mutex> guard(g_lock);
    auto found = [text] {
        for (const Line& line : g_lines)
            if (line.text.find(text) != std::string::npos) return true;
        return false;
    };
    return g_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), found) ? 1 : 0;
}
