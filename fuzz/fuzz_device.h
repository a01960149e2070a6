// A serial device whose every answer comes from the fuzz input: reads deliver arbitrary bytes,
// canned result codes, the echo of the last write, time-outs or failures; a line can get stuck
// sending without end. Once the input is used up every read times out and every other call
// succeeds, so a dialogue always comes to an end unless the driver itself loops.
//
// The device counts its calls and fails the run when a single driver call makes more than the
// bound: every loop over a device in the driver must be bounded, whatever the line sends.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "platform/platform.h"

class FuzzDevice final : public platform::SerialDevice {
  public:
    // The calls one driver call may make: a few thousand cover the longest dialogue (a hang-up
    // on a line that never stops sending: every purge and drain runs to its limit).
    explicit FuzzDevice(FuzzedDataProvider& input, unsigned callBound = 5000)
        : input_(input), callBound_(callBound) {}

    // Starts the count of one driver call, and of what it received.
    void BeginCall() {
        calls_ = 0;
        maxWrite_ = 0;
        writes_ = 0;
    }
    unsigned Calls() const { return calls_; }
    // Every byte reads delivered since the last write.
    const std::string& DeliveredSinceWrite() const { return sinceWrite_; }
    // Bytes of the last read that delivered any.
    const std::string& LastReply() const { return lastReply_; }
    const std::string& LastWrite() const { return lastWrite_; }
    // Reads since the last write that ended with nothing (time-out or failure).
    unsigned EmptyReadsSinceWrite() const { return emptyReadsSinceWrite_; }
    uint32_t MaxWrite() const { return maxWrite_; }
    unsigned Writes() const { return writes_; }
    // The function of the last escape asked for, whether it worked or not.
    int LastEscape() const { return lastEscape_; }

    bool GetState(platform::Dcb& dcb) override {
        if (!Call()) return false;
        dcb = dcb_;
        return true;
    }
    bool SetState(const platform::Dcb& dcb) override {
        if (!Call()) return false;
        dcb_ = dcb;
        return true;
    }
    bool GetTimeouts(platform::CommTimeouts& timeouts) override {
        if (!Call()) return false;
        timeouts = timeouts_;
        return true;
    }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        if (!Call()) return false;
        timeouts_ = timeouts;
        return true;
    }
    bool Setup(uint32_t, uint32_t) override { return Call(); }

    bool Read(void* buffer, uint32_t count, uint32_t* received) override {
        *received = 0;
        if (!Call()) {
            ++emptyReadsSinceWrite_;
            return false;
        }
        auto* out = static_cast<uint8_t*>(buffer);
        uint32_t got = 0;
        if (stuck_) {
            std::memset(out, stuckByte_, count);
            got = count;
        } else if (!pending_.empty()) {
            got = Take(pending_, out, count);
        } else {
            switch (input_.ConsumeIntegralInRange<int>(0, 5)) {
                case 0:  // time-out
                    break;
                case 1: {  // some bytes of the input
                    const auto want = input_.ConsumeIntegralInRange<uint32_t>(1, count);
                    std::string bytes = input_.ConsumeBytesAsString(want);
                    got = Take(bytes, out, count);
                    break;
                }
                case 2:  // the echo of the last write
                    pending_ = lastWrite_;
                    got = Take(pending_, out, count);
                    break;
                case 3:  // a result code
                    pending_ = kResults[input_.ConsumeIntegralInRange<size_t>(0, kResultCount - 1)];
                    got = Take(pending_, out, count);
                    break;
                case 4:  // a line that never stops sending
                    stuck_ = true;
                    stuckByte_ = input_.ConsumeIntegral<uint8_t>();
                    std::memset(out, stuckByte_, count);
                    got = count;
                    break;
                default:  // no answer: the read fails
                    ++emptyReadsSinceWrite_;
                    return false;
            }
        }
        if (got == 0) ++emptyReadsSinceWrite_;
        if (got > 0) lastReply_.assign(reinterpret_cast<const char*>(out), got);
        sinceWrite_.append(reinterpret_cast<const char*>(out), got);
        *received = got;
        return true;
    }

    bool Write(const void* data, uint32_t count, uint32_t* written) override {
        *written = 0;
        if (!Call()) return false;
        // Every byte handed over is looked at, so that a count beyond the caller's buffer shows.
        lastWrite_.assign(static_cast<const char*>(data), count);
        sinceWrite_.clear();
        emptyReadsSinceWrite_ = 0;
        maxWrite_ = std::max(maxWrite_, count);
        ++writes_;
        *written = input_.ConsumeIntegralInRange<int>(0, 7) == 7
                       ? input_.ConsumeIntegralInRange<uint32_t>(0, count)
                       : count;
        return true;
    }

    bool ClearError(uint32_t* inQueue) override {
        if (!Call()) return false;
        *inQueue = stuck_ ? 4096 : static_cast<uint32_t>(pending_.size());
        if (input_.ConsumeIntegralInRange<int>(0, 7) == 7) *inQueue += 1;  // bytes in flight
        return true;
    }
    bool GetModemStatus(uint32_t* status) override {
        if (!Call()) return false;
        *status = input_.ConsumeIntegral<uint8_t>();
        return true;
    }
    bool Escape(int function) override {
        lastEscape_ = function;
        if (!Call()) return false;
        return true;
    }
    bool Close() override { return Call(); }

  private:
    static constexpr const char* kResults[] = {
        "\r\nOK\r\n",
        "\r\nERROR\r\n",
        "\r\nCONNECT 9600\r\n",
        "\r\nNO CARRIER\r\n",
        "\r\nBUSY\r\n",
        "OK",
        "CONNECT",
        "\r\n",
        "\r\nNO DIALTONE\r\n",
        "\r\nRING\r\n",
        "12",
        "\x02\x03\x05\x07",
    };
    static constexpr size_t kResultCount = sizeof kResults / sizeof kResults[0];

    // Counts the call and decides whether it fails (about one call in 16 while input lasts).
    bool Call() {
        ++calls_;
        FUZZ_CHECK(calls_ <= callBound_);
        return input_.ConsumeIntegralInRange<int>(0, 15) != 15;
    }

    static uint32_t Take(std::string& from, uint8_t* out, uint32_t count) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(from.size(), count));
        std::memcpy(out, from.data(), n);
        from.erase(0, n);
        return n;
    }

    FuzzedDataProvider& input_;
    unsigned callBound_;
    platform::Dcb dcb_;
    platform::CommTimeouts timeouts_;
    std::string pending_;
    std::string lastWrite_;
    std::string lastReply_;
    std::string sinceWrite_;
    unsigned calls_ = 0;
    unsigned emptyReadsSinceWrite_ = 0;
    unsigned writes_ = 0;
    uint32_t maxWrite_ = 0;
    bool stuck_ = false;
    uint8_t stuckByte_ = 0;
    int lastEscape_ = 0;
};
