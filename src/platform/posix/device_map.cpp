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
#include "platform/rfc2217/rfc2217.h"

namespace platform {
namespace {

// Reads the first line of a map entry into `url`; true when it names a network serial port.
bool ReadNetworkUrl(const char* path, char (&url)[256]) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, url, sizeof url - 1);
    close(fd);
    url[n > 0 ? n : 0] = '\0';
    url[std::strcspn(url, " \t\r\n")] = '\0';
    return std::strncmp(url, "rfc2217://", 10) == 0;
}

bool HoldsNetworkUrl(const char* path) {
    char url[256];
    return ReadNetworkUrl(path, url);
}

}  // namespace

MappedKind MapDeviceName(const char* name, char* path, std::size_t size) {
    unsigned number = ComNumber(name);
    if (number == 0) return MappedKind::None;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the driver never changes its environment.
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
        case MappedKind::Network: {
            char url[256];
            return ReadNetworkUrl(path, url) ? Rfc2217Open(url) : nullptr;
        }
        case MappedKind::None:
            break;
    }
    return nullptr;
}

}  // namespace platform
