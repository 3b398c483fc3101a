// The device and PIN command wrappers against the simulated card (in-process
// front-end): success paths, the status words they hand on, transport
// failures, and replies that are too short or too long.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "cmd_device.h"
#include "sim_device.h"
#include "sm_oracle.h"

namespace {

constexpr uint16_t template_app = 1; // the formatted token's application "APP"

class device_wrappers : public sim_device_test {
  protected:
    cardsim::card card;
    device_id device = no_device;
    void SetUp() override { device = add_card_device(card); }
};

TEST_F(device_wrappers, dev_info_record_and_buffer_size) {
    card.set_max_buffer_size(1024);
    std::array<uint8_t, 300> buffer{};
    uint32_t size = buffer.size();
    ASSERT_EQ(cmd_get_dev_info(device, buffer.data(), &size), cmd_ok);
    EXPECT_EQ(size, 288u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buffer[4]), 7), "Quessar");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buffer[132]), 8), "Oskarvel");
    EXPECT_EQ(buffer[224] * 256 + buffer[225], 1024);

    // A buffer smaller than the record: 3, and the length the card sent.
    size = 287;
    EXPECT_EQ(cmd_get_dev_info(device, buffer.data(), &size), cmd_bad_length);
    EXPECT_EQ(size, 288u);
}

TEST_F(device_wrappers, label_set_and_read_back_through_the_short_record) {
    ASSERT_EQ(cmd_set_label(device, "Tavrel token"), cmd_ok);
    std::array<uint8_t, 68> record{};
    uint32_t size = record.size();
    ASSERT_EQ(cmd_get_short_dev_info(device, record.data(), &size), cmd_ok);
    EXPECT_EQ(size, 68u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record[32])), "Tavrel token");

    // The empty label goes as the one byte 00, and the card takes it.
    ASSERT_EQ(cmd_set_label(device, ""), cmd_ok);
    EXPECT_EQ(card.apdu_log().back(), (bytes{0x80, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}));
    size = record.size();
    ASSERT_EQ(cmd_get_short_dev_info(device, record.data(), &size), cmd_ok);
    EXPECT_EQ(record[32], 0);

    // Too long for the label field: refused, nothing sent.
    const size_t sent = card.apdu_log().size();
    EXPECT_EQ(cmd_set_label(device, std::string(33, 'x')), cmd_bad_length);
    EXPECT_EQ(card.apdu_log().size(), sent);
}

TEST_F(device_wrappers, random_bytes_and_device_authentication) {
    std::array<uint8_t, 8> first{}, second{};
    ASSERT_EQ(cmd_gen_random(device, first.data(), 8), cmd_ok);
    ASSERT_EQ(cmd_gen_random(device, second.data(), 8), cmd_ok);
    EXPECT_NE(first, second);

    // DevAuth: SM4-ECB(device key, challenge || 00 x 8) under the default key.
    const std::string devkey = "7350914826057319";
    auto auth_data = [&](const std::array<uint8_t, 8>& challenge) {
        const oracle::block16 plain = oracle::challenge_block(challenge);
        return oracle::sm4_ecb(std::span(reinterpret_cast<const uint8_t*>(devkey.data()), 16),
                               plain, true);
    };
    std::array<uint8_t, 8> challenge{};
    ASSERT_EQ(cmd_gen_random(device, challenge.data(), 8), cmd_ok);
    bytes wrong = auth_data(challenge);
    wrong[0] ^= 1;
    EXPECT_EQ(cmd_dev_auth(device, 0, wrong), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x63C7u); // 8 tries, one spent

    ASSERT_EQ(cmd_gen_random(device, challenge.data(), 8), cmd_ok);
    EXPECT_EQ(cmd_dev_auth(device, 0, auth_data(challenge)), cmd_ok);
    // The challenge is single use.
    EXPECT_EQ(cmd_dev_auth(device, 0, auth_data(challenge)), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6985u);
}

TEST_F(device_wrappers, device_authentication_locks_after_its_tries) {
    std::array<uint8_t, 8> challenge{};
    for (uint32_t left = 7;; --left) {
        ASSERT_EQ(cmd_gen_random(device, challenge.data(), 8), cmd_ok);
        ASSERT_EQ(cmd_dev_auth(device, 0, bytes(16, 0)), cmd_bad_status);
        EXPECT_EQ(cmd_last_status_word(), 0x63C0u + left);
        if (left == 0) break;
    }
    ASSERT_EQ(cmd_gen_random(device, challenge.data(), 8), cmd_ok);
    EXPECT_EQ(cmd_dev_auth(device, 0, bytes(16, 0)), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6983u);
}

