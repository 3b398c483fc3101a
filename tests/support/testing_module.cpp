// The test build of the module (libTessvik_testing.so): the same library as
// libTessvik.so plus two hooks that only this build exports, for end-to-end
// tests that load the module with dlopen like an application:
//   tessvik_testing_set_timing     the enumeration interval and settle pause
//                                  (pkcs11_timing.h);
//   tessvik_testing_slot_event_waiters  threads inside a blocking
//                                  C_WaitForSlotEvent, so a test can wait
//                                  until its waiter is really waiting.
//   tessvik_testing_hold_reader_listing  holds the next reader listing of a
//                                  device scan until the module's unload
//                                  has begun (see below);
//   tessvik_testing_reader_listing_held  whether a listing is held now.
// Loading it shortens the settle pause to nothing (the enumeration interval
// keeps its 3 s unless a test asks otherwise): tests then wait on the state
// they expect, with bounded time-outs.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "device_sc_manager.h"
#include "gm_frame.h"
#include "pkcs11_core.h"
#include "pkcs11_timing.h"

#define TESSVIK_TESTING_EXPORT extern "C" __attribute__((visibility("default")))

TESSVIK_TESTING_EXPORT void tessvik_testing_set_timing(uint32_t enumeration_interval_ms,
                                                       uint32_t settle_pause_ms) {
    pkcs11_timing t;
    t.enumeration_interval = std::chrono::milliseconds(enumeration_interval_ms);
    t.settle_pause = std::chrono::milliseconds(settle_pause_ms);
    pkcs11_set_timing(t);
}

TESSVIK_TESTING_EXPORT int tessvik_testing_slot_event_waiters() {
    return pkcs11_core().blocked_slot_event_waiters();
}

namespace {

// A device scan held inside its reader listing. The record is built while
// the library loads, so it outlives every thread of the module.
struct listing_hold {
    std::mutex m;
    std::condition_variable changed;
    bool held = false;
    bool released = false;
};
listing_hold hold;

// Lists no reader once the hold is released (or after 30 s, so that a test
// that never unloads does not hang). The scan then goes on with the device
// list, as after any listing.
int held_listing(const char*, reader_table&) {
    {
        std::unique_lock lock(hold.m);
        hold.held = true;
        hold.changed.wait_for(lock, std::chrono::seconds(30), [] { return hold.released; });
        hold.held = false;
    }
    return device_manager().device_count() < 0 ? -1 : 0;
}

// Built when a test asks for the hold, after the PKCS#11 core: destroyed
// before it at unload, so the held scan goes on while the unload is under way.
struct release_at_unload {
    release_at_unload() = default;
    release_at_unload(const release_at_unload&) = delete;
    release_at_unload& operator=(const release_at_unload&) = delete;
    ~release_at_unload() {
        std::lock_guard lock(hold.m);
        hold.released = true;
        hold.changed.notify_all();
    }
};

} // namespace

// Call after C_Initialize and before the scan to hold (the first
// C_WaitForSlotEvent starts the slot-event thread, whose first device-event
// wait scans the readers).
TESSVIK_TESTING_EXPORT void tessvik_testing_hold_reader_listing() {
    static release_at_unload release;
    (void)gm_locked_call([]() -> uint32_t {
        device_manager().set_reader_lister(&held_listing);
        return 0;
    });
}

TESSVIK_TESTING_EXPORT int tessvik_testing_reader_listing_held() {
    std::lock_guard lock(hold.m);
    return hold.held ? 1 : 0;
}

namespace {

[[maybe_unused]] const bool short_settle_pause = [] {
    pkcs11_timing t = pkcs11_get_timing();
    t.settle_pause = std::chrono::milliseconds(0);
    pkcs11_set_timing(t);
    return true;
}();

} // namespace
