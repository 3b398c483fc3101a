// Device API: applications and their two PINs (GM/T 0016 application and PIN
// functions plus the gm_ vendor calls), and the secure-messaging MAC the PIN
// commands carry.
//
// PIN types: 0 the security officer's PIN, 1 the user's. A wrong PIN is
// reported with the card's tries left (status word 63Cx) in the retry output
// and SAR_PIN_INCORRECT, or SAR_PIN_LOCKED when no try is left. PINs are 1 to
// 16 bytes; a longer one is refused with SAR_PIN_LEN_RANGE before anything
// is sent (the card's PIN key and secure-messaging block take 16 bytes).
#pragma once

#include <cstdint>

#include "gm_types.h"

inline constexpr uint32_t SAR_PIN_LEN_RANGE = 0x0A000026;

inline constexpr uint32_t gm_pin_type_so = 0;
inline constexpr uint32_t gm_pin_type_user = 1;
inline constexpr uint32_t gm_pin_max_length = 16;
inline constexpr uint32_t gm_app_name_max = 32;

// The card's reserved application and container name F0 F1 F2 F3 F4 F5 F6 F7
// (opened without creation or login; the card keeps no files or keys there).
inline constexpr char gm_reserved_name[] = "\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF7";

// The card's list of application names, each followed by a NUL (the list as
// the card sends it). Size-query rule on szAppName / *pulSize.
uint32_t SKF_EnumApplication(DEVHANDLE hDev, char* szAppName, uint32_t* pulSize);
// Every successful call makes a new application handle, also for a name that
// is already open; each is closed by itself.
uint32_t SKF_OpenApplication(DEVHANDLE hDev, const char* szAppName, HAPPLICATION* phApplication);
// The handle and its containers, keys and MACs go when the card accepts the close.
uint32_t SKF_CloseApplication(HAPPLICATION hApplication);

// Creates an application on a device authenticated since it was opened
// (SKF_DevAuth or gm_dev_auth_with_key) and opens it. The card's 84-byte
// application record carries the name, both PINs (in clear: the card's
// protocol has no other form), the retry counts, the create-file rights and
// the four PIN-length bounds in argument order (this card reads them as user
// minimum, user maximum, SO minimum, SO maximum). A device not authenticated:
// SAR_INVALIDPARAMERR, nothing sent.
uint32_t gm_create_application(DEVHANDLE hDev, const char* szAppName, const char* szAdminPin,
                               uint32_t dwAdminPinRetryCount, const char* szUserPin,
                               uint32_t dwUserPinRetryCount, uint32_t dwCreateFileRights,
                               uint8_t bPinBound1, uint8_t bPinBound2, uint8_t bPinBound3,
                               uint8_t bPinBound4, HAPPLICATION* phApplication);
// The card's 8-byte extended information: bytes 0-3 (this card: user PIN
// minimum and maximum length, SO PIN minimum and maximum) and the u32 of
// bytes 4-7 as stored (this card: login state, 0 nobody). Null outputs are
// skipped.
uint32_t gm_get_application_info(HAPPLICATION hApplication, uint8_t* pb0, uint8_t* pb1,
                                 uint8_t* pb2, uint8_t* pb3, uint32_t* pulValue);

// Maximum and remaining tries of a PIN and whether it is still the default
// PIN (pbDefaultPin may be null).
uint32_t SKF_GetPINInfo(HAPPLICATION hApplication, uint32_t ulPINType, uint32_t* pulMaxRetryCount,
                        uint32_t* pulRemainRetryCount, uint32_t* pbDefaultPin);
// A non-empty PIN is verified with gm_verify_pin. An empty or null PIN asks
// for the on-card fingerprint verification (gm_verify_fingerprint).
uint32_t SKF_VerifyPIN(HAPPLICATION hApplication, uint32_t ulPINType, const char* szPIN,
                       uint32_t* pulRetryCount);
