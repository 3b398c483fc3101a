#include "pkcs11_timing.h"

#include <atomic>

namespace {

// Plain atomics: read on every slot-list refresh, written only by tests
// before or between calls.
std::atomic<int64_t> enumeration_interval_ms{pkcs11_timing{}.enumeration_interval.count()};
std::atomic<int64_t> settle_pause_ms{pkcs11_timing{}.settle_pause.count()};

} // namespace

pkcs11_timing pkcs11_get_timing() {
    pkcs11_timing t;
    t.enumeration_interval = std::chrono::milliseconds(enumeration_interval_ms.load());
    t.settle_pause = std::chrono::milliseconds(settle_pause_ms.load());
    return t;
}

void pkcs11_set_timing(const pkcs11_timing& timing) {
    enumeration_interval_ms.store(
        timing.enumeration_interval.count() < 0 ? 0 : timing.enumeration_interval.count());
    settle_pause_ms.store(timing.settle_pause.count() < 0 ? 0 : timing.settle_pause.count());
}
