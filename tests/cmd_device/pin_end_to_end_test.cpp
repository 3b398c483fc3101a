// The PIN commands end to end against the simulated card: the host wraps
// PINs in secure-messaging blocks and appends the MAC; the card derives the
// PIN key from its own stored PIN, unwraps, recomputes the MAC and keeps the
// retry counters.
//
// ReloadPin's key (and the MAC's key and IV) is the challenge block
// challenge || 00 x 8; UnblockPin_MS carries the SO's response to the
// challenge and the new PIN as given.
//
// The MAC the PIN commands carry is the device API's on-card MAC (MacInit /
// MacUpdate / MacFinal in the reserved application). Most tests compute the
// same SM4-CBC-MAC in the test (tools/cardsim/README.md, with the module's
// own SM4), so they depend on the PIN family alone; on_card_mac runs the
// device API's sequence of card commands instead. Either way the card
// checks the MAC with its own OpenSSL-based code.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "cmd_app_file.h"
#include "cmd_crypto.h"
#include "cmd_device.h"
#include "sim_device.h"
#include "sm_oracle.h"

namespace {

constexpr uint16_t app = 1; // the template application "APP"
const std::string so_pin = "pevot";
const std::string user_pin = "58204716";

int mac_calls = 0;
bool corrupt_mac = false;

uint32_t test_mac(uint32_t, const uint8_t* key, const uint8_t* iv, const uint8_t* data,
                  uint32_t length, uint8_t* mac, uint32_t* mac_length) {
    ++mac_calls;
    if (*mac_length < 16) return 0x0A000020;
    oracle::block16 m = oracle::cbc_mac({key, 16}, {iv, 16}, {data, length});
    if (corrupt_mac) m[0] ^= 0xFF;
    std::copy(m.begin(), m.end(), mac);
    *mac_length = 16;
    return 0;
}

uint32_t failing_mac(uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, uint32_t, uint8_t*,
                     uint32_t*) {
    ++mac_calls;
    return 0x0A000030; // SetSessionKey answered 6A84 and no key could be freed
}

class pin_end_to_end : public sim_device_test {
  protected:
    cardsim::card card;
    device_id device = no_device;
    const sm_mac_callback mac{test_mac, 1};

    void SetUp() override {
        device = add_card_device(card);
        mac_calls = 0;
        corrupt_mac = false;
    }

    std::array<uint8_t, 8> challenge() {
        std::array<uint8_t, 8> c{};
        EXPECT_EQ(cmd_gen_random(device, c.data(), 8), cmd_ok);
        return c;
    }
    // The device API's 16-byte IV: challenge || 00 x 8.
    std::array<uint8_t, 16> fresh_iv() { return oracle::challenge_block(challenge()); }
    // ReloadPin under the challenge block of a fresh challenge.
    cmd_result reload(const sm_mac_callback& m, const std::string& new_pin) {
        return cmd_reload_pin(m, device, fresh_iv(), app, new_pin);
    }

