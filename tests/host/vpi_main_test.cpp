#include <cstring>

#include "host/vpi.h"
#include "korva/vpi.h"
#include "support/driver_test.h"

namespace {

class VpiMainTest : public DriverTest {
protected:
    int32_t Call(uint32_t function, void* block = nullptr) {
        KorvaRequest request{};
        request.function = function;
        request.block = block;
        return VpiMain(&request);
    }
};

TEST_F(VpiMainTest, RefusesNumbersAboveSixteen) {
    EXPECT_EQ(Call(17), 2);
    EXPECT_EQ(Call(0xFFFFFFFFu), 2);
    EXPECT_EQ(CapturedLog(),
              (std::vector<LogLine>{
                  {32, "KORVA> VpiMain() Invalid function number (17) requested rc = 2"},
                  {32, "KORVA> VpiMain() Invalid function number (-1) requested rc = 2"}}));
}

TEST_F(VpiMainTest, RefusesEmptySlots) {
    for (uint32_t number : {0u, 8u, 9u, 16u}) {
        ZunHostClearLog();
        EXPECT_EQ(Call(number), 2) << number;
        EXPECT_EQ(CapturedTexts(),
                  std::vector<std::string>{"KORVA> VpiMain() Invalid function number (" +
                                           std::to_string(number) +
                                           ") requested VpiFunc[] = 0 rc = 2"});
    }
}

TEST_F(VpiMainTest, SmallFunctions) {
    struct Case {
        uint32_t function;
        int32_t result;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {2, 0, {}},
        {11, 0, {"KORVA> EndVpi() called", "KORVA> EndVpi() exited"}},
        {12, 1, {"KORVA> CloseCom() not supported!"}},
        {13, 1, {"KORVA> ReOpenCom() not supported!"}},
    };
    for (const Case& c : cases) {
        ZunHostClearLog();
        EXPECT_EQ(Call(c.function), c.result) << c.function;
        EXPECT_EQ(CapturedTexts(), c.log) << c.function;
        for (const LogLine& line : CapturedLog()) EXPECT_EQ(line.level, 32);
    }
}

TEST_F(VpiMainTest, AfterTheStopEveryCallReturnsZeroSilently) {
    StopFlag = 1;
    KorvaVpiInfo info{};
    for (uint32_t number : {0u, 1u, 2u, 8u, 11u, 12u, 14u, 16u, 17u, 0xFFFFFFFFu})
        EXPECT_EQ(Call(number, &info), 0) << number;
    EXPECT_TRUE(CapturedLog().empty());
    EXPECT_EQ(info.version, 0u);
}

TEST_F(VpiMainTest, GetVpiInfoFillsItsBlockAndLeavesTheReservedWords) {
    KorvaVpiInfo info{};
    info.reserved0 = 0xAAAA5555u;
    info.reserved1 = 0x12345678u;
    EXPECT_EQ(Call(14, &info), 0);
    EXPECT_EQ(info.version, 70u);
    EXPECT_STREQ(info.family, "Ruzov Ezora");
    EXPECT_EQ(info.banner, VpiBanner());
    EXPECT_EQ(info.word12, 1u);
    EXPECT_EQ(info.word16, 1u);
    EXPECT_EQ(info.word28, 1u);
    EXPECT_EQ(info.reserved0, 0xAAAA5555u);
    EXPECT_EQ(info.reserved1, 0x12345678u);
    EXPECT_EQ(CapturedLog(), (std::vector<LogLine>{{64, "KORVA> GetVpiInfo() exited"}}));
}

TEST(VpiBanner, IsTheFramedCodePage437Box) {
    const std::string banner = VpiBanner();
    ASSERT_EQ(banner.size(), 222u);
    const std::string horizontal(71, '\xCD');
    const std::string expected =
        std::string("\b") + "\xC9" + horizontal + "\xBB\n" + "\xBA" +
        " KORVA:    Ruzov  Ezora  VPI  loaded  . . .            (32-bit driver) " + "\xBA\n" +
        "\xC8" + horizontal + "\xBC";
    EXPECT_EQ(banner, expected);
    // The middle line, frame included, is 73 bytes.
    const size_t start = banner.find('\n') + 1;
    EXPECT_EQ(banner.find('\n', start) - start, 73u);
}

}  // namespace
