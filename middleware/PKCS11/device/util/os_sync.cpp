#include "os_sync.h"

#include <new>

#include "mk_mutex.h"

os_mutex* os_mutex_new() {
    return new (std::nothrow) os_mutex;
}

int os_mutex_open(os_mutex* mutex, const char* name) {
    if (mutex == nullptr) return OS_MUTEX_OK;
    mutex->handle = named_mutex_create_or_open(name);
    if (!mutex->handle) return OS_MUTEX_NO_HANDLE;
    mutex->opened = 1;
    return OS_MUTEX_OK;
}

int os_mutex_lock(os_mutex* mutex, uint32_t milliseconds) {
    if (mutex == nullptr || !mutex->opened || !mutex->handle) return OS_MUTEX_OK;
    for (;;) {
        switch (mutex->handle->wait(milliseconds)) {
        case plat::wait_object_0:
            ++mutex->lock_count;
            return OS_MUTEX_OK;
        case plat::wait_abandoned:
            // The previous holder died: let go once and queue up again, so the
            // waiters that were first are served first.
            mutex->handle->release();
            continue;
        case plat::wait_timeout:
            return OS_MUTEX_TIMEOUT;
        default:
            return OS_MUTEX_FAILED;
        }
    }
}

int os_mutex_unlock(os_mutex* mutex) {
    if (mutex == nullptr || !mutex->handle || mutex->lock_count <= 0) return 0;
    // Only the owning thread releases; the count follows real releases only.
    if (!mutex->handle->release()) return mutex->lock_count;
    return --mutex->lock_count;
}

int os_mutex_free(os_mutex* mutex) {
    if (mutex == nullptr) return 0;
    if (mutex->handle) {
        while (mutex->handle->owner_depth() > 0 && mutex->handle->release())
            --mutex->lock_count;
    }
    delete mutex;
    return 0;
}

namespace {
thread_local os_thread* current_thread = nullptr;
}

os_thread* os_thread_start(os_thread_routine routine, void* parameter, const char* event_name) {
    if (routine == nullptr) return nullptr;
    try {
        // The record is complete before the routine runs, so a routine that
        // polls the running flag or waits on the stop event never sees a
        // half-made one.
        auto record = std::make_unique<os_thread>();
        record->stop_event =
            std::make_unique<plat::event>(false, false, event_name ? event_name : "");
        record->parameter = parameter;
        record->running = 1;
        os_thread* self = record.get();
        record->thread = plat::thread::start([self, routine, parameter] {
            current_thread = self;
            return routine(parameter);
        });
        if (!record->thread) return nullptr;
        return record.release(); // the caller's until os_thread_free
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

os_thread* os_thread_current() {
    return current_thread;
}

uint32_t os_thread_wait_stop(os_thread* thread, uint32_t milliseconds) {
    if (thread == nullptr || !thread->stop_event) return plat::wait_failed;
    return thread->stop_event->wait(milliseconds);
}

uint32_t os_thread_stop(os_thread* thread) {
    if (thread == nullptr) return 0;
    thread->running = 0;
    if (thread->stop_event) thread->stop_event->set();
    if (!thread->thread) return 0;
    if (os_thread_current() == thread) return plat::still_active; // a thread cannot join itself
    // No time limit: the routine is cooperative and ends once it sees the
    // request; killing it instead could leave the locks it holds taken.
    thread->thread->join(plat::infinite);
    uint32_t code = thread->thread->exit_code();
    thread->thread.reset();
    return code;
}

int os_thread_free(os_thread* thread) {
    if (thread == nullptr) return 0;
    if (os_thread_current() == thread) { // its own routine: stopping only, the record stays valid
        os_thread_stop(thread);
        return 0;
    }
    if (thread->thread) os_thread_stop(thread);
    delete thread;
    return 0;
}

int os_sleep(uint32_t milliseconds) {
    plat::sleep_ms(milliseconds);
    return 0;
}
