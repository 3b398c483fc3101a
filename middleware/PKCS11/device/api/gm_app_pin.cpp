// Device API: applications, PINs and the secure-messaging MAC.
#include "gm_app_pin.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include <mbedtls/platform_util.h>

#include "byte_order.h"
#include "cmd_app_file.h"
#include "cmd_crypto.h"
#include "cmd_device.h"
#include "gm_fingerprint.h"
#include "gm_frame.h"
#include "gm_handles.h"
#include "sm_wrap.h"
#include "transport.h"

namespace {

// The application name list is bounded: the card sends it in pieces of at
// most 2046 bytes, and a list that would not fit is refused, not appended.
constexpr uint32_t app_list_max = 4096;
constexpr size_t app_record_size = 84;
constexpr size_t app_record_so_pin = 32;   // offset of the SO PIN field
constexpr size_t app_record_user_pin = 52; // offset of the user PIN field

// The secure-messaging MAC: SM4 (ECB, GM/T 0006) session keys of 16 bytes,
// and the reply space of MacFinal.
constexpr uint32_t sm_mac_algorithm = 0x401;
constexpr uint32_t sm_mac_key_length = 16;
constexpr uint32_t mac_final_reply = 512;

using challenge_t = std::array<uint8_t, sm_challenge_size>;
using block16_t = std::array<uint8_t, sm_iv_size>;

// Strings bounded before strlen walks them.
size_t bounded_length(const char* text, size_t limit) {
    return text ? strnlen(text, limit + 1) : 0;
}

uint32_t check_pin(const char* pin) {
    if (pin == nullptr) return SAR_INVALIDPARAMERR;
    const size_t n = bounded_length(pin, gm_pin_max_length);
    if (n == 0 || n > gm_pin_max_length) return SAR_PIN_LEN_RANGE;
    return SAR_OK;
}

uint32_t take_challenge(device_id device, challenge_t& challenge) {
    return gm_wrapper_error(
        cmd_gen_random(device, challenge.data(), static_cast<uint32_t>(challenge.size())));
}

// The 16 bytes of an 8-byte challenge: the challenge followed by eight zero
// bytes (the secure-messaging IV, and ReloadPin's key).
block16_t challenge_block(const challenge_t& challenge) {
    block16_t block{};
    std::copy(challenge.begin(), challenge.end(), block.begin());
    return block;
}

// A refused PIN command: 63Cx reports x tries left (ISO 7816-4 "counter"
// warning); x = 0 means the PIN is now blocked.
uint32_t pin_refusal(const cmd_result& wrapper_result, uint32_t* retry) {
    if (wrapper_result == cmd_bad_status) {
        const gm_verify_status status = gm_read_verify_status(wrapper_result.status_word);
        if (status.counter) {
            if (retry) *retry = status.tries;
            return status.code;
        }
    }
    return gm_wrapper_error(wrapper_result);
}

// The result of a PIN command that carries a MAC: the MAC function's own code
// when it could not compute one, else the card's refusal.
uint32_t sm_pin_failure(const cmd_result& wrapper_result, uint32_t mac_error, uint32_t* retry) {
    if (retry) *retry = 0;
    if (wrapper_result == cmd_mac_failed) return mac_error != SAR_OK ? mac_error : SAR_FAIL;
    return pin_refusal(wrapper_result, retry);
}

uint16_t app_id16(const gm_sc_app* app) {
    return static_cast<uint16_t>(app->app_id);
}

void set_login_flag(gm_sc_app* app, uint32_t pin_type) {
    if (pin_type == gm_pin_type_user)
        app->user_logged_in = 1;
    else
        app->so_logged_in = 1;
}

uint32_t open_application_locked(gm_sc_dev* dev, const char* name, HAPPLICATION* phApplication) {
    uint8_t reply[gm_open_app_reply_size] = {};
    uint32_t size = sizeof reply;
    if (const cmd_result rc = cmd_open_application(dev->device, name, reply, &size); rc != cmd_ok)
        return gm_wrapper_error(rc);
    // The wrapper guarantees all 10 bytes; anything else made no handle above.
    gm_sc_app* app = dev->add_app(reply, name);
    if (app == nullptr) return SAR_MEMORYERR;
    *phApplication = app->handle();
    return SAR_OK;
}

} // namespace

