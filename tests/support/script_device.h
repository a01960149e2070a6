// A scripted serial device for tests.
//
// Input is a script of byte chunks, each arriving at a moment of the device's own clock (driver
// milliseconds). A read that has to wait does not sleep: it moves the clock on to the next
// arrival, or to the end of its time-out, so a 2500 ms drain costs nothing and the test can still
// see how long the driver waited. Writes are recorded and may trigger scripted replies (an echo,
// a result code). Every call is logged as an Event with the device's clock and the real time.
//
//     ScriptDevice modem;
//     modem.SetEcho(true);
//     modem.ReplyToWrite("\r\nOK\r\n");
//     Ports[0].device = &modem;
//     EXPECT_EQ(ModemCommand("AT\r", 1, &modem), 0);
//     EXPECT_EQ(modem.Written(), "AT\r");
//
// A read with no time-out (0) that finds nothing and no script marks the device stalled
// (Stalled()) and returns what it has, instead of hanging the test. With SetRealWaits(true) such
// reads, and reads whose script cannot fill them in time, wait in real (scaled) time for Feed()
// from another thread instead.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

class ScriptDevice final : public platform::SerialDevice {
  public:
    enum class Op {
        GetState,
        SetState,
        GetTimeouts,
        SetTimeouts,
        Setup,
        Read,
        Write,
        ClearError,
        GetModemStatus,
        Escape,
        Close
    };

    struct Event {
        Op op = Op::Read;
        uint64_t atMs = 0;       // device clock when the call began (driver ms)
        uint64_t endMs = 0;      // device clock when it returned
        uint64_t realNs = 0;     // platform::MonotonicNs() when the call began
        bool ok = true;          // what the call reported
        uint32_t count = 0;      // Read/Write: bytes asked for; Setup: input queue
        uint32_t done = 0;       // Read/Write: bytes moved; ClearError: queue; Setup: output queue
        uint32_t timeoutMs = 0;  // Read: read constant in force; SetTimeouts: the new constant
        int function = 0;        // Escape: the function
        std::string bytes;       // Read/Write: the bytes moved
    };

    // --- Script ---------------------------------------------------------------------------------

    // `bytes` arrive `delayMs` after the device's present clock.
    void Feed(std::string_view bytes, uint32_t delayMs = 0) {
        std::lock_guard<std::mutex> guard(mutex_);
        AddChunk(now_ + delayMs, bytes);
        arrived_.notify_all();
    }
    // One reply per Write call, in order: `bytes` arrive `delayMs` after that write ("" = none).
    void ReplyToWrite(std::string_view bytes, uint32_t delayMs = 0) {
        std::lock_guard<std::mutex> guard(mutex_);
        replies_.push_back(Reply{std::string(bytes), delayMs});
    }
    // With echo on, every written byte comes back at once, before any scripted reply.
    void SetEcho(bool on) {
        std::lock_guard<std::mutex> guard(mutex_);
        echo_ = on;
    }
    void SetModemStatus(uint32_t status) {
        std::lock_guard<std::mutex> guard(mutex_);
        status_ = status;
    }
    // The read total time-out in force, set without logging a call.
    void PresetReadTimeout(uint32_t ms) {
        std::lock_guard<std::mutex> guard(mutex_);
        timeouts_.readTotalTimeoutConstant = ms;
    }
    void PresetState(const platform::Dcb& dcb) {
        std::lock_guard<std::mutex> guard(mutex_);
        dcb_ = dcb;
    }
    // The next `times` calls of `op` fail (report false and do nothing else).
    void Fail(Op op, unsigned times = 1) {
        std::lock_guard<std::mutex> guard(mutex_);
        failures_[static_cast<int>(op)] += times;
    }
    // The next write moves at most `bytes` bytes and reports success (a short write).
    void LimitNextWrite(uint32_t bytes) {
        std::lock_guard<std::mutex> guard(mutex_);
        writeLimit_ = bytes;
        limitWrite_ = true;
    }
    void SetRealWaits(bool on) {
        std::lock_guard<std::mutex> guard(mutex_);
        realWaits_ = on;
    }
    // Opens a closed device again (the opener does this when the driver opens it anew).
    void Reopen() {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = false;
    }

    // --- Observations ---------------------------------------------------------------------------

