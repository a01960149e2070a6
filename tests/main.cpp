// The test program: a time scale that keeps the driver's pauses short, mutex names of this
// process only, and the host stand-in capturing the log. Started with --korva-child, it is the
// second process of a test instead (support/child_process.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "support/child_process.h"
#include "zunpro_host.h"

namespace {

class KorvaEnvironment : public ::testing::Environment {
  public:
    void TearDown() override { platform::MutexUnlinkAll(); }
};

}  // namespace

int main(int argc, char** argv) {
    ZunHostEchoLog(std::getenv("KORVA_TEST_LOG") != nullptr);
    ZunHostCaptureLog(1);
    RunChildActionIfAsked(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    if (std::getenv("KORVA_TIME_SCALE") == nullptr) platform::SetTimeScale(0.01);
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "korva_test_%d_", CurrentProcessId());
    platform::SetMutexNamespace(prefix);
    ShareWithChildren(prefix);
    ::testing::AddGlobalTestEnvironment(new KorvaEnvironment);
    return RUN_ALL_TESTS();
}
