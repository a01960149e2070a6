// The fixture every driver test starts from: load-time state, a fresh host stand-in and the
// log captured in memory.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/state.h"
#include "platform/platform.h"
#include "zunpro_host.h"

struct LogLine {
    int level;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

inline std::vector<LogLine> CapturedLog() {
    std::vector<LogLine> lines;
    char text[1100];
    for (size_t i = 0; i < ZunHostLogCount(); ++i) {
        int level = ZunHostLogLine(i, text, sizeof text);
        if (level >= 0) lines.push_back(LogLine{level, text});
    }
    return lines;
}

inline std::vector<std::string> CapturedTexts() {
    std::vector<std::string> texts;
    for (const LogLine& line : CapturedLog()) texts.push_back(line.text);
    return texts;
}

inline bool LogContains(const std::string& text) {
    for (const LogLine& line : CapturedLog())
        if (line.text == text) return true;
    return false;
}

inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    return out << "[" << line.level << "] " << line.text;
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetStateForTest();
        ZunHostReset();
        ZunHostCaptureLog(1);
        platform::SetToneObserver(nullptr);
        platform::SetSerialOpener(nullptr, nullptr);
    }
    void TearDown() override {
        platform::SetToneObserver(nullptr);
        platform::SetSerialOpener(nullptr, nullptr);
    }
};
