#include "bank.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/command_words.h"

namespace modemsim {
namespace {

struct FaultName {
    const char* name;
    sim::Fault fault;
};

constexpr FaultName kFaults[] = {
    {"poweredoff", sim::Fault::kPoweredOff},
    {"silent", sim::Fault::kSilent},
    {"garbled", sim::Fault::kGarbled},
    {"error-replies", sim::Fault::kErrorReplies},
    {"no-dialtone", sim::Fault::kNoDialTone},
    {"open-fails", sim::Fault::kOpenFails},
    {"get-state-fails", sim::Fault::kGetStateFails},
    {"set-state-fails", sim::Fault::kSetStateFails},
    {"get-timeouts-fails", sim::Fault::kGetTimeoutsFails},
    {"set-timeouts-fails", sim::Fault::kSetTimeoutsFails},
    {"read-fails", sim::Fault::kReadFails},
    {"write-fails", sim::Fault::kWriteFails},
    {"short-write", sim::Fault::kShortWrite},
    {"clear-error-fails", sim::Fault::kClearErrorFails},
    {"status-fails", sim::Fault::kStatusFails},
    {"escape-fails", sim::Fault::kEscapeFails},
    {"close-fails", sim::Fault::kCloseFails},
};

const char* const kHelp =
    "commands:\n"
    "  call STATION MODEM        the station calls a modem (its number or COMn)\n"
    "  hangup STATION            the station hangs up\n"
    "  send STATION TEXT|hex:..  the station sends bytes down its line (TEXT may hold \\r \\n)\n"
    "  drop COMn                 the modem loses its carrier\n"
    "  power COMn off|on         switches the modem off or on (on: factory profile)\n"
    "  fault COMn NAME on|off [AFTER [TIMES]]   injects or clears a fault\n"
    "  list                      modems with their state and lines, stations\n"
    "  trace on|off              shows what crosses each serial line\n"
    "  quit\n";

// The digits of a phone number, as the exchange compares them.
std::string Digits(const std::string& number) {
    std::string digits;
    for (char c : number)
        if (c >= '0' && c <= '9') digits += c;
    return digits;
}

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value <= max;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "hex:0a0b", or text with \r, \n and \xNN escapes.
bool ParseBytes(const std::string& text, std::string& bytes) {
    if (text.rfind("hex:", 0) == 0) return ParseHex(text.substr(4), bytes);
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char next = text[++i];
        if (next == 'r') {
            bytes += '\r';
        } else if (next == 'n') {
            bytes += '\n';
        } else if (next == 'x' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
                   HexDigit(text[i + 2]) >= 0) {
            bytes += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            bytes += next;
        }
    }
    return true;
}

const char* StateName(sim::ModemState state) {
    switch (state) {
        case sim::ModemState::kCommand:
            return "command";
        case sim::ModemState::kRinging:
            return "ringing";
        case sim::ModemState::kDialing:
            return "dialling";
        case sim::ModemState::kAnswering:
            return "answering";
        case sim::ModemState::kOnline:
            return "online";
        case sim::ModemState::kEscaped:
            return "escaped";
    }
    return "?";
}

}  // namespace

