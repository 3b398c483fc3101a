// Interim bodies of the device-API calls the PKCS#11 core needs before the
// device API itself is in the tree; the device API's own implementation
// replaces this file. They answer as a system with no token attached, and the
// device-event wait really blocks until it is cancelled, so that the slot-event
// thread, C_Finalize and unload behave as they will with real devices.
#include "gm_api.h"

#include <condition_variable>
#include <mutex>

namespace {

struct event_wait_state {
    std::mutex m;
    std::condition_variable cv;
    uint64_t cancel_generation = 0;
};

event_wait_state& wait_state() {
    static event_wait_state state;
    return state;
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

