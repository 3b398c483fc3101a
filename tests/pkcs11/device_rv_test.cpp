// Device-API results as PKCS#11 return values: each translated code per use,
// and codes a use does not translate passed through unchanged.
#include <gtest/gtest.h>

#include <string>

#include "gm_app_pin.h"
#include "gm_fingerprint.h"
#include "gm_symmetric.h"
#include "gm_types.h"
#include "pkcs11_device_rv.h"

namespace {

struct rv_case {
    const char* name;
    uint32_t sar;
    sar_use use;
    uint32_t retries;
    CK_RV expected;
};

class device_rv : public ::testing::TestWithParam<rv_case> {};

TEST_P(device_rv, translates) {
    const rv_case& c = GetParam();
    EXPECT_EQ(ckr_from_sar(c.sar, c.use, c.retries), c.expected);
}

const rv_case rv_cases[] = {
    {"ok_is_ok_for_every_use", SAR_OK, sar_use::pin, 0, CKR_OK},
    {"general_passes_through", SAR_FILE_NOT_EXIST, sar_use::general, 1, SAR_FILE_NOT_EXIST},
    {"general_passes_a_card_word_through", 0x6A82, sar_use::general, 1, 0x6A82},
    {"pin_incorrect", SAR_PIN_INCORRECT, sar_use::pin, 2, CKR_PIN_INCORRECT},
    {"pin_incorrect_no_try_left", SAR_PIN_INCORRECT, sar_use::pin, 0, CKR_PIN_LOCKED},
    {"pin_locked", SAR_PIN_LOCKED, sar_use::pin, 1, CKR_PIN_LOCKED},
    {"pin_len_range", SAR_PIN_LEN_RANGE, sar_use::pin, 1, CKR_PIN_LEN_RANGE},
    {"pin_device_removed", SAR_DEVICE_REMOVED, sar_use::pin, 1, CKR_DEVICE_REMOVED},
    {"pin_transport_failure_is_device_error", 0x8003, sar_use::pin, 1, CKR_DEVICE_ERROR},
    {"response_locked_is_wrong_pin", SAR_PIN_LOCKED, sar_use::pin_response, 1, CKR_PIN_INCORRECT},
    {"response_other_is_device_error", SAR_FAIL, sar_use::pin_response, 1, CKR_DEVICE_ERROR},
    {"finger_start_timeout", SAR_TIMEOUTERR, sar_use::finger_start, 1, CKR_FUNCTION_CANCELED},
    {"finger_start_other", SAR_FAIL, sar_use::finger_start, 1, CKR_CANCEL},
    {"digest_buffer_too_small", SAR_BUFFER_TOO_SMALL, sar_use::digest, 1, CKR_BUFFER_TOO_SMALL},
    {"digest_passes_through", SAR_FAIL, sar_use::digest, 1, SAR_FAIL},
    {"verify_hash_not_equal", SAR_HASHNOTEQUALERR, sar_use::verify, 1, CKR_SIGNATURE_INVALID},
    {"verify_passes_through", SAR_KEYNOTFOUNTERR, sar_use::verify, 1, SAR_KEYNOTFOUNTERR},
    {"cipher_init_bad_parameter", SAR_INVALIDPARAMERR, sar_use::cipher_init, 1,
     CKR_MECHANISM_PARAM_INVALID},
    {"encrypt_length", SAR_INDATALENERR, sar_use::encrypt, 1, CKR_DATA_LEN_RANGE},
    {"decrypt_length", SAR_INDATALENERR, sar_use::decrypt, 1, CKR_ENCRYPTED_DATA_LEN_RANGE},
    {"decrypt_bad_padding", SAR_INDATAERR, sar_use::decrypt, 1, CKR_ENCRYPTED_DATA_INVALID},
    {"encrypt_bad_data_passes_through", SAR_INDATAERR, sar_use::encrypt, 1, SAR_INDATAERR},
    {"cipher_not_initialised", SAR_NOTINITIALIZEERR, sar_use::decrypt, 1,
     CKR_OPERATION_NOT_INITIALIZED},
    {"store_not_logged_in", SAR_USER_NOT_LOGGED_IN, sar_use::store, 1, CKR_USER_NOT_LOGGED_IN},
    {"store_passes_through", SAR_NO_ROOM, sar_use::store, 1, SAR_NO_ROOM},
};

INSTANTIATE_TEST_SUITE_P(sar, device_rv, ::testing::ValuesIn(rv_cases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
