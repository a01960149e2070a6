#include "modem_core.h"

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"

namespace sim {

using hayes::Result;

uint64_t Later(uint64_t at, uint64_t driverMs) {
    uint64_t span = platform::ScaledNs(driverMs);
    return span >= kNever - at ? kNever : at + span;
}

ModemCore::ModemCore(Exchange& exchange, uint64_t worldStartNs)
    : exchange_(exchange), worldStartNs_(worldStartNs) {
    due_.fill(kNever);
    LoadFactoryProfile();
}

// The factory profile: echo, verbose results, DCD follows the carrier, a DTR drop hangs up,
// no auto-answer.
void ModemCore::LoadFactoryProfile() {
    s_.fill(0);
    s_[2] = '+';  // escape character
    s_[3] = '\r';
    s_[4] = '\n';
    s_[5] = '\b';
    s_[6] = 2;    // seconds to wait for a dial tone
    s_[7] = 50;   // seconds to wait for the carrier
    s_[8] = 2;    // comma pause
    s_[9] = 6;    // carrier detect time
    s_[10] = 14;  // carrier loss time
    s_[11] = 95;  // tone duration
    s_[12] = 50;  // escape guard time, fiftieths of a second
    echo_ = true;
    verbose_ = true;
    quiet_ = false;
    dcdFollowsCarrier_ = true;
    dtrMode_ = 2;
}

// ---------------------------------------------------------------------------------------------
// Serial side.

bool ModemCore::OpenDevice(uint64_t now) {
    if (deviceOpen_) return false;
    deviceOpen_ = true;
    toDte_.clear();
    SetDtr(true, now);  // opening the port raises DTR
    return true;
}

void ModemCore::CloseDevice(uint64_t now) {
    deviceOpen_ = false;
    toDte_.clear();
    SetDtr(false, now);  // and closing it drops DTR
}

bool ModemCore::Fails(Fault fault) {
    FaultState& state = faults_[static_cast<size_t>(fault)];
    if (!state.on) return false;
    if (state.allowed > 0) {
        --state.allowed;
        return false;
    }
    if (state.failures > 0 && --state.failures == 0) state = FaultState{};
    return true;
}

uint32_t ModemCore::Status(uint64_t now) const {
    if (Has(Fault::kPoweredOff)) return 0;
    uint32_t status = platform::kMsCtsOn | platform::kMsDsrOn;
    if (state_ == ModemState::kRinging && now >= ringStart_ &&
        now < Later(ringStart_, exchange_.timing.ringOnMs))
        status |= platform::kMsRingOn;
    if (!dcdFollowsCarrier_ || Online()) status |= platform::kMsRlsdOn;
    return status;
}

void ModemCore::SetDtr(bool high, uint64_t now) {
    if (high == dtr_) return;
    dtr_ = high;
    double ms = static_cast<double>(now - worldStartNs_) / 1e6 / platform::TimeScale();
    dtrHistory_.push_back(DtrChange{high, now, ms});
    if (high || Mute()) return;
    switch (dtrMode_) {
        case 1:  // to command mode, the call stays up
            if (state_ == ModemState::kOnline) {
                state_ = ModemState::kEscaped;
                due_[kEscape] = kNever;
                Reply(Result::kOk);
            }
            break;
        case 2:  // hang up
            if (OffHook()) {
                HangUp(now);
                Reply(Result::kNoCarrier);
            }
            break;
        case 3:  // hang up and reset
            HangUp(now);
            LoadFactoryProfile();
            break;
        default:  // &D0: ignored
            break;
    }
}

void ModemCore::Send(std::string_view bytes) {
    // Nothing reaches a closed port; a dead or hung modem sends nothing.
    if (!deviceOpen_ || Mute()) return;
    toDte_.append(bytes);
}

void ModemCore::Reply(Result result) {
    if (quiet_) return;
    Send(Garble(hayes::FormatResult(result, speed_, verbose_, static_cast<char>(s_[3]),
                                    static_cast<char>(s_[4]))));
}

void ModemCore::Info(std::string_view text) {
    Send(Garble(
        hayes::FormatInfo(text, verbose_, static_cast<char>(s_[3]), static_cast<char>(s_[4]))));
}

// Line noise on the modem's own texts: every byte but the line ends has its top bit flipped, so
// no result code can be recognised while the framing stays.
std::string ModemCore::Garble(std::string text) const {
    if (!Has(Fault::kGarbled)) return text;
    for (char& c : text)
        if (c != static_cast<char>(s_[3]) && c != static_cast<char>(s_[4]))
            c = static_cast<char>(c ^ 0x80);
    return text;
}

void ModemCore::FromDte(std::string_view bytes, uint64_t now) {
    if (Mute()) return;
    size_t i = 0;
    while (i < bytes.size()) {
        switch (state_) {
            case ModemState::kOnline:
                OnlineData(bytes.substr(i), now);
                return;
            case ModemState::kDialing:
            case ModemState::kAnswering:
                // A key pressed while waiting for the carrier abandons the call; the key itself
                // is swallowed.
                ++i;
                HangUp(now);
                Reply(Result::kNoCarrier);
                break;
            default:
                TypeInCommandMode(bytes[i++], now);
                break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Command mode.

void ModemCore::TypeInCommandMode(char c, uint64_t now) {
    if (echo_) Send(std::string_view(&c, 1));
    if (assembler_.Feed(c, static_cast<char>(s_[3]), static_cast<char>(s_[5])))
        ExecuteLine(assembler_.Line(), now);
}

void ModemCore::ExecuteLine(const std::string& line, uint64_t now) {
    commands_.push_back(line);
    if (Has(Fault::kErrorReplies) || assembler_.Overflowed()) {
        Reply(Result::kError);
        return;
    }
    hayes::CommandReader reader(std::string_view(line).substr(2));
    hayes::Command command;
    for (;;) {
        switch (reader.Next(command)) {
            case hayes::CommandReader::Status::kEnd:
                Reply(Result::kOk);
                return;
            case hayes::CommandReader::Status::kError:
                Reply(Result::kError);
                return;
            case hayes::CommandReader::Status::kCommand:
                break;
        }
        // Commands before a faulty one stay done, as on a real modem.
        switch (Execute(command, now)) {
            case Step::kNext:
                break;
            case Step::kError:
                Reply(Result::kError);
                return;
            case Step::kDone:
                return;
        }
    }
}

ModemCore::Step ModemCore::Execute(const hayes::Command& command, uint64_t now) {
    if (command.prefix == '&') return ExecuteAmpersand(command);
    switch (command.letter) {
        case 'A':
            return Answer(now);
        case 'D':
            return Dial(command.dial, now);
        case 'E':
            return SetFlag(command, &echo_);
        case 'Q':
            return SetFlag(command, &quiet_);
        case 'V':
            return SetFlag(command, &verbose_);
        case 'H':
            if (command.number != 0) return Step::kError;  // no off-hook on command
            HangUp(now);
            return Step::kNext;
        case 'O':
            return ReturnOnline(now);
        case 'Z':
            HangUp(now);
            LoadFactoryProfile();
            Reply(Result::kOk);
            return Step::kDone;  // the rest of the line is not read
        case 'S':
            if (command.op == hayes::Command::Op::kAssign) {
                s_[command.number] = static_cast<uint8_t>(command.value);
            } else if (command.op == hayes::Command::Op::kQuery) {
                char text[8];
                std::snprintf(text, sizeof text, "%03u", static_cast<unsigned>(s_[command.number]));
                Info(text);
            }
            return Step::kNext;
        case 'I':
            Info("KORVA SIM MODEM");
            return Step::kNext;
        case 'B':
        case 'L':
        case 'M':
        case 'N':
        case 'W':
        case 'X':
        case 'Y':
            return Step::kNext;  // line options and the speaker: nothing to simulate
        default:
            return Step::kError;
    }
}

ModemCore::Step ModemCore::ExecuteAmpersand(const hayes::Command& command) {
    switch (command.letter) {
        case 'C':
            if (command.number > 1) return Step::kError;
            dcdFollowsCarrier_ = command.number == 1;
            return Step::kNext;
        case 'D':
            if (command.number > 3) return Step::kError;
            dtrMode_ = command.number;
            return Step::kNext;
        case 'F':
            LoadFactoryProfile();
            return Step::kNext;
        case 'K':
        case 'Q':
        case 'S':
        case 'V':
        case 'W':
        case 'Y':
            return Step::kNext;  // flow control, DSR option, stored profiles: nothing to simulate
        default:
            return Step::kError;
    }
}

ModemCore::Step ModemCore::SetFlag(const hayes::Command& command, bool* flag) {
    if (command.number > 1) return Step::kError;
    *flag = command.number == 1;
    return Step::kNext;
}

ModemCore::Step ModemCore::Dial(const std::string& digits, uint64_t now) {
    if (OffHook() || digits.empty()) return Step::kError;
    if (state_ == ModemState::kRinging) {
        // Going off-hook to dial drops the call that was ringing in.
        Party* caller = peer_;
        peer_ = nullptr;
        EndCall();
        if (caller != nullptr) caller->Release(now);
    }
    state_ = ModemState::kDialing;
    due_[kCarrierWait] = Later(now, uint64_t{s_[7]} * 1000);
    if (Has(Fault::kNoDialTone)) {
        Finish(Result::kNoDialTone, Later(now, uint64_t{s_[6]} * 1000));
        return Step::kDone;
    }
    Route route = exchange_.Resolve(digits);
    if (route.party == this || (route.party != nullptr && route.party->Busy())) {
        Finish(Result::kBusy, Later(now, exchange_.timing.busyDelayMs));
    } else if (route.party == nullptr) {
        static constexpr Result kOutcomeResults[] = {Result::kBusy, Result::kNoAnswer,
                                                     Result::kNoCarrier, Result::kNoDialTone};
        Finish(kOutcomeResults[static_cast<int>(route.outcome)], Later(now, route.delayMs));
    } else {
        peer_ = route.party;
        route.party->Offer(*this, now);
    }
    return Step::kDone;
}

ModemCore::Step ModemCore::Answer(uint64_t now) {
    if (state_ == ModemState::kRinging) {
        StartAnswer(now);
        return Step::kDone;
    }
    if (OffHook()) return Step::kError;
    Reply(Result::kNoCarrier);  // nothing rings: no carrier to answer
    return Step::kDone;
}

ModemCore::Step ModemCore::ReturnOnline(uint64_t now) {
    if (state_ != ModemState::kEscaped) {
        Reply(Result::kNoCarrier);
        return Step::kDone;
    }
    state_ = ModemState::kOnline;
    lastDteData_ = now;
    plusCount_ = 0;
    Reply(Result::kConnect);
    return Step::kDone;
}

// ---------------------------------------------------------------------------------------------
// Online mode: data goes to the far end; "+++" framed by guard times (S12) escapes.

void ModemCore::OnlineData(std::string_view bytes, uint64_t now) {
    uint64_t guard = platform::ScaledNs(uint64_t{s_[12]} * 20);
    for (char c : bytes) {
        if (due_[kEscape] != kNever) {
            due_[kEscape] = kNever;  // data within the guard time after the pluses
            plusCount_ = 0;
        }
        if (s_[2] <= 127 && c == static_cast<char>(s_[2])) {
            uint64_t quiet = now - lastDteData_;
            if (plusCount_ > 0 && (guard == 0 || quiet < guard)) {
                ++plusCount_;
            } else {
                plusCount_ = quiet >= guard ? 1 : 0;
            }
            if (plusCount_ == 3) {
                plusCount_ = 0;
                due_[kEscape] = now + guard;
            }
        } else {
            plusCount_ = 0;
        }
        lastDteData_ = now;
    }
    if (peer_ != nullptr) peer_->Data(bytes, now);
}

// ---------------------------------------------------------------------------------------------
// The line side.

bool ModemCore::OffHook() const {
    return state_ == ModemState::kDialing || state_ == ModemState::kAnswering || Online();
}

bool ModemCore::Online() const {
    return state_ == ModemState::kOnline || state_ == ModemState::kEscaped;
}

void ModemCore::Offer(Party& caller, uint64_t at) {
    peer_ = &caller;
    state_ = ModemState::kRinging;
    ringCount_ = 0;
    s_[1] = 0;
    Ring(at);
}

void ModemCore::Answered(uint64_t at) {
    if (state_ == ModemState::kDialing) due_[kConnect] = Later(at, exchange_.timing.connectDelayMs);
}

void ModemCore::Release(uint64_t at) {
    (void)at;
    bool wasOffHook = OffHook();
    peer_ = nullptr;
    if (state_ == ModemState::kRinging || wasOffHook) EndCall();
    if (wasOffHook) Reply(Result::kNoCarrier);
}

void ModemCore::Data(std::string_view bytes, uint64_t at) {
    auto later = std::upper_bound(deliveries_.begin(), deliveries_.end(), at,
                                  [](uint64_t t, const Delivery& d) { return t < d.at; });
    deliveries_.insert(later, Delivery{at, std::string(bytes)});
}

void ModemCore::Ring(uint64_t at) {
    ++ringCount_;
    s_[1] = static_cast<uint8_t>(std::min(ringCount_, 255u));
    ringStart_ = at;
    due_[kRing] = Later(at, exchange_.timing.ringPeriodMs);
    Reply(Result::kRing);
    if (s_[0] > 0 && ringCount_ >= s_[0]) due_[kAnswer] = Later(at, exchange_.timing.ringOnMs);
}

bool ModemCore::AutoAnswerAllowed() const {
    // With &D2 a modem whose DTR is low does not answer.
    return state_ == ModemState::kRinging && !Has(Fault::kPoweredOff) && s_[0] > 0 &&
           ringCount_ >= s_[0] && !(dtrMode_ == 2 && !dtr_);
}

void ModemCore::StartAnswer(uint64_t at) {
    state_ = ModemState::kAnswering;
    due_[kRing] = due_[kAnswer] = kNever;
    due_[kConnect] = Later(at, exchange_.timing.connectDelayMs);
    if (peer_ != nullptr) peer_->Answered(at);
}

void ModemCore::CarrierUp(uint64_t at) {
    state_ = ModemState::kOnline;
    due_[kCarrierWait] = kNever;
    lastDteData_ = at;
    plusCount_ = 0;
    Reply(Result::kConnect);
}

void ModemCore::Finish(Result result, uint64_t at) {
    pendingResult_ = result;
    due_[kResult] = at;
}

void ModemCore::HangUp(uint64_t at) {
    if (!OffHook()) return;
    Party* peer = peer_;
    peer_ = nullptr;
    EndCall();
    if (peer != nullptr) peer->Release(at);
}

void ModemCore::EndCall() {
    state_ = ModemState::kCommand;
    due_.fill(kNever);
    deliveries_.clear();
    plusCount_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Time.

uint64_t ModemCore::NextDue() const {
    uint64_t next = *std::min_element(due_.begin(), due_.end());
    if (!deliveries_.empty()) next = std::min(next, deliveries_.front().at);
    return next;
}

void ModemCore::RunNext() {
    auto timer = std::min_element(due_.begin(), due_.end());
    if (!deliveries_.empty() && deliveries_.front().at < *timer) {
        Delivery delivery = std::move(deliveries_.front());
        deliveries_.pop_front();
        if (state_ == ModemState::kOnline) Send(delivery.bytes);
        return;
    }
    if (*timer == kNever) return;
    uint64_t at = *timer;
    *timer = kNever;
    Fire(static_cast<Timer>(timer - due_.begin()), at);
}

void ModemCore::Fire(Timer timer, uint64_t at) {
    switch (timer) {
        case kConnect:
            CarrierUp(at);
            break;
        case kCarrierWait:
            HangUp(at);
            Reply(Result::kNoCarrier);
            break;
        case kResult:
            HangUp(at);
            Reply(pendingResult_);
            break;
        case kRing:
            Ring(at);
            break;
        case kAnswer:
            if (AutoAnswerAllowed()) StartAnswer(at);
            break;
        case kEscape:
            state_ = ModemState::kEscaped;
            Reply(Result::kOk);
            break;
        case kTimerCount:
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Faults.

void ModemCore::SetFault(Fault fault, uint32_t after, uint32_t times, uint64_t now) {
    FaultState& state = faults_[static_cast<size_t>(fault)];
    bool wasOn = state.on;
    state = FaultState{true, after, times};
    if (fault == Fault::kPoweredOff && !wasOn) {
        HangUp(now);
        assembler_.Clear();
    }
}

void ModemCore::ClearFault(Fault fault) {
    FaultState& state = faults_[static_cast<size_t>(fault)];
    if (fault == Fault::kPoweredOff && state.on) {
        LoadFactoryProfile();
        assembler_.Clear();
    }
    state = FaultState{};
}

void ModemCore::DropCarrier(uint64_t now) {
    if (!Online()) return;
    HangUp(now);
    Reply(Result::kNoCarrier);
}

}  // namespace sim
