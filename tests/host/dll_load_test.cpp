// KORVA.DLL as a Windows host loads it: from beside the program, its host services bound to the
// ZUNPRO.DLL the program has loaded, and reachable only through its seven exports.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "korva/vpi.h"
#include "support/driver_test.h"

namespace {

class DllLoadTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        driver_ = LoadLibraryA("KORVA.DLL");
        ASSERT_NE(driver_, nullptr) << "error " << GetLastError();
    }
    void TearDown() override {
        if (driver_ != nullptr) {
            EXPECT_TRUE(FreeLibrary(driver_));
        }
        DriverTest::TearDown();
    }
    FARPROC Find(const char* name) { return GetProcAddress(driver_, name); }

    HMODULE driver_ = nullptr;
};

TEST_F(DllLoadTest, ExportsTheSevenFunctionsOnly) {
    for (const char* name : {"VpiMain", "KORVA_Connect", "KORVA_Disconnect", "KORVA_Send",
                             "KORVA_Receive", "KORVA_Timeout", "KORVA_Flush"})
        EXPECT_NE(Find(name), nullptr) << name;
    for (const char* name : {"InitTables", "GetVpiInfo", "_VpiMain", "err"})
        EXPECT_EQ(Find(name), nullptr) << name;
}

// The driver's lines reach the host through the services imported from ZUNPRO.DLL.
TEST_F(DllLoadTest, VpiMainAnswersAndLogsThroughTheHost) {
    // Through void (*)(), the generic function pointer, as GetProcAddress results are cast.
    auto vpiMain =
        reinterpret_cast<int32_t (*)(KorvaRequest*)>(reinterpret_cast<void (*)()>(Find("VpiMain")));
    ASSERT_NE(vpiMain, nullptr);
    KorvaVpiInfo info{};
    KorvaRequest request{};
    request.function = 14;
    request.block = &info;
    EXPECT_EQ(vpiMain(&request), 0);
    EXPECT_EQ(info.version, 70u);
    EXPECT_STREQ(info.family, "Ruzov Ezora");
    EXPECT_EQ(CapturedLog(), (std::vector<LogLine>{{64, "KORVA> GetVpiInfo() exited"}}));
}

}  // namespace
