// The secure-messaging MAC of the PIN commands, computed by the library:
//  - sm_mac (the module's SM4) against the simulated card's own MAC function
//    and against OpenSSL's SM4-CBC, over lengths around the block size;
//  - through the device API on an in-process simulated card: ChangePin,
//    UnblockPin and ReloadPin carry the first 4 bytes of the card's MAC over
//    the new PIN (key: the PIN key, or ReloadPin's session key S =
//    SM4-ECB(K(SO PIN), challenge block); IV: the challenge block), are
//    accepted, and no other command is sent for the MAC.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "card.h"
#include "device_sc_manager.h"
#include "fake_device.h"
#include "gm_api.h"
#include "gm_handles.h"
#include "sm_mac.h"
#include "sm_wrap.h"

namespace {

using bytes = std::vector<uint8_t>;
using block16 = std::array<uint8_t, 16>;

// SM4-CBC of data padded by ISO/IEC 9797-1 method 2; the last cipher block.
block16 openssl_cbc_mac(const block16& key, const block16& iv, const bytes& data) {
    bytes padded = data;
    padded.push_back(0x80);
    padded.resize((padded.size() + 15) / 16 * 16, 0);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    bytes out(padded.size() + 16);
    int n = 0;
    block16 mac{};
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_sm4_cbc(), nullptr, key.data(), iv.data()) != 1)
        return mac;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    if (EVP_EncryptUpdate(ctx.get(), out.data(), &n, padded.data(),
                          static_cast<int>(padded.size())) != 1 ||
        static_cast<size_t>(n) != padded.size())
        return mac;
    std::copy(out.begin() + n - 16, out.begin() + n, mac.begin());
    return mac;
}

// One SM4-ECB block by OpenSSL.
block16 openssl_ecb(const block16& key, const block16& in) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    block16 out{};
    int n = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key.data(), nullptr) != 1)
        return out;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    if (EVP_EncryptUpdate(ctx.get(), out.data(), &n, in.data(), 16) != 1 || n != 16) return {};
    return out;
}

block16 pin_key_of(const char* pin) {
    const auto key = cardsim::sm_pin_key(pin);
    return key ? *key : block16{};
}

block16 card_mac(const block16& key, const block16& iv, const bytes& data) {
    const auto mac = cardsim::sm4_cbc_mac(key, iv, data);
    return mac ? *mac : block16{};
}

class sm_mac_lengths : public ::testing::TestWithParam<size_t> {};

TEST_P(sm_mac_lengths, agrees_with_the_card_and_openssl) {
    const size_t length = GetParam();
    block16 key{}, iv{};
    for (size_t i = 0; i < 16; ++i) {
        key[i] = static_cast<uint8_t>(0x11 * i + 3);
        iv[i] = static_cast<uint8_t>(0xF0 - 7 * i);
    }
    bytes data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 31 + length);

    block16 mac{};
    ASSERT_EQ(sm_mac(key.data(), iv.data(), data.data(), data.size(), mac.data()), sm_result::ok);
    const block16 expected = openssl_cbc_mac(key, iv, data);
    EXPECT_NE(expected, block16{});
    EXPECT_EQ(mac, expected);
    EXPECT_EQ(mac, card_mac(key, iv, data));
}

INSTANTIATE_TEST_SUITE_P(sm_mac, sm_mac_lengths,
                         ::testing::Values(0, 1, 6, 13, 14, 15, 16, 17, 31, 32, 33, 3000),
                         ::testing::PrintToStringParamName());

TEST(sm_mac, refuses_missing_arguments) {
    const uint8_t key[16] = {}, iv[16] = {}, data[1] = {};
    uint8_t mac[16] = {};
    EXPECT_EQ(sm_mac(nullptr, iv, data, 1, mac), sm_result::null_argument);
    EXPECT_EQ(sm_mac(key, nullptr, data, 1, mac), sm_result::null_argument);
    EXPECT_EQ(sm_mac(key, iv, nullptr, 1, mac), sm_result::null_argument);
    EXPECT_EQ(sm_mac(key, iv, data, 1, nullptr), sm_result::null_argument);
    EXPECT_EQ(sm_mac(key, iv, nullptr, 0, mac), sm_result::ok);
}

// ----------------------------------------------------------------------------
// The device API over an in-process card; every exchange is recorded.

constexpr const char* reader = "Quessar vKessa Tavrel 00 00";
constexpr const char* so_pin = "pevot";
constexpr const char* user_pin = "58204716";

class connectable_device : public fake_device {
  public:
    using fake_device::fake_device;
    uint32_t connect() override { return 0; }
    uint32_t disconnect() override { return 0; }
    int get_direct_cipher_size(uint32_t* size) override {
        *size = 0;
        return 0;
    }
};

struct exchange {
    bytes command;
    bytes reply;
};

class pin_commands : public ::testing::Test {
  protected:
    cardsim::card card;
    std::vector<exchange> wire;
    DEVHANDLE dev = 0;
    HAPPLICATION app = 0;

    void SetUp() override {
        auto* device = new connectable_device(reader, [this](std::span<const uint8_t> apdu) {
            bytes reply = card.transmit(apdu);
            wire.push_back({bytes(apdu.begin(), apdu.end()), reply});
            return reply;
        });
        device_manager().adopt_device(std::unique_ptr<device_base>(device));
        ASSERT_EQ(SKF_ConnectDev(reader, &dev), SAR_OK);
        ASSERT_EQ(SKF_OpenApplication(dev, "APP", &app), SAR_OK);
    }
    void TearDown() override {
        if (dev != 0) {
            EXPECT_EQ(SKF_DisConnectDev(dev), SAR_OK);
        }
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }

    // The INS bytes of the recorded commands.
    std::vector<uint8_t> instructions() const {
        std::vector<uint8_t> ins;
        for (const exchange& e : wire)
            ins.push_back(e.command.at(1));
        return ins;
    }

    // The PIN command (the last exchange) carries app || block || MAC; the
    // MAC is the first 4 bytes of the card's MAC over the new PIN with key
    // and the IV made of the challenge the GenRandom before it returned.
    void expect_card_mac(const block16& key, const std::string& new_pin,
                         const char* session_of_pin = nullptr) {
        ASSERT_GE(wire.size(), 2u);
        const exchange& random = wire[wire.size() - 2];
        const exchange& command = wire.back();
        ASSERT_EQ(random.command.at(1), 0x50); // GenRandom
        ASSERT_GE(random.reply.size(), 8u + 2u);
        block16 iv{};
        std::copy_n(random.reply.begin(), 8, iv.begin());
        const block16 mac_key = session_of_pin ? openssl_ecb(pin_key_of(session_of_pin), iv) : key;
        // Extended case 3: CLA INS P1 P2 00 Lc Lc data.
        ASSERT_GE(command.command.size(), 7u + 4u);
        const bytes carried(command.command.end() - 4, command.command.end());
        const bytes pin(new_pin.begin(), new_pin.end());
        const block16 card_side = card_mac(mac_key, iv, pin);
        EXPECT_EQ(carried, bytes(card_side.begin(), card_side.begin() + 4));
        const block16 openssl_side = openssl_cbc_mac(mac_key, iv, pin);
        EXPECT_EQ(carried, bytes(openssl_side.begin(), openssl_side.begin() + 4));
        EXPECT_EQ(command.reply, (bytes{0x90, 0x00}));
    }
};

block16 pin_key(const char* pin) {
    const auto key = cardsim::sm_pin_key(pin);
    return key ? *key : block16{};
}

TEST_F(pin_commands, change_pin_carries_the_card_mac_and_nothing_else_is_sent) {
    uint32_t retry = 0;
    wire.clear();
    ASSERT_EQ(SKF_ChangePIN(app, 1, user_pin, "11223344", &retry), SAR_OK);
    // Challenge, VerifyPin of the old PIN, challenge, ChangePin.
    EXPECT_EQ(instructions(), (std::vector<uint8_t>{0x50, 0x18, 0x50, 0x16}));
    expect_card_mac(pin_key(user_pin), "11223344");

    wire.clear();
    ASSERT_EQ(SKF_ChangePIN(app, 0, so_pin, "so-pin-14bytes", &retry), SAR_OK);
    EXPECT_EQ(instructions(), (std::vector<uint8_t>{0x50, 0x18, 0x50, 0x16}));
    expect_card_mac(pin_key(so_pin), "so-pin-14bytes");
    EXPECT_EQ(gm_verify_pin(app, 0, "so-pin-14bytes", &retry), SAR_OK);
}

TEST_F(pin_commands, unblock_pin_carries_the_card_mac) {
    uint32_t retry = 0;
    wire.clear();
    ASSERT_EQ(SKF_UnblockPIN(app, so_pin, "unblocked-16byte", &retry), SAR_OK);
    EXPECT_EQ(instructions(), (std::vector<uint8_t>{0x50, 0x1A}));
    expect_card_mac(pin_key(so_pin), "unblocked-16byte");
    EXPECT_EQ(gm_verify_pin(app, 1, "unblocked-16byte", &retry), SAR_OK);
}

TEST_F(pin_commands, reload_pin_carries_the_card_mac) {
    uint32_t retry = 0;
    ASSERT_EQ(gm_verify_pin(app, 0, so_pin, &retry), SAR_OK);
    wire.clear();
    ASSERT_EQ(gm_reload_user_pin(app, "reload-1"), SAR_OK);
    EXPECT_EQ(instructions(), (std::vector<uint8_t>{0x50, 0x34}));
    expect_card_mac({}, "reload-1", so_pin);
    EXPECT_EQ(gm_verify_pin(app, 1, "reload-1", &retry), SAR_OK);
}

// The MAC function takes the device handle of the PIN command's API call and
// answers as the card does: 16 bytes, or the size needed.
TEST_F(pin_commands, secure_messaging_mac_sends_nothing) {
    block16 key{}, iv{};
    key.fill(0x42);
    iv.fill(0x24);
    const bytes data(40, 0x33);
    uint8_t mac[16] = {};
    uint32_t mac_length = 4;
    wire.clear();
    EXPECT_EQ(
        gm_secure_messaging_mac(dev, key.data(), iv.data(), data.data(), 40, mac, &mac_length),
        SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(mac_length, 16u);
    ASSERT_EQ(
        gm_secure_messaging_mac(dev, key.data(), iv.data(), data.data(), 40, mac, &mac_length),
        SAR_OK);
    EXPECT_EQ(mac_length, 16u);
    const block16 expected = card_mac(key, iv, data);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), mac));
    EXPECT_TRUE(wire.empty());
    EXPECT_EQ(gm_find_dev(dev)->find_app_by_name(gm_reserved_name), nullptr);
}

} // namespace