uint32_t SKF_EnumApplication(DEVHANDLE hDev, char* szAppName, uint32_t* pulSize) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || !dev->open_flag || pulSize == nullptr) return SAR_INVALIDPARAMERR;
        std::vector<uint8_t> list(app_list_max);
        uint32_t size = app_list_max;
        const cmd_result rc = cmd_enum_application_all(dev->device, list.data(), &size);
        // A list larger than the bound (or one that never ends) is a failure;
        // nothing was written past the work buffer.
        if (rc == cmd_bad_length || rc.status_word == sw_more_data) return SAR_FAIL;
        if (rc != cmd_ok) return gm_wrapper_error(rc);
        return gm_copy_out(list.data(), size, szAppName, pulSize);
    });
}

uint32_t SKF_OpenApplication(DEVHANDLE hDev, const char* szAppName, HAPPLICATION* phApplication) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || !dev->open_flag || szAppName == nullptr || szAppName[0] == '\0' ||
            phApplication == nullptr)
            return SAR_INVALIDPARAMERR;
        if (bounded_length(szAppName, gm_app_name_max) > gm_app_name_max) return SAR_NAMELENERR;
        return open_application_locked(dev, szAppName, phApplication);
    });
}

uint32_t SKF_CloseApplication(HAPPLICATION hApplication) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (const cmd_result rc = cmd_close_application(ref.dev->device, app_id16(ref.app));
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        (void)ref.dev->remove_app(ref.app);
        return SAR_OK;
    });
}

uint32_t gm_create_application(DEVHANDLE hDev, const char* szAppName, const char* szAdminPin,
                               uint32_t dwAdminPinRetryCount, const char* szUserPin,
                               uint32_t dwUserPinRetryCount, uint32_t dwCreateFileRights,
                               uint8_t bPinBound1, uint8_t bPinBound2, uint8_t bPinBound3,
                               uint8_t bPinBound4, HAPPLICATION* phApplication) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || !dev->open_flag || !dev->authenticated) return SAR_INVALIDPARAMERR;
        if (szAppName == nullptr || szAppName[0] == '\0' || phApplication == nullptr)
            return SAR_INVALIDPARAMERR;
        // A name or PIN that does not fit its field is refused rather than
        // cut: a cut PIN would not be the PIN the caller knows, and a cut name
        // could not be opened by the name given.
        if (bounded_length(szAppName, gm_app_name_max) > gm_app_name_max) return SAR_NAMELENERR;
        if (const uint32_t rv = check_pin(szAdminPin); rv != SAR_OK) return rv;
        if (const uint32_t rv = check_pin(szUserPin); rv != SAR_OK) return rv;

        // GM/T 0016 application record of the card: name 32, SO PIN 16, SO
        // tries (BE), user PIN 16, user tries (BE), create-file rights (LE),
        // 4 zero bytes, the four PIN-length bounds. The card's protocol takes
        // both PINs in clear here.
        std::array<uint8_t, app_record_size> record{};
        // The record carries both PINs: wiped whatever the outcome.
        struct wipe_record {
            std::array<uint8_t, app_record_size>& r;
            ~wipe_record() { mbedtls_platform_zeroize(r.data(), r.size()); }
        } const wipe{record};
        std::memcpy(record.data(), szAppName, strlen(szAppName));
        std::memcpy(record.data() + app_record_so_pin, szAdminPin, strlen(szAdminPin));
        put_be32(dwAdminPinRetryCount, record.data() + 48);
        std::memcpy(record.data() + app_record_user_pin, szUserPin, strlen(szUserPin));
        put_be32(dwUserPinRetryCount, record.data() + 68);
        put_le32(dwCreateFileRights, record.data() + 72);
        record[80] = bPinBound1;
        record[81] = bPinBound2;
        record[82] = bPinBound3;
        record[83] = bPinBound4;
        if (const cmd_result rc = cmd_create_application(dev->device, record.data(),
                                                         static_cast<uint32_t>(record.size()));
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        return open_application_locked(dev, szAppName, phApplication);
    });
}

