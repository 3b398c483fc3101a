// The token's work on its device: connecting and opening the application on
// demand, CK_TOKEN_INFO and its flags, login, the PIN functions, token
// initialisation and formatting with device authentication, and the direct
// device functions.
#include "pkcs11_token.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "pkcs11_config.h"
#include "pkcs11_device_rv.h"

#include <mbedtls/platform_util.h>

namespace {

constexpr size_t oem_info_size = 256;
constexpr size_t oem_user_pin_set = 1; // byte of the OEM area: a user PIN was set with C_InitPIN
constexpr size_t app_list_size = 1024;
constexpr uint32_t app_option_pkcs11 = 0x80002001;
constexpr uint32_t dev_auth_alg_sm4_ecb = 0x401;
constexpr uint32_t pin_max_length = 16; // the card's PIN key is one 16-byte block
// SKF_SetLabel takes labels shorter than 32 characters; C_InitToken's label
// has 32 (PKCS#11 v2.20 section 11.5: blank-padded, not NUL-terminated).
constexpr size_t label_max_length = 31;
constexpr uint32_t caps2_fingerprint = 0x2;

// Installed as the device-authentication key by every format.
constexpr uint8_t default_dev_auth_key[16] = {'7', '3', '5', '0', '9', '1', '4', '8',
                                              '2', '6', '0', '5', '7', '3', '1', '9'};

constexpr CK_FLAGS user_pin_flags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY |
                                    CKF_USER_PIN_LOCKED | CKF_USER_PIN_TO_BE_CHANGED;
constexpr CK_FLAGS so_pin_flags =
    CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED | CKF_SO_PIN_TO_BE_CHANGED;

// A PIN given with its length, as a NUL-terminated string for the device API.
// The caller has checked the length against the buffer. The copy is wiped
// when it goes out of scope.
template <size_t N> class pin_copy {
  public:
    pin_copy(const CK_UTF8CHAR* pin, CK_ULONG length) {
        if (pin != nullptr && length > 0)
            std::copy_n(reinterpret_cast<const char*>(pin), length, buffer_.data());
    }
    pin_copy(const pin_copy&) = delete;
    pin_copy& operator=(const pin_copy&) = delete;
    ~pin_copy() { mbedtls_platform_zeroize(buffer_.data(), buffer_.size()); }
    const char* data() const { return buffer_.data(); }

  private:
    std::array<char, N> buffer_{};
};

// Wipes a PIN-bearing record or buffer when it goes out of scope.
class wipe_on_exit {
  public:
    wipe_on_exit(void* p, size_t n) : p_(p), n_(n) {}
    wipe_on_exit(const wipe_on_exit&) = delete;
    wipe_on_exit& operator=(const wipe_on_exit&) = delete;
    ~wipe_on_exit() { mbedtls_platform_zeroize(p_, n_); }

  private:
    void* p_;
    size_t n_;
};

// Copies at most `field` bytes of a string (stopping at a NUL) into a
// zero-filled field of that size.
void put_field(char* dest, size_t dest_size, const char* src, size_t field) {
    std::fill_n(dest, dest_size, '\0');
    std::copy_n(src, strnlen(src, std::min(field, dest_size)), dest);
}

} // namespace

// ---- device and application ----

bool pkcs11_token::device_answers() {
    if (device_handle_ == 0) return true;
    return card_matches();
}

// The device layer reconnects by itself when a card is pulled and another one
// put into the same reader, so a handle alone cannot tell the cards apart:
// the card's raw hardware serial number, noted at the first connection, does.
// Another card in the reader is not this token's device.
bool pkcs11_token::card_matches() {
    uint8_t buffer[128];
    uint32_t length = sizeof buffer;
    if (gm_get_raw_hwsn(device_handle_, buffer, &length) != SAR_OK) return false;
    const std::vector<uint8_t> serial(buffer, buffer + std::min<size_t>(length, sizeof buffer));
    if (card_serial_.empty()) card_serial_ = serial;
    return serial == card_serial_;
}

CK_RV pkcs11_token::same_card() {
    if (device_handle_ == 0) return CKR_OK;
    return card_matches() ? CKR_OK : CKR_DEVICE_REMOVED;
}

void pkcs11_token::connect_on_demand() {
    if (device_handle_ != 0) return;
    DEVHANDLE h = 0;
    if (SKF_ConnectDev(device_name_.c_str(), &h) == SAR_OK) {
        device_handle_ = h;
        info_cached_ = false;
        (void)card_matches(); // notes the serial number of a first connection
    }
}

