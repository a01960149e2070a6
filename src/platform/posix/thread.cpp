// The driver's one thread, on POSIX threads.
#include <limits.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

namespace platform {
namespace {

std::mutex g_lock;
std::condition_variable g_ended;
unsigned g_running = 0;  // threads started and not yet ended

void* Trampoline(void* body) {
    reinterpret_cast<void (*)()>(body)();
    // Past this point the thread touches nothing of ours: it only leaves the C library.
    std::lock_guard<std::mutex> guard(g_lock);
    --g_running;
    g_ended.notify_all();
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
    std::unique_lock<std::mutex> guard(g_lock);
    pthread_t thread;
    started = started &&
              pthread_create(&thread, &attributes, Trampoline, reinterpret_cast<void*>(body)) == 0;
    if (started) ++g_running;
    guard.unlock();
    pthread_attr_destroy(&attributes);
    return started;
}

bool WaitThreadsEnded(uint32_t realMs) {
    std::unique_lock<std::mutex> guard(g_lock);
    return g_ended.wait_for(guard, std::chrono::milliseconds(realMs),
                            [] { return g_running == 0; });
}

}  // namespace platform
