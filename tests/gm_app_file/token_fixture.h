// Test fixture: a simulated token in the second vpcd reader of the real
// pcscd, connected through the device API.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "cmd_device.h"
#include "gm_api.h"
#include "gm_filters.h"
#include "gm_handles.h"
#include "sm4.h"

namespace gm_test {

// The formatted token's application "APP" (tools/cardsim/README.md).
inline constexpr const char* so_pin = "pevot";
inline constexpr const char* user_pin = "58204716";
inline constexpr uint8_t devauth_key[16] = {'7', '3', '5', '0', '9', '1', '4', '8',
                                            '2', '6', '0', '5', '7', '3', '1', '9'};

inline std::array<uint8_t, 16> sm4_ecb_block(const uint8_t* key, const uint8_t* block) {
    sm4_round_keys rk{};
    sm4_key_schedule(rk, key);
    std::array<uint8_t, 16> out{};
    sm4_block(rk, block, out.data());
    return out;
}

class token_test : public ::testing::Test {
  protected:
    std::unique_ptr<cardsim::test::simulated_token> token;
    DEVHANDLE dev = 0;

    void SetUp() override {
        gm_set_enum_filters("Quessar vKessa Tavrel,vid_055c&pid_db08,vid_055c&pid_e618", nullptr);
        // The second reader: the first one is where most other suites put their tokens.
        token = std::make_unique<cardsim::test::simulated_token>(cardsim::card_options{},
                                                                 cardsim::test::second_port());
        ASSERT_TRUE(token->inserted()) << token->error();
        ASSERT_EQ(SKF_ConnectDev(token->reader().c_str(), &dev), SAR_OK);
    }
    void TearDown() override {
        if (dev != 0) {
            EXPECT_EQ(SKF_DisConnectDev(dev), SAR_OK);
        }
        token.reset();
    }

    device_id card_device() const { return gm_find_dev(dev)->device; }
    uint32_t chunk() const { return gm_find_dev(dev)->chunk_size; }

    // Device authentication with the token's default key (the device API
    // computes the cryptogram).
    uint32_t authenticate() { return gm_dev_auth_with_key(dev, devauth_key, sizeof devauth_key); }
    // The same with a cryptogram made here (the card's 8-byte challenge,
    // zero-extended to a block, under SM4-ECB).
    uint32_t authenticate_externally() {
        std::array<uint8_t, 16> block{};
        if (cmd_gen_random(card_device(), block.data(), 8) != cmd_ok) return SAR_FAIL;
        const auto answer = sm4_ecb_block(devauth_key, block.data());
        return SKF_DevAuth(dev, answer.data(), static_cast<uint32_t>(answer.size()));
    }

    HAPPLICATION open_app(const char* name = "APP") {
        HAPPLICATION h = 0;
        EXPECT_EQ(SKF_OpenApplication(dev, name, &h), SAR_OK);
        return h;
    }

    // Commands the card received since the last clear_log, by CLA (chaining
    // bit ignored) and INS.
    int count(uint8_t cla, uint8_t ins) const {
        int n = 0;
        for (const auto& apdu : token->sim().apdu_log())
            if (apdu.size() >= 2 && (apdu[0] & ~0x10) == cla && apdu[1] == ins) ++n;
        return n;
    }
    size_t commands() const { return token->sim().apdu_log().size(); }
    // The log as hex lines, for failure messages.
    std::string log_text() const {
        std::string text;
        static const char* digits = "0123456789ABCDEF";
        for (const auto& apdu : token->sim().apdu_log()) {
            for (size_t i = 0; i < apdu.size() && i < 16; ++i) {
                text += digits[apdu[i] >> 4];
                text += digits[apdu[i] & 15];
            }
            text += '\n';
        }
        return text;
    }
    void clear_log() { token->sim().clear_log(); }
};

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(seed >> 16);
    }
    return v;
}

} // namespace gm_test
