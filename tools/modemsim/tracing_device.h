// A serial device in front of another that reports, while tracing is on, what crosses the line:
// bytes each way, DTR, the line settings and the modem lines as they change.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace modemsim {

// Bytes as readable text: printable ASCII as it is, CR and LF as \r and \n, others as \xNN.
std::string ShowBytes(const void* data, std::size_t count);

class TracingDevice final : public platform::SerialDevice {
  public:
    using Sink = std::function<void(const std::string& line)>;

    // `inner` stays the caller's; `tracing` may change at any time, from any thread.
    TracingDevice(std::string name, platform::SerialDevice* inner, const std::atomic<bool>& tracing,
                  Sink sink);

    bool GetState(platform::Dcb& dcb) override;
    bool SetState(const platform::Dcb& dcb) override;
    bool GetTimeouts(platform::CommTimeouts& timeouts) override;
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override;
    bool Setup(uint32_t inQueue, uint32_t outQueue) override;
    bool Read(void* buffer, uint32_t count, uint32_t* received) override;
    bool Write(const void* data, uint32_t count, uint32_t* written) override;
    bool ClearError(uint32_t* inQueue) override;
    bool GetModemStatus(uint32_t* status) override;
    bool Escape(int function) override;
    bool Close() override;

  private:
    void Trace(const std::string& what);
    void NoteDtr(bool high);

    const std::string name_;
    platform::SerialDevice* const inner_;
    const std::atomic<bool>& tracing_;
    const Sink sink_;
    // What was last seen, kept whether tracing or not, so that a trace switched on later
    // reports changes from the truth. Only the server's thread calls the device.
    int dtr_ = -1;
    uint32_t lines_ = 0xFFFFFFFFu;
    uint64_t format_ = 0;
};

}  // namespace modemsim
