#include "console.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "common/command_words.h"
#include "zunpro_host.h"

namespace {

const char* const kFlagNames[] = {"DEF", "OPN", "INP", "OUT", "RSV", "CON", "RIN"};
const char* const kSignalNames[] = {"DTR", "RTS", "", "", "CTS", "DSR", "RI", "DCD"};

const char* const kHelp =
    "commands:\n"
    "  status [all]             ports: flags and signals, connections, answer-call gates\n"
    "  watch                    the status redrawn once a second, until a key or end of input\n"
    "  dial N [timeout]         KORVA_Connect with dial entry N (timeout in 10 ms, default 500)\n"
    "  send REF TEXT|hex:..     KORVA_Send (TEXT may hold \\r \\n \\xNN)\n"
    "  recv REF [count] [hex]   KORVA_Receive (default 256 bytes), shown as text or hex\n"
    "  timeout REF N            KORVA_Timeout (10 ms units)\n"
    "  flush REF                KORVA_Flush\n"
    "  hangup REF               KORVA_Disconnect\n"
    "  gate ADDR [VALUE]        read or write one of the driver's gates\n"
    "  reset                    write $RESETAA (re-initialise the answering modems)\n"
    "  nul | com                the parameter change: close all ports | re-initialise them\n"
    "  wait call VPI PLC [s]    wait for an incoming call handed to that answer-call gate\n"
    "  wait lost REF [s]        wait until the connection has lost its line\n"
    "  sleep MS | echo TEXT | shell CMD\n"
    "  stop                     stop the driver and leave; quit leaves at once\n"
    "REF may be a number, @dial (last dialled) or @call (last incoming call).\n"
    "A command may end in '=> N': the status it must give (scripts stop when it does not).\n";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

double Number(const std::vector<std::string>& words, std::size_t i, double fallback) {
    return i < words.size() ? std::strtod(words[i].c_str(), nullptr) : fallback;
}

}  // namespace

std::string ParseBytes(const std::string& text) {
    std::string bytes;
    if (text.rfind("hex:", 0) == 0) {
        for (std::size_t i = 4; i + 1 < text.size(); i += 2) {
            int high = HexValue(text[i]), low = HexValue(text[i + 1]);
            if (high < 0 || low < 0) break;
            bytes += static_cast<char>(high * 16 + low);
        }
        return bytes;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        char next = text[++i];
        if (next == 'r') {
            bytes += '\r';
        } else if (next == 'n') {
            bytes += '\n';
        } else if (next == 'x' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            bytes += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += next;
        }
    }
    return bytes;
}

std::string ShowBytes(const std::string& bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    return shown;
}

std::string ShowHex(const std::string& bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%s%02X", shown.empty() ? "" : " ", c);
        shown += pair;
    }
    return shown;
}

bool Console::DefineGates(const std::string& gateFile) {
    if (gateFile.empty()) return true;
    std::ifstream in(gateFile);
    if (!in) {
        std::fprintf(stderr, "korva-host: cannot read gate file %s\n", gateFile.c_str());
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> words = Split(line);
        if (words.empty() || words[0][0] == '#') continue;
        unsigned vpi = 0, plc = 0;
        if (std::sscanf(words[0].c_str(), "$A%2u-%3u", &vpi, &plc) != 2) {
            std::fprintf(stderr, "korva-host: %s: not an answer-call gate ($Avv-ppp): %s\n",
                         gateFile.c_str(), words[0].c_str());
            return false;
        }
        AnswerGate gate{words[0], static_cast<uint8_t>(vpi), plc, 0};
        gate.id = ZunHostDefineGate(gate.vpi, gate.address.c_str());
        answerGates_.push_back(gate);
    }
    return true;
}

uint32_t Console::Reference(const std::string& word) const {
    if (word == "@dial") return lastDial_;
    if (word == "@call") return lastCall_;
    return static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 0));
}

void Console::PollAnswerGates() {
    for (AnswerGate& gate : answerGates_) {
        double value = 0;
        unsigned writes = 0;
        if (ZunHostGateValue(gate.id, &value, &writes) != 0 || writes == gate.writes) continue;
        gate.writes = writes;
        gate.value = value;
        lastCall_ = static_cast<uint32_t>(value);
        ++callsSeen_;
        connections_[lastCall_] = Connection{"incoming for " + gate.address};
        std::printf("incoming call for VPI %u PLC %u: reference %u\n", gate.vpi, gate.plc,
                    lastCall_);
        std::fflush(stdout);
    }
}

