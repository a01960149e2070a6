// The simulated modem world: Hayes modems on serial ports, a telephone exchange and remote
// stations, served to the driver as the `sim` serial backend.
//
// Usage, in a test:
//
//     sim::World world;
//     sim::Modem& modem = world.AddModem("COM3", "201");      // its device and line number
//     sim::Station& plc = world.AddStation("555");
//     plc.SetReply(std::string("\x10\x01", 2), "\x68\x11\x16"); // request -> reply
//     world.SetOutcome("666", sim::Outcome::kBusy);            // dialling 666 gives BUSY
//     world.Install();  // platform::SerialOpen("COM3") now reaches the modem (install after
//                       // DriverTest::SetUp, which removes any opener)
//
//     // The driver writes "ATDT555\r": the echo is queued at once, "\r\nCONNECT 2400\r\n"
//     // and DCD follow one second (driver time) later; what it writes then reaches `plc`.
//     // The driver writes "ATS0=1\r", and a station calls in:
//     plc.Call("201");  // "\r\nRING\r\n" and RI at once; off-hook when the ring ends,
//                       // CONNECT and DCD a second later
//     EXPECT_EQ(modem.Commands().back(), "ATS0=1");
//     plc.HangUp();     // once connected: COM3 says NO CARRIER, DCD drops
//     modem.SetFault(sim::Fault::kSilent);          // no echo, no replies from now on
//     modem.SetFault(sim::Fault::kWriteFails, 3);   // the fourth write and later ones fail
//
// Timing: a modem answers a written command before Write returns (echo and result code are in
// the input queue at once). Everything that depends on time (rings, answering, carrier, guard
// times, delayed replies) is due at a point of the scaled driver clock and happens when the
// world is next touched at or after that point; a blocked Read wakes at the next due point. No
// thread of its own runs. Delays below are in milliseconds of driver time.
//
// A modem answers calls only while its port is open (with &D2 a low DTR stops auto-answer, and
// the port's DTR is low while it is closed); output sent while the port is closed is lost.
//
// Every call is thread-safe. A World must outlive the devices the driver opened on it: stop the
// driver (or close its ports) before the World goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

enum class ModemState {
    kCommand,    // on-hook, taking commands
    kRinging,    // an incoming call rings; still taking commands
    kDialing,    // off-hook, waiting for the far end and the carrier
    kAnswering,  // off-hook, answering a call, carrier not yet up
    kOnline,     // carrier up, data mode
    kEscaped,    // carrier up, command mode after "+++" (ATO returns online)
};

// What the exchange gives for a dialled number instead of a party.
enum class Outcome { kBusy, kNoAnswer, kNoCarrier, kNoDialTone };

enum class Fault {
    // The modem.
    kPoweredOff,    // no DSR or CTS, ignores input, sends nothing, answers no call; powering
                    // on again (ClearFault) restores the factory profile
    kSilent,        // ignores input and sends nothing (no echo, no replies); lines stay up
    kGarbled,       // result codes and query replies arrive with their text bytes corrupted
    kErrorReplies,  // answers ERROR to every command line
    kNoDialTone,    // every dial ends with NO DIALTONE
    // The serial device: once `after` more calls of its kind have succeeded, the call fails
    // (a short write takes half its count) `times` times, or until cleared when `times` is 0.
    kOpenFails,
    kGetStateFails,
    kSetStateFails,
    kGetTimeoutsFails,
    kSetTimeoutsFails,
    kReadFails,
    kWriteFails,
    kShortWrite,
    kClearErrorFails,
    kStatusFails,
    kEscapeFails,
    kCloseFails,
};

struct DtrChange {
    bool high;
    uint64_t atNs;  // platform::MonotonicNs() of the change
    double atMs;    // driver milliseconds since the World was created
};

class World;
class ModemCore;
class StationCore;

class Modem {
  public:
    // Speed in the CONNECT result code (default 2400).
    void SetConnectSpeed(uint32_t bitsPerSecond);
    void SetFault(Fault fault, uint32_t after = 0, uint32_t times = 0);
    void ClearFault(Fault fault);
    // The carrier is lost now: the modem says NO CARRIER, the far end is released.
    void DropCarrier();

    ModemState State() const;
    bool OffHook() const;
    // Command lines received, in order, as typed from "AT" up to the carriage return.
    std::vector<std::string> Commands() const;
    int Register(unsigned number) const;  // S-register value
    uint32_t Status() const;              // the platform::kMs* bits the device reports now
    bool Dtr() const;
    std::vector<DtrChange> DtrHistory() const;
    bool DeviceOpen() const;

  private:
    friend class World;
    Modem(World& world, ModemCore& core) : world_(world), core_(core) {}
    World& world_;
    ModemCore& core_;
};

class Station {
  public:
    // Answer a request ending the bytes received so far with `reply`.
    void SetReply(std::string request, std::string reply);
    // Answer any data no request matches with `reply` (each write of the caller is one request).
    void SetReplyToAny(std::string reply);
    // Send back any data nothing else answers.
    void SetEcho(bool on);
    // Replies arrive this long after the request (default 0: at once).
    void SetReplyDelay(uint32_t ms);

    // Calls a modem's number; false when it is busy or no modem has that number.
    bool Call(const char* number);
    void HangUp();
    // Sends bytes to the modem at the other end; false without a carrier.
    bool Send(const std::string& bytes);

    bool Connected() const;        // in a call whose modem has its carrier up
    std::string Received() const;  // every byte received, in order
    void ClearReceived();

  private:
    friend class World;
    Station(World& world, StationCore& core) : world_(world), core_(core) {}
    World& world_;
    StationCore& core_;
};

class World {
  public:
    World();
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // deviceName "COM3" or "//./COM12"; phoneNumber may be empty (takes no calls). Its digits
    // are the number (dial strings are read the same way).
    Modem& AddModem(const char* deviceName, const char* phoneNumber);
    Station& AddStation(const char* phoneNumber);
    Modem* FindModem(const char* deviceName);

    // Dialling `number` gives `outcome` after `delayMs` (this wins over a party there).
    void SetOutcome(const char* number, Outcome outcome, uint32_t delayMs = 1000);
    // What a number without a party or outcome gives (default NO CARRIER after 1000 ms).
    void SetUnknownOutcome(Outcome outcome, uint32_t delayMs = 1000);
    // Carrier handshake after the called end goes off-hook (default 1000 ms).
    void SetConnectDelay(uint32_t ms);
    // A ring every periodMs, RI on for the first onMs of it (default 2000, 1000).
    void SetRingCadence(uint32_t periodMs, uint32_t onMs);

    // While installed, platform::SerialOpen reaches this world for every name: a name without
    // a modem fails to open (a test never falls through to a real device).
    void Install();
    void Uninstall();

    struct Impl;

  private:
    friend class Modem;
    friend class Station;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
