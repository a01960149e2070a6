// The test program: a time scale that keeps the driver's pauses short, mutex names of this
// process only, and the host stand-in capturing the log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "zunpro_host.h"

namespace {

class KorvaEnvironment : public ::testing::Environment {
public:
    void TearDown() override { platform::MutexUnlinkAll(); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (std::getenv("KORVA_TIME_SCALE") == nullptr) platform::SetTimeScale(0.01);
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "korva_test_%d_", static_cast<int>(getpid()));
    platform::SetMutexNamespace(prefix);
    ZunHostEchoLog(std::getenv("KORVA_TEST_LOG") != nullptr);
    ZunHostCaptureLog(1);
    ::testing::AddGlobalTestEnvironment(new KorvaEnvironment);
    return RUN_ALL_TESTS();
}
