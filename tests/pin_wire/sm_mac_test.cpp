// The secure-messaging MAC of the PIN commands through the device API on an
// in-process simulated card, every exchange recorded:
//  - gm_secure_messaging_mac has the card compute the MAC: OpenApplication
//    and OpenContainer of the reserved name F0..F7 (once per device handle),
//    SetSessionKey (SM4 0x401, the key in its 32-byte field), MacInit (the
//    IV, padding type 0, feedback 0), MacUpdate in pieces of the chunk size,
//    MacFinal, then DestroySessionKey; its MAC is MacFinal's answer;
//  - ChangePin, UnblockPin and ReloadPin carry the first 4 bytes of it, for
//    the key and IV their commands name (the PIN key of the current or SO
//    PIN and the challenge block; for ReloadPin the challenge block as key
//    and IV), and the card accepts them.
// The command layouts are the card command tables'; the MAC itself is
// whatever the card answers (compared with the simulator's own function).
#include <gtest/gtest.h>

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

namespace {

using bytes = std::vector<uint8_t>;
using block16 = std::array<uint8_t, 16>;

constexpr const char* reader = "Quessar vKessa Tavrel 00 00";
constexpr const char* so_pin = "pevot";
constexpr const char* user_pin = "58204716";
const bytes reserved_name = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7};

bytes cat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
bytes be16(uint32_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
bytes text(const std::string& s) {
    return bytes(s.begin(), s.end());
}

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
    bytes reply; // body and status word
    bytes body() const { return bytes(reply.begin(), reply.end() - 2); }
};

// An extended case-3 command: CLA INS P1 P2 00 Lc data.
bytes e_lc(std::initializer_list<uint8_t> header, const bytes& data) {
    return cat(cat(bytes(header), cat(bytes{0x00}, be16(static_cast<uint32_t>(data.size())))),
               data);
}
// An extended case-4 command: ... data Le(2).
bytes e_lcle(std::initializer_list<uint8_t> header, const bytes& data, uint32_t le) {
    return cat(e_lc(header, data), be16(le));
}

class on_card_mac : public ::testing::Test {
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

    std::vector<uint8_t> instructions() const {
        std::vector<uint8_t> ins;
        for (const exchange& e : wire)
            ins.push_back(e.command.at(1));
        return ins;
    }
    const exchange* find(uint8_t ins, size_t from = 0) const {
        for (size_t i = from; i < wire.size(); ++i)
            if (wire[i].command.at(1) == ins) return &wire[i];
        return nullptr;
    }

    // The MAC sequence from its SetSessionKey on, checked against the
    // command tables with the ids the card handed out: returns MacFinal's
    // answer.
    bytes expect_mac_sequence(size_t at, uint16_t app_id, uint16_t cont_id, const block16& key,
                              const block16& iv, const bytes& data, uint32_t chunk) {
        const bytes ids = cat(be16(app_id), be16(cont_id));
        EXPECT_EQ(wire.at(at).command, e_lcle({0xC0, 0x12, 0x00, 0x00},
                                              cat(cat(ids, bytes{0x00, 0x00, 0x04, 0x01}),
                                                  cat(bytes(key.begin(), key.end()), bytes(16, 0))),
                                              0));
        const bytes key_id_reply = wire.at(at).body();
        EXPECT_GE(key_id_reply.size(), 2u);
        const bytes key_id(key_id_reply.begin(), key_id_reply.begin() + 2);
        const bytes prefix = cat(ids, key_id);
        EXPECT_EQ(wire.at(at + 1).command,
                  e_lc({0x80, 0xBC, 0x00, 0x00},
                       cat(cat(prefix, be16(16)), cat(bytes(iv.begin(), iv.end()), bytes(8, 0)))));
        size_t i = at + 2;
        for (size_t done = 0; done < data.size(); ++i) {
            const size_t piece = std::min<size_t>(chunk, data.size() - done);
            EXPECT_EQ(
                wire.at(i).command,
                e_lc({0x80, 0xC0, 0x00, 0x00},
                     cat(prefix, bytes(data.begin() + static_cast<std::ptrdiff_t>(done),
                                       data.begin() + static_cast<std::ptrdiff_t>(done + piece)))));
            done += piece;
        }
        EXPECT_EQ(wire.at(i).command, e_lcle({0x80, 0xC2, 0x00, 0x00}, prefix, 16));
        const bytes mac = wire.at(i).body();
        EXPECT_EQ(wire.at(i + 1).command, e_lc({0x80, 0xC4, 0x00, 0x00}, prefix));
        EXPECT_EQ(wire.at(i + 1).reply, (bytes{0x90, 0x00}));
        return mac;
    }
};

