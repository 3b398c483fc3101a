// The device API's enumeration filters: which readers are tokens of ours
// (device_filter) and which OEM identifiers are accepted (oem_filter).
#pragma once

#include <cstdint>

inline constexpr const char* gm_default_device_filter =
    "vx8100,vid_055c&pid_db08,vid_055c&pid_e618|vid_055c&pid_f603|vid_055c&pid_2205";
inline constexpr const char* gm_default_oem_filter = "vx8100";

// Replaces the filters that are given (non-null, non-empty), cut to 1023 and
// 63 characters; null or empty keeps the current one. Takes no lock. Returns 0.
uint32_t gm_set_enum_filters(const char* device_filter_text, const char* oem_filter_text);
// Current device filter: "pattern,usb-id,usb-id|usb-id|...".
const char* gm_device_filter();
// Current OEM filter: up to 5 comma-separated identifiers, or "*".
const char* gm_oem_filter();
