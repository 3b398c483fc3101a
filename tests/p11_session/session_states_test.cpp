// Session states by login type, across the sessions of a slot, the session
// exports' answers to bad handles and pointers, and closing the sessions of a slot.
#include <functional>
#include <utility>

#include "session_fixture.h"

namespace {

using namespace session_test;

TEST(SessionStateRule, ByLoginTypeAndAccess) {
    struct state_case {
        bool read_write;
        int32_t login;
        CK_RV rv;
        CK_STATE state;
        uint32_t access;
    };
    const state_case cases[] = {
        {true, 0, CKR_OK, CKS_RW_SO_FUNCTIONS, 4},
        {true, 1, CKR_OK, CKS_RW_USER_FUNCTIONS, 3},
        {true, 2, CKR_OK, CKS_RW_PUBLIC_SESSION, 1},
        {false, 1, CKR_OK, CKS_RO_USER_FUNCTIONS, 2},
        {false, 2, CKR_OK, CKS_RO_PUBLIC_SESSION, 0},
        // The SO cannot hold a read-only session: the state stays as it was.
        {false, 0, CKR_SESSION_READ_WRITE_SO_EXISTS, CKS_RO_USER_FUNCTIONS, 2},
    };
    for (const state_case& c : cases) {
        pkcs11_session s(0x01000001, 0, nullptr, nullptr);
        s.set_flags(CKF_SERIAL_SESSION | (c.read_write ? CKF_RW_SESSION : 0));
        ASSERT_EQ(s.session_state_from_login(1), CKR_OK);
        EXPECT_EQ(s.session_state_from_login(c.login), c.rv) << c.read_write << " " << c.login;
        EXPECT_EQ(s.state(), c.state) << c.read_write << " " << c.login;
        EXPECT_EQ(s.access_class(), c.access) << c.read_write << " " << c.login;
    }
}

class SessionStates : public SessionTest {
  protected:
    CK_STATE state_of(CK_SESSION_HANDLE h) { return pkcs11_core().session_mgr().find(h)->state(); }
};

TEST_F(SessionStates, LoginTypeRestatesEverySessionOfTheSlotOnly) {
    const CK_SESSION_HANDLE rw = open(true);
    const CK_SESSION_HANDLE ro = open(false);
    int32_t other_slot = -1;
    bool created = false;
    pkcs11_token* other = pkcs11_core().token_mgr().find_or_add_token("session states other reader",
                                                                      &other_slot, &created);
    CK_SESSION_HANDLE elsewhere = 0;
    ASSERT_EQ(
        pkcs11_core().open_session(other_slot, CKF_SERIAL_SESSION, nullptr, nullptr, &elsewhere),
        CKR_OK);
    auto& mgr = pkcs11_core().session_mgr();

    EXPECT_EQ(mgr.update_session_states(*mgr.find(rw), 1), CKR_OK);
    EXPECT_EQ(state_of(rw), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(state_of(ro), CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(state_of(elsewhere), CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(mgr.update_session_states(*mgr.find(ro), 0),
              CKR_OK); // a read-only session keeps its state
    EXPECT_EQ(state_of(rw), CKS_RW_SO_FUNCTIONS);
    EXPECT_EQ(state_of(ro), CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(mgr.update_session_states(*mgr.find(ro), 2), CKR_OK); // logged out
    EXPECT_EQ(state_of(rw), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(state_of(ro), CKS_RO_PUBLIC_SESSION);

    (void)pkcs11_core().close_session(elsewhere);
    pkcs11_core().token_mgr().remove_token(other);
}

TEST_F(SessionStates, NoReadOnlySessionBesideTheSecurityOfficer) {
    const CK_SESSION_HANDLE so = open(true, 0);
    ASSERT_EQ(state_of(so), CKS_RW_SO_FUNCTIONS);
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(pkcs11_core().open_session(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h),
              CKR_SESSION_READ_WRITE_SO_EXISTS);
    EXPECT_EQ(pkcs11_core().session_mgr().sessions_of_slot(static_cast<uint32_t>(slot)).size(), 1u);
}

TEST_F(SessionStates, SessionInfoAndCounts) {
    const CK_SESSION_HANDLE rw = open(true);
    const CK_SESSION_HANDLE ro = open(false);
    CK_SESSION_INFO info;
    std::memset(&info, 0xFF, sizeof info);
    ASSERT_EQ(C_GetSessionInfo(ro, &info), CKR_OK);
    EXPECT_EQ(info.slotID, slot);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION);
    ASSERT_EQ(C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(token->token_info().ulSessionCount, 2u);
    EXPECT_EQ(token->token_info().ulRwSessionCount, 1u);
    ASSERT_EQ(C_CloseSession(rw), CKR_OK);
    EXPECT_EQ(token->token_info().ulSessionCount, 1u);
    EXPECT_EQ(token->token_info().ulRwSessionCount, 0u);
    EXPECT_EQ(C_CloseSession(rw), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_GetSessionInfo(rw, &info), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(SessionStates, BadHandlesAndPointersNeverCrash) {
    const CK_SESSION_HANDLE h = open(true);
    CK_SESSION_INFO info{};
    CK_BYTE pin[] = {'1', '2', '3', '4'};
    CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
    CK_ULONG n = 0;
    const CK_SESSION_HANDLE bad[] = {0, ~0UL, (CK_SESSION_HANDLE{1} << 32) | h, h + 0x10000,
                                     0x12345678};
    for (CK_SESSION_HANDLE b : bad) {
        EXPECT_EQ(C_GetSessionInfo(b, &info), CKR_SESSION_HANDLE_INVALID) << std::hex << b;
        EXPECT_EQ(C_CloseSession(b), CKR_SESSION_HANDLE_INVALID) << std::hex << b;
        EXPECT_EQ(C_Login(b, CKU_USER, pin, 4), CKR_SESSION_HANDLE_INVALID) << std::hex << b;
        EXPECT_EQ(C_Logout(b), CKR_SESSION_HANDLE_INVALID) << std::hex << b;
        EXPECT_EQ(C_SetPIN(b, pin, 4, pin, 4), CKR_SESSION_HANDLE_INVALID) << std::hex << b;
        EXPECT_EQ(C_InitPIN(b, pin, 4), CKR_SESSION_HANDLE_INVALID) << std::hex << b;
        EXPECT_EQ(C_DigestInit(b, &sha1), CKR_SESSION_HANDLE_INVALID) << std::hex << b;
        EXPECT_EQ(C_FindObjectsInit(b, nullptr, 0), CKR_SESSION_HANDLE_INVALID) << std::hex << b;
        EXPECT_EQ(C_FindObjects(b, nullptr, 0, &n), CKR_SESSION_HANDLE_INVALID) << std::hex << b;
    }
    EXPECT_EQ(C_GetSessionInfo(h, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Login(h, (CK_USER_TYPE{1} << 32) | CKU_USER, pin, 4), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(C_Login(h, 3, pin, 4), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(C_Logout(h), CKR_USER_NOT_LOGGED_IN);
    // The session is still there and unharmed.
    ASSERT_EQ(C_GetSessionInfo(h, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
}

// Every export that takes a session handle, with arguments that are otherwise
// acceptable: a handle that names no live session is refused, whatever its bits.
TEST_F(SessionStates, EveryExportRefusesHandlesThatNameNoSession) {
    const CK_SESSION_HANDLE live = open(true, 1);
    CK_BYTE buf[64] = {1, 2, 3, 4};
    CK_ULONG len = sizeof buf;
    CK_ULONG n = 0;
    CK_BYTE pin[] = {'1', '2', '3', '4'};
    CK_MECHANISM m{CKM_SHA_1, nullptr, 0};
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &data, sizeof data}};
    CK_OBJECT_HANDLE o = 0;
    CK_OBJECT_HANDLE o2 = 0;
    CK_SESSION_INFO info{};
    using call = std::function<CK_RV(CK_SESSION_HANDLE)>;
    const std::pair<const char*, call> calls[] = {
        {"C_GetSessionInfo", [&](CK_SESSION_HANDLE h) { return C_GetSessionInfo(h, &info); }},
        {"C_CloseSession", [&](CK_SESSION_HANDLE h) { return C_CloseSession(h); }},
        {"C_Login", [&](CK_SESSION_HANDLE h) { return C_Login(h, CKU_USER, pin, 4); }},
        {"C_Logout", [&](CK_SESSION_HANDLE h) { return C_Logout(h); }},
        {"C_InitPIN", [&](CK_SESSION_HANDLE h) { return C_InitPIN(h, pin, 4); }},
        {"C_SetPIN", [&](CK_SESSION_HANDLE h) { return C_SetPIN(h, pin, 4, pin, 4); }},
        {"C_CreateObject", [&](CK_SESSION_HANDLE h) { return C_CreateObject(h, tmpl, 1, &o); }},
        {"C_CopyObject", [&](CK_SESSION_HANDLE h) { return C_CopyObject(h, 1, tmpl, 1, &o); }},
        {"C_DestroyObject", [&](CK_SESSION_HANDLE h) { return C_DestroyObject(h, 1); }},
        {"C_GetObjectSize", [&](CK_SESSION_HANDLE h) { return C_GetObjectSize(h, 1, &n); }},
        {"C_GetAttributeValue",
         [&](CK_SESSION_HANDLE h) { return C_GetAttributeValue(h, 1, tmpl, 1); }},
        {"C_SetAttributeValue",
         [&](CK_SESSION_HANDLE h) { return C_SetAttributeValue(h, 1, tmpl, 1); }},
        {"C_FindObjectsInit", [&](CK_SESSION_HANDLE h) { return C_FindObjectsInit(h, tmpl, 1); }},
        {"C_FindObjects", [&](CK_SESSION_HANDLE h) { return C_FindObjects(h, &o, 1, &n); }},
        {"C_EncryptInit", [&](CK_SESSION_HANDLE h) { return C_EncryptInit(h, &m, 1); }},
        {"C_Encrypt", [&](CK_SESSION_HANDLE h) { return C_Encrypt(h, buf, 4, buf, &len); }},
        {"C_EncryptUpdate",
         [&](CK_SESSION_HANDLE h) { return C_EncryptUpdate(h, buf, 4, buf, &len); }},
        {"C_EncryptFinal", [&](CK_SESSION_HANDLE h) { return C_EncryptFinal(h, buf, &len); }},
        {"C_DecryptInit", [&](CK_SESSION_HANDLE h) { return C_DecryptInit(h, &m, 1); }},
        {"C_Decrypt", [&](CK_SESSION_HANDLE h) { return C_Decrypt(h, buf, 4, buf, &len); }},
        {"C_DecryptUpdate",
         [&](CK_SESSION_HANDLE h) { return C_DecryptUpdate(h, buf, 4, buf, &len); }},
        {"C_DecryptFinal", [&](CK_SESSION_HANDLE h) { return C_DecryptFinal(h, buf, &len); }},
        {"C_DigestInit", [&](CK_SESSION_HANDLE h) { return C_DigestInit(h, &m); }},
        {"C_Digest", [&](CK_SESSION_HANDLE h) { return C_Digest(h, buf, 4, buf, &len); }},
        {"C_DigestUpdate", [&](CK_SESSION_HANDLE h) { return C_DigestUpdate(h, buf, 4); }},
        {"C_DigestKey", [&](CK_SESSION_HANDLE h) { return C_DigestKey(h, 1); }},
        {"C_DigestFinal", [&](CK_SESSION_HANDLE h) { return C_DigestFinal(h, buf, &len); }},
        {"C_SignInit", [&](CK_SESSION_HANDLE h) { return C_SignInit(h, &m, 1); }},
        {"C_Sign", [&](CK_SESSION_HANDLE h) { return C_Sign(h, buf, 4, buf, &len); }},
        {"C_SignUpdate", [&](CK_SESSION_HANDLE h) { return C_SignUpdate(h, buf, 4); }},
        {"C_SignFinal", [&](CK_SESSION_HANDLE h) { return C_SignFinal(h, buf, &len); }},
        {"C_VerifyInit", [&](CK_SESSION_HANDLE h) { return C_VerifyInit(h, &m, 1); }},
        {"C_Verify", [&](CK_SESSION_HANDLE h) { return C_Verify(h, buf, 4, buf, 8); }},
        {"C_VerifyUpdate", [&](CK_SESSION_HANDLE h) { return C_VerifyUpdate(h, buf, 4); }},
        {"C_VerifyFinal", [&](CK_SESSION_HANDLE h) { return C_VerifyFinal(h, buf, 8); }},
        {"C_DigestEncryptUpdate",
         [&](CK_SESSION_HANDLE h) { return C_DigestEncryptUpdate(h, buf, 4, buf, &len); }},
        {"C_DecryptDigestUpdate",
         [&](CK_SESSION_HANDLE h) { return C_DecryptDigestUpdate(h, buf, 4, buf, &len); }},
        {"C_SignEncryptUpdate",
         [&](CK_SESSION_HANDLE h) { return C_SignEncryptUpdate(h, buf, 4, buf, &len); }},
        {"C_DecryptVerifyUpdate",
         [&](CK_SESSION_HANDLE h) { return C_DecryptVerifyUpdate(h, buf, 4, buf, &len); }},
        {"C_GenerateKey", [&](CK_SESSION_HANDLE h) { return C_GenerateKey(h, &m, tmpl, 1, &o); }},
        {"C_GenerateKeyPair",
         [&](CK_SESSION_HANDLE h) { return C_GenerateKeyPair(h, &m, tmpl, 1, tmpl, 1, &o, &o2); }},
        {"C_WrapKey", [&](CK_SESSION_HANDLE h) { return C_WrapKey(h, &m, 1, 2, buf, &len); }},
        {"C_UnwrapKey",
         [&](CK_SESSION_HANDLE h) { return C_UnwrapKey(h, &m, 1, buf, 4, tmpl, 1, &o); }},
        {"C_DeriveKey", [&](CK_SESSION_HANDLE h) { return C_DeriveKey(h, &m, 1, tmpl, 1, &o); }},
        {"C_SeedRandom", [&](CK_SESSION_HANDLE h) { return C_SeedRandom(h, buf, 4); }},
        {"C_GenerateRandom", [&](CK_SESSION_HANDLE h) { return C_GenerateRandom(h, buf, 4); }},
        {"C_FindObjectsFinal", [&](CK_SESSION_HANDLE h) { return C_FindObjectsFinal(h); }},
        {"C_GetFunctionStatus", [&](CK_SESSION_HANDLE h) { return C_GetFunctionStatus(h); }},
        {"C_CancelFunction", [&](CK_SESSION_HANDLE h) { return C_CancelFunction(h); }},
        {"C_GetOperationState",
         [&](CK_SESSION_HANDLE h) { return C_GetOperationState(h, buf, &len); }},
        {"C_SetOperationState",
         [&](CK_SESSION_HANDLE h) { return C_SetOperationState(h, buf, 4, 0, 0); }},
        {"C_SignRecoverInit", [&](CK_SESSION_HANDLE h) { return C_SignRecoverInit(h, &m, 1); }},
        {"C_SignRecover", [&](CK_SESSION_HANDLE h) { return C_SignRecover(h, buf, 4, buf, &len); }},
        {"C_VerifyRecoverInit", [&](CK_SESSION_HANDLE h) { return C_VerifyRecoverInit(h, &m, 1); }},
        {"C_VerifyRecover",
         [&](CK_SESSION_HANDLE h) { return C_VerifyRecover(h, buf, 4, buf, &len); }},
    };
    const CK_SESSION_HANDLE bad[] = {0, ~0UL, (CK_SESSION_HANDLE{1} << 32) | live,
                                     (CK_SESSION_HANDLE{1} << 63) | live, live + 1};
    for (const auto& [name, f] : calls)
        for (CK_SESSION_HANDLE b : bad)
            EXPECT_EQ(f(b), CKR_SESSION_HANDLE_INVALID) << name << " " << std::hex << b;
    ASSERT_EQ(C_GetSessionInfo(live, &info), CKR_OK); // the live session is still there
    EXPECT_EQ(info.slotID, slot);
}

TEST_F(SessionStates, ReadOnlySessionWhereReadWriteIsNeeded) {
    const CK_SESSION_HANDLE ro = open(false, 1);
    CK_BYTE pin[] = {'1', '2', '3', '4'};
    EXPECT_EQ(C_SetPIN(ro, pin, 4, pin, 4), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(C_InitPIN(ro, pin, 4),
              CKR_USER_NOT_LOGGED_IN); // only the SO's read-write session may
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE token_object[] = {{CKA_CLASS, &data, sizeof data}, {CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE o = 0;
    EXPECT_EQ(C_CreateObject(ro, token_object, 2, &o), CKR_SESSION_READ_ONLY);
    CK_MECHANISM gen{CKM_AES_KEY_GEN, nullptr, 0};
    EXPECT_EQ(C_GenerateKey(ro, &gen, token_object + 1, 1, &o), CKR_SESSION_READ_ONLY);
}

TEST_F(SessionStates, ClosingTheSessionsOfASlotTouchesNoOtherSlot) {
    const CK_SESSION_HANDLE a = open(true);
    const CK_SESSION_HANDLE b = open(false);
    auto& mgr = pkcs11_core().session_mgr();
    const size_t before = mgr.size();
    EXPECT_EQ(mgr.close_slot_sessions(static_cast<uint32_t>(slot) + 1000), 0u);
    EXPECT_EQ(mgr.close_slot_sessions(static_cast<uint32_t>(slot)), 2u);
    EXPECT_EQ(mgr.size(), before - 2);
    EXPECT_EQ(mgr.find(a), nullptr);
    EXPECT_EQ(mgr.find(b), nullptr);
}

TEST_F(SessionStates, CloseAllSessionsOfTheSlot) {
    const CK_SESSION_HANDLE a = open(true, 1);
    const CK_SESSION_HANDLE b = open(false, 1);
    ASSERT_EQ(C_CloseAllSessions(slot), CKR_OK);
    CK_SESSION_INFO info{};
    EXPECT_EQ(C_GetSessionInfo(a, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_GetSessionInfo(b, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(token->token_info().ulSessionCount, 0u);
    EXPECT_EQ(token->login_type(), login_type_nobody);
    EXPECT_EQ(C_CloseAllSessions((CK_SLOT_ID{1} << 32) | slot), CKR_SLOT_ID_INVALID);
}

} // namespace

namespace {

using namespace session_test;

// A token that leaves takes its sessions (and their contexts) with it; the
// next token in its slot id starts with none.
TEST_F(SessionStates, ALeavingTokenTakesItsSessionsAndTheNextTokenInItsSlotHasNone) {
    const CK_SESSION_HANDLE user = open(true, 1);
    const CK_SESSION_HANDLE ro = open(false, 1);
    CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
    ASSERT_EQ(C_DigestInit(user, &sha1), CKR_OK);
    ASSERT_EQ(live_contexts, 1);
    const int32_t old_slot = token->slot_id();
    pkcs11_core().token_mgr().remove_token(token);
    EXPECT_EQ(live_contexts, 0);

    int32_t new_slot = -1;
    bool created = false;
    token = pkcs11_core().token_mgr().find_or_add_token("session states successor", &new_slot,
                                                        &created);
    ASSERT_NE(token, nullptr);
    ASSERT_EQ(new_slot, old_slot);
    CK_SESSION_INFO info{};
    CK_BYTE data[4] = {};
    for (CK_SESSION_HANDLE old : {user, ro}) {
        EXPECT_EQ(C_GetSessionInfo(old, &info), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(C_DigestUpdate(old, data, 4), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(C_CloseSession(old), CKR_SESSION_HANDLE_INVALID);
    }
    EXPECT_EQ(token->token_info().ulSessionCount, 0u);
    EXPECT_TRUE(
        pkcs11_core().session_mgr().sessions_of_slot(static_cast<uint32_t>(new_slot)).empty());
}

} // namespace
