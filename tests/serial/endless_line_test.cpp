// A line that never stops sending must not hold the driver: purges and reply drains end.
#include <gtest/gtest.h>

#include <string>

#include "serial/modem.h"
#include "serial/serial.h"
#include "support/driver_test.h"
#include "support/script_device.h"

namespace {

using Op = ScriptDevice::Op;

TEST_F(DriverTest, PurgeOfAnEndlessStreamStopsAfterItsLimit) {
    ScriptDevice line;
    line.PresetReadTimeout(1000);
    line.Feed(std::string(200 * 1024, 'x'));
    EXPECT_EQ(ComPurgeInput(&line), 0);
    EXPECT_EQ(line.Count(Op::Read), 128u);
    EXPECT_GT(line.Available(), 0u);  // the rest stays for later
    EXPECT_EQ(line.Timeouts().readTotalTimeoutConstant, 1000u);
}

TEST_F(DriverTest, DrainOfAReplyWithoutLineEndStopsAfterOneBuffer) {
    ScriptDevice modem;
    modem.PresetReadTimeout(1000);
    modem.ReplyToWrite("AT\r");
    modem.Feed("\r\nOK" + std::string(10000, 'y'), 1);
    EXPECT_EQ(ModemCommand("AT\r", 1, &modem), kModemAccepted);
    size_t oneByteReads = 0;
    for (const ScriptDevice::Event& event : modem.Events(Op::Read))
        if (event.count == 1) ++oneByteReads;
    EXPECT_EQ(oneByteReads, 256u);
}

}  // namespace
