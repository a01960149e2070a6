// A serial device on a network device server: RFC 2217 (Telnet COM-PORT-OPTION) over TCP.
//
// Data is sent and received in Telnet binary mode with IAC doubled. Line settings, DTR and RTS
// become COM-PORT-OPTION commands; the server's answers to them are not awaited, since the
// serial seam has no way to report a late refusal. The modem lines come from the server's
// NOTIFY-MODEMSTATE messages: at open we ask for notifications of CTS, DSR, RI and DCD
// (SET-MODEMSTATE-MASK) and for the current state once (NOTIFY-MODEMSTATE). GetModemStatus
// reports the last state notified, 0 (every line off) until the first notification. A server that
// never sends notifications therefore shows all four lines off for the whole connection: no
// carrier and no ring, whatever the modem behind it does.
//
// Threads: calls may come from several threads. Socket input is parsed only under `mu_`; a Read
// waits in poll without holding it. While a Read is under way, only that Read takes bytes from
// the socket (others report what has already been parsed), so data never sits parsed in the
// buffer while the reader sleeps in poll on an empty socket. Output goes through one buffer in
// order, so negotiation answers never land inside a doubled IAC.
#include "platform/rfc2217/rfc2217.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>

#include "platform/net/socket.h"
#include "platform/rfc2217/telnet_parser.h"

namespace platform {
namespace {

using namespace telnet;
using net::Socket;

constexpr std::size_t kRxSize = 4096;
constexpr std::size_t kTxSize = 4096;
// Room that data never takes, so that negotiation answers and control frames always fit.
constexpr std::size_t kTxReserve = 256;
constexpr uint64_t kNever = net::kNoDeadline;
constexpr std::size_t kHostRoom = 256;

std::atomic<uint32_t> g_openTimeoutMs{3000};

uint64_t DeadlineAfterNs(uint64_t ns) {
    if (ns == kNever) return kNever;
    uint64_t now = MonotonicNs();
    return ns > kNever - now ? kNever : now + ns;
}

// The driver's time-out in milliseconds as a deadline (0 = none).
uint64_t ScaledDeadline(uint64_t driverMs) {
    return driverMs == 0 ? kNever : DeadlineAfterNs(ScaledNs(driverMs));
}

// Whether `text` begins with the lower-case `prefix`, in any case.
bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (std::tolower(static_cast<unsigned char>(*text)) != *prefix) return false;
    }
    return true;
}

