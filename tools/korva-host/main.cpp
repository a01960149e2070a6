// korva-host: a stand-in for the SCADA host. It loads libkorva.so as the host would,
// cold-starts it from the initialisation file in its working directory, defines the answer-call
// gates, and then plays the host and a client driver on commands from standard input.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console.h"
#include "driver.h"
#include "zunpro_host.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: korva-host [--lib PATH] [--vpi N] [--dir DIR] [--gates FILE] "
                 "[--no-service]\n"
                 "  --lib PATH    libkorva.so to load (default: beside this program)\n"
                 "  --vpi N       the driver's VPI number (default 3): it reads KORVA<N>.INT\n"
                 "  --dir DIR     working directory, where the initialisation file lies\n"
                 "  --gates FILE  answer-call gates to define, one address ($A03-017) a line\n"
                 "  --no-service  cold start without opening ports or starting supervision\n"
                 "Commands are read from standard input; type help.\n");
}

std::string BesideProgram(const char* file) {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return file;
    self[length] = '\0';
    std::string path(self);
    return path.substr(0, path.rfind('/') + 1) + file;
}

// The banner is drawn in code page 437; terminals today speak UTF-8.
std::string Cp437ToUtf8(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        switch (*p) {
            case 0xC9:
                out += "\u2554";
                break;
            case 0xBB:
                out += "\u2557";
                break;
            case 0xC8:
                out += "\u255A";
                break;
            case 0xBC:
                out += "\u255D";
                break;
            case 0xCD:
                out += "\u2550";
                break;
            case 0xBA:
                out += "\u2551";
                break;
            case '\b':
                break;
            default:
                out += static_cast<char>(*p);
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    ZunHostEchoLog(1);
    std::string library = BesideProgram("libkorva.so");
    std::string gateFile;
    bool service = true;
    const char* directory = nullptr;
    Driver driver;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--lib") == 0 && hasValue) {
            library = argv[++i];
        } else if (std::strcmp(argv[i], "--vpi") == 0 && hasValue) {
            driver.vpi = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--dir") == 0 && hasValue) {
            directory = argv[++i];
        } else if (std::strcmp(argv[i], "--gates") == 0 && hasValue) {
            // Taken relative to where the program was started, also with --dir.
            char resolved[PATH_MAX];
            gateFile = realpath(argv[++i], resolved) != nullptr ? resolved : argv[i];
        } else if (std::strcmp(argv[i], "--no-service") == 0) {
            service = false;
        } else {
            Usage();
            return 2;
        }
    }

    if (directory != nullptr && chdir(directory) != 0) {
        std::perror("korva-host: --dir");
        return 2;
    }
    std::string error;
    if (!driver.Load(library, error)) {
        std::fprintf(stderr, "korva-host: %s\n", error.c_str());
        return 1;
    }
    KorvaVpiInfo info{};
    driver.Call(KORVA_FN_GET_VPI_INFO, &info);
    std::printf("%s\n", Cp437ToUtf8(info.banner).c_str());
    std::fflush(stdout);  // ahead of the cold start's log lines

    Console console(driver);
    if (!console.DefineGates(gateFile)) return 2;

    KorvaColdStart coldStart{};
    coldStart.service = service ? 1 : 0;
    const int32_t started = driver.Call(KORVA_FN_COLD_START, &coldStart);
    std::printf("cold start: result %d\n", started);
    std::fflush(stdout);
    if (started != 0) return 1;
    return console.Run(isatty(STDIN_FILENO) != 0);
}
