// The Telnet stream parser, negotiator and encoders.
#include "platform/rfc2217/telnet_parser.h"

namespace platform::telnet {

FeedResult Parser::Feed(const uint8_t* in, std::size_t n, uint8_t* data, Event* event) {
    FeedResult result;
    while (result.consumed < n) {
        uint8_t byte = in[result.consumed++];
        switch (state_) {
            case State::kData:
                if (byte == kIac) {
                    state_ = State::kIac;
                } else {
                    data[result.data++] = byte;
                }
                break;
            case State::kIac:
                state_ = State::kData;
                if (byte == kIac) {
                    data[result.data++] = byte;
                } else if (Command(byte, event)) {
                    result.event = true;
                    return result;
                }
                break;
            case State::kOption:
                state_ = State::kData;
                *event = Event{};
                event->type = verb_ == kWill   ? EventType::kWill
                              : verb_ == kWont ? EventType::kWont
                              : verb_ == kDo   ? EventType::kDo
                                               : EventType::kDont;
                event->value = byte;
                result.event = true;
                return result;
            case State::kSbOption:
                option_ = byte;
                length_ = 0;
                overflow_ = false;
                state_ = State::kSb;
                break;
            case State::kSb:
                if (byte == kIac) {
                    state_ = State::kSbIac;
                } else {
                    Append(byte);
                }
                break;
            case State::kSbIac:
                if (byte == kIac) {
                    Append(byte);
                    state_ = State::kSb;
                    break;
                }
                state_ = State::kData;
                if (byte == kSe) {
                    if (overflow_) break;
                    *event = Event{EventType::kSubnegotiation, option_, payload_, length_};
                    result.event = true;
                    return result;
                }
                // Any other command ends a subnegotiation whose SE never came.
                if (Command(byte, event)) {
                    result.event = true;
                    return result;
                }
                break;
        }
    }
    return result;
}

// The byte after an IAC (not IAC itself): true when it completes an event.
bool Parser::Command(uint8_t byte, Event* event) {
    if (byte >= kWill) {
        verb_ = byte;
        state_ = State::kOption;
        return false;
    }
    if (byte == kSb) {
        state_ = State::kSbOption;
        return false;
    }
    if (byte <= kSe) return false;  // a stray SE, or no command at all
    *event = Event{EventType::kCommand, byte, nullptr, 0};
    return true;
}

void Parser::Append(uint8_t byte) {
    if (length_ < kMaxPayload) {
        payload_[length_++] = byte;
    } else {
        overflow_ = true;
    }
}

void Parser::Reset() {
    state_ = State::kData;
    length_ = 0;
    overflow_ = false;
}

namespace {

std::size_t Put(uint8_t verb, uint8_t option, uint8_t* out) {
    out[0] = kIac;
    out[1] = verb;
    out[2] = option;
    return 3;
}

// The peer offers (WILL) or asks for (DO) an option.
std::size_t Enable(uint8_t option, std::bitset<256>& on, std::bitset<256>& asked,
                   const std::bitset<256>& supported, uint8_t yes, uint8_t no, uint8_t* out) {
    if (on[option]) {
        asked.reset(option);
        return 0;
    }
    if (asked[option]) {  // the answer to our own request (only supported options are asked)
        asked.reset(option);
        on.set(option);
        return 0;
    }
    if (supported[option]) {
        on.set(option);
        return Put(yes, option, out);
    }
    return Put(no, option, out);
}

// The peer refuses (WONT/DONT) or ends an option.
std::size_t Disable(uint8_t option, std::bitset<256>& on, std::bitset<256>& asked, uint8_t no,
                    uint8_t* out) {
    if (asked[option]) {  // our request refused
        asked.reset(option);
        on.reset(option);
        return 0;
    }
    if (on[option]) {
        on.reset(option);
        return Put(no, option, out);
    }
    return 0;
}

}  // namespace

void Negotiator::Support(uint8_t option, bool local, bool remote) {
    supportLocal_[option] = local;
    supportRemote_[option] = remote;
}

std::size_t Negotiator::AskLocal(uint8_t option, uint8_t* out) {
    if (local_[option] || askedLocal_[option]) return 0;
    askedLocal_.set(option);
    return Put(kWill, option, out);
}

std::size_t Negotiator::AskRemote(uint8_t option, uint8_t* out) {
    if (remote_[option] || askedRemote_[option]) return 0;
    askedRemote_.set(option);
    return Put(kDo, option, out);
}

std::size_t Negotiator::Answer(const Event& event, uint8_t* out) {
    uint8_t option = event.value;
    switch (event.type) {
        case EventType::kWill:
            return Enable(option, remote_, askedRemote_, supportRemote_, kDo, kDont, out);
        case EventType::kWont:
            return Disable(option, remote_, askedRemote_, kDont, out);
        case EventType::kDo:
            return Enable(option, local_, askedLocal_, supportLocal_, kWill, kWont, out);
        case EventType::kDont:
            return Disable(option, local_, askedLocal_, kWont, out);
        default:
            return 0;
    }
}

void Negotiator::Reset() {
    local_.reset();
    remote_.reset();
    askedLocal_.reset();
    askedRemote_.reset();
}

std::size_t EscapeData(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t room,
                       std::size_t* consumed) {
    std::size_t used = 0;
    std::size_t taken = 0;
    for (; taken < n; ++taken) {
        std::size_t need = in[taken] == kIac ? 2 : 1;
        if (used + need > room) break;
        out[used++] = in[taken];
        if (need == 2) out[used++] = kIac;
    }
    *consumed = taken;
    return used;
}

std::size_t ComPortFrame(uint8_t command, const uint8_t* value, std::size_t length, uint8_t* out) {
    std::size_t used = 0;
    out[used++] = kIac;
    out[used++] = kSb;
    out[used++] = kOptionComPort;
    out[used++] = command;
    std::size_t consumed = 0;
    used += EscapeData(value, length, out + used, 2 * length, &consumed);
    out[used++] = kIac;
    out[used++] = kSe;
    return used;
}

std::size_t ComPortFrame(uint8_t command, uint8_t value, uint8_t* out) {
    return ComPortFrame(command, &value, 1, out);
}

}  // namespace platform::telnet
