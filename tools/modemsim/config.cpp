#include "config.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace modemsim {
namespace {

using Words = std::vector<std::string>;

struct OutcomeName {
    const char* name;
    sim::Outcome outcome;
};

constexpr OutcomeName kOutcomes[] = {
    {"busy", sim::Outcome::kBusy},
    {"noanswer", sim::Outcome::kNoAnswer},
    {"nocarrier", sim::Outcome::kNoCarrier},
    {"nodialtone", sim::Outcome::kNoDialTone},
};

bool Number(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value <= max;
}

bool Milliseconds(const std::string& text, uint32_t& ms) {
    unsigned long value = 0;
    if (!Number(text, UINT32_MAX, value)) return false;
    ms = static_cast<uint32_t>(value);
    return true;
}

bool FindOutcome(const std::string& name, sim::Outcome& outcome) {
    for (const OutcomeName& known : kOutcomes) {
        if (name == known.name) {
            outcome = known.outcome;
            return true;
        }
    }
    return false;
}

// Each statement: false with a message.
bool ModemStatement(const Words& w, Bank& bank, std::string& error) {
    unsigned long port = 0;
    if (w.size() != 4 || !Number(w[3], 65535, port)) {
        error = "usage: modem COMn NUMBER|- PORT";
        return false;
    }
    return bank.AddModem(w[1], w[2] == "-" ? "" : w[2], static_cast<uint16_t>(port), error);
}

bool StationStatement(const Words& w, Bank& bank, std::string& error) {
    if (w.size() == 3 && w[2] == "echo") {
        bank.StationAt(w[1]).SetEcho(true);
        return true;
    }
    std::string request, reply;
    if (w.size() == 5 && w[2] == "reply") {
        if (!ParseHex(w[3], request) || request.empty() || !ParseHex(w[4], reply)) {
            error = "reply: REQUEST and REPLY are hexadecimal bytes (0103000A0001)";
            return false;
        }
        bank.StationAt(w[1]).SetReply(request, reply);
        return true;
    }
    if (w.size() == 4 && w[2] == "any") {
        if (!ParseHex(w[3], reply)) {
            error = "any: REPLY is hexadecimal bytes";
            return false;
        }
        bank.StationAt(w[1]).SetReplyToAny(reply);
        return true;
    }
    uint32_t ms = 0;
    if (w.size() == 4 && w[2] == "delay" && Milliseconds(w[3], ms)) {
        bank.StationAt(w[1]).SetReplyDelay(ms);
        return true;
    }
    error = "usage: station NUMBER echo | reply REQUEST REPLY | any REPLY | delay MS";
    return false;
}

// outcome NUMBER RESULT [MS] and unknown RESULT [MS].
bool OutcomeStatement(const Words& w, Bank& bank, std::string& error) {
    const bool unknown = w[0] == "unknown";
    const std::size_t at = unknown ? 1 : 2;
    sim::Outcome outcome{};
    uint32_t ms = 1000;
    if (w.size() < at + 1 || w.size() > at + 2 || !FindOutcome(w[at], outcome) ||
        (w.size() == at + 2 && !Milliseconds(w[at + 1], ms))) {
        error = std::string("usage: ") + (unknown ? "unknown" : "outcome NUMBER") +
                " busy|noanswer|nocarrier|nodialtone [MS]";
        return false;
    }
    if (unknown)
        bank.World().SetUnknownOutcome(outcome, ms);
    else
        bank.World().SetOutcome(w[1].c_str(), outcome, ms);
    return true;
}

bool TimingStatement(const Words& w, Bank& bank, std::string& error) {
    uint32_t first = 0, second = 0;
    if (w[0] == "connect-delay" && w.size() == 2 && Milliseconds(w[1], first)) {
        bank.World().SetConnectDelay(first);
        return true;
    }
    if (w[0] == "ring-cadence" && w.size() == 3 && Milliseconds(w[1], first) &&
        Milliseconds(w[2], second) && first > 0 && second <= first) {
        bank.World().SetRingCadence(first, second);
        return true;
    }
    error = w[0] == "connect-delay" ? "usage: connect-delay MS"
                                    : "usage: ring-cadence PERIOD ON (ON at most PERIOD)";
    return false;
}

bool SpeedStatement(const Words& w, Bank& bank, std::string& error) {
    unsigned long speed = 0;
    sim::Modem* modem = w.size() == 3 ? bank.FindModem(w[1]) : nullptr;
    if (modem == nullptr || !Number(w[2], UINT32_MAX, speed) || speed == 0) {
        error = "usage: connect-speed COMn BPS (after the modem's own line)";
        return false;
    }
    modem->SetConnectSpeed(static_cast<uint32_t>(speed));
    return true;
}

bool FaultStatement(const Words& w, Bank& bank, std::string& error) {
    return bank.SetFault(Words(w.begin() + 1, w.end()), error);
}

struct Statement {
    const char* keyword;
    bool (*read)(const Words&, Bank&, std::string&);
};

constexpr Statement kStatements[] = {
    {"modem", ModemStatement},          {"station", StationStatement},
    {"outcome", OutcomeStatement},      {"unknown", OutcomeStatement},
    {"connect-delay", TimingStatement}, {"ring-cadence", TimingStatement},
    {"connect-speed", SpeedStatement},  {"fault", FaultStatement},
};

}  // namespace

bool ReadConfig(const std::string& path, Bank& bank, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot read";
        return false;
    }
    unsigned lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        line = line.substr(0, line.find('#'));
        std::istringstream split(line);
        Words words;
        for (std::string word; split >> word;)
            words.push_back(word);
        if (words.empty()) continue;
        const Statement* statement = nullptr;
        for (const Statement& known : kStatements)
            if (words[0] == known.keyword) statement = &known;
        std::string problem = "unknown statement " + words[0];
        if (statement == nullptr || !statement->read(words, bank, problem)) {
            error = path + ":" + std::to_string(lineNumber) + ": " + problem;
            return false;
        }
    }
    return true;
}

}  // namespace modemsim
