// The software ciphers through the built module on a simulated token: session
// keys made with C_CreateObject and with C_GenerateKey (key bytes from the
// card's random generator), C_Encrypt/C_Decrypt single- and multi-part against
// OpenSSL, two sessions interleaving DES3-CBC, DES3 key wrapping, and the
// session-level answers for uninitialised operations and token keys.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "token_session.h"
#include "user_session_test.h"

using bytes = std::vector<uint8_t>;

namespace {

using test_support::so_pin;
using test_support::user_pin;

bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

// OpenSSL's default and legacy providers (RC2, RC4), unloaded at exit.
struct providers {
    OSSL_PROVIDER* base = OSSL_PROVIDER_load(nullptr, "default");
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    ~providers() {
        if (legacy != nullptr) OSSL_PROVIDER_unload(legacy);
        if (base != nullptr) OSSL_PROVIDER_unload(base);
    }
};

bytes openssl_cipher(const char* name, const bytes& key, const bytes& iv, const bytes& in,
                     bool encrypt, int rc2_bits = 0) {
    static const providers loaded;
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
    if (c == nullptr) return {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex2(ctx, c, nullptr, nullptr, encrypt, nullptr);
    EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size()));
    if (rc2_bits != 0) EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS, rc2_bits, nullptr);
    EVP_CipherInit_ex2(ctx, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), encrypt,
                       nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    bytes out(in.size() + 16);
    int n = 0, m = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &m);
    out.resize(static_cast<size_t>(n + m));
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
    return out;
}

class SoftCipherModuleTest : public test_support::user_session_test {
  protected:
    CK_OBJECT_HANDLE secret(CK_KEY_TYPE kt, const bytes& value, bool token = false) {
        CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
        CK_BBOOL t = token ? CK_TRUE : CK_FALSE;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                               {CKA_KEY_TYPE, &kt, sizeof kt},
                               {CKA_TOKEN, &t, 1},
                               {CKA_ENCRYPT, &yes, 1},
                               {CKA_DECRYPT, &yes, 1},
                               {CKA_WRAP, &yes, 1},
                               {CKA_UNWRAP, &yes, 1},
                               {CKA_EXTRACTABLE, &yes, 1},
                               {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()}};
        CK_OBJECT_HANDLE o = 0;
        EXPECT_EQ(f->C_CreateObject(h, tmpl, 9, &o), CKR_OK);
        return o;
    }

    // One-shot, or updates of `piece` bytes; each call with exactly the room it asks for.
    CK_RV run(CK_SESSION_HANDLE s, bool encrypt, CK_MECHANISM& m, CK_OBJECT_HANDLE key,
              const bytes& in, size_t piece, bytes& out) {
        out.clear();
        CK_RV rv = encrypt ? f->C_EncryptInit(s, &m, key) : f->C_DecryptInit(s, &m, key);
        if (rv != CKR_OK) return rv;
        uint8_t none = 0;
        uint8_t* data = in.empty() ? &none : const_cast<uint8_t*>(in.data());
        CK_ULONG n = 0;
        if (piece == 0) {
            rv = encrypt ? f->C_Encrypt(s, data, in.size(), nullptr, &n)
                         : f->C_Decrypt(s, data, in.size(), nullptr, &n);
            if (rv != CKR_OK) return rv;
            out.assign(n + 1, 0);
            rv = encrypt ? f->C_Encrypt(s, data, in.size(), out.data(), &n)
                         : f->C_Decrypt(s, data, in.size(), out.data(), &n);
            out.resize(rv == CKR_OK ? n : 0);
            return rv;
        }
        for (size_t at = 0; at < in.size(); at += piece) {
            const CK_ULONG part = std::min(piece, in.size() - at);
            bytes chunk(part + 8);
            n = chunk.size();
            rv = encrypt ? f->C_EncryptUpdate(s, data + at, part, chunk.data(), &n)
                         : f->C_DecryptUpdate(s, data + at, part, chunk.data(), &n);
            if (rv != CKR_OK) return rv;
            out.insert(out.end(), chunk.begin(), chunk.begin() + n);
        }
        uint8_t tail[8];
        n = sizeof tail;
        rv = encrypt ? f->C_EncryptFinal(s, tail, &n) : f->C_DecryptFinal(s, tail, &n);
        if (rv == CKR_OK) out.insert(out.end(), tail, tail + n);
        return rv;
    }
};

