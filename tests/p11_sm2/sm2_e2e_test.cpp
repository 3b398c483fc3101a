// SM2 and SM3 on a simulated token through the built module (dlopen +
// C_GetFunctionList), with OpenSSL 3 as the oracle: ZELT_CKM_SM3 digests,
// SM2 key-pair generation and import into containers with their Z value,
// signatures made on the token verified by OpenSSL (and by the openssl
// command with the default identity), OpenSSL's signatures verified on the
// token, and cipher texts in both directions.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "openssl_ptr.h"
#include "test_hex.h"
#include "token_session.h"

using cardsim::test::simulated_token;
using bytes = std::vector<uint8_t>;

namespace {

using test_support::so_pin;
using test_support::user_pin;
constexpr const char* default_id = "1234567812345678";

using test_support::pctx_ptr;
using test_support::pkey_ptr;

bytes random_bytes(size_t n, uint8_t seed) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + 7 * i + (i >> 3) * 13);
    return b;
}

bytes openssl_sm3(const bytes& m) {
    bytes d(32);
    unsigned n = 0;
    EVP_Digest(m.data(), m.size(), d.data(), &n, EVP_sm3(), nullptr);
    return d;
}

// Z of GM/T 0009 with the default identity, built here from the curve's
// published parameters with OpenSSL's SM3.
bytes openssl_z(const bytes& xy) {
    const char* params = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC"
                         "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93"
                         "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
                         "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";
    bytes m = {0x00, 0x80};
    m.insert(m.end(), default_id, default_id + 16);
    const bytes curve = test_support::from_hex(params);
    m.insert(m.end(), curve.begin(), curve.end());
    m.insert(m.end(), xy.begin(), xy.end());
    return openssl_sm3(m);
}

pkey_ptr sm2_public(const bytes& xy) {
    bytes point = {0x04};
    point.insert(point.end(), xy.begin(), xy.end());
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    if (EVP_PKEY_fromdata_init(c) == 1) EVP_PKEY_fromdata(c, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(c);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return pkey_ptr(key);
}

bytes xy_of(EVP_PKEY* key) {
    uint8_t point[65];
    size_t n = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &n);
    return bytes(point + 1, point + 65);
}

bytes private_of(EVP_PKEY* key) {
    BIGNUM* d = nullptr;
    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d);
    bytes out(32);
    BN_bn2binpad(d, out.data(), 32);
    BN_clear_free(d);
    return out;
}

bytes der_signature(const bytes& rs) {
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int n = i2d_ECDSA_SIG(sig, &der);
    bytes out(der, der + n);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return out;
}

bytes rs_signature(const bytes& der) {
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    bytes rs(64);
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs.data() + 32, 32);
    ECDSA_SIG_free(sig);
    return rs;
}

bytes openssl_sign(EVP_PKEY* key, const bytes& data) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    EVP_DigestSignInit(md, &pctx, EVP_sm3(), nullptr, key);
    EVP_PKEY_CTX_set1_id(pctx, default_id, 16);
    size_t n = 0;
    EVP_DigestSign(md, nullptr, &n, data.data(), data.size());
    bytes sig(n);
    EVP_DigestSign(md, sig.data(), &n, data.data(), data.size());
    sig.resize(n);
    EVP_MD_CTX_free(md);
    return sig;
}

bool openssl_verify(EVP_PKEY* key, const bytes& data, const bytes& der) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    EVP_DigestVerifyInit(md, &pctx, EVP_sm3(), nullptr, key);
    EVP_PKEY_CTX_set1_id(pctx, default_id, 16);
    const int ok = EVP_DigestVerify(md, der.data(), der.size(), data.data(), data.size());
    EVP_MD_CTX_free(md);
    return ok == 1;
}