uint32_t gm_get_application_info(HAPPLICATION hApplication, uint8_t* pb0, uint8_t* pb1,
                                 uint8_t* pb2, uint8_t* pb3, uint32_t* pulValue) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        uint8_t reply[cmd_app_extended_info_reply] = {};
        uint32_t size = sizeof reply;
        if (const cmd_result rc =
                cmd_get_app_extened_info(ref.dev->device, app_id16(ref.app), reply, &size);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        if (pb0) *pb0 = reply[0];
        if (pb1) *pb1 = reply[1];
        if (pb2) *pb2 = reply[2];
        if (pb3) *pb3 = reply[3];
        if (pulValue) *pulValue = get_le32(reply + 4); // as the card stores it
        return SAR_OK;
    });
}

uint32_t SKF_GetPINInfo(HAPPLICATION hApplication, uint32_t ulPINType, uint32_t* pulMaxRetryCount,
                        uint32_t* pulRemainRetryCount, uint32_t* pbDefaultPin) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (ulPINType > gm_pin_type_user || pulMaxRetryCount == nullptr ||
            pulRemainRetryCount == nullptr)
            return SAR_INVALIDPARAMERR;
        uint8_t max = 0, left = 0, is_default = 0;
        if (const cmd_result rc = cmd_get_pin_info(ref.dev->device, static_cast<uint8_t>(ulPINType),
                                                   app_id16(ref.app), &max, &left, &is_default);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        *pulMaxRetryCount = max;
        *pulRemainRetryCount = left;
        if (pbDefaultPin) *pbDefaultPin = is_default;
        return SAR_OK;
    });
}

uint32_t SKF_VerifyPIN(HAPPLICATION hApplication, uint32_t ulPINType, const char* szPIN,
                       uint32_t* pulRetryCount) {
    if (szPIN != nullptr && szPIN[0] != '\0')
        return gm_verify_pin(hApplication, ulPINType, szPIN, pulRetryCount);
    return gm_verify_fingerprint(hApplication, ulPINType, pulRetryCount);
}

uint32_t gm_verify_pin(HAPPLICATION hApplication, uint32_t ulPINType, const char* szPIN,
                       uint32_t* pulRetryCount) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (ulPINType > gm_pin_type_user) return SAR_INVALIDPARAMERR;
        if (const uint32_t rv = check_pin(szPIN); rv != SAR_OK) return rv;
        challenge_t challenge{};
        if (const uint32_t rv = take_challenge(ref.dev->device, challenge); rv != SAR_OK) return rv;
        if (const cmd_result rc =
                cmd_verify_pin(ref.dev->device, challenge, static_cast<uint8_t>(ulPINType),
                               app_id16(ref.app), szPIN);
            rc != cmd_ok) {
            if (pulRetryCount) *pulRetryCount = 0;
            return pin_refusal(rc, pulRetryCount);
        }
        set_login_flag(ref.app, ulPINType);
        return SAR_OK;
    });
}

