// The object exports (C_CreateObject ... C_FindObjectsFinal) through the
// host-ABI boundary, on a token injected into the process-wide core: 8-byte
// CK_ULONG values in, 4-byte values stored, full width out.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "library_initialised.h"
#include "pkcs11_core.h"

namespace {

std::vector<CK_BYTE> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

class ObjectExports : public ::testing::Test {
  protected:
    void SetUp() override {
        static int n = 0;
        const std::string name = "object test reader " + std::to_string(n++);
        int32_t slot = -1;
        bool created = false;
        token = pkcs11_core().token_mgr().find_or_add_token(name.c_str(), &slot, &created);
        ASSERT_NE(token, nullptr);
        slot_id = static_cast<CK_SLOT_ID>(slot);
    }
    void TearDown() override {
        (void)pkcs11_core().close_all_sessions(slot_id);
        pkcs11_core().token_mgr().remove_token(token);
    }
    // A session at a login state: 2 nobody, 1 user, 0 SO.
    CK_SESSION_HANDLE open(bool read_write, int32_t login) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(pkcs11_core().open_session(slot_id,
                                             CKF_SERIAL_SESSION | (read_write ? CKF_RW_SESSION : 0),
                                             nullptr, nullptr, &h),
                  CKR_OK);
        EXPECT_EQ(pkcs11_core().session_mgr().find(h)->session_state_from_login(login), CKR_OK);
        return h;
    }
    CK_OBJECT_HANDLE create(CK_SESSION_HANDLE s, std::vector<CK_ATTRIBUTE> t,
                            CK_RV expected = CKR_OK) {
        CK_OBJECT_HANDLE h = 0;
        EXPECT_EQ(C_CreateObject(s, t.data(), t.size(), &h), expected);
        return h;
    }
    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, std::vector<CK_ATTRIBUTE> t) {
        EXPECT_EQ(C_FindObjectsInit(s, t.empty() ? nullptr : t.data(), t.size()), CKR_OK);
        std::vector<CK_OBJECT_HANDLE> out(64);
        CK_ULONG n = 0;
        EXPECT_EQ(C_FindObjects(s, out.data(), out.size(), &n), CKR_OK);
        EXPECT_EQ(C_FindObjectsFinal(s), CKR_OK);
        out.resize(n);
        return out;
    }

    pkcs11_token* token = nullptr;
    CK_SLOT_ID slot_id = 0;
    CK_OBJECT_CLASS data_class = CKO_DATA;
    CK_OBJECT_CLASS private_key_class = CKO_PRIVATE_KEY;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
};

