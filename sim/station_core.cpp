#include "station_core.h"

#include "modem_core.h"

namespace sim {

void StationCore::SetReply(std::string request, std::string reply) {
    for (auto& [known, answer] : replies_) {
        if (known == request) {
            answer = std::move(reply);
            return;
        }
    }
    replies_.emplace_back(std::move(request), std::move(reply));
}

bool StationCore::Call(std::string_view number, uint64_t now) {
    if (peer_ != nullptr) return false;
    Route route = exchange_.Resolve(number);
    // Stations call modems only.
    auto* modem = dynamic_cast<ModemCore*>(route.party);
    if (modem == nullptr || modem->Busy()) return false;
    peer_ = modem;
    answered_ = false;
    modem->Offer(*this, now);
    return true;
}

void StationCore::HangUp(uint64_t now) {
    Party* peer = peer_;
    Release(now);
    if (peer != nullptr) peer->Release(now);
}

bool StationCore::Send(std::string_view bytes, uint64_t now) {
    if (!Connected()) return false;
    peer_->Data(bytes, now);
    return true;
}

bool StationCore::Connected() const {
    return Online() && peer_->Online();
}

void StationCore::Offer(Party& caller, uint64_t at) {
    peer_ = &caller;
    answered_ = true;
    caller.Answered(at);
}

void StationCore::Answered(uint64_t /*at*/) {
    answered_ = true;
}

void StationCore::Release(uint64_t /*at*/) {
    peer_ = nullptr;
    answered_ = false;
    unanswered_.clear();
}

void StationCore::Data(std::string_view bytes, uint64_t at) {
    received_.append(bytes);
    unanswered_.append(bytes);
    Answer(bytes, at);
}

// A configured request answers first (it may have come in pieces), then the reply to anything,
// then the echo of this chunk.
void StationCore::Answer(std::string_view chunk, uint64_t at) {
    const std::string* reply = nullptr;
    for (const auto& [request, answer] : replies_) {
        if (!request.empty() && unanswered_.size() >= request.size() &&
            unanswered_.compare(unanswered_.size() - request.size(), request.size(), request) ==
                0) {
            reply = &answer;
            break;
        }
    }
    std::string echo;
    if (reply == nullptr && replyToAny_) reply = &*replyToAny_;
    if (reply == nullptr && echo_) reply = &echo.assign(chunk);
    if (reply == nullptr || peer_ == nullptr) return;
    unanswered_.clear();
    peer_->Data(*reply, Later(at, replyDelayMs_));
}

}  // namespace sim
