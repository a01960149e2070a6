// korva-host's command interpreter: one command per line, as typed or from a script.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver.h"

class Console {
  public:
    explicit Console(Driver& driver) : driver_(driver) {}

    // Defines the driver's own status gates and the answer-call gates of `gateFile` (may be
    // empty); false with a message on standard error.
    bool DefineGates(const std::string& gateFile);
    // Runs commands from standard input until end of input, "quit" or "stop". In a script
    // (`interactive` false) a failed expectation ends the run with exit code 1.
    int Run(bool interactive);

  private:
    struct AnswerGate {
        std::string address;
        uint8_t vpi;
        unsigned plc;
        uint32_t id;
        unsigned writes = 0;
        double value = -1;
    };
    struct Connection {
        std::string origin;
    };

    // One command; returns the status it produced (-1 when it has none), or -2 on bad usage.
    int32_t Execute(const std::vector<std::string>& words, const std::string& rest);
    void PrintStatus(bool all);
    void Watch();
    void PollAnswerGates();
    bool WaitFor(double seconds, bool (Console::*done)(const std::vector<std::string>&),
                 const std::vector<std::string>& words);
    bool CallArrived(const std::vector<std::string>& words);
    bool LineLost(const std::vector<std::string>& words);
    bool Stopped(const std::vector<std::string>& words);
    uint32_t Reference(const std::string& word) const;
    int32_t GateCommand(const std::vector<std::string>& words);
    int32_t WriteCommandGate(const std::string& address, uint16_t value);

    Driver& driver_;
    std::vector<AnswerGate> answerGates_;
    std::map<uint32_t, Connection> connections_;  // references the host holds
    uint32_t lastDial_ = 255;
    uint32_t lastCall_ = 255;
    unsigned callsSeen_ = 0;
};

// Reads "hex:0a0b" or text with \r, \n and \xNN escapes into bytes.
std::string ParseBytes(const std::string& text);
// Shows bytes as text, with other bytes as \xNN.
std::string ShowBytes(const std::string& bytes);
// Shows bytes as hexadecimal pairs: "01 03 02".
std::string ShowHex(const std::string& bytes);
