// RSA on a simulated token through the built module (dlopen +
// C_GetFunctionList): key-pair generation, every RSA mechanism single- and
// multi-part checked against OpenSSL with the public key read out of the
// token, size queries and short buffers, data too long, keys that go away
// under a running operation, and the signature time log of the function
// list's C_Sign. Each test runs in its own process (gtest_discover_tests).
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "openssl_ptr.h"
#include "token_session.h"
#include "user_session_test.h"

using bytes = std::vector<uint8_t>;

namespace {

using test_support::so_pin;
using test_support::user_pin;

using test_support::pctx_ptr;
using test_support::pkey_ptr;

bytes random_bytes(size_t n, uint8_t seed) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + 7 * i + (i >> 3));
    return b;
}

const EVP_MD* md_for(CK_MECHANISM_TYPE m) {
    switch (m) {
    case CKM_MD5_RSA_PKCS:
        return EVP_md5();
    case CKM_SHA1_RSA_PKCS:
        return EVP_sha1();
    case CKM_SHA256_RSA_PKCS:
        return EVP_sha256();
    case CKM_SHA384_RSA_PKCS:
        return EVP_sha384();
    case CKM_SHA512_RSA_PKCS:
        return EVP_sha512();
    default:
        return nullptr;
    }
}

class RsaTest : public test_support::user_session_test {
  protected:
    CK_RV generate(CK_ULONG bits, CK_OBJECT_HANDLE& pub, CK_OBJECT_HANDLE& priv,
                   const char* label = "k", const bytes& pub_id = {}, const bytes& priv_id = {}) {
        CK_BBOOL yes = CK_TRUE;
        CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        std::vector<CK_ATTRIBUTE> pt{{CKA_TOKEN, &yes, 1},
                                     {CKA_MODULUS_BITS, &bits, sizeof bits},
                                     {CKA_ENCRYPT, &yes, 1},
                                     {CKA_VERIFY, &yes, 1}};
        std::vector<CK_ATTRIBUTE> st{
            {CKA_TOKEN, &yes, 1},
            {CKA_PRIVATE, &yes, 1},
            {CKA_SIGN, &yes, 1},
            {CKA_DECRYPT, &yes, 1},
            {CKA_LABEL, const_cast<char*>(label), (CK_ULONG)std::strlen(label)}};
        if (!pub_id.empty())
            pt.push_back({CKA_ID, const_cast<uint8_t*>(pub_id.data()), pub_id.size()});
        if (!priv_id.empty())
            st.push_back({CKA_ID, const_cast<uint8_t*>(priv_id.data()), priv_id.size()});
        return f->C_GenerateKeyPair(h, &m, pt.data(), pt.size(), st.data(), st.size(), &pub, &priv);
    }

    bytes attribute(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (f->C_GetAttributeValue(h, o, &a, 1) != CKR_OK) return {};
        bytes v(a.ulValueLen);
        a.pValue = v.data();
        if (f->C_GetAttributeValue(h, o, &a, 1) != CKR_OK) return {};
        return v;
    }