uint32_t SKF_ChangePIN(HAPPLICATION hApplication, uint32_t ulPINType, const char* szOldPin,
                       const char* szNewPin, uint32_t* pulRetryCount) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (ulPINType > gm_pin_type_user) return SAR_INVALIDPARAMERR;
        if (const uint32_t rv = check_pin(szOldPin); rv != SAR_OK) return rv;
        if (const uint32_t rv = check_pin(szNewPin); rv != SAR_OK) return rv;
        const device_id device = ref.dev->device;
        const auto type = static_cast<uint8_t>(ulPINType);

        challenge_t challenge{};
        if (const uint32_t rv = take_challenge(device, challenge); rv != SAR_OK) return rv;
        if (const cmd_result rc =
                cmd_verify_pin(device, challenge, type, app_id16(ref.app), szOldPin);
            rc != cmd_ok)
            return pin_refusal(rc, pulRetryCount);
        // The old PIN was verified: that PIN's holder is logged in. Only the
        // flag of that PIN type is set; an SO PIN change must not open the
        // user's objects.
        set_login_flag(ref.app, ulPINType);

        if (const uint32_t rv = take_challenge(device, challenge); rv != SAR_OK) return rv;
        const sm_mac_callback mac{gm_secure_messaging_mac, ref.dev->handle()};
        uint32_t mac_error = SAR_OK;
        if (const cmd_result rc = cmd_change_pin(mac, device, challenge_block(challenge), type,
                                                 app_id16(ref.app), szOldPin, szNewPin, &mac_error);
            rc != cmd_ok)
            return sm_pin_failure(rc, mac_error, pulRetryCount);
        return SAR_OK;
    });
}

uint32_t SKF_UnblockPIN(HAPPLICATION hApplication, const char* szAdminPIN, const char* szNewUserPIN,
                        uint32_t* pulRetryCount) {
    if (szNewUserPIN == nullptr || szNewUserPIN[0] == '\0') {
        if (szAdminPIN != nullptr && szAdminPIN[0] != '\0') {
            if (const uint32_t rv =
                    gm_verify_pin(hApplication, gm_pin_type_so, szAdminPIN, pulRetryCount);
                rv != SAR_OK)
                return rv;
        }
        return gm_unblock_fingerprint(hApplication, gm_pin_type_user);
    }
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (const uint32_t rv = check_pin(szAdminPIN); rv != SAR_OK) return rv;
        if (const uint32_t rv = check_pin(szNewUserPIN); rv != SAR_OK) return rv;
        const device_id device = ref.dev->device;
        challenge_t challenge{};
        if (const uint32_t rv = take_challenge(device, challenge); rv != SAR_OK) return rv;
        const sm_mac_callback mac{gm_secure_messaging_mac, ref.dev->handle()};
        uint32_t mac_error = SAR_OK;
        if (const cmd_result rc =
                cmd_unblock_pin(mac, device, challenge_block(challenge), app_id16(ref.app),
                                szAdminPIN, szNewUserPIN, &mac_error);
            rc != cmd_ok)
            return sm_pin_failure(rc, mac_error, pulRetryCount);
        return SAR_OK;
    });
}

uint32_t gm_remote_unblock_pin(HAPPLICATION hApplication, const uint8_t* pbData, uint32_t ulLength,
                               uint32_t* pulRetryCount) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (pbData == nullptr || ulLength == 0) return SAR_INVALIDPARAMERR;
        if (const cmd_result rc =
                cmd_remote_unblock_pin(ref.dev->device, app_id16(ref.app), {pbData, ulLength});
            rc != cmd_ok) {
            if (pulRetryCount) *pulRetryCount = 0;
            return pin_refusal(rc, pulRetryCount);
        }
        return SAR_OK;
    });
}

uint32_t gm_remote_unblock_pin_ms(HAPPLICATION hApplication, const uint8_t* pbData,
                                  uint32_t ulLength, uint8_t* pbReply, uint32_t* pulReplyLen,
                                  uint32_t* pulRetryCount) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (pbData == nullptr || ulLength == 0) return SAR_INVALIDPARAMERR;
        // The caller's data is the command's whole data after the id: how much
        // of it is the response is the card's format, so the command's own
        // new-PIN field stays empty.
        const cmd_result rc = cmd_unblock_pin_ms(ref.dev->device, app_id16(ref.app),
                                                 {pbData, ulLength}, {}, pbReply, pulReplyLen);
        if (rc == cmd_ok) return SAR_OK;
        // Refused before anything was sent: more than one command carries.
        if (rc == cmd_bad_length && rc.status_word == sw_none) return SAR_INDATALENERR;
        // The card accepted it, but its reply does not fit the caller's buffer
        // (*pulReplyLen now holds the reply's length).
        if (rc == cmd_bad_length && pulReplyLen != nullptr && rc.status_word == sw_success)
            return SAR_BUFFER_TOO_SMALL;
        if (pulRetryCount) *pulRetryCount = 0;
        return pin_refusal(rc, pulRetryCount);
    });
}

