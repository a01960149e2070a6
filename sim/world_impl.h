// The world's insides: one lock over every modem, station and device, and the clock that brings
// their timed events up to date.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "exchange.h"
#include "modem_core.h"
#include "sim.h"
#include "station_core.h"

namespace sim {

class SimDevice;

struct World::Impl {
    struct ModemEntry {
        unsigned com;
        std::unique_ptr<ModemCore> core;
        std::unique_ptr<Modem> facade;
    };
    struct StationEntry {
        std::unique_ptr<StationCore> core;
        std::unique_ptr<Station> facade;
    };

    Impl();
    ~Impl();

    // Fires every event due at or before `now`, earliest first.
    void Advance(uint64_t now);
    uint64_t NextDue() const;
    ModemCore* FindModem(const char* deviceName);

    std::mutex mutex;
    std::condition_variable changed;  // output appeared or the line changed
    const uint64_t startNs;
    Exchange exchange;
    std::vector<ModemEntry> modems;
    std::vector<StationEntry> stations;
    std::vector<std::unique_ptr<SimDevice>> devices;  // every device opened, kept until the end
};

// Holds the world's lock with its events brought up to now; wakes blocked readers on leaving,
// after bringing the events up to date once more (a change may have made one due at once).
class Touch {
  public:
    explicit Touch(World::Impl& world);
    ~Touch();
    Touch(const Touch&) = delete;
    Touch& operator=(const Touch&) = delete;

    // Waits until `until` (MonotonicNs terms, kNever for no limit) or a change, then brings
    // the events and `now` up to date.
    void WaitUntil(uint64_t until);

    uint64_t now;

  private:
    World::Impl& world_;
    std::unique_lock<std::mutex> lock_;
};

}  // namespace sim