    // The public key as read out of the token.
    pkey_ptr openssl_key(CK_OBJECT_HANDLE pub) {
        const bytes n = attribute(pub, CKA_MODULUS);
        const bytes e = attribute(pub, CKA_PUBLIC_EXPONENT);
        if (n.empty() || e.empty()) return nullptr;
        BIGNUM* bn = BN_bin2bn(n.data(), (int)n.size(), nullptr);
        BIGNUM* be = BN_bin2bn(e.data(), (int)e.size(), nullptr);
        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be);
        OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
        EVP_PKEY* key = nullptr;
        EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        if (EVP_PKEY_fromdata_init(c) == 1) EVP_PKEY_fromdata(c, &key, EVP_PKEY_PUBLIC_KEY, params);
        EVP_PKEY_CTX_free(c);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        BN_free(bn);
        BN_free(be);
        return pkey_ptr(key);
    }

    // Raw public operation with OpenSSL (signature recovery for the raw and
    // X9.31 checks).
    bytes openssl_public_raw(EVP_PKEY* key, const bytes& in) {
        pctx_ptr c(EVP_PKEY_CTX_new(key, nullptr));
        EVP_PKEY_verify_recover_init(c.get());
        EVP_PKEY_CTX_set_rsa_padding(c.get(), RSA_NO_PADDING);
        size_t n = 512;
        bytes out(n);
        if (EVP_PKEY_verify_recover(c.get(), out.data(), &n, in.data(), in.size()) != 1) return {};
        out.resize(n);
        return out;
    }

    CK_RV sign(CK_MECHANISM_TYPE mech, CK_OBJECT_HANDLE key, const bytes& data, bytes& sig,
               bool multi) {
        CK_MECHANISM m{mech, nullptr, 0};
        if (CK_RV rv = f->C_SignInit(h, &m, key); rv != CKR_OK) return rv;
        CK_ULONG n = 0;
        CK_RV rv = CKR_OK;
        if (!multi) {
            if ((rv = f->C_Sign(h, const_cast<uint8_t*>(data.data()), data.size(), nullptr, &n)) !=
                CKR_OK)
                return rv;
            sig.assign(n, 0);
            rv = f->C_Sign(h, const_cast<uint8_t*>(data.data()), data.size(), sig.data(), &n);
        } else {
            for (size_t at = 0; at < data.size(); at += 7) {
                const size_t part = std::min<size_t>(7, data.size() - at);
                if ((rv = f->C_SignUpdate(h, const_cast<uint8_t*>(data.data() + at), part)) !=
                    CKR_OK)
                    return rv;
            }
            if ((rv = f->C_SignFinal(h, nullptr, &n)) != CKR_OK) return rv;
            sig.assign(n, 0);
            rv = f->C_SignFinal(h, sig.data(), &n);
        }
        sig.resize(n);
        return rv;
    }

    CK_RV verify(CK_MECHANISM_TYPE mech, CK_OBJECT_HANDLE key, const bytes& data, const bytes& sig,
                 bool multi) {
        CK_MECHANISM m{mech, nullptr, 0};
        if (CK_RV rv = f->C_VerifyInit(h, &m, key); rv != CKR_OK) return rv;
        if (!multi)
            return f->C_Verify(h, const_cast<uint8_t*>(data.data()), data.size(),
                               const_cast<uint8_t*>(sig.data()), sig.size());
        for (size_t at = 0; at < data.size(); at += 5) {
            const size_t part = std::min<size_t>(5, data.size() - at);
            if (CK_RV rv = f->C_VerifyUpdate(h, const_cast<uint8_t*>(data.data() + at), part);
                rv != CKR_OK)
                return rv;
        }
        return f->C_VerifyFinal(h, const_cast<uint8_t*>(sig.data()), sig.size());
    }
};

// One generated 2048-bit pair for the whole table (generation is slow on the card).
struct mech_case {
    CK_MECHANISM_TYPE mech;
    size_t data_len;
};

TEST_F(RsaTest, EveryRsaMechanismSingleAndMultiPartAgainstOpenssl) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(2048, pub, priv), CKR_OK);
    pkey_ptr key = openssl_key(pub);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(EVP_PKEY_get_bits(key.get()), 2048);

    const mech_case cases[] = {
        {CKM_RSA_PKCS, 100},         {CKM_MD5_RSA_PKCS, 1000},  {CKM_SHA1_RSA_PKCS, 1000},
        {CKM_SHA256_RSA_PKCS, 3000}, {CKM_SHA384_RSA_PKCS, 10}, {CKM_SHA512_RSA_PKCS, 1},
        {CKM_RSA_X_509, 256},        {CKM_RSA_X9_31, 40},       {CKM_SHA1_RSA_X9_31, 555},
    };
    for (const mech_case& c : cases) {
        for (bool multi : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "mechanism 0x" << std::hex << c.mech << (multi ? " multi" : " single"));
            bytes data = random_bytes(c.data_len, static_cast<uint8_t>(c.mech + multi));
            if (c.mech == CKM_RSA_X_509) data[0] = 0x01; // below the modulus
            bytes sig;
            ASSERT_EQ(sign(c.mech, priv, data, sig, multi), CKR_OK);
            ASSERT_EQ(sig.size(), 256u);

            // OpenSSL checks the token's signature with the public key read out of the token.
            if (const EVP_MD* md = md_for(c.mech)) {
                EVP_MD_CTX* v = EVP_MD_CTX_new();
                ASSERT_EQ(EVP_DigestVerifyInit(v, nullptr, md, nullptr, key.get()), 1);
                EXPECT_EQ(EVP_DigestVerify(v, sig.data(), sig.size(), data.data(), data.size()), 1);
                EVP_MD_CTX_free(v);
            } else if (c.mech == CKM_RSA_PKCS) {
                pctx_ptr v(EVP_PKEY_CTX_new(key.get(), nullptr));
                ASSERT_EQ(EVP_PKEY_verify_recover_init(v.get()), 1);
                EVP_PKEY_CTX_set_rsa_padding(v.get(), RSA_PKCS1_PADDING);
                bytes out(256);
                size_t n = out.size();
                ASSERT_EQ(EVP_PKEY_verify_recover(v.get(), out.data(), &n, sig.data(), sig.size()),
                          1);
                out.resize(n);
                EXPECT_EQ(out, data);
            } else {
                const bytes block = openssl_public_raw(key.get(), sig);
                ASSERT_EQ(block.size(), 256u);
                if (c.mech == CKM_RSA_X_509) {
                    EXPECT_EQ(block, data);
                } else {
                    // X9.31: 6B BB.. BA payload [33] CC
                    EXPECT_EQ(block.front(), 0x6B);
                    EXPECT_EQ(block.back(), 0xCC);
                    bytes payload = data;
                    if (c.mech == CKM_SHA1_RSA_X9_31) {
                        payload.assign(20, 0);
                        SHA1(data.data(), data.size(), payload.data());
                        payload.push_back(0x33);
                    }
                    EXPECT_TRUE(std::equal(payload.begin(), payload.end(),
                                           block.end() - 1 - payload.size()));
                }
            }
            // C_Verify accepts it, single- and multi-part; a tampered one is refused.
            EXPECT_EQ(verify(c.mech, pub, data, sig, multi), CKR_OK);
            bytes bad = sig;
            bad[17] ^= 0x40;
            EXPECT_EQ(verify(c.mech, pub, data, bad, multi), CKR_SIGNATURE_INVALID);
        }
    }
}