CK_RV pkcs11_token::token_open_device() {
    if (device_handle_ == 0 || !device_answers()) {
        if (device_handle_ != 0) {
            // The old connection is dead: drop it and what hung on it.
            if (application_ != 0) (void)SKF_CloseApplication(application_);
            application_ = 0;
            (void)SKF_DisConnectDev(device_handle_);
            device_handle_ = 0;
        }
        DEVHANDLE handle = 0;
        if (const uint32_t rv = SKF_ConnectDev(device_name_.c_str(), &handle); rv != SAR_OK)
            return rv;
        device_handle_ = handle;
        if (!card_matches()) return CKR_DEVICE_REMOVED; // another card took the reader
    }
    info_cached_ = false;
    return CKR_OK;
}

bool pkcs11_token::device_present() {
    return token_open_device() == CKR_OK && device_answers();
}

CK_RV pkcs11_token::token_close() {
    if (device_handle_ == 0) return CKR_OK;
    objects_.object_list_clear();
    if (application_ != 0) (void)SKF_CloseApplication(application_);
    application_ = 0;
    public_loaded_ = false;
    private_loaded_ = false;
    if (SKF_DisConnectDev(device_handle_) != SAR_OK) return CKR_DEVICE_ERROR;
    device_handle_ = 0;
    info_cached_ = false;
    return CKR_OK;
}

CK_RV pkcs11_token::open_application() {
    if (application_ != 0) return CKR_OK;
    connect_on_demand();
    char names[app_list_size] = {};
    uint32_t size = sizeof names - 1; // a final NUL stays whatever the device writes
    if (const uint32_t rv = SKF_EnumApplication(device_handle_, names, &size); rv != SAR_OK)
        return rv;
    // The list: names each followed by a NUL, ended by an empty name or the buffer's end.
    const std::string wanted = pkcs11_app_name();
    std::string first;
    std::string chosen;
    for (size_t pos = 0; pos < std::min<size_t>(size, sizeof names) && names[pos] != '\0';) {
        const std::string name(names + pos, strnlen(names + pos, sizeof names - pos));
        pos += name.size() + 1;
        if (name == gm_reserved_name) continue; // the card's own MAC application
        if (first.empty()) first = name;
        if (name == wanted) chosen = name;
    }
    if (first.empty()) return CKR_TOKEN_NOT_RECOGNIZED;
    if (chosen.empty()) chosen = first;
    HAPPLICATION app = 0;
    if (const uint32_t rv = SKF_OpenApplication(device_handle_, chosen.c_str(), &app); rv != SAR_OK)
        return rv;
    application_ = app;
    application_name_ = chosen.substr(0, pkcs11_app_name_size - 1);
    (void)gm_set_app_option(application_, app_option_pkcs11);
    return CKR_OK;
}

bool pkcs11_token::token_is_initialised(uint8_t* user_pin_set) {
    connect_on_demand();
    std::array<uint8_t, oem_info_size> oem{};
    uint32_t length = oem.size();
    if (gm_read_oem_info(device_handle_, 0, oem.size(), oem.data(), &length) != SAR_OK)
        return false;
    if (user_pin_set != nullptr)
        *user_pin_set = length > oem_user_pin_set ? oem[oem_user_pin_set] : 0;
    return open_application() != CKR_TOKEN_NOT_RECOGNIZED;
}

// ---- token information ----

