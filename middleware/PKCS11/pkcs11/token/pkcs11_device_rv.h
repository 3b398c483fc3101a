// Device-API results (SAR_ codes) as PKCS#11 v2.20 return values: the one
// translation between the two, used by every PKCS#11 caller of the device
// API.
//
// The same device code says different things to PKCS#11 depending on what
// was asked of the card (a refused PIN, a signature that does not verify, a
// cipher input of the wrong length), so the caller names the use. Codes a
// use does not translate are passed through unchanged, as the module always
// did (SAR_OK is CKR_OK).
#pragma once

#include <cstdint>

#include "pkcs11.h"

enum class sar_use {
    general,      // everything passed through
    pin,          // a PIN check: the card's PIN verdicts; anything else a device error
    pin_response, // an unblock response checked against the card's: any refusal is a wrong PIN
    finger_start, // the start of an on-card finger verification
    digest,       // a digest computed on the card
    verify,       // a signature checked on the card
    cipher_init,  // a card cipher context set up with the mechanism's parameters
    encrypt,      // a card cipher step that encrypts
    decrypt,      // a card cipher step that decrypts
    store,        // an object written to the card
    private_key,  // a private-key operation on the card (sign, decrypt)
};

// retries_left (use pin): the tries the device API reported with a refused
// PIN; a refusal with none left is CKR_PIN_LOCKED.
CK_RV ckr_from_sar(uint32_t sar, sar_use use = sar_use::general, uint32_t retries_left = 1);