TEST_F(RsaTest, OpensslSignaturesVerifyOnTheToken) {
    // A key made by OpenSSL, imported into the token (private key into a
    // container, public key as a token object).
    pctx_ptr g(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    ASSERT_EQ(EVP_PKEY_keygen_init(g.get()), 1);
    EVP_PKEY_CTX_set_rsa_keygen_bits(g.get(), 1024);
    EVP_PKEY* raw = nullptr;
    ASSERT_EQ(EVP_PKEY_keygen(g.get(), &raw), 1);
    pkey_ptr key(raw);
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n);
    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e);
    bytes nb(BN_num_bytes(n)), eb(BN_num_bytes(e));
    BN_bn2bin(n, nb.data());
    BN_bn2bin(e, eb.data());
    BN_free(n);
    BN_free(e);
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    CK_KEY_TYPE kt = CKK_RSA;
    CK_BBOOL no = CK_FALSE;
    CK_BBOOL yes = CK_TRUE;
    // As a token object (the hash-then-sign mechanisms need a token key) and
    // as a session object.
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &kt, sizeof kt},
                        {CKA_TOKEN, &yes, 1},
                        {CKA_MODULUS, nb.data(), nb.size()},
                        {CKA_PUBLIC_EXPONENT, eb.data(), eb.size()}};
    CK_OBJECT_HANDLE token_pub = 0;
    ASSERT_EQ(f->C_CreateObject(h, t, 5, &token_pub), CKR_OK);
    t[2].pValue = &no;
    CK_OBJECT_HANDLE pub = 0;
    ASSERT_EQ(f->C_CreateObject(h, t, 5, &pub), CKR_OK);

    const CK_MECHANISM_TYPE mechs[] = {CKM_MD5_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS,
                                       CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS};
    for (CK_MECHANISM_TYPE mech : mechs) {
        SCOPED_TRACE(mech);
        const bytes data = random_bytes(300, static_cast<uint8_t>(mech));
        EVP_MD_CTX* s = EVP_MD_CTX_new();
        ASSERT_EQ(EVP_DigestSignInit(s, nullptr, md_for(mech), nullptr, key.get()), 1);
        size_t len = 0;
        EVP_DigestSign(s, nullptr, &len, data.data(), data.size());
        bytes sig(len);
        ASSERT_EQ(EVP_DigestSign(s, sig.data(), &len, data.data(), data.size()), 1);
        EVP_MD_CTX_free(s);
        EXPECT_EQ(verify(mech, token_pub, data, sig, false), CKR_OK);
        EXPECT_EQ(verify(mech, token_pub, data, sig, true), CKR_OK);
        bytes bad = sig;
        bad[40] ^= 0x08;
        EXPECT_EQ(verify(mech, token_pub, data, bad, false), CKR_SIGNATURE_INVALID);
        bytes other = data;
        other[0] ^= 1;
        EXPECT_EQ(verify(mech, token_pub, other, sig, true), CKR_SIGNATURE_INVALID);
        // A session key is refused by the factory for these mechanisms.
        CK_MECHANISM m{mech, nullptr, 0};
        EXPECT_EQ(f->C_VerifyInit(h, &m, pub), CKR_MECHANISM_INVALID);
    }
    // Raw RSA takes any key: OpenSSL's raw signature verifies.
    bytes block = random_bytes(128, 3);
    block[0] = 0;
    pctx_ptr s(EVP_PKEY_CTX_new(key.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_sign_init(s.get()), 1);
    EVP_PKEY_CTX_set_rsa_padding(s.get(), RSA_NO_PADDING);
    size_t len = 128;
    bytes sig(len);
    ASSERT_EQ(EVP_PKEY_sign(s.get(), sig.data(), &len, block.data(), block.size()), 1);
    EXPECT_EQ(verify(CKM_RSA_X_509, pub, block, sig, false), CKR_OK);
    sig[5] ^= 1;
    EXPECT_EQ(verify(CKM_RSA_X_509, pub, block, sig, true), CKR_SIGNATURE_INVALID);
}