CK_RV pkcs11_token::refresh_token_flags() {
    uint8_t user_pin_set = 0;
    // The state flags are the card's state now: cleared, then set from it.
    token_info_.flags &= ~(user_pin_flags | so_pin_flags | CKF_USER_PIN_INITIALIZED);
    if (!token_is_initialised(&user_pin_set)) {
        token_info_.flags &= ~CKF_TOKEN_INITIALIZED;
        return CKR_OK;
    }
    token_info_.flags |= CKF_TOKEN_INITIALIZED;
    if (user_pin_set != 0) token_info_.flags |= CKF_USER_PIN_INITIALIZED;
    for (const uint32_t type : {gm_pin_type_user, gm_pin_type_so}) {
        const bool user = type == gm_pin_type_user;
        uint32_t max = 0;
        uint32_t remaining = 0;
        uint32_t is_default = 0;
        if (SKF_GetPINInfo(application_, type, &max, &remaining, &is_default) != SAR_OK)
            return CKR_DEVICE_ERROR;
        if (remaining < max)
            token_info_.flags |= user ? CKF_USER_PIN_COUNT_LOW : CKF_SO_PIN_COUNT_LOW;
        if (remaining == 1)
            token_info_.flags |= user ? CKF_USER_PIN_FINAL_TRY : CKF_SO_PIN_FINAL_TRY;
        if (remaining == 0) token_info_.flags |= user ? CKF_USER_PIN_LOCKED : CKF_SO_PIN_LOCKED;
        if (is_default != 0)
            token_info_.flags |= user ? CKF_USER_PIN_TO_BE_CHANGED : CKF_SO_PIN_TO_BE_CHANGED;
    }
    DEVINFO info{};
    uint32_t caps1 = 0;
    uint32_t caps2 = 0;
    if (gm_get_dev_caps(device_handle_, &info, &caps1, &caps2) != SAR_OK) return CKR_DEVICE_ERROR;
    // With a fingerprint reader and an enrolled finger the user logs in on
    // the token itself (C_Login with no PIN).
    token_info_.flags &= ~CKF_PROTECTED_AUTHENTICATION_PATH;
    if ((caps2 & caps2_fingerprint) != 0 && fingerprint_enrolled())
        token_info_.flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    return CKR_OK;
}

CK_RV pkcs11_token::refresh_token_info() {
    // The cached path costs one exchange (is it still this card?). The PIN
    // flags follow the card without more: every PIN operation of this process
    // clears the cache, so the next call reads them again.
    if (info_cached_ && device_answers()) return CKR_OK;
    if (CK_RV rv = same_card(); rv != CKR_OK) return rv;
    connect_on_demand();
    DEVINFO dev{};
    if (const uint32_t rv = SKF_GetDevInfo(device_handle_, &dev); rv != SAR_OK) return rv;
    std::memcpy(token_info_.label, dev.Label, sizeof token_info_.label);
    std::memcpy(token_info_.manufacturerID, dev.Manufacturer, sizeof token_info_.manufacturerID);
    std::memcpy(token_info_.serialNumber, dev.SerialNumber, sizeof token_info_.serialNumber);
    token_info_.hardwareVersion = {dev.HWVersion.major, dev.HWVersion.minor};
    token_info_.firmwareVersion = {dev.FirmwareVersion.major, dev.FirmwareVersion.minor};
    token_info_.ulTotalPublicMemory = dev.TotalSpace;
    token_info_.ulTotalPrivateMemory = dev.TotalSpace;
    token_info_.ulFreePublicMemory = dev.FreeSpace;
    token_info_.ulFreePrivateMemory = dev.FreeSpace;
    (void)refresh_token_flags();
    if (token_info_.flags & CKF_TOKEN_INITIALIZED) {
        uint8_t min_len = 0;
        uint8_t max_len = 0;
        if (const uint32_t rv = gm_get_application_info(application_, &min_len, &max_len, nullptr,
                                                        nullptr, nullptr);
            rv != SAR_OK)
            return rv;
        token_info_.ulMinPinLen = min_len;
        token_info_.ulMaxPinLen = max_len;
    }
    info_cached_ = true;
    return CKR_OK;
}

CK_RV pkcs11_token::refresh_login_state() {
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    uint32_t state = 0;
    if (const uint32_t rv =
            gm_get_application_info(application_, nullptr, nullptr, nullptr, nullptr, &state);
        rv != SAR_OK)
        return rv;
    if (state == 0) login_type_ = login_type_nobody;
    return CKR_OK;
}

