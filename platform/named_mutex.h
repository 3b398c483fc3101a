// Stands in for the Windows named kernel mutex (CreateMutex, OpenMutex,
// WaitForSingleObject, ReleaseMutex, CloseHandle) on POSIX.
//
// A mutex is recursive for its owning thread and shared by every thread and
// every process that uses the same name. Inside a process one shared state per
// name gives thread exclusion with an owner and a depth; across processes the
// first acquisition of the owning thread takes flock(LOCK_EX) on a lock file.
// The kernel drops a flock when its process dies; the lock file carries a
// "held by pid" marker, so the next owner learns that the previous one died
// while holding the mutex (wait_abandoned, reported once).
//
// Names "Global\X" live in a system-wide directory (mode 1777, shared by every
// user; $TESSVIK_LOCK_DIR overrides it, for tests); "Local\X" and plain names
// live in a per-user directory ($XDG_RUNTIME_DIR/tessvik or
// /tmp/tessvik-<uid>, mode 0700). Every character outside [A-Za-z0-9._-] of
// the name is encoded, so a name never leaves its directory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "wait.h"

namespace plat {

enum class mutex_status {
    ok,
    not_found,     // ERROR_FILE_NOT_FOUND: no mutex of that name exists yet
    access_denied, // ERROR_ACCESS_DENIED: it exists, or its directory does, but we may not use it
    failed,        // any other error
};

// Who may open a mutex this process creates (the lock file's mode).
enum class mutex_access {
    everyone,   // 0666: the counterpart of a permissive security descriptor
    owner_only, // 0600: the creator's default security
};

struct mutex_state;

// One open handle to a named mutex. Several handles (in one process) to the
// same name share one mutex. Closing a handle (destroying it) while the calling
// thread owns the mutex releases it completely.
class named_mutex {
  public:
    // OpenMutex: the mutex must already exist.
    static std::unique_ptr<named_mutex> open(std::string_view name, mutex_status* status);
    // CreateMutex (not owned): creates it or opens the existing one.
    static std::unique_ptr<named_mutex> create(std::string_view name, mutex_access access,
                                               mutex_status* status);

    ~named_mutex();
    named_mutex(const named_mutex&) = delete;
    named_mutex& operator=(const named_mutex&) = delete;

    // Acquires the mutex within milliseconds (0: try once, infinite: no time-out).
    // Returns wait_object_0, wait_abandoned (acquired too), wait_timeout or wait_failed.
    uint32_t wait(uint32_t milliseconds);
    // ReleaseMutex: false when the calling thread does not own the mutex.
    bool release();
    // Depth of the calling thread's ownership (0 when it does not own it).
    int owner_depth() const;
    const std::string& name() const { return name_; }

  private:
    named_mutex(std::string name, std::shared_ptr<mutex_state> state);
    std::string name_;
    std::shared_ptr<mutex_state> state_;
};

// The lock file a name maps to (directory + encoded name); empty when the
// directory cannot be determined.
std::string mutex_lock_path(std::string_view name);

} // namespace plat