void Console::PrintStatus(bool all) {
    PollAnswerGates();
    std::printf("port  DEF OPN INP OUT RSV CON RIN   DTR RTS CTS DSR RI  DCD\n");
    for (unsigned com = 1; com <= 32; ++com) {
        char address[16];
        std::snprintf(address, sizeof address, "COM%02uDEF", com);
        KorvaGateDefinition flagGate{};
        KorvaGateValue flags{};
        if (driver_.Define(flagGate, address, true, 7) != 0 ||
            driver_.Read(address, flagGate, true, flags) != 0)
            continue;
        if (!all && (flags.block & 1) == 0) continue;
        std::printf("COM%-2u", com);
        for (unsigned bit = 0; bit < 7; ++bit)
            std::printf("  %s", (flags.block >> bit) & 1 ? " x" : " .");
        std::snprintf(address, sizeof address, "MOD%02uDTR", com);
        KorvaGateDefinition signalGate{};
        KorvaGateValue signals{};
        std::printf("  ");
        if (driver_.Define(signalGate, address, true, 8) == 0 &&
            driver_.Read(address, signalGate, true, signals) == 0) {
            for (unsigned bit : {0u, 1u, 4u, 5u, 6u, 7u})
                std::printf("  %s", (signals.block >> bit) & 1 ? " x" : " .");
        } else {
            std::printf("   (not open)");
        }
        std::printf("\n");
    }
    if (connections_.empty()) {
        std::printf("connections held by this host: none\n");
    } else {
        std::printf("connections held by this host:");
        for (const auto& [reference, connection] : connections_)
            std::printf(" %u (%s)", reference, connection.origin.c_str());
        std::printf("\n");
    }
    for (const AnswerGate& gate : answerGates_) {
        if (gate.writes == 0)
            std::printf("answer-call gate %s: not written\n", gate.address.c_str());
        else
            std::printf("answer-call gate %s: %g (%u writes)\n", gate.address.c_str(), gate.value,
                        gate.writes);
    }
    std::fflush(stdout);
}

void Console::Watch() {
    for (;;) {
        if (isatty(STDOUT_FILENO)) std::printf("\x1b[H\x1b[2J");
        PrintStatus(false);
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (poll(&input, 1, 1000) != 0) {
            std::string ignored;
            std::getline(std::cin, ignored);  // the key that ends the watch
            return;
        }
    }
}

