// The address grammar of the driver's own gates: command gates "$...", modem-signal gates
// "MODnnSSS" and port-flag gates "COMnnFFF".
#include <cstddef>
#include <cstring>

#include "gates/gates.h"
#include "host/state.h"
#include "korva/zunpro.h"

namespace {

constexpr std::size_t kWorkSize = 256;
constexpr std::size_t kPortGateLength = 8;
constexpr uint32_t kCommandIndex = 255;
constexpr uint32_t kDigital = 6;
constexpr uint32_t kModemBlockLength = 8;
constexpr uint32_t kFlagBlockLength = 7;

constexpr const char* kCommandGates[] = {"$RESETAA", "$DIAGNOSE", "$ALERT_SOUND"};

struct NamedBit {
    char name[4];
    uint32_t bit;
};

// Bits of the modem signal byte, in the order they are tested.
constexpr NamedBit kSignals[] = {{"DTR", 0}, {"RTS", 1}, {"CTS", 4},
                                 {"DSR", 5}, {"RIN", 6}, {"DCD", 7}};
// Bits of the port flags word, in the order they are tested.
constexpr NamedBit kPortFlags[] = {{"DEF", 0}, {"OPN", 1}, {"INP", 2}, {"OUT", 3},
                                   {"RSV", 4}, {"CON", 5}, {"RIN", 6}};

// What tells modem-signal gates from port-flag gates.
struct PortGateGrammar {
    uint32_t kind;
    int32_t indexOffset;  // added to the port number
    const NamedBit* names;
    std::size_t nameCount;
    const char* badNumber;
    const char* badName;
};

constexpr PortGateGrammar kModemGates = {
    'M',
    -1,
    kSignals,
    sizeof kSignals / sizeof kSignals[0],
    "KORVA> Parse() illegal MODEM number in gate '%s'",
    "KORVA> Parse() illegal MODEM control signal gate '%s'",
};
constexpr PortGateGrammar kPortFlagGates = {
    'C',
    15,
    kPortFlags,
    sizeof kPortFlags / sizeof kPortFlags[0],
    "KORVA> Parse() illegal COMPORT number in gate '%s'",
    "KORVA> Parse() illegal COM PORT FLAG gate '%s'",
};

KorvaGateDefinition* Definition(KorvaRequest* request) {
    return static_cast<KorvaGateDefinition*>(request->block);
}

// Copies `address` upper-cased (a to z only) into the working buffer. An address that does not
// fit is cut to 255 characters: every accepted address has at most 12, so the grammar refuses a
// cut one by itself (illegal length for "MOD"/"COM", illegal command gate for "$", illegal gate
// address otherwise), and the message shows the cut copy. A missing address reads as empty.
void CopyUpperCase(const char* address, char (&copy)[kWorkSize]) {
    std::size_t length = 0;
    if (address != nullptr) {
        for (; length < kWorkSize - 1 && address[length] != '\0'; ++length) {
            char c = address[length];
            copy[length] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        }
    }
    copy[length] = '\0';
}

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The C library's unsigned conversion of width 2 ("%02u"): leading white space is skipped, at
// most two characters are taken with a sign counting as one, and the number ends at the first
// non-digit. A minus sign negates modulo 2^32, so "-1" reads as 4294967295. false when no digit
// was read.
bool ReadWidth2Unsigned(const char* text, uint32_t* number) {
    // The analyser pairs an empty copy with a "MOD" prefix, which cannot both hold: the text is
    // the fourth character onwards of an 8-character copy.
    // NOLINTNEXTLINE(clang-analyzer-core.CallAndMessage)
    while (IsSpace(*text))
        ++text;
    int width = 2;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
        --width;
    }
    uint32_t value = 0;
    int digits = 0;
    for (; width > 0 && *text >= '0' && *text <= '9'; --width, ++text, ++digits)
        value = value * 10 + static_cast<uint32_t>(*text - '0');
    if (digits == 0) return false;
    *number = negative ? 0u - value : value;
    return true;
}

int32_t ParseCommandGate(const char* copy, KorvaGateDefinition* gate) {
    gate->gateKind = '$';
    for (const char* name : kCommandGates)
        if (std::strcmp(copy, name) == 0) return 0;
    err(kGateLog, "KORVA> Parse() illegal COMMAND gate '%s'", copy);
    return 1;
}

