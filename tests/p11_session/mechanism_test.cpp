// The mechanism table as C_GetMechanismList and C_GetMechanismInfo report it,
// on a token injected into the process-wide core.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "library_initialised.h"
#include "pkcs11_core.h"
#include "pkcs11_key_ctx.h"
#include "pkcs11_mechanism.h"
#include "pkcs11_object.h"
#include "test_templates.h"

namespace {

// {type, min, max, flags} as PKCS#11 v2.20 numbers, in the order the token lists them.
struct row {
    CK_MECHANISM_TYPE type;
    CK_ULONG min, max;
    CK_FLAGS flags;
};
const row expected[] = {
    {0x0, 1024, 2048, 0x10001},    {0x1, 1024, 2048, 0x62B01},      {0x3, 1024, 2048, 0x2B01},
    {0x6, 1024, 2048, 0x2801},     {0xA, 1024, 2048, 0x10001},      {0xB, 1024, 2048, 0x2801},
    {0xC, 1024, 2048, 0x2801},     {0x40, 1024, 2048, 0x2801},      {0x41, 1024, 2048, 0x2801},
    {0x42, 1024, 2048, 0x2801},    {0x5, 1024, 2048, 0x2801},       {0x210, 128, 128, 0x401},
    {0x220, 160, 160, 0x401},      {0x250, 256, 256, 0x401},        {0x260, 384, 384, 0x401},
    {0x270, 512, 512, 0x401},      {0x120, 64, 64, 0x8001},         {0x121, 64, 64, 0x60301},
    {0x122, 64, 64, 0x60301},      {0x125, 64, 64, 0x60301},        {0x131, 192, 192, 0x8001},
    {0x132, 192, 192, 0x60301},    {0x133, 192, 192, 0x60301},      {0x136, 192, 192, 0x60301},
    {0x1080, 16, 32, 0x8001},      {0x1081, 16, 32, 0x60301},       {0x1082, 16, 32, 0x60301},
    {0x1085, 16, 32, 0x60301},     {0x100, 8, 1024, 0x8000},        {0x101, 1, 1024, 0x300},
    {0x102, 1, 1024, 0x300},       {0x110, 8, 2048, 0x8000},        {0x111, 8, 2048, 0x300},
    {0x390, 128, 128, 0x80000},    {0x392, 160, 160, 0x80000},      {0x393, 256, 256, 0x80000},
    {0x395, 512, 512, 0x80000},    {0x83000000, 256, 256, 0x12B01}, {0x83000001, 256, 256, 0x2801},
    {0x83000100, 16, 16, 0x8001},  {0x83000101, 16, 16, 0x60301},   {0x83000102, 16, 16, 0x60301},
    {0x83000103, 16, 16, 0x60301}, {0x83000300, 256, 256, 0x80401}, {0x83000400, 16, 16, 0x8001},
    {0x83000401, 16, 16, 0x60301}, {0x83000402, 16, 16, 0x60301},   {0x83000403, 16, 16, 0x60301},
};
static_assert(std::size(expected) == 48);

class Mechanisms : public ::testing::Test {
  protected:
    void SetUp() override {
        static int n = 0;
        const std::string name = "mechanism test reader " + std::to_string(n++);
        int32_t slot_id = -1;
        bool created = false;
        token = pkcs11_core().token_mgr().find_or_add_token(name.c_str(), &slot_id, &created);
        ASSERT_NE(token, nullptr);
        slot = static_cast<CK_SLOT_ID>(slot_id);
    }
    void TearDown() override { pkcs11_core().token_mgr().remove_token(token); }
    pkcs11_token* token = nullptr;
    CK_SLOT_ID slot = 0;
};

TEST_F(Mechanisms, ListHasAll48InTableOrderAtFullWidth) {
    CK_ULONG count = ~0UL;
    ASSERT_EQ(C_GetMechanismList(slot, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 48u);
    std::vector<CK_MECHANISM_TYPE> list(48, ~0UL);
    ASSERT_EQ(C_GetMechanismList(slot, list.data(), &count), CKR_OK);
    for (size_t i = 0; i < 48; ++i)
        EXPECT_EQ(list[i], expected[i].type) << "row " << i + 1;
}

TEST_F(Mechanisms, ShortBufferGetsCountAndBufferTooSmall) {
    std::vector<CK_MECHANISM_TYPE> list(47, 0x5A5A);
    CK_ULONG count = 47;
    EXPECT_EQ(C_GetMechanismList(slot, list.data(), &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 48u);
    EXPECT_EQ(list[0], 0x5A5Au); // nothing written
}

TEST_F(Mechanisms, InfoForEveryRow) {
    for (const row& r : expected) {
        CK_MECHANISM_INFO info{~0UL, ~0UL, ~0UL};
        ASSERT_EQ(C_GetMechanismInfo(slot, r.type, &info), CKR_OK) << std::hex << r.type;
        EXPECT_EQ(info.ulMinKeySize, r.min) << std::hex << r.type;
        EXPECT_EQ(info.ulMaxKeySize, r.max) << std::hex << r.type;
        EXPECT_EQ(info.flags, r.flags) << std::hex << r.type;
    }
}

TEST_F(Mechanisms, SoftwareAndDerivationRowsCarryNoHardwareFlag) {
    for (const row& r : expected) {
        CK_MECHANISM_INFO info{};
        ASSERT_EQ(C_GetMechanismInfo(slot, r.type, &info), CKR_OK);
        const bool software =
            (r.type >= 0x100 && r.type <= 0x111) || (r.type >= 0x390 && r.type <= 0x395);
        EXPECT_EQ((info.flags & CKF_HW) == 0, software) << std::hex << r.type;
    }
}

TEST_F(Mechanisms, UnknownTypesAndBadArguments) {
    CK_MECHANISM_INFO info{};
    const CK_MECHANISM_TYPE unknown[] = {CKM_SHA384_KEY_DERIVATION,
                                         0x2 /* RSA 9796 */,
                                         (CK_MECHANISM_TYPE{1} << 32) | CKM_RSA_PKCS,
                                         (CK_MECHANISM_TYPE{1} << 32) | CKM_SHA384,
                                         0x83000404,
                                         ~0UL};
    for (CK_MECHANISM_TYPE t : unknown)
        EXPECT_EQ(C_GetMechanismInfo(slot, t, &info), CKR_MECHANISM_INVALID) << std::hex << t;
    EXPECT_EQ(C_GetMechanismInfo(slot, CKM_RSA_PKCS, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetMechanismList(slot, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    CK_ULONG count = 0;
    for (CK_SLOT_ID bad : {slot + 1000, (CK_SLOT_ID{1} << 32) | slot, ~0UL}) {
        EXPECT_EQ(C_GetMechanismList(bad, nullptr, &count), CKR_SLOT_ID_INVALID);
        EXPECT_EQ(C_GetMechanismInfo(bad, CKM_RSA_PKCS, &info), CKR_SLOT_ID_INVALID);
    }
}

// ---- the one table: list, info and routes agree ----

TEST_F(Mechanisms, InfoOfEveryTableRowIsItsRow) {
    std::set<uint32_t> types;
    for (const mechanism_row& r : mechanism_table) {
        EXPECT_TRUE(types.insert(r.type).second) << "listed twice: " << std::hex << r.type;
        CK_MECHANISM_INFO info{~0UL, ~0UL, ~0UL};
        ASSERT_EQ(C_GetMechanismInfo(slot, r.type, &info), CKR_OK) << std::hex << r.type;
        EXPECT_EQ(info.ulMinKeySize, r.min_key_size) << std::hex << r.type;
        EXPECT_EQ(info.ulMaxKeySize, r.max_key_size) << std::hex << r.type;
        EXPECT_EQ(info.flags, r.flags) << std::hex << r.type;
    }
}

std::shared_ptr<pkcs11_object> key_for(key_ctx_precondition pre) {
    inner_builder b;
    b.u32(CKA_CLASS, CKO_SECRET_KEY).u32(CKA_KEY_TYPE, CKK_GENERIC_SECRET);
    b.flag(CKA_TOKEN, pre == key_ctx_precondition::token_key);
    CK_RV rv = CKR_OK;
    auto o = pkcs11_object::create(0, CKO_SECRET_KEY, b.data(), b.size(), &rv);
    EXPECT_EQ(rv, CKR_OK);
    return o;
}

// Every listed mechanism has a route the factory makes a context of (a key
// that meets the row's precondition, the token at hand), and every kind of
// context is some row's route.
TEST_F(Mechanisms, EveryListedMechanismHasARouteTheFactoryMakes) {
    std::set<key_ctx_kind> kinds;
    for (const mechanism_row& r : mechanism_table) {
        const auto route = key_ctx_route_for(r.type);
        ASSERT_TRUE(route.has_value()) << std::hex << r.type;
        EXPECT_EQ(route->kind, r.route.kind) << std::hex << r.type;
        EXPECT_EQ(route->precondition, r.route.precondition) << std::hex << r.type;
        kinds.insert(r.route.kind);
        CK_MECHANISM m{r.type, nullptr, 0};
        const auto ctx = key_ctx_create(m, key_for(r.route.precondition), token, 0);
        ASSERT_NE(ctx, nullptr) << std::hex << r.type;
        EXPECT_EQ(ctx->mechanism_type(), r.type);
    }
    EXPECT_EQ(kinds.size(), key_ctx_kind_count);
}

// The session refuses an init its mechanism's row does not flag; the context
// that row routes to must not answer success without a result either. For
// every row and every operation its flags lack, once that operation's init
// went through (on a listed key of the class the operation takes), what an
// application runs next (update then final, or the one-shot call, with a
// 512-byte buffer) ends in an error, or in success with the length written.
// A verification has no output: its success says "valid".
TEST_F(Mechanisms, NoContextAnswersSuccessWithoutOutputForAnOperationItsRowDoesNotFlag) {
    using init = CK_RV (pkcs11_key_ctx::*)();
    using step = std::function<CK_RV(pkcs11_key_ctx&, uint8_t*, uint32_t*)>;
    static const uint8_t in[16] = {};
    struct operation {
        const char* name;
        CK_FLAGS flag;
        uint32_t key_class;
        init begin;
        std::vector<std::vector<step>> runs; // each run: its steps in order
    };
    const step encrypt_update = [](auto& c, auto* out, auto* len) {
        return c.encrypt_update(in, 16, out, len);
    };
    const step decrypt_update = [](auto& c, auto* out, auto* len) {
        return c.decrypt_update(in, 16, out, len);
    };
    const operation operations[] = {
        {"encrypt",
         CKF_ENCRYPT,
         CKO_PUBLIC_KEY,
         &pkcs11_key_ctx::encrypt_init,
         {{encrypt_update},
          {[](auto& c, auto* out, auto* len) { return c.encrypt_final(out, len); }},
          {[](auto& c, auto* out, auto* len) { return c.encrypt(in, 16, out, len); }}}},
        {"decrypt",
         CKF_DECRYPT,
         CKO_PRIVATE_KEY,
         &pkcs11_key_ctx::decrypt_init,
         {{decrypt_update},
          {[](auto& c, auto* out, auto* len) { return c.decrypt_final(out, len); }},
          {[](auto& c, auto* out, auto* len) { return c.decrypt(in, 16, out, len); }}}},
        {"digest",
         CKF_DIGEST,
         CKO_SECRET_KEY,
         &pkcs11_key_ctx::digest_init,
         {{[](auto& c, auto*, auto*) { return c.digest_update(in, 16); },
           [](auto& c, auto* out, auto* len) { return c.digest_final(out, len); }},
          {[](auto& c, auto* out, auto* len) { return c.digest(in, 16, out, len); }}}},
        {"sign",
         CKF_SIGN,
         CKO_PRIVATE_KEY,
         &pkcs11_key_ctx::sign_init,
         {{[](auto& c, auto*, auto*) { return c.sign_update(in, 16); },
           [](auto& c, auto* out, auto* len) { return c.sign_final(out, len); }},
          {[](auto& c, auto* out, auto* len) { return c.sign(in, 16, out, len); }}}},
        {"verify",
         CKF_VERIFY,
         CKO_PUBLIC_KEY,
         &pkcs11_key_ctx::verify_init,
         {{[](auto& c, auto*, auto*) { return c.verify_update(in, 16); },
           [](auto& c, auto* out, auto*) { return c.verify_final(out, 64); }},
          {[](auto& c, auto* out, auto*) { return c.verify(in, 16, out, 64); }}}},
    };
    size_t begun = 0;
    for (const mechanism_row& r : mechanism_table) {
        for (const operation& op : operations) {
            if ((r.flags & op.flag) != 0) continue;
            for (size_t i = 0; i < op.runs.size(); ++i) {
                inner_builder b;
                b.u32(CKA_CLASS, op.key_class).raw(CKA_VALUE, std::vector<uint8_t>(24, 7));
                b.flag(CKA_TOKEN, r.route.precondition == key_ctx_precondition::token_key);
                CK_RV rv = CKR_OK;
                auto key = pkcs11_object::create(0, op.key_class, b.data(), b.size(), &rv);
                ASSERT_EQ(rv, CKR_OK);
                token->objects().add(key);
                CK_MECHANISM m{r.type, nullptr, 0};
                const auto ctx = key_ctx_create(m, key, token, 0);
                ASSERT_NE(ctx, nullptr) << std::hex << r.type;
                if (((*ctx).*op.begin)() != CKR_OK) continue; // refused at its init
                ++begun;
                std::vector<uint8_t> out(512, 0x5A);
                uint32_t len = 512;
                for (const step& s : op.runs[i])
                    if ((rv = s(*ctx, out.data(), &len)) != CKR_OK) break;
                EXPECT_TRUE(rv != CKR_OK || len != 512)
                    << std::hex << r.type << " " << op.name << " run " << i;
            }
        }
    }
    EXPECT_GT(begun, 300u); // most contexts begin an operation they cannot run
}

// Every routed mechanism is listed: across the standard range and the vendor
// range, a type has a route exactly when C_GetMechanismInfo knows it.
TEST_F(Mechanisms, EveryRoutedMechanismIsListed) {
    size_t routed = 0;
    const auto sweep = [&](CK_MECHANISM_TYPE from, CK_MECHANISM_TYPE to) {
        for (CK_MECHANISM_TYPE t = from; t < to; ++t) {
            CK_MECHANISM_INFO info{};
            const bool listed = C_GetMechanismInfo(slot, t, &info) == CKR_OK;
            const bool has_route = key_ctx_route_for(t).has_value();
            EXPECT_EQ(has_route, listed) << std::hex << t;
            routed += has_route ? 1 : 0;
        }
    };
    sweep(0, 0x2000);
    sweep(0x83000000, 0x83000800);
    EXPECT_EQ(routed, mechanism_count);
}

// The digest kinds: the table is indexed by kind, mbed TLS's digests have the
// length the card's do, and the card's hash identifiers lead back to their kind.
TEST(DigestTable, KindsAndCardHashIdentifiersAgree) {
    for (const digest_row& d : digest_table) {
        EXPECT_EQ(&digest_info(d.kind), &d);
        EXPECT_EQ(digest_by_hash_id(d.hash_id), &d);
        if (d.md == MBEDTLS_MD_NONE) continue;
        const mbedtls_md_info_t* md = mbedtls_md_info_from_type(d.md);
        ASSERT_NE(md, nullptr);
        EXPECT_EQ(mbedtls_md_get_size(md), d.length);
    }
    EXPECT_EQ(digest_by_hash_id(3), nullptr);
}

} // namespace
