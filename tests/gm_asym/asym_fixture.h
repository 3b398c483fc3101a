// The device API's key functions against a simulated token behind the real
// pcscd (RESOURCE_LOCK pcscd), with OpenSSL as the independent oracle.
//
// One token serves a whole test program; every test connects to it, opens
// "APP", logs the user in and works in a container of its own, which it
// deletes at the end.
#pragma once

#include <gtest/gtest.h>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "gm_api.h"
#include "gm_filters.h"
#include "openssl_ptr.h"
#include "test_hex.h"

namespace asym_test {

using bytes = std::vector<uint8_t>;

inline constexpr const char* user_pin = "58204716";
inline constexpr const char* sm2_default_id = "1234567812345678";

using test_support::pkey_ptr;
struct bn_free {
    void operator()(BIGNUM* b) const noexcept { BN_free(b); }
};
using bn_ptr = std::unique_ptr<BIGNUM, bn_free>;

inline bytes seq(size_t n, uint8_t first = 0) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i * 7);
    return b;
}

inline bytes digest(const EVP_MD* md, const bytes& data) {
    bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}

inline bytes bn_bytes(const BIGNUM* v, size_t width) {
    bytes out(width);
    BN_bn2binpad(v, out.data(), static_cast<int>(width));
    return out;
}

inline bytes key_param(const EVP_PKEY* key, const char* name, size_t width) {
    BIGNUM* v = nullptr;
    EVP_PKEY_get_bn_param(key, name, &v);
    bn_ptr hold(v);
    return v ? bn_bytes(v, width) : bytes();
}

inline pkey_ptr from_params(const char* type, OSSL_PARAM_BLD* bld, int selection) {
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, selection, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return pkey_ptr(key);
}

// ---- RSA records <-> OpenSSL keys ----

inline pkey_ptr rsa_public(const RSAPUBLICKEYBLOB& blob) {
    const size_t k = blob.BitLen / 8;
    bn_ptr n(BN_bin2bn(blob.Modulus + sizeof blob.Modulus - k, static_cast<int>(k), nullptr));
    bn_ptr e(BN_bin2bn(blob.PublicExponent, 4, nullptr));
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e.get());
    return from_params("RSA", bld, EVP_PKEY_PUBLIC_KEY);
}

// GM/T 0016 RSAPRIVATEKEYBLOB of an OpenSSL key: numbers big-endian,
// right-aligned in their fields.
inline RSAPRIVATEKEYBLOB rsa_private_blob(const EVP_PKEY* key) {
    RSAPRIVATEKEYBLOB blob;
    std::memset(&blob, 0, sizeof blob);
    const size_t k = static_cast<size_t>(EVP_PKEY_get_size(key));
    blob.AlgID = SGD_RSA;
    blob.BitLen = static_cast<uint32_t>(k * 8);
    auto place = [](uint8_t* field, size_t width, const bytes& v) {
        std::memcpy(field + width - v.size(), v.data(), v.size());
    };
    place(blob.Modulus, 256, key_param(key, OSSL_PKEY_PARAM_RSA_N, k));
    place(blob.PublicExponent, 4, key_param(key, OSSL_PKEY_PARAM_RSA_E, 4));
    place(blob.PrivateExponent, 256, key_param(key, OSSL_PKEY_PARAM_RSA_D, k));
    place(blob.Prime1, 128, key_param(key, OSSL_PKEY_PARAM_RSA_FACTOR1, k / 2));
    place(blob.Prime2, 128, key_param(key, OSSL_PKEY_PARAM_RSA_FACTOR2, k / 2));
    place(blob.Prime1Exponent, 128, key_param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, k / 2));
    place(blob.Prime2Exponent, 128, key_param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, k / 2));
    place(blob.Coefficient, 128, key_param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, k / 2));
    return blob;
}

inline RSAPUBLICKEYBLOB rsa_public_blob(const RSAPRIVATEKEYBLOB& pair) {
    RSAPUBLICKEYBLOB pub;
    std::memcpy(&pub, &pair, sizeof pub); // the public record is the private one's head
    return pub;
}

// PKCS#1 v1.5 verification of a signature over message (OpenSSL hashes).
inline bool rsa_verifies(EVP_PKEY* key, const EVP_MD* md, const bytes& message,
                         const bytes& signature) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    int ok = EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key);
    if (ok == 1)
        ok = EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(),
                              message.size());
    EVP_MD_CTX_free(ctx);
    return ok == 1;
}