CK_RV pkcs11_token::get_user_pin_info(uint32_t user_type, user_pin_info* info) {
    if (info == nullptr) return CKR_OK;
    if (CK_RV rv = open_application(); rv != CKR_OK)
        return rv == CKR_TOKEN_NOT_RECOGNIZED ? rv : CKR_DEVICE_ERROR;
    uint32_t max = 0;
    uint32_t remaining = 0;
    uint32_t is_default = 0;
    if (SKF_GetPINInfo(application_, user_type, &max, &remaining, &is_default) != SAR_OK)
        return CKR_DEVICE_ERROR;
    const bool user = user_type == gm_pin_type_user;
    const CK_FLAGS mine = user ? user_pin_flags : so_pin_flags;
    token_info_.flags &= ~(mine & ~(CKF_USER_PIN_TO_BE_CHANGED | CKF_SO_PIN_TO_BE_CHANGED));
    *info = user_pin_info{};
    info->remaining_tries = remaining;
    info->maximum_tries = max;
    if (remaining < max) {
        info->count_low = 1;
        token_info_.flags |= user ? CKF_USER_PIN_COUNT_LOW : CKF_SO_PIN_COUNT_LOW;
    }
    if (remaining == 1) {
        info->final_try = 1;
        token_info_.flags |= user ? CKF_USER_PIN_FINAL_TRY : CKF_SO_PIN_FINAL_TRY;
    }
    if (remaining == 0) {
        info->locked = 1;
        token_info_.flags |= user ? CKF_USER_PIN_LOCKED : CKF_SO_PIN_LOCKED;
    }
    info->default_pin = is_default != 0 ? 1 : 0;
    return CKR_OK;
}

// ---- login and PINs ----

CK_RV pkcs11_token::pkcs11_token_login(uint32_t user_type, const CK_UTF8CHAR* pin,
                                       CK_ULONG length) {
    if (pin == nullptr && length != 0) return CKR_USER_TYPE_INVALID;
    if (length > pin_max_length) return CKR_PIN_LEN_RANGE;
    if (user_type == CKU_SO) {
        if (token_info_.ulSessionCount != token_info_.ulRwSessionCount)
            return CKR_SESSION_READ_ONLY_EXISTS;
        if (login_type_ == login_type_user) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
    } else if (user_type == CKU_USER) {
        (void)refresh_token_info();
        if ((token_info_.flags & CKF_USER_PIN_INITIALIZED) == 0)
            return CKR_USER_PIN_NOT_INITIALIZED;
        if (login_type_ == login_type_so) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
    } else if (user_type == CKU_CONTEXT_SPECIFIC) {
        // Re-authentication for one operation: the user must be logged in,
        // and stays logged in.
        if (login_type_ != login_type_user) return CKR_USER_NOT_LOGGED_IN;
    } else {
        return CKR_USER_TYPE_INVALID;
    }
    const auto buffer = pin_copy<pin_max_length + 1>(pin, length);
    if (CK_RV rv = same_card(); rv != CKR_OK) return rv;
    connect_on_demand();
    DEVINFO dev{};
    uint32_t caps1 = 0;
    uint32_t caps2 = 0;
    if (gm_get_dev_caps(device_handle_, &dev, &caps1, &caps2) != SAR_OK) return CKR_DEVICE_ERROR;
    const uint32_t card_type = user_type == CKU_SO ? gm_pin_type_so : gm_pin_type_user;
    // An empty PIN asks for the finger on the token's sensor.
    if (length == 0 && (caps2 & caps2_fingerprint) == 0) return CKR_PIN_INCORRECT;
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    if (length == 0) {
        const CK_RV rv = fingerprint_login(card_type);
        info_cached_ = false;
        if (rv == CKR_OK && user_type != CKU_CONTEXT_SPECIFIC)
            login_type_ = static_cast<int32_t>(user_type);
        return rv;
    }
    uint32_t retries = 0;
    const uint32_t rv = SKF_VerifyPIN(application_, card_type, buffer.data(), &retries);
    info_cached_ = false; // the tries left changed either way
    if (rv != SAR_OK) return ckr_from_sar(rv, sar_use::pin, retries);
    if (user_type != CKU_CONTEXT_SPECIFIC) login_type_ = static_cast<int32_t>(user_type);
    return CKR_OK;
}

CK_RV pkcs11_token::init_user_pin(const CK_UTF8CHAR* pin, CK_ULONG length) {
    if (length == 0 || length > pin_max_length) return CKR_PIN_LEN_RANGE;
    if (pin == nullptr) return CKR_ARGUMENTS_BAD;
    const auto buffer = pin_copy<pin_max_length + 1>(pin, length);
    if (CK_RV rv = same_card(); rv != CKR_OK) return rv;
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    info_cached_ = false;
    // The card refuses the reload while its SO is not logged in (6982).
    if (const uint32_t rv = gm_reload_user_pin(application_, buffer.data()); rv != SAR_OK)
        return rv == SAR_USER_NOT_LOGGED_IN ? CKR_USER_NOT_LOGGED_IN : rv;
    std::array<uint8_t, oem_info_size> oem{};
    uint32_t got = oem.size();
    if (const uint32_t rv = gm_read_oem_info(device_handle_, 0, oem.size(), oem.data(), &got);
        rv != SAR_OK)
        return rv;
    if (oem[oem_user_pin_set] == 0) {
        oem[oem_user_pin_set] = 1;
        if (const uint32_t rv = gm_write_oem_info(device_handle_, 0, oem.data(), oem.size());
            rv != SAR_OK)
            return rv;
    }
    token_info_.flags |= CKF_USER_PIN_INITIALIZED;
    return CKR_OK;
}

