// The initialisation file reader on whole files: the input is written as KORVA03.INT into a
// private directory and read there, as cold start reads it, from the load-time state.
//
// Checks, on the tables the file filled: every text field ends within its size, alarm sequences
// that stay armed fit the reply buffer with their address inside the reply, the station count
// stays below the table's size, VPI numbers and other values stay in their ranges.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "host/state.h"
#include "initfile/initfile.h"

namespace {

// Under TMPDIR when set, else on a memory file system where there is one: rewriting a file on a
// disk costs a discard each time, and the fuzzer rewrites it for every input.
char g_directory[64];
std::string g_file;

void RemoveDirectory() {
    unlink(g_file.c_str());
    rmdir(g_directory);
}

template <size_t N>
bool Terminated(const char (&field)[N]) {
    return std::memchr(field, '\0', N) != nullptr;
}

bool IsDialVpi(uint32_t vpi) {
    return vpi == 0 || (vpi >= 1 && vpi <= 16);
}

void CheckSettings() {
    FUZZ_CHECK(Terminated(Settings.modemReset) && Terminated(Settings.autoAnswer));
    FUZZ_CHECK(Settings.diagnose <= 1 && Settings.alertSound <= 1);
    for (int32_t timeout : {Settings.modemCommandTimeout, Settings.callerIdTimeout})
        FUZZ_CHECK(timeout >= 10 && timeout <= 9999);
    FUZZ_CHECK(Settings.resetPeriod % 60 == 0 || Settings.resetPeriod == 600);
    FUZZ_CHECK(Settings.connectTimeLimit % 60 == 0);
}

void CheckPorts() {
    for (const PortEntry& port : Ports) {
        FUZZ_CHECK(Terminated(port.deviceName));
        const uint32_t flags = port.flags;
        FUZZ_CHECK((flags & ~(kDEF | kINP | kOUT)) == 0);
        if ((flags & kDEF) == 0) {
            FUZZ_CHECK(flags == 0 && port.deviceName[0] == '\0' && port.dedicatedVpi == 0);
            continue;
        }
        FUZZ_CHECK((flags & (kINP | kOUT)) != 0 && port.deviceName[0] != '\0');
        FUZZ_CHECK(port.parity <= platform::kSpaceParity && port.stopBits <= 2);
        FUZZ_CHECK(IsDialVpi(port.dedicatedVpi));
    }
}

void CheckDialEntries() {
    for (unsigned i = 0; i < kDialCount; ++i) {
        const DialEntry& entry = DialEntries[i];
        FUZZ_CHECK(Terminated(entry.dial) && Terminated(DialResetCommands[i]));
        FUZZ_CHECK(IsDialVpi(entry.vpi));
        if (entry.defined) FUZZ_CHECK(entry.timeout != 0);
    }
}

void CheckAlarmSequences() {
    for (const AlarmSequence& sequence : AlarmSequences) {
        FUZZ_CHECK(Terminated(sequence.initials) && std::strlen(sequence.initials) <= 5);
        if (sequence.requestLength == 0) continue;
        FUZZ_CHECK(sequence.initials[0] != '\0');
        FUZZ_CHECK(sequence.requestLength <= sizeof sequence.request);
        FUZZ_CHECK(sequence.replyLength <= 256);
        FUZZ_CHECK(sequence.addressOffset < sequence.replyLength);
        const char kind = sequence.addressKind;
        FUZZ_CHECK(kind == 'B' || kind == 'D' || kind == 'S' || kind == 'W');
        if (kind == 'S' || kind == 'W')
            FUZZ_CHECK(sequence.addressOffset + 1 < sequence.replyLength);
    }
}

void CheckStations() {
    FUZZ_CHECK(StationCount <= 255);
    for (unsigned i = 0; i < kStationCount; ++i) {
        const StationEntry& station = Stations[i];
        FUZZ_CHECK(Terminated(station.initials));
        if (i >= StationCount) {
            FUZZ_CHECK(station.initials[0] == '\0' && station.vpi == 0 && station.address == 0);
            continue;
        }
        FUZZ_CHECK(std::strlen(station.initials) <= 5);
        FUZZ_CHECK(station.vpi >= 2 && station.address <= 255);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSetUp();
    const char* tmpdir = std::getenv("TMPDIR");
    for (const char* base : {tmpdir, "/dev/shm", "/tmp"}) {
        if (base == nullptr) continue;
        std::snprintf(g_directory, sizeof g_directory, "%s/korva-fuzz-initfile-XXXXXX", base);
        if (mkdtemp(g_directory) != nullptr) break;
        g_directory[0] = '\0';
    }
    FUZZ_CHECK(g_directory[0] != '\0');
    g_file = std::string(g_directory) + "/KORVA03.INT";
    std::atexit(RemoveDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(g_file.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    std::fclose(file);

    FreshDriverState();
    KorvaRequest request{};
    request.vpi = 3;
    // The reader looks in the current directory; libFuzzer's own paths are relative to the one
    // it started in, so the directory is changed only around the read.
    const int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(home >= 0 && chdir(g_directory) == 0);
    ReadInitFile(&request);
    FUZZ_CHECK(fchdir(home) == 0);
    close(home);

    CheckSettings();
    CheckPorts();
    CheckDialEntries();
    CheckAlarmSequences();
    CheckStations();
    return 0;
}
