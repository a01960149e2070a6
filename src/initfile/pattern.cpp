// The pattern matcher of the initialisation file.
#include "initfile/pattern.h"

#include <cstring>

namespace {

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

const char* SkipWhiteSpace(const char* p) {
    while (IsWhiteSpace(*p))
        ++p;
    return p;
}

// "%u" as C's unsigned conversion accepts it: white space, an optional sign, then at least one
// decimal digit. C leaves a value that does not fit undefined; here a number above 4294967295,
// and any negative number other than -0, reads as 4294967295. So an out-of-range value can
// never wrap into a small one that a range check would accept ("COM -4294967295" is not port
// 1), and every range check refuses it.
const char* ReadUnsigned(const char* p, uint32_t* value) {
    p = SkipWhiteSpace(p);
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!IsDigit(*p)) return nullptr;
    uint64_t number = 0;
    bool tooBig = false;
    for (; IsDigit(*p); ++p) {
        if (tooBig) continue;
        number = number * 10 + static_cast<unsigned>(*p - '0');
        tooBig = number > UINT32_MAX;
    }
    if (tooBig || (negative && number != 0)) number = UINT32_MAX;
    *value = static_cast<uint32_t>(number);
    return p;
}

const char* ReadWord(const char* p, PatternValue* value) {
    p = SkipWhiteSpace(p);
    if (*p == '\0') return nullptr;
    value->word = p;
    while (*p != '\0' && !IsWhiteSpace(*p))
        ++p;
    value->length = static_cast<uint32_t>(p - value->word);
    return p;
}

int HexDigit(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

PatternMatch MatchPattern(const char* line, const char* pattern) {
    PatternMatch match;
    const char* p = line;
    for (const char* f = pattern; *f != '\0'; ++f) {
        if (IsWhiteSpace(*f)) {
            p = SkipWhiteSpace(p);
            continue;
        }
        if (*f != '%') {
            if (*p != *f) return match;
            ++p;
            continue;
        }
        if (match.count == kMaxPatternValues) return match;
        PatternValue& value = match.values[match.count];
        switch (*++f) {
            case 'u':
                p = ReadUnsigned(p, &value.number);
                break;
            case 's':
                p = ReadWord(p, &value);
                break;
            case 'c':
                if (*p == '\0') return match;
                value.character = *p++;
                break;
            default:  // the patterns are this reader's own; no other conversion is used
                return match;
        }
        if (p == nullptr) return match;
        ++match.count;
    }
    match.complete = true;
    return match;
}

// A sign or a "0x" prefix, which C's %x would also take, is not accepted: a telegram byte is
// written as bare hexadecimal digits.
bool ReadHexPair(const char* text, uint8_t* value) {
    const int high = HexDigit(text[0]);
    if (high < 0) return false;
    const int low = HexDigit(text[1]);
    *value = static_cast<uint8_t>(low < 0 ? high : high * 16 + low);
    return true;
}

bool WordIs(const PatternValue& value, const char* text) {
    return value.word != nullptr && std::strlen(text) == value.length &&
           std::memcmp(value.word, text, value.length) == 0;
}