    uint64_t NowMs() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return now_;
    }
    std::vector<Event> Events() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }
    std::vector<Event> Events(Op op) const {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<Event> selected;
        for (const Event& event : events_)
            if (event.op == op) selected.push_back(event);
        return selected;
    }
    std::size_t Count(Op op) const { return Events(op).size(); }
    // The ops in call order, for checking a sequence at a glance.
    std::vector<Op> Ops() const {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<Op> ops;
        for (const Event& event : events_)
            ops.push_back(event.op);
        return ops;
    }
    void ClearEvents() {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.clear();
    }
    // Every byte written so far.
    std::string Written() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return written_;
    }
    // Bytes that have arrived by the device's clock and were not read.
    std::size_t Available() {
        std::lock_guard<std::mutex> guard(mutex_);
        Arrive();
        return input_.size();
    }
    // Every scripted byte not read yet, arrived or not.
    std::size_t Pending() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::size_t total = input_.size();
        for (const Chunk& chunk : chunks_)
            total += chunk.bytes.size();
        return total;
    }
    bool Dtr() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return dtr_;
    }
    bool Rts() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return rts_;
    }
    platform::CommTimeouts Timeouts() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return timeouts_;
    }
    platform::Dcb State() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return dcb_;
    }
    bool Closed() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return closed_;
    }
    bool Stalled() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return stalled_;
    }
    // A call arrived after a successful Close.
    bool UsedAfterClose() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return usedAfterClose_;
    }

    // --- SerialDevice ---------------------------------------------------------------------------

    bool GetState(platform::Dcb& dcb) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Event& event = Begin(Op::GetState);
        if (!event.ok) return false;
        dcb = dcb_;
        return true;
    }
    bool SetState(const platform::Dcb& dcb) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Event& event = Begin(Op::SetState);
        if (!event.ok) return false;
        dcb_ = dcb;
        if (dcb.fDtrControl == platform::kDtrControlEnable) dtr_ = true;
        if (dcb.fDtrControl == platform::kDtrControlDisable) dtr_ = false;
        if (dcb.fRtsControl == platform::kRtsControlEnable) rts_ = true;
        if (dcb.fRtsControl == platform::kRtsControlDisable) rts_ = false;
        return true;
    }
    bool GetTimeouts(platform::CommTimeouts& timeouts) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Event& event = Begin(Op::GetTimeouts);
        if (!event.ok) return false;
        timeouts = timeouts_;
        return true;
    }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Event& event = Begin(Op::SetTimeouts);
        event.timeoutMs = timeouts.readTotalTimeoutConstant;
        if (!event.ok) return false;
        timeouts_ = timeouts;
        return true;
    }
    bool Setup(uint32_t inQueue, uint32_t outQueue) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Event& event = Begin(Op::Setup);
        event.count = inQueue;
        event.done = outQueue;
        return event.ok;
    }

    bool Read(void* buffer, uint32_t count, uint32_t* received) override {
        std::unique_lock<std::mutex> lock(mutex_);
        *received = 0;
        std::size_t index = events_.size();
        Begin(Op::Read);
        events_[index].count = count;
        events_[index].timeoutMs = timeouts_.readTotalTimeoutConstant;
        if (!events_[index].ok) return false;
        uint64_t limit = static_cast<uint64_t>(timeouts_.readTotalTimeoutMultiplier) * count +
                         timeouts_.readTotalTimeoutConstant;
        bool unlimited = limit == 0;
        uint64_t deadline = now_ + limit;
        for (;;) {
            Arrive();
            if (input_.size() >= count) break;
            uint64_t next = 0;
            if (NextArrival(&next) && (unlimited || next <= deadline)) {
                now_ = next;
                continue;
            }
            if (realWaits_) {
                if (!WaitForFeed(lock, unlimited, deadline)) break;
                continue;
            }
            if (unlimited)
                stalled_ = true;
            else
                now_ = deadline;
            break;
        }
        uint32_t take = static_cast<uint32_t>(std::min<std::size_t>(count, input_.size()));
        std::string bytes(input_.begin(), input_.begin() + take);
        input_.erase(input_.begin(), input_.begin() + take);
        std::memcpy(buffer, bytes.data(), take);
        *received = take;
        events_[index].done = take;
        events_[index].bytes = bytes;
        events_[index].endMs = now_;
        return true;
    }

    bool Write(const void* data, uint32_t count, uint32_t* written) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Event& event = Begin(Op::Write);
        event.count = count;
        if (!event.ok) return false;
        uint32_t moved = limitWrite_ ? std::min(count, writeLimit_) : count;
        limitWrite_ = false;
        std::string bytes(static_cast<const char*>(data), moved);
        event.done = moved;
        event.bytes = bytes;
        written_ += bytes;
        if (echo_) AddChunk(now_, bytes);
        if (!replies_.empty()) {
            Reply reply = replies_.front();
            replies_.pop_front();
            if (!reply.bytes.empty()) AddChunk(now_ + reply.delayMs, reply.bytes);
        }
        arrived_.notify_all();
        *written = moved;
        return true;
    }

    bool ClearError(uint32_t* inQueue) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Event& event = Begin(Op::ClearError);
        if (!event.ok) return false;
        Arrive();
        *inQueue = static_cast<uint32_t>(input_.size());
        event.done = *inQueue;
        return true;
    }
    bool GetModemStatus(uint32_t* status) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Event& event = Begin(Op::GetModemStatus);
        if (!event.ok) return false;
        *status = status_;
        return true;
    }
    bool Escape(int function) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Event& event = Begin(Op::Escape);
        event.function = function;
        if (!event.ok) return false;
        switch (function) {
            case platform::kSetDtr:
                dtr_ = true;
                return true;
            case platform::kClrDtr:
                dtr_ = false;
                return true;
            case platform::kSetRts:
                rts_ = true;
                return true;
            case platform::kClrRts:
                rts_ = false;
                return true;
            default:
                event.ok = false;
                return false;
        }
    }
    bool Close() override {
        std::lock_guard<std::mutex> guard(mutex_);
        Event& event = Begin(Op::Close);
        if (!event.ok) return false;
        closed_ = true;
        return true;
    }

  private:
    struct Chunk {
        uint64_t at;
        uint64_t order;
        std::string bytes;
    };
    struct Reply {
        std::string bytes;
        uint32_t delayMs;
    };

    // Logs the call; a scripted failure, or a call on a closed device, makes it fail.
    Event& Begin(Op op) {
        Event event;
        event.op = op;
        event.atMs = now_;
        event.endMs = now_;
        event.realNs = platform::MonotonicNs();
        unsigned& failures = failures_[static_cast<int>(op)];
        if (closed_) {
            usedAfterClose_ = true;
            event.ok = false;
        } else if (failures > 0) {
            --failures;
            event.ok = false;
        }
        events_.push_back(event);
        return events_.back();
    }

    void AddChunk(uint64_t at, std::string_view bytes) {
        chunks_.push_back(Chunk{at, order_++, std::string(bytes)});
    }

    // Moves every chunk due by now into the input, in order of arrival.
    void Arrive() {
        std::stable_sort(chunks_.begin(), chunks_.end(), [](const Chunk& a, const Chunk& b) {
            return a.at != b.at ? a.at < b.at : a.order < b.order;
        });
        std::size_t due = 0;
        while (due < chunks_.size() && chunks_[due].at <= now_) {
            input_.insert(input_.end(), chunks_[due].bytes.begin(), chunks_[due].bytes.end());
            ++due;
        }
        chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(due));
    }

    bool NextArrival(uint64_t* at) const {
        if (chunks_.empty()) return false;
        *at = chunks_.front().at;
        for (const Chunk& chunk : chunks_)
            *at = std::min(*at, chunk.at);
        return true;
    }

    // Real-time wait (scaled) for a Feed() from another thread. Advances the clock by the driver
    // time that passed; false when the deadline passed with nothing new.
    bool WaitForFeed(std::unique_lock<std::mutex>& lock, bool unlimited, uint64_t deadline) {
        uint64_t fed = order_;
        uint64_t start = platform::MonotonicNs();
        auto changed = [&] { return order_ != fed; };
        bool woke = true;
        if (unlimited) {
            arrived_.wait(lock, changed);
        } else {
            auto span = std::chrono::nanoseconds(platform::ScaledNs(deadline - now_));
            woke = arrived_.wait_for(lock, span, changed);
        }
        double scale = platform::TimeScale();
        uint64_t passedMs = static_cast<uint64_t>(
            static_cast<double>(platform::MonotonicNs() - start) / 1e6 / scale);
        now_ = unlimited ? now_ + passedMs : std::min(deadline, now_ + passedMs);
        if (!woke) now_ = deadline;
        return woke;
    }

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    uint64_t now_ = 0;
    uint64_t order_ = 0;
    std::vector<Chunk> chunks_;
    std::deque<char> input_;
    std::deque<Reply> replies_;
    std::vector<Event> events_;
    std::string written_;
    platform::CommTimeouts timeouts_;
    platform::Dcb dcb_;
    unsigned failures_[11] = {};
    uint32_t status_ = 0;
    uint32_t writeLimit_ = 0;
    bool limitWrite_ = false;
    bool echo_ = false;
    bool realWaits_ = false;
    bool dtr_ = false;
    bool rts_ = false;
    bool closed_ = false;
    bool stalled_ = false;
    bool usedAfterClose_ = false;
};

// Serves script devices to platform::SerialOpen by name while installed; other names go on to the
// device map.
class ScriptOpener {
  public:
    // `device` nullptr: the name is served, and its open fails.
    void Serve(std::string name, ScriptDevice* device) {
        std::lock_guard<std::mutex> guard(mutex_);
        served_.push_back(Entry{std::move(name), device, 0});
    }
    void Install() { platform::SetSerialOpener(&ScriptOpener::Open, this); }
    unsigned Opens(const std::string& name) const {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const Entry& entry : served_)
            if (entry.name == name) return entry.opens;
        return 0;
    }

    static platform::SerialDevice* Open(const char* name, bool* served, void* context) {
        auto* self = static_cast<ScriptOpener*>(context);
        std::lock_guard<std::mutex> guard(self->mutex_);
        for (Entry& entry : self->served_) {
            if (entry.name != name) continue;
            *served = true;
            ++entry.opens;
            if (entry.device != nullptr) entry.device->Reopen();
            return entry.device;
        }
        *served = false;
        return nullptr;
    }

  private:
    struct Entry {
        std::string name;
        ScriptDevice* device;
        unsigned opens;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> served_;
};
