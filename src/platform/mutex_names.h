// The object names behind named mutexes, shared by the backends.
#pragma once

#include <cstddef>

namespace platform {

// Writes `leading` (the system's own prefix: "/" for a POSIX shared-memory object), the
// namespace prefix (KORVA_MUTEX_NAMESPACE, or what SetMutexNamespace set) and `name` into `out`;
// false when the whole name does not fit.
bool MutexObjectName(const char* leading, const char* name, char* out, std::size_t size);

}  // namespace platform
