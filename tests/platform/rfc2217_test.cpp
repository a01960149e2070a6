// The network serial backend against the RFC 2217 server, over real loopback TCP, with a
// loopback device behind the server.
#include "platform/rfc2217/rfc2217.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/socket.h"
#include "platform/rfc2217/telnet_parser.h"
#include "rfc2217_server.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
namespace telnet = platform::telnet;
namespace net = platform::net;

// Bounds on waiting for something that must happen; reaching one means the test failed.
constexpr auto kPatience = 10s;

// A device whose output comes back as its input (unless told otherwise), with modem lines the
// test sets and DTR/RTS that the test reads.
class LoopbackDevice final : public platform::SerialDevice {
  public:
    bool GetState(platform::Dcb& dcb) override {
        std::lock_guard<std::mutex> lock(mu_);
        dcb = dcb_;
        return true;
    }
    bool SetState(const platform::Dcb& dcb) override {
        std::lock_guard<std::mutex> lock(mu_);
        dcb_ = dcb;
        // As every device behind the seam: the settings drive DTR and RTS by their modes.
        dtr_ = dcb.fDtrControl != platform::kDtrControlDisable;
        rts_ = dcb.fRtsControl != platform::kRtsControlDisable;
        changed_.notify_all();
        return true;
    }
    bool GetTimeouts(platform::CommTimeouts& timeouts) override {
        std::lock_guard<std::mutex> lock(mu_);
        timeouts = timeouts_;
        return true;
    }
    bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
        std::lock_guard<std::mutex> lock(mu_);
        timeouts_ = timeouts;
        return true;
    }
    bool Setup(uint32_t, uint32_t) override { return true; }
    bool Read(void* buffer, uint32_t count, uint32_t* received) override {
        std::unique_lock<std::mutex> lock(mu_);
        auto enough = [&] { return input_.size() >= count; };
        if (timeouts_.readTotalTimeoutConstant == 0) {
            changed_.wait(lock, enough);
        } else {
            auto span =
                std::chrono::nanoseconds(platform::ScaledNs(timeouts_.readTotalTimeoutConstant));
            changed_.wait_for(lock, span, enough);
        }
        uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(input_.size()));
        std::copy(input_.begin(), input_.begin() + n, static_cast<uint8_t*>(buffer));
        input_.erase(input_.begin(), input_.begin() + n);
        *received = n;
        return true;
    }
    bool Write(const void* data, uint32_t count, uint32_t* written) override {
        std::lock_guard<std::mutex> lock(mu_);
        auto* bytes = static_cast<const uint8_t*>(data);
        written_.insert(written_.end(), bytes, bytes + count);
        if (echo_) input_.insert(input_.end(), bytes, bytes + count);
        *written = count;
        changed_.notify_all();
        return true;
    }
    bool ClearError(uint32_t* inQueue) override {
        std::lock_guard<std::mutex> lock(mu_);
        *inQueue = static_cast<uint32_t>(input_.size());
        return true;
    }
    bool GetModemStatus(uint32_t* status) override {
        std::lock_guard<std::mutex> lock(mu_);
        *status = modem_;
        return true;
    }
    bool Escape(int function) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (function == platform::kSetDtr || function == platform::kClrDtr) {
            dtr_ = function == platform::kSetDtr;
        } else if (function == platform::kSetRts || function == platform::kClrRts) {
            rts_ = function == platform::kSetRts;
        } else {
            return false;
        }
        changed_.notify_all();
        return true;
    }
    bool Close() override { return true; }

    // The test's side.
    void SetEcho(bool on) {
        std::lock_guard<std::mutex> lock(mu_);
        echo_ = on;
    }
    void Inject(const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(mu_);
        input_.insert(input_.end(), bytes.begin(), bytes.end());
        changed_.notify_all();
    }
    void SetModem(uint32_t status) {
        std::lock_guard<std::mutex> lock(mu_);
        modem_ = status;
    }
    std::size_t Pending() {
        std::lock_guard<std::mutex> lock(mu_);
        return input_.size();
    }
    Bytes Written() {
        std::lock_guard<std::mutex> lock(mu_);
        return written_;
    }
    // Waits until `condition` holds for (dcb, dtr, rts).
    bool WaitFor(const std::function<bool(const platform::Dcb&, bool, bool)>& condition) {
        std::unique_lock<std::mutex> lock(mu_);
        return changed_.wait_for(lock, kPatience, [&] { return condition(dcb_, dtr_, rts_); });
    }

  private:
    std::mutex mu_;
    std::condition_variable changed_;
    platform::Dcb dcb_;
    platform::CommTimeouts timeouts_;
    Bytes input_;
    Bytes written_;
    bool echo_ = true;
    uint32_t modem_ = 0;
    bool dtr_ = false;
    bool rts_ = false;
};

