// The error numbers the platform reports for the mutex failures that tests provoke: errno values
// on POSIX, GetLastError values on Windows.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
// A release by a thread that does not hold the mutex.
constexpr uint32_t kErrorNotOwner = ERROR_NOT_OWNER;
// A wait or release on a mutex that was never created.
constexpr uint32_t kErrorNoMutex = ERROR_INVALID_HANDLE;
#else
#include <cerrno>
constexpr uint32_t kErrorNotOwner = EPERM;
constexpr uint32_t kErrorNoMutex = EINVAL;
#endif
