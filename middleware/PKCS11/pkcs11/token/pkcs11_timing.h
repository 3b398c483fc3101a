// Timings of the token enumeration, an internal setting of the library.
//
// While the module has tokens it enumerates the readers again at most every
// 3 s (C_GetSlotList and the calls that refresh the token list), and after an
// enumeration that found tokens it pauses 1 s, once the slot-event thread is
// started, before it answers. The module itself never changes these values.
// Tests shorten them: tests that link the static libraries call
// pkcs11_set_timing, and the test build of the module (tests/support) sets
// them from its own hook. No exported function and no environment variable of
// the production module reaches them.
#pragma once

#include <chrono>
#include <cstdint>

struct pkcs11_timing {
    std::chrono::milliseconds enumeration_interval{3000};
    std::chrono::milliseconds settle_pause{1000};
};

pkcs11_timing pkcs11_get_timing();
void pkcs11_set_timing(const pkcs11_timing& timing);