// "rfc2217://host:port", the host possibly an IPv6 address in brackets.
bool ParseUrl(const char* url, char* host, uint16_t* port) {
    constexpr char kScheme[] = "rfc2217://";
    constexpr std::size_t kSchemeLength = sizeof kScheme - 1;
    if (url == nullptr || !StartsWithNoCase(url, kScheme)) return false;
    const char* start = url + kSchemeLength;
    const char* end = nullptr;
    const char* colon = nullptr;
    if (*start == '[') {
        ++start;
        end = std::strchr(start, ']');
        if (end == nullptr) return false;
        colon = end + 1;
    } else {
        colon = std::strrchr(start, ':');
        if (colon == nullptr) return false;
        end = colon;
        if (std::memchr(start, ':', static_cast<std::size_t>(end - start)) != nullptr) return false;
    }
    std::size_t length = static_cast<std::size_t>(end - start);
    if (*colon != ':' || length == 0 || length >= kHostRoom) return false;
    std::memcpy(host, start, length);
    host[length] = '\0';
    uint32_t value = 0;
    const char* digit = colon + 1;
    for (; *digit >= '0' && *digit <= '9' && value <= 65535; ++digit)
        value = value * 10 + (*digit - '0');
    if (digit == colon + 1 || *digit != '\0' || value == 0 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

class Rfc2217Device final : public SerialDevice {
  public:
    bool Claim() {
        bool free = false;
        return used_.compare_exchange_strong(free, true);
    }
    bool Connect(const char* host, uint16_t port);
    void Release();

    bool GetState(Dcb& dcb) override;
    bool SetState(const Dcb& dcb) override;
    bool GetTimeouts(CommTimeouts& timeouts) override;
    bool SetTimeouts(const CommTimeouts& timeouts) override;
    bool Setup(uint32_t, uint32_t) override { return true; }
    bool Read(void* buffer, uint32_t count, uint32_t* received) override;
    bool Write(const void* data, uint32_t count, uint32_t* written) override;
    bool ClearError(uint32_t* inQueue) override;
    bool GetModemStatus(uint32_t* status) override;
    bool Escape(int function) override;
    bool Close() override;

  private:
    bool Negotiate(uint64_t deadline);
    // The parts below run under mu_.
    void Pump();
    void Parse(uint8_t* raw, std::size_t n);
    void Handle(const Event& event);
    void Queue(const uint8_t* bytes, std::size_t n);
    void Flush();
    uint32_t TakeInput(uint8_t* out, uint32_t count);
    void PutInput(const uint8_t* bytes, std::size_t n);
    // Sends data (IAC doubled) or one control frame, waiting for room up to the write time-out.
    bool Transmit(const uint8_t* bytes, uint32_t n, bool escape, uint32_t* accepted);
    uint64_t WriteDeadline(uint32_t count);

    std::atomic<bool> used_{false};
    std::mutex readMutex_;   // one Read at a time
    std::mutex writeMutex_;  // one Write or control frame at a time
    std::mutex mu_;          // everything below
    Socket socket_ = net::kNoSocket;
    bool lost_ = false;  // the connection ended or failed; only a new open brings it back
    bool readerActive_ = false;
    Parser parser_;
    Negotiator negotiator_;
    uint8_t modemState_ = 0;
    Dcb dcb_;
    CommTimeouts timeouts_;
    uint8_t rx_[kRxSize] = {};
    std::size_t rxHead_ = 0;
    std::size_t rxCount_ = 0;
    uint8_t tx_[kTxSize] = {};
    std::size_t txStart_ = 0;
    std::size_t txEnd_ = 0;
};

Rfc2217Device g_devices[kRfc2217Devices];

bool Rfc2217Device::Connect(const char* host, uint16_t port) {
    uint64_t deadline = DeadlineAfterNs(uint64_t{g_openTimeoutMs.load()} * 1000000u);
    Socket socket = net::Connect(host, port, deadline);
    if (socket == net::kNoSocket) return false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        socket_ = socket;
        lost_ = false;
        readerActive_ = false;
        parser_.Reset();
        negotiator_.Reset();
        negotiator_.Support(kOptionBinary, true, true);
        negotiator_.Support(kOptionSga, true, true);
        negotiator_.Support(kOptionComPort, true, false);
        modemState_ = 0;
        dcb_ = Dcb{};
        timeouts_ = CommTimeouts{};
        rxHead_ = rxCount_ = 0;
        txStart_ = txEnd_ = 0;
    }
    return Negotiate(deadline);
}

// Binary both ways and COM-PORT-OPTION from us; waits for the server's answer to the latter.
bool Rfc2217Device::Negotiate(uint64_t deadline) {
    Socket socket;
    {
        std::lock_guard<std::mutex> lock(mu_);
        socket = socket_;
        uint8_t out[3];
        Queue(out, negotiator_.AskLocal(kOptionBinary, out));
        Queue(out, negotiator_.AskRemote(kOptionBinary, out));
        Queue(out, negotiator_.AskLocal(kOptionComPort, out));
        Flush();
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            Pump();
            if (!negotiator_.LocalPending(kOptionComPort)) {
                if (!negotiator_.LocalOn(kOptionComPort)) return false;
                uint8_t frame[16];
                Queue(frame, ComPortFrame(kSetModemStateMask, kModemLines, frame));
                Queue(frame, ComPortFrame(kNotifyModemState, nullptr, 0, frame));
                Flush();
                return !lost_;
            }
            if (lost_) return false;
        }
        if (net::Wait(socket, net::kReadable, deadline) == 0) return false;
    }
}