TEST_F(SoftCipherModuleTest, KnownAnswersAndOpensslSingleAndMultiPart) {
    const bytes iv = random_bytes(8, 1);
    const bytes rc2_key = random_bytes(16, 2), rc4_key = random_bytes(5, 3),
                des3_key = random_bytes(24, 4), des2_key = random_bytes(16, 5);
    CK_RC2_PARAMS rc2_bits = 128;
    CK_RC2_CBC_PARAMS rc2_cbc{};
    rc2_cbc.ulEffectiveBits = 128;
    std::memcpy(rc2_cbc.iv, iv.data(), 8);
    struct row {
        CK_MECHANISM m;
        CK_KEY_TYPE kt;
        const bytes& key;
        const char* openssl;
        bool cbc;
        int rc2;
    };
    const row rows[] = {
        {{CKM_RC2_ECB, &rc2_bits, sizeof rc2_bits}, CKK_RC2, rc2_key, "RC2-ECB", false, 128},
        {{CKM_RC2_CBC, &rc2_cbc, sizeof rc2_cbc}, CKK_RC2, rc2_key, "RC2-CBC", true, 128},
        {{CKM_RC4, nullptr, 0}, CKK_RC4, rc4_key, "RC4", false, 0},
        {{CKM_DES3_ECB, nullptr, 0}, CKK_DES3, des3_key, "DES-EDE3-ECB", false, 0},
        {{CKM_DES3_CBC, const_cast<uint8_t*>(iv.data()), 8},
         CKK_DES3,
         des3_key,
         "DES-EDE3-CBC",
         true,
         0},
        {{CKM_DES3_CBC, const_cast<uint8_t*>(iv.data()), 8},
         CKK_DES3,
         des2_key,
         "DES-EDE-CBC",
         true,
         0},
    };
    for (const row& r : rows) {
        CK_MECHANISM m = r.m;
        const CK_OBJECT_HANDLE key = secret(r.kt, r.key);
        const bool stream = m.mechanism == CKM_RC4;
        for (size_t len : {0, 1, 15, 16, 17, 1024}) {
            SCOPED_TRACE(testing::Message() << r.openssl << " " << r.key.size() << " " << len);
            const bytes plain = random_bytes(len, static_cast<uint32_t>(len + 10));
            bytes out;
            if (!stream && len % 8 != 0) {
                EXPECT_EQ(run(h, true, m, key, plain, 0, out), CKR_DATA_LEN_RANGE);
                EXPECT_EQ(run(h, true, m, key, plain, 5, out), CKR_DATA_LEN_RANGE);
                continue;
            }
            const bytes expected =
                openssl_cipher(r.openssl, r.key, r.cbc ? iv : bytes{}, plain, true, r.rc2);
            for (size_t piece : {size_t{0}, size_t{5}, size_t{1000}}) {
                ASSERT_EQ(run(h, true, m, key, plain, piece, out), CKR_OK) << piece;
                EXPECT_EQ(out, expected) << piece;
                ASSERT_EQ(run(h, false, m, key, expected, piece, out), CKR_OK) << piece;
                EXPECT_EQ(out, plain) << piece;
            }
        }
    }
}

