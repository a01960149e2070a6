// The Hayes command language: result codes, the command-line assembler and the command reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sim::hayes {

// Result codes with their numeric (V0) and verbose (V1) forms.
enum class Result { kOk, kConnect, kRing, kNoCarrier, kError, kNoDialTone, kBusy, kNoAnswer };

struct ResultForm {
    Result result;
    int code;
    const char* text;
};

inline constexpr ResultForm kResultForms[] = {
    {Result::kOk, 0, "OK"},       {Result::kConnect, 1, "CONNECT"},
    {Result::kRing, 2, "RING"},   {Result::kNoCarrier, 3, "NO CARRIER"},
    {Result::kError, 4, "ERROR"}, {Result::kNoDialTone, 6, "NO DIALTONE"},
    {Result::kBusy, 7, "BUSY"},   {Result::kNoAnswer, 8, "NO ANSWER"},
};

// "\r\nCONNECT 2400\r\n" verbose, "1\r" numeric (the basic code set: CONNECT is 1 at any
// speed). `speed` is used by CONNECT only.
std::string FormatResult(Result result, uint32_t speed, bool verbose, char cr, char lf);
// Information text such as a register query: "\r\n002\r\n" verbose, "002\r\n" numeric.
std::string FormatInfo(std::string_view text, bool verbose, char cr, char lf);

// Collects a command line from typed characters: everything before "AT" (either case) is
// ignored, the line ends with the carriage-return character, backspace removes the last
// character after "AT", and "A/" repeats the last line at once.
class LineAssembler {
  public:
    static constexpr size_t kMaxLine = 255;  // characters after "AT"; longer lines are refused

    // True when `c` completed a line; Line() holds it, from "AT" up to the terminator.
    bool Feed(char c, char cr, char backspace);
    const std::string& Line() const { return line_; }
    bool Overflowed() const { return overflowed_; }
    void Clear();

  private:
    enum class Phase { kIdle, kSawA, kInLine };
    Phase phase_ = Phase::kIdle;
    std::string buffer_;
    std::string line_;
    bool overflowing_ = false;
    bool overflowed_ = false;
};

// One command of a line, letters in upper case.
struct Command {
    enum class Op { kNone, kAssign, kQuery };
    char prefix = 0;  // '&' for the ampersand commands
    char letter = 0;
    bool hasNumber = false;
    unsigned number = 0;  // the argument, or the register of S
    Op op = Op::kNone;    // S only: "Sn=v" or "Sn?"
    unsigned value = 0;   // S only: v
    std::string dial;     // D only: the digits, '*' and '#' dialled
};

// Reads the commands of a line after its "AT", one at a time. Blanks are ignored; D takes the
// rest of the line.
class CommandReader {
  public:
    enum class Status { kCommand, kEnd, kError };
    explicit CommandReader(std::string_view text) : text_(text) {}
    Status Next(Command& command);

  private:
    enum class Number { kNone, kRead, kTooBig };
    Number ReadNumber(unsigned* number);
    void SkipBlanks();
    std::string_view text_;
    size_t at_ = 0;
};

}  // namespace sim::hayes