inline bytes rsa_encrypt_pkcs1(EVP_PKEY* key, const bytes& plain) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_encrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    size_t n = 0;
    EVP_PKEY_encrypt(ctx, nullptr, &n, plain.data(), plain.size());
    bytes out(n);
    EVP_PKEY_encrypt(ctx, out.data(), &n, plain.data(), plain.size());
    out.resize(n);
    EVP_PKEY_CTX_free(ctx);
    return out;
}

// ---- SM2 records <-> OpenSSL keys ----

// The last 32 bytes of a 64-byte record field.
inline bytes low32(const uint8_t (&field)[64]) {
    return bytes(field + 32, field + 64);
}

inline void put_low32(uint8_t (&field)[64], const bytes& v) {
    std::memcpy(field + 32, v.data(), 32);
}

inline pkey_ptr sm2_public(const ECCPUBLICKEYBLOB& blob) {
    bytes point = {0x04};
    const bytes x = low32(blob.XCoordinate), y = low32(blob.YCoordinate);
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    return from_params("SM2", bld, EVP_PKEY_PUBLIC_KEY);
}

// The records of an OpenSSL SM2 key pair.
inline void sm2_blobs(const EVP_PKEY* key, ECCPUBLICKEYBLOB& pub, ECCPRIVATEKEYBLOB& pri) {
    std::memset(&pub, 0, sizeof pub);
    std::memset(&pri, 0, sizeof pri);
    uint8_t point[65];
    size_t n = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &n);
    pub.BitLen = 256;
    put_low32(pub.XCoordinate, bytes(point + 1, point + 33));
    put_low32(pub.YCoordinate, bytes(point + 33, point + 65));
    pri.BitLen = 256;
    const bytes d = key_param(key, OSSL_PKEY_PARAM_PRIV_KEY, 32);
    std::memcpy(pri.PrivateKey + 32, d.data(), 32);
}

// e = SM3(Z || M) with Z = SM3(ENTL || ID || a || b || Gx || Gy || X || Y)
// (GM/T 0003.2), the digest the device API signs.
inline bytes sm2_e(const ECCPUBLICKEYBLOB& key, const bytes& message,
                   const std::string& id = sm2_default_id) {
    static const char* curve_hex =
        "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC"
        "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93"
        "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
        "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";
    bytes input = {static_cast<uint8_t>(id.size() * 8 >> 8), static_cast<uint8_t>(id.size() * 8)};
    input.insert(input.end(), id.begin(), id.end());
    const bytes curve = test_support::from_hex(curve_hex);
    input.insert(input.end(), curve.begin(), curve.end());
    const bytes x = low32(key.XCoordinate), y = low32(key.YCoordinate);
    input.insert(input.end(), x.begin(), x.end());
    input.insert(input.end(), y.begin(), y.end());
    bytes zm = digest(EVP_sm3(), input);
    zm.insert(zm.end(), message.begin(), message.end());
    return digest(EVP_sm3(), zm);
}

// SM2 verification by OpenSSL of the record signature over message (with the
// default identity).
inline bool sm2_verifies(EVP_PKEY* key, const bytes& message, const ECCSIGNATUREBLOB& signature) {
    const bytes r = low32(signature.r), s = low32(signature.s);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(r.data(), 32, nullptr), BN_bin2bn(s.data(), 32, nullptr));
    unsigned char* der = nullptr;
    const int der_len = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    int ok = EVP_DigestVerifyInit(ctx, &pctx, EVP_sm3(), nullptr, key);
    if (ok == 1) ok = EVP_PKEY_CTX_set1_id(pctx, sm2_default_id, std::strlen(sm2_default_id));
    if (ok == 1)
        ok = EVP_DigestVerify(ctx, der, static_cast<size_t>(der_len), message.data(),
                              message.size());
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(der);
    return ok == 1;
}

