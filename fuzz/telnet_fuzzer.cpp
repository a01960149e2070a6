// The Telnet stream parser, the option negotiator and the encoders, on any bytes.
//
// Checks: a stream gives the same data and events however it is split between calls, and in
// place as well as into another buffer; no call takes more than it was given or stores more data
// than it took, and a subnegotiation payload stays within its limit; escaped data and COM-PORT
// frames parse back to what was encoded; two negotiators that ask for options at random settle
// within a bounded exchange, agreeing on every option, with nothing left pending.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/rfc2217/telnet_parser.h"

namespace telnet = platform::telnet;

namespace {

// A stream as the parser reports it: the data, and every event in order with the amount of
// data stored before it.
struct Parsed {
    std::string data;
    std::vector<std::string> events;
    bool operator==(const Parsed&) const = default;
};

std::string Describe(const telnet::Event& event, size_t dataBefore) {
    FUZZ_CHECK(event.length <= telnet::Parser::kMaxPayload);
    FUZZ_CHECK((event.type == telnet::EventType::kSubnegotiation) == (event.payload != nullptr));
    std::string text = std::to_string(dataBefore) + ":" +
                       std::to_string(static_cast<int>(event.type)) + ":" +
                       std::to_string(event.value) + ":";
    if (event.payload != nullptr)
        text.append(reinterpret_cast<const char*>(event.payload), event.length);
    return text;
}

// Feeds `stream` in pieces of the given sizes (the last size repeats); in place when asked.
Parsed Parse(telnet::Parser& parser, const std::string& stream, const std::vector<size_t>& pieces,
             bool inPlace) {
    Parsed parsed;
    std::vector<uint8_t> bytes(stream.begin(), stream.end());
    std::vector<uint8_t> out(bytes.size() + 1);
    size_t at = 0;
    size_t piece = 0;
    while (at < bytes.size()) {
        const size_t want =
            pieces.empty() ? bytes.size() : pieces[std::min(piece++, pieces.size() - 1)];
        const size_t n = std::min(want, bytes.size() - at);
        uint8_t* data = inPlace ? bytes.data() + at : out.data();
        telnet::Event event;
        const telnet::FeedResult result = parser.Feed(bytes.data() + at, n, data, &event);
        FUZZ_CHECK(result.consumed <= n && result.data <= result.consumed);
        FUZZ_CHECK(result.consumed > 0 || n == 0);
        FUZZ_CHECK(!result.event || result.consumed > 0);
        parsed.data.append(reinterpret_cast<const char*>(data), result.data);
        if (result.event) parsed.events.push_back(Describe(event, parsed.data.size()));
        at += result.consumed;
    }
    return parsed;
}

void CheckSplitting(FuzzedDataProvider& input) {
    std::vector<size_t> pieces;
    for (int count = input.ConsumeIntegralInRange<int>(1, 8); count > 0; --count)
        pieces.push_back(input.ConsumeIntegralInRange<size_t>(1, 70));
    const std::string stream = input.ConsumeRandomLengthString(4096);
    telnet::Parser whole, split, inPlace;
    const Parsed expected = Parse(whole, stream, {}, false);
    FUZZ_CHECK(Parse(split, stream, pieces, false) == expected);
    FUZZ_CHECK(Parse(inPlace, stream, pieces, true) == expected);
}

void CheckEscaping(FuzzedDataProvider& input) {
    const std::string data = input.ConsumeRandomLengthString(512);
    const auto room = input.ConsumeIntegralInRange<size_t>(0, 2 * data.size() + 1);
    std::vector<uint8_t> out(room + 1);
    size_t consumed = 0;
    const size_t used = telnet::EscapeData(reinterpret_cast<const uint8_t*>(data.data()),
                                           data.size(), out.data(), room, &consumed);
    FUZZ_CHECK(used <= room && consumed <= data.size());
    size_t iacs = 0;
    for (size_t i = 0; i < consumed; ++i)
        iacs += static_cast<uint8_t>(data[i]) == telnet::kIac ? 1 : 0;
    FUZZ_CHECK(used == consumed + iacs);
    // Stopped only where the next byte did not fit.
    if (consumed < data.size())
        FUZZ_CHECK(used + (static_cast<uint8_t>(data[consumed]) == telnet::kIac ? 2 : 1) > room);
    telnet::Parser parser;
    const Parsed parsed =
        Parse(parser, std::string(reinterpret_cast<const char*>(out.data()), used), {}, false);
    FUZZ_CHECK(parsed.events.empty() && parsed.data == data.substr(0, consumed));
}

void CheckFrame(FuzzedDataProvider& input) {
    // The COM-PORT-OPTION commands, as a client and as a server sends them.
    const auto command = static_cast<uint8_t>(input.ConsumeIntegralInRange<int>(0, 12) +
                                              (input.ConsumeBool() ? telnet::kServerOffset : 0));
    const std::string value = input.ConsumeRandomLengthString(telnet::Parser::kMaxPayload);
    std::vector<uint8_t> out(6 + 2 * value.size());
    const size_t used = telnet::ComPortFrame(
        command, reinterpret_cast<const uint8_t*>(value.data()), value.size(), out.data());
    FUZZ_CHECK(used <= out.size());
    telnet::Parser parser;
    const Parsed parsed =
        Parse(parser, std::string(reinterpret_cast<const char*>(out.data()), used), {}, false);
    FUZZ_CHECK(parsed.data.empty());
    const std::string payload = std::string(1, static_cast<char>(command)) + value;
    if (payload.size() > telnet::Parser::kMaxPayload) {
        FUZZ_CHECK(parsed.events.empty());  // dropped whole
        return;
    }
    telnet::Event event{telnet::EventType::kSubnegotiation, telnet::kOptionComPort,
                        reinterpret_cast<const uint8_t*>(payload.data()),
                        static_cast<uint8_t>(payload.size())};
    FUZZ_CHECK(parsed.events.size() == 1 && parsed.events[0] == Describe(event, 0));
}

// One end of a negotiation: its negotiator, its parser and what it has to send.
struct End {
    telnet::Negotiator negotiator;
    telnet::Parser parser;
    std::string outbox;

