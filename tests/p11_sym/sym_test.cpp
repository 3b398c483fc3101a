// Card ciphers (DES, triple DES, AES-128/192/256, SM4 in ECB, CBC and
// CBC-PAD; SM1 round trip) and card digests (MD5, SHA-1, SHA-256, SHA-384,
// SHA-512) through the built module on a simulated token, checked with
// OpenSSL: one-shot and multi-part, lengths around the block and the card's
// chunk size, size queries and short buffers, the operation rules, key
// generation and derivation, and concurrent use by two sessions and by a
// second process. Each test runs in its own process (gtest_discover_tests).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "test_hex.h"
#include "token_session.h"

using cardsim::test::simulated_token;
using bytes = std::vector<uint8_t>;

namespace {

using test_support::so_pin;
using test_support::user_pin;
// The simulated card reports a 2048-byte buffer: commands carry 1792 data bytes.
constexpr size_t chunk = 1792;

bytes pattern(size_t n, uint8_t seed) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + 13 * i + (i >> 5));
    return b;
}

bytes hex(const char* s) {
    return test_support::from_hex(s);
}

struct cipher_free {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// OpenSSL's answer; empty optional-like flag through ok.
bytes openssl_cipher(const EVP_CIPHER* cipher, const bytes& key, const bytes& iv, bool pad,
                     bool encrypt, const bytes& in, bool* ok = nullptr) {
    std::unique_ptr<EVP_CIPHER_CTX, cipher_free> c(EVP_CIPHER_CTX_new());
    bytes out(in.size() + 64);
    int n = 0, m = 0;
    bool good = EVP_CipherInit_ex(c.get(), cipher, nullptr, key.data(),
                                  iv.empty() ? nullptr : iv.data(), encrypt ? 1 : 0) == 1;
    EVP_CIPHER_CTX_set_padding(c.get(), pad ? 1 : 0);
    good = good &&
           EVP_CipherUpdate(c.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) == 1;
    good = good && EVP_CipherFinal_ex(c.get(), out.data() + n, &m) == 1;
    if (ok) *ok = good;
    out.resize(good ? static_cast<size_t>(n + m) : 0);
    return out;
}

bytes openssl_digest(const EVP_MD* md, const bytes& in) {
    bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_Digest(in.data(), in.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}

class SymTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(token_.inserted()) << token_.error();
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        ASSERT_TRUE(test_support::first_token_slot(f, slot));
        h = open();
        ASSERT_TRUE(test_support::login_new_user(f, h));
    }
    void TearDown() override {
        if (f != nullptr) f->C_Finalize(nullptr);
    }

