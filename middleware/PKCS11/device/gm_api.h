// The SKF-style device API (GM/T 0016 function set plus the gm_ vendor calls)
// as the PKCS#11 layer calls it. Integer handles, 32-bit result codes,
// caller-owned buffers with the PKCS#11-like size-query rule.
#pragma once

#include <cstdint>

// GM/T 0016's ULONG is 32 bits wide on every platform; it is written uint32_t
// here (pcsc-lite's ULONG is unsigned long, and both may meet in one file).
using DEVHANDLE = uint32_t;     // 0: no device
using HAPPLICATION = uint32_t;  // 0: no application

// Result codes (GM/T 0016 names).
inline constexpr uint32_t SAR_OK = 0;
inline constexpr uint32_t SAR_FAIL = 0x0A000001;
inline constexpr uint32_t SAR_INVALIDHANDLEERR = 0x0A000005;
inline constexpr uint32_t SAR_INVALIDPARAMERR = 0x0A000006;
inline constexpr uint32_t SAR_BUFFER_TOO_SMALL = 0x0A000020;
inline constexpr uint32_t SAR_NOT_EVENTERR = 0x0A000022;
inline constexpr uint32_t SAR_DEVICE_REMOVED = 0x0A000023;

// Device events reported by SKF_WaitForDevEvent.
inline constexpr uint32_t GM_DEV_EVENT_INSERTED = 1;
inline constexpr uint32_t GM_DEV_EVENT_REMOVED = 2;

// Names of the token devices: NUL-separated, ended by an empty name.
uint32_t SKF_EnumDev(int32_t bPresent, char* szNameList, uint32_t* pulSize);
uint32_t SKF_ConnectDev(const char* szName, DEVHANDLE* phDev);
uint32_t SKF_DisConnectDev(DEVHANDLE hDev);
// Blocks until a token is inserted or removed, or until SKF_CancelWaitForDevEvent
// (then SAR_NOT_EVENTERR). Takes no device mutex while it waits.
uint32_t SKF_WaitForDevEvent(char* szDevName, uint32_t* pulDevNameLen, uint32_t* pulEvent);
// Releases a thread blocked in SKF_WaitForDevEvent. Always 0.
uint32_t SKF_CancelWaitForDevEvent();
uint32_t SKF_ClearSecureState(HAPPLICATION hApplication);

// The card's raw hardware serial number; a successful call means "the token answers".
uint32_t gm_get_raw_hwsn(DEVHANDLE hDev, uint8_t* pbBuffer, uint32_t* pulLength);
// The last status word (or transport code) of the process; initially 0x9000.
uint32_t gm_get_last_status_word();
