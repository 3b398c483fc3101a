// DER RSA private keys (PKCS#8 and PKCS#1, made by OpenSSL) to the GM/T 0016
// RSAPRIVATEKEYBLOB, compared byte for byte with the components libcrypto
// reads from the same DER; keys the blob cannot hold and malformed keys give 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include <mbedtls/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "cert_parser.h"
#include "cert_test_support.h"
#include "key_parser.h"

using namespace certtest;

namespace {

// PKCS#1 ("p1") or PKCS#8 ("p8") DER of an RSA key of the given size, made once.
bytes rsa_key_der(int bits, const std::string& form) {
    static std::map<std::string, bytes> made;
    const std::string name = "k" + std::to_string(bits) + form;
    if (made.count(name)) return made[name];
    bool ok = false;
    const std::string pem = "k" + std::to_string(bits) + ".pem";
    std::string cmd =
        "( test -f " + pem +
        " || $OPENSSL genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) +
        " -out " + pem + " 2>/dev/null ) && ";
    cmd += form == "p8"
               ? "$OPENSSL pkcs8 -topk8 -nocrypt -in " + pem + " -outform DER -out " + name + ".der"
               : "$OPENSSL rsa -in " + pem + " -traditional -outform DER -out " + name +
                     ".der 2>/dev/null";
    run(cmd, &ok);
    EXPECT_TRUE(ok) << cmd;
    return made[name] = read_file(scratch_dir() + "/" + name + ".der");
}

// The blob as it should be, from libcrypto's reading of the DER.
bool expected_blob(const bytes& der, RSAPRIVATEKEYBLOB* blob) {
    const unsigned char* p = der.data();
    EVP_PKEY* pkey = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size()));
    if (pkey == nullptr) return false;
    std::memset(blob, 0, sizeof *blob);
    const int bytes_n = EVP_PKEY_get_size(pkey);
    blob->AlgID = 0x00010000;
    blob->BitLen = static_cast<uint32_t>(bytes_n * 8);
    struct field {
        const char* param;
        uint8_t* out;
        int size;
        int used;
    };
    const int h = bytes_n / 2;
    const field fields[] = {{OSSL_PKEY_PARAM_RSA_N, blob->Modulus, 256, bytes_n},
                            {OSSL_PKEY_PARAM_RSA_E, blob->PublicExponent, 4, 4},
                            {OSSL_PKEY_PARAM_RSA_D, blob->PrivateExponent, 256, bytes_n},
                            {OSSL_PKEY_PARAM_RSA_FACTOR1, blob->Prime1, 128, h},
                            {OSSL_PKEY_PARAM_RSA_FACTOR2, blob->Prime2, 128, h},
                            {OSSL_PKEY_PARAM_RSA_EXPONENT1, blob->Prime1Exponent, 128, h},
                            {OSSL_PKEY_PARAM_RSA_EXPONENT2, blob->Prime2Exponent, 128, h},
                            {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, blob->Coefficient, 128, h}};
    bool ok = true;
    for (const field& f : fields) {
        BIGNUM* bn = nullptr;
        ok = ok && EVP_PKEY_get_bn_param(pkey, f.param, &bn) == 1 &&
             BN_bn2binpad(bn, f.out + (f.size - f.used), f.used) == f.used;
        BN_clear_free(bn);
    }
    EVP_PKEY_free(pkey);
    return ok;
}

bool all_zero(const RSAPRIVATEKEYBLOB& blob) {
    const auto* b = reinterpret_cast<const uint8_t*>(&blob);
    return std::all_of(b, b + sizeof blob, [](uint8_t v) { return v == 0; });
}

struct key_case {
    int bits;
    const char* form;
    int expected;
};

class RsaBlob : public ::testing::TestWithParam<key_case> {};

