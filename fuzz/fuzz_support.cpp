#include "fuzz_support.h"

#include <unistd.h>

#include "host/state.h"
#include "platform/platform.h"

void FuzzSetUp() {
    // A 1500 ms guard time becomes 1.5 us: the driver's pauses cost nothing per input.
    platform::SetTimeScale(1e-6);
    // KORVA_MUTEX_NAMESPACE, when set, leads the prefix, so that a runner can remove what a
    // crashed process left behind.
    const char* lead = std::getenv("KORVA_MUTEX_NAMESPACE");
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%s%d_", lead != nullptr ? lead : "korva_fuzz_",
                  static_cast<int>(getpid()));
    platform::SetMutexNamespace(prefix);
    std::atexit(platform::MutexUnlinkAll);
}

void FreshDriverState() {
    ResetStateForTest();
    FUZZ_CHECK(InitTables() == 0);
}
