// What the benchmark programs share: pseudo-terminal lines, a scratch directory for the device
// map, lock files and the initialisation file, driver set-ups, clocks and sample statistics.
//
// None of this is the driver: it plays the host, the client drivers and the far end of the line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/state.h"
#include "korva/vpi.h"

namespace bench {

// ---------------------------------------------------------------------------------------------
// Clocks.

uint64_t NowNs();             // CLOCK_MONOTONIC
uint64_t ProcessCpuNs();      // CLOCK_PROCESS_CPUTIME_ID: every thread of the process
uint64_t ThreadCpuNs();       // CLOCK_THREAD_CPUTIME_ID: the calling thread
void SleepNs(uint64_t span);  // whole span, restarted after signals

// ---------------------------------------------------------------------------------------------
// Statistics of a set of samples (sorted in place).

double Percentile(std::vector<double>& samples, double fraction);
inline double Median(std::vector<double>& samples) {
    return Percentile(samples, 0.5);
}

// ---------------------------------------------------------------------------------------------
// A scratch directory: map/ (KORVA_DEVICE_DIR), lock/ (KORVA_LOCK_DIR) and the working directory
// for the initialisation file; the environment points at it for as long as the object lives.

class Scratch {
  public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // COMn in the device map becomes a link to `target`.
    void Link(unsigned com, const std::string& target) const;
    // Writes KORVA<vpi>.INT and makes the scratch directory the working directory, where cold
    // start looks for it; the previous working directory comes back with the destructor.
    void WriteInitFile(uint32_t vpi, const std::string& text);

  private:
    std::string root_;
    std::string previousDir_;
};

// ---------------------------------------------------------------------------------------------
// A pseudo-terminal: the master is the far end (the modem's side); the slave is the serial
// port, reached by the driver through the device map or opened raw for a baseline.

class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    // The slave opened as the tty backend opens it (non-blocking, raw, CLOCAL, HUPCL): the
    // baseline's own line.
    int OpenSlaveRaw() const;

  private:
    int master_ = -1;
    std::string slavePath_;
};

// Raw I/O on a non-blocking descriptor, as a program without the driver would write it: all
// `count` bytes, waiting for room with poll; and up to `count` bytes within `timeoutNs`, waiting
// for input with poll. Both return the number of bytes moved.
std::size_t RawWriteAll(int fd, const void* data, std::size_t count);
std::size_t RawReadUpTo(int fd, void* buffer, std::size_t count, uint64_t timeoutNs);
// Reads and throws away what is pending now.
void RawDiscard(int fd);

// ---------------------------------------------------------------------------------------------
// Driver set-ups.

// Per-process mutex names and the host stand-in quiet; call first in main().
void PrepareProcess(const char* program);
// Removes the shared objects behind the mutexes; call last in main().
void FinishProcess();

// The device name the initialisation file gives port `index`: "COM3", "//./COM12".
void PortDeviceName(uint8_t index, char (&name)[12]);
// Fills port `index` as the file reader does for "COM n = <direction> 2400 , N , 8 , 1".
void DefinePort(uint8_t index, uint32_t directionFlags);
// A connection without modems: port `index` is defined, opened (MMOpenCom) and registered as
// the dial-out would leave it (AddConnection, CON, reference), and the driver is marked ready.
// InitTables must have run. false when the port does not open or the table is full.
bool ConnectWithoutModem(uint8_t index, uint16_t* reference);
// Closes every open port (the driver's own close).
void CloseAllPorts();

// Cold start through VpiMain, as the host makes it: VPI 1 with the service flag set.
int32_t ColdStartDriver();
// Asks the supervision task to end and waits for the stop flag (false after `timeoutMs`).
bool StopDriver(unsigned timeoutMs);

}  // namespace bench
