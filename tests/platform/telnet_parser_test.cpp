#include "platform/rfc2217/telnet_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace platform::telnet;
using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* bytes, std::size_t n) {
    std::string text;
    char part[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(part, sizeof part, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += part;
    }
    return text;
}

std::string Describe(const Event& event) {
    static const char* const kNames[] = {"WILL", "WONT", "DO", "DONT", "SB", "CMD"};
    std::string text = kNames[static_cast<int>(event.type)];
    text += " " + std::to_string(event.value);
    if (event.type == EventType::kSubnegotiation)
        text += " [" + Hex(event.payload, event.length) + "]";
    return text;
}

// Feeds the stream in pieces cut at `cuts` and renders what comes out, in stream order: runs of
// data as "data:..." and one line per event.
std::vector<std::string> Parse(const Bytes& stream, const std::vector<std::size_t>& cuts = {}) {
    Parser parser;
    std::vector<std::string> out;
    Bytes data;
    auto flushData = [&] {
        if (!data.empty()) out.push_back("data:" + Hex(data.data(), data.size()));
        data.clear();
    };
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        std::size_t end = i < cuts.size() ? cuts[i] : stream.size();
        Bytes piece(stream.begin() + static_cast<long>(begin),
                    stream.begin() + static_cast<long>(end));
        std::size_t offset = 0;
        while (offset < piece.size()) {
            Bytes buffer(piece.size() - offset);
            Event event;
            FeedResult result =
                parser.Feed(piece.data() + offset, piece.size() - offset, buffer.data(), &event);
            EXPECT_GT(result.consumed, 0u);
            EXPECT_LE(result.data, result.consumed);
            data.insert(data.end(), buffer.begin(),
                        buffer.begin() + static_cast<long>(result.data));
            if (result.event) {
                flushData();
                out.push_back(Describe(event));
            }
            offset += result.consumed;
        }
        begin = end;
    }
    flushData();
    return out;
}

struct StreamCase {
    const char* name;
    Bytes stream;
    std::vector<std::string> expected;
};

std::vector<StreamCase> StreamCases() {
    Bytes longSb = {kIac, kSb, kOptionComPort};
    longSb.insert(longSb.end(), Parser::kMaxPayload + 1, 0x55);
    longSb.insert(longSb.end(), {kIac, kSe, 'k'});
    Bytes fullSb = {kIac, kSb, kOptionComPort};
    fullSb.insert(fullSb.end(), Parser::kMaxPayload, 0x66);
    fullSb.insert(fullSb.end(), {kIac, kSe});
    std::string fullPayload = Hex(fullSb.data() + 3, Parser::kMaxPayload);

    return {
        {"plain data", {'A', 'T', '\r'}, {"data:41 54 0d"}},
        {"doubled IAC", {1, kIac, kIac, 2, kIac, kIac, kIac, kIac}, {"data:01 ff 02 ff ff"}},
        {"negotiation",
         {kIac, kWill, 44, kIac, kDo, 0, kIac, kWont, 3, kIac, kDont, 1},
         {"WILL 44", "DO 0", "WONT 3", "DONT 1"}},
        {"data around an option", {'a', kIac, kDo, 44, 'b'}, {"data:61", "DO 44", "data:62"}},
        {"modem state notification", {kIac, kSb, 44, 107, 0x90, kIac, kSe}, {"SB 44 [6b 90]"}},
        {"IAC doubled inside a subnegotiation",
         {kIac, kSb, 44, 101, 0x00, 0x01, kIac, kIac, kIac, kIac, kIac, kSe, 'z'},
         {"SB 44 [65 00 01 ff ff]", "data:7a"}},
        {"empty subnegotiation of an unknown option", {kIac, kSb, 24, kIac, kSe}, {"SB 24 []"}},
        {"other commands", {kIac, kNop, kIac, 246}, {"CMD 241", "CMD 246"}},
        {"IAC before a non-command is dropped with it", {'x', kIac, 0x41, 'y'}, {"data:78 79"}},
        {"SE outside a subnegotiation is ignored", {kIac, kSe, 'z'}, {"data:7a"}},
        {"a subnegotiation that lost its SE gives way to the next command",
         {kIac, kSb, 44, 107, 0x80, kIac, kWill, 1, 'q'},
         {"WILL 1", "data:71"}},
        {"an overlong subnegotiation is dropped whole", longSb, {"data:6b"}},
        {"a subnegotiation of the maximal length is kept", fullSb, {"SB 44 [" + fullPayload + "]"}},
    };
}