// Polls a condition that has no event to wait on (the client's view of the modem lines).
bool Eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A driver read time-out that lasts `real` in real time under the test's time scale.
uint32_t DriverMs(std::chrono::milliseconds real) {
    return static_cast<uint32_t>(static_cast<double>(real.count()) / platform::TimeScale());
}

std::string UrlFor(uint16_t port) {
    return "rfc2217://127.0.0.1:" + std::to_string(port);
}

void SetReadTimeout(platform::SerialDevice* device, uint32_t ms) {
    platform::CommTimeouts timeouts;
    ASSERT_TRUE(device->GetTimeouts(timeouts));
    timeouts.readTotalTimeoutConstant = ms;
    ASSERT_TRUE(device->SetTimeouts(timeouts));
}

// Reads until `count` bytes came, a read fails, or the patience runs out.
Bytes ReadAll(platform::SerialDevice* device, std::size_t count) {
    SetReadTimeout(device, DriverMs(1000ms));
    Bytes data(count);
    std::size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (got < count && std::chrono::steady_clock::now() < deadline) {
        uint32_t n = 0;
        if (!device->Read(data.data() + got, static_cast<uint32_t>(count - got), &n)) break;
        got += n;
    }
    data.resize(got);
    return data;
}

class Rfc2217Test : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.Start()); }
    void TearDown() override {
        if (client_ != nullptr) {
            EXPECT_TRUE(client_->Close());
        }
        server_.Stop();
    }
    platform::SerialDevice* Open() { return platform::Rfc2217Open(UrlFor(server_.Port()).c_str()); }
    uint32_t ClientLines() {
        uint32_t status = 0xFFFF;
        return client_->GetModemStatus(&status) ? status : 0xFFFF;
    }

    LoopbackDevice device_;
    modemsim::Rfc2217Server server_{&device_};
    platform::SerialDevice* client_ = nullptr;
};

Bytes TestPattern(std::size_t size) {
    Bytes bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<uint8_t>(i));
    bytes.insert(bytes.end(), 7, 0xFF);
    uint32_t seed = 99;
    while (bytes.size() < size) {
        seed = seed * 1103515245u + 12345u;
        bytes.push_back((seed & 0x30000) == 0 ? 0xFF : static_cast<uint8_t>(seed >> 20));
    }
    return bytes;
}

TEST_F(Rfc2217Test, DataCrossesBothWaysWithIacBytes) {
    client_ = Open();
    ASSERT_NE(client_, nullptr);
    const Bytes sent = TestPattern(200000);
    // The echo is read while the writes go on, so both directions are busy at once.
    auto echo = std::async(std::launch::async, [&] { return ReadAll(client_, sent.size()); });
    for (std::size_t at = 0; at < sent.size();) {
        uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(7000, sent.size() - at));
        uint32_t written = 0;
        ASSERT_TRUE(client_->Write(sent.data() + at, n, &written));
        ASSERT_EQ(written, n);
        at += n;
    }
    Bytes back = echo.get();
    EXPECT_TRUE(device_.Written() == sent) << "the device got other bytes than were written";
    EXPECT_TRUE(back == sent) << "the echo differs from what was written; " << back.size()
                              << " bytes came back";
}

