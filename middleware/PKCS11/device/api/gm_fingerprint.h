// Device API: the token's fingerprint sensor. The card verifies the finger
// itself: the host starts a verification and polls for its result, which
// logs the user in as a PIN verification does. PIN type 0 is the security
// officer's, 1 the user's; it goes to the card as given.
//
// Waits (a busy sensor at start, a finger not yet given while polling) happen
// without the device mutex, so other callers reach the token in between, and
// they are bounded by the fingerprint time-out: a sensor that never answers
// ends the verification with SAR_TIMEOUTERR.
#pragma once

#include <cstdint>

#include "gm_types.h"

inline constexpr uint32_t SAR_TIMEOUTERR = 0x0A00000F;

// How long a fingerprint verification may wait for the sensor, in
// milliseconds (default 30 s). Tests shorten it.
inline constexpr uint32_t gm_fingerprint_timeout_default = 30000;
void gm_set_fingerprint_timeout(uint32_t milliseconds);
uint32_t gm_fingerprint_timeout();

// Creates the application's fingerprint record; the four values are the
// card's (each sent as one byte).
uint32_t gm_create_fingerprint_record(HAPPLICATION hApplication, uint32_t ulParam1,
                                      uint32_t ulParam2, uint32_t ulParam3, uint32_t ulParam4);
// Starts an on-card verification; while the sensor is busy (6F0D) the start
// is sent again every 300 ms (the device mutex released in between).
uint32_t gm_start_fingerprint_verify(HAPPLICATION hApplication, uint32_t ulPINType);
// Asks for the result of the verification started: 0 when the finger matched
// (the application is logged in for the PIN type, *pulFinger the card's
// finger index); GM_FINGERPRINT_PENDING while no finger was given; a
// mismatch: SAR_PIN_INCORRECT, or SAR_PIN_LOCKED when no try is left, with
// the tries left in *pulRetryCount. Outputs may be null.
uint32_t gm_poll_fingerprint_verify(HAPPLICATION hApplication, uint32_t ulPINType,
                                    uint32_t* pulFinger, uint32_t* pulRetryCount);
// The card's fingerprint information: four integers (the fourth: tries left,
// 0 blocked) and a data block. *pulLength below the block's length: the
// length and SAR_BUFFER_TOO_SMALL, nothing else written; else the integers,
// the block (when pbBuffer is not null) and its length. Integer outputs may
// be null.
uint32_t gm_get_fingerprint_info(HAPPLICATION hApplication, uint32_t ulPINType, uint32_t* pul1,
                                 uint32_t* pul2, uint32_t* pul3, uint32_t* pulTriesLeft,
                                 uint8_t* pbBuffer, uint32_t* pulLength);
// Removes every fingerprint of the device.
uint32_t gm_clean_fingerprints(DEVHANDLE hDev);
// Restores the fingerprint's tries (the card wants the SO PIN verified).
uint32_t gm_unblock_fingerprint(HAPPLICATION hApplication, uint32_t ulPINType);
// The whole verification (SKF_VerifyPIN with an empty PIN): no try left:
// SAR_PIN_LOCKED without a start; else start, poll every 200 ms while the
// finger is pending, and on a failure report the tries left read afresh.
// *pulRetryCount is written only on failure.
uint32_t gm_verify_fingerprint(HAPPLICATION hApplication, uint32_t ulPINType,
                               uint32_t* pulRetryCount);
