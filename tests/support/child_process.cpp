#include "support/child_process.h"

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

struct NamedAction {
    const char* name;
    ChildAction action;
};

constexpr int kMaxActions = 8;
NamedAction g_actions[kMaxActions];
int g_actionCount = 0;
std::string g_mutexNamespace;

ChildAction FindAction(const char* name) {
    for (int i = 0; i < g_actionCount; ++i)
        if (std::strcmp(g_actions[i].name, name) == 0) return g_actions[i].action;
    return nullptr;
}

// Runs the action in the child; an unknown name reports failure.
void RunInChild(const char* name, const char* argument, std::intptr_t channel) {
    const ChildReport report(channel);
    if (ChildAction action = FindAction(name))
        action(argument, report);
    else
        report.Send(false);
}

}  // namespace

ChildActionRegistration::ChildActionRegistration(const char* name, ChildAction action) {
    if (g_actionCount < kMaxActions) g_actions[g_actionCount++] = {name, action};
}

void ShareWithChildren(const char* mutexNamespace) {
    g_mutexNamespace = mutexNamespace;
}

#ifdef _WIN32

namespace {

// The exit code TerminateProcess gives a killed child, so that Kill can tell it from an end of
// the child's own.
constexpr UINT kKilledExitCode = 0xC0DE;

HANDLE AsHandle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

void ChildReport::Send(bool ok) const {
    const char state = ok ? '1' : '0';
    DWORD written = 0;
    WriteFile(AsHandle(channel_), &state, 1, &written, nullptr);
}

ChildProcess::ChildProcess(const char* action, const char* argument) {
    // The writing end is inherited by the child; the reading end stays here.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE reading = nullptr;
    HANDLE writing = nullptr;
    if (!CreatePipe(&reading, &writing, &inherit, 0)) return;
    SetHandleInformation(reading, HANDLE_FLAG_INHERIT, 0);
    report_ = reinterpret_cast<std::intptr_t>(reading);

    char program[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    char scale[32];
    std::snprintf(scale, sizeof scale, "%.17g", platform::TimeScale());
    const std::string command = "\"" + std::string(program, length) + "\" --korva-child " + action +
                                " \"" + g_mutexNamespace + "\" " + scale + " " +
                                std::to_string(reinterpret_cast<std::intptr_t>(writing)) + " \"" +
                                argument + "\"";
    std::string line = command;  // CreateProcessA may write into its command line
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (length > 0 && length < sizeof program &&
        CreateProcessA(program, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        process_ = reinterpret_cast<std::intptr_t>(info.hProcess);
        started_ = true;
    }
    // Only the child holds the writing end now, so a child that ends without a report ends the
    // parent's read too.
    CloseHandle(writing);
}

ChildProcess::~ChildProcess() {
    Kill();
    if (report_ != -1) CloseHandle(AsHandle(report_));
}

bool ChildProcess::Reported() {
    if (!started_) return false;
    char state = '0';
    DWORD received = 0;
    return ReadFile(AsHandle(report_), &state, 1, &received, nullptr) && received == 1 &&
           state == '1';
}

bool ChildProcess::Wait() {
    if (!started_) return false;
    const bool ended = WaitForSingleObject(AsHandle(process_), INFINITE) == WAIT_OBJECT_0;
    CloseHandle(AsHandle(process_));
    started_ = false;
    return ended;
}

bool ChildProcess::Kill() {
    if (!started_) return false;
    TerminateProcess(AsHandle(process_), kKilledExitCode);
    DWORD code = 0;
    const bool ended = WaitForSingleObject(AsHandle(process_), INFINITE) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(AsHandle(process_), &code) && code == kKilledExitCode;
    CloseHandle(AsHandle(process_));
    started_ = false;
    return ended;
}

int CurrentProcessId() {
    return _getpid();
}

void RunChildActionIfAsked(int argc, char** argv) {
    if (argc != 7 || std::strcmp(argv[1], "--korva-child") != 0) return;
    platform::SetMutexNamespace(argv[3]);
    double scale = 0;
    if (platform::ParseTimeScale(argv[4], &scale)) platform::SetTimeScale(scale);
    RunInChild(argv[2], argv[6], static_cast<std::intptr_t>(std::strtoll(argv[5], nullptr, 10)));
    // Ends at once, as a process that dies would: no destructors, nothing released.
    std::_Exit(0);
}

#else

void ChildReport::Send(bool ok) const {
    const char state = ok ? '1' : '0';
    if (write(static_cast<int>(channel_), &state, 1) != 1) _exit(1);
}

ChildProcess::ChildProcess(const char* action, const char* argument) {
    int report[2];
    if (pipe(report) != 0) return;
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        RunInChild(action, argument, report[1]);
        _exit(0);
    }
    close(report[1]);
    report_ = report[0];
    process_ = child;
    started_ = child > 0;
}

ChildProcess::~ChildProcess() {
    Kill();
    if (report_ != -1) close(static_cast<int>(report_));
}

bool ChildProcess::Reported() {
    if (!started_) return false;
    char state = '0';
    return read(static_cast<int>(report_), &state, 1) == 1 && state == '1';
}

bool ChildProcess::Wait() {
    if (!started_) return false;
    int status = 0;
    started_ = false;
    return waitpid(static_cast<pid_t>(process_), &status, 0) == process_;
}

bool ChildProcess::Kill() {
    if (!started_) return false;
    kill(static_cast<pid_t>(process_), SIGKILL);
    int status = 0;
    started_ = false;
    return waitpid(static_cast<pid_t>(process_), &status, 0) == process_ && WIFSIGNALED(status) &&
           WTERMSIG(status) == SIGKILL;
}

int CurrentProcessId() {
    return static_cast<int>(getpid());
}

// A forked child never comes back to main().
void RunChildActionIfAsked(int, char**) {}

#endif
