// Objects: class defaults, creation from a template, the modification and
// read rules, storage kinds and access levels, the object stream.
#include <gtest/gtest.h>

#include <set>

#include "pkcs11_object.h"
#include "test_templates.h"

namespace {

std::shared_ptr<pkcs11_object> from_template(inner_builder& b, uint32_t level, CK_RV& rv) {
    return pkcs11_object::create_from_template(7, level, b.data(), b.size(), rv);
}

TEST(Object, ClassDefaultsThenTemplate) {
    inner_builder b;
    b.u32(CKA_CLASS, CKO_DATA).text(CKA_APPLICATION, "app");
    CK_RV rv = CKR_GENERAL_ERROR;
    auto o = from_template(b, 1, rv);
    ASSERT_EQ(rv, CKR_OK);
    const auto& r = o->attributes().records();
    // Defaults in their order; the caller's CKA_APPLICATION replaced the default in place.
    const uint32_t order[] = {CKA_CLASS,      CKA_TOKEN,       CKA_LABEL,    CKA_PRIVATE,
                              CKA_MODIFIABLE, CKA_APPLICATION, CKA_OBJECT_ID};
    ASSERT_EQ(r.size(), std::size(order));
    for (size_t i = 0; i < r.size(); ++i)
        EXPECT_EQ(r[i].type, order[i]);
    EXPECT_EQ(o->attributes().find(CKA_LABEL)->length(), 14u); // "A data object" with its NUL
    EXPECT_EQ(o->attributes().find(CKA_APPLICATION)->length(), 3u);
    EXPECT_EQ(o->owner_session(), 7u);

    inner_builder cert;
    cert.u32(CKA_CLASS, CKO_CERTIFICATE).raw(CKA_VALUE, {0x30, 0});
    auto c = from_template(cert, 0, rv);
    ASSERT_EQ(rv, CKR_OK);
    EXPECT_EQ(c->object_storage_kind(), storage_public_session);
    EXPECT_TRUE(c->attributes().flag(CKA_TRUSTED));
    EXPECT_EQ(c->attributes().find(CKA_KEY_TYPE)->as_u32(), 0u);
}

TEST(Object, CreationFailures) {
    struct create_case {
        const char* name;
        std::function<void(inner_builder&)> fill;
        uint32_t level;
        CK_RV expected;
    } const cases[] = {
        {"no class", [](inner_builder& b) { b.text(CKA_LABEL, "x"); }, 3, CKR_TEMPLATE_INCOMPLETE},
        {"class of 8 bytes inside",
         [](inner_builder& b) { b.raw(CKA_CLASS, std::vector<uint8_t>(8, 0)); }, 3,
         CKR_TEMPLATE_INCOMPLETE},
        {"hardware feature", [](inner_builder& b) { b.u32(CKA_CLASS, CKO_HW_FEATURE); }, 3,
         CKR_TEMPLATE_INCOMPLETE},
        {"vendor class", [](inner_builder& b) { b.u32(CKA_CLASS, 0xCE534351u); }, 3,
         CKR_TEMPLATE_INCOMPLETE},
        {"token object at RO public",
         [](inner_builder& b) { b.u32(CKA_CLASS, CKO_DATA).flag(CKA_TOKEN, true); }, 0,
         CKR_SESSION_READ_ONLY},
        {"private object at RW public",
         [](inner_builder& b) { b.u32(CKA_CLASS, CKO_DATA).flag(CKA_PRIVATE, true); }, 1,
         CKR_SESSION_READ_ONLY},
        {"private token object at RO user",
         [](inner_builder& b) {
             b.u32(CKA_CLASS, CKO_DATA).flag(CKA_PRIVATE, true).flag(CKA_TOKEN, true);
         },
         2, CKR_SESSION_READ_ONLY},
        {"private key needs login", [](inner_builder& b) { b.u32(CKA_CLASS, CKO_PRIVATE_KEY); }, 1,
         CKR_SESSION_READ_ONLY},
        {"certificate without value", [](inner_builder& b) { b.u32(CKA_CLASS, CKO_CERTIFICATE); },
         3, CKR_TEMPLATE_INCOMPLETE},
    };
    for (const auto& c : cases) {
        inner_builder b;
        c.fill(b);
        CK_RV rv = CKR_OK;
        EXPECT_EQ(from_template(b, c.level, rv), nullptr) << c.name;
        EXPECT_EQ(rv, c.expected) << c.name;
    }
    // A null value with a length is an error, never read.
    inner_builder b;
    b.u32(CKA_CLASS, CKO_DATA);
    auto entries = b.entries();
    entries.push_back({CKA_VALUE, nullptr, 16});
    CK_RV rv = CKR_OK;
    EXPECT_EQ(pkcs11_object::create_from_template(1, 3, entries.data(), 2, rv), nullptr);
    EXPECT_EQ(rv, CKR_ATTRIBUTE_VALUE_INVALID);
}

TEST(Object, CreatedKeysAreNotLocal) {
    const std::vector<uint8_t> n(128, 0xA5);
    inner_builder pub;
    pub.u32(CKA_CLASS, CKO_PUBLIC_KEY).raw(CKA_MODULUS, n).raw(CKA_PUBLIC_EXPONENT, {1, 0, 1});
    CK_RV rv = CKR_OK;
    auto p = from_template(pub, 1, rv);
    ASSERT_EQ(rv, CKR_OK);
    EXPECT_TRUE(p->attributes().has(CKA_LOCAL));
    EXPECT_FALSE(p->attributes().flag(CKA_LOCAL, true));
    EXPECT_FALSE(p->attributes().has(CKA_ALWAYS_SENSITIVE));

    inner_builder priv;
    priv.u32(CKA_CLASS, CKO_PRIVATE_KEY).raw(CKA_MODULUS, n).raw(CKA_PRIVATE_EXPONENT, n);
    auto k = from_template(priv, 3, rv);
    ASSERT_EQ(rv, CKR_OK);
    for (uint32_t type : {CKA_LOCAL, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE})
        EXPECT_FALSE(k->attributes().flag(type, true)) << std::hex << type;
    uint32_t bits = 0;
    EXPECT_EQ(k->object_rsa_bits(bits), CKR_OK);
    EXPECT_EQ(bits, 1024u);
}

TEST(Object, ModificationRules) {
    const std::vector<uint8_t> n(128, 0xA5);
    inner_builder priv;
    priv.u32(CKA_CLASS, CKO_PRIVATE_KEY).raw(CKA_MODULUS, n).raw(CKA_PRIVATE_EXPONENT, n);
    CK_RV rv = CKR_OK;
    auto key = from_template(priv, 3, rv);
    ASSERT_EQ(rv, CKR_OK);

    struct modify_case {
        const char* name;
        uint32_t level;
        std::function<void(inner_builder&)> fill;
        CK_RV expected;
    } const cases[] = {
        {"label at RW user", 3, [](inner_builder& b) { b.text(CKA_LABEL, "new"); }, CKR_OK},
        {"private object at RW public", 1, [](inner_builder& b) { b.text(CKA_LABEL, "new"); },
         CKR_ATTRIBUTE_READ_ONLY},
        {"not modifiable type", 3, [](inner_builder& b) { b.u32(CKA_KEY_TYPE, 3); },
         CKR_ATTRIBUTE_READ_ONLY},
        {"sensitive off", 3, [](inner_builder& b) { b.flag(CKA_SENSITIVE, false); },
         CKR_ATTRIBUTE_READ_ONLY},
        {"extractable on", 3, [](inner_builder& b) { b.flag(CKA_EXTRACTABLE, true); },
         CKR_ATTRIBUTE_READ_ONLY},
        {"one bad entry spoils all", 3,
         [](inner_builder& b) { b.text(CKA_ID, "id").u32(CKA_CLASS, 4); }, CKR_ATTRIBUTE_READ_ONLY},
    };
    for (const auto& c : cases) {
        inner_builder b;
        c.fill(b);
        EXPECT_EQ(key->object_modify_attributes(c.level, b.data(), b.size()), c.expected) << c.name;
    }
    EXPECT_FALSE(key->attributes().has(CKA_ID)); // nothing applied when a check failed

    // CKA_MODIFIABLE false refuses every change, even of CKA_LABEL.
    inner_builder data;
    data.u32(CKA_CLASS, CKO_DATA).flag(CKA_MODIFIABLE, false);
    auto d = from_template(data, 1, rv);
    ASSERT_EQ(rv, CKR_OK);
    inner_builder label;
    label.text(CKA_LABEL, "x");
    EXPECT_EQ(d->object_modify_attributes(3, label.data(), 1), CKR_ATTRIBUTE_READ_ONLY);

    // A protected object's secret value cannot be written where the class
    // lets CKA_VALUE change.
    inner_builder guarded;
    guarded.u32(CKA_CLASS, CKO_DATA).flag(CKA_SENSITIVE, true);
    auto g = from_template(guarded, 1, rv);
    ASSERT_EQ(rv, CKR_OK);
    inner_builder value;
    value.raw(CKA_VALUE, {1, 2, 3});
    EXPECT_EQ(g->object_modify_attributes(1, value.data(), 1), CKR_INFORMATION_SENSITIVE);
}

TEST(Object, ReadRuleWithSensitivity) {
    const std::vector<uint8_t> n(128, 0xA5);
    inner_builder priv;
    priv.u32(CKA_CLASS, CKO_PRIVATE_KEY)
        .text(CKA_LABEL, "mine")
        .raw(CKA_MODULUS, n)
        .raw(CKA_PRIVATE_EXPONENT, n);
    CK_RV rv = CKR_OK;
    auto key = from_template(priv, 3, rv);
    ASSERT_EQ(rv, CKR_OK);

    char label[16] = {};
    uint8_t exponent[128];
    inner_attribute t[] = {
        {CKA_LABEL, label, sizeof label},
        {CKA_PRIVATE_EXPONENT, exponent, sizeof exponent},
        {0x7FFF0001u, nullptr, 0},
    };
    EXPECT_EQ(key->object_read_attributes(t, 3), CKR_ATTRIBUTE_TYPE_INVALID); // the last failure
    EXPECT_EQ(t[0].length, 4u);
    EXPECT_EQ(std::string(label, 4), "mine");
    EXPECT_EQ(t[1].length, p11abi::inner_unavailable);
    EXPECT_EQ(t[2].length, p11abi::inner_unavailable);

    inner_attribute raw[] = {{CKA_PRIVATE_EXPONENT, exponent, 10}};
    EXPECT_EQ(key->object_read_attributes_raw(raw, 1), CKR_BUFFER_TOO_SMALL);
    raw[0].length = sizeof exponent;
    EXPECT_EQ(key->object_read_attributes_raw(raw, 1), CKR_OK);
    EXPECT_EQ(raw[0].length, 128u);
}

TEST(Object, StorageKindsAndLevels) {
    // Rows: kind 1..4; columns: levels 0..5.
    const bool admitted[4][6] = {
        {true, true, true, true, true, true},     // public session
        {false, false, true, true, false, true},  // private session
        {false, true, false, true, true, true},   // public token
        {false, false, false, true, false, true}, // private token
    };
    for (int token = 0; token < 2; ++token) {
        for (int priv = 0; priv < 2; ++priv) {
            inner_builder b;
            b.flag(CKA_TOKEN, token != 0).flag(CKA_PRIVATE, priv != 0);
            CK_RV rv = CKR_OK;
            auto o = pkcs11_object::create(0, CKO_DATA, b.data(), b.size(), &rv);
            ASSERT_EQ(rv, CKR_OK);
            const uint32_t kind = o->object_storage_kind();
            EXPECT_EQ(kind, 1u + priv + 2u * token);
            for (uint32_t level = 0; level < 6; ++level)
                EXPECT_EQ(o->object_visible_at(level), admitted[kind - 1][level])
                    << kind << "@" << level;
        }
    }
}

TEST(Object, HandlesAreDistinctNonZeroAndNotReused) {
    std::set<uint32_t> seen;
    for (int i = 0; i < 200; ++i) {
        inner_builder b;
        CK_RV rv = CKR_OK;
        auto o = pkcs11_object::create(0, CKO_DATA, b.data(), b.size(), &rv); // freed at once
        ASSERT_NE(o, nullptr);
        EXPECT_NE(o->handle(), 0u);
        EXPECT_TRUE(seen.insert(o->handle()).second) << "handle reused";
        auto copy = o->clone();
        EXPECT_TRUE(seen.insert(copy->handle()).second) << "clone shares a handle";
    }
}

TEST(Object, StreamRoundTripRebuildsClassAndVerifier) {
    inner_builder b;
    b.u32(CKA_CLASS, CKO_SECRET_KEY).raw(CKA_VALUE, std::vector<uint8_t>(16, 9));
    CK_RV rv = CKR_OK;
    auto key = from_template(b, 1, rv);
    ASSERT_EQ(rv, CKR_OK);
    uint32_t length = 0;
    ASSERT_EQ(key->object_save_stream(nullptr, &length), CKR_OK);
    std::vector<uint8_t> stream(length);
    ASSERT_EQ(key->object_save_stream(stream.data(), &length), CKR_OK);

    auto loaded = pkcs11_object::from_stream(stream.data(), &length, rv);
    ASSERT_EQ(rv, CKR_OK);
    EXPECT_EQ(loaded->object_class(), CKO_SECRET_KEY);
    ASSERT_NE(loaded->verifier(), nullptr);
    EXPECT_NE(loaded->handle(), key->handle());
    EXPECT_EQ(loaded->attributes().find(CKA_VALUE)->value, std::vector<uint8_t>(16, 9));

    // No CKA_CLASS in the stream: no object.
    std::vector<uint8_t> no_class = {0x03, 0, 0, 0, 1, 0, 0, 0, 'x'};
    auto l2 = static_cast<uint32_t>(no_class.size());
    EXPECT_EQ(pkcs11_object::from_stream(no_class.data(), &l2, rv), nullptr);
    EXPECT_EQ(rv, CKR_ATTRIBUTE_TYPE_INVALID);
}

// One list of integer-valued types serves the stored form and the boundary:
// any of them, stored from a value shorter than 4 bytes, is read back by a
// caller as a full-width CK_ULONG (a stored integer of another length would
// be reported unavailable).
TEST(Object, EveryIntegerAttributeIsStoredAsTheBoundaryReadsIt) {
    for (const uint32_t type : p11abi::integer_attribute_types) {
        SCOPED_TRACE(type);
        auto o = pkcs11_object::create(0, CKO_DATA, nullptr, 0);
        ASSERT_NE(o, nullptr);
        const uint8_t two[2] = {0x34, 0x12};
        o->object_set_attribute(type, two, 2);
        CK_ULONG value = ~0UL;
        CK_ATTRIBUTE t{type, &value, sizeof value};
        p11abi::inner_template out;
        ASSERT_EQ(p11abi::inner_template::for_output(&t, 1, out), CKR_OK);
        ASSERT_EQ(o->object_read_attributes_raw(out.data(), 1), CKR_OK);
        out.finish_output();
        EXPECT_EQ(t.ulValueLen, sizeof(CK_ULONG));
        EXPECT_EQ(value, 0x1234u);
    }
}

} // namespace
