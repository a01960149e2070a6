// What every fuzz target shares: a check that survives NDEBUG, the process set-up and a fresh
// driver state per input.
#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: report it and abort, so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", #condition, __FILE__, \
                         __LINE__);                                                        \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

// Once per process: pauses scaled to almost nothing, mutex names of this process only (removed
// at exit).
void FuzzSetUp();
// Before every input: the load-time state of the tables, then cold start's InitTables.
void FreshDriverState();
