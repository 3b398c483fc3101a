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

// Creates an application on a device authenticated with gm_dev_auth_with_key
// and opens it. The four PIN-length bounds go to the card in argument order
// (this card reads them as user minimum, user maximum, SO minimum, SO
// maximum). The two PINs never cross the reader's line in clear: under a
// fresh card challenge C, S = SM4-ECB(device authentication key, C || 00 x 8)
// enciphers each 16-byte PIN field (SM4-ECB), and the record carries the
// SM4-CBC-MAC under S (IV C || 00 x 8) of itself. A device not authenticated:
// SAR_INVALIDPARAMERR; authenticated with an outside cryptogram (SKF_DevAuth,
// no key held) or reset since: SAR_KEYNOTFOUNTERR, nothing sent.
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
// Verifies the PIN under a fresh card challenge. Success logs the PIN's type
// in on the application object (user or SO flag); *pulRetryCount is written
// only on failure. An accepted SO PIN leaves its secure-messaging key K(SO
// PIN) on the application object (for gm_reload_user_pin); a refused one
// drops it.
uint32_t gm_verify_pin(HAPPLICATION hApplication, uint32_t ulPINType, const char* szPIN,
                       uint32_t* pulRetryCount);
// Verifies the old PIN (which logs that PIN's type in: the SO flag for the SO
// PIN, the user flag for the user PIN), then sends the new PIN under secure
// messaging. For the SO PIN the application object keeps K of the PIN the
// card now holds.
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
// "UnblockPin_MS": pbData is the 16-byte response R = SM4-ECB(K(SO PIN),
// challenge || 00 x 8), computed by the SO's side over the challenge of this
// device handle's last SKF_GenRandom, followed by the new user PIN (1 to 16
// bytes). R is the secure-messaging key: the card gets the new PIN wrapped
// under R and its MAC (IV challenge || 00 x 8), and computes R itself; R is
// never sent. No such challenge known: SAR_FAIL, nothing sent. The card's
// reply body, if any, goes to pbReply (*pulReplyLen: capacity in, length
// out; both may be null to ignore it).
uint32_t gm_remote_unblock_pin_ms(HAPPLICATION hApplication, const uint8_t* pbData,
                                  uint32_t ulLength, uint8_t* pbReply, uint32_t* pulReplyLen,
                                  uint32_t* pulRetryCount);
// Sets a new user PIN (the SO must be logged in on the card); the PKCS#11
// layer's C_InitPIN. The new PIN travels under S = SM4-ECB(K(SO PIN),
// challenge || 00 x 8), which only the card and the SO PIN holder can make:
// without a K(SO PIN) from this library's SO verification on this
// application object, SAR_USER_NOT_LOGGED_IN and nothing is sent.
uint32_t gm_reload_user_pin(HAPPLICATION hApplication, const char* szNewUserPin);
// Logs the user out on the card and on the application object (the SO flag
// is kept; the held K(SO PIN) is wiped, the card logs the SO out too).
uint32_t SKF_ClearSecureState(HAPPLICATION hApplication);
// Wipes the application object's K(SO PIN) (the PKCS#11 layer's logout,
// which leaves the card as it is). Sends nothing.
uint32_t gm_forget_so_pin_key(HAPPLICATION hApplication);

// The secure-messaging MAC callback of the PIN commands (cmd_device.h,
// sm_mac_function): the SM4-CBC-MAC the card checks (16-byte key and IV,
// ISO/IEC 9797-1 padding method 2, the last cipher block), computed in the
// library so that neither the PIN key nor the new PIN is sent to the card in
// clear. Sends nothing. hDev must be a connected device (else
// SAR_INVALIDHANDLEERR); data may not be null. *mac_length: capacity in,
// MAC length (16) out; a capacity under 16 gives SAR_BUFFER_TOO_SMALL and
// the size needed. Takes no mutex: it runs inside a PIN function that holds
// it.
uint32_t gm_secure_messaging_mac(uint32_t hDev, const uint8_t* key, const uint8_t* iv,
                                 const uint8_t* data, uint32_t length, uint8_t* mac,
                                 uint32_t* mac_length);
