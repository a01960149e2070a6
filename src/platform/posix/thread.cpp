// The driver's one thread, on POSIX threads.
#include <limits.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/platform.h"

namespace platform {
namespace {

struct Running {
    std::mutex lock;
    std::condition_variable ended;
    unsigned count = 0;  // threads started and not yet ended
};

// Never destroyed: a thread may still be signalling its end while the process runs its exit
// handlers, and must not find the condition variable gone. Static storage, no heap.
Running& Threads() {
    alignas(Running) static unsigned char storage[sizeof(Running)];
    static Running* running = new (storage) Running;
    return *running;
}

void* Trampoline(void* body) {
    reinterpret_cast<void (*)()>(body)();
    // Past this point the thread touches nothing of ours: it only leaves the C library.
    Running& threads = Threads();
    std::lock_guard<std::mutex> guard(threads.lock);
    --threads.count;
    threads.ended.notify_all();
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
    Running& threads = Threads();
    std::unique_lock<std::mutex> guard(threads.lock);
    pthread_t thread;
    started = started &&
              pthread_create(&thread, &attributes, Trampoline, reinterpret_cast<void*>(body)) == 0;
    if (started) ++threads.count;
    guard.unlock();
    pthread_attr_destroy(&attributes);
    return started;
}

bool WaitThreadsEnded(uint32_t realMs) {
    Running& threads = Threads();
    std::unique_lock<std::mutex> guard(threads.lock);
    return threads.ended.wait_for(guard, std::chrono::milliseconds(realMs),
                                  [&threads] { return threads.count == 0; });
}

}  // namespace platform
