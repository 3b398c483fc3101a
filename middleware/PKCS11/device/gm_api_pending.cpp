// Interim bodies of the device-API calls the PKCS#11 core needs before the
// device API itself is in the tree; the device API's own implementation
// replaces this file. They answer as a system with no token attached, and the
// device-event wait really blocks until it is cancelled, so that the slot-event
// thread, C_Finalize and unload behave as they will with real devices.
#include "gm_api.h"

#include <condition_variable>
#include <mutex>

#include <pthread.h>

namespace {

struct event_wait_state {
    std::mutex m;
    std::condition_variable cv;
    uint64_t cancel_generation = 0;
};

// A forked child starts with a state of its own: the inherited condition
// variable may count waiters that were threads of the parent, and waking them
// would wait for them forever. The inherited one is left as it is.
event_wait_state* current_wait_state = nullptr;
event_wait_state* inherited_wait_state = nullptr;  // kept reachable, never used

void fresh_wait_state_in_child() {
    inherited_wait_state = current_wait_state;
    current_wait_state = new event_wait_state;
}

event_wait_state& wait_state() {
    static const bool built = [] {
        // Never destroyed: in a forked child, destroying the inherited
        // condition variable would wait for the parent's waiters.
        current_wait_state = new event_wait_state;
        pthread_atfork(nullptr, nullptr, &fresh_wait_state_in_child);
        return true;
    }();
    (void)built;
    return *current_wait_state;
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

