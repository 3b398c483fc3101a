#include "openssl_oracle.h"
#include "sm4_oracle.h"
#include "sm_wrap.h"

#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>
#include <vector>

namespace {

// The PIN key computed by OpenSSL: SHA-1 over the PIN in a zero-filled
// 16-byte buffer, first 16 bytes of the digest.
std::vector<uint8_t> expected_pin_key(const std::string& pin) {
    std::vector<uint8_t> text(16, 0);
    std::copy(pin.begin(), pin.end(), text.begin());
    std::vector<uint8_t> digest = oracle::sha1(text);
    digest.resize(16);
    return digest;
}

// The plain block written out from the layout: LE16 length, data, 0x80,
// zeros, in whole 16-byte blocks with at least one padding byte.
std::vector<uint8_t> expected_plain(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> plain = {static_cast<uint8_t>(data.size() & 0xff),
                                  static_cast<uint8_t>(data.size() >> 8)};
    plain.insert(plain.end(), data.begin(), data.end());
    plain.push_back(0x80);
    while (plain.size() % 16 != 0)
        plain.push_back(0x00);
    return plain;
}

std::vector<uint8_t> bytes_of(const std::string& s) {
    return {s.begin(), s.end()};
}

struct pin_case {
    const char* key_pin; // the PIN whose key protects the block (e.g. the current PIN)
    const char* new_pin; // the PIN carried in the block
    size_t block_size;
};

void PrintTo(const pin_case& c, std::ostream* os) {
    *os << "key PIN \"" << c.key_pin << "\", new PIN \"" << c.new_pin << "\"";
}

class SmPinBlock : public testing::TestWithParam<pin_case> {};

// Key derivation and wrap of the PIN commands, byte for byte against a block
// built from the layout and encrypted by OpenSSL.
TEST_P(SmPinBlock, MatchesIndependentComputation) {
    const pin_case& c = GetParam();
    const std::string key_pin = c.key_pin;
    const std::vector<uint8_t> new_pin = bytes_of(c.new_pin);

    std::array<uint8_t, sm_pin_key_size> key{};
    ASSERT_EQ(sm_pin_key(key_pin.data(), key_pin.size(), key.data()), sm_result::ok);
    const std::vector<uint8_t> want_key = expected_pin_key(key_pin);
    ASSERT_EQ(std::vector<uint8_t>(key.begin(), key.end()), want_key);

    std::vector<uint8_t> block;
    ASSERT_EQ(sm_wrap_block(key.data(), new_pin.data(), new_pin.size(), block), sm_result::ok);
    EXPECT_EQ(block.size(), c.block_size);
    EXPECT_EQ(sm_wrap_size(new_pin.size()), c.block_size);
    EXPECT_EQ(block, test_support::sm4_ecb(want_key, expected_plain(new_pin), true));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, SmPinBlock,
    testing::Values(pin_case{"1", "7", 16}, pin_case{"123456", "654321", 16},
                    pin_case{"12345678", "abcdefghijklm", 16},            // 13: 2 + 13 + 1 = 16
                    pin_case{"12345678", "abcdefghijklmn", 32},           // 14: 0x80 starts block 2
                    pin_case{"0123456789abcdef", "fedcba9876543210", 32}, // the maximum, 16
                    pin_case{"", "", 16}),
    [](const testing::TestParamInfo<pin_case>& info) {
        return "new_pin_" + std::to_string(std::string(info.param.new_pin).size());
    });

// The plain forms quoted for the wrap, read back through OpenSSL.
TEST(SmWrap, PlainLayout) {
    const std::array<uint8_t, 16> key = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    struct layout_case {
        std::vector<uint8_t> data;
        std::vector<uint8_t> plain;
    };
    const std::vector<layout_case> cases = {
        {{}, {0x00, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {{'1', '2', '3', '4', '5', '6'},
         {0x06, 0x00, '1', '2', '3', '4', '5', '6', 0x80, 0, 0, 0, 0, 0, 0, 0}},
        // The VerifyPin form: an 8-byte card challenge.
        {{0xc1, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8},
         {0x08, 0x00, 0xc1, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0x80, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data.size());
        std::vector<uint8_t> block;
        ASSERT_EQ(sm_wrap_block(key.data(), c.data.data(), c.data.size(), block), sm_result::ok);
        EXPECT_EQ(test_support::sm4_ecb(key, block, false), c.plain);
    }

    // 14 data bytes: the length and data fill block 1, the 0x80 opens block 2.
    const std::vector<uint8_t> fourteen(14, 0x31);
    std::vector<uint8_t> block;
    ASSERT_EQ(sm_wrap_block(key.data(), fourteen.data(), fourteen.size(), block), sm_result::ok);
    const std::vector<uint8_t> plain = test_support::sm4_ecb(key, block, false);
    ASSERT_EQ(plain.size(), 32u);
    EXPECT_EQ(plain[15], 0x31);
    EXPECT_EQ(plain[16], 0x80);
    EXPECT_EQ(std::vector<uint8_t>(plain.begin() + 17, plain.end()), std::vector<uint8_t>(15, 0));
}

TEST(SmWrap, PinKeyRefusesBadInput) {
    std::array<uint8_t, sm_pin_key_size> key{};
    key.fill(0xee);
    const std::string too_long(sm_pin_max_length + 1, '1');
    EXPECT_EQ(sm_pin_key(too_long.data(), too_long.size(), key.data()), sm_result::too_long);
    EXPECT_EQ(key, (std::array<uint8_t, sm_pin_key_size>{})); // no stale key left behind

    EXPECT_EQ(sm_pin_key(nullptr, 6, key.data()), sm_result::null_argument);
    EXPECT_EQ(sm_pin_key("123456", 6, nullptr), sm_result::null_argument);
    // An empty PIN may come as a null pointer (PKCS#11 allows pPin NULL with length 0).
    EXPECT_EQ(sm_pin_key(nullptr, 0, key.data()), sm_result::ok);
    EXPECT_EQ(std::vector<uint8_t>(key.begin(), key.end()), expected_pin_key(""));
}

TEST(SmWrap, WrapRefusesBadInput) {
    const std::array<uint8_t, 16> key{};
    const std::vector<uint8_t> too_long(sm_wrap_max_data + 1, '1');
    std::vector<uint8_t> block(5, 0xee);
    EXPECT_EQ(sm_wrap_block(key.data(), too_long.data(), too_long.size(), block),
              sm_result::too_long);
    EXPECT_TRUE(block.empty());
    // A length that would not fit the 16-bit length field is refused, not truncated.
    EXPECT_EQ(sm_wrap_block(key.data(), too_long.data(), 0x10000 + 6, block), sm_result::too_long);

    const std::vector<uint8_t> pin = bytes_of("123456");
    EXPECT_EQ(sm_wrap_block(nullptr, pin.data(), pin.size(), block), sm_result::null_argument);
    EXPECT_EQ(sm_wrap_block(key.data(), nullptr, pin.size(), block), sm_result::null_argument);
    EXPECT_TRUE(block.empty());
}

// The session key (and DevAuth cryptogram) against OpenSSL: SM4-ECB under the
// key of the 8-byte challenge followed by eight zero bytes.
TEST(SmWrap, SessionKeyIsTheChallengeBlockUnderTheKey) {
    const std::array<uint8_t, sm_pin_key_size> key = {
        '7', '3', '5', '0', '9', '1', '4', '8', 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0xfe, 0xff};
    const std::array<uint8_t, sm_session_challenge_size> challenge = {0xa1, 0xb2, 0xc3, 0xd4,
                                                                      0x00, 0x01, 0x02, 0x80};
    std::vector<uint8_t> block(challenge.begin(), challenge.end());
    block.resize(16, 0x00);
    sm_key session;
    ASSERT_EQ(sm_session_key(key.data(), challenge.data(), session), sm_result::ok);
    EXPECT_EQ(std::vector<uint8_t>(session.bytes, session.bytes + sizeof session.bytes),
              test_support::sm4_ecb(key, block, true));

    // A missing input leaves no key behind.
    EXPECT_EQ(sm_session_key(nullptr, challenge.data(), session), sm_result::null_argument);
    EXPECT_EQ(std::vector<uint8_t>(session.bytes, session.bytes + sizeof session.bytes),
              std::vector<uint8_t>(16, 0));
    EXPECT_EQ(sm_session_key(key.data(), nullptr, session), sm_result::null_argument);

    // The holder's PIN key is sm_pin_key's; a PIN too long derives none.
    sm_key pin_key;
    ASSERT_TRUE(pin_key.derive("123456"));
    EXPECT_EQ(std::vector<uint8_t>(pin_key.bytes, pin_key.bytes + sizeof pin_key.bytes),
              expected_pin_key("123456"));
    EXPECT_FALSE(pin_key.derive(std::string(sm_pin_max_length + 1, '1')));
}

} // namespace
