// Session states by login type, across the sessions of a slot, the session
// exports' answers to bad handles and pointers, and closing the sessions of a slot.
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
    pkcs11_token* other = pkcs11_core().token_mgr().find_or_add_token("session states other reader", &other_slot,
                                                                      &created);
    CK_SESSION_HANDLE elsewhere = 0;
    ASSERT_EQ(pkcs11_core().open_session(other_slot, CKF_SERIAL_SESSION, nullptr, nullptr, &elsewhere), CKR_OK);
    auto& mgr = pkcs11_core().session_mgr();

    EXPECT_EQ(mgr.update_session_states(*mgr.find(rw), 1), CKR_OK);
    EXPECT_EQ(state_of(rw), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(state_of(ro), CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(state_of(elsewhere), CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(mgr.update_session_states(*mgr.find(ro), 0), CKR_OK);  // a read-only session keeps its state
    EXPECT_EQ(state_of(rw), CKS_RW_SO_FUNCTIONS);
    EXPECT_EQ(state_of(ro), CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(mgr.update_session_states(*mgr.find(ro), 2), CKR_OK);  // logged out
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
    const CK_SESSION_HANDLE bad[] = {0, ~0UL, (CK_SESSION_HANDLE{1} << 32) | h, h + 0x10000, 0x12345678};
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

TEST_F(SessionStates, ReadOnlySessionWhereReadWriteIsNeeded) {
    const CK_SESSION_HANDLE ro = open(false, 1);
    CK_BYTE pin[] = {'1', '2', '3', '4'};
    EXPECT_EQ(C_SetPIN(ro, pin, 4, pin, 4), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(C_InitPIN(ro, pin, 4), CKR_USER_NOT_LOGGED_IN);  // only the SO's read-write session may
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
    EXPECT_EQ(C_CloseAllSessions((CK_SLOT_ID{1} << 32) | slot), CKR_DEVICE_REMOVED);
}

}  // namespace
