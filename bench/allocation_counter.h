// Counts heap allocations by who makes them. The program that links allocation_counter.cpp has
// its malloc family and operator new replaced by counting versions that forward to the C
// library's allocator.
//
// An allocation made while counting is on is the driver's when it happens
//   - on a thread the program did not start itself (the driver's supervision thread), or
//   - on one of the program's threads inside a DriverCall,
// and in neither case inside an OutsideCall, which marks the driver's calls out of itself: into
// the simulated modems and into the host's services. Those are counted apart, as are the
// program's own allocations outside any driver call.
#pragma once

#include <cstdint>

namespace counter {

// Marks the calling thread as one of the program's own (call first on each of them).
void MarkProgramThread();
// Loads what taking a stack trace needs, so that it allocates nothing later.
void Prime();

void Start();  // zeroes the counts and starts counting
void Stop();

struct Counts {
    uint64_t driver = 0;
    uint64_t outside = 0;  // simulated modems and host services, called by the driver
    uint64_t program = 0;  // the benchmark's own work between driver calls
};
Counts Current();

// Writes every call site of the driver's allocations (since the last Start) to stderr.
void ReportDriverSites();

class DriverCall {
  public:
    DriverCall();
    ~DriverCall();
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;
};

class OutsideCall {
  public:
    OutsideCall();
    ~OutsideCall();
    OutsideCall(const OutsideCall&) = delete;
    OutsideCall& operator=(const OutsideCall&) = delete;
};

}  // namespace counter