TEST_F(Rfc2217Test, LineSettingsReachTheDevice) {
    client_ = Open();
    ASSERT_NE(client_, nullptr);
    struct Case {
        uint32_t baud;
        uint8_t byteSize, parity, stopBits;
    };
    const Case cases[] = {
        {300, 7, platform::kEvenParity, platform::kOneStopBit},
        {9600, 8, platform::kNoParity, platform::kTwoStopBits},
        {115200, 8, platform::kOddParity, platform::kOne5StopBits},
        {0x0001FFFF, 5, platform::kMarkParity, platform::kOneStopBit},  // IAC in the rate
        {0xFFFFFFFF, 6, platform::kSpaceParity, platform::kTwoStopBits},
    };
    for (const Case& c : cases) {
        platform::Dcb dcb;
        dcb.baudRate = c.baud;
        dcb.byteSize = c.byteSize;
        dcb.parity = c.parity;
        dcb.stopBits = c.stopBits;
        ASSERT_TRUE(client_->SetState(dcb));
        EXPECT_TRUE(device_.WaitFor([&](const platform::Dcb& d, bool, bool) {
            return d.baudRate == c.baud && d.byteSize == c.byteSize && d.parity == c.parity &&
                   d.stopBits == c.stopBits && d.fParity == (c.parity != platform::kNoParity);
        })) << "baud "
            << c.baud;
        platform::Dcb back;
        ASSERT_TRUE(client_->GetState(back));
        EXPECT_EQ(back.baudRate, c.baud);
    }
    platform::Dcb bad;
    bad.parity = 9;
    EXPECT_FALSE(client_->SetState(bad));
}

TEST_F(Rfc2217Test, DtrAndRtsFollowTheClient) {
    client_ = Open();
    ASSERT_NE(client_, nullptr);
    auto lines = [&](bool dtr, bool rts) {
        return device_.WaitFor(
            [&](const platform::Dcb&, bool d, bool r) { return d == dtr && r == rts; });
    };
    ASSERT_TRUE(client_->Escape(platform::kSetDtr));
    ASSERT_TRUE(client_->Escape(platform::kSetRts));
    EXPECT_TRUE(lines(true, true));
    ASSERT_TRUE(client_->Escape(platform::kClrDtr));
    EXPECT_TRUE(lines(false, true));
    ASSERT_TRUE(client_->Escape(platform::kClrRts));
    EXPECT_TRUE(lines(false, false));

    platform::Dcb dcb;
    dcb.baudRate = 9600;
    dcb.fDtrControl = platform::kDtrControlEnable;
    dcb.fRtsControl = platform::kRtsControlEnable;
    ASSERT_TRUE(client_->SetState(dcb));
    EXPECT_TRUE(lines(true, true));
    dcb.fDtrControl = platform::kDtrControlDisable;
    ASSERT_TRUE(client_->SetState(dcb));
    EXPECT_TRUE(lines(false, true));

    EXPECT_FALSE(client_->Escape(42));
}

TEST_F(Rfc2217Test, ModemLinesReachTheClient) {
    // The state before the client connects arrives with the negotiation.
    device_.SetModem(platform::kMsCtsOn | platform::kMsDsrOn);
    client_ = Open();
    ASSERT_NE(client_, nullptr);
    EXPECT_TRUE(Eventually([&] { return ClientLines() == 0x30; })) << ClientLines();
    const uint32_t steps[] = {
        0x30 | platform::kMsRlsdOn,                        // carrier
        0x30 | platform::kMsRlsdOn | platform::kMsRingOn,  // ring
        0x30 | platform::kMsRlsdOn,                        // ring ends
        0x30,                                              // carrier lost
        0,
    };
    for (uint32_t lines : steps) {
        device_.SetModem(lines);
        EXPECT_TRUE(Eventually([&] { return ClientLines() == lines; }))
            << "expected " << lines << ", client sees " << ClientLines();
    }
}

