// The token's fingerprint sensor: CKF_PROTECTED_AUTHENTICATION_PATH and the
// login without a PIN.
#include <array>
#include <chrono>
#include <thread>

#include "pkcs11_device_rv.h"
#include "pkcs11_token.h"

namespace {

constexpr uint32_t poll_interval_ms = 200;
constexpr size_t fingerprint_record_size = 10;
constexpr uint32_t caps2_fingerprint =
    0x2; // second capability word: the token has a fingerprint sensor

} // namespace

bool pkcs11_token::has_fingerprint_sensor() {
    DEVINFO info{};
    uint32_t caps1 = 0;
    uint32_t caps2 = 0;
    return gm_get_dev_caps(device_handle_, &info, &caps1, &caps2) == SAR_OK &&
           (caps2 & caps2_fingerprint) != 0;
}

bool pkcs11_token::fingerprint_enrolled() {
    std::array<uint8_t, fingerprint_record_size> record{};
    uint32_t length = record.size();
    uint32_t present = 0;
    if (gm_get_fingerprint_info(application_, gm_pin_type_user, &present, nullptr, nullptr, nullptr,
                                record.data(), &length) != SAR_OK)
        return false;
    if (present != 1) return false;
    for (uint32_t i = 0; i < length && i < record.size(); ++i)
        if (record[i] != 0) return true;
    return false;
}

// Starts the on-card verification and polls for its end. It runs under the
// library lock (other exports wait) but never holds the device mutex across
// a wait, and it gives up after the device API's fingerprint time-out.
CK_RV pkcs11_token::fingerprint_login(uint32_t card_pin_type) {
    const uint32_t started = gm_start_fingerprint_verify(application_, card_pin_type);
    if (started != SAR_OK) return ckr_from_sar(started, sar_use::finger_start);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(gm_fingerprint_timeout());
    for (;;) {
        uint32_t retry = 0;
        const uint32_t rv =
            gm_poll_fingerprint_verify(application_, card_pin_type, nullptr, &retry);
        if (rv == SAR_OK) return CKR_OK;
        // The card's verdict on the finger is a PIN verdict; anything else
        // is the device's failure, never "wrong PIN".
        if (rv != GM_FINGERPRINT_PENDING) return ckr_from_sar(rv, sar_use::pin, retry);
        if (std::chrono::steady_clock::now() + std::chrono::milliseconds(poll_interval_ms) >
            deadline)
            return CKR_FUNCTION_CANCELED;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_interval_ms));
    }
}
