// The test build of the module (libTessvik_testing.so): the same library as
// libTessvik.so plus two hooks that only this build exports, for end-to-end
// tests that load the module with dlopen like an application:
//   tessvik_testing_set_timing     the enumeration interval and settle pause
//                                  (pkcs11_timing.h);
//   tessvik_testing_slot_event_waiters  threads inside a blocking
//                                  C_WaitForSlotEvent, so a test can wait
//                                  until its waiter is really waiting.
// Loading it shortens the settle pause to nothing (the enumeration interval
// keeps its 3 s unless a test asks otherwise): tests then wait on the state
// they expect, with bounded time-outs.
#include <cstdint>

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

[[maybe_unused]] const bool short_settle_pause = [] {
    pkcs11_timing t = pkcs11_get_timing();
    t.settle_pause = std::chrono::milliseconds(0);
    pkcs11_set_timing(t);
    return true;
}();

} // namespace
