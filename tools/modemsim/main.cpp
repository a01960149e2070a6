// korva-modemsim: a bank of simulated Hayes modems on a simulated telephone exchange, each served
// as a network serial port (RFC 2217 on 127.0.0.1), for trying the driver without hardware.
//
// It reads commands one a line from standard input and, with --control, from a named pipe that
// any program may write to (echo "call 5551002 204" > PIPE). It serves until "quit", a
// termination signal, or the end of standard input when there is no control pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "bank.h"
#include "config.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: korva-modemsim [--map DIR] [--control PIPE] [--trace] CONFIG\n"
                 "  --map DIR       write DIR/COMn (rfc2217://127.0.0.1:PORT) for every modem,\n"
                 "                  for the driver's KORVA_DEVICE_DIR; removed on exit\n"
                 "  --control PIPE  also take commands from this named pipe (created if missing)\n"
                 "  --trace         show what crosses each serial line from the start\n"
                 "Prints \"ready COM1=PORT ...\" once every modem is served; type help for the\n"
                 "commands.\n");
}

std::mutex g_outputMutex;

// One whole line to standard output, at once: the servers' threads trace while commands answer.
void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Lines read from one descriptor; a partial line waits for its end.
struct LineSource {
    int fd = -1;
    std::string pending;

    // Reads what is there and runs each complete line; false when the bank was asked to quit.
    // *ended is set at end of input.
    bool Pump(modemsim::Bank& bank, bool* ended) {
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            *ended = true;
            if (!pending.empty() && !bank.Execute(pending)) return false;
            pending.clear();
            return true;
        }
        if (got < 0) return true;
        pending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!bank.Execute(line)) return false;
        }
        return true;
    }
};

// Opens (creating if needed) the control pipe for reading and writing, so that it never sees an
// end of input when a writer goes; -1 with a message on failure. *created says whether it is
// ours to remove.
int OpenControlPipe(const char* path, bool* created) {
    *created = mkfifo(path, 0600) == 0;
    if (!*created && errno != EEXIST) {
        std::fprintf(stderr, "korva-modemsim: cannot create %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    struct stat info {};
    if (stat(path, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        std::fprintf(stderr, "korva-modemsim: %s exists and is not a named pipe\n", path);
        return -1;
    }
    const int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        std::fprintf(stderr, "korva-modemsim: cannot open %s: %s\n", path, std::strerror(errno));
    return fd;
}

// Serves until quit, a signal or the end of standard input without a control pipe.
void Serve(modemsim::Bank& bank, int controlFd, int signalFd) {
    LineSource input{STDIN_FILENO, {}};
    LineSource control{controlFd, {}};
    bool inputOpen = true;
    for (;;) {
        pollfd fds[3] = {{signalFd, POLLIN, 0},
                         {inputOpen ? STDIN_FILENO : -1, POLLIN, 0},
                         {controlFd, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        bool ended = false;
        if (fds[1].revents != 0) {
            if (!input.Pump(bank, &ended)) return;
            if (ended) {
                inputOpen = false;
                if (controlFd < 0) return;
            }
        }
        if (fds[2].revents != 0 && !control.Pump(bank, &ended)) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* mapDir = nullptr;
    const char* controlPath = nullptr;
    const char* configPath = nullptr;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--map") == 0 && hasValue) {
            mapDir = argv[++i];
        } else if (std::strcmp(argv[i], "--control") == 0 && hasValue) {
            controlPath = argv[++i];
        } else if (std::strcmp(argv[i], "--trace") == 0) {
            trace = true;
        } else if (argv[i][0] != '-' && configPath == nullptr) {
            configPath = argv[i];
        } else {
            Usage();
            return 2;
        }
    }
    if (configPath == nullptr) {
        Usage();
        return 2;
    }

    // The servers' threads inherit this mask, so the signals reach only the descriptor below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

    modemsim::Bank bank(PrintLine);
    bank.SetTrace(trace);
    std::string error;
    if (!modemsim::ReadConfig(configPath, bank, error)) {
        std::fprintf(stderr, "korva-modemsim: %s\n", error.c_str());
        return 2;
    }
    bool pipeCreated = false;
    const int controlFd = controlPath != nullptr ? OpenControlPipe(controlPath, &pipeCreated) : -1;
    int status = 0;
    if (controlPath != nullptr && controlFd < 0) {
        status = 1;
    } else if (!bank.Start(error) || (mapDir != nullptr && !bank.WriteMap(mapDir, error))) {
        std::fprintf(stderr, "korva-modemsim: %s\n", error.c_str());
        status = 1;
    } else {
        PrintLine("ready " + bank.Ports());
        Serve(bank, controlFd, signalFd);
    }
    if (controlFd >= 0) close(controlFd);
    if (pipeCreated) unlink(controlPath);
    bank.RemoveMap();
    return status;
}
