// korva-rfc2217-loopback: serves a loopback plug as a network serial port, to try RFC 2217 clients
// against the server. What is written comes back; DSR and DCD follow DTR, CTS follows RTS, as
// a loopback plug wires them.
//
// Usage: korva-rfc2217-loopback [port]   (port 0 or none: a free one)
// Prints the port on the first line of its output and serves until its input ends.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "platform/platform.h"
#include "rfc2217_server.h"

namespace {

class LoopbackPlug final : public platform::SerialDevice {
  public:
    bool GetState(platform::Dcb& dcb) override {
        std::lock_guard<std::mutex> lock(mu_);
        dcb = dcb_;
        return true;
    }
    bool SetState(const platform::Dcb& dcb) override {
        std::lock_guard<std::mutex> lock(mu_);
        dcb_ = dcb;
        return true;
    }
    bool GetTimeouts(platform::CommTimeouts& timeouts) override {
        std::lock_guard<std::mutex> lock(mu_);
        timeouts = timeouts_;
        return true;
    }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        std::lock_guard<std::mutex> lock(mu_);
        timeouts_ = timeouts;
        return true;
    }
    bool Setup(uint32_t, uint32_t) override { return true; }
    bool Read(void* buffer, uint32_t count, uint32_t* received) override {
        std::unique_lock<std::mutex> lock(mu_);
        auto enough = [&] { return queue_.size() >= count; };
        if (timeouts_.readTotalTimeoutConstant == 0) {
            arrived_.wait(lock, enough);
        } else {
            arrived_.wait_for(
                lock,
                std::chrono::nanoseconds(platform::ScaledNs(timeouts_.readTotalTimeoutConstant)),
                enough);
        }
        uint32_t n = 0;
        for (auto* out = static_cast<uint8_t*>(buffer); n < count && !queue_.empty(); ++n) {
            out[n] = queue_.front();
            queue_.pop_front();
        }
        *received = n;
        return true;
    }
    bool Write(const void* data, uint32_t count, uint32_t* written) override {
        std::lock_guard<std::mutex> lock(mu_);
        const auto* bytes = static_cast<const uint8_t*>(data);
        queue_.insert(queue_.end(), bytes, bytes + count);
        *written = count;
        arrived_.notify_all();
        return true;
    }
    bool ClearError(uint32_t* inQueue) override {
        std::lock_guard<std::mutex> lock(mu_);
        *inQueue = static_cast<uint32_t>(queue_.size());
        return true;
    }
    bool GetModemStatus(uint32_t* status) override {
        std::lock_guard<std::mutex> lock(mu_);
        *status =
            (dtr_ ? platform::kMsDsrOn | platform::kMsRlsdOn : 0) | (rts_ ? platform::kMsCtsOn : 0);
        return true;
    }
    bool Escape(int function) override {
        std::lock_guard<std::mutex> lock(mu_);
        switch (function) {
            case platform::kSetDtr:
            case platform::kClrDtr:
                dtr_ = function == platform::kSetDtr;
                return true;
            case platform::kSetRts:
            case platform::kClrRts:
                rts_ = function == platform::kSetRts;
                return true;
            default:
                return false;
        }
    }
    bool Close() override { return true; }

  private:
    std::mutex mu_;
    std::condition_variable arrived_;
    platform::Dcb dcb_;
    platform::CommTimeouts timeouts_;
    std::deque<uint8_t> queue_;
    bool dtr_ = false;
    bool rts_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    long port = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (port < 0 || port > 65535) {
        std::fprintf(stderr, "usage: %s [port]\n", argv[0]);
        return 2;
    }
    LoopbackPlug plug;
    modemsim::Rfc2217Server server(&plug);
    if (!server.Start(static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "%s: cannot listen on port %ld\n", argv[0], port);
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(server.Port()));
    std::fflush(stdout);
    char scratch[64];
    while (std::fread(scratch, 1, sizeof scratch, stdin) > 0) {
    }
    server.Stop();
    return 0;
}
