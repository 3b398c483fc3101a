// The token's object list (purges, lookup by identifier) and the search:
// paging in insertion order, counting calls, visibility by access level,
// objects removed under a search, value conditions.
#include <gtest/gtest.h>

#include "pkcs11_object_mgr.h"
#include "test_templates.h"

namespace {

class ObjectList : public ::testing::Test {
  protected:
    pkcs11_object_mgr list;

    pkcs11_object& add(uint32_t cls, bool token, bool priv, uint32_t owner = 0,
                       const std::function<void(inner_builder&)>& more = {}) {
        inner_builder b;
        b.u32(CKA_CLASS, cls).flag(CKA_TOKEN, token).flag(CKA_PRIVATE, priv);
        if (more) more(b);
        CK_RV rv = CKR_OK;
        auto o = pkcs11_object::create(owner, cls, b.data(), b.size(), &rv);
        EXPECT_EQ(rv, CKR_OK);
        list.add(o);
        return *o;
    }
    std::vector<CK_OBJECT_HANDLE> all(pkcs11_object_finder& f, uint32_t level, uint32_t max) {
        std::vector<CK_OBJECT_HANDLE> out;
        for (;;) {
            std::vector<CK_OBJECT_HANDLE> page(max);
            uint32_t n = 0;
            EXPECT_EQ(f.finder_next_visible(list, level, page.data(), max, &n), CKR_OK);
            if (n == 0) return out;
            out.insert(out.end(), page.begin(), page.begin() + n);
        }
    }
};

TEST_F(ObjectList, PagesInInsertionOrder) {
    std::vector<CK_OBJECT_HANDLE> added;
    for (int i = 0; i < 25; ++i)
        added.push_back(add(CKO_DATA, false, false).handle());
    pkcs11_object_finder f;
    ASSERT_EQ(f.finder_init(nullptr, 0), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> got;
    for (uint32_t expected : {10u, 10u, 5u, 0u}) {
        CK_OBJECT_HANDLE page[10];
        uint32_t n = 99;
        ASSERT_EQ(f.finder_next_visible(list, 1, page, 10, &n), CKR_OK);
        EXPECT_EQ(n, expected);
        got.insert(got.end(), page, page + n);
    }
    EXPECT_EQ(got, added);
}

TEST_F(ObjectList, CountingCallConsumesAndZeroMaxDoesNotMove) {
    for (int i = 0; i < 4; ++i)
        add(CKO_DATA, false, false);
    pkcs11_object_finder f;
    ASSERT_EQ(f.finder_init(nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE h[4];
    uint32_t n = 9;
    ASSERT_EQ(f.finder_next_visible(list, 0, h, 0, &n), CKR_OK); // buffer, max 0: nothing, no move
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(f.finder_next_visible(list, 0, nullptr, 0, &n), CKR_OK); // counting call
    EXPECT_EQ(n, 4u);
    ASSERT_EQ(f.finder_next_visible(list, 0, h, 4, &n), CKR_OK);
    EXPECT_EQ(n, 0u);

    pkcs11_object_finder unset;
    EXPECT_EQ(unset.finder_next_visible(list, 0, h, 4, &n), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(ObjectList, VisibilityByLevel) {
    const auto pub_session = add(CKO_DATA, false, false).handle();
    const auto priv_session = add(CKO_DATA, false, true).handle();
    const auto pub_token = add(CKO_PUBLIC_KEY, true, false).handle();
    const auto priv_token = add(CKO_PUBLIC_KEY, true, true).handle();
    const std::vector<CK_OBJECT_HANDLE> public_only = {pub_session, pub_token};
    const std::vector<CK_OBJECT_HANDLE> every = {pub_session, priv_session, pub_token, priv_token};
    const struct {
        uint32_t level;
        std::vector<CK_OBJECT_HANDLE> seen;
    } cases[] = {{0, public_only}, {1, public_only}, {2, every},
                 {3, every},       {4, public_only}, {5, {}}};
    for (const auto& c : cases) {
        pkcs11_object_finder f;
        ASSERT_EQ(f.finder_init(nullptr, 0), CKR_OK);
        EXPECT_EQ(all(f, c.level, 3), c.seen) << "level " << c.level;
    }
    // Naming a private object exactly does not reveal it in a public session.
    inner_builder b;
    b.flag(CKA_PRIVATE, true);
    pkcs11_object_finder f;
    ASSERT_EQ(f.finder_init(b.data(), b.size()), CKR_OK);
    EXPECT_TRUE(all(f, 1, 8).empty());
}

TEST_F(ObjectList, TemplatesWithUnknownClassesOrTypesFindNothing) {
    add(CKO_DATA, false, false);
    add(CKO_CERTIFICATE, false, false, 0, [](inner_builder& b) { b.raw(CKA_VALUE, {0x30}); });
    const std::function<void(inner_builder&)> templates[] = {
        [](inner_builder& b) { b.u32(CKA_CLASS, 0xCE534351u); }, // a client's own vendor class
        [](inner_builder& b) { b.u32(CKA_CLASS, CKO_HW_FEATURE); },
        [](inner_builder& b) { b.raw(0xCE534352u, {1}); }, // an attribute the module does not know
        [](inner_builder& b) { b.raw(CKA_CLASS, {}); },
    };
    for (const auto& fill : templates) {
        inner_builder b;
        fill(b);
        pkcs11_object_finder f;
        ASSERT_EQ(f.finder_init(b.data(), b.size()), CKR_OK);
        EXPECT_TRUE(all(f, 3, 4).empty());
    }
    inner_builder certs;
    certs.u32(CKA_CLASS, CKO_CERTIFICATE);
    pkcs11_object_finder f;
    ASSERT_EQ(f.finder_init(certs.data(), certs.size()), CKR_OK);
    EXPECT_EQ(all(f, 3, 4).size(), 1u);
    // A malformed entry is refused, not read.
    const inner_attribute bad{CKA_LABEL, nullptr, 4};
    pkcs11_object_finder g;
    EXPECT_EQ(g.finder_init(&bad, 1), CKR_ATTRIBUTE_VALUE_INVALID);
}

TEST_F(ObjectList, TokenSearchesTakeSixtyFourAtATimeWithoutVisibility) {
    for (int i = 0; i < 70; ++i)
        add(CKO_DATA, true, true);
    pkcs11_object_finder f;
    ASSERT_EQ(f.finder_init(nullptr, 0), CKR_OK);
    uint32_t handles[64];
    uint32_t n = 0;
    ASSERT_EQ(f.finder_next(list, handles, &n), CKR_OK);
    EXPECT_EQ(n, 64u);
    EXPECT_EQ(handles[0], list.objects()[0]->handle());
    ASSERT_EQ(f.finder_next(list, handles, &n), CKR_OK);
    EXPECT_EQ(n, 6u);
    EXPECT_TRUE(f.done());
}

TEST_F(ObjectList, SearchEndsWhenItsNextObjectIsRemoved) {
    std::vector<pkcs11_object*> objects;
    for (int i = 0; i < 4; ++i)
        objects.push_back(&add(CKO_DATA, false, false));
    pkcs11_object_finder f;
    ASSERT_EQ(f.finder_init(nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE h[2];
    uint32_t n = 0;
    ASSERT_EQ(f.finder_next_visible(list, 1, h, 2, &n), CKR_OK);
    ASSERT_EQ(n, 2u);
    list.object_mgr_remove(objects[2]); // the object the search stands on
    ASSERT_EQ(f.finder_next_visible(list, 1, h, 2, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(f.done());
}

TEST_F(ObjectList, ValueConditionLoadsFirst) {
    auto& a = add(CKO_DATA, false, false, 0, [](inner_builder& b) { b.raw(CKA_VALUE, {1, 2}); });
    add(CKO_DATA, false, false, 0, [](inner_builder& b) { b.raw(CKA_VALUE, {1, 2, 3}); });
    auto& lazy = add(CKO_DATA, true, false); // value still "on the card"
    inner_builder b;
    b.raw(CKA_VALUE, {1, 2});
    pkcs11_object_finder f;
    ASSERT_EQ(f.finder_init(b.data(), b.size()), CKR_OK);
    int loads = 0;
    CK_OBJECT_HANDLE h[4];
    uint32_t n = 0;
    ASSERT_EQ(f.finder_next_visible(list, 3, h, 4, &n,
                                    [&](pkcs11_object& o) {
                                        ++loads;
                                        const uint8_t v[2] = {1, 2};
                                        o.object_set_attribute(CKA_VALUE, v, 2);
                                        return CKR_OK;
                                    }),
              CKR_OK);
    EXPECT_EQ(loads, 1);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(h[0], a.handle());
    EXPECT_EQ(h[1], lazy.handle());
}

TEST_F(ObjectList, PurgesAndClear) {
    const auto own_session = add(CKO_DATA, false, false, 5).handle();
    const auto other_session = add(CKO_DATA, false, false, 6).handle();
    const auto token_data = add(CKO_DATA, true, false, 5).handle();
    const auto private_data = add(CKO_DATA, true, true).handle();
    const auto private_key = add(CKO_PRIVATE_KEY, true, true).handle();
    const auto secret = add(CKO_SECRET_KEY, true, true).handle();
    const auto cert = add(CKO_CERTIFICATE, true, false).handle();

    list.object_mgr_purge_session(5);
    EXPECT_EQ(list.find(own_session), nullptr);
    EXPECT_NE(list.find(other_session), nullptr);
    EXPECT_NE(list.find(token_data), nullptr); // token objects stay

    list.object_mgr_purge_private();
    EXPECT_EQ(list.find(private_data), nullptr);
    EXPECT_NE(list.find(private_key), nullptr); // only data objects go

    list.object_mgr_purge_key_objects();
    EXPECT_EQ(list.find(private_key), nullptr);
    EXPECT_EQ(list.find(cert), nullptr);
    EXPECT_NE(list.find(secret), nullptr);

    EXPECT_EQ(list.find(CK_OBJECT_HANDLE{secret} | (CK_OBJECT_HANDLE{1} << 32)),
              nullptr); // full width
    list.object_list_clear();
    EXPECT_EQ(list.size(), 0u);
}

TEST_F(ObjectList, FindByIdAcceptsATrailingByte) {
    auto& pub =
        add(CKO_PUBLIC_KEY, false, false, 0, [](inner_builder& b) { b.text(CKA_ID, "abc"); });
    add(CKO_PRIVATE_KEY, false, true, 0, [](inner_builder& b) { b.text(CKA_ID, "xyz"); });
    auto& priv = add(CKO_PRIVATE_KEY, false, true, 0, [](inner_builder& b) {
        b.raw(CKA_ID, {'a', 'b', 'c', 0});
    });
    EXPECT_EQ(list.object_mgr_find_by_id(pub, CKO_PRIVATE_KEY), &priv);
    EXPECT_EQ(list.object_mgr_find_by_id(pub, CKO_CERTIFICATE), nullptr);
    auto& no_id = add(CKO_DATA, false, false);
    EXPECT_EQ(list.object_mgr_find_by_id(no_id, CKO_PRIVATE_KEY), nullptr);
}

} // namespace
