// The token's steps behind two vendor functions that go straight to the
// device API: the application information and the inquiry string.
#include <algorithm>
#include <cstring>

#include "gm_app_pin.h"
#include "pkcs11_token.h"

namespace {
constexpr size_t application_name_field = 64;
} // namespace

CK_RV pkcs11_token::application_info(char* name, CK_BYTE* b0, CK_BYTE* b1, CK_BYTE* b2, CK_BYTE* b3,
                                     unsigned int* value) {
    // Opened first, so that the name handed out is the one of the
    // application the information comes from (also on the first call).
    const CK_RV opened = open_application();
    if (name != nullptr) {
        std::memset(name, 0, application_name_field);
        std::memcpy(name, application_name_.data(),
                    std::min(application_name_.size(), application_name_field - 1));
    }
    if (opened != CKR_OK) return opened;
    uint32_t word = 0;
    const uint32_t rv = gm_get_application_info(application_, b0, b1, b2, b3, &word);
    if (rv == SAR_OK && value != nullptr) *value = word;
    return rv;
}

CK_RV pkcs11_token::set_inquiry_string(const char* vendor, const char* product) {
    if (CK_RV rv = token_open_device(); rv != CKR_OK) return rv;
    return gm_set_inq_string(device_handle_, vendor, product);
}
