// Replies a well-behaved card never gives, against the device API: the
// simulated card runs in-process behind a fake device, and single commands
// are answered by a script instead.
//  - a 9000 reply shorter than the command's layout is a failure and makes no
//    handle and writes no output;
//  - name lists and certificates that come in more pieces than their bound,
//    or never end, are refused without writing past the work buffer.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "card.h"
#include "cmd_app_file.h"
#include "cmd_crypto.h"
#include "cmd_device.h"
#include "device_sc_manager.h"
#include "fake_device.h"
#include "gm_api.h"
#include "gm_handles.h"
#include "sm_oracle.h"
#include "transport.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr const char* reader = "Quessar vKessa Tavrel 00 00";

bytes answer(bytes body, uint16_t sw) {
    body.push_back(static_cast<uint8_t>(sw >> 8));
    body.push_back(static_cast<uint8_t>(sw));
    return body;
}

// A fake device the device API can connect to (a PC/SC device without a
// direct cipher path).
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

class scripted_token : public ::testing::Test {
  protected:
    cardsim::card card;
    // Answers the commands of one CLA/INS instead of the card (the reply of
    // the n-th such command, 0-based).
    uint8_t scripted_cla = 0, scripted_ins = 0;
    std::function<bytes(int)> script;
    int scripted_calls = 0;
    DEVHANDLE dev = 0;
    HAPPLICATION app = 0;

    void SetUp() override {
        auto* device = new connectable_device(reader, [this](std::span<const uint8_t> apdu) {
            if (script && apdu.size() >= 2 && (apdu[0] & ~0x10) == scripted_cla &&
                apdu[1] == scripted_ins)
                return script(scripted_calls++);
            return card.transmit(apdu);
        });
        device_manager().adopt_device(std::unique_ptr<device_base>(device));
        ASSERT_EQ(SKF_ConnectDev(reader, &dev), SAR_OK);
        ASSERT_EQ(SKF_OpenApplication(dev, "APP", &app), SAR_OK);
        uint32_t retry = 0;
        ASSERT_EQ(SKF_VerifyPIN(app, 1, "58204716", &retry), SAR_OK);
    }
    void TearDown() override {
        if (dev != 0) {
            EXPECT_EQ(SKF_DisConnectDev(dev), SAR_OK);
        }
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }
    void answer_with(uint8_t cla, uint8_t ins, std::function<bytes(int)> fn) {
        scripted_cla = cla;
        scripted_ins = ins;
        scripted_calls = 0;
        script = std::move(fn);
    }
    size_t objects_below_device() {
        size_t n = 0;
        for (const auto& a : gm_find_dev(dev)->apps) {
            ++n;
            for (const auto& c : a->containers)
                n += 1 + c->keys.size() + c->macs.size();
        }
        return n;
    }
};

TEST_F(scripted_token, short_open_application_reply_makes_no_handle) {
    answer_with(0x80, 0x26, [](int) { return answer(bytes(9, 0x01), 0x9000); });
    const size_t before = objects_below_device();
    HAPPLICATION h = 0;
    EXPECT_EQ(SKF_OpenApplication(dev, "APP", &h), SAR_FAIL);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(objects_below_device(), before);
}

TEST_F(scripted_token, short_open_container_reply_makes_no_handle) {
    answer_with(0x80, 0x42, [](int) { return answer(bytes(1, 0x05), 0x9000); });
    const size_t before = objects_below_device();
    HCONTAINER h = 0;
    EXPECT_EQ(SKF_OpenContainer(app, "any", &h), SAR_FAIL);
    answer_with(0x80, 0x40, [](int) { return answer(bytes(1, 0x05), 0x9000); });
    EXPECT_EQ(SKF_CreateContainer(app, "any", &h), SAR_FAIL);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(objects_below_device(), before);
}