bytes openssl_encrypt(EVP_PKEY* key, const bytes& plain) {
    pctx_ptr c(EVP_PKEY_CTX_new(key, nullptr));
    EVP_PKEY_encrypt_init(c.get());
    size_t n = 0;
    EVP_PKEY_encrypt(c.get(), nullptr, &n, plain.data(), plain.size());
    bytes out(n);
    EVP_PKEY_encrypt(c.get(), out.data(), &n, plain.data(), plain.size());
    out.resize(n);
    return out;
}

bytes openssl_decrypt(EVP_PKEY* key, const bytes& der) {
    pctx_ptr c(EVP_PKEY_CTX_new(key, nullptr));
    EVP_PKEY_decrypt_init(c.get());
    size_t n = 0;
    if (EVP_PKEY_decrypt(c.get(), nullptr, &n, der.data(), der.size()) != 1) return {};
    bytes out(n);
    if (EVP_PKEY_decrypt(c.get(), out.data(), &n, der.data(), der.size()) != 1) return {};
    out.resize(n);
    return out;
}

void write_file(const std::filesystem::path& p, const bytes& b) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

class Sm2Test : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(token_.inserted()) << token_.error();
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        open_session();
        ASSERT_TRUE(test_support::login_new_user(f, h));
    }
    void TearDown() override {
        if (f != nullptr) f->C_Finalize(nullptr);
    }
    void open_session() {
        ASSERT_TRUE(test_support::first_token_slot(f, slot_));
        ASSERT_EQ(
            f->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
            CKR_OK);
    }

    bytes attribute(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (f->C_GetAttributeValue(h, o, &a, 1) != CKR_OK ||
            a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
            return {};
        bytes v(a.ulValueLen);
        a.pValue = v.data();
        if (f->C_GetAttributeValue(h, o, &a, 1) != CKR_OK) return {};
        return v;
    }

    CK_RV generate(CK_OBJECT_HANDLE& pub, CK_OBJECT_HANDLE& priv) {
        CK_BBOOL yes = CK_TRUE;
        CK_KEY_TYPE kt = ZELT_CKK_SM2;
        CK_MECHANISM m{ZELT_CKM_SM2, nullptr, 0};
        CK_ATTRIBUTE pt[] = {
            {CKA_TOKEN, &yes, 1}, {CKA_KEY_TYPE, &kt, sizeof kt}, {CKA_VERIFY, &yes, 1}};
        CK_ATTRIBUTE st[] = {{CKA_TOKEN, &yes, 1},
                             {CKA_PRIVATE, &yes, 1},
                             {CKA_KEY_TYPE, &kt, sizeof kt},
                             {CKA_SIGN, &yes, 1}};
        return f->C_GenerateKeyPair(h, &m, pt, 3, st, 4, &pub, &priv);
    }

    // Signature: size query (answered with 128), then a buffer of that size.
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
            EXPECT_EQ(n, 128u);
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
    CK_RV crypt(bool encrypt, CK_OBJECT_HANDLE key, const bytes& in, bytes& out) {
        CK_MECHANISM m{ZELT_CKM_SM2, nullptr, 0};
        CK_RV rv = encrypt ? f->C_EncryptInit(h, &m, key) : f->C_DecryptInit(h, &m, key);
        if (rv != CKR_OK) return rv;
        CK_ULONG n = 0;
        auto call = [&](uint8_t* o) {
            return encrypt ? f->C_Encrypt(h, const_cast<uint8_t*>(in.data()), in.size(), o, &n)
                           : f->C_Decrypt(h, const_cast<uint8_t*>(in.data()), in.size(), o, &n);
        };
        if ((rv = call(nullptr)) != CKR_OK) return rv;
        out.assign(n, 0);
        rv = call(out.data());
        out.resize(rv == CKR_OK ? n : 0);
        return rv;
    }
    CK_RV digest(const bytes& data, bytes& out, size_t piece) {
        CK_MECHANISM m{ZELT_CKM_SM3, nullptr, 0};
        if (CK_RV rv = f->C_DigestInit(h, &m); rv != CKR_OK) return rv;
        CK_ULONG n = 0;
        CK_RV rv = CKR_OK;
        if (piece == 0) {
            // A valid pointer also for no data.
            uint8_t* p = data.empty() ? &none_ : const_cast<uint8_t*>(data.data());
            if ((rv = f->C_Digest(h, p, data.size(), nullptr, &n)) != CKR_OK) return rv;
            out.assign(n, 0);
            rv = f->C_Digest(h, p, data.size(), out.data(), &n);
        } else {
            for (size_t at = 0; at < data.size(); at += piece) {
                const size_t part = std::min(piece, data.size() - at);
                if ((rv = f->C_DigestUpdate(h, const_cast<uint8_t*>(data.data() + at), part)) !=
                    CKR_OK)
                    return rv;
            }
            if ((rv = f->C_DigestFinal(h, nullptr, &n)) != CKR_OK) return rv;
            out.assign(n, 0);
            rv = f->C_DigestFinal(h, out.data(), &n);
        }
        out.resize(n);
        return rv;
    }
    // A token public key object for an OpenSSL key, and its private key
    // imported into a container.
    void import_pair(EVP_PKEY* key, const bytes& id, CK_OBJECT_HANDLE& pub,
                     CK_OBJECT_HANDLE& priv) {
        bytes point = {0x04, 0x41, 0x04};
        const bytes xy = xy_of(key);
        point.insert(point.end(), xy.begin(), xy.end());
        const bytes d = private_of(key);
        CK_OBJECT_CLASS pc = CKO_PUBLIC_KEY, sc = CKO_PRIVATE_KEY;
        CK_KEY_TYPE kt = ZELT_CKK_SM2;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE pt[] = {{CKA_CLASS, &pc, sizeof pc},
                             {CKA_KEY_TYPE, &kt, sizeof kt},
                             {CKA_TOKEN, &yes, 1},
                             {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
                             {CKA_EC_POINT, point.data(), point.size()}};
        ASSERT_EQ(f->C_CreateObject(h, pt, 5, &pub), CKR_OK);
        CK_ATTRIBUTE st[] = {{CKA_CLASS, &sc, sizeof sc},
                             {CKA_KEY_TYPE, &kt, sizeof kt},
                             {CKA_TOKEN, &yes, 1},
                             {CKA_PRIVATE, &yes, 1},
                             {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
                             {CKA_VALUE, const_cast<uint8_t*>(d.data()), d.size()}};
        ASSERT_EQ(f->C_CreateObject(h, st, 6, &priv), CKR_OK);
    }

    simulated_token token_{test_support::module_token_options()};
    CK_FUNCTION_LIST* f = nullptr;
    CK_SESSION_HANDLE h = 0;
    uint8_t none_ = 0;
    CK_SLOT_ID slot_ = 0;
};

TEST_F(Sm2Test, Sm3DigestAgainstOpensslAndItsStateRules) {
    bytes sixty_four;
    for (int i = 0; i < 16; ++i)
        sixty_four.insert(sixty_four.end(), {'a', 'b', 'c', 'd'});
    std::vector<bytes> inputs = {{'a', 'b', 'c'}, sixty_four};
    for (size_t len : {0, 1, 15, 16, 17, 63, 64, 65, 1000, 5000})
        inputs.push_back(random_bytes(len, static_cast<uint8_t>(len)));
    for (const bytes& in : inputs) {
        const bytes expected = openssl_sm3(in);
        for (size_t piece : {size_t{0}, size_t{1}, size_t{7}, size_t{64}, size_t{1000}}) {
            bytes d;
            ASSERT_EQ(digest(in, d, piece), CKR_OK) << in.size() << " " << piece;
            EXPECT_EQ(d, expected) << in.size() << " " << piece;
        }
    }
    // The GB/T 32905 examples.
    bytes d;
    ASSERT_EQ(digest({'a', 'b', 'c'}, d, 0), CKR_OK);
    EXPECT_EQ(d[0], 0x66);
    EXPECT_EQ(d[31], 0xE0);

    uint8_t out[32];
    CK_ULONG n = sizeof out;
    uint8_t abc[] = {'a', 'b', 'c'};
    // Nothing initialised.
    EXPECT_EQ(f->C_DigestUpdate(h, abc, 3), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_DigestFinal(h, out, &n), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_Digest(h, abc, 3, out, &n), CKR_OPERATION_NOT_INITIALIZED);
    // An update, then a one-shot digest; a one-shot size query, then a final.
    CK_MECHANISM m{ZELT_CKM_SM3, nullptr, 0};
    ASSERT_EQ(f->C_DigestInit(h, &m), CKR_OK);
    ASSERT_EQ(f->C_DigestUpdate(h, abc, 3), CKR_OK);
    n = sizeof out;
    EXPECT_EQ(f->C_Digest(h, abc, 3, out, &n), CKR_OPERATION_ACTIVE);
    f->C_DigestFinal(h, out, &n); // whatever is left of the operation ends
    ASSERT_EQ(f->C_DigestInit(h, &m), CKR_OK);
    n = 0;
    ASSERT_EQ(f->C_Digest(h, abc, 3, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 32u);
    n = sizeof out;
    EXPECT_EQ(f->C_DigestFinal(h, out, &n), CKR_OPERATION_ACTIVE);
    // Two sessions hashing at the same time, updates interleaved.
    CK_SESSION_HANDLE h2 = 0;
    ASSERT_EQ(f->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &h2), CKR_OK);
    const bytes m1 = random_bytes(3000, 1), m2 = random_bytes(2000, 2);
    ASSERT_EQ(f->C_DigestInit(h, &m), CKR_OK);
    ASSERT_EQ(f->C_DigestInit(h2, &m), CKR_OK);
    for (size_t at = 0; at < 3000; at += 100) {
        ASSERT_EQ(f->C_DigestUpdate(h, const_cast<uint8_t*>(m1.data() + at), 100), CKR_OK);
        if (at < 2000) {
            ASSERT_EQ(f->C_DigestUpdate(h2, const_cast<uint8_t*>(m2.data() + at), 100), CKR_OK);
        }
    }
    uint8_t d1[32], d2[32];
    CK_ULONG n1 = 32, n2 = 32;
    ASSERT_EQ(f->C_DigestFinal(h2, d2, &n2), CKR_OK);
    ASSERT_EQ(f->C_DigestFinal(h, d1, &n1), CKR_OK);
    EXPECT_EQ(bytes(d1, d1 + 32), openssl_sm3(m1));
    EXPECT_EQ(bytes(d2, d2 + 32), openssl_sm3(m2));

    // A short buffer keeps the operation.
    ASSERT_EQ(f->C_DigestInit(h, &m), CKR_OK);
    n = 31;
    EXPECT_EQ(f->C_Digest(h, abc, 3, out, &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 32u);
    ASSERT_EQ(f->C_Digest(h, abc, 3, out, &n), CKR_OK);
    EXPECT_EQ(bytes(out, out + 32), openssl_sm3({'a', 'b', 'c'}));
}

TEST_F(Sm2Test, GeneratedPairSignsForOpensslAndDecryptsOpensslCipherTexts) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(pub, priv), CKR_OK);
    const bytes point = attribute(pub, CKA_EC_POINT);
    ASSERT_EQ(point.size(), 67u);
    EXPECT_EQ(point[0], 0x04);
    EXPECT_EQ(point[1], 0x41);
    EXPECT_EQ(point[2], 0x04);
    const bytes xy(point.begin() + 3, point.end());
    EXPECT_EQ(attribute(pub, ZELT_CKA_SM2_ZA), openssl_z(xy));
    EXPECT_EQ(attribute(pub, CKA_VALUE).size(), 132u);
    EXPECT_EQ(attribute(pub, CKA_ID), attribute(priv, CKA_ID));
    pkey_ptr key = sm2_public(xy);
    ASSERT_NE(key, nullptr);

    // ZELT_CKM_SM3_SM2: e = SM3(Z || M) and the signature, on the token.
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tessvik-sm2-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    FILE* pem = std::fopen((dir / "pub.pem").c_str(), "w");
    ASSERT_NE(pem, nullptr);
    PEM_write_PUBKEY(pem, key.get());
    std::fclose(pem);
    for (bool multi : {false, true}) {
        const bytes data = random_bytes(1000 + multi, 5);
        bytes sig;
        ASSERT_EQ(sign(ZELT_CKM_SM3_SM2, priv, data, sig, multi), CKR_OK);
        ASSERT_EQ(sig.size(), 64u);
        EXPECT_TRUE(openssl_verify(key.get(), data, der_signature(sig)));
        write_file(dir / "data", data);
        write_file(dir / "sig", der_signature(sig));
        const std::string cmd = "openssl pkeyutl -verify -pubin -inkey " +
                                (dir / "pub.pem").string() + " -rawin -in " +
                                (dir / "data").string() + " -sigfile " + (dir / "sig").string() +
                                " -digest sm3 -pkeyopt distid:" + default_id + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        // And the token verifies its own signature; a changed message does not.
        EXPECT_EQ(verify(ZELT_CKM_SM3_SM2, pub, data, sig, !multi), CKR_OK);
        bytes other = data;
        other[3] ^= 1;
        EXPECT_EQ(verify(ZELT_CKM_SM3_SM2, pub, other, sig, multi), CKR_SIGNATURE_INVALID);
    }
    std::filesystem::remove_all(dir);

    // ZELT_CKM_SM2: the caller's e.
    bytes zm = openssl_z(xy);
    const bytes msg = random_bytes(77, 9);
    zm.insert(zm.end(), msg.begin(), msg.end());
    const bytes e = openssl_sm3(zm);
    bytes sig;
    ASSERT_EQ(sign(ZELT_CKM_SM2, priv, e, sig, true), CKR_OK);
    EXPECT_TRUE(openssl_verify(key.get(), msg, der_signature(sig)));
    EXPECT_EQ(verify(ZELT_CKM_SM2, pub, e, sig, false), CKR_OK);
    // 20 collected bytes; a 63-byte signature; a 64-byte buffer after the 128 query.
    EXPECT_EQ(sign(ZELT_CKM_SM2, priv, bytes(e.begin(), e.begin() + 20), sig, false),
              CKR_DATA_LEN_RANGE);
    EXPECT_EQ(verify(ZELT_CKM_SM2, pub, e, bytes(63, 1), false), CKR_SIGNATURE_LEN_RANGE);
    CK_MECHANISM m{ZELT_CKM_SM2, nullptr, 0};
    ASSERT_EQ(f->C_SignInit(h, &m, priv), CKR_OK);
    bytes small(64);
    CK_ULONG n = 64;
    EXPECT_EQ(f->C_Sign(h, const_cast<uint8_t*>(e.data()), e.size(), small.data(), &n),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 128u);
    bytes room(128);
    ASSERT_EQ(f->C_Sign(h, const_cast<uint8_t*>(e.data()), e.size(), room.data(), &n), CKR_OK);
    EXPECT_EQ(n, 64u);

    // OpenSSL's cipher texts decrypt on the token.
    for (size_t len : {1, 16, 100, 200}) {
        const bytes plain = random_bytes(len, static_cast<uint8_t>(len));
        bytes out;
        ASSERT_EQ(crypt(false, priv, openssl_encrypt(key.get(), plain), out), CKR_OK) << len;
        EXPECT_EQ(out, plain);
    }
    // The token's cipher text of 16 bytes: 180 asked for, 124 written.
    ASSERT_EQ(f->C_EncryptInit(h, &m, pub), CKR_OK);
    bytes plain = random_bytes(16, 1);
    n = 0;
    ASSERT_EQ(f->C_Encrypt(h, plain.data(), 16, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 180u);
    bytes c(n);
    ASSERT_EQ(f->C_Encrypt(h, plain.data(), 16, c.data(), &n), CKR_OK);
    EXPECT_EQ(n, 124u);
    c.resize(n);
    bytes back;
    ASSERT_EQ(crypt(false, priv, c, back), CKR_OK);
    EXPECT_EQ(back, plain);
    // Malformed DER is refused before the card sees it.
    c[1] ^= 0x01;
    EXPECT_EQ(crypt(false, priv, c, back), CKR_DATA_INVALID);
}

TEST_F(Sm2Test, ImportedOpensslPairInteroperatesAndCarriesZ) {
    pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    ASSERT_NE(key, nullptr);
    const bytes id = {'i', 'm', 'p', '1'};
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    import_pair(key.get(), id, pub, priv);
    const bytes z = openssl_z(xy_of(key.get()));

    // The private key is loaded from its container: point and Z.
    EXPECT_EQ(attribute(priv, ZELT_CKA_SM2_ZA), z);
    EXPECT_TRUE(attribute(priv, CKA_VALUE).empty());

    for (bool multi : {false, true}) {
        const bytes data = random_bytes(300, static_cast<uint8_t>(multi));
        // OpenSSL's signature verifies on the token; a tampered one does not.
        const bytes rs = rs_signature(openssl_sign(key.get(), data));
        EXPECT_EQ(verify(ZELT_CKM_SM3_SM2, pub, data, rs, multi), CKR_OK);
        bytes bad = rs;
        bad[40] ^= 0x08;
        EXPECT_EQ(verify(ZELT_CKM_SM3_SM2, pub, data, bad, multi), CKR_SIGNATURE_INVALID);
        // The token's signature with the imported key verifies with OpenSSL.
        bytes sig;
        ASSERT_EQ(sign(ZELT_CKM_SM3_SM2, priv, data, sig, multi), CKR_OK);
        EXPECT_TRUE(openssl_verify(key.get(), data, der_signature(sig)));
    }
    // Cipher texts both ways.
    for (size_t len : {1, 33, 148, 149, 256}) {
        const bytes plain = random_bytes(len, 3);
        bytes c;
        ASSERT_EQ(crypt(true, pub, plain, c), CKR_OK) << len;
        EXPECT_EQ(openssl_decrypt(key.get(), c), plain) << len;
        bytes out;
        ASSERT_EQ(crypt(false, priv, openssl_encrypt(key.get(), plain), out), CKR_OK) << len;
        EXPECT_EQ(out, plain);
    }

    // Read anew from the card, the keys come from the container, with Z.
    ASSERT_EQ(module().m->M_ReloadObjects(h), CKR_OK);
    CK_KEY_TYPE kt = ZELT_CKK_SM2;
    for (CK_OBJECT_CLASS cls : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt}};
        ASSERT_EQ(f->C_FindObjectsInit(h, t, 2), CKR_OK);
        CK_OBJECT_HANDLE found[4];
        CK_ULONG count = 0;
        ASSERT_EQ(f->C_FindObjects(h, found, 4, &count), CKR_OK);
        ASSERT_EQ(f->C_FindObjectsFinal(h), CKR_OK);
        // The key built from the container (the public key object created
        // above stays in memory beside it).
        int from_container = 0;
        for (CK_ULONG i = 0; i < count; ++i) {
            if (attribute(found[i], ZELT_CKA_CONTAINER_NAME).empty()) continue;
            ++from_container;
            EXPECT_EQ(attribute(found[i], ZELT_CKA_SM2_ZA), z) << cls;
            EXPECT_EQ(attribute(found[i], CKA_ID), id) << cls;
        }
        EXPECT_EQ(from_container, 1) << cls;
    }
}

