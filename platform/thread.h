// Stands in for Windows threads (CreateThread, GetExitCodeThread, waiting on a
// thread handle) and Sleep. A thread is never killed: it is asked to stop by
// its owner (a flag and an event) and joined. Destroying a thread object joins.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "wait.h"

namespace plat {

inline constexpr uint32_t still_active = 259; // STILL_ACTIVE, the exit code of a running thread
// The exit code of a routine that ended by throwing. No exception leaves a
// thread body (that would end the whole process through std::terminate), and
// its waiters are still released.
inline constexpr uint32_t thread_aborted = 0xFFFFFFFFu;

class thread {
  public:
    // Starts routine at once; nullptr when the thread cannot be created.
    static std::unique_ptr<thread> start(std::function<uint32_t()> routine);
    ~thread();
    thread(const thread&) = delete;
    thread& operator=(const thread&) = delete;

    // GetExitCodeThread: still_active while the routine runs, then its result.
    uint32_t exit_code() const;
    // Waits up to milliseconds for the routine to end; true when it has ended
    // (the thread is then joined).
    bool join(uint32_t milliseconds);

  private:
    thread() = default;
    struct shared;
    std::shared_ptr<shared> shared_;
    std::thread thread_;
};

// Sleep: 0 yields the processor.
void sleep_ms(uint32_t milliseconds);

} // namespace plat