TEST_F(SoftCipherModuleTest, GeneratedKeysTwoSessionsWrappingAndRefusals) {
    // RC2 and RC4 keys from the card's random generator.
    for (CK_MECHANISM_TYPE gen : {CKM_RC2_KEY_GEN, CKM_RC4_KEY_GEN}) {
        CK_MECHANISM m{gen, nullptr, 0};
        CK_ULONG len = 16;
        CK_BBOOL no = CK_FALSE;
        CK_ATTRIBUTE t[] = {{CKA_VALUE_LEN, &len, sizeof len}, {CKA_TOKEN, &no, 1}};
        CK_OBJECT_HANDLE key = 0;
        ASSERT_EQ(f->C_GenerateKey(h, &m, t, 2, &key), CKR_OK) << gen;
        CK_ATTRIBUTE v{CKA_VALUE_LEN, nullptr, 0};
        // A token key is refused for these mechanisms, and so is a zero length.
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE tok[] = {{CKA_VALUE_LEN, &len, sizeof len}, {CKA_TOKEN, &yes, 1}};
        EXPECT_EQ(f->C_GenerateKey(h, &m, tok, 2, &key), CKR_MECHANISM_INVALID);
        CK_ULONG zero = 0;
        CK_ATTRIBUTE empty[] = {{CKA_VALUE_LEN, &zero, sizeof zero}, {CKA_TOKEN, &no, 1}};
        EXPECT_EQ(f->C_GenerateKey(h, &m, empty, 2, &key), CKR_KEY_SIZE_RANGE);
        (void)v;
    }
    // An RC4 key of zero bytes, and an RC2 token key.
    CK_MECHANISM rc4{CKM_RC4, nullptr, 0};
    EXPECT_EQ(f->C_EncryptInit(h, &rc4, secret(CKK_RC4, {})), CKR_KEY_SIZE_RANGE);
    CK_MECHANISM rc2{CKM_RC2_ECB, nullptr, 0};
    EXPECT_EQ(f->C_EncryptInit(h, &rc2, secret(CKK_RC2, random_bytes(8, 1), true)),
              CKR_MECHANISM_INVALID);

    // Nothing initialised.
    uint8_t buf[32] = {};
    CK_ULONG n = sizeof buf;
    EXPECT_EQ(f->C_EncryptUpdate(h, buf, 16, buf, &n), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_DecryptFinal(h, buf, &n), CKR_OPERATION_NOT_INITIALIZED);

    // Two sessions running DES3-CBC multi-part in turn.
    const bytes key = random_bytes(24, 7), iv = random_bytes(8, 8);
    const CK_OBJECT_HANDLE k = secret(CKK_DES3, key);
    CK_SESSION_HANDLE h2 = 0;
    ASSERT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h2),
              CKR_OK);
    CK_MECHANISM cbc{CKM_DES3_CBC, const_cast<uint8_t*>(iv.data()), 8};
    ASSERT_EQ(f->C_EncryptInit(h, &cbc, k), CKR_OK);
    ASSERT_EQ(f->C_EncryptInit(h2, &cbc, k), CKR_OK);
    const bytes p1 = random_bytes(96, 9), p2 = random_bytes(96, 10);
    bytes c1, c2;
    for (size_t at = 0; at < 96; at += 24) {
        uint8_t out[24];
        n = sizeof out;
        ASSERT_EQ(f->C_EncryptUpdate(h, const_cast<uint8_t*>(p1.data() + at), 24, out, &n), CKR_OK);
        c1.insert(c1.end(), out, out + n);
        n = sizeof out;
        ASSERT_EQ(f->C_EncryptUpdate(h2, const_cast<uint8_t*>(p2.data() + at), 24, out, &n),
                  CKR_OK);
        c2.insert(c2.end(), out, out + n);
    }
    n = sizeof buf;
    ASSERT_EQ(f->C_EncryptFinal(h, buf, &n), CKR_OK);
    n = sizeof buf;
    ASSERT_EQ(f->C_EncryptFinal(h2, buf, &n), CKR_OK);
    EXPECT_EQ(c1, openssl_cipher("DES-EDE3-CBC", key, iv, p1, true));
    EXPECT_EQ(c2, openssl_cipher("DES-EDE3-CBC", key, iv, p2, true));

    // Wrapping a 16-byte secret with DES3-ECB: room for 24 asked, 16 written;
    // unwrapping gives the value back.
    const bytes secret_value = random_bytes(16, 11);
    const CK_OBJECT_HANDLE target = secret(CKK_GENERIC_SECRET, secret_value);
    CK_MECHANISM ecb{CKM_DES3_ECB, nullptr, 0};
    CK_ULONG wl = 0;
    ASSERT_EQ(f->C_WrapKey(h, &ecb, k, target, nullptr, &wl), CKR_OK);
    EXPECT_EQ(wl, 24u);
    bytes wrapped(wl);
    ASSERT_EQ(f->C_WrapKey(h, &ecb, k, target, wrapped.data(), &wl), CKR_OK);
    wrapped.resize(wl);
    EXPECT_EQ(wrapped, openssl_cipher("DES-EDE3-ECB", key, {}, secret_value, true));
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE kt = CKK_GENERIC_SECRET;
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE ut[] = {
        {CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt}, {CKA_TOKEN, &no, 1}};
    CK_OBJECT_HANDLE unwrapped = 0;
    ASSERT_EQ(f->C_UnwrapKey(h, &ecb, k, wrapped.data(), wrapped.size(), ut, 3, &unwrapped),
              CKR_OK);
    CK_ATTRIBUTE v{CKA_VALUE, nullptr, 0};
    ASSERT_EQ(f->C_GetAttributeValue(h, unwrapped, &v, 1), CKR_OK);
    bytes got(v.ulValueLen);
    v.pValue = got.data();
    ASSERT_EQ(f->C_GetAttributeValue(h, unwrapped, &v, 1), CKR_OK);
    EXPECT_EQ(got, secret_value);
    // No wrapped bytes: no key (an empty one would be success without a result).
    CK_OBJECT_HANDLE none = 0;
    EXPECT_EQ(f->C_UnwrapKey(h, &ecb, k, wrapped.data(), 0, ut, 3, &none),
              CKR_WRAPPED_KEY_LEN_RANGE);
    EXPECT_EQ(none, 0u);
}

} // namespace