uint32_t gm_reload_user_pin(HAPPLICATION hApplication, const char* szNewUserPin) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (const uint32_t rv = check_pin(szNewUserPin); rv != SAR_OK) return rv;
        challenge_t challenge{};
        if (const uint32_t rv = take_challenge(ref.dev->device, challenge); rv != SAR_OK) return rv;
        // The challenge block is the key the new PIN travels under and the
        // MAC's key and IV; wiped once the command is sent.
        sm_key key;
        const block16_t block = challenge_block(challenge);
        std::copy(block.begin(), block.end(), key.bytes);
        const sm_mac_callback mac{gm_secure_messaging_mac, ref.dev->handle()};
        uint32_t mac_error = SAR_OK;
        if (const cmd_result rc = cmd_reload_pin(mac, ref.dev->device, key.bytes, app_id16(ref.app),
                                                 szNewUserPin, &mac_error);
            rc != cmd_ok)
            return sm_pin_failure(rc, mac_error, nullptr);
        return SAR_OK;
    });
}

uint32_t SKF_ClearSecureState(HAPPLICATION hApplication) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (const cmd_result rc = cmd_clear_secure_state(ref.dev->device, app_id16(ref.app));
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        ref.app->user_logged_in = 0;
        return SAR_OK;
    });
}

namespace {

// The session key made for a MAC in the reserved container: destroyed on
// the card and dropped from the tree with the MAC object. A key the card
// would not destroy stays in the tree, where a later "no room" answer finds
// it (secure_messaging_key).
void drop_mac_key(gm_sc_dev* dev, gm_sc_cont* cont, uint32_t key_handle, uint32_t mac_handle) {
    if (mac_handle != 0) (void)cont->remove_mac(mac_handle);
    for (const auto& key : cont->keys) {
        if (key->handle() != key_handle) continue;
        if (cmd_destroy_session_key(dev->device, static_cast<uint16_t>(cont->app_id),
                                    static_cast<uint16_t>(cont->container_id),
                                    static_cast<uint16_t>(key->card_key_id)) == cmd_ok)
            (void)cont->remove_key(key_handle);
        return;
    }
}

// "SetSessionKey" of the MAC key in the reserved container. When the card has
// no room for another session key (6A84), one key goes and the key is set
// once more; only a key of the reserved container may go (one a failed
// destroy left behind): any other key may belong to an operation in
// progress, of this process or another, and is never touched.
uint32_t secure_messaging_key(gm_sc_dev* dev, gm_sc_cont* cont, const uint8_t* key,
                              uint16_t& card_key) {
    const device_id device = dev->device;
    const auto app16 = static_cast<uint16_t>(cont->app_id);
    const auto cont16 = static_cast<uint16_t>(cont->container_id);
    cmd_result rc = cmd_set_session_key(device, app16, cont16, sm_mac_algorithm, key,
                                        sm_mac_key_length, &card_key);
    if (rc != cmd_ok && rc.status_word == 0x6A84) {
        if (cont->keys.empty()) return SAR_NO_ROOM;
        const gm_sc_key& victim = *cont->keys.front();
        if (const cmd_result d = cmd_destroy_session_key(device, app16, cont16,
                                                         static_cast<uint16_t>(victim.card_key_id));
            d != cmd_ok)
            return gm_wrapper_error(d);
        (void)cont->remove_key(victim.handle());
        rc = cmd_set_session_key(device, app16, cont16, sm_mac_algorithm, key, sm_mac_key_length,
                                 &card_key);
    }
    return rc == cmd_ok ? SAR_OK : gm_wrapper_error(rc);
}

} // namespace

