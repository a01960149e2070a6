// The scanf-like patterns by which the initialisation file's statements are recognised.
//
// In a pattern a blank matches any run of white space (also an empty one); "%u" skips white
// space and reads an unsigned decimal number into 32 bits; "%s" skips white space and reads a
// word up to the next white space or the end of the line; "%c" takes the next character as it
// is; every other character must be there exactly. Matching stops where the line no longer
// fits; the number of values read up to there decides which statement the line is.
#pragma once

#include <cstdint>

constexpr unsigned kMaxPatternValues = 8;

struct PatternValue {
    uint32_t number = 0;         // %u
    const char* word = nullptr;  // %s: where the word begins in the line (not terminated)
    uint32_t length = 0;         // %s: its number of characters
    char character = 0;          // %c
};

struct PatternMatch {
    unsigned count = 0;     // values read before the line stopped fitting
    bool complete = false;  // the whole pattern fitted
    PatternValue values[kMaxPatternValues];
};

// Matches `line` (a C string) from its first character against `pattern`.
PatternMatch MatchPattern(const char* line, const char* pattern);

// White space as the patterns see it: blank, tab, line feed, vertical tab, form feed, carriage
// return. Independent of the locale, and safe for bytes above 127.
constexpr bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads "%02x" from `text`: a hexadecimal number of one or two digits, stopping at the first
// character that is not a digit. False when the first character is not a hexadecimal digit.
bool ReadHexPair(const char* text, uint8_t* value);

// True when the word of a %s value is exactly `text`.
bool WordIs(const PatternValue& value, const char* text);
