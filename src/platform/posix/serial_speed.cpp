// Line speeds in bits per second through the kernel's termios2, so that any rate the device
// accepts can be set, not only the fixed B* constants. Kept apart from <termios.h>, whose
// struct termios clashes with the kernel's.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace platform {
namespace {

struct StandardRate {
    uint32_t rate;
    unsigned code;
};

// The rates with a code of their own are set by that code, so that programs that read the line
// with the classic calls see the usual value; any other rate goes as BOTHER with its number.
constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

unsigned SpeedCode(uint32_t rate) {
    for (const StandardRate& standard : kStandardRates)
        if (standard.rate == rate) return standard.code;
    return BOTHER;
}

}  // namespace

bool SetTtySpeed(int fd, uint32_t rate) {
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0) return false;
    // The same rate for both directions.
    unsigned code = SpeedCode(rate);
    line.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= code | (code << IBSHIFT);
    line.c_ispeed = rate;
    line.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &line) == 0;
}

bool GetTtySpeed(int fd, uint32_t* rate) {
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0) return false;
    *rate = line.c_ospeed;
    return true;
}

}  // namespace platform