TEST_F(scripted_token, short_info_replies_write_no_output) {
    HCONTAINER c = 0;
    ASSERT_EQ(SKF_CreateContainer(app, "short", &c), SAR_OK);

    answer_with(0x80, 0x14, [](int) { return answer({3, 3}, 0x9000); });
    uint32_t max = 77, left = 77;
    EXPECT_EQ(SKF_GetPINInfo(app, 1, &max, &left, nullptr), SAR_FAIL);
    EXPECT_EQ(max, 77u);
    EXPECT_EQ(left, 77u);

    answer_with(0x80, 0x4A, [](int) { return answer(bytes(10, 1), 0x9000); });
    uint8_t type = 77;
    uint32_t bits = 77;
    EXPECT_EQ(gm_get_container_info(c, &type, &bits, nullptr, nullptr, nullptr), SAR_FAIL);
    EXPECT_EQ(type, 77);
    EXPECT_EQ(bits, 77u);
    const uint8_t cert[16] = {1};
    EXPECT_EQ(SKF_ImportCertificate(c, 1, cert, sizeof cert), SAR_FAIL);

    answer_with(0xC0, 0x60, [](int) { return answer(bytes(7, 1), 0x9000); });
    uint8_t b0 = 77;
    EXPECT_EQ(gm_get_application_info(app, &b0, nullptr, nullptr, nullptr, nullptr), SAR_FAIL);
    EXPECT_EQ(b0, 77);

    answer_with(0x80, 0x36, [](int) { return answer(bytes(11, 0), 0x9000); });
    FILEATTRIBUTE info{};
    info.FileSize = 77;
    EXPECT_EQ(SKF_GetFileInfo(app, "f", &info), SAR_FAIL);
    EXPECT_EQ(info.FileSize, 77u);
    uint8_t buffer[8];
    uint32_t length = 8;
    EXPECT_EQ(SKF_ReadFile(app, "f", 0, 8, buffer, &length), SAR_FAIL);
}

// A SetSessionKey reply without the key id stops the PIN change before the
// PIN command: no MacInit, no ChangePin, the PIN unchanged.
TEST_F(scripted_token, a_short_session_key_reply_stops_the_pin_change) {
    answer_with(0xC0, 0x12, [](int) { return answer({}, 0x9000); });
    card.clear_log();
    uint32_t retry = 0;
    EXPECT_NE(SKF_ChangePIN(app, 1, "58204716", "11223344", &retry), SAR_OK);
    EXPECT_EQ(scripted_calls, 1);
    for (const bytes& apdu : card.apdu_log()) {
        EXPECT_NE(apdu.at(1), 0xBC) << "MacInit";
        EXPECT_NE(apdu.at(1), 0x16) << "ChangePin";
    }
    script = nullptr;
    EXPECT_EQ(SKF_VerifyPIN(app, 1, "58204716", &retry), SAR_OK);
}

// The MAC's session key is the card's for the MAC only: after a PIN change
// the reserved container holds no key or MAC object, and all eight of the
// card's session-key slots are free again.
TEST_F(scripted_token, a_pin_change_leaves_no_session_key) {
    uint32_t retry = 0;
    ASSERT_EQ(SKF_ChangePIN(app, 1, "58204716", "11223344", &retry), SAR_OK);
    gm_sc_app* reserved = gm_find_dev(dev)->find_app_by_name(gm_reserved_name);
    ASSERT_NE(reserved, nullptr);
    gm_sc_cont* c = reserved->find_container_by_name(gm_reserved_name);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->keys.empty());
    EXPECT_TRUE(c->macs.empty());
    const device_id device = gm_find_dev(dev)->device;
    const uint8_t key[16] = {7};
    for (int i = 0; i < 8; ++i) {
        uint16_t id = 0;
        EXPECT_EQ(cmd_set_session_key(device, static_cast<uint16_t>(reserved->app_id),
                                      static_cast<uint16_t>(c->container_id), 0x401, key, 16, &id),
                  cmd_ok)
            << "slot " << i;
    }
    EXPECT_EQ(SKF_VerifyPIN(app, 1, "11223344", &retry), SAR_OK);
}

