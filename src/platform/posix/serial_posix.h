// The local serial backend and the device map, as the rest of the POSIX platform (and its tests)
// see them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace platform {

// Opens a tty by path for exclusive use: UUCP lock file, open, flock and TIOCEXCL. The device
// starts in raw mode with the line settings it had. nullptr when any step fails.
SerialDevice* OpenTtyDevice(const char* path);

// The termios frame bits (CSIZE, PARENB, PARODD, CMSPAR, CSTOPB) for a settings record; false
// when no line can be set up that way.
bool FrameFlags(const Dcb& dcb, uint32_t* cflag);

// The directory that holds the UUCP lock files: KORVA_LOCK_DIR, or /var/lock.
const char* LockDirectory();

enum class MappedKind { None, Tty, Network };
// Where the device map sends a driver device name: a tty path, or the map entry that names a
// network serial port. `path` receives the path in both cases.
MappedKind MapDeviceName(const char* name, char* path, std::size_t size);

}  // namespace platform