TEST_F(ObjectExports, IntegerAttributeRoundTrip) {
    const auto s = open(true, 2);
    auto label = bytes("abc");
    const CK_OBJECT_HANDLE h = create(
        s, {{CKA_CLASS, &data_class, sizeof data_class}, {CKA_LABEL, label.data(), label.size()}});
    ASSERT_NE(h, 0u);

    CK_ULONG cls = ~0UL; // every byte must be written
    CK_ATTRIBUTE get = {CKA_CLASS, &cls, sizeof cls};
    ASSERT_EQ(C_GetAttributeValue(s, h, &get, 1), CKR_OK);
    EXPECT_EQ(get.ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(cls, CKO_DATA);

    // Stored as 4 bytes: class 4, token 1, label 3, private 1, modifiable 1,
    // application 1 (its NUL), object id 0; plus 8 per attribute.
    CK_ULONG size = 0;
    ASSERT_EQ(C_GetObjectSize(s, h, &size), CKR_OK);
    EXPECT_EQ(size, 11u + 7 * 8);

    // A size query answers the host width; a 4-byte buffer is too small.
    get = {CKA_CLASS, nullptr, 0};
    ASSERT_EQ(C_GetAttributeValue(s, h, &get, 1), CKR_OK);
    EXPECT_EQ(get.ulValueLen, sizeof(CK_ULONG));
    uint32_t small = 0;
    get = {CKA_CLASS, &small, sizeof small};
    EXPECT_EQ(C_GetAttributeValue(s, h, &get, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(get.ulValueLen, CK_UNAVAILABLE_INFORMATION);

    // A value that does not fit 32 bits is refused.
    CK_ULONG wide = CK_ULONG{1} << 32 | CKO_DATA;
    create(s, {{CKA_CLASS, &wide, sizeof wide}}, CKR_ATTRIBUTE_VALUE_INVALID);
    // A null value with a length is an error in every template.
    create(s, {{CKA_CLASS, &data_class, sizeof data_class}, {CKA_VALUE, nullptr, 16}},
           CKR_ATTRIBUTE_VALUE_INVALID);
    CK_ATTRIBUTE bad = {CKA_LABEL, nullptr, 3};
    EXPECT_EQ(C_SetAttributeValue(s, h, &bad, 1), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(C_FindObjectsInit(s, &bad, 1), CKR_ATTRIBUTE_VALUE_INVALID);
    CK_ATTRIBUTE wide_type = {CK_ULONG{1} << 40, label.data(), label.size()};
    create(s, {{CKA_CLASS, &data_class, sizeof data_class}, wide_type}, CKR_ATTRIBUTE_TYPE_INVALID);
}

TEST_F(ObjectExports, SensitiveValuesAreUnavailableAtFullWidth) {
    const auto s = open(true, 1);
    std::vector<CK_BYTE> n(128, 0xC3);
    auto label = bytes("key");
    const CK_OBJECT_HANDLE h = create(s, {{CKA_CLASS, &private_key_class, sizeof private_key_class},
                                          {CKA_LABEL, label.data(), label.size()},
                                          {CKA_MODULUS, n.data(), n.size()},
                                          {CKA_PRIVATE_EXPONENT, n.data(), n.size()}});
    ASSERT_NE(h, 0u);
    CK_BYTE got_label[8];
    CK_BYTE exponent[128];
    CK_ATTRIBUTE t[] = {{CKA_LABEL, got_label, sizeof got_label},
                        {CKA_PRIVATE_EXPONENT, exponent, sizeof exponent},
                        {CKA_PRIME_1, nullptr, 0}};
    EXPECT_EQ(C_GetAttributeValue(s, h, t, 3), CKR_ATTRIBUTE_TYPE_INVALID); // the last failure
    EXPECT_EQ(t[0].ulValueLen, 3u);
    EXPECT_EQ(t[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(t[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    CK_ATTRIBUTE only = {CKA_PRIVATE_EXPONENT, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(s, h, &only, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(only.ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(ObjectExports, SizeQueryForEveryVariableLengthAttribute) {
    const auto s = open(true, 1);
    std::vector<CK_BYTE> n(128, 0xC3);
    std::vector<CK_BYTE> e = {1, 0, 1};
    auto subject = bytes("subject DER");
    auto id = bytes("key id");
    auto value = bytes("data value");
    auto app = bytes("application");
    CK_OBJECT_CLASS pub = CKO_PUBLIC_KEY;
    const CK_OBJECT_HANDLE key = create(s, {{CKA_CLASS, &pub, sizeof pub},
                                            {CKA_MODULUS, n.data(), n.size()},
                                            {CKA_PUBLIC_EXPONENT, e.data(), e.size()},
                                            {CKA_SUBJECT, subject.data(), subject.size()},
                                            {CKA_ID, id.data(), id.size()}});
    const CK_OBJECT_HANDLE data = create(s, {{CKA_CLASS, &data_class, sizeof data_class},
                                             {CKA_VALUE, value.data(), value.size()},
                                             {CKA_APPLICATION, app.data(), app.size()}});
    const struct {
        CK_OBJECT_HANDLE object;
        CK_ATTRIBUTE_TYPE type;
        CK_ULONG length;
    } cases[] = {
        {key, CKA_MODULUS, 128},
        {key, CKA_PUBLIC_EXPONENT, 3},
        {key, CKA_SUBJECT, subject.size()},
        {key, CKA_ID, id.size()},
        {key, CKA_LABEL, 16},
        {key, CKA_START_DATE, 8},
        {key, CKA_END_DATE, 8},
        {data, CKA_VALUE, value.size()},
        {data, CKA_APPLICATION, app.size()},
        {data, CKA_LABEL, 14},
        {data, CKA_OBJECT_ID, 0},
    };
    for (const auto& c : cases) {
        CK_ATTRIBUTE q = {c.type, nullptr, 12345};
        ASSERT_EQ(C_GetAttributeValue(s, c.object, &q, 1), CKR_OK) << std::hex << c.type;
        EXPECT_EQ(q.ulValueLen, c.length) << std::hex << c.type;
        std::vector<CK_BYTE> buffer(c.length + 1, 0xEE);
        if (c.length > 0) {
            q = {c.type, buffer.data(), c.length - 1};
            EXPECT_EQ(C_GetAttributeValue(s, c.object, &q, 1), CKR_BUFFER_TOO_SMALL)
                << std::hex << c.type;
            EXPECT_EQ(q.ulValueLen, CK_UNAVAILABLE_INFORMATION);
        }
        q = {c.type, buffer.data(), buffer.size()};
        ASSERT_EQ(C_GetAttributeValue(s, c.object, &q, 1), CKR_OK);
        EXPECT_EQ(q.ulValueLen, c.length);
        EXPECT_EQ(buffer[c.length], 0xEE) << "written past the value";
    }
}

TEST_F(ObjectExports, SearchForUnknownClassesAndTypesFindsNothing) {
    const auto s = open(true, 1);
    create(s, {{CKA_CLASS, &data_class, sizeof data_class}});
    CK_OBJECT_CLASS nss_trust = 0xCE534353UL; // a client's vendor class
    CK_OBJECT_CLASS wide = CK_ULONG{1} << 33;
    CK_BYTE one = 1;
    EXPECT_TRUE(find(s, {{CKA_CLASS, &nss_trust, sizeof nss_trust}}).empty());
    EXPECT_TRUE(find(s, {{CKA_CLASS, &wide, sizeof wide}}).empty());
    EXPECT_TRUE(find(s, {{0xCE534354UL, &one, 1}}).empty());
    EXPECT_TRUE(find(s, {{CK_ULONG{1} << 36, &one, 1}}).empty());
    EXPECT_EQ(find(s, {{CKA_CLASS, &data_class, sizeof data_class}}).size(), 1u);
}

TEST_F(ObjectExports, PagedSearchInInsertionOrderAndCounting) {
    const auto s = open(true, 2);
    std::vector<CK_OBJECT_HANDLE> made;
    for (int i = 0; i < 25; ++i)
        made.push_back(create(s, {{CKA_CLASS, &data_class, sizeof data_class}}));
    ASSERT_EQ(C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> got;
    for (CK_ULONG expected : {10UL, 10UL, 5UL, 0UL}) {
        CK_OBJECT_HANDLE page[10];
        CK_ULONG n = ~0UL;
        ASSERT_EQ(C_FindObjects(s, page, 10, &n), CKR_OK);
        EXPECT_EQ(n, expected);
        got.insert(got.end(), page, page + n);
    }
    EXPECT_EQ(got, made);
    EXPECT_EQ(C_FindObjectsFinal(s), CKR_OK);

    ASSERT_EQ(C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    EXPECT_EQ(C_FindObjectsInit(s, nullptr, 0), CKR_OK); // a running search is ended first
    CK_ULONG n = 0;
    ASSERT_EQ(C_FindObjects(s, nullptr, 0, &n), CKR_OK); // counting call
    EXPECT_EQ(n, 25u);
    CK_OBJECT_HANDLE h;
    ASSERT_EQ(C_FindObjects(s, &h, 1, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(C_FindObjectsFinal(s), CKR_OK);
    EXPECT_EQ(C_FindObjects(s, &h, 1, &n), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(ObjectExports, PrivateObjectsOnlyInUserSessions) {
    const auto user = open(true, 1);
    // A private token data object needs the card's storage; this token has
    // no card, so the file cannot be written and no object is made.
    CK_ATTRIBUTE on_card[] = {
        {CKA_CLASS, &data_class, sizeof data_class}, {CKA_PRIVATE, &yes, 1}, {CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE secret = 0;
    EXPECT_NE(C_CreateObject(user, on_card, std::size(on_card), &secret), CKR_OK);
    ASSERT_EQ(secret, 0u);
    const CK_OBJECT_HANDLE priv =
        create(user, {{CKA_CLASS, &data_class, sizeof data_class}, {CKA_PRIVATE, &yes, 1}}, CKR_OK);
    CK_OBJECT_CLASS pub_class = CKO_PUBLIC_KEY;
    CK_KEY_TYPE sm2 = ZELT_CKK_SM2;
    const CK_OBJECT_HANDLE token_key = create(user, {{CKA_CLASS, &pub_class, sizeof pub_class},
                                                     {CKA_KEY_TYPE, &sm2, sizeof sm2},
                                                     {CKA_TOKEN, &yes, 1},
                                                     {CKA_PRIVATE, &yes, 1}});
    ASSERT_NE(token_key, 0u);

    const auto ro_public = open(false, 2);
    const auto ro_user = open(false, 1);
    const std::vector<CK_ATTRIBUTE> named = {{CKA_PRIVATE, &yes, 1}};
    EXPECT_TRUE(find(ro_public, named).empty());
    EXPECT_EQ(find(ro_user, named), (std::vector<CK_OBJECT_HANDLE>{priv, token_key}));
    EXPECT_EQ(find(user, named), (std::vector<CK_OBJECT_HANDLE>{priv, token_key}));

    CK_BYTE buffer[8];
    CK_ULONG cls = ~0UL;
    CK_ATTRIBUTE get[] = {{CKA_LABEL, buffer, sizeof buffer}, {CKA_CLASS, &cls, sizeof cls}};
    EXPECT_EQ(C_GetAttributeValue(ro_public, priv, get, 2), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(get[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(get[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(cls, ~0UL); // nothing written
    EXPECT_EQ(C_DestroyObject(ro_public, priv), CKR_ACTION_PROHIBITED);
}

TEST_F(ObjectExports, CopyObjectAppliesTheModificationChecks) {
    const auto user = open(true, 1);
    CK_OBJECT_CLASS secret_class = CKO_SECRET_KEY;
    auto value = bytes("0123456789abcdef");
    const CK_OBJECT_HANDLE key = create(user, {{CKA_CLASS, &secret_class, sizeof secret_class},
                                               {CKA_VALUE, value.data(), value.size()},
                                               {CKA_SENSITIVE, &yes, 1}});
    ASSERT_NE(key, 0u);
    const struct {
        const char* name;
        CK_ATTRIBUTE change;
        CK_RV expected;
    } refused[] = {
        {"sensitive made false", {CKA_SENSITIVE, &no, 1}, CKR_ATTRIBUTE_READ_ONLY},
        {"extractable made true", {CKA_EXTRACTABLE, &yes, 1}, CKR_ATTRIBUTE_READ_ONLY},
        {"value replaced", {CKA_VALUE, value.data(), value.size()}, CKR_ATTRIBUTE_READ_ONLY},
        {"trusted by a user", {CKA_TRUSTED, &yes, 1}, CKR_ATTRIBUTE_READ_ONLY},
        {"class changed", {CKA_CLASS, &data_class, sizeof data_class}, CKR_ATTRIBUTE_READ_ONLY},
    };
    for (const auto& c : refused) {
        CK_ATTRIBUTE t = c.change;
        CK_OBJECT_HANDLE copy = 0;
        EXPECT_EQ(C_CopyObject(user, key, &t, 1, &copy), c.expected) << c.name;
        EXPECT_EQ(copy, 0u) << c.name;
        EXPECT_EQ(C_SetAttributeValue(user, key, &t, 1), c.expected) << c.name; // the same rule
    }
    CK_ATTRIBUTE sensitive = {CKA_VALUE, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(user, key, &sensitive, 1), CKR_ATTRIBUTE_SENSITIVE);

    // A read-only session cannot make a token object by copying.
    const auto ro_user = open(false, 1);
    CK_ATTRIBUTE to_token = {CKA_TOKEN, &yes, 1};
    CK_OBJECT_HANDLE copy = 0;
    EXPECT_EQ(C_CopyObject(ro_user, key, &to_token, 1, &copy), CKR_SESSION_READ_ONLY);

    // An allowed copy: new handle, new label, owned by the copying session.
    auto label = bytes("copy");
    CK_ATTRIBUTE relabel = {CKA_LABEL, label.data(), label.size()};
    const auto other = open(true, 1);
    ASSERT_EQ(C_CopyObject(other, key, &relabel, 1, &copy), CKR_OK);
    EXPECT_NE(copy, key);
    EXPECT_NE(copy, 0u);
    EXPECT_EQ(find(user, {{CKA_LABEL, label.data(), label.size()}}),
              std::vector<CK_OBJECT_HANDLE>{copy});
    ASSERT_EQ(C_CloseSession(other), CKR_OK);
    EXPECT_TRUE(find(user, {{CKA_LABEL, label.data(), label.size()}}).empty());
    EXPECT_EQ(C_DestroyObject(user, copy), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(ObjectExports, LogoutDropsPrivateDataAndKeyObjects) {
    const auto user = open(true, 1);
    const CK_OBJECT_HANDLE pub = create(user, {{CKA_CLASS, &data_class, sizeof data_class}});
    const CK_OBJECT_HANDLE priv =
        create(user, {{CKA_CLASS, &data_class, sizeof data_class}, {CKA_PRIVATE, &yes, 1}});
    CK_OBJECT_CLASS pub_class = CKO_PUBLIC_KEY;
    CK_KEY_TYPE sm2 = ZELT_CKK_SM2;
    const CK_OBJECT_HANDLE key =
        create(user, {{CKA_CLASS, &pub_class, sizeof pub_class}, {CKA_KEY_TYPE, &sm2, sizeof sm2}});
    ASSERT_EQ(find(user, {}), (std::vector<CK_OBJECT_HANDLE>{pub, priv, key}));
    ASSERT_EQ(C_Logout(user), CKR_OK);
    EXPECT_EQ(find(user, {}), std::vector<CK_OBJECT_HANDLE>{pub});
}

TEST_F(ObjectExports, SessionObjectsLeaveWithTheirSessionAndHandlesAreNotReused) {
    const auto a = open(true, 2);
    const auto b = open(true, 2);
    const CK_OBJECT_HANDLE mine = create(a, {{CKA_CLASS, &data_class, sizeof data_class}});
    const CK_OBJECT_HANDLE theirs = create(b, {{CKA_CLASS, &data_class, sizeof data_class}});
    EXPECT_NE(mine, theirs);
    EXPECT_NE(mine, a); // object and session handles come from different ranges
    ASSERT_EQ(C_CloseSession(a), CKR_OK);
    EXPECT_EQ(find(b, {}), std::vector<CK_OBJECT_HANDLE>{theirs});

    std::set<CK_OBJECT_HANDLE> seen = {mine, theirs};
    for (int i = 0; i < 50; ++i) {
        const CK_OBJECT_HANDLE h = create(b, {{CKA_CLASS, &data_class, sizeof data_class}});
        EXPECT_TRUE(seen.insert(h).second) << "handle reused";
        ASSERT_EQ(C_DestroyObject(b, h), CKR_OK);
        EXPECT_EQ(C_DestroyObject(b, h), CKR_OBJECT_HANDLE_INVALID);
    }
    EXPECT_EQ(C_DestroyObject(b, theirs | (CK_ULONG{1} << 32)),
              CKR_OBJECT_HANDLE_INVALID); // full width
}

} // namespace
