// Caller identification with alarm sequences whose lengths do not fit their fields: the table is
// filled at cold start, but identification must not trust it to stay inside its buffers.
#include <cstring>
#include <string>

#include "supervision/supervision.h"
#include "support/driver_test.h"
#include "support/script_device.h"

namespace {

class CallerIdLimitsTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        Ports[0].device = &modem_;
        Ports[0].flags = kDEF | kOPN | kINP | kCON;
    }
    void TearDown() override {
        Ports[0].device = nullptr;
        DriverTest::TearDown();
    }

    static void Arm(AlarmSequence& sequence, const char* initials, const std::string& request,
                    uint16_t replyLength) {
        std::strcpy(sequence.initials, initials);
        std::memcpy(sequence.request, request.data(), request.size());
        sequence.requestLength = static_cast<uint16_t>(request.size());
        sequence.replyLength = replyLength;
        sequence.addressOffset = 0;
        sequence.addressKind = 'B';
    }

    ScriptDevice modem_;
};

// A request length beyond the 256-byte request field (found by fuzzing): the sequence is passed
// over, nothing behind the field goes out, and the next sequence identifies the station.
TEST_F(CallerIdLimitsTest, RequestLongerThanItsFieldIsPassedOver) {
    Arm(AlarmSequences[0], "MOD", "\x01\x02", 1);
    AlarmSequences[0].requestLength = 300;
    Arm(AlarmSequences[1], "MOD", "\x05\x06", 1);
    std::strcpy(Stations[0].initials, "MOD");
    Stations[0].vpi = 9;
    Stations[0].address = 7;
    StationCount = 1;
    modem_.ReplyToWrite("\x07");

    uint8_t vpi = 0;
    uint8_t address = 0;
    EXPECT_EQ(GetStationAddress(0, &vpi, &address), 0);
    EXPECT_EQ(vpi, 9);
    EXPECT_EQ(address, 7);
    EXPECT_EQ(modem_.Written(), "\x05\x06");
}

}  // namespace
