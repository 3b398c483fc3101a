// SM2 and random numbers through the device API on a simulated token behind
// pcscd, checked with OpenSSL.
#include <utility>

#include "asym_fixture.h"

namespace asym_test {
namespace {

constexpr uint8_t ins_gen_ecc = 0x70;
constexpr uint8_t ins_ecc_decrypt = 0x28;
constexpr uint8_t ins_gen_random = 0x50;

class sm2_api : public asym_token {
  protected:
    ECCPUBLICKEYBLOB export_sm2(uint32_t sign_flag) {
        ECCPUBLICKEYBLOB blob;
        std::memset(&blob, 0xEE, sizeof blob);
        uint32_t size = 0;
        EXPECT_EQ(SKF_ExportPublicKey(cont, sign_flag, nullptr, &size), SAR_OK);
        EXPECT_EQ(size, sizeof blob);
        EXPECT_EQ(SKF_ExportPublicKey(cont, sign_flag, reinterpret_cast<uint8_t*>(&blob), &size),
                  SAR_OK);
        return blob;
    }
    ECCSIGNATUREBLOB sign(uint32_t key_spec, const bytes& e) {
        ECCSIGNATUREBLOB signature;
        std::memset(&signature, 0, sizeof signature);
        EXPECT_EQ(
            gm_ecc_sign_data(cont, key_spec, e.data(), static_cast<uint32_t>(e.size()), &signature),
            SAR_OK);
        return signature;
    }
};

// Generated on the card: the record and the export agree; the card's
// signature over e = SM3(Z || M) verifies with OpenSSL over M and on the card;
// tampered, it fails on both.
TEST_F(sm2_api, generate_sign_verify_with_openssl) {
    ECCPUBLICKEYBLOB generated;
    std::memset(&generated, 0xA5, sizeof generated);
    ASSERT_EQ(SKF_GenECCKeyPair(cont, SGD_SM2_1, &generated), SAR_OK);
    EXPECT_EQ(generated.BitLen, 256u);
    EXPECT_EQ(bytes(generated.XCoordinate, generated.XCoordinate + 32), bytes(32, 0xA5))
        << "first half not written";

    const ECCPUBLICKEYBLOB exported = export_sm2(1);
    EXPECT_EQ(exported.BitLen, 256u);
    EXPECT_EQ(bytes(exported.XCoordinate, exported.XCoordinate + 32), bytes(32, 0))
        << "export zero-fills";
    EXPECT_EQ(low32(exported.XCoordinate), low32(generated.XCoordinate));
    EXPECT_EQ(low32(exported.YCoordinate), low32(generated.YCoordinate));

    pkey_ptr pub = sm2_public(exported);
    ASSERT_NE(pub, nullptr);
    const bytes message = seq(200, 5);
    const bytes e = sm2_e(exported, message);
    ECCSIGNATUREBLOB signature = sign(1, e);
    EXPECT_TRUE(sm2_verifies(pub.get(), message, signature));
    EXPECT_EQ(SKF_ECCVerify(dev, &exported, e.data(), 32, &signature), SAR_OK);

    signature.s[50] ^= 0x04;
    EXPECT_FALSE(sm2_verifies(pub.get(), message, signature));
    EXPECT_EQ(SKF_ECCVerify(dev, &exported, e.data(), 32, &signature), SAR_HASHNOTEQUALERR);
}

// Either SM2 algorithm id sends the key's bit length, 256, to the card, and
// the key the card made comes back; which of the container's pairs it fills
// is the card's choice (one of the two holds it afterwards).
TEST_F(sm2_api, either_algorithm_sends_the_bit_length_and_the_card_chooses_the_pair) {
    for (const uint32_t alg : {SGD_SM2_1, SGD_SM2_2}) {
        ECCPUBLICKEYBLOB made;
        ASSERT_EQ(SKF_GenECCKeyPair(cont, alg, &made), SAR_OK);
        const std::vector<bytes> sent = sent_with_ins(ins_gen_ecc);
        ASSERT_FALSE(sent.empty());
        // Lc header: CLA INS P1 P2 00 Lc(2), app (2), cont (2), the bit length (4, BE).
        EXPECT_EQ(bytes(sent.back().begin() + 11, sent.back().begin() + 15),
                  (bytes{0x00, 0x00, 0x01, 0x00}))
            << std::hex << alg;
        EXPECT_TRUE(low32(export_sm2(1).XCoordinate) == low32(made.XCoordinate) ||
                    low32(export_sm2(0).XCoordinate) == low32(made.XCoordinate))
            << std::hex << alg;
    }
}

// A pair made by OpenSSL, imported into the exchange slot: its signatures
// verify with OpenSSL, it decrypts what OpenSSL encrypted, and what the card
// encrypts to it with SKF_ExtECCEncrypt.
TEST_F(sm2_api, imported_openssl_pair_is_used) {
    pkey_ptr own(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    ASSERT_NE(own, nullptr);
    ECCPUBLICKEYBLOB pub;
    ECCPRIVATEKEYBLOB pri;
    sm2_blobs(own.get(), pub, pri);
    ASSERT_EQ(gm_import_plain_ecc_key_pair(cont, 0, &pub, &pri), SAR_OK);
    const ECCPUBLICKEYBLOB exported = export_sm2(0);
    EXPECT_EQ(std::memcmp(&pub, &exported, sizeof pub), 0);

    const bytes message = seq(64, 1);
    EXPECT_TRUE(sm2_verifies(own.get(), message, sign(0, sm2_e(pub, message))));

    const bytes secret = seq(100, 0x20);
    const bytes record = sm2_cipher_record(sm2_encrypt(own.get(), secret));
    ASSERT_FALSE(record.empty());
    const auto* cipher = reinterpret_cast<const ECCCIPHERBLOB*>(record.data());
    uint32_t len = 0;
    ASSERT_EQ(gm_ecc_private_decrypt(cont, 0, cipher, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, secret.size());
    EXPECT_TRUE(sent_with_ins(ins_ecc_decrypt).empty()) << "the size comes from the record";
    bytes plain(len);
    ASSERT_EQ(gm_ecc_private_decrypt(cont, 0, cipher, plain.data(), &len), SAR_OK);
    EXPECT_EQ(plain, secret);
    bytes tampered = record;
    reinterpret_cast<ECCCIPHERBLOB*>(tampered.data())->HASH[0] ^= 0x80;
    EXPECT_EQ(gm_ecc_private_decrypt(cont, 0,
                                     reinterpret_cast<const ECCCIPHERBLOB*>(tampered.data()),
                                     plain.data(), &len),
              SAR_INDATAERR)
        << "C3 does not check";

    // Card encryption: the record's cipher part decrypts on the card again.
    bytes encrypted(ECCCIPHERBLOB_FIXED_SIZE + secret.size(), 0xCC);
    auto* out = reinterpret_cast<ECCCIPHERBLOB*>(encrypted.data());
    ASSERT_EQ(
        SKF_ExtECCEncrypt(dev, &pub, secret.data(), static_cast<uint32_t>(secret.size()), out),
        SAR_OK);
    EXPECT_EQ(out->CipherLen, secret.size());
    EXPECT_EQ(bytes(out->XCoordinate, out->XCoordinate + 32), bytes(32, 0));
    bytes again(secret.size());
    len = static_cast<uint32_t>(again.size());
    ASSERT_EQ(gm_ecc_private_decrypt(cont, 0, out, again.data(), &len), SAR_OK);
    EXPECT_EQ(again, secret);
}

// The argument rules that need no key on the card.
TEST_F(sm2_api, argument_rules) {
    ECCPUBLICKEYBLOB blob;
    EXPECT_EQ(SKF_GenECCKeyPair(cont, 0x00020400, &blob), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_GenECCKeyPair(0, SGD_SM2_1, &blob), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_GenECCKeyPair(cont, SGD_SM2_1, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_GenECCKeyPair(app, SGD_SM2_1, &blob), SAR_INVALIDHANDLEERR);
    log_out_host();
    for (uint32_t alg : {SGD_SM2_1, SGD_SM2_2, 0x00020400u})
        EXPECT_EQ(SKF_GenECCKeyPair(cont, alg, &blob), GM_ECC_GEN_NOT_LOGGED_IN);

    const bytes digest33(33, 1);
    ECCSIGNATUREBLOB signature;
    EXPECT_EQ(gm_ecc_sign_data(cont, 1, digest33.data(), 31, &signature), SAR_INDATALENERR);
    EXPECT_EQ(gm_ecc_sign_data(cont, 1, digest33.data(), 33, &signature), SAR_INDATALENERR);

    bytes record(ECCCIPHERBLOB_FIXED_SIZE + 257, 0);
    auto* cipher = reinterpret_cast<ECCCIPHERBLOB*>(record.data());
    cipher->CipherLen = 257;
    bytes plain(300);
    uint32_t len = 300;
    EXPECT_EQ(gm_ecc_private_decrypt(cont, 0, cipher, plain.data(), &len), SAR_INDATALENERR);

    const bytes text(1025, 7);
    bytes out(ECCCIPHERBLOB_FIXED_SIZE + 1025);
    EXPECT_EQ(SKF_ExtECCEncrypt(dev, &blob, text.data(), 1025,
                                reinterpret_cast<ECCCIPHERBLOB*>(out.data())),
              SAR_INDATALENERR)
        << "a cipher longer than the record takes is never reported as success";
    EXPECT_EQ(SKF_ExtECCEncrypt(dev, nullptr, text.data(), 16,
                                reinterpret_cast<ECCCIPHERBLOB*>(out.data())),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_ECCVerify(dev, &blob, nullptr, 32, &signature), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_ECCVerify(dev, nullptr, text.data(), 32, &signature), SAR_INVALIDPARAMERR);
    EXPECT_TRUE(key_commands_sent().empty()) << ::testing::PrintToString(key_commands_sent());
}

// Random numbers come in pieces of 1024 bytes; a failing piece leaves the
// caller's buffer as it was.
TEST_F(sm2_api, random_in_pieces) {
    bytes random(2500, 0);
    ASSERT_EQ(SKF_GenRandom(dev, random.data(), 2500), SAR_OK);
    const std::vector<bytes> sent = sent_with_ins(ins_gen_random);
    ASSERT_EQ(sent.size(), 3u);
    // Extended Le (case 2): CLA INS P1 P2 00 Le(2).
    const uint32_t expected[] = {1024, 1024, 452};
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(sent[i].size(), 7u);
        EXPECT_EQ(uint32_t{sent[i][5]} << 8 | sent[i][6], expected[i]);
    }
    EXPECT_NE(bytes(random.begin() + 2048, random.end()), bytes(452, 0));

    EXPECT_EQ(SKF_GenRandom(dev, random.data(), 0), SAR_OK);
    EXPECT_EQ(SKF_GenRandom(0, random.data(), 8), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_GenRandom(dev, nullptr, 8), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_GenRandom(cont, random.data(), 8), SAR_INVALIDPARAMERR);

    bytes kept(1500, 0x77);
    sim().clear_log();
    sim().inject_status_word(0x6A80, 1);
    // The first piece fails: nothing is written.
    EXPECT_EQ(SKF_GenRandom(dev, kept.data(), 1500), SAR_INVALIDPARAMERR);
    EXPECT_EQ(kept, bytes(1500, 0x77));
    EXPECT_EQ(sent_with_ins(ins_gen_random).size(), 1u);
}

} // namespace
} // namespace asym_test