void Rfc2217Device::Release() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (socket_ != net::kNoSocket) {
            net::Shutdown(socket_);  // wakes a reader that is still waiting in poll
            net::Close(socket_);
        }
        socket_ = net::kNoSocket;
        lost_ = true;
        rxCount_ = 0;
        txStart_ = txEnd_ = 0;
    }
    used_.store(false);
}

// Takes what the socket holds without waiting, as far as the input buffer has room. Each raw
// byte gives at most one data byte, so the room bounds the receive.
void Rfc2217Device::Pump() {
    uint8_t raw[512];
    while (!lost_ && rxCount_ < kRxSize) {
        std::size_t want = std::min(sizeof raw, kRxSize - rxCount_);
        std::ptrdiff_t got = net::Receive(socket_, raw, want);
        if (got == 0) {
            lost_ = true;
        } else if (got < 0) {
            if (got != net::kWouldBlock) lost_ = true;
            break;
        } else {
            Parse(raw, static_cast<std::size_t>(got));
            if (static_cast<std::size_t>(got) < want) break;
        }
    }
    Flush();
}

void Rfc2217Device::Parse(uint8_t* raw, std::size_t n) {
    while (n > 0) {
        Event event;
        FeedResult result = parser_.Feed(raw, n, raw, &event);
        PutInput(raw, result.data);
        if (result.event) Handle(event);
        raw += result.consumed;
        n -= result.consumed;
    }
}

void Rfc2217Device::Handle(const Event& event) {
    if (event.type == EventType::kCommand) return;  // NOP, AYT, ...: nothing to do for a port
    if (event.type != EventType::kSubnegotiation) {
        uint8_t reply[3];
        Queue(reply, negotiator_.Answer(event, reply));
        return;
    }
    if (event.value != kOptionComPort || event.length == 0) return;
    uint8_t command = event.payload[0];
    if (command == kServerOffset + kNotifyModemState && event.length >= 2) {
        modemState_ = event.payload[1] & kModemLines;
    } else if (command == kServerOffset + kSignature && event.length == 1) {
        static const uint8_t kName[] = {'K', 'O', 'R', 'V', 'A'};
        uint8_t frame[32];
        Queue(frame, ComPortFrame(kSignature, kName, sizeof kName, frame));
    }
    // Acknowledgements of our settings, line states and flow-control suspension are not used:
    // the link is not flow-controlled beyond TCP.
}

void Rfc2217Device::Queue(const uint8_t* bytes, std::size_t n) {
    if (n == 0) return;
    if (kTxSize - txEnd_ < n && txStart_ > 0) {
        std::memmove(tx_, tx_ + txStart_, txEnd_ - txStart_);
        txEnd_ -= txStart_;
        txStart_ = 0;
    }
    if (kTxSize - txEnd_ < n) return;  // only when the peer stopped reading altogether
    std::memcpy(tx_ + txEnd_, bytes, n);
    txEnd_ += n;
}

void Rfc2217Device::Flush() {
    while (!lost_ && txStart_ < txEnd_) {
        std::ptrdiff_t sent = net::Send(socket_, tx_ + txStart_, txEnd_ - txStart_);
        if (sent > 0) {
            txStart_ += static_cast<std::size_t>(sent);
        } else {
            if (sent != net::kWouldBlock) lost_ = true;
            break;
        }
    }
    if (txStart_ == txEnd_) txStart_ = txEnd_ = 0;
}

uint32_t Rfc2217Device::TakeInput(uint8_t* out, uint32_t count) {
    uint32_t taken = 0;
    while (taken < count && rxCount_ > 0) {
        std::size_t run = std::min<std::size_t>({count - taken, rxCount_, kRxSize - rxHead_});
        std::memcpy(out + taken, rx_ + rxHead_, run);
        taken += static_cast<uint32_t>(run);
        rxHead_ = (rxHead_ + run) % kRxSize;
        rxCount_ -= run;
    }
    return taken;
}

void Rfc2217Device::PutInput(const uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n && rxCount_ < kRxSize; ++i) {
        rx_[(rxHead_ + rxCount_) % kRxSize] = bytes[i];
        ++rxCount_;
    }
}

