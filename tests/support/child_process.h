// A second process of the test program that runs one named action, for tests about what another
// process does to the driver's shared objects (dies holding a mutex, is killed while it holds
// one). On POSIX the child is forked; on Windows the test program is started again with the
// arguments --korva-child <action> <mutex namespace> <time scale> <report handle> <argument>,
// which main() hands to RunChildActionIfAsked before GoogleTest starts.
//
// The child reports one result through a pipe rather than its exit status, which a sanitizer or
// the way it ends may change.
#pragma once

#include <cstdint>

// What an action uses to tell the parent how it went: Send once.
class ChildReport {
  public:
    explicit ChildReport(std::intptr_t channel) : channel_(channel) {}
    void Send(bool ok) const;

  private:
    std::intptr_t channel_;
};

// An action runs in the child with the argument its parent gave; the child ends when it returns
// (without releasing anything it holds), or stays until killed.
using ChildAction = void (*)(const char* argument, const ChildReport& report);

// Makes an action known by name to parent and child; define one at namespace scope (an inline
// variable in a header).
struct ChildActionRegistration {
    ChildActionRegistration(const char* name, ChildAction action);
};

class ChildProcess {
  public:
    // Starts `action` (a registered name) with `argument` in a new process.
    ChildProcess(const char* action, const char* argument);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return started_; }
    // Waits for the child's report: true when it sent success (false when it ended without one).
    bool Reported();
    // Waits until the child has ended on its own; true when it did.
    bool Wait();
    // Kills the child and waits until it is gone; true when it died of the kill.
    bool Kill();

  private:
    bool started_ = false;
    std::intptr_t process_ = 0;  // pid or process handle
    std::intptr_t report_ = -1;  // the reading end of the report pipe
};

// This test program's process id.
int CurrentProcessId();

// For main(): the mutex namespace that children share with this process (the time scale in
// force when a child starts goes with it).
void ShareWithChildren(const char* mutexNamespace);

// For main(), before GoogleTest sees the arguments: when the command line asks for a child
// action, sets the child up as its parent, runs the action and ends the process without
// returning. Otherwise returns at once.
void RunChildActionIfAsked(int argc, char** argv);
