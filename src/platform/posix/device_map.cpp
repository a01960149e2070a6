// The device map: which device serves "COMn".
//
// By default COMn is /dev/ttyS<n-1>. A map directory, named by KORVA_DEVICE_DIR, may hold an
// entry COMn: a symbolic link to any tty (for example one under /dev/serial/by-id/) or a tty
// node itself, which is opened as a local port; or a regular file whose first line is an
// "rfc2217://host:port" URL, which names a serial port on a network device server. A COM number
// without an entry in the directory keeps its default.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/serial_posix.h"

namespace platform {
namespace {

bool HoldsNetworkUrl(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[256] = {};
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    return n > 0 && std::strncmp(text, "rfc2217://", 10) == 0;
}

}  // namespace

MappedKind MapDeviceName(const char* name, char* path, std::size_t size) {
    unsigned number = ComNumber(name);
    if (number == 0) return MappedKind::None;
    const char* dir = std::getenv("KORVA_DEVICE_DIR");
    if (dir != nullptr && dir[0] != '\0') {
        int length = std::snprintf(path, size, "%s/COM%u", dir, number);
        if (length < 0 || static_cast<std::size_t>(length) >= size) return MappedKind::None;
        struct stat entry {};
        if (lstat(path, &entry) == 0) {
            if (S_ISLNK(entry.st_mode) || S_ISCHR(entry.st_mode)) return MappedKind::Tty;
            if (S_ISREG(entry.st_mode) && HoldsNetworkUrl(path)) return MappedKind::Network;
            return MappedKind::None;  // an entry that names no device: the port does not open
        }
        if (errno != ENOENT) return MappedKind::None;
    }
    int length = std::snprintf(path, size, "/dev/ttyS%u", number - 1);
    if (length < 0 || static_cast<std::size_t>(length) >= size) return MappedKind::None;
    return MappedKind::Tty;
}

SerialDevice* OpenMappedDevice(const char* name) {
    char path[PATH_MAX];
    switch (MapDeviceName(name, path, sizeof path)) {
        case MappedKind::Tty:
            return OpenTtyDevice(path);
        case MappedKind::Network:
            // Network serial ports (RFC 2217) are served by their own backend, which is not
            // part of this build yet; until it is, such a port does not open.
            return nullptr;
        case MappedKind::None:
            break;
    }
    return nullptr;
}

}  // namespace platform