bool ParseHex(const std::string& text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

Bank::Bank(Sink out) : out_(std::move(out)) {}

Bank::~Bank() {
    // The servers' threads use the devices: they stop before anything else goes.
    for (auto& entry : modems_)
        if (entry->server) entry->server->Stop();
    RemoveMap();
}

bool Bank::AddModem(const std::string& device, const std::string& number, uint16_t port,
                    std::string& error) {
    const unsigned com = platform::ComNumber(device.c_str());
    if (com == 0) {
        error = "not a serial port name (COMn): " + device;
        return false;
    }
    for (const auto& entry : modems_) {
        if (entry->com == com) {
            error = "COM" + std::to_string(com) + " defined twice";
            return false;
        }
        if (!number.empty() && Digits(entry->number) == Digits(number)) {
            error = "number " + number + " given to two modems";
            return false;
        }
    }
    const std::string name = "COM" + std::to_string(com);
    auto entry = std::make_unique<ModemEntry>();
    entry->device = name;
    entry->com = com;
    entry->number = number;
    entry->wantedPort = port;
    entry->modem = &world_.AddModem(name.c_str(), number.c_str());
    modems_.push_back(std::move(entry));
    return true;
}

sim::Station& Bank::StationAt(const std::string& number) {
    const std::string digits = Digits(number);
    auto found = stations_.find(digits);
    if (found != stations_.end()) return *found->second;
    sim::Station& station = world_.AddStation(digits.c_str());
    stations_[digits] = &station;
    return station;
}

Bank::ModemEntry* Bank::FindEntry(const std::string& deviceOrNumber) {
    const bool isDevice =
        deviceOrNumber.rfind("COM", 0) == 0 || deviceOrNumber.rfind("//./", 0) == 0;
    const unsigned com = isDevice ? platform::ComNumber(deviceOrNumber.c_str()) : 0;
    const std::string digits = isDevice ? "" : Digits(deviceOrNumber);
    for (auto& entry : modems_) {
        if ((com != 0 && entry->com == com) || (!digits.empty() && Digits(entry->number) == digits))
            return entry.get();
    }
    return nullptr;
}

sim::Modem* Bank::FindModem(const std::string& deviceOrNumber) {
    ModemEntry* entry = FindEntry(deviceOrNumber);
    return entry != nullptr ? entry->modem : nullptr;
}

bool Bank::SetFault(const std::vector<std::string>& words, std::string& error) {
    if (words.size() < 3 || words.size() > 5 || (words[2] != "on" && words[2] != "off")) {
        error = "usage: fault COMn NAME on|off [AFTER [TIMES]]";
        return false;
    }
    sim::Modem* modem = FindModem(words[0]);
    if (modem == nullptr) {
        error = "no modem " + words[0];
        return false;
    }
    const FaultName* fault = nullptr;
    for (const FaultName& known : kFaults)
        if (words[1] == known.name) fault = &known;
    if (fault == nullptr) {
        error = "no fault " + words[1] + "; faults:";
        for (const FaultName& known : kFaults)
            error += std::string(" ") + known.name;
        return false;
    }
    unsigned long after = 0, times = 0;
    if ((words.size() > 3 && !ParseUnsigned(words[3], UINT32_MAX, after)) ||
        (words.size() > 4 && !ParseUnsigned(words[4], UINT32_MAX, times))) {
        error = "AFTER and TIMES are counts of device calls";
        return false;
    }
    if (words[2] == "on") {
        modem->SetFault(fault->fault, static_cast<uint32_t>(after), static_cast<uint32_t>(times));
    } else {
        modem->ClearFault(fault->fault);
    }
    return true;
}

bool Bank::Start(std::string& error) {
    if (modems_.empty()) {
        error = "no modem defined";
        return false;
    }
    world_.Install();
    for (auto& entry : modems_) {
        entry->simDevice = platform::SerialOpen(entry->device.c_str());
        if (entry->simDevice == nullptr) {
            error = entry->device + ": the simulated port does not open";
            return false;
        }
        // A port nobody has open holds DTR low: the modem answers no call until a client
        // raises it.
        entry->simDevice->Escape(platform::kClrDtr);
        entry->traced =
            std::make_unique<TracingDevice>(entry->device, entry->simDevice, tracing_,
                                            [this](const std::string& line) { Say(line); });
        entry->server = std::make_unique<Rfc2217Server>(entry->traced.get());
        if (!entry->server->Start(entry->wantedPort)) {
            error =
                entry->device + ": cannot listen on 127.0.0.1:" + std::to_string(entry->wantedPort);
            return false;
        }
    }
    return true;
}

std::string Bank::Ports() const {
    std::string text;
    for (const auto& entry : modems_) {
        if (!text.empty()) text += ' ';
        text += entry->device + "=" + std::to_string(entry->server ? entry->server->Port() : 0);
    }
    return text;
}

bool Bank::WriteMap(const std::string& dir, std::string& error) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    for (const auto& entry : modems_) {
        const std::string path = dir + "/" + entry->device;
        const std::string url =
            "rfc2217://127.0.0.1:" + std::to_string(entry->server->Port()) + "\n";
        // A new file each time, so that a link left there is replaced rather than followed.
        unlink(path.c_str());
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        const bool written =
            fd >= 0 && write(fd, url.data(), url.size()) == static_cast<ssize_t>(url.size());
        if (fd >= 0) close(fd);
        if (!written) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
        mapFiles_.push_back(path);
    }
    return true;
}

void Bank::RemoveMap() {
    for (const std::string& path : mapFiles_)
        unlink(path.c_str());
    mapFiles_.clear();
}

bool Bank::Execute(const std::string& line) {
    const std::vector<std::string> words = Split(line);
    if (words.empty() || words[0][0] == '#') return true;
    const std::string& command = words[0];
    if (command == "quit" || command == "exit") return false;
    if (command == "help") {
        std::string help = kHelp;
        help.pop_back();
        Say(help);
    } else if (command == "list") {
        List();
    } else if (command == "call" && words.size() == 3) {
        Call(words);
    } else if (command == "hangup" && words.size() == 2) {
        HangUp(words);
    } else if (command == "send" && words.size() >= 3) {
        Send(words, line);
    } else if (command == "drop" && words.size() == 2) {
        Drop(words);
    } else if (command == "power" && words.size() == 3) {
        Power(words);
    } else if (command == "fault") {
        std::string error;
        if (SetFault(std::vector<std::string>(words.begin() + 1, words.end()), error))
            Say("fault: " + words[1] + " " + words[2] + " " + words[3]);
        else
            Say("error: " + error);
    } else if (command == "trace" && words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
        SetTrace(words[1] == "on");
        Say("trace " + words[1]);
    } else {
        Say("error: unknown command or wrong arguments: " + line + " (type help)");
    }
    return true;
}

