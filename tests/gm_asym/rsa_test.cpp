// RSA through the device API on a simulated token behind pcscd: keys made on
// the card verify with OpenSSL from the exported record; keys made by OpenSSL
// are imported and used; a tampered signature is refused.
#include "asym_fixture.h"

namespace asym_test {
namespace {

constexpr uint8_t ins_import_rsa = 0x20;
constexpr uint8_t ins_rsa_sign = 0x1C;
constexpr uint8_t ins_rsa_verify = 0x5E;

class rsa_api : public asym_token, public ::testing::WithParamInterface<uint32_t> {
  protected:
    bytes sign(uint32_t hash_id, const bytes& data, uint32_t key_spec = gm_key_spec_signature) {
        uint32_t size = 0;
        EXPECT_EQ(gm_rsa_sign_data(cont, key_spec, hash_id, data.data(),
                                   static_cast<uint32_t>(data.size()), nullptr, &size),
                  SAR_OK);
        bytes out(size);
        EXPECT_EQ(gm_rsa_sign_data(cont, key_spec, hash_id, data.data(),
                                   static_cast<uint32_t>(data.size()), out.data(), &size),
                  SAR_OK);
        out.resize(size);
        return out;
    }
    RSAPUBLICKEYBLOB export_rsa(uint32_t sign_flag) {
        RSAPUBLICKEYBLOB blob;
        uint32_t size = 0;
        EXPECT_EQ(SKF_ExportPublicKey(cont, sign_flag, nullptr, &size), SAR_OK);
        EXPECT_EQ(size, sizeof blob);
        EXPECT_EQ(SKF_ExportPublicKey(cont, sign_flag, reinterpret_cast<uint8_t*>(&blob), &size),
                  SAR_OK);
        return blob;
    }
};

// Generated on the card: the record holds the modulus right-aligned and
// leaves the caller's bytes before it; the export gives the same key; a
// SHA-256 signature verifies with OpenSSL and on the card, and fails on both
// once tampered.
TEST_P(rsa_api, generate_sign_verify_with_openssl) {
    const uint32_t bits = GetParam(), k = bits / 8;
    RSAPUBLICKEYBLOB generated;
    std::memset(&generated, 0xA5, sizeof generated);
    ASSERT_EQ(gm_gen_rsa_key_pair(cont, gm_key_spec_signature, bits, &generated), SAR_OK);
    EXPECT_EQ(generated.AlgID, SGD_RSA);
    EXPECT_EQ(generated.BitLen, bits);
    EXPECT_EQ(bytes(generated.Modulus, generated.Modulus + 256 - k), bytes(256 - k, 0xA5));
    EXPECT_NE(generated.Modulus[256 - k], 0) << "the modulus' top byte is set";
    EXPECT_EQ(bytes(generated.PublicExponent, generated.PublicExponent + 4), (bytes{0, 1, 0, 1}));

    const RSAPUBLICKEYBLOB exported = export_rsa(1);
    EXPECT_EQ(exported.BitLen, bits);
    EXPECT_EQ(bytes(exported.Modulus, exported.Modulus + 256 - k), bytes(256 - k, 0))
        << "export zero-fills";
    EXPECT_EQ(bytes(exported.Modulus + 256 - k, exported.Modulus + 256),
              bytes(generated.Modulus + 256 - k, generated.Modulus + 256));

    pkey_ptr pub = rsa_public(exported);
    ASSERT_NE(pub, nullptr);
    ASSERT_EQ(EVP_PKEY_get_bits(pub.get()), static_cast<int>(bits));
    const bytes message = seq(300, 3);
    const bytes hash = digest(EVP_sha256(), message);
    bytes signature = sign(gm_hash_sha256, hash);
    ASSERT_EQ(signature.size(), k);
    EXPECT_TRUE(rsa_verifies(pub.get(), EVP_sha256(), message, signature));
    EXPECT_EQ(gm_rsa_verify(dev, &exported, gm_hash_sha256, hash.data(), 32, signature.data(), k),
              SAR_OK);
    // SHA-256 (4) travels as the card's 3; RSAVerify carries the constant 2 in P1.
    const std::vector<bytes> signs = sent_with_ins(ins_rsa_sign),
                             verifies = sent_with_ins(ins_rsa_verify);
    ASSERT_FALSE(signs.empty());
    ASSERT_FALSE(verifies.empty());
    EXPECT_EQ(signs.back()[3], 3);
    EXPECT_EQ(verifies.back()[2], 2);
    EXPECT_EQ(verifies.back()[3], 3);

    signature[k / 2] ^= 0x01;
    EXPECT_FALSE(rsa_verifies(pub.get(), EVP_sha256(), message, signature));
    EXPECT_EQ(gm_rsa_verify(dev, &exported, gm_hash_sha256, hash.data(), 32, signature.data(), k),
              SAR_HASHNOTEQUALERR);
}

// A pair made by OpenSSL, imported as an RSAPRIVATEKEYBLOB into the exchange
// slot: its signatures verify with OpenSSL, it decrypts what OpenSSL
// encrypted, and the raw private operation inverts the raw public one.
TEST_P(rsa_api, imported_openssl_pair_is_used) {
    const uint32_t bits = GetParam(), k = bits / 8;
    pkey_ptr own(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
    ASSERT_NE(own, nullptr);
    const RSAPRIVATEKEYBLOB pair = rsa_private_blob(own.get());
    ASSERT_EQ(gm_import_plain_rsa_key_pair(cont, gm_key_spec_exchange, &pair), SAR_OK);
    EXPECT_GE(sent_with_ins(ins_import_rsa).size(), 2u) << "the record travels chained";

    const RSAPUBLICKEYBLOB exported = export_rsa(0);
    EXPECT_EQ(std::memcmp(&exported, &pair, sizeof exported), 0)
        << "the public part comes back as imported";

    const bytes message = seq(77, 9);
    const bytes signature = sign(gm_hash_sha1, digest(EVP_sha1(), message), gm_key_spec_exchange);
    EXPECT_TRUE(rsa_verifies(own.get(), EVP_sha1(), message, signature));

    const bytes secret = seq(24, 0x40);
    const bytes cipher = rsa_encrypt_pkcs1(own.get(), secret);
    uint32_t plain_len = 0;
    ASSERT_EQ(gm_rsa_private_decrypt(cont, 0, cipher.data(), k, nullptr, &plain_len), SAR_OK);
    EXPECT_EQ(plain_len, secret.size());
    bytes plain(plain_len - 1);
    uint32_t short_len = plain_len - 1;
    EXPECT_EQ(gm_rsa_private_decrypt(cont, 0, cipher.data(), k, plain.data(), &short_len),
              SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(short_len, secret.size());
    plain.resize(plain_len);
    ASSERT_EQ(gm_rsa_private_decrypt(cont, 0, cipher.data(), k, plain.data(), &plain_len), SAR_OK);
    EXPECT_EQ(plain, secret);
    bytes bad_padding = seq(k, 0x21); // raw value below the modulus, no type-2 block
    bad_padding[0] = 0;
    plain_len = k;
    bytes out(k);
    EXPECT_EQ(gm_rsa_private_decrypt(cont, 0, bad_padding.data(), k, out.data(), &plain_len),
              SAR_INDATAERR);

    // Raw: public(private(x)) == x, computed in place as the PKCS#11 layer does.
    bytes block = seq(k, 0x11);
    block[0] = 0x00; // below the modulus
    const bytes original = block;
    uint32_t len = k;
    ASSERT_EQ(gm_rsa_private_operation(cont, 0, block.data(), k, block.data(), &len), SAR_OK);
    ASSERT_EQ(len, k);
    EXPECT_NE(block, original);
    uint32_t out_len = 0;
    ASSERT_EQ(SKF_ExtRSAPubKeyOperation(dev, &exported, block.data(), k, nullptr, &out_len),
              SAR_OK);
    EXPECT_EQ(out_len, k);
    bytes back(k);
    ASSERT_EQ(SKF_ExtRSAPubKeyOperation(dev, &exported, block.data(), k, back.data(), &out_len),
              SAR_OK);
    EXPECT_EQ(back, original);
}

INSTANTIATE_TEST_SUITE_P(bits, rsa_api, ::testing::Values(1024u, 2048u),
                         ::testing::PrintToStringParamName());

using rsa_rules = asym_token;

// Sizes the card does not hold are refused before anything is written to the
// caller's record or sent to the card (4096 bits would run past Modulus[256]).
TEST_F(rsa_rules, unsupported_sizes_refused_before_anything) {
    for (uint32_t bits : {0u, 512u, 1023u, 1536u, 3072u, 4096u}) {
        SCOPED_TRACE(bits);
        RSAPUBLICKEYBLOB blob;
        std::memset(&blob, 0x5A, sizeof blob);
        EXPECT_EQ(gm_gen_rsa_key_pair(cont, 1, bits, &blob), SAR_INVALIDPARAMERR);
        RSAPUBLICKEYBLOB untouched;
        std::memset(&untouched, 0x5A, sizeof untouched);
        EXPECT_EQ(std::memcmp(&blob, &untouched, sizeof blob), 0);

        RSAPRIVATEKEYBLOB pair;
        std::memset(&pair, 0, sizeof pair);
        pair.AlgID = SGD_RSA;
        pair.BitLen = bits;
        EXPECT_EQ(gm_import_plain_rsa_key_pair(cont, 1, &pair), SAR_INVALIDPARAMERR);

        RSAPUBLICKEYBLOB key;
        std::memset(&key, 0, sizeof key);
        key.BitLen = bits;
        const bytes data(256, 1);
        uint32_t len = 256;
        bytes out(256);
        EXPECT_EQ(SKF_ExtRSAPubKeyOperation(dev, &key, data.data(), 256, out.data(), &len),
                  SAR_INVALIDPARAMERR);
        EXPECT_EQ(gm_rsa_verify(dev, &key, 4, data.data(), 32, data.data(), 256),
                  SAR_INVALIDPARAMERR);
    }
    EXPECT_TRUE(key_commands_sent().empty()) << ::testing::PrintToString(key_commands_sent());
}

// Data to sign: 244 bytes go to the card, 245 are refused by the library.
TEST_F(rsa_rules, sign_data_limit) {
    RSAPUBLICKEYBLOB blob;
    ASSERT_EQ(gm_gen_rsa_key_pair(cont, 1, 2048, &blob), SAR_OK);
    const bytes data(245, 0x33);
    bytes signature(256);
    uint32_t len = 256;
    EXPECT_EQ(gm_rsa_sign_data(cont, 1, 0x80, data.data(), 245, signature.data(), &len),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(sent_with_ins(ins_rsa_sign).size(), 0u);
    ASSERT_EQ(gm_rsa_sign_data(cont, 1, 0x80, data.data(), 244, signature.data(), &len), SAR_OK);
    EXPECT_EQ(len, 256u);
    len = 255;
    EXPECT_EQ(gm_rsa_sign_data(cont, 1, 0x80, data.data(), 244, signature.data(), &len),
              SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 256u);
}

// Without the user logged in (library flag) the key functions refuse before
// anything reaches the card; unknown handles are refused too.
TEST_F(rsa_rules, login_and_handles) {
    log_out_host();
    RSAPUBLICKEYBLOB blob;
    const bytes data(32, 1);
    bytes out(256);
    uint32_t len = 256;
    EXPECT_EQ(gm_gen_rsa_key_pair(cont, 1, 1024, &blob), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(gm_rsa_sign_data(cont, 1, 4, data.data(), 32, out.data(), &len),
              SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(gm_rsa_private_decrypt(cont, 1, out.data(), 128, out.data(), &len),
              SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(gm_rsa_private_operation(cont, 1, out.data(), 128, out.data(), &len),
              SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(gm_delete_key_pair(cont, 1), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(gm_delete_certificate(cont, 1), SAR_USER_NOT_LOGGED_IN);
    EXPECT_TRUE(key_commands_sent().empty()) << ::testing::PrintToString(key_commands_sent());

    EXPECT_EQ(gm_gen_rsa_key_pair(app, 1, 1024, &blob), SAR_INVALIDHANDLEERR)
        << "an application is no container";
    EXPECT_EQ(gm_gen_rsa_key_pair(0, 1, 1024, &blob), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(gm_rsa_verify(cont, &blob, 4, data.data(), 32, out.data(), 128), SAR_INVALIDPARAMERR)
        << "a container is no device";
}

// Card refusals arrive mapped: no key in the slot, and a key deleted.
TEST_F(rsa_rules, missing_and_deleted_keys) {
    uint32_t len = 0;
    EXPECT_EQ(SKF_ExportPublicKey(cont, 1, nullptr, &len), SAR_KEYNOTFOUNTERR);
    RSAPUBLICKEYBLOB blob;
    ASSERT_EQ(gm_gen_rsa_key_pair(cont, 1, 1024, &blob), SAR_OK);
    ASSERT_EQ(SKF_ExportPublicKey(cont, 1, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, sizeof(RSAPUBLICKEYBLOB));
    len = sizeof(RSAPUBLICKEYBLOB) - 1;
    bytes out(len);
    EXPECT_EQ(SKF_ExportPublicKey(cont, 1, out.data(), &len), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, sizeof(RSAPUBLICKEYBLOB));
    EXPECT_EQ(SKF_ExportPublicKey(cont, 0, nullptr, &len), SAR_KEYNOTFOUNTERR)
        << "the other slot is empty";
    ASSERT_EQ(gm_delete_key_pair(cont, 1), SAR_OK);
    EXPECT_EQ(SKF_ExportPublicKey(cont, 1, nullptr, &len), SAR_KEYNOTFOUNTERR);
    const bytes data(32, 1);
    bytes signature(256);
    len = 256;
    EXPECT_EQ(gm_rsa_sign_data(cont, 1, 4, data.data(), 32, signature.data(), &len),
              SAR_KEYNOTFOUNTERR);
}

} // namespace
} // namespace asym_test