int32_t ParsePortGate(const char* copy, const PortGateGrammar& grammar, KorvaGateDefinition* gate) {
    gate->gateKind = grammar.kind;
    gate->word32 = 1;
    if (std::strlen(copy) != kPortGateLength) {
        err(kGateLog, "KORVA> Parse() illegal length gate address '%s'", copy);
        return 1;
    }
    uint32_t port = 0;
    bool read = ReadWidth2Unsigned(copy + 3, &port);
    if (read) gate->gateIndex = port;
    if (!read || port < 1 || port > kPortCount) {
        err(kGateLog, grammar.badNumber, copy);
        return 1;
    }
    gate->gateIndex = static_cast<uint32_t>(static_cast<int32_t>(port) + grammar.indexOffset);
    // The name is always the sixth to eighth characters, wherever the number ended.
    for (std::size_t i = 0; i < grammar.nameCount; ++i) {
        if (std::strcmp(copy + 5, grammar.names[i].name) == 0) {
            gate->bitNumber = grammar.names[i].bit;
            return 0;
        }
    }
    err(kGateLog, grammar.badName, copy);
    return 1;
}

}  // namespace

int32_t Parse(KorvaRequest* request) {
    char copy[kWorkSize];
    KorvaGateDefinition* gate = Definition(request);
    CopyUpperCase(gate != nullptr ? gate->address : nullptr, copy);
    if (gate == nullptr) {  // no record to write into: refused like an empty address
        err(kGateLog, "KORVA> Parse() illegal gate address gate '%s'", copy);
        return 1;
    }
    gate->gateIndex = kCommandIndex;
    gate->word28 = -1;
    if (StartsWith(copy, "$")) return ParseCommandGate(copy, gate);
    if (StartsWith(copy, "MOD")) return ParsePortGate(copy, kModemGates, gate);
    if (StartsWith(copy, "COM")) return ParsePortGate(copy, kPortFlagGates, gate);
    err(kGateLog, "KORVA> Parse() illegal gate address gate '%s'", copy);
    return 1;
}

int32_t SingleAddressParser(KorvaRequest* request) {
    int32_t rc = Parse(request);
    if (rc != 0) return rc;
    const KorvaGateDefinition* gate = Definition(request);
    if (gate->gateType == kDigital) return 0;
    const char* address = gate->address;
    switch (gate->gateKind) {
        case 'M':
            err(kGateLog, "KORVA> SingleParse() MODEM contr. sign. gate must be digital, gate '%s'",
                address);
            return 1;
        case 'C':
            err(kGateLog, "KORVA> SingleParse() COM PORT FLAG gate must be digital, gate '%s'",
                address);
            return 1;
        default:
            err(kGateLog, "KORVA> SingleParse() $ command gate must be digital, gate '%s'",
                address);
            return 1;
    }
}

int32_t BlockAddressParser(KorvaRequest* request) {
    int32_t rc = Parse(request);
    if (rc != 0) return rc;
    const KorvaGateDefinition* gate = Definition(request);
    const char* address = gate->address;
    if (gate->gateKind == 'M' && gate->blockLength != kModemBlockLength) {
        err(kGateLog, "KORVA> BlockParse() MODEM contr sign BLOCK length must be 8, block '%s'",
            address);
        return 1;
    }
    if (gate->gateKind == 'M' && gate->bitNumber != 0) {
        err(kGateLog, "KORVA> BlockParse() MODEM contr sign BLOCK must start with DTR, block '%s'",
            address);
        return 1;
    }
    if (gate->gateKind == 'C' && gate->blockLength != kFlagBlockLength) {
        err(kGateLog, "KORVA> BlockParse() COM PORT FLAGS BLOCK length must be 7, block '%s'",
            address);
        return 1;
    }
    if (gate->gateKind == 'C' && gate->bitNumber != 0) {
        err(kGateLog, "KORVA> BlockParse() COM PORT FLAGS BLOCK must start with DEF, block '%s'",
            address);
        return 1;
    }
    if (gate->gateKind == '$') {
        err(kGateLog, "KORVA> BlockParse() $ command gates not allowed in block '%s'", address);
        return 1;
    }
    return 0;
}