uint32_t gm_secure_messaging_mac(uint32_t hDev, const uint8_t* key, const uint8_t* iv,
                                 const uint8_t* data, uint32_t length, uint8_t* mac,
                                 uint32_t* mac_length) {
    gm_sc_dev* dev = gm_find_dev(hDev);
    if (dev == nullptr) return SAR_INVALIDHANDLEERR;
    // A MAC over nothing is no MAC: never report success without one. All is
    // checked before the first command goes out.
    if (key == nullptr || iv == nullptr || data == nullptr || length == 0 || mac == nullptr ||
        mac_length == nullptr || *mac_length == 0)
        return SAR_INVALIDPARAMERR;
    const device_id device = dev->device;

    gm_sc_app* app = dev->find_app_by_name(gm_reserved_name);
    if (app == nullptr) {
        HAPPLICATION unused = 0;
        if (const uint32_t rv = open_application_locked(dev, gm_reserved_name, &unused);
            rv != SAR_OK)
            return rv;
        app = dev->find_app_by_name(gm_reserved_name);
        if (app == nullptr) return SAR_FAIL;
    }
    gm_sc_cont* cont = app->find_container_by_name(gm_reserved_name);
    if (cont == nullptr) {
        uint16_t cont_id = 0;
        if (const cmd_result rc =
                cmd_open_container(device, app_id16(app), gm_reserved_name, &cont_id);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        cont = app->add_container(cont_id, gm_reserved_name);
        if (cont == nullptr) return SAR_MEMORYERR;
    }
    const auto app16 = app_id16(app);
    const auto cont16 = static_cast<uint16_t>(cont->container_id);

    uint16_t card_key = 0;
    if (const uint32_t rv = secure_messaging_key(dev, cont, key, card_key); rv != SAR_OK) return rv;
    gm_sc_key* key_object = cont->add_key(card_key, sm_mac_algorithm);
    if (key_object == nullptr) {
        (void)cmd_destroy_session_key(device, app16, cont16, card_key);
        return SAR_MEMORYERR;
    }
    const uint32_t key_handle = key_object->handle();
    uint32_t mac_handle = 0;

    // The key holds a PIN's secure-messaging key: left on the card, anyone
    // who can reach the card could encipher with it. Every path from here
    // destroys it again; the result is taken first, since the destroy
    // changes the last status word.
    const uint32_t result = [&]() -> uint32_t {
        if (const cmd_result r =
                cmd_mac_init(device, app16, cont16, card_key, iv, sm_iv_size, 0, 0);
            r != cmd_ok)
            return gm_wrapper_error(r);
        gm_sc_mac* mac_object = cont->add_mac(card_key, sm_mac_algorithm);
        if (mac_object == nullptr) return SAR_MEMORYERR;
        mac_handle = mac_object->handle();

        const uint32_t chunk = cmd_get_chunk_size(device);
        uint32_t done = 0;
        while (length - done > chunk) {
            if (const cmd_result r =
                    cmd_mac_update(device, app16, cont16, card_key, data + done, chunk);
                r != cmd_ok)
                return gm_wrapper_error(r);
            done += chunk;
        }
        if (const cmd_result r =
                cmd_mac_update(device, app16, cont16, card_key, data + done, length - done);
            r != cmd_ok)
            return gm_wrapper_error(r);
        std::array<uint8_t, mac_final_reply> out{};
        uint32_t out_size = mac_final_reply;
        if (const cmd_result r =
                cmd_mac_final(device, app16, cont16, card_key, nullptr, 0, out.data(), &out_size);
            r != cmd_ok)
            return gm_wrapper_error(r);
        if (out_size == 0) return SAR_FAIL;
        if (out_size > *mac_length) {
            *mac_length = out_size;
            return SAR_BUFFER_TOO_SMALL;
        }
        std::memcpy(mac, out.data(), out_size);
        *mac_length = out_size;
        return SAR_OK;
    }();
    drop_mac_key(dev, cont, key_handle, mac_handle);
    return result;
}