    CK_SESSION_HANDLE open() {
        CK_SESSION_HANDLE s = 0;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
                  CKR_OK);
        return s;
    }

    CK_OBJECT_HANDLE secret_key(const bytes& value, CK_KEY_TYPE type) {
        CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_KEY_TYPE, &type, sizeof type},
                            {CKA_TOKEN, &no, 1},
                            {CKA_ENCRYPT, &yes, 1},
                            {CKA_DECRYPT, &yes, 1},
                            {CKA_EXTRACTABLE, &yes, 1},
                            {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()}};
        CK_OBJECT_HANDLE k = 0;
        EXPECT_EQ(f->C_CreateObject(h, t, 7, &k), CKR_OK);
        return k;
    }

    bytes value_of(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type = CKA_VALUE) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        const CK_RV rv = f->C_GetAttributeValue(h, o, &a, 1);
        EXPECT_EQ(rv, CKR_OK) << std::hex << type;
        if (rv != CKR_OK) return {};
        bytes v(a.ulValueLen);
        a.pValue = v.data();
        if (f->C_GetAttributeValue(h, o, &a, 1) != CKR_OK) return {};
        return v;
    }

    // One-shot C_Encrypt / C_Decrypt with a size query first.
    CK_RV oneshot(CK_SESSION_HANDLE s, bool encrypt, CK_MECHANISM m, CK_OBJECT_HANDLE k,
                  const bytes& in, bytes& out) {
        CK_RV rv = encrypt ? f->C_EncryptInit(s, &m, k) : f->C_DecryptInit(s, &m, k);
        if (rv != CKR_OK) return rv;
        CK_ULONG n = 0;
        CK_BYTE none = 0;
        CK_BYTE_PTR data = in.empty() ? &none : const_cast<uint8_t*>(in.data());
        auto call = [&](CK_BYTE_PTR o, CK_ULONG_PTR l) {
            return encrypt ? f->C_Encrypt(s, data, in.size(), o, l)
                           : f->C_Decrypt(s, data, in.size(), o, l);
        };
        if ((rv = call(nullptr, &n)) != CKR_OK) return rv;
        out.assign(n + 1, 0); // never a null buffer, which would be another size query
        rv = call(out.data(), &n);
        out.resize(rv == CKR_OK ? n : 0);
        return rv;
    }

    // Multi-part in pieces of `piece` bytes, each output buffer sized by a query.
    CK_RV multipart(CK_SESSION_HANDLE s, bool encrypt, CK_MECHANISM m, CK_OBJECT_HANDLE k,
                    const bytes& in, size_t piece, bytes& out) {
        CK_RV rv = encrypt ? f->C_EncryptInit(s, &m, k) : f->C_DecryptInit(s, &m, k);
        if (rv != CKR_OK) return rv;
        out.clear();
        for (size_t at = 0; at < in.size(); at += piece) {
            const size_t n = std::min(piece, in.size() - at);
            CK_BYTE_PTR p = const_cast<uint8_t*>(in.data()) + at;
            CK_ULONG len = 0;
            rv = encrypt ? f->C_EncryptUpdate(s, p, n, nullptr, &len)
                         : f->C_DecryptUpdate(s, p, n, nullptr, &len);
            if (rv != CKR_OK) return rv;
            bytes part(len + 1);
            len = part.size();
            rv = encrypt ? f->C_EncryptUpdate(s, p, n, part.data(), &len)
                         : f->C_DecryptUpdate(s, p, n, part.data(), &len);
            if (rv != CKR_OK) return rv;
            out.insert(out.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(len));
        }
        CK_ULONG len = 0;
        rv = encrypt ? f->C_EncryptFinal(s, nullptr, &len) : f->C_DecryptFinal(s, nullptr, &len);
        if (rv != CKR_OK) return rv;
        bytes last(len + 1); // never null: that would be another size query
        rv = encrypt ? f->C_EncryptFinal(s, last.data(), &len)
                     : f->C_DecryptFinal(s, last.data(), &len);
        if (rv != CKR_OK) return rv;
        out.insert(out.end(), last.begin(), last.begin() + static_cast<std::ptrdiff_t>(len));
        return CKR_OK;
    }

    bytes digest_oneshot(CK_SESSION_HANDLE s, CK_MECHANISM_TYPE type, const bytes& in) {
        CK_MECHANISM m{type, nullptr, 0};
        CK_BYTE none = 0;
        CK_BYTE_PTR data = in.empty() ? &none : const_cast<uint8_t*>(in.data());
        if (f->C_DigestInit(s, &m) != CKR_OK) return {};
        CK_ULONG n = 0;
        if (f->C_Digest(s, data, in.size(), nullptr, &n) != CKR_OK) return {};
        bytes out(n);
        if (f->C_Digest(s, data, in.size(), out.data(), &n) != CKR_OK) return {};
        out.resize(n);
        return out;
    }

    // The module looks for its own OEM identifier on the card.
    simulated_token token_{test_support::module_token_options()};
    CK_FUNCTION_LIST* f = nullptr;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE h = 0;
};

// ---- ciphers against OpenSSL ----

struct cipher_case {
    const char* name;
    CK_MECHANISM_TYPE mechanism;
    CK_KEY_TYPE key_type;
    size_t key_length;
    size_t block;
    bool cbc;
    bool pad;
    const EVP_CIPHER* (*cipher)();
    bool key_thrice; // single DES as three-key DES with K1 = K2 = K3
};

const cipher_case cipher_cases[] = {
    {"DES_ECB", CKM_DES_ECB, CKK_DES, 8, 8, false, false, EVP_des_ede3_ecb, true},
    {"DES_CBC", CKM_DES_CBC, CKK_DES, 8, 8, true, false, EVP_des_ede3_cbc, true},
    {"DES_CBC_PAD", CKM_DES_CBC_PAD, CKK_DES, 8, 8, true, true, EVP_des_ede3_cbc, true},
    {"DES3_CBC_PAD", CKM_DES3_CBC_PAD, CKK_DES3, 24, 8, true, true, EVP_des_ede3_cbc, false},
    {"DES3_CBC_PAD_two_key", CKM_DES3_CBC_PAD, CKK_DES3, 16, 8, true, true, EVP_des_ede_cbc, false},
    {"AES128_ECB", CKM_AES_ECB, CKK_AES, 16, 16, false, false, EVP_aes_128_ecb, false},
    {"AES128_CBC", CKM_AES_CBC, CKK_AES, 16, 16, true, false, EVP_aes_128_cbc, false},
    {"AES128_CBC_PAD", CKM_AES_CBC_PAD, CKK_AES, 16, 16, true, true, EVP_aes_128_cbc, false},
    {"AES192_ECB", CKM_AES_ECB, CKK_AES, 24, 16, false, false, EVP_aes_192_ecb, false},
    {"AES192_CBC_PAD", CKM_AES_CBC_PAD, CKK_AES, 24, 16, true, true, EVP_aes_192_cbc, false},
    {"AES256_CBC", CKM_AES_CBC, CKK_AES, 32, 16, true, false, EVP_aes_256_cbc, false},
    {"AES256_CBC_PAD", CKM_AES_CBC_PAD, CKK_AES, 32, 16, true, true, EVP_aes_256_cbc, false},
    {"SM4_ECB", ZELT_CKM_SM4_ECB, CKK_GENERIC_SECRET, 16, 16, false, false, EVP_sm4_ecb, false},
    {"SM4_CBC", ZELT_CKM_SM4_CBC, CKK_GENERIC_SECRET, 16, 16, true, false, EVP_sm4_cbc, false},
    {"SM4_CBC_PAD", ZELT_CKM_SM4_CBC_PAD, CKK_GENERIC_SECRET, 16, 16, true, true, EVP_sm4_cbc,
     false},
};

