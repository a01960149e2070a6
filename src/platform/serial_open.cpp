// Choosing the backend that serves a driver device name.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {
namespace {

struct Opener {
    SerialOpener open;
    void* context;
};
std::atomic<Opener*> g_opener{nullptr};
Opener g_slots[2];
std::atomic<int> g_next{0};

}  // namespace

void SetSerialOpener(SerialOpener opener, void* context) {
    if (opener == nullptr) {
        g_opener.store(nullptr);
        return;
    }
    // Two slots, used in turn, so a reader never sees a half-written opener.
    Opener& slot = g_slots[g_next.fetch_add(1) & 1];
    slot = Opener{opener, context};
    g_opener.store(&slot);
}

unsigned ComNumber(const char* name) {
    if (std::strncmp(name, "//./", 4) == 0) name += 4;
    if (std::strncmp(name, "COM", 3) != 0) return 0;
    char* end = nullptr;
    unsigned long number = std::strtoul(name + 3, &end, 10);
    if (end == name + 3 || *end != '\0' || number == 0 || number > 255) return 0;
    return static_cast<unsigned>(number);
}

SerialDevice* OpenMappedDevice(const char* name);  // the device map (posix/device_map.cpp)

SerialDevice* SerialOpen(const char* name) {
    if (Opener* opener = g_opener.load()) {
        bool served = false;
        SerialDevice* device = opener->open(name, &served, opener->context);
        // The device does not point into `served`; cppcheck takes the address given to the
        // call for the origin of its result.
        // cppcheck-suppress returnDanglingLifetime
        if (served) return device;
    }
    return OpenMappedDevice(name);
}

}  // namespace platform
