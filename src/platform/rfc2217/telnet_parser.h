// The Telnet stream as a network serial port speaks it: a byte parser that splits data from
// commands, option negotiation and subnegotiations, a negotiator that answers WILL/WONT/DO/DONT,
// and the encoders for the other direction. Pure code over caller buffers: no sockets, no heap,
// so that both ends of the link share it and it can be fed any bytes (fuzzing).
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>

namespace platform::telnet {

// Telnet commands.
constexpr uint8_t kSe = 240;
constexpr uint8_t kNop = 241;
constexpr uint8_t kSb = 250;
constexpr uint8_t kWill = 251;
constexpr uint8_t kWont = 252;
constexpr uint8_t kDo = 253;
constexpr uint8_t kDont = 254;
constexpr uint8_t kIac = 255;

// Options.
constexpr uint8_t kOptionBinary = 0;
constexpr uint8_t kOptionEcho = 1;
constexpr uint8_t kOptionSga = 3;
constexpr uint8_t kOptionComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers with the same code
// plus kServerOffset.
constexpr uint8_t kSignature = 0;
constexpr uint8_t kSetBaudRate = 1;
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kNotifyLineState = 6;
constexpr uint8_t kNotifyModemState = 7;
constexpr uint8_t kFlowControlSuspend = 8;
constexpr uint8_t kFlowControlResume = 9;
constexpr uint8_t kSetLineStateMask = 10;
constexpr uint8_t kSetModemStateMask = 11;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;

// SET-PARITY and SET-STOPSIZE values (0 asks for the current value).
constexpr uint8_t kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4,
                  kParitySpace = 5;
constexpr uint8_t kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3;

// SET-CONTROL values.
constexpr uint8_t kControlRequestFlow = 0;
constexpr uint8_t kControlNoFlow = 1;
constexpr uint8_t kControlXonXoff = 2;
constexpr uint8_t kControlHardwareFlow = 3;
constexpr uint8_t kControlRequestBreak = 4;
constexpr uint8_t kControlBreakOn = 5;
constexpr uint8_t kControlBreakOff = 6;
constexpr uint8_t kControlRequestDtr = 7;
constexpr uint8_t kControlDtrOn = 8;
constexpr uint8_t kControlDtrOff = 9;
constexpr uint8_t kControlRequestRts = 10;
constexpr uint8_t kControlRtsOn = 11;
constexpr uint8_t kControlRtsOff = 12;

// Modem state bits: the line states in the high nibble (the same positions as the serial
// seam's kMs* bits), the change flags in the low one.
constexpr uint8_t kModemCts = 0x10, kModemDsr = 0x20, kModemRi = 0x40, kModemDcd = 0x80;
constexpr uint8_t kModemLines = 0xF0;

// PURGE-DATA values.
constexpr uint8_t kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3;

enum class EventType : uint8_t {
    kWill,
    kWont,
    kDo,
    kDont,
    kSubnegotiation,  // option in `value`, the bytes after it in `payload`
    kCommand,         // any other command (NOP, AYT, ...) in `value`
};

struct Event {
    EventType type = EventType::kCommand;
    uint8_t value = 0;
    const uint8_t* payload = nullptr;  // valid until the next Feed
    uint8_t length = 0;
};

struct FeedResult {
    std::size_t consumed = 0;  // input bytes taken
    std::size_t data = 0;      // data bytes stored
    bool event = false;        // an event completed with the last byte taken
};

// Splits a received Telnet stream. Sequences may be split anywhere between calls.
//
// Garbage never stops the stream: IAC followed by a byte that is not a command is dropped with
// that byte, SE outside a subnegotiation is ignored, and an IAC with anything but IAC or SE inside
// a subnegotiation abandons it (its SE was lost) and is taken as a command. A subnegotiation
// longer than kMaxPayload is dropped whole.
class Parser {
  public:
    static constexpr std::size_t kMaxPayload = 64;

    // Takes bytes from `in` until the input ends or an event completes, whichever comes first;
    // data bytes (IAC IAC undone) go to `data`, which has room for `n` bytes and may be `in`
    // itself. Data that precedes the event in the stream is stored in the same call.
    FeedResult Feed(const uint8_t* in, std::size_t n, uint8_t* data, Event* event);
    void Reset();

  private:
    enum class State : uint8_t { kData, kIac, kOption, kSbOption, kSb, kSbIac };

    bool Command(uint8_t byte, Event* event);
    void Append(uint8_t byte);

    State state_ = State::kData;
    uint8_t verb_ = 0;
    uint8_t option_ = 0;
    bool overflow_ = false;
    uint8_t length_ = 0;
    uint8_t payload_[kMaxPayload] = {};
};

// Option negotiation as RFC 1143 asks for it, without its queue: every request is answered once,
// nothing is answered that does not change the state, so two ends never loop.
class Negotiator {
  public:
    // Options this end performs itself (answers DO with WILL) and lets the peer perform
    // (answers WILL with DO). Anything else is refused.
    void Support(uint8_t option, bool local, bool remote);
    // Requests WILL (this end) or DO (the peer); writes the 3 bytes to send and returns 3, or
    // returns 0 when the option is already on or asked for.
    std::size_t AskLocal(uint8_t option, uint8_t* out);
    std::size_t AskRemote(uint8_t option, uint8_t* out);
    // Takes a WILL/WONT/DO/DONT event; writes the reply (0 or 3 bytes) and returns its length.
    std::size_t Answer(const Event& event, uint8_t* out);
    bool LocalOn(uint8_t option) const { return local_[option]; }
    bool RemoteOn(uint8_t option) const { return remote_[option]; }
    // Asked for and not answered yet.
    bool LocalPending(uint8_t option) const { return askedLocal_[option]; }
    bool RemotePending(uint8_t option) const { return askedRemote_[option]; }
    // Forgets the states, keeps what is supported.
    void Reset();

  private:
    std::bitset<256> supportLocal_, supportRemote_;
    std::bitset<256> local_, remote_, askedLocal_, askedRemote_;
};

// Copies data with every IAC doubled. Stops when the input ends or the output has no room for
// the next byte (never half of a doubled IAC); *consumed tells how far the input got.
std::size_t EscapeData(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t room,
                       std::size_t* consumed);

// IAC SB COM-PORT-OPTION command value IAC SE, IACs in the value doubled. `out` needs room for
// 6 + 2 * length bytes.
std::size_t ComPortFrame(uint8_t command, const uint8_t* value, std::size_t length, uint8_t* out);
// The same with a one-byte value.
std::size_t ComPortFrame(uint8_t command, uint8_t value, uint8_t* out);

}  // namespace platform::telnet