// OpenSSL's SM2 cipher text (SEQUENCE {x, y, hash, cipher}) as a GM/T 0016
// record, in a buffer with room for the cipher bytes.
inline bytes sm2_cipher_record(const bytes& der) {
    const unsigned char* p = der.data();
    ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
    if (!seq || sk_ASN1_TYPE_num(seq) != 4) return {};
    const ASN1_OCTET_STRING* hash = sk_ASN1_TYPE_value(seq, 2)->value.octet_string;
    const ASN1_OCTET_STRING* c = sk_ASN1_TYPE_value(seq, 3)->value.octet_string;
    const uint32_t n = static_cast<uint32_t>(ASN1_STRING_length(c));
    bytes out(ECCCIPHERBLOB_FIXED_SIZE + n, 0);
    auto* record = reinterpret_cast<ECCCIPHERBLOB*>(out.data());
    for (int i = 0; i < 2; ++i) {
        bn_ptr v(ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq, i)->value.integer, nullptr));
        put_low32(i == 0 ? record->XCoordinate : record->YCoordinate, bn_bytes(v.get(), 32));
    }
    std::memcpy(record->HASH, ASN1_STRING_get0_data(hash), 32);
    record->CipherLen = n;
    std::memcpy(out.data() + ECCCIPHERBLOB_FIXED_SIZE, ASN1_STRING_get0_data(c), n);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return out;
}

inline bytes sm2_encrypt(EVP_PKEY* key, const bytes& plain) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_encrypt_init(ctx);
    size_t n = 0;
    EVP_PKEY_encrypt(ctx, nullptr, &n, plain.data(), plain.size());
    bytes out(n);
    EVP_PKEY_encrypt(ctx, out.data(), &n, plain.data(), plain.size());
    out.resize(n);
    EVP_PKEY_CTX_free(ctx);
    return out;
}

// ---- The token ----

class asym_token : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The simulated readers, and every OEM identifier.
        gm_set_enum_filters("Quessar vKessa Tavrel,vid_0000&pid_0000,vid_0000&pid_0000", "*");
        token_ = std::make_unique<cardsim::test::simulated_token>(cardsim::card_options{},
                                                                  cardsim::test::second_port());
    }
    static void TearDownTestSuite() { token_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(token_->inserted()) << token_->error();
        ASSERT_EQ(SKF_ConnectDev(token_->reader().c_str(), &dev), SAR_OK);
        ASSERT_EQ(SKF_OpenApplication(dev, "APP", &app), SAR_OK);
        log_in();
        container_name =
            std::string("asym-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        if (container_name.size() > 39) container_name.resize(39);
        SKF_DeleteContainer(app, container_name.c_str()); // left over by an aborted run
        ASSERT_EQ(SKF_CreateContainer(app, container_name.c_str(), &cont), SAR_OK);
        sim().clear_log();
    }
    void TearDown() override {
        if (app) {
            log_in();
            EXPECT_EQ(SKF_DeleteContainer(app, container_name.c_str()), SAR_OK);
        }
        if (dev) SKF_DisConnectDev(dev);
    }

    void log_in() {
        uint32_t retry = 0;
        ASSERT_EQ(SKF_VerifyPIN(app, 1, user_pin, &retry), SAR_OK);
    }
    // Clears the library's login flag only: a refusal then comes from the
    // library, not from the card.
    void log_out_host() {
        ASSERT_EQ(gm_set_app_option(app, GM_APP_OPTION_USER_LOGGED_OUT), SAR_OK);
    }

    static cardsim::card& sim() { return token_->sim(); }
    // The commands the card received with this INS since the test began.
    static std::vector<bytes> sent_with_ins(uint8_t ins) {
        std::vector<bytes> out;
        for (const auto& apdu : sim().apdu_log())
            if (apdu.size() >= 4 && apdu[1] == ins) out.push_back(apdu);
        return out;
    }
    // The key and random commands (CLA 80 or C0/D0 with the INS of a command
    // of this area) the card received since the test began, as "CLA INS".
    static std::vector<std::string> key_commands_sent() {
        static const uint8_t ins[] = {0x26, 0x20, 0x1C, 0x16, 0x1A, 0x5E, 0x60, 0x22,
                                      0x70, 0x2C, 0x2A, 0x76, 0x7A, 0x28, 0x88, 0x50};
        std::vector<std::string> out;
        for (const auto& apdu : sim().apdu_log()) {
            if (apdu.size() < 4 ||
                std::find(std::begin(ins), std::end(ins), apdu[1]) == std::end(ins))
                continue;
            char text[8];
            std::snprintf(text, sizeof text, "%02X %02X", apdu[0], apdu[1]);
            out.emplace_back(text);
        }
        return out;
    }

    DEVHANDLE dev = 0;
    HAPPLICATION app = 0;
    HCONTAINER cont = 0;
    std::string container_name;

  private:
    static inline std::unique_ptr<cardsim::test::simulated_token> token_;
};

} // namespace asym_test