TEST_F(RsaTest, OpensslSignaturesOfTokenKeyVerifyWithCVerify) {
    // The token's own public key object; OpenSSL signs with... a key it does
    // not have, so the check is done the other way: a signature made by the
    // token and re-encoded by OpenSSL's verification is accepted, and one made
    // by OpenSSL with another key is refused.
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(1024, pub, priv), CKR_OK);
    pctx_ptr g(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    ASSERT_EQ(EVP_PKEY_keygen_init(g.get()), 1);
    EVP_PKEY_CTX_set_rsa_keygen_bits(g.get(), 1024);
    EVP_PKEY* raw = nullptr;
    ASSERT_EQ(EVP_PKEY_keygen(g.get(), &raw), 1);
    pkey_ptr other(raw);
    const bytes data = random_bytes(77, 1);
    EVP_MD_CTX* s = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestSignInit(s, nullptr, EVP_sha256(), nullptr, other.get()), 1);
    size_t len = 128;
    bytes sig(len);
    ASSERT_EQ(EVP_DigestSign(s, sig.data(), &len, data.data(), data.size()), 1);
    EVP_MD_CTX_free(s);
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, pub, data, sig, false), CKR_SIGNATURE_INVALID);
    bytes mine;
    ASSERT_EQ(sign(CKM_SHA256_RSA_PKCS, priv, data, mine, false), CKR_OK);
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, pub, data, mine, false), CKR_OK);
    // A signature of the wrong length.
    mine.pop_back();
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, pub, data, mine, false), CKR_SIGNATURE_LEN_RANGE);
}

TEST_F(RsaTest, EncryptDecryptBothWaysWithOpenssl) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(2048, pub, priv), CKR_OK);
    pkey_ptr key = openssl_key(pub);
    ASSERT_NE(key, nullptr);
    CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
    for (size_t len : {size_t{1}, size_t{100}, size_t{245}}) {
        SCOPED_TRACE(len);
        const bytes plain = random_bytes(len, static_cast<uint8_t>(len));
        // OpenSSL encrypts, the token decrypts.
        pctx_ptr e(EVP_PKEY_CTX_new(key.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_encrypt_init(e.get()), 1);
        EVP_PKEY_CTX_set_rsa_padding(e.get(), RSA_PKCS1_PADDING);
        size_t n = 256;
        bytes cipher(n);
        ASSERT_EQ(EVP_PKEY_encrypt(e.get(), cipher.data(), &n, plain.data(), plain.size()), 1);
        ASSERT_EQ(f->C_DecryptInit(h, &m, priv), CKR_OK);
        CK_ULONG out_len = 0;
        ASSERT_EQ(f->C_Decrypt(h, cipher.data(), cipher.size(), nullptr, &out_len), CKR_OK);
        EXPECT_EQ(out_len, 256u);
        bytes out(out_len);
        ASSERT_EQ(f->C_Decrypt(h, cipher.data(), cipher.size(), out.data(), &out_len), CKR_OK);
        out.resize(out_len);
        EXPECT_EQ(out, plain);

        // The token encrypts (padding made by the module), OpenSSL decrypts
        // the block with the public key's raw operation and finds 00 02 .. 00 data.
        ASSERT_EQ(f->C_EncryptInit(h, &m, pub), CKR_OK);
        CK_ULONG c_len = 0;
        ASSERT_EQ(
            f->C_Encrypt(h, const_cast<uint8_t*>(plain.data()), plain.size(), nullptr, &c_len),
            CKR_OK);
        ASSERT_EQ(c_len, 256u);
        bytes c(c_len);
        ASSERT_EQ(
            f->C_Encrypt(h, const_cast<uint8_t*>(plain.data()), plain.size(), c.data(), &c_len),
            CKR_OK);
        // And the token decrypts it again.
        ASSERT_EQ(f->C_DecryptInit(h, &m, priv), CKR_OK);
        bytes back(256);
        CK_ULONG back_len = back.size();
        ASSERT_EQ(f->C_Decrypt(h, c.data(), c_len, back.data(), &back_len), CKR_OK);
        back.resize(back_len);
        EXPECT_EQ(back, plain);
    }
    // 246 bytes are too long for a 2048-bit key.
    const bytes too_long(246, 0x55);
    ASSERT_EQ(f->C_EncryptInit(h, &m, pub), CKR_OK);
    CK_ULONG n = 256;
    bytes out(256);
    EXPECT_EQ(
        f->C_Encrypt(h, const_cast<uint8_t*>(too_long.data()), too_long.size(), out.data(), &n),
        CKR_DATA_LEN_RANGE);
}

