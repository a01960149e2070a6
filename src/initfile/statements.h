// The statements of the initialisation file: what a recognised line does to the settings and
// tables. Each handler gets the line and the values its pattern read; it checks them, complains
// where they are wrong and fills what they describe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "initfile/pattern.h"

// One line (or piece of a long line) of the file, as the messages quote it.
struct InitLine {
    const char* text;      // as read, with its line feed; upper case from the third test on
    unsigned number;       // the 16-bit line counter: from 1, wrapping after 65535 lines
    const char* fileName;  // the name the file was opened by
};

using StatementHandler = void (*)(const InitLine& line, const PatternMatch& match);

// Global keys.
void OnModemCommandTimeout(const InitLine& line, const PatternMatch& match);
void OnCallerIdTimeout(const InitLine& line, const PatternMatch& match);
void OnPortsNul(const InitLine& line, const PatternMatch& match);
void OnIgnoreDsr(const InitLine& line, const PatternMatch& match);
void OnIgnoreCts(const InitLine& line, const PatternMatch& match);
void OnIgnoreCallerId(const InitLine& line, const PatternMatch& match);
void OnModemReset(const InitLine& line, const PatternMatch& match);
void OnModemAutoAnswer(const InitLine& line, const PatternMatch& match);
void OnModemResetMin(const InitLine& line, const PatternMatch& match);
void OnRingDetectReservedSec(const InitLine& line, const PatternMatch& match);
void OnConnectTimeLimitMin(const InitLine& line, const PatternMatch& match);
void OnDiagnose(const InitLine& line, const PatternMatch& match);
void OnAlertSound(const InitLine& line, const PatternMatch& match);

// Entries of the tables.
void OnCom(const InitLine& line, const PatternMatch& match);
void OnDial(const InitLine& line, const PatternMatch& match);
void OnAlarmSeq(const InitLine& line, const PatternMatch& match);
void OnAlarmReq(const InitLine& line, const PatternMatch& match);
void OnStation(const InitLine& line, const PatternMatch& match);
void OnDialModemReset(const InitLine& line, const PatternMatch& match);

// Copies a word into a fixed text field, cut to the field's size and always terminated.
template <std::size_t N>
void CopyWord(char (&field)[N], const PatternValue& value) {
    const std::size_t length = value.length < N ? value.length : N - 1;
    std::memcpy(field, value.word, length);
    field[length] = '\0';
}
