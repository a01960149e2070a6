// The RFC 2217 server: one thread, poll on the sockets, short reads on the device.
#include "rfc2217_server.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/net/socket.h"
#include "platform/rfc2217/telnet_parser.h"

namespace modemsim {

using namespace platform::telnet;
namespace net = platform::net;

namespace {

// Data from the device waits while this much is still unsent to the client.
constexpr std::size_t kMaxBacklog = std::size_t{64} * 1024;
constexpr char kSignatureText[] = "KORVA modemsim";

// A device read time-out (driver milliseconds) of about one real millisecond: it paces the loop
// while a client is connected, so client bytes wait at most that long for the device.
uint32_t DeviceReadMs() {
    double ms = std::ceil(1.0 / platform::TimeScale());
    return static_cast<uint32_t>(std::clamp(ms, 1.0, 1000.0));
}

uint8_t ParityCode(uint8_t parity) {
    return static_cast<uint8_t>(parity + 1);
}

uint8_t StopCode(uint8_t stopBits) {
    return stopBits == platform::kTwoStopBits    ? kStopTwo
           : stopBits == platform::kOne5StopBits ? kStopOneAndHalf
                                                 : kStopOne;
}

}  // namespace

struct Rfc2217Server::Impl {
    explicit Impl(platform::SerialDevice* serial) : device(serial) {}

    void Run();
    void Accept();
    void CloseClient();
    bool Receive();
    void WriteDevice(const uint8_t* data, std::size_t n);
    void Handle(const Event& event);
    void BecomeComPortClient();
    void HandleComPort(uint8_t command, const uint8_t* value, std::size_t length);
    uint8_t HandleControl(uint8_t value);
    void ForwardFromDevice();
    void CheckModemLines(bool force);
    void DrainDeviceInput();
    void Send(const uint8_t* bytes, std::size_t n);
    void Reply(uint8_t command, const uint8_t* value, std::size_t length);
    void Reply(uint8_t command, uint8_t value) { Reply(command, &value, 1); }
    bool Flush();
    std::size_t Backlog() const { return tx.size() - txStart; }
    // Applies a change to the device's settings; the settings in force afterwards.
    template <typename Change>
    platform::Dcb ChangeState(Change change);
    void KeepControlLines(platform::Dcb& dcb) const;

    platform::SerialDevice* device;
    net::Socket listener = net::kNoSocket;
    net::Socket waker = net::kNoSocket;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> drop{false};
    std::atomic<bool> hasClient{false};
    std::atomic<unsigned> accepted{0};
    std::atomic<uint16_t> port{0};

