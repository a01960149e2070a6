// The modem: command and online modes, its registers, its calls and what it does in time.
// Single-threaded: the world's lock is held around every call.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "exchange.h"
#include "hayes.h"
#include "sim.h"

namespace sim {

inline constexpr uint64_t kNever = UINT64_MAX;

// `at` plus `driverMs` of driver time, in MonotonicNs() terms.
uint64_t Later(uint64_t at, uint64_t driverMs);

class ModemCore final : public Party {
  public:
    ModemCore(Exchange& exchange, uint64_t worldStartNs);

    // The serial side.
    bool OpenDevice(uint64_t now);  // false when the device is open already
    void CloseDevice(uint64_t now);
    bool DeviceOpen() const { return deviceOpen_; }
    void FromDte(std::string_view bytes, uint64_t now);
    std::string& ToDte() { return toDte_; }
    uint32_t Status(uint64_t now) const;
    void SetDtr(bool high, uint64_t now);
    bool Dtr() const { return dtr_; }
    // Counts a device call of the kind `fault` names; true when that call must fail.
    bool Fails(Fault fault);

    // The line side.
    bool Busy() const override { return state_ != ModemState::kCommand; }
    void Offer(Party& caller, uint64_t at) override;
    void Answered(uint64_t at) override;
    void Release(uint64_t at) override;
    void Data(std::string_view bytes, uint64_t at) override;
    bool Online() const override;

    // Time: the earliest due event, and firing it.
    uint64_t NextDue() const;
    void RunNext();

    // Test controls and observation.
    void SetConnectSpeed(uint32_t speed) { speed_ = speed; }
    void SetFault(Fault fault, uint32_t after, uint32_t times, uint64_t now);
    void ClearFault(Fault fault);
    void DropCarrier(uint64_t now);
    ModemState State() const { return state_; }
    bool OffHook() const;
    const std::vector<std::string>& Commands() const { return commands_; }
    int Register(unsigned number) const { return number < s_.size() ? s_[number] : -1; }
    const std::vector<DtrChange>& DtrHistory() const { return dtrHistory_; }

  private:
    // Timed events, fired in this order when due at the same moment.
    enum Timer {
        kConnect,      // the carrier handshake is done
        kCarrierWait,  // S7 ran out while dialling
        kResult,       // a dial's outcome (BUSY, NO ANSWER, ...)
        kRing,         // the next ring of an incoming call
        kAnswer,       // auto-answer at the end of the S0th ring
        kEscape,       // the guard time after "+++" passed
        kTimerCount
    };
    enum class Step { kNext, kError, kDone };  // after one command of a line
    struct Delivery {
        uint64_t at;
        std::string bytes;
    };
    struct FaultState {
        bool on = false;
        uint32_t allowed = 0;   // device calls that still succeed
        uint32_t failures = 0;  // device calls that fail before it clears; 0 = no end
    };

    void LoadFactoryProfile();
    bool Has(Fault fault) const { return faults_[static_cast<size_t>(fault)].on; }
    bool Mute() const { return Has(Fault::kPoweredOff) || Has(Fault::kSilent); }
    void Send(std::string_view bytes);
    void Reply(hayes::Result result);
    void Info(std::string_view text);
    std::string Garble(std::string text) const;

    void TypeInCommandMode(char c, uint64_t now);
    void ExecuteLine(const std::string& line, uint64_t now);
    Step Execute(const hayes::Command& command, uint64_t now);
    Step ExecuteAmpersand(const hayes::Command& command);
    Step SetFlag(const hayes::Command& command, bool* flag);
    Step Dial(const std::string& digits, uint64_t now);
    Step Answer(uint64_t now);
    Step ReturnOnline(uint64_t now);
    void OnlineData(std::string_view bytes, uint64_t now);

    void Fire(Timer timer, uint64_t at);
    void Ring(uint64_t at);
    bool AutoAnswerAllowed() const;
    void StartAnswer(uint64_t at);
    void CarrierUp(uint64_t at);
    void Finish(hayes::Result result, uint64_t at);
    void HangUp(uint64_t at);  // goes on-hook and releases the far end
    void EndCall();            // back to command mode with nothing pending

    Exchange& exchange_;
    const uint64_t worldStartNs_;

    ModemState state_ = ModemState::kCommand;
    Party* peer_ = nullptr;
    std::array<uint64_t, kTimerCount> due_;
    std::deque<Delivery> deliveries_;  // data from the far end, by arrival time
    hayes::Result pendingResult_ = hayes::Result::kNoCarrier;
    unsigned ringCount_ = 0;
    uint64_t ringStart_ = 0;
    uint64_t lastDteData_ = 0;  // last byte from the computer while online
    int plusCount_ = 0;

    // Profile.
    std::array<uint8_t, 256> s_{};
    bool echo_ = true;
    bool verbose_ = true;
    bool quiet_ = false;
    bool dcdFollowsCarrier_ = true;  // &C1
    unsigned dtrMode_ = 2;           // &D
    uint32_t speed_ = 2400;

    // Serial side.
    bool deviceOpen_ = false;
    bool dtr_ = false;
    std::string toDte_;
    hayes::LineAssembler assembler_;

    std::array<FaultState, static_cast<size_t>(Fault::kCloseFails) + 1> faults_{};
    std::vector<std::string> commands_;
    std::vector<DtrChange> dtrHistory_;
};

}  // namespace sim
