// The exact bytes of every device and PIN command builder, at the boundaries
// of each length field, and the refusals that happen before anything is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "cmd_device.h"
#include "sm_oracle.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes hdr(std::initializer_list<uint8_t> b) {
    return bytes(b);
}
bytes cat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
bytes text(const std::string& s) {
    return bytes(s.begin(), s.end());
}
bytes filled(size_t n, uint8_t v) {
    return bytes(n, v);
}

bytes serialised(const cmd_built& b) {
    return b.command ? b.command->to_bytes() : bytes{};
}

struct byte_case {
    const char* name;
    std::function<cmd_built()> build;
    bytes expected;
    const char* command_name;
};

class builder_bytes : public ::testing::TestWithParam<byte_case> {};

TEST_P(builder_bytes, exact_bytes) {
    const byte_case& c = GetParam();
    cmd_built b = c.build();
    ASSERT_TRUE(b.command) << "refused with " << b.result;
    EXPECT_EQ(b.result, cmd_ok);
    EXPECT_EQ(serialised(b), c.expected);
    EXPECT_STREQ(b.command->name(), c.command_name);
}

const std::string label32(32, 'L');
const bytes auth16 = filled(16, 0xA5);
const bytes auth_max = filled(chunk_size_max, 0x3C);
const bytes response16 = filled(16, 0x5A);

const byte_case byte_cases[] = {
    // SetLabel: E-Lc with the label; an empty label as the one byte 00 (an
    // extended Lc cannot be 0).
    {"label_empty", [] { return build_set_label(""); },
     hdr({0x80, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}), "SetLabel"},
    {"label_1", [] { return build_set_label("Q"); },
     hdr({0x80, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 'Q'}), "SetLabel"},
    {"label_32", [] { return build_set_label(label32); },
     cat(hdr({0x80, 0x02, 0x00, 0x00, 0x00, 0x00, 0x20}), text(label32)), "SetLabel"},
    {"dev_info", [] { return build_get_dev_info(); },
     hdr({0x80, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}), "GetDevInfo"},
    {"short_dev_info", [] { return build_get_short_dev_info(); },
     hdr({0x80, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00}), "GetShortDevInfo"},
    // GenRandom: Le = length; 256 and 257 straddle the short Le, 65536 is
    // written 00 00.
    {"random_1", [] { return build_gen_random(1); },
     hdr({0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x01}), "GenRandom"},
    {"random_8", [] { return build_gen_random(8); },
     hdr({0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08}), "GenRandom"},
    {"random_256", [] { return build_gen_random(256); },
     hdr({0x80, 0x50, 0x00, 0x00, 0x00, 0x01, 0x00}), "GenRandom"},
    {"random_257", [] { return build_gen_random(257); },
     hdr({0x80, 0x50, 0x00, 0x00, 0x00, 0x01, 0x01}), "GenRandom"},
    {"random_65536", [] { return build_gen_random(0x10000); },
     hdr({0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x00}), "GenRandom"},
    {"dev_auth_16", [] { return build_dev_auth(0, auth16); },
     cat(hdr({0x80, 0x10, 0x00, 0x00, 0x00, 0x00, 0x10}), auth16), "DevAuth"},
    {"dev_auth_key_id", [] { return build_dev_auth(0x07, bytes{0x01}); },
     hdr({0x80, 0x10, 0x00, 0x07, 0x00, 0x00, 0x01, 0x01}), "DevAuth"},
    {"dev_auth_max", [] { return build_dev_auth(0, auth_max); },
     cat(hdr({0x80, 0x10, 0x00, 0x00, 0x00, static_cast<uint8_t>(chunk_size_max >> 8),
              static_cast<uint8_t>(chunk_size_max & 0xFF)}),
         auth_max),
     "DevAuth"},
    {"pin_info_user", [] { return build_get_pin_info(pin_type_user, 0x1234); },
     hdr({0x80, 0x14, 0x00, 0x01, 0x00, 0x00, 0x02, 0x12, 0x34, 0x00, 0x03}), "GetPinInfo"},
    {"pin_info_so_app_ffff", [] { return build_get_pin_info(pin_type_so, 0xFFFF); },
     hdr({0x80, 0x14, 0x00, 0x00, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0x00, 0x03}), "GetPinInfo"},
    // UnblockPin_MS: app || response || new PIN (at most 16 bytes sent).
    {"unblock_ms", [] { return build_unblock_pin_ms(0x0102, response16, "123456"); },
     cat(cat(hdr({0x84, 0x1A, 0x00, 0x01, 0x00, 0x00, 24, 0x01, 0x02}), response16),
         text("123456")),
     "UnblockPin_MS"},
    {"unblock_ms_pin_cut_to_16",
     [] { return build_unblock_pin_ms(1, response16, "12345678901234567890"); },
     cat(cat(hdr({0x84, 0x1A, 0x00, 0x01, 0x00, 0x00, 34, 0x00, 0x01}), response16),
         text("1234567890123456")),
     "UnblockPin_MS"},
    {"unblock_ms_empty", [] { return build_unblock_pin_ms(1, {}, ""); },
     hdr({0x84, 0x1A, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x01}), "UnblockPin_MS"},
    {"remote_unblock", [] { return build_remote_unblock_pin(0xA0B0, bytes{1, 2, 3}); },
     hdr({0x84, 0x1A, 0x01, 0x00, 0x00, 0x00, 0x05, 0xA0, 0xB0, 1, 2, 3}), "RemoteUnblockPin"},
    {"clear_secure_state", [] { return build_clear_secure_state(0x0001); },
     hdr({0x80, 0x1C, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01}), "ClearSecureState"},
};