TEST_F(device_wrappers, pin_info_of_the_template_application) {
    uint8_t max = 0, remaining = 0, is_default = 0;
    ASSERT_EQ(cmd_get_pin_info(device, pin_type_user, template_app, &max, &remaining, &is_default),
              cmd_ok);
    EXPECT_EQ(max, 10);
    EXPECT_EQ(remaining, 10);
    EXPECT_EQ(is_default, 1);
    EXPECT_EQ(card.apdu_log().back(),
              (bytes{0x80, 0x14, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00, 0x03}));

    // An application the card does not have: its status word is handed on.
    EXPECT_EQ(cmd_get_pin_info(device, pin_type_so, 0x7777, &max, &remaining, nullptr),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A88u);

    // PIN type 2 is no PIN: refused before anything is sent.
    const size_t sent = card.apdu_log().size();
    EXPECT_EQ(cmd_get_pin_info(device, 2, template_app, &max, &remaining, nullptr), cmd_bad_length);
    EXPECT_EQ(card.apdu_log().size(), sent);
}

TEST_F(device_wrappers, clear_secure_state) {
    EXPECT_EQ(cmd_clear_secure_state(device, template_app), cmd_ok);
    EXPECT_EQ(cmd_clear_secure_state(device, 0x7777), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A88u);
}

// Every wrapper reports a transport failure (empty reply: 0x8004) and hands
// on an injected status word.
struct fault_case {
    const char* name;
    cmd_result (*call)(device_id);
};

cmd_result call_set_label(device_id d) {
    return cmd_set_label(d, "x");
}
cmd_result call_dev_info(device_id d) {
    std::array<uint8_t, 288> b{};
    uint32_t n = b.size();
    return cmd_get_dev_info(d, b.data(), &n);
}
cmd_result call_short_info(device_id d) {
    std::array<uint8_t, 68> b{};
    uint32_t n = b.size();
    return cmd_get_short_dev_info(d, b.data(), &n);
}
cmd_result call_random(device_id d) {
    std::array<uint8_t, 8> b{};
    return cmd_gen_random(d, b.data(), 8);
}
cmd_result call_dev_auth(device_id d) {
    return cmd_dev_auth(d, 0, std::array<uint8_t, 16>{});
}
cmd_result call_pin_info(device_id d) {
    return cmd_get_pin_info(d, 1, template_app, nullptr, nullptr, nullptr);
}
cmd_result call_verify(device_id d) {
    return cmd_verify_pin(d, std::array<uint8_t, 8>{}, 1, template_app, "1234");
}
cmd_result call_remote(device_id d) {
    return cmd_remote_unblock_pin(d, template_app, std::array<uint8_t, 16>{});
}
cmd_result call_clear(device_id d) {
    return cmd_clear_secure_state(d, template_app);
}
// The secure-messaging commands with a MAC that is computed without the card
// (the injected fault then meets the PIN command itself).
uint32_t any_mac(uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, uint32_t, uint8_t* mac,
                 uint32_t* length) {
    std::fill_n(mac, 4, 0x4D);
    *length = 4;
    return 0;
}
const std::array<uint8_t, 16> iv16{};
cmd_result call_change(device_id d) {
    return cmd_change_pin({any_mac, 1}, d, iv16, 1, template_app, "1234", "5678");
}
cmd_result call_unblock(device_id d) {
    return cmd_unblock_pin({any_mac, 1}, d, iv16, template_app, "1234", "5678");
}
cmd_result call_reload(device_id d) {
    return cmd_reload_pin({any_mac, 1}, d, iv16, template_app, "5678");
}
cmd_result call_unblock_ms(device_id d) {
    return cmd_unblock_pin_ms(d, template_app, std::vector<uint8_t>(16, 0x11), "1234");
}

const fault_case fault_cases[] = {
    {"SetLabel", call_set_label},         {"GetDevInfo", call_dev_info},
    {"GetShortDevInfo", call_short_info}, {"GenRandom", call_random},
    {"DevAuth", call_dev_auth},           {"GetPinInfo", call_pin_info},
    {"VerifyPin", call_verify},           {"UnblockPin_MS", call_unblock_ms},
    {"RemoteUnblockPin", call_remote},    {"ClearSecureState", call_clear},
    {"ChangePin", call_change},           {"UnblockPin", call_unblock},
    {"ReloadPin", call_reload},
};

