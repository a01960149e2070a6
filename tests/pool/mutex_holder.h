// Helpers that hold a named mutex elsewhere: on another thread until released, or in a child
// process that dies holding it.
#pragma once

#include "support/sanitizer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/platform.h"

// Takes `mutex` on a thread of its own and keeps it until Release() or destruction.
class MutexHolder {
  public:
    explicit MutexHolder(platform::NamedMutex* mutex) : mutex_(mutex), thread_([this] { Run(); }) {
        std::unique_lock<std::mutex> lock(lock_);
        changed_.wait(lock, [this] { return taken_; });
    }
    ~MutexHolder() { Release(); }
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;

    // The holder's wait result (the mutex is held when it is kWaitObject0 or kWaitAbandoned).
    uint32_t result() const { return result_; }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(lock_);
            release_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

  private:
    void Run() {
        uint32_t error = 0;
        uint32_t result = platform::MutexWait(mutex_, 60000, &error);
        std::unique_lock<std::mutex> lock(lock_);
        result_ = result;
        taken_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return release_; });
        if (result == platform::kWaitObject0 || result == platform::kWaitAbandoned)
            platform::MutexRelease(mutex_, &error);
    }

    platform::NamedMutex* mutex_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool taken_ = false;
    bool release_ = false;
    uint32_t result_ = 0;
    std::thread thread_;  // last: starts once everything above is ready
};

// Forks a child that opens the mutex `name` afresh, takes it and exits without releasing it, as
// another process loading the driver might. true when the child did so. The child reports
// through a pipe, not its exit status, which a sanitizer in the child may change.
inline bool AbandonInChildProcess(const char* name) {
    int report[2];
    if (pipe(report) != 0) return false;
    pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (child == 0) {
        close(report[0]);
        uint32_t error = 0;
        platform::NamedMutex* mutex = platform::MutexOpen(name, &error);
        char taken =
            mutex != nullptr && platform::MutexWait(mutex, 60000, &error) == platform::kWaitObject0
                ? '1'
                : '0';
        ssize_t written = write(report[1], &taken, 1);
        _exit(written == 1 ? 0 : 1);
    }
    close(report[1]);
    char taken = '0';
    bool reported = read(report[0], &taken, 1) == 1;
    close(report[0]);
    int status = 0;
    bool ended = waitpid(child, &status, 0) == child;
    return reported && ended && taken == '1';
}
