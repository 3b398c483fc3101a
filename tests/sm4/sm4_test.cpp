#include "sm4.h"
#include "sm4_oracle.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// GB/T 32907-2016, Appendix A: key = plaintext = 0123456789abcdeffedcba9876543210.
const std::vector<uint8_t> standard_key = from_hex("0123456789abcdeffedcba9876543210");
const std::vector<uint8_t> standard_cipher = from_hex("681edf34d206965e86b3e94f536e4246");
const std::vector<uint8_t> standard_million = from_hex("595298c7c6fd271f0402f804c33d3f66");

} // namespace

TEST(Sm4Standard, KeyScheduleMatchesExampleRoundKeys) {
    sm4_round_keys rk{};
    sm4_key_schedule(rk, standard_key.data());
    EXPECT_EQ(rk[0], 0xf12186f9u);
    EXPECT_EQ(rk[31], 0x9124a012u);
}

TEST(Sm4Standard, SingleBlockEncryptsAndDecrypts) {
    sm4_round_keys rk{};
    sm4_key_schedule(rk, standard_key.data());
    std::vector<uint8_t> block = standard_key; // the plaintext equals the key
    std::vector<uint8_t> out(16);
    sm4_block(rk, block.data(), out.data());
    EXPECT_EQ(out, standard_cipher);

    sm4_reverse_round_keys(rk);
    sm4_block(rk, out.data(), out.data()); // in place
    EXPECT_EQ(out, standard_key);

    ASSERT_EQ(sm4_ecb(standard_key.data(), block.data(), block.size(), sm4_encrypt),
              sm4_result::ok);
    EXPECT_EQ(block, standard_cipher);
    ASSERT_EQ(sm4_ecb(standard_key.data(), block.data(), block.size(), sm4_decrypt),
              sm4_result::ok);
    EXPECT_EQ(block, standard_key);
}

// The second example of GB/T 32907 Appendix A: the same plaintext encrypted
// 1,000,000 times in a row under the same key.
TEST(Sm4LongVector, MillionIterations) {
    sm4_round_keys rk{};
    sm4_key_schedule(rk, standard_key.data());
    std::vector<uint8_t> block = standard_key;
    for (int i = 0; i < 1'000'000; ++i)
        sm4_block(rk, block.data(), block.data());
    EXPECT_EQ(block, standard_million);
}

TEST(Sm4Ecb, AnyModeOtherThanOneDecrypts) {
    for (int mode : {0, 2, -1, 0x7fffffff}) {
        SCOPED_TRACE(mode);
        std::vector<uint8_t> buffer = standard_cipher;
        ASSERT_EQ(sm4_ecb(standard_key.data(), buffer.data(), buffer.size(), mode), sm4_result::ok);
        EXPECT_EQ(buffer, standard_key);
    }
}

// Random keys and buffers of 1 to 8 blocks, encrypted and decrypted by both
// this implementation and OpenSSL. The seed is fixed so a failure reproduces.
TEST(Sm4Ecb, AgreesWithOpenSsl) {
    std::mt19937 rng(0x5e4d2c1b);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> blocks(1, 8);
    for (int n = 0; n < 200; ++n) {
        SCOPED_TRACE(n);
        std::array<uint8_t, 16> key{};
        for (auto& b : key)
            b = static_cast<uint8_t>(byte(rng));
        std::vector<uint8_t> plain(16 * static_cast<size_t>(blocks(rng)));
        for (auto& b : plain)
            b = static_cast<uint8_t>(byte(rng));

        std::vector<uint8_t> ours = plain;
        ASSERT_EQ(sm4_ecb(key.data(), ours.data(), ours.size(), sm4_encrypt), sm4_result::ok);
        ASSERT_EQ(ours, test_support::sm4_ecb(key, plain, true));

        // Decrypt OpenSSL's decryption of the plaintext as a ciphertext: the
        // inverse direction is checked on data neither side produced.
        std::vector<uint8_t> back = plain;
        ASSERT_EQ(sm4_ecb(key.data(), back.data(), back.size(), sm4_decrypt), sm4_result::ok);
        ASSERT_EQ(back, test_support::sm4_ecb(key, plain, false));
    }
}

// A length that is not a whole number of blocks is refused and nothing is
// touched. The buffer is exactly length bytes, so processing a partial last
// block as a whole one would be an out-of-bounds access under ASan.
TEST(Sm4Ecb, PartialLastBlockIsRefusedUntouched) {
    for (size_t length : {1u, 8u, 15u, 17u, 31u, 33u, 47u}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> buffer(length);
        for (size_t i = 0; i < length; ++i)
            buffer[i] = static_cast<uint8_t>(i * 37 + 1);
        const std::vector<uint8_t> before = buffer;
        EXPECT_EQ(sm4_ecb(standard_key.data(), buffer.data(), buffer.size(), sm4_encrypt),
                  sm4_result::bad_length);
        EXPECT_EQ(buffer, before);
    }
}

TEST(Sm4Ecb, EmptyAndMissingArguments) {
    EXPECT_EQ(sm4_ecb(standard_key.data(), nullptr, 0, sm4_encrypt), sm4_result::ok);
    EXPECT_EQ(sm4_ecb(nullptr, nullptr, 0, sm4_encrypt), sm4_result::ok);

    std::vector<uint8_t> buffer(16, 0xaa);
    EXPECT_EQ(sm4_ecb(nullptr, buffer.data(), buffer.size(), sm4_encrypt),
              sm4_result::null_argument);
    EXPECT_EQ(buffer, std::vector<uint8_t>(16, 0xaa));
    EXPECT_EQ(sm4_ecb(standard_key.data(), nullptr, 16, sm4_encrypt), sm4_result::null_argument);
    // A negative block count converted to size_t (here -16, a multiple of 16).
    EXPECT_EQ(sm4_ecb(standard_key.data(), buffer.data(), static_cast<size_t>(-16), sm4_encrypt),
              sm4_result::bad_length);
    EXPECT_EQ(buffer, std::vector<uint8_t>(16, 0xaa));
}
