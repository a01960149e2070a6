// The host services for the fuzz targets: a quiet log that still formats every message, so that a
// bad argument (an unterminated text, a wrong conversion) shows under the address checks, and
// client and gate services that answer like an idle host. KORVA_FUZZ_LOG=1 prints the lines.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korva/zunpro.h"

void err(int level, const char* format, ...) {
    static const bool echo = std::getenv("KORVA_FUZZ_LOG") != nullptr;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (echo) std::fprintf(stderr, "[%d] %s\n", level, text);
}

int32_t ZunMkClient(const char*, int32_t, int32_t, uint8_t* client) {
    *client = 7;
    return 0;
}

int32_t ZunWaitMsg(uint8_t, void* message, int32_t) {
    std::memset(message, 0, 24);
    return 0;  // the host wants the client to end
}

int32_t ZunRmClient(uint8_t) {
    return 0;
}

int32_t ZunGetGateIdByAddressStr(uint8_t, uint8_t, const char*, uint32_t*) {
    return 1;  // no such gate
}

int32_t ZunPutGateVal(uint8_t, uint32_t, int32_t, double, int32_t, int32_t) {
    return 0;
}
