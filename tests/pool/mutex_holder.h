// Helpers that hold a named mutex elsewhere: on another thread until released, or in a child
// process that dies holding it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "support/child_process.h"
#include "support/sanitizer.h"

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

// The child's part of AbandonInChildProcess: opens the mutex `name` afresh, takes it and ends
// without releasing it, as another process loading the driver might.
inline void TakeMutexAndEnd(const char* name, const ChildReport& report) {
    uint32_t error = 0;
    platform::NamedMutex* mutex = platform::MutexOpen(name, &error);
    report.Send(mutex != nullptr &&
                platform::MutexWait(mutex, 60000, &error) == platform::kWaitObject0);
}
inline const ChildActionRegistration kTakeMutexAndEnd("take-mutex-and-end", TakeMutexAndEnd);

// Lets a child process take the mutex `name` and end holding it; true when the child took it
// and has ended.
inline bool AbandonInChildProcess(const char* name) {
    ChildProcess child("take-mutex-and-end", name);
    const bool taken = child.Reported();
    return child.Wait() && taken;
}