    cmd_result verify(uint8_t type, const std::string& pin) {
        return cmd_verify_pin(device, challenge(), type, app, pin);
    }
    int remaining(uint8_t type) {
        uint8_t max = 0, left = 0xFF;
        EXPECT_EQ(cmd_get_pin_info(device, type, app, &max, &left, nullptr), cmd_ok);
        return left;
    }
    // The SO's response to the current challenge: SM4-ECB(K(SO PIN), challenge || 00 x 8).
    bytes so_response(const std::string& pin) {
        const oracle::block16 key = oracle::pin_key(pin);
        return oracle::sm4_ecb(key, fresh_iv(), true);
    }
};

TEST_F(pin_end_to_end, verify_right_and_wrong) {
    EXPECT_EQ(verify(pin_type_user, user_pin), cmd_ok);
    EXPECT_EQ(verify(pin_type_user, "00000000"), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x63C9u);
    EXPECT_EQ(remaining(pin_type_user), 9);
    // A right PIN restores the counter.
    EXPECT_EQ(verify(pin_type_user, user_pin), cmd_ok);
    EXPECT_EQ(remaining(pin_type_user), 10);
    EXPECT_EQ(verify(pin_type_so, so_pin), cmd_ok);
    // Without a fresh challenge the card refuses (the challenge is single use).
    EXPECT_EQ(cmd_verify_pin(device, std::array<uint8_t, 8>{}, pin_type_user, app, user_pin),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6985u);
}

TEST_F(pin_end_to_end, retries_reach_zero_and_the_pin_locks) {
    for (int left = 9; left >= 0; --left) {
        ASSERT_EQ(verify(pin_type_user, "wrong"), cmd_bad_status);
        EXPECT_EQ(cmd_last_status_word(), 0x63C0u + static_cast<uint32_t>(left));
    }
    EXPECT_EQ(remaining(pin_type_user), 0);
    // Locked: even the right PIN is refused, and the counter stays at 0.
    EXPECT_EQ(verify(pin_type_user, user_pin), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6983u);
    EXPECT_EQ(remaining(pin_type_user), 0);
    // The SO PIN is a separate counter.
    EXPECT_EQ(remaining(pin_type_so), 10);
}

TEST_F(pin_end_to_end, change_with_the_card_checked_mac) {
    ASSERT_EQ(verify(pin_type_user, user_pin), cmd_ok);
    ASSERT_EQ(cmd_change_pin(mac, device, fresh_iv(), pin_type_user, app, user_pin, "13572468"),
              cmd_ok);
    EXPECT_EQ(mac_calls, 1);
    EXPECT_EQ(verify(pin_type_user, user_pin), cmd_bad_status);
    EXPECT_EQ(verify(pin_type_user, "13572468"), cmd_ok);
    uint8_t is_default = 1;
    ASSERT_EQ(cmd_get_pin_info(device, pin_type_user, app, nullptr, nullptr, &is_default), cmd_ok);
    EXPECT_EQ(is_default, 0);

    // A wrong current PIN: its block does not unwrap under the card's key.
    EXPECT_EQ(cmd_change_pin(mac, device, fresh_iv(), pin_type_user, app, "99999999", "11112222"),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x63C9u);
    EXPECT_EQ(verify(pin_type_user, "13572468"), cmd_ok);
}

TEST_F(pin_end_to_end, a_new_pin_outside_the_length_bounds_is_refused) {
    // The template application allows PINs of 4 to 16 bytes.
    EXPECT_EQ(cmd_change_pin(mac, device, fresh_iv(), pin_type_user, app, user_pin, "123"),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A80u);
    EXPECT_EQ(verify(pin_type_user, user_pin), cmd_ok);
    EXPECT_EQ(cmd_change_pin(mac, device, fresh_iv(), pin_type_user, app, user_pin, "1234"),
              cmd_ok);
}

TEST_F(pin_end_to_end, change_of_the_so_pin_with_a_14_byte_pin) {
    const std::string longer = "so-pin-14bytes"; // 14 bytes: a 32-byte block
    ASSERT_EQ(cmd_change_pin(mac, device, fresh_iv(), pin_type_so, app, so_pin, longer), cmd_ok);
    EXPECT_EQ(verify(pin_type_so, longer), cmd_ok);
    EXPECT_EQ(verify(pin_type_so, so_pin), cmd_bad_status);
}

TEST_F(pin_end_to_end, a_wrong_mac_is_refused_and_not_counted) {
    corrupt_mac = true;
    EXPECT_EQ(cmd_change_pin(mac, device, fresh_iv(), pin_type_user, app, user_pin, "24681357"),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6988u);
    EXPECT_EQ(remaining(pin_type_user), 10);
    EXPECT_EQ(verify(pin_type_user, user_pin), cmd_ok);

    // A MAC over another IV than the card's challenge is wrong too.
    corrupt_mac = false;
    (void)challenge();
    const std::array<uint8_t, 16> stale{};
    EXPECT_EQ(cmd_change_pin(mac, device, stale, pin_type_user, app, user_pin, "24681357"),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6988u);
}

TEST_F(pin_end_to_end, a_failed_mac_sends_nothing_and_returns_its_error) {
    const auto iv = fresh_iv();
    const size_t sent = card.apdu_log().size();
    uint32_t mac_error = 0;
    EXPECT_EQ(cmd_change_pin({failing_mac, 1}, device, iv, pin_type_user, app, user_pin, "24681357",
                             &mac_error),
              cmd_mac_failed);
    EXPECT_EQ(mac_error, 0x0A000030u);
    mac_error = 0;
    EXPECT_EQ(cmd_unblock_pin({failing_mac, 1}, device, iv, app, so_pin, "24681357", &mac_error),
              cmd_mac_failed);
    EXPECT_EQ(mac_error, 0x0A000030u);
    mac_error = 0;
    EXPECT_EQ(cmd_reload_pin({failing_mac, 1}, device, iv, app, "24681357", &mac_error),
              cmd_mac_failed);
    EXPECT_EQ(mac_error, 0x0A000030u);
    EXPECT_EQ(mac_calls, 3);
    EXPECT_EQ(card.apdu_log().size(), sent);
    EXPECT_EQ(remaining(pin_type_user), 10);
    EXPECT_EQ(remaining(pin_type_so), 10);
}

TEST_F(pin_end_to_end, unblock_a_locked_user_pin) {
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(verify(pin_type_user, "wrong"), cmd_bad_status);
    ASSERT_EQ(remaining(pin_type_user), 0);

    // A wrong SO PIN costs an SO retry.
    EXPECT_EQ(cmd_unblock_pin(mac, device, fresh_iv(), app, "not-so", "11223344"), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x63C9u);
    EXPECT_EQ(remaining(pin_type_so), 9);

    ASSERT_EQ(cmd_unblock_pin(mac, device, fresh_iv(), app, so_pin, "11223344"), cmd_ok);
    EXPECT_EQ(remaining(pin_type_user), 10);
    EXPECT_EQ(remaining(pin_type_so), 10);
    EXPECT_EQ(verify(pin_type_user, "11223344"), cmd_ok);
}

TEST_F(pin_end_to_end, reload_needs_the_so_and_sets_the_user_pin) {
    // Without the SO logged in, the card refuses.
    EXPECT_EQ(reload(mac, "55667788"), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6982u);

    ASSERT_EQ(verify(pin_type_so, so_pin), cmd_ok);
    ASSERT_EQ(reload(mac, "55667788"), cmd_ok);
    EXPECT_EQ(verify(pin_type_user, "55667788"), cmd_ok);

    // ClearSecureState ends the SO login, and so does a reset.
    ASSERT_EQ(cmd_clear_secure_state(device, app), cmd_ok);
    EXPECT_EQ(reload(mac, "11111111"), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6982u);
    ASSERT_EQ(verify(pin_type_so, so_pin), cmd_ok);
    card.reset();
    EXPECT_EQ(reload(mac, "11111111"), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6982u);
}

TEST_F(pin_end_to_end, unblock_with_a_response_and_remotely) {
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(verify(pin_type_user, "wrong"), cmd_bad_status);

    // RemoteUnblockPin: resets the counter, keeps the PIN.
    bytes wrong = so_response(so_pin);
    wrong[3] ^= 1;
    EXPECT_EQ(cmd_remote_unblock_pin(device, app, wrong), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x63C9u);
    ASSERT_EQ(cmd_remote_unblock_pin(device, app, so_response(so_pin)), cmd_ok);
    EXPECT_EQ(remaining(pin_type_user), 10);
    EXPECT_EQ(verify(pin_type_user, user_pin), cmd_ok);

    // UnblockPin_MS: the response, then the new PIN in plain. A wrong
    // response is a wrong SO PIN.
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(verify(pin_type_user, "wrong"), cmd_bad_status);
    wrong = so_response(so_pin);
    wrong[0] ^= 1;
    EXPECT_EQ(cmd_unblock_pin_ms(device, app, wrong, "80706050"), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x63C9u); // one SO try less (10 again after the remote form)
    ASSERT_EQ(cmd_unblock_pin_ms(device, app, so_response(so_pin), "80706050"), cmd_ok);
    EXPECT_EQ(remaining(pin_type_user), 10);
    EXPECT_EQ(verify(pin_type_user, "80706050"), cmd_ok);
}

// ReloadPin under a key other than the challenge block, or with a MAC the
// card does not accept: refused as a secure-messaging error (not an SO try),
// the user PIN unchanged.
struct sm_refusal {
    const char* name;
    bool other_key; // a key other than the challenge block
    bool corrupt;   // the MAC is corrupted
};

class sm_refused : public pin_end_to_end, public ::testing::WithParamInterface<sm_refusal> {};

TEST_P(sm_refused, and_nothing_changes) {
    const sm_refusal& c = GetParam();
    ASSERT_EQ(verify(pin_type_so, so_pin), cmd_ok);
    corrupt_mac = c.corrupt;
    std::array<uint8_t, 16> key = fresh_iv();
    if (c.other_key) key[15] ^= 1;
    EXPECT_EQ(cmd_reload_pin(mac, device, key, app, "10203040"), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6988u);
    corrupt_mac = false;
    EXPECT_EQ(remaining(pin_type_so), 10);
    EXPECT_EQ(verify(pin_type_user, "10203040"), cmd_bad_status);
    EXPECT_EQ(verify(pin_type_user, user_pin), cmd_ok);
}

INSTANTIATE_TEST_SUITE_P(pin_end_to_end, sm_refused,
                         ::testing::Values(sm_refusal{"reload_wrong_key", true, false},
                                           sm_refusal{"reload_wrong_mac", false, true}),
                         [](const ::testing::TestParamInfo<sm_refusal>& i) {
                             return std::string(i.param.name);
                         });

// The device API's MAC sequence, on the card: OpenApplication and
// OpenContainer of the reserved name F0..F7, SetSessionKey (SM4, 0x401),
// MacInit with the IV, MacUpdate with the data, MacFinal.
device_id mac_device = no_device;

uint32_t card_mac(uint32_t, const uint8_t* key, const uint8_t* iv, const uint8_t* data,
                  uint32_t length, uint8_t* mac, uint32_t* mac_length) {
    ++mac_calls;
    const char reserved[] = "\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF7";
    uint8_t info[16] = {};
    uint32_t size = sizeof info;
    if (cmd_open_application(mac_device, reserved, info, &size) != cmd_ok || size < 10)
        return 0x0A000001;
    const uint16_t app_id = static_cast<uint16_t>(info[8] << 8 | info[9]);
    uint16_t cont = 0, key_id = 0;
    if (cmd_open_container(mac_device, app_id, reserved, &cont) != cmd_ok) return 0x0A000002;
    if (cmd_set_session_key(mac_device, app_id, cont, 0x401, key, 16, &key_id) != cmd_ok)
        return 0x0A000003;
    if (cmd_mac_init(mac_device, app_id, cont, key_id, iv, 16, 0, 0) != cmd_ok) return 0x0A000004;
    if (cmd_mac_update(mac_device, app_id, cont, key_id, data, length) != cmd_ok) return 0x0A000005;
    if (cmd_mac_final(mac_device, app_id, cont, key_id, nullptr, 0, mac, mac_length) != cmd_ok)
        return 0x0A000006;
    return 0;
}

class on_card_mac : public pin_end_to_end {
  protected:
    const sm_mac_callback card{card_mac, 1};
    void SetUp() override {
        pin_end_to_end::SetUp();
        mac_device = device;
    }
};

TEST_F(on_card_mac, change_unblock_and_reload) {
    ASSERT_EQ(cmd_change_pin(card, device, fresh_iv(), pin_type_user, app, user_pin, "31415926"),
              cmd_ok)
        << std::hex << cmd_last_status_word();
    EXPECT_EQ(cmd_last_status_word(), 0x9000u);
    EXPECT_EQ(verify(pin_type_user, "31415926"), cmd_ok);

    // The PIN command's own status word is the last one recorded.
    EXPECT_EQ(cmd_change_pin(card, device, fresh_iv(), pin_type_user, app, "27182818", "11111111"),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x63C9u);

    ASSERT_EQ(cmd_unblock_pin(card, device, fresh_iv(), app, so_pin, "16180339"), cmd_ok);
    EXPECT_EQ(verify(pin_type_user, "16180339"), cmd_ok);

    // Opening the reserved application does not end the SO login ReloadPin needs.
    ASSERT_EQ(verify(pin_type_so, so_pin), cmd_ok);
    ASSERT_EQ(reload(card, "14142135"), cmd_ok) << std::hex << cmd_last_status_word();
    EXPECT_EQ(verify(pin_type_user, "14142135"), cmd_ok);
    EXPECT_EQ(mac_calls, 4);
}

} // namespace