namespace {
CK_RV check_pin_pair(const CK_UTF8CHAR* old_pin, CK_ULONG old_length, const CK_UTF8CHAR* new_pin,
                     CK_ULONG new_length) {
    if (old_length < 4 || old_length > pin_max_length || new_length < 4 ||
        new_length > pin_max_length)
        return CKR_PIN_LEN_RANGE;
    if (old_pin == nullptr || new_pin == nullptr) return CKR_ARGUMENTS_BAD;
    return CKR_OK;
}
} // namespace

CK_RV pkcs11_token::change_user_pin(const CK_UTF8CHAR* old_pin, CK_ULONG old_length,
                                    const CK_UTF8CHAR* new_pin, CK_ULONG new_length) {
    if (CK_RV rv = check_pin_pair(old_pin, old_length, new_pin, new_length); rv != CKR_OK)
        return rv;
    const auto old_buffer = pin_copy<pin_max_length + 1>(old_pin, old_length);
    const auto new_buffer = pin_copy<pin_max_length + 1>(new_pin, new_length);
    if (CK_RV rv = same_card(); rv != CKR_OK) return rv;
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    // A locked user PIN can no longer be changed. As PKCS#11 clients do to
    // unblock a PIN (C_SetPIN with the unblocking code while nobody is logged
    // in), the old PIN is then taken as the SO PIN and the user PIN unblocked.
    uint32_t max = 0;
    uint32_t remaining = 1;
    if (login_type_ == login_type_nobody &&
        SKF_GetPINInfo(application_, gm_pin_type_user, &max, &remaining, nullptr) == SAR_OK &&
        remaining == 0)
        return unblock_user_pin(old_pin, old_length, new_pin, new_length);
    uint32_t retries = 1;
    const uint32_t rv = SKF_ChangePIN(application_, gm_pin_type_user, old_buffer.data(),
                                      new_buffer.data(), &retries);
    info_cached_ = false;
    return rv == SAR_OK ? CKR_OK : ckr_from_sar(rv, sar_use::pin, retries);
}

CK_RV pkcs11_token::change_so_pin(const CK_UTF8CHAR* old_pin, CK_ULONG old_length,
                                  const CK_UTF8CHAR* new_pin, CK_ULONG new_length) {
    if (CK_RV rv = check_pin_pair(old_pin, old_length, new_pin, new_length); rv != CKR_OK)
        return rv;
    const auto old_buffer = pin_copy<pin_max_length + 1>(old_pin, old_length);
    const auto new_buffer = pin_copy<pin_max_length + 1>(new_pin, new_length);
    if (CK_RV rv = same_card(); rv != CKR_OK) return rv;
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    uint32_t retries = 1;
    const uint32_t rv =
        SKF_ChangePIN(application_, gm_pin_type_so, old_buffer.data(), new_buffer.data(), &retries);
    info_cached_ = false;
    if (rv != SAR_OK) return ckr_from_sar(rv, sar_use::pin, retries);
    login_type_ = login_type_so; // the card verified the SO PIN
    return CKR_OK;
}