TEST_F(Rfc2217Test, ReadTimeOutsAndShortReads) {
    device_.SetEcho(false);
    client_ = Open();
    ASSERT_NE(client_, nullptr);
    uint8_t buffer[16];
    uint32_t received = 99;
    const uint32_t timeoutMs = 300;
    SetReadTimeout(client_, timeoutMs);

    // Nothing comes: success with no byte, after the scaled time-out.
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client_->Read(buffer, sizeof buffer, &received));
    EXPECT_EQ(received, 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::nanoseconds(platform::ScaledNs(timeoutMs)));

    // Fewer bytes than asked for: they are counted in the input queue, and a read returns them
    // when the time-out ends.
    device_.Inject({'O', 'K', 0xFF});
    uint32_t queued = 0;
    EXPECT_TRUE(Eventually([&] { return client_->ClearError(&queued) && queued == 3; })) << queued;
    start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client_->Read(buffer, sizeof buffer, &received));
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::nanoseconds(platform::ScaledNs(timeoutMs)));
    ASSERT_EQ(received, 3u);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{'O', 'K', 0xFF}));
    ASSERT_TRUE(client_->ClearError(&queued));
    EXPECT_EQ(queued, 0u);

    // Without a limit, a read returns as soon as its count has arrived.
    SetReadTimeout(client_, 0);
    auto read = std::async(std::launch::async, [&] {
        uint32_t n = 0;
        return client_->Read(buffer, 4, &n) ? n : 1000u;
    });
    device_.Inject({'R', 'I', 'N', 'G', '\r'});
    if (read.wait_for(kPatience) != std::future_status::ready) {
        client_->Close();  // wakes the read, so the test can end
        client_ = nullptr;
        FAIL() << "a read without time-out did not return when its count arrived";
    }
    EXPECT_EQ(read.get(), 4u);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{'R', 'I', 'N', 'G'}));
}

TEST_F(Rfc2217Test, LostServerFailsAWaitingReadAtOnce) {
    client_ = Open();
    ASSERT_NE(client_, nullptr);
    SetReadTimeout(client_, 0);  // would wait for ever
    auto read = std::async(std::launch::async, [&] {
        uint8_t byte;
        uint32_t n = 0;
        return client_->Read(&byte, 1, &n);
    });
    server_.Stop();
    ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready) << "the read hangs";
    EXPECT_FALSE(read.get());
    uint8_t byte = 'x';
    uint32_t n = 0;
    EXPECT_FALSE(client_->Read(&byte, 1, &n));
    EXPECT_FALSE(client_->Write(&byte, 1, &n));
    uint32_t status = 0xFF;
    EXPECT_FALSE(client_->GetModemStatus(&status));
    EXPECT_EQ(status, 0u);
}

// Closing does not wait for the server: a read without time-out that is under way ends, failing.
TEST_F(Rfc2217Test, CloseEndsAWaitingRead) {
    device_.SetEcho(false);
    platform::SerialDevice* device = Open();
    ASSERT_NE(device, nullptr);
    SetReadTimeout(device, 0);
    // A thread of its own, left behind if the read hangs, so that the failure is reported.
    auto result = std::make_shared<std::promise<bool>>();
    std::future<bool> read = result->get_future();
    std::thread([device, result] {
        uint8_t byte;
        uint32_t n = 0;
        result->set_value(device->Read(&byte, 1, &n));
    }).detach();
    // Gives the read time to reach its wait; if it has not, the close is still checked.
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(device->Close());
    ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready) << "the read hangs";
    EXPECT_FALSE(read.get());
}

TEST_F(Rfc2217Test, DroppedConnectionFailsWritesAndReopens) {
    client_ = Open();
    ASSERT_NE(client_, nullptr);
    server_.DropClient();
    ASSERT_TRUE(Eventually([&] { return !server_.HasClient(); }));
    uint8_t byte = 'x';
    uint32_t n = 0;
    EXPECT_TRUE(Eventually([&] { return !client_->Write(&byte, 1, &n); }));
    EXPECT_TRUE(client_->Close());
    client_ = Open();
    ASSERT_NE(client_, nullptr);
    ASSERT_TRUE(client_->Write("AT\r", 3, &n));
    EXPECT_EQ(ReadAll(client_, 3), (Bytes{'A', 'T', '\r'}));
}

