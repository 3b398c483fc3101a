// Session keys, cipher, MAC, digest and fingerprint wrappers against the
// simulated token, with results checked against OpenSSL in this process.
#include <cstring>

#include "cmd_crypto.h"
#include "crypto_fixture.h"

namespace crypto_test {
namespace {

constexpr uint16_t reserved = cardsim::reserved_app_id; // also the reserved container's id

class session_keys : public crypto_card {
  protected:
    uint16_t set_key(uint32_t alg, const bytes& key, uint16_t a = reserved, uint16_t c = reserved) {
        uint16_t id = 0;
        EXPECT_EQ(cmd_set_session_key(dev(), a, c, alg, key.data(),
                                      static_cast<uint32_t>(key.size()), &id),
                  cmd_ok);
        return id;
    }
};

// The MAC the PIN commands use: SM4 key in the reserved container, MacInit
// with a 16-byte IV, the data in several MacUpdates, MacFinal: 16 bytes equal
// to an SM4-CBC-MAC computed by OpenSSL.
TEST_F(session_keys, mac_matches_sm4_cbc_mac) {
    const bytes key = seq(16, 3), iv = seq(16, 9), data = seq(70, 1);
    const uint16_t id = set_key(0x401, key);
    ASSERT_EQ(id, 1);
    ASSERT_EQ(cmd_mac_init(dev(), reserved, reserved, id, iv.data(), 16, 0, 0), cmd_ok);
    ASSERT_EQ(cmd_mac_update(dev(), reserved, reserved, id, data.data(), 32), cmd_ok);
    ASSERT_EQ(cmd_mac_update(dev(), reserved, reserved, id, data.data() + 32, 38), cmd_ok);
    bytes mac(32);
    uint32_t size = 32;
    ASSERT_EQ(cmd_mac_final(dev(), reserved, reserved, id, nullptr, 0, mac.data(), &size), cmd_ok);
    mac.resize(size);
    EXPECT_EQ(mac, sm4_cbc_mac(key, iv, data));
    EXPECT_EQ(sent_with_ins(0xC2).size(), 1u);
}

// A card answering 6C04 to MacFinal is asked once more with Le 4; that
// answer counts (the first 4 MAC bytes). A second 6C04 is an error, not a
// loop.
TEST_F(session_keys, mac_final_6c04_is_sent_again_with_le_4) {
    const bytes key = seq(16, 3), iv(16, 0), data = {'1', '2', '3', '4', '5', '6'};
    const uint16_t id = set_key(0x401, key);
    ASSERT_EQ(cmd_mac_init(dev(), reserved, reserved, id, iv.data(), 16, 0, 0), cmd_ok);
    ASSERT_EQ(cmd_mac_update(dev(), reserved, reserved, id, data.data(), 6), cmd_ok);
    card.clear_log();
    card.inject_status_word(0x6C04);
    bytes mac(16);
    uint32_t size = 16;
    ASSERT_EQ(cmd_mac_final(dev(), reserved, reserved, id, nullptr, 0, mac.data(), &size), cmd_ok);
    ASSERT_EQ(size, 4u);
    mac.resize(4);
    const bytes expected = sm4_cbc_mac(key, iv, data);
    EXPECT_EQ(mac, bytes(expected.begin(), expected.begin() + 4));
    const auto finals = sent_with_ins(0xC2);
    ASSERT_EQ(finals.size(), 2u);
    EXPECT_EQ(bytes(finals[0].end() - 2, finals[0].end()), (bytes{0x00, 0x10}));
    EXPECT_EQ(bytes(finals[1].end() - 2, finals[1].end()), (bytes{0x00, 0x04}));

    card.inject_status_word(0x6C04, 2);
    size = 16;
    EXPECT_EQ(cmd_mac_final(dev(), reserved, reserved, id, nullptr, 0, mac.data(), &size),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6C04u);
}

TEST_F(session_keys, table_full_is_6a84_until_a_key_is_destroyed) {
    const bytes key = seq(16);
    for (uint16_t expected = 1; expected <= 8; ++expected)
        EXPECT_EQ(set_key(0x401, key), expected);
    uint16_t id = 0;
    EXPECT_EQ(cmd_set_session_key(dev(), reserved, reserved, 0x401, key.data(), 16, &id),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A84u);
    EXPECT_EQ(cmd_destroy_session_key(dev(), reserved, reserved, 8), cmd_ok);
    EXPECT_EQ(set_key(0x401, key), 8);
    // A key is found only in the container it was set in.
    EXPECT_EQ(cmd_destroy_session_key(dev(), app, cont, 8), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A8Cu);
}

TEST_F(session_keys, set_session_key_checks_before_and_after_sending) {
    uint16_t id = 0xBEEF;
    const bytes long_key = seq(33);
    EXPECT_EQ(cmd_set_session_key(dev(), reserved, reserved, 0x401, long_key.data(), 33, &id),
              cmd_bad_length);
    EXPECT_TRUE(card.apdu_log().empty()) << "a key longer than its field is refused before sending";
    card.inject_status_word(0x9000); // a reply without the 2-byte key id
    EXPECT_EQ(cmd_set_session_key(dev(), reserved, reserved, 0x401, long_key.data(), 16, &id),
              cmd_bad_length);
    card.inject_short_reply();
    EXPECT_EQ(cmd_set_session_key(dev(), reserved, reserved, 0x401, long_key.data(), 16, &id),
              cmd_transport_failed);
    EXPECT_EQ(id, 0xBEEF);
    EXPECT_EQ(cmd_set_session_key(dev(), app, 0x7777, 0x401, long_key.data(), 16, &id),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A82u);
    EXPECT_EQ(cmd_set_session_key(dev(), reserved, reserved, 0x403, long_key.data(), 16, &id),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A80u);
}

// Power-off and reset forget session keys and their contexts, and the
// digest context.
TEST_F(session_keys, reset_clears_keys_and_contexts) {
    const bytes key = seq(16), iv(16, 0);
    const uint16_t id = set_key(0x401, key);
    ASSERT_EQ(cmd_mac_init(dev(), reserved, reserved, id, iv.data(), 16, 0, 0), cmd_ok);
    ASSERT_EQ(cmd_digest_init(dev(), 1, nullptr, 0, nullptr, 0, 0), cmd_ok);
    card.reset();
    bytes out(16);
    uint32_t size = 16;
    EXPECT_EQ(cmd_mac_final(dev(), reserved, reserved, id, nullptr, 0, out.data(), &size),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A8Cu);
    size = 16;
    EXPECT_EQ(cmd_digest_final(dev(), nullptr, 0, out.data(), &size), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6985u);
    EXPECT_EQ(set_key(0x401, key), 1) << "ids start again at 1";
}

struct cipher_case {
    const char* label;
    uint32_t alg;
    const EVP_CIPHER* (*evp)(); // null: no public definition, round trip only
    size_t key_length;
    size_t iv_length;
    uint32_t padding;
    size_t data_length;
};

const cipher_case cipher_cases[] = {
    {"sm4_ecb", 0x401, EVP_sm4_ecb, 16, 0, 0, 64},
    {"sm4_cbc_pkcs5", 0x402, EVP_sm4_cbc, 16, 16, 1, 50},
    {"sm4_cbc_pkcs5_whole_blocks", 0x402, EVP_sm4_cbc, 16, 16, 1, 48},
    {"sm4_ofb", 0x408, EVP_sm4_ofb, 16, 16, 0, 37},
    {"aes128_cbc", 0x80000112, EVP_aes_128_cbc, 16, 16, 0, 32},
    {"aes256_ecb_pkcs5", 0x80000141, EVP_aes_256_ecb, 32, 0, 1, 33},
    {"des3_cbc", 0x80000242, EVP_des_ede3_cbc, 24, 8, 1, 20},
    {"sm1_standin_cbc", 0x102, nullptr, 16, 16, 1, 40},
    {"ssf33_standin_ecb", 0x201, nullptr, 16, 0, 0, 32},
};

class cipher_round_trip : public session_keys, public ::testing::WithParamInterface<cipher_case> {
  protected:
    // Init, one Update with the first part, Final with the rest.
    bytes run(bool encrypt, uint16_t id, const bytes& iv, uint32_t padding, const bytes& in,
              size_t first) {
        const auto init = encrypt ? cmd_encrypt_init : cmd_decrypt_init;
        const auto update = encrypt ? cmd_encrypt_update : cmd_decrypt_update;
        const auto final = encrypt ? cmd_encrypt_final : cmd_decrypt_final;
        EXPECT_EQ(
            init(dev(), app, cont, id, iv.data(), static_cast<uint32_t>(iv.size()), padding, 0),
            cmd_ok);
        bytes out(in.size() + 64);
        uint32_t n1 = static_cast<uint32_t>(out.size());
        EXPECT_EQ(
            update(dev(), app, cont, id, in.data(), static_cast<uint32_t>(first), out.data(), &n1),
            cmd_ok);
        uint32_t n2 = static_cast<uint32_t>(out.size() - n1);
        EXPECT_EQ(final(dev(), app, cont, id, in.data() + first,
                        static_cast<uint32_t>(in.size() - first), out.data() + n1, &n2),
                  cmd_ok);
        out.resize(n1 + n2);
        return out;
    }
};

TEST_P(cipher_round_trip, matches_openssl_and_decrypts_back) {
    const cipher_case& c = GetParam();
    const bytes key = seq(c.key_length, 0x11), iv = seq(c.iv_length, 0x40),
                plain = seq(c.data_length, 0x5A);
    const uint16_t id = set_key(c.alg, key, app, cont);
    const size_t block = c.iv_length ? c.iv_length : 16;
    const size_t whole = plain.size() / block * block;
    // With padding the host holds the last block back for DecryptFinal.
    const bytes encrypted = run(true, id, iv, c.padding, plain, whole);
    if (c.evp)
        EXPECT_EQ(encrypted, cipher(c.evp(), true, key, iv, c.padding == 1, plain));
    else
        EXPECT_NE(encrypted, plain);
    const size_t held = c.padding == 1 ? block : 0;
    const size_t first = encrypted.size() >= held ? (encrypted.size() - held) / block * block : 0;
    EXPECT_EQ(run(false, id, iv, c.padding, encrypted, first), plain);
}

INSTANTIATE_TEST_SUITE_P(crypto, cipher_round_trip, ::testing::ValuesIn(cipher_cases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(session_keys, cipher_errors) {
    const bytes key = seq(16), iv = seq(16), data = seq(20);
    const uint16_t id = set_key(0x401, key, app, cont);
    bytes out(64);
    uint32_t size = 64;
    EXPECT_EQ(cmd_encrypt_update(dev(), app, cont, id, data.data(), 16, out.data(), &size),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6985u) << "no EncryptInit";
    ASSERT_EQ(cmd_encrypt_init(dev(), app, cont, id, nullptr, 0, 0, 0), cmd_ok);
    size = 64;
    EXPECT_EQ(cmd_encrypt_final(dev(), app, cont, id, data.data(), 20, out.data(), &size),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6700u) << "no padding and not whole blocks";
    // Decrypting with a bad padding byte.
    ASSERT_EQ(cmd_decrypt_init(dev(), app, cont, id, nullptr, 0, 1, 0), cmd_ok);
    size = 64;
    EXPECT_EQ(cmd_decrypt_final(dev(), app, cont, id, data.data(), 16, out.data(), &size),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6984u);
    // A reply longer than the caller's buffer.
    ASSERT_EQ(cmd_encrypt_init(dev(), app, cont, id, nullptr, 0, 0, 0), cmd_ok);
    size = 8;
    EXPECT_EQ(cmd_encrypt_update(dev(), app, cont, id, data.data(), 16, out.data(), &size),
              cmd_bad_length);
    EXPECT_EQ(size, 16u);
}

struct digest_case {
    const char* label;
    uint8_t hash_id;
    const EVP_MD* (*evp)();
};

const digest_case digest_cases[] = {
    {"sm3", 1, EVP_sm3},
    {"sha1", 2, EVP_sha1},
    {"sha256_as_3", 3, EVP_sha256},
    {"sha256_as_4", 4, EVP_sha256},
    {"md5", 0x81, EVP_md5},
    {"sha384", 0x82, EVP_sha384},
    {"sha512", 0x83, EVP_sha512},
};

class digests : public crypto_card, public ::testing::WithParamInterface<digest_case> {};

// One-shot of 0, 1 and 1000 bytes, and Update + Update + Final (also with no
// final data, the E-Le form), all equal to OpenSSL's digest.
TEST_P(digests, match_openssl) {
    const digest_case& c = GetParam();
    for (size_t length : {size_t{0}, size_t{1}, size_t{1000}}) {
        const bytes data = seq(length, 0x31);
        ASSERT_EQ(cmd_digest_init(dev(), c.hash_id, nullptr, 0, nullptr, 0, 0), cmd_ok);
        bytes out(64);
        uint32_t size = 64;
        ASSERT_EQ(cmd_digest(dev(), data.data(), static_cast<uint32_t>(length), out.data(), &size),
                  cmd_ok)
            << length;
        out.resize(size);
        EXPECT_EQ(out, digest(c.evp(), data)) << length;
    }
    const bytes data = seq(700, 2);
    ASSERT_EQ(cmd_digest_init(dev(), c.hash_id, nullptr, 0, nullptr, 0, 0), cmd_ok);
    ASSERT_EQ(cmd_digest_update(dev(), data.data(), 300, 0), cmd_ok);
    ASSERT_EQ(cmd_digest_update(dev(), data.data() + 300, 400, 0), cmd_ok);
    ASSERT_EQ(cmd_digest_update(dev(), nullptr, 0, 0), cmd_ok)
        << "an empty update goes as a header-only command";
    bytes out(64);
    uint32_t size = 64;
    ASSERT_EQ(cmd_digest_final(dev(), nullptr, 0, out.data(), &size), cmd_ok);
    out.resize(size);
    EXPECT_EQ(out, digest(c.evp(), data));
    const auto finals = sent_with_ins(0xBA);
    ASSERT_FALSE(finals.empty());
    EXPECT_EQ(finals.back(), (bytes{0x80, 0xBA, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(crypto, digests, ::testing::ValuesIn(digest_cases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(crypto_card, digest_without_init_is_refused) {
    bytes out(64);
    uint32_t size = 64;
    EXPECT_EQ(cmd_digest_final(dev(), nullptr, 0, out.data(), &size), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6985u);
    EXPECT_EQ(cmd_digest_init(dev(), 0x80, nullptr, 0, nullptr, 0, 0), cmd_bad_status);
}

// ---- Fingerprint ----

class fingerprint : public crypto_card {
  protected:
    void script(uint8_t busy, uint8_t pending, bool match) {
        apdu_command c(apdu_case_3_ext, 0xC0, 0xB7, 0, 0, "ScriptFingerprintSensor");
        const bytes data = {busy, pending, static_cast<uint8_t>(match), 3};
        c.set_data(data);
        ASSERT_EQ(cmd_send(dev(), c), cmd_ok);
    }
    cmd_result verify(uint8_t mode, uint8_t* result = nullptr, uint8_t* block = nullptr,
                      uint16_t* value = nullptr, uint8_t* last = nullptr) {
        return cmd_verify_fingerprint(dev(), app, 1, 0, mode, result, block, value, last);
    }
};

TEST_F(fingerprint, scripted_verification_end_to_end) {
    ASSERT_EQ(cmd_create_fingerprint_record(dev(), app, 0, 0, 3, 10, 1, 1), cmd_ok);
    script(1, 2, true);
    EXPECT_EQ(verify(1), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6F0Du) << "sensor busy";
    EXPECT_EQ(verify(1), cmd_ok);
    EXPECT_EQ(verify(0), cmd_bad_status);
    EXPECT_EQ(verify(0), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6F0Du) << "no finger yet";
    uint8_t result = 0, block[16] = {}, last = 0;
    uint16_t value = 0;
    ASSERT_EQ(verify(2, &result, block, &value, &last), cmd_ok);
    EXPECT_EQ(result, 3);
    EXPECT_EQ(block[0], 0xA0);
    EXPECT_EQ(value, 0x0155);
    EXPECT_EQ(last, 0x5A);

    // A mismatch costs a try; the info's fourth byte shows the tries left.
    script(0, 0, false);
    ASSERT_EQ(verify(1), cmd_ok);
    EXPECT_EQ(verify(0), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x63C2u);
    uint8_t i1 = 0, i2 = 0, i3 = 0, i4 = 0, info[16] = {};
    uint32_t length = sizeof info;
    ASSERT_EQ(cmd_get_fingerprint_info(dev(), app, 1, &i1, &i2, &i3, &i4, info, &length), cmd_ok);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(i2, 3);
    EXPECT_EQ(i4, 2);
    length = 9;
    EXPECT_EQ(cmd_get_fingerprint_info(dev(), app, 1, &i1, &i2, &i3, &i4, info, &length),
              cmd_bad_length);
    EXPECT_EQ(length, 10u);

    EXPECT_EQ(cmd_unblock_fingerprint(dev(), app, 1), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6982u);
    log_in_so();
    EXPECT_EQ(cmd_unblock_fingerprint(dev(), app, 1), cmd_ok);
    EXPECT_EQ(cmd_clean_fingerprint(dev()), cmd_ok);
    EXPECT_EQ(verify(1), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A8Cu) << "no record after CleanFingerPrint";
}

TEST_F(fingerprint, short_replies) {
    // A 1-byte reply is enough outside mode 2; in mode 2 it gives 4.
    fake_device* scripted = add_device([](std::span<const uint8_t>) {
        return bytes{0x07, 0x90, 0x00};
    });
    uint8_t result = 0;
    EXPECT_EQ(
        cmd_verify_fingerprint(scripted->id(), app, 1, 0, 0, &result, nullptr, nullptr, nullptr),
        cmd_ok);
    EXPECT_EQ(result, 7);
    EXPECT_EQ(
        cmd_verify_fingerprint(scripted->id(), app, 1, 0, 2, &result, nullptr, nullptr, nullptr),
        cmd_fingerprint_short);
    card.inject_status_word(0x9000);
    EXPECT_EQ(verify(0, &result), cmd_bad_length) << "empty reply";
    card.inject_status_word(0x9000);
    uint8_t info[16];
    uint32_t length = sizeof info;
    EXPECT_EQ(
        cmd_get_fingerprint_info(dev(), app, 1, nullptr, nullptr, nullptr, nullptr, info, &length),
        cmd_bad_length);
}

} // namespace
} // namespace crypto_test

namespace crypto_test {
namespace {

// Every wrapper: a one-byte reply is a transport failure (0x8004), a card
// status word other than 9000 is result 2 with that status word kept.
struct any_wrapper {
    const char* label;
    cmd_result (*call)(device_id);
};

uint8_t buffer[600];
uint32_t size_of_buffer;
const uint8_t input[16] = {};

uint32_t* fresh_size() {
    size_of_buffer = sizeof buffer;
    return &size_of_buffer;
}

// clang-format off
const any_wrapper wrappers[] = {
    {"gen_rsa", [](device_id d) { return cmd_gen_rsa_key_pair_ex(d, 1, 1, 1024, 1, buffer, fresh_size()); }},
    {"import_rsa", [](device_id d) { return cmd_import_ext_rsa_key_pair(d, 1, 1, 1, input, 16); }},
    {"rsa_sign", [](device_id d) { return cmd_rsa_sign_ex(d, 1, 1, 1, 2, input, 16, buffer, fresh_size()); }},
    {"rsa_private", [](device_id d) { return cmd_rsa_private(d, 1, 1, 1, input, 16, buffer, fresh_size()); }},
    {"rsa_decrypt", [](device_id d) { return cmd_rsa_decrypt(d, 1, 1, 1, input, 16, buffer, fresh_size()); }},
    {"rsa_verify", [](device_id d) { return cmd_rsa_verify(d, 2, 3, input, 16, input, 16, input, 16); }},
    {"rsa_public", [](device_id d) { return cmd_ex_rsa_pub_key_operation(d, input, 16, input, 16, buffer, fresh_size()); }},
    {"delete_key_pair", [](device_id d) { return cmd_delete_key_pair(d, 1, 1, 1); }},
    {"gen_ecc", [](device_id d) { return cmd_gen_ecc_key_pair(d, 1, 1, 256, buffer, fresh_size()); }},
    {"import_ecc", [](device_id d) { return cmd_import_ext_ecc_key_pair(d, 1, 1, 1, input, 16); }},
    {"ecc_sign", [](device_id d) { return cmd_ecc_sign_data_ex(d, 1, 1, 2, 1, nullptr, 0, input, 16, buffer, fresh_size()); }},
    {"ecc_verify", [](device_id d) { return cmd_ecc_verify(d, input, 16, input, 16, input, 16); }},
    {"ecc_encrypt", [](device_id d) { return cmd_ex_ecc_encrypt(d, input, 16, input, 16, buffer, fresh_size()); }},
    {"ecc_decrypt", [](device_id d) { return cmd_ecc_pri_decrypt(d, 1, 1, 1, input, 16, buffer, fresh_size()); }},
    {"export_public_key", [](device_id d) { return cmd_export_public_key(d, 1, 1, 1, buffer, fresh_size()); }},
    {"set_session_key", [](device_id d) { uint16_t id; return cmd_set_session_key(d, 1, 1, 0x401, input, 16, &id); }},
    {"destroy_session_key", [](device_id d) { return cmd_destroy_session_key(d, 1, 1, 1); }},
    {"encrypt_init", [](device_id d) { return cmd_encrypt_init(d, 1, 1, 1, input, 16, 0, 0); }},
    {"encrypt_update", [](device_id d) { return cmd_encrypt_update(d, 1, 1, 1, input, 16, buffer, fresh_size()); }},
    {"encrypt_final", [](device_id d) { return cmd_encrypt_final(d, 1, 1, 1, input, 16, buffer, fresh_size()); }},
    {"decrypt_init", [](device_id d) { return cmd_decrypt_init(d, 1, 1, 1, input, 16, 0, 0); }},
    {"decrypt_update", [](device_id d) { return cmd_decrypt_update(d, 1, 1, 1, input, 16, buffer, fresh_size()); }},
    {"decrypt_final", [](device_id d) { return cmd_decrypt_final(d, 1, 1, 1, input, 16, buffer, fresh_size()); }},
    {"digest_init", [](device_id d) { return cmd_digest_init(d, 1, nullptr, 0, nullptr, 0, 0); }},
    {"digest", [](device_id d) { return cmd_digest(d, input, 16, buffer, fresh_size()); }},
    {"digest_update", [](device_id d) { return cmd_digest_update(d, input, 16, 0); }},
    {"digest_final", [](device_id d) { return cmd_digest_final(d, nullptr, 0, buffer, fresh_size()); }},
    {"mac_init", [](device_id d) { return cmd_mac_init(d, 1, 1, 1, input, 16, 0, 0); }},
    {"mac_update", [](device_id d) { return cmd_mac_update(d, 1, 1, 1, input, 16); }},
    {"mac_final", [](device_id d) { return cmd_mac_final(d, 1, 1, 1, nullptr, 0, buffer, fresh_size()); }},
    {"create_fingerprint", [](device_id d) { return cmd_create_fingerprint_record(d, 1, 0, 0, 1, 2, 3, 4); }},
    {"verify_fingerprint", [](device_id d) { return cmd_verify_fingerprint(d, 1, 1, 0, 1, nullptr, nullptr, nullptr, nullptr); }},
    {"fingerprint_info", [](device_id d) { uint32_t n = sizeof buffer; return cmd_get_fingerprint_info(d, 1, 1, nullptr, nullptr, nullptr, nullptr, buffer, &n); }},
    {"clean_fingerprint", [](device_id d) { return cmd_clean_fingerprint(d); }},
    {"unblock_fingerprint", [](device_id d) { return cmd_unblock_fingerprint(d, 1, 1); }},
};
// clang-format on

class every_wrapper : public crypto_card, public ::testing::WithParamInterface<any_wrapper> {};

TEST_P(every_wrapper, short_reply_and_refusal) {
    card.inject_short_reply();
    const cmd_result failed = GetParam().call(dev());
    EXPECT_EQ(failed, cmd_transport_failed);
    EXPECT_EQ(failed.status_word, 0x8004u);
    EXPECT_EQ(cmd_last_status_word(), 0x8004u);
    card.inject_status_word(0x6A84);
    const cmd_result refused = GetParam().call(dev());
    EXPECT_EQ(refused, cmd_bad_status);
    EXPECT_EQ(refused.status_word, 0x6A84u);
    EXPECT_EQ(cmd_last_status_word(), 0x6A84u);
}

INSTANTIATE_TEST_SUITE_P(crypto, every_wrapper, ::testing::ValuesIn(wrappers),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
} // namespace crypto_test