INSTANTIATE_TEST_SUITE_P(device_and_pin, builder_bytes, ::testing::ValuesIn(byte_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Inputs that do not fit their fields are refused before a command exists.
struct refusal_case {
    const char* name;
    std::function<cmd_built()> build;
};

class builder_refusal : public ::testing::TestWithParam<refusal_case> {};

TEST_P(builder_refusal, nothing_built) {
    cmd_built b = GetParam().build();
    EXPECT_FALSE(b.command);
    EXPECT_EQ(b.result, cmd_bad_length);
}

const std::string pin17(17, '7');
const std::array<uint8_t, 8> challenge8{1, 2, 3, 4, 5, 6, 7, 8};
const std::array<uint8_t, 16> iv16{};

uint32_t mac_ok(uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, uint32_t, uint8_t* mac,
                uint32_t* length) {
    for (uint32_t i = 0; i < 16; ++i)
        mac[i] = static_cast<uint8_t>(0xC0 + i);
    *length = 16;
    return 0;
}

const refusal_case refusal_cases[] = {
    {"label_33", [] { return build_set_label(std::string(33, 'L')); }},
    {"random_0", [] { return build_gen_random(0); }},
    {"random_65537", [] { return build_gen_random(0x10001); }},
    {"dev_auth_empty", [] { return build_dev_auth(0, {}); }},
    {"dev_auth_over_chunk", [] { return build_dev_auth(0, bytes(chunk_size_max + 1, 0)); }},
    {"verify_pin_17", [] { return build_verify_pin(challenge8, 1, 1, pin17); }},
    {"change_current_17",
     [] {
         return build_change_pin({mac_ok, 1}, iv16, 1, 1, pin17, "123456");
     }},
    {"change_new_17",
     [] {
         return build_change_pin({mac_ok, 1}, iv16, 1, 1, "123456", pin17);
     }},
    {"change_no_mac_function",
     [] {
         return build_change_pin({nullptr, 1}, iv16, 1, 1, "123456", "654321");
     }},
    {"unblock_so_17",
     [] {
         return build_unblock_pin({mac_ok, 1}, iv16, 1, pin17, "123456");
     }},
    {"reload_new_17",
     [] {
         return build_reload_pin({mac_ok, 1}, iv16, 1, pin17);
     }},
    {"unblock_ms_over_area",
     [] { return build_unblock_pin_ms(1, bytes(chunk_size_max - 1, 0), "12"); }},
    {"remote_unblock_over_area",
     [] { return build_remote_unblock_pin(1, bytes(chunk_size_max - 1, 0)); }},
};

INSTANTIATE_TEST_SUITE_P(device_and_pin, builder_refusal, ::testing::ValuesIn(refusal_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(builder_verify_pin, challenge_wrapped_under_the_pin_key) {
    cmd_built b = build_verify_pin(challenge8, pin_type_user, 0x0203, "58204716");
    ASSERT_TRUE(b.command);
    const bytes apdu = serialised(b);
    ASSERT_EQ(apdu.size(), 7u + 18u);
    EXPECT_EQ(bytes(apdu.begin(), apdu.begin() + 9),
              hdr({0x80, 0x18, 0x00, 0x01, 0x00, 0x00, 18, 0x02, 0x03}));
    const auto plain = oracle::unwrap(oracle::pin_key("58204716"), std::span(apdu).subspan(9));
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, bytes(challenge8.begin(), challenge8.end()));
}

// What the MAC callback was asked, for the checks below.
struct mac_request {
    int calls = 0;
    uint32_t api_device = 0;
    bytes key, iv, data;
};
mac_request last_request;

uint32_t recording_mac(uint32_t api_device, const uint8_t* key, const uint8_t* iv,
                       const uint8_t* data, uint32_t length, uint8_t* mac, uint32_t* mac_length) {
    ++last_request.calls;
    last_request.api_device = api_device;
    last_request.key.assign(key, key + 16);
    last_request.iv.assign(iv, iv + 16);
    last_request.data.assign(data, data + length);
    return mac_ok(api_device, key, iv, data, length, mac, mac_length);
}

// ChangePin for new PINs at the block boundaries: 0, 6, 13 -> 16 bytes;
// 14, 16 -> 32 bytes.
class change_pin_block : public ::testing::TestWithParam<size_t> {};

TEST_P(change_pin_block, layout_key_and_mac) {
    const std::string current = "58204716";
    const std::string fresh(GetParam(), 'n');
    std::array<uint8_t, 16> iv{};
    for (size_t i = 0; i < 8; ++i)
        iv[i] = static_cast<uint8_t>(0x10 + i);
    last_request = {};
    cmd_built b = build_change_pin({recording_mac, 77}, iv, pin_type_so, 0x0A0B, current, fresh);
    ASSERT_TRUE(b.command);

    const size_t block = GetParam() >= 14 ? 32 : 16;
    const bytes apdu = serialised(b);
    ASSERT_EQ(apdu.size(), 7 + 2 + block + 4);
    EXPECT_EQ(
        bytes(apdu.begin(), apdu.begin() + 9),
        hdr({0x84, 0x16, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(2 + block + 4), 0x0A, 0x0B}));
    const oracle::block16 key = oracle::pin_key(current);
    const auto plain = oracle::unwrap(key, std::span(apdu).subspan(9, block));
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, text(fresh));
    EXPECT_EQ(bytes(apdu.end() - 4, apdu.end()), hdr({0xC0, 0xC1, 0xC2, 0xC3}));

    EXPECT_EQ(last_request.calls, 1);
    EXPECT_EQ(last_request.api_device, 77u);
    EXPECT_EQ(last_request.key, bytes(key.begin(), key.end()));
    EXPECT_EQ(last_request.iv, bytes(iv.begin(), iv.end()));
    EXPECT_EQ(last_request.data, text(fresh));
}

INSTANTIATE_TEST_SUITE_P(boundaries, change_pin_block, ::testing::Values(0u, 6u, 13u, 14u, 16u),
                         ::testing::PrintToStringParamName());

TEST(builder_unblock_pin, new_user_pin_under_the_so_key) {
    last_request = {};
    cmd_built b = build_unblock_pin({recording_mac, 5}, iv16, 0x0001, "pevot", "112233");
    ASSERT_TRUE(b.command);
    const bytes apdu = serialised(b);
    ASSERT_EQ(apdu.size(), 7u + 2 + 16 + 4);
    EXPECT_EQ(bytes(apdu.begin(), apdu.begin() + 9),
              hdr({0x84, 0x1A, 0x00, 0x00, 0x00, 0x00, 22, 0x00, 0x01}));
    const auto plain = oracle::unwrap(oracle::pin_key("pevot"), std::span(apdu).subspan(9, 16));
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, text("112233"));
    const oracle::block16 key = oracle::pin_key("pevot");
    EXPECT_EQ(last_request.key, bytes(key.begin(), key.end()));
}

// ReloadPin: the 16-byte key given wraps the new PIN (used as it is, not
// hashed like a PIN) and is the MAC's key and IV alike.
TEST(builder_reload_pin, key_given_is_key_and_iv) {
    std::array<uint8_t, 16> key{};
    for (size_t i = 0; i < 8; ++i)
        key[i] = static_cast<uint8_t>(0xE0 + i);
    last_request = {};
    cmd_built b = build_reload_pin({recording_mac, 5}, key, 0x0001, "99887766");
    ASSERT_TRUE(b.command);
    const bytes apdu = serialised(b);
    ASSERT_EQ(apdu.size(), 7u + 2 + 16 + 4);
    EXPECT_EQ(bytes(apdu.begin(), apdu.begin() + 9),
              hdr({0xC4, 0x34, 0x00, 0x00, 0x00, 0x00, 22, 0x00, 0x01}));
    const auto plain = oracle::unwrap(key, std::span(apdu).subspan(9, 16));
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, text("99887766"));
    EXPECT_EQ(last_request.key, bytes(key.begin(), key.end()));
    EXPECT_EQ(last_request.iv, bytes(key.begin(), key.end()));
    EXPECT_EQ(last_request.data, text("99887766"));
}