block16 pin_key(const char* pin) {
    const auto key = cardsim::sm_pin_key(pin);
    return key ? *key : block16{};
}

TEST_F(on_card_mac, secure_messaging_mac_is_computed_by_the_card) {
    block16 key{}, iv{};
    key.fill(0x42);
    iv.fill(0x24);
    const uint32_t chunk = gm_find_dev(dev)->chunk_size;
    const bytes data(chunk + 100, 0x33); // two MacUpdate pieces
    uint8_t mac[16] = {};
    uint32_t mac_length = sizeof mac;
    wire.clear();
    ASSERT_EQ(gm_secure_messaging_mac(dev, key.data(), iv.data(), data.data(),
                                      static_cast<uint32_t>(data.size()), mac, &mac_length),
              SAR_OK);
    ASSERT_EQ(wire.size(), 8u);
    // OpenApplication and OpenContainer of the reserved name.
    EXPECT_EQ(wire[0].command, e_lcle({0x80, 0x26, 0x00, 0x00}, reserved_name, 10));
    const bytes opened = wire[0].body();
    ASSERT_EQ(opened.size(), 10u);
    const auto app_id = static_cast<uint16_t>(opened[8] << 8 | opened[9]);
    EXPECT_EQ(wire[1].command,
              e_lcle({0x80, 0x42, 0x00, 0x00}, cat(be16(app_id), reserved_name), 2));
    const bytes cont_reply = wire[1].body();
    ASSERT_EQ(cont_reply.size(), 2u);
    const auto cont_id = static_cast<uint16_t>(cont_reply[0] << 8 | cont_reply[1]);
    const bytes answered = expect_mac_sequence(2, app_id, cont_id, key, iv, data, chunk);
    EXPECT_EQ(mac_length, answered.size());
    EXPECT_EQ(bytes(mac, mac + mac_length), answered);
    const auto card_side = cardsim::sm4_cbc_mac(key, iv, data);
    ASSERT_TRUE(card_side);
    EXPECT_EQ(answered, bytes(card_side->begin(), card_side->end()));

    // A second MAC on the same device: the reserved objects are kept.
    wire.clear();
    ASSERT_EQ(gm_secure_messaging_mac(dev, key.data(), iv.data(), data.data(), 5, mac, &mac_length),
              SAR_OK);
    EXPECT_EQ(instructions(), (std::vector<uint8_t>{0x12, 0xBC, 0xC0, 0xC2, 0xC4}));

    // A MAC longer than the room given: its length and SAR_BUFFER_TOO_SMALL.
    mac_length = 4;
    EXPECT_EQ(gm_secure_messaging_mac(dev, key.data(), iv.data(), data.data(), 5, mac, &mac_length),
              SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(mac_length, 16u);
}

TEST_F(on_card_mac, refusals_send_nothing) {
    const uint8_t key[16] = {}, iv[16] = {}, data[4] = {1, 2, 3, 4};
    uint8_t mac[16];
    uint32_t mac_length = sizeof mac;
    wire.clear();
    EXPECT_EQ(gm_secure_messaging_mac(app, key, iv, data, 4, mac, &mac_length),
              SAR_INVALIDHANDLEERR);
    EXPECT_EQ(gm_secure_messaging_mac(dev, nullptr, iv, data, 4, mac, &mac_length),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_secure_messaging_mac(dev, key, nullptr, data, 4, mac, &mac_length),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_secure_messaging_mac(dev, key, iv, nullptr, 0, mac, &mac_length),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_secure_messaging_mac(dev, key, iv, data, 0, mac, &mac_length),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_secure_messaging_mac(dev, key, iv, data, 4, nullptr, &mac_length),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_secure_messaging_mac(dev, key, iv, data, 4, mac, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_TRUE(wire.empty());
}

// The PIN commands: the MAC's key, IV and data are the ones the command
// tables name, and the command carries the first 4 bytes of MacFinal's
// answer after its block.
struct pin_mac_case {
    const char* name;
    std::string new_pin;
    const char* key_pin; // the PIN whose key is the MAC key; null: the challenge block
    uint8_t cla, ins;
};

class pin_command_mac : public on_card_mac, public ::testing::WithParamInterface<pin_mac_case> {};

TEST_P(pin_command_mac, carries_the_cards_mac) {
    const pin_mac_case& c = GetParam();
    uint32_t retry = 0;
    if (c.ins == 0x34) {
        ASSERT_EQ(gm_verify_pin(app, 0, so_pin, &retry), SAR_OK);
    }
    wire.clear();
    uint32_t rv = SAR_FAIL;
    if (c.ins == 0x16) rv = SKF_ChangePIN(app, 1, user_pin, c.new_pin.c_str(), &retry);
    if (c.ins == 0x1A) rv = SKF_UnblockPIN(app, so_pin, c.new_pin.c_str(), &retry);
    if (c.ins == 0x34) rv = gm_reload_user_pin(app, c.new_pin.c_str());
    ASSERT_EQ(rv, SAR_OK);

    // The challenge of the PIN command: the last GenRandom before the MAC.
    const exchange* set_key = find(0x12);
    ASSERT_NE(set_key, nullptr);
    const size_t at = static_cast<size_t>(set_key - wire.data());
    ASSERT_GE(at, 1u);
    size_t random = at;
    while (random > 0 && wire[random].command.at(1) != 0x50)
        --random;
    ASSERT_EQ(wire[random].command.at(1), 0x50);
    block16 challenge{};
    std::copy_n(wire[random].reply.begin(), 8, challenge.begin());
    const block16 key = c.key_pin ? pin_key(c.key_pin) : challenge;
    // The reserved application's and container's ids: the card's answers.
    const exchange* opened = find(0x26);
    const exchange* container = find(0x42);
    ASSERT_NE(opened, nullptr);
    ASSERT_NE(container, nullptr);
    const bytes app_reply = opened->body(), cont_reply = container->body();
    const bytes mac =
        expect_mac_sequence(at, static_cast<uint16_t>(app_reply.at(8) << 8 | app_reply.at(9)),
                            static_cast<uint16_t>(cont_reply.at(0) << 8 | cont_reply.at(1)), key,
                            challenge, text(c.new_pin), gm_find_dev(dev)->chunk_size);
    ASSERT_GE(mac.size(), 4u);
    const exchange& command = wire.back();
    ASSERT_EQ(command.command.at(0), c.cla);
    ASSERT_EQ(command.command.at(1), c.ins);
    EXPECT_EQ(bytes(command.command.end() - 4, command.command.end()),
              bytes(mac.begin(), mac.begin() + 4));
    EXPECT_EQ(command.reply, (bytes{0x90, 0x00}));
    EXPECT_EQ(gm_verify_pin(app, 1, c.new_pin.c_str(), &retry), SAR_OK);
}

INSTANTIATE_TEST_SUITE_P(
    pin_commands, pin_command_mac,
    ::testing::Values(pin_mac_case{"change_pin", "11223344", user_pin, 0x84, 0x16},
                      pin_mac_case{"unblock_pin", "unblocked-16byte", so_pin, 0x84, 0x1A},
                      pin_mac_case{"reload_pin", "reload-1", nullptr, 0xC4, 0x34}),
    [](const ::testing::TestParamInfo<pin_mac_case>& i) { return std::string(i.param.name); });

} // namespace
