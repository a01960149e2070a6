// Finding the initialisation file and reading it line by line: every line is tested against
// the recognition steps in their fixed order, and the first step that fits handles it.
#include "initfile/initfile.h"

#include <cstdio>
#include <cstring>

#include "host/state.h"
#include "initfile/pattern.h"
#include "initfile/statements.h"
#include "korva/zunpro.h"

namespace {

constexpr unsigned kFileNameSize = 64;
constexpr unsigned kLineSize = 256;  // one read takes at most 255 characters

// One recognition step: the line fits when a pattern reads between `fewest` and `most` values
// (a pattern without values must fit in full) and `also`, where given, holds.
struct Step {
    const char* pattern;
    const char* alternative;  // tried when `pattern` does not fit; may be null
    unsigned fewest;
    unsigned most;
    bool (*also)(const char* line);
    StatementHandler handle;
};

// PORTS: an "=" somewhere after the key and "NUL" anywhere.
bool AssignsNul(const char* line) {
    return std::strchr(line + 5, '=') != nullptr && std::strstr(line, "NUL") != nullptr;
}

// Steps 1 and 2 see the line as written.
constexpr Step kStepsAsWritten[] = {
    {"MODEM_COMMAND_TIMEOUT= %u", nullptr, 1, 1, nullptr, OnModemCommandTimeout},
    {"AA_GETPLCADDR_TIMEOUT= %u", nullptr, 1, 1, nullptr, OnCallerIdTimeout},
};

// Steps 3 to 19 see it in upper case.
constexpr Step kStepsUpperCase[] = {
    {"PORTS", nullptr, 0, 0, AssignsNul, OnPortsNul},
    {"IGNORE_DSR", nullptr, 0, 0, nullptr, OnIgnoreDsr},
    {"IGNORE_CTS", nullptr, 0, 0, nullptr, OnIgnoreCts},
    {"IGNORE_CALLER_ID", nullptr, 0, 0, nullptr, OnIgnoreCallerId},
    {"COM %u = %s %u , %c , %u , %u %u", nullptr, 6, 7, nullptr, OnCom},
    {"DIAL %u = %s %u %u", nullptr, 3, 4, nullptr, OnDial},
    {"ALARMSEQ %u = %s", nullptr, 2, 2, nullptr, OnAlarmSeq},
    {"ALARMREQ= %s %s %u %c %u", "ALARMREQ = %s %s %u %c %u", 5, 5, nullptr, OnAlarmReq},
    {"STATION= %s %u %u", "STATION = %s %u %u", 3, 3, nullptr, OnStation},
    {"MODEM_RESET= %s", "MODEM_RESET = %s", 1, 1, nullptr, OnModemReset},
    {"MODEM_RESET %u = %s", nullptr, 2, 2, nullptr, OnDialModemReset},
    {"MODEM_AUTO_ANSWER= %s", "MODEM_AUTO_ANSWER = %s", 1, 1, nullptr, OnModemAutoAnswer},
    {"MODEM_RESET_MIN= %u", "MODEM_RESET_MIN = %u", 1, 1, nullptr, OnModemResetMin},
    {"RING_DETECT_RESERVED_SEC= %u", "RING_DETECT_RESERVED_SEC = %u", 1, 1, nullptr,
     OnRingDetectReservedSec},
    {"CONNECT_TIME_LIMIT_MIN = %u", nullptr, 1, 1, nullptr, OnConnectTimeLimitMin},
    {"DIAGNOSE= %c", "DIAGNOSE = %c", 1, 1, nullptr, OnDiagnose},
    {"ALERT_SOUND= %c", "ALERT_SOUND = %c", 1, 1, nullptr, OnAlertSound},
};

bool Fits(const Step& step, const PatternMatch& match) {
    const bool counted = match.count >= step.fewest && match.count <= step.most;
    return counted && (step.most > 0 || match.complete);
}

bool Recognise(const InitLine& line, const Step& step) {
    PatternMatch match = MatchPattern(line.text, step.pattern);
    if (!Fits(step, match) && step.alternative != nullptr)
        match = MatchPattern(line.text, step.alternative);
    if (!Fits(step, match)) return false;
    if (step.also != nullptr && !step.also(line.text)) return false;
    step.handle(line, match);
    return true;
}

template <std::size_t N>
bool RecogniseByFirstStep(const InitLine& line, const Step (&steps)[N]) {
    for (const Step& step : steps)
        if (Recognise(line, step)) return true;
    return false;
}

bool IsComment(const char* text) {
    return std::strncmp(text, "//", 2) == 0 || MatchPattern(text, " // %c").count == 1;
}

void UpperCase(char* text) {
    for (; *text != '\0'; ++text)
        if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
}

// Step 20: a line of blanks up to its line feed is empty; anything else is illegal.
void EmptyOrIllegal(const InitLine& line) {
    const char* p = line.text;
    while (*p == ' ')
        ++p;
    if (*p == '\n') return;
    err(kLog, "KORVA> ReadIntFile() illegal line %u ('%s')in '%s'", line.number, line.text,
        line.fileName);
    SoundTick();
}

void HandleLine(char* text, const InitLine& line) {
    if (IsComment(text)) return;
    if (RecogniseByFirstStep(line, kStepsAsWritten)) return;
    UpperCase(text);
    if (RecogniseByFirstStep(line, kStepsUpperCase)) return;
    EmptyOrIllegal(line);
}

// Reads the next line, or the next piece of at most kLineSize - 1 characters of a longer one,
// with its line feed if it fits. A carriage return just before a line feed belongs to the line
// end, as a text-mode read gives it: it is dropped and does not count towards the piece. A lone
// carriage return stays in the line. The text of a piece ends at its first NUL byte, as with
// fgets: what follows a NUL in that piece is never looked at or quoted. False at the end.
bool ReadLinePiece(std::FILE* file, char (&text)[kLineSize]) {
    unsigned length = 0;
    while (length < kLineSize - 1) {
        int c = std::getc(file);
        if (c == EOF) break;
        if (c == '\r') {
            const int next = std::getc(file);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                std::ungetc(next, file);
        }
        text[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    text[length] = '\0';
    return length > 0;
}

}  // namespace

// Binary mode: the reader handles CR LF itself; a text-mode stream on Windows would already have
// taken the CR away (and stopped at a Ctrl-Z), so the same file would read differently there.
std::FILE* OpenInitFile(const char* base, char* name, uint32_t vpi) {
    std::snprintf(name, kFileNameSize, "%s%02u.INT", base, vpi);
    if (std::FILE* file = std::fopen(name, "rb")) return file;
    // For VPI numbers from 10 on this is the first name again, simply tried once more.
    std::snprintf(name, kFileNameSize, "%s%01u.INT", base, vpi);
    if (std::FILE* file = std::fopen(name, "rb")) return file;
    std::snprintf(name, kFileNameSize, "%s.INT", base);
    return std::fopen(name, "rb");
}

void ReadInitFile(const KorvaRequest* request) {
    char fileName[kFileNameSize];
    std::FILE* file = OpenInitFile("KORVA", fileName, request->vpi);
    if (file == nullptr) {
        err(kLog, "KORVA> ColdStart() Warning, no initfile found");
        SoundAlert();
        return;
    }
    char text[kLineSize];
    uint16_t lineCounter = 0;
    while (ReadLinePiece(file, text)) {
        ++lineCounter;
        HandleLine(text, InitLine{text, lineCounter, fileName});
    }
    std::fclose(file);
}
