// Caller identification against any alarm sequences, station tables and replies. The sequences
// are filled straight into the table, with lengths, offsets and kinds the file reader would
// refuse, so that identification itself must keep every read inside the received reply.
//
// Checks: the result is 0 or 1 and the outputs are touched only on 0; the request written never
// reaches beyond the sequence's request field; an identified station is the first of the table
// with the initials of an armed sequence whose request was the last one sent, and its address is
// what that sequence's kind and offset give for the last reply, read inside that reply alone.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_device.h"
#include "fuzz_support.h"
#include "host/state.h"
#include "supervision/supervision.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
    const size_t length = text.size() < N ? text.size() : N - 1;
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

// Mostly small numbers, sometimes anything: the interesting values lie around the reply buffer.
uint16_t Length(FuzzedDataProvider& input) {
    return input.ConsumeBool() ? input.ConsumeIntegralInRange<uint16_t>(0, 300)
                               : input.ConsumeIntegral<uint16_t>();
}

char Kind(FuzzedDataProvider& input) {
    constexpr char kKinds[] = {'B', 'D', 'S', 'W'};
    const auto pick = input.ConsumeIntegralInRange<int>(0, 4);
    return pick < 4 ? kKinds[pick] : input.ConsumeIntegral<char>();
}

void FillTables(FuzzedDataProvider& input) {
    std::string initials[3];
    for (std::string& text : initials)
        text = input.ConsumeRandomLengthString(7);
    for (AlarmSequence& sequence : AlarmSequences) {
        CopyText(sequence.initials, initials[input.ConsumeIntegralInRange<int>(0, 2)]);
        sequence.requestLength = Length(input);
        sequence.replyLength = Length(input);
        sequence.addressOffset = Length(input);
        sequence.addressKind = Kind(input);
        const std::string request = input.ConsumeBytesAsString(
            input.ConsumeIntegralInRange<size_t>(0, sizeof sequence.request));
        std::memcpy(sequence.request, request.data(), request.size());
    }
    StationCount = input.ConsumeIntegralInRange<uint16_t>(0, kStationCount - 1);
    for (unsigned i = 0; i < StationCount; ++i) {
        CopyText(Stations[i].initials, initials[input.ConsumeIntegralInRange<int>(0, 2)]);
        Stations[i].vpi = input.ConsumeIntegral<uint8_t>();
        Stations[i].address = input.ConsumeIntegralInRange<uint16_t>(0, 300);
    }
}

// The address a sequence's kind and offset give for a reply, from the reply's bytes alone.
uint32_t AddressIn(const AlarmSequence& sequence, const std::string& reply) {
    const size_t offset = sequence.addressOffset;
    const auto byte = [&](size_t at) { return static_cast<uint8_t>(reply[at]); };
    switch (sequence.addressKind) {
        case 'B':
            return offset < reply.size() ? byte(offset) : kNone;
        case 'S':
            return offset + 1 < reply.size() ? byte(offset) + 256u * byte(offset + 1) : kNone;
        case 'W':
            return offset + 1 < reply.size() ? 256u * byte(offset) + byte(offset + 1) : kNone;
        case 'D': {
            if (offset >= reply.size()) return kNone;
            const std::string text = reply.substr(offset);  // c_str() ends it at the reply
            unsigned short value = 0;
            if (std::sscanf(text.c_str(), "%hu", &value) != 1) return kNone;
            return value;
        }
        default:
            return kNone;
    }
}

// True when the result is one an armed sequence whose request went out last explains.
bool Explained(const FuzzDevice& device, uint8_t vpi, uint8_t address) {
    for (const AlarmSequence& sequence : AlarmSequences) {
        if (sequence.initials[0] == '\0' || sequence.requestLength == 0) continue;
        if (sequence.requestLength > sizeof sequence.request) continue;
        const std::string request(reinterpret_cast<const char*>(sequence.request),
                                  sequence.requestLength);
        if (request != device.LastWrite()) continue;
        if (sequence.replyLength != device.LastReply().size()) continue;
        if (AddressIn(sequence, device.LastReply()) != address) continue;
        for (unsigned i = 0; i < StationCount; ++i) {
            const StationEntry& station = Stations[i];
            if (station.address != address || std::strcmp(station.initials, sequence.initials) != 0)
                continue;
            if (station.vpi == vpi) return true;
            break;  // the first station of these initials and address is the one
        }
    }
    return false;
}

// A decimal address of more digits than the C library reads exactly (beyond 64 bits) is not
// compared: the driver reads it modulo 2^32, the library saturates.
bool HasHugeNumber(const std::string& reply) {
    size_t run = 0;
    for (char c : reply) {
        run = (c >= '0' && c <= '9') ? run + 1 : 0;
        if (run > 18) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    FreshDriverState();
    FillTables(input);
    Settings.callerIdTimeout = input.ConsumeIntegral<int32_t>();
    const auto index = input.ConsumeIntegralInRange<uint8_t>(0, kPortCount - 1);
    FuzzDevice device(input);
    Ports[index].device = &device;
    Ports[index].flags = kDEF | kOPN | kINP | kCON;

    uint8_t vpi = 0xA5;
    uint8_t address = 0x5A;
    device.BeginCall();
    const int rc = GetStationAddress(index, &vpi, &address);
    FUZZ_CHECK(rc == 0 || rc == 1);
    FUZZ_CHECK(device.MaxWrite() <= sizeof AlarmSequence::request);
    FUZZ_CHECK(device.Writes() <= 5 * kAlarmSequenceCount);
    if (rc != 0) {
        FUZZ_CHECK(vpi == 0xA5 && address == 0x5A);
    } else if (!HasHugeNumber(device.LastReply())) {
        FUZZ_CHECK(Explained(device, vpi, address));
    }
    Ports[index].device = nullptr;
    return 0;
}
