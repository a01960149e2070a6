// An RFC 2217 server for one serial device on a loopback TCP port: what a network device server
// does for a real port, so that any device behind the serial seam (a simulated modem, a test
// double) can be reached as "rfc2217://127.0.0.1:port".
//
// One client at a time; a second connection is closed at once. A thread moves the data both
// ways, applies the client's line settings to the device's settings record, DTR and RTS through
// Escape, purges the device's input by reading it away, and watches the device's modem lines,
// notifying the client of changes in CTS, DSR, RI and DCD (and of the current state once the
// client has agreed to COM-PORT-OPTION, and whenever it asks). When a client goes, the device's
// DTR drops, as when a program closes a serial port; the next client raises it with its settings.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace modemsim {

class Rfc2217Server {
  public:
    // The device stays the caller's: it must outlive the server, which never closes it. The
    // server sets the device's read time-out to a short span so that its thread never blocks.
    explicit Rfc2217Server(platform::SerialDevice* device);
    ~Rfc2217Server();
    Rfc2217Server(const Rfc2217Server&) = delete;
    Rfc2217Server& operator=(const Rfc2217Server&) = delete;

    // Listens on 127.0.0.1:port (0: a free port chosen by the system) and starts the thread.
    // False when the port cannot be bound or the server already runs.
    bool Start(uint16_t port = 0);
    // The port listened on; 0 before Start.
    uint16_t Port() const;
    // Ends the client's connection and the listening, and joins the thread.
    void Stop();
    // Ends the current client's connection as a network failure would; keeps listening.
    void DropClient();
    bool HasClient() const;
    // Clients served so far (not those turned away while another was connected).
    unsigned ClientsAccepted() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace modemsim
