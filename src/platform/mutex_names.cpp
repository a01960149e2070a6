#include "platform/mutex_names.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"

namespace platform {
namespace {

std::mutex g_lock;
char g_namespace[64] = {};
bool g_namespaceRead = false;

}  // namespace

void SetMutexNamespace(const char* prefix) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_namespaceRead = true;
    std::snprintf(g_namespace, sizeof g_namespace, "%s", prefix ? prefix : "");
}

bool MutexObjectName(const char* leading, const char* name, char* out, std::size_t size) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_namespaceRead) {
        g_namespaceRead = true;
        // NOLINTNEXTLINE(concurrency-mt-unsafe): the driver never changes its environment.
        if (const char* prefix = std::getenv("KORVA_MUTEX_NAMESPACE"))
            std::snprintf(g_namespace, sizeof g_namespace, "%s", prefix);
    }
    const int length = std::snprintf(out, size, "%s%s%s", leading, g_namespace, name);
    return length >= 0 && static_cast<std::size_t>(length) < size;
}

}  // namespace platform