TEST_F(Sm2Test, Sm3Sm2WithoutThePublicTwinNeedsAKey) {
    pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    const bytes d = private_of(key.get());
    CK_OBJECT_CLASS sc = CKO_PRIVATE_KEY;
    CK_KEY_TYPE kt = ZELT_CKK_SM2;
    CK_BBOOL no = CK_FALSE;
    const char* id = "lonely";
    CK_ATTRIBUTE st[] = {{CKA_CLASS, &sc, sizeof sc},
                         {CKA_KEY_TYPE, &kt, sizeof kt},
                         {CKA_TOKEN, &no, 1},
                         {CKA_ID, const_cast<char*>(id), 6},
                         {CKA_VALUE, const_cast<uint8_t*>(d.data()), d.size()}};
    CK_OBJECT_HANDLE priv = 0;
    ASSERT_EQ(f->C_CreateObject(h, st, 5, &priv), CKR_OK);
    CK_MECHANISM m{ZELT_CKM_SM3_SM2, nullptr, 0};
    EXPECT_EQ(f->C_SignInit(h, &m, priv), CKR_KEY_NEEDED);
    // A public key whose point is too short for an SM2 key.
    CK_OBJECT_CLASS pc = CKO_PUBLIC_KEY;
    uint8_t short_point[10] = {0x04};
    CK_ATTRIBUTE pt[] = {{CKA_CLASS, &pc, sizeof pc},
                         {CKA_KEY_TYPE, &kt, sizeof kt},
                         {CKA_TOKEN, &no, 1},
                         {CKA_EC_POINT, short_point, sizeof short_point}};
    CK_OBJECT_HANDLE pub = 0;
    ASSERT_EQ(f->C_CreateObject(h, pt, 4, &pub), CKR_OK);
    EXPECT_EQ(f->C_VerifyInit(h, &m, pub), CKR_DATA_INVALID);
}

