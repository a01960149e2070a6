// The serial device of a simulated modem, as the driver sees it through the platform seam.
#pragma once

#include "modem_core.h"
#include "platform/platform.h"
#include "world_impl.h"

namespace sim {

class SimDevice final : public platform::SerialDevice {
  public:
    SimDevice(World::Impl& world, ModemCore& modem);

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
    World::Impl& world_;
    ModemCore& modem_;
    bool open_ = true;  // a closed handle refuses every call
    platform::Dcb dcb_;
    platform::CommTimeouts timeouts_;
    bool rts_ = true;
};

// The opener installed by World::Install; `context` is the World::Impl.
platform::SerialDevice* OpenSimDevice(const char* name, bool* served, void* context);

}  // namespace sim
