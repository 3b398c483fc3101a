// Applications and PINs end to end: device API -> transport -> pcscd -> vpcd
// -> simulated token.
#include <gtest/gtest.h>

#include <string>

#include "cmd_app_file.h"
#include "cmd_crypto.h"
#include "token_fixture.h"

namespace {

using namespace gm_test;

class app_pin : public token_test {
  protected:
    // A new application "PAY" with 3 user tries (the device is authenticated).
    HAPPLICATION create_pay(uint32_t user_tries = 3) {
        EXPECT_EQ(authenticate(), SAR_OK);
        HAPPLICATION h = 0;
        EXPECT_EQ(gm_create_application(dev, "PAY", "so-secret", 5, "1234", user_tries, 0xFF, 4, 16,
                                        4, 16, &h),
                  SAR_OK);
        return h;
    }
    uint32_t remaining(HAPPLICATION h, uint32_t type) {
        uint32_t max = 0, left = 99;
        EXPECT_EQ(SKF_GetPINInfo(h, type, &max, &left, nullptr), SAR_OK);
        return left;
    }
};

TEST_F(app_pin, create_application_needs_device_authentication) {
    clear_log();
    HAPPLICATION h = 0;
    EXPECT_EQ(gm_create_application(dev, "PAY", "so-secret", 5, "1234", 3, 0xFF, 4, 16, 4, 16, &h),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(commands(), 0u);
    EXPECT_EQ(h, 0u);

    // Authenticated with a cryptogram made outside (SKF_DevAuth): the record
    // goes as it is, then the open; nothing else.
    ASSERT_EQ(authenticate_externally(), SAR_OK);
    clear_log();
    ASSERT_EQ(gm_create_application(dev, "PAY", "so-secret", 5, "1234", 3, 0xFF, 4, 16, 4, 16, &h),
              SAR_OK);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(commands(), 2u) << log_text();
    ASSERT_EQ(count(0x80, 0x20), 1) << log_text();
    EXPECT_EQ(count(0x80, 0x26), 1) << log_text();
    EXPECT_EQ(token->sim().apdu_log().front().size(), 7u + 84u);
    uint32_t max = 0, left = 0, is_default = 7;
    ASSERT_EQ(SKF_GetPINInfo(h, gm_pin_type_user, &max, &left, &is_default), SAR_OK);
    EXPECT_EQ(max, 3u);
    EXPECT_EQ(left, 3u);
    ASSERT_EQ(SKF_GetPINInfo(h, gm_pin_type_so, &max, &left, nullptr), SAR_OK);
    EXPECT_EQ(max, 5u);
    uint8_t b[4] = {};
    uint32_t login = 1;
    ASSERT_EQ(gm_get_application_info(h, &b[0], &b[1], &b[2], &b[3], &login), SAR_OK);
    EXPECT_EQ(b[0], 4);
    EXPECT_EQ(b[1], 16);
    EXPECT_EQ(login, 0u);
    // The PINs the card stored are the ones enciphered in the record.
    uint32_t so_retry = 0;
    EXPECT_EQ(SKF_VerifyPIN(h, gm_pin_type_so, "so-secret", &so_retry), SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(h, gm_pin_type_user, "1234", &so_retry), SAR_OK);

    HAPPLICATION again = 0;
    EXPECT_EQ(
        gm_create_application(dev, "PAY", "so-secret", 5, "1234", 3, 0xFF, 4, 16, 4, 16, &again),
        SAR_APPLICATION_EXISTS);
    EXPECT_EQ(gm_create_application(dev, std::string(33, 'n').c_str(), "so", 5, "1234", 3, 0xFF, 4,
                                    16, 4, 16, &again),
              SAR_NAMELENERR);
    EXPECT_EQ(gm_create_application(dev, "LONG", std::string(17, '1').c_str(), 5, "1234", 3, 0xFF,
                                    4, 16, 4, 16, &again),
              SAR_PIN_LEN_RANGE);
    EXPECT_EQ(again, 0u);
}

TEST_F(app_pin, enumerate_applications_with_size_query) {
    create_pay();
    const std::string expected("APP\0PAY\0\0", 9);
    uint32_t size = 0;
    ASSERT_EQ(SKF_EnumApplication(dev, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, expected.size());
    char list[64] = {};
    uint32_t small = 4;
    EXPECT_EQ(SKF_EnumApplication(dev, list, &small), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small, expected.size());
    size = sizeof list;
    ASSERT_EQ(SKF_EnumApplication(dev, list, &size), SAR_OK);
    EXPECT_EQ(std::string(list, size), expected);
    EXPECT_EQ(SKF_EnumApplication(dev, list, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_EnumApplication(dev + 1000, list, &size), SAR_INVALIDPARAMERR);
}

TEST_F(app_pin, every_open_is_a_handle_of_its_own) {
    const HAPPLICATION first = open_app();
    const HAPPLICATION second = open_app();
    ASSERT_NE(first, 0u);
    ASSERT_NE(first, second);
    EXPECT_EQ(SKF_CloseApplication(first), SAR_OK);
    uint32_t max = 0, left = 0;
    EXPECT_EQ(SKF_GetPINInfo(first, 1, &max, &left, nullptr), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_CloseApplication(first), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_GetPINInfo(second, 1, &max, &left, nullptr), SAR_OK);
    EXPECT_EQ(SKF_CloseApplication(second), SAR_OK);

    HAPPLICATION h = 0;
    EXPECT_EQ(SKF_OpenApplication(dev, "NONE", &h), SAR_APPLICATION_NOT_EXISTS);
    EXPECT_EQ(SKF_OpenApplication(dev, "", &h), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_OpenApplication(dev, nullptr, &h), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_OpenApplication(dev, "APP", nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_OpenApplication(dev, std::string(33, 'a').c_str(), &h), SAR_NAMELENERR);
    EXPECT_EQ(h, 0u);
    // A device handle is no application handle.
    EXPECT_EQ(SKF_CloseApplication(dev), SAR_INVALIDHANDLEERR);
}

TEST_F(app_pin, pin_type_other_than_0_or_1_sends_nothing) {
    const HAPPLICATION h = open_app();
    clear_log();
    uint32_t max = 0, left = 0, retry = 77;
    EXPECT_EQ(SKF_GetPINInfo(h, 2, &max, &left, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_VerifyPIN(h, 2, user_pin, &retry), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_ChangePIN(h, 2, user_pin, "87654321", &retry), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_GetPINInfo(h, 1, nullptr, &left, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_verify_pin(h, 1, std::string(17, '1').c_str(), &retry), SAR_PIN_LEN_RANGE);
    EXPECT_EQ(commands(), 0u);
    EXPECT_EQ(retry, 77u);
    // An empty PIN asks for the fingerprint path (this application has no
    // fingerprint record): no VerifyPin is sent.
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "", &retry), SAR_PIN_LOCKED);
    EXPECT_EQ(count(0x80, 0x18), 0) << log_text();
}

TEST_F(app_pin, wrong_pins_report_the_tries_left_until_locked) {
    const HAPPLICATION h = create_pay(3);
    uint32_t retry = 99;
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "9999", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 2u);
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "9999", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 1u);
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "9999", &retry), SAR_PIN_LOCKED);
    EXPECT_EQ(retry, 0u);
    retry = 99;
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "1234", &retry), SAR_PIN_LOCKED);
    EXPECT_EQ(retry, 0u);
    EXPECT_EQ(remaining(h, 1), 0u);

    // Unblock under the SO PIN: a wrong one costs an SO try.
    EXPECT_EQ(SKF_UnblockPIN(h, "so-wrong", "4321", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 4u);
    ASSERT_EQ(SKF_UnblockPIN(h, "so-secret", "4321", &retry), SAR_OK);
    EXPECT_EQ(remaining(h, 1), 3u);
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "4321", &retry), SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "1234", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 2u);
}