// The point of a public key object is read as its last 64 bytes, X then Y,
// whatever precedes them: X || Y alone, the uncompressed point, the OCTET
// STRING that holds it, or any other prefix. With each, the key verifies the
// card's signatures (ZELT_CKM_SM3_SM2 takes Z from it at the init) and
// encrypts for the card's private key. A point of fewer than 64 bytes is no
// point.
TEST_F(Sm2Test, PublicPointsAreTheirLastSixtyFourBytes) {
    CK_OBJECT_HANDLE card_pub = 0, priv = 0;
    ASSERT_EQ(generate(card_pub, priv), CKR_OK);
    const bytes card_point = attribute(card_pub, CKA_EC_POINT);
    ASSERT_EQ(card_point.size(), 67u);
    const bytes xy(card_point.begin() + 3, card_point.end());
    const bytes data = random_bytes(200, 4);
    bytes sig;
    ASSERT_EQ(sign(ZELT_CKM_SM3_SM2, priv, data, sig, false), CKR_OK);
    bytes zm = openssl_z(xy);
    zm.insert(zm.end(), data.begin(), data.end());
    const bytes e = openssl_sm3(zm);
    bytes sig_e;
    ASSERT_EQ(sign(ZELT_CKM_SM2, priv, e, sig_e, false), CKR_OK);

    const auto with_prefix = [&xy](const bytes& prefix) {
        bytes point = prefix;
        point.insert(point.end(), xy.begin(), xy.end());
        return point;
    };
    struct row {
        const char* name;
        bytes point;
        CK_RV expected;
    };
    const row rows[] = {
        {"X || Y", xy, CKR_OK},
        {"04 X Y", with_prefix({0x04}), CKR_OK},
        {"04 41 04 X Y", with_prefix({0x04, 0x41, 0x04}), CKR_OK},
        {"another prefix", with_prefix({0xA5, 0x00, 0x02, 0x7F}), CKR_OK},
        {"63 bytes", bytes(xy.begin() + 1, xy.end()), CKR_DATA_INVALID},
    };
    CK_OBJECT_CLASS pc = CKO_PUBLIC_KEY;
    CK_KEY_TYPE kt = ZELT_CKK_SM2;
    CK_BBOOL no = CK_FALSE;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        CK_ATTRIBUTE pt[] = {{CKA_CLASS, &pc, sizeof pc},
                             {CKA_KEY_TYPE, &kt, sizeof kt},
                             {CKA_TOKEN, &no, 1},
                             {CKA_EC_POINT, const_cast<uint8_t*>(r.point.data()), r.point.size()}};
        CK_OBJECT_HANDLE pub = 0;
        ASSERT_EQ(f->C_CreateObject(h, pt, 4, &pub), CKR_OK);
        EXPECT_EQ(verify(ZELT_CKM_SM3_SM2, pub, data, sig, false), r.expected);
        EXPECT_EQ(verify(ZELT_CKM_SM2, pub, e, sig_e, false), r.expected);
        const bytes plain = random_bytes(40, 8);
        bytes c;
        ASSERT_EQ(crypt(true, pub, plain, c), r.expected);
        if (r.expected == CKR_OK) {
            bytes back;
            ASSERT_EQ(crypt(false, priv, c, back), CKR_OK);
            EXPECT_EQ(back, plain);
        }
        EXPECT_EQ(f->C_DestroyObject(h, pub), CKR_OK);
    }
}