CK_RV pkcs11_token::unblock_user_pin(const CK_UTF8CHAR* so_pin, CK_ULONG so_length,
                                     const CK_UTF8CHAR* new_pin, CK_ULONG new_length) {
    // Both PINs are taken with the lengths given: PKCS#11 PINs carry no NUL.
    // An empty new PIN unblocks the user's fingerprint instead, on a token
    // that has a sensor.
    if (so_length == 0 || so_length > pin_max_length || new_length > pin_max_length)
        return CKR_PIN_LEN_RANGE;
    if (so_pin == nullptr || new_pin == nullptr) return CKR_ARGUMENTS_BAD;
    if (new_length == 0) {
        if (CK_RV rv = same_card(); rv != CKR_OK) return rv;
        connect_on_demand();
        if (!has_fingerprint_sensor()) return CKR_PIN_LEN_RANGE;
    }
    const auto so_buffer = pin_copy<pin_max_length + 1>(so_pin, so_length);
    const auto new_buffer = pin_copy<pin_max_length + 1>(new_pin, new_length);
    if (CK_RV rv = same_card(); rv != CKR_OK) return rv;
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    uint32_t retries = 1;
    const uint32_t rv = SKF_UnblockPIN(application_, so_buffer.data(), new_buffer.data(), &retries);
    info_cached_ = false;
    return rv == SAR_OK ? CKR_OK : ckr_from_sar(rv, sar_use::pin, retries);
}

CK_RV pkcs11_token::unblock_user_pin_ms(const CK_BYTE* data, CK_ULONG length, CK_BYTE* reply,
                                        CK_ULONG* retry_count) {
    if (data == nullptr) return CKR_ARGUMENTS_BAD;
    if (length > 0xFFFFFFFFul) return CKR_DATA_LEN_RANGE;
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    uint32_t retries = 1;
    // The card's reply goes to the caller's buffer, which has no length
    // argument: it is taken to hold unblock_ms_reply_max bytes, and only the
    // reply's own bytes are written.
    std::array<uint8_t, unblock_ms_reply_max> answer{};
    uint32_t answer_length = answer.size();
    uint32_t rv = gm_remote_unblock_pin_ms(application_, data, static_cast<uint32_t>(length),
                                           reply != nullptr ? answer.data() : nullptr,
                                           reply != nullptr ? &answer_length : nullptr, &retries);
    info_cached_ = false;
    // Unblocked, but the reply does not fit: not a wrong PIN.
    if (rv == SAR_BUFFER_TOO_SMALL) return CKR_BUFFER_TOO_SMALL;
    if (rv != SAR_OK) return ckr_from_sar(rv, sar_use::pin_response);
    if (reply != nullptr)
        std::memcpy(reply, answer.data(), std::min<size_t>(answer_length, answer.size()));
    if (retry_count != nullptr) *retry_count = retries;
    return CKR_OK;
}

CK_RV pkcs11_token::remote_unblock_user_pin(const CK_BYTE* data, CK_ULONG length) {
    if (data == nullptr) return CKR_ARGUMENTS_BAD;
    if (length > 0xFFFFFFFFul) return CKR_DATA_LEN_RANGE;
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    uint32_t retries = 1;
    const uint32_t rv =
        gm_remote_unblock_pin(application_, data, static_cast<uint32_t>(length), &retries);
    info_cached_ = false;
    if (rv != SAR_OK) return ckr_from_sar(rv, sar_use::pin_response);
    return CKR_OK;
}

// ---- initialisation ----

CK_RV pkcs11_token::init_token(const CK_UTF8CHAR* pin, CK_ULONG length, const CK_UTF8CHAR* label) {
    if (token_info_.ulSessionCount != 0) return CKR_SESSION_EXISTS;
    // The built-in template takes SO PINs of 4 to 16 bytes; checked before any copy.
    if (length < 4 || length > pin_max_length) return CKR_PIN_LEN_RANGE;
    if (pin == nullptr || label == nullptr) return CKR_ARGUMENTS_BAD;
    // The device API takes PINs as NUL-terminated text: a NUL inside would
    // give the card another SO PIN than the caller's (an empty one after the
    // format has erased the token). Refused before anything reaches the card.
    if (std::memchr(pin, '\0', length) != nullptr) return CKR_PIN_INVALID;
    const auto so_pin = pin_copy<pin_max_length + 1>(pin, length);
    if (CK_RV rv = same_card(); rv != CKR_OK) return rv;
    if (token_is_initialised()) {
        uint32_t retries = 1;
        if (const uint32_t rv =
                SKF_VerifyPIN(application_, gm_pin_type_so, so_pin.data(), &retries);
            rv != SAR_OK) {
            info_cached_ = false;
            return ckr_from_sar(rv, sar_use::pin, retries);
        }
    }
    token_format_info record{};
    const wipe_on_exit wipe_record(&record, sizeof record);
    put_field(record.label, sizeof record.label, "Oskarvel", 32);
    put_field(record.manufacturer, sizeof record.manufacturer, "Quessar", 32);
    put_field(record.model, sizeof record.model, "Quessar", 32);
    put_field(record.user_pin, sizeof record.user_pin, "58204716", 32);
    std::memcpy(record.so_pin, so_pin.data(), length);
    // The caller's label: 32 bytes, blank-padded, no NUL.
    std::memcpy(record.label, label, std::min(sizeof record.label, size_t{32}));
    record.user_pin_retry_count = 10;
    record.so_pin_retry_count = 10;
    record.user_pin_min_len = 4;
    record.user_pin_max_len = 16;
    record.so_pin_min_len = 4;
    record.so_pin_max_len = 16;
    if (CK_RV rv = format_token(record, length); rv != CKR_OK) return rv;
    uint32_t retries = 1;
    if (const uint32_t rv = SKF_VerifyPIN(application_, gm_pin_type_so, so_pin.data(), &retries);
        rv != SAR_OK)
        return ckr_from_sar(rv, sar_use::pin, retries);
    // PKCS#11 passes the label as 32 blank-padded characters; the card's
    // label holds 31 (SKF_SetLabel): the rest is cut, not refused, since the
    // token is already formatted and a failure now would report an erased
    // token as untouched.
    char text[label_max_length + 1] = {};
    std::memcpy(text, label, label_max_length);
    return set_token_label(text);
}