TEST_P(RsaBlob, MatchesOpensslComponents) {
    const key_case& c = GetParam();
    const bytes der = rsa_key_der(c.bits, c.form);
    ASSERT_FALSE(der.empty());
    RSAPRIVATEKEYBLOB blob;
    std::memset(&blob, 0xEE, sizeof blob);
    ASSERT_EQ(rsa_der_to_components(der.data(), der.size(), &blob), c.expected);
    if (c.expected != 0) {
        EXPECT_TRUE(all_zero(blob)); // nothing of a refused key is left behind
        return;
    }
    RSAPRIVATEKEYBLOB want;
    ASSERT_TRUE(expected_blob(der, &want));
    EXPECT_EQ(blob.AlgID, 0x00010000u);
    EXPECT_EQ(blob.BitLen, static_cast<uint32_t>(c.bits));
    EXPECT_EQ(hex(reinterpret_cast<uint8_t*>(&blob), sizeof blob),
              hex(reinterpret_cast<uint8_t*>(&want), sizeof want));
    // Right-aligned: the unused high part of each field is zero.
    const size_t n = static_cast<size_t>(c.bits / 8);
    EXPECT_TRUE(
        std::all_of(blob.Modulus, blob.Modulus + 256 - n, [](uint8_t v) { return v == 0; }));
    EXPECT_NE(blob.Modulus[256 - n], 0);
    EXPECT_TRUE(
        std::all_of(blob.Prime1, blob.Prime1 + 128 - n / 2, [](uint8_t v) { return v == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Keys, RsaBlob,
                         ::testing::Values(key_case{1024, "p1", 0}, key_case{1024, "p8", 0},
                                           key_case{1536, "p8", 0}, key_case{2048, "p1", 0},
                                           key_case{2048, "p8", 0},
                                           // a 512-byte modulus does not fit the 256-byte field
                                           key_case{4096, "p1", 1}, key_case{4096, "p8", 1}),
                         [](const auto& info) {
                             return std::to_string(info.param.bits) + "_" + info.param.form;
                         });

TEST(RsaBlob, MalformedKeysGiveOne) {
    for (const char* form : {"p1", "p8"}) {
        const bytes der = rsa_key_der(1024, form);
        RSAPRIVATEKEYBLOB blob;
        for (size_t n = 0; n < der.size(); ++n) {
            std::unique_ptr<uint8_t[]> block(new uint8_t[n ? n : 1]);
            std::copy(der.begin(), der.begin() + static_cast<long>(n), block.get());
            ASSERT_EQ(rsa_der_to_components(block.get(), n, &blob), 1) << form << " cut at " << n;
        }
        bytes longer = der;
        longer.push_back(0x00);
        EXPECT_EQ(rsa_der_to_components(longer.data(), longer.size(), &blob), 1)
            << form << " with a trailing byte";
    }
    bytes p1 = rsa_key_der(1024, "p1");
    RSAPRIVATEKEYBLOB blob;
    EXPECT_EQ(rsa_der_to_components(p1.data(), p1.size(), nullptr), 1);

    bytes versioned = p1;
    versioned[6] = 0x01; // 30 82 xx xx 02 01 [version]
    EXPECT_EQ(rsa_der_to_components(versioned.data(), versioned.size(), &blob), 1);

    // A private exponent that does not belong to the modulus: the third INTEGER's last byte.
    bytes tampered = p1;
    uint8_t* p = tampered.data() + 4;
    const uint8_t* end = tampered.data() + tampered.size();
    for (int i = 0; i < 4;
         ++i) { // skip version, modulus, public exponent; land after the private exponent
        size_t len = 0;
        ASSERT_EQ(mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_INTEGER), 0);
        p += len;
    }
    p[-1] ^= 0x02;
    EXPECT_EQ(rsa_der_to_components(tampered.data(), tampered.size(), &blob), 1);
    EXPECT_TRUE(all_zero(blob));

    mbedtls_pk_context key;
    mbedtls_pk_init(&key);
    EXPECT_EQ(private_key_parse(&key, tampered.data(), tampered.size()),
              key_err_key_invalid_format);
    EXPECT_EQ(private_key_parse(&key, p1.data(), p1.size()), 0);
    EXPECT_EQ(mbedtls_pk_get_type(&key), MBEDTLS_PK_RSA);
    mbedtls_pk_free(&key);
}

TEST(RsaBlob, EllipticCurveKeysAreNotRead) {
    bool ok = false;
    run("$OPENSSL genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem && "
        "$OPENSSL pkcs8 -topk8 -nocrypt -in ec.pem -outform DER -out ec8.der",
        &ok);
    ASSERT_TRUE(ok);
    const bytes der = read_file(scratch_dir() + "/ec8.der");
    RSAPRIVATEKEYBLOB blob;
    EXPECT_EQ(rsa_der_to_components(der.data(), der.size(), &blob), 1);
}

} // namespace
