// Identity of a device object: a serial number given at construction and
// never reused within the process, so a caller holding the id of a device
// that was deleted finds nothing instead of a newer device that happens to
// occupy the same memory.
#pragma once

#include <cstdint>

using device_id = uint64_t;
inline constexpr device_id no_device = 0;

// Presence states of a device in the device list.
inline constexpr int32_t device_state_present = 0;
inline constexpr int32_t device_state_new = 1;
inline constexpr int32_t device_state_removed = 2;
inline constexpr int32_t device_state_any = 3; // selects every device in an enumeration