void pkcs11_token::token_drop_storage() {
    objects_.object_list_clear();
    if (application_ != 0) (void)SKF_CloseApplication(application_);
    application_ = 0;
    public_loaded_ = false;
    private_loaded_ = false;
}

CK_RV pkcs11_token::format_token(const token_format_info& record, size_t so_pin_length) {
    // Everything the new application's record could be refused for without
    // the card is checked before the format erases the token: the PIN
    // lengths here (the record takes 1 to 16 bytes each), the name below.
    const size_t user_length = strnlen(record.user_pin, sizeof record.user_pin);
    if (so_pin_length == 0 || so_pin_length > record.so_pin_max_len ||
        so_pin_length > pin_max_length || user_length == 0 ||
        user_length < record.user_pin_min_len || user_length > record.user_pin_max_len ||
        user_length > pin_max_length)
        return CKR_PIN_LEN_RANGE;
    if (CK_RV rv = same_card(); rv != CKR_OK) return rv;
    token_drop_storage();
    connect_on_demand();
    std::array<uint8_t, oem_info_size> oem{};
    uint32_t got = oem.size();
    if (const uint32_t rv = gm_read_oem_info(device_handle_, 0, oem.size(), oem.data(), &got);
        rv != SAR_OK)
        return rv;
    const bool has_application = open_application() != CKR_TOKEN_NOT_RECOGNIZED;
    // The application the token had keeps its name; a token without one
    // takes the configured name, which may be longer than the record holds.
    const std::string app_name = application_name_.empty() ? pkcs11_app_name() : application_name_;
    if (app_name.size() > gm_app_name_max) return SAR_NAMELENERR;
    if (has_application) {
        DEVINFO dev{};
        if (const uint32_t rv = SKF_GetDevInfo(device_handle_, &dev); rv != SAR_OK) return rv;
        put_field(dev.Manufacturer, sizeof dev.Manufacturer, record.manufacturer, 32);
        put_field(dev.Issuer, sizeof dev.Issuer, record.model, 32);
        put_field(dev.Label, sizeof dev.Label, record.label, 32);
        dev.DevAuthAlgId = dev_auth_alg_sm4_ecb;
        // The format wipes the applications: the open one goes first.
        token_drop_storage();
        if (const uint32_t rv = gm_format_device(device_handle_, &dev, default_dev_auth_key,
                                                 sizeof default_dev_auth_key, 8, 8, 0);
            rv != SAR_OK)
            return rv;
    }
    if (const CK_RV rv = device_authenticate(); rv != CKR_OK) return rv;
    application_name_ = app_name;
    char so_pin[pin_max_length + 1] = {};
    const wipe_on_exit wipe_so_pin(so_pin, sizeof so_pin);
    std::memcpy(so_pin, record.so_pin, so_pin_length);
    char user_pin[pin_max_length + 1] = {};
    const wipe_on_exit wipe_user_pin(user_pin, sizeof user_pin);
    std::memcpy(user_pin, record.user_pin, user_length);
    HAPPLICATION app = 0;
    if (const uint32_t rv = gm_create_application(
            device_handle_, application_name_.c_str(), so_pin, record.so_pin_retry_count, user_pin,
            record.user_pin_retry_count, 0xFF, record.user_pin_min_len, record.user_pin_max_len,
            record.so_pin_min_len, record.so_pin_max_len, &app);
        rv != SAR_OK)
        return rv;
    application_ = app;
    (void)gm_set_app_option(application_, app_option_pkcs11);
    // A new application starts without fingerprints: the old ones go and an
    // empty record (10 tries) is made; a token without a sensor refuses both.
    (void)gm_clean_fingerprints(device_handle_);
    (void)gm_create_fingerprint_record(application_, 10, 10, 1, 1);
    oem[oem_user_pin_set] = 0;
    if (const uint32_t rv = gm_write_oem_info(device_handle_, 0, oem.data(), oem.size());
        rv != SAR_OK)
        return rv;
    token_info_.flags |= CKF_TOKEN_INITIALIZED;
    token_info_.flags &= ~CKF_USER_PIN_INITIALIZED;
    login_type_ = login_type_nobody;
    info_cached_ = false;
    // The new application's change counter, so that other processes notice
    // the format.
    return containers_.cache_counter_create();
}

