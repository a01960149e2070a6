#include "tracing_device.h"

#include <cstdio>
#include <utility>

namespace modemsim {
namespace {

std::string LinesText(uint32_t status) {
    std::string text;
    auto add = [&](uint32_t bit, const char* name) {
        if ((status & bit) == 0) return;
        if (!text.empty()) text += ' ';
        text += name;
    };
    add(platform::kMsCtsOn, "CTS");
    add(platform::kMsDsrOn, "DSR");
    add(platform::kMsRingOn, "RI");
    add(platform::kMsRlsdOn, "DCD");
    return text.empty() ? "none" : text;
}

uint64_t FormatKey(const platform::Dcb& dcb) {
    return uint64_t{dcb.baudRate} << 32 | uint64_t{dcb.byteSize} << 16 | uint64_t{dcb.parity} << 8 |
           dcb.stopBits;
}

}  // namespace

std::string ShowBytes(const void* data, std::size_t count) {
    std::string shown;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char c = bytes[i];
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    return shown;
}

TracingDevice::TracingDevice(std::string name, platform::SerialDevice* inner,
                             const std::atomic<bool>& tracing, Sink sink)
    : name_(std::move(name)), inner_(inner), tracing_(tracing), sink_(std::move(sink)) {}

void TracingDevice::Trace(const std::string& what) {
    if (tracing_.load()) sink_(name_ + " " + what);
}

void TracingDevice::NoteDtr(bool high) {
    if (dtr_ == (high ? 1 : 0)) return;
    dtr_ = high ? 1 : 0;
    Trace(high ? "DTR on" : "DTR off");
}

bool TracingDevice::GetState(platform::Dcb& dcb) {
    return inner_->GetState(dcb);
}

bool TracingDevice::SetState(const platform::Dcb& dcb) {
    if (!inner_->SetState(dcb)) return false;
    if (format_ != FormatKey(dcb)) {
        format_ = FormatKey(dcb);
        static constexpr char kParity[] = "NOEMS";
        static constexpr const char* kStop[] = {"1", "1.5", "2"};
        char text[64];
        std::snprintf(text, sizeof text, "line %u %u%c%s", dcb.baudRate, dcb.byteSize,
                      dcb.parity < 5 ? kParity[dcb.parity] : '?',
                      dcb.stopBits < 3 ? kStop[dcb.stopBits] : "?");
        Trace(text);
    }
    // Applying the settings drives DTR as their control mode says.
    NoteDtr(dcb.fDtrControl != platform::kDtrControlDisable);
    return true;
}

bool TracingDevice::GetTimeouts(platform::CommTimeouts& timeouts) {
    return inner_->GetTimeouts(timeouts);
}

bool TracingDevice::SetTimeouts(const platform::CommTimeouts& timeouts) {
    return inner_->SetTimeouts(timeouts);
}

bool TracingDevice::Setup(uint32_t inQueue, uint32_t outQueue) {
    return inner_->Setup(inQueue, outQueue);
}

bool TracingDevice::Read(void* buffer, uint32_t count, uint32_t* received) {
    const bool ok = inner_->Read(buffer, count, received);
    if (ok && *received > 0) Trace("from modem: " + ShowBytes(buffer, *received));
    return ok;
}

bool TracingDevice::Write(const void* data, uint32_t count, uint32_t* written) {
    const bool ok = inner_->Write(data, count, written);
    if (ok && *written > 0) Trace("to modem:   " + ShowBytes(data, *written));
    if (!ok) Trace("write failed");
    return ok;
}

bool TracingDevice::ClearError(uint32_t* inQueue) {
    return inner_->ClearError(inQueue);
}

bool TracingDevice::GetModemStatus(uint32_t* status) {
    if (!inner_->GetModemStatus(status)) return false;
    if (lines_ != *status) {
        lines_ = *status;
        Trace("lines " + LinesText(*status));
    }
    return true;
}

bool TracingDevice::Escape(int function) {
    if (!inner_->Escape(function)) return false;
    if (function == platform::kSetDtr || function == platform::kClrDtr)
        NoteDtr(function == platform::kSetDtr);
    return true;
}

bool TracingDevice::Close() {
    return inner_->Close();
}

}  // namespace modemsim