// Pairs generated with an identifier: the card chooses the container slot a
// generated pair goes to, and the objects name that slot (their key spec).
// After the objects are read anew from the card, each pair keeps that key
// spec and the application's CKA_ID, and it still signs.
TEST_F(Sm2Test, GeneratedPairsKeepTheirSlotAndIdentifierAfterAReload) {
    CK_BBOOL yes = CK_TRUE;
    CK_KEY_TYPE kt = ZELT_CKK_SM2;
    CK_MECHANISM m{ZELT_CKM_SM2, nullptr, 0};
    bytes points[3], specs[3];
    for (CK_ULONG spec : {1ul, 2ul}) {
        const bytes id = {'g', 'e', 'n', static_cast<uint8_t>('0' + spec)};
        CK_ATTRIBUTE pt[] = {{CKA_TOKEN, &yes, 1},
                             {CKA_KEY_TYPE, &kt, sizeof kt},
                             {ZELT_CKA_KEY_SPEC, &spec, sizeof spec},
                             {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()}};
        CK_ATTRIBUTE st[] = {
            {CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_KEY_TYPE, &kt, sizeof kt}};
        CK_OBJECT_HANDLE pub = 0, priv = 0;
        ASSERT_EQ(f->C_GenerateKeyPair(h, &m, pt, 4, st, 3, &pub, &priv), CKR_OK);
        points[spec] = attribute(pub, CKA_EC_POINT);
        ASSERT_EQ(points[spec].size(), 67u);
        specs[spec] = attribute(priv, ZELT_CKA_KEY_SPEC);
        ASSERT_EQ(specs[spec].size(), sizeof(CK_ULONG));
    }

    ASSERT_EQ(module().m->M_ReloadObjects(h), CKR_OK);
    for (CK_ULONG spec : {1ul, 2ul}) {
        SCOPED_TRACE(spec);
        const bytes id = {'g', 'e', 'n', static_cast<uint8_t>('0' + spec)};
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()}};
        ASSERT_EQ(f->C_FindObjectsInit(h, t, 2), CKR_OK);
        CK_OBJECT_HANDLE found[2];
        CK_ULONG count = 0;
        ASSERT_EQ(f->C_FindObjects(h, found, 2, &count), CKR_OK);
        ASSERT_EQ(f->C_FindObjectsFinal(h), CKR_OK);
        ASSERT_EQ(count, 1u);
        EXPECT_EQ(attribute(found[0], ZELT_CKA_KEY_SPEC), specs[spec]);
        EXPECT_EQ(attribute(found[0], CKA_EC_POINT), points[spec]);
        const bytes data = random_bytes(50, 2);
        bytes sig;
        ASSERT_EQ(sign(ZELT_CKM_SM3_SM2, found[0], data, sig, false), CKR_OK);
        pkey_ptr key = sm2_public(bytes(points[spec].begin() + 3, points[spec].end()));
        EXPECT_TRUE(openssl_verify(key.get(), data, der_signature(sig)));
    }
}

} // namespace