TEST_F(app_pin, change_pin_checks_the_old_pin_first) {
    const HAPPLICATION h = open_app();
    clear_log();
    uint32_t retry = 0;
    EXPECT_EQ(SKF_ChangePIN(h, 1, "00000000", "11112222", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 9u);
    EXPECT_EQ(count(0x84, 0x16), 0); // no ChangePin sent

    ASSERT_EQ(SKF_ChangePIN(h, 1, user_pin, "11112222", &retry), SAR_OK);
    EXPECT_EQ(count(0x84, 0x16), 1);
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "11112222", &retry), SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(h, 1, user_pin, &retry), SAR_PIN_INCORRECT);
    ASSERT_EQ(SKF_ChangePIN(h, 1, "11112222", user_pin, &retry), SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(h, 1, user_pin, &retry), SAR_OK);
    EXPECT_EQ(remaining(h, 1), 10u);
}

TEST_F(app_pin, so_pin_change_does_not_log_the_user_in) {
    const HAPPLICATION h = open_app();
    uint32_t retry = 0;
    ASSERT_EQ(SKF_ChangePIN(h, 0, so_pin, "new-so-pin", &retry), SAR_OK);
    clear_log();
    HCONTAINER c = 0;
    EXPECT_EQ(SKF_CreateContainer(h, "after-so-change", &c), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(commands(), 0u);
    // The new SO PIN is the one the card now checks.
    EXPECT_EQ(SKF_VerifyPIN(h, 0, "new-so-pin", &retry), SAR_OK);
    // A user PIN change logs the user in.
    ASSERT_EQ(SKF_ChangePIN(h, 1, user_pin, user_pin, &retry), SAR_OK);
    EXPECT_EQ(SKF_CreateContainer(h, "after-user-change", &c), SAR_OK);
}

TEST_F(app_pin, clear_secure_state_logs_the_user_out) {
    const HAPPLICATION h = open_app();
    uint32_t retry = 0;
    ASSERT_EQ(SKF_VerifyPIN(h, 1, user_pin, &retry), SAR_OK);
    ASSERT_EQ(SKF_ClearSecureState(h), SAR_OK);
    clear_log();
    HCONTAINER c = 0;
    EXPECT_EQ(SKF_CreateContainer(h, "c", &c), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(commands(), 0u);
    EXPECT_EQ(SKF_ClearSecureState(h + 1000), SAR_INVALIDHANDLEERR);
}

TEST_F(app_pin, reload_user_pin_needs_the_security_officer) {
    const HAPPLICATION h = open_app();
    // The card refuses the reload while its SO is not logged in.
    EXPECT_EQ(gm_reload_user_pin(h, "reload12"), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(count(0xC4, 0x34), 1) << log_text();
    uint32_t retry = 0;
    ASSERT_EQ(SKF_VerifyPIN(h, 0, so_pin, &retry), SAR_OK);
    ASSERT_EQ(gm_reload_user_pin(h, "reload12"), SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "reload12", &retry), SAR_OK);
    clear_log();
    EXPECT_EQ(gm_reload_user_pin(h, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_reload_user_pin(h, std::string(17, '1').c_str()), SAR_PIN_LEN_RANGE);
    EXPECT_EQ(commands(), 0u);
}

// The SO login is the card's: an SO verified through one application object
// lets another object of the same application reload the user PIN.
TEST_F(app_pin, reload_rests_on_the_cards_so_login) {
    const HAPPLICATION h = open_app();
    const HAPPLICATION other = open_app();
    uint32_t retry = 0;
    ASSERT_EQ(SKF_VerifyPIN(h, 0, so_pin, &retry), SAR_OK);
    ASSERT_EQ(gm_reload_user_pin(other, "reload34"), SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "reload34", &retry), SAR_OK);
}

// The PIN commands' MAC comes from the card: the reserved application and
// container are opened once per device handle; each MAC sets a session key,
// runs MacInit, MacUpdate and MacFinal and destroys the key again.
TEST_F(app_pin, secure_messaging_mac_is_the_cards) {
    const HAPPLICATION h = open_app();
    clear_log();
    uint32_t retry = 0;
    ASSERT_EQ(SKF_ChangePIN(h, 1, user_pin, "13572468", &retry), SAR_OK);
    ASSERT_EQ(SKF_ChangePIN(h, 1, "13572468", user_pin, &retry), SAR_OK);
    EXPECT_EQ(commands(), 20u) << log_text();
    EXPECT_EQ(count(0x80, 0x50), 4); // GenRandom
    EXPECT_EQ(count(0x80, 0x18), 2); // VerifyPin
    EXPECT_EQ(count(0x80, 0x26), 1); // OpenApplication (reserved)
    EXPECT_EQ(count(0x80, 0x42), 1); // OpenContainer (reserved)
    EXPECT_EQ(count(0xC0, 0x12), 2); // SetSessionKey
    EXPECT_EQ(count(0x80, 0xBC), 2); // MacInit
    EXPECT_EQ(count(0x80, 0xC0), 2); // MacUpdate
    EXPECT_EQ(count(0x80, 0xC2), 2); // MacFinal
    EXPECT_EQ(count(0x80, 0xC4), 2); // DestroySessionKey
    EXPECT_EQ(count(0x84, 0x16), 2); // ChangePin
    const gm_sc_app* reserved = gm_find_dev(dev)->find_app_by_name(gm_reserved_name);
    ASSERT_NE(reserved, nullptr);
    const gm_sc_cont* cont = reserved->find_container_by_name(gm_reserved_name);
    ASSERT_NE(cont, nullptr);
    EXPECT_TRUE(cont->keys.empty());
    EXPECT_TRUE(cont->macs.empty());
}

// A caller's session key in the middle of an encryption survives any number
// of PIN operations (each frees the slot its MAC took), also when the card's
// key table is full.
TEST_F(app_pin, live_encryption_key_survives_pin_operations) {
    const HAPPLICATION h = open_app();
    const auto app = static_cast<uint16_t>(gm_find_app(h).app->app_id);
    const device_id device = card_device();
    uint16_t cont = 0;
    ASSERT_EQ(cmd_open_container(device, app, gm_reserved_name, &cont), cmd_ok);

    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint16_t live = 0;
    ASSERT_EQ(cmd_set_session_key(device, app, cont, 0x401, key, 16, &live), cmd_ok);
    ASSERT_EQ(cmd_encrypt_init(device, app, cont, live, nullptr, 0, 0, 0), cmd_ok);
    auto encrypt_block = [&](uint8_t fill) {
        uint8_t plain[16];
        std::memset(plain, fill, sizeof plain);
        uint8_t out[64] = {};
        uint32_t size = sizeof out;
        ASSERT_EQ(cmd_encrypt_update(device, app, cont, live, plain, 16, out, &size), cmd_ok);
        ASSERT_EQ(size, 16u);
        const auto expected = sm4_ecb_block(key, plain);
        EXPECT_EQ(0, std::memcmp(out, expected.data(), 16)) << "block " << int(fill);
    };
    encrypt_block(0x11);

    // Six more keys of the caller: one of the card's eight slots stays free.
    for (int i = 0; i < 6; ++i) {
        uint16_t id = 0;
        ASSERT_EQ(cmd_set_session_key(device, app, cont, 0x401, key, 16, &id), cmd_ok);
    }
    uint32_t retry = 0;
    for (int i = 0; i < 9; ++i) {
        const char* from = i % 2 ? "24681357" : user_pin;
        const char* to = i % 2 ? user_pin : "24681357";
        ASSERT_EQ(SKF_ChangePIN(h, 1, from, to, &retry), SAR_OK) << "change " << i;
    }
    encrypt_block(0x22);

    // The eighth slot taken too: the card has no room for the MAC's key, and
    // no key of the caller's is given up for it. The PIN stays as it was.
    uint16_t last = 0;
    ASSERT_EQ(cmd_set_session_key(device, app, cont, 0x401, key, 16, &last), cmd_ok);
    clear_log();
    EXPECT_EQ(SKF_ChangePIN(h, 1, "24681357", user_pin, &retry), SAR_NO_ROOM);
    EXPECT_EQ(count(0x80, 0xC4), 0) << log_text(); // no DestroySessionKey
    EXPECT_EQ(count(0x84, 0x16), 0) << log_text(); // no ChangePin
    encrypt_block(0x33);
    EXPECT_EQ(SKF_VerifyPIN(h, 1, "24681357", &retry), SAR_OK);
}

} // namespace
