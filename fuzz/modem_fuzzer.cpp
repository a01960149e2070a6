// The Hayes dialogue against a line that answers anything: ModemCommand in every mode, the
// exchange every reset uses (SendCommand) and the hang-up, on ports with and without a device.
//
// Checks: results are one of the three codes; a command is accepted only on what the modem sent
// (CONNECT for a dial, OK or silence after the echo for a command); an over-long command is
// refused before anything is written; every dialogue ends within the device's call bound (the
// bound is the finding for a loop that a garbled line keeps going); the hang-up ends by raising DTR
// and touches no device for a port without one.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz_device.h"
#include "fuzz_support.h"
#include "host/state.h"
#include "serial/command.h"
#include "serial/modem.h"

namespace {

constexpr const char* kCommands[] = {
    "AT\r",
    "ATZ\r",
    "+++",
    "ATH0\r",
    "ATDT0123456789\r",
    "ATDT\r",
    "ATE1V1Q0S0=0S11=55&C1&D2\r",
    "ATS0=1\r",
};

std::string PickCommand(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            return kCommands[input.ConsumeIntegralInRange<size_t>(
                0, sizeof kCommands / sizeof kCommands[0] - 1)];
        case 1:  // around the longest echo the reply buffer holds
            return std::string(input.ConsumeIntegralInRange<size_t>(250, 262), 'A') + "\r";
        default:
            return input.ConsumeRandomLengthString(400);
    }
}

void CheckModemCommand(FuzzedDataProvider& input, FuzzDevice& device) {
    const std::string command = PickCommand(input);
    const auto mode = input.ConsumeIntegral<uint8_t>();
    const bool noDevice = input.ConsumeIntegralInRange<int>(0, 15) == 15;
    device.BeginCall();
    const int rc = ModemCommand(command.c_str(), mode, noDevice ? nullptr : &device);
    FUZZ_CHECK(rc == kModemAccepted || rc == kModemNotWritten || rc == kModemRejected);
    const std::string sent = command.substr(0, command.find('\0'));  // what c_str() shows
    if (sent.size() > 256 || noDevice) {
        FUZZ_CHECK(rc == kModemNotWritten);
        FUZZ_CHECK(device.Calls() == 0);
    }
    if (rc != kModemAccepted) return;
    FUZZ_CHECK(device.Writes() == 1 && device.LastWrite() == sent);
    const std::string& heard = device.DeliveredSinceWrite();
    if (mode != 0) {
        FUZZ_CHECK(heard.find("OK") != std::string::npos || device.EmptyReadsSinceWrite() > 0);
    } else if (sent.find("ATDT") != std::string::npos) {
        FUZZ_CHECK(heard.find("CONNECT") != std::string::npos);
    } else {
        FUZZ_CHECK(sent.find("+++") != std::string::npos);
    }
}

void CheckSendCommand(FuzzedDataProvider& input, FuzzDevice& device) {
    const std::string text = input.ConsumeRandomLengthString(300);
    const auto timeout = input.ConsumeIntegral<int32_t>();
    device.BeginCall();
    SendCommand(&device, text.c_str(), timeout);
}

void CheckHangUp(FuzzedDataProvider& input, FuzzDevice& device) {
    const auto index = input.ConsumeIntegralInRange<uint8_t>(0, 40);
    const bool withDevice = index < kPortCount && input.ConsumeIntegralInRange<int>(0, 7) != 0;
    if (index < kPortCount) Ports[index].device = withDevice ? &device : nullptr;
    device.BeginCall();
    HangUpModem(index);
    if (!withDevice) {
        FUZZ_CHECK(device.Calls() == 0);
        return;
    }
    FUZZ_CHECK(device.LastEscape() == platform::kSetDtr);
    Ports[index].device = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    FreshDriverState();
    Settings.modemCommandTimeout = input.ConsumeIntegral<int32_t>();
    FuzzDevice device(input);
    for (int round = input.ConsumeIntegralInRange<int>(1, 4); round > 0; --round) {
        switch (input.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                CheckModemCommand(input, device);
                break;
            case 1:
                CheckSendCommand(input, device);
                break;
            default:
                CheckHangUp(input, device);
                break;
        }
    }
    return 0;
}
