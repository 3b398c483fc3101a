// The computing commands end to end through the real pcscd and vpcd: a
// chained RSA key-pair import in several segments, a signature checked by
// OpenSSL, the on-card MAC, and an SM2 round trip.
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "cmd_crypto.h"
#include "crypto_fixture.h"
#include "device_sc_manager.h"
#include "dispatch.h"
#include "transport.h"

namespace crypto_test {
namespace {

constexpr const char* first_filter =
    "Quessar vKessa Tavrel 00 00,vid_0000&pid_0000,vid_0000&pid_0000";

bytes rsa_blob(const EVP_PKEY* key) {
    auto param = [&](const char* name, size_t width) {
        BIGNUM* v = nullptr;
        EVP_PKEY_get_bn_param(key, name, &v);
        bytes out(width);
        BN_bn2binpad(v, out.data(), static_cast<int>(width));
        BN_free(v);
        return out;
    };
    bytes blob(1164, 0);
    blob[2] = 0x01; // AlgID 0x00010000, little-endian
    blob[5] = 0x08; // BitLen 2048, little-endian
    auto place = [&](size_t offset, size_t width, const bytes& v) {
        std::copy(v.begin(), v.end(),
                  blob.begin() + static_cast<std::ptrdiff_t>(offset + width - v.size()));
    };
    place(8, 256, param(OSSL_PKEY_PARAM_RSA_N, 256));
    place(264, 4, param(OSSL_PKEY_PARAM_RSA_E, 4));
    place(268, 256, param(OSSL_PKEY_PARAM_RSA_D, 256));
    const char* names[5] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                            OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                            OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    for (size_t i = 0; i < 5; ++i)
        place(524 + 128 * i, 128, param(names[i], 128));
    return blob;
}

TEST(cmd_crypto_pcsc, keys_mac_and_sm2_through_pcscd) {
    ASSERT_TRUE(cardsim::test::ensure_pcscd());
    // A card with a small buffer: the host's chunk is 512 bytes, so the
    // 1164-byte key blob goes in three segments.
    cardsim::test::simulated_token token(cardsim::card_options{544, false, {}});
    ASSERT_TRUE(token.inserted()) << token.error();
    auto table = cardsim::command_table();
    table.push_back({0x80, 0xEE, cardsim::any_p, 0x00, "TestSetup", test_setup, false});
    cardsim::card_test_access::set_table(token.sim(), table);

    dev_refresh(first_filter);
    device_id id = no_device;
    for (std::string name = dev_first_in_state(&id, device_state_any); id != no_device;
         name = dev_next_in_state(&id, device_state_any))
        if (name == token.reader()) break;
    ASSERT_NE(id, no_device);
    ASSERT_EQ(dev_connect(id), 0);
    ASSERT_EQ(cmd_set_chunk_size(id, 544), 512u);

    auto setup = [&](uint8_t p1, const bytes& data) {
        apdu_command command(apdu_case_4_ext, 0x80, 0xEE, p1, 0x00, "TestSetup");
        command.set_data(data);
        EXPECT_EQ(cmd_send(id, command), cmd_ok);
        return bytes(command.reply().begin(), command.reply().end());
    };
    const uint16_t app = 1;
    const bytes cont_id = setup(2, {0, 1, 'e', '2', 'e'});
    ASSERT_EQ(cont_id.size(), 2u);
    const uint16_t cont = static_cast<uint16_t>(cont_id[0] << 8 | cont_id[1]);
    setup(1, {0, 1});

    pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
    const bytes blob = rsa_blob(key.get());
    token.sim().clear_log();
    ASSERT_EQ(cmd_import_ext_rsa_key_pair(id, app, cont, 1, blob.data(), 1164), cmd_ok);
    const auto log = token.sim().apdu_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0][0], 0xD0);
    EXPECT_EQ(log[1][0], 0xD0);
    EXPECT_EQ(log[2][0], 0xD0);
    EXPECT_EQ(log[3][0], 0xC0);
    EXPECT_EQ(log[3].size(), 7u + 1164 - 2 * 512);

    const bytes message = seq(300, 4);
    const bytes hash = digest(EVP_sha256(), message);
    bytes signature(256);
    uint32_t size = 256;
    ASSERT_EQ(cmd_rsa_sign_ex(id, app, cont, 1, 3, hash.data(), 32, signature.data(), &size),
              cmd_ok);
    ASSERT_EQ(size, 256u);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key.get());
    EXPECT_EQ(EVP_DigestVerify(ctx, signature.data(), 256, message.data(), message.size()), 1);
    EVP_MD_CTX_free(ctx);

    const uint16_t reserved = cardsim::reserved_app_id;
    const bytes mac_key = seq(16, 1), iv = seq(16, 2), data = seq(40, 3);
    uint16_t key_id = 0;
    ASSERT_EQ(cmd_set_session_key(id, reserved, reserved, 0x401, mac_key.data(), 16, &key_id),
              cmd_ok);
    ASSERT_EQ(cmd_mac_init(id, reserved, reserved, key_id, iv.data(), 16, 0, 0), cmd_ok);
    ASSERT_EQ(cmd_mac_update(id, reserved, reserved, key_id, data.data(), 40), cmd_ok);
    bytes mac(16);
    size = 16;
    ASSERT_EQ(cmd_mac_final(id, reserved, reserved, key_id, nullptr, 0, mac.data(), &size), cmd_ok);
    EXPECT_EQ(mac, sm4_cbc_mac(mac_key, iv, data));

    bytes xy(64);
    size = 64;
    ASSERT_EQ(cmd_gen_ecc_key_pair(id, app, cont, 256, xy.data(), &size), cmd_ok);
    bytes public_key = {0, 0, 1, 0};
    public_key.insert(public_key.end(), xy.begin(), xy.end());
    const bytes plain = seq(100, 9);
    bytes form(300);
    size = 300;
    ASSERT_EQ(cmd_ex_ecc_encrypt(id, public_key.data(), 68, plain.data(), 100, form.data(), &size),
              cmd_ok);
    bytes back(128);
    uint32_t back_size = 128;
    // This card fills the signature pair (tools/cardsim/README.md).
    ASSERT_EQ(cmd_ecc_pri_decrypt(id, app, cont, 1, form.data(), size, back.data(), &back_size),
              cmd_ok);
    back.resize(back_size);
    EXPECT_EQ(back, plain);

    dev_disconnect(id);
    while (device_node* node = device_manager().head())
        device_manager().remove_device(node);
}

} // namespace
} // namespace crypto_test
