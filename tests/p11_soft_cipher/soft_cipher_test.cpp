// RC2 (RFC 2268), RC4 and DES3 (ECB, CBC; two- and three-key) computed in the
// library, through their key contexts as the session drives them: the RFC 2268
// vectors, OpenSSL (legacy provider for RC2 and RC4) as the oracle for
// random data single- and multi-part, lengths 0, 1, 15, 16, 17, and the rules
// for parameters, keys, output capacity and uninitialised operations.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "pkcs11_key_ctx.h"
#include "pkcs11_object.h"
#include "rc2.h"
#include "test_hex.h"

using bytes = std::vector<uint8_t>;

namespace {

using test_support::from_hex;

bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

// A session secret key with this value (none: no CKA_VALUE).
std::shared_ptr<pkcs11_object> secret(uint32_t key_type, const bytes* value) {
    uint32_t cls = CKO_SECRET_KEY;
    uint8_t no = 0;
    std::vector<inner_attribute> t{
        {CKA_CLASS, &cls, 4}, {CKA_KEY_TYPE, &key_type, 4}, {CKA_TOKEN, &no, 1}};
    if (value != nullptr)
        t.push_back(
            {CKA_VALUE, const_cast<uint8_t*>(value->data()), static_cast<uint32_t>(value->size())});
    CK_RV rv = CKR_OK;
    auto o =
        pkcs11_object::create(0, CKO_SECRET_KEY, t.data(), static_cast<uint32_t>(t.size()), &rv);
    EXPECT_EQ(rv, CKR_OK);
    return o;
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

void legacy() {
    static const providers loaded;
}

// OpenSSL without padding; rc2_bits for RC2 ciphers.
bytes openssl_cipher(const char* name, const bytes& key, const bytes& iv, const bytes& in,
                     bool encrypt, int rc2_bits = 0) {
    legacy();
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
    EXPECT_NE(c, nullptr) << name;
    if (c == nullptr) return {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(EVP_CipherInit_ex2(ctx, c, nullptr, nullptr, encrypt, nullptr), 1);
    EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size()));
    if (rc2_bits != 0) EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS, rc2_bits, nullptr);
    EXPECT_EQ(EVP_CipherInit_ex2(ctx, nullptr, key.data(), iv.empty() ? nullptr : iv.data(),
                                 encrypt, nullptr),
              1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    bytes out(in.size() + 16);
    int n = 0, m = 0;
    EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())), 1);
    EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + n, &m), 1);
    out.resize(static_cast<size_t>(n + m));
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
    return out;
}

struct run_result {
    CK_RV rv = CKR_OK;
    bytes out;
};

// One-shot: size query, then the call with exactly the size asked for.
run_result one_shot(pkcs11_key_ctx& ctx, bool encrypt, const bytes& in) {
    run_result r;
    r.rv = encrypt ? ctx.encrypt_init() : ctx.decrypt_init();
    if (r.rv != CKR_OK) return r;
    uint32_t n = 0;
    auto call = [&](uint8_t* out) {
        return encrypt ? ctx.encrypt(in.data(), static_cast<uint32_t>(in.size()), out, &n)
                       : ctx.decrypt(in.data(), static_cast<uint32_t>(in.size()), out, &n);
    };
    if ((r.rv = call(nullptr)) != CKR_OK) return r;
    r.out.assign(n, 0);
    r.rv = call(r.out.data());
    r.out.resize(n);
    return r;
}