uint64_t Rfc2217Device::WriteDeadline(uint32_t count) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t ms = uint64_t{timeouts_.writeTotalTimeoutMultiplier} * count +
                  timeouts_.writeTotalTimeoutConstant;
    return ScaledDeadline(ms);
}

bool Rfc2217Device::Transmit(const uint8_t* bytes, uint32_t n, bool escape, uint32_t* accepted) {
    *accepted = 0;
    if (!escape && n > kTxSize) return false;  // a control frame never grows that large
    std::lock_guard<std::mutex> writing(writeMutex_);
    uint64_t deadline = WriteDeadline(n);
    uint32_t taken = 0;
    for (;;) {
        Socket socket;
        {
            std::lock_guard<std::mutex> lock(mu_);
            socket = socket_;
            if (!readerActive_) Pump();  // notices a closed connection before writing into it
            if (lost_) return false;
            if (taken < n) {
                if (txStart_ > 0) {
                    std::memmove(tx_, tx_ + txStart_, txEnd_ - txStart_);
                    txEnd_ -= txStart_;
                    txStart_ = 0;
                }
                if (escape) {
                    std::size_t room =
                        kTxSize - kTxReserve > txEnd_ ? kTxSize - kTxReserve - txEnd_ : 0;
                    std::size_t consumed = 0;
                    txEnd_ += EscapeData(bytes + taken, n - taken, tx_ + txEnd_, room, &consumed);
                    taken += static_cast<uint32_t>(consumed);
                } else if (kTxSize - txEnd_ >= n) {  // a control frame goes whole
                    std::memcpy(tx_ + txEnd_, bytes, n);
                    txEnd_ += n;
                    taken = n;
                }
            }
            Flush();
            if (lost_) return false;
            *accepted = taken;
            if (taken == n && txStart_ == txEnd_) return true;
        }
        // On the write time-out, what was taken stays queued and goes out with the next call.
        if (net::Wait(socket, net::kWritable, deadline) == 0) return true;
    }
}

bool Rfc2217Device::Read(void* buffer, uint32_t count, uint32_t* received) {
    std::lock_guard<std::mutex> reading(readMutex_);
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t got = 0;
    *received = 0;
    uint64_t deadline;
    {
        std::lock_guard<std::mutex> lock(mu_);
        deadline = ScaledDeadline(timeouts_.readTotalTimeoutConstant);
        readerActive_ = true;
    }
    struct Done {
        Rfc2217Device* device;
        ~Done() {
            std::lock_guard<std::mutex> lock(device->mu_);
            device->readerActive_ = false;
        }
    } done{this};
    for (;;) {
        Socket socket;
        {
            std::lock_guard<std::mutex> lock(mu_);
            got += TakeInput(out + got, count - got);
            if (got < count) {
                Pump();
                got += TakeInput(out + got, count - got);
            }
            *received = got;
            if (got == count) return true;
            // What arrived before the connection ended is still delivered; the next read fails.
            if (lost_) return got > 0;
            socket = socket_;
        }
        // Any readiness (data, end, error) is sorted out by the next Pump.
        if (net::Wait(socket, net::kReadable, deadline) == 0) return true;
    }
}

bool Rfc2217Device::Write(const void* data, uint32_t count, uint32_t* written) {
    return Transmit(static_cast<const uint8_t*>(data), count, true, written);
}

bool Rfc2217Device::ClearError(uint32_t* inQueue) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!readerActive_) Pump();
    *inQueue = static_cast<uint32_t>(rxCount_);
    return !lost_ || rxCount_ > 0;
}

bool Rfc2217Device::GetModemStatus(uint32_t* status) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!readerActive_) Pump();
    // With the connection gone the lines are unknown: report them off and fail.
    *status = lost_ ? 0 : modemState_;
    return !lost_;
}

