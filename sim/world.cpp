// The world and the test-facing handles of its modems and stations: each call takes the lock,
// brings the timed events up to now and hands over to the modem or station.
#include <algorithm>
#include <atomic>
#include <chrono>

#include "device.h"
#include "platform/platform.h"
#include "sim.h"
#include "world_impl.h"

namespace sim {
namespace {

std::atomic<World::Impl*> g_installed{nullptr};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The clock and the lock.

World::Impl::Impl() : startNs(platform::MonotonicNs()) {}
World::Impl::~Impl() = default;

void World::Impl::Advance(uint64_t now) {
    for (;;) {
        ModemCore* next = nullptr;
        uint64_t due = kNever;
        for (ModemEntry& entry : modems) {
            uint64_t at = entry.core->NextDue();
            if (at < due) {
                due = at;
                next = entry.core.get();
            }
        }
        if (next == nullptr || due > now) return;
        next->RunNext();
    }
}

uint64_t World::Impl::NextDue() const {
    uint64_t due = kNever;
    for (const ModemEntry& entry : modems)
        due = std::min(due, entry.core->NextDue());
    return due;
}

ModemCore* World::Impl::FindModem(const char* deviceName) {
    unsigned com = platform::ComNumber(deviceName);
    for (ModemEntry& entry : modems)
        if (com != 0 && entry.com == com) return entry.core.get();
    return nullptr;
}

Touch::Touch(World::Impl& world) : now(0), world_(world), lock_(world.mutex) {
    now = platform::MonotonicNs();
    world_.Advance(now);
}

Touch::~Touch() {
    world_.Advance(now);
    world_.changed.notify_all();
}

void Touch::WaitUntil(uint64_t until) {
    if (until == kNever) {
        world_.changed.wait(lock_);
    } else if (until > now) {
        world_.changed.wait_for(lock_, std::chrono::nanoseconds(until - now));
    }
    now = platform::MonotonicNs();
    world_.Advance(now);
}

// ---------------------------------------------------------------------------------------------
// World.

World::World() : impl_(std::make_unique<Impl>()) {}

World::~World() {
    Uninstall();
}

Modem& World::AddModem(const char* deviceName, const char* phoneNumber) {
    Touch touch(*impl_);
    auto core = std::make_unique<ModemCore>(impl_->exchange, impl_->startNs);
    if (phoneNumber != nullptr) impl_->exchange.Attach(phoneNumber, *core);
    std::unique_ptr<Modem> facade(new Modem(*this, *core));
    impl_->modems.push_back(
        Impl::ModemEntry{platform::ComNumber(deviceName), std::move(core), std::move(facade)});
    return *impl_->modems.back().facade;
}

Station& World::AddStation(const char* phoneNumber) {
    Touch touch(*impl_);
    auto core = std::make_unique<StationCore>(impl_->exchange);
    impl_->exchange.Attach(phoneNumber, *core);
    std::unique_ptr<Station> facade(new Station(*this, *core));
    impl_->stations.push_back(Impl::StationEntry{std::move(core), std::move(facade)});
    return *impl_->stations.back().facade;
}

Modem* World::FindModem(const char* deviceName) {
    Touch touch(*impl_);
    unsigned com = platform::ComNumber(deviceName);
    for (Impl::ModemEntry& entry : impl_->modems)
        if (com != 0 && entry.com == com) return entry.facade.get();
    return nullptr;
}

void World::SetOutcome(const char* number, Outcome outcome, uint32_t delayMs) {
    Touch touch(*impl_);
    impl_->exchange.SetOutcome(number, outcome, delayMs);
}

void World::SetUnknownOutcome(Outcome outcome, uint32_t delayMs) {
    Touch touch(*impl_);
    impl_->exchange.SetUnknownOutcome(outcome, delayMs);
}

void World::SetConnectDelay(uint32_t ms) {
    Touch touch(*impl_);
    impl_->exchange.timing.connectDelayMs = ms;
}

void World::SetRingCadence(uint32_t periodMs, uint32_t onMs) {
    Touch touch(*impl_);
    // A ring period of 0 would ring without end at one instant.
    impl_->exchange.timing.ringPeriodMs = std::max<uint32_t>(periodMs, 1);
    impl_->exchange.timing.ringOnMs = std::min(onMs, impl_->exchange.timing.ringPeriodMs);
}

void World::Install() {
    g_installed.store(impl_.get());
    platform::SetSerialOpener(&OpenSimDevice, impl_.get());
}

void World::Uninstall() {
    Impl* self = impl_.get();
    if (g_installed.compare_exchange_strong(self, nullptr))
        platform::SetSerialOpener(nullptr, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Modem.

void Modem::SetConnectSpeed(uint32_t bitsPerSecond) {
    Touch touch(*world_.impl_);
    core_.SetConnectSpeed(bitsPerSecond);
}

void Modem::SetFault(Fault fault, uint32_t after, uint32_t times) {
    Touch touch(*world_.impl_);
    core_.SetFault(fault, after, times, touch.now);
}

void Modem::ClearFault(Fault fault) {
    Touch touch(*world_.impl_);
    core_.ClearFault(fault);
}

void Modem::DropCarrier() {
    Touch touch(*world_.impl_);
    core_.DropCarrier(touch.now);
}

ModemState Modem::State() const {
    Touch touch(*world_.impl_);
    return core_.State();
}

bool Modem::OffHook() const {
    Touch touch(*world_.impl_);
    return core_.OffHook();
}

std::vector<std::string> Modem::Commands() const {
    Touch touch(*world_.impl_);
    return core_.Commands();
}

int Modem::Register(unsigned number) const {
    Touch touch(*world_.impl_);
    return core_.Register(number);
}

uint32_t Modem::Status() const {
    Touch touch(*world_.impl_);
    return core_.Status(touch.now);
}

bool Modem::Dtr() const {
    Touch touch(*world_.impl_);
    return core_.Dtr();
}

std::vector<DtrChange> Modem::DtrHistory() const {
    Touch touch(*world_.impl_);
    return core_.DtrHistory();
}

bool Modem::DeviceOpen() const {
    Touch touch(*world_.impl_);
    return core_.DeviceOpen();
}

// ---------------------------------------------------------------------------------------------
// Station.

void Station::SetReply(std::string request, std::string reply) {
    Touch touch(*world_.impl_);
    core_.SetReply(std::move(request), std::move(reply));
}

void Station::SetReplyToAny(std::string reply) {
    Touch touch(*world_.impl_);
    core_.SetReplyToAny(std::move(reply));
}

void Station::SetEcho(bool on) {
    Touch touch(*world_.impl_);
    core_.SetEcho(on);
}

void Station::SetReplyDelay(uint32_t ms) {
    Touch touch(*world_.impl_);
    core_.SetReplyDelay(ms);
}

bool Station::Call(const char* number) {
    Touch touch(*world_.impl_);
    return core_.Call(number, touch.now);
}

void Station::HangUp() {
    Touch touch(*world_.impl_);
    core_.HangUp(touch.now);
}

bool Station::Send(const std::string& bytes) {
    Touch touch(*world_.impl_);
    return core_.Send(bytes, touch.now);
}

bool Station::Connected() const {
    Touch touch(*world_.impl_);
    return core_.Connected();
}

std::string Station::Received() const {
    Touch touch(*world_.impl_);
    return core_.Received();
}

void Station::ClearReceived() {
    Touch touch(*world_.impl_);
    core_.Received().clear();
}

}  // namespace sim
