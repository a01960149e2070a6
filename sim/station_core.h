// A remote station: answers calls at once, answers requests with configured replies, echoes
// data if asked to, and keeps everything it received. Single-threaded like the modem.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "exchange.h"

namespace sim {

class StationCore final : public Party {
  public:
    explicit StationCore(Exchange& exchange) : exchange_(exchange) {}

    void SetReply(std::string request, std::string reply);
    void SetReplyToAny(std::string reply) { replyToAny_ = std::move(reply); }
    void SetEcho(bool on) { echo_ = on; }
    void SetReplyDelay(uint32_t ms) { replyDelayMs_ = ms; }

    bool Call(std::string_view number, uint64_t now);
    void HangUp(uint64_t now);
    bool Send(std::string_view bytes, uint64_t now);
    bool Connected() const;
    std::string& Received() { return received_; }

    bool Busy() const override { return peer_ != nullptr; }
    void Offer(Party& caller, uint64_t at) override;
    void Answered(uint64_t at) override;
    void Release(uint64_t at) override;
    void Data(std::string_view bytes, uint64_t at) override;
    bool Online() const override { return peer_ != nullptr && answered_; }

  private:
    void Answer(std::string_view chunk, uint64_t at);

    Exchange& exchange_;
    Party* peer_ = nullptr;
    bool answered_ = false;
    std::vector<std::pair<std::string, std::string>> replies_;
    std::optional<std::string> replyToAny_;
    bool echo_ = false;
    uint32_t replyDelayMs_ = 0;
    std::string received_;
    std::string unanswered_;  // received since the last reply, for matching requests
};

}  // namespace sim
