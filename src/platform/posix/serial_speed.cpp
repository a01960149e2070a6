// Line speeds in bits per second through the kernel's termios2, so that any rate the device
// accepts can be set, not only the fixed B* constants. Kept apart from <termios.h>, whose
// struct termios clashes with the kernel's.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace platform {

bool SetTtySpeed(int fd, uint32_t rate) {
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0) return false;
    // The same rate for both directions.
    line.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
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
