// The RSA formatting rules that need no card: PKCS#1 type-2 padding, ANSI
// X9.31 blocks and their check, and the key-context factory's RSA rows.
#include <gtest/gtest.h>

#include <vector>

#include "pkcs11_key_ctx.h"
#include "pkcs11_object.h"
#include "pkcs11_rsa.h"

namespace {

using bytes = std::vector<uint8_t>;

TEST(Pkcs1Type2Pad, BlockLayoutAndLengthLimit) {
    for (uint32_t k : {128u, 256u}) {
        for (uint32_t n : {0u, 1u, k - 11}) {
            SCOPED_TRACE(testing::Message() << k << "/" << n);
            const bytes data(n, 0xA5);
            bytes block(k, 0);
            ASSERT_EQ(pkcs1_type2_pad(block.data(), k, data.data(), n), CKR_OK);
            EXPECT_EQ(block[0], 0x00);
            EXPECT_EQ(block[1], 0x02);
            for (uint32_t i = 2; i < k - n - 1; ++i)
                ASSERT_NE(block[i], 0) << i;
            EXPECT_EQ(block[k - n - 1], 0x00);
            EXPECT_TRUE(std::equal(data.begin(), data.end(), block.end() - n));
        }
        bytes block(k);
        const bytes data(k - 10, 1);
        EXPECT_EQ(pkcs1_type2_pad(block.data(), k, data.data(), k - 10), CKR_DATA_LEN_RANGE);
    }
}

struct x931_case {
    uint32_t hash_id;
    uint32_t m;
    int trailer; // -1: none
};

TEST(X931, FormatThenCheckRoundTrips) {
    const x931_case cases[] = {{rsa_hash_none, 40, -1},     {rsa_hash_sha1, 20, 0x33},
                               {rsa_hash_sha256, 32, 0x34}, {rsa_hash_sha384, 48, 0x36},
                               {rsa_hash_sha512, 64, 0x35}, {rsa_hash_none, 126, -1}};
    const uint32_t k = 128;
    for (const x931_case& c : cases) {
        SCOPED_TRACE(c.m);
        bytes in(c.m);
        for (uint32_t i = 0; i < c.m; ++i)
            in[i] = static_cast<uint8_t>(i * 3 + 1);
        bytes block(k);
        ASSERT_EQ(x931_format(block.data(), k, in.data(), c.m, c.hash_id), CKR_OK);
        EXPECT_EQ(block.back(), 0xCC);
        const uint32_t total = c.m + (c.trailer >= 0 ? 1 : 0);
        if (total == k - 2) {
            EXPECT_EQ(block[0], 0x6A);
        } else {
            EXPECT_EQ(block[0], 0x6B);
            EXPECT_EQ(block[k - total - 2], 0xBA);
        }
        if (c.trailer >= 0) {
            EXPECT_EQ(block[k - 2], c.trailer);
        }
        uint32_t offset = 0, length = 0;
        ASSERT_EQ(x931_check(block.data(), k, offset, length), CKR_OK);
        EXPECT_EQ(length, total);
        EXPECT_TRUE(std::equal(in.begin(), in.end(), block.begin() + offset));
    }
}

TEST(X931, EdgeLengthsAndMalformedBlocks) {
    const uint32_t k = 128;
    bytes block(k);
    bytes in(k, 7);
    // k - 1 bytes do not fit.
    EXPECT_EQ(x931_format(block.data(), k, in.data(), k - 1, rsa_hash_none), CKR_DATA_INVALID);
    // k - 3 bytes: 6B BA data CC, which the check refuses (no BB before BA).
    ASSERT_EQ(x931_format(block.data(), k, in.data(), k - 3, rsa_hash_none), CKR_OK);
    EXPECT_EQ(block[0], 0x6B);
    EXPECT_EQ(block[1], 0xBA);
    uint32_t offset = 0, length = 0;
    EXPECT_EQ(x931_check(block.data(), k, offset, length), CKR_DATA_INVALID);
    // Wrong header, a stray byte in the padding, a missing trailer.
    ASSERT_EQ(x931_format(block.data(), k, in.data(), 20, rsa_hash_none), CKR_OK);
    bytes bad = block;
    bad[0] = 0x6C;
    EXPECT_EQ(x931_check(bad.data(), k, offset, length), CKR_DATA_INVALID);
    bad = block;
    bad[5] = 0x00;
    EXPECT_EQ(x931_check(bad.data(), k, offset, length), CKR_DATA_INVALID);
    bad = block;
    bad[k - 1] = 0xCD;
    EXPECT_EQ(x931_check(bad.data(), k, offset, length), CKR_DATA_INVALID);
    // All padding, no end marker.
    bytes all_bb(k, 0xBB);
    all_bb[0] = 0x6B;
    EXPECT_EQ(x931_check(all_bb.data(), k, offset, length), CKR_DATA_INVALID);
}

std::shared_ptr<pkcs11_object> key_object(bool token, uint32_t object_class) {
    const uint8_t flag = token ? 1 : 0;
    const inner_attribute t[] = {{CKA_CLASS, &object_class, 4},
                                 {CKA_TOKEN, const_cast<uint8_t*>(&flag), 1}};
    return pkcs11_object::create(0, object_class, t, 2);
}

TEST(RsaFactory, TokenKeyPreconditionAndClasses) {
    const auto session_key = key_object(false, CKO_PRIVATE_KEY);
    const auto token_key = key_object(true, CKO_PRIVATE_KEY);
    ASSERT_NE(session_key, nullptr);
    const CK_MECHANISM_TYPE token_only[] = {
        CKM_RSA_PKCS,        CKM_MD5_RSA_PKCS,    CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS,
        CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS, CKM_RSA_X9_31};
    for (CK_MECHANISM_TYPE type : token_only) {
        SCOPED_TRACE(type);
        CK_MECHANISM m{type, nullptr, 0};
        EXPECT_EQ(key_ctx_create(m, session_key, nullptr, 0), nullptr);
        EXPECT_NE(key_ctx_create(m, token_key, nullptr, 0), nullptr);
    }
    for (CK_MECHANISM_TYPE type : {CKM_RSA_X_509, CKM_SHA1_RSA_X9_31}) {
        CK_MECHANISM m{type, nullptr, 0};
        EXPECT_NE(key_ctx_create(m, session_key, nullptr, 0), nullptr);
    }
    // Card-backed contexts answer what their mechanism cannot do with CKR_MECHANISM_INVALID.
    CK_MECHANISM sha{CKM_SHA256_RSA_PKCS, nullptr, 0};
    auto ctx = key_ctx_create(sha, token_key, nullptr, 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->decrypt_init(), CKR_MECHANISM_INVALID);
    uint8_t out[8];
    uint32_t out_len = sizeof out;
    EXPECT_EQ(ctx->wrap_key(*token_key, out, &out_len), CKR_MECHANISM_INVALID);
    // Raw RSA offers no key management.
    CK_MECHANISM raw{CKM_RSA_X_509, nullptr, 0};
    auto raw_ctx = key_ctx_create(raw, token_key, nullptr, 0);
    ASSERT_NE(raw_ctx, nullptr);
    EXPECT_EQ(raw_ctx->generate_key_pair(*token_key, *token_key), CKR_FUNCTION_NOT_SUPPORTED);
    // An update before any init.
    EXPECT_EQ(raw_ctx->sign_update(out, 1), CKR_OPERATION_NOT_INITIALIZED);
}

TEST(RsaFactory, WrongKeyClassAtInitChangesNothing) {
    const auto pub = key_object(true, CKO_PUBLIC_KEY);
    const size_t before = pub->attributes().size();
    CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
    auto ctx = key_ctx_create(m, pub, nullptr, 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->sign_init(), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(ctx->decrypt_init(), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_FALSE(ctx->active());
    EXPECT_EQ(pub->attributes().size(), before);
}

// Digests run on the token's card (their answers are checked against OpenSSL
// in the symmetric-crypto tests): without a token there is nothing to hash on,
// and the factory makes no context rather than one that fails later.
TEST(CardDigest, NoContextWithoutAToken) {
    for (CK_MECHANISM_TYPE type :
         {CKM_MD5, CKM_SHA_1, CKM_SHA256, CKM_SHA384, CKM_SHA512, CKM_SHA1_KEY_DERIVATION}) {
        CK_MECHANISM m{type, nullptr, 0};
        EXPECT_EQ(key_ctx_create(m, nullptr, nullptr, 0), nullptr) << type;
    }
}

} // namespace