// A card whose session-key table is full: the MAC gives up a key of the
// reserved container (one a failed destroy left there) and works; with only
// the caller's keys on the card it gives up none and the PIN change fails
// with SAR_NO_ROOM. Every key of the caller's stays usable.
TEST_F(scripted_token, a_full_key_table_gives_up_only_a_reserved_key) {
    uint32_t retry = 0;
    ASSERT_EQ(SKF_ChangePIN(app, 1, "58204716", "11223344", &retry), SAR_OK);
    const device_id device = gm_find_dev(dev)->device;
    gm_sc_app* reserved = gm_find_dev(dev)->find_app_by_name(gm_reserved_name);
    ASSERT_NE(reserved, nullptr);
    gm_sc_cont* leftover_cont = reserved->find_container_by_name(gm_reserved_name);
    ASSERT_NE(leftover_cont, nullptr);

    gm_sc_app* a = gm_find_app(app).app;
    const auto app16 = static_cast<uint16_t>(a->app_id);
    uint16_t cont = 0;
    ASSERT_EQ(cmd_open_container(device, app16, gm_reserved_name, &cont), cmd_ok);
    gm_sc_cont* c = a->add_container(cont, gm_reserved_name);
    ASSERT_NE(c, nullptr);
    const uint8_t key[16] = {9};
    std::vector<uint16_t> keys;
    for (int i = 0; i < 7; ++i) {
        uint16_t id = 0;
        ASSERT_EQ(cmd_set_session_key(device, app16, cont, 0x401, key, 16, &id), cmd_ok);
        ASSERT_NE(c->add_key(id, 0x401), nullptr);
        keys.push_back(id);
    }
    uint16_t leftover = 0;
    ASSERT_EQ(cmd_set_session_key(device, static_cast<uint16_t>(reserved->app_id),
                                  static_cast<uint16_t>(leftover_cont->container_id), 0x401, key,
                                  16, &leftover),
              cmd_ok);
    ASSERT_NE(leftover_cont->add_key(leftover, 0x401), nullptr);
    uint16_t none = 0;
    ASSERT_EQ(cmd_set_session_key(device, app16, cont, 0x401, key, 16, &none), cmd_bad_status);
    ASSERT_EQ(cmd_last_status_word(), 0x6A84u); // the table is full

    ASSERT_EQ(SKF_ChangePIN(app, 1, "11223344", "58204716", &retry), SAR_OK);
    EXPECT_TRUE(leftover_cont->keys.empty());
    EXPECT_EQ(c->keys.size(), 7u);

    // The slot is the caller's now: nothing is left to give up.
    uint16_t eighth = 0;
    ASSERT_EQ(cmd_set_session_key(device, app16, cont, 0x401, key, 16, &eighth), cmd_ok);
    keys.push_back(eighth);
    EXPECT_EQ(SKF_ChangePIN(app, 1, "58204716", "11223344", &retry), SAR_NO_ROOM);
    for (uint16_t id : keys)
        EXPECT_EQ(cmd_encrypt_init(device, app16, cont, id, nullptr, 0, 0, 0), cmd_ok)
            << "key " << id;
    EXPECT_EQ(SKF_VerifyPIN(app, 1, "58204716", &retry), SAR_OK);
}

TEST_F(scripted_token, lists_in_pieces_are_joined) {
    // Three pieces: 600 + 600 bytes answered 6A9E, then 601 bytes and 9000.
    bytes full;
    answer_with(0x80, 0x22, [&full](int n) {
        bytes piece(n < 2 ? 600 : 601, static_cast<uint8_t>('a' + n));
        piece.back() = 0;
        full.insert(full.end(), piece.begin(), piece.end());
        return answer(piece, n < 2 ? 0x6A9E : 0x9000);
    });
    std::vector<char> list(4096);
    uint32_t size = static_cast<uint32_t>(list.size());
    ASSERT_EQ(SKF_EnumApplication(dev, list.data(), &size), SAR_OK);
    ASSERT_EQ(size, 1801u);
    EXPECT_TRUE(
        std::equal(full.begin(), full.end(), reinterpret_cast<const uint8_t*>(list.data())));
}

