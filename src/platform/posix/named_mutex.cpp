// Named mutexes on POSIX: a robust, process-shared, recursive pthread mutex in a shared-memory
// object named after the mutex, so that every process that loads the driver uses the same one.
//
// Creation race: two processes may start together. Each opens (or creates) the object and then
// holds an exclusive flock on it while it checks the magic word and initialises the mutex if the
// word is missing. A creator that dies half-way leaves no magic and drops its flock, so the next
// opener initialises it. The magic word is written last.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/mutex_names.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr uint32_t kMagic = 0x4B4F5256;  // "KORV"
constexpr std::size_t kMaxMutexes = 64;  // 33 for one driver, the rest for tests
constexpr std::size_t kNameSize = 128;

struct Shared {
    std::atomic<uint32_t> magic;
    pthread_mutex_t mutex;
};

}  // namespace

struct NamedMutex {
    Shared* shared = nullptr;
    char name[kNameSize] = {};
};

namespace {

NamedMutex g_mutexes[kMaxMutexes];
std::size_t g_used = 0;
std::mutex g_tableLock;

int InitialiseMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attributes;
    int rc = pthread_mutexattr_init(&attributes);
    if (rc != 0) return rc;
    rc = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (rc == 0) rc = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (rc == 0) rc = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0) rc = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return rc;
}

// Maps the object and makes sure it holds an initialised mutex; returns 0 or an errno value.
int MapAndInitialise(int fd, Shared** out) {
    if (flock(fd, LOCK_EX) != 0) return errno;
    int rc = 0;
    struct stat info {};
    if (fstat(fd, &info) != 0) rc = errno;
    if (rc == 0 && static_cast<std::size_t>(info.st_size) < sizeof(Shared) &&
        ftruncate(fd, sizeof(Shared)) != 0)
        rc = errno;
    void* memory = MAP_FAILED;
    if (rc == 0) {
        memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED) rc = errno;
    }
    if (rc == 0) {
        auto* shared = static_cast<Shared*>(memory);
        if (shared->magic.load(std::memory_order_acquire) != kMagic) {
            rc = InitialiseMutex(&shared->mutex);
            if (rc == 0) shared->magic.store(kMagic, std::memory_order_release);
        }
        if (rc == 0)
            *out = shared;
        else
            munmap(memory, sizeof(Shared));
    }
    flock(fd, LOCK_UN);
    return rc;
}

#if defined(__SANITIZE_THREAD__)
constexpr clockid_t kWaitClock = CLOCK_REALTIME;
#else
constexpr clockid_t kWaitClock = CLOCK_MONOTONIC;
#endif

// Waits on the monotonic clock, so that a wall-clock jump changes no time-out. The thread
// sanitizer of our compiler does not know pthread_mutex_clocklock and would miss every lock, so
// sanitizer builds wait with the realtime clock instead.
int TimedLock(pthread_mutex_t* mutex, uint64_t spanNs) {
    timespec deadline{};
    clock_gettime(kWaitClock, &deadline);
    uint64_t ns = static_cast<uint64_t>(deadline.tv_nsec) + spanNs;
    deadline.tv_sec += static_cast<time_t>(ns / 1000000000u);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000u);
#if defined(__SANITIZE_THREAD__)
    return pthread_mutex_timedlock(mutex, &deadline);
#else
    return pthread_mutex_clocklock(mutex, kWaitClock, &deadline);
#endif
}

}  // namespace

NamedMutex* MutexOpen(const char* name, uint32_t* error) {
    std::lock_guard<std::mutex> guard(g_tableLock);
    char objectName[kNameSize];
    if (!MutexObjectName("/", name, objectName, sizeof objectName)) {
        *error = ENAMETOOLONG;
        return nullptr;
    }
    // Opening the same name twice in one process gives the same mutex, as it would elsewhere.
    for (std::size_t i = 0; i < g_used; ++i)
        if (std::strcmp(g_mutexes[i].name, objectName) == 0) return &g_mutexes[i];
    if (g_used == kMaxMutexes) {
        *error = EMFILE;
        return nullptr;
    }
    int fd = shm_open(objectName, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = static_cast<uint32_t>(errno);
        return nullptr;
    }
    Shared* shared = nullptr;
    int rc = MapAndInitialise(fd, &shared);
    close(fd);  // the mapping stays valid
    if (rc != 0) {
        *error = static_cast<uint32_t>(rc);
        return nullptr;
    }
    NamedMutex& slot = g_mutexes[g_used++];
    slot.shared = shared;
    std::memcpy(slot.name, objectName, sizeof objectName);
    return &slot;
}

uint32_t MutexWait(NamedMutex* mutex, uint32_t timeoutMs, uint32_t* error) {
    if (mutex == nullptr || mutex->shared == nullptr) {
        *error = EINVAL;
        return kWaitFailed;
    }
    int rc = TimedLock(&mutex->shared->mutex, ScaledNs(timeoutMs));
    switch (rc) {
        case 0:
            return kWaitObject0;
        case EOWNERDEAD:
            // Must be made consistent at once, or the mutex is lost to every process for good.
            pthread_mutex_consistent(&mutex->shared->mutex);
            return kWaitAbandoned;
        case ETIMEDOUT:
            return kWaitTimeout;
        default:
            *error = static_cast<uint32_t>(rc);
            return kWaitFailed;
    }
}

bool MutexRelease(NamedMutex* mutex, uint32_t* error) {
    if (mutex == nullptr || mutex->shared == nullptr) {
        *error = EINVAL;
        return false;
    }
    int rc = pthread_mutex_unlock(&mutex->shared->mutex);
    if (rc != 0) {
        *error = static_cast<uint32_t>(rc);
        return false;
    }
    return true;
}

void MutexUnlinkAll() {
    std::lock_guard<std::mutex> guard(g_tableLock);
    for (std::size_t i = 0; i < g_used; ++i)
        shm_unlink(g_mutexes[i].name);
}

}  // namespace platform
