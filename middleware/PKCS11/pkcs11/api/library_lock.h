// The library lock: one mutex handle made and used through four callbacks,
// either the application's (CK_C_INITIALIZE_ARGS) or the library's defaults,
// which use the system-wide named mutex "Global\DAZuru11Zeriz_" + identifier so
// that every process using the module is serialised.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "pkcs11.h"

struct lock_callbacks {
    CK_CREATEMUTEX create_mutex = nullptr;
    CK_DESTROYMUTEX destroy_mutex = nullptr;
    CK_LOCKMUTEX lock_mutex = nullptr;
    CK_UNLOCKMUTEX unlock_mutex = nullptr;
};

// The library's own callbacks over os_mutex.
lock_callbacks default_lock_callbacks();
CK_RV default_create_mutex(CK_VOID_PTR_PTR ppMutex);
CK_RV default_destroy_mutex(CK_VOID_PTR pMutex);
CK_RV default_lock_mutex(CK_VOID_PTR pMutex);
CK_RV default_unlock_mutex(CK_VOID_PTR pMutex);

// Handle plus callbacks in use. Swapping the handle (C_Initialize, C_Finalize)
// waits until no thread is inside a locked section, so a handle is never
// destroyed while it is held. While no handle exists (before C_Initialize,
// after C_Finalize) the exports are serialised inside the process by an
// internal mutex instead of running unlocked.
class library_mutex {
  public:
    library_mutex() = default;
    // At unload a library-made lock that C_Finalize did not destroy is closed;
    // an application's lock is left to the application.
    ~library_mutex();
    library_mutex(const library_mutex&) = delete;
    library_mutex& operator=(const library_mutex&) = delete;

    // Destroys a handle left from earlier, takes the callbacks and creates the
    // lock. A failed creation is returned and leaves no lock.
    CK_RV install(const lock_callbacks& callbacks);
    // Destroys the lock (if any) with the DestroyMutex in use; the handle is
    // null afterwards whatever the callback answers, and its result is returned.
    CK_RV destroy();
    bool has_handle();

    // Enter a locked section: LockMutex on the handle (its failure is returned
    // and nothing is held), or the internal mutex when there is no handle.
    CK_RV lock();
    void unlock();
    // The locked section the calling thread is in: a number that differs
    // for every section under the library's own lock, which keeps every
    // other process of the module out for its whole length; 0 under an
    // application's lock or with no handle, which keep out this process's
    // threads only. Within one non-zero section nothing but the caller
    // changes the token's stored objects.
    uint64_t section() const { return section_.load(std::memory_order_relaxed); }

  private:
    std::shared_mutex swap_;         // shared: inside a locked section; exclusive: swapping
    std::recursive_mutex no_handle_; // serialises the exports while there is no handle
    lock_callbacks callbacks_;
    void* handle_ = nullptr;
    std::atomic<uint64_t> section_{0};
    uint64_t sections_ = 0; // the last section's number, under the lock
};

library_mutex& library_lock();
// In a forked child (before anything else runs there): a fresh lock record,
// with no handle and nothing held; the parent's is neither used nor freed.
void library_lock_after_fork();

// The library-lock guard: built after a successful library_lock().lock(),
// releases it on every exit path.
class mutex {
  public:
    mutex() = default;
    virtual ~mutex();
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;
    // Takes the library lock; CKR_OK when held (until destruction).
    CK_RV take();

  private:
    bool held_ = false;
};
