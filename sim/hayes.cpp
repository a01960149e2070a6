#include "hayes.h"

#include <cctype>
#include <cstdio>

namespace sim::hayes {
namespace {

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

const ResultForm& FormOf(Result result) {
    for (const ResultForm& form : kResultForms)
        if (form.result == result) return form;
    return kResultForms[0];
}

}  // namespace

std::string FormatResult(Result result, uint32_t speed, bool verbose, char cr, char lf) {
    const ResultForm& form = FormOf(result);
    if (!verbose) return std::to_string(form.code) + cr;
    std::string text = form.text;
    if (result == Result::kConnect && speed != 0) text += " " + std::to_string(speed);
    return std::string{cr, lf} + text + cr + lf;
}

std::string FormatInfo(std::string_view text, bool verbose, char cr, char lf) {
    std::string framed = verbose ? std::string{cr, lf} : std::string();
    return framed.append(text) + cr + lf;
}

void LineAssembler::Clear() {
    phase_ = Phase::kIdle;
    buffer_.clear();
    overflowing_ = false;
}

bool LineAssembler::Feed(char c, char cr, char backspace) {
    switch (phase_) {
        case Phase::kIdle:
            if (Upper(c) == 'A') {
                phase_ = Phase::kSawA;
                buffer_.assign(1, c);
            }
            return false;
        case Phase::kSawA:
            if (Upper(c) == 'T') {
                phase_ = Phase::kInLine;
                buffer_ += c;
                overflowing_ = false;
            } else if (c == '/') {
                // Repeats the last line; before any line it is an empty command.
                phase_ = Phase::kIdle;
                if (line_.empty()) line_ = "AT";
                overflowed_ = false;
                return true;
            } else if (Upper(c) != 'A') {
                phase_ = Phase::kIdle;
            }
            return false;
        case Phase::kInLine:
            if (c == cr) {
                phase_ = Phase::kIdle;
                line_ = buffer_;
                overflowed_ = overflowing_;
                return true;
            }
            if (c == backspace) {
                if (buffer_.size() > 2) buffer_.pop_back();
            } else if (static_cast<unsigned char>(c) >= 0x20) {
                // Control characters (a line feed after the carriage return) are not part of
                // a line.
                if (buffer_.size() < kMaxLine + 2) {
                    buffer_ += c;
                } else {
                    overflowing_ = true;
                }
            }
            return false;
    }
    return false;
}

void CommandReader::SkipBlanks() {
    while (at_ < text_.size() && text_[at_] == ' ')
        ++at_;
}

CommandReader::Number CommandReader::ReadNumber(unsigned* number) {
    SkipBlanks();
    size_t start = at_;
    unsigned value = 0;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) {
        value = value * 10 + static_cast<unsigned>(text_[at_] - '0');
        if (value > 255) return Number::kTooBig;
        ++at_;
    }
    *number = value;
    return at_ == start ? Number::kNone : Number::kRead;
}

CommandReader::Status CommandReader::Next(Command& command) {
    command = Command{};
    SkipBlanks();
    if (at_ >= text_.size()) return Status::kEnd;
    char c = Upper(text_[at_++]);
    if (c == '&') {
        SkipBlanks();
        if (at_ >= text_.size() || !std::isalpha(static_cast<unsigned char>(text_[at_])))
            return Status::kError;
        command.prefix = '&';
        c = Upper(text_[at_++]);
    }
    if (!std::isalpha(static_cast<unsigned char>(c))) return Status::kError;
    command.letter = c;
    if (command.prefix == 0 && c == 'D') {
        // Dial modifiers (T, P, W, ",", "@", ";" ...) are accepted and ignored; pauses take no
        // time here.
        for (; at_ < text_.size(); ++at_) {
            char d = text_[at_];
            if (std::isdigit(static_cast<unsigned char>(d)) || d == '*' || d == '#')
                command.dial += d;
        }
        return Status::kCommand;
    }
    Number number = ReadNumber(&command.number);
    if (number == Number::kTooBig) return Status::kError;
    command.hasNumber = number == Number::kRead;
    if (command.prefix == 0 && c == 'S') {
        SkipBlanks();
        if (at_ < text_.size() && text_[at_] == '=') {
            ++at_;
            command.op = Command::Op::kAssign;
            // "Sn=" alone stores 0, as Hayes modems do.
            if (ReadNumber(&command.value) == Number::kTooBig) return Status::kError;
        } else if (at_ < text_.size() && text_[at_] == '?') {
            ++at_;
            command.op = Command::Op::kQuery;
        }
    }
    return Status::kCommand;
}

}  // namespace sim::hayes