class wrapper_faults : public device_wrappers, public ::testing::WithParamInterface<fault_case> {};

TEST_P(wrapper_faults, transport_failure_and_status_word) {
    card.inject_empty_reply(1);
    const cmd_result failed = GetParam().call(device);
    EXPECT_EQ(failed, cmd_transport_failed);
    EXPECT_EQ(failed.status_word, 0x8004u);
    EXPECT_EQ(cmd_last_status_word(), 0x8004u);

    card.inject_status_word(0x6A82, 1);
    const cmd_result refused = GetParam().call(device);
    EXPECT_EQ(refused, cmd_bad_status);
    EXPECT_EQ(refused.status_word, 0x6A82u);
    EXPECT_EQ(cmd_last_status_word(), 0x6A82u);
}

INSTANTIATE_TEST_SUITE_P(every_wrapper, wrapper_faults, ::testing::ValuesIn(fault_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Replies that are too short (status 9000) for what the caller reads.
class short_replies : public sim_device_test {};

TEST_F(short_replies, records_and_pin_info) {
    std::array<uint8_t, 288> record{};
    uint32_t size = record.size();
    EXPECT_EQ(cmd_get_dev_info(add_script_device(bytes(100, 0x11)), record.data(), &size),
              cmd_bad_length);
    EXPECT_EQ(size, 100u);

    size = 68;
    EXPECT_EQ(cmd_get_short_dev_info(add_script_device(bytes(40, 0x11)), record.data(), &size),
              cmd_bad_length);

    uint8_t max = 0xEE, remaining = 0xEE;
    const cmd_result pin_info =
        cmd_get_pin_info(add_script_device(bytes{9, 9}), 1, 1, &max, &remaining, nullptr);
    EXPECT_EQ(pin_info, cmd_bad_length);
    EXPECT_EQ(pin_info.status_word, 0x9000u) << "the word the short reply came with";
    EXPECT_EQ(cmd_last_status_word(), 0x9000u);
    EXPECT_EQ(max, 0xEE); // nothing written
    EXPECT_EQ(remaining, 0xEE);
}

// GenRandom checks the reply length before the status word, and never hands
// out fewer bytes than asked.
struct random_case {
    const char* name;
    size_t body;
    uint16_t sw;
    int expected;
};

class random_replies : public sim_device_test, public ::testing::WithParamInterface<random_case> {};

TEST_P(random_replies, length_then_status) {
    const random_case& c = GetParam();
    std::array<uint8_t, 8> buffer{};
    buffer.fill(0xEE);
    EXPECT_EQ(cmd_gen_random(add_script_device(bytes(c.body, 0x42), c.sw), buffer.data(), 8),
              c.expected);
    const bool copied = c.expected == cmd_ok;
    EXPECT_EQ(buffer[0], copied ? 0x42 : 0xEE);
}

INSTANTIATE_TEST_SUITE_P(
    gen_random, random_replies,
    ::testing::Values(random_case{"exact", 8, 0x9000, cmd_ok},
                      random_case{"longer_copies_nothing", 16, 0x9000, cmd_bad_length},
                      random_case{"longer_with_error_status", 16, 0x6A82, cmd_bad_length},
                      random_case{"error_status", 0, 0x6A82, cmd_bad_status},
                      random_case{"shorter", 4, 0x9000, cmd_bad_length}),
    [](const auto& info) { return std::string(info.param.name); });

// The unblock data of RemoteUnblockPin and UnblockPin_MS is bounded by the
// device's chunk size.
TEST_F(device_wrappers, unblock_data_bounded_by_the_chunk_size) {
    const uint32_t chunk = cmd_set_chunk_size(device, 96 + 32);
    ASSERT_EQ(chunk, 96u);
    const size_t sent = card.apdu_log().size();
    EXPECT_EQ(cmd_remote_unblock_pin(device, template_app, bytes(chunk - 1, 0)), cmd_bad_length);
    EXPECT_EQ(cmd_unblock_pin_ms(device, template_app, bytes(chunk - 2 - 3, 0), "1234"),
              cmd_bad_length);
    EXPECT_EQ(card.apdu_log().size(), sent);
    // At the bound it is sent (and the card judges the content).
    EXPECT_EQ(cmd_remote_unblock_pin(device, template_app, bytes(chunk - 2, 0)), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6700u);
}

} // namespace
