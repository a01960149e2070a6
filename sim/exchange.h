// The telephone exchange: numbers, the parties behind them and what the line does in time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "sim.h"

namespace sim {

// A party on the exchange: a modem or a station. Times are platform::MonotonicNs() values.
class Party {
  public:
    // Off-hook or ringing: a call to it gives BUSY.
    virtual bool Busy() const = 0;
    // A call from `caller` arrives: a modem rings, a station answers at once.
    virtual void Offer(Party& caller, uint64_t at) = 0;
    // The called party went off-hook; the carrier handshake begins.
    virtual void Answered(uint64_t at) = 0;
    // The other end hung up (or never answered and the caller gave up).
    virtual void Release(uint64_t at) = 0;
    // Bytes from the other end, arriving at `at` (now or later).
    virtual void Data(std::string_view bytes, uint64_t at) = 0;
    // In a call with its carrier up.
    virtual bool Online() const = 0;

  protected:
    ~Party() = default;
};

// Timing of the line, in driver milliseconds.
struct LineTiming {
    uint32_t connectDelayMs = 1000;  // off-hook of the called end to CONNECT
    uint32_t ringPeriodMs = 2000;
    uint32_t ringOnMs = 1000;
    uint32_t busyDelayMs = 1000;  // dialling a party that is busy
};

// Where a dialled number leads: a party, or an outcome after a delay.
struct Route {
    Party* party = nullptr;
    Outcome outcome = Outcome::kNoCarrier;
    uint32_t delayMs = 1000;
};

class Exchange {
  public:
    // The digits of a number, as the exchange compares them.
    static std::string Digits(std::string_view number);

    void Attach(std::string_view number, Party& party);
    void SetOutcome(std::string_view number, Outcome outcome, uint32_t delayMs);
    void SetUnknownOutcome(Outcome outcome, uint32_t delayMs);
    Route Resolve(std::string_view number) const;

    LineTiming timing;

  private:
    std::map<std::string, Party*> parties_;
    std::map<std::string, Route> outcomes_;
    Route unknown_;
};

}  // namespace sim