// "localhost" may name ::1 before 127.0.0.1; the server listens on the latter only.
TEST_F(Rfc2217Test, OpensByHostName) {
    client_ =
        platform::Rfc2217Open(("rfc2217://localhost:" + std::to_string(server_.Port())).c_str());
    ASSERT_NE(client_, nullptr);
    uint32_t n = 0;
    ASSERT_TRUE(client_->Write("ATI", 3, &n));
    EXPECT_EQ(ReadAll(client_, 3), (Bytes{'A', 'T', 'I'}));
}

// More opens than there are slots: every close gives its slot back.
TEST_F(Rfc2217Test, ReconnectsAfterEveryClose) {
    for (unsigned i = 0; i < platform::kRfc2217Devices + 8; ++i) {
        platform::SerialDevice* device = Open();
        ASSERT_NE(device, nullptr) << "open " << i;
        uint8_t byte = static_cast<uint8_t>(i);
        uint32_t n = 0;
        ASSERT_TRUE(device->Write(&byte, 1, &n));
        EXPECT_EQ(ReadAll(device, 1), Bytes{byte});
        EXPECT_TRUE(device->Close());
        ASSERT_TRUE(Eventually([&] { return !server_.HasClient(); }));
    }
    EXPECT_EQ(server_.ClientsAccepted(), platform::kRfc2217Devices + 8);
}

TEST_F(Rfc2217Test, ASecondClientIsTurnedAway) {
    client_ = Open();
    ASSERT_NE(client_, nullptr);
    EXPECT_EQ(Open(), nullptr);
    uint32_t n = 0;
    ASSERT_TRUE(client_->Write("ATZ", 3, &n));
    EXPECT_EQ(ReadAll(client_, 3), (Bytes{'A', 'T', 'Z'}));
}

// A port with nothing listening on it.
uint16_t ClosedPort() {
    uint16_t port = 0;
    net::Close(net::ListenLoopback(0, &port));
    return port;
}

// Sends all of `bytes` on a non-blocking socket; false when the connection fails.
bool SendAll(net::Socket socket, const Bytes& bytes) {
    auto deadline = net::DeadlineAfterMs(10000);
    for (std::size_t at = 0; at < bytes.size();) {
        std::ptrdiff_t sent = net::Send(socket, bytes.data() + at, bytes.size() - at);
        if (sent > 0) {
            at += static_cast<std::size_t>(sent);
        } else if (sent == net::kFailed || net::Wait(socket, net::kWritable, deadline) == 0) {
            return false;
        }
    }
    return true;
}

TEST(Rfc2217Open, RefusesBadUrlsAndClosedPorts) {
    const char* const urls[] = {
        "",
        "rfc2217://",
        "rfc2217://127.0.0.1",
        "rfc2217://127.0.0.1:",
        "rfc2217://127.0.0.1:0",
        "rfc2217://127.0.0.1:65536",
        "rfc2217://127.0.0.1:12x",
        "rfc2217://:2217",
        "rfc2217://::1:2217",
        "rfc2217://[::1:2217",
        "tcp://127.0.0.1:2217",
    };
    for (const char* url : urls) {
        EXPECT_EQ(platform::Rfc2217Open(url), nullptr) << url;
    }
    EXPECT_EQ(platform::Rfc2217Open(nullptr), nullptr);
    EXPECT_EQ(platform::Rfc2217Open(UrlFor(ClosedPort()).c_str()), nullptr);
}

// A bare Telnet peer on a loopback port: it accepts one connection, sends `greeting`, and
// collects what the client sends until the client closes.
class RawPeer {
  public:
    explicit RawPeer(Bytes greeting) : greeting_(std::move(greeting)) {
        listener_ = net::ListenLoopback(0, &port_);
        waker_ = net::OpenWaker();
        thread_ = std::thread([this] { Serve(); });
    }
    ~RawPeer() {
        net::Wake(waker_);
        thread_.join();
        net::Close(listener_);
        net::Close(waker_);
    }
    std::string Url() const { return UrlFor(port_); }
    // What the client sent, once it has closed the connection.
    Bytes Received() {
        thread_.join();
        thread_ = std::thread([] {});
        return received_;
    }