    void Send(const uint8_t* bytes, size_t n) {
        outbox.append(reinterpret_cast<const char*>(bytes), n);
    }
    // Takes everything the other end sent; answers go to the outbox.
    void Receive(std::string& inbox) {
        std::vector<uint8_t> bytes(inbox.begin(), inbox.end());
        inbox.clear();
        std::vector<uint8_t> data(bytes.size() + 1);
        size_t at = 0;
        while (at < bytes.size()) {
            telnet::Event event;
            const telnet::FeedResult result =
                parser.Feed(bytes.data() + at, bytes.size() - at, data.data(), &event);
            FUZZ_CHECK(result.data == 0);  // negotiators send nothing but commands
            at += result.consumed;
            if (!result.event) continue;
            uint8_t answer[3];
            Send(answer, negotiator.Answer(event, answer));
        }
    }
};

void CheckNegotiation(FuzzedDataProvider& input) {
    End ends[2];
    std::vector<uint8_t> options;
    for (int count = input.ConsumeIntegralInRange<int>(1, 6); count > 0; --count)
        options.push_back(input.ConsumeIntegral<uint8_t>());
    for (End& end : ends)
        for (uint8_t option : options)
            end.negotiator.Support(option, input.ConsumeBool(), input.ConsumeBool());
    // Asks interleaved with partial deliveries; every message is 3 bytes.
    for (int step = input.ConsumeIntegralInRange<int>(1, 16); step > 0; --step) {
        End& end = ends[input.ConsumeBool() ? 1 : 0];
        End& other = &end == &ends[0] ? ends[1] : ends[0];
        const uint8_t option = options[input.ConsumeIntegralInRange<size_t>(0, options.size() - 1)];
        uint8_t request[3];
        switch (input.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                end.Send(request, end.negotiator.AskLocal(option, request));
                break;
            case 1:
                end.Send(request, end.negotiator.AskRemote(option, request));
                break;
            default:
                other.Receive(end.outbox);
                break;
        }
    }
    // Deliver until both are quiet: each message may cause one answer, and no answer is answered
    // again, so a few rounds always suffice.
    for (int round = 0; !ends[0].outbox.empty() || !ends[1].outbox.empty(); ++round) {
        FUZZ_CHECK(round < 8);
        ends[1].Receive(ends[0].outbox);
        ends[0].Receive(ends[1].outbox);
    }
    for (int option = 0; option < 256; ++option) {
        const auto o = static_cast<uint8_t>(option);
        FUZZ_CHECK(ends[0].negotiator.LocalOn(o) == ends[1].negotiator.RemoteOn(o));
        FUZZ_CHECK(ends[0].negotiator.RemoteOn(o) == ends[1].negotiator.LocalOn(o));
        for (const End& end : ends)
            FUZZ_CHECK(!end.negotiator.LocalPending(o) && !end.negotiator.RemotePending(o));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            CheckSplitting(input);
            break;
        case 1:
            CheckEscaping(input);
            break;
        case 2:
            CheckFrame(input);
            break;
        default:
            CheckNegotiation(input);
            break;
    }
    return 0;
}