// Multi-part in pieces of `piece` bytes, each update given exactly the size it asks for.
run_result multi_part(pkcs11_key_ctx& ctx, bool encrypt, const bytes& in, size_t piece) {
    run_result r;
    r.rv = encrypt ? ctx.encrypt_init() : ctx.decrypt_init();
    if (r.rv != CKR_OK) return r;
    for (size_t at = 0; at < in.size(); at += piece) {
        const uint32_t part = static_cast<uint32_t>(std::min(piece, in.size() - at));
        const uint8_t* p = in.data() + at;
        uint32_t n = 0;
        r.rv = encrypt ? ctx.encrypt_update(p, part, nullptr, &n)
                       : ctx.decrypt_update(p, part, nullptr, &n);
        if (r.rv != CKR_OK) return r;
        bytes chunk(n + 1);
        r.rv = encrypt ? ctx.encrypt_update(p, part, chunk.data(), &n)
                       : ctx.decrypt_update(p, part, chunk.data(), &n);
        if (r.rv != CKR_OK) return r;
        r.out.insert(r.out.end(), chunk.begin(), chunk.begin() + n);
    }
    uint32_t n = 0;
    r.rv = encrypt ? ctx.encrypt_final(nullptr, &n) : ctx.decrypt_final(nullptr, &n);
    if (r.rv != CKR_OK) return r;
    bytes tail(n + 1);
    r.rv = encrypt ? ctx.encrypt_final(tail.data(), &n) : ctx.decrypt_final(tail.data(), &n);
    r.out.insert(r.out.end(), tail.begin(), tail.begin() + n);
    return r;
}

std::unique_ptr<pkcs11_key_ctx> context(CK_MECHANISM_TYPE type, const void* param, size_t param_len,
                                        std::shared_ptr<pkcs11_object> key) {
    CK_MECHANISM m{type, const_cast<void*>(param), param_len};
    return key_ctx_create(m, std::move(key), nullptr, 0);
}

} // namespace

// RFC 2268 section 5.
TEST(Rc2, Rfc2268Vectors) {
    struct vector {
        const char* key;
        uint32_t bits;
        const char* plain;
        const char* cipher;
    };
    const vector vectors[] = {
        {"0000000000000000", 63, "0000000000000000", "ebb773f993278eff"},
        {"ffffffffffffffff", 64, "ffffffffffffffff", "278b27e42e2f0d49"},
        {"3000000000000000", 64, "1000000000000001", "30649edf9be7d2c2"},
        {"88", 64, "0000000000000000", "61a8a244adacccf0"},
        {"88bca90e90875a", 64, "0000000000000000", "6ccf4308974c267f"},
        {"88bca90e90875a7f0f79c384627bafb2", 64, "0000000000000000", "1a807d272bbe5db1"},
        {"88bca90e90875a7f0f79c384627bafb2", 128, "0000000000000000", "2269552ab0f85ca6"},
        {"88bca90e90875a7f0f79c384627bafb216f80a6f85920584c42fceb0be255daf1e", 129,
         "0000000000000000", "5b78d3a43dfff1f1"},
    };
    for (const vector& v : vectors) {
        const bytes key = from_hex(v.key);
        // Through the context, with CK_RC2_PARAMS, one-shot and multi-part.
        CK_RC2_PARAMS bits = v.bits;
        auto ctx = context(CKM_RC2_ECB, &bits, sizeof bits, secret(CKK_RC2, &key));
        ASSERT_NE(ctx, nullptr);
        run_result r = one_shot(*ctx, true, from_hex(v.plain));
        ASSERT_EQ(r.rv, CKR_OK) << v.key;
        EXPECT_EQ(r.out, from_hex(v.cipher)) << v.key << " " << v.bits;
        r = multi_part(*ctx, false, from_hex(v.cipher), 3);
        ASSERT_EQ(r.rv, CKR_OK);
        EXPECT_EQ(r.out, from_hex(v.plain));
    }
}

struct oracle_case {
    const char* name;
    CK_MECHANISM_TYPE mech;
    uint32_t key_type;
    size_t key_len;
    const char* openssl;
    bool cbc;
    bool stream;
};

class SoftCipherOracle : public ::testing::TestWithParam<oracle_case> {};