  private:
    // Waits for `socket` to become readable; false on the patience running out or a wake.
    bool Readable(net::Socket socket) {
        net::PollEntry entries[2] = {{waker_, net::kReadable, 0}, {socket, net::kReadable, 0}};
        return net::Poll(entries, 2, net::DeadlineAfterMs(10000)) > 0 && entries[0].ready == 0;
    }

    void Serve() {
        if (!Readable(listener_)) return;
        net::Socket socket = net::Accept(listener_);
        if (socket == net::kNoSocket) return;
        if (SendAll(socket, greeting_)) {
            uint8_t buffer[256];
            while (Readable(socket)) {
                std::ptrdiff_t n = net::Receive(socket, buffer, sizeof buffer);
                if (n == net::kWouldBlock) continue;
                if (n <= 0) break;
                received_.insert(received_.end(), buffer, buffer + n);
            }
        }
        net::Close(socket);
    }

    Bytes greeting_;
    Bytes received_;
    net::Socket listener_ = net::kNoSocket;
    net::Socket waker_ = net::kNoSocket;
    uint16_t port_ = 0;
    std::thread thread_;
};

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

TEST(Rfc2217Open, FailsWhenTheServerRefusesComPortOption) {
    RawPeer peer({telnet::kIac, telnet::kDont, telnet::kOptionComPort});
    EXPECT_EQ(platform::Rfc2217Open(peer.Url().c_str()), nullptr);
    EXPECT_TRUE(Contains(peer.Received(), {telnet::kIac, telnet::kWill, telnet::kOptionComPort}));
}

TEST(Rfc2217Open, FailsWhenTheServerNeverAnswers) {
    platform::Rfc2217SetOpenTimeoutMs(200);
    RawPeer peer({});
    EXPECT_EQ(platform::Rfc2217Open(peer.Url().c_str()), nullptr);
    platform::Rfc2217SetOpenTimeoutMs(3000);
}

TEST(Rfc2217Open, RefusesUnknownOptionsAndAcceptsSga) {
    using namespace telnet;
    RawPeer peer({kIac, kDo, 24, kIac, kWill, kOptionEcho, kIac, kWill, kOptionSga, kIac, kDo,
                  kOptionComPort, kIac, kSb, kOptionComPort, kNotifyModemState + kServerOffset,
                  kModemDcd | kModemCts, kIac, kSe});
    platform::SerialDevice* device = platform::Rfc2217Open(peer.Url().c_str());
    ASSERT_NE(device, nullptr);
    uint32_t status = 0;
    EXPECT_TRUE(Eventually([&] { return device->GetModemStatus(&status) && status == 0x90; }))
        << status;
    EXPECT_TRUE(device->Close());
    Bytes sent = peer.Received();
    EXPECT_TRUE(Contains(sent, {kIac, kWont, 24}));
    EXPECT_TRUE(Contains(sent, {kIac, kDont, kOptionEcho}));
    EXPECT_TRUE(Contains(sent, {kIac, kDo, kOptionSga}));
    EXPECT_TRUE(
        Contains(sent, {kIac, kSb, kOptionComPort, kSetModemStateMask, kModemLines, kIac, kSe}));
}