TEST_F(RsaTest, SizeQueriesShortBuffersAndLengthLimits) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(2048, pub, priv), CKR_OK);
    CK_MECHANISM pkcs{CKM_RSA_PKCS, nullptr, 0};
    bytes data = random_bytes(32, 1);

    // Signature into a short buffer: the length and CKR_BUFFER_TOO_SMALL; the
    // operation goes on and a second call succeeds.
    ASSERT_EQ(f->C_SignInit(h, &pkcs, priv), CKR_OK);
    bytes sig(255);
    CK_ULONG n = sig.size();
    EXPECT_EQ(f->C_Sign(h, data.data(), data.size(), sig.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 256u);
    sig.resize(256);
    EXPECT_EQ(f->C_Sign(h, data.data(), data.size(), sig.data(), &n), CKR_OK);

    // Collected data above 256 bytes: CKR_DATA_LEN_RANGE.
    ASSERT_EQ(f->C_SignInit(h, &pkcs, priv), CKR_OK);
    bytes big(200, 1);
    EXPECT_EQ(f->C_SignUpdate(h, big.data(), big.size()), CKR_OK);
    EXPECT_EQ(f->C_SignUpdate(h, big.data(), 57), CKR_DATA_LEN_RANGE);
    // More than k - 11 bytes: refused before the card.
    ASSERT_EQ(f->C_SignInit(h, &pkcs, priv), CKR_OK);
    bytes long_data(246, 2);
    n = 256;
    EXPECT_EQ(f->C_Sign(h, long_data.data(), long_data.size(), sig.data(), &n), CKR_DATA_LEN_RANGE);

    // Decryption into a short buffer: the modulus length and CKR_DATA_LEN_RANGE.
    ASSERT_EQ(f->C_EncryptInit(h, &pkcs, pub), CKR_OK);
    bytes c(256);
    CK_ULONG c_len = c.size();
    ASSERT_EQ(f->C_Encrypt(h, data.data(), data.size(), c.data(), &c_len), CKR_OK);
    ASSERT_EQ(f->C_DecryptInit(h, &pkcs, priv), CKR_OK);
    bytes plain(100);
    CK_ULONG p_len = plain.size();
    EXPECT_EQ(f->C_Decrypt(h, c.data(), c_len, plain.data(), &p_len), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(p_len, 256u);
    // A cipher text shorter than the modulus.
    ASSERT_EQ(f->C_DecryptInit(h, &pkcs, priv), CKR_OK);
    p_len = 256;
    plain.resize(256);
    EXPECT_EQ(f->C_Decrypt(h, c.data(), 255, plain.data(), &p_len), CKR_DATA_LEN_RANGE);

    // Encryption into a short buffer: the length and CKR_BUFFER_TOO_SMALL.
    ASSERT_EQ(f->C_EncryptInit(h, &pkcs, pub), CKR_OK);
    c_len = 100;
    EXPECT_EQ(f->C_Encrypt(h, data.data(), data.size(), c.data(), &c_len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(c_len, 256u);
    // The operation goes on: the second call with room finishes it.
    EXPECT_EQ(f->C_Encrypt(h, data.data(), data.size(), c.data(), &c_len), CKR_OK);

    // Raw decryption into a short buffer: the length and CKR_DATA_LEN_RANGE.
    CK_MECHANISM raw{CKM_RSA_X_509, nullptr, 0};
    ASSERT_EQ(f->C_DecryptInit(h, &raw, priv), CKR_OK);
    p_len = 100;
    EXPECT_EQ(f->C_Decrypt(h, c.data(), 256, plain.data(), &p_len), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(p_len, 256u);
}

TEST_F(RsaTest, WrongKeyClassAtInitChangesNothing) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(1024, pub, priv), CKR_OK);
    const bytes before_pub = attribute(pub, CKA_MODULUS);
    CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(f->C_SignInit(h, &m, pub), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(f->C_VerifyInit(h, &m, priv), CKR_TEMPLATE_INCONSISTENT);
    CK_MECHANISM p{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(f->C_EncryptInit(h, &p, priv), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(f->C_DecryptInit(h, &p, pub), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(attribute(pub, CKA_MODULUS), before_pub);
    CK_OBJECT_CLASS cls = 0;
    CK_ATTRIBUTE a{CKA_CLASS, &cls, sizeof cls};
    ASSERT_EQ(f->C_GetAttributeValue(h, pub, &a, 1), CKR_OK);
    EXPECT_EQ(cls, CKO_PUBLIC_KEY);
    // Nothing was left running.
    bytes d(10, 1);
    CK_ULONG n = 256;
    bytes s(256);
    EXPECT_EQ(f->C_Sign(h, d.data(), d.size(), s.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(RsaTest, KeyDestroyedOrPurgedDuringMultiPartOperationGivesAnError) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(1024, pub, priv), CKR_OK);
    CK_MECHANISM m{CKM_SHA1_RSA_PKCS, nullptr, 0};
    bytes d(40, 3);
    // Logout purges the key objects under a running signature.
    ASSERT_EQ(f->C_SignInit(h, &m, priv), CKR_OK);
    ASSERT_EQ(f->C_SignUpdate(h, d.data(), d.size()), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(f->C_SignUpdate(h, d.data(), d.size()),
              CKR_KEY_HANDLE_INVALID); // ends the operation
    bytes out(128);
    CK_ULONG out_len = out.size();
    EXPECT_EQ(f->C_SignFinal(h, out.data(), &out_len), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(f->C_Login(h, CKU_USER, test_support::utf8(user_pin), std::strlen(user_pin)), CKR_OK);

    // A public key destroyed under a running verification.
    CK_OBJECT_HANDLE found[8];
    CK_ULONG count = 0;
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE t{CKA_CLASS, &cls, sizeof cls};
    ASSERT_EQ(f->C_FindObjectsInit(h, &t, 1), CKR_OK);
    ASSERT_EQ(f->C_FindObjects(h, found, 8, &count), CKR_OK);
    ASSERT_EQ(f->C_FindObjectsFinal(h), CKR_OK);
    ASSERT_GE(count, 1u);
    ASSERT_EQ(f->C_VerifyInit(h, &m, found[0]), CKR_OK);
    ASSERT_EQ(f->C_VerifyUpdate(h, d.data(), d.size()), CKR_OK);
    ASSERT_EQ(f->C_DestroyObject(h, found[0]), CKR_OK);
    bytes sig(128, 1);
    EXPECT_EQ(f->C_VerifyFinal(h, sig.data(), sig.size()), CKR_KEY_HANDLE_INVALID);
}

// The card forgets the login when another application resets it: the
// private-key operations then answer CKR_USER_NOT_LOGGED_IN (not the card's
// own code), so the application logs in again, and the key handle it holds
// signs again after that login.
TEST_F(RsaTest, AfterTheCardForgotTheLoginPrivateKeyOperationsAskForANewLogin) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(1024, pub, priv), CKR_OK);
    const bytes d = random_bytes(20, 9);
    bytes sig;
    ASSERT_EQ(sign(CKM_SHA256_RSA_PKCS, priv, d, sig, false), CKR_OK);
    bytes cipher(128);
    CK_ULONG cipher_len = cipher.size();
    CK_MECHANISM pkcs{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(f->C_EncryptInit(h, &pkcs, pub), CKR_OK);
    ASSERT_EQ(f->C_Encrypt(h, const_cast<uint8_t*>(d.data()), d.size(), cipher.data(), &cipher_len),
              CKR_OK);

    // Each refused operation in a session of its own (whether a failed
    // call ends its operation is not asked here).
    const auto fresh_session = [&] {
        CK_SESSION_HANDLE s = 0;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
                  CKR_OK);
        return s;
    };
    token_.sim().reset();
    CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
    const CK_SESSION_HANDLE s1 = fresh_session();
    bytes out(128);
    CK_ULONG out_len = out.size();
    ASSERT_EQ(f->C_SignInit(s1, &m, priv), CKR_OK);
    EXPECT_EQ(f->C_Sign(s1, const_cast<uint8_t*>(d.data()), d.size(), out.data(), &out_len),
              CKR_USER_NOT_LOGGED_IN);
    const CK_SESSION_HANDLE s2 = fresh_session();
    out_len = out.size();
    ASSERT_EQ(f->C_DecryptInit(s2, &pkcs, priv), CKR_OK);
    EXPECT_EQ(f->C_Decrypt(s2, cipher.data(), cipher_len, out.data(), &out_len),
              CKR_USER_NOT_LOGGED_IN);

    ASSERT_EQ(f->C_Login(h, CKU_USER, test_support::utf8(user_pin), std::strlen(user_pin)), CKR_OK);
    EXPECT_EQ(sign(CKM_SHA256_RSA_PKCS, priv, d, sig, false), CKR_OK);
}

TEST_F(RsaTest, MechanismParameterIsCopiedAtInit) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(1024, pub, priv), CKR_OK);
    bytes d = random_bytes(20, 4);
    bytes sig;
    {
        auto param = std::make_unique<uint8_t[]>(16);
        CK_MECHANISM m{CKM_RSA_PKCS, param.get(), 16};
        ASSERT_EQ(f->C_SignInit(h, &m, priv), CKR_OK);
    } // the caller's parameter is gone; ASan reports any later read of it
    ASSERT_EQ(f->C_SignUpdate(h, d.data(), d.size()), CKR_OK);
    CK_ULONG n = 0;
    ASSERT_EQ(f->C_SignFinal(h, nullptr, &n), CKR_OK);
    sig.resize(n);
    ASSERT_EQ(f->C_SignFinal(h, sig.data(), &n), CKR_OK);
    EXPECT_EQ(verify(CKM_RSA_PKCS, pub, d, sig, false), CKR_OK);
}

TEST_F(RsaTest, SignInitAndFunctionListSignLeaveARunningSearchIntact) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(1024, pub, priv, "a"), CKR_OK);
    CK_OBJECT_HANDLE pub2 = 0, priv2 = 0;
    ASSERT_EQ(generate(1024, pub2, priv2, "b"), CKR_OK);
    CK_ATTRIBUTE all{CKA_CLASS, nullptr, 0};
    (void)all;
    ASSERT_EQ(f->C_FindObjectsInit(h, nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE first = 0;
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_FindObjects(h, &first, 1, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
    bytes d(10, 1);
    bytes sig(128);
    CK_ULONG n = sig.size();
    ASSERT_EQ(f->C_SignInit(h, &m, priv), CKR_OK);
    ASSERT_EQ(f->C_SignInit(h, &m, priv2), CKR_OK); // replaces the first
    ASSERT_EQ(f->C_Sign(h, d.data(), d.size(), sig.data(), &n), CKR_OK);
    // The search goes on where it was: the remaining objects, none twice.
    std::vector<CK_OBJECT_HANDLE> rest(16);
    ASSERT_EQ(f->C_FindObjects(h, rest.data(), rest.size(), &count), CKR_OK);
    EXPECT_GE(count, 3u);
    for (CK_ULONG i = 0; i < count; ++i)
        EXPECT_NE(rest[i], first);
    EXPECT_EQ(f->C_FindObjectsFinal(h), CKR_OK);
}

TEST_F(RsaTest, VerifyInitWithAMechanismThatCannotVerifyNeverSaysValid) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(1024, pub, priv), CKR_OK);
    bytes d(10, 1), sig(128, 2);
    for (CK_MECHANISM_TYPE mech :
         {CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_SHA256, CKM_DES3_CBC, CKM_AES_CBC}) {
        SCOPED_TRACE(mech);
        CK_MECHANISM m{mech, nullptr, 0};
        const CK_RV init = f->C_VerifyInit(h, &m, pub);
        EXPECT_NE(init, CKR_OK);
        EXPECT_NE(f->C_Verify(h, d.data(), d.size(), sig.data(), sig.size()), CKR_OK);
    }
}

TEST_F(RsaTest, KeyPairGenerationNamesAndRefusals) {
    // Different identifiers in the two templates: refused before the card.
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    EXPECT_EQ(generate(1024, pub, priv, "x", {1, 2}, {1, 3}), CKR_TEMPLATE_INCONSISTENT);
    // An unsupported size.
    EXPECT_NE(generate(1536, pub, priv), CKR_OK);
    // Same identifier and key spec on both halves; the label names the container.
    ASSERT_EQ(generate(1024, pub, priv, "pairname"), CKR_OK);
    const bytes id_pub = attribute(pub, CKA_ID);
    EXPECT_EQ(id_pub.size(), 32u);
    EXPECT_EQ(attribute(priv, CKA_ID), id_pub);
    EXPECT_EQ(attribute(pub, CKA_LABEL), (bytes{'p', 'a', 'i', 'r', 'n', 'a', 'm', 'e'}));
    EXPECT_EQ(attribute(pub, CKA_MODULUS).size(), 128u);
    EXPECT_EQ(attribute(priv, CKA_MODULUS), attribute(pub, CKA_MODULUS));

    // A second pair with the same label does not overwrite the first on the
    // card: the first pair still signs what its public key verifies.
    CK_OBJECT_HANDLE pub2 = 0, priv2 = 0;
    ASSERT_EQ(generate(1024, pub2, priv2, "pairname"), CKR_OK);
    EXPECT_NE(attribute(pub2, CKA_MODULUS), attribute(pub, CKA_MODULUS));
    const bytes d(20, 9);
    bytes sig;
    ASSERT_EQ(sign(CKM_SHA1_RSA_PKCS, priv, d, sig, false), CKR_OK);
    EXPECT_EQ(verify(CKM_SHA1_RSA_PKCS, pub, d, sig, false), CKR_OK);

    // Pairs without a label get containers of their own ("cont_" and 20 hex
    // digits), not one shared under the class's default label.
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG bits = 1024;
    CK_ATTRIBUTE pt[] = {{CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}};
    CK_ATTRIBUTE st[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1}};
    CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE a_pub = 0, a_priv = 0, b_pub = 0, b_priv = 0;
    ASSERT_EQ(f->C_GenerateKeyPair(h, &m, pt, 2, st, 3, &a_pub, &a_priv), CKR_OK);
    ASSERT_EQ(f->C_GenerateKeyPair(h, &m, pt, 2, st, 3, &b_pub, &b_priv), CKR_OK);
    const bytes a_id = attribute(a_pub, CKA_ID);
    EXPECT_EQ(a_id.size(), 32u);
    EXPECT_NE(attribute(b_pub, CKA_ID), a_id);
    ASSERT_EQ(sign(CKM_SHA1_RSA_PKCS, a_priv, d, sig, false), CKR_OK);
    EXPECT_EQ(verify(CKM_SHA1_RSA_PKCS, a_pub, d, sig, false), CKR_OK);
}

TEST_F(RsaTest, FunctionListSignLogsTimeStampsInARingOfTen) {
    // The log is the token data object labelled "LogSign".
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(1024, pub, priv), CKR_OK);
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "LogSign";
    bytes value(181, 0);
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_TOKEN, &yes, 1},
                        {CKA_LABEL, label, 7},
                        {CKA_VALUE, value.data(), value.size()}};
    CK_OBJECT_HANDLE log = 0;
    ASSERT_EQ(f->C_CreateObject(h, t, 4, &log), CKR_OK);
    CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
    bytes d(10, 1), sig(128);
    for (int i = 0; i < 11; ++i) {
        ASSERT_EQ(f->C_SignInit(h, &m, priv), CKR_OK);
        CK_ULONG n = sig.size();
        ASSERT_EQ(f->C_Sign(h, d.data(), d.size(), sig.data(), &n), CKR_OK);
        if (i == 0) {
            EXPECT_EQ(attribute(log, CKA_VALUE)[0], 1);
        }
    }
    const bytes v = attribute(log, CKA_VALUE);
    ASSERT_EQ(v.size(), 181u);
    EXPECT_EQ(v[0], 1);
    for (int e = 0; e < 10; ++e) {
        EXPECT_EQ(v[1 + 18 * e + 2], '-') << e;
        EXPECT_EQ(v[1 + 18 * e + 17], '|') << e;
    }
    // The module's own export C_Sign does not log.
    using sign_fn = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
    auto direct = reinterpret_cast<sign_fn>(module().symbol("C_Sign"));
    ASSERT_NE(direct, nullptr);
    ASSERT_EQ(f->C_SignInit(h, &m, priv), CKR_OK);
    CK_ULONG n = sig.size();
    ASSERT_EQ(direct(h, d.data(), d.size(), sig.data(), &n), CKR_OK);
    EXPECT_EQ(attribute(log, CKA_VALUE)[0], 1);
}

} // namespace