TEST_P(SoftCipherOracle, SingleAndMultiPartAgainstOpenssl) {
    const oracle_case& c = GetParam();
    const bytes key = random_bytes(c.key_len, 11);
    const bytes iv = random_bytes(8, 12);
    CK_RC2_CBC_PARAMS rc2_cbc{};
    rc2_cbc.ulEffectiveBits = c.key_len * 8;
    std::memcpy(rc2_cbc.iv, iv.data(), 8);
    CK_RC2_PARAMS rc2_bits = c.key_len * 8;
    const void* param = nullptr;
    size_t param_len = 0;
    if (c.mech == CKM_RC2_CBC) {
        param = &rc2_cbc;
        param_len = sizeof rc2_cbc;
    } else if (c.mech == CKM_RC2_ECB) {
        param = &rc2_bits;
        param_len = sizeof rc2_bits;
    } else if (c.mech == CKM_DES3_CBC) {
        param = iv.data();
        param_len = 8;
    }
    const int bits = c.key_type == CKK_RC2 ? static_cast<int>(c.key_len * 8) : 0;
    for (size_t len : {0, 1, 15, 16, 17, 64, 1000, 1024}) {
        const bytes plain = random_bytes(len, static_cast<uint32_t>(len));
        const bool whole = c.stream || len % 8 == 0;
        auto ctx = context(c.mech, param, param_len, secret(c.key_type, &key));
        ASSERT_NE(ctx, nullptr);
        run_result one = one_shot(*ctx, true, plain);
        if (!whole) {
            EXPECT_EQ(one.rv, CKR_DATA_LEN_RANGE) << c.name << " " << len;
            auto multi_ctx = context(c.mech, param, param_len, secret(c.key_type, &key));
            run_result multi = multi_part(*multi_ctx, true, plain, 5);
            EXPECT_EQ(multi.rv, CKR_DATA_LEN_RANGE) << c.name << " " << len;
            continue;
        }
        const bytes expected =
            openssl_cipher(c.openssl, key, c.cbc ? iv : bytes{}, plain, true, bits);
        ASSERT_EQ(one.rv, CKR_OK) << c.name << " " << len;
        EXPECT_EQ(one.out, expected) << c.name << " " << len;
        for (size_t piece : {1, 7, 8, 9, 100}) {
            auto m = context(c.mech, param, param_len, secret(c.key_type, &key));
            run_result enc = multi_part(*m, true, plain, piece);
            ASSERT_EQ(enc.rv, CKR_OK) << c.name << " " << len << " " << piece;
            EXPECT_EQ(enc.out, expected) << c.name << " " << len << " " << piece;
            auto d = context(c.mech, param, param_len, secret(c.key_type, &key));
            run_result dec = multi_part(*d, false, expected, piece);
            ASSERT_EQ(dec.rv, CKR_OK);
            EXPECT_EQ(dec.out, plain) << c.name << " " << len << " " << piece;
        }
        auto d = context(c.mech, param, param_len, secret(c.key_type, &key));
        run_result dec = one_shot(*d, false, expected);
        ASSERT_EQ(dec.rv, CKR_OK);
        EXPECT_EQ(dec.out, plain);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ciphers, SoftCipherOracle,
    ::testing::Values(
        oracle_case{"rc2_ecb_16", CKM_RC2_ECB, CKK_RC2, 16, "RC2-ECB", false, false},
        oracle_case{"rc2_cbc_16", CKM_RC2_CBC, CKK_RC2, 16, "RC2-CBC", true, false},
        oracle_case{"rc2_cbc_5", CKM_RC2_CBC, CKK_RC2, 5, "RC2-CBC", true, false},
        oracle_case{"rc4_16", CKM_RC4, CKK_RC4, 16, "RC4", false, true},
        oracle_case{"rc4_1", CKM_RC4, CKK_RC4, 1, "RC4", false, true},
        oracle_case{"des3_ecb_24", CKM_DES3_ECB, CKK_DES3, 24, "DES-EDE3-ECB", false, false},
        oracle_case{"des3_cbc_24", CKM_DES3_CBC, CKK_DES3, 24, "DES-EDE3-CBC", true, false},
        oracle_case{"des3_ecb_16", CKM_DES3_ECB, CKK_DES3, 16, "DES-EDE-ECB", false, false},
        oracle_case{"des3_cbc_16", CKM_DES3_CBC, CKK_DES3, 16, "DES-EDE-CBC", true, false}),
    [](const ::testing::TestParamInfo<oracle_case>& i) { return std::string(i.param.name); });

// RC4 from one init continues the key stream; a size query leaves it alone.
TEST(Rc4, KeyStreamContinuesAndSizeQueryConsumesNothing) {
    const bytes key = from_hex("0123456789abcdef");
    auto ctx = context(CKM_RC4, nullptr, 0, secret(CKK_RC4, &key));
    ASSERT_EQ(ctx->encrypt_init(), CKR_OK);
    const bytes plain(16, 0);
    bytes a(16), b(16);
    uint32_t n = 0;
    ASSERT_EQ(ctx->encrypt_update(plain.data(), 16, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 16u);
    n = 16;
    ASSERT_EQ(ctx->encrypt_update(plain.data(), 16, a.data(), &n), CKR_OK);
    n = 16;
    ASSERT_EQ(ctx->encrypt_update(plain.data(), 16, b.data(), &n), CKR_OK);
    EXPECT_NE(a, b);
    bytes both(32, 0);
    EXPECT_EQ(openssl_cipher("RC4", key, {}, both, true), [&] {
        bytes x = a;
        x.insert(x.end(), b.begin(), b.end());
        return x;
    }());
    // The classic known answer: key and plain text 0123456789abcdef.
    auto kat = context(CKM_RC4, nullptr, 0, secret(CKK_RC4, &key));
    run_result r = one_shot(*kat, true, key);
    ASSERT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(r.out, from_hex("75b7878099e0c596"));
}

TEST(SoftCipherRules, ParametersKeysCapacityAndState) {
    const bytes key16 = random_bytes(16, 1);
    const bytes empty;
    // RC2-CBC takes exactly the host's CK_RC2_CBC_PARAMS; a 10-byte parameter is refused.
    uint8_t ten[10] = {};
    EXPECT_EQ(context(CKM_RC2_CBC, ten, sizeof ten, secret(CKK_RC2, &key16))->encrypt_init(),
              CKR_MECHANISM_PARAM_INVALID);
    uint8_t four[4] = {64, 0, 0, 0};
    EXPECT_EQ(context(CKM_RC2_ECB, four, sizeof four, secret(CKK_RC2, &key16))->encrypt_init(),
              CKR_MECHANISM_PARAM_INVALID);
    // DES3-CBC needs an 8-byte IV.
    const bytes key24 = random_bytes(24, 2);
    EXPECT_EQ(context(CKM_DES3_CBC, nullptr, 0, secret(CKK_DES3, &key24))->encrypt_init(),
              CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(context(CKM_DES3_CBC, four, sizeof four, secret(CKK_DES3, &key24))->decrypt_init(),
              CKR_MECHANISM_PARAM_INVALID);
    // Keys: empty RC2/RC4 keys, a DES3 key neither 16 nor 24 bytes, no value.
    EXPECT_EQ(context(CKM_RC2_ECB, nullptr, 0, secret(CKK_RC2, &empty))->encrypt_init(),
              CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(context(CKM_RC4, nullptr, 0, secret(CKK_RC4, &empty))->encrypt_init(),
              CKR_KEY_SIZE_RANGE);
    const bytes key8 = random_bytes(8, 3);
    EXPECT_EQ(context(CKM_DES3_ECB, nullptr, 0, secret(CKK_DES3, &key8))->encrypt_init(),
              CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(context(CKM_RC4, nullptr, 0, secret(CKK_RC4, nullptr))->encrypt_init(),
              CKR_ATTRIBUTE_TYPE_INVALID);

    // Without a key object (a digest initialisation) there is no context.
    EXPECT_EQ(context(CKM_DES3_ECB, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(context(CKM_RC4, nullptr, 0, nullptr), nullptr);

    // No operation initialised.
    for (CK_MECHANISM_TYPE m : {CKM_RC2_ECB, CKM_RC4, CKM_DES3_ECB}) {
        auto ctx = context(m, nullptr, 0,
                           secret(m == CKM_RC4        ? CKK_RC4
                                  : m == CKM_DES3_ECB ? CKK_DES3
                                                      : CKK_RC2,
                                  m == CKM_DES3_ECB ? &key24 : &key16));
        uint8_t out[32];
        uint32_t n = sizeof out;
        EXPECT_EQ(ctx->encrypt_update(key16.data(), 16, out, &n), CKR_OPERATION_NOT_INITIALIZED);
        EXPECT_EQ(ctx->encrypt(key16.data(), 16, out, &n), CKR_OPERATION_NOT_INITIALIZED);
        EXPECT_EQ(ctx->decrypt_final(out, &n), CKR_OPERATION_NOT_INITIALIZED);
        // Initialised for decryption: the encryption steps are not.
        ASSERT_EQ(ctx->decrypt_init(), CKR_OK);
        EXPECT_EQ(ctx->encrypt_update(key16.data(), 16, out, &n), CKR_OPERATION_NOT_INITIALIZED);
    }

    // Output capacity: 20 bytes in one RC2-ECB update need 16; 15 is too small
    // and keeps nothing; then 16 bytes come out, 4 stay and the final says so.
    auto ctx = context(CKM_RC2_ECB, nullptr, 0, secret(CKK_RC2, &key16));
    ASSERT_EQ(ctx->encrypt_init(), CKR_OK);
    const bytes twenty = random_bytes(20, 4);
    bytes out(24);
    uint32_t n = 15;
    EXPECT_EQ(ctx->encrypt_update(twenty.data(), 20, out.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 16u);
    n = 16;
    ASSERT_EQ(ctx->encrypt_update(twenty.data(), 20, out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 16u);
    // A one-shot step does not finish an operation that took updates.
    n = 24;
    EXPECT_EQ(ctx->encrypt(twenty.data(), 16, out.data(), &n), CKR_OPERATION_ACTIVE);
    n = 24;
    EXPECT_EQ(ctx->encrypt_final(out.data(), &n), CKR_DATA_LEN_RANGE);

    // One-shot of 16 bytes wants 24 bytes of room, writes 16.
    auto once = context(CKM_DES3_ECB, nullptr, 0, secret(CKK_DES3, &key24));
    ASSERT_EQ(once->encrypt_init(), CKR_OK);
    n = 16;
    EXPECT_EQ(once->encrypt(twenty.data(), 16, out.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 24u);
    n = 24;
    EXPECT_EQ(once->encrypt(twenty.data(), 16, out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 16u);

    // RC4 into a short buffer: the length, nothing of the stream used.
    auto rc4 = context(CKM_RC4, nullptr, 0, secret(CKK_RC4, &key16));
    ASSERT_EQ(rc4->encrypt_init(), CKR_OK);
    n = 19;
    EXPECT_EQ(rc4->encrypt_update(twenty.data(), 20, out.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 20u);
    n = 20;
    ASSERT_EQ(rc4->encrypt_update(twenty.data(), 20, out.data(), &n), CKR_OK);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 20), openssl_cipher("RC4", key16, {}, twenty, true));
}

// Interleaved DES3-CBC operations of two contexts give what each gives alone.
TEST(SoftCipherRules, InterleavedDes3CbcContextsKeepTheirOwnChain) {
    const bytes key = random_bytes(24, 9);
    const bytes iv1 = random_bytes(8, 10), iv2 = random_bytes(8, 11);
    const bytes p1 = random_bytes(64, 12), p2 = random_bytes(64, 13);
    auto a = context(CKM_DES3_CBC, iv1.data(), 8, secret(CKK_DES3, &key));
    auto b = context(CKM_DES3_CBC, iv2.data(), 8, secret(CKK_DES3, &key));
    ASSERT_EQ(a->encrypt_init(), CKR_OK);
    ASSERT_EQ(b->encrypt_init(), CKR_OK);
    bytes ca, cb;
    for (size_t at = 0; at < 64; at += 16) {
        uint8_t out[16];
        uint32_t n = 16;
        ASSERT_EQ(a->encrypt_update(p1.data() + at, 16, out, &n), CKR_OK);
        ca.insert(ca.end(), out, out + n);
        n = 16;
        ASSERT_EQ(b->encrypt_update(p2.data() + at, 16, out, &n), CKR_OK);
        cb.insert(cb.end(), out, out + n);
    }
    EXPECT_EQ(ca, openssl_cipher("DES-EDE3-CBC", key, iv1, p1, true));
    EXPECT_EQ(cb, openssl_cipher("DES-EDE3-CBC", key, iv2, p2, true));
}
