// The SKF-style device API (GM/T 0016 function set plus the gm_ vendor calls)
// as the PKCS#11 layer calls it. Integer handles, 32-bit result codes,
// caller-owned buffers with the PKCS#11-like size-query rule (gm_frame.h).
#pragma once

#include <cstdint>

#include "gm_types.h"

// --- Devices ---------------------------------------------------------------

// Names of the token devices: each followed by a NUL, ended by an empty name.
// bPresent is ignored. Null list: *pulSize = readers x 32 + 2, 0.
uint32_t SKF_EnumDev(int32_t bPresent, char* szNameList, uint32_t* pulSize);
uint32_t SKF_ConnectDev(const char* szName, DEVHANDLE* phDev);
uint32_t SKF_DisConnectDev(DEVHANDLE hDev);
// Label shorter than 32 characters.
uint32_t SKF_SetLabel(DEVHANDLE hDev, const char* szLabel);
uint32_t SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo);
// As SKF_GetDevInfo without the hash-capability addition, plus the card's two
// capability words (first: reply bytes 228-229, second: 226-227). Null word
// outputs are skipped.
uint32_t gm_get_dev_caps(DEVHANDLE hDev, DEVINFO* pDevInfo, uint32_t* pulCaps1, uint32_t* pulCaps2);
// Device authentication (key id 0) with the caller's enciphered challenge.
// 0 authenticated; 1..15 tries left after a wrong answer; else an error code.
uint32_t SKF_DevAuth(DEVHANDLE hDev, const uint8_t* pbAuthData, uint32_t ulLen);
// Device authentication with the 16-byte SM4 device authentication key: a
// card challenge (GenRandom of 8 bytes), SM4-ECB under the key of challenge
// || 00 x 8, and DevAuth with those 16 bytes, the same two commands as
// SKF_GenRandom and SKF_DevAuth. Results as SKF_DevAuth. The key and the
// cryptogram are wiped before it returns; nothing of them is kept.
uint32_t gm_dev_auth_with_key(DEVHANDLE hDev, const uint8_t* pbKey, uint32_t ulKeyLen);
// Formats the token from a DEVINFO template (TotalSpace 0: the maximum); the
// 32-byte key block and the three integers go to the card as given. This is
// the card's personalisation: the key block installs the new device
// authentication key. The device's authentication ends.
uint32_t gm_format_device(DEVHANDLE hDev, const DEVINFO* pTemplate, const uint8_t* pbAuthKey,
                          uint32_t ulKeyLen, uint32_t ulParam1, uint32_t ulParam2, uint32_t ulP1);
// The card's raw hardware serial number; a successful call means "the token answers".
uint32_t gm_get_raw_hwsn(DEVHANDLE hDev, uint8_t* pbBuffer, uint32_t* pulLength);
// OEM information area (256 bytes) at byte offsets. *pulLength: capacity in
// (at least ulSize), bytes read out.
uint32_t gm_read_oem_info(DEVHANDLE hDev, uint32_t ulOffset, uint32_t ulSize, uint8_t* pbBuffer,
                          uint32_t* pulLength);
uint32_t gm_write_oem_info(DEVHANDLE hDev, uint32_t ulOffset, const uint8_t* pbData,
                           uint32_t ulSize);
// Raw 2048-byte sector access of mass-storage tokens. A PC/SC token has none:
// both send nothing and return SAR_NOTSUPPORTYETERR.
uint32_t gm_write_sectors(DEVHANDLE hDev, uint32_t ulFirstSector, uint32_t ulCount,
                          const uint8_t* pbData);
uint32_t gm_read_sectors(DEVHANDLE hDev, uint32_t ulFirstSector, uint32_t ulCount,
                         uint8_t* pbBuffer);
// Inquiry string of mass-storage tokens (type 0 only; PC/SC tokens: SAR_FAIL).
uint32_t gm_set_inq_string(DEVHANDLE hDev, const char* szVendor, const char* szProduct);
// Carries the PKCS#11 layer's login state into an application object
// (GM_APP_OPTION_*). Unknown application: SAR_FAIL; else 0.
uint32_t gm_set_app_option(HAPPLICATION hApplication, uint32_t ulCode);
// The last status word (or transport code) of the process; initially 0x9000. No lock.
uint32_t gm_get_last_status_word();

// Closes a session key, MAC or digest handle (not devices, applications or
// containers: SAR_INVALIDHANDLEERR).
uint32_t SKF_CloseHandle(HANDLE hHandle);

// --- Device events ---------------------------------------------------------

// Blocks until a token is inserted (*pulEvent GM_DEV_EVENT_INSERTED) or
// removed (GM_DEV_EVENT_REMOVED) and names its readers, each followed by a
// NUL, with a final NUL; *pulDevNameLen is the length with that final NUL.
// A wake-up that finds no device changed is not reported: the wait goes on.
// A removal and an insertion seen together are handed out by two calls,
// the removal first. A null szDevName or a buffer below the length answers
// the length (0 or SAR_BUFFER_TOO_SMALL) and keeps the event for the next
// call. SKF_CancelWaitForDevEvent ends a wait with SAR_NOT_EVENTERR. One
// thread waits at a time; no device mutex is held while it waits.
uint32_t SKF_WaitForDevEvent(char* szDevName, uint32_t* pulDevNameLen, uint32_t* pulEvent);
// Stops the reader watch and ends a wait in progress (a cancel that comes
// before a wait began does not end it). Always 0.
uint32_t SKF_CancelWaitForDevEvent();

// --- Applications, PINs, files, containers, keys ----------------------------
#include "gm_app_pin.h"
#include "gm_asym.h"
#include "gm_file_cont.h"
#include "gm_fingerprint.h"
#include "gm_symmetric.h"