bool Console::WaitFor(double seconds, bool (Console::*done)(const std::vector<std::string>&),
                      const std::vector<std::string>& words) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (!(this->*done)(words)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool Console::CallArrived(const std::vector<std::string>& words) {
    const unsigned seen = callsSeen_;
    PollAnswerGates();
    if (callsSeen_ == seen) return false;
    const unsigned vpi = static_cast<unsigned>(Number(words, 2, 0));
    const unsigned plc = static_cast<unsigned>(Number(words, 3, 0));
    for (const AnswerGate& gate : answerGates_)
        if (gate.vpi == vpi && gate.plc == plc && static_cast<uint32_t>(gate.value) == lastCall_)
            return true;
    return false;
}

bool Console::LineLost(const std::vector<std::string>& words) {
    return driver_.flush(Reference(words[2])) == KORVA_STATUS_NOT_CONNECTED;
}

bool Console::Stopped(const std::vector<std::string>&) {
    // Reference 255 is refused as a bad reference while the driver runs, and as stopped after.
    return driver_.flush(255) == KORVA_STATUS_STOPPED;
}

int32_t Console::WriteCommandGate(const std::string& address, uint16_t value) {
    KorvaGateDefinition gate{};
    if (driver_.Define(gate, address, false, 0) != 0) return 1;
    return driver_.Write(address, gate, value);
}

int32_t Console::GateCommand(const std::vector<std::string>& words) {
    if (words.size() < 2) return -2;
    const std::string& address = words[1];
    KorvaGateDefinition gate{};
    int32_t result = driver_.Define(gate, address, false, 0);
    if (result != 0) {
        std::printf("gate %s refused by the driver (%d)\n", address.c_str(), result);
        return result;
    }
    if (words.size() > 2) {
        result = driver_.Write(address, gate, static_cast<uint16_t>(Number(words, 2, 0)));
        std::printf("gate %s written: result %d\n", address.c_str(), result);
        return result;
    }
    KorvaGateValue value{};
    result = driver_.Read(address, gate, false, value);
    if (result == 0)
        std::printf("gate %s = %u\n", address.c_str(), value.single);
    else
        std::printf("gate %s not read: result %d\n", address.c_str(), result);
    return result;
}

int32_t Console::Execute(const std::vector<std::string>& words, const std::string& line) {
    const std::string& command = words[0];
    auto report = [](const char* what, int32_t status) {
        std::printf("%s: status %d (%s)\n", what, status, StatusText(status));
        return status;
    };
    if (command == "help") {
        std::printf("%s", kHelp);
        return -1;
    }
    if (command == "status") {
        PrintStatus(words.size() > 1 && words[1] == "all");
        return -1;
    }
    if (command == "watch") {
        Watch();
        return -1;
    }
    if (command == "dial" && words.size() >= 2) {
        uint16_t reference = 255;
        const auto entry = static_cast<uint16_t>(Number(words, 1, 0));
        const int32_t status =
            driver_.connect(entry, static_cast<int32_t>(Number(words, 2, 500)), &reference);
        if (status == KORVA_STATUS_OK) {
            lastDial_ = reference;
            connections_[reference] = Connection{"dialled entry " + words[1]};
            std::printf("dial %u: status 0 (done), reference %u\n", entry, reference);
            return status;
        }
        return report("dial", status);
    }
    if (command == "send" && words.size() >= 3) {
        const std::string bytes = ParseBytes(RestAfter(line, 2));
        return report("send", driver_.send(Reference(words[1]), bytes.data(),
                                           static_cast<int32_t>(bytes.size())));
    }
    if (command == "recv" && words.size() >= 2) {
        std::string buffer(static_cast<std::size_t>(Number(words, 2, 256)), '\0');
        int32_t received = 0;
        const int32_t status = driver_.receive(Reference(words[1]), buffer.data(),
                                               static_cast<int32_t>(buffer.size()), &received);
        buffer.resize(static_cast<std::size_t>(received > 0 ? received : 0));
        const bool hex = words.size() > 3 && words[3] == "hex";
        std::printf("recv: status %d (%s), %d bytes: %s\n", status, StatusText(status), received,
                    hex ? ShowHex(buffer).c_str() : ShowBytes(buffer).c_str());
        return status;
    }
    if (command == "timeout" && words.size() >= 3)
        return report("timeout", driver_.timeout(Reference(words[1]),
                                                 static_cast<int32_t>(Number(words, 2, 0))));
    if (command == "flush" && words.size() >= 2)
        return report("flush", driver_.flush(Reference(words[1])));
    if (command == "hangup" && words.size() >= 2) {
        const uint32_t reference = Reference(words[1]);
        const int32_t status = driver_.disconnect(reference);
        if (status == KORVA_STATUS_OK) connections_.erase(reference & 0xFFFF);
        return report("hangup", status);
    }
    if (command == "gate") return GateCommand(words);
    if (command == "reset") {
        const int32_t result = WriteCommandGate("$RESETAA", 1);
        std::printf("reset: result %d\n", result);
        return result;
    }
    if (command == "nul" || command == "com") {
        std::string parameter = command == "nul" ? "NUL" : "COM";
        const int32_t result = driver_.Call(KORVA_FN_CHANGE_PARAMS, parameter.data());
        std::printf("%s: result %d\n", parameter.c_str(), result);
        return result;
    }
    if (command == "wait" && words.size() >= 3) {
        bool happened = false;
        if (words[1] == "call" && words.size() >= 4) {
            happened = WaitFor(Number(words, 4, 30), &Console::CallArrived, words);
        } else if (words[1] == "lost") {
            happened = WaitFor(Number(words, 3, 30), &Console::LineLost, words);
        } else {
            return -2;
        }
        std::printf("wait %s: %s\n", words[1].c_str(), happened ? "done" : "timed out");
        return happened ? 0 : 1;
    }
    if (command == "sleep" && words.size() >= 2) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(static_cast<long>(Number(words, 1, 0))));
        PollAnswerGates();
        return -1;
    }
    if (command == "echo") {
        std::printf("%s\n", RestAfter(line, 1).c_str());
        return -1;
    }
    if (command == "shell" && words.size() >= 2) {
        std::fflush(stdout);
        const int rc = std::system(RestAfter(line, 1).c_str());
        return rc == 0 ? 0 : 1;
    }
    return -2;
}

int Console::Run(bool interactive) {
    for (;;) {
        if (interactive) {
            std::printf("korva> ");
            std::fflush(stdout);
        }
        std::string line;
        if (!std::getline(std::cin, line)) break;
        PollAnswerGates();
        // An expectation: "command ... => N".
        long expected = -1;
        bool expecting = false;
        if (std::size_t arrow = line.rfind("=>"); arrow != std::string::npos) {
            expected = std::strtol(line.c_str() + arrow + 2, nullptr, 10);
            expecting = true;
            line.erase(arrow);
        }
        std::vector<std::string> words = Split(line);
        if (words.empty() || words[0][0] == '#') continue;
        if (words[0] == "quit" || words[0] == "exit") return 0;
        if (words[0] == "stop") {
            ZunHostRequestStop();
            const bool stopped = WaitFor(60, &Console::Stopped, words);
            std::printf("stop: %s\n",
                        stopped ? "the driver has stopped" : "the driver did not stop");
            return stopped ? 0 : 1;
        }
        const int32_t status = Execute(words, line);
        std::fflush(stdout);
        if (status == -2) std::printf("usage error; type help\n");
        if (expecting && status != expected) {
            std::printf("FAILED: '%s' gave %d, expected %ld\n", line.c_str(), status, expected);
            if (!interactive) return 1;
        }
    }
    return 0;
}
