#include "device.h"

#include <algorithm>
#include <cstring>

namespace sim {

SimDevice::SimDevice(World::Impl& world, ModemCore& modem) : world_(world), modem_(modem) {
    dcb_.baudRate = 9600;
}

bool SimDevice::GetState(platform::Dcb& dcb) {
    Touch touch(world_);
    if (!open_ || modem_.Fails(Fault::kGetStateFails)) return false;
    dcb = dcb_;
    return true;
}

bool SimDevice::SetState(const platform::Dcb& dcb) {
    Touch touch(world_);
    if (!open_ || modem_.Fails(Fault::kSetStateFails)) return false;
    dcb_ = dcb;
    // Applying the settings drives DTR as its control mode says.
    modem_.SetDtr(dcb.fDtrControl != platform::kDtrControlDisable, touch.now);
    rts_ = dcb.fRtsControl != platform::kRtsControlDisable;
    return true;
}

bool SimDevice::GetTimeouts(platform::CommTimeouts& timeouts) {
    Touch touch(world_);
    if (!open_ || modem_.Fails(Fault::kGetTimeoutsFails)) return false;
    timeouts = timeouts_;
    return true;
}

bool SimDevice::SetTimeouts(const platform::CommTimeouts& timeouts) {
    Touch touch(world_);
    if (!open_ || modem_.Fails(Fault::kSetTimeoutsFails)) return false;
    timeouts_ = timeouts;
    return true;
}

bool SimDevice::Setup(uint32_t /*inQueue*/, uint32_t /*outQueue*/) {
    Touch touch(world_);
    return open_;
}

// Ends when `count` bytes are there or the total read time-out has passed since the call
// began (the interval and per-byte time-outs are not simulated; the driver keeps them 0).
bool SimDevice::Read(void* buffer, uint32_t count, uint32_t* received) {
    if (received != nullptr) *received = 0;
    Touch touch(world_);
    if (!open_ || modem_.Fails(Fault::kReadFails)) return false;
    uint64_t limit = timeouts_.readTotalTimeoutConstant;
    uint64_t deadline = limit == 0 ? kNever : Later(touch.now, limit);
    std::string& input = modem_.ToDte();
    while (input.size() < count && touch.now < deadline)
        touch.WaitUntil(std::min(deadline, world_.NextDue()));
    uint32_t taken = static_cast<uint32_t>(std::min<size_t>(count, input.size()));
    std::memcpy(buffer, input.data(), taken);
    input.erase(0, taken);
    if (received != nullptr) *received = taken;
    return true;
}

// The modem takes the bytes at once: its echo and replies are queued before this returns.
bool SimDevice::Write(const void* data, uint32_t count, uint32_t* written) {
    Touch touch(world_);
    if (!open_ || modem_.Fails(Fault::kWriteFails)) return false;
    uint32_t taken = modem_.Fails(Fault::kShortWrite) ? count / 2 : count;
    modem_.FromDte(std::string_view(static_cast<const char*>(data), taken), touch.now);
    if (written != nullptr) *written = taken;
    return true;
}

bool SimDevice::ClearError(uint32_t* inQueue) {
    Touch touch(world_);
    if (!open_ || modem_.Fails(Fault::kClearErrorFails)) return false;
    if (inQueue != nullptr) *inQueue = static_cast<uint32_t>(modem_.ToDte().size());
    return true;
}

bool SimDevice::GetModemStatus(uint32_t* status) {
    Touch touch(world_);
    if (!open_ || modem_.Fails(Fault::kStatusFails)) return false;
    *status = modem_.Status(touch.now);
    return true;
}

bool SimDevice::Escape(int function) {
    Touch touch(world_);
    if (!open_ || modem_.Fails(Fault::kEscapeFails)) return false;
    switch (function) {
        case platform::kSetDtr:
        case platform::kClrDtr:
            modem_.SetDtr(function == platform::kSetDtr, touch.now);
            return true;
        case platform::kSetRts:
        case platform::kClrRts:
            rts_ = function == platform::kSetRts;
            return true;
        default:
            return false;
    }
}

bool SimDevice::Close() {
    Touch touch(world_);
    if (!open_ || modem_.Fails(Fault::kCloseFails)) return false;
    open_ = false;
    modem_.CloseDevice(touch.now);
    return true;
}

platform::SerialDevice* OpenSimDevice(const char* name, bool* served, void* context) {
    auto& world = *static_cast<World::Impl*>(context);
    *served = true;
    Touch touch(world);
    ModemCore* modem = world.FindModem(name);
    // Exclusive, as a real port: a second open of an open device fails.
    if (modem == nullptr || modem->Fails(Fault::kOpenFails) || !modem->OpenDevice(touch.now))
        return nullptr;
    world.devices.push_back(std::make_unique<SimDevice>(world, *modem));
    return world.devices.back().get();
}

}  // namespace sim