// A failed MAC computation aborts the command: nothing is built, and the
// MAC function's own code is handed back.
uint32_t mac_no_room(uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, uint32_t, uint8_t*,
                     uint32_t*) {
    return 0x0A000030; // the device API's "no room" (SetSessionKey answered 6A84)
}
uint32_t mac_three_bytes(uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, uint32_t,
                         uint8_t* mac, uint32_t* length) {
    mac[0] = mac[1] = mac[2] = 1;
    *length = 3;
    return 0;
}
uint32_t mac_claims_too_much(uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, uint32_t,
                             uint8_t*, uint32_t* length) {
    *length += 1;
    return 0;
}

struct mac_failure_case {
    const char* name;
    sm_mac_function fn;
    uint32_t expected_error;
};

class builder_mac_failure : public ::testing::TestWithParam<mac_failure_case> {};

TEST_P(builder_mac_failure, aborts_with_the_real_error) {
    const mac_failure_case& c = GetParam();
    const std::function<cmd_built()> builders[] = {
        [&] {
            return build_change_pin({c.fn, 1}, iv16, 1, 1, "123456", "654321");
        },
        [&] {
            return build_unblock_pin({c.fn, 1}, iv16, 1, "pevot", "654321");
        },
        [&] {
            return build_reload_pin({c.fn, 1}, iv16, 1, "654321");
        },
    };
    for (const auto& build : builders) {
        cmd_built b = build();
        EXPECT_FALSE(b.command);
        EXPECT_EQ(b.result, cmd_mac_failed);
        EXPECT_EQ(b.mac_error, c.expected_error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    device_and_pin, builder_mac_failure,
    ::testing::Values(mac_failure_case{"error_code", mac_no_room, 0x0A000030},
                      mac_failure_case{"fewer_than_4_bytes", mac_three_bytes, sm_mac_error_short},
                      mac_failure_case{"more_than_capacity", mac_claims_too_much,
                                       sm_mac_error_short}),
    [](const auto& info) { return std::string(info.param.name); });

// The descriptor table is the one place each header is written: cross-check
// it against the builders (every row reachable, names unique).
TEST(device_cmd_table, rows_match_their_ids) {
    std::vector<std::string> names;
    const std::span<const cmd_descriptor> table = device_cmd_table();
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(&device_cmd_descriptor(static_cast<device_cmd>(i)), &table[i]);
        names.emplace_back(table[i].name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
    EXPECT_EQ(names.size(), 13u);
}

// The one form rule every command family builds with: a form with an Lc
// field and no data is sent without Lc (no ISO 7816-4 command has an Lc of
// 0), Le only where the form has an Le field.
struct form_case {
    const char* name;
    int32_t form;
    bytes data;
    int32_t le;
    bytes expected; // empty: refused
};

class cmd_build_form : public ::testing::TestWithParam<form_case> {};

TEST_P(cmd_build_form, serialises_as_expected) {
    const form_case& c = GetParam();
    const cmd_descriptor d{"Row", 0x80, 0x10, 0x01, 0x02, c.form, 0x20, 1500};
    apdu_holder command = cmd_build(d, c.data, c.le);
    if (c.expected.empty()) {
        EXPECT_EQ(command, nullptr);
        return;
    }
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(command->to_bytes(), c.expected);
    EXPECT_EQ(command->timeout(), 1500);
    EXPECT_STREQ(command->name(), "Row");
}

const form_case form_cases[] = {
    {"ext_lc_with_data",
     apdu_case_3_ext,
     {0xAA},
     -1,
     {0x80, 0x10, 0x01, 0x02, 0x00, 0x00, 0x01, 0xAA}},
    {"ext_lc_without_data_is_header_only", apdu_case_3_ext, {}, -1, {0x80, 0x10, 0x01, 0x02}},
    {"ext_lcle_with_data",
     apdu_case_4_ext,
     {0xAA},
     -1,
     {0x80, 0x10, 0x01, 0x02, 0x00, 0x00, 0x01, 0xAA, 0x00, 0x20}},
    {"ext_lcle_without_data_keeps_le",
     apdu_case_4_ext,
     {},
     -1,
     {0x80, 0x10, 0x01, 0x02, 0x00, 0x00, 0x20}},
    {"ext_lcle_caller_le",
     apdu_case_4_ext,
     {},
     0x10000,
     {0x80, 0x10, 0x01, 0x02, 0x00, 0x00, 0x00}},
    {"short_lcle_without_data", apdu_case_4, {}, -1, {0x80, 0x10, 0x01, 0x02, 0x20}},
    {"ext_le", apdu_case_2_ext, {}, 7, {0x80, 0x10, 0x01, 0x02, 0x00, 0x00, 0x07}},
    {"header_only", apdu_case_1, {}, -1, {0x80, 0x10, 0x01, 0x02}},
    {"header_only_refuses_data", apdu_case_1, {0xAA}, -1, {}},
    {"le_form_refuses_data", apdu_case_2_ext, {0xAA}, -1, {}},
    {"le_beyond_65536", apdu_case_2_ext, {}, 0x10001, {}},
    {"data_beyond_extended_lc", apdu_case_3_ext, bytes(0x10000, 0x11), -1, {}},
};

INSTANTIATE_TEST_SUITE_P(descriptor, cmd_build_form, ::testing::ValuesIn(form_cases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