TEST(TelnetParser, SplitsStreamsIntoDataAndEvents) {
    for (const StreamCase& c : StreamCases()) {
        EXPECT_EQ(Parse(c.stream), c.expected) << c.name;
    }
}

// A sequence cut anywhere, once or at every byte, gives what the whole stream gives.
TEST(TelnetParser, SequencesSplitAtAnyByteBoundaryParseTheSame) {
    for (const StreamCase& c : StreamCases()) {
        for (std::size_t cut = 1; cut < c.stream.size(); ++cut) {
            EXPECT_EQ(Parse(c.stream, {cut}), c.expected) << c.name << ", cut at " << cut;
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t cut = 1; cut < c.stream.size(); ++cut)
            everyByte.push_back(cut);
        EXPECT_EQ(Parse(c.stream, everyByte), c.expected) << c.name << ", byte by byte";
    }
}

// Arbitrary bytes never stall the parser or produce more data than they hold.
TEST(TelnetParser, SurvivesGarbage) {
    uint32_t seed = 12345;
    Bytes garbage(200000);
    for (uint8_t& byte : garbage) {
        seed = seed * 1103515245u + 12345u;
        uint8_t r = static_cast<uint8_t>(seed >> 16);
        // Mostly command bytes, so that every state is visited often.
        byte = (r & 3) != 0 ? static_cast<uint8_t>(240 + (r >> 4) % 16) : r;
    }
    Parse(garbage, {1, 2, 3, 1000, 1001, 77777});
    // A clean sequence after a subnegotiation is closed is understood again.
    Bytes tail = garbage;
    tail.insert(tail.end(), {0, kIac, kSe, kIac, kDo, 44});
    std::vector<std::string> out = Parse(tail);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), "DO 44");
}

TEST(TelnetEncoding, DoublesIacWithoutSplittingIt) {
    const Bytes in = {1, kIac, 2};
    uint8_t out[8];
    std::size_t consumed = 0;
    EXPECT_EQ(EscapeData(in.data(), in.size(), out, 2, &consumed), 1u);  // no half IAC pair
    EXPECT_EQ(consumed, 1u);
    EXPECT_EQ(EscapeData(in.data(), in.size(), out, 3, &consumed), 3u);
    EXPECT_EQ(consumed, 2u);
    EXPECT_EQ(Hex(out, 3), "01 ff ff");
    EXPECT_EQ(EscapeData(in.data(), in.size(), out, sizeof out, &consumed), 4u);
    EXPECT_EQ(consumed, 3u);
}

TEST(TelnetEncoding, EscapedDataAndFramesParseBack) {
    Bytes data;
    uint32_t seed = 7;
    for (int i = 0; i < 5000; ++i) {
        seed = seed * 1103515245u + 12345u;
        data.push_back((seed & 0x300000) != 0 ? kIac : static_cast<uint8_t>(seed >> 16));
    }
    Bytes stream(2 * data.size() + 16);
    std::size_t consumed = 0;
    std::size_t n = EscapeData(data.data(), data.size(), stream.data(), stream.size(), &consumed);
    ASSERT_EQ(consumed, data.size());
    const uint8_t baud[4] = {0x00, 0x01, 0xFF, 0xFF};
    n += ComPortFrame(kSetBaudRate, baud, sizeof baud, stream.data() + n);
    stream.resize(n);
    std::vector<std::string> out = Parse(stream);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], "data:" + Hex(data.data(), data.size()));
    EXPECT_EQ(out[1], "SB 44 [01 00 01 ff ff]");
}

Event Received(EventType type, uint8_t option) {
    return Event{type, option, nullptr, 0};
}

std::string Reply(Negotiator& negotiator, EventType type, uint8_t option) {
    uint8_t out[3];
    std::size_t n = negotiator.Answer(Received(type, option), out);
    return n == 0 ? "" : Hex(out, n);
}

