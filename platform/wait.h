// Wait results and time-out values of the Windows wait functions
// (WaitForSingleObject), shared by the named-mutex, event and thread
// stand-ins of this folder.
#pragma once

#include <cstdint>

namespace plat {

inline constexpr uint32_t infinite = 0xFFFFFFFFu; // INFINITE: wait without a time-out
inline constexpr uint32_t wait_object_0 = 0;      // WAIT_OBJECT_0: signalled / acquired
inline constexpr uint32_t wait_abandoned =
    0x80; // WAIT_ABANDONED: acquired, previous owner died holding it
inline constexpr uint32_t wait_timeout = 258;        // WAIT_TIMEOUT
inline constexpr uint32_t wait_failed = 0xFFFFFFFFu; // WAIT_FAILED

} // namespace plat