TEST_F(scripted_token, endless_or_oversized_lists_are_refused) {
    // Never ends: 2000 bytes with 6A9E on every call.
    answer_with(0x80, 0x34, [](int) { return answer(bytes(2000, 'f'), 0x6A9E); });
    uint32_t size = 0;
    EXPECT_EQ(SKF_EnumFiles(app, nullptr, &size), SAR_FAIL);
    answer_with(0x80, 0x46, [](int) { return answer(bytes(2000, 'c'), 0x6A9E); });
    EXPECT_EQ(SKF_EnumContainer(app, nullptr, &size), SAR_FAIL);
    answer_with(0x80, 0x22, [](int) { return answer(bytes(2000, 'a'), 0x6A9E); });
    EXPECT_EQ(SKF_EnumApplication(dev, nullptr, &size), SAR_FAIL);
}

TEST_F(scripted_token, certificate_export_is_bounded) {
    HCONTAINER c = 0;
    ASSERT_EQ(SKF_CreateContainer(app, "certs", &c), SAR_OK);
    // A certificate that would exceed 65536 bytes: 34 pieces of 2000 bytes.
    answer_with(0x80, 0x4E, [](int n) {
        bytes piece(2000, 0x30);
        if (n == 0) piece[0] = piece[1] = piece[2] = 0, piece[3] = 0xFF;
        return answer(piece, n < 40 ? 0x6A9E : 0x9000);
    });
    uint32_t length = 0;
    EXPECT_EQ(SKF_ExportCertificate(c, 1, nullptr, &length), SAR_FAIL);
    // A first piece too short to hold the card's 4-byte length prefix.
    answer_with(0x80, 0x4E, [](int) { return answer({0x00, 0x10}, 0x9000); });
    EXPECT_EQ(SKF_ExportCertificate(c, 1, nullptr, &length), SAR_FAIL);
    // Three pieces (6A9E twice) are joined without the prefix.
    answer_with(0x80, 0x4E, [](int n) {
        bytes piece = n == 0   ? bytes{0, 0, 0, 9, 1, 2, 3}
                      : n == 1 ? bytes{4, 5, 6}
                               : bytes{7, 8, 9};
        return answer(piece, n < 2 ? 0x6A9E : 0x9000);
    });
    uint8_t out[16] = {};
    length = sizeof out;
    ASSERT_EQ(SKF_ExportCertificate(c, 1, out, &length), SAR_OK);
    ASSERT_EQ(length, 9u);
    EXPECT_EQ(bytes(out, out + 9), (bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    // The first 4 bytes are the card's own, whatever they hold: not the
    // length of the rest (one too many, none at all, text) on another card.
    for (const bytes& prefix : {bytes{0, 0, 0, 10}, bytes{0xFF, 0xFF, 0xFF, 0xFF},
                                bytes{'C', 'E', 'R', 'T'}, bytes{0x30, 0x82, 0x04, 0x00}}) {
        // Two pieces per export (the size query reads the whole certificate too).
        answer_with(0x80, 0x4E, [&prefix](int n) {
            const bool first = n % 2 == 0;
            bytes piece = first ? prefix : bytes{};
            const bytes rest = first ? bytes{1, 2, 3, 4, 5} : bytes{6, 7, 8, 9};
            piece.insert(piece.end(), rest.begin(), rest.end());
            return answer(piece, first ? 0x6A9E : 0x9000);
        });
        std::fill(std::begin(out), std::end(out), 0);
        length = 0;
        ASSERT_EQ(SKF_ExportCertificate(c, 1, nullptr, &length), SAR_OK);
        EXPECT_EQ(length, 9u);
        ASSERT_EQ(SKF_ExportCertificate(c, 1, out, &length), SAR_OK);
        ASSERT_EQ(length, 9u);
        EXPECT_EQ(bytes(out, out + 9), (bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    }
}

TEST_F(scripted_token, unknown_handles) {
    const uint32_t stranger = 0x7FFFFFF0;
    uint32_t size = 0, retry = 0;
    HCONTAINER c = 0;
    EXPECT_EQ(SKF_EnumFiles(stranger, nullptr, &size), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_EnumContainer(dev, nullptr, &size), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_CreateContainer(stranger, "x", &c), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_VerifyPIN(dev, 1, "1234", &retry), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_UnblockPIN(stranger, "so", "1234", &retry), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(gm_reload_user_pin(stranger, "1234"), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(gm_remote_unblock_pin(stranger, reinterpret_cast<const uint8_t*>("x"), 1, &retry),
              SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_OpenApplication(app, "APP", &c),
              SAR_INVALIDPARAMERR); // device functions: INVALIDPARAM
    uint8_t mac[16];
    uint32_t mac_length = sizeof mac;
    const uint8_t key[16] = {}, iv[16] = {};
    EXPECT_EQ(gm_secure_messaging_mac(app, key, iv, key, 16, mac, &mac_length),
              SAR_INVALIDHANDLEERR);
    EXPECT_EQ(gm_secure_messaging_mac(dev, key, iv, nullptr, 0, mac, &mac_length),
              SAR_INVALIDPARAMERR);
}

TEST_F(scripted_token, secure_messaging_mac_matches_the_card) {
    // The card's SM4-CBC-MAC (tools/cardsim/README.md) over more than one
    // chunk of data, against the test's own computation.
    const uint8_t key[16] = {1}, iv[16] = {2};
    const bytes data = bytes(3000, 0x5A); // more than one chunk
    uint8_t mac[16];
    uint32_t mac_length = 4;
    EXPECT_EQ(gm_secure_messaging_mac(dev, key, iv, data.data(), 3000, mac, &mac_length),
              SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(mac_length, 16u);
    ASSERT_EQ(gm_secure_messaging_mac(dev, key, iv, data.data(), 3000, mac, &mac_length), SAR_OK);
    const oracle::block16 expected = oracle::cbc_mac({key, 16}, {iv, 16}, data);
    EXPECT_EQ(bytes(mac, mac + 16), bytes(expected.begin(), expected.end()));
}

} // namespace

namespace {

// The remote forms carry a response the SO's side computed over the card's
// challenge: SM4-ECB under the SO PIN's key of challenge || 00 x 8.
class remote_unblock : public scripted_token {
  protected:
    bytes so_response(const char* pin) {
        uint8_t challenge[8] = {};
        EXPECT_EQ(SKF_GenRandom(dev, challenge, 8), SAR_OK);
        return oracle::sm4_ecb(oracle::pin_key(pin), oracle::challenge_block(challenge), true);
    }
    void lock_user() {
        uint32_t retry = 0;
        for (int i = 0; i < 10; ++i)
            (void)SKF_VerifyPIN(app, 1, "00000000", &retry);
        ASSERT_EQ(retry, 0u);
    }
};

TEST_F(remote_unblock, with_the_sos_response) {
    lock_user();
    uint32_t retry = 77;
    bytes wrong = so_response("pevot");
    wrong[0] ^= 1;
    EXPECT_EQ(gm_remote_unblock_pin(app, wrong.data(), static_cast<uint32_t>(wrong.size()), &retry),
              SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 9u);
    const bytes right = so_response("pevot");
    ASSERT_EQ(gm_remote_unblock_pin(app, right.data(), static_cast<uint32_t>(right.size()), &retry),
              SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(app, 1, "58204716", &retry), SAR_OK);
    EXPECT_EQ(gm_remote_unblock_pin(app, nullptr, 16, &retry), SAR_INVALIDPARAMERR);
}

TEST_F(remote_unblock, ms_form_sets_the_new_pin) {
    lock_user();
    // A wrong response is a wrong SO answer, as in the plain remote form.
    bytes wrong = so_response("pevot");
    wrong[0] ^= 1;
    wrong.insert(wrong.end(), {'8', '0', '7', '0', '6', '0', '5', '0'});
    uint32_t so_retry = 77;
    EXPECT_EQ(gm_remote_unblock_pin_ms(app, wrong.data(), static_cast<uint32_t>(wrong.size()),
                                       nullptr, nullptr, &so_retry),
              SAR_PIN_INCORRECT);
    EXPECT_EQ(so_retry, 9u);
    bytes data = so_response("pevot");
    const std::string new_pin = "80706050";
    data.insert(data.end(), new_pin.begin(), new_pin.end());
    uint32_t retry = 0;
    uint8_t reply[32];
    uint32_t reply_length = sizeof reply;
    ASSERT_EQ(gm_remote_unblock_pin_ms(app, data.data(), static_cast<uint32_t>(data.size()), reply,
                                       &reply_length, &retry),
              SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(app, 1, "80706050", &retry), SAR_OK);
}

// How the data splits into response and new PIN is the card's format: the
// device API sends the application id and the caller's data as given, up to
// what one command carries, whatever the card then answers.
TEST_F(remote_unblock, ms_form_sends_the_callers_data_as_given) {
    const uint32_t chunk = cmd_get_chunk_size(gm_find_dev(dev)->device);
    const uint16_t app_id = static_cast<uint16_t>(gm_find_app(app).app->app_id);
    const struct {
        const char* name;
        size_t length;
    } sent[] = {
        {"a response alone", 16},
        {"a 12-byte response and a 4-character PIN", 12 + 4},
        {"a 16-byte response and a 20-character PIN", 16 + 20},
        {"a 24-byte response and a 16-character PIN", 24 + 16},
        {"all one command carries", chunk - 2},
    };
    for (const auto& c : sent) {
        bytes data(c.length);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>('0' + i % 64);
        card.clear_log();
        uint32_t retry = 0;
        (void)gm_remote_unblock_pin_ms(app, data.data(), static_cast<uint32_t>(data.size()),
                                       nullptr, nullptr, &retry);
        const auto hi = [](size_t v) { return static_cast<uint8_t>(v >> 8); };
        const auto lo = [](size_t v) { return static_cast<uint8_t>(v); };
        // E-Lc: 00 LcHi LcLo, then the id and the data.
        const size_t lc = 2 + c.length;
        bytes expected = {0x84, 0x1A, 0x00, 0x01, 0x00, hi(lc), lo(lc), hi(app_id), lo(app_id)};
        expected.insert(expected.end(), data.begin(), data.end());
        ASSERT_EQ(card.apdu_log().size(), 1u) << c.name;
        EXPECT_EQ(card.apdu_log()[0], expected) << c.name;
    }

    // Refused with nothing sent: no data, and more than one command carries.
    const bytes too_long(chunk - 1, '1');
    const struct {
        const char* name;
        const uint8_t* data;
        uint32_t length;
        uint32_t expected;
    } refused[] = {
        {"null data", nullptr, 16, SAR_INVALIDPARAMERR},
        {"empty data", too_long.data(), 0, SAR_INVALIDPARAMERR},
        {"beyond the chunk", too_long.data(), chunk - 1, SAR_INDATALENERR},
    };
    for (const auto& c : refused) {
        card.clear_log();
        uint32_t retry = 77;
        EXPECT_EQ(gm_remote_unblock_pin_ms(app, c.data, c.length, nullptr, nullptr, &retry),
                  c.expected)
            << c.name;
        EXPECT_TRUE(card.apdu_log().empty()) << c.name;
    }
}

} // namespace
