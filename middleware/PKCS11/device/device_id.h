// Identity of a device object: a serial number given at construction and
// never reused within the process, so a caller holding the id of a device
// that was deleted finds nothing instead of a newer device that happens to
// occupy the same memory.
#pragma once

#include <cstdint>

using device_id = uint64_t;
inline constexpr device_id no_device = 0;