// The server on its own, driven by a bare client: answers to queries and to the commands that
// our client never sends.
TEST_F(Rfc2217Test, ServerAnswersComPortCommands) {
    using namespace telnet;
    net::Socket fd = net::Connect("127.0.0.1", server_.Port(), net::DeadlineAfterMs(10000));
    ASSERT_NE(fd, net::kNoSocket);
    platform::Dcb dcb;
    dcb.baudRate = 2400;
    device_.SetState(dcb);

    Parser parser;
    std::vector<Bytes> answers;  // COM-PORT-OPTION subnegotiations: command and value
    auto has = [&](const Bytes& answer) {
        return std::find(answers.begin(), answers.end(), answer) != answers.end();
    };
    // Sends the request and collects answers until `answer` has come.
    auto exchange = [&](const Bytes& request, const Bytes& answer) {
        EXPECT_TRUE(SendAll(fd, request));
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!has(answer) && std::chrono::steady_clock::now() < deadline) {
            if (net::Wait(fd, net::kReadable, net::DeadlineAfterMs(100)) == 0) continue;
            uint8_t raw[512];
            std::ptrdiff_t n = net::Receive(fd, raw, sizeof raw);
            if (n == net::kWouldBlock) continue;
            if (n <= 0) break;
            for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
                Event event;
                uint8_t data[512];
                FeedResult r =
                    parser.Feed(raw + at, static_cast<std::size_t>(n) - at, data, &event);
                if (r.event && event.type == EventType::kSubnegotiation &&
                    event.value == kOptionComPort)
                    answers.emplace_back(event.payload, event.payload + event.length);
                at += r.consumed;
            }
        }
        EXPECT_TRUE(has(answer)) << "no answer " << int(answer[0]);
    };
    auto frame = [](uint8_t command, Bytes value) {
        Bytes bytes(6 + 2 * value.size());
        bytes.resize(ComPortFrame(command, value.data(), value.size(), bytes.data()));
        return bytes;
    };
    constexpr uint8_t kAnswer = kServerOffset;

    // This client never sends WILL COM-PORT-OPTION: using the option is taken as agreeing to
    // it, and the lines are notified as after the negotiation.
    exchange(frame(kSetBaudRate, {0, 0, 0, 0}), {kAnswer + kSetBaudRate, 0, 0, 0x09, 0x60});
    exchange({}, {kAnswer + kNotifyModemState, 0});
    exchange(frame(kSetParity, {0}), {kAnswer + kSetParity, kParityNone});
    exchange(frame(kSetDataSize, {9}), {kAnswer + kSetDataSize, 8});  // refused: stays 8
    exchange(frame(kSetControl, {kControlDtrOff}), {kAnswer + kSetControl, kControlDtrOff});
    exchange(frame(kSetControl, {kControlRequestDtr}), {kAnswer + kSetControl, kControlDtrOff});
    // A new speed leaves DTR down.
    exchange(frame(kSetBaudRate, {0, 0, 0x4B, 0}), {kAnswer + kSetBaudRate, 0, 0, 0x4B, 0});
    EXPECT_TRUE(device_.WaitFor([](const platform::Dcb&, bool dtr, bool) { return !dtr; }));
    exchange(frame(kSignature, {}), {kAnswer + kSignature, 'K', 'O', 'R', 'V', 'A', ' ', 'm', 'o',
                                     'd', 'e', 'm', 's', 'i', 'm'});

    // While the client holds the data back, device input waits, and a purge reads it away.
    Bytes suspend = frame(kFlowControlSuspend, {});
    EXPECT_TRUE(SendAll(fd, suspend));
    exchange(frame(kNotifyLineState, {}), {kAnswer + kNotifyLineState, 0});  // suspend is in
    device_.Inject({'j', 'u', 'n', 'k'});
    exchange(frame(kNotifyLineState, {}), {kAnswer + kNotifyLineState, 0});
    EXPECT_EQ(device_.Pending(), 4u);
    exchange(frame(kPurgeData, {kPurgeReceive}), {kAnswer + kPurgeData, kPurgeReceive});
    EXPECT_EQ(device_.Pending(), 0u);

    // Only the lines in the mask are notified. The line-state answer is queued in the same round
    // in which the server sees the new lines, so a notification for CTS would come before it.
    exchange(frame(kSetModemStateMask, {kModemDcd}), {kAnswer + kSetModemStateMask, kModemDcd});
    answers.clear();
    device_.SetModem(platform::kMsCtsOn);
    exchange(frame(kNotifyLineState, {}), {kAnswer + kNotifyLineState, 0});
    device_.SetModem(platform::kMsCtsOn | platform::kMsRlsdOn);
    exchange({}, {kAnswer + kNotifyModemState, kModemDcd});
    int notifications = 0;
    for (const Bytes& answer : answers)
        notifications += answer[0] == kAnswer + kNotifyModemState;
    EXPECT_EQ(notifications, 1);
    net::Close(fd);
}

}  // namespace
