// The named, cross-process mutex that guards every device-API call, its scoped
// holder, and the free functions that open or create named mutexes.
#pragma once

#include <cstdint>
#include <memory>

#include <named_mutex.h>

// Opens the mutex with full access, else creates it so that every user and
// process may open it. nullptr on failure.
std::unique_ptr<plat::named_mutex> open_or_create_global_mutex(const char* name);
// permissive set: open_or_create_global_mutex; clear: a plain creation with
// default (owner-only) access.
std::unique_ptr<plat::named_mutex> open_or_create_global_mutex(const char* name, bool permissive);
// Opens an existing mutex; nullptr when there is none or it cannot be opened.
std::unique_ptr<plat::named_mutex> named_mutex_open(const char* name);
// Creates the mutex (open to every process) or opens the existing one; nullptr on failure.
std::unique_ptr<plat::named_mutex> named_mutex_create_or_open(const char* name);

// Result of mk_mutex::lock.
enum class mk_lock_result {
    locked,        // the calling thread holds the mutex (an abandoned mutex counts as taken)
    not_attempted, // 0 ms: nothing was opened and nothing waited for
    timed_out,     // not acquired within the time-out
    failed,        // the mutex could not be opened, created or waited on
};

class mk_mutex {
  public:
    static constexpr const char* fallback_name = "q9gm_mutex_ex";

    mk_mutex();
    virtual ~mk_mutex();
    mk_mutex(const mk_mutex&) = delete;
    mk_mutex& operator=(const mk_mutex&) = delete;

    // Only while no handle is open and no name is set: take text, or the device
    // API's current reader filter when text is null or empty.
    virtual void set_name(const char* text);
    // Opens the mutex on first use (see mk_mutex.cpp) and waits for it up to
    // milliseconds (plat::infinite: no time-out). The handle stays open.
    virtual mk_lock_result lock(const char* text, uint32_t milliseconds);
    virtual void unlock();
    // Closes the handle and clears the name.
    virtual void close();

    const char* name() const { return name_; }
    bool is_open() const { return handle_ != nullptr; }

  private:
    char name_[256];
    std::unique_ptr<plat::named_mutex> handle_;
};

// Holds a mk_mutex for a scope: locks with an infinite wait, unlocks on every
// exit path, but only when the lock was taken. A null mutex does nothing.
class mk_auto_mutex {
  public:
    mk_auto_mutex(mk_mutex* mutex, const char* name);
    virtual ~mk_auto_mutex();
    mk_auto_mutex(const mk_auto_mutex&) = delete;
    mk_auto_mutex& operator=(const mk_auto_mutex&) = delete;

    // False when the lock failed: the guarded call must not go ahead.
    bool locked() const { return held_ || mutex_ == nullptr; }

  private:
    mk_mutex* mutex_;
    bool held_ = false;
};
