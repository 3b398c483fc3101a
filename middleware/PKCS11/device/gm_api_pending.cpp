// Interim bodies of the device-API calls the PKCS#11 core needs before the
// device API itself is in the tree; the device API's own implementation
// replaces this file. They answer as a system with no token attached, and the
// device-event wait really blocks until it is cancelled, so that the slot-event
// thread, C_Finalize and unload behave as they will with real devices.
#include "gm_api.h"

#include <condition_variable>
#include <mutex>

#include <pthread.h>
#include <unistd.h>

namespace {

struct event_wait_state {
    std::mutex m;
    std::condition_variable cv;
    uint64_t cancel_generation = 0;
};

// A forked child starts with a state of its own: the inherited condition
// variable may count waiters that were threads of the parent, and waking or
// destroying it would wait for them forever. The inherited one is left as it
// is; the state made in this process is freed at unload.
struct wait_state_holder {
    event_wait_state* current = new event_wait_state;
    event_wait_state* inherited = nullptr;  // kept reachable, never used
    pid_t owner = getpid();
    ~wait_state_holder() {
        if (owner == getpid()) delete current;
    }
};

wait_state_holder& holder() {
    static wait_state_holder h;
    return h;
}

void fresh_wait_state_in_child() {
    holder().inherited = holder().current;
    holder().current = new event_wait_state;
    holder().owner = getpid();
}

event_wait_state& wait_state() {
    static const bool built = [] {
        (void)holder();
        pthread_atfork(nullptr, nullptr, &fresh_wait_state_in_child);
        return true;
    }();
    (void)built;
    return *holder().current;
}

// Built while the library loads, so it outlives the PKCS#11 core (built on
// first use), which cancels the wait from its destructor.
[[maybe_unused]] const bool wait_state_built = (wait_state(), true);

}  // namespace

uint32_t SKF_WaitForDevEvent(char*, uint32_t*, uint32_t* pulEvent) {
    event_wait_state& s = wait_state();
    std::unique_lock lock(s.m);
    const uint64_t generation = s.cancel_generation;
    s.cv.wait(lock, [&] { return s.cancel_generation != generation; });
    if (pulEvent != nullptr) *pulEvent = 0;
    return SAR_NOT_EVENTERR;
}

uint32_t SKF_CancelWaitForDevEvent() {
    event_wait_state& s = wait_state();
    {
        std::lock_guard lock(s.m);
        ++s.cancel_generation;
    }
    s.cv.notify_all();
    return SAR_OK;
}