// Verifies the PIN under a fresh card challenge (the PIN itself travels only
// as its key's encipherment of the challenge). Success logs the PIN's type in
// on the application object (user or SO flag); *pulRetryCount is written only
// on failure.
uint32_t gm_verify_pin(HAPPLICATION hApplication, uint32_t ulPINType, const char* szPIN,
                       uint32_t* pulRetryCount);
// Verifies the old PIN (which logs that PIN's type in: the SO flag for the SO
// PIN, the user flag for the user PIN), then sends the new PIN wrapped under
// the old PIN's key with the card's MAC (gm_secure_messaging_mac).
uint32_t SKF_ChangePIN(HAPPLICATION hApplication, uint32_t ulPINType, const char* szOldPin,
                       const char* szNewPin, uint32_t* pulRetryCount);
// With a new user PIN: unblocks the user PIN under the SO PIN (secure
// messaging). Without one (null or empty): the user's fingerprint is
// unblocked (gm_unblock_fingerprint) after the SO PIN, when not empty, was
// verified (its failure is returned).
uint32_t SKF_UnblockPIN(HAPPLICATION hApplication, const char* szAdminPIN, const char* szNewUserPIN,
                        uint32_t* pulRetryCount);
// Remote unblock: the caller's unblock data goes to the card as given.
uint32_t gm_remote_unblock_pin(HAPPLICATION hApplication, const uint8_t* pbData, uint32_t ulLength,
                               uint32_t* pulRetryCount);
// "UnblockPin_MS": the application id, then pbData as given: the SO side's
// response followed by the new user PIN in clear, in whatever format the
// card takes (the card, not the library, splits and checks it). Null or
// empty data: SAR_INVALIDPARAMERR; data beyond what one command of the device
// carries (its chunk size, less the 2-byte id): SAR_INDATALENERR; nothing is
// sent then. The card's reply body, if any, goes to pbReply (*pulReplyLen:
// capacity in, length out; both may be null to ignore it).
uint32_t gm_remote_unblock_pin_ms(HAPPLICATION hApplication, const uint8_t* pbData,
                                  uint32_t ulLength, uint8_t* pbReply, uint32_t* pulReplyLen,
                                  uint32_t* pulRetryCount);
// Sets a new user PIN (the SO must be logged in on the card); the PKCS#11
// layer's C_InitPIN. The new PIN travels wrapped under the 16 bytes of a
// fresh card challenge (challenge || 00 x 8), which are also the MAC's key
// and IV.
uint32_t gm_reload_user_pin(HAPPLICATION hApplication, const char* szNewUserPin);
// Logs the user out on the card and on the application object (the SO flag
// is kept).
uint32_t SKF_ClearSecureState(HAPPLICATION hApplication);

// The secure-messaging MAC callback of the PIN commands (cmd_device.h,
// sm_mac_function): the card computes the MAC over data under the 16-byte key
// from the 16-byte IV. In the reserved application and container (opened once
// per device handle and kept) it sets the key as an SM4 session key
// ("SetSessionKey", 0x401), then "MacInit" (padding type 0, feedback 0),
// "MacUpdate" in pieces of the chunk size and "MacFinal". The key and the
// data go to the card in clear: the card's protocol has no other form.
//
// The session key is destroyed on the card right after ("DestroySessionKey"):
// it is a PIN's key, which anyone who can reach the card could otherwise use.
// A card without room for another session key (6A84) gives up only a key of
// the reserved container, never one of another container (that one may be in
// the middle of an operation): none there, SAR_NO_ROOM.
//
// hDev must be a connected device (else SAR_INVALIDHANDLEERR); key, iv, a
// non-empty data and mac are required (else SAR_INVALIDPARAMERR, nothing
// sent). *mac_length: capacity in, MAC length out; a MAC longer than the
// capacity gives SAR_BUFFER_TOO_SMALL and its length. Takes no mutex: it runs
// inside a PIN function that holds it.
uint32_t gm_secure_messaging_mac(uint32_t hDev, const uint8_t* key, const uint8_t* iv,
                                 const uint8_t* data, uint32_t length, uint8_t* mac,
                                 uint32_t* mac_length);