class CipherTest : public SymTest, public ::testing::WithParamInterface<cipher_case> {};

TEST_P(CipherTest, OneShotAndMultiPartAgreeWithOpenSSL) {
    const cipher_case& c = GetParam();
    const bytes key = pattern(c.key_length, 0x31);
    const bytes iv = c.cbc ? pattern(c.block, 0x77) : bytes{};
    bytes ossl_key = key;
    if (c.key_thrice)
        ossl_key = bytes(key.begin(), key.end()),
        ossl_key.insert(ossl_key.end(), key.begin(), key.end()),
        ossl_key.insert(ossl_key.end(), key.begin(), key.end());
    const CK_OBJECT_HANDLE k = secret_key(key, c.key_type);
    CK_MECHANISM m{c.mechanism, c.cbc ? const_cast<uint8_t*>(iv.data()) : nullptr, iv.size()};
    for (size_t length : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, chunk - 1,
                          chunk, chunk + 1, 3 * chunk + 40}) {
        SCOPED_TRACE(length);
        const bytes plain = pattern(length, static_cast<uint8_t>(length));
        bytes out;
        if (!c.pad && length % c.block != 0) {
            EXPECT_EQ(oneshot(h, true, m, k, plain, out), CKR_DATA_LEN_RANGE);
            continue;
        }
        const bytes expected = openssl_cipher(c.cipher(), ossl_key, iv, c.pad, true, plain);
        ASSERT_EQ(oneshot(h, true, m, k, plain, out), CKR_OK);
        EXPECT_EQ(out, expected);
        for (size_t piece : {size_t{7}, size_t{1000}}) {
            ASSERT_EQ(multipart(h, true, m, k, plain, piece, out), CKR_OK) << piece;
            EXPECT_EQ(out, expected) << piece;
            ASSERT_EQ(multipart(h, false, m, k, expected, piece, out), CKR_OK) << piece;
            EXPECT_EQ(out, plain) << piece;
        }
        ASSERT_EQ(oneshot(h, false, m, k, expected, out), CKR_OK);
        EXPECT_EQ(out, plain);
    }
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, CipherTest, ::testing::ValuesIn(cipher_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Published vectors: FIPS-197 C.1 (AES-128), GB/T 32907 example 1 (SM4),
// SP 800-67 (three-key TDEA, ECB).
TEST_F(SymTest, KnownAnswers) {
    struct kat {
        CK_MECHANISM_TYPE mechanism;
        CK_KEY_TYPE type;
        const char *key, *plain, *cipher;
    };
    const kat kats[] = {
        {CKM_AES_ECB, CKK_AES, "000102030405060708090a0b0c0d0e0f",
         "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {ZELT_CKM_SM4_ECB, CKK_GENERIC_SECRET, "0123456789abcdeffedcba9876543210",
         "0123456789abcdeffedcba9876543210", "681edf34d206965e86b3e94f536e4246"},
        {CKM_AES_ECB, CKK_AES, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const kat& v : kats) {
        const CK_OBJECT_HANDLE k = secret_key(hex(v.key), v.type);
        bytes out;
        ASSERT_EQ(oneshot(h, true, CK_MECHANISM{v.mechanism, nullptr, 0}, k, hex(v.plain), out),
                  CKR_OK);
        EXPECT_EQ(out, hex(v.cipher)) << v.key;
    }
}

// SM4 encryption iterated 1,000,000 times (GB/T 32907 example 2). CBC with a
// zero IV over x followed by zero blocks gives C_j = E(C_(j-1)) = E^(j+1)(x):
// every block of a pass is one more iteration, so passes of n blocks, each
// starting from the last block of the previous pass, iterate n times each.
TEST_F(SymTest, Sm4MillionIterations) {
    const CK_OBJECT_HANDLE k =
        secret_key(hex("0123456789abcdeffedcba9876543210"), CKK_GENERIC_SECRET);
    bytes block = hex("0123456789abcdeffedcba9876543210");
    const bytes zero_iv(16, 0);
    CK_MECHANISM m{ZELT_CKM_SM4_CBC, const_cast<uint8_t*>(zero_iv.data()), 16};
    size_t done = 0;
    const size_t per_pass = 4096;
    while (done < 1000000) {
        const size_t n = std::min(per_pass, 1000000 - done);
        bytes in(16 * n, 0);
        std::copy(block.begin(), block.end(), in.begin());
        bytes out;
        ASSERT_EQ(oneshot(h, true, m, k, in, out), CKR_OK);
        block.assign(out.end() - 16, out.end());
        done += n;
    }
    EXPECT_EQ(block, hex("595298c7c6fd271f0402f804c33d3f66"));
}

TEST_F(SymTest, Sm1RoundTrips) {
    const CK_OBJECT_HANDLE k = secret_key(pattern(16, 9), CKK_GENERIC_SECRET);
    const bytes iv = pattern(16, 4);
    const bytes plain = pattern(100, 1);
    for (CK_MECHANISM m : {CK_MECHANISM{ZELT_CKM_SM1_CBC_PAD, const_cast<uint8_t*>(iv.data()), 16},
                           CK_MECHANISM{ZELT_CKM_SM1_ECB, nullptr, 0}}) {
        const bytes in =
            m.mechanism == ZELT_CKM_SM1_ECB ? bytes(plain.begin(), plain.begin() + 96) : plain;
        bytes c, p;
        ASSERT_EQ(oneshot(h, true, m, k, in, c), CKR_OK);
        EXPECT_NE(c, in);
        ASSERT_EQ(multipart(h, false, m, k, c, 33, p), CKR_OK);
        EXPECT_EQ(p, in);
    }
}

// ---- digests against OpenSSL ----

struct digest_case {
    const char* name;
    CK_MECHANISM_TYPE mechanism;
    const EVP_MD* (*md)();
};
const digest_case digest_cases[] = {{"MD5", CKM_MD5, EVP_md5},
                                    {"SHA1", CKM_SHA_1, EVP_sha1},
                                    {"SHA256", CKM_SHA256, EVP_sha256},
                                    {"SHA384", CKM_SHA384, EVP_sha384},
                                    {"SHA512", CKM_SHA512, EVP_sha512}};

class DigestTest : public SymTest, public ::testing::WithParamInterface<digest_case> {};

TEST_P(DigestTest, OneShotAndMultiPartAgreeWithOpenSSL) {
    const digest_case& d = GetParam();
    for (size_t length : {size_t{0}, size_t{1}, size_t{3}, size_t{15}, size_t{16}, size_t{17},
                          chunk - 1, chunk, chunk + 1, size_t{5000}}) {
        SCOPED_TRACE(length);
        const bytes in = length == 3 ? bytes{'a', 'b', 'c'} : pattern(length, 3);
        const bytes expected = openssl_digest(d.md(), in);
        EXPECT_EQ(digest_oneshot(h, d.mechanism, in), expected);
        CK_MECHANISM m{d.mechanism, nullptr, 0};
        ASSERT_EQ(f->C_DigestInit(h, &m), CKR_OK);
        for (size_t at = 0; at < in.size(); at += 700)
            ASSERT_EQ(f->C_DigestUpdate(h, const_cast<uint8_t*>(in.data()) + at,
                                        std::min<size_t>(700, in.size() - at)),
                      CKR_OK);
        CK_ULONG n = 0;
        ASSERT_EQ(f->C_DigestFinal(h, nullptr, &n), CKR_OK);
        ASSERT_EQ(n, expected.size());
        bytes out(n);
        n = 1; // short: the length, and the operation stays
        ASSERT_EQ(f->C_DigestFinal(h, out.data(), &n), CKR_BUFFER_TOO_SMALL);
        ASSERT_EQ(n, expected.size());
        ASSERT_EQ(f->C_DigestFinal(h, out.data(), &n), CKR_OK);
        EXPECT_EQ(out, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, DigestTest, ::testing::ValuesIn(digest_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A digest sends DigestInit, DigestUpdate with full chunks while more remain,
// DigestUpdate with the rest, then DigestFinal without data.
TEST_F(SymTest, DigestCommandsCarryFullChunks) {
    CK_MECHANISM m{CKM_SHA256, nullptr, 0};
    const bytes in = pattern(3 * chunk + 10, 1);
    ASSERT_EQ(f->C_DigestInit(h, &m), CKR_OK);
    token_.sim().clear_log();
    bytes out(32);
    CK_ULONG n = out.size();
    ASSERT_EQ(f->C_Digest(h, const_cast<uint8_t*>(in.data()), in.size(), out.data(), &n), CKR_OK);
    std::vector<bytes> digest_commands;
    for (const bytes& apdu : token_.sim().apdu_log())
        if (apdu.size() >= 2 && apdu[0] == 0x80 && apdu[1] >= 0xB4 && apdu[1] <= 0xBA)
            digest_commands.push_back(apdu);
    ASSERT_EQ(digest_commands.size(), 1u + 3u + 1u + 1u);
    for (size_t i = 1; i <= 4; ++i)
        EXPECT_EQ(digest_commands[i].at(1), 0xB8) << i; // DigestUpdate
    EXPECT_EQ(digest_commands[4].size(), 7u + 10u);     // the rest
    EXPECT_EQ(digest_commands[5], (bytes{0x80, 0xBA, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

// ---- rules ----

TEST_F(SymTest, SizeQueriesShortBuffersAndNoDataLostOnDecryptUpdate) {
    const bytes key = pattern(16, 2);
    const CK_OBJECT_HANDLE k = secret_key(key, CKK_AES);
    const bytes iv = pattern(16, 8);
    CK_MECHANISM m{CKM_AES_CBC_PAD, const_cast<uint8_t*>(iv.data()), 16};
    const bytes plain = pattern(40, 5);
    const bytes cipher = openssl_cipher(EVP_aes_128_cbc(), key, iv, true, true, plain);
    ASSERT_EQ(cipher.size(), 48u);

    ASSERT_EQ(f->C_EncryptInit(h, &m, k), CKR_OK);
    CK_ULONG n = 0;
    ASSERT_EQ(f->C_Encrypt(h, const_cast<uint8_t*>(plain.data()), plain.size(), nullptr, &n),
              CKR_OK);
    EXPECT_EQ(n, 48u);
    bytes out(48);
    n = 47;
    ASSERT_EQ(f->C_Encrypt(h, const_cast<uint8_t*>(plain.data()), plain.size(), out.data(), &n),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 48u);
    ASSERT_EQ(f->C_Encrypt(h, const_cast<uint8_t*>(plain.data()), plain.size(), out.data(), &n),
              CKR_OK);
    EXPECT_EQ(out, cipher);

    // 48 bytes in one update: 32 come out (the last block waits for the
    // final step); a buffer of 16 is refused before anything is sent, and
    // the retry gets every byte.
    ASSERT_EQ(f->C_DecryptInit(h, &m, k), CKR_OK);
    bytes got(64);
    n = 16;
    ASSERT_EQ(
        f->C_DecryptUpdate(h, const_cast<uint8_t*>(cipher.data()), cipher.size(), got.data(), &n),
        CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 32u);
    ASSERT_EQ(
        f->C_DecryptUpdate(h, const_cast<uint8_t*>(cipher.data()), cipher.size(), got.data(), &n),
        CKR_OK);
    ASSERT_EQ(n, 32u);
    CK_ULONG last = 4;
    ASSERT_EQ(f->C_DecryptFinal(h, got.data() + 32, &last), CKR_BUFFER_TOO_SMALL);
    last = 32;
    ASSERT_EQ(f->C_DecryptFinal(h, got.data() + 32, &last), CKR_OK);
    got.resize(32 + last);
    EXPECT_EQ(got, plain);
}

TEST_F(SymTest, BadPaddingIsAnErrorNeverData) {
    const bytes key = pattern(16, 2);
    const CK_OBJECT_HANDLE k = secret_key(key, CKK_AES);
    const bytes iv(16, 0);
    CK_MECHANISM m{CKM_AES_CBC_PAD, const_cast<uint8_t*>(iv.data()), 16};
    // Whole blocks whose last plain byte is 0x11 (> 16) and 0x00.
    for (uint8_t last : {uint8_t{0x11}, uint8_t{0x00}, uint8_t{0x02}}) {
        bytes plain = pattern(32, 1);
        plain[31] = last;
        plain[30] = 0x07;
        const bytes cipher = openssl_cipher(EVP_aes_128_cbc(), key, iv, false, true, plain);
        bytes out;
        EXPECT_EQ(oneshot(h, false, m, k, cipher, out), CKR_ENCRYPTED_DATA_INVALID) << int(last);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(multipart(h, false, m, k, cipher, 5, out), CKR_ENCRYPTED_DATA_INVALID)
            << int(last);
    }
    bytes out;
    EXPECT_EQ(oneshot(h, false, m, k, pattern(20, 1), out), CKR_ENCRYPTED_DATA_LEN_RANGE);
}

TEST_F(SymTest, NoOperationAndMixedStylesAreRefused) {
    const CK_OBJECT_HANDLE k = secret_key(pattern(16, 2), CKK_AES);
    CK_MECHANISM ecb{CKM_AES_ECB, nullptr, 0};
    CK_MECHANISM sha{CKM_SHA256, nullptr, 0};
    bytes in(16, 1), out(64);
    CK_ULONG n = out.size();
    EXPECT_EQ(f->C_Digest(h, in.data(), 16, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_DigestUpdate(h, in.data(), 16), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_DigestFinal(h, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_Encrypt(h, in.data(), 16, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_EncryptUpdate(h, in.data(), 16, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_DecryptFinal(h, out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);

    // C_DigestUpdate then C_Digest; a C_Digest size query then C_DigestFinal.
    ASSERT_EQ(f->C_DigestInit(h, &sha), CKR_OK);
    ASSERT_EQ(f->C_DigestUpdate(h, in.data(), 16), CKR_OK);
    n = out.size();
    EXPECT_EQ(f->C_Digest(h, in.data(), 16, out.data(), &n), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(f->C_DigestInit(h, &sha), CKR_OK);
    n = 0;
    ASSERT_EQ(f->C_Digest(h, in.data(), 16, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 32u);
    n = out.size();
    EXPECT_EQ(f->C_DigestFinal(h, out.data(), &n), CKR_OPERATION_ACTIVE);
    // The same for a cipher.
    ASSERT_EQ(f->C_EncryptInit(h, &ecb, k), CKR_OK);
    n = out.size();
    ASSERT_EQ(f->C_EncryptUpdate(h, in.data(), 16, out.data(), &n), CKR_OK);
    n = out.size();
    EXPECT_EQ(f->C_Encrypt(h, in.data(), 16, out.data(), &n), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(f->C_EncryptInit(h, &ecb, k), CKR_OK);
    ASSERT_EQ(f->C_Encrypt(h, in.data(), 16, nullptr, &n), CKR_OK);
    n = out.size();
    EXPECT_EQ(f->C_EncryptFinal(h, out.data(), &n), CKR_OPERATION_ACTIVE);
}

TEST_F(SymTest, KeyAndIvLengthsAreChecked) {
    const bytes iv = pattern(40, 1);
    struct bad_case {
        CK_MECHANISM_TYPE mechanism;
        CK_KEY_TYPE type;
        size_t key_length, iv_length;
        CK_RV expected;
    };
    const bad_case cases[] = {
        {CKM_AES_CBC, CKK_AES, 16, 40, CKR_MECHANISM_PARAM_INVALID}, // IV over the 32-byte record
        {CKM_AES_CBC, CKK_AES, 16, 8, CKR_MECHANISM_PARAM_INVALID},
        {CKM_DES3_CBC_PAD, CKK_DES3, 24, 4, CKR_MECHANISM_PARAM_INVALID}, // short DES3 IV
        {CKM_AES_ECB, CKK_AES, 5, 0, CKR_KEY_SIZE_RANGE},
        {CKM_AES_ECB, CKK_AES, 20, 0, CKR_KEY_SIZE_RANGE},
        {CKM_DES3_CBC_PAD, CKK_DES3, 8, 8, CKR_KEY_SIZE_RANGE},
        {ZELT_CKM_SM4_ECB, CKK_GENERIC_SECRET, 8, 0, CKR_KEY_SIZE_RANGE},
        {CKM_AES_ECB, CKK_DES3, 24, 0, CKR_KEY_TYPE_INCONSISTENT},
    };
    for (const bad_case& c : cases) {
        const CK_OBJECT_HANDLE k = secret_key(pattern(c.key_length, 3), c.type);
        CK_MECHANISM m{c.mechanism, c.iv_length ? const_cast<uint8_t*>(iv.data()) : nullptr,
                       c.iv_length};
        EXPECT_EQ(f->C_EncryptInit(h, &m, k), c.expected)
            << std::hex << c.mechanism << " " << c.key_length;
    }
}

TEST_F(SymTest, GeneratedKeysHaveTheirAlgorithmsLength) {
    struct gen_case {
        CK_MECHANISM_TYPE mechanism;
        CK_ULONG value_len; // 0: none in the template
        size_t expected;
        CK_KEY_TYPE type;
    };
    const gen_case cases[] = {{CKM_DES3_KEY_GEN, 0, 24, CKK_DES3},
                              {CKM_DES_KEY_GEN, 0, 8, CKK_DES},
                              {CKM_AES_KEY_GEN, 32, 32, CKK_AES},
                              {CKM_AES_KEY_GEN, 24, 24, CKK_AES},
                              {ZELT_CKM_SM4_KEY_GEN, 0, 16, 0}};
    for (const gen_case& c : cases) {
        CK_MECHANISM m{c.mechanism, nullptr, 0};
        CK_BBOOL no = CK_FALSE;
        CK_ULONG len = c.value_len;
        CK_BBOOL yes = CK_TRUE;
        std::vector<CK_ATTRIBUTE> t{{CKA_TOKEN, &no, 1}, {CKA_EXTRACTABLE, &yes, 1}};
        if (len) t.push_back({CKA_VALUE_LEN, &len, sizeof len});
        CK_OBJECT_HANDLE k = 0;
        ASSERT_EQ(f->C_GenerateKey(h, &m, t.data(), t.size(), &k), CKR_OK)
            << std::hex << c.mechanism;
        const bytes value = value_of(k);
        EXPECT_EQ(value.size(), c.expected) << std::hex << c.mechanism;
        if (c.type != 0) {
            const bytes type = value_of(k, CKA_KEY_TYPE);
            ASSERT_EQ(type.size(), sizeof(CK_ULONG));
            CK_ULONG t_value = 0;
            std::memcpy(&t_value, type.data(), sizeof t_value);
            EXPECT_EQ(t_value, c.type);
        }
    }
    // An AES-256 key from the generator encrypts as AES-256.
    CK_MECHANISM gen{CKM_AES_KEY_GEN, nullptr, 0};
    CK_ULONG len = 32;
    CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
    CK_ATTRIBUTE t[] = {
        {CKA_TOKEN, &no, 1}, {CKA_VALUE_LEN, &len, sizeof len}, {CKA_EXTRACTABLE, &yes, 1}};
    CK_OBJECT_HANDLE k = 0;
    ASSERT_EQ(f->C_GenerateKey(h, &gen, t, 3, &k), CKR_OK);
    const bytes plain = pattern(32, 6);
    bytes out;
    ASSERT_EQ(oneshot(h, true, CK_MECHANISM{CKM_AES_ECB, nullptr, 0}, k, plain, out), CKR_OK);
    EXPECT_EQ(out, openssl_cipher(EVP_aes_256_ecb(), value_of(k), {}, false, true, plain));
}

TEST_F(SymTest, KeyDerivationByDigest) {
    const bytes base_value = pattern(20, 4);
    const CK_OBJECT_HANDLE base = secret_key(base_value, CKK_GENERIC_SECRET);
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE des3 = CKK_DES3;
    CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &des3, sizeof des3},
                        {CKA_TOKEN, &no, 1},
                        {CKA_EXTRACTABLE, &yes, 1}};
    CK_MECHANISM sha256{CKM_SHA256_KEY_DERIVATION, nullptr, 0};
    CK_OBJECT_HANDLE k = 0;
    ASSERT_EQ(f->C_DeriveKey(h, &sha256, base, t, 4, &k), CKR_OK);
    const bytes digest = openssl_digest(EVP_sha256(), base_value);
    EXPECT_EQ(value_of(k), bytes(digest.begin(), digest.begin() + 24));
    // A DES3 key is longer than an MD5 digest.
    CK_MECHANISM md5{CKM_MD5_KEY_DERIVATION, nullptr, 0};
    EXPECT_EQ(f->C_DeriveKey(h, &md5, base, t, 4, &k), CKR_TEMPLATE_INCONSISTENT);
}

// Two sessions of this process interleave multi-part digests and
// encryptions on one token while another process (pkcs11-tool) hashes on it.
TEST_F(SymTest, TwoSessionsAndTwoProcessesAtOnce) {
    const std::string dir = ::testing::TempDir();
    const std::string input = dir + "/p11_sym_input.bin";
    const bytes big = pattern(50000, 9);
    std::ofstream(input, std::ios::binary)
        .write(reinterpret_cast<const char*>(big.data()), big.size());
    const std::string output = dir + "/p11_sym_output.bin";
    // A sanitized module needs the ASan runtime loaded first into the client.
    const std::string preload =
        TESSVIK_SANITIZED
            ? "LD_PRELOAD=$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 "
            : "";
    const std::string command = preload + PKCS11_TOOL + " --module " + TESSVIK_MODULE_PATH +
                                " -h -m SHA256 --input-file " + input + " --output-file " + output +
                                " >" + dir + "/p11_sym_tool.log 2>&1";
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    // This process keeps its operations going for as long as the other one runs.
    const auto other_running = [&] {
        return status == -1 && waitpid(other, &status, WNOHANG) == 0;
    };

    const CK_SESSION_HANDLE a = h, b = open();
    const bytes key = pattern(16, 1);
    const CK_OBJECT_HANDLE k = secret_key(key, CKK_AES);
    const bytes iv = pattern(16, 2);
    CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0}, sha512{CKM_SHA512, nullptr, 0};
    CK_MECHANISM cbc{CKM_AES_CBC_PAD, const_cast<uint8_t*>(iv.data()), 16};
    const bytes da = pattern(30000, 1), db = pattern(30000, 2);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (int round = 0;
         round < 3 || (other_running() && std::chrono::steady_clock::now() < give_up); ++round) {
        ASSERT_EQ(f->C_DigestInit(a, &sha1), CKR_OK);
        ASSERT_EQ(f->C_DigestInit(b, &sha512), CKR_OK);
        ASSERT_EQ(f->C_EncryptInit(a, &cbc, k), CKR_OK);
        ASSERT_EQ(f->C_EncryptInit(b, &cbc, k), CKR_OK);
        bytes ca, cb;
        for (size_t at = 0; at < da.size(); at += 2000) {
            uint8_t* pa = const_cast<uint8_t*>(da.data()) + at;
            uint8_t* pb = const_cast<uint8_t*>(db.data()) + at;
            ASSERT_EQ(f->C_DigestUpdate(a, pa, 2000), CKR_OK);
            ASSERT_EQ(f->C_DigestUpdate(b, pb, 2000), CKR_OK);
            bytes part(2016);
            CK_ULONG n = part.size();
            ASSERT_EQ(f->C_EncryptUpdate(a, pa, 2000, part.data(), &n), CKR_OK);
            ca.insert(ca.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(n));
            n = part.size();
            ASSERT_EQ(f->C_EncryptUpdate(b, pb, 2000, part.data(), &n), CKR_OK);
            cb.insert(cb.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(n));
        }
        bytes part(64);
        CK_ULONG n = part.size();
        ASSERT_EQ(f->C_EncryptFinal(b, part.data(), &n), CKR_OK);
        cb.insert(cb.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(n));
        n = part.size();
        ASSERT_EQ(f->C_EncryptFinal(a, part.data(), &n), CKR_OK);
        ca.insert(ca.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(n));
        bytes ha(20), hb(64);
        n = hb.size();
        ASSERT_EQ(f->C_DigestFinal(b, hb.data(), &n), CKR_OK);
        n = ha.size();
        ASSERT_EQ(f->C_DigestFinal(a, ha.data(), &n), CKR_OK);
        EXPECT_EQ(ha, openssl_digest(EVP_sha1(), da));
        EXPECT_EQ(hb, openssl_digest(EVP_sha512(), db));
        EXPECT_EQ(ca, openssl_cipher(EVP_aes_128_cbc(), key, iv, true, true, da));
        EXPECT_EQ(cb, openssl_cipher(EVP_aes_128_cbc(), key, iv, true, true, db));
    }
    if (status == -1) {
        ASSERT_EQ(waitpid(other, &status, 0), other);
    }
    std::ifstream log(dir + "/p11_sym_tool.log");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << std::string((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    std::ifstream in(output, std::ios::binary);
    const bytes theirs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(theirs, openssl_digest(EVP_sha256(), big));
}

// Wrapping a token key's value with the card cipher, and unwrapping it into
// a new secret key; a session key is not wrapped by the card cipher.
TEST_F(SymTest, WrapAndUnwrapSecretKeys) {
    const bytes kek = pattern(16, 0x21);
    const CK_OBJECT_HANDLE wrapping = secret_key(kek, CKK_AES);
    const bytes target_value = pattern(32, 0x42);
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE aes = CKK_AES;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE t[] = {
        {CKA_CLASS, &cls, sizeof cls},
        {CKA_KEY_TYPE, &aes, sizeof aes},
        {CKA_TOKEN, &yes, 1},
        {CKA_EXTRACTABLE, &yes, 1},
        {CKA_VALUE, const_cast<uint8_t*>(target_value.data()), target_value.size()}};
    CK_OBJECT_HANDLE target = 0;
    ASSERT_EQ(f->C_CreateObject(h, t, 5, &target), CKR_OK);
    CK_MECHANISM ecb{CKM_AES_ECB, nullptr, 0};
    CK_ULONG n = 0;
    ASSERT_EQ(f->C_WrapKey(h, &ecb, wrapping, target, nullptr, &n), CKR_OK);
    ASSERT_EQ(n, 32u);
    bytes wrapped(n);
    ASSERT_EQ(f->C_WrapKey(h, &ecb, wrapping, target, wrapped.data(), &n), CKR_OK);
    EXPECT_EQ(wrapped, openssl_cipher(EVP_aes_128_ecb(), kek, {}, false, true, target_value));

    CK_ATTRIBUTE u[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &aes, sizeof aes}};
    CK_OBJECT_HANDLE unwrapped = 0;
    ASSERT_EQ(f->C_UnwrapKey(h, &ecb, wrapping, wrapped.data(), wrapped.size(), u, 2, &unwrapped),
              CKR_OK);
    EXPECT_EQ(value_of(unwrapped), target_value);
    // No wrapped bytes: no key (an empty one would be success without a result).
    CK_OBJECT_HANDLE none = 0;
    EXPECT_EQ(f->C_UnwrapKey(h, &ecb, wrapping, wrapped.data(), 0, u, 2, &none),
              CKR_WRAPPED_KEY_LEN_RANGE);
    EXPECT_EQ(none, 0u);

    const CK_OBJECT_HANDLE session_key = secret_key(pattern(16, 1), CKK_AES);
    bytes out(64);
    n = out.size();
    EXPECT_EQ(f->C_WrapKey(h, &ecb, wrapping, session_key, out.data(), &n),
              CKR_FUNCTION_NOT_SUPPORTED);
}

} // namespace
