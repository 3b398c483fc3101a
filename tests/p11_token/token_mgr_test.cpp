// The token manager's slot ids and the removal hook, without devices: tokens
// are made by name and never connected (a token with no open device answers).
#include <gtest/gtest.h>

#include <vector>

#include "pkcs11_core.h"
#include "pkcs11_token_mgr.h"

namespace {

int32_t add(pkcs11_token_mgr& mgr, const char* name) {
    int32_t slot = -1;
    bool created = false;
    EXPECT_NE(mgr.find_or_add_token(name, &slot, &created), nullptr);
    return slot;
}

TEST(TokenMgr, a_new_device_name_takes_the_lowest_free_slot_id) {
    pkcs11_token_mgr mgr;
    std::vector<int32_t> removed;
    mgr.set_token_removed_hook([&](int32_t slot) { removed.push_back(slot); });
    EXPECT_EQ(add(mgr, "reader A"), 0);
    EXPECT_EQ(add(mgr, "reader B"), 1);
    EXPECT_EQ(add(mgr, "reader C"), 2);
    // A known name keeps its slot and makes no new token.
    int32_t slot = -1;
    bool created = true;
    pkcs11_token* b = mgr.find_or_add_token("reader B", &slot, &created);
    EXPECT_EQ(slot, 1);
    EXPECT_FALSE(created);

    mgr.remove_token(b);
    EXPECT_EQ(removed, std::vector<int32_t>{1});
    EXPECT_EQ(mgr.find_token(1), nullptr);
    EXPECT_EQ(add(mgr, "reader D"), 1);
    mgr.remove_token(mgr.find_token(0));
    EXPECT_EQ(add(mgr, "reader E"), 0);
    EXPECT_EQ(add(mgr, "reader F"), 3);
    EXPECT_EQ(mgr.token_count(), 4u);

    // Slot ids are compared at full width: high bits name no slot.
    EXPECT_EQ(mgr.find_token(CK_SLOT_ID{1} << 32), nullptr);
    EXPECT_EQ(mgr.find_token((CK_SLOT_ID{1} << 32) | 1), nullptr);
    EXPECT_NE(mgr.find_token(1), nullptr);

    removed.clear();
    mgr.delete_all_tokens();
    EXPECT_EQ(removed.size(), 4u);
    EXPECT_EQ(mgr.token_count(), 0u);
}

TEST(TokenMgr, sessions_leave_with_their_token_and_stay_invalid_for_the_next_one_in_the_slot) {
    Pkcs11Core core;
    pkcs11_token_mgr& tokens = core.token_mgr();
    pkcs11_session_mgr& sessions = core.session_mgr();
    ASSERT_EQ(add(tokens, "reader A"), 0);
    ASSERT_EQ(add(tokens, "reader B"), 1);
    const uint32_t a1 = sessions.create(0, nullptr, nullptr)->handle();
    const uint32_t a2 = sessions.create(0, nullptr, nullptr)->handle();
    const uint32_t b1 = sessions.create(1, nullptr, nullptr)->handle();

    tokens.remove_token(tokens.find_token(0));
    EXPECT_EQ(sessions.find(a1), nullptr);
    EXPECT_EQ(sessions.find(a2), nullptr);
    EXPECT_NE(sessions.find(b1), nullptr);

    // The next token takes slot 0; the old handles still name nothing.
    ASSERT_EQ(add(tokens, "reader C"), 0);
    const uint32_t c1 = sessions.create(0, nullptr, nullptr)->handle();
    EXPECT_NE(c1, a1);
    EXPECT_NE(c1, a2);
    EXPECT_EQ(sessions.find(a1), nullptr);
    EXPECT_EQ(core.close_session(a1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(sessions.sessions_of_slot(0), std::vector<uint32_t>{c1});
}

} // namespace
