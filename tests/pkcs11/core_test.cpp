// The slot and session logic of the core on a core of its own, with tokens
// added directly to its token manager (no device layer involved).
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "pkcs11_core.h"

namespace {

class CoreTest : public ::testing::Test {
  protected:
    Pkcs11Core core;
    pkcs11_token* add(const char* name) {
        int32_t slot = -1;
        bool created = false;
        pkcs11_token* t = core.token_mgr().find_or_add_token(name, &slot, &created);
        EXPECT_TRUE(created);
        return t;
    }
    CK_SESSION_HANDLE open(CK_SLOT_ID slot, CK_FLAGS flags) {
        CK_SESSION_HANDLE h = ~0UL;
        EXPECT_EQ(core.open_session(slot, flags, nullptr, nullptr, &h), CKR_OK);
        return h;
    }
};

TEST_F(CoreTest, NewDeviceTakesLowestFreeSlotId) {
    EXPECT_EQ(add("reader A")->slot_id(), 0);
    EXPECT_EQ(add("reader B")->slot_id(), 1);
    EXPECT_EQ(add("reader C")->slot_id(), 2);
    core.token_mgr().remove_token(core.token_mgr().find_token(1));
    EXPECT_EQ(add("reader D")->slot_id(), 1);
    int32_t slot = -1;
    bool created = true;
    core.token_mgr().find_or_add_token("reader C", &slot, &created); // known and answering: kept
    EXPECT_FALSE(created);
    EXPECT_EQ(slot, 2);
    EXPECT_EQ(core.token_mgr().find_token((CK_SLOT_ID{1} << 32) | 1),
              nullptr); // full-width compare
}

TEST_F(CoreTest, SlotListAndInfoWithTokens) {
    add("reader A");
    add("reader B");
    CK_ULONG count = 0;
    ASSERT_EQ(core.get_slot_list(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u); // only token slots once tokens exist
    CK_SLOT_ID slots[2] = {~0UL, ~0UL};
    count = 1;
    EXPECT_EQ(core.get_slot_list(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(core.get_slot_list(CK_TRUE, slots, &count), CKR_OK);
    EXPECT_EQ(slots[0], 0u);
    EXPECT_EQ(slots[1], 1u);

    CK_SLOT_INFO info;
    ASSERT_EQ(core.get_slot_info(1, &info), CKR_OK);
    EXPECT_EQ(info.flags, CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
    // Slot 2 was never listed and no token ever had it: it names no slot.
    EXPECT_EQ(core.get_slot_info(2, &info), CKR_SLOT_ID_INVALID);
    // A slot whose token has left stays a slot, without a token.
    core.token_mgr().remove_token(core.token_mgr().find_token(1));
    ASSERT_EQ(core.get_slot_info(1, &info), CKR_OK);
    EXPECT_EQ(info.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);

    CK_TOKEN_INFO token;
    std::memset(&token, 0, sizeof token);
    // No device answers to the name: the refresh fails and the token's
    // information is handed out as it stands (the built-in template).
    EXPECT_NE(core.get_token_info(0, &token), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(token.label), 32),
              "Oskarvel" + std::string(24, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(token.model), 16),
              "OskarvelA" + std::string(7, ' '));
    EXPECT_EQ(token.ulTotalPublicMemory, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(token.flags, CKF_RNG | CKF_LOGIN_REQUIRED | CKF_DUAL_CRYPTO_OPERATIONS);
}

TEST_F(CoreTest, SessionsGetDistinctNeverReusedHandlesAndCounts) {
    add("reader A");
    std::set<CK_SESSION_HANDLE> seen;
    for (int i = 0; i < 5; ++i) {
        const CK_SESSION_HANDLE h = open(0, CKF_SERIAL_SESSION | CKF_RW_SESSION);
        EXPECT_NE(h, 0u);
        EXPECT_LE(h, 0xFFFFFFFFul);
        EXPECT_TRUE(seen.insert(h).second) << "handle reused";
        EXPECT_EQ(core.close_session(h), CKR_OK);
        EXPECT_EQ(core.close_session(h), CKR_SESSION_HANDLE_INVALID);
    }
    const CK_SESSION_HANDLE rw = open(0, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    const CK_SESSION_HANDLE ro = open(0, CKF_SERIAL_SESSION);
    const CK_TOKEN_INFO& token = core.token_mgr().find_token(0)->token_info();
    EXPECT_EQ(token.ulSessionCount, 2u);
    EXPECT_EQ(token.ulRwSessionCount, 1u);

    CK_SESSION_INFO info;
    ASSERT_EQ(core.get_session_info(ro, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION);
    EXPECT_EQ(info.slotID, 0u);
    EXPECT_EQ(info.ulDeviceError, 0x9000u);
    ASSERT_EQ(core.get_session_info(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(core.get_session_info(rw | (CK_SESSION_HANDLE{1} << 32), &info),
              CKR_SESSION_HANDLE_INVALID);

    EXPECT_EQ(core.close_all_sessions(0), CKR_OK);
    EXPECT_EQ(core.get_session_info(ro, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(token.ulSessionCount, 0u);
    EXPECT_EQ(token.ulRwSessionCount, 0u);
    EXPECT_EQ(core.close_all_sessions(5), CKR_SLOT_ID_INVALID); // no slot 5
}

TEST_F(CoreTest, SessionOfRemovedTokenIsClosedWithIt) {
    add("reader A");
    const CK_SESSION_HANDLE h = open(0, CKF_SERIAL_SESSION);
    core.token_mgr().remove_token(core.token_mgr().find_token(0));
    CK_SESSION_INFO info;
    EXPECT_EQ(core.get_session_info(h, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(core.close_session(h), CKR_SESSION_HANDLE_INVALID);
}

// The state rule: login type (0 SO, 1 user, 2 nobody) and read-write flag.
TEST(SessionState, StateFollowsLoginType) {
    struct state_case {
        bool read_write;
        int32_t login;
        CK_RV rv;
        CK_STATE state;
    } const cases[] = {
        {true, 0, CKR_OK, CKS_RW_SO_FUNCTIONS},
        {true, 1, CKR_OK, CKS_RW_USER_FUNCTIONS},
        {true, 2, CKR_OK, CKS_RW_PUBLIC_SESSION},
        {false, 1, CKR_OK, CKS_RO_USER_FUNCTIONS},
        {false, 2, CKR_OK, CKS_RO_PUBLIC_SESSION},
        {false, 0, CKR_SESSION_READ_WRITE_SO_EXISTS,
         CKS_RW_PUBLIC_SESSION}, // state left as created
    };
    for (const auto& c : cases) {
        pkcs11_session s(1, 0, nullptr, nullptr);
        s.set_flags(CKF_SERIAL_SESSION | (c.read_write ? CKF_RW_SESSION : 0));
        EXPECT_EQ(s.session_state_from_login(c.login), c.rv) << c.read_write << c.login;
        EXPECT_EQ(s.state(), c.state) << c.read_write << c.login;
    }
}

TEST_F(CoreTest, SlotEventsAreTakenOnce) {
    EXPECT_EQ(core.token_mgr().take_slot_event(), -1);
    CK_SLOT_ID slot = 99;
    EXPECT_EQ(core.wait_for_slot_event(CKF_DONT_BLOCK, &slot), CKR_NO_EVENT);
    EXPECT_EQ(slot, 99u);
    core.stop_slot_event_thread();
}

} // namespace
