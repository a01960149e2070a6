// The gate address grammar and the gate reads and writes, with any address, gate type and block
// length, and access records as the definition produced them or made up (any gate index, kind,
// bit number and single flag), over a port table with a few ports in any state.
//
// Checks: an accepted gate has a kind, index and bit number that name a real signal, flag or
// command gate, and the parser's own limits (digital type, block length and first gate) hold;
// a read returns 0, 1 or 2, returns 2 exactly for a modem-signal gate of a port that is not open,
// delivers 0 or 1 as a single value and changes nothing when it fails; a write returns 0 or 1 and
// leaves the flags 0 or 1; the "$RESETAA" reset that a write may start ends within the bound.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

#include "fuzz_device.h"
#include "fuzz_support.h"
#include "gates/gates.h"
#include "host/state.h"

namespace {

constexpr uint32_t kUnwritten = 0xEEEEEEEEu;
constexpr uint8_t kBlockUnwritten = 0xEE;
constexpr uint16_t kSingleUnwritten = 0xEEEE;

std::string UpperCase(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool IsOpenPort(uint32_t index) {
    return index < kPortCount && (Ports[index].flags & kDEF) != 0 &&
           Ports[index].device.load() != nullptr;
}

void SetUpPorts(FuzzedDataProvider& input, FuzzDevice& device) {
    for (int count = input.ConsumeIntegralInRange<int>(0, 3); count > 0; --count) {
        PortEntry& port = Ports[input.ConsumeIntegralInRange<uint8_t>(0, kPortCount - 1)];
        port.flags = input.ConsumeIntegralInRange<uint32_t>(0, 0x7F);
        port.device = input.ConsumeBool() ? &device : nullptr;
    }
}

// The definition's outputs when it accepted the gate.
void CheckAccepted(const KorvaGateDefinition& gate, const std::string& address, int parser) {
    switch (gate.gateKind) {
        case '$': {
            const std::string name = UpperCase(address);
            FUZZ_CHECK(name == "$RESETAA" || name == "$DIAGNOSE" || name == "$ALERT_SOUND");
            FUZZ_CHECK(gate.gateIndex == 255 && gate.bitNumber == kUnwritten);
            FUZZ_CHECK(parser != 2);
            break;
        }
        case 'M':
            FUZZ_CHECK(address.size() == 8 && gate.gateIndex < kPortCount && gate.word32 == 1);
            FUZZ_CHECK(gate.bitNumber <= 7 && gate.bitNumber != 2 && gate.bitNumber != 3);
            if (parser == 2) FUZZ_CHECK(gate.blockLength == 8 && gate.bitNumber == 0);
            break;
        case 'C':
            FUZZ_CHECK(address.size() == 8 && gate.word32 == 1);
            FUZZ_CHECK(gate.gateIndex >= 16 && gate.gateIndex < 16 + kPortCount);
            FUZZ_CHECK(gate.bitNumber <= 6);
            if (parser == 2) FUZZ_CHECK(gate.blockLength == 7 && gate.bitNumber == 0);
            break;
        default:
            FUZZ_CHECK(false);
    }
    if (parser == 1) FUZZ_CHECK(gate.gateType == 6);
}

// Defines a gate from the input; true and the access record when it was accepted.
// `address` keeps the text the definition was handed.
bool Define(FuzzedDataProvider& input, std::string& address, KorvaGateAccess& access) {
    KorvaGateDefinition gate{};
    const bool missing = input.ConsumeIntegralInRange<int>(0, 31) == 31;
    address = missing ? std::string() : input.ConsumeRandomLengthString(300);
    gate.address = missing ? nullptr : address.c_str();
    const std::string written = address.substr(0, address.find('\0'));  // what c_str() shows
    gate.gateType = input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>() : 6;
    gate.blockLength = input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>()
                                           : input.ConsumeIntegralInRange<uint32_t>(6, 9);
    gate.gateIndex = gate.gateKind = gate.bitNumber = gate.word32 = kUnwritten;
    gate.word28 = 0;
    KorvaRequest request{};
    request.vpi = 3;
    request.block = &gate;
    const int parser = input.ConsumeIntegralInRange<int>(0, 2);
    const int32_t rc = parser == 0   ? Parse(&request)
                       : parser == 1 ? SingleAddressParser(&request)
                                     : BlockAddressParser(&request);
    FUZZ_CHECK(rc == 0 || rc == 1);
    FUZZ_CHECK(gate.word28 == -1);
    if (rc != 0) return false;
    CheckAccepted(gate, written, parser);
    access.gateIndex = gate.gateIndex;
    access.gateKind = gate.gateKind;
    access.bitNumber = gate.bitNumber;
    access.single = parser == 2 ? 0 : 1;
    return true;
}

void MakeUpAccess(FuzzedDataProvider& input, KorvaGateAccess& access) {
    constexpr uint32_t kKinds[] = {'$', 'M', 'C'};
    const auto kind = input.ConsumeIntegralInRange<int>(0, 3);
    access.gateKind = kind < 3 ? kKinds[kind] : input.ConsumeIntegral<uint32_t>();
    access.gateIndex = input.ConsumeBool() ? input.ConsumeIntegralInRange<uint32_t>(0, 60)
                                           : input.ConsumeIntegral<uint32_t>();
    access.bitNumber = input.ConsumeBool() ? input.ConsumeIntegralInRange<uint32_t>(0, 9)
                                           : input.ConsumeIntegral<uint32_t>();
    access.single = input.ConsumeBool() ? 1 : input.ConsumeIntegral<uint32_t>();
}

void CheckRead(const KorvaGateAccess& access, int32_t rc, const KorvaGateValue& value) {
    FUZZ_CHECK(rc == 0 || rc == 1 || rc == 2);
    FUZZ_CHECK((rc == 2) == (access.gateKind == 'M' && !IsOpenPort(access.gateIndex)));
    if (rc != 0) {
        FUZZ_CHECK(value.block == kBlockUnwritten && value.single == kSingleUnwritten);
        return;
    }
    if (access.gateKind == '$' || access.single == 1) {
        FUZZ_CHECK(value.single <= 1 && value.block == kBlockUnwritten);
    } else {
        FUZZ_CHECK(value.single == kSingleUnwritten);
        if (access.gateKind == 'M') FUZZ_CHECK((value.block & 0x0F) == 0x03);
    }
}

void Access(FuzzedDataProvider& input, KorvaGateAccess& access, FuzzDevice& device) {
    KorvaGateValue value{};
    value.block = kBlockUnwritten;
    value.single = kSingleUnwritten;
    access.value = &value;
    KorvaRequest request{};
    request.vpi = 3;
    request.block = &access;
    const uint32_t diagnose = Settings.diagnose;
    const uint32_t alertSound = Settings.alertSound;
    device.BeginCall();
    switch (input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            CheckRead(access, DoRead(&request), value);
            break;
        case 1:
            CheckRead(access, SingleRead(&request), value);
            break;
        case 2:
            CheckRead(access, BlockRead(&request), value);
            break;
        case 3: {
            value.single = input.ConsumeIntegral<uint16_t>();
            const int32_t rc = SingleWrite(&request);
            FUZZ_CHECK(rc == 0 || rc == 1);
            FUZZ_CHECK(Settings.diagnose <= 1 && Settings.alertSound <= 1);
            if (access.gateKind != '$' || rc != 0)
                FUZZ_CHECK(Settings.diagnose == diagnose && Settings.alertSound == alertSound);
            break;
        }
        default:
            FUZZ_CHECK(BlockWrite(&request) == 1);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    FreshDriverState();
    FuzzDevice device(input, 20000);
    SetUpPorts(input, device);
    for (int round = input.ConsumeIntegralInRange<int>(1, 3); round > 0; --round) {
        std::string address;
        KorvaGateAccess access{};
        const bool accepted = Define(input, address, access);
        if (!accepted || input.ConsumeIntegralInRange<int>(0, 3) == 3) {
            MakeUpAccess(input, access);
            if (input.ConsumeBool()) address = input.ConsumeRandomLengthString(20);
        }
        const bool missing = input.ConsumeIntegralInRange<int>(0, 31) == 31;
        access.address = missing ? nullptr : address.c_str();
        Access(input, access, device);
    }
    for (PortEntry& port : Ports)
        port.device = nullptr;
    return 0;
}
