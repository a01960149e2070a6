// The driver's one thread, on POSIX threads.
#include <limits.h>
#include <pthread.h>

#include "platform/platform.h"

namespace platform {
namespace {

void* Trampoline(void* body) {
    reinterpret_cast<void (*)()>(body)();
    return nullptr;
}

}  // namespace

bool StartThread(void (*body)(), std::size_t stackBytes) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    const auto minimum = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    if (stackBytes < minimum) stackBytes = minimum;
    bool started = pthread_attr_setstacksize(&attributes, stackBytes) == 0 &&
                   pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0;
    pthread_t thread;
    started = started &&
              pthread_create(&thread, &attributes, Trampoline, reinterpret_cast<void*>(body)) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace platform
