#include "library_lock.h"

#include <memory>
#include <new>
#include <string>

#include <unistd.h>

#include "os_sync.h"
#include "pkcs11_config.h"

CK_RV default_create_mutex(CK_VOID_PTR_PTR ppMutex) {
    if (ppMutex == nullptr) return CKR_ARGUMENTS_BAD;
    std::string name = "Global\\DAZuru11Zeriz_";
    name += pkcs11_enum_id();
    os_mutex_ptr record(os_mutex_new());
    if (record == nullptr) return CKR_HOST_MEMORY;
    if (os_mutex_open(record.get(), name.c_str()) != OS_MUTEX_OK) return CKR_GENERAL_ERROR;
    *ppMutex = record.release(); // the caller's until default_destroy_mutex
    return CKR_OK;
}

CK_RV default_destroy_mutex(CK_VOID_PTR pMutex) {
    if (pMutex == nullptr) return CKR_OK;
    return os_mutex_free(static_cast<os_mutex*>(pMutex)) == 0 ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV default_lock_mutex(CK_VOID_PTR pMutex) {
    if (pMutex == nullptr) return CKR_MUTEX_BAD;
    // No time-out: the lock is held only for one call of the module.
    return os_mutex_lock(static_cast<os_mutex*>(pMutex), plat::infinite) == OS_MUTEX_OK
               ? CKR_OK
               : CKR_GENERAL_ERROR;
}

CK_RV default_unlock_mutex(CK_VOID_PTR pMutex) {
    if (pMutex == nullptr) return CKR_MUTEX_BAD;
    os_mutex_unlock(static_cast<os_mutex*>(pMutex));
    return CKR_OK;
}

lock_callbacks default_lock_callbacks() {
    return lock_callbacks{default_create_mutex, default_destroy_mutex, default_lock_mutex,
                          default_unlock_mutex};
}

library_mutex::~library_mutex() {
    if (handle_ != nullptr && callbacks_.destroy_mutex == default_destroy_mutex)
        default_destroy_mutex(handle_);
}

CK_RV library_mutex::install(const lock_callbacks& callbacks) {
    std::unique_lock swap(swap_);
    if (handle_ != nullptr) {
        callbacks_.destroy_mutex(handle_);
        handle_ = nullptr;
    }
    callbacks_ = callbacks;
    void* handle = nullptr;
    const CK_RV rv = callbacks_.create_mutex(&handle);
    if (rv != CKR_OK) return rv;
    if (handle == nullptr)
        return CKR_CANT_LOCK; // "success" without a mutex would leave us unlocked
    handle_ = handle;
    return CKR_OK;
}

CK_RV library_mutex::destroy() {
    std::unique_lock swap(swap_);
    if (handle_ == nullptr) return CKR_OK;
    const CK_RV rv = callbacks_.destroy_mutex(handle_);
    handle_ = nullptr;
    return rv;
}

bool library_mutex::has_handle() {
    std::shared_lock swap(swap_);
    return handle_ != nullptr;
}

CK_RV library_mutex::lock() {
    swap_.lock_shared();
    if (handle_ == nullptr) {
        no_handle_.lock();
        section_.store(0, std::memory_order_relaxed);
        return CKR_OK;
    }
    const CK_RV rv = callbacks_.lock_mutex(handle_);
    if (rv != CKR_OK) {
        swap_.unlock_shared();
        return rv;
    }
    const bool system_wide = callbacks_.lock_mutex == default_lock_mutex;
    section_.store(system_wide ? ++sections_ : 0, std::memory_order_relaxed);
    return CKR_OK;
}

void library_mutex::unlock() {
    if (handle_ == nullptr) {
        no_handle_.unlock();
    } else {
        callbacks_.unlock_mutex(handle_);
    }
    swap_.unlock_shared();
}

namespace {

// The lock of this process; a forked child replaces it (see library_lock_after_fork).
struct lock_holder {
    std::unique_ptr<library_mutex> current = std::make_unique<library_mutex>();
    library_mutex* inherited = nullptr; // kept reachable, never used
    pid_t owner = getpid();
    ~lock_holder() {
        if (owner != getpid()) (void)current.release(); // another process's lock
    }
};

lock_holder& holder() {
    static lock_holder h;
    return h;
}

} // namespace

library_mutex& library_lock() {
    return *holder().current;
}

void library_lock_after_fork() {
    // The inherited record may be held by a thread of the parent that does not
    // exist here, and its handle is the parent's: it is left as it is.
    holder().inherited = holder().current.release();
    holder().current = std::make_unique<library_mutex>();
    holder().owner = getpid();
}

mutex::~mutex() {
    if (held_) library_lock().unlock();
}

CK_RV mutex::take() {
    if (held_) return CKR_OK;
    const CK_RV rv = library_lock().lock();
    held_ = rv == CKR_OK;
    return rv;
}