void Bank::List() {
    constexpr const char* kRow = "%-5s  %-10s  %5s  %-6s  %-3s  %-9s  %s";
    char text[160];
    std::snprintf(text, sizeof text, kRow, "modem", "number", "port", "client", "DTR", "state",
                  "lines");
    Say(text);
    for (const auto& entry : modems_) {
        const uint32_t status = entry->modem->Status();
        const bool poweredOff = (status & (platform::kMsCtsOn | platform::kMsDsrOn)) == 0;
        std::string lines;
        auto add = [&](uint32_t bit, const char* name) {
            lines += (status & bit) != 0 ? name : std::string(std::strlen(name), '-');
            lines += ' ';
        };
        add(platform::kMsCtsOn, "CTS");
        add(platform::kMsDsrOn, "DSR");
        add(platform::kMsRingOn, "RI");
        add(platform::kMsRlsdOn, "DCD");
        if (!lines.empty()) lines.pop_back();
        const std::string port = std::to_string(entry->server ? entry->server->Port() : 0);
        std::snprintf(text, sizeof text, kRow, entry->device.c_str(),
                      entry->number.empty() ? "-" : entry->number.c_str(), port.c_str(),
                      entry->server && entry->server->HasClient() ? "yes" : "no",
                      entry->modem->Dtr() ? "on" : "off",
                      poweredOff ? "off" : StateName(entry->modem->State()), lines.c_str());
        Say(text);
    }
    for (const auto& [number, station] : stations_) {
        Say("station " + number + (station->Connected() ? " connected" : " not connected") + ", " +
            std::to_string(station->Received().size()) + " bytes received");
    }
}

void Bank::Call(const std::vector<std::string>& words) {
    ModemEntry* entry = FindEntry(words[2]);
    if (stations_.count(Digits(words[1])) == 0) {
        Say("error: no station " + words[1]);
        return;
    }
    if (entry == nullptr || entry->number.empty()) {
        Say("error: no modem with a number at " + words[2]);
        return;
    }
    if (StationAt(words[1]).Call(entry->number.c_str()))
        Say("call: " + words[1] + " calls " + entry->number + " (" + entry->device + ")");
    else
        Say("call: " + words[1] + " cannot call " + entry->number + ": busy");
}

void Bank::HangUp(const std::vector<std::string>& words) {
    if (stations_.count(Digits(words[1])) == 0) {
        Say("error: no station " + words[1]);
        return;
    }
    StationAt(words[1]).HangUp();
    Say("hangup: " + words[1] + " on-hook");
}

void Bank::Send(const std::vector<std::string>& words, const std::string& line) {
    if (stations_.count(Digits(words[1])) == 0) {
        Say("error: no station " + words[1]);
        return;
    }
    std::string bytes;
    if (!ParseBytes(RestAfter(line, 2), bytes)) {
        Say("error: hex: wants pairs of hexadecimal digits");
        return;
    }
    if (StationAt(words[1]).Send(bytes))
        Say("send: " + words[1] + " sent " + std::to_string(bytes.size()) + " bytes");
    else
        Say("send: " + words[1] + " has no carrier");
}

void Bank::Drop(const std::vector<std::string>& words) {
    sim::Modem* modem = FindModem(words[1]);
    if (modem == nullptr) {
        Say("error: no modem " + words[1]);
        return;
    }
    const bool online =
        modem->State() == sim::ModemState::kOnline || modem->State() == sim::ModemState::kEscaped;
    modem->DropCarrier();
    Say("drop: " + words[1] + (online ? " lost its carrier" : " had no carrier"));
}

void Bank::Power(const std::vector<std::string>& words) {
    sim::Modem* modem = FindModem(words[1]);
    if (modem == nullptr || (words[2] != "on" && words[2] != "off")) {
        Say("error: usage: power COMn off|on");
        return;
    }
    if (words[2] == "off")
        modem->SetFault(sim::Fault::kPoweredOff);
    else
        modem->ClearFault(sim::Fault::kPoweredOff);
    Say("power: " + words[1] + " " + words[2]);
}

}  // namespace modemsim
