// Plain named-mutex and thread records for the PKCS#11 layer: its default
// library lock and its slot-event thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <event.h>
#include <named_mutex.h>
#include <thread.h>

struct os_mutex {
    std::unique_ptr<plat::named_mutex> handle;
    uint8_t opened = 0;
    std::atomic<int32_t> lock_count{0};
};

// Results of os_mutex_open and os_mutex_lock.
inline constexpr int OS_MUTEX_OK = 0;
inline constexpr int OS_MUTEX_NO_HANDLE =
    3; // os_mutex_open: the mutex could not be created or opened
inline constexpr int OS_MUTEX_TIMEOUT = 258; // os_mutex_lock: not acquired in time
inline constexpr int OS_MUTEX_FAILED = -1;   // os_mutex_lock: the wait failed

os_mutex* os_mutex_new();
// Creates the named mutex (open to every process) or opens the existing one.
int os_mutex_open(os_mutex* mutex, const char* name);
// 0 when acquired (or the record is null / not opened), 258 on time-out, -1 on failure.
int os_mutex_lock(os_mutex* mutex, uint32_t milliseconds);
// Releases one level held by the calling thread; returns the new lock count
// (0 when there was nothing to release).
int os_mutex_unlock(os_mutex* mutex);
// Releases what the calling thread still holds, closes and frees the record. 0.
int os_mutex_free(os_mutex* mutex);

using os_thread_routine = uint32_t (*)(void* parameter);

struct os_thread {
    std::unique_ptr<plat::thread> thread;
    std::unique_ptr<plat::event> stop_event; // auto-reset, created non-signalled
    void* parameter = nullptr;
    std::atomic<uint32_t> running{0}; // 1 from before the routine starts, 0 once stop is asked
};

// Creates the record (stop event named event_name, running 1) and then starts
// routine(parameter). nullptr when the thread cannot be created.
os_thread* os_thread_start(os_thread_routine routine, void* parameter, const char* event_name);
// The record of the calling thread when it was started by os_thread_start, else nullptr.
os_thread* os_thread_current();
// Waits on the record's stop event: plat::wait_object_0 when stop was asked,
// plat::wait_timeout otherwise, plat::wait_failed for a null record.
uint32_t os_thread_wait_stop(os_thread* thread, uint32_t milliseconds);
// Asks the thread to stop (running 0, stop event set) and waits until it has
// ended, however long that takes (it is never killed); returns its exit code
// (0 for a null record or a thread already stopped, plat::still_active when
// called from the thread itself, which only records the request).
uint32_t os_thread_stop(os_thread* thread);
// Stops the thread when it is still set, frees the record. 0. (Called from the
// thread's own routine it only asks the stop and leaves the record.)
int os_thread_free(os_thread* thread);
int os_sleep(uint32_t milliseconds);

// Owners that free a record on every path, through os_mutex_free and
// os_thread_free (which stops a thread that still runs).
struct os_mutex_deleter {
    void operator()(os_mutex* mutex) const noexcept { (void)os_mutex_free(mutex); }
};
using os_mutex_ptr = std::unique_ptr<os_mutex, os_mutex_deleter>;
struct os_thread_deleter {
    void operator()(os_thread* thread) const noexcept { (void)os_thread_free(thread); }
};
using os_thread_ptr = std::unique_ptr<os_thread, os_thread_deleter>;
