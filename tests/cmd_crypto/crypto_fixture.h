// A simulated token reachable through the host transport in process, with a
// test-only command that logs the user in and makes containers directly in
// the card's state (so these tests do not depend on the PIN and container
// commands), plus OpenSSL helpers used as an independent oracle.
#pragma once

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "card.h"
#include "cardsim_objects.h"
#include "device_sc_manager.h"
#include "dispatch.h"
#include "fake_device.h"
#include "openssl_ptr.h"
#include "transport.h"

namespace crypto_test {

using bytes = std::vector<uint8_t>;

using test_support::pkey_ptr;

inline bytes seq(size_t n, uint8_t first = 0) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i * 7);
    return b;
}

// Test-only card command 80 EE P1 00: P1 1 logs the user of app (data: app)
// in, P1 3 the SO; P1 2 creates a container (data: app, name) and answers its
// id.
inline uint16_t test_setup(cardsim::command_context& ctx) {
    if (ctx.data.size() < 2) return 0x6700;
    const uint16_t app_id = static_cast<uint16_t>(ctx.data[0] << 8 | ctx.data[1]);
    cardsim::application* app = cardsim::find_application(ctx.card, app_id);
    if (!app) return 0x6A88;
    if (ctx.apdu.p1 == 1 || ctx.apdu.p1 == 3) {
        auto& logins = ctx.card.vol.logins;
        auto it = std::find_if(logins.begin(), logins.end(),
                               [&](const auto& l) { return l.app_id == app_id; });
        if (it == logins.end()) it = logins.insert(logins.end(), {app_id, false, false});
        (ctx.apdu.p1 == 1 ? it->user : it->so) = true;
        return 0x9000;
    }
    cardsim::container c;
    c.id = app->next_container_id++;
    c.name.assign(ctx.data.begin() + 2, ctx.data.end());
    app->containers.push_back(c);
    ctx.reply = {static_cast<uint8_t>(c.id >> 8), static_cast<uint8_t>(c.id)};
    return 0x9000;
}

class crypto_card : public ::testing::Test {
  protected:
    static constexpr uint16_t app = 1; // the formatted token's application "APP"

    void SetUp() override {
        device = attach(card);
        cont = make_container("keys");
        card.clear_log();
    }

    // Puts a card behind a new in-process device, with the test command.
    fake_device* attach(cardsim::card& c) {
        auto table = cardsim::command_table();
        table.push_back({0x80, 0xEE, cardsim::any_p, 0x00, "TestSetup", test_setup, false});
        cardsim::card_test_access::set_table(c, table);
        return add_device([&c](std::span<const uint8_t> apdu) { return c.transmit(apdu); });
    }
    void TearDown() override {
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }

    fake_device* add_device(fake_device::reply_fn fn) {
        auto* d = new fake_device("crypto", std::move(fn));
        device_manager().adopt_device(std::unique_ptr<device_base>(d));
        return d;
    }
    // Removes (and deletes) a device added by add_device.
    static void detach(fake_device* d) {
        for (device_node* node = device_manager().head(); node; node = node->next()) {
            if (device_manager().node_device(node) == d) {
                device_manager().remove_device(node);
                return;
            }
        }
    }
    device_id dev() const { return device->id(); }

    bytes setup(uint8_t p1, const bytes& data) {
        apdu_command command(apdu_case_4_ext, 0x80, 0xEE, p1, 0x00, "TestSetup");
        command.set_data(data);
        EXPECT_EQ(cmd_send(dev(), command), cmd_ok);
        return {command.reply().begin(), command.reply().end()};
    }
    uint16_t make_container(const std::string& name) {
        bytes data = {0, app};
        data.insert(data.end(), name.begin(), name.end());
        const bytes id = setup(2, data);
        return id.size() == 2 ? static_cast<uint16_t>(id[0] << 8 | id[1]) : 0;
    }
    void log_in_user() { setup(1, {0, app}); }
    void log_in_so() { setup(3, {0, app}); }

    // The commands the card received with the given INS, in order.
    std::vector<bytes> sent_with_ins(uint8_t ins) const {
        std::vector<bytes> out;
        for (const auto& apdu : card.apdu_log())
            if (apdu.size() >= 4 && apdu[1] == ins) out.push_back(apdu);
        return out;
    }

    cardsim::card card;
    fake_device* device = nullptr;
    uint16_t cont = 0;
};

// ---- OpenSSL oracle (independent of the card's code paths) ----

inline bytes digest(const EVP_MD* md, std::span<const uint8_t> data) {
    bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}

// One-shot cipher; padding as EVP's PKCS#5 switch.
inline bytes cipher(const EVP_CIPHER* c, bool encrypt, std::span<const uint8_t> key,
                    std::span<const uint8_t> iv, bool padding, std::span<const uint8_t> in) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    bytes out(in.size() + 32);
    int n = 0, tail = 0;
    EVP_CipherInit_ex2(ctx, c, key.data(), iv.empty() ? nullptr : iv.data(), encrypt ? 1 : 0,
                       nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0);
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    const int ok = EVP_CipherFinal_ex(ctx, out.data() + n, &tail);
    EVP_CIPHER_CTX_free(ctx);
    if (ok != 1) return {};
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

// SM4-CBC-MAC: ISO/IEC 9797-1 padding method 2, last cipher block.
inline bytes sm4_cbc_mac(std::span<const uint8_t> key, std::span<const uint8_t> iv,
                         std::span<const uint8_t> data) {
    bytes padded(data.begin(), data.end());
    padded.push_back(0x80);
    while (padded.size() % 16)
        padded.push_back(0);
    const bytes c = cipher(EVP_sm4_cbc(), true, key, iv, false, padded);
    return bytes(c.end() - 16, c.end());
}

} // namespace crypto_test
