// The key-context base: its buffer, its default answers, and the factory's
// routing of mechanisms to context classes with their key preconditions.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <vector>

#include "pkcs11_key_ctx.h"
#include "pkcs11_object.h"
#include "test_templates.h"

namespace {

TEST(KeyCtxBuffer, GrowsKeepsOrderAndMovesUnreadBytesFirst) {
    key_ctx_buffer b;
    const uint8_t three[] = {1, 2, 3};
    EXPECT_EQ(b.append(three, 3), 3u);
    EXPECT_EQ(b.capacity(), 6u);
    uint8_t out[16] = {};
    EXPECT_EQ(b.take(out, 2), 2u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 2);
    std::vector<uint8_t> ten(10);
    std::iota(ten.begin(), ten.end(), 10);
    EXPECT_EQ(b.append(ten.data(), 10), 10u);
    ASSERT_EQ(b.unread(), 11u);
    EXPECT_EQ(b.take(out, 99), 11u); // cut to what is unread
    EXPECT_EQ(out[0], 3);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(out[1 + i], 10 + i);
    EXPECT_EQ(b.take(out, 1), 0u);
    b.clear();
    EXPECT_EQ(b.capacity(), 0u);
    EXPECT_EQ(b.data(), nullptr);
}

TEST(KeyCtxBuffer, TakeWithoutOutputDropsBytes) {
    key_ctx_buffer b;
    const uint8_t data[] = {7, 8, 9};
    b.append(data, 3);
    EXPECT_EQ(b.take(nullptr, 2), 2u);
    ASSERT_EQ(b.unread(), 1u);
    EXPECT_EQ(b.data()[0], 9);
}

std::shared_ptr<pkcs11_object> key_object(std::optional<std::vector<uint8_t>> token_value) {
    inner_builder b;
    b.u32(CKA_CLASS, CKO_SECRET_KEY).u32(CKA_KEY_TYPE, CKK_GENERIC_SECRET);
    if (token_value) b.raw(CKA_TOKEN, *token_value);
    CK_RV rv = CKR_OK;
    auto o = pkcs11_object::create(0, CKO_SECRET_KEY, b.data(), b.size(), &rv);
    EXPECT_EQ(rv, CKR_OK);
    return o;
}

// The base class as a subclass that adds nothing sees it.
class plain_ctx : public pkcs11_key_ctx {
  public:
    explicit plain_ctx(const CK_MECHANISM& m) : pkcs11_key_ctx(m, nullptr, nullptr) {}
};

// Every step of the base, after its family's init succeeded: an error, and
// the caller's output and length untouched. Success there would leave the
// buffer and its length looking like a result.
TEST(KeyCtxBase, StepsItDoesNotImplementAnswerAnErrorAndWriteNothing) {
    using init = CK_RV (pkcs11_key_ctx::*)();
    using step = std::function<CK_RV(pkcs11_key_ctx&, uint8_t*, uint32_t*)>;
    static const uint8_t in[4] = {1, 2, 3, 4};
    const auto other = key_object(std::vector<uint8_t>{0});
    struct step_case {
        const char* what;
        init begin;
        step run;
    };
    const step_case cases[] = {
        {"encrypt_update", &pkcs11_key_ctx::encrypt_init,
         [](auto& c, auto* out, auto* len) { return c.encrypt_update(in, 4, out, len); }},
        {"encrypt_final", &pkcs11_key_ctx::encrypt_init,
         [](auto& c, auto* out, auto* len) { return c.encrypt_final(out, len); }},
        {"encrypt", &pkcs11_key_ctx::encrypt_init,
         [](auto& c, auto* out, auto* len) { return c.encrypt(in, 4, out, len); }},
        {"decrypt_update", &pkcs11_key_ctx::decrypt_init,
         [](auto& c, auto* out, auto* len) { return c.decrypt_update(in, 4, out, len); }},
        {"decrypt_final", &pkcs11_key_ctx::decrypt_init,
         [](auto& c, auto* out, auto* len) { return c.decrypt_final(out, len); }},
        {"decrypt", &pkcs11_key_ctx::decrypt_init,
         [](auto& c, auto* out, auto* len) { return c.decrypt(in, 4, out, len); }},
        {"digest_update", &pkcs11_key_ctx::digest_init,
         [](auto& c, auto*, auto*) { return c.digest_update(in, 4); }},
        {"digest_final", &pkcs11_key_ctx::digest_init,
         [](auto& c, auto* out, auto* len) { return c.digest_final(out, len); }},
        {"digest", &pkcs11_key_ctx::digest_init,
         [](auto& c, auto* out, auto* len) { return c.digest(in, 4, out, len); }},
        {"sign_update", &pkcs11_key_ctx::sign_init,
         [](auto& c, auto*, auto*) { return c.sign_update(in, 4); }},
        {"sign_final", &pkcs11_key_ctx::sign_init,
         [](auto& c, auto* out, auto* len) { return c.sign_final(out, len); }},
        {"sign", &pkcs11_key_ctx::sign_init,
         [](auto& c, auto* out, auto* len) { return c.sign(in, 4, out, len); }},
        {"verify_update", &pkcs11_key_ctx::verify_init,
         [](auto& c, auto*, auto*) { return c.verify_update(in, 4); }},
        {"verify_final", &pkcs11_key_ctx::verify_init,
         [](auto& c, auto* out, auto*) { return c.verify_final(out, 8); }},
        {"verify", &pkcs11_key_ctx::verify_init,
         [](auto& c, auto* out, auto*) { return c.verify(in, 4, out, 8); }},
        {"generate_key", nullptr, [](auto& c, auto*, auto*) { return c.generate_key(); }},
        {"generate_key_pair", nullptr,
         [&](auto& c, auto*, auto*) { return c.generate_key_pair(*other, *other); }},
        {"wrap_key", nullptr,
         [&](auto& c, auto* out, auto* len) { return c.wrap_key(*other, out, len); }},
        {"unwrap_key", nullptr, [&](auto& c, auto*, auto*) { return c.unwrap_key(in, 4, *other); }},
        {"derive_key", nullptr, [&](auto& c, auto*, auto*) { return c.derive_key(*other); }},
    };
    CK_MECHANISM m{CKM_AES_ECB, nullptr, 0};
    for (const step_case& c : cases) {
        plain_ctx ctx(m);
        if (c.begin != nullptr) {
            ASSERT_EQ((ctx.*c.begin)(), CKR_OK) << c.what;
        }
        std::vector<uint8_t> out(512, 0x5A);
        uint32_t len = 512;
        EXPECT_EQ(c.run(ctx, out.data(), &len), CKR_FUNCTION_NOT_SUPPORTED) << c.what;
        EXPECT_EQ(len, 512u) << c.what;
        EXPECT_EQ(out, std::vector<uint8_t>(512, 0x5A)) << c.what;
    }
}

// The life of an operation as every class keeps it (here the library's SM3).
TEST(KeyCtxBase, FinalEndsTheOperationAndUpdateAfterItIsRefused) {
    CK_MECHANISM m{ZELT_CKM_SM3, nullptr, 0};
    const auto c = key_ctx_create(m, nullptr, nullptr, 0);
    ASSERT_NE(c, nullptr);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(c->digest_update(data, 3), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(c->digest_init(), CKR_OK);
    EXPECT_TRUE(c->active());
    EXPECT_EQ(c->digest_update(data, 3), CKR_OK);
    uint8_t out[32];
    uint32_t len = sizeof out;
    EXPECT_EQ(c->digest_final(out, &len), CKR_OK);
    EXPECT_TRUE(c->finished());
    EXPECT_FALSE(c->active());
    EXPECT_EQ(c->digest_update(data, 3), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(c->digest_init(), CKR_OK); // a new init starts again
    EXPECT_EQ(c->digest_update(data, 3), CKR_OK);
}

TEST(KeyCtxBase, ParameterIsCopiedAtConstruction) {
    uint8_t iv[16];
    std::iota(iv, iv + 16, 0);
    auto* m = new CK_MECHANISM{CKM_AES_CBC, iv, sizeof iv};
    plain_ctx c(*m);
    delete m;
    iv[0] = 0xEE; // the caller's buffer changes or goes away after init
    ASSERT_EQ(c.parameter().size(), 16u);
    EXPECT_EQ(c.parameter()[0], 0);
    EXPECT_EQ(c.parameter()[15], 15);
    EXPECT_EQ(c.mechanism_type(), CKM_AES_CBC);
}

TEST(KeyCtxFactory, RoutesAndPreconditions) {
    struct route_case {
        CK_MECHANISM_TYPE type;
        bool routed;
        key_ctx_kind kind;
        key_ctx_precondition pre;
    };
    const route_case cases[] = {
        {CKM_RSA_PKCS, true, key_ctx_kind::rsa_pkcs, key_ctx_precondition::token_key},
        {CKM_RSA_X_509, true, key_ctx_kind::rsa_raw, key_ctx_precondition::none},
        {CKM_SHA384_RSA_PKCS, true, key_ctx_kind::shax_rsa_pkcs, key_ctx_precondition::token_key},
        {CKM_RC4, true, key_ctx_kind::soft_rc4, key_ctx_precondition::not_token_key},
        {CKM_DES3_CBC_PAD, true, key_ctx_kind::device_symmetric, key_ctx_precondition::none},
        {CKM_DES3_CBC, true, key_ctx_kind::soft_des3, key_ctx_precondition::none},
        {CKM_SHA384, true, key_ctx_kind::device_hash, key_ctx_precondition::none},
        {ZELT_CKM_SM3, true, key_ctx_kind::soft_sm3, key_ctx_precondition::none},
        {ZELT_CKM_SM4_CBC_PAD, true, key_ctx_kind::device_symmetric, key_ctx_precondition::none},
        {CKM_SHA384_KEY_DERIVATION, false, {}, {}},
        {0x2 /* CKM_RSA_9796 */, false, {}, {}},
        {0x4 /* CKM_MD2_RSA_PKCS */, false, {}, {}},
        {(CK_MECHANISM_TYPE{1} << 32) | CKM_RSA_PKCS, false, {}, {}},
    };
    for (const route_case& c : cases) {
        const auto r = key_ctx_route_for(c.type);
        ASSERT_EQ(r.has_value(), c.routed) << std::hex << c.type;
        if (!r) continue;
        EXPECT_EQ(r->kind, c.kind) << std::hex << c.type;
        EXPECT_EQ(r->precondition, c.pre) << std::hex << c.type;
    }
}

TEST(KeyCtxFactory, TokenKeyIsAOneByteTrueCkaToken) {
    const auto token_key = key_object(std::vector<uint8_t>{1});
    const auto session_key = key_object(std::vector<uint8_t>{0});
    const auto no_flag = key_object(std::nullopt);
    const auto long_flag = key_object(std::vector<uint8_t>{1, 0});
    using p = key_ctx_precondition;
    EXPECT_TRUE(key_ctx_precondition_met(p::token_key, token_key.get()));
    EXPECT_FALSE(key_ctx_precondition_met(p::token_key, session_key.get()));
    EXPECT_FALSE(key_ctx_precondition_met(p::token_key, no_flag.get()));
    EXPECT_FALSE(key_ctx_precondition_met(p::token_key, long_flag.get()));
    EXPECT_FALSE(key_ctx_precondition_met(p::not_token_key, token_key.get()));
    EXPECT_TRUE(key_ctx_precondition_met(p::not_token_key, session_key.get()));
    // Without a key object a precondition on CKA_TOKEN is not met.
    EXPECT_FALSE(key_ctx_precondition_met(p::token_key, nullptr));
    EXPECT_FALSE(key_ctx_precondition_met(p::not_token_key, nullptr));
    EXPECT_TRUE(key_ctx_precondition_met(p::none, nullptr));
}

// Whatever context classes the module has, a key that fails the row's
// precondition and a mechanism outside the table get none.
TEST(KeyCtxFactory, NoContextForAFailedPreconditionOrAnUnroutedMechanism) {
    const auto session_key = key_object(std::vector<uint8_t>{0});
    const auto token_key = key_object(std::vector<uint8_t>{1});
    struct create_case {
        CK_MECHANISM_TYPE type;
        std::shared_ptr<pkcs11_object> key;
    };
    const create_case cases[] = {
        {CKM_RSA_PKCS, session_key},
        {CKM_SHA256_RSA_PKCS, session_key},
        {CKM_RSA_X9_31, nullptr},
        {CKM_RC2_CBC, token_key},
        {CKM_RC4, token_key},
        {CKM_SHA384_KEY_DERIVATION, session_key},
        {0x2 /* RSA 9796 */, token_key},
        {(CK_MECHANISM_TYPE{1} << 32) | CKM_SHA_1, nullptr},
    };
    for (const create_case& c : cases) {
        CK_MECHANISM m{c.type, nullptr, 0};
        EXPECT_EQ(key_ctx_create(m, c.key, nullptr, 0), nullptr) << std::hex << c.type;
    }
}

} // namespace
