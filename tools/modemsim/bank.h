// The simulated modem bank: a sim::World whose modems are each served as an RFC 2217 port on
// loopback, its stations, and the commands that play the telephone network's side.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rfc2217_server.h"
#include "sim/sim.h"
#include "tracing_device.h"

namespace modemsim {

class Bank {
  public:
    // Every line the bank prints (command answers and the trace) goes to `out`, whole.
    using Sink = std::function<void(const std::string& line)>;

    explicit Bank(Sink out);
    ~Bank();
    Bank(const Bank&) = delete;
    Bank& operator=(const Bank&) = delete;

    // ----- Building the bank (before Start). Each returns false with a message in `error`.
    // `device` "COMn"; `number` the modem's line number, empty for none; `port` 0 for any free.
    bool AddModem(const std::string& device, const std::string& number, uint16_t port,
                  std::string& error);
    // The station of that number, added on first use.
    sim::Station& StationAt(const std::string& number);
    sim::World& World() { return world_; }
    sim::Modem* FindModem(const std::string& deviceOrNumber);
    // words: DEVICE NAME on|off [AFTER [TIMES]]
    bool SetFault(const std::vector<std::string>& words, std::string& error);

    // ----- Running.
    // Opens every modem's port (DTR low until a client raises it) and starts its server.
    bool Start(std::string& error);
    // "COM1=41001 COM2=41002 ...": the ports listened on.
    std::string Ports() const;
    // Writes DIR/COMn = "rfc2217://127.0.0.1:PORT" for every modem; RemoveMap takes them away.
    bool WriteMap(const std::string& dir, std::string& error);
    void RemoveMap();
    void SetTrace(bool on) { tracing_.store(on); }
    // Runs one command line; false when it asks to quit.
    bool Execute(const std::string& line);

  private:
    struct ModemEntry {
        std::string device;
        unsigned com;
        std::string number;
        uint16_t wantedPort;
        sim::Modem* modem;
        platform::SerialDevice* simDevice = nullptr;
        std::unique_ptr<TracingDevice> traced;
        std::unique_ptr<Rfc2217Server> server;
    };

    ModemEntry* FindEntry(const std::string& deviceOrNumber);
    void Say(const std::string& line) { out_(line); }
    void List();
    void Call(const std::vector<std::string>& words);
    void HangUp(const std::vector<std::string>& words);
    void Send(const std::vector<std::string>& words, const std::string& line);
    void Drop(const std::vector<std::string>& words);
    void Power(const std::vector<std::string>& words);

    Sink out_;
    std::atomic<bool> tracing_{false};
    // The world goes last: the servers and devices below use it until they stop.
    sim::World world_;
    std::vector<std::unique_ptr<ModemEntry>> modems_;
    std::map<std::string, sim::Station*> stations_;  // by the digits of their number
    std::vector<std::string> mapFiles_;
};

// Reads hexadecimal digits ("0103000A0001") into bytes; false when they are not pairs of them.
bool ParseHex(const std::string& text, std::string& bytes);

}  // namespace modemsim
