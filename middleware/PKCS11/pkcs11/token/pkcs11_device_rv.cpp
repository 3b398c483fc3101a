#include "pkcs11_device_rv.h"

#include "gm_app_pin.h"
#include "gm_fingerprint.h"
#include "gm_symmetric.h"
#include "gm_types.h"

namespace {

// Only the card's PIN verdicts become PIN_INCORRECT / PIN_LOCKED: a device
// that went away or a transport failure is a device error, never "wrong PIN".
CK_RV pin_rv(uint32_t sar, uint32_t retries_left) {
    switch (sar) {
    case SAR_OK:
        return CKR_OK;
    case SAR_PIN_INCORRECT:
        return retries_left == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
    case SAR_PIN_LOCKED:
        return CKR_PIN_LOCKED;
    case SAR_PIN_LEN_RANGE:
        return CKR_PIN_LEN_RANGE;
    case SAR_DEVICE_REMOVED:
        return CKR_DEVICE_REMOVED;
    default:
        return CKR_DEVICE_ERROR;
    }
}

// The size, length and padding refusals of the cipher steps get their
// PKCS#11 codes.
CK_RV cipher_rv(uint32_t sar, bool encrypt) {
    switch (sar) {
    case SAR_BUFFER_TOO_SMALL:
        return CKR_BUFFER_TOO_SMALL;
    case SAR_INVALIDPARAMERR:
        return encrypt ? CKR_DATA_LEN_RANGE : sar;
    case SAR_INDATALENERR:
        return encrypt ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
    case SAR_INDATAERR:
        return encrypt ? sar : CKR_ENCRYPTED_DATA_INVALID; // bad padding
    case SAR_NOTINITIALIZEERR:
        return CKR_OPERATION_NOT_INITIALIZED;
    default:
        return sar;
    }
}

} // namespace

CK_RV ckr_from_sar(uint32_t sar, sar_use use, uint32_t retries_left) {
    if (sar == SAR_OK) return CKR_OK;
    switch (use) {
    case sar_use::general:
        return sar;
    case sar_use::pin:
        return pin_rv(sar, retries_left);
    case sar_use::pin_response:
        return sar == SAR_PIN_LOCKED || sar == SAR_PIN_INCORRECT ? CKR_PIN_INCORRECT
                                                                 : pin_rv(sar, 1);
    case sar_use::finger_start:
        if (sar == SAR_TIMEOUTERR) return CKR_FUNCTION_CANCELED;
        // A finger with no try left is refused at the start already.
        if (sar == SAR_PIN_LOCKED) return CKR_PIN_LOCKED;
        if (sar == SAR_DEVICE_REMOVED) return CKR_DEVICE_REMOVED;
        return CKR_CANCEL;
    case sar_use::digest:
        return sar == SAR_BUFFER_TOO_SMALL ? CKR_BUFFER_TOO_SMALL : sar;
    // The card's "hash not equal" is a signature that does not verify.
    case sar_use::verify:
        return sar == SAR_HASHNOTEQUALERR ? CKR_SIGNATURE_INVALID : sar;
    case sar_use::cipher_init:
        return sar == SAR_INVALIDPARAMERR ? CKR_MECHANISM_PARAM_INVALID : sar;
    case sar_use::encrypt:
        return cipher_rv(sar, true);
    case sar_use::decrypt:
        return cipher_rv(sar, false);
    // The card writes containers for the logged-in user only. PKCS#11 v2.20
    // names that refusal CKR_USER_NOT_LOGGED_IN, which clients act on (NSS
    // logs in and stores the certificate again).
    case sar_use::store:
        return sar == SAR_USER_NOT_LOGGED_IN ? CKR_USER_NOT_LOGGED_IN : sar;
    // The card forgot the login (another application reset it, it lost
    // power): PKCS#11 v2.20 answers CKR_USER_NOT_LOGGED_IN, and the
    // application logs in again.
    case sar_use::private_key:
        return sar == SAR_USER_NOT_LOGGED_IN ? CKR_USER_NOT_LOGGED_IN : sar;
    }
    return sar;
}