    // The current client; touched by the thread only.
    net::Socket client = net::kNoSocket;
    Parser parser;
    Negotiator negotiator;
    std::vector<uint8_t> tx;
    std::size_t txStart = 0;
    uint8_t modemMask = 0xFF;
    uint8_t lastLines = 0;
    bool comPortClient = false;  // the client speaks COM-PORT-OPTION: it gets notifications
    bool suspended = false;
    bool dtr = true;
    bool rts = true;
};

void Rfc2217Server::Impl::Run() {
    while (!stop.load()) {
        if (drop.exchange(false)) CloseClient();
        bool connected = client != net::kNoSocket;
        bool readDevice = connected && !suspended && Backlog() < kMaxBacklog;
        net::PollEntry entries[3] = {
            {waker, net::kReadable, 0}, {listener, net::kReadable, 0}, {client, net::kReadable, 0}};
        if (Backlog() > 0) entries[2].want |= net::kWritable;
        // Without a client nothing happens until a wake or a connection. With one, the device
        // read paces the loop; when it is not read, a short poll keeps the modem lines watched.
        uint64_t deadline =
            !connected ? net::kNoDeadline : net::DeadlineAfterMs(readDevice ? 0 : 1);
        if (net::Poll(entries, connected ? 3 : 2, deadline) < 0) break;
        if (entries[0].ready != 0) net::Drain(waker);
        // The client first: a connection that just ended makes room for the one waiting.
        if (connected && entries[2].ready != 0) {
            bool alive = (entries[2].ready & (net::kReadable | net::kBroken)) == 0 || Receive();
            if (alive && (entries[2].ready & net::kWritable)) alive = Flush();
            if (!alive) CloseClient();
        }
        if (entries[1].ready & net::kReadable) Accept();
        if (client != net::kNoSocket) {
            if (readDevice) ForwardFromDevice();
            CheckModemLines(false);
            if (!Flush()) CloseClient();
        }
    }
    CloseClient();
}

void Rfc2217Server::Impl::Accept() {
    net::Socket socket = net::Accept(listener);
    if (socket == net::kNoSocket) return;
    if (client != net::kNoSocket) {  // one client at a time, as a serial port has one owner
        net::Close(socket);
        return;
    }
    client = socket;
    parser.Reset();
    negotiator.Reset();
    negotiator.Support(kOptionBinary, true, true);
    negotiator.Support(kOptionSga, true, true);
    negotiator.Support(kOptionComPort, false, true);
    tx.clear();
    txStart = 0;
    modemMask = 0xFF;  // the mask a server starts with
    lastLines = 0;
    comPortClient = false;
    suspended = false;
    platform::Dcb dcb;
    if (device->GetState(dcb)) {
        dtr = dcb.fDtrControl != platform::kDtrControlDisable;
        rts = dcb.fRtsControl != platform::kRtsControlDisable;
    }
    platform::CommTimeouts timeouts;
    device->GetTimeouts(timeouts);
    timeouts.readIntervalTimeout = 0;
    timeouts.readTotalTimeoutMultiplier = 0;
    timeouts.readTotalTimeoutConstant = DeviceReadMs();
    device->SetTimeouts(timeouts);

    uint8_t out[3];
    Send(out, negotiator.AskLocal(kOptionBinary, out));
    Send(out, negotiator.AskRemote(kOptionBinary, out));
    Send(out, negotiator.AskLocal(kOptionSga, out));
    Send(out, negotiator.AskRemote(kOptionComPort, out));
    hasClient.store(true);
    accepted.fetch_add(1);
}

void Rfc2217Server::Impl::CloseClient() {
    if (client == net::kNoSocket) return;
    net::Close(client);
    client = net::kNoSocket;
    tx.clear();
    txStart = 0;
    device->Escape(platform::kClrDtr);
    hasClient.store(false);
}

// False when the client has gone.
bool Rfc2217Server::Impl::Receive() {
    uint8_t raw[4096];
    uint8_t data[sizeof raw];
    std::ptrdiff_t got = net::Receive(client, raw, sizeof raw);
    if (got == 0) return false;
    if (got < 0) return got == net::kWouldBlock;
    std::size_t offset = 0;
    while (offset < static_cast<std::size_t>(got)) {
        Event event;
        FeedResult result =
            parser.Feed(raw + offset, static_cast<std::size_t>(got) - offset, data, &event);
        // Data before a command reaches the device before the command takes effect.
        WriteDevice(data, result.data);
        if (result.event) Handle(event);
        offset += result.consumed;
    }
    return true;
}

void Rfc2217Server::Impl::WriteDevice(const uint8_t* data, std::size_t n) {
    if (n == 0) return;
    uint32_t written = 0;
    device->Write(data, static_cast<uint32_t>(n), &written);  // a device that fails loses them
}

void Rfc2217Server::Impl::Handle(const Event& event) {
    switch (event.type) {
        case EventType::kCommand:
            break;
        case EventType::kSubnegotiation:
            if (event.value != kOptionComPort || event.length == 0) break;
            // A client may take our DO as settled and never send its WILL (pySerial does when
            // the DO arrives first): using the option counts as agreeing to it.
            BecomeComPortClient();
            HandleComPort(event.payload[0], event.payload + 1, event.length - 1u);
            break;
        default: {
            uint8_t reply[3];
            Send(reply, negotiator.Answer(event, reply));
            if (negotiator.RemoteOn(kOptionComPort)) BecomeComPortClient();
        }
    }
}

// The current lines go to a client as soon as it speaks COM-PORT-OPTION.
void Rfc2217Server::Impl::BecomeComPortClient() {
    if (comPortClient) return;
    comPortClient = true;
    CheckModemLines(true);
}

template <typename Change>
platform::Dcb Rfc2217Server::Impl::ChangeState(Change change) {
    platform::Dcb dcb;
    device->GetState(dcb);
    platform::Dcb wanted = dcb;
    if (change(wanted)) {
        KeepControlLines(wanted);
        device->SetState(wanted);
    }
    device->GetState(dcb);
    return dcb;
}

// Applying settings drives DTR and RTS as their control modes say, but a change of speed or
// format must leave the lines as the client set them, as it does on a real port.
void Rfc2217Server::Impl::KeepControlLines(platform::Dcb& dcb) const {
    if (!dtr) {
        dcb.fDtrControl = platform::kDtrControlDisable;
    } else if (dcb.fDtrControl == platform::kDtrControlDisable) {
        dcb.fDtrControl = platform::kDtrControlEnable;
    }
    if (dcb.fRtsControl == platform::kRtsControlHandshake) return;  // flow control drives RTS
    if (!rts) {
        dcb.fRtsControl = platform::kRtsControlDisable;
    } else if (dcb.fRtsControl == platform::kRtsControlDisable) {
        dcb.fRtsControl = platform::kRtsControlEnable;
    }
}

// Every setting is answered with the value in force afterwards (a value of 0 only asks).
void Rfc2217Server::Impl::HandleComPort(uint8_t command, const uint8_t* value, std::size_t length) {
    const uint8_t answer = static_cast<uint8_t>(command + kServerOffset);
    const uint8_t v = length > 0 ? value[0] : 0;
    switch (command) {
        case kSignature:
            if (length == 0)
                Reply(answer, reinterpret_cast<const uint8_t*>(kSignatureText),
                      sizeof kSignatureText - 1);
            return;
        case kSetBaudRate: {
            if (length < 4) return;
            uint32_t baud = uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 |
                            uint32_t{value[2]} << 8 | value[3];
            platform::Dcb dcb = ChangeState([&](platform::Dcb& d) {
                d.baudRate = baud;
                return baud != 0;
            });
            const uint8_t now[4] = {
                static_cast<uint8_t>(dcb.baudRate >> 24), static_cast<uint8_t>(dcb.baudRate >> 16),
                static_cast<uint8_t>(dcb.baudRate >> 8), static_cast<uint8_t>(dcb.baudRate)};
            Reply(answer, now, sizeof now);
            return;
        }
        case kSetDataSize: {
            if (length < 1) return;
            platform::Dcb dcb = ChangeState([&](platform::Dcb& d) {
                d.byteSize = v;
                return v >= 5 && v <= 8;
            });
            Reply(answer, dcb.byteSize);
            return;
        }
        case kSetParity: {
            if (length < 1) return;
            platform::Dcb dcb = ChangeState([&](platform::Dcb& d) {
                d.parity = static_cast<uint8_t>(v - 1);
                d.fParity = v != kParityNone;
                return v >= kParityNone && v <= kParitySpace;
            });
            Reply(answer, ParityCode(dcb.parity));
            return;
        }
        case kSetStopSize: {
            if (length < 1) return;
            platform::Dcb dcb = ChangeState([&](platform::Dcb& d) {
                d.stopBits = v == kStopTwo          ? platform::kTwoStopBits
                             : v == kStopOneAndHalf ? platform::kOne5StopBits
                                                    : platform::kOneStopBit;
                return v >= kStopOne && v <= kStopOneAndHalf;
            });
            Reply(answer, StopCode(dcb.stopBits));
            return;
        }
        case kSetControl:
            if (length < 1) return;
            Reply(answer, HandleControl(v));
            return;
        case kNotifyLineState:
            Reply(answer, uint8_t{0});  // no line errors are known here
            return;
        case kNotifyModemState:
            CheckModemLines(true);
            return;
        case kFlowControlSuspend:
            suspended = true;
            return;
        case kFlowControlResume:
            suspended = false;
            return;
        case kSetLineStateMask:
            if (length < 1) return;
            Reply(answer, v);
            return;
        case kSetModemStateMask:
            if (length < 1) return;
            modemMask = v;
            Reply(answer, v);
            return;
        case kPurgeData:
            if (length < 1 || v < kPurgeReceive || v > kPurgeBoth) return;
            // The transmit side has nothing to purge: client data goes to the device at once.
            if (v != kPurgeTransmit) DrainDeviceInput();
            Reply(answer, v);
            return;
        default:
            return;
    }
}

// SET-CONTROL: the value to answer with.
uint8_t Rfc2217Server::Impl::HandleControl(uint8_t value) {
    switch (value) {
        case kControlRequestFlow: {
            platform::Dcb dcb;
            device->GetState(dcb);
            return dcb.fOutX          ? kControlXonXoff
                   : dcb.fOutxCtsFlow ? kControlHardwareFlow
                                      : kControlNoFlow;
        }
        case kControlNoFlow:
        case kControlXonXoff:
        case kControlHardwareFlow: {
            platform::Dcb dcb = ChangeState([&](platform::Dcb& d) {
                d.fOutX = d.fInX = value == kControlXonXoff;
                d.fOutxCtsFlow = value == kControlHardwareFlow;
                if (value == kControlHardwareFlow) {
                    d.fRtsControl = platform::kRtsControlHandshake;
                } else if (d.fRtsControl == platform::kRtsControlHandshake) {
                    d.fRtsControl = platform::kRtsControlEnable;
                }
                return true;
            });
            return dcb.fOutX          ? kControlXonXoff
                   : dcb.fOutxCtsFlow ? kControlHardwareFlow
                                      : kControlNoFlow;
        }
        case kControlRequestBreak:
        case kControlBreakOn:
        case kControlBreakOff:
            return kControlBreakOff;  // the serial seam has no break
        case kControlRequestDtr:
            return dtr ? kControlDtrOn : kControlDtrOff;
        case kControlDtrOn:
        case kControlDtrOff:
            if (device->Escape(value == kControlDtrOn ? platform::kSetDtr : platform::kClrDtr))
                dtr = value == kControlDtrOn;
            return dtr ? kControlDtrOn : kControlDtrOff;
        case kControlRequestRts:
            return rts ? kControlRtsOn : kControlRtsOff;
        case kControlRtsOn:
        case kControlRtsOff:
            if (device->Escape(value == kControlRtsOn ? platform::kSetRts : platform::kClrRts))
                rts = value == kControlRtsOn;
            return rts ? kControlRtsOn : kControlRtsOff;
        default:
            return value;  // inbound flow control choices: taken without effect
    }
}

void Rfc2217Server::Impl::ForwardFromDevice() {
    uint8_t data[1024];
    uint32_t got = 0;
    if (!device->Read(data, sizeof data, &got) || got == 0) return;
    uint8_t escaped[2 * sizeof data];
    std::size_t consumed = 0;
    std::size_t n = EscapeData(data, got, escaped, sizeof escaped, &consumed);
    Send(escaped, n);
}

// Notifies the client when a line that its mask selects has changed (or when forced), with the
// change flags of RFC 2217 in the low nibble.
void Rfc2217Server::Impl::CheckModemLines(bool force) {
    if (!comPortClient) return;
    uint32_t status = 0;
    if (!device->GetModemStatus(&status)) return;
    uint8_t lines = static_cast<uint8_t>(status) & kModemLines;
    uint8_t changed = lines ^ lastLines;
    uint8_t deltas = static_cast<uint8_t>((changed >> 4) & 0x0B);       // CTS, DSR, DCD changes
    if ((lastLines & kModemRi) && !(lines & kModemRi)) deltas |= 0x04;  // RI trailing edge
    uint8_t watched = static_cast<uint8_t>(modemMask | (modemMask << 4)) & kModemLines;
    lastLines = lines;
    if (force || (changed & watched) != 0)
        Reply(kNotifyModemState + kServerOffset,
              static_cast<uint8_t>((lines | deltas) & modemMask));
}

void Rfc2217Server::Impl::DrainDeviceInput() {
    uint8_t scratch[1024];
    for (int i = 0; i < 1024; ++i) {  // bounded, in case the device never falls silent
        uint32_t got = 0;
        if (!device->Read(scratch, sizeof scratch, &got) || got == 0) return;
    }
}

void Rfc2217Server::Impl::Send(const uint8_t* bytes, std::size_t n) {
    tx.insert(tx.end(), bytes, bytes + n);
}

void Rfc2217Server::Impl::Reply(uint8_t command, const uint8_t* value, std::size_t length) {
    std::vector<uint8_t> frame(6 + 2 * length);
    frame.resize(ComPortFrame(command, value, length, frame.data()));
    Send(frame.data(), frame.size());
}

// False when the connection failed.
bool Rfc2217Server::Impl::Flush() {
    while (Backlog() > 0) {
        std::ptrdiff_t sent = net::Send(client, tx.data() + txStart, Backlog());
        if (sent <= 0) return sent == net::kWouldBlock;
        txStart += static_cast<std::size_t>(sent);
    }
    tx.clear();
    txStart = 0;
    return true;
}

Rfc2217Server::Rfc2217Server(platform::SerialDevice* device)
    : impl_(std::make_unique<Impl>(device)) {}

Rfc2217Server::~Rfc2217Server() {
    Stop();
}

bool Rfc2217Server::Start(uint16_t port) {
    Impl& s = *impl_;
    if (s.thread.joinable()) return false;
    uint16_t bound = 0;
    net::Socket listener = net::ListenLoopback(port, &bound);
    if (listener == net::kNoSocket) return false;
    net::Socket waker = net::OpenWaker();
    if (waker == net::kNoSocket) {
        net::Close(listener);
        return false;
    }
    s.listener = listener;
    s.waker = waker;
    s.port.store(bound);
    s.stop.store(false);
    s.drop.store(false);
    s.thread = std::thread([&s] { s.Run(); });
    return true;
}

uint16_t Rfc2217Server::Port() const {
    return impl_->port.load();
}

void Rfc2217Server::Stop() {
    Impl& s = *impl_;
    if (!s.thread.joinable()) return;
    s.stop.store(true);
    net::Wake(s.waker);
    s.thread.join();
    net::Close(s.listener);
    net::Close(s.waker);
    s.listener = s.waker = net::kNoSocket;
}

void Rfc2217Server::DropClient() {
    Impl& s = *impl_;
    if (!s.thread.joinable()) return;
    s.drop.store(true);
    net::Wake(s.waker);
}

bool Rfc2217Server::HasClient() const {
    return impl_->hasClient.load();
}

unsigned Rfc2217Server::ClientsAccepted() const {
    return impl_->accepted.load();
}

}  // namespace modemsim