TEST(TelnetNegotiator, AnswersOnlyWhatChangesTheState) {
    Negotiator n;
    n.Support(kOptionBinary, true, true);
    n.Support(kOptionComPort, true, false);
    EXPECT_EQ(Reply(n, EventType::kWill, 24), "ff fe 18");  // unknown: DONT
    EXPECT_EQ(Reply(n, EventType::kDo, 24), "ff fc 18");    // unknown: WONT
    EXPECT_EQ(Reply(n, EventType::kWill, 44), "ff fe 2c");  // we never let the peer do it
    EXPECT_EQ(Reply(n, EventType::kWill, 0), "ff fd 00");
    EXPECT_TRUE(n.RemoteOn(0));
    EXPECT_EQ(Reply(n, EventType::kWill, 0), "");  // already on
    EXPECT_EQ(Reply(n, EventType::kWont, 0), "ff fe 00");
    EXPECT_FALSE(n.RemoteOn(0));
    EXPECT_EQ(Reply(n, EventType::kWont, 0), "");  // already off
    EXPECT_EQ(Reply(n, EventType::kDont, 24), "");
}

TEST(TelnetNegotiator, RequestsEndWithTheAnswer) {
    uint8_t out[3];
    for (EventType answer : {EventType::kDo, EventType::kDont}) {
        Negotiator n;
        n.Support(kOptionComPort, true, false);
        ASSERT_EQ(n.AskLocal(kOptionComPort, out), 3u);
        EXPECT_EQ(Hex(out, 3), "ff fb 2c");
        EXPECT_EQ(n.AskLocal(kOptionComPort, out), 0u);  // asked once
        EXPECT_TRUE(n.LocalPending(kOptionComPort));
        EXPECT_EQ(Reply(n, answer, kOptionComPort), "");  // an answer is not answered
        EXPECT_FALSE(n.LocalPending(kOptionComPort));
        EXPECT_EQ(n.LocalOn(kOptionComPort), answer == EventType::kDo);
    }
}

// Two ends that both ask for everything at once settle without a loop.
TEST(TelnetNegotiator, TwoEndsAgreeWithoutLooping) {
    Negotiator client, server;
    client.Support(kOptionBinary, true, true);
    client.Support(kOptionSga, true, true);
    client.Support(kOptionComPort, true, false);
    server.Support(kOptionBinary, true, true);
    server.Support(kOptionSga, true, false);
    server.Support(kOptionComPort, false, true);
    Bytes toServer, toClient;
    uint8_t out[3];
    auto put = [](Bytes& to, const uint8_t* bytes, std::size_t n) {
        to.insert(to.end(), bytes, bytes + n);
    };
    put(toServer, out, client.AskLocal(kOptionBinary, out));
    put(toServer, out, client.AskRemote(kOptionBinary, out));
    put(toServer, out, client.AskLocal(kOptionComPort, out));
    put(toServer, out, client.AskRemote(kOptionSga, out));
    put(toServer, out, client.AskLocal(kOptionSga, out));  // the server will refuse this one
    put(toClient, out, server.AskLocal(kOptionBinary, out));
    put(toClient, out, server.AskRemote(kOptionBinary, out));
    put(toClient, out, server.AskRemote(kOptionComPort, out));
    int rounds = 0;
    while (!toServer.empty() || !toClient.empty()) {
        ASSERT_LT(++rounds, 10) << "negotiation does not settle";
        Bytes a, b;
        a.swap(toServer);
        b.swap(toClient);
        for (std::size_t i = 0; i + 2 < a.size(); i += 3)
            put(toClient, out,
                server.Answer(Received(static_cast<EventType>(a[i + 1] - kWill), a[i + 2]), out));
        for (std::size_t i = 0; i + 2 < b.size(); i += 3)
            put(toServer, out,
                client.Answer(Received(static_cast<EventType>(b[i + 1] - kWill), b[i + 2]), out));
    }
    EXPECT_TRUE(client.LocalOn(kOptionComPort));
    EXPECT_TRUE(server.RemoteOn(kOptionComPort));
    EXPECT_TRUE(client.LocalOn(kOptionBinary) && client.RemoteOn(kOptionBinary));
    EXPECT_TRUE(server.LocalOn(kOptionBinary) && server.RemoteOn(kOptionBinary));
    EXPECT_TRUE(client.RemoteOn(kOptionSga) && server.LocalOn(kOptionSga));
    EXPECT_FALSE(client.LocalOn(kOptionSga));
    EXPECT_FALSE(client.LocalPending(kOptionSga));
}

}  // namespace