CK_RV pkcs11_token::device_authenticate() {
    connect_on_demand();
    // The card's challenge under the default key (SM4-ECB of challenge ||
    // 00 x 8), computed and wiped inside the device API.
    return gm_dev_auth_with_key(device_handle_, default_dev_auth_key, sizeof default_dev_auth_key);
}

// ---- direct device functions ----

CK_RV pkcs11_token::set_token_label(const char* label) {
    if (label == nullptr) return CKR_ARGUMENTS_BAD;
    std::string text(label, strnlen(label, 32));
    // Trailing blanks go, but never the first two characters (a one-letter
    // label padded with blanks keeps one blank).
    while (text.size() > 2 && text.back() == ' ')
        text.pop_back();
    info_cached_ = false;
    if (CK_RV rv = same_card(); rv != CKR_OK) return rv;
    connect_on_demand();
    return SKF_SetLabel(device_handle_, text.c_str());
}

CK_RV pkcs11_token::token_random(CK_BYTE* buffer, uint32_t length) {
    connect_on_demand();
    return SKF_GenRandom(device_handle_, buffer, length);
}

CK_RV pkcs11_token::write_sectors(uint32_t first, uint32_t count, CK_BYTE* data) {
    connect_on_demand();
    return gm_write_sectors(device_handle_, first, count, data);
}

CK_RV pkcs11_token::read_sectors(uint32_t first, uint32_t count, CK_BYTE* buffer) {
    connect_on_demand();
    return gm_read_sectors(device_handle_, first, count, buffer);
}

CK_RV pkcs11_token::get_file_info(const char* name, uint32_t* size, uint32_t* read_rights,
                                  uint32_t* write_rights) {
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    FILEATTRIBUTE attr{};
    if (const uint32_t rv = SKF_GetFileInfo(application_, name, &attr); rv != SAR_OK) return rv;
    if (size != nullptr) *size = attr.FileSize;
    if (read_rights != nullptr) *read_rights = attr.ReadRights;
    if (write_rights != nullptr) *write_rights = attr.WriteRights;
    return CKR_OK;
}

CK_RV pkcs11_token::file_create(const char* name, uint32_t size, uint32_t read_rights,
                                uint32_t write_rights) {
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    return SKF_CreateFile(application_, name, size, read_rights, write_rights);
}

CK_RV pkcs11_token::file_delete(const char* name) {
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    return SKF_DeleteFile(application_, name);
}

CK_RV pkcs11_token::file_write(const char* name, uint32_t offset, const CK_BYTE* data,
                               uint32_t size) {
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    return SKF_WriteFile(application_, name, offset, data, size);
}

CK_RV pkcs11_token::file_read(const char* name, uint32_t offset, uint32_t size, CK_BYTE* data,
                              uint32_t* length) {
    if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
    return SKF_ReadFile(application_, name, offset, size, data, length);
}

CK_RV pkcs11_token::dev_caps(uint32_t* caps1, uint32_t* caps2) {
    connect_on_demand();
    DEVINFO dev{};
    return gm_get_dev_caps(device_handle_, &dev, caps1, caps2) == SAR_OK ? CKR_OK
                                                                         : CKR_DEVICE_ERROR;
}
