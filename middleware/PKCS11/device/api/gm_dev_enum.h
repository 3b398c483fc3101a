// The enumeration of accepted devices shared by SKF_EnumDev, SKF_ConnectDev
// and the device-event wait. Callers hold the device mutex.
#pragma once

#include <cstdint>
#include <string>

// For every device of the device list in `state` (device_state_any for all):
// connect it, apply the OEM filter (a rejected device is removed from the
// device list), read the short device information, keep its alias and list
// its reader name. Returns the names, each followed by a NUL.
std::string enum_filtered_devices(int32_t state);
