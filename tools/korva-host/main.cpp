// korva-host: a stand-in for the SCADA host. It loads libkorva.so as the host would, asks it for
// its banner and cold-starts it from the initialisation file in the working directory.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "korva/vpi.h"
#include "zunpro_host.h"

namespace {

using VpiMainFunction = int32_t (*)(KorvaRequest*);

void Usage() {
    std::fprintf(stderr,
                 "usage: korva-host [--lib PATH] [--vpi N] [--dir DIR]\n"
                 "  --lib PATH  libkorva.so to load (default: beside this program)\n"
                 "  --vpi N     the driver's VPI number (default 3)\n"
                 "  --dir DIR   working directory, where KORVA<N>.INT lies\n");
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
            case 0xC9: out += "\u2554"; break;
            case 0xBB: out += "\u2557"; break;
            case 0xC8: out += "\u255A"; break;
            case 0xBC: out += "\u255D"; break;
            case 0xCD: out += "\u2550"; break;
            case 0xBA: out += "\u2551"; break;
            case '\b': break;
            default: out += static_cast<char>(*p);
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    ZunHostEchoLog(1);
    std::string library = BesideProgram("libkorva.so");
    unsigned vpi = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lib") == 0 && i + 1 < argc) {
            library = argv[++i];
        } else if (std::strcmp(argv[i], "--vpi") == 0 && i + 1 < argc) {
            vpi = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            if (chdir(argv[++i]) != 0) {
                std::perror("korva-host: --dir");
                return 2;
            }
        } else {
            Usage();
            return 2;
        }
    }

    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "korva-host: %s\n", dlerror());
        return 1;
    }
    auto vpiMain = reinterpret_cast<VpiMainFunction>(dlsym(handle, "VpiMain"));
    if (vpiMain == nullptr) {
        std::fprintf(stderr, "korva-host: %s has no VpiMain\n", library.c_str());
        return 1;
    }

    KorvaVpiInfo info{};
    KorvaRequest request{};
    request.function = KORVA_FN_GET_VPI_INFO;
    request.vpi = vpi;
    request.block = &info;
    vpiMain(&request);
    std::printf("%s\n", Cp437ToUtf8(info.banner).c_str());

    KorvaColdStart coldStart{};
    coldStart.service = 1;
    request.function = KORVA_FN_COLD_START;
    request.block = &coldStart;
    int32_t rc = vpiMain(&request);
    std::printf("korva-host: ColdStart returned %d\n", rc);
    return 0;
}