bool Rfc2217Device::Escape(int function) {
    uint8_t value;
    switch (function) {
        case kSetDtr:
            value = kControlDtrOn;
            break;
        case kClrDtr:
            value = kControlDtrOff;
            break;
        case kSetRts:
            value = kControlRtsOn;
            break;
        case kClrRts:
            value = kControlRtsOff;
            break;
        default:
            return false;
    }
    uint8_t frame[8];
    uint32_t sent = 0;
    return Transmit(frame, static_cast<uint32_t>(ComPortFrame(kSetControl, value, frame)), false,
                    &sent);
}

bool Rfc2217Device::GetState(Dcb& dcb) {
    std::lock_guard<std::mutex> lock(mu_);
    dcb = dcb_;
    return true;
}

// Sends every setting each time; the server answers each, and the answers are not awaited.
bool Rfc2217Device::SetState(const Dcb& dcb) {
    static constexpr uint8_t kParity[] = {kParityNone, kParityOdd, kParityEven, kParityMark,
                                          kParitySpace};
    static constexpr uint8_t kStop[] = {kStopOne, kStopOneAndHalf, kStopTwo};
    if (dcb.byteSize < 5 || dcb.byteSize > 8 || dcb.parity > kSpaceParity ||
        dcb.stopBits > kTwoStopBits)
        return false;
    uint8_t frames[128];
    std::size_t used = 0;
    if (dcb.baudRate != 0) {  // 0 would ask the server for its rate instead of setting one
        const uint8_t baud[4] = {
            static_cast<uint8_t>(dcb.baudRate >> 24), static_cast<uint8_t>(dcb.baudRate >> 16),
            static_cast<uint8_t>(dcb.baudRate >> 8), static_cast<uint8_t>(dcb.baudRate)};
        used += ComPortFrame(kSetBaudRate, baud, sizeof baud, frames + used);
    }
    used += ComPortFrame(kSetDataSize, dcb.byteSize, frames + used);
    used += ComPortFrame(kSetParity, kParity[dcb.parity], frames + used);
    used += ComPortFrame(kSetStopSize, kStop[dcb.stopBits], frames + used);
    bool hardwareFlow = dcb.fOutxCtsFlow || dcb.fRtsControl == kRtsControlHandshake;
    uint8_t flow = hardwareFlow ? kControlHardwareFlow
                   : dcb.fOutX  ? kControlXonXoff
                                : kControlNoFlow;
    used += ComPortFrame(kSetControl, flow, frames + used);
    // DTR handshake has no network counterpart; the line is raised as with DTR enabled.
    uint8_t dtr = dcb.fDtrControl == kDtrControlDisable ? kControlDtrOff : kControlDtrOn;
    used += ComPortFrame(kSetControl, dtr, frames + used);
    if (!hardwareFlow) {  // with hardware flow control the server drives RTS itself
        uint8_t rts = dcb.fRtsControl == kRtsControlDisable ? kControlRtsOff : kControlRtsOn;
        used += ComPortFrame(kSetControl, rts, frames + used);
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        dcb_ = dcb;
    }
    uint32_t sent = 0;
    return Transmit(frames, static_cast<uint32_t>(used), false, &sent);
}

bool Rfc2217Device::GetTimeouts(CommTimeouts& timeouts) {
    std::lock_guard<std::mutex> lock(mu_);
    timeouts = timeouts_;
    return true;
}

bool Rfc2217Device::SetTimeouts(const CommTimeouts& timeouts) {
    std::lock_guard<std::mutex> lock(mu_);
    timeouts_ = timeouts;
    return true;
}

// Closing never waits for the server: a call still in Read wakes (the socket is shut down) and
// fails.
bool Rfc2217Device::Close() {
    Release();
    return true;
}

}  // namespace

SerialDevice* Rfc2217Open(const char* url) {
    char host[kHostRoom];
    uint16_t port = 0;
    if (!ParseUrl(url, host, &port)) return nullptr;
    for (Rfc2217Device& device : g_devices) {
        if (!device.Claim()) continue;
        if (device.Connect(host, port)) return &device;
        device.Release();
        return nullptr;
    }
    return nullptr;
}

void Rfc2217SetOpenTimeoutMs(uint32_t realMs) {
    g_openTimeoutMs.store(realMs);
}

}  // namespace platform
