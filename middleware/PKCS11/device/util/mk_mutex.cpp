#include "mk_mutex.h"

#include <cstring>

#include <thread.h>

#include "gm_filters.h"

// Windows builds these mutexes with security descriptors (a DACL granting
// every account full access, a low integrity label). Linux has no such
// objects: a mutex open to everyone is a lock file of mode 0666 in the
// system-wide lock directory, which is what mutex_access::everyone creates.

std::unique_ptr<plat::named_mutex> open_or_create_global_mutex(const char* name) {
    return open_or_create_global_mutex(name, true);
}

std::unique_ptr<plat::named_mutex> open_or_create_global_mutex(const char* name, bool permissive) {
    if (name == nullptr) return nullptr;
    if (!permissive)
        return plat::named_mutex::create(name, plat::mutex_access::owner_only, nullptr);
    if (auto handle = plat::named_mutex::open(name, nullptr)) return handle;
    return plat::named_mutex::create(name, plat::mutex_access::everyone, nullptr);
}

std::unique_ptr<plat::named_mutex> named_mutex_open(const char* name) {
    return name ? plat::named_mutex::open(name, nullptr) : nullptr;
}

std::unique_ptr<plat::named_mutex> named_mutex_create_or_open(const char* name) {
    if (name == nullptr) return nullptr;
    if (auto handle = plat::named_mutex::create(name, plat::mutex_access::everyone, nullptr))
        return handle;
    return named_mutex_open(name);
}

mk_mutex::mk_mutex() {
    name_[0] = '\0';
}

mk_mutex::~mk_mutex() {
    close();
}

void mk_mutex::set_name(const char* text) {
    if (handle_ || name_[0] != '\0') return;
    const char* source = (text && *text) ? text : gm_device_filter();
    size_t length = strnlen(source, sizeof name_ - 1);
    std::memcpy(name_, source, length);
    name_[length] = '\0';
}

mk_lock_result mk_mutex::lock(const char* text, uint32_t milliseconds) {
    if (milliseconds == 0) return mk_lock_result::not_attempted;
    if (!handle_) {
        if (name_[0] == '\0') set_name(text);
        plat::mutex_status status;
        handle_ = plat::named_mutex::open(name_, &status);
        if (!handle_ && status == plat::mutex_status::not_found) {
            handle_ = plat::named_mutex::create(name_, plat::mutex_access::everyone, &status);
        }
        if (!handle_ && status == plat::mutex_status::access_denied) {
            // The shared mutex exists (or its directory does) but is closed to
            // this user: serialise at least the processes of this user.
            std::strcpy(name_, fallback_name);
            handle_ = open_or_create_global_mutex(name_, false);
        }
        if (!handle_) return mk_lock_result::failed;
    }
    switch (handle_->wait(milliseconds)) {
    case plat::wait_object_0:
    case plat::wait_abandoned:
        return mk_lock_result::locked;
    case plat::wait_timeout:
        return mk_lock_result::timed_out;
    default:
        return mk_lock_result::failed;
    }
}

void mk_mutex::unlock() {
    if (!handle_) return;
    handle_->release();
    plat::sleep_ms(0);
}

void mk_mutex::close() {
    handle_.reset();
    name_[0] = '\0';
}

mk_auto_mutex::mk_auto_mutex(mk_mutex* mutex, const char* name) : mutex_(mutex) {
    if (mutex_) held_ = mutex_->lock(name, plat::infinite) == mk_lock_result::locked;
}

mk_auto_mutex::~mk_auto_mutex() {
    if (held_) mutex_->unlock();
}
